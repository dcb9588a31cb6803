// [orv-dump, orv-load with Berkeley DB]: the dump text is the portable
// format that Berkeley DB's db_dump and db_load also read and write, so data
// moves between the two engines both ways. Uses Debian's db5.3-util (it is
// installed here when missing and the test runs as root); the tests skip
// where it cannot be had.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/tool_env.h"
#include "util/run_tool.h"
#include "util/tempdir.h"

namespace orv_test {
namespace {

std::string find_program(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string p = dir + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

// The directory of db5.3_dump and db5.3_load, installing the package once
// per run when it is missing; "" when it cannot be had.
const std::string &bdb_dir() {
  static const std::string dir = [] {
    if (find_program("db5.3_load").empty() && geteuid() == 0 && !find_program("apt-get").empty())
      (void)std::system(
          "(timeout 300 apt-get update -qq && DEBIAN_FRONTEND=noninteractive timeout 300 "
          "apt-get install -y -qq db5.3-util) >/dev/null 2>&1");
    std::string load = find_program("db5.3_load");
    if (load.empty() || find_program("db5.3_dump").empty()) return std::string();
    return load.substr(0, load.rfind('/'));
  }();
  return dir;
}

#define REQUIRE_BDB()                                                                    \
  do {                                                                                   \
    if (bdb_dir().empty())                                                               \
      GTEST_SKIP() << "Berkeley DB tools (Debian package db5.3-util) are not available"; \
  } while (0)

// Keys that need every escape of the print format, and plain ones.
Entries sample() {
  Entries e = numbered(300);
  e.emplace_back(std::string("bin\0\n\\ \x7f\xff", 10), std::string("\x01\x02", 2));
  e.emplace_back("empty value", "");
  // Values stay within the 511-byte limit of sorted-duplicate databases.
  e.emplace_back(std::string("z\\n"), std::string(400, 'q'));
  return e;
}

// Keys sorted as both engines sort them by default (bytewise).
Entries sorted(Entries e) {
  std::sort(e.begin(), e.end());
  return e;
}

std::string print_bytes(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string out = " ";
  for (unsigned char c : s) {
    if (c >= 0x20 && c <= 0x7e) {
      if (c == '\\') out += '\\';
      out += static_cast<char>(c);
    } else {
      out += '\\';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out + "\n";
}

// The data lines of the first section of a dump.
std::string data_lines(const std::string &dump) {
  size_t start = dump.find("HEADER=END\n");
  size_t end = dump.find("DATA=END\n");
  if (start == std::string::npos || end == std::string::npos) return "<no section>";
  start += 11;
  return dump.substr(start, end - start);
}

// Leaves out the header lines Berkeley DB does not know.
std::string without_sizing(const std::string &dump) {
  std::istringstream in(dump);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("mapsize=", 0) == 0 || line.rfind("maxreaders=", 0) == 0 ||
        line.rfind("mapaddr=", 0) == 0)
      continue;
    out += line + "\n";
  }
  return out;
}

struct Kind {
  const char *label;
  unsigned flags;
  std::string bdb_header;  // extra header lines for Berkeley DB
};
const Kind kKinds[] = {
    {"plain", 0, ""},
    {"sorted duplicates, one value per key", ORV_DUPSORT, "duplicates=1\ndupsort=1\n"},
};

TEST(Migration, BerkeleyDumpLoadsIntoTheSameEntries) {
  REQUIRE_BDB();
  const Entries entries = sorted(sample());
  for (const Kind &kind : kKinds) {
    for (bool print : {true, false}) {
      SCOPED_TRACE(std::string(kind.label) + (print ? ", print" : ", bytevalue"));
      TempDir dir;
      // Build the Berkeley DB file from print text.
      std::string text = "VERSION=3\nformat=print\ntype=btree\n" + kind.bdb_header + "HEADER=END\n";
      for (const auto &[k, v] : entries) text += print_bytes(k) + print_bytes(v);
      text += "DATA=END\n";
      const std::string db = dir.file("bdb.db");
      ToolRun r = run_tool(bdb_dir() + "/db5.3_load", {db}, text);
      ASSERT_EQ(r.status, 0) << r.err;

      std::vector<std::string> dargs = {db};
      if (print) dargs.insert(dargs.begin(), "-p");
      ToolRun dump = run_tool(bdb_dir() + "/db5.3_dump", dargs);
      ASSERT_EQ(dump.status, 0) << dump.err;

      const std::string env = dir.file("env");
      r = run_tool(kLoad, {"-n", env}, dump.out);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(read_db(env, "", ORV_NOSUBDIR), entries);
    }
  }
}

TEST(Migration, DumpLoadsIntoBerkeleyWithTheSameDataLines) {
  REQUIRE_BDB();
  const Entries entries = sorted(sample());
  for (const Kind &kind : kKinds) {
    for (bool print : {true, false}) {
      for (bool named : {false, true}) {
        SCOPED_TRACE(std::string(kind.label) + (print ? ", print" : ", bytevalue") +
                     (named ? ", named" : ""));
        TempDir dir;
        make_env(dir.path(), {{named ? "sub" : "", kind.flags, entries}});
        std::vector<std::string> args = {dir.path()};
        if (print) args.insert(args.begin(), "-p");
        if (named) args.insert(args.begin(), {"-s", "sub"});
        ToolRun dump = run_tool(kDump, args);
        ASSERT_EQ(dump.status, 0) << dump.err;

        const std::string db = dir.file("bdb.db");
        ToolRun r = run_tool(bdb_dir() + "/db5.3_load", {db}, without_sizing(dump.out));
        ASSERT_EQ(r.status, 0) << r.err;
        args.back() = db;
        ToolRun back = run_tool(bdb_dir() + "/db5.3_dump", args);
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(data_lines(back.out), data_lines(dump.out));
        if (kind.flags & ORV_DUPSORT) {
          EXPECT_NE(back.out.find("dupsort=1\n"), std::string::npos);
        }
      }
    }
  }
}

TEST(Migration, DuplicatesMoveBothWays) {
  REQUIRE_BDB();
  Entries dups;
  for (int k = 0; k < 40; k++)
    for (int v = 0; v <= k % 4; v++)
      dups.emplace_back("key" + std::to_string(k), "v" + std::to_string(v));
  dups = sorted(dups);
  for (bool print : {true, false}) {
    TempDir dir;
    std::string text = "VERSION=3\nformat=print\ntype=btree\nduplicates=1\ndupsort=1\nHEADER=END\n";
    for (const auto &[k, v] : dups) text += print_bytes(k) + print_bytes(v);
    text += "DATA=END\n";
    const std::string db = dir.file("bdb.db");
    ASSERT_EQ(run_tool(bdb_dir() + "/db5.3_load", {db}, text).status, 0);
    std::vector<std::string> args = {db};
    if (print) args.insert(args.begin(), "-p");
    ToolRun dump = run_tool(bdb_dir() + "/db5.3_dump", args);
    const std::string env = dir.file("env");
    ToolRun r = run_tool(kLoad, {"-n", env}, dump.out);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_db(env, "", ORV_NOSUBDIR), dups);

    ToolRun mine = run_tool(kDump, {"-n", print ? "-p" : "-n", env});
    const std::string db2 = dir.file("bdb2.db");
    ASSERT_EQ(run_tool(bdb_dir() + "/db5.3_load", {db2}, without_sizing(mine.out)).status, 0);
    args.back() = db2;
    EXPECT_EQ(data_lines(run_tool(bdb_dir() + "/db5.3_dump", args).out), data_lines(mine.out));
  }
}

}  // namespace
}  // namespace orv_test
