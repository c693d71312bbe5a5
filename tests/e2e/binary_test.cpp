// What the built launchers carry: the exported catalog; and in the shipped builds (i386 and
// x86_64, which link their C++ runtime statically) nothing but the C library as a run-time
// dependency, none of the C++ runtime's exception machinery, and a stripped size a vendor can
// append to every installer. The shipped builds leave the launchers stripped, with their
// symbols and debugging information in <name>.debug beside them.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

using namespace support;

namespace {

#ifdef LAUNCHER_STATIC_RUNTIME
constexpr bool kShipped = true;
#else
constexpr bool kShipped = false;
#endif

// The stripped size of each shipped launcher may not exceed this.
constexpr off_t kStrippedBudget = 200000;

// The loader that the shipped launcher of this width names: the one every glibc system has.
const char *StandardLoader() {
  return sizeof(void *) == 4 ? "/lib/ld-linux.so.2" : "/lib64/ld-linux-x86-64.so.2";
}

// The launchers this build makes.
std::vector<std::string> Launchers() {
  std::vector<std::string> names = {"setup", "uninstall"};
  if (Exists(BuiltLauncher("setup-gui"))) names.push_back("setup-gui");
  return names;
}

std::vector<std::string> Needed(const std::string &binary) {
  std::string out;
  EXPECT_EQ(Shell("readelf -d '" + binary + "'", &out), 0) << out;
  std::vector<std::string> libs;
  for (const std::string &line : Lines(out)) {
    size_t open = line.find("(NEEDED)");
    if (open == std::string::npos) continue;
    size_t a = line.find('['), b = line.find(']');
    if (a != std::string::npos && b != std::string::npos) libs.push_back(line.substr(a + 1, b - a - 1));
  }
  return libs;
}

// The number of keys in a catalog list of the source tree (every language has the same keys).
int CatalogKeys(const std::string &language) {
  int keys = 0;
  for (const std::string &line : Lines(ReadFile(SourcePath("src/i18n/messages/" + language + ".txt"))))
    if (!line.empty() && line[0] != '#') keys++;
  return keys;
}

std::string Interpreter(const std::string &binary) {
  std::string out;
  EXPECT_EQ(Shell("readelf -l '" + binary + "'", &out), 0) << out;
  const std::string marker = "[Requesting program interpreter: ";
  size_t p = out.find(marker);
  if (p == std::string::npos) return "";
  p += marker.size();
  return out.substr(p, out.find(']', p) - p);
}

TEST(Binary, EveryLauncherExportsTheWholeCatalog) {
  const int keys = CatalogKeys("en");
  ASSERT_GT(keys, 40);
  for (const char *name : {"setup", "uninstall"}) {
    std::string out;
    ASSERT_EQ(Shell("nm -D --defined-only '" + BuiltLauncher(name) + "'", &out), 0);
    int english = 0, spanish = 0, japanese = 0, other = 0;
    for (const std::string &line : Lines(out)) {
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

// Since glibc 2.34 the dynamic loading and thread functions live in the C library itself, so
// a shipped launcher names libc.so.6 and at most the loader, and the loader by its standard
// path: a machine with the C library of the launcher's width runs it.
TEST(Binary, ShippedLaunchersNeedOnlyTheCLibraryAndItsLoader) {
  if (!kShipped) GTEST_SKIP() << "only the shipped builds link their C++ runtime statically";
  const std::string loader = StandardLoader();
  const std::string loaderName = loader.substr(loader.rfind('/') + 1);
  for (const std::string &name : Launchers()) {
    const std::string binary = BuiltLauncher(name);
    EXPECT_EQ(Interpreter(binary), loader) << name;
    std::vector<std::string> needed = Needed(binary);
    EXPECT_FALSE(needed.empty()) << name;
    for (const std::string &lib : needed)
      EXPECT_TRUE(lib == "libc.so.6" || lib == loaderName) << name << " needs " << lib;
  }
}

// The C++ runtime's exception support is the bulk of what a launcher must not carry: one throw,
// one destructor compiled with exceptions, one throwing std container or plain operator new,
// and the personality routine, the unwinder, the demangler and the verbose terminate handler
// are linked in. The link map (-Wl,-Map) tells which object pulled them.
TEST(Binary, ShippedLaunchersCarryNoExceptionMachinery) {
  if (!kShipped) GTEST_SKIP() << "only the shipped builds link their C++ runtime statically";
  const char *const machinery[] = {
      "__gxx_personality_v0", "_Unwind_RaiseException", "_Unwind_Resume", "__cxa_throw",
      "__cxa_demangle", "_ZN9__gnu_cxx27__verbose_terminate_handlerEv"};
  for (const std::string &name : Launchers()) {
    std::string out;
    ASSERT_EQ(Shell("nm '" + BuiltLauncher(name) + ".debug'", &out), 0) << out;
    ASSERT_NE(out.find(" T main\n"), std::string::npos) << name << " has no symbol table";
    std::string carried;
    for (const std::string &line : Lines(out)) {
      std::string symbol = line.substr(line.rfind(' ') + 1);
      symbol = symbol.substr(0, symbol.find('@'));
      for (const char *unwanted : machinery)
        if (symbol == unwanted) carried += " " + symbol;
    }
    EXPECT_EQ(carried, "") << name << " carries the C++ exception machinery";
  }
}

TEST(Binary, ShippedLaunchersFitTheBudgetStripped) {
  if (!kShipped) GTEST_SKIP() << "only the shipped builds are held to the size budget";
  Sandbox box;
  for (const std::string &name : Launchers()) {
    // What the build leaves is what a vendor ships: stripped, within the budget, and linked to
    // its debugging information.
    const std::string built = BuiltLauncher(name);
    std::string sections, link;
    ASSERT_EQ(Shell("readelf -S '" + built + "'", &sections), 0) << sections;
    EXPECT_EQ(sections.find(".symtab"), std::string::npos) << name << " is not stripped";
    EXPECT_EQ(sections.find(".debug_"), std::string::npos) << name << " carries debugging sections";
    ASSERT_EQ(Shell("readelf -p .gnu_debuglink '" + built + "'", &link), 0) << link;
    EXPECT_NE(link.find("  " + name + ".debug\n"), std::string::npos) << link;
    ASSERT_EQ(Shell("readelf -S '" + built + ".debug'", &sections), 0) << sections;
    EXPECT_NE(sections.find(".debug_info"), std::string::npos) << name << ".debug has no debugging information";
    struct stat shipped;
    ASSERT_EQ(stat(built.c_str(), &shipped), 0);
    EXPECT_LE(shipped.st_size, kStrippedBudget) << name << " is " << shipped.st_size << " bytes as built";
    const std::string stripped = box.Path(name);
    std::string out;
    ASSERT_EQ(Shell("'" LAUNCHER_STRIP "' -o '" + stripped + "' '" + BuiltLauncher(name) +
                             "'",
                         &out),
              0)
        << out;
    struct stat st;
    ASSERT_EQ(stat(stripped.c_str(), &st), 0);
    EXPECT_LE(st.st_size, kStrippedBudget) << name << " is " << st.st_size << " bytes stripped";
  }
}

}  // namespace
