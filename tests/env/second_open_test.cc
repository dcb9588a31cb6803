// [second_open]: registry.cc and open.cc - a second handle on an
// environment this process already has open is refused with EBUSY before
// it touches the lock file, and the first handle is unharmed.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/sys_fault.h"
#include "util/tempdir.h"

namespace {

using orv_test::Env;
using orv_test::str;
using orv_test::val;

constexpr ORV_dbi kMain = 1;  // the main database's handle

void Put(ORV_env *env, const std::string &k, const std::string &v) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_val key = val(k), data = val(v);
  ASSERT_EQ(orv_put(txn, kMain, &key, &data, 0), 0);
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

std::string Get(ORV_env *env, const std::string &k) {
  ORV_txn *txn;
  if (orv_txn_begin(env, nullptr, ORV_RDONLY, &txn) != 0) return "<no txn>";
  ORV_val key = val(k), data;
  const int rc = orv_get(txn, kMain, &key, &data);
  std::string out = rc == 0 ? str(data) : "<" + std::to_string(rc) + ">";
  orv_txn_abort(txn);
  return out;
}

// The first handle holds a reader snapshot and data; every kind of second
// open of the same data file fails with EBUSY, leaves no descriptor, and
// changes neither the lock table nor the first handle's snapshot.
TEST(SecondOpen, IsRefusedAndLeavesTheFirstHandleWorking) {
  TempDir dir;
  Env first;
  ASSERT_EQ(orv_env_open(first, dir.c_str(), 0, 0644), 0);
  Put(first, "k", "v1");
  ORV_txn *reader;
  ASSERT_EQ(orv_txn_begin(first, nullptr, ORV_RDONLY, &reader), 0);
  const txnid_t snap = reader->mt_txnid;

  // Another name for the same directory, and the data file named directly.
  TempDir links;
  const std::string alias = links.file("alias");
  ASSERT_EQ(symlink(dir.c_str(), alias.c_str()), 0);
  const struct Case {
    const char *what;
    std::string path;
    unsigned flags;
  } cases[] = {
      {"same path", dir.path(), 0},
      {"same path, read-only", dir.path(), ORV_RDONLY},
      {"same path, no lock", dir.path(), ORV_NOLOCK},
      {"through a symlink", alias, 0},
      {"data file by name", dir.file("data.orv"), ORV_NOSUBDIR},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ORV_txninfo *ti = first->me_txns;
    const uint32_t numreaders = ti->mti_numreaders;
    const int fds = orv_test::CountOpenFds();
    Env second;
    EXPECT_EQ(orv_env_open(second, c.path.c_str(), c.flags, 0644), EBUSY);
    EXPECT_EQ(orv_test::CountOpenFds(), fds) << "descriptors left by the refused open";
    EXPECT_EQ(ti->mti_numreaders, numreaders) << "lock table re-initialised";
    EXPECT_EQ(ti->mti_readers[0].mr_txnid.load(), snap) << "first handle's reader slot lost";
    EXPECT_EQ(pthread_mutex_trylock(&ti->mti_wmutex), 0);
    pthread_mutex_unlock(&ti->mti_wmutex);
  }
  // The first handle's record locks survived (no descriptor of the lock
  // file was opened and closed), and it goes on reading and writing.
  const std::string k = "k";
  ORV_val key = val(k), data{};
  ASSERT_EQ(orv_get(reader, kMain, &key, &data), 0);
  EXPECT_EQ(str(data), "v1");
  orv_txn_abort(reader);
  Put(first, "k", "v2");
  EXPECT_EQ(Get(first, "k"), "v2");
  // A child process is another opener altogether and is not refused.
  const std::string path = dir.path();
  EXPECT_EQ(orv_test::in_child([&] {
              ORV_env *env;
              if (orv_env_create(&env) != 0) return 1;
              const int rc = orv_env_open(env, path.c_str(), 0, 0644);
              const bool ok = rc == 0 && Get(env, "k") == "v2";
              orv_env_close(env);
              return ok ? 0 : 2;
            }),
            0);
}

// Once the first handle is closed the environment opens again, the
// refused handle included.
TEST(SecondOpen, SucceedsAfterTheFirstCloses) {
  TempDir dir;
  Env second;
  {
    Env first;
    ASSERT_EQ(orv_env_open(first, dir.c_str(), 0, 0644), 0);
    Put(first, "k", "v");
    ASSERT_EQ(orv_env_open(second, dir.c_str(), 0, 0644), EBUSY);
  }
  ASSERT_EQ(orv_env_open(second, dir.c_str(), 0, 0644), 0);
  EXPECT_EQ(Get(second, "k"), "v");
  Put(second, "k", "w");
  EXPECT_EQ(Get(second, "k"), "w");
}

// Different environments, and in-memory ones, are never confused.
TEST(SecondOpen, OtherEnvironmentsOpenSideBySide) {
  TempDir a, b;
  Env ea, eb, m1, m2;
  ASSERT_EQ(orv_env_open(ea, a.c_str(), 0, 0644), 0);
  ASSERT_EQ(orv_env_open(eb, b.c_str(), 0, 0644), 0);
  ASSERT_EQ(orv_env_open(m1, "mem", ORV_INMEMORY, 0644), 0);
  ASSERT_EQ(orv_env_open(m2, "mem", ORV_INMEMORY, 0644), 0);
  Put(ea, "k", "a");
  Put(eb, "k", "b");
  Put(m1, "k", "m1");
  Put(m2, "k", "m2");
  EXPECT_EQ(Get(ea, "k"), "a");
  EXPECT_EQ(Get(eb, "k"), "b");
  EXPECT_EQ(Get(m1, "k"), "m1");
  EXPECT_EQ(Get(m2, "k"), "m2");
}

}  // namespace
