// The rules the writer and the checks share: names the launcher refuses, MS-DOS time stamps in
// UTC whatever the time zone, SOURCE_DATE_EPOCH, the stored-file list and plurals.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "zip_format.h"

namespace {

TEST(ZipFormat, NamesWithAParentComponentAreRefusedLikeTheLauncherDoes) {
  for (const char *bad : {"..", "../a", "a/..", "a/../b", "a/b/../", "../"}) {
    EXPECT_TRUE(HasParentComponent(bad)) << bad;
  }
  for (const char *good : {"a", "a/b", "..a", "a..", "a/..b/c", "...", "a/.../b", "./a", "a/"}) {
    EXPECT_FALSE(HasParentComponent(good)) << good;
  }
}

TEST(ZipFormat, NameProblemsNameTheRuleAndTheLimit) {
  ArchiveLimits limits;
  EXPECT_EQ(NameProblem("corvane.class", limits), "");
  EXPECT_EQ(NameProblem("package/", limits), "");
  EXPECT_NE(NameProblem("", limits), "");
  EXPECT_NE(NameProblem("/etc/passwd", limits).find("\"/\""), std::string::npos);
  EXPECT_NE(NameProblem("a/../../b", limits).find("\"..\""), std::string::npos);
  EXPECT_NE(NameProblem(std::string("a\0b", 3), limits), "");
  // The 16-bit name length: the longest name fits, one byte more does not.
  EXPECT_EQ(NameProblem(std::string(65535, 'n'), limits), "");
  const std::string tooLong = NameProblem(std::string(65536, 'n'), limits);
  EXPECT_NE(tooLong.find("65536 bytes"), std::string::npos) << tooLong;
  EXPECT_NE(tooLong.find("at most 65535"), std::string::npos) << tooLong;
  limits.maxNameLength = 10;
  EXPECT_NE(NameProblem("01234567890", limits), "");
}

TEST(ZipFormat, DosTimesAreUtcAndClampedToTheFormat) {
  // 2023-11-14 22:13:20 UTC.
  const uint32_t t = DosDateTime(1700000000);
  EXPECT_EQ(FormatDosDateTime(t), "2023-11-14 22:13:20");
  EXPECT_EQ(t >> 16, (43u << 9) | (11u << 5) | 14u);
  EXPECT_EQ(t & 0xFFFF, (22u << 11) | (13u << 5) | 10u);
  // Odd seconds round down; the zone of the process changes nothing.
  EXPECT_EQ(DosDateTime(1700000001), t);
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  EXPECT_EQ(DosDateTime(1700000000), t);
  unsetenv("TZ");
  tzset();
  // Leap day, end of a year, the first second of the format.
  EXPECT_EQ(FormatDosDateTime(DosDateTime(951782400)), "2000-02-29 00:00:00");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(1704067199)), "2023-12-31 23:59:58");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(315532800)), "1980-01-01 00:00:00");
  // Before 1980 (including before 1970) and after 2107: the ends of the range.
  EXPECT_EQ(FormatDosDateTime(DosDateTime(0)), "1980-01-01 00:00:00");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(-86400 * 365)), "1980-01-01 00:00:00");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(4354819200LL)), "2107-12-31 23:59:58");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(4354819199LL)), "2107-12-31 23:59:58");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(4354819198LL)), "2107-12-31 23:59:58");
  EXPECT_EQ(FormatDosDateTime(DosDateTime(4354819100LL)), "2107-12-31 23:58:20");
  // Far past 2038, where a 32-bit time_t would have wrapped.
  EXPECT_EQ(FormatDosDateTime(DosDateTime(4102444800LL)), "2100-01-01 00:00:00");
}

TEST(ZipFormat, SourceDateEpochIsDecimalSecondsOnly) {
  int64_t s = -1;
  EXPECT_TRUE(ParseSourceDateEpoch("0", &s));
  EXPECT_EQ(s, 0);
  EXPECT_TRUE(ParseSourceDateEpoch("1700000000", &s));
  EXPECT_EQ(s, 1700000000);
  for (const char *bad : {"", "-1", "1.5", " 1", "1 ", "0x10", "abc", "99999999999999999999"}) {
    EXPECT_FALSE(ParseSourceDateEpoch(bad, &s)) << bad;
  }
  EXPECT_FALSE(ParseSourceDateEpoch(nullptr, &s));
}

// Deflating must save at least 1% of the entry, and at least a byte.
TEST(ZipFormat, DeflatingPaysFromOnePercentOn) {
  EXPECT_EQ(MaxWorthwhileSize(0), 0u);
  EXPECT_EQ(MaxWorthwhileSize(1), 0u);
  EXPECT_EQ(MaxWorthwhileSize(99), 98u);
  EXPECT_EQ(MaxWorthwhileSize(100), 99u);
  EXPECT_EQ(MaxWorthwhileSize(101), 99u);
  EXPECT_EQ(MaxWorthwhileSize(22115674), 21894517u);
  EXPECT_EQ(MaxWorthwhileSize(2147483647), 2126008810u);
}

// Names are marked as UTF-8 only when they are UTF-8 and not ASCII; others are shown in
// messages with their stray bytes escaped.
TEST(ZipFormat, OnlyValidNonAsciiUtf8NamesAreMarked) {
  for (const char *utf8 : {"caf\xc3\xa9.txt", "\xe6\x97\xa5\xe6\x9c\xac/x", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"})
    EXPECT_EQ(NameFlags(utf8), kUtf8NameFlag) << utf8;
  for (const char *other : {"plain.txt", "bad\xff.txt", "caf\xe9.txt", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "cut\xe6\x97"})
    EXPECT_EQ(NameFlags(other), 0u) << other;
  EXPECT_TRUE(IsValidUtf8("plain.txt"));
  EXPECT_FALSE(IsValidUtf8("bad\xff.txt"));
  EXPECT_EQ(PrintableName("bad\xff\x01" "caf\xc3\xa9"), "bad\\xff\\x01" "caf\xc3\xa9");
}

TEST(ZipFormat, CountsUseTheRightNumber) {
  EXPECT_EQ(Count(0, "entry", "entries"), "0 entries");
  EXPECT_EQ(Count(1, "entry", "entries"), "1 entry");
  EXPECT_EQ(Count(2, "file", "files"), "2 files");
}

}  // namespace
