// Integer and flag types shared by the launcher's modules. The archive reader uses the Java
// native interface names; jboolean is also the type of every launcher flag (1 true, 0 false).
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
