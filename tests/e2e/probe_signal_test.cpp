// A signal that ends the launcher while it probes a runtime's version ends the probe too: a
// `java -version` that hangs, or that runs from a runtime unpacked into the working directory
// being deleted, must not outlive the launcher.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Running, as opposed to gone or a zombie waiting for whoever adopted it.
bool Running(pid_t pid) {
  std::string stat = e2e::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' &&
         stat[paren + 2] != 'X';
}

class ProbeSignal : public ::testing::TestWithParam<int> {};

TEST_P(ProbeSignal, EndsTheProbeWithTheLauncher) {
  e2e::Sandbox box;
  std::string setup = box.CopyLauncher("setup", "setup");
  std::string tmp = box.MkDir("tmp");
  std::string pidFile = box.Path("probe.pid");
  std::string jre = e2e::MakeRuntime(box.Path("jre"), {});
  // The probe records its pid and then hangs (the same process, through exec).
  e2e::WriteFile(jre + "/bin/java",
                 "#!/bin/sh\n"
                 "echo $$ > '" + pidFile + ".new' && /bin/mv '" + pidFile + ".new' '" + pidFile + "'\n"
                 "exec /bin/sleep 120\n",
                 0755);
  e2e::RunOptions opts;
  opts.args = {"-javahome", jre, "-tmpdir", tmp};
  opts.env["LC_ALL"] = "C";
  opts.env["PATH"] = box.MkDir("no-runtimes");
  opts.unset = {"JAVA_HOME", "TMPDIR"};
  e2e::Process p(setup, opts, box.MkDir("out"));
  double end = Now() + 60;
  while (!e2e::Exists(pidFile) && Now() < end) usleep(20000);
  ASSERT_TRUE(e2e::Exists(pidFile)) << p.OutSoFar();
  pid_t probe = static_cast<pid_t>(atol(e2e::ReadFile(pidFile).c_str()));
  ASSERT_GT(probe, 0);
  ASSERT_TRUE(Running(probe));

  p.Signal(GetParam());
  e2e::Result r = p.Wait();
  if (GetParam() == SIGQUIT) {
    EXPECT_EQ(r.termSignal, SIGABRT);
  } else {
    EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
  }
  end = Now() + 10;
  while (Running(probe) && Now() < end) usleep(20000);
  EXPECT_FALSE(Running(probe)) << "the version probe outlived the launcher";
  if (Running(probe)) kill(probe, SIGKILL);
  // The lock file a signal leaves by design.
  struct stat st;
  if (stat(setup.c_str(), &st) == 0) {
    unlink(("/tmp/Setup." + std::to_string(static_cast<uint32_t>(st.st_dev)) + "." +
            std::to_string(static_cast<unsigned long long>(st.st_ino)) + "." +
            std::to_string(geteuid()))
               .c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(TermIntQuit, ProbeSignal, ::testing::Values(SIGTERM, SIGINT, SIGQUIT),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return std::string(info.param == SIGTERM  ? "SIGTERM"
                                              : info.param == SIGINT ? "SIGINT"
                                                                     : "SIGQUIT");
                         });

}  // namespace
