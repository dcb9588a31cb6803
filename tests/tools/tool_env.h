// Shared by the tool tests: environments built through the library from a
// list of databases and their entries and read back the same way, the dump
// text the tools write and read, and the checks every tool shares.
//
//   make_env(dir.path(), {{"", 0, {{"k", "v"}}}, {"named", ORV_DUPSORT, {...}}});
//   Entries e = read_db(dir.path(), "named");
//   run_tool(kLoad, {dir.path()}, hdr() + " k\n v\nDATA=END\n");
#ifndef ORV_TESTS_TOOLS_TOOL_ENV_H
#define ORV_TESTS_TOOLS_TOOL_ENV_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "orv.h"
#include "util/run_tool.h"

namespace orv_test {

using Entries = std::vector<std::pair<std::string, std::string>>;

struct DbContents {
  std::string name;  // "" for the main database
  unsigned flags = 0;
  Entries entries;
};

inline constexpr size_t kToolMapSize = size_t{64} << 20;

inline ORV_val bytes(const std::string &s) {
  return ORV_val{s.size(), const_cast<char *>(s.data())};
}

// Opens (creating) the environment at path; the caller closes it.
inline ORV_env *open_env(const std::string &path, unsigned flags = 0) {
  ORV_env *env = nullptr;
  EXPECT_EQ(orv_env_create(&env), 0);
  EXPECT_EQ(orv_env_set_maxdbs(env, 16), 0);
  EXPECT_EQ(orv_env_set_mapsize(env, kToolMapSize), 0);
  int rc = orv_env_open(env, path.c_str(), flags, 0644);
  EXPECT_EQ(rc, 0) << orv_strerror(rc);
  return env;
}

// Writes every database of dbs in one transaction.
inline void make_env(const std::string &path, const std::vector<DbContents> &dbs,
                     unsigned envflags = 0) {
  ORV_env *env = open_env(path, envflags);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  for (const DbContents &db : dbs) {
    ORV_dbi dbi = 0;
    const char *name = db.name.empty() ? nullptr : db.name.c_str();
    ASSERT_EQ(orv_dbi_open(txn, name, db.flags | ORV_CREATE, &dbi), 0) << db.name;
    for (const auto &[k, v] : db.entries) {
      ORV_val key = bytes(k), data = bytes(v);
      int rc = orv_put(txn, dbi, &key, &data, 0);
      ASSERT_EQ(rc, 0) << orv_strerror(rc);
    }
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);
  orv_env_close(env);
}

// Every entry of a database in cursor order; name "" is the main database.
inline Entries read_db(const std::string &path, const std::string &name = "",
                       unsigned envflags = 0) {
  Entries out;
  ORV_env *env = open_env(path, envflags | ORV_RDONLY);
  ORV_txn *txn = nullptr;
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  ORV_dbi dbi = 0;
  int rc = orv_dbi_open(txn, name.empty() ? nullptr : name.c_str(), 0, &dbi);
  EXPECT_EQ(rc, 0) << name << ": " << orv_strerror(rc);
  ORV_cursor *mc = nullptr;
  if (rc == 0 && orv_cursor_open(txn, dbi, &mc) == 0) {
    ORV_val k, v;
    while (orv_cursor_get(mc, &k, &v, ORV_NEXT) == 0)
      out.emplace_back(std::string(static_cast<char *>(k.mv_data), k.mv_size),
                       std::string(static_cast<char *>(v.mv_data), v.mv_size));
    orv_cursor_close(mc);
  }
  orv_txn_abort(txn);
  orv_env_close(env);
  return out;
}

inline unsigned db_flags(const std::string &path, const std::string &name = "") {
  unsigned flags = ~0u;
  ORV_env *env = open_env(path, ORV_RDONLY);
  ORV_txn *txn = nullptr;
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  ORV_dbi dbi = 0;
  if (orv_dbi_open(txn, name.empty() ? nullptr : name.c_str(), 0, &dbi) == 0)
    orv_dbi_flags(txn, dbi, &flags);
  orv_txn_abort(txn);
  orv_env_close(env);
  return flags;
}

// Keys k000, k001, ... with values v000, ...: n entries in key order.
inline Entries numbered(int n, const std::string &kprefix = "k", const std::string &vprefix = "v") {
  Entries e;
  for (int i = 0; i < n; i++) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", i);
    e.emplace_back(kprefix + buf, vprefix + buf);
  }
  return e;
}

inline const std::string kDump = tool_path("orv-dump");
inline const std::string kLoad = tool_path("orv-load");

inline std::string psize_line() {
  return "db_pagesize=" + std::to_string(sysconf(_SC_PAGESIZE)) + "\n";
}

// The header orv-dump writes for a database of an environment made by
// make_env (map size kToolMapSize, the default reader table).
inline std::string header(const std::string &format, const std::string &name = "",
                          const std::string &flag_lines = "") {
  std::string h = "VERSION=3\nformat=" + format + "\n";
  if (!name.empty()) h += "database=" + name + "\n";
  h += "type=btree\nmapsize=" + std::to_string(kToolMapSize) + "\nmaxreaders=126\n";
  return h + flag_lines + psize_line() + "HEADER=END\n";
}

inline std::string file_text(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::string hex(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string u64key(uint64_t x) { return std::string(reinterpret_cast<const char *>(&x), 8); }

// A header as orv-load needs it (no sizing lines: the defaults apply).
inline std::string hdr(const std::string &extra = "", const std::string &format = "print") {
  return "VERSION=3\nformat=" + format + "\ntype=btree\n" + extra + "HEADER=END\n";
}

// Checks -V, and that every argument list of bad is refused with status 1,
// no output and the usage text last on standard error (getopt may first
// say what it disliked).
inline void expect_version_and_usage(const std::string &tool, const std::string &usage_args,
                                     const std::vector<std::vector<std::string>> &bad) {
  ToolRun r = run_tool(tool, {"-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ELDRAN 1.0.0: (October 26, 2025)\n");
  const std::string usage = "usage: " + tool + " " + usage_args + "\n";
  for (const auto &args : bad) {
    SCOPED_TRACE(testing::PrintToString(args));
    r = run_tool(tool, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.size() >= usage.size() &&
                r.err.compare(r.err.size() - usage.size(), usage.size(), usage) == 0)
        << r.err;
  }
}

// Makes the first overflow page of the data file unreadable as one.
inline void damage_overflow_page(const std::string &datafile) {
  std::string bytes = file_text(datafile);
  const size_t psize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (size_t off = 2 * psize; off + psize <= bytes.size(); off += psize) {
    uint16_t flags;
    std::memcpy(&flags, bytes.data() + off + 10, 2);
    if (flags & 0x04) {  // an overflow page
      flags = 0;
      std::memcpy(bytes.data() + off + 10, &flags, 2);
      std::ofstream(datafile, std::ios::binary) << bytes;
      return;
    }
  }
  FAIL() << "no overflow page";
}

}  // namespace orv_test

#endif  // ORV_TESTS_TOOLS_TOOL_ENV_H
