// [put]: lib/btree/put.cc, lib/btree/split.cc, lib/page/node_edit.cc
//
// One harness runs over a table of database flag sets (plain, 4- and 8-byte
// integer keys, reverse keys, counted, prefix-compressed): many puts forcing splits in several
// orders, appends, the write flags, overwrites across the inline/overflow
// boundary, refusals that must change nothing, and other cursors kept on
// their entries across splits. After every scenario the whole database is
// read back with a cursor and compared with a model, and the tree verifier
// checks the structure (and the branch counts of counted trees).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "util/fixtures.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using orv_test::CursorPtr;
using orv_test::str;
using orv_test::val;

struct FlagSet {
  const char *name;
  unsigned flags;
  int int_width;  // ORV_INTEGERKEY: 4 or 8
};

const FlagSet kFlagSets[] = {
    {"plain", 0, 0},
    {"int4", ORV_INTEGERKEY, 4},
    {"int8", ORV_INTEGERKEY, 8},
    {"reverse", ORV_REVERSEKEY, 0},
    {"counted", ORV_COUNTED, 0},
    {"counted_int8", ORV_COUNTED | ORV_INTEGERKEY, 8},
    {"prefix", ORV_PREFIXKEY, 0},
    {"prefix_counted", ORV_PREFIXKEY | ORV_COUNTED, 0},
};

// Key number n; n orders the keys the same way the database does.
std::string make_key(const FlagSet &fs, uint64_t n) {
  if (fs.int_width == 4) {
    auto v = static_cast<uint32_t>(n);
    return std::string(reinterpret_cast<const char *>(&v), 4);
  }
  if (fs.int_width == 8) {
    uint64_t v = n * 0x10001ull;
    return std::string(reinterpret_cast<const char *>(&v), 8);
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "k%09llu", static_cast<unsigned long long>(n));
  std::string k(buf);
  // Long keys make fewer nodes fit a page, so that splits come early.
  k += std::string(n % 5 * 40, 'x');
  if (fs.flags & ORV_REVERSEKEY) std::reverse(k.begin(), k.end());
  return k;
}

// A value of `size` bytes that depends on n and a generation.
std::string make_value(uint64_t n, size_t size, int gen = 0) {
  std::string v(size, '\0');
  for (size_t i = 0; i < size; i++) v[i] = static_cast<char>('a' + (n * 7 + i + gen * 3) % 26);
  return v;
}

// Mostly small values, now and then a large one that goes to an overflow run.
size_t value_size(uint64_t n) {
  if (n % 97 == 13) return 5000 + n % 3000;
  return n % 61;
}

class Put : public testing::TestWithParam<FlagSet> {
 protected:
  using Model = std::map<uint64_t, std::string>;

  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 4), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, size_t{512} << 20), 0);
    // Readers of old snapshots live beside the checks' readers: no TLS slots.
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), ORV_NOTLS, 0644), 0);
    ORV_txn *txn = begin();
    ASSERT_EQ(orv_dbi_open(txn, "t", GetParam().flags | ORV_CREATE, &dbi_), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  void TearDown() override {
    if (env_) orv_env_close(env_);
  }

  ORV_txn *begin(unsigned flags = 0, ORV_txn *parent = nullptr) {
    ORV_txn *txn = nullptr;
    EXPECT_EQ(orv_txn_begin(env_, parent, flags, &txn), 0);
    return txn;
  }
  std::string key(uint64_t n) const { return make_key(GetParam(), n); }

  int put(ORV_txn *txn, uint64_t n, const std::string &v, unsigned flags = 0) {
    std::string k = key(n);
    ORV_val kv = val(k), dv = val(v);
    return orv_put(txn, dbi_, &kv, &dv, flags);
  }
  // put() that must succeed, mirrored in the model.
  void put_ok(ORV_txn *txn, Model &m, uint64_t n, const std::string &v, unsigned flags = 0) {
    int rc = put(txn, n, v, flags);
    ASSERT_EQ(rc, 0) << "key " << n << ": " << orv_strerror(rc);
    m[n] = v;
  }

  ORV_stat stat(ORV_txn *txn) {
    ORV_stat st{};
    EXPECT_EQ(orv_stat(txn, dbi_, &st), 0);
    return st;
  }

  // Reads the whole database forward and backward and compares it with m;
  // then verifies the tree structure and counts.
  void check(ORV_txn *txn, const Model &m) {
    ORV_cursor *raw = nullptr;
    ASSERT_EQ(orv_cursor_open(txn, dbi_, &raw), 0);
    CursorPtr c(raw);
    ORV_val k, d;
    auto it = m.begin();
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    for (; it != m.end(); ++it) {
      ASSERT_EQ(rc, 0) << "missing key " << it->first << ": " << orv_strerror(rc);
      ASSERT_EQ(str(k), key(it->first));
      ASSERT_EQ(d.mv_size, it->second.size()) << "key " << it->first;
      ASSERT_EQ(str(d), it->second) << "key " << it->first;
      rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT);
    }
    ASSERT_EQ(rc, ORV_NOTFOUND) << "extra key after the last one";
    auto rit = m.rbegin();
    rc = orv_cursor_get(c.get(), &k, &d, ORV_LAST);
    for (; rit != m.rend(); ++rit) {
      ASSERT_EQ(rc, 0);
      ASSERT_EQ(str(k), key(rit->first));
      rc = orv_cursor_get(c.get(), &k, &d, ORV_PREV);
    }
    ASSERT_EQ(rc, ORV_NOTFOUND);
    EXPECT_EQ(stat(txn).ms_entries, m.size());
    EXPECT_TREE_VALID(txn);
  }

  // check() inside txn, then commit and check a fresh snapshot.
  void commit_and_check(ORV_txn *txn, const Model &m) {
    check(txn, m);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    ORV_txn *rd = begin(ORV_RDONLY);
    check(rd, m);
    orv_txn_abort(rd);
    EXPECT_TRUE(orv_test::EnvTreesValid(env_));
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
};

// ---- Many puts: splits in every order ---------------------------------------------

TEST_P(Put, SplitsSequentialReverseRandom) {
  constexpr uint64_t kCount = 3000;
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < kCount; n += 2) put_ok(txn, m, n, make_value(n, value_size(n)));
  ASSERT_NO_FATAL_FAILURE(check(txn, m));
  ASSERT_EQ(orv_txn_commit(txn), 0);

  txn = begin();
  for (uint64_t n = kCount * 2; n > kCount; n -= 3) put_ok(txn, m, n, make_value(n, value_size(n)));
  ASSERT_NO_FATAL_FAILURE(check(txn, m));
  ASSERT_EQ(orv_txn_commit(txn), 0);

  std::vector<uint64_t> order;
  for (uint64_t n = 1; n < kCount * 2; n += 2) order.push_back(n);
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  txn = begin();
  for (uint64_t n : order) put_ok(txn, m, n, make_value(n, value_size(n * 3)));
  EXPECT_GE(stat(txn).ms_depth, 2u);
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

TEST_P(Put, FirstPutCreatesTheRoot) {
  ORV_txn *txn = begin();
  ORV_stat st = stat(txn);
  EXPECT_EQ(st.ms_depth, 0u);
  EXPECT_EQ(st.ms_entries, 0u);
  Model m;
  put_ok(txn, m, 42, "v");
  st = stat(txn);
  EXPECT_EQ(st.ms_depth, 1u);
  EXPECT_EQ(st.ms_leaf_pages, 1u);
  EXPECT_EQ(st.ms_branch_pages, 0u);
  EXPECT_EQ(st.ms_entries, 1u);
  // Grow until the root splits: the depth goes up by exactly one.
  uint64_t n = 43;
  for (; stat(txn).ms_depth == 1; n++) put_ok(txn, m, n, make_value(n, 40));
  st = stat(txn);
  EXPECT_EQ(st.ms_depth, 2u);
  EXPECT_EQ(st.ms_branch_pages, 1u);
  EXPECT_EQ(st.ms_leaf_pages, 2u);
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

// ---- Append -----------------------------------------------------------------------

TEST_P(Put, AppendFillsPagesAndRefusesOutOfOrder) {
  Model m;
  ORV_txn *txn = begin();
  constexpr uint64_t kCount = 4000;
  for (uint64_t n = 10; n < 10 + kCount; n++) put_ok(txn, m, n, make_value(n, 16), ORV_APPEND);
  // Appended leaves are left full: far fewer pages than random inserts need.
  ORV_stat st = stat(txn);
  size_t per_leaf = 0;
  {
    size_t bytes = 0;
    for (uint64_t n = 10; n < 10 + kCount; n++) bytes += even(key(n).size()) + 8 + 16 + 2;
    per_leaf = bytes / (st.ms_psize - 16) + 2;
  }
  EXPECT_LE(st.ms_leaf_pages, per_leaf);

  // Equal or smaller keys are refused and change nothing.
  EXPECT_EQ(put(txn, 10 + kCount - 1, "other", ORV_APPEND), ORV_KEYEXIST);
  EXPECT_EQ(put(txn, 10, "other", ORV_APPEND), ORV_KEYEXIST);
  EXPECT_EQ(put(txn, 5, "other", ORV_APPEND), ORV_KEYEXIST);
  ASSERT_NO_FATAL_FAILURE(check(txn, m));
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));

  // Appending continues in a later transaction, and to an empty database.
  txn = begin();
  put_ok(txn, m, 10 + kCount, "tail", ORV_APPEND);
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

TEST_P(Put, AppendToEmptyDatabase) {
  Model m;
  ORV_txn *txn = begin();
  put_ok(txn, m, 7, "first", ORV_APPEND);
  put_ok(txn, m, 8, make_value(8, 7000), ORV_APPEND);
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

// ---- Write flags --------------------------------------------------------------------

TEST_P(Put, NoOverwriteReturnsExistingValue) {
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < 300; n++) put_ok(txn, m, n, make_value(n, value_size(n)));
  for (uint64_t n : {0u, 13u, 150u, 299u}) {
    std::string k = key(n), v = "new";
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, ORV_NOOVERWRITE), ORV_KEYEXIST);
    EXPECT_EQ(str(dv), m[n]);
  }
  put_ok(txn, m, 1000, "absent before", ORV_NOOVERWRITE);
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

TEST_P(Put, ReserveHandsOutTheValueSpace) {
  Model m;
  ORV_txn *txn = begin();
  for (size_t size : {size_t{0}, size_t{1}, size_t{100}, size_t{4000}, size_t{20000}}) {
    uint64_t n = 100 + size;
    std::string k = key(n);
    ORV_val kv = val(k), dv{size, nullptr};
    ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, ORV_RESERVE), 0);
    ASSERT_EQ(dv.mv_size, size);
    std::string v = make_value(n, size);
    if (size) {
      ASSERT_NE(dv.mv_data, nullptr);
      std::memcpy(dv.mv_data, v.data(), size);
    }
    m[n] = v;
  }
  // Reserving over an existing value (same size, other size, overflow).
  for (auto [n, size] : {std::pair<uint64_t, size_t>{200, 100}, {104, 3}, {20100, 9000}}) {
    std::string k = key(n);
    ORV_val kv = val(k), dv{size, nullptr};
    ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, ORV_RESERVE), 0);
    std::string v = make_value(n, size, 1);
    std::memcpy(dv.mv_data, v.data(), size);
    m[n] = v;
  }
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

TEST_P(Put, CurrentReplacesTheEntryUnderTheCursor) {
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < 500; n++) put_ok(txn, m, n, make_value(n, 20));
  ORV_cursor *raw = nullptr;
  ASSERT_EQ(orv_cursor_open(txn, dbi_, &raw), 0);
  CursorPtr c(raw);
  std::string k = key(250);
  ORV_val kv = val(k), dv;
  // Not positioned yet.
  std::string v = "x";
  dv = val(v);
  EXPECT_EQ(orv_cursor_put(c.get(), &kv, &dv, ORV_CURRENT), EINVAL);
  ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_SET), 0);
  for (size_t size : {size_t{20}, size_t{300}, size_t{5}, size_t{9000}, size_t{12000}, size_t{1}}) {
    v = make_value(250, size, static_cast<int>(size));
    kv = val(k);
    dv = val(v);
    ASSERT_EQ(orv_cursor_put(c.get(), &kv, &dv, ORV_CURRENT), 0) << size;
    m[250] = v;
    ORV_val gk, gd;
    ASSERT_EQ(orv_cursor_get(c.get(), &gk, &gd, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(gk), k);
    EXPECT_EQ(str(gd), v);
  }
  // A different key under ORV_CURRENT would break the order.
  std::string other = key(251);
  kv = val(other);
  dv = val(v);
  EXPECT_EQ(orv_cursor_put(c.get(), &kv, &dv, ORV_CURRENT), EINVAL);
  c.reset();
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

// ---- Overwrites across the inline / overflow boundary --------------------------------

struct Resize {
  size_t from, to;
};

TEST_P(Put, OverwriteWithEverySize) {
  const Resize kCases[] = {
      {0, 0},       {10, 10},      {10, 200},     {200, 10},    {10, 0},
      {0, 3000},    {100, 5000},   {5000, 100},   {5000, 5000}, {5000, 6000},
      {6000, 5000}, {5000, 20000}, {20000, 4081}, {4080, 4081}, {3000, 30000},
  };
  ORV_txn *txn = begin();
  Model m;
  // Neighbours so that nodes move around the replaced one.
  for (uint64_t n = 0; n < 200; n++) put_ok(txn, m, n * 10, make_value(n, 30));
  ASSERT_EQ(orv_txn_commit(txn), 0);
  uint64_t n = 1;
  for (const Resize &r : kCases) {
    SCOPED_TRACE(std::to_string(r.from) + " -> " + std::to_string(r.to));
    txn = begin();
    put_ok(txn, m, n, make_value(n, r.from));
    // Within the writing transaction (the run, if any, is dirty here).
    put_ok(txn, m, n, make_value(n, r.to, 1));
    ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
    // Again over the committed value, while a reader holds the old snapshot:
    // committed pages must not change under it.
    ORV_txn *rd = begin(ORV_RDONLY);
    txn = begin();
    put_ok(txn, m, n, make_value(n, r.from, 2));
    ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
    std::string k = key(n);
    ORV_val kv = val(k), dv;
    ASSERT_EQ(orv_get(rd, dbi_, &kv, &dv), 0);
    EXPECT_EQ(str(dv), make_value(n, r.to, 1));
    orv_txn_abort(rd);
    n += 10;
  }
}

TEST_P(Put, OverflowRunOfTheParentIsNotChangedByAnAbortedChild) {
  ORV_txn *parent = begin();
  Model m;
  for (uint64_t n = 0; n < 50; n++) put_ok(parent, m, n, make_value(n, 30));
  put_ok(parent, m, 7, make_value(7, 9000));
  ORV_txn *child = begin(0, parent);
  ASSERT_NE(child, nullptr);
  // Same run length: would be written in place if the run were the child's.
  ASSERT_EQ(put(child, 7, make_value(7, 8500, 1)), 0);
  std::string k = key(7);
  ORV_val kv = val(k), dv;
  ASSERT_EQ(orv_get(child, dbi_, &kv, &dv), 0);
  EXPECT_EQ(str(dv), make_value(7, 8500, 1));
  orv_txn_abort(child);
  ASSERT_NO_FATAL_FAILURE(check(parent, m));
  // A committed child's change stays.
  child = begin(0, parent);
  ASSERT_EQ(put(child, 7, make_value(7, 8800, 2)), 0);
  ASSERT_EQ(orv_txn_commit(child), 0);
  m[7] = make_value(7, 8800, 2);
  ASSERT_NO_FATAL_FAILURE(commit_and_check(parent, m));
}

// ---- Refusals change nothing ------------------------------------------------------------

TEST_P(Put, BadInputIsRefusedAndTheTransactionGoesOn) {
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < 400; n++) put_ok(txn, m, n, make_value(n, value_size(n)));
  ASSERT_EQ(orv_txn_commit(txn), 0);

  std::string k = key(3), big_key(512, 'k'), max_key(511, 'k'), v = "v";
  ORV_val empty{0, v.data()}, too_big{size_t{1} << 32, v.data()};
  struct Case {
    const char *what;
    ORV_val key, data;
    unsigned flags;
    int want;
  };
  const Case kCases[] = {
      {"empty key", empty, val(v), 0, ORV_BAD_VALSIZE},
      {"512-byte key", val(big_key), val(v), 0, ORV_BAD_VALSIZE},
      {"value over 4 GiB", val(k), too_big, 0, ORV_BAD_VALSIZE},
      {"ORV_CURRENT through orv_put", val(k), val(v), ORV_CURRENT, EINVAL},
      {"ORV_MULTIPLE through orv_put", val(k), val(v), ORV_MULTIPLE, EINVAL},
      {"unknown flag", val(k), val(v), 0x1, EINVAL},
      {"internal flag", val(k), val(v), F_SUBDATA, EINVAL},
  };
  txn = begin();
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    ORV_val kv = c.key, dv = c.data;
    EXPECT_EQ(orv_put(txn, dbi_, &kv, &dv, c.flags), c.want);
    ORV_cursor *cur = nullptr;
    ASSERT_EQ(orv_cursor_open(txn, dbi_, &cur), 0);
    kv = c.key;
    dv = c.data;
    if (!(c.flags & (ORV_CURRENT | ORV_MULTIPLE))) {
      EXPECT_EQ(orv_cursor_put(cur, &kv, &dv, c.flags), c.want);
    }
    orv_cursor_close(cur);
  }
  ORV_val kv = val(k), dv = val(v);
  EXPECT_EQ(orv_put(nullptr, dbi_, &kv, &dv, 0), EINVAL);
  EXPECT_EQ(orv_put(txn, dbi_, nullptr, &dv, 0), EINVAL);
  EXPECT_EQ(orv_put(txn, dbi_, &kv, nullptr, 0), EINVAL);
  EXPECT_EQ(orv_put(txn, 99, &kv, &dv, 0), EINVAL);
  EXPECT_EQ(orv_cursor_put(nullptr, &kv, &dv, 0), EINVAL);
  // A key of exactly 511 bytes is fine; the transaction is still usable.
  if (GetParam().int_width == 0) {
    ORV_val mk = val(max_key);
    EXPECT_EQ(orv_put(txn, dbi_, &mk, &dv, 0), 0);
    EXPECT_EQ(orv_del(txn, dbi_, &mk, nullptr), 0);
  }
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));

  // Read-only transactions cannot write.
  ORV_txn *rd = begin(ORV_RDONLY);
  kv = val(k);
  dv = val(v);
  EXPECT_EQ(orv_put(rd, dbi_, &kv, &dv, 0), EACCES);
  ORV_cursor *cur = nullptr;
  ASSERT_EQ(orv_cursor_open(rd, dbi_, &cur), 0);
  EXPECT_EQ(orv_cursor_put(cur, &kv, &dv, 0), EACCES);
  orv_cursor_close(cur);
  orv_txn_abort(rd);
}

TEST_P(Put, FailedTransactionRefusesWritesAndKeepsCommittedData) {
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < 300; n++) put_ok(txn, m, n, make_value(n, 30));
  ASSERT_EQ(orv_txn_commit(txn), 0);

  txn = begin();
  ORV_cursor *cur = nullptr;
  ASSERT_EQ(orv_cursor_open(txn, dbi_, &cur), 0);
  ASSERT_EQ(put(txn, 1000, "new"), 0);
  // An interrupt fails the transaction at the next write.
  ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
  EXPECT_EQ(put(txn, 1001, "new"), EINTR);
  ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  EXPECT_EQ(put(txn, 1002, "new"), ORV_BAD_TXN);
  std::string k = key(1003), v = "new";
  ORV_val kv = val(k), dv = val(v);
  // The cursor write answers with the recorded code.
  EXPECT_EQ(orv_cursor_put(cur, &kv, &dv, 0), EINTR);
  EXPECT_NE(orv_txn_commit(txn), 0);
  ORV_txn *rd = begin(ORV_RDONLY);
  check(rd, m);
  orv_txn_abort(rd);
}

TEST_P(Put, NamedDatabaseRecordIsNotOverwritten) {
  ORV_txn *txn = begin();
  ORV_dbi main = 0;
  ASSERT_EQ(orv_dbi_open(txn, nullptr, 0, &main), 0);
  ORV_val kv{1, const_cast<char *>("t")}, dv{3, const_cast<char *>("abc")};
  EXPECT_EQ(orv_put(txn, main, &kv, &dv, 0), ORV_INCOMPATIBLE);
  Model m;
  put_ok(txn, m, 5, "still usable");
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

// ---- Long separators ---------------------------------------------------------------

// Keys of 300 to 511 bytes make branch pages hold few separators, so that
// rebalancing after deletes replaces separators with longer ones that no
// longer fit and split branch pages; later inserts split them again.
TEST_P(Put, LongKeysThroughDeletesAndReinserts) {
  if (GetParam().int_width != 0) GTEST_SKIP() << "integer keys have a fixed size";
  auto long_key = [&](uint64_t n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%05llu", static_cast<unsigned long long>(n));
    std::string k(buf);
    std::string pad(300 + (n * 37) % 207, static_cast<char>('a' + n % 3));
    return k + pad;
  };
  ORV_cmp_func cmp = orv_default_key_cmp(GetParam().flags);
  auto less = [cmp](const std::string &a, const std::string &b) {
    ORV_val x = val(a), y = val(b);
    return cmp(&x, &y) < 0;
  };
  std::map<std::string, std::string, decltype(less)> m(less);
  auto check_all = [&](ORV_txn *txn) {
    ORV_cursor *raw = nullptr;
    ASSERT_EQ(orv_cursor_open(txn, dbi_, &raw), 0);
    CursorPtr c(raw);
    ORV_val k, d;
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    for (const auto &[mk, mv] : m) {
      ASSERT_EQ(rc, 0);
      ASSERT_EQ(str(k), mk);
      ASSERT_EQ(str(d), mv);
      rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT);
    }
    ASSERT_EQ(rc, ORV_NOTFOUND);
    ASSERT_TREE_VALID(txn);
  };
  std::vector<uint64_t> order(1500);
  for (uint64_t i = 0; i < order.size(); i++) order[i] = i;
  std::mt19937 rng(11);
  std::shuffle(order.begin(), order.end(), rng);
  ORV_txn *txn = begin();
  for (uint64_t n : order) {
    std::string k = long_key(n), v = make_value(n, n % 40);
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0);
    m[k] = v;
  }
  ASSERT_NO_FATAL_FAILURE(check_all(txn));
  ASSERT_EQ(orv_txn_commit(txn), 0);
  for (int round = 0; round < 3; round++) {
    txn = begin();
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < order.size(); i++) {
      std::string k = long_key(order[i]);
      ORV_val kv = val(k);
      if (i % 3 != 0) {
        int rc = orv_del(txn, dbi_, &kv, nullptr);
        ASSERT_TRUE(rc == 0 || rc == ORV_NOTFOUND) << orv_strerror(rc);
        m.erase(k);
      } else {
        std::string v = make_value(order[i], (i + round) % 50, round);
        ORV_val dv = val(v);
        ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0);
        m[k] = v;
      }
      if (i % 250 == 0) {
        ASSERT_NO_FATAL_FAILURE(check_all(txn));
      }
    }
    ASSERT_NO_FATAL_FAILURE(check_all(txn));
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

// ---- Bytes handed out by reads, written back ----------------------------------------

TEST_P(Put, ValuesReadFromTheLeafCanBeWrittenBack) {
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < 2000; n += 10) put_ok(txn, m, n, make_value(n, 150));
  // Each value is read (pointing into a dirty leaf of this transaction) and
  // stored under a neighbouring key, splitting that very leaf now and then;
  // then the key itself gets a shorter and a longer piece of its own value.
  for (uint64_t n = 0; n < 2000; n += 10) {
    std::string k = key(n);
    ORV_val kv = val(k), dv;
    ASSERT_EQ(orv_get(txn, dbi_, &kv, &dv), 0);
    std::string expect = str(dv);
    std::string k2 = key(n + 1);
    ORV_val kv2 = val(k2);
    ASSERT_EQ(orv_put(txn, dbi_, &kv2, &dv, 0), 0);
    m[n + 1] = expect;

    ASSERT_EQ(orv_get(txn, dbi_, &kv, &dv), 0);
    ORV_val part{dv.mv_size / 3, static_cast<char *>(dv.mv_data) + 7};
    expect = str(part);
    ASSERT_EQ(orv_put(txn, dbi_, &kv, &part, 0), 0);
    m[n] = expect;
  }
  // Keys read back from the leaf, stored with a new value.
  ORV_cursor *raw = nullptr;
  ASSERT_EQ(orv_cursor_open(txn, dbi_, &raw), 0);
  CursorPtr c(raw);
  ORV_val kv, dv;
  ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_FIRST), 0);
  for (int i = 0; i < 50; i++) {
    std::string v = make_value(i, 400, 3);
    ORV_val nv = val(v);
    ASSERT_EQ(orv_cursor_put(c.get(), &kv, &nv, 0), 0);
    ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_GET_CURRENT), 0);
    for (auto &[n, value] : m)
      if (key(n) == str(kv)) value = v;
    ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_NEXT), 0);
  }
  c.reset();
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

TEST(PutFlags, FixedSizeFlagWithoutDuplicatesStoresOrdinaryNodes) {
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(orv_env_create(&env), 0);
  ASSERT_EQ(orv_env_set_maxdbs(env, 2), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_dbi dbi = 0;
  ASSERT_EQ(orv_dbi_open(txn, "f", ORV_DUPFIXED | ORV_CREATE, &dbi), 0);
  std::map<std::string, std::string> m;
  for (int i = 0; i < 500; i++) {
    std::string k = "key" + std::to_string(i * 7919 % 1000), v(i % 30, 'v');
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    m[k] = v;
  }
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(txn, dbi, &c), 0);
  ORV_val kv, dv;
  int rc = orv_cursor_get(c, &kv, &dv, ORV_FIRST);
  for (const auto &[k, v] : m) {
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(str(kv), k);
    EXPECT_EQ(str(dv), v);
    rc = orv_cursor_get(c, &kv, &dv, ORV_NEXT);
  }
  EXPECT_EQ(rc, ORV_NOTFOUND);
  orv_cursor_close(c);
  EXPECT_TREE_VALID(txn);
  EXPECT_EQ(orv_txn_commit(txn), 0);
  orv_env_close(env);
}

// ---- Other cursors across splits ----------------------------------------------------

TEST_P(Put, OtherCursorsStayOnTheirEntries) {
  Model m;
  ORV_txn *txn = begin();
  for (uint64_t n = 0; n < 40; n++) put_ok(txn, m, n * 1000, make_value(n, 10));
  std::vector<CursorPtr> cursors;
  std::vector<uint64_t> at;
  for (uint64_t n = 0; n < 40; n += 3) {
    ORV_cursor *raw = nullptr;
    ASSERT_EQ(orv_cursor_open(txn, dbi_, &raw), 0);
    cursors.emplace_back(raw);
    std::string k = key(n * 1000);
    ORV_val kv = val(k), dv;
    ASSERT_EQ(orv_cursor_get(raw, &kv, &dv, ORV_SET), 0);
    at.push_back(n * 1000);
  }
  // Inserts all around them, enough for root and parent splits, and
  // overwrites that move nodes or need a split of their own.
  std::mt19937 rng(7);
  for (int i = 0; i < 4000; i++) {
    uint64_t n = rng() % 40000;
    size_t size = i % 50 == 0 ? 6000 : rng() % 300;
    put_ok(txn, m, n, make_value(n, size, i));
    if (i % 101 == 0) {
      for (size_t j = 0; j < cursors.size(); j++) {
        ORV_val kv, dv;
        ASSERT_EQ(orv_cursor_get(cursors[j].get(), &kv, &dv, ORV_GET_CURRENT), 0);
        ASSERT_EQ(str(kv), key(at[j])) << "cursor " << j << " after put " << i;
        ASSERT_EQ(str(dv), m[at[j]]);
      }
    }
  }
  for (size_t j = 0; j < cursors.size(); j++) {
    ORV_val kv, dv;
    ASSERT_EQ(orv_cursor_get(cursors[j].get(), &kv, &dv, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(kv), key(at[j]));
    // And they step on to the right neighbours.
    ASSERT_EQ(orv_cursor_get(cursors[j].get(), &kv, &dv, ORV_NEXT), 0);
    EXPECT_EQ(str(kv), key(std::next(m.find(at[j]))->first));
  }
  // A cursor that writes stands on what it wrote.
  std::string k = key(123457), v = "via cursor";
  ORV_val kv = val(k), dv = val(v);
  ASSERT_EQ(orv_cursor_put(cursors[0].get(), &kv, &dv, 0), 0);
  m[123457] = v;
  ORV_val gk, gd;
  ASSERT_EQ(orv_cursor_get(cursors[0].get(), &gk, &gd, ORV_GET_CURRENT), 0);
  EXPECT_EQ(str(gk), k);
  EXPECT_EQ(str(gd), v);
  cursors.clear();
  ASSERT_NO_FATAL_FAILURE(commit_and_check(txn, m));
}

INSTANTIATE_TEST_SUITE_P(FlagSets, Put, testing::ValuesIn(kFlagSets),
                         [](const testing::TestParamInfo<FlagSet> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
