// The limits for extraction: every entry's compressed bytes read and inflated into memory that is
// thrown away, nothing written. By default zlib inflates each entry as a stream (64 KiB at a
// time); with --crc the CRC-32 of the output is also computed and checked, as the extraction does.
// With --libdeflate every deflated entry is read and decompressed whole by libdeflate, its CRC-32
// checked, into buffers kept from entry to entry (as the launcher keeps its own).
// Usage: inflate_bench ARCHIVE [--crc | --libdeflate]
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include "archive/zip_util.h"

namespace {

unsigned char in[1 << 16];
unsigned char out[1 << 16];

// zlib, 64 KiB at a time: the entry's inflated length, or -1 when it is not sound.
long long InflateStream(jzfile *zip, const jzentry *e, bool checkCrc) {
  const bool stored = e->csize == 0;
  const long long len = stored ? e->size : e->csize;
  uLong crc = crc32(0, Z_NULL, 0);
  z_stream s;
  memset(&s, 0, sizeof s);
  if (!stored) inflateInit2(&s, -MAX_WBITS);
  int ret = Z_OK;
  long long total = 0;
  for (long long done = 0; done < len && ret == Z_OK;) {
    const size_t want = static_cast<size_t>(std::min<long long>(len - done, sizeof in));
    const ssize_t n = pread(zip->fd, in, want, e->pos + done);
    if (n <= 0) {
      ret = Z_DATA_ERROR;
      break;
    }
    done += n;
    if (stored) {
      if (checkCrc) crc = crc32(crc, in, static_cast<uInt>(n));
      total += n;
      continue;
    }
    s.next_in = in;
    s.avail_in = static_cast<uInt>(n);
    do {
      s.next_out = out;
      s.avail_out = sizeof out;
      ret = inflate(&s, Z_NO_FLUSH);
      if (checkCrc) crc = crc32(crc, out, static_cast<uInt>(sizeof out - s.avail_out));
      if (ret == Z_BUF_ERROR) {  // no progress: the input block is used up
        ret = Z_OK;
        break;
      }
    } while (ret == Z_OK && (s.avail_in > 0 || s.avail_out == 0));
  }
  bool sound = stored ? ret == Z_OK : ret == Z_STREAM_END;
  if (!stored) {
    total = static_cast<long long>(s.total_out);
    inflateEnd(&s);
  }
  if (checkCrc && static_cast<uint32_t>(crc) != static_cast<uint32_t>(e->crc)) sound = false;
  return sound ? total : -1;
}

// Memory for whole entries, grown as needed and never given back: mapped, aligned to and
// advised for huge pages when large, as the launcher's.
struct Buffer {
  unsigned char *data = nullptr;
  size_t capacity = 0;
  void Reserve(size_t n) {
    if (n <= capacity) return;
    constexpr size_t kHuge = 2u << 20;
    if (data != nullptr) munmap(data, capacity);
    capacity = (std::max(n, capacity * 2) + kHuge - 1) / kHuge * kHuge;
    void *p = mmap(nullptr, capacity + kHuge, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      perror("mmap");
      exit(1);
    }
    data = reinterpret_cast<unsigned char *>(
        (reinterpret_cast<uintptr_t>(p) + kHuge - 1) / kHuge * kHuge);
    madvise(data, capacity, MADV_HUGEPAGE);
  }
};

// libdeflate, the whole entry at once (a stored one is only read and checked).
long long InflateWhole(jzfile *zip, const jzentry *e, libdeflate_decompressor *d, Buffer &input,
                       Buffer &output) {
  const bool stored = e->csize == 0;
  const size_t clen = static_cast<size_t>(stored ? e->size : e->csize);
  const size_t size = static_cast<size_t>(e->size);
  input.Reserve(std::max<size_t>(clen, 1));
  if (pread(zip->fd, input.data, clen, e->pos) != static_cast<ssize_t>(clen)) return -1;
  const unsigned char *data = input.data;
  if (!stored) {
    output.Reserve(std::max<size_t>(size, 1));
    size_t used = 0, produced = 0;
    if (libdeflate_deflate_decompress_ex(d, input.data, clen, output.data, size, &used,
                                         &produced) != LIBDEFLATE_SUCCESS ||
        used != clen || produced != size)
      return -1;
    data = output.data;
  }
  if (libdeflate_crc32(0, data, size) != static_cast<uint32_t>(e->crc)) return -1;
  return static_cast<long long>(size);
}

}  // namespace

int main(int argc, char **argv) {
  const char *mode = argc == 3 ? argv[2] : "";
  const bool checkCrc = strcmp(mode, "--crc") == 0;
  const bool whole = strcmp(mode, "--libdeflate") == 0;
  if (argc < 2 || argc > 3 || (argc == 3 && !checkCrc && !whole)) {
    fprintf(stderr, "usage: %s ARCHIVE [--crc | --libdeflate]\n", argv[0]);
    return 2;
  }
  jzfile *zip = zipOpen(argv[1], nullptr);
  if (zip == nullptr) {
    fprintf(stderr, "%s: not an archive\n", argv[1]);
    return 1;
  }
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  Buffer input, output;
  long long total = 0;
  int bad = 0;
  for (jint i = 0;; i++) {
    jzentry *e = zipGetNextEntry(zip, i);
    if (e == nullptr) break;
    const long long n = whole ? InflateWhole(zip, e, d, input, output)
                              : InflateStream(zip, e, checkCrc);
    if (n < 0) bad++;
    else total += n;
    zipFreeEntry(zip, e);
  }
  libdeflate_free_decompressor(d);
  zipClose(zip);
  printf("%lld bytes inflated, %d bad entries\n", total, bad);
  return bad == 0 ? 0 : 1;
}
