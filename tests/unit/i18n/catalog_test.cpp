// The compiled catalog: every key in the three languages, and the texts callers rely on.
#include <dlfcn.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "i18n/locale.h"

namespace {

const std::vector<std::string> kKeys = {
    "cancel", "checking_disk_space", "checking_java", "connecting_x11", "corrupted_zip_file",
    "executing_java", "installusage", "java_aborted", "jvm_version_unsupported",
    "missing_file_name", "missing_jvm_dir", "missing_writable_dir", "need_more_colors", "no",
    "no_connect_x11", "no_connect_x11_usage", "no_find_exec_dir", "no_find_java",
    "no_find_java_usage", "no_find_specified_java", "no_motif_libs", "no_motif_libs_usage",
    "no_resolve_exec_path", "no_set_specified_working_dir", "no_space_system_tmpdir",
    "no_valid_arg", "no_writable_dir", "no_writable_system_tmpdir",
    "no_writable_system_tmpdir_usage", "ok", "performing_cleanup", "setup_already_started",
    "setup_no_files", "setup_title", "uninstall_already_started", "uninstall_no_files",
    "uninstall_title", "uninstallusage", "unzipping_files", "unzipping_java_files", "yes"};

const char *Entry(const std::string &name) {
  void *self = dlopen(nullptr, RTLD_NOW | RTLD_GLOBAL);
  void *sym = dlsym(self, name.c_str());
  dlclose(self);
  return sym != nullptr ? reinterpret_cast<message_t>(sym)() : nullptr;
}

TEST(Catalog, EveryKeyExistsInEveryLanguage) {
  ASSERT_EQ(kKeys.size(), 41u);
  int found = 0;
  for (const std::string &key : kKeys) {
    for (const char *prefix : {"messages_", "messages_es_", "messages_ja_"}) {
      const char *text = Entry(prefix + key);
      EXPECT_NE(text, nullptr) << prefix << key;
      if (text != nullptr) found++;
    }
  }
  EXPECT_EQ(found, 123);
}

TEST(Catalog, ProgressAndErrorTextsEndWithNewlineAndLabelsDoNot) {
  const std::vector<std::string> labels = {"ok", "cancel", "yes", "no", "setup_title",
                                           "uninstall_title"};
  for (const std::string &key : kKeys) {
    bool label = std::find(labels.begin(), labels.end(), key) != labels.end();
    for (const char *prefix : {"messages_", "messages_es_", "messages_ja_"}) {
      std::string text = Entry(prefix + key);
      ASSERT_FALSE(text.empty()) << prefix << key;
      EXPECT_EQ(text.back() == '\n', !label) << prefix << key;
      // Placeholders are "%s" only.
      for (size_t p = text.find('%'); p != std::string::npos; p = text.find('%', p + 1))
        EXPECT_EQ(text[p + 1], 's') << prefix << key;
    }
  }
}

TEST(Catalog, TextsTheLauncherQuotesExactly) {
  EXPECT_STREQ(Entry("messages_no_space_system_tmpdir"),
               "\nError: There is not enough free disk space in the '%s' temporary "
               "directory.\n%s bytes are required and only %s bytes are available.\n");
  EXPECT_STREQ(Entry("messages_ja_no_space_system_tmpdir"),
               "Error: There is not enough free disk space in the '%s' temporary "
               "directory.\n%s bytes are required and only %s bytes are available.\n");
  EXPECT_STREQ(Entry("messages_setup_already_started"),
               "Another installation process is already running. Exiting.\n");
  EXPECT_STREQ(Entry("messages_es_setup_already_started"),
               "Another installation process is already running. Exiting.\n");
  EXPECT_STREQ(Entry("messages_es_setup_title"), "Instalaci\xc3\xb3n");
  EXPECT_STREQ(Entry("messages_es_no_valid_arg"),
               "Error: \xc2\xab%s\xc2\xbb no es un argumento v\xc3\xa1lido.\n");
  EXPECT_STREQ(Entry("messages_ja_checking_disk_space"),
               "\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf\xe3\x82\xb9\xe3\x83\x9a\xe3\x83"
               "\xbc\xe3\x82\xb9\xe3\x81\xae\xe5\xae\xb9\xe9\x87\x8f\xe3\x82\x92\xe6\xa4\x9c\xe6"
               "\x9f\xbb\xe4\xb8\xad...\n");
  EXPECT_STREQ(Entry("messages_performing_cleanup"), "Deleting temporary files...\n");
  // Says what failed (the Spanish text always did).
  for (const char *key : {"messages_no_set_specified_working_dir", "messages_ja_no_set_specified_working_dir"})
    EXPECT_STREQ(Entry(key), "Error: Could not set working directory to '%s'.\n") << key;
}

TEST(Catalog, TranslatedUsageTextsTakeOnlyTheProgramName) {
  for (const char *name : {"messages_es_installusage", "messages_es_uninstallusage",
                           "messages_ja_installusage", "messages_ja_uninstallusage"}) {
    std::string text = Entry(name);
    size_t first = text.find("%s");
    ASSERT_NE(first, std::string::npos) << name;
    EXPECT_EQ(text.find("%s", first + 1), std::string::npos) << name;
  }
}

}  // namespace
