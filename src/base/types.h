// Types shared by the launcher's modules, in the Java native interface's names and layouts: the
// archive reader's integers; jboolean, also the type of every launcher flag (1 true, 0 false);
// and one option for the Java virtual machine, which the start-up lists and the launch passes.
#pragma once

#include <stdint.h>

typedef int32_t jint;
typedef int64_t jlong;
typedef int8_t jbyte;
typedef uint8_t jboolean;

#ifndef JNI_TRUE
#define JNI_TRUE 1
#define JNI_FALSE 0
#endif

struct JavaVMOption {
  char *optionString;  // owned by the option list once added
  void *extraInfo;     // always null
};
