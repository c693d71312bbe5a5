// The helpers that unit, end-to-end and soak tests share: files and scratch directories, shell
// commands, processes run (as another user too) and watched, captured streams and environment
// variables, stand-in Java runtimes made of shell scripts, and the built programs with their
// lock files. Failures are reported through GoogleTest.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace support {

// ---- Files ----

// The text as one single-quoted shell word.
std::string Quote(const std::string &text);
// Makes path and its parents.
void MkDirs(const std::string &path, mode_t mode = 0755);
// The whole file; "" when it cannot be read.
std::string ReadFile(const std::string &path);
// Writes the file (making its parents) and gives it mode.
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);
bool Exists(const std::string &path);  // without following a final link
bool IsDir(const std::string &path);
// The names in dir, sorted, without "." and "..".
std::vector<std::string> Entries(const std::string &dir);
// Every path under root (relative), mapped to "<dir>" or the file's contents.
std::map<std::string, std::string> Tree(const std::string &root);
// Removes path and everything below it, following no link, without starting a process.
void RemoveTree(const std::string &path);
// The lines of a text (or its pieces between separators), without their newlines.
std::vector<std::string> Lines(const std::string &text, char separator = '\n');
// The first line of a file once it is complete (a writer may not be done yet); "" until then.
std::string FirstLine(const std::string &path);
// The C string a call gave to be freed by the caller, freed; ifNull for a null pointer.
std::string Take(char *s, const char *ifNull = "<null>");
bool EndsWith(const std::string &text, const std::string &suffix);
bool Contains(const std::string &text, const std::string &part);
// n reproducible bytes that deflate cannot shrink, a different sequence for every seed.
std::string Noise(size_t n, uint32_t seed = 1);
// Runs a shell command line; its exit status (or -1). Output is discarded unless captured,
// standard error with standard output.
int Shell(const std::string &command, std::string *output = nullptr);
// The same, failing the test unless the command succeeds.
void Sh(const std::string &command);

// A scratch directory under /tmp, removed with everything in it when it goes (E2E_KEEP=1 keeps
// it). World-searchable (0755), so that another user may run what a test puts there.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;

  const std::string &dir() const { return dir_; }
  std::string Path(const std::string &rel) const { return dir_ + "/" + rel; }
  std::string operator/(const std::string &rel) const { return Path(rel); }
  // Makes rel (and its parents) a directory of that mode.
  std::string MkDir(const std::string &rel, mode_t mode = 0755) const;
  // Writes rel, making its parents.
  std::string Write(const std::string &rel, const std::string &content = "",
                    mode_t mode = 0644) const;
  // Copies the built program `name` to rel; the copy has its own inode, hence its own lock.
  std::string CopyLauncher(const std::string &name = "setup", const std::string &rel = "setup") const;
  // Zips the contents of payloadRel into zipRel with Info-ZIP zip (relative names, recursive,
  // no extra fields) and any further options; the zip's path.
  std::string Zip(const std::string &payloadRel, const std::string &zipRel,
                  const std::string &zipOptions = "") const;
  // An installer at rel: a copy of the built launcher `name` followed by the archive zipRel.
  // With absolute, the archive's offsets count from the start of the file (zip -A).
  std::string MakeInstaller(const std::string &zipRel, const std::string &rel = "installer",
                            const std::string &name = "setup", bool absolute = false) const;

 private:
  std::string dir_;
};

// A test of state a subsystem keeps at file scope, which Reset forgets before and after each
// test, with a scratch directory of its own.
template <void (*Reset)()>
class ResetTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  Sandbox scratch;
};

// ---- Processes ----

double Now();  // monotonic seconds
void SleepMs(double ms);
// Polls condition every pollMs until it holds; false when it still does not after `seconds`.
bool WaitUntil(const std::function<bool()> &condition, double seconds = 60, double pollMs = 20);

// From /proc/<pid>/stat: the state letter, parent, process group and start time in ticks.
struct ProcStat {
  char state = 0;
  long ppid = 0, pgrp = 0;
  unsigned long long start = 0;
};
bool ReadProcStat(pid_t pid, ProcStat *stat);
// Running, as opposed to gone or a zombie waiting for whoever adopted it. The string form takes
// a recorded process ID and fails the test when there is none.
bool Running(pid_t pid);
bool Running(const std::string &pid);

struct RunOptions {
  std::vector<std::string> args;
  std::map<std::string, std::string> env;  // set (added to or replacing inherited variables)
  std::vector<std::string> unset;          // removed from the environment
  bool clearEnv = false;                   // start from an empty environment
  std::string cwd;                         // empty: the test's current directory
  bool asNobody = false;                   // run as uid/gid 65534 without groups
  std::vector<int> ignoredSignals;         // inherited as ignored, as from a parent that ignores them
  int timeoutSeconds = 120;
};

// What a launcher is run with unless a test says otherwise: English texts (LC_ALL=locale), the
// machine's own directories on PATH after searchDirs, and nothing inherited that would change
// its course (JAVA_HOME, TMPDIR, LANG, LANGUAGE, LD_LIBRARY_PATH).
RunOptions LauncherOptions(std::vector<std::string> args = {}, const std::string &locale = "C",
                           const std::string &searchDirs = "");

struct Result {
  int exitStatus = -1;  // exit code, or -1 when the process was ended by a signal
  int termSignal = 0;   // the signal that ended it, or 0
  bool timedOut = false;
  std::string out, err;
  double seconds = 0;
};

// A program started in the background in a process group of its own, standard input from
// /dev/null, its output in outputDir/stdout and outputDir/stderr; killed if never waited for.
class Process {
 public:
  Process(const std::string &exe, const RunOptions &opts, const std::string &outputDir);
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  pid_t pid() const { return pid_; }
  void Signal(int sig) const;
  // Waits for the end (killing the process after the timeout) and collects its output.
  Result Wait();
  std::string OutSoFar() const;
  // Waits until standard output holds text; false after timeoutSeconds.
  bool WaitForOutput(const std::string &text, int timeoutSeconds = 60) const;

 private:
  pid_t pid_ = -1;
  std::string outPath_, errPath_;
  int timeoutSeconds_;
  double start_;
  bool waited_ = false;
};

// Runs exe to its end.
Result RunToEnd(const std::string &exe, const RunOptions &opts = {});

// Whether this machine lets a test mount a tmpfs (with these options) in a private mount
// namespace: the small, full, read-only or noexec file systems of the tests that need them.
bool CanMount(const std::string &tmpfsOptions = "size=1m");
// opts for a run of kUnshare: `script`, run by sh in a private mount namespace with scriptArgs
// as $1, $2, ...; the mounts it makes are seen by nobody else and go with the run.
constexpr char kUnshare[] = "/usr/bin/unshare";
RunOptions InNamespace(RunOptions opts, const std::string &script,
                       const std::vector<std::string> &scriptArgs);

// How a function run in a child process ended and what it wrote.
struct ChildRun {
  pid_t pid = -1;
  bool exited = false;
  int code = -1;    // its exit status when it exited
  int signal = 0;   // the signal that ended it, or 0
  std::string out, err;
};
// Runs fn in a forked child (no core dumps, standard output and error in files) that exits
// with fn's result, and waits for it.
ChildRun RunInChild(const std::function<int()> &fn);

// The number of descriptors this process has open.
int OpenDescriptors();

// Root passes every access check, so refusals show only to another user. RunAsNobody runs fn in
// a child process as uid/gid 65534 without groups and gives its result (0-255); AsNobody runs a
// shell command line so.
int RunAsNobody(const std::function<int()> &fn);
int AsNobody(const std::string &command, std::string *output = nullptr);
// Runs fn with the current directory set to dir, restoring it afterwards.
void InDirectory(const std::string &dir, const std::function<void()> &fn);

// Sends a descriptor (1 or 2) to a file until Finish, which gives what was written.
class Capture {
 public:
  explicit Capture(int fd);
  ~Capture();
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  std::string Finish();

 private:
  int fd_, saved_ = -1;
  std::string file_;
};

// Sets or (value null) removes an environment variable until the end of the scope.
class EnvVar {
 public:
  EnvVar(const char *name, const char *value);
  ~EnvVar();
  EnvVar(const EnvVar &) = delete;
  EnvVar &operator=(const EnvVar &) = delete;

 private:
  std::string name_, old_;
  bool had_;
};

// ---- The built programs ----

// The processor directory of a runtime for this build ("i386" or "amd64").
const char *ArchDir();
// Absolute path of a built program (setup, uninstall, setup-gui, mkinstaller, ...).
std::string BuiltLauncher(const std::string &name);
// Absolute path of a file of the source tree.
std::string SourcePath(const std::string &rel);
// The lock file of a launcher at exe: /tmp/<title>.<device>.<inode>.<uid> (uid -1: this
// process's effective one); "" (and a failure) when exe is not there.
std::string LockPath(const std::string &exe, const std::string &title = "Setup",
                     uid_t uid = static_cast<uid_t>(-1));

// What an upgrade script run from the descriptor it was checked through reads as its own name
// ($0), as a regular expression: /dev/fd/<n> where the kernel runs it from the descriptor
// (execveat), /proc/self/fd/<n> where glibc's fexecve falls back to that path (under qemu's
// user-mode emulator, which has no execveat). Either way the checked file runs, not a path.
constexpr char kScriptFromDescriptor[] = "(/dev/fd|/proc/self/fd)/[0-9]+";

// ---- Stand-in Java runtimes ----
// The version probe runs bin/java with an empty environment and standard output closed, so
// scripts for it use shell builtins and absolute paths only.

// What a stand-in's bin/java (a #!/bin/sh script) does. For "-version" it runs probeScript,
// prints `java version "<version>"` on standard error and exits with versionExit; otherwise it records
// its arguments (one per line), current directory and exported variables in reportDir's
// argv.txt, cwd.txt and env.txt, runs extraScript, sleeps `sleepSeconds` and exits with exitCode.
struct StandInJava {
  std::string version = "1.4.2";
  int versionExit = 0;
  int exitCode = 0;
  int sleepSeconds = 0;
  std::string reportDir;    // empty: no report
  std::string extraScript;  // shell lines run before exiting (not for -version)
  std::string probeScript;  // shell lines run for -version before it answers
};
std::string JavaScript(const StandInJava &java);
// A bin/java that writes text (verbatim) on standard error whatever its arguments, then runs tail.
std::string OutputScript(const std::string &text, const std::string &tail = "exit 0");
// A bin/java whose "-version" line names version, exiting with exitCode.
std::string VersionScript(const std::string &version, int exitCode = 0);
// Lays out a runtime root at root: lib/<arch>/libjava.so and an executable bin/java holding
// script. With jdk, root is a development kit K (K/lib/tools.jar, the runtime at K/jre).
// Gives the runtime root.
std::string MakeRuntime(const std::string &root, const std::string &script, bool jdk = false);
std::string MakeRuntime(const std::string &root, const StandInJava &java, bool jdk = false);

}  // namespace support
