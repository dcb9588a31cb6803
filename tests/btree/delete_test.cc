// [delete]: lib/btree/delete.cc, lib/txn/rebalance.cc - orv_del and
// orv_cursor_del on databases without duplicates: trees shrinking back to
// one page and to empty in several orders, exact page statistics, entry
// counts and branch counts of counted trees (checked by the tree verifier
// and by rank lookups), overflow runs, other cursors of the transaction near
// the deleted entries, and the error paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using orv_test::str;
using orv_test::val;

ORV_val val(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }

// Long keys make wide branch nodes, so that a few thousand keys already
// give a tree of three levels.
std::string key_of(int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "key-%06d-", n);
  return buf + std::string(80, 'k');
}
// Values of varying size, so that pages hold different numbers of nodes;
// every 50th value lives on an overflow run.
std::string value_of(int n) {
  if (n % 50 == 7) return std::string(5000 + n, static_cast<char>('A' + n % 26));
  return std::string(20 + (n * 37) % 180, static_cast<char>('a' + n % 26));
}

class DeleteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, 64u << 20), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 4), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), 0, 0644), 0);
  }
  void TearDown() override {
    if (txn_ != nullptr) orv_txn_abort(txn_);
    orv_env_close(env_);
  }

  void Begin(unsigned flags = 0) { ASSERT_EQ(orv_txn_begin(env_, nullptr, flags, &txn_), 0); }
  void Commit() {
    ASSERT_EQ(orv_txn_commit(txn_), 0);
    txn_ = nullptr;
  }

  // Fills database `name` with keys 0..n-1 (in a scattered order) and
  // commits. Returns its handle.
  ORV_dbi Fill(const char *name, unsigned flags, int n) {
    Begin();
    ORV_dbi dbi = 0;
    EXPECT_EQ(orv_dbi_open(txn_, name, flags | ORV_CREATE, &dbi), 0);
    for (int i = 0; i < n; i++) {
      const int k = static_cast<int>((static_cast<int64_t>(i) * 7919) % n);
      std::string kk = key_of(k), vv = value_of(k);
      ORV_val key = val(kk), data = val(vv);
      const int rc = orv_put(txn_, dbi, &key, &data, 0);
      EXPECT_EQ(rc, 0) << k;
      model_[kk] = vv;
    }
    Commit();
    return dbi;
  }

  ORV_stat Stat(ORV_dbi dbi) {
    ORV_stat st{};
    EXPECT_EQ(orv_stat(txn_, dbi, &st), 0);
    return st;
  }

  // The database holds exactly the model, in order, and its statistics and
  // counts agree with it.
  void ExpectMatchesModel(ORV_dbi dbi, bool counted) {
    ORV_cursor *mc;
    ASSERT_EQ(orv_cursor_open(txn_, dbi, &mc), 0);
    ORV_val key, data;
    auto it = model_.begin();
    int rc;
    while ((rc = orv_cursor_get(mc, &key, &data, ORV_NEXT)) == 0) {
      ASSERT_NE(it, model_.end()) << "extra key " << str(key);
      ASSERT_EQ(str(key), it->first);
      ASSERT_EQ(str(data), it->second);
      ++it;
    }
    EXPECT_EQ(rc, ORV_NOTFOUND);
    EXPECT_EQ(it, model_.end());
    orv_cursor_close(mc);
    EXPECT_EQ(Stat(dbi).ms_entries, model_.size());
    if (counted) {
      EXPECT_EQ(RootCount(dbi), model_.size());
    }
    // Branch counts, page statistics, separators and md_entries.
    EXPECT_TREE_VALID(txn_);
  }

  // Sum of the counts of the root's nodes (the entries of a counted tree).
  uint64_t RootCount(ORV_dbi dbi) {
    const ORV_db &db = txn_->mt_dbs[dbi];
    if (db.md_root == P_INVALID) return 0;
    ORV_cursor mc;
    std::memset(static_cast<void *>(&mc), 0, sizeof mc);
    orv_cursor_init(&mc, txn_, dbi, nullptr);
    ORV_page *root = nullptr;
    EXPECT_EQ(orv_page_get(&mc, db.md_root, &root, nullptr), 0);
    orv_pkc_free(&mc);
    if (root == nullptr) return 0;
    return orv_page_entries(root);
  }

  void ExpectEmpty(ORV_dbi dbi) {
    ORV_stat st = Stat(dbi);
    EXPECT_EQ(st.ms_depth, 0u);
    EXPECT_EQ(st.ms_leaf_pages, 0u);
    EXPECT_EQ(st.ms_branch_pages, 0u);
    EXPECT_EQ(st.ms_overflow_pages, 0u);
    EXPECT_EQ(st.ms_entries, 0u);
    EXPECT_EQ(txn_->mt_dbs[dbi].md_root, P_INVALID);
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_txn *txn_ = nullptr;
  std::map<std::string, std::string> model_;
};

// ---- Whole trees deleted in several orders ------------------------------------------

enum class Order { kSequential, kReverse, kRandom, kEveryOther };
enum class Via { kDel, kCursor };

struct Pattern {
  const char *name;
  Order order;
  Via via;
  unsigned flags;
};

const Pattern kPatterns[] = {
    {"seq_del", Order::kSequential, Via::kDel, 0},
    {"rev_del", Order::kReverse, Via::kDel, 0},
    {"random_del", Order::kRandom, Via::kDel, 0},
    {"alternate_del", Order::kEveryOther, Via::kDel, 0},
    {"seq_cursor", Order::kSequential, Via::kCursor, 0},
    {"rev_cursor", Order::kReverse, Via::kCursor, 0},
    {"seq_del_counted", Order::kSequential, Via::kDel, ORV_COUNTED},
    {"rev_del_counted", Order::kReverse, Via::kDel, ORV_COUNTED},
    {"random_del_counted", Order::kRandom, Via::kDel, ORV_COUNTED},
    {"alternate_cursor_counted", Order::kEveryOther, Via::kCursor, ORV_COUNTED},
    {"seq_cursor_counted", Order::kSequential, Via::kCursor, ORV_COUNTED},
    {"random_del_prefix", Order::kRandom, Via::kDel, ORV_PREFIXKEY},
    {"rev_cursor_prefix_counted", Order::kReverse, Via::kCursor, ORV_PREFIXKEY | ORV_COUNTED},
    {"alternate_del_prefix_counted", Order::kEveryOther, Via::kDel, ORV_PREFIXKEY | ORV_COUNTED},
};

void PrintTo(const Pattern &p, std::ostream *os) { *os << p.name; }

class DeletePatternTest : public DeleteTest, public ::testing::WithParamInterface<Pattern> {};

std::vector<std::string> DeletionOrder(const std::map<std::string, std::string> &model, Order order,
                                       unsigned seed) {
  std::vector<std::string> keys;
  for (const auto &kv : model) keys.push_back(kv.first);
  switch (order) {
    case Order::kSequential:
      break;
    case Order::kReverse:
      std::reverse(keys.begin(), keys.end());
      break;
    case Order::kRandom: {
      std::mt19937 rng(seed);
      std::shuffle(keys.begin(), keys.end(), rng);
      break;
    }
    case Order::kEveryOther: {
      std::vector<std::string> out;
      for (size_t i = 0; i < keys.size(); i += 2) out.push_back(keys[i]);
      for (size_t i = 1; i < keys.size(); i += 2) out.push_back(keys[i]);
      keys = out;
      break;
    }
  }
  return keys;
}

TEST_P(DeletePatternTest, ShrinksToOnePageAndToEmpty) {
  const Pattern &p = GetParam();
  const bool counted = p.flags & ORV_COUNTED;
  const int kKeys = 1500;
  ORV_dbi dbi = Fill("t", p.flags, kKeys);
  const unsigned seed = 12345;
  SCOPED_TRACE(::testing::Message() << "pattern " << p.name << " seed " << seed);

  Begin();
  ORV_stat st = Stat(dbi);
  ASSERT_GE(st.ms_depth, 3u) << "the test needs a tree of several levels";
  ExpectMatchesModel(dbi, counted);

  std::vector<std::string> order = DeletionOrder(model_, p.order, seed);
  ORV_cursor *mc = nullptr;
  if (p.via == Via::kCursor) {
    ASSERT_EQ(orv_cursor_open(txn_, dbi, &mc), 0);
  }
  bool one_page_seen = false;
  for (size_t i = 0; i < order.size(); i++) {
    const std::string &k = order[i];
    if (p.via == Via::kDel) {
      ORV_val key = val(k);
      ASSERT_EQ(orv_del(txn_, dbi, &key, nullptr), 0) << k;
    } else {
      ORV_val key = val(k);
      ASSERT_EQ(orv_cursor_get(mc, &key, nullptr, ORV_SET), 0) << k;
      ASSERT_EQ(orv_cursor_del(mc, 0), 0) << k;
    }
    model_.erase(k);
    if (i % 250 == 0 || model_.size() < 40) {
      ExpectMatchesModel(dbi, counted);
      if (HasFatalFailure() || HasFailure()) return;
    }
    st = Stat(dbi);
    if (!model_.empty() && st.ms_depth == 1) {
      one_page_seen = true;
      EXPECT_EQ(st.ms_leaf_pages, 1u);
      EXPECT_EQ(st.ms_branch_pages, 0u);
    }
  }
  EXPECT_TRUE(one_page_seen);
  ExpectEmpty(dbi);
  EXPECT_TREE_VALID(txn_);
  if (mc != nullptr) {
    // The deleting cursor stands past the end of an empty tree.
    ORV_val key, data;
    EXPECT_EQ(orv_cursor_get(mc, &key, &data, ORV_NEXT), ORV_NOTFOUND);
    EXPECT_EQ(orv_cursor_get(mc, &key, &data, ORV_FIRST), ORV_NOTFOUND);
    orv_cursor_close(mc);
  }
  Commit();

  // Every page of the tree went back to the free lists: nothing leaked.
  EXPECT_TRUE(::orv_test::EnvTreesValid(env_));
  Begin(ORV_RDONLY);
  ExpectEmpty(dbi);
}

INSTANTIATE_TEST_SUITE_P(Patterns, DeletePatternTest, ::testing::ValuesIn(kPatterns),
                         [](const auto &info) { return std::string(info.param.name); });

// Reverse-ordered keys shrink the same way; only the verifier knows their
// order, so it checks the tree.
TEST_F(DeleteTest, ReverseKeysShrinkToEmpty) {
  ORV_dbi dbi = Fill("r", ORV_REVERSEKEY | ORV_COUNTED, 1200);
  Begin();
  std::vector<std::string> keys;
  for (const auto &kv : model_) keys.push_back(kv.first);
  std::mt19937 rng(99);
  std::shuffle(keys.begin(), keys.end(), rng);
  for (size_t i = 0; i < keys.size(); i++) {
    ORV_val key = val(keys[i]);
    ASSERT_EQ(orv_del(txn_, dbi, &key, nullptr), 0);
    if (i % 300 == 0) {
      EXPECT_TREE_VALID(txn_);
      EXPECT_EQ(Stat(dbi).ms_entries, keys.size() - i - 1);
    }
  }
  ExpectEmpty(dbi);
  Commit();
  EXPECT_TRUE(::orv_test::EnvTreesValid(env_));
}

// Deleting in a committed tree across several transactions, with commits in
// between, keeps the file consistent (pages freed by merges are reused).
TEST_F(DeleteTest, DeletesAcrossCommits) {
  ORV_dbi dbi = Fill("c", ORV_COUNTED, 1000);
  std::mt19937 rng(7);
  for (int round = 0; round < 5; round++) {
    Begin();
    std::vector<std::string> keys;
    for (const auto &kv : model_) keys.push_back(kv.first);
    std::shuffle(keys.begin(), keys.end(), rng);
    keys.resize(keys.size() / 2);
    for (const std::string &k : keys) {
      ORV_val key = val(k);
      ASSERT_EQ(orv_del(txn_, dbi, &key, nullptr), 0);
      model_.erase(k);
    }
    ExpectMatchesModel(dbi, true);
    Commit();
    EXPECT_TRUE(::orv_test::EnvTreesValid(env_));
  }
}

// ---- Overflow values ------------------------------------------------------------------

TEST_F(DeleteTest, OverflowRunsAreFreed) {
  ORV_dbi dbi = Fill("o", 0, 200);
  Begin();
  ASSERT_GT(Stat(dbi).ms_overflow_pages, 0u);
  for (auto it = model_.begin(); it != model_.end();) {
    if (it->second.size() > 1000) {
      ORV_val key = val(it->first);
      ASSERT_EQ(orv_del(txn_, dbi, &key, nullptr), 0);
      it = model_.erase(it);
    } else {
      ++it;
    }
  }
  EXPECT_EQ(Stat(dbi).ms_overflow_pages, 0u);
  ExpectMatchesModel(dbi, false);
  Commit();
  EXPECT_TRUE(::orv_test::EnvTreesValid(env_));
}

// ---- Other cursors near the deleted entry ---------------------------------------------

TEST_F(DeleteTest, OtherCursorsFollowDeletes) {
  ORV_dbi dbi = Fill("n", ORV_COUNTED, 600);
  Begin();
  ORV_cursor *del, *same, *after, *before, *far;
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &del), 0);
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &same), 0);
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &after), 0);
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &before), 0);
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &far), 0);
  auto set = [](ORV_cursor *c, const std::string &k) {
    ORV_val key = val(k), data;
    return orv_cursor_get(c, &key, &data, ORV_SET);
  };
  auto current = [](ORV_cursor *c) {
    ORV_val key, data;
    int rc = orv_cursor_get(c, &key, &data, ORV_GET_CURRENT);
    return rc == 0 ? str(key) : "<" + std::to_string(rc) + ">";
  };

  // Delete keys 100..399 one at a time through `del`; `same` stands on the
  // same key, `after` on the next one, `before` on the previous one and
  // `far` on a key in another part of the tree.
  ASSERT_EQ(set(far, key_of(550)), 0);
  for (int k = 100; k < 400; k++) {
    ASSERT_EQ(set(del, key_of(k)), 0);
    ASSERT_EQ(set(same, key_of(k)), 0);
    ASSERT_EQ(set(after, key_of(k + 1)), 0);
    ASSERT_EQ(set(before, key_of(99)), 0);
    ASSERT_EQ(orv_cursor_del(del, 0), 0) << k;
    model_.erase(key_of(k));
    EXPECT_EQ(current(after), key_of(k + 1));
    EXPECT_EQ(current(before), key_of(99));
    EXPECT_EQ(current(far), key_of(550));
    // Both cursors on the deleted key step to the key that followed it.
    ORV_val key, data;
    ASSERT_EQ(orv_cursor_get(same, &key, &data, ORV_NEXT), 0);
    EXPECT_EQ(str(key), key_of(k + 1));
    ASSERT_EQ(orv_cursor_get(del, &key, &data, ORV_NEXT), 0);
    EXPECT_EQ(str(key), key_of(k + 1));
    if (HasFailure()) return;
  }
  ExpectMatchesModel(dbi, true);

  // A cursor deleting while walking forward visits every key exactly once.
  ORV_val key, data;
  ASSERT_EQ(orv_cursor_get(del, &key, &data, ORV_FIRST), 0);
  std::vector<std::string> seen;
  int rc = 0;
  int i = 0;
  while (rc == 0) {
    seen.push_back(str(key));
    if (i++ % 3 != 0) {
      ASSERT_EQ(orv_cursor_del(del, 0), 0);
      model_.erase(seen.back());
    }
    rc = orv_cursor_get(del, &key, &data, ORV_NEXT);
  }
  EXPECT_EQ(rc, ORV_NOTFOUND);
  EXPECT_EQ(seen.size(), 300u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  // far's key went too: it stands on the first key that survived after it.
  ASSERT_EQ(model_.count(key_of(550)), 0u);
  EXPECT_EQ(current(far), model_.lower_bound(key_of(550))->first);
  ExpectMatchesModel(dbi, true);

  // Walking backwards from the end while deleting every key empties the tree;
  // cursors left on it become unpositioned.
  ASSERT_EQ(orv_cursor_get(del, &key, &data, ORV_LAST), 0);
  size_t deleted = 0;
  for (;;) {
    ASSERT_EQ(orv_cursor_del(del, 0), 0);
    deleted++;
    rc = orv_cursor_get(del, &key, &data, ORV_PREV);
    if (rc != 0) break;
  }
  EXPECT_EQ(rc, ORV_NOTFOUND);
  EXPECT_EQ(deleted, model_.size());
  model_.clear();
  ExpectEmpty(dbi);
  EXPECT_EQ(orv_cursor_get(far, &key, &data, ORV_GET_CURRENT), EINVAL);
  EXPECT_EQ(orv_cursor_get(far, &key, &data, ORV_NEXT), ORV_NOTFOUND);
  EXPECT_TREE_VALID(txn_);
  Commit();
}

TEST_F(DeleteTest, DeletingLastKeyOfPage) {
  ORV_dbi dbi = Fill("l", 0, 5);
  Begin();
  ORV_cursor *mc, *other;
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &mc), 0);
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &other), 0);
  ORV_val key, data;
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_LAST), 0);
  ASSERT_EQ(orv_cursor_get(other, &key, &data, ORV_LAST), 0);
  ASSERT_EQ(orv_cursor_del(mc, 0), 0);
  // Past the end: nothing follows, the current entry is gone, and the
  // previous step finds the new last key.
  EXPECT_EQ(orv_cursor_get(mc, &key, &data, ORV_GET_CURRENT), ORV_NOTFOUND);
  EXPECT_EQ(orv_cursor_get(other, &key, &data, ORV_NEXT), ORV_NOTFOUND);
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_PREV), 0);
  EXPECT_EQ(str(key), key_of(3));
  // A second delete through the same cursor after a step works normally.
  ASSERT_EQ(orv_cursor_del(mc, 0), 0);
  EXPECT_EQ(orv_cursor_get(mc, &key, &data, ORV_NEXT), ORV_NOTFOUND);
  Commit();
}

// ---- Errors -------------------------------------------------------------------------------

TEST_F(DeleteTest, Errors) {
  ORV_dbi dbi = Fill("e", 0, 10);
  Begin(ORV_RDONLY);
  const std::string k1 = key_of(1);
  ORV_val key = val(k1), data = val("ignored");
  EXPECT_EQ(orv_del(txn_, dbi, &key, nullptr), EACCES);
  ORV_cursor *rc_cur;
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &rc_cur), 0);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(rc_cur, &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(orv_cursor_del(rc_cur, 0), EACCES);
  orv_cursor_close(rc_cur);
  orv_txn_abort(txn_);
  txn_ = nullptr;

  Begin();
  EXPECT_EQ(orv_del(nullptr, dbi, &key, nullptr), EINVAL);
  EXPECT_EQ(orv_del(txn_, dbi, nullptr, nullptr), EINVAL);
  EXPECT_EQ(orv_del(txn_, 3, &key, nullptr), EINVAL);
  EXPECT_EQ(orv_cursor_del(nullptr, 0), EINVAL);
  ORV_val missing = val("nope");
  EXPECT_EQ(orv_del(txn_, dbi, &missing, nullptr), ORV_NOTFOUND);
  ORV_val empty{0, nullptr};
  EXPECT_EQ(orv_del(txn_, dbi, &empty, nullptr), ORV_BAD_VALSIZE);
  ORV_cursor *mc;
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &mc), 0);
  EXPECT_EQ(orv_cursor_del(mc, 0), EINVAL);  // not positioned
  // Without duplicates the value is ignored: the key goes whatever it says.
  ASSERT_EQ(orv_del(txn_, dbi, &key, &data), 0);
  EXPECT_EQ(orv_del(txn_, dbi, &key, nullptr), ORV_NOTFOUND);
  EXPECT_EQ(Stat(dbi).ms_entries, 9u);

  // A named database's record cannot be deleted as plain data; the
  // transaction is failed.
  ORV_cursor *mainc;
  ASSERT_EQ(orv_cursor_open(txn_, MAIN_DBI, &mainc), 0);
  ORV_val name = val("e");
  ASSERT_EQ(orv_cursor_get(mainc, &name, &d, ORV_SET), 0);
  EXPECT_EQ(orv_cursor_del(mainc, 0), ORV_INCOMPATIBLE);
  EXPECT_EQ(orv_del(txn_, dbi, &key, nullptr), ORV_BAD_TXN);
  EXPECT_NE(orv_txn_commit(txn_), 0);
  txn_ = nullptr;

  // A handle closed under a running transaction is detected, not used.
  Begin();
  orv_dbi_close(env_, dbi);
  EXPECT_EQ(orv_del(txn_, dbi, &key, nullptr), ORV_BAD_DBI);
}

TEST_F(DeleteTest, DelOnNamedRecordIsIncompatible) {
  Fill("named", 0, 3);
  Begin();
  ORV_val name = val("named");
  EXPECT_EQ(orv_del(txn_, MAIN_DBI, &name, nullptr), ORV_INCOMPATIBLE);
}

// Random puts and deletes against a model, with a cursor parked on a random
// key that must keep standing on it (or on its successor once it is gone).
TEST_F(DeleteTest, RandomPutsAndDeletes) {
  const unsigned seed = 2024;
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  Begin();
  ORV_dbi dbi = 0;
  ASSERT_EQ(orv_dbi_open(txn_, "m", ORV_COUNTED | ORV_CREATE, &dbi), 0);
  ORV_cursor *parked;
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &parked), 0);
  std::string parked_key;
  for (int step = 1; step <= 6000; step++) {
    const int k = static_cast<int>(rng() % 1200);
    std::string kk = key_of(k);
    ORV_val key = val(kk);
    // Deletes win slightly more often in the second half: the tree grows,
    // then shrinks.
    const bool del = (rng() % 100) < (step < 3000 ? 35u : 65u);
    if (del) {
      const int rc = orv_del(txn_, dbi, &key, nullptr);
      ASSERT_EQ(rc, model_.erase(kk) ? 0 : ORV_NOTFOUND) << "step " << step;
    } else {
      std::string vv = value_of(k + step);
      ORV_val data = val(vv);
      ASSERT_EQ(orv_put(txn_, dbi, &key, &data, 0), 0) << "step " << step;
      model_[kk] = vv;
    }
    if (step % 500 == 0 && !model_.empty()) {
      // Park the cursor on some key.
      auto it = std::next(model_.begin(), static_cast<long>(rng() % model_.size()));
      parked_key = it->first;
      ORV_val pk = val(parked_key), pd;
      ASSERT_EQ(orv_cursor_get(parked, &pk, &pd, ORV_SET), 0);
    }
    if (!parked_key.empty()) {
      ORV_val ck, cd;
      auto it = model_.lower_bound(parked_key);
      const int rc = orv_cursor_get(parked, &ck, &cd, ORV_GET_CURRENT);
      if (model_.count(parked_key)) {
        ASSERT_EQ(rc, 0) << "step " << step;
        ASSERT_EQ(str(ck), parked_key) << "step " << step;
      } else if (rc == 0) {
        // Deleted under the cursor: it stands on the successor.
        ASSERT_NE(it, model_.end()) << "step " << step;
        ASSERT_EQ(str(ck), it->first) << "step " << step;
        parked_key = it->first;
      } else {
        parked_key.clear();
      }
    }
    if (step % 1000 == 0) {
      ExpectMatchesModel(dbi, true);
      if (HasFailure()) return;
    }
  }
  orv_cursor_close(parked);
  Commit();
  EXPECT_TRUE(::orv_test::EnvTreesValid(env_));
}

// ---- Keys with duplicates -----------------------------------------------------------------

// Values of key k: "v" + 5-digit number, so that they sort numerically.
std::string dup_of(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "v%05d", n);
  return buf;
}

struct DupCase {
  const char *name;
  unsigned flags;
  int values;  // per key: few stay in a sub-page, many need a sub-database
};

const DupCase kDupCases[] = {
    {"subpage", ORV_DUPSORT, 5},
    {"subdb", ORV_DUPSORT, 600},
    {"subpage_counted", ORV_DUPSORT | ORV_COUNTED, 5},
    {"subdb_counted", ORV_DUPSORT | ORV_COUNTED, 600},
};

void PrintTo(const DupCase &c, std::ostream *os) { *os << c.name; }

class DeleteDupTest : public DeleteTest, public ::testing::WithParamInterface<DupCase> {
 protected:
  // Keys 0..nkeys-1, each with `values` values; committed.
  ORV_dbi FillDups(int nkeys) {
    const DupCase &c = GetParam();
    Begin();
    ORV_dbi dbi = 0;
    EXPECT_EQ(orv_dbi_open(txn_, "d", c.flags | ORV_CREATE, &dbi), 0);
    for (int k = 0; k < nkeys; k++) {
      std::string kk = key_of(k);
      for (int v = 0; v < c.values; v++) {
        std::string vv = dup_of(v);
        ORV_val key = val(kk), data = val(vv);
        const int rc = orv_put(txn_, dbi, &key, &data, 0);
        EXPECT_EQ(rc, 0);
      }
    }
    Commit();
    return dbi;
  }
  uint64_t CountOf(ORV_dbi dbi, const std::string &k) {
    ORV_cursor *mc;
    EXPECT_EQ(orv_cursor_open(txn_, dbi, &mc), 0);
    ORV_val key = val(k), data;
    uint64_t n = 0;
    if (orv_cursor_get(mc, &key, &data, ORV_SET) == 0) {
      EXPECT_EQ(orv_cursor_count(mc, &n), 0);
    }
    orv_cursor_close(mc);
    return n;
  }
};

TEST_P(DeleteDupTest, SingleValuesAndWholeKeys) {
  const DupCase &c = GetParam();
  const uint64_t nv = static_cast<uint64_t>(c.values);
  ORV_dbi dbi = FillDups(6);
  Begin();
  const uint64_t total = 6 * nv;
  ASSERT_EQ(Stat(dbi).ms_entries, total);

  // One value of key 1 goes; an absent value changes nothing.
  std::string k1 = key_of(1), v3 = dup_of(3), absent = "zzz";
  ORV_val key = val(k1), data = val(v3), none = val(absent);
  ASSERT_EQ(orv_del(txn_, dbi, &key, &data), 0);
  EXPECT_EQ(Stat(dbi).ms_entries, total - 1);
  EXPECT_EQ(CountOf(dbi, k1), nv - 1);
  EXPECT_EQ(orv_del(txn_, dbi, &key, &data), ORV_NOTFOUND);
  EXPECT_EQ(orv_del(txn_, dbi, &key, &none), ORV_NOTFOUND);
  EXPECT_EQ(Stat(dbi).ms_entries, total - 1);
  EXPECT_TREE_VALID(txn_);

  // Without a value the whole key goes, whatever its values are stored in.
  std::string k2 = key_of(2);
  ORV_val key2 = val(k2);
  ASSERT_EQ(orv_del(txn_, dbi, &key2, nullptr), 0);
  EXPECT_EQ(Stat(dbi).ms_entries, total - 1 - nv);
  EXPECT_EQ(CountOf(dbi, k2), 0u);
  EXPECT_TREE_VALID(txn_);

  // A cursor deleting every value of key 3 one by one stands before the
  // value that followed (ORV_NEXT_DUP returns it) and removes the key with
  // its last value; its next step returns the following key.
  ORV_cursor *mc;
  ASSERT_EQ(orv_cursor_open(txn_, dbi, &mc), 0);
  std::string k3 = key_of(3);
  ORV_val key3 = val(k3), d;
  ASSERT_EQ(orv_cursor_get(mc, &key3, &d, ORV_SET), 0);
  for (uint64_t i = 0; i < nv; i++) {
    ASSERT_EQ(orv_cursor_del(mc, 0), 0) << i;
    if (i + 1 < nv) {
      ORV_val k, v;
      ASSERT_EQ(orv_cursor_get(mc, &k, &v, ORV_NEXT_DUP), 0);
      EXPECT_EQ(str(v), dup_of(static_cast<int>(i + 1)));
      ASSERT_EQ(orv_cursor_get(mc, &k, &v, ORV_GET_CURRENT), 0);
      EXPECT_EQ(str(v), dup_of(static_cast<int>(i + 1)));
    }
  }
  ORV_val k, v;
  ASSERT_EQ(orv_cursor_get(mc, &k, &v, ORV_NEXT), 0);
  EXPECT_EQ(str(k), key_of(4));
  EXPECT_EQ(str(v), dup_of(0));
  EXPECT_EQ(Stat(dbi).ms_entries, total - 1 - 2 * nv);

  // ORV_NODUPDATA through a cursor removes the whole key at once.
  ASSERT_EQ(orv_cursor_del(mc, ORV_NODUPDATA), 0);
  EXPECT_EQ(CountOf(dbi, key_of(4)), 0u);
  EXPECT_EQ(Stat(dbi).ms_entries, total - 1 - 3 * nv);
  orv_cursor_close(mc);
  EXPECT_TREE_VALID(txn_);
  Commit();
  // Freed value trees leave no page behind.
  EXPECT_TRUE(::orv_test::EnvTreesValid(env_));
}

INSTANTIATE_TEST_SUITE_P(Dups, DeleteDupTest, ::testing::ValuesIn(kDupCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
