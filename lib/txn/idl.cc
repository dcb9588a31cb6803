// ID lists: the flat arrays that carry sets of page numbers on the write path.
//
// ORV_IDL block (words of 64 bits):
//   block[0]  capacity: ids that fit after the count word
//   block[1]  count n            <- the handle points here (element 0)
//   block[2.. n+1]  ids, kept in descending order by search/merge/sort
// ORV_ID2L: element 0's mid is the count; pairs 1..n ascend by mid. The owner
// allocates ORV_IDL_UM_SIZE pairs, so insert/append stop at ORV_IDL_UM_MAX.
//
// Nothing here allocates except the growth paths, which realloc the whole
// block and replace the caller's handle; on ENOMEM the list is untouched.
#include "idl.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Ids past this count could not be bisected (counts are read as 32 bits).
constexpr uint64_t kMaxIds = UINT32_MAX;

inline ORV_ID *idl_block(ORV_IDL ids) { return ids - 1; }
inline ORV_ID idl_capacity(const ORV_ID *ids) { return ids[-1]; }

// Reallocates the block of *idp to hold capacity ids; the count and the ids
// are kept. On failure nothing changes.
[[nodiscard]] int idl_resize(ORV_IDL *idp, uint64_t capacity) {
  if (capacity > SIZE_MAX / sizeof(ORV_ID) - 2) return ENOMEM;
  auto *block =
      static_cast<ORV_ID *>(std::realloc(idl_block(*idp), (capacity + 2) * sizeof(ORV_ID)));
  if (!block) return ENOMEM;
  block[0] = capacity;
  *idp = block + 1;
  return 0;
}

inline unsigned count32(ORV_ID word) { return static_cast<unsigned>(word); }

// Bisection over n elements at positions 1..n: order(p) < 0 when the
// sought element lies before position p, > 0 when after it, 0 when p holds
// it. The first probe is position n/2 + 1; a miss returns the position
// where the element would be inserted.
template <typename Order>
unsigned bisect(unsigned n, Order order) {
  unsigned base = 0, probe = 1;
  int val = 0;
  while (n > 0) {
    unsigned pivot = n >> 1;
    probe = base + pivot + 1;
    val = order(probe);
    if (val < 0) {
      n = pivot;
    } else if (val > 0) {
      base = probe;
      n -= pivot + 1;
    } else {
      return probe;
    }
  }
  return val > 0 ? probe + 1 : probe;
}

}  // namespace

// Bisection over the descending ids; a miss returns where the id would be
// inserted.
extern "C" ORV_API unsigned orv_idl_search(ORV_IDL ids, ORV_ID id) noexcept {
  if (!ids) return 1;
  // Descending order: a larger probed id lies before the sought one.
  return bisect(count32(ids[0]), [&](unsigned p) {
    return ids[p] < id ? -1 : ids[p] > id ? 1 : 0;
  });
}

extern "C" ORV_API ORV_IDL orv_idl_alloc(int num) noexcept {
  if (num < 0) return nullptr;
  auto *block = static_cast<ORV_ID *>(std::malloc((static_cast<size_t>(num) + 2) * sizeof(ORV_ID)));
  if (!block) return nullptr;
  block[0] = static_cast<ORV_ID>(num);
  block[1] = 0;
  return block + 1;
}

extern "C" ORV_API void orv_idl_free(ORV_IDL ids) noexcept {
  if (ids) std::free(idl_block(ids));
}

// Trims a list that one large transaction grew, so the block does not stay
// huge for ever. A list still holding more than ORV_IDL_UM_MAX ids is left
// alone: trimming it would cut off ids that are still counted.
extern "C" ORV_API void orv_idl_shrink(ORV_IDL *idp) noexcept {
  if (!idp || !*idp) return;
  ORV_IDL ids = *idp;
  if (idl_capacity(ids) <= ORV_IDL_UM_MAX || ids[0] > ORV_IDL_UM_MAX) return;
  (void)idl_resize(idp, ORV_IDL_UM_MAX);  // a failed trim keeps the larger block
}

// Grows by about a quarter plus 258 words, rounded down to whole 256-word
// steps; the two header words come out of the block size.
extern "C" ORV_API int orv_idl_need(ORV_IDL *idp, unsigned num) noexcept {
  if (!idp || !*idp) return EINVAL;
  ORV_IDL ids = *idp;
  uint64_t total = ids[0] + uint64_t{num};
  if (total <= idl_capacity(ids)) return 0;
  if (total > kMaxIds) return ENOMEM;
  uint64_t words = (total + total / 4 + 258) & ~uint64_t{255};
  return idl_resize(idp, words - 2);
}

extern "C" ORV_API int orv_idl_append(ORV_IDL *idp, ORV_ID id) noexcept {
  if (!idp || !*idp) return EINVAL;
  if ((*idp)[0] >= idl_capacity(*idp)) {
    if (int rc = idl_resize(idp, idl_capacity(*idp) + ORV_IDL_UM_MAX); rc != 0) return rc;
  }
  ORV_IDL ids = *idp;
  ids[++ids[0]] = id;
  return 0;
}

extern "C" ORV_API int orv_idl_append_list(ORV_IDL *idp, ORV_IDL app) noexcept {
  if (!idp || !*idp || !app) return EINVAL;
  const uint64_t n = app[0];
  if (n == 0) return 0;
  // Grows also when the appended ids would exactly fill the list.
  if ((*idp)[0] + n >= idl_capacity(*idp)) {
    if (int rc = idl_resize(idp, idl_capacity(*idp) + n); rc != 0) return rc;
  }
  ORV_IDL ids = *idp;
  std::memcpy(&ids[ids[0] + 1], &app[1], n * sizeof(ORV_ID));
  ids[0] += n;
  return 0;
}

// Appends first+n-1 .. first, so the new tail is descending like the list.
extern "C" ORV_API int orv_idl_append_range(ORV_IDL *idp, ORV_ID id, unsigned n) noexcept {
  if (!idp || !*idp) return EINVAL;
  if (n == 0) return 0;
  if ((*idp)[0] + n > idl_capacity(*idp)) {
    if (int rc = idl_resize(idp, idl_capacity(*idp) + (n | ORV_IDL_UM_MAX)); rc != 0) return rc;
  }
  ORV_IDL ids = *idp;
  ORV_ID *out = &ids[ids[0] + 1];
  for (unsigned k = n; k > 0; --k) *out++ = id + k - 1;
  ids[0] += n;
  return 0;
}

// Merges from the tail. Element 0 is set to all ones while the scan runs, so
// the inner loop that moves smaller destination ids down needs no bound
// check: no id is larger than the sentinel. A shared id keeps both copies,
// the destination's first. A destination without room for the result is
// left unchanged rather than written past its block.
extern "C" ORV_API void orv_idl_xmerge(ORV_IDL idl, ORV_IDL merge) noexcept {
  if (!idl || !merge) return;
  const ORV_ID old_count = idl[0];
  const ORV_ID total = old_count + merge[0];
  if (total > idl_capacity(idl)) return;
  ORV_ID i = old_count, j = merge[0], k = total;
  idl[0] = ~ORV_ID{0};
  while (j > 0) {
    const ORV_ID id = merge[j--];
    while (idl[i] < id) idl[k--] = idl[i--];
    idl[k--] = id;
  }
  idl[0] = total;
}

// Quicksort into descending order with median-of-three pivots and an
// explicit stack; ranges of at most kSmall ids finish by insertion sort.
// The larger part is always pushed and the smaller one sorted first, so at
// most log2(n) ranges are pending: 32 ranges cover any 32-bit count.
extern "C" ORV_API void orv_idl_sort(ORV_IDL ids) noexcept {
  constexpr int64_t kSmall = 8;
  constexpr int kStack = 64;  // int slots: two per pending range
  if (!ids) return;
  int64_t stack[kStack];
  int top = 0;
  int64_t l = 1, r = count32(ids[0]);
  for (;;) {
    if (r - l < kSmall) {
      // Everything left of l is >= this range, so the scan stops there by
      // itself even though it may run to element 1.
      for (int64_t j = l + 1; j <= r; ++j) {
        const ORV_ID a = ids[j];
        int64_t i = j - 1;
        for (; i >= 1 && ids[i] < a; --i) ids[i + 1] = ids[i];
        ids[i + 1] = a;
      }
      if (top == 0) break;
      r = stack[--top];
      l = stack[--top];
      continue;
    }
    std::swap(ids[(l + r) >> 1], ids[l + 1]);
    if (ids[l] < ids[r]) std::swap(ids[l], ids[r]);
    if (ids[l + 1] < ids[r]) std::swap(ids[l + 1], ids[r]);
    if (ids[l] < ids[l + 1]) std::swap(ids[l], ids[l + 1]);
    // ids[l] >= a >= ids[r] bound both scans below.
    int64_t i = l + 1, j = r;
    const ORV_ID a = ids[l + 1];
    for (;;) {
      while (ids[++i] > a) {
      }
      while (ids[--j] < a) {
      }
      if (j < i) break;
      std::swap(ids[i], ids[j]);
    }
    ids[l + 1] = ids[j];
    ids[j] = a;
    if (r - i + 1 >= j - l) {
      stack[top++] = i;
      stack[top++] = r;
      r = j - 1;
    } else {
      stack[top++] = l;
      stack[top++] = j - 1;
      l = i;
    }
  }
}

// Bisection over the ascending pairs; a miss returns the first position
// whose mid is greater.
extern "C" ORV_API unsigned orv_id2l_search(ORV_ID2L ids, ORV_ID id) noexcept {
  if (!ids) return 1;
  // The first position whose mid is not below id (the ids are distinct),
  // found by halving without a jump on the compare: lookups of pages the
  // list does not hold, most of those of a put, mispredict nothing.
  unsigned n = count32(ids[0].mid);
  if (n == 0) return 1;
  const ORV_ID2 *base = ids + 1;
  while (n > 1) {
    const unsigned half = n / 2;
    base += static_cast<unsigned>(base[half - 1].mid < id) * half;
    n -= half;
  }
  return static_cast<unsigned>(base - ids) + (base->mid < id ? 1u : 0u);
}

extern "C" ORV_API int orv_id2l_insert(ORV_ID2L ids, ORV_ID2 *id) noexcept {
  if (!ids || !id) return EINVAL;
  const unsigned x = orv_id2l_search(ids, id->mid);
  const ORV_ID count = ids[0].mid;
  if (x <= count && ids[x].mid == id->mid) return -1;
  if (count >= ORV_IDL_UM_MAX) return -2;
  std::memmove(&ids[x + 1], &ids[x], (count + 1 - x) * sizeof(ORV_ID2));
  ids[x] = *id;
  ids[0].mid = count + 1;
  return 0;
}

extern "C" ORV_API int orv_id2l_append(ORV_ID2L ids, ORV_ID2 *id) noexcept {
  if (!ids || !id) return EINVAL;
  if (ids[0].mid >= ORV_IDL_UM_MAX) return -2;
  ids[++ids[0].mid] = *id;
  return 0;
}
