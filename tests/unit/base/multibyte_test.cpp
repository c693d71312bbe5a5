// The character searches that match only where a character of the locale's encoding begins.
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "base/multibyte.h"
#include "i18n/locale.h"

namespace {

void UseLocale(const char *name) {
  setenv("LC_ALL", name, 1);
  UpdateLocale();
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
