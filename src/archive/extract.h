// Extraction of an open archive, or of the entries under one name prefix, into a directory, and
// the pass over the archive that comes before it.
#pragma once

#include "archive/zip_util.h"

// Extracts every entry of zipFile whose name begins with entrySubdir (null: every entry) under
// outputDir. 1 when every selected entry was written, 0 on a null argument, an entry that
// failed (CRC-32 included), a name with a ".." component, or an entry that cannot be read.
// After a failure zipFile->writeErrno is non-zero when writing failed (a full disk, an I/O
// error) rather than the archive.
//
// A large archive is extracted by worker processes, several entries at once, when its result
// cannot depend on the order of the entries (no two entries for one file, no file where another
// entry needs a directory, nothing that differs only in letter case); the outcome is the one of
// writing the entries in order. Until UnzipFiles returns, the workers are children of the
// calling process, stopped and reaped by StopExtractionWorkers.
jboolean UnzipFiles(jzfile *zipFile, const char *outputDir, const char *entrySubdir);
// UnzipFiles into the directory open as outputDirFd, whatever name it has meanwhile: every file
// is opened beneath the descriptor, never through a symbolic link; every directory is made
// relative to it, after a link found in a directory's place has been removed (a check that only
// the directory's owner could race). For a directory that others might rename or replace under
// its name.
jboolean UnzipFilesAt(jzfile *zipFile, int outputDirFd, const char *entrySubdir);
// The most worker processes an extraction may use: 0 (the default) chooses from the processors
// this process may run on, at most 8; 1 extracts in this process alone. For the benchmarks and
// the tests; the launcher keeps the default.
void SetMaxExtractionWorkers(int count);
// For the signal handlers, async-signal-safe: kills and reaps the running extraction's workers,
// so that none writes into a tree being deleted. Does nothing when none runs.
void StopExtractionWorkers(void);
// Lets the calling process follow its extractions: while UnzipFiles runs, watch is called with
// the bytes written so far by this process and its worker processes together, after every write
// made in this process and about every 50 ms while workers write. A worker never calls it. Null
// (the default) counts nothing.
typedef void (*ExtractionWatcher)(unsigned long long written);
void WatchExtractions(ExtractionWatcher watch);
// True when one of the name's "/"-separated components is "..": UnzipFiles refuses such a name,
// and with it the rest of the archive.
jboolean HasParentComponent(const char *name);

// What one pass over an archive's local headers finds.
struct ArchiveSurvey {
  unsigned long long totalSize;  // the sum of the entries' declared sizes
  jboolean hasSubdirEntries;     // some entry lies under the entrySubdir asked about
  unsigned long long subdirSize;  // the sum of those entries' declared sizes
};
// Reads every entry's local header without writing anything (once for the record: while it
// stays open, the extraction and its workers take the headers from what this found): the sum of
// the declared sizes, and whether some entry lies under entrySubdir (in the sense of UnzipFiles;
// null asks nothing). False when the archive is damaged in a way that the extraction would meet
// only after part of it was written: a local header that cannot be read (the walk ends there),
// or a declared size that cannot be right (negative, or a sum beyond 64 bits, should sizes ever
// be wider), which would also let a larger payload slip past a space check.
jboolean SurveyArchive(jzfile *zipFile, const char *entrySubdir, ArchiveSurvey *survey);
