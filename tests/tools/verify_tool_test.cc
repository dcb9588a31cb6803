// [orv-verify]: tools/orv-verify.cc over sound environments of every
// database kind (silent, exit 0) and over files damaged in a table of ways
// (each problem named with its page, exit 1, never a crash).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "env/env.h"
#include "tools/tool_env.h"
#include "util/tempdir.h"

namespace {

using orv_test::DbContents;
using orv_test::Entries;
using orv_test::run_tool;
using orv_test::ToolRun;

const std::string kVerify = orv_test::tool_path("orv-verify");

// A crash, or a fault found by the sanitizers (which exit with status 1),
// must never be mistaken for a verdict.
void expect_no_crash(const ToolRun &r) {
  EXPECT_LT(r.status, 128) << r.err;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
}

Entries many(int n, size_t vsize, int big_every = 0) {
  Entries e;
  for (int i = 0; i < n; i++) {
    char k[16];
    std::snprintf(k, sizeof k, "key%05d", i);
    size_t sz = big_every && i % big_every == 0 ? 9000 : vsize;
    e.emplace_back(k, std::string(sz, char('a' + i % 26)));
  }
  return e;
}

Entries dups(int keys, int per_key, size_t vsize) {
  Entries e;
  for (int i = 0; i < keys; i++)
    for (int j = 0; j < per_key; j++) {
      char k[16], v[16];
      std::snprintf(k, sizeof k, "d%04d", i);
      std::snprintf(v, sizeof v, "%08d", j * 7 + i);
      e.emplace_back(k, std::string(v) + std::string(vsize > 8 ? vsize - 8 : 0, 'x'));
    }
  return e;
}

Entries int_keys(int n) {
  Entries e;
  for (uint64_t i = 1; i <= uint64_t(n); i++) {
    uint64_t k = i * 1000003;
    e.emplace_back(std::string(reinterpret_cast<char *>(&k), 8), "value");
  }
  return e;
}

// ---- Sound files --------------------------------------------------------------------

struct SoundCase {
  const char *name;
  unsigned flags;
  std::function<Entries()> entries;
};

class VerifyToolSound : public ::testing::TestWithParam<SoundCase> {};

TEST_P(VerifyToolSound, ExitsZeroWithoutMessage) {
  const SoundCase &c = GetParam();
  TempDir dir;
  // The main database holds its own keys beside the named one, with
  // overflow values in both where the kind allows them.
  orv_test::make_env(dir.path(), {{"", 0, many(300, 40, 97)}, {"d", c.flags, c.entries()}});
  ToolRun r = run_tool(kVerify, {dir.path()});
  expect_no_crash(r);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  r = run_tool(kVerify, {"-v", dir.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("0 problem(s); last page ", 0), 0u) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, VerifyToolSound,
    ::testing::Values(
        SoundCase{"Plain", 0, [] { return many(2000, 30, 151); }},
        SoundCase{"ReverseKey", ORV_REVERSEKEY, [] { return many(1500, 30); }},
        SoundCase{"IntegerKey", ORV_INTEGERKEY, [] { return int_keys(1500); }},
        SoundCase{"Counted", ORV_COUNTED, [] { return many(2000, 30, 151); }},
        SoundCase{"PrefixKey", ORV_PREFIXKEY, [] { return many(2000, 30, 151); }},
        // The write path keeps one value per key so far: these databases
        // carry the duplicate flags over single values.
        SoundCase{"DupSort", ORV_DUPSORT, [] { return dups(1500, 1, 20); }},
        SoundCase{"DupFixed", ORV_DUPSORT | ORV_DUPFIXED, [] { return dups(1500, 1, 8); }},
        SoundCase{"DupCountedPrefix", ORV_DUPSORT | ORV_COUNTED | ORV_PREFIXKEY,
                  [] { return dups(1500, 1, 16); }},
        SoundCase{"ReverseDup", ORV_DUPSORT | ORV_REVERSEDUP, [] { return dups(1500, 1, 12); }},
        SoundCase{"Empty", ORV_COUNTED, [] { return Entries{}; }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(VerifyTool, OptionsAndNoSubdir) {
  TempDir dir;
  std::string file = dir.path() + "/data.orv";
  orv_test::make_env(file, {{"", 0, many(200, 20)}}, ORV_NOSUBDIR);
  ToolRun r = run_tool(kVerify, {"-n", file});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  r = run_tool(kVerify, {"-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ELDRAN 1.0.0: (October 26, 2025)\n");
  r = run_tool(kVerify, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("usage:"), std::string::npos);
  r = run_tool(kVerify, {"-x", dir.path()});
  EXPECT_EQ(r.status, 1);
  r = run_tool(kVerify, {dir.path() + "/missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("orv_env_open failed"), std::string::npos) << r.err;
}

// A writer in this process holds its transaction open while the tool
// checks the committed snapshot from another process, then commits.
TEST(VerifyTool, RunsBesideAWriter) {
  TempDir dir;
  orv_test::make_env(dir.path(), {{"", 0, many(500, 30)}});
  ORV_env *env = orv_test::open_env(dir.path());
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_dbi dbi = 0;
  ASSERT_EQ(orv_dbi_open(txn, nullptr, 0, &dbi), 0);
  for (const auto &[k, v] : many(3000, 50, 211)) {
    std::string key = "w" + k;
    ORV_val kv = orv_test::bytes(key), dv = orv_test::bytes(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
  }
  ToolRun r = run_tool(kVerify, {dir.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(orv_txn_commit(txn), 0);
  r = run_tool(kVerify, {"-v", dir.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  orv_env_close(env);
}

// ---- Damaged files --------------------------------------------------------------------

// Where things lie in the damage fixture, found by reading its pages.
struct Layout {
  size_t psize = 0;
  pgno_t last = 0;
  pgno_t main_root = 0;     // a branch page
  pgno_t main_child0 = 0;   // its first child, a leaf
  size_t root_node0 = 0;    // file offset of the root's node 0
  size_t leaf_node1 = 0;    // file offset of the first leaf's node 1
  pgno_t overflow = 0;      // an overflow run of the main database
  pgno_t counted_root = 0;  // branch root of the counted database "c"
  size_t counted_node0 = 0;
};

class VerifyToolDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    orv_test::make_env(dir_.path(),
                       {{"", 0, many(400, 40, 50)}, {"c", ORV_COUNTED, many(400, 40)}});
    ORV_env *env = orv_test::open_env(dir_.path(), ORV_RDONLY);
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
    ORV_dbi dbi = 0;
    ASSERT_EQ(orv_dbi_open(txn, "c", 0, &dbi), 0);
    ORV_stat st{};
    ASSERT_EQ(orv_stat(txn, dbi, &st), 0);
    L.psize = env->me_psize;
    L.last = txn->mt_next_pgno - 1;
    auto page = [&](pgno_t p) { return reinterpret_cast<ORV_page *>(env->me_map + p * L.psize); };
    L.main_root = txn->mt_dbs[MAIN_DBI].md_root;
    ORV_page *root = page(L.main_root);
    ASSERT_TRUE(is_branch(root));
    L.root_node0 = L.main_root * L.psize + mp_ptrs(root)[0];
    L.main_child0 = node_pgno(node_ptr(root, 0));
    ORV_page *leaf = page(L.main_child0);
    ASSERT_TRUE(is_leaf(leaf));
    ASSERT_GE(numkeys(leaf), 2u);
    L.leaf_node1 = L.main_child0 * L.psize + mp_ptrs(leaf)[1];
    for (unsigned i = 0; i < numkeys(leaf) && !L.overflow; i++)
      if (node_ptr(leaf, i)->mn_flags & F_BIGDATA)
        L.overflow = load_u64(node_data(node_ptr(leaf, i)));
    ASSERT_NE(L.overflow, 0u);
    L.counted_root = txn->mt_dbs[dbi].md_root;
    ORV_page *croot = page(L.counted_root);
    ASSERT_TRUE(is_counted(croot));
    L.counted_node0 = L.counted_root * L.psize + mp_ptrs(croot)[0];
    orv_txn_abort(txn);
    orv_env_close(env);
  }

 public:
  std::string data_file() const { return dir_.path() + "/data.orv"; }
  void poke(size_t off, const void *bytes, size_t n) {
    int fd = open(data_file().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes, n, off_t(off)), ssize_t(n));
    close(fd);
  }
  template <class T>
  void poke_as(size_t off, T v) {
    poke(off, &v, sizeof v);
  }
  // Both meta pages, so that whichever is current carries the damage.
  template <class T>
  void poke_metas(size_t field, T v) {
    poke_as(field, v);
    poke_as(L.psize + field, v);
  }

  TempDir dir_;
  Layout L;
};

struct Damage {
  const char *name;
  std::function<void(VerifyToolDamage &)> apply;
  const char *expect;                          // text of the problem line
  std::function<pgno_t(const Layout &)> page;  // the page it must name
};

const Damage kDamages[] = {
    {"PageKindUnknown",
     [](VerifyToolDamage &t) { t.poke_as<uint16_t>(t.L.main_child0 * t.L.psize + 10, 0x0100); },
     "not a branch or leaf page", [](const Layout &l) { return l.main_child0; }},
    {"BoundsBeyondPage",
     [](VerifyToolDamage &t) { t.poke_as<uint16_t>(t.L.main_root * t.L.psize + 12, 0xFFF0); },
     "bad bounds", [](const Layout &l) { return l.main_root; }},
    {"SlotOutsidePage",
     [](VerifyToolDamage &t) { t.poke_as<uint16_t>(t.L.main_root * t.L.psize + 16, 0xFFFE); },
     "outside the node area", [](const Layout &l) { return l.main_root; }},
    {"ChildBeyondFile",
     [](VerifyToolDamage &t) { t.poke_as<uint32_t>(t.L.root_node0, 0x7FFFFFF0); }, "outside 2..",
     [](const Layout &l) { return l.last; }},
    {"ChildIsMetaPage", [](VerifyToolDamage &t) { t.poke_as<uint32_t>(t.L.root_node0, 1); },
     "reference to page 1", [](const Layout &l) { return l.main_root * 0 + 1; }},
    {"KeysOutOfOrder",
     [](VerifyToolDamage &t) { t.poke_as<uint8_t>(t.L.leaf_node1 + NODESIZE, 0x01); },
     "does not follow", [](const Layout &l) { return l.main_child0; }},
    {"KeyLengthPastPage",
     [](VerifyToolDamage &t) { t.poke_as<uint16_t>(t.L.leaf_node1 + 6, 0xFFF0); },
     "past the page end", [](const Layout &l) { return l.main_child0; }},
    {"OverflowRunTooLong",
     [](VerifyToolDamage &t) { t.poke_as<uint32_t>(t.L.overflow * t.L.psize + 12, 0xFFFFFFF0u); },
     "passes the last page", [](const Layout &l) { return l.overflow; }},
    {"OverflowNotOverflow",
     [](VerifyToolDamage &t) { t.poke_as<uint16_t>(t.L.overflow * t.L.psize + 10, P_LEAF); },
     "not an overflow page", [](const Layout &l) { return l.overflow; }},
    {"BranchCountWrong",
     [](VerifyToolDamage &t) { t.poke_as<uint64_t>(t.L.counted_node0 + 8, 12345); },
     "entries below child", [](const Layout &l) { return l.counted_root; }},
    {"CountedFlagLost",
     [](VerifyToolDamage &t) { t.poke_as<uint16_t>(t.L.counted_root * t.L.psize + 10, P_BRANCH); },
     "lacks P_COUNTED", [](const Layout &l) { return l.counted_root; }},
    {"PageNumberWrong",
     [](VerifyToolDamage &t) { t.poke_as<uint64_t>(t.L.main_child0 * t.L.psize, 77777); },
     "records page number 77777", [](const Layout &l) { return l.main_child0; }},
    // mm_dbs[MAIN_DBI] lies at 88 of a meta page, md_entries at +32.
    {"EntriesWrong", [](VerifyToolDamage &t) { t.poke_metas<uint64_t>(88 + 32, 3); }, "md_entries",
     nullptr},
    // mm_last_pg at 136: a thousand pages more than the file holds. The file
    // may end before the last page (pages freed by the transaction that took
    // them are never written), so the claim shows as pages neither reachable
    // nor free.
    {"LastPageBeyondFile",
     [](VerifyToolDamage &t) { t.poke_metas<uint64_t>(136, t.L.last + 1000); }, "leaked", nullptr},
    {"FileTruncated",
     [](VerifyToolDamage &t) {
       ASSERT_EQ(truncate(t.data_file().c_str(), off_t((t.L.last - 1) * t.L.psize)), 0);
     },
     "pages of the file", nullptr},
};

class VerifyToolDamageTable : public VerifyToolDamage,
                              public ::testing::WithParamInterface<Damage> {};

TEST_P(VerifyToolDamageTable, ReportsThePageAndFails) {
  const Damage &d = GetParam();
  d.apply(*this);
  ToolRun r = run_tool(kVerify, {dir_.path()});
  expect_no_crash(r);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find(d.expect), std::string::npos) << r.out;
  if (d.page) {
    std::string pg = std::to_string(d.page(L));
    bool named = false;
    for (size_t at = 0, nl; at < r.out.size(); at = nl + 1) {
      nl = r.out.find('\n', at);
      if (nl == std::string::npos) nl = r.out.size();
      std::string line = r.out.substr(at, nl - at);
      if (line.find(d.expect) != std::string::npos && line.find(pg) != std::string::npos)
        named = true;
    }
    EXPECT_TRUE(named) << "no \"" << d.expect << "\" line names page " << pg << ":\n" << r.out;
  }
  // The last line is the summary.
  EXPECT_NE(r.out.find(" problem(s); last page "), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Ways, VerifyToolDamageTable, ::testing::ValuesIn(kDamages),
                         [](const auto &info) { return std::string(info.param.name); });

// Every data page overwritten with noise, seed by seed: the verdict is
// "damaged", never a crash.
TEST_F(VerifyToolDamage, NoiseNeverCrashes) {
  const std::string pristine = orv_test::file_text(data_file());
  for (unsigned seed = 1; seed <= 6; seed++) {
    poke(0, pristine.data(), pristine.size());
    std::mt19937 rng(seed);
    std::string noise(L.psize, '\0');
    for (pgno_t p = 2; p <= L.last; p++) {
      // Keep some pages, scramble others fully or only their headers.
      unsigned how = rng() % 3;
      if (how == 0) continue;
      size_t n = how == 1 ? 32 : L.psize;
      for (size_t i = 0; i < n; i++) noise[i] = char(rng());
      poke(p * L.psize, noise.data(), n);
    }
    ToolRun r = run_tool(kVerify, {dir_.path()});
    expect_no_crash(r);
    EXPECT_EQ(r.status, 1) << "seed " << seed << "\n" << r.out;
  }
}

}  // namespace
