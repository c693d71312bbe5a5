// The limit for extraction: every entry's compressed bytes read (64 KiB at a time) and
// inflated with zlib into a buffer that is thrown away, nothing written. With --crc the CRC-32 of the output is also
// computed and checked, as the extraction does. Usage: inflate_bench ARCHIVE [--crc]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include "archive/zip_util.h"

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "--crc") != 0)) {
    fprintf(stderr, "usage: %s ARCHIVE [--crc]\n", argv[0]);
    return 2;
  }
  const bool checkCrc = argc == 3;
  jzfile *zip = zipOpen(argv[1], nullptr);
  if (zip == nullptr) {
    fprintf(stderr, "%s: not an archive\n", argv[1]);
    return 1;
  }
  static unsigned char in[1 << 16];
  static unsigned char out[1 << 16];
  long long total = 0;
  int bad = 0;
  for (jint i = 0;; i++) {
    jzentry *e = zipGetNextEntry(zip, i);
    if (e == nullptr) break;
    const bool stored = e->csize == 0;
    const long long len = stored ? e->size : e->csize;
    uLong crc = crc32(0, Z_NULL, 0);
    z_stream s;
    memset(&s, 0, sizeof s);
    if (!stored) inflateInit2(&s, -MAX_WBITS);
    int ret = Z_OK;
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
    if (!stored) {
      if (ret != Z_STREAM_END) bad++;
      total += static_cast<long long>(s.total_out);
      inflateEnd(&s);
    } else if (ret != Z_OK) {
      bad++;
    }
    if (checkCrc && static_cast<uint32_t>(crc) != static_cast<uint32_t>(e->crc)) bad++;
    zipFreeEntry(zip, e);
  }
  zipClose(zip);
  printf("%lld bytes inflated, %d bad entries\n", total, bad);
  return bad == 0 ? 0 : 1;
}
