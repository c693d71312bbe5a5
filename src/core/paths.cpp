// Finds the running executable from the name it was started with, derives the application
// home from it, and provides the path, memory and descriptor helpers shared by the whole
// launcher.
#include "core/paths.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/cleanup.h"
#include "i18n/locale.h"
#include "testing/hooks.h"

namespace {

char *execname = nullptr;
char *applicationHome = nullptr;
// Set in an extraction worker: running out of memory must not clean up after the launcher.
bool isHelperProcess = false;

}  // namespace

jboolean IsAbsolutePath(const char *path) { return path != nullptr && path[0] == '/'; }

jboolean IsExecutable(const char *path) {
  struct stat st;
  if (access(path, R_OK | X_OK) != 0) return JNI_FALSE;
  if (stat(path, &st) != 0) return JNI_FALSE;
  // The directory bit alone, not S_ISDIR: on purpose, it also refuses a block device, whose
  // file type includes that bit.
  return (st.st_mode & 0040000) == 0;
}

char *Resolve(const char *parent, const char *child) {
  if (parent == nullptr) return StrDup(child);
  size_t plen = strlen(parent), clen = strlen(child);
  char *s = static_cast<char *>(MemAlloc(plen + clen + 2));
  memcpy(s, parent, plen);
  s[plen] = '/';
  memcpy(s + plen + 1, child, clen + 1);
  return s;
}

char *Concat(const char *a, const char *b) {
  size_t alen = strlen(a), blen = strlen(b);
  char *s = static_cast<char *>(MemAlloc(alen + blen + 1));
  memcpy(s, a, alen);
  memcpy(s + alen, b, blen + 1);
  return s;
}

char *JoinSearchList(const char *prefix, const char *first, const char *second) {
  size_t len = strlen(prefix) + 1;
  if (first != nullptr) len += strlen(first) + 1;
  if (second != nullptr) len += strlen(second) + 1;
  char *s = static_cast<char *>(MemAlloc(len));
  strcpy(s, prefix);
  const char *separator = "";
  const char *const parts[] = {first, second};
  for (const char *part : parts) {
    if (part == nullptr) continue;
    strcat(s, separator);
    strcat(s, part);
    separator = ":";
  }
  return s;
}

char *NextListElement(char **rest) {
  char *element = *rest;
  char *sep = _strchr(element, ':');
  if (sep != nullptr) *sep = '\0';
  *rest = sep != nullptr ? sep + 1 : nullptr;
  return element;
}

char *GetCurrentDir(void) {
  size_t size = 4096;
  for (;;) {
    char *buf = static_cast<char *>(MemAlloc(size));
    if (getcwd(buf, size) != nullptr) return buf;
    int err = errno;
    free(buf);
    if (err != ERANGE) return nullptr;
    size += 4096;
  }
}

char *FindExecName(const char *program) {
  if (program == nullptr) return nullptr;
  char *candidate = nullptr;
  if (IsAbsolutePath(program)) {
    candidate = Resolve("", program);
  } else if (_strchr(program, '/') != nullptr) {
    char *cwd = GetCurrentDir();
    if (cwd == nullptr) return nullptr;
    candidate = Resolve(cwd, program);
    free(cwd);
  }
  if (candidate != nullptr) {
    if (!IsExecutable(candidate)) {
      free(candidate);
      return nullptr;
    }
    return candidate;
  }

  const char *path = getenv("PATH");
  if (path == nullptr) return nullptr;
  char *copy = StrDup(path);
  char *result = nullptr;
  for (char *rest = copy; rest != nullptr && result == nullptr;) {
    const char *element = NextListElement(&rest);
    candidate = Resolve(*element != '\0' ? element : ".", program);
    if (IsExecutable(candidate))
      result = candidate;
    else
      free(candidate);
  }
  free(copy);
  return result;
}

const char *SetExecName(const char *program) {
  if (execname == nullptr) execname = FindExecName(program);
  return execname;
}

const char *GetExecName(void) { return execname; }

const char *GetApplicationHome(void) {
  if (applicationHome != nullptr) return applicationHome;
  if (execname == nullptr) return nullptr;
  char *home = StrDup(execname);
  char *slash = _strrchr(home, '/');
  // //opt/app/setup gives //opt/app, ./setup gives ".", //setup gives "/".
  if (slash != nullptr) *slash = '\0';
  applicationHome = home;
  return applicationHome;
}

void SetApplicationHome(char *home) {
  free(applicationHome);
  applicationHome = home;
}

jboolean WriteAll(int fd, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return JNI_FALSE;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return JNI_TRUE;
}

void *MemAlloc(size_t size) {
  void *p = malloc(size != 0 ? size : 1);
  if (p == nullptr) {
    if (isHelperProcess) _exit(1);
    perror("Out of memory");
    ExitAfterCleanup(1);
  }
  return p;
}

void BecomeHelperProcess(void) { isHelperProcess = true; }

char *StrDup(const char *str) {
  size_t len = strlen(str) + 1;
  char *s = static_cast<char *>(MemAlloc(len));
  memcpy(s, str, len);
  return s;
}

void ForgetExecNameForTesting(void) {
  free(execname);
  execname = nullptr;
  free(applicationHome);
  applicationHome = nullptr;
}
