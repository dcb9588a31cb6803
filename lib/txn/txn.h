// Transactions and page management: the transaction record and its life
// cycle, page lookup, allocation, copy-on-write, dirty and spilled pages,
// commit with the free-page database, rebalancing and drop.
//
// Invariants of a write transaction:
//  - at most one top-level write transaction exists per environment (the
//    writer mutex); it is always env->me_txn0 and env->me_txn points at it;
//  - a page on the dirty list is a private copy (P_DIRTY) that no snapshot
//    can reach; every other page is read-only and is copied before a change;
//  - mt_dirty_room + entries on the dirty lists of the transaction and its
//    ancestors never exceeds ORV_IDL_UM_MAX.
#ifndef ORV_TXN_TXN_H
#define ORV_TXN_TXN_H

#include <sys/types.h>

#include <cerrno>
#include <cstdint>

#include "env/env.h"
#include "page/page.h"

struct ORV_cursor;
struct ORV_dbx;

// ---- Transaction flags (mt_flags) ---------------------------------------------

inline constexpr uint32_t ORV_TXN_FINISHED = 0x01;
inline constexpr uint32_t ORV_TXN_ERROR = 0x02;
inline constexpr uint32_t ORV_TXN_DIRTY = 0x04;
inline constexpr uint32_t ORV_TXN_SPILLS = 0x08;
inline constexpr uint32_t ORV_TXN_HAS_CHILD = 0x10;
inline constexpr uint32_t ORV_TXN_BLOCKED = 0x13;
inline constexpr uint32_t ORV_TXN_BEGIN_FLAGS = ORV_NOSYNC | ORV_RDONLY | ORV_NOMETASYNC;

// ---- End modes (orv_txn_end) ----------------------------------------------------

inline constexpr unsigned ORV_END_COMMITTED = 0;
inline constexpr unsigned ORV_END_EMPTY_COMMIT = 1;
inline constexpr unsigned ORV_END_ABORT = 2;
inline constexpr unsigned ORV_END_RESET = 3;
inline constexpr unsigned ORV_END_RESET_TMP = 4;  // kept for the environment copy's
                                                  // temporary reader
inline constexpr unsigned ORV_END_FAIL_BEGIN = 5;
inline constexpr unsigned ORV_END_FAIL_BEGINCHILD = 6;
inline constexpr unsigned ORV_END_OPMASK = 0x0F;
inline constexpr unsigned ORV_END_UPDATE = 0x10;
inline constexpr unsigned ORV_END_FREE = 0x20;
inline constexpr unsigned ORV_END_SLOT = ORV_NOTLS;  // 0x200000

// ---- Per-transaction database state bits (mt_dbflags) ---------------------------

inline constexpr uint8_t DB_DIRTY = 0x01;
inline constexpr uint8_t DB_STALE = 0x02;
inline constexpr uint8_t DB_NEW = 0x04;
inline constexpr uint8_t DB_VALID = 0x08;
inline constexpr uint8_t DB_USRVALID = 0x10;
inline constexpr uint8_t DB_DUPDATA = 0x20;  // a sub-database's record; set by the
                                             // duplicate writes to come
// The database was deleted in this transaction (orv_drop with del = 1): its
// handle is unusable here, and the environment's handle is closed when the
// top-level transaction commits. An abort leaves the handle open, since
// the database is still there.
inline constexpr uint8_t DB_DELETED = 0x40;

// ---- Scratch area ---------------------------------------------------------------

// The scratch area (ORV_scratch, ORV_keylen_entry) is the page layer's:
// page/page.h.

// ---- The transaction record ---------------------------------------------------------

// Slots of the dirty-list position cache of a write transaction.
inline constexpr unsigned ORV_DIRTY_HINTS = 512;
// Bits of the filter of page numbers a write transaction's dirty list may
// hold.
inline constexpr unsigned ORV_DIRTY_SEEN_BITS = 16384;

struct ORV_txn {
  ORV_txn *mt_parent;   // parent of a nested transaction
  ORV_txn *mt_child;    // live nested child
  pgno_t mt_next_pgno;  // next unallocated page number
  txnid_t mt_txnid;     // snapshot id (read) or snapshot id + 1 (write)
  ORV_env *mt_env;
  ORV_IDL mt_free_pgs;     // pages this transaction stopped using
  ORV_page *mt_loose_pgs;  // dirty pages freed again, reusable at once
  int mt_loose_count;
  ORV_IDL mt_spill_pgs;  // spilled pages (pgno << 1, odd = deleted), or null
  union {
    ORV_ID2L dirty_list;  // write: page number -> page buffer
    ORV_reader *reader;   // read-only: reader slot, or null
  } mt_u;
  ORV_dbx *mt_dbxs;         // the environment's me_dbxs
  ORV_db *mt_dbs;           // this transaction's database records
  uint32_t *mt_dbiseqs;     // handle sequence numbers as seen here
  ORV_cursor **mt_cursors;  // write: per database, tracked cursor list
  uint8_t *mt_dbflags;      // per database: DB_* state bits
  ORV_scratch mt_scratch;
  uint32_t mt_dbcount;  // database slots known; 0 once ended
  uint32_t mt_flags;
  int mt_error;             // code recorded when the transaction failed
  uint32_t mt_dirty_room;   // pages that may still become dirty
  ORV_IDL mt_saved_pghead;  // nested: the parent's me_pghead
  txnid_t mt_saved_pglast;  // nested: the parent's me_pglast
  // Positions in mt_dirty_list where recent lookups found their page, by
  // page number modulo ORV_DIRTY_HINTS: a put looks up the same root and
  // branch pages over and over. A position is only a guess, checked on
  // every use: the list holds each page number at most once, so an entry
  // in use (1 .. count) that carries the number is that page's entry,
  // whatever inserts, removals, spills or merges moved in the meantime.
  // Needs no reset, and no invalidation where the list changes.
  uint32_t mt_dirty_hint[ORV_DIRTY_HINTS];
  // Filter of the page numbers ever entered into mt_dirty_list since it
  // was last empty, one bit per number modulo ORV_DIRTY_SEEN_BITS: a clear
  // bit proves the list does not hold the page, so that the lookups of
  // pages the transaction never touched (most of a put's leaves) skip the
  // search. Bits are never cleared while the list lives (a superset is
  // harmless); every insert into the list must set its bit
  // (orv_dirty_seen_add), a nested commit ORs the child's filter in, and
  // beginning with an empty list clears it.
  uint64_t mt_dirty_seen[ORV_DIRTY_SEEN_BITS / 64];
};

inline void orv_dirty_seen_add(ORV_txn *txn, pgno_t pgno) {
  txn->mt_dirty_seen[(pgno / 64) % (ORV_DIRTY_SEEN_BITS / 64)] |= uint64_t{1} << (pgno % 64);
}
inline bool orv_dirty_seen(const ORV_txn *txn, pgno_t pgno) {
  return (txn->mt_dirty_seen[(pgno / 64) % (ORV_DIRTY_SEEN_BITS / 64)] >> (pgno % 64)) & 1;
}

#define mt_dirty_list mt_u.dirty_list
#define mt_reader mt_u.reader

inline bool txn_is_rdonly(const ORV_txn *txn) { return txn->mt_flags & ORV_RDONLY; }

// Marks a transaction failed: records rc and sets ORV_TXN_ERROR. Returns rc,
// ORV_PAGE_FULL for ORV_NO_FIT: a "did not fit" result that a caller could
// not get round fails the transaction as a page without room, and the
// internal code never reaches the user.
inline int orv_txn_fail(ORV_txn *txn, int rc) {
  if (rc == ORV_NO_FIT) rc = ORV_PAGE_FULL;
  txn->mt_error = rc;
  txn->mt_flags |= ORV_TXN_ERROR;
  return rc;
}

// The state test of every read, count and descent: ORV_BAD_TXN for a
// transaction that cannot be used; EINTR while the environment's interrupt
// is requested, failing the transaction. A transaction the interrupt has
// failed answers EINTR for as long as the request stands, so that every
// read says why it stopped, and ORV_BAD_TXN once it is withdrawn.
inline int orv_txn_state_check(ORV_txn *txn) {
  const bool stop = txn->mt_env->me_interrupt.load(std::memory_order_relaxed) != 0;
  if (txn->mt_flags & ORV_TXN_BLOCKED)
    return stop && (txn->mt_flags & ORV_TXN_ERROR) && txn->mt_error == EINTR ? EINTR : ORV_BAD_TXN;
  return stop ? orv_txn_fail(txn, EINTR) : 0;
}

// ---- Life cycle ---------------------------------------------------------------------

// Allocates me_txn0 for an environment being opened (writable envs only).
[[nodiscard]] int orv_txn0_alloc(ORV_env *env);
// Starts (or restarts) txn on the newest snapshot: a reader slot for a
// read-only transaction, the writer mutex and id + 1 for a write one, then
// the core database records and every handle's state byte. REQUIRES: txn
// is allocated and not running. On failure nothing is held. (txn.cc)
[[nodiscard]] int orv_txn_renew0(ORV_txn *txn);
// Ends txn in mode (ORV_END_* operation, plus ORV_END_UPDATE to publish its
// new handles, ORV_END_FREE to free the record, ORV_END_SLOT to give back a
// reader slot): releases cursors, pages, lists and locks; mt_dbcount is 0
// afterwards. Never fails. (txn_end.cc)
void orv_txn_end(ORV_txn *txn, unsigned mode);
// For a nested begin: saves every tracked cursor of parent in a backup
// (mc_backup) and hands the cursors to child. Returns 0 or ENOMEM (the
// cursors saved so far are restored by the child's end). (txn_end.cc)
[[nodiscard]] int orv_cursors_backup(ORV_txn *parent, ORV_txn *child);
// At the end of txn: frees its own tracked cursors, and hands those that
// came from a parent back to it, keeping the position reached (merge) or
// restoring the backup (abort). Never fails. (txn_end.cc)
void orv_cursors_release(ORV_txn *txn, int merge);
// Grows the decoded-key buffer to at least size bytes; *buf_out (may be
// null) points at it until the next call, the next write or the end of
// the transaction. Returns 0 or ENOMEM; never fails the transaction. (txn.cc)
[[nodiscard]] int orv_txn_scratch(ORV_txn *txn, size_t size, void **buf_out);
// Frees every buffer of a scratch area and zeroes it. (txn.cc)
void orv_txn_scratch_free(ORV_scratch *scratch);
// Invalidates the key-length index (its buffers stay).
void orv_txn_scratch_invalidate(ORV_scratch *scratch);

// ---- Page access and allocation -------------------------------------------------------

// Finds page pgno as this transaction sees it (dirty, spilled or mapped).
// level_out (may be null) receives 0 for the map, 1 and up for the depth of
// the transaction owning the dirty or spilled copy.
// ORV_PAGE_NOTFOUND past the snapshot; ORV_CORRUPTED for a meta page or a
// page past the map or the data file (these fail the transaction); the
// system error when the file's length cannot be looked up.
[[nodiscard]] int orv_page_get(ORV_cursor *mc, pgno_t pgno, ORV_page **page_out, int *level_out);
// The overflow run holding the value of the F_BIGDATA leaf node, checked:
// its first page names itself, the run lies inside the snapshot and holds
// the node's value size. Returns 0, ORV_PAGE_NOTFOUND or ORV_CORRUPTED (the
// transaction failed).
[[nodiscard]] int orv_overflow_page_get(ORV_cursor *mc, const ORV_node *node, ORV_page **omp_out);
// Allocates num contiguous pages as a dirty buffer (with ORV_WRITEMAP: the
// mapped pages), counted in no tree yet: a loose page, a run from the
// reusable list, or the end of the file. REQUIRES: a write transaction.
// Returns 0, ORV_TXN_FULL, ORV_MAP_FULL, ORV_CORRUPTED (a bad free-page
// record) or ENOMEM; every failure fails the transaction. (page_alloc.cc)
[[nodiscard]] int orv_page_alloc(ORV_cursor *mc, int num, ORV_page **page_out);
// New page of kind flags (P_BRANCH, P_LEAF, P_LEAF2, P_OVERFLOW) in the
// cursor's tree, header set, empty; updates the tree's page counters and
// sets P_COUNTED on branches of a counted tree. Fails as orv_page_alloc.
// (page_alloc.cc)
[[nodiscard]] int orv_page_new(ORV_cursor *mc, uint32_t flags, int num, ORV_page **page_out);
// Makes the cursor's top page writable (copy-on-write): a spilled page is
// brought back, a page dirty only in an ancestor is copied under its
// number, a committed page is copied to a new number (the old one goes on
// mt_free_pgs and the parent's child pointer follows). Every other cursor
// on the old page follows the copy. REQUIRES: the levels above are already
// writable (orv_cursor_touch). Failures fail the transaction. (page_touch.cc)
[[nodiscard]] int orv_page_touch(ORV_cursor *mc);
// Makes every page of the cursor's path writable, the root first; for a
// named database, first the path to its record in the main database
// (ORV_BAD_DBI for a handle closed since). Failures of orv_page_touch fail
// the transaction. (page_touch.cc)
[[nodiscard]] int orv_cursor_touch(ORV_cursor *mc);
// Before a write through mc of key/data (either may be null): when the
// dirty room cannot hold the pages the write may dirty, writes part of the
// dirty list to the file and marks those pages spilled. Pages on any
// tracked cursor's path are kept. No-op for a sub-cursor. Returns 0 or the
// failure, which fails the transaction. (spill.cc)
[[nodiscard]] int orv_page_spill(ORV_cursor *mc, const ORV_val *key, const ORV_val *data);
// Brings a spilled page (mp, as mapped) back into txn's dirty list as a
// private copy in *page_out (*page_out untouched when mp was not spilled by
// txn or an ancestor). Returns 0, ORV_TXN_FULL (no dirty room left) or
// ENOMEM (the transaction failed). (page_access.cc)
[[nodiscard]] int orv_page_unspill(ORV_txn *txn, ORV_page *mp, ORV_page **page_out);
// Adds the buffer mp (P_DIRTY) to txn's dirty list and takes one page of
// dirty room. REQUIRES: mt_dirty_room > 0 and mp not on the list. Always
// returns 0 (a full list is an assertion). (page_access.cc)
[[nodiscard]] int orv_page_dirty(ORV_txn *txn, ORV_page *mp);
// A buffer for num pages (reused from me_dpages when num is 1); null on
// ENOMEM, which fails the transaction. (page_access.cc)
ORV_page *orv_page_buf_alloc(ORV_txn *txn, unsigned num);
// Gives a page buffer back: single pages to me_dpages, runs to free().
// (page_access.cc)
void orv_page_buf_free(ORV_env *env, ORV_page *mp);
// Copies a page of psize bytes without the unused gap between mp_lower and
// mp_upper (overflow pages and damaged headers: whole). (page_access.cc)
void orv_page_copy(ORV_page *dst, const ORV_page *src, unsigned psize);
// A new, empty reusable-page list with room for num ids, for me_pghead: the
// buffer a finished write transaction left in me_pghead_spare when it is
// there, else a fresh one. Null on ENOMEM. (page_alloc.cc)
ORV_IDL orv_pghead_take(ORV_env *env, unsigned num);
// Keeps the buffer of a reusable-page list that is no longer needed in
// me_pghead_spare (the larger of the two buffers survives), so that the
// next write transaction allocates nothing for its list. (page_alloc.cc)
void orv_pghead_retain(ORV_env *env, ORV_IDL list);
// Retires page mp of mc's tree: a page made dirty by this transaction goes
// on the loose list (reusable at once), any other page on mt_free_pgs.
// Returns 0, ENOMEM or ORV_PROBLEM (the transaction failed). (page_alloc.cc)
[[nodiscard]] int orv_page_make_loose(ORV_cursor *mc, ORV_page *mp);
// Frees the overflow run that starts at mp: straight back to the reusable
// list when no snapshot can reach it, else on mt_free_pgs. Returns 0 or
// the failure (the transaction failed). (page_alloc.cc)
[[nodiscard]] int orv_ovpage_free(ORV_cursor *mc, ORV_page *mp);
// Writes the dirty pages of txn from position keep + 1 on to the file (or
// msyncs them with ORV_WRITEMAP) and frees their buffers; the first keep
// pages stay dirty. Returns 0 or the system call's error (the transaction
// failed). (commit.cc)
[[nodiscard]] int orv_page_flush(ORV_txn *txn, int keep);
// Flips P_KEEP on the pages of every tracked cursor's path whose flags
// masked with P_SUBP|P_DIRTY|P_LOOSE|P_KEEP equal pflags (and, with all,
// on the dirty roots of every database). Returns 0 or a page lookup error.
// (spill.cc)
[[nodiscard]] int orv_pages_mark_keep(ORV_cursor *mc, unsigned pflags, int all);
// Oldest snapshot still in use by any reader (or the writer's own id - 1),
// read without the reader mutex. Never fails. (page_alloc.cc)
txnid_t orv_oldest_reader(ORV_txn *txn);

// ---- Drop ------------------------------------------------------------------------------

// Frees every page of the cursor's tree (branch, leaf and overflow pages;
// with subs, the value trees of duplicate keys; in the main database, the
// trees of the named databases it records) onto mt_free_pgs. The cursor
// ends unpositioned. A failure after the walk started marks the
// transaction failed; the tree's record is the caller's to reset.
[[nodiscard]] int orv_drop0(ORV_cursor *mc, int subs);

// ---- Commit ---------------------------------------------------------------------------

// At commit: writes the pages freed by txn into the free-page database
// under its id, and what is left of the reusable list back, until both
// stop changing. Returns 0 or the failure; the caller aborts. (commit.cc)
[[nodiscard]] int orv_freelist_save(ORV_txn *txn);

// Makes a page found by orv_page_get (at level) writable in mc's
// transaction, if that is allowed without touching its parent: a page dirty
// in this transaction is returned as is, a spilled page is brought back
// into the dirty list, and a page dirty only in an ancestor is copied into
// this transaction's dirty list under the same number (a whole overflow run
// for an overflow page). A page of a committed snapshot is never writable:
// *page_out is then null and the caller must allocate a new page (for an
// overflow value: orv_ovpage_free the old run and write a new one).
[[nodiscard]] int orv_page_writable(ORV_cursor *mc, ORV_page *mp, int level, ORV_page **page_out);

#endif  // ORV_TXN_TXN_H
