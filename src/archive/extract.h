// Extraction of an open archive, or of the entries under one name prefix, into a directory.
#pragma once

#include "archive/zip_util.h"

// Extracts every entry of zipFile whose name begins with entrySubdir (null: every entry) under
// outputDir. 1 when the walk ended normally, 0 on a null argument or an entry that failed.
jboolean UnzipFiles(jzfile *zipFile, const char *outputDir, const char *entrySubdir);
