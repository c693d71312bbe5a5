// The soak driver's entry: either one of the parts it plays for the launcher (stand-in Java,
// upgrade script, isolated run), or the soak itself, which runs the figures and prints one line
// for each and a summary. The exit status is 0 only when every figure is clean.
//
// Usage: soak [--quick] [--seed N] [--jobs N] [--only NAME,...] [--dev-bin DIR] [--asan-bin DIR]
//             [--findings DIR]
//   figures: signals, concurrency, disk-full, hostile, valgrind
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "soak.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: soak [--quick] [--seed N] [--jobs N] [--only NAME,...] [--dev-bin DIR]\n"
          "            [--asan-bin DIR] [--findings DIR]\n"
          "figures: signals, concurrency, disk-full, hostile, valgrind\n");
  exit(2);
}

bool Wanted(const soak::Settings &s, const std::string &name) {
  if (s.only.empty()) return true;
  for (const std::string &n : s.only)
    if (n == name) return true;
  return false;
}

void Print(const soak::Figure &f) {
  printf("%-12s %s  [%s]\n", (f.name + ":").c_str(), f.text.c_str(), f.clean ? "clean" : "NOT CLEAN");
  if (!f.clean) {
    for (const std::string &d : f.details) printf("    %s\n", d.c_str());
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "java") == 0) return soak::StandInJava(argc, argv);
  if (argc >= 2 && strncmp(argv[1], "upgrade:", 8) == 0) return soak::StandInUpgrade(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "isolate") == 0) return soak::Isolate(argc, argv);
  // The payload of the signal soak, for timing its extraction by hand.
  if (argc == 5 && strcmp(argv[1], "payload") == 0) {
    soak::WriteAll(argv[4], soak::PayloadArchive(atoi(argv[2]), strtoul(argv[3], nullptr, 10)));
    return 0;
  }

  soak::Settings s;
  s.devBin = LAUNCHER_BIN_DIR;
  s.sourceDir = LAUNCHER_SOURCE_DIR;
  s.asanBin = s.sourceDir + "/build/asan/bin";
  s.findingsDir = s.sourceDir + "/build/soak-findings";
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  s.seed = static_cast<uint64_t>(ts.tv_sec) * 1000003u + static_cast<uint64_t>(ts.tv_nsec / 1000);
  s.seed %= 1000000000u;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (a == "--quick") {
      s.quick = true;
    } else if (a == "--seed") {
      s.seed = strtoull(value().c_str(), nullptr, 10);
    } else if (a == "--jobs") {
      s.jobs = atoi(value().c_str());
    } else if (a == "--only") {
      std::string list = value();
      size_t at = 0;
      while (at <= list.size()) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        s.only.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
    } else if (a == "--dev-bin") {
      s.devBin = value();
    } else if (a == "--asan-bin") {
      s.asanBin = value();
    } else if (a == "--findings") {
      s.findingsDir = value();
    } else {
      Usage();
    }
  }
  if (geteuid() != 0) {
    fprintf(stderr, "soak: must run as root (private mount namespaces, tmpfs mounts)\n");
    return 2;
  }
  // An aborting launcher must not leave core files in the directories the soaks check.
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);

  char tmpl[] = "/tmp/soak-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    perror("soak: mkdtemp");
    return 2;
  }
  s.sandbox = tmpl;
  chmod(s.sandbox.c_str(), 0755);
  // The stand-ins are this program, named on "#!" lines: a short path that certainly fits.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 2;
  exe[n] = '\0';
  soak::MkDirs(s.sandbox + "/bin");
  s.self = s.sandbox + "/bin/soak";
  soak::CopyFile(exe, s.self, 0755);

  printf("soak: %s run, seed %llu, %d jobs, dev build %s, asan build %s\n",
         s.quick ? "quick" : "full", static_cast<unsigned long long>(s.seed), s.jobs,
         s.devBin.c_str(), s.asanBin.c_str());
  fflush(stdout);
  double start = soak::Now();

  // valgrind's runs mostly wait too; they go along with the others.
  soak::Figure valgrindFigure;
  std::thread valgrind;
  if (Wanted(s, "valgrind")) valgrind = std::thread([&] { valgrindFigure = soak::ValgrindSoak(s); });

  std::vector<soak::Figure> figures;
  if (Wanted(s, "signals")) figures.push_back(soak::SignalSoak(s)), Print(figures.back());
  if (Wanted(s, "concurrency")) figures.push_back(soak::ConcurrencySoak(s)), Print(figures.back());
  if (Wanted(s, "disk-full")) figures.push_back(soak::DiskFullSoak(s)), Print(figures.back());
  if (Wanted(s, "hostile")) figures.push_back(soak::HostileSoak(s)), Print(figures.back());
  if (valgrind.joinable()) {
    valgrind.join();
    figures.push_back(valgrindFigure);
    Print(figures.back());
  }

  std::string notClean;
  for (const soak::Figure &f : figures) {
    if (!f.clean) notClean += (notClean.empty() ? "" : ", ") + f.name;
  }
  double seconds = soak::Now() - start;
  if (notClean.empty()) {
    printf("soak: all %zu figures clean (seed %llu, %.0f s)\n", figures.size(),
           static_cast<unsigned long long>(s.seed), seconds);
  } else {
    printf("soak: NOT CLEAN: %s (seed %llu, %.0f s)\n", notClean.c_str(),
           static_cast<unsigned long long>(s.seed), seconds);
  }
  if (getenv("SOAK_KEEP") == nullptr) soak::RemoveTree(s.sandbox);
  return notClean.empty() && !figures.empty() ? 0 : 1;
}
