// Extraction of an open archive, or of the entries under one name prefix, into a directory.
#pragma once

#include "archive/zip_util.h"

// Extracts every entry of zipFile whose name begins with entrySubdir (null: every entry) under
// outputDir. 1 when every selected entry was written, 0 on a null argument, an entry that
// failed (CRC-32 included), a name with a ".." component, or an entry that cannot be read.
// After a failure zipFile->writeErrno is non-zero when writing failed (a full disk, an I/O
// error) rather than the archive.
jboolean UnzipFiles(jzfile *zipFile, const char *outputDir, const char *entrySubdir);
