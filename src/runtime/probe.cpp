// The version probe: a runtime's bin/java runs with "-version" in a child process with an
// empty environment and its standard error on a pipe; the quoted text on the first line of
// that output is the version, accepted when it begins with one of the supported prefixes.
#include "runtime/probe.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/paths.h"
#include "i18n/locale.h"
#include "runtime/child.h"

namespace {

// 1.4.1 up to the 1.9 series; two-digit major versions are refused by design.
constexpr const char *supported_vm_versions[] = {
    "1.4.1", "1.4.2", "1.4.3", "1.4.4", "1.4.5", "1.4.6", "1.4.7",
    "1.4.8", "1.4.9", "1.5",   "1.6",   "1.7",   "1.8",   "1.9",
};

constexpr size_t kKeptOutput = 512;

// Closes a descriptor once, on every path out of the probe.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Reads fd to its end, keeping the first kKeptOutput bytes in buf (terminated) and discarding
// the rest, so that a child writing more than the pipe holds never blocks.
void ReadKept(int fd, char *buf) {
  size_t kept = 0;
  char scratch[4096];
  for (;;) {
    char *dest = kept < kKeptOutput ? buf + kept : scratch;
    size_t room = kept < kKeptOutput ? kKeptOutput - kept : sizeof scratch;
    ssize_t n = read(fd, dest, room);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (dest == buf + kept) kept += static_cast<size_t>(n);
  }
  buf[kept] = '\0';
}

// The version text of the first line: the text between its last two double quotes, everything
// before a lone quote, or the whole line without quotes. New string.
char *ParseVersion(char *text) {
  char *newline = _strchr(text, '\n');
  if (newline != nullptr) *newline = '\0';
  char *quote = strrchr(text, '"');
  if (quote != nullptr) *quote = '\0';
  quote = strrchr(text, '"');
  return StrDup(quote != nullptr ? quote + 1 : text);
}

}  // namespace

jboolean CheckVersion(const char *version) {
  for (const char *prefix : supported_vm_versions) {
    if (strncmp(prefix, version, strlen(prefix)) == 0) return JNI_TRUE;
  }
  return JNI_FALSE;
}

char *CheckJREVersion(const char *path) {
  if (access(path, F_OK) != 0) return nullptr;

  // Both ends are close-on-exec: the child's standard error is a dup2 copy, which is not.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  Fd readEnd(ends[0]), writeEnd(ends[1]);

  // Made before the fork, so that the child only rearranges descriptors and execs.
  char *command = Resolve(path, "bin/java");
  char *cmdv[] = {command, const_cast<char *>("-version"), nullptr};
  char *noEnvironment[] = {nullptr};

  fflush(nullptr);
  const pid_t launcher = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // A signal that ends the launcher mid-probe must not leave the probe running on its own
    // (it may be a runtime unpacked into the working directory that is being deleted, or one
    // that never ends): the kernel ends it with the launcher. A launcher already gone before
    // this took effect is caught by the parent check.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != launcher) _exit(127);
    setbuf(stdout, nullptr);
    // A launcher started with descriptor 2 closed may have been given it for the pipe; dup2
    // onto itself would then keep the close-on-exec flag.
    if (writeEnd.get() == fileno(stderr))
      fcntl(writeEnd.get(), F_SETFD, 0);
    else
      dup2(writeEnd.get(), fileno(stderr));
    fclose(stdin);
    fclose(stdout);
    execve(command, cmdv, noEnvironment);
    _exit(127);
  }
  free(command);
  // Without the parent's copy, the read below ends when the child (and whatever inherited its
  // standard error) has gone, whether or not it wrote anything.
  writeEnd.Close();
  if (pid < 0) return nullptr;

  char *buf = static_cast<char *>(MemAlloc(kKeptOutput + 1));
  ReadKept(readEnd.get(), buf);

  int status = 0;
  struct stat st;
  char *version = nullptr;
  if (WaitForChild(pid, &status) == pid && WIFEXITED(status) && fstat(readEnd.get(), &st) == 0) {
    version = ParseVersion(buf);
    if (!CheckVersion(version)) {
      free(version);
      version = nullptr;
    }
  }
  free(buf);
  return version;
}

jboolean CheckJavaVersion(const char *jrepath) {
  char *version = CheckJREVersion(jrepath);
  if (version == nullptr) return JNI_FALSE;
  free(version);
  return JNI_TRUE;
}
