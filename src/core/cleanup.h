// The one way out that removes the working directory: the normal end, the fatal errors met deep
// inside, and the signal handlers.
#pragma once

// Looks up the clean-up status text for the handlers (they can neither look up nor convert a
// message), then installs the launcher's signal dispositions: SIGHUP, SIGPWR and SIGWINCH
// ignored; SIGALRM, SIGINT, SIGIO, SIGTERM and SIGVTALRM to HandleSignalAndExit; SIGABRT,
// SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGQUIT and SIGSEGV to HandleSignalAndAbort; then every
// other signal whose default ends the process: SIGUSR1, SIGUSR2, SIGPROF, SIGSTKFLT and the
// real-time signals to HandleSignalAndExit, SIGTRAP, SIGXCPU and SIGSYS (which would dump core)
// to HandleSignalAndAbort, and SIGXFSZ ignored (children get it back as it was inherited, see
// RestoreInheritedFileSizeSignal). Every handler runs with all signals blocked.
void InstallSignalDispositions(void);
// Shows "performing_cleanup", runs the profile's Cleanup hook when doCleanup is set, and
// deletes the working directory.
void PrepareToExit(void);
// Stops a running child first (the Java program or the upgrade script: SIGTERM, up to 10
// seconds, then SIGKILL; the version probe: SIGKILL to its group), then the same clean-up from
// signal context (status text written with write(2)), then _exit(255).
void HandleSignalAndExit(int sig);
// The same as HandleSignalAndExit, but ends by SIGABRT with its default effect.
void HandleSignalAndAbort(int sig);
// Ends the process with status after a fatal error on the main thread (memory exhausted, the X
// connection lost inside a toolkit call), from wherever it was met: with signals blocked, the
// clean-up of the signal handlers when a working directory exists (status text written with
// write(2), allocation-free deletion), then exit(status), so the exit functions still run.
[[noreturn]] void ExitAfterCleanup(int status);
// Makes ExitAfterCleanup the end of the fatal errors met on the floors below (base's fatal-exit
// hook, ExitFatally). The start-up's first step.
void InstallFatalExitHook(void);
// Deletes the working directory's tree (through workdirFd when it is open), frees workdir and
// closes workdirFd, leaving null and -1.
void DeleteWorkingDirectory(void);
