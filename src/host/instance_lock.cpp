// The single-instance lock: a write lock on a file in the default temporary directory whose
// name is made from the product title, the executable file's identity and the effective user.
// The kernel drops the lock when its holder dies, so a file left behind by a killed copy never
// blocks the next one; a normal exit removes the file.
//
// The name is predictable and the directory shared with other users, and the launcher often
// runs as root. Whatever else is found at the name (a file of another user, a link, a FIFO, a
// directory, a file with a second name) is never used: it is removed and a fresh file made in
// its place, or, where this process may not remove it, the run ends with a message naming it
// (root moves a directory it cannot remove aside instead). So does a name that keeps changing.
// Nothing found there may block the open or be followed. And a lock is good only on the file
// that still bears the name: a copy that opened the file just before its holder removed it
// locks a file nobody else will ever look at, so it checks and starts over.

#include "host/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/memory.h"
#include "base/paths.h"
#include "base/product.h"
#include "base/tree_deletion.h"
#include "host/temp_dir.h"
#include "i18n/locale.h"
#include "ui/output.h"


namespace {

char *lockfile = nullptr;
int lockfd = -1;

constexpr char kLockFileFormat[] = "%s/%s.%lu.%llu.%lu";
// Rounds of open, lock and check; more are needed only while others keep replacing the file.
constexpr int kLockAttempts = 16;
// What OpenLockFile gives instead of a descriptor.
constexpr int kTryAgain = -1;
constexpr int kNoLockFile = -2;

constexpr int kOpenFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A file this copy may lock: a regular file of the effective user with no other name.
bool IsUsable(const struct stat &st) {
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// True when fd is the file that the lock file's name leads to now.
bool StillNamed(int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && lstat(lockfile, &named) == 0 && SameFile(held, named);
}

[[noreturn]] void ExitLockFileUnusable() {
  ReportMessage("lock_file_unusable", lockfile);
  exit(1);
}

// Moves a directory that cannot be removed (it holds files, perhaps another user's) out of the
// lock file's way, to a fresh name beside it that nothing may already have: nobody's tree is
// deleted, and root is not kept from running by what another user left at a predictable name.
// Only root may do so in the sticky /tmp; for others this fails. True when it was moved.
bool MoveAside(void) {
  const size_t len = strlen(lockfile);
  char *aside = static_cast<char *>(MemAlloc(len + 32));
  bool moved = false;
  for (unsigned n = 0; n < 64 && !moved; n++) {
    snprintf(aside, len + 32, "%s.aside.%ld.%u", lockfile, static_cast<long>(getpid()), n);
    moved = RenameNoReplace(AT_FDCWD, lockfile, AT_FDCWD, aside) == 0;
    if (!moved && errno != EEXIST) break;
  }
  if (moved) ReportMessage("lock_file_moved_aside", lockfile, aside);
  free(aside);
  return moved;
}

// Opens the lock file, replacing anything unusable found at its name. A descriptor, kTryAgain
// when the name changed meanwhile, or kNoLockFile when none can be made (as in a directory
// that may not be written).
int OpenLockFile() {
  struct stat st;
  int fd = open(lockfile, kOpenFlags, 0600);
  if (fd >= 0) {
    bool examined = fstat(fd, &st) == 0;
    if (examined && IsUsable(st)) return fd;
    close(fd);
    if (!examined && lstat(lockfile, &st) != 0) return kTryAgain;
  } else if (lstat(lockfile, &st) != 0) {
    return errno == ENOENT ? kNoLockFile : kTryAgain;
  }
  if ((S_ISDIR(st.st_mode) ? rmdir(lockfile) : unlink(lockfile)) != 0) {
    if (errno == ENOENT) return kTryAgain;
    const bool notEmpty = errno == ENOTEMPTY || errno == EEXIST;
    if (!(S_ISDIR(st.st_mode) && notEmpty && MoveAside())) ExitLockFileUnusable();
  }
  fd = open(lockfile, kOpenFlags | O_EXCL, 0600);
  if (fd < 0) return errno == EEXIST ? kTryAgain : kNoLockFile;
  return fd;
}

}  // namespace

void ExitIfNotOnlyInstance(void) {
  const char *tmpdir = GetTempDir();
  if (tmpdir == nullptr) return;
  const char *exec = GetExecName();
  if (exec == nullptr) return;
  struct stat st;
  if (stat(exec, &st) != 0) return;
  const char *title = GetTitle();

  unsigned long device = static_cast<uint32_t>(st.st_dev);
  unsigned long long inode = static_cast<unsigned long long>(st.st_ino);
  unsigned long euid = static_cast<unsigned long>(geteuid());
  int len = snprintf(nullptr, 0, kLockFileFormat, tmpdir, title, device, inode, euid);
  if (len < 0) return;
  free(lockfile);
  lockfile = static_cast<char *>(MemAlloc(static_cast<size_t>(len) + 1));
  snprintf(lockfile, static_cast<size_t>(len) + 1, kLockFileFormat, tmpdir, title, device, inode,
           euid);

  int attempt = 0;
  for (; attempt < kLockAttempts; attempt++) {
    int fd = OpenLockFile();
    if (fd == kNoLockFile) break;
    if (fd == kTryAgain) continue;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
      // The other copy's file stays: the exit function is not registered on this path.
      if (errno == EAGAIN || errno == EACCES) {
        char *key = GetMessageKeyPrefix("already_started");
        ReportMessage(key);
        free(key);
        exit(1);
      }
      lockfd = fd;  // record locks do not work here: go on without one
      break;
    }
    if (StillNamed(fd)) {
      // Whatever a killed copy may have left in it goes; an untidy file would lock as well.
      static_cast<void>(ftruncate(fd, 0) == 0);
      lockfd = fd;
      break;
    }
    close(fd);  // its holder removed it meanwhile: start over with the name
  }
  // Every round found the name changed under it: someone keeps replacing the file. Running
  // without the lock would be just what they are after.
  if (attempt == kLockAttempts) ExitLockFileUnusable();
  atexit(DeleteLockFile);
}

void DeleteLockFile(void) {
  if (lockfile != nullptr) {
    // The name goes while the lock is still held, and only if it is still this copy's file: a
    // copy waiting to lock the old file then finds the name gone once it holds the lock.
    if (lockfd >= 0 && StillNamed(lockfd)) unlink(lockfile);
    free(lockfile);
    lockfile = nullptr;
  }
  if (lockfd >= 0) {
    close(lockfd);
    lockfd = -1;
  }
}
