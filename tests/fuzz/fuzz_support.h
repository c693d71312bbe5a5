// What both fuzzers need: a scratch directory, the input written where zipOpen finds it, and the
// check that nothing was written where it should not be.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>

#include "support.h"

namespace fuzzsupport {

// A fresh /tmp/<name>-XXXXXX, removed at exit; a crash leaves it behind to look at.
inline std::string Scratch(const char *name) {
  static std::string dir;
  std::string tmpl = std::string("/tmp/") + name + "-XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) abort();
  dir = tmpl;
  atexit([] { support::RemoveTree(dir); });
  return dir;
}

inline void WriteInput(const std::string &path, const void *data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) abort();
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
}

// Aborts unless dir holds exactly the names in allowed.
inline void CheckOnly(const std::string &dir, const std::set<std::string> &allowed) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) abort();
  while (struct dirent *de = readdir(d)) {
    std::string name = de->d_name;
    if (name == "." || name == "..") continue;
    if (allowed.count(name) == 0) {
      fprintf(stderr, "written outside the output directory: %s/%s\n", dir.c_str(), name.c_str());
      abort();
    }
  }
  closedir(d);
}

}  // namespace fuzzsupport
