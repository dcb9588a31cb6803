// Prefix-compressed leaf pages, one page at a time: the longest-key field
// mp_pad, the per-transaction key-length index that keeps it exact, and a
// verifier of a whole page.
//
// mp_pad of a prefix page is the length of its longest decoded key (capped at
// 65535), so that a reader can size a buffer for every key of the page at
// once. Rescanning a page on every insertion or removal would cost a decode
// of every slot, so a write transaction remembers the decoded length of each
// slot of the pages it changes, keyed by page number:
//
//   ms_klx: open addressing, linear probing, power-of-two capacity (from 8),
//           hash = low 32 bits of (pgno ^ pgno >> 32); kl_pgno all ones
//           marks a free slot. Grown before it would get over 3/4 full.
//   entry:  kl_lens[kl_nkeys] (16-bit lengths, capped at 65535; capacity
//           doubles from 16), kl_max and how many slots have it, kl_valid.
//
// An entry is trusted only while it is valid and matches the page (slot
// count and mp_pad); anything else rebuilds it from the page. Entries go
// stale when a page is split or rewritten and when the transaction ends;
// stale entries are dropped (their buffers freed) whenever the table has to
// grow, so the table stays as large as one transaction's working set even
// though me_txn0 keeps it from one transaction to the next.
//
// Every read of a page here is bounded by the page's size: a node or key
// outside the page is corruption, never an out-of-bounds read.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "page/page.h"

namespace {

inline const uint8_t *u8(const void *p) { return static_cast<const uint8_t *>(p); }

uint16_t pad_of(size_t n) { return static_cast<uint16_t>(n > ORV_PAD_MAX ? ORV_PAD_MAX : n); }

const void *stored_key(const ORV_page *mp, unsigned i) {
  return node_key(node_ptr(mp, i), NODESIZE);
}

// Longest key by the mp_pad rule, leaving out slot skip (>= numkeys: none).
size_t longest_except(const ORV_page *mp, size_t psize, unsigned skip) {
  if (!orv_prefix_leaf_shape_ok(mp, psize)) return 0;
  const unsigned n = numkeys(mp);
  ORV_val first{0, const_cast<char *>("")};
  if (n > 0 && orv_node_in_page(mp, psize, 0, false)) first = orv_page_first_key(mp);
  size_t longest = 0;
  for (unsigned i = 0; i < n; i++) {
    if (i == skip || !orv_node_in_page(mp, psize, i, false)) continue;
    const size_t ksize = node_ptr(mp, i)->mn_ksize;
    const size_t len = i == 0 ? ksize : orv_prefix_slot_len(&first, stored_key(mp, i), ksize);
    if (len > longest) longest = len;
  }
  return longest;
}

// ---- Key-length index table ----------------------------------------------------------

inline constexpr uint32_t kTableMin = 8;
inline constexpr uint32_t kLensMin = 16;

uint32_t slot_of(pgno_t pgno, uint32_t cap) {
  return static_cast<uint32_t>(pgno ^ (pgno >> 32)) & (cap - 1);
}

ORV_keylen_entry *table_find(const ORV_scratch *s, pgno_t pgno) {
  if (s->ms_klx == nullptr) return nullptr;
  for (uint32_t i = slot_of(pgno, s->ms_klx_cap), n = 0; n < s->ms_klx_cap;
       i = (i + 1) & (s->ms_klx_cap - 1), n++) {
    ORV_keylen_entry *e = &s->ms_klx[i];
    if (e->kl_pgno == pgno) return e;
    if (e->kl_pgno == P_INVALID) return nullptr;
  }
  return nullptr;
}

// The free slot where pgno goes. REQUIRES: the table has a free slot.
ORV_keylen_entry *table_slot(ORV_keylen_entry *table, uint32_t cap, pgno_t pgno) {
  uint32_t i = slot_of(pgno, cap);
  while (table[i].kl_pgno != P_INVALID) i = (i + 1) & (cap - 1);
  return &table[i];
}

// Makes room for one more entry. Stale entries would be rebuilt from their
// page on their next use anyway, so they are dropped rather than carried
// over; the capacity doubles only when the valid ones need it.
[[nodiscard]] int table_grow(ORV_scratch *s) {
  uint32_t live = 0;
  for (uint32_t i = 0; i < s->ms_klx_cap; i++)
    if (s->ms_klx[i].kl_pgno != P_INVALID && s->ms_klx[i].kl_valid) live++;
  uint32_t cap = s->ms_klx_cap > kTableMin ? s->ms_klx_cap : kTableMin;
  while (uint64_t{live + 1} * 4 > uint64_t{cap} * 3) cap *= 2;

  auto *table = static_cast<ORV_keylen_entry *>(std::calloc(cap, sizeof(ORV_keylen_entry)));
  if (table == nullptr) return ENOMEM;
  for (uint32_t i = 0; i < cap; i++) table[i].kl_pgno = P_INVALID;
  for (uint32_t i = 0; i < s->ms_klx_cap; i++) {
    ORV_keylen_entry *e = &s->ms_klx[i];
    if (e->kl_pgno == P_INVALID) continue;
    if (e->kl_valid)
      *table_slot(table, cap, e->kl_pgno) = *e;
    else
      std::free(e->kl_lens);
  }
  std::free(s->ms_klx);
  s->ms_klx = table;
  s->ms_klx_used = live;
  s->ms_klx_cap = cap;
  return 0;
}

[[nodiscard]] int lens_reserve(ORV_keylen_entry *e, size_t need) {
  if (need <= e->kl_cap) return 0;
  return orv_buf_grow(&e->kl_lens, &e->kl_cap, need, kLensMin);
}

void recount_max(ORV_keylen_entry *e) {
  e->kl_max = 0;
  e->kl_maxcount = 0;
  for (uint32_t i = 0; i < e->kl_nkeys; i++) {
    if (e->kl_lens[i] > e->kl_max) {
      e->kl_max = e->kl_lens[i];
      e->kl_maxcount = 1;
    } else if (e->kl_lens[i] == e->kl_max) {
      e->kl_maxcount++;
    }
  }
}

// Reads every slot's length from the page and sets mp_pad.
[[nodiscard]] int entry_rebuild(ORV_keylen_entry *e, ORV_page *mp, size_t psize) {
  e->kl_valid = 0;
  if (!orv_prefix_leaf_shape_ok(mp, psize)) return ORV_CORRUPTED;
  const unsigned n = numkeys(mp);
  if (int rc = lens_reserve(e, n); rc != 0) return rc;
  for (unsigned i = 0; i < n; i++)
    if (!orv_node_in_page(mp, psize, i, false)) return ORV_CORRUPTED;
  if (n > 0) {
    const ORV_val first = orv_page_first_key(mp);
    e->kl_lens[0] = pad_of(first.mv_size);
    for (unsigned i = 1; i < n; i++)
      e->kl_lens[i] =
          pad_of(orv_prefix_slot_len(&first, stored_key(mp, i), node_ptr(mp, i)->mn_ksize));
  }
  e->kl_nkeys = n;
  recount_max(e);
  e->kl_valid = 1;
  mp->mp_pad = pad_of(e->kl_max);
  return 0;
}

}  // namespace

// ---- Page shape and slot keys ------------------------------------------------------------

size_t orv_prefix_slot_len(const ORV_val *first, const void *stored, size_t stored_len) {
  // The mp_pad rule is looser than canonical form on purpose: it sizes
  // buffers, and a key stored whole never decodes longer than it says.
  uint64_t p;
  const unsigned vlen = orv_prefix_varint_read(u8(stored), stored_len, &p);
  if (vlen == 0 || p > first->mv_size) return stored_len;
  return p + (stored_len - vlen);
}

size_t orv_prefix_page_longest(const ORV_page *mp, size_t psize) {
  return longest_except(mp, psize, ~0u);
}

void orv_page_max_key_set(const ORV_page_ctx &ctx, ORV_page *mp, size_t n) {
  if (is_leaf2(mp)) return;
  mp->mp_pad = orv_prefix_page(ctx.md_flags, mp) ? pad_of(n) : 0;
}

void orv_page_max_key_scan(const ORV_page_ctx &ctx, ORV_page *mp) {
  if (is_leaf2(mp)) return;
  mp->mp_pad = orv_prefix_page(ctx.md_flags, mp)
                   ? pad_of(orv_prefix_page_longest(mp, orv_page_ctx_psize(ctx, mp)))
                   : 0;
}

int orv_prefix_page_check(const ORV_page *mp, size_t psize, unsigned *bad_slot) {
  if (!is_leaf(mp) || is_leaf2(mp)) return EINVAL;
  unsigned bad = numkeys(mp);
  int rc = ORV_CORRUPTED;
  size_t longest = 0;
  if (!orv_prefix_leaf_shape_ok(mp, psize)) goto fail;
  for (unsigned i = 0; i < numkeys(mp); i++) {
    if (!orv_node_in_page(mp, psize, i, true)) {
      bad = i;
      goto fail;
    }
  }
  if (numkeys(mp) > 0) {
    const ORV_val first = orv_page_first_key(mp);
    longest = first.mv_size;
    for (unsigned i = 1; i < numkeys(mp); i++) {
      ORV_prefix_info info;
      if (!orv_prefix_key_check(&first, stored_key(mp, i), node_ptr(mp, i)->mn_ksize, &info)) {
        bad = i;
        goto fail;
      }
      if (info.len > longest) longest = info.len;
    }
  }
  if (mp->mp_pad != pad_of(longest)) goto fail;
  return 0;
fail:
  if (bad_slot) *bad_slot = bad;
  return rc;
}

// ---- Key-length index --------------------------------------------------------------------

int orv_keylen_index_get(const ORV_page_ctx &ctx, ORV_page *mp, ORV_keylen_entry **entry_out) {
  *entry_out = nullptr;
  ORV_scratch *s = ctx.scratch;
  if (s == nullptr || !orv_prefix_page(ctx.md_flags, mp) || is_subp(mp)) return 0;
  ORV_keylen_entry *e = table_find(s, mp->mp_pgno);
  if (e == nullptr) {
    if (s->ms_klx == nullptr || uint64_t{s->ms_klx_used + 1} * 4 > uint64_t{s->ms_klx_cap} * 3) {
      if (int rc = table_grow(s); rc != 0) return rc;
    }
    e = table_slot(s->ms_klx, s->ms_klx_cap, mp->mp_pgno);
    std::memset(e, 0, sizeof *e);
    e->kl_pgno = mp->mp_pgno;
    s->ms_klx_used++;
  }
  // A page number can name another buffer than the one the entry was built
  // from (a nested transaction's copy, a page freed and reused): the slot
  // count and mp_pad catch what the valid flag does not.
  if (!e->kl_valid || e->kl_nkeys != numkeys(mp) || mp->mp_pad != pad_of(e->kl_max)) {
    if (int rc = entry_rebuild(e, mp, orv_page_ctx_psize(ctx, mp)); rc != 0) return rc;
  }
  *entry_out = e;
  return 0;
}

int orv_keylen_index_insert(ORV_keylen_entry *e, const ORV_page_ctx &ctx, ORV_page *mp,
                            unsigned indx, size_t n) {
  if (e == nullptr) return EINVAL;
  const uint16_t len = pad_of(n);
  if (lens_reserve(e, size_t{e->kl_nkeys} + 1) != 0) {
    // Inserting can only raise the longest key, and mp_pad was exact (the
    // entry matched the page), so the page stays right without the entry.
    e->kl_valid = 0;
    if (len > mp->mp_pad) orv_page_max_key_set(ctx, mp, len);
    return 0;
  }
  const uint32_t pos = indx < e->kl_nkeys ? indx : e->kl_nkeys;
  std::memmove(e->kl_lens + pos + 1, e->kl_lens + pos, (e->kl_nkeys - pos) * sizeof(uint16_t));
  e->kl_lens[pos] = len;
  e->kl_nkeys++;
  if (len > e->kl_max) {
    e->kl_max = len;
    e->kl_maxcount = 1;
  } else if (len == e->kl_max) {
    e->kl_maxcount++;
  }
  orv_page_max_key_set(ctx, mp, e->kl_max);
  return 0;
}

void orv_keylen_index_remove(ORV_keylen_entry *e, const ORV_page_ctx &ctx, ORV_page *mp,
                             unsigned indx) {
  if (e == nullptr) return;
  if (indx >= e->kl_nkeys) {
    // The entry does not describe this removal: trust the page instead.
    e->kl_valid = 0;
    if (orv_prefix_page(ctx.md_flags, mp))
      orv_page_max_key_set(ctx, mp, longest_except(mp, orv_page_ctx_psize(ctx, mp), indx));
    return;
  }
  const uint16_t len = e->kl_lens[indx];
  std::memmove(e->kl_lens + indx, e->kl_lens + indx + 1,
               (e->kl_nkeys - indx - 1) * sizeof(uint16_t));
  e->kl_nkeys--;
  if (e->kl_nkeys == 0) {
    e->kl_max = 0;
    e->kl_maxcount = 0;
  } else if (len == e->kl_max && --e->kl_maxcount == 0) {
    recount_max(e);
  }
  orv_page_max_key_set(ctx, mp, e->kl_max);
}

void orv_keylen_index_invalidate(ORV_scratch *scratch, pgno_t pgno) {
  if (scratch == nullptr) return;
  if (ORV_keylen_entry *e = table_find(scratch, pgno); e != nullptr) e->kl_valid = 0;
}
