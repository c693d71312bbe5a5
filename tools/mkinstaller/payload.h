// The payload directory as the archive will hold it: every directory and file below it, with
// symbolic links replaced by what they point to, as long as that lies inside the payload. The
// launcher writes every entry as a plain file, so a link stored as a link would arrive as a
// file holding the link's target text.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "zip_format.h"

struct PayloadEntry {
  std::string name;     // archive name; a directory's ends with "/"
  std::string source;   // the file read for its contents (a link's target, resolved)
  std::string display;  // the path as the user gave it, for messages
  bool directory = false;
  int64_t size = 0;
  int64_t mtime = 0;    // seconds since 1970
};

struct Payload {
  std::vector<PayloadEntry> entries;  // sorted by name, byte by byte
  int64_t files = 0, directories = 0;
  int64_t links = 0;                  // symbolic links stored as what they point to
  uint64_t totalSize = 0;             // bytes of all files
};

// Reads the payload directory dir. False with *error naming the file and the rule for: a link
// that dangles, leaves the payload or leads back into a directory that holds it; a file that is
// neither a regular file nor a directory; an unreadable directory; a file larger than an entry
// may be; more entries than the launcher reads; a name that cannot be stored.
bool ReadPayload(const std::string &dir, const ArchiveLimits &limits, Payload *payload, std::string *error);
