// [txn]: txn.cc, txn_end.cc - transaction records, begin (read-only, write,
// nested), renew and reset, every end, the cursor hand-over between a parent
// and its child, and the scratch area.
#include "txn/txn.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "env/env.h"
#include "idl.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::in_child;
using orv_test::str;
using orv_test::val;

ORV_env *open_env(const std::string &dir, unsigned flags, size_t mapsize = 0, unsigned maxdbs = 0) {
  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc == 0 && mapsize != 0) rc = orv_env_set_mapsize(env, mapsize);
  if (rc == 0 && maxdbs != 0) rc = orv_env_set_maxdbs(env, maxdbs);
  if (rc == 0) rc = orv_env_open(env, dir.c_str(), flags, 0644);
  if (rc != 0) {
    orv_env_close(env);
    return nullptr;
  }
  return env;
}

// A commit that writes only a new meta page (same trees, next id). The last
// page in use can be raised to make the snapshot larger than a small map.
int commit_meta_only(ORV_env *env, pgno_t next_pgno = 0) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, 0, &txn); rc != 0) return rc;
  if (next_pgno != 0) txn->mt_next_pgno = next_pgno;
  int rc = orv_env_write_meta(txn);
  orv_txn_end(txn, rc == 0 ? ORV_END_COMMITTED | ORV_END_UPDATE : ORV_END_ABORT);
  return rc;
}

bool wmutex_free(ORV_env *env) {
  if (pthread_mutex_trylock(&env->me_txns->mti_wmutex) != 0) return false;
  pthread_mutex_unlock(&env->me_txns->mti_wmutex);
  return true;
}

class TxnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = open_env(dir.path(), 0, 0, 4);
    ASSERT_NE(env, nullptr);
  }
  void TearDown() override { orv_env_close(env); }
  TempDir dir;
  ORV_env *env = nullptr;
};

TEST_F(TxnTest, Ids) {
  ORV_txn *w = nullptr, *r = nullptr, *c = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  EXPECT_EQ(orv_txn_id(w), 1u);
  EXPECT_EQ(orv_txn_env(w), env);
  EXPECT_EQ(w, env->me_txn0);
  EXPECT_EQ(env->me_txn, w);
  // Nothing to write: the id is not used up.
  EXPECT_EQ(orv_txn_commit(w), 0);
  EXPECT_EQ(env->me_txn, nullptr);
  for (int i = 0; i < 7; i++) ASSERT_EQ(commit_meta_only(env), 0);

  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  EXPECT_EQ(orv_txn_id(r), 7u);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_NOSYNC, &w), 0);
  EXPECT_EQ(orv_txn_id(w), 8u);
  EXPECT_NE(w->mt_flags & ORV_NOSYNC, 0u);
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  EXPECT_EQ(orv_txn_id(c), 8u);
  EXPECT_EQ(orv_txn_env(c), env);
  EXPECT_EQ(w->mt_child, c);
  EXPECT_EQ(c->mt_parent, w);
  EXPECT_NE(c->mt_flags & ORV_NOSYNC, 0u);  // inherited
  orv_txn_abort(c);
  EXPECT_EQ(w->mt_child, nullptr);
  EXPECT_EQ(w->mt_flags & ORV_TXN_HAS_CHILD, 0u);
  orv_txn_abort(w);
  orv_txn_abort(r);

  EXPECT_EQ(orv_txn_id(nullptr), 0u);
  EXPECT_EQ(orv_txn_env(nullptr), nullptr);
  orv_txn_abort(nullptr);
  orv_txn_reset(nullptr);
  EXPECT_EQ(orv_txn_begin(nullptr, nullptr, 0, &w), EINVAL);
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, nullptr), EINVAL);
}

TEST_F(TxnTest, ResetAndRenew) {
  ORV_txn *r = nullptr;
  ASSERT_EQ(commit_meta_only(env), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  EXPECT_EQ(orv_txn_id(r), 1u);
  EXPECT_EQ(orv_txn_renew(r), EINVAL);  // still live
  orv_txn_reset(r);
  EXPECT_NE(r->mt_flags & ORV_TXN_FINISHED, 0u);
  EXPECT_EQ(r->mt_dbcount, 0u);
  orv_txn_reset(r);  // again: harmless
  ASSERT_EQ(commit_meta_only(env), 0);
  ASSERT_EQ(commit_meta_only(env), 0);
  ASSERT_EQ(orv_txn_renew(r), 0);
  EXPECT_EQ(orv_txn_id(r), 3u);
  EXPECT_EQ(r->mt_dbcount, env->me_dbcount);
  EXPECT_EQ(r->mt_flags & ORV_TXN_FINISHED, 0u);
  orv_txn_abort(r);

  // Reset ignores write transactions; renew refuses them.
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  orv_txn_reset(w);
  EXPECT_EQ(w->mt_flags & ORV_TXN_FINISHED, 0u);
  EXPECT_EQ(env->me_txn, w);
  EXPECT_EQ(orv_txn_renew(w), EINVAL);
  orv_txn_abort(w);
  EXPECT_EQ(orv_txn_renew(w), EINVAL);  // finished, but not read-only
  EXPECT_EQ(orv_txn_renew(nullptr), EINVAL);
  EXPECT_TRUE(wmutex_free(env));
}

TEST_F(TxnTest, SnapshotRecordsAndStateBytes) {
  // A named slot that is open in the environment starts stale in each
  // transaction; one that is not open starts without any state.
  env->me_dbcount = 4;
  env->me_dbflags[2] = ORV_DB_OPEN_MARK | ORV_DUPSORT;
  env->me_dbflags[3] = 0;
  ORV_txn *txns[2] = {};
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txns[0]), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txns[1]), 0);
  const ORV_meta *meta = orv_env_pick_meta(env);
  for (ORV_txn *t : txns) {
    EXPECT_EQ(t->mt_dbcount, 4u);
    EXPECT_EQ(t->mt_dbflags[FREE_DBI], DB_VALID);
    EXPECT_EQ(t->mt_dbflags[MAIN_DBI], DB_VALID | DB_USRVALID);
    EXPECT_EQ(t->mt_dbflags[2], DB_VALID | DB_USRVALID | DB_STALE);
    EXPECT_EQ(t->mt_dbflags[3], 0);
    EXPECT_EQ(t->mt_dbs[2].md_flags, ORV_DUPSORT);
    EXPECT_EQ(std::memcmp(t->mt_dbs, meta->mm_dbs, sizeof(meta->mm_dbs)), 0);
    EXPECT_EQ(t->mt_next_pgno, meta->mm_last_pg + 1);
  }
  EXPECT_EQ(txns[0]->mt_dbiseqs, env->me_dbiseqs);
  EXPECT_NE(txns[1]->mt_dbiseqs, env->me_dbiseqs);  // me_txn0 has its own copy
  EXPECT_EQ(txns[1]->mt_dirty_room, ORV_IDL_UM_MAX);
  EXPECT_EQ(txns[1]->mt_dirty_list, env->me_dirty_list);
  orv_txn_abort(txns[1]);
  orv_txn_abort(txns[0]);
  env->me_dbflags[2] = 0;
  env->me_dbcount = CORE_DBS;
}

TEST_F(TxnTest, NestedBeginRefusals) {
  ORV_txn *w = nullptr, *c = nullptr, *c2 = nullptr, *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  EXPECT_EQ(orv_txn_begin(env, w, 0, &c2), ORV_BAD_TXN);  // already a parent
  // Children nest to any depth.
  ASSERT_EQ(orv_txn_begin(env, c, 0, &c2), 0);
  EXPECT_EQ(orv_txn_begin(env, c2, ORV_RDONLY, &r), ORV_BAD_TXN);
  orv_txn_fail(c2, EIO);
  EXPECT_EQ(orv_txn_begin(env, c2, 0, &r), ORV_BAD_TXN);  // failed parent
  orv_txn_abort(c2);
  orv_txn_abort(c);
  orv_txn_abort(w);

  ORV_txn *rp = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &rp), 0);
  EXPECT_EQ(orv_txn_begin(env, rp, 0, &c), EINVAL);
  EXPECT_EQ(orv_txn_begin(env, rp, ORV_RDONLY, &c), EINVAL);
  orv_txn_abort(rp);

  TempDir other;
  ORV_env *wm = open_env(other.path(), ORV_WRITEMAP);
  ASSERT_NE(wm, nullptr);
  ASSERT_EQ(orv_txn_begin(wm, nullptr, 0, &w), 0);
  EXPECT_EQ(orv_txn_begin(wm, w, 0, &c), ORV_BAD_TXN);
  // A parent of another environment is refused.
  EXPECT_EQ(orv_txn_begin(env, w, 0, &c), EINVAL);
  orv_txn_abort(w);
  orv_env_close(wm);
}

TEST_F(TxnTest, WriteBeginOnReadOnlyEnvIsRefused) {
  ASSERT_EQ(commit_meta_only(env), 0);
  // A second handle on the same files belongs in another process: record
  // locks are per process.
  EXPECT_EQ(in_child([&] {
              ORV_env *ro = open_env(dir.path(), ORV_RDONLY);
              if (ro == nullptr) return 1;
              ORV_txn *t = nullptr;
              if (orv_txn_begin(ro, nullptr, 0, &t) != EACCES) return 2;
              if (orv_txn_begin(ro, nullptr, ORV_NOSYNC, &t) != EACCES) return 3;
              if (orv_txn_begin(ro, nullptr, ORV_RDONLY, &t) != 0) return 4;
              if (orv_txn_id(t) != 1) return 5;
              orv_txn_abort(t);
              orv_env_close(ro);
              return 0;
            }),
            0);
}

TEST_F(TxnTest, FailedEnvironmentPanics) {
  env->me_flags |= ORV_FATAL_ERROR;
  ORV_txn *t = nullptr;
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &t), ORV_PANIC);
  EXPECT_EQ(env->me_txn, nullptr);
  EXPECT_NE(env->me_txn0->mt_flags & ORV_TXN_FINISHED, 0u);
  EXPECT_TRUE(wmutex_free(env));
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), ORV_PANIC);
  // The failed reader kept no snapshot.
  auto *slot = static_cast<ORV_reader *>(pthread_getspecific(env->me_txkey));
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->mr_txnid.load(), ORV_NO_SNAPSHOT);
  env->me_flags &= ~ORV_FATAL_ERROR;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
  orv_txn_abort(t);
}

TEST_F(TxnTest, FailedNotlsReaderGivesSlotBack) {
  TempDir other;
  ORV_env *e = open_env(other.path(), ORV_NOTLS);
  ASSERT_NE(e, nullptr);
  e->me_flags |= ORV_FATAL_ERROR;
  ORV_txn *t = nullptr;
  EXPECT_EQ(orv_txn_begin(e, nullptr, ORV_RDONLY, &t), ORV_PANIC);
  EXPECT_EQ(e->me_txns->mti_numreaders.load(), 1u);
  EXPECT_EQ(e->me_txns->mti_readers[0].mr_pid.load(), 0u);
  orv_env_close(e);
}

TEST_F(TxnTest, MapResized) {
  // Another process commits a snapshot larger than our 1 MiB map.
  const long psize = env->me_psize;
  const pgno_t big = (4 << 20) / psize - 8;
  ASSERT_EQ(in_child([&] {
              ORV_env *e = open_env(dir.path(), 0, 4 << 20);
              if (e == nullptr) return 1;
              int rc = commit_meta_only(e, big);
              orv_env_close(e);
              return rc == 0 ? 0 : 2;
            }),
            0);
  ORV_txn *t = nullptr;
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &t), ORV_MAP_RESIZED);
  EXPECT_TRUE(wmutex_free(env));
  EXPECT_EQ(env->me_txn, nullptr);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), ORV_MAP_RESIZED);
  ASSERT_EQ(orv_env_set_mapsize(env, 0), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &t), 0);
  EXPECT_EQ(orv_txn_id(t), 2u);
  EXPECT_EQ(t->mt_next_pgno, big);
  orv_txn_abort(t);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
  orv_txn_abort(t);
}

TEST_F(TxnTest, AbortOfParentAbortsChildren) {
  ORV_txn *w = nullptr, *c = nullptr, *g = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  ASSERT_EQ(orv_txn_begin(env, c, 0, &g), 0);
  orv_txn_abort(w);  // frees both children (the leak checker would say)
  EXPECT_EQ(env->me_txn, nullptr);
  EXPECT_NE(w->mt_flags & ORV_TXN_FINISHED, 0u);
  EXPECT_TRUE(wmutex_free(env));
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  orv_txn_abort(w);
  orv_txn_abort(w);  // me_txn0 survives a second abort
}

TEST_F(TxnTest, ChildWorksOnCopyOfReusablePages) {
  ORV_txn *w = nullptr, *c = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ORV_IDL head = orv_idl_alloc(4);
  ASSERT_NE(head, nullptr);
  ASSERT_EQ(orv_idl_append(&head, 9), 0);
  ASSERT_EQ(orv_idl_append(&head, 7), 0);
  env->me_pghead = head;
  env->me_pglast = 3;
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  ASSERT_NE(env->me_pghead, head);
  EXPECT_EQ(env->me_pghead[0], 2u);
  env->me_pghead[0] = 1;  // the child consumes a page
  env->me_pglast = 5;
  orv_txn_abort(c);
  EXPECT_EQ(env->me_pghead, head);
  EXPECT_EQ(head[0], 2u);
  EXPECT_EQ(env->me_pglast, 3u);
  orv_txn_abort(w);  // frees the list
  EXPECT_EQ(env->me_pghead, nullptr);
  EXPECT_EQ(env->me_pglast, 0u);
}

TEST_F(TxnTest, EndReleasesDirtyPagesAndShrinksFreeList) {
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  const size_t psize = env->me_psize;
  auto *one = static_cast<ORV_page *>(std::calloc(1, psize));
  auto *run = static_cast<ORV_page *>(std::calloc(3, psize));
  ASSERT_TRUE(one && run);
  run->mp_flags = P_OVERFLOW;
  set_mp_pages(run, 3);
  ORV_ID2 a = {5, one}, b = {6, run};
  ASSERT_EQ(orv_id2l_insert(w->mt_dirty_list, &a), 0);
  ASSERT_EQ(orv_id2l_insert(w->mt_dirty_list, &b), 0);
  ASSERT_EQ(orv_idl_append_range(&w->mt_free_pgs, 1000, ORV_IDL_UM_MAX + 100), 0);
  w->mt_spill_pgs = orv_idl_alloc(4);
  ASSERT_EQ(orv_idl_append(&w->mt_spill_pgs, 8 << 1), 0);
  orv_txn_abort(w);
  EXPECT_EQ(env->me_dpages, one);  // single pages are kept for reuse
  EXPECT_EQ(env->me_dirty_list[0].mid, 0u);
  EXPECT_EQ(env->me_free_pgs[-1], ORV_IDL_UM_MAX);
  EXPECT_EQ(env->me_free_pgs, w->mt_free_pgs);
  EXPECT_EQ(w->mt_spill_pgs, nullptr);
}

TEST_F(TxnTest, HandlesOpenedInTransaction) {
  auto open_slot = [&](ORV_txn *t, uint32_t i, const char *name) {
    env->me_dbxs[i].md_name.mv_size = std::strlen(name);
    env->me_dbxs[i].md_name.mv_data = strdup(name);
    t->mt_dbcount = i + 1;
    t->mt_dbs[i].md_flags = ORV_DUPSORT;
    t->mt_dbflags[i] = DB_NEW | DB_VALID | DB_USRVALID;
  };
  // Aborted: the slot is cleared and its sequence advanced.
  ORV_txn *t = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &t), 0);
  open_slot(t, 2, "alpha");
  const uint32_t seq = env->me_dbiseqs[2];
  orv_txn_abort(t);
  EXPECT_EQ(env->me_dbxs[2].md_name.mv_size, 0u);
  EXPECT_EQ(env->me_dbxs[2].md_name.mv_data, nullptr);
  EXPECT_EQ(env->me_dbiseqs[2], seq + 1);
  EXPECT_EQ(env->me_dbflags[2], 0);
  EXPECT_EQ(env->me_dbcount, CORE_DBS);

  // Opened in a read-only transaction that commits: published.
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
  open_slot(t, 3, "beta");
  ASSERT_EQ(orv_txn_commit(t), 0);
  EXPECT_EQ(env->me_dbflags[3], ORV_DB_OPEN_MARK | ORV_DUPSORT);
  EXPECT_EQ(env->me_dbcount, 4u);
  EXPECT_EQ(std::string(static_cast<char *>(env->me_dbxs[3].md_name.mv_data), 4), "beta");
}

// ---- Cursor hand-over ----------------------------------------------------------------

// A cursor block as the cursor code makes it: cursor and sub-cursor together.
ORV_cursor *make_cursor(ORV_txn *txn, ORV_dbi dbi, bool sub, const char *key) {
  size_t size = sizeof(ORV_cursor) + (sub ? sizeof(ORV_xcursor) : 0);
  auto *mc = static_cast<ORV_cursor *>(std::calloc(1, size));
  mc->mc_txn = txn;
  mc->mc_dbi = dbi;
  mc->mc_db = &txn->mt_dbs[dbi];
  mc->mc_dbx = &txn->mt_dbxs[dbi];
  mc->mc_dbflag = &txn->mt_dbflags[dbi];
  mc->mc_flags = C_INITIALIZED | C_UNTRACK;
  std::strcpy(mc->mc_keybuf, key);
  mc->mc_key = {std::strlen(key), mc->mc_keybuf};
  mc->mc_pkc_keys = static_cast<ORV_val *>(std::malloc(16 * sizeof(ORV_val)));
  mc->mc_pkc_keys_cap = 16;
  if (sub) {
    auto *mx = reinterpret_cast<ORV_xcursor *>(mc + 1);
    mc->mc_xcursor = mx;
    mx->mx_cursor.mc_txn = txn;
    mx->mx_cursor.mc_db = &mx->mx_db;
    mx->mx_cursor.mc_dbflag = &mx->mx_dbflag;
    mx->mx_cursor.mc_flags = C_SUB;
    std::strcpy(mx->mx_cursor.mc_keybuf, "dup1");
    mx->mx_cursor.mc_key = {4, mx->mx_cursor.mc_keybuf};
    mx->mx_cursor.mc_pkc_store = static_cast<char *>(std::malloc(64));
    mx->mx_cursor.mc_pkc_store_cap = 64;
  }
  mc->mc_next = txn->mt_cursors[dbi];
  txn->mt_cursors[dbi] = mc;
  return mc;
}

void drop_cursor(ORV_txn *txn, ORV_cursor *mc) {
  for (ORV_cursor **p = &txn->mt_cursors[mc->mc_dbi]; *p != nullptr; p = &(*p)->mc_next) {
    if (*p == mc) {
      *p = mc->mc_next;
      break;
    }
  }
  std::free(mc->mc_pkc_keys);
  if (mc->mc_xcursor != nullptr) std::free(mc->mc_xcursor->mx_cursor.mc_pkc_store);
  std::free(mc);
}

// What a child does to a cursor: moves it (new key) and grows its cache.
void use_in_child(ORV_cursor *mc, const char *key) {
  std::strcpy(mc->mc_keybuf, key);
  mc->mc_key = {std::strlen(key), mc->mc_keybuf};
  mc->mc_ki[0] = 42;
  mc->mc_pkc_keys = static_cast<ORV_val *>(std::realloc(mc->mc_pkc_keys, 1024 * sizeof(ORV_val)));
  mc->mc_pkc_keys_cap = 1024;
  mc->mc_pkc_pg = 77;
  if (ORV_xcursor *mx = mc->mc_xcursor) {
    std::strcpy(mx->mx_cursor.mc_keybuf, "dup2");
    mx->mx_cursor.mc_pkc_store =
        static_cast<char *>(std::realloc(mx->mx_cursor.mc_pkc_store, 4096));
    mx->mx_cursor.mc_pkc_store_cap = 4096;
    mx->mx_db.md_entries = 5;
  }
}

TEST_F(TxnTest, ChildAbortRestoresParentCursors) {
  ORV_txn *w = nullptr, *c = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ORV_cursor *plain = make_cursor(w, MAIN_DBI, false, "apple");
  ORV_cursor *dup = make_cursor(w, MAIN_DBI, true, "pear");
  ORV_cursor *other = make_cursor(w, FREE_DBI, false, "k");
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  for (ORV_cursor *mc : {plain, dup, other}) {
    EXPECT_EQ(mc->mc_txn, c);
    EXPECT_EQ(mc->mc_db, &c->mt_dbs[mc->mc_dbi]);
    EXPECT_EQ(mc->mc_dbflag, &c->mt_dbflags[mc->mc_dbi]);
    EXPECT_NE(mc->mc_backup, nullptr);
  }
  EXPECT_EQ(dup->mc_xcursor->mx_cursor.mc_txn, c);
  EXPECT_EQ(c->mt_cursors[MAIN_DBI] == dup || c->mt_cursors[MAIN_DBI] == plain, true);

  use_in_child(plain, "zebra");
  use_in_child(dup, "quince");
  ORV_val *grown = plain->mc_pkc_keys;
  orv_txn_abort(c);

  for (ORV_cursor *mc : {plain, dup, other}) {
    EXPECT_EQ(mc->mc_txn, w);
    EXPECT_EQ(mc->mc_db, &w->mt_dbs[mc->mc_dbi]);
    EXPECT_EQ(mc->mc_backup, nullptr);
    EXPECT_EQ(mc->mc_ki[0], 0);
    // The key is the pre-child one, in the cursor's own buffer.
    EXPECT_EQ(mc->mc_key.mv_data, mc->mc_keybuf);
  }
  EXPECT_EQ(std::string(plain->mc_keybuf), "apple");
  EXPECT_EQ(std::string(dup->mc_keybuf), "pear");
  // The buffers grown in the child stay with the cursor; its cache is empty.
  EXPECT_EQ(plain->mc_pkc_keys, grown);
  EXPECT_EQ(plain->mc_pkc_keys_cap, 1024u);
  EXPECT_EQ(plain->mc_pkc_pg, P_INVALID);
  ORV_cursor *sub = &dup->mc_xcursor->mx_cursor;
  EXPECT_EQ(dup->mc_xcursor, reinterpret_cast<ORV_xcursor *>(dup + 1));
  EXPECT_EQ(sub->mc_txn, w);
  EXPECT_EQ(sub->mc_db, &dup->mc_xcursor->mx_db);
  EXPECT_EQ(dup->mc_xcursor->mx_db.md_entries, 0u);
  EXPECT_EQ(std::string(sub->mc_keybuf), "dup1");
  EXPECT_EQ(sub->mc_key.mv_data, sub->mc_keybuf);
  EXPECT_EQ(sub->mc_pkc_store_cap, 4096u);
  // The parent's lists are whole again.
  int n = 0;
  for (ORV_cursor *mc = w->mt_cursors[MAIN_DBI]; mc != nullptr; mc = mc->mc_next) n++;
  EXPECT_EQ(n, 2);
  EXPECT_EQ(w->mt_cursors[FREE_DBI], other);
  EXPECT_EQ(other->mc_next, nullptr);

  for (ORV_cursor *mc : {plain, dup, other}) drop_cursor(w, mc);
  orv_txn_abort(w);
}

TEST_F(TxnTest, ChildCommitHandsCursorsBack) {
  ORV_txn *w = nullptr, *c = nullptr, *g = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ORV_cursor *dup = make_cursor(w, MAIN_DBI, true, "pear");
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  ASSERT_EQ(orv_txn_begin(env, c, 0, &g), 0);  // backed up twice
  EXPECT_EQ(dup->mc_txn, g);
  use_in_child(dup, "quince");
  orv_cursors_release(g, 1);
  EXPECT_EQ(dup->mc_txn, c);
  EXPECT_EQ(dup->mc_db, &c->mt_dbs[MAIN_DBI]);
  EXPECT_NE(dup->mc_backup, nullptr);  // still saved for c's parent
  EXPECT_EQ(c->mt_cursors[MAIN_DBI], dup);
  EXPECT_EQ(g->mt_cursors[MAIN_DBI], nullptr);
  orv_txn_abort(g);
  // The position reached in the grandchild survived the merge.
  EXPECT_EQ(std::string(dup->mc_keybuf), "quince");
  EXPECT_EQ(dup->mc_ki[0], 42);
  orv_txn_abort(c);
  EXPECT_EQ(dup->mc_txn, w);
  EXPECT_EQ(std::string(dup->mc_keybuf), "pear");
  EXPECT_EQ(dup->mc_xcursor->mx_cursor.mc_txn, w);
  drop_cursor(w, dup);
  orv_txn_abort(w);
}

// ---- Scratch area ----------------------------------------------------------------------

TEST_F(TxnTest, ScratchGrowth) {
  ORV_txn *t = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
  struct {
    size_t ask;
    uint64_t cap;
  } cases[] = {{0, 4096},    {1, 4096},      {4096, 4096}, {4097, 8192},
               {8192, 8192}, {20000, 32768}, {100, 32768}, {70000, 131072}};
  for (const auto &c : cases) {
    void *buf = nullptr;
    ASSERT_EQ(orv_txn_scratch(t, c.ask, &buf), 0) << c.ask;
    EXPECT_EQ(t->mt_scratch.ms_dkeys_cap, c.cap) << c.ask;
    EXPECT_EQ(buf, t->mt_scratch.ms_dkeys);
    std::memset(buf, 0xAB, c.ask);
  }
  EXPECT_EQ(orv_txn_scratch(t, 10, nullptr), 0);
  EXPECT_EQ(t->mt_scratch.ms_dkeys_cap, 131072u);
  // The buffer lives as long as the record: a reset keeps it.
  void *before = t->mt_scratch.ms_dkeys;
  orv_txn_reset(t);
  EXPECT_EQ(t->mt_scratch.ms_dkeys, before);
  orv_txn_abort(t);
}

TEST_F(TxnTest, ScratchInvalidateAndFree) {
  ORV_scratch s{};
  s.ms_page = std::malloc(100);
  s.ms_klx_cap = 8;
  s.ms_klx = static_cast<ORV_keylen_entry *>(std::calloc(8, sizeof(ORV_keylen_entry)));
  for (unsigned i = 0; i < 8; i++) s.ms_klx[i].kl_pgno = P_INVALID;
  for (unsigned i : {1u, 6u}) {
    s.ms_klx[i].kl_pgno = 10 + i;
    s.ms_klx[i].kl_lens = static_cast<uint16_t *>(std::malloc(32));
    s.ms_klx[i].kl_valid = 1;
  }
  s.ms_klx_used = 2;
  orv_txn_scratch_invalidate(&s);
  EXPECT_EQ(s.ms_klx[1].kl_valid, 0u);
  EXPECT_EQ(s.ms_klx[6].kl_valid, 0u);
  EXPECT_NE(s.ms_klx[1].kl_lens, nullptr);  // buffers stay
  orv_txn_scratch_free(&s);                 // the leak checker watches
  EXPECT_EQ(s.ms_klx, nullptr);
  EXPECT_EQ(s.ms_page, nullptr);
  EXPECT_EQ(s.ms_klx_cap, 0u);
}

}  // namespace

// ---- With data -------------------------------------------------------------------------

namespace {

int put(ORV_txn *txn, ORV_dbi dbi, const std::string &k, const std::string &v) {
  ORV_val key = val(k), data = val(v);
  return orv_put(txn, dbi, &key, &data, 0);
}

// The value of k, "" when absent, "!<code>" on another error.
std::string get(ORV_txn *txn, ORV_dbi dbi, const std::string &k) {
  ORV_val key = val(k), data{};
  int rc = orv_get(txn, dbi, &key, &data);
  if (rc == ORV_NOTFOUND) return "";
  if (rc != 0) return "!" + std::to_string(rc);
  return str(data);
}

int commit_put(ORV_env *env, const std::string &k, const std::string &v) {
  ORV_txn *t = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, 0, &t); rc != 0) return rc;
  if (int rc = put(t, MAIN_DBI, k, v); rc != 0) {
    orv_txn_abort(t);
    return rc;
  }
  return orv_txn_commit(t);
}

std::string current_key(ORV_cursor *mc) {
  ORV_val k{}, d{};
  int rc = orv_cursor_get(mc, &k, &d, ORV_GET_CURRENT);
  return rc == 0 ? str(k) : "!" + std::to_string(rc);
}

}  // namespace

TEST_F(TxnTest, IdsFollowCommits) {
  for (int i = 1; i <= 7; i++) ASSERT_EQ(commit_put(env, "k" + std::to_string(i), "v"), 0);
  ORV_txn *r = nullptr, *w = nullptr, *c = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  EXPECT_EQ(orv_txn_id(r), 7u);
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  EXPECT_EQ(orv_txn_id(w), 8u);
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  EXPECT_EQ(orv_txn_id(c), 8u);
  ASSERT_EQ(put(c, MAIN_DBI, "k8", "v"), 0);
  ASSERT_EQ(orv_txn_commit(c), 0);
  ASSERT_EQ(orv_txn_commit(w), 0);
  EXPECT_EQ(get(r, MAIN_DBI, "k8"), "");  // the reader keeps its snapshot
  orv_txn_reset(r);
  ASSERT_EQ(orv_txn_renew(r), 0);
  EXPECT_EQ(orv_txn_id(r), 8u);
  EXPECT_EQ(get(r, MAIN_DBI, "k8"), "v");
  orv_txn_abort(r);
}

TEST_F(TxnTest, NamedHandleLivesOnlyIfItsTransactionEnds) {
  ORV_txn *t = nullptr;
  ORV_dbi dbi = 0;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &t), 0);
  ASSERT_EQ(orv_dbi_open(t, "named", ORV_CREATE, &dbi), 0);
  ASSERT_EQ(orv_txn_commit(t), 0);
  orv_dbi_close(env, dbi);

  // Opened in a transaction that aborts: gone afterwards.
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &t), 0);
  ASSERT_EQ(orv_dbi_open(t, "named", 0, &dbi), 0);
  ASSERT_EQ(put(t, dbi, "a", "1"), 0);
  orv_txn_abort(t);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
  EXPECT_EQ(get(t, dbi, "a"), "!" + std::to_string(EINVAL));
  // Opened in a read-only transaction that commits: it stays open.
  ASSERT_EQ(orv_dbi_open(t, "named", 0, &dbi), 0);
  ASSERT_EQ(orv_txn_commit(t), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
  EXPECT_EQ(get(t, dbi, "a"), "");
  orv_txn_abort(t);
}

TEST_F(TxnTest, ChildAbortPutsRealCursorsBack) {
  for (const char *k : {"a", "b", "c", "d"}) ASSERT_EQ(commit_put(env, k, "v"), 0);
  ORV_txn *w = nullptr, *c = nullptr;
  ORV_cursor *mc = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  ASSERT_EQ(orv_cursor_open(w, MAIN_DBI, &mc), 0);
  const std::string b = "b";
  ORV_val key = val(b), data{};
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_SET_KEY), 0);

  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  EXPECT_EQ(orv_cursor_txn(mc), c);
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_NEXT), 0);
  EXPECT_EQ(str(key), "c");
  ASSERT_EQ(put(c, MAIN_DBI, "bb", "child"), 0);
  ORV_cursor *child_only = nullptr;  // left open: the abort releases it
  ASSERT_EQ(orv_cursor_open(c, MAIN_DBI, &child_only), 0);
  ASSERT_EQ(orv_cursor_get(child_only, &key, &data, ORV_LAST), 0);
  orv_txn_abort(c);

  EXPECT_EQ(orv_cursor_txn(mc), w);
  EXPECT_EQ(current_key(mc), "b");
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_NEXT), 0);
  EXPECT_EQ(str(key), "c");  // "bb" went with the child
  EXPECT_EQ(get(w, MAIN_DBI, "bb"), "");

  // Committed children hand the cursor back where they left it.
  ASSERT_EQ(orv_txn_begin(env, w, 0, &c), 0);
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_NEXT), 0);
  ASSERT_EQ(put(c, MAIN_DBI, "e", "child"), 0);
  ASSERT_EQ(orv_txn_commit(c), 0);
  EXPECT_EQ(orv_cursor_txn(mc), w);
  EXPECT_EQ(current_key(mc), "d");
  EXPECT_EQ(get(w, MAIN_DBI, "e"), "child");
  orv_cursor_close(mc);
  ASSERT_EQ(orv_txn_commit(w), 0);
}
