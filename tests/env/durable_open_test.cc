// [durable_open]: open.cc, meta.cc, lockfile.cc, sys.cc - a new environment
// is durable before open returns (its meta pages flushed, the directory
// entries of its files flushed), a crash at any moment of the creation
// leaves something that opens, and every opener that shares an environment
// checks the lock file's header.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "env/env.h"
#include "orv.h"
#include "util/crash_sim.h"
#include "util/sys_fault.h"
#include "util/tempdir.h"
#include "util/workload.h"

namespace {

using orv_test::Contents;
using orv_test::CrashImage;
using orv_test::CrashSim;
using orv_test::Workload;

struct Layout {
  const char *name;
  unsigned flags;
  const char *data;  // file names inside the directory
  const char *lock;
};
void PrintTo(const Layout &x, std::ostream *os) { *os << x.name; }

constexpr Layout kLayouts[] = {
    {"subdir", 0, "data.orv", "lock.orv"},
    {"nosubdir", ORV_NOSUBDIR, "env", "env-lock"},
    {"writemap", ORV_WRITEMAP, "data.orv", "lock.orv"},
};

std::string EnvPath(const Layout &l, const TempDir &dir) {
  return (l.flags & ORV_NOSUBDIR) ? dir.file(l.data) : dir.path();
}

const CrashImage::File *Find(const CrashImage &img, const std::string &name) {
  for (const auto &f : img.files)
    if (f.name == name) return &f;
  return nullptr;
}

class DurableOpenTest : public ::testing::TestWithParam<Layout> {};

// Right after open returns, the files exist for sure and the durable data
// file alone (every unflushed write lost) holds two valid meta pages.
TEST_P(DurableOpenTest, NewEnvironmentIsDurableWhenOpenReturns) {
  const Layout &l = GetParam();
  TempDir dir;
  CrashSim sim;
  ORV_env *env = nullptr;
  ASSERT_EQ(orv_env_create(&env), 0);
  ASSERT_EQ(orv_env_open(env, EnvPath(l, dir).c_str(), l.flags, 0644), 0);
  const CrashImage img = sim.Capture();
  orv_env_close(env);
  for (const char *name : {l.data, l.lock}) {
    const CrashImage::File *f = Find(img, name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_TRUE(f->entry_durable) << name << ": directory entry not flushed";
  }
  const CrashImage::File *data = Find(img, l.data);
  ASSERT_GE(data->durable.size(), 2 * 152u);
  ORV_meta m0, m1;
  std::memcpy(&m0, data->durable.data() + ORV_META_OFFSET, sizeof m0);
  const uint32_t psize = m0.mm_dbs[FREE_DBI].md_pad;
  ASSERT_GE(data->durable.size(), 2u * psize);
  std::memcpy(&m1, data->durable.data() + psize + ORV_META_OFFSET, sizeof m1);
  for (const ORV_meta *m : {&m0, &m1}) {
    EXPECT_EQ(m->mm_magic, ORV_MAGIC);
    EXPECT_EQ(m->mm_txnid, 0u);
    EXPECT_EQ(m->mm_last_pg, 1u);
  }
}

// A power loss at any system call of the creation leaves a directory that
// opens as an empty environment - except while the first meta pages are
// written but not yet flushed, when a torn header is refused as
// ORV_INVALID (the open had not returned; nothing was promised). That
// window closes before open returns.
TEST_P(DurableOpenTest, CrashDuringCreationLeavesAnOpenableDirectory) {
  const Layout &l = GetParam();
  TempDir dir;
  std::vector<CrashImage> images;
  {
    CrashSim sim;
    sim.SetHook([&](uint64_t) { images.push_back(sim.Capture()); });
    ORV_env *env = nullptr;
    ASSERT_EQ(orv_env_create(&env), 0);
    ASSERT_EQ(orv_env_open(env, EnvPath(l, dir).c_str(), l.flags, 0644), 0);
    sim.SetHook(nullptr);
    images.push_back(sim.Capture());
    orv_env_close(env);
  }
  ASSERT_GT(images.size(), 5u);
  std::mt19937_64 rng(7);
  orv_test::FaultInjector no_flush(orv_test::FaultPlan{});
  size_t window = 0;
  for (size_t i = 0; i < images.size(); i++) {
    const CrashImage::File *d = Find(images[i], l.data);
    const bool unflushed = d && d->durable.empty() && !d->pending.empty();
    if (unflushed) window++;
    for (int round = 0; round < 4; round++) {
      SCOPED_TRACE("crash before call " + std::to_string(i + 1) + ", outcome " +
                   std::to_string(round));
      TempDir out;
      images[i].Write(rng, out.path());
      ORV_env *env = nullptr;
      ASSERT_EQ(orv_env_create(&env), 0);
      ASSERT_EQ(orv_env_set_maxdbs(env, Workload::kMaxDbs), 0);
      const int rc = orv_env_open(env, EnvPath(l, out).c_str(), l.flags, 0644);
      if (unflushed && rc == ORV_INVALID) {
        orv_env_close(env);
        continue;
      }
      ASSERT_EQ(rc, 0);
      Contents got;
      EXPECT_EQ(orv_test::ReadContents(env, &got), 0);
      EXPECT_TRUE(got.empty());
      orv_env_close(env);
    }
  }
  // The meta pages are flushed by the very next call after their write.
  EXPECT_EQ(window, 1u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DurableOpenTest, ::testing::ValuesIn(kLayouts),
                         [](const auto &info) { return std::string(info.param.name); });

// A process keeps an environment open while its lock file's header is
// damaged: every later opener, writable or read-only, is refused and keeps
// nothing; once the header is whole again they open.
TEST(LockHeaderTest, SharedOpenersCheckTheHeaderOfALiveLockFile) {
  struct Case {
    const char *what;
    size_t offset;
    uint32_t bad;
    int rc;
  } cases[] = {
      {"magic", 0, 0x0BADF00Du, ORV_INVALID},
      {"format", 4, ORV_LOCK_FORMAT ^ 0x100u, ORV_VERSION_MISMATCH},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    const pid_t pid = fork();
    if (pid == 0) {  // the first user, holding the environment open
      ORV_env *env = nullptr;
      char ch =
          orv_env_create(&env) == 0 && orv_env_open(env, dir.c_str(), 0, 0644) == 0 ? 'y' : 'n';
      (void)!write(up[1], &ch, 1);
      (void)!read(down[0], &ch, 1);
      orv_env_close(env);
      _exit(0);
    }
    char ch = 0;
    ASSERT_EQ(read(up[0], &ch, 1), 1);
    ASSERT_EQ(ch, 'y');
    const std::string lock = dir.file("lock.orv");
    int fd = open(lock.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint32_t good = 0;
    ASSERT_EQ(pread(fd, &good, 4, static_cast<off_t>(c.offset)), 4);
    ASSERT_EQ(pwrite(fd, &c.bad, 4, static_cast<off_t>(c.offset)), 4);

    const int fds = orv_test::CountOpenFds();
    for (unsigned flags : {0u, static_cast<unsigned>(ORV_RDONLY)}) {
      ORV_env *env = nullptr;
      ASSERT_EQ(orv_env_create(&env), 0);
      EXPECT_EQ(orv_env_open(env, dir.c_str(), flags, 0644), c.rc) << "flags " << flags;
      EXPECT_EQ(env->me_txns, nullptr);
      EXPECT_EQ(env->me_map, nullptr);
      orv_env_close(env);
      EXPECT_EQ(orv_test::CountOpenFds(), fds) << "descriptors kept by a refused open";
    }
    // The live user's table was not touched: with the header whole again
    // the next opener shares it.
    uint32_t now = 0;
    ASSERT_EQ(pread(fd, &now, 4, static_cast<off_t>(c.offset)), 4);
    EXPECT_EQ(now, c.bad);
    ASSERT_EQ(pwrite(fd, &good, 4, static_cast<off_t>(c.offset)), 4);
    close(fd);
    ORV_env *env = nullptr;
    ASSERT_EQ(orv_env_create(&env), 0);
    EXPECT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), 0);
    orv_env_close(env);

    (void)!write(down[1], "x", 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(up[0]);
    close(up[1]);
    close(down[0]);
    close(down[1]);
  }
}

}  // namespace
