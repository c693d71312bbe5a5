// Small helpers shared by the unit tests: a scratch directory removed at the end of a test,
// files made in it, and a function run as the unprivileged user (root passes every access
// check, so permission refusals are only visible to another user).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/unit-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (d == nullptr) ADD_FAILURE() << strerror(errno);
    dir_ = d != nullptr ? d : "/nonexistent";
    chmod(dir_.c_str(), 0755);
  }
  ~Scratch() {
    std::string cmd = "/bin/rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup of " << dir_;
  }
  const std::string &dir() const { return dir_; }
  std::string Path(const std::string &rel) const { return dir_ + "/" + rel; }
  std::string MkDir(const std::string &rel, mode_t mode = 0755) const {
    std::string p = Path(rel);
    std::string cmd = "/bin/mkdir -p '" + p + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    chmod(p.c_str(), mode);
    return p;
  }
  std::string File(const std::string &rel, const std::string &content = "", mode_t mode = 0644) const {
    std::string p = Path(rel);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    EXPECT_GE(fd, 0) << p;
    if (fd >= 0) {
      EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      close(fd);
    }
    chmod(p.c_str(), mode);
    return p;
  }

 private:
  std::string dir_;
};

// Runs fn in a child process as uid/gid 65534; the child's result is fn's return value (0-255).
inline int RunAsNobody(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(250);
    _exit(fn());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 251;
}

// Runs fn with the current directory set to dir, restoring it afterwards.
inline void InDirectory(const std::string &dir, const std::function<void()> &fn) {
  char *old = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.c_str()), 0) << dir;
  fn();
  if (old != nullptr) {
    EXPECT_EQ(chdir(old), 0);
    free(old);
  }
}

}  // namespace testsupport
