// Tree verifier: leaf pages (key order and encoding, values, overflow
// runs, sub-pages and sub-databases of duplicates).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "util/verify_walk.h"

namespace orv_test::detail {

// Materialises the keys of a leaf page or sub-page and checks mp_pad.
bool Verifier::leaf_keys(Tree &t, const ORV_page *mp, pgno_t pgno, std::vector<std::string> &keys) {
  const char *lb = t.label.c_str();
  unsigned n = numkeys(mp);
  keys.resize(n);
  if (is_leaf2(mp)) {
    if (t.db.md_pad && mp->mp_pad != t.db.md_pad && !is_subp(mp))
      problem("%s: P_LEAF2 page %" PRIu64 " has key size %u, the tree %u", lb, pgno, mp->mp_pad,
              t.db.md_pad);
    for (unsigned i = 0; i < n; i++)
      keys[i].assign(reinterpret_cast<const char *>(mp) + PAGEHDRSZ + size_t{i} * mp->mp_pad,
                     mp->mp_pad);
    return true;
  }
  size_t longest = 0;
  for (unsigned i = 0; i < n; i++) {
    const ORV_node *node = node_ptr(mp, i);
    auto *stored = static_cast<const uint8_t *>(node_key(node, NODESIZE));
    size_t len = node->mn_ksize;
    if (!t.prefix || i == 0) {
      keys[i].assign(reinterpret_cast<const char *>(stored), len);
      longest = std::max(longest, len);
      continue;
    }
    size_t padlen = 0;
    Decoded d = decode_prefix(keys[0], stored, len, keys[i], padlen);
    if (d == Decoded::corrupt)
      problem("%s: page %" PRIu64 " slot %u: undecodable prefix key", lb, pgno, i);
    else if (d == Decoded::whole)
      problem("%s: page %" PRIu64 " slot %u: prefix key %s not in canonical form", lb, pgno, i,
              show(keys[i]).c_str());
    longest = std::max(longest, padlen);
  }
  unsigned want = t.prefix ? unsigned(std::min<size_t>(longest, 65535)) : 0;
  if (mp->mp_pad != want)
    problem("%s: leaf %" PRIu64 ": mp_pad %u, expected %u", lb, pgno, mp->mp_pad, want);
  return true;
}

uint64_t Verifier::leaf(Tree &t, ORV_page *mp, size_t size, pgno_t pgno, int level,
                        const std::string *lo, const std::string *hi) {
  const char *lb = t.label.c_str();
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
  std::vector<std::string> keys;
  const size_t problems_before = res_.problems.size() + res_.dropped;
  if (!leaf_keys(t, mp, pgno, keys)) return 0;
  // The library's own page check must agree with the walk above.
  if (t.prefix && !is_leaf2(mp) && problems_before == res_.problems.size() + res_.dropped) {
    unsigned bad = 0;
    if (orv_prefix_page_check(mp, size, &bad) != 0)
      problem("%s: leaf %" PRIu64 ": orv_prefix_page_check fails at slot %u", lb, pgno, bad);
  }
  uint64_t entries = 0;
  for (unsigned i = 0; i < n; i++) {
    const std::string &k = keys[i];
    ORV_val kv = val_of(k);
    size_t min_k = t.is_dup ? 0 : 1;
    if (k.size() < min_k || k.size() > ORV_MAXKEYSIZE)
      problem("%s: page %" PRIu64 " slot %u: key of %zu bytes", lb, pgno, i, k.size());
    if (t.is_free && k.size() != sizeof(txnid_t))
      problem("%s: page %" PRIu64 " slot %u: free-page key of %zu bytes", lb, pgno, i, k.size());
    if ((t.cmp == cmp_uint) && k.size() != 4 && k.size() != 8)
      problem("%s: page %" PRIu64 " slot %u: integer key of %zu bytes", lb, pgno, i, k.size());
    if (lo) {
      ORV_val l = val_of(*lo);
      if (t.cmp(&kv, &l) < 0)
        problem("%s: leaf %" PRIu64 " slot %u: key %s below its separator %s", lb, pgno, i,
                show(k).c_str(), show(*lo).c_str());
    }
    if (hi) {
      ORV_val h = val_of(*hi);
      if (t.cmp(&kv, &h) >= 0)
        problem("%s: leaf %" PRIu64 " slot %u: key %s not below the next separator %s", lb, pgno, i,
                show(k).c_str(), show(*hi).c_str());
    }
    if (t.have_prev) {
      ORV_val p = val_of(t.prev);
      if (t.cmp(&p, &kv) >= 0)
        problem("%s: page %" PRIu64 " slot %u: key %s does not follow %s", lb, pgno, i,
                show(k).c_str(), show(t.prev).c_str());
    }
    t.prev = k;
    t.have_prev = true;
    entries += is_leaf2(mp) ? 1 : leaf_value(t, mp, i, k, pgno);
  }
  return entries;
}

// Checks one leaf node's value; returns the entries it holds.
uint64_t Verifier::leaf_value(Tree &t, ORV_page *mp, unsigned i, const std::string &key,
                              pgno_t pgno) {
  const char *lb = t.label.c_str();
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
    if (v && t.is_free) free_record(key, v, dsize);
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
        named_.push_back({key, rec});
      return 1;
    }
    if (!dupsort) {
      problem("%s: page %" PRIu64 " slot %u: duplicates in a tree without ORV_DUPSORT", lb, pgno,
              i);
      return 1;
    }
    if (f == (F_DUPDATA | F_SUBDATA)) return sub_tree(t, rec, key);
    auto *sp = reinterpret_cast<const ORV_page *>(data);
    return sub_page(t, sp, dsize, key, pgno);
  }
  if (t.is_free) free_record(key, data, dsize);
  if (dupsort && dsize > ORV_MAXKEYSIZE)
    problem("%s: page %" PRIu64 " slot %u: DUPSORT value of %zu bytes", lb, pgno, i, dsize);
  if (NODESIZE + even(node->mn_ksize) + dsize > env_->me_nodemax)
    problem("%s: page %" PRIu64 " slot %u: inline node of %zu bytes exceeds the node limit %u", lb,
            pgno, i, NODESIZE + even(node->mn_ksize) + dsize, env_->me_nodemax);
  return 1;
}

const uint8_t *Verifier::overflow(Tree &t, pgno_t pgno, size_t dsize, pgno_t owner) {
  const char *lb = t.label.c_str();
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

uint64_t Verifier::sub_page(Tree &t, const ORV_page *sp, size_t size, const std::string &key,
                            pgno_t owner) {
  Tree d;
  d.label = t.label + " dups of " + show(key);
  d.db.md_flags = t.db.md_flags & (ORV_DUPFIXED | ORV_PREFIXKEY);
  d.cmp = t.dcmp;
  d.is_dup = true;
  d.dupfixed = t.db.md_flags & ORV_DUPFIXED;
  d.prefix = (t.db.md_flags & ORV_PREFIXKEY) && !d.dupfixed;
  uint16_t want = P_LEAF | P_SUBP | (d.dupfixed ? P_LEAF2 : 0);
  if (size < PAGEHDRSZ || (sp->mp_flags & ~P_DIRTY) != want) {
    problem("%s: sub-page of %zu bytes with flags 0x%04x (expected 0x%04x)", d.label.c_str(), size,
            size >= PAGEHDRSZ ? sp->mp_flags : 0, want);
    return 1;
  }
  if (sp->mp_pgno != owner && (sp->mp_flags & P_DIRTY))
    problem("%s: dirty sub-page records page %" PRIu64 ", its leaf is %" PRIu64, d.label.c_str(),
            static_cast<uint64_t>(sp->mp_pgno), owner);
  // Sub-pages sit at 2-byte alignment inside the node: read a copy.
  std::vector<uint64_t> copy((size + 7) / 8);
  std::memcpy(copy.data(), sp, size);
  auto *mp = reinterpret_cast<ORV_page *>(copy.data());
  return leaf(d, mp, size, owner, -1, nullptr, nullptr);
}

uint64_t Verifier::sub_tree(Tree &t, const ORV_db &rec, const std::string &key) {
  Tree d;
  d.label = t.label + " dup tree of " + show(key);
  d.db = rec;
  d.cmp = t.dcmp;
  d.is_dup = true;
  d.dupfixed = rec.md_flags & ORV_DUPFIXED;
  d.counted = (t.db.md_flags & ORV_COUNTED) || (rec.md_flags & ORV_COUNTED);
  d.prefix = ((t.db.md_flags & ORV_PREFIXKEY) || (rec.md_flags & ORV_PREFIXKEY)) && !d.dupfixed;
  if (rec.md_root == P_INVALID || rec.md_entries == 0)
    problem("%s: empty duplicate tree", d.label.c_str());
  walk_tree(d, nullptr);
  return rec.md_entries;
}

}  // namespace orv_test::detail
