// Test support for prefix-compressed keys (see prefix_keys.h): encoding a
// key against a first key, and reading one slot's key with bounds checks.
#include "util/prefix_keys.h"

#include <cerrno>
#include <cstring>

size_t orv_prefix_key_write(const ORV_val *first, const ORV_val *key, void *out,
                            size_t *shared_out) {
  if (!first || !first->mv_data) {
    if (key->mv_size > 0) std::memcpy(out, key->mv_data, key->mv_size);
    if (shared_out) *shared_out = 0;
    return key->mv_size;
  }
  const size_t shared = orv_prefix_shared(first, key);
  if (shared_out) *shared_out = shared;
  return orv_prefix_key_encode(key, shared, out);
}

int orv_prefix_slot_key(const ORV_page *mp, size_t psize, unsigned i, ORV_val *out, void *buf,
                        size_t cap) {
  if (!orv_prefix_leaf_shape_ok(mp, psize)) return ORV_CORRUPTED;
  if (i >= numkeys(mp)) return EINVAL;
  if (!orv_node_in_page(mp, psize, 0, false) || !orv_node_in_page(mp, psize, i, false))
    return ORV_CORRUPTED;
  const ORV_val first = orv_page_first_key(mp);
  if (i == 0) {
    if (first.mv_size > cap) return ORV_BAD_VALSIZE;
    if (first.mv_size) std::memcpy(buf, first.mv_data, first.mv_size);
    out->mv_size = first.mv_size;
    out->mv_data = buf;
    return 0;
  }
  return orv_prefix_key_decode(&first, node_key(node_ptr(mp, i), NODESIZE),
                               node_ptr(mp, i)->mn_ksize, out, buf, cap, nullptr);
}
