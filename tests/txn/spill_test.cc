// [spill]: spill.cc, page_access.cc (unspill), commit.cc (flush, nested
// merge of spill lists) - write transactions larger than the dirty list,
// with spilled pages read back, written again, and committed or aborted
// through nested transactions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using Model = std::map<std::string, std::string>;

int Del(ORV_txn *txn, const std::string &k) {
  ORV_val key = {k.size(), const_cast<char *>(k.data())};
  return orv_del(txn, MAIN_DBI, &key, nullptr);
}

std::string Key(unsigned i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "key%08u", i);
  return buf;
}

std::string Value(unsigned seed, size_t size) {
  std::string v(size, '\0');
  for (size_t i = 0; i < size; i++) v[i] = static_cast<char>('a' + (seed * 13 + i) % 26);
  return v;
}

int Put(ORV_txn *txn, const std::string &k, const std::string &v) {
  ORV_val key = {k.size(), const_cast<char *>(k.data())};
  ORV_val val = {v.size(), const_cast<char *>(v.data())};
  return orv_put(txn, MAIN_DBI, &key, &val, 0);
}

// Checks every key of the model in txn, and the entry count.
void ExpectMatches(ORV_txn *txn, const Model &model) {
  for (const auto &[k, v] : model) {
    ORV_val key = {k.size(), const_cast<char *>(k.data())}, val;
    ASSERT_EQ(orv_get(txn, MAIN_DBI, &key, &val), 0) << k << " error " << txn->mt_error;
    ASSERT_EQ(std::string(static_cast<char *>(val.mv_data), val.mv_size), v) << k;
  }
  ORV_stat st;
  ASSERT_EQ(orv_stat(txn, MAIN_DBI, &st), 0);
  EXPECT_EQ(st.ms_entries, model.size());
}

class SpillTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { Open(GetParam(), 64u << 20); }
  void TearDown() override { orv_env_close(env_); }
  void Open(unsigned flags, size_t mapsize) {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, mapsize), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), flags | ORV_NOSYNC, 0644), 0);
  }
  void ExpectCommitted(const Model &model) {
    ORV_txn *rd;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd), 0);
    ExpectMatches(rd, model);
    orv_txn_abort(rd);
    ASSERT_TRUE(orv_test::EnvTreesValid(env_));
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
};

// With the dirty room cut down, ordinary puts spill early and often; the
// spilled pages are read back from the map and touched again.
TEST_P(SpillTest, SpilledPagesAreRewrittenAndCommitted) {
  Model model;
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  txn->mt_dirty_room = 40;
  for (unsigned round = 0; round < 3; round++) {
    for (unsigned i = 0; i < 1500; i++) {
      const unsigned k = (i * 7919 + round) % 2000;
      const std::string v = Value(round * 10000 + i, i % 40 == 0 ? 7000 : 60 + i % 50);
      ASSERT_EQ(Put(txn, Key(k), v), 0) << round << " " << i;
      model[Key(k)] = v;
    }
  }
  EXPECT_TRUE(txn->mt_flags & ORV_TXN_SPILLS);
  ASSERT_NE(txn->mt_spill_pgs, nullptr);
  ExpectMatches(txn, model);
  EXPECT_TRUE(orv_test::TreeValid(txn));
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ExpectCommitted(model);

  // A later transaction frees and reuses those pages.
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  txn->mt_dirty_room = 40;
  for (unsigned i = 0; i < 2000; i += 3) {
    ASSERT_EQ(Put(txn, Key(i), Value(i, 30)), 0);
    model[Key(i)] = Value(i, 30);
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ExpectCommitted(model);
}

// Writes out the dirty pages of txn now, as a put of a huge value would.
void ForceSpill(ORV_txn *txn) {
  ORV_cursor mc{};
  orv_cursor_init(&mc, txn, MAIN_DBI, nullptr);
  ORV_val key = {8, const_cast<char *>("spillkey")};
  ORV_val data = {size_t{1} << 30, nullptr};  // only its size is looked at
  ASSERT_EQ(orv_page_spill(&mc, &key, &data), 0);
  orv_pkc_free(&mc);
}

TEST_P(SpillTest, SpilledPageIsReadFromTheMapAndTouchedBack) {
  Model model;
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  for (unsigned i = 0; i < 800; i++) {
    ASSERT_EQ(Put(txn, Key(i), Value(i, 100)), 0);
    model[Key(i)] = Value(i, 100);
  }
  ForceSpill(txn);

  ORV_cursor mc{};
  orv_cursor_init(&mc, txn, MAIN_DBI, nullptr);
  ASSERT_EQ(orv_page_search(&mc, nullptr, ORV_PS_FIRST), 0);
  ASSERT_GT(mc.mc_snum, 1);  // the root stays dirty, the leaves went out
  ORV_page *leaf = mc.mc_pg[mc.mc_top];
  const pgno_t pgno = leaf->mp_pgno;
  ORV_page *mp;
  int level;
  ASSERT_EQ(orv_page_get(&mc, pgno, &mp, &level), 0);
  EXPECT_EQ(mp, leaf);
  EXPECT_EQ(reinterpret_cast<char *>(mp), env_->me_map + size_t{env_->me_psize} * pgno);
  EXPECT_FALSE(mp->mp_flags & P_DIRTY);
  if (!(GetParam() & ORV_WRITEMAP)) {
    EXPECT_EQ(level, 1);
  }

  // Touching brings it back under the same number.
  ASSERT_EQ(orv_cursor_touch(&mc), 0);
  ORV_page *np = mc.mc_pg[mc.mc_top];
  EXPECT_EQ(np->mp_pgno, pgno);
  EXPECT_TRUE(np->mp_flags & P_DIRTY);
  ASSERT_EQ(orv_page_get(&mc, pgno, &mp, nullptr), 0);
  EXPECT_EQ(mp, np);
  orv_pkc_free(&mc);

  ASSERT_EQ(Put(txn, Key(0), "changed"), 0);
  model[Key(0)] = "changed";
  ExpectMatches(txn, model);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ExpectCommitted(model);
}

// Children spill too; their spilled pages join the parent on commit and
// are forgotten on abort. A child cannot spill what its ancestors spilled
// (pages are spilled once), so each child starts after its parent spilled.
TEST_P(SpillTest, NestedTransactionsSpill) {
  if (GetParam() & ORV_WRITEMAP) GTEST_SKIP() << "no nested transactions under a write map";
  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  srand(seed);
  ORV_txn *top;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &top), 0);
  top->mt_dirty_room = 400;
  std::vector<ORV_txn *> txns{top};
  std::vector<Model> models(1);
  for (int step = 0; step < 6000; step++) {
    const int op = rand() % 1000;
    if (op < 10 && txns.size() < 4) {
      ForceSpill(txns.back());
      ORV_txn *child;
      ASSERT_EQ(orv_txn_begin(env_, txns.back(), 0, &child), 0);
      txns.push_back(child);
      models.push_back(models.back());
    } else if (op < 20 && txns.size() > 1) {
      if (rand() % 3 != 0) {
        ASSERT_EQ(orv_txn_commit(txns.back()), 0);
        models[models.size() - 2] = models.back();
      } else {
        orv_txn_abort(txns.back());
      }
      txns.pop_back();
      models.pop_back();
      SCOPED_TRACE("step " + std::to_string(step) + " depth " + std::to_string(txns.size()));
      ExpectMatches(txns.back(), models.back());
      if (::testing::Test::HasFailure()) return;
    } else if (op < 40) {
      ForceSpill(txns.back());
      EXPECT_TRUE(txns.back()->mt_flags & ORV_TXN_SPILLS);
    } else if (op < 250) {
      const std::string k = Key(static_cast<unsigned>(rand() % 3000));
      ASSERT_EQ(Del(txns.back(), k), models.back().erase(k) ? 0 : ORV_NOTFOUND) << step;
    } else {
      const std::string k = Key(static_cast<unsigned>(rand() % 3000));
      const std::string v = Value(static_cast<unsigned>(rand()), rand() % 50 == 0 ? 6000 : 80);
      ASSERT_EQ(Put(txns.back(), k, v), 0) << step;
      models.back()[k] = v;
    }
  }
  ExpectMatches(txns.back(), models.back());
  // Committing the top commits the live children first.
  ASSERT_EQ(orv_txn_commit(top), 0);
  ExpectCommitted(models.back());
}

INSTANTIATE_TEST_SUITE_P(Maps, SpillTest, ::testing::Values(0u, unsigned{ORV_WRITEMAP}),
                         [](const auto &info) {
                           return std::string(info.param ? "WriteMap" : "Plain");
                         });

// One write transaction that dirties more pages than the dirty list can
// hold (131071), without any help: it must spill on its own and commit
// every page.
TEST(SpillLongTest, LongTransactionBeyondTheDirtyList) {
  TempDir dir;
  ORV_env *env;
  ASSERT_EQ(orv_env_create(&env), 0);
  ASSERT_EQ(orv_env_set_mapsize(env, size_t{1} << 30), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NOSYNC, 0644), 0);
  // Each value needs an overflow page of its own, so every put dirties at
  // least one page.
  const unsigned n = 140000;
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  for (unsigned i = 0; i < n; i++) {
    ASSERT_EQ(Put(txn, Key(i), Value(i, 3000)), 0) << i;
  }
  EXPECT_TRUE(txn->mt_flags & ORV_TXN_SPILLS);
  ASSERT_EQ(orv_txn_commit(txn), 0);

  ORV_txn *rd;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &rd), 0);
  ORV_stat st;
  ASSERT_EQ(orv_stat(rd, MAIN_DBI, &st), 0);
  EXPECT_EQ(st.ms_entries, n);
  EXPECT_GT(st.ms_overflow_pages + st.ms_leaf_pages, uint64_t{ORV_IDL_UM_MAX});
  for (unsigned i = 0; i < n; i += 97) {
    const std::string k = Key(i);
    ORV_val key = {k.size(), const_cast<char *>(k.data())}, val;
    ASSERT_EQ(orv_get(rd, MAIN_DBI, &key, &val), 0) << i;
    ASSERT_EQ(std::string(static_cast<char *>(val.mv_data), val.mv_size), Value(i, 3000)) << i;
  }
  orv_txn_abort(rd);
  EXPECT_TRUE(orv_test::EnvTreesValid(env));
  orv_env_close(env);
}

}  // namespace
