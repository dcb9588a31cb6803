// Fuzz target: a data file from elsewhere. The input is the whole data
// file (the seeds are small valid stores of every kind). It is opened
// read-only and read everywhere: walks both ways, duplicate steps, gets,
// range probes, ranks and counts; then opened read-write for a write
// transaction with a nested one and a commit, and read again.
//
// Any result code is fine; a crash, a hang, an assertion abort or a
// sanitizer report is a finding.
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "orv.h"

namespace {

using orv_fuzz::Probes;
using orv_fuzz::val;

ORV_env *open_env(const std::string &path, unsigned flags) {
  ORV_env *env = nullptr;
  if (orv_env_create(&env) != 0) return nullptr;
  (void)orv_env_set_maxdbs(env, 8);
  // No lock file: this target is about the data file (the lock file has
  // a target of its own).
  if (orv_env_open(env, path.c_str(), flags | ORV_NOSUBDIR | ORV_NOLOCK, 0644) != 0) {
    orv_env_close(env);
    return nullptr;
  }
  return env;
}

void read_pass(ORV_env *env, Probes *seen) {
  ORV_txn *txn = nullptr;
  if (orv_txn_begin(env, nullptr, ORV_RDONLY, &txn) != 0) return;
  orv_fuzz::tour_all(txn, seen);
  ORV_stat st;
  (void)orv_stat(txn, 1, &st);
  orv_txn_abort(txn);
}

void write_pass(ORV_env *env, const Probes &seen) {
  ORV_txn *txn = nullptr;
  if (orv_txn_begin(env, nullptr, 0, &txn) != 0) return;
  static const std::string big(5000, 'v');
  const std::string keys[] = {"fuzz-a", "fuzz-b", "key0001", "m"};
  for (const std::string &s : keys) {
    ORV_val k = val(s), v = val(s == "m" ? big : s);
    (void)orv_put(txn, 1, &k, &v, 0);
  }
  for (size_t i = 0; i < seen.keys.size() && i < 2; i++) {
    ORV_val k = val(seen.keys[i]);
    (void)orv_del(txn, 1, &k, nullptr);
  }
  ORV_txn *child = nullptr;
  if (orv_txn_begin(env, txn, 0, &child) == 0) {
    ORV_val k = val("fuzz-child"), v = val(big);
    (void)orv_put(child, 1, &k, &v, 0);
    orv_txn_abort(child);
  }
  ORV_dbi dbi = 0;
  if (orv_dbi_open(txn, "fuzz-db", ORV_CREATE | ORV_DUPSORT, &dbi) == 0) {
    for (const std::string &s : keys) {
      ORV_val k = val("dup"), v = val(s);
      (void)orv_put(txn, dbi, &k, &v, 0);
    }
  }
  (void)orv_txn_commit(txn);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = orv_fuzz::scratch_dir() + "/data.orv";
  orv_fuzz::write_file(path, data, size);
  Probes seen;
  if (ORV_env *env = open_env(path, ORV_RDONLY)) {
    read_pass(env, &seen);
    orv_env_close(env);
  }
  if (ORV_env *env = open_env(path, 0)) {
    write_pass(env, seen);
    Probes again;
    read_pass(env, &again);
    orv_env_close(env);
  }
  return 0;
}
