// Prefix-compressed leaf keys: the varint codec and the byte-level encoder,
// decoder and canonical-form check.
//
// On a leaf page of a database with ORV_PREFIXKEY, slot 0 holds its key
// whole; every other slot stores
//     varint(p) | key[p..]
// where p is the length of the longest common prefix of the key and slot 0's
// key. The varint holds 7-bit groups, most significant first, with bit 0x80
// set on every byte but the last; writers use the minimal form.
//
// A stored key is canonical when its varint is minimal and p is maximal (the
// suffix is empty, p is the whole first key, or the suffix's first byte
// differs from the first key's byte at p). Writers only produce canonical
// keys; the decoder reads anything else as a key stored whole, so foreign or
// damaged bytes never decode to a key that a writer could not have meant.
// Only a varint that cannot be read is an error (ORV_CORRUPTED).
//
// Nothing here allocates; decoding writes into the caller's buffer and
// never reads outside the stored bytes or the first key.
#include <cstdint>
#include <cstring>

#include "page/page.h"

namespace {

inline const uint8_t *u8(const void *p) { return static_cast<const uint8_t *>(p); }

// Result of reading the prefix of a stored key, before any copying.
struct Parsed {
  uint64_t shared;  // p
  uint64_t vlen;    // bytes of the varint
  bool whole;       // the stored bytes are the key itself
};

// Steps shared by decode and check. Returns ORV_CORRUPTED for a varint that
// cannot be read, else 0 with *out filled in.
[[nodiscard]] int parse(const ORV_val *first, const uint8_t *stored, size_t stored_len,
                        const ORV_prefix_hint *hint, Parsed *out) {
  if (stored_len == 0) return ORV_CORRUPTED;
  uint64_t p, vlen;
  if (hint) {
    p = hint->shared;
    vlen = hint->vlen;
  } else if (orv_prefix_key_read(*first, stored, stored_len, &p, &vlen) ==
             ORV_prefix_form::kCorrupt) {
    return ORV_CORRUPTED;
  }
  out->shared = p;
  out->vlen = vlen;
  out->whole =
      !orv_prefix_canonical(u8(first->mv_data), first->mv_size, stored, stored_len, p, vlen);
  return 0;
}

}  // namespace

unsigned orv_varint_size(uint64_t v) {
  unsigned n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

unsigned orv_varint_encode(uint64_t v, uint8_t *out) {
  const unsigned n = orv_varint_size(v);
  for (unsigned i = n; i-- > 0;) {
    out[i] = static_cast<uint8_t>((v & 0x7F) | (i + 1 < n ? 0x80 : 0));
    v >>= 7;
  }
  return n;
}

unsigned orv_varint_decode(const uint8_t *p, const uint8_t *end, uint64_t *v) {
  const size_t avail = p < end ? static_cast<size_t>(end - p) : 0;
  const size_t limit = avail < ORV_VARINT_READ_MAX ? avail : ORV_VARINT_READ_MAX;
  uint64_t x = 0;
  for (size_t i = 0; i < limit; ++i) {
    x = (x << 7) | (p[i] & 0x7F);
    if (!(p[i] & 0x80)) {
      *v = x;
      return static_cast<unsigned>(i + 1);
    }
  }
  return 0;
}

size_t orv_prefix_shared(const ORV_val *a, const ORV_val *b) {
  const size_t n = a->mv_size < b->mv_size ? a->mv_size : b->mv_size;
  return n ? orv_first_diff(a->mv_data, b->mv_data, n) : 0;
}

size_t orv_prefix_key_size(size_t key_size, size_t shared) {
  if (shared > key_size) shared = key_size;
  return orv_varint_size(shared) + key_size - shared;
}

size_t orv_prefix_key_encode(const ORV_val *key, size_t shared, void *out) {
  if (shared > key->mv_size) shared = key->mv_size;
  auto *o = static_cast<uint8_t *>(out);
  const unsigned vlen = orv_varint_encode(shared, o);
  const size_t rest = key->mv_size - shared;
  if (rest > 0) std::memcpy(o + vlen, u8(key->mv_data) + shared, rest);
  return vlen + rest;
}

int orv_prefix_key_decode(const ORV_val *first, const void *stored, size_t stored_len, ORV_val *out,
                          void *buf, size_t cap, const ORV_prefix_hint *hint) {
  Parsed parsed{0, 0, true};
  if (first && first->mv_data) {
    if (int rc = parse(first, u8(stored), stored_len, hint, &parsed); rc != 0) return rc;
  }
  auto *b = static_cast<uint8_t *>(buf);
  if (parsed.whole) {
    if (stored_len > cap) return ORV_BAD_VALSIZE;
    if (stored_len > 0) std::memmove(b, stored, stored_len);
    out->mv_size = stored_len;
    out->mv_data = buf;
    return 0;
  }
  const size_t p = parsed.shared;
  const size_t s = stored_len - parsed.vlen;
  if (p + s > cap) return ORV_BAD_VALSIZE;
  // The first key may already sit at the front of buf (a cursor decoding
  // into the buffer that holds slot 0's key): memmove covers that.
  if (p > 0) std::memmove(b, first->mv_data, p);
  if (s > 0) std::memcpy(b + p, u8(stored) + parsed.vlen, s);
  out->mv_size = p + s;
  out->mv_data = buf;
  return 0;
}

bool orv_prefix_key_check(const ORV_val *first, const void *stored, size_t stored_len,
                          ORV_prefix_info *info) {
  if (!first || !first->mv_data) return false;
  Parsed parsed{0, 0, true};
  if (parse(first, u8(stored), stored_len, nullptr, &parsed) != 0 || parsed.whole) return false;
  const uint64_t s = stored_len - parsed.vlen;
  if (parsed.shared + s < s) return false;  // length overflow
  if (info) {
    info->shared = parsed.shared;
    info->vlen = parsed.vlen;
    info->len = parsed.shared + s;
  }
  return true;
}
