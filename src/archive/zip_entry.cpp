// Entries of an open archive: building an entry from its cell and local header, lookup by
// position or by name with a one-entry cache, raw reads of an entry's data, and writing an
// entry to a file (stored data copied, deflated data inflated with zlib). The archive is not
// trusted: every length is checked against the bytes actually read, inflation is bounded by
// the declared size, and the CRC-32 of what was written must match the central directory's.
// Memory, zlib's included, comes from MemAlloc: running out of it ends the run as "Out of
// memory" rather than as a damaged entry.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include "archive/zip_internal.h"
#include "core/paths.h"

using namespace zipfmt;

namespace {

constexpr jint kCopyBuffer = 16384;
// 64 KiB each way instead of 4 KiB in and 16 KiB out: a quarter of the reads and writes and
// fewer slow-path inflate calls at block edges, about 15% less time for a 10,000-file archive
// (docs/PERFORMANCE.md).
constexpr jint kInflateInput = 65536;
constexpr jint kInflateOutput = 65536;


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
    if (lseek64(zip->fd, static_cast<jlong>(zc->cenpos) + kCenHdr + cnlen, SEEK_SET) < 0) {
      SetMsg(zip, zipmsg::kSeekFailed);
      return false;
    }
    if (readFully(zip->fd, ze->extra + 2, zc->elen) != 0) {
      SetMsg(zip, zipmsg::kCenExtra);
      return false;
    }
  } else if (lelen != 0) {
    ze->extra = NewExtra(static_cast<unsigned int>(lelen));
    if (kLocHdr + lnlen + lelen <= fetched) {
      memcpy(ze->extra + 2, loc + kLocHdr + lnlen, static_cast<size_t>(lelen));
    } else if (lseek64(zip->fd, static_cast<jlong>(zc->pos) + kLocHdr + lnlen, SEEK_SET) < 0 ||
               readFully(zip->fd, ze->extra + 2, lelen) != 0) {
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
  uLong crc = crc32(0, Z_NULL, 0);
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
  z->crc = crc32(z->crc, out, static_cast<uInt>(produced));
  z->written += produced;
  return true;
}

}  // namespace

jzentry *readLOC(jzfile *zip, jzcell *zc) {
  if (zc->pos < 0 || lseek64(zip->fd, zc->pos, SEEK_SET) < 0) {
    SetMsg(zip, zipmsg::kSeekFailed);
    return nullptr;
  }
  const jint fetched = kLocHdr + zc->nelen;
  unsigned char *loc = static_cast<unsigned char *>(MemAlloc(static_cast<size_t>(fetched)));
  FreeGuard locGuard{loc};
  if (readFully(zip->fd, loc, fetched) != 0) {
    SetMsg(zip, zipmsg::kLocRead);
    return nullptr;
  }
  if (Get32(loc) != kLocSig) {
    SetMsg(zip, zipmsg::kLocSignature);
    return nullptr;
  }
  const jint lnlen = static_cast<jint>(Get16(loc + 26));
  const jint lelen = static_cast<jint>(Get16(loc + 28));
  // The local name must lie within what was fetched; it may not when the archive is
  // inconsistent or the central name and extra lengths overflowed 16 bits together.
  const jlong dataPos = static_cast<jlong>(zc->pos) + kLocHdr + lnlen + lelen;
  if (kLocHdr + lnlen > fetched || dataPos > INT32_MAX) {
    SetMsg(zip, zipmsg::kLocHeaderSize);
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
  if (lseek64(zip->fd, static_cast<jlong>(entry->pos) + pos, SEEK_SET) < 0) return -1;
  ssize_t n = read(zip->fd, buf, static_cast<size_t>(len));
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
  uLong crc = crc32(0, Z_NULL, 0);
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
    crc = crc32(crc, buf, static_cast<uInt>(r));
    copied += r;
  }
  if (static_cast<uint32_t>(crc) != static_cast<uint32_t>(entry->crc)) {
    *reason = zipmsg::kStoredCrc;
    return false;
  }
  return true;
}

}  // namespace

void zipObserveWrites(void (*observer)(size_t len)) { writeObserver = observer; }

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
    char *inflateReason = nullptr;
    ok = inflateFully(zip, entry, fd, &inflateReason);
    reason = inflateReason != nullptr && inflateReason[0] != '\0' ? inflateReason : zip->msg;
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
