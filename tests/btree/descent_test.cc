// [descent]: lib/btree/descent.cc over trees laid out by FakeEnv: the depth
// limit, interrupts, the keyed and edge descents, damaged pages, pair
// searches, and stale named-database records read from the main database.
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

// A chain of branch pages: slot 0 goes one level down, slot 1 to a leaf.
pgno_t build_chain(FakeEnv &fe, unsigned depth) {
  ORV_page *leaf = fe.alloc(P_LEAF);
  fe.add_leaf(leaf, "a", "deepest");
  ORV_page *side = fe.alloc(P_LEAF);
  fe.add_leaf(side, "z", "side");
  pgno_t below = leaf->mp_pgno;
  for (unsigned l = 1; l < depth; ++l) {
    ORV_page *mp = fe.alloc(P_BRANCH);
    fe.add_branch(mp, "", below, 0);
    fe.add_branch(mp, "z", side->mp_pgno, 0);
    below = mp->mp_pgno;
  }
  return below;
}

TEST(Descent, ThirtyTwoLevelsFitTheStackAndThirtyThreeDoNot) {
  for (unsigned depth : {32u, 33u}) {
    SCOPED_TRACE(depth);
    FakeEnv fe(80);
    fe.db(MAIN_DBI).md_root = build_chain(fe, depth);
    fe.db(MAIN_DBI).md_depth = static_cast<uint16_t>(depth);
    CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
    ORV_val k, d;
    const int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    if (depth == 32) {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(str(d), "deepest");
      EXPECT_EQ(c->mc_snum, 32);
      EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), 0);
      EXPECT_EQ(str(d), "side");
    } else {
      EXPECT_EQ(rc, ORV_CURSOR_FULL);
      EXPECT_EQ(fe.txn()->mt_error, ORV_CURSOR_FULL);
      EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_LAST), ORV_BAD_TXN);
    }
  }
}

TEST(Descent, InterruptFailsTheTransaction) {
  FakeEnv fe(16);
  const FlagSet fs = kFlagSets[0];
  fe.build(MAIN_DBI, make_model(fs, 10), 4, 4);
  CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  fe.env()->me_interrupt = 1;
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), EINTR);
  EXPECT_TRUE(fe.txn()->mt_flags & ORV_TXN_ERROR);
  EXPECT_EQ(fe.txn()->mt_error, EINTR);
  fe.env()->me_interrupt = 0;
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ORV_BAD_TXN);
  k = val(make_key(fs, 3));
  EXPECT_EQ(orv_get(fe.txn(), MAIN_DBI, &k, &d), ORV_BAD_TXN);
}

TEST(Descent, KeyedDescentChoosesTheSeparatorsChild) {
  FakeEnv fe(32);
  const FlagSet fs = kFlagSets[0];
  const Model m = make_model(fs, 12);  // keys 3..36, leaves of 3: firsts 3, 12, 21, 30
  fe.build(MAIN_DBI, m, 3, 4);
  ASSERT_EQ(fe.db(MAIN_DBI).md_depth, 2);
  struct Case {
    uint64_t key;
    indx_t child;
  };
  for (Case cs :
       {Case{1, 0}, Case{3, 0}, Case{11, 0}, Case{12, 1}, Case{13, 1}, Case{30, 3}, Case{99, 3}}) {
    SCOPED_TRACE(cs.key);
    ORV_cursor mc{};
    orv_cursor_init(&mc, fe.txn(), MAIN_DBI, nullptr);
    std::string key = make_key(fs, cs.key);
    ORV_val k = val(key);
    ASSERT_EQ(orv_page_search(&mc, &k, 0), 0);
    EXPECT_EQ(mc.mc_snum, 2);
    EXPECT_EQ(mc.mc_ki[0], cs.child);
    EXPECT_TRUE(mc.mc_flags & C_INITIALIZED);
  }
  // Root only: one level, not positioned.
  ORV_cursor mc{};
  orv_cursor_init(&mc, fe.txn(), MAIN_DBI, nullptr);
  ASSERT_EQ(orv_page_search(&mc, nullptr, ORV_PS_ROOTONLY), 0);
  EXPECT_EQ(mc.mc_snum, 1);
  EXPECT_FALSE(mc.mc_flags & C_INITIALIZED);
  // Lowest leaf below the root.
  ASSERT_EQ(orv_page_search_lowest(&mc), 0);
  EXPECT_EQ(mc.mc_snum, 2);
  ORV_val k;
  ASSERT_EQ(orv_cursor_read_key(&mc, cursor_page(&mc), 0, &k), 0);
  EXPECT_EQ(str(k), m.front().first);
}

TEST(Descent, RepeatedLastDescentsFollowTheRightEdge) {
  FakeEnv fe(200);
  const FlagSet fs = kFlagSets[0];
  const Model m = make_model(fs, 100);
  fe.build(MAIN_DBI, m, 3, 3);
  ORV_cursor mc{};
  orv_cursor_init(&mc, fe.txn(), MAIN_DBI, nullptr);
  ORV_val k, d;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(orv_cursor_last(&mc, &k, &d), 0);
    EXPECT_EQ(str(k), m.back().first);
    ASSERT_EQ(orv_page_search(&mc, nullptr, ORV_PS_LAST), 0);
    EXPECT_EQ(mc.mc_snum, fe.db(MAIN_DBI).md_depth);
  }
  // Standing elsewhere, the last-slot shortcut must not be taken.
  ASSERT_EQ(orv_cursor_first(&mc, &k, &d), 0);
  ASSERT_EQ(orv_cursor_last(&mc, &k, &d), 0);
  EXPECT_EQ(str(k), m.back().first);
}

TEST(Descent, PageBeyondTheSnapshotIsReported) {
  FakeEnv fe(16);
  fe.build(MAIN_DBI, make_model(kFlagSets[0], 10), 4, 4);
  ORV_page *root = fe.page(fe.db(MAIN_DBI).md_root);
  set_node_pgno(node_ptr(root, numkeys(root) - 1), 5000);
  CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
  ORV_val k, d;
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_LAST), ORV_PAGE_NOTFOUND);
}

TEST(Descent, DescentEndingOnANonLeafIsCorruption) {
  FakeEnv fe(16);
  fe.build(MAIN_DBI, make_model(kFlagSets[0], 10), 4, 4);
  ORV_page *root = fe.page(fe.db(MAIN_DBI).md_root);
  fe.page(node_pgno(node_ptr(root, 0)))->mp_flags = P_OVERFLOW;
  CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
  ORV_val k, d;
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), ORV_CORRUPTED);
  EXPECT_EQ(fe.txn()->mt_error, ORV_CORRUPTED);
}

// The damaged value fails the transaction: nothing read after it is
// trusted.
TEST(Descent, OverflowValueOutsideItsRunIsCorruption) {
  for (bool short_run : {false, true}) {
    SCOPED_TRACE(short_run ? "a run too short for its value" : "a run on the leaf itself");
    FakeEnv fe(16);
    ORV_page *leaf = fe.alloc(P_LEAF);
    fe.add_leaf(leaf, "big", std::string(5000, 'x'));
    fe.add_leaf(leaf, "bogus", std::string(3000, 'y'));
    fe.db(MAIN_DBI).md_root = leaf->mp_pgno;
    if (short_run) {
      set_node_dsize(node_ptr(leaf, 1), 9000);
      store_u64(node_data(node_ptr(leaf, 1)), load_u64(node_data(node_ptr(leaf, 0))));
    } else {
      store_u64(node_data(node_ptr(leaf, 1)), leaf->mp_pgno);
    }
    CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
    ORV_val k, d;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
    EXPECT_EQ(str(d), std::string(5000, 'x'));
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ORV_CORRUPTED);
    EXPECT_EQ(fe.txn()->mt_error, ORV_CORRUPTED);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), ORV_BAD_TXN);
  }
}

// Pair searches need a value order; a database without duplicates has one
// only when the application installed it.
TEST(PairSearch, SingleValuesWithAnInstalledValueComparator) {
  FakeEnv fe(32);
  const Model m = make_model(kFlagSets[0], 30);
  fe.build(MAIN_DBI, m, 4, 4);
  fe.dbx(MAIN_DBI).md_dcmp = orv_cmp_bytes;
  CursorPtr c = open_cursor(fe.txn(), MAIN_DBI);
  const auto &[key, value] = m[10];
  struct Case {
    ORV_cursor_op op;
    std::string data;
    int want;
  };
  const std::string less = value.substr(0, value.size() - 1);
  const std::string more = value + "~";
  for (const Case &cs : {Case{ORV_GET_BOTH, value, 0}, Case{ORV_GET_BOTH, less, ORV_NOTFOUND},
                         Case{ORV_GET_BOTH_RANGE, less, 0}, Case{ORV_GET_BOTH_RANGE, value, 0},
                         Case{ORV_GET_BOTH_RANGE, more, ORV_NOTFOUND}}) {
    SCOPED_TRACE(testing::Message() << cs.op << " " << cs.data);
    ORV_val k = val(key), d = val(cs.data);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, cs.op), cs.want);
    EXPECT_EQ(str(k), key);
    if (cs.want == 0) {
      EXPECT_EQ(str(d), value);
    }
  }
  // The key must match exactly even for the range form.
  std::string missing = make_key(kFlagSets[0], 31);
  ORV_val k = val(missing), d = val(value);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_BOTH_RANGE), ORV_NOTFOUND);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, nullptr, ORV_GET_BOTH), EINVAL);
}

// ---- Stale named-database records ----------------------------------------------

struct NamedFixture {
  FakeEnv fe{64};
  ORV_db stored{};
  ORV_dbi dbi = 0;

  // The main database holds "alpha" (a plain value), "books" (a database
  // record) and "zeta"; the named database "books" has 20 entries.
  explicit NamedFixture(uint16_t record_nflags = F_SUBDATA, const char *name = "books") {
    const FlagSet fs = kFlagSets[0];
    const Model m = make_model(fs, 20);
    fe.set_flags(2, ORV_COUNTED);
    fe.build(2, m, 4, 3);
    stored = fe.db(2);
    ORV_page *main_leaf = fe.alloc(P_LEAF);
    fe.add_leaf(main_leaf, "alpha", "1");
    fe.add_leaf(main_leaf, "books", db_record(stored), record_nflags);
    fe.add_leaf(main_leaf, "zeta", "2");
    fe.db(MAIN_DBI).md_root = main_leaf->mp_pgno;
    fe.db(MAIN_DBI).md_depth = 1;
    fe.db(MAIN_DBI).md_entries = 3;
    // The transaction's copy is out of date, as after another commit.
    fe.db(2) = ORV_db{};
    fe.db(2).md_root = P_INVALID;
    fe.db(2).md_flags = ORV_COUNTED;
    dbi = fe.add_named(name, ORV_COUNTED);
    EXPECT_EQ(dbi, 2u);
  }
};

TEST(StaleRecord, FirstDescentReadsTheRecordFromTheMainDatabase) {
  NamedFixture nf;
  CursorPtr c = open_cursor(nf.fe.txn(), nf.dbi);  // the set-up already refreshes
  EXPECT_FALSE(nf.fe.dbflag(nf.dbi) & DB_STALE);
  EXPECT_EQ(db_record(nf.fe.db(nf.dbi)), db_record(nf.stored));
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_LAST), 0);
  EXPECT_EQ(str(k), make_key(kFlagSets[0], 60));
  // The main database shows the record itself as a value.
  std::string name = "books";
  k = val(name);
  ASSERT_EQ(orv_get(nf.fe.txn(), MAIN_DBI, &k, &d), 0);
  EXPECT_EQ(str(d), db_record(nf.stored));
}

TEST(StaleRecord, RefreshFailures) {
  struct Case {
    const char *what;
    uint16_t nflags;
    const char *name;
    unsigned txn_flags;  // flags the transaction believes the database has
    bool bump_seq;
    int want;
  };
  const Case cases[] = {
      {"closed and reopened handle", F_SUBDATA, "books", ORV_COUNTED, true, ORV_BAD_DBI},
      {"name not in the main database", F_SUBDATA, "bookz", ORV_COUNTED, false, ORV_BAD_DBI},
      {"plain value under the name", 0, "books", ORV_COUNTED, false, ORV_INCOMPATIBLE},
      {"duplicates under the name", F_SUBDATA | F_DUPDATA, "books", ORV_COUNTED, false,
       ORV_INCOMPATIBLE},
      {"stored flags differ", F_SUBDATA, "books", ORV_COUNTED | ORV_REVERSEKEY, false,
       ORV_INCOMPATIBLE},
  };
  for (const Case &cs : cases) {
    SCOPED_TRACE(cs.what);
    NamedFixture nf(cs.nflags, cs.name);
    nf.fe.set_flags(nf.dbi, cs.txn_flags);
    if (cs.bump_seq) ++nf.fe.env_seq(nf.dbi);
    ORV_cursor *c = nullptr;
    ASSERT_EQ(orv_cursor_open(nf.fe.txn(), nf.dbi, &c), 0);
    ORV_val k, d;
    EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_FIRST), cs.want);
    EXPECT_TRUE(nf.fe.dbflag(nf.dbi) & DB_STALE);
    orv_cursor_close(c);
  }
}

}  // namespace
