// Helpers shared by the fuzz targets: a scratch directory of the process,
// writing an input to a file, and a bounded tour of one database that
// touches every read path a damaged store can reach.
#ifndef ORV_FUZZ_FUZZ_UTIL_H
#define ORV_FUZZ_FUZZ_UTIL_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orv.h"

namespace orv_fuzz {

// A directory of this process, on tmpfs when there is one (the targets
// write a file per input). Left behind on purpose: libFuzzer ends the
// process with _exit, and the files are small.
inline const std::string &scratch_dir() {
  static const std::string dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/orv-fuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
  }();
  return dir;
}

// Replaces the file at path with the bytes given.
inline void write_file(const std::string &path, const uint8_t *data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  close(fd);
}

inline std::string str(const ORV_val &v) {
  return std::string(static_cast<const char *>(v.mv_data), v.mv_size);
}
inline ORV_val val(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }
// A string literal's bytes (without the NUL); the literal outlives the call.
inline ORV_val val(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }

// Most cursor steps one walk takes: a damaged tree must not make a walk
// run forever, but the limit keeps a slow input from looking like a hang.
inline constexpr int kMaxSteps = 20000;

// Keys seen on a walk, kept (copied) to probe the tree with later.
struct Probes {
  std::vector<std::string> keys;
  std::vector<std::string> vals;
  void keep(const ORV_val &k, const ORV_val &v) {
    if (keys.size() < 8) {
      keys.push_back(str(k));
      vals.push_back(str(v));
    }
  }
};

// Walks the database both ways, with the duplicate steps when it has
// duplicates, then probes it with the keys seen and a few others. Every
// result is allowed: only crashes, hangs and sanitizer reports count.
inline void tour(ORV_txn *txn, ORV_dbi dbi, Probes *seen) {
  unsigned flags = 0;
  if (orv_dbi_flags(txn, dbi, &flags) != 0) return;
  const bool dups = flags & ORV_DUPSORT;
  ORV_cursor *mc = nullptr;
  if (orv_cursor_open(txn, dbi, &mc) != 0) return;
  ORV_val k{}, v{};
  int steps = 0;
  for (int rc = orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0 && steps < kMaxSteps;
       rc = orv_cursor_get(mc, &k, &v, ORV_NEXT), steps++) {
    seen->keep(k, v);
    if (dups) {
      uint64_t n = 0;
      (void)orv_cursor_count(mc, &n);
    }
  }
  steps = 0;
  for (int rc = orv_cursor_get(mc, &k, &v, ORV_LAST); rc == 0 && steps < kMaxSteps;
       rc = orv_cursor_get(mc, &k, &v, ORV_PREV), steps++) {
    if (dups && (steps & 7) == 0) {
      (void)orv_cursor_get(mc, &k, &v, ORV_FIRST_DUP);
      (void)orv_cursor_get(mc, &k, &v, ORV_LAST_DUP);
      (void)orv_cursor_get(mc, &k, &v, ORV_PREV_NODUP);
    }
  }
  if (dups) {
    steps = 0;
    for (int rc = orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0 && steps < kMaxSteps;
         rc = orv_cursor_get(mc, &k, &v, ORV_NEXT_NODUP), steps++) {
      for (int d = 0; d < 64 && orv_cursor_get(mc, &k, &v, ORV_NEXT_DUP) == 0; d++) {
      }
      for (int d = 0; d < 64 && orv_cursor_get(mc, &k, &v, ORV_PREV_DUP) == 0; d++) {
      }
      ORV_val *list = nullptr;
      uint64_t n = 0;
      (void)orv_cursor_list_dup(mc, &list, &n);
      if (flags & ORV_DUPFIXED) {
        (void)orv_cursor_get(mc, &k, &v, ORV_GET_MULTIPLE);
        for (int d = 0; d < 16 && orv_cursor_get(mc, &k, &v, ORV_NEXT_MULTIPLE) == 0; d++) {
        }
      }
    }
  }

  std::vector<std::string> probes = seen->keys;
  probes.insert(probes.end(), {std::string(1, '\0'), "m", std::string(8, '\xff'), "key0001"});
  for (size_t i = 0; i < probes.size(); i++) {
    ORV_val key = val(probes[i]);
    ORV_val data{};
    (void)orv_get(txn, dbi, &key, &data);
    key = val(probes[i]);
    (void)orv_cursor_get(mc, &key, &data, ORV_SET_RANGE);
    (void)orv_cursor_get(mc, &k, &v, ORV_NEXT);
    key = val(probes[i]);
    (void)orv_cursor_get(mc, &key, &data, ORV_SET_KEY);
    (void)orv_cursor_get(mc, &k, &v, ORV_PREV);
    if (dups && i < seen->vals.size()) {
      key = val(probes[i]);
      data = val(seen->vals[i]);
      (void)orv_cursor_get(mc, &key, &data, ORV_GET_BOTH);
      key = val(probes[i]);
      data = val(seen->vals[i]);
      (void)orv_cursor_get(mc, &key, &data, ORV_GET_BOTH_RANGE);
    }
  }
  orv_cursor_close(mc);

#ifdef ORV_FUZZ_HAVE_COUNT
  if (flags & ORV_COUNTED) {
    uint64_t n = 0, rank = 0;
    if (orv_count_all(txn, dbi, 0, &n) == 0) {
      for (uint64_t r : {uint64_t{0}, n / 2, n ? n - 1 : 0, n}) {
        ORV_val key{}, data{};
        (void)orv_get_rank(txn, dbi, r, &key, &data);
      }
    }
    for (size_t i = 0; i + 1 < probes.size(); i++) {
      ORV_val lo = val(probes[i]), hi = val(probes[i + 1]);
      (void)orv_count_range(txn, dbi, &lo, &hi, ORV_RANGE_LOWER_INCL, &n);
      (void)orv_range_count_keys(txn, dbi, &lo, &hi, ORV_RANGE_UPPER_INCL, &n);
      (void)orv_get_key_rank(txn, dbi, &lo, nullptr, &rank);
      if (dups) {
        (void)orv_range_count_values(txn, dbi, &lo, &hi, ORV_RANGE_LOWER_INCL, &n);
        if (i < seen->vals.size()) {
          ORV_val d = val(seen->vals[i]);
          (void)orv_get_key_rank(txn, dbi, &lo, &d, &rank);
        }
      }
    }
    // A walk by ranks on one cursor uses its cached path and prefix sums.
    if (orv_cursor_open(txn, dbi, &mc) == 0) {
      for (uint64_t r = 0; r < uint64_t{kMaxSteps}; r += 7)
        if (orv_cursor_get_rank(mc, r, &k, &v, 0) != 0) break;
      for (size_t i = 0; i < probes.size(); i++) {
        ORV_val key = val(probes[i]);
        (void)orv_cursor_key_rank(mc, &key, nullptr, 0, &rank);
      }
      orv_cursor_close(mc);
    }
  }
#else
  // TODO(lead): call orv_count_all, orv_get_rank, orv_count_range and
  // orv_get_key_rank here once lib/count has them (the build defines
  // ORV_FUZZ_HAVE_COUNT as soon as lib/count has a source file).
#endif
}

// Tours the main database and every named database it names (as far as
// the handle table allows).
inline void tour_all(ORV_txn *txn, Probes *seen) {
  Probes main_keys;
  tour(txn, 1, &main_keys);
  for (const std::string &name : main_keys.keys) {
    if (name.empty() || name.size() > 64 || name.find('\0') != std::string::npos) continue;
    ORV_dbi dbi = 0;
    if (orv_dbi_open(txn, name.c_str(), 0, &dbi) != 0) continue;
    tour(txn, dbi, seen);
  }
  if (seen->keys.empty()) *seen = main_keys;
}

}  // namespace orv_fuzz

#endif  // ORV_FUZZ_FUZZ_UTIL_H
