// mkinstaller: packs an installer (or uninstaller) payload directory behind a copy of the
// launcher, producing one self-contained executable, and lists, describes and checks existing
// installers. Every refusal names the file and the rule; exit status 0 on success, 1 on bad
// input or a failed check, 2 on a usage error.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "core/startup.h"
#include "read_installer.h"
#include "launcher_file.h"
#include "layout.h"
#include "payload.h"
#include "progress.h"
#include "zip_writer.h"

#ifndef MKINSTALLER_LAUNCHER_DIR
#define MKINSTALLER_LAUNCHER_DIR "../libexec/corvane"
#endif

namespace {

constexpr int kBadInput = 1, kUsage = 2;

const char *prog = "mkinstaller";

// The temporary output file, removed by the signal handler: a fixed buffer, since the handler
// may only make async-signal-safe calls.
char pendingOutput[PATH_MAX];

void RemovePendingOutput(int sig) {
  if (pendingOutput[0] != '\0') unlink(pendingOutput);
  signal(sig, SIG_DFL);
  raise(sig);
}

void Error(const std::string &message) { fprintf(stderr, "%s: %s\n", prog, message.c_str()); }
void Warning(const std::string &message) { fprintf(stderr, "%s: warning: %s\n", prog, message.c_str()); }

int Fail(const std::string &message) {
  Error(message);
  return kBadInput;
}

int UsageError(const std::string &message) {
  fprintf(stderr, "%s: %s\nTry '%s --help'.\n", prog, message.c_str(), prog);
  return kUsage;
}

void PrintHelp() {
  printf(
      "Usage: %s [options] [LAUNCHER] PAYLOAD_DIR OUTPUT\n"
      "       %s --list INSTALLER\n"
      "       %s --info INSTALLER\n"
      "       %s --check INSTALLER\n"
      "\n"
      "Packs PAYLOAD_DIR into a ZIP archive and appends it to a copy of LAUNCHER (the setup or\n"
      "uninstall launcher of this release), writing the executable OUTPUT. Without LAUNCHER the\n"
      "launcher installed beside %s is used (%s/setup, with -u .../uninstall).\n"
      "\n"
      "The payload must hold the Java main class at its root: corvane.class for an installer,\n"
      "corvane_uninstall.class for an uninstaller (-u). package/PackageFormat.jar is expected; a\n"
      "private Java runtime may be placed under package/jre, with lib/i386 for the 32-bit\n"
      "launcher or lib/amd64 for the 64-bit one. Symbolic links are stored as the files and\n"
      "directories they point to, which must lie inside the payload.\n"
      "\n"
      "Options:\n"
      "  -u, --uninstaller   the payload is an uninstaller's (main class corvane_uninstall)\n"
      "  -l, --level N       compression level 0-9 (default 6); 0 stores every file, otherwise\n"
      "                      a file is stored when deflating it saves less than 1%%\n"
      "  -r, --relative      record the archive's offsets from the archive's start, as in a\n"
      "                      plain 'cat LAUNCHER payload.zip' (unzip then warns about the\n"
      "                      launcher in front); by default they are positions in OUTPUT, which\n"
      "                      unzip, zipinfo and other readers take as they are\n"
      "  -a, --absolute      positions in OUTPUT (the default)\n"
      "  -q, --quiet         print no summary and no progress (--check: print nothing on success)\n"
      "      --list FILE     list the entries of an installer with their sizes\n"
      "      --info FILE     describe an installer: launcher, entries, sizes, runtime, SHA-256\n"
      "      --check FILE    read every entry as the launcher does and verify its CRC-32, the\n"
      "                      headers and the recorded SHA-256; print the file's SHA-256\n"
      "  -h, --help          print this help\n"
      "\n"
      "The archive is deterministic: names are sorted, file modes are fixed, and time stamps are\n"
      "the files' modification times in UTC, or SOURCE_DATE_EPOCH when that is set, so the same\n"
      "payload gives the same installer on any machine. OUTPUT is written to a temporary file\n"
      "in its directory, checked, and renamed into place, so a failure never leaves a\n"
      "half-written installer. A run killed with SIGKILL (or any signal but SIGINT, SIGTERM and\n"
      "SIGHUP) leaves the temporary file (.OUTPUT.XXXXXX) behind; the next run for the same\n"
      "OUTPUT removes such files of its own that are older than a minute.\n"
      "\n"
      "Exit status: 0 on success, 1 on bad input or a failed check, 2 on a usage error.\n",
      prog, prog, prog, prog, prog, MKINSTALLER_LAUNCHER_DIR);
}

std::string Quoted(const std::string &s) { return "'" + s + "'"; }

std::string DirName(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The launcher installed with this tool: libexec/corvane of its own prefix, or, in a build
// tree, the launcher built beside it.
std::string DefaultLauncher(LauncherKind kind) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  const std::string dir = DirName(self);
  const std::string installed = dir + "/" + MKINSTALLER_LAUNCHER_DIR + "/" + LauncherName(kind);
  const std::string built = dir + "/" + LauncherName(kind);
  if (access(installed.c_str(), F_OK) == 0 || access(built.c_str(), F_OK) != 0) return installed;
  return built;
}

struct Options {
  bool uninstaller = false;
  int level = 6;
  bool absolute = true;
  bool quiet = false;
  enum class Mode { kPack, kList, kInfo, kCheck } mode = Mode::kPack;
  std::string target;
  std::vector<std::string> positional;
};

// Parses the command line; returns -1 to go on, else the exit status.
int ParseArguments(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      PrintHelp();
      return 0;
    } else if (arg == "-u" || arg == "--uninstaller") {
      o->uninstaller = true;
    } else if (arg == "-a" || arg == "--absolute") {
      o->absolute = true;
    } else if (arg == "-r" || arg == "--relative") {
      o->absolute = false;
    } else if (arg == "-q" || arg == "--quiet") {
      o->quiet = true;
    } else if (arg == "-l" || arg == "--level" || arg.compare(0, 8, "--level=") == 0) {
      std::string level;
      if (arg.size() > 8) {
        level = arg.substr(8);
      } else if (!value(&level)) {
        return UsageError(arg + " needs a level");
      }
      if (level.size() != 1 || level[0] < '0' || level[0] > '9') {
        return UsageError("the level must be a digit from 0 to 9");
      }
      o->level = level[0] - '0';
    } else if (arg == "--list" || arg == "--info" || arg == "--check") {
      if (o->mode != Options::Mode::kPack) return UsageError("--list, --info and --check go alone");
      if (!value(&o->target)) return UsageError(arg + " needs an installer");
      o->mode = arg == "--list" ? Options::Mode::kList : arg == "--info" ? Options::Mode::kInfo : Options::Mode::kCheck;
    } else if (arg == "--") {
      for (i++; i < argc; i++) o->positional.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + Quoted(arg));
    } else {
      o->positional.push_back(arg);
    }
  }
  if (o->mode != Options::Mode::kPack) {
    if (!o->positional.empty()) return UsageError("--list, --info and --check take one installer");
  } else if (o->positional.size() != 2 && o->positional.size() != 3) {
    return UsageError("expected [LAUNCHER] PAYLOAD_DIR OUTPUT");
  }
  return -1;
}

// The summary of packing and of --info.
struct Summary {
  std::string file;
  LauncherFile launcher;
  int64_t fileLength = 0;
  int64_t entries = 0, files = 0, directories = 0, links = -1;  // links -1: not known
  uint64_t totalSize = 0;
  BundledRuntime runtime;
  std::string sha256;
};

void PrintSummary(const Summary &s) {
  const LauncherFile &l = s.launcher;
  printf("%s: %s launcher, %s, %lld bytes\n", s.file.c_str(), KindName(l.kind), DescribeElf(l).c_str(),
         static_cast<long long>(l.imageLength));
  printf("%s: %s (%s, %s), %lld bytes compressed, %llu bytes uncompressed\n", s.file.c_str(),
         Count(s.entries, "entry", "entries").c_str(), Count(s.files, "file", "files").c_str(),
         Count(s.directories, "directory", "directories").c_str(), static_cast<long long>(s.fileLength - l.imageLength),
         static_cast<unsigned long long>(s.totalSize));
  if (s.links > 0) {
    printf("%s stored as what %s to\n", Count(s.links, "symbolic link", "symbolic links").c_str(),
           s.links == 1 ? "it points" : "they point");
  }
  printf("free space needed at run time: %llu bytes in the temporary directory\n",
         static_cast<unsigned long long>(s.totalSize + kSpaceMargin));
  printf("bundled Java runtime: %s\n", DescribeRuntime(s.runtime, l).c_str());
  if (!s.sha256.empty()) printf("SHA-256: %s\n", s.sha256.c_str());
}

bool StderrIsTerminal(const Options &o) { return !o.quiet && isatty(STDERR_FILENO); }

int ListInfoOrCheck(const Options &o) {
  Progress progress(o.mode == Options::Mode::kCheck && StderrIsTerminal(o), stderr);
  ReadInstallerOptions options;
  options.depth = o.mode == Options::Mode::kList ? Depth::kList
                  : o.mode == Options::Mode::kInfo ? Depth::kInfo
                                                    : Depth::kCheck;
  options.progress = &progress;
  Installer installer;
  std::vector<std::string> problems;
  std::string error;
  if (!ReadInstaller(o.target, options, &installer, &problems, &error)) return Fail(error);
  progress.Finish();

  if (o.mode == Options::Mode::kList) {
    printf("%12s %12s  %-8s  %-19s  %s\n", "Length", "Compressed", "Method", "Modified", "Name");
    uint64_t compressed = 0;
    for (const ListedEntry &e : installer.entries) {
      printf("%12lld %12lld  %-8s  %s  %s\n", static_cast<long long>(e.size), static_cast<long long>(e.csize),
             e.method == 8 ? "deflated" : "stored", FormatDosDateTime(e.dosTime).c_str(), e.name.c_str());
      compressed += static_cast<uint64_t>(e.csize);
    }
    printf("%12llu %12llu  %-8s  %-19s  %s\n", static_cast<unsigned long long>(installer.totalSize),
           static_cast<unsigned long long>(compressed), "", "",
           Count(static_cast<int64_t>(installer.entries.size()), "entry", "entries").c_str());
  } else if (o.mode == Options::Mode::kInfo) {
    Summary s;
    s.file = o.target;
    s.launcher = installer.launcher;
    s.fileLength = installer.fileLength;
    s.entries = static_cast<int64_t>(installer.entries.size());
    s.files = installer.files;
    s.directories = installer.directories;
    s.totalSize = installer.totalSize;
    s.runtime = installer.runtime;
    s.sha256 = installer.sha256;
    PrintSummary(s);
  } else {
    if (!problems.empty()) {
      for (const std::string &p : problems) Error(Quoted(o.target) + ": " + p);
      if (!o.quiet) printf("SHA-256: %s\n", installer.sha256.c_str());
      return kBadInput;
    }
    if (!o.quiet) {
      printf("%s: every entry is intact (%s); %s\nSHA-256: %s\n", o.target.c_str(),
             Count(static_cast<int64_t>(installer.entries.size()), "entry", "entries").c_str(),
             installer.hasDigestRecord ? "the SHA-256 recorded when it was made matches"
                                       : "it records no SHA-256 of its own (it was not made by mkinstaller)",
             installer.sha256.c_str());
    }
    return 0;
  }
  for (const std::string &p : problems) Warning(Quoted(o.target) + ": " + p);
  return 0;
}

// Copies the launcher's bytes to the start of out.
bool CopyLauncher(int in, int out, int64_t length, std::string *error) {
  std::vector<char> buf(1 << 20);
  for (int64_t at = 0; at < length;) {
    const ssize_t n = pread(in, buf.data(), static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buf.size()), length - at)), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("cannot read the launcher: ") + (n < 0 ? strerror(errno) : "it was cut short");
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = pwrite(out, buf.data() + done, static_cast<size_t>(n - done), at + done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *error = std::string("cannot write the installer: ") + strerror(w < 0 ? errno : ENOSPC);
        return false;
      }
      done += w;
    }
    at += n;
  }
  return true;
}

// True for the names that PendingOutput gives its temporary files for output: "." + the output's
// name + "." + six characters of mkstemp's.
bool IsTemporaryNameFor(const std::string &name, const std::string &outputName) {
  const std::string prefix = "." + outputName + ".";
  if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); i++) {
    const char c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// A run killed with SIGKILL cannot remove its temporary file. The next run for the same output
// removes such files of its own: its names only, regular files of this user, untouched for
// more than a minute, and not locked by a run that is still going (every run locks its own).
void RemoveStaleTemporaryFiles(const std::string &output, bool quiet) {
  const std::string dir = DirName(output), outputName = BaseName(output);
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  const time_t now = time(nullptr);
  while (struct dirent *e = readdir(d)) {
    if (!IsTemporaryNameFor(e->d_name, outputName)) continue;
    const std::string path = dir + "/" + e->d_name;
    // Only a regular file is opened at all (a device might act on being opened).
    struct stat st, again;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && now - st.st_mtime > 60 &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &again) == 0 && again.st_ino == st.st_ino &&
        again.st_dev == st.st_dev && unlink(path.c_str()) == 0 && !quiet) {
      Warning("removed " + Quoted(path) + ", the temporary file of an earlier run that was killed");
    }
    close(fd);
  }
  closedir(d);
}

class PendingOutput {
 public:
  ~PendingOutput() { Abandon(); }
  bool Create(const std::string &output, std::string *error) {
    const std::string dir = DirName(output);
    std::string tmpl = dir + "/." + BaseName(output) + ".XXXXXX";
    if (tmpl.size() >= sizeof pendingOutput) {
      *error = "the output path is too long";
      return false;
    }
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    // The handlers see the name only once it is complete.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0) memcpy(pendingOutput, name.data(), name.size());
    // Held until the process ends, however it ends: the file is in use.
    if (fd_ >= 0) flock(fd_, LOCK_EX | LOCK_NB);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd_ < 0) {
      *error = "cannot create a file in " + Quoted(dir) + ": " + strerror(errno);
      return false;
    }
    path_ = name.data();
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, RemovePendingOutput);
    return true;
  }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }
  bool Commit(const std::string &output, std::string *error) {
    if (fchmod(fd_, 0755) != 0 || close(fd_) != 0) {
      *error = "cannot write " + Quoted(path_) + ": " + strerror(errno);
      return false;
    }
    fd_ = -1;
    if (rename(path_.c_str(), output.c_str()) != 0) {
      *error = "cannot rename the installer into " + Quoted(output) + ": " + strerror(errno);
      return false;
    }
    Forget();
    return true;
  }
  void Abandon() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!path_.empty()) unlink(path_.c_str());
    Forget();
  }

 private:
  void Forget() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    pendingOutput[0] = '\0';
    path_.clear();
  }
  int fd_ = -1;
  std::string path_;
};

bool Refuse(const std::string &message) {
  Error(message);
  return false;
}

// What packing has learnt so far: what the command line names, the launcher, the payload.
struct Packing {
  explicit Packing(const Options &o)
      : kind(o.uninstaller ? LauncherKind::Uninstaller : LauncherKind::Installer),
        explicitLauncher(o.positional.size() == 3),
        launcherPath(explicitLauncher ? o.positional[0] : DefaultLauncher(kind)),
        payloadDir(o.positional[explicitLauncher ? 1 : 0]),
        output(o.positional.back()),
        L("launcher " + Quoted(launcherPath)) {}
  ~Packing() {
    if (launcherFd >= 0) close(launcherFd);
  }
  Packing(const Packing &) = delete;
  Packing &operator=(const Packing &) = delete;

  const LauncherKind kind;
  const bool explicitLauncher;
  const std::string launcherPath, payloadDir, output;
  const std::string L;  // how refusals name the launcher
  int launcherFd = -1;
  LauncherFile launcher;
  bool fixedTime = false;  // one time stamp for every entry: SOURCE_DATE_EPOCH's
  int64_t epoch = 0;
  const ArchiveLimits limits;
  Payload payload;
  BundledRuntime runtime;
};

// The launcher: one of this release, bare, open as p->launcherFd. False after saying why not.
bool OpenLauncher(Packing *p) {
  const std::string &L = p->L;
  struct stat st;
  if (stat(p->launcherPath.c_str(), &st) != 0) {
    if (errno != ENOENT) return Refuse(L + ": " + strerror(errno));
    if (p->explicitLauncher) return Refuse(L + ": no such file");
    return Refuse("no launcher given, and none is installed beside " + std::string(prog) + " (" +
                  Quoted(p->launcherPath) + ": no such file)");
  }
  if (!S_ISREG(st.st_mode)) return Refuse(L + " is not a regular file");
  p->launcherFd = open(p->launcherPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (p->launcherFd < 0) return Refuse(L + " cannot be read: " + strerror(errno));
  const LauncherFile &launcher = p->launcher;
  if (!ReadLauncherFile(p->launcherFd, &p->launcher)) {
    const int64_t needed = CutShortElfLength(p->launcherFd);
    if (needed > 0) {
      return Refuse(L + " is cut short: its ELF headers say the program takes at least " + std::to_string(needed) +
                    " bytes, the file has " + std::to_string(st.st_size));
    }
    return Refuse(L + " is not an executable (ELF) file");
  }
  if (launcher.fileLength > launcher.imageLength) {
    return Refuse(L + " already carries an archive (" + std::to_string(launcher.fileLength - launcher.imageLength) +
                  " bytes behind its program); use a plain launcher binary");
  }
  if (launcher.fileLength < launcher.imageLength) {
    return Refuse(L + " is cut short: its program needs " + std::to_string(launcher.imageLength) +
                  " bytes, the file has " + std::to_string(launcher.fileLength));
  }
  const std::string launcherProblem = LauncherProblem(launcher);
  if (!launcherProblem.empty()) return Refuse(L + " " + launcherProblem);
  return true;
}

// Time stamps: one for every entry when SOURCE_DATE_EPOCH is set.
bool ReadSourceDateEpoch(Packing *p) {
  const char *epochText = getenv("SOURCE_DATE_EPOCH");
  p->fixedTime = epochText != nullptr && *epochText != '\0';
  if (p->fixedTime && !ParseSourceDateEpoch(epochText, &p->epoch)) {
    return Refuse("SOURCE_DATE_EPOCH is " + Quoted(epochText) + ", not a number of seconds since 1970");
  }
  return true;
}

// The payload, read whole and checked against the launcher: the main class of its kind, a
// runtime for its processor. What is only unusual is warned about.
bool ReadAndCheckPayload(const Options &o, Packing *p) {
  std::string error;
  if (!ReadPayload(p->payloadDir, p->limits, &p->payload, &error)) return Refuse(error);
  std::set<std::string> names;
  for (const PayloadEntry &e : p->payload.entries) names.insert(e.name);
  const LauncherKind kind = p->kind;
  const std::string mainClass = MainClassFile(kind);
  if (names.count(mainClass) == 0) {
    const LauncherKind other = o.uninstaller ? LauncherKind::Installer : LauncherKind::Uninstaller;
    std::string hint;
    if (names.count(MainClassFile(other)) > 0) {
      hint = o.uninstaller ? "; it holds corvane.class, an installer's: leave out -u"
                           : "; it holds corvane_uninstall.class, an uninstaller's: add -u";
    }
    return Refuse("payload " + Quoted(p->payloadDir) + " has no " + mainClass +
                  " at its root (the Java program's main class)" + hint);
  }
  if (p->launcher.kind != kind) {
    return Refuse(p->L + " is the " + KindName(p->launcher.kind) + " launcher (main class " +
                  MainClass(p->launcher.kind) + "), but the payload is an " + KindName(kind) + "'s (" + mainClass +
                  "): use the " + KindName(kind) + " launcher (" + LauncherName(kind) + ")" +
                  (o.uninstaller ? "" : ", or -u for an uninstaller payload"));
  }
  p->runtime = FindBundledRuntime(names);
  std::string warning;
  const std::string runtimeProblem = RuntimeProblem(p->runtime, p->launcher, &warning);
  if (!runtimeProblem.empty()) return Refuse("payload " + Quoted(p->payloadDir) + ": " + runtimeProblem);
  if (!warning.empty()) Warning("payload " + Quoted(p->payloadDir) + ": " + warning);
  if (names.count("package/PackageFormat.jar") == 0) Warning("payload has no package/PackageFormat.jar");
  for (const PayloadEntry &e : p->payload.entries) {
    if (!IsValidUtf8(e.name)) {
      Warning(Quoted(PrintableName(e.display)) + ": the name is not valid UTF-8; it is stored as its bytes, " +
              "which the launcher writes as they are, but other tools may show it differently");
    }
  }
  return true;
}

// Stored, the installer's length is known before it is written (deflated, the writer watches
// it): no longer than the launcher reads.
bool CheckStoredLength(const Options &o, const Packing &p) {
  if (o.level != 0) return true;
  uint64_t length = static_cast<uint64_t>(p.launcher.fileLength) + zipfmt::kEndHdr + kDigestRecordLength;
  for (const PayloadEntry &e : p.payload.entries) {
    length += zipfmt::kLocHdr + zipfmt::kCenHdr + 2 * e.name.size() + static_cast<uint64_t>(e.size);
  }
  if (length > static_cast<uint64_t>(p.limits.maxFileLength)) {
    return Refuse("the installer would be " + std::to_string(length) +
                  " bytes, and the launcher reads installers of at most " + std::to_string(p.limits.maxFileLength) +
                  " bytes (launcher and archive together)");
  }
  return true;
}

// The output's place: a directory this user may write in, and no directory of the output's name.
bool CheckOutputPlace(const std::string &output) {
  const std::string outDir = DirName(output);
  struct stat st;
  if (stat(outDir.c_str(), &st) != 0) {
    return Refuse("output directory " + Quoted(outDir) + ": " +
                  (errno == ENOENT ? "no such directory" : strerror(errno)));
  }
  if (!S_ISDIR(st.st_mode)) return Refuse("output directory " + Quoted(outDir) + " is not a directory");
  if (access(outDir.c_str(), W_OK | X_OK) != 0) return Refuse("output directory " + Quoted(outDir) + " is not writable");
  if (stat(output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Refuse("output " + Quoted(output) + " is a directory");
  return true;
}

// What the written installer came to, for the summary.
struct Written {
  int64_t fileLength = 0, entries = 0;
  std::string sha256;
};

// The installer into a new temporary file beside the output: the launcher's bytes, then the
// archive of the payload, entry by entry.
bool WriteInstaller(const Options &o, const Packing &p, PendingOutput *pending, Progress *progress,
                    Written *written) {
  std::string error;
  if (!pending->Create(p.output, &error) || !CopyLauncher(p.launcherFd, pending->fd(), p.launcher.fileLength, &error)) {
    return Refuse(error);
  }
  progress->Start("packing", p.payload.totalSize, static_cast<int64_t>(p.payload.entries.size()));
  ZipWriter writer(pending->fd(), p.launcher.fileLength, o.absolute, o.level, p.limits);
  for (const PayloadEntry &e : p.payload.entries) {
    const uint32_t dosTime = DosDateTime(p.fixedTime ? p.epoch : e.mtime);
    const bool ok = e.directory ? writer.AddDirectory(e.name, dosTime)
                                : writer.AddFile(e.name, e.source, dosTime,
                                                 [progress](uint64_t bytes) { progress->Add(bytes, 0); }, e.display);
    if (!ok) return Refuse(writer.error());
    progress->Add(0, 1);
  }
  if (!writer.Finish(&written->sha256)) return Refuse(writer.error());
  progress->Finish();
  written->fileLength = writer.fileLength();
  written->entries = writer.entries();
  return true;
}

// What the launcher will read, read back before the file is handed over.
bool CheckWritten(const std::string &path, Progress *progress) {
  ReadInstallerOptions check;
  check.depth = Depth::kCheck;
  check.hash = false;
  check.progress = progress;
  Installer written;
  std::vector<std::string> problems;
  std::string error;
  if (!ReadInstaller(path, check, &written, &problems, &error)) {
    return Refuse("the installer just written does not pass its check: " + error);
  }
  progress->Finish();
  if (!problems.empty()) return Refuse("the installer just written does not pass its check: " + problems.front());
  return true;
}

void PrintPackSummary(const Packing &p, const Written &w) {
  Summary s;
  s.file = p.output;
  s.launcher = p.launcher;
  s.fileLength = w.fileLength;
  s.entries = w.entries;
  s.files = p.payload.files;
  s.directories = p.payload.directories;
  s.links = p.payload.links;
  s.totalSize = p.payload.totalSize;
  s.runtime = p.runtime;
  s.sha256 = w.sha256;
  PrintSummary(s);
}

int Pack(const Options &o) {
  Packing p(o);
  if (!OpenLauncher(&p) || !ReadSourceDateEpoch(&p) || !ReadAndCheckPayload(o, &p) || !CheckStoredLength(o, p) ||
      !CheckOutputPlace(p.output)) {
    return kBadInput;
  }
  // Through a temporary file beside the output, renamed into place once it passes its check.
  RemoveStaleTemporaryFiles(p.output, o.quiet);
  PendingOutput pending;
  Progress progress(StderrIsTerminal(o), stderr);
  Written written;
  if (!WriteInstaller(o, p, &pending, &progress, &written) || !CheckWritten(pending.path(), &progress)) {
    return kBadInput;
  }
  std::string error;
  if (!pending.Commit(p.output, &error)) return Fail(error);
  if (!o.quiet) PrintPackSummary(p, written);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 0 && argv[0] != nullptr && *argv[0] != '\0') {
    const char *slash = strrchr(argv[0], '/');
    prog = slash != nullptr ? slash + 1 : argv[0];
  }
  Options o;
  const int status = ParseArguments(argc, argv, &o);
  if (status >= 0) return status;
  return o.mode == Options::Mode::kPack ? Pack(o) : ListInfoOrCheck(o);
}
