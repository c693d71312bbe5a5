// The windowed launcher (setup-gui, console mode off at start) as a user meets it on a private
// X server: progress lines in the status window, errors and the usage text in message boxes that
// the test dismisses with the mouse, the same exit status as on the console; and the console
// whenever there is no display or no Motif library, or -silent asks for it. Runs that hide or
// add libraries or mount a small file system do so in a private mount namespace.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "launcher_test.h"
#include "xserver.h"

using namespace support;
using xtest::TopLevel;

namespace {

const char kUsageStart[] = "Usage: 'setup' [-options]\nwhere options include:\n";
const char kBadWord[] = "Error: '-bogus' is not a valid argument.\n";

// The real Motif library of the launcher's architecture.
std::string MotifLibrary() {
  const char *dir = sizeof(void *) == 4 ? "/usr/lib/i386-linux-gnu" : "/usr/lib/x86_64-linux-gnu";
  char *real = realpath((std::string(dir) + "/libXm.so.4").c_str(), nullptr);
  std::string path = real != nullptr ? real : "";
  free(real);
  return path;
}

// Shell lines that hide every installed Motif library (both architectures) in the namespace.
const char kHideMotif[] =
    "for f in /usr/lib/*-linux-gnu/libXm.so.*.*; do mount --bind /dev/null \"$f\" || exit 90; "
    "done; ";

class Windowed : public LauncherTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(BuiltLauncher("setup-gui"))) << "setup-gui is not built";
    ASSERT_TRUE(server.ok()) << "Xvfb did not start";
    // Named like the shipped launcher, so that texts read as they would there.
    gui = box.CopyLauncher("setup-gui", "gui/setup");
    console = box.CopyLauncher("setup", "console/setup");
  }

  RunOptions Options(std::vector<std::string> args) const {
    RunOptions opts = LauncherOptions(std::move(args));
    opts.env["DISPLAY"] = server.display();
    opts.cwd = box.dir();
    return opts;
  }

  // The same run of kUnshare: exe with args in a private mount namespace, after the shell lines
  // in setup.
  RunOptions Namespaced(const std::string &setup, const std::string &exe,
                        std::vector<std::string> args) const {
    args.insert(args.begin(), exe);
    return InNamespace(Options({}), setup + "exec \"$@\"", args);
  }

  // Waits for the next message box (not `previous`), checks that it is centred and titled, and
  // presses OK.
  TopLevel DismissBox(unsigned long previous = 0) { return DismissBoxOn(server, previous); }
  static TopLevel DismissBoxOn(const xtest::XServer &on, unsigned long previous = 0) {
    TopLevel b;
    EXPECT_TRUE(xtest::WaitForWindow(on.display(), "Error_popup", &b, previous))
        << "no message box";
    if (b.id == 0) return b;
    EXPECT_EQ(b.name, "Setup");
    EXPECT_EQ(b.x, (on.width() - b.width) / 2);
    EXPECT_EQ(b.y, (on.height() - b.height) / 2);
    bool closed = xtest::PressOk(on.display(), b);
    EXPECT_TRUE(closed) << "OK did not close the box";
    if (!closed) xtest::ClickAnyButton(on.display(), b);
    return b;
  }

  Sandbox box;
  xtest::XServer server;
  std::string gui, console;
};

TEST_F(Windowed, BadWordShowsTheErrorThenTheUsageInBoxesAndExitsOne) {
  Process p(gui, Options({"-bogus"}), box.dir());
  TopLevel error = DismissBox();
  // The launcher waits for OK before it goes on to the usage text.
  TopLevel usage = DismissBox(error.id);
  EXPECT_GT(usage.height, error.height) << "the usage text did not come in one tall box";
  Result r = p.Wait();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(xtest::ViewableWindows(server.display(), "Error_popup").empty());

  Result c = RunToEnd(console, Options({"-bogus"}));
  EXPECT_EQ(c.exitStatus, r.exitStatus);
  EXPECT_EQ(c.err.rfind(std::string(kBadWord) + kUsageStart, 0), 0u) << c.err;
}

TEST_F(Windowed, StatusLineStaysUpWhileTheSpaceErrorIsShown) {
  if (!CanMount()) GTEST_SKIP() << "no private mount namespaces here";
  std::string small = box.MkDir("small");
  std::string mountSmall = "mount -t tmpfs -o size=64k tmpfs '" + small + "' || exit 91; ";
  Process p(kUnshare, Namespaced(mountSmall, gui, {"-tmpdir", small}), box.dir());

  TopLevel status;
  ASSERT_TRUE(xtest::WaitForWindow(server.display(), "Status_popup", &status));
  EXPECT_EQ(status.name, "Setup");
  EXPECT_EQ(status.width, 400);
  EXPECT_EQ(status.height, 100);
  EXPECT_EQ(status.x, (server.width() - 400) / 2);
  EXPECT_EQ(status.y, (server.height() - 100) / 2);
  TopLevel space = DismissBox();
  // Still there behind the boxes.
  EXPECT_EQ(xtest::ViewableWindows(server.display(), "Status_popup").size(), 1u);
  DismissBox(space.id);
  Result r = p.Wait();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "") << "the status line went to the console";
  EXPECT_EQ(r.err, "");

  Result c = RunToEnd(kUnshare, Namespaced(mountSmall, console, {"-tmpdir", small}));
  EXPECT_EQ(c.exitStatus, r.exitStatus);
  // The failed run removes its working directory, with the clean-up line after the error.
  EXPECT_EQ(c.out, "Checking available disk space...\nDeleting temporary files...\n");
  EXPECT_NE(c.err.find("There is not enough free disk space"), std::string::npos) << c.err;
}

TEST_F(Windowed, ProgressGoesToTheWindowAndJavaRuns) {
  box.Write("payload/corvane.class", "class");
  // Large enough for extraction workers, which must leave the display to the launcher.
  std::string text;
  for (int i = 0; text.size() < (3u << 20); i++) text += "row " + std::to_string(i * 31) + "\n";
  box.Write("payload/data/a.txt", text);
  box.Write("payload/data/b.txt", text + text);
  box.Zip("payload", "payload.zip");
  std::string guiInstaller = box.MakeInstaller("payload.zip", "gui-inst/setup", "setup-gui");
  std::string consoleInstaller = box.MakeInstaller("payload.zip", "console-inst/setup", "setup");
  StandInJava java;
  java.exitCode = 3;
  std::string root = MakeRuntime(box.Path("jre"), java);
  RunOptions opts = Options({"-tmpdir", tmp});
  opts.env["PATH"] = root + "/bin:/usr/bin:/bin";

  Process p(guiInstaller, opts, box.dir());
  TopLevel status;
  ASSERT_TRUE(xtest::WaitForWindow(server.display(), "Status_popup", &status));
  EXPECT_EQ(status.name, "Setup");
  EXPECT_EQ(status.x, (server.width() - status.width) / 2);
  Result r = p.Wait();
  Result c = RunToEnd(consoleInstaller, opts);
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(c.exitStatus, r.exitStatus);
  EXPECT_NE(c.out.find("Launching Java(TM) 2 Runtime Environment...\n"), std::string::npos);
  EXPECT_EQ(r.out, "") << "progress lines reached the console";
  EXPECT_EQ(r.err, c.err);
}

TEST_F(Windowed, NoRuntimeErrorComesInABoxThatTheTestDismisses) {
  RunOptions opts = Options({"-tmpdir", tmp});
  // Only a Java of a refused version is on PATH (not the machine's own, which would be listed
  // too): the list of refused runtimes comes in a third box.
  box.Write("java17/lib/libjava.so", "");
  box.Write("java17/bin/java", "#!/bin/sh\necho 'openjdk version \"17.0.2\"' >&2\n", 0755);
  opts.env["PATH"] = box.Path("java17/bin");
  Process p(gui, opts, box.dir());
  TopLevel error = DismissBox();
  TopLevel usage = DismissBox(error.id);
  EXPECT_GT(usage.height, error.height);
  DismissBox(usage.id);
  Result r = p.Wait();
  Result c = RunToEnd(console, opts);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(c.exitStatus, r.exitStatus);
  EXPECT_EQ(c.err.rfind("Error: Could not find the required version of the Java(TM) 2 Runtime "
                        "Environment.\n",
                        0),
            0u)
      << c.err;
  EXPECT_NE(c.err.find("The Java(TM) runtime in '" + box.Path("java17") + "' reports version '17.0.2'"),
            std::string::npos)
      << c.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// In Japanese, on a server with the Japanese fonts and on one with no fonts but its built-in
// ones: the same windows and exit status, and not a word on the console either way (fonts are
// the X server's matter).
TEST_F(Windowed, JapaneseRunShowsItsWindowsWithOrWithoutJapaneseFonts) {
  xtest::XServer bare(1024, 768, "built-ins");
  ASSERT_TRUE(bare.ok()) << "Xvfb did not start";
  for (const xtest::XServer *on : {&server, &bare}) {
    SCOPED_TRACE(on == &server ? "with the Japanese fonts" : "with the built-in fonts only");
    RunOptions opts = Options({"-tmpdir", tmp});
    opts.env["DISPLAY"] = on->display();
    opts.env["LC_ALL"] = "ja_JP.eucJP";
    opts.env["LANG"] = "en_US.UTF-8";
    opts.env["PATH"] = box.MkDir("empty-path");  // no Java at all: two boxes
    Process p(gui, opts, box.dir());
    TopLevel status;
    EXPECT_TRUE(xtest::WaitForWindow(on->display(), "Status_popup", &status));
    EXPECT_EQ(status.width, 400);
    TopLevel error = DismissBoxOn(*on);
    DismissBoxOn(*on, error.id);
    Result r = p.Wait();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Windowed, SilentSwitchesToTheConsole) {
  box.Write("state.txt", "");
  Result r = RunToEnd(gui, Options({"-silent", box.Path("state.txt"), "-tmpdir", tmp}));
  Result c = RunToEnd(console, Options({"-silent", box.Path("state.txt"), "-tmpdir", tmp}));
  EXPECT_EQ(r.exitStatus, c.exitStatus);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.out.rfind("Checking available disk space...\n", 0), 0u) << r.out;
  EXPECT_TRUE(xtest::ViewableWindows(server.display(), "Status_popup").empty());
}

TEST_F(Windowed, WithoutADisplayEverythingGoesToTheConsole) {
  RunOptions opts = Options({"-bogus"});
  opts.env.erase("DISPLAY");
  opts.unset.push_back("DISPLAY");
  Result r = RunToEnd(gui, opts);
  Result c = RunToEnd(console, opts);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.err.rfind(std::string(kBadWord) + kUsageStart, 0), 0u) << r.err;
}

TEST_F(Windowed, WithoutAMotifLibraryEverythingGoesToTheConsole) {
  if (!CanMount()) GTEST_SKIP() << "no private mount namespaces here";
  Result r = RunToEnd(kUnshare, Namespaced(kHideMotif, gui, {"-bogus"}));
  Result c = RunToEnd(console, Options({"-bogus"}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, c.err);
  EXPECT_TRUE(xtest::ViewableWindows(server.display(), "Error_popup").empty());
}

TEST_F(Windowed, OlderMotifFoundThroughTheLibraryPathIsUsed) {
  if (!CanMount()) GTEST_SKIP() << "no private mount namespaces here";
  std::string real = MotifLibrary();
  ASSERT_FALSE(real.empty()) << "no Motif library installed";
  box.MkDir("lib");
  ASSERT_EQ(Shell("cp '" + real + "' '" + box.Path("lib/libXm.so.2") + "'"), 0);
  RunOptions opts = Namespaced(kHideMotif, gui, {"-bogus"});
  opts.env["LD_LIBRARY_PATH"] = box.Path("lib");
  Process p(kUnshare, opts, box.dir());
  TopLevel error = DismissBox();
  DismissBox(error.id);
  Result r = p.Wait();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "") << "libXm.so.2 was not loaded";
}

}  // namespace
