// Choosing and checking the temporary directory.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "host/temp_dir.h"
#include "host/testing.h"
#include "support.h"

using support::InDirectory;
using support::RunAsNobody;

namespace {

using TempDir = support::ResetTest<ResetTempDirForTesting>;

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
  std::string file = scratch.Write("file");
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


// The directory that fd refers to, by device and inode, is the one at path.
bool Refers(int fd, const std::string &path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// A working directory may be made only where nobody but root and this user can rename anything
// on the way: every directory owned by one of them and, unless sticky, not writable by group or
// others; every link followed owned by one of them too. The first that fails is named.
TEST_F(TempDir, ATrustedDirectoryIsOneNobodyElseCanChangeOrAnythingAboveIt) {
  const std::string dir = scratch.dir();
  scratch.MkDir("private", 0700);
  scratch.MkDir("sticky", 01777);
  scratch.MkDir("open", 0777);
  scratch.MkDir("group", 0775);
  scratch.MkDir("theirs", 0755);
  scratch.MkDir("open/below", 0700);
  ASSERT_EQ(chown((dir + "/theirs").c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink("../private", (dir + "/sticky/roots-link").c_str()), 0);
  ASSERT_EQ(symlink(dir.c_str(), (dir + "/sticky/their-link").c_str()), 0);
  ASSERT_EQ(lchown((dir + "/sticky/their-link").c_str(), 65534, 65534), 0);
  struct Case {
    std::string path;
    std::string target;    // the directory opened, when trusted
    std::string offender;  // the one named, when not
  };
  const Case cases[] = {
      {dir + "/private", dir + "/private", ""},
      {dir + "/sticky", dir + "/sticky", ""},
      {dir + "/sticky/roots-link", dir + "/private", ""},
      {dir + "/private/../sticky/./", dir + "/sticky", ""},
      {dir + "/open", "", dir + "/open"},
      {dir + "/open/below", "", dir + "/open"},
      {dir + "/group", "", dir + "/group"},
      {dir + "/theirs", "", dir + "/theirs"},
      {dir + "/sticky/their-link/private", "", dir + "/sticky/their-link"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    char *offender = nullptr;
    const int fd = OpenTrustedDirectory(c.path.c_str(), &offender);
    if (c.offender.empty()) {
      EXPECT_TRUE(fd >= 0 && Refers(fd, c.target));
      EXPECT_EQ(offender, nullptr);
    } else {
      EXPECT_EQ(fd, -1);
      EXPECT_STREQ(offender, c.offender.c_str());
    }
    if (fd >= 0) close(fd);
    free(offender);
  }
  char *offender = nullptr;
  EXPECT_EQ(OpenTrustedDirectory((dir + "/missing").c_str(), &offender), -1);
  EXPECT_EQ(offender, nullptr) << "a missing directory is no offender";
}

}  // namespace
