// Runs the installer's Java program and the upgrade script as child processes and turns their
// ends into the launcher's status. The Java program gets the launcher's environment with
// LD_LIBRARY_PATH replaced, its descriptors 0 to 2 and its current directory (the application
// home); the upgrade script gets no arguments and no environment. The upgrade script lies in a
// directory that other users may write to, and the launcher often runs as root: it runs only a
// regular file of the effective user that nobody else may change, and it executes the very file
// it checked, through the descriptor, so that nothing can be swapped in between. A child whose exec fails
// leaves at once with _exit: it must not run the rest of the start-up sequence or the clean-up,
// which belong to the parent.
#include "runtime/launch.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/memory.h"
#include "base/paths.h"
#include "base/product.h"
#include "i18n/locale.h"
#include "runtime/child.h"
#include "runtime/discovery.h"
#include "ui/motif.h"
#include "ui/output.h"

extern char **environ;

namespace {

constexpr const char kLibraryPathName[] = "LD_LIBRARY_PATH=";
constexpr unsigned int kJavaStartWait = 10;

// "LD_LIBRARY_PATH=" followed by the bundled library path and the inherited value, those there
// are, separated by ":". New string.
char *LibraryPathEntry(void) {
  const char *bundled = GetBundledLibraryPath();
  const char *inherited = getenv("LD_LIBRARY_PATH");
  return JoinSearchList(kLibraryPathName, bundled, inherited);
}

bool IsLibraryPath(const char *var) {
  return strncmp(var, kLibraryPathName, sizeof kLibraryPathName - 1) == 0;
}

// The launcher's environment with entry in place of LD_LIBRARY_PATH (where it stood first, or
// at the end). The array is new; its strings are borrowed.
char **ChildEnvironment(char *entry) {
  size_t count = 0;
  for (char **e = environ; e != nullptr && *e != nullptr; e++) count++;
  char **envp = static_cast<char **>(MemAlloc((count + 2) * sizeof(char *)));
  size_t n = 0;
  bool placed = false;
  for (size_t i = 0; i < count; i++) {
    if (!IsLibraryPath(environ[i])) {
      envp[n++] = environ[i];
    } else if (!placed) {
      envp[n++] = entry;
      placed = true;
    }
  }
  if (!placed) envp[n++] = entry;
  envp[n] = nullptr;
  return envp;
}

// The catalog key that says why the upgrade script open as fd must not run, or null when it
// may: a regular file (not a link), of the effective user, that neither group nor others may
// write, with no other name a stranger could reach it by.
const char *UpgradeScriptRefusal(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return "upgrade_not_run_type";
  if (S_ISLNK(st.st_mode)) return "upgrade_not_run_link";
  if (!S_ISREG(st.st_mode)) return "upgrade_not_run_type";
  if (st.st_uid != geteuid()) return "upgrade_not_run_owner";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "upgrade_not_run_writable";
  if (st.st_nlink != 1) return "upgrade_not_run_links";
  return nullptr;
}

// The Java command line: bin/java, the options, the main class, the Java program's arguments.
// A new array ending with null; the strings are borrowed.
char **JavaCommandLine(char *command, int numOptions, JavaVMOption *options, int argc,
                       char **argv) {
  char **cmdv = static_cast<char **>(
      MemAlloc((static_cast<size_t>(numOptions) + static_cast<size_t>(argc) + 3) * sizeof(char *)));
  int n = 0;
  cmdv[n++] = command;
  for (int i = 0; i < numOptions; i++) cmdv[n++] = options[i].optionString;
  cmdv[n++] = const_cast<char *>(GetJavaClassName());
  for (int i = 0; i < argc; i++) cmdv[n++] = argv[i];
  cmdv[n] = nullptr;
  return cmdv;
}

// Starts command with the arguments cmdv and the launcher's environment with LD_LIBRARY_PATH
// replaced, as the running child: its process ID, or -1.
pid_t StartJava(char *command, char **cmdv) {
  // Everything the child needs is made here, so that after the fork it only execs (or writes
  // the "java_aborted" text and leaves).
  char *entry = LibraryPathEntry();
  char **envp = ChildEnvironment(entry);
  char *aborted = GetLocalizedMessage("java_aborted");
  const size_t abortedLength = strlen(aborted);

  fflush(nullptr);
  pid_t pid = ForkRunningChild(ChildStop::Gently);
  if (pid == 0) {
    execve(command, cmdv, envp);
    WriteAll(STDERR_FILENO, aborted, abortedLength);
    _exit(1);
  }
  free(envp);
  free(entry);
  free(aborted);
  return pid;
}

// Waits for the running child pid: its exit code, or failure when it cannot be waited for or a
// signal ended it.
int WaitForExitCode(pid_t pid, int failure) {
  int status = 0;
  if (WaitForRunningChild(pid, &status) != pid) return failure;
  return WIFEXITED(status) ? WEXITSTATUS(status) : failure;
}

}  // namespace

jboolean CheckJavaClassFile(void) {
  const char *home = GetApplicationHome();
  if (home == nullptr) return JNI_FALSE;
  const char *className = GetJavaClassName();
  size_t len = strlen(home) + 1 + strlen(className) + sizeof ".class";
  char *path = static_cast<char *>(malloc(len));
  if (path == nullptr) return JNI_FALSE;
  snprintf(path, len, "%s/%s.class", home, className);
  jboolean readable = access(path, R_OK) == 0;
  free(path);
  return readable;
}

int ExecuteJava(const char *jrepath, int numOptions, JavaVMOption *options, int argc, char **argv) {
  jboolean console = GetPrintToConsole();
  if (!CheckJavaClassFile()) {
    char *key = GetMessageKeyPrefix("no_files");
    ReportMessage(key);
    free(key);
    return 1;
  }
  char *command = JavaProgramOf(jrepath);
  if (!IsExecutable(command)) {
    free(command);
    ReportMessage("java_aborted");
    return 1;
  }
  char **cmdv = JavaCommandLine(command, numOptions, options, argc, argv);
  pid_t pid = StartJava(command, cmdv);
  free(cmdv);
  free(command);
  if (pid < 0) {
    ReportMessage("java_aborted");
    return 1;
  }

  // The Java program has this long to bring up its own window before the status window goes.
  unsigned int left = sleep(kJavaStartWait);
  while (left > 0) left = sleep(left);
  if (!console) HideStatusWindow();
  return WaitForExitCode(pid, 1);
}

int InvokeUpgradeTool(const char *invokerPath) {
  // O_PATH: looking does not open the file, so a FIFO cannot block and a device is not
  // touched; with O_NOFOLLOW a link is seen as the link itself.
  int fd = open(invokerPath, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (const char *refusal = UpgradeScriptRefusal(fd)) {
    close(fd);
    ReportMessage(refusal, invokerPath);
    return kUpgradeScriptRefused;
  }
  char *copy = StrDup(invokerPath);
  char *cmdv[] = {copy, nullptr};
  char *noEnvironment[] = {nullptr};

  pid_t pid = ForkRunningChild(ChildStop::Gently);
  if (pid == 0) {
    // A script is read by its interpreter through /dev/fd/<fd>, so the descriptor must
    // survive the exec; in the parent it stays close-on-exec.
    fcntl(fd, F_SETFD, 0);
    fexecve(fd, cmdv, noEnvironment);
    _exit(127);
  }
  close(fd);
  free(copy);
  if (pid < 0) return -1;

  return WaitForExitCode(pid, -1);
}
