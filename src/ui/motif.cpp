// The Motif interface is not part of this build yet: LoadX11 reports that no interface can be
// brought up, which switches console mode on, exactly as when no Motif library is installed.
#include "ui/motif.h"

#include <stdio.h>

#include "ui/output.h"

X11Functions *LoadX11(jboolean) {
  SetPrintToConsole(1);
  return nullptr;
}

int PrintToStatusWindow(const char *format, va_list args) { return vprintf(format, args); }

void HideStatusWindow(void) {}

int PrintToMessageBox(int, const char *format, va_list args) {
  return vfprintf(stderr, format, args);
}
