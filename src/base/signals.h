// The signal helpers that the start-up, the exit path, the child processes and the Motif thread
// share: holding every signal back for a moment, giving a signal its default action, and
// waiting for a child that the signal handlers may stop.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>

// Holds every signal back on the calling thread for the life of the guard, then restores the
// mask it found. For the moments in which a handler must not see a state half made (a working
// directory named before it exists, a child that runs but is not yet recorded), and for a new
// thread, which starts with the mask of the thread that makes it.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld &) = delete;
  SignalsHeld &operator=(const SignalsHeld &) = delete;

 private:
  sigset_t previous_;
};

// True when sig is caught by a handler of this process (neither default nor ignored), as the
// launcher's are: a forked child that is not the launcher must not run them. Async-signal-safe.
inline bool IsCaught(int sig) {
  struct sigaction current;
  if (sigaction(sig, nullptr, &current) != 0) return false;
  return (current.sa_flags & SA_SIGINFO) != 0 ||
         (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
}

// Gives sig the plain action `handler` (SIG_DFL, SIG_IGN), no flags, no mask. Async-signal-safe.
inline void SetAction(int sig, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// Gives sig its default action. Async-signal-safe.
inline void SetDefaultAction(int sig) { SetAction(sig, SIG_DFL); }

// Whether SIGXFSZ came ignored from the launcher's parent. The launcher and its extraction
// workers ignore it, so that a write beyond the file-size limit fails (EFBIG) and is reported;
// the programs it runs (the version probe, the Java program, the upgrade script) get it back as
// they would have had it from the launcher's parent, the default unless that ignored it.
inline volatile sig_atomic_t fileSizeSignalInheritedIgnored = 0;

// Records SIGXFSZ's disposition before the launcher changes it.
inline void NoteInheritedFileSizeSignal() {
  struct sigaction inherited;
  if (sigaction(SIGXFSZ, nullptr, &inherited) == 0)
    fileSizeSignalInheritedIgnored = (inherited.sa_flags & SA_SIGINFO) == 0 &&
                                     inherited.sa_handler == SIG_IGN;
}

// In a child about to exec: SIGXFSZ as the launcher inherited it. Async-signal-safe.
inline void RestoreInheritedFileSizeSignal() {
  SetAction(SIGXFSZ, fileSizeSignalInheritedIgnored ? SIG_IGN : SIG_DFL);
}

// Reaps the ended (or killed) child pid, going on after interrupted waits. Async-signal-safe.
inline pid_t ReapChild(pid_t pid, int *status) {
  pid_t w;
  do {
    w = waitpid(pid, status, 0);
  } while (w < 0 && errno == EINTR);
  return w;
}

// Waits for the child pid, which *record holds for the signal handlers, to end; then, with every
// signal held, reaps it and clears the record. The child is waited for without being reaped, so
// that its process ID stays its own for as long as a handler may find it in the record and
// signal it. pid and its status as from waitpid, or -1.
inline pid_t WaitAndForgetChild(pid_t pid, int *status, volatile sig_atomic_t *record) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  SignalsHeld held;
  const pid_t w = ReapChild(pid, status);
  if (*record == pid) *record = 0;
  return w;
}
