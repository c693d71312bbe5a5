// The routing point of every user-visible text. In console mode (the initial state) progress
// lines go to standard output and other texts to their stream; otherwise the first text
// brings the Motif interface up, and any failure to do so switches console mode on for good.
#include "ui/output.h"

#include <stdarg.h>
#include <stdlib.h>

#include "base/memory.h"
#include "i18n/locale.h"
#include "ui/motif.h"

namespace {

jboolean printToConsole = JNI_TRUE;

// Console mode, or window mode in which the interface cannot come up (which switches console
// mode on for good).
bool ToConsole() { return printToConsole || LoadX11(JNI_TRUE) == nullptr; }

// A text for stream: the message box in window mode (an error box for standard error, an
// information box otherwise).
int PrintText(FILE *stream, const char *format, va_list args) {
  int ret = ToConsole() ? vfprintf(stream, format, args)
                        : PrintToMessageBox(stream == stderr ? 1 : 2, format, args);
  fflush(stream);
  return ret;
}

const char *OrEmpty(const char *s) { return s != nullptr ? s : ""; }

}  // namespace

jboolean GetPrintToConsole(void) { return printToConsole; }

void SetPrintToConsole(int mode) { printToConsole = static_cast<jboolean>(mode); }

int statusf(const char *format, ...) {
  if (format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  int ret = ToConsole() ? vprintf(format, args) : PrintToStatusWindow(format, args);
  va_end(args);
  return ret;
}

int _fprintf(FILE *stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int ret = PrintText(stream, format, args);
  va_end(args);
  return ret;
}

int _printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int ret = PrintText(stdout, format, args);
  va_end(args);
  return ret;
}

void ReportMessage(const char *key, const char *a, const char *b, const char *c) {
  char *text = GetLocalizedMessage(key);
  _fprintf(stderr, text, OrEmpty(a), OrEmpty(b), OrEmpty(c));
  free(text);
}

void ShowMessage(const char *key) {
  char *text = GetLocalizedMessage(key);
  statusf(text, "", "", "");
  free(text);
}

char *FormatMessage(const char *key, const char *a, const char *b, const char *c) {
  char *text = GetLocalizedMessage(key);
  int len = snprintf(nullptr, 0, text, OrEmpty(a), OrEmpty(b), OrEmpty(c));
  size_t size = len > 0 ? static_cast<size_t>(len) + 1 : 1;
  char *formatted = static_cast<char *>(MemAlloc(size));
  formatted[0] = '\0';
  if (len > 0) snprintf(formatted, size, text, OrEmpty(a), OrEmpty(b), OrEmpty(c));
  free(text);
  return formatted;
}
