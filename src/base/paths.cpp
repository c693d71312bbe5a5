// Finds the running executable from the name it was started with, derives the application
// home from it, and provides the path and descriptor helpers shared by the whole launcher.
#include "base/paths.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/memory.h"
#include "base/multibyte.h"
#include "base/testing.h"

namespace {

char *execname = nullptr;
char *applicationHome = nullptr;
// openat2(2), which glibc has no wrapper for: the same number on i386 and x86_64.
constexpr long kSysOpenat2 = 437;
struct OpenHow {
  uint64_t flags, mode, resolve;
};
constexpr uint64_t kResolveNoMagicLinks = 0x02, kResolveNoSymlinks = 0x04,
                   kResolveBeneath = 0x08;
// Cleared once the kernel has said that it has no openat2 (before Linux 5.6).
bool haveOpenat2 = true;

// OpenBeneath for kernels without openat2: each directory on the way is opened in turn with
// O_NOFOLLOW, so no symbolic link is followed and ".." is refused outright.
int OpenBeneathByWalk(int dirfd, const char *path, int flags, mode_t mode) {
  int at = dirfd;
  const char *p = path;
  for (;;) {
    while (*p == '/') p++;
    const char *end = strchr(p, '/');
    const size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    int next;
    if (len == 2 && p[0] == '.' && p[1] == '.') {
      errno = EXDEV;  // as openat2 says of a path that leaves the directory
      next = -1;
    } else if (len > NAME_MAX) {
      errno = ENAMETOOLONG;
      next = -1;
    } else if (end == nullptr) {
      next = openat(at, len > 0 ? p : ".", flags | O_NOFOLLOW, mode);
    } else if (len == 0 || (len == 1 && p[0] == '.')) {
      p = end;
      continue;
    } else {
      char name[NAME_MAX + 1];
      memcpy(name, p, len);
      name[len] = '\0';
      next = openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (at != dirfd) {
      const int saved = errno;
      close(at);
      errno = saved;
    }
    if (next < 0 || end == nullptr) return next;
    at = next;
    p = end;
  }
}

}  // namespace

int OpenBeneath(int dirfd, const char *path, int flags, mode_t mode) {
  if (haveOpenat2) {
    OpenHow how = {static_cast<uint64_t>(flags | O_NOFOLLOW), (flags & O_CREAT) != 0 ? mode : 0,
                   kResolveBeneath | kResolveNoSymlinks | kResolveNoMagicLinks};
    const long fd = syscall(kSysOpenat2, dirfd, path, &how, sizeof how);
    // ENOSYS from an older kernel; EPERM from a container's system-call filter that refuses
    // what it does not know. The walk then does the same, and so do the opens after this one.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    haveOpenat2 = false;
  }
  return OpenBeneathByWalk(dirfd, path, flags, mode);
}

void UseOpenBeneathByWalkForTesting(bool walk) { haveOpenat2 = !walk; }

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

void ForgetExecNameForTesting(void) {
  free(execname);
  execname = nullptr;
  free(applicationHome);
  applicationHome = nullptr;
}
