// Extraction by worker processes. One core inflates a large payload far slower than the disk
// takes it, so the file entries are shared out among forked workers, largest first, from a
// counter in a shared anonymous mapping. Processes rather than threads: a signal handler can
// stop and reap a process with kill and waitpid before it deletes the working directory, which
// it cannot do with a thread.
//
// The result must be the one of writing the entries in order. This process therefore plans
// from every local header first (as the walk over them found them, which the workers inherit),
// gives up (to the extraction in order) on anything whose outcome depends on order or that the
// in-order walk refuses part-way, makes every directory itself, in order, and leaves only the
// files to the workers. They share the archive's descriptor, which only positional reads use.
// A worker that fails records which entry and why and the others take no more entries; a worker
// that dies without a word has its share redone here.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "archive/extract.h"
#include "archive/extract_internal.h"
#include "archive/testing.h"
#include "archive/zip_internal.h"
#include "base/memory.h"
#include "base/signals.h"

namespace {

constexpr int kMostWorkers = 8;
// Below this many bytes to write, forking and the extra pass cost more than a second core
// saves: measured on two cores and tmpfs, workers took 5.8 ms against 5.2 ms in order for 0.5 MB
// of headers, and 6.1 ms against 8.2 ms for 1 MB (docs/PERFORMANCE.md).
constexpr unsigned long long kLeastParallelBytes = 1ULL << 20;
// A worker's exit status when its launcher is gone before it began; any status but 0 means
// "redo my share".
constexpr int kWorkerOrphaned = 2;

// FS_CASEFOLD_FL of <linux/fs.h>, which not every kernel header set has.
constexpr int kCaseFoldFlag = 0x40000000;

int maxWorkers = 0;
unsigned long long leastParallelBytes = kLeastParallelBytes;
int lastWorkerCount = 0;
bool foldNamesForTesting = false;
// The running workers, for the signal handlers: written with every signal held, 0 when free.
volatile sig_atomic_t workerPids[kMostWorkers];

// One file for the workers to write.
struct Job {
  jint index;           // in the archive, for telling which failure came first
  uint32_t nameLen;
  const char *name;     // kept with the record's local headers
  jint size, csize, crc, pos;
};

// The entries selected, in archive order.
struct Plan {
  extraction::Buffer<Job> jobs;
  size_t jobCount = 0;
  size_t longestName = 0;
  unsigned long long bytes = 0;
};

// A worker's failure. The reason is one of the reader's constant texts, which sit in the
// program image at the same address in every worker.
struct Failure {
  jint index;  // -1: none
  int writeErrno;
  const char *msg;
};

// What the workers share, in a shared anonymous mapping.
struct Shared {
  uint32_t next;  // the next job to hand out
  int stop;       // set by the first failure
  extraction::WorkerCount counts[kMostWorkers];  // for the watcher (extract_watch.cpp)
  Failure failures[kMostWorkers];
};

int WorkerBudget() {
  int budget = maxWorkers > 0 ? maxWorkers : kMostWorkers;
  if (maxWorkers <= 0) {
    cpu_set_t set;
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    int processors = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    if (online > 0 && online < processors) processors = static_cast<int>(online);
    budget = std::min(budget, processors);
  }
  return std::min(budget, kMostWorkers);
}

// A name whose path is exactly its text: not empty, not absolute, no empty, "." or ".."
// component (a trailing "/" marks a directory entry). Other names are left to the extraction
// in order, which writes or refuses them as it always has.
bool IsPlainName(const char *name, size_t len) {
  if (len == 0 || name[0] == '/') return false;
  size_t start = 0;
  for (size_t i = 0; i <= len; i++) {
    if (i < len && name[i] != '/') continue;
    const size_t n = i - start;
    if (i == len && n == 0) break;  // the trailing "/" of a directory entry
    if (n == 0 || (n == 1 && name[start] == '.') ||
        (n == 2 && name[start] == '.' && name[start + 1] == '.'))
      return false;
    start = i + 1;
  }
  return true;
}

// Plans every selected entry from the walk over the local headers. False when the archive is
// better left to the extraction in order: an unsound header or a bad size (which it refuses at
// that entry), a name that is not plain, or names too many to keep (which only overlapping
// local headers give).
bool ReadPlan(jzfile *zip, const char *entrySubdir, Plan &plan) {
  const size_t prefixLen = entrySubdir != nullptr ? strlen(entrySubdir) : 0;
  for (jint i = 0; i < zip->total; i++) {
    jzentry spare;
    jzentry *entry = zipPassEntry(zip, i, &spare);
    if (entry != &spare) {
      if (entry != nullptr) zipReleasePassEntry(zip, entry, &spare);
      return false;
    }
    const char *name = entry->name;
    const size_t len = strlen(name);
    bool selected = entrySubdir == nullptr || extraction::IsUnder(name, entrySubdir, prefixLen);
    if (!selected) continue;
    if (!IsPlainName(name, len) || entry->size < 0 || entry->csize < 0) {
      zipEndPass(zip, i);
      return false;
    }
    plan.jobs.Reserve(plan.jobCount + 1, plan.jobCount);
    Job &job = plan.jobs.data()[plan.jobCount++];
    job.index = i;
    job.nameLen = static_cast<uint32_t>(len);
    job.name = name;
    job.size = entry->size;
    job.csize = entry->csize;
    job.crc = entry->crc;
    job.pos = entry->pos;
    plan.longestName = std::max(plan.longestName, len);
    plan.bytes += static_cast<unsigned long long>(entry->size);
  }
  zipEndPass(zip, zip->total - 1);
  return true;
}

// Whether the file system fs, on which the directory open as fd lies, may fold names.
bool FileSystemMayFoldNames(const struct statfs64 &fs, int fd) {
  static constexpr unsigned long kKeepsCase[] = {
      0xEF53,      // ext2, ext3, ext4
      0x01021994,  // tmpfs
      0x58465342,  // xfs
      0x9123683E,  // btrfs
      0xF2F52010,  // f2fs
      0x794C7630,  // overlayfs
      0x2FC12FC1,  // zfs
      0x6969,      // nfs
      0x52654973,  // reiserfs
      0x3153464A,  // jfs
  };
  const unsigned long type = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL;
  if (std::find(std::begin(kKeepsCase), std::end(kKeepsCase), type) == std::end(kKeepsCase))
    return true;
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & kCaseFoldFlag) != 0;
}

// MayFoldNames for the path in dir, which it may shorten.
bool DirectoryMayFoldNames(char *dir) {
  struct statfs64 fs;
  for (;;) {
    if (statfs64(dir, &fs) == 0) break;
    char *slash = strrchr(dir, '/');
    if (errno != ENOENT || slash == nullptr || slash == dir) return true;
    *slash = '\0';
  }
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool folds = FileSystemMayFoldNames(fs, fd);
  close(fd);
  return folds;
}

// Whether the file system under outputDir may take two names for one file: one of those that
// ignore letter case (FAT, exFAT, NTFS, SMB, HFS+ and whatever else is not known here), or a
// directory with case folding on (ext4, f2fs, tmpfs), which the directories made in it inherit.
// An output directory not made yet is judged by the nearest directory above it that exists, in
// which it will be made; one that cannot be looked at is taken to fold.
bool MayFoldNames(int dirfd, const char *outputDir) {
  if (foldNamesForTesting) return true;
  if (dirfd != AT_FDCWD) {
    struct statfs64 fs;
    return fstatfs64(dirfd, &fs) != 0 || FileSystemMayFoldNames(fs, dirfd);
  }
  const size_t len = strlen(outputDir);
  char *dir = static_cast<char *>(MemAlloc(len + 1));
  memcpy(dir, outputDir, len + 1);
  const bool folds = DirectoryMayFoldNames(dir);
  free(dir);
  return folds;
}

// Names compared as paths: "/" sorts before every other byte, so that the entries below a path
// come right after the path itself; on a file system that folds names, ASCII letters compare
// without case. The key of "/" is one that no byte has (a name holds no NUL, every other byte
// is moved up by one): were it shared, as with 0x01, a name could sort between a path and the
// entries below it and hide that a file stands where they need a directory.
unsigned PathByte(char c, bool fold) {
  if (c == '/') return 1;
  if (fold && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return static_cast<unsigned>(static_cast<unsigned char>(c)) + 1;
}

bool IsDirectoryName(const char *name, size_t len) { return len > 0 && name[len - 1] == '/'; }

// The length that counts for comparing: a directory entry without its trailing "/".
size_t PathLength(const char *name, size_t len) {
  return IsDirectoryName(name, len) ? len - 1 : len;
}

// <0, 0 or >0 as path a sorts before, with or after b; *extends tells that b continues a with
// a "/".
int ComparePaths(const char *a, size_t alen, const char *b, size_t blen, bool fold,
                 bool *extends) {
  const size_t n = std::min(alen, blen);
  for (size_t i = 0; i < n; i++) {
    const unsigned x = PathByte(a[i], fold), y = PathByte(b[i], fold);
    if (x != y) return x < y ? -1 : 1;
  }
  *extends = blen > alen && b[alen] == '/';
  return alen == blen ? 0 : (alen < blen ? -1 : 1);
}

// True when the outcome could depend on the order of the entries: two entries for one path, or
// a file at a path under which another entry lies. Where the file system folds names, ASCII
// letters are compared without case, and any name beyond ASCII, whose folding is the file
// system's own, counts as a possible collision.
bool DependsOnOrder(const Plan &plan, bool fold) {
  const size_t count = plan.jobCount;
  const Job *jobs = plan.jobs.data();
  if (fold) {
    for (size_t k = 0; k < count; k++)
      for (size_t i = 0; i < jobs[k].nameLen; i++)
        if (static_cast<unsigned char>(jobs[k].name[i]) >= 0x80) return true;
  }
  extraction::Buffer<uint32_t> order;
  order.Reserve(count, 0);
  for (size_t i = 0; i < count; i++) order.data()[i] = static_cast<uint32_t>(i);
  auto path = [&](uint32_t k, size_t *len) {
    *len = PathLength(jobs[k].name, jobs[k].nameLen);
    return jobs[k].name;
  };
  std::sort(order.data(), order.data() + count, [&](uint32_t x, uint32_t y) {
    size_t xl, yl;
    const char *xp = path(x, &xl), *yp = path(y, &yl);
    bool extends;
    return ComparePaths(xp, xl, yp, yl, fold, &extends) < 0;
  });
  for (size_t i = 0; i + 1 < count; i++) {
    const uint32_t x = order.data()[i], y = order.data()[i + 1];
    size_t xl, yl;
    const char *xp = path(x, &xl), *yp = path(y, &yl);
    const bool xIsFile = !IsDirectoryName(xp, jobs[x].nameLen);
    const bool yIsFile = !IsDirectoryName(yp, jobs[y].nameLen);
    bool extends = false;
    const int c = ComparePaths(xp, xl, yp, yl, fold, &extends);
    if (c == 0 && (xIsFile || yIsFile)) return true;
    if (extends && xIsFile) return true;
  }
  return false;
}

// Makes the directories of every entry, in archive order as the extraction in order does, and
// keeps only the files in plan. False with the reason in zip after a directory could not be
// made for want of space (or by an I/O error), as the extraction in order would fail.
bool MakeDirectories(jzfile *zip, int dirfd, const char *outputDir, Plan &plan) {
  const size_t outputDirLen = strlen(outputDir);
  char *path = static_cast<char *>(MemAlloc(outputDirLen + plan.longestName + 2));
  memcpy(path, outputDir, outputDirLen);
  path[outputDirLen] = '/';
  extraction::MadeDirectories made;
  size_t files = 0;
  bool ok = true;
  for (size_t i = 0; i < plan.jobCount; i++) {
    const Job job = plan.jobs.data()[i];
    memcpy(path + outputDirLen + 1, job.name, job.nameLen + 1);
    int storageErrno = 0;
    const bool isFile = extraction::MakeLeadingDirectories(
        dirfd, path, outputDirLen + 1 + job.nameLen, outputDirLen, made, &storageErrno);
    if (storageErrno != 0) {
      // A file without its directory cannot be opened, and the directory's refusal is the cause.
      zip->writeErrno = storageErrno;
      zipfmt::SetMsg(zip, isFile ? zipmsg::kCannotOpen : zipmsg::kWriteFailed);
      ok = false;
      break;
    }
    if (isFile) plan.jobs.data()[files++] = job;
  }
  free(path);
  plan.jobCount = files;
  return ok;
}

// Takes jobs from shared until none is left or some worker has failed, writing each entry's file
// under outputDir. A failure is recorded in failure and stops the others.
void TakeJobs(jzfile *zip, int dirfd, const char *outputDir, const Plan &plan, Shared *shared,
              Failure *failure) {
  const size_t outputDirLen = strlen(outputDir);
  char *path = static_cast<char *>(MemAlloc(outputDirLen + plan.longestName + 2));
  memcpy(path, outputDir, outputDirLen);
  path[outputDirLen] = '/';
  while (__atomic_load_n(&shared->stop, __ATOMIC_RELAXED) == 0) {
    const uint32_t k = __atomic_fetch_add(&shared->next, 1, __ATOMIC_RELAXED);
    if (k >= plan.jobCount) break;
    const Job &job = plan.jobs.data()[k];
    memcpy(path + outputDirLen + 1, job.name, job.nameLen + 1);
    jzentry entry;
    memset(&entry, 0, sizeof entry);
    entry.name = path + outputDirLen + 1;
    entry.size = job.size;
    entry.csize = job.csize;
    entry.crc = job.crc;
    entry.pos = job.pos;
    if (!zipReadEntryAt(zip, &entry, dirfd, path)) {
      *failure = {job.index, zip->writeErrno, zip->msg};
      __atomic_store_n(&shared->stop, 1, __ATOMIC_RELAXED);
      break;
    }
  }
  free(path);
}

// In a new worker, with every signal held: the launcher's handlers clean up after the launcher,
// which is not a worker's business. A fault ends the worker as it would any program; the signals
// that end the launcher are ignored, because the launcher stops its workers itself. SIGXFSZ
// stays ignored as in the launcher: a write beyond the file-size limit is a write failure.
void SetWorkerSignals() {
  for (int sig = 1; sig < NSIG; sig++) {
    if (!IsCaught(sig)) continue;
    const bool fault = sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL ||
                       sig == SIGABRT || sig == SIGTRAP || sig == SIGSYS || sig == SIGXCPU;
    SetAction(sig, fault ? SIG_DFL : SIG_IGN);
  }
}

[[noreturn]] void RunWorker(jzfile *zip, int dirfd, const char *outputDir, const Plan &plan,
                            Shared *shared, int slot, pid_t launcher) {
  BecomeHelperProcess();
  // A launcher killed outright takes its workers with it.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != launcher) _exit(kWorkerOrphaned);
  extraction::CountForLauncher(&shared->counts[slot]);
  TakeJobs(zip, dirfd, outputDir, plan, shared, &shared->failures[slot]);
  _exit(0);
}

// Forks the worker for slot; in this process it is recorded before any handler can run.
pid_t StartWorker(jzfile *zip, int dirfd, const char *outputDir, const Plan &plan,
                  Shared *shared, int slot) {
  const pid_t launcher = getpid();
  pid_t pid;
  {
    SignalsHeld held;
    pid = fork();
    if (pid == 0)
      SetWorkerSignals();
    else if (pid > 0)
      workerPids[slot] = pid;
  }
  if (pid == 0) RunWorker(zip, dirfd, outputDir, plan, shared, slot, launcher);
  return pid;
}

// Waits for the worker in slot and reaps it; true when it ended normally (its share done, or
// given up after another's failure).
bool WaitForWorker(int slot) {
  const pid_t pid = workerPids[slot];
  int status = 0;
  const pid_t w = WaitAndForgetChild(pid, &status, &workerPids[slot]);
  return w == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs the plan's jobs with up to `workers` processes (none: in this process). The failure of
// the entry that comes first in the archive goes to zip.
jboolean RunJobs(jzfile *zip, int dirfd, const char *outputDir, const Plan &plan, int workers) {
  void *mapping = MAP_FAILED;
  if (workers > 1)
    mapping = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
  Shared local;
  Shared *shared = mapping != MAP_FAILED ? static_cast<Shared *>(mapping) : &local;
  memset(shared, 0, sizeof(Shared));
  for (Failure &f : shared->failures) f.index = -1;
  extraction::WorkerWatch watch(mapping != MAP_FAILED ? shared->counts : nullptr, kMostWorkers);

  int started = 0;
  if (mapping != MAP_FAILED) {
    while (started < workers && StartWorker(zip, dirfd, outputDir, plan, shared, started) > 0)
      started++;
  }
  lastWorkerCount = started;
  watch.WaitForWorkers();
  bool redo = started == 0;
  for (int slot = 0; slot < started; slot++) redo = !WaitForWorker(slot) || redo;
  if (redo) {
    // No worker could be started, or one ended without finishing its share: everything again
    // here, rewriting the files that were written (truncated on opening).
    const bool failed = shared->stop != 0;
    if (!failed) {
      shared->next = 0;
      TakeJobs(zip, dirfd, outputDir, plan, shared, &shared->failures[0]);
    }
  }
  const Failure *first = nullptr;
  for (const Failure &f : shared->failures)
    if (f.index >= 0 && (first == nullptr || f.index < first->index)) first = &f;
  jboolean result = JNI_TRUE;
  if (first != nullptr) {
    zip->writeErrno = first->writeErrno;
    zipfmt::SetMsg(zip, first->msg);
    result = JNI_FALSE;
  }
  if (mapping != MAP_FAILED) munmap(mapping, sizeof(Shared));
  return result;
}

}  // namespace

namespace extraction {

bool ExtractWithWorkers(jzfile *zipFile, int dirfd, const char *outputDir,
                        const char *entrySubdir, jboolean *result) {
  lastWorkerCount = 0;
  const int budget = WorkerBudget();
  if (budget < 2) return false;
  // The central directory's sizes tell cheaply of most archives that they are too small.
  unsigned long long declared = 0;
  for (jint i = 0; i < zipFile->total; i++)
    if (zipFile->entries[i].size > 0) declared += static_cast<unsigned>(zipFile->entries[i].size);
  if (declared < leastParallelBytes) return false;

  Plan plan;
  if (!ReadPlan(zipFile, entrySubdir, plan) || plan.bytes < leastParallelBytes ||
      DependsOnOrder(plan, MayFoldNames(dirfd, outputDir)))
    return false;
  zipFile->writeErrno = 0;
  if (!MakeDirectories(zipFile, dirfd, outputDir, plan)) {
    *result = JNI_FALSE;
    return true;
  }
  // The largest first, so that no large entry is left to start last; ties in archive order.
  std::sort(plan.jobs.data(), plan.jobs.data() + plan.jobCount, [](const Job &a, const Job &b) {
    return a.size != b.size ? a.size > b.size : a.index < b.index;
  });
  const int workers = static_cast<int>(std::min<size_t>(budget, plan.jobCount));
  *result = RunJobs(zipFile, dirfd, outputDir, plan, workers);
  return true;
}

}  // namespace extraction

void SetMaxExtractionWorkers(int count) { maxWorkers = count; }

void StopExtractionWorkers(void) {
  const int savedErrno = errno;
  for (int slot = 0; slot < kMostWorkers; slot++) {
    const pid_t pid = workerPids[slot];
    if (pid <= 0) continue;
    kill(pid, SIGKILL);
    ReapChild(pid, nullptr);
    workerPids[slot] = 0;
  }
  errno = savedErrno;
}

int ExtractionWorkersForTesting(void) { return lastWorkerCount; }

void FoldNamesForTesting(bool fold) { foldNamesForTesting = fold; }

void SetLeastParallelBytesForTesting(unsigned long long bytes) {
  leastParallelBytes = bytes != 0 ? bytes : kLeastParallelBytes;
}
