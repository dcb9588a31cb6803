// [count_damage]: rank.cc and range_count.cc reading counts damaged in the
// data file: a branch count that disagrees with the pages below it gives
// ORV_CORRUPTED (and fails the transaction), never an entry past the end
// of a page, a wrong answer on the damaged path, or a crash (run under the
// sanitizers in CI).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "count/count_harness.h"
#include "util/fixtures.h"
#include "util/page_edit.h"

namespace {

using namespace orv_test;

class CountDamage : public EnvFixture {
 protected:
  static constexpr uint32_t kEntries = 600;

  // Fills the counted database "c", closes the environment, runs edit on
  // its root page (or its first leaf) in the data file and opens the
  // environment again.
  void build_and_edit(const std::function<void(ORV_page *)> &edit, bool first_leaf = false) {
    ORV_txn *txn = begin();
    ORV_dbi dbi = open_db(txn, "c", ORV_COUNTED);
    put_numbered(txn, dbi, model_, 0, kEntries);
    ASSERT_EQ(orv_txn_commit(txn), 0);

    txn = begin(ORV_RDONLY);
    ORV_stat st{};
    pgno_t root, leaf;
    {
      CursorPtr c = open_cursor(txn, dbi);
      ORV_val k, d;
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
      root = c->mc_pg[0]->mp_pgno;
      leaf = c->mc_pg[1]->mp_pgno;
      leaf0_ = numkeys(c->mc_pg[1]);
      ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
    }
    orv_txn_abort(txn);
    ASSERT_EQ(st.ms_depth, 2u) << "the cases below damage the counts of leaves";
    close_env();
    edit_file_pages(dir_.file("data.orv"), st.ms_psize, {first_leaf ? leaf : root},
                    [&](ORV_page *mp) {
                      if (!first_leaf) {
                        ASSERT_TRUE(is_branch(mp) && is_counted(mp));
                        ASSERT_EQ(node_count(node_ptr(mp, 0)), leaf0_);
                      }
                      edit(mp);
                    });
    reopen_env();
    txn = begin(ORV_RDONLY);
    ASSERT_EQ(orv_dbi_open(txn, "c", 0, &dbi_), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);  // keeps the handle
  }

  // Runs query in a read-only transaction of its own; a damaged count also
  // fails that transaction.
  int query(const std::function<int(ORV_txn *)> &fn) {
    ORV_txn *txn = begin(ORV_RDONLY);
    const int rc = fn(txn);
    if (rc == ORV_CORRUPTED) {
      ORV_val k, d;
      EXPECT_EQ(orv_get_rank(txn, dbi_, 0, &k, &d), ORV_BAD_TXN);
    }
    orv_txn_abort(txn);
    return rc;
  }

  int rank_of(uint64_t r, std::string *key = nullptr) {
    return query([&](ORV_txn *txn) {
      ORV_val k, d;
      const int rc = orv_get_rank(txn, dbi_, r, &k, &d);
      if (rc == 0 && key != nullptr) *key = str(k);
      return rc;
    });
  }
  int rank_on_cursor(uint64_t first, uint64_t last) {
    return query([&](ORV_txn *txn) {
      CursorPtr c = open_cursor(txn, dbi_);
      int rc = 0;
      for (uint64_t r = first; r <= last && rc == 0; ++r)
        rc = orv_cursor_get_rank(c.get(), r, nullptr, nullptr, 0);
      return rc;
    });
  }
  int key_rank_of(uint64_t r) {
    return query([&](ORV_txn *txn) {
      ORV_val k = val(model_.at(r).first);
      uint64_t rank;
      return orv_get_key_rank(txn, dbi_, &k, nullptr, &rank);
    });
  }
  int count_to(uint64_t r) {
    return query([&](ORV_txn *txn) {
      ORV_val hi = val(model_.at(r).first);
      uint64_t n;
      return orv_count_range(txn, dbi_, nullptr, &hi, ORV_RANGE_UPPER_INCL, &n);
    });
  }

  // Entries of ranks a..b, counted between their keys as bounds.
  int range_of(uint64_t a, uint64_t b, uint64_t *n = nullptr) {
    return query([&](ORV_txn *txn) {
      ORV_val lo = val(model_.at(a).first), hi = val(model_.at(b).first);
      uint64_t count = 0;
      const int rc =
          orv_count_range(txn, dbi_, &lo, &hi, ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL, &count);
      if (n != nullptr) *n = count;
      return rc;
    });
  }

  CountModel model_{0};
  uint64_t leaf0_ = 0;
  ORV_dbi dbi_ = 0;
};

struct DamageCase {
  const char *name;
  int slot;
  int64_t delta;
};

class CountSums : public CountDamage, public testing::WithParamInterface<DamageCase> {};

// A count that no longer adds up to the database's entries: every lookup
// by counts notices at the root.
TEST_P(CountSums, CountsThatDoNotAddUpAreCorruption) {
  const DamageCase c = GetParam();
  build_and_edit([&](ORV_page *mp) {
    ORV_node *node = node_ptr(mp, c.slot);
    set_node_count(node, node_count(node) + static_cast<uint64_t>(c.delta));
    if (c.delta == INT64_MAX) set_node_count(node_ptr(mp, c.slot + 1), UINT64_MAX);
  });
  for (uint64_t r : {uint64_t{0}, leaf0_, uint64_t{kEntries} / 2, uint64_t{kEntries} - 1}) {
    EXPECT_EQ(rank_of(r), ORV_CORRUPTED) << r;
    EXPECT_EQ(key_rank_of(r), ORV_CORRUPTED) << r;
    EXPECT_EQ(count_to(r), ORV_CORRUPTED) << r;
  }
  EXPECT_EQ(rank_on_cursor(0, kEntries - 1), ORV_CORRUPTED);
  // Two bounds share the root whatever their leaves: in one leaf, in
  // neighbouring leaves, at both ends.
  const uint64_t ranges[][2] = {{1, leaf0_ - 2}, {leaf0_ - 1, leaf0_}, {0, kEntries - 1}};
  for (const auto &r : ranges)
    EXPECT_EQ(range_of(r[0], r[1]), ORV_CORRUPTED) << r[0] << ".." << r[1];
  // One reader, renewed onto the same snapshot between counts, catches it
  // every time: what it keeps of the pages it read is no licence to skip
  // the checks.
  ORV_txn *txn = begin(ORV_RDONLY);
  for (int round = 0; round < 3; ++round) {
    ORV_val lo = val(model_.at(1).first), hi = val(model_.at(kEntries - 2).first), k, d;
    uint64_t n = 0;
    EXPECT_EQ(orv_count_range(txn, dbi_, &lo, &hi, ORV_RANGE_LOWER_INCL, &n), ORV_CORRUPTED)
        << round;
    orv_txn_reset(txn);
    ASSERT_EQ(orv_txn_renew(txn), 0);
    EXPECT_EQ(orv_get_rank(txn, dbi_, kEntries / 2, &k, &d), ORV_CORRUPTED) << round;
    orv_txn_reset(txn);
    ASSERT_EQ(orv_txn_renew(txn), 0);
  }
  orv_txn_abort(txn);
  // Lookups by key do not read counts.
  EXPECT_EQ(query([&](ORV_txn *txn) {
              ORV_val k = val(model_.at(7).first), d;
              return orv_get(txn, dbi_, &k, &d);
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(Damage, CountSums,
                         testing::Values(DamageCase{"FirstLeafShort", 0, -3},
                                         DamageCase{"SecondLeafOver", 1, 5},
                                         DamageCase{"SumOverflows", 1, INT64_MAX}),
                         [](const testing::TestParamInfo<DamageCase> &i) { return i.param.name; });

// Counts moved from one leaf to its neighbour still add up at the root;
// the leaves they describe disagree with them, and only lookups through
// those leaves fail. The rest of the tree answers exactly.
TEST_F(CountDamage, CountsMovedBetweenLeavesAreCaughtAtTheLeaf) {
  build_and_edit([](ORV_page *mp) {
    set_node_count(node_ptr(mp, 0), node_count(node_ptr(mp, 0)) + 2);
    set_node_count(node_ptr(mp, 1), node_count(node_ptr(mp, 1)) - 2);
  });
  EXPECT_EQ(rank_of(0), ORV_CORRUPTED);
  EXPECT_EQ(rank_of(leaf0_ + 1), ORV_CORRUPTED);
  EXPECT_EQ(key_rank_of(1), ORV_CORRUPTED);
  EXPECT_EQ(count_to(leaf0_), ORV_CORRUPTED);
  // A walk by ranks that starts in a sound leaf fails once it reaches them.
  EXPECT_EQ(rank_on_cursor(0, kEntries - 1), ORV_CORRUPTED);
  // Ranges whose bounds lie in the damaged leaves, both or one of them,
  // fail; ranges over sound leaves only are exact.
  EXPECT_EQ(range_of(1, 2), ORV_CORRUPTED);
  EXPECT_EQ(range_of(leaf0_ + 3, leaf0_ + 4), ORV_CORRUPTED);
  EXPECT_EQ(range_of(2, kEntries - 1), ORV_CORRUPTED);
  uint64_t n = 0;
  ASSERT_EQ(range_of(kEntries - 20, kEntries - 1, &n), 0);
  EXPECT_EQ(n, 20u);
  // The same in one reader renewed between counts: the sound range stays
  // exact and the damaged one keeps failing, whichever it meets first.
  ORV_txn *txn = begin(ORV_RDONLY);
  for (int round = 0; round < 4; ++round) {
    ORV_val slo = val(model_.at(kEntries - 20).first), shi = val(model_.at(kEntries - 1).first);
    ORV_val dlo = val(model_.at(1).first), dhi = val(model_.at(2).first);
    const unsigned incl = ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL;
    for (int which = 0; which < 2; ++which) {
      if ((round + which) % 2 == 0) {
        ASSERT_EQ(orv_count_range(txn, dbi_, &slo, &shi, incl, &n), 0) << round;
        EXPECT_EQ(n, 20u);
      } else {
        EXPECT_EQ(orv_count_range(txn, dbi_, &dlo, &dhi, incl, &n), ORV_CORRUPTED) << round;
        orv_txn_reset(txn);
        ASSERT_EQ(orv_txn_renew(txn), 0);
      }
    }
  }
  orv_txn_abort(txn);
  for (uint64_t r : {uint64_t{kEntries} - 1, uint64_t{kEntries} - 20}) {
    std::string key;
    ASSERT_EQ(rank_of(r, &key), 0) << r;
    EXPECT_EQ(key, model_.at(r).first);
    EXPECT_EQ(key_rank_of(r), 0);
    EXPECT_EQ(count_to(r), 0);
  }
}

// A branch page of a counted tree that lost its counts: the entries left
// of a path are unknown, and no count is made up for them.
TEST_F(CountDamage, BranchWithoutCountsIsIncompatible) {
  build_and_edit([](ORV_page *mp) { mp->mp_flags &= static_cast<uint16_t>(~P_COUNTED); });
  for (uint64_t r : {uint64_t{0}, uint64_t{kEntries} / 2}) {
    EXPECT_EQ(rank_of(r), ORV_INCOMPATIBLE) << r;
    EXPECT_EQ(count_to(r), ORV_INCOMPATIBLE) << r;
    EXPECT_EQ(range_of(r, r + 1), ORV_INCOMPATIBLE) << r;
    // The keyed search itself reads the branch keys at the wrong place and
    // may miss the key; either way no rank is given.
    EXPECT_NE(key_rank_of(r), 0) << r;
  }
}

// The first leaf damaged in the data file: both bounds of a range in it,
// or one, is ORV_CORRUPTED; ranges over the other leaves are exact.
struct LeafDamageCase {
  const char *name;
  std::function<void(ORV_page *)> edit;
};

class LeafDamage : public CountDamage, public testing::WithParamInterface<LeafDamageCase> {};

TEST_P(LeafDamage, RangesThroughADamagedLeafAreCorruption) {
  build_and_edit(GetParam().edit, true);
  EXPECT_EQ(range_of(1, 3), ORV_CORRUPTED);
  EXPECT_EQ(range_of(0, leaf0_ - 1), ORV_CORRUPTED);
  EXPECT_EQ(range_of(2, kEntries - 2), ORV_CORRUPTED);
  uint64_t n = 0;
  ASSERT_EQ(range_of(leaf0_, kEntries - 1, &n), 0);
  EXPECT_EQ(n, kEntries - leaf0_);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, LeafDamage,
    testing::Values(
        // One slot more than the root counts for the leaf.
        LeafDamageCase{"ExtraSlot",
                       [](ORV_page *mp) { mp->mp_lower = static_cast<indx_t>(mp->mp_lower + 2); }},
        // Every node offset points past the page: any probe reads outside.
        LeafDamageCase{"SlotsOutsidePage",
                       [](ORV_page *mp) {
                         for (unsigned i = 0; i < numkeys(mp); ++i) mp_ptrs(mp)[i] = 0xfffe;
                       }}),
    [](const testing::TestParamInfo<LeafDamageCase> &i) { return i.param.name; });

// A counted database with duplicates on one leaf: keys k0..k9 of three
// values each, kept on sub-pages in the leaf's nodes. edit damages slot 1
// of the leaf in the data file.
struct DupDamageCase {
  const char *name;
  std::function<void(ORV_page *, size_t)> edit;
};

class DupLeafDamage : public EnvFixture, public testing::WithParamInterface<DupDamageCase> {
 protected:
  static constexpr unsigned kKeys = 10, kDups = 3;

  void build_and_edit(const std::function<void(ORV_page *, size_t)> &edit) {
    ORV_txn *txn = begin();
    dbi_ = open_db(txn, "d", ORV_COUNTED | ORV_DUPSORT);
    for (unsigned i = 0; i < kKeys; ++i)
      for (unsigned j = 0; j < kDups; ++j) {
        std::string k = "k" + std::to_string(i), d = "v" + std::to_string(j);
        ORV_val kv = val(k), dv = val(d);
        ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0);
      }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin(ORV_RDONLY);
    pgno_t root;
    ORV_stat st{};
    {
      CursorPtr c = open_cursor(txn, dbi_);
      ORV_val k, d;
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
      root = c->mc_pg[0]->mp_pgno;
      ASSERT_EQ(orv_stat(txn, dbi_, &st), 0);
    }
    orv_txn_abort(txn);
    ASSERT_EQ(st.ms_depth, 1u);
    close_env();
    edit_file_pages(dir_.file("data.orv"), st.ms_psize, {root}, [&](ORV_page *mp) {
      ASSERT_TRUE(is_leaf(mp) && numkeys(mp) == kKeys);
      ASSERT_TRUE(node_ptr(mp, 1)->mn_flags & F_DUPDATA);
      edit(mp, st.ms_psize);
    });
    reopen_env();
    txn = begin(ORV_RDONLY);
    ASSERT_EQ(orv_dbi_open(txn, "d", 0, &dbi_), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  int query(const std::function<int(ORV_txn *, ORV_cursor *)> &fn) {
    ORV_txn *txn = begin(ORV_RDONLY);
    CursorPtr c = open_cursor(txn, dbi_);
    const int rc = fn(txn, c.get());
    orv_txn_abort(txn);
    return rc;
  }

  ORV_dbi dbi_ = 0;
};

// Every count over the leaf reads slot 1's duplicates: each answers
// ORV_CORRUPTED and reads nothing outside the page or the node's value.
TEST_P(DupLeafDamage, CountsOverDamagedDuplicatesAreCorruption) {
  build_and_edit(GetParam().edit);
  const std::string hi = "k9";
  const ORV_val hv = val(hi);
  for (uint64_t r : {uint64_t{0}, uint64_t{kDups + 1}, uint64_t{kKeys * kDups - 1}}) {
    EXPECT_EQ(query([&](ORV_txn *txn, ORV_cursor *) {
                ORV_val k, d;
                return orv_get_rank(txn, dbi_, r, &k, &d);
              }),
              ORV_CORRUPTED)
        << r;
  }
  EXPECT_EQ(query([&](ORV_txn *txn, ORV_cursor *) {
              uint64_t n;
              return orv_range_count_values(txn, dbi_, nullptr, &hv, ORV_RANGE_UPPER_INCL, &n);
            }),
            ORV_CORRUPTED);
  // A long-lived cursor counts through its page prefix sums.
  EXPECT_EQ(query([&](ORV_txn *, ORV_cursor *c) {
              uint64_t rank;
              return orv_cursor_key_rank(c, &hv, nullptr, 0, &rank);
            }),
            ORV_CORRUPTED);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DupLeafDamage,
    testing::Values(
        DupDamageCase{"SubPageSlotsPastValue",
                      [](ORV_page *mp, size_t) {
                        ORV_node *n = node_ptr(mp, 1);
                        auto *sub = static_cast<ORV_page *>(node_data(n));
                        sub->mp_lower = static_cast<indx_t>(node_dsize(n) + 2);
                      }},
        DupDamageCase{"SubPageSlotsBelowHeader",
                      [](ORV_page *mp, size_t) {
                        static_cast<ORV_page *>(node_data(node_ptr(mp, 1)))->mp_lower = 0;
                      }},
        DupDamageCase{"DuplicatesOnOverflowPages",
                      [](ORV_page *mp, size_t) { node_ptr(mp, 1)->mn_flags |= F_BIGDATA; }},
        DupDamageCase{"SubPageReadAsSubDatabase",
                      [](ORV_page *mp, size_t) { node_ptr(mp, 1)->mn_flags |= F_SUBDATA; }},
        DupDamageCase{
            "SlotOutsidePage",
            [](ORV_page *mp, size_t psize) { mp_ptrs(mp)[1] = static_cast<indx_t>(psize - 2); }}),
    [](const testing::TestParamInfo<DupDamageCase> &i) { return i.param.name; });

}  // namespace
