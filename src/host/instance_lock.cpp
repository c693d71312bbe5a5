// The single-instance lock: a write lock on a file in the default temporary directory whose
// name is made from the product title, the executable file's identity and the effective user.
// The kernel drops the lock when its holder dies, so a file left behind by a killed copy never
// blocks the next one; a normal exit removes the file.

#include "host/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/paths.h"
#include "core/profile.h"
#include "host/temp_dir.h"
#include "i18n/locale.h"
#include "ui/output.h"

namespace {

char *lockfile = nullptr;
int lockfd = -1;

constexpr char kLockFileFormat[] = "%s/%s.%lu.%llu.%lu";

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

  // The name is predictable and lives in a shared directory: a symbolic link planted there
  // must never lead the (often privileged) launcher to truncate the file it points to.
  lockfd = open(lockfile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockfd >= 0) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(lockfd, F_SETLK, &lock) != 0 && errno == EAGAIN) {
      // The other copy's file stays: the exit function is not registered on this path.
      char *key = GetMessageKeyPrefix("already_started");
      char *text = GetLocalizedMessage(key);
      _fprintf(stderr, "%s", text);
      free(key);
      free(text);
      exit(1);
    }
  }
  atexit(DeleteLockFile);
}

void DeleteLockFile(void) {
  if (lockfd >= 0) {
    close(lockfd);
    lockfd = -1;
  }
  if (lockfile != nullptr) {
    unlink(lockfile);
    free(lockfile);
    lockfile = nullptr;
  }
}
