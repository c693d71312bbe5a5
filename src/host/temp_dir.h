// The temporary directory under which the launcher makes its working directory and lock file.
// The recorded directory is a string of this module, kept for the whole run.
#pragma once

#include "base/types.h"

// The temporary directory unless -tmpdir names another.
constexpr const char kDefaultTempDir[] = "/tmp";

// Accepts path (made absolute against the current directory) when the real user may read,
// write and search it and it is a directory; records it in place of the one recorded before,
// which is freed, and returns true. A refused path changes nothing.
jboolean SetTempDir(const char *path);
// The recorded directory; "/tmp" when none was set. Null when even "/tmp" is refused. Owned by
// this module, and good until the next successful SetTempDir (the start-up makes none after the
// command line).
const char *GetTempDir(void);
// Opens the directory at the absolute path (O_PATH) by a walk from "/" that checks every
// directory it passes through, and every symbolic link it follows, before it goes on: each must
// belong to root or to the effective user, and a directory must not be writable by group or
// others unless it is sticky. A descriptor of the directory, which nobody else can then rename
// or replace; else -1, with *offender a new string naming the first one that failed the check
// (the caller frees it), or null when the walk failed otherwise (a missing component, too many
// links).
int OpenTrustedDirectory(const char *path, char **offender);
