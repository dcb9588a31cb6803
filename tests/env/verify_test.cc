// [verify]: lib/env/verify.cc, orv_env_verify: its results, its message
// lines and its flags over sound, in-memory and damaged environments.
// (The kinds of damage it reports are tabled in tests/tools/verify_tool_test.cc
// and tests/btree/verifier_test.cc.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

struct Lines {
  std::vector<std::string> got;
  int answer = 0;  // what the callback returns
};

int collect(const char *msg, void *ctx) {
  auto *l = static_cast<Lines *>(ctx);
  l->got.emplace_back(msg);
  return l->answer;
}

class VerifyEnvTest : public ::testing::Test {
 protected:
  void open_env(const std::string &path, unsigned flags = 0) {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 4), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, size_t{16} << 20), 0);
    ASSERT_EQ(orv_env_open(env_, flags & ORV_INMEMORY ? nullptr : path.c_str(), flags, 0644), 0);
  }
  void fill() {
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
    ORV_dbi main = 0, dup = 0;  // one value per key in "dup"
    ASSERT_EQ(orv_dbi_open(txn, nullptr, 0, &main), 0);
    ASSERT_EQ(orv_dbi_open(txn, "dup", ORV_CREATE | ORV_DUPSORT | ORV_COUNTED, &dup), 0);
    for (int i = 0; i < 800; i++) {
      std::string k = "key" + std::to_string(i), v(i % 100 == 0 ? 5000 : 30, 'v');
      ORV_val kv = orv_test::val(k), dv = orv_test::val(v);
      ASSERT_EQ(orv_put(txn, main, &kv, &dv, 0), 0);
      std::string dk = "d" + std::to_string(i), dd = std::to_string(i * 3);
      ORV_val dkv = orv_test::val(dk), ddv = orv_test::val(dd);
      ASSERT_EQ(orv_put(txn, dup, &dkv, &ddv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  void close_env() {
    if (env_) orv_env_close(env_);
    env_ = nullptr;
  }
  void TearDown() override { close_env(); }

  TempDir dir_;
  ORV_env *env_ = nullptr;
};

TEST_F(VerifyEnvTest, SoundEnvironmentGivesOnlyTheSummary) {
  open_env(dir_.path());
  fill();
  Lines l;
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &l), 0);
  ASSERT_EQ(l.got.size(), 1u);
  EXPECT_EQ(l.got[0].rfind("0 problem(s); last page ", 0), 0u) << l.got[0];
  EXPECT_EQ(l.got[0].back(), '\n');
  EXPECT_EQ(l.got[0].find("space not checked"), std::string::npos);
}

TEST_F(VerifyEnvTest, InMemoryEnvironment) {
  open_env("", ORV_INMEMORY);
  fill();
  Lines l;
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &l), 0);
  EXPECT_EQ(l.got.size(), 1u);
}

TEST_F(VerifyEnvTest, InterruptStopsTheCheck) {
  open_env(dir_.path());
  fill();
  Lines l;
  ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &l), EINTR);
  EXPECT_TRUE(l.got.empty());
  ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &l), 0);
}

TEST_F(VerifyEnvTest, BadArguments) {
  open_env(dir_.path());
  Lines l;
  EXPECT_EQ(orv_env_verify(nullptr, 0, collect, &l), EINVAL);
  EXPECT_EQ(orv_env_verify(env_, 0, nullptr, &l), EINVAL);
  EXPECT_EQ(orv_env_verify(env_, 0x100, collect, &l), EINVAL);
  EXPECT_TRUE(l.got.empty());
}

// One page appended to the file and to the snapshot's last page belongs to
// no tree and no free-page record: leaked. ORV_VERIFY_NOSPACE skips that
// check and says so in the summary.
TEST_F(VerifyEnvTest, LeakedPageAndTheNoSpaceFlag) {
  open_env(dir_.path());
  fill();
  ORV_envinfo info{};
  ASSERT_EQ(orv_env_info(env_, &info), 0);
  ORV_stat st{};
  ASSERT_EQ(orv_env_stat(env_, &st), 0);
  close_env();
  const uint64_t last = info.mi_last_pgno + 1;
  std::string file = dir_.path() + "/data.orv";
  int fd = open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t((last + 1) * st.ms_psize)), 0);
  for (uint64_t meta = 0; meta < 2; meta++)  // mm_last_pg at 136 of each meta page
    ASSERT_EQ(pwrite(fd, &last, 8, off_t(meta * st.ms_psize + 136)), 8);
  close(fd);

  open_env(dir_.path());
  Lines l;
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &l), ORV_CORRUPTED);
  ASSERT_EQ(l.got.size(), 2u);
  EXPECT_EQ(l.got[0], "page " + std::to_string(last) + " is leaked (neither reachable nor free)\n");
  EXPECT_EQ(l.got[1].rfind("1 problem(s); last page " + std::to_string(last), 0), 0u) << l.got[1];

  Lines quiet;
  EXPECT_EQ(orv_env_verify(env_, ORV_VERIFY_NOSPACE, collect, &quiet), 0);
  ASSERT_EQ(quiet.got.size(), 1u);
  EXPECT_NE(quiet.got[0].find("(space not checked)"), std::string::npos) << quiet.got[0];
}

// A callback that answers non-zero stops the check at once; its answer is
// the result, and the environment stays usable.
TEST_F(VerifyEnvTest, CallbackStopsTheCheck) {
  open_env(dir_.path());
  fill();
  close_env();
  std::string file = dir_.path() + "/data.orv";
  int fd = open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const uint64_t entries = 5;  // md_entries of the main database: 88 + 32
  for (off_t meta = 0; meta < 2; meta++)
    ASSERT_EQ(pwrite(fd, &entries, 8, meta * sysconf(_SC_PAGESIZE) + 120), 8);
  close(fd);

  open_env(dir_.path());
  Lines all;
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &all), ORV_CORRUPTED);
  ASSERT_GE(all.got.size(), 2u);
  EXPECT_NE(all.got[0].find("md_entries 5"), std::string::npos) << all.got[0];
  Lines stop;
  stop.answer = -1;
  EXPECT_EQ(orv_env_verify(env_, 0, collect, &stop), -1);
  EXPECT_EQ(stop.got.size(), 1u);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &txn), 0);
  orv_txn_abort(txn);
}

}  // namespace
