// Shared pieces of the interface tests: process facts (threads, sockets, loaded libraries),
// catalog texts, a fixture that brings the interface up on a private X server, and
// toolkit calls beyond the launcher's table that the tests use to look inside the dialogs. Those
// are found with dlsym in the Motif library that the loader opened; nothing is linked.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support.h"
#include "xserver.h"

// X headers last: their macros (None, Bool, Status, ...) must not meet GoogleTest's names.
#include "base/types.h"
#include "ui/motif.h"
#include "ui/output.h"

namespace uitest {

using support::Capture;
using support::SleepMs;

int ThreadCount();
int SocketCount();
// Whether a library of that name or path is loaded in this process.
bool IsLoaded(const char *name);
// The catalog text of key in the launcher's current locale.
std::string Message(const char *key);

// The text of an XmString resource of w (lines joined with "\n"); caller holds the lock.
std::string StringResource(Widget w, const char *resource);
// An unsigned char resource of w; caller holds the lock.
int ByteResource(Widget w, const char *resource);
// XtNameToWidget, XtParent and XtAppAddTimeOut from the loaded toolkit.
Widget NameToWidget(Widget reference, const char *names);
Widget Parent(Widget w);
void AddTimeOut(unsigned long ms, XtTimerCallbackProc proc, XtPointer data);
// XSync on the launcher's own display connection.
void Sync();

// Sets the locale variables (null: unset; LC_CTYPE and LC_MESSAGES always go) and has the
// launcher take its locale from them again.
void UseLocale(const char *lcAll, const char *lang);

// The tags of the text segments of an XmString resource of w, in order; caller holds the lock.
std::vector<std::string> SegmentTags(Widget w, const char *resource);
// The font list that w draws with (its "fontList" resource; owned by w); caller holds the lock.
XmFontList FontListOf(Widget w);
// The first font-set entry of a font list: its tag and font set; fontset is null when the list
// has none (it has only fonts).
struct FontSetEntry {
  std::string tag;
  XFontSet fontset = nullptr;
};
FontSetEntry FindFontSet(XmFontList fonts);
// How many character sets of the current locale a font set made anew from the base names of
// fontset lacks on the launcher's display (-1 when none can be made at all).
int MissingCharsets(XFontSet fontset);
// The pixels of the compound string resource `resource` of w drawn by the toolkit with the font
// list `fonts`, and of `text` drawn by Xlib's multibyte call with `fontset` at the same baseline,
// each on a pixmap of its own of the string's size, black on white. Caller holds the lock.
struct Drawings {
  std::vector<unsigned long> toolkit, xlib;
  int width = 0, height = 0;
  // Columns of the xlib drawing that hold ink.
  int InkedColumns() const;
};
Drawings DrawBoth(Widget w, const char *resource, XmFontList fonts, XFontSet fontset,
                  const std::string &text);

// A private X server and the interface brought up on it, in window mode. Each test case runs in
// a process of its own (ctest starts every case alone): the interface, once up, stays up.
class WindowedUi : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The screen of the private server.
  virtual int ScreenWidth() const { return 1024; }
  virtual int ScreenHeight() const { return 768; }
  // The server's font path; empty for its own.
  virtual std::string FontPath() const { return ""; }
  // Runs before the interface comes up: the place to choose the locale.
  virtual void BeforeLoad() {}

  std::unique_ptr<xtest::XServer> server;
  X11Functions *funcs = nullptr;
};

}  // namespace uitest
