// What the launcher takes from its surroundings and how it tells about them: relative TMPDIR,
// PATH elements and JAVA_HOME made absolute, messages that name the temporary directory really
// used, and a disk that fills up during the extraction told apart from a damaged archive. The
// small, full or read-only file systems are mounted in a private mount namespace of the run.

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

constexpr const char kCleanup[] = "Deleting temporary files...";

std::string NotWritable(const std::string &dir) {
  return "Error: The '" + dir + "' temporary directory is not a writable directory.\n";
}
std::string WriteFailed(const std::string &dir) {
  return "Error: The installation files could not be written to the '" + dir +
         "' temporary directory. The disk may be full.\n";
}

class Environment : public LauncherTest {
 protected:
  std::string Installer(std::map<std::string, std::string> files = {}) {
    files["corvane.class"] = "main class";
    files["package/PackageFormat.jar"] = "jar";
    return PayloadInstaller(files);
  }

  // Run in the sandbox; otherwise as LauncherOptions.
  RunOptions Options(std::vector<std::string> args, const std::string &searchDirs = "") const {
    RunOptions opts = LauncherOptions(std::move(args), "C", searchDirs);
    opts.cwd = box.dir();
    return opts;
  }

  std::vector<std::string> Argv() const { return Lines(ReadFile(report + "/argv.txt")); }
};

// ---- Relative paths from the environment ----

TEST_F(Environment, ARelativeTmpdirGivesAnAbsoluteWorkingDirectoryThatIsRemoved) {
  std::string setup = Installer();
  std::string reltmp = box.MkDir("reltmp");
  std::string root = Runtime();
  RunOptions opts = Options({}, root + "/bin");
  opts.env["TMPDIR"] = "reltmp";
  Result r = RunToEnd(setup, opts);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<std::string> argv = Argv();
  ASSERT_GE(argv.size(), 4u) << r.out << r.err;
  EXPECT_EQ(argv[1].rfind("-Djava.io.tmpdir=" + reltmp + "/setup", 0), 0u) << argv[1];
  // The temporary directory passed on and the upgrade script's place stay /tmp.
  EXPECT_EQ(argv[2], "-Dtemp.dir=/tmp");
  std::string env = ReadFile(report + "/env.txt");
  EXPECT_NE(env.find("TMPDIR='" + reltmp + "'"), std::string::npos) << env;
  EXPECT_EQ(Shell("rmdir '" + reltmp + "'"), 0) << "working directory left in reltmp";
}

// A relative root used to pass the probe and fail after the change into the working
// directory; as the later find it even beat a valid absolute runtime.
TEST_F(Environment, RelativePathElementsAndJavaHomeGiveAbsoluteRuntimes) {
  Installer();
  std::string valid = Runtime({}, "valid");
  struct Case {
    std::string pathElement, javaHome;
  } cases[] = {{"rel/jdk0/bin", ""}, {"./rel/jdk1/bin", ""}, {"", "rel/jdk2"}};
  std::vector<std::unique_ptr<Process>> runs;
  std::vector<std::string> roots;
  for (size_t i = 0; i < 3; i++) {
    // Each run has its own launcher copy (lock), runtime (report) and temporary directory.
    std::string n = std::to_string(i);
    StandInJava java;
    java.reportDir = box.MkDir("report" + n);
    roots.push_back(MakeRuntime(box.Path("rel/jdk" + n), java));
    std::string setup = box.MakeInstaller("payload.zip", "setup" + n);
    const Case &c = cases[i];
    RunOptions opts = Options({"-tmpdir", box.MkDir("tmp" + n)},
                              c.pathElement.empty() ? "" : valid + "/bin:" + c.pathElement);
    if (!c.javaHome.empty()) {
      opts.env["JAVA_HOME"] = c.javaHome;
    }
    runs.push_back(std::make_unique<Process>(setup, opts, box.MkDir("out" + n)));
  }
  for (size_t i = 0; i < 3; i++) {
    Result r = runs[i]->Wait();
    EXPECT_EQ(r.exitStatus, 0) << i << ": " << r.err;
    EXPECT_EQ(r.err, "") << i;
    std::string n = std::to_string(i);
    std::vector<std::string> argv = Lines(ReadFile(box.Path("report" + n + "/argv.txt")));
    ASSERT_FALSE(argv.empty()) << i;
    EXPECT_EQ(argv[0], roots[i] + "/bin/java") << i;
  }
}

// ---- The directory that messages name ----

// Without -tmpdir, tempnam prefers an inherited TMPDIR naming a directory: there the working
// directory was to be made, and that is the directory named.
TEST_F(Environment, AnUnusableInheritedTmpdirIsTheDirectoryNamed) {
  std::string setup = Installer();
  RunOptions opts = Options({});
  opts.env["TMPDIR"] = "/proc";
  Result r = RunToEnd(setup, opts);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, NotWritable("/proc") + kTmpdirUsage);
}

// A /tmp that the user may not write to is refused before any name is drawn; the message names
// it rather than an empty name. /tmp is made read-only in the run's own mount namespace.
TEST_F(Environment, ARefusedDefaultTemporaryDirectoryIsNamed) {
  if (!CanMount()) GTEST_SKIP() << "cannot mount here";
  std::string setup = Installer();
  Result r = RunToEnd(kUnshare, InNamespace(Options({}), "mount --bind /tmp /tmp && mount -o "
                                                        "remount,bind,ro /tmp && exec \"$1\"",
                                            {setup}));
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_EQ(r.err, NotWritable("/tmp") + kTmpdirUsage);
}

// The space check measures the file system of the directory in which the working directory
// was made, and names that directory.
TEST_F(Environment, TheSpaceCheckNamesTheInheritedTmpdirItMeasured) {
  if (!CanMount()) GTEST_SKIP() << "cannot mount here";
  std::string setup = Installer({{"data/noise.bin", Noise(3000000)}});
  std::string small = box.MkDir("small");
  RunOptions opts = Options({});
  opts.env["TMPDIR"] = small;
  Result r = RunToEnd(kUnshare, InNamespace(opts, "mount -t tmpfs -o size=1m,mode=0755 tmpfs "
                                                  "\"$1\" && exec \"$2\"",
                                            {small, setup}));
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_EQ(r.err.rfind("\nError: There is not enough free disk space in the '" + small +
                            "' temporary directory.\n",
                        0),
            0u)
      << r.err;
}

// ---- A disk that fills up during the extraction ----

struct DiskCase {
  const char *name;
  const char *mountOptions;
  bool privateRuntime;  // the payload holds the only runtime, unpacked before the rest
  bool probeFillsTheDisk;
};

void PrintTo(const DiskCase &c, std::ostream *os) { *os << c.name; }

class DiskFull : public Environment, public ::testing::WithParamInterface<DiskCase> {};

// The space check passes; afterwards the disk fills up: another process writes to it (here
// the runtime's version probe), or it runs out of inodes, which the space check does not
// count. The user is told that writing failed, in which directory, and not that the installer
// is damaged; nothing of the run is left on the disk.
TEST_P(DiskFull, IsReportedAsSuchAndLeavesNothing) {
  const DiskCase &c = GetParam();
  if (!CanMount()) GTEST_SKIP() << "cannot mount here";
  std::string mnt = box.MkDir("mnt");
  std::map<std::string, std::string> files = {{"data/noise.bin", Noise(1000000)}};
  for (int i = 0; i < 12; i++) files["many/d" + std::to_string(i) + "/f"] = "x";
  std::vector<std::string> args = {"-tmpdir", mnt};
  StandInJava java;
  if (c.probeFillsTheDisk)
    java.probeScript = "/bin/dd if=/dev/zero of='" + mnt + "/filler' bs=65536 2>/dev/null";
  if (c.privateRuntime) {
    Runtime(java, "payload/package/jre");
  } else {
    args.push_back("-javahome");
    args.push_back(Runtime(java));
  }
  std::string setup = Installer(files);
  std::string listing = box.Path("listing");
  // The listing is taken inside the namespace, where the file system lives.
  std::string script = "mount -t tmpfs -o " + std::string(c.mountOptions) +
                       ",mode=0755 tmpfs \"$1\" || exit 99\n"
                       "mnt=$1; shift\n"
                       "\"$@\"; rc=$?\n"
                       "/bin/ls -A \"$mnt\" > '" + listing + "'\n"
                       "exit $rc\n";
  std::vector<std::string> scriptArgs = {mnt, setup};
  scriptArgs.insert(scriptArgs.end(), args.begin(), args.end());
  Result r = RunToEnd(kUnshare, InNamespace(Options({}), script, scriptArgs));

  EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
  std::string expected = WriteFailed(mnt) + kTmpdirUsage;
  if (c.privateRuntime) {
    ASSERT_EQ(r.err.rfind(kNoFindJava, 0), 0u) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), expected.size())), expected)
        << r.err;
  } else {
    EXPECT_EQ(r.err, expected);
  }
  EXPECT_EQ(r.err.find("corrupted"), std::string::npos) << r.err;
  EXPECT_EQ(Lines(r.out).back(), kCleanup) << r.out;
  EXPECT_EQ(ReadFile(listing), c.probeFillsTheDisk ? "filler\n" : "") << "left behind";
  EXPECT_FALSE(Exists(report + "/argv.txt")) << "Java ran";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DiskFull,
    ::testing::Values(DiskCase{"FilledAfterTheSpaceCheck", "size=4m", false, true},
                      DiskCase{"OutOfInodes", "size=16m,nr_inodes=12", false, false},
                      DiskCase{"OutOfInodesForThePrivateRuntime", "size=16m,nr_inodes=4", true,
                               false}),
    [](const ::testing::TestParamInfo<DiskCase> &info) { return std::string(info.param.name); });

}  // namespace
