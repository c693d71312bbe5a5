// Routing of every user-visible text: to the console, or to the Motif status window and
// message boxes when console mode is off and the interface comes up. Also the one way a catalog
// text is printed.
#pragma once

#include <stdio.h>

#include "base/types.h"

jboolean GetPrintToConsole(void);
void SetPrintToConsole(int mode);
// One progress text (standard output or the status window). Never flushes.
int statusf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// One text for stream (errors, usage texts, hints); flushes stream.
int _fprintf(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
// One information text for standard output; flushes it.
int _printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Catalog texts. A text is always the format of its message, never an argument of "%s": its
// only conversions are "%s", filled in order with up to three string arguments (a null
// argument prints as ""), and a text without conversions prints as it is. The catalog holds no
// other "%".
//
// Looks key up and prints its text on standard error (errors, usage texts, hints).
void ReportMessage(const char *key, const char *a = nullptr, const char *b = nullptr,
                   const char *c = nullptr);
// Looks key up and shows its text as a progress line.
void ShowMessage(const char *key);
// New string: the text of key with its arguments filled in. The caller frees it.
char *FormatMessage(const char *key, const char *a = nullptr, const char *b = nullptr,
                    const char *c = nullptr);
