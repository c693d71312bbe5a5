// The single-instance lock: the lock file's name, that it is really held against other
// processes, the refusal of a second copy, a stale file from a killed copy, whatever else may be
// planted at the predictable name, and a name that changes under the lock.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/paths.h"
#include "base/product.h"
#include "core/testing.h"
#include "host/instance_lock.h"
#include "host/temp_dir.h"
#include "host/testing.h"
#include "i18n/locale.h"
#include "support.h"

using namespace support;

namespace {

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
    ASSERT_NE(SetExecName(exe.c_str()), nullptr);
  }
  void TearDown() override {
    DeleteLockFile();
    unlink(lockPath.c_str());
    ResetPathsForTesting();
  }

  Sandbox scratch;
  std::string dir = scratch.dir(), exe = scratch.Write("setup", "#!/bin/sh\n", 0755);
  std::string lockPath = LockPath(exe);
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
  int ready[2], release[2];
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
  if (read(ready[0], &c, 1) == 1) {
    ChildRun second = RunInChild([] {
      ExitIfNotOnlyInstance();
      return 0;  // it returned: it believes it may run
    });
    result.message = second.err;
    if (second.exited) result.status = second.code;
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
  WriteFile(lockPath, "left behind");
  ExitIfNotOnlyInstance();
  // Examined without opening it here: closing any descriptor of the file would drop the lock.
  struct stat st;
  ASSERT_EQ(lstat(lockPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0) << "not truncated";
  EXPECT_EQ(Probe(lockPath), LockState::HeldByUs);
}

// The name is predictable and the directory shared: whatever else is planted there (a link to
// a file worth keeping, a second name of such a file, another user's file that they hold
// locked, a FIFO that would block an open, a directory) is neither followed, truncated, locked
// nor waited for. This process may remove it (root, in the sticky /tmp), so it is replaced by a
// fresh lock file, silently.
TEST_F(InstanceLock, AnythingButOurOwnFileAtTheNameIsReplaced) {
  std::string victim = dir + "/victim";
  struct Case {
    const char *name;
    std::function<void()> plant;
  };
  pid_t holder = -1;
  const Case cases[] = {
      {"symbolic link", [&] { ASSERT_EQ(symlink(victim.c_str(), lockPath.c_str()), 0); }},
      {"second name", [&] { ASSERT_EQ(link(victim.c_str(), lockPath.c_str()), 0); }},
      {"another user's locked file",
       [&] {
         WriteFile(lockPath, "");
         ASSERT_EQ(chmod(lockPath.c_str(), 0666), 0);
         ASSERT_EQ(chown(lockPath.c_str(), 65534, 65534), 0);
         int ready[2];
         ASSERT_EQ(pipe(ready), 0);
         holder = fork();
         if (holder == 0) {
           int fd = open(lockPath.c_str(), O_RDWR);
           struct flock lock = {};
           lock.l_type = F_WRLCK;
           lock.l_whence = SEEK_SET;
           if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) _exit(1);
           if (write(ready[1], "r", 1) != 1) _exit(1);
           pause();
           _exit(0);
         }
         char c;
         ASSERT_EQ(read(ready[0], &c, 1), 1);
         close(ready[0]);
         close(ready[1]);
       }},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(lockPath.c_str(), 0666), 0); }},
      {"directory", [&] { ASSERT_EQ(mkdir(lockPath.c_str(), 0777), 0); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(victim, "precious");
    c.plant();
    ASSERT_TRUE(Exists(lockPath));

    ExitIfNotOnlyInstance();
    struct stat st;
    ASSERT_EQ(lstat(lockPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(Probe(lockPath), LockState::HeldByUs);
    struct stat v;
    ASSERT_EQ(stat(victim.c_str(), &v), 0);
    EXPECT_EQ(v.st_nlink, 1u) << "the second name is still there";
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(Probe(victim), LockState::Unlocked);

    DeleteLockFile();
    EXPECT_FALSE(Exists(lockPath));
    EXPECT_EQ(ReadFile(victim), "precious");
    if (holder > 0) {
      kill(holder, SIGKILL);
      waitpid(holder, nullptr, 0);
      holder = -1;
    }
  }
}

// A user who may not remove what another user planted at the name is told which file is in the
// way, and the launcher stops: it neither claims another copy runs nor runs without the lock.
TEST_F(InstanceLock, AnUnremovableStrangerAtTheNameStopsTheLauncherWithItsName) {
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);  // the unprivileged user must see the executable
  std::string theirs = lockPath.substr(0, lockPath.rfind('.')) + ".65534";
  WriteFile(theirs, "root's");
  ASSERT_EQ(chmod(theirs.c_str(), 0644), 0);

  ChildRun r = RunInChild([] {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      return 3;
    ExitIfNotOnlyInstance();
    return 0;
  });
  std::string left = ReadFile(theirs);
  unlink(theirs.c_str());
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Error: The lock file '" + theirs +
                         "' is not a regular file owned by you and cannot be removed.\n"
                         "Ask its owner or an administrator to remove it. Exiting.\n");
  EXPECT_EQ(left, "root's");
}

// The exit function removes the name only while it still leads to this copy's file: after the
// file was replaced (by hand, say) the new one belongs to whoever holds it now.
TEST_F(InstanceLock, TheExitFunctionLeavesAFileThatIsNoLongerOurs) {
  ExitIfNotOnlyInstance();
  ASSERT_EQ(unlink(lockPath.c_str()), 0);
  WriteFile(lockPath, "the next copy's");
  DeleteLockFile();
  EXPECT_EQ(ReadFile(lockPath), "the next copy's");
}

TEST_F(InstanceLock, GoesOnWithoutALockWhenTheExecutableCannotBeExamined) {
  ASSERT_EQ(unlink(exe.c_str()), 0);
  ExitIfNotOnlyInstance();
  EXPECT_FALSE(Exists(lockPath));
}

}  // namespace
