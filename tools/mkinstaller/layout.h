// What the launcher looks for in its archive, judged from the entry names alone, so that the
// same rules serve a payload about to be packed and an installer already made: the main class
// at the root and a private Java runtime under package/jre for the launcher's processor.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "launcher_file.h"

struct BundledRuntime {
  bool present = false;                 // some entry lies under package/jre/
  std::vector<std::string> usable;      // processor directories the launcher would accept
  std::vector<std::string> libraries;   // processor directories with a libjava.so at all
};

// names: every entry name (directories end with "/").
BundledRuntime FindBundledRuntime(const std::set<std::string> &names);

// Why the launcher could never use the bundled runtime, or "" when it can or there is none.
// An incomplete runtime for the launcher's own processor only gives a warning (the launcher
// then looks for a runtime on the machine, as without one).
std::string RuntimeProblem(const BundledRuntime &runtime, const LauncherFile &launcher, std::string *warning);

// "no", "yes, for amd64 (package/jre)".
std::string DescribeRuntime(const BundledRuntime &runtime, const LauncherFile &launcher);
