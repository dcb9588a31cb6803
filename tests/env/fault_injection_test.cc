// [fault_injection]: sys.cc and every caller of the system-call table - a
// workload (create, fill, commits with spills and nested transactions, map
// growth, then a plain and a compacting copy to new files; with and without
// ORV_WRITEMAP) is run once per system call it makes, with that one call
// failing (EIO / ENOSPC), interrupted (EINTR) or writing only part of its
// bytes. Every run must report the failure as a clear code, leave the
// environment usable or panicked, release every descriptor, thread, the
// writer mutex and its reader slots, and reopen on the last state whose
// commit returned 0, passing the tree verifier. A copy that failed leaves
// no file; one that succeeded opens with the committed contents.
//
// ORV_SEED sets the workload's seed; ORV_ROUNDS the number of seeds the
// FaultInjectionLongTest suite sweeps (default 1).
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/sys_fault.h"
#include "util/tempdir.h"
#include "util/verify.h"
#include "util/workload.h"

namespace {

using orv_test::Contents;
using orv_test::Fault;
using orv_test::FaultInjector;
using orv_test::FaultPlan;
using orv_test::Workload;
using orv_test::WorkloadOptions;

struct Scenario {
  const char *name;
  unsigned env_flags;
  bool nested;
};
void PrintTo(const Scenario &x, std::ostream *os) { *os << x.name; }

constexpr Scenario kScenarios[] = {
    {"default", 0, true},
    {"writemap", ORV_WRITEMAP, false},
};

constexpr size_t kFirstMapSize = 96 * 4096;  // small: the workload must grow it
constexpr int kSteps = 10;

// What one run of the workload saw.
struct Outcome {
  int first_rc = 0;        // first failure reported by the library (0: none)
  std::string first_what;  // where it came from
  bool panicked = false;   // the environment reached ORV_FATAL_ERROR
  Contents committed;      // contents after the last commit that returned 0
  uint64_t calls = 0;      // system calls counted
  bool fired = false;
  std::string fired_call;
};

void Note(Outcome *out, int rc, const char *what) {
  if (rc != 0 && out->first_rc == 0) {
    out->first_rc = rc;
    out->first_what = what;
  }
}

// Opens (creating) an environment of the scenario in dir.
int OpenEnv(const Scenario &sc, const std::string &dir, size_t mapsize, ORV_env **out) {
  return orv_test::OpenWorkloadEnv(dir, sc.env_flags | ORV_NOTLS, mapsize, out);
}

// Number of threads of this process.
int CountThreads() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (readdir(d) != nullptr) n++;
    closedir(d);
  }
  return n;
}

// Copies env (holding `want`) to a new file in dir/name with flags: a
// failure is a clear code and leaves no file, no thread and no reader
// snapshot; a success opens as an environment holding `want`.
void CopyStep(ORV_env *env, FaultInjector *inj, const std::string &dir, const char *name,
              unsigned flags, const Contents &want, Outcome *out) {
  const std::string target = dir + "/" + name;
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  const int threads = CountThreads();
  const int rc = orv_env_copy2(env, target.c_str(), flags);
  Note(out, rc, name);
  // A joined thread's task entry can outlive the join for a moment under
  // load: give it a second to go before calling it left running.
  for (int i = 0; i < 100 && CountThreads() != threads; i++) usleep(10000);
  EXPECT_EQ(CountThreads(), threads) << name << ": writer thread left running";
  struct stat st;
  const std::string file = target + "/data.orv";
  if (rc != 0) {
    EXPECT_NE(stat(file.c_str(), &st), 0) << name << " failed with " << rc << " but left a file";
    return;
  }
  inj->Pause(true);
  ORV_env *copy = nullptr;
  ASSERT_EQ(orv_test::OpenWorkloadEnv(target, ORV_NOTLS | ORV_RDONLY, 0, &copy), 0) << name;
  Contents got;
  EXPECT_EQ(orv_test::ReadContents(copy, &got), 0) << name;
  EXPECT_TRUE(orv_test::SameContents(got, want)) << name;
  EXPECT_TRUE(orv_test::EnvTreesValid(copy)) << name;
  orv_env_close(copy);
  EXPECT_TRUE(orv_test::EnvTreesValid(env)) << name << ": source after the copy";
  inj->Pause(false);
}

// The workload of one run under plan. Checks what must hold while the
// environment is open and after it is closed.
Outcome RunWorkload(const Scenario &sc, const std::string &dir, uint64_t seed,
                    const FaultPlan &plan) {
  Outcome out;
  const int fds = orv_test::CountOpenFds();
  FaultInjector inj(plan);
  ORV_env *env = nullptr;
  int rc = OpenEnv(sc, dir, kFirstMapSize, &env);
  Note(&out, rc, "open");
  if (rc != 0) {
    // A refused open releases everything; the next one starts afresh.
    EXPECT_EQ(orv_test::CountOpenFds(), fds) << "descriptors left by a failed open";
    inj.Pause(true);
    rc = OpenEnv(sc, dir, kFirstMapSize, &env);
    EXPECT_EQ(rc, 0) << "reopen after a failed open";
    if (rc != 0) return out;
    inj.Pause(false);
  }

  WorkloadOptions opts;
  opts.nested = sc.nested;
  Workload w(seed, opts);
  for (int step = 0, grows = 0; step < kSteps && grows < 20;) {
    // Steps 3 and 7 are large enough to spill. (With the room cut this far
    // a child could find no page of its own to spill: they stay flat.)
    const bool spill = step == 3 || step == 7;
    w.options().spill_room = spill ? 64 : 0;
    w.options().max_ops = spill ? 200 : 12;
    w.options().nested = sc.nested && !spill;
    rc = w.Step(env);
    if (rc == ORV_MAP_FULL) {
      grows++;
      ORV_envinfo info;
      EXPECT_EQ(orv_env_info(env, &info), 0);
      Note(&out, orv_env_set_mapsize(env, info.mi_mapsize * 2), "set_mapsize");
      continue;
    }
    step++;
    if (rc == 0) continue;
    if (rc == ORV_PANIC) {
      EXPECT_TRUE(env->me_flags & ORV_FATAL_ERROR);
      out.panicked = true;
      break;
    }
    Note(&out, rc, "step");
    // A failure that did not panic leaves the environment usable; the
    // fault fired once, so the steps after it succeed.
    if (env->me_flags & ORV_FATAL_ERROR) out.panicked = true;
  }
  out.committed = w.committed();
  if (!out.panicked) {
    CopyStep(env, &inj, dir, "copy-plain", 0, out.committed, &out);
    CopyStep(env, &inj, dir, "copy-compact", ORV_CP_COMPACT, out.committed, &out);
  }

  // No writer mutex and no snapshot is left behind by a failure.
  if (ORV_txninfo *ti = env->me_txns) {
    EXPECT_EQ(pthread_mutex_trylock(&ti->mti_wmutex), 0) << "writer mutex still held";
    pthread_mutex_unlock(&ti->mti_wmutex);
    for (uint32_t i = 0; i < ti->mti_numreaders; i++) {
      const ORV_reader &r = ti->mti_readers[i];
      if (r.mr_pid == static_cast<uint32_t>(getpid())) {
        EXPECT_EQ(r.mr_txnid.load(), ORV_NO_SNAPSHOT) << "reader slot " << i << " holds a snapshot";
      }
    }
  }
  EXPECT_EQ(env->me_txn, nullptr);
  orv_env_close(env);
  EXPECT_EQ(orv_test::CountOpenFds(), fds) << "descriptors left after close";
  out.calls = inj.calls();
  out.fired = inj.fired();
  out.fired_call = inj.fired_call();
  return out;
}

// Reopens dir without faults: the committed contents, valid trees, and a
// further commit that survives another reopen.
void CheckReopened(const Scenario &sc, const std::string &dir, const Contents &want) {
  FaultInjector no_faults(FaultPlan{});
  ORV_env *env = nullptr;
  ASSERT_EQ(OpenEnv(sc, dir, 0, &env), 0) << "reopen";
  Contents got;
  EXPECT_EQ(orv_test::ReadContents(env, &got), 0);
  EXPECT_TRUE(orv_test::SameContents(got, want));
  EXPECT_TRUE(orv_test::EnvTreesValid(env));
  EXPECT_TRUE(orv_test::CommitSurvivesReopen(env, dir, sc.env_flags | ORV_NOTLS, want));
}

struct SweepFigures {
  uint64_t runs = 0;
  uint64_t failures_seen = 0;
  uint64_t panics = 0;
  uint64_t copy_failures = 0;  // runs whose failure was reported by a copy
};

// Runs the workload once without faults to count its calls, then once per
// call with that call failing as kind says.
void Sweep(const Scenario &sc, uint64_t seed, Fault kind, SweepFigures *fig) {
  uint64_t total;
  {
    TempDir dir;
    const Outcome clean = RunWorkload(sc, dir.path(), seed, FaultPlan{});
    ASSERT_EQ(clean.first_rc, 0) << clean.first_what;
    total = clean.calls;
  }
  ASSERT_GT(total, 40u);
  for (uint64_t n = 1; n <= total + 5; n++) {
    FaultPlan plan;
    plan.fail_at = n;
    plan.fault = kind;
    plan.err = n % 2 ? EIO : ENOSPC;
    TempDir dir;
    Outcome out;
    if (!orv_test::RunWithoutSigbus([&] { out = RunWorkload(sc, dir.path(), seed, plan); })) {
      orv_sys_install(orv_sys_default());  // the run was abandoned with its injector
      ADD_FAILURE() << "call " << n << ": the workload read past the end of the data file";
      return;
    }
    SCOPED_TRACE(std::string(sc.name) + " seed " + std::to_string(seed) + " call " +
                 std::to_string(n) + " (" + out.fired_call + ")");
    fig->runs++;
    if (kind == Fault::kError) {
      // The failing call's error is what the library reports (or, after a
      // failed meta write, ORV_PANIC from the next begin).
      if (out.first_rc != 0) {
        fig->failures_seen++;
        EXPECT_EQ(out.first_rc, plan.err) << out.first_what;
        if (out.first_what.rfind("copy-", 0) == 0) fig->copy_failures++;
      }
      if (out.panicked) fig->panics++;
    } else {
      // Interrupted calls are repeated and short writes finished: nothing
      // of either may show.
      EXPECT_EQ(out.first_rc, 0) << out.first_what;
      EXPECT_FALSE(out.panicked);
    }
    EXPECT_TRUE(orv_test::RunWithoutSigbus([&] { CheckReopened(sc, dir.path(), out.committed); }))
        << "the reopened trees reach past the end of the data file";
    if (::testing::Test::HasFailure()) return;
  }
}

class FaultInjectionTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultInjectionTest, EveryFailingCallIsReportedAndLosesNothingCommitted) {
  SweepFigures fig;
  Sweep(GetParam(), orv_test::TestSetting("ORV_SEED", 1), Fault::kError, &fig);
  // Most calls are ones whose failure must reach the caller.
  EXPECT_GT(fig.failures_seen * 2, fig.runs);
  EXPECT_GT(fig.panics, 0u) << "no failing meta write seen";
  EXPECT_GT(fig.copy_failures, 10u) << "the copies' calls were not swept";
}

TEST_P(FaultInjectionTest, InterruptedCallsAreRepeated) {
  SweepFigures fig;
  Sweep(GetParam(), orv_test::TestSetting("ORV_SEED", 1), Fault::kEintr, &fig);
}

TEST_P(FaultInjectionTest, ShortWritesAreFinished) {
  SweepFigures fig;
  Sweep(GetParam(), orv_test::TestSetting("ORV_SEED", 1), Fault::kShortWrite, &fig);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjectionTest, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

// More seeds, every kind of fault.
class FaultInjectionLongTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultInjectionLongTest, ManySeeds) {
  const uint64_t seed = orv_test::TestSetting("ORV_SEED", 1);
  const uint64_t rounds = orv_test::TestSetting("ORV_ROUNDS", 1);
  SweepFigures fig;
  for (uint64_t r = 1; r <= rounds && !::testing::Test::HasFailure(); r++) {
    for (Fault kind : {Fault::kError, Fault::kEintr, Fault::kShortWrite})
      Sweep(GetParam(), seed + r * 1000, kind, &fig);
  }
  std::printf("fault injection: %s, %llu runs, %llu failures reported, %llu panics\n",
              GetParam().name, static_cast<unsigned long long>(fig.runs),
              static_cast<unsigned long long>(fig.failures_seen),
              static_cast<unsigned long long>(fig.panics));
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjectionLongTest, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
