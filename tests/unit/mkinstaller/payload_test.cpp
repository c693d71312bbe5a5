// The payload walk: sorted names with directories, links stored as what they point to, and a
// refusal naming the file for every link, file type and limit the launcher cannot live with.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload.h"
#include "support.h"

namespace {

class PayloadWalk : public ::testing::Test {
 protected:
  support::Sandbox scratch;
  std::string root = scratch.MkDir("p");
  Payload payload;
  std::string error;

  void Link(const std::string &target, const std::string &rel) {
    ASSERT_EQ(symlink(target.c_str(), scratch.Path("p/" + rel).c_str()), 0) << rel;
  }
  bool Read(const ArchiveLimits &limits = ArchiveLimits()) { return ReadPayload(root, limits, &payload, &error); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const PayloadEntry &e : payload.entries) names.push_back(e.name);
    return names;
  }
  const PayloadEntry *Find(const std::string &name) const {
    for (const PayloadEntry &e : payload.entries)
      if (e.name == name) return &e;
    return nullptr;
  }
};

TEST_F(PayloadWalk, EntriesAreSortedBytewiseWithTheirDirectories) {
  scratch.Write("p/corvane.class", "c");
  scratch.MkDir("p/package/empty");
  scratch.Write("p/package/B", "bb");
  scratch.Write("p/package/a", "a");
  scratch.Write("p/package.txt", "t");
  scratch.Write("p/\xc3\xa9t\xc3\xa9", "u");
  struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, scratch.Path("p/package/a").c_str(), times, 0), 0);
  ASSERT_TRUE(Read()) << error;
  EXPECT_EQ(Names(), (std::vector<std::string>{"corvane.class", "package.txt", "package/", "package/B", "package/a",
                                               "package/empty/", "\xc3\xa9t\xc3\xa9"}));
  EXPECT_EQ(payload.files, 5);
  EXPECT_EQ(payload.directories, 2);
  EXPECT_EQ(payload.links, 0);
  EXPECT_EQ(payload.totalSize, 6u);
  ASSERT_NE(Find("package/a"), nullptr);
  EXPECT_EQ(Find("package/a")->mtime, 1700000000);
  EXPECT_EQ(Find("package/B")->size, 2);
  EXPECT_EQ(Find("package/B")->display, root + "/package/B");
}

TEST_F(PayloadWalk, LinksInsideThePayloadAreStoredAsWhatTheyPointTo) {
  scratch.Write("p/corvane.class", "c");
  scratch.MkDir("p/real/sub");
  scratch.Write("p/real/lib.so", "library");
  scratch.Write("p/real/sub/x", "xx");
  Link("real/lib.so", "lib.so");           // to a file
  Link("real", "alias");                   // to a directory, walked under the link's name
  Link(scratch.Path("p/real/sub/x"), "abs");  // absolute, but inside
  ASSERT_TRUE(Read()) << error;
  EXPECT_EQ(Names(), (std::vector<std::string>{"abs", "alias/", "alias/lib.so", "alias/sub/", "alias/sub/x",
                                               "corvane.class", "lib.so", "real/", "real/lib.so", "real/sub/",
                                               "real/sub/x"}));
  EXPECT_EQ(payload.links, 3);
  const PayloadEntry *lib = Find("lib.so");
  ASSERT_NE(lib, nullptr);
  EXPECT_FALSE(lib->directory);
  EXPECT_EQ(lib->size, 7);
  EXPECT_EQ(lib->source.substr(lib->source.size() - 12), "/real/lib.so");
  // alias was no loop (real is no ancestor of it); a link up into a directory that holds it is.
  Link("../../real", "real/sub/up");
  EXPECT_FALSE(Read());
  EXPECT_NE(error.find("/sub/up' points to '../../real'"), std::string::npos) << error;
  EXPECT_NE(error.find("never end"), std::string::npos) << error;
}

TEST_F(PayloadWalk, LinksThatDangleLeaveOrLoopAreRefusedByName) {
  struct Case {
    std::string target, rel, expected;
  };
  scratch.Write("outside.txt", "o");
  scratch.MkDir("p/d");
  const Case cases[] = {
      {"missing.txt", "d/dangling", "points to 'missing.txt', which does not exist"},
      {"../../outside.txt", "d/out", "outside the payload"},
      {"/etc", "d/etc", "outside the payload"},
      {"..", "d/parent", "never end"},
      {".", "d/self", "never end"},
      {"loop2", "d/loop1", "loop of links"},
      // A chain: d/a and d/b stay inside, d/c is the link that leaves, and the one named.
      {"b", "d/a", "points to '/etc', outside the payload"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(system(("rm -rf '" + scratch.Path("p/d") + "' && mkdir '" + scratch.Path("p/d") + "'").c_str()), 0);
    Link(c.target, c.rel);
    if (c.rel == "d/loop1") Link("loop1", "d/loop2");
    if (c.rel == "d/a") {
      Link("../d/./c", "d/b");
      Link("/etc", "d/c");
    }
    EXPECT_FALSE(Read()) << c.rel;
    const std::string named = c.rel == "d/a" ? "d/c" : c.rel;
    EXPECT_NE(error.find("'" + root + "/" + named + "'"), std::string::npos) << error;
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  }
}

TEST_F(PayloadWalk, SpecialFilesUnreadableDirectoriesAndMissingPayloadsAreRefused) {
  ASSERT_EQ(mkfifo(scratch.Path("p/fifo").c_str(), 0644), 0);
  EXPECT_FALSE(Read());
  EXPECT_NE(error.find("'" + root + "/fifo': it is a named pipe"), std::string::npos) << error;
  unlink(scratch.Path("p/fifo").c_str());

  scratch.MkDir("p/locked", 0700);
  scratch.Write("p/locked/f", "f");
  int status = support::RunAsNobody([&] {
    Payload p;
    std::string e;
    return !ReadPayload(root, ArchiveLimits(), &p, &e) && e.find("cannot read the directory '" + root + "/locked'") == 0 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);

  EXPECT_FALSE(ReadPayload(scratch.Path("none"), ArchiveLimits(), &payload, &error));
  EXPECT_NE(error.find("no such directory"), std::string::npos) << error;
  scratch.Write("plain", "x");
  EXPECT_FALSE(ReadPayload(scratch.Path("plain"), ArchiveLimits(), &payload, &error));
  EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
}

TEST_F(PayloadWalk, LimitsAreRefusedWithTheCountOrSizeAndTheLimit) {
  for (int i = 0; i < 6; i++) scratch.Write("p/f" + std::to_string(i), std::string(static_cast<size_t>(i) * 10, 'x'));
  scratch.MkDir("p/d");
  ArchiveLimits limits;
  limits.maxEntries = 7;
  EXPECT_TRUE(Read(limits)) << error;
  limits.maxEntries = 6;
  EXPECT_FALSE(Read(limits));
  EXPECT_NE(error.find("has 7 entries"), std::string::npos) << error;
  EXPECT_NE(error.find("at most 6"), std::string::npos) << error;

  limits = ArchiveLimits();
  limits.maxEntrySize = 49;
  EXPECT_FALSE(Read(limits));
  EXPECT_NE(error.find("'" + root + "/f5': it is 50 bytes"), std::string::npos) << error;
  EXPECT_NE(error.find("at most 49 bytes"), std::string::npos) << error;

  // Links to directories multiply a payload without a loop; the walk stops counting.
  ASSERT_EQ(system(("rm -rf '" + root + "'/*").c_str()), 0);
  scratch.MkDir("p/l0");
  scratch.Write("p/l0/f", "f");
  for (int i = 1; i < 12; i++) {
    const std::string dir = "l" + std::to_string(i), below = "../l" + std::to_string(i - 1);
    scratch.MkDir("p/" + dir);
    Link(below, dir + "/a");
    Link(below, dir + "/b");
  }
  limits = ArchiveLimits();
  limits.maxEntries = 100;
  EXPECT_FALSE(Read(limits));
  EXPECT_NE(error.find("has more than"), std::string::npos) << error;
}

}  // namespace
