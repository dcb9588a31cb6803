// The workloads of orv_compare and the run of one engine through them (the
// child process); the driver in orv_compare.cc starts one child per engine.
#ifndef ORV_BENCH_COMPARE_WORKLOADS_H
#define ORV_BENCH_COMPARE_WORKLOADS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compare/engine.h"

namespace orv_compare {

// The workloads in their usual order, comma-separated.
extern const char *const kAllWorkloads;

// Options of the program; the driver hands them on to every child.
struct Flags {
  std::string engines;  // empty: all compiled in
  std::string benchmarks = kAllWorkloads;
  std::string engine;  // set in a child: the one engine it runs
  std::string db;      // base directory; empty: a temporary one
  long num = 100000;
  long reads = -1;    // -1: num
  long seeks = -1;    // -1: num
  long writes = -1;   // -1: num / 2
  long deletes = -1;  // -1: num / 4
  long batch = 1000;
  long value_size = 100;
  long seek_nexts = 10;
  long cache_mb = 0;  // 0: four times the raw data, at least 64 MiB
  long runs = 1;      // rounds over all engines
  uint64_t seed = 301;
};

bool is_workload(const std::string &name);

// Engines of this build, in the order the tables show them.
std::vector<std::string> compiled_engines();
// nullptr for a name that is not in this build.
std::unique_ptr<Engine> make_engine(const std::string &name);

// The comma-separated items of s (empty items dropped).
std::vector<std::string> split(const std::string &s);

// Runs f.benchmarks on the engine f.engine, printing one line per workload
// and the "@config" and "@result" lines the driver reads; an engine that
// fails, or hands back what the model does not have, ends the process.
int run_child(const Flags &f);

}  // namespace orv_compare

#endif  // ORV_BENCH_COMPARE_WORKLOADS_H
