// The archive writer, read back with the launcher's own reader and extraction: contents,
// methods, time stamps, offsets relative or absolute, the digest record, determinism, and every
// limit of the reader refused before the launcher would refuse the archive.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "archive/extract.h"
#include "archive/zip_internal.h"
#include "sha256.h"
#include "support.h"
#include "zip_builder.h"
#include "zip_writer.h"

namespace {

const std::string kPrefix(1000, 'L');  // stands for the launcher
constexpr uint32_t kTime = 0x5A2B6C3D;

using support::Noise;

class Writer : public ::testing::Test {
 protected:
  support::Sandbox scratch;
  std::string path = scratch.Path("installer");
  int fd = -1;
  std::unique_ptr<ZipWriter> writer;

  ZipWriter &Start(int level = 6, bool absolute = false, ArchiveLimits limits = ArchiveLimits()) {
    writer.reset();
    if (fd >= 0) close(fd);
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, kPrefix.data(), kPrefix.size()), static_cast<ssize_t>(kPrefix.size()));
    writer.reset(new ZipWriter(fd, static_cast<int64_t>(kPrefix.size()), absolute, level, limits));
    return *writer;
  }
  std::string Finish() {
    std::string sha;
    EXPECT_TRUE(writer->Finish(&sha)) << writer->error();
    writer.reset();
    close(fd);
    fd = -1;
    return sha;
  }
  void TearDown() override {
    writer.reset();
    if (fd >= 0) close(fd);
  }
  // name -> {method, size, csize, time, contents as extracted by the launcher}
  struct Read {
    int method;
    jint size, csize, time;
    std::string data;
  };
  std::map<std::string, Read> ReadBack() {
    std::map<std::string, Read> result;
    jzfile *zip = zipOpen(path.c_str(), nullptr);
    EXPECT_NE(zip, nullptr);
    if (zip == nullptr) return result;
    const std::string out = scratch.MkDir("out");
    EXPECT_TRUE(UnzipFiles(zip, out.c_str(), nullptr));
    for (jint i = 0; i < zip->total; i++) {
      jzentry *e = zipGetNextEntry(zip, i);
      EXPECT_NE(e, nullptr);
      if (e == nullptr) break;
      Read r{e->csize == 0 ? 0 : 8, e->size, e->csize, e->time, ""};
      if (e->name[strlen(e->name) - 1] != '/') r.data = support::ReadFile(out + "/" + e->name);
      result[e->name] = r;
      zipFreeEntry(zip, e);
    }
    zipClose(zip);
    return result;
  }
};

// Entries deflated in memory and entries streamed through zlib (those too large for memory)
// alike.
TEST_F(Writer, TheLauncherReadsBackWhatWasWritten) {
  for (int64_t inMemory : {ZipWriter::kDefaultWholeEntry, int64_t{0}}) {
    SCOPED_TRACE(inMemory == 0 ? "streamed" : "in memory");
    const std::string text(20000, 't'), noise = Noise(5000, 1);
    scratch.Write("source.txt", text);
    ZipWriter &w = Start();
    w.SetWholeEntryLimit(inMemory);
    ASSERT_TRUE(w.AddBytes("corvane.class", std::string(100, 'c'), kTime));
    ASSERT_TRUE(w.AddDirectory("package/", kTime));
    ASSERT_TRUE(w.AddBytes("package/PackageFormat.jar", text, kTime));  // decided by trying, not by name
    ASSERT_TRUE(w.AddBytes("package/empty", "", kTime));
    ASSERT_TRUE(w.AddBytes("package/noise.bin", noise, kTime));          // does not shrink: stored
    ASSERT_TRUE(w.AddFile("package/text.txt", scratch.Path("source.txt"), kTime + 2));
    // Saving about 0.3% is not worth the launcher's inflating; about 3% is.
    const std::string almost = Noise(100000, 2) + std::string(300, 'z');
    const std::string some = Noise(100000, 2) + std::string(3000, 'z');
    ASSERT_TRUE(w.AddBytes("package/almost.gz", almost, kTime));
    ASSERT_TRUE(w.AddBytes("package/some.jmod", some, kTime));
    EXPECT_EQ(w.entries(), 8);
    Finish();

    std::map<std::string, Read> r = ReadBack();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r["corvane.class"].data, std::string(100, 'c'));
    EXPECT_EQ(r["corvane.class"].method, 8);
    EXPECT_EQ(r["package/"].size, 0);
    EXPECT_EQ(r["package/PackageFormat.jar"].method, 8);
    EXPECT_EQ(r["package/PackageFormat.jar"].data, text);
    EXPECT_EQ(r["package/almost.gz"].method, 0);
    EXPECT_EQ(r["package/almost.gz"].data, almost);
    EXPECT_EQ(r["package/some.jmod"].method, 8);
    EXPECT_EQ(r["package/some.jmod"].data, some);
    EXPECT_EQ(r["package/empty"].method, 0);
    EXPECT_EQ(r["package/empty"].data, "");
    EXPECT_EQ(r["package/noise.bin"].method, 0);
    EXPECT_EQ(r["package/noise.bin"].data, noise);
    EXPECT_EQ(r["package/text.txt"].method, 8);
    EXPECT_LT(r["package/text.txt"].csize, 200);
    EXPECT_EQ(r["package/text.txt"].data, text);
    EXPECT_EQ(static_cast<uint32_t>(r["package/text.txt"].time), kTime + 2);
    // What unzip thinks of it, launcher in front included.
    EXPECT_EQ(system(("unzip -tqq '" + path + "' >/dev/null 2>&1").c_str()) >> 8, 1);  // 1: a warning for the prefix
  }
}

TEST_F(Writer, LevelZeroStoresEverythingAndAbsoluteOffsetsReadTheSame) {
  const std::string text(3000, 'x');
  ZipWriter &w = Start(0, true);
  ASSERT_TRUE(w.AddBytes("a.txt", text, kTime));
  ASSERT_TRUE(w.AddDirectory("d/", kTime));
  ASSERT_TRUE(w.AddBytes("d/b.txt", "b", kTime));
  Finish();
  std::map<std::string, Read> r = ReadBack();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r["a.txt"].method, 0);
  EXPECT_EQ(r["a.txt"].data, text);
  EXPECT_EQ(r["d/b.txt"].data, "b");
  // The recorded offsets are file positions: the first local header is at the prefix's end.
  const std::string bytes = support::ReadFile(path);
  const size_t cen = bytes.find("PK\1\2");
  ASSERT_NE(cen, std::string::npos);
  EXPECT_EQ(zipfmt::Get32(reinterpret_cast<const unsigned char *>(bytes.data()) + cen + 42), kPrefix.size());
}

// Bit 11 of the flags, in the local and the central header, on UTF-8 names that are not ASCII.
TEST_F(Writer, NamesInUtf8AreMarkedAsSuch) {
  const std::string names[] = {"caf\xc3\xa9.txt", "plain.txt", "bad\xff.txt"};
  ZipWriter &w = Start();
  for (const std::string &name : names) ASSERT_TRUE(w.AddBytes(name, "x", kTime));
  Finish();
  const std::string bytes = support::ReadFile(path);
  const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
  std::string flags;
  for (const char *sig : {"PK\3\4", "PK\1\2"}) {
    for (size_t at = bytes.find(sig); at != std::string::npos; at = bytes.find(sig, at + 4)) {
      const bool local = sig[2] == 3;
      const size_t nameAt = at + (local ? zipfmt::kLocHdr : zipfmt::kCenHdr);
      flags += bytes.substr(nameAt, zipfmt::Get16(b + at + (local ? 26 : 28))) + " " +
               std::to_string(zipfmt::Get16(b + at + (local ? 6 : 8))) + "\n";
    }
  }
  EXPECT_EQ(flags, "caf\xc3\xa9.txt 2048\nplain.txt 0\nbad\xff.txt 0\n"
                   "caf\xc3\xa9.txt 2048\nplain.txt 0\nbad\xff.txt 0\n");
  std::map<std::string, Read> r = ReadBack();
  for (const std::string &name : names) EXPECT_EQ(r[name].data, "x") << name;
}

TEST_F(Writer, TheCommentRecordsTheDigestOfEverythingInFrontOfTheEndRecord) {
  ZipWriter &w = Start();
  ASSERT_TRUE(w.AddBytes("corvane.class", "x", kTime));
  const std::string sha = Finish();
  const std::string bytes = support::ReadFile(path);
  const size_t end = bytes.size() - 22 - kDigestRecordLength;
  ASSERT_EQ(bytes.compare(end, 4, "PK\5\6"), 0);
  Sha256 prefix, whole;
  prefix.Update(bytes.data(), end);
  whole.Update(bytes.data(), bytes.size());
  EXPECT_EQ(bytes.substr(end + 22), kDigestRecordPrefix + prefix.HexDigest());
  EXPECT_EQ(sha, whole.HexDigest());
  jzfile *zip = zipOpen(path.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(std::string(zip->comment), kDigestRecordPrefix + prefix.HexDigest());
  zipClose(zip);
}

TEST_F(Writer, TheSameEntriesGiveTheSameBytes) {
  std::string first;
  for (int round = 0; round < 2; round++) {
    ZipWriter &w = Start(9);
    ASSERT_TRUE(w.AddBytes("a", Noise(100000, 7) + std::string(100000, 'z'), kTime));
    ASSERT_TRUE(w.AddDirectory("b/", kTime));
    Finish();
    if (round == 0) first = support::ReadFile(path);
  }
  EXPECT_EQ(support::ReadFile(path), first);
}

TEST_F(Writer, EntryCountBeyondTheReadersLimitIsRefused) {
  ArchiveLimits limits;
  ZipWriter &w = Start(6, false, limits);
  for (int64_t i = 0; i < limits.maxEntries; i++) {
    ASSERT_TRUE(w.AddDirectory(std::to_string(i) + "/", kTime)) << w.error();
  }
  EXPECT_FALSE(w.AddDirectory("one-more/", kTime));
  EXPECT_NE(w.error().find("at most 65534"), std::string::npos) << w.error();
  // The launcher's reader opens the largest archive the writer allows.
  ZipWriter &again = Start(6, false, limits);
  for (int64_t i = 0; i < limits.maxEntries; i++) ASSERT_TRUE(again.AddDirectory(std::to_string(i) + "/", kTime));
  Finish();
  jzfile *zip = zipOpen(path.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip->total, zipfmt::kMaxEntries);
  zipClose(zip);
}

TEST_F(Writer, EntriesAndFilesLargerThanTheReaderAcceptsAreRefused) {
  ArchiveLimits limits;
  limits.maxEntrySize = 100;
  scratch.Write("big", std::string(101, 'b'));
  scratch.Write("fits", std::string(100, 'b'));
  {
    ZipWriter &w = Start(6, false, limits);
    EXPECT_TRUE(w.AddFile("fits", scratch.Path("fits"), kTime));
    EXPECT_FALSE(w.AddFile("big", scratch.Path("big"), kTime, nullptr, "payload/big"));
    EXPECT_NE(w.error().find("'payload/big'"), std::string::npos) << w.error();
    EXPECT_NE(w.error().find("100 bytes"), std::string::npos) << w.error();
    EXPECT_FALSE(w.AddBytes("later", "x", kTime));  // unusable after a failure
  }
  for (int level : {0, 6}) {
    ZipWriter &w = Start(level, false, limits);
    EXPECT_FALSE(w.AddBytes("grown", std::string(101, 'g'), kTime)) << level;
    EXPECT_NE(w.error().find("the most the launcher reads for one entry"), std::string::npos) << w.error();
  }
  // The whole file: launcher, entries, directory and end record together.
  limits = ArchiveLimits();
  limits.maxFileLength = static_cast<int64_t>(kPrefix.size()) + 2000;
  {
    ZipWriter &w = Start(0, false, limits);
    EXPECT_TRUE(w.AddBytes("a", std::string(1500, 'a'), kTime));
    EXPECT_FALSE(w.AddBytes("b", std::string(500, 'b'), kTime));
    EXPECT_NE(w.error().find("larger than 3000 bytes"), std::string::npos) << w.error();
  }
  // Exactly at the limit: 1000 + (30 + 1 + 1821) + (46 + 1) + (22 + 79) bytes.
  for (size_t size : {1821u, 1822u}) {
    ZipWriter &w = Start(0, false, limits);
    std::string sha;
    const bool fits = w.AddBytes("a", std::string(size, 'a'), kTime) && w.Finish(&sha);
    EXPECT_EQ(fits, size == 1821) << w.error();
    if (fits) {
      EXPECT_EQ(w.fileLength(), limits.maxFileLength);
    }
  }
}

TEST_F(Writer, NamesTheLauncherRefusesAreNotWritten) {
  ArchiveLimits limits;
  limits.maxNameLength = 8;
  ZipWriter &w = Start(6, false, limits);
  EXPECT_FALSE(w.AddBytes("a/../b", "x", kTime));
  EXPECT_NE(w.error().find("\"..\""), std::string::npos) << w.error();
  ZipWriter &w2 = Start(6, false, limits);
  EXPECT_TRUE(w2.AddBytes("12345678", "x", kTime));
  EXPECT_FALSE(w2.AddBytes("123456789", "x", kTime));
  EXPECT_NE(w2.error().find("at most 8"), std::string::npos) << w2.error();
  ZipWriter &w3 = Start();
  EXPECT_FALSE(w3.AddFile("missing", scratch.Path("missing"), kTime));
  EXPECT_NE(w3.error().find("cannot be read"), std::string::npos) << w3.error();
}

TEST_F(Writer, ProgressCountsEveryByteReadOnce) {
  const std::string noise = Noise(700000, 3);  // incompressible: deflated, then stored again
  scratch.Write("noise", noise);
  scratch.Write("text", std::string(300000, 'q'));
  uint64_t seen = 0;
  ZipWriter &w = Start();
  w.SetWholeEntryLimit(0);
  ASSERT_TRUE(w.AddFile("noise", scratch.Path("noise"), kTime, [&](uint64_t n) { seen += n; }));
  ASSERT_TRUE(w.AddFile("text", scratch.Path("text"), kTime, [&](uint64_t n) { seen += n; }));
  Finish();
  EXPECT_EQ(seen, 1000000u);
  EXPECT_EQ(ReadBack()["noise"].data, noise);
}

}  // namespace
