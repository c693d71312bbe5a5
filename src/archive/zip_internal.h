// Internals of the zip_util module shared by its two source files and by its unit tests:
// the on-disk record sizes, little-endian field access, and the steps of opening an archive
// and building an entry. Outside src/archive and its tests only the packaging tool includes
// this header, for the record layout and the limits below: it must never write an archive
// that this reader refuses.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/zip_util.h"

namespace zipfmt {

constexpr uint32_t kEndSig = 0x06054B50;  // "PK\5\6"
constexpr uint32_t kCenSig = 0x02014B50;  // "PK\1\2"
constexpr uint32_t kLocSig = 0x04034B50;  // "PK\3\4"
constexpr int kEndHdr = 22;
constexpr int kCenHdr = 46;
constexpr int kLocHdr = 30;
// The end record must begin within this many bytes of the end of the file.
constexpr int kEndSearch = 0xFFFF;
constexpr int kMaxEntries = 0xFFFE;
// Positions and sizes are jint: the whole file (executable and archive) and every entry's
// sizes must fit, and negative sizes are refused.
constexpr jlong kMaxFileLength = INT32_MAX;
constexpr jlong kMaxEntrySize = INT32_MAX;
// Name lengths are 16-bit fields; the cell keeps name and extra length together in 16 bits,
// so an archive without extra fields may use all of them for the name.
constexpr int kMaxNameLength = 0xFFFF;
constexpr unsigned short kNoEntry = 0xFFFF;

// Archive integers are little-endian and may sit at any byte offset.
inline uint32_t Get16(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}
inline uint32_t Get32(const unsigned char *p) { return Get16(p) | Get16(p + 2) << 16; }
inline jint GetJint(const unsigned char *p) { return static_cast<jint>(Get32(p)); }

// Reason texts are the constants of zipmsg below; msg fields point at them without owning them.
inline char *ReasonText(const char *text) { return const_cast<char *>(text); }
inline void SetMsg(jzfile *zip, const char *text) { zip->msg = ReasonText(text); }

}  // namespace zipfmt

// The directory reader (zip_directory.cpp).
jint initializeZip(void);
jzfile *allocZip(const char *name);
jint findEND(jzfile *zip, void *endbuf);
jint readCEN(jzfile *zip);
// Reads exactly len bytes at pos, whatever the descriptor's offset (which it leaves alone, so
// that processes sharing the descriptor never disturb each other): 0, or -1 at the end of the
// file or an error.
jint readFullyAt(int fd, void *buf, jint len, jlong pos);
unsigned int hash(const char *s);
int isMetaName(char *name);
void addMetaName(jzfile *zip, char *name);
void addEntryComment(jzfile *zip, int index, char *comment);
void freeZip(jzfile *zip);

// Entry access (zip_entry.cpp).
jzentry *readLOC(jzfile *zip, jzcell *zc);
jboolean inflateFully(jzfile *zip, jzentry *entry, int fd, char **msg);
// Has observer called with the length of every write of an entry's data to its file (null: none).
void zipObserveWrites(void (*observer)(size_t len));

// What one walk over every local header, in directory order, found: the launcher's passes over
// the archive (the survey before the extraction, the extraction, the workers' plan) share it
// through the record, so that each header is read once however many passes there are.
struct LocalHeaders {
  jint count;            // entries 0 to count - 1 have sound local headers
  const char *failure;   // why the header of entry `count` is not sound; null when count is total
  jint *datapos;         // per entry: absolute position of its data
  jint *time;            // per entry: the local header's time and date
  uint32_t *nameoff;     // per entry: offset of its NUL-terminated local name in names
  char *names;
  bool kept;             // false when the names would take more than kMostLocalNameBytes
};
// Local headers may overlap, so a hostile archive could name 65,534 entries with one long name
// each; beyond this many bytes of names the walk keeps nothing and every pass reads the headers
// it needs itself, as readLOC does.
constexpr size_t kMostLocalNameBytes = 16u << 20;
// Entry n for a pass over the whole archive: built in *spare from the walk's findings (the walk
// runs at the first call for the record), with the name borrowed from the record and no extra
// field; or, when the walk kept nothing, read like zipGetNextEntry. Null like
// zipGetNextEntry: at the end, or for an unsound header (its reason in zip->msg). Handed back
// with zipReleasePassEntry, never zipFreeEntry.
jzentry *zipPassEntry(jzfile *zip, jint n, jzentry *spare);
void zipReleasePassEntry(jzfile *zip, jzentry *entry, const jzentry *spare);
// Ends a pass whose last entry was n (-1: none): that entry goes into the record's cache, as if
// the pass had read and released every entry (its extra field aside, which no pass reads).
void zipEndPass(jzfile *zip, jint n);
void freeLocalHeaders(jzfile *zip);

// Reason texts that callers and tests compare by content.
namespace zipmsg {
constexpr const char kBadCenSize[] = "invalid END header (bad central directory size)";
constexpr const char kBadCenOffset[] = "invalid END header (bad central directory offset)";
constexpr const char kBadEntryCount[] = "invalid END header (bad entry count)";
constexpr const char kTooMany[] = "too many entries in ZIP file";
constexpr const char kCenHeaderSize[] = "invalid CEN header (bad header size)";
constexpr const char kCenSignature[] = "invalid CEN header (bad signature)";
constexpr const char kCenEncrypted[] = "invalid CEN header (encrypted entry)";
constexpr const char kCenMethod[] = "invalid CEN header (bad compression method)";
constexpr const char kSeekFailed[] = "seek failed";
constexpr const char kLocRead[] = "couldn't read LOC header";
constexpr const char kLocSignature[] = "invalid LOC header (bad signature)";
constexpr const char kLocHeaderSize[] = "invalid LOC header (bad header size)";
constexpr const char kCenExtra[] = "couldn't read CEN extra";
constexpr const char kOffsetRange[] = "zipRead: specified offset out of range";
constexpr const char kNotCompressed[] = "inflateFully: entry not compressed";
constexpr const char kEndOfFile[] = "inflateFully: Unexpected end of file";
constexpr const char kEndOfStream[] = "inflateFully: Unexpected end of stream";
constexpr const char kTooLarge[] = "inflateFully: inflated data exceeds entry size";
constexpr const char kBadData[] = "inflateFully: invalid compressed data";
constexpr const char kNoMemory[] = "inflateFully: out of memory";
constexpr const char kNoProgress[] = "inflateFully: inflate made no progress";
constexpr const char kInflateCrc[] = "inflateFully: CRC-32 mismatch";
constexpr const char kCannotOpen[] = "zipReadEntry: cannot open output file";
constexpr const char kBadSize[] = "invalid entry size";
constexpr const char kShortCopy[] = "zipReadEntry: stored data cut short";
constexpr const char kWriteFailed[] = "zipReadEntry: write failed";
constexpr const char kStoredCrc[] = "zipReadEntry: CRC-32 mismatch";
}  // namespace zipmsg
