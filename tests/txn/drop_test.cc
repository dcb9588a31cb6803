// [drop]: drop.cc - orv_drop (empty or delete a database) and the page walk
// orv_drop0 that frees a whole tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/verify.h"

namespace {

using orv_test::EnvFixture;
using orv_test::str;
using orv_test::val;

struct Kind {
  const char *what;
  unsigned flags;
} const kKinds[] = {{"plain", 0},
                    {"counted", ORV_COUNTED},
                    {"prefix keys", ORV_PREFIXKEY},
                    {"counted prefix keys", ORV_COUNTED | ORV_PREFIXKEY},
                    {"integer keys", ORV_INTEGERKEY}};

// Sizes: empty, one leaf, one leaf with an overflow value, several levels
// with overflow values spread over the leaves, several levels without.
struct Shape {
  const char *what;
  int n;
  int big_every;  // every big_every-th value lies on an overflow run; 0: none
} const kShapes[] = {{"empty", 0, 0},
                     {"one page", 5, 0},
                     {"one page, overflow", 5, 2},
                     {"three levels, overflow", 6000, 97},
                     {"three levels", 6000, 0}};

std::string key_for(unsigned flags, int i) {
  if (flags & ORV_INTEGERKEY) {
    const uint64_t k = static_cast<uint64_t>(i) * 7 + 1;
    return std::string(reinterpret_cast<const char *>(&k), sizeof k);
  }
  char buf[48];
  std::snprintf(buf, sizeof buf, "shared/prefix/of/keys/%08d", i);
  return buf;
}

std::string value_for(int i, int big_every) {
  const bool big = big_every != 0 && i % big_every == 0;
  return std::string(big ? 3 * 4096 + 100 : 24, static_cast<char>('a' + i % 26));
}

class Drop : public EnvFixture {
 protected:
  void fill(ORV_txn *txn, ORV_dbi dbi, unsigned flags, int n, int big_every) {
    for (int i = 0; i < n; i++) {
      std::string k = key_for(flags, i), v = value_for(i, big_every);
      ORV_val key = val(k), data = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &key, &data, 0), 0) << i;
    }
  }
  ORV_stat stat(ORV_txn *txn, ORV_dbi dbi) {
    ORV_stat st{};
    EXPECT_EQ(orv_stat(txn, dbi, &st), 0);
    return st;
  }
  uint64_t last_pgno() {
    ORV_envinfo info;
    EXPECT_EQ(orv_env_info(env_, &info), 0);
    return info.mi_last_pgno;
  }
  uint64_t last_txnid() {
    ORV_envinfo info;
    EXPECT_EQ(orv_env_info(env_, &info), 0);
    return info.mi_last_txnid;
  }
  void commit(ORV_txn *txn) { ASSERT_EQ(orv_txn_commit(txn), 0); }
  // A write that commits, so that pages freed before become reusable.
  void touch_main() {
    ORV_txn *txn = begin();
    std::string k = "tick", v = std::to_string(last_txnid());
    ORV_val key = val(k), data = val(v);
    ASSERT_EQ(orv_put(txn, 1, &key, &data, 0), 0);
    commit(txn);
  }
};

// Page numbers on the transaction's free list, sorted; a page freed twice
// shows up twice.
std::vector<uint64_t> free_list(ORV_txn *txn) {
  std::vector<uint64_t> out(txn->mt_free_pgs + 1, txn->mt_free_pgs + 1 + txn->mt_free_pgs[0]);
  std::sort(out.begin(), out.end());
  return out;
}

bool has_duplicates(const std::vector<uint64_t> &v) {
  return std::adjacent_find(v.begin(), v.end()) != v.end();
}

TEST_F(Drop, EmptiesEveryKindAndFreesEveryPage) {
  for (const Kind &kind : kKinds) {
    for (const Shape &shape : kShapes) {
      SCOPED_TRACE(std::string(kind.what) + ", " + shape.what);
      const std::string name = kind.what;  // emptied by the previous shape
      ORV_txn *txn = begin();
      ORV_dbi dbi = open_db(txn, name.c_str(), kind.flags);
      fill(txn, dbi, kind.flags, shape.n, shape.big_every);
      commit(txn);
      const uint64_t txnid = last_txnid();

      txn = begin();
      const ORV_stat before = stat(txn, dbi);
      const uint64_t pages =
          before.ms_branch_pages + before.ms_leaf_pages + before.ms_overflow_pages;
      EXPECT_EQ(before.ms_overflow_pages > 0, shape.big_every != 0);
      const size_t freed_before = txn->mt_free_pgs[0];
      ASSERT_EQ(orv_drop(txn, dbi, 0), 0);
      std::vector<uint64_t> freed = free_list(txn);
      // The record's path in the main database was not touched: only the
      // tree's own pages are on the list.
      EXPECT_EQ(freed.size() - freed_before, pages);
      EXPECT_FALSE(has_duplicates(freed));
      const ORV_stat after = stat(txn, dbi);
      EXPECT_EQ(after.ms_depth, 0u);
      EXPECT_EQ(after.ms_entries, 0u);
      EXPECT_EQ(after.ms_branch_pages + after.ms_leaf_pages + after.ms_overflow_pages, 0u);
      EXPECT_EQ(txn->mt_dbs[dbi].md_root, P_INVALID);
      EXPECT_EQ(txn->mt_dbs[dbi].md_flags, kind.flags);
      std::string k0 = key_for(kind.flags, 0);
      ORV_val key = val(k0), data;
      EXPECT_EQ(orv_get(txn, dbi, &key, &data), ORV_NOTFOUND);
      commit(txn);
      EXPECT_EQ(last_txnid(), txnid + 1) << "the emptied record is written even when it was empty";
      EXPECT_TRUE(orv_test::EnvTreesValid(env_)) << "no page leaked";

      // The handle stays usable and the record says empty after reopening.
      txn = begin(ORV_RDONLY);
      ORV_dbi again;
      ASSERT_EQ(orv_dbi_open(txn, name.c_str(), 0, &again), 0);
      EXPECT_EQ(stat(txn, again).ms_entries, 0u);
      orv_txn_abort(txn);
    }
  }
}

TEST_F(Drop, FreedPagesAreReusedAfterCommit) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "reuse", 0);
  fill(txn, dbi, 0, 4000, 50);
  commit(txn);
  const uint64_t high = last_pgno();

  txn = begin();
  ASSERT_EQ(orv_drop(txn, dbi, 0), 0);
  commit(txn);
  touch_main();
  txn = begin();
  fill(txn, dbi, 0, 4000, 50);
  commit(txn);
  // The refill came from the freed pages (plus a little for the free-page
  // database and the main database's path).
  EXPECT_LE(last_pgno(), high + 8);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

TEST_F(Drop, DeletingANamedDatabase) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "gone", ORV_COUNTED);
  fill(txn, dbi, 0, 3000, 40);
  ORV_dbi keep = open_db(txn, "kept", 0);
  fill(txn, keep, 0, 10, 0);
  commit(txn);

  txn = begin();
  ORV_cursor *mc;
  ASSERT_EQ(orv_cursor_open(txn, dbi, &mc), 0);
  ORV_val k, v;
  ASSERT_EQ(orv_cursor_get(mc, &k, &v, ORV_LAST), 0);
  ASSERT_EQ(orv_drop(txn, dbi, 1), 0);
  EXPECT_FALSE(mc->mc_flags & C_INITIALIZED);
  // The handle is closed for the rest of the transaction.
  std::string k0 = key_for(0, 0);
  ORV_val key = val(k0), data;
  EXPECT_EQ(orv_get(txn, dbi, &key, &data), EINVAL);
  EXPECT_EQ(orv_drop(txn, dbi, 0), EINVAL);
  EXPECT_EQ(orv_dbi_flags(txn, dbi, nullptr), EINVAL);
  // Its record left the main database.
  std::string name = "gone";
  ORV_val nk = val(name);
  EXPECT_EQ(orv_get(txn, 1, &nk, &data), ORV_NOTFOUND);
  commit(txn);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));

  txn = begin();
  ORV_dbi again;
  EXPECT_EQ(orv_dbi_open(txn, "gone", 0, &again), ORV_NOTFOUND);
  ASSERT_EQ(orv_dbi_open(txn, "gone", ORV_CREATE, &again), 0);
  EXPECT_EQ(stat(txn, again).ms_entries, 0u);
  ASSERT_EQ(orv_dbi_open(txn, "kept", 0, &again), 0);
  EXPECT_EQ(stat(txn, again).ms_entries, 10u);
  commit(txn);
}

TEST_F(Drop, CursorsOnTheDatabaseAreUnpositioned) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "cursors", 0);
  fill(txn, dbi, 0, 500, 0);
  ORV_cursor *a, *b;
  ASSERT_EQ(orv_cursor_open(txn, dbi, &a), 0);
  ASSERT_EQ(orv_cursor_open(txn, dbi, &b), 0);
  ORV_val k, v;
  ASSERT_EQ(orv_cursor_get(a, &k, &v, ORV_FIRST), 0);
  ASSERT_EQ(orv_cursor_get(b, &k, &v, ORV_LAST), 0);
  ASSERT_EQ(orv_drop(txn, dbi, 0), 0);
  for (ORV_cursor *mc : {a, b}) {
    EXPECT_FALSE(mc->mc_flags & (C_INITIALIZED | C_EOF));
    EXPECT_EQ(orv_cursor_get(mc, &k, &v, ORV_GET_CURRENT), EINVAL);
    EXPECT_EQ(orv_cursor_get(mc, &k, &v, ORV_NEXT), ORV_NOTFOUND);
  }
  // The emptied database takes new entries through the same cursor.
  std::string nk = "again", nv = "x";
  ORV_val key = val(nk), data = val(nv);
  ASSERT_EQ(orv_cursor_put(a, &key, &data, 0), 0);
  ASSERT_EQ(orv_cursor_get(b, &k, &v, ORV_FIRST), 0);
  EXPECT_EQ(str(k), "again");
  commit(txn);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

TEST_F(Drop, ArgumentAndStateErrors) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "args", 0);
  const ORV_dbi closed = open_db(txn, "closed", 0);
  fill(txn, dbi, 0, 20, 0);
  commit(txn);

  enum Setup { WRITE, READ, FAILED, HAS_CHILD, HANDLE_CLOSED, CLOSED_FAILED, CLOSED_CHILD };
  const struct Case {
    const char *what;
    Setup setup;
    bool null_txn;
    ORV_dbi dbi;
    int del;
    int rc;
  } cases[] = {
      {"del 2", WRITE, false, dbi, 2, EINVAL},
      {"del -1", WRITE, false, dbi, -1, EINVAL},
      {"del 2 beats read-only", READ, false, dbi, 2, EINVAL},
      {"null transaction", WRITE, true, dbi, 0, EINVAL},
      {"handle out of range", WRITE, false, 7, 0, EINVAL},
      {"free-page database", WRITE, false, 0, 0, EINVAL},
      {"free-page database, read-only", READ, false, 0, 1, EINVAL},
      {"read-only transaction", READ, false, dbi, 0, EACCES},
      {"read-only transaction, main", READ, false, 1, 1, EACCES},
      {"handle closed since the start", HANDLE_CLOSED, false, closed, 0, ORV_BAD_DBI},
      {"failed transaction", FAILED, false, dbi, 0, ORV_BAD_TXN},
      {"transaction with a live child", HAS_CHILD, false, dbi, 1, ORV_BAD_TXN},
      // Two broken at once: the first in the order above answers.
      {"handle closed, del 2", HANDLE_CLOSED, false, closed, 2, EINVAL},
      {"handle closed, failed transaction", CLOSED_FAILED, false, closed, 0, ORV_BAD_DBI},
      {"handle closed, live child", CLOSED_CHILD, false, closed, 1, ORV_BAD_DBI},
      {"failed transaction, free-page database", FAILED, false, 0, 0, EINVAL},
      {"live child, handle out of range", HAS_CHILD, false, 7, 0, EINVAL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    txn = begin(c.setup == READ ? ORV_RDONLY : 0);
    ORV_dbi h;
    ASSERT_EQ(orv_dbi_open(txn, "args", 0, &h), 0);
    ASSERT_EQ(orv_dbi_open(txn, "closed", 0, &h), 0);
    ORV_txn *child = nullptr;
    const bool close =
        c.setup == HANDLE_CLOSED || c.setup == CLOSED_FAILED || c.setup == CLOSED_CHILD;
    if (close) orv_dbi_close(env_, closed);
    if (c.setup == FAILED || c.setup == CLOSED_FAILED) orv_txn_fail(txn, ENOMEM);
    if (c.setup == HAS_CHILD || c.setup == CLOSED_CHILD) child = begin(0, txn);
    EXPECT_EQ(orv_drop(c.null_txn ? nullptr : txn, c.dbi, c.del), c.rc);
    if (child != nullptr) orv_txn_abort(child);
    orv_txn_abort(txn);
    if (close) {
      txn = begin();
      ASSERT_EQ(orv_dbi_open(txn, "closed", 0, &h), 0);
      ASSERT_EQ(h, closed);
      commit(txn);
    }
  }
  // None of the refusals changed anything.
  txn = begin(ORV_RDONLY);
  EXPECT_EQ(stat(txn, dbi).ms_entries, 20u);
  orv_txn_abort(txn);
  // A finished transaction knows no handles.
  txn = begin();
  commit(txn);
  EXPECT_EQ(orv_drop(txn, dbi, 0), EINVAL);
}

TEST_F(Drop, NestedTransactions) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "nested", ORV_COUNTED);
  fill(txn, dbi, 0, 2000, 30);
  commit(txn);

  // A delete in an aborted child is undone: the parent keeps the database
  // and its handle.
  txn = begin();
  ORV_txn *child = begin(0, txn);
  ASSERT_EQ(orv_drop(child, dbi, 1), 0);
  orv_txn_abort(child);
  EXPECT_EQ(stat(txn, dbi).ms_entries, 2000u);
  child = begin(0, txn);
  ASSERT_EQ(orv_drop(child, dbi, 0), 0);
  commit(child);
  EXPECT_EQ(stat(txn, dbi).ms_entries, 0u);
  commit(txn);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));

  // Created and filled by the parent, deleted by a child: the parent's
  // commit publishes the deletion when the child committed, and the
  // database when it aborted.
  for (bool child_commits : {true, false}) {
    SCOPED_TRACE(child_commits ? "child commits" : "child aborts");
    txn = begin();
    ORV_dbi fresh = open_db(txn, "fresh", 0);
    fill(txn, fresh, 0, 50, 0);
    child = begin(0, txn);
    ASSERT_EQ(orv_drop(child, fresh, 1), 0);
    if (child_commits) {
      commit(child);
      EXPECT_EQ(orv_drop(txn, fresh, 0), EINVAL) << "the handle died with the database";
    } else {
      orv_txn_abort(child);
      EXPECT_EQ(stat(txn, fresh).ms_entries, 50u);
    }
    commit(txn);
    EXPECT_EQ(env_->me_dbxs[fresh].md_name.mv_size, child_commits ? 0u : 5u);
    EXPECT_EQ(env_->me_dbflags[fresh] != 0, !child_commits);
    txn = begin();
    ORV_dbi h2;
    EXPECT_EQ(orv_dbi_open(txn, "fresh", 0, &h2), child_commits ? ORV_NOTFOUND : 0);
    if (!child_commits) {
      EXPECT_EQ(stat(txn, h2).ms_entries, 50u);
      ASSERT_EQ(orv_drop(txn, h2, 1), 0);
    }
    commit(txn);
    EXPECT_TRUE(orv_test::EnvTreesValid(env_));
  }
}

// A database deleted in a transaction keeps its handle for other
// transactions until the deletion commits; an abort keeps it altogether,
// and the name can be created again before the commit.
TEST_F(Drop, DeletedHandleClosesAtCommit) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "late", 0);
  fill(txn, dbi, 0, 30, 0);
  commit(txn);

  txn = begin();
  ASSERT_EQ(orv_drop(txn, dbi, 1), 0);
  orv_txn_abort(txn);
  txn = begin(ORV_RDONLY);
  EXPECT_EQ(stat(txn, dbi).ms_entries, 30u) << "the aborted delete left the handle usable";
  orv_txn_abort(txn);

  txn = begin();
  ASSERT_EQ(orv_drop(txn, dbi, 1), 0);
  ORV_dbi again = open_db(txn, "late", 0);
  EXPECT_NE(again, dbi);
  fill(txn, again, 0, 3, 0);
  commit(txn);
  EXPECT_EQ(env_->me_dbflags[dbi], 0u);
  txn = begin(ORV_RDONLY);
  ORV_dbi h;
  ASSERT_EQ(orv_dbi_open(txn, "late", 0, &h), 0);
  EXPECT_EQ(h, again);
  EXPECT_EQ(stat(txn, h).ms_entries, 3u);
  orv_txn_abort(txn);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));

  // Deleted, created again, filled, then the main database emptied: the
  // new tree is the one freed.
  txn = begin();
  const ORV_dbi filler = open_db(txn, "filler", 0);  // takes the free slot
  EXPECT_EQ(filler, dbi);
  ASSERT_EQ(orv_drop(txn, again, 1), 0);
  ORV_dbi third = open_db(txn, "late", 0);
  ASSERT_GT(third, again) << "the deleted slot comes first";
  fill(txn, third, 0, 2000, 0);
  ASSERT_EQ(orv_drop(txn, 1, 0), 0);
  commit(txn);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_)) << "no page of the new tree leaked";
}

// Emptying the main database while it holds named databases frees their
// trees too (their records go with the main tree) and closes their handles.
TEST_F(Drop, EmptyingTheMainDatabaseFreesNamedDatabases) {
  for (int del : {0, 1}) {
    SCOPED_TRACE("del " + std::to_string(del));
    ORV_txn *txn = begin();
    ORV_dbi a = open_db(txn, "a", ORV_COUNTED);
    ORV_dbi b = open_db(txn, "b", ORV_PREFIXKEY);
    ORV_dbi c = open_db(txn, "c", 0);
    fill(txn, a, 0, 3000, 25);
    fill(txn, b, ORV_PREFIXKEY, 3000, 0);
    fill(txn, c, 0, 200, 0);
    fill(txn, 1, 0, 1000, 60);
    commit(txn);

    txn = begin();
    ASSERT_EQ(orv_dbi_open(txn, "a", 0, &a), 0);
    ASSERT_EQ(orv_dbi_open(txn, "b", 0, &b), 0);
    ASSERT_EQ(orv_dbi_open(txn, "c", 0, &c), 0);
    // a changes in this transaction (its stored record is now stale), c
    // is emptied first (its stored record still names its old pages), b
    // is left as stored.
    fill(txn, a, 0, 3500, 25);
    ASSERT_EQ(orv_drop(txn, c, 0), 0);
    ORV_cursor *mc;
    ASSERT_EQ(orv_cursor_open(txn, a, &mc), 0);
    ORV_val k, v;
    ASSERT_EQ(orv_cursor_get(mc, &k, &v, ORV_FIRST), 0);

    ASSERT_EQ(orv_drop(txn, 1, del), 0);
    std::vector<uint64_t> freed = free_list(txn);
    EXPECT_FALSE(has_duplicates(freed)) << "a page was freed twice";
    EXPECT_FALSE(mc->mc_flags & C_INITIALIZED);
    std::string k0 = key_for(0, 0);
    ORV_val key = val(k0), data;
    for (ORV_dbi h : {a, b, c}) EXPECT_EQ(orv_get(txn, h, &key, &data), EINVAL);
    const ORV_stat main = stat(txn, 1);
    EXPECT_EQ(main.ms_entries, 0u);
    EXPECT_EQ(main.ms_depth, 0u);
    commit(txn);
    EXPECT_TRUE(orv_test::EnvTreesValid(env_)) << "no page of a, b or c leaked";

    txn = begin();
    for (const char *name : {"a", "b", "c"}) {
      ORV_dbi h;
      EXPECT_EQ(orv_dbi_open(txn, name, 0, &h), ORV_NOTFOUND) << name;
    }
    // The main database is kept and takes named databases again.
    ORV_dbi again = open_db(txn, "a", 0);
    fill(txn, again, 0, 10, 0);
    commit(txn);
    EXPECT_TRUE(orv_test::EnvTreesValid(env_));
    txn = begin();
    ASSERT_EQ(orv_dbi_open(txn, "a", 0, &again), 0);
    ASSERT_EQ(orv_drop(txn, again, 1), 0);
    commit(txn);
  }
}

// The main database keeps its flags when emptied.
TEST_F(Drop, MainDatabaseKeepsItsFlags) {
  ORV_txn *txn = begin();
  ORV_dbi dbi;
  ASSERT_EQ(orv_dbi_open(txn, nullptr, ORV_INTEGERKEY, &dbi), 0);
  fill(txn, dbi, ORV_INTEGERKEY, 800, 100);
  commit(txn);
  txn = begin();
  ASSERT_EQ(orv_drop(txn, dbi, 1), 0);
  unsigned flags = 0;
  ASSERT_EQ(orv_dbi_flags(txn, dbi, &flags), 0);
  EXPECT_EQ(flags, ORV_INTEGERKEY);
  commit(txn);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
  txn = begin(ORV_RDONLY);
  EXPECT_EQ(stat(txn, 1).ms_entries, 0u);
  orv_txn_abort(txn);
}

// A database with duplicates: keys with one value, with a sub-page and
// with a sub-database. Emptying or deleting it frees the main tree and
// every value tree, each page once, whether the trees were committed or
// written by the dropping transaction itself.
TEST_F(Drop, FreesValueTrees) {
  const struct DupKind {
    const char *what;
    unsigned flags;
  } kinds[] = {{"dupsort", ORV_DUPSORT},
               {"fixed", ORV_DUPSORT | ORV_DUPFIXED},
               {"counted", ORV_DUPSORT | ORV_COUNTED},
               {"prefix", ORV_DUPSORT | ORV_PREFIXKEY}};
  for (const DupKind &kind : kinds) {
    for (bool committed : {true, false}) {
      for (int del : {0, 1}) {
        SCOPED_TRACE(std::string(kind.what) + (committed ? ", committed" : ", same txn") +
                     ", del " + std::to_string(del));
        // Emptied or deleted by the previous round.
        const std::string name = kind.what;
        ORV_txn *txn = begin();
        ORV_dbi dbi = open_db(txn, name.c_str(), kind.flags);
        // Key k has 1, 5 or 700 values.
        for (int k = 0; k < 30; k++) {
          const int nvals = k % 3 == 0 ? 1 : k % 3 == 1 ? 5 : 700;
          char kb[16];
          std::snprintf(kb, sizeof kb, "key%03d", k);
          for (int i = 0; i < nvals; i++) {
            char vb[16];
            std::snprintf(vb, sizeof vb, "v%07d", i);
            ORV_val key{std::strlen(kb), kb}, data{8, vb};
            ASSERT_EQ(orv_put(txn, dbi, &key, &data, 0), 0);
          }
        }
        if (committed) {
          commit(txn);
          txn = begin();
        }
        // Pages of the main tree and of every sub-database.
        const ORV_stat st = stat(txn, dbi);
        uint64_t pages = st.ms_branch_pages + st.ms_leaf_pages + st.ms_overflow_pages;
        uint64_t subdbs = 0;
        ORV_cursor *mc;
        ASSERT_EQ(orv_cursor_open(txn, dbi, &mc), 0);
        ORV_val k, v;
        for (int rc = orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0;
             rc = orv_cursor_get(mc, &k, &v, ORV_NEXT_NODUP)) {
          ORV_node *node = node_ptr(mc->mc_pg[mc->mc_top], mc->mc_ki[mc->mc_top]);
          if ((node->mn_flags & (F_DUPDATA | F_SUBDATA)) != (F_DUPDATA | F_SUBDATA)) continue;
          const ORV_db &sub = mc->mc_xcursor->mx_db;
          pages += sub.md_branch_pages + sub.md_leaf_pages;
          subdbs++;
        }
        orv_cursor_close(mc);
        EXPECT_EQ(subdbs, 10u);
        const size_t freed_before = txn->mt_free_pgs[0];
        ASSERT_EQ(orv_drop(txn, dbi, del), 0);
        std::vector<uint64_t> freed = free_list(txn);
        // Deleting the name record also copies the main database's path.
        if (del == 0) {
          EXPECT_EQ(freed.size() - freed_before, pages);
          EXPECT_EQ(stat(txn, dbi).ms_entries, 0u);
        } else {
          EXPECT_GE(freed.size() - freed_before, pages);
        }
        EXPECT_FALSE(has_duplicates(freed));
        commit(txn);
        EXPECT_TRUE(orv_test::EnvTreesValid(env_)) << "no page leaked";
      }
    }
  }
}

}  // namespace
