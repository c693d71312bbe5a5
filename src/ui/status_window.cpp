// The status window: progress lines shown one at a time in a small undecorated window in the
// centre of the screen, each new line replacing the last. A text that does not yet end with a
// newline is kept and shown joined with the next one. Also home of what the message box shares
// with it: the centring, the formatting behind a pending text, and the printing instead where
// no window can be had.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <Xm/MessageB.h>

#include "base/memory.h"
#include "i18n/locale.h"
#include "ui/motif.h"

namespace {

char *cachedmessage = nullptr;
// The line that the status window shows (without a share), or null.
char *shownline = nullptr;
// Whether a share stands under that line.
bool shareShown = false;

// Makes the status window (not yet shown); false when the toolkit would not.
bool MakeStatusDialog(X11Functions *funcs) {
  XmString xtitle = funcs->XmStringCreateLtoR(const_cast<char *>(GetTitle()), GetTitleTag());
  if (xtitle == nullptr) return false;
  Arg xargs[9];
  Cardinal count = 8;
  SetArg(xargs[0], "dialogTitle", reinterpret_cast<XtArgVal>(xtitle));
  SetArg(xargs[1], "mwmDecorations", 0);
  SetArg(xargs[2], "mwmFunctions", 0);
  SetArg(xargs[3], "width", 400);
  SetArg(xargs[4], "height", 100);
  SetArg(xargs[5], "resizePolicy", XmRESIZE_GROW);
  SetArg(xargs[6], "messageAlignment", XmALIGNMENT_CENTER);
  SetArg(xargs[7], "dialogStyle", XmDIALOG_MODELESS);
  if (XmFontList fonts = GetLocaleFontList())
    SetArg(xargs[count++], "labelFontList", reinterpret_cast<XtArgVal>(fonts));
  Widget dialog =
      funcs->XmCreateTemplateDialog(GetAppShell(), const_cast<char *>("Status"), xargs, count);
  funcs->XmStringFree(xtitle);  // the dialog keeps a copy
  if (dialog == nullptr) return false;
  SetStatusDialog(dialog);
  // Without its separator a template dialog is only the centred text.
  Widget separator = funcs->XmMessageBoxGetChild(dialog, XmDIALOG_SEPARATOR);
  if (separator != nullptr) funcs->XtUnmanageChild(separator);
  return true;
}

// Shows text (a whole line, its newline cut off) in the status window, centred and raised
// unless only the share under an unchanged line moved on; false when the toolkit would not make
// the string.
bool ShowStatusText(X11Functions *funcs, char *text, bool center = true) {
  XmString xmessage = funcs->XmStringCreateLtoR(text, GetTextTag());
  if (xmessage == nullptr) return false;
  funcs->XtVaSetValues(GetStatusDialog(), "messageString", reinterpret_cast<XtArgVal>(xmessage),
                       static_cast<void *>(nullptr));
  if (center) CenterAndManageChild(GetStatusDialog());
  funcs->XmStringFree(xmessage);
  return true;
}

}  // namespace

char *FormatBehindPendingText(char **pending, const char *format, va_list args, int *length) {
  constexpr int increment = 1024;
  int size = 1024;
  size_t cachedlen = *pending != nullptr ? strlen(*pending) : 0;
  if (format == nullptr) format = "";
  char *message;
  int ret;
  for (;;) {
    message = static_cast<char *>(MemAlloc(cachedlen + static_cast<size_t>(size)));
    memcpy(message, *pending != nullptr ? *pending : "", cachedlen);
    va_list copy;
    va_copy(copy, args);
    ret = vsnprintf(message + cachedlen, static_cast<size_t>(size), format, copy);
    va_end(copy);
    // A text that cannot be formatted (or would not fit in an int) is dropped, keeping the
    // pending part; growing further would never end.
    if (ret < 0 || ret > INT_MAX - increment) {
      message[cachedlen] = '\0';
      ret = -1;
      break;
    }
    if (ret < size) break;
    free(message);
    // Steps of increment, straight to the first size that holds the whole text.
    size += ((ret - size) / increment + 1) * increment;
  }
  free(*pending);
  *pending = nullptr;
  *length = ret;
  return message;
}

int PrintWithoutWindow(FILE *stream, char *message) {
  int ret = fprintf(stream, "%s", message);
  free(message);
  return ret;
}

int PrintToStatusWindow(const char *format, va_list args) {
  int ret;
  char *message = FormatBehindPendingText(&cachedmessage, format, args, &ret);
  X11Lock guard;
  if (!guard) return PrintWithoutWindow(stdout, message);

  bool shown = GetStatusDialog() != nullptr || MakeStatusDialog(guard.funcs());
  if (shown) {
    size_t len = strlen(message);
    if (len == 0 || message[len - 1] != '\n') {
      cachedmessage = message;
      return 0;
    }
    message[len - 1] = '\0';
    shown = ShowStatusText(guard.funcs(), message);
  }
  if (!shown) return PrintWithoutWindow(stdout, message);
  free(shownline);
  shownline = message;
  shareShown = false;
  return ret;
}

void ShowStatusShare(const char *share) {
  X11Lock guard;
  if (!guard || GetStatusDialog() == nullptr || shownline == nullptr) return;
  const size_t linelen = strlen(shownline);
  const size_t sharelen = share != nullptr ? strlen(share) : 0;
  char *text = static_cast<char *>(MemAlloc(linelen + sharelen + 2));
  memcpy(text, shownline, linelen + 1);
  if (share != nullptr) {
    text[linelen] = '\n';
    memcpy(text + linelen + 1, share, sharelen + 1);
  }
  // The window grows or shrinks by a line only when the share comes or goes; a share that moves
  // on leaves it where it is, and wherever the user put other windows.
  const bool center = (share != nullptr) != shareShown;
  if (ShowStatusText(guard.funcs(), text, center)) shareShown = share != nullptr;
  free(text);
}

void CenterAndManageChild(Widget w) {
  X11Lock guard;
  if (!guard) return;
  X11Functions *funcs = guard.funcs();

  Screen *screen = funcs->XtScreenOfObject(w);
  Dimension screenwidth = static_cast<Dimension>(WidthOfScreen(screen));
  Dimension screenheight = static_cast<Dimension>(HeightOfScreen(screen));
  if (funcs->XtIsManaged(w))
    funcs->XRaiseWindow(GetX11Display(), funcs->XtWindowOfObject(w));
  else
    funcs->XtManageChild(w);

  // Read only now: a dialog that was just managed reports its real size.
  Dimension width = 0;
  Dimension height = 0;
  Arg xargs[2];
  SetArg(xargs[0], "width", reinterpret_cast<XtArgVal>(&width));
  SetArg(xargs[1], "height", reinterpret_cast<XtArgVal>(&height));
  funcs->XtGetValues(w, xargs, 2);

  Position x = 0;
  Position y = 0;
  if (screenwidth > width) x = static_cast<Position>((screenwidth - width) / 2);
  if (screenheight > height) y = static_cast<Position>((screenheight - height) / 2);
  funcs->XtVaSetValues(w, "x", static_cast<XtArgVal>(x), "y", static_cast<XtArgVal>(y),
                       static_cast<void *>(nullptr));
}

void HideStatusWindow(void) {
  {
    X11Lock guard;
    Widget dialog = GetStatusDialog();
    if (guard && dialog != nullptr) {
      guard.funcs()->XtUnmanageChild(dialog);
      guard.funcs()->XtDestroyWidget(dialog);
    }
  }
  SetStatusDialog(nullptr);
}
