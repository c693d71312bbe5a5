// ELF reading for the packaging tool: the image extent comes from the launcher's own reader
// (archive/elf_image); the program headers are walked for notes and the section headers for
// the dynamic symbol table. Every table is bounds-checked against the file before it is read.
#include "launcher_file.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "archive/elf_image.h"
#include "base/product.h"

namespace {

constexpr int kMachine386 = 3, kMachineX86_64 = 62;
constexpr uint32_t kProgramNote = 4;        // PT_NOTE
constexpr uint32_t kSectionDynamicSymbols = 11;  // SHT_DYNSYM
constexpr uint64_t kMaxHeaders = 65535;
constexpr uint64_t kMaxTable = 64 * 1024 * 1024;  // no launcher's note or symbol table comes near

// Every launcher's catalog exports these (the title of each product): a program that exports
// them carries this project's catalog.
constexpr const char *kCatalogEntries[] = {"messages_setup_title", "messages_uninstall_title"};

uint64_t Get(const unsigned char *p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

bool ReadAt(int fd, uint64_t off, void *buf, uint64_t len, uint64_t fileLength) {
  if (off > fileLength || len > fileLength - off) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, static_cast<char *>(buf) + done, static_cast<size_t>(len - done), static_cast<off_t>(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct Header {
  int word;  // 4 or 8
  uint64_t phoff, shoff, phentsize, phnum, shentsize, shnum;
};

bool ReadHeader(int fd, uint64_t fileLength, Header *h) {
  unsigned char e[64];
  if (!ReadAt(fd, 0, e, 52, fileLength)) return false;
  h->word = e[4] == 2 ? 8 : 4;
  if (h->word == 8 && !ReadAt(fd, 0, e, 64, fileLength)) return false;
  const bool wide = h->word == 8;
  h->phoff = Get(e + (wide ? 32 : 28), h->word);
  h->shoff = Get(e + (wide ? 40 : 32), h->word);
  h->phentsize = Get(e + (wide ? 54 : 42), 2);
  h->phnum = Get(e + (wide ? 56 : 44), 2);
  h->shentsize = Get(e + (wide ? 58 : 46), 2);
  h->shnum = Get(e + (wide ? 60 : 48), 2);
  return true;
}

// The description of the product note among the notes in buf, if there is one.
void FindProductNote(const std::vector<unsigned char> &buf, uint64_t align, LauncherFile *launcher) {
  const uint64_t ownerSize = sizeof kProductNoteOwner;
  size_t at = 0;
  while (buf.size() - at >= 12) {
    const uint64_t namesz = Get(&buf[at], 4), descsz = Get(&buf[at + 4], 4), type = Get(&buf[at + 8], 4);
    const uint64_t nameEnd = 12 + ((namesz + align - 1) & ~(align - 1));
    const uint64_t descEnd = nameEnd + ((descsz + align - 1) & ~(align - 1));
    if (namesz > buf.size() || descsz > buf.size() || descEnd > buf.size() - at) return;
    const unsigned char *name = &buf[at + 12];
    if (type == kProductNoteType && namesz == ownerSize && memcmp(name, kProductNoteOwner, ownerSize) == 0) {
      const char *desc = reinterpret_cast<const char *>(&buf[at + nameEnd]);
      launcher->hasProductNote = true;
      launcher->noteClass.assign(desc, strnlen(desc, descsz));
      return;
    }
    at += descEnd;
  }
}

void ReadNotes(int fd, uint64_t fileLength, const Header &h, LauncherFile *launcher) {
  const uint64_t entsize = h.word == 8 ? 56 : 32;
  if (h.phnum > kMaxHeaders || h.phentsize < entsize) return;
  for (uint64_t i = 0; i < h.phnum && !launcher->hasProductNote; i++) {
    unsigned char p[56];
    if (!ReadAt(fd, h.phoff + i * h.phentsize, p, entsize, fileLength)) return;
    if (Get(p, 4) != kProgramNote) continue;
    const bool wide = h.word == 8;
    const uint64_t offset = Get(p + (wide ? 8 : 4), h.word), filesz = Get(p + (wide ? 32 : 16), h.word);
    const uint64_t align = Get(p + (wide ? 48 : 28), h.word) == 8 ? 8 : 4;
    if (filesz > kMaxTable) continue;
    std::vector<unsigned char> notes(static_cast<size_t>(filesz));
    if (!ReadAt(fd, offset, notes.data(), filesz, fileLength)) continue;
    FindProductNote(notes, align, launcher);
  }
}

struct Section {
  uint32_t type;
  uint64_t offset, size, link, entsize;
};

bool ReadSection(int fd, uint64_t fileLength, const Header &h, uint64_t index, Section *s) {
  const bool wide = h.word == 8;
  const uint64_t entsize = wide ? 64 : 40;
  if (h.shentsize < entsize) return false;
  unsigned char e[64];
  if (index > kMaxHeaders || !ReadAt(fd, h.shoff + index * h.shentsize, e, entsize, fileLength)) return false;
  s->type = static_cast<uint32_t>(Get(e + 4, 4));
  s->offset = Get(e + (wide ? 24 : 16), h.word);
  s->size = Get(e + (wide ? 32 : 20), h.word);
  s->link = Get(e + (wide ? 40 : 24), 4);
  s->entsize = Get(e + (wide ? 56 : 36), h.word);
  return true;
}

void ReadDynamicSymbols(int fd, uint64_t fileLength, const Header &h, LauncherFile *launcher) {
  if (h.shoff == 0) return;
  uint64_t shnum = h.shnum;
  if (shnum == 0) {
    Section first;
    if (!ReadSection(fd, fileLength, h, 0, &first)) return;
    shnum = first.size;
  }
  if (shnum > kMaxHeaders) return;
  for (uint64_t i = 0; i < shnum; i++) {
    Section symbols, strings;
    if (!ReadSection(fd, fileLength, h, i, &symbols) || symbols.type != kSectionDynamicSymbols) continue;
    const uint64_t symsize = h.word == 8 ? 24 : 16;
    if (symbols.entsize < symsize || symbols.size > kMaxTable || symbols.link >= shnum ||
        !ReadSection(fd, fileLength, h, symbols.link, &strings) || strings.size > kMaxTable) {
      continue;
    }
    std::vector<unsigned char> table(static_cast<size_t>(symbols.size));
    std::vector<char> names(static_cast<size_t>(strings.size) + 1, '\0');
    if (!ReadAt(fd, symbols.offset, table.data(), symbols.size, fileLength) ||
        !ReadAt(fd, strings.offset, names.data(), strings.size, fileLength)) {
      continue;
    }
    size_t found = 0;
    for (uint64_t at = 0; at + symsize <= symbols.size; at += symbols.entsize) {
      const uint64_t name = Get(&table[at], 4);
      const uint64_t sectionIndex = Get(&table[at + (h.word == 8 ? 6 : 14)], 2);
      if (name >= strings.size || sectionIndex == 0) continue;  // undefined: imported, not exported
      for (const char *entry : kCatalogEntries) {
        if (strcmp(&names[name], entry) == 0) found++;
      }
    }
    if (found >= sizeof kCatalogEntries / sizeof kCatalogEntries[0]) launcher->exportsCatalog = true;
  }
}

}  // namespace

bool ReadLauncherFile(int fd, LauncherFile *launcher) {
  *launcher = LauncherFile();
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  ElfImage image;
  if (!ReadElfImage(fd, &image)) return false;
  launcher->elfClass = image.elfClass;
  launcher->machine = image.machine;
  launcher->imageLength = image.length;
  launcher->fileLength = st.st_size;
  Header h;
  const uint64_t fileLength = static_cast<uint64_t>(st.st_size);
  if (!ReadHeader(fd, fileLength, &h)) return false;
  ReadNotes(fd, fileLength, h, launcher);
  ReadDynamicSymbols(fd, fileLength, h, launcher);
  if (launcher->noteClass == kInstallerClassName) launcher->kind = LauncherKind::Installer;
  if (launcher->noteClass == kUninstallerClassName) launcher->kind = LauncherKind::Uninstaller;
  return true;
}

int64_t CutShortElfLength(int fd) {
  struct stat st;
  unsigned char e[64] = {};
  if (fstat(fd, &st) != 0 || pread(fd, e, 4, 0) != 4 || memcmp(e, "\x7f" "ELF", 4) != 0) return 0;
  const uint64_t fileLength = static_cast<uint64_t>(st.st_size);
  // No real launcher comes near this: larger figures are damage, not a cut.
  constexpr uint64_t kPlausible = uint64_t{1} << 32;
  uint64_t need = 52;
  Header h;
  if (pread(fd, e + 4, 1, 4) == 1 && e[4] == 2) need = 64;
  if (ReadHeader(fd, fileLength, &h)) {
    if (h.phoff > kPlausible || h.shoff > kPlausible) return 0;
    need = std::max(need, h.phoff + h.phnum * h.phentsize);
    if (h.shnum > 0) need = std::max(need, h.shoff + h.shnum * h.shentsize);
    const uint64_t entsize = h.word == 8 ? 56 : 32;
    const bool wide = h.word == 8;
    for (uint64_t i = 0; i < h.phnum && h.phentsize >= entsize; i++) {
      unsigned char p[56];
      if (!ReadAt(fd, h.phoff + i * h.phentsize, p, entsize, fileLength)) break;
      const uint64_t offset = Get(p + (wide ? 8 : 4), h.word), filesz = Get(p + (wide ? 32 : 16), h.word);
      if (offset > kPlausible || filesz > kPlausible) return 0;
      need = std::max(need, offset + filesz);
    }
  }
  return need > fileLength ? static_cast<int64_t>(need) : 0;
}

std::string LauncherProblem(const LauncherFile &launcher) {
  const bool x86 = (launcher.elfClass == 32 && launcher.machine == kMachine386) ||
                   (launcher.elfClass == 64 && launcher.machine == kMachineX86_64);
  if (!x86) return "is not an x86 program (ELF machine " + std::to_string(launcher.machine) + ")";
  if (!launcher.exportsCatalog) {
    return "is not a corvane launcher: it does not export the launcher's message catalog";
  }
  if (!launcher.hasProductNote) {
    return "does not say whether it is the installer or the uninstaller launcher (it carries no "
           "product note; launchers built before this tool do not): use a launcher of this release";
  }
  if (launcher.kind == LauncherKind::Unknown) {
    return "names an unknown product (main class \"" + launcher.noteClass + "\")";
  }
  return "";
}

const char *KindName(LauncherKind kind) {
  return kind == LauncherKind::Uninstaller ? "uninstaller" : kind == LauncherKind::Installer ? "installer" : "unknown";
}

const char *LauncherName(LauncherKind kind) { return kind == LauncherKind::Uninstaller ? "uninstall" : "setup"; }

const char *MainClass(LauncherKind kind) {
  return kind == LauncherKind::Uninstaller ? kUninstallerClassName : kInstallerClassName;
}

std::string MainClassFile(LauncherKind kind) { return std::string(MainClass(kind)) + ".class"; }

std::string DescribeElf(const LauncherFile &launcher) {
  if (launcher.elfClass == 64) return launcher.machine == kMachineX86_64 ? "64-bit x86-64" : "64-bit";
  return launcher.machine == kMachine386 ? "32-bit i386" : "32-bit";
}
