// An entry of an open archive read into memory through zipReadEntry and a scratch file.
#pragma once

#include <unistd.h>

#include <string>

#include "archive/zip_util.h"
#include "support.h"

inline bool ExtractToString(jzfile *zip, jzentry *e, const std::string &scratchFile,
                            std::string *out) {
  unlink(scratchFile.c_str());
  if (!zipReadEntry(zip, e, scratchFile.c_str())) return false;
  *out = support::Exists(scratchFile) ? support::ReadFile(scratchFile) : "<missing>";
  return true;
}
