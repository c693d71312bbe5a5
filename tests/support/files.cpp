// Files, scratch directories, the built programs and stand-in runtimes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "support.h"

namespace support {
namespace {

std::string Parent(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// nftw has no context argument.
std::map<std::string, std::string> *walkResult;
size_t walkRootLen;
int WalkOne(const char *path, const struct stat *st, int, struct FTW *) {
  if (strlen(path) < walkRootLen) return 0;  // the root itself
  std::string rel = std::string(path).substr(walkRootLen);
  (*walkResult)[rel] = S_ISDIR(st->st_mode) ? "<dir>" : ReadFile(path);
  return 0;
}

int RemoveOne(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

}  // namespace

std::string Quote(const std::string &text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

void MkDirs(const std::string &path, mode_t mode) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
        ADD_FAILURE() << "mkdir " << part << ": " << strerror(errno);
    }
  }
}

std::string ReadFile(const std::string &path) {
  std::string data;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
  close(fd);
  return data;
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode) {
  MkDirs(Parent(path));
  // Close-on-exec: a program forked meanwhile must not hold a file that is about to be run.
  FILE *f = fopen(path.c_str(), "wbe");
  ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
  ASSERT_EQ(fclose(f), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> Tree(const std::string &root) {
  std::map<std::string, std::string> result;
  walkResult = &result;
  walkRootLen = root.size() + 1;
  nftw(root.c_str(), WalkOne, 16, FTW_PHYS);
  return result;
}

void RemoveTree(const std::string &path) {
  if (!path.empty()) nftw(path.c_str(), RemoveOne, 32, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> Lines(const std::string &text, char separator) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find(separator, start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::string FirstLine(const std::string &path) {
  std::string text = ReadFile(path);
  size_t nl = text.find('\n');
  return nl == std::string::npos ? "" : text.substr(0, nl);
}

std::string Take(char *s, const char *ifNull) {
  std::string text = s != nullptr ? s : ifNull;
  free(s);
  return text;
}

bool EndsWith(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

std::string Noise(size_t n, uint32_t seed) {
  std::string noise(n, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    noise[i] = static_cast<char>(x >> 24);
  }
  return noise;
}

int Shell(const std::string &command, std::string *output) {
  std::string cmd = output != nullptr ? command + " 2>&1" : command + " >/dev/null 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (output != nullptr) output->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Sh(const std::string &command) {
  std::string out;
  ASSERT_EQ(Shell(command, &out), 0) << command << "\n" << out;
}

Sandbox::Sandbox() {
  char tmpl[] = "/tmp/test-XXXXXX";
  const char *d = mkdtemp(tmpl);
  if (d == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    dir_ = "/nonexistent";
    return;
  }
  dir_ = d;
  chmod(d, 0755);
}

Sandbox::~Sandbox() {
  if (dir_[0] != '/' || dir_ == "/nonexistent" || getenv("E2E_KEEP") != nullptr) return;
  // rm rather than RemoveTree: trees deeper than PATH_MAX go too.
  if (Shell("/bin/rm -rf " + Quote(dir_)) != 0) ADD_FAILURE() << "could not remove " << dir_;
}

std::string Sandbox::MkDir(const std::string &rel, mode_t mode) const {
  std::string path = Path(rel);
  MkDirs(path);
  chmod(path.c_str(), mode);
  return path;
}

std::string Sandbox::Write(const std::string &rel, const std::string &content, mode_t mode) const {
  std::string path = Path(rel);
  WriteFile(path, content, mode);
  return path;
}

std::string Sandbox::CopyLauncher(const std::string &name, const std::string &rel) const {
  std::string dest = Path(rel);
  WriteFile(dest, ReadFile(BuiltLauncher(name)), 0755);
  return dest;
}

std::string Sandbox::Zip(const std::string &payloadRel, const std::string &zipRel,
                         const std::string &zipOptions) const {
  std::string zip = Path(zipRel);
  unlink(zip.c_str());
  Sh("cd " + Quote(Path(payloadRel)) + " && zip -q -r -X " + zipOptions + " " + Quote(zip) + " .");
  return zip;
}

std::string Sandbox::MakeInstaller(const std::string &zipRel, const std::string &rel,
                                   const std::string &name, bool absolute) const {
  std::string dest = Path(rel);
  WriteFile(dest, ReadFile(BuiltLauncher(name)) + ReadFile(Path(zipRel)), 0755);
  if (absolute) Sh("zip -q -A " + Quote(dest));
  return dest;
}

const char *ArchDir() { return sizeof(void *) == 4 ? "i386" : "amd64"; }

std::string BuiltLauncher(const std::string &name) { return std::string(LAUNCHER_BIN_DIR "/") + name; }

std::string SourcePath(const std::string &rel) { return std::string(LAUNCHER_SOURCE_DIR "/") + rel; }

std::string LockPath(const std::string &exe, const std::string &title, uid_t uid) {
  struct stat st;
  if (stat(exe.c_str(), &st) != 0) {
    ADD_FAILURE() << "stat " << exe;
    return "";
  }
  return "/tmp/" + title + "." + std::to_string(static_cast<uint32_t>(st.st_dev)) + "." +
         std::to_string(static_cast<unsigned long long>(st.st_ino)) + "." +
         std::to_string(uid == static_cast<uid_t>(-1) ? geteuid() : uid);
}

std::string JavaScript(const StandInJava &java) {
  std::string script = "#!/bin/sh\n";
  script += "if [ \"$1\" = \"-version\" ]; then\n";
  if (!java.probeScript.empty()) script += java.probeScript + "\n";
  script += "  echo 'java version \"" + java.version + "\"' >&2\n";
  script += "  exit " + std::to_string(java.versionExit) + "\n";
  script += "fi\n";
  if (!java.reportDir.empty()) {
    std::string r = Quote(java.reportDir);
    script += "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > " + r + "/argv.txt\n";
    script += "pwd > " + r + "/cwd.txt\n";
    script += "export -p > " + r + "/env.txt\n";
  }
  script += java.extraScript + "\n";
  if (java.sleepSeconds > 0) script += "sleep " + std::to_string(java.sleepSeconds) + "\n";
  return script + "exit " + std::to_string(java.exitCode) + "\n";
}

std::string OutputScript(const std::string &text, const std::string &tail) {
  return "#!/bin/sh\nprintf '%s' " + Quote(text) + " >&2\n" + tail + "\n";
}

std::string VersionScript(const std::string &version, int exitCode) {
  return OutputScript("java version \"" + version + "\"\n", "exit " + std::to_string(exitCode));
}

std::string MakeRuntime(const std::string &root, const std::string &script, bool jdk) {
  std::string jre = jdk ? root + "/jre" : root;
  if (jdk) WriteFile(root + "/lib/tools.jar", "");
  WriteFile(jre + "/lib/" + ArchDir() + "/libjava.so", "");
  WriteFile(jre + "/bin/java", script, 0755);
  return jre;
}

std::string MakeRuntime(const std::string &root, const StandInJava &java, bool jdk) {
  return MakeRuntime(root, JavaScript(java), jdk);
}

}  // namespace support
