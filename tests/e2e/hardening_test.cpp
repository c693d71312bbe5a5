// What the launcher must not let happen, tried as a user (and another local user) would: a
// damaged download run as something else, sizes that lie their way past the space check, an
// upgrade script or a lock file planted by another user trusted, two copies running at once
// after a hand-over, and a way out (memory exhausted, the display gone) that leaves the
// working directory behind. Runs that involve another user make it uid 65534 through setpriv.
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"
#include "xserver.h"
#include "zip_builder.h"

using namespace support;

namespace {

const char kFirstLine[] = "Checking available disk space...\n";
const char kCleanup[] = "Deleting temporary files...\n";
const uid_t kNobody = 65534;

// Where an archive without comment keeps its central directory: [start, end record).
struct Layout {
  size_t cenStart, endRecord;
};
Layout ArchiveLayout(const std::string &installer, size_t archiveStart) {
  size_t end = installer.size() - 22;
  EXPECT_EQ(ziptest::Get32(installer, end), 0x06054b50u) << "no end record where expected";
  return {archiveStart + ziptest::Get32(installer, end + 16), end};
}

// Sets the uncompressed size in the central header of the entry named name.
void SetCentralSize(std::string &zip, const std::string &name, uint32_t size) {
  for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos; at = zip.find("PK\x01\x02", at + 1)) {
    const uint32_t nameLength = ziptest::Get16(zip, at + 28);
    if (nameLength == name.size() && zip.compare(at + 46, nameLength, name) == 0) {
      ziptest::Put32(zip, at + 24, size);
      return;
    }
  }
  ADD_FAILURE() << "no central header for " << name;
}

class Hardening : public LauncherTest {
 protected:
  // The payload of a small installer: its main class and a jar of incompressible bytes.
  std::string PayloadZip() {
    box.Write("payload/corvane.class", "\xca\xfe\xba\xbe class bytes");
    box.Write("payload/package/PackageFormat.jar", Noise(60000, 7));
    box.Write("payload/package/readme.txt", "read me\n");
    return box.Zip("payload", "payload.zip");
  }

  RunOptions Options(std::vector<std::string> args) { return LauncherOptions(std::move(args)); }

  // Failed before Java, with the clean-up line last and nothing left in tmp.
  void ExpectCleanFailure(const Result &r, const std::string &err, const std::string &what) {
    EXPECT_EQ(r.exitStatus, 1) << what << ": " << r.err;
    EXPECT_EQ(r.err, err) << what;
    EXPECT_EQ(r.out, std::string(kFirstLine) + kCleanup) << what;
    EXPECT_TRUE(Entries(tmp).empty()) << what << ": working directory left behind";
    EXPECT_FALSE(JavaStarted()) << what << ": Java started";
  }

  static std::string Corrupted(const std::string &exe) {
    // An absolute program name is resolved with a leading "/".
    return "Error: The '/" + exe + "' file appears to be corrupted.\n";
  }

  static std::string Unremovable(const std::string &lock) {
    return "Error: The lock file '" + lock + "' is not a regular file owned by you and cannot be "
           "removed.\nAsk its owner or an administrator to remove it. Exiting.\n";
  }
};

// ---- Damaged downloads ----

// A download cut short or damaged anywhere in the archive: never "no archive" (which would run
// a corvane.class lying in the same folder), always the damaged-file message.
TEST_F(Hardening, ADamagedArchiveIsReportedAndNothingElseRuns) {
  const std::string zip = ReadFile(PayloadZip());
  const std::string launcher = ReadFile(BuiltLauncher("setup"));
  const std::string whole = launcher + zip;
  const Layout at = ArchiveLayout(whole, launcher.size());
  struct Damage {
    const char *name;
    std::function<std::string()> make;
  };
  const Damage damages[] = {
      {"cut in the middle of the data",
       [&] { return whole.substr(0, launcher.size() + (at.cenStart - launcher.size()) / 2); }},
      {"cut in the central directory",
       [&] { return whole.substr(0, at.cenStart + (at.endRecord - at.cenStart) / 2); }},
      {"cut in the end record", [&] { return whole.substr(0, at.endRecord + 10); }},
      {"end record signature damaged",
       [&] {
         std::string d = whole;
         d[at.endRecord] ^= 0x20;
         return d;
       }},
      {"central header damaged",
       [&] {
         std::string d = whole;
         d[at.cenStart + 2] ^= 0x20;
         return d;
       }},
      {"cut inside the launcher itself", [&] { return launcher.substr(0, launcher.size() - 64); }},
  };
  std::string jre = Runtime();
  for (bool stray : {false, true}) {
    for (const Damage &d : damages) {
      std::string what = std::string(d.name) + (stray ? ", corvane.class beside it" : "");
      std::string dir = box.MkDir(std::string(stray ? "stray/" : "alone/") + d.name);
      std::string exe = dir + "/installer";
      WriteFile(exe, d.make(), 0755);
      if (stray) WriteFile(dir + "/corvane.class", "a program nobody meant to run");
      TrackLocks(exe);
      Result r = RunToEnd(exe, Options({"-javahome", jre, "-tmpdir", tmp}));
      ExpectCleanFailure(r, Corrupted(exe), what);
      EXPECT_FALSE(Exists(LockPath(exe))) << what;
    }
  }
}

// A download cut right behind the last entry, a stored jar: the jar's own end record is then the
// last thing in the file, and its entries (a corvane.class among them) would pass for the
// installer's. Whether the installer's offsets count from the archive's start or from the start
// of the file (mkinstaller -a), an archive that does not begin where the program ends is damage,
// and the installer that does still runs.
TEST_F(Hardening, ADownloadCutRightBehindAStoredJarIsDamage) {
  box.Write("inner/corvane.class", "the jar's own class");
  // Incompressible, so that the jar is stored and its end record sits raw in the installer.
  box.Write("inner/data.bin", Noise(64 * 1024));
  const std::string jar = ReadFile(box.Zip("inner", "inner.jar"));
  box.Write("payload/corvane.class", "classes");
  box.Write("payload/package/PackageFormat.jar", jar);
  std::string jre = Runtime();
  for (const std::string form : {"-r", "-a"}) {
    std::string whole = box.Path("whole" + form);
    Sh(Quote(BuiltLauncher("mkinstaller")) + " -q " + form + " " + Quote(BuiltLauncher("setup")) +
       " " + Quote(box.Path("payload")) + " " + Quote(whole));
    const std::string bytes = ReadFile(whole);
    const size_t at = bytes.rfind(jar);
    ASSERT_NE(at, std::string::npos) << "the jar was not stored";
    std::string exe = box.MkDir("cut" + form) + "/installer";
    WriteFile(exe, bytes.substr(0, at + jar.size()), 0755);
    TrackLocks(exe);
    Result r = RunToEnd(exe, Options({"-javahome", jre, "-tmpdir", tmp}));
    ExpectCleanFailure(r, Corrupted(exe), "cut behind the jar " + form);
  }
  // Whole, both forms run.
  for (const std::string form : {"-r", "-a"}) {
    std::string whole = box.Path("whole" + form);
    TrackLocks(whole);
    unlink((report + "/argv.txt").c_str());
    Result r = RunToEnd(whole, Options({"-javahome", jre, "-tmpdir", tmp}));
    EXPECT_EQ(r.exitStatus, 0) << form << ": " << r.err;
    EXPECT_TRUE(JavaStarted()) << form;
  }
}

// What the ELF headers say about the image must hold for the binary as shipped: stripped, and
// with an archive appended to the stripped file.
TEST_F(Hardening, AStrippedLauncherWithNothingAppendedStillRuns) {
  std::string exe = Launcher("bare/setup");
  ASSERT_EQ(Shell("strip " + Quote(exe)), 0);
  Result r = RunToEnd(exe, Options({"-javahome", Runtime(), "-tmpdir", tmp}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFile(report + "/cwd.txt"), box.Path("bare") + "\n");
}

TEST_F(Hardening, AStrippedLauncherCarriesItsArchiveAndNoticesDamage) {
  std::string stripped = box.CopyLauncher("setup", "stripped");
  ASSERT_EQ(Shell("strip " + Quote(stripped)), 0);
  const std::string launcher = ReadFile(stripped);
  const std::string zip = ReadFile(PayloadZip());
  std::string jre = Runtime();

  std::string cut = box.Path("cut/installer");
  WriteFile(cut, (launcher + zip).substr(0, launcher.size() + zip.size() / 2), 0755);
  WriteFile(box.Path("cut/corvane.class"), "a program nobody meant to run");
  TrackLocks(cut);
  ExpectCleanFailure(RunToEnd(cut, Options({"-javahome", jre, "-tmpdir", tmp})), Corrupted(cut),
                     "stripped, cut");

  std::string whole = box.Path("whole/installer");
  WriteFile(whole, launcher + zip, 0755);
  TrackLocks(whole);
  Result r = RunToEnd(whole, Options({"-javahome", jre, "-tmpdir", tmp}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("Extracting installation files...\n"), std::string::npos) << r.out;
  EXPECT_TRUE(JavaStarted());
}

// One entry declares a negative size, so that the sizes add up to almost nothing while the
// archive holds 40 MiB: in a 16 MiB file system the space check must not let it through, and
// nothing may be extracted. Without the lying entry the space check itself refuses.
TEST_F(Hardening, SizesThatCannotBeRightAreDamageFoundBeforeExtraction) {
  if (!CanMount("size=16m")) GTEST_SKIP() << "no private mount namespaces here";
  box.Write("payload/corvane.class", "classes");
  std::string big = box.Write("payload/big.bin", "");
  ASSERT_EQ(truncate(big.c_str(), 40 << 20), 0);  // zeros: deflated to almost nothing
  box.Write("payload/liar.txt", "x");
  std::string honest = ReadFile(box.Zip("payload", "honest.zip"));
  std::string lying = honest;
  SetCentralSize(lying, "liar.txt", static_cast<uint32_t>(-(40 << 20)));
  WriteFile(box.Path("lying.zip"), lying);
  std::string jre = Runtime();
  std::string small = box.MkDir("small");
  auto run = [&](const std::string &zipRel, const std::string &rel) {
    std::string exe = box.MakeInstaller(zipRel, rel);
    TrackLocks(exe);
    const std::string script = "mount -t tmpfs -o size=16m tmpfs \"$1\" || exit 91; shift; exec \"$@\"";
    return std::make_pair(exe, RunToEnd(kUnshare, InNamespace(Options({}), script,
                                                              {small, exe, "-javahome", jre, "-tmpdir", small})));
  };

  auto [liar, r] = run("lying.zip", "liar/installer");
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_EQ(r.err, Corrupted(liar));
  EXPECT_EQ(r.out, std::string(kFirstLine) + kCleanup) << "extraction started";

  auto [truthful, t] = run("honest.zip", "honest/installer");
  EXPECT_EQ(t.exitStatus, 1) << t.err;
  EXPECT_NE(t.err.find("There is not enough free disk space"), std::string::npos) << t.err;
  EXPECT_FALSE(JavaStarted());
}

// ---- Every way out removes the working directory ----

// The end record claims a central directory of 300 MiB (a hole in a sparse file), which cannot
// be allocated under the address-space limit: "Out of memory", the clean-up, status 1, and the
// lock file gone as after any exit. Under AddressSanitizer, which needs a vast address space,
// its own allocation limit plays that part.
TEST_F(Hardening, RunningOutOfMemoryEndsWithTheCleanUp) {
  const off_t kClaimed = 300 << 20;
  std::string exe = box.CopyLauncher("setup", "mem/installer");
  TrackLocks(exe);
  struct stat st;
  ASSERT_EQ(stat(exe.c_str(), &st), 0);
  ASSERT_EQ(truncate(exe.c_str(), st.st_size + kClaimed), 0);
  std::string end = "PK\x05\x06";
  end += std::string("\0\0\0\0\x01\0\x01\0", 8);
  end += std::string(4, '\0');
  ziptest::Put32(end, 12, static_cast<uint32_t>(kClaimed));
  end += std::string(6, '\0');  // offset 0 from the archive start, no comment
  ASSERT_EQ(end.size(), 22u);
  int fd = open(exe.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, end.data(), end.size()), 22);
  ASSERT_EQ(close(fd), 0);

  std::string jre = Runtime();
  std::string program = exe;
  RunOptions opts = Options({"-javahome", jre, "-tmpdir", tmp});
#if defined(__SANITIZE_ADDRESS__)
  const char *inherited = getenv("ASAN_OPTIONS");
  std::string asan = inherited != nullptr && *inherited != '\0' ? std::string(inherited) + ":" : "";
  opts.env["ASAN_OPTIONS"] = asan + "allocator_may_return_null=1:max_allocation_size_mb=64";
#else
  const std::string limit = "--as=" + std::to_string(200 << 20);
  // Where the launcher cannot even start under the limit (an emulator reserving the guest's
  // address space), the memory path cannot be reached this way.
  if (RunToEnd("/usr/bin/prlimit", Options({limit, exe, "-help"})).exitStatus != 0)
    GTEST_SKIP() << "the launcher does not start under " << limit;
  program = "/usr/bin/prlimit";
  opts.args.insert(opts.args.begin(), {limit, exe});
#endif
  Result r = RunToEnd(program, opts);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  const std::string outOfMemory = "Out of memory: Cannot allocate memory\n";
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_TRUE(EndsWith(r.err, outOfMemory)) << r.err;  // after AddressSanitizer's own warning
#else
  EXPECT_EQ(r.err, outOfMemory);
#endif
  EXPECT_EQ(r.out, std::string(kFirstLine) + kCleanup);
  EXPECT_TRUE(Entries(tmp).empty()) << "working directory left behind";
  EXPECT_FALSE(Exists(LockPath(exe))) << "the exit functions did not run";
}

class DisplayGoesAway : public Hardening {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(BuiltLauncher("setup-gui"))) << "setup-gui is not built";
    ASSERT_TRUE(server.ok()) << "Xvfb did not start";
  }
  RunOptions WindowOptions(std::vector<std::string> args) {
    RunOptions opts = Options(std::move(args));
    opts.env["DISPLAY"] = server.display();
    return opts;
  }
  // Stops the X server; the run p of exe ends with status, the clean-up line alone on the
  // console, and nothing left behind.
  void ExpectEndWithTheDisplay(Process &p, const std::string &exe, int status) {
    server.Stop();
    Result r = p.Wait();
    EXPECT_EQ(r.exitStatus, status) << r.err;
    EXPECT_EQ(r.out, kCleanup);
    EXPECT_TRUE(Entries(tmp).empty()) << "working directory left behind";
    EXPECT_FALSE(Exists(LockPath(exe)));
  }
  xtest::XServer server;
};

// Lost while the Java program runs, the display takes only the windows with it: the launcher
// waits for the Java program and ends normally, on the console.
TEST_F(DisplayGoesAway, WhileJavaRunsTheRunEndsNormallyOnTheConsole) {
  std::string exe = Launcher("gui/setup", "setup-gui");
  StandInJava java;
  java.exitCode = 3;
  java.sleepSeconds = 4;
  auto p = Start(exe, WindowOptions({"-javahome", Runtime(java), "-tmpdir", tmp}));
  xtest::TopLevel status;
  ASSERT_TRUE(xtest::WaitForWindow(server.display(), "Status_popup", &status));
  ASSERT_TRUE(WaitUntil([&] { return JavaStarted(); })) << p->OutSoFar();
  ExpectEndWithTheDisplay(*p, exe, 3);
}

// Lost while the main thread waits in a message box, the display ends the run: status 1, after
// the clean-up.
TEST_F(DisplayGoesAway, WhileAMessageBoxIsShownTheRunEndsWithTheCleanUp) {
  std::string exe = Launcher("gui/setup", "setup-gui");
  RunOptions opts = WindowOptions({"-tmpdir", tmp});
  opts.env["PATH"] = box.MkDir("empty-path");  // no runtime anywhere: an error box
  auto p = Start(exe, opts);
  xtest::TopLevel shown;
  ASSERT_TRUE(xtest::WaitForWindow(server.display(), "Error_popup", &shown));
  ASSERT_EQ(Entries(tmp).size(), 1u);
  ExpectEndWithTheDisplay(*p, exe, 1);
}

// ---- The working directory ----

// Another user who may rename entries in the temporary directory (writable by all, not sticky)
// renames root's fresh working directory away during the version probe and puts a tree of a
// third user's under its name, to be deleted (or extracted into, or run from) with root's
// rights. Such a directory is refused before anything is made in it, also when an inherited
// TMPDIR names it. In a directory that nobody else can change, a swap (made here by root, as
// only root could) changes nothing either: the extraction, the Java program's current directory
// and the deletion stay with the directory that was made, and a link put under its name is
// neither followed nor removed.
TEST_F(Hardening, TheWorkingDirectoryCannotBeSwappedForAnotherTree) {
  PayloadZip();
  const std::string installer = box.MakeInstaller("payload.zip", "installer");
  TrackLocks(installer);
  // A runtime whose version probe takes a second, time enough to swap the working directory.
  StandInJava slow;
  slow.probeScript = "/bin/sleep 1";
  const std::string jre = Runtime(slow, "slow-jre");
  std::string shared = box.MkDir("shared", 0777);
  std::string victim = box.Write("shared/victim/sub/data", "precious\n");
  Sh("chown -R 12345:12345 " + Quote(shared + "/victim") + " && chmod -R go-rwx " +
     Quote(shared + "/victim"));
  RunOptions swapper = Options({"-c", "cd " + Quote(shared) +
                                          " && while :; do for w in setup*; do [ -d \"$w\" ] && mv "
                                          "\"$w\" moved-away && mv victim \"$w\" && exit; done; "
                                          "sleep 0.02; done"});
  swapper.asNobody = true;
  auto loop = Start("/bin/sh", swapper);
  const std::string refused =
      "Error: '" + shared + "' can be changed by other users: choose a private temporary "
      "directory with -tmpdir.\n";
  Result r = RunToEnd(installer, Options({"-javahome", jre, "-tmpdir", shared}));
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_EQ(r.err, refused);
  EXPECT_EQ(r.out, kFirstLine);
  RunOptions inherited = Options({"-javahome", jre});
  inherited.unset = {"JAVA_HOME"};
  inherited.env["TMPDIR"] = shared;
  r = RunToEnd(installer, inherited);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_EQ(r.err, refused);
  loop->Signal(SIGKILL);
  EXPECT_EQ(ReadFile(victim), "precious\n");
  EXPECT_EQ(Entries(shared), std::vector<std::string>{"victim"});
  EXPECT_FALSE(JavaStarted());

  // A link to a directory of someone else's, swapped in under a name nobody else could change.
  // Its corvane.class lets the run go on (the main class is looked for by name).
  std::string own = box.MkDir("own", 0755);
  box.Write("elsewhere/data", "precious\n");
  box.Write("elsewhere/corvane.class", "theirs\n");
  auto p = Start(installer, Options({"-javahome", jre, "-tmpdir", own}));
  std::string workdir;
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<std::string> names = Entries(own);
    if (names.size() == 1) workdir = own + "/" + names[0];
    return !workdir.empty();
  })) << p->OutSoFar();
  const std::string moved = own + "/moved-away";
  ASSERT_EQ(rename(workdir.c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(box.Path("elsewhere").c_str(), workdir.c_str()), 0);
  r = p->Wait();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(ReadFile(report + "/cwd.txt"), moved + "\n");
  std::vector<std::string> there = Entries(box.Path("elsewhere"));
  std::sort(there.begin(), there.end());
  EXPECT_EQ(there, (std::vector<std::string>{"corvane.class", "data"}));
  EXPECT_EQ(ReadFile(box.Path("elsewhere/data")), "precious\n");
  EXPECT_EQ(ReadFile(box.Path("elsewhere/corvane.class")), "theirs\n");
  EXPECT_TRUE(Entries(moved).empty()) << "the directory that was made was not emptied";
  struct stat st;
  EXPECT_EQ(lstat(workdir.c_str(), &st), 0) << "the link was removed";
  unlink(workdir.c_str());
  rmdir(moved.c_str());
}

// ---- The upgrade script ----

struct Planted {
  const char *name;
  // Run as uid 65534 in the shared directory; $1 is the marker that running the script would
  // make, $2 a script of root's that makes it.
  const char *command;
  const char *reason;
};

void PrintTo(const Planted &planted, std::ostream *os) { *os << planted.name; }

class PlantedUpgradeScript : public Hardening, public ::testing::WithParamInterface<Planted> {};

// Another local user leaves UpgradeInvoker.sh in the shared temporary directory before root
// runs an installer whose Java program asks for the upgrade step.
TEST_P(PlantedUpgradeScript, IsNeitherRunNorRemoved) {
  const Planted &planted = GetParam();
  std::string shared = box.MkDir("shared", 01777);
  std::string marker = box.MkDir("marker", 0777) + "/ran";
  std::string script = shared + "/UpgradeInvoker.sh";
  std::string roots = box.Write("roots.sh", "#!/bin/sh\n: > " + Quote(marker) + "\n", 0755);
  ASSERT_EQ(AsNobody("cd " + Quote(shared) + " && set -- " + Quote(marker) + " " + Quote(roots) +
                     " && " + planted.command),
            0);
  struct stat before;
  ASSERT_EQ(lstat(script.c_str(), &before), 0);
  ASSERT_EQ(before.st_uid, kNobody);

  StandInJava java;
  java.exitCode = 10;
  std::string exe = Launcher();
  Result r = RunToEnd(exe, Options({"-javahome", Runtime(java), "-tmpdir", shared}));
  EXPECT_EQ(r.exitStatus, 10) << r.err;
  EXPECT_EQ(r.err, "Error: The upgrade script '" + script + "' was not run because " +
                       planted.reason + ".\n");
  EXPECT_FALSE(Exists(marker)) << "the planted script ran";
  struct stat after;
  ASSERT_EQ(lstat(script.c_str(), &after), 0) << "the planted file was removed";
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(EndsWith(r.out, kCleanup));
  EXPECT_EQ(Entries(shared), std::vector<std::string>{"UpgradeInvoker.sh"});
}

INSTANTIATE_TEST_SUITE_P(
    ByAnotherUser, PlantedUpgradeScript,
    ::testing::Values(
        Planted{"OwnScript",
                "printf '#!/bin/sh\\n: > %s\\n' \"$1\" > UpgradeInvoker.sh && "
                "chmod 755 UpgradeInvoker.sh",
                "it belongs to another user"},
        Planted{"LinkToAScriptOfRoots", "ln -s \"$2\" UpgradeInvoker.sh",
                "it is a symbolic link"}),
    [](const ::testing::TestParamInfo<Planted> &info) { return std::string(info.param.name); });

// The file that runs is the one that was checked: the name is swapped for another script (by
// root: in a sticky directory nobody else could) while the launcher's exec of the checked one
// is held back (strace delays every exec), and the checked one still runs. The exec from the
// descriptor is an execveat, or, under qemu's user-mode emulator (no execveat), an execve of
// /proc/self/fd/<n>.
TEST_F(Hardening, TheUpgradeScriptThatRunsIsTheOneThatWasChecked) {
  std::string shared = box.MkDir("shared", 01777);
  std::string script = shared + "/UpgradeInvoker.sh";
  WriteFile(script, "#!/bin/sh\necho checked > " + Quote(box.Path("checked")) + "\n", 0755);
  std::string swapped = box.Write("swapped.sh",
                                  "#!/bin/sh\necho swapped > " + Quote(box.Path("swapped")) + "\n",
                                  0755);
  std::string log = box.Path("strace.log");
  StandInJava java;
  java.exitCode = 10;
  std::string exe = Launcher();
  RunOptions opts = Options({"-f", "-qq", "-e", "signal=none", "-o", log, "-e", "trace=execve,execveat",
                             "-e", "inject=execve,execveat:delay_enter=3000000", exe, "-javahome",
                             Runtime(java), "-tmpdir", shared});
  opts.env["ASAN_OPTIONS"] = "detect_leaks=0";  // LeakSanitizer does not work under ptrace
  auto p = Start("/usr/bin/strace", opts);
  ASSERT_TRUE(WaitUntil([&] {
    const std::string traced = ReadFile(log);
    return traced.find("execveat(") != std::string::npos ||
           traced.find("execve(\"/proc/self/fd/") != std::string::npos;
  })) << p->OutSoFar();
  ASSERT_EQ(rename(swapped.c_str(), script.c_str()), 0);
  Result r = p->Wait();
  EXPECT_EQ(r.exitStatus, 10) << r.err;
  EXPECT_EQ(ReadFile(box.Path("checked")), "checked\n");
  EXPECT_FALSE(Exists(box.Path("swapped"))) << "the swapped-in script ran";
}

// ---- The lock file ----

// Another user creates the lock path of root's installer and holds a record lock on it. Root
// may remove it from the sticky /tmp: the launcher replaces it and runs, instead of claiming
// that another copy runs. A FIFO planted there must not hang it either.
TEST_F(Hardening, ALockFilePlantedByAnotherUserIsReplaced) {
  std::string exe = Launcher();
  std::string lock = LockPath(exe);
  std::string jre = Runtime();
  ASSERT_EQ(AsNobody(": > " + Quote(lock) + " && chmod 666 " + Quote(lock)), 0);
  int fd = open(lock.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock held = {};
  held.l_type = F_WRLCK;
  held.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(fd, F_SETLK, &held), 0);
  Result r = RunToEnd(exe, Options({"-javahome", jre, "-tmpdir", tmp}));
  close(fd);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(JavaStarted());
  EXPECT_FALSE(Exists(lock));

  ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
  ASSERT_EQ(chown(lock.c_str(), kNobody, kNobody), 0);
  RunOptions opts = Options({"-javahome", jre, "-tmpdir", tmp});
  opts.timeoutSeconds = 60;
  r = RunToEnd(exe, opts);
  EXPECT_FALSE(r.timedOut) << "hung on the FIFO";
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_FALSE(Exists(lock));
  EXPECT_TRUE(Entries(tmp).empty());
}

// An unprivileged user cannot remove what root left at their lock path: the launcher says so,
// naming the file, and ends before it makes anything.
TEST_F(Hardening, ALockFileThatCannotBeRemovedIsNamedAndStopsTheRun) {
  std::string exe = Launcher();
  std::string lock = LockPath(exe, "Setup", kNobody);
  WriteFile(lock, "root's\n", 0644);
  std::string shared = box.MkDir("shared", 0777);
  RunOptions opts = Options({"-javahome", Runtime(), "-tmpdir", shared});
  opts.asNobody = true;
  Result r = RunToEnd(exe, opts);
  std::string left = ReadFile(lock);
  unlink(lock.c_str());
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, Unremovable(lock));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(left, "root's\n");
  EXPECT_TRUE(Entries(shared).empty());
  EXPECT_FALSE(JavaStarted());
}

// Another user's directory at root's lock path, with a file in it, so that it cannot be
// removed: root moves it aside (nobody's tree is deleted), says so, and runs.
TEST_F(Hardening, ADirectoryOfAnotherUserAtTheLockPathIsMovedAsideForRoot) {
  std::string exe = Launcher();
  std::string lock = LockPath(exe);
  ASSERT_EQ(AsNobody("mkdir " + Quote(lock) + " && echo theirs > " + Quote(lock + "/x")), 0);
  Result r = RunToEnd(exe, Options({"-javahome", Runtime(), "-tmpdir", tmp}));
  const std::string said = "The directory '" + lock + "' was in the lock file's place and has been moved to '";
  ASSERT_EQ(r.err.compare(0, said.size(), said), 0) << r.err;
  const std::string aside = r.err.substr(said.size(), r.err.find('\'', said.size()) - said.size());
  EXPECT_EQ(r.err, said + aside + "'.\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(JavaStarted());
  EXPECT_EQ(ReadFile(aside + "/x"), "theirs\n");
  EXPECT_FALSE(Exists(lock));
  ASSERT_EQ(aside.compare(0, lock.size() + 7, lock + ".aside."), 0) << aside;
  unlink((aside + "/x").c_str());
  rmdir(aside.c_str());
}

// A lock file that is replaced again and again (here: whose name never leads to the file just
// locked, as strace makes every look at the name fail) never lets the run go on without a lock.
TEST_F(Hardening, ALockFileThatKeepsBeingReplacedStopsTheRun) {
  std::string exe = Launcher();
  std::string lock = LockPath(exe);
  RunOptions opts = Options({"-qq", "-e", "signal=none", "-o", "/dev/null", "-P", lock, "-e",
                             "trace=%stat,%lstat,%fstat", "-e",
                             "inject=%stat,%lstat,%fstat:error=ENOENT", exe, "-javahome",
                             Runtime(), "-tmpdir", tmp});
  opts.env["ASAN_OPTIONS"] = "detect_leaks=0";  // LeakSanitizer does not work under ptrace
  Result r = RunToEnd("/usr/bin/strace", opts);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, Unremovable(lock));
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(JavaStarted());
  EXPECT_TRUE(Entries(tmp).empty());
  unlink(lock.c_str());
}

// The hand-over: copy B opens the lock file while copy A still holds it, and locks it only
// after A has ended (strace holds B's first fcntl back for 8 s; A ends after about 3). A removed
// the name before it let the lock go, so B finds that it holds a file without a name and starts
// over. A copy C started while B runs must then be refused: B and C must never run at once.
TEST_F(Hardening, AfterAHandOverOnlyOneCopyRuns) {
  std::string exe = Launcher();
  // A runs until its version probe, which takes 3 s, then fails (a refused version).
  std::string slow = MakeRuntime(box.Path("slow"),
                                 "#!/bin/sh\n/bin/sleep 3\necho 'java version \"1.3.0\"' >&2\nexit 0\n");
  StandInJava java;
  java.sleepSeconds = 2;
  std::string jre = Runtime(java);
  std::string tmpB = box.MkDir("tmpB"), tmpC = box.MkDir("tmpC");

  RunOptions aOpts = Options({"-javahome", slow, "-tmpdir", tmp});
  aOpts.env["PATH"] = box.MkDir("empty-path");  // nothing to fall back on
  auto a = Start(exe, aOpts);
  ASSERT_TRUE(a->WaitForOutput(kFirstLine));
  RunOptions bOpts = Options({"-qq", "-e", "signal=none", "-o", "/dev/null", "-e",
                              "trace=fcntl,fcntl64", "-e",
                              "inject=fcntl,fcntl64:delay_enter=8000000:when=1", exe, "-javahome",
                              jre, "-tmpdir", tmpB});
  bOpts.env["ASAN_OPTIONS"] = "detect_leaks=0";  // LeakSanitizer does not work under ptrace
  auto b = Start("/usr/bin/strace", bOpts);
  Result ra = a->Wait();
  EXPECT_EQ(ra.exitStatus, 1) << "A was to fail on its runtime: " << ra.err;
  ASSERT_TRUE(b->WaitForOutput(kFirstLine)) << "B did not get past the lock";

  Result rc = RunToEnd(exe, Options({"-javahome", jre, "-tmpdir", tmpC}));
  EXPECT_EQ(rc.exitStatus, 1) << "C ran while B did";
  EXPECT_EQ(rc.err, kAlreadyRunning);
  Result rb = b->Wait();
  EXPECT_EQ(rb.exitStatus, 0) << rb.err;
  EXPECT_TRUE(Entries(tmpB).empty());
  EXPECT_TRUE(Entries(tmpC).empty());
}

}  // namespace
