// The Motif loader: which library it opens, what it does when there is no library, no
// display or a missing entry point (console mode for good, no thread, library closed), and that
// an interface that is up stays the one interface with its one dispatch thread and whose error
// handlers switch the launcher to the console.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "ui/testing.h"
#include "ui_support.h"

using uitest::Capture;
using uitest::IsLoaded;
using uitest::SocketCount;
using uitest::ThreadCount;

namespace {

const char kLine[] = "Checking available disk space...\n";
const char kError[] = "Error: Could not find the required version of the Java(TM) 2 Runtime "
                      "Environment.\n";

// With console mode off and the interface failing to come up, a status line and an error must
// still reach the console, and the launcher must be left in console mode with nothing running.
void ExpectConsoleFallback(const char *library) {
  int threads = ThreadCount();
  SetPrintToConsole(0);
  {
    Capture out(1);
    statusf("%s", kLine);
    EXPECT_EQ(out.Finish(), kLine);
  }
  EXPECT_TRUE(GetPrintToConsole());
  {
    Capture err(2);
    _fprintf(stderr, "%s", kError);
    EXPECT_EQ(err.Finish(), kError);
  }
  EXPECT_EQ(ThreadCount(), threads) << "a dispatch thread was left running";
  EXPECT_FALSE(IsDispatchingForTesting());
  if (library != nullptr) {
    EXPECT_FALSE(IsLoaded(library)) << library << " was left open";
  }
}

TEST(MotifLoader, ConsoleModeNeverLoadsTheToolkit) {
  ASSERT_TRUE(GetPrintToConsole());
  Capture out(1);
  Capture err(2);
  statusf("%s", kLine);
  _fprintf(stderr, "%s", kError);
  EXPECT_EQ(out.Finish(), kLine);
  EXPECT_EQ(err.Finish(), kError);
  EXPECT_FALSE(IsLoaded("libXm.so.4"));
  EXPECT_FALSE(IsLoaded("libXt.so.6"));
}

TEST(MotifLoader, WithoutDisplayFallsBackToTheConsole) {
  unsetenv("DISPLAY");
  ExpectConsoleFallback("libXm.so.4");
  // The library opened, so a later load may try again; without a display it fails again.
  EXPECT_EQ(LoadX11(JNI_TRUE), nullptr);
  EXPECT_FALSE(IsLoaded("libXm.so.4"));
}

TEST(MotifLoader, DisplayWithoutServerFallsBackToTheConsole) {
  int n = 300;
  struct stat st;
  while (stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &st) == 0) n++;
  setenv("DISPLAY", (":" + std::to_string(n)).c_str(), 1);
  ExpectConsoleFallback("libXm.so.4");
}

TEST(MotifLoader, ServerThatHangsUpFallsBackToTheConsole) {
  // Something listens where the display is, accepts and closes at once.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int n = 400;
  for (; n < 1000; n++) {
    addr.sin_port = htons(static_cast<uint16_t>(6000 + n));
    if (bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) break;
  }
  ASSERT_LT(n, 1000);
  ASSERT_EQ(listen(listener, 8), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
  std::thread hangUp([&] {
    while (!stop) {
      struct pollfd p = {listener, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        int c = accept(listener, nullptr, nullptr);
        if (c >= 0) {
          accepted++;
          close(c);
        }
      }
    }
  });
  setenv("DISPLAY", ("127.0.0.1:" + std::to_string(n)).c_str(), 1);
  ExpectConsoleFallback("libXm.so.4");
  stop = true;
  hangUp.join();
  close(listener);
  EXPECT_GT(accepted.load(), 0) << "the loader never tried the display";
}

TEST(MotifLoader, NoLibraryUnderAnyNameMeansConsoleForTheWholeRun) {
  support::Sandbox dir;
  std::string absent1 = dir.Path("libXm.so.4");
  std::string absent2 = dir.Path("libXm.so");
  const char *names[] = {absent1.c_str(), absent2.c_str()};
  SetMotifLibraryNamesForTesting(names, 2);
  unsetenv("DISPLAY");
  ExpectConsoleFallback(nullptr);
  // Once no library could be opened, none is tried again, even under names that would open.
  SetMotifLibraryNamesForTesting(nullptr, 0);
  EXPECT_EQ(LoadX11(JNI_FALSE), nullptr);
  EXPECT_FALSE(IsLoaded("libXm.so.4"));
}

TEST(MotifLoader, LibraryWithoutOneEntryPointIsClosedAgain) {
  const char *names[] = {FAKE_MOTIF_WITHOUT_SCREEN_OF_OBJECT};
  SetMotifLibraryNamesForTesting(names, 1);
  unsetenv("DISPLAY");
  ExpectConsoleFallback(FAKE_MOTIF_WITHOUT_SCREEN_OF_OBJECT);
}

TEST(MotifLoader, FirstNameThatOpensIsKept) {
  support::Sandbox dir;
  dir.Write("libXm.so.2", support::ReadFile(FAKE_MOTIF_COMPLETE), 0755);
  dir.Write("libXm.so.1", support::ReadFile(FAKE_MOTIF_COMPLETE), 0755);
  // A file under a newer name that is no library at all does not stop the search.
  dir.Write("libXm.so.3", support::ReadFile("/etc/hostname"));
  std::string candidates[] = {dir.Path("X11R6/libXm.so.4"), dir.Path("libXm.so.4"),
                              dir.Path("libXm.so.3"), dir.Path("libXm.so.2"),
                              dir.Path("libXm.so.1")};
  const char *names[5];
  for (int i = 0; i < 5; i++) names[i] = candidates[i].c_str();
  SetMotifLibraryNamesForTesting(names, 5);

  int threads = ThreadCount();
  X11Functions *funcs = LoadX11(JNI_FALSE);
  ASSERT_NE(funcs, nullptr);
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void *>(funcs->XtWindowOfObject), &info), 0);
  EXPECT_EQ(std::string(info.dli_fname), dir.Path("libXm.so.2"));
  EXPECT_FALSE(IsLoaded(dir.Path("libXm.so.1").c_str()));
  // Without the display nothing else happens: no thread, console mode untouched.
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_FALSE(IsDispatchingForTesting());
  EXPECT_EQ(LoadX11(JNI_FALSE), funcs);
}

using MotifInterface = uitest::WindowedUi;

// Runs among the libraries' destructors, after every exit function of the launcher.
std::atomic<bool> reportAtDestruction{false};
__attribute__((destructor)) void ReportDispatchAtDestruction() {
  if (reportAtDestruction) {
    fprintf(stderr, IsDispatchingForTesting() ? "dispatching during destruction\n"
                                              : "dispatch thread kept out\n");
  }
}

TEST_F(MotifInterface, ComesUpOnceWithOneDispatchThread) {
  EXPECT_TRUE(IsDispatchingForTesting());
  EXPECT_NE(GetAppShell(), nullptr);
  EXPECT_NE(GetAppContext(), nullptr);
  EXPECT_NE(GetX11Display(), nullptr);
  int threads = ThreadCount();
  int sockets = SocketCount();
  EXPECT_EQ(LoadX11(JNI_TRUE), funcs);
  EXPECT_EQ(LoadX11(JNI_FALSE), funcs);
  EXPECT_EQ(ThreadCount(), threads) << "a second dispatch thread";
  EXPECT_EQ(SocketCount(), sockets) << "a second display connection";
}

TEST_F(MotifInterface, ProtocolErrorSwitchesToTheConsole) {
  {
    X11Lock lock;
    ASSERT_TRUE(lock);
    // No such window: the server answers with a BadWindow error.
    funcs->XRaiseWindow(GetX11Display(), 0x7ffffff0);
    uitest::Sync();
  }
  EXPECT_TRUE(GetPrintToConsole());
  Capture out(1);
  statusf("%s", kLine);
  EXPECT_EQ(out.Finish(), kLine);
}

TEST_F(MotifInterface, ToolkitWarningsStaySilent) {
  typedef void (*AppMessage)(XtAppContext, const char *);
  auto warning = reinterpret_cast<AppMessage>(dlsym(RTLD_DEFAULT, "XtAppWarning"));
  ASSERT_NE(warning, nullptr);
  Capture err(2);
  {
    X11Lock lock;
    ASSERT_TRUE(lock);
    warning(GetAppContext(), "a toolkit warning");
  }
  EXPECT_FALSE(GetPrintToConsole());
  EXPECT_EQ(err.Finish(), "");
}

TEST_F(MotifInterface, ToolkitErrorEndsTheRunWithStatusOneAndItsReason) {
  // The toolkit cannot go on after an error of its own; returning from the handler would crash.
  typedef void (*AppMessage)(XtAppContext, const char *);
  auto error = reinterpret_cast<AppMessage>(dlsym(RTLD_DEFAULT, "XtAppError"));
  ASSERT_NE(error, nullptr);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        X11Lock lock;
        if (lock) error(GetAppContext(), "a toolkit error");
        _exit(2);
      },
      ::testing::ExitedWithCode(1), "^a toolkit error\n$");
}

TEST_F(MotifInterface, ProcessEndKeepsTheDispatchThreadOutOfTheToolkit) {
  // The libraries' destructors run while the process ends; the thread must not be inside them.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        statusf("Checking available disk space...\n");
        reportAtDestruction = true;
        exit(0);
      },
      ::testing::ExitedWithCode(0), "^dispatch thread kept out\n$");
}

}  // namespace
