// The stand-ins the launcher starts during a soak: the runtime's bin/java (for "-version" the
// version probe, otherwise the Java program) and the upgrade script. Both are this program,
// named on the "#!" line of a script, so that each is one process without children of its own
// and a leftover is exactly what the launcher left. Each records its pid and start time.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "soak.h"

namespace soak {
namespace {

void Record(const std::string &report, const char *kind) {
  if (report.empty()) return;
  support::ProcStat st;
  support::ReadProcStat(getpid(), &st);
  std::string line = std::string(kind) + " " + std::to_string(getpid()) + " " +
                     std::to_string(st.start) + "\n";
  int fd = open((report + "/pids").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

std::string Dirname(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

JavaBehaviour ReadBehaviour(const std::string &file) {
  JavaBehaviour b;
  for (const std::string &line : support::Lines(ReadFile(file))) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "report") b.report = value;
    if (key == "probe_ms") b.probeMs = atoi(value.c_str());
    if (key == "fill") b.fill = value;
    if (key == "run_ms") b.runMs = atoi(value.c_str());
    if (key == "exit") b.exitCode = atoi(value.c_str());
    if (key == "upgrade_ms") b.upgradeMs = atoi(value.c_str());
  }
  return b;
}

// Writes to path until the file system refuses more.
void Fill(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  static char block[65536];
  memset(block, 'f', sizeof block);
  size_t chunk = sizeof block;
  for (;;) {
    ssize_t n = write(fd, block, chunk);
    if (n > 0) continue;
    if (chunk == 1) break;
    chunk /= 2;  // the last pages of the file system take smaller writes
  }
  fsync(fd);
  close(fd);
}

}  // namespace

void MakeStandInRuntime(const std::string &root, const std::string &self, const JavaBehaviour &b) {
  WhileNoFork([&] { support::MakeRuntime(root, "#!" + self + " java\n"); });
  std::string conf = "report=" + b.report + "\nprobe_ms=" + std::to_string(b.probeMs) +
                     "\nfill=" + b.fill + "\nrun_ms=" + std::to_string(b.runMs) +
                     "\nexit=" + std::to_string(b.exitCode) +
                     "\nupgrade_ms=" + std::to_string(b.upgradeMs) + "\n";
  WriteAll(root + "/soak-java.conf", conf);
}

RunDir PrepareRun(const Settings &s, const std::string &dir, JavaBehaviour java,
                  const std::string &installer) {
  RunDir r{dir, dir + "/tmp", dir + "/report", dir + "/jre", dir + "/setup"};
  MkDirs(r.tmp);
  MkDirs(r.report);
  java.report = r.report;
  MakeStandInRuntime(r.jre, s.self, java);
  if (!installer.empty()) CopyFile(installer, r.exe, 0755);
  return r;
}

// argv: this program, "java", the script (root/bin/java), then the launcher's arguments.
int StandInJava(int argc, char **argv) {
  if (argc < 3) return 2;
  std::string root = Dirname(Dirname(argv[2]));
  JavaBehaviour b = ReadBehaviour(root + "/soak-java.conf");
  if (argc >= 4 && strcmp(argv[3], "-version") == 0) {
    Record(b.report, "probe");
    if (!b.fill.empty()) Fill(b.fill);
    SleepMs(b.probeMs);
    fprintf(stderr, "java version \"1.4.2\"\n");
    return 0;
  }
  Record(b.report, "java");
  SleepMs(b.runMs);
  if (b.exitCode == 10) {
    // The upgrade script goes where the launcher looks for it: the temporary directory.
    for (int i = 3; i < argc; i++) {
      if (strncmp(argv[i], "-Dtemp.dir=", 11) != 0) continue;
      std::string script = std::string(argv[i] + 11) + "/UpgradeInvoker.sh";
      char self[4096];
      ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
      if (n <= 0) break;
      self[n] = '\0';
      WriteAll(script, std::string("#!") + self + " upgrade:" + b.report + ":" +
                           std::to_string(b.upgradeMs) + "\n", 0700);
    }
  }
  return b.exitCode;
}

// argv: this program, "upgrade:<report>:<ms>", the script.
int StandInUpgrade(int argc, char **argv) {
  if (argc < 2) return 2;
  std::string spec = argv[1] + strlen("upgrade:");
  size_t colon = spec.rfind(':');
  if (colon == std::string::npos) return 2;
  Record(spec.substr(0, colon), "upgrade");
  SleepMs(atoi(spec.c_str() + colon + 1));
  return 0;
}

std::vector<Recorded> ReadRecorded(const std::string &report) {
  std::vector<Recorded> out;
  std::string text = ReadFile(report + "/pids");
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;  // a line still being written
    char kind[16];
    long pid = 0;
    unsigned long long start = 0;
    if (sscanf(text.substr(at, nl - at).c_str(), "%15s %ld %llu", kind, &pid, &start) == 3) {
      out.push_back({kind, static_cast<pid_t>(pid), start});
    }
    at = nl + 1;
  }
  return out;
}

bool StillRunning(const Recorded &r) {
  support::ProcStat st;
  return support::ReadProcStat(r.pid, &st) && st.state != 'Z' && st.state != 'X' && st.start == r.start;
}

}  // namespace soak
