// Tree verifier for tests, a gtest face of the library's verifier
// (btree/verify.h, also behind orv_env_verify): walks every B+tree of a
// transaction's snapshot
// (the free-page database, the main database and every named database found
// in it, and the duplicate trees below them) and reports every structural
// fault it finds as a readable line.
//
// Checked per tree: page kinds and flags (P_COUNTED on exactly the branch
// pages of counted trees; no P_DIRTY on committed pages), mp_lower/mp_upper
// and node bounds, non-overlapping nodes, key order within and across pages
// with the tree's comparator, separator keys bounding their children, the
// entry counts of counted branch nodes, the record's md_entries, md_depth
// and page statistics, overflow runs, prefix-compressed leaf keys (canonical
// form against the page's first key, mp_pad = longest decoded key), and
// sub-pages / sub-databases of duplicate keys.
//
// Checked across trees: no page is reachable twice, every free-page record
// is a well-formed ID list of pages in range, and — for read-only snapshots
// only — every page from 2 to the last page in use is either reachable or
// recorded free, never both (no leaked pages).
//
// Space accounting is skipped for write transactions on purpose: while a
// writer runs, pages it took from free-page records are still listed in
// those records until commit, and its freed, loose and spilled pages live in
// private lists. Tests verify the structure of a live write transaction and
// the space of the committed snapshot through a read-only transaction.
#ifndef ORV_TESTS_UTIL_VERIFY_H
#define ORV_TESTS_UTIL_VERIFY_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "btree/verify.h"
#include "orv.h"

namespace orv_test {

struct VerifyOptions {
  // Key comparators of databases that use an application comparator,
  // by name ("" names the main database). Other trees use the built-in
  // order chosen by their flags.
  std::map<std::string, ORV_cmp_func> key_cmp;
  // Value comparators of databases with ORV_DUPSORT and an application
  // comparator, by name.
  std::map<std::string, ORV_cmp_func> dup_cmp;
  // Check that every page is reachable or free (read-only snapshots only).
  bool check_space = true;
  // Stop collecting after this many problems.
  size_t max_problems = 100;
};

// Figures of one verified tree as found by the walk.
using TreeFigures = ORV_verify_figures;

struct VerifyResult {
  std::vector<std::string> problems;
  size_t dropped = 0;                        // problems beyond max_problems
  std::map<std::string, TreeFigures> trees;  // "@free", "@main", then names
  uint64_t last_pgno = 0;                    // last page in use of the snapshot
  uint64_t reachable_pages = 0;              // including meta pages 0 and 1
  uint64_t free_pages = 0;                   // listed in free-page records
  bool space_checked = false;

  bool ok() const { return problems.empty(); }
  // All problems, one per line, with a summary line first.
  std::string Report() const;
};

// Verifies the snapshot that txn sees. txn may be read-only or a write
// transaction (including a nested one); the transaction is not changed.
VerifyResult VerifyTxn(ORV_txn *txn, const VerifyOptions &opts = {});

// gtest helpers: success, or a failure listing every problem.
::testing::AssertionResult TreeValid(ORV_txn *txn, const VerifyOptions &opts = {});

// Opens a read-only transaction on env, verifies it, and ends it.
::testing::AssertionResult EnvTreesValid(ORV_env *env, const VerifyOptions &opts = {});

}  // namespace orv_test

#define EXPECT_TREE_VALID(txn) EXPECT_TRUE(::orv_test::TreeValid(txn))
#define ASSERT_TREE_VALID(txn) ASSERT_TRUE(::orv_test::TreeValid(txn))

namespace orv_test {
// Function form of EXPECT_TREE_VALID.
inline void ExpectTreeValid(ORV_txn *txn, const VerifyOptions &opts = {}) {
  EXPECT_TRUE(TreeValid(txn, opts));
}
}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_VERIFY_H
