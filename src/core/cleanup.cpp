// The one way out that removes the working directory: the normal end of a run, the failure
// returns once the directory exists, the fatal errors that end the run from deep inside
// (memory exhausted, the X connection lost in a toolkit call), and the signal handlers. The
// fatal errors and the handlers may interrupt
// anything, including malloc and stdio, so everything they touch is prepared beforehand and
// the deletion of the tree is allocation-free and lock-free: directory descriptors, getdents64
// straight from the kernel and the *at() calls relative to the descriptors. The same deletion
// serves the normal end.
//
// The deletion must cope with trees of any depth without recursing on the stack and without a
// descriptor per level, and must never step outside the tree (no symbolic link is followed,
// no ".." is opened). It therefore never descends more than one level below the top directory:
// it empties each subdirectory of the top directory, unlinking what it holds and moving the
// directories it holds up into the top directory under fresh names, where a later pass over
// the top directory takes them on. Every successful unlink or move brings the tree closer to
// empty, so the passes end; a pass that achieves nothing ends them too (best effort).
#include "core/cleanup.h"

#include <dirent.h>  // the DT_ entry types only
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/paths.h"
#include "core/profile.h"
#include "core/startup.h"
#include "i18n/locale.h"
#include "runtime/child.h"
#include "ui/output.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

// "performing_cleanup" in the locale's character set, made before any handler is installed.
char *signalCleanupText = nullptr;
size_t signalCleanupLength = 0;

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
    const char *fresh = names.Make();
    if (syscall(SYS_renameat2, from, name, top, fresh, RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: the directory is private to the user, so a
    // look before the move is enough to keep from replacing anything.
    struct stat st;
    if (fstatat(top, fresh, &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
    if (errno != ENOENT) return false;
    return renameat(from, name, top, fresh) == 0;
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

// PrepareToExit for signal context: the same steps, with nothing that allocates, converts or
// takes a lock. workdir is not freed; the process ends right after. A running Java program or
// upgrade script is stopped first: it must not go on with its files deleted under it.
void PrepareToExitFromSignal() {
  int savedErrno = errno;
  StopRunningChild();
  if (signalCleanupText != nullptr) WriteAll(STDOUT_FILENO, signalCleanupText, signalCleanupLength);
  if (doCleanup) Cleanup();
  const char *dir = workdir;
  if (dir != nullptr) DeleteFilesAndDirectories(dir);
  errno = savedErrno;
}

}  // namespace

void ExitAfterCleanup(int status) {
  // A signal now would start a second clean-up on top of this one and end with its own status.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  if (workdir != nullptr) {
    // Not in signal context: what is buffered may go first, so the status text comes last.
    fflush(stdout);
    PrepareToExitFromSignal();
  }
  exit(status);
}

void InstallSignalDispositions(void) {
  if (signalCleanupText == nullptr) {
    signalCleanupText = GetLocalizedMessage("performing_cleanup");
    signalCleanupLength = strlen(signalCleanupText);
  }
  struct Disposition {
    int sig;
    void (*handler)(int);
  };
  static const Disposition kDispositions[] = {
      {SIGHUP, SIG_IGN},
      {SIGPWR, SIG_IGN},
      {SIGWINCH, SIG_IGN},
      {SIGALRM, HandleSignalAndExit},
      {SIGINT, HandleSignalAndExit},
      {SIGIO, HandleSignalAndExit},
      {SIGTERM, HandleSignalAndExit},
      {SIGVTALRM, HandleSignalAndExit},
      {SIGABRT, HandleSignalAndAbort},
      {SIGBUS, HandleSignalAndAbort},
      {SIGFPE, HandleSignalAndAbort},
      {SIGILL, HandleSignalAndAbort},
      {SIGPIPE, HandleSignalAndAbort},
      {SIGQUIT, HandleSignalAndAbort},
      {SIGSEGV, HandleSignalAndAbort},
  };
  for (const Disposition &d : kDispositions) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = d.handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(d.sig, &action, nullptr);
  }
}

void PrepareToExit(void) {
  ShowMessage("performing_cleanup");
  if (doCleanup) Cleanup();
  DeleteWorkingDirectory();
}

void HandleSignalAndExit(int) {
  PrepareToExitFromSignal();
  _exit(255);
}

void HandleSignalAndAbort(int) {
  struct sigaction byDefault;
  memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  byDefault.sa_flags = 0;
  PrepareToExitFromSignal();
  sigaction(SIGABRT, &byDefault, nullptr);
  abort();
}

void DeleteWorkingDirectory(void) {
  // A handler that ran in the middle would delete from a path being freed; held back, it
  // finds workdir null afterwards and only ends the process.
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  if (workdir != nullptr) DeleteFilesAndDirectories(workdir);
  free(workdir);
  workdir = nullptr;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
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
