// Deletion of a tree: what goes, what must stay (anything outside the tree, whatever a symbolic
// link points to, relative and dot paths), deep and wide trees.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/tree_deletion.h"
#include "tree_fixture.h"

using namespace support;
using treefixture::Link;
using treefixture::MkDir;

namespace {

class TreeDeletion : public treefixture::ScratchTree {
 protected:
  // Deletes the tree (named with suffix): it is gone, what holds it stays, and no descriptor is
  // left open.
  void DeleteTree(const std::string &suffix = "") {
    const int before = OpenDescriptors();
    DeleteFilesAndDirectories((tree + suffix).c_str());
    EXPECT_FALSE(Exists(tree)) << suffix;
    EXPECT_TRUE(Exists(base)) << suffix;
    EXPECT_EQ(OpenDescriptors(), before) << "a directory descriptor was left open";
  }
};

TEST_F(TreeDeletion, RemovesFilesDirectoriesLinksAndSpecialFiles) {
  Populate(tree);
  DeleteTree();
}

TEST_F(TreeDeletion, RemovesAPlainFileAndIgnoresAMissingPath) {
  WriteFile(base + "/plain", "x");
  DeleteFilesAndDirectories((base + "/plain").c_str());
  EXPECT_FALSE(Exists(base + "/plain"));
  DeleteFilesAndDirectories((base + "/missing").c_str());
  DeleteFilesAndDirectories(nullptr);
  EXPECT_TRUE(Exists(tree));
}

TEST_F(TreeDeletion, LinksToOutsideDirectoriesGoButTheirTargetsStay) {
  std::string outside = base + "/outside";
  MkDir(outside);
  WriteFile(outside + "/keep", "keep me");
  MkDir(outside + "/sub");
  WriteFile(outside + "/sub/keep", "keep me too");
  MkDir(tree + "/nested");
  Link(outside, tree + "/to-outside");
  Link(outside, tree + "/nested/to-outside");
  Link("../../outside", tree + "/nested/relative-to-outside");
  Link(base, tree + "/to-parent");
  Link(outside + "/keep", tree + "/to-outside-file");
  DeleteTree();
  EXPECT_EQ(ReadFile(outside + "/keep"), "keep me");
  EXPECT_EQ(ReadFile(outside + "/sub/keep"), "keep me too");
}

TEST_F(TreeDeletion, ALinkGivenAsThePathIsRemovedNotFollowed) {
  Populate(tree);
  std::string link = base + "/link";
  for (std::string path : {link, link + "/", link + "//"}) {
    Link(tree, link);
    DeleteFilesAndDirectories(path.c_str());
    EXPECT_FALSE(Exists(link)) << path;
    EXPECT_EQ(ReadFile(tree + "/a/b/c/deep"), "deep") << path;
  }
}

TEST_F(TreeDeletion, TrailingSlashesDeleteTheSameTree) {
  for (const char *suffix : {"/", "//", "///"}) {
    if (!Exists(tree)) MkDir(tree);
    Populate(tree);
    DeleteTree(suffix);
  }
}

TEST_F(TreeDeletion, RelativeAndDotPathsAreNeverDeleted) {
  Populate(tree);
  MkDir(tree + "/inner");
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(base.c_str()), 0);
  const std::vector<std::string> paths = {
      "tree", "./tree", "tree/", "../" + base.substr(base.rfind('/') + 1), tree + "/.",
      tree + "/..", tree + "/inner/..", tree + "/inner/../", tree + "/./", tree + "/inner/..//"};
  for (const std::string &path : paths) {
    DeleteFilesAndDirectories(path.c_str());
    EXPECT_TRUE(Exists(tree + "/a/b/c/deep")) << path;
    EXPECT_TRUE(Exists(tree + "/inner")) << path;
  }
  ASSERT_EQ(chdir(cwd), 0);
}

// Thousands of levels: far more than a descriptor per level or a stack frame per level
// would allow, and far longer than any path the system accepts.
TEST_F(TreeDeletion, CopesWithTreesThousandsOfLevelsDeep) {
  const int kLevels = 5000;
  int fd = open(tree.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kLevels; i++) {
    int file = openat(fd, "f", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    close(file);
    ASSERT_EQ(mkdirat(fd, "d", 0700), 0) << "level " << i;
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0);
    close(fd);
    fd = next;
  }
  ASSERT_EQ(symlinkat(base.c_str(), fd, "up"), 0);
  close(fd);
  DeleteTree();
}

// More entries than one batch from the kernel, some of whose names look like the names under
// which deeper directories are moved up.
TEST_F(TreeDeletion, CopesWithWideDirectoriesAndNameCollisions) {
  for (int i = 0; i < 2000; i++) {
    WriteFile(tree + "/a-rather-long-file-name-to-fill-the-buffer-" + std::to_string(i), "");
  }
  for (const char *name : {".~0", ".~1", ".~2", ".~3"}) {
    MkDir(tree + "/" + name);
    MkDir(tree + "/" + name + "/x");
    MkDir(tree + "/" + name + "/x/y");
    WriteFile(tree + "/" + name + "/x/y/z", "");
  }
  MkDir(tree + "/wide");
  for (int i = 0; i < 300; i++) {
    MkDir(tree + "/wide/d" + std::to_string(i));
    MkDir(tree + "/wide/d" + std::to_string(i) + "/e");
  }
  DeleteTree();
}

}  // namespace
