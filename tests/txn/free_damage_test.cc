// [free_damage]: page_alloc.cc and the verifier reading damaged free-page
// records: a page listed free twice (twice in one record, or in two
// records) or listed free while a tree still uses it is never handed out
// twice. The write that would reuse it answers ORV_CORRUPTED and leaves the
// file as it was; the verifier names the page.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/page_edit.h"
#include "util/verify.h"

namespace {

using namespace orv_test;

// Free-page records by transaction id: the page numbers, descending.
using Records = std::map<uint64_t, std::vector<pgno_t>>;

// The pages a store's trees use, for the cases to pick from.
struct Store {
  Records records;
  pgno_t free_root = 0;   // the free-page database's only page
  pgno_t root = 0;        // the main database's root (a branch page)
  pgno_t first_leaf = 0;  // the leaf holding key k000
  size_t psize = 0;
};

// Each case rewrites the records (a record may only shrink: its value keeps
// its size) and names the page the verifier must report.
struct Case {
  const char *name;
  std::function<pgno_t(const Store &, Records &)> edit;
  bool overflow;       // the write puts a value on overflow pages
  const char *report;  // what the verifier says about the page
};

std::string key(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "k%03d", i);
  return buf;
}

std::string file_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class FreeDamage : public EnvFixture, public testing::WithParamInterface<std::tuple<Case, bool>> {
 protected:
  static constexpr int kKeys = 200;

  bool writemap() const { return std::get<1>(GetParam()); }

  void open_env() {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, size_t{16} << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), ORV_NOTLS | (writemap() ? ORV_WRITEMAP : 0), 0644),
              0);
  }

  void put(ORV_txn *txn, const std::string &k, const std::string &v) {
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, MAIN_DBI, &kv, &dv, 0), 0);
  }

  // 200 keys over several leaves, then three commits that rewrite values
  // and so free pages. A reader of the first commit's snapshot held
  // over the next two keeps their writes from reusing the records, so that
  // three remain; the write under test may reuse the two oldest.
  void build() {
    close_env();
    open_env();
    ORV_txn *txn = begin();
    for (int i = 0; i < kKeys; i++) put(txn, key(i), std::string(100, 'a'));
    ASSERT_EQ(orv_txn_commit(txn), 0);
    ORV_txn *reader = begin(ORV_RDONLY);
    // The first of them changes two leaves, so that its record lists three
    // pages.
    for (const std::vector<int> &keys :
         {std::vector<int>{0, kKeys - 1}, {kKeys / 2}, {kKeys / 4}}) {
      txn = begin();
      for (int k : keys) put(txn, key(k), std::string(100, 'b'));
      ASSERT_EQ(orv_txn_commit(txn), 0);
    }
    orv_txn_abort(reader);

    txn = begin(ORV_RDONLY);
    store_.psize = env_->me_psize;
    store_.free_root = txn->mt_dbs[FREE_DBI].md_root;
    {
      CursorPtr c = open_cursor(txn, MAIN_DBI);
      const std::string first = key(0);
      ORV_val k = val(first), d;
      ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_SET), 0);
      ASSERT_EQ(c->mc_snum, 2u);
      store_.root = c->mc_pg[0]->mp_pgno;
      store_.first_leaf = c->mc_pg[1]->mp_pgno;
    }
    ASSERT_TREE_VALID(txn);
    orv_txn_abort(txn);
    close_env();
    edit_file_pages(dir_.file("data.orv"), store_.psize, {store_.free_root}, [&](ORV_page *mp) {
      ASSERT_TRUE(is_leaf(mp));
      for (unsigned i = 0; i < numkeys(mp); i++) {
        const ORV_node *n = node_ptr(mp, i);
        ASSERT_EQ(n->mn_flags & F_BIGDATA, 0);
        const auto *v = static_cast<const std::byte *>(node_data(n));
        std::vector<pgno_t> &pages = store_.records[load_u64(node_key(n, NODESIZE))];
        for (uint64_t j = 1; j <= load_u64(v); j++) pages.push_back(load_u64(v + 8 * j));
      }
    });
    ASSERT_EQ(store_.records.size(), 3u);
    ASSERT_GE(store_.records.begin()->second.size(), 3u);
  }

  // Writes the records back, each into its own value.
  void write_records(const Records &recs) {
    edit_file_pages(dir_.file("data.orv"), store_.psize, {store_.free_root}, [&](ORV_page *mp) {
      for (unsigned i = 0; i < numkeys(mp); i++) {
        ORV_node *n = node_ptr(mp, i);
        const std::vector<pgno_t> &pages = recs.at(load_u64(node_key(n, NODESIZE)));
        ASSERT_LE((pages.size() + 1) * 8, node_dsize(n));
        auto *v = static_cast<std::byte *>(node_data(n));
        store_u64(v, pages.size());
        for (size_t j = 0; j < pages.size(); j++) store_u64(v + 8 * (j + 1), pages[j]);
      }
    });
  }

  std::string contents() {
    std::string all;
    ORV_txn *txn = begin(ORV_RDONLY);
    CursorPtr c = open_cursor(txn, MAIN_DBI);
    ORV_val k, d;
    for (int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT))
      all += str(k) + "=" + str(d) + "\n";
    c.reset();
    orv_txn_abort(txn);
    return all;
  }

  Store store_;
};

const Case kCases[] = {
    {"TwiceInOneRecord",
     [](const Store &, Records &r) {
       std::vector<pgno_t> &first = r.begin()->second;
       const pgno_t a = first[0];
       first = {a, a};
       return a;
     },
     false, "is listed free twice"},
    // The first copy is handed out (to the root's copy) before the second
    // record is read.
    {"InTwoRecordsHandedOutFirst",
     [](const Store &, Records &r) {
       const pgno_t a = r.begin()->second[0];
       r.begin()->second = {a};
       std::next(r.begin())->second = {a};
       return a;
     },
     false, "is listed free twice"},
    // Both copies are in the reusable list at once: the two touches take the
    // lowest pages, and the overflow run needs the second record.
    {"InTwoRecordsBothReusable",
     [](const Store &, Records &r) {
       std::vector<pgno_t> &first = r.begin()->second;
       const pgno_t a = first[0];
       first.resize(3);
       std::next(r.begin())->second = {a};
       return a;
     },
     true, "is listed free twice"},
    {"LeafFreeAndInUse",
     [](const Store &s, Records &r) {
       r.begin()->second = {s.first_leaf};
       return s.first_leaf;
     },
     false, "is free and in use"},
    // The root's copy would get the root's own number.
    {"RootFreeAndInUse",
     [](const Store &s, Records &r) {
       r.begin()->second = {s.root};
       return s.root;
     },
     false, "is free and in use"},
};

TEST_P(FreeDamage, ReuseIsRefusedAndVerifierNamesThePage) {
  const Case &c = std::get<0>(GetParam());
  build();
  Records recs = store_.records;
  const pgno_t page = c.edit(store_, recs);
  write_records(recs);
  open_env();
  const std::string before = contents();
  const std::string file_before = file_bytes(dir_.file("data.orv"));

  ORV_txn *txn = begin();
  const std::string first = key(0);
  ORV_val k = val(first);
  std::string big(c.overflow ? 2 * store_.psize : 100, 'c');
  ORV_val d = val(big);
  EXPECT_EQ(orv_put(txn, MAIN_DBI, &k, &d, 0), ORV_CORRUPTED);
  EXPECT_NE(orv_txn_commit(txn), 0);  // a failed transaction only aborts

  EXPECT_TRUE(contents() == before) << "the committed contents changed";
  // Under a write map the free pages handed out before the fault was seen
  // were written in place; nothing a tree reaches was.
  if (!writemap()) {
    EXPECT_TRUE(file_bytes(dir_.file("data.orv")) == file_before) << "the data file changed";
  }

  std::string report;
  EXPECT_EQ(orv_env_verify(
                env_, 0,
                [](const char *msg, void *ctx) {
                  *static_cast<std::string *>(ctx) += msg;
                  return 0;
                },
                &report),
            ORV_CORRUPTED);
  const std::string expect = "page " + std::to_string(page) + " " + c.report;
  EXPECT_NE(report.find(expect), std::string::npos) << report;
}

INSTANTIATE_TEST_SUITE_P(Cases, FreeDamage,
                         testing::Combine(testing::ValuesIn(kCases), testing::Bool()),
                         [](const testing::TestParamInfo<FreeDamage::ParamType> &info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_WriteMap" : "");
                         });

}  // namespace
