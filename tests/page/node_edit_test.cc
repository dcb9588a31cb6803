// [node_edit]: lib/page/node_edit.cc
//
// Node insertion and removal on hand-made pages with nothing but a page
// context: exact fits and ORV_NO_FIT, node layout and padding, reserved
// values, values on overflow runs, removal with node-area compaction,
// fixed-size keys, counted branch nodes, replacing branch keys, prefix
// pages keeping their longest key, what is left to the tree, shrinking
// sub-pages and node sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "page/page.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/page_buf.h"

namespace {

using orv_test::val;

using orv_test::init_page;
using orv_test::PageBuf;
constexpr unsigned kPsize = orv_test::kPagePsize;

// Up to three hand-made pages and the context of a plain tree.
class NodeEdit : public testing::Test {
 protected:
  void SetUp() override { set_leaf(P_LEAF); }
  void TearDown() override { orv_txn_scratch_free(&scratch_); }
  void set_leaf(uint16_t flags) { init_page(mp(), 5, flags); }
  ORV_page *mp() { return pages_[0].page(); }
  int add_leaf(unsigned indx, const std::string &k, const std::string &v, unsigned flags = 0) {
    ORV_val kv = val(k), dv = val(v);
    return orv_node_add(ctx_, mp(), indx, &kv, &dv, 0, flags, 0);
  }
  int add_branch(ORV_page *mp, unsigned indx, const std::string *k, pgno_t child, uint64_t count) {
    ORV_val kv = k ? val(*k) : ORV_val{};
    return orv_node_add(ctx_, mp, indx, k ? &kv : nullptr, nullptr, child, 0, count);
  }
  std::string key_at(unsigned i) {
    ORV_node *node = node_ptr(mp(), i);
    return std::string(static_cast<const char *>(node_key(node, node_hdrsz(mp()))), node->mn_ksize);
  }
  std::string value_at(unsigned i) {
    ORV_node *node = node_ptr(mp(), i);
    return std::string(static_cast<const char *>(node_data(node)), node_dsize(node));
  }

  ORV_scratch scratch_{};
  ORV_page_ctx ctx_{kPsize, orv_nodemax(kPsize), 0};
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

TEST_F(NodeEdit, ExactFitAndNoFit) {
  const std::string k = "key", v(100, 'v');
  const size_t node_size = even(8 + even(k.size()) + v.size());
  // Free space of exactly the node plus its slot: fits.
  mp()->mp_upper = static_cast<indx_t>(mp()->mp_lower + node_size + 2);
  ASSERT_EQ(add_leaf(0, k, v), 0);
  EXPECT_EQ(mp()->mp_upper, mp()->mp_lower);
  EXPECT_EQ(value_at(0), v);
  // Two bytes less: ORV_NO_FIT and the page unchanged.
  set_leaf(P_LEAF);
  mp()->mp_upper = static_cast<indx_t>(mp()->mp_lower + node_size);
  const std::string before = pages_[0].bytes();
  EXPECT_EQ(add_leaf(0, k, v), ORV_NO_FIT);
  EXPECT_EQ(pages_[0].bytes(), before);
}

TEST_F(NodeEdit, ReserveLeavesTheValueToTheCaller) {
  std::string k = "abc";
  ORV_val kv = val(k), dv{50, nullptr};
  ASSERT_EQ(orv_node_add(ctx_, mp(), 0, &kv, &dv, 0, ORV_RESERVE, 0), 0);
  ORV_node *node = node_ptr(mp(), 0);
  EXPECT_EQ(dv.mv_data, node_data(node));
  EXPECT_EQ(node_dsize(node), 50u);
  EXPECT_EQ(node->mn_flags, 0);  // only the low 16 bits reach the node
}

TEST_F(NodeEdit, ValueOnARunKeepsItsPageNumber) {
  // The value's size is the real one; the node holds the run's number.
  std::string k = "big";
  pgno_t run = 0x123456789aULL;
  ORV_val kv = val(k), dv{100000, &run};
  ASSERT_EQ(orv_node_add(ctx_, mp(), 0, &kv, &dv, 0, F_BIGDATA | ORV_RESERVE, 0), 0);
  ORV_node *node = node_ptr(mp(), 0);
  EXPECT_EQ(node->mn_flags, F_BIGDATA);
  EXPECT_EQ(node_dsize(node), 100000u);
  EXPECT_EQ(load_u64(node_data(node)), run);
  EXPECT_EQ(dv.mv_data, &run);  // nothing reserved in the node
  EXPECT_EQ(kPsize - mp()->mp_upper, bigdata_node_size(k.size()));
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
    ASSERT_EQ(orv_node_del(ctx_, mp(), i, 0), 0);
    want.erase(want.begin() + i);
    ASSERT_EQ(numkeys(mp()), want.size());
    for (unsigned j = 0; j < want.size(); j++) EXPECT_EQ(key_at(j), want[j]);
  }
  EXPECT_EQ(value_at(0), std::string(1, '0'));
  EXPECT_EQ(value_at(2), std::string(7, '2'));
  while (numkeys(mp()) > 0) ASSERT_EQ(orv_node_del(ctx_, mp(), 0, 0), 0);
  EXPECT_EQ(mp()->mp_lower, PAGEHDRSZ);
  EXPECT_EQ(mp()->mp_upper, kPsize);
}

TEST_F(NodeEdit, FixedSizeKeys) {
  set_leaf(P_LEAF | P_LEAF2);
  ctx_.md_pad = 4;
  mp()->mp_pad = 4;
  ASSERT_EQ(add_leaf(0, "bbbb", ""), 0);
  ASSERT_EQ(add_leaf(0, "aaaa", ""), 0);
  ASSERT_EQ(add_leaf(2, "cc", ""), 0);  // a shorter key is padded with zeros
  EXPECT_EQ(numkeys(mp()), 3u);
  EXPECT_EQ(mp()->mp_upper - mp()->mp_lower, kPsize - PAGEHDRSZ - 3 * 4);
  EXPECT_EQ(std::memcmp(leaf2_key(mp(), 0, 4), "aaaabbbbcc\0\0", 12), 0);
  ASSERT_EQ(orv_node_del(ctx_, mp(), 1, 4), 0);
  EXPECT_EQ(numkeys(mp()), 2u);
  EXPECT_EQ(std::memcmp(leaf2_key(mp(), 0, 4), "aaaacc\0\0", 8), 0);
  EXPECT_EQ(mp()->mp_upper - mp()->mp_lower, kPsize - PAGEHDRSZ - 2 * 4);
  // Less room than one key: nothing moves.
  mp()->mp_upper = static_cast<indx_t>(mp()->mp_lower + 3);
  const std::string before = pages_[0].bytes();
  EXPECT_EQ(add_leaf(0, "dddd", ""), ORV_NO_FIT);
  EXPECT_EQ(pages_[0].bytes(), before);
}

TEST_F(NodeEdit, CountedBranchNodes) {
  ctx_.md_flags = ORV_COUNTED;
  ORV_page *bp = pages_[1].page();
  init_page(bp, 9, P_BRANCH | P_COUNTED);
  const std::string sep = "m";
  ASSERT_EQ(add_branch(bp, 0, nullptr, 20, 10), 0);
  ASSERT_EQ(add_branch(bp, 1, &sep, 21, 7), 0);
  EXPECT_EQ(orv_page_entries(bp), 17u);
  ORV_node *node = node_ptr(bp, 0);
  EXPECT_EQ(node_count(node), 10u);
  EXPECT_EQ(node_pgno(node), 20u);
  EXPECT_EQ(node->mn_ksize, 0);
  EXPECT_EQ(bp->mp_upper, kPsize - 16 - 18);
  // A child page number of 48 bits survives the node header.
  ASSERT_EQ(add_branch(bp, 2, &sep, 0xABCDEF012345ULL, 1), 0);
  EXPECT_EQ(node_pgno(node_ptr(bp, 2)), 0xABCDEF012345ULL);
}

TEST_F(NodeEdit, ReplacingABranchKeyKeepsChildAndCount) {
  ORV_page *bp = pages_[1].page();
  init_page(bp, 9, P_BRANCH | P_COUNTED);
  const std::string sep = "m";
  ASSERT_EQ(add_branch(bp, 0, nullptr, 32, 17), 0);
  ASSERT_EQ(add_branch(bp, 1, &sep, 33, 5), 0);
  ASSERT_EQ(add_branch(bp, 2, &sep, 34, 6), 0);
  auto stored = [&](unsigned i) {
    const ORV_node *n = node_ptr(bp, i);
    return std::string(static_cast<const char *>(node_key(n, 16)), n->mn_ksize);
  };
  for (const std::string &nk : {std::string(301, 'q'), std::string("r"), std::string(40, 's')}) {
    ORV_val kv = val(nk);
    ASSERT_EQ(orv_update_key(bp, 1, &kv), 0);
    EXPECT_EQ(stored(1), nk);
    EXPECT_EQ(node_count(node_ptr(bp, 1)), 5u);
    EXPECT_EQ(node_pgno(node_ptr(bp, 1)), 33u);
    EXPECT_EQ(node_count(node_ptr(bp, 2)), 6u);
    EXPECT_EQ(node_pgno(node_ptr(bp, 2)), 34u);
    EXPECT_EQ(stored(2), sep);
    EXPECT_EQ(node_count(node_ptr(bp, 0)), 17u);
    size_t used = 0;
    for (unsigned i = 0; i < numkeys(bp); i++) used += node_size_on(bp, node_ptr(bp, i));
    EXPECT_EQ(kPsize - bp->mp_upper, used);
  }
  // Fill the page; a key longer by exactly the free space still fits, two
  // bytes more is ORV_NO_FIT with nothing changed.
  const std::string filler(100, 'f');
  while (add_branch(bp, numkeys(bp), &filler, 50, 1) == 0) {
  }
  while (add_branch(bp, numkeys(bp), &sep, 51, 1) == 0) {
  }
  const std::string exact(40 + size_left(bp), 't');
  ORV_val kv = val(exact);
  ASSERT_EQ(orv_update_key(bp, 1, &kv), 0);
  EXPECT_EQ(size_left(bp), 0u);
  EXPECT_EQ(stored(1), exact);
  EXPECT_EQ(node_count(node_ptr(bp, 1)), 5u);
  const std::string before = pages_[1].bytes();
  const std::string longer(exact.size() + 2, 'u');
  kv = val(longer);
  EXPECT_EQ(orv_update_key(bp, 1, &kv), ORV_NO_FIT);
  EXPECT_EQ(pages_[1].bytes(), before);
}

TEST_F(NodeEdit, PrefixPageKeepsItsLongestKey) {
  // With the transaction's key-length index and without one (a read-only
  // context), mp_pad follows every insertion and removal.
  for (ORV_scratch *scratch : {&scratch_, static_cast<ORV_scratch *>(nullptr)}) {
    SCOPED_TRACE(scratch ? "index" : "no index");
    ctx_ = ORV_page_ctx{kPsize, orv_nodemax(kPsize), ORV_PREFIXKEY, 0, scratch};
    set_leaf(P_LEAF);
    ASSERT_EQ(add_leaf(0, "common", "v0"), 0);
    EXPECT_EQ(mp()->mp_pad, 6);
    ASSERT_EQ(add_leaf(1, "common-prefix-long", "v1"), 0);
    ASSERT_EQ(add_leaf(2, "commz", "v2"), 0);
    // Keys above slot 0 are stored against it: varint(6) "-prefix-long",
    // varint(4) "z".
    EXPECT_EQ(key_at(1), std::string("\x06-prefix-long"));
    EXPECT_EQ(key_at(2), std::string("\x04z"));
    EXPECT_EQ(mp()->mp_pad, 18);
    EXPECT_EQ(value_at(1), "v1");
    ASSERT_EQ(orv_node_del(ctx_, mp(), 1, 0), 0);
    EXPECT_EQ(mp()->mp_pad, 6);
    EXPECT_EQ(key_at(1), std::string("\x04z"));
    ASSERT_EQ(orv_node_del(ctx_, mp(), 1, 0), 0);
    ASSERT_EQ(orv_node_del(ctx_, mp(), 0, 0), 0);  // the only key may go
    EXPECT_EQ(mp()->mp_pad, 0);
    EXPECT_EQ(numkeys(mp()), 0u);
  }
}

TEST_F(NodeEdit, WhatOnlyTheTreeDoesChangesNothing) {
  // A value that belongs on an overflow run, a new first key of a prefix
  // page and the removal of its first key are the tree's: EINVAL.
  const size_t big = orv_nodemax(kPsize);
  struct Case {
    const char *name;
    unsigned md_flags, slot;
    bool del;
    size_t vsize;
    unsigned flags;
  };
  const Case kCases[] = {
      {"value for a run", 0, 1, false, big, 0},
      {"value for a run on a prefix page", ORV_PREFIXKEY, 1, false, big, 0},
      {"new first key", ORV_PREFIXKEY, 0, false, 3, 0},
      {"first key removed", ORV_PREFIXKEY, 0, true, 0, 0},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    ctx_.md_flags = c.md_flags;
    set_leaf(P_LEAF);
    ASSERT_EQ(add_leaf(0, "b", "v"), 0);
    ASSERT_EQ(add_leaf(1, "c", "v"), 0);
    const std::string before = pages_[0].bytes();
    if (c.del) {
      EXPECT_EQ(orv_node_del(ctx_, mp(), c.slot, 0), EINVAL);
    } else {
      const std::string v(c.vsize, 'v');
      EXPECT_EQ(add_leaf(c.slot, "a", v, c.flags), EINVAL);
    }
    EXPECT_EQ(pages_[0].bytes(), before);
  }
  // What orv_node_add_size tells: a run only for a plain value over the
  // maximum, never for a sub-page or a value on a run already.
  struct SizeCase {
    size_t vsize;
    unsigned flags;
    bool to_run;
    size_t size;
  };
  const SizeCase kSizes[] = {
      {big - 8 - 2, 0, false, big},
      {big - 8 - 2 + 1, 0, true, 8 + 2 + 8},
      {big, F_DUPDATA, false, even(8 + 2 + big)},
      {big, F_BIGDATA, false, 8 + 2 + 8},
  };
  ctx_.md_flags = 0;
  const std::string k = "ab";
  for (const SizeCase &c : kSizes) {
    ORV_val kv = val(k), dv{c.vsize, nullptr};
    bool to_run = !c.to_run;
    EXPECT_EQ(orv_node_add_size(ctx_, mp(), 0, &kv, &dv, c.flags, &to_run), c.size) << c.vsize;
    EXPECT_EQ(to_run, c.to_run) << c.vsize;
  }
}

TEST_F(NodeEdit, DamagedNodeIsNotRemoved) {
  // A value size reaching past the page: ORV_CORRUPTED, nothing moves.
  ASSERT_EQ(add_leaf(0, "a", "v"), 0);
  ASSERT_EQ(add_leaf(1, "b", "w"), 0);
  set_node_dsize(node_ptr(mp(), 0), kPsize);
  const std::string before = pages_[0].bytes();
  EXPECT_EQ(orv_node_del(ctx_, mp(), 0, 0), ORV_CORRUPTED);
  EXPECT_EQ(pages_[0].bytes(), before);
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
  const size_t nodemax = orv_nodemax(kPsize);
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

}  // namespace
