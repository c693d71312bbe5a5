// A scratch tree for the tests of the deletion and of the clean-up that runs it: a directory
// under /tmp holding "tree", removed with everything in it at the end of the test, and files,
// links of every kind and a FIFO to fill it with.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace treefixture {

inline bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline void Write(const std::string &path, const std::string &content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

inline void MkDir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path; }

inline void Link(const std::string &target, const std::string &path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

class ScratchTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cleanup-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base = tmpl;
    tree = base + "/tree";
    MkDir(tree);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + base + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // Files, empty and nested directories, links of every kind and a FIFO.
  void Populate(const std::string &dir) {
    Write(dir + "/file", "data");
    MkDir(dir + "/empty");
    MkDir(dir + "/a");
    MkDir(dir + "/a/b");
    MkDir(dir + "/a/b/c");
    Write(dir + "/a/b/c/deep", "deep");
    Write(dir + "/a/b/sibling", "x");
    Link("file", dir + "/link-to-file");
    Link("/nonexistent/target", dir + "/dangling");
    Link(".", dir + "/a/loop");
    ASSERT_EQ(mkfifo((dir + "/a/fifo").c_str(), 0600), 0);
  }

  std::string base, tree;
};

}  // namespace treefixture
