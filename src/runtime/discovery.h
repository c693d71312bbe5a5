// What a Java runtime and a development kit look like on disk, and the search for the best one.
#pragma once

#include "core/types.h"

// The processor directory inside a runtime ("i386" in the 32-bit build, "amd64" in the x86_64
// build). Static.
const char *GetArch(void);
// New runtime root held by the directory path, or null.
char *GetJREPath(const char *path);
// True when the runtime root belongs to a development kit.
jboolean IsJDK(const char *path);
// New root of the preferred runtime on the machine (or in the archive), or null.
char *GetPublicJREPath(void);
