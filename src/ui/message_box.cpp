// The message box: every error, usage text and hint shown in window mode, in a modal Motif box
// with a single OK button, built anew for each text and destroyed once dismissed. The caller
// waits until OK is pressed; meanwhile the box's own event loop serves the whole application,
// the status window included, with the interface lock held.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <Xm/MessageB.h>
#include <Xm/MwmUtil.h>

#include "core/profile.h"
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

}  // namespace

int PrintToMessageBox(int type, const char *format, va_list args) {
  int ret;
  char *message = FormatBehindPendingText(&cachedmessage, format, args, &ret);

  X11Lock guard;
  if (!guard) {
    // Whatever the kind: without a window the text is an error report.
    ret = fprintf(stderr, "%s", message);
    free(message);
    return ret;
  }
  X11Functions *funcs = guard.funcs();
  char *ok = GetLocalizedMessage("ok");
  bool err = false;
  bool keptPending = false;
  XmString xtitle = nullptr;
  XmString xmessage = nullptr;
  XmString xok = nullptr;
  Widget dialog = nullptr;

  size_t len = strlen(message);
  if (len == 0 || message[len - 1] != '\n') {
    cachedmessage = message;
    keptPending = true;
  } else {
    message[len - 1] = '\0';
    char *title = const_cast<char *>(GetTitle());
    char *tag = GetTextTag();
    if ((xtitle = funcs->XmStringCreateLtoR(title, GetTitleTag())) == nullptr ||
        (xmessage = funcs->XmStringCreateLtoR(message, tag)) == nullptr ||
        (xok = funcs->XmStringCreateLtoR(ok, tag)) == nullptr) {
      err = true;
    } else {
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
        dialog = funcs->XmCreateInformationDialog(GetAppShell(),
                                                  const_cast<char *>("Information"), xargs,
                                                  count);
      else
        dialog = funcs->XmCreateErrorDialog(GetAppShell(), const_cast<char *>("Error"), xargs,
                                            count);
      if (dialog == nullptr) err = true;
    }
  }

  if (dialog != nullptr) {
    // Only OK remains.
    const unsigned char unwanted[] = {XmDIALOG_CANCEL_BUTTON, XmDIALOG_HELP_BUTTON};
    for (unsigned char child : unwanted) {
      Widget button = funcs->XmMessageBoxGetChild(dialog, child);
      if (button != nullptr) funcs->XtUnmanageChild(button);
    }
    CenterAndManageChild(dialog);

    XtAppContext appcontext = GetAppContext();
    if (appcontext == nullptr) {
      err = true;
    } else {
      // OK unmanages the box (the toolkit's behaviour for message boxes), ending the wait.
      while (funcs->XtIsManaged(dialog)) {
        XEvent event;
        funcs->XtAppNextEvent(appcontext, &event);
        funcs->XtDispatchEvent(&event);
      }
    }
  }

  if (xtitle != nullptr) funcs->XmStringFree(xtitle);
  if (xmessage != nullptr) funcs->XmStringFree(xmessage);
  if (xok != nullptr) funcs->XmStringFree(xok);
  free(ok);
  if (dialog != nullptr) funcs->XtDestroyWidget(dialog);
  if (err) ret = fprintf(stdout, "%s", message);
  if (!keptPending) free(message);
  return ret;
}
