// The launcher's command line: its own options only, turned into settings for the start-up
// sequence, entries of the Java option list and the Java program's argument vector.
#include "core/options.h"

#include <stdlib.h>
#include <string.h>

#include "base/memory.h"
#include "base/paths.h"
#include "base/product.h"
#include "core/startup.h"
#include "core/testing.h"
#include "host/temp_dir.h"
#include "runtime/probe.h"
#include "ui/output.h"

JavaVMOption *options = nullptr;
int numOptions = 0;
int maxOptions = 0;

jboolean isDebug = JNI_FALSE;
jboolean noPortVerification = JNI_FALSE;
jboolean noDomainCreation = JNI_FALSE;
jboolean visiblePassword = JNI_FALSE;
jboolean printWizardID = JNI_FALSE;
jboolean isSilent = JNI_FALSE;

namespace {

constexpr const char kHeadless[] = "-Djava.awt.headless=true";

// The options that only set a flag.
struct FlagOption {
  const char *word;
  jboolean *flag;
};
const FlagOption kFlagOptions[] = {
    {"-debug", &isDebug},
    {"-noportcheck", &noPortVerification},
    {"-nodomain", &noDomainCreation},
    {"-passwordvisible", &visiblePassword},
    {"-id", &printWizardID},
};

// One parse of the command line: the words still to read, what they said, and the first error.
struct CommandLine {
  int argc;
  char **argv;
  char **javaHome;
  char **tempDir;
  jboolean console = JNI_FALSE, silent = JNI_FALSE, saveState = JNI_FALSE;
  char *stateFile = nullptr;
  bool help = false;
  const char *errorKey = nullptr;
  const char *errorArg = nullptr;

  bool Done() const { return argc == 0 || errorKey != nullptr || help; }
  const char *Next() {
    argc--;
    return *argv++;
  }
  void Fail(const char *key, const char *arg) {
    errorKey = key;
    errorArg = arg;
  }
  // The value that follows option, or null after failing with missingKey when there is none.
  const char *Value(const char *option, const char *missingKey) {
    if (argc > 0) return Next();
    Fail(missingKey, option);
    return nullptr;
  }
};

// Replaces the string *slot owns with a copy of value.
void Replace(char **slot, const char *value) {
  free(*slot);
  *slot = StrDup(value);
}

// Reads one option word, and its value where it takes one.
void ReadOption(CommandLine *cl, const char *arg) {
  if (strcmp(arg, "-help") == 0 || strcmp(arg, "-h") == 0) {
    cl->help = true;
  } else if (strcmp(arg, "-console") == 0) {
    AddOption(StrDup(kHeadless));
    cl->console = JNI_TRUE;
  } else if (strcmp(arg, "-silent") == 0) {
    if (IsStateFileRequired()) {
      const char *file = cl->Value(arg, "missing_file_name");
      if (file == nullptr) return;
      Replace(&cl->stateFile, file);
    }
    AddOption(StrDup(kHeadless));
    cl->silent = JNI_TRUE;
  } else if (strcmp(arg, "-savestate") == 0) {
    const char *file = cl->Value(arg, "missing_file_name");
    if (file == nullptr) return;
    cl->saveState = JNI_TRUE;
    Replace(&cl->stateFile, file);
  } else if (strcmp(arg, "-javahome") == 0) {
    const char *dir = cl->Value(arg, "missing_jvm_dir");
    if (dir != nullptr) Replace(cl->javaHome, dir);
  } else if (strcmp(arg, "-tmpdir") == 0) {
    const char *dir = cl->Value(arg, "missing_writable_dir");
    if (dir == nullptr) return;
    if (SetTempDir(dir))
      Replace(cl->tempDir, dir);
    else
      cl->Fail("no_writable_dir", dir);
  } else {
    for (const FlagOption &option : kFlagOptions) {
      if (strcmp(arg, option.word) == 0) {
        *option.flag = JNI_TRUE;
        return;
      }
    }
    cl->Fail("no_valid_arg", arg);
  }
}

// *path made absolute against cwd when it is relative.
void MakeAbsolute(const char *cwd, char **path) {
  if (*path == nullptr || IsAbsolutePath(*path)) return;
  char *absolute = Resolve(cwd, *path);
  free(*path);
  *path = absolute;
}

// Relative -javahome and state file values are made absolute; without a current directory
// they cannot be, and are refused like an invalid word.
void MakeValuesAbsolute(CommandLine *cl) {
  const char *relative = nullptr;
  if (*cl->javaHome != nullptr && !IsAbsolutePath(*cl->javaHome))
    relative = *cl->javaHome;
  else if (cl->stateFile != nullptr && !IsAbsolutePath(cl->stateFile))
    relative = cl->stateFile;
  if (relative == nullptr) return;
  char *cwd = GetCurrentDir();
  if (cwd == nullptr) {
    cl->Fail("no_valid_arg", relative);
    return;
  }
  MakeAbsolute(cwd, cl->javaHome);
  MakeAbsolute(cwd, &cl->stateFile);
  free(cwd);
}

// The Java program's arguments. At most: -nodisplay; -nodisplay -noconsole -state F;
// -saveState F; -id; the end marker. The vector lives until the process ends.
char **JavaArguments(const CommandLine &cl, int *count) {
  char **appArgv = static_cast<char **>(MemAlloc(10 * sizeof(char *)));
  int n = 0;
  if (cl.console) appArgv[n++] = const_cast<char *>("-nodisplay");
  if (cl.silent) {
    appArgv[n++] = const_cast<char *>("-nodisplay");
    appArgv[n++] = const_cast<char *>("-noconsole");
    if (cl.stateFile != nullptr) {
      appArgv[n++] = const_cast<char *>("-state");
      appArgv[n++] = cl.stateFile;
    }
  }
  if (cl.saveState && cl.stateFile != nullptr) {
    appArgv[n++] = const_cast<char *>("-saveState");
    appArgv[n++] = cl.stateFile;
  }
  if (printWizardID) appArgv[n++] = const_cast<char *>("-id");
  appArgv[n] = nullptr;
  *count = n;
  return appArgv;
}

}  // namespace

void AddOption(char *str) {
  if (numOptions >= maxOptions) {
    if (options == nullptr) {
      maxOptions = 4;
      options = static_cast<JavaVMOption *>(MemAlloc(maxOptions * sizeof(JavaVMOption)));
    } else {
      int newMax = maxOptions * 2;
      JavaVMOption *grown = static_cast<JavaVMOption *>(MemAlloc(newMax * sizeof(JavaVMOption)));
      memcpy(grown, options, numOptions * sizeof(JavaVMOption));
      free(options);
      options = grown;
      maxOptions = newMax;
    }
  }
  options[numOptions].optionString = str;
  options[numOptions].extraInfo = nullptr;
  numOptions++;
}

void PrintUsage(void) {
  const char *key =
      strcmp(GetJavaClassName(), kUninstallerClassName) == 0 ? "uninstallusage" : "installusage";
  ReportMessage(key, progname, kMinimumJavaVersion);
}

jboolean ParseArguments(int *pargc, char ***pargv, char **pJavaHome, char **pTempDir,
                        jboolean *pShowConsole, int *pret) {
  *pret = 1;
  *pJavaHome = nullptr;
  *pShowConsole = JNI_FALSE;

  CommandLine cl{*pargc, *pargv, pJavaHome, pTempDir};
  while (!cl.Done()) ReadOption(&cl, cl.Next());
  if (cl.errorKey == nullptr && !cl.help) MakeValuesAbsolute(&cl);

  if (cl.errorKey != nullptr || cl.help) {
    if (cl.errorKey != nullptr) ReportMessage(cl.errorKey, cl.errorArg);
    *pret = cl.errorKey != nullptr ? 1 : 0;
    PrintUsage();
    free(cl.stateFile);
    free(*pJavaHome);
    *pJavaHome = nullptr;
    free(*pTempDir);
    *pTempDir = nullptr;
    *pargv = nullptr;
    return JNI_FALSE;
  }

  *pShowConsole = cl.console;
  isSilent = cl.silent;
  if (cl.silent) SetPrintToConsole(1);
  *pargv = JavaArguments(cl, pargc);
  return JNI_TRUE;
}

void ResetOptionsForTesting(void) {
  for (int i = 0; i < numOptions; i++) free(options[i].optionString);
  free(options);
  options = nullptr;
  numOptions = maxOptions = 0;
  isDebug = noPortVerification = noDomainCreation = visiblePassword = printWizardID = JNI_FALSE;
  isSilent = JNI_FALSE;
}
