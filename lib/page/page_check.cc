// Checks of pages read from the data file: one function per rule.
//
// The engine's assertions guard its own invariants; bytes read from the file
// are input. Every field a reader relies on to find other bytes (slot
// offsets, key and value sizes, child and overflow page numbers, run
// lengths) is checked before it is followed, so that a damaged page reads as
// ORV_CORRUPTED instead of a read outside the page or the map. The checks
// are cheap on purpose: a page header is checked once when a page enters
// use, a node when it is read, never the whole page on every visit.
#include "page/page.h"

bool orv_page_shape_ok(const ORV_page *mp, size_t psize) {
  return mp->mp_lower >= PAGEHDRSZ && !(mp->mp_lower & 1) && mp->mp_lower <= mp->mp_upper &&
         mp->mp_upper <= psize;
}

bool orv_node_bounded(const ORV_page *mp, size_t psize, const ORV_node *node, bool with_value) {
  const auto ofs = static_cast<size_t>(reinterpret_cast<const std::byte *>(node) - page_bytes(mp));
  const unsigned hdrsz = node_hdrsz(mp);
  if (ofs < mp->mp_upper || (ofs & 1) || ofs + hdrsz > psize) return false;
  size_t end = ofs + hdrsz + node->mn_ksize;
  if (with_value && is_leaf(mp))
    end = ofs + NODESIZE + even(node->mn_ksize) +
          ((node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : node_dsize(node));
  return end <= psize;
}

bool orv_node_in_page(const ORV_page *mp, size_t psize, unsigned i, bool with_value) {
  // The offset is checked before the node is formed from it.
  const size_t ofs = mp_ptrs(mp)[i];
  if (ofs < mp->mp_upper || ofs >= psize) return false;
  return orv_node_bounded(mp, psize, node_ptr(mp, i), with_value);
}

bool orv_tree_page_ok(const ORV_page *mp, pgno_t pgno, size_t psize, bool leaf2_ok,
                      size_t key_size) {
  constexpr uint16_t kKind = P_BRANCH | P_LEAF | P_OVERFLOW | P_META | P_LEAF2 | P_SUBP | P_COUNTED;
  if (mp->mp_pgno != pgno) return false;
  switch (mp->mp_flags & kKind) {
    case P_BRANCH:
    case P_BRANCH | P_COUNTED:
      return orv_page_shape_ok(mp, psize);
    case P_LEAF:
      // Slot 0 is read with every other slot of a prefix-compressed leaf
      // (the key they are encoded against), so it is checked once here.
      return orv_page_shape_ok(mp, psize) &&
             (numkeys(mp) == 0 || orv_node_in_page(mp, psize, 0, false));
    case P_LEAF | P_LEAF2: {
      if (!leaf2_ok || !orv_page_shape_ok(mp, psize)) return false;
      // Keys are read at the page's size or the tree's: both must fit.
      const size_t size = mp->mp_pad > key_size ? mp->mp_pad : key_size;
      return mp->mp_pad != 0 && PAGEHDRSZ + size_t{numkeys(mp)} * size <= psize;
    }
    default:
      return false;
  }
}

bool orv_page_same_kind(const ORV_page *a, const ORV_page *b) {
  constexpr uint16_t kKind = P_BRANCH | P_LEAF | P_LEAF2;
  return (a->mp_flags & kKind) == (b->mp_flags & kKind);
}

bool orv_branch_keys_ok(const ORV_page *mp, bool free_db) {
  return numkeys(mp) >= (free_db ? 1u : 2u);
}

bool orv_overflow_page_ok(const ORV_page *omp, pgno_t pgno, size_t psize, pgno_t end, size_t size) {
  if (omp->mp_pgno != pgno || (omp->mp_flags & (P_OVERFLOW | P_BRANCH | P_LEAF)) != P_OVERFLOW)
    return false;
  const uint64_t n = mp_pages(omp);
  if (n == 0 || pgno >= end || n > end - pgno) return false;
  return size <= n * psize - PAGEHDRSZ;
}

bool orv_free_record_ok(const void *data, size_t size, pgno_t end, uint64_t *count_out) {
  if (size < sizeof(uint64_t)) return false;
  const auto *src = static_cast<const std::byte *>(data);
  const uint64_t count = load_u64(src);
  if (count > size / sizeof(uint64_t) - 1) return false;
  pgno_t prev = end;
  for (uint64_t j = 1; j <= count; j++) {
    const pgno_t pg = load_u64(src + j * sizeof(uint64_t));
    // Descending order makes every number below the previous one, so one
    // comparison also keeps it below end.
    if (pg >= prev || pg < NUM_METAS) return false;
    prev = pg;
  }
  *count_out = count;
  return true;
}
