// Processes started, watched and waited for; captured streams and environment variables.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

extern char **environ;

namespace support {

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void SleepMs(double ms) {
  if (ms <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>((ms - ts.tv_sec * 1000.0) * 1e6);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool WaitUntil(const std::function<bool()> &condition, double seconds, double pollMs) {
  double end = Now() + seconds;
  while (Now() < end) {
    if (condition()) return true;
    SleepMs(pollMs);
  }
  return condition();
}

bool ReadProcStat(pid_t pid, ProcStat *stat) {
  std::string text = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // After the command in parentheses: state (field 3), ppid, pgrp ... starttime (field 22).
  size_t paren = text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= text.size()) return false;
  const char *p = text.c_str() + paren + 2;
  if (sscanf(p, "%c %ld %ld", &stat->state, &stat->ppid, &stat->pgrp) != 3) return false;
  for (int field = 3; field < 22 && p != nullptr; field++) {
    p = strchr(p, ' ');
    if (p != nullptr) p++;
  }
  stat->start = p != nullptr ? strtoull(p, nullptr, 10) : 0;
  return true;
}

bool Running(pid_t pid) {
  ProcStat st;
  return ReadProcStat(pid, &st) && st.state != 'Z' && st.state != 'X';
}

bool Running(const std::string &pid) {
  if (pid.empty()) {
    ADD_FAILURE() << "no process ID";
    return false;
  }
  return Running(static_cast<pid_t>(atol(pid.c_str())));
}

RunOptions LauncherOptions(std::vector<std::string> args, const std::string &locale,
                           const std::string &searchDirs) {
  RunOptions opts;
  opts.args = std::move(args);
  opts.env["LC_ALL"] = locale;
  opts.env["PATH"] = searchDirs.empty() ? "/usr/bin:/bin" : searchDirs + ":/usr/bin:/bin";
  opts.unset = {"JAVA_HOME", "TMPDIR", "LANG", "LANGUAGE", "LD_LIBRARY_PATH"};
  return opts;
}

Process::Process(const std::string &exe, const RunOptions &opts, const std::string &outputDir)
    : outPath_(outputDir + "/stdout"), errPath_(outputDir + "/stderr"),
      timeoutSeconds_(opts.timeoutSeconds), start_(Now()) {
  std::vector<std::string> argv;
  if (opts.asNobody) argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.push_back(exe);
  argv.insert(argv.end(), opts.args.begin(), opts.args.end());

  std::map<std::string, std::string> env;
  if (!opts.clearEnv) {
    for (char **e = environ; *e != nullptr; e++) {
      const char *eq = strchr(*e, '=');
      if (eq != nullptr) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
  }
  for (const auto &u : opts.unset) env.erase(u);
  for (const auto &kv : opts.env) env[kv.first] = kv.second;
  std::vector<std::string> envStrings;
  for (const auto &kv : env) envStrings.push_back(kv.first + "=" + kv.second);

  std::vector<char *> cargv, cenv;
  for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto &e : envStrings) cenv.push_back(const_cast<char *>(e.c_str()));
  cenv.push_back(nullptr);

  int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Only 0, 1 and 2 reach the program, whatever the test runner left open.
    closefrom(3);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    // A fresh process group, so that signals sent to the test do not reach the program.
    setpgid(0, 0);
    for (int sig : opts.ignoredSignals) signal(sig, SIG_IGN);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(in);
  close(out);
  close(err);
  EXPECT_GT(pid_, 0) << "fork: " << strerror(errno);
}

Process::~Process() {
  if (!waited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Process::Signal(int sig) const { kill(pid_, sig); }

Result Process::Wait() {
  Result r;
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid_, &status, WNOHANG);
    if (w == pid_) break;
    if (w < 0 && errno != EINTR) break;
    if (Now() - start_ > timeoutSeconds_) {
      r.timedOut = true;
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    SleepMs(20);
  }
  waited_ = true;
  r.seconds = Now() - start_;
  if (WIFEXITED(status)) {
    r.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.termSignal = WTERMSIG(status);
  }
  r.out = ReadFile(outPath_);
  r.err = ReadFile(errPath_);
  return r;
}

std::string Process::OutSoFar() const { return ReadFile(outPath_); }

bool Process::WaitForOutput(const std::string &text, int timeoutSeconds) const {
  return WaitUntil([&] { return Contains(OutSoFar(), text); }, timeoutSeconds);
}

Result RunToEnd(const std::string &exe, const RunOptions &opts) {
  char tmpl[] = "/tmp/test-run-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return {};
  }
  Result r = Process(exe, opts, tmpl).Wait();
  RemoveTree(tmpl);
  return r;
}

bool CanMount(const std::string &tmpfsOptions) {
  return Shell("unshare -m sh -c 'mount -t tmpfs -o " + tmpfsOptions + " tmpfs /mnt'") == 0;
}

RunOptions InNamespace(RunOptions opts, const std::string &script,
                       const std::vector<std::string> &scriptArgs) {
  opts.args = {"-m", "--propagation", "private", "/bin/sh", "-c", script, "sh"};
  opts.args.insert(opts.args.end(), scriptArgs.begin(), scriptArgs.end());
  return opts;
}

ChildRun RunInChild(const std::function<int()> &fn) {
  ChildRun r;
  char out[] = "/tmp/test-child-XXXXXX", err[] = "/tmp/test-child-XXXXXX";
  int o = mkstemp(out), e = mkstemp(err);
  EXPECT_TRUE(o >= 0 && e >= 0) << "mkstemp: " << strerror(errno);
  fflush(nullptr);
  r.pid = fork();
  if (r.pid == 0) {
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    dup2(o, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    int code = fn();
    fflush(nullptr);
    _exit(code);
  }
  close(o);
  close(e);
  int status = 0;
  EXPECT_EQ(waitpid(r.pid, &status, 0), r.pid);
  r.exited = WIFEXITED(status);
  if (r.exited) r.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  unlink(out);
  unlink(err);
  return r;
}

int OpenDescriptors() { return static_cast<int>(Entries("/proc/self/fd").size()); }

int RunAsNobody(const std::function<int()> &fn) {
  ChildRun r = RunInChild([&] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 250;
    return fn();
  });
  return r.exited ? r.code : 251;
}

int AsNobody(const std::string &command, std::string *output) {
  return Shell("/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups /bin/sh -c " +
                   Quote(command),
               output);
}

void InDirectory(const std::string &dir, const std::function<void()> &fn) {
  char *old = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.c_str()), 0) << dir;
  fn();
  if (old != nullptr) {
    EXPECT_EQ(chdir(old), 0);
    free(old);
  }
}

Capture::Capture(int fd) : fd_(fd) {
  char tmpl[] = "/tmp/test-capture-XXXXXX";
  int out = mkstemp(tmpl);
  if (out < 0) {
    ADD_FAILURE() << "mkstemp: " << strerror(errno);
    return;
  }
  file_ = tmpl;
  fflush(nullptr);
  saved_ = dup(fd_);
  dup2(out, fd_);
  close(out);
}

Capture::~Capture() { Finish(); }

std::string Capture::Finish() {
  if (saved_ < 0) return "";
  fflush(nullptr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
  std::string text = ReadFile(file_);
  unlink(file_.c_str());
  return text;
}

EnvVar::EnvVar(const char *name, const char *value) : name_(name) {
  const char *old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

EnvVar::~EnvVar() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace support
