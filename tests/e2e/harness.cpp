// Process and file helpers for the end-to-end tests.
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char **environ;

namespace e2e {
namespace {

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

void MkDirs(const std::string &path, mode_t mode) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << part << ": " << strerror(errno);
    }
  }
}

std::string Parent(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

const char *ArchDir() { return sizeof(void *) == 4 ? "i386" : "amd64"; }

std::string BuiltLauncher(const std::string &name) { return std::string(LAUNCHER_BIN_DIR "/") + name; }

std::string SourcePath(const std::string &rel) { return std::string(LAUNCHER_SOURCE_DIR "/") + rel; }

std::string Noise(size_t n, uint32_t seed) {
  std::string noise(n, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    noise[i] = static_cast<char>(x >> 24);
  }
  return noise;
}

std::string ReadFile(const std::string &path) {
  std::string data;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return data;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return data;
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
  MkDirs(Parent(path), 0755);
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
  ASSERT_EQ(fclose(f), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int Shell(const std::string &command, std::string *output) {
  std::string cmd = output != nullptr ? command + " 2>&1" : command + " >/dev/null 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (output != nullptr) output->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

Sandbox::Sandbox() {
  char tmpl[] = "/tmp/e2e-XXXXXX";
  char *d = mkdtemp(tmpl);
  if (d == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  dir_ = d;
  chmod(d, 0755);
}

Sandbox::~Sandbox() {
  if (!dir_.empty() && getenv("E2E_KEEP") == nullptr) Shell("rm -rf " + Quote(dir_));
}

std::string Sandbox::MkDir(const std::string &rel, mode_t mode) const {
  std::string path = Path(rel);
  MkDirs(path, 0755);
  chmod(path.c_str(), mode);
  return path;
}

std::string Sandbox::Write(const std::string &rel, const std::string &content, mode_t mode) const {
  std::string path = Path(rel);
  WriteFile(path, content, mode);
  return path;
}

std::string Sandbox::CopyLauncher(const std::string &name, const std::string &rel) const {
  std::string dest = Path(rel);
  MkDirs(Parent(dest), 0755);
  EXPECT_EQ(Shell("cp " + Quote(BuiltLauncher(name)) + " " + Quote(dest)), 0);
  chmod(dest.c_str(), 0755);
  return dest;
}

std::string Sandbox::Zip(const std::string &payloadRel, const std::string &zipRel,
                         const std::string &zipOptions) const {
  std::string zip = Path(zipRel);
  unlink(zip.c_str());
  std::string out;
  int rc = Shell("cd " + Quote(Path(payloadRel)) + " && zip -q -r -X " + zipOptions + " " +
                     Quote(zip) + " .",
                 &out);
  EXPECT_EQ(rc, 0) << out;
  return zip;
}

std::string Sandbox::MakeInstaller(const std::string &zipRel, const std::string &rel,
                                   const std::string &name, bool absolute) const {
  std::string dest = CopyLauncher(name, rel);
  // With captured output Shell adds no ">/dev/null", which would override the ">>".
  std::string catOut;
  EXPECT_EQ(Shell("cat " + Quote(Path(zipRel)) + " >> " + Quote(dest), &catOut), 0) << catOut;
  if (absolute) {
    std::string out;
    EXPECT_EQ(Shell("zip -q -A " + Quote(dest), &out), 0) << out;
  }
  chmod(dest.c_str(), 0755);
  return dest;
}

std::string MakeRuntime(const std::string &root, const StandInJava &java, bool jdk) {
  std::string jre = jdk ? root + "/jre" : root;
  if (jdk) WriteFile(root + "/lib/tools.jar", "");
  WriteFile(jre + "/lib/" + ArchDir() + "/libjava.so", "");
  std::string script = "#!/bin/sh\n";
  script += "if [ \"$1\" = \"-version\" ]; then\n";
  script += "  echo 'java version \"" + java.version + "\"' >&2\n";
  script += "  exit " + std::to_string(java.versionExit) + "\n";
  script += "fi\n";
  if (!java.reportDir.empty()) {
    std::string r = Quote(java.reportDir);
    script += "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > " + r + "/argv.txt\n";
    script += "pwd > " + r + "/cwd.txt\n";
    script += "export -p > " + r + "/env.txt\n";
  }
  script += java.extraScript + "\n";
  if (java.sleepSeconds > 0) script += "sleep " + std::to_string(java.sleepSeconds) + "\n";
  script += "exit " + std::to_string(java.exitCode) + "\n";
  WriteFile(jre + "/bin/java", script, 0755);
  return jre;
}

Process::Process(const std::string &exe, const RunOptions &opts, const std::string &outputDir)
    : outPath_(outputDir + "/stdout"), errPath_(outputDir + "/stderr"),
      timeoutSeconds_(opts.timeoutSeconds), start_(Now()) {
  std::vector<std::string> argv;
  if (opts.asNobody) {
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
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
    // Only 0, 1 and 2 reach the launcher, whatever the test runner left open.
    closefrom(3);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    // A fresh process group, so that signals sent to the test do not reach the launcher.
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
    usleep(20000);
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
  double end = Now() + timeoutSeconds;
  while (Now() < end) {
    if (OutSoFar().find(text) != std::string::npos) return true;
    usleep(20000);
  }
  return false;
}

Result Run(const std::string &exe, const RunOptions &opts) {
  char tmpl[] = "/tmp/e2e-run-XXXXXX";
  char *d = mkdtemp(tmpl);
  if (d == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return {};
  }
  std::string dir = d;
  Result r;
  {
    Process p(exe, opts, dir);
    r = p.Wait();
  }
  Shell("rm -rf " + Quote(dir));
  return r;
}

}  // namespace e2e
