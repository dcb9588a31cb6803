// orv_cursor_list_dup: every value of the key under a cursor in one call.
//
// The array handed out and the bytes it points to live in the sub-cursor's
// page key cache buffers (or, for fixed-size values, in the pages), so they
// stay valid until the next operation on the cursor, the next write of the
// transaction, or its end. A sub-page is listed from the page key cache,
// each value decoded (or copied) at most once; a sub-database is walked
// once by the sub-cursor, which is put back where it stood.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

inline constexpr uint32_t kMinEntries = 16;
inline constexpr uint64_t kMinStore = 256;
inline constexpr uint64_t kBytesPerValue = 64;

// Gives every slot of the prepared cache its share of the store.
int pkc_lay_out(ORV_cursor *sub) {
  if (sub->mc_pkc_ready) return 0;
  const uint64_t bytes = uint64_t{sub->mc_pkc_nslots} * sub->mc_pkc_slotsize;
  if (int rc = orv_buf_grow(&sub->mc_pkc_store, &sub->mc_pkc_store_cap, bytes, kMinStore); rc != 0)
    return rc;
  for (uint32_t j = 0; j < sub->mc_pkc_nslots; ++j)
    sub->mc_pkc_keys[j] = ORV_val{0, sub->mc_pkc_store + j * sub->mc_pkc_slotsize};
  sub->mc_pkc_ready = 1;
  return 0;
}

// Fills the cache entries of a non-fixed-size sub-page. ORV_BAD_VALSIZE
// when a value does not fit the slot size.
int fill_subpage(ORV_cursor *sub, ORV_page *sp, bool prefixed) {
  if (int rc = pkc_lay_out(sub); rc != 0) return rc;
  const unsigned n = numkeys(sp);
  const size_t cap = sub->mc_pkc_slotsize;
  ORV_val *e = sub->mc_pkc_keys;
  if (!sub->mc_pkc_done[0]) {
    const ORV_val first = orv_page_first_key(sp);
    if (first.mv_size > cap) return ORV_BAD_VALSIZE;
    if (first.mv_size) std::memcpy(e[0].mv_data, first.mv_data, first.mv_size);
    e[0].mv_size = first.mv_size;
    sub->mc_pkc_done[0] = 1;
  }
  for (unsigned i = 1; i < n; i++) {
    if (sub->mc_pkc_done[i]) continue;
    const ORV_val stored = orv_slot_key(sp, i);
    if (prefixed) {
      if (int rc = orv_prefix_key_decode(&e[0], stored.mv_data, stored.mv_size, &e[i], e[i].mv_data,
                                         cap, nullptr);
          rc != 0)
        return rc;
    } else {
      if (stored.mv_size > cap) return ORV_BAD_VALSIZE;
      if (stored.mv_size) std::memcpy(e[i].mv_data, stored.mv_data, stored.mv_size);
      e[i].mv_size = stored.mv_size;
    }
    sub->mc_pkc_done[i] = 1;
  }
  return 0;
}

int list_subpage(ORV_cursor *mc, ORV_val **vals_out, uint64_t *count_out) {
  ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
  if (!(sub->mc_flags & C_INITIALIZED) || sub->mc_snum == 0) return EINVAL;
  ORV_page *sp = sub->mc_pg[0];
  if (sp == nullptr) return ORV_CORRUPTED;
  // A write transaction changes sub-pages in place: what the cache holds
  // may be an earlier state of this very sub-page.
  if (!txn_is_rdonly(mc->mc_txn)) orv_pkc_clear(sub);
  if (int rc = orv_pkc_prepare(sub, sp); rc != 0) return rc;
  const unsigned n = numkeys(sp);
  if (is_leaf2(sp)) {
    for (unsigned i = 0; i < n; i++) {
      sub->mc_pkc_keys[i] = ORV_val{sp->mp_pad, leaf2_key(sp, i, sp->mp_pad)};
      sub->mc_pkc_done[i] = 1;
    }
  } else {
    const bool prefixed = sub->mc_db->md_flags & ORV_PREFIXKEY;
    int rc = fill_subpage(sub, sp, prefixed);
    if (rc == ORV_BAD_VALSIZE && sub->mc_pkc_slotsize < ORV_KEYBUF_MAX) {
      // The longest-value figure of the sub-page was short: every slot
      // gets the room of the longest possible value.
      sub->mc_pkc_slotsize = ORV_KEYBUF_MAX;
      sub->mc_pkc_ready = 0;
      std::memset(sub->mc_pkc_done, 0, n);
      rc = fill_subpage(sub, sp, prefixed);
    }
    if (rc != 0) {
      orv_pkc_clear(sub);
      return rc;
    }
  }
  *vals_out = n > 0 ? sub->mc_pkc_keys : nullptr;
  *count_out = n;
  return 0;
}

// Walks the sub-database and collects its values into the sub-cursor's
// buffers. The sub-cursor's position is restored by the caller.
int collect_subdb(ORV_cursor *sub, uint64_t n, uint64_t *count_out) {
  orv_pkc_clear(sub);
  if (n > UINT32_MAX) return ENOMEM;
  if (int rc = orv_buf_grow(&sub->mc_pkc_keys, &sub->mc_pkc_keys_cap, n, kMinEntries); rc != 0)
    return rc;
  ORV_val v;
  int rc = orv_cursor_first(sub, &v, nullptr);
  if (rc != 0) return rc;
  const bool fixed = is_leaf2(cursor_page(sub));
  uint64_t count = 0, total = 0;
  if (!fixed) {
    const uint64_t want = n * kBytesPerValue;
    if (rc = orv_buf_grow(&sub->mc_pkc_store, &sub->mc_pkc_store_cap, want, kMinStore); rc != 0)
      return rc;
  }
  for (;;) {
    if (fixed) {
      sub->mc_pkc_keys[count] = v;
    } else {
      if (rc = orv_buf_grow(&sub->mc_pkc_store, &sub->mc_pkc_store_cap, total + v.mv_size,
                            kMinStore);
          rc != 0)
        return rc;
      if (v.mv_size) std::memcpy(sub->mc_pkc_store + total, v.mv_data, v.mv_size);
      // Addresses are fixed once the store has stopped growing.
      sub->mc_pkc_keys[count] = ORV_val{v.mv_size, nullptr};
      total += v.mv_size;
    }
    if (++count >= n) break;
    rc = orv_cursor_next(sub, &v, nullptr, ORV_NEXT);
    if (rc == ORV_NOTFOUND) break;
    if (rc != 0) return rc;
  }
  if (!fixed) {
    uint64_t at = 0;
    for (uint64_t i = 0; i < count; i++) {
      sub->mc_pkc_keys[i].mv_data = sub->mc_pkc_store + at;
      at += sub->mc_pkc_keys[i].mv_size;
    }
  }
  *count_out = count;
  return 0;
}

int list_subdb(ORV_cursor *mc, ORV_val **vals_out, uint64_t *count_out) {
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  const uint64_t n = mx->mx_db.md_entries;
  if (n == 0) {
    *vals_out = nullptr;
    *count_out = 0;
    return 0;
  }
  const uint16_t snum = sub->mc_snum, top = sub->mc_top;
  const uint32_t flags = sub->mc_flags;
  const unsigned levels = snum < ORV_CURSOR_STACK ? snum : ORV_CURSOR_STACK;
  ORV_page *pg[ORV_CURSOR_STACK];
  indx_t ki[ORV_CURSOR_STACK];
  for (unsigned i = 0; i < levels; i++) {
    pg[i] = sub->mc_pg[i];
    ki[i] = sub->mc_ki[i];
  }
  // The walk must not decode through the page key cache, whose buffers
  // receive the list.
  sub->mc_flags &= ~C_LONGLIVED;
  uint64_t count = 0;
  const int rc = collect_subdb(sub, n, &count);
  sub->mc_snum = snum;
  sub->mc_top = top;
  sub->mc_flags = flags;
  for (unsigned i = 0; i < levels; i++) {
    sub->mc_pg[i] = pg[i];
    sub->mc_ki[i] = ki[i];
  }
  orv_cursor_keys_reset(sub);
  if (rc != 0) {
    orv_pkc_clear(sub);
    return rc;
  }
  sub->mc_pkc_nslots = static_cast<uint32_t>(count);
  *vals_out = count > 0 ? sub->mc_pkc_keys : nullptr;
  *count_out = count;
  return 0;
}

}  // namespace

extern "C" ORV_API int orv_cursor_list_dup(ORV_cursor *mc, ORV_val **vals,
                                           uint64_t *count) noexcept {
  if (mc == nullptr || vals == nullptr || count == nullptr) return EINVAL;
  if (mc->mc_txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  if (mc->mc_xcursor == nullptr || !(mc->mc_db->md_flags & ORV_DUPSORT)) return ORV_INCOMPATIBLE;
  if (!(mc->mc_flags & C_INITIALIZED) || mc->mc_snum == 0) return ORV_NOTFOUND;
  ORV_page *mp = cursor_page(mc);
  const unsigned nkeys = numkeys(mp);
  if (mc->mc_flags & C_EOF) {
    if (cursor_slot(mc) >= nkeys) return ORV_NOTFOUND;
    mc->mc_flags &= ~C_EOF;
  }
  if (cursor_slot(mc) >= nkeys || is_leaf2(mp)) return ORV_NOTFOUND;
  const ORV_node *node = node_ptr(mp, cursor_slot(mc));
  if (!(node->mn_flags & F_DUPDATA)) return ORV_NOTFOUND;
  ORV_val *out = nullptr;
  uint64_t n = 0;
  const int rc =
      (node->mn_flags & F_SUBDATA) ? list_subdb(mc, &out, &n) : list_subpage(mc, &out, &n);
  if (rc != 0) return rc;
  *vals = out;
  *count = n;
  return 0;
}
