// The signal soak: many runs of a real installer, each sent SIGINT, SIGTERM, SIGQUIT or SIGALRM
// at a random moment of one of its phases (the version probe, the extraction, the Java run,
// the upgrade script, the final clean-up), each signal sent to the launcher alone as `kill`
// does. Counted afterwards: working directories left, wrong exit statuses, child processes
// still running once the launcher has ended, and lock files that refuse the next start.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "soak.h"

namespace soak {
namespace {

enum Phase { kStart = -1, kProbe, kExtraction, kJava, kUpgrade, kCleanup, kPhases };
const char *const kPhaseNames[] = {"probe", "extraction", "java", "upgrade", "clean-up"};
const int kSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGALRM};
const char *SignalName(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGQUIT: return "SIGQUIT";
    default: return "SIGALRM";
  }
}

constexpr int kProbeMs = 800;
constexpr int kUpgradeMs = 1000;
// The longest wait after a phase begins before the signal; the extraction of the payload below
// takes a second or two on the machine this was written on, the clean-up a small part of it.
constexpr double kExtractionWindowMs = 600;
constexpr double kCleanupWindowMs = 25;
constexpr int kPayloadFiles = 1500;
constexpr size_t kPayloadFileSize = 6000;

struct Outcome {
  int target = kStart;
  int actual = kStart;  // the phase the launcher was in when the signal went out
  int sig = 0;
  bool sent = false;
  bool wrongStatus = false, dirLeft = false, childLeft = false, lockBlocks = false;
  std::string detail;
};

bool Exited(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// The phase a run is in, from what can be seen from outside: the stand-ins' records and the
// working directory. (The launcher's status lines are no guide: its standard output is a file
// here, written in blocks.) The extraction begins with the first entry in the working
// directory (workers write the largest files first, so the main class may come last); the
// clean-up with the main class's removal after the Java program ran.
int PhaseNow(const std::string &tmp, const std::string &report) {
  bool probe = false, java = false, upgrade = false;
  for (const Recorded &r : ReadRecorded(report)) {
    probe = probe || r.kind == "probe";
    java = java || r.kind == "java";
    upgrade = upgrade || r.kind == "upgrade";
  }
  std::string workdir;
  for (const std::string &name : Entries(tmp)) {
    if (name != "UpgradeInvoker.sh") workdir = tmp + "/" + name;
  }
  bool mainClass = !workdir.empty() && access((workdir + "/corvane.class").c_str(), F_OK) == 0;
  bool extracting = !workdir.empty() && !Entries(workdir).empty();
  if (java && !mainClass) return kCleanup;
  if (upgrade) return kUpgrade;
  if (java) return kJava;
  if (extracting) return kExtraction;
  if (probe) return kProbe;
  return kStart;
}

Outcome OneRun(const Settings &s, const std::string &installer, int index, Random rnd) {
  Outcome o;
  o.target = index % kPhases;
  o.sig = kSignals[(index / kPhases) % 4];
  JavaBehaviour b;
  b.probeMs = kProbeMs;
  b.runMs = o.target == kJava ? static_cast<int>(rnd.Uniform(3000, 12000)) : 300;
  b.exitCode = o.target == kUpgrade || rnd.Below(2) == 0 ? 10 : 0;
  b.upgradeMs = kUpgradeMs;
  RunDir d = PrepareRun(s, s.sandbox + "/signals/r" + std::to_string(index), b, installer);
  const std::string &dir = d.dir, &tmp = d.tmp, &report = d.report, &exe = d.exe;
  std::string lock = LockPath(exe);

  double window = 0;
  switch (o.target) {
    case kProbe: window = kProbeMs * 0.75; break;
    case kExtraction: window = kExtractionWindowMs; break;
    case kJava: window = 10500; break;
    case kUpgrade: window = kUpgradeMs * 0.75; break;
    default: window = kCleanupWindowMs; break;
  }
  double delay = rnd.Uniform(0, window);

  std::unique_ptr<Process> launcher =
      Spawn(exe, LauncherOptions({"-javahome", d.jre, "-tmpdir", tmp}), dir);
  Process &p = *launcher;
  double giveUp = Now() + 90;
  bool reached = false;
  while (!Exited(p.pid()) && Now() < giveUp) {
    if (PhaseNow(tmp, report) >= o.target) {
      reached = true;
      break;
    }
    SleepMs(4);
  }
  if (reached) {
    SleepMs(delay);
    if (!Exited(p.pid())) {
      o.actual = PhaseNow(tmp, report);
      p.Signal(o.sig);

      o.sent = true;
    }
  }
  Result r = p.Wait();

  // The launcher ends with 255 after SIGINT, SIGTERM and SIGALRM and by SIGABRT after SIGQUIT.
  // A signal that found the launcher already past its work (in the last moments of the
  // clean-up) may leave the normal status; one that never went out must.
  bool normal = r.exitStatus == b.exitCode && r.termSignal == 0;
  bool bySignal = o.sig == SIGQUIT ? r.termSignal == SIGABRT : r.exitStatus == 255;
  if (!o.sent) {
    o.wrongStatus = !normal;
  } else {
    o.wrongStatus = !(bySignal || (o.actual == kCleanup && normal));
  }
  if (o.wrongStatus || r.timedOut) {
    o.wrongStatus = true;
    o.detail += " status " + std::to_string(r.exitStatus) + "/signal " +
                std::to_string(r.termSignal) + (r.timedOut ? " (timed out)" : "") +
                (reached ? "" : " (phase never reached)");
  }

  // A child that the launcher (or the kernel, on its death) signalled gets a moment to go.
  SleepMs(100);
  for (const Recorded &rec : ReadRecorded(report)) {
    if (StillRunning(rec)) {
      o.childLeft = true;
      o.detail += " " + rec.kind + " left running";
    }
  }
  if (!o.childLeft && !StandInsOfGroup(p.pid(), s.self).empty()) {
    o.childLeft = true;
    o.detail += " a process of the launcher's group left running";
  }
  // Extraction workers are forks of the launcher: they run its program, under its name.
  if (!o.childLeft && !StandInsOfGroup(p.pid(), exe).empty()) {
    o.childLeft = true;
    o.detail += " an extraction worker left running";
  }

  // The next start, as a user would make it right away.
  RunOptions help = LauncherOptions();
  help.args = {"-help"};
  Result next = RunToEnd(exe, help, dir + "/next");
  if (next.exitStatus != 0) {
    o.lockBlocks = true;
    o.detail += " next start refused: " + next.err.substr(0, 80);
  }

  // Only now are the leftovers ended: they are this run's own processes.
  for (pid_t pid : StandInsOfGroup(p.pid(), s.self)) kill(pid, SIGKILL);
  for (const Recorded &rec : ReadRecorded(report)) {
    if (StillRunning(rec)) kill(rec.pid, SIGKILL);
  }
  for (const std::string &name : Entries(tmp)) {
    if (name == "UpgradeInvoker.sh") continue;  // the Java program's, not the launcher's
    o.dirLeft = true;
    o.detail += " left " + name;
  }
  if (!lock.empty()) unlink(lock.c_str());  // a lock file the launcher left by design
  RemoveTree(dir);
  return o;
}

}  // namespace

Figure SignalSoak(const Settings &s) {
  Figure f{"signals"};
  const int runs = s.quick ? 30 : 200;
  std::string installer = FigureInstaller(s, "signals", kPayloadFiles, kPayloadFileSize);

  std::vector<Outcome> outcomes(static_cast<size_t>(runs));
  Random seeds(s.seed ^ 0x5167A15ull);
  std::vector<uint64_t> runSeeds;
  for (int i = 0; i < runs; i++) runSeeds.push_back(seeds.Next());
  ForEachConcurrently(runs, s.jobs, [&](int i) {
    outcomes[static_cast<size_t>(i)] = OneRun(s, installer, i, Random(runSeeds[static_cast<size_t>(i)]));
  });

  int at[kPhases] = {}, late = 0, dirs = 0, wrong = 0, children = 0, locks = 0;
  int childrenAt[kPhases] = {};
  for (size_t i = 0; i < outcomes.size(); i++) {
    const Outcome &o = outcomes[i];
    if (o.sent && o.actual >= 0) at[o.actual]++;
    if (!o.sent) late++;
    dirs += o.dirLeft;
    wrong += o.wrongStatus;
    children += o.childLeft;
    locks += o.lockBlocks;
    if (o.childLeft && o.actual >= 0) childrenAt[o.actual]++;
    if ((o.dirLeft || o.wrongStatus || o.childLeft || o.lockBlocks) && f.details.size() < 12) {
      f.details.push_back("run " + std::to_string(i) + ": " + SignalName(o.sig) + " at " +
                          (o.actual >= 0 ? kPhaseNames[o.actual] : "start") + ":" + o.detail);
    }
  }
  std::string phases;
  for (int p = 0; p < kPhases; p++)
    phases += std::string(p ? ", " : "") + kPhaseNames[p] + " " + std::to_string(at[p]);
  f.text = std::to_string(runs) + " runs (" + phases + ", after the end " + std::to_string(late) +
           "): working directories left " + std::to_string(dirs) + ", wrong statuses " +
           std::to_string(wrong) + ", children left alive " + std::to_string(children) +
           ", blocking lock files " + std::to_string(locks);
  if (children > 0) {
    std::string by;
    for (int p = 0; p < kPhases; p++)
      if (childrenAt[p] > 0) by += std::string(by.empty() ? "" : ", ") + kPhaseNames[p] + " " + std::to_string(childrenAt[p]);
    f.details.insert(f.details.begin(), "children left alive by phase: " + by);
  }
  f.clean = dirs == 0 && wrong == 0 && children == 0 && locks == 0;
  RemoveTree(s.sandbox + "/signals");
  return f;
}

}  // namespace soak
