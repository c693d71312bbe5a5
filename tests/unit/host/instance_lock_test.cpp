// The single-instance lock: the lock file's name, that it is really held against other
// processes, the refusal of a second copy, a stale file from a killed copy, and a symbolic
// link planted at the predictable name.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/paths.h"
#include "core/profile.h"
#include "host/instance_lock.h"
#include "host/temp_dir.h"
#include "i18n/locale.h"

namespace {

std::string Read(const std::string &path) {
  std::string data;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return data;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

enum class LockState { Unlocked, HeldByUs, Unknown };

// Asks from another process, which is the only way to see a record lock.
LockState Probe(const std::string &path) {
  pid_t holder = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) _exit(2);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) != 0) _exit(2);
    if (lock.l_type == F_UNLCK) _exit(0);
    _exit(lock.l_type == F_WRLCK && lock.l_pid == holder ? 1 : 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return LockState::Unknown;
  switch (WEXITSTATUS(status)) {
    case 0: return LockState::Unlocked;
    case 1: return LockState::HeldByUs;
    default: return LockState::Unknown;
  }
}

class InstanceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    UpdateLocale();
    ResetProfileForTesting();
    ResetTempDirForTesting();
    ResetPathsForTesting();
    // A private executable file: its own inode, so its own lock, whatever else runs.
    char tmpl[] = "/tmp/lock-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    exe = dir + "/setup";
    FILE *f = fopen(exe.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\n", f);
    fclose(f);
    ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
    ASSERT_NE(SetExecName(exe.c_str()), nullptr);
    struct stat st;
    ASSERT_EQ(stat(exe.c_str(), &st), 0);
    lockPath = "/tmp/Setup." + std::to_string(static_cast<uint32_t>(st.st_dev)) + "." +
               std::to_string(static_cast<unsigned long long>(st.st_ino)) + "." +
               std::to_string(geteuid());
  }
  void TearDown() override {
    DeleteLockFile();
    unlink(lockPath.c_str());
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    ResetPathsForTesting();
  }

  std::string dir, exe, lockPath;
};

TEST_F(InstanceLock, HoldsAPrivateLockFileNamedAfterTitleDeviceInodeAndUser) {
  ASSERT_FALSE(Exists(lockPath));
  ExitIfNotOnlyInstance();
  struct stat st;
  ASSERT_EQ(lstat(lockPath.c_str(), &st), 0) << lockPath;
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u) << "readable by others";
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(Probe(lockPath), LockState::HeldByUs);

  DeleteLockFile();
  EXPECT_FALSE(Exists(lockPath));
  DeleteLockFile();  // a second run of the exit function finds nothing to do
}

struct SecondCopy {
  int status = -1;  // exit status, or -1 when it did not exit
  std::string message;
};

// Runs a first copy in a process of its own, holding the lock until told to go, and a second
// copy while the first holds it.
SecondCopy RunSecondCopyWhileFirstHolds() {
  SecondCopy result;
  int ready[2], release[2], err[2];
  if (pipe(ready) != 0 || pipe(release) != 0) return result;
  pid_t first = fork();
  if (first == 0) {
    ExitIfNotOnlyInstance();
    char c = 'r';
    if (write(ready[1], &c, 1) != 1) _exit(3);
    if (read(release[0], &c, 1) != 1) _exit(3);
    _exit(0);
  }
  char c;
  // Made only now, so that the first copy holds no end of it and the read below ends.
  if (read(ready[0], &c, 1) == 1 && pipe(err) == 0) {
    pid_t second = fork();
    if (second == 0) {
      dup2(err[1], STDERR_FILENO);
      ExitIfNotOnlyInstance();
      _exit(0);  // it returned: it believes it may run
    }
    close(err[1]);
    char buf[256];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0)
      result.message.append(buf, static_cast<size_t>(n));
    int status = 0;
    waitpid(second, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    close(err[0]);
  }
  if (write(release[1], "x", 1) != 1) kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  return result;
}

TEST_F(InstanceLock, ASecondCopyIsRefusedWithExitStatusOne) {
  SecondCopy second = RunSecondCopyWhileFirstHolds();
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.message, "Another installation process is already running. Exiting.\n");
  // The first copy ended with _exit, as after a signal: its file stays behind.
  EXPECT_TRUE(Exists(lockPath));
}

TEST_F(InstanceLock, TheUninstallerHasItsOwnLockFileAndMessage) {
  SelectProduct(Product::Uninstaller);
  ResetProfileForTesting();
  std::string uninstallLock = "/tmp/Uninstall" + lockPath.substr(strlen("/tmp/Setup"));
  SecondCopy second = RunSecondCopyWhileFirstHolds();
  bool hadOwnFile = Exists(uninstallLock);
  unlink(uninstallLock.c_str());
  SelectProduct(Product::Installer);
  ResetProfileForTesting();
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.message, "Another uninstallation process is already running. Exiting.\n");
  EXPECT_TRUE(hadOwnFile);
  EXPECT_FALSE(Exists(lockPath));
}

TEST_F(InstanceLock, AStaleFileFromAKilledCopyIsTakenOver) {
  FILE *f = fopen(lockPath.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("left behind", f);
  fclose(f);
  ExitIfNotOnlyInstance();
  // Examined without opening it here: closing any descriptor of the file would drop the lock.
  struct stat st;
  ASSERT_EQ(lstat(lockPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0) << "not truncated";
  EXPECT_EQ(Probe(lockPath), LockState::HeldByUs);
}

// The name is predictable and the directory shared: a link planted there by someone else must
// not make the launcher truncate, or lock, the file it points to.
TEST_F(InstanceLock, APlantedSymbolicLinkIsNeverFollowed) {
  std::string victim = dir + "/victim";
  FILE *f = fopen(victim.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("precious", f);
  fclose(f);
  ASSERT_EQ(symlink(victim.c_str(), lockPath.c_str()), 0);

  ExitIfNotOnlyInstance();  // goes on without a lock, silently
  EXPECT_EQ(Read(victim), "precious");
  EXPECT_EQ(Probe(victim), LockState::Unlocked);

  DeleteLockFile();
  EXPECT_EQ(Read(victim), "precious");
}

TEST_F(InstanceLock, GoesOnWithoutALockWhenTheExecutableCannotBeExamined) {
  ASSERT_EQ(unlink(exe.c_str()), 0);
  ExitIfNotOnlyInstance();
  EXPECT_FALSE(Exists(lockPath));
}

}  // namespace
