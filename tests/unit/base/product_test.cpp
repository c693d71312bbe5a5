// The product profile's constants for both products, and its localised title.
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "base/product.h"
#include "core/testing.h"
#include "i18n/locale.h"
#include "support.h"

using support::Take;

namespace {

TEST(Profile, InstallerValues) {
  SelectProduct(Product::Installer);
  EXPECT_STREQ(GetJavaClassName(), "corvane");
  EXPECT_TRUE(IsStateFileRequired());
  char *a = GetMessageKeyPrefix("no_files");
  char *b = GetMessageKeyPrefix("no_files");
  EXPECT_STREQ(a, "setup_no_files");
  EXPECT_NE(a, b);  // a new string each call
  free(a);
  free(b);
  const char *const *elements = nullptr;
  EXPECT_EQ(GetJavaClasspathElements(&elements), 1);
  EXPECT_STREQ(elements[0], "/package/PackageFormat.jar");
}

TEST(Profile, UninstallerValues) {
  SelectProduct(Product::Uninstaller);
  ResetProfileForTesting();
  setenv("LC_ALL", "C", 1);
  UpdateLocale();
  EXPECT_STREQ(GetJavaClassName(), "corvane_uninstall");
  EXPECT_FALSE(IsStateFileRequired());
  EXPECT_EQ(Take(GetMessageKeyPrefix("already_started")), "uninstall_already_started");
  EXPECT_STREQ(GetTitle(), "Uninstall");
  SelectProduct(Product::Installer);
  ResetProfileForTesting();
}

TEST(Profile, TitleKeepsTheLanguageOfTheFirstCall) {
  SelectProduct(Product::Installer);
  ResetProfileForTesting();
  setenv("LC_ALL", "es_ES.UTF-8", 1);
  UpdateLocale();
  const char *title = GetTitle();
  EXPECT_STREQ(title, "Instalaci\xf3n");
  setenv("LC_ALL", "C", 1);
  UpdateLocale();
  EXPECT_EQ(GetTitle(), title);
  ResetProfileForTesting();
}

}  // namespace
