// The message box: every error, usage text and hint shown in window mode, in a modal Motif box
// with a single OK button, built anew for each text and destroyed once dismissed. The caller
// waits until OK is pressed; meanwhile the box's own event loop serves the whole application,
// the status window included, with the interface lock held.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <Xm/MessageB.h>
#include <Xm/MwmUtil.h>

#include "i18n/locale.h"
#include "ui/motif.h"

namespace {

// Separate from the status window's: a pending error text is completed only by the next box.
char *cachedmessage = nullptr;

constexpr int kInformation = 2;

// With the _ALL bit set, the hints name what the window manager leaves out: the box can be
// moved and closed, but not resized, minimised or maximised.
constexpr XtArgVal kDecorations =
    MWM_DECOR_ALL | MWM_DECOR_RESIZEH | MWM_DECOR_MINIMIZE | MWM_DECOR_MAXIMIZE;
constexpr XtArgVal kFunctions =
    MWM_FUNC_ALL | MWM_FUNC_RESIZE | MWM_FUNC_MINIMIZE | MWM_FUNC_MAXIMIZE;
static_assert(kDecorations == 101 && kFunctions == 27, "window manager hints");

// Makes the box of the kind type (kInformation, or an error box) with its title, text and OK
// label; null when the toolkit would not.
Widget CreateBox(X11Functions *funcs, int type, XmString xtitle, XmString xmessage, XmString xok) {
  Arg xargs[9];
  Cardinal count = 7;
  SetArg(xargs[0], "dialogTitle", reinterpret_cast<XtArgVal>(xtitle));
  SetArg(xargs[1], "messageString", reinterpret_cast<XtArgVal>(xmessage));
  SetArg(xargs[2], "defaultButtonType", XmDIALOG_OK_BUTTON);
  SetArg(xargs[3], "dialogStyle", XmDIALOG_PRIMARY_APPLICATION_MODAL);
  SetArg(xargs[4], "mwmDecorations", kDecorations);
  SetArg(xargs[5], "mwmFunctions", kFunctions);
  SetArg(xargs[6], "okLabelString", reinterpret_cast<XtArgVal>(xok));
  // The text and the OK button in the locale's font set, where it has one.
  if (XmFontList fonts = GetLocaleFontList()) {
    SetArg(xargs[count++], "labelFontList", reinterpret_cast<XtArgVal>(fonts));
    SetArg(xargs[count++], "buttonFontList", reinterpret_cast<XtArgVal>(fonts));
  }
  if (static_cast<unsigned char>(type) == kInformation)
    return funcs->XmCreateInformationDialog(GetAppShell(), const_cast<char *>("Information"),
                                            xargs, count);
  return funcs->XmCreateErrorDialog(GetAppShell(), const_cast<char *>("Error"), xargs, count);
}

// Shows the box with only its OK button and serves the whole application until OK is pressed;
// false when there is no application context to wait in.
bool WaitForOk(X11Functions *funcs, Widget dialog) {
  const unsigned char unwanted[] = {XmDIALOG_CANCEL_BUTTON, XmDIALOG_HELP_BUTTON};
  for (unsigned char child : unwanted) {
    Widget button = funcs->XmMessageBoxGetChild(dialog, child);
    if (button != nullptr) funcs->XtUnmanageChild(button);
  }
  CenterAndManageChild(dialog);
  XtAppContext appcontext = GetAppContext();
  if (appcontext == nullptr) return false;
  // OK unmanages the box (the toolkit's behaviour for message boxes), ending the wait.
  while (funcs->XtIsManaged(dialog)) {
    XEvent event;
    funcs->XtAppNextEvent(appcontext, &event);
    funcs->XtDispatchEvent(&event);
  }
  return true;
}

// Shows text (a whole line, its newline cut off) in a box of the kind type until it is
// dismissed, then destroys the box; false when the box could not be made or waited for.
bool ShowBox(X11Functions *funcs, int type, char *text) {
  char *ok = GetLocalizedMessage("ok");
  char *tag = GetTextTag();
  XmString xtitle = funcs->XmStringCreateLtoR(const_cast<char *>(GetTitle()), GetTitleTag());
  XmString xmessage = xtitle != nullptr ? funcs->XmStringCreateLtoR(text, tag) : nullptr;
  XmString xok = xmessage != nullptr ? funcs->XmStringCreateLtoR(ok, tag) : nullptr;
  Widget dialog = xok != nullptr ? CreateBox(funcs, type, xtitle, xmessage, xok) : nullptr;
  const bool shown = dialog != nullptr && WaitForOk(funcs, dialog);
  if (xtitle != nullptr) funcs->XmStringFree(xtitle);
  if (xmessage != nullptr) funcs->XmStringFree(xmessage);
  if (xok != nullptr) funcs->XmStringFree(xok);
  free(ok);
  if (dialog != nullptr) funcs->XtDestroyWidget(dialog);
  return shown;
}

}  // namespace

int PrintToMessageBox(int type, const char *format, va_list args) {
  int ret;
  char *message = FormatBehindPendingText(&cachedmessage, format, args, &ret);
  X11Lock guard;
  // Whatever the kind: without a window the text is an error report.
  if (!guard) return PrintWithoutWindow(stderr, message);

  size_t len = strlen(message);
  if (len == 0 || message[len - 1] != '\n') {
    cachedmessage = message;
    return ret;
  }
  message[len - 1] = '\0';
  if (!ShowBox(guard.funcs(), type, message)) ret = fprintf(stdout, "%s", message);
  free(message);
  return ret;
}
