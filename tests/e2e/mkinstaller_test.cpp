// The packaging tool: every bad input gives its message and status and leaves no output file;
// the same payload packs to the same bytes; listing and checking read existing installers.
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"

using e2e::Sandbox;

namespace {

struct ToolRun {
  int status;
  std::string output;
};

ToolRun Tool(const std::string &args) {
  ToolRun r;
  r.status = e2e::Shell("'" + e2e::BuiltLauncher("mkinstaller") + "' " + args, &r.output);
  return r;
}

class Mkinstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    box.Write("payload/corvane.class", "class bytes");
    box.Write("payload/package/PackageFormat.jar", std::string(5000, 'j'));
    box.Write("payload/package/data/notes.txt", std::string(20000, 'n'));
    launcher = box.CopyLauncher("setup", "launcher");
  }
  // Files in the sandbox's out directory (temporary files included).
  std::string OutListing() {
    std::string out;
    e2e::Shell("ls -A '" + box.Path("out") + "'", &out);
    return out;
  }
  Sandbox box;
  std::string launcher;
};

TEST_F(Mkinstaller, PacksAPayloadAndSummarisesIt) {
  box.MkDir("out");
  ToolRun r = Tool("'" + launcher + "' '" + box.Path("payload") + "' '" + box.Path("out/inst") + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("5 entries"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("25011 bytes uncompressed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("free space needed at run time: 125011 bytes"), std::string::npos);
  EXPECT_NE(r.output.find("bundled Java runtime: no"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(box.Path("out/inst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(OutListing(), "inst\n");  // no temporary file left beside it
  // The installer starts with the launcher, byte for byte.
  std::string inst = e2e::ReadFile(box.Path("out/inst"));
  std::string bin = e2e::ReadFile(launcher);
  EXPECT_EQ(inst.compare(0, bin.size(), bin), 0);

  ToolRun list = Tool("--list '" + box.Path("out/inst") + "'");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.output.find("package/data/notes.txt"), std::string::npos) << list.output;
  ToolRun check = Tool("--check '" + box.Path("out/inst") + "'");
  EXPECT_EQ(check.status, 0) << check.output;
}

TEST_F(Mkinstaller, SamePayloadPacksToIdenticalBytes) {
  box.MkDir("out");
  for (const char *opt : {"", "-a "}) {
    ASSERT_EQ(Tool(std::string("-q ") + opt + "'" + launcher + "' '" + box.Path("payload") + "' '" +
                   box.Path("out/a") + "'")
                  .status,
              0);
    ASSERT_EQ(Tool(std::string("-q ") + opt + "'" + launcher + "' '" + box.Path("payload") + "' '" +
                   box.Path("out/b") + "'")
                  .status,
              0);
    EXPECT_EQ(e2e::ReadFile(box.Path("out/a")), e2e::ReadFile(box.Path("out/b"))) << opt;
  }
}

TEST_F(Mkinstaller, BundledRuntimeIsReported) {
  box.Write("payload/package/jre/bin/java", "#!/bin/sh\n", 0755);
  box.Write(std::string("payload/package/jre/lib/") + e2e::ArchDir() + "/libjava.so", "");
  box.MkDir("out");
  ToolRun r = Tool("'" + launcher + "' '" + box.Path("payload") + "' '" + box.Path("out/inst") + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("bundled Java runtime: yes"), std::string::npos) << r.output;
}

TEST_F(Mkinstaller, BadInputsFailWithAMessageAndLeaveNoOutput) {
  box.MkDir("out");
  box.Write("empty/readme.txt", "no main class");
  box.Write("notelf", "#!/bin/sh\n", 0755);
  std::string packed = box.Path("out/packed");
  ASSERT_EQ(Tool("-q '" + launcher + "' '" + box.Path("payload") + "' '" + packed + "'").status, 0);
  struct Case {
    std::string args, message;
  };
  const std::string p = "'" + box.Path("payload") + "'";
  const std::string o = "'" + box.Path("out/new") + "'";
  const Case cases[] = {
      {"'" + box.Path("missing") + "' " + p + " " + o, "no such file"},
      {"'" + box.Path("notelf") + "' " + p + " " + o, "is not an executable (ELF) file"},
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
  int rc = e2e::Shell("setpriv --reuid=65534 --regid=65534 --clear-groups '" +
                          e2e::BuiltLauncher("mkinstaller") + "' '" + launcher + "' " + p + " '" +
                          box.Path("locked/inst") + "'",
                      &out);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("is not writable"), std::string::npos) << out;
  EXPECT_FALSE(e2e::Exists(box.Path("locked/inst")));

  // Usage errors.
  EXPECT_EQ(Tool("'" + launcher + "'").status, 2);
  EXPECT_EQ(Tool("--bogus").status, 2);
  EXPECT_EQ(Tool("-l 12 '" + launcher + "' " + p + " " + o).status, 2);
}

TEST_F(Mkinstaller, MissingPackageFormatJarOnlyWarns) {
  box.Write("bare/corvane.class", "x");
  box.MkDir("out");
  ToolRun r = Tool("-q '" + launcher + "' '" + box.Path("bare") + "' '" + box.Path("out/i") + "'");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("warning: payload has no package/PackageFormat.jar"), std::string::npos);
}

TEST_F(Mkinstaller, CheckFindsADamagedPayload) {
  box.MkDir("out");
  std::string inst = box.Path("out/inst");
  ASSERT_EQ(Tool("-q -l 0 '" + launcher + "' '" + box.Path("payload") + "' '" + inst + "'").status, 0);
  // Flip a byte inside the stored notes.txt data, near the end of the file.
  std::string data = e2e::ReadFile(inst);
  size_t at = data.find(std::string(100, 'n'));
  ASSERT_NE(at, std::string::npos);
  data[at + 50] = 'X';
  e2e::WriteFile(inst, data, 0755);
  ToolRun r = Tool("--check '" + inst + "'");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("damaged"), std::string::npos) << r.output;
  // A plain launcher has no payload to list.
  EXPECT_EQ(Tool("--list '" + launcher + "'").status, 1);
}

}  // namespace
