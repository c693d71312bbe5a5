#include "ui_support.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <Xm/Xm.h>

#include "i18n/locale.h"
#include "ui/testing.h"

namespace uitest {
namespace {

template <typename T>
T Toolkit(const char *name) {
  void *address = dlsym(RTLD_DEFAULT, name);
  EXPECT_NE(address, nullptr) << name << " not found in the loaded toolkit";
  return reinterpret_cast<T>(address);
}

bool processUsed = false;

struct Segment {
  std::string text, tag;
  bool separator;
};

// The text segments of an XmString resource of w; false when it has none. Caller holds the lock.
bool Segments(Widget w, const char *resource, std::vector<Segment> *segments) {
  typedef Boolean (*InitContext)(XmStringContext *, XmString);
  typedef Boolean (*NextSegment)(XmStringContext, char **, XmStringCharSet *,
                                 XmStringDirection *, Boolean *);
  typedef void (*FreeContext)(XmStringContext);
  typedef void (*Free)(char *);
  XmString value = nullptr;
  Arg arg = {const_cast<String>(resource), reinterpret_cast<XtArgVal>(&value)};
  X11Functions *f = LoadX11(JNI_TRUE);
  f->XtGetValues(w, &arg, 1);
  if (value == nullptr) return false;
  XmStringContext context;
  if (Toolkit<InitContext>("XmStringInitContext")(&context, value)) {
    char *text;
    XmStringCharSet tag;
    XmStringDirection direction;
    Boolean separator;
    while (Toolkit<NextSegment>("XmStringGetNextSegment")(context, &text, &tag, &direction,
                                                           &separator)) {
      segments->push_back({text, tag != nullptr ? tag : "", separator != 0});
      Toolkit<Free>("XtFree")(text);
      Toolkit<Free>("XtFree")(tag);
    }
    Toolkit<FreeContext>("XmStringFreeContext")(context);
  }
  // Motif hands out a copy of a compound string resource.
  f->XmStringFree(value);
  return true;
}

}  // namespace

int ThreadCount() { return static_cast<int>(support::Entries("/proc/self/task").size()); }

int SocketCount() {
  int n = 0;
  for (const std::string &fd : support::Entries("/proc/self/fd")) {
    char target[256];
    ssize_t len = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
    n += len >= 7 && strncmp(target, "socket:", 7) == 0;
  }
  return n;
}

std::string Message(const char *key) {
  char *text = GetLocalizedMessage(key);
  std::string s = text;
  free(text);
  return s;
}

bool IsLoaded(const char *name) {
  void *handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

std::string StringResource(Widget w, const char *resource) {
  std::vector<Segment> segments;
  if (!Segments(w, resource, &segments)) return "<none>";
  std::string result;
  for (const Segment &s : segments) result += s.text + (s.separator ? "\n" : "");
  return result;
}

int ByteResource(Widget w, const char *resource) {
  unsigned char value = 0xff;
  Arg arg = {const_cast<String>(resource), reinterpret_cast<XtArgVal>(&value)};
  LoadX11(JNI_TRUE)->XtGetValues(w, &arg, 1);
  return value;
}

Widget NameToWidget(Widget reference, const char *names) {
  return Toolkit<Widget (*)(Widget, const char *)>("XtNameToWidget")(reference, names);
}

Widget Parent(Widget w) { return Toolkit<Widget (*)(Widget)>("XtParent")(w); }

void AddTimeOut(unsigned long ms, XtTimerCallbackProc proc, XtPointer data) {
  typedef XtIntervalId (*AddTimeOutProc)(XtAppContext, unsigned long, XtTimerCallbackProc,
                                         XtPointer);
  Toolkit<AddTimeOutProc>("XtAppAddTimeOut")(GetAppContext(), ms, proc, data);
}

void Sync() { Toolkit<int (*)(Display *, Bool)>("XSync")(GetX11Display(), False); }

void UseLocale(const char *lcAll, const char *lang) {
  unsetenv("LC_CTYPE");
  unsetenv("LC_MESSAGES");
  if (lcAll != nullptr)
    setenv("LC_ALL", lcAll, 1);
  else
    unsetenv("LC_ALL");
  if (lang != nullptr)
    setenv("LANG", lang, 1);
  else
    unsetenv("LANG");
  UpdateLocale();
}

std::vector<std::string> SegmentTags(Widget w, const char *resource) {
  std::vector<Segment> segments;
  Segments(w, resource, &segments);
  std::vector<std::string> tags;
  for (const Segment &s : segments) tags.push_back(s.tag);
  return tags;
}

XmFontList FontListOf(Widget w) {
  XmFontList fonts = nullptr;
  Arg arg = {const_cast<String>("fontList"), reinterpret_cast<XtArgVal>(&fonts)};
  LoadX11(JNI_TRUE)->XtGetValues(w, &arg, 1);
  return fonts;
}

FontSetEntry FindFontSet(XmFontList fonts) {
  FontSetEntry found;
  XmFontContext context;
  if (fonts == nullptr ||
      !Toolkit<decltype(&XmFontListInitFontContext)>("XmFontListInitFontContext")(&context,
                                                                                  fonts))
    return found;
  auto next = Toolkit<decltype(&XmFontListNextEntry)>("XmFontListNextEntry");
  auto getFont = Toolkit<decltype(&XmFontListEntryGetFont)>("XmFontListEntryGetFont");
  auto getTag = Toolkit<decltype(&XmFontListEntryGetTag)>("XmFontListEntryGetTag");
  while (XmFontListEntry entry = next(context)) {
    XmFontType type;
    XtPointer font = getFont(entry, &type);
    if (type != XmFONT_IS_FONTSET || font == nullptr) continue;
    char *tag = getTag(entry);
    found.tag = tag != nullptr ? tag : "";
    Toolkit<void (*)(char *)>("XtFree")(tag);
    found.fontset = static_cast<XFontSet>(font);
    break;
  }
  Toolkit<decltype(&XmFontListFreeFontContext)>("XmFontListFreeFontContext")(context);
  return found;
}

int MissingCharsets(XFontSet fontset) {
  char *names = Toolkit<decltype(&XBaseFontNameListOfFontSet)>("XBaseFontNameListOfFontSet")(
      fontset);
  X11Functions *f = LoadX11(JNI_TRUE);
  char **missing = nullptr;
  int count = 0;
  char *defaultString = nullptr;
  XFontSet again = f->XCreateFontSet(GetX11Display(), names, &missing, &count, &defaultString);
  if (missing != nullptr) f->XFreeStringList(missing);
  if (again == nullptr) return -1;
  f->XFreeFontSet(GetX11Display(), again);
  return count;
}

int Drawings::InkedColumns() const {
  int columns = 0;
  for (int x = 0; x < width; x++) {
    for (int y = 0; y < height; y++) {
      if (xlib[static_cast<size_t>(y * width + x)] != xlib[0]) {
        columns++;
        break;
      }
    }
  }
  return columns;
}

Drawings DrawBoth(Widget w, const char *resource, XmFontList fonts, XFontSet fontset,
                  const std::string &text) {
  Drawings result;
  X11Functions *f = LoadX11(JNI_TRUE);
  XmString string = nullptr;
  Arg arg = {const_cast<String>(resource), reinterpret_cast<XtArgVal>(&string)};
  f->XtGetValues(w, &arg, 1);
  if (string == nullptr) return result;
  Screen *screen = f->XtScreenOfObject(w);
  Display *display = DisplayOfScreen(screen);
  Window root = RootWindowOfScreen(screen);
  result.width = Toolkit<decltype(&XmStringWidth)>("XmStringWidth")(fonts, string);
  result.height = Toolkit<decltype(&XmStringHeight)>("XmStringHeight")(fonts, string);
  int baseline = Toolkit<decltype(&XmStringBaseline)>("XmStringBaseline")(fonts, string);
  auto createPixmap = Toolkit<decltype(&XCreatePixmap)>("XCreatePixmap");
  auto freePixmap = Toolkit<decltype(&XFreePixmap)>("XFreePixmap");
  auto createGC = Toolkit<decltype(&XCreateGC)>("XCreateGC");
  auto freeGC = Toolkit<decltype(&XFreeGC)>("XFreeGC");
  auto setForeground = Toolkit<decltype(&XSetForeground)>("XSetForeground");
  auto fill = Toolkit<decltype(&XFillRectangle)>("XFillRectangle");
  auto getImage = Toolkit<decltype(&XGetImage)>("XGetImage");
  if (result.width == 0 || result.height == 0) {
    f->XmStringFree(string);
    return result;
  }
  unsigned int depth = static_cast<unsigned int>(DefaultDepthOfScreen(screen));
  auto draw = [&](bool toolkit) {
    Pixmap pixmap = createPixmap(display, root, static_cast<unsigned int>(result.width),
                                 static_cast<unsigned int>(result.height), depth);
    GC gc = createGC(display, pixmap, 0, nullptr);
    setForeground(display, gc, WhitePixelOfScreen(screen));
    fill(display, pixmap, gc, 0, 0, static_cast<unsigned int>(result.width),
         static_cast<unsigned int>(result.height));
    setForeground(display, gc, BlackPixelOfScreen(screen));
    if (toolkit)
      Toolkit<decltype(&XmStringDraw)>("XmStringDraw")(
          display, pixmap, fonts, string, gc, 0, 0, static_cast<Dimension>(result.width),
          XmALIGNMENT_BEGINNING, XmSTRING_DIRECTION_L_TO_R, nullptr);
    else
      Toolkit<decltype(&XmbDrawString)>("XmbDrawString")(display, pixmap, fontset, gc, 0,
                                                         baseline, text.data(),
                                                         static_cast<int>(text.size()));
    XImage *image = getImage(display, pixmap, 0, 0, static_cast<unsigned int>(result.width),
                             static_cast<unsigned int>(result.height), AllPlanes, ZPixmap);
    std::vector<unsigned long> pixels;
    if (image != nullptr) {
      for (int y = 0; y < result.height; y++)
        for (int x = 0; x < result.width; x++) pixels.push_back(XGetPixel(image, x, y));
      XDestroyImage(image);
    }
    freeGC(display, gc);
    freePixmap(display, pixmap);
    return pixels;
  };
  result.toolkit = draw(true);
  result.xlib = draw(false);
  f->XmStringFree(string);
  return result;
}

void WindowedUi::SetUp() {
  if (processUsed) GTEST_SKIP() << "needs a process of its own; run it alone (ctest does)";
  processUsed = true;
  server.reset(new xtest::XServer(ScreenWidth(), ScreenHeight(), FontPath()));
  ASSERT_TRUE(server->ok()) << "Xvfb did not start";
  setenv("DISPLAY", server->display().c_str(), 1);
  BeforeLoad();
  SetPrintToConsole(0);
  funcs = LoadX11(JNI_TRUE);
  ASSERT_NE(funcs, nullptr) << "the interface did not come up on " << server->display();
  ASSERT_FALSE(GetPrintToConsole());
}

void WindowedUi::TearDown() {
  // The dispatch thread must be gone before its server is.
  StopDispatchForTesting();
  if (server != nullptr) server->Stop();
}

}  // namespace uitest
