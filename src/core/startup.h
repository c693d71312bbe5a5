// The start-up sequence and the launcher-wide state that it owns.
#pragma once

#include "core/types.h"

// Last path component of execname (points into it), or null.
extern const char *progname;
// The per-run working directory, or null; freed by DeleteWorkingDirectory.
extern char *workdir;
// Set just before the clean-up of a normal end; gates the profile's Cleanup hook.
extern jboolean doCleanup;

// Runs the whole start-up sequence; returns the process exit status.
int LauncherMain(int argc, char **argv);
