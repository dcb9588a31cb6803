// Prefetch hints for walks and searches over pages.
//
// A walk over leaves scattered in the file and a bisection inside a page
// are chains of dependent loads: each leaf costs a TLB miss and a cache
// miss, each probe a slot line and then a node line. None of that is
// bandwidth, so asking for the lines before they are needed hides it.
//
// A prefetch is a hint and never faults, so an address taken from a stale
// or damaged page is harmless; still, no helper here reads a byte of a page
// it has not been told is in cache, and every offset taken from a page is
// bounded by the page size before a line is asked for. Nothing here changes
// what any routine reads or returns.
#ifndef ORV_PAGE_PREFETCH_H
#define ORV_PAGE_PREFETCH_H

#include <cstddef>
#include <cstdint>

#include "page/page.h"

inline constexpr size_t ORV_CACHE_LINE = 64;

// Asks for the cache line holding p, to be read soon. The compiler counts a
// prefetch as no effect at all, so a function whose only work is asking for
// lines would be taken for one without effects and its calls dropped; the
// empty volatile statement is an effect that keeps them (and costs nothing).
inline void orv_prefetch(const void *p) {
  __builtin_prefetch(p, 0, 3);
  asm volatile("");
}

// Asks for every line of [p, p + bytes).
inline void orv_prefetch_range(const void *p, size_t bytes) {
  const auto first = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{ORV_CACHE_LINE - 1};
  const uintptr_t end = reinterpret_cast<uintptr_t>(p) + bytes;
  for (uintptr_t a = first; a < end; a += ORV_CACHE_LINE)
    orv_prefetch(reinterpret_cast<const void *>(a));
}

// A page not read yet: its header and the start of its slot array, the
// lines every reader of the page takes first.
inline void orv_prefetch_page_head(const void *page) {
  orv_prefetch(page);
  orv_prefetch(static_cast<const std::byte *>(page) + ORV_CACHE_LINE);
}

// The whole slot array of a page whose header is already read. lower is
// clamped to the page so that a damaged header asks for nothing outside it.
inline void orv_prefetch_slots(const ORV_page *mp, size_t psize) {
  const size_t lower = mp->mp_lower < psize ? mp->mp_lower : psize;
  if (lower > ORV_CACHE_LINE)
    orv_prefetch_range(page_bytes(mp) + ORV_CACHE_LINE, lower - ORV_CACHE_LINE);
}

// The node of slot i of a page whose slot array is read: its header, its
// key's first bytes and, with value_line, the line after (where a short
// key's value begins). REQUIRES: i < numkeys(mp).
inline void orv_prefetch_node(const ORV_page *mp, unsigned i, size_t psize, bool value_line) {
  const size_t ofs = mp_ptrs(mp)[i];
  if (ofs >= psize) return;
  const std::byte *node = page_bytes(mp) + ofs;
  orv_prefetch(node);
  if (value_line && ofs + ORV_CACHE_LINE < psize) orv_prefetch(node + ORV_CACHE_LINE);
}

// Where page pgno lies in a map of maxpg pages of psize bytes at base, for
// a hint only (a write transaction may hold a newer copy of the page
// elsewhere); null outside the map.
inline const void *orv_map_page_hint(const char *base, pgno_t maxpg, size_t psize, pgno_t pgno) {
  if (base == nullptr || pgno >= maxpg) return nullptr;
  return base + psize * pgno;
}

#endif  // ORV_PAGE_PREFETCH_H
