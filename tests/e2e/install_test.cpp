// What `cmake --install` leaves where a vendor takes the launchers from: stripped launchers
// under libexec/corvane from which a working installer is packed, the launchers' manual pages
// rendering cleanly, and documentation whose links all lead to files the install carries.
// Every case installs the build under test into a prefix of its own.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test.h"

using namespace support;

namespace {

class Install : public LauncherTest {
 protected:
  std::string prefix = box.Path("prefix");

  void SetUp() override {
    Sh("'" LAUNCHER_CMAKE_COMMAND "' --install '" LAUNCHER_BUILD_DIR "' --prefix " + Quote(prefix));
  }

  // Paths under the prefix of the installed files matching a find(1) -name pattern.
  std::vector<std::string> Installed(const std::string &pattern) {
    std::string out;
    EXPECT_EQ(Shell("cd " + Quote(prefix) + " && find . -name " + Quote(pattern) +
                             " | cut -c3- | sort",
                         &out),
              0)
        << out;
    return Lines(out);
  }
};

TEST_F(Install, LaunchersAreInstalledStrippedAndAnInstallerPackedFromThemRuns) {
  std::vector<std::string> launchers = Installed("*");
  std::vector<std::string> found;
  for (const std::string &rel : launchers)
    if (rel.rfind("libexec/corvane/", 0) == 0) found.push_back(rel.substr(16));
  std::vector<std::string> want = {"setup", "uninstall"};
  if (Exists(BuiltLauncher("setup-gui"))) want = {"setup", "setup-gui", "uninstall"};
  ASSERT_EQ(found, want);
  for (const std::string &name : found) {
    std::string out;
    ASSERT_EQ(Shell("readelf -S " + Quote(prefix + "/libexec/corvane/" + name), &out), 0);
    EXPECT_EQ(out.find(".symtab"), std::string::npos) << name << " is not stripped";
    EXPECT_EQ(out.find(".debug_"), std::string::npos) << name << " carries debugging sections";
  }

  std::string jre = Runtime();
  box.Write("payload/corvane.class", "class bytes");
  box.Write("payload/package/PackageFormat.jar", "jar bytes");
  box.Zip("payload", "payload.zip");
  std::string installer = box.Path("installer");
  Sh("cat " + Quote(prefix + "/libexec/corvane/setup") + " " + Quote(box.Path("payload.zip")) +
     " > " + Quote(installer) + " && chmod 755 " + Quote(installer));
  Result r = RunToEnd(installer, LauncherOptions({"-console", "-tmpdir", tmp, "-javahome", jre}));
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  std::vector<std::string> argv = Lines(ReadFile(report + "/argv.txt"));
  ASSERT_GE(argv.size(), 2u) << "the Java program did not run";
  EXPECT_EQ(argv[argv.size() - 2], "corvane");
  EXPECT_EQ(argv.back(), "-nodisplay");
  // The catalog is looked up by name in the dynamic symbol table, which stripping keeps.
  EXPECT_NE(r.out.find("Extracting installation files..."), std::string::npos) << r.out;
}

// Every installed manual page passes `man --warnings`; rendered at several widths, none makes
// groff complain or ends a line in a hyphen, whether one of its own (U+2010) or one of a word:
// options are typed as shown, and one split across two lines reads as two words.
TEST_F(Install, ManualPagesRenderWithoutWarningsOrHyphenatedWords) {
  std::vector<std::string> pages = Installed("*.1");
  for (const char *page : {"share/man/man1/setup.1", "share/man/man1/uninstall.1", "share/man/man1/mkinstaller.1"})
    ASSERT_NE(std::find(pages.begin(), pages.end(), page), pages.end()) << page << " not installed";
  std::string rendered = box.Path("rendered"), warnings = box.Path("warnings");
  for (const std::string &page : pages) {
    // In braces, so that the "2>&1" that Sh adds does not take the warnings away from their file.
    Sh("{ MANWIDTH=80 man --warnings -E UTF-8 -l " + Quote(prefix + "/" + page) + " > " +
       Quote(rendered) + " 2> " + Quote(warnings) + "; }");
    EXPECT_EQ(ReadFile(warnings), "") << page;
    for (int width : {50, 65, 80, 100}) {
      SCOPED_TRACE(page + " at " + std::to_string(width) + " columns");
      Sh("{ groff -man -Tutf8 -P-cbou -rLL=" + std::to_string(width) + "n " +
         Quote(prefix + "/" + page) + " > " + Quote(rendered) + " 2> " + Quote(warnings) + "; }");
      EXPECT_EQ(ReadFile(warnings), "");
      std::string text = ReadFile(rendered);
      if (page.find("mkinstaller") == std::string::npos) {
        EXPECT_NE(text.find("-javahome"), std::string::npos);
      }
      for (const std::string &line : Lines(text)) {
        bool hyphen = (!line.empty() && line.back() == '-') ||
                      (line.size() >= 3 && line.compare(line.size() - 3, 3, "\xe2\x80\x90") == 0);
        EXPECT_FALSE(hyphen) << line;
      }
    }
  }
}

// A link in any installed document names a file (relative to the document) that is installed,
// and no installed document points into the source tree, which an installation does not have.
TEST_F(Install, DocumentationLinksLeadToInstalledFiles) {
  std::vector<std::string> docs = Installed("*.md");
  ASSERT_FALSE(docs.empty());
  const std::regex sourceTree("(^|[^A-Za-z_./-])((scripts|build|bench|tests|src|tools|\\.ci)/|PERFORMANCE\\.md|"
                              "RELIABILITY\\.md|source tree)");
  int links = 0;
  for (const std::string &doc : docs) {
    std::string text = ReadFile(prefix + "/" + doc);
    std::smatch found;
    EXPECT_FALSE(std::regex_search(text, found, sourceTree)) << doc << " names " << found.str(0);
    std::string dir = doc.substr(0, doc.rfind('/'));
    for (size_t p = text.find("]("); p != std::string::npos; p = text.find("](", p + 2)) {
      size_t end = text.find(')', p);
      ASSERT_NE(end, std::string::npos) << doc;
      std::string target = text.substr(p + 2, end - p - 2);
      target = target.substr(0, target.find('#'));
      if (target.empty() || target.find("://") != std::string::npos ||
          target.rfind("mailto:", 0) == 0)
        continue;
      links++;
      EXPECT_TRUE(Exists(prefix + "/" + dir + "/" + target)) << doc << " links " << target;
    }
  }
  EXPECT_GE(links, 5) << "the README's links were not found";
}

}  // namespace
