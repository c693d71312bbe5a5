// Test fixtures for the archive reader: archives made with Info-ZIP zip from a payload tree,
// and archives crafted byte by byte (every field under the test's control) for the malformed
// and boundary cases that no well-behaved tool writes.
#pragma once

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/zip_util.h"

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
  for (const Entry &e : entries) {
    l.loc.push_back(b.size());
    const std::string &lname = e.differentName ? e.localName : e.name;
    Append32(b, 0x04034B50);
    Append16(b, e.versionNeeded);
    Append16(b, e.flags);
    Append16(b, e.method);
    Append32(b, e.dosTime);
    Append32(b, e.crc);
    Append32(b, e.csize);
    Append32(b, e.size);
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
    Append16(b, e.versionNeeded);
    Append16(b, e.flags);
    Append16(b, e.method);
    Append32(b, e.dosTime);
    Append32(b, e.crc);
    Append32(b, e.csize);
    Append32(b, e.size);
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

inline void WriteFile(const std::string &path, const std::string &bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

inline std::string ReadFile(const std::string &path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

inline bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline bool IsDir(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs a shell command, failing the test when it does not exit with 0.
inline void Sh(const std::string &command) {
  ASSERT_EQ(system(command.c_str()), 0) << command;
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

// A reproducible, poorly compressible payload of n bytes.
inline std::string Noise(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 23);
  }
  return s;
}

// Reads an entry of an open archive into memory through zipReadEntry and a scratch file.
inline bool ExtractToString(jzfile *zip, jzentry *e, const std::string &scratchFile,
                            std::string *out) {
  unlink(scratchFile.c_str());
  if (!zipReadEntry(zip, e, scratchFile.c_str())) return false;
  *out = ReadFile(scratchFile);
  return true;
}

}  // namespace ziptest
