// Copy-on-write: making the pages of a cursor's path writable in its
// transaction.
//
// A page may be written only if it is a private copy of the writing
// transaction: dirty in it, or brought back from its spill list. A page of
// a committed snapshot is copied to a new page number first (the old number
// goes to the free list, the parent is pointed at the copy); a page that is
// dirty only in an ancestor of a nested transaction is copied under the
// same number into the child's dirty list, so that an abort of the child
// leaves the ancestor's copy as it was. After a copy, the other cursors of
// the transaction that stood on the old page are moved to the new one.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"
#include "env/env.h"
#include "txn/txn.h"

namespace {

// Copies a page (or a run of num pages) that is dirty in an ancestor into
// txn's dirty list under the same page number. The dirty room does not
// change: the page is counted once for the whole family.
int copy_from_ancestor(ORV_txn *txn, ORV_page *mp, unsigned num, ORV_page **page_out) {
  ORV_env *env = txn->mt_env;
  ORV_ID2L dl = txn->mt_dirty_list;
  orv_assert(env, dl[0].mid < ORV_IDL_UM_MAX);
  ORV_page *np = orv_page_buf_alloc(txn, num);
  if (np == nullptr) return ENOMEM;
  ORV_ID2 mid = {mp->mp_pgno, np};
  const int rc = orv_id2l_insert(dl, &mid);
  orv_assert(env, rc == 0);
  orv_dirty_seen_add(txn, mid.mid);
  if (num > 1 || is_overflow(mp)) {
    std::memcpy(np, mp, size_t{num} * env->me_psize);
  } else {
    orv_page_copy(np, mp, env->me_psize);
  }
  np->mp_flags |= P_DIRTY;
  *page_out = np;
  return 0;
}

// Moves the other cursors of the transaction from mp to np at mc's level.
void fixup_cursors(ORV_cursor *mc, ORV_page *mp, ORV_page *np) {
  const unsigned top = mc->mc_top;
  const bool sub = mc->mc_flags & C_SUB;
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_DEEP>(mc, [&](ORV_cursor *m) {
    if (m->mc_pg[top] != mp) return;
    m->mc_pg[top] = np;
    // A sub-cursor over a sub-page points into the leaf: follow the copy.
    if (!sub) orv_xcursor_repoint(m, top);
  });
}

}  // namespace

int orv_page_touch(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  ORV_page *mp = mc->mc_pg[mc->mc_top];
  ORV_page *np = nullptr;
  int rc = 0;

  if (!is_dirty(mp)) {
    if (txn->mt_flags & ORV_TXN_SPILLS) {
      if ((rc = orv_page_unspill(txn, mp, &np)) != 0) goto fail;
      if (np != nullptr) goto done;
    }
    if ((rc = orv_idl_need(&txn->mt_free_pgs, 1)) != 0) goto fail;
    if ((rc = orv_page_alloc(mc, 1, &np)) != 0) goto fail;
    const pgno_t pgno = np->mp_pgno;
    orv_assert(env, mp->mp_pgno != pgno);
    txn->mt_free_pgs[++txn->mt_free_pgs[0]] = mp->mp_pgno;
    if (mc->mc_top > 0) {
      ORV_page *parent = mc->mc_pg[mc->mc_top - 1];
      set_node_pgno(node_ptr(parent, mc->mc_ki[mc->mc_top - 1]), pgno);
    } else {
      mc->mc_db->md_root = pgno;
    }
    orv_page_copy(np, mp, env->me_psize);
    np->mp_pgno = pgno;
    np->mp_flags |= P_DIRTY;
  } else if (txn->mt_parent != nullptr && !is_subp(mp)) {
    // Dirty, but possibly in an ancestor only.
    ORV_ID2L dl = txn->mt_dirty_list;
    if (dl[0].mid != 0) {
      const unsigned x = orv_id2l_search(dl, mp->mp_pgno);
      if (x <= dl[0].mid && dl[x].mid == mp->mp_pgno) {
        if (mp == dl[x].mptr) return 0;
        // The cursor holds a buffer this transaction replaced.
        mc->mc_flags &= ~(C_INITIALIZED | C_EOF);
        rc = ORV_PROBLEM;
        goto fail;
      }
    }
    if ((rc = copy_from_ancestor(txn, mp, 1, &np)) != 0) goto fail;
  } else {
    return 0;
  }

done:
  mc->mc_pg[mc->mc_top] = np;
  fixup_cursors(mc, mp, np);
  return 0;

fail:
  return orv_txn_fail(txn, rc);
}

int orv_cursor_touch(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  int rc = 0;

  // A named database's record lives in the main database: the path to it
  // is made writable too, so that the commit can update it in place.
  if (mc->mc_dbi >= CORE_DBS && !(*mc->mc_dbflag & (DB_DIRTY | DB_DUPDATA))) {
    if (txn->mt_dbiseqs[mc->mc_dbi] != txn->mt_env->me_dbiseqs[mc->mc_dbi]) return ORV_BAD_DBI;
    ORV_cursor mc2{};
    ORV_xcursor mx2{};
    orv_cursor_init(&mc2, txn, MAIN_DBI, &mx2);
    rc = orv_page_search(&mc2, &mc->mc_dbx->md_name, ORV_PS_MODIFY);
    orv_pkc_free(&mx2.mx_cursor);
    orv_pkc_free(&mc2);
    if (rc != 0) return rc;
    *mc->mc_dbflag |= DB_DIRTY;
  }
  mc->mc_top = 0;
  if (mc->mc_snum > 0) {
    do {
      rc = orv_page_touch(mc);
    } while (rc == 0 && ++mc->mc_top < mc->mc_snum);
    mc->mc_top = static_cast<uint16_t>(mc->mc_snum - 1);
  }
  return rc;
}

int orv_page_writable(ORV_cursor *mc, ORV_page *mp, int level, ORV_page **page_out) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  *page_out = nullptr;

  if (is_dirty(mp)) {
    // Level 1: our own copy. Under a write map every page reports level 0
    // and P_DIRTY marks this transaction's pages. Elsewhere a dirty flag at
    // level 0 can only be damage: such a page is treated as committed.
    if (level == 1 || (level == 0 && (env->me_flags & ORV_WRITEMAP))) {
      *page_out = mp;
      return 0;
    }
    if (level >= 2) {
      const unsigned num = is_overflow(mp) ? mp_pages(mp) : 1;
      if (int rc = copy_from_ancestor(txn, mp, num, page_out); rc != 0) {
        return orv_txn_fail(txn, rc);
      }
    }
    return 0;
  }
  if (level >= 1 || (env->me_flags & ORV_WRITEMAP)) {
    // Written out early by this transaction or an ancestor: make it dirty
    // again (a page the spill lists do not know stays read-only).
    if (txn->mt_flags & ORV_TXN_SPILLS) {
      if (int rc = orv_page_unspill(txn, mp, page_out); rc != 0) return orv_txn_fail(txn, rc);
    }
  }
  return 0;
}
