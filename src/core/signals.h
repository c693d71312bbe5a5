// The two signal helpers that the start-up, the exit path, the child processes and the Motif
// thread share: holding every signal back for a moment, and giving a signal its default action.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <string.h>

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

// Gives sig its default action. Async-signal-safe.
inline void SetDefaultAction(int sig) {
  struct sigaction byDefault;
  memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(sig, &byDefault, nullptr);
}
