// Node insertion and removal on the cursor's top page: the tree's side of
// the page-layer edits of lib/page/node_edit.cc, which change one page and
// nothing else.
//
// What needs more than the page lives here:
//  - a value too large for a node goes to a new overflow run first (page
//    allocation), and the page layer stores the run's number;
//  - the count of a new counted branch node may have to be read from its
//    child page;
//  - a change of the first key of a prefix-compressed leaf (a key added at
//    slot 0, slot 0 removed) rewrites the page with every key re-encoded
//    against the new first key (orv_prefix_page_rebuild), which can need
//    overflow runs too. That rewrite checks the space first: ORV_NO_FIT
//    from it leaves page and transaction as they were, and the write path
//    splits instead;
//  - a node that does not fit (the caller was to split first) fails the
//    transaction with ORV_PAGE_FULL;
//  - every change of a prefix page makes the cursors of the transaction
//    forget what they remembered of its keys (varint cache, reusable bytes
//    of the previous key): the slot numbers and encodings they refer to
//    moved.
#include <cstring>

#include "btree/btree.h"

namespace {

// Forgets the key state of one cursor that names page pgno.
void keys_forget(ORV_cursor *m, pgno_t pgno) {
  if (m->mc_keypg == pgno || m->mc_vint_pg == pgno || m->mc_prevpg == pgno || m->mc_srch_pg == pgno)
    orv_cursor_keys_reset(m);
}

// A node of this size (without its slot) would not fit the page's free
// space: the caller should have split first. The transaction cannot go on.
int page_full(ORV_txn *txn) { return orv_txn_fail(txn, ORV_PAGE_FULL); }

// Entries below the child of a new counted branch node: child's when at
// hand, else read through its page number (0 when it cannot be read).
uint64_t child_entries(ORV_cursor *mc, pgno_t pgno, const ORV_page *child) {
  if (child) return orv_page_entries(child);
  ORV_page *cp;
  if (pgno != 0 && orv_page_get(mc, pgno, &cp, nullptr) == 0) return orv_page_entries(cp);
  return 0;
}

// orv_node_add of a leaf value that goes to a new overflow run: the run is
// allocated once the node is known to fit, the value copied to it (or, with
// ORV_RESERVE, its space handed to the caller), and the page layer stores
// the run's number as an F_BIGDATA node.
int add_with_run(ORV_cursor *mc, const ORV_page_ctx &ctx, ORV_page *mp, unsigned indx,
                 const ORV_val *key, ORV_val *data, unsigned flags, size_t node_size) {
  const size_t room = size_left(mp) >= sizeof(indx_t) ? size_left(mp) - sizeof(indx_t) : 0;
  if (node_size > room) return page_full(mc->mc_txn);
  ORV_page *ofp;
  const auto npages = static_cast<int>(ovpages(ctx.psize, data->mv_size));
  if (int rc = orv_page_new(mc, P_OVERFLOW, npages, &ofp); rc != 0) return rc;
  pgno_t run = ofp->mp_pgno;
  ORV_val ref{data->mv_size, &run};
  if (int rc = orv_node_add(ctx, mp, indx, key, &ref, 0, flags | F_BIGDATA, 0); rc != 0)
    return rc == ORV_NO_FIT ? page_full(mc->mc_txn) : rc;
  if (flags & ORV_RESERVE)
    data->mv_data = page_data(ofp);
  else if (data->mv_size)
    std::memcpy(page_data(ofp), data->mv_data, data->mv_size);
  return 0;
}

}  // namespace

void orv_prefix_keys_forget(ORV_cursor *mc, const ORV_page *mp) {
  const pgno_t pgno = mp->mp_pgno;
  keys_forget(mc, pgno);
  orv_tracked_each<ORV_TRACK_OTHERS>(mc, [pgno](ORV_cursor *m) { keys_forget(m, pgno); });
}

int orv_node_add(ORV_cursor *mc, unsigned indx, const ORV_val *key, ORV_val *data, pgno_t pgno,
                 unsigned flags, ORV_page *child, uint64_t count) {
  ORV_page *mp = cursor_page(mc);
  const ORV_page_ctx ctx = orv_page_ctx_of(mc, mp);
  const uint16_t pflags = mp->mp_flags;
  const bool prefix = orv_prefix_page(ctx.md_flags, mp);

  if (prefix && indx == 0 && numkeys(mp) > 0) {
    // A new first key: every other key is re-encoded against it. The
    // rewrite leaves the page as it was when it fails (ORV_NO_FIT
    // included), so the transaction stays usable and the caller may split.
    orv_assert(ctx.env, MP_UPPER(mp) >= MP_LOWER(mp));
    orv_assert(ctx.env, key && data);
    if (orv_page_first_key(mp).mv_size > ORV_KEYBUF_MAX) return ORV_BAD_VALSIZE;
    const unsigned skip = (flags & ORV_SPLIT_REPLACE) ? 0u : ~0u;
    int rc = orv_prefix_page_rebuild(mc, mp, skip, 0, key, data, flags & (0xFFFFu | ORV_RESERVE));
    if (rc == 0) orv_prefix_keys_forget(mc, mp);
    return rc;
  }

  int rc;
  if (pflags & P_BRANCH) {
    if ((pflags & P_COUNTED) && count == ~uint64_t{0}) count = child_entries(mc, pgno, child);
  } else if (!(flags & F_BIGDATA) && !(pflags & P_LEAF2) && key && data &&
             NODESIZE + 2 + key->mv_size + data->mv_size > ctx.nodemax) {
    // Only a value that makes the node larger than nodemax goes to a run; a
    // stored key is at most one byte longer than the key (varint(0) in
    // front), which spares the exact size on every ordinary insertion.
    bool to_run;
    const size_t node_size = orv_node_add_size(ctx, mp, indx, key, data, flags, &to_run);
    if (to_run) {
      rc = add_with_run(mc, ctx, mp, indx, key, data, flags, node_size);
      if (rc == 0 && prefix) orv_prefix_keys_forget(mc, mp);
      return rc;
    }
  }
  rc = orv_node_add(ctx, mp, indx, key, data, pgno, flags, count);
  if (rc != 0) return rc == ORV_NO_FIT ? page_full(mc->mc_txn) : rc;
  if (prefix) orv_prefix_keys_forget(mc, mp);
  return 0;
}

int orv_node_del(ORV_cursor *mc, unsigned ksize) {
  ORV_page *mp = cursor_page(mc);
  const unsigned indx = cursor_slot(mc);
  const ORV_page_ctx ctx = orv_page_ctx_of(mc, mp);
  const bool prefix = orv_prefix_page(ctx.md_flags, mp);
  if (prefix && indx == 0 && numkeys(mp) > 1) {
    // The first key goes: the others are re-encoded against the next one.
    // In byte order that never needs more room (the new first key shares
    // at least as much with every later key as the old one did), but a
    // custom comparator can break that; the page is then left as it was
    // and the transaction fails. A node reaching past its page must not
    // be rewritten either.
    if (!orv_node_in_page(mp, orv_page_ctx_psize(ctx, mp), 0, true))
      return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
    if (int rc = orv_prefix_page_rebuild(mc, mp, 0, 0, nullptr, nullptr, 0); rc != 0)
      return orv_txn_fail(mc->mc_txn, rc);
  } else if (int rc = orv_node_del(ctx, mp, indx, ksize); rc != 0) {
    return orv_txn_fail(mc->mc_txn, rc);
  }
  if (prefix) orv_prefix_keys_forget(mc, mp);
  return 0;
}

int orv_update_key(ORV_cursor *mc, const ORV_val *key) {
  ORV_page *mp = cursor_page(mc);
  // A key read from this very page would move with the node area below.
  char kbuf[ORV_KEYBUF_MAX + 1];
  ORV_val kcopy;
  auto a = reinterpret_cast<uintptr_t>(key->mv_data), b = reinterpret_cast<uintptr_t>(mp);
  if (key->mv_size && key->mv_size <= ORV_KEYBUF_MAX && a < b + cursor_env(mc)->me_psize &&
      a + key->mv_size > b) {
    std::memcpy(kbuf, key->mv_data, key->mv_size);
    kcopy = ORV_val{key->mv_size, kbuf};
    key = &kcopy;
  }
  const unsigned indx = cursor_slot(mc);
  if (int rc = orv_update_key(mp, indx, key); rc != ORV_NO_FIT) return rc;
  // No room for the longer key: take the node out and let the split put it
  // back with its new key (its count is recomputed from the child).
  const pgno_t pgno = node_pgno(node_ptr(mp, indx));
  if (int rc = orv_node_del(mc, 0); rc != 0) return rc;
  return orv_page_split(mc, key, nullptr, pgno, ORV_SPLIT_REPLACE);
}
