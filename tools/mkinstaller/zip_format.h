// What the packaging tool writes and expects in an installer's archive beyond the launcher's
// reader: the limits of that reader (shared with it, never restated), the names it refuses,
// the MS-DOS time stamps, which files are stored rather than deflated, and the digest record
// that the tool leaves in the archive comment.
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

// True for names of files that are compressed already (.jar, .zip, .gz, .png, ...): they are
// stored, since deflating them again costs time and gains nothing.
bool IsCompressedAlready(std::string_view name);

// The archive comment of an installer made by this tool: the prefix followed by the SHA-256,
// in hexadecimal, of every byte of the file in front of the end record (launcher, entries
// and central directory). A comment of exactly this length is taken to be such a record.
constexpr char kDigestRecordPrefix[] = "corvane-sha256:";
constexpr size_t kDigestRecordLength = sizeof kDigestRecordPrefix - 1 + 64;

// "1 entry", "2 entries": a count with the noun in the right number.
std::string Count(int64_t n, const char *one, const char *many);
