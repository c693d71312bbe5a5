// The routing point of every user-visible text. In console mode (the initial state) progress
// lines go to standard output and other texts to their stream; otherwise the first text
// brings the Motif interface up, and any failure to do so switches console mode on for good.
#include "ui/output.h"

#include <stdarg.h>

#include "ui/motif.h"

namespace {

jboolean printToConsole = JNI_TRUE;

}  // namespace

jboolean GetPrintToConsole(void) { return printToConsole; }

void SetPrintToConsole(int mode) { printToConsole = static_cast<jboolean>(mode); }

int statusf(const char *format, ...) {
  if (format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  int ret;
  if (printToConsole || LoadX11(JNI_TRUE) == nullptr)
    ret = vprintf(format, args);
  else
    ret = PrintToStatusWindow(format, args);
  va_end(args);
  return ret;
}

int _fprintf(FILE *stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int ret;
  if (printToConsole || LoadX11(JNI_TRUE) == nullptr)
    ret = vfprintf(stream, format, args);
  else
    ret = PrintToMessageBox(stream == stderr ? 1 : 2, format, args);
  va_end(args);
  fflush(stream);
  return ret;
}

int _printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int ret;
  if (printToConsole || LoadX11(JNI_TRUE) == nullptr)
    ret = vprintf(format, args);
  else
    ret = PrintToMessageBox(2, format, args);
  va_end(args);
  fflush(stdout);
  return ret;
}
