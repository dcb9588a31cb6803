// [alloc_count]: the hot paths of lib/btree (orv_get, cursor steps, seeks,
// orv_put into an open write transaction) take no heap memory per
// operation once their buffers have grown to the store's needs.
//
// Every allocation of this process is counted: in a plain build through
// replacements of malloc and its relatives that forward to the C library's
// allocator (operator new of the C++ runtime lands in malloc too); under
// AddressSanitizer, which owns malloc itself, through its allocation hook.
// A measured window runs thousands of operations and compares the count
// before and after; the test never calls GoogleTest inside a window.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "util/fixtures.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORV_ALLOC_COUNT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_ALLOC_COUNT_ASAN 1
#endif
#endif

#if defined(ORV_ALLOC_COUNT_ASAN)
// The sanitizer runtime's hook interface (not every compiler installs its
// header, so it is declared here).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void *));
#endif

namespace {

std::atomic<uint64_t> g_allocations{0};

inline void count_allocation() { g_allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

#if defined(ORV_ALLOC_COUNT_ASAN)

namespace {

void on_malloc(const volatile void *, size_t) { count_allocation(); }
void on_free(const volatile void *) {}

// Installed before main, so that the first test already counts.
const int g_hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);

}  // namespace

#else

// glibc's allocator under its internal names: the replacements below count
// and forward, so memory from any of them may be released by any free.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t align, size_t size);
void __libc_free(void *p);

void *malloc(size_t size) noexcept {
  count_allocation();
  return __libc_malloc(size);
}
void *calloc(size_t n, size_t size) noexcept {
  count_allocation();
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t size) noexcept {
  count_allocation();
  return __libc_realloc(p, size);
}
void free(void *p) noexcept { __libc_free(p); }
int posix_memalign(void **out, size_t align, size_t size) noexcept {
  if (align == 0 || (align & (align - 1)) != 0 || align % sizeof(void *) != 0) return EINVAL;
  count_allocation();
  void *p = __libc_memalign(align, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void *aligned_alloc(size_t align, size_t size) noexcept {
  count_allocation();
  return __libc_memalign(align, size);
}
void *memalign(size_t align, size_t size) noexcept {
  count_allocation();
  return __libc_memalign(align, size);
}
}

#endif

namespace {

using orv_test::EnvFixture;

// Allocations made while fn runs.
template <class Fn>
uint64_t allocations_during(Fn fn) {
  const uint64_t before = g_allocations.load(std::memory_order_relaxed);
  fn();
  return g_allocations.load(std::memory_order_relaxed) - before;
}

// The counter must see the allocations of both C and C++ code, or every
// zero below would be vacuous.
TEST(AllocCount, CounterSeesMallocAndNew) {
  const uint64_t n = allocations_during([] {
    void *p = std::malloc(64);
    asm volatile("" : : "r"(p) : "memory");
    std::free(p);
    auto *q = new int[32];
    asm volatile("" : : "r"(q) : "memory");
    delete[] q;
  });
  EXPECT_GE(n, 2u);
}

constexpr int kEntries = 20000;  // about 600 leaf pages of 16 + 100 bytes
constexpr int kOps = 10000;      // operations per measured window
constexpr size_t kValueSize = 100;

struct FlagSet {
  const char *name;
  unsigned flags;
};

const FlagSet kFlagSets[] = {
    {"plain", 0},
    {"prefixkey", ORV_PREFIXKEY},
    {"counted", ORV_COUNTED},
    {"counted_prefixkey", ORV_COUNTED | ORV_PREFIXKEY},
    {"dupsort", ORV_DUPSORT},
};

// 16-byte keys: a shared stem and the zero-padded even number 2 * i, so
// that odd numbers name absent keys between present ones.
struct Key {
  char buf[17];
  ORV_val val(uint64_t n) {
    std::snprintf(buf, sizeof buf, "key-%012" PRIu64, n);
    return ORV_val{16, buf};
  }
};

class AllocFree : public EnvFixture, public testing::WithParamInterface<FlagSet> {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    value_.assign(kValueSize, 'v');
    ORV_txn *txn = begin();
    ASSERT_NE(txn, nullptr);
    dbi_ = open_db(txn, "t", GetParam().flags);
    Key k;
    for (int i = 0; i < kEntries; i++) {
      ORV_val key = k.val(2 * uint64_t(i)), v = orv_test::val(value_);
      ASSERT_EQ(orv_put(txn, dbi_, &key, &v, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }

  // kOps key numbers spread over the whole store, half of them absent.
  std::vector<uint64_t> random_keys(uint64_t seed) const {
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> keys(kOps);
    for (auto &n : keys) n = rng() % (2 * uint64_t(kEntries));
    return keys;
  }

  // Runs ops(txn) in a new write transaction and commits it; with measure,
  // returns the allocations ops made. A failed begin or commit counts in
  // failed_.
  template <typename F>
  uint64_t write_txn(F &&ops, bool measure) {
    ORV_txn *txn = begin();
    if (txn == nullptr) {
      failed_++;
      return ~uint64_t{0};
    }
    uint64_t n = 0;
    if (measure) {
      n = allocations_during([&] { ops(txn); });
    } else {
      ops(txn);
    }
    if (orv_txn_commit(txn) != 0) failed_++;
    return n;
  }

  std::string value_;
  ORV_dbi dbi_ = 0;
  int failed_ = 0;
};

TEST_P(AllocFree, Lookup) {
  ORV_txn *txn = begin(ORV_RDONLY);
  ASSERT_NE(txn, nullptr);
  const std::vector<uint64_t> keys = random_keys(1);
  int found = 0, failed = 0;
  auto run = [&] {
    Key k;
    for (uint64_t n : keys) {
      ORV_val key = k.val(n), v{};
      const int rc = orv_get(txn, dbi_, &key, &v);
      if (rc == 0) {
        found++;
      } else if (rc != ORV_NOTFOUND) {
        failed++;
      }
    }
  };
  run();  // lets any lazily sized buffer reach its size
  found = 0;
  EXPECT_EQ(allocations_during(run), 0u);
  EXPECT_EQ(failed, 0);
  int even = 0;
  for (uint64_t n : keys) even += n % 2 == 0;
  EXPECT_EQ(found, even);
  orv_txn_abort(txn);
}

TEST_P(AllocFree, CursorSteps) {
  ORV_txn *txn = begin(ORV_RDONLY);
  ASSERT_NE(txn, nullptr);
  orv_test::CursorPtr c = orv_test::open_cursor(txn, dbi_);
  ORV_val k{}, v{};
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &v, ORV_FIRST), 0);
  int forward = 0, backward = 0, rc_next = 0, rc_prev = 0;
  // The whole store forward, then back: every leaf is entered from both
  // sides.
  const uint64_t n = allocations_during([&] {
    int rc;
    while ((rc = orv_cursor_get(c.get(), &k, &v, ORV_NEXT)) == 0) forward++;
    rc_next = rc;
    while ((rc = orv_cursor_get(c.get(), &k, &v, ORV_PREV)) == 0) backward++;
    rc_prev = rc;
  });
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(rc_next, ORV_NOTFOUND);
  EXPECT_EQ(rc_prev, ORV_NOTFOUND);
  EXPECT_EQ(forward, kEntries - 1);
  EXPECT_EQ(backward, kEntries - 1);
  c.reset();
  orv_txn_abort(txn);
}

TEST_P(AllocFree, SeekAndStep) {
  ORV_txn *txn = begin(ORV_RDONLY);
  ASSERT_NE(txn, nullptr);
  orv_test::CursorPtr c = orv_test::open_cursor(txn, dbi_);
  const std::vector<uint64_t> keys = random_keys(2);
  int landed = 0, failed = 0;
  // Seek, then a step each way: a seek that lands at the first key of a
  // leaf makes the step back cross into the previous leaf.
  auto run = [&] {
    Key kb;
    for (uint64_t n : keys) {
      ORV_val key = kb.val(n), v{};
      int rc = orv_cursor_get(c.get(), &key, &v, ORV_SET_RANGE);
      if (rc == ORV_NOTFOUND) continue;
      if (rc != 0) {
        failed++;
        continue;
      }
      landed++;
      rc = orv_cursor_get(c.get(), &key, &v, ORV_NEXT);
      if (rc != 0 && rc != ORV_NOTFOUND) failed++;
      rc = orv_cursor_get(c.get(), &key, &v, ORV_PREV);
      if (rc != 0 && rc != ORV_NOTFOUND) failed++;
    }
  };
  run();
  landed = 0;
  EXPECT_EQ(allocations_during(run), 0u);
  EXPECT_EQ(failed, 0);
  int expect_landed = 0;  // only a seek past the last key finds nothing
  for (uint64_t n : keys) expect_landed += n <= 2 * uint64_t(kEntries - 1);
  EXPECT_EQ(landed, expect_landed);
  c.reset();
  orv_txn_abort(txn);
}

// Puts into one open write transaction, in the steady state: the pages a
// transaction copies come from the environment's spare page buffers, which
// an earlier transaction of the same size has filled, and its lists,
// the reusable-page list included, keep the buffers an earlier transaction
// grew to that size. Overwrites of present keys and inserts of absent ones
// (which split some leaves) both count: none allocates.
TEST_P(AllocFree, PutInOpenWriteTransaction) {
  if (GetParam().flags & ORV_DUPSORT) GTEST_SKIP() << "a put of a new value adds a duplicate";
  const std::vector<uint64_t> keys = random_keys(3);
  std::string other(kValueSize, 'w');
  auto puts = [this, &keys](const std::string &value) {
    return [this, &keys, value = &value](ORV_txn *txn) {
      Key kb;
      for (uint64_t k : keys) {
        ORV_val key = kb.val(k), v = orv_test::val(*value);
        if (orv_put(txn, dbi_, &key, &v, 0) != 0) failed_++;
      }
    };
  };
  // Warm-up on the same keys (the inserts land here; the measured round
  // overwrites them), long enough that a transaction before the measured
  // one has reused freed pages (a free-page record is reusable only two
  // commits after it was written), then the measured round.
  write_txn(puts(other), false);
  write_txn(puts(value_), false);
  write_txn(puts(other), false);
  write_txn(puts(value_), false);
  const uint64_t n = write_txn(puts(other), true);
  EXPECT_EQ(failed_, 0);
  EXPECT_EQ(n, 0u) << n << " allocations in " << kOps << " puts";
}

// A second value for each of many keys, then its delete, in one open write
// transaction, in the steady state: a key's values become a sub-page inside
// its leaf node, the sub-page grows and shrinks in place (a key keeps its
// sub-page when one value is left), and every value goes through the
// sub-cursor. None of it allocates.
TEST_P(AllocFree, SubPageWritesInOpenWriteTransaction) {
  if (!(GetParam().flags & ORV_DUPSORT)) GTEST_SKIP() << "no value sub-pages";
  const std::vector<uint64_t> keys = random_keys(4);
  const std::string added(kValueSize, 'x');  // sorts after the stored value
  int put = 0, deleted = 0;
  auto add_and_delete = [&](ORV_txn *txn) {
    put = deleted = 0;
    Key kb;
    for (uint64_t k : keys) {
      ORV_val key = kb.val(k), v = orv_test::val(added);
      if (orv_put(txn, dbi_, &key, &v, 0) == 0)
        put++;
      else
        failed_++;
    }
    for (uint64_t k : keys) {
      ORV_val key = kb.val(k), v = orv_test::val(added);
      const int rc = orv_del(txn, dbi_, &key, &v);
      if (rc == 0) {
        deleted++;
      } else if (rc != ORV_NOTFOUND) {  // a key drawn twice goes once
        failed_++;
      }
    }
  };
  for (int i = 0; i < 4; i++) write_txn(add_and_delete, false);
  const uint64_t n = write_txn(add_and_delete, true);
  EXPECT_EQ(failed_, 0);
  EXPECT_EQ(put, kOps);
  std::set<uint64_t> distinct(keys.begin(), keys.end());
  EXPECT_EQ(deleted, static_cast<int>(distinct.size()));
  EXPECT_EQ(n, 0u) << n << " allocations in " << kOps << " puts and deletes of values";
  // The store is as the fixture wrote it: every even key with its one value.
  ORV_txn *txn = begin(ORV_RDONLY);
  ASSERT_NE(txn, nullptr);
  ORV_stat st;
  ASSERT_EQ(orv_stat(txn, dbi_, &st), 0);
  EXPECT_EQ(st.ms_entries, static_cast<size_t>(kEntries));
  orv_txn_abort(txn);
}

INSTANTIATE_TEST_SUITE_P(Flags, AllocFree, testing::ValuesIn(kFlagSets),
                         [](const testing::TestParamInfo<FlagSet> &i) { return i.param.name; });

}  // namespace
