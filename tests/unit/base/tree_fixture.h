// A scratch tree for the tests of the deletion and of the clean-up that runs it: "tree" in a
// sandbox, and files, links of every kind and a FIFO to fill it with.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support.h"

namespace treefixture {

inline void MkDir(const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path; }

inline void Link(const std::string &target, const std::string &path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

class ScratchTree : public ::testing::Test {
 protected:
  void SetUp() override { MkDir(tree); }

  // Files, empty and nested directories, links of every kind and a FIFO.
  void Populate(const std::string &dir) {
    support::WriteFile(dir + "/file", "data");
    MkDir(dir + "/empty");
    MkDir(dir + "/a");
    MkDir(dir + "/a/b");
    MkDir(dir + "/a/b/c");
    support::WriteFile(dir + "/a/b/c/deep", "deep");
    support::WriteFile(dir + "/a/b/sibling", "x");
    Link("file", dir + "/link-to-file");
    Link("/nonexistent/target", dir + "/dangling");
    Link(".", dir + "/a/loop");
    ASSERT_EQ(mkfifo((dir + "/a/fifo").c_str(), 0600), 0);
  }

  support::Sandbox scratch;
  std::string base = scratch.dir(), tree = base + "/tree";
};

}  // namespace treefixture
