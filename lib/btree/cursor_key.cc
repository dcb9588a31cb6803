// Key materialisation: orv_cursor_read_key and the page key cache.
//
// Keys are stored whole in branch nodes and ordinary leaves, at fixed
// offsets on P_LEAF2 pages, and on leaves of prefix-compressed databases
// (every slot but 0) as varint(p) | suffix, p being the prefix shared with
// the page's first key (slot 0, stored whole). A compressed key is rebuilt:
//  - on a step to the next or previous slot (C_SEQNEXT; also a step back
//    onto the last slot of the page before), straight into mc_keybuf; when
//    the buffer still holds the neighbouring slot's key, its first
//    mc_keyshared bytes already equal the first key's and are not copied
//    again. One-byte varints are read in place; longer ones go through the
//    varint cache (mc_vint_*), which names the page and slot they belong to;
//  - for a long-lived cursor of a read-only transaction, once per slot into
//    the page key cache, which later reads of the same page reuse;
//  - otherwise through the codec's decoder into mc_keybuf.
//
// Invariant: mc_keyreuse == 1 only while mc_keybuf holds the key of
// (mc_keypg, mc_keyslot) and mc_keyshared is the number of its leading bytes
// known to equal the page's first key.
//
// A stored key that is not in canonical form (non-minimal varint, prefix not
// maximal, prefix longer than the first key) is the key itself, as the
// decoder reads it; every path here agrees with that.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"

namespace {

inline constexpr uint32_t PKC_MIN_SLOTS = 16;
inline constexpr uint64_t PKC_MIN_STORE = 256;

const uint8_t *u8(const void *p) { return static_cast<const uint8_t *>(p); }

// Whether stored bytes with varint (v, vlen) are the canonical compressed
// form of a key against first.
inline bool canonical(const ORV_val &first, const uint8_t *stored, size_t len, uint64_t v,
                      unsigned vlen) {
  return orv_prefix_canonical(u8(first.mv_data), first.mv_size, stored, len, v, vlen);
}

// Copies n bytes, sizeof(T) <= n <= 2 * sizeof(T), with two overlapping
// moves of sizeof(T) bytes.
template <typename T>
inline void copy_overlapping(char *dst, const uint8_t *src, size_t n) {
  T head, tail;
  std::memcpy(&head, src, sizeof(T));
  std::memcpy(&tail, src + n - sizeof(T), sizeof(T));
  std::memcpy(dst, &head, sizeof(T));
  std::memcpy(dst + n - sizeof(T), &tail, sizeof(T));
}

// Copies n bytes of a key piece from a page into a cursor's key buffer.
// The pieces are short and a library call per piece costs about as much as
// the copy itself, so: 16-byte moves, the last one overlapping the one
// before; small pieces by two overlapping moves. Only [src, src + n) is read.
inline void key_piece_copy(char *dst, const uint8_t *src, size_t n) {
  if (n >= 16) {
    for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(dst + i, src + i, 16);
    std::memcpy(dst + n - 16, src + n - 16, 16);
  } else if (n >= 8) {
    copy_overlapping<uint64_t>(dst, src, n);
  } else if (n >= 4) {
    copy_overlapping<uint32_t>(dst, src, n);
  } else if (n > 0) {
    dst[0] = static_cast<char>(src[0]);
    dst[n / 2] = static_cast<char>(src[n / 2]);
    dst[n - 1] = static_cast<char>(src[n - 1]);
  }
}

// Copies a key's suffix (n bytes at src, on page mp) to mc_keybuf + at.
// Suffix lengths vary from key to key, and a copy that branches on the
// length mispredicts on most steps of a walk, which costs more than the
// copy. So where the page and the buffer leave room, every suffix of up to
// 64 bytes is moved as four 16-byte blocks: the bytes past the suffix land
// past the key's end in the buffer, where nothing reads them. Only whole
// pages bound the reading: a sub-page lies inside another page's node.
inline void key_suffix_copy(ORV_cursor *mc, const ORV_page *mp, const uint8_t *src, size_t n,
                            size_t at) {
  char *dst = mc->mc_keybuf + at;
  if (n <= 64 && at + 64 <= sizeof mc->mc_keybuf && !is_subp(mp)) {
    const auto *page_end = reinterpret_cast<const uint8_t *>(mp) + cursor_env(mc)->me_psize;
    if (page_end - src >= 64) {
      for (size_t i = 0; i < 64; i += 16) std::memcpy(dst + i, src + i, 16);
      return;
    }
  }
  key_piece_copy(dst, src, n);
}

void varint_cache_clear(ORV_cursor *mc) {
  mc->mc_vint_valid = 0;
  mc->mc_vint_pg = P_INVALID;
  mc->mc_vint_slot = ORV_NO_SLOT;
  mc->mc_vint_val = 0;
  mc->mc_vint_len = 0;
}

template <typename T>
bool grow(T **arr, uint32_t *cap, uint32_t need) {
  return orv_buf_grow(arr, cap, need, PKC_MIN_SLOTS) == 0;
}

// Longest full key of a page, which sizes the cache's slots.
uint64_t page_longest_key(const ORV_cursor *mc, ORV_page *mp) {
  if (is_leaf2(mp)) return mc->mc_db->md_pad;
  const unsigned n = numkeys(mp);
  const bool prefixed = is_leaf(mp) && (mc->mc_db->md_flags & ORV_PREFIXKEY);
  if (prefixed && mp->mp_pad != 0) return mp->mp_pad;
  uint64_t longest = 0;
  const ORV_val first = n > 0 ? orv_page_first_key(mp) : ORV_val{0, nullptr};
  const size_t psize = orv_prefix_psize(mc, mp);
  for (unsigned j = 0; j < n; ++j) {
    // A slot outside the page sizes nothing; reading its key fails later.
    if (!orv_node_in_page(mp, psize, j, false)) continue;
    const ORV_val stored = orv_slot_key(mp, j);
    const uint64_t full = prefixed && j > 0
                              ? orv_prefix_slot_len(&first, stored.mv_data, stored.mv_size)
                              : stored.mv_size;
    if (full > longest) longest = full;
  }
  return longest;
}

}  // namespace

// Makes the page key cache describe mp (keeping it when it already does).
int orv_pkc_prepare(ORV_cursor *mc, ORV_page *mp) {
  const unsigned n = numkeys(mp);
  ORV_page *subpage = is_subp(mp) ? mp : nullptr;
  if (mc->mc_pkc_pg == mp->mp_pgno && mc->mc_pkc_txnid == mc->mc_txn->mt_txnid &&
      mc->mc_pkc_nslots == n && mc->mc_pkc_subpage == subpage)
    return 0;
  orv_pkc_clear(mc);
  if (!grow(&mc->mc_pkc_keys, &mc->mc_pkc_keys_cap, n) ||
      !grow(&mc->mc_pkc_done, &mc->mc_pkc_done_cap, n))
    return ENOMEM;
  uint64_t slotsize = page_longest_key(mc, mp);
  if (slotsize > ORV_KEYBUF_MAX) slotsize = ORV_KEYBUF_MAX;
  if (slotsize == 0) slotsize = ORV_KEYBUF_MAX;
  if (n > 0) {
    std::memset(mc->mc_pkc_done, 0, n);
    std::memset(static_cast<void *>(mc->mc_pkc_keys), 0, sizeof(ORV_val) * n);
  }
  mc->mc_pkc_slotsize = slotsize;
  mc->mc_pkc_nslots = n;
  mc->mc_pkc_pg = mp->mp_pgno;
  mc->mc_pkc_txnid = mc->mc_txn->mt_txnid;
  mc->mc_pkc_subpage = subpage;
  return 0;
}

namespace {

// Gives every slot of the prepared cache its share of the store.
int pkc_layout(ORV_cursor *mc) {
  if (mc->mc_pkc_ready) return 0;
  const uint64_t bytes = uint64_t{mc->mc_pkc_nslots} * mc->mc_pkc_slotsize;
  if (int rc = orv_buf_grow(&mc->mc_pkc_store, &mc->mc_pkc_store_cap, bytes, PKC_MIN_STORE);
      rc != 0)
    return rc;
  for (uint32_t j = 0; j < mc->mc_pkc_nslots; ++j)
    mc->mc_pkc_keys[j] = ORV_val{0, mc->mc_pkc_store + j * mc->mc_pkc_slotsize};
  mc->mc_pkc_ready = 1;
  return 0;
}

// Decodes slot i through the page key cache. Returns 0 with *key_out set,
// or non-zero when the cache cannot serve this slot (the caller decodes
// into the key buffer instead).
int pkc_read(ORV_cursor *mc, ORV_page *mp, unsigned i, const ORV_val &first, const void *stored,
             size_t len, const ORV_prefix_hint *hint, ORV_val *key_out) {
  if (orv_pkc_prepare(mc, mp) != 0 || i >= mc->mc_pkc_nslots || pkc_layout(mc) != 0) return ENOMEM;
  ORV_val *slot = &mc->mc_pkc_keys[i];
  if (!mc->mc_pkc_done[i]) {
    if (int rc = orv_prefix_key_decode(&first, stored, len, slot, slot->mv_data,
                                       mc->mc_pkc_slotsize, hint);
        rc != 0)
      return rc;
    mc->mc_pkc_done[i] = 1;
  }
  *key_out = *slot;
  return 0;
}

// Rebuilds into mc_keybuf the key of slot i > 0 of a prefix-compressed leaf
// reached by a step, from its stored bytes (len of them, the varint (v,
// vlen) already read and canonical against first). The buffer's first
// mc_keyshared bytes equal the first key's when it holds a neighbour of
// this slot on the same page (the step came from there, forward or
// backward): only the rest of the shared prefix is copied, then the suffix.
inline void rebuild_stepped_key(ORV_cursor *mc, ORV_page *mp, unsigned i, const ORV_val &first,
                                const uint8_t *stored, size_t len, uint64_t v, unsigned vlen,
                                ORV_val *key_out) {
  size_t keep = 0;
  // mc_keyslot is i - 1 or i + 1 exactly when mc_keyslot + 1 - i is 0 or 2.
  if (mc->mc_keyreuse && mc->mc_keypg == mp->mp_pgno && ((mc->mc_keyslot + 1u - i) & ~2u) == 0)
    keep = mc->mc_keyshared < v ? mc->mc_keyshared : v;
  if (v > keep) key_piece_copy(mc->mc_keybuf + keep, u8(first.mv_data) + keep, v - keep);
  const size_t suffix = len - vlen;
  key_suffix_copy(mc, mp, stored + vlen, suffix, v);
  // Both copies are written from the same registers: reading mc_key back
  // right after its two 8-byte stores would stall the load.
  const ORV_val key{v + suffix, mc->mc_keybuf};
  mc->mc_key = key;
  mc->mc_keypg = mp->mp_pgno;
  mc->mc_keyslot = static_cast<indx_t>(i);
  mc->mc_keyshared = v;
  mc->mc_keyreuse = 1;
  *key_out = key;
}

// The step path for a key whose varint takes more than one byte (a shared
// prefix of 128 bytes or more): such varints are decoded once and kept in
// the varint cache (mc_vint_*), which names their page and slot. False when
// the key needs the general path.
[[gnu::noinline]] bool read_stepped_long_key(ORV_cursor *mc, ORV_page *mp, unsigned i,
                                             const uint8_t *stored, size_t len, ORV_val *key_out) {
  uint64_t v;
  unsigned vlen;
  if (mc->mc_vint_valid && mc->mc_vint_pg == mp->mp_pgno && mc->mc_vint_slot == i) {
    v = mc->mc_vint_val;
    vlen = static_cast<unsigned>(mc->mc_vint_len);
  } else {
    vlen = orv_prefix_varint_read(stored, len, &v);
    if (vlen == 0) return false;
    mc->mc_vint_val = v;
    mc->mc_vint_len = vlen;
    mc->mc_vint_pg = mp->mp_pgno;
    mc->mc_vint_slot = static_cast<indx_t>(i);
    mc->mc_vint_valid = 1;
  }
  const ORV_val first = orv_page_first_key(mp);
  if (!canonical(first, stored, len, v, vlen) || v + (len - vlen) > ORV_KEYBUF_MAX) return false;
  rebuild_stepped_key(mc, mp, i, first, stored, len, v, vlen, key_out);
  return true;
}

// Slot i > 0 of a prefix-compressed leaf, reached by a step from a
// neighbouring slot (C_SEQNEXT): decoded straight into mc_keybuf. False
// when the stored key needs the general path (a varint that does not end,
// a form other than canonical, a key longer than the buffer). The common
// case, a one-byte varint, is all inline.
inline bool read_stepped_key(ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_val *key_out) {
  const ORV_node *node = node_ptr(mp, i);
  const uint8_t *stored = u8(node_key(node, NODESIZE));
  const size_t len = node_ksize(node);
  if (len == 0) return false;
  const uint64_t v = stored[0];
  if (v >= 0x80) return read_stepped_long_key(mc, mp, i, stored, len, key_out);
  // Canonical with a one-byte varint, and the whole key must fit the buffer.
  const ORV_val first = orv_page_first_key(mp);
  if (!canonical(first, stored, len, v, 1) || len - 1 + v > ORV_KEYBUF_MAX) return false;
  rebuild_stepped_key(mc, mp, i, first, stored, len, v, 1, key_out);
  return true;
}

// Slot i > 0 of a prefix-compressed leaf, any way: through the page key
// cache for long-lived cursors of read-only transactions (not on a step),
// else decoded into mc_keybuf. Kept out of line so that the step path
// stays small.
[[gnu::noinline]] int read_prefixed_key(ORV_cursor *mc, ORV_page *mp, unsigned i,
                                        ORV_val *key_out) {
  const ORV_val first = orv_page_first_key(mp);
  const ORV_node *node = node_ptr(mp, i);
  const uint8_t *stored = u8(node_key(node, NODESIZE));
  const size_t len = node_ksize(node);
  uint64_t v = 0;
  const unsigned vlen = orv_prefix_varint_read(stored, len, &v);
  ORV_prefix_hint hint{v, vlen};
  const ORV_prefix_hint *hintp = vlen != 0 ? &hint : nullptr;
  const uint64_t shared = canonical(first, stored, len, v, vlen) ? v : 0;

  if (txn_is_rdonly(mc->mc_txn) && (mc->mc_flags & C_LONGLIVED) && !(mc->mc_flags & C_SEQNEXT)) {
    int rc = pkc_read(mc, mp, i, first, stored, len, hintp, key_out);
    if (rc == 0) {
      mc->mc_keyshared = shared;
      // The buffer no longer pairs with mc_keyshared.
      mc->mc_keyreuse = 0;
      return 0;
    }
    if (rc == ORV_CORRUPTED) return rc;
    // No room in the cache (a stale longest-key figure or no memory): the
    // key buffer always fits a valid key.
  }
  ORV_val out;
  if (int rc =
          orv_prefix_key_decode(&first, stored, len, &out, mc->mc_keybuf, ORV_KEYBUF_MAX, hintp);
      rc != 0)
    return rc;
  mc->mc_key = out;
  mc->mc_keypg = mp->mp_pgno;
  mc->mc_keyslot = static_cast<indx_t>(i);
  mc->mc_keyshared = shared;
  varint_cache_clear(mc);
  mc->mc_keyreuse = 1;
  *key_out = out;
  return 0;
}

}  // namespace

int orv_cursor_read_key(ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_val *key_out) {
  if (key_out == nullptr) return 0;
  if (is_leaf2(mp)) {
    key_out->mv_size = mp->mp_pad;
    key_out->mv_data = leaf2_key(mp, i, mp->mp_pad);
    return 0;
  }
  // A key reaching past its page is a damaged node, never a key to hand out.
  const size_t psize = orv_prefix_psize(mc, mp);
  if (!orv_node_key_ok(mp, mp_ptrs(mp)[i], psize - node_hdrsz(mp))) [[unlikely]]
    return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
  ORV_node *node = node_ptr(mp, i);
  if (is_branch(mp)) {
    key_out->mv_size = node_ksize(node);
    key_out->mv_data = node_key(node, node_hdrsz(mp));
    return 0;
  }
  const bool prefixed = mc->mc_db->md_flags & ORV_PREFIXKEY;
  if (prefixed && i > 0) {
    // The key is decoded against slot 0's.
    if (!orv_node_key_ok(mp, mp_ptrs(mp)[0], psize - NODESIZE)) [[unlikely]]
      return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
    if ((mc->mc_flags & C_SEQNEXT) && read_stepped_key(mc, mp, i, key_out)) return 0;
    // A stored key that cannot be read is a damaged page: the transaction
    // cannot trust anything it reads or writes from here on.
    const int rc = read_prefixed_key(mc, mp, i, key_out);
    if (rc == ORV_CORRUPTED) return orv_txn_fail(mc->mc_txn, rc);
    return rc;
  }
  // Slot 0 of a prefix-compressed page is stored whole, like every key of
  // an ordinary leaf.
  const ORV_val stored{node_ksize(node), node_key(node, NODESIZE)};
  *key_out = stored;
  if (prefixed) {
    mc->mc_key = stored;
    mc->mc_keypg = mp->mp_pgno;
    mc->mc_keyslot = 0;
  }
  mc->mc_keyshared = 0;
  varint_cache_clear(mc);
  mc->mc_keyreuse = 0;
  return 0;
}
