// The archive appended to the launcher, as a user meets it: an installer made by concatenating
// the launcher and a ZIP archive unpacks its payload into the working directory, whether the
// archive's offsets are relative to its own start or absolute; a launcher with nothing
// appended unpacks nothing; a damaged archive is reported with the executable's path.
//
// Each run names a stand-in runtime with -javahome. The extracted tree is observed in the
// working directory left behind when the run stops after extracting, or, in a run that goes on
// to start Java, in the copy that the stand-in Java program makes of its current directory.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

class Archive : public LauncherTest {
 protected:
  std::string jre;

  void SetUp() override {
    StandInJava java;
    java.extraScript = "cp -R . " + Quote(report + "/tree");
    jre = Runtime(java);
  }

  // Writes a payload of directories, text, binary and empty files under rel.
  void MakePayload(const std::string &rel) {
    box.Write(rel + "/corvane.class", "\xca\xfe\xba\xbe class bytes");
    box.Write(rel + "/package/PackageFormat.jar", Noise(50000));
    box.Write(rel + "/package/jre/bin/readme.txt", "a runtime would be here\n");
    box.Write(rel + "/package/empty", "");
    box.MkDir(rel + "/package/lib");
  }

  Result RunInstaller(const std::string &exe) {
    return RunToEnd(exe, LauncherOptions({"-tmpdir", tmp, "-javahome", jre}));
  }

  // The working directory's contents as the run extracted them.
  std::map<std::string, std::string> ExtractedTree() {
    if (Exists(report + "/tree")) return Tree(report + "/tree");
    std::vector<std::string> dirs;
    for (const std::string &name : Entries(tmp))
      if (IsDir(tmp + "/" + name)) dirs.push_back(name);
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
    Shell("rm -rf " + Quote(tmp) + "/* " + Quote(report) + "/*");
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
  box.Write("payload/big", Noise(1200000, 9));
  box.Write("payload/a", "file a");
  box.Write("payload/a\x01", "file a-1");
  box.Write("later/a/b", "file a/b");
  box.Zip("payload", "payload.zip");
  // Added to the archive after the others, without an entry for its directory.
  Sh("cd " + Quote(box.Path("later")) + " && zip -q -r -X -D " +
     Quote(box.Path("payload.zip")) + " .");
  std::string installer = box.MakeInstaller("payload.zip", "installer");
  std::map<std::string, std::string> trees[2];
  for (int one : {0, 1}) {
    SCOPED_TRACE(one ? "on one processor" : "on every processor");
    Shell("rm -rf " + Quote(report) + "/*");
    Result r = one ? RunToEnd("/usr/bin/taskset", LauncherOptions({"-c", "0", installer, "-tmpdir",
                                                                   tmp, "-javahome", jre}))
                   : RunInstaller(installer);
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
  EXPECT_EQ(ReadFile(report + "/cwd.txt"), box.Path("bin") + "\n");
}

TEST_F(Archive, DamagedArchiveIsReportedWithTheExecutablePath) {
  MakePayload("payload");
  box.Zip("payload", "payload.zip");
  std::string installer = box.MakeInstaller("payload.zip", "installer");
  // Change one byte in the middle of the large entry's data, as a damaged download would.
  std::string bytes = ReadFile(installer);
  const size_t image = ReadFile(BuiltLauncher("setup")).size();
  const size_t jar = bytes.find("package/PackageFormat.jar", image);
  ASSERT_NE(jar, std::string::npos);
  bytes[jar + 2000] ^= 0x10;
  WriteFile(installer, bytes, 0755);

  Result r = RunInstaller(installer);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.out.find("Extracting installation files...\n"), std::string::npos) << r.out;
  // An absolute program name is resolved with a leading "//".
  EXPECT_EQ(r.err, "Error: The '/" + installer + "' file appears to be corrupted.\n");
  EXPECT_FALSE(Exists(report + "/argv.txt")) << "Java must not start";
}

TEST_F(Archive, EntryLeavingTheWorkingDirectoryIsRefused) {
  box.Write("payload/inside.txt", "fine");
  box.Write("payload/x/escape.txt", "escaped");
  box.Zip("payload", "payload.zip");
  // Rename x/escape.txt to ../escape.txt in both headers (same length, so offsets hold).
  std::string zip = ReadFile(box.Path("payload.zip"));
  ASSERT_NE(zip.find("x/escape.txt"), std::string::npos);
  for (size_t at = zip.find("x/escape.txt"); at != std::string::npos;
       at = zip.find("x/escape.txt", at + 1)) {
    zip.replace(at, 12, "../scape.txt");
  }
  WriteFile(box.Path("payload.zip"), zip);
  std::string installer = box.MakeInstaller("payload.zip", "installer");

  Result r = RunInstaller(installer);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Error: The '/" + installer + "' file appears to be corrupted.\n");
  EXPECT_FALSE(Exists(tmp + "/scape.txt"));
  EXPECT_FALSE(Exists(report + "/argv.txt"));
}

}  // namespace
