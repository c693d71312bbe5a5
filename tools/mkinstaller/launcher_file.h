// What a launcher executable says about itself without being run: its ELF class and machine,
// the extent of its program image (anything behind it is an appended archive), whether it
// exports this project's message catalog, and which product it is, from the note that every
// launcher carries (see core/main.cpp).
#pragma once

#include <stdint.h>

#include <string>

// RuntimeArchDir: the processor directory a launcher of an ELF class looks for in a runtime.
#include "runtime/discovery.h"

enum class LauncherKind { Unknown, Installer, Uninstaller };

struct LauncherFile {
  int elfClass = 0;  // 32 or 64
  int machine = 0;
  int64_t imageLength = 0;
  int64_t fileLength = 0;
  bool exportsCatalog = false;
  bool hasProductNote = false;
  std::string noteClass;  // the main class the note names
  LauncherKind kind = LauncherKind::Unknown;
};

// Reads the headers of the file open as fd. False when it is not a readable little-endian ELF
// file; everything else is reported through the fields.
bool ReadLauncherFile(int fd, LauncherFile *launcher);

// For a file that starts as an ELF program but ends before the program does (a download or a
// copy cut short): the length in bytes that its headers demand at least. 0 when the file is no
// ELF file, when its headers are implausible, or when the file holds all they demand.
int64_t CutShortElfLength(int fd);

// Why the file cannot serve as a launcher of this project ("" when it can): not an x86
// program, no message catalog, no product note. Worded to follow the file's name.
std::string LauncherProblem(const LauncherFile &launcher);

// "installer", "uninstaller".
const char *KindName(LauncherKind kind);
// The built executable of a kind: "setup", "uninstall".
const char *LauncherName(LauncherKind kind);
// The main class of a kind and the class file the payload must hold at its root.
const char *MainClass(LauncherKind kind);
std::string MainClassFile(LauncherKind kind);
// "64-bit x86-64", "32-bit i386".
std::string DescribeElf(const LauncherFile &launcher);
