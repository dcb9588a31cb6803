// Hand-made pages for the node-edit tests: an aligned 4 KiB buffer and an
// empty page of given number and kind in it.
#ifndef ORV_TESTS_UTIL_PAGE_BUF_H
#define ORV_TESTS_UTIL_PAGE_BUF_H

#include <cstring>
#include <string>

#include "page/page.h"

namespace orv_test {

inline constexpr unsigned kPagePsize = 4096;

struct alignas(8) PageBuf {
  unsigned char b[kPagePsize];
  ORV_page *page() { return reinterpret_cast<ORV_page *>(b); }
  std::string bytes() const { return std::string(reinterpret_cast<const char *>(b), kPagePsize); }
};

// An empty dirty page numbered pgno with flags, as a writer's copy starts.
inline void init_page(ORV_page *mp, pgno_t pgno, uint16_t flags) {
  std::memset(mp, 0, kPagePsize);
  mp->mp_pgno = pgno;
  mp->mp_flags = static_cast<uint16_t>(flags | P_DIRTY);
  mp->mp_lower = PAGEHDRSZ;
  mp->mp_upper = kPagePsize;
}

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_PAGE_BUF_H
