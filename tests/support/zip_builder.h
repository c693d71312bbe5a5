// Archives crafted byte by byte, every field under the test's control, for the malformed and
// boundary cases that no well-behaved tool writes; the fields of an archive read and changed in
// place; and a file size limit that makes a file system stop taking data on demand.
#pragma once

#include <stdint.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace ziptest {

inline uint32_t Crc(const std::string &data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
}

// Raw deflate data (no zlib header or trailer), as a ZIP entry holds it.
inline std::string Deflate(const std::string &data, int level = 6) {
  z_stream s;
  memset(&s, 0, sizeof s);
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&s, static_cast<uLong>(data.size())), '\0');
  s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef *>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

inline void Put16(std::string &b, size_t at, uint32_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string &b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
inline uint32_t Get16(const std::string &b, size_t at) {
  return static_cast<unsigned char>(b[at]) | static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8;
}
inline uint32_t Get32(const std::string &b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
inline void Append16(std::string &b, uint32_t v) {
  b.append(2, '\0');
  Put16(b, b.size() - 2, v);
}
inline void Append32(std::string &b, uint32_t v) {
  b.append(4, '\0');
  Put32(b, b.size() - 4, v);
}

// One entry of a crafted archive. The defaults describe a consistent entry; tests change the
// fields they are about.
struct Entry {
  std::string name;
  std::string data;       // the bytes stored in the archive (compressed for method 8)
  uint32_t method = 0;
  uint32_t crc = 0;
  uint32_t csize = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
  uint32_t versionNeeded = 20;
  uint32_t dosTime = 0x5A2B6C3D;
  std::string localName;  // used when differentName is set
  bool differentName = false;
  std::string centralExtra, localExtra, comment;
  // Overrides of the central local-header offset (relative to the archive start).
  bool overrideOffset = false;
  uint32_t offset = 0;
};

inline Entry Stored(const std::string &name, const std::string &content) {
  Entry e;
  e.name = name;
  e.data = content;
  e.crc = Crc(content);
  e.csize = e.size = static_cast<uint32_t>(content.size());
  return e;
}

inline Entry Deflated(const std::string &name, const std::string &content) {
  Entry e;
  e.name = name;
  e.data = Deflate(content);
  e.method = 8;
  e.crc = Crc(content);
  e.csize = static_cast<uint32_t>(e.data.size());
  e.size = static_cast<uint32_t>(content.size());
  return e;
}

struct Layout {
  std::string bytes;
  std::vector<size_t> loc;  // file position of each local header
  std::vector<size_t> cen;  // file position of each central header
  size_t cenStart = 0, endPos = 0;
};

// Lays out prefix, the local headers with their data, the central directory and the end
// record. Offsets are relative to the archive start unless absolute is set.
inline Layout Build(const std::vector<Entry> &entries, const std::string &prefix = "",
                    const std::string &archiveComment = "", bool absolute = false) {
  Layout l;
  std::string &b = l.bytes;
  b = prefix;
  const size_t base = absolute ? 0 : prefix.size();
  // What the local and the central header both hold, from "version needed" to "size".
  auto common = [&b](const Entry &e) {
    Append16(b, e.versionNeeded);
    Append16(b, e.flags);
    Append16(b, e.method);
    Append32(b, e.dosTime);
    Append32(b, e.crc);
    Append32(b, e.csize);
    Append32(b, e.size);
  };
  for (const Entry &e : entries) {
    l.loc.push_back(b.size());
    const std::string &lname = e.differentName ? e.localName : e.name;
    Append32(b, 0x04034B50);
    common(e);
    Append16(b, static_cast<uint32_t>(lname.size()));
    Append16(b, static_cast<uint32_t>(e.localExtra.size()));
    b += lname;
    b += e.localExtra;
    b += e.data;
  }
  l.cenStart = b.size();
  for (size_t i = 0; i < entries.size(); i++) {
    const Entry &e = entries[i];
    l.cen.push_back(b.size());
    Append32(b, 0x02014B50);
    Append16(b, 0x031E);
    common(e);
    Append16(b, static_cast<uint32_t>(e.name.size()));
    Append16(b, static_cast<uint32_t>(e.centralExtra.size()));
    Append16(b, static_cast<uint32_t>(e.comment.size()));
    Append16(b, 0);
    Append16(b, 0);
    Append32(b, 0);
    Append32(b, e.overrideOffset ? e.offset : static_cast<uint32_t>(l.loc[i] - base));
    b += e.name;
    b += e.centralExtra;
    b += e.comment;
  }
  l.endPos = b.size();
  Append32(b, 0x06054B50);
  Append16(b, 0);
  Append16(b, 0);
  Append16(b, static_cast<uint32_t>(entries.size()));
  Append16(b, static_cast<uint32_t>(entries.size()));
  Append32(b, static_cast<uint32_t>(l.endPos - l.cenStart));
  Append32(b, static_cast<uint32_t>(l.cenStart - base));
  Append16(b, static_cast<uint32_t>(archiveComment.size()));
  b += archiveComment;
  return l;
}

// For its lifetime, files of this process (and of the processes it forks) may not grow beyond
// `bytes`, and going beyond is a failed write (EFBIG) rather than SIGXFSZ: a file system that
// stops taking data, made on demand.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    EXPECT_EQ(sigaction(SIGXFSZ, &ignore, &previous_), 0);
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved_), 0);
    struct rlimit limited = saved_;
    limited.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  }
  ~FileSizeLimit() {
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &saved_), 0);
    sigaction(SIGXFSZ, &previous_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

 private:
  struct sigaction previous_;
  struct rlimit saved_;
};

}  // namespace ziptest
