// Shared pieces of the interface tests: capture of a standard stream, process facts (threads,
// sockets, loaded libraries), a fixture that brings the interface up on a private X server, and
// toolkit calls beyond the launcher's table that the tests use to look inside the dialogs. Those
// are found with dlsym in the Motif library that the loader opened; nothing is linked.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "xserver.h"

// X headers last: their macros (None, Bool, Status, ...) must not meet GoogleTest's names.
#include "core/types.h"
#include "ui/motif.h"
#include "ui/output.h"

namespace uitest {

// Redirects a standard stream's descriptor into a file until Release.
class Captured {
 public:
  explicit Captured(int fd);
  ~Captured();
  Captured(const Captured &) = delete;
  Captured &operator=(const Captured &) = delete;
  // Flushes the C streams, restores the descriptor and gives what was written.
  std::string Release();

 private:
  int fd_, saved_ = -1;
  std::string path_;
};

int ThreadCount();
int SocketCount();
// Whether a library of that name or path is loaded in this process.
bool IsLoaded(const char *name);

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

// A private X server and the interface brought up on it, in window mode. Each test case runs in
// a process of its own (ctest starts every case alone): the interface, once up, stays up.
class WindowedUi : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The screen of the private server.
  virtual int ScreenWidth() const { return 1024; }
  virtual int ScreenHeight() const { return 768; }

  std::unique_ptr<xtest::XServer> server;
  X11Functions *funcs = nullptr;
};

}  // namespace uitest
