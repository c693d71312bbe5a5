// Fixtures for the runtime tests: directories, files, stand-in runtimes, stream capture.
#include "stand_in.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/discovery.h"

namespace standin {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/rt-unit-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  std::string cmd = "rm -rf " + Quote(path_);
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << path_;
}

void MkDirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << part << ": " << strerror(errno);
    }
  }
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MkDirs(path.substr(0, slash));
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
  ASSERT_EQ(fclose(f), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::string ReadFile(const std::string &path) {
  std::string data;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return data;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return data;
}

std::string Quote(const std::string &text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string OutputScript(const std::string &text, const std::string &tail) {
  return "#!/bin/sh\nprintf '%s' " + Quote(text) + " >&2\n" + tail + "\n";
}

std::string VersionScript(const std::string &version, int exitCode) {
  return OutputScript("java version \"" + version + "\"\n", "exit " + std::to_string(exitCode));
}

std::string MakeRuntime(const std::string &dir, const std::string &script, bool jdk) {
  std::string root = jdk ? dir + "/jre" : dir;
  if (jdk) WriteFile(dir + "/lib/tools.jar", "");
  WriteFile(root + "/lib/" + GetArch() + "/libjava.so", "");
  WriteFile(root + "/bin/java", script, 0755);
  return root;
}

Capture::Capture(int fd) : fd_(fd) {
  char tmpl[] = "/tmp/rt-capture-XXXXXX";
  int out = mkstemp(tmpl);
  if (out < 0) {
    ADD_FAILURE() << "mkstemp: " << strerror(errno);
    return;
  }
  file_ = tmpl;
  fflush(nullptr);
  saved_ = dup(fd_);
  dup2(out, fd_);
  close(out);
}

std::string Capture::Finish() {
  if (saved_ < 0) return "";
  fflush(nullptr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
  std::string text = ReadFile(file_);
  unlink(file_.c_str());
  return text;
}

Capture::~Capture() { Finish(); }

EnvVar::EnvVar(const char *name, const char *value) : name_(name) {
  const char *old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

EnvVar::~EnvVar() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace standin
