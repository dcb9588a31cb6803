// Deletion: orv_del (by key, or by key and value), orv_cursor_del (the entry
// under a cursor), and the shared path both take.
//
// The delete path decides what goes where:
//  - a plain entry: its overflow run (if any) is freed, then the node goes
//    (orv_cursor_del0: counts, other cursors, rebalancing);
//  - one value of a key with duplicates: the value is deleted through the
//    sub-cursor; the key goes with its last value;
//  - a whole key with duplicates (ORV_NODUPDATA): its value tree is freed
//    at once and the node goes.
// md_entries of the database, and the branch counts of counted databases,
// drop by exactly the number of values removed.
//
// A named database's record in the main database is removed only by the
// drop (flag F_SUBDATA), and the drop removes nothing else; mixing the two
// would leak a database's pages or lose plain data.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

// Frees every page of a value tree (the tree of mx, a sub-cursor loaded on
// a sub-database node). Value trees hold neither overflow values nor further
// value trees, so the leaves need not be read.
int free_tree_pages(ORV_cursor *mx, pgno_t pgno, unsigned level, unsigned depth) {
  ORV_txn *txn = mx->mc_txn;
  if (level + 1 < depth) {
    ORV_page *mp;
    if (int rc = orv_page_get(mx, pgno, &mp, nullptr); rc != 0) return rc;
    if (!is_branch(mp)) return ORV_CORRUPTED;
    for (unsigned i = 0, n = numkeys(mp); i < n; i++) {
      if (int rc = free_tree_pages(mx, node_pgno(node_ptr(mp, i)), level + 1, depth); rc != 0)
        return rc;
    }
  }
  return orv_idl_append(&txn->mt_free_pgs, pgno);
}

int free_value_tree(ORV_cursor *mx) {
  ORV_db *db = mx->mc_db;
  int rc = 0;
  if (db->md_root != P_INVALID && db->md_depth > 0)
    rc = free_tree_pages(mx, db->md_root, 0, db->md_depth);
  mx->mc_snum = 0;
  mx->mc_top = 0;
  mx->mc_flags &= ~(C_INITIALIZED | C_EOF);
  return rc;
}

// After the node at slot ki of mp changed size, points every positioned
// sub-cursor standing on a sub-page of mp at that sub-page again (nodes of
// the page may have moved).
void resync_subpages(ORV_cursor *mc, ORV_page *mp) {
  const unsigned t = mc->mc_top;
  ORV_xcursor *own = mc->mc_xcursor;
  ORV_node *leaf = node_ptr(mp, mc->mc_ki[t]);
  own->mx_cursor.mc_pg[0] = static_cast<ORV_page *>(node_data(leaf));
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED | ORV_TRACK_DEEP>(
      mc, [&](ORV_cursor *m) {
        if (m->mc_pg[t] == mp) orv_xcursor_repoint(m, t);
      });
}

// The key under mc has duplicates. Deletes all of them (ORV_NODUPDATA) or
// the value under the sub-cursor. *key_goes is set when the node itself
// must go (whole key, or its last value was deleted); the entry counts of
// that last step are left to orv_cursor_del0.
int delete_dups(ORV_cursor *mc, ORV_node *leaf, unsigned flags, bool *key_goes) {
  ORV_txn *txn = mc->mc_txn;
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_page *mp = cursor_page(mc);
  *key_goes = false;
  if (mx == nullptr) return ORV_INCOMPATIBLE;

  if (flags & ORV_NODUPDATA) {
    // Load the values of this very node: the sub-cursor may describe
    // another position after earlier deletes.
    if (int rc = orv_xcursor_load(mc, leaf); rc != 0) return rc;
    const uint64_t n = mx->mx_db.md_entries;
    if (n > 1) mc->mc_db->md_entries -= n - 1;
    if (leaf->mn_flags & F_SUBDATA) {
      if (int rc = free_value_tree(&mx->mx_cursor); rc != 0) return orv_txn_fail(txn, rc);
    }
    mx->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
    *key_goes = true;
    return 0;
  }

  if (!(mx->mx_cursor.mc_flags & C_INITIALIZED)) return EINVAL;
  const bool counted = mc->mc_db->md_flags & ORV_COUNTED;
  const uint64_t c0 = mx->mx_db.md_entries;
  if (!(leaf->mn_flags & F_SUBDATA))
    mx->mx_cursor.mc_pg[0] = static_cast<ORV_page *>(node_data(leaf));
  if (int rc = orv_cursor_delete(&mx->mx_cursor, ORV_NOSPILL); rc != 0) return rc;
  const uint64_t c1 = mx->mx_db.md_entries;

  if (c1 == 0) {
    mx->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
    if (leaf->mn_flags & F_SUBDATA) {
      if (int rc = free_value_tree(&mx->mx_cursor); rc != 0) return orv_txn_fail(txn, rc);
    }
    *key_goes = true;
    return 0;
  }

  if (leaf->mn_flags & F_SUBDATA) {
    std::memcpy(node_data(leaf), &mx->mx_db, sizeof(ORV_db));
  } else {
    if (!(mc->mc_db->md_flags & ORV_PREFIXKEY)) orv_node_shrink(mp, cursor_slot(mc));
    resync_subpages(mc, mp);
  }
  const uint64_t d = (counted && c0 > c1) ? c0 - c1 : 1;
  mc->mc_db->md_entries -= d;
  if (counted) orv_page_update_counts(mc, mp, 0, -static_cast<int64_t>(d));
  return 0;
}

}  // namespace

int orv_cursor_delete(ORV_cursor *mc, unsigned flags) {
  ORV_txn *txn = mc->mc_txn;
  if (txn_is_rdonly(txn)) return EACCES;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  if (!(mc->mc_flags & C_INITIALIZED) || mc->mc_snum == 0) return EINVAL;
  if (cursor_slot(mc) >= numkeys(cursor_page(mc))) return ORV_NOTFOUND;

  if (!(flags & ORV_NOSPILL)) {
    if (int rc = orv_page_spill(mc, nullptr, nullptr); rc != 0) return rc;
  }
  if (int rc = orv_cursor_touch(mc); rc != 0) return rc;

  ORV_page *mp = cursor_page(mc);
  if (!is_leaf(mp)) return ORV_CORRUPTED;
  if (is_leaf2(mp)) return orv_cursor_del0(mc);

  ORV_node *leaf = node_ptr(mp, cursor_slot(mc));
  // What the node says decides what is freed: it must lie inside its page.
  if (int rc = orv_leaf_node_check(mc, mp, leaf); rc != 0) return rc;
  if (leaf->mn_flags & F_DUPDATA) {
    bool key_goes;
    if (int rc = delete_dups(mc, leaf, flags, &key_goes); rc != 0 || !key_goes) return rc;
  } else if ((leaf->mn_flags ^ flags) & F_SUBDATA) {
    return orv_txn_fail(txn, ORV_INCOMPATIBLE);
  }

  if (leaf->mn_flags & F_BIGDATA) {
    // The run is freed by the length it records: it must be a run of the
    // snapshot holding the value, as a read would check.
    ORV_page *omp;
    int rc = orv_overflow_page_get(mc, leaf, &omp);
    if (rc == 0) rc = orv_ovpage_free(mc, omp);
    if (rc != 0) return orv_txn_fail(txn, rc);
  }
  return orv_cursor_del0(mc);
}

int orv_del0(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data, unsigned flags) {
  if (txn_is_rdonly(txn)) return EACCES;
  ORV_cursor mc;
  ORV_xcursor mx;
  std::memset(static_cast<void *>(&mc), 0, sizeof mc);
  std::memset(static_cast<void *>(&mx), 0, sizeof mx);
  orv_cursor_init(&mc, txn, dbi, &mx);

  int exact = 0;
  int rc;
  if (data != nullptr) {
    // The search may write the value it found; the caller's descriptor
    // stays as it was.
    ORV_val copy = *data;
    rc = orv_cursor_set(&mc, key, &copy, ORV_GET_BOTH, &exact);
  } else {
    flags |= ORV_NODUPDATA;
    rc = orv_cursor_set(&mc, key, nullptr, ORV_SET, &exact);
  }
  if (rc == 0) {
    // Tracked while deleting, so that rebalancing moves it like any other
    // cursor of the transaction.
    ORV_cursor_tracker track(&mc);
    rc = orv_cursor_delete(&mc, flags);
  }
  orv_pkc_free(&mx.mx_cursor);
  orv_pkc_free(&mc);
  return rc;
}

extern "C" ORV_API int orv_del(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data) noexcept {
  if (txn == nullptr || key == nullptr) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  if (txn_is_rdonly(txn)) return EACCES;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  // Values select among duplicates only; elsewhere the key alone decides.
  if (!(txn->mt_dbs[dbi].md_flags & ORV_DUPSORT)) data = nullptr;
  return orv_del0(txn, dbi, key, data, 0);
}

extern "C" ORV_API int orv_cursor_del(ORV_cursor *cursor, unsigned int flags) noexcept {
  if (cursor == nullptr) return EINVAL;
  // Only ORV_NODUPDATA is for applications: F_SUBDATA would remove a named
  // database's record without its pages, ORV_NOSPILL skips a safety step.
  return orv_cursor_delete(cursor, flags & ORV_NODUPDATA);
}
