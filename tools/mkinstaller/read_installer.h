// Reading an installer back: listing its entries, describing it, and checking it. The archive
// is read with the launcher's own reader (archive/zip_util), so that what passes the check is
// what the launcher extracts; on top of that the check compares every local header with its
// central header, accounts for every byte of the central directory and the end record, and
// verifies the SHA-256 that this tool records in the archive comment, which covers every byte
// in front of the end record.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "launcher_file.h"
#include "layout.h"
#include "progress.h"
#include "zip_format.h"

struct ListedEntry {
  std::string name;
  int64_t size = 0;
  int64_t csize = 0;  // bytes in the archive
  int method = 0;
  uint32_t dosTime = 0;
};

struct Installer {
  LauncherFile launcher;
  int64_t fileLength = 0;
  int64_t archiveLength = 0;  // bytes behind the launcher's image
  std::vector<ListedEntry> entries;
  uint64_t totalSize = 0;
  int64_t files = 0, directories = 0;
  BundledRuntime runtime;
  bool hasDigestRecord = false;
  std::string sha256;  // of the whole file, when asked for
};

enum class Depth {
  kList,   // entries from the reader
  kInfo,   // and the SHA-256 of the whole file
  kCheck,  // and every entry's data, every header, the digest record and the layout
};

struct ReadInstallerOptions {
  Depth depth = Depth::kList;
  bool hash = true;  // compute the SHA-256 (kInfo and kCheck)
  Progress *progress = nullptr;
  ArchiveLimits limits;
};

// False with *error when path is no installer the launcher can read at all. Otherwise the
// problems found (only kCheck looks for damage, every depth for a refused layout) go to
// *problems, one sentence each; the installer is good when there are none.
bool ReadInstaller(const std::string &path, const ReadInstallerOptions &options, Installer *installer,
                   std::vector<std::string> *problems, std::string *error);
