// Extraction of an open archive into a directory: every entry, or only those whose names
// begin with a prefix, written under the output directory with the directories their names
// imply. Nothing is written outside the output directory: names with a ".." component are
// refused, and symbolic links met on the way are replaced rather than followed.
#include "archive/extract.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/extract_internal.h"
#include "archive/zip_internal.h"
#include "base/memory.h"
#include "base/multibyte.h"

namespace {

constexpr size_t kInitialPathSize = 4096;

}  // namespace

using extraction::IsUnder;

namespace extraction {

bool MakeLeadingDirectories(int dirfd, char *path, size_t len, size_t outputDirLen,
                            MadeDirectories &made, int *storageErrno) {
  size_t common = 0;
  const char *previous = made.path.data();
  while (common < made.pathLen && path[common] == previous[common]) common++;
  const size_t *separators = made.separators.data();
  size_t keep = 0;
  while (keep < made.count && separators[keep] < common) keep++;
  made.count = keep;

  bool isDirectoryEntry = false;
  bool allMade = true;
  // The first separator is the one between the output directory and the name.
  char *sep = keep > 0 ? path + separators[keep - 1] : path + outputDirLen;
  if (keep > 0) {
    if (sep[1] == '\0') isDirectoryEntry = true;
    sep = isDirectoryEntry ? nullptr : _strchr(sep + 1, '/');
  }
  while (sep != nullptr) {
    *sep = '\0';
    // The 64-bit calls: in the 32-bit build the plain ones fail with EOVERFLOW on file
    // systems with large inode numbers, which would let a link in the way go unnoticed.
    struct stat64 st;
    // The output directory itself is the caller's and is followed if it is a link; below it,
    // a link (or file) in a directory's place is removed so that nothing leads outside.
    int found = fstatat64(dirfd, path, &st, sep == path + outputDirLen ? 0 : AT_SYMLINK_NOFOLLOW);
    if (found == 0 && !S_ISDIR(st.st_mode)) unlinkat(dirfd, path, 0);
    // An existing directory is the normal case; other failures show when the entry is written.
    bool isDir = mkdirat(dirfd, path, 0700) == 0 || (found == 0 && S_ISDIR(st.st_mode));
    if (!isDir && zipIsStorageError(errno)) *storageErrno = errno;
    *sep = '/';
    allMade = allMade && isDir;
    if (allMade) made.Add(static_cast<size_t>(sep - path));
    if (sep[1] == '\0') {
      isDirectoryEntry = true;
      break;
    }
    sep = _strchr(sep + 1, '/');
  }
  made.Remember(path, len);
  return !isDirectoryEntry;
}

jboolean ExtractInOrder(jzfile *zipFile, int dirfd, const char *outputDir,
                        const char *entrySubdir) {
  zipFile->writeErrno = 0;
  const size_t outputDirLen = strlen(outputDir);
  const size_t prefixLen = entrySubdir != nullptr ? strlen(entrySubdir) : 0;
  size_t pathSize = kInitialPathSize;
  char *path = static_cast<char *>(MemAlloc(pathSize));
  jboolean result = JNI_TRUE;
  MadeDirectories made;

  jint last = -1;
  for (jint i = 0;; i++) {
    jzentry spare;
    jzentry *entry = zipPassEntry(zipFile, i, &spare);
    if (entry == nullptr) {
      // Before the end of the directory this is an unreadable local header: the entries
      // after it would silently be missing from the installation.
      if (i < zipFile->total) result = JNI_FALSE;
      break;
    }
    last = i;
    if (entrySubdir != nullptr && !IsUnder(entry->name, entrySubdir, prefixLen)) {
      zipReleasePassEntry(zipFile, entry, &spare);
      continue;
    }
    if (HasParentComponent(entry->name)) {
      zipReleasePassEntry(zipFile, entry, &spare);
      result = JNI_FALSE;
      break;
    }
    const size_t needed = strlen(entry->name) + outputDirLen + 2;
    if (needed > pathSize) {
      free(path);
      pathSize = needed;
      path = static_cast<char *>(MemAlloc(pathSize));
    }
    memcpy(path, outputDir, outputDirLen);
    path[outputDirLen] = '/';
    memcpy(path + outputDirLen + 1, entry->name, needed - outputDirLen - 1);

    int storageErrno = 0;
    bool isFile =
        MakeLeadingDirectories(dirfd, path, needed - 1, outputDirLen, made, &storageErrno);
    if (isFile ? !zipReadEntryAt(zipFile, entry, dirfd, path) : storageErrno != 0) {
      // A file whose directory could not be made fails to open: the directory's refusal is
      // the cause. A directory entry that could not be made is missing as much as a file.
      if (zipFile->writeErrno == 0) zipFile->writeErrno = storageErrno;
      if (!isFile) zipfmt::SetMsg(zipFile, zipmsg::kWriteFailed);
      zipReleasePassEntry(zipFile, entry, &spare);
      result = JNI_FALSE;
      break;
    }
    zipReleasePassEntry(zipFile, entry, &spare);
  }
  zipEndPass(zipFile, last);
  free(path);
  return result;
}

}  // namespace extraction

namespace {

jboolean Unzip(jzfile *zipFile, int dirfd, const char *outputDir, const char *entrySubdir) {
  extraction::WatchedExtraction watched;
  jboolean result = JNI_FALSE;
  if (!extraction::ExtractWithWorkers(zipFile, dirfd, outputDir, entrySubdir, &result))
    result = extraction::ExtractInOrder(zipFile, dirfd, outputDir, entrySubdir);
  // Java is about to start: what inflating whole entries took goes back now.
  zipReleaseInflateBuffers();
  return result;
}

}  // namespace

jboolean UnzipFiles(jzfile *zipFile, const char *outputDir, const char *entrySubdir) {
  if (zipFile == nullptr || outputDir == nullptr) return JNI_FALSE;
  return Unzip(zipFile, AT_FDCWD, outputDir, entrySubdir);
}

jboolean UnzipFilesAt(jzfile *zipFile, int outputDirFd, const char *entrySubdir) {
  if (zipFile == nullptr || outputDirFd < 0) return JNI_FALSE;
  // Every path is "./" and the entry's name, beneath the descriptor.
  return Unzip(zipFile, outputDirFd, ".", entrySubdir);
}

jboolean SurveyArchive(jzfile *zipFile, const char *entrySubdir, ArchiveSurvey *survey) {
  survey->totalSize = 0;
  survey->hasSubdirEntries = JNI_FALSE;
  survey->subdirSize = 0;
  const size_t prefixLen = entrySubdir != nullptr ? strlen(entrySubdir) : 0;
  jboolean sound = JNI_TRUE;
  for (jint i = 0; i < zipFile->total; i++) {
    jzentry spare;
    jzentry *entry = zipPassEntry(zipFile, i, &spare);
    if (entry == nullptr) {
      zipEndPass(zipFile, i - 1);
      return JNI_FALSE;
    }
    const jint size = entry->size, csize = entry->csize;
    if (entrySubdir != nullptr && IsUnder(entry->name, entrySubdir, prefixLen)) {
      survey->hasSubdirEntries = JNI_TRUE;
      if (size > 0) survey->subdirSize += static_cast<unsigned long long>(size);
    }
    zipReleasePassEntry(zipFile, entry, &spare);
    if (i + 1 == zipFile->total) zipEndPass(zipFile, i);
    // The walk goes on after a bad size, so that the names are all looked at; the sum is then
    // of no use.
    if (size < 0 || csize < 0 ||
        __builtin_add_overflow(survey->totalSize, static_cast<unsigned long long>(size),
                               &survey->totalSize))
      sound = JNI_FALSE;
  }
  return sound;
}

// The kernel splits paths at every "/" byte whatever the locale, so this looks at bytes, not
// characters.
jboolean HasParentComponent(const char *name) {
  const char *component = name;
  for (;;) {
    const char *end = strchr(component, '/');
    size_t len = end != nullptr ? static_cast<size_t>(end - component) : strlen(component);
    if (len == 2 && component[0] == '.' && component[1] == '.') return true;
    if (end == nullptr) return false;
    component = end + 1;
  }
}
