// Counting and ranks over counted trees (ORV_COUNTED): the entry at a rank,
// the rank of a key or pair, and entry counts of key ranges, each found by
// one descent along the entry counts kept in branch nodes.
//
// A rank is a 0-based position in the total order of entries: by key, and
// within a key of an ORV_DUPSORT database by value; every duplicate value is
// an entry of its own. Ranks run from 0 to md_entries - 1.
//
// Every count read on the way down is checked against the page it
// describes: the counts of a page must add up to the count its parent keeps
// for it (md_entries for the root), and a leaf must hold as many entries as
// its parent says. A count that disagrees is ORV_CORRUPTED (the transaction
// is failed), so a damaged count never leads a lookup to a slot past the end
// of a page or to a wrong answer on the path it walks.
//
// Rank cache of a cursor (mc_rank_base, mc_rank, mc_rank_dup, C_RANKVALID):
// set by a rank lookup, it lets the next lookup of a rank not below the
// current one descend only from the deepest stacked page that covers it.
// It is trusted only in read-only transactions: there the snapshot never
// changes, while in a write transaction any write (through any cursor) may
// move entries under the cached path.
#ifndef ORV_COUNT_COUNT_H
#define ORV_COUNT_COUNT_H

#include <cstdint>

#include "btree/btree.h"

// ---- Shared pieces ------------------------------------------------------------------

// A cursor on the caller's stack for one call, with a sub-cursor in a
// database with duplicates (none is set up otherwise); its page key cache
// buffers are released at scope end.
struct ORV_count_cursor {
  ORV_cursor mc;
  ORV_xcursor mx;
  ORV_count_cursor(ORV_txn *txn, ORV_dbi dbi) {
    // A stale record may not say the flags the refresh will find.
    const bool dups =
        (txn->mt_dbs[dbi].md_flags & ORV_DUPSORT) || (txn->mt_dbflags[dbi] & DB_STALE);
    orv_cursor_init_temp(&mc, txn, dbi, dups ? &mx : nullptr);
  }
  ~ORV_count_cursor() {
    orv_pkc_free(&mc);
    if (mc.mc_xcursor != nullptr) orv_pkc_free(&mx.mx_cursor);
  }
  ORV_count_cursor(const ORV_count_cursor &) = delete;
  ORV_count_cursor &operator=(const ORV_count_cursor &) = delete;
};

// Counts read from the file disagree with the pages they describe.
inline int orv_count_corrupted(ORV_cursor *mc) { return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED); }

// One slot of a counted branch page: the entries left of it and below it.
struct ORV_branch_slot {
  unsigned slot;
  uint64_t left;
  uint64_t below;
};
// Walks every count of the counted branch page mp, which must add up to
// expected, and picks a slot: with by_entry the slot holding entry `at` of
// the page (0-based; REQUIRES: at < expected), else slot `at`. In a
// read-only transaction the walk runs once per page and snapshot
// (orv_branch_sums_get). Returns 0 or ORV_CORRUPTED (the transaction is
// failed).
[[nodiscard]] int orv_branch_slot_pick(ORV_cursor *mc, const ORV_page *mp, uint64_t expected,
                                       bool by_entry, uint64_t at, ORV_branch_slot *out);
// Walks every count of the counted branch page mp, which must add up to
// expected, and reads slots a and b (the same slot, or two) in that one
// walk, or from the snapshot's cached sums as above. Returns 0 or
// ORV_CORRUPTED (also for a slot past the page; the transaction is failed).
[[nodiscard]] int orv_branch_slots_read(ORV_cursor *mc, const ORV_page *mp, uint64_t expected,
                                        unsigned a, unsigned b, ORV_branch_slot *out_a,
                                        ORV_branch_slot *out_b);
// The prefix sums of the counted branch page mp of the cursor's tree, from
// the cache of a read-only transaction's snapshot (branch_sums.cc):
// (*sums_out)[i] is the sum of the counts of slots 0 .. i-1 and *total_out
// that of all of them. The first request for a page in a snapshot (and the
// first after the page left the cache) walks every count, checking that
// each node lies inside the page and that the sum does not overflow; the
// caller compares *total_out with the count the parent keeps. *sums_out is
// null when the cache does not serve the page (a write transaction, a
// sub-page, no memory): the caller walks the page itself. Returns 0 or
// ORV_CORRUPTED (the transaction is failed). Allocates only at the first
// count of a read-only transaction record and when a count meets a tree
// larger than the cache was made for.
[[nodiscard]] int orv_branch_sums_get(ORV_cursor *mc, const ORV_page *mp, const uint64_t **sums_out,
                                      uint64_t *total_out);
// Starts fetching what orv_branch_sums_get reads first for page pgno (the
// cache entries it may be kept in), so that the lookup of a page being
// fetched finds them in cache. A hint: it reads nothing of the page.
void orv_branch_sums_prefetch(const ORV_cursor *mc, pgno_t pgno);
// Whether the entries of leaf mp agree with expected, the count its parent
// keeps for it (md_entries for a root leaf).
bool orv_leaf_entries_agree(ORV_cursor *mc, ORV_page *mp, uint64_t expected);
// Refreshes a stale record of the cursor's database (a named database
// changed by a later commit). Returns 0 or the refresh's error.
[[nodiscard]] int orv_count_refresh(ORV_cursor *mc);

// ---- Rank lookup (rank.cc) --------------------------------------------------------

// Descends by counts from the top page of the stack to the entry of rank.
// REQUIRES: the stack holds at least one page and mc_rank_base of the top
// level is known. Sets mc_ki on every level below, mc_rank and mc_rank_dup;
// *dup_out receives the position within the leaf node's duplicates.
// Returns 0, ORV_NOTFOUND (the top page does not cover rank),
// ORV_INCOMPATIBLE (a branch page without counts), ORV_CORRUPTED (counts
// that disagree with the pages; the transaction is failed), ORV_CURSOR_FULL
// or a page lookup error.
[[nodiscard]] int orv_cursor_rank_descend(ORV_cursor *mc, uint64_t rank, uint64_t *dup_out);
// Positions the cursor at rank from the root (or from its sub-page, for a
// sub-cursor over a sub-page). ORV_NOTFOUND when rank >= md_entries.
[[nodiscard]] int orv_cursor_rank_from_root(ORV_cursor *mc, uint64_t rank, uint64_t *dup_out);
// Positions the cursor at rank from its cached path. REQUIRES: the cursor
// is positioned with C_RANKVALID, a non-empty stack and mc_rank <= rank.
// ORV_NOTFOUND when no stacked page covers rank.
[[nodiscard]] int orv_cursor_rank_from_here(ORV_cursor *mc, uint64_t rank, uint64_t *dup_out);

// The number of entries ordered before a bound: before key (or before and
// including key with key_inclusive); with data (a value bound, for
// ORV_DUPSORT databases) only the values of key below data (or not above it
// with data_inclusive) count as before the bound. Moves the cursor. Returns
// 0, EINVAL, ORV_PROBLEM (no database record or comparator), EINTR,
// ORV_BAD_TXN, ORV_INCOMPATIBLE, ORV_CORRUPTED or a lookup error.
[[nodiscard]] int orv_count_before(ORV_cursor *mc, const ORV_val *key, int key_inclusive,
                                   const ORV_val *data, int data_inclusive, uint64_t *count_out);

// ---- Both bounds of a range (bounds_descent.cc) -----------------------------------

// A key bound of a range count: before receives the number of entries whose
// keys are below key (or, with inclusive, not above it).
struct ORV_count_bound {
  const ORV_val *key;
  bool inclusive;
  uint64_t before;
};
// The entries before each of two bounds (either may be null) of a database
// without duplicates, from one descent: shared from the root while both
// bounds go to the same child, then one per bound, taking turns, with each
// page prefetched before the other bound's page is searched. Every page is
// checked as the keyed descent and the count walk over a path check it.
// REQUIRES: mc is a cursor of a counted database without ORV_DUPSORT. Moves
// the cursor. Returns 0, ORV_INCOMPATIBLE (a branch page without counts),
// ORV_CORRUPTED (the transaction is failed), ORV_CURSOR_FULL, EINTR,
// ORV_BAD_TXN or a lookup error.
[[nodiscard]] int orv_bounds_count(ORV_cursor *mc, ORV_count_bound *low, ORV_count_bound *high);

// ---- Range counting (range_count.cc) ---------------------------------------------

// Checks nodes from..to-1 of leaf mp of a database with duplicates before
// their entries are counted: each lies inside the page with its value, and
// a node of duplicates holds its sub-page (slot array inside the value) or
// its sub-database record in place. Returns 0 or ORV_CORRUPTED (the
// transaction is failed). REQUIRES: to <= numkeys(mp).
[[nodiscard]] int orv_leaf_nodes_countable(ORV_cursor *mc, const ORV_page *mp, unsigned from,
                                           unsigned to);
// Entries of the first n slots of a leaf page (min(n, slots) on a P_LEAF2
// page, 0 on a page that is no leaf) into *count_out. A long-lived cursor
// of a read-only transaction answers from the prefix sums kept with its
// page key cache. Returns 0 or ORV_CORRUPTED (orv_leaf_nodes_countable, or
// counts that overflow; the transaction is failed).
[[nodiscard]] int orv_leaf_entries_before(ORV_cursor *mc, ORV_page *mp, unsigned n,
                                          uint64_t *count_out);
// Entries below the slots left of the cursor's path on every level, the
// leaf included, with the path's counts checked against its pages.
// REQUIRES: the cursor stands on a leaf after a descent from its root.
// Returns 0, ORV_INCOMPATIBLE (a branch page without counts) or
// ORV_CORRUPTED (the transaction is failed).
[[nodiscard]] int orv_path_entries_before(ORV_cursor *mc, uint64_t *count_out);
// The values of the key under a sub-cursor below value (not above it with
// inclusive). Works on a copy: the sub-cursor does not move. 0 when the
// sub-cursor is not positioned.
[[nodiscard]] int orv_dup_count_before(ORV_cursor *sub, const ORV_val *value, int inclusive,
                                       uint64_t *count_out);
// Fails with EINTR (recorded in the transaction) when the environment was
// interrupted, ORV_BAD_TXN when the transaction is finished, failed or
// blocked; else 0.
[[nodiscard]] int orv_count_txn_check(ORV_txn *txn);

#endif  // ORV_COUNT_COUNT_H
