// [map]: map.cc and the map size rules of meta.cc - the size a map gets at
// open, resizing an open environment (file-backed and in-memory), and the
// data file under ORV_WRITEMAP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Env;

const uint64_t kPsize = std::min<uint64_t>(static_cast<uint64_t>(sysconf(_SC_PAGESIZE)), 32768);

off_t file_size(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

uint64_t info_mapsize(ORV_env *env) {
  ORV_envinfo info;
  EXPECT_EQ(orv_env_info(env, &info), 0);
  return info.mi_mapsize;
}

// Records commit id with last page last_pg through the meta writer, as a
// commit would after writing its pages.
void commit_meta(ORV_env *env, txnid_t id, pgno_t last_pg) {
  // The commit's pages: a data file reaches its last page (an open refuses
  // a file shorter than that).
  const off_t need = static_cast<off_t>((last_pg + 1) * env->me_psize);
  struct stat st;
  if (env->me_fd >= 0 && fstat(env->me_fd, &st) == 0 && st.st_size < need) {
    ASSERT_EQ(ftruncate(env->me_fd, need), 0);
  }
  ORV_txn txn{};
  ORV_db dbs[CORE_DBS];
  std::memcpy(dbs, orv_env_pick_meta(env)->mm_dbs, sizeof dbs);
  txn.mt_env = env;
  txn.mt_txnid = id;
  txn.mt_next_pgno = last_pg + 1;
  txn.mt_dbs = dbs;
  ASSERT_EQ(orv_env_write_meta(&txn), 0);
}

TEST(Map, DefaultSizeIsOneMebibyte) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(info_mapsize(env), 1048576u);
  EXPECT_EQ(env->me_maxpg, 1048576u / kPsize);
  EXPECT_EQ(env->me_metas[0], reinterpret_cast<ORV_meta *>(env->me_map + 16));
  EXPECT_EQ(env->me_metas[1], reinterpret_cast<ORV_meta *>(env->me_map + kPsize + 16));
  EXPECT_EQ(env->me_nodemax, ((kPsize - 16) / 4) * 2 - 2);
  EXPECT_EQ(env->me_maxfree_1pg, static_cast<int>((kPsize - 16) / 8 - 1));
  // Read-only map unless ORV_WRITEMAP: the file keeps its two pages.
  EXPECT_EQ(file_size(dir.file("data.orv")), static_cast<off_t>(2 * kPsize));
}

TEST(Map, ConfiguredSizeBelowDataIsRaised) {
  TempDir dir;
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
    commit_meta(env, 1, 299);
  }
  Env env;
  ASSERT_EQ(orv_env_set_mapsize(env, 4096), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(info_mapsize(env), 300 * kPsize);
  EXPECT_EQ(env->me_maxpg, 300u);
}

TEST(Map, ResizeOpenEnvironment) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  commit_meta(env, 1, 9);
  struct Step {
    size_t request;
    uint64_t expect;
  } steps[] = {
      {4 << 20, 4 << 20},   // grow
      {0, 1 << 20},         // 0: the size recorded by the last commit
      {4096, 10 * kPsize},  // below the pages in use: raised to them
      {3 << 20, 3 << 20},
  };
  for (const Step &s : steps) {
    ASSERT_EQ(orv_env_set_mapsize(env, s.request), 0) << s.request;
    EXPECT_EQ(info_mapsize(env), s.expect);
    EXPECT_EQ(env->me_maxpg, s.expect / kPsize);
    // The metas are read through the new map.
    EXPECT_EQ(orv_env_pick_meta(env)->mm_txnid, 1u);
    EXPECT_EQ(orv_env_pick_meta(env)->mm_last_pg, 9u);
  }
}

TEST(Map, ResizeRefusedDuringWriteTransaction) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  char *map = env->me_map;
  env->me_txn = env->me_txn0;  // as if a write transaction were running
  EXPECT_EQ(orv_env_set_mapsize(env, 4 << 20), EINVAL);
  env->me_txn = nullptr;
  EXPECT_EQ(env->me_map, map);
  EXPECT_EQ(info_mapsize(env), 1u << 20);
}

TEST(Map, InMemoryResizeKeepsContents) {
  Env env;
  ASSERT_EQ(orv_env_open(env, nullptr, ORV_INMEMORY, 0), 0);
  // Pages 2..5 in use, with recognisable contents.
  for (pgno_t pg = 2; pg <= 5; pg++) std::memset(env->me_map + pg * kPsize, int(pg), kPsize);
  commit_meta(env, 1, 5);
  for (size_t size : {size_t{8} << 20, size_t{0}, size_t{1}}) {
    ASSERT_EQ(orv_env_set_mapsize(env, size), 0) << size;
    const ORV_meta *meta = orv_env_pick_meta(env);
    EXPECT_EQ(meta->mm_txnid, 1u);
    EXPECT_EQ(meta->mm_last_pg, 5u);
    for (pgno_t pg = 2; pg <= 5; pg++) {
      const unsigned char *p = reinterpret_cast<unsigned char *>(env->me_map + pg * kPsize);
      EXPECT_EQ(p[0], pg);
      EXPECT_EQ(p[kPsize - 1], pg);
    }
  }
  EXPECT_EQ(info_mapsize(env), 6 * kPsize);  // raised to the pages in use
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 1u);
}

TEST(Map, WriteMapExtendsButNeverCutsTheFile) {
  TempDir dir;
  const std::string data = dir.file("data.orv");
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_WRITEMAP, 0644), 0);
    EXPECT_EQ(file_size(data), 1 << 20);
    // Pages are writable in place.
    env->me_map[2 * kPsize] = 'x';
    ASSERT_EQ(orv_env_set_mapsize(env, 2 << 20), 0);
    EXPECT_EQ(file_size(data), 2 << 20);
    EXPECT_EQ(env->me_map[2 * kPsize], 'x');
  }
  // A smaller map later leaves the file as long as it is: another process
  // may still be using the pages at its end.
  Env env;
  ASSERT_EQ(orv_env_set_mapsize(env, 64 << 10), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_WRITEMAP, 0644), 0);
  EXPECT_EQ(info_mapsize(env), 64u << 10);
  EXPECT_EQ(file_size(data), 2 << 20);
}

TEST(Map, FixedMapRecordsAndReusesItsAddress) {
  TempDir dir;
  void *addr = nullptr;
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_FIXEDMAP, 0644), 0);
    ORV_envinfo info;
    ASSERT_EQ(orv_env_info(env, &info), 0);
    EXPECT_EQ(info.mi_mapaddr, env->me_map);
    addr = env->me_map;
  }
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_FIXEDMAP, 0644), 0);
  EXPECT_EQ(static_cast<void *>(env->me_map), addr);
  // A resize keeps the recorded address: shrinking always fits there.
  ASSERT_EQ(orv_env_set_mapsize(env, 512 << 10), 0);
  EXPECT_EQ(static_cast<void *>(env->me_map), addr);
  EXPECT_EQ(info_mapsize(env), 512u << 10);
  // Growing may run into a neighbouring mapping; then the old map stays.
  int rc = orv_env_set_mapsize(env, 64 << 20);
  EXPECT_TRUE(rc == 0 || rc == EBUSY) << rc;
  EXPECT_EQ(static_cast<void *>(env->me_map), addr);
  EXPECT_EQ(info_mapsize(env), rc == 0 ? 64u << 20 : 512u << 10);
  EXPECT_EQ(orv_env_pick_meta(env)->mm_magic, ORV_MAGIC);
}

TEST(Map, NoReadAheadOpens) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NORDAHEAD, 0644), 0);
  EXPECT_EQ(orv_env_pick_meta(env)->mm_magic, ORV_MAGIC);
}

// A store that outgrows its map keeps working once the map is enlarged,
// and the larger size is recorded for later opens.
TEST(Map, FullMapIsEnlargedAndRecorded) {
  for (unsigned flags : {0u, ORV_WRITEMAP, ORV_INMEMORY}) {
    TempDir dir;
    Env env;
    ASSERT_EQ(orv_env_set_mapsize(env, 16 * kPsize), 0);
    ASSERT_EQ(orv_env_set_flags(env, ORV_NOSYNC, 1), 0);  // many small commits
    ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
    char kbuf[16], vbuf[200];
    std::memset(vbuf, 'v', sizeof vbuf);
    auto put = [&](int i) {
      ORV_txn *txn = nullptr;
      EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
      std::snprintf(kbuf, sizeof kbuf, "key%05d", i);
      ORV_val key{std::strlen(kbuf), kbuf}, val{sizeof vbuf, vbuf};
      int rc = orv_put(txn, MAIN_DBI, &key, &val, 0);
      if (rc == 0) return orv_txn_commit(txn);
      orv_txn_abort(txn);
      return rc;
    };
    int n = 0, rc = 0;
    while ((rc = put(n)) == 0) n++;
    ASSERT_EQ(rc, ORV_MAP_FULL) << std::hex << flags;
    ASSERT_GT(n, 0);
    ASSERT_EQ(orv_env_set_mapsize(env, 1 << 20), 0);
    for (int i = n; i < n + 100; i++) ASSERT_EQ(put(i), 0) << i;
    ORV_stat st;
    ASSERT_EQ(orv_env_stat(env, &st), 0);
    EXPECT_EQ(st.ms_entries, static_cast<uint64_t>(n + 100));
    EXPECT_EQ(orv_env_pick_meta(env)->mm_mapsize, 1u << 20);
  }
}

}  // namespace
