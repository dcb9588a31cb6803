// Tree verifier: leaf pages (key order and encoding, values, overflow
// runs, sub-pages and sub-databases of duplicates).
//
// Keys are checked one slot at a time: the page's first key is read in
// place, a compressed key is decoded into a buffer of the walk, and the
// tree's previous key is kept for the order across pages.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "btree/verify_walk.h"

namespace orv_verify {

// The key of slot i of a leaf page or sub-page whose layout was checked.
// False when the walk must stop (no memory).
bool Verifier::leaf_key(Tree &t, const ORV_page *mp, unsigned i, pgno_t pgno, KeyBuf &cur,
                        ORV_val &key, size_t &padlen) {
  if (is_leaf2(mp)) {
    key = ORV_val{mp->mp_pad,
                  const_cast<std::byte *>(page_bytes(mp)) + PAGEHDRSZ + size_t{i} * mp->mp_pad};
    padlen = 0;
    return true;
  }
  const ORV_node *node = node_ptr(mp, i);
  auto *stored = static_cast<const uint8_t *>(node_key(node, NODESIZE));
  size_t len = node->mn_ksize;
  padlen = len;
  key = ORV_val{len, const_cast<uint8_t *>(stored)};
  if (!t.prefix || i == 0) return true;
  const ORV_node *n0 = node_ptr(mp, 0);
  ORV_val first{n0->mn_ksize, const_cast<void *>(node_key(n0, NODESIZE))};
  char s[SHOW_MAX];
  switch (decode_prefix(first, stored, len, cur, padlen)) {
    case Decoded::nomem:
      nomem();
      return false;
    case Decoded::corrupt:
      problem("%s: page %" PRIu64 " slot %u: undecodable prefix key", t.label, pgno, i);
      break;
    case Decoded::whole:
      problem("%s: page %" PRIu64 " slot %u: prefix key %s not in canonical form", t.label, pgno, i,
              show(cur.val(), s, sizeof s));
      break;
    case Decoded::canonical:
      break;
  }
  key = cur.val();
  return true;
}

// One key against its neighbours and the separators around its page.
void Verifier::check_key(Tree &t, pgno_t pgno, unsigned i, const ORV_val &k, const ORV_val *lo,
                         const ORV_val *hi) {
  const char *lb = t.label;
  char s1[SHOW_MAX], s2[SHOW_MAX];
  size_t min_k = t.is_dup ? 0 : 1;
  if (k.mv_size < min_k || k.mv_size > ORV_MAXKEYSIZE)
    problem("%s: page %" PRIu64 " slot %u: key of %zu bytes", lb, pgno, i, k.mv_size);
  if (t.is_free && k.mv_size != sizeof(txnid_t))
    problem("%s: page %" PRIu64 " slot %u: free-page key of %zu bytes", lb, pgno, i, k.mv_size);
  if (t.cmp == cmp_uint && k.mv_size != 4 && k.mv_size != 8)
    problem("%s: page %" PRIu64 " slot %u: integer key of %zu bytes", lb, pgno, i, k.mv_size);
  if (lo && t.cmp(&k, lo) < 0)
    problem("%s: leaf %" PRIu64 " slot %u: key %s below its separator %s", lb, pgno, i,
            show(k, s1, sizeof s1), show(*lo, s2, sizeof s2));
  if (hi && t.cmp(&k, hi) >= 0)
    problem("%s: leaf %" PRIu64 " slot %u: key %s not below the next separator %s", lb, pgno, i,
            show(k, s1, sizeof s1), show(*hi, s2, sizeof s2));
  if (t.have_prev) {
    ORV_val p = t.prev.val();
    if (t.cmp(&p, &k) >= 0)
      problem("%s: page %" PRIu64 " slot %u: key %s does not follow %s", lb, pgno, i,
              show(k, s1, sizeof s1), show(p, s2, sizeof s2));
  }
  if (!t.prev.set(k.mv_data, k.mv_size)) {
    nomem();
    return;
  }
  t.have_prev = true;
}

uint64_t Verifier::leaf(Tree &t, ORV_page *mp, size_t size, pgno_t pgno, int level,
                        const ORV_val *lo, const ORV_val *hi) {
  const char *lb = t.label;
  bool sub = is_subp(mp);
  if (!sub) t.fig.leaf_pages++;
  if (level >= 0) {
    if (t.leaf_level < 0)
      t.leaf_level = level;
    else if (t.leaf_level != level)
      problem("%s: leaf %" PRIu64 " at level %d, other leaves at level %d", lb, pgno, level,
              t.leaf_level);
  }
  if (is_counted(mp)) problem("%s: leaf %" PRIu64 " has P_COUNTED", lb, pgno);
  if (!sub && is_leaf2(mp) != (t.is_dup && t.dupfixed))
    problem("%s: leaf %" PRIu64 " %s P_LEAF2", lb, pgno, is_leaf2(mp) ? "has" : "lacks");
  if (!check_layout(t, mp, size, sub ? "sub-page of" : "leaf", pgno)) return 0;
  unsigned n = numkeys(mp);
  if (n == 0) {
    problem("%s: %s %" PRIu64 " is empty", lb, sub ? "sub-page of" : "leaf", pgno);
    return 0;
  }
  if (is_leaf2(mp) && t.db.md_pad && mp->mp_pad != t.db.md_pad && !sub)
    problem("%s: P_LEAF2 page %" PRIu64 " has key size %u, the tree %u", lb, pgno, mp->mp_pad,
            t.db.md_pad);
  const uint64_t problems_before = sum_.problems;
  KeyBuf cur;
  size_t longest = 0;
  uint64_t entries = 0;
  for (unsigned i = 0; i < n && !stopped(); i++) {
    ORV_val k;
    size_t padlen = 0;
    if (!leaf_key(t, mp, i, pgno, cur, k, padlen)) break;
    longest = std::max(longest, padlen);
    check_key(t, pgno, i, k, lo, hi);
    entries += is_leaf2(mp) ? 1 : leaf_value(t, mp, i, k, pgno);
  }
  if (stopped()) return entries;
  if (!is_leaf2(mp)) {
    unsigned want = t.prefix ? unsigned(std::min<size_t>(longest, 65535)) : 0;
    if (mp->mp_pad != want)
      problem("%s: leaf %" PRIu64 ": mp_pad %u, expected %u", lb, pgno, mp->mp_pad, want);
  }
  // The engine's own page check must agree with the walk above.
  if (t.prefix && !is_leaf2(mp) && problems_before == sum_.problems) {
    unsigned bad = 0;
    if (orv_prefix_page_check(mp, size, &bad) != 0)
      problem("%s: leaf %" PRIu64 ": orv_prefix_page_check fails at slot %u", lb, pgno, bad);
  }
  return entries;
}

// Checks one leaf node's value; returns the entries it holds.
uint64_t Verifier::leaf_value(Tree &t, ORV_page *mp, unsigned i, const ORV_val &key, pgno_t pgno) {
  const char *lb = t.label;
  ORV_node *node = node_ptr(mp, i);
  unsigned f = node->mn_flags;
  size_t dsize = node_dsize(node);
  auto *data = static_cast<const uint8_t *>(node_data(node));
  if (t.is_dup) {
    if (f != 0 || dsize != 0)
      problem("%s: page %" PRIu64 " slot %u: duplicate with flags %u and data size %zu", lb, pgno,
              i, f, dsize);
    return 1;
  }
  if (f & ~unsigned(F_BIGDATA | F_SUBDATA | F_DUPDATA)) {
    problem("%s: page %" PRIu64 " slot %u: unknown node flags 0x%x", lb, pgno, i, f);
    return 1;
  }
  bool dupsort = t.db.md_flags & ORV_DUPSORT;
  if (f & F_BIGDATA) {
    if (f != F_BIGDATA)
      problem("%s: page %" PRIu64 " slot %u: F_BIGDATA with flags 0x%x", lb, pgno, i, f);
    if (dupsort)
      problem("%s: page %" PRIu64 " slot %u: overflow value in a DUPSORT tree", lb, pgno, i);
    const uint8_t *v = overflow(t, load_u64(data), dsize, pgno);
    if (v && t.is_free) free_record(key, v, dsize, pgno);
    return 1;
  }
  if (f & (F_SUBDATA | F_DUPDATA)) {
    if ((f & F_SUBDATA) && dsize != sizeof(ORV_db)) {
      problem("%s: page %" PRIu64 " slot %u: database record of %zu bytes", lb, pgno, i, dsize);
      return 1;
    }
    ORV_db rec;
    if (f & F_SUBDATA) std::memcpy(&rec, data, sizeof rec);
    if (f == F_SUBDATA) {
      if (!t.is_main)
        problem("%s: page %" PRIu64 " slot %u: named-database record outside the main database", lb,
                pgno, i);
      else
        add_named(key, rec);
      return 1;
    }
    if (!dupsort) {
      problem("%s: page %" PRIu64 " slot %u: duplicates in a tree without ORV_DUPSORT", lb, pgno,
              i);
      return 1;
    }
    if (f == (F_DUPDATA | F_SUBDATA)) return sub_tree(t, rec, key);
    return sub_page(t, data, dsize, key, pgno);
  }
  if (t.is_free) free_record(key, data, dsize, pgno);
  if (dupsort && dsize > ORV_MAXKEYSIZE)
    problem("%s: page %" PRIu64 " slot %u: DUPSORT value of %zu bytes", lb, pgno, i, dsize);
  if (NODESIZE + even(node->mn_ksize) + dsize > env_->me_nodemax)
    problem("%s: page %" PRIu64 " slot %u: inline node of %zu bytes exceeds the node limit %u", lb,
            pgno, i, NODESIZE + even(node->mn_ksize) + dsize, env_->me_nodemax);
  return 1;
}

const uint8_t *Verifier::overflow(Tree &t, pgno_t pgno, size_t dsize, pgno_t owner) {
  const char *lb = t.label;
  int plevel = 0;
  ORV_page *op = get_page(t, pgno, &plevel);
  if (!op) return nullptr;
  check_flags(t, op, pgno, plevel);
  if ((op->mp_flags & ~(P_DIRTY | P_LOOSE | P_KEEP)) != P_OVERFLOW) {
    problem("%s: leaf %" PRIu64 " points at page %" PRIu64
            " which is not an overflow page (0x%04x)",
            lb, owner, pgno, op->mp_flags);
    reach(t, pgno, 1);
    return nullptr;
  }
  pgno_t n = mp_pages(op);
  if (n < ovpages(psize_, dsize)) {
    problem("%s: overflow run %" PRIu64 " of %" PRIu64 " pages is too short for %zu bytes", lb,
            pgno, n, dsize);
    reach(t, pgno, 1);
    return nullptr;
  }
  if (!reach(t, pgno, n)) return nullptr;
  t.fig.overflow_pages += n;
  return reinterpret_cast<const uint8_t *>(op) + PAGEHDRSZ;
}

uint64_t Verifier::sub_page(Tree &t, const uint8_t *data, size_t size, const ORV_val &key,
                            pgno_t owner) {
  char s[SHOW_MAX], label[256];
  std::snprintf(label, sizeof label, "%s dups of %s", t.label, show(key, s, sizeof s));
  Tree d;
  d.label = label;
  d.db.md_flags = t.db.md_flags & (ORV_DUPFIXED | ORV_PREFIXKEY);
  d.cmp = t.dcmp;
  d.is_dup = true;
  d.dupfixed = t.db.md_flags & ORV_DUPFIXED;
  d.prefix = (t.db.md_flags & ORV_PREFIXKEY) && !d.dupfixed;
  uint16_t want = P_LEAF | P_SUBP | (d.dupfixed ? P_LEAF2 : 0);
  uint16_t flags = 0;
  if (size >= PAGEHDRSZ) std::memcpy(&flags, data + offsetof(ORV_page, mp_flags), sizeof flags);
  if (size < PAGEHDRSZ || (flags & ~P_DIRTY) != want) {
    problem("%s: leaf %" PRIu64 ": sub-page of %zu bytes with flags 0x%04x (expected 0x%04x)",
            d.label, owner, size, flags, want);
    return 1;
  }
  // Sub-pages sit at 2-byte alignment inside the node: read an aligned copy.
  auto *mp = static_cast<ORV_page *>(std::malloc((size + 7) & ~size_t{7}));
  if (mp == nullptr) {
    nomem();
    return 1;
  }
  std::memcpy(mp, data, size);
  // mp_pgno names the leaf that held the sub-page when it was last written;
  // splits, merges and copy-on-write move the node to other leaves since,
  // so it is not checked against the owner.
  uint64_t n = leaf(d, mp, size, owner, -1, nullptr, nullptr);
  std::free(mp);
  return n;
}

uint64_t Verifier::sub_tree(Tree &t, const ORV_db &rec, const ORV_val &key) {
  char s[SHOW_MAX], label[256];
  std::snprintf(label, sizeof label, "%s dup tree of %s", t.label, show(key, s, sizeof s));
  Tree d;
  d.label = label;
  d.db = rec;
  d.cmp = t.dcmp;
  d.is_dup = true;
  d.dupfixed = rec.md_flags & ORV_DUPFIXED;
  d.counted = (t.db.md_flags & ORV_COUNTED) || (rec.md_flags & ORV_COUNTED);
  d.prefix = ((t.db.md_flags & ORV_PREFIXKEY) || (rec.md_flags & ORV_PREFIXKEY)) && !d.dupfixed;
  if (rec.md_root == P_INVALID || rec.md_entries == 0) problem("%s: empty duplicate tree", d.label);
  // The record's own flags follow the database's: fixed-size values (as
  // integers with ORV_INTEGERDUP), compressed values, and counts when the
  // database is counted (the only flag a value tree may carry or not).
  const unsigned mf = t.db.md_flags;
  unsigned want = 0;
  if (mf & ORV_DUPFIXED) want |= ORV_DUPFIXED | ((mf & ORV_INTEGERDUP) ? ORV_INTEGERKEY : 0);
  if (mf & ORV_PREFIXKEY) want |= ORV_PREFIXKEY;
  const unsigned got = rec.md_flags & ~((mf & ORV_COUNTED) ? unsigned{ORV_COUNTED} : 0u);
  if (got != want)
    problem("%s: record flags 0x%x, expected 0x%x", d.label, unsigned{rec.md_flags}, want);
  if ((mf & ORV_DUPFIXED) ? rec.md_pad == 0 : rec.md_pad != 0)
    problem("%s: record value size %u %s", d.label, unsigned{rec.md_pad},
            (mf & ORV_DUPFIXED) ? "for fixed-size values" : "for values of any size");
  walk_tree(d, nullptr, 0);
  return rec.md_entries;
}

}  // namespace orv_verify
