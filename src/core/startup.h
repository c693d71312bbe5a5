// The start-up sequence and the launcher-wide state that it owns.
#pragma once

#include "base/types.h"

// Free space that the start-up asks for in the temporary directory beyond the sum of the
// archive's entry sizes.
constexpr unsigned long long kSpaceMargin = 100000;

// Last path component of execname (points into it, never freed), or null.
extern const char *progname;
// The per-run working directory, or null. The signal handlers delete whatever it names at any
// moment, so it only ever names a directory that this run made: it is set right after mkdir
// made the directory and cleared by DeleteWorkingDirectory (which frees it), each time with
// every signal blocked, so that a handler never sees a half-published or freed name.
extern char *workdir;
// The working directory, open (O_RDONLY | O_DIRECTORY, close-on-exec) since it was made and
// checked to be the one made, or -1; published and cleared with workdir. The extraction, the
// change into it and the deletion go through it, whatever its name may lead to meanwhile.
extern int workdirFd;
// Set just before the clean-up of a normal end; gates the profile's Cleanup hook.
extern jboolean doCleanup;

// Around an extraction: its progress shown while it runs (ui/progress.h), unless the run is
// -silent. total is the sum of the sizes of the entries it extracts. The end comes before any
// message about the extraction's outcome, which then starts a line of its own.
void BeginExtractionProgress(unsigned long long total);
void EndExtractionProgress(void);
// Runs the whole start-up sequence; returns the process exit status.
int LauncherMain(int argc, char **argv);
