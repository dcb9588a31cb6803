// [prefix]: the write path of prefix-compressed databases (ORV_PREFIXKEY):
// lib/page/node_edit.cc, lib/btree/put.cc, lib/btree/split.cc with
// lib/page/prefix_rebuild.cc, and the reads that follow them.
//
//  - Encoding: the page layout after inserting below a page's first key and
//    removing it again, byte for byte. Under a reversed order, removing or
//    overwriting a first key whose page no longer fits re-encoded splits
//    the page, into more than two pages where two cannot hold it (plain and
//    counted; other cursors, counts, verifier).
//  - Lifetimes: keys a cursor returned survive other cursors' work and can
//    be written back through the same cursor; values from orv_get survive
//    the call.
//
// prefix_model_test.cc compares whole workloads with and without the flag;
// prefix_damage_test.cc reads damaged and non-canonical pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "util/fixtures.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using namespace orv_test;

// ---- Encoding on the page ---------------------------------------------------------

using PrefixLayout = EnvFixture;

// Stored key bytes of every slot of the leaf under the cursor.
std::vector<std::string> stored_keys(ORV_cursor *c) {
  ORV_page *mp = cursor_page(c);
  std::vector<std::string> out;
  for (unsigned i = 0; i < numkeys(mp); i++) {
    const ORV_node *node = node_ptr(mp, i);
    out.emplace_back(static_cast<const char *>(node_key(node, NODESIZE)), node->mn_ksize);
  }
  return out;
}

TEST_F(PrefixLayout, NewFirstKeyRewritesThePageAndRemovingItRestoresIt) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "p", ORV_PREFIXKEY);
  auto put = [&](const std::string &k) {
    const std::string v = "v-" + k;
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  };
  for (const char *k : {"apple", "banana", "apricot"}) put(k);
  CursorPtr c = open_cursor(txn, dbi);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(stored_keys(c.get()), (std::vector<std::string>{"apple", std::string("\x02ricot"),
                                                            std::string("\x00"
                                                                        "banana",
                                                                        7)}));
  EXPECT_EQ(cursor_page(c.get())->mp_pad, 7);  // apricot

  put("aardvark");
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(stored_keys(c.get()), (std::vector<std::string>{"aardvark", "\x01pple", "\x01pricot",
                                                            std::string("\x00"
                                                                        "banana",
                                                                        7)}));
  EXPECT_EQ(cursor_page(c.get())->mp_pad, 8);

  const std::string aardvark = "aardvark";
  ORV_val gone = val(aardvark);
  ASSERT_EQ(orv_del(txn, dbi, &gone, nullptr), 0);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(stored_keys(c.get()), (std::vector<std::string>{"apple", std::string("\x02ricot"),
                                                            std::string("\x00"
                                                                        "banana",
                                                                        7)}));
  EXPECT_EQ(cursor_page(c.get())->mp_pad, 7);
  EXPECT_EQ(str(k), "apple");
  EXPECT_EQ(str(d), "v-apple");

  // The longest key goes: mp_pad follows it down.
  const std::string apricot_key = "apricot";
  ORV_val apricot = val(apricot_key);
  ASSERT_EQ(orv_del(txn, dbi, &apricot, nullptr), 0);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(cursor_page(c.get())->mp_pad, 6);
  // Every slot gone: an empty page's longest key is 0 (the tree is empty).
  for (const std::string key : {"apple", "banana"}) {
    ORV_val kv = val(key);
    ASSERT_EQ(orv_del(txn, dbi, &kv, nullptr), 0);
  }
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), ORV_NOTFOUND);
  c.reset();
  EXPECT_TREE_VALID(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

// Overwriting the first key's value with one of another size keeps the key
// stored whole and every other key as it was.
TEST_F(PrefixLayout, OverwritingTheFirstKeyKeepsTheEncoding) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "p", ORV_PREFIXKEY | ORV_COUNTED);
  for (const std::string key : {"node/alpha", "node/alphabet", "node/beta"}) {
    const std::string one = "1";
    ORV_val kv = val(key), dv = val(one);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  CursorPtr c = open_cursor(txn, dbi);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  const std::vector<std::string> before = stored_keys(c.get());
  for (size_t size : {size_t{40}, size_t{3}, size_t{5000}, size_t{0}}) {
    const std::string v(size, 'z');
    const std::string first = "node/alpha";
    ORV_val kv = val(first), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
    EXPECT_EQ(stored_keys(c.get()), before);
    EXPECT_EQ(str(d), v);
  }
  // Reserved values, on the first key and beyond it, in place and moved,
  // inline and on overflow runs.
  for (const std::string key : {"node/alpha", "node/beta", "node/a"}) {
    for (size_t size : {size_t{7}, size_t{7}, size_t{3000}, size_t{12}}) {
      ORV_val kv = val(key), dv{size, nullptr};
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, ORV_RESERVE), 0);
      ASSERT_NE(dv.mv_data, nullptr);
      std::memset(dv.mv_data, 'r', size);
      ORV_val gk = val(key), gd;
      ASSERT_EQ(orv_get(txn, dbi, &gk, &gd), 0);
      EXPECT_EQ(str(gd), std::string(size, 'r')) << key << " " << size;
    }
  }
  c.reset();
  EXPECT_TREE_VALID(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

// A new first key that shares nothing with the keys of a full page makes
// every key of the page longer: the rewrite does not fit and the page is
// split instead, each half re-encoded against its own first key.
TEST_F(PrefixLayout, KeysBelowAFullPageThatNoLongerFitsSplitIt) {
  for (unsigned flags : {0u, unsigned{ORV_COUNTED}}) {
    SCOPED_TRACE(flags);
    ORV_txn *txn = begin();
    const ORV_dbi dbi = open_db(txn, flags ? "counted" : "plain", ORV_PREFIXKEY | flags);
    std::map<std::string, std::string> m;
    const std::string common = "/shared/" + std::string(90, 's') + "/item";
    for (int i = 0; i < 400; i++) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%05d", i);
      // Values of many sizes leave room at the end of full pages.
      m[common + buf] = std::string(static_cast<size_t>(i * 37 % 300), 'v');
    }
    for (int i = 0; i < 60; i++) m["!" + std::to_string(1000 - i * 7)] = "below";
    // The long keys first (in order), then the ones below all of them.
    for (bool low : {false, true}) {
      for (const auto &[key, value] : m) {
        if ((key[0] == '!') != low) continue;
        ORV_val kv = val(key), dv = val(value);
        ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0) << key;
      }
    }
    CursorPtr c = open_cursor(txn, dbi);
    ORV_val k, d;
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    for (const auto &[key, value] : m) {
      ASSERT_EQ(rc, 0);
      ASSERT_EQ(str(k), key);
      ASSERT_EQ(str(d), value);
      rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT);
    }
    EXPECT_EQ(rc, ORV_NOTFOUND);
    c.reset();
    ASSERT_TREE_VALID(txn);
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
}

// The parent's key-length index describes its own copy of a page; after a
// nested transaction committed its changes to that page (same slot count,
// same longest key), the parent must not trust it: deleting the longest key
// must leave mp_pad at the child's 25-byte key, not at a length the parent
// remembers.
TEST_F(PrefixLayout, LongestKeyStaysExactAcrossNestedCommits) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "p", ORV_PREFIXKEY);
  const std::string k1(10, 'a'), k2 = "ab" + std::string(28, 'x'), k3 = "ac" + std::string(18, 'y'),
                                 k4 = "ad" + std::string(23, 'z');
  auto put = [&](ORV_txn *t, const std::string &k) {
    ORV_val kv = val(k), dv = val(k);
    ASSERT_EQ(orv_put(t, dbi, &kv, &dv, 0), 0);
  };
  auto del = [&](ORV_txn *t, const std::string &k) {
    ORV_val kv = val(k);
    ASSERT_EQ(orv_del(t, dbi, &kv, nullptr), 0);
  };
  for (const std::string *k : {&k1, &k2, &k3}) put(txn, *k);
  ORV_txn *child = begin(0, txn);
  del(child, k3);
  put(child, k4);
  ASSERT_EQ(orv_txn_commit(child), 0);
  del(txn, k2);
  CursorPtr c = open_cursor(txn, dbi);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(cursor_page(c.get())->mp_pad, 25);
  c.reset();
  EXPECT_TREE_VALID(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

// Deleting from a page of long, highly compressed keys leaves it underfull;
// a key moved in from its neighbour (which shares nothing with them) would
// become its first key and every key would be stored nearly whole. The
// delete must still succeed and leave a valid tree.
TEST_F(PrefixLayout, DeletesBesideCompressedPagesSucceed) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "p", ORV_PREFIXKEY);
  const std::string small(40, 'v'), none;
  for (int i = 0; i < 300; i++) {
    const std::string k = "a" + std::to_string(100000 + i);
    ORV_val kv = val(k), dv = val(small);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  std::vector<std::string> longs;
  for (int i = 0; i < 1500; i++) {
    longs.push_back("b" + std::string(400, 'x') + std::to_string(100000 + i));
    ORV_val kv = val(longs.back()), dv = val(none);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  for (size_t i = 0; i < longs.size(); i++) {
    if (i % 16 == 0) continue;
    ORV_val kv = val(longs[i]);
    ASSERT_EQ(orv_del(txn, dbi, &kv, nullptr), 0) << i;
  }
  EXPECT_TREE_VALID(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

// Under a reversed order the key after a page's first key can share nothing
// with the rest of the page while the first key shares 300 bytes with all of
// them: removing the first key re-encodes the others whole, which takes far
// more than a page. The page is split instead, and the delete succeeds.
// Keys are built as reversed strings r, so that the order of the keys is the
// byte order of r and the shared prefixes are common tails of r.
std::string reversed(std::string r) {
  std::reverse(r.begin(), r.end());
  return r;
}

// Group g: its first key (sharing 300 bytes with the group's tail keys), a
// short key right after it sharing nothing, then `tail` keys.
std::vector<std::string> growing_group(char g, int tail) {
  const std::string x(300, 'p');
  std::vector<std::string> keys{reversed(std::string{g} + "0" + x),
                                reversed(std::string{g} + "0z")};
  for (int i = 0; i < tail; i++)
    keys.push_back(reversed(std::string{g} + "1" + std::to_string(100 + i) + x));
  return keys;
}

TEST_F(PrefixLayout, RemovingAFirstKeyThatNoLongerFitsSplitsThePage) {
  ORV_stat st{};
  {
    ORV_txn *txn = begin();
    ASSERT_EQ(orv_stat(txn, 0, &st), 0);
    orv_txn_abort(txn);
  }
  // Enough tail keys that, stored whole, they overflow one page.
  const int tail = static_cast<int>(st.ms_psize / 300) + 4;
  for (unsigned flags : {0u, unsigned{ORV_COUNTED}}) {
    SCOPED_TRACE(flags);
    ORV_txn *txn = begin();
    const std::string name = "r" + std::to_string(flags);
    const ORV_dbi dbi = open_db(txn, name.c_str(), ORV_REVERSEKEY | ORV_PREFIXKEY | flags);
    std::map<std::string, std::string> model;
    auto put = [&](const std::string &k) {
      const std::string v = "v" + std::to_string(model.size());
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
      model[reversed(k)] = v;  // model order: byte order of the reversed key
    };
    auto check = [&] {
      CursorPtr c = open_cursor(txn, dbi);
      ORV_val k{}, d{};
      auto it = model.begin();
      for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST); rc == 0;
           rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ++it) {
        ASSERT_NE(it, model.end());
        ASSERT_EQ(reversed(str(k)), it->first);
        ASSERT_EQ(str(d), it->second);
      }
      ASSERT_EQ(it, model.end());
      ORV_stat s{};
      ASSERT_EQ(orv_stat(txn, dbi, &s), 0);
      ASSERT_EQ(s.ms_entries, model.size());
      ASSERT_TREE_VALID(txn);
    };

    // One page, the root: the split gives the tree a branch level.
    for (const std::string &k : growing_group('m', tail)) put(k);
    ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
    ASSERT_EQ(st.ms_leaf_pages, 1u);
    CursorPtr del = open_cursor(txn, dbi), watch = open_cursor(txn, dbi);
    CursorPtr same = open_cursor(txn, dbi);
    ORV_val k{}, d{};
    ASSERT_EQ(orv_cursor_get(del.get(), &k, &d, ORV_FIRST), 0);
    ASSERT_EQ(orv_cursor_get(same.get(), &k, &d, ORV_FIRST), 0);
    ASSERT_EQ(orv_cursor_get(watch.get(), &k, &d, ORV_LAST), 0);
    const std::string last = str(k);
    ASSERT_EQ(orv_cursor_del(del.get(), 0), 0);
    model.erase(model.begin());
    ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
    EXPECT_EQ(st.ms_leaf_pages, 2u);
    EXPECT_EQ(st.ms_depth, 2u);
    // The deleting cursor and the one on the same entry step to the next
    // entry; the watching cursor stays on its entry.
    for (ORV_cursor *c : {del.get(), same.get()}) {
      ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_NEXT), 0);
      EXPECT_EQ(reversed(str(k)), model.begin()->first);
    }
    ASSERT_EQ(orv_cursor_get(watch.get(), &k, &d, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(k), last);
    check();

    // A larger value for the first key of a nearly full page: neither the
    // page with the node replaced nor the page without it fits, and the
    // page is split with the node replaced.
    {
      const std::string wname = "w" + std::to_string(flags);
      const ORV_dbi wdbi = open_db(txn, wname.c_str(), ORV_REVERSEKEY | ORV_PREFIXKEY | flags);
      const std::vector<std::string> keys = growing_group('w', tail);
      const size_t vsize = (st.ms_psize * 7 / 8 - 320) / keys.size() - 16;
      const std::string small(vsize, 'd');
      for (const std::string &key : keys) {
        ORV_val kv = val(key), dv = val(small);
        ASSERT_EQ(orv_put(txn, wdbi, &kv, &dv, 0), 0);
      }
      ORV_stat ws{};
      ASSERT_EQ(orv_stat(txn, wdbi, &ws), 0);
      ASSERT_EQ(ws.ms_leaf_pages, 1u);
      const std::string big(st.ms_psize / 4 + 64, 'B');
      ORV_val kv = val(keys[0]), dv = val(big);
      ASSERT_EQ(orv_put(txn, wdbi, &kv, &dv, 0), 0);
      ASSERT_EQ(orv_stat(txn, wdbi, &ws), 0);
      EXPECT_EQ(ws.ms_leaf_pages, 2u);
      EXPECT_EQ(ws.ms_entries, keys.size());
      for (size_t i = 0; i < keys.size(); i++) {
        ORV_val gk = val(keys[i]), gd{};
        ASSERT_EQ(orv_get(txn, wdbi, &gk, &gd), 0) << i;
        EXPECT_EQ(str(gd), i == 0 ? big : small) << i;
      }
      ASSERT_TREE_VALID(txn);
    }

    // Many groups below a branch level, deleted from the front through a
    // cursor: each removal takes slot 0 of the leftmost leaf.
    for (char g = 'a'; g <= 'l'; g++)
      for (const std::string &key : growing_group(g, tail)) put(key);
    check();
    const size_t n = model.size();
    for (size_t i = 0; i < n; i++) {
      ASSERT_EQ(orv_cursor_get(del.get(), &k, &d, ORV_FIRST), 0) << i;
      ASSERT_EQ(reversed(str(k)), model.begin()->first) << i;
      ASSERT_EQ(orv_cursor_del(del.get(), 0), 0) << i;
      model.erase(model.begin());
      if (model.empty()) break;
      ASSERT_EQ(orv_cursor_get(del.get(), &k, &d, ORV_NEXT), 0) << i;
      ASSERT_EQ(reversed(str(k)), model.begin()->first) << i;
      ASSERT_EQ(orv_cursor_get(watch.get(), &k, &d, ORV_GET_CURRENT), 0) << i;
      ASSERT_EQ(str(k), last) << i;
      if (i % 16 == 0) check();
    }
    check();
    del.reset();
    watch.reset();
    same.reset();
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
}

// Four groups of keys after the first key share 0, 120, 240 and 360 bytes
// with it (and, within a group, as much with each other). Without the first
// key, every way of cutting the page in two leaves a half whose keys lose
// 120 bytes or more each, more than a page holds: the rest needs several
// pages. The page's tails are cut off to pages of their own first, and the
// delete succeeds with exact counts; cursors on moved entries follow them.
TEST_F(PrefixLayout, RemovingAFirstKeyThatNeedsSeveralPages) {
  ORV_stat st{};
  ORV_txn *txn = begin();
  ASSERT_EQ(orv_stat(txn, 0, &st), 0);
  const ORV_dbi dbi = open_db(txn, "several", ORV_REVERSEKEY | ORV_PREFIXKEY | ORV_COUNTED);
  const int per_group = static_cast<int>(st.ms_psize / 100) + 2;
  // r is the key as ordered: a tag, then the stored key's front reversed.
  const std::string first = reversed("a" + std::string(400, 'L'));
  std::vector<std::string> keys{first};
  for (int g = 0; g < 4; g++)
    for (int j = 0; j < per_group; j++) {
      char tag[16];
      std::snprintf(tag, sizeof tag, "%c%03d", 'b' + g, j);
      keys.push_back(reversed(tag + std::string("M") + std::string(120 * g, 'L')));
    }
  const std::string v = "v";
  for (const std::string &k : keys) {
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
  ASSERT_EQ(st.ms_leaf_pages, 1u);  // all on one page, encoded against the first key
  ASSERT_EQ(orv_txn_commit(txn), 0);

  txn = begin();
  CursorPtr del = open_cursor(txn, dbi), watch = open_cursor(txn, dbi);
  ORV_val k, d;
  ASSERT_EQ(orv_cursor_get(del.get(), &k, &d, ORV_FIRST), 0);
  ASSERT_EQ(str(k), first);
  ORV_val wk = val(keys[keys.size() - 5]);
  ASSERT_EQ(orv_cursor_get(watch.get(), &wk, &d, ORV_SET_KEY), 0);
  ASSERT_EQ(orv_cursor_del(del.get(), 0), 0);
  ASSERT_EQ(orv_cursor_get(del.get(), &k, &d, ORV_NEXT), 0);
  EXPECT_EQ(str(k), keys[1]);
  ASSERT_EQ(orv_cursor_get(watch.get(), &k, &d, ORV_GET_CURRENT), 0);
  EXPECT_EQ(str(k), keys[keys.size() - 5]);
  ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
  EXPECT_GE(st.ms_leaf_pages, 3u);
  EXPECT_EQ(st.ms_entries, keys.size() - 1);
  EXPECT_TREE_VALID(txn);
  del.reset();
  watch.reset();
  ASSERT_EQ(orv_txn_commit(txn), 0);

  std::vector<std::string> got;
  txn = begin(ORV_RDONLY);
  {
    CursorPtr c = open_cursor(txn, dbi);
    for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT))
      got.push_back(str(k));
  }
  EXPECT_TREE_VALID(txn);
  orv_txn_abort(txn);
  EXPECT_EQ(got, std::vector<std::string>(keys.begin() + 1, keys.end()));
}

// ---- Lifetimes of returned keys and values -------------------------------------------

using PrefixLifetimes = EnvFixture;

TEST_F(PrefixLifetimes, ReturnedKeysOutliveOtherWorkAndWriteBack) {
  ORV_txn *txn = begin();
  const ORV_dbi dbi = open_db(txn, "p", ORV_PREFIXKEY);
  std::vector<std::string> keys;
  for (int i = 0; i < 600; i++) {
    keys.push_back("/home/user/projects/eldran/src/file" + std::to_string(i * 7));
    const std::string v = "v" + std::to_string(i);
    ORV_val kv = val(keys.back()), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  std::sort(keys.begin(), keys.end());
  ASSERT_EQ(orv_txn_commit(txn), 0);

  // Read-only: a key from cursor a is untouched by cursor b and orv_get.
  txn = begin(ORV_RDONLY);
  CursorPtr a = open_cursor(txn, dbi), b = open_cursor(txn, dbi);
  ORV_val ka, da, kb, db;
  ASSERT_EQ(orv_cursor_get(a.get(), &ka, &da, ORV_FIRST), 0);
  ASSERT_EQ(orv_cursor_get(a.get(), &ka, &da, ORV_NEXT), 0);
  for (int i = 0; i < 50; i++) ASSERT_EQ(orv_cursor_get(b.get(), &kb, &db, ORV_NEXT), 0);
  ORV_val g = val(keys[400]), gd;
  ASSERT_EQ(orv_get(txn, dbi, &g, &gd), 0);
  EXPECT_EQ(str(ka), keys[1]);
  // A value from orv_get lives on after the call and later lookups.
  const std::string first_value = str(gd);
  ORV_val g2 = val(keys[3]), gd2;
  ASSERT_EQ(orv_get(txn, dbi, &g2, &gd2), 0);
  EXPECT_EQ(str(gd), first_value);
  // The key a cursor returned can be the search key of that cursor.
  ASSERT_EQ(orv_cursor_get(a.get(), &ka, &da, ORV_SET_KEY), 0);
  EXPECT_EQ(str(ka), keys[1]);
  ASSERT_EQ(orv_cursor_get(b.get(), &kb, &db, ORV_SET_RANGE), 0);
  EXPECT_EQ(str(kb), keys[49]);
  a.reset();
  b.reset();
  orv_txn_abort(txn);

  // Write: a key handed out by a cursor is written back through it, with
  // and without ORV_CURRENT, while the cursor's buffer is reused.
  txn = begin();
  CursorPtr c = open_cursor(txn, dbi);
  ORV_val k, d;
  int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
  for (size_t i = 0; rc == 0; i++) {
    ASSERT_EQ(str(k), keys[i]);
    const std::string v = std::string(i % 50, 'w') + std::to_string(i);
    ORV_val dv = val(v);
    ASSERT_EQ(orv_cursor_put(c.get(), &k, &dv, i % 2 ? ORV_CURRENT : 0), 0) << i;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), 0);
    ASSERT_EQ(str(k), keys[i]);
    ASSERT_EQ(str(d), v);
    rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT);
  }
  EXPECT_EQ(rc, ORV_NOTFOUND);
  c.reset();
  EXPECT_TREE_VALID(txn);
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

}  // namespace
