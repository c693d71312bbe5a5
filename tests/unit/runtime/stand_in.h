// Fixtures for the runtime tests: scratch directories, runtime roots and development kits
// laid out on disk with a #!/bin/sh bin/java, and capture of a standard stream. The version
// probe runs bin/java with an empty environment and standard output closed, so probe scripts
// use shell builtins and absolute paths only.
#pragma once

#include <sys/types.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "base/paths.h"
#include "core/testing.h"

namespace standin {

// A directory under /tmp, removed with its contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void MkDirs(const std::string &path);
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string ReadFile(const std::string &path);
// The text as one single-quoted shell word.
std::string Quote(const std::string &text);

// A bin/java that writes text (verbatim) on standard error for any arguments, then runs tail.
std::string OutputScript(const std::string &text, const std::string &tail = "exit 0");
// A bin/java whose "-version" line names version, exiting with exitCode.
std::string VersionScript(const std::string &version, int exitCode = 0);

// Lays out a runtime root with lib/<arch>/libjava.so and an executable bin/java holding
// script. With jdk, dir is a development kit K (K/lib/tools.jar, runtime root K/jre).
// Returns the runtime root.
std::string MakeRuntime(const std::string &dir, const std::string &script, bool jdk = false);

// Sends a descriptor (1 or 2) to a file until Finish, which returns what was written.
class Capture {
 public:
  explicit Capture(int fd);
  ~Capture();
  std::string Finish();

 private:
  int fd_, saved_ = -1;
  std::string file_;
};

// Sets or (value null) removes an environment variable until the end of the scope.
class EnvVar {
 public:
  EnvVar(const char *name, const char *value);
  ~EnvVar();

 private:
  std::string name_, old_;
  bool had_;
};

// A test whose application home is the empty scratch directory `home`, as the working
// directory is before extraction; the paths and profile caches are reset around it.
class ApplicationHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPathsForTesting();
    ResetProfileForTesting();
    MkDirs(home);
    SetApplicationHome(strdup(home.c_str()));
  }
  void TearDown() override {
    ResetProfileForTesting();
    ResetPathsForTesting();
  }

  ScratchDir dir;
  std::string home = dir / "home";
};

}  // namespace standin
