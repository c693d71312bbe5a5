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

// Gives sig its default action. Async-signal-safe.
inline void SetDefaultAction(int sig) {
  struct sigaction byDefault;
  memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(sig, &byDefault, nullptr);
}
