// What the archive tests share: a test of an archive written to its scratch directory and
// opened (closed when the test ends), and an entry read into memory through zipReadEntry.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/zip_util.h"
#include "support.h"
#include "zip_builder.h"

inline bool ExtractToString(jzfile *zip, jzentry *e, const std::string &scratchFile,
                            std::string *out) {
  unlink(scratchFile.c_str());
  if (!zipReadEntry(zip, e, scratchFile.c_str())) return false;
  *out = support::Exists(scratchFile) ? support::ReadFile(scratchFile) : "<missing>";
  return true;
}

class ArchiveTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (zip != nullptr) zipClose(zip);
  }
  // Opens the archive at path, after closing the one opened before (the same name would share
  // its record).
  jzfile *OpenFile(const std::string &path) {
    if (zip != nullptr) zipClose(zip);
    zip = zipOpen(path.c_str(), nullptr);
    EXPECT_NE(zip, nullptr) << path;
    return zip;
  }
  // Writes bytes to rel in the scratch directory and opens them.
  jzfile *Open(const std::string &bytes, const std::string &rel = "archive") {
    archive = scratch.Path(rel);
    support::WriteFile(archive, bytes);
    return OpenFile(archive);
  }
  jzfile *Open(const std::vector<ziptest::Entry> &entries, const std::string &rel = "archive") {
    return Open(ziptest::Build(entries).bytes, rel);
  }

  support::Sandbox scratch;
  jzfile *zip = nullptr;
  std::string archive;  // the path last written by Open
};
