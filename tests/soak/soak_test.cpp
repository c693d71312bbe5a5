// The soak driver's own logic that a figure depends on: reading the message catalog and
// matching a printed message against it (the disk-full figure stands on this), and the hostile
// inputs: reproducible from their seed, many, varied, and of every kind.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "hostile_inputs.h"
#include "soak.h"

namespace {

const std::string kSource = LAUNCHER_SOURCE_DIR;

TEST(SoakCatalog, FindsTheEnglishTextOfExactlyTheKeyAsked) {
  EXPECT_EQ(soak::CatalogText(kSource, "performing_cleanup"), "Deleting temporary files...\n");
  // A key that another key ends with, and one that another key begins with.
  EXPECT_EQ(soak::CatalogText(kSource, "find_java"), "");
  EXPECT_EQ(soak::CatalogText(kSource, "no_find_java"),
            "Error: Could not find the required version of the Java(TM) 2 Runtime Environment.\n");
  EXPECT_EQ(soak::CatalogText(kSource, "no such key"), "");
}

TEST(SoakCatalog, MatchesPrintedMessagesWithTheirArguments) {
  std::string space = soak::CatalogText(kSource, "no_space_system_tmpdir");
  EXPECT_TRUE(soak::MatchesCatalog(
      "\nError: There is not enough free disk space in the '/mnt/t' temporary directory.\n"
      "2100000 bytes are required and only 4096 bytes are available.\n",
      space));
  std::string damaged = soak::CatalogText(kSource, "corrupted_zip_file");
  EXPECT_TRUE(soak::MatchesCatalog("Error: The '//x/setup' file appears to be corrupted.\n", damaged));
  EXPECT_FALSE(soak::MatchesCatalog("Error: The '//x/setup' file appears to be corrupted.\n", space));
  EXPECT_FALSE(soak::MatchesCatalog("Error: The file appears to be corrupted.\n", damaged))
      << "the quotes around the name are part of the message";
  EXPECT_FALSE(soak::MatchesCatalog("anything at all", "")) << "a missing key matches nothing";
}

TEST(SoakHostileInputs, AreReproducibleManyVariedAndOfEveryKind) {
  std::vector<soak::HostileInput> a = soak::HostileInputs(7, "/tmp/soak-abcdef/hostile/escape");
  std::vector<soak::HostileInput> b = soak::HostileInputs(7, "/tmp/soak-abcdef/hostile/escape");
  std::vector<soak::HostileInput> c = soak::HostileInputs(8, "/tmp/soak-abcdef/hostile/escape");
  ASSERT_GE(a.size(), 500u);
  ASSERT_EQ(a.size(), b.size());
  size_t sameAsOtherSeed = 0;
  std::set<std::string> kinds, distinct;
  for (size_t i = 0; i < a.size(); i++) {
    EXPECT_EQ(a[i].archive, b[i].archive) << i << " " << a[i].description;
    EXPECT_EQ(a[i].description, b[i].description);
    if (i < c.size() && a[i].archive == c[i].archive) sameAsOtherSeed++;
    kinds.insert(a[i].category);
    distinct.insert(a[i].archive);
  }
  EXPECT_LT(sameAsOtherSeed, a.size() / 2) << "the seed must change the random inputs";
  EXPECT_GE(distinct.size(), a.size() * 95 / 100) << "too many identical inputs";
  for (const char *kind : {"truncation", "byte flip", "lying size or offset", "hostile name",
                           "long name", "duplicate name", "deflate bomb", "many entries", "combined"}) {
    EXPECT_EQ(kinds.count(kind), 1u) << kind;
  }
  // The truncations are prefixes of one archive, cut at different places.
  std::string longest;
  for (const auto &in : a) {
    if (in.category == "truncation" && in.archive.size() > longest.size()) longest = in.archive;
  }
  for (const auto &in : a) {
    if (in.category == "truncation") {
      EXPECT_EQ(longest.compare(0, in.archive.size(), in.archive), 0) << in.description;
    }
  }
}

}  // namespace
