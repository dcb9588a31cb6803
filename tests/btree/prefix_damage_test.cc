// [prefix]: reading damaged and foreign pages of prefix-compressed
// databases.
//
//  - A stored varint that never ends gives ORV_CORRUPTED through the API and
//    fails the transaction, without reading out of bounds (run under the
//    sanitizers in CI).
//  - A stored key that is not in canonical form reads as its stored bytes,
//    the same way on every reading path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "util/fixtures.h"
#include "util/page_edit.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using namespace orv_test;

// ---- A damaged page --------------------------------------------------------------------

class PrefixDamage : public EnvFixture {
 protected:
  // Stores keys in a fresh ORV_PREFIXKEY | ORV_COUNTED database "p", closes
  // the environment, runs edit on every leaf page of that database in the
  // data file, and opens the environment again. Returns the number of leaf
  // pages edited.
  size_t build_and_edit(const std::vector<std::string> &keys,
                        const std::function<void(ORV_page *)> &edit) {
    ORV_txn *txn = begin();
    const ORV_dbi dbi = open_db(txn, "p", ORV_PREFIXKEY | ORV_COUNTED);
    for (const std::string &key : keys) {
      const std::string v = "value";
      ORV_val kv = val(key), dv = val(v);
      EXPECT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    }
    EXPECT_EQ(orv_txn_commit(txn), 0);

    // The leaf pages of the database, found through a cursor.
    std::set<pgno_t> leaves;
    ORV_stat st{};
    txn = begin(ORV_RDONLY);
    {
      CursorPtr c = open_cursor(txn, dbi);
      ORV_val k, d;
      for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST); rc == 0;
           rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT))
        leaves.insert(cursor_page(c.get())->mp_pgno);
      EXPECT_EQ(orv_stat(txn, dbi, &st), 0);
    }
    orv_txn_abort(txn);
    close_env();
    edit_file_pages(dir_.file("data.orv"), st.ms_psize, {leaves.begin(), leaves.end()},
                    [&](ORV_page *mp) {
                      EXPECT_TRUE(is_leaf(mp));
                      edit(mp);
                    });
    reopen_env();
    return leaves.size();
  }

  // The handle of "p" in the reopened environment.
  ORV_dbi reopen_db() {
    ORV_txn *txn = begin(ORV_RDONLY);
    ORV_dbi dbi = 0;
    EXPECT_EQ(orv_dbi_open(txn, "p", 0, &dbi), 0);
    EXPECT_EQ(orv_txn_commit(txn), 0);  // keeps the handle
    return dbi;
  }
};

TEST_F(PrefixDamage, UnendingVarintIsCorruptionThroughTheApi) {
  std::vector<std::string> keys;
  for (int i = 0; i < 400; i++) keys.push_back("/srv/data/objects/" + std::to_string(100000 + i));
  // Every stored key above slot 0 becomes bytes with the high bit set: a
  // varint that never ends.
  const size_t leaves = build_and_edit(keys, [](ORV_page *mp) {
    for (unsigned i = 1; i < numkeys(mp); i++) {
      ORV_node *node = node_ptr(mp, i);
      std::memset(node_key(node, NODESIZE), 0x80, node->mn_ksize);
    }
  });
  ASSERT_GE(leaves, 2u);
  const ORV_dbi rdbi = reopen_db();
  ORV_txn *txn;
  ORV_val d;

  // A lookup that probes a damaged slot fails, and so does the transaction.
  txn = begin(ORV_RDONLY);
  ORV_val kv = val(keys[200]);
  EXPECT_EQ(orv_get(txn, rdbi, &kv, &d), ORV_CORRUPTED);
  EXPECT_EQ(orv_get(txn, rdbi, &kv, &d), ORV_BAD_TXN);
  orv_txn_abort(txn);

  // A forward walk fails on the first damaged slot, recorded likewise.
  txn = begin(ORV_RDONLY);
  {
    CursorPtr c = open_cursor(txn, rdbi);
    ORV_val k;
    ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
    EXPECT_EQ(str(k), keys[0]);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ORV_CORRUPTED);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ORV_BAD_TXN);
    // A backward walk from the end fails the same way in a new snapshot.
  }
  orv_txn_abort(txn);
  txn = begin(ORV_RDONLY);
  {
    CursorPtr c = open_cursor(txn, rdbi);
    ORV_val k;
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_LAST), ORV_CORRUPTED);
  }
  orv_txn_abort(txn);

  // A write into a damaged page fails and leaves the transaction failed.
  txn = begin();
  const std::string fresh = "/srv/data/objects/100200x";
  const std::string nv = "new";
  ORV_val fk = val(fresh), fd = val(nv);
  EXPECT_EQ(orv_put(txn, rdbi, &fk, &fd, 0), ORV_CORRUPTED);
  EXPECT_EQ(orv_put(txn, rdbi, &fk, &fd, 0), ORV_BAD_TXN);
  EXPECT_EQ(orv_txn_commit(txn), ORV_BAD_TXN);
}

// A stored key that is not in canonical form (here: its suffix continues
// the first key, so the shared prefix is not maximal) is read as the stored
// bytes themselves, the same way by every reading path: a forward step, a
// backward step within the page and onto it from the next page, and a
// re-read of the current entry through the page key cache.
TEST_F(PrefixDamage, NonCanonicalKeysReadTheSameOnEveryPath) {
  std::vector<std::string> keys;
  for (int i = 0; i < 600; i++) keys.push_back("/srv/data/objects/" + std::to_string(100000 + i));
  // On every leaf: slot 1 and the last slot lose the maximal prefix.
  std::vector<std::string> raw;
  const size_t leaves = build_and_edit(keys, [&](ORV_page *mp) {
    const ORV_node *first = node_ptr(mp, 0);
    const auto *f = static_cast<const uint8_t *>(node_key(first, NODESIZE));
    for (unsigned i : {1u, numkeys(mp) - 1}) {
      ORV_node *node = node_ptr(mp, i);
      auto *stored = static_cast<uint8_t *>(node_key(node, NODESIZE));
      ASSERT_LT(stored[0], 0x80);  // a one-byte varint p
      ASSERT_GT(node->mn_ksize, 1u);
      ASSERT_LT(stored[0], first->mn_ksize);
      stored[1] = f[stored[0]];  // the suffix now starts with the first key's byte at p
      raw.emplace_back(reinterpret_cast<char *>(stored), node->mn_ksize);
    }
  });
  ASSERT_GE(leaves, 3u);
  const ORV_dbi dbi = reopen_db();

  ORV_txn *txn = begin(ORV_RDONLY);
  CursorPtr c = open_cursor(txn, dbi), again = open_cursor(txn, dbi);
  std::vector<std::string> forward, backward;
  ORV_val k, d;
  for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST); rc == 0;
       rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT)) {
    forward.push_back(str(k));
    // The same entry read again through a second cursor's page key cache.
    ORV_val k2, d2;
    ASSERT_EQ(orv_cursor_get(again.get(), &k2, &d2, forward.size() == 1 ? ORV_FIRST : ORV_NEXT), 0);
    ASSERT_EQ(orv_cursor_get(again.get(), &k2, &d2, ORV_GET_CURRENT), 0);
    EXPECT_EQ(str(k2), forward.back());
  }
  for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_LAST); rc == 0;
       rc = orv_cursor_get(c.get(), &k, &d, ORV_PREV))
    backward.push_back(str(k));
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(forward.size(), keys.size());
  EXPECT_EQ(forward, backward);
  // Every edited key comes back as its stored bytes; the others are intact.
  for (const std::string &r : raw) EXPECT_EQ(std::count(forward.begin(), forward.end(), r), 1) << r;
  size_t intact = 0;
  for (const std::string &key : keys) intact += std::count(forward.begin(), forward.end(), key);
  EXPECT_EQ(intact + raw.size(), keys.size());
  c.reset();
  again.reset();
  orv_txn_abort(txn);
}

}  // namespace
