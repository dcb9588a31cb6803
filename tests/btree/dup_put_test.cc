// [dup put]: lib/btree/put.cc (duplicate writes), lib/btree/xcursor.cc
//
// Writes of sorted duplicates in every form a key's values take (single
// value, sub-page, sub-database) over a table of database flag sets, checked
// against a model after every scenario: the values of every key in value
// order through the duplicate reads, md_entries, orv_cursor_count, and the
// tree verifier (sub-pages, sub-databases, branch counts of counted trees).
// Then the refusals, which must change nothing and leave the transaction
// usable, the ORV_MULTIPLE write, and other cursors on a key whose values
// change form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/dup_harness.h"
#include "util/fixtures.h"
#include "util/verify.h"

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

class DupPut : public orv_test::EnvFixture, public testing::WithParamInterface<DupFlags> {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    txn_ = begin();
    dbi_ = open_db(txn_, "dups", ORV_DUPSORT | GetParam().flags);
  }
  void TearDown() override {
    if (txn_ != nullptr) orv_txn_abort(txn_);
    EnvFixture::TearDown();
  }

  // Orders values as the database does.
  bool less(const std::string &a, const std::string &b) const {
    ORV_val x = val(a), y = val(b);
    return orv_dcmp(txn_, dbi_, &x, &y) < 0;
  }

  int put(const std::string &k, const std::string &v, unsigned flags = 0) {
    ORV_val key = val(k), data = val(v);
    return orv_put(txn_, dbi_, &key, &data, flags);
  }
  void add(const std::string &k, const std::string &v) {
    ASSERT_EQ(put(k, v), 0) << k;
    auto &set = model_[k];
    if (std::find(set.begin(), set.end(), v) == set.end()) set.push_back(v);
  }

  // The values of key k through ORV_FIRST_DUP / ORV_NEXT_DUP.
  std::vector<std::string> values_of(const std::string &k) {
    std::vector<std::string> out;
    CursorPtr c = open_cursor(txn_, dbi_);
    ORV_val key = val(k), data;
    if (orv_cursor_get(c.get(), &key, &data, ORV_SET) != 0) return out;
    EXPECT_EQ(orv_cursor_get(c.get(), &key, &data, ORV_FIRST_DUP), 0);
    do {
      out.push_back(str(data));
    } while (orv_cursor_get(c.get(), &key, &data, ORV_NEXT_DUP) == 0);
    uint64_t count = 0;
    EXPECT_EQ(orv_cursor_count(c.get(), &count), 0);
    EXPECT_EQ(count, out.size()) << k;
    return out;
  }

  // The whole database against the model: every key's values in value
  // order, a walk with ORV_NEXT, md_entries and the tree's structure.
  void check() {
    uint64_t total = 0;
    std::vector<std::pair<std::string, std::string>> want;
    for (auto &[k, vs] : model_) {
      std::vector<std::string> sorted = vs;
      std::sort(sorted.begin(), sorted.end(),
                [this](const std::string &a, const std::string &b) { return less(a, b); });
      EXPECT_EQ(values_of(k), sorted) << "key " << k;
      for (auto &v : sorted) want.emplace_back(k, v);
      total += vs.size();
    }
    std::vector<std::pair<std::string, std::string>> got;
    CursorPtr c = open_cursor(txn_, dbi_);
    ORV_val key, data;
    for (int rc = orv_cursor_get(c.get(), &key, &data, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c.get(), &key, &data, ORV_NEXT))
      got.emplace_back(str(key), str(data));
    EXPECT_EQ(got, want);
    std::vector<std::pair<std::string, std::string>> back;
    for (int rc = orv_cursor_get(c.get(), &key, &data, ORV_LAST); rc == 0;
         rc = orv_cursor_get(c.get(), &key, &data, ORV_PREV))
      back.emplace_back(str(key), str(data));
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, want);
    ORV_stat st;
    ASSERT_EQ(orv_stat(txn_, dbi_, &st), 0);
    EXPECT_EQ(st.ms_entries, total);
    orv_test::ExpectTreeValid(txn_);
  }

  void commit_and_reopen() {
    ASSERT_EQ(orv_txn_commit(txn_), 0);
    txn_ = begin();
  }

  std::map<std::string, std::vector<std::string>> model_;
  ORV_txn *txn_ = nullptr;
  ORV_dbi dbi_ = 0;
};

// Values arrive in scrambled order; keys grow through every form: a single
// value, a sub-page that grows, a sub-database of several pages. Other keys
// on the same leaves keep theirs.
TEST_P(DupPut, ValuesGrowThroughEveryForm) {
  const DupFlags &df = GetParam();
  const uint64_t sizes[] = {1, 2, 3, 5, 17, 60, 400};
  std::mt19937 rng(7);
  for (size_t i = 0; i < std::size(sizes); i++) {
    std::vector<uint64_t> order(sizes[i]);
    for (uint64_t n = 0; n < sizes[i]; n++) order[n] = n * 3 + i;
    std::shuffle(order.begin(), order.end(), rng);
    for (uint64_t n : order) add(make_key(i), make_value(df, n));
    // Every value again, without flags: nothing changes.
    for (uint64_t n : order) ASSERT_EQ(put(make_key(i), make_value(df, n)), 0);
  }
  check();
  commit_and_reopen();
  check();
  // More values into committed sub-pages and sub-databases.
  for (size_t i = 0; i < std::size(sizes); i++) add(make_key(i), make_value(df, 100000 + i));
  check();
}

// Many keys interleaved, so that leaves split while their nodes hold
// sub-pages, across several transactions.
TEST_P(DupPut, InterleavedKeysSplitLeavesHoldingSubPages) {
  const DupFlags &df = GetParam();
  std::mt19937 rng(11);
  for (int round = 0; round < 3; round++) {
    for (int i = 0; i < 600; i++) {
      const uint64_t k = rng() % 80, n = rng() % (k % 4 == 0 ? 500 : 12);
      add(make_key(k), make_value(df, n));
    }
    check();
    commit_and_reopen();
  }
  check();
}

// Refusals change nothing, the transaction stays usable, and it commits.
TEST_P(DupPut, RefusalsLeaveTheStoreAndTransactionAsTheyWere) {
  const DupFlags &df = GetParam();
  // One key per form: single value, sub-page, sub-database.
  const uint64_t counts[] = {1, 4, 300};
  for (size_t i = 0; i < 3; i++)
    for (uint64_t n = 0; n < counts[i]; n++) add(make_key(i), make_value(df, n * 2 + 10));
  check();
  for (size_t i = 0; i < 3; i++) {
    const std::string k = make_key(i);
    SCOPED_TRACE(k);
    // An existing pair under ORV_NODUPDATA.
    EXPECT_EQ(put(k, make_value(df, 10), ORV_NODUPDATA), ORV_KEYEXIST);
    // ORV_APPENDDUP with a value not after the last: equal, before the
    // last, before the first.
    const uint64_t last = (counts[i] - 1) * 2 + 10;
    EXPECT_EQ(put(k, make_value(df, last), ORV_APPENDDUP), ORV_KEYEXIST);
    EXPECT_EQ(put(k, make_value(df, last - 1), ORV_APPENDDUP), ORV_KEYEXIST);
    EXPECT_EQ(put(k, make_value(df, 1), ORV_APPENDDUP), ORV_KEYEXIST);
    // Too long for a value tree's key.
    EXPECT_EQ(put(k, std::string(512, 'v')), ORV_BAD_VALSIZE);
    if (df.fixed) {
      // Of another size than the key's values.
      EXPECT_EQ(put(k, std::string(df.fixed + 1, 'w')), ORV_BAD_VALSIZE);
      EXPECT_EQ(put(k, std::string(df.fixed - 1, 'w')), ORV_BAD_VALSIZE);
    }
    check();
  }
  if (!(df.flags & ORV_DUPFIXED)) {
    const std::string k1 = make_key(1);
    ORV_val key = val(k1);
    ORV_val two[2] = {{4, const_cast<char *>("abcdefgh")}, {2, nullptr}};
    CursorPtr c = open_cursor(txn_, dbi_);
    EXPECT_EQ(orv_cursor_put(c.get(), &key, two, ORV_MULTIPLE), ORV_INCOMPATIBLE);
    EXPECT_EQ(two[1].mv_size, 2u);
    ORV_val data;
    EXPECT_EQ(orv_cursor_get(c.get(), &key, &data, ORV_SET), 0);
    EXPECT_EQ(orv_cursor_get(c.get(), &key, &data, ORV_GET_MULTIPLE), ORV_INCOMPATIBLE);
    EXPECT_EQ(orv_cursor_get(c.get(), &key, &data, ORV_NEXT_MULTIPLE), ORV_INCOMPATIBLE);
    EXPECT_EQ(orv_cursor_get(c.get(), &key, &data, ORV_PREV_MULTIPLE), ORV_INCOMPATIBLE);
  }
  commit_and_reopen();
  check();
}

// ORV_APPENDDUP with ascending values appends in every form, also through
// ORV_CURRENT | ORV_APPENDDUP on a cursor standing on the key (how the
// load tool writes a repeated key), which never replaces a value.
TEST_P(DupPut, AppendDupAppendsInEveryForm) {
  const DupFlags &df = GetParam();
  CursorPtr c = open_cursor(txn_, dbi_);
  for (uint64_t k = 0; k < 3; k++) {
    const std::string key = make_key(k);
    for (uint64_t n = 0; n < 250; n++) {
      ORV_val kv = val(key);
      const std::string v = make_value(df, n);
      ORV_val dv = val(v);
      const unsigned flags =
          n == 0 ? ORV_APPENDDUP : (n % 2 ? ORV_CURRENT | ORV_APPENDDUP : ORV_APPENDDUP);
      ASSERT_EQ(orv_cursor_put(c.get(), &kv, &dv, flags), 0) << n;
      model_[key].push_back(v);
      // The cursor stands on the value just written.
      ORV_val gk, gd;
      ASSERT_EQ(orv_cursor_get(c.get(), &gk, &gd, ORV_GET_CURRENT), 0);
      ASSERT_EQ(str(gd), v);
    }
  }
  check();
}

// A 0-byte value is accepted and read back in every form; equal to itself
// twice it stays one value.
TEST_P(DupPut, EmptyValueRoundTrips) {
  const DupFlags &df = GetParam();
  if (df.fixed) GTEST_SKIP() << "fixed-size values";
  add("k", "");
  add("k", "");
  check();
  add("k", make_value(df, 3));
  check();
  for (uint64_t n = 0; n < 300; n++) add("k", make_value(df, n));
  check();
  CursorPtr c = open_cursor(txn_, dbi_);
  ORV_val key = cval("k"), data = cval("");
  EXPECT_EQ(orv_cursor_get(c.get(), &key, &data, ORV_GET_BOTH), 0);
  EXPECT_EQ(data.mv_size, 0u);
  commit_and_reopen();
  check();
}

INSTANTIATE_TEST_SUITE_P(Flags, DupPut, testing::ValuesIn(kDupFlags),
                         [](const testing::TestParamInfo<DupFlags> &i) { return i.param.name; });

class DupPutFixed : public orv_test::EnvFixture {};

// ORV_MULTIPLE stores the block value by value, into every form, and
// reports the count stored; ORV_GET_MULTIPLE then hands out whole pages.
TEST_F(DupPutFixed, MultipleStoresEveryValueAndReportsTheCount) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "m", ORV_DUPSORT | ORV_DUPFIXED | ORV_INTEGERDUP);
  std::vector<uint64_t> vals(1000);
  for (size_t i = 0; i < vals.size(); i++) vals[i] = (i * 7919) % 1000 + (uint64_t{1} << 40);
  CursorPtr c = open_cursor(txn, dbi);
  const struct {
    const char *key;
    size_t first, count;
  } cases[] = {{"a", 0, 100}, {"b", 100, 1}, {"b", 101, 3}, {"b", 104, 896}};
  for (const auto &cs : cases) {
    ORV_val key = cval(cs.key);
    ORV_val data[2] = {{8, &vals[cs.first]}, {cs.count, nullptr}};
    ASSERT_EQ(orv_cursor_put(c.get(), &key, data, ORV_MULTIPLE), 0) << cs.key;
    EXPECT_EQ(data[1].mv_size, cs.count);
    EXPECT_EQ(data[0].mv_data, &vals[cs.first + cs.count]);
  }
  // The same block again stores nothing new but reports every value.
  ORV_val key = cval("a");
  ORV_val again[2] = {{8, &vals[0]}, {100, nullptr}};
  ASSERT_EQ(orv_cursor_put(c.get(), &key, again, ORV_MULTIPLE), 0);
  EXPECT_EQ(again[1].mv_size, 100u);
  // ORV_NODUPDATA stops at the first existing value: one new value stored.
  uint64_t block[3] = {5, vals[3], 6};
  ORV_val nodup[2] = {{8, block}, {3, nullptr}};
  EXPECT_EQ(orv_cursor_put(c.get(), &key, nodup, ORV_MULTIPLE | ORV_NODUPDATA), ORV_KEYEXIST);
  EXPECT_EQ(nodup[1].mv_size, 1u);
  // A value of the wrong size is refused before anything is stored.
  uint32_t small[2] = {1, 2};
  ORV_val bad[2] = {{4, small}, {2, nullptr}};
  EXPECT_EQ(orv_cursor_put(c.get(), &key, bad, ORV_MULTIPLE), ORV_BAD_VALSIZE);
  EXPECT_EQ(bad[1].mv_size, 2u);

  for (const char *k : {"a", "b"}) {
    std::vector<uint64_t> want;
    if (k[0] == 'a') {
      want.assign(vals.begin(), vals.begin() + 100);
      want.push_back(5);
    } else {
      want.assign(vals.begin() + 100, vals.end());
    }
    std::sort(want.begin(), want.end());
    ORV_val kv = cval(k), data;
    ASSERT_EQ(orv_cursor_get(c.get(), &kv, &data, ORV_SET), 0);
    std::vector<uint64_t> got;
    int pages = 0;
    ASSERT_EQ(orv_cursor_get(c.get(), &kv, &data, ORV_GET_MULTIPLE), 0);
    do {
      ASSERT_EQ(data.mv_size % 8, 0u);
      for (size_t i = 0; i < data.mv_size / 8; i++) {
        uint64_t v;
        std::memcpy(&v, static_cast<char *>(data.mv_data) + i * 8, 8);
        got.push_back(v);
      }
      pages++;
    } while (orv_cursor_get(c.get(), &kv, &data, ORV_NEXT_MULTIPLE) == 0 && str(kv) == k);
    EXPECT_EQ(got, want) << k;
    if (k[0] == 'b') {
      EXPECT_GT(pages, 1);
    }
  }
  orv_test::ExpectTreeValid(txn);
  c.release();  // the transaction's end releases its cursors
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

// Other cursors on, before and after the changed key follow their entries
// while a value is added and the key's values change form.
TEST_F(DupPutFixed, OtherCursorsFollowTheirEntries) {
  struct Case {
    const char *name;
    unsigned flags;
    int before;  // values of the middle key before the write
    int after;   // values it has after (every form change on the way)
  };
  const Case cases[] = {
      {"single_to_subpage", 0, 1, 2},
      {"subpage_grows", 0, 3, 8},
      {"subpage_to_subdb", 0, 3, 200},
      {"subdb_grows", 0, 200, 260},
      {"fixed_single_to_subpage", ORV_DUPFIXED, 1, 2},
      {"fixed_subpage_to_subdb", ORV_DUPFIXED, 3, 600},
      {"prefix_subpage_to_subdb", ORV_PREFIXKEY, 2, 150},
      {"counted", ORV_COUNTED, 1, 150},
  };
  for (const Case &cs : cases) {
    SCOPED_TRACE(cs.name);
    ORV_txn *txn = begin();
    ORV_dbi dbi = open_db(txn, cs.name, ORV_DUPSORT | cs.flags);
    auto value = [](int n) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "v%06d", n);
      return std::string(buf);
    };
    auto put = [&](const std::string &k, const std::string &v) {
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    };
    put("a", value(0));
    put("c", value(0));
    put("c", value(1));
    // The middle key's values: even numbers, so that odd ones fall between.
    for (int n = 0; n < cs.before; n++) put("b", value(2 * n + 10));
    // Cursors on a, on the first, a middle and the last value of b, on c.
    struct Probe {
      CursorPtr c;
      std::string key, value;
    };
    std::vector<Probe> probes;
    auto probe = [&](const std::string &k, const std::string &v) {
      Probe p{open_cursor(txn, dbi), k, v};
      ORV_val kv = val(k), dv = val(v);
      EXPECT_EQ(orv_cursor_get(p.c.get(), &kv, &dv, ORV_GET_BOTH), 0);
      probes.push_back(std::move(p));
    };
    probe("a", value(0));
    probe("b", value(10));
    probe("b", value(2 * (cs.before / 2) + 10));
    probe("b", value(2 * (cs.before - 1) + 10));
    probe("c", value(1));
    // New values before, between and after the existing ones.
    for (int n = cs.before; n < cs.after; n++) {
      const int m = n % 3 == 0 ? 2 * n + 10 : n % 3 == 1 ? 2 * (n - cs.before) + 11 : 9 - n % 9;
      put("b", value(m));
    }
    for (Probe &p : probes) {
      ORV_val kv, dv;
      ASSERT_EQ(orv_cursor_get(p.c.get(), &kv, &dv, ORV_GET_CURRENT), 0) << p.key << p.value;
      EXPECT_EQ(str(kv), p.key);
      EXPECT_EQ(str(dv), p.value);
      uint64_t count = 0;
      ASSERT_EQ(orv_cursor_count(p.c.get(), &count), 0);
      if (p.key == "b") {
        ORV_val kb = cval("b"), db;
        CursorPtr fresh = open_cursor(txn, dbi);
        ASSERT_EQ(orv_cursor_get(fresh.get(), &kb, &db, ORV_SET), 0);
        uint64_t want = 0;
        ASSERT_EQ(orv_cursor_count(fresh.get(), &want), 0);
        EXPECT_EQ(count, want);
        // Stepping on from there visits the values after it in order.
        std::string prev = str(dv);
        while (orv_cursor_get(p.c.get(), &kv, &dv, ORV_NEXT_DUP) == 0) {
          EXPECT_LT(prev, str(dv));
          prev = str(dv);
        }
      }
    }
    orv_test::ExpectTreeValid(txn);
    probes.clear();
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
}

}  // namespace
