// What a Java runtime and a development kit look like on disk, and the search for the best one.
#pragma once

#include "base/types.h"

// The processor directory inside a runtime (lib/<dir>/libjava.so) that a launcher of the given
// ELF class (32 or 64) looks for: "i386" or "amd64".
constexpr const char *RuntimeArchDir(int elfClass) { return elfClass == 64 ? "amd64" : "i386"; }
// The processor directory of this build's runtimes: "i386" in the 32-bit build, "amd64" in the
// x86_64 build. Static.
const char *GetArch(void);
// New string: the java program of the runtime root (root/bin/java), the one the launcher runs.
char *JavaProgramOf(const char *root);
// New runtime root held by the directory path, or null.
char *GetJREPath(const char *path);
// True when the runtime root belongs to a development kit.
jboolean IsJDK(const char *path);
// New root of the preferred runtime on the machine (or in the archive), or null.
char *GetPublicJREPath(void);
// Where the search finds the private runtime, the first place it looks: lookup gives its root
// (owned by the lookup's module) or null. The start-up hands in the profile's GetBundledJREPath,
// which unpacks the runtime from the archive on demand; without a lookup there is none.
void SetBundledJRELookup(const char *(*lookup)(void));

// A directory that holds an executable bin/java but no runtime of this launcher's width: a
// runtime of version 9 or later (lib/libjava.so), one for the other processor, or anything else
// with a java. The search never uses one; it is listed, with what its java reports, when no
// runtime is usable.
struct ForeignRuntime {
  char *dir;
  ForeignRuntime *next;
};
// Remembers dir (the -javahome directory, a "/usr/java" entry, the directory above a JAVA_HOME
// or PATH bin directory), which GetJREPath has found not to be a runtime of this launcher's
// layout, when it is such a directory; when its bin/java is a symbolic link, as
// the alternatives system installs java on PATH, the directory that the link leads to is
// remembered instead. Starts no process.
void NoteForeignRuntime(const char *dir);
// Those remembered, each directory once, in the order seen; owned by this module.
const ForeignRuntime *GetForeignRuntimes(void);
