// The version probe against stand-in runtimes: the prefix table, what is taken from the first
// line of "-version" output, how the child's end counts, and the child's surroundings (empty
// environment, standard input and output closed, no launcher descriptors).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/discovery.h"
#include "runtime/probe.h"
#include "runtime/testing.h"
#include "support.h"

using namespace support;

namespace {

// The probe's result as a std::string; "<none>" for null.
std::string Probe(const std::string &root) { return Take(CheckJREVersion(root.c_str()), "<none>"); }

TEST(CheckVersion, AcceptsPrefixesFrom141ToThe19Series) {
  for (const char *v : {"1.4.1", "1.4.1_07", "1.4.10", "1.4.2_04", "1.4.9", "1.5", "1.50",
                        "1.5.0", "1.6.0_45", "1.7.0", "1.8.0_292", "1.9", "1.9.0-ea"}) {
    EXPECT_TRUE(CheckVersion(v)) << v;
  }
}

TEST(CheckVersion, RefusesOlderAndTwoDigitVersions) {
  for (const char *v : {"1.4.0_02", "1.4.0", "1.4", "1.3.1", "1.2.2", "11.0.2", "10", "9",
                        "17.0.15", "2.0", "", "1.", "java version"}) {
    EXPECT_FALSE(CheckVersion(v)) << v;
  }
}

TEST(CheckJREVersion, TakesTheTextBetweenTheLastTwoQuotesOfTheFirstLine) {
  struct Case {
    const char *output;
    const char *expected;
  } cases[] = {
      {"java version \"1.4.1\"\n", "1.4.1"},
      {"java version \"1.4.1_07\"\nJava(TM) 2 Runtime Environment\n", "1.4.1_07"},
      {"java version \"1.4.10\"\n", "1.4.10"},
      {"java version \"1.50\"\n", "1.50"},
      {"java version \"1.4.0_02\"\n", "<none>"},
      {"java version \"1.3.1\"\n", "<none>"},
      {"java version \"11.0.2\"\n", "<none>"},
      {"java version \"10\"\n", "<none>"},
      // A date after the quoted version: still the text between the last two quotes.
      {"openjdk version \"11.0.2\" 2019-01-15\n", "<none>"},
      {"openjdk version \"1.8.0_292\" 2021-04-20\nOpenJDK Runtime Environment\n", "1.8.0_292"},
      // No quote: the whole line, accepted only when the line itself begins with a prefix.
      {"java version 1.4.2\n", "<none>"},
      {"1.4.2 without quotes\n", "1.4.2 without quotes"},
      // One quote: the text before it.
      {"1.5.0\" trailing\n", "1.5.0"},
      {"java version \"1.5.0\n", "<none>"},
      // Only the first line counts, and a first line without a newline is still a line.
      {"Picked up _JAVA_OPTIONS\njava version \"1.4.2\"\n", "<none>"},
      {"java version \"1.6.0\"", "1.6.0"},
      {"", "<none>"},
  };
  Sandbox dir;
  int n = 0;
  for (const Case &c : cases) {
    std::string root = MakeRuntime(dir / std::to_string(n++), OutputScript(c.output));
    EXPECT_EQ(Probe(root), c.expected) << "output: " << c.output;
  }
}

TEST(CheckJREVersion, AcceptsAGoodVersionWhateverTheExitCode) {
  Sandbox dir;
  EXPECT_EQ(Probe(MakeRuntime(dir / "a", VersionScript("1.4.2", 1))), "1.4.2");
  EXPECT_EQ(Probe(MakeRuntime(dir / "b", VersionScript("1.5.0", 255))), "1.5.0");
}

TEST(CheckJREVersion, RefusesAJavaKilledByASignal) {
  Sandbox dir;
  std::string root = MakeRuntime(
      dir / "r", OutputScript("java version \"1.4.2\"\n", "kill -KILL $$\nexit 0"));
  EXPECT_EQ(Probe(root), "<none>");
  root = MakeRuntime(dir / "s", OutputScript("java version \"1.4.2\"\n", "kill -TERM $$\nexit 0"));
  EXPECT_EQ(Probe(root), "<none>");
}

TEST(CheckJREVersion, GivesNoVersionForAMissingRootOrAnUnstartableJava) {
  Sandbox dir;
  EXPECT_EQ(Probe(dir / "nothing-here"), "<none>");
  // The root exists but bin/java does not: the child's exec fails and it leaves at once.
  MkDirs(dir / "empty");
  EXPECT_EQ(Probe(dir / "empty"), "<none>");
  // An interpreter that does not exist.
  std::string root = MakeRuntime(dir / "bad", "#!/nonexistent/sh\n");
  EXPECT_EQ(Probe(root), "<none>");
}

TEST(CheckJREVersion, AChildThatWritesNothingGivesNoVersionWithoutHanging) {
  Sandbox dir;
  std::string root = MakeRuntime(dir / "r", "#!/bin/sh\nexit 0\n");
  double start = Now();
  EXPECT_EQ(Probe(root), "<none>");
  EXPECT_LT(Now() - start, 10.0);
}

TEST(CheckJREVersion, OutputLargerThanAPipeNeitherBlocksNorHidesTheFirstLine) {
  Sandbox dir;
  // About 400 KB on standard error after the version line; a pipe holds 64 KB.
  std::string tail =
      "i=0\nwhile [ $i -lt 4000 ]; do\n"
      "  printf '%s\\n' "
      "'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
      "xxxxxxxx' >&2\n"
      "  i=$((i+1))\ndone\nexit 0";
  std::string root = MakeRuntime(dir / "r", OutputScript("java version \"1.4.2_04\"\n", tail));
  EXPECT_EQ(Probe(root), "1.4.2_04");
}

TEST(CheckJREVersion, KeepsOnlyTheFirst512Bytes) {
  Sandbox dir;
  // The closing quote of this first line lies beyond byte 512, so the kept text holds one
  // quote and the version text is what stands before it.
  std::string line = "java version \"1.4.2" + std::string(600, ' ') + "\"\n";
  EXPECT_EQ(Probe(MakeRuntime(dir / "long", OutputScript(line))), "<none>");
  // Without quotes, a line that begins with a prefix is accepted, cut at 512 bytes.
  std::string bare = "1.4.2" + std::string(600, 'y') + "\n";
  EXPECT_EQ(Probe(MakeRuntime(dir / "bare", OutputScript(bare))), bare.substr(0, 512));
}

TEST(CheckJREVersion, RunsJavaWithOnlyTheVersionArgumentAndAnEmptyEnvironment) {
  Sandbox dir;
  EnvVar marker("PROBE_MARKER", "inherited");
  std::string report = dir / "report";
  std::string script =
      "#!/bin/sh\n"
      "printf '%s\\n' \"$#\" \"$1\" > " + Quote(report) + "\n"
      "/bin/cat /proc/$$/environ >> " + Quote(report) + "\n"
      "echo 'java version \"1.4.2\"' >&2\n";
  EXPECT_EQ(Probe(MakeRuntime(dir / "r", script)), "1.4.2");
  EXPECT_EQ(ReadFile(report), "1\n-version\n");
}

TEST(CheckJREVersion, ChildHasStandardInputAndOutputClosedAndNoPipeEnds) {
  Sandbox dir;
  // The pipe takes the two lowest free descriptors.
  int first = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int second = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  close(first);
  close(second);
  // The shell names single-digit descriptors only; 9 is the scratch target of each test. A
  // regular builtin is used, since a failed redirection of a special one ends the shell.
  ASSERT_LT(second, 9);
  std::string checks;
  for (int fd : {0, 1, first, second}) {
    checks += "if { true 9>&" + std::to_string(fd) + "; } 2>/dev/null; then open=\"$open " +
              std::to_string(fd) + "\"; fi\n";
  }
  // A leak shows in the result as an accepted version that names the open descriptors.
  std::string script = "#!/bin/sh\nopen=\n" + checks +
                       "echo \"java version \\\"1.4.2$open\\\"\" >&2\n";
  EXPECT_EQ(Probe(MakeRuntime(dir / "r", script)), "1.4.2");
}

TEST(CheckJREVersion, ProbesAgainOnEveryCall) {
  Sandbox dir;
  std::string count = dir / "count";
  std::string script = "#!/bin/sh\necho run >> " + Quote(count) +
                       "\necho 'java version \"1.4.2\"' >&2\n";
  std::string root = MakeRuntime(dir / "r", script);
  EXPECT_EQ(Probe(root), "1.4.2");
  EXPECT_EQ(Probe(root), "1.4.2");
  EXPECT_EQ(ReadFile(count), "run\nrun\n");
}

// A runtime that answers and ends, but leaves a process behind that holds its standard error:
// the probe ends with the runtime, not with the output.
TEST(CheckJREVersion, EndsWithTheRuntimeNotWithItsOutput) {
  Sandbox dir;
  std::string pid = dir / "holder";
  std::string root = MakeRuntime(
      dir / "r", OutputScript("java version \"1.4.2\"\n",
                              "/bin/sleep 60 &\necho $! > " + Quote(pid) + "\nexit 0"));
  double start = Now();
  EXPECT_EQ(Probe(root), "1.4.2");
  EXPECT_LT(Now() - start, 10.0);
  int holder = atoi(ReadFile(pid).c_str());
  ASSERT_GT(holder, 0);
  EXPECT_EQ(kill(holder, 0), 0) << "the holder was not running";
  kill(holder, SIGKILL);
}

TEST(CheckJREVersion, RunsTheRuntimeInAProcessGroupOfItsOwn) {
  Sandbox dir;
  std::string stat = dir / "stat";
  std::string script = "#!/bin/sh\n/bin/cat /proc/$$/stat > " + Quote(stat) +
                       "\necho 'java version \"1.4.2\"' >&2\n";
  EXPECT_EQ(Probe(MakeRuntime(dir / "r", script)), "1.4.2");
  // "pid (comm) state ppid pgrp ..."
  std::string text = ReadFile(stat);
  size_t paren = text.rfind(')');
  ASSERT_NE(paren, std::string::npos) << text;
  int pid = atoi(text.c_str()), ppid = 0, pgrp = 0;
  char state = 0;
  ASSERT_EQ(sscanf(text.c_str() + paren + 1, " %c %d %d", &state, &ppid, &pgrp), 3) << text;
  EXPECT_EQ(pgrp, pid);
  EXPECT_NE(pgrp, getpgrp());
}

// What the start-up sequence lists when no runtime is usable: every refused root once, in the
// order of refusal, with the text it reported (control characters shown as "?") or none.
TEST(RefusedRuntimes, AreRecordedOnceWithWhatTheyReported) {
  ForgetRefusedRuntimesForTesting();
  Sandbox dir;
  std::string eleven = MakeRuntime(dir / "eleven", VersionScript("11.0.2"));
  std::string mute = MakeRuntime(dir / "mute", "#!/bin/sh\nexit 0\n");
  std::string killed = MakeRuntime(
      dir / "killed", OutputScript("java version \"1.4.2\"\n", "kill -KILL $$\nexit 0"));
  std::string odd = MakeRuntime(dir / "odd", OutputScript("java version \"\x1b[31m9\x7f\"\n"));
  std::string good = MakeRuntime(dir / "good", VersionScript("1.4.2"));
  for (const std::string &root : {eleven, mute, good, killed, eleven, odd, dir / "missing"})
    Probe(root);
  EXPECT_FALSE(CheckJavaVersion(eleven.c_str()));

  struct Seen {
    std::string root;
    RefusalReason reason;
    std::string version;
  };
  std::vector<Seen> seen;
  for (const RefusedRuntime *r = GetRefusedRuntimes(); r != nullptr; r = r->next)
    seen.push_back({r->root, r->reason, r->version != nullptr ? r->version : "<null>"});
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].root, eleven);
  EXPECT_EQ(seen[0].reason, RefusalReason::Unsupported);
  EXPECT_EQ(seen[0].version, "11.0.2");
  EXPECT_EQ(seen[1].root, mute);
  EXPECT_EQ(seen[1].reason, RefusalReason::NoVersion);
  EXPECT_EQ(seen[1].version, "<null>");
  EXPECT_EQ(seen[2].root, killed);
  EXPECT_EQ(seen[2].reason, RefusalReason::NoVersion);
  EXPECT_EQ(seen[3].root, odd);
  EXPECT_EQ(seen[3].reason, RefusalReason::Unsupported);
  EXPECT_EQ(seen[3].version, "?[31m9?");
  ForgetRefusedRuntimesForTesting();
  EXPECT_EQ(GetRefusedRuntimes(), nullptr);
}

// Directories with a java of another layout are probed only when asked, once each, and are
// recorded with the reason that fits what their java reports.
TEST(RefusedRuntimes, JavasOfAnotherLayoutAreProbedWhenAskedWithTheirReason) {
  ForgetRefusedRuntimesForTesting();
  ForgetForeignRuntimesForTesting();
  Sandbox dir;
  std::string expected;
  for (const auto &[name, script, reason] : {
           std::make_tuple("seventeen", VersionScript("17.0.2"), "TooNew 17.0.2"),
           std::make_tuple("nine", VersionScript("9"), "TooNew 9"),
           std::make_tuple("eight", VersionScript("1.8.0_402"), "OtherLayout 1.8.0_402"),
           std::make_tuple("old", VersionScript("1.3.1"), "Unsupported 1.3.1"),
           std::make_tuple("mute", std::string("#!/bin/sh\nexit 0\n"), "NoVersion")}) {
    WriteFile(dir / name + "/lib/libjava.so", "");
    WriteFile(dir / name + "/bin/java", script, 0755);
    NoteForeignRuntime((dir / name).c_str());
    expected += dir / name + " " + reason + "\n";
  }
  EXPECT_EQ(GetRefusedRuntimes(), nullptr) << "probed before it was asked";
  ProbeForeignRuntimes();
  ProbeForeignRuntimes();
  const char *const names[] = {"Unsupported", "NoVersion", "TimedOut", "OtherLayout", "TooNew"};
  std::string seen;
  for (const RefusedRuntime *r = GetRefusedRuntimes(); r != nullptr; r = r->next) {
    seen += std::string(r->root) + " " + names[static_cast<int>(r->reason)] +
            (r->version != nullptr ? std::string(" ") + r->version : "") + "\n";
  }
  EXPECT_EQ(seen, expected);
  ForgetRefusedRuntimesForTesting();
  ForgetForeignRuntimesForTesting();
}

TEST(CheckJavaVersion, IsTheBooleanFormOfTheProbe) {
  Sandbox dir;
  EXPECT_TRUE(CheckJavaVersion(MakeRuntime(dir / "good", VersionScript("1.4.1")).c_str()));
  EXPECT_FALSE(CheckJavaVersion(MakeRuntime(dir / "old", VersionScript("1.4.0")).c_str()));
  EXPECT_FALSE(CheckJavaVersion((dir / "missing").c_str()));
}

}  // namespace
