// Feeds arbitrary bytes to the archive reader the way the launcher uses it: the input becomes
// a file that is opened with zipOpen, every entry is built, its raw bytes read and looked up
// by name, and the archive is extracted, whole and by the runtime prefix, into a scratch
// directory. Besides the sanitizers' reports, a file that appears outside the scratch
// directory is a finding: the process aborts. So is any difference between the two inflaters:
// the whole archive is extracted in order (workers would make a failed extraction's partial tree
// depend on timing) once with entries inflated whole (libdeflate) and once with every entry
// streamed (zlib), and the results, reasons and trees must be the same.
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/zip_util.h"
#include "fuzz_support.h"

using namespace fuzzsupport;
using support::RemoveTree;
using support::Tree;

namespace {

// The launcher refuses to extract more than the free space allows; the fuzzer keeps each run
// small in the same way, so that a few bytes declaring gigabytes do not stall it.
constexpr long long kMaxExtracted = 64 << 20;

std::string base;    // /tmp/zipfuzz-XXXXXX
std::string jail;    // base/a/b/c: extraction happens in jail/out and jail/home
std::string input;   // base/input.zip

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  base = Scratch("zipfuzz");
  input = base + "/input.zip";
  jail = base + "/a/b/c";
  if (system(("mkdir -p '" + jail + "'").c_str()) != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  WriteInput(input, data, size);
  int err = 0;
  jzfile *zip = zipOpen(input.c_str(), &err);
  if (zip == nullptr) {
    if (err != -2) abort();  // the file exists: only "not an archive" is possible
    return 0;
  }
  if (zipOpen(input.c_str(), nullptr) != zip) abort();  // the second open shares the record
  zipClose(zip);

  long long declared = 0;
  std::vector<std::string> names;
  char buf[256];
  for (jint i = 0;; i++) {
    jzentry *e = zipGetNextEntry(zip, i);
    if (e == nullptr) break;
    if (e->size > 0) declared += e->size;
    names.push_back(e->name);
    // Declared lengths may be anything, negative included.
    const jlong dataLen = e->csize != 0 ? e->csize : e->size;
    zipRead(zip, e, 0, buf, sizeof buf);
    zipRead(zip, e, static_cast<jint>(dataLen / 2), buf, sizeof buf);
    zipRead(zip, e, static_cast<jint>(std::max<jlong>(dataLen - 1, INT32_MIN)), buf, 1);
    zipFreeEntry(zip, e);
  }
  for (const std::string &name : names) {
    jint sizeOut = 0, nameLen = 0;
    jzentry *e = zipFindEntry(zip, name.c_str(), &sizeOut, &nameLen);
    if (e != nullptr) zipFreeEntry(zip, e);
  }
  if (declared <= kMaxExtracted) {
    UnzipFiles(zip, (jail + "/home").c_str(), "package/jre");
    UnzipFiles(zip, (jail + "/out").c_str(), nullptr);
    SetMaxExtractionWorkers(1);
    const jboolean whole = UnzipFiles(zip, (jail + "/whole").c_str(), nullptr);
    const char *wholeMsg = zip->msg;
    const int wholeErrno = zip->writeErrno;
    zipSetWholeEntryLimit(0);
    const jboolean streamed = UnzipFiles(zip, (jail + "/zlib").c_str(), nullptr);
    zipSetWholeEntryLimit(-1);
    SetMaxExtractionWorkers(0);
    if (whole != streamed || wholeMsg != zip->msg || wholeErrno != zip->writeErrno ||
        Tree(jail + "/whole") != Tree(jail + "/zlib")) {
      fprintf(stderr, "the inflaters differ: %d (%s) against %d (%s)\n", whole,
              wholeMsg != nullptr ? wholeMsg : "", streamed, zip->msg != nullptr ? zip->msg : "");
      abort();
    }
  }
  zipClose(zip);

  CheckOnly(base, {"input.zip", "a"});
  CheckOnly(base + "/a", {"b"});
  CheckOnly(base + "/a/b", {"c"});
  CheckOnly(jail, {"out", "home", "whole", "zlib"});
  for (const char *dir : {"/out", "/home", "/whole", "/zlib"}) RemoveTree(jail + dir);
  return 0;
}
