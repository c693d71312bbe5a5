// The concurrency soak: one installer started 20 times at once (a configuration-management run
// on one machine) must run exactly once and refuse the other 19; 20 copies of it started at
// once, all in the same temporary directory, must all run. Nothing may be left behind.
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "soak.h"

namespace soak {
namespace {

constexpr int kStarts = 20;

struct Batch {
  int ran = 0, refused = 0, other = 0, javaRuns = 0;
  bool childLeft = false;
  std::vector<std::string> left;
};

// Starts every executable of exes at once with the same temporary directory and runtime.
Batch StartAll(const Settings &s, const std::vector<std::string> &exes, const std::string &dir) {
  Batch b;
  JavaBehaviour java;
  java.runMs = 1000;
  RunDir run = PrepareRun(s, dir, java);
  std::string already = CatalogText(s.sourceDir, "setup_already_started");

  RunOptions opts = LauncherOptions({"-javahome", run.jre, "-tmpdir", run.tmp});
  std::vector<std::unique_ptr<Process>> running;
  for (size_t i = 0; i < exes.size(); i++) {
    std::string out = dir + "/out" + std::to_string(i);
    MkDirs(out);
    running.push_back(Spawn(exes[i], opts, out));
  }
  std::vector<pid_t> groups;
  for (auto &p : running) {
    groups.push_back(p->pid());
    Result r = p->Wait();
    if (r.exitStatus == 0) {
      b.ran++;
    } else if (r.exitStatus == 1 && MatchesCatalog(r.err, already)) {
      b.refused++;
    } else {
      b.other++;
    }
  }
  SleepMs(300);
  for (const Recorded &rec : ReadRecorded(run.report)) {
    if (rec.kind == "java") b.javaRuns++;
    if (StillRunning(rec)) {
      b.childLeft = true;
      kill(rec.pid, SIGKILL);
    }
  }
  for (pid_t g : groups) {
    for (pid_t pid : StandInsOfGroup(g, s.self)) {
      b.childLeft = true;
      kill(pid, SIGKILL);
    }
  }
  for (const std::string &name : Entries(run.tmp)) b.left.push_back(name);
  for (const std::string &exe : exes) {
    std::string lock = LockPath(exe);
    if (LockLeft(exe)) b.left.push_back(lock);
  }
  return b;
}

}  // namespace

Figure ConcurrencySoak(const Settings &s) {
  Figure f{"concurrency"};
  std::string dir = s.sandbox + "/concurrency";
  std::string installer = FigureInstaller(s, "concurrency", 100, 2000);

  // One file started 20 times; then 20 files (each its own inode, hence its own lock).
  std::vector<std::string> same(kStarts, installer);
  Batch one = StartAll(s, same, dir + "/same");
  std::vector<std::string> copies;
  for (int i = 0; i < kStarts; i++) {
    copies.push_back(dir + "/copy" + std::to_string(i));
    CopyFile(installer, copies.back(), 0755);
  }
  Batch many = StartAll(s, copies, dir + "/copies");

  size_t left = one.left.size() + many.left.size();
  f.text = "one installer started " + std::to_string(kStarts) + " times at once: " +
           std::to_string(one.ran) + " ran, " + std::to_string(one.refused) + " refused" +
           (one.other ? ", " + std::to_string(one.other) + " otherwise" : "") + " (Java started " +
           std::to_string(one.javaRuns) + " times); " + std::to_string(kStarts) +
           " copies at once: " + std::to_string(many.ran) + " ran (Java started " +
           std::to_string(many.javaRuns) + " times); left behind " + std::to_string(left) +
           ", children left alive " + std::to_string(one.childLeft + many.childLeft);
  for (const std::string &l : one.left) f.details.push_back("left by the same installer: " + l);
  for (const std::string &l : many.left) f.details.push_back("left by the copies: " + l);
  f.clean = one.ran == 1 && one.refused == kStarts - 1 && one.javaRuns == 1 &&
            many.ran == kStarts && many.javaRuns == kStarts && left == 0 && !one.childLeft &&
            !many.childLeft;
  RemoveTree(dir);
  return f;
}

}  // namespace soak
