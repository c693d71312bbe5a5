// What the packaging tool writes and expects in an installer's archive beyond the launcher's
// reader: the limits of that reader (shared with it, never restated), the names it refuses,
// the MS-DOS time stamps, when deflating an entry pays, how names are marked as UTF-8, and the
// digest record that the tool leaves in the archive comment.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

#include "archive/extract.h"  // HasParentComponent, the extraction's name rule
#include "archive/zip_internal.h"

// What the launcher's reader accepts. Tests lower the limits to reach them cheaply.
struct ArchiveLimits {
  int64_t maxEntries = zipfmt::kMaxEntries;
  int64_t maxEntrySize = zipfmt::kMaxEntrySize;
  int64_t maxFileLength = zipfmt::kMaxFileLength;  // launcher and archive together
  int64_t maxNameLength = zipfmt::kMaxNameLength;
};

// Why the launcher could not store or extract an entry of this name, or "" when it can.
// Directory names end with "/".
std::string NameProblem(std::string_view name, const ArchiveLimits &limits);

// The MS-DOS date (high 16 bits) and time (low 16 bits) of a moment given in seconds since
// 1970, always in UTC, so that the same moment gives the same bytes in every time zone.
// Moments outside the format's range (1980 to 2107) are clamped to its ends; seconds are
// rounded down to even ones.
uint32_t DosDateTime(int64_t seconds);
// "2021-06-15 12:34:56" for a value made by DosDateTime.
std::string FormatDosDateTime(uint32_t dos);

// Parses a SOURCE_DATE_EPOCH value: decimal digits only. False when malformed.
bool ParseSourceDateEpoch(const char *text, int64_t *seconds);

// The largest deflated size worth keeping for an entry of size bytes: deflating must save at
// least 1% (and at least one byte), else the entry is stored. Files compressed already gain
// less than that (a few tenths of a percent for .gz files, nothing for most archives) and
// would only cost the launcher inflating time; files that gain more, such as a JDK's .jmod
// files (3 to 10%), are kept deflated.
uint64_t MaxWorthwhileSize(uint64_t size);

// General-purpose flag bit 11: the entry's name is UTF-8. Set only on names that are valid
// UTF-8 and not plain ASCII; other names are stored as their bytes.
constexpr uint32_t kUtf8NameFlag = 1u << 11;
// True when name is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool IsValidUtf8(std::string_view name);
// The general-purpose flags of an entry with this name.
uint32_t NameFlags(std::string_view name);
// The name for a message: bytes that are not valid UTF-8 shown as \xHH.
std::string PrintableName(std::string_view name);

// The archive comment of an installer made by this tool: the prefix followed by the SHA-256,
// in hexadecimal, of every byte of the file in front of the end record (launcher, entries
// and central directory). A comment of exactly this length is taken to be such a record.
constexpr char kDigestRecordPrefix[] = "corvane-sha256:";
constexpr size_t kDigestRecordLength = sizeof kDigestRecordPrefix - 1 + 64;

// "1 entry", "2 entries": a count with the noun in the right number.
std::string Count(int64_t n, const char *one, const char *many);
