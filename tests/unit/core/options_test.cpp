// The command line: option list growth, the parsed settings and the Java program's arguments.
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/memory.h"
#include "base/product.h"
#include "core/options.h"
#include "core/testing.h"
#include "host/temp_dir.h"
#include "host/testing.h"
#include "i18n/locale.h"
#include "support.h"
#include "ui/output.h"

using support::InDirectory;
using support::Sandbox;

namespace {

struct Parsed {
  bool ok;
  int ret;
  std::vector<std::string> argv;
  std::string javahome, tmpdir;
  bool showConsole;
  std::string err;
};

Parsed Parse(std::vector<std::string> words) {
  std::vector<char *> v;
  for (auto &w : words) v.push_back(const_cast<char *>(w.c_str()));
  v.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  char **argv = v.data();
  char *javahome = nullptr, *tmpdir = nullptr;
  jboolean show = JNI_TRUE;
  int ret = -1;
  testing::internal::CaptureStderr();
  bool ok = ParseArguments(&argc, &argv, &javahome, &tmpdir, &show, &ret);
  Parsed p{ok, ret, {}, javahome ? javahome : "<null>", tmpdir ? tmpdir : "<null>", show != 0,
           testing::internal::GetCapturedStderr()};
  if (ok) {
    // The vector and its state file belong to the caller for the rest of the run.
    char *stateFile = nullptr;
    for (int i = 0; i < argc; i++) {
      p.argv.push_back(argv[i]);
      if (i > 0 && (p.argv[i - 1] == "-state" || p.argv[i - 1] == "-saveState")) {
        EXPECT_TRUE(stateFile == nullptr || stateFile == argv[i]);
        stateFile = argv[i];
      }
    }
    EXPECT_EQ(argv[argc], nullptr);
    free(stateFile);
    free(argv);
  } else {
    EXPECT_EQ(argv, nullptr);
    EXPECT_EQ(javahome, nullptr);
    EXPECT_EQ(tmpdir, nullptr);
  }
  free(javahome);
  free(tmpdir);
  return p;
}

std::vector<std::string> OptionStrings() {
  std::vector<std::string> s;
  for (int i = 0; i < numOptions; i++) s.push_back(options[i].optionString);
  return s;
}

std::string Usage() {
  char *text = GetLocalizedMessage("installusage");
  std::string s = text;
  free(text);
  size_t p = s.find("%s");
  s.replace(p, 2, "");  // progname is null in these tests
  p = s.find("%s");
  s.replace(p, 2, "1.4.1");
  return s;
}

class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    UpdateLocale();
    SelectProduct(Product::Installer);
    ResetOptionsForTesting();
    ResetTempDirForTesting();
  }
  void TearDown() override { ResetOptionsForTesting(); }
  Sandbox scratch;
};

TEST_F(Options, ListGrowsByDoublingAndKeepsOrder) {
  for (int i = 0; i < 5; i++) AddOption(StrDup(std::to_string(i).c_str()));
  EXPECT_EQ(maxOptions, 8);
  for (int i = 5; i < 9; i++) AddOption(StrDup(std::to_string(i).c_str()));
  EXPECT_EQ(maxOptions, 16);
  ASSERT_EQ(numOptions, 9);
  for (int i = 0; i < 9; i++) {
    EXPECT_EQ(std::string(options[i].optionString), std::to_string(i));
    EXPECT_EQ(options[i].extraInfo, nullptr);
  }
}

TEST_F(Options, EmptyCommandLineGivesEmptyVectorAndNoOptions) {
  Parsed p = Parse({});
  EXPECT_TRUE(p.ok);
  EXPECT_TRUE(p.argv.empty());
  EXPECT_EQ(numOptions, 0);
  EXPECT_FALSE(p.showConsole);
  EXPECT_EQ(p.javahome, "<null>");
}

TEST_F(Options, ConsoleAddsHeadlessAndNodisplay) {
  Parsed p = Parse({"-console"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.argv, std::vector<std::string>{"-nodisplay"});
  EXPECT_TRUE(p.showConsole);
  EXPECT_EQ(OptionStrings(), std::vector<std::string>{"-Djava.awt.headless=true"});
}

TEST_F(Options, SilentWithStateFileAndIdInFixedOrder) {
  InDirectory(scratch.dir(), [&] {
    Parsed p = Parse({"-id", "-silent", "answers.txt"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.argv, (std::vector<std::string>{"-nodisplay", "-noconsole", "-state",
                                                scratch.dir() + "/answers.txt", "-id"}));
    EXPECT_FALSE(p.showConsole);
  });
  // -silent switches console mode on during parsing.
  EXPECT_TRUE(GetPrintToConsole());
}

TEST_F(Options, SilentAndSavestateShareTheLastStateFile) {
  Parsed p = Parse({"-console", "-silent", "/a", "-savestate", "/b"});
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.argv, (std::vector<std::string>{"-nodisplay", "-nodisplay", "-noconsole", "-state",
                                              "/b", "-saveState", "/b"}));
  EXPECT_EQ(OptionStrings(),
            (std::vector<std::string>{"-Djava.awt.headless=true", "-Djava.awt.headless=true"}));
}

TEST_F(Options, JavahomeIsMadeAbsoluteAndTmpdirIsKeptAsTyped) {
  scratch.MkDir("tmp");
  InDirectory(scratch.dir(), [&] {
    Parsed p = Parse({"-javahome", "jre1", "-tmpdir", "tmp"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.javahome, scratch.dir() + "/jre1");
    EXPECT_EQ(p.tmpdir, "tmp");
    EXPECT_EQ(std::string(GetTempDir()), scratch.dir() + "/tmp");
  });
  Parsed q = Parse({"-javahome", "/usr/java", "-javahome", "/opt/j"});
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.javahome, "/opt/j");  // a later value replaces an earlier one
}

TEST_F(Options, UndocumentedFlagsAreSet) {
  Parsed p = Parse({"-debug", "-noportcheck", "-nodomain", "-passwordvisible"});
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(isDebug && noPortVerification && noDomainCreation && visiblePassword);
  EXPECT_FALSE(printWizardID);
  EXPECT_TRUE(p.argv.empty());
}

TEST_F(Options, ErrorsReportTheirWordThenTheUsage) {
  struct Case {
    std::vector<std::string> words;
    std::string message;
  };
  std::string file = scratch.Write("file");
  const std::vector<Case> cases = {
      {{"-silent"}, "Error: '-silent' must be followed by a file name.\n"},
      {{"-savestate"}, "Error: '-savestate' must be followed by a file name.\n"},
      {{"-javahome"}, "Error: '-javahome' must be followed by a Java(TM) installation directory.\n"},
      {{"-tmpdir"}, "Error: '-tmpdir' must be followed by a writable directory.\n"},
      {{"-tmpdir", file}, "Error: '" + file + "' is not a writable directory.\n"},
      {{"-Console"}, "Error: '-Console' is not a valid argument.\n"},
      {{"-javahome", "/j", "-tmpdir", "/t", "--console"},
       "Error: '/t' is not a writable directory.\n"},
  };
  for (const Case &c : cases) {
    Parsed p = Parse(c.words);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.ret, 1);
    EXPECT_EQ(p.err, c.message + Usage()) << c.words[0];
  }
}

TEST_F(Options, HelpStopsParsingWithStatusZero) {
  Parsed p = Parse({"-console", "-h", "-bogus"});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.ret, 0);
  EXPECT_EQ(p.err, Usage());
  // Options already added stay in the list.
  EXPECT_EQ(numOptions, 1);
}

TEST_F(Options, RefusedTmpdirKeepsThePreviousDirectory) {
  std::string good = scratch.MkDir("good");
  Parsed p = Parse({"-tmpdir", good, "-tmpdir", scratch.Path("missing")});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(std::string(GetTempDir()), good);
}

TEST_F(Options, UninstallerSilentTakesNoStateFile) {
  SelectProduct(Product::Uninstaller);
  Parsed p = Parse({"-silent"});
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(p.argv, (std::vector<std::string>{"-nodisplay", "-noconsole"}));
  Parsed q = Parse({"-h"});
  EXPECT_EQ(q.err.rfind("Usage: '' [-options]\n", 0), 0u);
  EXPECT_NE(q.err.find("    -silent \n"), std::string::npos);
  SelectProduct(Product::Installer);
}

TEST_F(Options, RelativeValueWithoutCurrentDirectoryIsRefused) {
  std::string gone = scratch.MkDir("gone");
  InDirectory(gone, [&] {
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    Parsed p = Parse({"-javahome", "jre"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.ret, 1);
    EXPECT_EQ(p.err.rfind("Error: 'jre' is not a valid argument.\n", 0), 0u) << p.err;
    // A relative -tmpdir is refused as not writable.
    Parsed q = Parse({"-tmpdir", "t"});
    EXPECT_EQ(q.err.rfind("Error: 't' is not a writable directory.\n", 0), 0u) << q.err;
  });
}

}  // namespace
