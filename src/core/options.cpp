// The launcher's command line: its own options only, turned into settings for the start-up
// sequence, entries of the Java option list and the Java program's argument vector.
#include "core/options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/paths.h"
#include "core/profile.h"
#include "core/startup.h"
#include "host/temp_dir.h"
#include "runtime/probe.h"
#include "ui/output.h"
#include "testing/hooks.h"

JavaVMOption *options = nullptr;
int numOptions = 0;
int maxOptions = 0;

jboolean isDebug = JNI_FALSE;
jboolean noPortVerification = JNI_FALSE;
jboolean noDomainCreation = JNI_FALSE;
jboolean visiblePassword = JNI_FALSE;
jboolean printWizardID = JNI_FALSE;

namespace {

constexpr const char kHeadless[] = "-Djava.awt.headless=true";

// value made absolute against cwd ("%s%c%s"); frees value.
char *Absolute(const char *cwd, char *value) {
  size_t len = strlen(cwd) + strlen(value) + 2;
  char *s = static_cast<char *>(MemAlloc(len));
  snprintf(s, len, "%s%c%s", cwd, '/', value);
  free(value);
  return s;
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
      strcmp(GetJavaClassName(), "corvane_uninstall") == 0 ? "uninstallusage" : "installusage";
  ReportMessage(key, progname, kMinimumJavaVersion);
}

jboolean ParseArguments(int *pargc, char ***pargv, char **pJavaHome, char **pTempDir,
                        jboolean *pShowConsole, int *pret) {
  *pret = 1;
  *pJavaHome = nullptr;
  *pShowConsole = JNI_FALSE;

  jboolean consoleOption = JNI_FALSE, silentOption = JNI_FALSE, saveStateOption = JNI_FALSE;
  char *stateFile = nullptr;
  int argc = *pargc;
  char **argv = *pargv;
  const char *errorKey = nullptr;
  const char *errorArg = nullptr;
  bool help = false;

  while (argc > 0 && errorKey == nullptr && !help) {
    const char *arg = *argv++;
    argc--;
    if (strcmp(arg, "-help") == 0 || strcmp(arg, "-h") == 0) {
      help = true;
    } else if (strcmp(arg, "-console") == 0) {
      AddOption(StrDup(kHeadless));
      consoleOption = JNI_TRUE;
    } else if (strcmp(arg, "-silent") == 0) {
      if (IsStateFileRequired()) {
        if (argc == 0) {
          errorKey = "missing_file_name";
          errorArg = arg;
          break;
        }
        free(stateFile);
        stateFile = StrDup(*argv++);
        argc--;
      }
      AddOption(StrDup(kHeadless));
      silentOption = JNI_TRUE;
    } else if (strcmp(arg, "-savestate") == 0) {
      if (argc == 0) {
        errorKey = "missing_file_name";
        errorArg = arg;
        break;
      }
      saveStateOption = JNI_TRUE;
      free(stateFile);
      stateFile = StrDup(*argv++);
      argc--;
    } else if (strcmp(arg, "-javahome") == 0) {
      if (argc == 0) {
        errorKey = "missing_jvm_dir";
        errorArg = arg;
        break;
      }
      free(*pJavaHome);
      *pJavaHome = StrDup(*argv++);
      argc--;
    } else if (strcmp(arg, "-tmpdir") == 0) {
      if (argc == 0) {
        errorKey = "missing_writable_dir";
        errorArg = arg;
        break;
      }
      const char *value = *argv++;
      argc--;
      if (!SetTempDir(value)) {
        errorKey = "no_writable_dir";
        errorArg = value;
        break;
      }
      free(*pTempDir);
      *pTempDir = StrDup(value);
    } else if (strcmp(arg, "-debug") == 0) {
      isDebug = JNI_TRUE;
    } else if (strcmp(arg, "-noportcheck") == 0) {
      noPortVerification = JNI_TRUE;
    } else if (strcmp(arg, "-nodomain") == 0) {
      noDomainCreation = JNI_TRUE;
    } else if (strcmp(arg, "-passwordvisible") == 0) {
      visiblePassword = JNI_TRUE;
    } else if (strcmp(arg, "-id") == 0) {
      printWizardID = JNI_TRUE;
    } else {
      errorKey = "no_valid_arg";
      errorArg = arg;
    }
  }

  // Relative -javahome and state file values are made absolute; without a current directory
  // they cannot be, and are refused like an invalid word.
  char *relative = nullptr;
  if (errorKey == nullptr && !help) {
    if (*pJavaHome != nullptr && !IsAbsolutePath(*pJavaHome)) relative = *pJavaHome;
    else if (stateFile != nullptr && !IsAbsolutePath(stateFile)) relative = stateFile;
    if (relative != nullptr) {
      char *cwd = GetCurrentDir();
      if (cwd == nullptr) {
        errorKey = "no_valid_arg";
        errorArg = relative;
      } else {
        if (*pJavaHome != nullptr && !IsAbsolutePath(*pJavaHome))
          *pJavaHome = Absolute(cwd, *pJavaHome);
        if (stateFile != nullptr && !IsAbsolutePath(stateFile))
          stateFile = Absolute(cwd, stateFile);
        free(cwd);
      }
    }
  }

  if (errorKey != nullptr || help) {
    if (errorKey != nullptr) {
      ReportMessage(errorKey, errorArg);
      *pret = 1;
    } else {
      *pret = 0;
    }
    PrintUsage();
    free(stateFile);
    free(*pJavaHome);
    *pJavaHome = nullptr;
    free(*pTempDir);
    *pTempDir = nullptr;
    *pargv = nullptr;
    return JNI_FALSE;
  }

  // At most: -nodisplay; -nodisplay -noconsole -state F; -saveState F; -id; the end marker.
  char **appArgv = static_cast<char **>(MemAlloc(10 * sizeof(char *)));
  int n = 0;
  if (consoleOption) {
    *pShowConsole = JNI_TRUE;
    appArgv[n++] = const_cast<char *>("-nodisplay");
  }
  if (silentOption) {
    SetPrintToConsole(1);
    appArgv[n++] = const_cast<char *>("-nodisplay");
    appArgv[n++] = const_cast<char *>("-noconsole");
    if (stateFile != nullptr) {
      appArgv[n++] = const_cast<char *>("-state");
      appArgv[n++] = stateFile;
    }
  }
  if (saveStateOption && stateFile != nullptr) {
    appArgv[n++] = const_cast<char *>("-saveState");
    appArgv[n++] = stateFile;
  }
  if (printWizardID) appArgv[n++] = const_cast<char *>("-id");
  appArgv[n] = nullptr;
  *pargv = appArgv;
  *pargc = n;
  return JNI_TRUE;
}

void ResetOptionsForTesting(void) {
  for (int i = 0; i < numOptions; i++) free(options[i].optionString);
  free(options);
  options = nullptr;
  numOptions = maxOptions = 0;
  isDebug = noPortVerification = noDomainCreation = visiblePassword = printWizardID = JNI_FALSE;
}
