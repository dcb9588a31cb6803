// [damage sweep]: many damaged copies of one small valid store, each read
// in a child process by walks both ways, gets, range probes and rank
// lookups. A damaged file may answer anything but must never take the
// reader down: a signal or an assertion abort in the child fails the test,
// naming the copy (its index reproduces it: the damage depends only on the
// seed and the index) and the damage done.
//
// Kinds of damage: a flipped bit anywhere, a page header field, a slot
// offset, a node header field, the stored bytes of a compressed key, a
// page of garbage, a byte of a meta page.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::val;

constexpr uint64_t kSeed = 20261210;
constexpr int kMainKeys = 300;
constexpr int kNamedKeys = 300;

std::string main_key(int i) {
  char k[16];
  std::snprintf(k, sizeof k, "key%05d", i);
  return k;
}
std::string named_key(int i) { return "/srv/data/objects/" + std::to_string(100000 + 7 * i); }

class DamageSweep : public testing::Test {
 protected:
  // The pristine store: a main database with small and large values, a
  // named counted and prefix-compressed database, and free-page records
  // from a second commit.
  void SetUp() override {
    const std::string p = dir_.file("pristine.orv");
    {
      orv_test::Env env;
      ASSERT_EQ(orv_env_set_maxdbs(env, 4), 0);
      ASSERT_EQ(orv_env_open(env, p.c_str(), ORV_NOSUBDIR | ORV_NOLOCK, 0644), 0);
      ORV_txn *txn = nullptr;
      ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
      ORV_dbi named = 0;
      ASSERT_EQ(orv_dbi_open(txn, "p", ORV_CREATE | ORV_PREFIXKEY | ORV_COUNTED, &named), 0);
      for (int i = 0; i < kMainKeys; i++) {
        const std::string k = main_key(i);
        const std::string v(i % 50 == 7 ? 5000 : 10 + i % 60, static_cast<char>('a' + i % 26));
        ORV_val kv = val(k), dv = val(v);
        ASSERT_EQ(orv_put(txn, 1, &kv, &dv, 0), 0);
      }
      for (int i = 0; i < kNamedKeys; i++) {
        const std::string k = named_key(i), v = "value" + std::to_string(i);
        ORV_val kv = val(k), dv = val(v);
        ASSERT_EQ(orv_put(txn, named, &kv, &dv, 0), 0);
      }
      ASSERT_EQ(orv_txn_commit(txn), 0);
      ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
      for (int i = 0; i < kMainKeys; i += 9) {
        const std::string k = main_key(i);
        ORV_val kv = val(k);
        ASSERT_EQ(orv_del(txn, 1, &kv, nullptr), 0);
      }
      ASSERT_EQ(orv_txn_commit(txn), 0);
    }
    const int fd = open(p.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const off_t size = lseek(fd, 0, SEEK_END);
    image_.resize(static_cast<size_t>(size));
    ASSERT_EQ(pread(fd, image_.data(), image_.size(), 0), size);
    close(fd);
    std::memcpy(&psize_, image_.data() + 16 + 24, sizeof psize_);
    ASSERT_GE(psize_, 512u);
    pages_ = image_.size() / psize_;
    ASSERT_GT(pages_, 8u);
  }

  // Damages image (a copy of the store) as trial i asks; says what it did.
  std::string damage(std::vector<unsigned char> &image, uint64_t i) const {
    std::mt19937_64 rng(kSeed * 1000003 + i);
    auto pick = [&](uint64_t n) { return static_cast<size_t>(rng() % n); };
    auto u16_at = [&](size_t off) {
      uint16_t v;
      std::memcpy(&v, &image[off], 2);
      return v;
    };
    // Values that sit on the edges of what a page allows.
    const uint16_t edges[] = {0,
                              1,
                              7,
                              8,
                              15,
                              16,
                              17,
                              static_cast<uint16_t>(psize_ - 1),
                              static_cast<uint16_t>(psize_),
                              static_cast<uint16_t>(psize_ + 1),
                              0x7FFF,
                              0xFFFF};
    auto value16 = [&]() -> uint16_t {
      return rng() % 2 ? edges[pick(std::size(edges))] : static_cast<uint16_t>(rng());
    };
    auto put16 = [&](size_t off, uint16_t v) { std::memcpy(&image[off], &v, 2); };
    const size_t pg = 2 + pick(pages_ - 2);
    const size_t base = pg * psize_;
    const unsigned nslots =
        (u16_at(base + 12) >= 16 && u16_at(base + 12) < psize_) ? (u16_at(base + 12) - 16u) / 2 : 0;
    char what[160];
    switch (pick(7)) {
      case 0: {
        const size_t off = pick(image.size());
        const int bit = static_cast<int>(pick(8));
        image[off] ^= static_cast<unsigned char>(1u << bit);
        std::snprintf(what, sizeof what, "bit %d of byte %zu flipped", bit, off);
        break;
      }
      case 1: {
        static const char *const names[] = {"mp_pgno", "mp_pad", "mp_flags", "mp_lower",
                                            "mp_upper"};
        const size_t f = pick(5);
        if (f == 0) {
          const uint64_t v = rng() % 2 ? rng() % (pages_ + 4) : rng();
          std::memcpy(&image[base], &v, 8);
        } else {
          // Flags: one flag more or less, or any value.
          const uint16_t flip = static_cast<uint16_t>(u16_at(base + 10) ^ (1u << pick(16)));
          put16(base + 6 + 2 * f, f == 2 && rng() % 2 ? flip : value16());
        }
        std::snprintf(what, sizeof what, "%s of page %zu", names[f], pg);
        break;
      }
      case 2: {
        if (nslots == 0) return damage(image, i + (1u << 30));
        const unsigned s = static_cast<unsigned>(pick(nslots));
        const uint16_t v = value16();
        put16(base + 16 + 2 * s, v);
        std::snprintf(what, sizeof what, "slot %u of page %zu set to %u", s, pg, v);
        break;
      }
      case 3: {
        if (nslots == 0) return damage(image, i + (1u << 30));
        static const char *const names[] = {"mn_lo", "mn_hi", "mn_flags", "mn_ksize"};
        const unsigned s = static_cast<unsigned>(pick(nslots));
        const uint16_t at = u16_at(base + 16 + 2 * s);
        if (at + 8u > psize_) return damage(image, i + (1u << 30));
        const size_t f = pick(4);
        const uint16_t v = value16();
        put16(base + at + 2 * f, v);
        std::snprintf(what, sizeof what, "%s of slot %u of page %zu set to %u", names[f], s, pg, v);
        break;
      }
      case 4: {
        if (nslots < 2) return damage(image, i + (1u << 30));
        const unsigned s = 1 + static_cast<unsigned>(pick(nslots - 1));
        const uint16_t at = u16_at(base + 16 + 2 * s);
        if (at + 8u + 2 > psize_) return damage(image, i + (1u << 30));
        const unsigned char v = static_cast<unsigned char>(rng() % 2 ? 0x80 | rng() : rng());
        image[base + at + 8 + pick(2)] = v;
        std::snprintf(what, sizeof what, "key byte of slot %u of page %zu set to %u", s, pg, v);
        break;
      }
      case 5: {
        for (size_t b = 0; b < psize_; b++) image[base + b] = static_cast<unsigned char>(rng());
        std::snprintf(what, sizeof what, "page %zu filled with garbage", pg);
        break;
      }
      default: {
        const size_t meta = pick(2) * psize_;
        const size_t off = 16 + pick(136);
        image[meta + off] =
            static_cast<unsigned char>(rng() % 2 ? image[meta + off] ^ (1u << pick(8)) : rng());
        std::snprintf(what, sizeof what, "byte %zu of meta page %zu", off, meta / psize_);
        break;
      }
    }
    return what;
  }

  // Reads a damaged copy at path the ways a user would, whatever the
  // answers. Returns the number of entries handed back.
  static uint64_t read_all(const std::string &path) {
    uint64_t got = 0;
    auto touch = [&got](const ORV_val &k, const ORV_val &v) {
      // Every byte handed back is read, as a caller copying it would.
      unsigned s = 0;
      for (size_t b = 0; b < k.mv_size; b++) s += static_cast<const unsigned char *>(k.mv_data)[b];
      for (size_t b = 0; b < v.mv_size; b++) s += static_cast<const unsigned char *>(v.mv_data)[b];
      asm volatile("" : : "r"(s));
      got++;
    };
    ORV_env *env = nullptr;
    if (orv_env_create(&env) != 0) return got;
    (void)orv_env_set_maxdbs(env, 4);
    if (orv_env_open(env, path.c_str(), ORV_NOSUBDIR | ORV_NOLOCK | ORV_RDONLY, 0644) != 0) {
      orv_env_close(env);
      return got;
    }
    ORV_dbi dbis[2] = {1, 0};
    int ndbi = 1;
    ORV_txn *txn = nullptr;
    if (orv_txn_begin(env, nullptr, ORV_RDONLY, &txn) == 0) {
      if (orv_dbi_open(txn, "p", 0, &dbis[1]) == 0) ndbi = 2;
      if (orv_txn_commit(txn) != 0) ndbi = 1;  // a commit keeps the handle
    }
    for (int d = 0; d < ndbi; d++) {
      const ORV_dbi dbi = dbis[d];
      auto key_of = [&](int i) { return d == 0 ? main_key(i) : named_key(i); };
      const int nkeys = d == 0 ? kMainKeys : kNamedKeys;
      // Each way of reading in a transaction of its own: a damaged page
      // fails the transaction it is read in.
      for (int way = 0; way < 5; way++) {
        if (orv_txn_begin(env, nullptr, ORV_RDONLY, &txn) != 0) continue;
        ORV_cursor *mc = nullptr;
        ORV_val k, v;
        uint64_t n = 0;
        switch (way) {
          case 0:
          case 1:
            if (orv_cursor_open(txn, dbi, &mc) != 0) break;
            for (int rc = orv_cursor_get(mc, &k, &v, way == 0 ? ORV_FIRST : ORV_LAST), steps = 0;
                 rc == 0 && steps < 4 * nkeys;
                 rc = orv_cursor_get(mc, &k, &v, way == 0 ? ORV_NEXT : ORV_PREV), steps++)
              touch(k, v);
            break;
          case 2:
            for (int i = 0; i < nkeys; i += 13) {
              const std::string key = key_of(i);
              k = val(key);
              if (orv_get(txn, dbi, &k, &v) == 0) touch(k, v);
            }
            break;
          case 3:
            if (orv_cursor_open(txn, dbi, &mc) != 0) break;
            for (int i = 0; i < nkeys; i += 29) {
              const std::string key = key_of(i) + "!";
              k = val(key);
              if (orv_cursor_get(mc, &k, &v, ORV_SET_RANGE) == 0) touch(k, v);
              if (orv_cursor_get(mc, &k, &v, ORV_NEXT) == 0) touch(k, v);
              if (orv_cursor_get(mc, &k, &v, ORV_PREV) == 0) touch(k, v);
            }
            break;
          default:
            if (d == 0) break;
            for (uint64_t r = 0; r < kNamedKeys + 2; r += 37)
              if (orv_get_rank(txn, dbi, r, &k, &v) == 0) touch(k, v);
            {
              const std::string lo = key_of(10), hi = key_of(200);
              ORV_val l = val(lo), h = val(hi);
              (void)orv_count_range(txn, dbi, &l, &h, ORV_RANGE_LOWER_INCL, &n);
              uint64_t rank;
              (void)orv_get_key_rank(txn, dbi, &h, nullptr, &rank);
            }
            break;
        }
        if (mc != nullptr) orv_cursor_close(mc);
        orv_txn_abort(txn);
      }
    }
    orv_env_close(env);
    return got;
  }

  void sweep(uint64_t first, uint64_t count) {
    const std::string path = dir_.file("damaged.orv");
    unsigned failed = 0;
    for (uint64_t i = first; i < first + count; i++) {
      std::vector<unsigned char> copy = image_;
      const std::string what = damage(copy, i);
      const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(pwrite(fd, copy.data(), copy.size(), 0), static_cast<ssize_t>(copy.size()));
      close(fd);
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        alarm(20);  // a reader that never finishes fails too
        (void)read_all(path);
        _exit(0);
      }
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "copy " << i << " (" << what << "): "
                      << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exit status")
                      << (WIFEXITED(status) ? " " + std::to_string(WEXITSTATUS(status)) : "");
        if (++failed == 20) return;
      }
    }
  }

  TempDir dir_;
  std::vector<unsigned char> image_;
  uint32_t psize_ = 0;
  size_t pages_ = 0;
};

// The reads reach everything on a sound copy: both walks, the gets, the
// range probes (three entries each) and the ranks.
TEST_F(DamageSweep, SoundCopyReadsEverything) {
  const int gets = (kMainKeys + 12) / 13, probes = (kMainKeys + 28) / 29;
  const int main_live = kMainKeys - (kMainKeys + 8) / 9;
  const int ranks = (kNamedKeys + 2 + 36) / 37;
  // Gets and probes of deleted main keys find nothing or the next key.
  const uint64_t got = read_all(dir_.file("pristine.orv"));
  EXPECT_GE(got, uint64_t(2 * main_live + 2 * kNamedKeys + gets + 2 * probes + ranks));
  EXPECT_LE(got, uint64_t(2 * main_live + 2 * kNamedKeys + 2 * gets + 6 * probes + ranks));
}

TEST_F(DamageSweep, DamagedCopiesNeverCrashAReader) { sweep(0, 400); }

class DamageSweepLongTest : public DamageSweep {};

TEST_F(DamageSweepLongTest, ManyMoreDamagedCopies) { sweep(400, 6000); }

}  // namespace
