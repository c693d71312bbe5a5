// Following an extraction from the process that asked for it: the bytes written are counted
// where they are written (in this process, or by each worker in its own slot of the mapping the
// workers share), and the watcher is called in this process only, after each of its own writes
// or, while workers write, every 50 ms of its wait for them, with the sum of the counts. Whoever
// watches decides how often to draw; a worker only counts, so it never touches a terminal or a
// display.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "archive/extract.h"
#include "archive/extract_internal.h"
#include "archive/zip_internal.h"

namespace {

constexpr int kReportIntervalMs = 50;

ExtractionWatcher watcher = nullptr;
// The count of this process: its own, or in a worker its slot in the mapping the workers share.
// Only this process writes to it; 64-bit loads and stores are atomic so that the launcher never
// reads a worker's count half updated (the 32-bit build too).
alignas(8) unsigned long long ownCount = 0;
unsigned long long *count = &ownCount;

void CountWrite(size_t len) {
  const unsigned long long written = *count + len;
  __atomic_store_n(count, written, __ATOMIC_RELAXED);
  if (watcher != nullptr) watcher(written);
}

}  // namespace

void WatchExtractions(ExtractionWatcher watch) { watcher = watch; }

namespace extraction {

WatchedExtraction::WatchedExtraction() {
  if (watcher == nullptr) return;
  ownCount = 0;
  zipObserveWrites(CountWrite);
}

WatchedExtraction::~WatchedExtraction() { zipObserveWrites(nullptr); }

WorkerWatch::WorkerWatch(const WorkerCount *counts, int slots) {
  if (watcher == nullptr || counts == nullptr) return;
  counts_ = counts;
  slots_ = slots;
  // Without the pipe the workers are waited for as if unwatched.
  if (pipe2(pipe_, O_CLOEXEC) != 0) pipe_[0] = pipe_[1] = -1;
}

WorkerWatch::~WorkerWatch() {
  for (int fd : pipe_)
    if (fd >= 0) close(fd);
}

void WorkerWatch::WaitForWorkers() {
  if (pipe_[0] < 0) return;
  close(pipe_[1]);
  pipe_[1] = -1;
  struct pollfd end = {pipe_[0], POLLIN, 0};
  for (;;) {
    // Nothing is ever written: the pipe becomes readable (at its end) when the last worker has
    // ended, however it ended.
    const int r = poll(&end, 1, kReportIntervalMs);
    unsigned long long written = ownCount;
    for (int i = 0; i < slots_; i++)
      written += __atomic_load_n(&counts_[i].written, __ATOMIC_RELAXED);
    watcher(written);
    if (r > 0 || (r < 0 && errno != EINTR)) return;
  }
}

void CountForLauncher(WorkerCount *workerCount) {
  count = &workerCount->written;
  // A worker only counts: the launcher process draws.
  watcher = nullptr;
}

}  // namespace extraction
