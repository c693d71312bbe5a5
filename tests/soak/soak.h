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

namespace e2e {
struct RunOptions;
struct Result;
class Process;
}

namespace soak {

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
// Lays out a runtime root (bin/java, lib/amd64/libjava.so, soak-java.conf) at root.
void MakeStandInRuntime(const std::string &root, const std::string &self, const JavaBehaviour &b);

// One process that a stand-in recorded: its kind ("probe", "java", "upgrade"), pid and start
// time (so that a reused pid is not mistaken for it).
struct Recorded {
  std::string kind;
  pid_t pid = 0;
  unsigned long long start = 0;
};
std::vector<Recorded> ReadRecorded(const std::string &report);
bool StillRunning(const Recorded &r);

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

// ---- Shared helpers ----

double Now();
void SleepMs(double ms);

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

std::string Quote(const std::string &s);
void MkDirs(const std::string &path);
void RemoveTree(const std::string &path);
void CopyFile(const std::string &from, const std::string &to, mode_t mode);
std::vector<std::string> Entries(const std::string &dir);
bool Contains(const std::string &haystack, const std::string &needle);

// The single-instance lock file of the launcher at exe under the English title.
std::string LockPath(const std::string &exe);
// The stand-ins (processes running `self`) of a process group that are still running; zombies
// do not count (they have ended and only wait for whoever adopted them). Only these are ever
// killed: a group whose members are all gone may have had its number reused by now.
std::vector<pid_t> StandInsOfGroup(pid_t group, const std::string &self);
// True when a write lock on path cannot be had right now (another process holds it).
bool LockHeld(const std::string &path);

// The English catalog text of key as a pattern: each "%s" or "%lli" matches any text.
std::string CatalogText(const std::string &sourceDir, const std::string &key);
bool MatchesCatalog(const std::string &text, const std::string &pattern);


// Options for running a launcher in the soaks: the C locale, a PATH without runtimes, no
// inherited TMPDIR or JAVA_HOME; extra holds further "NAME=value" settings.
e2e::RunOptions LauncherOptions(const std::vector<std::string> &extra = {});

// Starts a launcher (or any program) like e2e::Process, and runs one to its end; the output
// goes to outputDir. Use these rather than e2e::Process and e2e::Run: they keep forks from
// overlapping with the writing of executables (see WriteAll).
std::unique_ptr<e2e::Process> Spawn(const std::string &exe, const e2e::RunOptions &opts,
                                    const std::string &outputDir);
e2e::Result RunToEnd(const std::string &exe, const e2e::RunOptions &opts, const std::string &outputDir);

// A tree's files and directories with what identifies their contents, for before/after
// comparison; skip names a subtree left out (a mount point).
std::vector<std::string> Snapshot(const std::string &root, const std::string &skip = "");

// An installer: the launcher at `launcher` followed by the archive bytes, written to path.
void MakeInstaller(const std::string &launcher, const std::string &archive, const std::string &path);
// A well-formed archive for the runs: the main class, package/PackageFormat.jar and `files`
// further files of `fileSize` poorly compressible bytes in directories of 50, every fourth one
// deflated, the rest stored.
std::string PayloadArchive(int files, size_t fileSize);

// The archive and installer bytes.
std::string ReadAll(const std::string &path);
void WriteAll(const std::string &path, const std::string &bytes, mode_t mode = 0644);

}  // namespace soak
