// Deletion of a tree (the working directory) that is safe in signal context: no allocation, no
// lock, nothing from stdio. Directory descriptors, getdents64 straight from the kernel and the
// *at() calls relative to the descriptors do all the work.
//
// The deletion must cope with trees of any depth without recursing on the stack and without a
// descriptor per level, and must never step outside the tree (no symbolic link is followed,
// no ".." is opened). It therefore never descends more than one level below the top directory:
// it empties each subdirectory of the top directory, unlinking what it holds and moving the
// directories it holds up into the top directory under fresh names, where a later pass over
// the top directory takes them on. Every successful unlink or move brings the tree closer to
// empty, so the passes end; a pass that achieves nothing ends them too (best effort).
#include "base/tree_deletion.h"

#include <dirent.h>  // the DT_ entry types only
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>  // renameat
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/paths.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

// The record layout that getdents64 fills in.
struct KernelDirent {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// Reads the entries of a directory descriptor in batches, straight from the kernel.
class DirReader {
 public:
  explicit DirReader(int fd) : fd_(fd) {}
  DirReader(const DirReader &) = delete;
  DirReader &operator=(const DirReader &) = delete;

  // The next entry's name (and its type, DT_UNKNOWN when the file system does not tell), or
  // null at the end or on a read error.
  const char *Next(unsigned char *type) {
    for (;;) {
      if (pos_ < len_) {
        const KernelDirent *d = reinterpret_cast<const KernelDirent *>(buf_ + pos_);
        if (d->reclen == 0 || d->reclen > len_ - pos_) return nullptr;
        pos_ += d->reclen;
        *type = d->type;
        return d->name;
      }
      long n = syscall(SYS_getdents64, fd_, buf_, sizeof buf_);
      if (n <= 0) return nullptr;
      len_ = static_cast<size_t>(n);
      pos_ = 0;
    }
  }

 private:
  int fd_;
  size_t pos_ = 0, len_ = 0;
  alignas(8) char buf_[4096];
};

bool IsDotOrDotDot(const char *name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool IsDirectoryEntry(int dirfd, const char *name, unsigned char type) {
  if (type != DT_UNKNOWN) return type == DT_DIR;
  struct stat st;
  return fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

int OpenDirectoryAt(int dirfd, const char *name) {
  return openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Fresh names for directories moved up into the top directory.
struct MoveNames {
  unsigned long long next = 0;
  char name[32];

  const char *Make() {
    static const char digits[] = "0123456789abcdef";
    unsigned long long n = next++;
    char *p = name + sizeof name;
    *--p = '\0';
    do {
      *--p = digits[n & 15];
      n >>= 4;
    } while (n != 0);
    *--p = '~';
    *--p = '.';
    return p;
  }
};

// Moves directory `name` of `from` into `top` under a name that is not taken there.
bool MoveUp(int from, const char *name, int top, MoveNames &names) {
  for (int attempt = 0; attempt < 64; attempt++) {
    if (RenameNoReplace(from, name, top, names.Make()) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// Empties subdirectory `name` of `top` one level deep and removes it; true when anything was
// removed or moved.
bool EmptyChild(int top, const char *name, MoveNames &names) {
  bool progress = false;
  int fd = OpenDirectoryAt(top, name);
  if (fd >= 0) {
    DirReader reader(fd);
    unsigned char type;
    while (const char *entry = reader.Next(&type)) {
      if (IsDotOrDotDot(entry)) continue;
      if (IsDirectoryEntry(fd, entry, type)) {
        if (unlinkat(fd, entry, AT_REMOVEDIR) == 0 || MoveUp(fd, entry, top, names))
          progress = true;
      } else if (unlinkat(fd, entry, 0) == 0) {
        progress = true;
      }
    }
    close(fd);
  }
  if (unlinkat(top, name, AT_REMOVEDIR) == 0) progress = true;
  return progress;
}

// Removes everything inside the directory open as `top`.
void EmptyTop(int top) {
  MoveNames names;
  bool progress = true;
  while (progress) {
    progress = false;
    if (lseek(top, 0, SEEK_SET) != 0) return;
    DirReader reader(top);
    unsigned char type;
    while (const char *entry = reader.Next(&type)) {
      if (IsDotOrDotDot(entry)) continue;
      if (IsDirectoryEntry(top, entry, type)) {
        if (EmptyChild(top, entry, names)) progress = true;
      } else if (unlinkat(top, entry, 0) == 0) {
        progress = true;
      }
    }
  }
}

void DeleteTree(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path);
    return;
  }
  int top = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top >= 0) {
    EmptyTop(top);
    close(top);
  }
  rmdir(path);
}

}  // namespace

void DeleteOpenDirectory(int dirfd, const char *path) {
  if (dirfd < 0) return;
  EmptyTop(dirfd);
  // The name goes only while it still leads to the directory that was emptied: whatever else
  // may have been put under it is not this tree.
  struct stat held, named;
  if (path != nullptr && IsAbsolutePath(path) && fstat(dirfd, &held) == 0 &&
      lstat(path, &named) == 0 && S_ISDIR(named.st_mode) && named.st_dev == held.st_dev &&
      named.st_ino == held.st_ino)
    rmdir(path);
}

void DeleteFilesAndDirectories(const char *path) {
  if (path == nullptr || !IsAbsolutePath(path)) return;
  // A path ending in "/" names the same tree as without it. Stripping the slashes first also
  // keeps "/" and names such as "/tmp/../" (whose last component is "..") from ever reaching
  // the deletion; the slash-terminated form is never examined, as it would follow a link.
  size_t len = strlen(path);
  while (len > 0 && path[len - 1] == '/') len--;
  if (len == 0) return;
  char stripped[PATH_MAX];
  if (len != strlen(path)) {
    if (len >= sizeof stripped) return;
    memcpy(stripped, path, len);
    stripped[len] = '\0';
    path = stripped;
  }
  const char *last = strrchr(path, '/') + 1;
  if (IsDotOrDotDot(last)) return;
  DeleteTree(path);
}

int RenameNoReplace(int fromdir, const char *from, int todir, const char *to) {
  if (syscall(SYS_renameat2, fromdir, from, todir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st;
  if (fstatat(todir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return renameat(fromdir, from, todir, to);
}
