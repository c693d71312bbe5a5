// Running the installer's Java program and the upgrade script as child processes.
#pragma once

#include "core/options.h"
#include "core/types.h"

jboolean CheckJavaClassFile(void);
int ExecuteJava(const char *jrepath, int numOptions, JavaVMOption *options, int argc, char **argv);
int InvokeUpgradeTool(const char *invokerPath);
