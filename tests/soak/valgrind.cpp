// valgrind's memcheck over two whole runs of the dev build: a successful installation and an
// installer whose archive is damaged in the middle of a deflated entry. Wanted: no error and
// no byte definitely lost in any process valgrind watched (the launcher and the children it
// forks, up to their exec).
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "soak.h"

namespace soak {
namespace {

struct Memcheck {
  bool ran = false;
  int exitStatus = -1;
  long errors = 0;
  long long definitelyLost = 0;
  std::string problem;
};

long long Number(const std::string &text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
    else if (c != ',') break;
  }
  return digits.empty() ? -1 : atoll(digits.c_str());
}

// Sums the summaries of every log valgrind wrote (one per process).
void ReadLogs(const std::string &dir, Memcheck &m) {
  int logs = 0;
  for (const std::string &name : Entries(dir)) {
    if (name.compare(0, 3, "vg.") != 0) continue;
    std::string log = ReadFile(dir + "/" + name);
    size_t at = log.find("ERROR SUMMARY: ");
    if (at == std::string::npos) continue;  // a process that went on to exec another program
    logs++;
    m.errors += Number(log.substr(at + 15));
    at = log.find("definitely lost: ");
    if (at != std::string::npos) m.definitelyLost += Number(log.substr(at + 17));
    if (m.errors > 0 && m.problem.empty()) {
      size_t first = log.find("== Invalid");
      if (first == std::string::npos) first = log.find("== Conditional");
      if (first != std::string::npos) m.problem = log.substr(first, log.find('\n', first) - first);
    }
  }
  m.ran = logs > 0;
}

Memcheck RunUnderValgrind(const Settings &s, const std::string &dir, const std::string &archive) {
  Memcheck m;
  std::string tmp = dir + "/tmp";
  MkDirs(tmp);
  JavaBehaviour java;
  java.report = dir;
  MakeStandInRuntime(dir + "/jre", s.self, java);
  std::string exe = dir + "/setup";
  MakeInstaller(s.devBin + "/setup", archive, exe);
  RunOptions opts = LauncherOptions();
  opts.args = {"--tool=memcheck", "--leak-check=full", "--errors-for-leak-kinds=definite",
               "--show-leak-kinds=definite", "--trace-children=no", "--log-file=" + dir + "/vg.%p",
               exe, "-javahome", dir + "/jre", "-tmpdir", tmp};
  opts.timeoutSeconds = 300;
  Result r = RunToEnd("/usr/bin/valgrind", opts, dir + "/out");
  m.exitStatus = r.exitStatus;
  ReadLogs(dir, m);
  for (const std::string &left : Entries(tmp)) m.problem += " left " + left;
  if (LockLeft(exe)) m.problem += " lock file left";
  return m;
}

}  // namespace

Figure ValgrindSoak(const Settings &s) {
  Figure f{"valgrind"};
  if (access("/usr/bin/valgrind", X_OK) != 0) {
    f.text = "valgrind is not installed (scripts/bootstrap installs it)";
    return f;
  }
  std::string root = s.sandbox + "/valgrind";
  MkDirs(root);
  std::string good = PayloadArchive(200, 3000);
  // The data of the first deflated entry, damaged in its middle.
  std::string damaged = good;
  const std::string victim = "package/data/d0/f0.bin";
  size_t name = damaged.find(victim);
  damaged[name + victim.size() + 1500] ^= 0x55;

  const char *const names[] = {"successful run", "damaged archive"};
  const int wantStatus[] = {0, 1};
  Memcheck results[2];
  ForEachConcurrently(2, 2, [&](int i) {
    results[i] = RunUnderValgrind(s, root + "/run" + std::to_string(i), i == 0 ? good : damaged);
  });
  f.clean = true;
  for (int i = 0; i < 2; i++) {
    const Memcheck &m = results[i];
    if (i > 0) f.text += "; ";
    if (!m.ran) {
      f.text += std::string(names[i]) + ": no valgrind summary";
      f.clean = false;
      continue;
    }
    f.text += std::string(names[i]) + ": exit " + std::to_string(m.exitStatus) + ", " +
              std::to_string(m.errors) + " errors, " + std::to_string(m.definitelyLost) +
              " bytes definitely lost";
    bool ok = m.exitStatus == wantStatus[i] && m.errors == 0 && m.definitelyLost == 0 &&
              m.problem.empty();
    if (!ok) {
      f.clean = false;
      f.details.push_back(std::string(names[i]) + ":" + (m.problem.empty() ? "" : " " + m.problem) +
                          " (SOAK_KEEP=1 keeps the logs in " + root + ")");
    }
  }
  if (f.clean) RemoveTree(root);
  return f;
}

}  // namespace soak
