// The archive appended to the launcher, as a user meets it: an installer made by concatenating
// the launcher and a ZIP archive unpacks its payload into the working directory, whether the
// archive's offsets are relative to its own start or absolute; a launcher with nothing
// appended unpacks nothing; a damaged archive is reported with the executable's path.
//
// Each run names a stand-in runtime with -javahome. The extracted tree is observed in the
// working directory left behind when the run stops after extracting, or, in a run that goes on
// to start Java, in the copy that the stand-in Java program makes of its current directory.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using e2e::Result;
using e2e::RunOptions;
using e2e::Sandbox;

namespace {

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::map<std::string, std::string> *walkResult;
size_t walkRootLen;
int WalkOne(const char *path, const struct stat64 *st, int, struct FTW *) {
  if (strlen(path) < walkRootLen) return 0;
  std::string rel = std::string(path).substr(walkRootLen);
  (*walkResult)[rel] = S_ISDIR(st->st_mode) ? "<dir>" : e2e::ReadFile(path);
  return 0;
}
// Every path under root (relative), mapped to "<dir>" or the file's contents. The 64-bit
// directory calls, because the 32-bit ones fail with EOVERFLOW on some file systems.
std::map<std::string, std::string> Tree(const std::string &root) {
  std::map<std::string, std::string> result;
  walkResult = &result;
  walkRootLen = root.size() + 1;
  nftw64(root.c_str(), WalkOne, 16, FTW_PHYS);
  return result;
}

std::vector<std::string> Subdirectories(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent64 *de = readdir64(d)) {
    std::string name = de->d_name;
    if (name != "." && name != ".." && e2e::Exists(dir + "/" + name + "/.")) names.push_back(name);
  }
  closedir(d);
  return names;
}

class Archive : public ::testing::Test {
 protected:
  Sandbox box;
  std::string tmp = box.MkDir("tmp");
  std::string report = box.MkDir("report");
  std::string jre;

  void SetUp() override {
    e2e::StandInJava java;
    java.reportDir = report;
    java.extraScript = "cp -R . " + Quote(report + "/tree");
    jre = e2e::MakeRuntime(box.Path("jre"), java);
  }

  // Writes a payload of directories, text, binary and empty files under rel.
  void MakePayload(const std::string &rel) {
    box.Write(rel + "/corvane.class", "\xca\xfe\xba\xbe class bytes");
    box.Write(rel + "/package/PackageFormat.jar", e2e::Noise(50000));
    box.Write(rel + "/package/jre/bin/readme.txt", "a runtime would be here\n");
    box.Write(rel + "/package/empty", "");
    box.MkDir(rel + "/package/lib");
  }

  Result RunInstaller(const std::string &exe) {
    RunOptions opts;
    opts.args = {"-tmpdir", tmp, "-javahome", jre};
    opts.env["LC_ALL"] = "C";
    return e2e::Run(exe, opts);
  }

  // The working directory's contents as the run extracted them.
  std::map<std::string, std::string> ExtractedTree() {
    if (e2e::Exists(report + "/tree")) return Tree(report + "/tree");
    std::vector<std::string> dirs = Subdirectories(tmp);
    EXPECT_EQ(dirs.size(), 1u) << "one working directory expected in " << tmp;
    if (dirs.size() != 1) return {};
    return Tree(tmp + "/" + dirs[0]);
  }
};

TEST_F(Archive, InstallerExtractsIdenticallyWithRelativeOrAbsoluteOffsets) {
  MakePayload("payload");
  box.Zip("payload", "payload.zip");
  const auto want = Tree(box.Path("payload"));
  ASSERT_EQ(want.size(), 8u);
  for (bool absolute : {false, true}) {
    SCOPED_TRACE(absolute ? "absolute offsets" : "relative offsets");
    e2e::Shell("rm -rf " + Quote(tmp) + "/* " + Quote(report) + "/*");
    std::string installer =
        box.MakeInstaller("payload.zip", absolute ? "abs-installer" : "rel-installer", "setup",
                          absolute);
    Result r = RunInstaller(installer);
    EXPECT_NE(r.out.find("Extracting installation files...\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("corrupted"), std::string::npos) << r.err;
    EXPECT_EQ(ExtractedTree(), want);
  }
}

// The entries a, a\x01 and a/b, behind a payload large enough for extraction workers: the file a
// must give way to the directory that a/b needs, as when the entries are written in order, on
// two processors as on one.
TEST_F(Archive, TheResultDoesNotDependOnTheNumberOfProcessors) {
  box.Write("payload/corvane.class", "\xca\xfe\xba\xbe class bytes");
  box.Write("payload/big", e2e::Noise(1200000, 9));
  box.Write("payload/a", "file a");
  box.Write("payload/a\x01", "file a-1");
  box.Write("later/a/b", "file a/b");
  box.Zip("payload", "payload.zip");
  // Added to the archive after the others, without an entry for its directory.
  ASSERT_EQ(e2e::Shell("cd " + Quote(box.Path("later")) + " && zip -q -r -X -D " +
                       Quote(box.Path("payload.zip")) + " ."),
            0);
  std::string installer = box.MakeInstaller("payload.zip", "installer");
  std::map<std::string, std::string> trees[2];
  for (int one : {0, 1}) {
    SCOPED_TRACE(one ? "on one processor" : "on every processor");
    e2e::Shell("rm -rf " + Quote(report) + "/*");
    RunOptions opts;
    opts.args = {"-c", "0", installer, "-tmpdir", tmp, "-javahome", jre};
    opts.env["LC_ALL"] = "C";
    Result r = one ? e2e::Run("/usr/bin/taskset", opts) : RunInstaller(installer);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    trees[one] = ExtractedTree();
    EXPECT_EQ(trees[one]["a/b"], "file a/b");
    EXPECT_EQ(trees[one]["a\x01"], "file a-1");
  }
  EXPECT_EQ(trees[0], trees[1]);
}

TEST_F(Archive, LauncherWithNothingAppendedExtractsNothing) {
  std::string setup = box.CopyLauncher("setup", "bin/setup");
  box.Write("bin/corvane.class", "\xca\xfe\xba\xbe class bytes");
  Result r = RunInstaller(setup);
  EXPECT_EQ(r.out.find("Extracting"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("corrupted"), std::string::npos) << r.err;
  // The Java program runs in the executable's own directory.
  EXPECT_EQ(e2e::ReadFile(report + "/cwd.txt"), box.Path("bin") + "\n");
}

TEST_F(Archive, DamagedArchiveIsReportedWithTheExecutablePath) {
  MakePayload("payload");
  box.Zip("payload", "payload.zip");
  std::string installer = box.MakeInstaller("payload.zip", "installer");
  // Change one byte in the middle of the large entry's data, as a damaged download would.
  std::string bytes = e2e::ReadFile(installer);
  const size_t image = e2e::ReadFile(e2e::BuiltLauncher("setup")).size();
  const size_t jar = bytes.find("package/PackageFormat.jar", image);
  ASSERT_NE(jar, std::string::npos);
  bytes[jar + 2000] ^= 0x10;
  e2e::WriteFile(installer, bytes, 0755);

  Result r = RunInstaller(installer);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.out.find("Extracting installation files...\n"), std::string::npos) << r.out;
  // An absolute program name is resolved with a leading "//".
  EXPECT_EQ(r.err, "Error: The '/" + installer + "' file appears to be corrupted.\n");
  EXPECT_FALSE(e2e::Exists(report + "/argv.txt")) << "Java must not start";
}

TEST_F(Archive, EntryLeavingTheWorkingDirectoryIsRefused) {
  box.Write("payload/inside.txt", "fine");
  box.Write("payload/x/escape.txt", "escaped");
  box.Zip("payload", "payload.zip");
  // Rename x/escape.txt to ../escape.txt in both headers (same length, so offsets hold).
  std::string zip = e2e::ReadFile(box.Path("payload.zip"));
  ASSERT_NE(zip.find("x/escape.txt"), std::string::npos);
  for (size_t at = zip.find("x/escape.txt"); at != std::string::npos;
       at = zip.find("x/escape.txt", at + 1)) {
    zip.replace(at, 12, "../scape.txt");
  }
  e2e::WriteFile(box.Path("payload.zip"), zip);
  std::string installer = box.MakeInstaller("payload.zip", "installer");

  Result r = RunInstaller(installer);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Error: The '/" + installer + "' file appears to be corrupted.\n");
  EXPECT_FALSE(e2e::Exists(tmp + "/scape.txt"));
  EXPECT_FALSE(e2e::Exists(report + "/argv.txt"));
}

}  // namespace
