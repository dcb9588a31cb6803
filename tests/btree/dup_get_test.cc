// [dup get]: lib/btree/cursor_get.cc, cursor_move.cc (duplicate reads),
// lib/btree/list_dup.cc, orv_cursor_count
//
// One store per flag set holds keys in every form (single value, small and
// full sub-pages, sub-databases of one and of several pages); every
// duplicate read is checked against a model in a read-only snapshot and in
// the write transaction that built it: the steps within and across value
// sets in both directions, the keyed searches, the counts, the
// multiple-value reads and orv_cursor_list_dup.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "btree/dup_harness.h"
#include "util/fixtures.h"

namespace {

using orv_dup_test::cval;
using orv_dup_test::DupFlags;
using orv_dup_test::kDupFlags;
using orv_dup_test::make_key;
using orv_dup_test::make_value;
using orv_test::CursorPtr;
using orv_test::open_cursor;
using orv_test::str;
using orv_test::val;

using Entry = std::pair<std::string, std::string>;

// Values per key: every form, and neighbours of different forms.
const uint64_t kCounts[] = {1, 2, 5, 1, 40, 300, 1, 900, 3};

class DupGet : public orv_test::EnvFixture, public testing::WithParamInterface<DupFlags> {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *txn = begin();
    dbi_ = open_db(txn, "dups", ORV_DUPSORT | GetParam().flags);
    // Values number 2, 4, 6, ...: odd numbers fall between them.
    for (size_t k = 0; k < std::size(kCounts); k++) {
      for (uint64_t n = kCounts[k]; n-- > 0;) {
        const std::string key = make_key(k), v = make_value(GetParam(), 2 * n + 2);
        ORV_val kv = val(key), dv = val(v);
        ASSERT_EQ(orv_put(txn, dbi_, &kv, &dv, 0), 0);
      }
      for (uint64_t n = 0; n < kCounts[k]; n++)
        all_.emplace_back(make_key(k), make_value(GetParam(), 2 * n + 2));
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  // Runs body in a read-only snapshot and in a write transaction.
  template <typename F>
  void in_both(F &&body) {
    for (unsigned flags : {unsigned{ORV_RDONLY}, 0u}) {
      SCOPED_TRACE(flags ? "read-only" : "write");
      ORV_txn *txn = begin(flags);
      body(txn);
      orv_txn_abort(txn);
    }
  }

  // The stored values of key, in value order.
  std::vector<std::string> values_of(const std::string &key) const {
    std::vector<std::string> out;
    for (auto &e : all_)
      if (e.first == key) out.push_back(e.second);
    return out;
  }

  std::vector<Entry> all_;
  ORV_dbi dbi_ = 0;
};

TEST_P(DupGet, StepsVisitEveryValueInOrder) {
  in_both([&](ORV_txn *txn) {
    CursorPtr c = open_cursor(txn, dbi_);
    ORV_val k, v;
    std::vector<Entry> fwd, back, nodup_fwd, nodup_back;
    for (int rc = orv_cursor_get(c.get(), &k, &v, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &v, ORV_NEXT))
      fwd.emplace_back(str(k), str(v));
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_NEXT), ORV_NOTFOUND);
    for (int rc = orv_cursor_get(c.get(), &k, &v, ORV_LAST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &v, ORV_PREV))
      back.emplace_back(str(k), str(v));
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(fwd, all_);
    EXPECT_EQ(back, all_);

    // ORV_NEXT_NODUP lands on each key's first value, ORV_PREV_NODUP on its
    // last.
    std::vector<Entry> firsts, lasts;
    for (size_t i = 0; i < all_.size(); i++) {
      if (i == 0 || all_[i].first != all_[i - 1].first) firsts.push_back(all_[i]);
      if (i + 1 == all_.size() || all_[i].first != all_[i + 1].first) lasts.push_back(all_[i]);
    }
    for (int rc = orv_cursor_get(c.get(), &k, &v, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &v, ORV_NEXT_NODUP))
      nodup_fwd.emplace_back(str(k), str(v));
    for (int rc = orv_cursor_get(c.get(), &k, &v, ORV_LAST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &v, ORV_PREV_NODUP))
      nodup_back.emplace_back(str(k), str(v));
    std::reverse(nodup_back.begin(), nodup_back.end());
    EXPECT_EQ(nodup_fwd, firsts);
    EXPECT_EQ(nodup_back, lasts);
  });
}

TEST_P(DupGet, ValueStepsStayOnTheKey) {
  in_both([&](ORV_txn *txn) {
    CursorPtr c = open_cursor(txn, dbi_);
    for (size_t ki = 0; ki < std::size(kCounts); ki++) {
      const std::string key = make_key(ki);
      SCOPED_TRACE(key);
      const std::vector<std::string> want = values_of(key);
      ORV_val k = val(key), v;
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_SET_KEY), 0);
      EXPECT_EQ(str(k), key);
      EXPECT_EQ(str(v), want.front());
      uint64_t count = 0;
      ASSERT_EQ(orv_cursor_count(c.get(), &count), 0);
      EXPECT_EQ(count, want.size());
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_LAST_DUP), 0);
      EXPECT_EQ(str(v), want.back());
      std::vector<std::string> back{str(v)};
      while (orv_cursor_get(c.get(), &k, &v, ORV_PREV_DUP) == 0) {
        EXPECT_EQ(str(k), key);
        back.push_back(str(v));
      }
      std::reverse(back.begin(), back.end());
      EXPECT_EQ(back, want);
      // At the first value: ORV_PREV_DUP found nothing and did not move.
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_CURRENT), 0);
      EXPECT_EQ(str(v), want.front());
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_FIRST_DUP), 0);
      std::vector<std::string> fwd{str(v)};
      while (orv_cursor_get(c.get(), &k, &v, ORV_NEXT_DUP) == 0) fwd.push_back(str(v));
      EXPECT_EQ(fwd, want);
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_CURRENT), 0);
      EXPECT_EQ(str(k), key);
      EXPECT_EQ(str(v), want.back());
    }
  });
}

// ORV_GET_BOTH finds exactly the pairs stored; ORV_GET_BOTH_RANGE the first
// value not below the one given, on the key given only.
TEST_P(DupGet, PairSearches) {
  const DupFlags &df = GetParam();
  in_both([&](ORV_txn *txn) {
    CursorPtr c = open_cursor(txn, dbi_);
    for (size_t ki = 0; ki < std::size(kCounts); ki++) {
      const std::string key = make_key(ki);
      const uint64_t n = kCounts[ki];
      for (uint64_t m :
           {uint64_t{1}, uint64_t{2}, uint64_t{3}, n, 2 * n, 2 * n + 1, 2 * n + 2, 2 * n + 3}) {
        SCOPED_TRACE(key + " value " + std::to_string(m));
        const std::string probe = make_value(df, m);
        const bool stored = m % 2 == 0 && m >= 2 && m <= 2 * n;
        ORV_val k = val(key), v = val(probe);
        EXPECT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_BOTH), stored ? 0 : ORV_NOTFOUND);
        if (stored) {
          EXPECT_EQ(str(v), probe);
        }
        k = val(key);
        v = val(probe);
        const uint64_t next = m < 2 ? 2 : m % 2 ? m + 1 : m;
        const int rc = orv_cursor_get(c.get(), &k, &v, ORV_GET_BOTH_RANGE);
        if (next > 2 * n) {
          EXPECT_EQ(rc, ORV_NOTFOUND);
          continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(str(v), make_value(df, next));
        ORV_val gk, gv;
        ASSERT_EQ(orv_cursor_get(c.get(), &gk, &gv, ORV_GET_CURRENT), 0);
        EXPECT_EQ(str(gk), key);
        EXPECT_EQ(str(gv), make_value(df, next));
      }
    }
    // A key that is not there.
    ORV_val k = cval("zz"), v = val(make_value(df, 2));
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_BOTH), ORV_NOTFOUND);
    EXPECT_EQ(orv_get(txn, dbi_, &k, &v), ORV_NOTFOUND);
    // orv_get hands back the first value.
    const std::string k4 = make_key(5);
    k = val(k4);
    ASSERT_EQ(orv_get(txn, dbi_, &k, &v), 0);
    EXPECT_EQ(str(v), make_value(df, 2));
  });
}

// The multiple-value reads hand out whole pages of fixed-size values; put
// together they are the key's values in order, forward and backward.
TEST_P(DupGet, MultipleReadsHandOutWholePages) {
  const DupFlags &df = GetParam();
  if (!df.fixed) GTEST_SKIP() << "values of varied sizes";
  in_both([&](ORV_txn *txn) {
    CursorPtr c = open_cursor(txn, dbi_);
    for (size_t ki = 0; ki < std::size(kCounts); ki++) {
      const std::string key = make_key(ki);
      SCOPED_TRACE(key);
      std::string want;
      for (auto &e : all_)
        if (e.first == key) want += e.second;
      ORV_val k = val(key), v;
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_SET), 0);
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_MULTIPLE), 0);
      std::string got = str(v);
      int pages = 1;
      while (orv_cursor_get(c.get(), &k, &v, ORV_NEXT_MULTIPLE) == 0) {
        got += str(v);
        pages++;
      }
      if (kCounts[ki] == 1) {
        // A single value has no value tree to hand out.
        EXPECT_EQ(got, want);
        continue;
      }
      EXPECT_EQ(got, want);
      // A page holds 4080 bytes of values (4096-byte pages).
      EXPECT_EQ(pages > 1, kCounts[ki] * df.fixed > 4080);
      // Backward from the last page.
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_SET), 0);
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_LAST_DUP), 0);
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_MULTIPLE), 0);
      std::string back = str(v);
      while (orv_cursor_get(c.get(), &k, &v, ORV_PREV_MULTIPLE) == 0) back = str(v) + back;
      EXPECT_EQ(back, want);
    }
  });
}

// orv_cursor_list_dup: every value of the key at once, as the steps give
// them; the cursor stays where it was.
TEST_P(DupGet, ListDupGivesEveryValue) {
  in_both([&](ORV_txn *txn) {
    CursorPtr c = open_cursor(txn, dbi_);
    for (size_t ki = 0; ki < std::size(kCounts); ki++) {
      const std::string key = make_key(ki);
      SCOPED_TRACE(key);
      const std::vector<std::string> want = values_of(key);
      ORV_val k = val(key), v;
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_SET), 0);
      // Stand on a value in the middle.
      for (size_t i = 0; i < want.size() / 2; i++)
        ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_NEXT_DUP), 0);
      ORV_val *vals = nullptr;
      uint64_t n = 0;
      if (want.size() == 1) {
        EXPECT_EQ(orv_cursor_list_dup(c.get(), &vals, &n), ORV_NOTFOUND);
        continue;
      }
      for (int round = 0; round < 2; round++) {  // the second reuses decoded values
        ASSERT_EQ(orv_cursor_list_dup(c.get(), &vals, &n), 0);
        std::vector<std::string> got;
        for (uint64_t i = 0; i < n; i++) got.push_back(str(vals[i]));
        EXPECT_EQ(got, want);
      }
      ORV_val gk, gv;
      ASSERT_EQ(orv_cursor_get(c.get(), &gk, &gv, ORV_GET_CURRENT), 0);
      EXPECT_EQ(str(gk), key);
      EXPECT_EQ(str(gv), want[want.size() / 2]);
      ASSERT_EQ(orv_cursor_get(c.get(), &gk, &gv, ORV_NEXT_DUP),
                want.size() / 2 + 1 < want.size() ? 0 : ORV_NOTFOUND);
    }
    // Unpositioned, and past the end.
    CursorPtr fresh = open_cursor(txn, dbi_);
    ORV_val *vals = nullptr;
    uint64_t n = 0;
    EXPECT_EQ(orv_cursor_list_dup(fresh.get(), &vals, &n), ORV_NOTFOUND);
    EXPECT_EQ(orv_cursor_list_dup(fresh.get(), nullptr, &n), EINVAL);
    ORV_val k, v;
    ASSERT_EQ(orv_cursor_get(fresh.get(), &k, &v, ORV_LAST), 0);
    EXPECT_EQ(orv_cursor_get(fresh.get(), &k, &v, ORV_NEXT), ORV_NOTFOUND);
    ASSERT_EQ(orv_cursor_list_dup(fresh.get(), &vals, &n), 0);
    EXPECT_EQ(n, kCounts[std::size(kCounts) - 1]);
  });
}

INSTANTIATE_TEST_SUITE_P(Flags, DupGet, testing::ValuesIn(kDupFlags),
                         [](const testing::TestParamInfo<DupFlags> &i) { return i.param.name; });

class DupGetErrors : public orv_test::EnvFixture {};

// Duplicate reads where they do not apply.
TEST_F(DupGetErrors, ReadsThatDoNotApply) {
  ORV_txn *txn = begin();
  ORV_dbi plain = open_db(txn, "plain", 0);
  ORV_dbi dups = open_db(txn, "dups", ORV_DUPSORT);
  for (ORV_dbi d : {plain, dups}) {
    ORV_val k = cval("k"), v = cval("v");
    ASSERT_EQ(orv_put(txn, d, &k, &v, 0), 0);
  }
  CursorPtr p = open_cursor(txn, plain);
  CursorPtr d = open_cursor(txn, dups);
  ORV_val k, v;
  uint64_t n = 0;
  ORV_val *vals = nullptr;
  // Unpositioned.
  EXPECT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_FIRST_DUP), EINVAL);
  EXPECT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_GET_CURRENT), EINVAL);
  EXPECT_EQ(orv_cursor_count(d.get(), &n), EINVAL);
  // Without duplicates.
  ASSERT_EQ(orv_cursor_get(p.get(), &k, &v, ORV_FIRST), 0);
  EXPECT_EQ(orv_cursor_count(p.get(), &n), ORV_INCOMPATIBLE);
  EXPECT_EQ(orv_cursor_list_dup(p.get(), &vals, &n), ORV_INCOMPATIBLE);
  EXPECT_EQ(orv_cursor_get(p.get(), &k, &v, ORV_NEXT_DUP), ORV_NOTFOUND);
  EXPECT_EQ(orv_cursor_get(p.get(), &k, &v, ORV_GET_MULTIPLE), ORV_INCOMPATIBLE);
  // One value: no value tree.
  ASSERT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_FIRST), 0);
  EXPECT_EQ(orv_cursor_count(d.get(), &n), 0);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_NEXT_DUP), ORV_NOTFOUND);
  EXPECT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_PREV_DUP), ORV_NOTFOUND);
  EXPECT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_LAST_DUP), 0);
  EXPECT_EQ(str(v), "v");
  EXPECT_EQ(orv_cursor_get(d.get(), &k, &v, ORV_GET_MULTIPLE), ORV_INCOMPATIBLE);
  // The transaction's end releases its cursors.
  p.release();
  d.release();
  orv_txn_abort(txn);
}

// A damaged sub-page or sub-database record is reported, never trusted.
TEST_F(DupGetErrors, DamagedValueTreesAreCorrupted) {
  struct Damage {
    const char *name;
    int values;  // 3: a sub-page; 400: a sub-database
    size_t offset;
    uint16_t value;
  };
  const Damage cases[] = {
      {"subpage_upper_past_end", 3, offsetof(ORV_page, mp_upper), 0xFFF0},
      {"subpage_lower_below_header", 3, offsetof(ORV_page, mp_lower), 4},
      {"subpage_lower_past_upper", 3, offsetof(ORV_page, mp_lower), 0x7FF0},
      {"subpage_not_a_leaf", 3, offsetof(ORV_page, mp_flags), P_BRANCH | P_SUBP},
      {"subpage_first_slot_outside", 3, PAGEHDRSZ, 0x7FF0},
      {"subdb_root_invalid", 400, offsetof(ORV_db, md_root), 1},
      {"subdb_depth_zero", 400, offsetof(ORV_db, md_depth), 0},
      {"subdb_flags_unknown", 400, offsetof(ORV_db, md_flags), 0x4000},
  };
  for (const Damage &dm : cases) {
    SCOPED_TRACE(dm.name);
    ORV_txn *txn = begin();
    ORV_dbi dbi = open_db(txn, dm.name, ORV_DUPSORT);
    for (int n = 0; n < dm.values; n++) {
      const std::string v = "value" + std::to_string(1000 + n);
      ORV_val k = cval("k"), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &k, &dv, 0), 0);
    }
    // Damage the node's value in the dirty leaf.
    CursorPtr c = open_cursor(txn, dbi);
    ORV_val k = cval("k"), v;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_SET), 0);
    ORV_node *node = node_ptr(cursor_page(c.get()), cursor_slot(c.get()));
    ASSERT_TRUE(node->mn_flags & F_DUPDATA);
    std::memcpy(static_cast<char *>(node_data(node)) + dm.offset, &dm.value, sizeof dm.value);
    CursorPtr c2 = open_cursor(txn, dbi);
    k = cval("k");
    EXPECT_EQ(orv_cursor_get(c2.get(), &k, &v, ORV_SET), ORV_CORRUPTED);
    c.release();
    c2.release();
    orv_txn_abort(txn);
  }
}

}  // namespace
