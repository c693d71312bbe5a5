// Launcher recognition on the launchers built beside the tests, on programs that are no
// launchers, and on launchers whose note says something else.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "launcher_file.h"
#include "support.h"
#include "zip_builder.h"

namespace {

bool Read(const std::string &path, LauncherFile *l) {
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << path;
  bool ok = ReadLauncherFile(fd, l);
  close(fd);
  return ok;
}

TEST(LauncherFile, TheBuiltLaunchersSayWhichProductTheyAre) {
  const int bits = sizeof(void *) == 8 ? 64 : 32;
  for (const char *name : {"setup", "uninstall"}) {
    LauncherFile l;
    ASSERT_TRUE(Read(support::BuiltLauncher(name), &l)) << name;
    EXPECT_EQ(l.elfClass, bits);
    EXPECT_EQ(l.machine, bits == 64 ? 62 : 3);
    EXPECT_TRUE(l.exportsCatalog);
    EXPECT_TRUE(l.hasProductNote);
    EXPECT_EQ(l.fileLength, l.imageLength);
    EXPECT_EQ(LauncherProblem(l), "");
    EXPECT_STREQ(LauncherName(l.kind), name);
  }
  LauncherFile setup;
  ASSERT_TRUE(Read(support::BuiltLauncher("setup"), &setup));
  EXPECT_EQ(setup.kind, LauncherKind::Installer);
  EXPECT_EQ(setup.noteClass, "corvane");
  EXPECT_EQ(MainClassFile(setup.kind), "corvane.class");
  EXPECT_STREQ(RuntimeArchDir(setup.elfClass), bits == 64 ? "amd64" : "i386");
  if (access(support::BuiltLauncher("setup-gui").c_str(), F_OK) == 0) {
    LauncherFile gui;
    ASSERT_TRUE(Read(support::BuiltLauncher("setup-gui"), &gui));
    EXPECT_EQ(gui.kind, LauncherKind::Installer);
  }
}

TEST(LauncherFile, StrippedLaunchersAreStillRecognised) {
  support::Sandbox scratch;
  const std::string copy = scratch.Path("setup");
  support::Sh("cp '" + support::BuiltLauncher("uninstall") + "' '" + copy + "' && strip '" + copy + "'");
  LauncherFile l;
  ASSERT_TRUE(Read(copy, &l));
  EXPECT_EQ(l.kind, LauncherKind::Uninstaller);  // the file's name does not matter
  EXPECT_EQ(LauncherProblem(l), "");
}

TEST(LauncherFile, OtherProgramsAndDamagedNotesAreNoLaunchers) {
  support::Sandbox scratch;
  LauncherFile l;
  // The catalog generator: ELF for the same machine, but no catalog exported and no note.
  ASSERT_TRUE(Read(support::BuiltLauncher("catalog_gen"), &l));
  EXPECT_FALSE(l.exportsCatalog);
  EXPECT_FALSE(l.hasProductNote);
  EXPECT_NE(LauncherProblem(l).find("is not a corvane launcher"), std::string::npos);
  EXPECT_FALSE(Read(scratch.Write("script", "#!/bin/sh\n"), &l));
  EXPECT_FALSE(Read(scratch.Write("empty", ""), &l));

  // The note's description changed: a product this tool does not know.
  std::string bytes = support::ReadFile(support::BuiltLauncher("uninstall"));
  // namesz 8, descsz 18, type 1, the owner: the note itself, not some string in the data.
  const std::string note("\x08\0\0\0\x12\0\0\0\x01\0\0\0corvane\0corvane_uninstall", 12 + 8 + 17);
  size_t at = bytes.find(note);
  ASSERT_NE(at, std::string::npos);
  at += 12;
  bytes[at + 8 + 7] = '-';
  support::WriteFile(scratch.Path("renamed"), bytes);
  ASSERT_TRUE(Read(scratch.Path("renamed"), &l));
  EXPECT_TRUE(l.hasProductNote);
  EXPECT_EQ(l.kind, LauncherKind::Unknown);
  EXPECT_NE(LauncherProblem(l).find("corvane-uninstall"), std::string::npos) << LauncherProblem(l);
  // The note's owner changed: no note at all.
  bytes[at] = 'C';
  support::WriteFile(scratch.Path("anonymous"), bytes);
  ASSERT_TRUE(Read(scratch.Path("anonymous"), &l));
  EXPECT_FALSE(l.hasProductNote);
  EXPECT_NE(LauncherProblem(l).find("product note"), std::string::npos);
}

TEST(LauncherFile, ImageLengthShowsWhatIsAppended) {
  support::Sandbox scratch;
  std::string bytes = support::ReadFile(support::BuiltLauncher("setup"));
  LauncherFile bare;
  ASSERT_TRUE(Read(support::BuiltLauncher("setup"), &bare));
  support::WriteFile(scratch.Path("appended"), bytes + "payload");
  LauncherFile l;
  ASSERT_TRUE(Read(scratch.Path("appended"), &l));
  EXPECT_EQ(l.imageLength, bare.imageLength);
  EXPECT_EQ(l.fileLength, bare.imageLength + 7);
}

}  // namespace
