// Locale resolution, message lookup with its fallbacks and conversions, and the character
// searches that respect multibyte characters.
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

TEST(CharacterSearch, AsciiBehavesLikeTheCLibrary) {
  UseLocale("C");
  const char *s = "es_ES";
  EXPECT_EQ(_strrchr(s, '_'), s + 2);
  EXPECT_EQ(_strchr(s, 'S'), s + 4);
  EXPECT_EQ(_strchr("abc", 0), nullptr);
  EXPECT_EQ(_strchr(nullptr, 'a'), nullptr);
  EXPECT_EQ(_strrchr(nullptr, 'a'), nullptr);
  EXPECT_EQ(_strchr("abc", 'z'), nullptr);
  EXPECT_TRUE(IsMultiByteChar("", 0));
}

TEST(CharacterSearch, SecondBytesOfShiftJisCharactersAreNotMatched) {
  UseLocale("ja_JP.SJIS");
  ASSERT_STREQ(GetLocale(), "ja_JP");
  // "表" is 0x95 0x5C: its second byte is "\"; "ダ" is 0x83 0x5F, second byte "_".
  const char *s = "\x95\x5c" "a\\b\x83\x5f" "c_d";
  EXPECT_EQ(_strchr(s, '\\'), s + 3);
  EXPECT_EQ(_strrchr(s, '\\'), s + 3);
  EXPECT_EQ(_strchr(s, '_'), s + 8);
  EXPECT_EQ(_strrchr(s, '_'), s + 8);
  EXPECT_FALSE(IsMultiByteChar(s, 1));
  EXPECT_TRUE(IsMultiByteChar(s, 2));
  // A match right after a double-byte character.
  const char *t = "\x95\x5c\\";
  EXPECT_EQ(_strchr(t, '\\'), t + 2);
  EXPECT_EQ(_strrchr("\x83\x5f", '_'), nullptr);
}

// Names made elsewhere (a UTF-8 archive, a directory named in another locale) hold bytes that
// are no character of the current locale. Each such byte counts as one character: every "/"
// after it is still found, while a valid double-byte character is still stepped over whole.
TEST(CharacterSearch, BytesThatAreNoCharacterOfTheLocaleDoNotEndTheSearch) {
  // "données/résumé.txt", "データ/説明.txt" and "/home/u/Téléchargements/setup" in UTF-8.
  const std::string latin = "donn\xc3\xa9" "es/r\xc3\xa9sum\xc3\xa9.txt";
  const std::string japanese = "\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf/\xe8\xaa\xac\xe6\x98\x8e.txt";
  const std::string home = "/home/u/T\xc3\xa9l\xc3\xa9" "chargements/setup";
  for (const char *name : {"C", "C.UTF-8", "es_ES", "es_ES.UTF-8", "ja_JP.eucJP", "ja_JP.SJIS"}) {
    UseLocale(name);
    EXPECT_EQ(_strchr(latin.c_str(), '/'), latin.c_str() + 8) << name;
    EXPECT_EQ(_strrchr(latin.c_str(), '/'), latin.c_str() + 8) << name;
    EXPECT_EQ(_strchr(japanese.c_str(), '/'), japanese.c_str() + 9) << name;
    EXPECT_EQ(_strrchr(japanese.c_str(), '/'), japanese.c_str() + 9) << name;
    EXPECT_EQ(_strrchr(home.c_str(), '/'), home.c_str() + home.size() - 6) << name;
    EXPECT_EQ(_strchr(home.c_str() + 1, '/'), home.c_str() + 5) << name;
    EXPECT_TRUE(IsMultiByteChar(latin.c_str(), 8)) << name;
  }
}

TEST(CharacterSearch, AnInvalidByteBeforeAShiftJisCharacterKeepsItWhole) {
  UseLocale("ja_JP.SJIS");
  // 0x80 begins no Shift_JIS character; "表" (0x95 0x5C) after it is still one character.
  const char *s = "\x80\x95\x5c\\";
  EXPECT_TRUE(IsMultiByteChar(s, 1));
  EXPECT_FALSE(IsMultiByteChar(s, 2));
  EXPECT_EQ(_strchr(s, '\\'), s + 3);
  EXPECT_EQ(_strrchr(s, '\\'), s + 3);
  // A lone lead byte at the end, or before a byte that cannot follow it, is one character.
  const char *t = "\x80\\";
  EXPECT_EQ(_strchr(t, '\\'), t + 1);
  const char *u = "a\x95/b";  // "/" cannot be a second byte
  EXPECT_EQ(_strchr(u, '/'), u + 2);
  const char *v = "x\x95";
  EXPECT_EQ(_strrchr(v, 'x'), v);
}

}  // namespace
