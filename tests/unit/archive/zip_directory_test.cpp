// Opening archives: where the archive starts inside the file, the end record search, the
// refusals of a damaged directory with their reason texts, the hash index, meta names,
// comments and the sharing of open records.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/zip_internal.h"
#include "support.h"
#include "archive_test.h"
#include "zip_builder.h"

using namespace support;
using namespace ziptest;

namespace {

struct CenOutcome {
  jint result;
  std::string msg;
};

// readCEN on a fresh record, so that the reason text can be seen before the open drops it.
CenOutcome ReadCen(const std::string &path) {
  jzfile *zip = allocZip(path.c_str());
  zip->fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(zip->fd, 0) << path;
  jint result = readCEN(zip);
  CenOutcome out{result, zip->msg != nullptr ? zip->msg : ""};
  close(zip->fd);
  freeZip(zip);
  return out;
}

int OpenError(const std::string &path) {
  int err = 12345;
  jzfile *zip = zipOpen(path.c_str(), &err);
  if (zip != nullptr) {
    zipClose(zip);
    return 0;
  }
  return err;
}

std::vector<std::string> Names(jzfile *zip) {
  std::vector<std::string> names;
  for (jint i = 0;; i++) {
    jzentry *e = zipGetNextEntry(zip, i);
    if (e == nullptr) break;
    names.push_back(e->name);
    zipFreeEntry(zip, e);
  }
  return names;
}

class ZipDirectory : public ::testing::Test {
 protected:
  support::Sandbox scratch;
  std::string Write(const std::string &rel, const std::string &bytes) {
    std::string p = scratch.Path(rel);
    WriteFile(p, bytes);
    return p;
  }
  // The archive `bytes` with the field at `at` (2 or 4 bytes wide) set to value is refused by
  // readCEN with the reason msg, and by zipOpen.
  void ExpectRefused(std::string bytes, size_t at, int width, uint32_t value, const char *msg,
                     const char *what) {
    if (width == 2) Put16(bytes, at, value);
    else Put32(bytes, at, value);
    std::string p = Write("bad", bytes);
    CenOutcome out = ReadCen(p);
    EXPECT_EQ(out.result, -1) << what;
    EXPECT_EQ(out.msg, msg) << what;
    EXPECT_EQ(OpenError(p), -2) << what;
  }
};

TEST_F(ZipDirectory, ArchiveStartIsFoundForPlainAppendedAndAbsoluteArchives) {
  scratch.MkDir("payload/package/lib");
  scratch.Write("payload/corvane.class", Noise(3000, 7));
  scratch.Write("payload/package/PackageFormat.jar", std::string(20000, 'j'));
  scratch.Write("payload/package/lib/empty", "");
  const std::string dir = scratch.dir();
  Sh("cd '" + dir + "/payload' && zip -qr ../plain.zip .");
  const std::string stub = Noise(5000, 3);
  WriteFile(scratch.Path("stub"), stub);
  Sh("cd '" + dir + "' && cat stub plain.zip > appended && cat stub plain.zip > absolute && "
     "zip -qA absolute");

  // zip -A rewrote the directory offset as a file position.
  const std::string appended = ReadFile(dir + "/appended");
  const std::string absolute = ReadFile(dir + "/absolute");
  ASSERT_EQ(appended.size(), absolute.size());
  auto cenoff = [](const std::string &b) {
    return static_cast<uint32_t>(zipfmt::Get32(
        reinterpret_cast<const unsigned char *>(b.data()) + b.size() - 22 + 16));
  };
  ASSERT_EQ(cenoff(absolute), cenoff(appended) + stub.size());

  std::map<std::string, std::vector<jint>> positions;
  for (const char *name : {"plain.zip", "appended", "absolute"}) {
    const std::string path = dir + "/" + name;
    const std::string bytes = ReadFile(path);
    jzfile *zip = zipOpen(path.c_str(), nullptr);
    ASSERT_NE(zip, nullptr) << name;
    std::map<std::string, std::string> contents;
    for (jint i = 0; i < zip->total; i++) {
      const jint pos = zip->entries[i].pos;
      positions[name].push_back(pos);
      EXPECT_EQ(bytes.compare(static_cast<size_t>(pos), 4, "PK\3\4"), 0) << name << " " << i;
      jzentry *e = zipGetNextEntry(zip, i);
      ASSERT_NE(e, nullptr);
      std::string data;
      if (e->name[strlen(e->name) - 1] != '/') {
        ASSERT_TRUE(ExtractToString(zip, e, dir + "/out", &data)) << e->name;
        contents[e->name] = data;
      }
      zipFreeEntry(zip, e);
    }
    EXPECT_EQ(contents["corvane.class"], Noise(3000, 7)) << name;
    EXPECT_EQ(contents["package/PackageFormat.jar"], std::string(20000, 'j')) << name;
    EXPECT_EQ(contents["package/lib/empty"], "") << name;
    zipClose(zip);
  }
  ASSERT_EQ(positions["plain.zip"].size(), positions["appended"].size());
  for (size_t i = 0; i < positions["plain.zip"].size(); i++) {
    EXPECT_EQ(positions["appended"][i], positions["plain.zip"][i] + 5000);
    EXPECT_EQ(positions["absolute"][i], positions["appended"][i]);
  }
}

TEST_F(ZipDirectory, EndRecordIsSoughtOnlyInTheLast65535Bytes) {
  const std::vector<Entry> one = {Stored("a", "alpha")};
  // The longest comment that keeps the signature inside the window, and every length near
  // it, where the record's fields come from two different blocks of the search.
  for (size_t clen = 65490; clen <= 65513; clen++) {
    const std::string comment(clen, 'c');
    std::string p = Write("long" + std::to_string(clen), Build(one, "", comment).bytes);
    jzfile *zip = zipOpen(p.c_str(), nullptr);
    ASSERT_NE(zip, nullptr) << clen;
    EXPECT_EQ(zip->total, 1);
    ASSERT_NE(zip->comment, nullptr);
    EXPECT_EQ(std::string(zip->comment), comment);
    zipClose(zip);
  }
  EXPECT_EQ(OpenError(Write("toolong", Build(one, "", std::string(65514, 'c')).bytes)), -2);
  // Files without an end record, long and short.
  EXPECT_EQ(OpenError(Write("junk", Noise(70000))), -2);
  EXPECT_EQ(OpenError(Write("short", Noise(100))), -2);
  EXPECT_EQ(OpenError(Write("tiny", "PK")), -2);
  EXPECT_EQ(OpenError(Write("empty", "")), -2);
}

TEST_F(ZipDirectory, SignatureInsideTheCommentIsSkippedUnlessItEndsTheFile) {
  const std::vector<Entry> one = {Stored("a", "alpha")};
  // A fake end record in the comment, whose length field does not reach the end of the file.
  std::string fake = "PK\5\6" + std::string(16, '\0') + "\x03\x00" + "xyz" + std::string(40, '-');
  std::string p = Write("fake", Build(one, "", fake).bytes);
  jzfile *zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(std::string(zip->comment, fake.size()), fake);
  EXPECT_EQ(zip->total, 1);
  zipClose(zip);

  // A record that straddles two 22-byte blocks of the search (comment of 10 bytes).
  p = Write("straddle", Build(one, "", "0123456789").bytes);
  zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_STREQ(zip->comment, "0123456789");
  zipClose(zip);

  // No comment: the field is null, not an empty string.
  p = Write("none", Build(one).bytes);
  zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip->comment, nullptr);
  zipClose(zip);
}

TEST_F(ZipDirectory, EmptyArchiveOpensOnlyBehindOtherBytes) {
  EXPECT_EQ(OpenError(Write("bare", Build({}).bytes)), -2);
  // An end record near the file's start, with a comment longer than the bytes before it.
  std::string p = Write("behind", Build({}, "ELF", std::string(40, 'c')).bytes);
  jzfile *zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip->total, 0);
  EXPECT_EQ(zip->tablelen, 1);
  EXPECT_EQ(zip->table[0], 0xFFFF);
  EXPECT_EQ(zipGetNextEntry(zip, 0), nullptr);
  EXPECT_EQ(zipGetEntry(zip, "x"), nullptr);
  zipClose(zip);
}

TEST_F(ZipDirectory, DamagedEndRecordIsRefusedWithItsReason) {
  // Two headers of 106 bytes each: room for four 46-byte headers by the count check.
  const Layout good =
      Build({Stored(std::string(60, 'a'), "alpha"), Stored(std::string(60, 'b'), "beta")}, "stub");
  struct Case {
    const char *what;
    size_t field;
    uint32_t value;
    const char *msg;
  };
  const size_t end = good.endPos;
  const uint32_t cenlen = static_cast<uint32_t>(good.endPos - good.cenStart);
  const Case cases[] = {
      {"size beyond the end record", end + 12, static_cast<uint32_t>(end + 1), zipmsg::kBadCenSize},
      {"negative size", end + 12, 0x80000000u, zipmsg::kBadCenSize},
      {"offset beyond the directory", end + 16, static_cast<uint32_t>(good.cenStart + 1),
       zipmsg::kBadCenOffset},
      {"negative offset", end + 16, 0xFFFFFFF0u, zipmsg::kBadCenOffset},
      {"more entries than the size holds", end + 10, cenlen / 46 + 1, zipmsg::kBadEntryCount},
      {"a header shorter than 46 bytes", end + 10, 4, zipmsg::kCenHeaderSize},
  };
  for (const Case &c : cases)
    ExpectRefused(good.bytes, c.field, c.field == end + 10 ? 2 : 4, c.value, c.msg, c.what);
}

TEST_F(ZipDirectory, DamagedCentralHeadersAreRefusedWithTheirReasons) {
  const std::vector<Entry> entries = {Stored("first", "1"), Stored("second", "22"),
                                      Stored("third", "333")};
  const Layout good = Build(entries);
  struct Case {
    const char *what;
    size_t at;
    int width;
    uint32_t value;
    const char *msg;
  };
  const size_t c1 = good.cen[1];
  const Case cases[] = {
      {"bad signature", c1, 4, 0x02014B51, zipmsg::kCenSignature},
      {"encrypted", c1 + 8, 2, 0x0001, zipmsg::kCenEncrypted},
      {"encrypted with other flags", c1 + 8, 2, 0x0809, zipmsg::kCenEncrypted},
      {"method 12", c1 + 10, 2, 12, zipmsg::kCenMethod},
      {"method 9", c1 + 10, 2, 9, zipmsg::kCenMethod},
      {"name beyond the directory", c1 + 28, 2, 0xFFFF, zipmsg::kCenHeaderSize},
      {"extra beyond the directory", c1 + 30, 2, 200, zipmsg::kCenHeaderSize},
      {"comment beyond the directory", c1 + 32, 2, 200, zipmsg::kCenHeaderSize},
  };
  for (const Case &c : cases) ExpectRefused(good.bytes, c.at, c.width, c.value, c.msg, c.what);
  // Neither an odd version-needed value nor flags other than encryption refuse the archive.
  std::string bytes = good.bytes;
  Put16(bytes, c1 + 6, 0x0015);
  Put16(bytes, c1 + 8, 0x0808);
  std::string p = Write("fine", bytes);
  CenOutcome out = ReadCen(p);
  EXPECT_EQ(out.result, static_cast<jint>(good.cenStart));
  EXPECT_EQ(out.msg, "");
}

// An archive of n stored empty entries named e0, e1, ...
std::string ManyEntries(int n) {
  std::vector<Entry> entries;
  entries.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) entries.push_back(Stored("e" + std::to_string(i), ""));
  return Build(entries).bytes;
}

TEST_F(ZipDirectory, AtMost65534EntriesOpen) {
  std::string p = Write("max", ManyEntries(65534));
  int err = 1;
  jzfile *zip = zipOpen(p.c_str(), &err);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(zip->total, 65534);
  EXPECT_EQ(zip->tablelen, 32767);
  for (const char *name : {"e0", "e1", "e32767", "e65533"}) {
    jzentry *e = zipGetEntry(zip, name);
    ASSERT_NE(e, nullptr) << name;
    EXPECT_STREQ(e->name, name);
    zipFreeEntry(zip, e);
  }
  EXPECT_EQ(zipGetEntry(zip, "e65534"), nullptr);
  EXPECT_EQ(Names(zip).size(), 65534u);
  zipClose(zip);

  p = Write("over", ManyEntries(65535));
  CenOutcome out = ReadCen(p);
  EXPECT_EQ(out.result, -1);
  EXPECT_EQ(out.msg, zipmsg::kTooMany);
  EXPECT_EQ(OpenError(p), -2);
}

TEST_F(ZipDirectory, HashIndexFindsEveryNameAndTheLaterOfTwoDuplicates) {
  EXPECT_EQ(hash("abc"), 96354u);
  EXPECT_EQ(hash(""), 0u);
  // Bytes from 0x80 count as negative.
  EXPECT_EQ(hash("\xff"), 0xFFFFFFFFu);
  EXPECT_EQ(hash("a\x80"), 31u * 97u - 128u);
  EXPECT_EQ(hash("\xe3\x81\x82"), static_cast<unsigned int>((-29 * 31 - 127) * 31 - 126));

  const std::pair<int, int> sizes[] = {{0, 1}, {1, 1}, {3, 1}, {10, 5}, {11, 5}, {101, 50}};
  for (auto [n, tablelen] : sizes) {
    std::string p = Write("n" + std::to_string(n), n > 0 ? ManyEntries(n) : Build({}, "x").bytes);
    jzfile *zip = zipOpen(p.c_str(), nullptr);
    ASSERT_NE(zip, nullptr) << n;
    EXPECT_EQ(zip->tablelen, tablelen) << n;
    for (int i = 0; i < n; i++) {
      const std::string name = "e" + std::to_string(i);
      jzentry *e = zipGetEntry(zip, name.c_str());
      ASSERT_NE(e, nullptr) << name;
      EXPECT_STREQ(e->name, name.c_str());
      EXPECT_EQ(zip->entries[i].hash, hash(name.c_str()));
      zipFreeEntry(zip, e);
    }
    zipClose(zip);
  }

  std::string p = Write("dup", Build({Stored("same", "older"), Stored("other", "x"),
                                      Stored("same", "newer")})
                                   .bytes);
  jzfile *zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  jzentry *e = zipGetEntry(zip, "same");
  ASSERT_NE(e, nullptr);
  std::string data;
  ASSERT_TRUE(ExtractToString(zip, e, scratch.Path("out"), &data));
  EXPECT_EQ(data, "newer");
  zipFreeEntry(zip, e);
  EXPECT_EQ(Names(zip), (std::vector<std::string>{"same", "other", "same"}));
  zipClose(zip);
}

TEST_F(ZipDirectory, LongNamesAreCopiedWhole) {
  std::vector<Entry> entries;
  for (size_t len : {511u, 512u, 513u, 1025u, 5000u, 65535u}) {
    entries.push_back(Stored(std::string(len, 'n') + std::to_string(len % 10), "x"));
  }
  // Names longer than the 16-bit length field cannot exist; trim the longest to fit.
  entries.back().name.resize(65535);
  std::string p = Write("long", Build(entries).bytes);
  jzfile *zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  for (const Entry &want : entries) {
    jzentry *e = zipGetEntry(zip, want.name.c_str());
    ASSERT_NE(e, nullptr) << want.name.size();
    EXPECT_EQ(std::string(e->name), want.name);
    zipFreeEntry(zip, e);
  }
  zipClose(zip);
}

TEST_F(ZipDirectory, MetaNamesAndCommentsAreCollected) {
  Entry withComment = Stored("docs/readme", "r");
  withComment.comment = "the readme";
  Entry extraAndComment = Stored("x", "x");
  extraAndComment.centralExtra = std::string("\x55\x54\x01\x00\x07", 5);
  extraAndComment.comment = "after the extra";
  std::string p = Write("meta", Build({Stored("META-INF/MANIFEST.MF", "m"), withComment,
                                       Stored("meta-inf/x", "x"), Stored("META-INF", "no"),
                                       Stored("META-INF.txt", "no"), extraAndComment,
                                       Stored("Meta-Inf/third", "3")})
                                    .bytes);
  jzfile *zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  ASSERT_NE(zip->metanames, nullptr);
  EXPECT_EQ(zip->metacount, 4);
  std::vector<std::string> meta;
  for (jint i = 0; i < zip->metacount; i++) {
    if (zip->metanames[i] != nullptr) meta.push_back(zip->metanames[i]);
  }
  EXPECT_EQ(meta, (std::vector<std::string>{"META-INF/MANIFEST.MF", "meta-inf/x", "Meta-Inf/third"}));

  ASSERT_NE(zip->comments, nullptr);
  EXPECT_EQ(zip->comments[0], nullptr);
  EXPECT_STREQ(zip->comments[1], "the readme");
  EXPECT_STREQ(zip->comments[5], "after the extra");
  jzentry *e = zipGetEntry(zip, "docs/readme");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->comment, zip->comments[1]);  // borrowed, not copied
  zipFreeEntry(zip, e);
  e = zipGetEntry(zip, "META-INF");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->comment, nullptr);
  zipFreeEntry(zip, e);
  zipClose(zip);

  p = Write("plain", Build({Stored("a", "a")}).bytes);
  zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip->metanames, nullptr);
  EXPECT_EQ(zip->comments, nullptr);
  zipClose(zip);
}

TEST_F(ZipDirectory, OpenRecordsAreSharedByNameAndStamp) {
  std::string p = Write("shared", Build({Stored("a", "a")}).bytes);
  jzfile *first = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->refs, 1);
  EXPECT_EQ(first->lock, nullptr);
  jzfile *second = zipOpen(p.c_str(), nullptr);
  EXPECT_EQ(second, first);
  EXPECT_EQ(first->refs, 2);
  zipClose(second);
  EXPECT_EQ(first->refs, 1);
  // Still usable after the first close.
  jzentry *e = zipGetEntry(first, "a");
  ASSERT_NE(e, nullptr);
  zipFreeEntry(first, e);
  zipClose(first);

  // After the final close the file is read again: a changed file shows its new contents.
  WriteFile(p, Build({Stored("a", "a"), Stored("b", "b")}).bytes);
  jzfile *again = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->refs, 1);
  EXPECT_EQ(again->total, 2);
  zipClose(again);

  jzfile *five = zipOpenGeneric(p.c_str(), nullptr, O_RDONLY, 5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(zipOpenGeneric(p.c_str(), nullptr, O_RDONLY, 5), five);
  EXPECT_EQ(five->refs, 2);
  jzfile *seven = zipOpenGeneric(p.c_str(), nullptr, O_RDONLY, 7);
  ASSERT_NE(seven, nullptr);
  EXPECT_NE(seven, five);
  EXPECT_EQ(seven->refs, 1);
  zipClose(seven);
  zipClose(five);
  zipClose(five);

  jzfile *any = zipOpenGeneric(p.c_str(), nullptr, O_RDONLY, 0);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(zipOpenGeneric(p.c_str(), nullptr, O_RDONLY, 9), any);
  EXPECT_EQ(any->refs, 2);
  // The archive is closed in every child process the launcher starts.
  EXPECT_NE(fcntl(any->fd, F_GETFD) & FD_CLOEXEC, 0);
  zipClose(any);
  zipClose(any);
}

TEST_F(ZipDirectory, OpenFailuresGiveTheirCodes) {
  EXPECT_EQ(OpenError(scratch.Path("missing")), -4);
  EXPECT_EQ(OpenError(Write("text", "not an archive at all\n")), -2);
  // zerror may be null.
  EXPECT_EQ(zipOpen(scratch.Path("missing").c_str(), nullptr), nullptr);
  // A directory opens but reads nothing.
  EXPECT_NE(OpenError(scratch.dir()), 0);
  // A failed open leaves no record behind: the next open of a good file at that path reads it.
  std::string p = Write("later", "garbage");
  EXPECT_EQ(OpenError(p), -2);
  WriteFile(p, Build({Stored("a", "a")}).bytes);
  EXPECT_EQ(OpenError(p), 0);
}

TEST_F(ZipDirectory, HugeLocalOffsetsFailTheEntryNotTheArithmetic) {
  Entry far = Stored("far", "x");
  far.overrideOffset = true;
  far.offset = 0x7FFFFFFF;  // plus the bytes in front: beyond any 32-bit position
  std::string p = Write("far", Build({Stored("near", "n"), far}, std::string(100, 's')).bytes);
  jzfile *zip = zipOpen(p.c_str(), nullptr);
  ASSERT_NE(zip, nullptr);
  jzentry *e = zipGetNextEntry(zip, 0);
  ASSERT_NE(e, nullptr);
  zipFreeEntry(zip, e);
  EXPECT_EQ(zipGetNextEntry(zip, 1), nullptr);
  EXPECT_STREQ(zip->msg, zipmsg::kSeekFailed);
  zipClose(zip);
}

}  // namespace
