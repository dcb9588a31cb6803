// [meta]: meta.cc - the meta pages of the data file: the layout of a new
// file, validation at open, the choice between the two pages and the meta
// write of a commit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Env;

using Bytes = std::vector<unsigned char>;

Bytes read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Typed access to one meta page inside a file image.
template <class T>
T get(const Bytes &b, size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}
template <class T>
void put(Bytes &b, size_t off, T v) {
  std::memcpy(b.data() + off, &v, sizeof v);
}

// Offsets inside a meta page.
constexpr size_t MP_PGNO = 0, MP_FLAGS = 10, MM_MAGIC = 16, MM_VERSION = 20, MM_ADDRESS = 24,
                 MM_MAPSIZE = 32, MM_FREE = 40, MM_MAIN = 88, MM_LAST_PG = 136, MM_TXNID = 144;
// Offsets inside an ORV_db record.
constexpr size_t MD_PAD = 0, MD_FLAGS = 4, MD_DEPTH = 6, MD_ENTRIES = 32, MD_ROOT = 40;

const size_t kPsize = std::min<size_t>(static_cast<size_t>(sysconf(_SC_PAGESIZE)), 32768);

// Creates a new environment in dir and closes it; returns the data file.
std::string make_env(const TempDir &dir) {
  Env env;
  EXPECT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  return dir.file("data.orv");
}

txnid_t last_txnid(ORV_env *env) {
  ORV_envinfo info;
  EXPECT_EQ(orv_env_info(env, &info), 0);
  return info.mi_last_txnid;
}

TEST(Meta, NewFileLayout) {
  struct Case {
    unsigned open_flags;
    uint16_t free_flags;  // the free-page db also keeps the low env flags
  } cases[] = {{0, ORV_INTEGERKEY}, {ORV_NOSUBDIR, ORV_NOSUBDIR | ORV_INTEGERKEY}};
  for (const Case &c : cases) {
    TempDir dir;
    const std::string path =
        (c.open_flags & ORV_NOSUBDIR) ? dir.file("store") : dir.file("data.orv");
    {
      Env env;
      ASSERT_EQ(orv_env_open(env, (c.open_flags & ORV_NOSUBDIR) ? path.c_str() : dir.c_str(),
                             c.open_flags, 0644),
                0);
      EXPECT_EQ(env->me_psize, kPsize);
    }
    const Bytes file = read_file(path);
    ASSERT_EQ(file.size(), 2 * kPsize);
    for (size_t pg = 0; pg < 2; pg++) {
      const Bytes page(file.begin() + pg * kPsize, file.begin() + (pg + 1) * kPsize);
      EXPECT_EQ(get<uint64_t>(page, MP_PGNO), pg);
      EXPECT_EQ(get<uint16_t>(page, 8), 0);
      EXPECT_EQ(get<uint16_t>(page, MP_FLAGS), P_META);
      EXPECT_EQ(get<uint32_t>(page, 12), 0u);  // mp_lower, mp_upper
      EXPECT_EQ(get<uint32_t>(page, MM_MAGIC), 0xBEEFC0DEu);
      EXPECT_EQ(get<uint32_t>(page, MM_VERSION), 1u);
      EXPECT_EQ(get<uint64_t>(page, MM_ADDRESS), 0u);
      EXPECT_EQ(get<uint64_t>(page, MM_MAPSIZE), 1048576u);
      EXPECT_EQ(get<uint32_t>(page, MM_FREE + MD_PAD), kPsize);
      EXPECT_EQ(get<uint16_t>(page, MM_FREE + MD_FLAGS), c.free_flags);
      EXPECT_EQ(get<uint64_t>(page, MM_FREE + MD_ROOT), P_INVALID);
      EXPECT_EQ(get<uint64_t>(page, MM_MAIN + MD_ROOT), P_INVALID);
      for (size_t off :
           {MM_FREE + MD_DEPTH, MM_FREE + 8, MM_FREE + 16, MM_FREE + 24, MM_FREE + MD_ENTRIES,
            MM_MAIN + MD_PAD, MM_MAIN + MD_FLAGS, MM_MAIN + MD_DEPTH, MM_MAIN + 8, MM_MAIN + 16,
            MM_MAIN + 24, MM_MAIN + MD_ENTRIES}) {
        EXPECT_EQ(get<uint16_t>(page, off), 0) << off;
      }
      EXPECT_EQ(get<uint64_t>(page, MM_LAST_PG), 1u);
      EXPECT_EQ(get<uint64_t>(page, MM_TXNID), 0u);
      for (size_t i = 152; i < kPsize; i++) ASSERT_EQ(page[i], 0) << i;
    }
    // Identical apart from mp_pgno.
    EXPECT_TRUE(std::equal(file.begin() + 8, file.begin() + kPsize, file.begin() + kPsize + 8));
  }
}

TEST(Meta, ConfiguredMapSizeIsRecorded) {
  TempDir dir;
  {
    Env env;
    ASSERT_EQ(orv_env_set_mapsize(env, 4 << 20), 0);
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  }
  const Bytes file = read_file(dir.file("data.orv"));
  EXPECT_EQ(get<uint64_t>(file, MM_MAPSIZE), 4u << 20);
  // A later open without a configured size takes the recorded one.
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(env->me_mapsize, 4u << 20);
}

TEST(Meta, ReopenKeepsTheFile) {
  TempDir dir;
  const std::string data = make_env(dir);
  const Bytes before = read_file(data);
  for (unsigned flags : {0u, ORV_RDONLY, ORV_WRITEMAP}) {
    {
      Env env;
      ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
      EXPECT_EQ(last_txnid(env), 0u);
      EXPECT_EQ(env->me_psize, kPsize);
    }
    Bytes after = read_file(data);
    if (flags & ORV_WRITEMAP) after.resize(before.size());  // the file grew to the map
    EXPECT_EQ(after, before) << std::hex << flags;
  }
}

TEST(Meta, EmptyFileIsTreatedAsNew) {
  TempDir dir;
  write_file(dir.file("data.orv"), {});
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(read_file(dir.file("data.orv")).size(), 2 * kPsize);
}

// A damaged or foreign data file is refused and left exactly as it was.
TEST(Meta, BadHeadersAreRefusedAndUntouched) {
  TempDir base;
  const Bytes good = read_file(make_env(base));
  auto truncated = [&](size_t n) { return Bytes(good.begin(), good.begin() + n); };
  auto patched = [&](size_t off, auto v) {
    Bytes b = good;
    put(b, off, v);
    return b;
  };
  struct Case {
    const char *what;
    Bytes file;
    int rc;
  } cases[] = {
      {"short header", truncated(100), ORV_INVALID},
      {"one byte", truncated(1), ORV_INVALID},
      {"short second page", truncated(kPsize + 100), ORV_INVALID},
      {"bad magic", patched(MM_MAGIC, uint32_t{0xDEADBEEF}), ORV_INVALID},
      {"bad magic, second page", patched(kPsize + MM_MAGIC, uint32_t{0}), ORV_INVALID},
      {"not a meta page", patched(MP_FLAGS, uint16_t{P_LEAF}), ORV_INVALID},
      {"version 2", patched(MM_VERSION, uint32_t{2}), ORV_VERSION_MISMATCH},
      {"version 2, second page", patched(kPsize + MM_VERSION, uint32_t{2}), ORV_VERSION_MISMATCH},
      {"page size 0", patched(MM_FREE + MD_PAD, uint32_t{0}), ORV_INVALID},
      {"page size 5000", patched(MM_FREE + MD_PAD, uint32_t{5000}), ORV_INVALID},
      {"page size 1 GiB", patched(MM_FREE + MD_PAD, uint32_t{1} << 30), ORV_INVALID},
      {"last page beyond any map", patched(MM_LAST_PG, ~uint64_t{0} - 1), ORV_INVALID},
  };
  for (const Case &c : cases) {
    for (unsigned flags : {0u, ORV_RDONLY}) {
      TempDir dir;
      const std::string data = dir.file("data.orv");
      write_file(data, c.file);
      Env env;
      EXPECT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), c.rc) << c.what;
      EXPECT_EQ(env->me_map, nullptr);
      EXPECT_EQ(read_file(data), c.file) << c.what;
    }
  }
}

// Page 0 holds commit 6, page 1 commit 5 (as after two alternating commits).
std::string make_env_5_6(const TempDir &dir) {
  const std::string data = make_env(dir);
  Bytes file = read_file(data);
  put(file, MM_TXNID, uint64_t{6});
  put(file, kPsize + MM_TXNID, uint64_t{5});
  put(file, MM_MAIN + MD_ENTRIES, uint64_t{66});
  put(file, kPsize + MM_MAIN + MD_ENTRIES, uint64_t{55});
  write_file(data, file);
  return data;
}

TEST(Meta, PickMetaChoosesNewerOrOlder) {
  TempDir dir;
  make_env_5_6(dir);
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
    EXPECT_EQ(last_txnid(env), 6u);
    EXPECT_EQ(orv_env_pick_meta(env), env->me_metas[0]);
    EXPECT_EQ(env->me_txns->mti_txnid.load(), 6u);  // published at open
    ORV_stat st;
    ASSERT_EQ(orv_env_stat(env, &st), 0);
    EXPECT_EQ(st.ms_entries, 66u);
  }
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_PREVSNAPSHOT, 0644), 0);
    EXPECT_EQ(last_txnid(env), 5u);
    EXPECT_EQ(orv_env_pick_meta(env), env->me_metas[1]);
    // The exclusive writable opener starts everyone from the older state.
    EXPECT_EQ(env->me_txns->mti_txnid.load(), 5u);
    ORV_stat st;
    ASSERT_EQ(orv_env_stat(env, &st), 0);
    EXPECT_EQ(st.ms_entries, 55u);
  }
  // read_header makes the same choice.
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_RDONLY, 0644), 0);
  ORV_meta meta;
  ASSERT_EQ(orv_env_read_header(env, 0, &meta), 0);
  EXPECT_EQ(meta.mm_txnid, 6u);
  ASSERT_EQ(orv_env_read_header(env, 1, &meta), 0);
  EXPECT_EQ(meta.mm_txnid, 5u);
}

// Regression (PREVSNAPSHOT): a read-only process opening on the older
// snapshot while others use the environment must not move the id that the
// lock table publishes to them back.
TEST(Meta, PrevSnapshotReadOnlyLeavesPublishedId) {
  TempDir dir;
  make_env_5_6(dir);
  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(up[0]);
    close(down[1]);
    ORV_env *e = nullptr;
    char c = (orv_env_create(&e) == 0 && orv_env_open(e, dir.c_str(), 0, 0644) == 0) ? 'y' : 'n';
    (void)!write(up[1], &c, 1);
    (void)!read(down[0], &c, 1);
    orv_env_close(e);
    _exit(0);
  }
  close(up[1]);
  close(down[0]);
  char c = 0;
  ASSERT_EQ(read(up[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_RDONLY | ORV_PREVSNAPSHOT, 0644), 0);
    EXPECT_EQ(last_txnid(env), 5u);  // this process sees the older state
    ASSERT_NE(env->me_txns, nullptr);
    EXPECT_EQ(env->me_txns->mti_txnid.load(), 6u);  // the others still see 6
    // Its read transactions run on the older snapshot, privately.
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
    EXPECT_EQ(orv_txn_id(txn), 5u);
    orv_txn_abort(txn);
    EXPECT_EQ(env->me_txns->mti_txnid.load(), 6u);
  }
  {
    // A writable open on the older snapshot needs exclusive use: the other
    // process still has the environment open. (A second handle in this
    // process would be refused with EBUSY before that question arises.)
    Env writer;
    EXPECT_EQ(orv_env_open(writer, dir.c_str(), ORV_PREVSNAPSHOT, 0644), EAGAIN);
  }
  close(down[1]);
  close(up[0]);
  waitpid(pid, nullptr, 0);
}

// Commits through orv_env_write_meta with a stand-in transaction.
struct FakeTxn {
  ORV_txn txn{};
  ORV_db dbs[CORE_DBS]{};
  FakeTxn(ORV_env *env, txnid_t id, pgno_t next_pgno, uint64_t entries) {
    const ORV_meta *m = orv_env_pick_meta(env);
    dbs[FREE_DBI] = m->mm_dbs[FREE_DBI];
    dbs[MAIN_DBI] = m->mm_dbs[MAIN_DBI];
    dbs[MAIN_DBI].md_entries = entries;
    dbs[MAIN_DBI].md_depth = 1;
    dbs[MAIN_DBI].md_leaf_pages = 1;
    dbs[MAIN_DBI].md_root = next_pgno - 1;
    txn.mt_env = env;
    txn.mt_txnid = id;
    txn.mt_next_pgno = next_pgno;
    txn.mt_dbs = dbs;
  }
};

TEST(Meta, WriteMetaAlternatesPages) {
  struct Case {
    const char *what;
    unsigned flags;
  } cases[] = {
      {"synchronous descriptor", 0},
      {"plain descriptor", ORV_NOMETASYNC},
      {"no sync", ORV_NOSYNC},
      {"write map", ORV_WRITEMAP},
      {"write map, async", ORV_WRITEMAP | ORV_MAPASYNC},
      {"write map, no meta sync", ORV_WRITEMAP | ORV_NOMETASYNC},
  };
  for (const Case &c : cases) {
    TempDir dir;
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), c.flags, 0644), 0);
    for (txnid_t id = 1; id <= 3; id++) {
      FakeTxn ft(env, id, 2 + id, 10 * id);
      ASSERT_EQ(orv_env_write_meta(&ft.txn), 0) << c.what;
      EXPECT_EQ(env->me_txns->mti_txnid.load(), id);
      EXPECT_EQ(orv_env_pick_meta(env), env->me_metas[id & 1]);
      EXPECT_EQ(last_txnid(env), id);

      const Bytes file = read_file(dir.file("data.orv"));
      const size_t pg = (id & 1) * kPsize, other = kPsize - pg;
      EXPECT_EQ(get<uint64_t>(file, pg + MP_PGNO), id & 1);
      EXPECT_EQ(get<uint16_t>(file, pg + MP_FLAGS), P_META);
      EXPECT_EQ(get<uint64_t>(file, pg + MM_TXNID), id) << c.what;
      EXPECT_EQ(get<uint64_t>(file, pg + MM_LAST_PG), 1 + id);
      EXPECT_EQ(get<uint64_t>(file, pg + MM_MAIN + MD_ENTRIES), 10 * id);
      EXPECT_EQ(get<uint64_t>(file, pg + MM_MAIN + MD_ROOT), 1 + id);
      EXPECT_EQ(get<uint32_t>(file, pg + MM_FREE + MD_PAD), kPsize);
      EXPECT_EQ(get<uint64_t>(file, other + MM_TXNID), id - 1);
    }
  }
}

TEST(Meta, WriteMetaInMemory) {
  Env env;
  ASSERT_EQ(orv_env_open(env, nullptr, ORV_INMEMORY, 0), 0);
  FakeTxn ft(env, 1, 3, 7);
  ASSERT_EQ(orv_env_write_meta(&ft.txn), 0);
  EXPECT_EQ(env->me_metas[1]->mm_txnid, 1u);
  EXPECT_EQ(env->me_metas[1]->mm_dbs[MAIN_DBI].md_entries, 7u);
  EXPECT_EQ(env->me_metas[0]->mm_txnid, 0u);
  // New readers must learn of the commit.
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 1u);
  EXPECT_EQ(last_txnid(env), 1u);
}

TEST(Meta, RecordedMapSizeNeverShrinks) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_set_mapsize(env, 2 << 20), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  FakeTxn t1(env, 1, 3, 1);
  ASSERT_EQ(orv_env_write_meta(&t1.txn), 0);
  ASSERT_EQ(orv_env_set_mapsize(env, 1 << 20), 0);
  EXPECT_EQ(env->me_mapsize, 1u << 20);
  FakeTxn t2(env, 2, 3, 2);
  ASSERT_EQ(orv_env_write_meta(&t2.txn), 0);
  EXPECT_EQ(env->me_metas[0]->mm_mapsize, 2u << 20);
}

TEST(Meta, FailedMetaWriteIsFatalAndRestores) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  const Bytes before = read_file(dir.file("data.orv"));
  // A descriptor that cannot write stands in for a failing disk.
  const int mfd = env->me_mfd;
  env->me_mfd = open(dir.file("data.orv").c_str(), O_RDONLY);
  ASSERT_GE(env->me_mfd, 0);
  FakeTxn ft(env, 1, 3, 1);
  EXPECT_EQ(orv_env_write_meta(&ft.txn), EBADF);
  EXPECT_TRUE(env->me_flags & ORV_FATAL_ERROR);
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 0u);  // nothing published
  EXPECT_EQ(read_file(dir.file("data.orv")), before);
  close(env->me_mfd);
  env->me_mfd = mfd;
}

// Real commits alternate between the pages; the older one stays readable.
TEST(Meta, CommitsAlternateAndPrevSnapshotSeesOlderState) {
  TempDir dir;
  auto put_a = [](ORV_env *env, const char *v) {
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    ORV_val key{1, const_cast<char *>("a")}, val{1, const_cast<char *>(v)};
    ASSERT_EQ(orv_put(txn, MAIN_DBI, &key, &val, 0), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);
  };
  auto get_a = [](ORV_env *env, txnid_t *id) {
    ORV_txn *txn = nullptr;
    EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
    ORV_val key{1, const_cast<char *>("a")}, val{};
    EXPECT_EQ(orv_get(txn, MAIN_DBI, &key, &val), 0);
    char c = val.mv_size == 1 ? *static_cast<char *>(val.mv_data) : '?';
    *id = orv_txn_id(txn);
    orv_txn_abort(txn);
    return c;
  };
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
    put_a(env, "1");
    put_a(env, "2");
  }
  const Bytes file = read_file(dir.file("data.orv"));
  EXPECT_EQ(get<uint64_t>(file, MM_TXNID), 2u);
  EXPECT_EQ(get<uint64_t>(file, kPsize + MM_TXNID), 1u);
  EXPECT_EQ(get<uint64_t>(file, MM_MAIN + MD_ENTRIES), 1u);
  txnid_t id = 0;
  for (unsigned flags : {ORV_PREVSNAPSHOT, ORV_PREVSNAPSHOT | ORV_RDONLY}) {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
    EXPECT_EQ(get_a(env, &id), '1') << std::hex << flags;
    EXPECT_EQ(id, 1u);
  }
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(get_a(env, &id), '2');
  EXPECT_EQ(id, 2u);
}

}  // namespace
