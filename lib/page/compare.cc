// Built-in key comparators and their choice by database flags.
//
//   orv_cmp_bytes          memcmp order; a prefix sorts before longer keys
//   orv_cmp_bytes_reverse  the same, reading both values from their ends
//   orv_cmp_uint32/64      native unsigned integers in the leading bytes
//   orv_cmp_uint_words     native unsigned integer of any even size, as
//                          16-bit words from the most significant (last) word
//
// Comparators sit on every search path, so they allocate nothing and branch
// little. They never read past either value: the integer comparators treat
// bytes a short value lacks as zero (its high-order bytes on a little-endian
// host), so a wrongly sized key still orders deterministically instead of
// reading beyond its buffer.
#include <cstdint>
#include <cstring>

#include "page/page.h"

namespace {

inline const unsigned char *bytes_of(const ORV_val *v) {
  return static_cast<const unsigned char *>(v->mv_data);
}

inline int cmp_sizes(size_t a, size_t b) { return a < b ? -1 : a > b ? 1 : 0; }

// The leading sizeof(T) bytes of v as a native integer; missing bytes are 0.
template <typename T>
inline T load_uint(const ORV_val *v) {
  T x = 0;
  if (v->mv_size >= sizeof(T)) {
    std::memcpy(&x, v->mv_data, sizeof(T));
  } else if (v->mv_size > 0) {
    std::memcpy(&x, v->mv_data, v->mv_size);
  }
  return x;
}

// Word i of v, with bytes beyond v's size read as 0.
inline uint16_t word_at(const ORV_val *v, size_t i) {
  const size_t off = i * 2;
  if (off + 2 <= v->mv_size) {
    uint16_t w;
    std::memcpy(&w, bytes_of(v) + off, 2);
    return w;
  }
  uint16_t w = 0;
  if (off < v->mv_size) std::memcpy(&w, bytes_of(v) + off, v->mv_size - off);
  return w;
}

}  // namespace

int orv_cmp_bytes(const ORV_val *a, const ORV_val *b) {
  const size_t n = a->mv_size < b->mv_size ? a->mv_size : b->mv_size;
  if (n > 0) {
    if (int diff = std::memcmp(a->mv_data, b->mv_data, n); diff != 0) return diff;
  }
  return cmp_sizes(a->mv_size, b->mv_size);
}

int orv_cmp_bytes_reverse(const ORV_val *a, const ORV_val *b) {
  const size_t n = a->mv_size < b->mv_size ? a->mv_size : b->mv_size;
  if (n > 0) {
    const unsigned char *p1 = bytes_of(a) + a->mv_size;
    const unsigned char *p2 = bytes_of(b) + b->mv_size;
    for (size_t k = 0; k < n; ++k) {
      const int diff = static_cast<int>(*--p1) - static_cast<int>(*--p2);
      if (diff != 0) return diff;
    }
  }
  return cmp_sizes(a->mv_size, b->mv_size);
}

int orv_cmp_uint32(const ORV_val *a, const ORV_val *b) {
  const uint32_t x = load_uint<uint32_t>(a), y = load_uint<uint32_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

int orv_cmp_uint64(const ORV_val *a, const ORV_val *b) {
  const uint64_t x = load_uint<uint64_t>(a), y = load_uint<uint64_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// Compares over the length of the first value only: integer keys of one
// database all have the same size. Words are read from the most significant
// end, which on a little-endian host is the end of the value.
int orv_cmp_uint_words(const ORV_val *a, const ORV_val *b) {
  const size_t nwords = (a->mv_size + 1) / 2;
  if (a->mv_size % 2 == 0 && b->mv_size >= a->mv_size) {
    const unsigned char *p1 = bytes_of(a) + a->mv_size;
    const unsigned char *p2 = bytes_of(b) + a->mv_size;
    for (size_t k = 0; k < nwords; ++k) {
      uint16_t w1, w2;
      p1 -= 2;
      p2 -= 2;
      std::memcpy(&w1, p1, 2);
      std::memcpy(&w2, p2, 2);
      if (w1 != w2) return static_cast<int>(w1) - static_cast<int>(w2);
    }
    return 0;
  }
  // Odd size, or a second value shorter than the first.
  for (size_t i = nwords; i-- > 0;) {
    const uint16_t w1 = word_at(a, i), w2 = word_at(b, i);
    if (w1 != w2) return static_cast<int>(w1) - static_cast<int>(w2);
  }
  return 0;
}

ORV_cmp_func orv_default_key_cmp(unsigned md_flags) {
  if (md_flags & ORV_REVERSEKEY) return orv_cmp_bytes_reverse;
  if (md_flags & ORV_INTEGERKEY) return orv_cmp_uint_words;
  return orv_cmp_bytes;
}

ORV_cmp_func orv_default_dup_cmp(unsigned md_flags) {
  if (!(md_flags & ORV_DUPSORT)) return nullptr;
  if (md_flags & ORV_INTEGERDUP) {
    return (md_flags & ORV_DUPFIXED) ? orv_cmp_uint32 : orv_cmp_uint_words;
  }
  if (md_flags & ORV_REVERSEDUP) return orv_cmp_bytes_reverse;
  return orv_cmp_bytes;
}
