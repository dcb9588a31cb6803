// [dbi]: lib/btree/dbi.cc - opening, creating and closing named databases,
// handle validity across transaction ends, flags, statistics, comparator
// setters and orv_cmp/orv_dcmp.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using orv_test::str;
using orv_test::val;

ORV_val val(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }

class DbiTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(6); }
  void TearDown() override {
    if (txn_ != nullptr) orv_txn_abort(txn_);
    orv_env_close(env_);
  }

  void Open(unsigned maxdbs) {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, 8u << 20), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, maxdbs), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), 0, 0644), 0);
  }
  void Reopen(unsigned maxdbs) {
    orv_env_close(env_);
    env_ = nullptr;
    Open(maxdbs);
  }

  ORV_txn *Begin(unsigned flags = 0) {
    EXPECT_EQ(txn_, nullptr);
    EXPECT_EQ(orv_txn_begin(env_, nullptr, flags, &txn_), 0);
    return txn_;
  }
  void Commit() {
    ASSERT_EQ(orv_txn_commit(txn_), 0);
    txn_ = nullptr;
  }
  void Abort() {
    orv_txn_abort(txn_);
    txn_ = nullptr;
  }

  int OpenDb(const char *name, unsigned flags, ORV_dbi *dbi) {
    return orv_dbi_open(txn_, name, flags, dbi);
  }
  ORV_dbi Create(const char *name, unsigned flags = 0) {
    ORV_dbi dbi = 0;
    EXPECT_EQ(OpenDb(name, flags | ORV_CREATE, &dbi), 0) << name;
    return dbi;
  }
  int Put(ORV_dbi dbi, const std::string &k, const std::string &v) {
    ORV_val key = val(k), data = val(v);
    return orv_put(txn_, dbi, &key, &data, 0);
  }
  int Get(ORV_dbi dbi, const std::string &k, std::string *out = nullptr) {
    ORV_val key = val(k), data{0, nullptr};
    int rc = orv_get(txn_, dbi, &key, &data);
    if (rc == 0 && out != nullptr) *out = str(data);
    return rc;
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_txn *txn_ = nullptr;
};

TEST_F(DbiTest, CreateCommitAndReopen) {
  Begin();
  ORV_dbi a = Create("alpha");
  EXPECT_GE(a, CORE_DBS);
  ORV_dbi again = 0;
  // Same name in the same transaction: same handle, the flags are ignored.
  ASSERT_EQ(OpenDb("alpha", ORV_DUPSORT, &again), 0);
  EXPECT_EQ(again, a);
  ASSERT_EQ(Put(a, "k", "v"), 0);
  Commit();

  // A later transaction uses the handle without opening it again.
  Begin();
  std::string v;
  ASSERT_EQ(Get(a, "k", &v), 0);
  EXPECT_EQ(v, "v");
  Abort();

  // After a restart the name is found without ORV_CREATE.
  Reopen(6);
  Begin(ORV_RDONLY);
  ORV_dbi b = 0;
  ASSERT_EQ(OpenDb("alpha", 0, &b), 0);
  ASSERT_EQ(Get(b, "k", &v), 0);
  EXPECT_EQ(v, "v");
  EXPECT_TREE_VALID(txn_);
}

TEST_F(DbiTest, RecordIsStoredUnderItsNameInMain) {
  Begin();
  Create("stats", ORV_DUPSORT | ORV_COUNTED);
  Commit();

  Begin(ORV_RDONLY);
  ORV_cursor *mc;
  ASSERT_EQ(orv_cursor_open(txn_, MAIN_DBI, &mc), 0);
  ORV_val key = val("stats"), data{0, nullptr};
  ASSERT_EQ(orv_cursor_get(mc, &key, &data, ORV_SET), 0);
  ASSERT_EQ(data.mv_size, sizeof(ORV_db));
  ORV_db rec;
  std::memcpy(&rec, data.mv_data, sizeof rec);
  EXPECT_EQ(rec.md_flags, ORV_DUPSORT | ORV_COUNTED);
  EXPECT_EQ(rec.md_root, P_INVALID);
  EXPECT_EQ(rec.md_depth, 0);
  EXPECT_EQ(rec.md_entries, 0u);
  const ORV_node *node = node_ptr(mc->mc_pg[mc->mc_top], mc->mc_ki[mc->mc_top]);
  EXPECT_EQ(node->mn_flags & (F_SUBDATA | F_DUPDATA), F_SUBDATA);
  orv_cursor_close(mc);
}

TEST_F(DbiTest, NotFoundAfterAbortedCreate) {
  Begin();
  ORV_dbi gone = Create("ghost");
  Abort();

  Begin();
  ORV_dbi dbi = 0;
  EXPECT_EQ(OpenDb("ghost", 0, &dbi), ORV_NOTFOUND);
  // The aborted handle is not valid in a later transaction.
  EXPECT_EQ(Get(gone, "k"), EINVAL);
  unsigned flags;
  EXPECT_EQ(orv_dbi_flags(txn_, gone, &flags), EINVAL);
  Abort();

  // A read-only transaction may open existing names only.
  Begin(ORV_RDONLY);
  EXPECT_EQ(OpenDb("ghost", ORV_CREATE, &dbi), EACCES);
  EXPECT_EQ(OpenDb("ghost", 0, &dbi), ORV_NOTFOUND);
}

TEST_F(DbiTest, HandleOpenedInCommittedReadTxnStaysOpen) {
  Begin();
  ORV_dbi w = Create("shared");
  ASSERT_EQ(Put(w, "a", "1"), 0);
  Commit();
  // A restart forgets every handle; a read-only transaction opens it again.
  Reopen(6);
  Begin(ORV_RDONLY);
  ORV_dbi r = 0;
  ASSERT_EQ(OpenDb("shared", 0, &r), 0);
  Commit();

  Begin();
  std::string v;
  ASSERT_EQ(Get(r, "a", &v), 0);
  EXPECT_EQ(v, "1");
  Abort();

  // Opened in a read-only transaction that is aborted, it is gone again.
  Reopen(6);
  Begin(ORV_RDONLY);
  ASSERT_EQ(OpenDb("shared", 0, &r), 0);
  Abort();
  Begin(ORV_RDONLY);
  EXPECT_EQ(Get(r, "a"), EINVAL);
}

TEST_F(DbiTest, FlagsAreStored) {
  const unsigned kSets[] = {0,
                            ORV_REVERSEKEY,
                            ORV_DUPSORT | ORV_COUNTED,
                            ORV_INTEGERKEY,
                            ORV_DUPSORT | ORV_DUPFIXED | ORV_INTEGERDUP,
                            ORV_DUPSORT | ORV_REVERSEDUP | ORV_PREFIXKEY};
  Reopen(10);
  Begin();
  ORV_dbi dbis[6];
  for (int i = 0; i < 6; i++) {
    std::string name = "db" + std::to_string(i);
    dbis[i] = Create(name.c_str(), kSets[i]);
    unsigned got = ~0u;
    ASSERT_EQ(orv_dbi_flags(txn_, dbis[i], &got), 0);
    EXPECT_EQ(got, kSets[i]) << name;
  }
  Commit();

  Reopen(10);
  Begin(ORV_RDONLY);
  for (int i = 0; i < 6; i++) {
    std::string name = "db" + std::to_string(i);
    ORV_dbi dbi;
    ASSERT_EQ(OpenDb(name.c_str(), 0, &dbi), 0);
    unsigned got = ~0u;
    ASSERT_EQ(orv_dbi_flags(txn_, dbi, &got), 0);
    EXPECT_EQ(got, kSets[i]) << name;
  }
}

TEST_F(DbiTest, BadArguments) {
  Begin();
  ORV_dbi dbi = 0;
  unsigned flags = 0;
  EXPECT_EQ(orv_dbi_open(nullptr, "x", ORV_CREATE, &dbi), EINVAL);
  EXPECT_EQ(OpenDb("x", ORV_CREATE | 0x1, &dbi), EINVAL);  // not a database flag
  EXPECT_EQ(OpenDb("x", ORV_CREATE | ORV_NOSYNC, &dbi), EINVAL);
  EXPECT_EQ(orv_dbi_flags(nullptr, MAIN_DBI, &flags), EINVAL);
  EXPECT_EQ(orv_dbi_flags(txn_, 5, &flags), EINVAL);         // beyond the known slots
  EXPECT_EQ(orv_dbi_flags(txn_, FREE_DBI, &flags), EINVAL);  // internal only
  EXPECT_EQ(orv_set_compare(txn_, 5, orv_cmp_bytes), EINVAL);
  EXPECT_EQ(orv_set_relctx(nullptr, MAIN_DBI, nullptr), EINVAL);
  ORV_stat st;
  EXPECT_EQ(orv_stat(txn_, 5, &st), EINVAL);
  EXPECT_EQ(orv_stat(txn_, MAIN_DBI, nullptr), EINVAL);
}

TEST_F(DbiTest, EmptyNameIsBadValsize) {
  Begin();
  ORV_dbi dbi = 77;
  EXPECT_EQ(OpenDb("", 0, &dbi), ORV_BAD_VALSIZE);
  EXPECT_EQ(OpenDb("", ORV_CREATE, &dbi), ORV_BAD_VALSIZE);
  EXPECT_EQ(dbi, 77u);
  // A closed slot has an empty name; an empty name must not find it.
  ORV_dbi a = Create("a");
  Commit();
  orv_dbi_close(env_, a);
  Begin();
  EXPECT_EQ(OpenDb("", 0, &dbi), ORV_BAD_VALSIZE);
  EXPECT_EQ(OpenDb("", ORV_CREATE, &dbi), ORV_BAD_VALSIZE);
  EXPECT_EQ(dbi, 77u);
  // Over-long names cannot be created.
  std::string longname(600, 'n');
  EXPECT_EQ(OpenDb(longname.c_str(), ORV_CREATE, &dbi), ORV_BAD_VALSIZE);
}

TEST_F(DbiTest, DbsFullAndSlotReuse) {
  Reopen(2);  // two named databases
  Begin();
  ORV_dbi a = Create("a");
  ORV_dbi b = Create("b");
  ORV_dbi c = 0;
  EXPECT_EQ(OpenDb("c", ORV_CREATE, &c), ORV_DBS_FULL);
  ASSERT_EQ(Put(b, "kb", "vb"), 0);
  Commit();

  orv_dbi_close(env_, b);
  orv_dbi_close(env_, b);         // closing twice is harmless
  orv_dbi_close(env_, MAIN_DBI);  // core slots are never closed
  Begin();
  c = Create("c");
  EXPECT_EQ(c, b);  // the freed slot is reused
  EXPECT_EQ(Get(c, "kb"), ORV_NOTFOUND);
  ORV_dbi b2 = 0;
  EXPECT_EQ(OpenDb("b", 0, &b2), ORV_DBS_FULL);
  EXPECT_EQ(Get(a, "kb"), ORV_NOTFOUND);
  std::string v;
  ASSERT_EQ(Get(MAIN_DBI, "b", &v), 0);  // b still exists in the file
  EXPECT_EQ(v.size(), sizeof(ORV_db));
  Commit();
}

TEST_F(DbiTest, PlainKeyIsIncompatible) {
  Begin();
  ASSERT_EQ(Put(MAIN_DBI, "plain", "data"), 0);
  ORV_dbi dbi;
  EXPECT_EQ(OpenDb("plain", 0, &dbi), ORV_INCOMPATIBLE);
  EXPECT_EQ(OpenDb("plain", ORV_CREATE, &dbi), ORV_INCOMPATIBLE);
  Create("named");
  // Writing plain data over a database record is refused.
  EXPECT_EQ(Put(MAIN_DBI, "named", "data"), ORV_INCOMPATIBLE);
}

TEST_F(DbiTest, MainDatabaseFlags) {
  Begin();
  ORV_dbi dbi = 9;
  ASSERT_EQ(OpenDb(nullptr, ORV_INTEGERKEY, &dbi), 0);
  EXPECT_EQ(dbi, MAIN_DBI);
  unsigned flags = 0;
  ASSERT_EQ(orv_dbi_flags(txn_, MAIN_DBI, &flags), 0);
  EXPECT_EQ(flags, ORV_INTEGERKEY);
  // An integer-keyed main database cannot hold named databases.
  EXPECT_EQ(OpenDb("n", ORV_CREATE, &dbi), ORV_INCOMPATIBLE);
  EXPECT_EQ(OpenDb("n", 0, &dbi), ORV_NOTFOUND);
  uint32_t k = 7;
  ORV_val key{sizeof k, &k}, data = val("seven");
  ASSERT_EQ(orv_put(txn_, MAIN_DBI, &key, &data, 0), 0);
  Commit();

  Begin();
  ASSERT_EQ(orv_dbi_flags(txn_, MAIN_DBI, &flags), 0);
  EXPECT_EQ(flags, ORV_INTEGERKEY);
  // A main database holding entries keeps its order: new key flags would
  // make its existing order wrong.
  EXPECT_EQ(OpenDb(nullptr, ORV_REVERSEKEY, &dbi), ORV_INCOMPATIBLE);
  ASSERT_EQ(OpenDb(nullptr, ORV_INTEGERKEY, &dbi), 0);  // nothing new
  ASSERT_EQ(OpenDb(nullptr, 0, &dbi), 0);
  ASSERT_EQ(orv_dbi_flags(txn_, MAIN_DBI, &flags), 0);
  EXPECT_EQ(flags, ORV_INTEGERKEY);
}

int ReverseBytes(const ORV_val *a, const ORV_val *b) { return -orv_cmp_bytes(a, b); }

TEST_F(DbiTest, ComparatorSetters) {
  Begin();
  ORV_val a = val("a"), b = val("b");
  EXPECT_LT(orv_cmp(txn_, MAIN_DBI, &a, &b), 0);
  ASSERT_EQ(orv_set_compare(txn_, MAIN_DBI, ReverseBytes), 0);
  EXPECT_GT(orv_cmp(txn_, MAIN_DBI, &a, &b), 0);
  // Opening the main database again reinstalls its default comparator.
  ORV_dbi dbi;
  ASSERT_EQ(OpenDb(nullptr, 0, &dbi), 0);
  EXPECT_LT(orv_cmp(txn_, MAIN_DBI, &a, &b), 0);
  // A null comparator restores the built-in one rather than leaving none.
  ASSERT_EQ(orv_set_compare(txn_, MAIN_DBI, ReverseBytes), 0);
  ASSERT_EQ(orv_set_compare(txn_, MAIN_DBI, nullptr), 0);
  EXPECT_LT(orv_cmp(txn_, MAIN_DBI, &a, &b), 0);

  ORV_dbi d = Create("dups", ORV_DUPSORT);
  ASSERT_EQ(orv_set_dupsort(txn_, d, ReverseBytes), 0);
  EXPECT_GT(orv_dcmp(txn_, d, &a, &b), 0);
  ASSERT_EQ(orv_set_dupsort(txn_, d, nullptr), 0);
  EXPECT_LT(orv_dcmp(txn_, d, &a, &b), 0);
  int ctx = 0;
  EXPECT_EQ(orv_set_relctx(txn_, d, &ctx), 0);
  EXPECT_EQ(orv_set_relfunc(txn_, d, nullptr), 0);
  EXPECT_EQ(env_->me_dbxs[d].md_relctx, &ctx);
}

// orv_cmp / orv_dcmp follow the flags of the database.
TEST_F(DbiTest, CompareLikeTheDatabase) {
  Reopen(10);
  Begin();
  ORV_dbi plain = Create("plain");
  ORV_dbi rev = Create("rev", ORV_REVERSEKEY);
  ORV_dbi ints = Create("ints", ORV_INTEGERKEY);
  ORV_dbi fixed = Create("fixed", ORV_DUPSORT | ORV_DUPFIXED | ORV_INTEGERDUP);
  ORV_dbi rdup = Create("rdup", ORV_DUPSORT | ORV_REVERSEDUP);

  auto sign = [](int v) { return (v > 0) - (v < 0); };
  struct Case {
    ORV_dbi dbi;
    bool dup;
    std::string a, b;
    int want;
  };
  uint32_t lo32 = 65535, hi32 = 65536;
  uint64_t lo64 = 0xFFFFFFFFull, hi64 = 0x100000000ull;
  const std::string s32lo(reinterpret_cast<char *>(&lo32), 4);
  const std::string s32hi(reinterpret_cast<char *>(&hi32), 4);
  const std::string s64lo(reinterpret_cast<char *>(&lo64), 8);
  const std::string s64hi(reinterpret_cast<char *>(&hi64), 8);
  const Case cases[] = {
      {plain, false, "ab", "abc", -1}, {plain, false, "abc", "abd", -1},
      {plain, false, "", "a", -1},     {rev, false, "ba", "ab", -1},
      {rev, false, "b", "ab", -1},     {rev, false, "ay", "bx", 1},
      {ints, false, s32hi, s32lo, 1},  {fixed, true, s32lo, s32hi, -1},
      {fixed, true, s64lo, s64hi, -1},  // 8-byte values compare as 64-bit numbers
      {fixed, true, s64hi, s64lo, 1},  {rdup, true, "ba", "ab", -1},
      {rdup, true, "x", "x", 0},
  };
  for (const Case &c : cases) {
    ORV_val a = val(c.a), b = val(c.b);
    int got = c.dup ? orv_dcmp(txn_, c.dbi, &a, &b) : orv_cmp(txn_, c.dbi, &a, &b);
    EXPECT_EQ(sign(got), c.want) << "dbi " << c.dbi << " " << (c.dup ? "dcmp" : "cmp");
  }
}

TEST_F(DbiTest, Stat) {
  Begin();
  ORV_dbi d = Create("s");
  ORV_stat st;
  ASSERT_EQ(orv_stat(txn_, d, &st), 0);
  EXPECT_EQ(st.ms_psize, env_->me_psize);
  EXPECT_EQ(st.ms_depth, 0u);
  EXPECT_EQ(st.ms_leaf_pages + st.ms_branch_pages + st.ms_overflow_pages, 0u);
  EXPECT_EQ(st.ms_entries, 0u);
  ASSERT_EQ(Put(d, "k", "v"), 0);
  ASSERT_EQ(orv_stat(txn_, d, &st), 0);
  EXPECT_EQ(st.ms_depth, 1u);
  EXPECT_EQ(st.ms_leaf_pages, 1u);
  EXPECT_EQ(st.ms_branch_pages, 0u);
  EXPECT_EQ(st.ms_entries, 1u);
  // The free-page database may be queried.
  EXPECT_EQ(orv_stat(txn_, FREE_DBI, &st), 0);
  Commit();

  // A later transaction starts with a stale record; stat refreshes it.
  Begin(ORV_RDONLY);
  ASSERT_EQ(orv_stat(txn_, d, &st), 0);
  EXPECT_EQ(st.ms_depth, 1u);
  EXPECT_EQ(st.ms_entries, 1u);
}

}  // namespace
