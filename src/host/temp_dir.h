// The temporary directory under which the launcher makes its working directory and lock file.
#pragma once

#include "core/types.h"

// The temporary directory unless -tmpdir names another.
constexpr const char kDefaultTempDir[] = "/tmp";

// Accepts path (made absolute against the current directory) when the real user may read,
// write and search it and it is a directory; records it and returns true.
jboolean SetTempDir(const char *path);
// The recorded directory; "/tmp" when none was set. Null when even "/tmp" is refused.
// Owned by this module.
const char *GetTempDir(void);
