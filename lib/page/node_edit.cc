// Node insertion and removal on one dirty page: adding a node at a slot,
// removing the node at a slot, replacing a branch key and shrinking a
// sub-page node. Each works on the page and a page context alone; what
// needs the tree (overflow runs, rewrites that may need them, failing the
// transaction, the cursors) is lib/btree/node_write.cc.
//
// A page keeps its slot array (16-bit node offsets, in key order) growing up
// from the header and its nodes packed down from the end; the free space is
// the gap between mp_lower and mp_upper. Inserting a node moves only the
// slots after it and places the node just below mp_upper; removing one moves
// the nodes stored below it up by its size and fixes their slots. Neither
// allocates.
//
// Prefix-compressed leaf pages (ORV_PREFIXKEY) store every key but the
// first as varint(p) | key[p..], p being the prefix it shares with the
// page's first key (slot 0, stored whole): a key added at slot i > 0 is
// encoded against the current first key, and a key removed from slot i > 0
// leaves the others as they are. A change of the first key rewrites the
// whole page and is not done here. mp_pad of such a page holds its longest
// decoded key; the transaction's key-length index keeps it exact as slots
// come and go (see prefix_page.cc).
#include <cerrno>
#include <cstring>

#include "env/env.h"
#include "page/page.h"

namespace {

// Prefix that a key at slot indx of mp shares with the page's first key:
// 0 unless the key is encoded against one (a prefix page, indx > 0, a
// first key present).
size_t shared_prefix(unsigned md_flags, const ORV_page *mp, unsigned indx, const ORV_val *key) {
  if (!key || indx == 0 || numkeys(mp) == 0 || !orv_prefix_page(md_flags, mp)) return 0;
  const ORV_val first = orv_page_first_key(mp);
  return orv_prefix_shared(key, &first);
}

// Bytes a key takes as stored at slot indx of mp. Only prefix-compressed
// leaves store anything but the key itself.
size_t stored_key_size(unsigned md_flags, const ORV_page *mp, unsigned indx, const ORV_val *key) {
  if (!key) return 0;
  if (indx == 0 || numkeys(mp) == 0 || !orv_prefix_page(md_flags, mp)) return key->mv_size;
  return orv_prefix_key_size(key->mv_size, shared_prefix(md_flags, mp, indx, key));
}

// Node size of a new node whose key is stored in ksize bytes; *to_run as
// orv_node_add_size says.
size_t node_size_for(const ORV_page_ctx &ctx, const ORV_page *mp, size_t ksize, const ORV_val *data,
                     unsigned flags, bool *to_run) {
  *to_run = false;
  if (is_branch(mp)) return branch_node_size(mp, ksize);
  if (flags & F_BIGDATA) return bigdata_node_size(ksize);
  const size_t node_size = NODESIZE + even(ksize) + data->mv_size;
  const bool subpage = (flags & (F_DUPDATA | F_SUBDATA)) == F_DUPDATA;
  if (node_size <= ctx.nodemax || subpage) return even(node_size);
  // The value moves to an overflow run; the node keeps its page number.
  *to_run = true;
  return bigdata_node_size(ksize);
}

}  // namespace

indx_t orv_page_insert_slot(ORV_page *mp, unsigned indx, size_t node_size, ORV_env *env) {
  indx_t delta = static_cast<indx_t>(node_size);
  orv_assert(env, node_size == (size_t)delta);
  unsigned n = numkeys(mp);
  orv_assert(env, indx <= n);
  indx_t *ptrs = mp_ptrs(mp);
  std::memmove(ptrs + indx + 1, ptrs + indx, (n - indx) * sizeof(indx_t));
  // A node larger than the page wraps below zero and fails the check too.
  size_t ofs = size_t{mp->mp_upper} - node_size;
  orv_assert(env, ofs >= MP_LOWER(mp) + sizeof(indx_t));
  ptrs[indx] = static_cast<indx_t>(ofs);
  mp->mp_upper = static_cast<indx_t>(ofs);
  mp->mp_lower = static_cast<indx_t>(mp->mp_lower + sizeof(indx_t));
  return static_cast<indx_t>(ofs);
}

void orv_page_remove_slot(ORV_page *mp, unsigned indx, size_t node_size, ORV_env *env) {
  indx_t delta = static_cast<indx_t>(node_size);
  orv_assert(env, node_size == (size_t)delta);
  unsigned numkeys = ::numkeys(mp);
  orv_assert(env, indx < numkeys);
  indx_t *ptrs = mp_ptrs(mp);
  indx_t p = ptrs[indx];
  // Nodes stored below the removed one move up by its size.
  for (unsigned i = indx; i + 1 < numkeys; i++) ptrs[i] = ptrs[i + 1];
  for (unsigned i = 0; i + 1 < numkeys; i++)
    if (ptrs[i] < p) ptrs[i] = static_cast<indx_t>(ptrs[i] + delta);
  std::byte *base = page_bytes(mp) + mp->mp_upper;
  std::memmove(base + delta, base, p - mp->mp_upper);
  mp->mp_lower = static_cast<indx_t>(mp->mp_lower - sizeof(indx_t));
  mp->mp_upper = static_cast<indx_t>(mp->mp_upper + delta);
}

size_t orv_node_add_size(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned indx,
                         const ORV_val *key, const ORV_val *data, unsigned flags, bool *to_run) {
  return node_size_for(ctx, mp, stored_key_size(ctx.md_flags, mp, indx, key), data, flags, to_run);
}

int orv_node_add(const ORV_page_ctx &ctx, ORV_page *mp, unsigned indx, const ORV_val *key,
                 ORV_val *data, pgno_t pgno, unsigned flags, uint64_t count) {
  ORV_env *env = ctx.env;
  orv_assert(env, MP_UPPER(mp) >= MP_LOWER(mp));

  if (is_leaf2(mp)) {
    // Fixed-size keys back to back: open a gap of one key at indx.
    size_t ksize = ctx.md_pad;
    if (size_left(mp) < ksize) return ORV_NO_FIT;
    unsigned n = numkeys(mp);
    auto *ptr = static_cast<std::byte *>(leaf2_key(mp, indx, ksize));
    std::memmove(ptr + ksize, ptr, (n - indx) * ksize);
    size_t have = key ? (key->mv_size < ksize ? key->mv_size : ksize) : 0;
    if (have) std::memcpy(ptr, key->mv_data, have);
    if (have < ksize) std::memset(ptr + have, 0, ksize - have);
    mp->mp_lower = static_cast<indx_t>(mp->mp_lower + sizeof(indx_t));
    mp->mp_upper = static_cast<indx_t>(mp->mp_upper - (ksize - sizeof(indx_t)));
    return 0;
  }

  const bool prefix = orv_prefix_page(ctx.md_flags, mp);
  // A new first key re-encodes every other key, which may move values to
  // overflow runs: the tree's rewrite.
  if (prefix && indx == 0 && numkeys(mp) > 0) return EINVAL;

  const bool encoded = prefix && indx > 0 && numkeys(mp) > 0;
  const size_t shared = encoded ? shared_prefix(ctx.md_flags, mp, indx, key) : 0;
  const size_t key_bytes = !key      ? 0
                           : encoded ? orv_prefix_key_size(key->mv_size, shared)
                                     : key->mv_size;
  if (!is_branch(mp)) orv_assert(env, key && data);
  bool to_run;
  const size_t node_size = node_size_for(ctx, mp, key_bytes, data, flags, &to_run);
  if (to_run) return EINVAL;
  const size_t room = size_left(mp) >= sizeof(indx_t) ? size_left(mp) - sizeof(indx_t) : 0;
  if (node_size > room) return ORV_NO_FIT;

  // The page's key lengths, as they are before the slot goes in. Without
  // an index entry (no memory) mp_pad is kept by the fallback below.
  ORV_keylen_entry *klx = nullptr;
  if (prefix) {
    if (int rc = orv_keylen_index_get(ctx, mp, &klx); rc != 0) {
      if (rc != ENOMEM) return rc;
      klx = nullptr;
    }
  }

  orv_page_insert_slot(mp, indx, node_size, env);
  ORV_node *node = node_ptr(mp, indx);
  node->mn_ksize = static_cast<uint16_t>(key_bytes);
  unsigned hdrsz = node_hdrsz(mp);
  auto *kp = static_cast<std::byte *>(node_key(node, hdrsz));
  if (encoded) {
    size_t wrote = orv_prefix_key_encode(key, shared, kp);
    orv_assert(env, wrote == key_bytes);
  } else if (key_bytes) {
    std::memcpy(kp, key->mv_data, key_bytes);
  }
  if (key_bytes & 1) kp[key_bytes] = std::byte{0};

  if (is_branch(mp)) {
    set_node_pgno(node, pgno);
    if (is_counted(mp)) set_node_count(node, count);
    return 0;
  }

  node->mn_flags = static_cast<uint16_t>(flags & 0xFFFF);
  set_node_dsize(node, data->mv_size);
  auto *dp = static_cast<std::byte *>(node_data(node));
  if (flags & F_BIGDATA) {
    std::memcpy(dp, data->mv_data, sizeof(pgno_t));
  } else {
    if (flags & ORV_RESERVE)
      data->mv_data = dp;
    else if (data->mv_size)
      std::memcpy(dp, data->mv_data, data->mv_size);
    // An odd value leaves one byte of the even node size; keep it zero.
    if (data->mv_size & 1) dp[data->mv_size] = std::byte{0};
  }
  if (!prefix) {
    mp->mp_pad = 0;
    return 0;
  }
  if (klx != nullptr) {
    // Cannot fail with an entry: a failure to grow degrades to the rule
    // below inside the index.
    (void)orv_keylen_index_insert(klx, ctx, mp, indx, key->mv_size);
  } else if (numkeys(mp) == 1) {
    orv_page_max_key_set(ctx, mp, key->mv_size);
  } else if (mp->mp_pad != 0) {
    if (key->mv_size > mp->mp_pad) orv_page_max_key_set(ctx, mp, key->mv_size);
  } else {
    orv_page_max_key_scan(ctx, mp);
  }
  return 0;
}

int orv_node_del(const ORV_page_ctx &ctx, ORV_page *mp, unsigned indx, unsigned ksize) {
  ORV_env *env = ctx.env;
  unsigned numkeys = ::numkeys(mp);
  orv_assert(env, indx < numkeys);

  if (is_leaf2(mp)) {
    auto *ptr = static_cast<std::byte *>(leaf2_key(mp, indx, ksize));
    std::memmove(ptr, ptr + ksize, (numkeys - indx - 1) * ksize);
    mp->mp_lower = static_cast<indx_t>(mp->mp_lower - sizeof(indx_t));
    mp->mp_upper = static_cast<indx_t>(mp->mp_upper + ksize - sizeof(indx_t));
    return 0;
  }
  // The node's size decides what moves: a node reaching past its page (a
  // damaged value size) must not move anything.
  if (!orv_node_in_page(mp, orv_page_ctx_psize(ctx, mp), indx, true)) return ORV_CORRUPTED;

  if (!orv_prefix_page(ctx.md_flags, mp)) {
    orv_page_remove_slot(mp, indx, node_size_on(mp, node_ptr(mp, indx)), env);
    if (is_leaf(mp)) mp->mp_pad = 0;
    return 0;
  }
  // The first key goes: the others are re-encoded against the next one,
  // which may move values to overflow runs: the tree's rewrite.
  if (indx == 0 && numkeys > 1) return EINVAL;

  ORV_keylen_entry *klx = nullptr;
  if (orv_keylen_index_get(ctx, mp, &klx) != 0) klx = nullptr;
  orv_keylen_index_remove(klx, ctx, mp, indx);
  orv_page_remove_slot(mp, indx, node_size_on(mp, node_ptr(mp, indx)), env);
  if (numkeys == 1)
    mp->mp_pad = 0;
  else if (klx == nullptr)
    orv_page_max_key_scan(ctx, mp);
  return 0;
}

int orv_update_key(ORV_page *mp, unsigned indx, const ORV_val *key) {
  ORV_node *node = node_ptr(mp, indx);
  unsigned hdrsz = node_hdrsz(mp);
  auto delta =
      static_cast<ptrdiff_t>(even(key->mv_size)) - static_cast<ptrdiff_t>(even(node->mn_ksize));
  if (delta != 0) {
    if (delta > 0 && static_cast<size_t>(delta) > size_left(mp)) return ORV_NO_FIT;
    // Shift the node area below the node's key (and the node's header and
    // count) by delta, which frees or makes the room the key needs.
    indx_t *ptrs = mp_ptrs(mp);
    indx_t ofs = ptrs[indx];
    unsigned n = numkeys(mp);
    for (unsigned i = 0; i < n; i++)
      if (ptrs[i] <= ofs) ptrs[i] = static_cast<indx_t>(ptrs[i] - delta);
    std::byte *base = page_bytes(mp) + mp->mp_upper;
    std::memmove(base - delta, base, ofs - mp->mp_upper + hdrsz);
    mp->mp_upper = static_cast<indx_t>(mp->mp_upper - delta);
    node = node_ptr(mp, indx);
  }
  node->mn_ksize = static_cast<uint16_t>(key->mv_size);
  auto *kp = static_cast<std::byte *>(node_key(node, hdrsz));
  if (key->mv_size) std::memcpy(kp, key->mv_data, key->mv_size);
  if (key->mv_size & 1) kp[key->mv_size] = std::byte{0};
  return 0;
}

void orv_node_shrink(ORV_page *mp, unsigned indx) {
  ORV_node *node = node_ptr(mp, indx);
  auto *sp = static_cast<ORV_page *>(node_data(node));
  size_t vsize = node_dsize(node);
  size_t slack = size_left(sp);
  if (slack >= vsize) return;
  size_t nsize = vsize - slack;
  if (nsize < PAGEHDRSZ) {
    if (vsize == PAGEHDRSZ) return;
    nsize = PAGEHDRSZ;
  }
  size_t delta = vsize - nsize;
  size_t keep;  // bytes at the start of the sub-page that move with it
  if (is_leaf2(sp)) {
    // Keys sit right after the header; the free space is at the end.
    if (nsize & 1) return;
    keep = nsize;
  } else {
    // Nodes sit at the end and stay put; the header and slots move up by
    // delta. Write the slots at their new place first, last one first, since
    // the ranges may overlap.
    auto *sb = reinterpret_cast<std::byte *>(sp);
    for (unsigned i = numkeys(sp); i-- > 0;) {
      indx_t v;
      std::memcpy(&v, sb + PAGEHDRSZ + i * sizeof(indx_t), sizeof v);
      v = static_cast<indx_t>(v - delta);
      std::memcpy(sb + delta + PAGEHDRSZ + i * sizeof(indx_t), &v, sizeof v);
    }
    keep = PAGEHDRSZ;
  }
  sp->mp_upper = sp->mp_lower;
  sp->mp_pgno = mp->mp_pgno;
  set_node_dsize(node, nsize);

  std::byte *base = page_bytes(mp) + mp->mp_upper;
  std::memmove(base + delta, base, reinterpret_cast<std::byte *>(sp) + keep - base);
  indx_t *ptrs = mp_ptrs(mp);
  indx_t ptr = ptrs[indx];
  unsigned n = numkeys(mp);
  for (unsigned i = 0; i < n; i++)
    if (ptrs[i] <= ptr) ptrs[i] = static_cast<indx_t>(ptrs[i] + delta);
  mp->mp_upper = static_cast<indx_t>(mp->mp_upper + delta);
}

size_t orv_leaf_size(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned indx, const ORV_val *key,
                     const ORV_val *data) {
  size_t k = even(stored_key_size(ctx.md_flags, mp, indx, key));
  if (k + data->mv_size + NODESIZE > ctx.nodemax) return k + NODESIZE + sizeof(pgno_t) + 2;
  return k + NODESIZE + even(data->mv_size) + sizeof(indx_t);
}

size_t orv_branch_size(const ORV_page *mp, const ORV_val *key) {
  return node_hdrsz(mp) + even(key ? key->mv_size : 0) + sizeof(indx_t);
}
