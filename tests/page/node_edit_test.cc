// [node_edit]: lib/page/node_edit.cc
//
// Node insertion and removal on hand-made pages, through a cursor whose
// transaction and environment carry only what these routines read: exact
// fits and PAGE_FULL, node layout and padding, reserved values, removal
// with node-area compaction, counted branch nodes, replacing branch keys,
// shrinking sub-pages, node sizes and the upkeep of counts along a path.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "util/fixtures.h"

namespace {

using orv_test::val;

constexpr unsigned kPsize = 4096;

struct alignas(8) PageBuf {
  unsigned char b[kPsize];
  ORV_page *page() { return reinterpret_cast<ORV_page *>(b); }
};

void init_page(ORV_page *mp, pgno_t pgno, uint16_t flags) {
  std::memset(mp, 0, kPsize);
  mp->mp_pgno = pgno;
  mp->mp_flags = static_cast<uint16_t>(flags | P_DIRTY);
  mp->mp_lower = PAGEHDRSZ;
  mp->mp_upper = kPsize;
}

// A cursor on up to three hand-made pages (index 0 is the root).
class NodeEdit : public testing::Test {
 protected:
  void SetUp() override {
    env_.me_psize = kPsize;
    env_.me_nodemax = 2 * ((kPsize - PAGEHDRSZ) / 4) - 2;
    txn_.mt_env = &env_;
    mc_.mc_txn = &txn_;
    mc_.mc_db = &db_;
    mc_.mc_dbx = &dbx_;
    mc_.mc_dbflag = &dbflag_;
    set_leaf(P_LEAF);
  }
  void set_leaf(uint16_t flags) {
    init_page(pages_[0].page(), 5, flags);
    mc_.mc_pg[0] = pages_[0].page();
    mc_.mc_snum = 1;
    mc_.mc_top = 0;
    mc_.mc_ki[0] = 0;
  }
  ORV_page *mp() { return mc_.mc_pg[mc_.mc_top]; }
  int add_leaf(unsigned indx, const std::string &k, const std::string &v, unsigned flags = 0) {
    ORV_val kv = val(k), dv = val(v);
    return orv_node_add(&mc_, indx, &kv, &dv, 0, flags, nullptr, 0);
  }
  std::string key_at(unsigned i) {
    ORV_node *node = node_ptr(mp(), i);
    return std::string(static_cast<const char *>(node_key(node, node_hdrsz(mp()))), node->mn_ksize);
  }
  std::string value_at(unsigned i) {
    ORV_node *node = node_ptr(mp(), i);
    return std::string(static_cast<const char *>(node_data(node)), node_dsize(node));
  }

  ORV_env env_{};
  ORV_txn txn_{};
  ORV_db db_{};
  ORV_dbx dbx_{};
  uint8_t dbflag_ = 0;
  ORV_cursor mc_{};
  PageBuf pages_[3];
};

TEST_F(NodeEdit, NodeLayoutAndPadding) {
  struct Case {
    size_t ksize, vsize;
  };
  const Case kCases[] = {{1, 0}, {1, 1}, {2, 3}, {7, 10}, {511, 0}, {10, 2000}};
  for (const Case &c : kCases) {
    set_leaf(P_LEAF);
    std::string k(c.ksize, 'k'), v(c.vsize, 'v');
    unsigned upper = mp()->mp_upper;
    ASSERT_EQ(add_leaf(0, k, v), 0);
    EXPECT_EQ(upper - mp()->mp_upper, even(8 + even(c.ksize) + c.vsize))
        << c.ksize << "/" << c.vsize;
    EXPECT_EQ(mp()->mp_upper % 2, 0u);
    ORV_node *node = node_ptr(mp(), 0);
    EXPECT_EQ(node->mn_ksize, c.ksize);
    EXPECT_EQ(node->mn_flags, 0);
    EXPECT_EQ(node_dsize(node), c.vsize);
    // The value starts after the key padded to even length; the pad is 0.
    auto *base = reinterpret_cast<unsigned char *>(node);
    EXPECT_EQ(static_cast<unsigned char *>(node_data(node)), base + 8 + even(c.ksize));
    if (c.ksize & 1) {
      EXPECT_EQ(base[8 + c.ksize], 0);
    }
    EXPECT_EQ(key_at(0), k);
    EXPECT_EQ(value_at(0), v);
  }
}

TEST_F(NodeEdit, ExactFitAndPageFull) {
  const std::string k = "key", v(100, 'v');
  const size_t node_size = even(8 + even(k.size()) + v.size());
  // Free space of exactly the node plus its slot: fits.
  mp()->mp_upper = static_cast<indx_t>(mp()->mp_lower + node_size + 2);
  ASSERT_EQ(add_leaf(0, k, v), 0);
  EXPECT_EQ(mp()->mp_upper, mp()->mp_lower);
  EXPECT_EQ(value_at(0), v);
  EXPECT_EQ(txn_.mt_flags & ORV_TXN_ERROR, 0u);
  // Two bytes less: PAGE_FULL, the page unchanged and the transaction failed.
  set_leaf(P_LEAF);
  mp()->mp_upper = static_cast<indx_t>(mp()->mp_lower + node_size);
  EXPECT_EQ(add_leaf(0, k, v), ORV_PAGE_FULL);
  EXPECT_EQ(numkeys(mp()), 0u);
  EXPECT_EQ(mp()->mp_upper, mp()->mp_lower + node_size);
  EXPECT_TRUE(txn_.mt_flags & ORV_TXN_ERROR);
  EXPECT_EQ(txn_.mt_error, ORV_PAGE_FULL);
}

TEST_F(NodeEdit, ReserveLeavesTheValueToTheCaller) {
  std::string k = "abc";
  ORV_val kv = val(k), dv{50, nullptr};
  ASSERT_EQ(orv_node_add(&mc_, 0, &kv, &dv, 0, ORV_RESERVE, nullptr, 0), 0);
  ORV_node *node = node_ptr(mp(), 0);
  EXPECT_EQ(dv.mv_data, node_data(node));
  EXPECT_EQ(node_dsize(node), 50u);
  EXPECT_EQ(node->mn_flags, 0);  // only the low 16 bits reach the node
}

TEST_F(NodeEdit, InsertAndRemoveKeepOrderAndSpace) {
  std::vector<std::string> keys = {"b", "d", "f", "h", "j"};
  for (unsigned i = 0; i < keys.size(); i++)
    ASSERT_EQ(add_leaf(i, keys[i], std::string(i * 3 + 1, static_cast<char>('0' + i))), 0);
  ASSERT_EQ(add_leaf(2, "e", "middle"), 0);  // between d and f
  ASSERT_EQ(add_leaf(0, "a", ""), 0);
  std::vector<std::string> want = {"a", "b", "d", "e", "f", "h", "j"};
  ASSERT_EQ(numkeys(mp()), want.size());
  for (unsigned i = 0; i < want.size(); i++) EXPECT_EQ(key_at(i), want[i]);
  EXPECT_EQ(value_at(3), "middle");
  // Remove from the middle, the front and the end; values stay intact.
  for (unsigned i : {3u, 0u, 4u}) {
    mc_.mc_ki[0] = static_cast<indx_t>(i);
    orv_node_del(&mc_, 0);
    want.erase(want.begin() + i);
    ASSERT_EQ(numkeys(mp()), want.size());
    for (unsigned j = 0; j < want.size(); j++) EXPECT_EQ(key_at(j), want[j]);
  }
  EXPECT_EQ(value_at(0), std::string(1, '0'));
  EXPECT_EQ(value_at(2), std::string(7, '2'));
  while (numkeys(mp()) > 0) {
    mc_.mc_ki[0] = 0;
    orv_node_del(&mc_, 0);
  }
  EXPECT_EQ(mp()->mp_lower, PAGEHDRSZ);
  EXPECT_EQ(mp()->mp_upper, kPsize);
}

TEST_F(NodeEdit, FixedSizeKeys) {
  set_leaf(P_LEAF | P_LEAF2);
  db_.md_pad = 4;
  mp()->mp_pad = 4;
  ASSERT_EQ(add_leaf(0, "bbbb", ""), 0);
  ASSERT_EQ(add_leaf(0, "aaaa", ""), 0);
  ASSERT_EQ(add_leaf(2, "cccc", ""), 0);
  EXPECT_EQ(numkeys(mp()), 3u);
  EXPECT_EQ(mp()->mp_upper - mp()->mp_lower, kPsize - PAGEHDRSZ - 3 * 4);
  EXPECT_EQ(std::memcmp(leaf2_key(mp(), 0, 4), "aaaabbbbcccc", 12), 0);
  mc_.mc_ki[0] = 1;
  orv_node_del(&mc_, 4);
  EXPECT_EQ(numkeys(mp()), 2u);
  EXPECT_EQ(std::memcmp(leaf2_key(mp(), 0, 4), "aaaacccc", 8), 0);
  EXPECT_EQ(mp()->mp_upper - mp()->mp_lower, kPsize - PAGEHDRSZ - 2 * 4);
}

TEST_F(NodeEdit, CountedBranchNodes) {
  db_.md_flags = ORV_COUNTED;
  // A child branch page whose nodes hold 10 and 7 entries.
  ORV_page *child = pages_[1].page();
  init_page(child, 9, P_BRANCH | P_COUNTED);
  mc_.mc_pg[0] = child;
  ASSERT_EQ(orv_node_add(&mc_, 0, nullptr, nullptr, 20, 0, nullptr, 10), 0);
  std::string sep = "m";
  ORV_val sv = val(sep);
  ASSERT_EQ(orv_node_add(&mc_, 1, &sv, nullptr, 21, 0, nullptr, 7), 0);
  EXPECT_EQ(orv_page_entries(child), 17u);

  init_page(pages_[0].page(), 5, P_BRANCH | P_COUNTED);
  mc_.mc_pg[0] = pages_[0].page();
  ASSERT_EQ(orv_node_add(&mc_, 0, nullptr, nullptr, 9, 0, child, ~uint64_t{0}), 0);
  ORV_node *node = node_ptr(mp(), 0);
  EXPECT_EQ(node_count(node), 17u);
  EXPECT_EQ(node_pgno(node), 9u);
  EXPECT_EQ(node->mn_ksize, 0);
  EXPECT_EQ(mp()->mp_upper, kPsize - 16);

  // Replacing the key of a counted node keeps its child and its count.
  ASSERT_EQ(orv_node_add(&mc_, 1, &sv, nullptr, 33, 0, nullptr, 5), 0);
  ASSERT_EQ(orv_node_add(&mc_, 2, &sv, nullptr, 34, 0, nullptr, 6), 0);
  for (const std::string &nk : {std::string(301, 'q'), std::string("r"), std::string(40, 's')}) {
    mc_.mc_ki[0] = 1;
    ORV_val kv = val(nk);
    ASSERT_EQ(orv_update_key(&mc_, &kv), 0);
    EXPECT_EQ(key_at(1), nk);
    EXPECT_EQ(node_count(node_ptr(mp(), 1)), 5u);
    EXPECT_EQ(node_pgno(node_ptr(mp(), 1)), 33u);
    EXPECT_EQ(node_count(node_ptr(mp(), 2)), 6u);
    EXPECT_EQ(node_pgno(node_ptr(mp(), 2)), 34u);
    EXPECT_EQ(key_at(2), sep);
    EXPECT_EQ(node_count(node_ptr(mp(), 0)), 17u);
    size_t used = 0;
    for (unsigned i = 0; i < numkeys(mp()); i++) used += node_size_on(mp(), node_ptr(mp(), i));
    EXPECT_EQ(kPsize - mp()->mp_upper, used);
  }
}

TEST_F(NodeEdit, ShrinkSubPage) {
  // Leaf with a neighbour node, then a node whose value is a 40-byte
  // sub-page holding one value "ab" and 12 bytes of slack.
  ASSERT_EQ(add_leaf(0, "z", "neighbour"), 0);
  std::string sub(40, '\0');
  auto *sp = reinterpret_cast<ORV_page *>(sub.data());
  sp->mp_flags = P_LEAF | P_SUBP | P_DIRTY;
  sp->mp_lower = PAGEHDRSZ + 2;
  sp->mp_upper = 30;
  indx_t ofs = 30;
  std::memcpy(sub.data() + PAGEHDRSZ, &ofs, 2);
  ORV_node vn{0, 0, 0, 2};
  std::memcpy(sub.data() + 30, &vn, 8);
  std::memcpy(sub.data() + 38, "ab", 2);
  ASSERT_EQ(add_leaf(0, "k", sub, F_DUPDATA), 0);
  unsigned upper = mp()->mp_upper;

  orv_node_shrink(mp(), 0);
  ORV_node *node = node_ptr(mp(), 0);
  EXPECT_EQ(node_dsize(node), 28u);
  EXPECT_EQ(mp()->mp_upper, upper + 12);
  auto *nsp = static_cast<ORV_page *>(node_data(node));
  EXPECT_EQ(nsp->mp_pgno, mp()->mp_pgno);
  EXPECT_EQ(nsp->mp_lower, nsp->mp_upper);
  EXPECT_EQ(numkeys(nsp), 1u);
  const ORV_node *vnode = node_ptr(nsp, 0);
  EXPECT_EQ(std::string(static_cast<const char *>(node_key(vnode, 8)), vnode->mn_ksize), "ab");
  EXPECT_EQ(key_at(0), "k");
  EXPECT_EQ(key_at(1), "z");
  EXPECT_EQ(value_at(1), "neighbour");

  // An empty 40-byte sub-page shrinks to its 16-byte header.
  set_leaf(P_LEAF);
  std::string empty(40, '\0');
  sp = reinterpret_cast<ORV_page *>(empty.data());
  sp->mp_flags = P_LEAF | P_SUBP | P_DIRTY;
  sp->mp_lower = PAGEHDRSZ;
  sp->mp_upper = 40;
  ASSERT_EQ(add_leaf(0, "k", empty, F_DUPDATA), 0);
  orv_node_shrink(mp(), 0);
  EXPECT_EQ(node_dsize(node_ptr(mp(), 0)), 16u);
  orv_node_shrink(mp(), 0);  // nothing left to give back
  EXPECT_EQ(node_dsize(node_ptr(mp(), 0)), 16u);
}

TEST_F(NodeEdit, LeafAndBranchSizes) {
  struct Case {
    size_t ksize, vsize, want;
  };
  const size_t nodemax = env_.me_nodemax;
  const Case kCases[] = {
      {1, 0, 2 + 8 + 0 + 2},
      {3, 5, 4 + 8 + 6 + 2},
      {10, nodemax - 8 - 10, 10 + 8 + even(nodemax - 18) + 2},  // largest inline
      {10, nodemax - 8 - 10 + 1, 10 + 18},                      // to an overflow run
      {511, 100000, 512 + 18},
  };
  const ORV_page_ctx ctx{kPsize, nodemax, 0};
  for (const Case &c : kCases) {
    std::string k(c.ksize, 'k');
    ORV_val kv = val(k), dv{c.vsize, nullptr};
    EXPECT_EQ(orv_leaf_size(ctx, mp(), 0, &kv, &dv), c.want) << c.ksize << "/" << c.vsize;
  }
  {
    // On a prefix page a key after the first is stored as varint(shared) and
    // the rest: "common-prefix-bbb" shares 14 bytes with the first key and
    // takes 1 + 3. Slot 0, or a tree without the flag, stores it whole (17).
    ASSERT_EQ(add_leaf(0, "common-prefix-aaa", "v"), 0);
    std::string k = "common-prefix-bbb", v(5, 'v');
    ORV_val kv = val(k), dv = val(v);
    struct PrefixCase {
      unsigned md_flags, slot;
      size_t want;
    };
    const PrefixCase kPrefix[] = {
        {ORV_PREFIXKEY, 1, 4 + 8 + 6 + 2},
        {ORV_PREFIXKEY, 0, 18 + 8 + 6 + 2},
        {0, 1, 18 + 8 + 6 + 2},
    };
    for (const PrefixCase &c : kPrefix) {
      const ORV_page_ctx pctx{kPsize, nodemax, c.md_flags};
      EXPECT_EQ(orv_leaf_size(pctx, mp(), c.slot, &kv, &dv), c.want)
          << c.md_flags << " slot " << c.slot;
    }
    set_leaf(P_LEAF);
  }
  std::string k(5, 'k');
  ORV_val kv = val(k);
  init_page(pages_[1].page(), 7, P_BRANCH);
  EXPECT_EQ(orv_branch_size(pages_[1].page(), &kv), 8u + 6 + 2);
  init_page(pages_[1].page(), 7, P_BRANCH | P_COUNTED);
  EXPECT_EQ(orv_branch_size(pages_[1].page(), &kv), 16u + 6 + 2);
  EXPECT_EQ(orv_branch_size(pages_[1].page(), nullptr), 16u + 2);
}

TEST_F(NodeEdit, CountsFollowAChangedPage) {
  db_.md_flags = ORV_COUNTED;
  // root (counted) -> mid (counted) -> leaf with 3 entries.
  ORV_page *root = pages_[0].page(), *mid = pages_[1].page(), *leaf = pages_[2].page();
  init_page(root, 2, P_BRANCH | P_COUNTED);
  init_page(mid, 3, P_BRANCH | P_COUNTED);
  init_page(leaf, 4, P_LEAF);
  mc_.mc_snum = 1;
  mc_.mc_top = 0;
  mc_.mc_pg[0] = root;
  std::string s = "s";
  ORV_val sv = val(s);
  ASSERT_EQ(orv_node_add(&mc_, 0, nullptr, nullptr, 90, 0, nullptr, 100), 0);
  ASSERT_EQ(orv_node_add(&mc_, 1, &sv, nullptr, 3, 0, nullptr, 50), 0);
  mc_.mc_pg[0] = mid;
  ASSERT_EQ(orv_node_add(&mc_, 0, nullptr, nullptr, 91, 0, nullptr, 47), 0);
  ASSERT_EQ(orv_node_add(&mc_, 1, &sv, nullptr, 4, 0, nullptr, 3), 0);
  mc_.mc_pg[0] = leaf;
  for (unsigned i = 0; i < 3; i++) ASSERT_EQ(add_leaf(i, std::string(1, 'a' + i), "v"), 0);

  mc_.mc_pg[0] = root;
  mc_.mc_pg[1] = mid;
  mc_.mc_pg[2] = leaf;
  mc_.mc_ki[0] = 1;
  mc_.mc_ki[1] = 1;
  mc_.mc_ki[2] = 3;
  mc_.mc_snum = 3;
  mc_.mc_top = 2;
  ASSERT_EQ(add_leaf(3, "d", "v"), 0);
  orv_page_update_counts(&mc_, leaf, 0, 1);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 4u);
  EXPECT_EQ(node_count(node_ptr(root, 1)), 51u);
  // A recount finds the exact figure whatever the stored one was.
  set_node_count(node_ptr(mid, 1), 9);
  orv_page_update_counts(&mc_, leaf, 1, 0);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 4u);
  EXPECT_EQ(node_count(node_ptr(root, 1)), 46u);
  // Removals never take a count below zero.
  orv_page_update_counts(&mc_, leaf, 0, -10);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 0u);
  EXPECT_EQ(node_count(node_ptr(root, 1)), 42u);
  // Untouched siblings keep their counts; an uncounted tree is left alone.
  EXPECT_EQ(node_count(node_ptr(mid, 0)), 47u);
  db_.md_flags = 0;
  orv_page_update_counts(&mc_, leaf, 1, 0);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 0u);
}

}  // namespace
