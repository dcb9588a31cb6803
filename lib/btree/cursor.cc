// Cursor life cycle: orv_cursor_open, orv_cursor_close, orv_cursor_renew,
// orv_cursor_txn, orv_cursor_dbi, orv_cursor_count, and the internal set-up
// and copy of cursor records (orv_cursor_init, orv_xcursor_init0,
// orv_cursor_copy) with their key and page-key caches.
//
// An application cursor is one zero-filled block: the cursor immediately
// followed by its sub-cursor, whatever the database flags. Cursors of write
// transactions are linked into the transaction's per-database list
// (C_UNTRACK) so that writes through other cursors can fix up their stacks,
// and the transaction's end releases them. Cursors of read-only
// transactions are not listed; they may outlive their transaction and be
// bound to another one with orv_cursor_renew.
//
// Heap buffers of a cursor (the page key cache) have exactly one owner: the
// cursor record they hang off. orv_cursor_copy never shares them; it grows
// the destination's own buffers.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"

namespace {

inline constexpr uint32_t PKC_MIN_SLOTS = 16;
inline constexpr uint32_t PKC_MIN_SUMS = 512;

// Copies of the transaction's flags a cursor keeps.
uint32_t txn_cursor_flags(const ORV_txn *txn) {
  return txn->mt_flags & (C_ORIG_RDONLY | C_WRITEMAP);
}

void rank_clear(ORV_cursor *mc) {
  std::memset(mc->mc_rank_base, 0, sizeof mc->mc_rank_base);
  mc->mc_rank = 0;
  mc->mc_rank_dup = 0;
}

// Empty stack, empty key on the cursor's own buffer, no caches.
void cursor_state_clear(ORV_cursor *mc) {
  mc->mc_snum = 0;
  mc->mc_top = 0;
  mc->mc_pg[0] = nullptr;
  mc->mc_ki[0] = 0;
  mc->mc_key.mv_size = 0;
  mc->mc_key.mv_data = mc->mc_keybuf;
  mc->mc_keypg = P_INVALID;
  mc->mc_keyslot = ORV_NO_SLOT;
  orv_cursor_keys_reset(mc);
  orv_pkc_clear(mc);
  rank_clear(mc);
}

// Grows an array to hold at least need elements, doubling from min_cap.
template <typename T>
bool grow_array(T **arr, uint32_t *cap, uint32_t need, uint32_t min_cap) {
  return orv_buf_grow(arr, cap, need, min_cap) == 0;
}

// Gives dst a copy of src's page key cache; any failure leaves dst's cache
// empty, which only costs a later re-decode.
void pkc_copy(const ORV_cursor *src, ORV_cursor *dst) {
  orv_pkc_clear(dst);
  const uint32_t n = src->mc_pkc_nslots;
  if (!grow_array(&dst->mc_pkc_keys, &dst->mc_pkc_keys_cap, n, PKC_MIN_SLOTS) ||
      !grow_array(&dst->mc_pkc_done, &dst->mc_pkc_done_cap, n, PKC_MIN_SLOTS))
    return;
  if (src->mc_pkc_nsums > 0 && src->mc_pkc_sums != nullptr) {
    if (!grow_array(&dst->mc_pkc_sums, &dst->mc_pkc_sums_cap, src->mc_pkc_nsums, PKC_MIN_SUMS))
      return;
    std::memcpy(dst->mc_pkc_sums, src->mc_pkc_sums, sizeof(uint64_t) * src->mc_pkc_nsums);
  }
  if (n > 0 && src->mc_pkc_done != nullptr)
    std::memcpy(dst->mc_pkc_done, src->mc_pkc_done, n);
  else if (n > 0)
    std::memset(dst->mc_pkc_done, 0, n);
  if (src->mc_pkc_ready) {
    const uint64_t bytes = uint64_t{n} * src->mc_pkc_slotsize;
    if (orv_buf_grow(&dst->mc_pkc_store, &dst->mc_pkc_store_cap, bytes, 256) != 0) return;
    std::memcpy(dst->mc_pkc_store, src->mc_pkc_store, bytes);
    for (uint32_t i = 0; i < n; ++i) {
      dst->mc_pkc_keys[i].mv_data = dst->mc_pkc_store + i * src->mc_pkc_slotsize;
      dst->mc_pkc_keys[i].mv_size = src->mc_pkc_done[i] ? src->mc_pkc_keys[i].mv_size : 0;
    }
  } else {
    for (uint32_t i = 0; i < n; ++i) dst->mc_pkc_keys[i] = ORV_val{0, nullptr};
  }
  dst->mc_pkc_slotsize = src->mc_pkc_slotsize;
  dst->mc_pkc_nsums = src->mc_pkc_sums != nullptr ? src->mc_pkc_nsums : 0;
  dst->mc_pkc_nslots = n;
  dst->mc_pkc_ready = src->mc_pkc_ready;
  dst->mc_pkc_pg = src->mc_pkc_pg;
  dst->mc_pkc_txnid = src->mc_pkc_txnid;
  dst->mc_pkc_subpage = src->mc_pkc_subpage;
}

}  // namespace

void orv_cursor_keys_reset(ORV_cursor *mc) {
  // mc_key itself stays: a key handed out lives until the next operation.
  // What it names goes, since the slot may now hold another key.
  mc->mc_keypg = P_INVALID;
  mc->mc_keyslot = ORV_NO_SLOT;
  mc->mc_prevpg = P_INVALID;
  mc->mc_prevslot = ORV_NO_SLOT;
  mc->mc_keyshared = 0;
  mc->mc_vint_val = 0;
  mc->mc_vint_len = 0;
  mc->mc_vint_slot = ORV_NO_SLOT;
  mc->mc_vint_pg = P_INVALID;
  mc->mc_vint_valid = 0;
  mc->mc_keyreuse = 0;
  mc->mc_srch_key = nullptr;
  mc->mc_srch_len = 0;
  mc->mc_srch_shared = 0;
  mc->mc_srch_pg = P_INVALID;
}

void orv_pkc_clear(ORV_cursor *mc) {
  mc->mc_pkc_slotsize = 0;
  mc->mc_pkc_nsums = 0;
  mc->mc_pkc_nslots = 0;
  mc->mc_pkc_ready = 0;
  mc->mc_pkc_pg = P_INVALID;
  mc->mc_pkc_txnid = 0;
  mc->mc_pkc_subpage = nullptr;
}

void orv_pkc_free(ORV_cursor *mc) {
  // Most cursors never read a compressed page: nothing to hand back then,
  // and the temporary cursors of every count and put end here.
  if (mc->mc_pkc_keys != nullptr || mc->mc_pkc_done != nullptr || mc->mc_pkc_store != nullptr ||
      mc->mc_pkc_sums != nullptr) {
    std::free(mc->mc_pkc_keys);
    std::free(mc->mc_pkc_done);
    std::free(mc->mc_pkc_store);
    std::free(mc->mc_pkc_sums);
  }
  mc->mc_pkc_keys = nullptr;
  mc->mc_pkc_done = nullptr;
  mc->mc_pkc_store = nullptr;
  mc->mc_pkc_sums = nullptr;
  mc->mc_pkc_keys_cap = 0;
  mc->mc_pkc_done_cap = 0;
  mc->mc_pkc_store_cap = 0;
  mc->mc_pkc_sums_cap = 0;
  orv_pkc_clear(mc);
}

void orv_xcursor_init0(ORV_cursor *mc) {
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  sub->mc_next = nullptr;
  sub->mc_backup = nullptr;
  sub->mc_xcursor = nullptr;
  sub->mc_txn = mc->mc_txn;
  sub->mc_dbi = mc->mc_dbi;
  sub->mc_db = &mx->mx_db;
  sub->mc_dbx = &mx->mx_dbx;
  sub->mc_dbflag = &mx->mx_dbflag;
  cursor_state_clear(sub);
  sub->mc_flags = C_SUB | C_LONGLIVED | (mc->mc_flags & (C_ORIG_RDONLY | C_WRITEMAP));
  mx->mx_dbx.md_name = ORV_val{0, nullptr};
  mx->mx_dbx.md_cmp = mc->mc_dbx->md_dcmp;
  mx->mx_dbx.md_dcmp = nullptr;
  mx->mx_dbx.md_rel = mc->mc_dbx->md_rel;
  mx->mx_dbx.md_relctx = mc->mc_dbx->md_relctx;
  mx->mx_dbflag = 0;
  mx->mx_subpage_size = 0;
  mx->mx_put_total = 0;
  mx->mx_put_pending = 0;
}

void orv_cursor_init_temp(ORV_cursor *mc, ORV_txn *txn, ORV_dbi dbi, ORV_xcursor *mx) {
  // Every field but the page stack, the key buffer and the rank bases:
  // those are written before they are read (the stack up to mc_snum, the
  // buffer behind mc_key, the bases by the state reset below), and they are
  // most of the record. Zero-filled by ranges, so that a field added to the
  // record later starts at zero too.
  const auto zero = [](void *rec, size_t from, size_t to) {
    std::memset(static_cast<std::byte *>(rec) + from, 0, to - from);
  };
  for (ORV_cursor *c : {mc, mx != nullptr ? &mx->mx_cursor : nullptr}) {
    if (c == nullptr) continue;
    zero(c, 0, offsetof(ORV_cursor, mc_pg));
    zero(c, offsetof(ORV_cursor, mc_key), offsetof(ORV_cursor, mc_keybuf));
    zero(c, offsetof(ORV_cursor, mc_keypg), offsetof(ORV_cursor, mc_rank_base));
    zero(c, offsetof(ORV_cursor, mc_rank), sizeof(ORV_cursor));
  }
  if (mx != nullptr) zero(mx, sizeof(ORV_cursor), sizeof(ORV_xcursor));
  orv_cursor_init(mc, txn, dbi, mx);
}

void orv_cursor_init(ORV_cursor *mc, ORV_txn *txn, ORV_dbi dbi, ORV_xcursor *mx) {
  mc->mc_next = nullptr;
  mc->mc_backup = nullptr;
  mc->mc_dbi = dbi;
  mc->mc_txn = txn;
  mc->mc_db = &txn->mt_dbs[dbi];
  mc->mc_dbx = &txn->mt_dbxs[dbi];
  mc->mc_dbflag = &txn->mt_dbflags[dbi];
  cursor_state_clear(mc);
  mc->mc_flags = txn_cursor_flags(txn) | (mc->mc_flags & C_LONGLIVED);
  if (mc->mc_db->md_flags & ORV_DUPSORT) orv_assert(txn->mt_env, mx != NULL);
  mc->mc_xcursor = mx;
  if (mx != nullptr) orv_xcursor_init0(mc);
  // Refresh a stale record now, so that mc_db is current for the caller;
  // a failure shows again at the cursor's first real descent.
  if (*mc->mc_dbflag & DB_STALE) (void)orv_page_search(mc, nullptr, ORV_PS_ROOTONLY);
}

void orv_cursor_copy_path(const ORV_cursor *src, ORV_cursor *dst) {
  dst->mc_txn = src->mc_txn;
  dst->mc_dbi = src->mc_dbi;
  dst->mc_db = src->mc_db;
  dst->mc_dbx = src->mc_dbx;
  dst->mc_dbflag = src->mc_dbflag;
  dst->mc_snum = src->mc_snum;
  dst->mc_top = src->mc_top;
  dst->mc_flags = src->mc_flags;
  for (unsigned i = 0; i < src->mc_snum; ++i) {
    dst->mc_pg[i] = src->mc_pg[i];
    dst->mc_ki[i] = src->mc_ki[i];
  }
}

void orv_cursor_copy(const ORV_cursor *src, ORV_cursor *dst) {
  orv_cursor_copy_path(src, dst);
  if (src->mc_snum == 0) {
    dst->mc_pg[0] = nullptr;
    dst->mc_ki[0] = 0;
  }

  dst->mc_keypg = src->mc_keypg;
  dst->mc_keyslot = src->mc_keyslot;
  dst->mc_prevpg = src->mc_prevpg;
  dst->mc_prevslot = src->mc_prevslot;
  dst->mc_keyshared = src->mc_keyshared;
  dst->mc_vint_val = src->mc_vint_val;
  dst->mc_vint_len = src->mc_vint_len;
  dst->mc_vint_slot = src->mc_vint_slot;
  dst->mc_vint_pg = src->mc_vint_pg;
  dst->mc_vint_valid = src->mc_vint_valid;
  // The key bytes move into dst's own buffer, so they survive src.
  dst->mc_key.mv_data = dst->mc_keybuf;
  if (src->mc_key.mv_size >= 1 && src->mc_key.mv_size <= ORV_KEYBUF_MAX &&
      src->mc_key.mv_data != nullptr) {
    std::memmove(dst->mc_keybuf, src->mc_key.mv_data, src->mc_key.mv_size);
    dst->mc_key.mv_size = src->mc_key.mv_size;
    dst->mc_keyreuse = src->mc_keyreuse;
  } else {
    dst->mc_key.mv_size = 0;
    dst->mc_keyreuse = 0;
  }
  dst->mc_srch_key = nullptr;
  dst->mc_srch_len = 0;
  dst->mc_srch_shared = 0;
  dst->mc_srch_pg = P_INVALID;

  std::memcpy(dst->mc_rank_base, src->mc_rank_base, sizeof dst->mc_rank_base);
  dst->mc_rank = src->mc_rank;
  dst->mc_rank_dup = src->mc_rank_dup;

  if (txn_is_rdonly(src->mc_txn) && (src->mc_flags & C_LONGLIVED) && src->mc_pkc_pg != P_INVALID &&
      src->mc_pkc_keys != nullptr)
    pkc_copy(src, dst);
  else
    orv_pkc_clear(dst);
}

// ---- Tracked cursors -------------------------------------------------------------------

void orv_cursor_link(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  if (txn->mt_cursors == nullptr) return;
  mc->mc_next = txn->mt_cursors[mc->mc_dbi];
  txn->mt_cursors[mc->mc_dbi] = mc;
}

void orv_cursor_unlink(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  if (txn->mt_cursors == nullptr) return;
  for (ORV_cursor **pp = &txn->mt_cursors[mc->mc_dbi]; *pp != nullptr; pp = &(*pp)->mc_next) {
    if (*pp == mc) {
      *pp = mc->mc_next;
      break;
    }
  }
  mc->mc_next = nullptr;
}

ORV_cursor_tracker::ORV_cursor_tracker(ORV_cursor *mc) {
  if (mc->mc_txn->mt_cursors == nullptr) return;
  linked_ = mc;
  if (mc->mc_flags & C_SUB) {
    // Walks over a duplicate tree visit the sub-cursors of listed cursors:
    // list a positioned owner whose sub-cursor is mc.
    std::memset(static_cast<void *>(&placeholder_), 0, sizeof placeholder_);
    placeholder_.mc_txn = mc->mc_txn;
    placeholder_.mc_dbi = mc->mc_dbi;
    placeholder_.mc_flags = C_INITIALIZED;
    placeholder_.mc_xcursor = reinterpret_cast<ORV_xcursor *>(mc);
    linked_ = &placeholder_;
  }
  orv_cursor_link(linked_);
}

void orv_xcursor_repoint(ORV_cursor *mc, unsigned level) {
  ORV_xcursor *mx = mc->mc_xcursor;
  if (!mx || !(mx->mx_cursor.mc_flags & C_INITIALIZED) || level >= mc->mc_snum) return;
  ORV_page *mp = mc->mc_pg[level];
  unsigned ki = mc->mc_ki[level];
  if (!is_leaf(mp) || is_leaf2(mp) || ki >= numkeys(mp)) return;
  ORV_node *node = node_ptr(mp, ki);
  if ((node->mn_flags & (F_DUPDATA | F_SUBDATA)) == F_DUPDATA) {
    auto *sp = static_cast<ORV_page *>(node_data(node));
    mx->mx_cursor.mc_pg[0] = sp;
    // A descent of the sub-cursor recognises its root by this number.
    mx->mx_db.md_root = sp->mp_pgno;
  }
}

// ---- Exported ------------------------------------------------------------------------

extern "C" ORV_API int orv_cursor_open(ORV_txn *txn, ORV_dbi dbi, ORV_cursor **ret) noexcept {
  // A closed handle is not refused here: the cursor's first descent answers
  // ORV_BAD_DBI (the record cannot be refreshed).
  if (ret == nullptr || txn == nullptr) return EINVAL;
  if (dbi >= txn->mt_dbcount || !(txn->mt_dbflags[dbi] & DB_VALID)) return EINVAL;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  if (dbi == FREE_DBI && !txn_is_rdonly(txn)) return EINVAL;

  void *block = std::calloc(1, sizeof(ORV_cursor) + sizeof(ORV_xcursor));
  if (block == nullptr) return ENOMEM;
  auto *mc = static_cast<ORV_cursor *>(block);
  auto *mx = reinterpret_cast<ORV_xcursor *>(mc + 1);
  mc->mc_flags = C_LONGLIVED;
  orv_cursor_init(mc, txn, dbi, mx);
  mc->mc_flags |= C_LONGLIVED;
  if (txn->mt_cursors != nullptr) {
    orv_cursor_link(mc);
    mc->mc_flags |= C_UNTRACK;
  }
  *ret = mc;
  return 0;
}

extern "C" ORV_API int orv_cursor_renew(ORV_txn *txn, ORV_cursor *mc) noexcept {
  if (txn == nullptr || mc == nullptr) return EINVAL;
  if (mc->mc_dbi >= txn->mt_dbcount || !(txn->mt_dbflags[mc->mc_dbi] & DB_VALID)) return EINVAL;
  if ((mc->mc_flags & C_UNTRACK) || txn->mt_cursors != nullptr || !txn_is_rdonly(txn))
    return EINVAL;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  orv_cursor_init(mc, txn, mc->mc_dbi, mc->mc_xcursor);
  return 0;
}

extern "C" ORV_API void orv_cursor_close(ORV_cursor *mc) noexcept {
  if (mc == nullptr || mc->mc_backup != nullptr) return;
  // Only a tracked cursor may look at its transaction: a read-only cursor
  // can outlive the transaction it was last bound to.
  if (mc->mc_flags & C_UNTRACK) orv_cursor_unlink(mc);
  orv_pkc_free(mc);
  if (mc->mc_xcursor != nullptr) orv_pkc_free(&mc->mc_xcursor->mx_cursor);
  std::free(mc);
}

extern "C" ORV_API ORV_txn *orv_cursor_txn(ORV_cursor *mc) noexcept {
  return mc != nullptr ? mc->mc_txn : nullptr;
}

extern "C" ORV_API ORV_dbi orv_cursor_dbi(ORV_cursor *mc) noexcept { return mc->mc_dbi; }

extern "C" ORV_API int orv_cursor_count(ORV_cursor *mc, uint64_t *countp) noexcept {
  if (mc == nullptr || countp == nullptr) return EINVAL;
  if (mc->mc_xcursor == nullptr || !(mc->mc_db->md_flags & ORV_DUPSORT)) return ORV_INCOMPATIBLE;
  if (int rc = orv_txn_state_check(mc->mc_txn); rc != 0) return rc;
  if (!(mc->mc_flags & C_INITIALIZED)) return EINVAL;
  if (mc->mc_snum == 0) return ORV_NOTFOUND;
  ORV_page *mp = cursor_page(mc);
  const unsigned nkeys = numkeys(mp);
  if (mc->mc_flags & C_EOF) {
    if (cursor_slot(mc) >= nkeys) return ORV_NOTFOUND;
    mc->mc_flags &= ~C_EOF;
  }
  // The slot may be past the end after deletions at the page's tail.
  if (cursor_slot(mc) >= nkeys) return ORV_NOTFOUND;
  const ORV_node *node = node_ptr(mp, cursor_slot(mc));
  if (!(node->mn_flags & F_DUPDATA)) {
    *countp = 1;
    return 0;
  }
  const ORV_xcursor *mx = mc->mc_xcursor;
  if (!(mx->mx_cursor.mc_flags & C_INITIALIZED)) return EINVAL;
  *countp = mx->mx_db.md_entries;
  return 0;
}
