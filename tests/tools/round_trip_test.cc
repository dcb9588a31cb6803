// [orv-dump -> orv-load -> orv-dump]: tools/orv-dump.cc, tools/orv-load.cc:
// the dump of every kind of database loads (plainly and in append mode)
// into the same entries, and its dump is the same text, in both formats.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tools/tool_env.h"
#include "util/fixtures.h"
#include "util/run_tool.h"
#include "util/tempdir.h"

namespace orv_test {
namespace {

struct RoundTrip {
  const char *label;
  std::vector<DbContents> dbs;
  bool all;  // dump with -a (named databases)
};

std::vector<RoundTrip> round_trips() {
  Entries ints, prefixed, binary, big, many = numbered(1500);
  for (uint64_t i = 0; i < 300; i++) ints.emplace_back(u64key(i * 977), "int" + std::to_string(i));
  for (int i = 0; i < 800; i++)
    prefixed.emplace_back("/var/lib/some/long/shared/path/" + std::to_string(i * 7), "p");
  for (int c = 0; c < 256; c++)
    binary.emplace_back(std::string(1, static_cast<char>(c)) + "\n\\ \x01",
                        c % 3 ? std::string(static_cast<size_t>(c % 7), static_cast<char>(255 - c))
                              : std::string());
  for (int i = 0; i < 5; i++)
    big.emplace_back("big" + std::to_string(i), std::string(9000 + i, 'b'));
  Entries reversed = numbered(200, "r");
  Entries empties = numbered(50, "e", "");
  for (auto &e : empties) e.second.clear();

  std::vector<DbContents> named;
  const unsigned kinds[] = {0,           ORV_REVERSEKEY, ORV_INTEGERKEY,
                            ORV_COUNTED, ORV_PREFIXKEY,  ORV_DUPSORT};
  for (int i = 0; i < 6; i++) {
    Entries e = (kinds[i] & ORV_INTEGERKEY) ? ints : numbered(120 + i);
    named.push_back({"db" + std::to_string(i), kinds[i], e});
  }
  return {
      {"plain", {{"", 0, many}}, false},
      {"integer keys", {{"", ORV_INTEGERKEY, ints}}, false},
      {"reverse keys", {{"", ORV_REVERSEKEY, reversed}}, false},
      {"counted", {{"", ORV_COUNTED, many}}, false},
      {"prefix-compressed", {{"", ORV_PREFIXKEY | ORV_COUNTED, prefixed}}, false},
      {"empty values", {{"", 0, empties}}, false},
      {"binary keys and values", {{"", 0, binary}}, false},
      {"overflow values", {{"", 0, big}}, false},
      {"dupsort, one value per key", {{"", ORV_DUPSORT, numbered(300)}}, false},
      {"many named databases", named, true},
  };
}

// Warnings orv-load gives for the lines of a dump it does not use.
std::string load_warnings(const std::string &text) {
  std::string w;
  size_t lineno = 0, pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    lineno++;
    for (const char *kw : {"duplicates", "db_pagesize"}) {
      if (line.rfind(std::string(kw) + "=", 0) == 0)
        w += kLoad + ": line " + std::to_string(lineno) + ": unrecognized keyword ignored: " + kw +
             "\n";
    }
  }
  return w;
}

class DumpLoadRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(DumpLoadRoundTrip, SameTextAndEntries) {
  const RoundTrip &c = GetParam();
  TempDir src;
  make_env(src.path(), c.dbs);
  for (bool print : {false, true}) {
    std::vector<std::string> dargs = {src.path()};
    if (print) dargs.insert(dargs.begin(), "-p");
    if (c.all) dargs.insert(dargs.begin(), "-a");
    ToolRun d1 = run_tool(kDump, dargs);
    ASSERT_EQ(d1.status, 0) << d1.err;
    for (bool append : {false, true}) {
      SCOPED_TRACE(std::string(print ? "print" : "bytevalue") + (append ? ", -a" : ""));
      TempDir dst;
      std::vector<std::string> largs = {dst.path()};
      if (append) largs.insert(largs.begin(), "-a");
      ToolRun l = run_tool(kLoad, largs, d1.out);
      ASSERT_EQ(l.status, 0) << l.err;
      EXPECT_EQ(l.err, load_warnings(d1.out));

      dargs.back() = dst.path();
      ToolRun d2 = run_tool(kDump, dargs);
      ASSERT_EQ(d2.status, 0) << d2.err;
      EXPECT_EQ(d2.out, d1.out);
      for (const DbContents &db : c.dbs) {
        if (c.all && db.name.empty()) continue;
        EXPECT_EQ(read_db(dst.path(), db.name), read_db(src.path(), db.name)) << db.name;
        // Counting and prefix compression are not part of the dump.
        EXPECT_EQ(db_flags(dst.path(), db.name), db.flags & 0x7E) << db.name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DumpLoadRoundTrip, testing::ValuesIn(round_trips()),
                         [](const testing::TestParamInfo<RoundTrip> &info) {
                           std::string name;
                           for (const char *p = info.param.label; *p; p++)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

TEST(DumpLoadDuplicates, RoundTripWithSeveralValuesPerKey) {
  Entries dups, fixed;
  for (int k = 0; k < 50; k++) {
    for (int v = 0; v < 1 + k % 5; v++) {
      dups.emplace_back("key" + std::to_string(k), "value" + std::to_string(v));
      fixed.emplace_back("key" + std::to_string(k), u64key(static_cast<uint64_t>(v)));
    }
  }
  // In key order, as the cursor reads them back ("key10" before "key2").
  std::sort(dups.begin(), dups.end());
  for (bool append : {false, true}) {
    TempDir src, dst;
    make_env(src.path(), {{"dups", ORV_DUPSORT, dups},
                          {"fixed", ORV_DUPSORT | ORV_DUPFIXED | ORV_INTEGERDUP, fixed}});
    ToolRun d1 = run_tool(kDump, {"-a", src.path()});
    ASSERT_EQ(d1.status, 0) << d1.err;
    std::vector<std::string> largs = {dst.path()};
    if (append) largs.insert(largs.begin(), "-a");
    ToolRun l = run_tool(kLoad, largs, d1.out);
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(run_tool(kDump, {"-a", dst.path()}).out, d1.out);
    EXPECT_EQ(read_db(dst.path(), "dups"), dups);
  }
}

}  // namespace
}  // namespace orv_test
