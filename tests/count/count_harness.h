// Shared pieces of the counting suites: the flag sets a counted database is
// tested with, keys and values for them, an ordered model of a database's
// entries that knows nothing of the engine, and the answers the model
// gives for ranks and range counts.
#ifndef ORV_TESTS_COUNT_COUNT_HARNESS_H
#define ORV_TESTS_COUNT_COUNT_HARNESS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "orv.h"
#include "util/fixtures.h"

namespace orv_test {

struct CountConfig {
  const char *name;
  unsigned flags;  // database flags besides ORV_COUNTED
};

inline constexpr CountConfig kCountConfigs[] = {
    {"Plain", 0},
    {"DupSort", ORV_DUPSORT},
    {"DupFixed", ORV_DUPSORT | ORV_DUPFIXED},
    {"PrefixKey", ORV_PREFIXKEY},
    {"DupSortPrefixKey", ORV_DUPSORT | ORV_PREFIXKEY},
    {"IntegerKey", ORV_INTEGERKEY},
    {"ReverseKey", ORV_REVERSEKEY},
};

inline std::string config_name(const testing::TestParamInfo<CountConfig> &info) {
  return info.param.name;
}

// Key number i for a database with these flags: 4-byte integers for
// ORV_INTEGERKEY, paths with long shared prefixes for ORV_PREFIXKEY,
// decimal strings otherwise.
inline std::string count_key(unsigned flags, uint32_t i) {
  if (flags & ORV_INTEGERKEY) return std::string(reinterpret_cast<const char *>(&i), sizeof i);
  char buf[64];
  if (flags & ORV_PREFIXKEY) {
    std::snprintf(buf, sizeof buf, "/srv/archive/objects/%03u/%07u", i % 7, i);
  } else {
    std::snprintf(buf, sizeof buf, "key%07u", i);
  }
  return buf;
}

// A value for key number i: fixed 8 bytes with ORV_DUPFIXED, else of
// varying length (up to len bytes) so that leaves hold few entries and
// trees grow deep quickly.
inline std::string count_value(unsigned flags, uint32_t i, size_t len = 300) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "v%07u", i);
  if (flags & ORV_DUPFIXED) return std::string(buf, 8);
  std::string v(buf);
  v.resize(8 + (i * 37u) % (len > 8 ? len - 8 : 1), static_cast<char>('a' + i % 26));
  return v;
}

// Key order of the built-in comparators, written independently: unsigned
// native integers, bytes compared from the end, or plain bytes.
struct KeyLess {
  unsigned flags;
  static int compare(unsigned flags, const std::string &a, const std::string &b) {
    if ((flags & ORV_INTEGERKEY) && a.size() == b.size() && (a.size() == 4 || a.size() == 8)) {
      uint64_t x = 0, y = 0;
      std::memcpy(&x, a.data(), a.size());
      std::memcpy(&y, b.data(), b.size());
      return x < y ? -1 : x > y ? 1 : 0;
    }
    if (flags & ORV_REVERSEKEY) {
      size_t i = a.size(), j = b.size();
      while (i > 0 && j > 0) {
        const auto ca = static_cast<unsigned char>(a[--i]), cb = static_cast<unsigned char>(b[--j]);
        if (ca != cb) return ca < cb ? -1 : 1;
      }
      return i == j ? 0 : (i < j ? -1 : 1);
    }
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
  }
  bool operator()(const std::string &a, const std::string &b) const {
    return compare(flags, a, b) < 0;
  }
};

// The entries of a database in rank order: (key, value) pairs sorted by
// key, then by value.
class CountModel {
 public:
  explicit CountModel(unsigned flags) : flags_(flags) {}

  unsigned flags() const { return flags_; }
  size_t size() const { return entries_.size(); }
  const std::pair<std::string, std::string> &at(size_t rank) const { return entries_[rank]; }
  const std::vector<std::pair<std::string, std::string>> &entries() const { return entries_; }

  // Stores key/value: a new key, or (without duplicates) a new value.
  void put(const std::string &key, const std::string &value) {
    auto it = key_lower(key);
    if (it != entries_.end() && same_key(it->first, key)) {
      it->second = value;
      return;
    }
    entries_.insert(it, {key, value});
  }
  bool erase(const std::string &key) {
    auto it = key_lower(key);
    if (it == entries_.end() || !same_key(it->first, key)) return false;
    entries_.erase(it);
    return true;
  }
  bool contains(const std::string &key) const {
    auto it = key_lower(key);
    return it != entries_.end() && same_key(it->first, key);
  }

  // Entries whose key is below key (or not above it with inclusive).
  uint64_t before(const std::string &key, bool inclusive) const {
    auto it = inclusive ? key_upper(key) : key_lower(key);
    return static_cast<uint64_t>(it - entries_.begin());
  }
  // Rank of the first entry of key, or -1 when absent.
  int64_t rank(const std::string &key) const {
    return contains(key) ? static_cast<int64_t>(before(key, false)) : -1;
  }
  // Entries in the range with ORV_RANGE_* flags; null bounds are open.
  uint64_t range(const std::string *low, const std::string *high, unsigned flags) const {
    if (low != nullptr && high != nullptr) {
      const int c = KeyLess::compare(flags_, *low, *high);
      if (c > 0 || (c == 0 && flags != (ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL))) return 0;
    }
    const uint64_t upper =
        high != nullptr ? before(*high, (flags & ORV_RANGE_UPPER_INCL) != 0) : size();
    const uint64_t lower = low != nullptr ? before(*low, !(flags & ORV_RANGE_LOWER_INCL)) : 0;
    return upper > lower ? upper - lower : 0;
  }

 private:
  bool same_key(const std::string &a, const std::string &b) const {
    return KeyLess::compare(flags_, a, b) == 0;
  }
  using Entries = std::vector<std::pair<std::string, std::string>>;
  Entries::const_iterator key_lower(const std::string &key) const {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [this](const auto &e, const std::string &k) {
                              return KeyLess::compare(flags_, e.first, k) < 0;
                            });
  }
  Entries::iterator key_lower(const std::string &key) {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [this](const auto &e, const std::string &k) {
                              return KeyLess::compare(flags_, e.first, k) < 0;
                            });
  }
  Entries::const_iterator key_upper(const std::string &key) const {
    return std::upper_bound(entries_.begin(), entries_.end(), key,
                            [this](const std::string &k, const auto &e) {
                              return KeyLess::compare(flags_, k, e.first) < 0;
                            });
  }

  unsigned flags_;
  Entries entries_;
};

// Puts key number i with its value for i = first, first + step, ... below
// end, into the database and into the model.
inline void put_numbered(ORV_txn *txn, ORV_dbi dbi, CountModel &model, uint32_t first, uint32_t end,
                         uint32_t step = 1, size_t vlen = 300) {
  for (uint32_t i = first; i < end; i += step) {
    const std::string k = count_key(model.flags(), i), v = count_value(model.flags(), i, vlen);
    ORV_val kv = val(k), dv = val(v);
    ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0) << i;
    model.put(k, v);
  }
}

// The count of a key range the way an application asks for it: entries
// through orv_count_range, or through orv_range_count_values where
// duplicates are allowed.
inline int range_entries(ORV_txn *txn, ORV_dbi dbi, unsigned dbflags, const ORV_val *low,
                         const ORV_val *high, unsigned flags, uint64_t *count) {
  if (dbflags & ORV_DUPSORT) return orv_range_count_values(txn, dbi, low, high, flags, count);
  return orv_count_range(txn, dbi, low, high, flags, count);
}

}  // namespace orv_test

#endif  // ORV_TESTS_COUNT_COUNT_HARNESS_H
