// The temporary directory: "/tmp" by default, or the directory accepted from -tmpdir. A
// directory qualifies when the real user may list, create in and enter it. Whether a working
// directory may be made in it is another question: only where no other user can rename it or
// anything above it.
#include "host/temp_dir.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/memory.h"
#include "base/paths.h"
#include "host/testing.h"

namespace {

char *tmpdir = nullptr;

// As the kernel counts them for one path.
constexpr int kMostLinks = 40;

// Nobody but root and this user can change it: a directory of theirs that others may not write
// to, or that is sticky (others may not rename or remove what is not theirs); a symbolic link
// of theirs (its directory decides who may replace it).
bool Trusted(const struct stat &st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) return false;
  return S_ISLNK(st.st_mode) || (st.st_mode & S_ISVTX) != 0 ||
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A text that grows: the path walked so far, or what is left to walk.
struct Text {
  char *s = nullptr;
  size_t len = 0;

  Text() = default;
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;
  ~Text() { free(s); }

  // Replaces the text with a, then b (of length blen).
  void Set(const char *a, const char *b = "", size_t blen = 0) {
    const size_t alen = strlen(a);
    char *n = static_cast<char *>(MemAlloc(alen + blen + 1));
    memcpy(n, a, alen);
    memcpy(n + alen, b, blen);
    n[alen + blen] = '\0';
    free(s);
    s = n;
    len = alen + blen;
  }
  // Appends "/" and the component (of length n).
  void Push(const char *component, size_t n) {
    char *grown = static_cast<char *>(MemAlloc(len + n + 2));
    memcpy(grown, s, len);
    grown[len] = '/';
    memcpy(grown + len + 1, component, n);
    grown[len + n + 1] = '\0';
    free(s);
    s = grown;
    len += n + 1;
  }
  // Drops the last component ("" stands for "/").
  void Pop() {
    while (len > 0 && s[len - 1] != '/') len--;
    if (len > 0) len--;
    s[len] = '\0';
  }
  // A new string of the text, "/" for the root.
  char *Copy() const { return StrDup(len > 0 ? s : "/"); }
};

// Replaces the directory descriptor *fd with next (closing the old one); false when next is -1,
// which then stands in *fd.
bool Step(int *fd, int next) {
  close(*fd);
  *fd = next;
  return next >= 0;
}

}  // namespace

int OpenTrustedDirectory(const char *path, char **offender) {
  *offender = nullptr;
  if (!IsAbsolutePath(path)) return -1;
  constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open("/", kDirFlags);
  Text walked, rest;
  walked.Set("");
  rest.Set(path);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  int links = 0;
  size_t at = 0;
  for (;;) {
    if (!Trusted(st)) {
      *offender = walked.Copy();
      break;
    }
    while (rest.s[at] == '/') at++;
    if (rest.s[at] == '\0') return fd;
    const char *component = rest.s + at;
    const char *end = strchr(component, '/');
    const size_t n = end != nullptr ? static_cast<size_t>(end - component) : strlen(component);
    at += n;
    if (n == 1 && component[0] == '.') continue;
    if (n > NAME_MAX) break;
    char name[NAME_MAX + 1];
    memcpy(name, component, n);
    name[n] = '\0';
    if (strcmp(name, "..") == 0) {
      walked.Pop();
      if (!Step(&fd, openat(fd, "..", kDirFlags)) || fstat(fd, &st) != 0) break;
      continue;
    }
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) break;
    if (S_ISLNK(st.st_mode)) {
      // Followed as the kernel would, and checked as it goes: the link's own owner, then every
      // directory its target leads through.
      if (!Trusted(st)) {
        walked.Push(name, n);
        *offender = walked.Copy();
        break;
      }
      char target[PATH_MAX];
      const ssize_t tlen = readlinkat(fd, name, target, sizeof target - 1);
      if (tlen <= 0 || ++links > kMostLinks) break;
      target[tlen] = '\0';
      Text next;
      next.Set(target, rest.s + at, rest.len - at);
      rest.Set(next.s);
      at = 0;
      if (target[0] == '/') {
        walked.Set("");
        if (!Step(&fd, open("/", kDirFlags))) break;
      }
      if (fstat(fd, &st) != 0) break;
      continue;
    }
    walked.Push(name, n);
    if (!Step(&fd, openat(fd, name, kDirFlags)) || fstat(fd, &st) != 0) break;
  }
  if (fd >= 0) close(fd);
  return -1;
}

jboolean SetTempDir(const char *path) {
  char *candidate;
  if (IsAbsolutePath(path)) {
    candidate = Resolve(nullptr, path);
  } else {
    // Without a current directory a relative path cannot be placed: refuse it.
    char *cwd = GetCurrentDir();
    if (cwd == nullptr) return JNI_FALSE;
    candidate = Resolve(cwd, path);
    free(cwd);
  }
  struct stat st;
  if (access(candidate, R_OK | W_OK | X_OK) == 0 && stat(candidate, &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    free(tmpdir);
    tmpdir = candidate;
    return JNI_TRUE;
  }
  free(candidate);
  return JNI_FALSE;
}

const char *GetTempDir(void) {
  if (tmpdir == nullptr) SetTempDir(kDefaultTempDir);
  return tmpdir;
}

void ResetTempDirForTesting(void) {
  free(tmpdir);
  tmpdir = nullptr;
}
