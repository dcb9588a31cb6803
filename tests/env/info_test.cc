// [info]: info.cc - environment statistics and information, and sync.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "env/env.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Env;

TEST(Info, NewEnvironment) {
  struct Case {
    const char *what;
    unsigned flags;
    unsigned numreaders_max;  // no reader has run: 0
  } cases[] = {{"file", 0, 0}, {"in-memory", ORV_INMEMORY, 0}, {"no lock", ORV_NOLOCK, 0}};
  for (const Case &c : cases) {
    TempDir dir;
    Env env;
    ASSERT_EQ(orv_env_set_maxreaders(env, 50), 0);
    ASSERT_EQ(orv_env_open(env, dir.c_str(), c.flags, 0644), 0) << c.what;

    ORV_stat st;
    ASSERT_EQ(orv_env_stat(env, &st), 0);
    EXPECT_EQ(st.ms_psize, env->me_psize);
    EXPECT_EQ(st.ms_depth, 0u);
    EXPECT_EQ(st.ms_branch_pages, 0u);
    EXPECT_EQ(st.ms_leaf_pages, 0u);
    EXPECT_EQ(st.ms_overflow_pages, 0u);
    EXPECT_EQ(st.ms_entries, 0u);

    ORV_envinfo info;
    ASSERT_EQ(orv_env_info(env, &info), 0);
    EXPECT_EQ(info.mi_mapaddr, nullptr) << "not the address of this process's map";
    EXPECT_EQ(info.mi_mapsize, 1048576u);
    EXPECT_EQ(info.mi_last_pgno, 1u);
    EXPECT_EQ(info.mi_last_txnid, 0u);
    EXPECT_EQ(info.mi_maxreaders, 50u);
    EXPECT_EQ(info.mi_numreaders, c.numreaders_max);
  }
}

TEST(Info, ReportsLockTableReaderCount) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  env->me_txns->mti_numreaders = 3;  // slots used so far
  ORV_envinfo info;
  ASSERT_EQ(orv_env_info(env, &info), 0);
  EXPECT_EQ(info.mi_numreaders, 3u);
}

TEST(Info, BadArguments) {
  Env closed;
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  ORV_stat st;
  ORV_envinfo info;
  EXPECT_EQ(orv_env_stat(env, nullptr), EINVAL);
  EXPECT_EQ(orv_env_info(env, nullptr), EINVAL);
  // A handle that was never opened has nothing to report or flush.
  EXPECT_EQ(orv_env_stat(closed, &st), EINVAL);
  EXPECT_EQ(orv_env_info(closed, &info), EINVAL);
  EXPECT_EQ(orv_env_sync(closed, 1), EINVAL);
  EXPECT_EQ(orv_env_sync0(closed, 1, 2), EINVAL);
}

TEST(Info, SyncRules) {
  TempDir dir;
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  }
  struct Case {
    const char *what;
    unsigned flags;
    int force0, force1;
  } cases[] = {
      {"plain", 0, 0, 0},
      {"write map", ORV_WRITEMAP, 0, 0},
      {"write map, async", ORV_WRITEMAP | ORV_MAPASYNC, 0, 0},
      {"no sync", ORV_NOSYNC, 0, 0},
      {"read-only", ORV_RDONLY, EACCES, EACCES},
  };
  for (const Case &c : cases) {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), c.flags, 0644), 0) << c.what;
    EXPECT_EQ(orv_env_sync(env, 0), c.force0) << c.what;
    EXPECT_EQ(orv_env_sync(env, 1), c.force1) << c.what;
    // A page count beyond the map is bounded by it.
    EXPECT_EQ(orv_env_sync0(env, 1, ~uint64_t{0}), c.force1) << c.what;
  }
  Env mem;
  ASSERT_EQ(orv_env_open(mem, nullptr, ORV_INMEMORY, 0), 0);
  EXPECT_EQ(orv_env_sync(mem, 0), 0);
  EXPECT_EQ(orv_env_sync(mem, 1), 0);
}

// Under ORV_NOSYNC an unforced sync does not touch the file at all, a forced
// one flushes: a descriptor that cannot be flushed tells them apart.
TEST(Info, NoSyncSkipsOnlyUnforcedFlush) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NOSYNC, 0644), 0);
  const int fd = env->me_fd;
  env->me_fd = -1;
  EXPECT_EQ(orv_env_sync(env, 0), 0);
  EXPECT_EQ(orv_env_sync(env, 1), EBADF);
  // Clearing the flag makes unforced syncs flush again.
  ASSERT_EQ(orv_env_set_flags(env, ORV_NOSYNC, 0), 0);
  EXPECT_EQ(orv_env_sync(env, 0), EBADF);
  env->me_fd = fd;
  EXPECT_EQ(orv_env_sync(env, 0), 0);
}

}  // namespace
