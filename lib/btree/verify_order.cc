// Tree verifier: the built-in key orders and the decoding of
// prefix-compressed leaf keys, read anew from the page format so that a
// fault in the engine's own helpers cannot hide itself.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "btree/verify_walk.h"

namespace orv_verify {
namespace {

size_t varint_encode(uint64_t v, uint8_t *out) {
  uint8_t tmp[ORV_VARINT_MAX];
  size_t n = 0;
  do {
    tmp[n++] = v & 0x7F;
    v >>= 7;
  } while (v != 0);
  for (size_t i = 0; i < n; i++) out[i] = tmp[n - 1 - i] | (i + 1 < n ? 0x80 : 0);
  return n;
}

}  // namespace

bool KeyBuf::reserve(size_t want) {
  if (want <= cap) return true;
  size_t ncap = std::max<size_t>(want, 2 * cap + 64);
  auto *np = static_cast<uint8_t *>(std::realloc(p, ncap));
  if (np == nullptr) return false;
  p = np;
  cap = ncap;
  return true;
}

bool KeyBuf::set(const void *data, size_t len) {
  if (!reserve(len)) return false;
  if (len) std::memmove(p, data, len);
  n = len;
  return true;
}

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

// Appends printf-style text at buf + *at, never past cap bytes.
[[gnu::format(printf, 4, 5)]] static void append(char *buf, size_t cap, size_t *at, const char *fmt,
                                                 ...) {
  if (*at >= cap) return;
  va_list ap;
  va_start(ap, fmt);
  const int w = std::vsnprintf(buf + *at, cap - *at, fmt, ap);
  va_end(ap);
  if (w > 0) *at += static_cast<size_t>(w);
}

const char *show(const ORV_val &k, char *buf, size_t cap) {
  auto *s = static_cast<const uint8_t *>(k.mv_data);
  bool printable = std::all_of(s, s + k.mv_size, [](uint8_t c) { return c >= 32 && c < 127; });
  size_t n = std::min<size_t>(k.mv_size, 24);
  size_t at = 0;
  if (printable) {
    append(buf, cap, &at, "'%.*s%s'", static_cast<int>(n), reinterpret_cast<const char *>(s),
           n < k.mv_size ? "..." : "");
  } else {
    append(buf, cap, &at, "0x");
    for (size_t i = 0; i < n; i++) append(buf, cap, &at, "%02x", unsigned{s[i]});
    if (n < k.mv_size) append(buf, cap, &at, "...");
  }
  append(buf, cap, &at, "(%zu)", k.mv_size);
  return buf;
}

// ---- Prefix-compressed leaf keys ----------------------------------------------

Decoded decode_prefix(const ORV_val &first, const uint8_t *s, size_t len, KeyBuf &out,
                      size_t &padlen) {
  if (!out.set(s, len)) return Decoded::nomem;
  padlen = len;
  if (len == 0) return Decoded::corrupt;
  uint64_t p = 0;
  size_t vlen = 0;
  bool ended = false;
  while (vlen < std::min<size_t>(len, ORV_VARINT_READ_MAX)) {
    uint8_t b = s[vlen++];
    p = (p << 7) | (b & 0x7F);
    if (!(b & 0x80)) {
      ended = true;
      break;
    }
  }
  if (!ended) return Decoded::corrupt;
  auto *f = static_cast<const uint8_t *>(first.mv_data);
  if (p > first.mv_size) return Decoded::whole;
  size_t sfx = len - vlen;
  padlen = p + sfx;
  if (sfx > 0 && p < first.mv_size && s[vlen] == f[p]) return Decoded::whole;
  uint8_t enc[ORV_VARINT_MAX];
  size_t elen = varint_encode(p, enc);
  if (elen != vlen || std::memcmp(enc, s, vlen) != 0) return Decoded::whole;
  if (!out.reserve(p + sfx)) return Decoded::nomem;
  // The suffix is already in out at offset vlen; move it behind the prefix.
  std::memmove(out.p + p, out.p + vlen, sfx);
  if (p) std::memcpy(out.p, f, p);
  out.n = p + sfx;
  return Decoded::canonical;
}

}  // namespace orv_verify
