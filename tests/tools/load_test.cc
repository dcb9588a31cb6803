// [orv-load]: tools/orv-load.cc, run as a built program: header keywords,
// data lines in both formats and plain text, batches, every option, usage
// and failure message, and damaged input that must fail instead of loading
// a shorter database.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

TEST(LoadTool, VersionAndUsage) {
  TempDir dir;
  expect_version_and_usage(
      kLoad, "[-V] [-a] [-f input] [-n] [-s name] [-N] [-T] dbpath",
      {{}, {"-a"}, {"-x", dir.path()}, {dir.path(), dir.path()}, {"-s"}, {"-p", dir.path()}});
}

// Inputs that must fail, each with its message; nothing of the failed batch
// may be in the environment afterwards.
TEST(LoadTool, DamagedInputFailsWithItsMessage) {
  const std::string data = " k1\n v1\n";  // lines 5 and 6 after hdr()
  struct Case {
    const char *label;
    std::string input;
    std::string err;  // after "<prog>: "
  };
  const Case cases[] = {
      {"odd bytevalue key", hdr("", "bytevalue") + " 6b3\n 00\nDATA=END\n",
       "line 5: unexpected end of input\n"},
      {"non-hex bytevalue key", hdr("", "bytevalue") + " 6g\n 00\nDATA=END\n",
       "line 5: unexpected end of input\n"},
      {"bad escape in key", hdr() + data + " a\\zz\n v\nDATA=END\n",
       "line 7: unexpected end of input\n"},
      {"escape cut short", hdr() + data + " a\\5\n v\nDATA=END\n",
       "line 7: unexpected end of input\n"},
      {"odd bytevalue value", hdr("", "bytevalue") + " 6b\n 123\nDATA=END\n",
       "line 6: unexpected end of input\n"},
      {"key line without its space", hdr() + data + "k2\n v2\nDATA=END\n",
       "line 7: unexpected end of input\n"},
      {"input ends after a key", hdr() + data + " k2\n", "line 7: failed to read key value\n"},
      {"end marker for a value", hdr() + data + " k2\nDATA=END\n",
       "line 8: failed to read key value\n"},
      {"no DATA=END", hdr() + data, "line 6: unexpected end of input\n"},
      {"last line cut", hdr() + data + " k2\n v", "line 8: unexpected end of input\n"},
      {"header cut", "VERSION=3\nformat=print\n", "line 2: unexpected end of input\n"},
      {"version 4", "VERSION=4\n" + hdr() + data + "DATA=END\n", "line 1: unsupported VERSION 4\n"},
      {"unknown format", "VERSION=3\nformat=hex\nHEADER=END\n", "line 2: unsupported FORMAT hex\n"},
      {"unknown type", "VERSION=3\ntype=hash\nHEADER=END\n", "line 2: unsupported type hash\n"},
      {"bad mapsize", "mapsize=lots\nHEADER=END\n", "line 1: invalid mapsize lots\n"},
      {"bad maxreaders", "maxreaders=some\nHEADER=END\n", "line 1: invalid maxreaders some\n"},
      {"bad mapaddr", "mapaddr=here\nHEADER=END\n", "line 1: invalid mapaddr here\n"},
      {"header line without =", "VERSION=3\nnonsense\nHEADER=END\n", "line 2: unexpected format\n"},
      {"key too long", hdr() + " " + std::string(600, 'k') + "\n v\nDATA=END\n",
       "line 6: orv_cursor_put failed, error -30781 " + std::string(orv_strerror(ORV_BAD_VALSIZE)) +
           "\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    ToolRun r = run_tool(kLoad, {dir.path()}, c.input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kLoad + ": " + c.err);
    if (access(dir.file("data.orv").c_str(), F_OK) == 0) {
      EXPECT_EQ(read_db(dir.path()), Entries{});
    }
  }
}

TEST(LoadTool, FailureKeepsEarlierBatchesAndDropsTheOneInProgress) {
  std::string text = hdr();
  for (const auto &[k, v] : numbered(150)) text += " " + k + "\n " + v + "\n";
  text += " bad\\\n v\nDATA=END\n";
  TempDir dir;
  ToolRun r = run_tool(kLoad, {dir.path()}, text);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kLoad + ": line 305: unexpected end of input\n");
  EXPECT_EQ(read_db(dir.path()), numbered(100));
}

TEST(LoadTool, HeaderKeywords) {
  // Earlier versions and a non-number are accepted; unknown keywords are
  // reported and passed over; a flag line sets its flag whatever its value.
  TempDir dir;
  const std::string text =
      "VERSION=2\nformat=print\ndatabase=first\ntype=btree\ncolour=blue\n"
      "dupsort=0\nHEADER=END\n a\n 1\nDATA=END\n"
      "VERSION=x\ndatabase=second\nreversekey=1\nintegerdup=1\nHEADER=END\n"
      "DATA=END\n";
  ToolRun r = run_tool(kLoad, {dir.path()}, text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, kLoad + ": line 5: unrecognized keyword ignored: colour\n");
  EXPECT_EQ(db_flags(dir.path(), "first"), ORV_DUPSORT);
  EXPECT_EQ(db_flags(dir.path(), "second"), ORV_REVERSEKEY | ORV_INTEGERDUP);
  EXPECT_EQ(read_db(dir.path(), "first"), (Entries{{"a", "1"}}));
}

TEST(LoadTool, SizingComesFromTheFirstHeader) {
  TempDir dir;
  const std::string text =
      "VERSION=3\nformat=print\ntype=btree\nmapsize=8388608\n"
      "maxreaders=50\nHEADER=END\nDATA=END\n"
      "VERSION=3\nformat=print\ndatabase=x\nmapsize=4194304\nmaxreaders=7\n"
      "HEADER=END\nDATA=END\n";
  ToolRun r = run_tool(kLoad, {dir.path()}, text);
  ASSERT_EQ(r.status, 0) << r.err;
  // The reader table's size is the lock file's: 50 slots.
  struct stat st;
  ASSERT_EQ(stat(dir.file("lock.orv").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, (50 - 1) * 64 + 192);
  Env env;
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_RDONLY, 0644), 0);
  ORV_envinfo info;
  ASSERT_EQ(orv_env_info(env, &info), 0);
  EXPECT_EQ(info.mi_mapsize, 8388608u);
}

TEST(LoadTool, EachSectionReadsInItsOwnFormat) {
  // A print section followed by a bytevalue one (two dumps one after the
  // other): the second must not be read as print text.
  TempDir dir;
  const std::string text = hdr("database=p\n") + " a\\5cb\n v\nDATA=END\n" +
                           hdr("database=b\n", "bytevalue") + " 6162\n 00ff\nDATA=END\n";
  ToolRun r = run_tool(kLoad, {dir.path()}, text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_db(dir.path(), "p"), (Entries{{"a\\b", "v"}}));
  EXPECT_EQ(read_db(dir.path(), "b"), (Entries{{"ab", std::string("\0\xff", 2)}}));
}

TEST(LoadTool, PlainTextInput) {
  TempDir dir;
  ToolRun r = run_tool(kLoad, {"-T", dir.path()}, "a\\5cb\nvalue one\nkey\\0a2\n\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_db(dir.path()), (Entries{{"a\\b", "value one"}, {"key\n2", ""}}));

  // Plain text has no end markers: a key without its value is a failure.
  TempDir other;
  r = run_tool(kLoad, {"-T", other.path()}, "k\nv\nlonely\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kLoad + ": line 3: failed to read key value\n");
}

TEST(LoadTool, LongValueLinesAreReadWhole) {
  TempDir dir;
  const std::string big(10000, '\x5a');
  ToolRun r = run_tool(kLoad, {dir.path()},
                       hdr("", "bytevalue") + " 6b\n " + hex(big) + " \n" + "DATA=END\n");
  // A trailing space is not a hex digit.
  EXPECT_EQ(r.status, 1);
  r = run_tool(kLoad, {dir.path()}, hdr("", "bytevalue") + " 6b\n " + hex(big) + "\nDATA=END\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_db(dir.path()), (Entries{{"k", big}}));
}

TEST(LoadTool, CommitsEveryHundredPuts) {
  for (bool append : {false, true}) {
    TempDir dir;
    std::string text = hdr();
    for (const auto &[k, v] : numbered(250)) text += " " + k + "\n " + v + "\n";
    text += "DATA=END\n";
    std::vector<std::string> args = {dir.path()};
    if (append) args.insert(args.begin(), "-a");
    ToolRun r = run_tool(kLoad, args, text);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_db(dir.path()), numbered(250));
    ORV_env *env = open_env(dir.path(), ORV_RDONLY);
    ORV_envinfo info;
    ASSERT_EQ(orv_env_info(env, &info), 0);
    EXPECT_EQ(info.mi_last_txnid, 3u);  // after 100, 200 and at the end
    orv_env_close(env);
  }
}

TEST(LoadTool, NoOverwriteKeepsExistingEntries) {
  TempDir dir;
  make_env(dir.path(), {{"", 0, {{"b", "old"}}}});
  const std::string text = hdr() + " a\n new\n b\n new\n c\n new\nDATA=END\n";
  ToolRun r = run_tool(kLoad, {"-N", dir.path()}, text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_db(dir.path()), (Entries{{"a", "new"}, {"b", "old"}, {"c", "new"}}));
  r = run_tool(kLoad, {dir.path()}, text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_db(dir.path()), (Entries{{"a", "new"}, {"b", "new"}, {"c", "new"}}));
}

TEST(LoadTool, NamesInputFileAndNoSubdir) {
  TempDir dir;
  const std::string input = dir.file("in.txt");
  std::ofstream(input) << hdr() + " k\n v\nDATA=END\n" + hdr("database=other\n") +
                              " k2\n v2\nDATA=END\n";
  const std::string file = dir.file("data.orv");
  // -s names the database until a header names another.
  ToolRun r = run_tool(kLoad, {"-Q", "-n", "-s", "chosen", "-f", input, file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_db(file, "chosen", ORV_NOSUBDIR), (Entries{{"k", "v"}}));
  EXPECT_EQ(read_db(file, "other", ORV_NOSUBDIR), (Entries{{"k2", "v2"}}));

  r = run_tool(kLoad, {"-f", dir.file("absent"), dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kLoad + ": " + dir.file("absent") + ": reopen: " + std::strerror(ENOENT) + "\n");
}

TEST(LoadTool, EnvironmentFailures) {
  TempDir dir;
  ToolRun r = run_tool(kLoad, {dir.file("missing")}, hdr() + "DATA=END\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "orv_env_open failed, error 2 " + std::string(orv_strerror(ENOENT)) + "\n");

  // A main database with integer keys holds no named databases.
  make_env(dir.path(), {{"", ORV_INTEGERKEY, {}}});
  r = run_tool(kLoad, {"-s", "x", dir.path()}, hdr() + "DATA=END\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "orv_dbi_open failed, error -30784 " +
                       std::string(orv_strerror(ORV_INCOMPATIBLE)) + "\n");
}

TEST(LoadTool, EmptyInputCreatesTheEnvironment) {
  TempDir dir;
  ToolRun r = run_tool(kLoad, {dir.path()}, "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_db(dir.path()), Entries{});
}

TEST(LoadTool, AppendRefusesOverlongKeys) {
  // In append mode a duplicate-sorted database remembers the previous key;
  // a key far over the limit must fail its put, nothing more.
  for (const char *flags : {"", "dupsort=1\n"}) {
    SCOPED_TRACE(flags);
    TempDir dir;
    const std::string text = hdr(flags) + " a\n 1\n " + std::string(5000, 'k') + "\n 2\nDATA=END\n";
    ToolRun r = run_tool(kLoad, {"-a", dir.path()}, text);
    EXPECT_EQ(r.status, 1);
    const std::string line = *flags ? "9" : "8";
    EXPECT_EQ(r.err, kLoad + ": line " + line + ": orv_cursor_put failed, error -30781 " +
                         orv_strerror(ORV_BAD_VALSIZE) + "\n");
    EXPECT_EQ(read_db(dir.path()), Entries{});
  }
}

// Under -a the values of a key are appended to it, also when they run on
// past a commit (every 100 puts): the new batch takes the last key of the
// database as the one the next values belong to.
TEST(LoadTool, AppendedValuesOfOneKeySpanBatches) {
  Entries want;
  for (int v = 0; v < 250; v++) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03d", v);
    want.emplace_back("a", buf);
  }
  want.emplace_back("b", "000");
  for (int v = 0; v < 120; v++) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03d", v);
    want.emplace_back("c", buf);
  }
  std::string text = hdr("dupsort=1\n");
  for (const auto &[k, v] : want) text += " " + k + "\n " + v + "\n";
  text += "DATA=END\n";
  for (unsigned flags : {0u, unsigned{ORV_DUPFIXED}}) {
    SCOPED_TRACE(flags);
    TempDir dir;
    const std::string t =
        flags ? hdr("dupsort=1\ndupfixed=1\n") + text.substr(hdr("dupsort=1\n").size()) : text;
    ToolRun r = run_tool(kLoad, {"-a", dir.path()}, t);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_db(dir.path()), want);
    EXPECT_EQ(db_flags(dir.path()), ORV_DUPSORT | flags);
  }
}

TEST(LoadTool, DuplicateValuesInBothModes) {
  for (bool append : {false, true}) {
    TempDir dir;
    const std::string text = hdr("dupsort=1\n") + " a\n 1\n a\n 2\n b\n 1\nDATA=END\n";
    std::vector<std::string> args = {dir.path()};
    if (append) args.insert(args.begin(), "-a");
    ToolRun r = run_tool(kLoad, args, text);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_db(dir.path()), (Entries{{"a", "1"}, {"a", "2"}, {"b", "1"}}));
    // -N skips a pair that exists.
    r = run_tool(kLoad, {"-N", dir.path()}, text);
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

}  // namespace
}  // namespace orv_test
