// Memory for the whole launcher, and the way out of a fatal error met on any floor. Running out
// of memory ends the run; how a run ends is the start-up's business (it also removes the working
// directory), so the floors below it end through a hook that the start-up installs instead of
// calling up into it.
#pragma once

#include <stddef.h>

// Allocation that never returns null (the caller frees it): on exhaustion "Out of memory" goes
// through perror and the process ends through ExitFatally(1). In a helper process (see
// BecomeHelperProcess) it ends only that process, with _exit(1).
void *MemAlloc(size_t size);
// New copy of str, from MemAlloc; the caller frees it.
char *StrDup(const char *str);
// Marks the calling process, a child forked to do part of the launcher's work (an extraction
// worker), as one that never runs the launcher's clean-up: the working directory and the exit
// status belong to the launcher that forked it.
void BecomeHelperProcess(void);

// Makes hook(status) the end of every fatal error; it must not return. The start-up installs
// the clean-up's exit before anything can fail; null restores the default, exit(status).
void SetFatalExitHook(void (*hook)(int status));
// Ends the process with status after a fatal error on the main thread (memory exhausted, the X
// connection lost inside a toolkit call), wherever it was met, through the installed hook.
[[noreturn]] void ExitFatally(int status);
