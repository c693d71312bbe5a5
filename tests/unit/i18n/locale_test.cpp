// Locale resolution, and message lookup with its fallbacks and conversions.
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "i18n/locale.h"
#include "support.h"

using support::Take;

// Entries of a test-only catalogue, found by name like the real ones (the test program exports
// every messages_* function): a text that grows past 4,096 bytes in ISO-8859-1 and one that
// Latin-1 cannot represent.
extern "C" const char *messages_es_test_long_text(void) {
  static std::string text = [] {
    std::string s;
    for (int i = 0; i < 3000; i++) s += "\xc3\xad";  // "í", 2 bytes in UTF-8, 1 in Latin-1
    for (int i = 0; i < 2000; i++) s += "x";
    return s;
  }();
  return text.c_str();
}
extern "C" const char *messages_es_test_unrepresentable(void) { return "\xe6\x97\xa5"; }
extern "C" const char *messages_test_only_english(void) { return "only English\n"; }

namespace {

std::string Short(const char *name) { return Take(ShortLocaleName(name)); }

void UseLocale(const char *name) {
  setenv("LC_ALL", name, 1);
  UpdateLocale();
}

TEST(ShortLocaleName, ReducesProcessLocaleNames) {
  EXPECT_EQ(Short("he_IL"), "iw_IL");
  EXPECT_EQ(Short("german"), "de_DE");
  EXPECT_EQ(Short("no_NO@nynorsk"), "no_NO_NY");
  EXPECT_EQ(Short("de_DE@euro"), "de_DE");  // unknown variant dropped
  EXPECT_EQ(Short("pt_BR"), "pt_BR");
  EXPECT_EQ(Short("xx_YY"), "en");
  EXPECT_EQ(Short("C"), "en");
  EXPECT_EQ(Short("POSIX"), "en");
  EXPECT_EQ(Short("es_ES.ISO-8859-1"), "es_ES");
  EXPECT_EQ(Short("ja"), "ja_JP");  // alias
  EXPECT_EQ(Short("fran\xe7" "ais"), "fr_FR");
  EXPECT_EQ(Short("en_UK"), "en_GB");
  EXPECT_EQ(Short("xx_NO"), "en_NO");          // unknown language keeps "en"
  EXPECT_EQ(Short("xx@nynorsk"), "en__NY");    // variant without a country
}

TEST(GetLocale, UsesTheNonUtf8FormOfTheEnvironmentLocale) {
  UseLocale("es_ES.UTF-8");
  EXPECT_STREQ(GetLocale(), "es_ES");
  EXPECT_STREQ(setlocale(LC_ALL, nullptr), "es_ES");
  EXPECT_EQ(Take(GetLocalizedMessage("cancel")), "Cancelar");
  EXPECT_EQ(Take(GetLocalizedMessage("yes")), "S\xed");
}

TEST(GetLocale, CAndPosixAreEnglish) {
  for (const char *name : {"C", "POSIX"}) {
    UseLocale(name);
    EXPECT_STREQ(GetLocale(), "en") << name;
    EXPECT_EQ(Take(GetLocalizedMessage("cancel")), "Cancel") << name;
  }
}

TEST(GetLocale, UninstalledLocaleFallsBackToC) {
  UseLocale("xx_YY.UTF-8");
  EXPECT_STREQ(GetLocale(), "en");
  EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C");
}

TEST(GetLocalizedMessage, JapaneseComesBackInEucJp) {
  UseLocale("ja_JP.eucJP");
  EXPECT_STREQ(GetLocale(), "ja_JP");
  EXPECT_EQ(Take(GetLocalizedMessage("checking_java")),
            "Java(TM) 2 Runtime Environment\xb8\xa1\xba\xba\xc3\xe6...\n");
  // Entries the Japanese catalogue shares with English.
  EXPECT_EQ(Take(GetLocalizedMessage("ok")), "OK");
}

TEST(GetLocalizedMessage, FallsBackToEnglishAndToEmpty) {
  UseLocale("es_ES.UTF-8");
  EXPECT_EQ(Take(GetLocalizedMessage("test_only_english")), "only English\n");
  EXPECT_EQ(Take(GetLocalizedMessage("no_such_key_anywhere")), "");
}

TEST(GetLocalizedMessage, LongConvertedTextIsReturnedWhole) {
  UseLocale("es_ES.UTF-8");
  std::string text = Take(GetLocalizedMessage("test_long_text"));
  ASSERT_EQ(text.size(), 5000u);
  EXPECT_EQ(text.substr(0, 3), "\xed\xed\xed");
  EXPECT_EQ(text.substr(2999, 2), "\xedx");
}

TEST(GetLocalizedMessage, UnrepresentableCharacterGivesEmptyText) {
  UseLocale("es_ES.UTF-8");
  EXPECT_EQ(Take(GetLocalizedMessage("test_unrepresentable")), "");
}

}  // namespace
