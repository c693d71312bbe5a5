// The hostile archives of the soak, generated from a seed.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "soak.h"

namespace soak {

struct HostileInput {
  std::string category;     // "truncation", "byte flip", "hostile name", ...
  std::string description;  // what was done to the archive
  std::string archive;      // the bytes appended to the launcher
  int timeoutSeconds = 120;
};

// The inputs for seed, in a fixed order (at least 600). Absolute names aim at absTarget, a
// directory that must stay empty.
std::vector<HostileInput> HostileInputs(uint64_t seed, const std::string &absTarget);

}  // namespace soak
