// [power_loss]: commit.cc, meta.cc, info.cc (sync), open.cc and lockfile.cc
// (new files) under simulated power loss - a workload of many commits runs
// on the crash-simulating layer; at crash points spread over it (before
// random system calls, creation included) the disk state is captured, and
// several random outcomes of each (every unflushed write dropped, kept or
// torn at a 512-byte boundary, sizes rolled back, unflushed directory
// entries lost or kept) are opened as environments. Each must open, hold
// exactly one committed state no older than the promise of its mode, pass
// the tree verifier, and take a further commit that survives a reopen.
//
// ORV_SEED sets the seed; ORV_ROUNDS multiplies the commits and crash
// points of the PowerLossLongTest suite (default 1).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <ostream>
#include <random>
#include <set>
#include <string>

#include "orv.h"
#include "util/crash_sim.h"
#include "util/sys_fault.h"
#include "util/tempdir.h"
#include "util/verify.h"
#include "util/workload.h"

namespace {

using orv_test::Contents;
using orv_test::ContentsDigest;
using orv_test::CrashImage;
using orv_test::CrashSim;
using orv_test::Workload;
using orv_test::WorkloadOptions;

struct Mode {
  const char *name;
  unsigned env_flags;
  bool nested;
  // Commits that may be lost besides the one in progress: ORV_NOMETASYNC
  // leaves the newest meta page unflushed until the next commit's flush.
  unsigned lag;
  // One crash point in about this many system calls (commits under
  // ORV_WRITEMAP make fewer calls).
  uint64_t every;
};
void PrintTo(const Mode &x, std::ostream *os) { *os << x.name; }

constexpr Mode kModes[] = {
    {"default", 0, true, 0, 48},
    {"writemap", ORV_WRITEMAP, false, 0, 12},
    {"nometasync", ORV_NOMETASYNC, true, 1, 48},
};

constexpr size_t kMapSize = size_t{2} << 20;

struct Figures {
  uint64_t commits = 0;
  uint64_t crash_points = 0;
  uint64_t images = 0;
  uint64_t torn_images = 0;  // images with at least one unflushed write kept or torn
};

int OpenEnv(const Mode &mode, const std::string &dir, size_t mapsize, ORV_env **out) {
  return orv_test::OpenWorkloadEnv(dir, mode.env_flags | ORV_NOTLS, mapsize, out);
}

// Opens one outcome of a crash in a fresh directory and checks it. The
// state found must have one of the digests in allowed.
void CheckImageIn(const Mode &mode, const TempDir &dir,
                  const std::map<uint64_t, Contents> &allowed) {
  ORV_env *env = nullptr;
  ASSERT_EQ(OpenEnv(mode, dir.path(), 0, &env), 0) << "the image does not open";
  Contents got;
  ASSERT_EQ(orv_test::ReadContents(env, &got), 0);
  auto it = allowed.find(ContentsDigest(got));
  if (it == allowed.end()) {
    orv_env_close(env);
    // Name the difference to the newest allowed state.
    ASSERT_TRUE(orv_test::SameContents(got, allowed.rbegin()->second)) << "not a committed state";
    FAIL() << "not a committed state";
  }
  EXPECT_TRUE(orv_test::EnvTreesValid(env));
  EXPECT_TRUE(orv_test::CommitSurvivesReopen(env, dir.path(), mode.env_flags | ORV_NOTLS, got));
}

void CheckImage(const Mode &mode, const CrashImage &img, std::mt19937_64 &rng,
                const std::map<uint64_t, Contents> &allowed, Figures *fig) {
  TempDir dir;
  if (img.Write(rng, dir.path()) > 0) fig->torn_images++;
  fig->images++;
  EXPECT_TRUE(orv_test::RunWithoutSigbus([&] { CheckImageIn(mode, dir, allowed); }))
      << "the image's trees reach past the end of its data file";
}

// Runs `commits` commits of the workload on the crash-simulating layer,
// capturing the disk about every `every` system calls, and checks
// `images` outcomes of every capture.
void RunCrashes(const Mode &mode, uint64_t seed, uint64_t commits, uint64_t every, unsigned images,
                Figures *fig) {
  SCOPED_TRACE(std::string(mode.name) + " seed " + std::to_string(seed));
  TempDir dir;
  CrashSim sim;
  std::mt19937_64 pick(seed), fate(seed ^ 0x5EEDu);
  std::vector<CrashImage> captured;
  sim.SetHook([&](uint64_t) {
    if (pick() % every == 0) captured.push_back(sim.Capture());
  });
  WorkloadOptions opts;
  opts.keys = 120;
  opts.max_ops = 8;
  opts.large_every = 30;
  opts.nested = mode.nested;
  Workload w(seed, opts);

  // The committed states a crash may fall back to, newest last.
  std::deque<std::pair<uint64_t, Contents>> history;
  history.emplace_back(ContentsDigest(Contents{}), Contents{});
  auto check_captured = [&](const Contents *in_progress) {
    std::map<uint64_t, Contents> allowed;
    for (size_t i = history.size() - std::min<size_t>(history.size(), mode.lag + 1);
         i < history.size(); i++)
      allowed.emplace(history[i]);
    if (in_progress) allowed.emplace(ContentsDigest(*in_progress), *in_progress);
    sim.Pause(true);
    for (const CrashImage &img : captured) {
      fig->crash_points++;
      for (unsigned i = 0; i < images && !::testing::Test::HasFailure(); i++)
        CheckImage(mode, img, fate, allowed, fig);
    }
    sim.Pause(false);
    captured.clear();
  };

  ORV_env *env = nullptr;
  ASSERT_EQ(OpenEnv(mode, dir.path(), kMapSize, &env), 0);
  check_captured(nullptr);
  uint64_t last_txnid = 0;
  for (uint64_t i = 0; i < commits && !::testing::Test::HasFailure(); i++) {
    int rc = w.Step(env);
    if (rc == ORV_MAP_FULL) {
      ORV_envinfo info;
      ASSERT_EQ(orv_env_info(env, &info), 0);
      ASSERT_EQ(orv_env_set_mapsize(env, info.mi_mapsize * 2), 0);
      rc = w.Step(env);
    }
    ASSERT_EQ(rc, 0) << "commit " << i;
    fig->commits++;
    check_captured(&w.committed());
    // A commit with nothing to write leaves the file alone: it is not a
    // state of its own that an unflushed meta page could fall back from.
    ORV_envinfo info;
    ASSERT_EQ(orv_env_info(env, &info), 0);
    if (info.mi_last_txnid != last_txnid) {
      last_txnid = info.mi_last_txnid;
      history.emplace_back(ContentsDigest(w.committed()), w.committed());
      if (history.size() > 4) history.pop_front();
    }
  }
  orv_env_close(env);
}

class PowerLossTest : public ::testing::TestWithParam<Mode> {};

TEST_P(PowerLossTest, EveryImageHoldsOneCommittedState) {
  Figures fig;
  RunCrashes(GetParam(), orv_test::TestSetting("ORV_SEED", 1), 600, GetParam().every, 2, &fig);
  std::printf("power loss: %s, %llu commits, %llu crash points, %llu images\n", GetParam().name,
              static_cast<unsigned long long>(fig.commits),
              static_cast<unsigned long long>(fig.crash_points),
              static_cast<unsigned long long>(fig.images));
  EXPECT_GT(fig.crash_points, 80u);
  EXPECT_GT(fig.torn_images, fig.images / 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerLossTest, ::testing::ValuesIn(kModes),
                         [](const auto &info) { return std::string(info.param.name); });

class PowerLossLongTest : public ::testing::TestWithParam<Mode> {};

TEST_P(PowerLossLongTest, ManyCommitsManyImages) {
  const uint64_t rounds = orv_test::TestSetting("ORV_ROUNDS", 1);
  Figures fig;
  RunCrashes(GetParam(), orv_test::TestSetting("ORV_SEED", 1) + 77, 500 * rounds, GetParam().every,
             2 + static_cast<unsigned>(rounds), &fig);
  std::printf(
      "power loss: %s, %llu commits, %llu crash points, %llu images (%llu with unflushed writes)\n",
      GetParam().name, static_cast<unsigned long long>(fig.commits),
      static_cast<unsigned long long>(fig.crash_points),
      static_cast<unsigned long long>(fig.images),
      static_cast<unsigned long long>(fig.torn_images));
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerLossLongTest, ::testing::ValuesIn(kModes),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
