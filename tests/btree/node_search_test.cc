// [node_search]: lib/btree/node_search.cc
//
// orv_node_search on pages built by hand in aligned buffers: leaf, branch
// (plain and counted), P_LEAF2 and empty pages, with the byte, reverse and
// native-integer comparators.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "util/prefix_keys.h"

namespace {

constexpr unsigned kPsize = 4096;

// A page image built slot by slot, in key order.
class PageBuilder {
 public:
  explicit PageBuilder(uint16_t flags, uint16_t pad = 0) {
    mp()->mp_pgno = 7;
    mp()->mp_flags = flags;
    mp()->mp_pad = pad;
    mp()->mp_lower = PAGEHDRSZ;
    mp()->mp_upper = kPsize;
  }
  ORV_page *mp() { return reinterpret_cast<ORV_page *>(buf_); }

  // Leaf node: key and value.
  void leaf(const std::string &key, const std::string &value = "v") {
    const size_t size = leaf_node_size(key.size(), value.size());
    ORV_node *node = place(size);
    node->mn_flags = 0;
    node->mn_ksize = static_cast<uint16_t>(key.size());
    set_node_dsize(node, value.size());
    std::memcpy(node_key(node, NODESIZE), key.data(), key.size());
    std::memcpy(node_data(node), value.data(), value.size());
  }
  // Branch node: key and child page number (count on counted pages).
  void branch(const std::string &key, pgno_t child, uint64_t count = 0) {
    ORV_node *node = place(branch_node_size(mp(), key.size()));
    set_node_pgno(node, child);
    node->mn_ksize = static_cast<uint16_t>(key.size());
    if (is_counted(mp())) set_node_count(node, count);
    std::memcpy(node_key(node, node_hdrsz(mp())), key.data(), key.size());
  }
  // P_LEAF2 element of mp_pad bytes.
  void fixed(const std::string &key) {
    const unsigned n = numkeys(mp());
    std::memcpy(leaf2_key(mp(), n, mp()->mp_pad), key.data(), mp()->mp_pad);
    mp()->mp_lower += 2;
    mp()->mp_upper -= static_cast<uint16_t>(mp()->mp_pad - 2);
  }

 private:
  ORV_node *place(size_t size) {
    mp()->mp_upper -= static_cast<uint16_t>(even(size));
    mp_ptrs(mp())[numkeys(mp())] = mp()->mp_upper;
    mp()->mp_lower += 2;
    return node_ptr(mp(), numkeys(mp()) - 1);
  }
  alignas(8) unsigned char buf_[kPsize] = {};
};

// A cursor that stands on one page, with just the fields the search reads.
struct SearchFixture {
  ORV_env env{};
  ORV_txn txn{};
  ORV_db db{};
  ORV_dbx dbx{};
  ORV_cursor mc{};
  SearchFixture(ORV_page *mp, ORV_cmp_func cmp, uint16_t md_flags = 0, uint32_t pad = 0) {
    env.me_psize = kPsize;
    txn.mt_env = &env;
    mc.mc_txn = &txn;
    mc.mc_key.mv_data = mc.mc_keybuf;
    db.md_flags = md_flags;
    db.md_pad = pad;
    dbx.md_cmp = cmp;
    mc.mc_db = &db;
    mc.mc_dbx = &dbx;
    mc.mc_snum = 1;
    mc.mc_top = 0;
    mc.mc_pg[0] = mp;
  }
  struct Result {
    indx_t slot;
    bool has_node;
    int exact;
  };
  Result search(const std::string &key) {
    ORV_val k{key.size(), const_cast<char *>(key.data())};
    int exact = -1;
    ORV_node *node = orv_node_search(&mc, &k, &exact);
    return {mc.mc_ki[0], node != nullptr, exact};
  }
};

std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
std::string u64(uint64_t v) { return std::string(reinterpret_cast<const char *>(&v), 8); }

struct Probe {
  std::string key;
  indx_t slot;
  bool has_node;
  int exact;
};

void run_probes(SearchFixture &f, const std::vector<Probe> &probes) {
  for (const Probe &p : probes) {
    SCOPED_TRACE(testing::PrintToString(p.key));
    auto r = f.search(p.key);
    EXPECT_EQ(r.slot, p.slot);
    EXPECT_EQ(r.has_node, p.has_node);
    EXPECT_EQ(r.exact, p.exact);
  }
}

TEST(NodeSearch, LeafFindsFirstKeyNotLess) {
  PageBuilder pb(P_LEAF);
  for (const char *k : {"\x10", "\x20", "\x30"}) pb.leaf(k);
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  run_probes(f, {{"\x20", 1, true, 1},
                 {"\x25", 2, true, 0},
                 {"\x35", 3, false, 0},
                 {"\x05", 0, true, 0},
                 {"\x10", 0, true, 1},
                 {"\x30", 2, true, 1},
                 {std::string("\x10\x00", 2), 1, true, 0}});
}

TEST(NodeSearch, LeafReturnsTheNodeOfTheSlot) {
  PageBuilder pb(P_LEAF);
  pb.leaf("apple", "1");
  pb.leaf("banana", "2");
  pb.leaf("cherry", "3");
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  ORV_val k{6, const_cast<char *>("banana")};
  int exact = 0;
  ORV_node *node = orv_node_search(&f.mc, &k, &exact);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node, node_ptr(pb.mp(), 1));
  EXPECT_EQ(std::string(static_cast<char *>(node_data(node)), node_dsize(node)), "2");
}

TEST(NodeSearch, ExactFlagIsOptional) {
  PageBuilder pb(P_LEAF);
  pb.leaf("a");
  pb.leaf("c");
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  ORV_val k{1, const_cast<char *>("b")};
  EXPECT_NE(orv_node_search(&f.mc, &k, nullptr), nullptr);
  EXPECT_EQ(f.mc.mc_ki[0], 1);
}

// Slot 0 of a branch page holds a key that would sort after everything: a
// search that compared it would go wrong.
class BranchSearch : public testing::TestWithParam<uint16_t> {};

TEST_P(BranchSearch, NeverComparesSlotZero) {
  PageBuilder pb(GetParam());
  pb.branch("\xff\xff", 10, 5);
  pb.branch("k1", 11, 6);
  pb.branch("k2", 12, 7);
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  run_probes(f, {{"a", 1, true, 0},
                 {"k1", 1, true, 1},
                 {"k15", 2, true, 0},
                 {"k2", 2, true, 1},
                 {"z", 3, false, 0}});
}

INSTANTIATE_TEST_SUITE_P(PlainAndCounted, BranchSearch,
                         testing::Values(uint16_t{P_BRANCH}, uint16_t{P_BRANCH | P_COUNTED}));

TEST(NodeSearch, BranchWithOnlySlotZeroRunsNoProbe) {
  PageBuilder pb(P_BRANCH);
  pb.branch("", 10);
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  run_probes(f, {{"anything", 0, false, 1}});
}

TEST(NodeSearch, EmptyLeaf) {
  PageBuilder pb(P_LEAF);
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  f.mc.mc_ki[0] = 9;
  run_probes(f, {{"x", 0, false, 0}});
}

TEST(NodeSearch, ReverseKeyLeaf) {
  // Ordered by their last bytes first: "ba" < "ab" < "zb".
  PageBuilder pb(P_LEAF);
  for (const char *k : {"ba", "ab", "zb"}) pb.leaf(k);
  SearchFixture f(pb.mp(), orv_cmp_bytes_reverse, ORV_REVERSEKEY);
  run_probes(f, {{"ab", 1, true, 1}, {"aa", 0, true, 0}, {"bb", 2, true, 0}, {"zz", 3, false, 0}});
}

// Native integers are not in byte order on a little-endian host (256 is
// 00 01 ..., 255 is ff 00 ...): the integer comparators must decide, on
// leaves and, through the fixed-width switch, on branch pages.
struct IntCase {
  const char *name;
  bool wide;
};

class IntegerKeys : public testing::TestWithParam<IntCase> {
 protected:
  std::string key(uint64_t v) const {
    return GetParam().wide ? u64(v) : u32(static_cast<uint32_t>(v));
  }
};

TEST_P(IntegerKeys, LeafOrdersNumerically) {
  PageBuilder pb(P_LEAF);
  for (uint64_t v : {1u, 255u, 256u, 65536u}) pb.leaf(key(v));
  SearchFixture f(pb.mp(), orv_cmp_uint_words, ORV_INTEGERKEY);
  run_probes(f, {{key(256), 2, true, 1},
                 {key(300), 3, true, 0},
                 {key(0), 0, true, 0},
                 {key(70000), 4, false, 0}});
}

TEST_P(IntegerKeys, BranchOrdersNumerically) {
  PageBuilder pb(P_BRANCH);
  pb.branch("", 20);
  for (uint64_t v : {255u, 256u, 65536u}) pb.branch(key(v), 21 + v);
  SearchFixture f(pb.mp(), orv_cmp_uint_words, ORV_INTEGERKEY);
  run_probes(f, {{key(1), 1, true, 0},
                 {key(255), 1, true, 1},
                 {key(257), 3, true, 0},
                 {key(65536), 3, true, 1},
                 {key(1u << 20), 4, false, 0}});
}

INSTANTIATE_TEST_SUITE_P(Widths, IntegerKeys,
                         testing::Values(IntCase{"u32", false}, IntCase{"u64", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(NodeSearch, Leaf2PageUsesTheRecordsFixedSize) {
  PageBuilder pb(P_LEAF | P_LEAF2, 4);
  for (uint32_t v : {3u, 9u, 300u, 70000u}) pb.fixed(u32(v));
  SearchFixture f(pb.mp(), orv_cmp_uint32, ORV_INTEGERKEY | ORV_DUPFIXED, 4);
  run_probes(f, {{u32(9), 1, true, 1},
                 {u32(10), 2, true, 0},
                 {u32(1), 0, true, 0},
                 {u32(70000), 3, true, 1},
                 {u32(80000), 4, false, 0}});
}

TEST(NodeSearch, ManyKeysAgreeWithLinearScan) {
  PageBuilder pb(P_LEAF);
  std::vector<std::string> keys;
  for (int i = 0; i < 150; ++i) keys.push_back("key" + std::to_string(1000 + 3 * i));
  for (const auto &k : keys) pb.leaf(k, "");
  SearchFixture f(pb.mp(), orv_cmp_bytes);
  for (int i = 995; i < 1460; ++i) {
    const std::string probe = "key" + std::to_string(i);
    size_t want = 0;
    while (want < keys.size() && keys[want] < probe) ++want;
    auto r = f.search(probe);
    ASSERT_EQ(r.slot, want) << probe;
    ASSERT_EQ(r.exact, want < keys.size() && keys[want] == probe) << probe;
  }
}

// Leaves of prefix-compressed databases: every key but the first is stored
// as varint(shared prefix) | suffix.
struct PrefixPage {
  PageBuilder pb{P_LEAF};
  std::vector<std::string> keys;
  explicit PrefixPage(std::vector<std::string> sorted) : keys(std::move(sorted)) {
    for (size_t i = 0; i < keys.size(); ++i) add_stored(i == 0 ? keys[0] : encode(keys[i]));
  }
  std::string encode(const std::string &k) const {
    ORV_val first{keys[0].size(), const_cast<char *>(keys[0].data())};
    ORV_val key{k.size(), const_cast<char *>(k.data())};
    std::string out(k.size() + ORV_VARINT_MAX, '\0');
    out.resize(orv_prefix_key_write(&first, &key, out.data(), nullptr));
    return out;
  }
  void add_stored(const std::string &stored) { pb.leaf(stored, ""); }
};

TEST(NodeSearch, PrefixPageComparesSuffixes) {
  PrefixPage pp({"ab", "abc", "abd", "b"});
  EXPECT_EQ(pp.encode("abd"), std::string("\x02\x64", 2));
  SearchFixture f(pp.pb.mp(), orv_cmp_bytes, ORV_PREFIXKEY);
  run_probes(f, {{"abd", 2, true, 1},
                 {"a", 0, true, 0},
                 {"ab", 0, true, 1},
                 {"abc", 1, true, 1},
                 {"abca", 2, true, 0},
                 {"abz", 3, true, 0},
                 {"b", 3, true, 1},
                 {"ba", 4, false, 0}});
}

// The result must be that of a search over the whole keys, with the fast
// bytewise path and with a comparator that needs whole keys.
TEST(NodeSearch, PrefixPagesAgreeWithWholeKeys) {
  for (bool reverse : {false, true}) {
    SCOPED_TRACE(reverse ? "reverse" : "bytes");
    ORV_cmp_func cmp = reverse ? orv_cmp_bytes_reverse : orv_cmp_bytes;
    auto less = [cmp](const std::string &a, const std::string &b) {
      ORV_val x{a.size(), const_cast<char *>(a.data())}, y{b.size(), const_cast<char *>(b.data())};
      return cmp(&x, &y) < 0;
    };
    std::vector<std::string> keys, probes;
    for (int i = 0; i < 60; ++i) {
      std::string k = std::string(i % 4 == 0 ? 200 : 30, 'q') + std::to_string(i * 7);
      keys.push_back(k);
      probes.push_back(k);
      probes.push_back(k + "0");
      probes.push_back(k.substr(0, k.size() - 1));
    }
    probes.push_back(std::string(250, 'q'));
    probes.push_back("r");
    probes.push_back("");
    std::sort(keys.begin(), keys.end(), less);
    PrefixPage pp(keys);
    SearchFixture f(pp.pb.mp(), cmp, ORV_PREFIXKEY | (reverse ? ORV_REVERSEKEY : 0));
    for (const std::string &p : probes) {
      if (p.empty()) continue;
      const size_t want = std::lower_bound(keys.begin(), keys.end(), p, less) - keys.begin();
      auto r = f.search(p);
      ASSERT_EQ(r.slot, want) << p;
      ASSERT_EQ(r.exact, want < keys.size() && keys[want] == p) << p;
      ASSERT_EQ(r.has_node, want < keys.size()) << p;
    }
  }
}

TEST(NodeSearch, UnreadableVarintFailsTheTransaction) {
  PrefixPage pp({"abc"});
  pp.add_stored("\x80\x80");  // never ends
  pp.add_stored("\x01\x62");  // not canonical: read as the key 01 62
  pp.keys.push_back(std::string("\x80\x80"));
  SearchFixture f(pp.pb.mp(), orv_cmp_bytes, ORV_PREFIXKEY);
  std::string probe = "abd";
  ORV_val k{probe.size(), probe.data()};
  int exact = -1;
  f.mc.mc_ki[0] = 7;
  EXPECT_EQ(orv_node_search(&f.mc, &k, &exact), nullptr);
  EXPECT_EQ(exact, -1);
  EXPECT_EQ(f.mc.mc_ki[0], 7);
  EXPECT_TRUE(f.txn.mt_flags & ORV_TXN_ERROR);
  EXPECT_EQ(f.txn.mt_error, ORV_CORRUPTED);
}

TEST(NodeSearch, NonCanonicalKeyIsTheStoredBytes) {
  // Stored 01 62 against the first key 00 62 would read as 00 62 again if
  // taken as compressed, but its suffix continues the first key, so it is
  // not canonical: it is the two bytes 01 62, which sort after 00 62.
  PageBuilder pb(P_LEAF);
  pb.leaf(std::string("\x00\x62", 2), "");
  pb.leaf("\x01\x62", "");
  SearchFixture f(pb.mp(), orv_cmp_bytes, ORV_PREFIXKEY);
  run_probes(f, {{"\x01\x62", 1, true, 1}, {"\x01", 1, true, 0}, {"\x01\x63", 2, false, 0}});
}

}  // namespace
