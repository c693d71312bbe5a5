// The start-up sequence: in one thread and in a fixed order it resolves the executable, parses
// the command line, makes a fresh working directory in the temporary directory, checks that
// the archive's contents fit there, and hands over to the Java program. Every failure is
// reported through the catalog and becomes exit status 1.
#include "core/startup.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "archive/elf_image.h"
#include "archive/extract.h"
#include "archive/zip_util.h"
#include "base/memory.h"
#include "base/multibyte.h"
#include "base/paths.h"
#include "base/product.h"
#include "base/signals.h"
#include "core/bundled_runtime.h"
#include "core/cleanup.h"
#include "core/options.h"
#include "host/instance_lock.h"
#include "host/temp_dir.h"
#include "runtime/discovery.h"
#include "runtime/launch.h"
#include "runtime/probe.h"
#include "ui/output.h"
#include "ui/progress.h"

const char *progname = nullptr;
char *workdir = nullptr;
int workdirFd = -1;
jboolean doCleanup = JNI_FALSE;

namespace {

// What the command line gave; kept for the whole run.
char *javahome = nullptr;
char *tmpdirArg = nullptr;
jboolean showconsole = JNI_FALSE;
// The Java program's arguments, made by ParseArguments.
int javaArgc = 0;
char **javaArgv = nullptr;
// The selected Java runtime; kept for the whole run.
char *jrepath = nullptr;
// The directory in which the working directory was made, or was last to be made: tempnam's
// choice, which is an inherited TMPDIR naming a directory rather than tmpdir when there is
// one. Messages about the working directory's place name this one.
char *workdirParent = nullptr;
// The executable's archive, held open from the first pass until the extraction is done: the
// passes between (the private runtime's extraction, the extraction) share the record, and with
// it what the first pass read of the local headers, which are therefore read once per run. A
// failure before the extraction leaves it to the end of the process.
jzfile *ownArchive = nullptr;
constexpr int kMaxWorkdirAttempts = 100;
constexpr const char kJavaDownloadPage[] = "http://java.com/download/";
constexpr const char kUpgradeInvoker[] = "UpgradeInvoker.sh";

// Appended to the runtime path when the runtime is a development kit.
const char *const jdkClassPath[] = {"/lib/tools.jar", "/classes"};

// The directory that messages about the working directory's place name: where it was (to be)
// made; before any name was drawn, the temporary directory asked for, or the default one that
// was refused.
const char *UsedTempDir(const char *tmpdir) {
  if (workdirParent != nullptr) return workdirParent;
  return tmpdir != nullptr ? tmpdir : kDefaultTempDir;
}

// A problem with the working directory's place: key's text naming that place (and the
// figures b and c, where the text has them), then the hint to use -tmpdir. Returns 1.
int ReportTempDirProblem(const char *key, const char *tmpdir, const char *b = nullptr,
                         const char *c = nullptr) {
  ReportMessage(key, UsedTempDir(tmpdir), b, c);
  ReportMessage("no_writable_system_tmpdir_usage", progname);
  return 1;
}

int ReportNoTempDir(const char *tmpdir) {
  return ReportTempDirProblem("no_writable_system_tmpdir", tmpdir);
}

// The disk filled up (or failed) while the archive was being written out: not the archive's
// fault, so not "corrupted".
int ReportWriteFailure(const char *tmpdir) {
  return ReportTempDirProblem("write_failed_system_tmpdir", tmpdir);
}

// A failure of the start-up: key's text with its argument. Returns 1.
int ReportFailure(const char *key, const char *arg = nullptr) {
  ReportMessage(key, arg);
  return 1;
}

// The executable's archive is damaged (or changed under the launcher). Returns 1.
int ReportCorrupted(const char *execname) { return ReportFailure("corrupted_zip_file", execname); }

// glibc marks tempnam with a link-time warning meant for callers that open the name it gives.
// Here the name is only a candidate for mkdir with mode 0700, which fails on anything that
// already exists, so the call is safe; reached through the dynamic linker, it draws names
// exactly as before and leaves every link of the launcher free of that warning. Calls in this
// file find this one first.
char *tempnam(const char *dir, const char *prefix) {
  using Draw = char *(*)(const char *, const char *);
  Draw draw = reinterpret_cast<Draw>(dlsym(RTLD_DEFAULT, "tempnam"));
  return draw != nullptr ? draw(dir, prefix) : nullptr;
}

// Without -tmpdir, tempnam prefers an inherited TMPDIR that names a directory. A relative one
// would give a relative working directory, which the clean-up refuses to delete and the Java
// program, running in another directory, could not use; it is made absolute here, for tempnam
// and for the Java program alike. When the current directory cannot be determined it cannot
// be placed at all, and is dropped.
void MakeInheritedTmpdirAbsolute(void) {
  const char *value = getenv("TMPDIR");
  if (value == nullptr || value[0] == '\0' || IsAbsolutePath(value)) return;
  char *cwd = GetCurrentDir();
  if (cwd == nullptr) {
    unsetenv("TMPDIR");
    return;
  }
  char *absolute = Resolve(cwd, value);
  setenv("TMPDIR", absolute, 1);
  free(absolute);
  free(cwd);
}

// Records the directory part of a name that tempnam drew; true when it differs from the one
// recorded before.
bool NoteWorkdirParent(const char *name) {
  char *parent = StrDup(name);
  char *slash = _strrchr(parent, '/');
  if (slash == parent)
    slash[1] = '\0';  // "/" itself
  else if (slash != nullptr)
    *slash = '\0';
  const bool changed = workdirParent == nullptr || strcmp(parent, workdirParent) != 0;
  free(workdirParent);
  workdirParent = parent;
  return changed;
}

enum class Made { Yes, NoName, Unsafe };

// True when fd is a directory that only this user may enter: the one just made with mode 0700.
bool IsOwnPrivateDirectory(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777 & ~0700) == 0;
}

// Makes the directory `name` in the directory open as parentFd and publishes it as workdir
// (the whole path) and workdirFd; false when it cannot be made or is not what was made. A
// signal handler deletes whatever they name, so signals wait while it is made and published.
bool MakeAndOpen(int parentFd, const char *path) {
  const char *slash = _strrchr(path, '/');
  const char *name = slash != nullptr ? slash + 1 : path;
  SignalsHeld held;
  if (mkdirat(parentFd, name, 0700) != 0) return false;
  const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || !IsOwnPrivateDirectory(fd)) {
    if (fd >= 0) close(fd);
    unlinkat(parentFd, name, AT_REMOVEDIR);
    return false;
  }
  workdir = StrDup(path);
  workdirFd = fd;
  return true;
}

// Draws working directory names until one is made. tempnam decides where (an inherited TMPDIR
// may win over tmpdir), so the directory it chose is checked, with everything above it, before
// anything is made there: another user who could rename the working directory, or a directory
// above it, could put a tree of theirs under its name, to be extracted into, run from or deleted
// with root's rights. The directory is made and kept open relative to the descriptor of the
// checked parent. Made::Unsafe after reporting the directory that fails the check.
Made MakeWorkingDirectory(const char *tmpdir) {
  int parentFd = -1;
  Made result = Made::NoName;
  for (int attempt = 0; attempt < kMaxWorkdirAttempts && result == Made::NoName; attempt++) {
    char *candidate = tempnam(tmpdir, progname);
    if (candidate == nullptr) break;
    if (NoteWorkdirParent(candidate) || parentFd < 0) {
      if (parentFd >= 0) close(parentFd);
      char *offender = nullptr;
      parentFd = OpenTrustedDirectory(workdirParent, &offender);
      if (offender != nullptr) {
        ReportMessage("unsafe_system_tmpdir", offender);
        free(offender);
        result = Made::Unsafe;
      }
    }
    if (parentFd >= 0 && MakeAndOpen(parentFd, candidate)) result = Made::Yes;
    free(candidate);
  }
  if (parentFd >= 0) close(parentFd);
  return result;
}

// Once the working directory exists, every failure return removes it again (without the
// profile's Cleanup hook, which belongs to the normal end). Released when the Java program is
// about to run: from there on the run ends through the normal clean-up.
class WorkingDirectoryGuard {
 public:
  WorkingDirectoryGuard() = default;
  WorkingDirectoryGuard(const WorkingDirectoryGuard &) = delete;
  WorkingDirectoryGuard &operator=(const WorkingDirectoryGuard &) = delete;
  ~WorkingDirectoryGuard() {
    if (armed_) PrepareToExit();
  }
  void Release() { armed_ = false; }

 private:
  bool armed_ = true;
};

// The development kit that the runtime root belongs to: K for the root K/jre, where the kit
// keeps its runtime, or the root itself for a kit that is its own runtime root. New string.
char *KitDirectory(const char *runtime) {
  char *kit = StrDup(runtime);
  char *slash = _strrchr(kit, '/');
  if (slash != nullptr && strcmp(slash, "/jre") == 0) *slash = '\0';
  return kit;
}

// "-Djava.class.path=": a kit's two entries, the application home, then the profile's elements
// under the application home, separated by ":".
char *ClassPathOption(const char *runtime, const char *apphome) {
  constexpr const char kPrefix[] = "-Djava.class.path=";
  const char *const *elements;
  int count = GetJavaClasspathElements(&elements);
  // The kit's own tools.jar and classes, which sit beside its jre directory, not inside it.
  char *kit = IsJDK(runtime) ? KitDirectory(runtime) : nullptr;

  size_t len = sizeof kPrefix + strlen(apphome);
  if (kit != nullptr) {
    for (const char *suffix : jdkClassPath) len += strlen(kit) + strlen(suffix) + 1;
  }
  for (int i = 0; i < count; i++) len += 1 + strlen(apphome) + strlen(elements[i]);

  char *s = static_cast<char *>(MemAlloc(len));
  strcpy(s, kPrefix);
  if (kit != nullptr) {
    for (const char *suffix : jdkClassPath) {
      strcat(s, kit);
      strcat(s, suffix);
      strcat(s, ":");
    }
    free(kit);
  }
  strcat(s, apphome);
  for (int i = 0; i < count; i++) {
    strcat(s, ":");
    strcat(s, apphome);
    strcat(s, elements[i]);
  }
  return s;
}

// True when the executable file holds more than its program image, or when that cannot be
// told: its ELF headers cannot be read, or the file is shorter than they say (a download cut
// inside the launcher itself). Called when the file does not open as an archive: something is
// then appended that is not a readable archive, and the file is damaged. Only a complete
// program with nothing behind it runs as a launcher without an archive.
bool CarriesSomethingAppended(const char *execname) {
  int fd = open(execname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  struct stat64 st;
  ElfImage image;
  bool bare = fstat64(fd, &st) == 0 && ReadElfImage(fd, &image) && image.length == st.st_size;
  close(fd);
  return !bare;
}

// True when the archive open as zip begins where the program image ends: its first record
// (local header, or the central directory of an archive without entries) lies there, and its
// offsets count from there or, written as absolute positions, from the start of the file.
bool BeginsAt(const jzfile *zip, jlong imageEnd) {
  if (zip->locpos != 0 && zip->locpos != imageEnd) return false;
  jlong first = zip->cenpos;
  for (jint i = 0; i < zip->total; i++) first = std::min<jlong>(first, zip->entries[i].pos);
  return first == imageEnd;
}

// The executable's archive, open, or null. *damaged when something opens as an archive but
// does not begin where the program ends: the inner archive of a stored jar, say, whose end
// record comes last in a download cut right behind it. Its entries are not the installer's.
jzfile *OpenOwnArchive(const char *execname, bool *damaged) {
  int zipError = 0;
  jzfile *zip = zipOpen(execname, &zipError);
  *damaged = false;
  if (zip == nullptr) return nullptr;
  ElfImage image;
  if (!ReadElfImage(zip->fd, &image) || !BeginsAt(zip, image.length)) {
    zipClose(zip);
    *damaged = true;
    return nullptr;
  }
  return zip;
}

// A private runtime unpacked onto a file system mounted noexec fails the executable test
// without a word; the user is pointed at -tmpdir instead.
bool BundledRuntimeBlockedByNoexec(void) {
  struct statvfs64 fs;
  if (fstatvfs64(workdirFd, &fs) != 0 || (fs.f_flag & ST_NOEXEC) == 0) return false;
  return HasBundledJREEntries();
}

// Appends the text of key, with its arguments filled in, to *text (a new string, or null).
void AppendReport(char **text, const char *key, const char *a, const char *b = nullptr,
                  const char *c = nullptr) {
  char *piece = FormatMessage(key, a, b, c);
  size_t have = *text != nullptr ? strlen(*text) : 0, len = strlen(piece);
  if (len > 0) {
    char *grown = static_cast<char *>(MemAlloc(have + len + 1));
    if (*text != nullptr) memcpy(grown, *text, have);
    memcpy(grown + have, piece, len + 1);
    free(*text);
    *text = grown;
  }
  free(piece);
}

// After the "no runtime" messages: every runtime that was found but refused, and why, so that
// a user with, say, only a Java 17 installed learns that it was seen and not taken; also the
// directories with a java of another layout, probed only now. One line each, printed together
// (in the windows: one message box).
void ReportRefusedRuntimes(void) {
  char seconds[16];
  snprintf(seconds, sizeof seconds, "%d", kProbeTimeLimitSeconds);
  ProbeForeignRuntimes();
  char *text = nullptr;
  for (const RefusedRuntime *r = GetRefusedRuntimes(); r != nullptr; r = r->next) {
    switch (r->reason) {
      case RefusalReason::Unsupported:
        AppendReport(&text, "refused_java_version", r->root, r->version);
        break;
      case RefusalReason::OtherLayout:
        AppendReport(&text, "refused_java_layout", r->root, r->version, GetArch());
        break;
      case RefusalReason::TooNew:
        AppendReport(&text, "refused_java_too_new", r->root, r->version);
        break;
      case RefusalReason::NoVersion:
        AppendReport(&text, "refused_java_no_version", r->root);
        break;
      case RefusalReason::TimedOut:
        AppendReport(&text, "refused_java_timeout", r->root, seconds);
        break;
    }
  }
  if (text == nullptr) return;
  _fprintf(stderr, "%s", text);
  free(text);
}

// 3, 4. progname is the last component of execname; the user's arguments are all but the
// first, which named the program.
void TakeProgramName(const char *execname, int argc, char **argv) {
  const char *slash = _strrchr(execname, '/');
  if (slash != nullptr) progname = slash + 1;
  javaArgc = argc > 0 ? argc - 1 : 0;
  javaArgv = argc > 0 ? argv + 1 : argv;
}

// 7, 8. The temporary directory: with -tmpdir the directory as its check recorded it, made
// absolute, which is exported as TMPDIR (a relative working directory would be refused by the
// clean-up and outlive the run, and the Java program, which runs elsewhere, could not use a
// relative TMPDIR or temp.dir either); without it an inherited TMPDIR, made absolute. Null when
// there is no usable temporary directory.
const char *ChooseTempDir(void) {
  const char *tmpdir = GetTempDir();
  if (tmpdirArg != nullptr)
    setenv("TMPDIR", tmpdir, 1);
  else
    MakeInheritedTmpdirAbsolute();
  return tmpdir;
}

// 11. The first pass over the archive: the space its contents need into *requiredDisk, and
// whether the executable carries an archive at all. From here on the application home is the
// working directory, if it does. Whatever is appended to the program must be a sound archive:
// false for a damaged download, which must never run as a launcher without an archive (that
// would start any corvane.class lying beside it).
bool SurveyOwnArchive(const char *execname, unsigned long long *requiredDisk) {
  bool damaged = false;
  jzfile *zipFile = OpenOwnArchive(execname, &damaged);
  if (damaged) return false;
  if (zipFile == nullptr) return !CarriesSomethingAppended(execname);
  bool sound = SurveyExecutableArchive(zipFile, requiredDisk);
  if (!sound) {
    zipClose(zipFile);
    return false;
  }
  ownArchive = zipFile;
  SetApplicationHome(StrDup(workdir));
  return true;
}

// 12-15. Free space in the working directory's file system: the archive's contents plus a
// margin. False after reporting what is wrong. (At most 65,534 sizes below 2^31 sum to less than
// 2^47, so the margin cannot overflow.)
bool CheckFreeSpace(const char *tmpdir, unsigned long long requiredDisk) {
  requiredDisk += kSpaceMargin;
  unsigned long long availableDisk = 0;
  struct statvfs64 fs;
  if (fstatvfs64(workdirFd, &fs) == 0) {
    availableDisk = static_cast<unsigned long long>(fs.f_frsize) *
                    static_cast<unsigned long long>(fs.f_bavail);
  } else if (errno == EOVERFLOW) {
    availableDisk = requiredDisk + 1;
  } else {
    ReportNoTempDir(tmpdir);
    return false;
  }
  if (requiredDisk <= availableDisk) return true;
  char required[32], available[32];
  snprintf(required, sizeof required, "%lli", static_cast<long long>(requiredDisk));
  snprintf(available, sizeof available, "%lli", static_cast<long long>(availableDisk));
  ReportTempDirProblem("no_space_system_tmpdir", tmpdir, required, available);
  return false;
}

// 16. The Java runtime: the one named with -javahome if it is usable, else the search. New
// string, or null.
char *FindJavaRuntime(void) {
  if (javahome != nullptr) {
    char *root = GetJREPath(javahome);
    if (root == nullptr) NoteForeignRuntime(javahome);
    if (root != nullptr && CheckJavaVersion(root)) return root;
    free(root);
  }
  return GetPublicJREPath();
}

// 17. No usable runtime: what was asked for and not found, where to get one, what was found and
// refused, and why the private runtime may be missing. Returns 1.
int ReportNoJavaRuntime(const char *tmpdir) {
  if (javahome != nullptr)
    ReportMessage("no_find_specified_java", javahome);
  else
    ReportMessage("no_find_java");
  ReportMessage("no_find_java_usage", kMinimumJavaVersion, kJavaDownloadPage, progname);
  ReportRefusedRuntimes();
  // The private runtime may be missing only because the disk filled up while it was being
  // unpacked.
  if (GetBundledJREWriteError() != 0) return ReportWriteFailure(tmpdir);
  if (BundledRuntimeBlockedByNoexec()) ReportMessage("no_writable_system_tmpdir_usage", progname);
  return 1;
}

// 18. The second pass: the whole archive into the working directory, from the record that the
// first pass keeps open (none when the executable carries no archive). False after reporting what
// went wrong.
bool ExtractOwnArchive(const char *execname, const char *tmpdir, unsigned long long total) {
  if (ownArchive == nullptr) return true;
  ShowMessage("unzipping_files");
  BeginExtractionProgress(total);
  bool extracted = UnzipFilesAt(ownArchive, workdirFd, nullptr);
  EndExtractionProgress();
  if (!extracted) {
    if (ownArchive->writeErrno != 0)
      ReportWriteFailure(tmpdir);
    else
      ReportCorrupted(execname);
  }
  zipClose(ownArchive);
  ownArchive = nullptr;
  return extracted;
}

// 19, 20. The launcher's options after those of the command line. The application home, or null
// after reporting that there is none.
const char *AddLauncherOptions(const char *tmpdir) {
  AddOption(Concat("-Djava.io.tmpdir=", workdir));
  AddOption(Concat("-Dtemp.dir=", tmpdir));
  const char *apphome = GetApplicationHome();
  if (apphome == nullptr) {
    ReportFailure("no_find_exec_dir");
    return nullptr;
  }
  AddOption(ClassPathOption(jrepath, apphome));
  AddOption(StrDup("-Djava.endorsed.dirs="));
  AddOption(StrDup("-Xmx256m"));
  if (isDebug) AddOption(StrDup("-Ddebug=true"));
  if (noPortVerification) AddOption(StrDup("-Dno.port.verification=true"));
  if (noDomainCreation) AddOption(StrDup("-Dno.domain=true"));
  if (visiblePassword) AddOption(StrDup("-Dpassword.visible=true"));
  return apphome;
}

// 24. Status 10 asks for the upgrade script that the Java program left in the temporary
// directory; its own result does not matter. A file refused as unsafe is not the launcher's to
// remove.
void RunUpgradeScriptIfAsked(int status, const char *tmpdir) {
  char *upgradeInvokerName = Resolve(tmpdir, kUpgradeInvoker);
  if (status == 10 && InvokeUpgradeTool(upgradeInvokerName) != kUpgradeScriptRefused)
    remove(upgradeInvokerName);
  free(upgradeInvokerName);
}

}  // namespace

void BeginExtractionProgress(unsigned long long total) {
  if (!isSilent && BeginProgress(total)) WatchExtractions(ShowProgress);
}

void EndExtractionProgress(void) {
  WatchExtractions(nullptr);
  EndProgress();
}

int LauncherMain(int argc, char **argv) {
  // The floors below reach up only through what is handed to them here: memory exhausted
  // anywhere, or the X connection lost in a toolkit call, ends the run with the clean-up; the
  // runtime search looks first at the private runtime, unpacked from the archive on demand.
  InstallFatalExitHook();
  SetBundledJRELookup(GetBundledJREPath);

  // 1. The executable.
  const char *execname = SetExecName(argc > 0 ? argv[0] : nullptr);
  if (execname == nullptr) return ReportFailure("no_resolve_exec_path");

  // 2. Only one copy per executable file and user.
  ExitIfNotOnlyInstance();

  // 3, 4. The program name, and the user's arguments.
  TakeProgramName(execname, argc, argv);

  // 5. Signal dispositions.
  InstallSignalDispositions();

  // 6. The command line; it makes the Java program's arguments of the user's.
  int ret = 1;
  if (!ParseArguments(&javaArgc, &javaArgv, &javahome, &tmpdirArg, &showconsole, &ret)) return ret;

  // 7, 8. The temporary directory.
  ShowMessage("checking_disk_space");
  const char *tmpdir = ChooseTempDir();

  // 9, 10. The working directory, removed again by every failure return from here on.
  const Made made = tmpdir != nullptr ? MakeWorkingDirectory(tmpdir) : Made::NoName;
  if (made == Made::Unsafe) return 1;
  if (made != Made::Yes) return ReportNoTempDir(tmpdir);
  WorkingDirectoryGuard removeOnFailure;

  // 11. The first pass over the archive.
  unsigned long long requiredDisk = 0;
  if (!SurveyOwnArchive(execname, &requiredDisk)) return ReportCorrupted(execname);

  // 12-15. Free space.
  if (!CheckFreeSpace(tmpdir, requiredDisk)) return 1;

  // 16, 17. The Java runtime.
  ShowMessage("checking_java");
  jrepath = FindJavaRuntime();
  if (jrepath == nullptr) return ReportNoJavaRuntime(tmpdir);

  // 18. The second pass: the extraction.
  if (!ExtractOwnArchive(execname, tmpdir, requiredDisk)) return 1;

  // 19, 20. The launcher's options.
  const char *apphome = AddLauncherOptions(tmpdir);
  if (apphome == nullptr) return 1;

  // 21. The Java program runs from the application home. From here on the run ends through the
  // normal clean-up.
  const bool intoWorkdir = strcmp(apphome, workdir) == 0;
  if ((intoWorkdir ? fchdir(workdirFd) : chdir(apphome)) != 0)
    return ReportFailure("no_set_specified_working_dir", apphome);
  removeOnFailure.Release();

  // 22, 23. The Java program.
  if (showconsole) SetPrintToConsole(1);
  ShowMessage("executing_java");
  ret = ExecuteJava(jrepath, numOptions, options, javaArgc, javaArgv);

  // 24. The upgrade script, if the Java program asked for it.
  RunUpgradeScriptIfAsked(ret, tmpdir);

  // 25. The normal end.
  doCleanup = JNI_TRUE;
  PrepareToExit();
  return ret;
}
