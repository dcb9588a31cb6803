// [node_write]: lib/btree/node_write.cc
//
// The tree's side of node insertion and removal, through a cursor whose
// transaction and environment carry only what these routines read: a node
// without room fails the transaction, a new counted branch node takes its
// child's count, a new or removed first key rewrites a prefix page, the
// cursors naming a changed prefix page forget its keys, a branch key read
// from the page it replaces, and a damaged node failing the transaction.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "util/fixtures.h"
#include "util/page_buf.h"

namespace {

using orv_test::val;

using orv_test::init_page;
using orv_test::PageBuf;
constexpr unsigned kPsize = orv_test::kPagePsize;
constexpr pgno_t kPgno = 5;

std::string stored_key(const ORV_page *mp, unsigned i) {
  const ORV_node *node = node_ptr(mp, i);
  return std::string(static_cast<const char *>(node_key(node, node_hdrsz(mp))), node->mn_ksize);
}

// A cursor on one hand-made page of a write transaction that tracks one
// other cursor of the same database.
class NodeWrite : public testing::Test {
 protected:
  void SetUp() override {
    env_.me_psize = kPsize;
    env_.me_nodemax = orv_nodemax(kPsize);
    txn_.mt_env = &env_;
    txn_.mt_cursors = tracked_;
    txn_.mt_dbcount = 1;
    tracked_[0] = &other_;
    for (ORV_cursor *c : {&mc_, &other_}) {
      c->mc_txn = &txn_;
      c->mc_db = &db_;
      c->mc_dbx = &dbx_;
      c->mc_dbflag = &dbflag_;
      orv_cursor_keys_reset(c);
    }
    set_page(P_LEAF);
  }
  void TearDown() override { orv_txn_scratch_free(&txn_.mt_scratch); }
  void set_page(uint16_t flags) {
    init_page(page_.page(), kPgno, flags);
    mc_.mc_pg[0] = page_.page();
    mc_.mc_snum = 1;
    mc_.mc_top = 0;
    mc_.mc_ki[0] = 0;
  }
  ORV_page *mp() { return page_.page(); }
  int add_leaf(unsigned indx, const std::string &k, const std::string &v) {
    ORV_val kv = val(k), dv = val(v);
    return orv_node_add(&mc_, indx, &kv, &dv, 0, 0, nullptr, 0);
  }
  void expect_failed(int code) {
    EXPECT_TRUE(txn_.mt_flags & ORV_TXN_ERROR);
    EXPECT_EQ(txn_.mt_error, code);
  }

  ORV_env env_{};
  ORV_txn txn_{};
  ORV_db db_{};
  ORV_dbx dbx_{};
  uint8_t dbflag_ = 0;
  ORV_cursor mc_{}, other_{};
  ORV_cursor *tracked_[1] = {};
  PageBuf page_;
};

TEST_F(NodeWrite, NoRoomFailsTheTransaction) {
  struct Case {
    const char *name;
    uint16_t page_flags;
    unsigned md_flags;
  };
  const Case kCases[] = {
      {"leaf", P_LEAF, 0},
      {"prefix leaf", P_LEAF, ORV_PREFIXKEY},
      {"fixed-size keys", P_LEAF | P_LEAF2, 0},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    txn_.mt_flags = 0;
    txn_.mt_error = 0;
    db_.md_flags = static_cast<uint16_t>(c.md_flags);
    db_.md_pad = 4;
    set_page(c.page_flags);
    mp()->mp_pad = 4;
    ASSERT_EQ(add_leaf(0, "aaaa", "v"), 0);
    EXPECT_EQ(txn_.mt_flags & ORV_TXN_ERROR, 0u);
    mp()->mp_upper = static_cast<indx_t>(mp()->mp_lower + 2);
    const std::string before = page_.bytes();
    EXPECT_EQ(add_leaf(1, "bbbb", "w"), ORV_PAGE_FULL);
    EXPECT_EQ(page_.bytes(), before);
    expect_failed(ORV_PAGE_FULL);
  }
}

TEST_F(NodeWrite, NewCountedBranchNodeTakesItsChildsCount) {
  // A child branch page whose nodes hold 10 and 7 entries.
  PageBuf child;
  init_page(child.page(), 9, P_BRANCH | P_COUNTED);
  const ORV_page_ctx ctx{kPsize, env_.me_nodemax, ORV_COUNTED};
  const std::string sep = "m";
  ORV_val sv = val(sep);
  ASSERT_EQ(orv_node_add(ctx, child.page(), 0, nullptr, nullptr, 20, 0, 10), 0);
  ASSERT_EQ(orv_node_add(ctx, child.page(), 1, &sv, nullptr, 21, 0, 7), 0);

  db_.md_flags = ORV_COUNTED;
  set_page(P_BRANCH | P_COUNTED);
  ASSERT_EQ(orv_node_add(&mc_, 0, nullptr, nullptr, 9, 0, child.page(), ~uint64_t{0}), 0);
  EXPECT_EQ(node_count(node_ptr(mp(), 0)), 17u);
  EXPECT_EQ(node_pgno(node_ptr(mp(), 0)), 9u);
  // No child at hand and no page number to read it by: 0. A count given
  // is stored as it is.
  ASSERT_EQ(orv_node_add(&mc_, 1, &sv, nullptr, 0, 0, nullptr, ~uint64_t{0}), 0);
  EXPECT_EQ(node_count(node_ptr(mp(), 1)), 0u);
  ASSERT_EQ(orv_node_add(&mc_, 2, &sv, nullptr, 22, 0, child.page(), 3), 0);
  EXPECT_EQ(node_count(node_ptr(mp(), 2)), 3u);
  EXPECT_EQ(txn_.mt_flags & ORV_TXN_ERROR, 0u);
}

TEST_F(NodeWrite, FirstKeyChangesRewriteThePrefixPage) {
  db_.md_flags = ORV_PREFIXKEY;
  ASSERT_EQ(add_leaf(0, "apple", "1"), 0);
  ASSERT_EQ(add_leaf(1, "apricot", "2"), 0);
  ASSERT_EQ(add_leaf(2, "banana", "3"), 0);
  ASSERT_EQ(add_leaf(0, "aardvark", "0"), 0);
  const std::string added[] = {"aardvark", std::string("\x01pple"), std::string("\x01pricot"),
                               std::string("\0banana", 7)};
  ASSERT_EQ(numkeys(mp()), 4u);
  for (unsigned i = 0; i < 4; i++) EXPECT_EQ(stored_key(mp(), i), added[i]) << i;
  EXPECT_EQ(mp()->mp_pad, 8);
  EXPECT_EQ(orv_prefix_page_check(mp(), kPsize, nullptr), 0);

  mc_.mc_ki[0] = 0;
  ASSERT_EQ(orv_node_del(&mc_, 0), 0);
  const std::string removed[] = {"apple", std::string("\x02ricot"), std::string("\0banana", 7)};
  ASSERT_EQ(numkeys(mp()), 3u);
  for (unsigned i = 0; i < 3; i++) EXPECT_EQ(stored_key(mp(), i), removed[i]) << i;
  EXPECT_EQ(mp()->mp_pad, 7);
  EXPECT_EQ(orv_prefix_page_check(mp(), kPsize, nullptr), 0);
  EXPECT_EQ(txn_.mt_flags & ORV_TXN_ERROR, 0u);

  // The first key of 512 bytes or more cannot be kept aside: refused,
  // nothing changed.
  set_page(P_LEAF);
  ASSERT_EQ(add_leaf(0, std::string(ORV_KEYBUF_MAX + 1, 'x'), "v"), 0);
  const std::string before = page_.bytes();
  EXPECT_EQ(add_leaf(0, "a", "v"), ORV_BAD_VALSIZE);
  EXPECT_EQ(page_.bytes(), before);
}

TEST_F(NodeWrite, CursorsForgetTheKeysOfAChangedPrefixPage) {
  // After each edit of the page, a cursor that remembered a key of it
  // forgets it; one that remembered another page keeps its state.
  struct Case {
    const char *name;
    unsigned md_flags;
    bool forgets;
  };
  const Case kCases[] = {{"prefix page", ORV_PREFIXKEY, true}, {"plain page", 0, false}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    db_.md_flags = static_cast<uint16_t>(c.md_flags);
    set_page(P_LEAF);
    ASSERT_EQ(add_leaf(0, "key-a", "v"), 0);
    auto remember = [&](pgno_t pgno) {
      mc_.mc_keypg = other_.mc_keypg = pgno;
      other_.mc_vint_pg = pgno;
    };
    auto check = [&](const char *step, pgno_t pgno) {
      const pgno_t want = c.forgets && pgno == kPgno ? P_INVALID : pgno;
      EXPECT_EQ(mc_.mc_keypg, want) << step;
      EXPECT_EQ(other_.mc_keypg, want) << step;
      EXPECT_EQ(other_.mc_vint_pg, want) << step;
    };
    for (pgno_t pgno : {kPgno, kPgno + 1}) {
      remember(pgno);
      ASSERT_EQ(add_leaf(1, "key-b", "v"), 0);
      check("add", pgno);
      remember(pgno);
      ASSERT_EQ(add_leaf(0, "key-0", "v"), 0);  // a new first key
      check("add first", pgno);
      remember(pgno);
      mc_.mc_ki[0] = 1;
      ASSERT_EQ(orv_node_del(&mc_, 0), 0);
      check("del", pgno);
      remember(pgno);
      mc_.mc_ki[0] = 0;
      ASSERT_EQ(orv_node_del(&mc_, 0), 0);  // the first key goes
      check("del first", pgno);
    }
  }
}

TEST_F(NodeWrite, BranchKeyReadFromItsOwnPage) {
  // The new key of slot 1 is slot 2's, read from the page whose node area
  // the longer key shifts over those very bytes.
  set_page(P_BRANCH);
  std::string next;
  for (unsigned i = 0; i < 100; i++) next += static_cast<char>('a' + i % 26);
  const std::string short_key = "k";
  ORV_val sk = val(short_key), nk = val(next);
  ASSERT_EQ(orv_node_add(&mc_, 0, nullptr, nullptr, 30, 0, nullptr, 0), 0);
  ASSERT_EQ(orv_node_add(&mc_, 1, &sk, nullptr, 31, 0, nullptr, 0), 0);
  ASSERT_EQ(orv_node_add(&mc_, 2, &nk, nullptr, 32, 0, nullptr, 0), 0);
  const ORV_val from_page = orv_slot_key(mp(), 2);
  mc_.mc_ki[0] = 1;
  ASSERT_EQ(orv_update_key(&mc_, &from_page), 0);
  EXPECT_EQ(stored_key(mp(), 1), next);
  EXPECT_EQ(stored_key(mp(), 2), next);
  EXPECT_EQ(node_pgno(node_ptr(mp(), 1)), 31u);
  EXPECT_EQ(node_pgno(node_ptr(mp(), 2)), 32u);
}

TEST_F(NodeWrite, DamagedNodeFailsTheTransaction) {
  // A value size reaching past the page: nothing moves, the transaction
  // fails, on a prefix page's first key (its rewrite) as on any other.
  for (unsigned md_flags : {0u, unsigned{ORV_PREFIXKEY}}) {
    SCOPED_TRACE(md_flags);
    txn_.mt_flags = 0;
    txn_.mt_error = 0;
    db_.md_flags = static_cast<uint16_t>(md_flags);
    set_page(P_LEAF);
    ASSERT_EQ(add_leaf(0, "a", "v"), 0);
    ASSERT_EQ(add_leaf(1, "b", "w"), 0);
    set_node_dsize(node_ptr(mp(), 0), kPsize);
    const std::string before = page_.bytes();
    mc_.mc_ki[0] = 0;
    EXPECT_EQ(orv_node_del(&mc_, 0), ORV_CORRUPTED);
    EXPECT_EQ(page_.bytes(), before);
    expect_failed(ORV_CORRUPTED);
  }
}

}  // namespace
