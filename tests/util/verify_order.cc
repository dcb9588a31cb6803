// Tree verifier: the built-in key orders and the decoding of
// prefix-compressed leaf keys, re-implemented from the page format.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/verify_walk.h"

namespace orv_test::detail {
namespace {

size_t varint_encode(uint64_t v, uint8_t *out) {
  uint8_t tmp[10];
  size_t n = 0;
  do {
    tmp[n++] = v & 0x7F;
    v >>= 7;
  } while (v != 0);
  for (size_t i = 0; i < n; i++) out[i] = tmp[n - 1 - i] | (i + 1 < n ? 0x80 : 0);
  return n;
}

}  // namespace

// ---- Built-in orders ----------------------------------------------------------

int cmp_bytes(const ORV_val *a, const ORV_val *b) {
  size_t n = std::min(a->mv_size, b->mv_size);
  int c = n ? std::memcmp(a->mv_data, b->mv_data, n) : 0;
  if (c != 0) return c;
  return a->mv_size < b->mv_size ? -1 : a->mv_size > b->mv_size;
}

int cmp_reverse(const ORV_val *a, const ORV_val *b) {
  auto *pa = static_cast<const uint8_t *>(a->mv_data) + a->mv_size;
  auto *pb = static_cast<const uint8_t *>(b->mv_data) + b->mv_size;
  size_t n = std::min(a->mv_size, b->mv_size);
  while (n--) {
    int d = int{*--pa} - int{*--pb};
    if (d != 0) return d;
  }
  return a->mv_size < b->mv_size ? -1 : a->mv_size > b->mv_size;
}

int cmp_u64(const ORV_val *a, const ORV_val *b) {
  uint64_t x = 0, y = 0;
  std::memcpy(&x, a->mv_data, std::min<size_t>(8, a->mv_size));
  std::memcpy(&y, b->mv_data, std::min<size_t>(8, b->mv_size));
  return x < y ? -1 : x > y;
}

int cmp_uint(const ORV_val *a, const ORV_val *b) {
  if (a->mv_size != b->mv_size) return cmp_bytes(a, b) < 0 ? -1 : 1;  // flagged elsewhere
  size_t words = a->mv_size / 2;
  auto *pa = static_cast<const uint8_t *>(a->mv_data);
  auto *pb = static_cast<const uint8_t *>(b->mv_data);
  while (words--) {
    uint16_t x, y;
    std::memcpy(&x, pa + 2 * words, 2);
    std::memcpy(&y, pb + 2 * words, 2);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

ORV_cmp_func key_order(unsigned flags) {
  if (flags & ORV_REVERSEKEY) return cmp_reverse;
  if (flags & ORV_INTEGERKEY) return cmp_uint;
  return cmp_bytes;
}

ORV_cmp_func dup_order(unsigned flags) {
  if (flags & ORV_INTEGERDUP) return cmp_uint;
  if (flags & ORV_REVERSEDUP) return cmp_reverse;
  return cmp_bytes;
}

ORV_val val_of(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }

std::string show(const std::string &s) {
  bool printable = std::all_of(s.begin(), s.end(), [](char c) { return c >= 32 && c < 127; });
  std::string out;
  size_t n = std::min<size_t>(s.size(), 24);
  if (printable) {
    out = "'" + s.substr(0, n) + (n < s.size() ? "...'" : "'");
  } else {
    char buf[4];
    out = "0x";
    for (size_t i = 0; i < n; i++) {
      std::snprintf(buf, sizeof buf, "%02x", static_cast<uint8_t>(s[i]));
      out += buf;
    }
    if (n < s.size()) out += "...";
  }
  return out + "(" + std::to_string(s.size()) + ")";
}

// ---- Prefix-compressed leaf keys ----------------------------------------------

Decoded decode_prefix(const std::string &first, const uint8_t *s, size_t len, std::string &out,
                      size_t &padlen) {
  out.assign(reinterpret_cast<const char *>(s), len);
  padlen = len;
  if (len == 0) return Decoded::corrupt;
  uint64_t p = 0;
  size_t vlen = 0;
  bool ended = false;
  while (vlen < std::min<size_t>(len, 9)) {
    uint8_t b = s[vlen++];
    p = (p << 7) | (b & 0x7F);
    if (!(b & 0x80)) {
      ended = true;
      break;
    }
  }
  if (!ended) return Decoded::corrupt;
  if (p > first.size()) return Decoded::whole;
  size_t sfx = len - vlen;
  padlen = p + sfx;
  if (sfx > 0 && p < first.size() && s[vlen] == static_cast<uint8_t>(first[p]))
    return Decoded::whole;
  uint8_t enc[10];
  size_t elen = varint_encode(p, enc);
  if (elen != vlen || std::memcmp(enc, s, vlen) != 0) return Decoded::whole;
  out = first.substr(0, p);
  out.append(reinterpret_cast<const char *>(s) + vlen, sfx);
  return Decoded::canonical;
}

}  // namespace orv_test::detail
