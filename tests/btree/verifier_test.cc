// [verifier]: the tree verifier (tests/util/verify.h) finds what it claims
// to find. Every kind of damage it reports, planted in a committed store,
// must be reported; a sound store, with and without compressed keys, passes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

// ---- The verifier finds what it claims to find ------------------------------------------

// A committed store under ORV_WRITEMAP, so that tests can damage mapped pages
// behind a read transaction: a counted named database of 600 keys, some with
// overflow values.
class VerifierTest : public ::testing::Test {
 public:  // the damage table below reaches in
  void SetUp() override {
    ASSERT_EQ(0, orv_env_create(&env_));
    ASSERT_EQ(0, orv_env_set_mapsize(env_, size_t{16} << 20));
    ASSERT_EQ(0, orv_env_set_maxdbs(env_, 2));
    ASSERT_EQ(0, orv_env_open(env_, dir_.path().c_str(), ORV_WRITEMAP, 0644));
    ORV_txn *txn = nullptr;
    ASSERT_EQ(0, orv_txn_begin(env_, nullptr, 0, &txn));
    ASSERT_EQ(0, orv_dbi_open(txn, "t", ORV_CREATE | ORV_COUNTED, &dbi_));
    for (int i = 0; i < 600; i++) {
      char key[16];
      std::snprintf(key, sizeof key, "key%05d", i);
      std::string v(i % 50 == 0 ? 10000 : 50, static_cast<char>('a' + i % 26));
      ORV_val kv{std::strlen(key), key}, dv = orv_test::val(v);
      ASSERT_EQ(0, orv_put(txn, dbi_, &kv, &dv, 0));
    }
    ASSERT_EQ(0, orv_txn_commit(txn));
    // A second commit leaves freed pages in the free-page database.
    ASSERT_EQ(0, orv_txn_begin(env_, nullptr, 0, &txn));
    ORV_val kv{8, const_cast<char *>("key00007")}, dv{3, const_cast<char *>("new")};
    ASSERT_EQ(0, orv_put(txn, dbi_, &kv, &dv, 0));
    ASSERT_EQ(0, orv_txn_commit(txn));
    ASSERT_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd_));
    ORV_stat st{};
    ASSERT_EQ(0, orv_stat(rd_, dbi_, &st));  // refreshes the named record
    root_ = page(rd_->mt_dbs[dbi_].md_root);
  }
  void TearDown() override {
    if (rd_) orv_txn_abort(rd_);
    if (env_) orv_env_close(env_);
  }
  ORV_page *page(pgno_t pgno) {
    return reinterpret_cast<ORV_page *>(env_->me_map + pgno * env_->me_psize);
  }
  ORV_page *leftmost_leaf() {
    ORV_page *mp = root_;
    while (is_branch(mp)) mp = page(node_pgno(node_ptr(mp, 0)));
    return mp;
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
  ORV_txn *rd_ = nullptr;
  ORV_page *root_ = nullptr;
};

TEST_F(VerifierTest, AcceptsSoundStore) {
  orv_test::VerifyResult r = orv_test::VerifyTxn(rd_);
  ASSERT_TRUE(r.ok()) << r.Report();
  EXPECT_TRUE(r.space_checked);
  EXPECT_EQ(r.last_pgno + 1, r.reachable_pages + r.free_pages);
  EXPECT_GT(r.free_pages, 0u);
  const orv_test::TreeFigures &t = r.trees.at("t");
  EXPECT_EQ(600u, t.entries);
  EXPECT_GE(t.depth, 2u);
  EXPECT_EQ(12u * 3, t.overflow_pages);
  EXPECT_EQ(1u, r.trees.at("@main").entries);
}

struct Damage {
  const char *name;
  void (*plant)(VerifierTest &t);
  const char *expect;  // a fragment of the problem reported
};

const Damage kDamage[] = {
    {"LeafKeysSwapped",
     [](VerifierTest &t) {
       ORV_page *mp = t.leftmost_leaf();
       std::swap(mp_ptrs(mp)[0], mp_ptrs(mp)[1]);
     },
     "does not follow"},
    {"BranchCountWrong",
     [](VerifierTest &t) {
       ORV_node *n = node_ptr(t.root_, 0);
       set_node_count(n, node_count(n) + 1);
     },
     "entries below child"},
    {"CountedFlagMissing", [](VerifierTest &t) { t.root_->mp_flags &= ~P_COUNTED; },
     "lacks P_COUNTED"},
    {"DirtyFlagOnCommittedPage", [](VerifierTest &t) { t.root_->mp_flags |= P_DIRTY; },
     "has P_DIRTY"},
    {"SeparatorOutOfOrder",
     [](VerifierTest &t) {
       ORV_page *root = t.root_;
       auto *k = static_cast<char *>(node_key(node_ptr(root, numkeys(root) - 1), node_hdrsz(root)));
       k[0] = '\x01';
     },
     "separator"},
    {"PageReachableTwice",
     [](VerifierTest &t) {
       ORV_page *root = t.root_;
       set_node_pgno(node_ptr(root, 1), node_pgno(node_ptr(root, 0)));
     },
     "reachable twice"},
    {"BadBounds", [](VerifierTest &t) { t.leftmost_leaf()->mp_upper = 8; }, "bad bounds"},
    {"EntriesWrong", [](VerifierTest &t) { t.rd_->mt_dbs[MAIN_DBI].md_entries++; }, "md_entries"},
    {"PageLeaked", [](VerifierTest &t) { t.rd_->mt_next_pgno++; }, "leaked"},
    {"PageLiveAndFree",
     [](VerifierTest &t) {
       // Point a leaf entry of the free-page database's first record at a
       // reachable page: the root of "t".
       auto &d = t;
       ORV_page *fp = d.page(d.rd_->mt_dbs[FREE_DBI].md_root);
       while (is_branch(fp)) fp = d.page(node_pgno(node_ptr(fp, 0)));
       ORV_node *n = node_ptr(fp, 0);
       ASSERT_FALSE(n->mn_flags & F_BIGDATA);
       auto *v = static_cast<char *>(node_data(n));
       store_u64(v + 8, d.root_->mp_pgno);
     },
     "is free and in use"},
};

class VerifierDetects : public VerifierTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(VerifierDetects, Damage) {
  orv_test::VerifyResult before = orv_test::VerifyTxn(rd_);
  ASSERT_TRUE(before.ok()) << before.Report();
  GetParam().plant(*this);
  orv_test::VerifyResult r = orv_test::VerifyTxn(rd_);
  ASSERT_FALSE(r.ok());
  std::string report = r.Report();
  EXPECT_NE(std::string::npos, report.find(GetParam().expect)) << report;
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifierDetects, ::testing::ValuesIn(kDamage),
                         [](const ::testing::TestParamInfo<Damage> &info) {
                           return std::string(info.param.name);
                         });

// Prefix-compressed leaves: the write path does not build them yet, so a
// plain leaf is rewritten by hand in compressed form and its database record
// given ORV_PREFIXKEY.
struct PrefixCase {
  const char *name;
  std::vector<std::string> stored;  // stored keys of slots 0, 1, 2
  uint16_t pad;                     // mp_pad written
  const char *expect;               // "" when the page is sound
};

class VerifierPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(VerifierPrefix, ChecksCompressedKeys) {
  const PrefixCase &pc = GetParam();
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(0, orv_env_create(&env));
  std::unique_ptr<ORV_env, void (*)(ORV_env *)> guard(env, orv_env_close);
  ASSERT_EQ(0, orv_env_set_maxdbs(env, 2));
  ASSERT_EQ(0, orv_env_open(env, dir.path().c_str(), ORV_WRITEMAP | ORV_NOSYNC, 0644));
  ORV_txn *txn = nullptr;
  ORV_dbi dbi = 0;
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
  ASSERT_EQ(0, orv_dbi_open(txn, "p", ORV_CREATE, &dbi));
  for (const char *k : {"abc", "abcz", "abd"}) {
    ORV_val kv{std::strlen(k), const_cast<char *>(k)}, dv{1, const_cast<char *>("v")};
    ASSERT_EQ(0, orv_put(txn, dbi, &kv, &dv, 0));
  }
  ASSERT_EQ(0, orv_txn_commit(txn));
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, ORV_RDONLY, &txn));
  std::unique_ptr<ORV_txn, void (*)(ORV_txn *)> tguard(txn, orv_txn_abort);
  ORV_stat st{};
  ASSERT_EQ(0, orv_stat(txn, dbi, &st));
  ASSERT_EQ(1u, st.ms_depth);
  auto page = [&](pgno_t p) {
    return reinterpret_cast<ORV_page *>(env->me_map + p * env->me_psize);
  };
  // The record of "p" in the main database gets ORV_PREFIXKEY.
  ORV_page *main_leaf = page(txn->mt_dbs[MAIN_DBI].md_root);
  ASSERT_EQ(1u, numkeys(main_leaf));
  auto *rec = static_cast<char *>(node_data(node_ptr(main_leaf, 0)));
  uint16_t flags = ORV_PREFIXKEY;
  std::memcpy(rec + offsetof(ORV_db, md_flags), &flags, sizeof flags);
  // Rewrite the leaf with the stored keys of the case.
  ORV_page *mp = page(txn->mt_dbs[dbi].md_root);
  mp->mp_lower = PAGEHDRSZ;
  mp->mp_upper = static_cast<indx_t>(env->me_psize);
  mp->mp_pad = pc.pad;
  for (size_t i = 0; i < pc.stored.size(); i++) {
    const std::string &k = pc.stored[i];
    size_t size = leaf_node_size(k.size(), 1);
    mp->mp_upper = static_cast<indx_t>(mp->mp_upper - size);
    mp_ptrs(mp)[i] = mp->mp_upper;
    mp->mp_lower = static_cast<indx_t>(mp->mp_lower + 2);
    ORV_node *n = node_ptr(mp, static_cast<unsigned>(i));
    std::memset(n, 0, size);
    n->mn_ksize = static_cast<uint16_t>(k.size());
    set_node_dsize(n, 1);
    std::memcpy(node_key(n, NODESIZE), k.data(), k.size());
    *static_cast<char *>(node_data(n)) = 'v';
  }
  orv_test::VerifyResult r = orv_test::VerifyTxn(txn);
  if (*pc.expect == '\0') {
    EXPECT_TRUE(r.ok()) << r.Report();
  } else {
    EXPECT_NE(std::string::npos, r.Report().find(pc.expect)) << r.Report();
  }
}

// abc, abcz, abd: abcz shares 3 bytes ("03 7a"), abd shares 2 ("02 64").
const PrefixCase kPrefixCases[] = {
    {"Canonical",
     {"abc", "\x03z",
      "\x02"
      "d"},
     4,
     ""},
    {"PadNotLongestKey",
     {"abc", "\x03z",
      "\x02"
      "d"},
     3,
     "mp_pad 3, expected 4"},
    {"PrefixNotMaximal",
     {"abc", "\x03z",
      "\x01"
      "bd"},
     4,
     "not in canonical form"},
    {"VarintNotMinimal",
     {"abc", "\x80\x03z",
      "\x02"
      "d"},
     4,
     "not in canonical form"},
    {"VarintUnterminated",
     {"abc", "\x80\x80",
      "\x02"
      "d"},
     4,
     "undecodable prefix key"},
};

INSTANTIATE_TEST_SUITE_P(Cases, VerifierPrefix, ::testing::ValuesIn(kPrefixCases),
                         [](const ::testing::TestParamInfo<PrefixCase> &info) {
                           return std::string(info.param.name);
                         });

// ---- Value trees of duplicate keys ------------------------------------------------------

// A committed store under ORV_WRITEMAP with two databases of duplicates:
// "d" (counted) and "f" (fixed-size values), each with 200 single-value
// keys, a key "sub" of 5 values (a sub-page) and a key "tree" of 700
// values (a sub-database).
class VerifierDups : public ::testing::Test {
 public:  // the damage table below reaches in
  void SetUp() override {
    ASSERT_EQ(0, orv_env_create(&env_));
    ASSERT_EQ(0, orv_env_set_mapsize(env_, size_t{16} << 20));
    ASSERT_EQ(0, orv_env_set_maxdbs(env_, 2));
    ASSERT_EQ(0, orv_env_open(env_, dir_.path().c_str(), ORV_WRITEMAP | ORV_NOSYNC, 0644));
    ORV_txn *txn = nullptr;
    ASSERT_EQ(0, orv_txn_begin(env_, nullptr, 0, &txn));
    ASSERT_EQ(0, orv_dbi_open(txn, "d", ORV_CREATE | ORV_DUPSORT | ORV_COUNTED, &d_));
    ASSERT_EQ(0, orv_dbi_open(txn, "f", ORV_CREATE | ORV_DUPSORT | ORV_DUPFIXED, &f_));
    for (ORV_dbi dbi : {d_, f_}) {
      auto put = [&](const std::string &k, int i) {
        char v[16];
        std::snprintf(v, sizeof v, "v%07d", i);
        ORV_val kv = orv_test::val(k), dv{8, v};
        ASSERT_EQ(0, orv_put(txn, dbi, &kv, &dv, 0));
      };
      for (int i = 0; i < 200; i++) put("key" + std::to_string(1000 + i), i);
      for (int i = 0; i < 5; i++) put("sub", i);
      for (int i = 0; i < 700; i++) put("tree", i);
    }
    ASSERT_EQ(0, orv_txn_commit(txn));
    ASSERT_EQ(0, orv_txn_begin(env_, nullptr, ORV_RDONLY, &rd_));
  }
  void TearDown() override {
    if (rd_) orv_txn_abort(rd_);
    if (env_) orv_env_close(env_);
  }
  // The committed leaf node of key k in database dbi.
  ORV_node *node_of(ORV_dbi dbi, const char *k) {
    ORV_cursor *mc = nullptr;
    EXPECT_EQ(0, orv_cursor_open(rd_, dbi, &mc));
    ORV_val kv{std::strlen(k), const_cast<char *>(k)}, dv{};
    EXPECT_EQ(0, orv_cursor_get(mc, &kv, &dv, ORV_SET));
    ORV_node *node = node_ptr(mc->mc_pg[mc->mc_top], mc->mc_ki[mc->mc_top]);
    orv_cursor_close(mc);
    return node;
  }
  ORV_page *subpage(ORV_dbi dbi) { return static_cast<ORV_page *>(node_data(node_of(dbi, "sub"))); }
  // Changes a 48-byte record stored in a node (at 2-byte alignment).
  template <typename Fn>
  void edit_record(ORV_node *node, Fn fn) {
    ORV_db rec;
    std::memcpy(&rec, node_data(node), sizeof rec);
    fn(rec);
    std::memcpy(node_data(node), &rec, sizeof rec);
  }
  template <typename Fn>
  void edit_tree(ORV_dbi dbi, Fn fn) {
    edit_record(node_of(dbi, "tree"), fn);
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi d_ = 0, f_ = 0;
  ORV_txn *rd_ = nullptr;
};

TEST_F(VerifierDups, AcceptsSoundStore) {
  orv_test::VerifyResult r = orv_test::VerifyTxn(rd_);
  ASSERT_TRUE(r.ok()) << r.Report();
  EXPECT_EQ(905u, r.trees.at("d").entries) << "entries count values";
  EXPECT_EQ(905u, r.trees.at("f").entries);
  EXPECT_EQ(F_DUPDATA, node_of(d_, "sub")->mn_flags);
  EXPECT_EQ(F_DUPDATA | F_SUBDATA, node_of(f_, "tree")->mn_flags);
  EXPECT_EQ(r.last_pgno + 1, r.reachable_pages + r.free_pages) << "no page leaked";
}

struct DupDamage {
  const char *name;
  void (*plant)(VerifierDups &t);
  const char *expect;  // a fragment of the problem reported
};

const DupDamage kDupDamage[] = {
    {"SubPageValuesSwapped",
     [](VerifierDups &t) {
       ORV_page *sp = t.subpage(t.d_);
       std::swap(mp_ptrs(sp)[1], mp_ptrs(sp)[2]);
     },
     "does not follow"},
    {"SubPageUpperPastItsEnd",
     [](VerifierDups &t) {
       ORV_node *n = t.node_of(t.d_, "sub");
       static_cast<ORV_page *>(node_data(n))->mp_upper = static_cast<indx_t>(node_dsize(n) + 2);
     },
     "bad bounds"},
    {"SubPageFlagsWrong", [](VerifierDups &t) { t.subpage(t.d_)->mp_flags &= ~P_SUBP; },
     "sub-page of"},
    {"SubPageEmpty", [](VerifierDups &t) { t.subpage(t.d_)->mp_lower = PAGEHDRSZ; }, "is empty"},
    {"FixedSubPageWithoutValueSize", [](VerifierDups &t) { t.subpage(t.f_)->mp_pad = 0; },
     "do not fit"},
    {"FixedSubPageNotLeaf2", [](VerifierDups &t) { t.subpage(t.f_)->mp_flags &= ~P_LEAF2; },
     "sub-page of"},
    {"SubDbEntriesWrong",
     [](VerifierDups &t) { t.edit_tree(t.d_, [](ORV_db &r) { r.md_entries++; }); }, "md_entries"},
    {"SubDbDepthWrong", [](VerifierDups &t) { t.edit_tree(t.d_, [](ORV_db &r) { r.md_depth++; }); },
     "md_depth"},
    {"SubDbLeafPagesWrong",
     [](VerifierDups &t) { t.edit_tree(t.d_, [](ORV_db &r) { r.md_leaf_pages++; }); },
     "md_leaf_pages"},
    {"SubDbFlagsWrong",
     [](VerifierDups &t) { t.edit_tree(t.d_, [](ORV_db &r) { r.md_flags |= ORV_REVERSEKEY; }); },
     "record flags"},
    {"FixedSubDbValueSizeMissing",
     [](VerifierDups &t) { t.edit_tree(t.f_, [](ORV_db &r) { r.md_pad = 0; }); },
     "record value size"},
    {"SubDbRootLeaked",
     [](VerifierDups &t) {
       // The sub-database's pages become unreachable behind an empty record.
       t.edit_tree(t.d_, [](ORV_db &r) {
         r.md_root = P_INVALID;
         r.md_depth = 0;
         r.md_branch_pages = r.md_leaf_pages = r.md_entries = 0;
       });
     },
     "leaked"},
    {"MainEntriesCountKeysOnly",
     [](VerifierDups &t) {
       // The record of "d" in the main database counts its keys only.
       t.edit_record(t.node_of(MAIN_DBI, "d"), [](ORV_db &r) { r.md_entries = 202; });
     },
     "md_entries"},
};

class VerifierDupDamage : public VerifierDups, public ::testing::WithParamInterface<DupDamage> {};

TEST_P(VerifierDupDamage, IsReported) {
  GetParam().plant(*this);
  orv_test::VerifyResult r = orv_test::VerifyTxn(rd_);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(std::string::npos, r.Report().find(GetParam().expect)) << r.Report();
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifierDupDamage, ::testing::ValuesIn(kDupDamage),
                         [](const ::testing::TestParamInfo<DupDamage> &info) {
                           return std::string(info.param.name);
                         });

// The engine meets a damaged sub-page with ORV_CORRUPTED and leaves it as
// it is: deletes do not edit it and the transaction stays usable.
TEST_F(VerifierDups, DeletesRefuseADamagedSubPage) {
  for (ORV_dbi dbi : {d_, f_}) {
    SCOPED_TRACE(dbi == d_ ? "d" : "f");
    ORV_node *n = node_of(dbi, "sub");
    auto *sp = static_cast<ORV_page *>(node_data(n));
    const indx_t lower = sp->mp_lower;
    sp->mp_lower = static_cast<indx_t>(node_dsize(n) + 40);  // slots past the sub-page
    ORV_txn *txn = nullptr;
    ASSERT_EQ(0, orv_txn_begin(env_, nullptr, 0, &txn));
    char v[] = "v0000002";
    ORV_val kv{3, const_cast<char *>("sub")}, dv{8, v};
    EXPECT_EQ(ORV_CORRUPTED, orv_del(txn, dbi, &kv, &dv));
    EXPECT_EQ(ORV_CORRUPTED, orv_del(txn, dbi, &kv, nullptr));
    // Other keys are still deleted.
    ORV_val tk{4, const_cast<char *>("tree")};
    EXPECT_EQ(0, orv_del(txn, dbi, &tk, nullptr));
    orv_txn_abort(txn);
    sp->mp_lower = lower;
  }
  orv_test::VerifyResult r = orv_test::VerifyTxn(rd_);
  EXPECT_TRUE(r.ok()) << r.Report();
}

}  // namespace
