// Helpers for end-to-end tests that run the built launchers as a user would: a private scratch
// directory per test, a private copy of the launcher, installers made by appending a ZIP archive,
// stand-in Java runtimes made of shell scripts, and processes run with chosen arguments,
// environment, user and current directory, their output captured in files.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// What an upgrade script run from the descriptor it was checked through reads as its own name
// ($0), as a regular expression: /dev/fd/<n> where the kernel runs it from the descriptor
// (execveat), /proc/self/fd/<n> where glibc's fexecve falls back to that path (under qemu's
// user-mode emulator, which has no execveat). Either way the checked file runs, not a path.
constexpr char kScriptFromDescriptor[] = "(/dev/fd|/proc/self/fd)/[0-9]+";

// The processor directory of a runtime for the launcher under test ("i386" or "amd64").
const char *ArchDir();
// Absolute path of a built program (setup, uninstall, setup-gui, mkinstaller).
std::string BuiltLauncher(const std::string &name);
// Absolute path of a file of the source tree.
std::string SourcePath(const std::string &rel);

std::string ReadFile(const std::string &path);
// n reproducible bytes that deflate cannot shrink, a different sequence for every seed.
std::string Noise(size_t n, uint32_t seed = 1);
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);
bool Exists(const std::string &path);
// Runs a shell command line; returns its exit status (or -1), output discarded unless captured.
int Shell(const std::string &command, std::string *output = nullptr);

// A scratch directory, removed with everything in it when the test ends. Made world-searchable
// (0755) so that tests may run the launcher as an unprivileged user inside it.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;

  const std::string &dir() const { return dir_; }
  std::string Path(const std::string &rel) const { return dir_ + "/" + rel; }
  // Creates rel (and its parents) as a directory.
  std::string MkDir(const std::string &rel, mode_t mode = 0755) const;
  // Writes rel (creating its parents).
  std::string Write(const std::string &rel, const std::string &content, mode_t mode = 0644) const;
  // Copies the built launcher `name` to rel; the copy has its own inode, hence its own lock.
  std::string CopyLauncher(const std::string &name = "setup", const std::string &rel = "setup") const;
  // Zips the contents of payloadRel into zipRel (relative names, recursive, quiet) with
  // Info-ZIP zip and any extra options; returns the zip's path.
  std::string Zip(const std::string &payloadRel, const std::string &zipRel,
                  const std::string &zipOptions = "") const;
  // Makes an installer at rel: a copy of the launcher `name` followed by the archive zipRel.
  // With absolute, the archive's offsets are rewritten as file positions (zip -A).
  std::string MakeInstaller(const std::string &zipRel, const std::string &rel = "installer",
                            const std::string &name = "setup", bool absolute = false) const;

 private:
  std::string dir_;
};

// What a stand-in Java runtime does. Its bin/java is a #!/bin/sh script: for "-version" it
// prints `java version "<version>"` on standard error and exits with versionExit; otherwise it
// records its arguments (one per line), current directory and environment under reportDir and
// exits with exitCode after sleeping `sleepSeconds`.
struct StandInJava {
  std::string version = "1.4.2";
  int versionExit = 0;
  int exitCode = 0;
  int sleepSeconds = 0;
  std::string reportDir;     // where argv.txt, cwd.txt and env.txt go; empty: no report
  std::string extraScript;   // shell lines run before exiting (not for -version)
};
// Lays out a runtime root at root: bin/java and lib/<arch>/libjava.so. With jdk, root is a
// development kit K with the runtime at K/jre and K/lib/tools.jar; returns the runtime root.
std::string MakeRuntime(const std::string &root, const StandInJava &java, bool jdk = false);

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

struct Result {
  int exitStatus = -1;  // exit code, or -1 when the process was ended by a signal
  int termSignal = 0;   // the signal that ended it, or 0
  bool timedOut = false;
  std::string out, err;
  double seconds = 0;
};

// A launcher process started in the background.
class Process {
 public:
  Process(const std::string &exe, const RunOptions &opts, const std::string &outputDir);
  ~Process();
  pid_t pid() const { return pid_; }
  void Signal(int sig) const;
  // Waits for the end (killing the process after the timeout) and collects its output.
  Result Wait();
  // Output written so far.
  std::string OutSoFar() const;
  // Waits until standard output contains text; false after timeoutSeconds.
  bool WaitForOutput(const std::string &text, int timeoutSeconds = 60) const;

 private:
  pid_t pid_ = -1;
  std::string outPath_, errPath_;
  int timeoutSeconds_;
  double start_;
  bool waited_ = false;
};

// Runs exe to its end.
Result Run(const std::string &exe, const RunOptions &opts = {});

// Lines of a file, without their newlines.
std::vector<std::string> Lines(const std::string &text);

}  // namespace e2e
