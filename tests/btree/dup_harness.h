// Shared pieces of the duplicate tests: the table of database flag sets
// the value-set behaviours run over, and values that sort by their number in
// every one of them.
#ifndef ORV_TESTS_BTREE_DUP_HARNESS_H
#define ORV_TESTS_BTREE_DUP_HARNESS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "orv.h"

namespace orv_dup_test {

struct DupFlags {
  const char *name;
  unsigned flags;
  size_t fixed;  // ORV_DUPFIXED: the value size
};

inline const DupFlags kDupFlags[] = {
    {"plain", 0, 0},
    {"fixed4", ORV_DUPFIXED, 4},
    {"fixed16", ORV_DUPFIXED, 16},
    // Two values of this size with room for two more outgrow a node: the
    // second value moves the key straight into a sub-database.
    {"fixed511", ORV_DUPFIXED, 511},
    {"intdup4", ORV_DUPFIXED | ORV_INTEGERDUP, 4},
    {"intdup8", ORV_DUPFIXED | ORV_INTEGERDUP, 8},
    {"reverse", ORV_REVERSEDUP, 0},
    {"prefix", ORV_PREFIXKEY, 0},
    {"counted", ORV_COUNTED, 0},
    {"counted_fixed", ORV_COUNTED | ORV_DUPFIXED, 8},
    {"counted_prefix", ORV_COUNTED | ORV_PREFIXKEY, 0},
};

// Value number n of a set, in the database's value order when sorted by n.
inline std::string make_value(const DupFlags &df, uint64_t n) {
  if (df.flags & ORV_INTEGERDUP) {
    if (df.fixed == 4) {
      auto v = static_cast<uint32_t>(n * 977);
      return std::string(reinterpret_cast<const char *>(&v), 4);
    }
    // The low half falls as n grows: only a 64-bit order sorts by n.
    uint64_t v = (n << 32) | (0xFFFFFFFFu - static_cast<uint32_t>(n));
    return std::string(reinterpret_cast<const char *>(&v), 8);
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llu", static_cast<unsigned long long>(n));
  std::string v(buf);
  if (df.fixed) {
    v = std::string(df.fixed, '.') + v;
    v = v.substr(v.size() - df.fixed);
  } else {
    // Long shared prefixes (prefix compression), varied lengths.
    v = std::string(40, 'p') + v + std::string(n % 7 * 9, 's');
  }
  if (df.flags & ORV_REVERSEDUP) std::reverse(v.begin(), v.end());
  return v;
}

inline std::string make_key(uint64_t n) { return "key-" + std::to_string(1000 + n); }

// A descriptor of a string literal's bytes (val() of a temporary string
// would name freed bytes).
inline ORV_val cval(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }

}  // namespace orv_dup_test

#endif  // ORV_TESTS_BTREE_DUP_HARNESS_H
