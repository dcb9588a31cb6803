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

// Frees every page of the value tree under mx, a sub-cursor loaded on a
// sub-database node, through the one walk that frees trees. The sub-cursor
// ends unpositioned. An emptied tree (root already gone) frees nothing.
int free_value_tree(ORV_cursor *mx) {
  int rc = orv_drop0(mx, 0);
  mx->mc_snum = 0;
  mx->mc_top = 0;
  mx->mc_flags &= ~(C_INITIALIZED | C_EOF);
  return rc;
}

// Whether the sub-page held by leaf node `leaf` can be written in place:
// its header and every slot lie inside the node's value. The bytes come
// from the file; a damaged sub-page must be reported, never edited.
bool subpage_sound(const ORV_cursor *mc, const ORV_node *leaf) {
  const size_t size = node_dsize(leaf);
  if (size < PAGEHDRSZ) return false;
  const auto *sp = static_cast<const ORV_page *>(node_data(leaf));
  const bool fixed = mc->mc_db->md_flags & ORV_DUPFIXED;
  if (!is_leaf(sp) || !is_subp(sp) || is_leaf2(sp) != fixed) return false;
  if (!orv_page_shape_ok(sp, size)) return false;
  const unsigned n = numkeys(sp);
  if (fixed) return sp->mp_pad != 0 && PAGEHDRSZ + size_t{n} * sp->mp_pad <= size;
  for (unsigned i = 0; i < n; i++)
    if (!orv_node_in_page(sp, size, i, true)) return false;
  return true;
}

// Gives the sub-page of leaf node indx of mp (no P_LEAF2) delta more bytes,
// taken from mp's free space: the part of mp below the sub-page's header
// and slots moves down by delta, the sub-page's nodes stay where they are,
// so its free space grows by delta. ORV_NO_FIT (nothing changed) when mp
// lacks the room or the node would pass the node limit.
int subpage_grow(ORV_cursor *mc, ORV_page *mp, unsigned indx, size_t delta) {
  ORV_node *node = node_ptr(mp, indx);
  const size_t vsize = node_dsize(node);
  if (delta > size_left(mp) ||
      NODESIZE + even(node->mn_ksize) + vsize + delta > cursor_env(mc)->me_nodemax)
    return ORV_NO_FIT;
  auto *sb = static_cast<std::byte *>(node_data(node));
  indx_t nslots, upper;
  std::memcpy(&nslots, sb + offsetof(ORV_page, mp_lower), sizeof nslots);
  std::memcpy(&upper, sb + offsetof(ORV_page, mp_upper), sizeof upper);
  const size_t keep = nslots;  // mp_lower: the header and the slots
  nslots = static_cast<indx_t>((nslots - PAGEHDRSZ) / sizeof(indx_t));

  std::byte *base = page_bytes(mp) + mp->mp_upper;
  std::memmove(base - delta, base, static_cast<size_t>(sb + keep - base));
  indx_t *ptrs = mp_ptrs(mp);
  const indx_t ptr = ptrs[indx];
  for (unsigned i = 0, n = numkeys(mp); i < n; i++)
    if (ptrs[i] <= ptr) ptrs[i] = static_cast<indx_t>(ptrs[i] - delta);
  mp->mp_upper = static_cast<indx_t>(mp->mp_upper - delta);

  node = node_ptr(mp, indx);
  set_node_dsize(node, vsize + delta);
  sb = static_cast<std::byte *>(node_data(node));
  for (unsigned i = 0; i < nslots; i++) {
    indx_t v;
    std::memcpy(&v, sb + PAGEHDRSZ + i * sizeof(indx_t), sizeof v);
    v = static_cast<indx_t>(v + delta);
    std::memcpy(sb + PAGEHDRSZ + i * sizeof(indx_t), &v, sizeof v);
  }
  upper = static_cast<indx_t>(upper + delta);
  std::memcpy(sb + offsetof(ORV_page, mp_upper), &upper, sizeof upper);
  return 0;
}

// Shrinks the value of leaf node indx of mp to its first nsize bytes,
// giving the rest back to mp's free space.
void node_value_cut(ORV_page *mp, unsigned indx, size_t nsize) {
  ORV_node *node = node_ptr(mp, indx);
  const size_t delta = node_dsize(node) - nsize;
  std::byte *base = page_bytes(mp) + mp->mp_upper;
  std::byte *keep_end = static_cast<std::byte *>(node_data(node)) + nsize;
  std::memmove(base + delta, base, static_cast<size_t>(keep_end - base));
  indx_t *ptrs = mp_ptrs(mp);
  const indx_t ptr = ptrs[indx];
  for (unsigned i = 0, n = numkeys(mp); i < n; i++)
    if (ptrs[i] <= ptr) ptrs[i] = static_cast<indx_t>(ptrs[i] + delta);
  mp->mp_upper = static_cast<indx_t>(mp->mp_upper + delta);
  set_node_dsize(node_ptr(mp, indx), nsize);
}

// The sub-page under mc cannot grow where it is: its values move to a
// sub-database, where a first value goes like on any page (splitting it
// when the rest does not fit). The node's value becomes the record, which
// is never larger than the sub-page it replaces here.
int subpage_to_subdb(ORV_cursor *mc, ORV_node *leaf) {
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  const size_t vsize = node_dsize(leaf);
  if (vsize < sizeof(ORV_db)) return ORV_PAGE_FULL;
  if (int rc = orv_subdb_from_subpage(mc, sub->mc_pg[0], vsize); rc != 0) return rc;
  ORV_page *mp = cursor_page(mc);
  const unsigned slot = cursor_slot(mc);
  node_value_cut(mp, slot, sizeof(ORV_db));
  leaf = node_ptr(mp, slot);
  leaf->mn_flags = F_DUPDATA | F_SUBDATA;
  std::memcpy(node_data(leaf), &mx->mx_db, sizeof(ORV_db));
  // Other cursors on this key follow the values into the new tree.
  const unsigned t = mc->mc_top;
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED | ORV_TRACK_DEEP>(
      mc, [&](ORV_cursor *m) {
        if (m->mc_pg[t] == mp && m->mc_ki[t] == slot && m->mc_xcursor != nullptr)
          orv_xcursor_refresh(m, sub, false);
      });
  return 0;
}

// Before the first value of a compressed sub-page goes, the others are
// re-encoded against the next one. In byte order that never takes more
// room, but under another value order (ORV_REVERSEDUP, an application
// comparator) the later values may share far less with the new first one
// than with the old: the sub-page is given the room it then needs first.
int subpage_room_for_first_delete(ORV_cursor *mc, ORV_node *leaf) {
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  ORV_page *sp = sub->mc_pg[0];
  if (cursor_slot(sub) != 0 || numkeys(sp) < 2 || !orv_page_is_prefix(sub, sp)) return 0;
  size_t size = 0;
  if (int rc = orv_prefix_page_plan(orv_page_ctx_of(sub), sp, 0, 0, nullptr, nullptr, 0, &size);
      rc != 0)
    return rc;
  const size_t have = node_dsize(leaf);
  if (size <= have) return 0;
  ORV_page *mp = cursor_page(mc);
  int rc = subpage_grow(mc, mp, cursor_slot(mc), even(size - have));
  if (rc == ORV_NO_FIT) rc = subpage_to_subdb(mc, leaf);
  if (rc != 0) return rc;
  // Keys of mp that cursors hold in place (or cached) moved with the nodes.
  const unsigned t = mc->mc_top;
  auto forget = [&](ORV_cursor *m) {
    if (m->mc_snum <= t || m->mc_pg[t] != mp) return;
    orv_cursor_keys_reset(m);
    orv_pkc_clear(m);
  };
  forget(mc);
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED>(mc, forget);
  return 0;
}

// After the sub-page of the node under mc changed size, points every
// positioned sub-cursor standing on a sub-page of mp at that sub-page again
// (nodes of the page may have moved) with its current size.
void resync_subpages(ORV_cursor *mc, ORV_page *mp) {
  const unsigned t = mc->mc_top;
  auto resync = [&](ORV_cursor *m) {
    ORV_xcursor *mx = m->mc_xcursor;
    if (mx == nullptr || m->mc_pg[t] != mp || m->mc_ki[t] >= numkeys(mp)) return;
    ORV_node *node = node_ptr(mp, m->mc_ki[t]);
    if ((node->mn_flags & (F_DUPDATA | F_SUBDATA)) != F_DUPDATA) return;
    auto *sp = static_cast<ORV_page *>(node_data(node));
    if (mx->mx_cursor.mc_pg[0] != sp) orv_pkc_clear(&mx->mx_cursor);
    mx->mx_cursor.mc_pg[0] = sp;
    mx->mx_subpage_size = node_dsize(node);
  };
  resync(mc);
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED | ORV_TRACK_DEEP>(
      mc, [&](ORV_cursor *m) {
        if (m->mc_xcursor != nullptr && (m->mc_xcursor->mx_cursor.mc_flags & C_INITIALIZED))
          resync(m);
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

  const bool subpage = !(leaf->mn_flags & F_SUBDATA);
  if (subpage && !subpage_sound(mc, leaf)) return ORV_CORRUPTED;
  if (!subpage && node_dsize(leaf) != sizeof(ORV_db)) return ORV_CORRUPTED;

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
  if (!(leaf->mn_flags & F_SUBDATA)) {
    // The sub-page lives in the leaf, which the touch above made this
    // transaction's own: it is written in place, never copied elsewhere.
    auto *sp = static_cast<ORV_page *>(node_data(leaf));
    sp->mp_flags |= P_DIRTY;
    std::memcpy(static_cast<void *>(sp), &mp->mp_pgno, sizeof(pgno_t));  // 2-byte aligned
    mx->mx_cursor.mc_pg[0] = sp;
    mx->mx_subpage_size = node_dsize(leaf);
    if (int rc = subpage_room_for_first_delete(mc, leaf); rc != 0) return orv_txn_fail(txn, rc);
    // The leaf's nodes may have moved, and the values may now live in a
    // sub-database.
    leaf = node_ptr(mp, cursor_slot(mc));
    resync_subpages(mc, mp);
  }
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
  // The cursor still stands on its key, before the value that followed the
  // deleted one (the sub-cursor's C_DEL): a mark left by an earlier delete
  // of a whole entry no longer describes its position.
  mc->mc_flags &= ~C_DEL;
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
  orv_cursor_init_temp(&mc, txn, dbi, &mx);

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
