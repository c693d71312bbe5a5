// Extraction into a directory: the tree that comes out, directory entries, files in the way,
// the prefix filter, long paths, and the refusals that keep a damaged or hostile archive from
// becoming a silently broken installation or writing outside the output directory.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/extract.h"
#include "archive/testing.h"
#include "archive/zip_internal.h"
#include "archive_test.h"

using namespace support;
using namespace ziptest;

namespace {

class Extract : public ArchiveTest {
 protected:
  jboolean Unzip(const std::string &out, const char *prefix = nullptr) {
    return UnzipFiles(zip, out.c_str(), prefix);
  }
};

TEST_F(Extract, ZippedTreeComesOutIdentical) {
  scratch.MkDir("payload/package/jre/bin");
  scratch.MkDir("payload/package/empty-dir");
  scratch.Write("payload/corvane.class", Noise(4000, 1));
  scratch.Write("payload/package/PackageFormat.jar", Noise(70000, 2) + std::string(70000, 'x'));
  scratch.Write("payload/package/jre/bin/java", "#!/bin/sh\n", 0755);
  scratch.Write("payload/package/zero", "");
  scratch.Write("payload/package/jre/\xe6\x97\xa5\xe6\x9c\xac.txt", "utf-8 name");
  const std::string dir = scratch.dir();
  Sh("cd '" + dir + "/payload' && zip -qr ../deflated.zip . && zip -qr0 ../stored.zip .");
  const auto want = Tree(dir + "/payload");
  ASSERT_EQ(want.size(), 9u);
  for (const char *name : {"deflated.zip", "stored.zip"}) {
    SCOPED_TRACE(name);
    ASSERT_NE(OpenFile(dir + "/" + name), nullptr);
    const std::string out = dir + "/out-" + name;
    ASSERT_TRUE(Unzip(out));
    EXPECT_EQ(Tree(out), want);
    // No modes from the archive: the shell script is as private as everything else.
    struct stat st;
    ASSERT_EQ(stat((out + "/package/jre/bin/java").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    ASSERT_EQ(stat((out + "/package").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    // Extracting again over the same tree, with a file grown in between, restores it exactly.
    scratch.Write(std::string("out-") + name + "/corvane.class", std::string(9000, '!'));
    ASSERT_TRUE(Unzip(out));
    EXPECT_EQ(Tree(out), want);
  }
}

TEST_F(Extract, DirectoryEntriesAndLeadingDirectoriesAreCreated) {
  ASSERT_NE(Open({Stored("a/b/", ""), Stored("f", "top"), Stored("x/y/z/deep", "deep"),
                  Stored("/rooted", "inside")}),
            nullptr);
  const std::string out = scratch.Path("out");  // does not exist yet
  ASSERT_TRUE(Unzip(out));
  EXPECT_EQ(Tree(out), (std::map<std::string, std::string>{
                           {"a", "<dir>"},
                           {"a/b", "<dir>"},
                           {"f", "top"},
                           {"x", "<dir>"},
                           {"x/y", "<dir>"},
                           {"x/y/z", "<dir>"},
                           {"x/y/z/deep", "deep"},
                           {"rooted", "inside"},
                       }));
  EXPECT_FALSE(Exists("/rooted"));
}

TEST_F(Extract, FilesInTheWayOfDirectoriesAreReplaced) {
  ASSERT_NE(Open({Stored("a/b", "bee")}), nullptr);
  const std::string out = scratch.MkDir("out");
  scratch.Write("out/a", "a regular file");
  ASSERT_TRUE(Unzip(out));
  EXPECT_TRUE(IsDir(out + "/a"));
  EXPECT_EQ(ReadFile(out + "/a/b"), "bee");

  // The output directory itself, when it is a file.
  const std::string asFile = scratch.Write("plain-file", "x");
  ASSERT_TRUE(Unzip(asFile));
  EXPECT_TRUE(IsDir(asFile));
  EXPECT_EQ(ReadFile(asFile + "/a/b"), "bee");
}

TEST_F(Extract, EntriesOfTheSameArchiveReplaceEachOthersFiles) {
  // A file written by one entry is in the way of the next one's directory; directories made
  // for one entry serve the next ones, also after an entry elsewhere.
  ASSERT_NE(Open({Stored("a", "file first"), Stored("a/b", "then a directory"), Stored("x/y/", ""),
                  Stored("x/y/z", "z"), Stored("q", "q"), Stored("x/y/w", "w"), Stored("x/v", "v")}),
            nullptr);
  const std::string out = scratch.Path("out");
  ASSERT_TRUE(Unzip(out));
  EXPECT_EQ(Tree(out), (std::map<std::string, std::string>{
                           {"a", "<dir>"},
                           {"a/b", "then a directory"},
                           {"q", "q"},
                           {"x", "<dir>"},
                           {"x/v", "v"},
                           {"x/y", "<dir>"},
                           {"x/y/w", "w"},
                           {"x/y/z", "z"},
                       }));
  // A later extraction checks the directories again: one replaced by a file in between is
  // made a directory once more.
  Sh("rm -rf '" + out + "/x' && echo file > '" + out + "/x'");
  ASSERT_NE(Open({Stored("x/y/z", "z again")}, "again.zip"), nullptr);
  ASSERT_TRUE(Unzip(out));
  EXPECT_EQ(ReadFile(out + "/x/y/z"), "z again");
}

TEST_F(Extract, LinksOnTheWayAreNotFollowed) {
  ASSERT_NE(Open({Stored("a/b", "bee"), Stored("c", "sea")}), nullptr);
  const std::string outside = scratch.MkDir("outside");
  const std::string out = scratch.MkDir("out");
  ASSERT_EQ(symlink(outside.c_str(), (out + "/a").c_str()), 0);
  ASSERT_TRUE(Unzip(out));
  EXPECT_TRUE(IsDir(out + "/a"));
  EXPECT_EQ(ReadFile(out + "/a/b"), "bee");
  EXPECT_TRUE(Tree(outside).empty());

  // A link in a file's place fails the extraction and leaves its target alone.
  const std::string target = scratch.Write("target", "untouched");
  const std::string out2 = scratch.MkDir("out2");
  ASSERT_EQ(symlink(target.c_str(), (out2 + "/c").c_str()), 0);
  EXPECT_FALSE(Unzip(out2));
  EXPECT_EQ(ReadFile(target), "untouched");
}

TEST_F(Extract, PrefixSelectsEntriesBytewise) {
  ASSERT_NE(Open({Stored("package/jre/bin/java", "java"), Stored("package/jre-notes.txt", "notes"),
                  Stored("package/lib/z", "z"), Stored("Package/jre/x", "case"),
                  Stored("corvane.class", "c")}),
            nullptr);
  const std::string out = scratch.Path("home");
  ASSERT_TRUE(Unzip(out, "package/jre"));
  EXPECT_EQ(Tree(out), (std::map<std::string, std::string>{
                           {"package", "<dir>"},
                           {"package/jre", "<dir>"},
                           {"package/jre/bin", "<dir>"},
                           {"package/jre/bin/java", "java"},
                           {"package/jre-notes.txt", "notes"},
                       }));
  // Nothing matches: nothing is created, not even the output directory.
  const std::string none = scratch.Path("none");
  ASSERT_TRUE(Unzip(none, "nothing/"));
  EXPECT_FALSE(Exists(none));
  // The archive's entry cache holds the entry handled last.
  ASSERT_NE(zip->cache, nullptr);
  EXPECT_STREQ(zip->cache->name, "corvane.class");
}

// The pass before the extraction: it reads every local header, sums the declared sizes and sees
// the subtree the extraction would select, and it finds the damage that the extraction would
// meet only halfway, while nothing is written yet.
TEST_F(Extract, TheSurveySumsTheSizesAndSeesTheSubtreeBeforeAnythingIsWritten) {
  ASSERT_NE(Open({Stored("corvane.class", "class"), Deflated("package/jre/lib/x", Noise(5000, 5)),
                  Stored("package/jre-notes.txt", "")}),
            nullptr);
  ArchiveSurvey survey;
  ASSERT_TRUE(SurveyArchive(zip, "package/jre/", &survey));
  EXPECT_EQ(survey.totalSize, 5005u);
  EXPECT_TRUE(survey.hasSubdirEntries);
  EXPECT_EQ(survey.subdirSize, 5000u);
  ASSERT_TRUE(SurveyArchive(zip, "Package/jre", &survey));  // bytewise, as UnzipFiles
  EXPECT_FALSE(survey.hasSubdirEntries);
  ASSERT_TRUE(SurveyArchive(zip, nullptr, &survey));
  EXPECT_FALSE(survey.hasSubdirEntries);

  // A size that cannot be right fails the survey; the names after it are still seen.
  Entry negative = Stored("big", "b");
  negative.size = 0x80000000u;
  ASSERT_NE(Open({negative, Stored("package/jre/bin/java", "j")}), nullptr);
  EXPECT_FALSE(SurveyArchive(zip, "package/jre", &survey));
  EXPECT_TRUE(survey.hasSubdirEntries);

  // A local header that cannot be read ends the walk there.
  Layout bad = Build({Stored("first", "1"), Stored("package/jre/x", "2")});
  bad.bytes[bad.loc[1] + 2] = 'X';
  WriteFile(scratch.Path("badloc.zip"), bad.bytes);
  ASSERT_NE(OpenFile(scratch.Path("badloc.zip")), nullptr);
  EXPECT_FALSE(SurveyArchive(zip, "package/jre", &survey));
  EXPECT_FALSE(survey.hasSubdirEntries);
  EXPECT_FALSE(Exists(scratch.Path("first")));
}

// Local headers may overlap, so the entries' names can take far more memory than the archive
// holds; beyond 16 MiB of them nothing of the headers is kept and each pass reads the ones it
// needs itself.
TEST_F(Extract, ThePassesSeeEveryEntryAlsoWhenTheNamesAreTooManyToKeep) {
  std::vector<Entry> entries(300, Stored("package/jre/" + std::string(60000, 'n'), "shared"));
  for (size_t i = 1; i < entries.size(); i++) {
    entries[i].differentName = true;  // one local header for all, under the same name
    entries[i].localName = "x";
    entries[i].overrideOffset = true;
  }
  ASSERT_NE(Open(entries), nullptr);
  ArchiveSurvey survey;
  ASSERT_TRUE(SurveyArchive(zip, "package/jre/", &survey));
  EXPECT_EQ(survey.totalSize, 300u * 6);
  EXPECT_TRUE(survey.hasSubdirEntries);
}

TEST_F(Extract, EmptyArchiveAndNullArgumentsCreateNothing) {
  WriteFile(scratch.Path("empty.zip"), Build({}, "launcher image").bytes);
  ASSERT_NE(OpenFile(scratch.Path("empty.zip")), nullptr);
  const std::string out = scratch.Path("out");
  EXPECT_TRUE(Unzip(out));
  EXPECT_FALSE(Exists(out));
  EXPECT_FALSE(UnzipFiles(zip, nullptr, nullptr));
  EXPECT_FALSE(UnzipFiles(nullptr, out.c_str(), nullptr));
  EXPECT_FALSE(Exists(out));
}

TEST_F(Extract, ParentComponentsAreRefused) {
  const std::string out = scratch.MkDir("deep/out");
  for (const char *name : {"../evil", "a/../../evil", "a/..", "..", "a/../b", "/../evil",
                           "a//../evil"}) {
    SCOPED_TRACE(name);
    ASSERT_NE(Open({Stored("before", "ok"), Stored(name, "evil"), Stored("after", "late")}),
              nullptr);
    EXPECT_FALSE(Unzip(out));
    EXPECT_EQ(ReadFile(out + "/before"), "ok");
    EXPECT_FALSE(Exists(out + "/after"));  // extraction stops at the refused entry
    EXPECT_FALSE(Exists(scratch.Path("deep/evil")));
    EXPECT_FALSE(Exists(scratch.Path("evil")));
    EXPECT_FALSE(Exists(out + "/b"));
  }
  // Dots that are not a parent component are ordinary names.
  ASSERT_NE(Open({Stored("..a", "1"), Stored("a..", "2"), Stored(".../x", "3"),
                  Stored("b/..c/d", "4")}),
            nullptr);
  const std::string ok = scratch.Path("ok");
  ASSERT_TRUE(Unzip(ok));
  EXPECT_EQ(ReadFile(ok + "/..a"), "1");
  EXPECT_EQ(ReadFile(ok + "/a.."), "2");
  EXPECT_EQ(ReadFile(ok + "/.../x"), "3");
  EXPECT_EQ(ReadFile(ok + "/b/..c/d"), "4");
}

TEST_F(Extract, CorruptedEntriesFailTheExtraction) {
  scratch.MkDir("payload");
  scratch.Write("payload/first", Noise(30000, 3));
  scratch.Write("payload/second", std::string(200000, 's') + Noise(1000, 4));
  Sh("cd '" + scratch.dir() + "/payload' && zip -q ../good.zip first second");
  std::string bytes = ReadFile(scratch.Path("good.zip"));

  // A damaged download: one byte of the second entry's compressed data changed.
  std::string damaged = bytes;
  const size_t second = damaged.find("PK\3\4", 4);
  ASSERT_NE(second, std::string::npos);
  const unsigned char *loc = reinterpret_cast<const unsigned char *>(damaged.data()) + second;
  const size_t data = second + 30 + zipfmt::Get16(loc + 26) + zipfmt::Get16(loc + 28);
  damaged[data + 40] ^= 0x01;
  WriteFile(scratch.Path("damaged.zip"), damaged);
  ASSERT_NE(OpenFile(scratch.Path("damaged.zip")), nullptr);
  const std::string out = scratch.Path("out");
  EXPECT_FALSE(Unzip(out));
  EXPECT_EQ(zip->writeErrno, 0) << "bad data is no write failure";
  EXPECT_EQ(ReadFile(out + "/first"), Noise(30000, 3));

  // A local header that cannot be read: the entries after it would silently be missing.
  std::string badLoc = bytes;
  badLoc[second + 2] = 'X';
  WriteFile(scratch.Path("badloc.zip"), badLoc);
  ASSERT_NE(OpenFile(scratch.Path("badloc.zip")), nullptr);
  EXPECT_FALSE(Unzip(scratch.Path("out2")));
  EXPECT_EQ(ReadFile(scratch.Path("out2/first")), Noise(30000, 3));
  EXPECT_FALSE(Exists(scratch.Path("out2/second")));
}

// An extraction that fails because the file system stops taking data (here the file size
// limit, with SIGXFSZ ignored) says so in writeErrno; the next extraction starts clean.
TEST_F(Extract, AFailedWriteIsToldFromBadData) {
  ASSERT_NE(
      Open({Stored("small", "s"), Deflated("dir/big", Noise(200000, 9)), Stored("after", "a")}),
      nullptr);
  const std::string out = scratch.Path("out");
  jboolean ok;
  {
    FileSizeLimit limit(100000);
    ok = Unzip(out);
  }
  const int error = zip->writeErrno;
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, EFBIG);
  EXPECT_STREQ(zip->msg, zipmsg::kWriteFailed);
  EXPECT_FALSE(Exists(out + "/after"));

  ASSERT_TRUE(Unzip(scratch.Path("again")));
  EXPECT_EQ(zip->writeErrno, 0);
}

TEST_F(Extract, LongPathsGrowTheBuffer) {
  // Components of 200 bytes; the system refuses paths from 4,096 bytes on.
  std::string fits, tooLong;
  while (fits.size() < 3600) fits += std::string(199, 'd') + "/";
  fits += "file";
  tooLong = fits;
  while (tooLong.size() < 4500) tooLong = std::string(199, 'e') + "/" + tooLong;
  ASSERT_NE(Open({Stored(fits, "fits")}), nullptr);
  const std::string out = scratch.MkDir("o");
  ASSERT_LT(out.size() + 1 + fits.size(), 4096u);
  ASSERT_TRUE(Unzip(out));
  EXPECT_EQ(ReadFile(out + "/" + fits), "fits");

  // A name whose path outgrows the initial buffer is formatted whole and then refused by the
  // system; the extraction fails instead of writing a cut path.
  ASSERT_NE(Open({Stored(tooLong, "long"), Stored("after", "a")}), nullptr);
  EXPECT_FALSE(Unzip(out));
  EXPECT_FALSE(Exists(out + "/after"));
}

}  // namespace

// Large archives are written by several worker processes; what comes out must be what writing
// the entries in order gives, and an archive whose result depends on the order must be written
// in order.
class ExtractByWorkers : public Extract {
 protected:
  void TearDown() override {
    SetMaxExtractionWorkers(0);
    FoldNamesForTesting(false);
    // Every worker was reaped: this process has no children left.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    Extract::TearDown();
  }
  // An archive of the given entries followed by enough data to make workers worth it.
  std::vector<Entry> Large(std::vector<Entry> entries) {
    for (int i = 0; i < 6; i++)
      entries.push_back(Stored("bulk/part" + std::to_string(i), Noise(1 << 20, 40 + i)));
    return entries;
  }
  // Extracts into out with up to `workers` processes; the number started goes to *started.
  jboolean UnzipWith(int workers, const std::string &out, int *started,
                     const char *prefix = nullptr) {
    SetMaxExtractionWorkers(workers);
    const jboolean ok = Unzip(out, prefix);
    *started = ExtractionWorkersForTesting();
    return ok;
  }
};

TEST_F(ExtractByWorkers, WriteTheTreeThatWritingInOrderGives) {
  std::vector<Entry> entries = {Stored("package/", ""), Stored("package/jre/bin/", ""),
                                Stored("package/zero", ""),
                                Stored("package/\xe6\x97\xa5\xe6\x9c\xac.txt", "utf-8 name")};
  for (int i = 0; i < 120; i++) {
    const std::string dir = i % 3 == 0 ? "package/jre/lib/" : "data/d" + std::to_string(i % 7) + "/";
    entries.push_back(Deflated(dir + "f" + std::to_string(i),
                               std::string(static_cast<size_t>(i) * 997, 'a' + i % 26) +
                                   Noise(static_cast<size_t>(i) * 31, i)));
  }
  entries.push_back(Deflated("package/jre/lib/huge", std::string(3 << 20, 'h') + Noise(5000, 7)));
  ASSERT_NE(Open(Large(entries)), nullptr);

  int started = -1;
  const std::string inOrder = scratch.Path("in-order"), byWorkers = scratch.Path("by-workers");
  ASSERT_TRUE(UnzipWith(1, inOrder, &started));
  EXPECT_EQ(started, 0);
  ASSERT_TRUE(UnzipWith(4, byWorkers, &started));
  EXPECT_EQ(started, 4);
  const auto want = Tree(inOrder);
  // package, package/jre, its bin and lib, data and its seven directories, bulk; 129 files.
  EXPECT_EQ(want.size(), 13u + 129);
  EXPECT_EQ(Tree(byWorkers), want);

  // The private runtime's subtree alone, as the runtime search unpacks it.
  const std::string jreInOrder = scratch.Path("jre-in-order"), jreByWorkers = scratch.Path("jre");
  ASSERT_TRUE(UnzipWith(1, jreInOrder, &started, "package/jre/"));
  ASSERT_TRUE(UnzipWith(2, jreByWorkers, &started, "package/jre/"));
  EXPECT_EQ(started, 2);
  EXPECT_EQ(Tree(jreByWorkers), Tree(jreInOrder));
  EXPECT_FALSE(Exists(jreByWorkers + "/bulk"));

  // Extracting again over the tree restores files changed in between.
  scratch.Write("by-workers/package/zero", "not empty any more");
  ASSERT_TRUE(UnzipWith(4, byWorkers, &started));
  EXPECT_EQ(Tree(byWorkers), want);
}

// The survey before the extraction reads every local header; while the archive stays open, the
// extraction takes them from what it found, in order and by workers alike. Here the headers
// are broken on disk after the survey, which a second reading would refuse.
TEST_F(ExtractByWorkers, TheLocalHeadersAreReadOnceForEveryPass) {
  const std::string path = scratch.Path("once.zip");
  const Layout layout = Build(Large({Deflated("a/x", Noise(5000, 1)), Stored("b", "b")}));
  for (int workers : {1, 2}) {
    SCOPED_TRACE(workers);
    WriteFile(path, layout.bytes);
    ASSERT_NE(OpenFile(path), nullptr);
    ArchiveSurvey survey;
    ASSERT_TRUE(SurveyArchive(zip, nullptr, &survey));
    const int fd = open(path.c_str(), O_WRONLY);
    for (size_t at : layout.loc) ASSERT_EQ(pwrite(fd, "XXXX", 4, static_cast<off_t>(at)), 4);
    close(fd);
    const std::string out = scratch.Path("once" + std::to_string(workers));
    int started = -1;
    ASSERT_TRUE(UnzipWith(workers, out, &started));
    EXPECT_EQ(started, workers == 1 ? 0 : workers);
    EXPECT_EQ(ReadFile(out + "/a/x"), Noise(5000, 1));
    EXPECT_EQ(ReadFile(out + "/bulk/part5"), Noise(1 << 20, 45));
  }
}

TEST_F(ExtractByWorkers, SmallArchivesAndOneProcessorNeedNoWorkers) {
  ASSERT_NE(Open({Deflated("a", std::string(100000, 'a')), Stored("b", Noise(300000, 2))}),
            nullptr);
  int started = -1;
  ASSERT_TRUE(UnzipWith(8, scratch.Path("small"), &started));
  EXPECT_EQ(started, 0);
  ASSERT_NE(Open(Large({})), nullptr);
  ASSERT_TRUE(UnzipWith(1, scratch.Path("one"), &started));
  EXPECT_EQ(started, 0);
  ASSERT_TRUE(UnzipWith(3, scratch.Path("three"), &started));
  EXPECT_EQ(started, 3);
  EXPECT_EQ(Tree(scratch.Path("three")), Tree(scratch.Path("one")));
}

TEST_F(ExtractByWorkers, OrderDependentArchivesAreWrittenInOrder) {
  struct Case {
    const char *what;
    std::vector<Entry> entries;
    std::map<std::string, std::string> expected;  // beyond bulk/
  };
  const std::vector<Case> cases = {
      {"the same name twice: the last one wins",
       {Stored("dup", "first"), Stored("x", "x"), Stored("dup", "second")},
       {{"dup", "second"}, {"x", "x"}}},
      {"a file where a later entry needs a directory",
       {Stored("a", "file first"), Stored("a/b", "then a directory")},
       {{"a", "<dir>"}, {"a/b", "then a directory"}}},
      {"a directory entry over an earlier file",
       {Stored("c", "file"), Stored("c/", "")},
       {{"c", "<dir>"}}},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(Open(Large(c.entries), "case" + std::to_string(n) + ".zip"), nullptr);
    const std::string out = scratch.Path("out" + std::to_string(n++));
    int started = -1;
    ASSERT_TRUE(UnzipWith(4, out, &started));
    EXPECT_EQ(started, 0);
    auto tree = Tree(out);
    for (auto it = tree.begin(); it != tree.end();)
      it = it->first.compare(0, 4, "bulk") == 0 ? tree.erase(it) : std::next(it);
    EXPECT_EQ(tree, c.expected);
  }
  // Directory entries repeated, and a directory entry after files in it, do not depend on order.
  ASSERT_NE(Open(Large({Stored("d/", ""), Stored("d/f", "f"), Stored("d/", ""), Stored("e/g/h", "h"),
                        Stored("e/", "")}),
                 "plain.zip"),
            nullptr);
  int started = -1;
  ASSERT_TRUE(UnzipWith(4, scratch.Path("plain"), &started));
  EXPECT_EQ(started, 4);
  EXPECT_EQ(ReadFile(scratch.Path("plain/d/f")), "f");
  EXPECT_EQ(ReadFile(scratch.Path("plain/e/g/h")), "h");
}

TEST_F(ExtractByWorkers, AFailureInAnyWorkerFailsTheExtraction) {
  // A damaged download: one byte in the middle of a large archive.
  std::vector<Entry> entries;
  for (int i = 0; i < 40; i++)
    entries.push_back(Stored("f" + std::to_string(i), Noise(200000, 100 + i)));
  Layout layout = Build(entries);
  size_t at = 0;
  for (int i = 0; i <= 20; i++) at = layout.bytes.find("PK\3\4", i == 0 ? 0 : at + 4);
  ASSERT_EQ(layout.bytes.compare(at + 30, 3, "f20"), 0);
  layout.bytes[at + 30 + 3 + 100000] ^= 0x20;
  WriteFile(scratch.Path("damaged.zip"), layout.bytes);
  ASSERT_NE(OpenFile(scratch.Path("damaged.zip")), nullptr);
  int started = -1;
  EXPECT_FALSE(UnzipWith(4, scratch.Path("damaged"), &started));
  EXPECT_EQ(started, 4);
  EXPECT_EQ(zip->writeErrno, 0) << "bad data is no write failure";
  EXPECT_STREQ(zip->msg, zipmsg::kStoredCrc);

  // A file system that stops taking data: the workers' failure is a write failure.
  ASSERT_NE(Open(Large({Deflated("big", std::string(3 << 20, 'b'))}), "sound.zip"), nullptr);
  jboolean ok;
  {
    FileSizeLimit limit(2 << 20);
    ok = UnzipWith(2, scratch.Path("limited"), &started);
  }
  const int error = zip->writeErrno;
  EXPECT_FALSE(ok);
  EXPECT_EQ(started, 2);
  EXPECT_EQ(error, EFBIG);
  EXPECT_STREQ(zip->msg, zipmsg::kWriteFailed);
}

namespace watching {
pid_t watcherPid;
int strayFd = -1;
unsigned long long last;
int calls;
bool backwards;
void Watch(unsigned long long written) {
  if (getpid() != watcherPid) {
    if (write(strayFd, "w", 1) != 1) abort();
    return;
  }
  backwards = backwards || written < last;
  last = written;
  calls++;
}
}  // namespace watching

// Whoever watches the extraction (the progress line) sees every byte written, by this process
// or by its workers, and is called in this process alone, since a worker must never draw.
TEST_F(ExtractByWorkers, AWatcherSeesEveryByteWrittenAndOnlyInThisProcess) {
  using namespace watching;
  ASSERT_NE(Open(Large({Stored("dir/", ""), Deflated("dir/big", std::string(3 << 20, 'b'))})),
            nullptr);
  watcherPid = getpid();
  strayFd = open(scratch.Path("stray").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(strayFd, 0);
  WatchExtractions(Watch);
  for (int workers : {1, 3}) {
    SCOPED_TRACE(workers);
    last = 0;
    calls = 0;
    backwards = false;
    int started = -1;
    const jboolean ok = UnzipWith(workers, scratch.Path("out" + std::to_string(workers)), &started);
    EXPECT_TRUE(ok);
    EXPECT_EQ(started, workers == 1 ? 0 : 3);
    EXPECT_EQ(last, (3u << 20) + 6 * (1u << 20));
    // In order, every write is reported; a megabyte is never one write.
    EXPECT_GT(calls, workers == 1 ? 7 : 0);
    EXPECT_FALSE(backwards);
  }
  WatchExtractions(nullptr);
  close(strayFd);
  EXPECT_EQ(ReadFile(scratch.Path("stray")), "") << "a worker called the watcher";
}

// Names that differ in letter case only are two files where the file system keeps case, and
// one where it folds it (FAT, a case-folding ext4 directory): there the last one written wins,
// so such archives are written in order, as are names beyond ASCII, whose folding only the
// file system knows.
TEST_F(ExtractByWorkers, NamesThatAFileSystemMayFoldAreWrittenInOrderThere) {
  struct Case {
    const char *what;
    std::vector<Entry> entries;
    std::map<std::string, std::string> expected;  // beyond bulk/, where case is kept
  };
  const std::vector<Case> cases = {
      {"names that differ in letter case only",
       {Stored("Readme", "mixed"), Stored("README", "upper")},
       {{"Readme", "mixed"}, {"README", "upper"}}},
      {"a directory and a file that differ in letter case",
       {Stored("Lib/x", "x"), Stored("lib", "file")},
       {{"Lib", "<dir>"}, {"Lib/x", "x"}, {"lib", "file"}}},
      {"a name beyond ASCII",
       {Stored("r\xc3\xa9sum\xc3\xa9", "accents")},
       {{"r\xc3\xa9sum\xc3\xa9", "accents"}}},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(Open(Large(c.entries), "case" + std::to_string(n) + ".zip"), nullptr);
    for (bool fold : {false, true}) {
      FoldNamesForTesting(fold);
      const std::string out = scratch.Path("out" + std::to_string(n++));
      int started = -1;
      ASSERT_TRUE(UnzipWith(4, out, &started));
      EXPECT_EQ(started, fold ? 0 : 4) << (fold ? "folding" : "keeping case");
      auto tree = Tree(out);
      for (auto it = tree.begin(); it != tree.end();)
        it = it->first.compare(0, 4, "bulk") == 0 ? tree.erase(it) : std::next(it);
      EXPECT_EQ(tree, c.expected);
    }
  }
}
