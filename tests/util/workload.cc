// The durability workload: random write transactions over five databases
// and the model of their committed contents.
#include "util/workload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "txn/txn.h"

namespace orv_test {
namespace {

struct DbSpec {
  const char *name;  // null: the main database
  unsigned flags;
};
constexpr DbSpec kDbs[] = {
    {nullptr, 0},
    {"db-plain", 0},
    {"db-counted", ORV_COUNTED},
    {"db-prefix", ORV_PREFIXKEY},
    {"db-cp", ORV_COUNTED | ORV_PREFIXKEY},
};
constexpr unsigned kNumDbs = sizeof kDbs / sizeof kDbs[0];
static_assert(kNumDbs - 1 == Workload::kMaxDbs);

constexpr ORV_dbi MAIN_DBI_HANDLE = 1;

std::string DbName(unsigned db) { return kDbs[db].name ? kDbs[db].name : ""; }

ORV_val Val(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }

void Normalize(Contents *c) {
  for (auto it = c->begin(); it != c->end();) it = it->second.empty() ? c->erase(it) : ++it;
}

// Opens (creating when writable) the databases of the workload.
int OpenDbs(ORV_txn *txn, bool create, ORV_dbi *dbis, bool *present) {
  for (unsigned db = 0; db < kNumDbs; db++) {
    present[db] = true;
    const unsigned flags = kDbs[db].flags | (create ? ORV_CREATE : 0);
    int rc = orv_dbi_open(txn, kDbs[db].name, flags, &dbis[db]);
    if (rc == ORV_NOTFOUND && !create) {
      present[db] = false;
      continue;
    }
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

Workload::Workload(uint64_t seed, const WorkloadOptions &opts) : opts_(opts), seed_(seed) {
  if (opts_.max_ops == 0) opts_.max_ops = 1;
}

std::string Workload::Key(unsigned db, unsigned k) const {
  char buf[64];
  // Keys of the prefix databases share long prefixes; the main database's
  // keys never start like a database name.
  if (kDbs[db].flags & ORV_PREFIXKEY)
    std::snprintf(buf, sizeof buf, "accounts/region-%02u/user-%06u", k % 7, k);
  else
    std::snprintf(buf, sizeof buf, "k%05u", k);
  return buf;
}

int Workload::RunOps(ORV_txn *txn, ORV_dbi *dbis, Contents *model, std::mt19937_64 &rng,
                     int depth) {
  const unsigned nops = 1 + static_cast<unsigned>(rng() % opts_.max_ops);
  for (unsigned op = 0; op < nops; op++) {
    const unsigned kind = static_cast<unsigned>(rng() % 100);
    const unsigned db = static_cast<unsigned>(rng() % kNumDbs);
    const unsigned k = static_cast<unsigned>(rng() % opts_.keys);
    const uint64_t tag = rng();
    auto &table = (*model)[DbName(db)];
    if (kind < 10 && opts_.nested && depth < 2) {
      // A nested transaction: its changes reach the parent only on commit.
      const bool commit = (tag & 3) != 0;
      Contents child_model = *model;
      ORV_txn *child = nullptr;
      if (txn) {
        if (int rc = orv_txn_begin(orv_txn_env(txn), txn, 0, &child); rc != 0) return rc;
      }
      if (int rc = RunOps(child, dbis, &child_model, rng, depth + 1); rc != 0) {
        if (child) orv_txn_abort(child);
        return rc;
      }
      if (commit) {
        if (child) {
          if (int rc = orv_txn_commit(child); rc != 0) return rc;
        }
        *model = std::move(child_model);
      } else if (child) {
        orv_txn_abort(child);
      }
    } else if (kind < 35 && !table.empty()) {
      // Delete an existing key (the n-th one, so the choice is the model's).
      auto it = table.begin();
      std::advance(it, static_cast<long>(tag % table.size()));
      const std::string key = it->first;
      if (txn) {
        ORV_val kv = Val(key);
        if (int rc = orv_del(txn, dbis[db], &kv, nullptr); rc != 0) return rc;
      }
      table.erase(key);
    } else {
      const bool large = opts_.large_every && tag % opts_.large_every == 0;
      const size_t size = large ? opts_.large_size + tag % 3000 : 1 + tag % 120;
      std::string value = "s" + std::to_string(steps_) + "." + std::to_string(op) + ":";
      while (value.size() < size) value += static_cast<char>('a' + (value.size() + tag) % 26);
      value.resize(size);
      const std::string key = Key(db, k);
      if (txn) {
        ORV_val kv = Val(key), dv = Val(value);
        if (int rc = orv_put(txn, dbis[db], &kv, &dv, 0); rc != 0) return rc;
      }
      table[key] = value;
    }
  }
  return 0;
}

int Workload::Step(ORV_env *env) {
  std::mt19937_64 rng(seed_ * 0x9E3779B97F4A7C15ull + steps_);
  Contents model = committed_;
  int rc = 0;
  ORV_txn *txn = nullptr;
  ORV_dbi dbis[kNumDbs] = {};
  if (env) {
    if ((rc = orv_txn_begin(env, nullptr, opts_.txn_flags, &txn)) != 0) return rc;
    bool present[kNumDbs];
    rc = OpenDbs(txn, true, dbis, present);
  }
  if (rc == 0 && txn && opts_.spill_room) txn->mt_dirty_room = opts_.spill_room;
  if (rc == 0) rc = RunOps(txn, dbis, &model, rng, 0);
  Normalize(&model);
  attempted_ = model;
  steps_++;
  if (rc != 0) {
    if (txn) orv_txn_abort(txn);
    return rc;
  }
  if (txn && (rc = orv_txn_commit(txn)) != 0) return rc;
  committed_ = std::move(model);
  return 0;
}

int ReadContents(ORV_env *env, Contents *out, uint64_t *txnid) {
  out->clear();
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn); rc != 0) return rc;
  if (txnid) *txnid = orv_txn_id(txn);
  ORV_dbi dbis[kNumDbs] = {};
  bool present[kNumDbs];
  int rc = OpenDbs(txn, false, dbis, present);
  for (unsigned db = 0; rc == 0 && db < kNumDbs; db++) {
    if (!present[db]) continue;
    ORV_cursor *mc = nullptr;
    if ((rc = orv_cursor_open(txn, dbis[db], &mc)) != 0) break;
    auto &table = (*out)[DbName(db)];
    ORV_val k, v;
    for (int r = orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0;
         r = orv_cursor_get(mc, &k, &v, ORV_NEXT)) {
      if (r == ORV_NOTFOUND) break;
      if (r != 0) {
        rc = r;
        break;
      }
      std::string key(static_cast<const char *>(k.mv_data), k.mv_size);
      // The main database also holds the records of the named ones.
      if (db == 0 && key.rfind("db-", 0) == 0) continue;
      table[key].assign(static_cast<const char *>(v.mv_data), v.mv_size);
    }
    orv_cursor_close(mc);
    // The recorded entry count must agree with the walk (not for the main
    // database, whose count includes the named databases' records).
    ORV_stat st;
    if (rc == 0 && db != 0 && (rc = orv_stat(txn, dbis[db], &st)) == 0 &&
        st.ms_entries != table.size())
      rc = ORV_CORRUPTED;
  }
  orv_txn_abort(txn);
  Normalize(out);
  return rc;
}

::testing::AssertionResult SameContents(const Contents &got, const Contents &want) {
  if (got == want) return ::testing::AssertionSuccess();
  for (const auto &[db, table] : want) {
    auto it = got.find(db);
    if (it == got.end()) return ::testing::AssertionFailure() << "database '" << db << "' missing";
    for (const auto &[k, v] : table) {
      auto kt = it->second.find(k);
      if (kt == it->second.end())
        return ::testing::AssertionFailure() << "'" << db << "': key " << k << " missing";
      if (kt->second != v)
        return ::testing::AssertionFailure() << "'" << db << "': key " << k << " has "
                                             << kt->second.size() << " bytes, want " << v.size();
    }
    for (const auto &[k, v] : it->second) {
      if (!table.count(k))
        return ::testing::AssertionFailure() << "'" << db << "': extra key " << k;
    }
  }
  for (const auto &[db, table] : got) {
    if (!want.count(db)) return ::testing::AssertionFailure() << "extra database '" << db << "'";
  }
  return ::testing::AssertionFailure() << "contents differ";
}

uint64_t ContentsDigest(const Contents &c) {
  // FNV-1a over the sorted contents, with separators.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](const std::string &s) {
    for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
    h = (h ^ 0xFF) * 1099511628211ull;
    h = (h ^ s.size()) * 1099511628211ull;
  };
  for (const auto &[db, table] : c) {
    mix(db);
    for (const auto &[k, v] : table) {
      mix(k);
      mix(v);
    }
  }
  return h;
}

int OpenWorkloadEnv(const std::string &path, unsigned flags, size_t mapsize, ORV_env **out) {
  ORV_env *env = nullptr;
  if (int rc = orv_env_create(&env); rc != 0) return rc;
  int rc = orv_env_set_maxdbs(env, Workload::kMaxDbs);
  if (rc == 0 && mapsize) rc = orv_env_set_mapsize(env, mapsize);
  if (rc == 0) rc = orv_env_open(env, path.c_str(), flags, 0644);
  if (rc != 0) {
    orv_env_close(env);
    return rc;
  }
  *out = env;
  return 0;
}

::testing::AssertionResult CommitSurvivesReopen(ORV_env *env, const std::string &path,
                                                unsigned flags, const Contents &before) {
  ORV_txn *txn = nullptr;
  int rc = orv_txn_begin(env, nullptr, 0, &txn);
  if (rc == 0) {
    const std::string key = "after", value = "ok";
    ORV_val k = Val(key), v = Val(value);
    rc = orv_put(txn, MAIN_DBI_HANDLE, &k, &v, 0);
    if (rc == 0) {
      rc = orv_txn_commit(txn);
    } else {
      orv_txn_abort(txn);
    }
  }
  orv_env_close(env);
  if (rc != 0) return ::testing::AssertionFailure() << "further commit: " << rc;
  if ((rc = OpenWorkloadEnv(path, flags, 0, &env)) != 0)
    return ::testing::AssertionFailure() << "reopen after a further commit: " << rc;
  Contents want = before, got;
  want[""]["after"] = "ok";
  rc = ReadContents(env, &got);
  orv_env_close(env);
  if (rc != 0) return ::testing::AssertionFailure() << "reading after the further commit: " << rc;
  return SameContents(got, want);
}

uint64_t TestSetting(const char *name, uint64_t fallback) {
  const char *s = std::getenv(name);
  return s && *s ? std::strtoull(s, nullptr, 0) : fallback;
}

}  // namespace orv_test
