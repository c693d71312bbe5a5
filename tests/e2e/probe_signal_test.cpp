// A signal that ends the launcher while it probes a runtime's version ends the probe too: a
// `java -version` that hangs, or that runs from a runtime unpacked into the working directory
// being deleted, must not outlive the launcher.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

class ProbeSignal : public LauncherTest, public ::testing::WithParamInterface<int> {};

TEST_P(ProbeSignal, EndsTheProbeWithTheLauncher) {
  std::string setup = Launcher();
  std::string pidFile = box.Path("probe.pid");
  // The probe records its pid and then hangs (the same process, through exec).
  std::string jre = MakeRuntime(box.Path("jre"), "#!/bin/sh\necho $$ > '" + pidFile + ".new' && /bin/mv '" +
                                                     pidFile + ".new' '" + pidFile + "'\nexec /bin/sleep 120\n");
  RunOptions opts = LauncherOptions({"-javahome", jre, "-tmpdir", tmp});
  opts.env["PATH"] = box.MkDir("no-runtimes");
  auto p = Start(setup, opts);
  ASSERT_TRUE(WaitUntil([&] { return Exists(pidFile); })) << p->OutSoFar();
  pid_t probe = static_cast<pid_t>(atol(ReadFile(pidFile).c_str()));
  ASSERT_GT(probe, 0);
  ASSERT_TRUE(Running(probe));

  p->Signal(GetParam());
  Result r = p->Wait();
  if (GetParam() == SIGQUIT) {
    EXPECT_EQ(r.termSignal, SIGABRT);
  } else {
    EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
  }
  WaitUntil([&] { return !Running(probe); }, 10);
  EXPECT_FALSE(Running(probe)) << "the version probe outlived the launcher";
  if (Running(probe)) kill(probe, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(TermIntQuit, ProbeSignal, ::testing::Values(SIGTERM, SIGINT, SIGQUIT),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return std::string(info.param == SIGTERM  ? "SIGTERM"
                                              : info.param == SIGINT ? "SIGINT"
                                                                     : "SIGQUIT");
                         });

}  // namespace
