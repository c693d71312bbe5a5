// The version probe: a runtime's bin/java run with "-version" in a child process.
#pragma once

#include "core/types.h"

jboolean CheckVersion(const char *version);
// New accepted version text of the runtime root path, or null.
char *CheckJREVersion(const char *path);
jboolean CheckJavaVersion(const char *jrepath);
