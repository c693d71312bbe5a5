// The packaging tool: every bad input gives its message and status and leaves no output file;
// the same payload packs to the same bytes in any time zone, under any umask, whatever its
// modes; links arrive at the launcher's run as the files they point to; --check finds a flipped
// byte anywhere; an installed toolkit packs without naming a launcher.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

std::string Q(const std::string &s) { return Quote(s); }

struct ToolRun {
  int status;
  std::string output;
};

// The run ended with status and its output holds each of texts.
void ExpectRun(const ToolRun &r, int status, const std::vector<std::string> &texts) {
  EXPECT_EQ(r.status, status) << r.output;
  for (const std::string &text : texts) EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
}

ToolRun Tool(const std::string &args, const std::string &env = "") {
  ToolRun r;
  r.status = Shell(env + " '" + BuiltLauncher("mkinstaller") + "' " + args, &r.output);
  return r;
}

// The processor directory of the other launcher build.
std::string OtherArchDir() { return std::string(ArchDir()) == "i386" ? "amd64" : "i386"; }

class Mkinstaller : public LauncherTest {
 protected:
  void SetUp() override {
    box.Write("payload/corvane.class", "class bytes");
    box.Write("payload/package/PackageFormat.jar", std::string(5000, 'j'));
    box.Write("payload/package/data/notes.txt", std::string(20000, 'n'));
    launcher = box.CopyLauncher("setup", "launcher");
    box.MkDir("out");
  }
  // Files in the sandbox's out directory (temporary files included).
  std::string OutListing() {
    std::string out;
    Shell("ls -A '" + box.Path("out") + "'", &out);
    return out;
  }
  // Packs payload (relative) into out/<name> with extra arguments; the tool's output.
  ToolRun Pack(const std::string &name, const std::string &args = "-q", const std::string &payload = "payload",
               const std::string &env = "") {
    return Tool(args + " " + Q(launcher) + " " + Q(box.Path(payload)) + " " + Q(box.Path("out/" + name)), env);
  }
  std::string Out(const std::string &name) { return ReadFile(box.Path("out/" + name)); }
  std::string launcher;
};

TEST_F(Mkinstaller, PacksAPayloadAndSummarisesIt) {
  ToolRun r = Pack("inst", "");
  ExpectRun(r, 0, {"5 entries", "25011 bytes uncompressed", "free space needed at run time: 125011 bytes",
                   "bundled Java runtime: no"});
  struct stat st;
  ASSERT_EQ(stat(box.Path("out/inst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(OutListing(), "inst\n");  // no temporary file left beside it
  // The installer starts with the launcher, byte for byte.
  std::string inst = ReadFile(box.Path("out/inst"));
  std::string bin = ReadFile(launcher);
  EXPECT_EQ(inst.compare(0, bin.size(), bin), 0);

  ToolRun list = Tool("--list '" + box.Path("out/inst") + "'");
  ExpectRun(list, 0, {"package/data/notes.txt"});
  ToolRun check = Tool("--check '" + box.Path("out/inst") + "'");
  EXPECT_EQ(check.status, 0) << check.output;
}

TEST_F(Mkinstaller, SamePayloadPacksToIdenticalBytes) {
  for (const char *opt : {"", "-a ", "--relative "}) {
    ASSERT_EQ(Pack("a", std::string("-q ") + opt).status, 0);
    ASSERT_EQ(Pack("b", std::string("-q ") + opt).status, 0);
    EXPECT_EQ(ReadFile(box.Path("out/a")), ReadFile(box.Path("out/b"))) << opt;
  }
}

// What a vendor checks an installer with reads it cleanly: unzip -l and -t, zipinfo and
// Python's zipfile, with status 0 and no warning, names in UTF-8 shown as such. A name that is
// not UTF-8 is packed as its bytes, with a warning that names the file.
TEST_F(Mkinstaller, OtherZipReadersReadInstallersWithoutAWarning) {
  box.Write("payload/package/caf\xc3\xa9.txt", "coffee");
  box.Write("payload/package/bad\xff.txt", "bytes");
  ToolRun r = Pack("inst", "");
  ExpectRun(r, 0, {"warning: '" + box.Path("payload") + "/package/bad\\xff.txt': the name is not valid UTF-8"});
  const std::string inst = Q(box.Path("out/inst"));
  for (const std::string &reader : {"unzip -l " + inst, "unzip -t " + inst, "zipinfo " + inst}) {
    std::string out;
    EXPECT_EQ(Shell(reader + " 2>&1", &out), 0) << reader << "\n" << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << reader << "\n" << out;
    EXPECT_NE(out.find("package/caf\xc3\xa9.txt"), std::string::npos) << reader << "\n" << out;
  }
  std::string out;
  EXPECT_EQ(Shell("python3 -W error -c 'import sys, zipfile\n"
                       "z = zipfile.ZipFile(sys.argv[1])\n"
                       "assert z.testzip() is None\n"
                       "print(z.read(\"package/caf\\u00e9.txt\").decode())' " + inst + " 2>&1",
                       &out),
            0)
      << out;
  EXPECT_EQ(out, "coffee\n");
  // With --relative the offsets are what a plain concatenation gives; the launcher reads both.
  ASSERT_EQ(Pack("relative", "-q --relative").status, 0);
  EXPECT_EQ(Shell("unzip -tqq " + Q(box.Path("out/relative")) + " 2>&1", &out), 1) << out;
  EXPECT_EQ(Tool("--check " + Q(box.Path("out/relative"))).status, 0);
}

TEST_F(Mkinstaller, BundledRuntimeIsReported) {
  box.Write("payload/package/jre/bin/java", "#!/bin/sh\n", 0755);
  box.Write(std::string("payload/package/jre/lib/") + ArchDir() + "/libjava.so", "");
  ToolRun r = Pack("inst", "");
  ExpectRun(r, 0, {"bundled Java runtime: yes"});
}

TEST_F(Mkinstaller, BadInputsFailWithAMessageAndLeaveNoOutput) {
  box.Write("empty/readme.txt", "no main class");
  box.Write("notelf", "#!/bin/sh\n", 0755);
  box.Write("cut", ReadFile(launcher).substr(0, 1000), 0755);
  std::string packed = box.Path("out/packed");
  ASSERT_EQ(Pack("packed").status, 0);
  struct Case {
    std::string args, message;
  };
  const std::string p = "'" + box.Path("payload") + "'";
  const std::string o = "'" + box.Path("out/new") + "'";
  const Case cases[] = {
      {"'" + box.Path("missing") + "' " + p + " " + o, "no such file"},
      {"'" + box.Path("notelf") + "' " + p + " " + o, "is not an executable (ELF) file"},
      {"'" + box.Path("cut") + "' " + p + " " + o, "is cut short: its ELF headers say the program takes at least"},
      {"'" + packed + "' " + p + " " + o, "already carries an archive"},
      {"'" + launcher + "' '" + box.Path("nopayload") + "' " + o, "no such directory"},
      {"'" + launcher + "' '" + box.Path("empty") + "' " + o, "has no corvane.class at its root"},
      {"-u '" + launcher + "' " + p + " " + o, "has no corvane_uninstall.class at its root"},
      {"'" + launcher + "' " + p + " '" + box.Path("nodir/new") + "'", "no such directory"},
  };
  for (const Case &c : cases) {
    ToolRun r = Tool(c.args);
    EXPECT_EQ(r.status, 1) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
  }
  EXPECT_EQ(OutListing(), "packed\n");

  // An output directory the user cannot write (root could, so run as nobody).
  box.MkDir("locked", 0555);
  std::string out;
  int rc = AsNobody(Q(BuiltLauncher("mkinstaller")) + " " + Q(launcher) + " " + p + " " +
                       Q(box.Path("locked/inst")),
                   &out);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("is not writable"), std::string::npos) << out;
  EXPECT_FALSE(Exists(box.Path("locked/inst")));

  // Usage errors.
  EXPECT_EQ(Tool("'" + launcher + "'").status, 2);
  EXPECT_EQ(Tool("--bogus").status, 2);
  EXPECT_EQ(Tool("-l 12 '" + launcher + "' " + p + " " + o).status, 2);
}

TEST_F(Mkinstaller, MissingPackageFormatJarOnlyWarns) {
  box.Write("bare/corvane.class", "x");
  ToolRun r = Pack("i", "-q", "bare");
  ExpectRun(r, 0, {"warning: payload has no package/PackageFormat.jar"});
}

TEST_F(Mkinstaller, CheckFindsADamagedPayload) {
  std::string inst = box.Path("out/inst");
  ASSERT_EQ(Pack("inst", "-q -l 0").status, 0);
  // Flip a byte inside the stored notes.txt data, near the end of the file.
  std::string data = ReadFile(inst);
  size_t at = data.find(std::string(100, 'n'));
  ASSERT_NE(at, std::string::npos);
  data[at + 50] = 'X';
  WriteFile(inst, data, 0755);
  ToolRun r = Tool("--check '" + inst + "'");
  ExpectRun(r, 1, {"damaged"});
  // A plain launcher has no payload to list.
  EXPECT_EQ(Tool("--list '" + launcher + "'").status, 1);
}

TEST_F(Mkinstaller, RefusalsNameTheFileAndTheRule) {
  struct Case {
    std::string setup, expected;
  };
  const std::string p = box.Path("payload");
  const Case cases[] = {
      // One byte more than an entry may have (a sparse file: nothing is read before the refusal).
      {"truncate -s 2147483648 " + Q(p + "/package/huge.bin"), "'" + p + "/package/huge.bin': it is 2147483648 bytes"},
      {"ln -s missing.txt " + Q(p + "/dangling"), "'" + p + "/dangling' points to 'missing.txt', which does not exist"},
      {"ln -s /etc/passwd " + Q(p + "/package/passwd"), "'" + p + "/package/passwd' points to '/etc/passwd', outside the payload"},
      {"ln -s .. " + Q(p + "/package/up"), "'" + p + "/package/up' points to '..', a directory that holds the link itself"},
      {"mkfifo " + Q(p + "/pipe"), "'" + p + "/pipe': it is a named pipe"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(Shell(c.setup), 0) << c.setup;
    ToolRun r = Pack("inst");
    EXPECT_EQ(r.status, 1) << c.setup << "\n" << r.output;
    EXPECT_NE(r.output.find(c.expected), std::string::npos) << r.output;
    Shell("rm -f " + Q(p + "/package/huge.bin") + " " + Q(p + "/dangling") + " " + Q(p + "/package/passwd") +
               " " + Q(p + "/package/up") + " " + Q(p + "/pipe"));
  }
  ToolRun r = Pack("inst");
  EXPECT_EQ(r.status, 0) << r.output;
  // Stored, two entries that each fit make an installer larger than the launcher reads: refused
  // before anything is written.
  ASSERT_EQ(Shell("truncate -s 1100000000 " + Q(p + "/a.bin") + " " + Q(p + "/b.bin")), 0);
  r = Pack("big", "-q -l 0");
  ExpectRun(r, 1, {"the installer would be 22", "at most 2147483647 bytes"});
  EXPECT_EQ(OutListing(), "inst\n");
}

TEST_F(Mkinstaller, MoreEntriesThanTheLauncherReadsAreRefusedAndTheLimitPacks) {
  // corvane.class, package/, package/PackageFormat.jar, package/data/, package/data/notes.txt,
  // many/ and its files: 65,535 entries, one more than the reader takes.
  box.MkDir("payload/many");
  for (int i = 0; i < 65529; i++) {
    int fd = open(box.Path("payload/many/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  ToolRun r = Pack("inst");
  ExpectRun(r, 1, {"has 65535 entries (files and directories together), and the launcher reads at most 65534"});
  EXPECT_FALSE(Exists(box.Path("out/inst")));
  unlink(box.Path("payload/many/0").c_str());
  r = Pack("inst", "");
  ExpectRun(r, 0, {"65534 entries (65531 files, 3 directories)"});
  ToolRun check = Tool("--check " + Q(box.Path("out/inst")));
  ExpectRun(check, 0, {"every entry is intact (65534 entries)"});
}

TEST_F(Mkinstaller, TheLauncherMustBeOneOfOursOfTheRightKindAndProcessor) {
  // An ELF program that is no launcher.
  box.CopyLauncher("catalog_gen", "program");
  ToolRun r = Tool("-q " + Q(box.Path("program")) + " " + Q(box.Path("payload")) + " " + Q(box.Path("out/i")));
  ExpectRun(r, 1, {"is not a corvane launcher"});

  // An installer payload behind the uninstaller launcher, and the other way round.
  const std::string uninstall = box.CopyLauncher("uninstall", "uninstall");
  r = Tool("-q " + Q(uninstall) + " " + Q(box.Path("payload")) + " " + Q(box.Path("out/i")));
  ExpectRun(r, 1, {"is the uninstaller launcher (main class corvane_uninstall), but the payload is an installer's"});
  box.Write("upayload/corvane_uninstall.class", "u");
  r = Tool("-q -u " + Q(launcher) + " " + Q(box.Path("upayload")) + " " + Q(box.Path("out/u")));
  ExpectRun(r, 1, {"is the installer launcher (main class corvane), but the payload is an uninstaller's"});
  r = Tool("-q " + Q(launcher) + " " + Q(box.Path("upayload")) + " " + Q(box.Path("out/u")));
  ExpectRun(r, 1, {"it holds corvane_uninstall.class, an uninstaller's: add -u"});
  r = Tool("-u " + Q(uninstall) + " " + Q(box.Path("upayload")) + " " + Q(box.Path("out/u")));
  ExpectRun(r, 0, {"uninstaller launcher"});
  EXPECT_EQ(OutListing(), "u\n");

  // A runtime for the other processor: the launcher would never find it.
  box.Write("payload/package/jre/bin/java", "#!/bin/sh\n", 0755);
  box.Write("payload/package/jre/lib/" + OtherArchDir() + "/libjava.so", "");
  r = Pack("i");
  ExpectRun(r, 1,
            {"is for lib/" + OtherArchDir(), OtherArchDir() == "i386"
                                                 ? "pack it behind the 32-bit launcher (the i386 build)"
                                                 : "pack it behind the 64-bit launcher (the x86_64 build)"});
  box.Write(std::string("payload/package/jre/lib/") + ArchDir() + "/libjava.so", "");
  r = Pack("i", "");
  ExpectRun(r, 0, {std::string("bundled Java runtime: yes, for ") + ArchDir()});

  // Installers made by hand get the same verdicts from --check and --info.
  box.Zip("payload", "payload.zip");
  const std::string wrongKind = box.MakeInstaller("payload.zip", "wrong-kind", "uninstall");
  r = Tool("--check " + Q(wrongKind));
  ExpectRun(r, 1,
            {"has no corvane_uninstall.class at its root",
             "(it holds corvane.class: an installer payload behind the uninstaller launcher)"});
  r = Tool("--info " + Q(wrongKind));
  ExpectRun(r, 0, {": uninstaller launcher, " + std::string(sizeof(void *) == 8 ? "64-bit x86-64" : "32-bit i386")});
  Shell("rm " + Q(box.Path(std::string("payload/package/jre/lib/") + ArchDir() + "/libjava.so")));
  box.Zip("payload", "payload.zip");
  r = Tool("--check " + Q(box.MakeInstaller("payload.zip", "wrong-arch")));
  ExpectRun(r, 1, {"is for lib/" + OtherArchDir()});
}

TEST_F(Mkinstaller, SameBytesInAnyTimeZoneUmaskAndModesAndWithSourceDateEpoch) {
  ASSERT_EQ(Shell("touch -d @1700000000 " + Q(box.Path("payload/package/data/notes.txt"))), 0);
  ASSERT_EQ(Pack("utc", "-q", "payload", "TZ=UTC").status, 0);
  ASSERT_EQ(Pack("tokyo", "-q", "payload", "TZ=Asia/Tokyo").status, 0);
  EXPECT_EQ(Out("utc"), Out("tokyo"));
  // The time stamp is the modification time in UTC, whatever the zone of the listing.
  ToolRun list = Tool("--list " + Q(box.Path("out/tokyo")), "TZ=Asia/Tokyo");
  EXPECT_NE(list.output.find("2023-11-14 22:13:20  package/data/notes.txt"), std::string::npos) << list.output;

  // The same files with other modes, packed under another umask.
  Sh("cp -a " + Q(box.Path("payload")) + " " + Q(box.Path("private")) + " && chmod -R go-rwx " +
     Q(box.Path("private")) + " && chmod 700 " + Q(box.Path("private/corvane.class")));
  ASSERT_EQ(Pack("private", "-q", "private", "umask 077 &&").status, 0);
  EXPECT_EQ(Out("private"), Out("utc"));

  // Other modification times give other bytes, unless SOURCE_DATE_EPOCH fixes every time stamp.
  ASSERT_EQ(Shell("touch -d @1600000000 " + Q(box.Path("private/package/data/notes.txt"))), 0);
  ASSERT_EQ(Pack("touched", "-q", "private").status, 0);
  EXPECT_NE(Out("touched"), Out("utc"));
  ASSERT_EQ(Pack("epoch1", "-q", "payload", "SOURCE_DATE_EPOCH=1700000000 TZ=America/New_York").status, 0);
  ASSERT_EQ(Pack("epoch2", "-q", "private", "SOURCE_DATE_EPOCH=1700000000 TZ=UTC").status, 0);
  EXPECT_EQ(Out("epoch1"), Out("epoch2"));
  list = Tool("--list " + Q(box.Path("out/epoch2")));
  EXPECT_NE(list.output.find("2023-11-14 22:13:20  corvane.class"), std::string::npos) << list.output;
  ToolRun bad = Pack("bad", "-q", "payload", "SOURCE_DATE_EPOCH=yesterday");
  ExpectRun(bad, 1, {"SOURCE_DATE_EPOCH is 'yesterday', not a number of seconds"});
}

// A bundled runtime made of links (bin/java and lib/ point elsewhere in the payload) and data
// reached through links: the real launcher finds the runtime, runs its java, and the program
// sees plain files with the contents of what the links pointed to.
TEST_F(Mkinstaller, LinksArriveAsTheFilesTheyPointToWhenTheLauncherRuns) {
  StandInJava java;
  std::string script = "for f in data/link.txt docs/real.txt docs/link.txt package/jre/bin/java package/jre/lib/" +
            std::string(ArchDir()) + "/libjava.so; do\n";
  script += "  if [ -f \"$f\" ] && [ ! -L \"$f\" ]; then echo \"$f: $(head -c 13 \"$f\")\"; else echo \"$f: missing\"; fi\n";
  script += "done > " + Q(report + "/files") + "\n";
  script += "[ -d docs ] && [ ! -L docs ] && echo docs: directory >> " + Q(report + "/files") + "\n";
  java.extraScript = script;
  box.Write("payload/tools/java.sh", JavaScript(java), 0755);
  box.Write(std::string("payload/runtime/lib/") + ArchDir() + "/libjava.so", "the library");
  box.Write("payload/data/real.txt", "real contents");
  box.MkDir("payload/package/jre/bin");
  Sh("cd " + Q(box.Path("payload")) + " && ln -s ../../../tools/java.sh package/jre/bin/java && " +
     "ln -s ../../runtime/lib package/jre/lib && ln -s real.txt data/link.txt && ln -s data docs");
  ToolRun r = Pack("inst", "");
  ExpectRun(r, 0, {"5 symbolic links stored as what they point to",
                   std::string("bundled Java runtime: yes, for ") + ArchDir()});

  Result run = RunToEnd(box.Path("out/inst"), LauncherOptions({"-tmpdir", tmp}));
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(report + "/files"),
            "data/link.txt: real contents\n"
            "docs/real.txt: real contents\n"
            "docs/link.txt: real contents\n"
            "package/jre/bin/java: #!/bin/sh\nif \n"
            "package/jre/lib/" + std::string(ArchDir()) + "/libjava.so: the library\n"
            "docs: directory\n");
}

TEST_F(Mkinstaller, CheckFindsAFlippedByteAnywhereAndPrintsTheFilesDigest) {
  ASSERT_EQ(Pack("inst").status, 0);
  const std::string inst = box.Path("out/inst");
  std::string sum;
  ASSERT_EQ(Shell("sha256sum " + Q(inst) + " | cut -c1-64", &sum), 0);
  ToolRun ok = Tool("--check " + Q(inst));
  ExpectRun(ok, 0, {"the SHA-256 recorded when it was made matches\nSHA-256: " + sum});
  const std::string bytes = ReadFile(inst);
  const size_t launcherSize = ReadFile(launcher).size();
  // Some forty places spread over the archive, its first and last bytes, and the launcher.
  std::vector<size_t> places = {launcherSize, bytes.size() - 1, launcherSize / 3, launcherSize - 1};
  for (size_t at = launcherSize; at < bytes.size(); at += (bytes.size() - launcherSize) / 40 + 1) places.push_back(at);
  for (size_t at : places) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    WriteFile(box.Path("out/damaged"), damaged, 0755);
    ToolRun r = Tool("--check " + Q(box.Path("out/damaged")));
    EXPECT_EQ(r.status, 1) << "byte " << at << "\n" << r.output;
    EXPECT_NE(r.output.find("damaged"), std::string::npos) << "byte " << at << "\n" << r.output;
  }
}

TEST_F(Mkinstaller, AnInstalledToolkitPacksWithoutALauncherPath) {
  const std::string prefix = box.Path("prefix");
  std::string out;
  ASSERT_EQ(Shell("cmake --install " + Q(LAUNCHER_BUILD_DIR) + " --prefix " + Q(prefix), &out), 0) << out;
  const std::string tool = prefix + "/bin/mkinstaller";
  ASSERT_EQ(Shell(Q(tool) + " " + Q(box.Path("payload")) + " " + Q(box.Path("out/inst")), &out), 0) << out;
  EXPECT_NE(out.find("out/inst: installer launcher"), std::string::npos) << out;
  box.Write("upayload/corvane_uninstall.class", "u");
  ASSERT_EQ(Shell(Q(tool) + " -u " + Q(box.Path("upayload")) + " " + Q(box.Path("out/uninst")), &out), 0) << out;
  EXPECT_NE(out.find("out/uninst: uninstaller launcher"), std::string::npos) << out;
  // The installer starts with the installed launcher, byte for byte.
  const std::string installed = ReadFile(prefix + "/libexec/corvane/uninstall");
  ASSERT_FALSE(installed.empty());
  EXPECT_EQ(ReadFile(box.Path("out/uninst")).compare(0, installed.size(), installed), 0);
  EXPECT_EQ(Shell(Q(tool) + " --check " + Q(box.Path("out/uninst"))), 0);
  // Without its launchers the toolkit says where it looked.
  ASSERT_EQ(Shell("rm -r " + Q(prefix + "/libexec/corvane")), 0);
  EXPECT_EQ(Shell(Q(tool) + " " + Q(box.Path("payload")) + " " + Q(box.Path("out/again")), &out), 1);
  EXPECT_NE(out.find("no launcher given, and none is installed beside mkinstaller ('" + prefix +
                     "/bin/../libexec/corvane/setup': no such file)"),
            std::string::npos)
      << out;
}

// What a run killed with SIGKILL leaves beside its output is removed by the next run for that
// output; only names of the tool's own pattern, files of the user, older than a minute, and
// not locked by a run still going.
TEST_F(Mkinstaller, TheNextRunRemovesWhatAKilledRunLeft) {
  const std::vector<std::string> kept = {".inst.Held01", ".inst.Young1", ".inst.Other1", ".inst.TooLong", ".other.Ab12Cd"};
  for (const std::string &name : kept) box.Write("out/" + name, "partial");
  box.Write("out/.inst.Xy12Zw", "partial");
  Sh("cd " + Q(box.Path("out")) + " && touch -d '-2 minutes' .inst.Xy12Zw .inst.Held01 .inst.Other1 " +
     ".inst.TooLong .other.Ab12Cd && chown 65534 .inst.Other1");
  const int held = open(box.Path("out/.inst.Held01").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  ToolRun r = Pack("inst", "");
  close(held);
  ExpectRun(r, 0, {"warning: removed '" + box.Path("out/.inst.Xy12Zw") + "', the temporary file of an earlier run"});
  EXPECT_FALSE(Exists(box.Path("out/.inst.Xy12Zw")));
  for (const std::string &name : kept) EXPECT_TRUE(Exists(box.Path("out/" + name))) << name;
}

// A payload that takes seconds to pack: progress on a terminal only, and an interrupted run
// leaves no temporary file behind.
class SlowPayload : public Mkinstaller {
 protected:
  void SetUp() override {
    Mkinstaller::SetUp();
    // Text-like data deflates slowly at level 9; enough of it that packing takes more than the
    // second after which progress is shown, even on a fast machine with an optimised build.
    std::string out;
    ASSERT_EQ(Shell("head -c 96000000 /dev/urandom | base64 > " + Q(box.Path("payload/package/data/big.txt")), &out),
              0)
        << out;
  }
};

TEST_F(SlowPayload, ProgressIsShownOnATerminalOnly) {
  const std::string args = "-l 9 " + Q(launcher) + " " + Q(box.Path("payload")) + " " + Q(box.Path("out/inst"));
  std::string out;
  ASSERT_EQ(Shell("script -qec " + Q(BuiltLauncher("mkinstaller") + " " + args) + " /dev/null", &out), 0)
      << out;
  EXPECT_NE(out.find("\rpacking: "), std::string::npos) << out;
  EXPECT_NE(out.find("entries"), std::string::npos);
  out.clear();
  ASSERT_EQ(Shell("script -qec " + Q(BuiltLauncher("mkinstaller") + " -q " + args) + " /dev/null", &out), 0);
  EXPECT_EQ(out, "");
  ToolRun plain = Tool(args);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.output.find('\r'), std::string::npos);
}

TEST_F(SlowPayload, AnInterruptedRunLeavesNoTemporaryFile) {
  RunOptions opts;
  opts.args = {"-q", "-l", "9", launcher, box.Path("payload"), box.Path("out/inst")};
  Process tool(BuiltLauncher("mkinstaller"), opts, box.MkDir("run"));
  // Once the temporary file exists, the tool is packing.
  bool started = false;
  for (int i = 0; i < 500 && !started; i++) {
    usleep(20000);
    started = OutListing().find(".inst.") != std::string::npos;
  }
  ASSERT_TRUE(started);
  tool.Signal(SIGTERM);
  Result r = tool.Wait();
  EXPECT_EQ(r.termSignal, SIGTERM);
  EXPECT_EQ(OutListing(), "");
}

}  // namespace
