// Extracts an archive the way the launcher's second pass does: zipOpen, UnzipFiles into the
// output directory, zipClose.
// Usage: unzip_bench ARCHIVE OUTPUT_DIR [--sequential] [--whole-limit BYTES] [--workers-rss]
//   --sequential   one process alone (SetMaxExtractionWorkers(1)); without it, the launcher's
//                  default number of worker processes
//   --whole-limit  the largest entry inflated whole (zipSetWholeEntryLimit); 0 streams them all
//                  through zlib
//   --workers-rss  afterwards, print to stderr the largest peak RSS of the reaped worker
//                  processes (getrusage RUSAGE_CHILDREN; 0 when no worker ran)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "archive/extract.h"
#include "archive/zip_util.h"

int main(int argc, char **argv) {
  const char *paths[2] = {nullptr, nullptr};
  int pathCount = 0;
  bool sequential = false;
  bool workersRss = false;
  long wholeLimit = -1;
  bool usage = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--sequential") == 0) {
      sequential = true;
    } else if (strcmp(argv[i], "--whole-limit") == 0 && i + 1 < argc) {
      char *end = nullptr;
      wholeLimit = strtol(argv[++i], &end, 10);
      usage = usage || *end != '\0' || wholeLimit < 0 || wholeLimit > INT32_MAX;
    } else if (strcmp(argv[i], "--workers-rss") == 0) {
      workersRss = true;
    } else if (strncmp(argv[i], "--", 2) == 0 || pathCount == 2) {
      usage = true;
    } else {
      paths[pathCount++] = argv[i];
    }
  }
  if (usage || pathCount != 2) {
    fprintf(stderr,
            "usage: %s ARCHIVE OUTPUT_DIR [--sequential] [--whole-limit BYTES] [--workers-rss]\n",
            argv[0]);
    return 2;
  }
  if (sequential) SetMaxExtractionWorkers(1);
  if (wholeLimit >= 0) zipSetWholeEntryLimit(static_cast<jint>(wholeLimit));
  int err = 0;
  jzfile *zip = zipOpen(paths[0], &err);
  if (zip == nullptr) {
    fprintf(stderr, "%s: not an archive (%d)\n", paths[0], err);
    return 1;
  }
  jboolean ok = UnzipFiles(zip, paths[1], nullptr);
  if (!ok) fprintf(stderr, "%s: extraction failed: %s\n", paths[0], zip->msg ? zip->msg : "");
  zipClose(zip);
  if (workersRss) {
    struct rusage children;
    memset(&children, 0, sizeof children);
    getrusage(RUSAGE_CHILDREN, &children);
    fprintf(stderr, "workers peak RSS KiB: %ld\n", children.ru_maxrss);
  }
  return ok ? 0 : 1;
}
