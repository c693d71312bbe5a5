// The Motif interface, loaded at run time: the loader and function table, the event-dispatch
// thread and the interface lock, the status window and the message box.
#pragma once

#include <stdarg.h>

#include "core/types.h"

struct X11Functions;

// The function table when the interface is (or now comes) up, null otherwise. Any failure
// switches console mode on for good.
X11Functions *LoadX11(jboolean initdisplay);
int PrintToStatusWindow(const char *format, va_list args);
void HideStatusWindow(void);
int PrintToMessageBox(int type, const char *format, va_list args);
