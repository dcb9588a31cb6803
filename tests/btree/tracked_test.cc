// [tracked cursors]: orv_tracked_each, orv_txn_cursors_each, ORV_cursor_tracker
// (lib/btree/btree.h, lib/btree/cursor.cc).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "btree/btree.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

class Tracked : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    txn_ = begin();
    ASSERT_NE(txn_, nullptr);
  }
  void TearDown() override {
    orv_txn_abort(txn_);
    EnvFixture::TearDown();
  }
  // A zeroed cursor of the main database with its sub-cursor.
  struct Pair {
    ORV_cursor mc;
    ORV_xcursor mx;
  };
  void init(Pair &p) {
    std::memset(static_cast<void *>(&p), 0, sizeof p);
    orv_cursor_init(&p.mc, txn_, MAIN_DBI, &p.mx);
  }
  std::vector<ORV_cursor *> listed() {
    std::vector<ORV_cursor *> out;
    for (ORV_cursor *m = txn_->mt_cursors[MAIN_DBI]; m != nullptr; m = m->mc_next) out.push_back(m);
    return out;
  }
  ORV_txn *txn_ = nullptr;
};

TEST_F(Tracked, GuardsUnlinkInAnyOrder) {
  Pair a, b, c;
  init(a);
  init(b);
  init(c);
  auto *ga = new ORV_cursor_tracker(&a.mc);
  auto *gb = new ORV_cursor_tracker(&b.mc);
  auto *gc = new ORV_cursor_tracker(&c.mc);
  EXPECT_EQ(listed(), (std::vector<ORV_cursor *>{&c.mc, &b.mc, &a.mc}));
  delete gb;  // from the middle
  EXPECT_EQ(listed(), (std::vector<ORV_cursor *>{&c.mc, &a.mc}));
  delete ga;  // from the tail, before the newer one
  EXPECT_EQ(listed(), (std::vector<ORV_cursor *>{&c.mc}));
  delete gc;
  EXPECT_TRUE(listed().empty());
}

TEST_F(Tracked, ReadOnlyTransactionListsNothing) {
  ORV_txn *rd = begin(ORV_RDONLY);
  ASSERT_NE(rd, nullptr);
  Pair p;
  std::memset(static_cast<void *>(&p), 0, sizeof p);
  orv_cursor_init(&p.mc, rd, MAIN_DBI, &p.mx);
  {
    ORV_cursor_tracker track(&p.mc);
    int seen = 0;
    orv_tracked_each<ORV_TRACK_ALL>(&p.mc, [&](ORV_cursor *) { ++seen; });
    EXPECT_EQ(seen, 0);
  }
  orv_txn_abort(rd);
}

// A temporary sub-cursor is found by walks over its duplicate tree (they
// visit the sub-cursors of listed cursors) and leaves nothing behind.
TEST_F(Tracked, SubCursorGuardIsSeenByDuplicateTreeWalks) {
  Pair owner;
  init(owner);
  ORV_xcursor copy;
  std::memset(static_cast<void *>(&copy), 0, sizeof copy);
  orv_cursor_copy(&owner.mx.mx_cursor, &copy.mx_cursor);
  copy.mx_cursor.mc_flags = C_SUB | C_INITIALIZED;
  ORV_cursor *walker = &owner.mx.mx_cursor;
  walker->mc_flags = C_SUB | C_INITIALIZED;
  {
    ORV_cursor_tracker track(&copy.mx_cursor);
    std::vector<ORV_cursor *> seen;
    orv_tracked_each<ORV_TRACK_POSITIONED>(walker, [&](ORV_cursor *m) { seen.push_back(m); });
    EXPECT_EQ(seen, (std::vector<ORV_cursor *>{&copy.mx_cursor}));
  }
  EXPECT_TRUE(listed().empty());
}

// Which listed cursors each filter visits. Cursor 0 walks (2 levels,
// positioned); the others differ in position and depth.
TEST_F(Tracked, FiltersSelectCursors) {
  Pair c[4];
  for (auto &p : c) init(p);
  const struct {
    uint16_t snum;
    bool positioned;
  } state[4] = {{2, true}, {2, false}, {1, true}, {3, true}};
  std::vector<ORV_cursor_tracker *> guards;
  for (int i = 0; i < 4; i++) {
    c[i].mc.mc_snum = state[i].snum;
    if (state[i].positioned) c[i].mc.mc_flags |= C_INITIALIZED;
    guards.push_back(new ORV_cursor_tracker(&c[i].mc));
  }
  auto visits = [&](auto filter_tag) {
    std::vector<int> out;
    orv_tracked_each<decltype(filter_tag)::value>(&c[0].mc, [&](ORV_cursor *m) {
      for (int i = 0; i < 4; i++)
        if (m == &c[i].mc) out.push_back(i);
    });
    return out;
  };
  using V = std::vector<int>;
  EXPECT_EQ(visits(std::integral_constant<unsigned, ORV_TRACK_ALL>{}), (V{3, 2, 1, 0}));
  EXPECT_EQ(visits(std::integral_constant<unsigned, ORV_TRACK_OTHERS>{}), (V{3, 2, 1}));
  EXPECT_EQ(visits(std::integral_constant<unsigned, ORV_TRACK_POSITIONED>{}), (V{3, 2, 0}));
  EXPECT_EQ(visits(std::integral_constant<unsigned, ORV_TRACK_DEEP>{}), (V{3, 1, 0}));
  EXPECT_EQ(visits(std::integral_constant<unsigned, ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED |
                                                        ORV_TRACK_DEEP>{}),
            (V{3}));
  int all_dbs = 0;
  orv_txn_cursors_each(txn_, [&](ORV_cursor *) { ++all_dbs; });
  EXPECT_EQ(all_dbs, 4);
  for (auto *g : guards) delete g;
}

}  // namespace
