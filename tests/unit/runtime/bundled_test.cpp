// The private runtime of the product profile: found under the application home's package/jre,
// or unpacked there from the executable's archive on demand (only the "package/jre" entries),
// with the status line "unzipping_java_files" and its progress. The executable is a plain ZIP
// file made with Info-ZIP zip; the application home starts empty, as the working directory does.
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "archive/zip_util.h"
#include "base/paths.h"
#include "base/product.h"
#include "core/bundled_runtime.h"
#include "core/testing.h"
#include "runtime/discovery.h"
#include "runtime/testing.h"
#include "stand_in.h"
#include "ui/testing.h"

using namespace support;

namespace {

constexpr const char kUnzippingJava[] = "Extracting Java(TM) 2 Runtime Environment files...\n";

class Bundled : public standin::ApplicationHomeTest {
 protected:
  // Zips the payload directory into an executable file and makes it the executable.
  void UseArchive() {
    std::string zip = exe + ".zip";
    Sh("cd " + Quote(payload) + " && zip -q -r -X " + Quote(zip) + " . && mv " + Quote(zip) +
       " " + Quote(exe) + " && chmod 755 " + Quote(exe));
    ASSERT_NE(SetExecName(exe.c_str()), nullptr);
  }

  EnvVar locale{"LC_ALL", "C"};
  std::string payload = dir / "payload";
  std::string exe = dir / "setup";
};

TEST_F(Bundled, UnpacksOnlyThePackageJreEntriesOnDemand) {
  MakeRuntime(payload + "/package/jre", VersionScript("1.4.2"));
  WriteFile(payload + "/package/jre-notes.txt", "notes");
  WriteFile(payload + "/package/PackageFormat.jar", "jar");
  WriteFile(payload + "/corvane.class", "class");
  UseArchive();

  Capture out(1);
  const char *root = GetBundledJREPath();
  std::string shown = out.Finish();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(std::string(root), home + "/package/jre");
  EXPECT_EQ(shown, kUnzippingJava);
  EXPECT_TRUE(Exists(home + "/package/jre/bin/java"));
  EXPECT_TRUE(Exists(home + "/package/jre-notes.txt")) << "the prefix matches it too";
  EXPECT_FALSE(Exists(home + "/package/PackageFormat.jar"));
  EXPECT_FALSE(Exists(home + "/corvane.class"));

  // Found once, it is kept: no second extraction, no second status line.
  Capture again(1);
  EXPECT_EQ(GetBundledJREPath(), root);
  EXPECT_EQ(again.Finish(), "");
}

long long progressClockMs = 0;
// Every reading two seconds after the last: progress is due at every write.
long long SteppingClock() { return progressClockMs += 2000; }

// On a terminal, the unpacking shows its progress against the runtime's own size, not the
// archive's, and erases the line when it is done.
TEST_F(Bundled, UnpackingShowsItsProgressAgainstTheRuntimesSize) {
  MakeRuntime(payload + "/package/jre", VersionScript("1.4.2"));
  WriteFile(payload + "/package/jre/lib/rt.jar", std::string(2500000, 'r'));
  WriteFile(payload + "/package/PackageFormat.jar", std::string(3000000, 'p'));
  UseArchive();
  ShowProgressOnAnyOutputForTesting(true);
  SetProgressClockForTesting(SteppingClock);
  Capture out(1);
  const char *root = GetBundledJREPath();
  std::string shown = out.Finish();
  SetProgressClockForTesting(nullptr);
  ShowProgressOnAnyOutputForTesting(false);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(shown.rfind(std::string(kUnzippingJava) + "\r", 0), 0u) << shown;
  EXPECT_NE(shown.find(" 100%  2/2 MB"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("/5 MB"), std::string::npos) << "the archive's size";
  EXPECT_EQ(shown.back(), '\r') << "the line was not erased";
}

TEST_F(Bundled, AKitInTheArchiveGivesTheRuntimeInsideIt) {
  MakeRuntime(payload + "/package/jre", VersionScript("1.4.2"), true);
  UseArchive();
  Capture out(1);
  const char *root = GetBundledJREPath();
  out.Finish();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(std::string(root), home + "/package/jre/jre");
  EXPECT_TRUE(IsJDK(root));
}

TEST_F(Bundled, ARuntimeAlreadyInTheApplicationHomeIsUsedWithoutExtraction) {
  MakeRuntime(payload + "/package/jre", VersionScript("1.4.2"));
  UseArchive();
  MakeRuntime(home + "/package/jre", VersionScript("1.4.2"));
  Capture out(1);
  const char *root = GetBundledJREPath();
  EXPECT_EQ(out.Finish(), "");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(std::string(root), home + "/package/jre");
}

TEST_F(Bundled, NoRuntimeIsNotRememberedAndIsSoughtAgain) {
  WriteFile(payload + "/corvane.class", "class");
  UseArchive();
  Capture out(1);
  EXPECT_EQ(GetBundledJREPath(), nullptr);
  EXPECT_EQ(GetBundledJREPath(), nullptr);
  // The archive has no package/jre entries: nothing is unpacked and no line claims it.
  EXPECT_EQ(out.Finish(), "");
  EXPECT_FALSE(Exists(home + "/corvane.class"));
  EXPECT_FALSE(HasBundledJREEntries());
}

TEST_F(Bundled, AnExecutableWithoutArchiveGivesNoRuntimeAndNoMessage) {
  WriteFile(exe, "#!/bin/sh\nexit 0\n", 0755);
  ASSERT_NE(SetExecName(exe.c_str()), nullptr);
  Capture out(1);
  EXPECT_EQ(GetBundledJREPath(), nullptr);
  EXPECT_EQ(out.Finish(), "");
  EXPECT_FALSE(HasBundledJREEntries());
}

TEST_F(Bundled, HasBundledJREEntriesLooksAtNamesOnly) {
  WriteFile(payload + "/package/jre/README", "no runtime, just a file");
  UseArchive();
  EXPECT_TRUE(HasBundledJREEntries());
}

// The start-up's first pass answers the profile too: once it has walked the archive, whether
// there are package/jre entries is known without opening the archive again.
TEST_F(Bundled, TheFirstPassTellsWhetherThereAreRuntimeEntries) {
  WriteFile(payload + "/package/jre/README", "no runtime, just a file");
  WriteFile(payload + "/corvane.class", "class");
  UseArchive();
  jzfile *zip = zipOpen(exe.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  unsigned long long total = 0;
  EXPECT_TRUE(SurveyExecutableArchive(zip, &total));
  zipClose(zip);
  EXPECT_EQ(total, 28u);
  ASSERT_EQ(unlink(exe.c_str()), 0);
  EXPECT_TRUE(HasBundledJREEntries());

}

TEST_F(Bundled, TheSearchSelectsTheUnpackedRuntime) {
  MakeRuntime(payload + "/package/jre", VersionScript("1.4.2"));
  UseArchive();
  EnvVar path("PATH", nullptr);
  EnvVar javaHome("JAVA_HOME", nullptr);
  SetUsrJavaDirForTesting((dir / "no-usr-java").c_str());
  SetBundledJRELookup(GetBundledJREPath);  // as the start-up does
  Capture out(1);
  std::unique_ptr<char, decltype(&free)> root(GetPublicJREPath(), free);
  EXPECT_EQ(out.Finish(), kUnzippingJava);
  SetBundledJRELookup(nullptr);
  SetUsrJavaDirForTesting(nullptr);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(std::string(root.get()), home + "/package/jre");
}

TEST(BundledLibraryPath, IsTheApplicationHomesPackageDirectory) {
  ResetPathsForTesting();
  ResetProfileForTesting();
  EXPECT_EQ(GetBundledLibraryPath(), nullptr);
  SetApplicationHome(strdup("/tmp/setupk3J9aQ"));
  ASSERT_NE(GetBundledLibraryPath(), nullptr);
  EXPECT_STREQ(GetBundledLibraryPath(), "/tmp/setupk3J9aQ/package");
  // Made once: a later application home does not change it.
  SetApplicationHome(strdup("/elsewhere"));
  EXPECT_STREQ(GetBundledLibraryPath(), "/tmp/setupk3J9aQ/package");
  ResetProfileForTesting();
  ResetPathsForTesting();
}

}  // namespace
