// The hostile-installer soak: every generated archive appended to the asan build of the
// launcher and run, each on a private tmpfs with canaries beside the working directory and
// around the run. Counted: crashes, sanitizer reports, anything written outside the working
// directory, hangs, and anything left behind (working directory, lock file, children). A failing
// input is written to the findings directory with what went wrong.
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "hostile_inputs.h"
#include "soak.h"

namespace soak {
namespace {

struct Verdict {
  bool crash = false, sanitizer = false, outside = false, hang = false, left = false;
  int exitStatus = -1;
  std::string detail;
  bool Failed() const { return crash || sanitizer || outside || hang || left; }
};

bool AnyEscaped(const std::string &dir, std::string *found) {
  for (const std::string &name : Entries(dir)) {
    if (name.compare(0, 12, "soak-escaped") == 0) {
      *found = dir + "/" + name;
      return true;
    }
  }
  return false;
}

Verdict RunOne(const Settings &s, const std::string &image, const HostileInput &in, int index,
               const std::string &root, const std::string &jre, const std::string &escape) {
  Verdict v;
  std::string run = root + "/r" + std::to_string(index), meta = root + "/m" + std::to_string(index);
  std::string tmp = run + "/tmp", san = meta + "/san";
  MkDirs(run + "/cwd");
  MkDirs(tmp);
  MkDirs(san);
  WriteAll(run + "/cwd/canary", kCanaryText);
  WriteAll(run + "/canary", kCanaryText);
  std::string exe = run + "/setup";
  WriteAll(exe, image + in.archive, 0755);
  std::vector<std::string> before = Snapshot(run, tmp);

  IsolatedRun r;
  r.dir = meta;
  r.mountPoint = tmp;
  r.tmpfsOptions = "size=64m,mode=0755";
  r.seconds = in.timeoutSeconds;
  r.canary = true;
  r.command = {exe, "-javahome", jre, "-tmpdir", tmp};
  r.env = {"ASAN_OPTIONS=log_path=" + san + "/asan:exitcode=86:detect_leaks=1",
           "UBSAN_OPTIONS=log_path=" + san + "/ubsan:print_stacktrace=1:halt_on_error=1:exitcode=87"};
  r.cwd = run + "/cwd";
  Isolated res = RunIsolated(s, r);
  v.exitStatus = res.exitStatus;

  if (!res.ok) {
    v.crash = true;
    v.detail += " " + res.error;
  }
  v.hang = res.timedOut;
  if (res.ok && !res.timedOut &&
      (res.termSignal != 0 || (res.exitStatus != 0 && res.exitStatus != 1))) {
    v.crash = true;
    v.detail += " exit " + std::to_string(res.exitStatus) + " signal " + std::to_string(res.termSignal);
  }
  std::vector<std::string> logs = Entries(san);
  if (!logs.empty() || Contains(res.err, "Sanitizer") || Contains(res.err, "runtime error:")) {
    v.sanitizer = true;
    std::string log = logs.empty() ? res.err : ReadFile(san + "/" + logs[0]);
    v.detail += " sanitizer: " + log.substr(0, 2000);
  }
  // Outside: the canaries, the rest of the run's tree, the escape target, every directory above.
  if (res.canaryChanged) {
    v.outside = true;
    v.detail += " a canary beside the working directory changed";
  }
  for (const std::string &l : res.left) {
    if (l.compare(0, 5, "setup") == 0) {
      v.left = true;
      v.detail += " left " + l;
    } else {
      v.outside = true;
      v.detail += " written beside the working directory: " + l;
    }
  }
  if (Snapshot(run, tmp) != before) {
    v.outside = true;
    v.detail += " the tree around the temporary directory changed";
  }
  std::string found;
  for (const std::string &dir : {run, root, s.sandbox, std::string("/tmp"), std::string("")}) {
    if (AnyEscaped(dir.empty() ? "/" : dir, &found)) {
      v.outside = true;
      v.detail += " found " + found;
      unlink(found.c_str());
      rmdir(found.c_str());
    }
  }
  for (const std::string &name : Entries(escape)) {
    v.outside = true;
    v.detail += " found " + escape + "/" + name;
  }
  if (res.groupLeft) {
    v.left = true;
    v.detail += " children left alive";
  }
  if (LockLeft(exe)) {
    v.left = true;
    v.detail += " lock file left";
  }

  if (v.Failed()) {
    MkDirs(s.findingsDir);
    std::string base = s.findingsDir + "/hostile-" + std::to_string(s.seed) + "-" + std::to_string(index);
    WriteAll(base + ".zip", in.archive);
    WriteAll(base + ".txt", in.category + ": " + in.description + "\n" + v.detail +
                                "\nstandard error:\n" + res.err.substr(0, 4000) +
                                "\nreproduce: cat build/asan/bin/setup " + base +
                                ".zip > installer; chmod +x installer; "
                                "./installer -javahome <runtime> -tmpdir <dir>\n");
  }
  RemoveTree(run);
  RemoveTree(meta);
  return v;
}

}  // namespace

Figure HostileSoak(const Settings &s) {
  Figure f{"hostile"};
  std::string launcher = s.asanBin + "/setup";
  if (access(launcher.c_str(), X_OK) != 0) {
    f.text = "no asan build at " + launcher;
    return f;
  }
  std::string root = s.sandbox + "/hostile", escape = root + "/escape";
  MkDirs(escape);
  JavaBehaviour java;
  MakeStandInRuntime(root + "/jre", s.self, java);
  std::vector<HostileInput> all = HostileInputs(s.seed, escape);

  // The quick run takes every fifth input of each kind.
  std::vector<size_t> chosen;
  std::map<std::string, int> seen;
  for (size_t i = 0; i < all.size(); i++) {
    if (!s.quick || seen[all[i].category]++ % 5 == 0) chosen.push_back(i);
  }
  std::string image = ReadFile(launcher);
  std::vector<Verdict> verdicts(chosen.size());
  ForEachConcurrently(static_cast<int>(chosen.size()), s.jobs, [&](int k) {
    size_t i = chosen[static_cast<size_t>(k)];
    verdicts[static_cast<size_t>(k)] = RunOne(s, image, all[i], static_cast<int>(i), root, root + "/jre", escape);
  });

  int crashes = 0, sanitizer = 0, outside = 0, hangs = 0, left = 0, ran = 0, refused = 0;
  std::map<std::string, int> perCategory;
  for (size_t k = 0; k < chosen.size(); k++) {
    const Verdict &v = verdicts[k];
    const HostileInput &in = all[chosen[k]];
    perCategory[in.category]++;
    crashes += v.crash;
    sanitizer += v.sanitizer;
    outside += v.outside;
    hangs += v.hang;
    left += v.left;
    ran += v.exitStatus == 0;
    refused += v.exitStatus == 1;
    if (v.Failed() && f.details.size() < 12) {
      f.details.push_back("input " + std::to_string(chosen[k]) + " (" + in.category + ": " +
                          in.description + "):" + v.detail.substr(0, 300));
    }
  }
  std::string kinds;
  for (const auto &c : perCategory) kinds += (kinds.empty() ? "" : ", ") + c.first + " " + std::to_string(c.second);
  f.text = std::to_string(chosen.size()) + " inputs (seed " + std::to_string(s.seed) + "; " + kinds +
           "): crashes " + std::to_string(crashes) + ", sanitizer reports " + std::to_string(sanitizer) +
           ", written outside " + std::to_string(outside) + ", hangs " + std::to_string(hangs) +
           ", left behind " + std::to_string(left) + " (ran " + std::to_string(ran) + ", refused " +
           std::to_string(refused) + ")";
  f.clean = crashes + sanitizer + outside + hangs + left == 0;
  if (!f.clean) f.details.push_back("failing inputs are in " + s.findingsDir);
  RemoveTree(root);
  return f;
}

}  // namespace soak
