// Spilling: writing part of a large write transaction's dirty pages to the
// file before commit, so that the dirty list (at most 131071 pages) never
// overflows.
//
// Spilled pages are still this transaction's pages: they are listed in
// mt_spill_pgs (page number << 1; odd entries are deleted), read back from
// the map by orv_page_get and copied into the dirty list again by
// orv_page_unspill when they are written to. Nothing a committed snapshot
// references is ever spilled, and no meta page points at spilled pages
// until the commit.
//
// Pages that cursors stand on and the dirty roots are protected with
// P_KEEP for the duration of a spill: the write in progress is about to
// change them again, and the cursors hold pointers to their buffers.
#include <cerrno>

#include "btree/btree.h"
#include "env/env.h"
#include "txn/txn.h"

namespace {

constexpr unsigned kKeepMask = P_SUBP | P_DIRTY | P_LOOSE | P_KEEP;

// Flips P_KEEP on the pages of one cursor's stack (and of its sub-cursor
// when that walks a sub-database) whose masked flags equal pflags.
void mark_cursor(ORV_cursor *mc, unsigned pflags) {
  if (!(mc->mc_flags & C_INITIALIZED)) return;
  for (ORV_cursor *m3 = mc;;) {
    ORV_page *mp = nullptr;
    for (unsigned j = 0; j < m3->mc_snum; j++) {
      mp = m3->mc_pg[j];
      if ((mp->mp_flags & kKeepMask) == pflags) mp->mp_flags ^= P_KEEP;
    }
    ORV_xcursor *mx = m3->mc_xcursor;
    if (mx == nullptr || !(mx->mx_cursor.mc_flags & C_INITIALIZED)) return;
    if (mp == nullptr || !is_leaf(mp) || is_leaf2(mp)) return;
    const unsigned ki = m3->mc_ki[m3->mc_snum - 1];
    if (ki >= numkeys(mp) || !(node_ptr(mp, ki)->mn_flags & F_SUBDATA)) return;
    m3 = &mx->mx_cursor;
  }
}

}  // namespace

int orv_pages_mark_keep(ORV_cursor *mc, unsigned pflags, int all) {
  ORV_txn *txn = mc->mc_txn;
  int rc = 0;

  // The flip is idempotent per call: once flipped, a page's masked flags
  // no longer equal pflags, so a page shared by several cursors (or a
  // cursor met twice) is flipped once.
  mark_cursor(mc, pflags);
  orv_txn_cursors_each(txn, [&](ORV_cursor *m) {
    if (m != mc) mark_cursor(m, pflags);
  });

  if (all) {
    for (uint32_t i = 0; i < txn->mt_dbcount; i++) {
      if (!(txn->mt_dbflags[i] & DB_DIRTY)) continue;
      const pgno_t pgno = txn->mt_dbs[i].md_root;
      if (pgno == P_INVALID) continue;
      ORV_page *dp;
      int level;
      if ((rc = orv_page_get(mc, pgno, &dp, &level)) != 0) break;
      if ((dp->mp_flags & kKeepMask) == pflags && level <= 1) dp->mp_flags ^= P_KEEP;
    }
  }
  return rc;
}

int orv_page_spill(ORV_cursor *m0, const ORV_val *key, const ORV_val *data) {
  ORV_txn *txn = m0->mc_txn;
  ORV_env *env = txn->mt_env;
  ORV_ID2L dl = txn->mt_dirty_list;
  int rc = 0;

  if (m0->mc_flags & C_SUB) return 0;

  // Pages this operation may dirty: its path, the main database's path to
  // a named database's record, and an overflow run for the value. Doubled
  // for splits.
  size_t need = m0->mc_db->md_depth;
  if (m0->mc_dbi >= CORE_DBS) need += txn->mt_dbs[MAIN_DBI].md_depth;
  if (key != nullptr) {
    const size_t dsize = data != nullptr ? data->mv_size : 0;
    need += (even(key->mv_size) + dsize + NODESIZE + env->me_psize) / env->me_psize;
  }
  need += need;
  if (txn->mt_dirty_room > need) return 0;

  if (txn->mt_spill_pgs == nullptr) {
    txn->mt_spill_pgs = orv_idl_alloc(ORV_IDL_UM_MAX);
    if (txn->mt_spill_pgs == nullptr) return ENOMEM;
  } else {
    // Squeeze out the deleted entries.
    ORV_IDL sl = txn->mt_spill_pgs;
    const ORV_ID num = sl[0];
    ORV_ID j = 0;
    for (ORV_ID i = 1; i <= num; i++) {
      if (!(sl[i] & 1)) sl[++j] = sl[i];
    }
    sl[0] = j;
  }

  ORV_ID i;
  if ((rc = orv_pages_mark_keep(m0, P_DIRTY, 1)) != 0) goto done;

  // Write out a good part of the list at once, from its high end.
  if (need < ORV_IDL_UM_MAX / 8) need = ORV_IDL_UM_MAX / 8;
  for (i = dl[0].mid; i > 0 && need > 0; i--) {
    const ORV_ID pn = dl[i].mid << 1;
    auto *dp = static_cast<ORV_page *>(dl[i].mptr);
    if (dp->mp_flags & (P_LOOSE | P_KEEP)) continue;
    if (txn->mt_parent != nullptr) {
      // A page is never spilled twice: an ancestor's spilled page stays
      // dirty here.
      bool spilled = false;
      for (ORV_txn *tx2 = txn->mt_parent; tx2 != nullptr && !spilled; tx2 = tx2->mt_parent) {
        ORV_IDL sl = tx2->mt_spill_pgs;
        if (sl == nullptr) continue;
        const unsigned x = orv_idl_search(sl, pn);
        spilled = x <= sl[0] && sl[x] == pn;
      }
      if (spilled) {
        dp->mp_flags |= P_KEEP;
        continue;
      }
    }
    if ((rc = orv_idl_append(&txn->mt_spill_pgs, pn)) != 0) goto done;
    need--;
  }
  orv_idl_sort(txn->mt_spill_pgs);

  if ((rc = orv_page_flush(txn, static_cast<int>(i))) != 0) goto done;
  rc = orv_pages_mark_keep(m0, P_DIRTY | P_KEEP, static_cast<int>(i));

done:
  if (rc != 0) return orv_txn_fail(txn, rc);
  txn->mt_flags |= ORV_TXN_SPILLS;
  return 0;
}
