// Following an extraction from the process that asked for it: the bytes written are counted
// wherever they are written (in this process, or in the workers' shared mapping while workers
// write), and the watcher is called in this process only, after each of its own writes or, while
// workers write, every 50 ms of its wait for them. Whoever watches decides how often to draw; a
// worker only counts, so it never touches a terminal or a display.
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
alignas(8) unsigned long long ownCount = 0;
// Workers add to the count at once: every change is atomic.
unsigned long long *count = &ownCount;
bool reports = true;  // false in a worker

void CountWrite(size_t len) {
  const unsigned long long written = __atomic_add_fetch(count, len, __ATOMIC_RELAXED);
  if (reports && watcher != nullptr) watcher(written);
}

}  // namespace

void WatchExtractions(ExtractionWatcher watch) { watcher = watch; }

namespace extraction {

WatchedExtraction::WatchedExtraction() {
  if (watcher == nullptr) return;
  ownCount = 0;
  count = &ownCount;
  zipObserveWrites(CountWrite);
}

WatchedExtraction::~WatchedExtraction() { zipObserveWrites(nullptr); }

WorkerWatch::WorkerWatch(unsigned long long *counter) {
  if (watcher == nullptr || counter == nullptr) return;
  __atomic_store_n(counter, ownCount, __ATOMIC_RELAXED);
  count = counter;
  // Without the pipe the workers are waited for as if unwatched; the count still runs.
  if (pipe2(pipe_, O_CLOEXEC) != 0) pipe_[0] = pipe_[1] = -1;
}

WorkerWatch::~WorkerWatch() {
  count = &ownCount;
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
    watcher(__atomic_load_n(count, __ATOMIC_RELAXED));
    if (r > 0 || (r < 0 && errno != EINTR)) return;
  }
}

void LeaveReportsToLauncher() { reports = false; }

}  // namespace extraction
