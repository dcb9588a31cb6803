// [orv-dump]: tools/orv-dump.cc, run as a built program: the dump text in
// both formats, every option, usage and failure message, one snapshot while
// another process writes, read errors that must not pass for a complete
// dump, and signals (an interrupt, a reader of the output that went away).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tools/tool_env.h"
#include "util/fixtures.h"
#include "util/run_tool.h"
#include "util/tempdir.h"

namespace orv_test {
namespace {

// ---- orv-dump output --------------------------------------------------------------

TEST(DumpTool, EmptyDatabaseIsHeaderThenDataEnd) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {}}});
  for (const char *format : {"bytevalue", "print"}) {
    std::vector<std::string> args = {dir.path()};
    if (std::string(format) == "print") args.insert(args.begin(), "-p");
    ToolRun r = run_tool(kDump, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, header(format) + "DATA=END\n");
  }
}

TEST(DumpTool, EncodesKeysAndValuesInBothFormats) {
  TempDir dir;
  const std::string awkward("a\\\n", 3);  // 0x61 0x5C 0x0A
  const std::string binary("\x00\x7f\x80\xff \x1f~", 7);
  make_env(dir.path(), {{"", 0, {{awkward, ""}, {"plain key", binary}}}});

  ToolRun p = run_tool(kDump, {"-p", dir.path()});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, header("print") + " a\\\\\\0a\n \n plain key\n \\00\\7f\\80\\ff \\1f~\n" +
                       "DATA=END\n");
  ToolRun b = run_tool(kDump, {dir.path()});
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(b.out, header("bytevalue") + " 615c0a\n \n " + hex("plain key") + "\n " + hex(binary) +
                       "\nDATA=END\n");
}

TEST(DumpTool, FlagLinesFollowTheFlagTableAndSkipCountedAndPrefix) {
  struct Case {
    unsigned flags;
    std::string lines;
  };
  const Case cases[] = {
      {ORV_COUNTED | ORV_PREFIXKEY, ""},
      {ORV_REVERSEKEY, "reversekey=1\n"},
      {ORV_INTEGERKEY | ORV_COUNTED, "integerkey=1\n"},
      {ORV_DUPSORT, "duplicates=1\ndupsort=1\n"},
      {ORV_DUPSORT | ORV_DUPFIXED | ORV_INTEGERDUP,
       "duplicates=1\ndupsort=1\ndupfixed=1\n"
       "integerdup=1\n"},
      {ORV_REVERSEKEY | ORV_DUPSORT | ORV_REVERSEDUP | ORV_PREFIXKEY,
       "duplicates=1\nreversekey=1\ndupsort=1\nreversedup=1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.flags);
    TempDir dir;
    make_env(dir.path(), {{"db", c.flags, {}}});
    ToolRun r = run_tool(kDump, {"-s", "db", dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, header("bytevalue", "db", c.lines) + "DATA=END\n");
  }
}

TEST(DumpTool, DupsortDatabaseWithOneValuePerKey) {
  TempDir dir;
  make_env(dir.path(), {{"d", ORV_DUPSORT, {{"a", "1"}, {"b", "2"}}}});
  ToolRun r = run_tool(kDump, {"-p", "-s", "d", dir.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            header("print", "d", "duplicates=1\ndupsort=1\n") + " a\n 1\n b\n 2\nDATA=END\n");
}

TEST(DumpTool, DupsortKeyIsRepeatedForEveryValue) {
  TempDir dir;
  make_env(dir.path(), {{"d", ORV_DUPSORT, {{"a", "1"}, {"a", "2"}, {"b", "3"}}}});
  ToolRun r = run_tool(kDump, {"-p", "-s", "d", dir.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, header("print", "d", "duplicates=1\ndupsort=1\n") +
                       " a\n 1\n a\n 2\n b\n 3\nDATA=END\n");
}

class NamedDatabases : public testing::Test {
 protected:
  void SetUp() override {
    // Named databases beside plain keys of the main database, one of them
    // holding a NUL byte (never a database name).
    make_env(dir_.path(), {{"", 0, {{"plain", "x"}, {std::string("n\0ul", 4), "y"}}},
                           {"alpha", 0, {{"a1", "1"}}},
                           {"beta", ORV_REVERSEKEY, {{"b1", "2"}}},
                           {"gamma", 0, {}}});
  }
  TempDir dir_;
};

TEST_F(NamedDatabases, ListNamesTheDatabasesOnly) {
  for (const char *opt : {"-l", "-al"}) {
    ToolRun r = run_tool(kDump, {opt, dir_.path()});
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.out, "alpha\nbeta\ngamma\n") << opt;
  }
}

TEST_F(NamedDatabases, AllDumpsOneSectionPerDatabase) {
  ToolRun r = run_tool(kDump, {"-a", "-p", dir_.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header("print", "alpha") + " a1\n 1\nDATA=END\n" +
                       header("print", "beta", "reversekey=1\n") + " b1\n 2\nDATA=END\n" +
                       header("print", "gamma") + "DATA=END\n");
}

TEST_F(NamedDatabases, MainDatabaseShowsRecordsAsEntries) {
  ToolRun r = run_tool(kDump, {"-s", "alpha", "-p", dir_.path()});
  EXPECT_EQ(r.out, header("print", "alpha") + " a1\n 1\nDATA=END\n");
  r = run_tool(kDump, {"-p", dir_.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" plain\n x\n"), std::string::npos);
}

TEST(DumpTool, AllWithoutNamedDatabases) {
  TempDir plain, empty;
  make_env(plain.path(), {{"", 0, {{"k", "v"}}}});
  make_env(empty.path(), {{"", 0, {}}});
  // Plain keys only: nothing to dump, and that is no failure.
  ToolRun r = run_tool(kDump, {"-a", plain.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  for (const char *opt : {"-a", "-l"}) {
    r = run_tool(kDump, {opt, empty.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kDump + ": " + empty.path() + " does not contain multiple databases\n");
  }
}

TEST(DumpTool, OutputFileNoSubdirAndPreviousSnapshot) {
  TempDir dir;
  const std::string file = dir.file("data.orv");
  make_env(file, {{"", 0, {{"old", "1"}}}}, ORV_NOSUBDIR);
  make_env(file, {{"", 0, {{"new", "2"}}}}, ORV_NOSUBDIR);

  const std::string out = dir.file("out.txt");
  ToolRun r = run_tool(kDump, {"-n", "-p", "-f", out, file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(file_text(out), header("print") + " new\n 2\n old\n 1\nDATA=END\n");

  r = run_tool(kDump, {"-n", "-v", "-p", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, header("print") + " old\n 1\nDATA=END\n");
}

TEST(DumpTool, OneSnapshotWhileAnotherProcessWrites) {
  // The writer rewrites every value with its generation number in each
  // transaction; a dump taken meanwhile must show one generation only.
  TempDir dir;
  Entries e;
  for (int i = 0; i < 2000; i++) e.emplace_back("key" + std::to_string(i), "g0");
  make_env(dir.path(), {{"", 0, e}});
  const pid_t writer = fork();
  if (writer == 0) {
    ORV_env *env = nullptr;
    if (orv_env_create(&env) || orv_env_set_mapsize(env, kToolMapSize) ||
        orv_env_open(env, dir.c_str(), 0, 0644))
      _exit(1);
    for (int gen = 1; gen <= 40; gen++) {
      ORV_txn *txn = nullptr;
      if (orv_txn_begin(env, nullptr, 0, &txn)) _exit(2);
      std::string v = "g" + std::to_string(gen);
      for (auto &[k, old] : e) {
        ORV_val key = bytes(k), data = bytes(v);
        if (orv_put(txn, 1, &key, &data, 0)) _exit(3);
      }
      if (orv_txn_commit(txn)) _exit(4);
    }
    orv_env_close(env);
    _exit(0);
  }
  for (int round = 0; round < 5; round++) {
    ToolRun r = run_tool(kDump, {"-p", dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t first = r.out.find("HEADER=END\n") + 11;
    std::string data = r.out.substr(first);
    size_t vstart = data.find('\n') + 1;  // the first value line
    const std::string value = data.substr(vstart, data.find('\n', vstart) + 1 - vstart);
    size_t lines = 0, same = 0;
    for (size_t pos = 0; pos < data.size() && data.compare(pos, 8, "DATA=END") != 0; lines++) {
      size_t nl = data.find('\n', pos);
      if (lines % 2 == 1 && data.compare(pos, nl + 1 - pos, value) == 0) same++;
      pos = nl + 1;
    }
    EXPECT_EQ(lines, 4000u);
    EXPECT_EQ(same, 2000u) << "value " << value;
  }
  EXPECT_EQ(wait_status(writer), 0);
}

void *recorded_mapaddr(const std::string &path) {
  Env env;
  EXPECT_EQ(orv_env_open(env, path.c_str(), ORV_RDONLY, 0644), 0);
  ORV_envinfo info{};
  EXPECT_EQ(orv_env_info(env, &info), 0);
  return info.mi_mapaddr;
}

TEST(DumpTool, FixedMapAddressTravelsWithTheDump) {
  TempDir src, dst;
  make_env(src.path(), {{"", 0, {{"k", "v"}}}}, ORV_FIXEDMAP);
  void *addr = recorded_mapaddr(src.path());
  ASSERT_NE(addr, nullptr);
  char line[64];
  std::snprintf(line, sizeof line, "mapaddr=%p\n", addr);
  ToolRun r = run_tool(kDump, {"-p", src.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string sizing = "mapsize=" + std::to_string(kToolMapSize) + "\n";
  EXPECT_NE(r.out.find(sizing + line + "maxreaders=126\n"), std::string::npos) << r.out;

  // The loaded environment is opened with a fixed map too.
  ToolRun l = run_tool(kLoad, {dst.path()}, r.out);
  ASSERT_EQ(l.status, 0) << l.err;
  EXPECT_NE(recorded_mapaddr(dst.path()), nullptr);
  EXPECT_EQ(read_db(dst.path()), (Entries{{"k", "v"}}));
}

TEST(DumpTool, VersionAndUsage) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {}}});
  expect_version_and_usage(kDump, "[-V] [-f output] [-l] [-n] [-p] [-v] [-a|-s subdb] dbpath",
                           {
                               {},
                               {"-p"},
                               {"-a", "-s", "x", dir.path()},
                               {"-s", "x", "-a", dir.path()},
                               {"-l", "-s", "x", dir.path()},
                               {"-s", "x", "-l", dir.path()},
                               {"-x", dir.path()},
                               {dir.path(), dir.path()},
                               {"-s"},
                           });
}

TEST(DumpTool, FailureMessages) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {{"k", "v"}}}, {"named", 0, {}}});
  const std::string missing = dir.file("missing");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{missing}, "orv_env_open failed, error 2 " + std::string(orv_strerror(ENOENT)) + "\n"},
      {{"-s", "nope", dir.path()},
       "orv_open failed, error -30798 " + std::string(orv_strerror(ORV_NOTFOUND)) + "\n"},
      {{"-s", "k", dir.path()},
       "orv_open failed, error -30784 " + std::string(orv_strerror(ORV_INCOMPATIBLE)) + "\n"},
      {{"-f", dir.file("no/such/file"), dir.path()},
       kDump + ": " + dir.file("no/such/file") + ": reopen: " + std::strerror(ENOENT) + "\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ToolRun r = run_tool(kDump, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(DumpTool, OutputThatCannotBeWrittenFails) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, numbered(10)}});
  ToolRun r = run_tool(kDump, {"-f", "/dev/full", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kDump + ": " + dir.path() + ": " + std::strerror(ENOSPC) + "\n");
}

TEST(DumpTool, ReadErrorIsReportedAndNeverEndsTheSection) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {{"a", "1"}, {"b", std::string(3 * 4096, 'x')}, {"c", "3"}}}});
  damage_overflow_page(dir.file("data.orv"));
  ToolRun r = run_tool(kDump, {"-p", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kDump + ": " + dir.path() + ": " + orv_strerror(ORV_CORRUPTED) + "\n");
  EXPECT_EQ(r.out, header("print") + " a\n 1\n");

  // Such a cut-off dump does not load.
  TempDir other;
  r = run_tool(kLoad, {other.path()}, header("print") + " a\n 1\n");
  EXPECT_EQ(r.status, 1);
}

class DumpSignals : public testing::Test {
 protected:
  void SetUp() override {
    // Enough entries that the dump is still writing when the test acts.
    Entries e;
    for (int i = 0; i < 20000; i++) e.emplace_back(u64key(i), std::string(200, 'v'));
    make_env(dir_.path(), {{"", 0, e}});
  }
  TempDir dir_;
};

TEST_F(DumpSignals, InterruptEndsTheSectionAndFails) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    SpawnedTool t = spawn_tool(kDump, {dir_.path()});
    char buf[4096];
    ASSERT_GT(read(t.out_fd, buf, sizeof buf), 0);
    kill(t.pid, sig);
    std::string out(buf, 0);
    for (ssize_t n; (n = read(t.out_fd, buf, sizeof buf)) > 0;) out.append(buf, n);
    close(t.out_fd);
    EXPECT_EQ(wait_status(t.pid), 1);
    EXPECT_EQ(read_all(t.err_fd), kDump + ": " + dir_.path() + ": " + std::strerror(EINTR) + "\n");
    close(t.err_fd);
    ASSERT_GE(out.size(), 9u);
    EXPECT_EQ(out.substr(out.size() - 9), "DATA=END\n");
  }
}

TEST_F(DumpSignals, ReaderThatGoesAwayDoesNotKillTheDump) {
  SpawnedTool t = spawn_tool(kDump, {dir_.path()});
  char buf[4096];
  ASSERT_GT(read(t.out_fd, buf, sizeof buf), 0);
  close(t.out_fd);
  EXPECT_EQ(wait_status(t.pid), 1);  // exited, not killed by SIGPIPE
  EXPECT_EQ(read_all(t.err_fd), kDump + ": " + dir_.path() + ": " + std::strerror(EINTR) + "\n");
  close(t.err_fd);
}

TEST(DumpTool, OutputPipeWithoutReader) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, numbered(5)}});
  // Everything fits in the output buffer: the failure shows when it is
  // written, and the tool reports it instead of being killed by SIGPIPE.
  ToolRun r = run_tool_reader_gone(kDump, {dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kDump + ": " + dir.path() + ": " + std::strerror(EPIPE) + "\n");
  EXPECT_EQ(run_tool_reader_gone(kDump, {"-V"}).status, 0);
  EXPECT_EQ(run_tool_reader_gone(kLoad, {"-V"}).status, 0);
}

}  // namespace
}  // namespace orv_test
