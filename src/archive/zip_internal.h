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
jint readFully(int fd, void *buf, jint len);
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
