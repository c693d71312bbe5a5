// Runtime layout, development kits and the search for the preferred runtime, with stand-in
// runtimes under a scratch directory. The search's "/usr/java" is pointed at a scratch
// directory, JAVA_HOME and PATH are set per test, and the application home is an empty
// directory unless a test puts a private runtime under its package/jre.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/paths.h"
#include "core/bundled_runtime.h"
#include "core/testing.h"
#include "runtime/discovery.h"
#include "runtime/testing.h"
#include "stand_in.h"

using namespace support;

namespace {

std::string Str(char *s) { return Take(s, "<none>"); }

TEST(GetArch, NamesTheProcessorOfThisBuild) {
  EXPECT_STREQ(GetArch(), sizeof(void *) == 4 ? "i386" : "amd64");
}

TEST(GetJREPath, RecognisesARootAndTheRuntimeInsideAKit) {
  Sandbox dir;
  std::string plain = MakeRuntime(dir / "plain", VersionScript("1.4.2"));
  EXPECT_EQ(Str(GetJREPath(plain.c_str())), plain);
  MakeRuntime(dir / "kit", VersionScript("1.4.2"), true);
  EXPECT_EQ(Str(GetJREPath((dir / "kit").c_str())), dir / "kit/jre");
  // Paths are used as given: a relative directory gives a relative root.
  ASSERT_EQ(chdir(dir.dir().c_str()), 0);
  EXPECT_EQ(Str(GetJREPath("kit")), "kit/jre");
  EXPECT_EQ(Str(GetJREPath("plain")), "plain");
  ASSERT_EQ(chdir("/"), 0);
}

TEST(GetJREPath, RefusesARootWithoutAUsableJava) {
  Sandbox dir;
  std::string lib = std::string("/lib/") + GetArch() + "/libjava.so";
  WriteFile(dir / "nojava" + lib, "");
  EXPECT_EQ(Str(GetJREPath((dir / "nojava").c_str())), "<none>");

  WriteFile(dir / "javadir" + lib, "");
  MkDirs(dir / "javadir/bin/java");
  EXPECT_EQ(Str(GetJREPath((dir / "javadir").c_str())), "<none>");

  WriteFile(dir / "noexec" + lib, "");
  WriteFile(dir / "noexec/bin/java", VersionScript("1.4.2"), 0644);
  EXPECT_EQ(Str(GetJREPath((dir / "noexec").c_str())), "<none>");

  // A kit's own bin/java does not count: the runtime inside it must have one.
  WriteFile(dir / "kit/jre" + lib, "");
  WriteFile(dir / "kit/bin/java", VersionScript("1.4.2"), 0755);
  EXPECT_EQ(Str(GetJREPath((dir / "kit").c_str())), "<none>");

  // A library for another processor is no runtime of ours.
  const char *other = sizeof(void *) == 4 ? "amd64" : "i386";
  WriteFile(dir / "other/lib/" + other + "/libjava.so", "");
  WriteFile(dir / "other/bin/java", VersionScript("1.4.2"), 0755);
  EXPECT_EQ(Str(GetJREPath((dir / "other").c_str())), "<none>");
}

TEST(IsJDK, LooksForToolsJarBesideOrAboveTheRoot) {
  Sandbox dir;
  std::string kitRoot = MakeRuntime(dir / "kit", VersionScript("1.4.2"), true);
  EXPECT_TRUE(IsJDK(kitRoot.c_str()));
  std::string bareRoot = MakeRuntime(dir / "bare/jre", VersionScript("1.4.2"));
  EXPECT_FALSE(IsJDK(bareRoot.c_str()));
  // A root that does not end in "/jre" is a kit when it holds lib/tools.jar itself.
  std::string flat = MakeRuntime(dir / "flat", VersionScript("1.4.2"));
  EXPECT_FALSE(IsJDK(flat.c_str()));
  WriteFile(dir / "flat/lib/tools.jar", "");
  EXPECT_TRUE(IsJDK(flat.c_str()));
  // Ending in "jre" without the "/" is not the kit shape.
  std::string myjre = MakeRuntime(dir / "k2/myjre", VersionScript("1.4.2"));
  WriteFile(dir / "k2/lib/tools.jar", "");
  EXPECT_FALSE(IsJDK(myjre.c_str()));
}

// The search with nothing from outside the test: no "/usr/java", no JAVA_HOME, no PATH, an
// empty application home and no executable name (so no archive).
class Search : public standin::ApplicationHomeTest {
 protected:
  void SetUp() override {
    ApplicationHomeTest::SetUp();
    SetUsrJavaDirForTesting(usrJava.c_str());
    SetBundledJRELookup(GetBundledJREPath);
  }
  void TearDown() override {
    SetBundledJRELookup(nullptr);
    SetUsrJavaDirForTesting(nullptr);
    ApplicationHomeTest::TearDown();
    ASSERT_EQ(chdir("/"), 0);
  }
  // The runtime the search selects with PATH set to path.
  std::string OnPath(const std::string &path) {
    setenv("PATH", path.c_str(), 1);
    return Str(GetPublicJREPath());
  }
  std::string Runtime(const std::string &rel, const std::string &version, bool jdk = false) {
    return MakeRuntime(dir / rel, VersionScript(version), jdk);
  }

  std::string usrJava = dir / "usrjava";
  EnvVar javaHome{"JAVA_HOME", nullptr};
  EnvVar path{"PATH", nullptr};
};

TEST_F(Search, FindsNothingWithoutCandidates) {
  EXPECT_EQ(Str(GetPublicJREPath()), "<none>");
  // Candidates that fail the layout or the probe are dropped.
  Runtime("old", "1.3.1");
  MkDirs(dir / "empty/bin");
  WriteFile(dir / "nolib/bin/java", VersionScript("1.4.2"), 0755);
  EXPECT_EQ(OnPath(dir / "old/bin:" + dir / "empty/bin:" + dir / "nolib/bin"), "<none>");
}

TEST_F(Search, AKitBeatsAPlainRuntimeWhateverTheVersions) {
  std::string kit = Runtime("kit", "1.4.1", true);
  std::string plain = Runtime("plain", "1.9.0");
  // Through the runtime's own bin, in either order.
  EXPECT_EQ(OnPath(dir / "plain/bin:" + kit + "/bin"), kit);
  EXPECT_EQ(OnPath(kit + "/bin:" + dir / "plain/bin"), kit);
  // Through the kit's bin: the kit directory yields the runtime inside it.
  WriteFile(dir / "kit/bin/java", VersionScript("1.4.1"), 0755);
  EXPECT_EQ(OnPath(dir / "plain/bin:" + dir / "kit/bin"), kit);
}

TEST_F(Search, PrefersTheByteWiseGreatestVersion) {
  std::string a = Runtime("a", "1.4.2_10");
  std::string b = Runtime("b", "1.4.2_9");
  std::string c = Runtime("c", "1.4.2");
  EXPECT_EQ(OnPath(a + "/bin:" + b + "/bin:" + c + "/bin"), b);
  std::string d = Runtime("d", "1.5.0");
  std::string e = Runtime("e", "1.4.2_04");
  EXPECT_EQ(OnPath(e + "/bin:" + d + "/bin:" + c + "/bin"), d);
}

TEST_F(Search, AmongEqualVersionsTheLaterFindWins) {
  std::string a = Runtime("a", "1.4.2");
  std::string b = Runtime("b", "1.4.2");
  std::string c = Runtime("c", "1.4.2");
  EXPECT_EQ(OnPath(a + "/bin:" + b + "/bin:" + c + "/bin"), c);
  EXPECT_EQ(OnPath(c + "/bin:" + b + "/bin:" + a + "/bin"), a);
  // The same for kits.
  std::string k1 = Runtime("k1", "1.5.0", true);
  std::string k2 = Runtime("k2", "1.5.0", true);
  EXPECT_EQ(OnPath(k2 + "/bin:" + k1 + "/bin"), k1);
}

TEST_F(Search, JavaHomeIsSearchedBeforePathAndUsrJavaBeforeBoth) {
  std::string viaHome = Runtime("home-rt", "1.4.2");
  std::string viaPath = Runtime("path-rt", "1.4.2");
  setenv("JAVA_HOME", viaHome.c_str(), 1);
  EXPECT_EQ(Str(GetPublicJREPath()), viaHome) << "JAVA_HOME alone, PATH unset";
  EXPECT_EQ(OnPath(viaPath + "/bin"), viaPath) << "the PATH hit is found after JAVA_HOME's";
  unsetenv("PATH");
  std::string viaUsr = Runtime("usrjava/j2re1.4.2", "1.4.2");
  EXPECT_EQ(Str(GetPublicJREPath()), viaHome) << "JAVA_HOME is found after /usr/java";
  unsetenv("JAVA_HOME");
  EXPECT_EQ(Str(GetPublicJREPath()), viaUsr) << "/usr/java alone";
  // A greater version under JAVA_HOME beats a later PATH hit.
  std::string newer = Runtime("newer", "1.5.0");
  setenv("JAVA_HOME", newer.c_str(), 1);
  EXPECT_EQ(OnPath(viaPath + "/bin"), newer);
}

TEST_F(Search, UsrJavaEntriesOfEveryKindAreTried) {
  Runtime("usrjava/j2sdk1.4.2", "1.4.2", true);
  Runtime("usrjava/j2re1.5.0", "1.5.0");
  Runtime("usrjava/old", "1.3.1", true);
  WriteFile(usrJava + "/README", "not a runtime");
  EXPECT_EQ(Str(GetPublicJREPath()), usrJava + "/j2sdk1.4.2/jre");
}

TEST_F(Search, ElementsWithoutASlashAreTakenAgainstTheCurrentDirectory) {
  std::string root = Runtime("rt", "1.4.2");
  // The empty element and "." stand for the current directory, here root/bin.
  ASSERT_EQ(chdir((root + "/bin").c_str()), 0);
  EXPECT_EQ(OnPath(""), root);
  EXPECT_EQ(OnPath("/nonexistent:."), root);
  // A relative name is a directory inside the current directory.
  ASSERT_EQ(chdir(root.c_str()), 0);
  EXPECT_EQ(OnPath("bin"), root);
}

// The Java program runs in another directory than the search: every root the search keeps is
// absolute, taken against the current directory at the time of the search.
TEST_F(Search, RelativeElementsAndJavaHomeGiveAbsoluteRoots) {
  std::string root = Runtime("rt", "1.4.2");
  ASSERT_EQ(chdir(dir.dir().c_str()), 0);
  for (const char *element : {"rt/bin", "./rt/bin", ".//rt/bin", "./rt/../rt/bin"}) {
    setenv("PATH", element, 1);
    std::string found = Str(GetPublicJREPath());
    EXPECT_EQ(found.rfind(dir.dir() + "/", 0), 0u) << element << " gave " << found;
    struct stat a, b;
    ASSERT_EQ(stat(found.c_str(), &a), 0) << found;
    ASSERT_EQ(stat(root.c_str(), &b), 0);
    EXPECT_TRUE(a.st_ino == b.st_ino && a.st_dev == b.st_dev) << element << " gave " << found;
  }
  EXPECT_EQ(OnPath("./rt/bin"), root);
  unsetenv("PATH");
  setenv("JAVA_HOME", "rt", 1);
  EXPECT_EQ(Str(GetPublicJREPath()), root);

  // Between equal versions the later find still wins, now under its absolute name.
  std::string other = Runtime("other", "1.4.2");
  unsetenv("JAVA_HOME");
  EXPECT_EQ(OnPath(other + "/bin:rt/bin"), root);
  ASSERT_EQ(chdir(other.c_str()), 0);
  EXPECT_EQ(OnPath(root + "/bin:bin"), other);
}

TEST_F(Search, AJavaThatMayNotBeExecutedIsSkipped) {
  std::string root = Runtime("rt", "1.4.2");
  ASSERT_EQ(chmod((root + "/bin/java").c_str(), 0644), 0);
  EXPECT_EQ(OnPath(root + "/bin"), "<none>");
}

TEST_F(Search, APrivateKitComesFirst) {
  std::string bundled = MakeRuntime(home + "/package/jre", VersionScript("1.3.1"), true);
  std::string kit = Runtime("kit", "1.9", true);
  setenv("PATH", (kit + "/bin").c_str(), 1);
  // The private runtime is not probed: even a version the probe refuses wins.
  EXPECT_EQ(Str(GetPublicJREPath()), bundled);
  EXPECT_EQ(bundled, home + "/package/jre/jre");
}

TEST_F(Search, APrivatePlainRuntimeRanksBetweenProbedKitsAndProbedPlainRuntimes) {
  std::string bundled = MakeRuntime(home + "/package/jre", VersionScript("1.4.1"));
  std::string plain = Runtime("plain", "1.9.0");
  EXPECT_EQ(OnPath(plain + "/bin"), bundled);
  std::string kit = Runtime("kit", "1.4.1", true);
  EXPECT_EQ(OnPath(plain + "/bin:" + kit + "/bin"), kit);
}

// What the search sees but never uses: directories with a java and another layout (a runtime of
// version 9 or later, one for the other processor), each once; a java reached through a link, as
// the alternatives system puts it on PATH, stands for the runtime it leads to.
TEST_F(Search, DirectoriesWithAJavaOfAnotherLayoutAreNotedOnceEach) {
  ForgetForeignRuntimesForTesting();
  auto java = [&](const std::string &rel, const std::string &lib) {
    WriteFile(dir / rel + "/" + lib, "");
    WriteFile(dir / rel + "/bin/java", VersionScript("17.0.2"), 0755);
    return dir / rel;
  };
  std::string modern = java("usrjava/jdk-17", "lib/libjava.so");
  std::string other = java("other", std::string("lib/") + (sizeof(void *) == 4 ? "amd64" : "i386") + "/libjava.so");
  std::string old = Runtime("old", "1.3.1");
  for (const auto &[bin, target] : {std::make_pair("alt", modern), std::make_pair("alt-old", old)}) {
    MkDirs(dir / bin + "/bin");
    ASSERT_EQ(symlink((target + "/bin/java").c_str(), (dir / bin + "/bin/java").c_str()), 0);
  }
  MkDirs(dir / "nojava/bin");
  setenv("JAVA_HOME", other.c_str(), 1);
  EXPECT_EQ(OnPath(dir / "alt/bin:" + dir / "alt-old/bin:" + dir / "nojava/bin:" + other + "/bin"), "<none>");
  NoteForeignRuntime(other.c_str());  // as the start-up does for -javahome
  std::vector<std::string> noted;
  for (const ForeignRuntime *f = GetForeignRuntimes(); f != nullptr; f = f->next) noted.push_back(f->dir);
  // The runtime of this width behind alt-old is no other layout, only out of the search's sight.
  EXPECT_EQ(noted, (std::vector<std::string>{modern, other}));
  ForgetForeignRuntimesForTesting();
}

}  // namespace
