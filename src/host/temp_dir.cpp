// The temporary directory: "/tmp" by default, or the directory accepted from -tmpdir. A
// directory qualifies when the real user may list, create in and enter it.
#include "host/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/paths.h"
#include "testing/hooks.h"

namespace {

char *tmpdir = nullptr;

}  // namespace

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
