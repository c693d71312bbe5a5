// Reading installers back: a written installer passes; a byte flipped anywhere behind the
// launcher fails the check (also without a recorded digest, wherever the launcher or the ZIP
// format gives it away); the reader's refusals keep their reasons; and installers the launcher
// would extract but never run (wrong kind, runtime for the other processor) are reported.
#include <fcntl.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "archive/extract.h"
#include "read_installer.h"
#include "layout.h"
#include "sha256.h"
#include "support.h"
#include "zip_builder.h"
#include "zip_writer.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;  // name, contents ("/" names: directories)

class ReadInstallerTest : public ::testing::Test {
 protected:
  support::Sandbox scratch;
  std::string path = scratch.Path("installer");
  Installer installer;
  std::vector<std::string> problems;
  std::string error;

  void Pack(const Files &files, const std::string &launcher = "setup") {
    support::Sh("cp '" + support::BuiltLauncher(launcher) + "' '" + path + "'");
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const int64_t base = lseek(fd, 0, SEEK_END);
    {
      ZipWriter w(fd, base, false, 6, ArchiveLimits());
      for (const auto &f : files) {
        const bool dir = f.first.back() == '/';
        ASSERT_TRUE(dir ? w.AddDirectory(f.first, 0x5A2B6C3D) : w.AddBytes(f.first, f.second, 0x5A2B6C3D)) << w.error();
      }
      std::string sha;
      ASSERT_TRUE(w.Finish(&sha)) << w.error();
    }
    close(fd);
  }
  // An archive laid out by hand behind a launcher.
  void Craft(const std::vector<ziptest::Entry> &entries, const std::string &launcher = "setup") {
    support::WriteFile(path, ziptest::Build(entries, support::ReadFile(support::BuiltLauncher(launcher))).bytes);
  }
  bool Check(Depth depth = Depth::kCheck) {
    ReadInstallerOptions options;
    options.depth = depth;
    return ReadInstaller(path, options, &installer, &problems, &error);
  }
  // True when the check finds the file bad in any way.
  bool Refused() { return !Check() || !problems.empty(); }
  std::string Problems() const {
    std::string all = error;
    for (const std::string &p : problems) all += "\n" + p;
    return all;
  }
  void Flip(int64_t at, unsigned char mask) {
    int fd = open(path.c_str(), O_RDWR);
    unsigned char c;
    ASSERT_EQ(pread(fd, &c, 1, at), 1);
    c ^= mask;
    ASSERT_EQ(pwrite(fd, &c, 1, at), 1);
    close(fd);
  }
};

const Files kPayload = {{"corvane.class", std::string(200, 'c')},
                        {"package/", ""},
                        {"package/PackageFormat.jar", "jar bytes"},
                        {"package/notes.txt", "notes, notes, notes, notes"}};

TEST_F(ReadInstallerTest, AWrittenInstallerPassesAndIsDescribed) {
  Pack(kPayload);
  ASSERT_TRUE(Check()) << error;
  EXPECT_TRUE(problems.empty()) << Problems();
  EXPECT_TRUE(installer.hasDigestRecord);
  EXPECT_EQ(installer.launcher.kind, LauncherKind::Installer);
  EXPECT_EQ(installer.entries.size(), 4u);
  EXPECT_EQ(installer.files, 3);
  EXPECT_EQ(installer.directories, 1);
  EXPECT_EQ(installer.totalSize, 200u + 9 + 26);
  EXPECT_EQ(installer.entries[0].name, "corvane.class");
  EXPECT_EQ(installer.entries[0].method, 8);
  EXPECT_LT(installer.entries[0].csize, 20);
  EXPECT_EQ(installer.entries[2].method, 0);
  EXPECT_EQ(FormatDosDateTime(installer.entries[1].dosTime), FormatDosDateTime(0x5A2B6C3D));
  Sha256 sha;
  const std::string bytes = support::ReadFile(path);
  sha.Update(bytes.data(), bytes.size());
  EXPECT_EQ(installer.sha256, sha.HexDigest());
  EXPECT_EQ(installer.archiveLength, installer.fileLength - installer.launcher.imageLength);
  EXPECT_FALSE(installer.runtime.present);
  ASSERT_TRUE(Check(Depth::kList));
  EXPECT_EQ(installer.sha256, "");
  EXPECT_EQ(installer.entries.size(), 4u);
}

TEST_F(ReadInstallerTest, AFlippedByteAnywhereBehindTheLauncherIsFound) {
  Pack(kPayload);
  ASSERT_FALSE(Refused()) << Problems();
  const int64_t start = installer.launcher.imageLength, end = installer.fileLength;
  for (int64_t at = start; at < end; at++) {
    for (unsigned char mask : {0xFF, 0x01}) {
      Flip(at, mask);
      EXPECT_TRUE(Refused()) << "byte " << at - start << " of the archive, mask " << int{mask};
      Flip(at, mask);
    }
  }
  // The recorded digest covers the launcher too.
  for (int64_t at : {int64_t{0} + 100, start / 2, start - 1}) {
    Flip(at, 0x01);
    EXPECT_TRUE(Refused()) << "byte " << at << " of the launcher";
    Flip(at, 0x01);
  }
  EXPECT_FALSE(Refused()) << Problems();
}

// Without the digest record (an installer made by hand) a flip still shows wherever the
// launcher reads the byte or the format repeats it. Left out are the fields that no reader
// uses and nothing repeats: the central "version made by", "version needed" and file
// attributes, and the local "version needed".
TEST_F(ReadInstallerTest, WithoutARecordedDigestTheHeadersAndDataStillGiveDamageAway) {
  std::vector<ziptest::Entry> entries = {ziptest::Deflated("corvane.class", std::string(300, 'c') + "tail"),
                                         ziptest::Stored("package/PackageFormat.jar", "jar bytes"),
                                         ziptest::Stored("package/", "")};
  Craft(entries);
  ASSERT_FALSE(Refused()) << Problems();
  EXPECT_FALSE(installer.hasDigestRecord);
  const ziptest::Layout layout = ziptest::Build(entries, support::ReadFile(support::BuiltLauncher("setup")));
  std::vector<size_t> positions;
  for (size_t i = 0; i < entries.size(); i++) {
    const size_t loc = layout.loc[i], cen = layout.cen[i];
    const size_t locEnd = loc + 30 + entries[i].name.size() + entries[i].data.size();
    for (size_t at = loc; at < locEnd; at++) {
      if (at < loc + 4 || at >= loc + 6) positions.push_back(at);
    }
    for (size_t at = cen; at < cen + 46 + entries[i].name.size(); at++) {
      const size_t field = at - cen;
      if (field >= 4 && field < 8) continue;
      if (field >= 36 && field < 42) continue;
      positions.push_back(at);
    }
  }
  for (size_t at = layout.endPos; at < layout.endPos + 22; at++) positions.push_back(at);
  for (size_t at : positions) {
    Flip(static_cast<int64_t>(at), 0xFF);
    EXPECT_TRUE(Refused()) << "file position " << at;
    Flip(static_cast<int64_t>(at), 0xFF);
  }
}

TEST_F(ReadInstallerTest, InfoZipInstallersPassWithoutARecordedDigest) {
  scratch.MkDir("p/package");
  scratch.Write("p/corvane.class", "class");
  scratch.Write("p/package/PackageFormat.jar", std::string(3000, 'j'));
  support::Sh("cd '" + scratch.Path("p") + "' && zip -q -r -X ../payload.zip . && cat '" + support::BuiltLauncher("setup") +
              "' ../payload.zip > '" + path + "'");
  ASSERT_TRUE(Check()) << error;
  EXPECT_TRUE(problems.empty()) << Problems();
  EXPECT_FALSE(installer.hasDigestRecord);
  EXPECT_EQ(installer.entries.size(), 3u);
  // zip -A: offsets as file positions.
  support::Sh("zip -q -A '" + path + "'");
  ASSERT_TRUE(Check()) << error;
  EXPECT_TRUE(problems.empty()) << Problems();
}

TEST_F(ReadInstallerTest, WhatIsNoInstallerIsRefusedWithTheReason) {
  support::WriteFile(path, "#!/bin/sh\necho hi\n");
  EXPECT_FALSE(Check());
  EXPECT_NE(error.find("is not an installer"), std::string::npos) << error;
  support::Sh("cp '" + support::BuiltLauncher("setup") + "' '" + path + "'");
  EXPECT_FALSE(Check());
  EXPECT_NE(error.find("carries no payload archive"), std::string::npos) << error;
  // A ZIP behind a program that is no launcher (the catalog generator, built for the same machine).
  support::WriteFile(path, ziptest::Build({ziptest::Stored("corvane.class", "c")}, support::ReadFile(support::BuiltLauncher("catalog_gen"))).bytes);
  EXPECT_FALSE(Check());
  EXPECT_NE(error.find("does not start with a corvane launcher"), std::string::npos) << error;
  // Bytes behind the launcher that are no archive.
  support::WriteFile(path, support::ReadFile(support::BuiltLauncher("setup")) + std::string(5000, 'x'));
  EXPECT_FALSE(Check());
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_NE(error.find("no ZIP end record"), std::string::npos) << error;
  EXPECT_FALSE(ReadInstaller(scratch.Path("none"), ReadInstallerOptions(), &installer, &problems, &error));
  EXPECT_NE(error.find("no such file"), std::string::npos) << error;
  // An installer cut short inside its launcher, anywhere from just past the ELF header on.
  const std::string whole = support::ReadFile(support::BuiltLauncher("setup"));
  for (size_t cut : {size_t{100}, whole.size() / 2, whole.size() - 1}) {
    support::WriteFile(path, whole.substr(0, cut));
    EXPECT_FALSE(Check());
    EXPECT_NE(error.find("is cut short inside its launcher"), std::string::npos) << cut << ": " << error;
    EXPECT_NE(error.find("the file has " + std::to_string(cut)), std::string::npos) << cut << ": " << error;
  }
}

TEST_F(ReadInstallerTest, TheReadersOwnRefusalsKeepTheirReasons) {
  // One entry more than the reader takes: what Info-ZIP packs without complaint.
  std::vector<ziptest::Entry> many;
  for (int i = 0; i <= zipfmt::kMaxEntries; i++) many.push_back(ziptest::Stored(std::to_string(i), ""));
  Craft(many);
  EXPECT_FALSE(Check());
  EXPECT_NE(error.find("too many entries in ZIP file"), std::string::npos) << error;

  ziptest::Entry method = ziptest::Stored("corvane.class", "c");
  method.method = 12;
  Craft({method});
  EXPECT_FALSE(Check());
  EXPECT_NE(error.find("bad compression method"), std::string::npos) << error;
}

TEST_F(ReadInstallerTest, EntriesTheLauncherWouldRefuseAreProblems) {
  // A ".." name: the launcher's extraction refuses it, and so does the check.
  std::vector<ziptest::Entry> entries = {ziptest::Stored("corvane.class", "c"), ziptest::Stored("a/../../evil", "e")};
  Craft(entries);
  ASSERT_TRUE(Check()) << error;
  ASSERT_EQ(problems.size(), 1u) << Problems();
  EXPECT_NE(problems[0].find("'a/../../evil'"), std::string::npos) << problems[0];
  jzfile *zip = zipOpen(path.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  const std::string out = scratch.MkDir("out");
  EXPECT_FALSE(UnzipFiles(zip, out.c_str(), nullptr));
  zipClose(zip);

  // A size past 2^31 - 1, which the reader takes as negative.
  ziptest::Entry huge = ziptest::Stored("big", "b");
  huge.size = huge.csize = 0x80000000u;
  Craft({ziptest::Stored("corvane.class", "c"), huge});
  ASSERT_TRUE(Check()) << error;
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(Problems().find("'big'"), std::string::npos) << Problems();

  // The local header names the entry differently: the launcher would write another name.
  ziptest::Entry renamed = ziptest::Stored("data.txt", "d");
  renamed.differentName = true;
  renamed.localName = "data.exe";
  Craft({ziptest::Stored("corvane.class", "c"), renamed});
  ASSERT_TRUE(Check()) << error;
  EXPECT_NE(Problems().find("local header names it 'data.exe'"), std::string::npos) << Problems();
}

TEST_F(ReadInstallerTest, APayloadBehindTheWrongLauncherIsAProblem) {
  Pack({{"corvane_uninstall.class", "u"}, {"package/PackageFormat.jar", "j"}}, "setup");
  ASSERT_TRUE(Check()) << error;
  ASSERT_EQ(problems.size(), 1u) << Problems();
  EXPECT_NE(problems[0].find("has no corvane.class"), std::string::npos) << problems[0];
  EXPECT_NE(problems[0].find("an uninstaller payload behind the installer launcher"), std::string::npos) << problems[0];

  Pack({{"corvane.class", "c"}}, "uninstall");
  ASSERT_TRUE(Check()) << error;
  EXPECT_EQ(installer.launcher.kind, LauncherKind::Uninstaller);
  ASSERT_EQ(problems.size(), 1u) << Problems();
  EXPECT_NE(problems[0].find("has no corvane_uninstall.class"), std::string::npos) << problems[0];
}

TEST_F(ReadInstallerTest, ABundledRuntimeMustBeForTheLaunchersProcessor) {
  const std::string own = sizeof(void *) == 8 ? "amd64" : "i386";
  const std::string other = sizeof(void *) == 8 ? "i386" : "amd64";
  Pack({{"corvane.class", "c"}, {"package/jre/bin/java", "#!/bin/sh\n"}, {"package/jre/lib/" + own + "/libjava.so", ""}});
  ASSERT_TRUE(Check()) << error;
  EXPECT_TRUE(problems.empty()) << Problems();
  EXPECT_EQ(DescribeRuntime(installer.runtime, installer.launcher), "yes, for " + own + " (package/jre)");

  Pack({{"corvane.class", "c"}, {"package/jre/bin/java", "#!/bin/sh\n"}, {"package/jre/lib/" + other + "/libjava.so", ""}});
  ASSERT_TRUE(Check()) << error;
  ASSERT_EQ(problems.size(), 1u) << Problems();
  EXPECT_NE(problems[0].find("is for lib/" + other), std::string::npos) << problems[0];
  EXPECT_NE(problems[0].find(sizeof(void *) == 8 ? "32-bit launcher" : "64-bit launcher"), std::string::npos)
      << problems[0];
  EXPECT_EQ(DescribeRuntime(installer.runtime, installer.launcher), "only for " + other + ", which this launcher does not use");
}

TEST(Layout, TheRuntimeRuleFollowsTheLaunchersSearch) {
  LauncherFile l64, l32;
  l64.elfClass = 64;
  l32.elfClass = 32;
  std::string warning;
  auto runtime = [](std::set<std::string> names) { return FindBundledRuntime(names); };

  // A development kit: the runtime in jre/ below package/jre.
  BundledRuntime kit = runtime({"package/jre/jre/bin/java", "package/jre/jre/lib/amd64/libjava.so", "package/jre/lib/tools.jar"});
  EXPECT_EQ(RuntimeProblem(kit, l64, &warning), "");
  EXPECT_EQ(warning, "");
  EXPECT_EQ(kit.usable, std::vector<std::string>{"amd64"});
  EXPECT_NE(RuntimeProblem(kit, l32, &warning), "");

  // Both processors: either launcher finds its own.
  BundledRuntime both = runtime({"package/jre/bin/java", "package/jre/lib/amd64/libjava.so", "package/jre/lib/i386/libjava.so"});
  EXPECT_EQ(RuntimeProblem(both, l64, &warning), "");
  EXPECT_EQ(RuntimeProblem(both, l32, &warning), "");

  // libjava.so without bin/java: the launcher passes it over; a warning, no refusal. The kit
  // layout below it is not looked at, as the launcher does not look at it either.
  BundledRuntime noJava = runtime({"package/jre/lib/amd64/libjava.so", "package/jre/jre/bin/java",
                                   "package/jre/jre/lib/amd64/libjava.so"});
  EXPECT_EQ(RuntimeProblem(noJava, l64, &warning), "");
  EXPECT_NE(warning.find("no bin/java"), std::string::npos) << warning;

  // Something under package/jre that is no runtime.
  EXPECT_EQ(RuntimeProblem(runtime({"package/jre/readme.txt"}), l64, &warning), "");
  EXPECT_NE(warning.find("holds no Java runtime"), std::string::npos) << warning;

  // package/jre-notes.txt is no runtime directory at all; nor is lib/x/y/libjava.so a processor.
  BundledRuntime none = runtime({"package/jre-notes.txt", "package/jre/lib/a/b/libjava.so"});
  EXPECT_TRUE(none.libraries.empty());
  EXPECT_FALSE(runtime({"package/jre-notes.txt"}).present);

  // A processor no launcher of this project runs.
  BundledRuntime arm = runtime({"package/jre/bin/java", "package/jre/lib/aarch64/libjava.so"});
  EXPECT_NE(RuntimeProblem(arm, l64, &warning).find("no launcher of this project runs it"), std::string::npos);
}

}  // namespace
