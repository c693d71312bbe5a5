// A depth-first walk with lstat. A symbolic link is resolved with realpath and must end inside
// the payload's own real path; a link to a directory is walked under the link's name, and the
// devices and inodes of the directories being walked catch a link that leads back into one of
// them. Links to directories could multiply the payload without a loop, so the walk stops
// counting some way past the entry limit.
#include "payload.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

struct Walk {
  const ArchiveLimits &limits;
  Payload *payload;
  std::string root;  // the payload's real path
  std::string displayRoot;  // the payload as the user named it
  std::vector<std::pair<dev_t, ino_t>> open;  // directories being walked, outermost first
  std::string error;
  int64_t count = 0;  // entries found, also past the limit
  bool stopped = false;

  bool Fail(const std::string &message) {
    if (error.empty()) error = message;
    return false;
  }
  int64_t CountCap() const { return limits.maxEntries * 4 + 16; }
  bool Inside(const std::string &real) const {
    return real == root || root == "/" || (real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
                                           real[root.size()] == '/');
  }
  bool Add(PayloadEntry entry) {
    if (++count > limits.maxEntries) {
      if (count > CountCap()) stopped = true;
      return true;  // go on counting, for the message
    }
    const std::string problem = NameProblem(entry.name, limits);
    if (!problem.empty()) return Fail("cannot pack '" + entry.display + "': " + problem);
    if (entry.directory) {
      payload->directories++;
    } else {
      payload->files++;
      payload->totalSize += static_cast<uint64_t>(entry.size);
    }
    payload->entries.push_back(std::move(entry));
    return true;
  }
  void FindLeavingLink(std::string *path, std::string *display, std::string *target) const;
  bool Directory(const std::string &path, const std::string &display, const std::string &prefix);
  bool Entry(const std::string &path, const std::string &display, const std::string &name);
};

std::string Readlink(const std::string &path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string("?") : std::string(buf, static_cast<size_t>(n));
}

const char *TypeName(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// In a chain of links that ends outside the payload, the one whose own target leaves it: the
// links are followed one at a time, each target's directory resolved, and the walk stops at
// the first whose target lies outside. *path, *display and *target start as those of the
// first link and end as those of the one to name.
void Walk::FindLeavingLink(std::string *path, std::string *display, std::string *target) const {
  for (int hop = 0; hop < 40; hop++) {  // the kernel's own limit; realpath found the chain finite
    std::string next = (*target)[0] == '/' ? *target : path->substr(0, path->rfind('/') + 1) + *target;
    while (next.size() > 1 && next.back() == '/') next.pop_back();
    const size_t slash = next.rfind('/');
    const std::string last = next.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") return;
    char *dir = realpath(slash == 0 ? "/" : next.substr(0, slash).c_str(), nullptr);
    if (dir == nullptr) return;
    const std::string resolvedDir = dir;
    free(dir);
    if (!Inside(resolvedDir)) return;
    const std::string resolved = (resolvedDir == "/" ? "" : resolvedDir) + "/" + last;
    struct stat st;
    if (lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
    *path = resolved;
    *display = displayRoot + (root == "/" ? resolved : resolved.substr(root.size()));
    *target = Readlink(resolved);
  }
}

bool Walk::Directory(const std::string &path, const std::string &display, const std::string &prefix) {
  DIR *d = opendir(path.c_str());
  if (d == nullptr) return Fail("cannot read the directory '" + display + "': " + strerror(errno));
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    errno = 0;
  }
  const int readError = errno;
  closedir(d);
  if (readError != 0) return Fail("cannot read the directory '" + display + "': " + strerror(readError));
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    if (stopped) return true;
    if (!Entry(path + "/" + name, display + "/" + name, prefix + name)) return false;
  }
  return true;
}

bool Walk::Entry(const std::string &path, const std::string &display, const std::string &name) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail("cannot read '" + display + "': " + strerror(errno));
  std::string source = path;
  if (S_ISLNK(st.st_mode)) {
    const std::string target = Readlink(path);
    char *resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      const int err = errno;
      if (err == ENOENT) {
        return Fail("the symbolic link '" + display + "' points to '" + target +
                    "', which does not exist; links are stored as what they point to");
      }
      if (err == ELOOP) return Fail("the symbolic link '" + display + "' is part of a loop of links");
      return Fail("cannot follow the symbolic link '" + display + "': " + strerror(err));
    }
    source = resolved;
    free(resolved);
    if (!Inside(source)) {
      std::string link = path, named = display, leaving = target;
      FindLeavingLink(&link, &named, &leaving);
      return Fail("the symbolic link '" + named + "' points to '" + leaving + "', outside the payload; links are " +
                  "stored as what they point to, so copy that into the payload or remove the link");
    }
    if (stat(source.c_str(), &st) != 0) return Fail("cannot read '" + display + "': " + strerror(errno));
    payload->links++;
  }
  if (S_ISDIR(st.st_mode)) {
    const std::pair<dev_t, ino_t> id(st.st_dev, st.st_ino);
    if (std::find(open.begin(), open.end(), id) != open.end()) {
      return Fail("the symbolic link '" + display + "' points to '" + Readlink(path) +
                  "', a directory that holds the link itself: packing it would never end");
    }
    PayloadEntry entry;
    entry.name = name + "/";
    entry.display = display;
    entry.directory = true;
    entry.mtime = st.st_mtime;
    if (!Add(std::move(entry))) return false;
    open.push_back(id);
    const bool ok = Directory(source, display, name + "/");
    open.pop_back();
    return ok;
  }
  if (!S_ISREG(st.st_mode)) {
    return Fail("cannot pack '" + display + "': it is " + TypeName(st.st_mode) +
                "; only regular files, directories and symbolic links to them can be packed");
  }
  if (st.st_size > limits.maxEntrySize) {
    return Fail("cannot pack '" + display + "': it is " + std::to_string(st.st_size) +
                " bytes, and the launcher reads entries of at most " + std::to_string(limits.maxEntrySize) + " bytes");
  }
  PayloadEntry entry;
  entry.name = name;
  entry.source = source;
  entry.display = display;
  entry.size = st.st_size;
  entry.mtime = st.st_mtime;
  return Add(std::move(entry));
}

}  // namespace

bool ReadPayload(const std::string &dir, const ArchiveLimits &limits, Payload *payload, std::string *error) {
  *payload = Payload();
  Walk walk{limits, payload, "", "", {}, "", 0, false};
  char *resolved = realpath(dir.c_str(), nullptr);
  struct stat st;
  if (resolved == nullptr || stat(resolved, &st) != 0) {
    free(resolved);
    *error = "payload '" + dir + "': " + (errno == ENOENT ? std::string("no such directory") : strerror(errno));
    return false;
  }
  walk.root = resolved;
  free(resolved);
  if (!S_ISDIR(st.st_mode)) {
    *error = "payload '" + dir + "' is not a directory";
    return false;
  }
  walk.open.emplace_back(st.st_dev, st.st_ino);
  std::string display = dir;
  while (display.size() > 1 && display.back() == '/') display.pop_back();
  walk.displayRoot = display;
  if (!walk.Directory(walk.root, display, "")) {
    *error = walk.error;
    return false;
  }
  if (walk.count > limits.maxEntries) {
    *error = "payload '" + dir + "' has " + (walk.stopped ? "more than " + std::to_string(walk.CountCap()) : std::to_string(walk.count)) +
             " entries (files and directories together), and the launcher reads at most " +
             std::to_string(limits.maxEntries);
    return false;
  }
  std::sort(payload->entries.begin(), payload->entries.end(),
            [](const PayloadEntry &a, const PayloadEntry &b) { return a.name < b.name; });
  return true;
}
