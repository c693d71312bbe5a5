// What the extraction's two ways (one process, or several worker processes) share: growable
// arrays from MemAlloc, and making the directories on the way to an entry.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archive/zip_util.h"
#include "base/memory.h"

namespace extraction {

// True when name lies under the prefix of length prefixLen: it begins with it.
inline bool IsUnder(const char *name, const char *prefix, size_t prefixLen) {
  return strncmp(name, prefix, prefixLen) == 0;
}

// A growable array in memory from MemAlloc: running out of memory ends the run through the
// launcher's one out-of-memory path (message, clean-up, status 1), never by an exception.
template <typename T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { free(data_); }

  T *data() { return data_; }
  const T *data() const { return data_; }
  // Room for at least n elements, keeping the first `keep`; grows by doubling.
  void Reserve(size_t n, size_t keep) {
    if (n <= capacity_) return;
    size_t capacity = capacity_ * 2 > n ? capacity_ * 2 : n;
    // A count whose byte size does not fit asks for the impossible, which ends the run.
    size_t bytes = capacity <= SIZE_MAX / sizeof(T) ? capacity * sizeof(T) : SIZE_MAX;
    T *grown = static_cast<T *>(MemAlloc(bytes));
    if (keep > 0) memcpy(grown, data_, keep * sizeof(T));
    free(data_);
    data_ = grown;
    capacity_ = capacity;
  }

 private:
  T *data_ = nullptr;
  size_t capacity_ = 0;
};

// The directories known to exist from the entries before: the previous entry's path and the
// offsets of the separators in it up to which every directory was made or found. Archives
// list the entries of one directory together, so most entries need no directory calls at all.
// A file is never written where one of these directories is (the open fails), so they stay
// directories for the rest of the walk.
struct MadeDirectories {
  Buffer<char> path;
  size_t pathLen = 0;
  Buffer<size_t> separators;
  size_t count = 0;

  void Remember(const char *p, size_t len) {
    path.Reserve(len + 1, 0);
    memcpy(path.data(), p, len + 1);
    pathLen = len;
  }
  void Add(size_t separator) {
    separators.Reserve(count + 1, count);
    separators.data()[count++] = separator;
  }
};

// Makes every directory on the way to the entry at path (of length len, relative to dirfd, which
// may be AT_FDCWD); false when the entry names a directory (path ends with "/"), which then needs
// no writing. A directory that the file system refused for want of space (or by an I/O error)
// leaves that errno in *storageErrno.
bool MakeLeadingDirectories(int dirfd, char *path, size_t len, size_t outputDirLen,
                            MadeDirectories &made, int *storageErrno);

// The extraction by worker processes, when the archive is large enough for it to pay and its
// result cannot depend on the order in which entries are written (extract_workers.cpp). True
// when it took the extraction on, with UnzipFiles' result in *result; false when the entries
// are to be written by this process, in order, as if it had not been asked. Both ways write
// under outputDir relative to dirfd: an absolute directory with AT_FDCWD, or "." beneath the
// directory open as dirfd.
bool ExtractWithWorkers(jzfile *zipFile, int dirfd, const char *outputDir,
                        const char *entrySubdir, jboolean *result);
// The extraction in this process, entry after entry (extract.cpp).
jboolean ExtractInOrder(jzfile *zipFile, int dirfd, const char *outputDir,
                        const char *entrySubdir);

// Following an extraction for the watcher of WatchExtractions (extract_watch.cpp); nothing
// happens while there is none. For the life of one UnzipFiles: the bytes written are counted
// from 0, and every write made in this process is reported.
class WatchedExtraction {
 public:
  WatchedExtraction();
  ~WatchedExtraction();
  WatchedExtraction(const WatchedExtraction &) = delete;
  WatchedExtraction &operator=(const WatchedExtraction &) = delete;
};
// The bytes one worker has written, on a cache line of its own: each worker writes only its own,
// without a locked instruction and without slowing the others down.
struct alignas(64) WorkerCount {
  unsigned long long written;
};
// While worker processes write, each counting in its own of the `slots` counts (zeroed, in the
// mapping they share): a pipe whose write ends only the workers hold lets this process report
// their sum while it waits and still see the moment the last worker ends. Null counts: the
// workers are not watched. The destructor leaves the counts alone, so the mapping may be gone.
class WorkerWatch {
 public:
  WorkerWatch(const WorkerCount *counts, int slots);
  ~WorkerWatch();
  WorkerWatch(const WorkerWatch &) = delete;
  WorkerWatch &operator=(const WorkerWatch &) = delete;
  // Once every worker has been started: reports about every 50 ms until the last one has ended.
  void WaitForWorkers();

 private:
  const WorkerCount *counts_ = nullptr;
  int slots_ = 0;
  int pipe_[2] = {-1, -1};
};
// In a new worker: its writes are counted in *count, never reported.
void CountForLauncher(WorkerCount *count);

}  // namespace extraction
