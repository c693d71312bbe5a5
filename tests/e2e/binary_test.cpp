// What the built launchers carry: the exported catalog, and in the shipped build nothing but
// glibc as a run-time dependency.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

[[maybe_unused]] std::vector<std::string> Needed(const std::string &binary) {
  std::string out;
  EXPECT_EQ(e2e::Shell("readelf -d '" + binary + "'", &out), 0) << out;
  std::vector<std::string> libs;
  for (const std::string &line : e2e::Lines(out)) {
    size_t open = line.find("(NEEDED)");
    if (open == std::string::npos) continue;
    size_t a = line.find('['), b = line.find(']');
    if (a != std::string::npos && b != std::string::npos) libs.push_back(line.substr(a + 1, b - a - 1));
  }
  return libs;
}

TEST(Binary, EveryLauncherExportsTheWholeCatalog) {
  // As many entries per language as the English key list has keys.
  int keys = 0;
  std::string catalog = e2e::ReadFile(e2e::SourcePath("src/i18n/messages/en.txt"));
  for (const std::string &line : e2e::Lines(catalog))
    if (!line.empty() && line[0] != '#') keys++;
  ASSERT_GE(keys, 45);
  for (const char *name : {"setup", "uninstall"}) {
    std::string out;
    ASSERT_EQ(e2e::Shell("nm -D --defined-only '" + e2e::BuiltLauncher(name) + "'", &out), 0);
    int english = 0, spanish = 0, japanese = 0, other = 0;
    for (const std::string &line : e2e::Lines(out)) {
      size_t p = line.find(" messages_");
      if (p == std::string::npos) {
        other++;
        continue;
      }
      std::string sym = line.substr(p + 1);
      if (sym.rfind("messages_es_", 0) == 0)
        spanish++;
      else if (sym.rfind("messages_ja_", 0) == 0)
        japanese++;
      else
        english++;
    }
    EXPECT_EQ(english, keys) << name;
    EXPECT_EQ(spanish, keys) << name;
    EXPECT_EQ(japanese, keys) << name;
  }
}

TEST(Binary, ShippedBuildNeedsOnlyGlibc) {
#ifndef LAUNCHER_STATIC_RUNTIME
  GTEST_SKIP() << "only the shipped build links its runtime statically";
#else
  for (const char *name : {"setup", "uninstall"}) {
    for (const std::string &lib : Needed(e2e::BuiltLauncher(name))) {
      EXPECT_TRUE(lib == "libc.so.6" || lib == "libm.so.6" || lib == "libdl.so.2" ||
                  lib == "libpthread.so.0" || lib.rfind("ld-linux", 0) == 0)
          << name << " needs " << lib;
    }
  }
#endif
}

}  // namespace
