// [cursor]: lib/btree/cursor.cc, cursor_move.cc, cursor_get.cc
//
// The read harness of cursor_harness.h runs over a table of database flag
// sets, on two kinds of trees:
//  - HandBuilt: trees laid out page by page by FakeEnv and read through a
//    read-only transaction record set up by the test.
//  - Engine: trees written with orv_put and committed, read through the
//    public interface (cursor renew, finished transactions, overflow values).
// Also the cursor life cycle (open, close, accessors, copies).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "btree/cursor_harness.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using namespace orv_test::cursors;

class HandBuilt : public testing::TestWithParam<FlagSet> {};

TEST_P(HandBuilt, ReadsOverDeepAndShallowTrees) {
  const FlagSet &fs = GetParam();
  struct Shape {
    int count;
    unsigned leaf_fan, branch_fan;
  };
  // One leaf; two levels; four levels with narrow pages.
  for (Shape s : {Shape{7, 16, 4}, Shape{60, 8, 16}, Shape{150, 3, 3}}) {
    SCOPED_TRACE(testing::Message()
                 << s.count << " keys, fan " << s.leaf_fan << "/" << s.branch_fan);
    FakeEnv fe(1200);
    fe.set_flags(MAIN_DBI, fs.flags);
    const Model m = make_model(fs, s.count);
    fe.build(MAIN_DBI, m, s.leaf_fan, s.branch_fan);
    check_reads(fe.txn(), MAIN_DBI, fs, m);
  }
}

TEST_P(HandBuilt, EmptyTree) {
  FakeEnv fe(4);
  fe.set_flags(MAIN_DBI, GetParam().flags);
  check_empty(fe.txn(), MAIN_DBI, GetParam());
}

INSTANTIATE_TEST_SUITE_P(FlagSets, HandBuilt, testing::ValuesIn(kFlagSets),
                         [](const auto &info) { return std::string(info.param.name); });

// The page key cache sizes its slots by a page's longest key (mp_pad); a
// figure that is too small must cost speed, not correctness.
TEST(HandBuiltPrefix, StaleLongestKeyFigure) {
  const FlagSet fs = kFlagSets[5];
  ASSERT_TRUE(fs.flags & ORV_PREFIXKEY);
  FakeEnv fe(200);
  fe.set_flags(MAIN_DBI, fs.flags);
  const Model m = make_model(fs, 90);
  fe.build(MAIN_DBI, m, 6, 4);
  for (pgno_t pg = 2; pg < fe.txn()->mt_next_pgno; ++pg)
    if (fe.page(pg)->mp_flags == P_LEAF) fe.page(pg)->mp_pad = 3;
  check_walks(fe.txn(), MAIN_DBI, m);
  CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
  check_reseek(c.get(), m);
}

TEST(CursorLifecycle, OpenCloseAndAccessors) {
  FakeEnv fe(16);
  const Model m = make_model(kFlagSets[0], 10);
  fe.build(MAIN_DBI, m, 4, 4);
  ORV_cursor *c = nullptr;
  EXPECT_EQ(orv_cursor_open(nullptr, MAIN_DBI, &c), EINVAL);
  EXPECT_EQ(orv_cursor_open(fe.txn(), MAIN_DBI, nullptr), EINVAL);
  EXPECT_EQ(orv_cursor_open(fe.txn(), 3, &c), EINVAL);  // beyond the known handles
  // The free-page database may be read in a read-only transaction.
  ASSERT_EQ(orv_cursor_open(fe.txn(), FREE_DBI, &c), 0);
  EXPECT_EQ(orv_cursor_dbi(c), FREE_DBI);
  EXPECT_EQ(orv_cursor_txn(c), fe.txn());
  orv_cursor_close(c);
  EXPECT_EQ(orv_cursor_txn(nullptr), nullptr);
  orv_cursor_close(nullptr);

  ASSERT_EQ(orv_cursor_open(fe.txn(), MAIN_DBI, &c), 0);
  EXPECT_TRUE(c->mc_flags & C_LONGLIVED);
  EXPECT_FALSE(c->mc_flags & C_UNTRACK);
  ASSERT_NE(c->mc_xcursor, nullptr);
  EXPECT_EQ(reinterpret_cast<char *>(c->mc_xcursor), reinterpret_cast<char *>(c + 1));
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_LAST), 0);

  // A finished transaction refuses everything; renewing binds the cursor
  // to the next snapshot, unpositioned.
  fe.txn()->mt_flags |= ORV_TXN_FINISHED;
  EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_FIRST), ORV_BAD_TXN);
  EXPECT_EQ(orv_cursor_renew(fe.txn(), c), ORV_BAD_TXN);
  ORV_cursor *c2 = nullptr;
  EXPECT_EQ(orv_cursor_open(fe.txn(), MAIN_DBI, &c2), ORV_BAD_TXN);
  fe.txn()->mt_flags &= ~ORV_TXN_FINISHED;
  EXPECT_EQ(orv_cursor_renew(nullptr, c), EINVAL);
  EXPECT_EQ(orv_cursor_renew(fe.txn(), nullptr), EINVAL);
  ASSERT_EQ(orv_cursor_renew(fe.txn(), c), 0);
  EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_GET_CURRENT), EINVAL);
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_NEXT), 0);
  EXPECT_EQ(str(k), m.front().first);
  orv_cursor_close(c);
}

TEST(CursorLifecycle, CopyCarriesPositionAndKey) {
  FakeEnv fe(64);
  const Model m = make_model(kFlagSets[0], 40);
  fe.build(MAIN_DBI, m, 4, 4);
  CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
  ORV_val k = val(m[17].first), d;
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_SET_KEY), 0);
  c->mc_key = k;
  ORV_cursor copy{};
  orv_cursor_copy(c.get(), &copy);
  EXPECT_EQ(copy.mc_snum, c->mc_snum);
  EXPECT_EQ(copy.mc_key.mv_data, copy.mc_keybuf);
  EXPECT_EQ(str(copy.mc_key), m[17].first);
  ASSERT_EQ(orv_cursor_next(&copy, &k, &d, ORV_NEXT), 0);
  EXPECT_EQ(str(k), m[18].first);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), 0);
  EXPECT_EQ(str(k), m[17].first);
  orv_pkc_free(&copy);
}

// ---- Trees written through the engine --------------------------------------------

class Engine : public testing::TestWithParam<FlagSet> {
 protected:
  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 4), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, 64u << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), 0, 0644), 0);
  }
  void TearDown() override {
    if (env_ != nullptr) orv_env_close(env_);
  }
  // Writes model into a named database of the flag set and commits.
  ORV_dbi fill(const Model &m) {
    ORV_txn *txn = nullptr;
    EXPECT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    ORV_dbi dbi = 0;
    EXPECT_EQ(orv_dbi_open(txn, "data", GetParam().flags | ORV_CREATE, &dbi), 0);
    for (const auto &[key, value] : m) {
      ORV_val k = val(key), d = val(value);
      if (int rc = orv_put(txn, dbi, &k, &d, 0); rc != 0) {
        ADD_FAILURE() << "orv_put: " << orv_strerror(rc);
        orv_txn_abort(txn);
        return dbi;
      }
    }
    EXPECT_EQ(orv_txn_commit(txn), 0);
    return dbi;
  }
  ORV_txn *begin_read() {
    ORV_txn *txn = nullptr;
    EXPECT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn), 0);
    return txn;
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
};

TEST_P(Engine, ReadsAfterCommit) {
  const Model m = make_model(GetParam(), 700);
  const ORV_dbi dbi = fill(m);
  if (HasFailure()) return;
  ORV_txn *txn = begin_read();
  check_reads(txn, dbi, GetParam(), m);
  orv_txn_abort(txn);
}

TEST_P(Engine, EmptyDatabase) {
  const ORV_dbi dbi = fill({});
  if (HasFailure()) return;
  ORV_txn *txn = begin_read();
  check_empty(txn, dbi, GetParam());
  orv_txn_abort(txn);
}

TEST_P(Engine, ReadsInsideTheWriteTransaction) {
  const Model m = make_model(GetParam(), 300);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ORV_dbi dbi = 0;
  ASSERT_EQ(orv_dbi_open(txn, "data", GetParam().flags | ORV_CREATE, &dbi), 0);
  for (const auto &[key, value] : m) {
    ORV_val k = val(key), d = val(value);
    if (int rc = orv_put(txn, dbi, &k, &d, 0); rc != 0) {
      orv_txn_abort(txn);
      FAIL() << "orv_put: " << orv_strerror(rc);
    }
  }
  check_reads(txn, dbi, GetParam(), m);
  ORV_cursor *c = nullptr;
  EXPECT_EQ(orv_cursor_open(txn, FREE_DBI, &c), EINVAL);
  ASSERT_EQ(orv_cursor_open(txn, dbi, &c), 0);
  EXPECT_TRUE(c->mc_flags & C_UNTRACK);
  EXPECT_EQ(orv_cursor_renew(txn, c), EINVAL);
  orv_cursor_close(c);
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(FlagSets, Engine, testing::ValuesIn(kFlagSets),
                         [](const auto &info) { return std::string(info.param.name); });

// A cursor delete moves the following entry under the cursor: the next
// forward step returns it without advancing, also at the end of a page and
// of the tree.
TEST(EngineCursor, StepsAfterCursorDeletes) {
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(orv_env_create(&env), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  const FlagSet fs = kFlagSets[0];
  Model m = make_model(fs, 400);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  for (const auto &[key, value] : m) {
    ORV_val k = val(key), d = val(value);
    ASSERT_EQ(orv_put(txn, MAIN_DBI, &k, &d, 0), 0);
  }
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(txn, MAIN_DBI, &c), 0);
  ORV_val k, d;
  // Delete every entry whose number is odd, stepping with NEXT.
  Model kept;
  int rc = orv_cursor_get(c, &k, &d, ORV_FIRST);
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_EQ(rc, 0) << i;
    ASSERT_EQ(str(k), m[i].first);
    if (i % 2 == 1) {
      ASSERT_EQ(orv_cursor_del(c, 0), 0);
      EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_NEXT_DUP), ORV_NOTFOUND);
    } else {
      kept.push_back(m[i]);
    }
    rc = orv_cursor_get(c, &k, &d, ORV_NEXT);
  }
  EXPECT_EQ(rc, ORV_NOTFOUND);
  // Deleting the last entry leaves nothing to step to.
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_LAST), 0);
  ASSERT_EQ(orv_cursor_del(c, 0), 0);
  kept.pop_back();
  EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_NEXT), ORV_NOTFOUND);
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_PREV), 0);
  EXPECT_EQ(str(k), kept.back().first);
  orv_cursor_close(c);
  check_walks(txn, MAIN_DBI, kept);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  orv_env_close(env);
}

TEST(EngineCursor, RenewInReadOnlyTransactions) {
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(orv_env_create(&env), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  const FlagSet fs = kFlagSets[0];
  auto write = [&](int from, int to) {
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    for (int i = from; i < to; ++i) {
      std::string key = make_key(fs, i), value = make_value(i);
      ORV_val k = val(key), d = val(value);
      ASSERT_EQ(orv_put(txn, MAIN_DBI, &k, &d, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  };
  write(0, 50);
  ORV_txn *rtxn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &rtxn), 0);
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(rtxn, MAIN_DBI, &c), 0);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_LAST), 0);
  EXPECT_EQ(str(k), make_key(fs, 49));

  // A reset transaction is finished: its cursor answers ORV_BAD_TXN.
  orv_txn_reset(rtxn);
  EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_FIRST), ORV_BAD_TXN);
  write(50, 80);
  ASSERT_EQ(orv_txn_renew(rtxn), 0);
  ASSERT_EQ(orv_cursor_renew(rtxn, c), 0);
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_LAST), 0);
  EXPECT_EQ(str(k), make_key(fs, 79));
  EXPECT_EQ(str(d), make_value(79));
  // The cursor outlives its transaction and is closed afterwards.
  orv_txn_abort(rtxn);
  orv_cursor_close(c);
  orv_env_close(env);
}

}  // namespace
