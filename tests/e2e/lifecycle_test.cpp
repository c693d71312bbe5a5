// A run's traces on the machine: the single-instance lock file in /tmp while it runs and its
// absence afterwards, a second copy refused, the working directory gone after a normal end,
// after every failure and after the signals that end the launcher, and the signals it ignores.
// Every test has its own copies of the launcher (the lock is keyed on the executable file) and
// its own temporary directory (-tmpdir), so that a leftover is easy to see.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"
#include "zip_builder.h"

using namespace support;

namespace {

const char kCleanup[] = "Deleting temporary files...\n";

std::string Joined(const std::vector<std::string> &names) {
  std::string s;
  for (const std::string &n : names) s += n + " ";
  return s;
}

class Lifecycle : public LauncherTest {
 protected:
  // Failed with status 1 and stderrText in its messages, through the clean-up, leaving neither
  // the working directory nor the lock file.
  void ExpectCleanFailure(const Result &r, const std::string &lock, const std::string &what,
                          const std::string &stderrText = "") {
    EXPECT_EQ(r.exitStatus, 1) << what << ": " << r.err;
    EXPECT_NE(r.err.find(stderrText), std::string::npos) << what << ": " << r.err;
    EXPECT_TRUE(EndsWith(r.out, kCleanup)) << what << ": " << r.out;
    EXPECT_EQ(Joined(Entries(tmp)), "") << what << ": working directory left behind";
    EXPECT_FALSE(Exists(lock)) << what;
  }

  RunOptions Options(std::vector<std::string> args, const std::string &locale = "C") {
    return LauncherOptions(std::move(args), locale);
  }

  // Starts exe with the stand-in runtime "jre", whose Java program runs for `seconds`, and
  // waits until it runs; null when it does not.
  std::unique_ptr<Process> StartJava(const std::string &exe, int seconds,
                                     const std::string &tmpdir, const std::string &locale = "C") {
    StandInJava java;
    java.sleepSeconds = seconds;
    auto p = Start(exe, Options({"-javahome", Runtime(java), "-tmpdir", tmpdir}, locale));
    if (WaitUntil([&] { return JavaStarted(); })) return p;
    ADD_FAILURE() << "the Java program did not start: " << p->OutSoFar();
    return nullptr;
  }
};

// ---- The single-instance lock ----

TEST_F(Lifecycle, SecondCopyIsRefusedWhileTheFirstRunsUndisturbed) {
  std::string setup = Launcher();
  std::string lock = LockPath(setup);
  auto first = StartJava(setup, 2, tmp);
  ASSERT_TRUE(first);

  struct stat st;
  ASSERT_EQ(lstat(lock.c_str(), &st), 0) << lock;
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Entries(tmp).size(), 1u) << "the first copy's working directory";

  // Same file, same user, even under another name (a link to the same file is the same copy).
  ASSERT_EQ(link(setup.c_str(), box.Path("linked-setup").c_str()), 0);
  for (const std::string &exe : {setup, box.Path("linked-setup")}) {
    Result second = RunToEnd(exe, Options({"-javahome", box.Path("jre"), "-tmpdir", tmp}));
    EXPECT_EQ(second.exitStatus, 1) << exe;
    EXPECT_EQ(second.err, kAlreadyRunning) << exe;
    EXPECT_EQ(second.out, "") << exe;
    EXPECT_TRUE(Exists(lock)) << "the refused copy removed the first copy's lock file";
  }

  Result r = first->Wait();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(EndsWith(r.out, kCleanup)) << r.out;
  EXPECT_FALSE(Exists(lock)) << "lock file left after a normal end";
  EXPECT_EQ(Joined(Entries(tmp)), "");
}

TEST_F(Lifecycle, ADifferentCopyOfTheLauncherRunsAtTheSameTime) {
  std::string one = Launcher("one/setup");
  std::string two = Launcher("two/setup");
  ASSERT_NE(LockPath(one), LockPath(two));
  std::string tmp2 = box.MkDir("tmp2");
  auto first = StartJava(one, 1, tmp);
  ASSERT_TRUE(first);
  auto second = Start(two, Options({"-javahome", box.Path("jre"), "-tmpdir", tmp2}));
  // Both hold their locks and working directories at once.
  EXPECT_TRUE(WaitUntil([&] { return Entries(tmp2).size() == 1 && Exists(LockPath(two)); }));
  EXPECT_TRUE(Exists(LockPath(one)));
  Result r1 = first->Wait(), r2 = second->Wait();
  EXPECT_EQ(r1.exitStatus, 0) << r1.err;
  EXPECT_EQ(r2.exitStatus, 0) << r2.err;
  EXPECT_FALSE(Exists(LockPath(one)));
  EXPECT_FALSE(Exists(LockPath(two)));
  EXPECT_EQ(Joined(Entries(tmp)) + Joined(Entries(tmp2)), "");
}

// The title in the lock file's name is the localized one, in the locale's own bytes: under
// es_ES.UTF-8 the launcher switches to the ISO-8859-1 locale, so "ó" is the single byte 0xF3.
// An English run of the same file uses another lock file and is not excluded.
TEST_F(Lifecycle, LockFileNameCarriesTheLocalizedTitle) {
  std::string setup = Launcher();
  std::string spanish = LockPath(setup, "Instalaci\xf3n");
  std::string english = LockPath(setup);
  auto es = StartJava(setup, 1, tmp, "es_ES.UTF-8");
  ASSERT_TRUE(es);
  EXPECT_TRUE(Exists(spanish)) << Joined(Entries("/tmp"));
  EXPECT_FALSE(Exists(english));

  std::string tmp2 = box.MkDir("tmp2");
  auto en = Start(setup, Options({"-javahome", box.Path("jre"), "-tmpdir", tmp2}));
  EXPECT_TRUE(WaitUntil([&] { return Exists(english); }));
  Result res = es->Wait(), ren = en->Wait();
  EXPECT_EQ(res.exitStatus, 0) << res.err;
  EXPECT_EQ(ren.exitStatus, 0) << ren.err;
  EXPECT_TRUE(EndsWith(res.out, "Borrando archivos temporales...\n")) << res.out;
  EXPECT_FALSE(Exists(spanish));
  EXPECT_FALSE(Exists(english));
}

TEST_F(Lifecycle, AfterSigkillTheLockFileRemainsAndTheNextCopyRuns) {
  std::string setup = Launcher();
  std::string lock = LockPath(setup);
  auto killed = StartJava(setup, 30, tmp);
  ASSERT_TRUE(killed);
  killed->Signal(SIGKILL);
  Result k = killed->Wait();
  EXPECT_EQ(k.termSignal, SIGKILL);
  EXPECT_TRUE(Exists(lock));
  // The Java program outlives the launcher; it holds no lock of its own.
  kill(-killed->pid(), SIGKILL);

  std::string tmp2 = box.MkDir("tmp2");
  ASSERT_EQ(unlink((report + "/argv.txt").c_str()), 0);
  Result next = RunToEnd(setup, Options({"-javahome", Runtime(), "-tmpdir", tmp2}));
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_TRUE(JavaStarted());
  EXPECT_FALSE(Exists(lock));
  EXPECT_EQ(Joined(Entries(tmp2)), "");
}

// The lock file's name is predictable and /tmp is shared: a link planted there must not make
// the launcher truncate the file it points to. The launcher runs on without a lock.
TEST_F(Lifecycle, APlantedSymbolicLinkAtTheLockPathLeavesItsTargetAlone) {
  std::string setup = Launcher();
  std::string lock = LockPath(setup);
  std::string victim = box.Write("victim", "precious contents\n", 0644);
  ASSERT_EQ(symlink(victim.c_str(), lock.c_str()), 0);
  Result r = RunToEnd(setup, Options({"-tmpdir", tmp}));
  EXPECT_EQ(ReadFile(victim), "precious contents\n");
  EXPECT_EQ(r.exitStatus, 1) << "no runtime in this run";
  EXPECT_NE(r.out.find("Checking Java(TM) 2 Runtime Environment..."), std::string::npos)
      << "the launcher did not go on without its lock: " << r.out << r.err;
  EXPECT_EQ(Joined(Entries(tmp)), "");
}

// ---- Failures once the working directory exists ----

// A ZIP archive whose central directory claims entries far larger than any disk: only the
// directory is read before the space check refuses the run.
std::string HugeClaimsArchive(int entries) {
  std::vector<ziptest::Entry> claims;
  for (int i = 0; i < entries; i++) {
    claims.push_back(ziptest::Stored("big" + std::to_string(i), ""));
    claims.back().csize = claims.back().size = 0x7fffffff;
  }
  return ziptest::Build(claims).bytes;
}

TEST_F(Lifecycle, NotEnoughSpaceLeavesNoWorkingDirectory) {
  box.Write("huge.zip", HugeClaimsArchive(1000));
  std::string setup = Installer("huge.zip");
  Result r = RunToEnd(setup, Options({"-javahome", Runtime(), "-tmpdir", tmp}));
  ExpectCleanFailure(r, LockPath(setup), "no space", "There is not enough free disk space in the '" + tmp + "'");
  EXPECT_FALSE(JavaStarted());
}

TEST_F(Lifecycle, NoRuntimeLeavesNoWorkingDirectory) {
  std::string setup = PayloadInstaller({{"corvane.class", "classes"}});
  RunOptions opts = Options({"-tmpdir", tmp});
  opts.env["PATH"] = box.MkDir("empty-path");  // no runtime anywhere
  ExpectCleanFailure(RunToEnd(setup, opts), LockPath(setup), "no runtime", "1.4.1");
}

// Changes 64 bytes in the middle of the compressed data of the entry called name in the archive
// at zip.
void DamageEntry(const std::string &zip, const std::string &entryName) {
  std::string data = ReadFile(zip);
  // The local header of the damaged entry: its name, then its data.
  size_t name = data.find(entryName);
  ASSERT_NE(name, std::string::npos);
  ASSERT_GE(name, 30u);
  size_t header = name - 30;
  ASSERT_EQ(data.compare(header, 4, "PK\x03\x04"), 0);
  size_t start = name + ziptest::Get16(data, header + 26) + ziptest::Get16(data, header + 28);
  size_t csize = ziptest::Get32(data, header + 18);
  ASSERT_GT(csize, 10000u);
  for (size_t i = start + csize / 2; i < start + csize / 2 + 64; i++) data[i] ^= 0x5a;
  WriteFile(zip, data);
}

TEST_F(Lifecycle, DamagedArchiveLeavesNothingOfTheExtraction) {
  // A good entry is extracted before the damaged one is met.
  box.Write("payload/a-good-one.txt", std::string(5000, 'g'));
  box.Write("payload/z-damaged.bin", Noise(200000, 12345));
  std::string zip = box.Zip("payload", "payload.zip");
  DamageEntry(zip, "z-damaged.bin");
  std::string setup = Installer("payload.zip");
  ExpectCleanFailure(RunToEnd(setup, Options({"-javahome", Runtime(), "-tmpdir", tmp})), LockPath(setup),
                     "damaged archive", setup);
  EXPECT_FALSE(JavaStarted());
}

// The same in an archive large enough to be extracted by several worker processes, the damage in
// the middle of it.
TEST_F(Lifecycle, DamageInTheMiddleOfALargeArchiveLeavesNothingOfTheExtraction) {
  for (int i = 0; i < 30; i++) {
    char name[32];
    snprintf(name, sizeof name, "payload/part%02d.bin", i);
    box.Write(name, Noise(200000, 1000 + i));
  }
  std::string zip = box.Zip("payload", "payload.zip");
  DamageEntry(zip, "part15.bin");
  std::string setup = Installer("payload.zip");
  ExpectCleanFailure(RunToEnd(setup, Options({"-javahome", Runtime(), "-tmpdir", tmp})), LockPath(setup),
                     "damaged archive", "setup' file appears to be corrupted.\n");
  EXPECT_FALSE(JavaStarted());
}

// A launcher without an archive runs the Java program from its own directory. That directory
// is moved away while the runtime is being probed, so the change into it fails.
TEST_F(Lifecycle, FailedChangeIntoTheApplicationHomeLeavesNoWorkingDirectory) {
  std::string setup = Launcher("app/setup");
  std::string lock = LockPath(setup);
  std::string marker = box.Path("probing");
  std::string jre = MakeRuntime(box.Path("jre"), "#!/bin/sh\n: > " + Quote(marker) +
                                                     "\n/bin/sleep 2\necho 'java version \"1.4.2\"' >&2\n");
  auto p = Start(setup, Options({"-javahome", jre, "-tmpdir", tmp}));
  ASSERT_TRUE(WaitUntil([&] { return Exists(marker); })) << p->OutSoFar();
  ASSERT_EQ(rename(box.Path("app").c_str(), box.Path("moved").c_str()), 0);
  ExpectCleanFailure(p->Wait(), lock, "chdir", box.Path("app"));
}

// Through the normal end: no main class to run, a Java program that fails, and one that
// cannot be started at all.
TEST_F(Lifecycle, MissingMainClassFailingOrUnstartableJavaLeaveNoWorkingDirectory) {
  std::string jre = Runtime();
  std::string bare = box.CopyLauncher("setup", "bare/setup");  // no corvane.class beside it
  TrackLocks(bare);
  Result r = RunToEnd(bare, Options({"-javahome", jre, "-tmpdir", tmp}));
  EXPECT_EQ(r.err, "Error: There are no files requiring installation.\n");
  ExpectCleanFailure(r, LockPath(bare), "no main class");

  StandInJava failing;
  failing.exitCode = 1;
  failing.extraScript =
      "echo 'Exception in thread \"main\" java.lang.NoClassDefFoundError: corvane' >&2";
  std::string setup = Launcher("one/setup");
  ExpectCleanFailure(RunToEnd(setup, Options({"-javahome", Runtime(failing, "jre1"), "-tmpdir", tmp})),
                     LockPath(setup), "failing Java", "NoClassDefFoundError");

  // Answers the version probe, then takes away its own execute permission: the launch fails.
  std::string jre2 = MakeRuntime(box.Path("jre2"), OutputScript("java version \"1.4.2\"\n",
                                                                 "/bin/chmod 0644 \"$0\"\nexit 0"));
  std::string other = Launcher("two/setup");
  ExpectCleanFailure(RunToEnd(other, Options({"-javahome", jre2, "-tmpdir", tmp})), LockPath(other),
                     "unstartable Java");
}

// A run without -tmpdir: the working directory in /tmp, named after the program (a name no
// other test uses), is gone afterwards as is the lock file.
TEST_F(Lifecycle, ARunInTheDefaultTemporaryDirectoryLeavesNothingThere) {
  std::string setup = Launcher("lcyq7");
  StandInJava java;
  java.extraScript = "echo \"$@\" | /bin/grep -o 'java.io.tmpdir=[^ ]*' > '" +
                     report + "/tmpdir.txt'";
  std::string jre = Runtime(java);
  Result r = RunToEnd(setup, Options({"-javahome", jre}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(EndsWith(r.out, kCleanup)) << r.out;
  std::string used = FirstLine(report + "/tmpdir.txt");
  const std::string prefix = "java.io.tmpdir=";
  ASSERT_EQ(used.rfind(prefix + "/tmp/lcyq7", 0), 0u) << used;
  // The very directory this run used: other runs of this test (another build tree on the same
  // machine) may have theirs in /tmp at this moment.
  const std::string workdir = used.substr(prefix.size());
  EXPECT_GT(workdir.size(), std::string("/tmp/lcyq7").size()) << used;
  EXPECT_FALSE(Exists(workdir)) << workdir;
  EXPECT_FALSE(Exists(LockPath(setup)));
}

// ---- Signals ----

struct Interrupted {  // a run ended by a signal during extraction
  Result result;
  bool javaStarted;
};

class LifecycleSignals : public Lifecycle, public ::testing::WithParamInterface<int> {
 protected:
  // Starts a launcher whose Java program runs for long, and sends sig once it runs. The Java
  // program must not outlive the launcher, which ends through the clean-up.
  Result SignalDuringJava(int sig, const std::string &setup) {
    StandInJava java;
    java.sleepSeconds = 60;
    java.extraScript = "echo $$ > '" + report + "/java.pid'";
    auto p = Start(setup, Options({"-javahome", Runtime(java), "-tmpdir", tmp}));
    EXPECT_TRUE(WaitUntil([&] { return !FirstLine(report + "/java.pid").empty(); }))
        << p->OutSoFar();
    EXPECT_EQ(Entries(tmp).size(), 1u);
    p->Signal(sig);
    Result r = p->Wait();
    std::string javaPid = FirstLine(report + "/java.pid");
    EXPECT_FALSE(Running(javaPid)) << "the Java program " << javaPid << " outlived the launcher";
    EXPECT_TRUE(EndsWith(r.out, kCleanup)) << strsignal(sig) << ": " << r.out;
    EXPECT_EQ(Joined(Entries(tmp)), "") << strsignal(sig);
    return r;
  }

  // Makes an installer with a large archive and sends sig while it is being extracted.
  Interrupted SignalDuringExtraction(int sig) {
    box.Write("payload/corvane.class", "classes");
    for (int i = 0; i < 16; i++) {
      std::string part = box.Write("payload/package/part" + std::to_string(i) + ".bin", "");
      EXPECT_EQ(truncate(part.c_str(), 25000000), 0);  // zeros, deflated to almost nothing
    }
    box.Zip("payload", "payload.zip", "-1");
    std::string setup = Installer("payload.zip");
    auto p = Start(setup, Options({"-javahome", Runtime(), "-tmpdir", tmp}));
    EXPECT_TRUE(WaitUntil([&] {
      std::vector<std::string> dirs = Entries(tmp);
      if (dirs.size() != 1) return false;
      return !Entries(tmp + "/" + dirs[0] + "/package").empty();
    })) << p->OutSoFar();
    p->Signal(sig);
    Interrupted i;
    i.result = p->Wait();
    i.javaStarted = JavaStarted();
    return i;
  }
};

std::string SignalName(const ::testing::TestParamInfo<int> &info) {
  if (info.param >= SIGRTMIN) return "SIGRTMIN_" + std::to_string(info.param - SIGRTMIN);
  return std::string("SIG") + sigabbrev_np(info.param);
}

// Every signal whose default would end the launcher (and leave the working directory and the
// Java program behind) ends it through the clean-up: by the exit path, with status 255 and no
// exit function run after it (the lock file stays), or, where the default would dump core, by
// the abort path.
class JavaRunSignals : public LifecycleSignals {};

TEST_P(JavaRunSignals, EndTheLauncherThroughTheCleanUp) {
  const int sig = GetParam();
  const bool dumpsCore = sig == SIGQUIT || sig == SIGSEGV || sig == SIGTRAP || sig == SIGXCPU ||
                         sig == SIGSYS;
  std::string setup = Launcher();
  Result r = SignalDuringJava(sig, setup);
  if (dumpsCore) {
    EXPECT_EQ(r.termSignal, SIGABRT) << strsignal(sig) << " exit " << r.exitStatus;
  } else {
    EXPECT_EQ(r.exitStatus, 255) << strsignal(sig) << " " << r.termSignal;
    EXPECT_TRUE(Exists(LockPath(setup))) << "exit functions ran after the signal";
  }
}

INSTANTIATE_TEST_SUITE_P(DuringTheJavaRun, JavaRunSignals,
                         ::testing::Values(SIGINT, SIGTERM, SIGQUIT, SIGSEGV, SIGUSR1,
                                           SIGRTMIN + 2, SIGTRAP, SIGSYS),
                         SignalName);

class ExitSignals : public LifecycleSignals {};

TEST_P(ExitSignals, DuringExtractionRemoveEverythingExtractedAndExitWith255) {
  int sig = GetParam();
  Interrupted i = SignalDuringExtraction(sig);
  ASSERT_FALSE(i.javaStarted) << "the extraction ended before the signal: a larger archive is needed";
  EXPECT_EQ(i.result.exitStatus, 255) << strsignal(sig) << " " << i.result.termSignal;
  EXPECT_TRUE(EndsWith(i.result.out, kCleanup)) << i.result.out;
  EXPECT_EQ(Joined(Entries(tmp)), "");
  EXPECT_TRUE(Exists(LockPath(box.Path("setup"))));
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, ExitSignals, ::testing::Values(SIGINT, SIGTERM), SignalName);

// Beyond the file-size limit a write fails instead of killing the launcher half-way through the
// extraction: the write failure is reported and nothing is left. The Java program gets SIGXFSZ
// as the launcher did, not ignored.
TEST_F(Lifecycle, AWriteBeyondTheFileSizeLimitIsAWriteFailure) {
  std::string setup = PayloadInstaller({{"corvane.class", "classes"}, {"big", Noise(1 << 20, 5)}});
  StandInJava java;
  java.extraScript = "grep SigIgn /proc/$$/status > '" + report + "/ignored'";
  std::string jre = Runtime(java);
  Result r = RunToEnd("/bin/sh", Options({"-c", "ulimit -f 500; exec \"$0\" -javahome \"$1\" -tmpdir \"$2\"",
                                          setup, jre, tmp}));
  EXPECT_EQ(r.exitStatus, 1) << "signal " << r.termSignal;
  EXPECT_EQ(r.err.find("Error: The installation files could not be written to the '" + tmp + "'"), 0u)
      << r.err;
  EXPECT_EQ(Joined(Entries(tmp)), "");
  EXPECT_FALSE(JavaStarted());

  r = RunToEnd(setup, Options({"-javahome", jre, "-tmpdir", tmp}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  const std::string ignored = ReadFile(report + "/ignored");
  ASSERT_EQ(ignored.compare(0, 8, "SigIgn:\t"), 0) << ignored;
  const unsigned long long mask = std::stoull(ignored.substr(8), nullptr, 16);
  EXPECT_EQ(mask & (1ULL << (SIGXFSZ - 1)), 0u) << ignored;
  EXPECT_NE(mask & (1ULL << (SIGHUP - 1)), 0u) << ignored;
}

// The processes that run the program file exe: the launcher and its extraction workers.
std::vector<std::string> ProcessesRunning(const std::string &exe) {
  std::vector<std::string> pids;
  for (const std::string &pid : Entries("/proc")) {
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    char target[4096];
    ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::string(target).compare(0, exe.size(), exe) == 0 && Running(pid)) pids.push_back(pid);
  }
  return pids;
}

// Signals at random moments of an extraction by several worker processes: every time, the
// workers are gone with the launcher, nothing of the working directory is left, and the status
// is the one of the signal.
TEST_F(Lifecycle, SignalsAtRandomMomentsOfAParallelExtractionLeaveNothing) {
  box.Write("payload/corvane.class", "classes");
  std::string text;
  for (int i = 0; text.size() < (3u << 20); i++) text += "line " + std::to_string(i * 7919) + "\n";
  for (int i = 0; i < 16; i++) box.Write("payload/package/part" + std::to_string(i), text);
  box.Zip("payload", "payload.zip", "-1");
  std::string setup = Installer("payload.zip");
  RunOptions opts = Options({"-javahome", Runtime(), "-tmpdir", tmp});

  // How long the working directory lives before Java starts (the probe and the extraction),
  // the shortest of three runs, timed from the moment a run below starts its delay: polled
  // every millisecond, since the extraction of this payload takes only tens of milliseconds.
  auto workdirMade = [&] { return WaitUntil([&] { return Entries(tmp).size() == 1; }, 60, 1); };
  double extraction = 1e9;
  for (int calibration = 0; calibration < 3; calibration++) {
    auto p = Start(setup, opts);
    ASSERT_TRUE(workdirMade());
    const double began = Now();
    ASSERT_TRUE(WaitUntil([&] { return JavaStarted(); }, 60, 1));
    extraction = std::min(extraction, Now() - began);
    ASSERT_EQ(p->Wait().exitStatus, 0);
    unlink((report + "/argv.txt").c_str());
  }

  // The delays spread over that time and a quarter beyond it, so that most signals meet the
  // extraction and some meet the Java program. On a loaded machine this process may wake too
  // late for many of them: the runs go on (up to 150) until 15 have met the extraction.
  const unsigned seed = static_cast<unsigned>(time(nullptr));
  SCOPED_TRACE("seed " + std::to_string(seed) + ", extraction " + std::to_string(extraction) + " s");
  srand(seed);
  const int kSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGALRM};
  int duringExtraction = 0;
  for (int run = 0; run < 150 && (run < 50 || duringExtraction < 15); run++) {
    const int sig = kSignals[rand() % 4];
    SCOPED_TRACE("run " + std::to_string(run) + ", " + strsignal(sig));
    auto p = Start(setup, opts);
    ASSERT_TRUE(workdirMade());
    SleepMs(extraction * 1e3 * 1.25 * (rand() % 1000) / 1000.0);
    const bool extracting = !JavaStarted();
    p->Signal(sig);
    Result r = p->Wait();
    if (r.exitStatus == 0) {
      EXPECT_FALSE(extracting) << "a run signalled during its extraction ended normally";
    } else if (sig == SIGQUIT) {
      EXPECT_EQ(r.termSignal, SIGABRT) << r.exitStatus;
    } else {
      EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
    }
    if (extracting) duringExtraction++;
    EXPECT_EQ(Joined(ProcessesRunning(setup)), "") << "a worker outlived the launcher";
    EXPECT_EQ(Joined(Entries(tmp)), "");
    unlink((report + "/argv.txt").c_str());
  }
  EXPECT_GE(duringExtraction, 15) << "too few signals met the extraction";
}

// ---- Signals while a child runs ----

// An installer whose Java program notes, when it is asked to end, whether its files are still
// there, takes a moment to wind up and exits; or ignores the request. Its current directory is
// the working directory, which holds the extracted corvane.class.
class ChildSignals : public Lifecycle {
 protected:
  // Starts an installer whose Java program runs `script` after answering the probe, and waits
  // until the file `waitFor` in the report directory holds a line; null when it does not.
  std::unique_ptr<Process> StartUntil(const std::string &script, const std::string &waitFor) {
    std::string setup = PayloadInstaller({{"corvane.class", "classes"}});
    StandInJava java;
    java.extraScript = script;
    auto p = Start(setup, Options({"-javahome", Runtime(java), "-tmpdir", tmp}));
    if (WaitUntil([&] { return !FirstLine(report + "/" + waitFor).empty(); })) return p;
    ADD_FAILURE() << "no " << waitFor << ": " << p->OutSoFar();
    return nullptr;
  }
  // A Java program that runs `trap`, records its pid and waits (interruptibly) for a minute.
  std::unique_ptr<Process> StartWaitingJava(const std::string &trap) {
    return StartUntil(trap + "\necho $$ > '" + report + "/java.pid'\n/bin/sleep 60 &\nwait $!",
                      "java.pid");
  }

  std::string WhenTerminated() const {
    return "trap 'if [ -e corvane.class ]; then echo files-present; else echo files-gone; fi > \"" +
           report + "/term\"; /bin/sleep 1; echo wound-up >> \"" + report + "/term\"; exit 3' TERM";
  }
};

TEST_F(ChildSignals, SigtermStopsTheJavaProgramBeforeItsFilesAreDeleted) {
  auto p = StartWaitingJava(WhenTerminated());
  ASSERT_TRUE(p);
  p->Signal(SIGTERM);
  Result r = p->Wait();
  EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
  EXPECT_EQ(ReadFile(report + "/term"), "files-present\nwound-up\n");
  EXPECT_FALSE(Running(FirstLine(report + "/java.pid")));
  EXPECT_TRUE(EndsWith(r.out, kCleanup)) << r.out;
  EXPECT_EQ(Joined(Entries(tmp)), "");
  EXPECT_LT(r.seconds, 30.0);
}

TEST_F(ChildSignals, AJavaProgramThatIgnoresSigtermIsKilledAfterTenSeconds) {
  auto p = StartWaitingJava("trap '' TERM");
  ASSERT_TRUE(p);
  std::string javaPid = FirstLine(report + "/java.pid");
  double signalled = Now();
  p->Signal(SIGTERM);
  // The working directory stays while the Java program may still use it.
  SleepMs(3000);
  EXPECT_TRUE(Running(javaPid));
  EXPECT_EQ(Entries(tmp).size(), 1u) << "deleted under the running Java program";
  Result r = p->Wait();
  double ended = Now();
  EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
  EXPECT_GE(ended - signalled, 9.5);
  EXPECT_LT(ended - signalled, 20.0);
  EXPECT_FALSE(Running(javaPid));
  EXPECT_EQ(Joined(Entries(tmp)), "");
}

// Ctrl-C in a terminal signals the whole process group: the Java program ends by it at once
// and the launcher cleans up as before, without waiting.
TEST_F(ChildSignals, SigintToTheWholeGroupEndsEverythingPromptly) {
  auto p = StartWaitingJava("");
  ASSERT_TRUE(p);
  double signalled = Now();
  kill(-p->pid(), SIGINT);
  Result r = p->Wait();
  EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
  EXPECT_LT(Now() - signalled, 5.0);
  EXPECT_FALSE(Running(FirstLine(report + "/java.pid")));
  EXPECT_TRUE(EndsWith(r.out, kCleanup)) << r.out;
  EXPECT_EQ(Joined(Entries(tmp)), "");
}

// The upgrade script that the Java program asks for (exit status 10) is stopped the same way.
TEST_F(ChildSignals, SigtermStopsTheUpgradeScriptFirst) {
  std::string upgrade = tmp + "/UpgradeInvoker.sh";
  auto p = StartUntil("printf '%s\\n' '#!/bin/sh' \"trap 'echo stopped > " + report +
                          "/upgrade-term; exit 0' TERM\" 'echo $$ > " + report +
                          "/upgrade.pid' '/bin/sleep 60 &' 'wait $!' > '" + upgrade +
                          "'\n/bin/chmod 755 '" + upgrade + "'\nexit 10",
                      "upgrade.pid");
  ASSERT_TRUE(p);
  EXPECT_EQ(Entries(tmp).size(), 2u) << "the working directory and the script";
  p->Signal(SIGTERM);
  Result r = p->Wait();
  EXPECT_EQ(r.exitStatus, 255) << r.termSignal;
  EXPECT_EQ(ReadFile(report + "/upgrade-term"), "stopped\n");
  EXPECT_FALSE(Running(FirstLine(report + "/upgrade.pid")));
  EXPECT_EQ(Joined(Entries(tmp)), "UpgradeInvoker.sh ") << "only the working directory goes";
  unlink(upgrade.c_str());
}

TEST_F(Lifecycle, HangupPowerAndWindowSignalsDoNotStopTheLauncher) {
  std::string setup = Launcher();
  auto p = StartJava(setup, 1, tmp);
  ASSERT_TRUE(p);
  for (int sig : {SIGHUP, SIGPWR, SIGWINCH}) p->Signal(sig);
  Result r = p->Wait();
  EXPECT_EQ(r.exitStatus, 0) << r.termSignal << r.err;
  EXPECT_TRUE(EndsWith(r.out, kCleanup)) << r.out;
  EXPECT_EQ(Joined(Entries(tmp)), "");
  EXPECT_FALSE(Exists(LockPath(setup)));
}

// A parent that ignores SIGCHLD passes that on; the launcher must still see its children's
// statuses: the version probe's (else the runtime is refused) and the Java program's.
TEST_F(Lifecycle, AnInheritedIgnoredSigchldLosesNoChildsStatus) {
  std::map<std::string, std::string> files = {{"corvane.class", "classes"}};
  for (int i = 0; i < 4; i++)  // large enough for extraction workers
    files["part" + std::to_string(i)] = Noise(400000, 77 + i);
  std::string setup = PayloadInstaller(files);
  StandInJava java;
  java.exitCode = 7;
  RunOptions opts = Options({"-javahome", Runtime(java), "-tmpdir", tmp});
  opts.ignoredSignals = {SIGCHLD};
  Result r = RunToEnd(setup, opts);
  EXPECT_EQ(r.exitStatus, 7) << r.err;
  EXPECT_TRUE(JavaStarted());
  EXPECT_EQ(Joined(Entries(tmp)), "");
}

// A relative -tmpdir is made absolute before the working directory is named: a relative
// working directory could not be deleted at the end, and the Java program, which runs in the
// working directory, is told the absolute temporary directory.
TEST_F(Lifecycle, RelativeTmpdirLeavesNothingBehind) {
  std::string setup = Launcher();
  RunOptions opts = Options({"-javahome", Runtime(), "-tmpdir", "tmp"});
  opts.cwd = box.dir();
  Result r = RunToEnd(setup, opts);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(EndsWith(r.out, kCleanup)) << r.out;
  EXPECT_EQ(Joined(Entries(tmp)), "");
  std::string argv = ReadFile(report + "/argv.txt");
  EXPECT_NE(argv.find("-Dtemp.dir=" + tmp + "\n"), std::string::npos) << argv;
  EXPECT_NE(argv.find("-Djava.io.tmpdir=" + tmp + "/setup"), std::string::npos) << argv;
  std::string env = ReadFile(report + "/env.txt");
  EXPECT_NE(env.find("TMPDIR='" + tmp + "'"), std::string::npos) << env;
}

}  // namespace
