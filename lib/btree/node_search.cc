// Search inside one page: orv_node_search.
//
// A bisection over the slot array of the page on top of a cursor's stack,
// for the first slot whose key is not less than the search key.
//  - Branch pages start at slot 1: the key of slot 0 is never compared (it
//    is empty on a fresh root and otherwise only a lower bound the parent
//    already enforced).
//  - Integer-key databases keep their keys all 4 or all 8 bytes long; on
//    branch pages the generic word comparator is swapped for the fixed-width
//    one that matches the size of the separator in slot 1.
//  - P_LEAF2 pages have no nodes: key i sits at a fixed offset.
//  - On leaves of prefix-compressed databases with the bytewise comparator,
//    the search key's common prefix with the page's first key (m0) is
//    computed once per search; a stored key sharing p bytes with the first
//    key then agrees with the search key on its first min(m0, p) bytes, and
//    only the bytes after that are compared, straight from the page. Other
//    keys are materialised through the cursor (orv_cursor_read_key). A key
//    that cannot be decoded fails the transaction with ORV_CORRUPTED.
//  - A probed node or key reaching outside the page fails the transaction
//    with ORV_CORRUPTED too (the page may come from a damaged file).
// The search itself allocates nothing. Before the first probe it asks for
// the page's slot array and for the nodes its first rounds may probe, so
// that those misses overlap instead of following one another.
#include <cstring>

#include "btree/btree.h"
#include "page/page.h"
#include "page/prefetch.h"
#include "txn/txn.h"

namespace {

// Rounds of the bisection whose candidate nodes are asked for up front: one
// to seven nodes, few enough to stay within the misses a core keeps open.
constexpr unsigned kProbeRounds = 3;

// Asks for the nodes the next `rounds` rounds of a bisection over
// [low, high] may probe, with the midpoint the search loop takes. Unrolled
// at compile time: it runs before every search.
template <unsigned rounds>
inline void prefetch_probes(const ORV_page *mp, int low, int high, size_t psize) {
  if constexpr (rounds > 0) {
    if (low > high) return;
    const int mid = static_cast<int>(static_cast<unsigned>(low + high) >> 1);
    orv_prefetch_node(mp, static_cast<unsigned>(mid), psize, false);
    prefetch_probes<rounds - 1>(mp, low, mid - 1, psize);
    prefetch_probes<rounds - 1>(mp, mid + 1, high, psize);
  }
}

// Clears the per-search scratch of prefix-compressed pages.
void search_memo_clear(ORV_cursor *mc) {
  mc->mc_srch_pg = P_INVALID;
  mc->mc_srch_key = nullptr;
  mc->mc_srch_len = 0;
  mc->mc_srch_shared = 0;
}

// The comparator for this page: the database's, except that the word-wise
// integer comparator becomes a fixed-width one on branch pages.
ORV_cmp_func page_comparator(const ORV_cursor *mc, const ORV_page *mp, unsigned nkeys) {
  ORV_cmp_func cmp = mc->mc_dbx->md_cmp;
  if (cmp == orv_cmp_uint_words && is_branch(mp)) {
    // The size is only a hint here; the probe checks the node itself.
    bool wide = nkeys > 1 && mp_ptrs(mp)[1] <= mc->mc_txn->mt_env->me_psize - NODESIZE &&
                node_ksize(node_ptr(mp, 1)) == sizeof(uint64_t);
    cmp = wide ? orv_cmp_uint64 : orv_cmp_uint32;
  }
  return cmp;
}

const uint8_t *u8(const void *p) { return static_cast<const uint8_t *>(p); }

// orv_cmp_bytes' order (the sign only), inline on the search loop: whole
// 8-byte words while both keys have them, then bytes, then by length. It
// saves the comparator's indirect call and the library call per probe of
// the common default comparator.
[[gnu::always_inline]] inline int bytes_order(const ORV_val *a, const ORV_val *b) {
  const uint8_t *x = u8(a->mv_data), *y = u8(b->mv_data);
  const size_t n = a->mv_size < b->mv_size ? a->mv_size : b->mv_size;
  if (const size_t i = orv_first_diff(x, y, n); i < n) return x[i] < y[i] ? -1 : 1;
  return a->mv_size < b->mv_size ? -1 : a->mv_size > b->mv_size ? 1 : 0;
}

// Bytewise comparison of a and b from position from on (the bytes before
// it are known to be equal), then by length.
int compare_from(const ORV_val *a, const ORV_val *b, size_t from) {
  const size_t n = a->mv_size < b->mv_size ? a->mv_size : b->mv_size;
  if (n > from) {
    if (int rc = std::memcmp(u8(a->mv_data) + from, u8(b->mv_data) + from, n - from); rc != 0)
      return rc;
  }
  return a->mv_size < b->mv_size ? -1 : a->mv_size > b->mv_size ? 1 : 0;
}

// The search key's common prefix with the page's first key, once per search.
size_t first_key_match(ORV_cursor *mc, ORV_page *mp, const ORV_val *key) {
  if (mc->mc_srch_pg == mp->mp_pgno && mc->mc_srch_key == key->mv_data) return mc->mc_srch_shared;
  size_t m0 = 0;
  if (numkeys(mp) > 0) {
    const ORV_val fk = orv_page_first_key(mp);
    m0 = orv_prefix_shared(key, &fk);
  }
  mc->mc_srch_pg = mp->mp_pgno;
  mc->mc_srch_key = key->mv_data;
  mc->mc_srch_len = key->mv_size;
  mc->mc_srch_shared = m0;
  return m0;
}

enum class Probe { kCompared, kDecode, kCorrupt };

// Compares the search key with the compressed key of slot i > 0 without
// rebuilding it. kDecode when the stored key is not in canonical compressed
// form (it is then a key stored whole, which the decoder handles).
Probe fast_compare(ORV_page *mp, unsigned i, const ORV_val *key, size_t m0, int *rc_out) {
  const ORV_val first = orv_page_first_key(mp);
  const uint8_t *f = u8(first.mv_data);
  const ORV_val sk = orv_slot_key(mp, i);
  const uint8_t *stored = u8(sk.mv_data);
  const size_t len = sk.mv_size;
  uint64_t p, vlen;
  switch (orv_prefix_key_read(first, stored, len, &p, &vlen)) {
    case ORV_prefix_form::kCompressed:
      break;
    case ORV_prefix_form::kWhole:
      return Probe::kDecode;
    case ORV_prefix_form::kCorrupt:
      return Probe::kCorrupt;
  }
  const uint8_t *suffix = stored + vlen;
  const size_t slen = len - vlen;

  const size_t total = p + slen;
  const size_t n = key->mv_size < total ? key->mv_size : total;
  const uint8_t *k = u8(key->mv_data);
  // Bytes [j, min(p, n)) come from the first key, the rest from the suffix.
  size_t j = m0 < p ? m0 : p;
  const size_t from_first = p < n ? p : n;
  if (j < from_first) {
    const size_t d = j + orv_first_diff(k + j, f + j, from_first - j);
    if (d < from_first) {
      *rc_out = k[d] < f[d] ? -1 : 1;
      return Probe::kCompared;
    }
    j = from_first;
  }
  if (j < n) {
    const size_t d = j + orv_first_diff(k + j, suffix + (j - p), n - j);
    if (d < n) {
      *rc_out = k[d] < suffix[d - p] ? -1 : 1;
      return Probe::kCompared;
    }
  }
  *rc_out = key->mv_size < total ? -1 : key->mv_size > total ? 1 : 0;
  return Probe::kCompared;
}

// Compares the search key with slot i of a prefix-compressed leaf, into
// *rc. False when the stored key cannot be decoded.
bool probe_compressed(ORV_cursor *mc, ORV_page *mp, unsigned i, const ORV_val *key,
                      ORV_cmp_func cmp, bool fast, int *rc) {
  const size_t m0 = fast ? first_key_match(mc, mp, key) : 0;
  if (fast && i > 0) {
    const Probe how = fast_compare(mp, i, key, m0, rc);
    if (how == Probe::kCompared) return true;
    if (how == Probe::kCorrupt) return false;
  }
  ORV_val nodekey;
  if (orv_cursor_read_key(mc, mp, i, &nodekey) != 0) return false;
  // The materialised key agrees with the first key on mc_keyshared bytes,
  // and so with the search key on the first min(m0, mc_keyshared).
  const size_t s = m0 < mc->mc_keyshared ? m0 : mc->mc_keyshared;
  *rc = (fast && s != 0) ? compare_from(key, &nodekey, s) : cmp(key, &nodekey);
  return true;
}

// What a search answers once its bisection ended at slot i with the last
// comparison rc (search key against slot i's key): the cursor's slot, the
// exact flag, and the node there. Without an exact hit the loop ends beside
// the insertion point; one past a smaller key is the first greater one.
ORV_node *search_result(ORV_cursor *mc, ORV_page *mp, unsigned i, int rc, bool probed, bool leaf2,
                        size_t pad, int *exactp) {
  const unsigned nkeys = numkeys(mp);
  if (rc > 0) ++i;
  if (exactp) *exactp = (rc == 0 && nkeys > 0);
  mc->mc_ki[mc->mc_top] = static_cast<indx_t>(i);
  if (!probed || i >= nkeys) return nullptr;
  if (leaf2) return reinterpret_cast<ORV_node *>(leaf2_key(mp, i, pad));
  return node_ptr(mp, i);
}

// orv_node_search, over the slots from `from` on when from > 0: every key
// left of slot from is then known to be less than key, as if slot from - 1
// had been probed last and found smaller.
[[gnu::always_inline]] inline ORV_node *node_search(ORV_cursor *mc, const ORV_val *key, int *exactp,
                                                    unsigned from) {
  ORV_page *mp = cursor_page(mc);
  const unsigned nkeys = numkeys(mp);
  search_memo_clear(mc);

  // Signed bounds: high may drop to -1 when the key is below slot low.
  int low = from > 0 ? static_cast<int>(from) : is_leaf(mp) ? 0 : 1;
  int high = static_cast<int>(nkeys) - 1;
  const ORV_cmp_func cmp = page_comparator(mc, mp, nkeys);
  const bool leaf2 = is_leaf2(mp);
  const bool decoded = orv_page_is_prefix(mc, mp);
  // P_LEAF2 elements are read at the page's own fixed size, as orv_slot_key
  // does.
  const size_t pad = mp->mp_pad;
  const unsigned hdrsz = node_hdrsz(mp);
  const bool fast = decoded && cmp == orv_cmp_bytes && key->mv_data != nullptr;
  const bool bytewise = cmp == orv_cmp_bytes;
  // Every node probed must lie inside the page with its whole key.
  const size_t psize = orv_prefix_psize(mc, mp);
  const size_t key_limit = psize > hdrsz ? psize - hdrsz : 0;
  // Keys of a prefix-compressed leaf are read against slot 0.
  if (decoded && nkeys > 0 && !orv_node_in_page(mp, psize, 0, false)) {
    orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
    return nullptr;
  }

  if (!leaf2 && high > low) {
    orv_prefetch_slots(mp, psize);
    prefetch_probes<kProbeRounds>(mp, low, high, psize);
  }

  unsigned i = from > 0 ? from - 1 : 0;
  int rc = from > 0 ? 1 : 0;
  bool probed = from > 0;
  while (low <= high) {
    i = static_cast<unsigned>(low + high) >> 1;
    if (!leaf2 && !orv_node_key_ok(mp, mp_ptrs(mp)[i], key_limit)) [[unlikely]] {
      orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
      return nullptr;
    }
    if (decoded) {
      if (!probe_compressed(mc, mp, i, key, cmp, fast, &rc)) {
        // Neither the slot nor the exact flag is written.
        orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
        return nullptr;
      }
    } else {
      ORV_val nodekey;
      if (leaf2) {
        nodekey.mv_size = pad;
        nodekey.mv_data = leaf2_key(mp, i, pad);
      } else {
        const ORV_node *node = node_ptr(mp, i);
        nodekey.mv_size = node_ksize(node);
        nodekey.mv_data = const_cast<void *>(node_key(node, hdrsz));
      }
      rc = bytewise ? bytes_order(key, &nodekey) : cmp(key, &nodekey);
    }
    probed = true;
    if (rc == 0) break;
    if (rc > 0)
      low = static_cast<int>(i) + 1;
    else
      high = static_cast<int>(i) - 1;
  }

  return search_result(mc, mp, i, rc, probed, leaf2, pad, exactp);
}

}  // namespace

ORV_node *orv_node_search(ORV_cursor *mc, const ORV_val *key, int *exactp) {
  return node_search(mc, key, exactp, 0);
}

ORV_node *orv_node_search_from(ORV_cursor *mc, const ORV_val *key, unsigned from, int *exactp) {
  return node_search(mc, key, exactp, from);
}

namespace {

// One of two bisections run side by side (orv_node_search_pair), over a
// page without compressed keys, as orv_node_search's loop runs it.
struct Bisection {
  ORV_cursor *mc;
  const ORV_val *key;
  ORV_page *mp;
  const std::byte *base;  // the page's bytes
  const indx_t *ptrs;     // its slot array
  ORV_cmp_func cmp;
  size_t pad;
  size_t psize;
  size_t upper;      // the start of the node area (mp_upper)
  size_t key_limit;  // the page size less the node header size
  unsigned hdrsz;
  int low, high;
  unsigned i;
  unsigned rounds;  // probes made
  int rc;
  bool leaf2, branch, bytewise, done;

  Bisection(ORV_cursor *c, const ORV_val *k) : mc(c), key(k), mp(cursor_page(c)) {
    const unsigned nkeys = numkeys(mp);
    search_memo_clear(mc);
    base = page_bytes(mp);
    ptrs = mp_ptrs(mp);
    leaf2 = is_leaf2(mp);
    branch = is_branch(mp);
    low = branch ? 1 : 0;
    high = static_cast<int>(nkeys) - 1;
    cmp = page_comparator(mc, mp, nkeys);
    bytewise = cmp == orv_cmp_bytes;
    pad = mp->mp_pad;
    hdrsz = node_hdrsz(mp);
    psize = orv_prefix_psize(mc, mp);
    upper = mp->mp_upper;
    key_limit = psize > hdrsz ? psize - hdrsz : 0;
    i = 0;
    rounds = 0;
    rc = 0;
    done = low > high;
    if (!leaf2 && high > low) {
      orv_prefetch_slots(mp, psize);
      prefetch_probes<kProbeRounds>(mp, low, high, psize);
    }
  }

  // One probe; false when the probed node reaches outside the page (the
  // check orv_node_key_ok makes, on the fields read once per page).
  [[gnu::always_inline]] bool step() {
    i = static_cast<unsigned>(low + high) >> 1;
    ORV_val nodekey;
    if (leaf2) {
      nodekey.mv_size = pad;
      nodekey.mv_data = const_cast<std::byte *>(base) + PAGEHDRSZ + i * pad;
    } else {
      const size_t ofs = ptrs[i];
      if ((ofs & 1) || ofs < upper || ofs > key_limit) [[unlikely]]
        return false;
      const auto *node = reinterpret_cast<const ORV_node *>(base + ofs);
      nodekey.mv_size = node_ksize(node);
      if (ofs + nodekey.mv_size > key_limit) [[unlikely]]
        return false;
      nodekey.mv_data = const_cast<void *>(node_key(node, hdrsz));
    }
    rc = bytewise ? bytes_order(key, &nodekey) : cmp(key, &nodekey);
    if (rc > 0)
      low = static_cast<int>(i) + 1;
    else
      high = static_cast<int>(i) - 1;
    done = rc == 0 || low > high;
    // The up-front requests cover the first rounds; from then on each
    // probe of a branch page asks for the two the round after next may
    // take, while the other search runs. A leaf's nodes are asked for
    // all at once by the caller as it enters the leaf.
    if (++rounds + 1 >= kProbeRounds && !done && branch) {
      const int mid = static_cast<int>(static_cast<unsigned>(low + high) >> 1);
      prefetch_probes<1>(mp, low, mid - 1, psize);
      prefetch_probes<1>(mp, mid + 1, high, psize);
    }
    return true;
  }

  ORV_node *finish(int *exactp) {
    return search_result(mc, mp, i, rc, rounds > 0, leaf2, pad, exactp);
  }
};

}  // namespace

int orv_node_search_pair(ORV_cursor *mc[2], const ORV_val *key[2], int exact[2],
                         ORV_node *found[2]) {
  if (orv_page_is_prefix(mc[0], cursor_page(mc[0])) ||
      orv_page_is_prefix(mc[1], cursor_page(mc[1]))) {
    for (unsigned k = 0; k < 2; ++k) {
      found[k] = orv_node_search(mc[k], key[k], &exact[k]);
      if (found[k] == nullptr && (mc[k]->mc_txn->mt_flags & ORV_TXN_ERROR))
        return mc[k]->mc_txn->mt_error;
    }
    return 0;
  }
  Bisection a(mc[0], key[0]), b(mc[1], key[1]);
  // Probe by probe, taking turns: each probe's node is fetched while the
  // other search compares.
  while (!a.done || !b.done) {
    if (!a.done && !a.step()) return orv_txn_fail(a.mc->mc_txn, ORV_CORRUPTED);
    if (!b.done && !b.step()) return orv_txn_fail(b.mc->mc_txn, ORV_CORRUPTED);
  }
  found[0] = a.finish(&exact[0]);
  found[1] = b.finish(&exact[1]);
  return 0;
}
