// [tools]: tools/orv-copy.cc and tools/orv-drop.cc - the programs run as a
// user runs them: options, usage errors, failure messages, exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "orv.h"
#include "util/fixtures.h"
#include "util/run_tool.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using orv_test::Env;
using orv_test::run_tool_argv;
using orv_test::str;
using orv_test::tool_path;
using orv_test::ToolRun;
using orv_test::val;

const std::string kVersion = "ELDRAN 1.0.0: (October 26, 2025)\n";

using Entries = std::map<std::string, std::string>;
// "" names the main database (named database records left out).
using Contents = std::map<std::string, Entries>;

constexpr const char *kNames[] = {"one", "two"};

void put(ORV_txn *txn, ORV_dbi dbi, const std::string &k, const std::string &v) {
  ORV_val key = val(k), data = val(v);
  ASSERT_EQ(orv_put(txn, dbi, &key, &data, 0), 0);
}

// Writes n keys into the main database and the named ones, in one commit.
void write_store(const std::string &path, unsigned flags, int n, const std::string &tag) {
  Env env;
  ASSERT_EQ(orv_env_set_maxdbs(env, 4), 0);
  ASSERT_EQ(orv_env_set_mapsize(env, size_t{256} << 20), 0);
  ASSERT_EQ(orv_env_open(env, path.c_str(), flags, 0644), 0);
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  std::vector<ORV_dbi> dbis{1};
  for (const char *name : kNames) {
    ORV_dbi dbi;
    ASSERT_EQ(orv_dbi_open(txn, name, ORV_CREATE, &dbi), 0);
    dbis.push_back(dbi);
  }
  for (int i = 0; i < n; i++) {
    char k[32];
    std::snprintf(k, sizeof k, "%s%07d", tag.c_str(), i);
    for (ORV_dbi dbi : dbis) put(txn, dbi, k, std::string(i % 40 == 0 ? 6000 : 50, 'v'));
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

Contents read_store(const std::string &path, unsigned flags = 0) {
  Contents out;
  Env env;
  EXPECT_EQ(orv_env_set_maxdbs(env, 4), 0);
  if (orv_env_open(env, path.c_str(), flags | ORV_RDONLY, 0644) != 0) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  EXPECT_TRUE(orv_test::EnvTreesValid(env));
  ORV_txn *txn;
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  std::map<std::string, ORV_dbi> dbis{{"", 1}};
  for (const char *name : kNames) {
    ORV_dbi dbi;
    if (orv_dbi_open(txn, name, 0, &dbi) == 0) dbis[name] = dbi;
  }
  for (const auto &[name, dbi] : dbis) {
    ORV_cursor *mc;
    EXPECT_EQ(orv_cursor_open(txn, dbi, &mc), 0);
    Entries &e = out[name];
    ORV_val k, v;
    for (int rc = orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(mc, &k, &v, ORV_NEXT)) {
      if (name.empty() && dbis.count(str(k))) continue;
      e[str(k)] = str(v);
    }
    orv_cursor_close(mc);
  }
  orv_txn_abort(txn);
  return out;
}

std::string copy_usage(const std::string &prog) {
  return "usage: " + prog + " [-V] [-c] [-n] [-v] srcpath [dstpath]\n";
}
std::string drop_usage(const std::string &prog) {
  return "usage: " + prog + " [-V] [-n] [-d] [-s subdb] dbpath\n";
}
std::string copy_failed(const std::string &prog, const char *step, int rc) {
  return prog + ": " + step + " failed, error " + std::to_string(rc) + " (" + orv_strerror(rc) +
         ")\n";
}
std::string call_failed(const char *call, int rc) {
  return std::string(call) + " failed, error " + std::to_string(rc) + " " + orv_strerror(rc) + "\n";
}

off_t file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class Tools : public testing::Test {
 protected:
  void SetUp() override {
    write_store(src_.path(), 0, 600, "k");
    want_ = read_store(src_.path());
    ASSERT_EQ(want_.at("one").size(), 600u);
  }
  TempDir src_;
  Contents want_;
  const std::string copy_ = tool_path("orv-copy");
  const std::string drop_ = tool_path("orv-drop");
};

TEST_F(Tools, CopyCommandLine) {
  TempDir out;
  mkdir(out.file("taken").c_str(), 0755);
  write_store(out.file("taken"), 0, 1, "t");
  const std::string src = src_.path();
  const struct Case {
    const char *what;
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string dst;  // a copy to check, or ""
  } cases[] = {
      {"version", {"-V"}, 0, "", ""},
      {"version first wins", {"-V", "-x"}, 0, "", ""},
      {"plain copy", {src, out.file("plain")}, 0, "", out.file("plain")},
      {"compacting copy", {"-c", src, out.file("compact")}, 0, "", out.file("compact")},
      {"no arguments", {}, 1, copy_usage(copy_), ""},
      {"unknown option", {"-x", src}, 1, copy_usage(copy_), ""},
      {"combined options", {"-cn", src}, 1, copy_usage(copy_), ""},
      {"dash alone", {"-", src}, 1, copy_usage(copy_), ""},
      {"option with a tail", {"-cc", src}, 1, copy_usage(copy_), ""},
      {"three paths", {src, out.file("a"), out.file("b")}, 1, copy_usage(copy_), ""},
      {"option but no path", {"-c"}, 1, copy_usage(copy_), ""},
      {"target holds a data file",
       {src, out.file("taken")},
       1,
       copy_failed(copy_, "copying", EEXIST),
       ""},
      {"compacting onto a data file",
       {"-c", src, out.file("taken")},
       1,
       copy_failed(copy_, "copying", EEXIST),
       ""},
      {"no such source",
       {out.file("missing"), out.file("x")},
       1,
       copy_failed(copy_, "opening environment", ENOENT),
       ""},
      {"target directory missing",
       {src, out.file("missing/x")},
       1,
       copy_failed(copy_, "copying", ENOENT),
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.dst.empty()) mkdir(c.dst.c_str(), 0755);
    std::vector<std::string> argv{copy_};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ToolRun r = run_tool_argv(argv);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, !c.args.empty() && c.args[0] == "-V" ? kVersion : "");
    if (!c.dst.empty()) {
      EXPECT_EQ(read_store(c.dst), want_);
    }
  }
  EXPECT_LE(file_size(out.file("compact/data.orv")), file_size(out.file("plain/data.orv")));
  EXPECT_EQ(read_store(out.file("taken")).at("one").size(), 1u) << "left alone";
}

// Without a destination the data file goes to standard output.
TEST_F(Tools, CopyToStandardOutput) {
  for (const char *opt : {"", "-c"}) {
    SCOPED_TRACE(opt);
    TempDir out;
    const std::string file = out.file("data");
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    std::vector<std::string> argv{copy_};
    if (*opt) argv.push_back(opt);
    argv.push_back(src_.path());
    const ToolRun r = run_tool_argv(argv, fd);
    close(fd);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_store(file, ORV_NOSUBDIR), want_);
  }
}

TEST_F(Tools, CopyNamesDataFilesWithN) {
  TempDir dir;
  const std::string store = dir.file("store");
  write_store(store, ORV_NOSUBDIR, 50, "n");
  const Contents want = read_store(store, ORV_NOSUBDIR);
  for (const char *opt : {"-n", "-c"}) {
    const std::string dst = dir.file(std::string("copy") + opt);
    std::vector<std::string> argv{copy_, "-n"};
    if (std::string(opt) == "-c") argv.push_back("-c");
    argv.push_back(store);
    argv.push_back(dst);
    const ToolRun r = run_tool_argv(argv);
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.err, "") << opt;
    EXPECT_EQ(read_store(dst, ORV_NOSUBDIR), want) << opt;
  }
  // A directory path with -n is not a data file.
  const ToolRun r = run_tool_argv({copy_, "-n", dir.path(), dir.file("x")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(copy_ + ": opening environment failed, error ", 0), 0u) << r.err;
}

// -v copies the snapshot before the last commit.
TEST_F(Tools, CopyPreviousSnapshot) {
  write_store(src_.path(), 0, 5, "later");
  for (const char *opt : {"", "-c"}) {
    TempDir out;
    std::vector<std::string> argv{copy_, "-v"};
    if (*opt) argv.push_back(opt);
    argv.push_back(src_.path());
    argv.push_back(out.path());
    const ToolRun r = run_tool_argv(argv);
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.err, "") << opt;
    EXPECT_EQ(read_store(out.path()), want_) << opt;
  }
}

// A reader of standard output that went away does not kill the tool.
TEST_F(Tools, CopyToAClosedPipe) {
  for (const char *opt : {"", "-c"}) {
    SCOPED_TRACE(opt);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    std::vector<std::string> argv{copy_};
    if (*opt) argv.push_back(opt);
    argv.push_back(src_.path());
    const ToolRun r = run_tool_argv(argv, fds[1]);
    close(fds[1]);
    EXPECT_EQ(r.status, 1) << "128 + N: killed by signal N";
    EXPECT_EQ(r.err, copy_failed(copy_, "copying", EPIPE));
  }
}

// SIGINT stops a compacting copy with EINTR; a plain copy runs to its end.
TEST_F(Tools, CopyInterruptedBySigint) {
  TempDir big;
  write_store(big.path(), 0, 20000, "b");
  const struct Case {
    const char *what;
    std::vector<std::string> opts;
    int status;
    std::string err;
  } cases[] = {
      {"compacting", {"-c"}, 1, copy_failed(copy_, "copying", EINTR)},
      {"plain", {}, 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<std::string> argv{copy_};
    argv.insert(argv.end(), c.opts.begin(), c.opts.end());
    argv.push_back(big.path());
    size_t got = 0;
    const ToolRun r = run_tool_argv(argv, fds[1], [&](pid_t pid) {
      close(fds[1]);
      char buf[65536];
      bool sent = false;
      for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
        got += static_cast<size_t>(n);
        if (!sent && got >= (size_t{1} << 20)) {
          kill(pid, SIGINT);
          sent = true;
        }
      }
    });
    close(fds[0]);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.status == 0) {
      EXPECT_EQ(static_cast<off_t>(got), file_size(big.file("data.orv")));
    }
  }
}

TEST_F(Tools, DropCommandLine) {
  const std::string src = src_.path();
  TempDir other;
  const struct Case {
    const char *what;
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {"version", {"-V"}, 0, kVersion, ""},
      {"no arguments", {}, 1, "", drop_usage(drop_)},
      {"unknown option", {"-x", src}, 1, "", drop_usage(drop_)},
      {"-s without a name", {"-s"}, 1, "", drop_usage(drop_)},
      {"two paths", {src, src}, 1, "", drop_usage(drop_)},
      {"no path", {"-d", "-s", "one"}, 1, "", drop_usage(drop_)},
      {"no such database", {"-s", "three", src}, 1, "", call_failed("orv_open", ORV_NOTFOUND)},
      {"name of plain data",
       {"-s", "k0000001", src},
       1,
       "",
       call_failed("orv_open", ORV_INCOMPATIBLE)},
      {"no such directory", {other.file("missing")}, 1, "", call_failed("orv_env_open", ENOENT)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> argv{drop_};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ToolRun r = run_tool_argv(argv);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(read_store(src), want_) << "failed runs change nothing";
}

TEST_F(Tools, DropEmptiesOrDeletes) {
  const std::string src = src_.path();
  struct Step {
    std::vector<std::string> args;
    Contents want;
  };
  Contents emptied_one = want_;
  emptied_one["one"].clear();
  Contents deleted_one = want_;
  deleted_one.erase("one");
  Contents no_two = deleted_one;
  no_two.erase("two");
  Contents empty_main = no_two;
  empty_main[""].clear();
  const Step steps[] = {
      {{"-s", "one", src}, emptied_one},  {{"-d", "-s", "one", src}, deleted_one},
      {{"-s", "two", "-d", src}, no_two}, {{src}, empty_main},
      {{"-d", src}, empty_main},  // the main database is kept
  };
  for (const Step &s : steps) {
    std::vector<std::string> argv{drop_};
    argv.insert(argv.end(), s.args.begin(), s.args.end());
    const ToolRun r = run_tool_argv(argv);
    EXPECT_EQ(r.status, 0) << argv[1];
    EXPECT_EQ(r.out + r.err, "") << argv[1];
    EXPECT_EQ(read_store(src), s.want) << argv[1];
  }
  // A deleted database can be created again.
  write_store(src, 0, 3, "again");
  EXPECT_EQ(read_store(src).at("one").size(), 3u);
}

// Emptying the main database also frees the named databases it records.
TEST_F(Tools, DropMainWithNamedDatabases) {
  const ToolRun r = run_tool_argv({drop_, src_.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const Contents got = read_store(src_.path());  // verifies: no page leaked
  EXPECT_EQ(got, (Contents{{"", {}}}));
}

TEST_F(Tools, DropNamesDataFilesWithN) {
  TempDir dir;
  const std::string store = dir.file("store");
  write_store(store, ORV_NOSUBDIR, 20, "n");
  const ToolRun r = run_tool_argv({drop_, "-n", "-d", "-s", "two", store});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const Contents got = read_store(store, ORV_NOSUBDIR);
  EXPECT_EQ(got.count("two"), 0u);
  EXPECT_EQ(got.at("one").size(), 20u);
  const ToolRun bad = run_tool_argv({drop_, "-n", dir.path()});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind("orv_env_open failed, error ", 0), 0u) << bad.err;
}

}  // namespace
