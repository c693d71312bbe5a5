// Holds the extraction by worker processes to its promise: whatever the archive, the result is
// the one of writing the entries in order. Each input describes a small archive whose names are
// drawn from an alphabet of the pieces that make order matter ("/", ".", "..", 0x01, letters in
// both cases, a name beyond ASCII), with repeated names and files where other entries need
// directories. The archive is extracted once in order and once with workers forced on (no size
// threshold, four workers), with or without names folded and the runtime's prefix; a different
// result, a different reason, or a different tree (names, types, contents) is a finding, as is
// anything written beside the two output directories.
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/zip_util.h"
#include "archive/testing.h"
#include "fuzz_support.h"
#include "zip_builder.h"

using namespace fuzzsupport;
using support::RemoveTree;

namespace {

constexpr size_t kMostEntries = 12;
constexpr size_t kMostPieces = 6;
const char *const kAlphabet[] = {"a", "A", "b", "B", "/", ".", "..", "\x01", "\xc3\xa9", "a/", "0"};
constexpr size_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0];

std::string base;  // /tmp/orderfuzz-XXXXXX
std::string input, inOrder, byWorkers;

// Reads the input front to back; past its end every byte is 0.
struct Reader {
  const uint8_t *data;
  size_t size, at = 0;
  uint8_t Next() { return at < size ? data[at++] : 0; }
  bool Done() const { return at >= size; }
};

struct Entry {
  std::string name, data;
};

// A consistent archive of stored entries, in the given order.
std::string BuildZip(const std::vector<Entry> &entries) {
  std::vector<ziptest::Entry> stored;
  for (const Entry &e : entries) stored.push_back(ziptest::Stored(e.name, e.data));
  return ziptest::Build(stored).bytes;
}

// Per entry: a byte for the number of pieces (or, with its top bit, a repeat of an earlier
// entry's name), a byte per piece, and a byte whose low bit asks for a directory entry and
// whose next bits give the content's length (taken from the input).
std::vector<Entry> Decode(Reader &in) {
  std::vector<Entry> entries;
  while (!in.Done() && entries.size() < kMostEntries) {
    Entry e;
    const uint8_t head = in.Next();
    if ((head & 0x80) != 0 && !entries.empty()) {
      e.name = entries[in.Next() % entries.size()].name;
    } else {
      for (size_t n = head % kMostPieces + 1; n > 0; n--) e.name += kAlphabet[in.Next() % kAlphabetSize];
    }
    const uint8_t shape = in.Next();
    if ((shape & 1) != 0) {
      if (e.name.back() != '/') e.name += '/';
    } else {
      for (size_t n = (shape >> 1) % 8 + 1; n > 0; n--) e.data += static_cast<char>(in.Next());
    }
    entries.push_back(e);
  }
  return entries;
}

// Every name under dir with its type and, for a file, its contents.
void Walk(const std::string &dir, const std::string &rel, std::map<std::string, std::string> &tree) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent *de = readdir(d)) {
    const std::string name = de->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name, key = rel + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) abort();
    if (S_ISDIR(st.st_mode)) {
      tree[key] = "<dir>";
      Walk(path, key + "/", tree);
    } else if (S_ISREG(st.st_mode)) {
      std::string content;
      FILE *f = fopen(path.c_str(), "rb");
      if (f == nullptr) abort();
      char buf[256];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
      fclose(f);
      tree[key] = "file:" + content;
    } else {
      tree[key] = "<other>";
    }
  }
  closedir(d);
}

std::map<std::string, std::string> Tree(const std::string &dir) {
  std::map<std::string, std::string> tree;
  Walk(dir, "", tree);
  return tree;
}

struct Outcome {
  jboolean ok;
  std::string msg;
  int writeErrno;
};

Outcome Extract(jzfile *zip, const std::string &out, const char *prefix, int workers) {
  SetMaxExtractionWorkers(workers);
  zip->msg = nullptr;
  const jboolean ok = UnzipFiles(zip, out.c_str(), prefix);
  return {ok, zip->msg != nullptr ? zip->msg : "", zip->writeErrno};
}

[[noreturn]] void Finding(const char *what) {
  fprintf(stderr, "in order and by workers differ: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  base = Scratch("orderfuzz");
  input = base + "/input.zip";
  inOrder = base + "/in-order";
  byWorkers = base + "/by-workers";
  SetLeastParallelBytesForTesting(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader in{data, size};
  const uint8_t mode = in.Next();
  const bool fold = (mode & 1) != 0;
  const char *prefix = (mode & 2) != 0 ? "a" : nullptr;
  const std::vector<Entry> entries = Decode(in);
  const std::string zipBytes = BuildZip(entries);
  WriteInput(input, zipBytes.data(), zipBytes.size());

  int err = 0;
  jzfile *zip = zipOpen(input.c_str(), &err);
  if (zip == nullptr) return 0;  // no entries: the end record alone sits at position 0
  FoldNamesForTesting(fold);
  const Outcome first = Extract(zip, inOrder, prefix, 1);
  const Outcome second = Extract(zip, byWorkers, prefix, 4);
  zipClose(zip);

  if (first.ok != second.ok) Finding("one failed, the other did not");
  if (first.msg != second.msg || first.writeErrno != second.writeErrno) Finding("the reasons");
  if (first.ok && Tree(inOrder) != Tree(byWorkers)) Finding("the trees");
  CheckOnly(base, {"input.zip", "in-order", "by-workers"});
  RemoveTree(inOrder);
  RemoveTree(byWorkers);
  return 0;
}
