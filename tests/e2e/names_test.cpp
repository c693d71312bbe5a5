// Names with non-ASCII characters under every locale the launcher supports: an installer in a
// directory with an accented name, whose payload holds UTF-8 names (Latin and Japanese), runs
// in C, C.UTF-8, es_ES (ISO-8859-1), es_ES.UTF-8, ja_JP.eucJP and ja_JP.SJIS alike. The names'
// bytes are no valid characters in most of these locales; they must still be split at every
// "/" and written byte for byte.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

// "Téléchargements" and the payload's names in UTF-8, spelt as bytes so that the source's own
// encoding does not matter.
const std::string kDownloads = "T\xc3\xa9l\xc3\xa9" "chargements";
const std::string kLatinDir = "donn\xc3\xa9" "es";
const std::string kLatinFile = kLatinDir + "/r\xc3\xa9sum\xc3\xa9.txt";
// データ/説明.txt, and データ/表示/ダ.bin: "表" and "ダ" end in "\" and "_" in Shift_JIS.
const std::string kJapaneseDir = "\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf";
const std::string kJapaneseFile = kJapaneseDir + "/\xe8\xaa\xac\xe6\x98\x8e.txt";
const std::string kJapaneseDeep =
    kJapaneseDir + "/\xe8\xa1\xa8\xe7\xa4\xba/\xe3\x83\x80.bin";

struct Named {
  std::string name, content;
};

std::vector<Named> PayloadFiles() {
  return {
      {"corvane.class", "main class"},
      {"package/PackageFormat.jar", "jar"},
      {kLatinFile, "r\xc3\xa9sum\xc3\xa9 \xe2\x80\x94 latin\n"},
      {kJapaneseFile, "\xe8\xaa\xac\xe6\x98\x8e\n"},
      {kJapaneseDeep, std::string(70000, '\x5c') + "deep"},
  };
}

class InternationalNames : public LauncherTest, public ::testing::WithParamInterface<const char *> {
 protected:
  RunOptions Options(std::vector<std::string> args, const std::string &searchDirs) const {
    RunOptions opts = LauncherOptions(std::move(args), GetParam(), searchDirs);
    opts.cwd = box.Path(kDownloads);
    return opts;
  }
};

TEST_P(InternationalNames, AreExtractedByteForByteAndTheProgramKeepsItsBareName) {
  std::map<std::string, std::string> files;
  for (const Named &f : PayloadFiles()) files[f.name] = f.content;
  std::string setup = PayloadInstaller(files, kDownloads + "/setup");
  StandInJava java;
  // The Java program keeps a copy of what it was given to run in.
  java.extraScript = "/bin/cp -R . '" + report + "/tree'";
  std::string root = Runtime(java);

  Result r = RunToEnd(setup, Options({"-tmpdir", tmp}, root + "/bin"));
  ASSERT_EQ(r.exitStatus, 0) << GetParam() << "\n" << r.out << r.err;
  EXPECT_EQ(r.err, "") << GetParam();
  for (const Named &f : PayloadFiles()) {
    std::string path = report + "/tree/" + f.name;
    ASSERT_TRUE(Exists(path)) << GetParam() << ": " << f.name;
    EXPECT_TRUE(ReadFile(path) == f.content) << GetParam() << ": " << f.name;
  }
  // The working directory is named after the program, not after the directory it lies in.
  std::string cwd = ReadFile(report + "/cwd.txt");
  ASSERT_FALSE(cwd.empty());
  cwd.pop_back();
  EXPECT_EQ(cwd.rfind(tmp + "/setup", 0), 0u) << GetParam() << ": " << cwd;
  EXPECT_EQ(cwd.size(), tmp.size() + 1 + 5 + 6) << GetParam() << ": " << cwd;
  EXPECT_EQ(Lines(ReadFile(report + "/argv.txt")).back(), "corvane");

  // The usage text names the program alone.
  Result help = RunToEnd(setup, Options({"-help"}, root + "/bin"));
  EXPECT_EQ(help.exitStatus, 0) << GetParam();
  EXPECT_NE(help.err.find("'setup' [-"), std::string::npos) << GetParam() << ": " << help.err;
  EXPECT_EQ(help.err.find("chargements"), std::string::npos) << GetParam() << ": " << help.err;
}

INSTANTIATE_TEST_SUITE_P(Locales, InternationalNames,
                         ::testing::Values("C", "C.UTF-8", "es_ES", "es_ES.UTF-8", "ja_JP.eucJP",
                                           "ja_JP.SJIS"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           std::string name;
                           for (const char *p = info.param; *p != '\0'; p++)
                             name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

}  // namespace
