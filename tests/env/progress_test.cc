// [progress]: progress.cc, copy.cc, copy_compact.cc and verify.cc - what the
// environment's progress function is told by plain and compacting copies
// and by the verifier: a start, reports that never go back, and a last one
// whose figure is the size of the copy or the pages checked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::EnvFixture;
using orv_test::val;

struct Calls {
  std::vector<std::pair<uint64_t, uint64_t>> seen;  // (done, total)
};

void record(uint64_t done, uint64_t total, void *ctx) {
  static_cast<Calls *>(ctx)->seen.emplace_back(done, total);
}

// Checks the shape of a run of reports and returns the last figure.
uint64_t expect_sound(const Calls &c) {
  EXPECT_GE(c.seen.size(), 2u);
  if (c.seen.empty()) return 0;
  EXPECT_EQ(c.seen.front().first, 2u);  // the two meta pages
  for (size_t i = 1; i < c.seen.size(); i++) {
    EXPECT_GE(c.seen[i].first, c.seen[i - 1].first) << "report " << i;
    EXPECT_LE(c.seen[i].first, c.seen[i].second) << "report " << i;
  }
  EXPECT_EQ(c.seen.back().first, c.seen.back().second);
  return c.seen.back().first;
}

int on_line(const char *line, void *ctx) {
  *static_cast<std::string *>(ctx) += line;
  return 0;
}

// 40,000 keys with 100-byte values and a few values on overflow runs;
// every other key deleted again, so the file holds free pages and the
// compacted copy is smaller than the plain one.
class Progress : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *txn = begin();
    for (int i = 0; i < 40000; i++) {
      char k[16];
      std::snprintf(k, sizeof k, "%08d", i);
      const std::string ks = k, v(i % 1000 == 0 ? 9000 : 100, 'v');
      ORV_val kv = val(ks), dv = val(v);
      ASSERT_EQ(orv_put(txn, 1, &kv, &dv, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    txn = begin();
    for (int i = 0; i < 40000; i += 2) {
      char k[16];
      std::snprintf(k, sizeof k, "%08d", i);
      const std::string ks = k;
      ORV_val kv = val(ks);
      ASSERT_EQ(orv_del(txn, 1, &kv, nullptr), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    psize_ = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  }

  uint64_t file_pages(const std::string &path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return static_cast<uint64_t>(st.st_size) / psize_;
  }

  uint64_t psize_ = 0;
};

TEST_F(Progress, CopiesReportUpToTheSizeOfTheCopy) {
  struct Case {
    const char *what;
    unsigned flags;
  } const cases[] = {{"plain", 0}, {"compacting", ORV_CP_COMPACT}};
  uint64_t pages[2] = {};
  for (size_t i = 0; i < 2; i++) {
    SCOPED_TRACE(cases[i].what);
    TempDir out;
    Calls calls;
    ASSERT_EQ(orv_env_set_progress(env_, record, &calls), 0);
    ASSERT_EQ(orv_env_copy2(env_, out.c_str(), cases[i].flags), 0);
    pages[i] = expect_sound(calls);
    EXPECT_EQ(pages[i], file_pages(out.file("data.orv")));
    // Every report of one copy names the same total; the compacting copy
    // of a few megabytes reports on the way too (after every megabyte),
    // the plain one after every 16 MiB.
    if (cases[i].flags & ORV_CP_COMPACT) {
      EXPECT_GT(calls.seen.size(), 2u);
    }
    for (const auto &[done, total] : calls.seen) EXPECT_EQ(total, calls.seen.back().second);
  }
  EXPECT_LT(pages[1], pages[0]);
}

TEST_F(Progress, VerifyReportsThePagesItReached) {
  Calls calls;
  std::string lines;
  ASSERT_EQ(orv_env_set_progress(env_, record, &calls), 0);
  ASSERT_EQ(orv_env_verify(env_, 0, on_line, &lines), 0) << lines;
  const uint64_t last = expect_sound(calls);
  EXPECT_GT(calls.seen.size(), 2u);
  unsigned long long reachable = 0;
  const char *at = std::strstr(lines.c_str(), "reachable ");
  ASSERT_NE(at, nullptr) << lines;
  ASSERT_EQ(std::sscanf(at, "reachable %llu", &reachable), 1);
  EXPECT_EQ(last, reachable);
}

TEST_F(Progress, RemovedOrInterruptedReportsNoEnd) {
  EXPECT_EQ(orv_env_set_progress(nullptr, record, nullptr), EINVAL);
  Calls calls;
  std::string lines;
  ASSERT_EQ(orv_env_set_progress(env_, record, &calls), 0);
  ASSERT_EQ(orv_env_set_progress(env_, nullptr, &calls), 0);
  {
    TempDir out;
    ASSERT_EQ(orv_env_copy2(env_, out.c_str(), ORV_CP_COMPACT), 0);
  }
  ASSERT_EQ(orv_env_verify(env_, 0, on_line, &lines), 0);
  EXPECT_TRUE(calls.seen.empty());

  // An interrupted copy or check never reports that it is done.
  ASSERT_EQ(orv_env_set_progress(env_, record, &calls), 0);
  ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
  {
    TempDir out;
    EXPECT_EQ(orv_env_copy2(env_, out.c_str(), ORV_CP_COMPACT), EINTR);
  }
  EXPECT_EQ(orv_env_verify(env_, 0, on_line, &lines), EINTR);
  ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  for (const auto &[done, total] : calls.seen) EXPECT_LT(done, total);
}

}  // namespace
