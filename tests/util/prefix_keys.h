// Test support for prefix-compressed keys: helpers that only tests and the
// fuzz targets need, kept out of the library. Linked through orv_testutil
// (tests) or compiled into the fuzz target that uses them.
#ifndef ORV_TESTS_UTIL_PREFIX_KEYS_H
#define ORV_TESTS_UTIL_PREFIX_KEYS_H

#include <cstddef>

#include "page/page.h"

// Encodes key against first (its canonical form); without a first key (null
// or no data) copies the key whole. *shared_out (may be null) receives p, or
// 0. Returns the bytes written.
size_t orv_prefix_key_write(const ORV_val *first, const ORV_val *key, void *out,
                            size_t *shared_out);

// Decodes the key of slot i of a prefix page of psize bytes into buf
// (capacity cap); out points at buf. Slot 0 is copied whole. Returns 0,
// EINVAL (i >= numkeys), ORV_CORRUPTED (page header or node out of bounds,
// empty stored key or unreadable varint above slot 0) or ORV_BAD_VALSIZE
// (the key is longer than cap). Reads nothing outside [mp, mp + psize).
[[nodiscard]] int orv_prefix_slot_key(const ORV_page *mp, size_t psize, unsigned i, ORV_val *out,
                                      void *buf, size_t cap);

#endif  // ORV_TESTS_UTIL_PREFIX_KEYS_H
