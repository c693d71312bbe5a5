// Running the installer's Java program and the upgrade script as child processes.
#pragma once

#include "base/types.h"

jboolean CheckJavaClassFile(void);
int ExecuteJava(const char *jrepath, int numOptions, JavaVMOption *options, int argc, char **argv);
// What InvokeUpgradeTool gives for a script it did not run because running it would not be
// safe (the reason is on standard error); such a file must be left in place.
constexpr int kUpgradeScriptRefused = -2;

// Runs the upgrade script at invokerPath (no arguments, empty environment) and waits for it:
// its exit code, -1 when there is no such file, it could not be started or a signal ended it,
// or kUpgradeScriptRefused when it is not a regular file of the effective user that only that
// user may change, with one name.
int InvokeUpgradeTool(const char *invokerPath);
