// [count_model]: ranks and range counts (rank.cc, range_count.cc) against an
// ordered model under random writes: after every round, inside the write
// transaction and a nested child (which sees its own writes), after commit
// or abort, and in a read-only transaction, compare
//  - every rank (a random sample on large trees), through orv_get_rank;
//  - a walk of consecutive ranks on one cursor with what ORV_NEXT returns;
//  - random key ranks and pair ranks, present and absent;
//  - random range counts with every combination of bound flags, open
//    bounds, bounds that are no key of the database, and narrow ranges.
// The seed of a failing run is printed with the failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "count/count_harness.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

inline constexpr CountConfig kModelConfigs[] = {
    {"Plain", 0},
    {"PrefixKey", ORV_PREFIXKEY},
    {"DupSort", ORV_DUPSORT},
    {"DupSortPrefixKey", ORV_DUPSORT | ORV_PREFIXKEY},
};

struct Workload {
  uint32_t seed;
  int rounds;
  int ops;             // writes per round (and per nested child)
  uint32_t keys;       // size of the key space
  size_t full;         // trees up to this size get every rank checked
  unsigned min_depth;  // the tree grows at least this deep
};

class ModelRun : public EnvFixture {
 protected:
  void run(unsigned flags, const Workload &w) {
    SCOPED_TRACE("seed " + std::to_string(w.seed));
    flags_ = flags;
    w_ = w;
    rng_.seed(w.seed);
    ORV_txn *txn = begin();
    const std::string name = "m" + std::to_string(w.seed);
    const ORV_dbi dbi = open_db(txn, name.c_str(), flags | ORV_COUNTED);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    CountModel committed(flags);

    for (int round = 0; round < w.rounds; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      txn = begin();
      CountModel work = committed;
      write(txn, dbi, work);
      check(txn, dbi, work);
      if (rng_() % 2 == 0) {
        ORV_txn *child = begin(0, txn);
        CountModel nested = work;
        write(child, dbi, nested);
        check(child, dbi, nested);
        if (rng_() % 3 != 0) {
          ASSERT_EQ(orv_txn_commit(child), 0);
          work = nested;
        } else {
          orv_txn_abort(child);
        }
        check(txn, dbi, work);
      }
      if (rng_() % 5 == 0) {
        orv_txn_abort(txn);
      } else {
        ASSERT_EQ(orv_txn_commit(txn), 0);
        committed = work;
      }
      ORV_txn *ro = begin(ORV_RDONLY);
      check(ro, dbi, committed);
      orv_txn_abort(ro);
      if (HasFatalFailure()) return;
    }
    // The walks above crossed branch pages of more than one level.
    ORV_stat st{};
    txn = begin(ORV_RDONLY);
    ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
    orv_txn_abort(txn);
    EXPECT_GE(st.ms_depth, w.min_depth);
  }

 private:
  std::string random_key() { return count_key(flags_, static_cast<uint32_t>(rng_() % w_.keys)); }

  // Random puts and deletes, mirrored in the model.
  void write(ORV_txn *txn, ORV_dbi dbi, CountModel &model) {
    for (int i = 0; i < w_.ops; ++i) {
      const std::string key = random_key();
      ORV_val k = val(key);
      if (rng_() % 4 == 0 && model.size() > 0) {
        const std::string victim = model.at(rng_() % model.size()).first;
        ORV_val vk = val(victim);
        ASSERT_EQ(orv_del(txn, dbi, &vk, nullptr), 0);
        model.erase(victim);
        continue;
      }
      // A key of a database with duplicates keeps its one value: a second
      // one would be a duplicate, which is not written yet.
      if ((flags_ & ORV_DUPSORT) && model.contains(key)) continue;
      const std::string value = count_value(flags_, static_cast<uint32_t>(rng_()), 480);
      ORV_val d = val(value);
      ASSERT_EQ(orv_put(txn, dbi, &k, &d, 0), 0);
      model.put(key, value);
    }
  }

  void check(ORV_txn *txn, ORV_dbi dbi, const CountModel &model) {
    const uint64_t n = model.size();
    uint64_t count = 0;
    ASSERT_EQ(orv_count_all(txn, dbi, 0, &count), 0);
    ASSERT_EQ(count, n);
    check_ranks(txn, dbi, model);
    check_walk(txn, dbi, model);
    check_key_ranks(txn, dbi, model);
    check_ranges(txn, dbi, model);
  }

  void check_ranks(ORV_txn *txn, ORV_dbi dbi, const CountModel &model) {
    const uint64_t n = model.size();
    const bool every = n <= w_.full;
    for (uint64_t i = 0; i < (every ? n : 200); ++i) {
      const uint64_t r = every ? i : rng_() % n;
      ORV_val k, d;
      ASSERT_EQ(orv_get_rank(txn, dbi, r, &k, &d), 0) << r;
      ASSERT_EQ(str(k), model.at(r).first) << r;
      ASSERT_EQ(str(d), model.at(r).second) << r;
    }
    ORV_val k, d;
    ASSERT_EQ(orv_get_rank(txn, dbi, n, &k, &d), ORV_NOTFOUND);
  }

  // Consecutive ranks on one cursor meet what ORV_NEXT meets.
  void check_walk(ORV_txn *txn, ORV_dbi dbi, const CountModel &model) {
    const uint64_t n = model.size();
    if (n == 0) return;
    const uint64_t start = n <= w_.full ? 0 : rng_() % n;
    const uint64_t end = n <= w_.full ? n : std::min<uint64_t>(n, start + 300);
    CursorPtr ranked = open_cursor(txn, dbi), stepped = open_cursor(txn, dbi);
    ORV_val sk = val(model.at(start).first), sd;
    ASSERT_EQ(orv_cursor_get(stepped.get(), &sk, &sd, ORV_SET_KEY), 0);
    for (uint64_t r = start; r < end; ++r) {
      ORV_val k, d;
      ASSERT_EQ(orv_cursor_get_rank(ranked.get(), r, &k, &d, 0), 0) << r;
      if (r > start) {
        ASSERT_EQ(orv_cursor_get(stepped.get(), &sk, &sd, ORV_NEXT), 0) << r;
      }
      ASSERT_EQ(str(k), str(sk)) << r;
      ASSERT_EQ(str(d), str(sd)) << r;
    }
    ORV_val k, d;
    if (end == n) {
      EXPECT_EQ(orv_cursor_get(stepped.get(), &k, &d, ORV_NEXT), ORV_NOTFOUND);
    }
  }

  void check_key_ranks(ORV_txn *txn, ORV_dbi dbi, const CountModel &model) {
    CursorPtr c = open_cursor(txn, dbi);
    for (int i = 0; i < 60; ++i) {
      const std::string key = random_key();
      ORV_val k = val(key);
      uint64_t rank = 0;
      const int64_t expected = model.rank(key);
      const int rc = i % 2 ? orv_get_key_rank(txn, dbi, &k, nullptr, &rank)
                           : orv_cursor_key_rank(c.get(), &k, nullptr, 0, &rank);
      if (expected < 0) {
        ASSERT_EQ(rc, ORV_NOTFOUND) << key;
        continue;
      }
      ASSERT_EQ(rc, 0) << key;
      ASSERT_EQ(rank, static_cast<uint64_t>(expected)) << key;
      // The pair with its stored value has the same rank; with another
      // value it has none.
      const std::string stored = model.at(rank).second;
      const std::string other = count_value(flags_, static_cast<uint32_t>(rng_()), 480);
      ORV_val sd = val(stored), od = val(other);
      ASSERT_EQ(orv_get_key_rank(txn, dbi, &k, &sd, &rank), 0) << key;
      ASSERT_EQ(rank, static_cast<uint64_t>(expected)) << key;
      if (other != stored) {
        ASSERT_EQ(orv_cursor_key_rank(c.get(), &k, &od, 0, &rank), ORV_NOTFOUND);
      }
    }
  }

  // A bound: a key of the key space (present or not), a key between keys
  // of the space, or an open bound.
  bool random_bound(std::string *out) {
    switch (rng_() % 4) {
      case 0:
        return false;
      case 1:
        *out = random_key() + "0";
        return true;
      default:
        *out = random_key();
        return true;
    }
  }

  void check_ranges(ORV_txn *txn, ORV_dbi dbi, const CountModel &model) {
    for (int i = 0; i < 60; ++i) {
      std::string low, high;
      bool has_low, has_high;
      if (i < 40) {
        has_low = random_bound(&low);
        has_high = random_bound(&high);
      } else {
        // Narrow ranges: both bounds in one leaf or in neighbouring ones,
        // whose descents share all or most of their path.
        const auto n = static_cast<uint32_t>(rng_() % w_.keys);
        low = count_key(flags_, n);
        high = count_key(flags_, n + static_cast<uint32_t>(rng_() % 24));
        has_low = has_high = true;
      }
      // A bound between integer keys is no integer key.
      if ((flags_ & ORV_INTEGERKEY) && (low.size() != 4 || high.size() != 4)) continue;
      ORV_val lv = val(low), hv = val(high);
      const ORV_val *lp = has_low ? &lv : nullptr;
      const ORV_val *hp = has_high ? &hv : nullptr;
      for (unsigned flags = 0; flags <= (ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL); flags += 2) {
        const uint64_t expected =
            model.range(has_low ? &low : nullptr, has_high ? &high : nullptr, flags);
        uint64_t entries = ~uint64_t{0}, keys = ~uint64_t{0};
        ASSERT_EQ(range_entries(txn, dbi, flags_, lp, hp, flags, &entries), 0);
        ASSERT_EQ(orv_range_count_keys(txn, dbi, lp, hp, flags, &keys), 0);
        ASSERT_EQ(entries, expected) << low << ".." << high << " flags " << flags;
        // One value per key: as many keys as entries.
        ASSERT_EQ(keys, expected) << low << ".." << high << " flags " << flags;
      }
    }
  }

  unsigned flags_ = 0;
  Workload w_{};
  std::mt19937 rng_;
};

class CountModelTest : public ModelRun, public testing::WithParamInterface<CountConfig> {};
class CountModelLongTest : public ModelRun, public testing::WithParamInterface<CountConfig> {};

TEST_P(CountModelTest, RanksAndCountsMatchTheModel) {
  run(GetParam().flags, Workload{20251210u + GetParam().flags, 12, 700, 9000, 400, 3});
}

TEST_P(CountModelLongTest, RanksAndCountsMatchTheModel) {
  for (uint32_t seed = 1; seed <= 2; ++seed)
    run(GetParam().flags, Workload{seed * 7919u + GetParam().flags, 16, 1000, 40000, 1000, 3});
}

INSTANTIATE_TEST_SUITE_P(Flags, CountModelTest, testing::ValuesIn(kModelConfigs), config_name);
INSTANTIATE_TEST_SUITE_P(Flags, CountModelLongTest, testing::ValuesIn(kModelConfigs), config_name);

}  // namespace
