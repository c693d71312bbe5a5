// The launcher's command line and the option list handed to the Java virtual machine.
#pragma once

#include "core/types.h"

// One option for the Java virtual machine, in the layout of the Java Native Interface.
struct JavaVMOption {
  char *optionString;  // owned by the option list once added
  void *extraInfo;     // always null
};

// The option list; lives until the process ends.
extern JavaVMOption *options;
extern int numOptions;
extern int maxOptions;

// Flags set by ParseArguments.
extern jboolean isDebug;
extern jboolean noPortVerification;
extern jboolean noDomainCreation;
extern jboolean visiblePassword;
extern jboolean printWizardID;

// Appends {str, null}; the list takes ownership of str (allocated with StrDup or MemAlloc).
void AddOption(char *str);
// Parses the launcher's arguments (without the program name). On success the count and
// vector through pargc/pargv are the Java program's arguments. On failure the status to exit
// with is stored through pret (0 after -help/-h, 1 after an error) and the result is false.
jboolean ParseArguments(int *pargc, char ***pargv, char **pJavaHome, char **pTempDir,
                        jboolean *pShowConsole, int *pret);
// Prints the product's usage text on standard error.
void PrintUsage(void);
