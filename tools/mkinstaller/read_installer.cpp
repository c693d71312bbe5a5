// The reader decides what is readable; this file adds what the reader does not compare because
// the launcher never needs it, so that a flipped byte anywhere behind the launcher is found:
// the local header's copies of the central fields, the exact extent of the central directory,
// the end record's disk fields, and the digest record.
#include "read_installer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "sha256.h"

using namespace zipfmt;

namespace {

constexpr size_t kHashBlock = 1024 * 1024;
constexpr uint32_t kDataDescriptorFlag = 1 << 3;

struct Central {
  std::string name;
  uint32_t flags, method, dosTime, crc, csize, size;
};

bool ReadAt(int fd, int64_t off, void *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, static_cast<char *>(buf) + done, len - done, off + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Closes the descriptor and frees the record of a reader opened without the shared list.
struct ProbeGuard {
  jzfile *zip;
  ~ProbeGuard() {
    if (zip == nullptr) return;
    if (zip->fd >= 0) close(zip->fd);
    freeZip(zip);
  }
};

// Why the launcher's reader refuses the archive at path, as the reader itself words it.
std::string ReaderRefusal(const std::string &path) {
  ProbeGuard probe{allocZip(path.c_str())};
  if (probe.zip == nullptr) return "out of memory";
  probe.zip->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (probe.zip->fd < 0) return strerror(errno);
  const jint cenpos = readCEN(probe.zip);
  if (cenpos == 0) return "no ZIP end record at its end";
  if (probe.zip->msg != nullptr) return probe.zip->msg;
  return "its central directory cannot be read";
}

// Where the reader finds the end record (its own search), and the record's 22 bytes.
jint FindEnd(jzfile *zip, unsigned char *end) {
  ProbeGuard probe{allocZip(zip->name)};
  if (probe.zip == nullptr) return -1;
  probe.zip->fd = zip->fd;
  const jint pos = findEND(probe.zip, end);
  probe.zip->fd = -1;  // the reader's own record keeps it
  return pos;
}

std::string Quoted(const std::string &name) { return "'" + name + "'"; }

class InstallerReader {
 public:
  InstallerReader(const std::string &path, const ReadInstallerOptions &options, Installer *installer,
             std::vector<std::string> *problems)
      : path_(path), name_(Quoted(path)), options_(options), in_(installer), problems_(problems) {}
  ~InstallerReader() {
    if (fd_ >= 0) close(fd_);
  }
  InstallerReader(const InstallerReader &) = delete;
  InstallerReader &operator=(const InstallerReader &) = delete;
  bool Run(std::string *error);

 private:
  void Problem(const std::string &text) { problems_->push_back(text); }
  bool Open(struct stat *st, std::string *error);
  bool CheckLauncher(const struct stat &st, std::string *error);
  bool ReadCentral(jzfile *zip, jint endpos, const unsigned char *end, std::string *error);
  bool ReadEntries(jzfile *zip, std::string *error);
  void CheckEntry(jzfile *zip, jint index, jzentry *entry);
  void Hash(jint endpos);
  void CheckLayout();

  const std::string &path_;
  const std::string name_;  // path_ quoted, as messages name it
  const ReadInstallerOptions &options_;
  Installer *in_;
  std::vector<std::string> *problems_;
  int fd_ = -1;
  std::vector<Central> central_;
  std::string comment_;
  int64_t archiveStart_ = 0;  // position of the first local header
};

bool InstallerReader::Run(std::string *error) {
  struct stat st;
  if (!Open(&st, error) || !CheckLauncher(st, error)) return false;

  int zerror = 0;
  jzfile *zip = zipOpen(path_.c_str(), &zerror);
  if (zip == nullptr) {
    *error = name_ + " is damaged: the launcher cannot read the archive behind it (" + ReaderRefusal(path_) + ")";
    return false;
  }
  struct ZipCloser {
    jzfile *zip;
    ~ZipCloser() {
      zipReleaseInflateBuffers();  // up to 260 MiB for the largest entries
      zipClose(zip);
    }
  } zipCloser{zip};

  unsigned char end[kEndHdr];
  const jint endpos = FindEnd(zip, end);
  if (endpos <= 0 || !ReadCentral(zip, endpos, end, error)) {
    if (error->empty()) *error = name_ + " is damaged: its end record cannot be read again";
    return false;
  }
  if (!ReadEntries(zip, error)) return false;
  if (archiveStart_ < in_->launcher.imageLength) {
    Problem("damaged: its archive overlaps the launcher's program image");
  }
  if (options_.depth != Depth::kList && options_.hash) Hash(endpos);
  CheckLayout();
  return true;
}

// The file, a regular one, open as fd_; its status in *st.
bool InstallerReader::Open(struct stat *st, std::string *error) {
  if (stat(path_.c_str(), st) != 0) {
    *error = name_ + ": " + (errno == ENOENT ? std::string("no such file") : strerror(errno));
    return false;
  }
  if (!S_ISREG(st->st_mode)) {
    *error = name_ + " is not a regular file";
    return false;
  }
  fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    *error = name_ + " cannot be read: " + strerror(errno);
    return false;
  }
  return true;
}

// A whole launcher of this release in front, something behind it, and no more than the
// launcher reads.
bool InstallerReader::CheckLauncher(const struct stat &st, std::string *error) {
  const bool elf = ReadLauncherFile(fd_, &in_->launcher);
  const int64_t needed = elf ? in_->launcher.imageLength : CutShortElfLength(fd_);
  if (needed > st.st_size) {
    *error = name_ + " is cut short inside its launcher: the program's ELF headers say it takes " +
             (elf ? "" : "at least ") + std::to_string(needed) + " bytes, and the file has " +
             std::to_string(st.st_size) + " (an interrupted download or copy?)";
    return false;
  }
  if (!elf) {
    *error = name_ + " is not an installer: it does not start with an executable (ELF) program";
    return false;
  }
  in_->fileLength = st.st_size;
  in_->archiveLength = st.st_size - in_->launcher.imageLength;
  if (in_->archiveLength <= 0) {
    *error = name_ + " carries no payload archive: it is a bare program";
    return false;
  }
  const std::string launcherProblem = LauncherProblem(in_->launcher);
  if (!launcherProblem.empty()) {
    *error = name_ + " does not start with a corvane launcher: the program in front of its archive " + launcherProblem;
    return false;
  }
  if (st.st_size > options_.limits.maxFileLength) {
    *error = name_ + " is " + std::to_string(st.st_size) + " bytes, and the launcher reads installers of at most " +
             std::to_string(options_.limits.maxFileLength) + " bytes";
    return false;
  }
  return true;
}

// Every entry through the launcher's reader, in the order of the central directory. A damaged
// entry is a problem to report when checking, and the end of the reading otherwise.
bool InstallerReader::ReadEntries(jzfile *zip, std::string *error) {
  uint64_t totalCompressed = 0;
  for (const Central &c : central_) totalCompressed += c.method == 0 ? c.size : c.csize;
  if (options_.progress != nullptr) {
    options_.progress->Start(options_.depth == Depth::kCheck ? "checking" : "reading",
                             options_.depth == Depth::kCheck ? totalCompressed : 0, zip->total);
  }
  archiveStart_ = in_->fileLength;
  for (jint i = 0; i < zip->total; i++) {
    jzentry *entry = zipGetNextEntry(zip, i);
    if (entry == nullptr) {
      const std::string what = zip->msg != nullptr ? zip->msg : "its local header cannot be read";
      Problem("entry " + Quoted(central_[static_cast<size_t>(i)].name) + " is damaged: " + what);
      if (options_.depth != Depth::kCheck) {
        *error = name_ + " is damaged: entry " + Quoted(central_[static_cast<size_t>(i)].name) + ": " + what;
        return false;
      }
      continue;
    }
    CheckEntry(zip, i, entry);
    zipFreeEntry(zip, entry);
  }
  if (options_.progress != nullptr) options_.progress->Finish();
  return true;
}

// The central directory as the reader found it, parsed again field by field.
bool InstallerReader::ReadCentral(jzfile *zip, jint endpos, const unsigned char *end, std::string *error) {
  const jint cenlen = GetJint(end + 12);
  const int64_t cenpos = static_cast<int64_t>(endpos) - cenlen;
  const uint32_t commentLength = Get16(end + 20);
  std::vector<unsigned char> cen(static_cast<size_t>(cenlen) + 1);
  comment_.assign(commentLength, '\0');
  if (!ReadAt(fd_, cenpos, cen.data(), static_cast<size_t>(cenlen)) ||
      (commentLength > 0 && !ReadAt(fd_, endpos + kEndHdr, &comment_[0], commentLength))) {
    *error = name_ + " cannot be read: " + strerror(errno);
    return false;
  }
  if (Get16(end + 4) != 0 || Get16(end + 6) != 0 || Get16(end + 8) != static_cast<uint32_t>(zip->total)) {
    Problem("damaged: the disk fields of its end record are wrong");
  }
  size_t at = 0;
  for (jint i = 0; i < zip->total; i++) {
    // The reader checked that every header it read fits in the directory.
    const unsigned char *h = cen.data() + at;
    const uint32_t nlen = Get16(h + 28), elen = Get16(h + 30), clen = Get16(h + 32);
    Central c;
    c.name.assign(reinterpret_cast<const char *>(h + kCenHdr), nlen);
    c.flags = Get16(h + 8);
    c.method = Get16(h + 10);
    c.dosTime = Get32(h + 12);
    c.crc = Get32(h + 16);
    c.csize = Get32(h + 20);
    c.size = Get32(h + 24);
    if (Get16(h + 34) != 0) Problem("entry " + Quoted(c.name) + " is damaged: its disk number is not 0");
    central_.push_back(std::move(c));
    at += kCenHdr + nlen + elen + clen;
  }
  if (at != static_cast<size_t>(cenlen)) {
    Problem("damaged: " + std::to_string(cenlen - static_cast<jint>(at)) +
            " bytes of its central directory belong to no entry");
  }
  in_->hasDigestRecord = comment_.size() == kDigestRecordLength;
  return true;
}

void InstallerReader::CheckEntry(jzfile *zip, jint index, jzentry *entry) {
  const Central &c = central_[static_cast<size_t>(index)];
  const std::string what = "entry " + Quoted(c.name);
  ListedEntry listed;
  listed.name = entry->name;
  listed.size = entry->size;
  listed.method = static_cast<int>(c.method);
  listed.csize = c.method == 0 ? entry->size : entry->csize;
  listed.dosTime = c.dosTime;
  const bool directory = !listed.name.empty() && listed.name.back() == '/';
  if (directory) {
    in_->directories++;
  } else {
    in_->files++;
  }
  if (entry->size > 0) in_->totalSize += static_cast<uint64_t>(entry->size);
  in_->entries.push_back(listed);

  if (listed.name != c.name) Problem(what + " is damaged: its local header names it " + Quoted(listed.name));
  if (HasParentComponent(listed.name.c_str())) {
    Problem(what + ": the launcher refuses names with a \"..\" component, and with them the whole archive");
  }
  if (entry->size < 0 || entry->csize < 0 || entry->size > options_.limits.maxEntrySize) {
    Problem(what + " declares a size the launcher refuses");
  }
  const int64_t localPos = zip->entries[index].pos;
  if (localPos >= 0 && localPos < archiveStart_) archiveStart_ = localPos;
  if (options_.depth != Depth::kCheck) return;

  unsigned char loc[kLocHdr];
  if (localPos < 0 || !ReadAt(fd_, localPos, loc, sizeof loc)) {
    Problem(what + " is damaged: its local header cannot be read");
    return;
  }
  const uint32_t flags = Get16(loc + 6);
  bool same = flags == c.flags && Get16(loc + 8) == c.method && Get32(loc + 10) == c.dosTime;
  if (!(flags & kDataDescriptorFlag)) {
    same = same && Get32(loc + 14) == c.crc && Get32(loc + 18) == c.csize && Get32(loc + 22) == c.size;
  }
  if (!same) Problem(what + " is damaged: its local header and its central header disagree");
  // What the launcher does with the entry, written nowhere.
  if (!zipReadEntry(zip, entry, "/dev/null")) {
    Problem(what + " is damaged: " + (zip->msg != nullptr ? zip->msg : "its data cannot be read"));
  }
  if (options_.progress != nullptr) options_.progress->Add(static_cast<uint64_t>(listed.csize), 1);
}

void InstallerReader::Hash(jint endpos) {
  Sha256 hash, prefix;
  std::vector<unsigned char> block(kHashBlock);
  int64_t at = 0;
  bool prefixDone = false;
  while (at < in_->fileLength) {
    size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(block.size()), in_->fileLength - at));
    if (!prefixDone && at + static_cast<int64_t>(want) >= endpos) want = static_cast<size_t>(endpos - at);
    if (want > 0 && !ReadAt(fd_, at, block.data(), want)) {
      Problem("cannot be read to its end: " + std::string(strerror(errno)));
      return;
    }
    hash.Update(block.data(), want);
    at += static_cast<int64_t>(want);
    if (!prefixDone && at == endpos) {
      prefix = hash;
      prefixDone = true;
    }
  }
  in_->sha256 = hash.HexDigest();
  if (in_->hasDigestRecord && options_.depth == Depth::kCheck &&
      comment_ != kDigestRecordPrefix + prefix.HexDigest()) {
    Problem("damaged: its contents do not match the SHA-256 recorded in it when it was made");
  }
}

void InstallerReader::CheckLayout() {
  std::set<std::string> names;
  for (const ListedEntry &e : in_->entries) names.insert(e.name);
  in_->runtime = FindBundledRuntime(names);
  const LauncherKind kind = in_->launcher.kind;
  const std::string mainClass = MainClassFile(kind);
  if (names.count(mainClass) == 0) {
    const LauncherKind other = kind == LauncherKind::Installer ? LauncherKind::Uninstaller : LauncherKind::Installer;
    std::string text = "the archive has no " + mainClass + " at its root, the main class that the " +
                       std::string(KindName(kind)) + " launcher in front of it runs";
    if (names.count(MainClassFile(other)) > 0) {
      text += " (it holds " + MainClassFile(other) + ": an " + KindName(other) + " payload behind the " +
              KindName(kind) + " launcher)";
    }
    Problem(text);
  }
  std::string warning;
  const std::string runtimeProblem = RuntimeProblem(in_->runtime, in_->launcher, &warning);
  if (!runtimeProblem.empty()) Problem(runtimeProblem);
}

}  // namespace

bool ReadInstaller(const std::string &path, const ReadInstallerOptions &options, Installer *installer,
                   std::vector<std::string> *problems, std::string *error) {
  *installer = Installer();
  problems->clear();
  error->clear();
  InstallerReader reader(path, options, installer, problems);
  return reader.Run(error);
}
