// Location of the running executable, the application home, and the small path and descriptor
// helpers that every floor shares. Strings returned as "new" come from MemAlloc and belong to
// the caller (free); execname and the application home belong to this module for the whole run.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "base/types.h"

// True when path starts with "/".
jboolean IsAbsolutePath(const char *path);
// True when path may be read and executed by the real user and is not a directory.
jboolean IsExecutable(const char *path);
// New string "parent/child"; a null parent gives a copy of child. No normalisation.
char *Resolve(const char *parent, const char *child);
// New string: a followed by b.
char *Concat(const char *a, const char *b);
// New string: prefix, then first and second (those that are not null) separated by ":", as in a
// search list such as PATH or LD_LIBRARY_PATH.
char *JoinSearchList(const char *prefix, const char *first, const char *second);
// The next element of a ":"-separated search list being cut up in place: the element at *rest,
// ended where its ":" was (found with _strchr); *rest moves on to the element after it, or to
// null after the last one.
char *NextListElement(char **rest);
// New absolute (or PATH-derived) path of the executable started as program, or null.
char *FindExecName(const char *program);
// Sets execname once from program (later calls keep the first result) and returns it.
const char *SetExecName(const char *program);
// execname, or null before SetExecName or when it failed.
const char *GetExecName(void);
// The application home: the directory of execname unless SetApplicationHome replaced it.
const char *GetApplicationHome(void);
// Replaces the application home with home (ownership passes to this module).
void SetApplicationHome(char *home);
// New string holding the current directory, or null. Grows its buffer only while getcwd
// reports ERANGE, so a removed or unreadable current directory fails instead of looping.
char *GetCurrentDir(void);
// Writes all len bytes of buf to fd with write(2), going on after short and interrupted writes.
// Async-signal-safe: for the signal handlers and a child between fork and exec, where stdio may
// not be used. False when a write fails, with errno set (EIO when the file took nothing).
jboolean WriteAll(int fd, const void *buf, size_t len);
// openat(2) of path beneath the directory open as dirfd, never through a symbolic link (the last
// component included) and never out of it (no "..", no absolute path leading elsewhere):
// openat2 with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS where the kernel has it, else a walk that
// opens one directory after the other with O_NOFOLLOW. A descriptor, or -1 with errno set.
int OpenBeneath(int dirfd, const char *path, int flags, mode_t mode);
