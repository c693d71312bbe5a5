// Reader for the ZIP archive appended to the launcher's executable: the end record, the
// central directory with its hash index, local headers, and stored or deflated entry data.
// Records are owned by the module and shared by reference count; entries belong to the caller
// until they are handed back with zipFreeEntry.
#pragma once

#include "base/types.h"

// One compact cell per entry of the central directory.
struct jzcell {
  jint pos;              // absolute position of the local header
  unsigned int hash;     // hash of the central name
  unsigned short nelen;  // central name length + central extra length
  unsigned short next;   // next cell in the same bucket, 0xFFFF ends the chain
  jint size;             // uncompressed size
  jint csize;            // compressed size; 0 for a stored entry
  jint crc;              // CRC-32 from the central header
  unsigned short elen;   // central extra length
  jint cenpos;           // absolute position of the central header
};

// One entry handed to a caller.
struct jzentry {
  char *name;       // local name, owned
  jint time;        // MS-DOS time (low 16 bits) and date (high 16 bits)
  jint size;        // uncompressed size
  jint csize;       // compressed size; 0 means stored
  jint crc;         // CRC-32 from the central header
  char *comment;    // borrowed from the record's comments, or null
  jbyte *extra;     // 2-byte little-endian length followed by the field, owned, or null
  jint pos;         // absolute position of the entry's data
};

// One open archive.
struct jzfile {
  char *name;
  jint refs;
  int fd;
  void *lock;
  char *comment;
  char *msg;
  jzcell *entries;
  jint total;
  unsigned short *table;
  jint tablelen;
  jzfile *next;
  jzentry *cache;
  char **metanames;
  jint metacount;
  char **comments;
  jlong lastModified;
  // Set with msg when writing an entry out failed rather than reading it: the errno of the
  // failed write or close of the output file, or of an open or mkdir that the file system
  // refused for want of space or by an I/O error (ENOSPC, EDQUOT, EIO, ...). 0 when the last
  // failure lay in the archive itself.
  int writeErrno;
  // Where the archive lies in the file: the position its recorded offsets count from (its start,
  // or 0 when they were written as absolute file positions), and its central directory's.
  jint locpos;
  jint cenpos;
  // What the first walk over the local headers found, kept for the passes after it (see
  // zipPassEntry in zip_internal.h); null until a pass needs it.
  struct LocalHeaders *locals;
};

jzfile *zipOpen(const char *name, int *zerror);
jzfile *zipOpenGeneric(const char *name, int *zerror, int mode, jlong lastModified);
void zipClose(jzfile *zip);

jzentry *zipGetNextEntry(jzfile *zip, jint n);
jzentry *zipGetEntry(jzfile *zip, const char *name);
jzentry *zipFindEntry(jzfile *zip, const char *name, jint *sizeP, jint *nameLenP);
void zipFreeEntry(jzfile *jz, jzentry *ze);
jint zipRead(jzfile *zip, jzentry *entry, jint pos, void *buf, jint len);
// Writes the entry's contents to path (created 0700, truncated, never through a symbolic link)
// and checks them against the entry's CRC-32. On failure the reason text is left in zip->msg,
// and zip->writeErrno tells a failed write (non-zero) from bad archive data (0).
jboolean zipReadEntry(jzfile *zip, jzentry *entry, const char *path);
// zipReadEntry with path relative to the directory open as dirfd (AT_FDCWD: as zipReadEntry),
// opened beneath it: no symbolic link on the way is followed and nothing outside it is reached.
jboolean zipReadEntryAt(jzfile *zip, jzentry *entry, int dirfd, const char *path);
// True for the errors by which a file system refuses to store more (ENOSPC, EDQUOT, EFBIG,
// EROFS) or fails to (EIO).
jboolean zipIsStorageError(int err);
// The largest deflated entry (uncompressed and compressed size alike) that zipReadEntry
// inflates whole in memory; larger ones are inflated as a stream. 0 streams every entry;
// negative restores the default. For the benchmarks and the tests; the launcher keeps the
// default.
void zipSetWholeEntryLimit(jint bytes);
// Gives back the memory that inflating whole entries took; the next such entry takes it anew.
void zipReleaseInflateBuffers(void);
