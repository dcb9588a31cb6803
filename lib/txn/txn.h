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
inline constexpr unsigned ORV_END_RESET_TMP = 4;
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
inline constexpr uint8_t DB_DUPDATA = 0x20;
// The database was deleted in this transaction (orv_drop with del = 1): its
// handle is unusable here, and the environment's handle is closed when the
// top-level transaction commits. An abort leaves the handle open, since
// the database is still there.
inline constexpr uint8_t DB_DELETED = 0x40;

// ---- Scratch area ---------------------------------------------------------------

// One entry of the key-length index: the decoded key lengths of one page of a
// prefix-compressed database, so that the longest key (mp_pad) is kept exact
// without rescanning the page. 40 bytes.
struct ORV_keylen_entry {
  pgno_t kl_pgno;        // page number, all ones when the slot is empty
  uint16_t *kl_lens;     // heap buffer: one length per slot
  uint32_t kl_cap;       // capacity of kl_lens in entries
  uint32_t kl_nkeys;     // slots described
  uint32_t kl_max;       // longest length
  uint32_t kl_maxcount;  // how many slots have that length
  uint32_t kl_valid;     // 1 while the entry describes the page
  uint32_t kl_pad;
};
static_assert(sizeof(ORV_keylen_entry) == 40);

inline constexpr unsigned ORV_REWRITE_PLAN_WORDS = 13;

struct ORV_scratch {
  void *ms_page;            // page image buffer for prefix-page rebuilds
  uint64_t ms_page_cap;
  void *ms_entries;         // 64-byte node descriptors of a rebuild
  uint32_t ms_entries_cap;
  void *ms_dkeys;           // decoded-key buffer (also orv_txn_scratch)
  uint64_t ms_dkeys_cap;
  void *ms_ekeys;           // encoded-key buffer
  uint64_t ms_ekeys_cap;
  uint64_t ms_plan[ORV_REWRITE_PLAN_WORDS];  // last planned rewrite; last word = valid
  ORV_keylen_entry *ms_klx;  // key-length index table
  uint32_t ms_klx_used;
  uint32_t ms_klx_cap;
};

// ---- The transaction record ---------------------------------------------------------

struct ORV_txn {
  ORV_txn *mt_parent;        // parent of a nested transaction
  ORV_txn *mt_child;         // live nested child
  pgno_t mt_next_pgno;       // next unallocated page number
  txnid_t mt_txnid;          // snapshot id (read) or snapshot id + 1 (write)
  ORV_env *mt_env;
  ORV_IDL mt_free_pgs;       // pages this transaction stopped using
  ORV_page *mt_loose_pgs;    // dirty pages freed again, reusable at once
  int mt_loose_count;
  ORV_IDL mt_spill_pgs;      // spilled pages (pgno << 1, odd = deleted), or null
  union {
    ORV_ID2L dirty_list;     // write: page number -> page buffer
    ORV_reader *reader;      // read-only: reader slot, or null
  } mt_u;
  ORV_dbx *mt_dbxs;          // the environment's me_dbxs
  ORV_db *mt_dbs;            // this transaction's database records
  uint32_t *mt_dbiseqs;      // handle sequence numbers as seen here
  ORV_cursor **mt_cursors;   // write: per database, tracked cursor list
  uint8_t *mt_dbflags;       // per database: DB_* state bits
  ORV_scratch mt_scratch;
  uint32_t mt_dbcount;       // database slots known; 0 once ended
  uint32_t mt_flags;
  int mt_error;              // code recorded when the transaction failed
  uint32_t mt_dirty_room;    // pages that may still become dirty
  ORV_IDL mt_saved_pghead;   // nested: the parent's me_pghead
  txnid_t mt_saved_pglast;   // nested: the parent's me_pglast
};

#define mt_dirty_list mt_u.dirty_list
#define mt_reader mt_u.reader

inline bool txn_is_rdonly(const ORV_txn *txn) { return txn->mt_flags & ORV_RDONLY; }

// Marks a transaction failed: records rc and sets ORV_TXN_ERROR. Returns rc.
inline int orv_txn_fail(ORV_txn *txn, int rc) {
  txn->mt_error = rc;
  txn->mt_flags |= ORV_TXN_ERROR;
  return rc;
}

// ---- Life cycle ---------------------------------------------------------------------

// Allocates me_txn0 for an environment being opened (writable envs only).
[[nodiscard]] int orv_txn0_alloc(ORV_env *env);
[[nodiscard]] int orv_txn_renew0(ORV_txn *txn);
void orv_txn_end(ORV_txn *txn, unsigned mode);
[[nodiscard]] int orv_cursors_backup(ORV_txn *parent, ORV_txn *child);
void orv_cursors_release(ORV_txn *txn, int merge);
// Grows the decoded-key buffer to at least size bytes.
[[nodiscard]] int orv_txn_scratch(ORV_txn *txn, size_t size, void **buf_out);
void orv_txn_scratch_free(ORV_scratch *scratch);
// Zeroes the rewrite plan cache and invalidates the key-length index.
void orv_txn_scratch_invalidate(ORV_scratch *scratch);

// ---- Page access and allocation -------------------------------------------------------

// Finds page pgno as this transaction sees it (dirty, spilled or mapped).
// level_out (may be null) receives 0 for the map, 1 and up for the depth of
// the transaction owning the dirty or spilled copy.
[[nodiscard]] int orv_page_get(ORV_cursor *mc, pgno_t pgno, ORV_page **page_out, int *level_out);
// Allocates num contiguous pages (a dirty buffer), counted nowhere yet.
[[nodiscard]] int orv_page_alloc(ORV_cursor *mc, int num, ORV_page **page_out);
// New page of kind flags in the cursor's tree; updates the tree's counts.
[[nodiscard]] int orv_page_new(ORV_cursor *mc, uint32_t flags, int num, ORV_page **page_out);
// Makes the cursor's top page writable (copy-on-write) and fixes the parent.
[[nodiscard]] int orv_page_touch(ORV_cursor *mc);
// Makes every page of the cursor's path writable.
[[nodiscard]] int orv_cursor_touch(ORV_cursor *mc);
[[nodiscard]] int orv_page_spill(ORV_cursor *mc, const ORV_val *key, const ORV_val *data);
[[nodiscard]] int orv_page_unspill(ORV_txn *txn, ORV_page *mp, ORV_page **page_out);
[[nodiscard]] int orv_page_dirty(ORV_txn *txn, ORV_page *mp);
ORV_page *orv_page_buf_alloc(ORV_txn *txn, unsigned num);
void orv_page_buf_free(ORV_env *env, ORV_page *mp);
void orv_page_copy(ORV_page *dst, const ORV_page *src, unsigned psize);
[[nodiscard]] int orv_page_make_loose(ORV_cursor *mc, ORV_page *mp);
[[nodiscard]] int orv_ovpage_free(ORV_cursor *mc, ORV_page *mp);
[[nodiscard]] int orv_page_flush(ORV_txn *txn, int keep);
[[nodiscard]] int orv_pages_mark_keep(ORV_cursor *mc, unsigned pflags, int all);
// Oldest snapshot still in use by any reader (or the writer's own id - 1).
txnid_t orv_oldest_reader(ORV_txn *txn);

// ---- Drop ------------------------------------------------------------------------------

// Frees every page of the cursor's tree (branch, leaf and overflow pages;
// with subs, the value trees of duplicate keys; in the main database, the
// trees of the named databases it records) onto mt_free_pgs. The cursor
// ends unpositioned. A failure after the walk started marks the
// transaction failed; the tree's record is the caller's to reset.
[[nodiscard]] int orv_drop0(ORV_cursor *mc, int subs);

// ---- Commit ---------------------------------------------------------------------------

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
