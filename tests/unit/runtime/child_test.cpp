// The record of the running child: what a new child starts with, how it is waited for and
// forgotten, and how a signal handler stops it. Children here are plain forks that _exit, or
// /bin/sh scripts; every test reaps what it starts.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "runtime/child.h"
#include "support.h"

using namespace support;

namespace {

void Handler(int) {}

// A signal disposition for the length of a test.
class Disposition {
 public:
  Disposition(int sig, void (*handler)(int)) : sig_(sig) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, &saved_);
  }
  ~Disposition() { sigaction(sig_, &saved_, nullptr); }

 private:
  int sig_;
  struct sigaction saved_;
};

// Exit code of a child: bit 0 set when SIGUSR1 is back at its default, bit 1 when SIGHUP is
// still ignored, bit 2 when the child leads a process group of its own.
int Surroundings() {
  struct sigaction usr1, hup;
  sigaction(SIGUSR1, nullptr, &usr1);
  sigaction(SIGHUP, nullptr, &hup);
  return (usr1.sa_handler == SIG_DFL ? 1 : 0) | (hup.sa_handler == SIG_IGN ? 2 : 0) |
         (getpgrp() == getpid() ? 4 : 0);
}

TEST(RunningChild, StartsWithTheLaunchersHandlersUndoneAndIgnoredSignalsKept) {
  Disposition usr1(SIGUSR1, Handler);
  Disposition hup(SIGHUP, SIG_IGN);
  for (ChildStop stop : {ChildStop::Gently, ChildStop::WholeGroup}) {
    pid_t pid = ForkRunningChild(stop);
    if (pid == 0) _exit(Surroundings());
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(WaitForRunningChild(pid, &status), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), stop == ChildStop::WholeGroup ? 7 : 3);
    // Reaped and forgotten: nothing is left for a handler to stop.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    StopRunningChild();
  }
  // The parent's own dispositions are untouched.
  struct sigaction now;
  sigaction(SIGUSR1, nullptr, &now);
  EXPECT_EQ(now.sa_handler, Handler);
}

TEST(RunningChild, EndedIsToldWithoutReaping) {
  pid_t pid = ForkRunningChild(ChildStop::Gently);
  if (pid == 0) _exit(5);
  ASSERT_GT(pid, 0);
  double end = Now() + 10;
  while (!RunningChildEnded(pid) && Now() < end) usleep(1000);
  ASSERT_TRUE(RunningChildEnded(pid));
  // Still there to be reaped, with its status.
  int status = 0;
  EXPECT_EQ(WaitForRunningChild(pid, &status), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5);
}

// A running child that runs script with sh.
pid_t ForkScript(ChildStop stop, const std::string &script) {
  pid_t pid = ForkRunningChild(stop);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST(RunningChild, IsAskedToEndThenReaped) {
  Sandbox dir;
  std::string marker = dir / "terminated", ready = dir / "ready";
  const std::string script = "trap 'kill $!; echo term > " + Quote(marker) +
                             "; exit 0' TERM; /bin/sleep 30 & : > " + Quote(ready) +
                             "; wait $!";
  pid_t pid = ForkScript(ChildStop::Gently, script);
  ASSERT_GT(pid, 0);
  double end = Now() + 30;
  while (access(ready.c_str(), F_OK) != 0 && Now() < end) usleep(10000);
  double start = Now();
  StopRunningChild();
  EXPECT_LT(Now() - start, 5.0);
  EXPECT_EQ(ReadFile(marker), "term\n");
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "not reaped";
  EXPECT_EQ(errno, ECHILD);
}

TEST(RunningChild, AWholeGroupIsKilledAtOnce) {
  Sandbox dir;
  std::string pids = dir / "pids";
  const std::string script =
      "trap '' TERM; /bin/sleep 30 & echo $! > " + Quote(pids) + "; wait";
  pid_t pid = ForkScript(ChildStop::WholeGroup, script);
  ASSERT_GT(pid, 0);
  double end = Now() + 30;
  while (ReadFile(pids).find('\n') == std::string::npos && Now() < end) usleep(10000);
  pid_t sleeper = atoi(ReadFile(pids).c_str());
  ASSERT_GT(sleeper, 0);
  double start = Now();
  StopRunningChild();
  EXPECT_LT(Now() - start, 5.0);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  // The group's other member goes too (it is not our child: look, do not wait).
  end = Now() + 10;
  while (kill(sleeper, 0) == 0 && Now() < end) {
    std::string stat = ReadFile("/proc/" + std::to_string(sleeper) + "/stat");
    if (stat.find(") Z ") != std::string::npos) break;
    usleep(10000);
  }
  std::string stat = ReadFile("/proc/" + std::to_string(sleeper) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

TEST(RunningChild, StoppingWithoutAChildDoesNothing) {
  errno = EINTR;
  StopRunningChild();
  EXPECT_EQ(errno, EINTR);
}

}  // namespace
