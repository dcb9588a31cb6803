// [prefix_page]: lib/page/prefix_page.cc, lib/page/prefix_rebuild.cc — pages
// of prefix-compressed keys: mp_pad upkeep, the key-length index, reading one
// slot's key, the page verifier, rewrites when the first key changes,
// collecting a page for a split, run sizes and split points, damaged pages.
//
// Pages are built by hand in heap buffers of exactly one page, so that any
// read past a page trips the address sanitizer. The transaction is a bare
// record with a zeroed scratch area; only the overflow test opens a real
// environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "util/prefix_keys.h"
#include "util/tempdir.h"

namespace {

using Bytes = std::string;

ORV_val val_of(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }
// Literals keep their storage; a temporary string would not.
ORV_val val_of(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }
std::string str_of(const ORV_val &v) {
  return std::string(static_cast<const char *>(v.mv_data), v.mv_size);
}
std::string hex(const std::string &s) {
  static const char d[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

struct KV {
  std::string key, value;
};

// A page buffer of exactly psize bytes, 8-byte aligned.
struct PageBuf {
  explicit PageBuf(size_t psize) : size(psize), words((psize + 7) / 8, 0) {}
  ORV_page *mp() { return reinterpret_cast<ORV_page *>(words.data()); }
  std::string bytes() const {
    return std::string(reinterpret_cast<const char *>(words.data()), size);
  }
  size_t size;
  std::vector<uint64_t> words;
};

// Writes keys (sorted) as a prefix page, independently of the code under
// test: slot 0 whole, the others as varint(shared) + rest, nodes from the end.
void build_page(ORV_page *mp, size_t psize, const std::vector<KV> &kvs, uint16_t flags = P_LEAF) {
  mp->mp_pgno = 7;
  mp->mp_flags = flags;
  mp->mp_lower = PAGEHDRSZ;
  mp->mp_upper = static_cast<indx_t>(psize);
  size_t longest = 0;
  ORV_val first = kvs.empty() ? ORV_val{0, nullptr} : val_of(kvs[0].key);
  for (size_t i = 0; i < kvs.size(); i++) {
    uint8_t stored[1024];
    ORV_val k = val_of(kvs[i].key);
    size_t slen = orv_prefix_key_write(i ? &first : nullptr, &k, stored, nullptr);
    size_t nsize = leaf_node_size(slen, kvs[i].value.size());
    ASSERT_LE(mp->mp_lower + 2 + nsize, mp->mp_upper) << "test page overflows";
    mp->mp_upper = static_cast<indx_t>(mp->mp_upper - nsize);
    mp_ptrs(mp)[i] = mp->mp_upper;
    mp->mp_lower = static_cast<indx_t>(mp->mp_lower + 2);
    ORV_node *node = node_ptr(mp, static_cast<unsigned>(i));
    std::memset(node, 0, nsize);
    node->mn_ksize = static_cast<uint16_t>(slen);
    set_node_dsize(node, kvs[i].value.size());
    std::memcpy(node_key(node, NODESIZE), stored, slen);
    std::memcpy(node_data(node), kvs[i].value.data(), kvs[i].value.size());
    longest = std::max(longest, kvs[i].key.size());
  }
  mp->mp_pad = static_cast<uint16_t>(longest);
}

// Every key and value of a prefix page, decoded through the code under test.
std::vector<KV> read_page(const ORV_page *mp, size_t psize) {
  std::vector<KV> out;
  for (unsigned i = 0; i < numkeys(mp); i++) {
    char buf[ORV_KEYBUF_MAX];
    ORV_val k;
    EXPECT_EQ(orv_prefix_slot_key(mp, psize, i, &k, buf, sizeof buf), 0) << "slot " << i;
    const ORV_node *node = node_ptr(mp, i);
    out.push_back(
        {str_of(k), std::string(static_cast<const char *>(node_data(node)), node_dsize(node))});
  }
  return out;
}

std::string stored_of(const ORV_page *mp, unsigned i) {
  const ORV_node *node = node_ptr(mp, i);
  return std::string(static_cast<const char *>(node_key(node, NODESIZE)), node->mn_ksize);
}

bool operator==(const KV &a, const KV &b) { return a.key == b.key && a.value == b.value; }
void PrintTo(const KV &kv, std::ostream *os) {
  *os << "{" << hex(kv.key) << ": " << hex(kv.value) << "}";
}

// Space a page of these keys takes: header, slots and nodes.
size_t page_bytes_used(const ORV_page *mp, size_t psize) {
  return PAGEHDRSZ + (mp->mp_lower - PAGEHDRSZ) + (psize - mp->mp_upper);
}

// A write transaction record with an empty scratch area, and a cursor on a
// tree with the given flags. The scratch is freed by orv_txn_scratch_free,
// as the transaction's end does, so leaks show under the sanitizer.
class PrefixPage : public testing::Test {
 protected:
  static constexpr size_t kPsize = 4096;

  void SetUp() override {
    env_ = std::make_unique<ORV_env>();
    env_->me_psize = kPsize;
    env_->me_nodemax = orv_nodemax(kPsize);
    txn_ = std::make_unique<ORV_txn>();
    txn_->mt_env = env_.get();
    db_ = ORV_db{};
    db_.md_flags = ORV_PREFIXKEY;
    mc_ = std::make_unique<ORV_cursor>();
    mc_->mc_txn = txn_.get();
    mc_->mc_db = &db_;
  }
  void TearDown() override { orv_txn_scratch_free(&txn_->mt_scratch); }
  // The narrow context of the page-layer functions: the page size, node
  // maximum and flags of the tree and the transaction's scratch buffers.
  ORV_page_ctx ctx() const {
    return ORV_page_ctx{kPsize, env_->me_nodemax, db_.md_flags, 0, &txn_->mt_scratch};
  }

  std::unique_ptr<ORV_env> env_;
  std::unique_ptr<ORV_txn> txn_;
  ORV_db db_;
  std::unique_ptr<ORV_cursor> mc_;
};

std::vector<KV> kvs_of(std::initializer_list<const char *> keys, const std::string &v = "v") {
  std::vector<KV> out;
  for (const char *k : keys) out.push_back({k, v + k});
  return out;
}

// ---- mp_pad ----------------------------------------------------------------------

TEST_F(PrefixPage, LongestKeyCountsDecodedLengths) {
  PageBuf pb(kPsize);
  // First key of 10 bytes; the others decode to 12 and 7 bytes.
  build_page(pb.mp(), kPsize, kvs_of({"abcdefghij", "abcdefghijkl", "abcdefx"}));
  pb.mp()->mp_pad = 0;
  orv_page_max_key_scan(ctx(), pb.mp());
  EXPECT_EQ(pb.mp()->mp_pad, 12);
  EXPECT_EQ(orv_prefix_page_longest(pb.mp(), kPsize), 12u);

  // Dropping the 12-byte key through the key-length index leaves 10.
  ORV_keylen_entry *e;
  ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  ASSERT_NE(e, nullptr);
  orv_keylen_index_remove(e, ctx(), pb.mp(), 1);
  EXPECT_EQ(pb.mp()->mp_pad, 10);
}

TEST_F(PrefixPage, MaxKeySetDependsOnThePageKind) {
  struct Case {
    const char *name;
    uint16_t md_flags, mp_flags;
    size_t n;
    uint16_t before, after;
  } cases[] = {
      {"prefix leaf", ORV_PREFIXKEY, P_LEAF, 12, 0, 12},
      {"prefix leaf, capped", ORV_PREFIXKEY, P_LEAF, 70000, 0, 65535},
      {"prefix sub-page", ORV_PREFIXKEY, P_LEAF | P_SUBP, 9, 0, 9},
      {"leaf2 left alone", ORV_PREFIXKEY, P_LEAF | P_LEAF2, 12, 8, 8},
      {"leaf2 without prefix", 0, P_LEAF | P_LEAF2, 12, 8, 8},
      {"plain leaf", 0, P_LEAF, 12, 5, 0},
      {"branch", ORV_PREFIXKEY, P_BRANCH, 12, 5, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PageBuf pb(kPsize);
    build_page(pb.mp(), kPsize, {}, c.mp_flags);
    db_.md_flags = c.md_flags;
    pb.mp()->mp_pad = c.before;
    orv_page_max_key_set(ctx(), pb.mp(), c.n);
    EXPECT_EQ(pb.mp()->mp_pad, c.after);
  }
}

// ---- Key-length index ------------------------------------------------------------

TEST_F(PrefixPage, KeyLengthIndexFollowsInsertsAndRemovals) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, {});
  ORV_keylen_entry *e;
  ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(pb.mp()->mp_pad, 0);

  // A model of the lengths, driven by the same random inserts and removals;
  // several keys share the longest length, so removing one of them must not
  // lower mp_pad.
  std::mt19937 rng(1234);
  std::vector<size_t> model;
  for (int step = 0; step < 3000; step++) {
    if (model.empty() || rng() % 3 != 0) {
      size_t pos = rng() % (model.size() + 1);
      size_t len = 1 + rng() % 40;
      if (rng() % 50 == 0) len = 70000;  // capped at 65535
      ASSERT_EQ(orv_keylen_index_insert(e, ctx(), pb.mp(), pos, len), 0);
      model.insert(model.begin() + pos, std::min<size_t>(len, 65535));
    } else {
      size_t pos = rng() % model.size();
      orv_keylen_index_remove(e, ctx(), pb.mp(), pos);
      model.erase(model.begin() + pos);
    }
    size_t want = model.empty() ? 0 : *std::max_element(model.begin(), model.end());
    ASSERT_EQ(pb.mp()->mp_pad, want) << "step " << step;
    ASSERT_EQ(e->kl_nkeys, model.size());
  }
  // An insertion position past the end appends.
  const size_t n = model.size();
  ASSERT_EQ(orv_keylen_index_insert(e, ctx(), pb.mp(), 60000, 3), 0);
  EXPECT_EQ(e->kl_nkeys, n + 1);
  EXPECT_EQ(e->kl_lens[n], 3);
}

TEST_F(PrefixPage, KeyLengthIndexRebuildsWhenThePageDiffers) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"key-0001", "key-0002-long", "key-03"}));
  ORV_keylen_entry *e;
  ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->kl_nkeys, 3u);
  EXPECT_EQ(e->kl_lens[1], 13);

  // Same page number, different content: slot count differs.
  build_page(pb.mp(), kPsize, kvs_of({"a", "abcdefghijklmnopq"}));
  pb.mp()->mp_pad = 0;
  ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  EXPECT_EQ(e->kl_nkeys, 2u);
  EXPECT_EQ(pb.mp()->mp_pad, 17);

  // Same slot count, different longest key: mp_pad tells.
  build_page(pb.mp(), kPsize, kvs_of({"a", "abcdefghijklmnopqrstu"}));
  ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  EXPECT_EQ(e->kl_lens[1], 21);

  // Marked stale: rebuilt even though it matches.
  e->kl_lens[1] = 1;
  orv_keylen_index_invalidate(&txn_->mt_scratch, pb.mp()->mp_pgno);
  ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  EXPECT_EQ(e->kl_lens[1], 21);
  orv_keylen_index_invalidate(&txn_->mt_scratch, 999);  // no entry: nothing happens
}

TEST_F(PrefixPage, KeyLengthIndexOnlyForWritablePrefixPages) {
  PageBuf pb(kPsize);
  struct Case {
    const char *name;
    uint16_t md_flags, mp_flags;
    uint32_t txn_flags;
  } cases[] = {
      {"read-only txn", ORV_PREFIXKEY, P_LEAF, ORV_RDONLY},
      {"no prefix keys", 0, P_LEAF, 0},
      {"branch", ORV_PREFIXKEY, P_BRANCH, 0},
      {"leaf2", ORV_PREFIXKEY, P_LEAF | P_LEAF2, 0},
      {"sub-page", ORV_PREFIXKEY, P_LEAF | P_SUBP, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    build_page(pb.mp(), kPsize, {}, c.mp_flags);
    db_.md_flags = c.md_flags;
    txn_->mt_flags = c.txn_flags;
    ORV_keylen_entry *e = reinterpret_cast<ORV_keylen_entry *>(1);
    // Built from the cursor: a read-only transaction brings no scratch.
    ASSERT_EQ(orv_keylen_index_get(orv_page_ctx_of(mc_.get()), pb.mp(), &e), 0);
    EXPECT_EQ(e, nullptr);
  }
  EXPECT_EQ(txn_->mt_scratch.ms_klx, nullptr);
}

TEST_F(PrefixPage, KeyLengthTableGrowsAndDropsStaleEntries) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"k1", "k22"}));
  const ORV_scratch &s = txn_->mt_scratch;
  // Page numbers that collide in the low bits probe linearly.
  for (pgno_t i = 0; i < 200; i++) {
    pb.mp()->mp_pgno = (i % 2) ? i << 32 : i * 64;
    ORV_keylen_entry *e;
    ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
    ASSERT_EQ(e->kl_pgno, pb.mp()->mp_pgno);
  }
  EXPECT_EQ(s.ms_klx_used, 200u);
  EXPECT_LE(s.ms_klx_used * 4, s.ms_klx_cap * 3);
  const uint32_t cap = s.ms_klx_cap;
  for (pgno_t i = 0; i < 200; i++) {
    pb.mp()->mp_pgno = (i % 2) ? i << 32 : i * 64;
    ORV_keylen_entry *e;
    ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
    EXPECT_EQ(e->kl_pgno, pb.mp()->mp_pgno);
    EXPECT_EQ(e->kl_nkeys, 2u);
  }
  EXPECT_EQ(s.ms_klx_used, 200u);  // found, not added again

  // A transaction's end makes every entry stale; a later transaction's
  // pages then reuse the table instead of growing it.
  orv_txn_scratch_invalidate(&txn_->mt_scratch);
  for (pgno_t i = 1000; i < 1000 + 3 * cap; i++) {
    pb.mp()->mp_pgno = i;
    if (i % 64 == 0) orv_txn_scratch_invalidate(&txn_->mt_scratch);
    ORV_keylen_entry *e;
    ASSERT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), 0);
  }
  EXPECT_EQ(s.ms_klx_cap, cap);
}

// ---- Slot keys and the page verifier -----------------------------------------------

TEST_F(PrefixPage, SlotKeysAndVerifierOnAGoodPage) {
  PageBuf pb(kPsize);
  auto kvs = kvs_of({"ab", "abc", "abd", "b"});
  build_page(pb.mp(), kPsize, kvs);
  EXPECT_EQ(read_page(pb.mp(), kPsize), kvs);
  unsigned bad = 99;
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, &bad), 0);
  EXPECT_EQ(bad, 99u);

  char small[2];
  ORV_val k;
  EXPECT_EQ(orv_prefix_slot_key(pb.mp(), kPsize, 1, &k, small, sizeof small), ORV_BAD_VALSIZE);
  EXPECT_EQ(orv_prefix_slot_key(pb.mp(), kPsize, 4, &k, small, sizeof small), EINVAL);

  pb.mp()->mp_pad = 2;
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, &bad), ORV_CORRUPTED);
  EXPECT_EQ(bad, 4u);  // the header, not a slot
  pb.mp()->mp_flags = P_BRANCH;
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), EINVAL);
}

// Damage done to a good page of keys abc, abd, abcz, xyz: every reader must
// answer with an error, never read outside the page.
TEST_F(PrefixPage, DamagedPagesAreCorruptNotOutOfBounds) {
  struct Case {
    const char *name;
    void (*damage)(ORV_page *mp);
    int slot_key;  // orv_prefix_slot_key of slot 1
    int check;     // orv_prefix_page_check
    int gather;    // orv_prefix_gather / rebuild
    int index;     // orv_keylen_index_get (reads keys, not values)
  } cases[] = {
      // The last slot's stored bytes all have the high bit set.
      {"varint never ends",
       [](ORV_page *mp) {
         ORV_node *n = node_ptr(mp, 1);
         std::memset(node_key(n, NODESIZE), 0x80, n->mn_ksize);
       },
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED, 0},
      {"empty stored key above slot 0", [](ORV_page *mp) { node_ptr(mp, 1)->mn_ksize = 0; },
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED, 0},
      // p = 5 > |abc|: read as stored whole by the decoder, not canonical.
      {"prefix longer than the first key",
       [](ORV_page *mp) { static_cast<uint8_t *>(node_key(node_ptr(mp, 1), NODESIZE))[0] = 5; }, 0,
       ORV_CORRUPTED, 0, 0},
      {"slot offset past the page", [](ORV_page *mp) { mp_ptrs(mp)[1] = 4094; }, ORV_CORRUPTED,
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED},
      {"slot offset inside the slot array", [](ORV_page *mp) { mp_ptrs(mp)[1] = 16; },
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED},
      {"key runs past the page", [](ORV_page *mp) { node_ptr(mp, 0)->mn_ksize = 60000; },
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED},
      {"value runs past the page", [](ORV_page *mp) { set_node_dsize(node_ptr(mp, 3), 5000); }, 0,
       ORV_CORRUPTED, ORV_CORRUPTED, 0},
      {"lower above upper", [](ORV_page *mp) { mp->mp_lower = mp->mp_upper + 2; }, ORV_CORRUPTED,
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED},
      {"upper past the page", [](ORV_page *mp) { mp->mp_upper = 5000; }, ORV_CORRUPTED,
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED},
      // Counted nodes have longer headers: read as such, slot 0 runs short
      // of its key while its value check still passes (found by fuzzing).
      {"leaf marked counted", [](ORV_page *mp) { mp->mp_flags |= P_COUNTED; }, ORV_CORRUPTED,
       ORV_CORRUPTED, ORV_CORRUPTED, ORV_CORRUPTED},
  };
  pgno_t pgno = 100;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PageBuf pb(kPsize);
    build_page(pb.mp(), kPsize, kvs_of({"abc", "abd", "abcz", "xyz"}));
    pb.mp()->mp_pgno = pgno++;  // a fresh index entry for every case
    c.damage(pb.mp());
    const std::string before = pb.bytes();
    char buf[ORV_KEYBUF_MAX];
    ORV_val k;
    EXPECT_EQ(orv_prefix_slot_key(pb.mp(), kPsize, 1, &k, buf, sizeof buf), c.slot_key);
    EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), c.check);
    ORV_prefix_entry *entries;
    unsigned count;
    ORV_val key = val_of("aa"), data = val_of("new");
    EXPECT_EQ(orv_prefix_gather(ctx(), pb.mp(), ~0u, 0, &key, &data, 0, &entries, &count),
              c.gather);
    int rc = orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &data, 0);
    EXPECT_EQ(rc, c.gather);
    if (rc != 0) {
      EXPECT_EQ(pb.bytes(), before) << "a failed rewrite changed the page";
    }
    ORV_keylen_entry *e;
    EXPECT_EQ(orv_keylen_index_get(ctx(), pb.mp(), &e), c.index);
    orv_page_max_key_scan(ctx(), pb.mp());  // no result; must stay in bounds
  }
}

// ---- Rewrites when the first key changes -------------------------------------------

TEST_F(PrefixPage, NewFirstKeyReencodesThePageAndRemovingItRestores) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"apple", "apricot", "banana"}));
  ORV_val key = val_of("aardvark"), data = val_of("vaardvark");
  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &data, 0), 0);
  EXPECT_EQ(stored_of(pb.mp(), 0), "aardvark");
  EXPECT_EQ(hex(stored_of(pb.mp(), 1)), "01" + hex("pple"));
  EXPECT_EQ(hex(stored_of(pb.mp(), 2)), "01" + hex("pricot"));
  EXPECT_EQ(hex(stored_of(pb.mp(), 3)), "00" + hex("banana"));
  EXPECT_EQ(read_page(pb.mp(), kPsize), kvs_of({"aardvark", "apple", "apricot", "banana"}));
  EXPECT_EQ(pb.mp()->mp_pad, 8);
  EXPECT_EQ(pb.mp()->mp_pgno, 7u);
  EXPECT_EQ(pb.mp()->mp_flags, P_LEAF);
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), 0);

  // Nodes sit in slot order from the end of the page downward.
  for (unsigned i = 0; i + 1 < numkeys(pb.mp()); i++)
    EXPECT_GT(mp_ptrs(pb.mp())[i], mp_ptrs(pb.mp())[i + 1]);
  EXPECT_EQ(mp_ptrs(pb.mp())[3], pb.mp()->mp_upper);

  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), 0, 0, nullptr, nullptr, 0), 0);
  EXPECT_EQ(stored_of(pb.mp(), 0), "apple");
  EXPECT_EQ(hex(stored_of(pb.mp(), 1)), "02" + hex("ricot"));
  EXPECT_EQ(hex(stored_of(pb.mp(), 2)), "00" + hex("banana"));
  EXPECT_EQ(pb.mp()->mp_pad, 7);
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), 0);

  // The same page built directly is byte-identical in its used part.
  PageBuf direct(kPsize);
  build_page(direct.mp(), kPsize, kvs_of({"apple", "apricot", "banana"}));
  EXPECT_EQ(pb.bytes().substr(pb.mp()->mp_upper), direct.bytes().substr(direct.mp()->mp_upper));

  // Removing the only key leaves an empty page with mp_pad 0.
  PageBuf one(kPsize);
  build_page(one.mp(), kPsize, kvs_of({"solo"}));
  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), one.mp(), 0, 0, nullptr, nullptr, 0), 0);
  EXPECT_EQ(numkeys(one.mp()), 0u);
  EXPECT_EQ(one.mp()->mp_upper, kPsize);
  EXPECT_EQ(one.mp()->mp_pad, 0);
}

// Random pages of keys with long shared prefixes; a key below slot 0 goes in
// (or slot 0 is replaced), and every key must come back unchanged, canonical,
// with mp_pad exact and the space accounted for.
TEST_F(PrefixPage, RebuildKeepsEveryKeyOnRandomPages) {
  std::mt19937 rng(42);
  const std::string stems[] = {"https://example.org/users/", "/var/lib/data/2025/10/", "k"};
  for (int round = 0; round < 300; round++) {
    SCOPED_TRACE(round);
    std::vector<KV> kvs;
    const std::string &stem = stems[round % 3];
    size_t n = 1 + rng() % 40;
    std::vector<std::string> keys;
    for (size_t i = 0; i < n; i++) {
      std::string k = stem.substr(0, rng() % (stem.size() + 1));
      for (size_t j = rng() % 12; j > 0; j--) k += static_cast<char>('a' + rng() % 4);
      if (k.empty()) k = "m";
      keys.push_back("m" + k);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (auto &k : keys)
      kvs.push_back({k, std::string(rng() % 30, static_cast<char>('A' + rng() % 26))});
    PageBuf pb(kPsize);
    build_page(pb.mp(), kPsize, kvs);

    // Every key starts with m: a new key starting with a goes first.
    const bool replace = rng() % 4 == 0;
    std::string nk = "a" + stem.substr(0, rng() % stem.size());
    std::string nv(rng() % 40, 'z');
    ORV_val key = val_of(nk), data = val_of(nv);
    std::vector<KV> want = kvs;
    if (replace)
      want[0] = {nk, nv};
    else
      want.insert(want.begin(), {nk, nv});
    ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), replace ? 0 : ~0u, 0, &key, &data, 0), 0);
    ASSERT_EQ(read_page(pb.mp(), kPsize), want);
    ASSERT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), 0);
    size_t nodes = 0;
    for (unsigned i = 0; i < numkeys(pb.mp()); i++)
      nodes += node_size_on(pb.mp(), node_ptr(pb.mp(), i)) + 2;
    ASSERT_EQ(page_bytes_used(pb.mp(), kPsize), PAGEHDRSZ + nodes);

    // The plan gives the size the rebuild produced.
    size_t planned;
    ASSERT_EQ(orv_prefix_page_plan(ctx(), pb.mp(), 0, 0, nullptr, nullptr, 0, &planned), 0);
    PageBuf after(kPsize);
    std::memcpy(after.mp(), pb.mp(), kPsize);
    ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), after.mp(), 0, 0, nullptr, nullptr, 0), 0);
    ASSERT_EQ(page_bytes_used(after.mp(), kPsize), planned);
  }
}

// Keys that are not canonical against the old first key are keys stored
// whole; a rewrite keeps those bytes as the key and stores them canonically.
TEST_F(PrefixPage, RewriteReadsNonCanonicalKeysAsStoredWhole) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"abc", "abd"}));
  // Slot 1 becomes 01 62 (prefix not maximal): the key is those two bytes.
  uint8_t *stored = static_cast<uint8_t *>(node_key(node_ptr(pb.mp(), 1), NODESIZE));
  stored[0] = 0x01;
  stored[1] = 'b';
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), ORV_CORRUPTED);
  ORV_val key = val_of("a"), data = val_of("va");
  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &data, 0), 0);
  EXPECT_EQ(read_page(pb.mp(), kPsize), (std::vector<KV>{{"a", "va"},
                                                         {"abc", "vabc"},
                                                         {std::string("\x01"
                                                                      "b"),
                                                          "vabd"}}));
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), 0);
}

TEST_F(PrefixPage, RewriteThatDoesNotFitLeavesThePageAlone) {
  // Keys sharing 200 bytes with the first key take a few bytes each; a new
  // first key sharing nothing makes every one of them whole again.
  std::string stem(200, 'q');
  std::vector<KV> kvs;
  for (int i = 0; i < 150; i++) kvs.push_back({stem + std::to_string(1000 + i), "v"});
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs);
  const std::string before = pb.bytes();
  ORV_val key = val_of("a"), data = val_of("v");
  size_t planned;
  ASSERT_EQ(orv_prefix_page_plan(ctx(), pb.mp(), ~0u, 0, &key, &data, 0, &planned), 0);
  EXPECT_GT(planned, kPsize);
  EXPECT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &data, 0), ORV_NO_FIT);
  EXPECT_EQ(pb.bytes(), before);
}

// A node that does not fit says which kind of "no": a new first key whose
// re-encoded page would not fit gives the internal ORV_NO_FIT with the page
// byte for byte as it was and the transaction usable (the write path splits
// on it); a node after the first on a page without room gives ORV_PAGE_FULL
// and fails the transaction. A transaction never records the internal code.
TEST_F(PrefixPage, NodeThatDoesNotFitSaysWhetherTheCallerMaySplit) {
  const std::string stem(200, 'q');
  std::vector<KV> kvs;
  for (int i = 0; i < 150; i++) kvs.push_back({stem + std::to_string(1000 + i), "v"});
  const std::string tail_key = stem + "9999";
  struct Case {
    const char *name;
    unsigned slot;
    const std::string *key;
    size_t vsize;  // 0: as much as the page has left, so that it cannot fit
    int want;
    bool fails_txn;
  };
  const std::string first_key = "a";
  const Case cases[] = {
      {"new first key re-encodes every key", 0, &first_key, 1, ORV_NO_FIT, false},
      {"last key without room", 150, &tail_key, 0, ORV_PAGE_FULL, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    txn_->mt_flags = 0;
    txn_->mt_error = 0;
    PageBuf pb(kPsize);
    build_page(pb.mp(), kPsize, kvs);
    pb.mp()->mp_flags |= P_DIRTY;
    mc_->mc_pg[0] = pb.mp();
    mc_->mc_ki[0] = static_cast<indx_t>(c.slot);
    mc_->mc_snum = 1;
    mc_->mc_top = 0;
    const size_t vsize = c.vsize ? c.vsize : size_left(pb.mp());
    ASSERT_LT(vsize + NODESIZE + c.key->size(), env_->me_nodemax) << "the value would go to a run";
    const std::string value(vsize, 'w');
    const std::string before = pb.bytes();
    ORV_val key = val_of(*c.key), data = val_of(value);
    EXPECT_EQ(orv_node_add(mc_.get(), c.slot, &key, &data, 0, 0, nullptr, 0), c.want);
    EXPECT_EQ(pb.bytes(), before);
    EXPECT_EQ((txn_->mt_flags & ORV_TXN_ERROR) != 0, c.fails_txn);
    EXPECT_EQ(txn_->mt_error, c.fails_txn ? ORV_PAGE_FULL : 0);
  }
  txn_->mt_flags = 0;
  EXPECT_EQ(orv_txn_fail(txn_.get(), ORV_NO_FIT), ORV_PAGE_FULL);
  EXPECT_EQ(txn_->mt_error, ORV_PAGE_FULL);
  EXPECT_TRUE(ORV_NO_FIT < ORV_KEYEXIST || ORV_NO_FIT > ORV_LAST_ERRCODE);  // not a public code
}

TEST_F(PrefixPage, RebuildTakesKeysAndValuesFromAnywhere) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"m-apple", "m-apricot", "m-banana"}));
  // Replace slot 0 with a smaller key, keeping its own value: the value lives
  // in the node being rewritten.
  ORV_node *n0 = node_ptr(pb.mp(), 0);
  ORV_val data{node_dsize(n0), node_data(n0)};
  // The key lives in the transaction's decoded-key buffer, the very buffer
  // the rewrite decodes into.
  void *scratch;
  ASSERT_EQ(orv_txn_scratch(txn_.get(), 16, &scratch), 0);
  std::memcpy(static_cast<char *>(scratch) + 3, "m-aardvark", 10);
  ORV_val key{10, static_cast<char *>(scratch) + 3};
  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), 0, 0, &key, &data, 0), 0);
  EXPECT_EQ(read_page(pb.mp(), kPsize), (std::vector<KV>{{"m-aardvark", "vm-apple"},
                                                         {"m-apricot", "vm-apricot"},
                                                         {"m-banana", "vm-banana"}}));

  // A key taken from the page itself (slot 1's stored bytes begin with the
  // varint, so use slot 0's key, which is stored whole) going in front.
  ORV_node *f = node_ptr(pb.mp(), 0);
  ORV_val self{2, node_key(f, NODESIZE)};  // "m-"
  ORV_val v = val_of("x");
  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &self, &v, 0), 0);
  EXPECT_EQ(read_page(pb.mp(), kPsize)[0], (KV{"m-", "x"}));

  // A value in the scratch buffers would be overwritten: refused.
  ASSERT_EQ(orv_txn_scratch(txn_.get(), 16, &scratch), 0);
  ORV_val bad{4, scratch};
  key = val_of("0");
  EXPECT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &bad, 0), EINVAL);
  EXPECT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 9, &key, &v, 0), EINVAL);
}

TEST_F(PrefixPage, ReserveAndFlagsOfTheNewNode) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"b1", "b2"}));
  ORV_val key = val_of("a"), data{5, nullptr};
  ASSERT_EQ(
      orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &data, ORV_RESERVE | F_DUPDATA), 0);
  ORV_node *n0 = node_ptr(pb.mp(), 0);
  EXPECT_EQ(data.mv_data, node_data(n0));
  EXPECT_EQ(std::string(static_cast<char *>(data.mv_data), 5), std::string(5, '\0'));
  EXPECT_EQ(n0->mn_flags, F_DUPDATA);  // ORV_RESERVE never reaches the node
  EXPECT_EQ(node_dsize(n0), 5u);

  // F_BIGDATA: the value bytes are a run's page number, the size the real one.
  uint64_t run = 0x123456;
  ORV_val big{100000, &run};
  key = val_of("0");
  ASSERT_EQ(orv_prefix_page_rebuild(mc_.get(), pb.mp(), ~0u, 0, &key, &big, F_BIGDATA), 0);
  n0 = node_ptr(pb.mp(), 0);
  EXPECT_EQ(n0->mn_flags, F_BIGDATA);
  EXPECT_EQ(node_dsize(n0), 100000u);
  EXPECT_EQ(load_u64(node_data(n0)), run);
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), kPsize, nullptr), 0);
}

// A sub-page of a duplicate tree is rewritten within its own size.
TEST_F(PrefixPage, SubPageRewriteStaysInsideTheSubPage) {
  constexpr size_t kSub = 120;
  auto mx = std::make_unique<ORV_xcursor>();
  ORV_cursor *sc = &mx->mx_cursor;
  sc->mc_txn = txn_.get();
  sc->mc_db = &db_;
  sc->mc_flags = C_SUB;
  mx->mx_subpage_size = kSub;
  PageBuf pb(kPsize);
  auto *sp = reinterpret_cast<ORV_page *>(reinterpret_cast<char *>(pb.mp()) + 1000);
  std::memset(reinterpret_cast<char *>(sp) + kSub, 0xAB, 64);  // guard
  build_page(sp, kSub, {{"dup-200", ""}, {"dup-300", ""}}, P_LEAF | P_SUBP);
  EXPECT_EQ(orv_prefix_psize(sc, sp), kSub);
  EXPECT_EQ(orv_page_ctx_psize(orv_page_ctx_of(sc), sp), kSub);
  EXPECT_EQ(orv_page_ctx_psize(orv_page_ctx_of(sc), pb.mp()), kPsize);  // not a sub-page

  ORV_val key = val_of("dup-100"), data{0, nullptr};
  ASSERT_EQ(orv_prefix_page_rebuild(sc, sp, ~0u, 0, &key, &data, 0), 0);
  EXPECT_EQ(read_page(sp, kSub),
            (std::vector<KV>{{"dup-100", ""}, {"dup-200", ""}, {"dup-300", ""}}));
  EXPECT_LE(sp->mp_upper, kSub);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(sp) + kSub, 64), std::string(64, '\xAB'));
  EXPECT_EQ(orv_prefix_page_check(sp, kSub, nullptr), 0);

  // Too many values for the sub-page: refused, unchanged.
  const std::string before(reinterpret_cast<char *>(sp), kSub);
  ORV_val longer = val_of("a-much-longer-duplicate-value-that-shares-nothing-at-all-xxxxxxxxxx");
  EXPECT_EQ(orv_prefix_page_rebuild(sc, sp, ~0u, 0, &longer, &data, 0), ORV_NO_FIT);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(sp), kSub), before);
}

// ---- Split: collect, run sizes, split point -------------------------------------

TEST_F(PrefixPage, CollectDecodesEveryKeyWithTheNewOneInPlace) {
  std::vector<KV> kvs;
  for (int i = 0; i < 60; i++)
    kvs.push_back({"/home/user/projects/eldran/src/file-" + std::to_string(100 + i * 2),
                   std::string(20, 'v')});
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs);
  ORV_val key = val_of("/home/user/projects/eldran/src/file-121"), data = val_of("new");
  ORV_prefix_entry *entries;
  unsigned count;
  ORV_page_ctx bare = ctx();
  bare.scratch = nullptr;  // no buffers to decode into (a read-only transaction)
  EXPECT_EQ(orv_prefix_collect(bare, pb.mp(), 11, &key, &data, 0, &entries, &count), EINVAL);
  ASSERT_EQ(orv_prefix_collect(ctx(), pb.mp(), 11, &key, &data, 0, &entries, &count), 0);
  ASSERT_EQ(count, 61u);
  std::vector<KV> want = kvs;
  want.insert(want.begin() + 11, {str_of(key), "new"});
  for (unsigned i = 0; i < count; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(static_cast<const char *>(entries[i].pe_key), entries[i].pe_klen),
              want[i].key);
    EXPECT_EQ(std::string(static_cast<const char *>(entries[i].pe_data), entries[i].pe_vlen),
              want[i].value);
    EXPECT_EQ(entries[i].pe_new, i == 11 ? 1 : 0);
    EXPECT_EQ(entries[i].pe_oldslot, i == 11 ? ~0u : i < 11 ? i : i - 1);
  }

  // The whole run re-encoded as one page takes what the page would.
  size_t run;
  ASSERT_EQ(orv_prefix_run_size(ctx(), entries, 0, count, &run), 0);
  size_t by_hand = 0;
  for (unsigned i = 0; i < count; i++) {
    ORV_val first = val_of(want[0].key), k = val_of(want[i].key);
    size_t klen = i ? orv_prefix_key_size(k.mv_size, orv_prefix_shared(&first, &k)) : k.mv_size;
    by_hand += 2 + leaf_node_size(klen, want[i].value.size());
  }
  EXPECT_EQ(run, by_hand);

  // A split anywhere writes two pages that decode to the two halves.
  unsigned j = 30;
  ASSERT_EQ(orv_prefix_split_point(ctx(), entries, count, &j), 0);
  EXPECT_EQ(j, 30u);
  PageBuf left(kPsize), right(kPsize);
  left.mp()->mp_flags = right.mp()->mp_flags = P_LEAF;
  ASSERT_EQ(orv_prefix_page_write(ctx(), left.mp(), kPsize, entries, 0, j), 0);
  ASSERT_EQ(orv_prefix_page_write(ctx(), right.mp(), kPsize, entries, j, count), 0);
  EXPECT_EQ(read_page(left.mp(), kPsize), std::vector<KV>(want.begin(), want.begin() + j));
  EXPECT_EQ(read_page(right.mp(), kPsize), std::vector<KV>(want.begin() + j, want.end()));
  EXPECT_EQ(orv_prefix_page_check(left.mp(), kPsize, nullptr), 0);
  EXPECT_EQ(orv_prefix_page_check(right.mp(), kPsize, nullptr), 0);

  // Collecting may also write the collected page itself in place.
  ASSERT_EQ(orv_prefix_page_write(ctx(), pb.mp(), kPsize, entries, j, count), 0);
  EXPECT_EQ(read_page(pb.mp(), kPsize), std::vector<KV>(want.begin() + j, want.end()));
}

// Hand-made entries (values sized freely) against a brute-force search: the
// split point must fit both halves whenever some index does.
TEST_F(PrefixPage, SplitPointFitsBothHalvesWheneverPossible) {
  std::mt19937 rng(7);
  const size_t room = kPsize - PAGEHDRSZ;
  for (int round = 0; round < 400; round++) {
    SCOPED_TRACE(round);
    unsigned count = 2 + rng() % 12;
    std::vector<std::string> keys;
    std::string stem(rng() % 300, 's');
    for (unsigned i = 0; i < count; i++)
      keys.push_back(stem.substr(0, rng() % (stem.size() + 1)) + std::to_string(rng() % 1000));
    std::sort(keys.begin(), keys.end());
    std::vector<ORV_prefix_entry> e(count);
    for (unsigned i = 0; i < count; i++) {
      e[i] = ORV_prefix_entry{};
      e[i].pe_key = keys[i].data();
      e[i].pe_klen = static_cast<uint32_t>(keys[i].size());
      e[i].pe_dsize = e[i].pe_vlen = static_cast<uint32_t>(rng() % 1600);
    }
    auto fits = [&](unsigned j) {
      size_t l, r;
      EXPECT_EQ(orv_prefix_run_size(ctx(), e.data(), 0, j, &l), 0);
      EXPECT_EQ(orv_prefix_run_size(ctx(), e.data(), j, count, &r), 0);
      return l <= room && r <= room;
    };
    bool possible = false;
    for (unsigned j = 1; j < count; j++) possible |= fits(j);
    unsigned j = rng() % (count + 2);  // clamped to 1..count - 1
    int rc = orv_prefix_split_point(ctx(), e.data(), count, &j);
    if (possible) {
      ASSERT_EQ(rc, 0);
      ASSERT_GE(j, 1u);
      ASSERT_LT(j, count);
      ASSERT_TRUE(fits(j));
    } else {
      ASSERT_EQ(rc, ORV_NO_FIT);
    }
  }

  ORV_prefix_entry one{};
  unsigned j = 5;
  EXPECT_EQ(orv_prefix_split_point(ctx(), &one, 1, &j), 0);
  EXPECT_EQ(j, 5u);  // nothing to do
  EXPECT_EQ(orv_prefix_split_point(ctx(), &one, 1, nullptr), EINVAL);
}

TEST_F(PrefixPage, RunSizeCountsTheNewValueOnItsOverflowRun) {
  PageBuf pb(kPsize);
  build_page(pb.mp(), kPsize, kvs_of({"k1", "k2"}));
  std::string big(3000, 'B');
  ORV_val key = val_of("k15"), data = val_of(big);
  ORV_prefix_entry *entries;
  unsigned count;
  ASSERT_EQ(orv_prefix_collect(ctx(), pb.mp(), 1, &key, &data, 0, &entries, &count), 0);
  size_t size;
  ASSERT_EQ(orv_prefix_run_size(ctx(), entries, 0, count, &size), 0);
  // k1 whole; k15 as 02 "5" with an 8-byte page number; k2 as 01 "2".
  EXPECT_EQ(size, 3 * 2 + leaf_node_size(2, 3) + leaf_node_size(2, 8) + leaf_node_size(2, 3));
  // A sub-page value is never moved out.
  ASSERT_EQ(orv_prefix_collect(ctx(), pb.mp(), 1, &key, &data, F_DUPDATA, &entries, &count), 0);
  ASSERT_EQ(orv_prefix_run_size(ctx(), entries, 0, count, &size), 0);
  EXPECT_EQ(size, 3 * 2 + leaf_node_size(2, 3) + leaf_node_size(2, 3000) + leaf_node_size(2, 3));
}

// The one path that allocates pages: a new first key whose value is too large
// for a node gets an overflow run, as a plain insertion would.
TEST(PrefixPageEnv, NewFirstKeyWithALargeValueGoesToAnOverflowRun) {
  TempDir dir;
  ORV_env *env;
  ASSERT_EQ(orv_env_create(&env), 0);
  ASSERT_EQ(orv_env_set_maxdbs(env, 4), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NOTLS, 0644), 0);
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_dbi dbi;
  ASSERT_EQ(orv_dbi_open(txn, "p", ORV_PREFIXKEY | ORV_CREATE, &dbi), 0);
  ORV_cursor *mc;
  ASSERT_EQ(orv_cursor_open(txn, dbi, &mc), 0);
  const size_t psize = env->me_psize;

  PageBuf pb(psize);
  build_page(pb.mp(), psize, kvs_of({"b1", "b2"}));
  std::string big(env->me_nodemax + 100, 'Q');
  ORV_val key = val_of("a"), data = val_of(big);
  const uint64_t before = mc->mc_db->md_overflow_pages;
  ASSERT_EQ(orv_prefix_page_rebuild(mc, pb.mp(), ~0u, 0, &key, &data, 0), 0);
  ORV_node *n0 = node_ptr(pb.mp(), 0);
  ASSERT_EQ(n0->mn_flags, F_BIGDATA);
  EXPECT_EQ(node_dsize(n0), big.size());
  EXPECT_EQ(mc->mc_db->md_overflow_pages, before + ovpages(psize, big.size()));
  ORV_page *ofp;
  ASSERT_EQ(orv_page_get(mc, load_u64(node_data(n0)), &ofp, nullptr), 0);
  EXPECT_TRUE(is_overflow(ofp));
  EXPECT_EQ(std::string(static_cast<char *>(page_data(ofp)), big.size()), big);
  EXPECT_EQ(orv_prefix_page_check(pb.mp(), psize, nullptr), 0);

  // With ORV_RESERVE the caller gets the run's value space.
  ORV_val res{big.size(), nullptr};
  key = val_of("0");
  ASSERT_EQ(orv_prefix_page_rebuild(mc, pb.mp(), ~0u, 0, &key, &res, ORV_RESERVE), 0);
  n0 = node_ptr(pb.mp(), 0);
  ASSERT_EQ(n0->mn_flags, F_BIGDATA);
  ASSERT_EQ(orv_page_get(mc, load_u64(node_data(n0)), &ofp, nullptr), 0);
  EXPECT_EQ(res.mv_data, page_data(ofp));

  orv_cursor_close(mc);
  orv_txn_abort(txn);
  orv_env_close(env);
}

}  // namespace
