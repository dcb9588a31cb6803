// [range_count]: range_count.cc: orv_count_all, orv_count_range,
// orv_range_count_keys and orv_range_count_values with open and closed
// bounds, their result codes and the order of their checks, and the page
// prefix sums that long-lived cursors of read-only transactions count with.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "count/count_harness.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

inline constexpr unsigned LO = ORV_RANGE_LOWER_INCL;
inline constexpr unsigned HI = ORV_RANGE_UPPER_INCL;

std::string three_digits(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03d", i);
  return buf;
}

// Keys 001 to 100, one value each, in a counted database.
class RangeCount : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *txn = begin();
    dbi_ = open_db(txn, "r", ORV_COUNTED);
    dups_ = open_db(txn, "d", ORV_COUNTED | ORV_DUPSORT);
    plain_ = open_db(txn, "p", 0);
    empty_ = open_db(txn, "e", ORV_COUNTED);
    for (int i = 1; i <= 100; ++i) {
      const std::string k = three_digits(i), v = "v" + k;
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0);
      ASSERT_EQ(orv_put(txn, dups_, &kv, &dv, 0), 0);
      ASSERT_EQ(orv_put(txn, plain_, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  ORV_dbi dbi_ = 0, dups_ = 0, plain_ = 0, empty_ = 0;
};

// A bound by name; "" is an open bound.
struct Bounds {
  std::string low, high;
  const ORV_val *lp() { return low.empty() ? nullptr : (lv_ = val(low), &lv_); }
  const ORV_val *hp() { return high.empty() ? nullptr : (hv_ = val(high), &hv_); }
  ORV_val lv_{}, hv_{};
};

TEST_F(RangeCount, ClosedOpenAndMissingBounds) {
  struct Case {
    const char *low;
    const char *high;
    unsigned flags;
    uint64_t expected;
  } cases[] = {
      {"010", "020", LO | HI, 11}, {"010", "020", LO, 10},
      {"010", "020", HI, 10},      {"010", "020", 0, 9},
      {"010", "010", LO | HI, 1},  {"010", "010", LO, 0},
      {"010", "010", HI, 0},       {"010", "010", 0, 0},
      {"020", "010", LO | HI, 0},  {"", "", 0, 100},
      {"", "", LO | HI, 100},      {"", "050", HI, 50},
      {"", "050", 0, 49},          {"050", "", LO, 51},
      {"050", "", 0, 50},          {"090", "zzz", LO | HI, 11},
      {"000", "005", LO | HI, 5},  {"0105", "0115", 0, 1},
      {"zzz", "", LO, 0},          {"", "000", HI, 0},
      {"100", "100", LO | HI, 1},
  };
  ORV_txn *txn = begin(ORV_RDONLY);
  for (const Case &c : cases) {
    Bounds b{c.low, c.high};
    uint64_t n = 999, keys = 999, values = 999;
    ASSERT_EQ(orv_count_range(txn, dbi_, b.lp(), b.hp(), c.flags, &n), 0) << c.low << c.high;
    EXPECT_EQ(n, c.expected) << c.low << ".." << c.high << " flags " << c.flags;
    // With one value per key every count agrees; the duplicate database
    // walks its keys for the key count.
    ASSERT_EQ(orv_range_count_keys(txn, dbi_, b.lp(), b.hp(), c.flags, &keys), 0);
    EXPECT_EQ(keys, c.expected) << c.low << ".." << c.high;
    ASSERT_EQ(orv_range_count_keys(txn, dups_, b.lp(), b.hp(), c.flags, &keys), 0);
    EXPECT_EQ(keys, c.expected) << c.low << ".." << c.high;
    ASSERT_EQ(orv_range_count_values(txn, dups_, b.lp(), b.hp(), c.flags, &values), 0);
    EXPECT_EQ(values, c.expected) << c.low << ".." << c.high;
  }
  uint64_t all = 0;
  ASSERT_EQ(orv_count_all(txn, dbi_, 0, &all), 0);
  EXPECT_EQ(all, 100u);
  orv_txn_abort(txn);
}

TEST_F(RangeCount, EmptyDatabaseCountsNothing) {
  ORV_txn *txn = begin(ORV_RDONLY);
  const std::string a = "001", z = "100";
  ORV_val lo = val(a), hi = val(z);
  using Fn = int (*)(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned, uint64_t *);
  for (Fn fn : {Fn{orv_count_range}, Fn{orv_range_count_keys}}) {
    for (unsigned flags : {0u, LO, HI, LO | HI}) {
      for (auto [l, h] : {std::pair{&lo, &hi}, std::pair{&lo, (ORV_val *)nullptr},
                          std::pair{(ORV_val *)nullptr, (ORV_val *)nullptr}}) {
        uint64_t n = 7;
        ASSERT_EQ(fn(txn, empty_, l, h, flags, &n), 0);
        EXPECT_EQ(n, 0u);
      }
    }
  }
  uint64_t n = 7;
  ASSERT_EQ(orv_count_all(txn, empty_, 0, &n), 0);
  EXPECT_EQ(n, 0u);
  orv_txn_abort(txn);
}

TEST_F(RangeCount, ResultCodesInTheirOrder) {
  ORV_txn *txn = begin(ORV_RDONLY);
  // A transaction failed by an interrupt.
  ORV_txn *bad = begin(ORV_RDONLY);
  {
    CursorPtr c = open_cursor(bad, dbi_);
    ORV_val k, d;
    ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), EINTR);
    ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  }
  uint64_t n;
  using Fn = int (*)(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned, uint64_t *);
  const auto all = [](ORV_txn *t, ORV_dbi d, const ORV_val *, const ORV_val *, unsigned f,
                      uint64_t *c) { return orv_count_all(t, d, f, c); };
  struct Case {
    const char *what;
    Fn fn;
    ORV_txn **txn;
    ORV_dbi *dbi;
    unsigned flags;
    bool null_out;
    int expected;
  };
  ORV_txn *none = nullptr;
  ORV_dbi far = 77;
  const Fn count_all = all;
  const Case cases[] = {
      {"all: null out", count_all, &txn, &dbi_, 0, true, EINVAL},
      {"all: null txn", count_all, &none, &dbi_, 0, false, EINVAL},
      {"all: handle out of range", count_all, &txn, &far, 0, false, EINVAL},
      {"all: flags 0x1", count_all, &txn, &dbi_, 0x1, false, EINVAL},
      {"all: flags 0x8", count_all, &txn, &dbi_, 0x8, false, EINVAL},
      {"all: flags before counting", count_all, &txn, &plain_, 0x8, false, EINVAL},
      {"all: uncounted", count_all, &txn, &plain_, 0, false, ORV_INCOMPATIBLE},
      {"all: a failed transaction holds no answer", count_all, &bad, &dbi_, 0, false, ORV_BAD_TXN},
      {"range: a failed transaction holds no answer", orv_count_range, &bad, &dbi_, LO | HI, false,
       ORV_BAD_TXN},
      {"all: both flags", count_all, &txn, &dbi_, LO | HI, false, 0},
      {"range: null out", orv_count_range, &txn, &dbi_, 0, true, EINVAL},
      {"range: flags 0x1", orv_count_range, &txn, &plain_, 0x1, false, EINVAL},
      {"range: uncounted", orv_count_range, &txn, &plain_, 0, false, ORV_INCOMPATIBLE},
      {"range: duplicates", orv_count_range, &txn, &dups_, 0, false, ORV_INCOMPATIBLE},
      {"keys: null txn", orv_range_count_keys, &none, &dbi_, 0, false, EINVAL},
      {"keys: handle before the txn", orv_range_count_keys, &bad, &far, 0, false, EINVAL},
      {"keys: txn before flags", orv_range_count_keys, &bad, &dbi_, 0x8, false, ORV_BAD_TXN},
      {"keys: flags before counting", orv_range_count_keys, &txn, &plain_, 0x1, false, EINVAL},
      {"keys: uncounted", orv_range_count_keys, &txn, &plain_, 0, false, ORV_INCOMPATIBLE},
      {"values: txn before flags", orv_range_count_values, &bad, &dups_, 0x8, false, ORV_BAD_TXN},
      {"values: flags 0x8", orv_range_count_values, &txn, &dups_, 0x8, false, EINVAL},
      {"values: no duplicates", orv_range_count_values, &txn, &dbi_, 0, false, ORV_INCOMPATIBLE},
      {"values: uncounted", orv_range_count_values, &txn, &plain_, 0, false, ORV_INCOMPATIBLE},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.fn(*c.txn, *c.dbi, nullptr, nullptr, c.flags, c.null_out ? nullptr : &n),
              c.expected)
        << c.what;
  orv_txn_abort(bad);
  orv_txn_abort(txn);
}

// Counts in a write transaction see its own writes, and a nested child's
// writes while it runs; an aborted child's writes vanish.
TEST_F(RangeCount, WriteTransactionsAndChildrenSeeTheirOwnWrites) {
  ORV_txn *txn = begin();
  const std::string a = "0105", b = "0995";
  ORV_val ak = val(a), bk = val(b), v = val(a);
  ASSERT_EQ(orv_put(txn, dbi_, &ak, &v, 0), 0);
  const std::string lo = "010", hi = "020";
  ORV_val lv = val(lo), hv = val(hi);
  uint64_t n = 0;
  ASSERT_EQ(orv_count_range(txn, dbi_, &lv, &hv, LO | HI, &n), 0);
  EXPECT_EQ(n, 12u);
  ORV_txn *child = begin(0, txn);
  ASSERT_EQ(orv_put(child, dbi_, &bk, &v, 0), 0);
  const std::string fifteen = three_digits(15);
  ORV_val gone = val(fifteen);
  ASSERT_EQ(orv_del(child, dbi_, &gone, nullptr), 0);
  ASSERT_EQ(orv_count_range(child, dbi_, &lv, &hv, LO | HI, &n), 0);
  EXPECT_EQ(n, 11u);
  ASSERT_EQ(orv_count_all(child, dbi_, 0, &n), 0);
  EXPECT_EQ(n, 101u);
  // The parent is blocked while its child runs.
  EXPECT_EQ(orv_range_count_keys(txn, dbi_, &lv, &hv, 0, &n), ORV_BAD_TXN);
  orv_txn_abort(child);
  ASSERT_EQ(orv_count_range(txn, dbi_, &lv, &hv, LO | HI, &n), 0);
  EXPECT_EQ(n, 12u);
  ASSERT_EQ(orv_count_all(txn, dbi_, 0, &n), 0);
  EXPECT_EQ(n, 101u);
  orv_txn_abort(txn);
}

// An interrupt stops a count, also the first one of a transaction (whose
// named databases are still to be refreshed), and fails the transaction.
TEST_F(RangeCount, InterruptStopsCountsAndFailsTheTransaction) {
  using Fn = int (*)(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned, uint64_t *);
  const struct {
    const char *what;
    Fn fn;
    ORV_dbi dbi;
  } cases[] = {{"range", orv_count_range, dbi_},
               {"keys", orv_range_count_keys, dbi_},
               {"keys with duplicates", orv_range_count_keys, dups_},
               {"values", orv_range_count_values, dups_}};
  const std::string a = "005";
  ORV_val lo = val(a);
  for (const auto &c : cases) {
    ORV_txn *txn = begin(ORV_RDONLY);
    uint64_t n = 0;
    ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
    EXPECT_EQ(c.fn(txn, c.dbi, &lo, nullptr, 0, &n), EINTR) << c.what;
    ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
    EXPECT_EQ(c.fn(txn, c.dbi, &lo, nullptr, 0, &n), ORV_BAD_TXN) << c.what;
    orv_txn_abort(txn);
  }
}

// ---- Prefix sums of long-lived cursors -----------------------------------------------------

// orv_cursor_key_rank on a long-lived cursor of a read-only transaction
// counts a leaf's entries with the prefix sums of the cursor's page key
// cache; they must agree with every key's rank page after page, across
// cursor moves in between and a renewal into a newer snapshot.
TEST_F(RangeCount, PrefixSumsOfALongLivedCursorStayExact) {
  for (unsigned flags : {unsigned{ORV_DUPSORT}, unsigned{ORV_DUPSORT | ORV_PREFIXKEY}}) {
    ORV_txn *txn = begin();
    const ORV_dbi dbi = open_db(txn, flags & ORV_PREFIXKEY ? "sp" : "s", flags | ORV_COUNTED);
    CountModel model(flags);
    put_numbered(txn, dbi, model, 0, 1500, 2, 60);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin(ORV_RDONLY);
    CursorPtr c = open_cursor(txn, dbi);
    std::mt19937 rng(11);
    const auto check = [&](const CountModel &m) {
      for (int round = 0; round < 400; ++round) {
        const size_t r = rng() % m.size();
        const std::string key = m.at(r).first;
        ORV_val k = val(key), d = val(m.at(r).second);
        uint64_t rank = 0;
        ASSERT_EQ(orv_cursor_key_rank(c.get(), &k, round % 2 ? &d : nullptr, 0, &rank), 0);
        ASSERT_EQ(rank, r) << key;
        if (round % 7 == 0) {
          ORV_val ck, cd;
          ASSERT_EQ(orv_cursor_get(c.get(), &ck, &cd, ORV_NEXT), 0);
          // A key the cursor handed out may be ranked through that cursor.
          ASSERT_EQ(orv_cursor_key_rank(c.get(), &ck, nullptr, 0, &rank), 0);
          ASSERT_EQ(str(ck), m.at(rank).first);
        }
      }
    };
    check(model);
    orv_txn_abort(txn);

    // New entries in another snapshot: the same cursor, renewed.
    txn = begin();
    put_numbered(txn, dbi, model, 1, 1500, 6, 60);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin(ORV_RDONLY);
    ASSERT_EQ(orv_cursor_renew(txn, c.get()), 0);
    check(model);
    c.reset();
    orv_txn_abort(txn);
  }
}

// ---- Every flag set ----------------------------------------------------------------------

// Range counts follow each database's key order (integers, reversed bytes,
// compressed keys), against the model's own reading of that order.
class RangeByConfig : public EnvFixture, public testing::WithParamInterface<CountConfig> {};

TEST_P(RangeByConfig, RandomRangesMatchTheModel) {
  const unsigned flags = GetParam().flags;
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "c", flags | ORV_COUNTED);
  CountModel model(flags);
  put_numbered(txn, dbi, model, 0, 2400, 3);
  std::mt19937 rng(5);
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 60; ++i) {
      // Bounds on and between the stored keys, and outside them.
      const std::string low = count_key(flags, static_cast<uint32_t>(rng() % 2500));
      const std::string high = count_key(flags, static_cast<uint32_t>(rng() % 2500));
      ORV_val lv = val(low), hv = val(high);
      for (unsigned f : {0u, LO, HI, LO | HI}) {
        for (int open = 0; open < 3; ++open) {
          const ORV_val *lp = open == 1 ? nullptr : &lv;
          const ORV_val *hp = open == 2 ? nullptr : &hv;
          const uint64_t expected = model.range(lp ? &low : nullptr, hp ? &high : nullptr, f);
          uint64_t entries = 0, keys = 0;
          ASSERT_EQ(range_entries(txn, dbi, flags, lp, hp, f, &entries), 0);
          ASSERT_EQ(orv_range_count_keys(txn, dbi, lp, hp, f, &keys), 0);
          EXPECT_EQ(entries, expected) << i << " flags " << f << " open " << open;
          EXPECT_EQ(keys, expected) << i << " flags " << f << " open " << open;
        }
      }
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin(ORV_RDONLY);
  }
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(Flags, RangeByConfig, testing::ValuesIn(kCountConfigs), config_name);

// ---- Where the two bounds' paths part ----------------------------------------------

// A counted database without duplicates three levels deep. Both bounds of a
// range descend together while they go to the same child; the cases below
// take pairs of stored keys whose paths part at the root, part only at the
// level above the leaves, or share the whole path (one leaf), and the keys
// at the ends of the tree. Each pair is counted with every bound flag, as
// the keys themselves and as keys just above or below them (which land past
// a leaf's last slot or before its first), against the model.
class BoundPaths : public EnvFixture, public testing::WithParamInterface<CountConfig> {
 protected:
  static constexpr uint32_t kKeys = 8000;

  // Where the stored key of each rank lies: the slot on every level of its
  // path.
  using Path = std::vector<unsigned>;

  void SetUp() override {
    EnvFixture::SetUp();
    flags_ = GetParam().flags;
    ORV_txn *txn = begin();
    dbi_ = open_db(txn, "b", flags_ | ORV_COUNTED);
    put_numbered(txn, dbi_, model_, 0, kKeys * 3, 3);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin(ORV_RDONLY);
    ORV_stat st{};
    ASSERT_EQ(orv_stat(txn, dbi_, &st), 0);
    ASSERT_EQ(st.ms_depth, 3u) << "the cases need a root, a branch level and leaves";
    CursorPtr c = open_cursor(txn, dbi_);
    ORV_val k, d;
    for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT)) {
      Path path;
      for (unsigned l = 0; l < c->mc_snum; ++l) path.push_back(c->mc_ki[l]);
      paths_.push_back(path);
    }
    orv_txn_abort(txn);
    ASSERT_EQ(paths_.size(), model_.size());
  }

  // The first level at which the paths of ranks a and b differ (the depth
  // when they end on one slot).
  size_t part_level(size_t a, size_t b) const {
    size_t l = 0;
    while (l < paths_[a].size() && paths_[a][l] == paths_[b][l]) ++l;
    return l;
  }
  // The first rank r >= from whose path parts from rank r + 1's at level.
  size_t first_parting(size_t from, size_t level) const {
    for (size_t r = from; r + 1 < paths_.size(); ++r)
      if (part_level(r, r + 1) == level) return r;
    ADD_FAILURE() << "no neighbours part at level " << level;
    return from;
  }

  // A key just above (up) or just below a stored key in this database's
  // order, stored by no entry.
  std::string beside(const std::string &key, bool up) const {
    if (flags_ & ORV_INTEGERKEY) {
      uint32_t n;
      std::memcpy(&n, key.data(), sizeof n);
      return count_key(flags_, up ? n + 1 : n - 1);
    }
    // Shorter keys sort first where a byte is added at the end that is
    // compared first.
    if (flags_ & ORV_REVERSEKEY) return up ? std::string(1, '\0') + key : key.substr(1);
    return up ? key + std::string(1, '\0') : key.substr(0, key.size() - 1);
  }

  // Counts ranks a..b with bounds on, below and above the two keys, with
  // every flag, against the model.
  void check_pair(ORV_txn *txn, size_t a, size_t b, const std::string &what) {
    SCOPED_TRACE(what + ": ranks " + std::to_string(a) + ".." + std::to_string(b));
    const std::string lk = model_.at(a).first, hk = model_.at(b).first;
    const std::string lows[] = {lk, beside(lk, false), beside(lk, true)};
    const std::string highs[] = {hk, beside(hk, false), beside(hk, true)};
    for (const std::string &low : lows) {
      for (const std::string &high : highs) {
        ORV_val lv = val(low), hv = val(high);
        for (unsigned f : {0u, LO, HI, LO | HI}) {
          uint64_t n = ~uint64_t{0};
          ASSERT_EQ(orv_count_range(txn, dbi_, &lv, &hv, f, &n), 0);
          EXPECT_EQ(n, model_.range(&low, &high, f)) << "flags " << f;
        }
      }
    }
  }

  unsigned flags_ = 0;
  ORV_dbi dbi_ = 0;
  CountModel model_{GetParam().flags};
  std::vector<Path> paths_;
};

TEST_P(BoundPaths, CountsWhereverThePathsPart) {
  const size_t last = model_.size() - 1;
  // Neighbours under different children of the root, under one branch page
  // but in two leaves, and in one leaf.
  const size_t at_root = first_parting(0, 0);
  const size_t at_leaves = first_parting(at_root + 1, 1);
  const size_t in_leaf = first_parting(at_leaves + 1, 2);
  struct Case {
    const char *what;
    size_t a, b;
    size_t parts;  // the level at which the two paths part
  } cases[] = {
      {"apart at the root", at_root, at_root + 1, 0},
      {"apart at the root, far", 0, last, 0},
      {"apart at the leaves", at_leaves, at_leaves + 1, 1},
      {"one leaf, neighbours", in_leaf, in_leaf + 1, 2},
      {"one key", in_leaf, in_leaf, 3},
      {"first keys", 0, 1, part_level(0, 1)},
      {"last keys", last - 1, last, part_level(last - 1, last)},
      {"first key alone", 0, 0, 3},
      {"last key alone", last, last, 3},
  };
  for (int pass = 0; pass < 2; ++pass) {
    // In the write transaction (dirty pages) and in a read-only one.
    ORV_txn *txn = begin(pass == 0 ? 0 : ORV_RDONLY);
    for (const Case &c : cases) {
      EXPECT_EQ(part_level(c.a, c.b), c.parts) << c.what;
      check_pair(txn, c.a, c.b, c.what);
    }
    // Every leaf's first and last key against its neighbours, and ranges
    // that open on one side.
    for (size_t r = 0; r + 1 < paths_.size(); r += 7) check_pair(txn, r, r + 1, "neighbours");
    for (const size_t r : {size_t{0}, at_root, at_leaves, last}) {
      const std::string key = model_.at(r).first;
      ORV_val kv = val(key);
      for (unsigned f : {0u, LO, HI, LO | HI}) {
        uint64_t up = 0, down = 0;
        ASSERT_EQ(orv_count_range(txn, dbi_, &kv, nullptr, f, &up), 0);
        ASSERT_EQ(orv_count_range(txn, dbi_, nullptr, &kv, f, &down), 0);
        EXPECT_EQ(up, model_.range(&key, nullptr, f)) << r;
        EXPECT_EQ(down, model_.range(nullptr, &key, f)) << r;
      }
    }
    if (pass == 0) {
      // A write through the shared path: the counts follow it.
      const std::string k = beside(model_.at(at_leaves).first, true);
      const std::string v = "new";
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0);
      model_.put(k, v);
      check_pair(txn, at_leaves, at_leaves + 2, "after a put");
      ASSERT_EQ(orv_txn_commit(txn), 0);
    } else {
      orv_txn_abort(txn);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Flags, BoundPaths,
                         testing::Values(CountConfig{"Plain", 0},
                                         CountConfig{"PrefixKey", ORV_PREFIXKEY},
                                         CountConfig{"IntegerKey", ORV_INTEGERKEY},
                                         CountConfig{"ReverseKey", ORV_REVERSEKEY}),
                         config_name);

// ---- Sorted duplicates ----------------------------------------------------------------

// Keys a (2 values), b (3 values), c (1 value).
TEST_F(RangeCount, ValuesAndKeysOfKeysWithDuplicates) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "dd", ORV_COUNTED | ORV_DUPSORT);
  const std::pair<std::string, std::string> pairs[] = {{"a", "1"}, {"a", "2"}, {"b", "1"},
                                                       {"b", "2"}, {"b", "3"}, {"c", "1"}};
  for (const auto &[key, value] : pairs) {
    ORV_val k = val(key), d = val(value);
    ASSERT_EQ(orv_put(txn, dbi, &k, &d, 0), 0);
  }
  struct Case {
    const char *low;
    const char *high;
    unsigned flags;
    uint64_t values;
    uint64_t keys;
  } cases[] = {{"a", "b", LO | HI, 5, 2}, {"a", "c", HI, 4, 2},      {"a", "c", LO | HI, 6, 3},
               {"", "", 0, 6, 3},         {"b", "b", LO | HI, 3, 1}, {"b", "b", LO, 0, 0}};
  for (const Case &c : cases) {
    Bounds b{c.low, c.high};
    uint64_t values = 0, keys = 0;
    ASSERT_EQ(orv_range_count_values(txn, dbi, b.lp(), b.hp(), c.flags, &values), 0);
    EXPECT_EQ(values, c.values) << c.low << ".." << c.high;
    ASSERT_EQ(orv_range_count_keys(txn, dbi, b.lp(), b.hp(), c.flags, &keys), 0);
    EXPECT_EQ(keys, c.keys) << c.low << ".." << c.high;
  }
  uint64_t n = 0;
  EXPECT_EQ(orv_count_range(txn, dbi, nullptr, nullptr, 0, &n), ORV_INCOMPATIBLE);
  orv_txn_abort(txn);
}

}  // namespace

// ---- Counts of one snapshot, several times over ---------------------------------

// A read-only transaction keeps what it learnt of its snapshot's branch
// pages between counts; it must answer for its own snapshot only, also
// after a reset and renew onto a newer one. Write transactions, nested or
// not, count from their own pages every time.
class SnapshotCounts : public EnvFixture {
 protected:
  // Keys 0 .. kKeys - 1 at first; later writes add keys up to kAll.
  static constexpr uint32_t kKeys = 16000, kAll = 19000;

  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *txn = begin();
    dbi_ = open_db(txn, "s", ORV_COUNTED);
    put_numbered(txn, dbi_, model_, 0, kKeys);
    ORV_stat st{};
    ASSERT_EQ(orv_stat(txn, dbi_, &st), 0);
    ASSERT_GE(st.ms_depth, 3u) << "the branch pages below the root are what is kept";
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  // Ranges, ranks and key ranks of txn against model.
  void check(ORV_txn *txn, const CountModel &model, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < 150; ++i) {
      const std::string low = count_key(0, rng() % kAll), high = count_key(0, rng() % kAll);
      ORV_val lv = val(low), hv = val(high);
      uint64_t n = 0;
      ASSERT_EQ(orv_count_range(txn, dbi_, &lv, &hv, LO | HI, &n), 0);
      EXPECT_EQ(n, model.range(&low, &high, LO | HI)) << low << ".." << high;
      ASSERT_EQ(orv_count_range(txn, dbi_, nullptr, &hv, 0, &n), 0);
      EXPECT_EQ(n, model.range(nullptr, &high, 0)) << high;
    }
    for (uint64_t r = 0; r < model.size(); r += 13) {
      ORV_val k, d;
      ASSERT_EQ(orv_get_rank(txn, dbi_, r, &k, &d), 0) << r;
      EXPECT_EQ(str(k), model.at(r).first) << r;
      uint64_t rank = 0;
      ASSERT_EQ(orv_get_key_rank(txn, dbi_, &k, nullptr, &rank), 0);
      EXPECT_EQ(rank, r);
    }
    ORV_val k, d;
    EXPECT_EQ(orv_get_rank(txn, dbi_, model.size(), &k, &d), ORV_NOTFOUND);
  }

  // A commit that moves counts all over the tree: every step-th key from
  // first is removed when stored and stored when absent.
  void rewrite(CountModel *model, uint32_t first = 0, uint32_t step = 5) {
    ORV_txn *txn = begin();
    for (uint32_t i = first; i < kAll; i += step) {
      const std::string k = count_key(0, i), v = count_value(0, i);
      ORV_val kv = val(k), dv = val(v);
      if (model->contains(k)) {
        ASSERT_EQ(orv_del(txn, dbi_, &kv, nullptr), 0) << i;
        model->erase(k);
      } else {
        ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0) << i;
        model->put(k, v);
      }
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  CountModel model_{0};
  ORV_dbi dbi_ = 0;
};

TEST_F(SnapshotCounts, RenewedReadersCountTheirOwnSnapshot) {
  ORV_txn *reader = begin(ORV_RDONLY);
  check(reader, model_, 1);
  // Renewed onto the same snapshot, and asked again.
  orv_txn_reset(reader);
  ASSERT_EQ(orv_txn_renew(reader), 0);
  check(reader, model_, 2);

  CountModel before = model_;
  rewrite(&model_);
  // The running reader still sees its snapshot; a renewed one the new one.
  check(reader, before, 3);
  orv_txn_reset(reader);
  ASSERT_EQ(orv_txn_renew(reader), 0);
  check(reader, model_, 4);
  // Renewed after commits made while it held no snapshot, whose light
  // changes keep most branch pages' slot counts and whose pages may come
  // back under page numbers of the snapshots before.
  for (uint32_t round = 1; round <= 4; ++round) {
    orv_txn_reset(reader);
    rewrite(&model_, round * 7, 61);
    rewrite(&model_, round * 11, 67);
    ASSERT_EQ(orv_txn_renew(reader), 0);
    check(reader, model_, 40 + round);
  }
  // A second reader of the new snapshot beside it.
  ORV_txn *other = begin(ORV_RDONLY);
  check(other, model_, 5);
  orv_txn_abort(other);
  orv_txn_abort(reader);
}

// One reader counts a tree of one branch page, then one of many, then the
// first again, and after a renew the second grown to several times its
// size: what it keeps of each snapshot's branch pages grows with the
// trees it counts and never answers for another page.
TEST_F(SnapshotCounts, OneReaderCountsTreesOfEverySize) {
  ORV_txn *txn = begin();
  const ORV_dbi small = open_db(txn, "t", ORV_COUNTED);
  CountModel tiny(0);
  put_numbered(txn, small, tiny, 0, 400, 1, 40);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  const auto check_small = [&](ORV_txn *t) {
    for (uint32_t lo = 0; lo < 400; lo += 37) {
      const std::string low = count_key(0, lo), high = count_key(0, lo + 150);
      ORV_val lv = val(low), hv = val(high);
      uint64_t n = 0;
      ASSERT_EQ(orv_count_range(t, small, &lv, &hv, LO, &n), 0);
      EXPECT_EQ(n, tiny.range(&low, &high, LO)) << low << ".." << high;
    }
  };
  ORV_txn *reader = begin(ORV_RDONLY);
  check_small(reader);
  check(reader, model_, 12);
  check_small(reader);
  orv_txn_reset(reader);
  txn = begin();
  put_numbered(txn, dbi_, model_, kAll, kAll + 40000, 1, 100);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ASSERT_EQ(orv_txn_renew(reader), 0);
  check(reader, model_, 13);
  check_small(reader);
  check(reader, model_, 14);
  orv_txn_abort(reader);
}

TEST_F(SnapshotCounts, NestedWritesCountTheirOwnPages) {
  ORV_txn *txn = begin();
  check(txn, model_, 6);
  ORV_txn *child = begin(0, txn);
  CountModel parent = model_;
  CountModel mine = model_;
  {
    ORV_txn *w = child;
    for (uint32_t i = 1; i < kKeys; i += 4) {
      const std::string k = count_key(0, i);
      ORV_val kv = val(k);
      ASSERT_EQ(orv_del(w, dbi_, &kv, nullptr), 0) << i;
      mine.erase(k);
    }
    put_numbered(w, dbi_, mine, kKeys, kKeys + 2000, 2);
  }
  check(child, mine, 7);
  orv_txn_abort(child);
  check(txn, parent, 8);
  child = begin(0, txn);
  put_numbered(child, dbi_, parent, kKeys + 2001, kAll, 3);
  check(child, parent, 9);
  ASSERT_EQ(orv_txn_commit(child), 0);
  check(txn, parent, 10);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ORV_txn *reader = begin(ORV_RDONLY);
  check(reader, parent, 11);
  orv_txn_abort(reader);
}
