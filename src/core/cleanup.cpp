// The one way out that removes the working directory: the normal end of a run, the failure
// returns once the directory exists, the fatal errors that end the run from deep inside
// (memory exhausted, the X connection lost in a toolkit call), and the signal handlers. The
// fatal errors and the handlers may interrupt anything, including malloc and stdio, so
// everything they touch is prepared beforehand: the status text is looked up and converted
// when the handlers are installed, and the tree is deleted by the allocation-free and lock-free
// deletion of tree_deletion.cpp, which also serves the normal end.
#include "core/cleanup.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "archive/extract.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/product.h"
#include "base/signals.h"
#include "base/tree_deletion.h"
#include "core/startup.h"
#include "i18n/locale.h"
#include "runtime/child.h"
#include "ui/output.h"
#include "ui/progress.h"

namespace {

// Deletes the working directory's tree through its descriptor, and its name while that still
// leads to it; without a descriptor (a directory published by name alone), by name.
// Async-signal-safe.
void DeleteWorkingTree() {
  const char *dir = workdir;
  if (dir == nullptr) return;
  if (workdirFd >= 0)
    DeleteOpenDirectory(workdirFd, dir);
  else
    DeleteFilesAndDirectories(dir);
}

// "performing_cleanup" in the locale's character set, made before any handler is installed.
char *signalCleanupText = nullptr;
size_t signalCleanupLength = 0;

// PrepareToExit for signal context: the same steps, with nothing that allocates, converts or
// takes a lock. workdir is not freed; the process ends right after. A running Java program or
// upgrade script, and the workers of an extraction, are stopped first: none may go on with its
// files deleted under it, or write new ones after the deletion has passed.
void PrepareToExitFromSignal() {
  int savedErrno = errno;
  StopRunningChild();
  StopExtractionWorkers();
  // Its own line, not behind a progress line.
  EraseProgressLine();
  if (signalCleanupText != nullptr) WriteAll(STDOUT_FILENO, signalCleanupText, signalCleanupLength);
  if (doCleanup) Cleanup();
  DeleteWorkingTree();
  errno = savedErrno;
}

// The launcher's own dispositions: every signal blocked while a handler runs, no flags (no
// restart, no reset).
void SetLauncherAction(int sig, void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(sig, &action, nullptr);
}

}  // namespace

void ExitAfterCleanup(int status) {
  // A signal now would start a second clean-up on top of this one and end with its own status.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  if (workdir != nullptr) {
    // Not in signal context: what is buffered may go first, so the status text comes last.
    fflush(stdout);
    PrepareToExitFromSignal();
  }
  exit(status);
}

void InstallFatalExitHook(void) { SetFatalExitHook(ExitAfterCleanup); }

void InstallSignalDispositions(void) {
  if (signalCleanupText == nullptr) {
    signalCleanupText = GetLocalizedMessage("performing_cleanup");
    signalCleanupLength = strlen(signalCleanupText);
  }
  struct Disposition {
    int sig;
    void (*handler)(int);
  };
  static const Disposition kDispositions[] = {
      // Inherited as ignored, SIGCHLD would have the kernel reap every child at once, and no
      // child's status (the version probe's, the Java program's) could be read.
      {SIGCHLD, SIG_DFL},
      {SIGHUP, SIG_IGN},
      {SIGPWR, SIG_IGN},
      {SIGWINCH, SIG_IGN},
      {SIGALRM, HandleSignalAndExit},
      {SIGINT, HandleSignalAndExit},
      {SIGIO, HandleSignalAndExit},
      {SIGTERM, HandleSignalAndExit},
      {SIGVTALRM, HandleSignalAndExit},
      {SIGABRT, HandleSignalAndAbort},
      {SIGBUS, HandleSignalAndAbort},
      {SIGFPE, HandleSignalAndAbort},
      {SIGILL, HandleSignalAndAbort},
      {SIGPIPE, HandleSignalAndAbort},
      {SIGQUIT, HandleSignalAndAbort},
      {SIGSEGV, HandleSignalAndAbort},
      // Every other signal whose default would end the launcher, leaving the working directory
      // and a running Java program behind, ends it through the clean-up as well: those that
      // would dump core by the abort path, the others by the exit path.
      {SIGUSR1, HandleSignalAndExit},
      {SIGUSR2, HandleSignalAndExit},
      {SIGPROF, HandleSignalAndExit},
      {SIGSTKFLT, HandleSignalAndExit},
      {SIGTRAP, HandleSignalAndAbort},
      {SIGXCPU, HandleSignalAndAbort},
      {SIGSYS, HandleSignalAndAbort},
      // A write beyond the file-size limit then fails with EFBIG and is reported as a write
      // failure, instead of killing the launcher half-way through the extraction.
      {SIGXFSZ, SIG_IGN},
  };
  NoteInheritedFileSizeSignal();
  for (const Disposition &d : kDispositions) SetLauncherAction(d.sig, d.handler);
  // The real-time signals that glibc leaves to programs (it keeps the first two or three for
  // its threads, and refuses them here).
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) SetLauncherAction(sig, HandleSignalAndExit);
}

void PrepareToExit(void) {
  ShowMessage("performing_cleanup");
  if (doCleanup) Cleanup();
  DeleteWorkingDirectory();
}

void HandleSignalAndExit(int) {
  PrepareToExitFromSignal();
  _exit(255);
}

void HandleSignalAndAbort(int) {
  PrepareToExitFromSignal();
  SetDefaultAction(SIGABRT);
  abort();
}

void DeleteWorkingDirectory(void) {
  // A handler that ran in the middle would delete from a path being freed; held back, it
  // finds workdir null afterwards and only ends the process.
  SignalsHeld held;
  DeleteWorkingTree();
  free(workdir);
  workdir = nullptr;
  if (workdirFd >= 0) close(workdirFd);
  workdirFd = -1;
}
