// The limit for extraction: every entry's compressed bytes read and inflated with zlib into a
// buffer that is thrown away, nothing written. With --crc the CRC-32 of the output is also
// computed and checked, as the extraction does. Usage: inflate_bench ARCHIVE [--crc]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <vector>

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
  std::vector<unsigned char> in;
  static unsigned char out[1 << 16];
  long long total = 0;
  int bad = 0;
  for (jint i = 0;; i++) {
    jzentry *e = zipGetNextEntry(zip, i);
    if (e == nullptr) break;
    const jint len = e->csize != 0 ? e->csize : e->size;
    in.resize(static_cast<size_t>(len) + 1);
    if (len > 0 && pread(zip->fd, in.data(), static_cast<size_t>(len), e->pos) != len) bad++;
    uLong crc = crc32(0, Z_NULL, 0);
    if (e->csize == 0) {
      if (checkCrc) crc = crc32(crc, in.data(), static_cast<uInt>(len));
      total += len;
    } else {
      z_stream s;
      memset(&s, 0, sizeof s);
      inflateInit2(&s, -MAX_WBITS);
      s.next_in = in.data();
      s.avail_in = static_cast<uInt>(len);
      int ret;
      do {
        s.next_out = out;
        s.avail_out = sizeof out;
        ret = inflate(&s, Z_NO_FLUSH);
        if (checkCrc) crc = crc32(crc, out, static_cast<uInt>(sizeof out - s.avail_out));
      } while (ret == Z_OK);
      if (ret != Z_STREAM_END) bad++;
      total += static_cast<long long>(s.total_out);
      inflateEnd(&s);
    }
    if (checkCrc && static_cast<uint32_t>(crc) != static_cast<uint32_t>(e->crc)) bad++;
    zipFreeEntry(zip, e);
  }
  zipClose(zip);
  printf("%lld bytes inflated, %d bad entries\n", total, bad);
  return bad == 0 ? 0 : 1;
}
