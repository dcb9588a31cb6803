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
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "btree/dup_harness.h"
#include "util/fixtures.h"
#include "util/prefix_keys.h"
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
  c.release();  // the transaction's end releases its cursors
  commit_and_reopen();
  check();
}

// Random writes with every duplicate write flag, through orv_put and
// through a cursor, while other cursors stand on random pairs: after every
// write each cursor is still on its pair, and the store matches the model.
TEST_P(DupPut, RandomWritesKeepEveryCursorOnItsValue) {
  const DupFlags &df = GetParam();
  std::mt19937 rng(29);
  struct Probe {
    CursorPtr c;
    std::string key, value;
  };
  std::vector<Probe> probes;
  for (int i = 0; i < 4; i++) probes.push_back({open_cursor(txn_, dbi_), "", ""});
  CursorPtr writer = open_cursor(txn_, dbi_);
  auto sorted = [this](std::vector<std::string> v) {
    std::sort(v.begin(), v.end(),
              [this](const std::string &a, const std::string &b) { return less(a, b); });
    return v;
  };
  for (int step = 0; step < 8000; step++) {
    const uint64_t kn = rng() % 24;
    const std::string k = make_key(kn);
    // Keys 0 to 3 grow large; the others stay small.
    const uint64_t range = kn < 4 ? 600 : 12;
    const std::string v = make_value(df, rng() % range);
    auto &set = model_[k];
    const bool have = std::find(set.begin(), set.end(), v) != set.end();
    const int how = static_cast<int>(rng() % 4);
    int want = 0;
    if (how == 0) {
      ASSERT_EQ(put(k, v), 0);
    } else if (how == 1) {
      want = have ? ORV_KEYEXIST : 0;
      ASSERT_EQ(put(k, v, ORV_NODUPDATA), want);
    } else {
      // ORV_APPENDDUP, through the writer cursor standing on the key
      // (ORV_CURRENT) when it does.
      const std::vector<std::string> in_order = sorted(set);
      want = !in_order.empty() && !less(in_order.back(), v) ? ORV_KEYEXIST : 0;
      ORV_val kv = val(k), dv = val(v), gk, gd;
      unsigned flags = ORV_APPENDDUP;
      if (how == 3 && orv_cursor_get(writer.get(), &gk, &gd, ORV_GET_CURRENT) == 0 && str(gk) == k)
        flags |= ORV_CURRENT;
      ASSERT_EQ(orv_cursor_put(writer.get(), &kv, &dv, flags), want) << step;
      if (want == 0) {
        ASSERT_EQ(orv_cursor_get(writer.get(), &gk, &gd, ORV_GET_CURRENT), 0);
        EXPECT_EQ(str(gk), k);
        EXPECT_EQ(str(gd), v);
      }
    }
    if (want == 0 && !have) set.push_back(v);
    for (Probe &p : probes) {
      if (p.key.empty()) continue;
      ORV_val gk, gd;
      ASSERT_EQ(orv_cursor_get(p.c.get(), &gk, &gd, ORV_GET_CURRENT), 0) << step;
      ASSERT_EQ(str(gk), p.key) << step;
      ASSERT_EQ(str(gd), p.value) << step;
      uint64_t count = 0;
      ASSERT_EQ(orv_cursor_count(p.c.get(), &count), 0);
      ASSERT_EQ(count, model_[p.key].size()) << step;
    }
    // Now and then a cursor moves to another pair.
    Probe &p = probes[rng() % probes.size()];
    if (rng() % 3 == 0) {
      auto it = model_.begin();
      std::advance(it, static_cast<long>(rng() % model_.size()));
      if (!it->second.empty()) {
        p.key = it->first;
        p.value = it->second[rng() % it->second.size()];
        ORV_val kv = val(p.key), dv = val(p.value);
        ASSERT_EQ(orv_cursor_get(p.c.get(), &kv, &dv, ORV_GET_BOTH), 0);
      }
    }
    if (step % 2000 == 1999) check();
  }
  probes.clear();
  writer.reset();
  check();
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
    int filler;  // long keys on each side, so that the growing node splits its leaf
  };
  const Case cases[] = {
      {"single_to_subpage", 0, 1, 2, 0},
      {"subpage_grows", 0, 3, 8, 0},
      {"subpage_to_subdb", 0, 3, 200, 0},
      {"subdb_grows", 0, 200, 260, 0},
      {"fixed_single_to_subpage", ORV_DUPFIXED, 1, 2, 0},
      {"fixed_subpage_to_subdb", ORV_DUPFIXED, 3, 600, 0},
      {"prefix_subpage_to_subdb", ORV_PREFIXKEY, 2, 150, 0},
      {"counted", ORV_COUNTED, 1, 150, 0},
      {"leaf_splits", 0, 1, 120, 6},
      {"fixed_leaf_splits", ORV_DUPFIXED, 1, 300, 6},
      {"prefix_leaf_splits", ORV_PREFIXKEY, 1, 120, 6},
      {"counted_prefix_leaf_splits", ORV_COUNTED | ORV_PREFIXKEY, 1, 120, 6},
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
    auto filler = [](char side, int i) { return side + std::string(400, 'x') + char('0' + i); };
    for (int i = 0; i < cs.filler; i++) {
      put(filler('a', i), value(0));
      put(filler('c', i), value(0));
    }
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
    if (cs.filler > 0) {
      probe(filler('a', cs.filler - 1), value(0));
      probe(filler('c', 0), value(0));
    }
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
    orv_dbi_close(env_, dbi);  // more cases than handles
  }
}

}  // namespace

namespace {

// Equal when equal ignoring case and trailing '~': values that compare
// equal but differ in bytes and in length.
int loose_cmp(const ORV_val *a, const ORV_val *b) {
  auto trim = [](const ORV_val *v) {
    size_t n = v->mv_size;
    while (n > 0 && static_cast<const char *>(v->mv_data)[n - 1] == '~') n--;
    return n;
  };
  const size_t na = trim(a), nb = trim(b);
  const auto *x = static_cast<const unsigned char *>(a->mv_data);
  const auto *y = static_cast<const unsigned char *>(b->mv_data);
  for (size_t i = 0; i < na && i < nb; i++) {
    const int d = std::tolower(x[i]) - std::tolower(y[i]);
    if (d != 0) return d;
  }
  return na < nb ? -1 : na > nb ? 1 : 0;
}

// ORV_CURRENT replaces the value under the cursor by one that compares
// equal (other bytes, other length) in every form, and refuses one that
// does not, changing nothing.
TEST_F(DupPutFixed, CurrentReplacesAnEqualValueOnly) {
  const struct {
    const char *name;
    unsigned flags;
    int values;
  } cases[] = {
      {"single", 0, 1},
      {"subpage", 0, 5},
      {"subdb", 0, 300},
      {"prefix_subpage", ORV_PREFIXKEY, 5},
      {"prefix_subdb", ORV_PREFIXKEY, 300},
      {"counted_subdb", ORV_COUNTED, 300},
  };
  orv_test::VerifyOptions opts;
  for (const auto &cs : cases) {
    SCOPED_TRACE(cs.name);
    ORV_txn *txn = begin();
    ORV_dbi dbi = open_db(txn, cs.name, ORV_DUPSORT | cs.flags);
    ASSERT_EQ(orv_set_dupsort(txn, dbi, loose_cmp), 0);
    std::vector<std::string> model;
    for (int n = 0; n < cs.values; n++) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "value%04d", n);
      model.push_back(buf);
      ORV_val k = cval("k"), v = val(model.back());
      ASSERT_EQ(orv_put(txn, dbi, &k, &v, 0), 0);
    }
    CursorPtr c = open_cursor(txn, dbi);
    const int mid = cs.values / 2;
    // First, middle and last value; the middle one twice (longer, then
    // shorter again).
    for (int at : {0, mid, mid, cs.values - 1}) {
      ORV_val k = cval("k"), v = val(model[at]);
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_GET_BOTH), 0);
      std::string repl = model[at];
      for (char &ch : repl) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (repl.size() == model[at].size()) repl += "~~~";
      model[at] = repl;
      ORV_val nv = val(repl);
      k = cval("k");
      ASSERT_EQ(orv_cursor_put(c.get(), &k, &nv, ORV_CURRENT), 0);
      ORV_val gk, gv;
      ASSERT_EQ(orv_cursor_get(c.get(), &gk, &gv, ORV_GET_CURRENT), 0);
      EXPECT_EQ(str(gv), repl);
    }
    if (cs.values > 1) {
      // A value that does not compare equal to the current one.
      ORV_val k = cval("k"), other = cval("value9999");
      EXPECT_EQ(orv_cursor_put(c.get(), &k, &other, ORV_CURRENT), EINVAL);
    } else {
      // The only value of a key may become any value.
      ORV_val k = cval("k"), other = cval("other");
      ASSERT_EQ(orv_cursor_put(c.get(), &k, &other, ORV_CURRENT), 0);
      model[0] = "other";
    }
    std::vector<std::string> got;
    ORV_val k = cval("k"), v;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_SET), 0);
    do {
      got.push_back(str(v));
    } while (orv_cursor_get(c.get(), &k, &v, ORV_NEXT_DUP) == 0);
    EXPECT_EQ(got, model);
    ORV_stat st;
    ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
    EXPECT_EQ(st.ms_entries, model.size());
    opts.dup_cmp[cs.name] = loose_cmp;  // the verifier meets every earlier one too
    orv_test::ExpectTreeValid(txn, opts);
    c.release();
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
}

// Values written in a nested transaction into a committed sub-page and
// sub-database vanish with its abort and stay with its commit.
TEST_F(DupPutFixed, NestedTransactionsKeepOrDropTheirValues) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "nested", ORV_DUPSORT | ORV_COUNTED);
  auto put = [&](ORV_txn *t, const char *key, int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "v%05d", n);
    ORV_val k = cval(key), v = cval(buf);
    return orv_put(t, dbi, &k, &v, 0);
  };
  auto values = [&](ORV_txn *t, const char *key) {
    ORV_val k = cval(key), v;
    std::vector<std::string> out;
    CursorPtr c = open_cursor(t, dbi);
    if (orv_cursor_get(c.get(), &k, &v, ORV_SET) != 0) return out;
    do {
      out.push_back(str(v));
    } while (orv_cursor_get(c.get(), &k, &v, ORV_NEXT_DUP) == 0);
    c.release();  // write transactions release their cursors
    return out;
  };
  for (int n = 0; n < 3; n++) ASSERT_EQ(put(txn, "sub", n * 2), 0);
  for (int n = 0; n < 300; n++) ASSERT_EQ(put(txn, "tree", n * 2), 0);
  ASSERT_EQ(put(txn, "one", 0), 0);
  ASSERT_EQ(orv_txn_commit(txn), 0);

  txn = begin();
  const auto sub0 = values(txn, "sub"), tree0 = values(txn, "tree"), one0 = values(txn, "one");
  for (bool keep : {false, true}) {
    ORV_txn *child = begin(0, txn);
    for (int n = 0; n < 40; n++) {
      ASSERT_EQ(put(child, "sub", n * 2 + 1), 0);
      ASSERT_EQ(put(child, "tree", n * 2 + 1), 0);
    }
    ASSERT_EQ(put(child, "one", 1), 0);
    EXPECT_EQ(values(child, "sub").size(), 43u);
    orv_test::ExpectTreeValid(child);
    if (keep) {
      ASSERT_EQ(orv_txn_commit(child), 0);
    } else {
      orv_txn_abort(child);
      EXPECT_EQ(values(txn, "sub"), sub0);
      EXPECT_EQ(values(txn, "tree"), tree0);
      EXPECT_EQ(values(txn, "one"), one0);
      orv_test::ExpectTreeValid(txn);
    }
  }
  EXPECT_EQ(values(txn, "sub").size(), 43u);
  EXPECT_EQ(values(txn, "tree").size(), 340u);
  EXPECT_EQ(values(txn, "one").size(), 2u);
  ORV_stat st;
  ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
  EXPECT_EQ(st.ms_entries, 385u);
  orv_test::ExpectTreeValid(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

// The two-value sub-page a key gets with its second value, and its refusals.
TEST_F(DupPutFixed, SubpagePairBuildsOrRefuses) {
  ORV_txn *txn = begin();
  ORV_dbi plain = open_db(txn, "pair", ORV_DUPSORT);
  ORV_dbi fixed = open_db(txn, "pairfixed", ORV_DUPSORT | ORV_DUPFIXED);
  ORV_dbi prefix = open_db(txn, "pairprefix", ORV_DUPSORT | ORV_PREFIXKEY);
  const std::string a = "common-prefix-b", b = "common-prefix-a", c4 = "abcd";
  const ORV_val va = val(a), vb = val(b), v4 = val(c4), empty{0, nullptr};
  const struct {
    const char *name;
    ORV_dbi dbi;
    size_t size;
    const ORV_val *old, *nv;
    int rc;
  } cases[] = {
      {"plain", plain, 80, &va, &vb, 0},
      {"plain_exact", plain, 16 + 4 + 24 + 24, &va, &vb, 0},
      {"plain_too_small", plain, 16 + 4 + 24 + 22, &va, &vb, ORV_NO_FIT},
      {"header_only", plain, 16, &va, &vb, ORV_NO_FIT},
      {"empty_values", plain, 16 + 4 + 8 + 24, &empty, &va, 0},
      {"missing_value", plain, 64, nullptr, &vb, EINVAL},
      {"fixed", fixed, 16 + 4 * 15, &va, &vb, 0},
      {"fixed_sizes_differ", fixed, 64, &va, &v4, ORV_BAD_VALSIZE},
      {"fixed_too_small", fixed, 16 + 2 * 15 - 1, &va, &vb, ORV_NO_FIT},
      {"prefix", prefix, 64, &va, &vb, 0},
      {"prefix_too_small", prefix, 30, &va, &vb, ORV_NO_FIT},
  };
  for (const auto &cs : cases) {
    SCOPED_TRACE(cs.name);
    CursorPtr c = open_cursor(txn, cs.dbi);
    alignas(8) unsigned char buf[256];
    std::memset(buf, 0xAB, sizeof buf);
    auto *sp = reinterpret_cast<ORV_page *>(buf);
    ASSERT_EQ(orv_subpage_pair(c.get(), sp, cs.size, cs.old, cs.nv), cs.rc);
    if (cs.rc != 0) {
      // Nothing written.
      EXPECT_EQ(buf[0], 0xAB);
      continue;
    }
    EXPECT_TRUE(is_subp(sp) && is_leaf(sp) && is_dirty(sp));
    ASSERT_EQ(numkeys(sp), 2u);
    EXPECT_TRUE(orv_page_shape_ok(sp, cs.size));
    // The smaller value first, each read back whole.
    std::vector<std::string> got;
    for (unsigned i = 0; i < 2; i++) {
      if (is_leaf2(sp)) {
        const size_t pad = sp->mp_pad;
        got.emplace_back(static_cast<char *>(leaf2_key(sp, i, pad)), pad);
        continue;
      }
      ORV_val k;
      char kb[512];
      ASSERT_EQ(orv_prefix_slot_key(sp, cs.size, i, &k, kb, sizeof kb), 0);
      got.push_back(str(k));
    }
    std::vector<std::string> want{str(*cs.old), str(*cs.nv)};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    if (is_leaf2(sp)) {
      EXPECT_EQ(size_left(sp), 2u * sp->mp_pad);
    }
  }
  orv_txn_abort(txn);
}

// With the dirty room cut down, duplicate writes spill leaves holding
// sub-pages and pages of sub-databases early and often; the values written
// after a spill land in pages brought back from the spill list.
TEST_F(DupPutFixed, DuplicateWritesSpillAndCommit) {
  for (unsigned flags : {0u, unsigned{ORV_DUPFIXED}, unsigned{ORV_PREFIXKEY | ORV_COUNTED}}) {
    SCOPED_TRACE(flags);
    ORV_txn *txn = begin();
    const std::string name = "spill" + std::to_string(flags);
    ORV_dbi dbi = open_db(txn, name.c_str(), ORV_DUPSORT | flags);
    txn->mt_dirty_room = 24;
    std::map<std::string, std::set<std::string>> model;
    std::mt19937 rng(5);
    for (int i = 0; i < 12000; i++) {
      const int k = static_cast<int>(rng() % 60);
      char kb[16], vb[32];
      std::snprintf(kb, sizeof kb, "key%03d", k);
      std::snprintf(vb, sizeof vb, "value%08u", static_cast<unsigned>(rng() % (k * 20 + 1)));
      ORV_val kv = cval(kb), dv = cval(vb);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0) << i;
      model[kb].insert(vb);
    }
    EXPECT_TRUE(txn->mt_flags & ORV_TXN_SPILLS);
    auto expect_model = [&](ORV_txn *t) {
      CursorPtr c = open_cursor(t, dbi);
      std::map<std::string, std::set<std::string>> got;
      ORV_val k, v;
      uint64_t n = 0;
      for (int rc = orv_cursor_get(c.get(), &k, &v, ORV_FIRST); rc == 0;
           rc = orv_cursor_get(c.get(), &k, &v, ORV_NEXT), n++)
        got[str(k)].insert(str(v));
      EXPECT_EQ(got, model);
      ORV_stat st;
      ASSERT_EQ(orv_stat(t, dbi, &st), 0);
      EXPECT_EQ(st.ms_entries, n);
      if (!txn_is_rdonly(t)) c.release();  // released with the transaction
    };
    expect_model(txn);
    orv_test::ExpectTreeValid(txn);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    ORV_txn *rd = begin(ORV_RDONLY);
    expect_model(rd);
    orv_txn_abort(rd);
    EXPECT_TRUE(orv_test::EnvTreesValid(env_));
  }
}

}  // namespace
