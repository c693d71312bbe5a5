// Entries of an open archive: building an entry from its cell and local header, lookup by
// position or by name with a one-entry cache, the one walk over every local header that the
// launcher's passes share, raw reads of an entry's data, and writing an entry to a file (stored
// data copied, deflated data inflated). The archive is not trusted: every length is checked
// against the bytes actually read, inflation is bounded by the declared size, and the CRC-32 of
// what was written must match the central directory's. Every read is positional (pread), so
// processes that share the descriptor never move each other's reads.
//
// Deflated entries up to a size limit are inflated whole by libdeflate, which is more than twice
// as fast as zlib; larger ones, and any entry that libdeflate does not find exactly sound, go
// through zlib's streaming inflate, which therefore decides how every bad entry fails. Memory,
// zlib's included, comes from MemAlloc: running out of it ends the run as "Out of memory" rather
// than as a damaged entry. The whole-entry buffers are the exception: without them the entry is
// streamed instead.
#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include "archive/zip_internal.h"
#include "base/memory.h"
#include "base/paths.h"

using namespace zipfmt;

// zlib's inflate names crc32 (for gzip streams, which the launcher never inflates), which would
// bring zlib's own CRC-32 and its 8 KiB of tables into the launcher beside libdeflate's. Defined
// here through libdeflate's, the launcher carries one CRC-32, and zlib's is not linked.
extern "C" uLong crc32(uLong crc, const Bytef *buf, uInt len) {
  return libdeflate_crc32(static_cast<uint32_t>(crc), buf, len);
}

namespace {

constexpr jint kCopyBuffer = 16384;
// 64 KiB each way instead of 4 KiB in and 16 KiB out: a quarter of the reads and writes and
// fewer slow-path inflate calls at block edges, about 15% less time for a 10,000-file archive
// (docs/PERFORMANCE.md).
constexpr jint kInflateInput = 65536;
constexpr jint kInflateOutput = 65536;
// Entries up to this size, uncompressed and compressed, are inflated whole: the buffers for one
// cost at most twice this much memory per process (docs/PERFORMANCE.md tells how it was chosen).
constexpr jint kDefaultWholeEntryLimit = 128 << 20;
// The walk over the local headers reads this much at a time, so that the headers of small
// entries, which lie close together, come in one read.
constexpr jint kHeaderWindow = 16384;

jint wholeEntryLimit = kDefaultWholeEntryLimit;

void FreeEntry(jzentry *ze) {
  free(ze->extra);
  free(ze->name);
  free(ze);
}

// An extra field with its two-byte little-endian length in front.
jbyte *NewExtra(unsigned int len) {
  jbyte *extra = static_cast<jbyte *>(MemAlloc(len + 2));
  extra[0] = static_cast<jbyte>(len & 0xFF);
  extra[1] = static_cast<jbyte>(len >> 8);
  return extra;
}

struct FreeGuard {
  void *p;
  ~FreeGuard() { free(p); }
};

voidpf InflateAlloc(voidpf, uInt items, uInt size) {
  const size_t bytes = static_cast<size_t>(items) * size;
  return MemAlloc(size != 0 && bytes / size != items ? SIZE_MAX : bytes);
}

void InflateFree(voidpf, voidpf p) { free(p); }

struct InflateGuard {
  z_stream *strm;
  ~InflateGuard() { inflateEnd(strm); }
};

void (*writeObserver)(size_t len) = nullptr;  // see zipObserveWrites

// Writes all of buf to the entry's file. A file system that is nearly full takes part of a
// write and refuses the rest only on the next one, so short writes are continued until the
// refusal, whose errno is kept in zip->writeErrno.
bool WriteFully(jzfile *zip, int fd, const unsigned char *buf, size_t len) {
  if (WriteAll(fd, buf, len)) {
    if (writeObserver != nullptr) writeObserver(len);
    return true;
  }
  zip->writeErrno = errno;
  return false;
}

// The entry's extra field into ze->extra: the central one when the central header has one (read
// from the directory), else the local one, from the fetched local header bytes at loc where it
// lies within them. False with the reason in zip->msg when it cannot be read.
bool ReadExtra(jzfile *zip, const jzcell *zc, const unsigned char *loc, jint fetched, jint lnlen,
               jint lelen, jzentry *ze) {
  if (zc->elen != 0) {
    // The central name length, recovered modulo 16 bits like nelen itself.
    const unsigned short cnlen = static_cast<unsigned short>(zc->nelen - zc->elen);
    ze->extra = NewExtra(zc->elen);
    if (readFullyAt(zip->fd, ze->extra + 2, zc->elen,
                    static_cast<jlong>(zc->cenpos) + kCenHdr + cnlen) != 0) {
      SetMsg(zip, zipmsg::kCenExtra);
      return false;
    }
  } else if (lelen != 0) {
    ze->extra = NewExtra(static_cast<unsigned int>(lelen));
    if (kLocHdr + lnlen + lelen <= fetched) {
      memcpy(ze->extra + 2, loc + kLocHdr + lnlen, static_cast<size_t>(lelen));
    } else if (readFullyAt(zip->fd, ze->extra + 2, lelen,
                           static_cast<jlong>(zc->pos) + kLocHdr + lnlen) != 0) {
      SetMsg(zip, zipmsg::kLocRead);
      return false;
    }
  }
  return true;
}

// The inflation of one entry: the stream, and what has come out of it so far.
struct Inflation {
  z_stream strm;
  jlong size = 0;  // the declared size
  jlong written = 0;
  uint32_t crc = 0;
  bool ended = false;  // the stream has ended, exactly with the data and the size
};

// One call of inflate on the input in z->strm, behind which count compressed bytes are still
// unread. What it produced is held against the declared size, written to fd and added to the
// CRC-32. False with *msg at the first fault.
bool InflateOnce(jzfile *zip, Inflation *z, jint count, int fd, unsigned char *out,
                 size_t outSize, char **msg) {
  z_stream &strm = z->strm;
  strm.next_out = out;
  strm.avail_out = static_cast<uInt>(outSize);
  const uInt inBefore = strm.avail_in;
  const int ret = inflate(&strm, Z_PARTIAL_FLUSH);
  const jlong produced = static_cast<jlong>(outSize - strm.avail_out);
  switch (ret) {
    case Z_OK:
    case Z_BUF_ERROR:
      break;
    case Z_STREAM_END:
      // The stream must end exactly with the entry's data and its declared size.
      if (count != 0 || strm.avail_in != 0 || z->written + produced != z->size) {
        *msg = ReasonText(zipmsg::kEndOfStream);
        return false;
      }
      z->ended = true;
      break;
    case Z_MEM_ERROR:
      *msg = ReasonText(zipmsg::kNoMemory);
      return false;
    default:  // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
      *msg = ReasonText(zipmsg::kBadData);
      return false;
  }
  // Every call has the whole output buffer, so with input left inflate consumes or produces
  // something unless the data is one it cannot go on with; called again it would do the same,
  // and the caller, which calls while input is left, would never end. Such data is refused. With
  // no input left, inflate is only waiting for the next block.
  if (!z->ended && produced == 0 && strm.avail_in == inBefore && strm.avail_in != 0) {
    *msg = ReasonText(zipmsg::kNoProgress);
    return false;
  }
  if (z->written + produced > z->size) {
    *msg = ReasonText(zipmsg::kTooLarge);
    return false;
  }
  if (!WriteFully(zip, fd, out, static_cast<size_t>(produced))) {
    *msg = ReasonText(zipmsg::kWriteFailed);
    return false;
  }
  z->crc = libdeflate_crc32(z->crc, out, static_cast<size_t>(produced));
  z->written += produced;
  return true;
}

// Checks the local header of cell zc, whose first `fetched` bytes are at loc: the reason text of
// the first fault, or null with the local name and extra lengths and the data position. The
// local name must lie within what was fetched; it may not when the archive is inconsistent or
// the central name and extra lengths overflowed 16 bits together.
const char *CheckLocalHeader(const jzcell *zc, const unsigned char *loc, jint fetched,
                             jint *lnlen, jint *lelen, jlong *dataPos) {
  if (Get32(loc) != kLocSig) return zipmsg::kLocSignature;
  *lnlen = static_cast<jint>(Get16(loc + 26));
  *lelen = static_cast<jint>(Get16(loc + 28));
  *dataPos = static_cast<jlong>(zc->pos) + kLocHdr + *lnlen + *lelen;
  if (kLocHdr + *lnlen > fetched || *dataPos > INT32_MAX) return zipmsg::kLocHeaderSize;
  return nullptr;
}

// The file's bytes around the local headers being walked: one read brings the next few headers
// when they lie close together.
class HeaderWindow {
 public:
  explicit HeaderWindow(int fd)
      : fd_(fd), buf_(static_cast<unsigned char *>(MemAlloc(kLocHdr + 0xFFFF + kHeaderWindow))) {}
  HeaderWindow(const HeaderWindow &) = delete;
  HeaderWindow &operator=(const HeaderWindow &) = delete;
  ~HeaderWindow() { free(buf_); }

  // The len bytes at pos, or null when the file does not have them all.
  const unsigned char *Fetch(jlong pos, jint len) {
    if (pos >= start_ && pos + len <= start_ + have_) return buf_ + (pos - start_);
    start_ = pos;
    have_ = 0;
    const size_t want = static_cast<size_t>(len) + kHeaderWindow;
    while (have_ < len) {
      const ssize_t n = pread64(fd_, buf_ + have_, want - static_cast<size_t>(have_), pos + have_);
      if (n <= 0) break;
      have_ += static_cast<jint>(n);
    }
    return have_ >= len ? buf_ : nullptr;
  }

 private:
  int fd_;
  unsigned char *buf_;
  jlong start_ = 0;
  jint have_ = 0;
};

// The one walk over the local headers, in directory order up to the first unsound one, with what
// readLOC would refuse refused for the same reason (the extra field aside, which no pass needs,
// except that a local one must lie within the file, as readLOC reads it).
LocalHeaders *WalkLocalHeaders(jzfile *zip) {
  LocalHeaders *h = static_cast<LocalHeaders *>(MemAlloc(sizeof(LocalHeaders)));
  const size_t total = static_cast<size_t>(zip->total);
  h->count = 0;
  h->failure = nullptr;
  h->kept = true;
  h->datapos = static_cast<jint *>(MemAlloc(total * sizeof(jint)));
  h->time = static_cast<jint *>(MemAlloc(total * sizeof(jint)));
  h->nameoff = static_cast<uint32_t *>(MemAlloc(total * sizeof(uint32_t)));
  size_t namesLen = 0, namesCap = 0;
  h->names = nullptr;
  struct stat64 st;
  const jlong fileLength = fstat64(zip->fd, &st) == 0 ? st.st_size : INT64_MAX;
  HeaderWindow window(zip->fd);
  for (jint i = 0; i < zip->total; i++) {
    const jzcell *zc = &zip->entries[i];
    const jint fetched = kLocHdr + zc->nelen;
    const unsigned char *loc = zc->pos >= 0 ? window.Fetch(zc->pos, fetched) : nullptr;
    jint lnlen = 0, lelen = 0;
    jlong dataPos = 0;
    const char *reason = zc->pos < 0    ? zipmsg::kSeekFailed
                         : loc == nullptr ? zipmsg::kLocRead
                                          : CheckLocalHeader(zc, loc, fetched, &lnlen, &lelen, &dataPos);
    if (reason == nullptr && zc->elen == 0 && kLocHdr + lnlen + lelen > fetched &&
        dataPos > fileLength)
      reason = zipmsg::kLocRead;
    if (reason != nullptr) {
      h->failure = reason;
      break;
    }
    const size_t len = static_cast<size_t>(lnlen);
    if (namesLen + len + 1 > kMostLocalNameBytes) {
      h->kept = false;
      break;
    }
    if (namesLen + len + 1 > namesCap) {
      namesCap = std::max(namesLen + len + 1, namesCap * 2);
      char *grown = static_cast<char *>(MemAlloc(namesCap));
      if (namesLen > 0) memcpy(grown, h->names, namesLen);
      free(h->names);
      h->names = grown;
    }
    memcpy(h->names + namesLen, loc + kLocHdr, len);
    h->names[namesLen + len] = '\0';
    h->nameoff[i] = static_cast<uint32_t>(namesLen);
    h->datapos[i] = static_cast<jint>(dataPos);
    h->time[i] = GetJint(loc + 10);
    namesLen += len + 1;
    h->count = i + 1;
  }
  return h;
}

}  // namespace

jzentry *readLOC(jzfile *zip, jzcell *zc) {
  if (zc->pos < 0) {
    SetMsg(zip, zipmsg::kSeekFailed);
    return nullptr;
  }
  const jint fetched = kLocHdr + zc->nelen;
  unsigned char *loc = static_cast<unsigned char *>(MemAlloc(static_cast<size_t>(fetched)));
  FreeGuard locGuard{loc};
  if (readFullyAt(zip->fd, loc, fetched, zc->pos) != 0) {
    SetMsg(zip, zipmsg::kLocRead);
    return nullptr;
  }
  jint lnlen = 0, lelen = 0;
  jlong dataPos = 0;
  if (const char *reason = CheckLocalHeader(zc, loc, fetched, &lnlen, &lelen, &dataPos)) {
    SetMsg(zip, reason);
    return nullptr;
  }

  jzentry *ze = static_cast<jzentry *>(MemAlloc(sizeof(jzentry)));
  memset(ze, 0, sizeof(jzentry));
  ze->name = static_cast<char *>(MemAlloc(static_cast<size_t>(lnlen) + 1));
  memcpy(ze->name, loc + kLocHdr, static_cast<size_t>(lnlen));
  ze->name[lnlen] = '\0';

  if (!ReadExtra(zip, zc, loc, fetched, lnlen, lelen, ze)) {
    FreeEntry(ze);
    return nullptr;
  }

  if (zip->comments != nullptr) ze->comment = zip->comments[zc - zip->entries];
  ze->size = zc->size;
  ze->csize = zc->csize;
  ze->crc = zc->crc;
  ze->time = GetJint(loc + 10);
  ze->pos = static_cast<jint>(dataPos);
  return ze;
}

jzentry *zipGetNextEntry(jzfile *zip, jint n) {
  if (n < 0 || n >= zip->total) return nullptr;
  return readLOC(zip, &zip->entries[n]);
}

jzentry *zipPassEntry(jzfile *zip, jint n, jzentry *spare) {
  if (n < 0 || n >= zip->total) return nullptr;
  if (zip->locals == nullptr) zip->locals = WalkLocalHeaders(zip);
  const LocalHeaders *h = zip->locals;
  if (!h->kept) return zipGetNextEntry(zip, n);
  if (n >= h->count) {
    SetMsg(zip, h->failure);
    return nullptr;
  }
  const jzcell *zc = &zip->entries[n];
  memset(spare, 0, sizeof *spare);
  spare->name = h->names + h->nameoff[n];
  spare->size = zc->size;
  spare->csize = zc->csize;
  spare->crc = zc->crc;
  spare->pos = h->datapos[n];
  spare->time = h->time[n];
  if (zip->comments != nullptr) spare->comment = zip->comments[n];
  return spare;
}

void zipReleasePassEntry(jzfile *zip, jzentry *entry, const jzentry *spare) {
  if (entry != spare) zipFreeEntry(zip, entry);
}

void zipEndPass(jzfile *zip, jint n) {
  const LocalHeaders *h = zip->locals;
  if (n < 0 || h == nullptr || !h->kept || n >= h->count) return;
  jzentry spare;
  zipPassEntry(zip, n, &spare);
  jzentry *ze = static_cast<jzentry *>(MemAlloc(sizeof(jzentry)));
  *ze = spare;
  ze->name = StrDup(spare.name);
  zipFreeEntry(zip, ze);
}

void freeLocalHeaders(jzfile *zip) {
  LocalHeaders *h = zip->locals;
  if (h == nullptr) return;
  free(h->datapos);
  free(h->time);
  free(h->nameoff);
  free(h->names);
  free(h);
  zip->locals = nullptr;
}

jzentry *zipGetEntry(jzfile *zip, const char *name) {
  const unsigned int h = hash(name);
  unsigned short idx = zip->table[h % static_cast<unsigned int>(zip->tablelen)];
  if (zip->cache != nullptr && strcmp(zip->cache->name, name) == 0) {
    jzentry *ze = zip->cache;
    zip->cache = nullptr;
    return ze;
  }
  while (idx != kNoEntry) {
    jzcell *zc = &zip->entries[idx];
    if (zc->hash == h) {
      jzentry *ze = readLOC(zip, zc);
      if (ze != nullptr) {
        if (strcmp(ze->name, name) == 0) return ze;
        zipFreeEntry(zip, ze);
      }
    }
    idx = zc->next;
  }
  return nullptr;
}

jzentry *zipFindEntry(jzfile *zip, const char *name, jint *sizeP, jint *nameLenP) {
  jzentry *ze = zipGetEntry(zip, name);
  if (ze != nullptr) {
    *sizeP = ze->size;
    *nameLenP = static_cast<jint>(strlen(ze->name));
  }
  return ze;
}

void zipFreeEntry(jzfile *jz, jzentry *ze) {
  jzentry *last = jz->cache;
  jz->cache = ze;
  if (last != nullptr) FreeEntry(last);
}

jint zipRead(jzfile *zip, jzentry *entry, jint pos, void *buf, jint len) {
  zip->msg = nullptr;
  const jlong dataLen = entry->csize != 0 ? entry->csize : entry->size;
  if (pos < 0 || pos > dataLen - 1) {
    SetMsg(zip, zipmsg::kOffsetRange);
    return -1;
  }
  if (len <= 0) return 0;
  if (len > dataLen - pos) len = static_cast<jint>(dataLen - pos);
  ssize_t n = pread64(zip->fd, buf, static_cast<size_t>(len), static_cast<jlong>(entry->pos) + pos);
  return n < 0 ? -1 : static_cast<jint>(n);
}

jboolean inflateFully(jzfile *zip, jzentry *entry, int fd, char **msg) {
  *msg = nullptr;
  jint count = entry->csize;
  if (count == 0) {
    *msg = ReasonText(zipmsg::kNotCompressed);
    return JNI_FALSE;
  }
  if (count < 0 || entry->size < 0) {
    *msg = ReasonText(zipmsg::kBadSize);
    return JNI_FALSE;
  }

  Inflation z;
  memset(&z.strm, 0, sizeof z.strm);
  z.strm.zalloc = InflateAlloc;
  z.strm.zfree = InflateFree;
  if (inflateInit2_(&z.strm, -MAX_WBITS, "1.1.3", static_cast<int>(sizeof z.strm)) != Z_OK) {
    *msg = z.strm.msg;
    return JNI_FALSE;
  }
  InflateGuard guard{&z.strm};
  z.size = entry->size;

  unsigned char in[kInflateInput];
  unsigned char out[kInflateOutput];
  jint pos = 0;
  while (count > 0) {
    const jint r = zipRead(zip, entry, pos, in, std::min(count, kInflateInput));
    if (r == 0) *msg = ReasonText(zipmsg::kEndOfFile);
    if (r <= 0) return JNI_FALSE;
    pos += r;
    count -= r;
    z.strm.next_in = in;
    z.strm.avail_in = static_cast<uInt>(r);
    do {
      if (!InflateOnce(zip, &z, count, fd, out, sizeof out, msg)) return JNI_FALSE;
    } while (!z.ended && (z.strm.avail_in > 0 || z.strm.avail_out == 0));
  }
  // All compressed bytes were used without reaching the end of the stream: the data is cut.
  if (!z.ended) {
    *msg = ReasonText(zipmsg::kEndOfStream);
    return JNI_FALSE;
  }
  if (static_cast<uint32_t>(z.crc) != static_cast<uint32_t>(entry->crc)) {
    *msg = ReasonText(zipmsg::kInflateCrc);
    return JNI_FALSE;
  }
  return JNI_TRUE;
}

namespace {

// Copies a stored entry; the reason of a failure goes to *reason.
bool CopyStored(jzfile *zip, jzentry *entry, int fd, const char **reason) {
  unsigned char buf[kCopyBuffer];
  uint32_t crc = 0;
  jint copied = 0;
  while (copied < entry->size) {
    const jint r = zipRead(zip, entry, copied, buf, std::min(entry->size - copied, kCopyBuffer));
    if (r <= 0) {
      *reason = zip->msg != nullptr ? zip->msg : zipmsg::kShortCopy;
      return false;
    }
    if (!WriteFully(zip, fd, buf, static_cast<size_t>(r))) {
      *reason = zipmsg::kWriteFailed;
      return false;
    }
    crc = libdeflate_crc32(crc, buf, static_cast<size_t>(r));
    copied += r;
  }
  if (crc != static_cast<uint32_t>(entry->crc)) {
    *reason = zipmsg::kStoredCrc;
    return false;
  }
  return true;
}

// A buffer for whole entries. It comes from mmap rather than MemAlloc, since running short of
// memory for it is no reason to end the run (the entry is then streamed), and it is kept and
// reused from entry to entry: on a virtual machine every first touch of a page costs a fault of
// several microseconds, more than inflating the page's bytes. Large ones are aligned to and
// advised for transparent huge pages, 512 times fewer faults.
struct WholeBuffer {
  unsigned char *data;
  size_t capacity;

  static constexpr size_t kHugePage = 2u << 20;
  static constexpr size_t kGranule = 64u << 10;

  void Release() {
    if (data != nullptr) munmap(data, capacity);
    data = nullptr;
    capacity = 0;
  }
  // Room for n bytes; false when the memory cannot be had.
  bool Reserve(size_t n) {
    if (n <= capacity) return true;
    // Grown at least twofold, so that an archive of ever larger entries remaps it a few times
    // only, yet never beyond the limit (rounded up to a whole huge page).
    size_t want = std::max(n, std::min(capacity * 2, static_cast<size_t>(wholeEntryLimit)));
    const size_t granule = want >= kHugePage ? kHugePage : kGranule;
    want = (want + granule - 1) / granule * granule;
    Release();
    const size_t slack = granule == kHugePage ? kHugePage : 0;
    void *p = mmap(nullptr, want + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) return false;
    unsigned char *start = static_cast<unsigned char *>(p);
    if (slack != 0) {
      const size_t head = (kHugePage - reinterpret_cast<uintptr_t>(p) % kHugePage) % kHugePage;
      if (head != 0) munmap(p, head);
      if (slack - head != 0) munmap(start + head + want, slack - head);
      start += head;
      madvise(start, want, MADV_HUGEPAGE);  // a kernel without them ignores the advice
    }
    data = start;
    capacity = want;
    return true;
  }
};

WholeBuffer wholeInput = {nullptr, 0};
WholeBuffer wholeOutput = {nullptr, 0};
libdeflate_decompressor *decompressor = nullptr;

enum class Whole {
  kWritten,  // inflated, checked and written
  kFailed,   // sound, but writing it failed: the reason is set
  kStream,   // not done: to be inflated as a stream, which also tells how a bad entry fails
};

// Inflates the deflated entry in one piece with libdeflate and writes it to fd. Only data that
// is exactly sound is written: a stream that ends with the compressed bytes and the declared
// size, whose CRC-32 matches. Anything else (data cut or damaged, a short read, no memory for
// the buffers) is left to the streaming inflate, whose verdict and partial output are then
// exactly those of every earlier release.
Whole InflateWhole(jzfile *zip, jzentry *entry, int fd, const char **reason) {
  const size_t csize = static_cast<size_t>(entry->csize);
  const size_t size = static_cast<size_t>(entry->size);
  if (decompressor == nullptr) decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr || !wholeInput.Reserve(csize) ||
      !wholeOutput.Reserve(std::max<size_t>(size, 1)))
    return Whole::kStream;
  // Like every zipRead of the streaming inflate, the read leaves no reason behind.
  zip->msg = nullptr;
  if (readFullyAt(zip->fd, wholeInput.data, entry->csize, entry->pos) != 0) return Whole::kStream;
  size_t used = 0, produced = 0;
  if (libdeflate_deflate_decompress_ex(decompressor, wholeInput.data, csize, wholeOutput.data,
                                       size, &used, &produced) != LIBDEFLATE_SUCCESS ||
      used != csize || produced != size ||
      libdeflate_crc32(0, wholeOutput.data, size) != static_cast<uint32_t>(entry->crc))
    return Whole::kStream;
  if (!WriteFully(zip, fd, wholeOutput.data, size)) {
    *reason = zipmsg::kWriteFailed;
    return Whole::kFailed;
  }
  return Whole::kWritten;
}

// Whether the entry is inflated whole: deflated, and within the limit both ways.
bool InflatesWhole(const jzentry *entry) {
  return entry->csize > 0 && entry->csize <= wholeEntryLimit && entry->size <= wholeEntryLimit;
}

}  // namespace

void zipObserveWrites(void (*observer)(size_t len)) { writeObserver = observer; }
void zipSetWholeEntryLimit(jint bytes) {
  wholeEntryLimit = bytes < 0 ? kDefaultWholeEntryLimit : bytes;
}

void zipReleaseInflateBuffers(void) {
  wholeInput.Release();
  wholeOutput.Release();
  libdeflate_free_decompressor(decompressor);
  decompressor = nullptr;
}

jboolean zipIsStorageError(int err) {
  return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS || err == EIO;
}

jboolean zipReadEntry(jzfile *zip, jzentry *entry, const char *path) {
  return zipReadEntryAt(zip, entry, AT_FDCWD, path);
}

jboolean zipReadEntryAt(jzfile *zip, jzentry *entry, int dirfd, const char *path) {
  zip->writeErrno = 0;
  if (entry->size < 0 || entry->csize < 0) {
    SetMsg(zip, zipmsg::kBadSize);
    return JNI_FALSE;
  }
  // Truncation leaves no stale bytes of an older, longer file; a symbolic link put in the
  // entry's place is refused rather than followed.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  int fd = dirfd == AT_FDCWD ? open(path, kFlags, 0700) : OpenBeneath(dirfd, path, kFlags, 0700);
  if (fd < 0) {
    // Other refusals (a directory or a too long name in the way) come from the entry's name.
    if (zipIsStorageError(errno)) zip->writeErrno = errno;
    SetMsg(zip, zipmsg::kCannotOpen);
    return JNI_FALSE;
  }
  const char *reason = nullptr;
  bool ok;
  if (entry->csize == 0) {
    ok = CopyStored(zip, entry, fd, &reason);
  } else {
    const Whole whole = InflatesWhole(entry) ? InflateWhole(zip, entry, fd, &reason)
                                             : Whole::kStream;
    ok = whole == Whole::kWritten;
    if (whole == Whole::kStream) {
      char *inflateReason = nullptr;
      ok = inflateFully(zip, entry, fd, &inflateReason);
      reason = inflateReason != nullptr && inflateReason[0] != '\0' ? inflateReason : zip->msg;
    }
  }
  // Some file systems (NFS among them) report a full disk only here.
  if (close(fd) != 0 && ok) {
    zip->writeErrno = errno;
    ok = false;
    reason = zipmsg::kWriteFailed;
  }
  if (!ok) {
    // Kept for whoever reads the record; the launcher only sees the result.
    SetMsg(zip, reason);
    return JNI_FALSE;
  }
  return JNI_TRUE;
}
