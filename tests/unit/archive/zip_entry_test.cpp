// Entries: what a local header contributes, the one-entry cache, raw reads, the stored copy,
// every way inflation can fail, and how entry files are written.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/zip_internal.h"
#include "archive_test.h"

using namespace support;
using namespace ziptest;

namespace {

class ZipEntry : public ArchiveTest {
 protected:
  // Writes entry n to a file; on failure *reason gets the record's reason text.
  bool Extract(jint n, std::string *data, std::string *reason = nullptr) {
    jzentry *e = zipGetNextEntry(zip, n);
    EXPECT_NE(e, nullptr);
    if (e == nullptr) return false;
    bool ok = ExtractToString(zip, e, scratch.Path("out"), data);
    if (!ok && reason != nullptr) *reason = zip->msg != nullptr ? zip->msg : "";
    zipFreeEntry(zip, e);
    return ok;
  }
  std::string Failure(const Entry &entry) {
    Open({entry});
    std::string data, reason = "<succeeded>";
    Extract(0, &data, &reason);
    return reason;
  }
};

TEST_F(ZipEntry, LocalHeaderGivesNameTimeAndDataPosition) {
  Entry renamed = Stored("central-name", "payload");
  renamed.differentName = true;
  renamed.localName = "local";
  renamed.localExtra = "12345";
  renamed.dosTime = 0x12345678;
  const Layout l = Build({Stored("first", "1"), renamed});
  ASSERT_NE(Open(l.bytes), nullptr);

  jzentry *e = zipGetNextEntry(zip, 1);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->name, "local");
  EXPECT_EQ(e->time, 0x12345678);
  EXPECT_EQ(e->pos, static_cast<jint>(l.loc[1] + 30 + 5 + 5));
  EXPECT_EQ(e->size, 7);
  EXPECT_EQ(e->csize, 0);  // stored
  EXPECT_EQ(static_cast<uint32_t>(e->crc), Crc("payload"));
  zipFreeEntry(zip, e);
  zipFreeEntry(zip, nullptr);  // empties the cache, which would hand the entry back
  // Found under neither name: the index holds the central name, the entry the local one.
  EXPECT_EQ(zipGetEntry(zip, "local"), nullptr);
  EXPECT_EQ(zipGetEntry(zip, "central-name"), nullptr);
  // The entry built while walking the chain was released into the cache.
  ASSERT_NE(zip->cache, nullptr);
  EXPECT_STREQ(zip->cache->name, "local");
  std::string data;
  ASSERT_TRUE(Extract(1, &data));
  EXPECT_EQ(data, "payload");
}

TEST_F(ZipEntry, ExtraFieldComesFromTheCentralHeaderFirst) {
  Entry both = Stored("both", "b");
  both.centralExtra = "CENTRAL";
  both.localExtra = "local-differs";
  Entry localOnly = Stored("local", "l");
  localOnly.localExtra = "LOCAL";
  // A local extra field longer than the central name and extra: it lies beyond the bytes that
  // the header read fetched and must be read from the file.
  Entry longLocal = Stored("n", "x");
  longLocal.localExtra = std::string(300, 'E');
  ASSERT_NE(Open({both, localOnly, Stored("none", "n"), longLocal}), nullptr);
  auto extra = [this](jint n) {
    jzentry *e = zipGetNextEntry(zip, n);
    EXPECT_NE(e, nullptr);
    std::string s = "<null>";
    if (e != nullptr && e->extra != nullptr) {
      const unsigned char *p = reinterpret_cast<unsigned char *>(e->extra);
      size_t len = p[0] | p[1] << 8;
      s = std::string(reinterpret_cast<char *>(e->extra) + 2, len);
    }
    if (e != nullptr) zipFreeEntry(zip, e);
    return s;
  };
  EXPECT_EQ(extra(0), "CENTRAL");
  EXPECT_EQ(extra(1), "LOCAL");
  EXPECT_EQ(extra(2), "<null>");
  EXPECT_EQ(extra(3), std::string(300, 'E'));
  std::string data;
  ASSERT_TRUE(Extract(3, &data));
  EXPECT_EQ(data, "x");
}

TEST_F(ZipEntry, BadLocalHeadersFailTheEntryWithTheirReasons) {
  const Layout l = Build({Stored("good", "g"), Stored("bad", "b")});
  std::string bytes = l.bytes;
  Put32(bytes, l.loc[1], 0x04034B51);
  ASSERT_NE(Open(bytes, "sig"), nullptr);
  EXPECT_EQ(zipGetNextEntry(zip, 1), nullptr);
  EXPECT_STREQ(zip->msg, zipmsg::kLocSignature);

  // The local name is longer than the bytes fetched for the header (central name + extra).
  bytes = l.bytes;
  Put16(bytes, l.loc[1] + 26, 40);
  ASSERT_NE(Open(bytes, "lname"), nullptr);
  EXPECT_EQ(zipGetNextEntry(zip, 1), nullptr);
  EXPECT_STREQ(zip->msg, zipmsg::kLocHeaderSize);

  // A local header offset close to the end of the file: the header cannot be read whole.
  Entry late = Stored("late", "x");
  late.overrideOffset = true;
  Layout lateLayout = Build({late}, "", std::string(10, 'c'));
  Put32(lateLayout.bytes, lateLayout.cen[0] + 42, static_cast<uint32_t>(lateLayout.bytes.size() - 8));
  ASSERT_NE(Open(lateLayout.bytes, "late"), nullptr);
  EXPECT_EQ(zipGetNextEntry(zip, 0), nullptr);
  EXPECT_STREQ(zip->msg, zipmsg::kLocRead);
}

TEST_F(ZipEntry, NameAndExtraLengthsThatWrapSixteenBitsNeverReadPastTheHeader) {
  // Central name 40,000 + extra 30,000 bytes: nelen keeps only 4,464 of 70,000.
  Entry big = Stored(std::string(40000, 'N'), "data");
  big.centralExtra = std::string(30000, 'X');
  const Layout l = Build({big});
  ASSERT_NE(Open(l.bytes), nullptr);
  EXPECT_EQ(zip->entries[0].nelen, static_cast<unsigned short>(70000 & 0xFFFF));
  EXPECT_EQ(zipGetNextEntry(zip, 0), nullptr);
  EXPECT_STREQ(zip->msg, zipmsg::kLocHeaderSize);
  EXPECT_EQ(zipGetEntry(zip, big.name.c_str()), nullptr);
}

TEST_F(ZipEntry, ReleasedEntryIsCachedForTheNextLookup) {
  const Layout l = Build({Stored("a", "A"), Stored("b", "B")});
  ASSERT_NE(Open(l.bytes), nullptr);
  jzentry *a = zipGetEntry(zip, "a");
  ASSERT_NE(a, nullptr);
  zipFreeEntry(zip, a);
  EXPECT_EQ(zip->cache, a);

  // Break the local header on disk: only a lookup that reads the file would notice.
  int fd = open(archive.c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, "XXXX", 4, static_cast<off_t>(l.loc[0])), 4);
  close(fd);
  EXPECT_EQ(zipGetEntry(zip, "a"), a);
  EXPECT_EQ(zip->cache, nullptr);
  zipFreeEntry(zip, a);
  EXPECT_EQ(zipGetNextEntry(zip, 0), nullptr);  // reading it again does see the damage
  EXPECT_EQ(zip->cache, a);

  // Releasing b frees a (ASan reports a leak otherwise) and keeps b until the close.
  jzentry *b = zipGetEntry(zip, "b");
  ASSERT_NE(b, nullptr);
  zipFreeEntry(zip, b);
  EXPECT_EQ(zip->cache, b);
  zipFreeEntry(zip, nullptr);
  EXPECT_EQ(zip->cache, nullptr);

  jint size = 0, nameLen = 0;
  jzentry *found = zipFindEntry(zip, "b", &size, &nameLen);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(nameLen, 1);
  zipFreeEntry(zip, found);
  size = nameLen = 77;
  EXPECT_EQ(zipFindEntry(zip, "zz", &size, &nameLen), nullptr);
  EXPECT_EQ(size, 77);

  // Indexes outside the directory give null and leave the reason alone.
  zip->msg = const_cast<char *>("sentinel");
  EXPECT_EQ(zipGetNextEntry(zip, zip->total), nullptr);
  EXPECT_EQ(zipGetNextEntry(zip, -1), nullptr);
  EXPECT_STREQ(zip->msg, "sentinel");
}

TEST_F(ZipEntry, RawReadsStayInsideTheEntryData) {
  ASSERT_NE(Open({Stored("s", "0123456789"), Deflated("d", std::string(1000, 'z'))}), nullptr);
  jzentry *s = zipGetNextEntry(zip, 0);
  ASSERT_NE(s, nullptr);
  char buf[64] = {};
  EXPECT_EQ(zipRead(zip, s, 3, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(zip->msg, nullptr);
  EXPECT_EQ(zipRead(zip, s, 8, buf, 50), 2);  // clipped to the data
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(zipRead(zip, s, 0, buf, 0), 0);
  EXPECT_EQ(zipRead(zip, s, 0, buf, -5), 0);
  EXPECT_EQ(zipRead(zip, s, 10, buf, 1), -1);
  EXPECT_STREQ(zip->msg, zipmsg::kOffsetRange);
  EXPECT_EQ(zipRead(zip, s, -1, buf, 1), -1);
  EXPECT_STREQ(zip->msg, zipmsg::kOffsetRange);
  EXPECT_EQ(zipRead(zip, s, 9, buf, 1), 1);
  EXPECT_EQ(zip->msg, nullptr);  // reset by every read
  zipFreeEntry(zip, s);

  jzentry *d = zipGetNextEntry(zip, 1);
  ASSERT_NE(d, nullptr);
  // For a deflated entry the compressed length bounds the reads.
  EXPECT_EQ(zipRead(zip, d, d->csize - 1, buf, 10), 1);
  EXPECT_EQ(zipRead(zip, d, d->csize, buf, 10), -1);
  zipFreeEntry(zip, d);
}

TEST_F(ZipEntry, NegativeDeclaredSizesAreNeverRead) {
  // Found by fuzzing: a stored entry declaring 2^31 bytes, read at every offset a caller may
  // compute from that size.
  Entry huge = Stored("huge", "tiny");
  huge.size = huge.csize = 0x80000000u;
  ASSERT_NE(Open({huge}), nullptr);
  jzentry *e = zipGetNextEntry(zip, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->size, INT32_MIN);
  char buf[16];
  for (jint pos : {0, 1, INT32_MAX, INT32_MIN, -1}) {
    EXPECT_EQ(zipRead(zip, e, pos, buf, sizeof buf), -1) << pos;
    EXPECT_STREQ(zip->msg, zipmsg::kOffsetRange);
  }
  EXPECT_FALSE(zipReadEntry(zip, e, scratch.Path("out").c_str()));
  EXPECT_STREQ(zip->msg, zipmsg::kBadSize);
  EXPECT_FALSE(Exists(scratch.Path("out")));
  zipFreeEntry(zip, e);
}

TEST_F(ZipEntry, StoredEntriesAreCopiedWhole) {
  const std::string big = Noise(40000);
  const std::string exact = Noise(32768, 9);
  ASSERT_NE(Open({Stored("big", big), Stored("exact", exact), Stored("empty", ""),
                  Stored("one", "1")}),
            nullptr);
  std::string data;
  ASSERT_TRUE(Extract(0, &data));
  EXPECT_EQ(data, big);
  ASSERT_TRUE(Extract(1, &data));
  EXPECT_EQ(data, exact);
  ASSERT_TRUE(Extract(2, &data));
  EXPECT_EQ(data, "");
  EXPECT_TRUE(Exists(scratch.Path("out")));
  ASSERT_TRUE(Extract(3, &data));
  EXPECT_EQ(data, "1");
}

TEST_F(ZipEntry, DeflatedEntriesInflateWhole) {
  const std::string text = Noise(100000, 5) + std::string(300000, 'a');
  Entry best = Deflated("zeros", std::string(5 << 20, '\0'));
  ASSERT_NE(Open({Deflated("text", text), Deflated("empty", ""), best}), nullptr);
  std::string data;
  ASSERT_TRUE(Extract(0, &data));
  EXPECT_EQ(data, text);
  ASSERT_TRUE(Extract(1, &data));
  EXPECT_EQ(data, "");
  ASSERT_TRUE(Extract(2, &data));
  EXPECT_EQ(data, std::string(5 << 20, '\0'));
}

TEST_F(ZipEntry, InflationFailsOnEveryInconsistency) {
  const std::string content = Noise(20000, 2) + std::string(50000, 'q');
  struct Case {
    const char *what;
    void (*change)(Entry &);
    const char *reason;
    bool noOutput;  // refused before a file is made
  };
  const Case cases[] = {
      {"compressed bytes left after the end of the stream",
       [](Entry &e) { e.data += "trailing", e.csize += 8; }, zipmsg::kEndOfStream, false},
      {"stream ends short of the declared size", [](Entry &e) { e.size += 1; },
       zipmsg::kEndOfStream, false},
      {"all compressed bytes used, stream not ended",
       [](Entry &e) {
         e.data.resize(e.data.size() / 2);
         e.csize = static_cast<uint32_t>(e.data.size());
       },
       zipmsg::kEndOfStream, false},
      // A final block of the reserved type.
      {"corrupt deflate data", [](Entry &e) { e.data[0] = '\x07'; }, zipmsg::kBadData, false},
      {"CRC-32 does not match", [](Entry &e) { e.crc ^= 1; }, zipmsg::kInflateCrc, false},
      {"negative declared size", [](Entry &e) { e.size = 0x80000000u; }, zipmsg::kBadSize, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Entry e = Deflated("e", content);
    c.change(e);
    EXPECT_EQ(Failure(e), c.reason);
    if (c.noOutput) {
      EXPECT_FALSE(Exists(scratch.Path("out")));
    }
  }
}

TEST_F(ZipEntry, InflationStopsAtTheDeclaredSize) {
  // 8 MiB of zeros in about 8 KiB, declared as 1,000 bytes: nothing beyond those is written.
  Entry bomb = Deflated("bomb", std::string(8 << 20, '\0'));
  bomb.size = 1000;
  EXPECT_EQ(Failure(bomb), zipmsg::kTooLarge);
  struct stat st;
  ASSERT_EQ(stat(scratch.Path("out").c_str(), &st), 0);
  EXPECT_LE(st.st_size, 1000);
}

TEST_F(ZipEntry, ArchiveEndingInsideEntryDataFails) {
  // The entry's header and data are the last bytes of the archive comment, so the file ends
  // before the declared data does.
  const std::string content = Noise(30000, 4);
  for (bool stored : {true, false}) {
    SCOPED_TRACE(stored ? "stored" : "deflated");
    Entry e = stored ? Stored("cut", content) : Deflated("cut", content);
    const std::string present = e.data.substr(0, e.data.size() / 2);
    std::string loc;
    Append32(loc, 0x04034B50);
    Append16(loc, 20);
    Append16(loc, 0);
    Append16(loc, e.method);
    Append32(loc, 0);
    Append32(loc, e.crc);
    Append32(loc, e.csize);
    Append32(loc, e.size);
    Append16(loc, 3);
    Append16(loc, 0);
    loc += "cut" + present;
    e.data.clear();
    e.overrideOffset = true;
    Layout l = Build({e}, "", loc);
    Put32(l.bytes, l.cen[0] + 42, static_cast<uint32_t>(l.endPos + 22));
    ASSERT_NE(Open(l.bytes, stored ? "stored" : "deflated"), nullptr);
    std::string data, reason;
    EXPECT_FALSE(Extract(0, &data, &reason));
    EXPECT_EQ(reason, stored ? zipmsg::kShortCopy : zipmsg::kEndOfFile);
  }
}

TEST_F(ZipEntry, InflateFullyRefusesStoredEntries) {
  ASSERT_NE(Open({Stored("s", "abc")}), nullptr);
  jzentry *e = zipGetNextEntry(zip, 0);
  ASSERT_NE(e, nullptr);
  char *msg = const_cast<char *>("unset");
  int fd = open(scratch.Path("out").c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_FALSE(inflateFully(zip, e, fd, &msg));
  EXPECT_STREQ(msg, zipmsg::kNotCompressed);
  close(fd);
  zipFreeEntry(zip, e);
}

TEST_F(ZipEntry, DamagedStoredDataFailsTheCrcCheck) {
  const std::string content = Noise(50000, 8);
  const Layout l = Build({Stored("s", content), Stored("empty-bad-crc", "")});
  std::string bytes = l.bytes;
  bytes[l.loc[0] + 30 + 1 + 40000] ^= 0x20;  // one flipped bit in the last chunk
  Put32(bytes, l.cen[1] + 16, 1);
  ASSERT_NE(Open(bytes), nullptr);
  std::string data, reason;
  EXPECT_FALSE(Extract(0, &data, &reason));
  EXPECT_EQ(reason, zipmsg::kStoredCrc);
  EXPECT_FALSE(Extract(1, &data, &reason));
  EXPECT_EQ(reason, zipmsg::kStoredCrc);
}

TEST_F(ZipEntry, OutputFilesAreTruncatedPrivateAndNeverFollowLinks) {
  ASSERT_NE(Open({Stored("s", "short"), Deflated("d", "deflated short")}), nullptr);
  for (jint n : {0, 1}) {
    const std::string path = scratch.Write("existing" + std::to_string(n),
                                          std::string(100000, '#'), 0640);
    jzentry *e = zipGetNextEntry(zip, n);
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(zipReadEntry(zip, e, path.c_str()));
    EXPECT_EQ(ReadFile(path), n == 0 ? "short" : "deflated short");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // an existing file keeps its permission bits

    const std::string fresh = scratch.Path("fresh" + std::to_string(n));
    mode_t old = umask(022);
    ASSERT_TRUE(zipReadEntry(zip, e, fresh.c_str()));
    umask(old);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u & ~022u);

    // A link in the entry's place is refused; its target is untouched.
    const std::string target = scratch.Write("target", "outside");
    const std::string link = scratch.Path("link" + std::to_string(n));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const int before = OpenDescriptors();
    EXPECT_FALSE(zipReadEntry(zip, e, link.c_str()));
    EXPECT_STREQ(zip->msg, zipmsg::kCannotOpen);
    EXPECT_EQ(ReadFile(target), "outside");
    EXPECT_FALSE(zipReadEntry(zip, e, scratch.Path("no/such/dir").c_str()));
    EXPECT_EQ(OpenDescriptors(), before);
    zipFreeEntry(zip, e);
  }
}

// A failed write is told from bad data: the reason text says so and writeErrno keeps the
// system's error, which is 0 after a failure of the archive's own.
TEST_F(ZipEntry, WriteFailuresFailTheEntryWithTheirError) {
  ASSERT_NE(Open({Stored("s", Noise(20000)), Deflated("d", Noise(20000))}), nullptr);
  for (jint n : {0, 1}) {
    jzentry *e = zipGetNextEntry(zip, n);
    ASSERT_NE(e, nullptr);
    const int before = OpenDescriptors();
    EXPECT_FALSE(zipReadEntry(zip, e, "/dev/full")) << n;
    EXPECT_STREQ(zip->msg, zipmsg::kWriteFailed) << n;
    EXPECT_EQ(zip->writeErrno, ENOSPC) << n;
    EXPECT_EQ(OpenDescriptors(), before);
    // The next entry written well clears it.
    EXPECT_TRUE(zipReadEntry(zip, e, scratch.Path("ok").c_str())) << n;
    EXPECT_EQ(zip->writeErrno, 0);
    zipFreeEntry(zip, e);
  }
  // Names the file system refuses for what they are, not for want of space, are no write
  // failure: a directory in the entry's place, a missing directory.
  jzentry *e = zipGetNextEntry(zip, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(zipReadEntry(zip, e, scratch.MkDir("a-directory").c_str()));
  EXPECT_STREQ(zip->msg, zipmsg::kCannotOpen);
  EXPECT_EQ(zip->writeErrno, 0);
  EXPECT_FALSE(zipReadEntry(zip, e, scratch.Path("no/such/dir").c_str()));
  EXPECT_EQ(zip->writeErrno, 0);
  zipFreeEntry(zip, e);
}

TEST_F(ZipEntry, BadDataLeavesNoWriteError) {
  const Layout l = Build({Stored("s", Noise(5000, 2))});
  std::string bytes = l.bytes;
  bytes[l.loc[0] + 30 + 1 + 100] ^= 0x01;
  ASSERT_NE(Open(bytes), nullptr);
  jzentry *e = zipGetNextEntry(zip, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(zipReadEntry(zip, e, "/dev/full"));
  EXPECT_EQ(zip->writeErrno, ENOSPC) << "the write failed first";
  EXPECT_FALSE(zipReadEntry(zip, e, scratch.Path("out").c_str()));
  EXPECT_STREQ(zip->msg, zipmsg::kStoredCrc);
  EXPECT_EQ(zip->writeErrno, 0);
  zipFreeEntry(zip, e);
}

// Deflated entries up to a size limit are inflated whole (libdeflate), larger ones as a stream
// (zlib). The two ways must agree on every entry, sound or not: result, reason, write error and
// every byte written.
TEST_F(ZipEntry, WholeAndStreamedInflationAgree) {
  const std::string content = Noise(20000, 2) + std::string(50000, 'q');
  auto variant = [&](const char *name, void (*change)(Entry &)) {
    Entry e = Deflated(name, content);
    change(e);
    return e;
  };
  ASSERT_NE(Open({Deflated("sound", content), Deflated("empty", ""),
                  variant("trailing", [](Entry &e) { e.data += "trailing", e.csize += 8; }),
                  variant("short", [](Entry &e) { e.size += 1; }),
                  variant("long", [](Entry &e) { e.size -= 1; }),
                  variant("cut", [](Entry &e) { e.csize = static_cast<uint32_t>(e.data.size() / 2); }),
                  variant("damaged", [](Entry &e) { e.data[e.data.size() / 2] ^= 0x55; }),
                  variant("crc", [](Entry &e) { e.crc ^= 1; }),
                  variant("reserved-block", [](Entry &e) { e.data[0] = '\x07'; })}),
            nullptr);
  struct Outcome {
    bool ok;
    std::string reason;
    int error;
    std::string data;
  };
  auto extract = [this](jint n, jint limit, const std::string &out) {
    zipSetWholeEntryLimit(limit);
    jzentry *e = zipGetNextEntry(zip, n);
    Outcome o{e != nullptr && zipReadEntry(zip, e, out.c_str()), "", zip->writeErrno, ""};
    zipSetWholeEntryLimit(-1);
    o.reason = zip->msg != nullptr ? zip->msg : "";
    o.data = out == "/dev/full" ? "" : Exists(out) ? ReadFile(out) : "<missing>";
    if (e != nullptr) zipFreeEntry(zip, e);
    return o;
  };
  for (jint n = 0; n < zip->total; n++) {
    for (const std::string &out : {scratch.Path("o"), std::string("/dev/full")}) {
      SCOPED_TRACE(std::to_string(n) + " to " + out);
      const Outcome whole = extract(n, INT32_MAX, out), streamed = extract(n, 0, out);
      EXPECT_EQ(whole.ok, n == 1 || (n == 0 && out != "/dev/full"));
      EXPECT_EQ(whole.ok, streamed.ok);
      EXPECT_EQ(whole.reason, streamed.reason);
      EXPECT_EQ(whole.error, streamed.error);
      EXPECT_EQ(whole.data, streamed.data);
    }
  }
  // Cut short by the file size limit, both ways write the same part.
  for (jint limit : {INT32_MAX, 0}) {
    const Outcome o = [&] {
      FileSizeLimit cut(30000);
      return extract(0, limit, scratch.Path("o"));
    }();
    EXPECT_EQ(o.error, EFBIG) << limit;
    EXPECT_EQ(o.data, content.substr(0, 30000)) << limit;
  }
}

// The memory for inflating an entry whole is not to be had: the entry is streamed instead,
// neither failed nor the run ended for want of memory.
TEST_F(ZipEntry, AnEntryIsStreamedWhenItsWholeBuffersCannotBeHad) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  const std::string content = Noise(1 << 20, 3) + std::string(40 << 20, 'z');
  ASSERT_NE(Open({Deflated("big", content)}), nullptr);
  const std::string out = scratch.Path("out");
  const ChildRun child = RunInChild([&] {
    // Room for the stream's buffers, not for the entry's 41 MiB.
    unsigned long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1) return 2;
    const rlim_t room = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (16 << 20);
    const struct rlimit lim = {room, room};
    if (setrlimit(RLIMIT_AS, &lim) != 0) return 2;
    jzentry *e = zipGetNextEntry(zip, 0);
    return e != nullptr && zipReadEntry(zip, e, out.c_str()) ? 0 : 1;
  });
  EXPECT_TRUE(child.exited && child.code == 0) << child.code << " " << child.signal << child.err;
  EXPECT_EQ(ReadFile(out), content);
}

// A file system that is nearly full takes part of a write and refuses the rest only on the
// next write. The file size limit behaves alike (with SIGXFSZ ignored): the refusal must be
// reached and reported, not taken for a short write without an error.
TEST_F(ZipEntry, AWriteCutShortIsContinuedUntilTheRefusal) {
  ASSERT_NE(Open({Stored("s", Noise(100000, 5)), Deflated("d", Noise(100000, 6))}), nullptr);
  bool results[2];
  int errors[2];
  const char *reasons[2];
  {
    FileSizeLimit limit(30000);
    for (jint n : {0, 1}) {
      jzentry *e = zipGetNextEntry(zip, n);
      const std::string out = scratch.Path("limited" + std::to_string(n));
      results[n] = e != nullptr && zipReadEntry(zip, e, out.c_str());
      errors[n] = zip->writeErrno;
      reasons[n] = zip->msg;
      if (e != nullptr) zipFreeEntry(zip, e);
    }
  }
  for (jint n : {0, 1}) {
    EXPECT_FALSE(results[n]) << n;
    EXPECT_EQ(errors[n], EFBIG) << n;
    EXPECT_STREQ(reasons[n], zipmsg::kWriteFailed) << n;
    EXPECT_EQ(ReadFile(scratch.Path("limited" + std::to_string(n))).size(), 30000u) << n;
  }
}

}  // namespace
