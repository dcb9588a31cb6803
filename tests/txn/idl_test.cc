// [idl]: lib/txn/idl.cc — ID lists (descending ORV_IDL) and id→pointer maps
// (ascending ORV_ID2L): search, growth, merge, sort, insert and append.
#include "idl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

using Ids = std::vector<ORV_ID>;

struct IdlDeleter {
  void operator()(ORV_ID *ids) const { orv_idl_free(ids); }
};
using IdlPtr = std::unique_ptr<ORV_ID, IdlDeleter>;

// A list of the given capacity holding ids in the given order.
IdlPtr make_idl(const Ids &ids, int capacity) {
  ORV_IDL l = orv_idl_alloc(capacity);
  EXPECT_NE(l, nullptr);
  for (size_t i = 0; i < ids.size(); ++i) l[i + 1] = ids[i];
  l[0] = ids.size();
  return IdlPtr(l);
}
IdlPtr make_idl(const Ids &ids) { return make_idl(ids, static_cast<int>(ids.size()) + 8); }

Ids contents(const ORV_ID *l) { return Ids(l + 1, l + 1 + l[0]); }
ORV_ID capacity(const ORV_ID *l) { return l[-1]; }

// Handles that may be replaced by growth.
struct Handle {
  ORV_IDL ids;
  explicit Handle(int cap) : ids(orv_idl_alloc(cap)) {}
  ~Handle() { orv_idl_free(ids); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
};

// ---- Search -------------------------------------------------------------------

TEST(IdlSearch, PositionsInDescendingList) {
  struct Case {
    Ids list;
    ORV_ID id;
    unsigned pos;
  };
  const Case cases[] = {
      {{}, 5, 1},             // empty list
      {{9, 7, 5, 3}, 10, 1},  // larger than all
      {{9, 7, 5, 3}, 9, 1},
      {{9, 7, 5, 3}, 8, 2},
      {{9, 7, 5, 3}, 7, 2},
      {{9, 7, 5, 3}, 6, 3},
      {{9, 7, 5, 3}, 5, 3},
      {{9, 7, 5, 3}, 4, 4},
      {{9, 7, 5, 3}, 3, 4},
      {{9, 7, 5, 3}, 2, 5},  // smaller than all: count + 1
      {{9, 7, 5, 3}, 0, 5},
      {{42}, 42, 1},
      {{42}, 43, 1},
      {{42}, 41, 2},
      {{~ORV_ID{0}, 1}, ~ORV_ID{0}, 1},
      {{~ORV_ID{0}, 1}, 2, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << "id " << c.id << " in " << c.list.size() << " ids");
    auto l = make_idl(c.list);
    EXPECT_EQ(orv_idl_search(l.get(), c.id), c.pos);
  }
}

TEST(IdlSearch, AgreesWithLowerBoundOnRandomLists) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    Ids ids(rng() % 64);
    for (auto &id : ids) id = rng() % 1000 * 2;  // even ids, odd ones are absent
    std::sort(ids.begin(), ids.end(), std::greater<>());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    auto l = make_idl(ids);
    for (ORV_ID probe = 0; probe <= 2001; ++probe) {
      auto it = std::lower_bound(ids.begin(), ids.end(), probe, std::greater<>());
      ASSERT_EQ(orv_idl_search(l.get(), probe), unsigned(it - ids.begin()) + 1)
          << "probe " << probe << " round " << round;
    }
  }
}

TEST(Id2lSearch, PositionsInAscendingMap) {
  std::vector<ORV_ID2> map(8);
  const ORV_ID mids[] = {3, 5, 7, 9};
  map[0].mid = 0;
  EXPECT_EQ(orv_id2l_search(map.data(), 4), 1u);  // empty map
  for (ORV_ID m : mids) map[++map[0].mid].mid = m;
  struct Case {
    ORV_ID id;
    unsigned pos;
  };
  for (const Case &c : {Case{0, 1}, Case{3, 1}, Case{4, 2}, Case{5, 2}, Case{6, 3}, Case{8, 4},
                        Case{9, 4}, Case{10, 5}}) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(orv_id2l_search(map.data(), c.id), c.pos);
  }
}

// ---- Allocation and growth -------------------------------------------------------

TEST(IdlAlloc, CapacityAndEmptyCount) {
  auto l = IdlPtr(orv_idl_alloc(10));
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(capacity(l.get()), 10u);
  EXPECT_EQ(l.get()[0], 0u);
  EXPECT_EQ(orv_idl_alloc(-1), nullptr);
  orv_idl_free(nullptr);  // ignored
}

TEST(IdlNeed, GrowsByAQuarterInWholeBlocks) {
  Handle h(4);
  ASSERT_EQ(orv_idl_need(&h.ids, 200000), 0);
  // Block of (200000 + 50000 + 258) & ~255 = 250112 words, two of them header.
  EXPECT_EQ(capacity(h.ids), 250110u);
  EXPECT_EQ(h.ids[0], 0u);

  // Enough room: the block stays where it is.
  ORV_IDL before = h.ids;
  ASSERT_EQ(orv_idl_need(&h.ids, 250110), 0);
  EXPECT_EQ(h.ids, before);
  EXPECT_EQ(capacity(h.ids), 250110u);
}

TEST(IdlNeed, KeepsExistingIds) {
  Handle h(3);
  for (ORV_ID id : {30, 20, 10}) ASSERT_EQ(orv_idl_append(&h.ids, id), 0);
  ASSERT_EQ(orv_idl_need(&h.ids, 1), 0);  // t = 4: block (4 + 1 + 258) & ~255 = 256
  EXPECT_EQ(capacity(h.ids), 254u);
  EXPECT_EQ(contents(h.ids), (Ids{30, 20, 10}));
}

TEST(IdlAppend, GrowsByUmMaxWhenFull) {
  Handle h(2);
  ASSERT_EQ(orv_idl_append(&h.ids, 5), 0);
  ASSERT_EQ(orv_idl_append(&h.ids, 9), 0);
  EXPECT_EQ(capacity(h.ids), 2u);
  ASSERT_EQ(orv_idl_append(&h.ids, 1), 0);
  EXPECT_EQ(capacity(h.ids), 2u + ORV_IDL_UM_MAX);
  EXPECT_EQ(contents(h.ids), (Ids{5, 9, 1}));  // appends keep arrival order
}

TEST(IdlAppendList, GrowsAlsoWhenResultWouldExactlyFill) {
  Handle h(5);
  ASSERT_EQ(orv_idl_append(&h.ids, 100), 0);
  ASSERT_EQ(orv_idl_append(&h.ids, 90), 0);
  auto app = make_idl({7, 8, 6});
  ASSERT_EQ(orv_idl_append_list(&h.ids, app.get()), 0);
  EXPECT_EQ(capacity(h.ids), 8u);  // 2 + 3 >= 5: grown by 3
  EXPECT_EQ(contents(h.ids), (Ids{100, 90, 7, 8, 6}));

  // Room to spare: no growth.
  auto one = make_idl({1});
  ASSERT_EQ(orv_idl_append_list(&h.ids, one.get()), 0);
  EXPECT_EQ(capacity(h.ids), 8u);
  EXPECT_EQ(h.ids[0], 6u);

  auto empty = make_idl({});
  ASSERT_EQ(orv_idl_append_list(&h.ids, empty.get()), 0);
  EXPECT_EQ(h.ids[0], 6u);
}

TEST(IdlAppendRange, AppendsDescendingRun) {
  Handle h(8);
  ASSERT_EQ(orv_idl_append_range(&h.ids, 10, 4), 0);
  EXPECT_EQ(contents(h.ids), (Ids{13, 12, 11, 10}));
  EXPECT_EQ(capacity(h.ids), 8u);

  ASSERT_EQ(orv_idl_append_range(&h.ids, 3, 0), 0);  // n = 0 changes nothing
  EXPECT_EQ(h.ids[0], 4u);

  ASSERT_EQ(orv_idl_append_range(&h.ids, 1, 4), 0);  // exactly fills: no growth
  EXPECT_EQ(capacity(h.ids), 8u);
  ASSERT_EQ(orv_idl_append_range(&h.ids, 100, 1), 0);  // 8 + 1 > 8: grows by 1|UM_MAX
  EXPECT_EQ(capacity(h.ids), 8u + ORV_IDL_UM_MAX);
  EXPECT_EQ(contents(h.ids), (Ids{13, 12, 11, 10, 4, 3, 2, 1, 100}));
}

TEST(IdlShrink, TrimsOnlyOversizedBlocks) {
  Handle small(ORV_IDL_UM_MAX);
  ORV_IDL before = small.ids;
  orv_idl_shrink(&small.ids);
  EXPECT_EQ(small.ids, before);
  EXPECT_EQ(capacity(small.ids), ORV_IDL_UM_MAX);

  Handle big(200000);
  ASSERT_EQ(orv_idl_append_range(&big.ids, 1, 1000), 0);
  orv_idl_shrink(&big.ids);
  EXPECT_EQ(capacity(big.ids), ORV_IDL_UM_MAX);
  EXPECT_EQ(big.ids[0], 1000u);
  EXPECT_EQ(big.ids[1], 1000u);
  EXPECT_EQ(big.ids[1000], 1u);
}

TEST(IdlShrink, LeavesListThatStillHoldsMoreThanUmMax) {
  // Trimming would cut off counted ids; the list must stay whole.
  Handle h(200000);
  ASSERT_EQ(orv_idl_append_range(&h.ids, 1, 150000), 0);
  orv_idl_shrink(&h.ids);
  EXPECT_EQ(capacity(h.ids), 200000u);
  EXPECT_EQ(h.ids[0], 150000u);
  EXPECT_EQ(h.ids[150000], 1u);
}

// ---- Merge ---------------------------------------------------------------------

TEST(IdlXmerge, MergesDescendingListsKeepingDuplicates) {
  struct Case {
    Ids dst, src;
  };
  const Case cases[] = {
      {{9, 5, 1}, {}},  // empty source: unchanged
      {{}, {8, 4, 2}},  // empty destination: a copy
      {{}, {}},
      {{9, 5, 1}, {8, 4, 2}},  // interleaved
      {{3, 2, 1}, {9, 8, 7}},  // source all larger
      {{9, 8, 7}, {3, 2, 1}},  // source all smaller
      {{9, 5, 1}, {9, 5, 1}},  // all shared: both copies kept
      {{10, 7, 7, 2}, {7, 3}},
      {{~ORV_ID{0} - 1, 4}, {~ORV_ID{0}, 0}},  // extreme ids around the sentinel
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dst.size() << " + " << c.src.size());
    Handle dst(static_cast<int>(c.dst.size()));
    ASSERT_EQ(orv_idl_append_list(&dst.ids, make_idl(c.dst).get()), 0);
    ASSERT_EQ(orv_idl_need(&dst.ids, static_cast<unsigned>(c.src.size())), 0);
    auto src = make_idl(c.src);
    orv_idl_xmerge(dst.ids, src.get());
    Ids expected;
    std::merge(c.dst.begin(), c.dst.end(), c.src.begin(), c.src.end(), std::back_inserter(expected),
               std::greater<>());
    EXPECT_EQ(contents(dst.ids), expected);
    EXPECT_EQ(contents(src.get()), c.src);
  }
}

TEST(IdlXmerge, DestinationWithoutRoomIsLeftUnchanged) {
  auto dst = make_idl({9, 5}, 3);
  auto src = make_idl({8, 4});
  orv_idl_xmerge(dst.get(), src.get());
  EXPECT_EQ(contents(dst.get()), (Ids{9, 5}));
}

// ---- Sort ----------------------------------------------------------------------

TEST(IdlSort, MatchesStdSortOnEveryShape) {
  std::mt19937_64 rng(12345);
  const unsigned sizes[] = {0, 1, 2, 3, 8, 9, 10, 17, 100, 1000, 100000};
  enum Shape { kRandom, kAscending, kDescending, kEqual, kFewDistinct, kOrganPipe };
  for (unsigned n : sizes) {
    for (Shape shape : {kRandom, kAscending, kDescending, kEqual, kFewDistinct, kOrganPipe}) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " shape " << shape);
      Ids ids(n);
      for (unsigned i = 0; i < n; ++i) {
        switch (shape) {
          case kRandom:
            ids[i] = rng();
            break;
          case kAscending:
            ids[i] = i + 1;
            break;
          case kDescending:
            ids[i] = n - i;
            break;
          case kEqual:
            ids[i] = 77;
            break;
          case kFewDistinct:
            ids[i] = rng() % 3;
            break;
          case kOrganPipe:
            ids[i] = i < n / 2 ? i : n - i;
            break;
        }
      }
      auto l = make_idl(ids);
      orv_idl_sort(l.get());
      std::sort(ids.begin(), ids.end(), std::greater<>());
      ASSERT_EQ(contents(l.get()), ids);
    }
  }
}

TEST(IdlSort, ThenSearchFindsEveryId) {
  std::mt19937_64 rng(99);
  Ids ids(5000);
  for (auto &id : ids) id = rng() >> 20;
  auto l = make_idl(ids);
  orv_idl_sort(l.get());
  for (ORV_ID id : ids) {
    unsigned pos = orv_idl_search(l.get(), id);
    ASSERT_LE(pos, l.get()[0]);
    EXPECT_EQ(l.get()[pos], id);
  }
}

// ---- ID2 maps ------------------------------------------------------------------

class Id2lTest : public ::testing::Test {
 protected:
  std::vector<ORV_ID2> map_ = std::vector<ORV_ID2>(ORV_IDL_UM_SIZE);
  ORV_ID2L map() { return map_.data(); }
  std::vector<ORV_ID> mids() {
    std::vector<ORV_ID> out;
    for (ORV_ID i = 1; i <= map_[0].mid; ++i) out.push_back(map_[i].mid);
    return out;
  }
};

TEST_F(Id2lTest, InsertKeepsAscendingOrderAndRefusesDuplicates) {
  int tag[5];
  const ORV_ID order[] = {50, 10, 40, 20, 30};
  for (int i = 0; i < 5; ++i) {
    ORV_ID2 pair{order[i], &tag[i]};
    ASSERT_EQ(orv_id2l_insert(map(), &pair), 0);
  }
  EXPECT_EQ(mids(), (std::vector<ORV_ID>{10, 20, 30, 40, 50}));
  EXPECT_EQ(map_[4].mptr, &tag[2]);  // 40's pointer followed it

  ORV_ID2 dup{40, nullptr};
  EXPECT_EQ(orv_id2l_insert(map(), &dup), -1);
  EXPECT_EQ(mids(), (std::vector<ORV_ID>{10, 20, 30, 40, 50}));
  EXPECT_EQ(map_[4].mptr, &tag[2]);
}

TEST_F(Id2lTest, FullMapRefusesInsertAndAppend) {
  ORV_ID2 pair{0, nullptr};
  for (ORV_ID i = 1; i < ORV_IDL_UM_MAX; ++i) {
    pair.mid = i * 2;
    ASSERT_EQ(orv_id2l_append(map(), &pair), 0);
  }
  pair.mid = 1;  // fills the last free pair, at the front
  ASSERT_EQ(orv_id2l_insert(map(), &pair), 0);
  ASSERT_EQ(map_[0].mid, ORV_IDL_UM_MAX);
  EXPECT_EQ(map_[1].mid, 1u);
  EXPECT_EQ(map_[ORV_IDL_UM_MAX].mid, (ORV_IDL_UM_MAX - 1) * 2);

  pair.mid = 3;
  EXPECT_EQ(orv_id2l_insert(map(), &pair), -2);
  pair.mid = 4;  // present and full: the duplicate is reported
  EXPECT_EQ(orv_id2l_insert(map(), &pair), -1);
  pair.mid = ~ORV_ID{0};
  EXPECT_EQ(orv_id2l_append(map(), &pair), -2);
  EXPECT_EQ(map_[0].mid, ORV_IDL_UM_MAX);
  EXPECT_EQ(map_[2].mid, 2u);
}

TEST_F(Id2lTest, AppendDoesNotLookAtOrder) {
  ORV_ID2 a{9, nullptr}, b{3, nullptr};
  ASSERT_EQ(orv_id2l_append(map(), &a), 0);
  ASSERT_EQ(orv_id2l_append(map(), &b), 0);
  EXPECT_EQ(mids(), (std::vector<ORV_ID>{9, 3}));
}

}  // namespace
