// A test that runs built launchers as a user would, in a sandbox of its own: a temporary
// directory for -tmpdir, a report directory where the stand-in Java program says that it ran,
// launcher copies and installers of its own (the lock is keyed on the executable file). What it
// starts is killed with its process group when the test ends, and the lock files that its
// launchers may leave (after a signal, by design) are removed.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace support {

// Texts of the launcher (in English) that the tests of several parts look for.
constexpr char kAlreadyRunning[] = "Another installation process is already running. Exiting.\n";
constexpr char kNoFindJava[] =
    "Error: Could not find the required version of the Java(TM) 2 Runtime Environment.\n";
constexpr char kTmpdirUsage[] =
    "Try rerunning this application with the following usage:\n    'setup' -tmpdir <temporary "
    "directory>\n";

class LauncherTest : public ::testing::Test {
 protected:
  ~LauncherTest() override;

  // The lock files of exe (English and Spanish title, root and uid 65534) go when the test ends.
  void TrackLocks(const std::string &exe);
  // A copy of the built launcher `name` at rel, with nothing appended: the Java program runs
  // from the launcher's directory, where a corvane.class is put.
  std::string Launcher(const std::string &rel = "setup", const std::string &name = "setup");
  // An installer at rel: the launcher `name` with the archive zipRel appended.
  std::string Installer(const std::string &zipRel, const std::string &rel = "setup",
                        const std::string &name = "setup");
  // The same for a payload of these files (name under payload/, contents), zipped to payload.zip.
  std::string PayloadInstaller(const std::map<std::string, std::string> &files,
                               const std::string &rel = "setup");
  // A stand-in runtime at rel; its Java program reports under `report` unless java says otherwise.
  std::string Runtime(StandInJava java = {}, const std::string &rel = "jre");
  // Starts exe with its output in a directory of its own.
  std::unique_ptr<Process> Start(const std::string &exe, const RunOptions &opts);
  bool JavaStarted() const { return Exists(report + "/argv.txt"); }

  Sandbox box;
  std::string tmp = box.MkDir("tmp");
  std::string report = box.MkDir("report");

 private:
  std::vector<pid_t> groups_;
  std::vector<std::string> locks_;
  int runs_ = 0;
};

}  // namespace support
