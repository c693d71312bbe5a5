// Routing of every user-visible text: to the console, or to the Motif status window and
// message boxes when console mode is off and the interface comes up.
#pragma once

#include <stdio.h>

#include "core/types.h"

jboolean GetPrintToConsole(void);
void SetPrintToConsole(int mode);
// One progress text (standard output or the status window). Never flushes.
int statusf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// One text for stream (errors, usage texts, hints); flushes stream.
int _fprintf(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
// One information text for standard output; flushes it.
int _printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
