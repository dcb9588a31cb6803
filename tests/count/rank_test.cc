// [rank]: rank.cc: the entry at a rank (orv_cursor_get_rank, orv_get_rank),
// the rank of a key or key/value pair (orv_cursor_key_rank,
// orv_get_key_rank), their result codes and the order of their checks, the
// rank cache of a cursor, and keys handed out by orv_get_rank.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "count/count_harness.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

// A counted database filled with n entries in a scrambled order.
class RankByConfig : public EnvFixture, public testing::WithParamInterface<CountConfig> {
 protected:
  unsigned flags() const { return GetParam().flags; }

  void fill(ORV_txn *txn, ORV_dbi dbi, CountModel &model, uint32_t n) {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (uint32_t i : order) {
      const std::string k = count_key(flags(), i), v = count_value(flags(), i);
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
      model.put(k, v);
    }
  }

  // Every rank through orv_get_rank and through one cursor, and every key
  // and pair rank, against the model.
  void check_ranks(ORV_txn *txn, ORV_dbi dbi, const CountModel &model) {
    const uint64_t n = model.size();
    CursorPtr ranked = open_cursor(txn, dbi);
    CursorPtr walked = open_cursor(txn, dbi);
    for (uint64_t r = 0; r < n; ++r) {
      const auto &[key, value] = model.at(r);
      ORV_val k{}, d{}, wk{}, wd{};
      ASSERT_EQ(orv_get_rank(txn, dbi, r, &k, &d), 0) << r;
      ASSERT_EQ(str(k), key) << r;
      ASSERT_EQ(str(d), value) << r;
      // Ranks 0, 1, 2, ... on one cursor meet the entries ORV_NEXT meets.
      ASSERT_EQ(orv_cursor_get_rank(ranked.get(), r, &k, &d, 0), 0) << r;
      ASSERT_EQ(orv_cursor_get(walked.get(), &wk, &wd, ORV_NEXT), 0) << r;
      ASSERT_EQ(str(k), str(wk)) << r;
      ASSERT_EQ(str(d), str(wd)) << r;

      ORV_val qk = val(key), qd = val(value);
      uint64_t rank = ~uint64_t{0};
      ASSERT_EQ(orv_get_key_rank(txn, dbi, &qk, nullptr, &rank), 0) << r;
      ASSERT_EQ(rank, r);
      ASSERT_EQ(orv_cursor_key_rank(ranked.get(), &qk, &qd, 0, &rank), 0) << r;
      ASSERT_EQ(rank, r);
    }
    ORV_val k, d;
    EXPECT_EQ(orv_get_rank(txn, dbi, n, &k, &d), ORV_NOTFOUND);
    EXPECT_EQ(orv_cursor_get_rank(ranked.get(), n, &k, &d, 0), ORV_NOTFOUND);
    // The cursor's position survives a lookup of a key's rank.
    ASSERT_EQ(orv_cursor_get_rank(ranked.get(), n / 2, nullptr, nullptr, 0), 0);
    ORV_val probe = val(model.at(0).first);
    uint64_t rank;
    ASSERT_EQ(orv_cursor_key_rank(ranked.get(), &probe, nullptr, 0, &rank), 0);
    ASSERT_EQ(orv_cursor_get(ranked.get(), &k, &d, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(k), model.at(n / 2).first);
  }
};

TEST_P(RankByConfig, RanksMatchTheModelInWriteAndReadTransactions) {
  CountModel model(flags());
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "c", flags() | ORV_COUNTED);
  fill(txn, dbi, model, 1200);
  check_ranks(txn, dbi, model);
  ASSERT_EQ(orv_txn_commit(txn), 0);

  txn = begin(ORV_RDONLY);
  check_ranks(txn, dbi, model);
  orv_txn_abort(txn);
}

TEST_P(RankByConfig, MissingKeysAndPairsHaveNoRank) {
  CountModel model(flags());
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "c", flags() | ORV_COUNTED);
  fill(txn, dbi, model, 300);
  const std::string absent = count_key(flags(), 5000);
  const std::string other = count_value(flags(), 299);
  struct Case {
    const char *what;
    std::string key;
    const std::string *value;
  } cases[] = {
      {"key past every key", absent, nullptr},
      {"pair of a missing key", absent, &other},
      {"present key with another value", count_key(flags(), 17), &other},
  };
  for (const Case &c : cases) {
    ORV_val k = val(c.key), d{};
    if (c.value != nullptr) d = val(*c.value);
    uint64_t rank = 12345;
    EXPECT_EQ(orv_get_key_rank(txn, dbi, &k, c.value ? &d : nullptr, &rank), ORV_NOTFOUND)
        << c.what;
    EXPECT_EQ(rank, 12345u) << c.what;
  }
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(Flags, RankByConfig, testing::ValuesIn(kCountConfigs), config_name);

// ---- Result codes and the order of the checks ---------------------------------------------

class RankErrors : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *txn = begin();
    counted_ = open_db(txn, "counted", ORV_COUNTED);
    plain_ = open_db(txn, "plain", 0);
    const std::string value = "v";
    for (const std::string k : {"a", "b", "c"}) {
      ORV_val kv = val(k), dv = val(value);
      ASSERT_EQ(orv_put(txn, counted_, &kv, &dv, 0), 0);
      ASSERT_EQ(orv_put(txn, plain_, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  // Fails a read-only transaction by an interrupt: every later operation
  // answers ORV_BAD_TXN.
  void fail(ORV_txn *txn) {
    CursorPtr c = open_cursor(txn, counted_);
    ORV_val k, d;
    EXPECT_EQ(orv_env_set_interrupt(env_, 1), 0);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), EINTR);
    EXPECT_EQ(orv_env_set_interrupt(env_, 0), 0);
  }

  ORV_dbi counted_ = 0, plain_ = 0;
};

TEST_F(RankErrors, EntryAtRankChecksInOrder) {
  ORV_txn *txn = begin(ORV_RDONLY);
  ORV_txn *bad = begin(ORV_RDONLY);
  CursorPtr c = open_cursor(txn, counted_), p = open_cursor(txn, plain_);
  CursorPtr bc = open_cursor(bad, counted_), bp = open_cursor(bad, plain_);
  fail(bad);
  ORV_val k, d;
  struct Case {
    const char *what;
    std::function<int()> call;
    int expected;
  } cases[] = {
      {"null cursor", [&] { return orv_cursor_get_rank(nullptr, 0, &k, &d, 0); }, EINVAL},
      {"flags before counting", [&] { return orv_cursor_get_rank(p.get(), 0, &k, &d, 1); }, EINVAL},
      {"uncounted even past the end", [&] { return orv_cursor_get_rank(p.get(), 99, &k, &d, 0); },
       ORV_INCOMPATIBLE},
      {"uncounted before a failed txn", [&] { return orv_cursor_get_rank(bp.get(), 0, &k, &d, 0); },
       ORV_INCOMPATIBLE},
      {"failed txn before the end", [&] { return orv_cursor_get_rank(bc.get(), 99, &k, &d, 0); },
       ORV_BAD_TXN},
      {"rank = entries", [&] { return orv_cursor_get_rank(c.get(), 3, &k, &d, 0); }, ORV_NOTFOUND},
      {"last rank", [&] { return orv_cursor_get_rank(c.get(), 2, &k, &d, 0); }, 0},
      {"null txn", [&] { return orv_get_rank(nullptr, counted_, 0, &k, &d); }, EINVAL},
      {"handle out of range", [&] { return orv_get_rank(txn, 77, 0, &k, &d); }, EINVAL},
      {"handle before a failed txn", [&] { return orv_get_rank(bad, 77, 0, &k, &d); }, EINVAL},
      {"failed txn before counting", [&] { return orv_get_rank(bad, plain_, 0, &k, &d); },
       ORV_BAD_TXN},
      {"uncounted through a handle", [&] { return orv_get_rank(txn, plain_, 0, &k, &d); },
       ORV_INCOMPATIBLE},
      {"past the end through a handle", [&] { return orv_get_rank(txn, counted_, 3, &k, &d); },
       ORV_NOTFOUND},
  };
  for (const Case &c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
  c.reset();
  p.reset();
  bc.reset();
  bp.reset();
  orv_txn_abort(bad);
  orv_txn_abort(txn);
}

TEST_F(RankErrors, KeyRankChecksInOrder) {
  ORV_txn *txn = begin(ORV_RDONLY);
  ORV_txn *bad = begin(ORV_RDONLY);
  CursorPtr c = open_cursor(txn, counted_), p = open_cursor(txn, plain_);
  CursorPtr bp = open_cursor(bad, plain_);
  fail(bad);
  const std::string sa = "a", sz = "z";
  ORV_val a = val(sa), z = val(sz), empty{0, nullptr};
  uint64_t r;
  struct Case {
    const char *what;
    std::function<int()> call;
    int expected;
  } cases[] = {
      {"null cursor", [&] { return orv_cursor_key_rank(nullptr, &a, nullptr, 0, &r); }, EINVAL},
      {"null key", [&] { return orv_cursor_key_rank(c.get(), nullptr, nullptr, 0, &r); }, EINVAL},
      {"null rank", [&] { return orv_cursor_key_rank(c.get(), &a, nullptr, 0, nullptr); }, EINVAL},
      {"flags", [&] { return orv_cursor_key_rank(p.get(), &a, nullptr, 2, &r); }, EINVAL},
      {"failed txn before counting",
       [&] { return orv_cursor_key_rank(bp.get(), &a, nullptr, 0, &r); }, ORV_BAD_TXN},
      {"uncounted", [&] { return orv_cursor_key_rank(p.get(), &z, nullptr, 0, &r); },
       ORV_INCOMPATIBLE},
      {"missing key", [&] { return orv_cursor_key_rank(c.get(), &z, nullptr, 0, &r); },
       ORV_NOTFOUND},
      {"empty key", [&] { return orv_cursor_key_rank(c.get(), &empty, nullptr, 0, &r); },
       ORV_BAD_VALSIZE},
      {"null txn", [&] { return orv_get_key_rank(nullptr, counted_, &a, nullptr, &r); }, EINVAL},
      {"handle out of range", [&] { return orv_get_key_rank(txn, 77, &a, nullptr, &r); }, EINVAL},
      {"handle null key", [&] { return orv_get_key_rank(txn, counted_, nullptr, nullptr, &r); },
       EINVAL},
      {"handle failed txn", [&] { return orv_get_key_rank(bad, plain_, &a, nullptr, &r); },
       ORV_BAD_TXN},
      {"handle uncounted", [&] { return orv_get_key_rank(txn, plain_, &a, nullptr, &r); },
       ORV_INCOMPATIBLE},
      {"handle missing key", [&] { return orv_get_key_rank(txn, counted_, &z, nullptr, &r); },
       ORV_NOTFOUND},
  };
  for (const Case &c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
  c.reset();
  p.reset();
  bp.reset();
  orv_txn_abort(bad);
  orv_txn_abort(txn);
}

TEST_F(RankErrors, InterruptFailsTheKeyRankAndItsTransaction) {
  ORV_txn *txn = begin(ORV_RDONLY);
  const std::string sb = "b";
  ORV_val b = val(sb);
  uint64_t r = 0;
  ASSERT_EQ(orv_get_key_rank(txn, counted_, &b, nullptr, &r), 0);
  EXPECT_EQ(r, 1u);
  ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
  EXPECT_EQ(orv_get_key_rank(txn, counted_, &b, nullptr, &r), EINTR);
  ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  EXPECT_EQ(orv_get_key_rank(txn, counted_, &b, nullptr, &r), ORV_BAD_TXN);
  orv_txn_abort(txn);
}

// ---- The rank cache ------------------------------------------------------------------------

class RankCache : public EnvFixture {};

// A write through another cursor moves entries under a cursor's cached
// path; the next rank lookup on that cursor must see the new order.
TEST_F(RankCache, WritesInTheTransactionAreSeenByTheNextLookup) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "c", ORV_COUNTED);
  CountModel model(0);
  put_numbered(txn, dbi, model, 0, 400, 2);
  CursorPtr c = open_cursor(txn, dbi);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get_rank(c.get(), 50, &k, &d, 0), 0);
  // New entries before and after the cursor, one of them on its leaf.
  for (uint32_t i : {1u, 99u, 101u, 301u}) {
    const std::string nk = count_key(0, i), nv = count_value(0, i);
    ORV_val kv = val(nk), dv = val(nv);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    model.put(nk, nv);
  }
  for (uint64_t r : {51u, 52u, 60u, 150u, 203u}) {
    ASSERT_EQ(orv_cursor_get_rank(c.get(), r, &k, &d, 0), 0);
    EXPECT_EQ(str(k), model.at(r).first) << r;
  }
  c.reset();
  orv_txn_abort(txn);
}

// A cursor's rank cache and other operations interleave: a step, a search
// or a renewal in between leaves the next rank lookup exact.
TEST_F(RankCache, OtherOperationsInBetweenKeepLookupsExact) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "c", ORV_COUNTED | ORV_PREFIXKEY);
  CountModel model(ORV_PREFIXKEY);
  put_numbered(txn, dbi, model, 0, 900);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  txn = begin(ORV_RDONLY);
  CursorPtr c = open_cursor(txn, dbi);
  ORV_val k, d;
  const auto at = [&](uint64_t r) {
    ASSERT_EQ(orv_cursor_get_rank(c.get(), r, &k, &d, 0), 0) << r;
    EXPECT_EQ(str(k), model.at(r).first) << r;
  };
  at(10);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), 0);
  EXPECT_EQ(str(k), model.at(11).first);
  at(12);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_PREV), 0);
  EXPECT_EQ(str(k), model.at(11).first);
  at(12);
  ORV_val far = val(model.at(700).first);
  ASSERT_EQ(orv_cursor_get(c.get(), &far, &d, ORV_SET_KEY), 0);
  at(13);
  at(13);
  at(899);
  at(0);
  orv_txn_reset(txn);
  ASSERT_EQ(orv_txn_renew(txn), 0);
  ASSERT_EQ(orv_cursor_renew(txn, c.get()), 0);
  at(450);
  at(451);
  c.reset();
  orv_txn_abort(txn);
}

// ---- Keys handed out by orv_get_rank -----------------------------------------------------

class RankKeys : public EnvFixture {};

TEST_F(RankKeys, PrefixCompressedKeysOutliveTheCall) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "c", ORV_COUNTED | ORV_PREFIXKEY);
  CountModel model(ORV_PREFIXKEY);
  put_numbered(txn, dbi, model, 0, 500, 1, 40);
  const std::string other = model.at(0).first;
  for (int pass = 0; pass < 2; ++pass) {
    // Slot 0 of a leaf is stored whole, the others are rebuilt: ask for a
    // run of ranks so that both kinds are returned.
    for (uint64_t r = 100; r < 160; ++r) {
      ORV_val k, d, ok = val(other), od;
      ASSERT_EQ(orv_get_rank(txn, dbi, r, &k, &d), 0);
      // Another lookup through a cursor of its own reuses the stack the
      // temporary cursor of orv_get_rank lived on.
      ASSERT_EQ(orv_get(txn, dbi, &ok, &od), 0);
      EXPECT_EQ(str(k), model.at(r).first) << r;
      EXPECT_EQ(str(d), model.at(r).second) << r;
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin(ORV_RDONLY);
  }
  orv_txn_abort(txn);
}

// ---- Sorted duplicates ----------------------------------------------------------------

class RankDuplicates : public EnvFixture {
 protected:
  // Keys a, b (values x, y, z), c.
  ORV_dbi fill(ORV_txn *txn) {
    const ORV_dbi dbi = open_db(txn, "d", ORV_COUNTED | ORV_DUPSORT);
    const std::pair<const char *, const char *> pairs[] = {
        {"a", "1"}, {"b", "x"}, {"b", "y"}, {"b", "z"}, {"c", "1"}};
    for (auto [key, value] : pairs) {
      const std::string ks = key, vs = value;
      ORV_val k = val(ks), d = val(vs);
      EXPECT_EQ(orv_put(txn, dbi, &k, &d, 0), 0) << key << value;
    }
    return dbi;
  }
};

TEST_F(RankDuplicates, EveryValueHasARankOfItsOwn) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = fill(txn);
  struct Case {
    uint64_t rank;
    int rc;
    const char *key;
    const char *value;
  } cases[] = {{0, 0, "a", "1"}, {1, 0, "b", "x"}, {2, 0, "b", "y"},
               {3, 0, "b", "z"}, {4, 0, "c", "1"}, {5, ORV_NOTFOUND, "", ""}};
  CursorPtr c = open_cursor(txn, dbi);
  for (const Case &t : cases) {
    ORV_val k, d;
    ASSERT_EQ(orv_get_rank(txn, dbi, t.rank, &k, &d), t.rc) << t.rank;
    ASSERT_EQ(orv_cursor_get_rank(c.get(), t.rank, &k, &d, 0), t.rc) << t.rank;
    if (t.rc != 0) continue;
    EXPECT_EQ(str(k), t.key) << t.rank;
    EXPECT_EQ(str(d), t.value) << t.rank;
  }
  c.reset();
  orv_txn_abort(txn);
}

TEST_F(RankDuplicates, KeyAndPairRanks) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = fill(txn);
  struct Case {
    const char *key;
    const char *value;  // null: the key's rank
    int rc;
    uint64_t rank;
  } cases[] = {{"b", nullptr, 0, 1},
               {"b", "y", 0, 2},
               {"b", "z", 0, 3},
               {"b", "w", ORV_NOTFOUND, 0},
               {"d", nullptr, ORV_NOTFOUND, 0},
               {"c", nullptr, 0, 4}};
  for (const Case &t : cases) {
    const std::string ks = t.key, vs = t.value != nullptr ? t.value : "";
    ORV_val k = val(ks), d = val(vs);
    uint64_t rank = 0;
    ASSERT_EQ(orv_get_key_rank(txn, dbi, &k, t.value ? &d : nullptr, &rank), t.rc) << t.key;
    if (t.rc == 0) {
      EXPECT_EQ(rank, t.rank) << t.key << (t.value ? t.value : "");
    }
  }
  orv_txn_abort(txn);
}

}  // namespace
