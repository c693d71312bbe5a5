// Reads only the headers of an ELF file, with positioned reads and an explicit bounds check
// for every table before it is walked. Both classes are read, so the 32-bit and the 64-bit
// launcher (and the packaging tool, whichever launcher it is given) use the same code.
#include "archive/elf_image.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr unsigned char kMagic[4] = {0x7f, 'E', 'L', 'F'};
constexpr int kClass32 = 1, kClass64 = 2;
constexpr int kLittleEndian = 1;
constexpr uint32_t kSectionNoBits = 8;  // SHT_NOBITS: occupies no file space
// No real program has more headers than this; a larger count is a damaged header.
constexpr uint64_t kMaxHeaders = 65535;

uint64_t Get(const unsigned char *p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

// Exactly len bytes at off, or false.
bool ReadAt(int fd, uint64_t off, unsigned char *buf, size_t len) {
  if (off > static_cast<uint64_t>(INT64_MAX)) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, buf + done, len - done, static_cast<off_t>(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// end = max(end, off + size), false when the sum leaves the range of a file offset.
bool Extend(uint64_t *end, uint64_t off, uint64_t size) {
  if (off > static_cast<uint64_t>(INT64_MAX) || size > static_cast<uint64_t>(INT64_MAX) - off)
    return false;
  if (off + size > *end) *end = off + size;
  return true;
}

// Field offsets and widths of the two classes.
struct Layout {
  int word;  // width of addresses and offsets: 4 or 8
  int phoff, shoff, ehsize, phentsize, phnum, shentsize, shnum;
  int minPhent, pOffset, pFilesz;
  int minShent, shType, shOffset, shSize;
};
constexpr Layout kLayout32 = {4, 28, 32, 40, 42, 44, 46, 48, 32, 4, 16, 40, 4, 16, 20};
constexpr Layout kLayout64 = {8, 32, 40, 52, 54, 56, 58, 60, 56, 8, 32, 64, 4, 24, 32};

}  // namespace

jboolean ReadElfImage(int fd, ElfImage *image) {
  unsigned char ehdr[64];
  if (!ReadAt(fd, 0, ehdr, 52) || memcmp(ehdr, kMagic, sizeof kMagic) != 0) return JNI_FALSE;
  if (ehdr[5] != kLittleEndian || (ehdr[4] != kClass32 && ehdr[4] != kClass64)) return JNI_FALSE;
  const Layout &l = ehdr[4] == kClass32 ? kLayout32 : kLayout64;
  if (l.word == 8 && !ReadAt(fd, 52, ehdr + 52, 12)) return JNI_FALSE;

  const uint64_t ehsize = Get(ehdr + l.ehsize, 2);
  const uint64_t phoff = Get(ehdr + l.phoff, l.word), shoff = Get(ehdr + l.shoff, l.word);
  const uint64_t phentsize = Get(ehdr + l.phentsize, 2), shentsize = Get(ehdr + l.shentsize, 2);
  uint64_t phnum = Get(ehdr + l.phnum, 2), shnum = Get(ehdr + l.shnum, 2);
  uint64_t end = 0;
  if (!Extend(&end, 0, ehsize)) return JNI_FALSE;

  unsigned char entry[64];
  if (phnum != 0) {
    if (phentsize < static_cast<uint64_t>(l.minPhent) || phnum > kMaxHeaders ||
        !Extend(&end, phoff, phnum * phentsize))
      return JNI_FALSE;
    for (uint64_t i = 0; i < phnum; i++) {
      if (!ReadAt(fd, phoff + i * phentsize, entry, static_cast<size_t>(l.minPhent)) ||
          !Extend(&end, Get(entry + l.pOffset, l.word), Get(entry + l.pFilesz, l.word)))
        return JNI_FALSE;
    }
  }
  if (shoff != 0) {
    if (shentsize < static_cast<uint64_t>(l.minShent)) return JNI_FALSE;
    // With 0xff00 sections or more the count lives in the first section header's size.
    if (shnum == 0) {
      if (!ReadAt(fd, shoff, entry, static_cast<size_t>(l.minShent))) return JNI_FALSE;
      shnum = Get(entry + l.shSize, l.word);
    }
    if (shnum > kMaxHeaders || !Extend(&end, shoff, shnum * shentsize)) return JNI_FALSE;
    for (uint64_t i = 0; i < shnum; i++) {
      if (!ReadAt(fd, shoff + i * shentsize, entry, static_cast<size_t>(l.minShent)))
        return JNI_FALSE;
      if (Get(entry + l.shType, 4) == kSectionNoBits) continue;
      if (!Extend(&end, Get(entry + l.shOffset, l.word), Get(entry + l.shSize, l.word)))
        return JNI_FALSE;
    }
  }
  image->elfClass = ehdr[4] == kClass32 ? 32 : 64;
  image->machine = static_cast<int>(Get(ehdr + 18, 2));
  image->length = static_cast<jlong>(end);
  return JNI_TRUE;
}
