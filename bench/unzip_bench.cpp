// Extracts an archive the way the launcher's second pass does: zipOpen, UnzipFilesAt into the
// output directory (made 0700 if missing, and opened), zipClose.
// Usage: unzip_bench ARCHIVE OUTPUT_DIR [--sequential] [--by-name] [--progress]
//                    [--whole-limit BYTES] [--workers-rss]
//   --sequential   one process alone (SetMaxExtractionWorkers(1)); without it, the launcher's
//                  default number of worker processes
//   --by-name      UnzipFiles with the output directory's path instead of its descriptor
//   --progress     the extraction as the launcher runs it on a terminal, with its progress line
//                  (drawn on standard output, whatever that is)
//   --whole-limit  the largest entry inflated whole (zipSetWholeEntryLimit); 0 streams them all
//                  through zlib
//   --workers-rss  afterwards, print to stderr the largest peak RSS of the reaped worker
//                  processes (getrusage RUSAGE_CHILDREN; 0 when no worker ran)
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/extract.h"
#include "archive/zip_util.h"
#include "core/startup.h"
#include "ui/testing.h"

int main(int argc, char **argv) {
  const char *paths[2] = {nullptr, nullptr};
  int pathCount = 0;
  bool sequential = false;
  bool workersRss = false;
  bool byName = false;
  bool progress = false;
  long wholeLimit = -1;
  bool usage = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--sequential") == 0) {
      sequential = true;
    } else if (strcmp(argv[i], "--by-name") == 0) {
      byName = true;
    } else if (strcmp(argv[i], "--progress") == 0) {
      progress = true;
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
            "usage: %s ARCHIVE OUTPUT_DIR [--sequential] [--by-name] [--progress] "
            "[--whole-limit BYTES] [--workers-rss]\n",
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
  if (progress) {
    // The launcher takes the total from its first pass; the central directory's sizes are the
    // same and cost nothing to add up.
    unsigned long long total = 0;
    for (jint i = 0; i < zip->total; i++)
      if (zip->entries[i].size > 0) total += static_cast<unsigned long long>(zip->entries[i].size);
    ShowProgressOnAnyOutputForTesting(true);
    BeginExtractionProgress(total);
  }
  jboolean ok;
  if (byName) {
    ok = UnzipFiles(zip, paths[1], nullptr);
  } else {
    mkdir(paths[1], 0700);
    const int dir = open(paths[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && UnzipFilesAt(zip, dir, nullptr);
    if (dir >= 0) close(dir);
  }
  if (progress) EndExtractionProgress();
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
