// Name rules, time stamps and the compression rule of the packaging tool. The civil-date
// arithmetic is done here rather than with gmtime, so that neither the time zone nor the width
// of time_t (32 bits in the i386 build) changes a time stamp.
#include "zip_format.h"

#include <stdio.h>
#include <string.h>

std::string NameProblem(std::string_view name, const ArchiveLimits &limits) {
  if (name.empty() || name == "/") return "an entry needs a name";
  if (name.find('\0') != std::string_view::npos) return "a name may not contain a NUL byte";
  if (name[0] == '/') return "a name may not start with \"/\"";
  // The name has no NUL byte, so the C string is the whole name.
  if (HasParentComponent(std::string(name).c_str())) return "the launcher refuses names with a \"..\" component";
  if (static_cast<int64_t>(name.size()) > limits.maxNameLength) {
    return "the name is " + std::to_string(name.size()) + " bytes long; a ZIP entry name holds at most " +
           std::to_string(limits.maxNameLength);
  }
  return "";
}

namespace {

// Days since 1970-01-01 to the civil date (proleptic Gregorian calendar).
void CivilFromDays(int64_t days, int64_t *year, int *month, int *day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

constexpr uint32_t kDosMin = (0u << 25 | 1u << 21 | 1u << 16);                         // 1980-01-01 00:00:00
constexpr uint32_t kDosMax = (127u << 25 | 12u << 21 | 31u << 16 | 23u << 11 | 59u << 5 | 29u);  // 2107-12-31 23:59:58

}  // namespace

uint32_t DosDateTime(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days--;
  }
  int64_t year;
  int month, day;
  CivilFromDays(days, &year, &month, &day);
  if (year < 1980) return kDosMin;
  if (year > 2107) return kDosMax;
  const uint32_t date = static_cast<uint32_t>(year - 1980) << 9 | static_cast<uint32_t>(month) << 5 |
                        static_cast<uint32_t>(day);
  const uint32_t time = static_cast<uint32_t>(rest / 3600) << 11 | static_cast<uint32_t>(rest / 60 % 60) << 5 |
                        static_cast<uint32_t>(rest % 60 / 2);
  return date << 16 | time;
}

std::string FormatDosDateTime(uint32_t dos) {
  const uint32_t date = dos >> 16, time = dos & 0xFFFF;
  char text[32];
  snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
           time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return text;
}

bool ParseSourceDateEpoch(const char *text, int64_t *seconds) {
  if (text == nullptr || *text == '\0') return false;
  int64_t value = 0;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return false;
    if (value > (INT64_MAX - (*p - '0')) / 10) return false;
    value = value * 10 + (*p - '0');
  }
  *seconds = value;
  return true;
}

uint64_t MaxWorthwhileSize(uint64_t size) {
  const uint64_t saving = (size + 99) / 100;
  return size - (saving > 0 ? saving : size);
}

namespace {

// The length of the UTF-8 sequence at p (at most n bytes), or 0 when it is malformed.
size_t Utf8Sequence(const unsigned char *p, size_t n) {
  if (p[0] < 0x80) return 1;
  size_t len;
  uint32_t min, cp;
  if ((p[0] & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = p[0] & 0x1F;
  } else if ((p[0] & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = p[0] & 0x0F;
  } else if ((p[0] & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = p[0] & 0x07;
  } else {
    return 0;
  }
  if (len > n) return 0;
  for (size_t i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

bool IsValidUtf8(std::string_view name) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(name.data());
  for (size_t at = 0; at < name.size();) {
    const size_t len = Utf8Sequence(p + at, name.size() - at);
    if (len == 0) return false;
    at += len;
  }
  return true;
}

uint32_t NameFlags(std::string_view name) {
  bool ascii = true;
  for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  return !ascii && IsValidUtf8(name) ? kUtf8NameFlag : 0;
}

std::string PrintableName(std::string_view name) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(name.data());
  std::string out;
  for (size_t at = 0; at < name.size();) {
    const size_t len = Utf8Sequence(p + at, name.size() - at);
    if (len > 0 && p[at] >= 0x20 && p[at] != 0x7F) {
      out.append(name.data() + at, len);
      at += len;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", p[at]);
      out += hex;
      at++;
    }
  }
  return out;
}

std::string Count(int64_t n, const char *one, const char *many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}
