// [dup delete]: lib/btree/delete.cc, lib/txn/rebalance.cc - deletes in
// databases with sorted duplicates: one value (orv_del with a value,
// orv_cursor_del), all values of a key (orv_del without a value,
// ORV_NODUPDATA), sub-pages shrinking, sub-databases rebalancing and freed,
// entry and branch counts, the cursor's position after each kind of delete,
// and other cursors of the transaction standing before, on and after the
// deleted entry. Every form of value tree is run: sub-page and
// sub-database, with DUPFIXED (and INTEGERDUP), PREFIXKEY, COUNTED and
// REVERSEDUP.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/verify.h"

namespace {

using orv_test::CursorPtr;
using orv_test::open_cursor;
using orv_test::str;
using orv_test::val;

struct Form {
  const char *name;
  unsigned flags;
  int values;  // per key: few stay in a sub-page, many need a sub-database
  bool subdb;  // whether that many values make a sub-database
};

const Form kForms[] = {
    {"SubPage", ORV_DUPSORT, 5, false},
    {"SubDb", ORV_DUPSORT, 600, true},
    {"FixedSubPage", ORV_DUPSORT | ORV_DUPFIXED, 6, false},
    {"FixedSubDb", ORV_DUPSORT | ORV_DUPFIXED, 900, true},
    {"IntFixedSubDb", ORV_DUPSORT | ORV_DUPFIXED | ORV_INTEGERDUP, 900, true},
    {"PrefixSubPage", ORV_DUPSORT | ORV_PREFIXKEY, 5, false},
    {"PrefixSubDb", ORV_DUPSORT | ORV_PREFIXKEY, 500, true},
    {"CountedSubPage", ORV_DUPSORT | ORV_COUNTED, 5, false},
    {"CountedSubDb", ORV_DUPSORT | ORV_COUNTED, 600, true},
    {"CountedFixedSubDb", ORV_DUPSORT | ORV_COUNTED | ORV_DUPFIXED, 900, true},
    {"CountedPrefixSubPage", ORV_DUPSORT | ORV_COUNTED | ORV_PREFIXKEY, 5, false},
    {"CountedPrefixSubDb", ORV_DUPSORT | ORV_COUNTED | ORV_PREFIXKEY, 500, true},
    {"ReverseSubPage", ORV_DUPSORT | ORV_REVERSEDUP, 5, false},
    {"ReverseSubDb", ORV_DUPSORT | ORV_REVERSEDUP, 600, true},
};

void PrintTo(const Form &f, std::ostream *os) { *os << f.name; }

// Keys are long so that leaves hold few of them and deletes merge leaves.
std::string key_of(int k) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "key-%04d-", k);
  return buf + std::string(300, 'k');
}

// Value n of a form: fixed-size ones for DUPFIXED, long shared prefixes
// for PREFIXKEY, numbers for INTEGERDUP.
std::string value_of(unsigned flags, int n) {
  if (flags & ORV_INTEGERDUP) {
    const uint64_t v = uint64_t{0x100000000} * static_cast<uint64_t>(n % 7) + n;
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "v%07d", n);
  if (flags & ORV_DUPFIXED) return buf;
  if (flags & ORV_PREFIXKEY) return "values/share/a/long/prefix/" + std::string(buf);
  return buf + std::string(n % 5, '+');
}

// key -> values in the database's value order.
using Model = std::map<std::string, std::vector<std::string>>;

class DupDelete : public orv_test::EnvFixture, public ::testing::WithParamInterface<Form> {
 protected:
  void TearDown() override {
    if (txn_ != nullptr) orv_txn_abort(txn_);
    EnvFixture::TearDown();
  }

  bool Less(const std::string &a, const std::string &b) {
    ORV_val x = val(a), y = val(b);
    return orv_dcmp(txn_, dbi_, &x, &y) < 0;
  }

  // Keys 0..nkeys-1 with the form's values each, written in a scattered
  // order; committed, and txn_ is a new write transaction.
  void Fill(int nkeys) {
    const Form &f = GetParam();
    txn_ = begin();
    dbi_ = open_db(txn_, "d", f.flags);
    for (int k = 0; k < nkeys; k++) {
      std::vector<std::string> &vals = model_[key_of(k)];
      for (int i = 0; i < f.values; i++) {
        const int n = (i * 7919) % f.values;
        std::string kk = key_of(k), vv = value_of(f.flags, n);
        ORV_val key = val(kk), data = val(vv);
        ASSERT_EQ(orv_put(txn_, dbi_, &key, &data, 0), 0) << k << "/" << n;
        vals.push_back(vv);
      }
      std::sort(vals.begin(), vals.end(),
                [this](const std::string &a, const std::string &b) { return Less(a, b); });
    }
    ASSERT_EQ(orv_txn_commit(txn_), 0);
    txn_ = begin();
  }

  uint64_t Entries() {
    uint64_t n = 0;
    for (const auto &[k, vals] : model_) n += vals.size();
    return n;
  }

  void Erase(const std::string &k, const std::string &v) {
    std::vector<std::string> &vals = model_.at(k);
    vals.erase(std::find(vals.begin(), vals.end(), v));
    if (vals.empty()) model_.erase(k);
  }

  // The database against the model: a full walk, per-key counts, the
  // statistics, ranks of counted databases, and the verifier.
  void Check() {
    CursorPtr c = open_cursor(txn_, dbi_);
    ORV_val k, d;
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    for (const auto &[key, vals] : model_) {
      for (size_t i = 0; i < vals.size(); i++) {
        ASSERT_EQ(rc, 0) << key.substr(0, 8) << " value " << i;
        ASSERT_EQ(str(k), key);
        ASSERT_EQ(str(d), vals[i]) << key.substr(0, 8) << " value " << i;
        if (i == 0) {
          uint64_t n = 0;
          ASSERT_EQ(orv_cursor_count(c.get(), &n), 0);
          ASSERT_EQ(n, vals.size()) << key.substr(0, 8);
        }
        rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT);
      }
    }
    ASSERT_EQ(rc, ORV_NOTFOUND);
    ORV_stat st{};
    ASSERT_EQ(orv_stat(txn_, dbi_, &st), 0);
    ASSERT_EQ(st.ms_entries, Entries());
    if (GetParam().flags & ORV_COUNTED) {
      // Every 13th rank, from the counts of the branch pages down.
      uint64_t base = 0;
      for (const auto &[key, vals] : model_) {
        for (size_t i = 0; i < vals.size(); i += 13) {
          ORV_val rk, rd;
          ASSERT_EQ(orv_get_rank(txn_, dbi_, base + i, &rk, &rd), 0) << base + i;
          ASSERT_EQ(str(rk), key);
          ASSERT_EQ(str(rd), vals[i]);
        }
        base += vals.size();
      }
    }
    ASSERT_TREE_VALID(txn_);
  }

  // Steps c forward to the end: the first step must return (k, v), the
  // following ones every later pair of the model, each once.
  void ExpectWalkFrom(ORV_cursor *c, const std::string &k, const std::string &v) {
    std::vector<std::pair<std::string, std::string>> want;
    for (auto it = model_.lower_bound(k); it != model_.end(); ++it)
      for (const std::string &x : it->second)
        if (it->first != k || !Less(x, v)) want.emplace_back(it->first, x);
    ORV_val kv, dv;
    for (size_t i = 0; i < want.size(); i++) {
      ASSERT_EQ(orv_cursor_get(c, &kv, &dv, ORV_NEXT), 0) << i;
      ASSERT_EQ(str(kv), want[i].first) << i;
      ASSERT_EQ(str(dv), want[i].second) << i;
    }
    ASSERT_EQ(orv_cursor_get(c, &kv, &dv, ORV_NEXT), ORV_NOTFOUND);
  }

  // Whether the node of key k still holds a value tree (and which).
  void ExpectForm(const std::string &k, bool subdb) {
    CursorPtr c = open_cursor(txn_, dbi_);
    ORV_val key = val(k), d;
    ASSERT_EQ(orv_cursor_get(c.get(), &key, &d, ORV_SET), 0);
    ORV_node *node = node_ptr(cursor_page(c.get()), cursor_slot(c.get()));
    EXPECT_TRUE(node->mn_flags & F_DUPDATA) << "the key lost its value tree";
    EXPECT_EQ((node->mn_flags & F_SUBDATA) != 0, subdb);
  }

  ORV_txn *txn_ = nullptr;
  ORV_dbi dbi_ = 0;
  Model model_;
};

TEST_P(DupDelete, OneValueAndWholeKeys) {
  const Form &f = GetParam();
  ASSERT_NO_FATAL_FAILURE(Fill(6));
  ASSERT_NO_FATAL_FAILURE(Check());

  // One value of key 1 goes; the same again, or a value never stored,
  // changes nothing.
  std::string k1 = key_of(1), v = model_[k1][3], absent = value_of(f.flags, f.values + 5);
  ORV_val key = val(k1), data = val(v), none = val(absent);
  ASSERT_EQ(orv_del(txn_, dbi_, &key, &data), 0);
  Erase(k1, v);
  EXPECT_EQ(orv_del(txn_, dbi_, &key, &data), ORV_NOTFOUND);
  EXPECT_EQ(orv_del(txn_, dbi_, &key, &none), ORV_NOTFOUND);
  ASSERT_NO_FATAL_FAILURE(Check());

  // Without a value the whole key goes, whatever its values live in.
  std::string k2 = key_of(2);
  ORV_val key2 = val(k2);
  ASSERT_EQ(orv_del(txn_, dbi_, &key2, nullptr), 0);
  model_.erase(k2);
  ASSERT_NO_FATAL_FAILURE(Check());

  // A cursor deleting the values of key 3 one by one stands before the
  // value that followed: ORV_NEXT_DUP and ORV_NEXT both return it. With the
  // last value the key goes: ORV_NEXT_DUP never crosses to the next key,
  // ORV_NEXT returns that key's first value.
  CursorPtr c = open_cursor(txn_, dbi_);
  std::string k3 = key_of(3);
  const std::vector<std::string> vals3 = model_[k3];
  ORV_val key3 = val(k3), d, k;
  ASSERT_EQ(orv_cursor_get(c.get(), &key3, &d, ORV_SET), 0);
  for (size_t i = 0; i < vals3.size(); i++) {
    ASSERT_EQ(orv_cursor_del(c.get(), 0), 0) << i;
    Erase(k3, vals3[i]);
    if (i + 1 == vals3.size()) break;
    if (i % 3 == 0) {
      // Listing the key's values sees exactly the rest and leaves the
      // cursor where it stands.
      ORV_val *list = nullptr;
      uint64_t n = 0;
      ASSERT_EQ(orv_cursor_list_dup(c.get(), &list, &n), 0);
      ASSERT_EQ(n, vals3.size() - i - 1);
      for (uint64_t j = 0; j < n; j++) ASSERT_EQ(str(list[j]), vals3[i + 1 + j]) << i << "/" << j;
    }
    const ORV_cursor_op op = i % 2 ? ORV_NEXT : ORV_NEXT_DUP;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, op), 0) << i;
    ASSERT_EQ(str(k), k3);
    ASSERT_EQ(str(d), vals3[i + 1]) << i;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), 0);
    ASSERT_EQ(str(d), vals3[i + 1]);
    uint64_t n = 0;
    ASSERT_EQ(orv_cursor_count(c.get(), &n), 0);
    ASSERT_EQ(n, vals3.size() - i - 1);
  }
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT_DUP), ORV_NOTFOUND);
  // Deleting again right away takes the value now under the cursor, key
  // 4's first, and leaves the cursor within key 4.
  const std::vector<std::string> vals4 = model_[key_of(4)];
  ASSERT_EQ(orv_cursor_del(c.get(), 0), 0);
  Erase(key_of(4), vals4[0]);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT_DUP), 0);
  EXPECT_EQ(str(k), key_of(4));
  EXPECT_EQ(str(d), vals4[1]);
  ASSERT_NO_FATAL_FAILURE(ExpectWalkFrom(c.get(), key_of(4), vals4[2]));
  ASSERT_NO_FATAL_FAILURE(Check());

  // ORV_NODUPDATA through the cursor removes the whole key at once; the
  // cursor then stands before the next key.
  std::string k4 = key_of(4);
  ORV_val key4 = val(k4);
  ASSERT_EQ(orv_cursor_get(c.get(), &key4, &d, ORV_SET), 0);
  ASSERT_EQ(orv_cursor_del(c.get(), ORV_NODUPDATA), 0);
  model_.erase(k4);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT_DUP), ORV_NOTFOUND);
  ASSERT_NO_FATAL_FAILURE(ExpectWalkFrom(c.get(), key_of(5), model_[key_of(5)][0]));
  ASSERT_NO_FATAL_FAILURE(Check());

  // Key 5 keeps one value: it keeps its value tree, and counting and
  // listing see exactly that value.
  std::string k5 = key_of(5);
  const std::vector<std::string> vals5 = model_[k5];
  for (size_t i = 0; i + 1 < vals5.size(); i++) {
    ORV_val kk = val(k5), dd = val(vals5[i]);
    ASSERT_EQ(orv_del(txn_, dbi_, &kk, &dd), 0) << i;
    Erase(k5, vals5[i]);
  }
  ASSERT_NO_FATAL_FAILURE(ExpectForm(k5, f.subdb));
  ORV_val key5 = val(k5);
  ASSERT_EQ(orv_cursor_get(c.get(), &key5, &d, ORV_SET), 0);
  EXPECT_EQ(str(d), vals5.back());
  uint64_t n = 0;
  ASSERT_EQ(orv_cursor_count(c.get(), &n), 0);
  EXPECT_EQ(n, 1u);
  ORV_val *list = nullptr;
  ASSERT_EQ(orv_cursor_list_dup(c.get(), &list, &n), 0);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(str(list[0]), vals5.back());
  if (f.flags & ORV_DUPFIXED) {
    ASSERT_EQ(orv_cursor_get(c.get(), &key5, &d, ORV_GET_MULTIPLE), 0);
    EXPECT_EQ(str(d), vals5.back());
  }
  ASSERT_NO_FATAL_FAILURE(Check());

  c.reset();
  ASSERT_EQ(orv_txn_commit(txn_), 0);
  txn_ = nullptr;
  // Freed value trees and emptied sub-pages leave no page behind.
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

// Every value deleted in a scattered order, half through orv_del with the
// value and half through a positioned cursor; a nested transaction doing
// part of it first is aborted and changes nothing. The tree ends empty and
// every page is accounted for.
TEST_P(DupDelete, ShrinkToEmpty) {
  ASSERT_NO_FATAL_FAILURE(Fill(5));
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto &[k, vals] : model_)
    for (const std::string &v : vals) pairs.emplace_back(k, v);
  std::mt19937 rng(7);
  std::shuffle(pairs.begin(), pairs.end(), rng);

  ORV_txn *child = begin(0, txn_);
  for (size_t i = 0; i < pairs.size() / 2; i++) {
    ORV_val k = val(pairs[i].first), d = val(pairs[i].second);
    ASSERT_EQ(orv_del(child, dbi_, &k, &d), 0);
  }
  orv_txn_abort(child);
  ASSERT_NO_FATAL_FAILURE(Check());

  CursorPtr c = open_cursor(txn_, dbi_);
  const size_t every = pairs.size() / 8 + 1;
  for (size_t i = 0; i < pairs.size(); i++) {
    ORV_val k = val(pairs[i].first), d = val(pairs[i].second);
    if (i % 2) {
      ASSERT_EQ(orv_del(txn_, dbi_, &k, &d), 0) << i;
    } else {
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_BOTH), 0) << i;
      ASSERT_EQ(orv_cursor_del(c.get(), 0), 0) << i;
    }
    Erase(pairs[i].first, pairs[i].second);
    if (i % every == 0) {
      SCOPED_TRACE(i);
      ASSERT_NO_FATAL_FAILURE(Check());
    }
  }
  ASSERT_NO_FATAL_FAILURE(Check());
  ORV_stat st{};
  ASSERT_EQ(orv_stat(txn_, dbi_, &st), 0);
  EXPECT_EQ(st.ms_entries, 0u);
  EXPECT_EQ(st.ms_depth, 0u);
  EXPECT_EQ(st.ms_leaf_pages, 0u);
  c.reset();
  ASSERT_EQ(orv_txn_commit(txn_), 0);
  txn_ = nullptr;
  EXPECT_TRUE(orv_test::EnvTreesValid(env_));
}

// A second cursor stands before, on or after the entry another cursor
// deletes: the one before and the one after keep their entry, and every
// watcher's next step returns the entry the model says follows.
struct Watch {
  const char *name;
  int key;  // watched key
  int dup;  // index of the watched value (-1: the key's last)
};

struct Scenario {
  const char *name;
  // The deletes, as (key, value index, whole key) on the original model.
  std::vector<std::tuple<int, int, bool>> dels;
  std::vector<Watch> watch;
};

const Scenario kScenarios[] = {
    // One of several values of key 4.
    {"OneValue",
     {{4, 2, false}},
     {{"before", 4, 1}, {"on", 4, 2}, {"after", 4, 3}, {"prev key", 3, -1}, {"next key", 5, 0}}},
    // The key's last value: the key goes with it.
    {"LastValue",
     {{4, -1, false}},
     {{"before", 4, -2}, {"on", 4, -1}, {"next key", 5, 0}, {"next key later", 5, 1}}},
    // A whole key, its neighbours watched.
    {"WholeKey",
     {{4, 0, true}},
     {{"on", 4, 2}, {"prev key", 3, -1}, {"next key", 5, 0}, {"next key later", 5, 2}}},
    // Most values of key 4 go: a sub-database shrinks and merges leaves,
    // a sub-page shrinks in its leaf.
    {"Shrink", {}, {{"first", 4, 0}, {"deleted", 4, 2}, {"kept", 4, -1}, {"next key", 5, 1}}},
    // Keys 2..9 go: leaves holding value trees merge under the watchers.
    {"MergeLeaves",
     {{2, 0, true}, {3, 0, true}, {5, 0, true}, {6, 0, true}, {7, 0, true}, {9, 0, true}},
     {{"on", 6, 1}, {"kept", 4, 1}, {"kept later", 8, -1}, {"first", 0, 0}, {"last", 11, -1}}},
};

TEST_P(DupDelete, OtherCursorsFollowTheDelete) {
  const Form &f = GetParam();
  for (const Scenario &sc : kScenarios) {
    SCOPED_TRACE(sc.name);
    if (txn_ != nullptr) orv_txn_abort(txn_);
    txn_ = nullptr;
    model_.clear();
    // A fresh database per scenario.
    {
      ORV_txn *t = begin();
      ORV_dbi d = open_db(t, "d", f.flags);
      ASSERT_EQ(orv_drop(t, d, 1), 0);
      ASSERT_EQ(orv_txn_commit(t), 0);
    }
    ASSERT_NO_FATAL_FAILURE(Fill(12));
    const Model orig = model_;
    auto value_at = [&](int k, int i) -> std::string {
      const std::vector<std::string> &vals = orig.at(key_of(k));
      return vals[i >= 0 ? std::min<size_t>(i, vals.size() - 1) : vals.size() + i];
    };

    // Watchers first, then the deletes through another cursor.
    std::vector<CursorPtr> watchers;
    std::vector<std::pair<std::string, std::string>> at;
    for (const Watch &w : sc.watch) {
      watchers.push_back(open_cursor(txn_, dbi_));
      std::string k = key_of(w.key), v = value_at(w.key, w.dup);
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_cursor_get(watchers.back().get(), &kv, &dv, ORV_GET_BOTH), 0) << w.name;
      at.emplace_back(k, v);
    }
    std::vector<std::pair<std::string, std::string>> gone;
    std::vector<std::tuple<int, int, bool>> dels = sc.dels;
    if (dels.empty()) {  // Shrink: all values of key 4 but its first and last
      const int nv = static_cast<int>(orig.at(key_of(4)).size());
      for (int i = 1; i + 1 < nv; i++) dels.emplace_back(4, i, false);
    }
    CursorPtr mc = open_cursor(txn_, dbi_);
    for (const auto &[kn, vi, whole] : dels) {
      std::string k = key_of(kn), v = value_at(kn, vi);
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_cursor_get(mc.get(), &kv, &dv, ORV_GET_BOTH), 0);
      ASSERT_EQ(orv_cursor_del(mc.get(), whole ? ORV_NODUPDATA : 0), 0);
      if (whole) {
        for (const std::string &x : model_.at(k)) gone.emplace_back(k, x);
        model_.erase(k);
      } else {
        gone.emplace_back(k, v);
        Erase(k, v);
      }
    }
    ASSERT_NO_FATAL_FAILURE(Check());

    for (size_t w = 0; w < watchers.size(); w++) {
      SCOPED_TRACE(sc.watch[w].name);
      ORV_cursor *c = watchers[w].get();
      const auto &[k, v] = at[w];
      const bool deleted = std::find(gone.begin(), gone.end(), at[w]) != gone.end();
      ORV_val kv, dv;
      if (!deleted) {
        ASSERT_EQ(orv_cursor_get(c, &kv, &dv, ORV_GET_CURRENT), 0);
        EXPECT_EQ(str(kv), k);
        EXPECT_EQ(str(dv), v);
      }
      // The entry the model puts next after (k, v).
      std::string nk, nv;
      bool have = false;
      for (auto it = model_.lower_bound(k); it != model_.end() && !have; ++it) {
        for (const std::string &x : it->second) {
          if (it->first == k && !Less(v, x)) continue;
          nk = it->first;
          nv = x;
          have = true;
          break;
        }
      }
      const int rc = orv_cursor_get(c, &kv, &dv, ORV_NEXT);
      if (!have) {
        EXPECT_EQ(rc, ORV_NOTFOUND);
        continue;
      }
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(str(kv).substr(0, 8), nk.substr(0, 8));
      EXPECT_EQ(str(dv), nv);
      // And back again, unless the watcher's own entry is gone.
      if (!deleted) {
        ASSERT_EQ(orv_cursor_get(c, &kv, &dv, ORV_PREV), 0);
        EXPECT_EQ(str(kv), k);
        EXPECT_EQ(str(dv), v);
      }
    }
    watchers.clear();
    mc.reset();
    ASSERT_EQ(orv_txn_commit(txn_), 0);
    txn_ = nullptr;
    ASSERT_TRUE(orv_test::EnvTreesValid(env_));
  }
}

// The cursor deletes the last key of a leaf (at once, or value by value):
// it follows to the next key, wherever rebalancing put it, and
// ORV_GET_CURRENT and ORV_NEXT find that key's first value.
TEST_P(DupDelete, LastKeyOfALeaf) {
  ASSERT_NO_FATAL_FAILURE(Fill(12));
  for (bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "whole key" : "value by value");
    CursorPtr c = open_cursor(txn_, dbi_);
    ORV_val k, d;
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    while (rc == 0 && cursor_slot(c.get()) + 1u < numkeys(cursor_page(c.get())))
      rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT_NODUP);
    ASSERT_EQ(rc, 0);
    const std::string key = str(k);
    auto next = std::next(model_.find(key));
    ASSERT_TRUE(next != model_.end()) << "the tree has a single leaf";
    if (whole) {
      ASSERT_EQ(orv_cursor_del(c.get(), ORV_NODUPDATA), 0);
    } else {
      for (size_t i = 0, n = model_[key].size(); i < n; i++)
        ASSERT_EQ(orv_cursor_del(c.get(), 0), 0);
    }
    model_.erase(key);
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(k), next->first);
    EXPECT_EQ(str(d), next->second[0]);
    ASSERT_NO_FATAL_FAILURE(ExpectWalkFrom(c.get(), next->first, next->second[0]));
    ASSERT_NO_FATAL_FAILURE(Check());
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, DupDelete, ::testing::ValuesIn(kForms),
                         [](const auto &info) { return std::string(info.param.name); });

// orv_del with a value on a database without duplicates deletes the key
// whatever the value says, and never consults a value order.
int calls = 0;
int counting_cmp(const ORV_val *, const ORV_val *) {
  calls++;
  return 0;
}

class DelIgnoresValue : public orv_test::EnvFixture,
                        public ::testing::WithParamInterface<unsigned> {};

TEST_P(DelIgnoresValue, KeyGoesWhateverTheValue) {
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "p", GetParam());
  ASSERT_EQ(orv_set_dupsort(txn, dbi, counting_cmp), 0);
  std::string k = (GetParam() & ORV_INTEGERKEY) ? std::string(8, '\1') : "key";
  std::string v = "stored", other = "something else entirely";
  ORV_val key = val(k), data = val(v), wrong = val(other);
  ASSERT_EQ(orv_put(txn, dbi, &key, &data, 0), 0);
  calls = 0;
  ASSERT_EQ(orv_del(txn, dbi, &key, &wrong), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(orv_get(txn, dbi, &key, &data), ORV_NOTFOUND);
  EXPECT_EQ(orv_del(txn, dbi, &key, &wrong), ORV_NOTFOUND);
  EXPECT_TREE_VALID(txn);
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DelIgnoresValue,
                         ::testing::Values(0u, unsigned{ORV_COUNTED}, unsigned{ORV_PREFIXKEY},
                                           unsigned{ORV_INTEGERKEY}));

// On a compressed sub-page the value after the first is stored against
// it; when the first goes, that value is stored whole and may need far
// more room than the sub-page had.
struct FirstGoes {
  const char *name;
  unsigned flags;                   // besides ORV_DUPSORT | ORV_PREFIXKEY
  std::vector<std::string> values;  // in the database's order
};

// In byte order the rest never needs more room; in reverse order (by the
// last byte) the values after the first may share far less with the
// second than with the first.
const FirstGoes kFirstGoes[] = {
    {"LongSharedPrefix", 0, {std::string(400, 'p') + "1", std::string(400, 'p') + "2"}},
    {"ThreeSharing",
     0,
     {std::string(300, 'q') + "a", std::string(300, 'q') + "b", std::string(300, 'q') + "c"}},
    {"NothingShared", 0, {"alpha", "beta", "gamma"}},
    // Re-encoded, the rest would pass the node limit: it moves to a
    // sub-database first.
    {"ReverseOrderRestOutgrowsTheNode",
     ORV_REVERSEDUP,
     {std::string(400, 'p') + "a", "zzb", std::string(400, 'p') + "c", std::string(400, 'p') + "d",
      std::string(400, 'p') + "e", std::string(400, 'p') + "f", std::string(400, 'p') + "g",
      std::string(400, 'p') + "h", std::string(400, 'p') + "i"}},
    {"ReverseOrderRestGrows",
     ORV_REVERSEDUP,
     {std::string(400, 'p') + "a", "zzb", std::string(400, 'p') + "c", std::string(400, 'p') + "d",
      std::string(400, 'p') + "e"}},
};

void PrintTo(const FirstGoes &f, std::ostream *os) { *os << f.name; }

class CompressedSubPage : public orv_test::EnvFixture,
                          public ::testing::WithParamInterface<FirstGoes> {};

TEST_P(CompressedSubPage, FirstValueGoes) {
  const FirstGoes &fg = GetParam();
  for (unsigned extra : {0u, unsigned{ORV_COUNTED}}) {
    SCOPED_TRACE(extra ? "counted" : "plain");
    ORV_txn *txn = begin();
    ORV_dbi dbi = open_db(txn, extra ? "c" : "p", ORV_DUPSORT | ORV_PREFIXKEY | fg.flags | extra);
    // Neighbour keys fill the leaf a little.
    for (int i = 0; i < 6; i++) {
      std::string k = "n" + std::to_string(i), v(200, 'v');
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    }
    std::string key = "k";
    for (const std::string &v : fg.values) {
      ORV_val kv = val(key), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);

    txn = begin();
    // A second cursor stands on the last value.
    CursorPtr w = open_cursor(txn, dbi);
    ORV_val kv = val(key), dv = val(fg.values.back());
    ASSERT_EQ(orv_cursor_get(w.get(), &kv, &dv, ORV_GET_BOTH), 0);
    CursorPtr c = open_cursor(txn, dbi);
    kv = val(key);
    ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_SET), 0);
    ASSERT_EQ(str(dv), fg.values[0]);
    ASSERT_EQ(orv_cursor_del(c.get(), 0), 0);
    ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(dv), fg.values[1]);
    ASSERT_EQ(orv_cursor_get(w.get(), &kv, &dv, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(dv), fg.values.back());
    uint64_t n = 0;
    ASSERT_EQ(orv_cursor_count(c.get(), &n), 0);
    EXPECT_EQ(n, fg.values.size() - 1);
    // Every remaining value, stepping (the cursor still stands before the
    // value that followed the deleted one) and listed.
    for (size_t i = 1; i < fg.values.size(); i++) {
      ASSERT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_NEXT_DUP), 0) << i;
      EXPECT_EQ(str(dv), fg.values[i]) << i;
    }
    EXPECT_EQ(orv_cursor_get(c.get(), &kv, &dv, ORV_NEXT_DUP), ORV_NOTFOUND);
    ORV_val *list = nullptr;
    ASSERT_EQ(orv_cursor_list_dup(c.get(), &list, &n), 0);
    ASSERT_EQ(n, fg.values.size() - 1);
    for (size_t i = 1; i < fg.values.size(); i++) EXPECT_EQ(str(list[i - 1]), fg.values[i]);
    EXPECT_TREE_VALID(txn);
    w.reset();
    c.reset();
    ASSERT_EQ(orv_txn_commit(txn), 0);
    EXPECT_TRUE(orv_test::EnvTreesValid(env_));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CompressedSubPage, ::testing::ValuesIn(kFirstGoes),
                         [](const auto &info) { return std::string(info.param.name); });

// A cursor whose forward step failed at the end stands on the last entry
// (C_EOF). When entries are added after it and its own entry is then
// deleted, it stands before the entry that followed, and its next step
// returns that entry.
class EndOfDataThenDelete : public orv_test::EnvFixture,
                            public ::testing::WithParamInterface<int> {};

TEST_P(EndOfDataThenDelete, NextReturnsTheFollowingEntry) {
  const int nvals = GetParam();  // values of key "k": 1 (no value tree), 3, 700
  ORV_txn *txn = begin();
  ORV_dbi dbi = open_db(txn, "e", ORV_DUPSORT);
  auto value = [](int i) {
    char b[16];
    std::snprintf(b, sizeof b, "v%05d", i);
    return std::string(b);
  };
  std::string k = "k", after = "l";
  for (int i = 0; i < nvals; i++) {
    std::string v = value(i);
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  CursorPtr w = open_cursor(txn, dbi);
  ORV_val kv, dv;
  ASSERT_EQ(orv_cursor_get(w.get(), &kv, &dv, ORV_LAST), 0);
  ASSERT_EQ(orv_cursor_get(w.get(), &kv, &dv, ORV_NEXT), ORV_NOTFOUND);
  const std::string last = value(nvals - 1);
  // A later value of the same key (or a later key), then the watched
  // entry goes.
  std::string more = nvals > 1 ? value(nvals) : "x";
  std::string mkey = nvals > 1 ? k : after;
  kv = val(mkey);
  dv = val(more);
  ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  kv = val(k);
  dv = val(last);
  ASSERT_EQ(orv_del(txn, dbi, &kv, nvals > 1 ? &dv : nullptr), 0);
  ASSERT_EQ(orv_cursor_get(w.get(), &kv, &dv, ORV_NEXT), 0);
  EXPECT_EQ(str(kv), mkey);
  EXPECT_EQ(str(dv), more);
  EXPECT_EQ(orv_cursor_get(w.get(), &kv, &dv, ORV_NEXT), ORV_NOTFOUND);
  EXPECT_TREE_VALID(txn);
  w.reset();
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(Values, EndOfDataThenDelete, ::testing::Values(1, 3, 700));

}  // namespace
