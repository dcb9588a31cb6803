// Prefix-compressed leaf pages, whole-page rewrites: when the first key of a
// page changes (a key inserted below slot 0, slot 0 removed) every other key
// must be re-encoded against the new first key, and a split re-encodes each
// half against its own first key.
//
// Both work on a list of entries, one per node, built by orv_prefix_gather:
//   1. bounds-check every node of the page and work out each key's decoded
//      length (the decoder's rules: a key that is not canonical against the
//      old first key counts as stored whole, an unreadable varint is
//      ORV_CORRUPTED);
//   2. copy the new key to the tail of the decoded-key buffer and the page to
//      the page image buffer, so that the page itself may be overwritten
//      later and the key may have pointed anywhere;
//   3. decode every key into the decoded-key buffer and describe each node
//      (flags, value size, value bytes in the page image).
// orv_prefix_run_size and orv_prefix_page_write then size and write any run
// of entries as one page: the run's first key whole, every other key as
// varint(shared prefix) + rest, nodes in slot order from the end of the page
// downward. The writer checks that the run fits before it writes a byte, so
// a failed rewrite leaves the page as it was. A node whose re-encoded key
// would take it past me_nodemax has its value moved to an overflow run,
// like a value too large for a node on insertion.
//
// All buffers belong to the transaction's scratch area; they grow by
// doubling and are kept for the next rewrite, so a rewrite allocates nothing
// once they are large enough. Only the value of a new key too large for a
// node gets an overflow run, as a plain insertion would.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "page/page.h"

namespace {

inline constexpr uint64_t kPageMin = 4096;
inline constexpr uint32_t kEntriesMin = 64;
inline constexpr uint64_t kKeysMin = 4096;
inline constexpr size_t kStoredKeyMax = 0xFFFF;  // mn_ksize is 16 bits

inline const uint8_t *u8(const void *p) { return static_cast<const uint8_t *>(p); }

bool within(const void *p, const void *base, uint64_t len) {
  return base != nullptr && p >= base && u8(p) < u8(base) + len;
}

// Grows a scratch buffer to at least want bytes, doubling from min.
[[nodiscard]] int grow(void **buf, uint64_t *cap, uint64_t want, uint64_t min) {
  if (*cap >= want) return 0;
  return orv_buf_grow(buf, cap, want, min);
}

[[nodiscard]] int grow_entries(ORV_scratch *s, size_t want) {
  if (s->ms_entries_cap >= want) return 0;
  auto *entries = static_cast<ORV_prefix_entry *>(s->ms_entries);
  if (int rc = orv_buf_grow(&entries, &s->ms_entries_cap, want, kEntriesMin); rc != 0) return rc;
  s->ms_entries = entries;
  return 0;
}

ORV_val key_of(const ORV_prefix_entry &e) {
  return ORV_val{e.pe_klen, const_cast<void *>(e.pe_key)};
}

// Stored length of entry e in a run whose first key is `first` (null: e is
// the first key itself); *shared_out receives the shared prefix.
[[nodiscard]] int stored_len(const ORV_val *first, const ORV_prefix_entry &e, size_t *len_out,
                             size_t *shared_out) {
  size_t shared = 0, len = e.pe_klen;
  if (first != nullptr) {
    const ORV_val k = key_of(e);
    shared = orv_prefix_shared(first, &k);
    len = orv_prefix_key_size(e.pe_klen, shared);
  }
  if (len > kStoredKeyMax) return ORV_BAD_VALSIZE;
  *len_out = len;
  if (shared_out) *shared_out = shared;
  return 0;
}

// Decoded length of slot i > 0 of mp against first, with the old encoding.
[[nodiscard]] int decoded_len(const ORV_val *first, const ORV_node *node, size_t *len_out,
                              ORV_prefix_info *info_out) {
  const void *stored = node_key(node, NODESIZE);
  const size_t len = node->mn_ksize;
  uint64_t p, vlen;
  switch (orv_prefix_key_read(*first, stored, len, &p, &vlen)) {
    case ORV_prefix_form::kCompressed:
      *info_out = ORV_prefix_info{p, vlen, p + (len - vlen)};
      break;
    case ORV_prefix_form::kWhole:
      *info_out = ORV_prefix_info{0, 0, len};
      break;
    case ORV_prefix_form::kCorrupt:
      return ORV_CORRUPTED;
  }
  *len_out = info_out->len;
  return 0;
}

}  // namespace

int orv_prefix_gather(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned skip, unsigned indx,
                      const ORV_val *key, const ORV_val *data, unsigned flags,
                      ORV_prefix_entry **entries_out, unsigned *count_out) {
  ORV_scratch *s = ctx.scratch;
  if (s == nullptr) return EINVAL;
  const size_t psize = orv_page_ctx_psize(ctx, mp);
  if (!orv_prefix_leaf_shape_ok(mp, psize)) return ORV_CORRUPTED;
  const unsigned n = numkeys(mp);
  const unsigned kept = n - (skip < n ? 1 : 0);
  if (key != nullptr) {
    if (indx > kept || data == nullptr) return EINVAL;
    if (data->mv_size > UINT32_MAX) return ORV_BAD_VALSIZE;
    // The value is not copied: it must survive the buffers' use below.
    if (!(flags & ORV_RESERVE) && (within(data->mv_data, s->ms_dkeys, s->ms_dkeys_cap) ||
                                   within(data->mv_data, s->ms_page, s->ms_page_cap)))
      return EINVAL;
  }

  // Pass 1: every node inside the page, and the room the decoded keys need.
  for (unsigned i = 0; i < n; i++)
    if (!orv_node_in_page(mp, psize, i, true)) return ORV_CORRUPTED;
  ORV_val first = n > 0 ? orv_page_first_key(mp) : ORV_val{0, nullptr};
  size_t total = key ? key->mv_size : 0;
  for (unsigned i = 0; i < n; i++) {
    if (i == skip) continue;
    size_t len = first.mv_size;
    ORV_prefix_info info;
    if (i > 0) {
      if (int rc = decoded_len(&first, node_ptr(mp, i), &len, &info); rc != 0) return rc;
    }
    total += len;
  }

  // The new key goes to the tail of the decoded-key buffer before anything
  // is written there; it may live in that very buffer (a key a cursor
  // copied there), so its place is re-derived after the buffer moves.
  const void *kp = key ? key->mv_data : nullptr;
  const bool key_in_dkeys = key && within(kp, s->ms_dkeys, s->ms_dkeys_cap);
  const size_t key_off = key_in_dkeys ? static_cast<size_t>(u8(kp) - u8(s->ms_dkeys)) : 0;
  if (int rc = grow(&s->ms_dkeys, &s->ms_dkeys_cap, total ? total : 1, kKeysMin); rc != 0)
    return rc;
  if (key_in_dkeys) kp = u8(s->ms_dkeys) + key_off;
  auto *dkeys = static_cast<uint8_t *>(s->ms_dkeys);
  const size_t ksize = key ? key->mv_size : 0;
  if (ksize) std::memmove(dkeys + total - ksize, kp, ksize);

  // Decode from a copy of the page so that the caller may rewrite mp.
  const uint64_t page_min = ctx.psize > kPageMin ? ctx.psize : kPageMin;
  if (int rc = grow(&s->ms_page, &s->ms_page_cap, psize, page_min); rc != 0) return rc;
  std::memcpy(s->ms_page, mp, psize);
  const auto *img = static_cast<const ORV_page *>(s->ms_page);
  if (n > 0) first = orv_page_first_key(img);
  const unsigned count = kept + (key ? 1 : 0);
  if (int rc = grow_entries(s, count ? count : 1); rc != 0) return rc;
  auto *entries = static_cast<ORV_prefix_entry *>(s->ms_entries);

  // Pass 2: the entries, in their new order.
  unsigned out = 0;
  size_t at = 0;
  auto put_new = [&] {
    ORV_prefix_entry &e = entries[out++];
    std::memset(&e, 0, sizeof e);
    e.pe_key = dkeys + total - ksize;
    e.pe_klen = static_cast<uint32_t>(ksize);
    e.pe_dsize = static_cast<uint32_t>(data->mv_size);
    e.pe_flags = static_cast<uint16_t>(flags & 0xFFFF);
    e.pe_vlen = (flags & F_BIGDATA) ? sizeof(pgno_t) : e.pe_dsize;
    if (!(flags & ORV_RESERVE) || (flags & F_BIGDATA)) {
      // A value inside the page (a node's own value moving with it) is read
      // from the image, which outlives any rewrite of mp.
      const void *dp = data->mv_data;
      if (within(dp, mp, psize)) dp = u8(img) + (u8(dp) - u8(mp));
      e.pe_data = dp;
    }
    e.pe_new = 1;
    e.pe_oldslot = ~0u;
  };
  for (unsigned i = 0; i < n; i++) {
    if (key && out == indx) put_new();
    if (i == skip) continue;
    const ORV_node *node = node_ptr(img, i);
    ORV_prefix_entry &e = entries[out++];
    std::memset(&e, 0, sizeof e);
    e.pe_stored = node_key(node, NODESIZE);
    e.pe_stored_len = node->mn_ksize;
    e.pe_flags = node->mn_flags;
    e.pe_dsize = static_cast<uint32_t>(node_dsize(node));
    e.pe_vlen = (node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : e.pe_dsize;
    e.pe_data = node_data(node);
    e.pe_oldslot = i;
    ORV_val dk;
    if (i == 0) {
      if (first.mv_size) std::memcpy(dkeys + at, first.mv_data, first.mv_size);
      dk = ORV_val{first.mv_size, dkeys + at};
      e.pe_shared = static_cast<uint32_t>(first.mv_size);
    } else {
      size_t len;
      ORV_prefix_info info;
      if (int rc = decoded_len(&first, node, &len, &info); rc != 0) return rc;
      const ORV_prefix_hint hint{info.shared, info.vlen};
      if (int rc = orv_prefix_key_decode(&first, e.pe_stored, e.pe_stored_len, &dk, dkeys + at, len,
                                         info.vlen ? &hint : nullptr);
          rc != 0)
        return rc;
      e.pe_shared = static_cast<uint32_t>(info.shared);
      e.pe_vint = static_cast<uint32_t>(info.vlen);
    }
    e.pe_key = dk.mv_data;
    e.pe_klen = static_cast<uint32_t>(dk.mv_size);
    at += dk.mv_size;
  }
  if (key && out == indx) put_new();
  *entries_out = entries;
  *count_out = out;
  return 0;
}

int orv_prefix_collect(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned indx,
                       const ORV_val *key, const ORV_val *data, unsigned flags,
                       ORV_prefix_entry **entries_out, unsigned *count_out) {
  return orv_prefix_gather(ctx, mp, ~0u, indx, key, data, flags, entries_out, count_out);
}

namespace {

// orv_prefix_run_size with the node maximum given.
int run_size(size_t nodemax, ORV_prefix_entry *entries, unsigned start, unsigned end,
             size_t *size_out) {
  size_t total = 0;
  if (start < end) {
    const ORV_val first = key_of(entries[start]);
    for (unsigned i = start; i < end; i++) {
      ORV_prefix_entry &e = entries[i];
      size_t len;
      if (int rc = stored_len(i == start ? nullptr : &first, e, &len, nullptr); rc != 0) return rc;
      e.pe_enclen = static_cast<uint32_t>(len);
      const size_t v = orv_prefix_entry_to_overflow(nodemax, e, len) ? sizeof(pgno_t) : e.pe_vlen;
      total += sizeof(indx_t) + leaf_node_size(len, v);
    }
  }
  *size_out = total;
  return 0;
}

}  // namespace

bool orv_prefix_entry_to_overflow(size_t nodemax, const ORV_prefix_entry &e, size_t klen) {
  if (e.pe_flags & F_BIGDATA) return false;
  if ((e.pe_flags & (F_DUPDATA | F_SUBDATA)) == F_DUPDATA) return false;  // sub-page
  return even(klen) + e.pe_dsize + NODESIZE > nodemax;
}

int orv_prefix_run_size(const ORV_page_ctx &ctx, ORV_prefix_entry *entries, unsigned start,
                        unsigned end, size_t *size_out) {
  return run_size(ctx.nodemax, entries, start, end, size_out);
}

int orv_prefix_split_point(const ORV_page_ctx &ctx, ORV_prefix_entry *entries, unsigned count,
                           unsigned *split_inout) {
  if (split_inout == nullptr) return EINVAL;
  if (count <= 1) return 0;
  const size_t room = ctx.psize - PAGEHDRSZ;
  // 0: both halves fit; 1: only the left is too big; 2: the right is.
  auto judge = [&](unsigned j, int *verdict) {
    size_t left, right;
    if (int rc = run_size(ctx.nodemax, entries, 0, j, &left); rc != 0) return rc;
    if (int rc = run_size(ctx.nodemax, entries, j, count, &right); rc != 0) return rc;
    *verdict = right > room ? 2 : left > room ? 1 : 0;
    return 0;
  };
  unsigned proposed = *split_inout;
  if (proposed < 1) proposed = 1;
  if (proposed > count - 1) proposed = count - 1;

  // Walk from the proposal toward the side that is too big.
  unsigned j = proposed;
  for (unsigned round = 0; round <= count; round++) {
    int verdict;
    if (int rc = judge(j, &verdict); rc != 0) return rc;
    if (verdict == 0) {
      *split_inout = j;
      return 0;
    }
    if (verdict == 2 && j < count - 1)
      j++;
    else if (j >= 2)
      j--;
    else
      break;
  }
  // Re-encoding against a new first key makes run sizes uneven, so the walk
  // can miss a split that works; try every index, nearest first, before
  // giving up on the page.
  for (unsigned d = 0; d < count; d++) {
    for (unsigned k = 0; k < 2; k++) {
      if (k == 1 && d == 0) continue;
      const long c = k == 0 ? long{proposed} - long{d} : long{proposed} + long{d};
      if (c < 1 || c > long{count} - 1) continue;
      int verdict;
      if (int rc = judge(static_cast<unsigned>(c), &verdict); rc != 0) return rc;
      if (verdict == 0) {
        *split_inout = static_cast<unsigned>(c);
        return 0;
      }
    }
  }
  return ORV_NO_FIT;
}

int orv_prefix_page_write(const ORV_page_ctx &ctx, ORV_page *mp, size_t psize,
                          ORV_prefix_entry *entries, unsigned start, unsigned end) {
  if (start > end || psize > 0xFFFF) return EINVAL;
  const unsigned cnt = end - start;
  // Plan everything before touching the page.
  size_t total = PAGEHDRSZ + size_t{cnt} * sizeof(indx_t), longest = 0;
  const ORV_val first = cnt ? key_of(entries[start]) : ORV_val{0, nullptr};
  for (unsigned i = start; i < end; i++) {
    ORV_prefix_entry &e = entries[i];
    size_t len;
    if (int rc = stored_len(i == start ? nullptr : &first, e, &len, nullptr); rc != 0) return rc;
    e.pe_enclen = static_cast<uint32_t>(len);
    total += leaf_node_size(len, e.pe_vlen);
    if (e.pe_klen > longest) longest = e.pe_klen;
  }
  if (total > psize) return ORV_NO_FIT;

  size_t upper = psize;
  indx_t *ptrs = mp_ptrs(mp);
  for (unsigned k = 0; k < cnt; k++) {
    const ORV_prefix_entry &e = entries[start + k];
    upper -= leaf_node_size(e.pe_enclen, e.pe_vlen);
    ptrs[k] = static_cast<indx_t>(upper);
    auto *node = reinterpret_cast<ORV_node *>(page_bytes(mp) + upper);
    set_node_dsize(node, e.pe_dsize);
    node->mn_flags = e.pe_flags;
    node->mn_ksize = static_cast<uint16_t>(e.pe_enclen);
    auto *kp = static_cast<uint8_t *>(node_key(node, NODESIZE));
    if (k == 0) {
      if (e.pe_klen) std::memcpy(kp, e.pe_key, e.pe_klen);
    } else {
      const ORV_val key = key_of(e);
      orv_prefix_key_encode(&key, orv_prefix_shared(&first, &key), kp);
    }
    if (e.pe_enclen & 1) kp[e.pe_enclen] = 0;
    auto *dp = static_cast<uint8_t *>(node_data(node));
    if (e.pe_data != nullptr && e.pe_vlen)
      std::memcpy(dp, e.pe_data, e.pe_vlen);
    else if (e.pe_vlen)
      std::memset(dp, 0, e.pe_vlen);
    if (e.pe_vlen & 1) dp[e.pe_vlen] = 0;
  }
  mp->mp_lower = static_cast<indx_t>(PAGEHDRSZ + cnt * sizeof(indx_t));
  mp->mp_upper = static_cast<indx_t>(upper);
  mp->mp_pad = static_cast<uint16_t>(longest > ORV_PAD_MAX ? ORV_PAD_MAX : longest);
  if (!is_subp(mp)) orv_keylen_index_invalidate(ctx.scratch, mp->mp_pgno);
  return 0;
}

int orv_prefix_gather_sized(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned skip,
                            unsigned indx, const ORV_val *key, const ORV_val *data, unsigned flags,
                            ORV_prefix_entry **entries_out, unsigned *count_out, size_t *size_out) {
  if (int rc = orv_prefix_gather(ctx, mp, skip, indx, key, data, flags, entries_out, count_out);
      rc != 0)
    return rc;
  size_t size;
  if (int rc = orv_prefix_run_size(ctx, *entries_out, 0, *count_out, &size); rc != 0) return rc;
  *size_out = PAGEHDRSZ + size;
  return 0;
}

int orv_prefix_page_plan(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned skip, unsigned indx,
                         const ORV_val *key, const ORV_val *data, unsigned flags,
                         size_t *size_out) {
  ORV_prefix_entry *entries;
  unsigned count;
  return orv_prefix_gather_sized(ctx, mp, skip, indx, key, data, flags, &entries, &count, size_out);
}
