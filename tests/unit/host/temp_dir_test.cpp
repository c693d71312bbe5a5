// Choosing and checking the temporary directory.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "host/temp_dir.h"
#include "testing/hooks.h"
#include "scratch.h"

using testsupport::InDirectory;
using testsupport::RunAsNobody;
using testsupport::Scratch;

namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override { ResetTempDirForTesting(); }
  void TearDown() override { ResetTempDirForTesting(); }
  Scratch scratch;
};

TEST_F(TempDir, DefaultIsTmpWhateverTheEnvironmentSays) {
  setenv("TMPDIR", scratch.dir().c_str(), 1);
  EXPECT_STREQ(GetTempDir(), "/tmp");
  unsetenv("TMPDIR");
}

TEST_F(TempDir, RelativeDirectoryIsRecordedAbsoluteWithoutNormalising) {
  scratch.MkDir("build/tmp");
  InDirectory(scratch.dir(), [&] {
    EXPECT_TRUE(SetTempDir("build/tmp"));
    EXPECT_EQ(std::string(GetTempDir()), scratch.dir() + "/build/tmp");
    EXPECT_TRUE(SetTempDir("build/../build/tmp/"));
    EXPECT_EQ(std::string(GetTempDir()), scratch.dir() + "/build/../build/tmp/");
  });
}

TEST_F(TempDir, RefusalsKeepThePreviousDirectory) {
  std::string good = scratch.MkDir("good");
  std::string file = scratch.File("file");
  ASSERT_TRUE(SetTempDir(good.c_str()));
  EXPECT_FALSE(SetTempDir(file.c_str()));
  EXPECT_FALSE(SetTempDir(scratch.Path("missing").c_str()));
  EXPECT_EQ(std::string(GetTempDir()), good);
}

TEST_F(TempDir, DirectoryWithoutWriteOrSearchPermissionIsRefusedForTheUser) {
  std::string readOnly = scratch.MkDir("ro", 0555);
  std::string noSearch = scratch.MkDir("nosearch", 0666);
  std::string open = scratch.MkDir("open", 0777);
  auto accepted = [](const std::string &d) {
    return RunAsNobody([d] { return SetTempDir(d.c_str()) ? 1 : 0; });
  };
  EXPECT_EQ(accepted(readOnly), 0);
  EXPECT_EQ(accepted(noSearch), 0);
  EXPECT_EQ(accepted(open), 1);
}

TEST_F(TempDir, RelativePathWithoutCurrentDirectoryIsRefused) {
  std::string gone = scratch.MkDir("gone");
  InDirectory(gone, [&] {
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    EXPECT_FALSE(SetTempDir("x"));
    EXPECT_TRUE(SetTempDir("/tmp"));
  });
}

}  // namespace
