// The Motif interface, loaded at run time: the loader and its function table, the
// event-dispatch thread and the interface lock, the status window and the message box.
//
// Nothing here is linked against X11, Xt or Motif. Their headers are used at compile time only,
// for the types and the published signatures of the 34 functions that the table holds; every
// call goes through a pointer that dlsym found in the Motif library opened with dlopen.
#pragma once

#include <stdarg.h>
#include <stdio.h>

#include <X11/Intrinsic.h>
#include <X11/Xlib.h>
#include <Xm/Xm.h>

#include "base/types.h"

// Published signatures of the functions the interface uses, one type per function.
typedef int (*XCloseDisplay_t)(Display *display);
typedef Display *(*XOpenDisplay_t)(const char *display_name);
typedef int (*XRaiseWindow_t)(Display *display, Window w);
typedef XErrorHandler (*XSetErrorHandler_t)(XErrorHandler handler);
typedef XIOErrorHandler (*XSetIOErrorHandler_t)(XIOErrorHandler handler);
typedef char *(*XSetLocaleModifiers_t)(const char *modifier_list);
typedef Bool (*XSupportsLocale_t)(void);
typedef Widget (*XmCreateErrorDialog_t)(Widget parent, char *name, ArgList al, Cardinal ac);
typedef Widget (*XmCreateInformationDialog_t)(Widget parent, char *name, ArgList al,
                                              Cardinal ac);
typedef Widget (*XmCreateTemplateDialog_t)(Widget parent, char *name, ArgList al, Cardinal ac);
#if NeedWidePrototypes
typedef Widget (*XmMessageBoxGetChild_t)(Widget widget, unsigned int child);
#else
typedef Widget (*XmMessageBoxGetChild_t)(Widget widget, unsigned char child);
#endif
typedef XmString (*XmStringCreateLtoR_t)(char *text, XmStringCharSet charset);
typedef void (*XmStringFree_t)(XmString string);
typedef void (*XtAppNextEvent_t)(XtAppContext app_context, XEvent *event_return);
typedef XtInputMask (*XtAppPending_t)(XtAppContext app_context);
// The handler is declared not to return, as in Xt's header (HandleXtError never does).
typedef XtErrorHandler (*XtAppSetErrorHandler_t)(XtAppContext app_context,
                                                 XtErrorHandler handler _X_NORETURN);
typedef XtErrorHandler (*XtAppSetWarningHandler_t)(XtAppContext app_context,
                                                   XtErrorHandler handler);
typedef void (*XtDestroyWidget_t)(Widget widget);
typedef Boolean (*XtDispatchEvent_t)(XEvent *event);
typedef void (*XtGetValues_t)(Widget widget, ArgList args, Cardinal num_args);
typedef Boolean (*XtIsManaged_t)(Widget rectobj);
typedef void (*XtManageChild_t)(Widget child);
typedef void (*XtRealizeWidget_t)(Widget widget);
typedef Screen *(*XtScreenOfObject_t)(Widget object);
typedef void (*XtUnmanageChild_t)(Widget child);
typedef Widget (*XtVaAppInitialize_t)(XtAppContext *app_context_return,
                                      const char *application_class, XrmOptionDescList options,
                                      Cardinal num_options, int *argc_in_out,
                                      _XtString *argv_in_out, String *fallback_resources, ...);
typedef void (*XtVaSetValues_t)(Widget widget, ...);
typedef Window (*XtWindowOfObject_t)(Widget object);
typedef XFontSet (*XCreateFontSet_t)(Display *display, const char *base_font_name_list,
                                     char ***missing_charset_list, int *missing_charset_count,
                                     char **def_string);
typedef void (*XFreeFontSet_t)(Display *display, XFontSet font_set);
typedef void (*XFreeStringList_t)(char **list);
typedef XmFontListEntry (*XmFontListEntryCreate_t)(char *tag, XmFontType type, XtPointer font);
typedef XmFontList (*XmFontListAppendEntry_t)(XmFontList old, XmFontListEntry entry);
typedef void (*XmFontListEntryFree_t)(XmFontListEntry *entry);

// The entry points, in the order in which they are resolved: the 28 that the windows have always
// used, then the six that make a font set for a multibyte locale. The one list of them: the
// table, the signature checks and the binding (motif.cpp) are all made from it.
#define LAUNCHER_X11_FUNCTIONS(X) \
  X(XCloseDisplay) \
  X(XOpenDisplay) \
  X(XRaiseWindow) \
  X(XSetErrorHandler) \
  X(XSetIOErrorHandler) \
  X(XSetLocaleModifiers) \
  X(XSupportsLocale) \
  X(XmCreateErrorDialog) \
  X(XmCreateInformationDialog) \
  X(XmCreateTemplateDialog) \
  X(XmMessageBoxGetChild) \
  X(XmStringCreateLtoR) \
  X(XmStringFree) \
  X(XtAppNextEvent) \
  X(XtAppPending) \
  X(XtAppSetErrorHandler) \
  X(XtAppSetWarningHandler) \
  X(XtDestroyWidget) \
  X(XtDispatchEvent) \
  X(XtGetValues) \
  X(XtIsManaged) \
  X(XtManageChild) \
  X(XtRealizeWidget) \
  X(XtScreenOfObject) \
  X(XtUnmanageChild) \
  X(XtVaAppInitialize) \
  X(XtVaSetValues) \
  X(XtWindowOfObject) \
  X(XCreateFontSet) \
  X(XFreeFontSet) \
  X(XFreeStringList) \
  X(XmFontListEntryCreate) \
  X(XmFontListAppendEntry) \
  X(XmFontListEntryFree)

// The function table. Allocated once per successful load and owned by the loader.
struct X11Functions {
#define LAUNCHER_X11_FIELD(name) name##_t name;
  LAUNCHER_X11_FUNCTIONS(LAUNCHER_X11_FIELD)
#undef LAUNCHER_X11_FIELD
};

// --- Loader and dispatch thread (motif.cpp) ---

// The function table when the interface is (or now comes) up, null otherwise. With initdisplay
// false only the library and the table are loaded. Any failure tears everything down and
// switches console mode on for good. Main thread only.
X11Functions *LoadX11(jboolean initdisplay);
// Xlib error handler: console mode from now on; returns 0. (An Xt error also switches to the
// console, and is fatal to the toolkit like an I/O error.)
int HandleX11Error(Display *display, XErrorEvent *error);
// Xlib I/O error handler (the connection is lost): console mode from now on, and never returns,
// since Xlib would end the process. On the dispatch thread the windows end and the thread stops
// for good, while the run goes on in console mode; on the main thread the run ends with status
// 1 after the clean-up (ExitFatally).
int HandleX11IOError(Display *display);
// Xt warning handler: toolkit warnings are never shown.
void HandleX11Warning(String message);
// Body of the event-dispatch thread; arg is ignored.
void *DispatchX11Events(void *arg);

// State of the interface, owned by the loader. Valid while the interface is up; null otherwise.
Display *GetX11Display(void);
XtAppContext GetAppContext(void);
Widget GetAppShell(void);
// The status window: made and destroyed by the status window code, forgotten on tear-down.
Widget GetStatusDialog(void);
void SetStatusDialog(Widget dialog);
// In a multibyte locale, the font list that the windows' texts are drawn with: one font set of
// the process locale, covering every character set of the locale, under the tag that
// GetTextTag gives. Null in single-byte locales and when the X server lacks fonts for the locale;
// the windows then keep the toolkit's default font. Owned by the loader.
XmFontList GetLocaleFontList(void);
// The tag of every compound string that the windows draw (their texts and the OK button; not
// the titles, which the window manager shows): the locale font list's tag when there is such a
// list, else the toolkit's default tag ("FONTLIST_DEFAULT_TAG_STRING").
char *GetTextTag(void);
// The tag of the windows' titles: always the toolkit's default tag. A title goes to the window
// manager, not through the windows' fonts; under the default tag the toolkit converts it from
// the process locale, and an ASCII title stays a plain string.
char *GetTitleTag(void);
// Sets one entry of an Xt argument list.
inline void SetArg(Arg &arg, const char *name, XtArgVal value) {
  arg.name = const_cast<String>(name);
  arg.value = value;
}

// Holds the interface lock for a scope, once the interface is up (LoadX11(TRUE)), dispatching,
// and the recursive mutex was taken; false otherwise, and then no toolkit call may be made.
class X11Lock {
 public:
  X11Lock();
  ~X11Lock();
  X11Lock(const X11Lock &) = delete;
  X11Lock &operator=(const X11Lock &) = delete;
  explicit operator bool() const { return funcs_ != nullptr; }
  X11Functions *funcs() const { return funcs_; }

 private:
  X11Functions *funcs_ = nullptr;
};

// --- Status window (status_window.cpp) ---

// Shows one status text; returns the length of the newly formatted part, 0 when the text was
// only kept pending, or the console output's result in a fallback.
int PrintToStatusWindow(const char *format, va_list args);
// Shows share (such as "42%") on a line of its own under the status window's line; null shows
// the line alone again. Nothing when no window shows a line.
void ShowStatusShare(const char *share);
// Removes the status window; the next status text makes a new one.
void HideStatusWindow(void);
// Shows w (or raises it if already shown) and moves it to the centre of its screen.
void CenterAndManageChild(Widget w);
// Formats format/args behind the pending text *cachedmessage, which is consumed (freed and
// cleared). Returns the new string (caller frees); *length receives the length of the newly
// formatted part, or a negative value when formatting failed (the result is then the pending
// text alone).
char *FormatBehindPendingText(char **cachedmessage, const char *format, va_list args,
                              int *length);
// The text where no window can show it: message printed on stream, then freed. Returns what
// fprintf returned.
int PrintWithoutWindow(FILE *stream, char *message);

// --- Message box (message_box.cpp) ---

// Shows one text in a modal box (type 2: information, otherwise error) and returns when it has
// been dismissed; returns the length of the newly formatted part, or the console output's
// result in a fallback.
int PrintToMessageBox(int type, const char *format, va_list args);
