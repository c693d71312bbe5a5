// The launcher's command line and the option list handed to the Java virtual machine.
#pragma once

#include "base/types.h"

// The option list (JavaVMOption: base/types.h); lives until the process ends.
extern JavaVMOption *options;
extern int numOptions;
extern int maxOptions;

// Flags set by ParseArguments.
extern jboolean isDebug;
extern jboolean noPortVerification;
extern jboolean noDomainCreation;
extern jboolean visiblePassword;
extern jboolean printWizardID;
// -silent: a run for scripts and logs, which no progress line may change.
extern jboolean isSilent;

// Appends {str, null}; the list takes ownership of str (allocated with StrDup or MemAlloc).
void AddOption(char *str);
// Parses the launcher's own arguments: the *pargc words at *pargv, without the program name.
// *pTempDir must be null or a string from malloc (it is freed when replaced); the other outputs
// are only written. While it reads, -console and -silent append "-Djava.awt.headless=true" to
// the option list, -tmpdir records its directory with SetTempDir, and the flags above are set.
// True on success: *pargc and *pargv are the Java program's arguments (a new vector ending
// with null, kept until the process ends, as is the state file name it may hold); *pJavaHome is
// the -javahome directory made absolute, or null; *pTempDir the -tmpdir value as given, or as it
// was; *pShowConsole whether -console was given; -silent has switched console mode on. The new
// strings through pJavaHome and pTempDir belong to the caller.
// False when the run must end: the error, if any, and the usage text are on standard error,
// *pJavaHome and *pTempDir are freed and null, *pargv is null, and *pret is the status to exit
// with (0 after -help/-h, 1 after an error).
jboolean ParseArguments(int *pargc, char ***pargv, char **pJavaHome, char **pTempDir,
                        jboolean *pShowConsole, int *pret);
// Prints the product's usage text on standard error.
void PrintUsage(void);
