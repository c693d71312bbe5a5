#include "launcher_test.h"

#include <signal.h>
#include <unistd.h>

namespace support {

LauncherTest::~LauncherTest() {
  // Whatever a killed launcher left running (a version probe, the Java program) is in its group.
  for (pid_t group : groups_) kill(-group, SIGKILL);
  for (const std::string &lock : locks_) unlink(lock.c_str());
}

void LauncherTest::TrackLocks(const std::string &exe) {
  for (const char *title : {"Setup", "Instalaci\xf3n"}) {
    for (uid_t uid : {geteuid(), static_cast<uid_t>(65534)}) locks_.push_back(LockPath(exe, title, uid));
  }
}

std::string LauncherTest::Launcher(const std::string &rel, const std::string &name) {
  std::string exe = box.CopyLauncher(name, rel);
  WriteFile(exe.substr(0, exe.rfind('/')) + "/corvane.class", "classes");
  TrackLocks(exe);
  return exe;
}

std::string LauncherTest::Installer(const std::string &zipRel, const std::string &rel,
                                    const std::string &name) {
  std::string exe = box.MakeInstaller(zipRel, rel, name);
  TrackLocks(exe);
  return exe;
}

std::string LauncherTest::PayloadInstaller(const std::map<std::string, std::string> &files,
                                           const std::string &rel) {
  for (const auto &file : files) box.Write("payload/" + file.first, file.second);
  box.Zip("payload", "payload.zip");
  return Installer("payload.zip", rel);
}

std::string LauncherTest::Runtime(StandInJava java, const std::string &rel) {
  if (java.reportDir.empty()) java.reportDir = report;
  return MakeRuntime(box.Path(rel), java);
}

std::unique_ptr<Process> LauncherTest::Start(const std::string &exe, const RunOptions &opts) {
  auto p = std::make_unique<Process>(exe, opts, box.MkDir("out" + std::to_string(runs_++)));
  groups_.push_back(p->pid());
  return p;
}

}  // namespace support
