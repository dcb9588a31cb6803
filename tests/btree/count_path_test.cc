// [count_path]: lib/btree/count_path.cc
//
// Counts of a counted tree follow a changed page up the cursor's path: an
// applied change, a recount that corrects a wrong figure, saturation at
// zero, untouched siblings and a tree without counts.
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

TEST(CountPath, CountsFollowAChangedPage) {
  const ORV_page_ctx ctx{kPsize, orv_nodemax(kPsize), ORV_COUNTED};
  // root (counted) -> mid (counted) -> leaf with 3 entries.
  PageBuf pages[3];
  ORV_page *root = pages[0].page(), *mid = pages[1].page(), *leaf = pages[2].page();
  init_page(root, 2, P_BRANCH | P_COUNTED);
  init_page(mid, 3, P_BRANCH | P_COUNTED);
  init_page(leaf, 4, P_LEAF);
  const std::string s = "s";
  ORV_val sv = val(s);
  ASSERT_EQ(orv_node_add(ctx, root, 0, nullptr, nullptr, 90, 0, 100), 0);
  ASSERT_EQ(orv_node_add(ctx, root, 1, &sv, nullptr, 3, 0, 50), 0);
  ASSERT_EQ(orv_node_add(ctx, mid, 0, nullptr, nullptr, 91, 0, 47), 0);
  ASSERT_EQ(orv_node_add(ctx, mid, 1, &sv, nullptr, 4, 0, 3), 0);
  for (unsigned i = 0; i < 4; i++) {
    const std::string k(1, static_cast<char>('a' + i)), v = "v";
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_node_add(ctx, leaf, i, &kv, &dv, 0, 0, 0), 0);
  }

  ORV_db db{};
  db.md_flags = ORV_COUNTED;
  ORV_cursor mc{};
  mc.mc_db = &db;
  mc.mc_pg[0] = root;
  mc.mc_pg[1] = mid;
  mc.mc_pg[2] = leaf;
  mc.mc_ki[0] = 1;
  mc.mc_ki[1] = 1;
  mc.mc_ki[2] = 3;
  mc.mc_snum = 3;
  mc.mc_top = 2;
  // The leaf gained its fourth entry.
  orv_page_update_counts(&mc, leaf, 0, 1);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 4u);
  EXPECT_EQ(node_count(node_ptr(root, 1)), 51u);
  // A recount finds the exact figure whatever the stored one was.
  set_node_count(node_ptr(mid, 1), 9);
  orv_page_update_counts(&mc, leaf, 1, 0);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 4u);
  EXPECT_EQ(node_count(node_ptr(root, 1)), 46u);
  // Removals never take a count below zero.
  orv_page_update_counts(&mc, leaf, 0, -10);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 0u);
  EXPECT_EQ(node_count(node_ptr(root, 1)), 42u);
  // Untouched siblings keep their counts; an uncounted tree is left alone.
  EXPECT_EQ(node_count(node_ptr(mid, 0)), 47u);
  EXPECT_EQ(node_count(node_ptr(root, 0)), 100u);
  db.md_flags = 0;
  orv_page_update_counts(&mc, leaf, 1, 0);
  EXPECT_EQ(node_count(node_ptr(mid, 1)), 0u);
}

}  // namespace
