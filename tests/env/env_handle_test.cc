// [env_handle]: env.cc, open.cc, lockfile.cc - the environment handle, its
// configuration, open/close, file naming and lock file setup.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "btree/btree.h"
#include "env/env.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Env;
using orv_test::in_child;

bool exists(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

off_t file_size(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

// A child process that holds a byte-0 read lock on a lock file (as an
// environment user does) until released.
class LockHolder {
 public:
  explicit LockHolder(const std::string &lockfile) {
    int up[2], down[2];
    EXPECT_EQ(pipe(up), 0);
    EXPECT_EQ(pipe(down), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);  // so that the parent's close is seen as end of file
      int fd = open(lockfile.c_str(), O_RDWR | O_CREAT, 0644);
      struct flock lk {};
      lk.l_type = F_RDLCK;
      lk.l_whence = SEEK_SET;
      lk.l_len = 1;
      char c = fcntl(fd, F_SETLK, &lk) == 0 ? 'y' : 'n';
      (void)!write(up[1], &c, 1);
      (void)!read(down[0], &c, 1);
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    release_fd_ = down[1];
    char c = 0;
    EXPECT_EQ(read(up[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    close(up[0]);
  }
  ~LockHolder() {
    close(release_fd_);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
};

TEST(EnvHandle, CreateSetsDefaults) {
  Env env;
  unsigned readers = 0, flags = 1;
  const char *path = "x";
  int fd = 0;
  EXPECT_EQ(orv_env_get_maxreaders(env, &readers), 0);
  EXPECT_EQ(readers, 126u);
  EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(orv_env_get_path(env, &path), 0);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(orv_env_get_fd(env, &fd), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(orv_env_get_userctx(env), nullptr);
  EXPECT_EQ(orv_env_get_maxkeysize(env), 511);
  EXPECT_EQ(orv_env_get_maxkeysize(nullptr), 511);
  EXPECT_EQ(env->me_maxdbs, CORE_DBS);
  EXPECT_EQ(env->me_dbcount, CORE_DBS);
  EXPECT_EQ(env->me_lfd, -1);
  EXPECT_EQ(env->me_mfd, -1);
  EXPECT_EQ(env->me_pid, getpid());
  EXPECT_EQ(env->me_os_psize, static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
}

TEST(EnvHandle, NullArgumentsAreRejected) {
  Env env;
  unsigned u;
  const char *s;
  int i;
  ORV_stat st;
  ORV_envinfo info;
  struct Case {
    const char *what;
    int rc;
  } cases[] = {
      {"create", orv_env_create(nullptr)},
      {"open env", orv_env_open(nullptr, "/tmp", 0, 0644)},
      {"open path", orv_env_open(env, nullptr, 0, 0644)},
      {"open empty path", orv_env_open(env, "", 0, 0644)},
      {"open empty path, no subdir", orv_env_open(env, "", ORV_NOSUBDIR, 0644)},
      {"set_mapsize", orv_env_set_mapsize(nullptr, 1 << 20)},
      {"set_maxdbs", orv_env_set_maxdbs(nullptr, 4)},
      {"set_maxreaders", orv_env_set_maxreaders(nullptr, 4)},
      {"get_maxreaders env", orv_env_get_maxreaders(nullptr, &u)},
      {"get_maxreaders out", orv_env_get_maxreaders(env, nullptr)},
      {"set_flags", orv_env_set_flags(nullptr, ORV_NOSYNC, 1)},
      {"get_flags env", orv_env_get_flags(nullptr, &u)},
      {"get_flags out", orv_env_get_flags(env, nullptr)},
      {"get_path env", orv_env_get_path(nullptr, &s)},
      {"get_path out", orv_env_get_path(env, nullptr)},
      {"get_fd env", orv_env_get_fd(nullptr, &i)},
      {"get_fd out", orv_env_get_fd(env, nullptr)},
      {"set_userctx", orv_env_set_userctx(nullptr, &i)},
      {"set_assert", orv_env_set_assert(nullptr, nullptr)},
      {"set_interrupt", orv_env_set_interrupt(nullptr, 1)},
      {"stat env", orv_env_stat(nullptr, &st)},
      {"info env", orv_env_info(nullptr, &info)},
      {"sync env", orv_env_sync(nullptr, 1)},
  };
  for (const Case &c : cases) EXPECT_EQ(c.rc, EINVAL) << c.what;
  EXPECT_EQ(orv_env_get_userctx(nullptr), nullptr);
  orv_env_close(nullptr);  // ignored
  // None of this opened the handle.
  EXPECT_EQ(env->me_flags, 0u);
}

TEST(EnvHandle, SettersBeforeOpen) {
  Env env;
  int ctx = 0;
  EXPECT_EQ(orv_env_set_maxreaders(env, 0), EINVAL);
  EXPECT_EQ(orv_env_set_maxreaders(env, 10), 0);
  unsigned readers = 0;
  EXPECT_EQ(orv_env_get_maxreaders(env, &readers), 0);
  EXPECT_EQ(readers, 10u);
  EXPECT_EQ(orv_env_set_maxdbs(env, 5), 0);
  EXPECT_EQ(env->me_maxdbs, 7u);
  EXPECT_EQ(orv_env_set_maxdbs(env, ~0u), EINVAL);  // table size would wrap
  EXPECT_EQ(env->me_maxdbs, 7u);
  EXPECT_EQ(orv_env_set_mapsize(env, 123456), 0);
  EXPECT_EQ(env->me_mapsize, 123456u);
  EXPECT_EQ(orv_env_set_userctx(env, &ctx), 0);
  EXPECT_EQ(orv_env_get_userctx(env), &ctx);
  auto cb = [](ORV_env *, const char *) {};
  EXPECT_EQ(orv_env_set_assert(env, cb), 0);
  EXPECT_EQ(env->me_assert_func, static_cast<ORV_assert_func>(cb));
  EXPECT_EQ(orv_env_set_interrupt(env, 7), 0);
  EXPECT_EQ(env->me_interrupt.load(), 1u);
  EXPECT_EQ(orv_env_set_interrupt(env, 0), 0);
  EXPECT_EQ(env->me_interrupt.load(), 0u);
}

TEST(EnvHandle, SetFlagsAcceptsOnlyChangeableFlags) {
  Env env;
  const unsigned refused[] = {
      ORV_RDONLY,   ORV_WRITEMAP,     ORV_NOSUBDIR,   ORV_INMEMORY,    ORV_NOLOCK,
      ORV_FIXEDMAP, ORV_PREVSNAPSHOT, ORV_ENV_ACTIVE, ORV_FATAL_ERROR, ORV_NOSYNC | ORV_RDONLY};
  for (unsigned f : refused) EXPECT_EQ(orv_env_set_flags(env, f, 1), EINVAL) << std::hex << f;
  unsigned flags = 0;
  ASSERT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, 0u);

  const unsigned changeable = ORV_NOSYNC | ORV_NOMETASYNC | ORV_MAPASYNC | ORV_NOMEMINIT;
  EXPECT_EQ(orv_env_set_flags(env, changeable, 1), 0);
  ASSERT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, changeable);
  EXPECT_EQ(orv_env_set_flags(env, ORV_NOSYNC | ORV_MAPASYNC, 0), 0);
  ASSERT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, ORV_NOMETASYNC | ORV_NOMEMINIT);
}

TEST(EnvHandle, OpenCreatesFilesInDirectory) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_set_flags(env, ORV_NOMETASYNC, 1), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0640), 0);
  EXPECT_TRUE(exists(dir.file("data.orv")));
  EXPECT_TRUE(exists(dir.file("lock.orv")));
  // A lock table of 126 readers: (126 - 1) x 64 + 192 bytes.
  EXPECT_EQ(file_size(dir.file("lock.orv")), 8192);

  const char *path = nullptr;
  int fd = -1;
  unsigned flags = 0;
  EXPECT_EQ(orv_env_get_path(env, &path), 0);
  EXPECT_STREQ(path, dir.c_str());
  EXPECT_EQ(orv_env_get_fd(env, &fd), 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, ORV_NOMETASYNC);  // set before open, kept; no internal bits
  EXPECT_TRUE(env->me_flags & ORV_ENV_ACTIVE);
  EXPECT_TRUE(env->me_flags & ORV_ENV_TXKEY);
  EXPECT_GE(env->me_mfd, 0);
  EXPECT_NE(env->me_txn0, nullptr);
  EXPECT_NE(env->me_pbuf, nullptr);
  ASSERT_NE(env->me_txns, nullptr);
  EXPECT_EQ(env->me_txns->mti_magic, ORV_MAGIC);
  EXPECT_EQ(env->me_txns->mti_format, ORV_LOCK_FORMAT);
  // Comparators usable before any database handle is opened.
  EXPECT_NE(env->me_dbxs[FREE_DBI].md_cmp, nullptr);
  EXPECT_NE(env->me_dbxs[MAIN_DBI].md_cmp, nullptr);
  uint64_t a = 1, b = 2;
  ORV_val va{sizeof a, &a}, vb{sizeof b, &b};
  EXPECT_LT(env->me_dbxs[FREE_DBI].md_cmp(&va, &vb), 0);
  ORV_val ka{3, const_cast<char *>("abc")}, kb{3, const_cast<char *>("abd")};
  EXPECT_LT(env->me_dbxs[MAIN_DBI].md_cmp(&ka, &kb), 0);

  // Everything that needs the handle unmapped refuses now.
  EXPECT_EQ(orv_env_open(env, dir.c_str(), 0, 0640), EINVAL);
  EXPECT_EQ(orv_env_set_maxdbs(env, 4), EINVAL);
  EXPECT_EQ(orv_env_set_maxreaders(env, 4), EINVAL);
  // The changeable flags still work after open.
  EXPECT_EQ(orv_env_set_flags(env, ORV_NOSYNC, 1), 0);
  EXPECT_TRUE(env->me_flags & ORV_NOSYNC);
}

TEST(EnvHandle, NoSubdirNamesFilesAfterPath) {
  TempDir dir;
  const std::string path = dir.file("store");
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, path.c_str(), ORV_NOSUBDIR, 0644), 0);
    unsigned flags = 0;
    EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
    EXPECT_EQ(flags, ORV_NOSUBDIR);
  }
  EXPECT_TRUE(exists(path));
  EXPECT_TRUE(exists(path + "-lock"));
  EXPECT_FALSE(exists(dir.file("data.orv")));
  EXPECT_FALSE(exists(dir.file("lock.orv")));

  // With ORV_NOLOCK as well only the data file is touched.
  const std::string solo = dir.file("solo");
  Env env;
  ASSERT_EQ(orv_env_open(env, solo.c_str(), ORV_NOSUBDIR | ORV_NOLOCK, 0644), 0);
  EXPECT_EQ(env->me_txns, nullptr);
  EXPECT_EQ(env->me_lfd, -1);
  EXPECT_TRUE(exists(solo));
  EXPECT_FALSE(exists(solo + "-lock"));
}

TEST(EnvHandle, BadOpenArgumentsChangeNothing) {
  TempDir dir;
  Env env;
  const unsigned bad[] = {0x2u,
                          ORV_ENV_ACTIVE,
                          ORV_FATAL_ERROR,
                          0x08000000u,
                          ORV_INMEMORY | ORV_RDONLY,
                          ORV_INMEMORY | ORV_FIXEDMAP,
                          ORV_INMEMORY | ORV_PREVSNAPSHOT};
  for (unsigned f : bad) {
    EXPECT_EQ(orv_env_open(env, dir.c_str(), f, 0644), EINVAL) << std::hex << f;
    EXPECT_EQ(env->me_flags, 0u);
  }
  EXPECT_FALSE(exists(dir.file("data.orv")));
  EXPECT_FALSE(exists(dir.file("lock.orv")));
}

TEST(EnvHandle, PathProblemsReportSystemErrors) {
  TempDir dir;
  const std::string file = dir.file("plain");
  int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  struct Case {
    std::string path;
    unsigned flags;
    int rc;
  } cases[] = {
      {file, 0, ENOTDIR},                             // not a directory
      {dir.file("missing"), 0, ENOENT},               // directory missing
      {dir.file("missing/x"), ORV_NOSUBDIR, ENOENT},  // parent missing
      {dir.path(), ORV_RDONLY, ENOENT},               // nothing to read
  };
  for (const Case &c : cases) {
    Env env;
    EXPECT_EQ(orv_env_open(env, c.path.c_str(), c.flags, 0644), c.rc) << c.path;
    EXPECT_EQ(env->me_flags, 0u);
    EXPECT_EQ(env->me_map, nullptr);
    EXPECT_EQ(env->me_path, nullptr);
  }
}

TEST(EnvHandle, FailedOpenLeavesConfigurationForRetry) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_set_maxreaders(env, 20), 0);
  ASSERT_EQ(orv_env_set_flags(env, ORV_NOSYNC, 1), 0);
  // Read-only open of a store that does not exist yet fails...
  EXPECT_EQ(orv_env_open(env, dir.c_str(), ORV_RDONLY, 0644), ENOENT);
  unsigned flags = 0, readers = 0;
  EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, ORV_NOSYNC);  // ORV_RDONLY did not stick
  // ...and the same handle can then create it, writable.
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, ORV_NOSYNC);
  EXPECT_EQ(orv_env_get_maxreaders(env, &readers), 0);
  EXPECT_EQ(readers, 20u);
  EXPECT_NE(env->me_txn0, nullptr);
}

TEST(EnvHandle, InMemoryEnvironment) {
  Env env;
  ASSERT_EQ(orv_env_open(env, nullptr, ORV_INMEMORY, 0), 0);
  const char *path = nullptr;
  int fd = 0;
  unsigned flags = 0;
  EXPECT_EQ(orv_env_get_path(env, &path), 0);
  EXPECT_STREQ(path, ":memory:");
  EXPECT_EQ(orv_env_get_fd(env, &fd), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, ORV_INMEMORY | ORV_NOSYNC | ORV_NOMETASYNC | ORV_WRITEMAP);
  EXPECT_EQ(env->me_lfd, -1);
  EXPECT_EQ(env->me_mfd, -1);
  ASSERT_NE(env->me_txns, nullptr);  // anonymous lock table
  EXPECT_EQ(env->me_txns->mti_magic, ORV_MAGIC);
  EXPECT_EQ(env->me_live_reader, 1);
  EXPECT_EQ(env->me_close_readers, 126);
  EXPECT_EQ(orv_env_open(env, nullptr, ORV_INMEMORY, 0), EINVAL);  // second open
  EXPECT_EQ(orv_env_set_maxdbs(env, 3), EINVAL);

  Env nolock;
  ASSERT_EQ(orv_env_open(nolock, "ignored", ORV_INMEMORY | ORV_NOLOCK, 0), 0);
  EXPECT_EQ(nolock->me_txns, nullptr);
}

TEST(EnvHandle, ReadOnlyOpen) {
  TempDir dir;
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  }
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_RDONLY | ORV_WRITEMAP, 0644), 0);
  unsigned flags = 0;
  EXPECT_EQ(orv_env_get_flags(env, &flags), 0);
  EXPECT_EQ(flags, ORV_RDONLY);  // the write map is dropped
  EXPECT_EQ(env->me_txn0, nullptr);
  EXPECT_EQ(env->me_pbuf, nullptr);
  EXPECT_EQ(env->me_mfd, -1);
  EXPECT_EQ(env->me_free_pgs, nullptr);
  EXPECT_NE(env->me_txns, nullptr);
}

// Reader slots belong to threads through a thread key, unless ORV_NOTLS.
TEST(EnvHandle, ThreadKeyOnlyWithoutNoTls) {
  for (unsigned flags : {0u, ORV_NOTLS, ORV_INMEMORY, ORV_INMEMORY | ORV_NOTLS}) {
    TempDir dir;
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
    EXPECT_EQ((env->me_flags & ORV_ENV_TXKEY) != 0, !(flags & ORV_NOTLS)) << std::hex << flags;
    unsigned public_flags = 0;
    EXPECT_EQ(orv_env_get_flags(env, &public_flags), 0);
    EXPECT_EQ(public_flags & ORV_NOTLS, flags & ORV_NOTLS);
  }
}

TEST(EnvHandle, SharedOpenerTakesReaderCountFromLockFile) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  // Another process asking for 10 readers gets the table the file has.
  int readers = in_child([&] {
    ORV_env *e = nullptr;
    if (orv_env_create(&e) || orv_env_set_maxreaders(e, 10)) return 1;
    if (orv_env_open(e, dir.c_str(), 0, 0644) != 0) return 2;
    unsigned n = 0;
    int rc = orv_env_get_maxreaders(e, &n);
    orv_env_close(e);
    return rc ? 3 : static_cast<int>(n);
  });
  EXPECT_EQ(readers, 126);
}

TEST(EnvHandle, ExclusiveOpenerSizesLockFileFromItsReaders) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_set_maxreaders(env, 3), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(file_size(dir.file("lock.orv")), 2 * 64 + 192);
  unsigned n = 0;
  EXPECT_EQ(orv_env_get_maxreaders(env, &n), 0);
  EXPECT_EQ(n, 3u);
}

TEST(EnvHandle, PrevSnapshotNeedsExclusiveUse) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  int rc = in_child([&] {
    ORV_env *e = nullptr;
    if (orv_env_create(&e)) return 1;
    int r = orv_env_open(e, dir.c_str(), ORV_PREVSNAPSHOT, 0644);
    orv_env_close(e);
    return r;
  });
  EXPECT_EQ(rc, EAGAIN);
}

// A lock file written by someone else is refused by a shared opener; the
// first opener re-initialises whatever it finds.
TEST(EnvHandle, ForeignLockFileIsRefused) {
  struct Case {
    const char *what;
    uint32_t magic, format;
    off_t size;
    int rc;
  } cases[] = {
      {"bad magic", 0x12345678u, ORV_LOCK_FORMAT, 8192, ORV_INVALID},
      {"bad format", ORV_MAGIC, 0x2986C003u, 8192, ORV_VERSION_MISMATCH},
      {"too short", ORV_MAGIC, ORV_LOCK_FORMAT, 100, ORV_INVALID},
  };
  for (const Case &c : cases) {
    TempDir dir;
    const std::string lock = dir.file("lock.orv");
    int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, c.size), 0);
    uint32_t head[2] = {c.magic, c.format};
    ASSERT_EQ(pwrite(fd, head, sizeof head, 0), static_cast<ssize_t>(sizeof head));
    close(fd);
    {
      LockHolder other(lock);
      Env env;
      EXPECT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), c.rc) << c.what;
      EXPECT_EQ(env->me_flags, 0u);
      EXPECT_EQ(env->me_lfd, -1);
    }
    Env env;
    EXPECT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0) << c.what;
    EXPECT_EQ(env->me_txns->mti_magic, ORV_MAGIC);
  }
}

TEST(EnvHandle, ThreadExitReleasesReaderSlot) {
  TempDir dir;
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
  ORV_reader *slot = &env->me_txns->mti_readers[0];
  ORV_reader *foreign = &env->me_txns->mti_readers[1];
  slot->mr_pid = static_cast<uint32_t>(getpid());
  foreign->mr_pid = 1;  // not ours: left alone
  std::thread([&] { pthread_setspecific(env->me_txkey, slot); }).join();
  std::thread([&] { pthread_setspecific(env->me_txkey, foreign); }).join();
  EXPECT_EQ(slot->mr_pid.load(), 0u);
  EXPECT_EQ(foreign->mr_pid.load(), 1u);
}

TEST(EnvHandle, CloseReleasesOnlyThisProcessSlots) {
  TempDir dir;
  {
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
    ORV_reader *slots = env->me_txns->mti_readers;
    slots[0].mr_pid = static_cast<uint32_t>(getpid());
    slots[1].mr_pid = 1;
    slots[2].mr_pid = static_cast<uint32_t>(getpid());  // beyond me_close_readers
    env->me_close_readers = 2;
  }
  int fd = open(dir.file("lock.orv").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  uint32_t pids[3];
  for (int i = 0; i < 3; i++) ASSERT_EQ(pread(fd, &pids[i], 4, 128 + 64 * i + 8), 4);
  close(fd);
  EXPECT_EQ(pids[0], 0u);
  EXPECT_EQ(pids[1], 1u);
  EXPECT_EQ(pids[2], static_cast<uint32_t>(getpid()));
}

}  // namespace

namespace {

// Regression: the main database must compare keys before any handle of it
// was opened, in a file-backed and an in-memory store alike.
TEST(EnvHandle, MainDatabaseUsableBeforeDbiOpen) {
  for (unsigned flags : {0u, ORV_INMEMORY}) {
    TempDir dir;
    Env env;
    ASSERT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), 0);
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    for (const char *k : {"m", "b", "x"}) {
      ORV_val key{1, const_cast<char *>(k)}, val{1, const_cast<char *>(k)};
      ASSERT_EQ(orv_put(txn, MAIN_DBI, &key, &val, 0), 0) << k;
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
    ORV_val key{1, const_cast<char *>("b")}, val{};
    EXPECT_EQ(orv_get(txn, MAIN_DBI, &key, &val), 0);
    ASSERT_EQ(val.mv_size, 1u);
    EXPECT_EQ(*static_cast<char *>(val.mv_data), 'b');
    orv_txn_abort(txn);
  }
}

// Two processes on one environment: the second opener starts from what the
// first published, and each sees the other's commits.
TEST(EnvHandle, SecondProcessSharesCommits) {
  TempDir dir;
  auto put = [](ORV_env *env, const char *k, const char *v) {
    ORV_txn *txn = nullptr;
    if (int rc = orv_txn_begin(env, nullptr, 0, &txn); rc != 0) return rc;
    ORV_val key{std::strlen(k), const_cast<char *>(k)}, val{std::strlen(v), const_cast<char *>(v)};
    if (int rc = orv_put(txn, MAIN_DBI, &key, &val, 0); rc != 0) {
      orv_txn_abort(txn);
      return rc;
    }
    return orv_txn_commit(txn);
  };
  auto get = [](ORV_env *env, const char *k) {
    ORV_txn *txn = nullptr;
    std::string out = "<begin failed>";
    if (orv_txn_begin(env, nullptr, ORV_RDONLY, &txn) != 0) return out;
    ORV_val key{std::strlen(k), const_cast<char *>(k)}, val{};
    int rc = orv_get(txn, MAIN_DBI, &key, &val);
    out = rc == 0 ? std::string(static_cast<char *>(val.mv_data), val.mv_size) : "<none>";
    orv_txn_abort(txn);
    return out;
  };
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NOSYNC, 0644), 0);
  ASSERT_EQ(put(env, "a", "parent"), 0);
  int rc = in_child([&] {
    ORV_env *e = nullptr;
    if (orv_env_create(&e) || orv_env_open(e, dir.c_str(), ORV_NOSYNC, 0644)) return 1;
    int r = 0;
    if (e->me_txns->mti_txnid.load() != 1)
      r = 2;
    else if (get(e, "a") != "parent")
      r = 3;
    else if (put(e, "b", "child") != 0)
      r = 4;
    orv_env_close(e);
    return r;
  });
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(get(env, "b"), "child");
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 2u);
}

// A read-only store on a read-only file system opens without a lock table.
// Needs a private mount namespace; skipped where the system refuses one.
TEST(EnvHandle, ReadOnlyFileSystemRunsWithoutLockTable) {
  TempDir dir;
  const std::string mnt = dir.file("ro");
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  constexpr int kSkip = 77;
  int rc = in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return kSkip;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkip;
    if (mount("none", mnt.c_str(), "tmpfs", 0, nullptr) != 0) return kSkip;
    ORV_env *e = nullptr;
    if (orv_env_create(&e) || orv_env_open(e, mnt.c_str(), 0, 0644)) return 1;
    orv_env_close(e);
    if (unlink((mnt + "/lock.orv").c_str()) != 0) return 2;
    if (mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return kSkip;
    if (orv_env_create(&e)) return 3;
    if (orv_env_open(e, mnt.c_str(), 0, 0644) != EROFS) return 4;  // writable: refused
    if (orv_env_open(e, mnt.c_str(), ORV_RDONLY, 0644) != 0) return 5;
    ORV_envinfo info;
    if (e->me_txns || e->me_lfd != -1 || orv_env_info(e, &info) || info.mi_numreaders != 0)
      return 6;
    ORV_txn *txn = nullptr;
    if (orv_txn_begin(e, nullptr, ORV_RDONLY, &txn) != 0) return 7;
    orv_txn_abort(txn);
    orv_env_close(e);
    return 0;
  });
  if (rc == kSkip) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(rc, 0);
}

}  // namespace
