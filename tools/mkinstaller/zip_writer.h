// Writes an installer's archive behind the launcher already in the output file: entries in
// the order they are added (the caller sorts them), each with its local header, then the
// central directory and the end record, whose comment records the SHA-256 of everything in
// front of it. Nothing but what the launcher's reader needs is written: no extra fields, no
// data descriptors, no file modes beyond fixed ones, so the bytes depend only on the names,
// contents and time stamps given (and on the compressor's version). Every entry is deflated
// and kept so only where that pays (MaxWorthwhileSize); names that are UTF-8 are marked so.
#pragma once

#include <stdint.h>
#include <zlib.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sha256.h"
#include "zip_format.h"

struct libdeflate_compressor;

class ZipWriter {
 public:
  // fd is the output file, open for reading and writing, holding the launcher's `base` bytes.
  // With absolute, recorded offsets are positions in the file rather than in the archive.
  // level 0 stores every entry; 1 to 9 deflate each file and keep it deflated where that pays.
  ZipWriter(int fd, int64_t base, bool absolute, int level, const ArchiveLimits &limits);
  ~ZipWriter();
  ZipWriter(const ZipWriter &) = delete;
  ZipWriter &operator=(const ZipWriter &) = delete;

  // Each returns false with error() set; the writer is then unusable.
  // name ends with "/".
  bool AddDirectory(const std::string &name, uint32_t dosTime);
  // The contents of the file at path, read to its end. progress, when given, gets the number
  // of bytes read since its previous call. Messages name the file as display (default: path).
  bool AddFile(const std::string &name, const std::string &path, uint32_t dosTime,
               const std::function<void(uint64_t)> &progress = nullptr, const std::string &display = "");
  bool AddBytes(const std::string &name, const std::string &data, uint32_t dosTime);
  // The central directory, the end record and its digest record. On success the file is
  // complete and fileSha256 holds the SHA-256 of all of it.
  bool Finish(std::string *fileSha256);

  // Files up to this many bytes are deflated in memory (the default is kDefaultWholeEntry), larger
  // ones streamed through zlib.
  static constexpr int64_t kDefaultWholeEntry = 256 * 1024 * 1024;
  void SetWholeEntryLimit(int64_t bytes) { wholeEntry_ = bytes; }

  const std::string &error() const { return error_; }
  int64_t entries() const { return static_cast<int64_t>(count_); }
  // Bytes of the file written so far, launcher included.
  int64_t fileLength() const { return base_ + pos_; }

 private:
  class Source;
  bool Fail(const std::string &message);
  bool FailEntry(const std::string &what);
  std::string TooLarge() const;
  bool CheckName(const std::string &name);
  bool Append(const void *data, size_t len);
  bool AddInMemory(const std::string &name, Source &source, uint32_t dosTime,
                   const std::function<void(uint64_t)> &progress);
  // Writes len bytes at archivePos of the archive, whatever the buffer holds.
  bool WriteAt(const void *data, size_t len, int64_t archivePos);
  bool Flush();
  bool PatchAt(int64_t archivePos, const unsigned char *data, size_t len);
  bool TruncateTo(int64_t archivePos);
  bool CheckLength(int64_t archiveBytesStillToCome);
  void LocalHeader(unsigned char *h, const std::string &name, int method, uint32_t dosTime) const;
  bool FinishEntry(const std::string &name, int method, uint32_t dosTime, uint32_t crc, int64_t csize, int64_t size,
                   int64_t localPos);
  void CentralHeader(const std::string &name, int method, uint32_t dosTime, uint32_t crc, uint32_t csize,
                     uint32_t size, int64_t localPos);
  bool AddEntry(const std::string &name, Source &source, uint32_t dosTime, bool isDirectory,
                const std::function<void(uint64_t)> &progress);
  bool CopyStored(Source &source, uint32_t *crc, int64_t *size, const std::function<void(uint64_t)> &progress);
  bool Deflate(Source &source, uint32_t *crc, int64_t *size, int64_t *csize,
               const std::function<void(uint64_t)> &progress);

  int fd_;
  int64_t base_;
  bool absolute_;
  int level_;
  ArchiveLimits limits_;
  int64_t pos_ = 0;  // bytes of the archive written (buffered ones included)
  std::vector<unsigned char> buffer_;
  int64_t bufferStart_ = 0;  // archive position of buffer_[0]
  std::string central_;
  size_t count_ = 0;
  z_stream deflater_;
  bool deflaterReady_ = false;
  int64_t wholeEntry_ = kDefaultWholeEntry;
  libdeflate_compressor *compressor_ = nullptr;
  std::vector<unsigned char> in_, out_;
  // An entry deflated in memory, and its result. Grown without being cleared first, so that
  // only the pages written to are ever touched.
  struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size = 0;
    unsigned char *Reserve(size_t n) {
      if (n > size) {
        bytes.reset(new unsigned char[n]);
        size = n;
      }
      return bytes.get();
    }
  };
  Buffer whole_, packed_;
  std::string subject_;  // what messages about the current entry name
  std::string error_;
  bool failed_ = false;
};
