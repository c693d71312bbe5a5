// The record of the running child, shared by whoever starts one and the signal handlers. The
// record is made with every signal blocked across the fork and cleared with every signal
// blocked across the reaping, so a handler never misses a running child and never signals a
// process ID that has already been reaped (and might be reused).
#include "runtime/child.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/signals.h"

namespace {

// What a handler may read at any moment: the child's process ID (0: none) and its ChildStop.
volatile sig_atomic_t runningPid = 0;
volatile sig_atomic_t runningStop = 0;

constexpr int kStopWaitSeconds = 10;
constexpr long kStopPollNanoseconds = 20 * 1000 * 1000;

// In a new child: the launcher's handlers clean up after the launcher, so a signal that reaches
// the child before its exec must act as it will in the program it becomes. SIGXFSZ, which the
// launcher ignores for its own writes only, goes back to what the launcher inherited; SIGHUP,
// SIGPWR and SIGWINCH stay ignored.
void RestoreDefaultHandlers() {
  for (int sig = 1; sig < NSIG; sig++)
    if (IsCaught(sig)) SetDefaultAction(sig);
  RestoreInheritedFileSizeSignal();
}

long long Nanoseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Polls for pid's end for at most `seconds`; true when it ended and was reaped.
bool ReapedWithin(pid_t pid, int seconds) {
  const long long deadline = Nanoseconds() + seconds * 1000000000LL;
  for (;;) {
    pid_t w = waitpid(pid, nullptr, WNOHANG);
    if (w == pid) return true;
    if (w < 0 && errno != EINTR) return true;  // nothing left to wait for
    if (Nanoseconds() >= deadline) return false;
    struct timespec step = {0, kStopPollNanoseconds};
    nanosleep(&step, nullptr);
  }
}

}  // namespace

pid_t ForkRunningChild(ChildStop stop) {
  SignalsHeld held;
  pid_t pid = fork();
  if (pid == 0) {
    RestoreDefaultHandlers();
    if (stop == ChildStop::WholeGroup) setpgid(0, 0);
    return 0;
  }
  if (pid > 0) {
    // Also here: the parent may signal the group before the child has got as far.
    if (stop == ChildStop::WholeGroup) setpgid(pid, pid);
    runningStop = static_cast<sig_atomic_t>(stop);
    runningPid = pid;
  }
  return pid;
}

bool RunningChildEnded(pid_t pid) {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  return r < 0 || info.si_pid == pid;
}

pid_t WaitForRunningChild(pid_t pid, int *status) {
  return WaitAndForgetChild(pid, status, &runningPid);
}

void StopRunningChild(void) {
  const pid_t pid = runningPid;
  if (pid <= 0) return;
  const int savedErrno = errno;
  bool reaped = false;
  if (runningStop == static_cast<sig_atomic_t>(ChildStop::WholeGroup)) {
    kill(-pid, SIGKILL);
  } else {
    kill(pid, SIGTERM);
    reaped = ReapedWithin(pid, kStopWaitSeconds);
    if (!reaped) kill(pid, SIGKILL);
  }
  if (!reaped) ReapChild(pid, nullptr);
  runningPid = 0;
  errno = savedErrno;
}
