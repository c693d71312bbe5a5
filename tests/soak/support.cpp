// Helpers of the soaks: deterministic randomness, a pool of threads for runs that mostly wait,
// forks kept apart from the writing of executables, the lock file and the message catalog.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "soak.h"

namespace soak {

uint64_t Random::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void ForEachConcurrently(int count, int jobs, const std::function<void(int)> &task) {
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < std::max(1, std::min(jobs, count)); t++) {
    threads.emplace_back([&] {
      for (int i = next++; i < count; i = next++) task(i);
    });
  }
  for (std::thread &t : threads) t.join();
}

// A file open for writing cannot be executed: a fork in another thread while it is open would
// hand the descriptor to a child and make the exec of the finished file fail with ETXTBSY
// until that child has closed it. Writes and forks therefore take turns.
std::shared_mutex &SpawnMutex() {
  static std::shared_mutex m;
  return m;
}

std::unique_ptr<Process> Spawn(const std::string &exe, const RunOptions &opts,
                               const std::string &outputDir) {
  std::shared_lock<std::shared_mutex> turn(SpawnMutex());
  return std::make_unique<Process>(exe, opts, outputDir);
}

Result RunToEnd(const std::string &exe, const RunOptions &opts, const std::string &outputDir) {
  MkDirs(outputDir);
  return Spawn(exe, opts, outputDir)->Wait();
}

void WhileNoFork(const std::function<void()> &fn) {
  std::unique_lock<std::shared_mutex> turn(SpawnMutex());
  fn();
}

void WriteAll(const std::string &path, const std::string &bytes, mode_t mode) {
  std::unique_lock<std::shared_mutex> turn(SpawnMutex());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    fprintf(stderr, "soak: cannot write %s: %s\n", path.c_str(), strerror(errno));
    exit(2);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      fprintf(stderr, "soak: short write to %s: %s\n", path.c_str(), strerror(errno));
      exit(2);
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  chmod(path.c_str(), mode);
}

void CopyFile(const std::string &from, const std::string &to, mode_t mode) {
  WriteAll(to, ReadFile(from), mode);
}

std::vector<pid_t> StandInsOfGroup(pid_t group, const std::string &self) {
  std::vector<pid_t> found;
  DIR *d = opendir("/proc");
  if (d == nullptr) return found;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    pid_t pid = static_cast<pid_t>(atol(e->d_name));
    support::ProcStat st;
    if (!support::ReadProcStat(pid, &st) || st.pgrp != group || st.state == 'Z' || st.state == 'X')
      continue;
    // The first argument up to its NUL: the program the "#!" line named.
    if (ReadFile("/proc/" + std::to_string(pid) + "/cmdline").c_str() == self) found.push_back(pid);
  }
  closedir(d);
  return found;
}

bool LockLeft(const std::string &exe) {
  std::string lock = LockPath(exe);
  return !lock.empty() && unlink(lock.c_str()) == 0;
}

bool LockHeld(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  // F_GETLK only asks: taking the lock here would itself block a start for a moment.
  bool held = fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

std::string CatalogText(const std::string &sourceDir, const std::string &key) {
  std::string catalog = ReadFile(sourceDir + "/src/i18n/messages/en.txt");
  size_t at = 0;
  while ((at = catalog.find(key + " \"", at)) != std::string::npos) {
    if (at == 0 || catalog[at - 1] == '\n') break;
    at++;
  }
  if (at == std::string::npos) return "";
  std::string text;
  for (size_t i = at + key.size() + 2; i < catalog.size() && catalog[i] != '"'; i++) {
    if (catalog[i] == '\\' && i + 1 < catalog.size()) {
      char c = catalog[++i];
      text += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      text += catalog[i];
    }
  }
  return text;
}

// Splits the pattern at its conversions and looks for the pieces in order.
bool MatchesCatalog(const std::string &text, const std::string &pattern) {
  if (pattern.empty()) return false;
  size_t from = 0, p = 0;
  for (;;) {
    size_t conv = pattern.find('%', p);
    std::string piece = pattern.substr(p, conv == std::string::npos ? std::string::npos : conv - p);
    size_t found = text.find(piece, from);
    if (found == std::string::npos) return false;
    from = found + piece.size();
    if (conv == std::string::npos) break;
    p = conv + 1;
    while (p < pattern.size() && strchr("lhiduxs", pattern[p]) != nullptr) p++;
  }
  return true;
}

namespace {
std::vector<std::string> *snapshotOut;
size_t snapshotRootLen;
std::string snapshotSkip;

int Record(const char *path, const struct stat *st, int type, struct FTW *) {
  std::string p = path;
  if (!snapshotSkip.empty() && p.compare(0, snapshotSkip.size(), snapshotSkip) == 0 &&
      (p.size() == snapshotSkip.size() || p[snapshotSkip.size()] == '/')) {
    return 0;
  }
  std::string line = p.substr(std::min(p.size(), snapshotRootLen)) + " " +
                     std::to_string(type) + " " + std::to_string(st->st_mode) + " " +
                     (S_ISDIR(st->st_mode) ? std::string("-") : std::to_string(st->st_size)) +
                     " " + std::to_string(st->st_mtim.tv_sec) + "." +
                     std::to_string(st->st_mtim.tv_nsec);
  snapshotOut->push_back(line);
  return 0;
}
}  // namespace

std::vector<std::string> Snapshot(const std::string &root, const std::string &skip) {
  // nftw has no context argument; the soaks take snapshots under one lock.
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  std::vector<std::string> out;
  snapshotOut = &out;
  snapshotRootLen = root.size();
  snapshotSkip = skip;
  nftw(root.c_str(), Record, 32, FTW_PHYS);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace soak
