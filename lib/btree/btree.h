// B-tree and cursors: descent from the root, cursors and retrieval,
// insertion with page splits, duplicates, deletion and named databases.
//
// Cursor stack invariant after a successful descent: for every level l below
// mc_top, mc_pg[l] is a branch page and mc_pg[l + 1] is the child named by
// slot mc_ki[l]; mc_pg[mc_top] is a leaf. Pointers handed back by a cursor
// (keys and values) stay valid until the next operation on that cursor, the
// next write in its transaction, or the end of the transaction; those of a
// temporary cursor are copied by orv_cursor_val_detach and then also die at
// the next such copy (the statement of include/orv.h).
//
// Where the concerns live: descent.cc, cursor*.cc (positioning, steps, key
// materialisation), node_write.cc (the cursor's side of the page layer's
// node edits), put.cc and split.cc (insertion), delete.cc (what a
// delete removes) with lib/txn/rebalance.cc (node removal, cursor fix-ups
// and rebalancing: orv_cursor_del0, orv_rebalance), dbi.cc (named
// databases). Entry counts of counted trees: what a page holds in
// lib/page/layout.cc (orv_page_entries), their upkeep along a cursor's path
// in count_path.cc (orv_parent_count_set/add, orv_counts_adjust); rank and
// range-count queries live in lib/count.
#ifndef ORV_BTREE_BTREE_H
#define ORV_BTREE_BTREE_H

#include <cstddef>
#include <cstdint>

#include "env/env.h"
#include "page/page.h"
#include "txn/txn.h"

// ---- Auxiliary database record (one per slot of the environment) ---------------

struct ORV_dbx {
  ORV_val md_name;       // empty when the slot is free
  ORV_cmp_func md_cmp;   // key comparator; never null once the db is open
  ORV_cmp_func md_dcmp;  // value comparator, null unless ORV_DUPSORT
  ORV_rel_func md_rel;   // stored for the application, never called
  void *md_relctx;
};

// Flags accepted by orv_dbi_open.
inline constexpr unsigned ORV_DB_OPEN_FLAGS = ORV_REVERSEKEY | ORV_DUPSORT | ORV_INTEGERKEY |
                                              ORV_DUPFIXED | ORV_INTEGERDUP | ORV_REVERSEDUP |
                                              ORV_COUNTED | ORV_PREFIXKEY | ORV_CREATE;
inline constexpr uint16_t ORV_DB_PERSISTENT = 0x7FFF;
inline constexpr uint16_t ORV_DB_OPEN_MARK = 0x8000;  // me_dbflags: slot in use

// ---- Cursor flags (mc_flags) ------------------------------------------------------

inline constexpr uint32_t C_INITIALIZED = 0x1;
inline constexpr uint32_t C_EOF = 0x2;
inline constexpr uint32_t C_SUB = 0x4;
inline constexpr uint32_t C_DEL = 0x8;
inline constexpr uint32_t C_UNTRACK = 0x40;
inline constexpr uint32_t C_LONGLIVED = 0x80;
inline constexpr uint32_t C_SEQNEXT = 0x100;
inline constexpr uint32_t C_RANKVALID = 0x200;
inline constexpr uint32_t C_ORIG_RDONLY = ORV_RDONLY;  // 0x20000
inline constexpr uint32_t C_WRITEMAP = ORV_WRITEMAP;   // 0x80000

// ---- Descent flags (orv_page_search) ----------------------------------------------

inline constexpr int ORV_PS_MODIFY = 0x1;
inline constexpr int ORV_PS_ROOTONLY = 0x2;
inline constexpr int ORV_PS_FIRST = 0x4;
inline constexpr int ORV_PS_LAST = 0x8;

// ---- Write flags that never leave the library ----------------------------------------

inline constexpr unsigned ORV_NOSPILL = 0x8000;
inline constexpr unsigned ORV_SPLIT_REPLACE = ORV_APPENDDUP;  // 0x40000, split flag
// Split flag for a prefix-compressed leaf whose first node changes and whose
// other nodes, re-encoded against the new first key, no longer fit one
// page: the cursor is on slot 0, which the split removes (null new key) or
// replaces by the new node (with ORV_SPLIT_REPLACE). The cursor ends on slot
// 0 of the left half; other cursors on slot 0 stay there too.
inline constexpr unsigned ORV_SPLIT_DEL0 = 0x100000;
// Split flag for a prefix-compressed leaf: no new node; the page is cut
// before the cursor's slot (1 .. slots - 1), the left half keeping its first
// key. The cursor ends on slot 0 of the left half.
inline constexpr unsigned ORV_SPLIT_AT = 0x200000;
inline constexpr unsigned ORV_PUT_FLAGS =
    ORV_NOOVERWRITE | ORV_NODUPDATA | ORV_RESERVE | ORV_APPEND | ORV_APPENDDUP;

// Internal result: the tree is empty. Never leaves the library.
inline constexpr int ORV_NO_ROOT = -30769;

inline constexpr indx_t ORV_NO_SLOT = 0xFFFF;

struct ORV_xcursor;

// ---- The cursor record -----------------------------------------------------------------

struct ORV_cursor {
  ORV_cursor *mc_next;      // next tracked cursor of the same database
  ORV_cursor *mc_backup;    // saved state while a nested transaction runs
  ORV_xcursor *mc_xcursor;  // sub-cursor over duplicates, or null
  ORV_txn *mc_txn;
  ORV_dbi mc_dbi;
  ORV_db *mc_db;       // the transaction's record (or the sub-cursor's)
  ORV_dbx *mc_dbx;     // name and comparators
  uint8_t *mc_dbflag;  // the transaction's state byte for the db
  uint16_t mc_snum;    // pages on the stack
  uint16_t mc_top;     // index of the current page
  uint32_t mc_flags;   // C_* flags
  ORV_page *mc_pg[ORV_CURSOR_STACK];
  indx_t mc_ki[ORV_CURSOR_STACK];

  // Materialised key of prefix-compressed pages.
  ORV_val mc_key;  // last key materialised
  char mc_keybuf[ORV_KEYBUF_MAX + 1];
  pgno_t mc_keypg;        // page of the key in mc_keybuf
  indx_t mc_keyslot;      // slot of that key
  pgno_t mc_prevpg;       // page of the previous forward step's key
  indx_t mc_prevslot;     // its slot (ORV_NO_SLOT: none)
  uint64_t mc_keyshared;  // leading bytes equal to the page's first key
  uint64_t mc_vint_val;   // varint cache: decoded shared-prefix length
  uint64_t mc_vint_len;   // varint cache: bytes of that varint
  indx_t mc_vint_slot;    // varint cache: slot (ORV_NO_SLOT: none)
  pgno_t mc_vint_pg;      // varint cache: page (P_INVALID: none)
  uint32_t mc_vint_valid;
  uint32_t mc_keyreuse;  // buffer prefix reusable by the next step

  // Node search scratch on prefix-compressed pages.
  const void *mc_srch_key;
  size_t mc_srch_len;
  size_t mc_srch_shared;
  pgno_t mc_srch_pg;

  // Page key cache: one decoded key per slot of one page.
  ORV_val *mc_pkc_keys;
  uint32_t mc_pkc_keys_cap;
  uint8_t *mc_pkc_done;
  uint32_t mc_pkc_done_cap;
  char *mc_pkc_store;
  uint64_t mc_pkc_store_cap;
  uint64_t mc_pkc_slotsize;
  uint64_t *mc_pkc_sums;  // entry prefix sums for counting (kept for the
                          // rank and range-count queries of lib/count)
  uint32_t mc_pkc_sums_cap;
  uint32_t mc_pkc_nsums;
  uint32_t mc_pkc_nslots;
  uint32_t mc_pkc_ready;
  pgno_t mc_pkc_pg;  // cached page (P_INVALID: none)
  txnid_t mc_pkc_txnid;
  ORV_page *mc_pkc_subpage;

  // Rank cache: written by the rank queries of lib/count, cleared by every
  // positioning here.
  uint64_t mc_rank_base[ORV_CURSOR_STACK];
  uint64_t mc_rank;
  uint64_t mc_rank_dup;
};

// Sub-cursor over the duplicate values of the current key; follows its
// cursor in the same allocation.
struct ORV_xcursor {
  ORV_cursor mx_cursor;
  ORV_db mx_db;
  ORV_dbx mx_dbx;
  uint8_t mx_dbflag;
  uint64_t mx_subpage_size;  // data size of the node whose sub-page is loaded
  // Write-path scratch for prefix-compressed sub-pages; kept for the
  // duplicate writes (put_dup in put.cc), unused until then.
  uint64_t mx_put_total;
  uint32_t mx_put_pending;
};

static_assert(offsetof(ORV_xcursor, mx_cursor) == 0);

// ---- Tracked cursors -------------------------------------------------------------
//
// A write transaction lists its cursors per database (mt_cursors[dbi],
// linked through mc_next): the application's, and temporary ones while an
// operation runs on them. Whatever moves nodes on a page fixes up the other
// cursors of the same tree through orv_tracked_each. For a sub-cursor (C_SUB)
// the tree is a duplicate tree and the cursors visited are the sub-cursors of
// the listed cursors that have one. Read-only transactions keep no lists.

// Filter bits of orv_tracked_each.
inline constexpr unsigned ORV_TRACK_ALL = 0;
inline constexpr unsigned ORV_TRACK_OTHERS = 0x1;      // leave out mc itself
inline constexpr unsigned ORV_TRACK_POSITIONED = 0x2;  // C_INITIALIZED (and its owner, for
                                                       // a sub-cursor)
inline constexpr unsigned ORV_TRACK_DEEP = 0x4;        // at least as many levels as mc

// Calls f(m) for every tracked cursor m of mc's tree that passes Filter.
// f must not link or unlink cursors of that database.
template <unsigned Filter, typename F>
inline void orv_tracked_each(ORV_cursor *mc, F &&f) {
  ORV_txn *txn = mc->mc_txn;
  if (txn->mt_cursors == nullptr) return;
  const bool sub = mc->mc_flags & C_SUB;
  for (ORV_cursor *m = txn->mt_cursors[mc->mc_dbi]; m != nullptr; m = m->mc_next) {
    ORV_cursor *m2 = m;
    if (sub) {
      if (m->mc_xcursor == nullptr) continue;
      if ((Filter & ORV_TRACK_POSITIONED) && !(m->mc_flags & C_INITIALIZED)) continue;
      m2 = &m->mc_xcursor->mx_cursor;
    }
    if ((Filter & ORV_TRACK_OTHERS) && m2 == mc) continue;
    if ((Filter & ORV_TRACK_POSITIONED) && !(m2->mc_flags & C_INITIALIZED)) continue;
    if ((Filter & ORV_TRACK_DEEP) && m2->mc_snum < mc->mc_snum) continue;
    f(m2);
  }
}

// Calls f(m) for every tracked cursor of every database of txn (not their
// sub-cursors).
template <typename F>
inline void orv_txn_cursors_each(ORV_txn *txn, F &&f) {
  if (txn->mt_cursors == nullptr) return;
  for (uint32_t i = txn->mt_dbcount; i-- > 0;)
    for (ORV_cursor *m = txn->mt_cursors[i]; m != nullptr; m = m->mc_next) f(m);
}

// Puts mc at the head of its transaction's list for its database, or takes
// it off (wherever it stands; absent: no-op). No-ops without lists.
void orv_cursor_link(ORV_cursor *mc);  // (cursor.cc)
void orv_cursor_unlink(ORV_cursor *mc);

// RAII guard for a temporary cursor: listed while the guard lives, so that
// fix-ups done by the operation move it like any other cursor. A temporary
// sub-cursor (C_SUB, the mx_cursor of an ORV_xcursor) is listed behind a
// positioned placeholder owner. Guards may end in any order.
class ORV_cursor_tracker {
 public:
  explicit ORV_cursor_tracker(ORV_cursor *mc);
  ~ORV_cursor_tracker() {
    if (linked_ != nullptr) orv_cursor_unlink(linked_);
  }
  ORV_cursor_tracker(const ORV_cursor_tracker &) = delete;
  ORV_cursor_tracker &operator=(const ORV_cursor_tracker &) = delete;

 private:
  ORV_cursor *linked_ = nullptr;
  ORV_cursor placeholder_;  // set up only for a sub-cursor
};

// Re-reads the sub-page pointer of mc's positioned sub-cursor from the leaf
// node mc stands on at level, after the nodes of that leaf moved. No-op
// unless that node holds a sub-page (F_DUPDATA without F_SUBDATA).
void orv_xcursor_repoint(ORV_cursor *mc, unsigned level);

// True when mp is a prefix page of the cursor's tree (orv_prefix_page with
// the tree's md_flags).
inline bool orv_page_is_prefix(const ORV_cursor *mc, const ORV_page *mp) {
  return orv_prefix_page(mc->mc_db->md_flags, mp);
}

// The page context of mc's tree with sub-page size subpsize.
inline ORV_page_ctx orv_page_ctx_sized(const ORV_cursor *mc, size_t subpsize) {
  ORV_txn *txn = mc->mc_txn;
  const ORV_env *env = txn->mt_env;
  return ORV_page_ctx{env->me_psize,
                      env->me_nodemax,
                      mc->mc_db->md_flags,
                      subpsize,
                      txn_is_rdonly(txn) ? nullptr : &txn->mt_scratch,
                      txn->mt_env,
                      mc->mc_db->md_pad};
}

// The page context of mc's tree, for the page-layer functions that take one:
// a sub-cursor brings the size of its loaded sub-page, a write transaction
// its scratch buffers. mc must be a cursor of its own or the sub-cursor of
// an ORV_xcursor.
inline ORV_page_ctx orv_page_ctx_of(const ORV_cursor *mc) {
  return orv_page_ctx_sized(
      mc, (mc->mc_flags & C_SUB) ? reinterpret_cast<const ORV_xcursor *>(mc)->mx_subpage_size : 0);
}

// The page context for an edit of page mp through mc, which may also be a
// bare copy of a sub-cursor (the paths a split or a rebalance builds to a
// parent or a sibling carry C_SUB too): only an edit of a sub-page reads
// the sub-page size, and only the sub-cursor of an ORV_xcursor stands on
// one.
inline ORV_page_ctx orv_page_ctx_of(const ORV_cursor *mc, const ORV_page *mp) {
  const bool subpage = (mc->mc_flags & C_SUB) && is_subp(mp);
  return orv_page_ctx_sized(
      mc, subpage ? reinterpret_cast<const ORV_xcursor *>(mc)->mx_subpage_size : 0);
}

// Bytes of the page mp of the cursor's tree: me_psize, or for a sub-page the
// size of the node holding it (mx_subpage_size of the sub-cursor). Inline,
// since every node read checks against it.
inline size_t orv_prefix_psize(const ORV_cursor *mc, const ORV_page *mp) {
  if ((mc->mc_flags & C_SUB) && is_subp(mp)) {
    // A sub-cursor is the first member of its ORV_xcursor.
    const auto *mx = reinterpret_cast<const ORV_xcursor *>(mc);
    if (mx->mx_subpage_size != 0) return mx->mx_subpage_size;
  }
  return mc->mc_txn->mt_env->me_psize;
}

// Checks that mp, just looked up as page pgno of the cursor's tree, may be
// used as a tree page (orv_tree_page_ok). Returns 0, or ORV_CORRUPTED with
// the transaction failed. Inline: every page a descent enters runs it.
[[nodiscard]] inline int orv_tree_page_check(ORV_cursor *mc, const ORV_page *mp, pgno_t pgno) {
  // A sub-cursor walks the tree of a key's duplicates.
  if (orv_tree_page_ok(mp, pgno, mc->mc_txn->mt_env->me_psize, mc->mc_db, mc->mc_flags & C_SUB))
      [[likely]]
    return 0;
  return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
}

// The child named by slot i of the branch page parent, looked up and checked
// as a tree page; when like is given (the page the child replaces at its
// level, in a step to a neighbour) the child must be of its kind. The slot's
// node must lie inside parent. Returns 0, ORV_PAGE_NOTFOUND or
// ORV_CORRUPTED (the transaction failed). REQUIRES: i < numkeys(parent).
// Inline: every level of a descent runs it.
[[nodiscard]] inline int orv_tree_page_get(ORV_cursor *mc, const ORV_page *parent, unsigned i,
                                           const ORV_page *like, ORV_page **child_out) {
  ORV_txn *txn = mc->mc_txn;
  // Only the node's header is read: its key size must fit too.
  if (!orv_node_key_ok(parent, mp_ptrs(parent)[i], txn->mt_env->me_psize - node_hdrsz(parent)))
      [[unlikely]]
    return orv_txn_fail(txn, ORV_CORRUPTED);
  const pgno_t pgno = node_pgno(node_ptr(parent, i));
  ORV_page *child;
  if (int rc = orv_page_get(mc, pgno, &child, nullptr); rc != 0) return rc;
  if (int rc = orv_tree_page_check(mc, child, pgno); rc != 0) return rc;
  if (like != nullptr && !orv_page_same_kind(child, like)) [[unlikely]]
    return orv_txn_fail(txn, ORV_CORRUPTED);
  *child_out = child;
  return 0;
}

// Checks the leaf node node of page mp of the cursor's tree before it is
// read: its header, key and stored value lie inside the page. Returns 0, or
// ORV_CORRUPTED with the transaction failed. Inline: every step runs it.
[[nodiscard]] inline int orv_leaf_node_check(ORV_cursor *mc, const ORV_page *mp,
                                             const ORV_node *node) {
  if (orv_leaf_node_ok(mp, orv_prefix_psize(mc, mp), node)) [[likely]]
    return 0;
  return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
}

// Spellings of the page predicates used in assertion texts.
inline unsigned NUMKEYS(const ORV_page *mp) { return numkeys(mp); }
inline bool IS_LEAF(const ORV_page *mp) { return is_leaf(mp); }
inline bool IS_BRANCH(const ORV_page *mp) { return is_branch(mp); }

// Page of the top of the stack, and its slot.
inline ORV_page *cursor_page(ORV_cursor *mc) { return mc->mc_pg[mc->mc_top]; }
inline indx_t cursor_slot(const ORV_cursor *mc) { return mc->mc_ki[mc->mc_top]; }
inline ORV_env *cursor_env(const ORV_cursor *mc) { return mc->mc_txn->mt_env; }

// ---- Descent ---------------------------------------------------------------------------

// Fills mc's stack from the root down to the leaf that would hold key
// (ORV_PS_FIRST / ORV_PS_LAST: the first or last leaf; key may then be
// null); re-reads a stale named-database record first. ORV_PS_MODIFY
// touches every page on the way (copy-on-write), ORV_PS_ROOTONLY stops at
// the root. Returns 0, ORV_NOTFOUND (empty tree), ORV_BAD_DBI, EINTR (the
// transaction failed), ORV_CORRUPTED or a page lookup error. Pages stay
// valid until the next write in the transaction or its end. (descent.cc)
[[nodiscard]] int orv_page_search(ORV_cursor *mc, const ORV_val *key, int flags);
// The descent below the page at mc's top, as orv_page_search does it.
// REQUIRES: mc_snum >= 1. (descent.cc)
[[nodiscard]] int orv_page_search_root(ORV_cursor *mc, const ORV_val *key, int flags);
// From the branch page at mc's top down to its lowest leaf. REQUIRES: the
// top page is a branch page. (descent.cc)
[[nodiscard]] int orv_page_search_lowest(ORV_cursor *mc);

// ---- Node search ---------------------------------------------------------------------

// Positions mc_ki[mc_top] at the first slot whose key is not less than key;
// *exactp (may be null) tells whether it is equal. Null when every key of
// the page is smaller (the slot is then numkeys).
ORV_node *orv_node_search(ORV_cursor *mc, const ORV_val *key, int *exactp);
// orv_node_search over the slots from `from` on, for a key known to be
// greater than every key left of slot from. REQUIRES: 0 < from.
ORV_node *orv_node_search_from(ORV_cursor *mc, const ORV_val *key, unsigned from, int *exactp);
// Two orv_node_search calls at once, for key[k] on the page on top of
// mc[k] (two cursors), their probes taking turns so that the cache misses
// of one search overlap the other's; found[k] and exact[k] are what
// orv_node_search answers. Returns 0, or the code of a search that failed
// the transaction (ORV_CORRUPTED), which leaves both results unset.
int orv_node_search_pair(ORV_cursor *mc[2], const ORV_val *key[2], int exact[2],
                         ORV_node *found[2]);

// ---- Cursors -------------------------------------------------------------------------

// Binds mc (and mx, its sub-cursor, may be null) to database dbi of txn,
// unpositioned, with empty key state; refreshes a stale named-database
// record when it can (failures are left to the first descent). Never
// fails. REQUIRES: dbi is a handle txn knows. (cursor.cc)
void orv_cursor_init(ORV_cursor *mc, ORV_txn *txn, ORV_dbi dbi, ORV_xcursor *mx);
// orv_cursor_init for a cursor (and sub-cursor) on the caller's stack that
// has never been initialised, for the one call of a temporary cursor:
// cheaper than zero-filling the whole record first. The caller releases
// the page key caches (orv_pkc_free) of both when done. (cursor.cc)
void orv_cursor_init_temp(ORV_cursor *mc, ORV_txn *txn, ORV_dbi dbi, ORV_xcursor *mx);
// Copies the handle fields and the page stack (mc_snum levels) only.
void orv_cursor_copy_path(const ORV_cursor *src, ORV_cursor *dst);
// Gives dst src's position and caches (key buffer, varint cache, rank
// cache, page key cache where allowed); dst keeps its mc_next, mc_backup
// and mc_xcursor. Never fails: a cache that cannot be copied is left
// empty. (cursor.cc)
void orv_cursor_copy(const ORV_cursor *src, ORV_cursor *dst);
// Frees the page key cache buffers of a cursor (not the cursor itself).
void orv_pkc_free(ORV_cursor *mc);
// orv_cursor_get after its transaction checks: dispatches op. key/data
// (may be null) receive the entry, valid as the file header says. Returns
// 0, ORV_NOTFOUND, EINVAL (bad op or arguments), ORV_INCOMPATIBLE or a
// descent error. (cursor_get.cc)
[[nodiscard]] int orv_cursor_get0(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op);
// Positions mc by key for ORV_SET, ORV_SET_KEY, ORV_SET_RANGE, ORV_GET_BOTH
// and ORV_GET_BOTH_RANGE; *exactp (may be null) tells an exact match. On
// ORV_NOTFOUND the cursor stands at the insertion point (the write path
// relies on it). REQUIRES: key is not null. (cursor_get.cc)
[[nodiscard]] int orv_cursor_set(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op,
                                 int *exactp);
// First / last entry of the tree (and of its duplicates). ORV_NOTFOUND
// for an empty tree; orv_cursor_last sets C_EOF. (cursor_move.cc)
[[nodiscard]] int orv_cursor_first(ORV_cursor *mc, ORV_val *key, ORV_val *data);
[[nodiscard]] int orv_cursor_last(ORV_cursor *mc, ORV_val *key, ORV_val *data);
// One step forward / back (ORV_NEXT*, ORV_PREV* kinds); an unpositioned
// cursor starts at the first / last entry. ORV_NOTFOUND at the end (C_EOF
// set going forward). (cursor_move.cc)
[[nodiscard]] int orv_cursor_next(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op);
[[nodiscard]] int orv_cursor_prev(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op);
// Moves mc's top page to its right (move_right) or left neighbour under
// the nearest ancestor that has one, slot 0 or the last slot. ORV_NOTFOUND
// at the tree's edge (mc keeps its depth). (cursor_move.cc)
[[nodiscard]] int orv_cursor_sibling(ORV_cursor *mc, int move_right);
// Asks for the head of the leaf beside the cursor's (to the right or the
// left in its parent), which a walk enters next; no-op at the tree's edge.
void orv_prefetch_sibling_leaf(const ORV_cursor *mc, bool move_right);
// Reads a leaf node of the top page: its value (following overflow runs),
// once the node is checked to lie inside the page (ORV_CORRUPTED otherwise).
[[nodiscard]] int orv_node_read(ORV_cursor *mc, ORV_node *leaf, ORV_val *data);
// orv_node_read of a node that orv_leaf_node_check has just passed.
[[nodiscard]] int orv_node_value(ORV_cursor *mc, ORV_node *leaf, ORV_val *data);
// Materialises the key of slot i of page mp (decoding prefix-compressed keys).
[[nodiscard]] int orv_cursor_read_key(ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_val *key_out);
// Sets up mc's sub-cursor (mc->mc_xcursor, not null) for mc's database,
// unpositioned. REQUIRES: mc_txn, mc_dbi and mc_dbx of mc are set.
void orv_xcursor_init0(ORV_cursor *mc);
// Forgets the materialised key state (the slot mc_key names, previous-step
// slot, shared length, varint cache, reuse flag, search scratch); the key
// buffer and mc_key are kept.
void orv_cursor_keys_reset(ORV_cursor *mc);
// For calls that read through a temporary cursor (orv_get and the like):
// a key or value in that cursor's own buffers (key buffer, page key cache,
// also of its sub-cursor) dies with it, so such bytes are copied to the
// transaction's scratch area (orv_txn_scratch) and *val points there. That
// copy stays valid until the transaction's next write, the next such copy,
// or the end of the transaction. Bytes elsewhere (pages) are left alone.
// Returns 0 or ENOMEM.
[[nodiscard]] int orv_cursor_val_detach(ORV_cursor *mc, ORV_val *val);
// Marks the page key cache empty; its buffers stay allocated for reuse.
void orv_pkc_clear(ORV_cursor *mc);
// Makes the page key cache describe page mp (same page number, transaction
// id and slot count; kept as it is when it already does): arrays sized,
// slot size chosen, every slot undecoded, no prefix sums. Returns 0 or
// ENOMEM (the cache is then empty).
[[nodiscard]] int orv_pkc_prepare(ORV_cursor *mc, ORV_page *mp);
// Loads mc's sub-cursor for a leaf node with F_DUPDATA (orv_xcursor_load);
// ORV_CORRUPTED when the database keeps no duplicates or mc has no
// sub-cursor.
[[nodiscard]] int orv_cursor_dups_load(ORV_cursor *mc, ORV_node *node);
// Points mc's sub-cursor at the values of a leaf node with F_DUPDATA: a
// sub-page (positioned on its slot 0) or a sub-database (unpositioned; its
// first descent loads the root). The sub-page or record is checked against
// the node first: ORV_CORRUPTED when it is damaged, or when mc has no
// sub-cursor or its database keeps no duplicates. (xcursor.cc)
[[nodiscard]] int orv_xcursor_load(ORV_cursor *mc, ORV_node *node);
// Builds in page (size bytes) a sub-page of mc's current leaf holding the
// two values old and nv in value order. EINVAL for a missing pointer,
// ORV_NO_FIT when size is 16 or less or the values do not fit,
// ORV_BAD_VALSIZE for fixed-size values of different sizes. Nothing is
// written on failure. (xcursor.cc)
[[nodiscard]] int orv_subpage_pair(ORV_cursor *mc, ORV_page *page, size_t size, const ORV_val *old,
                                   const ORV_val *nv);
// Makes m2's sub-cursor follow src, the sub-cursor of a cursor on the same
// key that just changed the key's values: new_dupdata when the key has just
// got a value tree (m2's sub-cursor becomes positioned on slot 0), else only
// a positioned sub-cursor is updated (record, root page, sub-page size).
// The slot index is the caller's. (xcursor.cc)
void orv_xcursor_refresh(ORV_cursor *m2, const ORV_cursor *src, bool new_dupdata);
// Moves the values of the sub-page sp (size bytes) of the key under mc into
// the first leaf of a new sub-database; mc's sub-cursor ends on that leaf
// at the slot it had, mx_db describing the new tree. The node still holds
// the sub-page: the caller rewrites it as the record. (put.cc)
[[nodiscard]] int orv_subdb_from_subpage(ORV_cursor *mc, const ORV_page *sp, size_t size);

// ---- Node insertion and removal on the cursor's page (node_write.cc) -------------------
//
// The page-layer edits of the same names (page.h) plus what needs the
// cursor: overflow runs, child counts, the rewrite of a prefix page whose
// first key changes, failing the transaction, and the key state of the
// other cursors.

// Adds a node at slot indx of the cursor's top page; the flags, key, data,
// pgno and count as for the page-layer orv_node_add, where a value too
// large for a node goes to a new overflow run (with ORV_RESERVE,
// data->mv_data then points at offset 16 of the run), and a count of all
// ones on a counted branch page is computed from child (may be null: read
// through pgno). Returns 0, ORV_PAGE_FULL (no room for the node: the
// transaction is then failed), ORV_BAD_VALSIZE, ENOMEM, ORV_CORRUPTED or a
// page allocation error.
// On a prefix-compressed leaf a key at slot 0 of a non-empty page rewrites
// the page (orv_prefix_page_rebuild; with ORV_SPLIT_REPLACE the node at
// slot 0 is replaced, an overflow run it has is the caller's). Errors of
// that rewrite leave the page unchanged and the transaction usable;
// ORV_NO_FIT says the rewritten page would not fit, and the caller splits
// instead.
[[nodiscard]] int orv_node_add(ORV_cursor *mc, unsigned indx, const ORV_val *key, ORV_val *data,
                               pgno_t pgno, unsigned flags, ORV_page *child, uint64_t count);
// Removes the node at mc_ki[mc_top] of the top page (ksize: the key size of
// a P_LEAF2 page); the first key of a prefix-compressed leaf with more
// slots rewrites the page against the next one. Returns 0, or the failure
// (ORV_CORRUPTED for a node reaching past its page, or the rewrite's:
// ENOMEM, ORV_BAD_VALSIZE, ORV_PAGE_FULL when the re-encoded keys no longer
// fit), which leaves the page unchanged and fails the transaction. An
// overflow run of the removed node is not freed here.
int orv_node_del(ORV_cursor *mc, unsigned ksize);
// Replaces the key of the node at mc_ki[mc_top] of a branch page (key may
// point into that page); when the longer key does not fit, the node is
// taken out and the page split with it (orv_page_split, ORV_SPLIT_REPLACE),
// whose result is returned.
[[nodiscard]] int orv_update_key(ORV_cursor *mc, const ORV_val *key);
// Makes mc and every cursor of its transaction on the same tree forget the
// key state (varint cache, reusable key bytes, search memo) they keep for
// page mp, whose slots or encodings just changed.
void orv_prefix_keys_forget(ORV_cursor *mc, const ORV_page *mp);

// ---- Writes ----------------------------------------------------------------------------

// The write path of orv_put and orv_cursor_put (and of named-database
// records, F_SUBDATA): refusals first, which change nothing (caller's
// descriptors included) and leave the transaction usable; then position,
// make room (spill, touch), write, account (md_entries, counts, other
// cursors). A failure once a page changed fails the transaction. On
// success mc stands on the entry; with ORV_RESERVE data->mv_data is the
// value's space, valid until the next write. (put.cc)
[[nodiscard]] int orv_cursor_put0(ORV_cursor *mc, ORV_val *key, ORV_val *data, unsigned flags);
// Deletes the entry under a positioned cursor (what orv_cursor_del does):
// checks the transaction, spills unless ORV_NOSPILL, touches the path, frees
// overflow runs, then orv_cursor_del0. flags: ORV_NODUPDATA (whole key),
// F_SUBDATA (the entry is a named-database record), ORV_NOSPILL. (delete.cc)
[[nodiscard]] int orv_cursor_delete(ORV_cursor *mc, unsigned flags);
// Deletes key (or the key/value pair when data is given and the database
// has duplicates) through a temporary cursor; F_SUBDATA as above. (delete.cc)
[[nodiscard]] int orv_del0(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data, unsigned flags);
// Last step of a delete. REQUIRES: the cursor's path is touched; the node
// at mc_ki[mc_top] is a plain entry (duplicates and overflow runs handled).
// Removes it, keeps md_entries and counts exact, fixes the other cursors and
// rebalances; C_DEL on success (C_EOF when the tree became empty). Fails
// the transaction on error. (lib/txn/rebalance.cc)
[[nodiscard]] int orv_cursor_del0(ORV_cursor *mc);
// Splits mc's top page (or grows a new root above it) and puts the new
// node newkey/newdata (branch: child newpgno) at mc's slot, nflags as for
// orv_node_add plus the ORV_SPLIT_* modes; inserts the separator into the
// parent (splitting it in turn), sets the counts of both halves and moves
// the other cursors. mc ends on the new node. REQUIRES: the path is
// touched. Returns 0 or the failure, which fails the transaction. (split.cc)
[[nodiscard]] int orv_page_split(ORV_cursor *mc, const ORV_val *newkey, ORV_val *newdata,
                                 pgno_t newpgno, unsigned nflags);
// Before the first key of the cursor's compressed leaf goes (the cursor on
// slot 0): while the other keys, re-encoded against the next one, would not
// fit even two pages, cuts off the longest tail of the page that fits a
// page of its own (orv_page_split with ORV_SPLIT_AT). Afterwards the removal
// fits in place or by a split in two (ORV_SPLIT_DEL0). The cursor stays on
// slot 0 of its page. Returns 0 or the failure (the transaction failed).
[[nodiscard]] int orv_prefix_split_tails(ORV_cursor *mc);
// After a removal from mc's top page: tops up or merges an underfull page
// with a neighbour, up the tree, and removes a root left with one child.
// Other cursors follow their entries. Returns 0 or the failure; the caller
// fails the transaction. Deletion's concern is split across this file and
// lib/btree/delete.cc (which decides what goes). (lib/txn/rebalance.cc)
[[nodiscard]] int orv_rebalance(ORV_cursor *mc);

// ---- Entry counts along the cursor's path (count_path.cc) -------------------------

// Applies delta to the counts along the cursor's path from level down to 0
// (each count clamped at 0).
void orv_counts_adjust(ORV_cursor *mc, int level, int64_t delta);
// The one way a count change reaches the parents. Sets the count of the
// node of mc_pg[level - 1] pointing at child (the one at slot
// mc_ki[level - 1], or else the first naming child) and applies the change
// to the levels above along mc's path. Returns the change; 0 at level 0 or
// on a page that is not a counted branch.
int64_t orv_parent_count_set(ORV_cursor *mc, unsigned level, pgno_t child, uint64_t count);
// Adds delta, clamped at 0, to the count of the node at slot
// mc_ki[level - 1] of mc_pg[level - 1] and applies the change made to the
// levels above. Returns that change.
int64_t orv_parent_count_add(ORV_cursor *mc, unsigned level, int64_t delta);
// Brings the counts of a counted tree up to date after mp, the cursor's top
// page, changed: recount (recompute mp's entries) or apply delta.
void orv_page_update_counts(ORV_cursor *mc, ORV_page *mp, int recount, int64_t delta);

// ---- Prefix-page rewrites that allocate (prefix_rewrite.cc) -------------------------

// Gives every entry of [start, end) whose node would exceed me_nodemax (a
// node already on the page too, when its re-encoded key takes it past the
// maximum; never a sub-page or a value on a run already) a new overflow run
// holding its value (for the new entry with ORV_RESERVE in flags:
// data->mv_data receives the run's value space), and makes it an
// F_BIGDATA entry. Returns 0 or the allocation's error. REQUIRES:
// pe_enclen set for the run (orv_prefix_run_size); data is the value the
// new entry was gathered from.
[[nodiscard]] int orv_prefix_run_overflow(ORV_cursor *mc, ORV_prefix_entry *entries, unsigned start,
                                          unsigned end, ORV_val *data, unsigned flags);
// Rewrites the cursor's prefix page mp after its first key changed: slot
// skip is left out (a node being removed or replaced; >= numkeys: none) and
// key/data (key null: none) goes in at position indx, with the node flags
// and ORV_RESERVE of flags. A value that belongs on an overflow run is moved
// to one. With ORV_RESERVE data->mv_data receives the value's space.
// Returns 0 or ENOMEM, EINVAL, ORV_CORRUPTED, ORV_BAD_VALSIZE, ORV_NO_FIT
// (the rewritten page would not fit), ORV_PAGE_FULL (the write failed after
// overflow runs were made; not expected), an allocation error; the page is
// unchanged on every error. Cursor slots and key state are the caller's job.
[[nodiscard]] int orv_prefix_page_rebuild(ORV_cursor *mc, ORV_page *mp, unsigned skip,
                                          unsigned indx, const ORV_val *key, ORV_val *data,
                                          unsigned flags);

// ---- Named databases -------------------------------------------------------------------

// Installs the built-in comparators of slot dbi chosen by its md_flags
// in txn. (dbi.cc)
void orv_default_cmp(ORV_txn *txn, ORV_dbi dbi);
// Re-reads a stale named database record from the main database.
[[nodiscard]] int orv_dbi_refresh(ORV_cursor *mc);

// The handle check of every exported function that takes one, in this
// order: EINVAL for a null transaction or a handle it does not know (not
// below mt_dbcount, or the state byte lacks validity; a finished or reset
// transaction knows none), then ORV_BAD_DBI for a handle closed (and maybe
// reopened) since the transaction saw it (its sequence number moved).
// Returns 0 for a usable handle. Never fails the transaction.
[[nodiscard]] int orv_txn_dbi_check(const ORV_txn *txn, ORV_dbi dbi, uint8_t validity);

#endif  // ORV_BTREE_BTREE_H
