// A launcher run on a private tmpfs: this process moves into a mount namespace of its own
// (the `unshare -m` of the shell), mounts a small tmpfs that only it and its children see,
// runs the command there with a time limit, and writes what happened and what the tmpfs
// still holds to a result file outside it. The tmpfs goes with the namespace.
//
// Usage: soak isolate <mount point> <tmpfs options> <seconds> <result file> <canary 0|1>
//                     <name to remove or -> -- <command> [arguments...]
#include <errno.h>
#include <ftw.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "soak.h"

namespace soak {
namespace {

std::vector<std::string> listed;
size_t listedRootLen;

int List(const char *path, const struct stat *, int, struct FTW *) {
  std::string p = path;
  if (p.size() > listedRootLen) listed.push_back(p.substr(listedRootLen + 1));
  return 0;
}

}  // namespace

int Isolate(int argc, char **argv) {
  if (argc < 10 || strcmp(argv[8], "--") != 0) {
    fprintf(stderr, "soak isolate: bad arguments\n");
    return 2;
  }
  std::string mountPoint = argv[2], options = argv[3], resultFile = argv[5];
  int seconds = atoi(argv[4]);
  bool canary = strcmp(argv[6], "1") == 0;
  std::string removeName = argv[7];

  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    WriteAll(resultFile, std::string("error unshare: ") + strerror(errno) + "\n");
    return 3;
  }
  if (mount("soak", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    WriteAll(resultFile, std::string("error mount: ") + strerror(errno) + "\n");
    return 3;
  }
  if (canary) {
    WriteAll(mountPoint + "/canary-file", kCanaryText);
    MkDirs(mountPoint + "/canary-dir");
    WriteAll(mountPoint + "/canary-dir/file", kCanaryText);
  }

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    execv(argv[9], argv + 9);
    _exit(127);
  }
  int status = 0;
  bool timedOut = false;
  double end = Now() + seconds;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) break;
    if (Now() > end) {
      timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    SleepMs(20);
  }
  // Whatever the launcher started and left running is still in its process group: the
  // stand-ins, which are this program.
  char self[4096];
  ssize_t selfLen = readlink("/proc/self/exe", self, sizeof self - 1);
  self[selfLen > 0 ? selfLen : 0] = '\0';
  std::vector<pid_t> leftovers = StandInsOfGroup(pid, self);
  bool groupLeft = !leftovers.empty();
  for (pid_t p : leftovers) kill(p, SIGKILL);

  if (removeName != "-") unlink((mountPoint + "/" + removeName).c_str());
  std::string result = "status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                       " " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0) + " " +
                       std::to_string(timedOut ? 1 : 0) + " " + std::to_string(groupLeft ? 1 : 0) +
                       "\n";
  if (canary) {
    if (ReadFile(mountPoint + "/canary-file") != kCanaryText ||
        ReadFile(mountPoint + "/canary-dir/file") != kCanaryText) {
      result += "canary changed\n";
    }
  }
  listed.clear();
  listedRootLen = mountPoint.size();
  nftw(mountPoint.c_str(), List, 32, FTW_PHYS);
  for (const std::string &name : listed) {
    if (canary && (name == "canary-file" || name == "canary-dir" || name == "canary-dir/file"))
      continue;
    result += "left " + name + "\n";
  }
  WriteAll(resultFile, result);
  return 0;
}

Isolated RunIsolated(const Settings &s, const IsolatedRun &run) {
  Isolated r;
  std::string result = run.dir + "/isolate-result";
  unlink(result.c_str());
  RunOptions opts = LauncherOptions();
  for (const std::string &kv : run.env) opts.env[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
  opts.args = {"isolate", run.mountPoint, run.tmpfsOptions, std::to_string(run.seconds), result,
               run.canary ? "1" : "0", run.removeName.empty() ? "-" : run.removeName, "--"};
  opts.args.insert(opts.args.end(), run.command.begin(), run.command.end());
  opts.timeoutSeconds = run.seconds + 60;
  opts.cwd = run.cwd;
  Result pr = RunToEnd(s.self, opts, run.dir);
  r.out = pr.out;
  r.err = pr.err;
  std::string text = ReadFile(result);
  if (pr.exitStatus != 0 || text.compare(0, 7, "status ") != 0) {
    r.error = "isolation failed (" + std::to_string(pr.exitStatus) + "): " + text + pr.err;
    return r;
  }
  int exitStatus = -1, termSignal = 0, timedOut = 0, groupLeft = 0;
  sscanf(text.c_str(), "status %d %d %d %d", &exitStatus, &termSignal, &timedOut, &groupLeft);
  r.ok = true;
  r.exitStatus = exitStatus;
  r.termSignal = termSignal;
  r.timedOut = timedOut != 0;
  r.groupLeft = groupLeft != 0;
  r.canaryChanged = Contains(text, "\ncanary changed\n");
  size_t at = 0;
  while ((at = text.find("\nleft ", at)) != std::string::npos) {
    at += 6;
    r.left.push_back(text.substr(at, text.find('\n', at) - at));
  }
  return r;
}

}  // namespace soak
