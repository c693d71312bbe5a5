// The start-up sequence: in one thread and in a fixed order it resolves the executable, parses
// the command line, makes a fresh working directory in the temporary directory, checks that
// the archive's contents fit there, and hands over to the Java program. Every failure is
// reported through the catalog and becomes exit status 1.
#include "core/startup.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "archive/extract.h"
#include "archive/zip_util.h"
#include "core/cleanup.h"
#include "core/options.h"
#include "core/paths.h"
#include "core/profile.h"
#include "host/instance_lock.h"
#include "host/temp_dir.h"
#include "i18n/locale.h"
#include "runtime/discovery.h"
#include "runtime/launch.h"
#include "runtime/probe.h"
#include "ui/output.h"

const char *progname = nullptr;
char *workdir = nullptr;
jboolean doCleanup = JNI_FALSE;

namespace {

constexpr unsigned long long kSpaceMargin = 100000;

// What the command line gave; kept for the whole run.
char *javahome = nullptr;
char *tmpdirArg = nullptr;
// The Java program's arguments, made by ParseArguments.
int javaArgc = 0;
char **javaArgv = nullptr;
// The selected Java runtime; kept for the whole run.
char *jrepath = nullptr;
constexpr int kMaxWorkdirAttempts = 100;
constexpr const char kMinimumJavaVersion[] = "1.4.1";
constexpr const char kJavaDownloadPage[] = "http://java.com/download/";
constexpr const char kUpgradeInvoker[] = "UpgradeInvoker.sh";

// Appended to the runtime path when the runtime is a development kit.
const char *const jdkClassPath[] = {"/lib/tools.jar", "/classes"};

const char *OrEmpty(const char *s) { return s != nullptr ? s : ""; }

// Looks key up and prints it on standard error with up to three string arguments.
void Report(const char *key, const char *a = nullptr, const char *b = nullptr,
            const char *c = nullptr) {
  char *text = GetLocalizedMessage(key);
  _fprintf(stderr, text, OrEmpty(a), OrEmpty(b), OrEmpty(c));
  free(text);
}

void Show(const char *key) {
  char *text = GetLocalizedMessage(key);
  statusf("%s", text);
  free(text);
}

int ReportNoTempDir(const char *tmpdir) {
  Report("no_writable_system_tmpdir", tmpdir);
  Report("no_writable_system_tmpdir_usage", progname);
  return 1;
}

// Draws working directory names until mkdir makes one; false when no name could be had.
// workdir names only a directory that this run made: a signal handler deletes whatever it
// names, so signals wait while the directory is made and published.
bool MakeWorkingDirectory(const char *tmpdir) {
  for (int attempt = 0; attempt < kMaxWorkdirAttempts; attempt++) {
    char *candidate = tempnam(tmpdir, progname);
    if (candidate == nullptr) return false;
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    bool made = mkdir(candidate, 0700) == 0;
    if (made) workdir = candidate;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (made) return true;
    free(candidate);
  }
  return false;
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

// New string "prefix" + value.
char *Option(const char *prefix, const char *value) {
  size_t len = strlen(prefix) + strlen(value) + 1;
  char *s = static_cast<char *>(MemAlloc(len));
  snprintf(s, len, "%s%s", prefix, value);
  return s;
}

// "-Djava.class.path=": a kit's two entries, the application home, then the profile's elements
// under the application home, separated by ":".
char *ClassPathOption(const char *runtime, const char *apphome) {
  constexpr const char kPrefix[] = "-Djava.class.path=";
  const char *const *elements;
  int count = GetJavaClasspathElements(&elements);
  jboolean jdk = IsJDK(runtime);

  size_t len = sizeof kPrefix + strlen(apphome);
  if (jdk) {
    for (const char *suffix : jdkClassPath) len += strlen(runtime) + strlen(suffix) + 1;
  }
  for (int i = 0; i < count; i++) len += 1 + strlen(apphome) + strlen(elements[i]);

  char *s = static_cast<char *>(MemAlloc(len));
  strcpy(s, kPrefix);
  if (jdk) {
    for (const char *suffix : jdkClassPath) {
      strcat(s, runtime);
      strcat(s, suffix);
      strcat(s, ":");
    }
  }
  strcat(s, apphome);
  for (int i = 0; i < count; i++) {
    strcat(s, ":");
    strcat(s, apphome);
    strcat(s, elements[i]);
  }
  return s;
}

// A private runtime unpacked onto a file system mounted noexec fails the executable test
// without a word; the user is pointed at -tmpdir instead.
bool BundledRuntimeBlockedByNoexec(void) {
  struct statvfs64 fs;
  if (statvfs64(workdir, &fs) != 0 || (fs.f_flag & ST_NOEXEC) == 0) return false;
  return HasBundledJREEntries();
}

}  // namespace

int LauncherMain(int argc, char **argv) {
  // 1. The executable.
  const char *execname = SetExecName(argc > 0 ? argv[0] : nullptr);
  if (execname == nullptr) {
    Report("no_resolve_exec_path");
    return 1;
  }

  // 2. Only one copy per executable file and user.
  ExitIfNotOnlyInstance();

  // 3, 4. The program name, then only the user's arguments.
  const char *slash = _strrchr(execname, '/');
  if (slash != nullptr) progname = slash + 1;
  if (argc > 0) {
    argc--;
    argv++;
  }

  // 5. Signal dispositions.
  InstallSignalDispositions();

  // 6. The command line.
  jboolean showconsole = JNI_FALSE;
  int ret = 1;
  javaArgc = argc;
  javaArgv = argv;
  if (!ParseArguments(&javaArgc, &javaArgv, &javahome, &tmpdirArg, &showconsole, &ret)) return ret;

  // 7, 8. The temporary directory.
  Show("checking_disk_space");
  // With -tmpdir this is the directory as its check recorded it, made absolute: a relative
  // working directory would be refused by the clean-up and outlive the run, and the Java
  // program, which runs elsewhere, could not use a relative TMPDIR or temp.dir either.
  const char *tmpdir = GetTempDir();
  if (tmpdirArg != nullptr) setenv("TMPDIR", tmpdir, 1);

  // 9, 10. The working directory.
  if (tmpdir == nullptr || !MakeWorkingDirectory(tmpdir)) return ReportNoTempDir(tmpdir);
  WorkingDirectoryGuard removeOnFailure;

  // 11. First pass over the archive: the space its contents need. From here on the
  // application home is the working directory, if the executable carries an archive.
  unsigned long long requiredDisk = 0;
  int zipError = 0;
  jzfile *zipFile = zipOpen(execname, &zipError);
  if (zipFile != nullptr) {
    for (jint i = 0;; i++) {
      jzentry *entry = zipGetNextEntry(zipFile, i);
      if (entry == nullptr) break;
      requiredDisk += static_cast<jlong>(entry->size);
      zipFreeEntry(zipFile, entry);
    }
    zipClose(zipFile);
    SetApplicationHome(StrDup(workdir));
  }

  // 12-15. Free space: the archive's contents plus a margin.
  requiredDisk += kSpaceMargin;
  unsigned long long availableDisk = 0;
  struct statvfs64 fs;
  if (statvfs64(workdir, &fs) == 0) {
    availableDisk = static_cast<unsigned long long>(fs.f_frsize) *
                    static_cast<unsigned long long>(fs.f_bavail);
  } else if (errno == EOVERFLOW) {
    availableDisk = requiredDisk + 1;
  } else {
    return ReportNoTempDir(tmpdir);
  }
  if (requiredDisk > availableDisk) {
    char required[32], available[32];
    snprintf(required, sizeof required, "%lli", static_cast<long long>(requiredDisk));
    snprintf(available, sizeof available, "%lli", static_cast<long long>(availableDisk));
    Report("no_space_system_tmpdir", tmpdir, required, available);
    Report("no_writable_system_tmpdir_usage", progname);
    return 1;
  }

  // 16, 17. The Java runtime: the one named with -javahome if it is usable, else the search.
  Show("checking_java");
  ret = 0;
  if (javahome != nullptr) {
    jrepath = GetJREPath(javahome);
    if (jrepath != nullptr && !CheckJavaVersion(jrepath)) {
      free(jrepath);
      jrepath = nullptr;
    }
    if (jrepath == nullptr) jrepath = GetPublicJREPath();
    if (jrepath == nullptr) {
      Report("no_find_specified_java", javahome);
      ret = 1;
    }
  } else {
    jrepath = GetPublicJREPath();
    if (jrepath == nullptr) {
      Report("no_find_java");
      ret = 1;
    }
  }
  if (ret == 1) {
    Report("no_find_java_usage", kMinimumJavaVersion, kJavaDownloadPage, progname);
    if (BundledRuntimeBlockedByNoexec()) Report("no_writable_system_tmpdir_usage", progname);
    return 1;
  }

  // 18. Second pass: the whole archive into the working directory.
  zipFile = zipOpen(execname, &zipError);
  if (zipFile != nullptr) {
    Show("unzipping_files");
    if (!UnzipFiles(zipFile, workdir, nullptr)) {
      Report("corrupted_zip_file", execname);
      return 1;
    }
    zipClose(zipFile);
  }

  // 19, 20. The launcher's options after those of the command line.
  AddOption(Option("-Djava.io.tmpdir=", workdir));
  AddOption(Option("-Dtemp.dir=", tmpdir));
  const char *apphome = GetApplicationHome();
  if (apphome == nullptr) {
    Report("no_find_exec_dir");
    return 1;
  }
  AddOption(ClassPathOption(jrepath, apphome));
  AddOption(StrDup("-Djava.endorsed.dirs="));
  AddOption(StrDup("-Xmx256m"));
  if (isDebug) AddOption(StrDup("-Ddebug=true"));
  if (noPortVerification) AddOption(StrDup("-Dno.port.verification=true"));
  if (noDomainCreation) AddOption(StrDup("-Dno.domain=true"));
  if (visiblePassword) AddOption(StrDup("-Dpassword.visible=true"));

  // 21. The Java program runs from the application home.
  if (chdir(apphome) != 0) {
    Report("no_set_specified_working_dir", apphome);
    return 1;
  }
  removeOnFailure.Release();

  // 22, 23. The Java program.
  if (showconsole) SetPrintToConsole(1);
  Show("executing_java");
  ret = ExecuteJava(jrepath, numOptions, options, javaArgc, javaArgv);

  // 24. Status 10 asks for the upgrade script that the Java program left in the temporary
  // directory; its own result does not matter.
  char *upgradeInvokerName = Resolve(tmpdir, kUpgradeInvoker);
  if (ret == 10) {
    InvokeUpgradeTool(upgradeInvokerName);
    remove(upgradeInvokerName);
  }
  free(upgradeInvokerName);

  // 25. The normal end.
  doCleanup = JNI_TRUE;
  PrepareToExit();
  return ret;
}
