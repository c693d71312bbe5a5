// The version probe: a runtime's bin/java runs with "-version" in a child process with an
// empty environment and its standard error on a pipe; the quoted text on the first line of
// that output is the version, accepted when it begins with one of the supported prefixes.
//
// A runtime is a program from outside and may hang, or end while something it started still
// holds its standard error. So the probe waits for the child itself to end, never for the end
// of the pipe, and only for a bounded time: the child runs in a process group of its own, and
// a child that has not ended in time is killed with its whole group and gives no version.
// While it waits, the probe keeps the first bytes of the output and drains the rest, so that a
// child writing more than a pipe holds is never blocked by it.
//
// Every runtime that a probe refuses is recorded with what it reported, so that the user can
// be told what was found when no runtime is usable; so is every directory that the search saw
// holding a java of another layout, probed only for that report.
#include "runtime/probe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/memory.h"
#include "base/multibyte.h"
#include "runtime/child.h"
#include "runtime/discovery.h"
#include "runtime/testing.h"

namespace {

// 1.4.1 up to the 1.9 series; two-digit major versions are refused by design.
constexpr const char *supported_vm_versions[] = {
    kMinimumJavaVersion, "1.4.2", "1.4.3", "1.4.4", "1.4.5", "1.4.6", "1.4.7",
    "1.4.8", "1.4.9", "1.5",   "1.6",   "1.7",   "1.8",   "1.9",
};

constexpr size_t kKeptOutput = 512;
// How often the wait looks whether the child has ended while its output is quiet.
constexpr int kPollMilliseconds = 20;

RefusedRuntime *refused = nullptr;
RefusedRuntime **refusedEnd = &refused;

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

long long Milliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// The child's output as far as it is kept: the first kKeptOutput bytes.
struct Kept {
  char *buf;
  size_t len = 0;
};

// One read from fd: kept while there is room, dropped after. False at the end of the output.
bool ReadSome(int fd, Kept *kept) {
  char scratch[4096];
  char *dest = kept->len < kKeptOutput ? kept->buf + kept->len : scratch;
  size_t room = kept->len < kKeptOutput ? kKeptOutput - kept->len : sizeof scratch;
  ssize_t n = read(fd, dest, room);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  if (dest != scratch) kept->len += static_cast<size_t>(n);
  return true;
}

// Collects output until the child pid has ended; false when the time limit came first.
bool CollectUntilEnd(int fd, pid_t pid, Kept *kept) {
  const long long deadline = Milliseconds() + kProbeTimeLimitSeconds * 1000LL;
  bool outputOpen = true;
  // Once the output has closed, the child is most often a moment from its end: the first looks
  // come after a millisecond and then ever less often, so that the launcher neither waits a whole
  // poll interval for a runtime that has ended nor spins on one that lives on without output.
  int quietStep = 1;
  for (;;) {
    if (RunningChildEnded(pid)) return true;
    const long long left = deadline - Milliseconds();
    if (left <= 0) return false;
    const int wait = static_cast<int>(std::min<long long>(left, kPollMilliseconds));
    if (outputOpen) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, wait) > 0) outputOpen = ReadSome(fd, kept);
    } else {
      struct timespec step = {0, std::min(wait, quietStep) * 1000000L};
      nanosleep(&step, nullptr);
      quietStep = std::min(quietStep * 2, kPollMilliseconds);
    }
  }
}

// After the child's end: what the pipe already holds, up to the kept size, without waiting for
// whatever else may still hold the pipe's other end.
void TakeWhatIsLeft(int fd, Kept *kept) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;
  while (kept->len < kKeptOutput) {
    ssize_t n = read(fd, kept->buf + kept->len, kKeptOutput - kept->len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    kept->len += static_cast<size_t>(n);
  }
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

// Runs path's bin/java with "-version": the version text of its first line (new string), or
// null when the child could not be run, was killed, or had not ended in time (*timedOut).
char *RunProbe(const char *path, bool *timedOut) {
  *timedOut = false;
  // Both ends are close-on-exec: the child's standard error is a dup2 copy, which is not.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  Fd readEnd(ends[0]), writeEnd(ends[1]);

  // Made before the fork, so that the child only rearranges descriptors and execs.
  char *command = JavaProgramOf(path);
  char *cmdv[] = {command, const_cast<char *>("-version"), nullptr};
  char *noEnvironment[] = {nullptr};

  fflush(nullptr);
  pid_t pid = ForkRunningChild(ChildStop::WholeGroup);
  if (pid == 0) {
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
  // Without the parent's copy, the pipe ends when the child (and whatever inherited its
  // standard error) has gone, whether or not it wrote anything.
  writeEnd.Close();
  if (pid < 0) return nullptr;

  Kept kept;
  kept.buf = static_cast<char *>(MemAlloc(kKeptOutput + 1));
  const bool ended = CollectUntilEnd(readEnd.get(), pid, &kept);
  if (!ended) kill(-pid, SIGKILL);
  int status = 0;
  const bool reaped = WaitForRunningChild(pid, &status) == pid;
  if (ended) TakeWhatIsLeft(readEnd.get(), &kept);
  kept.buf[kept.len] = '\0';

  struct stat st;
  char *version = nullptr;
  if (!ended) {
    *timedOut = true;
  } else if (reaped && WIFEXITED(status) && fstat(readEnd.get(), &st) == 0) {
    version = ParseVersion(kept.buf);
  }
  free(kept.buf);
  return version;
}

// True for a version of the numbering that began with 9 ("9", "11.0.2", "17.0.13"); the ones
// before it begin with "1.".
bool NinthOrLater(const char *version) {
  if (version[0] == '1' && version[1] == '.') return false;
  int major = 0, digits = 0;
  for (; version[digits] >= '0' && version[digits] <= '9' && digits < 6; digits++)
    major = major * 10 + (version[digits] - '0');
  return digits > 0 && major >= 9;
}

bool AlreadyRefused(const char *root) {
  for (const RefusedRuntime *r = refused; r != nullptr; r = r->next) {
    if (strcmp(r->root, root) == 0) return true;
  }
  return false;
}

// Records root as refused, once; reported is the version text it gave, if any.
void NoteRefusal(const char *root, RefusalReason reason, const char *reported) {
  if (AlreadyRefused(root)) return;
  RefusedRuntime *r = static_cast<RefusedRuntime *>(MemAlloc(sizeof(RefusedRuntime)));
  r->root = StrDup(root);
  r->reason = reason;
  r->version = nullptr;
  r->next = nullptr;
  if (reported != nullptr && reason != RefusalReason::NoVersion && reason != RefusalReason::TimedOut) {
    // Shown to the user: the runtime's bytes, but no control characters for the terminal.
    r->version = StrDup(reported);
    for (char *p = r->version; *p != '\0'; p++) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (c < 0x20 || c == 0x7f) *p = '?';
    }
  }
  *refusedEnd = r;
  refusedEnd = &r->next;
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
  bool timedOut = false;
  char *version = RunProbe(path, &timedOut);
  if (version != nullptr && CheckVersion(version)) return version;
  RefusalReason reason = timedOut                                 ? RefusalReason::TimedOut
                         : version != nullptr && version[0] != '\0' ? RefusalReason::Unsupported
                                                                    : RefusalReason::NoVersion;
  NoteRefusal(path, reason, version);
  free(version);
  return nullptr;
}

jboolean CheckJavaVersion(const char *jrepath) {
  char *version = CheckJREVersion(jrepath);
  if (version == nullptr) return JNI_FALSE;
  free(version);
  return JNI_TRUE;
}

void ProbeForeignRuntimes(void) {
  for (const ForeignRuntime *f = GetForeignRuntimes(); f != nullptr; f = f->next) {
    if (AlreadyRefused(f->dir)) continue;
    bool timedOut = false;
    char *version = RunProbe(f->dir, &timedOut);
    RefusalReason reason = timedOut                                 ? RefusalReason::TimedOut
                           : version == nullptr || version[0] == '\0' ? RefusalReason::NoVersion
                           : CheckVersion(version)                    ? RefusalReason::OtherLayout
                           : NinthOrLater(version)                    ? RefusalReason::TooNew
                                                                      : RefusalReason::Unsupported;
    NoteRefusal(f->dir, reason, version);
    free(version);
  }
}

const RefusedRuntime *GetRefusedRuntimes(void) { return refused; }

void ForgetRefusedRuntimesForTesting(void) {
  while (refused != nullptr) {
    RefusedRuntime *next = refused->next;
    free(refused->root);
    free(refused->version);
    free(refused);
    refused = next;
  }
  refusedEnd = &refused;
}
