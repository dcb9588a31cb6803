// Checks of pages read from the data file: one function per rule.
//
// The engine's assertions guard its own invariants; bytes read from the file
// are input. Every field a reader relies on to find other bytes (slot
// offsets, key and value sizes, child and overflow page numbers, run
// lengths) is checked before it is followed, so that a damaged page reads as
// ORV_CORRUPTED instead of a read outside the page or the map. The checks
// are cheap on purpose: a page header is checked once when a page enters
// use, a node when it is read, never the whole page on every visit. The
// checks that run on every page visit or every probe of a page search are
// inline in page.h.
#include "page/page.h"

bool orv_leaf2_page_ok(const ORV_page *mp, size_t psize, size_t key_size) {
  if (!orv_page_shape_ok(mp, psize) || mp->mp_pad == 0) return false;
  // Keys are read at the page's size or the tree's: both must fit.
  const size_t size = mp->mp_pad > key_size ? mp->mp_pad : key_size;
  return PAGEHDRSZ + size_t{numkeys(mp)} * size <= psize;
}

bool orv_page_nodes_ok(const ORV_page *mp, size_t psize) {
  if (!orv_page_shape_ok(mp, psize)) return false;
  for (unsigned i = 0, n = numkeys(mp); i < n; i++)
    if (!orv_node_in_page(mp, psize, i, true)) return false;
  return true;
}

bool orv_page_same_kind(const ORV_page *a, const ORV_page *b) {
  constexpr uint16_t kKind = P_BRANCH | P_LEAF | P_LEAF2;
  return (a->mp_flags & kKind) == (b->mp_flags & kKind);
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
