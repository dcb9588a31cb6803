// [orv-stat]: tools/orv-stat.cc, run as a built program: environment
// information, the reader table (with stale slots of a dead process), the
// free-page database at each detail level, database statistics, every
// option, usage and failure message, and exit statuses based on success.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "tools/tool_env.h"
#include "util/fixtures.h"
#include "util/run_tool.h"
#include "util/tempdir.h"

namespace orv_test {
namespace {

const std::string kStat = tool_path("orv-stat");

std::string stat_block(unsigned depth, size_t branch, size_t leaf, size_t overflow,
                       size_t entries) {
  return "  Tree depth: " + std::to_string(depth) + "\n  Branch pages: " + std::to_string(branch) +
         "\n  Leaf pages: " + std::to_string(leaf) +
         "\n  Overflow pages: " + std::to_string(overflow) +
         "\n  Entries: " + std::to_string(entries) + "\n";
}

std::string ptr_text(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

TEST(StatTool, VersionAndUsage) {
  TempDir dir;
  expect_version_and_usage(kStat,
                           "[-V] [-n] [-e] [-r[r]] [-f[f[f]]] [-v] [-L] [-a|-s subdb] dbpath",
                           {
                               {},
                               {"-e"},
                               {"-a", "-s", "x", dir.path()},
                               {"-s", "x", "-a", dir.path()},
                               {"-z", dir.path()},
                               {dir.path(), dir.path()},
                               {"-s"},
                           });
}

TEST(StatTool, FreshEnvironmentInfo) {
  TempDir dir;
  orv_env_close(open_env(dir.path()));
  ToolRun r = run_tool(kStat, {"-e", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  const long psize = sysconf(_SC_PAGESIZE);
  EXPECT_EQ(r.out, "Environment Info\n  Map address: " + ptr_text(nullptr) + "\n  Map size: " +
                       std::to_string(kToolMapSize) + "\n  Page size: " + std::to_string(psize) +
                       "\n  Max pages: " + std::to_string(kToolMapSize / psize) +
                       "\n  Number of pages used: 2\n  Last transaction ID: 0\n"
                       "  Max readers: 126\n  Number of readers used: 0\n"
                       "Status of Main DB\n" +
                       stat_block(0, 0, 0, 0, 0));

  r = run_tool(kStat, {"-fff", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Freelist Status\n" + stat_block(0, 0, 0, 0, 0) + "  Free pages: 0\n" +
                       "Status of Main DB\n" + stat_block(0, 0, 0, 0, 0));
}

TEST(StatTool, DatabaseStatistics) {
  TempDir dir;
  make_env(dir.path(),
           {{"", 0, {{"k", "v"}}}, {"alpha", 0, numbered(3)}, {"beta", ORV_DUPSORT, {}}});
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::string main_db = "Status of Main DB\n" + stat_block(1, 0, 1, 0, 3);
  const Case cases[] = {
      {{dir.path()}, main_db},
      {{"-s", "alpha", dir.path()}, "Status of alpha\n" + stat_block(1, 0, 1, 0, 3)},
      {{"-a", dir.path()},
       main_db + "Status of alpha\n" + stat_block(1, 0, 1, 0, 3) + "Status of beta\n" +
           stat_block(0, 0, 0, 0, 0)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ToolRun r = run_tool(kStat, c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
}

TEST(StatTool, FailureMessages) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {{"k", "v"}}}});
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{dir.file("missing")},
       "orv_env_open failed, error 2 " + std::string(orv_strerror(ENOENT)) + "\n"},
      {{"-s", "nope", dir.path()},
       "orv_open failed, error -30798 " + std::string(orv_strerror(ORV_NOTFOUND)) + "\n"},
      {{"-s", "k", dir.path()},
       "orv_open failed, error -30784 " + std::string(orv_strerror(ORV_INCOMPATIBLE)) + "\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ToolRun r = run_tool(kStat, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(StatTool, NoSubdirAndPreviousSnapshot) {
  TempDir dir;
  const std::string file = dir.file("data.orv");
  make_env(file, {{"", 0, {{"a", "1"}}}}, ORV_NOSUBDIR);
  make_env(file, {{"", 0, {{"b", "2"}}}}, ORV_NOSUBDIR);
  ToolRun now = run_tool(kStat, {"-n", "-e", file});
  ToolRun prev = run_tool(kStat, {"-n", "-v", "-e", file});
  EXPECT_EQ(now.status, 0) << now.err;
  EXPECT_EQ(prev.status, 0) << prev.err;
  EXPECT_NE(now.out.find("  Last transaction ID: 2\n"), std::string::npos) << now.out;
  EXPECT_NE(now.out.find("  Entries: 2\n"), std::string::npos) << now.out;
  EXPECT_NE(prev.out.find("  Last transaction ID: 1\n"), std::string::npos) << prev.out;
  EXPECT_NE(prev.out.find("  Entries: 1\n"), std::string::npos) << prev.out;
}

// ---- Reader table -------------------------------------------------------------------

TEST(StatReaders, ListingAloneExitsOnItsSuccess) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {}}});
  ToolRun r = run_tool(kStat, {"-r", dir.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Reader Table Status\n(no active readers)\n");
  r = run_tool(kStat, {"-r", "-L", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Reader Table Status\n(no reader locks)\n");
  // -e and -r without a database option stop after the reader table.
  r = run_tool(kStat, {"-e", "-r", dir.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Status of"), std::string::npos) << r.out;
}

TEST(StatReaders, ListingThatCannotBeWrittenFails) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {}}});
  ToolRun r = run_tool("/bin/sh", {"-c", "exec \"$0\" -r \"$1\" >/dev/full", kStat, dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kStat + ": " + dir.path() + ": " + std::strerror(ENOSPC) + "\n");
}

TEST(StatReaders, OutputPipeWithoutReader) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {}}});
  for (const char *opt : {"-r", "-e"}) {
    ToolRun r = run_tool_reader_gone(kStat, {opt, dir.path()});
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_EQ(r.err, kStat + ": " + dir.path() + ": " + std::strerror(EPIPE) + "\n");
  }
  EXPECT_EQ(run_tool_reader_gone(kStat, {"-V"}).status, 0);
}

TEST(StatReaders, LiveReaderAndStaleSlotOfADeadProcess) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {{"k", "v"}}}});
  // This process keeps the environment open (so the lock table outlives
  // the child) and holds a read transaction of its own.
  ORV_env *env = open_env(dir.path());
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  char live[64];
  std::snprintf(live, sizeof live, "%10d %zx %zu\n", static_cast<int>(getpid()),
                static_cast<size_t>(pthread_self()), static_cast<size_t>(orv_txn_id(txn)));

  // A child that dies inside a read transaction leaves its slot behind.
  pid_t dead = fork();
  if (dead == 0) {
    ORV_env *cenv = nullptr;
    ORV_txn *ctxn = nullptr;
    if (orv_env_create(&cenv) || orv_env_open(cenv, dir.c_str(), ORV_RDONLY, 0644) ||
        orv_txn_begin(cenv, nullptr, ORV_RDONLY, &ctxn))
      _exit(1);
    _exit(0);
  }
  ASSERT_EQ(wait_status(dead), 0);

  ToolRun r = run_tool(kStat, {"-rr", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string header = "    pid     thread     txnid\n";
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line + "\n");
  ASSERT_EQ(got.size(), 7u) << r.out;
  EXPECT_EQ(got[0], "Reader Table Status\n");
  EXPECT_EQ(got[1], header);
  // Slots in table order: ours first, then the dead child's.
  EXPECT_EQ(got[2], live);
  char dead_prefix[16];
  std::snprintf(dead_prefix, sizeof dead_prefix, "%10d ", static_cast<int>(dead));
  EXPECT_EQ(got[3].rfind(dead_prefix, 0), 0u) << got[3];
  EXPECT_EQ(got[4], "  1 stale readers cleared.\n");
  EXPECT_EQ(got[5], header);
  EXPECT_EQ(got[6], live);

  orv_txn_abort(txn);
  orv_env_close(env);
}

// ---- Free pages ---------------------------------------------------------------------

// Writes free-page records straight into the free-page database: key = a
// transaction id, value = a page list as stored (count, then pages).
void put_free_records(const std::string &path,
                      const std::vector<std::pair<uint64_t, std::vector<uint64_t>>> &records) {
  ORV_env *env = open_env(path);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_cursor mc{};
  orv_cursor_init(&mc, txn, FREE_DBI, nullptr);
  for (auto [id, list] : records) {
    ORV_val key{sizeof id, &id};
    ORV_val data{list.size() * sizeof(uint64_t), list.data()};
    ASSERT_EQ(orv_cursor_put0(&mc, &key, &data, 0), 0);
  }
  orv_pkc_free(&mc);
  ASSERT_EQ(orv_txn_commit(txn), 0);
  orv_env_close(env);
}

TEST(StatFreelist, RecordsRunsAndBadSequences) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, numbered(200)}});
  put_free_records(dir.path(), {
                                   {1000000, {5, 10, 9, 8, 5, 3}},
                                   {1000001, {3, 4, 6, 5}},  // not descending
                                   {1000002, {9, 12, 11}},   // count beyond the record
                               });
  auto runs = [](std::vector<std::string> lines) {
    std::string s;
    char buf[64];
    for (const std::string &l : lines) {
      size_t br = l.find('[');
      if (br == std::string::npos)
        std::snprintf(buf, sizeof buf, "     %9zu\n", static_cast<size_t>(std::stoull(l)));
      else
        std::snprintf(buf, sizeof buf, "     %9zu[%s]\n", static_cast<size_t>(std::stoull(l)),
                      l.substr(br + 1).c_str());
      s += buf;
    }
    return s;
  };
  const std::string t1 = "    Transaction 1000000, 5 pages, maxspan 3\n";
  const std::string t2 = "    Transaction 1000001, 3 pages, maxspan 2 [bad sequence]\n";
  const std::string t3 = "    Transaction 1000002, 2 pages, maxspan 2 [bad sequence]\n";
  const std::string r1 = runs({"3", "5", "8[3"}), r2 = runs({"5[2", "4"}), r3 = runs({"11[2"});

  ToolRun f = run_tool(kStat, {"-f", dir.path()});
  ToolRun ff = run_tool(kStat, {"-ff", dir.path()});
  ToolRun fff = run_tool(kStat, {"-f", "-ff", dir.path()});  // counts add up: -fff
  for (const ToolRun *r : {&f, &ff, &fff}) {
    EXPECT_EQ(r->status, 0) << r->err;
    EXPECT_EQ(r->out.rfind("Freelist Status\n  Tree depth: 1\n", 0), 0u) << r->out;
  }
  EXPECT_EQ(f.out.find("Transaction"), std::string::npos);
  EXPECT_NE(ff.out.find(t1 + t2 + t3), std::string::npos) << ff.out;
  EXPECT_NE(fff.out.find(t1 + r1 + t2 + r2 + t3 + r3), std::string::npos) << fff.out;

  // The total is the sum of the records' page counts.
  size_t sum = 0;
  std::istringstream lines(ff.out);
  for (std::string line; std::getline(lines, line);) {
    size_t pos = line.find(", ");
    if (line.rfind("    Transaction ", 0) == 0) sum += std::stoull(line.substr(pos + 2));
  }
  EXPECT_GE(sum, 10u);
  EXPECT_NE(f.out.find("  Free pages: " + std::to_string(sum) + "\nStatus of Main DB\n"),
            std::string::npos)
      << f.out;
}

TEST(StatFreelist, ReadErrorFailsInsteadOfATotal) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {{"k", "v"}}}});
  // A record large enough to live on an overflow page, then damaged.
  std::vector<uint64_t> list = {2000};
  for (uint64_t pg = 3000; pg > 1000; pg--) list.push_back(pg);
  put_free_records(dir.path(), {{1000000, list}});
  damage_overflow_page(dir.file("data.orv"));
  ToolRun r = run_tool(kStat, {"-f", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "orv_cursor_get failed, error -30796 " +
                       std::string(orv_strerror(ORV_CORRUPTED)) + "\n");
  EXPECT_EQ(r.out.find("Free pages"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace orv_test
