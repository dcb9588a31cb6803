// A random write workload with a model of what it committed, shared by the
// durability suites (fault injection, power loss, killed processes):
//
//   Workload w(seed);
//   int rc = w.Step(env);     // one random write transaction, committed
//   w.committed();            // contents after the last step that returned 0
//   w.attempted();            // contents the last step tried to commit
//   Contents now; ReadContents(env, &now, &txnid);
//
// Every transaction writes to the main database and to four named ones
// (plain, counted, prefix-compressed, both), with puts, deletes, large
// values on overflow pages and nested transactions that commit or abort.
// The random choices depend only on the seed and the step number, so a
// process can replay another's steps on the model alone (env == nullptr).
#ifndef ORV_TESTS_UTIL_WORKLOAD_H
#define ORV_TESTS_UTIL_WORKLOAD_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "orv.h"

namespace orv_test {

// Database name ("" = the main database) -> key -> value. Databases
// without entries are left out, so a missing and an empty one compare equal.
using Contents = std::map<std::string, std::map<std::string, std::string>>;

struct WorkloadOptions {
  unsigned max_ops = 12;       // operations per transaction, at least 1
  unsigned keys = 400;         // distinct keys per database
  unsigned large_every = 20;   // one value in this many is large (0: none)
  unsigned large_size = 9000;  // bytes of a large value (overflow pages)
  bool nested = true;          // nested transactions (not under ORV_WRITEMAP)
  unsigned spill_room = 0;     // > 0: dirty room of each transaction, so puts spill
  unsigned txn_flags = 0;      // flags of orv_txn_begin
};

class Workload {
 public:
  explicit Workload(uint64_t seed, const WorkloadOptions &opts = {});

  // Runs the next transaction on env, or on the model alone when env is
  // null. 0: committed. Otherwise the code of the first call that failed;
  // the transaction was aborted and committed() is unchanged.
  int Step(ORV_env *env);

  const Contents &committed() const { return committed_; }
  const Contents &attempted() const { return attempted_; }
  uint64_t steps() const { return steps_; }
  // Options of the following steps.
  WorkloadOptions &options() { return opts_; }

  // Environment configuration the workload needs (named databases).
  static constexpr unsigned kMaxDbs = 4;

 private:
  int RunOps(ORV_txn *txn, ORV_dbi *dbis, Contents *model, std::mt19937_64 &rng, int depth);
  std::string Key(unsigned db, unsigned k) const;

  WorkloadOptions opts_;
  uint64_t seed_;
  uint64_t steps_ = 0;
  Contents committed_;
  Contents attempted_;
};

// Reads every database of the workload in one read-only transaction;
// *txnid (if not null) gets the snapshot's id. 0 or the failing code.
int ReadContents(ORV_env *env, Contents *out, uint64_t *txnid = nullptr);

// Equal contents, or a failure naming the first difference.
::testing::AssertionResult SameContents(const Contents &got, const Contents &want);

// Order-independent digest of contents, to compare many states cheaply.
uint64_t ContentsDigest(const Contents &c);

// Creates a handle configured for the workload (its named databases, the
// map size unless 0) and opens path with flags; the handle is closed again
// on failure. 0 or the failing code.
int OpenWorkloadEnv(const std::string &path, unsigned flags, size_t mapsize, ORV_env **out);

// The open env holds `before`: commits one more put into the main database,
// closes env, reopens path with flags and checks that the put is there.
::testing::AssertionResult CommitSurvivesReopen(ORV_env *env, const std::string &path,
                                                unsigned flags, const Contents &before);

// A test setting from the environment (ORV_SEED, ORV_ROUNDS), or fallback.
uint64_t TestSetting(const char *name, uint64_t fallback);

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_WORKLOAD_H
