// [commit]: commit.cc, page_touch.cc - top-level and nested commit, the
// free-page database, page flush with its sync modes, and copy-on-write of
// committed pages.
#include <gtest/gtest.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "env/env.h"
#include "env/sys.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

std::string Str(const ORV_val &v) {
  return std::string(static_cast<const char *>(v.mv_data), v.mv_size);
}

class CommitTest : public ::testing::Test {
 public:
  void SetUp() override { Open(0); }
  void TearDown() override { orv_env_close(env_); }

  void Open(unsigned flags) {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, 8u << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), flags, 0644), 0);
  }
  void Reopen(unsigned flags) {
    orv_env_close(env_);
    env_ = nullptr;
    Open(flags);
  }

  // Value of key in a fresh read-only snapshot ("<rc>" when absent).
  std::string Get(const std::string &k) {
    ORV_txn *rd;
    EXPECT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd), 0);
    std::string out = Get(rd, k);
    orv_txn_abort(rd);
    return out;
  }
  static std::string Get(ORV_txn *txn, const std::string &k, ORV_dbi dbi = MAIN_DBI) {
    ORV_val key = {k.size(), const_cast<char *>(k.data())}, val;
    const int rc = orv_get(txn, dbi, &key, &val);
    return rc == 0 ? Str(val) : "<" + std::to_string(rc) + ">";
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
};

// Builds, without the put path, a one-leaf main tree holding k -> v as the
// new root of txn (a former root is left alone; tests that use this never
// commit a tree that still needs it).
void ManualRoot(ORV_txn *txn, const std::string &k, const std::string &v) {
  ORV_cursor mc{};
  orv_cursor_init(&mc, txn, MAIN_DBI, nullptr);
  ORV_page *leaf = nullptr;
  ASSERT_EQ(orv_page_new(&mc, P_LEAF, 1, &leaf), 0);
  mc.mc_pg[0] = leaf;
  mc.mc_ki[0] = 0;
  mc.mc_snum = 1;
  mc.mc_top = 0;
  ORV_val key = {k.size(), const_cast<char *>(k.data())};
  ORV_val val = {v.size(), const_cast<char *>(v.data())};
  ASSERT_EQ(orv_node_add(&mc, 0, &key, &val, 0, 0, nullptr, 0), 0);
  ORV_db *db = &txn->mt_dbs[MAIN_DBI];
  db->md_root = leaf->mp_pgno;
  db->md_depth = 1;
  db->md_entries = 1;
  orv_pkc_free(&mc);
}

// Lets the next g_writes_ok writes of the page flush through, then fails
// them with EIO.
int g_writes_ok = 0;
ssize_t FailPwrite(int fd, const void *buf, size_t n, off_t off) {
  if (g_writes_ok-- > 0) return ::pwrite(fd, buf, n, off);
  errno = EIO;
  return -1;
}
ssize_t FailWritev(int fd, const struct iovec *iov, int cnt) {
  if (g_writes_ok-- > 0) return ::writev(fd, iov, cnt);
  errno = EIO;
  return -1;
}

// Writes that move at most 1000 bytes (writev: part of its first buffer).
ssize_t ShortPwrite(int fd, const void *buf, size_t n, off_t off) {
  return ::pwrite(fd, buf, n < 1000 ? n : 1000, off);
}
ssize_t ShortWritev(int fd, const struct iovec *iov, int) {
  return ::write(fd, iov[0].iov_base, iov[0].iov_len / 2 + 1);
}

TEST_F(CommitTest, EmptyCommitUsesNoId) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  const uint64_t id = orv_txn_id(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  EXPECT_EQ(orv_txn_id(txn), id);
  // A nested child that commits nothing leaves nothing to write either.
  ORV_txn *child;
  ASSERT_EQ(orv_txn_begin(env_, txn, 0, &child), 0);
  ASSERT_EQ(orv_txn_commit(child), 0);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn), 0);
  EXPECT_EQ(orv_txn_id(txn), id - 1);
  EXPECT_EQ(orv_txn_commit(txn), 0);  // read-only: just ends
}

TEST_F(CommitTest, CommitArgumentsAndStates) {
  EXPECT_EQ(orv_txn_commit(nullptr), EINVAL);
  // A failed transaction refuses to commit, is aborted, and the writer
  // lock is free again.
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ManualRoot(txn, "a", "1");
  orv_txn_fail(txn, ORV_PAGE_FULL);
  EXPECT_EQ(orv_txn_commit(txn), ORV_BAD_TXN);
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  // A failed child marks its parent failed too.
  ORV_txn *child;
  ASSERT_EQ(orv_txn_begin(env_, txn, 0, &child), 0);
  orv_txn_fail(child, ENOMEM);
  EXPECT_EQ(orv_txn_commit(child), ORV_BAD_TXN);
  EXPECT_TRUE(txn->mt_flags & ORV_TXN_ERROR);
  EXPECT_EQ(orv_txn_commit(txn), ORV_BAD_TXN);
  // Committing a parent commits its live child first; a failing child
  // takes the parent down with it.
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ManualRoot(txn, "a", "1");
  ASSERT_EQ(orv_txn_begin(env_, txn, 0, &child), 0);
  orv_txn_fail(child, ENOMEM);
  EXPECT_EQ(orv_txn_commit(txn), ORV_BAD_TXN);
  EXPECT_EQ(Get("a"), "<" + std::to_string(ORV_NOTFOUND) + ">");
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);  // the writer lock is free
  orv_txn_abort(txn);
}

TEST_F(CommitTest, CommittedPagesAreWrittenAndDurable) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  const uint64_t id = orv_txn_id(txn);
  ManualRoot(txn, "key", "value");
  ASSERT_EQ(orv_txn_commit(txn), 0);
  EXPECT_EQ(Get("key"), "value");
  ORV_envinfo info;
  ASSERT_EQ(orv_env_info(env_, &info), 0);
  EXPECT_EQ(info.mi_last_txnid, id);

  Reopen(0);
  EXPECT_EQ(Get("key"), "value");
  // The next write transaction takes the next id.
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  EXPECT_EQ(orv_txn_id(txn), id + 1);
  orv_txn_abort(txn);
}

TEST_F(CommitTest, FailedFlushLeavesPreviousStateIntact) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ManualRoot(txn, "key", "old");
  ASSERT_EQ(orv_txn_commit(txn), 0);

  struct Case {
    int pages;
    int writes_ok;
  };
  // One page: pwrite; a few: one writev; 70: two batches, the second fails.
  for (const Case c : {Case{1, 0}, Case{3, 0}, Case{70, 1}}) {
    const int pages = c.pages;
    SCOPED_TRACE(pages);
    g_writes_ok = c.writes_ok;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    const uint64_t id = orv_txn_id(txn);
    ManualRoot(txn, "key", "new");
    ORV_cursor mc{};
    orv_cursor_init(&mc, txn, MAIN_DBI, nullptr);
    for (int i = 1; i < pages; i++) {
      ORV_page *mp;
      ASSERT_EQ(orv_page_new(&mc, P_LEAF, 1, &mp), 0);
    }
    ORV_sys failing = orv_sys_default();
    failing.pwrite = FailPwrite;
    failing.writev = FailWritev;
    const ORV_sys saved = orv_sys_install(failing);
    EXPECT_EQ(orv_txn_commit(txn), EIO);
    orv_sys_install(saved);

    EXPECT_EQ(Get("key"), "old");
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    EXPECT_EQ(orv_txn_id(txn), id);
    orv_txn_abort(txn);
  }
  Reopen(0);
  EXPECT_EQ(Get("key"), "old");
}

TEST_F(CommitTest, TouchCopiesCommittedPagesAndKeepsSnapshots) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ManualRoot(txn, "key", "old");
  ASSERT_EQ(orv_txn_commit(txn), 0);

  ORV_txn *rd;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd), 0);
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  const pgno_t old_root = txn->mt_dbs[MAIN_DBI].md_root;

  ORV_cursor mc{};
  orv_cursor_init(&mc, txn, MAIN_DBI, nullptr);
  ASSERT_EQ(orv_page_search(&mc, nullptr, ORV_PS_FIRST | ORV_PS_MODIFY), 0);
  ORV_page *np = mc.mc_pg[0];
  EXPECT_TRUE(np->mp_flags & P_DIRTY);
  EXPECT_NE(np->mp_pgno, old_root);
  EXPECT_EQ(txn->mt_dbs[MAIN_DBI].md_root, np->mp_pgno);
  ASSERT_EQ(txn->mt_free_pgs[0], 1u);
  EXPECT_EQ(txn->mt_free_pgs[1], old_root);

  // A second touch returns at once: same buffer, nothing more freed.
  ASSERT_EQ(orv_page_touch(&mc), 0);
  EXPECT_EQ(mc.mc_pg[0], np);
  EXPECT_EQ(txn->mt_free_pgs[0], 1u);

  // Writing the copy leaves the reader's snapshot (the map page) alone.
  ORV_node *node = node_ptr(np, 0);
  std::memcpy(node_data(node), "NEW", 3);
  EXPECT_EQ(Get(txn, "key"), "NEW");
  EXPECT_EQ(Get(rd, "key"), "old");
  orv_pkc_free(&mc);
  orv_txn_abort(txn);
  EXPECT_EQ(Get(rd, "key"), "old");
  orv_txn_abort(rd);
}

TEST_F(CommitTest, NestedTouchCopiesTheParentsPage) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ManualRoot(txn, "key", "aaa");
  const pgno_t root = txn->mt_dbs[MAIN_DBI].md_root;

  for (bool commit_child : {false, true}) {
    SCOPED_TRACE(commit_child);
    ORV_ID2L pdl = txn->mt_dirty_list;
    const unsigned x = orv_id2l_search(pdl, root);
    ASSERT_EQ(pdl[x].mid, root);
    auto *pp = static_cast<ORV_page *>(pdl[x].mptr);

    ORV_txn *child;
    ASSERT_EQ(orv_txn_begin(env_, txn, 0, &child), 0);
    ORV_cursor mc{};
    orv_cursor_init(&mc, child, MAIN_DBI, nullptr);
    ASSERT_EQ(orv_page_search(&mc, nullptr, ORV_PS_FIRST | ORV_PS_MODIFY), 0);
    ORV_page *cp = mc.mc_pg[0];
    // Same page number, the child's own buffer; nothing is freed.
    EXPECT_NE(cp, pp);
    EXPECT_EQ(cp->mp_pgno, root);
    EXPECT_EQ(child->mt_dbs[MAIN_DBI].md_root, root);
    EXPECT_EQ(child->mt_dirty_list[0].mid, 1u);
    EXPECT_EQ(child->mt_free_pgs[0], 0u);
    std::memcpy(node_data(node_ptr(cp, 0)), "bbb", 3);
    EXPECT_EQ(Get(child, "key"), "bbb");
    orv_pkc_free(&mc);
    if (!commit_child) {
      orv_txn_abort(child);
      EXPECT_EQ(Get(txn, "key"), "aaa");
    } else {
      ASSERT_EQ(orv_txn_commit(child), 0);
      EXPECT_EQ(Get(txn, "key"), "bbb");
      const unsigned y = orv_id2l_search(txn->mt_dirty_list, root);
      EXPECT_EQ(txn->mt_dirty_list[y].mptr, cp);
    }
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);
  EXPECT_EQ(Get("key"), "bbb");
}

// ---- Through the public interface (these need puts) ---------------------------------

int Put(ORV_txn *txn, ORV_dbi dbi, const std::string &k, const std::string &v) {
  ORV_val key = {k.size(), const_cast<char *>(k.data())};
  ORV_val val = {v.size(), const_cast<char *>(v.data())};
  return orv_put(txn, dbi, &key, &val, 0);
}

int Del(ORV_txn *txn, const std::string &k) {
  ORV_val key = {k.size(), const_cast<char *>(k.data())};
  return orv_del(txn, MAIN_DBI, &key, nullptr);
}

std::string Key(unsigned i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "key%07u", i);
  return buf;
}

// A value whose size picks inline or overflow storage; content from seed.
std::string Value(unsigned seed, size_t size) {
  std::string v(size, '\0');
  for (size_t i = 0; i < size; i++) v[i] = static_cast<char>('a' + (seed * 31 + i * 7) % 26);
  return v;
}

using Model = std::map<std::string, std::string>;

// Every key of the model has its value in txn, and the tree holds nothing
// else.
void ExpectMatches(ORV_txn *txn, const Model &model, ORV_dbi dbi = MAIN_DBI) {
  for (const auto &[k, v] : model) ASSERT_EQ(CommitTest::Get(txn, k, dbi), v) << k;
  ORV_stat st;
  ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
  EXPECT_EQ(st.ms_entries, model.size());
}

// After a reopen, a read-only snapshot holds exactly the model, and every
// tree of the file is sound.
void ExpectFileMatches(CommitTest &t, const Model &model) {
  t.Reopen(0);
  ORV_txn *rd;
  ASSERT_EQ(orv_txn_begin(t.env_, nullptr, ORV_RDONLY, &rd), 0);
  ExpectMatches(rd, model);
  orv_txn_abort(rd);
  EXPECT_TRUE(orv_test::EnvTreesValid(t.env_));
}

TEST_F(CommitTest, NestedCommitsMergeAndAbortsDiscard) {
  // Random puts in a stack of nested transactions mirrored by a stack of
  // models; children commit into or abort out of their parents, and each
  // top-level commit is checked from a fresh snapshot.
  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  srand(seed);
  Model committed;
  for (int round = 0; round < 6; round++) {
    std::vector<ORV_txn *> txns(1);
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txns[0]), 0);
    std::vector<Model> models{committed};
    for (int step = 0; step < 400; step++) {
      const int op = rand() % 100;
      if (op < 4 && txns.size() < 5) {
        ORV_txn *child;
        ASSERT_EQ(orv_txn_begin(env_, txns.back(), 0, &child), 0);
        txns.push_back(child);
        models.push_back(models.back());
      } else if (op < 8 && txns.size() > 1) {
        const bool commit = rand() % 3 != 0;
        if (commit) {
          ASSERT_EQ(orv_txn_commit(txns.back()), 0);
          models[models.size() - 2] = models.back();
        } else {
          orv_txn_abort(txns.back());
        }
        txns.pop_back();
        models.pop_back();
        ExpectMatches(txns.back(), models.back());
      } else if (op < 30) {
        const std::string k = Key(static_cast<unsigned>(rand() % 300));
        ASSERT_EQ(Del(txns.back(), k), models.back().erase(k) ? 0 : ORV_NOTFOUND);
      } else {
        const std::string k = Key(static_cast<unsigned>(rand() % 300));
        const size_t size = rand() % 10 == 0 ? 3000 + rand() % 9000 : 1 + rand() % 200;
        const std::string v = Value(static_cast<unsigned>(rand()), size);
        ASSERT_EQ(Put(txns.back(), MAIN_DBI, k, v), 0);
        models.back()[k] = v;
      }
    }
    // Committing the top commits every live child first.
    ASSERT_EQ(orv_txn_commit(txns[0]), 0);
    committed = models.back();
    ORV_txn *rd;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd), 0);
    ExpectMatches(rd, committed);
    orv_txn_abort(rd);
    ASSERT_TRUE(orv_test::EnvTreesValid(env_));
  }
}

TEST_F(CommitTest, SyncModesCommitTheSameData) {
  struct Mode {
    unsigned env_flags;
    unsigned txn_flags;
  };
  const Mode modes[] = {
      {0, 0},
      {0, ORV_NOSYNC},
      {0, ORV_NOMETASYNC},
      {ORV_NOSYNC, 0},
      {ORV_NOMETASYNC, 0},
      {ORV_WRITEMAP, 0},
      {ORV_WRITEMAP | ORV_MAPASYNC, 0},
      {ORV_WRITEMAP | ORV_NOSYNC, ORV_NOMETASYNC},
  };
  for (const Mode &m : modes) {
    SCOPED_TRACE(std::to_string(m.env_flags) + "/" + std::to_string(m.txn_flags));
    TempDir dir;
    ORV_env *env;
    ASSERT_EQ(orv_env_create(&env), 0);
    ASSERT_EQ(orv_env_set_mapsize(env, 16u << 20), 0);
    ASSERT_EQ(orv_env_open(env, dir.c_str(), m.env_flags, 0644), 0);
    Model model;
    for (unsigned round = 0; round < 4; round++) {
      ORV_txn *txn;
      ASSERT_EQ(orv_txn_begin(env, nullptr, m.txn_flags, &txn), 0);
      for (unsigned i = 0; i < 300; i++) {
        const unsigned k = (i * 7 + round * 50) % 500;
        const std::string v = Value(round * 1000 + i, i % 50 == 0 ? 9000 : 20 + i % 80);
        ASSERT_EQ(Put(txn, MAIN_DBI, Key(k), v), 0);
        model[Key(k)] = v;
      }
      ASSERT_EQ(orv_txn_commit(txn), 0);
    }
    ASSERT_TRUE(orv_test::EnvTreesValid(env));
    orv_env_close(env);

    // Whatever the mode, a reopened environment holds the last commit.
    ASSERT_EQ(orv_env_create(&env), 0);
    ASSERT_EQ(orv_env_set_mapsize(env, 16u << 20), 0);
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
    ORV_txn *rd;
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &rd), 0);
    ExpectMatches(rd, model);
    orv_txn_abort(rd);
    ASSERT_TRUE(orv_test::EnvTreesValid(env));
    orv_env_close(env);
  }
}

TEST_F(CommitTest, NamedDatabaseRecordsAreWrittenAtCommit) {
  orv_env_close(env_);
  ASSERT_EQ(orv_env_create(&env_), 0);
  ASSERT_EQ(orv_env_set_maxdbs(env_, 4), 0);
  ASSERT_EQ(orv_env_open(env_, dir_.c_str(), 0, 0644), 0);
  ORV_txn *txn;
  ORV_dbi dbi;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  ASSERT_EQ(orv_dbi_open(txn, "sub", ORV_CREATE | ORV_COUNTED, &dbi), 0);
  Model model;
  for (unsigned i = 0; i < 200; i++) {
    ASSERT_EQ(Put(txn, dbi, Key(i), Value(i, 50)), 0);
    model[Key(i)] = Value(i, 50);
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);

  // The record under the name in the main database describes the tree.
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn), 0);
  ORV_val name = {3, const_cast<char *>("sub")}, rec;
  ASSERT_EQ(orv_get(txn, MAIN_DBI, &name, &rec), 0);
  ASSERT_EQ(rec.mv_size, sizeof(ORV_db));
  ORV_db db;
  std::memcpy(&db, rec.mv_data, sizeof db);
  EXPECT_EQ(db.md_entries, 200u);
  EXPECT_EQ(db.md_flags, ORV_COUNTED);
  ExpectMatches(txn, model, dbi);
  orv_txn_abort(txn);
  ASSERT_TRUE(orv_test::EnvTreesValid(env_));
}

TEST_F(CommitTest, LoosePagesAreSavedAtCommit) {
  // Keys put and deleted again in one transaction leave merged pages loose
  // (freed, not reused) until the commit saves them: once with no reusable
  // list, once with one taken from the free-page database.
  Model model;
  ORV_txn *txn = nullptr;
  auto put = [&](unsigned from, unsigned to) {
    for (unsigned i = from; i < to; i++) {
      ASSERT_EQ(Put(txn, MAIN_DBI, Key(i), Value(i, 100)), 0);
      model[Key(i)] = Value(i, 100);
    }
  };
  auto del = [&](unsigned from, unsigned to) {
    for (unsigned i = from; i < to; i++) {
      ASSERT_EQ(Del(txn, Key(i)), model.erase(Key(i)) ? 0 : ORV_NOTFOUND);
    }
  };
  auto commit = [&](bool expect_loose) {
    EXPECT_EQ(txn->mt_loose_count > 0, expect_loose);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    ORV_txn *rd;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd), 0);
    ExpectMatches(rd, model);
    orv_txn_abort(rd);
    ASSERT_TRUE(orv_test::EnvTreesValid(env_));
  };

  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  put(0, 3000);
  del(100, 2900);
  ASSERT_EQ(env_->me_pghead, nullptr);
  commit(true);

  for (unsigned round = 0; round < 3; round++) {  // free some, then reuse them
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    put(10000 + round * 50, 10050 + round * 50);
    commit(false);
  }
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  put(20000, 23000);
  ASSERT_NE(env_->me_pghead, nullptr);
  del(20000, 22900);
  commit(true);
}

TEST_F(CommitTest, CommitOnPreviousSnapshotIsPublished) {
  // Two commits, then a reopen on the previous snapshot: its first commit
  // must become the newest state, seen by later transactions and reopens.
  for (const char *v : {"one", "two"}) {
    ORV_txn *txn;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    ASSERT_EQ(Put(txn, MAIN_DBI, "key", v), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  Reopen(ORV_PREVSNAPSHOT);
  EXPECT_EQ(Get("key"), "one");
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  const uint64_t id = orv_txn_id(txn);
  ASSERT_EQ(Put(txn, MAIN_DBI, "key", "three"), 0);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  EXPECT_EQ(Get("key"), "three");
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  EXPECT_EQ(orv_txn_id(txn), id + 1);
  orv_txn_abort(txn);
  Reopen(0);
  EXPECT_EQ(Get("key"), "three");
}

TEST_F(CommitTest, OverflowRunsOfSnapshotsAreNeverRewritten) {
  // An overflow run that is large enough for a new value is reused only if
  // this transaction wrote it; a committed run a reader can still see, or
  // an ancestor's run, is copied or replaced, never written in place.
  for (unsigned flags : {0u, unsigned{ORV_WRITEMAP}}) {
    SCOPED_TRACE(flags);
    TempDir dir;
    ORV_env *env;
    ASSERT_EQ(orv_env_create(&env), 0);
    ASSERT_EQ(orv_env_set_mapsize(env, 8u << 20), 0);
    ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
    const std::string a = Value(1, 10000), b = Value(2, 10000), c = Value(3, 9000);
    ORV_txn *txn, *rd;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(Put(txn, MAIN_DBI, "big", a), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);

    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &rd), 0);
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(Put(txn, MAIN_DBI, "big", b), 0);
    EXPECT_EQ(Get(rd, "big"), a);
    ASSERT_EQ(Put(txn, MAIN_DBI, "big", c), 0);  // now its own run: reused
    EXPECT_EQ(Get(txn, "big"), c);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    EXPECT_EQ(Get(rd, "big"), a);
    orv_txn_abort(rd);

    if (!(flags & ORV_WRITEMAP)) {
      ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
      ASSERT_EQ(Put(txn, MAIN_DBI, "big", a), 0);
      for (bool commit : {false, true}) {
        ORV_txn *child;
        ASSERT_EQ(orv_txn_begin(env, txn, 0, &child), 0);
        ASSERT_EQ(Put(child, MAIN_DBI, "big", b), 0);
        EXPECT_EQ(Get(child, "big"), b);
        if (commit) {
          ASSERT_EQ(orv_txn_commit(child), 0);
        } else {
          orv_txn_abort(child);
          EXPECT_EQ(Get(txn, "big"), a);
        }
      }
      EXPECT_EQ(Get(txn, "big"), b);
      ASSERT_EQ(orv_txn_commit(txn), 0);
    } else {
      ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
      ASSERT_EQ(Put(txn, MAIN_DBI, "big", b), 0);
      ASSERT_EQ(orv_txn_commit(txn), 0);
    }
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &rd), 0);
    EXPECT_EQ(Get(rd, "big"), b);
    orv_txn_abort(rd);
    ASSERT_TRUE(orv_test::EnvTreesValid(env));
    orv_env_close(env);
  }
}

TEST_F(CommitTest, PartialWritesAreCompleted) {
  Model model;
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  for (unsigned i = 0; i < 600; i++) {
    const std::string v = Value(i, i % 100 == 0 ? 20000 : 50);
    ASSERT_EQ(Put(txn, MAIN_DBI, Key(i), v), 0);
    model[Key(i)] = v;
  }
  ORV_sys short_writes = orv_sys_default();
  short_writes.pwrite = ShortPwrite;
  short_writes.writev = ShortWritev;
  const ORV_sys saved = orv_sys_install(short_writes);
  const int rc = orv_txn_commit(txn);
  orv_sys_install(saved);
  ASSERT_EQ(rc, 0);
  ExpectFileMatches(*this, model);
}

// Every write call of a commit, as (file position, length).
std::vector<std::pair<off_t, size_t>> g_calls;
off_t g_seek = -1;
ssize_t RecordPwrite(int fd, const void *buf, size_t n, off_t off) {
  g_calls.emplace_back(off, n);
  return ::pwrite(fd, buf, n, off);
}
off_t RecordLseek(int fd, off_t off, int whence) {
  g_seek = off;
  return ::lseek(fd, off, whence);
}
ssize_t RecordWritev(int fd, const struct iovec *iov, int cnt) {
  size_t n = 0;
  for (int i = 0; i < cnt; i++) n += iov[i].iov_len;
  g_calls.emplace_back(g_seek, n);
  return ::writev(fd, iov, cnt);
}

// A commit writing pages inside the file and past its end: runs inside it
// go out gathered, each appended page by a call of its own (so that the
// kernel caches it as a page of its own), and no page is written twice.
TEST_F(CommitTest, FlushGathersRunsInsideTheFileAndAppendsPageByPage) {
  Model model;
  // Rounds over the same keys: the last reuses the run of pages the first
  // wrote (freed by the second, reusable from the fourth transaction on), and
  // grows the tree past the end of the file.
  const unsigned last = 3;
  for (unsigned round = 0; round <= last; round++) {
    ORV_txn *txn;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    const unsigned keys = round < last ? 600 : 1200;
    for (unsigned i = 0; i < keys; i++) {
      const std::string v = Value(i + round, 50);
      ASSERT_EQ(Put(txn, MAIN_DBI, Key(i), v), 0);
      model[Key(i)] = v;
    }
    if (round < last) {
      ASSERT_EQ(orv_txn_commit(txn), 0);
      continue;
    }
    int fd;
    ASSERT_EQ(orv_env_get_fd(env_, &fd), 0);
    const off_t end = lseek(fd, 0, SEEK_END);
    const size_t psize = env_->me_psize;
    ORV_sys recording = orv_sys_default();
    recording.pwrite = RecordPwrite;
    recording.lseek = RecordLseek;
    recording.writev = RecordWritev;
    g_calls.clear();
    const ORV_sys saved = orv_sys_install(recording);
    const int rc = orv_txn_commit(txn);
    orv_sys_install(saved);
    ASSERT_EQ(rc, 0);

    std::map<off_t, size_t> pages;  // position -> write calls
    bool gathered = false, appended = false;
    for (const auto &[pos, len] : g_calls) {
      ASSERT_GE(pos, 0);
      if (pos < off_t(NUM_METAS * psize)) continue;  // the meta page
      ASSERT_EQ(pos % psize, 0u);
      ASSERT_EQ(len % psize, 0u);
      if (pos >= end) {
        EXPECT_EQ(len, psize) << "at page " << pos / psize;
        appended = true;
      } else {
        EXPECT_LE(pos + off_t(len), end) << "at page " << pos / psize;
        gathered |= len > psize;
      }
      for (size_t o = 0; o < len; o += psize) pages[pos + off_t(o)]++;
    }
    EXPECT_TRUE(gathered);
    EXPECT_TRUE(appended);
    for (const auto &[pos, n] : pages) EXPECT_EQ(n, 1u) << "page " << pos / psize;
  }
  ExpectFileMatches(*this, model);
}

}  // namespace
