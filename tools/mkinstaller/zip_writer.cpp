// Whether an entry is deflated is decided by trying. A file up to 256 MiB (nearly
// every file; a JDK's largest, lib/modules, is about 123 MiB) is read whole and deflated in
// memory with libdeflate, which is twice as fast as zlib and compresses a little better, into
// a buffer just large enough for a result worth keeping: when the result does not fit, the
// file is stored. A larger file is streamed through zlib block by block, its CRC-32 and sizes
// patched into the local header afterwards, and written again, stored, when the result is not
// worth keeping; so memory stays bounded whatever the payload (about twice the in-memory
// limit at most). The buffers are reused from entry to entry. Output goes through one buffer so that the many small headers cost few
// system calls; large data goes straight to the file.
#include "zip_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>

using namespace zipfmt;

namespace {

constexpr size_t kBlock = 256 * 1024;
constexpr size_t kFlushAt = 1024 * 1024;
constexpr int kMethodStored = 0, kMethodDeflated = 8;
constexpr uint32_t kVersionStored = 10, kVersionDeflated = 20;
// Unix, ZIP 3.0: lets unzip apply the fixed modes below when someone unpacks an installer with it.
constexpr uint32_t kVersionMadeBy = 3 << 8 | 30;
// The launcher gives every file mode 0700; the archive records fixed modes rather than those of
// the packing machine, so that the same payload gives the same bytes whatever its modes.
constexpr uint32_t kFileAttributes = 0100644u << 16;
constexpr uint32_t kDirectoryAttributes = 040755u << 16 | 0x10;  // 0x10: MS-DOS directory bit

void Put16(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char *p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

}  // namespace

// Where an entry's bytes come from: a file read block by block, or bytes in memory.
class ZipWriter::Source {
 public:
  explicit Source(const std::string *data) : data_(data), size_(static_cast<int64_t>(data->size())) {}
  Source(int fd, int64_t size) : fd_(fd), size_(size) {}
  // Known to hold nothing: deflating it would only add the two bytes of an empty stream.
  bool Empty() const { return size_ == 0; }
  // Its size when it was opened; a file may change later.
  int64_t Size() const { return size_; }
  // All of it: *data points at the bytes (in buf for a file, which is grown as needed). False
  // on a read error (errno set); *changed when a file has grown since it was opened.
  bool ReadWhole(Buffer *buf, const unsigned char **data, size_t *len, bool *changed) {
    *changed = false;
    if (data_ != nullptr) {
      *data = reinterpret_cast<const unsigned char *>(data_->data());
      *len = data_->size();
      return true;
    }
    // One byte more than expected tells a file that has grown.
    const size_t want = static_cast<size_t>(size_) + 1;
    unsigned char *bytes = buf->Reserve(want);
    size_t have = 0;
    while (have < want) {
      const ssize_t n = Read(bytes + have, want - have);
      if (n < 0) return false;
      if (n == 0) break;
      have += static_cast<size_t>(n);
    }
    *changed = have == want;
    *data = bytes;
    *len = have;
    return true;
  }
  // Up to len bytes; 0 at the end, -1 on error (errno set).
  ssize_t Read(unsigned char *buf, size_t len) {
    if (data_ != nullptr) {
      const size_t n = std::min(len, data_->size() - offset_);
      memcpy(buf, data_->data() + offset_, n);
      offset_ += n;
      return static_cast<ssize_t>(n);
    }
    for (;;) {
      ssize_t n = read(fd_, buf, len);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }
  bool Rewind() {
    offset_ = 0;
    return data_ != nullptr || lseek(fd_, 0, SEEK_SET) == 0;
  }

 private:
  const std::string *data_ = nullptr;
  int fd_ = -1;
  int64_t size_;
  size_t offset_ = 0;
};

ZipWriter::ZipWriter(int fd, int64_t base, bool absolute, int level, const ArchiveLimits &limits)
    : fd_(fd), base_(base), absolute_(absolute), level_(level), limits_(limits) {
  buffer_.reserve(kFlushAt + kBlock);
  memset(&deflater_, 0, sizeof deflater_);
}

ZipWriter::~ZipWriter() {
  if (deflaterReady_) deflateEnd(&deflater_);
  if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
}

bool ZipWriter::Fail(const std::string &message) {
  if (!failed_) error_ = message;
  failed_ = true;
  return false;
}

bool ZipWriter::WriteAt(const void *data, size_t len, int64_t archivePos) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  for (size_t done = 0; done < len;) {
    const ssize_t n = pwrite(fd_, p + done, len - done, base_ + archivePos + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(std::string("cannot write the installer: ") + strerror(n < 0 ? errno : ENOSPC));
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ZipWriter::Flush() {
  if (!WriteAt(buffer_.data(), buffer_.size(), bufferStart_)) return false;
  bufferStart_ += static_cast<int64_t>(buffer_.size());
  buffer_.clear();
  return true;
}

bool ZipWriter::Append(const void *data, size_t len) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  if (len < kFlushAt) {
    buffer_.insert(buffer_.end(), p, p + len);
    pos_ += static_cast<int64_t>(len);
    return buffer_.size() < kFlushAt || Flush();
  }
  // Large data is not copied into the buffer: what is buffered goes first, then the data.
  if (!Flush() || !WriteAt(p, len, bufferStart_)) return false;
  bufferStart_ += static_cast<int64_t>(len);
  pos_ += static_cast<int64_t>(len);
  return true;
}

bool ZipWriter::PatchAt(int64_t archivePos, const unsigned char *data, size_t len) {
  // Part in the file, part still buffered: the buffer goes out first, or it would undo the patch.
  if (archivePos < bufferStart_ && archivePos + static_cast<int64_t>(len) > bufferStart_ && !Flush()) return false;
  if (archivePos >= bufferStart_) {
    memcpy(buffer_.data() + (archivePos - bufferStart_), data, len);
    return true;
  }
  return WriteAt(data, len, archivePos);
}

bool ZipWriter::TruncateTo(int64_t archivePos) {
  if (archivePos >= bufferStart_) {
    buffer_.resize(static_cast<size_t>(archivePos - bufferStart_));
  } else {
    buffer_.clear();
    bufferStart_ = archivePos;
    if (ftruncate(fd_, base_ + archivePos) != 0) {
      return Fail(std::string("cannot write the installer: ") + strerror(errno));
    }
  }
  pos_ = archivePos;
  return true;
}

// The file must stay within what the launcher reads, counting what the entries written so far
// still add to the central directory and the end record.
bool ZipWriter::CheckLength(int64_t archiveBytesStillToCome) {
  const int64_t length = base_ + pos_ + archiveBytesStillToCome + static_cast<int64_t>(central_.size()) + kEndHdr +
                         static_cast<int64_t>(kDigestRecordLength);
  if (length > limits_.maxFileLength) {
    return Fail("the installer would be larger than " + std::to_string(limits_.maxFileLength) +
                " bytes, the most the launcher reads (launcher and archive together)");
  }
  return true;
}

bool ZipWriter::FailEntry(const std::string &what) { return Fail("'" + subject_ + "' " + what); }

bool ZipWriter::CheckName(const std::string &name) {
  if (static_cast<int64_t>(count_) >= limits_.maxEntries) {
    return Fail("more than " + std::to_string(limits_.maxEntries) + " entries; the launcher reads at most " +
                std::to_string(limits_.maxEntries));
  }
  const std::string problem = NameProblem(name, limits_);
  if (!problem.empty()) return Fail("cannot store \"" + name + "\": " + problem);
  return true;
}

void ZipWriter::LocalHeader(unsigned char *h, const std::string &name, int method, uint32_t dosTime) const {
  memset(h, 0, kLocHdr);
  Put32(h, kLocSig);
  Put16(h + 4, method == kMethodDeflated ? kVersionDeflated : kVersionStored);
  Put16(h + 6, NameFlags(name));
  Put16(h + 8, static_cast<uint32_t>(method));
  Put32(h + 10, dosTime);
  Put16(h + 26, static_cast<uint32_t>(name.size()));
}

void ZipWriter::CentralHeader(const std::string &name, int method, uint32_t dosTime, uint32_t crc, uint32_t csize,
                              uint32_t size, int64_t localPos) {
  unsigned char h[kCenHdr] = {};
  const bool directory = !name.empty() && name.back() == '/';
  Put32(h, kCenSig);
  Put16(h + 4, kVersionMadeBy);
  Put16(h + 6, method == kMethodDeflated ? kVersionDeflated : kVersionStored);
  Put16(h + 8, NameFlags(name));
  Put16(h + 10, static_cast<uint32_t>(method));
  Put32(h + 12, dosTime);
  Put32(h + 16, crc);
  Put32(h + 20, csize);
  Put32(h + 24, size);
  Put16(h + 28, static_cast<uint32_t>(name.size()));
  Put32(h + 38, directory ? kDirectoryAttributes : kFileAttributes);
  Put32(h + 42, static_cast<uint32_t>(absolute_ ? base_ + localPos : localPos));
  central_.append(reinterpret_cast<const char *>(h), sizeof h);
  central_ += name;
  count_++;
}

bool ZipWriter::CopyStored(Source &source, uint32_t *crc, int64_t *size,
                           const std::function<void(uint64_t)> &progress) {
  uint32_t sum = 0;
  int64_t total = 0;
  in_.resize(kBlock);
  for (;;) {
    const ssize_t n = source.Read(in_.data(), in_.size());
    if (n < 0) return FailEntry(std::string("cannot be read: ") + strerror(errno));
    if (n == 0) break;
    total += n;
    if (total > limits_.maxEntrySize) return FailEntry(TooLarge());
    sum = libdeflate_crc32(sum, in_.data(), static_cast<size_t>(n));
    if (!Append(in_.data(), static_cast<size_t>(n)) || !CheckLength(0)) return false;
    if (progress) progress(static_cast<uint64_t>(n));
  }
  *crc = sum;
  *size = total;
  return true;
}

bool ZipWriter::Deflate(Source &source, uint32_t *crc, int64_t *size, int64_t *csize,
                        const std::function<void(uint64_t)> &progress) {
  if (!deflaterReady_) {
    if (deflateInit2(&deflater_, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      return Fail("cannot start zlib's deflate");
    }
    deflaterReady_ = true;
  } else if (deflateReset(&deflater_) != Z_OK) {
    return Fail("cannot reset zlib's deflate");
  }
  uint32_t sum = 0;
  int64_t total = 0, written = 0;
  in_.resize(kBlock);
  out_.resize(kBlock);
  bool end = false;
  while (!end) {
    const ssize_t n = source.Read(in_.data(), in_.size());
    if (n < 0) return FailEntry(std::string("cannot be read: ") + strerror(errno));
    total += n;
    if (total > limits_.maxEntrySize) return FailEntry(TooLarge());
    sum = libdeflate_crc32(sum, in_.data(), static_cast<size_t>(n));
    end = n == 0;
    deflater_.next_in = in_.data();
    deflater_.avail_in = static_cast<uInt>(n);
    int ret;
    do {
      deflater_.next_out = out_.data();
      deflater_.avail_out = static_cast<uInt>(out_.size());
      ret = deflate(&deflater_, end ? Z_FINISH : Z_NO_FLUSH);
      if (ret == Z_STREAM_ERROR) return Fail("zlib's deflate failed");
      const size_t produced = out_.size() - deflater_.avail_out;
      written += static_cast<int64_t>(produced);
      if (!Append(out_.data(), produced) || !CheckLength(0)) return false;
    } while (deflater_.avail_out == 0 || (end && ret != Z_STREAM_END));
    if (progress && n > 0) progress(static_cast<uint64_t>(n));
  }
  *crc = sum;
  *size = total;
  *csize = written;
  return true;
}

// The sizes into the local header, and the central header; the entry is complete.
bool ZipWriter::FinishEntry(const std::string &name, int method, uint32_t dosTime, uint32_t crc, int64_t csize,
                            int64_t size, int64_t localPos) {
  unsigned char sizes[12];
  Put32(sizes, crc);
  Put32(sizes + 4, static_cast<uint32_t>(csize));
  Put32(sizes + 8, static_cast<uint32_t>(size));
  if (!PatchAt(localPos + 14, sizes, sizeof sizes)) return false;
  CentralHeader(name, method, dosTime, crc, static_cast<uint32_t>(csize), static_cast<uint32_t>(size), localPos);
  return CheckLength(0);
}

// The whole entry in memory, deflated into a buffer that holds only a result worth keeping.
bool ZipWriter::AddInMemory(const std::string &name, Source &source, uint32_t dosTime,
                            const std::function<void(uint64_t)> &progress) {
  if (compressor_ == nullptr && (compressor_ = libdeflate_alloc_compressor(level_)) == nullptr) {
    return Fail("cannot start libdeflate's compressor");
  }
  const unsigned char *data = nullptr;
  size_t size = 0;
  bool changed = false;
  if (!source.ReadWhole(&whole_, &data, &size, &changed)) {
    return FailEntry(std::string("cannot be read: ") + strerror(errno));
  }
  if (changed) return FailEntry("changed while it was being packed");
  if (static_cast<int64_t>(size) > limits_.maxEntrySize) return FailEntry(TooLarge());
  const uint32_t crc = libdeflate_crc32(0, data, size);
  const size_t worthwhile = static_cast<size_t>(MaxWorthwhileSize(size));
  unsigned char *packed = packed_.Reserve(worthwhile);
  const size_t csize = worthwhile > 0 ? libdeflate_deflate_compress(compressor_, data, size, packed, worthwhile) : 0;
  const int method = csize > 0 ? kMethodDeflated : kMethodStored;

  const int64_t localPos = pos_;
  unsigned char header[kLocHdr];
  LocalHeader(header, name, method, dosTime);
  if (!Append(header, sizeof header) || !Append(name.data(), name.size()) ||
      !Append(method == kMethodDeflated ? packed : data, method == kMethodDeflated ? csize : size) ||
      !CheckLength(kCenHdr + static_cast<int64_t>(name.size()))) {
    return false;
  }
  if (progress) progress(size);
  return FinishEntry(name, method, dosTime, crc, static_cast<int64_t>(method == kMethodDeflated ? csize : size),
                     static_cast<int64_t>(size), localPos);
}

bool ZipWriter::AddEntry(const std::string &name, Source &source, uint32_t dosTime, bool isDirectory,
                         const std::function<void(uint64_t)> &progress) {
  if (failed_ || !CheckName(name)) return false;
  const bool deflate = !isDirectory && level_ > 0 && !source.Empty();
  if (deflate && source.Size() <= wholeEntry_) return AddInMemory(name, source, dosTime, progress);
  const int64_t localPos = pos_;
  int method = deflate ? kMethodDeflated : kMethodStored;
  unsigned char header[kLocHdr];
  LocalHeader(header, name, method, dosTime);
  if (!Append(header, sizeof header) || !Append(name.data(), name.size()) || !CheckLength(kCenHdr + static_cast<int64_t>(name.size()))) {
    return false;
  }
  const int64_t dataPos = pos_;
  uint32_t crc = 0;
  int64_t size = 0, csize = 0;
  if (!isDirectory) {
    if (deflate) {
      // Progress is told about the bytes once; a second, stored pass reports nothing.
      if (!Deflate(source, &crc, &size, &csize, progress)) return false;
      if (static_cast<uint64_t>(csize) > MaxWorthwhileSize(static_cast<uint64_t>(size))) {
        method = kMethodStored;
        const int64_t firstSize = size;
        const uint32_t firstCrc = crc;
        if (!TruncateTo(dataPos)) return false;
        if (!source.Rewind()) return FailEntry(std::string("cannot be read again: ") + strerror(errno));
        if (!CopyStored(source, &crc, &size, nullptr)) return false;
        if (size != firstSize || crc != firstCrc) return FailEntry("changed while it was being packed");
        LocalHeader(header, name, method, dosTime);
        if (!PatchAt(localPos, header, 10)) return false;
      }
    } else {
      if (!CopyStored(source, &crc, &size, progress)) return false;
    }
    if (method == kMethodStored) csize = size;
  }
  return FinishEntry(name, method, dosTime, crc, csize, size, localPos);
}

std::string ZipWriter::TooLarge() const {
  return "is larger than " + std::to_string(limits_.maxEntrySize) + " bytes, the most the launcher reads for one entry";
}

bool ZipWriter::AddDirectory(const std::string &name, uint32_t dosTime) {
  const std::string none;
  Source source(&none);
  subject_ = name;
  return AddEntry(name, source, dosTime, true, nullptr);
}

bool ZipWriter::AddBytes(const std::string &name, const std::string &data, uint32_t dosTime) {
  Source source(&data);
  subject_ = name;
  return AddEntry(name, source, dosTime, false, nullptr);
}

bool ZipWriter::AddFile(const std::string &name, const std::string &path, uint32_t dosTime,
                        const std::function<void(uint64_t)> &progress, const std::string &display) {
  if (failed_) return false;
  subject_ = display.empty() ? path : display;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FailEntry(std::string("cannot be read: ") + strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return FailEntry("is not a regular file");
  }
  if (st.st_size > limits_.maxEntrySize) {
    close(fd);
    return FailEntry(TooLarge());
  }
  Source source(fd, st.st_size);
  const bool ok = AddEntry(name, source, dosTime, false, progress);
  close(fd);
  return ok;
}

bool ZipWriter::Finish(std::string *fileSha256) {
  if (failed_) return false;
  const int64_t cenPos = pos_;
  if (!CheckLength(0) || !Append(central_.data(), central_.size())) return false;
  unsigned char end[kEndHdr] = {};
  Put32(end, kEndSig);
  Put16(end + 8, static_cast<uint32_t>(count_));
  Put16(end + 10, static_cast<uint32_t>(count_));
  Put32(end + 12, static_cast<uint32_t>(central_.size()));
  Put32(end + 16, static_cast<uint32_t>(absolute_ ? base_ + cenPos : cenPos));
  Put16(end + 20, static_cast<uint32_t>(kDigestRecordLength));
  if (!Flush()) return false;

  // Everything in front of the end record is final now: hash it as it lies in the file.
  Sha256 hash;
  std::vector<unsigned char> block(kFlushAt);
  for (int64_t at = 0; at < base_ + pos_;) {
    const ssize_t n = pread(fd_, block.data(), static_cast<size_t>(std::min<int64_t>(block.size(), base_ + pos_ - at)), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(std::string("cannot read the installer back: ") + strerror(n < 0 ? errno : EIO));
    hash.Update(block.data(), static_cast<size_t>(n));
    at += n;
  }
  const std::string record = kDigestRecordPrefix + hash.HexDigest();
  hash.Update(end, sizeof end);
  hash.Update(record.data(), record.size());
  if (!Append(end, sizeof end) || !Append(record.data(), record.size()) || !Flush()) return false;
  *fileSha256 = hash.HexDigest();
  return true;
}
