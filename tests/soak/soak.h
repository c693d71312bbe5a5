// The reliability soak: the launcher run many times at random moments, many at once, on full
// disks, on hostile archives and under valgrind, each producing one figure. The driver is one
// program that also plays the parts around the launcher: a stand-in Java runtime (started by
// the launcher through a "#!" line naming this program), the upgrade script, and an isolated
// run on a private tmpfs in its own mount namespace.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support.h"

namespace soak {

using support::Contains;
using support::Entries;
using support::LauncherOptions;
using support::LockPath;
using support::MkDirs;
using support::Now;
using support::Process;
using support::ReadFile;
using support::RemoveTree;
using support::Result;
using support::RunOptions;
using support::SleepMs;

// ---- What the run was asked for ----

struct Settings {
  bool quick = false;
  uint64_t seed = 0;
  int jobs = 32;                // launcher runs at once in the soaks that mostly wait
  std::string devBin;           // directory of the dev build's launchers
  std::string asanBin;          // directory of the asan build's launchers
  std::string sourceDir;        // the source tree (message catalog)
  std::string findingsDir;      // where failing inputs are written
  std::string self;             // this program, as the stand-ins run it
  std::string sandbox;          // the soak's scratch directory
  std::vector<std::string> only;  // figures to run (empty: all)
};

// One figure's line: its name, the text after the name, and whether it is clean.
struct Figure {
  explicit Figure(std::string figure = "") : name(std::move(figure)) {}
  std::string name;
  std::string text;
  bool clean = false;
  std::vector<std::string> details;  // printed under the line when not clean
};

Figure SignalSoak(const Settings &s);
Figure ConcurrencySoak(const Settings &s);
Figure DiskFullSoak(const Settings &s);
Figure HostileSoak(const Settings &s);
Figure ValgrindSoak(const Settings &s);

// ---- The parts this program plays (selected by its first argument) ----

// "java": the stand-in runtime's bin/java; "upgrade:<report>:<ms>": the upgrade script;
// "isolate": a run on a private tmpfs. Each returns the process's exit status.
int StandInJava(int argc, char **argv);
int StandInUpgrade(int argc, char **argv);
int Isolate(int argc, char **argv);

// What the stand-in Java does, written beside its runtime root as soak-java.conf.
struct JavaBehaviour {
  std::string report;     // directory where the stand-ins record their pids
  int probeMs = 0;        // time the version probe takes
  std::string fill;       // the probe fills this file until the disk is full
  int runMs = 0;          // time the Java program runs
  int exitCode = 0;       // its exit status; 10 leaves an upgrade script that runs upgradeMs
  int upgradeMs = 0;
};
// Lays out a runtime root (bin/java, lib/<arch>/libjava.so, soak-java.conf) at root.
void MakeStandInRuntime(const std::string &root, const std::string &self, const JavaBehaviour &b);

// A run's own directory `dir`: tmp for -tmpdir, report where the stand-ins record their pids, a
// stand-in runtime jre that behaves as java says (recording in report), and exe, a copy of the
// installer (none without one), which has its own lock.
struct RunDir {
  std::string dir, tmp, report, jre, exe;
};
RunDir PrepareRun(const Settings &s, const std::string &dir, JavaBehaviour java,
                  const std::string &installer = "");

// One process that a stand-in recorded: its kind ("probe", "java", "upgrade"), pid and start
// time (so that a reused pid is not mistaken for it).
struct Recorded {
  std::string kind;
  pid_t pid = 0;
  unsigned long long start = 0;
};
std::vector<Recorded> ReadRecorded(const std::string &report);
bool StillRunning(const Recorded &r);

// What a canary file holds: files that nothing of a run may change.
constexpr char kCanaryText[] = "canary: nothing may change this file\n";

// A command run by Isolate, from the driver's side.
struct IsolatedRun {
  std::string dir;            // the run's own directory: output and result files go here
  std::string mountPoint;     // an empty directory that the private tmpfs covers
  std::string tmpfsOptions;   // "size=...,nr_inodes=..."
  int seconds = 120;          // time limit
  bool canary = false;        // a canary file and directory beside whatever the command makes
  std::string removeName;     // a file of the tmpfs to delete before listing (the filler)
  std::vector<std::string> command;
  std::vector<std::string> env;  // added to the launcher environment
  std::string cwd;               // where the command starts (empty: the soak's own)
};
struct Isolated {
  bool ok = false;
  std::string error;
  int exitStatus = -1;
  int termSignal = 0;
  bool timedOut = false;
  bool groupLeft = false;  // a process of the command's group outlived it
  bool canaryChanged = false;
  std::vector<std::string> left;  // what the tmpfs holds besides the canaries
  std::string out, err;
};
Isolated RunIsolated(const Settings &s, const IsolatedRun &run);

// ---- Helpers of the soaks ----

// Deterministic random numbers (splitmix64): the same seed gives the same soak.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [0, n).
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * (Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  uint64_t state_;
};

// Runs task(0) .. task(count - 1) on `jobs` threads.
void ForEachConcurrently(int count, int jobs, const std::function<void(int)> &task);

void CopyFile(const std::string &from, const std::string &to, mode_t mode);

// True when the launcher at exe left its lock file, which is then removed.
bool LockLeft(const std::string &exe);
// The stand-ins (processes running `self`) of a process group that are still running; zombies
// do not count (they have ended and only wait for whoever adopted them). Only these are ever
// killed: a group whose members are all gone may have had its number reused by now.
std::vector<pid_t> StandInsOfGroup(pid_t group, const std::string &self);
// True when a write lock on path cannot be had right now (another process holds it).
bool LockHeld(const std::string &path);

// The English catalog text of key as a pattern: each "%s" or "%lli" matches any text.
std::string CatalogText(const std::string &sourceDir, const std::string &key);
bool MatchesCatalog(const std::string &text, const std::string &pattern);

// Starts a launcher (or any program) as a Process, and runs one to its end; the output goes to
// outputDir. Use these rather than Process and support::RunToEnd: they keep forks from
// overlapping with the writing of executables (see WriteAll).
std::unique_ptr<Process> Spawn(const std::string &exe, const RunOptions &opts,
                               const std::string &outputDir);
Result RunToEnd(const std::string &exe, const RunOptions &opts, const std::string &outputDir);

// A tree's files and directories with what identifies their contents, for before/after
// comparison; skip names a subtree left out (a mount point).
std::vector<std::string> Snapshot(const std::string &root, const std::string &skip = "");

// An installer: the launcher at `launcher` followed by the archive bytes, written to path.
void MakeInstaller(const std::string &launcher, const std::string &archive, const std::string &path);
// The directory of a figure (made anew in the soak's sandbox) and, in it, an installer of the
// dev build with a PayloadArchive(files, fileSize); the installer's path.
std::string FigureInstaller(const Settings &s, const std::string &figure, int files, size_t fileSize);
// A well-formed archive for the runs: the main class, package/PackageFormat.jar and `files`
// further files of `fileSize` poorly compressible bytes in directories of 50, every fourth one
// deflated, the rest stored.
std::string PayloadArchive(int files, size_t fileSize);

// Runs fn while no fork is under way (see WriteAll).
void WhileNoFork(const std::function<void()> &fn);
// Writes a file that may be run soon (an installer, a stand-in) while no fork is under way.
void WriteAll(const std::string &path, const std::string &bytes, mode_t mode = 0644);

}  // namespace soak
