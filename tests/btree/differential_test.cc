// [btree differential]: puts, cursors, nested transactions and snapshots of
// lib/btree and lib/txn, checked against std::map.
//
// A seeded random workload runs against the engine and against an in-memory
// model with the same key order. Every round ends with a comparison of full
// forward and backward cursor walks, ORV_SET_RANGE probes and point lookups,
// plus the tree verifier (tests/util/verify.h). Read transactions started in
// earlier rounds must keep seeing their snapshot while later writers commit.
//
// DupDifferential runs the same over databases with sorted duplicates,
// against a map of value sets, with a second cursor watching one pair;
// DupDifferentialLongTest runs it longer over more seeds (ORV_SEED,
// ORV_ROUNDS).
//
// LargeFreeLists rewrites a whole store repeatedly so that free-page records
// grow onto overflow runs. The verifier itself is tested in verifier_test.cc.
//
// Replay or run long (a failure prints its replay line):
//   btree_differential_test --gtest_filter='*Counted*' --seed=1234 --ops=20000
// Options besides gtest's: --seed=N (one seed instead of the default set),
// --ops=N (operations per seed and configuration; every round compares whole
// walks, so the cost grows with the square of N), --del=0|1 (mix in orv_del
// and orv_cursor_del; on by default).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "orv.h"
#include "util/tempdir.h"
#include "util/verify.h"
#include "util/workload.h"

namespace {

// ---- Command line ------------------------------------------------------------------

struct Args {
  uint64_t seed = 0;  // 0: the default seeds
  long ops = 0;       // 0: the default count
  bool del = true;
};

const Args &args() {
  static const Args parsed = [] {
    Args a;
    for (const std::string &arg : ::testing::internal::GetArgvs()) {
      if (arg.rfind("--seed=", 0) == 0) a.seed = std::strtoull(arg.c_str() + 7, nullptr, 0);
      if (arg.rfind("--ops=", 0) == 0) a.ops = std::strtol(arg.c_str() + 6, nullptr, 0);
      if (arg.rfind("--del=", 0) == 0) a.del = std::strtol(arg.c_str() + 6, nullptr, 0) != 0;
    }
    return a;
  }();
  return parsed;
}

constexpr uint64_t kDefaultSeeds[] = {1, 2};
constexpr long kDefaultOps = 1200;
constexpr int kOpsPerRound = 150;

// ---- Configurations ----------------------------------------------------------------

enum class Order { bytes, reverse, int4, int8 };

struct Config {
  const char *name;
  unsigned env_flags;  // ORV_WRITEMAP, ORV_INMEMORY, ORV_NOSUBDIR
  unsigned db_flags;
  Order order;
  bool named;  // a named database, else the main database
};

// Only PlainMain syncs: the others run with ORV_NOSYNC to keep the default
// run short (syncing is not what they test).
const Config kConfigs[] = {
    {"PlainMain", 0, 0, Order::bytes, false},
    {"PlainNamedWritemap", ORV_WRITEMAP | ORV_NOSYNC, 0, Order::bytes, true},
    {"Int4", ORV_NOSUBDIR | ORV_NOSYNC, ORV_INTEGERKEY, Order::int4, true},
    {"Int8Writemap", ORV_WRITEMAP | ORV_NOSYNC, ORV_INTEGERKEY, Order::int8, true},
    {"ReverseInMemory", ORV_INMEMORY, ORV_REVERSEKEY, Order::reverse, true},
    {"Counted", ORV_NOSYNC, ORV_COUNTED, Order::bytes, true},
    {"CountedInMemory", ORV_INMEMORY, ORV_COUNTED, Order::bytes, true},
    {"CountedReverseWritemap", ORV_WRITEMAP | ORV_NOSYNC, ORV_COUNTED | ORV_REVERSEKEY,
     Order::reverse, true},
    {"CountedInt8", ORV_NOSYNC, ORV_COUNTED | ORV_INTEGERKEY, Order::int8, false},
    {"Prefix", ORV_NOSYNC, ORV_PREFIXKEY, Order::bytes, true},
    {"PrefixCountedWritemap", ORV_WRITEMAP | ORV_NOSYNC, ORV_PREFIXKEY | ORV_COUNTED, Order::bytes,
     true},
    {"PrefixReverseInMemory", ORV_INMEMORY, ORV_PREFIXKEY | ORV_REVERSEKEY, Order::reverse, false},
};

// ---- The model ---------------------------------------------------------------------

int model_cmp(Order o, const std::string &a, const std::string &b) {
  switch (o) {
    case Order::int4: {
      uint32_t x, y;
      std::memcpy(&x, a.data(), 4);
      std::memcpy(&y, b.data(), 4);
      return x < y ? -1 : x > y;
    }
    case Order::int8: {
      uint64_t x, y;
      std::memcpy(&x, a.data(), 8);
      std::memcpy(&y, b.data(), 8);
      return x < y ? -1 : x > y;
    }
    case Order::reverse: {
      size_t i = a.size(), j = b.size();
      while (i > 0 && j > 0) {
        uint8_t x = a[--i], y = b[--j];
        if (x != y) return x < y ? -1 : 1;
      }
      return a.size() < b.size() ? -1 : a.size() > b.size();
    }
    case Order::bytes:
      break;
  }
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0;
}

struct KeyLess {
  Order order;
  bool operator()(const std::string &a, const std::string &b) const {
    return model_cmp(order, a, b) < 0;
  }
};

using Model = std::map<std::string, std::string, KeyLess>;

ORV_val V(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }
std::string S(const ORV_val &v) {
  return v.mv_size ? std::string(static_cast<const char *>(v.mv_data), v.mv_size) : std::string();
}

std::string show(const std::string &s) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < s.size() && i < 16; i++) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<uint8_t>(s[i]));
    out += buf;
  }
  return out + (s.size() > 16 ? "..(" : "(") + std::to_string(s.size()) + ")";
}

#define RC_EQ(expected, expr)                                                         \
  do {                                                                                \
    int rc_ = (expr);                                                                 \
    ASSERT_EQ((expected), rc_) << #expr << ": " << orv_strerror(rc_) << " (expected " \
                               << orv_strerror(expected) << ")";                      \
  } while (0)

// ---- The harness ---------------------------------------------------------------------

// One write transaction level: the transaction, its model and the key the
// shared cursor stands on (when have_ckey).
struct Level {
  ORV_txn *txn = nullptr;
  Model model;
  bool have_ckey = false;
  std::string ckey;
};

struct Snapshot {
  ORV_txn *txn = nullptr;
  Model model;
  int age = 0;
};

class Harness {
 public:
  Harness(const Config &cfg, uint64_t seed, long ops)
      : cfg_(cfg), rng_(seed), ops_(ops), committed_(KeyLess{cfg.order}) {
    psize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    keyspace_ = std::max<long>(64, ops / 2);
    nested_ok_ = !(cfg.env_flags & (ORV_WRITEMAP | ORV_INMEMORY));
    const char *base = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int p = 0; p < 3; p++) {
      std::string s;
      while (s.size() < 520) s += base[(rng_() % 52)];
      prefixes_.push_back(s);
    }
  }
  ~Harness() { Shutdown(); }

  void Run();

 private:
  void Open();
  void Shutdown();
  void Reopen();
  void WriteRound();
  void Ops(std::vector<Level> &levels, int n);
  void Step(Level &lv);
  void CheckCursorCurrent(Level &lv);
  void CheckView(ORV_txn *txn, const Model &m, bool full);
  void CheckSnapshots();
  void MaybeStartSnapshot();

  std::string PoolKey(uint64_t id);
  std::string RandomKey();
  std::string Successor(const std::string &k);
  std::string Value();
  bool Less(const std::string &a, const std::string &b) const {
    return model_cmp(cfg_.order, a, b) < 0;
  }
  unsigned Pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }

  const Config &cfg_;
  std::mt19937_64 rng_;
  long ops_;
  long keyspace_;
  size_t psize_;
  bool nested_ok_;
  std::vector<std::string> prefixes_;
  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
  ORV_cursor *cursor_ = nullptr;  // of the current write transaction
  Model committed_;
  std::vector<Snapshot> snaps_;
  int round_ = 0;
};

std::string Harness::PoolKey(uint64_t id) {
  switch (cfg_.order) {
    case Order::int4: {
      uint32_t v = static_cast<uint32_t>(id * 2654435761u);
      return std::string(reinterpret_cast<const char *>(&v), 4);
    }
    case Order::int8: {
      uint64_t v = id * 0x9E3779B97F4A7C15ull;
      return std::string(reinterpret_cast<const char *>(&v), 8);
    }
    default:
      break;
  }
  // Distinct ids give distinct keys: letters, then the id's digits.
  std::string digits = std::to_string(id);
  uint64_t h = (id * 0x9E3779B97F4A7C15ull) >> 32;
  size_t room = ORV_MAXKEYSIZE - digits.size();
  size_t plen;
  switch (h % 6) {
    case 0:
      plen = 0;
      break;
    case 1:
      plen = h % 16;
      break;
    case 2:
      plen = 100 + h % 60;
      break;
    case 3:
      plen = 300 + h % 150;
      break;
    case 4:
      plen = room;
      break;
    default:
      plen = h % 200;
      break;
  }
  plen = std::min(plen, room);
  const std::string &p = prefixes_[(h >> 8) % prefixes_.size()];
  return p.substr(0, plen) + digits;
}

std::string Harness::RandomKey() {
  if (Pick(2)) return PoolKey(rng_() % (keyspace_ * 2));
  switch (cfg_.order) {
    case Order::int4: {
      uint32_t v = static_cast<uint32_t>(rng_());
      return std::string(reinterpret_cast<const char *>(&v), 4);
    }
    case Order::int8: {
      uint64_t v = rng_();
      return std::string(reinterpret_cast<const char *>(&v), 8);
    }
    default: {
      std::string k = prefixes_[Pick(3)].substr(0, Pick(480));
      size_t extra = 1 + Pick(8);
      for (size_t i = 0; i < extra; i++) k += static_cast<char>(rng_());
      return k;
    }
  }
}

// A key that sorts right after k, or k itself when there is none.
std::string Harness::Successor(const std::string &k) {
  switch (cfg_.order) {
    case Order::int4: {
      uint32_t v;
      std::memcpy(&v, k.data(), 4);
      if (v != UINT32_MAX) v++;
      return std::string(reinterpret_cast<const char *>(&v), 4);
    }
    case Order::int8: {
      uint64_t v;
      std::memcpy(&v, k.data(), 8);
      if (v != UINT64_MAX) v++;
      return std::string(reinterpret_cast<const char *>(&v), 8);
    }
    case Order::reverse:
      return k.size() < ORV_MAXKEYSIZE ? std::string(1, '\0') + k : k;
    case Order::bytes:
      break;
  }
  return k.size() < ORV_MAXKEYSIZE ? k + std::string(1, '\0') : k;
}

std::string Harness::Value() {
  unsigned r = Pick(100);
  size_t n;
  if (r < 8)
    n = 0;
  else if (r < 70)
    n = 1 + Pick(64);
  else if (r < 90)
    n = 65 + Pick(1200);
  else if (r < 97)
    n = 1200 + Pick(static_cast<unsigned>(2 * psize_));
  else
    n = 2 * psize_ + Pick(static_cast<unsigned>(3 * psize_));
  std::string v(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    uint64_t w = rng_();
    std::memcpy(v.data() + i, &w, std::min<size_t>(8, n - i));
  }
  return v;
}

void Harness::Open() {
  RC_EQ(0, orv_env_create(&env_));
  RC_EQ(0, orv_env_set_mapsize(env_, size_t{256} << 20));
  RC_EQ(0, orv_env_set_maxdbs(env_, 4));
  unsigned flags = cfg_.env_flags | ORV_NOTLS;
  std::string path = (flags & ORV_INMEMORY)   ? std::string(":memory:")
                     : (flags & ORV_NOSUBDIR) ? dir_.file("data")
                                              : dir_.path();
  RC_EQ(0, orv_env_open(env_, path.c_str(), flags, 0644));
  ORV_txn *txn = nullptr;
  RC_EQ(0, orv_txn_begin(env_, nullptr, 0, &txn));
  int rc = orv_dbi_open(txn, cfg_.named ? "t" : nullptr, cfg_.db_flags | ORV_CREATE, &dbi_);
  if (rc != 0) orv_txn_abort(txn);
  RC_EQ(0, rc);
  RC_EQ(0, orv_txn_commit(txn));
}

void Harness::Shutdown() {
  for (Snapshot &s : snaps_) orv_txn_abort(s.txn);
  snaps_.clear();
  if (env_) orv_env_close(env_);
  env_ = nullptr;
}

void Harness::Reopen() {
  Shutdown();
  Open();
  if (::testing::Test::HasFatalFailure()) return;
  // The database must come back with its flags.
  ORV_txn *txn = nullptr;
  RC_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
  unsigned flags = 0;
  int rc = orv_dbi_flags(txn, dbi_, &flags);
  orv_txn_abort(txn);
  RC_EQ(0, rc);
  EXPECT_EQ(cfg_.db_flags, flags);
}

void Harness::CheckCursorCurrent(Level &lv) {
  if (!lv.have_ckey) return;
  ORV_val k{}, d{};
  RC_EQ(0, orv_cursor_get(cursor_, &k, &d, ORV_GET_CURRENT));
  ASSERT_EQ(show(lv.ckey), show(S(k))) << "the tracked cursor moved";
  auto it = lv.model.find(lv.ckey);
  ASSERT_TRUE(it != lv.model.end());
  ASSERT_TRUE(S(d) == it->second) << "value under the tracked cursor differs for key "
                                  << show(lv.ckey);
}

// One random operation in the innermost transaction.
void Harness::Step(Level &lv) {
  ORV_txn *txn = lv.txn;
  Model &m = lv.model;
  unsigned r = Pick(100);
  bool del = args().del;
  if (r < 34) {  // plain put: insert or overwrite
    std::string k = PoolKey(rng_() % keyspace_), v = Value();
    ORV_val kv = V(k), dv = V(v);
    if (Pick(3) == 0) {  // through the cursor, which then stands on the entry
      RC_EQ(0, orv_cursor_put(cursor_, &kv, &dv, 0));
      m[k] = v;
      lv.have_ckey = true;
      lv.ckey = k;
      CheckCursorCurrent(lv);
      return;
    }
    RC_EQ(0, orv_put(txn, dbi_, &kv, &dv, 0));
    m[k] = v;
  } else if (r < 44) {  // ORV_NOOVERWRITE
    std::string k = PoolKey(rng_() % keyspace_), v = Value();
    ORV_val kv = V(k), dv = V(v);
    auto it = m.find(k);
    if (it != m.end()) {
      RC_EQ(ORV_KEYEXIST, orv_put(txn, dbi_, &kv, &dv, ORV_NOOVERWRITE));
      ASSERT_TRUE(S(dv) == it->second) << "ORV_KEYEXIST must hand back the stored value";
    } else {
      RC_EQ(0, orv_put(txn, dbi_, &kv, &dv, ORV_NOOVERWRITE));
      m[k] = v;
    }
  } else if (r < 52) {  // ORV_RESERVE
    std::string k = PoolKey(rng_() % keyspace_), v = Value();
    ORV_val kv = V(k), dv{v.size(), nullptr};
    RC_EQ(0, orv_put(txn, dbi_, &kv, &dv, ORV_RESERVE));
    ASSERT_EQ(v.size(), dv.mv_size);
    if (!v.empty()) {
      ASSERT_NE(nullptr, dv.mv_data);
      std::memcpy(dv.mv_data, v.data(), v.size());
    }
    m[k] = v;
  } else if (r < 59) {  // ORV_APPEND, half of the time with a key that fits
    std::string k =
        (m.empty() || Pick(2)) ? PoolKey(rng_() % keyspace_) : Successor(m.rbegin()->first);
    std::string v = Value();
    ORV_val kv = V(k), dv = V(v);
    if (m.empty() || Less(m.rbegin()->first, k)) {
      RC_EQ(0, orv_put(txn, dbi_, &kv, &dv, ORV_APPEND));
      m[k] = v;
    } else {
      RC_EQ(ORV_KEYEXIST, orv_put(txn, dbi_, &kv, &dv, ORV_APPEND));
    }
  } else if (r < 66) {  // position the cursor, then ORV_CURRENT
    if (m.empty()) return;
    auto it = m.lower_bound(RandomKey());
    if (it == m.end()) it = m.begin();
    std::string k = it->first, v = Value();
    ORV_val kv = V(k), dv{};
    RC_EQ(0, orv_cursor_get(cursor_, &kv, &dv, ORV_SET));
    lv.have_ckey = true;
    lv.ckey = k;
    ASSERT_TRUE(S(dv) == it->second);
    dv = V(v);
    RC_EQ(0, orv_cursor_put(cursor_, &kv, &dv, ORV_CURRENT));
    m[k] = v;
    CheckCursorCurrent(lv);
  } else if (r < 72) {  // ORV_SET_RANGE on the shared cursor
    std::string probe = RandomKey();
    ORV_val kv = V(probe), dv{};
    auto it = m.lower_bound(probe);
    if (it == m.end()) {
      RC_EQ(ORV_NOTFOUND, orv_cursor_get(cursor_, &kv, &dv, ORV_SET_RANGE));
      lv.have_ckey = false;
    } else {
      RC_EQ(0, orv_cursor_get(cursor_, &kv, &dv, ORV_SET_RANGE));
      ASSERT_EQ(show(it->first), show(S(kv)));
      lv.have_ckey = true;
      lv.ckey = it->first;
    }
  } else if (r < 80 && del) {  // orv_del
    std::string k = PoolKey(rng_() % keyspace_);
    if (Pick(2) && !m.empty()) {
      auto it = m.lower_bound(k);
      if (it != m.end()) k = it->first;
    }
    ORV_val kv = V(k);
    bool present = m.count(k) != 0;
    RC_EQ(present ? 0 : ORV_NOTFOUND, orv_del(txn, dbi_, &kv, nullptr));
    m.erase(k);
    if (lv.have_ckey && lv.ckey == k) lv.have_ckey = false;
  } else if (r < 84 && del) {  // cursor delete, then ORV_NEXT
    if (m.empty()) return;
    auto it = m.lower_bound(RandomKey());
    if (it == m.end()) it = m.begin();
    std::string k = it->first;
    ORV_val kv = V(k), dv{};
    RC_EQ(0, orv_cursor_get(cursor_, &kv, &dv, ORV_SET));
    RC_EQ(0, orv_cursor_del(cursor_, 0));
    it = m.erase(it);
    if (it == m.end()) {
      RC_EQ(ORV_NOTFOUND, orv_cursor_get(cursor_, &kv, &dv, ORV_NEXT));
      lv.have_ckey = false;
    } else {
      RC_EQ(0, orv_cursor_get(cursor_, &kv, &dv, ORV_NEXT));
      ASSERT_EQ(show(it->first), show(S(kv))) << "ORV_NEXT after a cursor delete";
      lv.have_ckey = true;
      lv.ckey = it->first;
    }
  } else if (r < 94) {  // point lookup
    std::string k = Pick(4) ? PoolKey(rng_() % keyspace_) : RandomKey();
    ORV_val kv = V(k), dv{};
    auto it = m.find(k);
    if (it == m.end()) {
      RC_EQ(ORV_NOTFOUND, orv_get(txn, dbi_, &kv, &dv));
    } else {
      RC_EQ(0, orv_get(txn, dbi_, &kv, &dv));
      ASSERT_TRUE(S(dv) == it->second) << "orv_get of " << show(k);
    }
  } else if (r < 97 || !lv.have_ckey) {
    CheckCursorCurrent(lv);
  } else {  // step the tracked cursor: its whole stack must have followed the writes
    bool forward = Pick(2);
    auto it = m.find(lv.ckey);
    ASSERT_TRUE(it != m.end());
    ORV_val kv{}, dv{};
    int rc = orv_cursor_get(cursor_, &kv, &dv, forward ? ORV_NEXT : ORV_PREV);
    if (forward ? std::next(it) == m.end() : it == m.begin()) {
      RC_EQ(ORV_NOTFOUND, rc);
      // After a failed forward step the cursor still stands on the last entry.
      lv.have_ckey = forward;
      return;
    }
    it = forward ? std::next(it) : std::prev(it);
    RC_EQ(0, rc);
    ASSERT_EQ(show(it->first), show(S(kv)))
        << (forward ? "ORV_NEXT" : "ORV_PREV") << " from the tracked cursor";
    ASSERT_TRUE(S(dv) == it->second);
    lv.ckey = it->first;
  }
}

// Runs n operations, sometimes inside nested transactions.
void Harness::Ops(std::vector<Level> &levels, int n) {
  for (int i = 0; i < n; i++) {
    Level &lv = levels.back();
    if (nested_ok_ && levels.size() < 3 && Pick(100) < 2) {
      Level child;
      RC_EQ(0, orv_txn_begin(env_, lv.txn, 0, &child.txn));
      child.model = lv.model;
      child.have_ckey = lv.have_ckey;
      child.ckey = lv.ckey;
      levels.push_back(std::move(child));
      Ops(levels, 5 + Pick(40));
      if (::testing::Test::HasFatalFailure()) return;
      ASSERT_TREE_VALID(levels.back().txn);
      Level done = std::move(levels.back());
      levels.pop_back();
      Level &parent = levels.back();
      if (Pick(5) < 3) {
        RC_EQ(0, orv_txn_commit(done.txn));
        parent.model = std::move(done.model);
        parent.have_ckey = done.have_ckey;
        parent.ckey = done.ckey;
      } else {
        orv_txn_abort(done.txn);
        // The cursor is back where it stood before the child began.
      }
      CheckCursorCurrent(parent);
      if (::testing::Test::HasFatalFailure()) return;
      continue;
    }
    Step(lv);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Compares everything a transaction sees with a model.
void Harness::CheckView(ORV_txn *txn, const Model &m, bool full) {
  ORV_cursor *c = nullptr;
  RC_EQ(0, orv_cursor_open(txn, dbi_, &c));
  std::unique_ptr<ORV_cursor, void (*)(ORV_cursor *)> guard(c, orv_cursor_close);
  ORV_val k{}, d{};
  // Forward.
  auto it = m.begin();
  int rc = orv_cursor_get(c, &k, &d, ORV_FIRST);
  for (; rc == 0; rc = orv_cursor_get(c, &k, &d, ORV_NEXT), ++it) {
    ASSERT_TRUE(it != m.end()) << "forward walk returns extra key " << show(S(k));
    ASSERT_EQ(show(it->first), show(S(k))) << "forward walk";
    ASSERT_TRUE(S(d) == it->second) << "forward walk: value of " << show(it->first);
  }
  RC_EQ(ORV_NOTFOUND, rc);
  ASSERT_TRUE(it == m.end()) << "forward walk stops before " << show(it->first);
  if (!m.empty()) {  // a failed step leaves the cursor on the last entry
    RC_EQ(0, orv_cursor_get(c, &k, &d, ORV_GET_CURRENT));
    ASSERT_EQ(show(m.rbegin()->first), show(S(k)));
  }
  // Backward.
  auto rit = m.rbegin();
  rc = orv_cursor_get(c, &k, &d, ORV_LAST);
  for (; rc == 0; rc = orv_cursor_get(c, &k, &d, ORV_PREV), ++rit) {
    ASSERT_TRUE(rit != m.rend()) << "backward walk returns extra key " << show(S(k));
    ASSERT_EQ(show(rit->first), show(S(k))) << "backward walk";
    if (full) {
      ASSERT_TRUE(S(d) == rit->second) << "backward walk: value of " << show(rit->first);
    }
  }
  RC_EQ(ORV_NOTFOUND, rc);
  ASSERT_TRUE(rit == m.rend());
  // Probes.
  for (int i = 0; i < (full ? 40 : 10); i++) {
    std::string probe = RandomKey();
    ORV_val pk = V(probe), pd{};
    auto lb = m.lower_bound(probe);
    if (lb == m.end()) {
      RC_EQ(ORV_NOTFOUND, orv_cursor_get(c, &pk, &pd, ORV_SET_RANGE));
    } else {
      RC_EQ(0, orv_cursor_get(c, &pk, &pd, ORV_SET_RANGE));
      ASSERT_EQ(show(lb->first), show(S(pk))) << "ORV_SET_RANGE " << show(probe);
      ASSERT_TRUE(S(pd) == lb->second);
      // A step from a probed position continues in order.
      auto nx = std::next(lb);
      rc = orv_cursor_get(c, &pk, &pd, ORV_NEXT);
      if (nx == m.end()) {
        RC_EQ(ORV_NOTFOUND, rc);
      } else {
        RC_EQ(0, rc);
        ASSERT_EQ(show(nx->first), show(S(pk)));
      }
    }
    std::string key = PoolKey(rng_() % keyspace_);
    ORV_val gk = V(key), gd{};
    auto f = m.find(key);
    RC_EQ(f == m.end() ? ORV_NOTFOUND : 0, orv_get(txn, dbi_, &gk, &gd));
    if (f != m.end()) {
      ASSERT_TRUE(S(gd) == f->second);
    }
    RC_EQ(f == m.end() ? ORV_NOTFOUND : 0, orv_cursor_get(c, &gk, &gd, ORV_SET_KEY));
  }
  ORV_stat st{};
  RC_EQ(0, orv_stat(txn, dbi_, &st));
  ASSERT_EQ(m.size(), st.ms_entries);
  ASSERT_TREE_VALID(txn);
}

void Harness::MaybeStartSnapshot() {
  if (snaps_.size() >= 2 || Pick(4) != 0) return;
  Snapshot s;
  s.model = committed_;
  RC_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &s.txn));
  snaps_.push_back(std::move(s));
}

void Harness::CheckSnapshots() {
  for (size_t i = 0; i < snaps_.size();) {
    CheckView(snaps_[i].txn, snaps_[i].model, false);
    if (::testing::Test::HasFatalFailure()) return;
    if (++snaps_[i].age > 3 && Pick(2)) {
      orv_txn_abort(snaps_[i].txn);
      snaps_.erase(snaps_.begin() + i);
    } else {
      i++;
    }
  }
}

void Harness::WriteRound() {
  std::vector<Level> levels(1);
  RC_EQ(0, orv_txn_begin(env_, nullptr, 0, &levels[0].txn));
  levels[0].model = committed_;
  int rc = orv_cursor_open(levels[0].txn, dbi_, &cursor_);
  if (rc != 0) orv_txn_abort(levels[0].txn);
  RC_EQ(0, rc);
  if (!nested_ok_ && round_ == 0) {
    ORV_txn *child = nullptr;
    EXPECT_EQ(ORV_BAD_TXN, orv_txn_begin(env_, levels[0].txn, 0, &child));
  }
  Ops(levels, kOpsPerRound / 2 + static_cast<int>(Pick(kOpsPerRound)));
  if (::testing::Test::HasFatalFailure()) {
    // Unwind innermost first; the top-level abort releases the cursor.
    orv_txn_abort(levels[0].txn);
    return;
  }
  // The writer sees its own changes, and its trees are sound.
  CheckView(levels[0].txn, levels[0].model, false);
  if (::testing::Test::HasFatalFailure()) {
    orv_txn_abort(levels[0].txn);
    return;
  }
  orv_cursor_close(cursor_);
  cursor_ = nullptr;
  if (Pick(10) == 0) {
    orv_txn_abort(levels[0].txn);
  } else {
    RC_EQ(0, orv_txn_commit(levels[0].txn));
    committed_ = std::move(levels[0].model);
  }
}

void Harness::Run() {
  Open();
  if (::testing::Test::HasFatalFailure()) return;
  long rounds = std::max<long>(1, ops_ / kOpsPerRound);
  for (round_ = 0; round_ < rounds; round_++) {
    SCOPED_TRACE("round " + std::to_string(round_));
    MaybeStartSnapshot();
    WriteRound();
    if (::testing::Test::HasFatalFailure()) return;
    ORV_txn *txn = nullptr;
    RC_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
    CheckView(txn, committed_, true);
    orv_txn_abort(txn);
    if (::testing::Test::HasFatalFailure()) return;
    CheckSnapshots();
    if (::testing::Test::HasFatalFailure()) return;
    if (!(cfg_.env_flags & ORV_INMEMORY) && Pick(6) == 0) {
      Reopen();
      if (::testing::Test::HasFatalFailure()) return;
      RC_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
      CheckView(txn, committed_, true);
      orv_txn_abort(txn);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

class Differential : public ::testing::TestWithParam<Config> {};

TEST_P(Differential, MatchesModel) {
  const Config &cfg = GetParam();
  std::vector<uint64_t> seeds(std::begin(kDefaultSeeds), std::end(kDefaultSeeds));
  if (args().seed) seeds = {args().seed};
  long ops = args().ops ? args().ops : kDefaultOps;
  for (uint64_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: --gtest_filter='*" + cfg.name +
                 "*' --seed=" + std::to_string(seed) + " --ops=" + std::to_string(ops) +
                 (args().del ? "" : " --del=0") + ")");
    Harness(cfg, seed, ops).Run();
    if (HasFailure()) {
      std::fprintf(stderr, "differential test failed: config %s seed %" PRIu64 " ops %ld\n",
                   cfg.name, seed, ops);
      return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Configs, Differential, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config> &info) {
                           return std::string(info.param.name);
                         });

// ---- Sorted duplicates -----------------------------------------------------------------
//
// The same kind of workload over databases with ORV_DUPSORT, against a
// std::map of std::set ordered by the database's key and value orders:
// puts with every flag (ORV_NODUPDATA, ORV_NOOVERWRITE, ORV_APPENDDUP,
// ORV_MULTIPLE for fixed-size values), deletes by key, by value and through
// a cursor while a second cursor watches an entry nearby, whole-database
// drops, rounds that grow a few keys into sub-databases and rounds that
// shrink everything to empty, inside nested transactions too.

enum class ValKind { bytes, fixed8, int4, int8 };

struct DupConfig {
  const char *name;
  unsigned env_flags;
  unsigned db_flags;  // ORV_DUPSORT is added
  Order key_order;
  Order val_order;
  ValKind vals;
};

constexpr long kDupDefaultOps = 2400;

const DupConfig kDupConfigs[] = {
    {"Dup", ORV_NOSYNC, 0, Order::bytes, Order::bytes, ValKind::bytes},
    {"DupFixed", ORV_NOSYNC, ORV_DUPFIXED, Order::bytes, Order::bytes, ValKind::fixed8},
    {"DupFixedInt8Writemap", ORV_WRITEMAP | ORV_NOSYNC, ORV_DUPFIXED | ORV_INTEGERDUP, Order::bytes,
     Order::int8, ValKind::int8},
    {"DupFixedInt4Counted", ORV_NOSYNC, ORV_DUPFIXED | ORV_INTEGERDUP | ORV_COUNTED, Order::bytes,
     Order::int4, ValKind::int4},
    {"DupReverseDup", ORV_NOSYNC, ORV_REVERSEDUP, Order::bytes, Order::reverse, ValKind::bytes},
    {"DupReverseKeyInMemory", ORV_INMEMORY, ORV_REVERSEKEY, Order::reverse, Order::bytes,
     ValKind::bytes},
    {"DupCounted", ORV_NOSYNC, ORV_COUNTED, Order::bytes, Order::bytes, ValKind::bytes},
    {"DupPrefix", ORV_NOSYNC, ORV_PREFIXKEY, Order::bytes, Order::bytes, ValKind::bytes},
    {"DupPrefixReverseDupCounted", ORV_NOSYNC, ORV_PREFIXKEY | ORV_REVERSEDUP | ORV_COUNTED,
     Order::bytes, Order::reverse, ValKind::bytes},
    {"DupPrefixCountedWritemap", ORV_WRITEMAP | ORV_NOSYNC, ORV_PREFIXKEY | ORV_COUNTED,
     Order::bytes, Order::bytes, ValKind::bytes},
    {"DupFixedCountedPrefix", ORV_NOSYNC, ORV_DUPFIXED | ORV_COUNTED | ORV_PREFIXKEY, Order::bytes,
     Order::bytes, ValKind::fixed8},
    {"DupIntKeyReverseDupCounted", ORV_NOSYNC, ORV_INTEGERKEY | ORV_REVERSEDUP | ORV_COUNTED,
     Order::int8, Order::reverse, ValKind::bytes},
};

void PrintTo(const DupConfig &c, std::ostream *os) { *os << c.name; }

struct ValLess {
  Order order;
  bool operator()(const std::string &a, const std::string &b) const {
    return model_cmp(order, a, b) < 0;
  }
};

using ValSet = std::set<std::string, ValLess>;
using DupModel = std::map<std::string, ValSet, KeyLess>;

// A second cursor standing on one pair while the other operations run.
struct Watcher {
  bool on = false;
  std::string key, val;
};

struct DupLevel {
  ORV_txn *txn = nullptr;
  DupModel model;
  Watcher watch;
};

class DupHarness {
 public:
  DupHarness(const DupConfig &cfg, uint64_t seed, long ops)
      : cfg_(cfg), rng_(seed), ops_(ops), committed_(KeyLess{cfg.key_order}) {
    nested_ok_ = !(cfg.env_flags & (ORV_WRITEMAP | ORV_INMEMORY));
    const char *base = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    while (prefix_.size() < 520) prefix_ += base[rng_() % 52];
  }
  ~DupHarness() {
    if (env_) orv_env_close(env_);
  }
  void Run();

 private:
  void Open();
  void Round(bool shrink);
  void Ops(std::vector<DupLevel> &levels, int n, bool shrink);
  void Step(DupLevel &lv, bool shrink);
  void Put(DupLevel &lv);
  void Delete(DupLevel &lv);
  void CheckWatcher(DupLevel &lv);
  void CheckView(ORV_txn *txn, const DupModel &m);
  bool Next(const DupModel &m, const std::string &k, const std::string &v, std::string *nk,
            std::string *nv) const;

  std::string Key();
  std::string Val();
  ValSet NewSet() const { return ValSet(ValLess{cfg_.val_order}); }
  bool VLess(const std::string &a, const std::string &b) const {
    return model_cmp(cfg_.val_order, a, b) < 0;
  }
  unsigned Pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  static uint64_t Entries(const DupModel &m) {
    uint64_t n = 0;
    for (const auto &[k, vs] : m) n += vs.size();
    return n;
  }

  const DupConfig &cfg_;
  std::mt19937_64 rng_;
  long ops_;
  bool nested_ok_;
  std::string prefix_;
  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
  ORV_cursor *cursor_ = nullptr;  // the deleting and putting cursor
  ORV_cursor *watch_ = nullptr;   // the watching cursor
  DupModel committed_;
  uint64_t subdbs_seen_ = 0;  // keys found holding a sub-database
  std::string last_op_;       // what ran last, for failure messages
};

// A few keys get most of the values, so that they grow into sub-databases
// while the others stay in sub-pages.
std::string DupHarness::Key() {
  const uint64_t id = Pick(4) ? Pick(4) : 4 + Pick(40);
  if (cfg_.key_order == Order::int8) {
    const uint64_t v = id * 0x9E3779B97F4A7C15ull;
    return std::string(reinterpret_cast<const char *>(&v), 8);
  }
  return prefix_.substr(0, (id * 37) % 300) + std::to_string(id);
}

std::string DupHarness::Val() {
  switch (cfg_.vals) {
    case ValKind::int4: {
      const uint32_t v = static_cast<uint32_t>(rng_() % 5000);
      return std::string(reinterpret_cast<const char *>(&v), 4);
    }
    case ValKind::int8: {
      const uint64_t v = (rng_() % 3) << 40 | rng_() % 5000;
      return std::string(reinterpret_cast<const char *>(&v), 8);
    }
    case ValKind::fixed8: {
      std::string v = prefix_.substr(0, Pick(6));
      while (v.size() < 8) v += static_cast<char>('a' + Pick(26));
      return v;
    }
    case ValKind::bytes:
      break;
  }
  // Values share long prefixes now and then, so that compressed sub-pages
  // re-encode when their first value goes.
  std::string v = Pick(3) == 0 ? prefix_.substr(0, Pick(400)) : std::string();
  const size_t extra = 1 + Pick(Pick(8) == 0 ? 100 : 12);
  for (size_t i = 0; i < extra; i++) v += static_cast<char>('a' + Pick(26));
  return v.substr(0, ORV_MAXKEYSIZE);
}

void DupHarness::Open() {
  RC_EQ(0, orv_env_create(&env_));
  RC_EQ(0, orv_env_set_mapsize(env_, size_t{256} << 20));
  RC_EQ(0, orv_env_set_maxdbs(env_, 4));
  const unsigned flags = cfg_.env_flags | ORV_NOTLS;
  const std::string path = (flags & ORV_INMEMORY) ? std::string(":memory:") : dir_.path();
  RC_EQ(0, orv_env_open(env_, path.c_str(), flags, 0644));
  ORV_txn *txn = nullptr;
  RC_EQ(0, orv_txn_begin(env_, nullptr, 0, &txn));
  int rc = orv_dbi_open(txn, "d", cfg_.db_flags | ORV_DUPSORT | ORV_CREATE, &dbi_);
  if (rc != 0) orv_txn_abort(txn);
  RC_EQ(0, rc);
  RC_EQ(0, orv_txn_commit(txn));
}

// The pair that follows (k, v) in m.
bool DupHarness::Next(const DupModel &m, const std::string &k, const std::string &v,
                      std::string *nk, std::string *nv) const {
  auto it = m.lower_bound(k);
  if (it != m.end() && it->first == k) {
    auto vi = it->second.upper_bound(v);
    if (vi != it->second.end()) {
      *nk = k;
      *nv = *vi;
      return true;
    }
    ++it;
  }
  if (it == m.end()) return false;
  *nk = it->first;
  *nv = *it->second.begin();
  return true;
}

// The watcher still stands on its pair; when the pair went, its next step
// returns the pair that followed, and it watches that one.
void DupHarness::CheckWatcher(DupLevel &lv) {
  Watcher &w = lv.watch;
  if (!w.on) return;
  ORV_val k{}, d{};
  auto it = lv.model.find(w.key);
  if (it != lv.model.end() && it->second.count(w.val)) {
    RC_EQ(0, orv_cursor_get(watch_, &k, &d, ORV_GET_CURRENT));
    ASSERT_EQ(show(w.key), show(S(k))) << "the watching cursor moved";
    ASSERT_EQ(show(w.val), show(S(d))) << "the watching cursor moved within its key";
    return;
  }
  std::string nk, nv;
  const int rc = orv_cursor_get(watch_, &k, &d, ORV_NEXT);
  if (!Next(lv.model, w.key, w.val, &nk, &nv)) {
    RC_EQ(ORV_NOTFOUND, rc);
    w.on = false;
    return;
  }
  RC_EQ(0, rc);
  ASSERT_EQ(show(nk), show(S(k))) << "ORV_NEXT of a cursor whose pair " << show(w.key) << "/"
                                  << show(w.val) << " went by " << last_op_;
  ASSERT_EQ(show(nv), show(S(d))) << "ORV_NEXT of a cursor whose pair " << show(w.key) << "/"
                                  << show(w.val) << " went by " << last_op_;
  w.key = nk;
  w.val = nv;
}

void DupHarness::Put(DupLevel &lv) {
  DupModel &m = lv.model;
  std::string k = Key(), v = Val();
  ORV_val kv = V(k), dv = V(v);
  auto it = m.find(k);
  const bool has_key = it != m.end();
  const bool has_pair = has_key && it->second.count(v);
  const unsigned r = Pick(100);
  last_op_ = "put of " + show(k) + "/" + show(v) + " r " + std::to_string(r);
  if (r < 40) {  // plain put: adds the value (an existing pair stays as it is)
    if (Pick(3) == 0) {
      RC_EQ(0, orv_cursor_put(cursor_, &kv, &dv, 0));
      ORV_val ck{}, cd{};
      RC_EQ(0, orv_cursor_get(cursor_, &ck, &cd, ORV_GET_CURRENT));
      ASSERT_EQ(show(k), show(S(ck))) << "the cursor stands on what it put";
      ASSERT_EQ(show(v), show(S(cd)));
    } else {
      RC_EQ(0, orv_put(lv.txn, dbi_, &kv, &dv, 0));
    }
    if (!has_key) it = m.emplace(k, NewSet()).first;
    it->second.insert(v);
  } else if (r < 55) {  // ORV_NODUPDATA
    RC_EQ(has_pair ? ORV_KEYEXIST : 0, orv_put(lv.txn, dbi_, &kv, &dv, ORV_NODUPDATA));
    if (!has_key) it = m.emplace(k, NewSet()).first;
    it->second.insert(v);
  } else if (r < 62) {  // ORV_NOOVERWRITE: hands back the key's first value
    RC_EQ(has_key ? ORV_KEYEXIST : 0, orv_put(lv.txn, dbi_, &kv, &dv, ORV_NOOVERWRITE));
    if (has_key) {
      ASSERT_EQ(show(*it->second.begin()), show(S(dv))) << "ORV_KEYEXIST hands back a value";
    } else {
      m.emplace(k, NewSet()).first->second.insert(v);
    }
  } else if (r < 75 && has_key) {  // ORV_APPENDDUP, half of the time with a value that fits
    const std::string &last = *it->second.rbegin();
    if (Pick(2) && cfg_.vals == ValKind::bytes && cfg_.val_order == Order::bytes &&
        last.size() < ORV_MAXKEYSIZE)
      v = last + "+";
    dv = V(v);
    const bool fits = VLess(last, v);
    RC_EQ(fits ? 0 : ORV_KEYEXIST, orv_put(lv.txn, dbi_, &kv, &dv, ORV_APPENDDUP));
    if (fits) it->second.insert(v);
  } else if (cfg_.db_flags & ORV_DUPFIXED) {  // ORV_MULTIPLE with values not stored yet
    std::vector<std::string> fresh;
    std::string block;
    for (unsigned i = 0, n = 1 + Pick(80); i < n; i++) {
      std::string x = Val();
      if ((has_key && it->second.count(x)) ||
          std::find(fresh.begin(), fresh.end(), x) != fresh.end())
        continue;
      fresh.push_back(x);
      block += x;
    }
    if (fresh.empty()) return;
    ORV_val multi[2] = {{fresh[0].size(), block.data()}, {fresh.size(), nullptr}};
    RC_EQ(0, orv_cursor_put(cursor_, &kv, multi, ORV_MULTIPLE));
    ASSERT_EQ(fresh.size(), multi[1].mv_size) << "values stored by ORV_MULTIPLE";
    if (!has_key) it = m.emplace(k, NewSet()).first;
    for (const std::string &x : fresh) it->second.insert(x);
  }
}

void DupHarness::Delete(DupLevel &lv) {
  DupModel &m = lv.model;
  const unsigned r = Pick(100);
  // A pair that exists (mostly), or a random one.
  std::string k = Key(), v = Val();
  if (!m.empty() && Pick(4)) {
    auto it = m.lower_bound(k);
    if (it == m.end()) it = m.begin();
    k = it->first;
    auto vi = it->second.lower_bound(v);
    if (vi == it->second.end()) vi = it->second.begin();
    v = *vi;
  }
  ORV_val kv = V(k), dv = V(v);
  auto it = m.find(k);
  const bool has_key = it != m.end();
  const bool has_pair = has_key && it->second.count(v);
  last_op_ = "delete of " + show(k) + "/" + show(v);
  if (r < 35) {  // orv_del with the value
    last_op_ += " by orv_del";
    RC_EQ(has_pair ? 0 : ORV_NOTFOUND, orv_del(lv.txn, dbi_, &kv, &dv));
    if (has_pair) {
      it->second.erase(v);
      if (it->second.empty()) m.erase(it);
    }
  } else if (r < 42) {  // orv_del of the whole key
    last_op_ += " by orv_del of the key";
    RC_EQ(has_key ? 0 : ORV_NOTFOUND, orv_del(lv.txn, dbi_, &kv, nullptr));
    if (has_key) m.erase(it);
  } else if (has_pair) {  // through the cursor, then a step
    RC_EQ(0, orv_cursor_get(cursor_, &kv, &dv, ORV_GET_BOTH));
    const bool whole = Pick(5) == 0;
    last_op_ += whole ? " by ORV_NODUPDATA" : " by orv_cursor_del";
    RC_EQ(0, orv_cursor_del(cursor_, whole ? ORV_NODUPDATA : 0));
    // The value that followed within the key, if any.
    bool more = false;
    std::string next_dup;
    if (whole) {
      m.erase(it);
    } else {
      it->second.erase(v);
      auto ub = it->second.upper_bound(v);
      if (ub != it->second.end()) {
        more = true;
        next_dup = *ub;
      }
      if (it->second.empty()) m.erase(it);
    }
    ORV_val ck{}, cd{};
    if (Pick(2)) {  // ORV_NEXT_DUP stays within the key
      RC_EQ(more ? 0 : ORV_NOTFOUND, orv_cursor_get(cursor_, &ck, &cd, ORV_NEXT_DUP));
      if (more) {
        ASSERT_EQ(show(k), show(S(ck)));
        ASSERT_EQ(show(next_dup), show(S(cd))) << "ORV_NEXT_DUP after a cursor delete";
        return;
      }
    }
    std::string nk, nv;
    const int rc = orv_cursor_get(cursor_, &ck, &cd, ORV_NEXT);
    if (!Next(m, k, v, &nk, &nv)) {
      RC_EQ(ORV_NOTFOUND, rc);
      return;
    }
    RC_EQ(0, rc);
    ASSERT_EQ(show(nk), show(S(ck))) << "ORV_NEXT after a cursor delete";
    ASSERT_EQ(show(nv), show(S(cd))) << "ORV_NEXT after a cursor delete";
  }
}

void DupHarness::Step(DupLevel &lv, bool shrink) {
  const unsigned r = Pick(100);
  if (r < (shrink ? 20u : 85u)) {
    Put(lv);
  } else if (r < 95) {
    Delete(lv);
  } else if (r < 98 && lv.watch.on) {  // the watcher steps from its pair
    CheckWatcher(lv);
    if (::testing::Test::HasFatalFailure() || !lv.watch.on) return;
    Watcher &w = lv.watch;
    const bool forward = Pick(2);
    std::string nk, nv;
    bool have;
    if (forward) {
      have = Next(lv.model, w.key, w.val, &nk, &nv);
    } else {
      auto it = lv.model.find(w.key);
      auto vi = it->second.find(w.val);
      have = true;
      if (vi != it->second.begin()) {
        nk = w.key;
        nv = *std::prev(vi);
      } else if (it != lv.model.begin()) {
        --it;
        nk = it->first;
        nv = *it->second.rbegin();
      } else {
        have = false;
      }
    }
    ORV_val k{}, d{};
    const int rc = orv_cursor_get(watch_, &k, &d, forward ? ORV_NEXT : ORV_PREV);
    RC_EQ(have ? 0 : ORV_NOTFOUND, rc);
    if (!have) {
      // A failed step forward leaves the cursor on its pair.
      w.on = forward;
      return;
    }
    ASSERT_EQ(show(nk), show(S(k))) << (forward ? "ORV_NEXT" : "ORV_PREV") << " of the watcher";
    ASSERT_EQ(show(nv), show(S(d))) << (forward ? "ORV_NEXT" : "ORV_PREV") << " of the watcher";
    w.key = nk;
    w.val = nv;
  } else if (!shrink || Pick(12) != 0 || lv.model.empty()) {  // the watcher moves
    if (lv.model.empty()) return;
    auto it = lv.model.lower_bound(Key());
    if (it == lv.model.end()) it = lv.model.begin();
    auto vi = it->second.lower_bound(Val());
    if (vi == it->second.end()) vi = it->second.begin();
    ORV_val kv = V(it->first), dv = V(*vi);
    RC_EQ(0, orv_cursor_get(watch_, &kv, &dv, ORV_GET_BOTH));
    lv.watch = Watcher{true, it->first, *vi};
  } else {  // rarely: the whole database goes
    last_op_ = "drop";
    RC_EQ(0, orv_drop(lv.txn, dbi_, 0));
    lv.model.clear();
    lv.watch.on = false;
  }
  if (::testing::Test::HasFatalFailure()) return;
  CheckWatcher(lv);
}

void DupHarness::Ops(std::vector<DupLevel> &levels, int n, bool shrink) {
  for (int i = 0; i < n; i++) {
    DupLevel &lv = levels.back();
    if (nested_ok_ && levels.size() < 3 && Pick(100) < 3) {
      DupLevel child;
      RC_EQ(0, orv_txn_begin(env_, lv.txn, 0, &child.txn));
      child.model = lv.model;
      child.watch = lv.watch;
      levels.push_back(std::move(child));
      Ops(levels, 5 + Pick(40), shrink);
      if (::testing::Test::HasFatalFailure()) return;
      ASSERT_TREE_VALID(levels.back().txn);
      DupLevel done = std::move(levels.back());
      levels.pop_back();
      DupLevel &parent = levels.back();
      if (Pick(5) < 3) {
        RC_EQ(0, orv_txn_commit(done.txn));
        parent.model = std::move(done.model);
        parent.watch = done.watch;
      } else {
        orv_txn_abort(done.txn);  // the cursors are back where they stood
      }
      CheckWatcher(parent);
      if (::testing::Test::HasFatalFailure()) return;
      continue;
    }
    Step(lv, shrink);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Everything a transaction sees against a model: walks both ways, steps
// over keys, per-key counts, pair probes, statistics, ranks and range counts
// of counted databases, and the verifier.
void DupHarness::CheckView(ORV_txn *txn, const DupModel &m) {
  ORV_cursor *c = nullptr;
  RC_EQ(0, orv_cursor_open(txn, dbi_, &c));
  std::unique_ptr<ORV_cursor, void (*)(ORV_cursor *)> guard(c, orv_cursor_close);
  ORV_val k{}, d{};
  int rc = orv_cursor_get(c, &k, &d, ORV_FIRST);
  uint64_t rank = 0;
  const bool counted = cfg_.db_flags & ORV_COUNTED;
  for (const auto &[key, vals] : m) {
    bool first = true;
    for (const std::string &v : vals) {
      RC_EQ(0, rc);
      ASSERT_EQ(show(key), show(S(k))) << "forward walk";
      ASSERT_EQ(show(v), show(S(d))) << "forward walk, key " << show(key);
      if (first) {
        uint64_t n = 0;
        RC_EQ(0, orv_cursor_count(c, &n));
        ASSERT_EQ(vals.size(), n) << "orv_cursor_count of " << show(key);
        first = false;
      }
      if (counted && rank % 17 == 0) {
        ORV_val rk{}, rd{};
        RC_EQ(0, orv_get_rank(txn, dbi_, rank, &rk, &rd));
        ASSERT_EQ(show(key), show(S(rk))) << "rank " << rank;
        ASSERT_EQ(show(v), show(S(rd))) << "rank " << rank;
        uint64_t back = 0;
        ORV_val qk = V(key), qd = V(v);
        RC_EQ(0, orv_get_key_rank(txn, dbi_, &qk, &qd, &back));
        ASSERT_EQ(rank, back) << "pair rank of " << show(key);
      }
      rank++;
      rc = orv_cursor_get(c, &k, &d, ORV_NEXT);
    }
  }
  RC_EQ(ORV_NOTFOUND, rc);
  // Backward, and key by key.
  rc = orv_cursor_get(c, &k, &d, ORV_LAST);
  for (auto it = m.rbegin(); it != m.rend(); ++it) {
    for (auto vi = it->second.rbegin(); vi != it->second.rend(); ++vi) {
      RC_EQ(0, rc);
      ASSERT_EQ(show(it->first), show(S(k))) << "backward walk";
      ASSERT_EQ(show(*vi), show(S(d))) << "backward walk";
      rc = orv_cursor_get(c, &k, &d, ORV_PREV);
    }
  }
  RC_EQ(ORV_NOTFOUND, rc);
  rc = orv_cursor_get(c, &k, &d, ORV_FIRST);
  for (const auto &[key, vals] : m) {
    RC_EQ(0, rc);
    ASSERT_EQ(show(key), show(S(k))) << "ORV_NEXT_NODUP";
    ASSERT_EQ(show(*vals.begin()), show(S(d)));
    RC_EQ(0, orv_cursor_get(c, &k, &d, ORV_LAST_DUP));
    ASSERT_EQ(show(*vals.rbegin()), show(S(d))) << "ORV_LAST_DUP";
    const ORV_node *node = node_ptr(c->mc_pg[c->mc_top], c->mc_ki[c->mc_top]);
    if (node->mn_flags & F_SUBDATA) subdbs_seen_++;
    rc = orv_cursor_get(c, &k, &d, ORV_NEXT_NODUP);
  }
  RC_EQ(ORV_NOTFOUND, rc);
  // Pair probes.
  for (int i = 0; i < 20; i++) {
    std::string pk = Key(), pv = Val();
    auto it = m.find(pk);
    ORV_val kv = V(pk), dv = V(pv);
    const bool has = it != m.end() && it->second.count(pv);
    RC_EQ(has ? 0 : ORV_NOTFOUND, orv_cursor_get(c, &kv, &dv, ORV_GET_BOTH));
    kv = V(pk);
    dv = V(pv);
    auto lb = it == m.end() ? ValSet::const_iterator() : it->second.lower_bound(pv);
    const bool range = it != m.end() && lb != it->second.end();
    RC_EQ(range ? 0 : ORV_NOTFOUND, orv_cursor_get(c, &kv, &dv, ORV_GET_BOTH_RANGE));
    if (range) {
      ASSERT_EQ(show(*lb), show(S(dv))) << "ORV_GET_BOTH_RANGE";
    }
  }
  if (counted && !m.empty()) {
    // Range counts between two keys of the model.
    for (int i = 0; i < 4; i++) {
      auto lo = m.begin(), hi = m.begin();
      std::advance(lo, Pick(static_cast<unsigned>(m.size())));
      std::advance(hi, Pick(static_cast<unsigned>(m.size())));
      if (KeyLess{cfg_.key_order}(hi->first, lo->first)) std::swap(lo, hi);
      uint64_t keys = 0, values = 0;
      for (auto it = lo; it != std::next(hi); ++it) {
        keys++;
        values += it->second.size();
      }
      ORV_val lk = V(lo->first), hk = V(hi->first);
      const unsigned incl = ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL;
      uint64_t n = 0;
      RC_EQ(0, orv_range_count_keys(txn, dbi_, &lk, &hk, incl, &n));
      ASSERT_EQ(keys, n) << "orv_range_count_keys";
      RC_EQ(0, orv_range_count_values(txn, dbi_, &lk, &hk, incl, &n));
      ASSERT_EQ(values, n) << "orv_range_count_values";
    }
  }
  ORV_stat st{};
  RC_EQ(0, orv_stat(txn, dbi_, &st));
  ASSERT_EQ(Entries(m), st.ms_entries);
  ASSERT_TREE_VALID(txn);
}

void DupHarness::Round(bool shrink) {
  std::vector<DupLevel> levels(1);
  RC_EQ(0, orv_txn_begin(env_, nullptr, 0, &levels[0].txn));
  levels[0].model = committed_;
  ORV_txn *top = levels[0].txn;
  int rc = orv_cursor_open(top, dbi_, &cursor_);
  if (rc == 0) rc = orv_cursor_open(top, dbi_, &watch_);
  if (rc != 0) orv_txn_abort(top);
  RC_EQ(0, rc);
  Ops(levels, kOpsPerRound / 2 + static_cast<int>(Pick(kOpsPerRound)), shrink);
  if (!::testing::Test::HasFatalFailure() && shrink && Pick(2)) {
    // Down to empty: every value through the cursor, first to last.
    DupModel &m = levels[0].model;
    ORV_val k{}, d{};
    while (!::testing::Test::HasFatalFailure() && !m.empty()) {
      RC_EQ(0, orv_cursor_get(cursor_, &k, &d, ORV_FIRST));
      RC_EQ(0, orv_cursor_del(cursor_, 0));
      auto it = m.begin();
      it->second.erase(it->second.begin());
      if (it->second.empty()) m.erase(it);
      CheckWatcher(levels[0]);
    }
  }
  if (!::testing::Test::HasFatalFailure()) CheckView(top, levels[0].model);
  if (::testing::Test::HasFatalFailure()) {
    orv_txn_abort(top);
    return;
  }
  orv_cursor_close(cursor_);
  orv_cursor_close(watch_);
  cursor_ = watch_ = nullptr;
  if (Pick(10) == 0) {
    orv_txn_abort(top);
  } else {
    RC_EQ(0, orv_txn_commit(top));
    committed_ = std::move(levels[0].model);
  }
}

void DupHarness::Run() {
  Open();
  if (::testing::Test::HasFatalFailure()) return;
  const long rounds = std::max<long>(2, ops_ / kOpsPerRound);
  for (long round = 0; round < rounds; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Growing rounds, then a shrinking one now and then.
    Round(round % 4 == 3);
    if (::testing::Test::HasFatalFailure()) return;
    ORV_txn *txn = nullptr;
    RC_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
    CheckView(txn, committed_);
    orv_txn_abort(txn);
    if (::testing::Test::HasFatalFailure()) return;
    // No page leaked or freed twice by the round's deletes and drops.
    ASSERT_TRUE(orv_test::EnvTreesValid(env_));
  }
  if (ops_ >= kDupDefaultOps && args().seed == 0) {
    EXPECT_GT(subdbs_seen_, 0u) << "the workload never grew a key into a sub-database";
  }
}

class DupDifferential : public ::testing::TestWithParam<DupConfig> {};

TEST_P(DupDifferential, MatchesModel) {
  const DupConfig &cfg = GetParam();
  std::vector<uint64_t> seeds(std::begin(kDefaultSeeds), std::end(kDefaultSeeds));
  if (args().seed) seeds = {args().seed};
  const long ops = args().ops ? args().ops : kDupDefaultOps;
  for (uint64_t seed : seeds) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: --gtest_filter='*" + cfg.name +
                 "*' --seed=" + std::to_string(seed) + " --ops=" + std::to_string(ops) + ")");
    DupHarness(cfg, seed, ops).Run();
    if (HasFailure()) {
      std::fprintf(stderr, "differential test failed: config %s seed %" PRIu64 " ops %ld\n",
                   cfg.name, seed, ops);
      return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Configs, DupDifferential, ::testing::ValuesIn(kDupConfigs),
                         [](const ::testing::TestParamInfo<DupConfig> &info) {
                           return std::string(info.param.name);
                         });

// More seeds and longer workloads: ORV_SEED sets the first seed, ORV_ROUNDS
// the number of seeds (four each).
class DupDifferentialLongTest : public ::testing::TestWithParam<DupConfig> {};

TEST_P(DupDifferentialLongTest, MatchesModel) {
  const DupConfig &cfg = GetParam();
  const uint64_t first = orv_test::TestSetting("ORV_SEED", 1000);
  const uint64_t n = 4 * orv_test::TestSetting("ORV_ROUNDS", 1);
  const long ops = args().ops ? args().ops : 2 * kDupDefaultOps;
  for (uint64_t seed = first; seed < first + n; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: --gtest_filter='*DupDifferential.*" +
                 cfg.name + "' --seed=" + std::to_string(seed) + " --ops=" + std::to_string(ops) +
                 ")");
    DupHarness(cfg, seed, ops).Run();
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Configs, DupDifferentialLongTest, ::testing::ValuesIn(kDupConfigs),
                         [](const ::testing::TestParamInfo<DupConfig> &info) {
                           return std::string(info.param.name);
                         });

// ---- Large free lists ---------------------------------------------------------------------

// Whole-store rewrites free thousands of pages per commit, so the free-page
// database holds records on overflow runs, and later commits consume them
// partly (the remainder is saved back). Every snapshot must stay sound and
// account for every page.
class LargeFreeLists : public ::testing::TestWithParam<unsigned> {};

TEST_P(LargeFreeLists, RewritesKeepEveryPageAccountedFor) {
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(0, orv_env_create(&env));
  std::unique_ptr<ORV_env, void (*)(ORV_env *)> guard(env, orv_env_close);
  ASSERT_EQ(0, orv_env_set_mapsize(env, size_t{256} << 20));
  ASSERT_EQ(0, orv_env_open(env, dir.path().c_str(), GetParam() | ORV_NOSYNC | ORV_NOTLS, 0644));
  constexpr int kKeys = 1500;
  std::mt19937_64 rng(99);
  Model model(KeyLess{Order::bytes});
  ORV_txn *reader = nullptr;
  Model seen(KeyLess{Order::bytes});
  for (int pass = 0; pass < 6; pass++) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    ORV_txn *txn = nullptr;
    ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
    // Passes rewrite everything with values of 1 to 3 pages, or small ones.
    for (int i = 0; i < kKeys; i++) {
      char key[16];
      std::snprintf(key, sizeof key, "k%06d", (i * 7919) % kKeys);
      size_t n = pass % 3 == 2 ? 10 + rng() % 50 : 3000 + rng() % 9000;
      std::string v(n, static_cast<char>('A' + pass));
      ORV_val kv{std::strlen(key), key}, dv = V(v);
      ASSERT_EQ(0, orv_put(txn, MAIN_DBI, &kv, &dv, 0));
      model[key] = v;
    }
    ASSERT_TREE_VALID(txn);
    ASSERT_EQ(0, orv_txn_commit(txn));
    ASSERT_TRUE(orv_test::EnvTreesValid(env));
    // A reader from pass 1 holds its snapshot over passes 2 and 3.
    if (pass == 1) {
      ASSERT_EQ(0, orv_txn_begin(env, nullptr, ORV_RDONLY, &reader));
      seen = model;
    }
    if (reader) {
      ASSERT_TREE_VALID(reader);
      ORV_val kv{7, const_cast<char *>("k000042")}, dv{};
      ASSERT_EQ(0, orv_get(reader, MAIN_DBI, &kv, &dv));
      ASSERT_TRUE(S(dv) == seen.at("k000042"));
    }
    if (pass == 3) {
      orv_txn_abort(reader);
      reader = nullptr;
    }
  }
  ORV_txn *txn = nullptr;
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, ORV_RDONLY, &txn));
  orv_test::VerifyResult r = orv_test::VerifyTxn(txn);
  EXPECT_TRUE(r.ok()) << r.Report();
  EXPECT_GT(r.trees.at("@free").overflow_pages, 0u) << "no free-page record needed a run";
  ORV_cursor *c = nullptr;
  ASSERT_EQ(0, orv_cursor_open(txn, MAIN_DBI, &c));
  ORV_val k{}, d{};
  auto it = model.begin();
  for (int rc = orv_cursor_get(c, &k, &d, ORV_FIRST); rc == 0;
       rc = orv_cursor_get(c, &k, &d, ORV_NEXT), ++it) {
    ASSERT_TRUE(it != model.end());
    ASSERT_EQ(it->first, S(k));
    ASSERT_TRUE(it->second == S(d));
  }
  EXPECT_TRUE(it == model.end());
  orv_cursor_close(c);
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(Modes, LargeFreeLists, ::testing::Values(0u, unsigned{ORV_WRITEMAP}),
                         [](const ::testing::TestParamInfo<unsigned> &info) {
                           return std::string(info.param ? "WriteMap" : "Default");
                         });

}  // namespace
