// [layout]: lib/page/page.h accessors and lib/page/layout.cc — byte layout of
// pages and nodes, node sizes, overflow runs, the inline limit, and the
// entry counts of counted trees.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "page/page.h"

namespace {

constexpr unsigned kPsize = 4096;

// A page image built by hand in an 8-byte aligned buffer. Nodes are packed
// downward from the end, slots appended in call order.
class TestPage {
 public:
  explicit TestPage(uint16_t flags, unsigned psize = kPsize) : buf_(psize / 8), psize_(psize) {
    mp()->mp_pgno = 1;
    mp()->mp_flags = flags;
    mp()->mp_lower = PAGEHDRSZ;
    mp()->mp_upper = static_cast<indx_t>(psize);
  }
  ORV_page *mp() { return reinterpret_cast<ORV_page *>(buf_.data()); }
  std::byte *bytes() { return page_bytes(mp()); }
  unsigned psize() const { return psize_; }

  // Leaf node with an inline value; returns it.
  ORV_node *add_leaf(const std::string &key, const std::string &data, uint16_t flags = 0) {
    ORV_node *node = place(leaf_node_size(key.size(), data.size()));
    set_node_dsize(node, data.size());
    node->mn_flags = flags;
    node->mn_ksize = static_cast<uint16_t>(key.size());
    std::memcpy(node_key(node, NODESIZE), key.data(), key.size());
    std::memcpy(node_data(node), data.data(), data.size());
    return node;
  }
  // Leaf node whose value is the given raw bytes (a sub-page or a record).
  ORV_node *add_leaf_raw(const std::string &key, const void *data, size_t size, uint16_t flags) {
    return add_leaf(key, std::string(static_cast<const char *>(data), size), flags);
  }
  ORV_node *add_branch(const std::string &key, pgno_t child, uint64_t count = 0) {
    ORV_node *node = place(branch_node_size(mp(), key.size()));
    set_node_pgno(node, child);
    node->mn_ksize = static_cast<uint16_t>(key.size());
    if (is_counted(mp())) set_node_count(node, count);
    std::memcpy(node_key(node, node_hdrsz(mp())), key.data(), key.size());
    return node;
  }
  // Fixed-size key on a P_LEAF2 page.
  void add_leaf2(const std::string &key) {
    std::memcpy(leaf2_key(mp(), numkeys(mp()), key.size()), key.data(), key.size());
    mp()->mp_pad = static_cast<uint16_t>(key.size());
    mp()->mp_lower += 2;
    mp()->mp_upper -= static_cast<indx_t>(key.size() - 2);
  }

 private:
  ORV_node *place(size_t size) {
    ORV_page *p = mp();
    p->mp_upper = static_cast<indx_t>(p->mp_upper - size);
    mp_ptrs(p)[numkeys(p)] = p->mp_upper;
    p->mp_lower += 2;
    return node_ptr(p, numkeys(p) - 1);
  }
  std::vector<uint64_t> buf_;
  unsigned psize_;
};

size_t offset_in_page(TestPage &pg, const void *p) {
  return static_cast<size_t>(static_cast<const std::byte *>(p) - pg.bytes());
}
uint16_t u16_at(const std::byte *p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// ---- Page and node layout ---------------------------------------------------

TEST(Layout, HeaderFieldsAtTheirOffsets) {
  TestPage pg(P_LEAF | P_DIRTY);
  pg.mp()->mp_pgno = 0x0102030405060708;
  pg.mp()->mp_pad = 0x1122;
  EXPECT_EQ(load_u64(pg.bytes()), 0x0102030405060708u);
  EXPECT_EQ(u16_at(pg.bytes() + 8), 0x1122);
  EXPECT_EQ(u16_at(pg.bytes() + 10), P_LEAF | P_DIRTY);
  EXPECT_EQ(u16_at(pg.bytes() + 12), 16);
  EXPECT_EQ(u16_at(pg.bytes() + 14), kPsize);
  EXPECT_EQ(numkeys(pg.mp()), 0u);
  EXPECT_EQ(size_left(pg.mp()), kPsize - 16);

  // Overflow pages keep the run length in the lower/upper bytes.
  set_mp_pages(pg.mp(), 0x00030002);
  EXPECT_EQ(mp_pages(pg.mp()), 0x00030002u);
  EXPECT_EQ(pg.mp()->mp_lower, 0x0002);
  EXPECT_EQ(pg.mp()->mp_upper, 0x0003);
}

TEST(Layout, CountedBranchFlagsLoseDirtyWhenWritten) {
  const uint16_t in_memory = P_BRANCH | P_DIRTY | P_COUNTED;
  EXPECT_EQ(in_memory, 0x91);
  EXPECT_EQ(in_memory & P_WRITE_MASK, 0x81);
  EXPECT_EQ((P_LEAF | P_DIRTY | P_LOOSE | P_KEEP) & P_WRITE_MASK, P_LEAF);
  EXPECT_EQ(P_LEAF | P_DIRTY | P_SUBP, 0x52);  // sub-pages keep P_DIRTY
}

TEST(Layout, LeafNodeWithOddKeyIsPadded) {
  TestPage pg(P_LEAF);
  ORV_node *node = pg.add_leaf("abc", "XY");
  // Node size E(8 + E(3) + 2) = 14, packed against the end of the page.
  const size_t off = offset_in_page(pg, node);
  EXPECT_EQ(off, kPsize - 14);
  EXPECT_EQ(mp_ptrs(pg.mp())[0], off);
  const std::byte *n = pg.bytes() + off;
  EXPECT_EQ(u16_at(n + 0), 2);  // value size low
  EXPECT_EQ(u16_at(n + 2), 0);  // value size high
  EXPECT_EQ(u16_at(n + 4), 0);  // flags
  EXPECT_EQ(u16_at(n + 6), 3);  // key size
  EXPECT_EQ(std::memcmp(n + 8, "abc", 3), 0);
  EXPECT_EQ(offset_in_page(pg, node_data(node)), off + 12);  // after the pad byte
  EXPECT_EQ(std::memcmp(n + 12, "XY", 2), 0);
}

TEST(Layout, EmptyKeyPutsValueRightAfterHeader) {
  TestPage pg(P_LEAF);
  ORV_node *node = pg.add_leaf("", "v");
  EXPECT_EQ(static_cast<const std::byte *>(node_data(node)) - reinterpret_cast<std::byte *>(node),
            8);
  EXPECT_EQ(leaf_node_size(0, 1), 10u);  // odd value rounds the node up
}

TEST(Layout, LeafValueSizeUses32Bits) {
  ORV_node node{};
  set_node_dsize(&node, 0x12345678);
  EXPECT_EQ(node.mn_lo, 0x5678);
  EXPECT_EQ(node.mn_hi, 0x1234);
  EXPECT_EQ(node_dsize(&node), 0x12345678u);
  set_node_dsize(&node, 0xFFFFFFFF);
  EXPECT_EQ(node_dsize(&node), 0xFFFFFFFFu);
}

TEST(Layout, BranchChildNumberUses48Bits) {
  TestPage pg(P_BRANCH);
  ORV_node *node = pg.add_branch("key", 0x123456789ABC);
  const std::byte *n = reinterpret_cast<std::byte *>(node);
  EXPECT_EQ(u16_at(n + 0), 0x9ABC);
  EXPECT_EQ(u16_at(n + 2), 0x5678);
  EXPECT_EQ(u16_at(n + 4), 0x1234);
  EXPECT_EQ(node_pgno(node), 0x123456789ABCu);
  EXPECT_EQ(std::memcmp(n + 8, "key", 3), 0);
  EXPECT_EQ(offset_in_page(pg, node), kPsize - 12);  // 8 + E(3)
}

TEST(Layout, CountedBranchNodeCarriesCountBeforeKey) {
  TestPage pg(P_BRANCH | P_COUNTED);
  ORV_node *node = pg.add_branch("k", 77, 0x0102030405060708);
  const std::byte *n = reinterpret_cast<std::byte *>(node);
  EXPECT_EQ(load_u64(n + 8), 0x0102030405060708u);
  EXPECT_EQ(static_cast<char>(n[16]), 'k');
  EXPECT_EQ(node_count(node), 0x0102030405060708u);
  EXPECT_EQ(offset_in_page(pg, node), kPsize - 18);  // 16 + E(1)
}

TEST(Layout, NodeSizes) {
  TestPage plain(P_BRANCH), counted(P_BRANCH | P_COUNTED);
  struct BranchCase {
    size_t ksize, plain, counted;
  };
  for (const auto &c : {BranchCase{0, 8, 16}, BranchCase{1, 10, 18}, BranchCase{2, 10, 18},
                        BranchCase{5, 14, 22}, BranchCase{511, 520, 528}}) {
    SCOPED_TRACE(c.ksize);
    EXPECT_EQ(branch_node_size(plain.mp(), c.ksize), c.plain);
    EXPECT_EQ(branch_node_size(counted.mp(), c.ksize), c.counted);
  }
  struct LeafCase {
    size_t ksize, dsize, size;
  };
  for (const auto &c :
       {LeafCase{0, 0, 8}, LeafCase{1, 0, 10}, LeafCase{1, 1, 12}, LeafCase{3, 2, 14},
        LeafCase{4, 3, 16}, LeafCase{511, 1, 522}, LeafCase{10, 2028, 2046}}) {
    SCOPED_TRACE(::testing::Message() << c.ksize << "/" << c.dsize);
    EXPECT_EQ(leaf_node_size(c.ksize, c.dsize), c.size);
  }
  EXPECT_EQ(bigdata_node_size(3), 8u + 4 + 8);
  EXPECT_EQ(bigdata_node_size(4), 8u + 4 + 8);
}

TEST(Layout, OverflowRunLengths) {
  struct Case {
    size_t psize, n;
    pgno_t pages;
  };
  for (const auto &c : {Case{4096, 0, 1}, Case{4096, 1, 1}, Case{4096, 4080, 1},
                        Case{4096, 4081, 2}, Case{4096, 8176, 2}, Case{4096, 8177, 3},
                        Case{512, 496, 1}, Case{512, 497, 2}, Case{4096, 0xFFFFFFFF, 1048577}}) {
    SCOPED_TRACE(::testing::Message() << c.psize << "/" << c.n);
    EXPECT_EQ(ovpages(c.psize, c.n), c.pages);
    // The run really holds the value, and one page fewer would not.
    EXPECT_GE(c.pages * c.psize - PAGEHDRSZ, c.n);
    EXPECT_LT((c.pages - 1) * c.psize, c.n + PAGEHDRSZ);
  }
}

TEST(Layout, InlineLimitLetsTwoMaximalNodesShareAPage) {
  struct Case {
    uint32_t psize, nodemax;
  };
  for (const auto &c : {Case{512, 246}, Case{1024, 502}, Case{4096, 2038}, Case{32768, 16374}}) {
    SCOPED_TRACE(c.psize);
    EXPECT_EQ(orv_nodemax(c.psize), c.nodemax);
    EXPECT_EQ(2 * (c.nodemax + 2), c.psize - PAGEHDRSZ);  // two nodes plus slots
  }
  // A value of nodemax - 8 - E(k) bytes stays inline; one more byte does not.
  const uint32_t nodemax = orv_nodemax(4096);
  for (size_t k : {1u, 2u, 5u, 511u}) {
    SCOPED_TRACE(k);
    const size_t fits = nodemax - 8 - even(k);
    EXPECT_LE(leaf_node_size(k, fits), nodemax);
    EXPECT_GT(leaf_node_size(k, fits + 1), nodemax);
  }
  // Two maximal nodes fit on one page built by hand.
  TestPage pg(P_LEAF);
  pg.add_leaf("k", std::string(nodemax - 8 - 2, 'a'));
  pg.add_leaf("l", std::string(nodemax - 8 - 2, 'b'));
  EXPECT_EQ(size_left(pg.mp()), 0u);
  EXPECT_EQ(pg.mp()->mp_upper, pg.mp()->mp_lower);
}

TEST(Layout, Leaf2KeysArePackedAfterHeader) {
  TestPage pg(P_LEAF | P_LEAF2);
  for (const char *k : {"aaaaaa", "bbbbbb", "cccccc"}) pg.add_leaf2(k);
  EXPECT_EQ(numkeys(pg.mp()), 3u);
  EXPECT_EQ(pg.mp()->mp_pad, 6);
  EXPECT_EQ(offset_in_page(pg, leaf2_key(pg.mp(), 2, pg.mp()->mp_pad)), 16u + 12);
  EXPECT_EQ(std::memcmp(leaf2_key(pg.mp(), 1, 6), "bbbbbb", 6), 0);
  EXPECT_EQ(size_left(pg.mp()), kPsize - 16 - 18);  // free space = used bytes
}

// ---- Entry counts ---------------------------------------------------------------

// A 256-byte sub-page holding the given values, as the bytes of a node
// value; the gap between its slots and nodes is slack as in real sub-pages.
std::vector<uint64_t> make_subpage(const std::vector<std::string> &values, size_t *size) {
  TestPage sp(P_LEAF | P_DIRTY | P_SUBP, 256);
  for (const auto &v : values) sp.add_leaf(v, "");
  *size = 256;
  std::vector<uint64_t> out(32);
  std::memcpy(out.data(), sp.mp(), 256);
  return out;
}

std::string db_record(uint64_t entries) {
  ORV_db db{};
  db.md_depth = 2;
  db.md_entries = entries;
  db.md_root = 9;
  return std::string(reinterpret_cast<const char *>(&db), sizeof db);
}

TEST(Entries, LeafNodesCountPairsAndDuplicates) {
  size_t spsize = 0;
  auto sub = make_subpage({"v1", "v2", "v3"}, &spsize);

  TestPage only_sub(P_LEAF);
  ORV_node *n = only_sub.add_leaf_raw("key", sub.data(), spsize, F_DUPDATA);
  EXPECT_EQ(orv_node_entries(only_sub.mp(), n), 3u);
  EXPECT_EQ(orv_page_entries(only_sub.mp()), 3u);

  // A 10-byte node first leaves the record at a 2-byte aligned address.
  TestPage only_tree(P_LEAF);
  only_tree.add_leaf("", "zz");
  ORV_node *t = only_tree.add_leaf("k", db_record(1000), F_DUPDATA | F_SUBDATA);
  ASSERT_NE(reinterpret_cast<uintptr_t>(node_data(t)) % 8, 0u);
  EXPECT_EQ(orv_node_entries(only_tree.mp(), t), 1000u);
  EXPECT_EQ(orv_page_entries(only_tree.mp()), 1001u);

  TestPage mixed(P_LEAF);
  mixed.add_leaf("a", "1");
  mixed.add_leaf_raw("b", sub.data(), spsize, F_DUPDATA);
  mixed.add_leaf("c", db_record(1000), F_DUPDATA | F_SUBDATA);
  ORV_node *named = mixed.add_leaf("d", db_record(55), F_SUBDATA);  // a named db: one entry
  mixed.add_leaf("e", std::string(8, '\0'), F_BIGDATA);
  EXPECT_EQ(orv_node_entries(mixed.mp(), named), 1u);
  EXPECT_EQ(orv_page_entries(mixed.mp()), 1u + 3 + 1000 + 1 + 1);

  TestPage empty(P_LEAF);
  EXPECT_EQ(orv_page_entries(empty.mp()), 0u);
}

// A damaged node of duplicates counts nothing instead of being read past
// what the page holds for it.
TEST(Entries, DamagedDuplicateNodesCountNothing) {
  size_t spsize = 0;
  auto sub = make_subpage({"v1", "v2", "v3"}, &spsize);
  struct Case {
    const char *name;
    uint16_t flags;
    uint16_t lower;  // the sub-page's mp_lower; 0 keeps it
  } cases[] = {
      {"on overflow pages", F_DUPDATA | F_BIGDATA, 0},
      {"slots past the value", F_DUPDATA, static_cast<uint16_t>(spsize + 2)},
      {"slots below the header", F_DUPDATA, 2},
  };
  for (const Case &c : cases) {
    std::string bytes(reinterpret_cast<const char *>(sub.data()), spsize);
    if (c.lower != 0) reinterpret_cast<ORV_page *>(bytes.data())->mp_lower = c.lower;
    TestPage pg(P_LEAF);
    ORV_node *n = pg.add_leaf_raw("key", bytes.data(), spsize, c.flags);
    EXPECT_EQ(orv_node_entries(pg.mp(), n), 0u) << c.name;
  }
}

TEST(Entries, Leaf2PagesCountKeys) {
  TestPage pg(P_LEAF | P_LEAF2);
  for (const char *k : {"aaaa", "bbbb", "cccc", "dddd"}) pg.add_leaf2(k);
  EXPECT_EQ(orv_page_entries(pg.mp()), 4u);
  EXPECT_EQ(orv_node_entries(pg.mp(), nullptr), 1u);
}

TEST(Entries, BranchPagesSumCountsOnlyWhenCounted) {
  TestPage counted(P_BRANCH | P_COUNTED);
  counted.add_branch("", 10, 5);
  counted.add_branch("m", 11, 600);
  ORV_node *n = counted.add_branch("t", 12, 1ull << 40);
  EXPECT_EQ(orv_page_entries(counted.mp()), 605u + (1ull << 40));
  EXPECT_EQ(orv_node_entries(counted.mp(), n), 0u);

  TestPage plain(P_BRANCH);
  plain.add_branch("", 10);
  plain.add_branch("m", 11);
  EXPECT_EQ(orv_page_entries(plain.mp()), 0u);

  TestPage ovf(P_OVERFLOW);
  set_mp_pages(ovf.mp(), 3);
  EXPECT_EQ(orv_page_entries(ovf.mp()), 0u);
}

TEST(Entries, BranchSetCountReturnsTheChange) {
  TestPage pg(P_BRANCH | P_COUNTED);
  pg.add_branch("", 10, 5);
  ORV_node *n11 = pg.add_branch("m", 11, 6);
  ORV_node *dup = pg.add_branch("t", 11, 7);  // same child twice: the first wins

  EXPECT_EQ(orv_branch_set_count(pg.mp(), 11, 20), 14);
  EXPECT_EQ(node_count(n11), 20u);
  EXPECT_EQ(node_count(dup), 7u);
  EXPECT_EQ(orv_branch_set_count(pg.mp(), 10, 2), -3);
  EXPECT_EQ(orv_branch_set_count(pg.mp(), 11, 20), 0);  // unchanged value
  EXPECT_EQ(orv_branch_set_count(pg.mp(), 99, 1), 0);   // no such child
  EXPECT_EQ(orv_page_entries(pg.mp()), 2u + 20 + 7);

  EXPECT_EQ(orv_branch_set_count(nullptr, 11, 1), 0);
  TestPage plain(P_BRANCH);
  ORV_node *p = plain.add_branch("", 11);
  EXPECT_EQ(orv_branch_set_count(plain.mp(), 11, 9), 0);
  EXPECT_EQ(node_ptr(plain.mp(), 0), p);
  TestPage empty(P_BRANCH | P_COUNTED);
  EXPECT_EQ(orv_branch_set_count(empty.mp(), 11, 9), 0);
  TestPage leaf(P_LEAF);
  leaf.add_leaf("k", std::string(16, 'x'));
  const std::vector<std::byte> before(leaf.bytes(), leaf.bytes() + kPsize);
  EXPECT_EQ(orv_branch_set_count(leaf.mp(), 0, 9), 0);
  EXPECT_EQ(std::memcmp(before.data(), leaf.bytes(), kPsize), 0);
}

// A cursor whose stack is: counted root, counted middle, plain branch,
// counted branch, leaf.
class CountsAdjust : public ::testing::Test {
 protected:
  void SetUp() override {
    for (unsigned i = 0; i < 3; ++i) {
      root_.add_branch(i ? "k" : "", 100 + i, 10 * (i + 1));
      mid_.add_branch(i ? "k" : "", 200 + i, 3);
      low_.add_branch(i ? "k" : "", 400 + i, 8);
    }
    plain_.add_branch("", 300);
    leaf_.add_leaf("k", "v");
    ORV_page *stack[] = {root_.mp(), mid_.mp(), plain_.mp(), low_.mp(), leaf_.mp()};
    for (unsigned l = 0; l < 5; ++l) {
      mc_.mc_pg[l] = stack[l];
      mc_.mc_ki[l] = 1;
    }
    mc_.mc_ki[2] = 0;
    mc_.mc_ki[4] = 0;
    mc_.mc_snum = 5;
    mc_.mc_top = 4;
  }
  uint64_t count(TestPage &pg, unsigned i) { return node_count(node_ptr(pg.mp(), i)); }

  TestPage root_{P_BRANCH | P_COUNTED}, mid_{P_BRANCH | P_COUNTED};
  TestPage plain_{P_BRANCH}, low_{P_BRANCH | P_COUNTED}, leaf_{P_LEAF};
  ORV_cursor mc_{};
};

TEST_F(CountsAdjust, AppliesDeltaFromLevelToRootSaturatingAtZero) {
  orv_counts_adjust(&mc_, 1, -5);
  EXPECT_EQ(count(mid_, 1), 0u);  // 3 - 5 saturates
  EXPECT_EQ(count(root_, 1), 15u);
  EXPECT_EQ(count(mid_, 0), 3u);  // only the path's slots change
  EXPECT_EQ(count(low_, 1), 8u);  // below the level: untouched

  orv_counts_adjust(&mc_, 3, 4);  // passes over the uncounted level
  EXPECT_EQ(count(low_, 1), 12u);
  EXPECT_EQ(count(mid_, 1), 4u);
  EXPECT_EQ(count(root_, 1), 19u);
}

TEST_F(CountsAdjust, NoOpCases) {
  orv_counts_adjust(&mc_, 3, 0);
  orv_counts_adjust(&mc_, -1, 9);
  EXPECT_EQ(count(root_, 1), 20u);
  EXPECT_EQ(count(low_, 1), 8u);

  // A slot at or past NUMKEYS is skipped, the walk goes on above it.
  mc_.mc_ki[1] = 3;
  orv_counts_adjust(&mc_, 1, 1);
  EXPECT_EQ(count(root_, 1), 21u);
  for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(count(mid_, i), 3u);

  // An empty stack entry stops the walk.
  mc_.mc_ki[1] = 1;
  mc_.mc_pg[2] = nullptr;
  orv_counts_adjust(&mc_, 3, 1);
  EXPECT_EQ(count(low_, 1), 9u);
  EXPECT_EQ(count(mid_, 1), 3u);
  EXPECT_EQ(count(root_, 1), 21u);
}

TEST_F(CountsAdjust, LargeNegativeDeltaClampsWithoutOverflow) {
  orv_counts_adjust(&mc_, 0, INT64_MIN);
  EXPECT_EQ(count(root_, 1), 0u);
  set_node_count(node_ptr(root_.mp(), 1), UINT64_MAX - 1);
  orv_counts_adjust(&mc_, 0, 5);
  EXPECT_EQ(count(root_, 1), UINT64_MAX);
}

}  // namespace
