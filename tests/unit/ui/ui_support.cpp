#include "ui_support.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <Xm/Xm.h>

namespace uitest {
namespace {

template <typename T>
T Toolkit(const char *name) {
  void *address = dlsym(RTLD_DEFAULT, name);
  EXPECT_NE(address, nullptr) << name << " not found in the loaded toolkit";
  return reinterpret_cast<T>(address);
}

int CountEntries(const char *dir, const char *linkPrefix) {
  DIR *d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (linkPrefix != nullptr) {
      char target[256];
      std::string path = std::string(dir) + "/" + e->d_name;
      ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
      if (len < 0) continue;
      target[len] = '\0';
      if (strncmp(target, linkPrefix, strlen(linkPrefix)) != 0) continue;
    }
    n++;
  }
  closedir(d);
  return n;
}

bool processUsed = false;

}  // namespace

Captured::Captured(int fd) : fd_(fd) {
  fflush(stdout);
  fflush(stderr);
  char tmpl[] = "/tmp/ui-capture-XXXXXX";
  int file = mkstemp(tmpl);
  EXPECT_GE(file, 0);
  path_ = tmpl;
  saved_ = dup(fd_);
  dup2(file, fd_);
  close(file);
}

Captured::~Captured() { Release(); }

std::string Captured::Release() {
  if (saved_ < 0) return "";
  fflush(stdout);
  fflush(stderr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
  std::string data;
  if (FILE *f = fopen(path_.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    fclose(f);
  }
  unlink(path_.c_str());
  return data;
}

int ThreadCount() { return CountEntries("/proc/self/task", nullptr); }

int SocketCount() { return CountEntries("/proc/self/fd", "socket:"); }

bool IsLoaded(const char *name) {
  void *handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

std::string StringResource(Widget w, const char *resource) {
  typedef Boolean (*InitContext)(XmStringContext *, XmString);
  typedef Boolean (*NextSegment)(XmStringContext, char **, XmStringCharSet *,
                                 XmStringDirection *, Boolean *);
  typedef void (*FreeContext)(XmStringContext);
  typedef void (*Free)(char *);
  XmString value = nullptr;
  Arg arg = {const_cast<String>(resource), reinterpret_cast<XtArgVal>(&value)};
  X11Functions *f = LoadX11(JNI_TRUE);
  f->XtGetValues(w, &arg, 1);
  if (value == nullptr) return "<none>";
  std::string result;
  XmStringContext context;
  if (Toolkit<InitContext>("XmStringInitContext")(&context, value)) {
    char *text;
    XmStringCharSet tag;
    XmStringDirection direction;
    Boolean separator;
    while (Toolkit<NextSegment>("XmStringGetNextSegment")(context, &text, &tag, &direction,
                                                           &separator)) {
      result += text;
      if (separator) result += "\n";
      Toolkit<Free>("XtFree")(text);
      Toolkit<Free>("XtFree")(tag);
    }
    Toolkit<FreeContext>("XmStringFreeContext")(context);
  }
  // Motif hands out a copy of a compound string resource.
  f->XmStringFree(value);
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

void WindowedUi::SetUp() {
  if (processUsed) GTEST_SKIP() << "needs a process of its own; run it alone (ctest does)";
  processUsed = true;
  server.reset(new xtest::XServer(ScreenWidth(), ScreenHeight()));
  ASSERT_TRUE(server->ok()) << "Xvfb did not start";
  setenv("DISPLAY", server->display().c_str(), 1);
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
