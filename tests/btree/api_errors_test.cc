// [api_errors]: put.cc, delete.cc, cursor.cc, cursor_get.cc, dbi.cc - bad
// input to the data and cursor calls: key sizes, null buffers, flags, stale
// and out-of-range handles, writes in read-only transactions and cursor
// operations that need a position. Every refusal leaves the store as it
// was, touches no page (no copy-on-write, no allocation) and keeps the
// transaction usable.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

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
    {"prefix", ORV_PREFIXKEY | ORV_COUNTED, 0},
};

std::string make_key(const FlagSet &fs, uint32_t n) {
  if (fs.int_width == 4) return std::string(reinterpret_cast<const char *>(&n), 4);
  if (fs.int_width == 8) {
    const uint64_t v = uint64_t{n} << 20;
    return std::string(reinterpret_cast<const char *>(&v), 8);
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "key%06u", n);
  return buf;
}

// Small values, and a few that need overflow runs.
std::string make_value(uint32_t n) {
  return std::string(n % 50 == 7 ? 6000 : 1 + n % 40, static_cast<char>('a' + n % 26));
}

using Dump = std::vector<std::pair<std::string, std::string>>;

// Every pair of a database in cursor order.
Dump dump(ORV_txn *txn, ORV_dbi dbi) {
  Dump out;
  ORV_cursor *c = nullptr;
  EXPECT_EQ(orv_cursor_open(txn, dbi, &c), 0);
  if (c == nullptr) return out;
  ORV_val k, d;
  for (int rc = orv_cursor_get(c, &k, &d, ORV_FIRST); rc == 0;
       rc = orv_cursor_get(c, &k, &d, ORV_NEXT))
    out.emplace_back(str(k), str(d));
  orv_cursor_close(c);
  return out;
}

// The first difference of two dumps, or "" (short enough for a failure
// message, unlike the dumps themselves).
std::string diff(const Dump &got, const Dump &want) {
  for (size_t i = 0; i < got.size() && i < want.size(); i++) {
    if (got[i] != want[i])
      return "pair " + std::to_string(i) + ": key " + got[i].first + " (" +
             std::to_string(got[i].second.size()) + " bytes), want key " + want[i].first + " (" +
             std::to_string(want[i].second.size()) + " bytes)";
  }
  if (got.size() != want.size())
    return std::to_string(got.size()) + " pairs, want " + std::to_string(want.size());
  return "";
}

// Nothing of the write transaction is dirty or allocated yet.
#define expect_untouched(txn, next) \
  do {                              \
    SCOPED_TRACE("untouched");      \
    expect_untouched_at(txn, next); \
  } while (0)
void expect_untouched_at(ORV_txn *txn, pgno_t next_pgno) {
  EXPECT_EQ(txn->mt_dirty_list[0].mid, 0u);
  EXPECT_EQ(txn->mt_loose_count, 0);
  EXPECT_EQ(txn->mt_next_pgno, next_pgno);
  EXPECT_EQ(txn->mt_flags & ORV_TXN_BLOCKED, 0u);
}

class ApiErrors : public ::testing::TestWithParam<FlagSet> {
 protected:
  static constexpr uint32_t kKeys = 300;

  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 8), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, 32u << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), 0, 0644), 0);
    ORV_txn *w = begin(0);
    ASSERT_EQ(orv_dbi_open(w, "t", ORV_CREATE | GetParam().flags, &dbi_), 0);
    for (uint32_t n = 0; n < kKeys; n++) {
      std::string k = key(2 * n), v = make_value(n);  // odd numbers stay free
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(w, dbi_, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(w), 0);
    ORV_txn *r = begin(ORV_RDONLY);
    committed_ = dump(r, dbi_);
    orv_txn_abort(r);
    ASSERT_EQ(committed_.size(), kKeys);
  }
  void TearDown() override { orv_env_close(env_); }

  ORV_txn *begin(unsigned flags) {
    ORV_txn *t = nullptr;
    EXPECT_EQ(orv_txn_begin(env_, nullptr, flags, &t), 0);
    return t;
  }
  std::string key(uint32_t n) const { return make_key(GetParam(), n); }

  // The committed store is what SetUp wrote, and its trees are sound.
  void expect_committed_unchanged() {
    ORV_txn *r = begin(ORV_RDONLY);
    EXPECT_EQ(diff(dump(r, dbi_), committed_), "");
    EXPECT_TREE_VALID(r);
    orv_txn_abort(r);
  }

  // The transaction still writes: a good put, visible, then committed.
  void expect_writable(ORV_txn *w) {
    std::string k = key(1), v = "fine";
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(w, dbi_, &kv, &dv, 0), 0);
    ORV_val got{};
    ASSERT_EQ(orv_get(w, dbi_, &kv, &got), 0);
    EXPECT_EQ(str(got), v);
    EXPECT_TREE_VALID(w);
    ASSERT_EQ(orv_txn_commit(w), 0);
    ORV_txn *r = begin(ORV_RDONLY);
    Dump want = committed_;
    want.insert(want.begin() + (GetParam().flags & ORV_REVERSEKEY ? 0 : 1), {k, v});
    if (GetParam().flags & ORV_REVERSEKEY) {  // order of reversed keys: recompute
      want = dump(r, dbi_);
      EXPECT_EQ(want.size(), kKeys + 1);
    }
    EXPECT_EQ(diff(dump(r, dbi_), want), "");
    committed_ = dump(r, dbi_);
    orv_txn_abort(r);
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
  Dump committed_;
};

// Keys of 0 bytes or longer than 511 are refused by every call that takes
// a key, before any page is touched. The buffers are heap blocks of exactly
// the key's size, so that a read beyond them is caught under ASan.
TEST_P(ApiErrors, BadKeySizes) {
  ORV_txn *w = begin(0);
  const pgno_t next = w->mt_next_pgno;
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
  for (size_t size : {size_t{0}, size_t{512}, size_t{4096}}) {
    SCOPED_TRACE(size);
    std::unique_ptr<char[]> buf(new char[size + 1]);
    std::memset(buf.get(), 'k', size + 1);
    std::string v = "value";
    ORV_val k{size, size ? buf.get() : nullptr}, d = val(v);
    EXPECT_EQ(orv_put(w, dbi_, &k, &d, 0), ORV_BAD_VALSIZE);
    EXPECT_EQ(orv_put(w, dbi_, &k, &d, ORV_NOOVERWRITE), ORV_BAD_VALSIZE);
    EXPECT_EQ(orv_put(w, dbi_, &k, &d, ORV_APPEND), ORV_BAD_VALSIZE);
    EXPECT_EQ(orv_cursor_put(c, &k, &d, 0), ORV_BAD_VALSIZE);
    // Lookups of such a key can find nothing; the empty key is an error.
    const int want_find = size == 0 ? ORV_BAD_VALSIZE : ORV_NOTFOUND;
    int rc = orv_del(w, dbi_, &k, nullptr);
    EXPECT_TRUE(rc == ORV_BAD_VALSIZE || rc == want_find) << rc;
    ORV_val got{};
    rc = orv_get(w, dbi_, &k, &got);
    EXPECT_TRUE(rc == ORV_BAD_VALSIZE || rc == want_find) << rc;
    for (ORV_cursor_op op : {ORV_SET, ORV_SET_KEY}) {
      ORV_val kk = k;
      rc = orv_cursor_get(c, &kk, &got, op);
      EXPECT_TRUE(rc == ORV_BAD_VALSIZE || rc == want_find) << rc << " op " << op;
    }
    ORV_val kk = k;
    rc = orv_cursor_get(c, &kk, &got, ORV_SET_RANGE);
    if (size == 0) {
      EXPECT_EQ(rc, ORV_BAD_VALSIZE);
    }
    if (rc == 0) {
      EXPECT_NE(kk.mv_data, static_cast<void *>(buf.get()));  // a stored key
    }
    expect_untouched(w, next);
  }
  // A null buffer under a non-zero size is refused too.
  std::string v = "value";
  ORV_val k{5, nullptr}, d = val(v);
  EXPECT_EQ(orv_put(w, dbi_, &k, &d, 0), EINVAL);
  EXPECT_EQ(orv_cursor_put(c, &k, &d, 0), EINVAL);
  std::string good = key(3);
  ORV_val gk = val(good), nd{5, nullptr};
  EXPECT_EQ(orv_put(w, dbi_, &gk, &nd, 0), EINVAL);
  expect_untouched(w, next);
  orv_cursor_close(c);
  expect_writable(w);
  expect_committed_unchanged();

  // The same lookups in a read-only transaction.
  ORV_txn *r = begin(ORV_RDONLY);
  ORV_val empty{0, nullptr}, got{};
  EXPECT_EQ(orv_get(r, dbi_, &empty, &got), ORV_BAD_VALSIZE);
  std::string big(512, 'k');
  ORV_val bk = val(big);
  const int rc = orv_get(r, dbi_, &bk, &got);
  EXPECT_TRUE(rc == ORV_BAD_VALSIZE || rc == ORV_NOTFOUND) << rc;
  orv_txn_abort(r);
}

// Refusals that depend only on the arguments, or that find nothing to do,
// come before copy-on-write: no page is dirtied or allocated.
TEST_P(ApiErrors, RefusalsTouchNoPage) {
  ORV_txn *w = begin(0);
  const pgno_t next = w->mt_next_pgno;
  std::string present = key(2), absent = key(5), first = key(0), v = "v";
  ORV_val too_big{size_t{1} << 32, v.data()};
  struct Case {
    const char *what;
    std::string key;
    ORV_val data;
    unsigned flags;
    int want;
  } cases[] = {
      {"unknown flag", absent, val(v), 0x1, EINVAL},
      {"ORV_CURRENT without a cursor", present, val(v), ORV_CURRENT, EINVAL},
      {"internal node flag", absent, val(v), F_SUBDATA, EINVAL},
      {"value over 4 GiB", absent, too_big, 0, ORV_BAD_VALSIZE},
      {"existing key, no overwrite", present, val(v), ORV_NOOVERWRITE, ORV_KEYEXIST},
      {"append below the last key", first, val(v), ORV_APPEND, ORV_KEYEXIST},
  };
  for (const Case &cs : cases) {
    SCOPED_TRACE(cs.what);
    if ((GetParam().flags & ORV_REVERSEKEY) && cs.flags == ORV_APPEND) continue;
    ORV_val k = val(cs.key), d = cs.data;
    EXPECT_EQ(orv_put(w, dbi_, &k, &d, cs.flags), cs.want);
    expect_untouched(w, next);
  }
  ORV_val k = val(absent);
  EXPECT_EQ(orv_del(w, dbi_, &k, nullptr), ORV_NOTFOUND);
  expect_untouched(w, next);
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
  ORV_val d = val(v);
  EXPECT_EQ(orv_cursor_put(c, &k, &d, ORV_CURRENT), EINVAL);  // no position
  EXPECT_EQ(orv_cursor_del(c, 0), EINVAL);
  expect_untouched(w, next);
  orv_cursor_close(c);
  expect_writable(w);
  expect_committed_unchanged();
}

// Handles a transaction does not know, and handles closed or discarded.
TEST_P(ApiErrors, StaleAndOutOfRangeHandles) {
  // A handle created by an aborted transaction is gone afterwards.
  ORV_txn *w = begin(0);
  ORV_dbi lost = 0;
  ASSERT_EQ(orv_dbi_open(w, "lost", ORV_CREATE, &lost), 0);
  orv_txn_abort(w);

  w = begin(0);
  const pgno_t next = w->mt_next_pgno;
  std::string ks = key(2), vs = "v";
  ORV_val k = val(ks), d = val(vs), got{};
  ORV_stat st;
  unsigned flags = 0;
  ORV_cursor *c = nullptr;
  for (ORV_dbi bad : {ORV_dbi{FREE_DBI}, lost, w->mt_dbcount, ORV_dbi{99}, ~ORV_dbi{0}}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(orv_put(w, bad, &k, &d, 0), EINVAL);
    EXPECT_EQ(orv_del(w, bad, &k, nullptr), EINVAL);
    EXPECT_EQ(orv_get(w, bad, &k, &got), EINVAL);
    EXPECT_EQ(orv_dbi_flags(w, bad, &flags), EINVAL);
    if (bad != FREE_DBI) {  // the free-page records may be read
      EXPECT_EQ(orv_cursor_open(w, bad, &c), EINVAL);
      EXPECT_EQ(orv_stat(w, bad, &st), EINVAL);
    }
  }
  expect_untouched(w, next);

  // A handle closed while a transaction runs is refused, never used.
  orv_dbi_close(env_, dbi_);
  const std::pair<const char *, int> closed[] = {
      {"put", orv_put(w, dbi_, &k, &d, 0)},
      {"del", orv_del(w, dbi_, &k, nullptr)},
      {"get", orv_get(w, dbi_, &k, &got)},
      {"stat", orv_stat(w, dbi_, &st)},
  };
  for (const auto &[what, rc] : closed) {
    EXPECT_TRUE(rc == EINVAL || rc == ORV_BAD_DBI) << what << " " << rc;
  }
  // A cursor may still be opened on it, but it cannot read anything.
  int rc = orv_cursor_open(w, dbi_, &c);
  EXPECT_TRUE(rc == 0 || rc == EINVAL || rc == ORV_BAD_DBI) << rc;
  if (rc == 0) {
    ORV_val ck{}, cd{};
    EXPECT_EQ(orv_cursor_get(c, &ck, &cd, ORV_FIRST), ORV_BAD_DBI);
    orv_cursor_close(c);
  }
  expect_untouched(w, next);
  orv_txn_abort(w);
  // In the next transaction the closed handle is simply unknown.
  ORV_txn *r = begin(ORV_RDONLY);
  EXPECT_EQ(orv_get(r, dbi_, &k, &got), EINVAL);
  EXPECT_EQ(orv_cursor_open(r, dbi_, &c), EINVAL);
  ORV_dbi again = 0;
  ASSERT_EQ(orv_dbi_open(r, "t", 0, &again), 0);
  EXPECT_EQ(diff(dump(r, again), committed_), "");
  orv_txn_abort(r);
}

// Every write of a read-only transaction answers EACCES and the
// transaction keeps reading.
TEST_P(ApiErrors, WritesInReadOnlyTransactions) {
  ORV_txn *r = begin(ORV_RDONLY);
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(r, dbi_, &c), 0);
  ORV_val k{}, d{};
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_FIRST), 0);
  std::string ks = key(1), vs = "v";
  ORV_val nk = val(ks), nd = val(vs);
  EXPECT_EQ(orv_put(r, dbi_, &nk, &nd, 0), EACCES);
  EXPECT_EQ(orv_put(r, MAIN_DBI, &nk, &nd, 0), EACCES);
  EXPECT_EQ(orv_cursor_put(c, &nk, &nd, 0), EACCES);
  EXPECT_EQ(orv_cursor_put(c, &k, &nd, ORV_CURRENT), EACCES);
  EXPECT_EQ(orv_del(r, dbi_, &k, nullptr), EACCES);
  EXPECT_EQ(orv_cursor_del(c, 0), EACCES);
  ORV_dbi dbi = 0;
  EXPECT_EQ(orv_dbi_open(r, "new", ORV_CREATE, &dbi), EACCES);
  ASSERT_EQ(orv_dbi_open(r, "t", ORV_CREATE, &dbi), 0);  // exists: nothing to write
  EXPECT_EQ(dbi, dbi_);
  // Still positioned and reading.
  ORV_val ck{}, cd{};
  ASSERT_EQ(orv_cursor_get(c, &ck, &cd, ORV_GET_CURRENT), 0);
  EXPECT_EQ(str(ck), committed_.front().first);
  EXPECT_EQ(diff(dump(r, dbi_), committed_), "");
  orv_cursor_close(c);
  orv_txn_abort(r);
  expect_committed_unchanged();
}

// Operations that need a position refuse on a cursor without one; unknown
// operation numbers and missing buffers are refused; the cursor and the
// transaction stay usable.
TEST_P(ApiErrors, CursorOperationsThatNeedAPosition) {
  ORV_txn *w = begin(0);
  const pgno_t next = w->mt_next_pgno;
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
  auto refusals = [&](const char *state) {
    SCOPED_TRACE(state);
    ORV_val k{}, d{};
    std::string vs = "v", ks = key(5);
    ORV_val nd = val(vs);
    EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_GET_CURRENT), EINVAL);
    k = val(ks);
    EXPECT_EQ(orv_cursor_del(c, 0), EINVAL);
    EXPECT_EQ(orv_cursor_put(c, &k, &nd, ORV_CURRENT), EINVAL);
    const int rc = orv_cursor_get(c, &k, &d, ORV_GET_MULTIPLE);
    EXPECT_TRUE(rc == EINVAL || rc == ORV_INCOMPATIBLE) << rc;
    uint64_t n = 0;
    EXPECT_EQ(orv_cursor_count(c, &n), ORV_INCOMPATIBLE);  // no duplicates here
    expect_untouched(w, next);
  };
  refusals("never positioned");
  ORV_val k{}, d{};

  for (int op : {19, 255, 1 << 20, -1}) {
    EXPECT_EQ(orv_cursor_get(c, &k, &d, static_cast<ORV_cursor_op>(op)), EINVAL) << op;
  }
  for (ORV_cursor_op op : {ORV_SET, ORV_SET_KEY, ORV_SET_RANGE}) {
    EXPECT_EQ(orv_cursor_get(c, nullptr, &d, op), EINVAL) << op;
  }
  EXPECT_EQ(orv_cursor_get(nullptr, &k, &d, ORV_FIRST), EINVAL);
  expect_untouched(w, next);

  // The cursor works normally afterwards.
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_LAST), 0);
  EXPECT_EQ(str(k), committed_.back().first);
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_GET_CURRENT), 0);
  EXPECT_EQ(str(d), committed_.back().second);
  orv_cursor_close(c);
  expect_writable(w);
  expect_committed_unchanged();
}

// Searches beyond the last key, from a fresh cursor and from one standing
// on the last key: whatever position is left, nothing can be read or
// deleted through it.
TEST_P(ApiErrors, SearchBeyondTheLastKey) {
  if (GetParam().flags & ORV_REVERSEKEY) GTEST_SKIP() << "no byte key above all keys";
  ORV_txn *w = begin(0);
  const pgno_t next = w->mt_next_pgno;
  std::string beyond = key(10 * kKeys);
  for (bool positioned : {false, true}) {
    for (ORV_cursor_op op : {ORV_SET, ORV_SET_KEY, ORV_SET_RANGE}) {
      SCOPED_TRACE(std::to_string(positioned) + " op " + std::to_string(op));
      ORV_cursor *c = nullptr;
      ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
      ORV_val k{}, d{};
      if (positioned) {
        ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_LAST), 0);
      }
      ORV_val bk = val(beyond);
      EXPECT_EQ(orv_cursor_get(c, &bk, &d, op), ORV_NOTFOUND);
      int rc = orv_cursor_get(c, &k, &d, ORV_GET_CURRENT);
      EXPECT_TRUE(rc == EINVAL || rc == ORV_NOTFOUND) << rc;
      rc = orv_cursor_del(c, 0);
      EXPECT_TRUE(rc == EINVAL || rc == ORV_NOTFOUND) << rc;
      expect_untouched(w, next);
      // The cursor can still step back onto the last key.
      ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_PREV), 0);
      EXPECT_EQ(str(k), committed_.back().first);
      orv_cursor_close(c);
    }
  }
  expect_writable(w);
  expect_committed_unchanged();
}

// A search for a missing key fails and leaves the cursor without a
// position: it must not stand on a neighbour the application never saw.
TEST_P(ApiErrors, FailedSearchLeavesNoPosition) {
  for (ORV_cursor_op op : {ORV_SET, ORV_SET_KEY}) {
    SCOPED_TRACE(op);
    ORV_txn *w = begin(0);
    const pgno_t next = w->mt_next_pgno;
    ORV_cursor *c = nullptr;
    ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
    std::string missing = key(5), vs = "v";
    ORV_val mk = val(missing), k{}, d{}, nd = val(vs);
    ASSERT_EQ(orv_cursor_get(c, &mk, &d, op), ORV_NOTFOUND);
    EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_GET_CURRENT), EINVAL);
    k = val(missing);
    EXPECT_EQ(orv_cursor_put(c, &k, &nd, ORV_CURRENT), EINVAL);
    EXPECT_EQ(orv_cursor_del(c, 0), EINVAL);
    expect_untouched(w, next);
    orv_cursor_close(c);
    ASSERT_EQ(orv_txn_commit(w), 0);
    expect_committed_unchanged();
  }
}

INSTANTIATE_TEST_SUITE_P(FlagSets, ApiErrors, ::testing::ValuesIn(kFlagSets),
                         [](const auto &info) { return std::string(info.param.name); });

// The main database orders keys by the flags recorded for it in the file
// from the first transaction on, without any orv_dbi_open in this process.
TEST(MainComparator, RecordedFlagsApplyBeforeAnyDbiOpen) {
  TempDir dir;
  auto u64 = [](uint64_t v) { return std::string(reinterpret_cast<const char *>(&v), 8); };
  auto open = [&](ORV_env **env) {
    ASSERT_EQ(orv_env_create(env), 0);
    ASSERT_EQ(orv_env_open(*env, dir.c_str(), 0, 0644), 0);
  };
  ORV_env *env = nullptr;
  open(&env);
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ORV_dbi main = 0;
  ASSERT_EQ(orv_dbi_open(w, nullptr, ORV_INTEGERKEY, &main), 0);
  for (uint64_t n : {uint64_t{1}, uint64_t{256}, uint64_t{65536}}) {
    std::string k = u64(n);
    ORV_val kv = val(k), dv = val(k);
    ASSERT_EQ(orv_put(w, main, &kv, &dv, 0), 0);
  }
  ASSERT_EQ(orv_txn_commit(w), 0);
  orv_env_close(env);

  open(&env);
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  // Byte order would put 2 (02 00 ..) after 256 (00 01 ..) and 1 (01 00 ..).
  std::string two = u64(2);
  ORV_val kv = val(two), dv = val(two), got{};
  ASSERT_EQ(orv_put(w, MAIN_DBI, &kv, &dv, 0), 0);
  for (uint64_t n : {uint64_t{1}, uint64_t{256}, uint64_t{65536}}) {
    std::string k = u64(n);
    ORV_val q = val(k);
    EXPECT_EQ(orv_get(w, MAIN_DBI, &q, &got), 0) << n;
  }
  ASSERT_EQ(orv_txn_commit(w), 0);
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  const Dump want = {
      {u64(1), u64(1)}, {u64(2), u64(2)}, {u64(256), u64(256)}, {u64(65536), u64(65536)}};
  EXPECT_EQ(dump(r, MAIN_DBI), want);
  EXPECT_TREE_VALID(r);
  orv_txn_abort(r);
  orv_env_close(env);
}

// Pages of a snapshot a reader holds are never reused or rewritten, however
// the writer frees and reallocates overflow runs of the same size.
TEST(SnapshotPages, OverflowRunsOfAHeldSnapshotStayIntact) {
  for (unsigned flags : {0u, unsigned{ORV_WRITEMAP}}) {
    SCOPED_TRACE(flags);
    TempDir dir;
    ORV_env *env = nullptr;
    ASSERT_EQ(orv_env_create(&env), 0);
    ASSERT_EQ(orv_env_set_mapsize(env, 16u << 20), 0);
    ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
    auto put = [&](ORV_txn *t, const std::string &k, const std::string &v) {
      ORV_val kv = val(k), dv = val(v);
      return orv_put(t, MAIN_DBI, &kv, &dv, 0);
    };
    const std::string old_value(20000, 'A');
    ORV_txn *w = nullptr, *r = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
    ASSERT_EQ(put(w, "big", old_value), 0);
    ASSERT_EQ(orv_txn_commit(w), 0);

    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
    std::string bigkey = "big";
    ORV_val bk = val(bigkey), held{};
    ASSERT_EQ(orv_get(r, MAIN_DBI, &bk, &held), 0);
    // Round 1 frees the run (overwrite, then delete); later rounds allocate
    // runs of the same size that must come from elsewhere.
    for (int round = 0; round < 6; round++) {
      ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
      if (round == 0) {
        ASSERT_EQ(put(w, "big", std::string(20000, 'B')), 0);
      } else if (round == 1) {
        ORV_val k = val(bigkey);
        ASSERT_EQ(orv_del(w, MAIN_DBI, &k, nullptr), 0);
      } else {
        ASSERT_EQ(put(w, "new" + std::to_string(round), std::string(20000, 'C' + round)), 0);
        ASSERT_EQ(put(w, "big", std::string(20000, 'Z')), 0);
      }
      ASSERT_EQ(orv_txn_commit(w), 0);
      ASSERT_EQ(held.mv_size, old_value.size());
      ASSERT_EQ(str(held), old_value) << "round " << round;
    }
    ORV_val again{};
    ASSERT_EQ(orv_get(r, MAIN_DBI, &bk, &again), 0);
    EXPECT_EQ(str(again), old_value);
    orv_txn_abort(r);
    EXPECT_TRUE(orv_test::EnvTreesValid(env));
    orv_env_close(env);
  }
}

}  // namespace
