// Extracts an archive the way the launcher's second pass does: zipOpen, UnzipFiles into the
// output directory, zipClose. Usage: unzip_bench ARCHIVE OUTPUT_DIR
#include <stdio.h>

#include "archive/extract.h"
#include "archive/zip_util.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ARCHIVE OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  int err = 0;
  jzfile *zip = zipOpen(argv[1], &err);
  if (zip == nullptr) {
    fprintf(stderr, "%s: not an archive (%d)\n", argv[1], err);
    return 1;
  }
  jboolean ok = UnzipFiles(zip, argv[2], nullptr);
  if (!ok) fprintf(stderr, "%s: extraction failed: %s\n", argv[1], zip->msg ? zip->msg : "");
  zipClose(zip);
  return ok ? 0 : 1;
}
