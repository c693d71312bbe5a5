// The Motif loader: opens the Motif library at run time, resolves the function table, connects
// to the X server, realises an invisible application shell, makes the font set that multibyte
// texts are drawn with, and starts the event-dispatch thread that keeps the windows alive while
// the main thread works. Every failure on the way tears all of it down again and switches
// console mode on for good, so the launcher runs unchanged where there is no X server or no
// Motif library (a server without fonts for the locale is no failure). After the shell is
// realised, every toolkit call is made with the one recursive interface lock held.
#include "ui/motif.h"

#include <dlfcn.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <Xm/MessageB.h>

#include <atomic>
#include <type_traits>

#include "base/memory.h"
#include "base/signals.h"
#include "i18n/locale.h"
#include "ui/output.h"
#include "ui/testing.h"

// The table's types must be exactly the published ones; decltype does not reference the
// functions, so nothing is linked. (Xt's sentinel attributes do not take part in the type.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
#define LAUNCHER_CHECK_SIGNATURE(name)                            \
  static_assert(std::is_same<name##_t, decltype(&::name)>::value, \
                #name "_t differs from the published signature");
LAUNCHER_X11_FUNCTIONS(LAUNCHER_CHECK_SIGNATURE)
#undef LAUNCHER_CHECK_SIGNATURE
#pragma GCC diagnostic pop
static_assert(sizeof(X11Functions) == 34 * sizeof(void (*)(void)), "34 entry points");

namespace {

// Each version first under the old fixed X11 directory, then through the dynamic linker's
// search path, from the newest down to the unversioned name.
const char *const kMotifLibraryNames[] = {
    "/usr/X11R6/lib/libXm.so.4", "libXm.so.4", "/usr/X11R6/lib/libXm.so.3", "libXm.so.3",
    "/usr/X11R6/lib/libXm.so.2", "libXm.so.2", "/usr/X11R6/lib/libXm.so.1", "libXm.so.1",
    "/usr/X11R6/lib/libXm.so",   "libXm.so",
};
const char *const *libraryNames = kMotifLibraryNames;
int libraryNameCount = sizeof kMotifLibraryNames / sizeof kMotifLibraryNames[0];

constexpr int mode = RTLD_NOW | RTLD_GLOBAL;

void *libgui = nullptr;
X11Functions *x11funcs = nullptr;
Display *display = nullptr;
XtAppContext appcontext = nullptr;
Widget appshell = nullptr;
Widget statusdialog = nullptr;
XmFontList localeFontList = nullptr;

char kDefaultTag[] = "FONTLIST_DEFAULT_TAG_STRING";
char kLocaleTag[] = "LOCALE_FONTSET";

// Base names of the locale's font set, tried in this order for each character set of the
// locale: the toolkit's own default font first (so that Latin letters look as in the other
// languages), then the plain fixed faces at the sizes that go with it, then any upright medium
// face, then anything at all.
const char kFontSetBaseNames[] =
    "fixed,-*-fixed-medium-r-normal--14-*,-*-fixed-medium-r-normal--16-*,"
    "-*-*-medium-r-normal--*,-*-*-*-*-*--*";

// The dispatch thread reads this without the lock; the main thread clears it to stop the
// thread and then joins it.
std::atomic<bool> dispatch{false};
pthread_mutex_t lock;
pthread_mutexattr_t lockattributes;
pthread_t tid;
bool threadStarted = false;
// Set by the dispatch thread itself: fatal toolkit errors end differently there.
thread_local bool onDispatchThread = false;

int loadingx11 = 0;
int nox11 = 0;

// Tells the dispatch thread to stop and waits until it has.
void StopDispatchThread() {
  dispatch = false;
  if (threadStarted) {
    pthread_join(tid, nullptr);
    threadStarted = false;
  }
}

X11Functions *TearDown() {
  SetPrintToConsole(1);
  if (dispatch) {
    StopDispatchThread();
    pthread_mutex_destroy(&lock);
    pthread_mutexattr_destroy(&lockattributes);
  }
  if (x11funcs != nullptr) {
    if (display != nullptr) x11funcs->XCloseDisplay(display);
    display = nullptr;
    free(x11funcs);
    x11funcs = nullptr;
  }
  appcontext = nullptr;
  appshell = nullptr;
  statusdialog = nullptr;
  localeFontList = nullptr;
  if (libgui != nullptr) dlclose(libgui);
  libgui = nullptr;
  loadingx11 = 0;
  return nullptr;
}

template <typename T>
bool Bind(T &field, const char *name) {
  void *address = dlsym(libgui, name);
  if (address == nullptr) return false;
  field = reinterpret_cast<T>(address);
  return true;
}

// Fills the table in its order; false at the first name that does not resolve.
bool ResolveFunctions(X11Functions *f) {
#define LAUNCHER_BIND(name) \
  if (!Bind(f->name, #name)) return false;
  LAUNCHER_X11_FUNCTIONS(LAUNCHER_BIND)
#undef LAUNCHER_BIND
  return true;
}

// The catalog's texts arrive in the character set of the process locale. Two things stand
// between a multibyte text and its glyphs. The toolkit's default font is one ISO 8859-1 font,
// which draws the text byte by byte. And Motif does not take the character set of a text under
// its default tag from the process locale but from LANG (read once), and draws with the UTF-8
// calls when LANG names UTF-8; the launcher runs in the non-UTF-8 form of a UTF-8 locale, and
// LC_ALL or LC_CTYPE may name another locale than LANG, so the two disagree often. In a multibyte
// locale the windows therefore draw their texts with a font set of the process locale, under a
// tag of their own: text under any other tag Motif hands to the multibyte calls of Xlib, which
// read it in the font set's locale. A server that lacks fonts for any of the locale's character
// sets keeps the default font, and nothing is said: fonts are the X server's matter.
void MakeLocaleFontList() {
  if (MB_CUR_MAX <= 1) return;
  // The toolkit's own connection: the widgets draw there.
  Display *toolkitDisplay = DisplayOfScreen(x11funcs->XtScreenOfObject(appshell));
  char **missing = nullptr;
  int count = 0;
  char *defaultString = nullptr;
  XFontSet fontset = x11funcs->XCreateFontSet(toolkitDisplay, kFontSetBaseNames, &missing,
                                              &count, &defaultString);
  if (missing != nullptr) x11funcs->XFreeStringList(missing);
  if (fontset == nullptr) return;
  XmFontListEntry entry = nullptr;
  if (count == 0)
    entry = x11funcs->XmFontListEntryCreate(kLocaleTag, XmFONT_IS_FONTSET, fontset);
  if (entry != nullptr) {
    localeFontList = x11funcs->XmFontListAppendEntry(nullptr, entry);
    x11funcs->XmFontListEntryFree(&entry);
  }
  // The font set lives as long as the interface, which is never shut down.
  if (localeFontList == nullptr) x11funcs->XFreeFontSet(toolkitDisplay, fontset);
}

// The interface is never shut down; the process simply ends. But while the exit functions and
// the libraries' destructors run, the dispatch thread must not be inside the toolkit, so the
// first exit function takes the lock for good (at once when this thread already holds it, else
// after the current drain) and the thread stays out.
void KeepDispatchOutAtExit() {
  if (!dispatch) return;
  if (pthread_mutex_lock(&lock) == 0) dispatch = false;
}

// After a fatal toolkit error (the connection to the X server lost, an Xt error) there is no way
// back into the toolkit: Xlib ends the process when its I/O error handler returns, and Xt's
// error handlers are declared not to return (returning crashes). Met on the dispatch thread,
// where it comes while the thread polls for events (most often while the Java program runs),
// the error ends only the windows: the thread gives up the interface lock and stops for good
// inside the handler, and the run goes on in console mode to its normal end. Met on the main
// thread, inside a toolkit call, it ends the run as a launcher failure, with the clean-up.
[[noreturn]] void EndAfterFatalToolkitError() {
  SetPrintToConsole(1);
  if (onDispatchThread) {
    // Cleared before the lock is given up: a main thread that waited for the lock finds the
    // interface gone once it has it (X11Lock), and makes no toolkit call.
    dispatch = false;
    pthread_mutex_unlock(&lock);  // taken for the drain in which the error came
    for (;;) pause();             // every signal is blocked on this thread
  }
  ExitFatally(1);
}

_X_NORETURN void HandleXtError(String message) {
  SetPrintToConsole(1);
  if (message != nullptr) fprintf(stderr, "%s\n", message);
  EndAfterFatalToolkitError();
}

// Opens the Motif library under the first name that loads and resolves the function table, once;
// false when either fails. A library that no name loads is not looked for again.
bool OpenMotifLibrary() {
  if (libgui == nullptr) {
    for (int i = 0; i < libraryNameCount && libgui == nullptr; i++)
      libgui = dlopen(libraryNames[i], mode);
    if (libgui == nullptr) {
      nox11 = 1;
      return false;
    }
  }
  if (x11funcs == nullptr) {
    x11funcs = static_cast<X11Functions *>(MemAlloc(sizeof(X11Functions)));
    if (!ResolveFunctions(x11funcs)) return false;
  }
  return true;
}

// Connects to the X server with the launcher's error handlers, brings up the toolkit with an
// invisible, realised application shell and makes the locale's font list; false when the server
// or the toolkit refuses.
bool ConnectShell() {
  display = x11funcs->XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  x11funcs->XSetErrorHandler(HandleX11Error);
  x11funcs->XSetIOErrorHandler(HandleX11IOError);
  if (!x11funcs->XSupportsLocale()) {
    setlocale(LC_ALL, "C");
    UpdateLocale();
  }
  x11funcs->XSetLocaleModifiers("");

  int argc = 0;
  appshell = x11funcs->XtVaAppInitialize(&appcontext, GetTitle(), nullptr, 0, &argc, nullptr,
                                         nullptr, static_cast<void *>(nullptr));
  if (appshell == nullptr || appcontext == nullptr) return false;
  // Xt reads every value as an XtArgVal, so each is passed at that width.
  x11funcs->XtVaSetValues(appshell, "mappedWhenManaged", static_cast<XtArgVal>(False),
                          static_cast<void *>(nullptr));
  x11funcs->XtAppSetErrorHandler(appcontext, HandleXtError);
  x11funcs->XtAppSetWarningHandler(appcontext, HandleX11Warning);
  x11funcs->XtRealizeWidget(appshell);
  MakeLocaleFontList();
  return true;
}

// Makes the interface lock and starts the event-dispatch thread at the highest priority of its
// policy; false when any of it fails.
bool StartDispatchThread() {
  if (pthread_mutexattr_init(&lockattributes) != 0) return false;
  if (pthread_mutexattr_settype(&lockattributes, PTHREAD_MUTEX_RECURSIVE) != 0 ||
      pthread_mutex_init(&lock, &lockattributes) != 0) {
    pthread_mutexattr_destroy(&lockattributes);
    return false;
  }
  dispatch = true;

  // The dispatch thread starts with every signal blocked, so the launcher's handlers always
  // run on the main thread, which stops its work while the clean-up deletes the tree.
  int created;
  {
    SignalsHeld held;
    created = pthread_create(&tid, nullptr, DispatchX11Events, nullptr);
  }
  if (created != 0) return false;
  threadStarted = true;
  static bool exitGuarded = false;
  if (!exitGuarded) exitGuarded = atexit(KeepDispatchOutAtExit) == 0;

  int policy;
  struct sched_param priority;
  if (pthread_getschedparam(tid, &policy, &priority) != 0) return false;
  priority.sched_priority = sched_get_priority_max(policy);
  if (priority.sched_priority == -1) return false;
  return pthread_setschedparam(tid, policy, &priority) == 0;
}

}  // namespace

int HandleX11Error(Display *, XErrorEvent *) {
  SetPrintToConsole(1);
  return 0;
}

int HandleX11IOError(Display *) { EndAfterFatalToolkitError(); }

void HandleX11Warning(String) {}

X11Functions *LoadX11(jboolean initdisplay) {
  if (loadingx11 || nox11) return nullptr;
  loadingx11 = 1;
  if (!OpenMotifLibrary()) return TearDown();
  if (initdisplay && appshell == nullptr && !(ConnectShell() && StartDispatchThread()))
    return TearDown();
  loadingx11 = 0;
  return x11funcs;
}

void *DispatchX11Events(void *) {
  onDispatchThread = true;
  const struct timespec interval = {0, 100000000};
  while (dispatch && x11funcs != nullptr && appcontext != nullptr) {
    if (dispatch && pthread_mutex_lock(&lock) == 0) {
      // Only X events are taken here: with nothing but a timer pending, XtAppNextEvent would
      // run the timer and then block for the next X event with the lock held.
      while ((x11funcs->XtAppPending(appcontext) & XtIMXEvent) != 0) {
        XEvent event;
        x11funcs->XtAppNextEvent(appcontext, &event);
        x11funcs->XtDispatchEvent(&event);
      }
      pthread_mutex_unlock(&lock);
    }
    nanosleep(&interval, nullptr);
  }
  return nullptr;
}

Display *GetX11Display(void) { return display; }

XtAppContext GetAppContext(void) { return appcontext; }

Widget GetAppShell(void) { return appshell; }

Widget GetStatusDialog(void) { return statusdialog; }

void SetStatusDialog(Widget dialog) { statusdialog = dialog; }

XmFontList GetLocaleFontList(void) { return localeFontList; }

char *GetTextTag(void) { return localeFontList != nullptr ? kLocaleTag : kDefaultTag; }

char *GetTitleTag(void) { return kDefaultTag; }

X11Lock::X11Lock() {
  X11Functions *funcs = LoadX11(JNI_TRUE);
  if (funcs != nullptr && dispatch && pthread_mutex_lock(&lock) == 0) {
    // The dispatch thread may have lost the connection while this thread waited.
    if (dispatch)
      funcs_ = funcs;
    else
      pthread_mutex_unlock(&lock);
  }
}

X11Lock::~X11Lock() {
  if (funcs_ != nullptr) pthread_mutex_unlock(&lock);
}

void SetMotifLibraryNamesForTesting(const char *const *names, int count) {
  if (names == nullptr) {
    libraryNames = kMotifLibraryNames;
    libraryNameCount = sizeof kMotifLibraryNames / sizeof kMotifLibraryNames[0];
  } else {
    libraryNames = names;
    libraryNameCount = count;
  }
}

jboolean IsDispatchingForTesting(void) { return dispatch ? JNI_TRUE : JNI_FALSE; }

void StopDispatchForTesting(void) {
  if (dispatch) StopDispatchThread();
}
