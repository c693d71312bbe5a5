// The extent of the program image at the start of an executable file, read from its ELF
// headers. Whatever lies behind that extent was appended to the program (the installer's
// archive); an executable that is longer than its image carries something, and when that
// something cannot be read as an archive the file is damaged rather than bare.
#pragma once

#include "base/types.h"

struct ElfImage {
  int elfClass;   // 32 or 64
  int machine;    // e_machine: 3 for i386, 62 for x86_64
  jlong length;   // bytes from the start of the file that the image occupies
};

// Reads the ELF headers of the file open as fd (positioned reads, the file offset is not
// used). The length is the furthest end of the ELF header, the program header table, every
// segment's file extent, the section header table and every section's file contents.
// False when the file is not a little-endian ELF file or its headers cannot be read or are
// out of any possible range; image is then untouched.
jboolean ReadElfImage(int fd, ElfImage *image);
