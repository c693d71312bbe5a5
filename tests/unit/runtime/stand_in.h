// The runtime tests' fixture for code that looks at the application home: an empty scratch
// directory `home`, as the working directory is before extraction, with the paths and profile
// caches reset around the test. Stand-in runtimes come from support.h.
#pragma once

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "base/paths.h"
#include "core/testing.h"
#include "support.h"

namespace standin {

class ApplicationHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPathsForTesting();
    ResetProfileForTesting();
    support::MkDirs(home);
    SetApplicationHome(strdup(home.c_str()));
  }
  void TearDown() override {
    ResetProfileForTesting();
    ResetPathsForTesting();
  }

  support::Sandbox dir;
  std::string home = dir / "home";
};

}  // namespace standin
