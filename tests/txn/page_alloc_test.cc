// [page_alloc]: page_alloc.cc, page_access.cc, page_touch.cc - page numbers
// from loose pages, the reusable list and the end of the file; page buffers
// and copies; copy-on-write of committed pages; free-page reuse under the
// oldest-reader rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

class PageAllocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, 4u << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), 0, 0644), 0);
  }
  void TearDown() override {
    if (txn_ != nullptr) orv_txn_abort(txn_);
    orv_env_close(env_);
  }

  // Begins a write transaction and a cursor on the main database.
  void BeginWrite() {
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn_), 0);
    mc_ = ORV_cursor{};
    orv_cursor_init(&mc_, txn_, MAIN_DBI, nullptr);
  }

  // A loose-able page: allocated (dirty) in this transaction.
  ORV_page *Alloc(int num) {
    ORV_page *mp = nullptr;
    EXPECT_EQ(orv_page_alloc(&mc_, num, &mp), 0);
    return mp;
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_txn *txn_ = nullptr;
  ORV_cursor mc_{};
};

// Sets me_pghead to the given descending page numbers.
void SetReusable(ORV_env *env, const std::vector<pgno_t> &pages) {
  orv_idl_free(env->me_pghead);
  env->me_pghead = orv_idl_alloc(static_cast<int>(pages.size()) + 8);
  ASSERT_NE(env->me_pghead, nullptr);
  env->me_pghead[0] = pages.size();
  for (size_t i = 0; i < pages.size(); i++) env->me_pghead[i + 1] = pages[i];
}

std::vector<pgno_t> Reusable(const ORV_env *env) {
  std::vector<pgno_t> out;
  if (env->me_pghead == nullptr) return out;
  for (ORV_ID i = 1; i <= env->me_pghead[0]; i++) out.push_back(env->me_pghead[i]);
  return out;
}

TEST_F(PageAllocTest, AllocatesFromTheEndOfTheFile) {
  BeginWrite();
  const pgno_t next = txn_->mt_next_pgno;
  const uint32_t room = txn_->mt_dirty_room;

  ORV_page *a = Alloc(1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->mp_pgno, next);
  ORV_page *run = Alloc(3);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->mp_pgno, next + 1);
  EXPECT_EQ(txn_->mt_next_pgno, next + 4);
  // Only the first page of a run enters the dirty list.
  EXPECT_EQ(txn_->mt_dirty_room, room - 2);
  EXPECT_EQ(txn_->mt_dirty_list[0].mid, 2u);

  // Both are found as this transaction's own pages.
  ORV_page *mp = nullptr;
  int level = -1;
  ASSERT_EQ(orv_page_get(&mc_, next + 1, &mp, &level), 0);
  EXPECT_EQ(mp, run);
  EXPECT_EQ(level, 1);
  // Beyond mt_next_pgno there is nothing, and the transaction is failed.
  EXPECT_EQ(orv_page_get(&mc_, next + 4, &mp, nullptr), ORV_PAGE_NOTFOUND);
  EXPECT_TRUE(txn_->mt_flags & ORV_TXN_ERROR);
}

TEST_F(PageAllocTest, MapFullAtTheMapLimit) {
  struct Case {
    pgno_t below_max;  // mt_next_pgno = me_maxpg - below_max
    int num;
    int rc;
  };
  const Case cases[] = {
      {2, 1, 0},             // takes me_maxpg - 2; the last page stays unused
      {1, 1, ORV_MAP_FULL},  // would take the last page of the map
      {3, 3, ORV_MAP_FULL},  // next + num == me_maxpg
      {4, 3, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.below_max);
    BeginWrite();
    txn_->mt_next_pgno = env_->me_maxpg - c.below_max;
    ORV_page *mp = nullptr;
    EXPECT_EQ(orv_page_alloc(&mc_, c.num, &mp), c.rc);
    if (c.rc != 0) {
      EXPECT_EQ(mp, nullptr);
      EXPECT_TRUE(txn_->mt_flags & ORV_TXN_ERROR);
      EXPECT_EQ(txn_->mt_error, c.rc);
    } else {
      ASSERT_NE(mp, nullptr);
      EXPECT_EQ(mp->mp_pgno, env_->me_maxpg - c.below_max);
    }
    orv_txn_abort(txn_);
    txn_ = nullptr;
  }
}

TEST_F(PageAllocTest, TxnFullWhenNoDirtyRoomIsLeft) {
  BeginWrite();
  txn_->mt_dirty_room = 0;
  ORV_page *mp = nullptr;
  EXPECT_EQ(orv_page_alloc(&mc_, 1, &mp), ORV_TXN_FULL);
  EXPECT_EQ(txn_->mt_error, ORV_TXN_FULL);
}

TEST_F(PageAllocTest, LoosePagesAreReusedFirst) {
  BeginWrite();
  ORV_page *a = Alloc(1);
  ASSERT_NE(a, nullptr);
  a->mp_flags = P_LEAF | P_DIRTY;
  const pgno_t pgno = a->mp_pgno;
  const pgno_t next = txn_->mt_next_pgno;

  ASSERT_EQ(orv_page_make_loose(&mc_, a), 0);
  EXPECT_EQ(txn_->mt_loose_count, 1);
  EXPECT_TRUE(a->mp_flags & P_LOOSE);
  EXPECT_EQ(txn_->mt_free_pgs[0], 0u);

  ORV_page *b = Alloc(1);
  EXPECT_EQ(b, a);
  EXPECT_EQ(b->mp_pgno, pgno);
  EXPECT_EQ(txn_->mt_loose_count, 0);
  EXPECT_EQ(txn_->mt_next_pgno, next);

  // A run never comes from the loose list.
  b->mp_flags = P_LEAF | P_DIRTY;
  ASSERT_EQ(orv_page_make_loose(&mc_, b), 0);
  ORV_page *run = Alloc(2);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->mp_pgno, next);
  EXPECT_EQ(txn_->mt_loose_count, 1);
}

TEST_F(PageAllocTest, CommittedPagesAreNeverLoose) {
  BeginWrite();
  // A page of the map (not dirty) goes to the free list, not the loose list.
  auto *committed = reinterpret_cast<ORV_page *>(env_->me_map + env_->me_psize * 1);
  ORV_page copy;
  std::memcpy(&copy, committed, sizeof copy);
  ASSERT_FALSE(copy.mp_flags & P_DIRTY);
  ASSERT_EQ(orv_page_make_loose(&mc_, committed), 0);
  EXPECT_EQ(txn_->mt_loose_count, 0);
  ASSERT_EQ(txn_->mt_free_pgs[0], 1u);
  EXPECT_EQ(txn_->mt_free_pgs[1], 1u);
  // The map page itself is untouched.
  EXPECT_EQ(std::memcmp(&copy, committed, sizeof copy), 0);
}

TEST_F(PageAllocTest, RunsFromTheReusableListPreferLowNumbers) {
  BeginWrite();
  txn_->mt_next_pgno = 20;
  SetReusable(env_, {9, 8, 7, 5, 4});
  ORV_page *a = Alloc(2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->mp_pgno, 4u);
  EXPECT_EQ(Reusable(env_), (std::vector<pgno_t>{9, 8, 7}));
  ORV_page *b = Alloc(3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->mp_pgno, 7u);
  EXPECT_TRUE(Reusable(env_).empty());
  EXPECT_EQ(txn_->mt_next_pgno, 20u);

  // A run in the middle: the entries after it move down.
  SetReusable(env_, {15, 13, 12, 10});
  ORV_page *c = Alloc(2);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->mp_pgno, 12u);
  EXPECT_EQ(Reusable(env_), (std::vector<pgno_t>{15, 10}));
  ORV_page *d = Alloc(1);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->mp_pgno, 10u);
}

TEST_F(PageAllocTest, NewPagesCarryKindAndTreeCounts) {
  BeginWrite();
  ORV_db db{};
  db.md_flags = ORV_COUNTED;
  db.md_root = P_INVALID;
  mc_.mc_db = &db;

  ORV_page *br = nullptr, *leaf = nullptr, *ov = nullptr;
  ASSERT_EQ(orv_page_new(&mc_, P_BRANCH, 1, &br), 0);
  EXPECT_EQ(br->mp_flags, P_BRANCH | P_DIRTY | P_COUNTED);
  EXPECT_EQ(br->mp_lower, PAGEHDRSZ);
  EXPECT_EQ(br->mp_upper, env_->me_psize);
  ASSERT_EQ(orv_page_new(&mc_, P_LEAF, 1, &leaf), 0);
  EXPECT_EQ(leaf->mp_flags, P_LEAF | P_DIRTY);
  ASSERT_EQ(orv_page_new(&mc_, P_OVERFLOW, 3, &ov), 0);
  EXPECT_EQ(mp_pages(ov), 3u);
  EXPECT_EQ(db.md_branch_pages, 1u);
  EXPECT_EQ(db.md_leaf_pages, 1u);
  EXPECT_EQ(db.md_overflow_pages, 3u);

  // Uncounted tree: P_COUNTED never appears, even when asked for.
  db.md_flags = 0;
  ASSERT_EQ(orv_page_new(&mc_, P_BRANCH | P_COUNTED, 1, &br), 0);
  EXPECT_EQ(br->mp_flags, P_BRANCH | P_DIRTY);
}

TEST_F(PageAllocTest, OverflowRunFreedBackToReusableList) {
  BeginWrite();
  ORV_db db{};
  db.md_root = P_INVALID;
  mc_.mc_db = &db;
  txn_->mt_next_pgno = 30;
  SetReusable(env_, {40, 12, 3});  // 40: pretend-free above the run
  txn_->mt_next_pgno = 41;
  ORV_page *ov = nullptr;
  ASSERT_EQ(orv_page_new(&mc_, P_OVERFLOW, 3, &ov), 0);
  ASSERT_EQ(ov->mp_pgno, 41u);
  const uint32_t room = txn_->mt_dirty_room;
  const ORV_ID dirty = txn_->mt_dirty_list[0].mid;

  // Made in this transaction: back to the reusable list at once.
  ASSERT_EQ(orv_ovpage_free(&mc_, ov), 0);
  EXPECT_EQ(Reusable(env_), (std::vector<pgno_t>{43, 42, 41, 40, 12, 3}));
  EXPECT_EQ(txn_->mt_dirty_list[0].mid, dirty - 1);
  EXPECT_EQ(txn_->mt_dirty_room, room + 1);
  EXPECT_EQ(db.md_overflow_pages, 0u);
  EXPECT_EQ(txn_->mt_free_pgs[0], 0u);
}

TEST_F(PageAllocTest, PageCopySkipsTheGapOnly) {
  const unsigned psize = 4096;
  std::vector<unsigned char> src(psize), dst(psize, 0xEE);
  for (unsigned i = 0; i < psize; i++) src[i] = static_cast<unsigned char>(i * 7 + 1);
  auto *mp = reinterpret_cast<ORV_page *>(src.data());
  mp->mp_flags = P_LEAF;
  mp->mp_lower = 16 + 2 * 5;  // 26: header and slots end at 32 (rounded)
  mp->mp_upper = 4000;
  orv_page_copy(reinterpret_cast<ORV_page *>(dst.data()), mp, psize);
  EXPECT_EQ(std::memcmp(dst.data(), src.data(), 32), 0);
  EXPECT_EQ(std::memcmp(dst.data() + 4000, src.data() + 4000, psize - 4000), 0);
  for (unsigned i = 32; i < 4000; i++) ASSERT_EQ(dst[i], 0xEE) << i;

  // Overflow pages are copied whole (their header holds a run length).
  std::fill(dst.begin(), dst.end(), 0xEE);
  mp->mp_flags = P_OVERFLOW;
  set_mp_pages(mp, 1);
  orv_page_copy(reinterpret_cast<ORV_page *>(dst.data()), mp, psize);
  EXPECT_EQ(std::memcmp(dst.data(), src.data(), psize), 0);
}

TEST_F(PageAllocTest, OldestReaderIsTheWriterSnapshotWithoutReaders) {
  BeginWrite();
  EXPECT_EQ(orv_oldest_reader(txn_), txn_->mt_txnid - 1);
}

// ---- Through the public interface (needs puts) --------------------------------------

std::string Key(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "k%06d", i);
  return buf;
}

int Put(ORV_txn *txn, ORV_dbi dbi, const std::string &k, const std::string &v) {
  ORV_val key = {k.size(), const_cast<char *>(k.data())};
  ORV_val val = {v.size(), const_cast<char *>(v.data())};
  return orv_put(txn, dbi, &key, &val, 0);
}

// Highest page number in use after committing: mm_last_pg of the newest meta.
pgno_t LastPage(ORV_env *env) {
  ORV_envinfo info;
  EXPECT_EQ(orv_env_info(env, &info), 0);
  return info.mi_last_pgno;
}

// Rewrites the same keys n times; each rewrite frees the old pages.
void Rewrite(ORV_env *env, int rounds, int nkeys) {
  for (int r = 0; r < rounds; r++) {
    ORV_txn *txn;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    for (int i = 0; i < nkeys; i++) {
      ASSERT_EQ(Put(txn, MAIN_DBI, Key(i), std::string(100, static_cast<char>('a' + r % 26))), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
}

TEST_F(PageAllocTest, FreedPagesReusedOnlyWhenNoReaderNeedsThem) {
  Rewrite(env_, 3, 200);
  const pgno_t settled = LastPage(env_);
  // Without readers, further rewrites live on reused pages: the file stops
  // growing.
  Rewrite(env_, 6, 200);
  EXPECT_LE(LastPage(env_), settled + 4);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));

  // A reader pins its snapshot: pages freed after it began are not reused,
  // so the file grows, and the reader still sees its data.
  ORV_txn *rd;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd), 0);
  const pgno_t before = LastPage(env_);
  Rewrite(env_, 4, 200);
  EXPECT_GT(LastPage(env_), before + 10);
  ORV_val key = {7, const_cast<char *>("k000007")}, val;
  ASSERT_EQ(orv_get(rd, MAIN_DBI, &key, &val), 0);
  EXPECT_EQ(std::string(static_cast<char *>(val.mv_data), val.mv_size),
            std::string(100, 'f'));  // the last round before the reader began
  EXPECT_TRUE(orv_test::TreeValid(rd));
  orv_txn_abort(rd);

  // Once the reader is gone the backlog is reused again.
  const pgno_t grown = LastPage(env_);
  Rewrite(env_, 6, 200);
  EXPECT_LE(LastPage(env_), grown + 4);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

}  // namespace
