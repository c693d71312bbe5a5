// Installers run end to end with stand-in Java runtimes (and once with a real Java virtual
// machine): how the runtime is chosen, the Java child's exact command line, current directory,
// environment, descriptors and signal dispositions, the 10-second wait, exit statuses, the
// upgrade script, and the failures around starting Java. Every run uses -tmpdir inside its
// sandbox and a PATH without the machine's own java; each test case is its own CTest test, so
// the runs that wait for Java overlap.
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

constexpr const char kCheckingDisk[] = "Checking available disk space...";
constexpr const char kCheckingJava[] = "Checking Java(TM) 2 Runtime Environment...";
constexpr const char kUnzippingJava[] = "Extracting Java(TM) 2 Runtime Environment files...";
constexpr const char kUnzipping[] = "Extracting installation files...";
constexpr const char kExecuting[] = "Launching Java(TM) 2 Runtime Environment...";
constexpr const char kCleanup[] = "Deleting temporary files...";
constexpr const char kJavaAborted[] = "Error: The Java(TM) Virtual Machine has aborted.\n";
constexpr const char kNoFiles[] = "Error: There are no files requiring installation.\n";
constexpr const char kNoFindJavaUsage[] =
    "This application needs version 1.4.1 or higher of the Java(TM) 2 Runtime\nEnvironment. If "
    "the required Java(TM) 2 Runtime Environment is not installed,\nyou can download it from the "
    "following website:\n    http://java.com/download/\nOr if you already have the required "
    "Java(TM) 2 Runtime Environment\ninstalled, try rerunning this application with the "
    "following usage:\n    'setup' -javahome <Java(TM) installation directory>\n";

double WallClock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The NUL-separated environment block of a process, as recorded from /proc.
std::map<std::string, std::string> Environ(const std::string &path) {
  std::map<std::string, std::string> env;
  for (const std::string &entry : Lines(ReadFile(path), '\0')) {
    size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  return env;
}

// The status lines of a run, compared in order. The clean-up's own line, when the launcher
// prints one, closes the list.
void ExpectStatusLines(const std::string &out, std::vector<std::string> expected) {
  std::vector<std::string> lines = Lines(out);
  if (!lines.empty() && lines.back() == kCleanup && (expected.empty() || expected.back() != kCleanup))
    lines.pop_back();
  EXPECT_EQ(lines, expected) << "standard output:\n" << out;
}

class RuntimeRun : public LauncherTest {
 protected:
  // A stand-in that records, besides argv, cwd and the exported variables, its exact
  // environment block, its ignored signals, its open descriptors, the listing of its current
  // directory and the time it started.
  StandInJava Java(int exitCode = 0, const std::string &version = "1.4.2") const {
    StandInJava java;
    java.version = version;
    java.exitCode = exitCode;
    java.reportDir = report;
    std::string r = "'" + report + "'";
    java.extraScript = "/bin/date +%s.%N > " + r + "/started\n" +
                       "/bin/cat /proc/$$/environ > " + r + "/environ\n" +
                       "/bin/grep '^SigIgn:' /proc/$$/status > " + r + "/sigign\n" +
                       // Listed from a child shell, so that no redirection of this
                       // shell's own descriptors is in the way.
                       "/bin/sh -c '/bin/ls -l /proc/$PPID/fd > \"$0\"' " + r + "/fds\n" +
                       "/bin/ls -a > " + r + "/listing\n";
    return java;
  }

  // The payload: the main class at the root and the class path jar under package/.
  void Payload(bool withClass = true) const {
    if (withClass) box.Write("payload/corvane.class", "not really a class file");
    box.Write("payload/package/PackageFormat.jar", "not really a jar");
    box.Write("payload/docs/readme.txt", "text");
  }

  // An installer of the payload and whatever else the test put under payload/.
  std::string Installer(bool withClass = true) {
    Payload(withClass);
    box.Zip("payload", "payload.zip");
    return LauncherTest::Installer("payload.zip");
  }

  // -tmpdir in the sandbox, run in the sandbox; otherwise as LauncherOptions.
  RunOptions Options(std::vector<std::string> args, const std::string &searchDirs = "") const {
    args.insert(args.begin(), {"-tmpdir", tmp});
    RunOptions opts = LauncherOptions(std::move(args), "C", searchDirs);
    opts.cwd = box.dir();
    return opts;
  }

  // The same with a PATH of searchDirs alone (or an empty directory): runs that find no runtime
  // list every java they saw, and the machine's own (through /usr/bin/java) is not the test's.
  RunOptions OptionsWithoutSystemPath(std::vector<std::string> args, const std::string &searchDirs = "") const {
    RunOptions opts = Options(std::move(args));
    opts.env["PATH"] = searchDirs.empty() ? box.MkDir("empty-path") : searchDirs;
    return opts;
  }

  // Makes the Java program leave an upgrade script behind, as the installer's Java program
  // would; the script records its arguments and environment in upgradeReport.
  static void LeaveUpgradeScript(StandInJava *java, const std::string &script,
                                 const std::string &upgradeReport) {
    java->extraScript += "printf '%s\\n' '#!/bin/sh' 'printf \"%s\\\\n\" \"$#\" \"$0\" > " +
                         upgradeReport + "' '/bin/cat /proc/$$/environ >> " + upgradeReport +
                         "' 'exit 4' > '" + script + "'\n/bin/chmod 755 '" + script + "'\n";
  }

  std::map<std::string, std::string> WithLibraryPath(const std::string &inherited);
  std::vector<std::string> Argv() const { return Lines(ReadFile(report + "/argv.txt")); }
  std::string Workdir() const {
    std::string cwd = ReadFile(report + "/cwd.txt");
    if (!cwd.empty() && cwd.back() == '\n') cwd.pop_back();
    return cwd;
  }

  // Runs an installer of the payload with args and the stand-in `java` at jre (root) on PATH.
  Result RunWith(const StandInJava &java, std::vector<std::string> args = {}) {
    std::string setup = Installer();
    root = Runtime(java);
    return RunToEnd(setup, Options(std::move(args), root + "/bin"));
  }
  std::string root;

  // The working directory named by tempnam in the temporary directory with the program name.
  void ExpectWorkdirShape(const std::string &w) const {
    EXPECT_EQ(w.rfind(tmp + "/setup", 0), 0u) << w;
    EXPECT_EQ(w.size(), tmp.size() + 1 + 5 + 6) << w;
  }
};

TEST_F(RuntimeRun, PlainRuntimeGetsTheExactCommandLineInTheWorkingDirectory) {
  std::string setup = Installer();
  std::string root = Runtime(Java());
  RunOptions opts = Options({}, root + "/bin");
  // An inherited TMPDIR gives way to the -tmpdir value.
  opts.env["TMPDIR"] = box.MkDir("elsewhere");
  Result r = RunToEnd(setup, opts);

  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // This archive holds no private runtime: nothing is unpacked early and no line claims it.
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava, kUnzipping, kExecuting});
  std::string w = Workdir();
  ExpectWorkdirShape(w);
  std::vector<std::string> expected = {
      root + "/bin/java",
      "-Djava.io.tmpdir=" + w,
      "-Dtemp.dir=" + tmp,
      "-Djava.class.path=" + w + ":" + w + "/package/PackageFormat.jar",
      "-Djava.endorsed.dirs=",
      "-Xmx256m",
      "corvane",
  };
  EXPECT_EQ(Argv(), expected);

  // The archive was extracted before Java started, into the directory it runs in.
  std::vector<std::string> listing = Lines(ReadFile(report + "/listing"));
  EXPECT_EQ(listing, (std::vector<std::string>{".", "..", "corvane.class", "docs", "package"}));

  std::map<std::string, std::string> env = Environ(report + "/environ");
  EXPECT_EQ(env["LD_LIBRARY_PATH"], w + "/package");
  EXPECT_EQ(env["TMPDIR"], tmp);
  EXPECT_EQ(env["PATH"], opts.env["PATH"]) << "the rest of the environment is inherited";
  EXPECT_EQ(env["LC_ALL"], "C");
}

TEST_F(RuntimeRun, JavaInheritsOnlyTheStandardDescriptors) {
  Result r = RunWith(Java());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  // ls -l lines: "... <fd> -> <target>". The shell keeps its script open on one more.
  std::map<std::string, std::string> fds;
  for (const std::string &line : Lines(ReadFile(report + "/fds"))) {
    size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    size_t space = line.rfind(' ', arrow - 1);
    fds[line.substr(space + 1, arrow - space - 1)] = line.substr(arrow + 4);
  }
  ASSERT_EQ(fds.count("0") + fds.count("1") + fds.count("2"), 3u);
  std::vector<std::string> others;
  for (const auto &fd : fds) {
    if (fd.first == "0" || fd.first == "1" || fd.first == "2") continue;
    if (fd.second == root + "/bin/java") continue;
    others.push_back(fd.first + " -> " + fd.second);
  }
  EXPECT_TRUE(others.empty()) << ::testing::PrintToString(others);
}

TEST_F(RuntimeRun, KitAddsToolsAndClassesAndFlagsAddTheirOptionsInOrder) {
  std::string setup = Installer();
  std::string root = MakeRuntime(box.Path("j2sdk"), Java(), true);
  Result r = RunToEnd(setup, Options({"-console", "-debug", "-noportcheck", "-nodomain",
                                      "-passwordvisible", "-id"},
                                     root + "/bin"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::string w = Workdir();
  ExpectWorkdirShape(w);
  std::vector<std::string> expected = {
      root + "/bin/java",
      "-Djava.awt.headless=true",
      "-Djava.io.tmpdir=" + w,
      "-Dtemp.dir=" + tmp,
      "-Djava.class.path=" + box.Path("j2sdk") + "/lib/tools.jar:" + box.Path("j2sdk") +
          "/classes:" + w + ":" + w + "/package/PackageFormat.jar",
      "-Djava.endorsed.dirs=",
      "-Xmx256m",
      "-Ddebug=true",
      "-Dno.port.verification=true",
      "-Dno.domain=true",
      "-Dpassword.visible=true",
      "corvane",
      "-nodisplay",
      "-id",
  };
  EXPECT_EQ(Argv(), expected);
  EXPECT_EQ(root, box.Path("j2sdk/jre"));
}

TEST_F(RuntimeRun, ConsoleSilentAndSaveStateShareOneStateFile) {
  Result r = RunWith(Java(), {"-console", "-silent", "/a", "-savestate", "/b"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<std::string> argv = Argv();
  ASSERT_GE(argv.size(), 3u);
  EXPECT_EQ(argv[1], "-Djava.awt.headless=true");
  EXPECT_EQ(argv[2], "-Djava.awt.headless=true");
  std::vector<std::string> tail(argv.begin() + 8, argv.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"corvane", "-nodisplay", "-nodisplay", "-noconsole",
                                            "-state", "/b", "-saveState", "/b"}))
      << ::testing::PrintToString(argv);
}

TEST_F(RuntimeRun, SilentStateFileIsMadeAbsoluteAndIdFollows) {
  Result r = RunWith(Java(), {"-silent", "answers.txt", "-id"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<std::string> argv = Argv();
  ASSERT_EQ(argv.size(), 13u) << ::testing::PrintToString(argv);
  EXPECT_EQ(argv[1], "-Djava.awt.headless=true");
  EXPECT_EQ(argv[6], "-Xmx256m");
  std::vector<std::string> tail(argv.begin() + 7, argv.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"corvane", "-nodisplay", "-noconsole", "-state",
                                            box.Path("answers.txt"), "-id"}));
}

// The environment of a Java program whose launcher inherited LD_LIBRARY_PATH=inherited.
std::map<std::string, std::string> RuntimeRun::WithLibraryPath(const std::string &inherited) {
  std::string setup = Installer();
  RunOptions opts = Options({}, Runtime(Java()) + "/bin");
  opts.env["LD_LIBRARY_PATH"] = inherited;
  Result r = RunToEnd(setup, opts);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return Environ(report + "/environ");
}

TEST_F(RuntimeRun, InheritedLibraryPathFollowsTheBundledOne) {
  std::string seen = WithLibraryPath("/x:/y")["LD_LIBRARY_PATH"];
  EXPECT_EQ(seen, Workdir() + "/package:/x:/y");
}

TEST_F(RuntimeRun, AnEmptyInheritedLibraryPathLeavesOneTrailingColon) {
  std::map<std::string, std::string> env = WithLibraryPath("");
  ASSERT_EQ(env.count("LD_LIBRARY_PATH"), 1u);
  EXPECT_EQ(env["LD_LIBRARY_PATH"], Workdir() + "/package:");
}

TEST_F(RuntimeRun, WithoutArchiveJavaRunsFromTheExecutablesDirectory) {
  std::string setup = box.CopyLauncher("setup", "app/setup");
  box.Write("app/corvane.class", "");
  std::string root = Runtime(Java());
  Result r = RunToEnd(setup, Options({}, root + "/bin"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava, kExecuting});
  EXPECT_EQ(Workdir(), box.Path("app"));
  // The executable was started by its absolute path, which the launcher keeps with one more
  // "/" in front; the application home and everything built on it carry that form.
  std::string home = "/" + box.Path("app");
  std::vector<std::string> argv = Argv();
  ASSERT_EQ(argv.size(), 7u) << ::testing::PrintToString(argv);
  EXPECT_EQ(argv[1].rfind("-Djava.io.tmpdir=" + tmp + "/setup", 0), 0u) << argv[1];
  EXPECT_EQ(argv[3], "-Djava.class.path=" + home + ":" + home + "/package/PackageFormat.jar");
  EXPECT_EQ(Environ(report + "/environ")["LD_LIBRARY_PATH"], home + "/package");
}

// Exit codes pass through; 10 also runs the upgrade script left in the temporary directory,
// which gets no arguments and no environment and is removed afterwards.
class ExitStatus : public RuntimeRun, public ::testing::WithParamInterface<int> {};

TEST_P(ExitStatus, IsPassedThroughAndOnlyTenRunsTheUpgradeScript) {
  int code = GetParam();
  StandInJava java = Java(code);
  std::string script = tmp + "/UpgradeInvoker.sh";
  std::string upgradeReport = report + "/upgrade";
  LeaveUpgradeScript(&java, script, upgradeReport);
  Result r = RunWith(java);
  EXPECT_EQ(r.exitStatus, code) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(JavaStarted());
  if (code == 10) {
    // Run from the descriptor it was checked through, the script reads itself as /dev/fd/<n>.
    EXPECT_TRUE(std::regex_match(ReadFile(upgradeReport),
                                 std::regex(std::string("0\n") + kScriptFromDescriptor + "\n")))
        << ReadFile(upgradeReport) << ": no arguments, no environment";
    EXPECT_FALSE(Exists(script)) << "the script is removed after it ran";
  } else {
    EXPECT_FALSE(Exists(upgradeReport));
    EXPECT_TRUE(Exists(script));
  }
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitStatus, ::testing::Values(0, 3, 10, 255));

TEST_F(RuntimeRun, AnUpgradeScriptUnderALongTemporaryPathIsRunWhole) {
  tmp = box.MkDir(std::string(100, 't') + "/" + std::string(100, 'u'));
  StandInJava java = Java(10);
  std::string script = tmp + "/UpgradeInvoker.sh";
  ASSERT_GT(script.size(), 200u);
  LeaveUpgradeScript(&java, script, report + "/upgrade");
  Result r = RunWith(java);
  EXPECT_EQ(r.exitStatus, 10) << r.err;
  EXPECT_TRUE(std::regex_match(ReadFile(report + "/upgrade"),
                               std::regex(std::string("0\n") + kScriptFromDescriptor + "\n")))
      << ReadFile(report + "/upgrade");
  EXPECT_FALSE(Exists(script));
}

TEST_F(RuntimeRun, JavaKilledByASignalGivesOne) {
  StandInJava java = Java();
  java.extraScript += "kill -KILL $$\n";
  Result r = RunWith(java);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(JavaStarted());
}

TEST_F(RuntimeRun, TheLauncherWaitsTenSecondsAfterJavaStartsEvenWhenItEndsAtOnce) {
  Result r = RunWith(Java(7));
  double ended = WallClock();
  EXPECT_EQ(r.exitStatus, 7) << r.err;
  double started = atof(ReadFile(report + "/started").c_str());
  ASSERT_GT(started, 0);
  // The stand-in notes the time a moment after the fork (its shell has to start first), so
  // under load the interval it sees is a little shorter than the launcher's sleep.
  EXPECT_GE(ended - started, 9.5);
  EXPECT_LT(ended - started, 15.0);
}

TEST_F(RuntimeRun, AJavaRunningLongerThanTheWaitIsWaitedFor) {
  StandInJava java = Java(4);
  java.sleepSeconds = 13;
  Result r = RunWith(java);
  double ended = WallClock();
  EXPECT_EQ(r.exitStatus, 4) << r.err;
  double started = atof(ReadFile(report + "/started").c_str());
  EXPECT_GE(ended - started, 13.0);
  EXPECT_LT(ended - started, 18.0);
}

// The ignored dispositions that the start-up installs reach the Java program across the exec.
// The stand-in reads its own and its parent's (the launcher's) ignored-signal masks.
TEST_F(RuntimeRun, SighupPwrAndWinchAreIgnoredInTheJavaChild) {
  StandInJava java = Java();
  java.extraScript += "/bin/grep '^SigIgn:' /proc/$PPID/status > '" + report + "/parent-sigign'\n";
  Result r = RunWith(java);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  auto mask = [](const std::string &line) {
    EXPECT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    return line.size() > 7 ? strtoull(line.c_str() + 7, nullptr, 16) : 0ULL;
  };
  auto bit = [](int sig) { return 1ULL << (sig - 1); };
  unsigned long long child = mask(ReadFile(report + "/sigign"));
  unsigned long long launcher = mask(ReadFile(report + "/parent-sigign"));
  // Caught signals return to their default action at the exec.
  for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGALRM}) EXPECT_FALSE(child & bit(sig)) << sig;
  if ((launcher & bit(SIGHUP)) == 0)
    GTEST_SKIP() << "this launcher does not ignore SIGHUP itself (no signal dispositions yet)";
  for (int sig : {SIGHUP, SIGPWR, SIGWINCH}) {
    EXPECT_TRUE(launcher & bit(sig)) << "launcher, signal " << sig;
    EXPECT_TRUE(child & bit(sig)) << "Java program, signal " << sig;
  }
}

TEST_F(RuntimeRun, AMissingMainClassStartsNoJava) {
  std::string setup = Installer(false);
  std::string root = Runtime(Java());
  Result r = RunToEnd(setup, Options({}, root + "/bin"));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, kNoFiles);
  EXPECT_FALSE(JavaStarted());
  EXPECT_LT(r.seconds, 10.0) << "nothing was started, so nothing is waited for";
}

TEST_F(RuntimeRun, AJavaThatIsNoLongerExecutableIsReportedAsAborted) {
  // The probe accepts the runtime; the probe itself then takes away the execute permission.
  StandInJava java = Java();
  java.probeScript = "/bin/chmod 644 \"$0\"";
  Result r = RunWith(java);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, kJavaAborted);
  EXPECT_FALSE(JavaStarted());
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava, kUnzipping, kExecuting});
}

// The private runtime is not probed, so one whose exec fails gets as far as the launch: the
// child reports once and leaves at once; the parent still waits and gives 1.
TEST_F(RuntimeRun, APrivateJavaThatCannotBeExecutedIsReportedOnce) {
  MakeRuntime(box.Path("payload/package/jre"), "#!/nonexistent/sh\n");
  std::string setup = Installer();
  Result r = RunToEnd(setup, Options({}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, kJavaAborted);
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava, kUnzippingJava, kUnzipping, kExecuting});
  EXPECT_GE(r.seconds, 10.0);
}

TEST_F(RuntimeRun, APrivateRuntimeIsUnpackedFirstAndUsed) {
  MakeRuntime(box.Path("payload/package/jre"), Java(5));
  std::string setup = Installer();
  // A probed plain runtime of a greater version on PATH loses to the private one.
  std::string other = MakeRuntime(box.Path("other"), Java(0, "1.9.0"));
  Result r = RunToEnd(setup, Options({}, other + "/bin"));
  EXPECT_EQ(r.exitStatus, 5) << r.err;
  EXPECT_EQ(r.err, "");
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava, kUnzippingJava, kUnzipping, kExecuting});
  std::string w = Workdir();
  ExpectWorkdirShape(w);
  std::vector<std::string> argv = Argv();
  ASSERT_FALSE(argv.empty());
  EXPECT_EQ(argv[0], w + "/package/jre/bin/java");
  EXPECT_EQ(argv[3], "-Djava.class.path=" + w + ":" + w + "/package/PackageFormat.jar");
}

TEST_F(RuntimeRun, JavahomeIsUsedWhenItsVersionIsSupported) {
  std::string setup = Installer();
  std::string chosen = MakeRuntime(box.Path("j2sdk1.4.1"), Java(0, "1.4.1"), true);
  std::string other = MakeRuntime(box.Path("other"), Java(0, "1.9.0"), true);
  Result r = RunToEnd(setup, Options({"-javahome", "j2sdk1.4.1"}, other + "/bin"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<std::string> argv = Argv();
  ASSERT_GE(argv.size(), 4u);
  EXPECT_EQ(argv[0], chosen + "/bin/java");
  // The kit's own files, beside its jre directory.
  std::string kit = box.Path("j2sdk1.4.1");
  EXPECT_EQ(chosen, kit + "/jre");
  EXPECT_EQ(argv[3].rfind("-Djava.class.path=" + kit + "/lib/tools.jar:" + kit + "/classes:", 0),
            0u)
      << argv[3];
}

TEST_F(RuntimeRun, AnUnsupportedJavahomeFallsBackToTheSearchSilently) {
  std::string setup = Installer();
  MakeRuntime(box.Path("old"), Java(0, "1.3.1"));
  std::string found = MakeRuntime(box.Path("found"), Java(0, "1.4.2"));
  Result r = RunToEnd(setup, Options({"-javahome", box.Path("old")}, found + "/bin"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> argv = Argv();
  ASSERT_FALSE(argv.empty());
  EXPECT_EQ(argv[0], found + "/bin/java");
}

// The specified messages, then one line for every runtime that was found and refused, in the
// order probed, each named once: what it reported, or that it reported nothing.
TEST_F(RuntimeRun, NoRuntimeAnywhereGivesTheDownloadHintAndWhatWasFound) {
  std::string setup = Installer();
  // Refused by the version table: a runtime of the 11 series, and one that is too old.
  std::string eleven = MakeRuntime(box.Path("eleven"), Java(0, "11.0.2"));
  std::string old = MakeRuntime(box.Path("old"), Java(0, "1.4.0_02"));
  // One that prints nothing at all, and one whose version line carries a control character.
  std::string mute = MakeRuntime(box.Path("mute"), "#!/bin/sh\nexit 0\n");
  std::string odd = MakeRuntime(box.Path("odd"), OutputScript("java version \"17\033[2J\"\n", ""));
  std::string path = eleven + "/bin:" + old + "/bin:" + mute + "/bin:" + eleven + "/bin:" + odd +
                     "/bin";
  Result r = RunToEnd(setup, OptionsWithoutSystemPath({}, path));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, std::string(kNoFindJava) + kNoFindJavaUsage +
                       "The Java(TM) runtime in '" + eleven +
                       "' reports version '11.0.2', which is not supported.\n"
                       "The Java(TM) runtime in '" + old +
                       "' reports version '1.4.0_02', which is not supported.\n"
                       "The Java(TM) runtime in '" + mute + "' reports no version.\n"
                       "The Java(TM) runtime in '" + odd +
                       "' reports version '17?[2J', which is not supported.\n");
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava});

  // The -javahome runtime was found and refused as well.
  r = RunToEnd(setup, OptionsWithoutSystemPath({"-javahome", box.Path("old")}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err,
            "Error: Could not find the required version of the Java(TM) 2 Runtime Environment "
            "in '" + box.Path("old") + "'.\n" + kNoFindJavaUsage + "The Java(TM) runtime in '" +
                old + "' reports version '1.4.0_02', which is not supported.\n");
  EXPECT_FALSE(JavaStarted());

  // Nothing is said about refused runtimes when one is selected.
  std::string good = MakeRuntime(box.Path("good"), Java());
  r = RunToEnd(setup, Options({}, eleven + "/bin:" + good + "/bin"));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

// A directory with a java but not this launcher's layout is listed with its reason when no
// runtime is usable, whether named with -javahome or found on PATH through a link (as the
// alternatives system installs java): a runtime of version 9 or later, which keeps
// lib/libjava.so, and one laid out for the other processor.
TEST_F(RuntimeRun, AJavaOfAnotherLayoutIsListedWithItsReason) {
  std::string setup = Installer();
  std::string jdk17 = box.Path("jdk-17"), other = box.Path("jre-other");
  box.Write("jdk-17/lib/libjava.so", "");
  WriteFile(jdk17 + "/bin/java", "#!/bin/sh\necho 'openjdk version \"17.0.2\" 2022-01-18' >&2\n", 0755);
  MakeRuntime(other, Java(0, "1.8.0_402"));
  Sh("mv " + other + "/lib/" + ArchDir() + " " + other + "/lib/" +
     (std::string(ArchDir()) == "i386" ? "amd64" : "i386"));
  box.MkDir("usr/bin");
  ASSERT_EQ(symlink((other + "/bin/java").c_str(), box.Path("usr/bin/java").c_str()), 0);
  Result r = RunToEnd(setup, OptionsWithoutSystemPath({"-javahome", jdk17}, box.Path("usr/bin")));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Error: Could not find the required version of the Java(TM) 2 Runtime Environment in '" +
                       jdk17 + "'.\n" + kNoFindJavaUsage + "The Java(TM) runtime in '" + jdk17 +
                       "' reports version '17.0.2'; runtimes of version 9 and later are not supported.\n" +
                       "The Java(TM) runtime in '" + other + "' reports version '1.8.0_402' but has no lib/" +
                       ArchDir() + "/libjava.so: it is not built for this processor.\n");
  EXPECT_FALSE(JavaStarted());
}

// A runtime whose "-version" never ends is killed with everything it started after the time
// limit and counts as giving no version; the search goes on with the next candidate. Two
// launchers run side by side, so that the limit is waited for once: one finds a good runtime
// after the hanging one, the other none, and says which runtime did not answer in time.
TEST_F(RuntimeRun, AHangingVersionProbeIsCutOffAfterThirtySeconds) {
  Payload();
  box.Zip("payload", "payload.zip");
  auto hanging = [&](const std::string &name) {
    return MakeRuntime(box.Path(name), "#!/bin/sh\n/bin/sleep 1000 &\necho $$ $! > '" +
                                           box.Path(name + ".pids") +
                                           "'\necho 'java version \"1.4' >&2\nwait\n");
  };
  std::string hang1 = hanging("hang1"), hang2 = hanging("hang2");
  std::string good = MakeRuntime(box.Path("good"), Java(0, "1.4.2"));
  std::string eleven = MakeRuntime(box.Path("eleven"), Java(0, "11.0.2"));

  std::string found = box.MakeInstaller("payload.zip", "found/setup");
  std::string none = box.MakeInstaller("payload.zip", "none/setup");
  RunOptions foundOpts = Options({}, hang1 + "/bin:" + good + "/bin");
  RunOptions noneOpts = OptionsWithoutSystemPath({}, hang2 + "/bin:" + eleven + "/bin");
  noneOpts.args = {"-tmpdir", box.MkDir("tmp-none")};
  Process foundRun(found, foundOpts, box.MkDir("out-found"));
  Process noneRun(none, noneOpts, box.MkDir("out-none"));
  Result f = foundRun.Wait(), n = noneRun.Wait();

  EXPECT_EQ(f.exitStatus, 0) << f.err;
  EXPECT_EQ(f.err, "");
  ASSERT_TRUE(JavaStarted());
  EXPECT_EQ(Argv()[0], good + "/bin/java");
  // The limit, plus the 10 seconds the launcher waits after starting Java.
  EXPECT_GE(f.seconds, 40.0);
  EXPECT_LT(f.seconds, 80.0);

  EXPECT_EQ(n.exitStatus, 1);
  EXPECT_EQ(n.err, std::string(kNoFindJava) + kNoFindJavaUsage + "The Java(TM) runtime in '" +
                       hang2 + "' did not report its version within 30 seconds.\n" +
                       "The Java(TM) runtime in '" + eleven +
                       "' reports version '11.0.2', which is not supported.\n");
  EXPECT_GE(n.seconds, 30.0);
  EXPECT_LT(n.seconds, 70.0);

  // The hanging probes and what they started are gone.
  for (const char *name : {"hang1", "hang2"}) {
    std::vector<std::string> pids = Lines(ReadFile(box.Path(std::string(name) + ".pids")));
    ASSERT_EQ(pids.size(), 1u) << name;
    std::string sh = pids[0].substr(0, pids[0].find(' '));
    std::string sleeper = pids[0].substr(pids[0].find(' ') + 1);
    EXPECT_FALSE(Running(sh)) << name << " " << sh;
    EXPECT_FALSE(Running(sleeper)) << name << " " << sleeper;
  }
}

// A runtime that answers and ends at once, but leaves something running that holds its
// standard error, does not hold the launcher: the probe waits for the runtime, not for the
// end of its output.
TEST_F(RuntimeRun, AProbeEndsWithTheRuntimeNotWithItsOutput) {
  std::string pid = box.Path("holder.pid");
  StandInJava java = Java();
  java.probeScript = "/bin/sleep 1000 &\necho $! > '" + pid + "'";
  Result r = RunWith(java);
  std::string holder = Lines(ReadFile(pid)).at(0);
  EXPECT_TRUE(Running(holder)) << "the test did not hold the probe's output";
  kill(atoi(holder.c_str()), SIGKILL);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(JavaStarted());
  EXPECT_LT(r.seconds, 25.0);
}

// A private runtime unpacked onto a file system mounted noexec cannot run; the launcher then
// also suggests -tmpdir. The mount lives in a private mount namespace of the run.
TEST_F(RuntimeRun, ANoexecTemporaryDirectoryDisablingThePrivateRuntimeSuggestsTmpdir) {
  if (!CanMount("noexec")) GTEST_SKIP() << "cannot mount a noexec file system here";
  std::string mnt = box.MkDir("noexec");
  auto runIn = [&](const std::string &setup) {
    return RunToEnd(kUnshare, InNamespace(OptionsWithoutSystemPath({}),
                                          "/bin/mount -t tmpfs -o noexec,mode=0755 tmpfs \"$1\" "
                                          "&& exec \"$2\" -tmpdir \"$1\"",
                                          {mnt, setup}));
  };

  MakeRuntime(box.Path("payload/package/jre"), Java());
  std::string setup = Installer();
  Result r = runIn(setup);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, std::string(kNoFindJava) + kNoFindJavaUsage + kTmpdirUsage);
  ExpectStatusLines(r.out, {kCheckingDisk, kCheckingJava, kUnzippingJava});

  // Without a private runtime in the archive nothing changes.
  RemoveTree(box.Path("payload/package/jre"));
  std::string plain = Installer();
  r = runIn(plain);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, std::string(kNoFindJava) + kNoFindJavaUsage);
}

// The real thing: a small corvane class compiled here, run by the machine's JDK through a
// runtime root whose java answers "-version" as a supported runtime and otherwise execs it.
TEST_F(RuntimeRun, ARealJavaVirtualMachineRunsTheInstallerClass) {
  std::string javac, java;
  if (Shell("command -v javac", &javac) != 0 ||
      Shell("readlink -f \"$(command -v java)\"", &java) != 0)
    GTEST_SKIP() << "no Java development kit (javac and java) on this machine";
  java = Lines(java).at(0);

  box.Write("src/corvane.java",
            "public class corvane {\n"
            "  public static void main(String[] args) {\n"
            "    for (String a : args) System.out.println(\"arg=\" + a);\n"
            "    for (String p : new String[] {\"java.class.path\", \"java.io.tmpdir\",\n"
            "        \"temp.dir\", \"java.awt.headless\", \"java.endorsed.dirs\", \"user.dir\"})\n"
            "      System.out.println(p + \"=\" + System.getProperty(p));\n"
            "    System.out.println(\"maxMemory=\" + Runtime.getRuntime().maxMemory());\n"
            "    System.exit(6);\n"
            "  }\n"
            "}\n");
  box.MkDir("payload/package");
  std::string out;
  ASSERT_EQ(Shell("javac -d '" + box.Path("payload") + "' '" + box.Path("src/corvane.java") +
                           "'",
                       &out),
            0)
      << out;
  box.Zip("payload", "payload.zip");
  std::string setup = LauncherTest::Installer("payload.zip");

  std::string root = box.Path("wrapped");
  box.Write(std::string("wrapped/lib/") + ArchDir() + "/libjava.so", "");
  box.Write("wrapped/bin/java",
            "#!/bin/sh\n"
            "if [ \"$1\" = \"-version\" ]; then echo 'java version \"1.8.0_392\"' >&2; exit 0; fi\n"
            "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > '" + report + "/argv.txt'\n"
            "exec '" + java + "' \"$@\"\n",
            0755);

  Result r = RunToEnd(setup, Options({"-console"}, root + "/bin"));
  EXPECT_EQ(r.exitStatus, 6) << r.err;
  std::vector<std::string> argv = Argv();
  ASSERT_EQ(argv.size(), 9u) << ::testing::PrintToString(argv);
  std::string w = argv[2].substr(std::string("-Djava.io.tmpdir=").size());
  ExpectWorkdirShape(w);
  std::string classPath = w + ":" + w + "/package/PackageFormat.jar";
  EXPECT_EQ(argv, (std::vector<std::string>{root + "/bin/java", "-Djava.awt.headless=true",
                                            "-Djava.io.tmpdir=" + w, "-Dtemp.dir=" + tmp,
                                            "-Djava.class.path=" + classPath,
                                            "-Djava.endorsed.dirs=", "-Xmx256m", "corvane",
                                            "-nodisplay"}));
  std::string expected = "arg=-nodisplay\njava.class.path=" + classPath + "\njava.io.tmpdir=" +
                         w + "\ntemp.dir=" + tmp + "\njava.awt.headless=true\n" +
                         "java.endorsed.dirs=\nuser.dir=" + w + "\n";
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  size_t mem = r.out.find("maxMemory=");
  ASSERT_NE(mem, std::string::npos);
  EXPECT_LE(strtoull(r.out.c_str() + mem + 10, nullptr, 10), 256ULL * 1024 * 1024);
  EXPECT_LT(r.out.find(kExecuting), r.out.find("arg=-nodisplay"));
}

}  // namespace
