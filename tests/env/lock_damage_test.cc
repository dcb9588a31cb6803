// [lock damage]: reader.cc, info.cc - a lock table whose bytes were damaged
// by another process (found by fuzz_lock_file). The reader count comes from
// the file; no walk over the slots may go past the table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::in_child;

// 62 slots make a lock file of exactly one 4096-byte page: a slot past the
// table lies past the end of the file and of its map.
constexpr unsigned kSlots = 62;
static_assert((kSlots - 1) * 64 + 192 == 4096);

void pwrite_u32(int fd, off_t off, uint32_t v) { ASSERT_EQ(pwrite(fd, &v, sizeof v, off), 4); }

TEST(LockDamage, ReaderCountPastTheTable) {
  TempDir dir;
  orv_test::Env env;
  ASSERT_EQ(orv_env_set_maxreaders(env, kSlots), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NOTLS, 0644), 0);
  int fd = open(dir.file("lock.orv").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  // Every slot busy (held by this process), and a count far past them.
  for (unsigned i = 0; i < kSlots; i++) pwrite_u32(fd, 128 + 64 * i + 8, uint32_t(getpid()));
  pwrite_u32(fd, 16, 100000);
  close(fd);

  struct Case {
    const char *name;
    int (*op)(ORV_env *);
  };
  const Case cases[] = {
      {"read transaction finds the table full",
       [](ORV_env *e) {
         ORV_txn *txn = nullptr;
         return orv_txn_begin(e, nullptr, ORV_RDONLY, &txn) == ORV_READERS_FULL ? 0 : 1;
       }},
      {"reader list stops at the table's end",
       [](ORV_env *e) {
         int lines = 0;
         auto count = [](const char *, void *ctx) { return ++*static_cast<int *>(ctx), 0; };
         int rc = orv_reader_list(e, count, &lines);
         return rc == 0 && lines == int(kSlots) + 1 ? 0 : 1;  // header + one per slot
       }},
      {"sweep stops at the table's end",
       [](ORV_env *e) {
         int dead = -1;
         return orv_reader_check(e, &dead) == 0 && dead == 0 ? 0 : 1;
       }},
      {"information reports the slots that exist",
       [](ORV_env *e) {
         ORV_envinfo info;
         return orv_env_info(e, &info) == 0 && info.mi_numreaders == kSlots ? 0 : 1;
       }},
  };
  for (const Case &c : cases) {
    // In a child: reading past the map ends with a signal, not a failure.
    EXPECT_EQ(in_child([&] { return c.op(env); }), 0) << c.name;
  }
}

}  // namespace
