// [page checks]: lib/page/page_check.cc, the rules a page read from the
// file must pass before it is used, each on a small page built here: sound
// pages pass, each kind of damage is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "page/page.h"

namespace {

constexpr size_t kPsize = 4096;
constexpr pgno_t kPgno = 7;

// One page buffer with a few nodes, in slot order.
struct PageBuf {
  alignas(8) unsigned char bytes[kPsize] = {};
  explicit PageBuf(uint16_t flags) {
    mp()->mp_pgno = kPgno;
    mp()->mp_flags = flags;
    mp()->mp_lower = PAGEHDRSZ;
    mp()->mp_upper = kPsize;
  }
  ORV_page *mp() { return reinterpret_cast<ORV_page *>(bytes); }
  ORV_node *add(const std::string &key, size_t dsize) {
    const size_t size =
        is_leaf(mp()) ? leaf_node_size(key.size(), dsize) : branch_node_size(mp(), key.size());
    mp()->mp_upper = static_cast<indx_t>(mp()->mp_upper - even(size));
    mp_ptrs(mp())[numkeys(mp())] = mp()->mp_upper;
    mp()->mp_lower += 2;
    ORV_node *node = node_ptr(mp(), numkeys(mp()) - 1);
    node->mn_ksize = static_cast<uint16_t>(key.size());
    if (is_leaf(mp())) set_node_dsize(node, dsize);
    // A leaf's key follows the 8-byte header whatever the page claims.
    std::memcpy(node_key(node, is_leaf(mp()) ? NODESIZE : node_hdrsz(mp())), key.data(),
                key.size());
    return node;
  }
};

TEST(PageCheck, TreePagesOfEveryKindAndTheirDamage) {
  struct Case {
    const char *what;
    uint16_t flags;
    void (*edit)(ORV_page *);
    bool leaf2_ok;
    bool ok;
  };
  const Case cases[] = {
      {"leaf", P_LEAF, nullptr, false, true},
      {"dirty leaf", P_LEAF | P_DIRTY, nullptr, false, true},
      {"branch", P_BRANCH, nullptr, false, true},
      {"counted branch", P_BRANCH | P_COUNTED, nullptr, false, true},
      {"fixed-size leaf in a tree of them", P_LEAF | P_LEAF2, nullptr, true, true},
      {"fixed-size leaf elsewhere", P_LEAF | P_LEAF2, nullptr, false, false},
      {"counted leaf", P_LEAF | P_COUNTED, nullptr, false, false},
      {"branch and leaf", P_BRANCH | P_LEAF, nullptr, false, false},
      {"overflow page", P_OVERFLOW, nullptr, false, false},
      {"meta page", P_META, nullptr, false, false},
      {"sub-page", P_LEAF | P_SUBP, nullptr, false, false},
      {"no kind", 0, nullptr, false, false},
      {"another page's number", P_LEAF, [](ORV_page *mp) { mp->mp_pgno = kPgno + 1; }, false,
       false},
      {"lower inside the header", P_LEAF, [](ORV_page *mp) { mp->mp_lower = 14; }, false, false},
      {"odd lower", P_LEAF, [](ORV_page *mp) { mp->mp_lower++; }, false, false},
      {"lower above upper", P_BRANCH,
       [](ORV_page *mp) { mp->mp_lower = static_cast<indx_t>(mp->mp_upper + 2); }, false, false},
      {"upper past the page", P_BRANCH, [](ORV_page *mp) { mp->mp_upper = kPsize + 2; }, false,
       false},
      {"fixed-size keys past the page", P_LEAF | P_LEAF2, [](ORV_page *mp) { mp->mp_pad = 2000; },
       true, false},
      {"fixed size 0", P_LEAF | P_LEAF2, [](ORV_page *mp) { mp->mp_pad = 0; }, true, false},
  };
  for (const Case &c : cases) {
    PageBuf pb(c.flags);
    if (c.flags & P_LEAF2) {
      pb.mp()->mp_pad = 8;
      for (int i = 0; i < 3; i++) {
        pb.mp()->mp_lower += 2;
        pb.mp()->mp_upper -= 6;
      }
    } else if (c.flags & (P_LEAF | P_BRANCH)) {
      pb.add("alpha", 5);
      pb.add("beta", 3);
    }
    if (c.edit != nullptr) c.edit(pb.mp());
    ORV_db tree{};
    tree.md_pad = 8;
    EXPECT_EQ(orv_tree_page_ok(pb.mp(), kPgno, kPsize, &tree, c.leaf2_ok), c.ok) << c.what;
    tree.md_flags = ORV_DUPFIXED;  // the main tree of a database of fixed-size duplicates
    EXPECT_EQ(orv_tree_page_ok(pb.mp(), kPgno, kPsize, &tree, false),
              c.ok || (c.flags == (P_LEAF | P_LEAF2) && c.edit == nullptr))
        << c.what;
  }
}

TEST(PageCheck, NodesMustLieInsideThePage) {
  PageBuf leaf(P_LEAF);
  leaf.add("k0", 10);
  ORV_node *big = leaf.add("k1", 10);
  ASSERT_TRUE(orv_page_shape_ok(leaf.mp(), kPsize));
  EXPECT_TRUE(orv_node_in_page(leaf.mp(), kPsize, 1, true));
  // The value reaches past the page, the key does not.
  set_node_dsize(big, kPsize);
  EXPECT_TRUE(orv_node_in_page(leaf.mp(), kPsize, 1, false));
  EXPECT_FALSE(orv_node_in_page(leaf.mp(), kPsize, 1, true));
  // An F_BIGDATA node stores 8 bytes whatever its value size.
  big->mn_flags = F_BIGDATA;
  EXPECT_TRUE(orv_node_in_page(leaf.mp(), kPsize, 1, true));
  big->mn_ksize = 60000;
  EXPECT_FALSE(orv_node_in_page(leaf.mp(), kPsize, 1, false));

  // Offsets: odd, inside the free space, past the page.
  for (unsigned ofs : {kPsize - 31, kPsize - 200, kPsize - 6, kPsize + 16}) {
    mp_ptrs(leaf.mp())[0] = static_cast<indx_t>(ofs);
    EXPECT_FALSE(orv_node_in_page(leaf.mp(), kPsize, 0, false)) << ofs;
  }

  // A counted branch node's key starts after its 8-byte count.
  PageBuf branch(P_BRANCH | P_COUNTED);
  branch.add("", 0);
  ORV_node *sep = branch.add("separator", 0);
  EXPECT_TRUE(orv_node_in_page(branch.mp(), kPsize, 1, false));
  sep->mn_ksize = static_cast<uint16_t>(kPsize - branch.mp()->mp_upper - 16 + 1);
  EXPECT_FALSE(orv_node_in_page(branch.mp(), kPsize, 1, false));
}

TEST(PageCheck, OverflowRuns) {
  PageBuf ov(P_OVERFLOW);
  set_mp_pages(ov.mp(), 2);
  const pgno_t end = kPgno + 2;  // the run is the last thing in use
  EXPECT_TRUE(orv_overflow_page_ok(ov.mp(), kPgno, kPsize, end, 2 * kPsize - PAGEHDRSZ));
  EXPECT_FALSE(orv_overflow_page_ok(ov.mp(), kPgno, kPsize, end, 2 * kPsize - PAGEHDRSZ + 1))
      << "a value longer than its run";
  EXPECT_FALSE(orv_overflow_page_ok(ov.mp(), kPgno, kPsize, end - 1, 10)) << "a run past the end";
  EXPECT_FALSE(orv_overflow_page_ok(ov.mp(), kPgno + 1, kPsize, end, 10)) << "another page";
  set_mp_pages(ov.mp(), 0);
  EXPECT_FALSE(orv_overflow_page_ok(ov.mp(), kPgno, kPsize, end, 0)) << "an empty run";
  set_mp_pages(ov.mp(), UINT32_MAX);
  EXPECT_FALSE(orv_overflow_page_ok(ov.mp(), kPgno, kPsize, kPgno + 1000, 10)) << "a huge run";
  PageBuf leaf(P_LEAF);
  EXPECT_FALSE(orv_overflow_page_ok(leaf.mp(), kPgno, kPsize, end, 0)) << "a leaf";
}

TEST(PageCheck, FreePageRecords) {
  struct Case {
    const char *what;
    std::vector<uint64_t> words;  // the count, then the page numbers
    size_t extra;                 // bytes after them
    bool ok;
  };
  const Case cases[] = {
      {"descending", {3, 90, 12, 2}, 0, true},
      {"longer value than the count", {1, 5}, 16, true},
      {"empty", {0}, 0, true},
      {"ascending", {2, 5, 9}, 0, false},
      {"a page twice", {3, 9, 5, 5}, 0, false},
      {"a meta page", {2, 5, 1}, 0, false},
      {"the end of the snapshot", {1, 100}, 0, false},
      {"a count past the value", {3, 9, 5}, 0, false},
      {"a huge count", {UINT64_MAX, 9}, 0, false},
  };
  for (const Case &c : cases) {
    std::vector<unsigned char> bytes(c.words.size() * 8 + c.extra);
    std::memcpy(bytes.data(), c.words.data(), c.words.size() * 8);
    uint64_t count = ~uint64_t{0};
    EXPECT_EQ(orv_free_record_ok(bytes.data(), bytes.size(), 100, &count), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(count, c.words[0]) << c.what;
    }
  }
  uint64_t count;
  EXPECT_FALSE(orv_free_record_ok("1234567", 7, 100, &count)) << "shorter than a count";
}

}  // namespace
