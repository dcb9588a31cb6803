// Fuzz target: the prefix-compressed key decoder and the checks of prefix
// leaf pages (lib/page). Two kinds of input, told apart by the first byte:
//   even: byte 1 = length L of the page's first key (255: no first key),
//         then L bytes of first key, then the stored bytes of a slot;
//   odd:  the rest is one leaf page (its length is the page size).
// Besides memory safety the target checks what the decoder promises:
//   - a canonical key decodes to the length the check reports, and
//     encoding the decoded key against the first key gives back exactly
//     the stored bytes (so every canonical key is what a writer writes);
//   - a key that is not canonical decodes to its stored bytes;
//   - a hint equal to the varint read changes nothing;
//   - on a page that passes orv_prefix_page_check, every slot decodes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "page/page.h"
#include "util/prefix_keys.h"

namespace {

// Exactly sized heap copies, so that a read one byte too far is reported.
struct Bytes {
  std::unique_ptr<uint8_t[]> p;
  size_t n;
  Bytes(const uint8_t *src, size_t len) : p(new uint8_t[len ? len : 1]), n(len) {
    if (len) std::memcpy(p.get(), src, len);
  }
};

// A broken promise names its line, so that a crash report says which.
void require(bool ok, unsigned line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "prefix_key.cc:%u: promise broken\n", line);
  std::abort();
}

constexpr size_t kCap = ORV_KEYBUF_MAX;

void one_key(const uint8_t *data, size_t size) {
  if (size < 2) return;
  const bool has_first = data[1] != 255;
  const size_t flen = has_first ? data[1] : 0;
  if (size < 2 + flen) return;
  Bytes first_bytes(data + 2, flen);
  Bytes stored(data + 2 + flen, size - 2 - flen);
  const ORV_val first{flen, first_bytes.p.get()};
  const ORV_val *fp = has_first ? &first : nullptr;

  uint8_t buf[kCap];
  ORV_val out{};
  const int rc = orv_prefix_key_decode(fp, stored.p.get(), stored.n, &out, buf, kCap, nullptr);
  require(rc == 0 || rc == ORV_CORRUPTED || rc == ORV_BAD_VALSIZE);
  if (rc == 0) require(out.mv_data == buf && out.mv_size <= kCap);
  const size_t slot_len = orv_prefix_slot_len(&first, stored.p.get(), stored.n);
  (void)slot_len;

  ORV_prefix_info info{};
  const bool canonical = orv_prefix_key_check(&first, stored.p.get(), stored.n, &info);
  if (!has_first || flen == 0) return;
  if (canonical) {
    require(info.shared <= flen && info.vlen <= stored.n);
    require(info.len == info.shared + (stored.n - info.vlen));
    require(slot_len == info.len);
    if (rc == ORV_BAD_VALSIZE) {
      require(info.len > kCap);
      return;
    }
    require(rc == 0 && out.mv_size == info.len);
    uint8_t again[kCap + 10];
    size_t shared = 0;
    const size_t n = orv_prefix_key_write(&first, &out, again, &shared);
    require(shared == info.shared && n == stored.n && std::memcmp(again, stored.p.get(), n) == 0);
    // The hint is the varint as read: the same key.
    const ORV_prefix_hint hint{info.shared, info.vlen};
    uint8_t hinted[kCap];
    ORV_val out2{};
    require(orv_prefix_key_decode(&first, stored.p.get(), stored.n, &out2, hinted, kCap, &hint) ==
                0 &&
            out2.mv_size == out.mv_size && std::memcmp(hinted, buf, out.mv_size) == 0);
    // One byte less room than the key needs is refused.
    if (out.mv_size > 0) {
      ORV_val out3{};
      require(orv_prefix_key_decode(&first, stored.p.get(), stored.n, &out3, hinted,
                                    out.mv_size - 1, nullptr) == ORV_BAD_VALSIZE);
    }
  } else if (rc == 0) {
    require(out.mv_size == stored.n && std::memcmp(buf, stored.p.get(), stored.n) == 0);
  }
}

void one_page(const uint8_t *data, size_t size) {
  if (size < PAGEHDRSZ || size > 65536) return;
  // Pages are 8-byte aligned in the map; malloc gives at least that.
  auto *raw = static_cast<uint8_t *>(std::malloc(size));
  std::memcpy(raw, data, size);
  const auto *mp = reinterpret_cast<const ORV_page *>(raw);
  const bool shape = orv_page_shape_ok(mp, size);
  if (shape) {
    for (unsigned i = 0; i < numkeys(mp); i++) {
      (void)orv_node_in_page(mp, size, i, false);
      (void)orv_node_in_page(mp, size, i, true);
    }
  }
  const size_t longest = orv_prefix_page_longest(mp, size);
  unsigned bad = 0;
  const int check = orv_prefix_page_check(mp, size, &bad);
  require(check == 0 || check == ORV_CORRUPTED || check == EINVAL);
  if (check == ORV_CORRUPTED) require(bad <= numkeys(mp));
  static uint8_t buf[65536];
  for (unsigned i = 0; i <= (shape ? numkeys(mp) : 2); i++) {
    ORV_val out{};
    const int rc = orv_prefix_slot_key(mp, size, i, &out, buf, sizeof buf);
    require(rc == 0 || rc == EINVAL || rc == ORV_CORRUPTED || rc == ORV_BAD_VALSIZE);
    if (check == 0 && i < numkeys(mp)) require(rc == 0 && out.mv_size <= longest);
  }
  if (check == 0) require(mp->mp_pad == (longest < ORV_PAD_MAX ? longest : ORV_PAD_MAX));
  std::free(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    one_page(data + 1, size - 1);
  else
    one_key(data, size);
  return 0;
}
