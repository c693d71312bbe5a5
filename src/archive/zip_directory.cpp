// Opening an archive: finding the end record in the last 64 KiB of the file, reading the
// central directory once into a compact cell table with a hash index, and keeping the list of
// open archives so that a second open of the same file shares the first record. The archive
// may sit behind other bytes (the launcher's own executable image); every recorded offset is
// turned into an absolute file position here, so later reads never need the archive start.
// Memory comes from MemAlloc: an archive that needs more than there is ends the run as "Out of
// memory", never as an archive that cannot be read (which the launcher reports as damaged).
#include <ctype.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "archive/zip_internal.h"
#include "base/memory.h"

using namespace zipfmt;

namespace {

jzfile *zfiles = nullptr;
jboolean inited = JNI_FALSE;

// The name copy of readCEN: a stack buffer for the usual short names, a heap one that doubles
// its capacity when a name does not fit.
class NameBuffer {
 public:
  NameBuffer() = default;
  NameBuffer(const NameBuffer &) = delete;
  NameBuffer &operator=(const NameBuffer &) = delete;
  ~NameBuffer() { free(heap_); }

  // A NUL-terminated copy of len bytes at src.
  char *Copy(const unsigned char *src, size_t len) {
    if (len + 1 > capacity_) {
      size_t capacity = capacity_;
      while (capacity < len + 1) capacity *= 2;
      char *grown = static_cast<char *>(MemAlloc(capacity));
      free(heap_);
      heap_ = grown;
      buf_ = grown;
      capacity_ = capacity;
    }
    memcpy(buf_, src, len);
    buf_[len] = '\0';
    return buf_;
  }

 private:
  char local_[513];
  char *heap_ = nullptr;
  char *buf_ = local_;
  size_t capacity_ = sizeof local_;
};

void FreeEntryTable(jzfile *zip) {
  free(zip->entries);
  zip->entries = nullptr;
  free(zip->table);
  zip->table = nullptr;
}

// Where the central directory lies, from the end record.
struct CentralDirectory {
  jint pos;     // absolute position of its first header
  jint len;     // its length
  jint locpos;  // absolute position of the archive's start, to which the offsets are relative
};

// Checks the end record at endpos (its bytes in endbuf) and sets zip->total: the reason text of
// the first fault, or null with the directory's place in *cen.
const char *CheckEnd(jzfile *zip, const unsigned char *endbuf, jint endpos,
                     CentralDirectory *cen) {
  const jint cenlen = GetJint(endbuf + 12);
  if (cenlen < 0 || cenlen > endpos) return zipmsg::kBadCenSize;
  const jint cenpos = endpos - cenlen;
  const jint cenoff = GetJint(endbuf + 16);
  if (cenoff < 0 || cenoff > cenpos) return zipmsg::kBadCenOffset;
  const jint total = static_cast<jint>(Get16(endbuf + 10));
  zip->total = total;
  if (static_cast<jlong>(total) * kCenHdr > cenlen) return zipmsg::kBadEntryCount;
  if (total > kMaxEntries) return zipmsg::kTooMany;
  *cen = {cenpos, cenlen, cenpos - cenoff};
  zip->locpos = cen->locpos;
  zip->cenpos = cenpos;
  return nullptr;
}

// The cell table, cleared, and the hash index, every bucket empty, for zip->total entries.
void AllocateEntryTable(jzfile *zip) {
  const size_t total = static_cast<size_t>(zip->total);
  zip->entries = static_cast<jzcell *>(MemAlloc(total * sizeof(jzcell)));
  memset(zip->entries, 0, total * sizeof(jzcell));
  zip->tablelen = std::max(zip->total / 2, 1);
  zip->table = static_cast<unsigned short *>(
      MemAlloc(static_cast<size_t>(zip->tablelen) * sizeof(unsigned short)));
  std::fill(zip->table, zip->table + zip->tablelen, kNoEntry);
}

// Checks the central header at cp, with `remaining` bytes of the directory from there on: the
// reason text of the first fault, or null with the header's whole length in *length.
const char *CheckCenHeader(const unsigned char *cp, jint remaining, jint *length) {
  if (remaining < kCenHdr) return zipmsg::kCenHeaderSize;
  if (Get32(cp) != kCenSig) return zipmsg::kCenSignature;
  if (Get16(cp + 8) & 1) return zipmsg::kCenEncrypted;
  const uint32_t method = Get16(cp + 10);
  if (method != 0 && method != 8) return zipmsg::kCenMethod;
  *length = kCenHdr + static_cast<jint>(Get16(cp + 28) + Get16(cp + 30) + Get16(cp + 32));
  if (*length > remaining) return zipmsg::kCenHeaderSize;
  return nullptr;
}

// Fills cell i from the sound central header at offset off of the directory, and links it into
// its hash bucket. Names under META-INF/ and entry comments are kept on the record.
void AddCell(jzfile *zip, jint i, const unsigned char *cp, const CentralDirectory &cen, jint off,
             NameBuffer *nameBuf) {
  const jint nlen = static_cast<jint>(Get16(cp + 28));
  const jint elen = static_cast<jint>(Get16(cp + 30));
  const jint clen = static_cast<jint>(Get16(cp + 32));
  jzcell *zc = &zip->entries[i];
  zc->size = GetJint(cp + 24);
  zc->csize = Get16(cp + 10) == 0 ? 0 : GetJint(cp + 20);
  zc->crc = GetJint(cp + 16);

  char *name = nameBuf->Copy(cp + kCenHdr, static_cast<size_t>(nlen));
  // An offset that cannot be a file position is kept as -1, which no seek accepts, so the
  // entry fails when it is read rather than the arithmetic overflowing here.
  const jlong locOffset = static_cast<jlong>(GetJint(cp + 42)) + cen.locpos;
  zc->pos = locOffset >= 0 && locOffset <= INT32_MAX ? static_cast<jint>(locOffset) : -1;
  zc->nelen = static_cast<unsigned short>(nlen + elen);
  zc->hash = hash(name);
  zc->cenpos = cen.pos + off;
  zc->elen = static_cast<unsigned short>(elen);

  if (isMetaName(name)) addMetaName(zip, name);
  if (clen > 0) {
    char *comment = static_cast<char *>(MemAlloc(static_cast<size_t>(clen) + 1));
    memcpy(comment, cp + kCenHdr + nlen + elen, static_cast<size_t>(clen));
    comment[clen] = '\0';
    addEntryComment(zip, i, comment);
  }

  const unsigned int bucket = zc->hash % static_cast<unsigned int>(zip->tablelen);
  zc->next = zip->table[bucket];
  zip->table[bucket] = static_cast<unsigned short>(i);
}

}  // namespace

jint initializeZip(void) {
  inited = JNI_TRUE;
  return 0;
}

jzfile *allocZip(const char *name) {
  jzfile *zip = static_cast<jzfile *>(MemAlloc(sizeof(jzfile)));
  memset(zip, 0, sizeof(jzfile));
  zip->name = StrDup(name);
  return zip;
}

jint readFullyAt(int fd, void *buf, jint len, jlong pos) {
  char *p = static_cast<char *>(buf);
  while (len > 0) {
    ssize_t n = pread64(fd, p, static_cast<size_t>(len), pos);
    if (n <= 0) return -1;
    p += n;
    pos += n;
    len -= static_cast<jint>(n);
  }
  return 0;
}

jint findEND(jzfile *zip, void *endbuf) {
  off64_t flen = lseek64(zip->fd, 0, SEEK_END);
  if (flen < 0) return -1;
  const jlong len = flen;
  jlong pos = len;
  // The window always holds the file's bytes from pos onwards (zeros past the end), so a
  // record that straddles two blocks is seen whole.
  unsigned char window[2 * kEndHdr] = {};
  for (;;) {
    if (len - pos > kEndSearch - 1) return 0;
    // The block never starts before the file does: a short file is searched to its start.
    jlong count = std::min<jlong>({kEndHdr, kEndSearch - (len - pos), pos});
    if (count <= 0) return 0;
    memmove(window + count, window, sizeof window - static_cast<size_t>(count));
    pos -= count;
    if (readFullyAt(zip->fd, window, static_cast<jint>(count), pos) != 0) return -1;
    for (jlong i = 0; i < count; i++) {
      const unsigned char *rec = window + i;
      if (Get32(rec) != kEndSig) continue;
      const jint clen = static_cast<jint>(Get16(rec + 20));
      if (pos + i + kEndHdr + clen != len) continue;
      memcpy(endbuf, rec, kEndHdr);
      if (clen > 0) {
        zip->comment = static_cast<char *>(MemAlloc(static_cast<size_t>(clen) + 1));
        if (readFullyAt(zip->fd, zip->comment, clen, pos + i + kEndHdr) != 0) {
          free(zip->comment);
          zip->comment = nullptr;
          return -1;
        }
        zip->comment[clen] = '\0';
      }
      return static_cast<jint>(pos + i);
    }
  }
}

jint readCEN(jzfile *zip) {
  zip->msg = nullptr;
  unsigned char endbuf[kEndHdr];
  const jint endpos = findEND(zip, endbuf);
  if (endpos <= 0) return endpos;

  CentralDirectory cen;
  if (const char *reason = CheckEnd(zip, endbuf, endpos, &cen)) {
    SetMsg(zip, reason);
    return -1;
  }
  unsigned char *cenbuf = static_cast<unsigned char *>(MemAlloc(static_cast<size_t>(cen.len)));
  if (readFullyAt(zip->fd, cenbuf, cen.len, cen.pos) != 0) {
    free(cenbuf);
    return -1;
  }

  AllocateEntryTable(zip);
  NameBuffer nameBuf;
  const char *reason = nullptr;
  jint off = 0;  // offset of the current header within the directory
  for (jint i = 0; i < zip->total && reason == nullptr; i++) {
    jint length = 0;
    reason = CheckCenHeader(cenbuf + off, cen.len - off, &length);
    if (reason == nullptr) AddCell(zip, i, cenbuf + off, cen, off, &nameBuf);
    off += length;
  }
  free(cenbuf);
  if (reason != nullptr) {
    SetMsg(zip, reason);
    FreeEntryTable(zip);
    return -1;
  }
  return cen.pos;
}

unsigned int hash(const char *s) {
  unsigned int h = 0;
  for (; *s != '\0'; s++) {
    // Bytes count as signed, so 0x80..0xFF add -128..-1 (wrapping in 32 bits).
    h = 31 * h + static_cast<unsigned int>(static_cast<int>(static_cast<jbyte>(*s)));
  }
  return h;
}

int isMetaName(char *name) {
  static constexpr char kMeta[] = "META-INF/";
  for (size_t i = 0; i < sizeof kMeta - 1; i++) {
    if (name[i] == '\0') return 0;
    if (toupper(static_cast<unsigned char>(name[i])) != kMeta[i]) return 0;
  }
  return 1;
}

void addMetaName(jzfile *zip, char *name) {
  char *copy = StrDup(name);
  if (zip->metanames == nullptr) {
    zip->metanames = static_cast<char **>(MemAlloc(2 * sizeof(char *)));
    memset(zip->metanames, 0, 2 * sizeof(char *));
    zip->metacount = 2;
  }
  for (jint i = 0; i < zip->metacount; i++) {
    if (zip->metanames[i] == nullptr) {
      zip->metanames[i] = copy;
      return;
    }
  }
  const size_t count = static_cast<size_t>(zip->metacount);
  char **grown = static_cast<char **>(MemAlloc(count * 2 * sizeof(char *)));
  memcpy(grown, zip->metanames, count * sizeof(char *));
  memset(grown + count, 0, count * sizeof(char *));
  grown[count] = copy;
  free(zip->metanames);
  zip->metanames = grown;
  zip->metacount = static_cast<jint>(count * 2);
}

void addEntryComment(jzfile *zip, int index, char *comment) {
  if (zip->comments == nullptr) {
    const size_t slots = zip->total > 0 ? static_cast<size_t>(zip->total) : 1;
    zip->comments = static_cast<char **>(MemAlloc(slots * sizeof(char *)));
    memset(zip->comments, 0, slots * sizeof(char *));
  }
  zip->comments[index] = comment;
}

void freeZip(jzfile *zip) {
  zipFreeEntry(zip, nullptr);
  freeLocalHeaders(zip);
  free(zip->name);
  free(zip->comment);
  free(zip->entries);
  free(zip->table);
  if (zip->metanames != nullptr) {
    for (jint i = 0; i < zip->metacount; i++) free(zip->metanames[i]);
    free(zip->metanames);
  }
  if (zip->comments != nullptr) {
    for (jint i = 0; i < zip->total; i++) free(zip->comments[i]);
    free(zip->comments);
  }
  free(zip);
}

jzfile *zipOpen(const char *name, int *zerror) { return zipOpenGeneric(name, zerror, O_RDONLY, 0); }

jzfile *zipOpenGeneric(const char *name, int *zerror, int mode, jlong lastModified) {
  if (initializeZip() != 0) return nullptr;
  if (zerror != nullptr) *zerror = 0;

  for (jzfile *zip = zfiles; zip != nullptr; zip = zip->next) {
    if (strcmp(zip->name, name) == 0 &&
        (zip->lastModified == lastModified || zip->lastModified == 0) && zip->refs <= 0xFFFE) {
      zip->refs++;
      return zip;
    }
  }

  jzfile *zip = allocZip(name);
  zip->refs = 1;
  zip->lastModified = lastModified;

  // No child process (the Java program, the version probe) inherits the archive.
  zip->fd = open64(name, mode | O_CLOEXEC);
  if (zip->fd < 0) {
    if (zerror != nullptr) *zerror = -4;
    freeZip(zip);
    return nullptr;
  }
  off64_t len = lseek64(zip->fd, 0, SEEK_END);
  if (len < 0 || len > kMaxFileLength || readCEN(zip) <= 0) {
    if (zerror != nullptr) *zerror = -2;
    close(zip->fd);
    freeZip(zip);
    return nullptr;
  }
  zip->next = zfiles;
  zfiles = zip;
  return zip;
}

void zipClose(jzfile *zip) {
  if (--zip->refs > 0) return;
  if (zfiles == zip) {
    zfiles = zip->next;
  } else {
    for (jzfile *prev = zfiles; prev != nullptr; prev = prev->next) {
      if (prev->next == zip) {
        prev->next = zip->next;
        break;
      }
    }
  }
  close(zip->fd);
  freeZip(zip);
}
