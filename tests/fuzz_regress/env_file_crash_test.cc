// [fuzz regressions: data files]: crashes fuzz_env_file found in the read
// paths of lib/btree, lib/page and lib/txn. Each test damages one field of
// a small valid store and expects the
// operation to answer ORV_CORRUPTED. The operations run in a child, so a
// crash fails the test instead of ending the suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::in_child;
using orv_test::val;

// Offsets inside a meta page and a page (host byte order).
constexpr off_t kMainRoot = 16 + 24 + 48 + 40;  // mm_dbs[MAIN_DBI].md_root
constexpr off_t kTxnid = 16 + 128;              // mm_txnid
constexpr off_t kPsize = 16 + 24;               // mm_dbs[FREE_DBI].md_pad
constexpr off_t kSlots = 16;                    // first slot of a page
// Node flags F_DUPDATA | F_SUBDATA: a sub-database record as a key's values.
constexpr unsigned F_DUPDATA_BITS = 0x04 | 0x02;

class DamagedStore : public testing::Test {
 protected:
  std::string path() const { return dir_.file("data.orv"); }

  // Writes a store whose main database (created with main_flags) gets n
  // keys "key0000"... with values of value_size bytes, plus the extra pairs
  // given.
  void build(int n, size_t value_size,
             std::initializer_list<std::pair<std::string, std::string>> extra = {},
             unsigned main_flags = 0) {
    orv_test::Env env;
    ASSERT_EQ(orv_env_open(env, path().c_str(), ORV_NOSUBDIR | ORV_NOLOCK, 0644), 0);
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    if (main_flags != 0) {
      ORV_dbi dbi = 0;
      ASSERT_EQ(orv_dbi_open(txn, nullptr, main_flags | ORV_CREATE, &dbi), 0);
    }
    const std::string v(value_size, 'v');
    for (int i = 0; i < n; i++) {
      char k[16];
      std::snprintf(k, sizeof k, "key%04d", i);
      ORV_val kv{7, k}, dv = val(v);
      ASSERT_EQ(orv_put(txn, 1, &kv, &dv, 0), 0);
    }
    for (const auto &[k, x] : extra) {
      ORV_val kv = val(k), dv = val(x);
      ASSERT_EQ(orv_put(txn, 1, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    fd_ = open(path().c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
    psize_ = read_u32(kPsize);
    meta_ = read_u64(kTxnid) >= read_u64(psize_ + kTxnid) ? 0 : psize_;
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }

  uint64_t read_u64(off_t off) const {
    uint64_t v = 0;
    EXPECT_EQ(pread(fd_, &v, 8, off), 8);
    return v;
  }
  uint32_t read_u32(off_t off) const {
    uint32_t v = 0;
    EXPECT_EQ(pread(fd_, &v, 4, off), 4);
    return v;
  }
  uint16_t read_u16(off_t off) const {
    uint16_t v = 0;
    EXPECT_EQ(pread(fd_, &v, 2, off), 2);
    return v;
  }
  template <class T>
  void write(off_t off, T v) const {
    EXPECT_EQ(pwrite(fd_, &v, sizeof v, off), static_cast<ssize_t>(sizeof v));
  }

  uint64_t main_root() const { return read_u64(meta_ + kMainRoot); }
  // Both meta pages, so that either one chosen sees the damage.
  void set_main_root(uint64_t pgno) const {
    write(kMainRoot, pgno);
    write(psize_ + kMainRoot, pgno);
  }
  off_t page(uint64_t pgno) const { return static_cast<off_t>(pgno * psize_); }
  // File offset of the node of slot i of page pgno.
  off_t node(uint64_t pgno, unsigned i) const {
    return page(pgno) + read_u16(page(pgno) + kSlots + 2 * i);
  }
  uint64_t pages_in_file() const { return static_cast<uint64_t>(lseek(fd_, 0, SEEK_END)) / psize_; }

  // Runs op on a read-only handle of the damaged file in a child; expects
  // it to answer ORV_CORRUPTED (or, for a page number past the last page in
  // use, ORV_PAGE_NOTFOUND when page_number).
  // A write transaction runs op when writable.
  void expect_corrupted(const std::function<int(ORV_txn *)> &op, const char *what,
                        bool page_number = false, bool writable = false) {
    const std::string p = path();
    const int status = in_child([&] {
      ORV_env *env = nullptr;
      ORV_txn *txn = nullptr;
      if (orv_env_create(&env) != 0 ||
          orv_env_open(env, p.c_str(), ORV_NOSUBDIR | ORV_NOLOCK | (writable ? 0 : ORV_RDONLY),
                       0644) != 0 ||
          orv_txn_begin(env, nullptr, writable ? 0 : ORV_RDONLY, &txn) != 0)
        return 2;
      const int rc = op(txn);
      orv_txn_abort(txn);
      orv_env_close(env);
      if (rc == ORV_CORRUPTED || (page_number && rc == ORV_PAGE_NOTFOUND)) return 0;
      return rc == 0 ? 1 : rc == ORV_PAGE_NOTFOUND ? 3 : 4;
    });
    static const char *const answers[] = {"", "success", "no read transaction", "ORV_PAGE_NOTFOUND",
                                          "another error"};
    EXPECT_EQ(status, 0) << what << ": "
                         << (status < 0    ? "crashed"
                             : status <= 4 ? answers[status]
                                           : "?");
  }

  TempDir dir_;
  int fd_ = -1;
  uint32_t psize_ = 0;
  off_t meta_ = 0;
};

// A cursor on the main database moved by op; its result.
int step(ORV_txn *txn, ORV_cursor_op op) {
  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, 1, &mc); rc != 0) return rc;
  ORV_val k, v;
  int rc = orv_cursor_get(mc, &k, &v, op);
  orv_cursor_close(mc);
  return rc;
}
int first(ORV_txn *txn) { return step(txn, ORV_FIRST); }
int last(ORV_txn *txn) { return step(txn, ORV_LAST); }

int get_key(ORV_txn *txn, const char *key) {
  ORV_val k{std::strlen(key), const_cast<char *>(key)}, v;
  return orv_get(txn, 1, &k, &v);
}

// "Assertion 'root > 1' failed in orv_page_search()" for a root that is a
// meta page (a root past the last page in use is refused already).
TEST_F(DamagedStore, RootPageOutsideTheTree) {
  build(60, 10);
  for (uint64_t root : {pages_in_file() + 1, uint64_t{1}, uint64_t{0}}) {
    set_main_root(root);
    const std::string what = "root " + std::to_string(root);
    expect_corrupted(first, what.c_str(), true);
    expect_corrupted([](ORV_txn *t) { return get_key(t, "key0003"); }, what.c_str(), true);
  }
}

// SIGBUS in land_value (cursor_move.cc:30), SEGV and SIGBUS in search_root
// (descent.cc:85) and UBSan "misaligned address for type 'ORV_node'": a
// slot of a leaf or branch root whose offset is odd, inside the header or
// past the page.
TEST_F(DamagedStore, SlotOffsetOutsideThePage) {
  struct Case {
    const char *what;
    int keys;
    size_t value_size;
  };
  for (const Case &c : {Case{"leaf root", 60, 10}, Case{"branch root", 400, 100}}) {
    build(c.keys, c.value_size);
    const uint64_t root = main_root();
    const uint16_t good = read_u16(page(root) + kSlots);
    for (uint16_t offset : {uint16_t(psize_ - 7), uint16_t(psize_ + 512), uint16_t(8)}) {
      write(page(root) + kSlots, offset);
      const std::string what = std::string(c.what) + ", slot 0 at offset " + std::to_string(offset);
      expect_corrupted(first, what.c_str());
      expect_corrupted([](ORV_txn *t) { return get_key(t, "key0000"); }, what.c_str());
    }
    write(page(root) + kSlots, good);
    close(fd_);
    fd_ = -1;
    std::remove(path().c_str());
  }
}

// The value (or key) of a leaf node reaching past its page: the value was
// handed back and the caller's copy of it crashed (SIGBUS in memcpy from
// the map).
TEST_F(DamagedStore, NodeSizesPastThePage) {
  struct Case {
    const char *what;
    off_t field;  // inside the node header
    uint16_t value;
  };
  const Case cases[] = {
      {"value size 1 MiB", 2, 16},     // mn_hi
      {"value size 65535", 0, 65535},  // mn_lo
      {"key size 60000", 6, 60000},    // mn_ksize
  };
  for (const Case &c : cases) {
    build(60, 10);
    // The last key's node lies lowest in the node area; sizes this big
    // leave the page whatever lies above it.
    write(node(main_root(), 59) + c.field, c.value);
    expect_corrupted(last, c.what);
    expect_corrupted([](ORV_txn *t) { return get_key(t, "key0059"); }, c.what);
    close(fd_);
    fd_ = -1;
    std::remove(path().c_str());
  }
}

// SIGBUS in orv_node_read (cursor_get.cc:270) reading the header of an
// overflow run past the end of the file. Here the run's page number lies
// past the last page in use, which the page lookup refuses already.
TEST_F(DamagedStore, OverflowPagePastTheEnd) {
  build(0, 0, {{"a", "x"}, {"big", std::string(5000, 'b')}, {"z", "y"}});
  const uint64_t root = main_root();
  const off_t big = node(root, 1);
  ASSERT_EQ(read_u16(big + 6), 3);          // mn_ksize of "big"
  write(big + 8 + 4, pages_in_file() + 2);  // the run's page number
  expect_corrupted([](ORV_txn *t) { return get_key(t, "big"); }, "get of the large value", true);
}

// AddressSanitizer heap-buffer-overflow in orv_cmp_bytes (compare.cc:57)
// from orv_node_search in orv_del: the key of a node copied into a dirty
// page buffer (4096 bytes) reached 1536 bytes past it.
TEST_F(DamagedStore, KeySizePastThePageInAWrite) {
  build(60, 10);
  // key0000 went in first: its node lies at the top of the page.
  const off_t top = node(main_root(), 0);
  ASSERT_EQ(static_cast<uint64_t>(top), page(main_root()) + psize_ - 8 - 8 - 10);
  write(top + 6, uint16_t{2000});  // mn_ksize
  expect_corrupted(
      [](ORV_txn *t) {
        const std::string key = "key0030", value = "new value";
        ORV_val k = val(key), v = val(value);
        if (int rc = orv_put(t, 1, &k, &v, 0); rc != 0) return rc;
        ORV_val gone{7, const_cast<char *>("key0001")};
        return orv_del(t, 1, &gone, nullptr);
      },
      "put, then delete", false, true);
}

// Runs op on a handle of the damaged file in a child (a write transaction
// when writable); its result, or -1 when the child crashed.
int run_damaged(const std::string &p, bool writable, const std::function<int(ORV_txn *)> &op) {
  return in_child([&] {
    ORV_env *env = nullptr;
    if (orv_env_create(&env) != 0) return 100;
    int rc =
        orv_env_open(env, p.c_str(), ORV_NOSUBDIR | ORV_NOLOCK | (writable ? 0 : ORV_RDONLY), 0644);
    ORV_txn *txn = nullptr;
    if (rc == 0) rc = orv_txn_begin(env, nullptr, writable ? 0 : ORV_RDONLY, &txn);
    if (rc == 0) {
      rc = op(txn);
      orv_txn_abort(txn);
    }
    orv_env_close(env);
    return rc == 0 ? 0 : rc == ORV_CORRUPTED ? 1 : rc == ORV_INVALID ? 2 : 3;
  });
}

// UBSan "division by zero" (meta.cc) and SIGBUS reading the second meta: the
// newer meta page records another page size than the first, which sized the
// map and placed the metas. The file's page size is the first meta's.
TEST_F(DamagedStore, SecondMetaRecordsAnotherPageSize) {
  for (uint32_t other : {0u, 1u, 8192u, 65536u}) {
    build(60, 10);
    ASSERT_GT(read_u64(psize_ + kTxnid), read_u64(kTxnid)) << "the second meta is the newer";
    write(psize_ + kPsize, other);
    EXPECT_EQ(run_damaged(path(), false, first), 0) << "page size " << other;
    EXPECT_EQ(run_damaged(path(), true, [](ORV_txn *t) { return get_key(t, "key0042"); }), 0)
        << "page size " << other;
    close(fd_);
    fd_ = -1;
    std::remove(path().c_str());
  }
}

// "Assertion 'mx != NULL' failed in orv_cursor_init()" in the page
// allocation of a write: the free-page database's record in the meta claims
// sorted duplicates, which its records never have.
TEST_F(DamagedStore, FreeDatabaseRecordWithDuplicates) {
  build(60, 10);
  constexpr off_t kFreeFlags = 16 + 24 + 4;  // mm_dbs[FREE_DBI].md_flags
  for (off_t meta : {off_t{0}, static_cast<off_t>(psize_)})
    write(meta + kFreeFlags, static_cast<uint16_t>(read_u16(meta + kFreeFlags) | ORV_DUPSORT));
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    const std::string k = "key0030", v(3000, 'n');
    ORV_val kv = val(k), dv = val(v);
    return orv_put(t, 1, &kv, &dv, 0);
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
}

// UBSan "misaligned address for type 'ORV_node'" in node_size_on from the
// page split of a put: the split measures every node of the page, including
// ones the search never probed, and one of them sat at an odd offset.
TEST_F(DamagedStore, NodeAtAnOddOffsetMeetsASplit) {
  build(60, 10);
  const uint64_t root = main_root();
  write(page(root) + kSlots + 2 * 5, static_cast<uint16_t>(read_u16(page(root) + kSlots + 10) + 1));
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    // Two large values after the last key fill the leaf: the second splits.
    for (const char *k : {"key0059x", "key0059y"}) {
      const std::string key = k, v(2000, 'n');
      ORV_val kv = val(key), dv = val(v);
      if (int rc = orv_put(t, 1, &kv, &dv, 0); rc != 0) return rc;
    }
    return 0;
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
}

// "Assertion 'node_size == (size_t)delta' failed in orv_page_remove_slot()"
// from orv_del: the value size of the node being deleted reached past the
// page, and its node size decided what moved.
TEST_F(DamagedStore, ValueSizePastThePageInADelete) {
  build(60, 10);
  write(node(main_root(), 20) + 2, uint16_t{3});  // mn_hi: a value of 196618 bytes
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    ORV_val k{7, const_cast<char *>("key0020")};
    return orv_del(t, 1, &k, nullptr);
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
}

// libFuzzer out-of-memory (a free list grown to 7 GB by
// orv_idl_append_range from orv_ovpage_free) in orv_del: the deleted
// value's overflow run recorded a length far past the snapshot, and the
// delete freed the run by it.
TEST_F(DamagedStore, OverflowRunLengthPastTheSnapshotInADelete) {
  build(0, 0, {{"a", "x"}, {"big", std::string(5000, 'b')}, {"z", "y"}});
  const uint64_t run = read_u64(node(main_root(), 1) + 8 + 4);
  write(page(run) + 12, uint32_t{800000000});  // mp_pages
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    ORV_val k{3, const_cast<char *>("big")};
    return orv_del(t, 1, &k, nullptr);
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
}

// AddressSanitizer "unknown-crash" in meta_txnid from orv_env_pick_meta at
// open: both metas named a last page below the second meta page and a map
// of one page, so the second meta lay outside the map.
TEST_F(DamagedStore, LastPageBelowTheMetaPages) {
  build(60, 10);
  constexpr off_t kMapsize = 16 + 16, kLastPg = 16 + 120;
  for (off_t meta : {off_t{0}, static_cast<off_t>(psize_)}) {
    write(meta + kMapsize, uint64_t{psize_});
    write(meta + kLastPg, uint64_t{0});
  }
  EXPECT_EQ(run_damaged(path(), false, first), 2) << "not ORV_INVALID at open";
}

// UBSan "misaligned address for type 'ORV_node'" in orv_node_add from a
// put: the leaf's node area started at an odd offset, and the new node was
// placed below it.
TEST_F(DamagedStore, NodeAreaAtAnOddOffsetMeetsAPut) {
  build(60, 10);
  const off_t upper = page(main_root()) + 14;
  write(upper, static_cast<uint16_t>(read_u16(upper) - 1));
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    const std::string k = "key0030x", v = "new";
    ORV_val kv = val(k), dv = val(v);
    return orv_put(t, 1, &kv, &dv, 0);
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
}

// AddressSanitizer SEGV in orv_node_entries from orv_cursor_del0: a delete
// in a counted tree counts every entry of the leaf, and a node elsewhere on
// it claimed a sub-database record its value could not hold, at a value
// size reaching past the page.
TEST_F(DamagedStore, NodePastThePageCountedByADelete) {
  {
    orv_test::Env env;
    ASSERT_EQ(orv_env_open(env, path().c_str(), ORV_NOSUBDIR | ORV_NOLOCK, 0644), 0);
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    ORV_dbi dbi = 0;
    ASSERT_EQ(orv_dbi_open(txn, nullptr, ORV_COUNTED, &dbi), 0);
    for (int i = 0; i < 60; i++) {
      char k[16];
      std::snprintf(k, sizeof k, "key%04d", i);
      ORV_val kv{7, k}, dv{10, const_cast<char *>("0123456789")};
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  fd_ = open(path().c_str(), O_RDWR);
  ASSERT_GE(fd_, 0);
  psize_ = read_u32(kPsize);
  meta_ = read_u64(kTxnid) >= read_u64(psize_ + kTxnid) ? 0 : psize_;
  // The last key's node lies lowest: a value of 196618 bytes leaves the page.
  const off_t victim = node(main_root(), 59);
  write(victim + 2, uint16_t{3});                            // mn_hi
  write(victim + 4, static_cast<uint16_t>(F_DUPDATA_BITS));  // mn_flags
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    ORV_val k{7, const_cast<char *>("key0010")};
    return orv_del(t, 1, &k, nullptr);
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
}

// AddressSanitizer SEGV in orv_page_insert_slot from a put: the leaf in
// the file carried P_DIRTY, so the write took the mapped page for its own
// copy and changed the read-only map in place.
TEST_F(DamagedStore, DirtyFlagOnAPageOfTheFile) {
  build(60, 10);
  const off_t flags = page(main_root()) + 10;
  write(flags, static_cast<uint16_t>(read_u16(flags) | 0x10));  // P_DIRTY
  const int rc = run_damaged(path(), true, [](ORV_txn *t) {
    const std::string k = "key0030x", v = "new";
    ORV_val kv = val(k), dv = val(v);
    return orv_put(t, 1, &kv, &dv, 0);
  });
  EXPECT_EQ(rc, 1) << (rc < 0 ? "crashed" : "not ORV_CORRUPTED");
  // Readers do not write: the page reads as it is.
  EXPECT_EQ(run_damaged(path(), false, [](ORV_txn *t) { return get_key(t, "key0030"); }), 0);
}

// AddressSanitizer stack-buffer-overflow in orv_prefix_psize from the rank
// of a key/value pair: the values below a value were counted on a copy of
// the sub-cursor that was a bare cursor, and the size of its loaded
// sub-page was read from past the copy (any store with values on
// sub-pages; found on the counted duplicate seed).
TEST_F(DamagedStore, PairRankOnASubPage) {
  orv_test::Env env;
  ASSERT_EQ(orv_env_set_maxdbs(env, 2), 0);
  ASSERT_EQ(orv_env_open(env, path().c_str(), ORV_NOSUBDIR | ORV_NOLOCK, 0644), 0);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_dbi dbi = 0;
  ASSERT_EQ(orv_dbi_open(txn, "d", ORV_CREATE | ORV_DUPSORT | ORV_COUNTED, &dbi), 0);
  for (const std::string k : {"a", "b"})
    for (const std::string v : {"v0", "v1", "v2"}) {
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, dbi, &kv, &dv, 0), 0);
    }
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  for (uint64_t want = 0; want < 6; want++) {
    const std::string k = want < 3 ? "a" : "b", v = "v" + std::to_string(want % 3);
    ORV_val kv = val(k), dv = val(v);
    uint64_t rank = ~uint64_t{0};
    EXPECT_EQ(orv_get_key_rank(txn, dbi, &kv, &dv, &rank), 0) << want;
    EXPECT_EQ(rank, want);
  }
  orv_txn_abort(txn);
}

// SIGBUS and UBSan "misaligned address for type 'ORV_node'" in
// page_longest_key from orv_pkc_prepare (found by fuzz_env_file on cursor
// reads of a prefix-compressed database): sizing the page key cache of a
// long-lived cursor in a read-only transaction read the key of every slot
// of the leaf, one whose offset points far past the page too. The cache
// sizes only slots inside the page; the damaged slot fails when it is read.
TEST_F(DamagedStore, SlotOutsideThePageSizesThePageKeyCache) {
  build(60, 10, {}, ORV_PREFIXKEY);
  const uint64_t leaf = main_root();
  ASSERT_LT(pages_in_file() * psize_, page(leaf) + 0xFFF0) << "the slot must point past the file";
  write(page(leaf) + kSlots + 2, uint16_t{0xFFF0});  // slot 1
  // A longest-key figure of 0 makes the cache measure every slot.
  write(page(leaf) + 8, uint16_t{0});
  expect_corrupted(
      [](ORV_txn *txn) {
        ORV_cursor *mc = nullptr;
        if (int rc = orv_cursor_open(txn, 1, &mc); rc != 0) return rc;
        // Lands on slot 40 without a step: its key comes through the cache.
        ORV_val k{7, const_cast<char *>("key0040")}, v;
        int rc = orv_cursor_get(mc, &k, &v, ORV_SET_RANGE);
        if (rc == 0 && (k.mv_size != 7 || std::memcmp(k.mv_data, "key0040", 7) != 0)) rc = EINVAL;
        // A walk meets the damaged slot.
        for (int op = ORV_FIRST; rc == 0; op = ORV_NEXT)
          rc = orv_cursor_get(mc, &k, &v, static_cast<ORV_cursor_op>(op));
        orv_cursor_close(mc);
        return rc;
      },
      "slot 1 at offset 0xFFF0, cursor reads");
}

}  // namespace
