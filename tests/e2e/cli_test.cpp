// The launchers' command line as a user meets it: usage texts in the three languages and every
// command-line error with its message, the usage text and exit status 1.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support.h"

using namespace support;

namespace {

const char kInstallUsageEn[] =
    "Usage: 'setup' [-options]\nwhere options include:\n    -console\n        run this "
    "application in a console\n    -silent <state file>\n        run this application silently "
    "using input from the specified file\n    -savestate <state file>\n        log state "
    "information in the specified file\n    -javahome <JRE (1.4.1 or higher) installation "
    "directory>\n        force this application to use the specified \n        Java(TM) 2 "
    "Runtime Environment installation\n    -tmpdir <temporary directory>\n        put all "
    "temporary files in the specified directory\n    -id\n        print WizardID value to "
    "standard output\n    -h\n    -help\n        print this help message\n";

Result RunLauncher(const std::string &exe, std::vector<std::string> args,
                   const std::string &locale = "C", bool asNobody = false) {
  RunOptions opts = LauncherOptions(std::move(args), locale);
  opts.asNobody = asNobody;
  return RunToEnd(exe, opts);
}

// A run that prints the usage: status 0, nothing on standard output; what it wrote on standard
// error.
std::string Usage(const std::string &exe, std::vector<std::string> args,
                  const std::string &locale = "C") {
  Result r = RunLauncher(exe, std::move(args), locale);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "");
  return r.err;
}

class Cli : public ::testing::Test {
 protected:
  Sandbox box;
  std::string setup = box.CopyLauncher("setup");
};

TEST_F(Cli, HelpPrintsInstallerUsageOnStandardErrorInEnglish) {
  for (const char *word : {"-h", "-help"})
    EXPECT_EQ(Usage(setup, {word}), kInstallUsageEn) << word;
}

TEST_F(Cli, HelpInSpanishIsConvertedToLatin1AndNamesNoVersion) {
  std::string err = Usage(setup, {"-h"}, "es_ES.UTF-8");
  EXPECT_EQ(err.rfind("Tratamiento: 'setup' [-opciones]\n", 0), 0u) << err;
  // "aplicación" in ISO-8859-1: a single byte 0xF3 for the accented letter.
  EXPECT_NE(err.find("correr esta aplicaci\xf3n en una consola"), std::string::npos);
  EXPECT_EQ(err.find("\xc3\xb3"), std::string::npos) << "UTF-8 bytes leaked through";
  EXPECT_EQ(err.find("1.4.1"), std::string::npos);
  EXPECT_NE(err.find("    -javahome <carpeta instalaci\xf3n de Java(TM)>\n"), std::string::npos);
}

TEST_F(Cli, HelpInJapaneseUsesTheJapaneseCatalogue) {
  std::string err = Usage(setup, {"-help"}, "ja_JP.eucJP");
  EXPECT_NE(err.find("    -javahome <Java(TM) installation directory>\n        force this "
                     "application to use the specified Java(TM) installation\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("1.4.1"), std::string::npos);
}

TEST_F(Cli, UninstallerPrintsItsOwnUsage) {
  std::string uninstall = box.CopyLauncher("uninstall", "uninstall");
  std::string err = Usage(uninstall, {"-help"});
  EXPECT_EQ(err.rfind("Usage: 'uninstall' [-options]\n", 0), 0u) << err;
  EXPECT_NE(err.find("    -silent \n        run this application silently \n"), std::string::npos);
  EXPECT_EQ(err.find("-savestate"), std::string::npos);
  EXPECT_EQ(err.find("-id"), std::string::npos);
}

TEST_F(Cli, HelpAmongValidOptionsIgnoresWhatFollows) {
  EXPECT_EQ(Usage(setup, {"-console", "-debug", "-h", "-bogus"}), kInstallUsageEn);
}

struct BadLine {
  std::vector<std::string> args;
  std::string message;
};

TEST_F(Cli, EveryCommandLineErrorPrintsItsMessageThenTheUsage) {
  std::string dir = box.MkDir("plain");
  std::string file = box.Write("file.txt", "x");
  const std::vector<BadLine> cases = {
      {{"-bogus"}, "Error: '-bogus' is not a valid argument.\n"},
      {{"-Console"}, "Error: '-Console' is not a valid argument.\n"},
      {{"--console"}, "Error: '--console' is not a valid argument.\n"},
      {{"-console", "extra"}, "Error: 'extra' is not a valid argument.\n"},
      {{"-silent"}, "Error: '-silent' must be followed by a file name.\n"},
      {{"-savestate"}, "Error: '-savestate' must be followed by a file name.\n"},
      {{"-javahome"}, "Error: '-javahome' must be followed by a Java(TM) installation directory.\n"},
      {{"-tmpdir"}, "Error: '-tmpdir' must be followed by a writable directory.\n"},
      {{"-tmpdir", file}, "Error: '" + file + "' is not a writable directory.\n"},
      {{"-tmpdir", dir + "/missing"}, "Error: '" + dir + "/missing' is not a writable directory.\n"},
      // Parsing stops at the first error: the second bad word is never reported.
      {{"-first", "-second"}, "Error: '-first' is not a valid argument.\n"},
  };
  for (const BadLine &c : cases) {
    Result r = RunLauncher(setup, c.args);
    EXPECT_EQ(r.exitStatus, 1) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_EQ(r.err, c.message + kInstallUsageEn) << c.args[0];
  }
}

TEST_F(Cli, ErrorMessagesFollowTheLocale) {
  Result r = RunLauncher(setup, {"-bogus"}, "es_ES.UTF-8");
  EXPECT_EQ(r.exitStatus, 1);
  // Guillemets and the accented letter in ISO-8859-1.
  EXPECT_EQ(r.err.rfind("Error: \xab-bogus\xbb no es un argumento v\xe1lido.\n", 0), 0u) << r.err;
}

TEST_F(Cli, UninstallerSilentTakesNoFile) {
  std::string uninstall = box.CopyLauncher("uninstall", "uninstall");
  // In the uninstaller the word after -silent is a word of its own.
  Result r = RunLauncher(uninstall, {"-silent", "answers.txt"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err.rfind("Error: 'answers.txt' is not a valid argument.\n", 0), 0u) << r.err;
}

TEST_F(Cli, TmpdirThatTheUserCannotWriteIsRefused) {
  // Root passes every access check, so the refusal is seen by an unprivileged user.
  std::string locked = box.MkDir("locked", 0555);
  Result r = RunLauncher(setup, {"-tmpdir", locked}, "C", /*asNobody=*/true);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Error: '" + locked + "' is not a writable directory.\n" + kInstallUsageEn);
}

TEST_F(Cli, RelativeTmpdirIsCheckedAgainstTheCurrentDirectory) {
  box.MkDir("work/scratch");
  RunOptions opts = LauncherOptions({"-tmpdir", "missing", "-h"});
  opts.cwd = box.Path("work");
  Result r = RunToEnd(setup, opts);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err.rfind("Error: 'missing' is not a writable directory.\n", 0), 0u) << r.err;
}

TEST_F(Cli, ExecutableThatCannotBeResolvedIsReported) {
  // Started by a bare name (argv[0] chosen with exec -a) that no PATH element holds.
  std::string out;
  int rc = Shell("env -i LC_ALL=C PATH=" + box.Path("empty") + " /bin/bash -c 'exec -a setup-nowhere " +
                          setup + "'",
                      &out);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(out, "Error: Could not resolve the absolute path of this application.\n");

  // A launcher its user may execute but not read starts all the same and says why it cannot go
  // on: natively, and through an emulator registered to be handed the open file.
  ASSERT_EQ(chmod(setup.c_str(), 0711), 0);
  Result r = RunLauncher(setup, {"-console"}, "C", /*asNobody=*/true);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "Error: Could not resolve the absolute path of this application.\n");
}

}  // namespace
