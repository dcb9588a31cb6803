// orv_compare: the workloads of orv_bench run side by side on eldran and on
// the engines a user would embed instead, each engine in a process of its
// own, with time per operation and the ratio eldran / peer per workload.
//
//   orv_compare --num=1000000 [--engines=eldran,eldran-writemap,sqlite,...]
//               [--benchmarks=fillseq,fillrandom,...] [--db=dir]
//
// The workloads, the model of the store and the checks of what every
// engine hands back are in workloads.cc.
//
// Without --engine the program runs itself once per engine (fork and exec
// of /proc/self/exe with --engine=NAME added), reads each child's result
// lines from a pipe and prints the table at the end.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "compare/engine.h"
#include "compare/workloads.h"

namespace orv_compare {
namespace {

bool parse_flag(const char *arg, Flags &f) {
  struct Num {
    const char *name;
    long *dst;
  } nums[] = {{"--num=", &f.num},
              {"--reads=", &f.reads},
              {"--seeks=", &f.seeks},
              {"--writes=", &f.writes},
              {"--deletes=", &f.deletes},
              {"--batch=", &f.batch},
              {"--value_size=", &f.value_size},
              {"--seek_nexts=", &f.seek_nexts},
              {"--cache_mb=", &f.cache_mb},
              {"--runs=", &f.runs}};
  for (const Num &n : nums) {
    const size_t len = std::strlen(n.name);
    if (std::strncmp(arg, n.name, len) == 0) {
      char *end = nullptr;
      errno = 0;
      const long v = std::strtol(arg + len, &end, 10);
      if (errno != 0 || end == arg + len || *end != '\0') return false;
      *n.dst = v;
      return true;
    }
  }
  struct Str {
    const char *name;
    std::string *dst;
  } strs[] = {{"--engines=", &f.engines},
              {"--benchmarks=", &f.benchmarks},
              {"--engine=", &f.engine},
              {"--db=", &f.db}};
  for (const Str &s : strs) {
    const size_t len = std::strlen(s.name);
    if (std::strncmp(arg, s.name, len) == 0) {
      *s.dst = arg + len;
      return true;
    }
  }
  if (std::strncmp(arg, "--seed=", 7) == 0) {
    char *end = nullptr;
    f.seed = std::strtoull(arg + 7, &end, 10);
    return end != arg + 7 && *end == '\0';
  }
  return false;
}

// ---- The driver --------------------------------------------------------------------------

struct EngineResult {
  std::string name;
  std::string config;
  bool ok = true;  // every run passed its checks
  // workload → wall-clock µs per op, one figure per run
  std::map<std::string, std::vector<double>> us;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The processor's name as the kernel reports it.
std::string cpu_model() {
  std::string name = "unknown";
  if (FILE *in = std::fopen("/proc/cpuinfo", "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, in)) {
      const char *colon = std::strchr(line, ':');
      if (std::strncmp(line, "model name", 10) != 0 || colon == nullptr) continue;
      name.assign(colon + 1 + (colon[1] == ' '));
      if (!name.empty() && name.back() == '\n') name.pop_back();
      break;
    }
    std::fclose(in);
  }
  return name;
}

// Runs argv with --engine=name appended, its standard output on a pipe,
// and adds the run's figures to r.
void run_engine(const std::vector<std::string> &args, EngineResult &r) {
  const std::string &name = r.name;
  r.ok = false;  // until the child has exited with success
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("pipe");
    return;
  }
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<std::string> a = args;
    a.push_back("--engine=" + name);
    std::vector<char *> argv;
    for (std::string &s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    std::perror("execv");
    _exit(127);
  }
  ::close(fds[1]);
  FILE *in = fdopen(fds[0], "r");
  char line[4096];
  while (in && std::fgets(line, sizeof line, in)) {
    char wl[64];
    double us = 0, cpu = 0;
    long ops = 0;
    if (std::strncmp(line, "@config ", 8) == 0) {
      r.config = line + 8;
      if (!r.config.empty() && r.config.back() == '\n') r.config.pop_back();
    } else if (std::sscanf(line, "@result %63s %lf %lf %ld", wl, &us, &cpu, &ops) == 4) {
      r.us[wl].push_back(us);
    } else {
      std::fputs(line, stdout);
      std::fflush(stdout);
    }
  }
  if (in) std::fclose(in);
  int status = 0;
  waitpid(pid, &status, 0);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!r.ok) {
    r.us.clear();
    if (WIFSIGNALED(status))
      std::printf("%-16s FAILED (signal %d): its figures are left out\n", name.c_str(),
                  WTERMSIG(status));
    else
      std::printf("%-16s FAILED (exit status %d): its figures are left out\n", name.c_str(),
                  WEXITSTATUS(status));
  }
}

// The ratio of base's time to each peer's, run by run: the median and,
// over several runs, the lowest and highest (a ratio that a second run does
// not confirm means little on a machine whose speed drifts).
void print_ratios(const std::vector<EngineResult> &results, const EngineResult &base,
                  const std::vector<std::string> &workloads) {
  std::vector<const EngineResult *> peers;
  for (const EngineResult &r : results)
    if (r.ok && r.name.rfind("eldran", 0) != 0) peers.push_back(&r);
  if (peers.empty()) return;
  std::printf("\nRatio %s / peer (time; below 1: %s is faster)\n%-22s", base.name.c_str(),
              base.name.c_str(), "workload");
  for (const EngineResult *p : peers) std::printf(" %20s", p->name.c_str());
  std::printf("\n");
  for (const std::string &w : workloads) {
    std::printf("%-22s", w.c_str());
    const auto b = base.us.find(w);
    for (const EngineResult *p : peers) {
      const auto q = p->us.find(w);
      std::vector<double> ratios;
      if (b != base.us.end() && q != p->us.end())
        for (size_t i = 0; i < b->second.size() && i < q->second.size(); i++)
          if (q->second[i] > 0) ratios.push_back(b->second[i] / q->second[i]);
      char cell[64] = "-";
      if (ratios.size() == 1) {
        std::snprintf(cell, sizeof cell, "%.2f", ratios[0]);
      } else if (!ratios.empty()) {
        const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
        std::snprintf(cell, sizeof cell, "%.2f (%.2f-%.2f)", median(ratios), *lo, *hi);
      }
      std::printf(" %20s", cell);
    }
    std::printf("\n");
  }
}

int run_driver(const Flags &f, std::vector<std::string> args) {
  std::vector<std::string> engines = f.engines.empty() ? compiled_engines() : split(f.engines);
  for (const std::string &e : engines) {
    if (!make_engine(e)) {
      std::string known;
      for (const std::string &k : compiled_engines()) known += " " + k;
      std::fprintf(stderr, "engine '%s' is not in this build (built:%s)\n", e.c_str(),
                   known.c_str());
      return 1;
    }
  }
  const std::vector<std::string> workloads = split(f.benchmarks);
  for (const std::string &w : workloads) {
    if (!is_workload(w)) {
      std::fprintf(stderr, "unknown workload '%s' (known: %s)\n", w.c_str(), kAllWorkloads);
      return 1;
    }
  }
  const bool temporary = f.db.empty();
  const std::string base = temporary ? "/tmp/orv_compare-" + std::to_string(getpid()) : f.db;
  mkdir(base.c_str(), 0755);
  args.push_back("--db=" + base);

  std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
  double load[3] = {0, 0, 0};
  if (FILE *la = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(la, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(la);
  }
  std::printf("Date:       %s (load average %.2f %.2f %.2f)\n", date, load[0], load[1], load[2]);
  std::printf("CPU:        %ld x %s\n", sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str());
  std::printf(
      "Entries:    %ld keys of 16 bytes, values of %ld bytes, %ld operations per write "
      "transaction, no sync\n",
      f.num, f.value_size, f.batch);
  // Figures of an unoptimised or instrumented build say little.
  const char *build = "";
#if !defined(__OPTIMIZE__)
  build = "WARNING: Optimization is disabled: benchmarks unnecessarily slow\n";
#elif defined(__SANITIZE_ADDRESS__)
  build = "WARNING: AddressSanitizer is enabled: benchmarks unnecessarily slow\n";
#endif
  std::printf("%s------------------------------------------------\n", build);

  // Round after round over all engines, so that a slow spell of the
  // machine falls on several engines rather than on all runs of one.
  std::vector<EngineResult> results(engines.size());
  for (size_t i = 0; i < engines.size(); i++) results[i].name = engines[i];
  for (long run = 0; run < f.runs; run++) {
    if (f.runs > 1) std::printf("---- run %ld of %ld\n", run + 1, f.runs);
    for (EngineResult &r : results)
      if (run == 0 || r.ok) run_engine(args, r);
  }
  if (temporary) remove_tree(base);

  std::printf("\nConfiguration\n");
  for (const EngineResult &r : results)
    std::printf("  %-16s %s\n", r.name.c_str(), r.ok ? r.config.c_str() : "(failed)");
  std::printf(
      "\nWall-clock micros/op%s (readseq, readreverse: per entry; seekrandom: per seek "
      "and its %ld steps)\n%-22s",
      f.runs > 1 ? ", median of the runs" : "", f.seek_nexts, "workload");
  for (const EngineResult &r : results) std::printf(" %16s", r.name.c_str());
  std::printf("\n");
  for (const std::string &w : workloads) {
    std::printf("%-22s", w.c_str());
    for (const EngineResult &r : results) {
      const auto it = r.us.find(w);
      if (!r.ok || it == r.us.end())
        std::printf(" %16s", "-");
      else
        std::printf(" %16.4f", median(it->second));
    }
    std::printf("\n");
  }
  bool all_ok = true;
  for (const EngineResult &r : results) {
    all_ok = all_ok && r.ok;
    if (r.ok && r.name.rfind("eldran", 0) == 0) print_ratios(results, r, workloads);
  }
  return all_ok ? 0 : 1;
}

}  // namespace
}  // namespace orv_compare

int main(int argc, char **argv) {
  orv_compare::Flags f;
  std::vector<std::string> args;
  for (int i = 0; i < argc; i++) {
    if (i > 0 && !orv_compare::parse_flag(argv[i], f)) {
      std::fprintf(stderr,
                   "usage: %s [--engines=a,b,...] [--benchmarks=a,b,...] [--num=N]\n"
                   "          [--reads=N] [--seeks=N] [--writes=N] [--deletes=N] [--batch=N]\n"
                   "          [--value_size=N] [--seek_nexts=N] [--cache_mb=N] [--seed=N]\n"
                   "          [--runs=N] [--db=dir]\n"
                   "invalid flag '%s'\n",
                   argv[0], argv[i]);
      return 1;
    }
    if (i == 0 || std::strncmp(argv[i], "--db=", 5) != 0) args.push_back(argv[i]);
  }
  if (f.num <= 0 || f.num > 100000000L || f.batch <= 0 || f.value_size < 1 ||
      f.value_size > 65536 || f.seek_nexts < 0 || f.runs < 1) {
    std::fprintf(stderr,
                 "%s: --num 1 to 100000000, --batch and --runs positive, --value_size 1 to "
                 "65536, --seek_nexts not negative\n",
                 argv[0]);
    return 1;
  }
  if (!f.engine.empty()) return orv_compare::run_child(f);
  return orv_compare::run_driver(f, args);
}
