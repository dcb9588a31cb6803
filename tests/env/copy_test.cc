// [copy]: copy.cc - plain and compacting environment copies to files and
// descriptors, while other processes write, and their failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "env/env.h"
#include "env/sys.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/fixtures.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

using orv_test::Env;
using orv_test::str;
using orv_test::val;

using Entries = std::map<std::string, std::string>;
// Database name ("" for the main database) -> its entries.
using Contents = std::map<std::string, Entries>;

constexpr const char *kNames[] = {"alpha", "beta"};

struct Method {
  const char *what;
  unsigned flags;
} const kMethods[] = {{"plain", 0}, {"compact", ORV_CP_COMPACT}};

std::string value_of(int i, size_t size) {
  std::string v(size, 'a' + static_cast<char>(i % 26));
  std::snprintf(v.data(), v.size() < 12 ? v.size() : 12, "%09d", i);
  return v;
}

void put(ORV_txn *txn, ORV_dbi dbi, const std::string &k, const std::string &v) {
  ORV_val key = val(k), data = val(v);
  ASSERT_EQ(orv_put(txn, dbi, &key, &data, 0), 0) << k;
}

// Fills the main database and two named ones: small values, values on
// overflow runs of several pages, then deletes every third key so that the
// file holds free pages.
void fill(ORV_env *env, int n) {
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_dbi main_dbi, named[2];
  ASSERT_EQ(orv_dbi_open(txn, nullptr, 0, &main_dbi), 0);
  for (int d = 0; d < 2; d++) ASSERT_EQ(orv_dbi_open(txn, kNames[d], ORV_CREATE, &named[d]), 0);
  for (int i = 0; i < n; i++) {
    char k[32];
    std::snprintf(k, sizeof k, "key%06d", i);
    put(txn, main_dbi, k, value_of(i, 40));
    put(txn, named[0], k, value_of(i, i % 50 == 0 ? 9000 : 20));
    put(txn, named[1], k, value_of(i, 100));
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  for (int i = 0; i < n; i += 3) {
    char k[32];
    std::snprintf(k, sizeof k, "key%06d", i);
    const std::string ks = k;
    ORV_val key = val(ks);
    for (ORV_dbi dbi : {main_dbi, named[0], named[1]})
      ASSERT_EQ(orv_del(txn, dbi, &key, nullptr), 0);
  }
  ASSERT_EQ(orv_txn_commit(txn), 0);
}

Entries entries(ORV_txn *txn, ORV_dbi dbi, const std::map<std::string, bool> &skip = {}) {
  Entries out;
  ORV_cursor *mc;
  EXPECT_EQ(orv_cursor_open(txn, dbi, &mc), 0);
  ORV_val k, v;
  int rc = orv_cursor_get(mc, &k, &v, ORV_FIRST);
  for (; rc == 0; rc = orv_cursor_get(mc, &k, &v, ORV_NEXT))
    if (!skip.count(str(k))) out[str(k)] = str(v);
  EXPECT_EQ(rc, ORV_NOTFOUND);
  orv_cursor_close(mc);
  return out;
}

// Everything a read transaction of env sees in the main database and in
// the named databases of kNames that exist.
Contents contents(ORV_env *env) {
  Contents out;
  ORV_txn *txn;
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  std::map<std::string, bool> names;
  for (const char *name : kNames) {
    ORV_dbi dbi;
    if (orv_dbi_open(txn, name, 0, &dbi) != 0) continue;
    names[name] = true;
    out[name] = entries(txn, dbi);
  }
  ORV_dbi main_dbi;
  EXPECT_EQ(orv_dbi_open(txn, nullptr, 0, &main_dbi), 0);
  out[""] = entries(txn, main_dbi, names);
  orv_txn_abort(txn);
  return out;
}

// An environment of its own directory, opened with flags.
struct OpenEnv {
  Env env;
  explicit OpenEnv(const std::string &path, unsigned flags = 0, size_t mapsize = size_t{64} << 20) {
    EXPECT_EQ(orv_env_set_maxdbs(env, 4), 0);
    EXPECT_EQ(orv_env_set_mapsize(env, mapsize), 0);
    EXPECT_EQ(orv_env_open(env, path.c_str(), flags, 0644), 0) << path;
  }
};

off_t file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string read_file(const std::string &path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

uint64_t u64_at(const std::string &bytes, size_t off) {
  uint64_t v = 0;
  if (off + 8 <= bytes.size()) std::memcpy(&v, bytes.data() + off, 8);
  return v;
}

// Meta page fields (offsets inside a meta page).
constexpr size_t kMetaLastPg = 136, kMetaTxnid = 144, kMetaMainFlags = 88 + 4;

TEST(Copy, BothMethodsCopyEveryDatabase) {
  const struct Source {
    const char *what;
    unsigned flags;
  } sources[] = {{"file", 0}, {"in-memory", ORV_INMEMORY}, {"write map", ORV_WRITEMAP}};
  for (const Source &src : sources) {
    for (const Method &m : kMethods) {
      SCOPED_TRACE(std::string(src.what) + ", " + m.what);
      TempDir dir, out;
      OpenEnv s(dir.path(), src.flags);
      fill(s.env, 600);
      ASSERT_EQ(orv_env_copy2(s.env, out.c_str(), m.flags), 0);
      const Contents want = contents(s.env);
      ASSERT_EQ(want.at("alpha").size(), 400u);

      OpenEnv c(out.path());
      EXPECT_EQ(contents(c.env), want);
      EXPECT_TRUE(orv_test::EnvTreesValid(c.env));
    }
  }
}

// After deletions the compacted file holds exactly the pages in use, an
// empty free-page database, and renumbered overflow runs with their bytes.
TEST(Copy, CompactedFileHoldsOnlyPagesInUse) {
  TempDir dir, out, plain;
  OpenEnv s(dir.path());
  fill(s.env, 900);
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(s.env, nullptr, ORV_RDONLY, &txn), 0);
  orv_test::VerifyResult vr = orv_test::VerifyTxn(txn);
  orv_txn_abort(txn);
  ASSERT_TRUE(vr.ok()) << vr.Report();
  ASSERT_GT(vr.free_pages, 0u) << "the fixture must leave free pages behind";

  ASSERT_EQ(orv_env_copy2(s.env, out.c_str(), ORV_CP_COMPACT), 0);
  ASSERT_EQ(orv_env_copy2(s.env, plain.c_str(), 0), 0);
  const size_t psize = s.env->me_psize;
  const std::string file = read_file(out.file("data.orv"));
  // Pages in use by the trees (not the free-page database's), plus metas.
  const orv_test::TreeFigures &fdb = vr.trees["@free"];
  const uint64_t in_use =
      vr.reachable_pages - fdb.branch_pages - fdb.leaf_pages - fdb.overflow_pages;
  ASSERT_EQ(file.size(), in_use * psize);
  EXPECT_GT(file_size(plain.file("data.orv")), static_cast<off_t>(file.size()));
  EXPECT_EQ(u64_at(file, psize + kMetaLastPg), in_use - 1);
  EXPECT_EQ(u64_at(file, psize + kMetaTxnid), 1u);
  EXPECT_EQ(u64_at(file, kMetaTxnid), 0u);

  OpenEnv c(out.path());
  EXPECT_EQ(contents(c.env), contents(s.env));
  ORV_txn *ct;
  ASSERT_EQ(orv_txn_begin(c.env, nullptr, ORV_RDONLY, &ct), 0);
  ORV_stat st;
  ASSERT_EQ(orv_stat(ct, 0, &st), 0);
  EXPECT_EQ(st.ms_entries, 0u);
  EXPECT_EQ(st.ms_leaf_pages, 0u);
  orv_test::VerifyResult cr = orv_test::VerifyTxn(ct);
  EXPECT_TRUE(cr.ok()) << cr.Report();
  EXPECT_EQ(cr.free_pages, 0u);
  EXPECT_EQ(cr.trees["alpha"].overflow_pages, vr.trees["alpha"].overflow_pages);

  // A value of three overflow pages: same bytes, on pages of the copy.
  ORV_dbi alpha;
  ASSERT_EQ(orv_dbi_open(ct, "alpha", 0, &alpha), 0);
  const std::string k50 = "key000050";
  ORV_val key = val(k50), data;
  ASSERT_EQ(orv_get(ct, alpha, &key, &data), 0);
  EXPECT_EQ(str(data), value_of(50, 9000));
  const auto *bytes = static_cast<const char *>(data.mv_data);
  EXPECT_GE(bytes, c.env->me_map);
  EXPECT_LT(bytes + data.mv_size, c.env->me_map + file.size());
  orv_txn_abort(ct);
}

TEST(Copy, CompactingAnEmptyMainDatabaseGivesTwoPages) {
  const struct Case {
    const char *what;
    unsigned main_flags;
    uint64_t txnid;
  } cases[] = {{"no flags", 0, 0}, {"integer keys", ORV_INTEGERKEY, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir, out;
    OpenEnv s(dir.path());
    ORV_txn *txn;
    ASSERT_EQ(orv_txn_begin(s.env, nullptr, 0, &txn), 0);
    ORV_dbi dbi;
    ASSERT_EQ(orv_dbi_open(txn, nullptr, c.main_flags, &dbi), 0);
    ASSERT_EQ(orv_txn_commit(txn), 0);
    ASSERT_EQ(orv_env_copy2(s.env, out.c_str(), ORV_CP_COMPACT), 0);
    const std::string file = read_file(out.file("data.orv"));
    const size_t psize = s.env->me_psize;
    ASSERT_EQ(file.size(), 2 * psize);
    EXPECT_EQ(u64_at(file, psize + kMetaTxnid), c.txnid);
    uint16_t flags;
    std::memcpy(&flags, file.data() + psize + kMetaMainFlags, 2);
    EXPECT_EQ(flags, c.main_flags);
    OpenEnv copy(out.path());
    EXPECT_TRUE(orv_test::EnvTreesValid(copy.env));
  }
}

TEST(Copy, ErrorsOfTheTarget) {
  TempDir dir, out;
  OpenEnv s(dir.path());
  fill(s.env, 30);
  Env closed;
  const struct Case {
    const char *what;
    ORV_env *env;
    std::string path;
    int rc;
  } cases[] = {
      {"first copy", s.env, out.path(), 0},
      {"data file already there", s.env, out.path(), EEXIST},
      {"no such directory", s.env, out.file("missing"), ENOENT},
      {"environment not open", closed, out.file("x"), EINVAL},
      {"null environment", nullptr, out.path(), EINVAL},
  };
  for (const Method &m : kMethods) {
    for (const Case &c : cases) {
      const std::string path = c.path + "/" + m.what;
      if (c.rc == 0) mkdir(path.c_str(), 0755);
      EXPECT_EQ(orv_env_copy2(c.env, path.c_str(), m.flags), c.rc) << c.what << ", " << m.what;
    }
  }
  EXPECT_EQ(orv_env_copy2(s.env, nullptr, 0), EINVAL);
  EXPECT_EQ(orv_env_copyfd2(s.env, -1, 0), EINVAL);
  EXPECT_EQ(orv_env_copyfd(nullptr, 1), EINVAL);
  // The failed attempts left the first copies alone.
  for (const Method &m : kMethods) {
    OpenEnv c(out.file(m.what));
    EXPECT_EQ(contents(c.env), contents(s.env)) << m.what;
  }
}

TEST(Copy, NoSubdirNamesTheFileItself) {
  TempDir dir, out;
  OpenEnv s(dir.file("store"), ORV_NOSUBDIR);
  fill(s.env, 30);
  for (const Method &m : kMethods) {
    const std::string target = out.file(std::string("copy-") + m.what);
    ASSERT_EQ(orv_env_copy2(s.env, target.c_str(), m.flags), 0) << m.what;
    EXPECT_EQ(orv_env_copy2(s.env, target.c_str(), m.flags), EEXIST) << m.what;
    OpenEnv c(target, ORV_NOSUBDIR | ORV_RDONLY);
    EXPECT_EQ(contents(c.env), contents(s.env)) << m.what;
  }
}

// The descriptor is written from its current position and left open.
TEST(Copy, DescriptorVariants) {
  TempDir dir, out, ref;
  OpenEnv s(dir.path());
  fill(s.env, 200);
  const std::string reference = ref.file("data.orv");
  ASSERT_EQ(orv_env_copy2(s.env, ref.c_str(), 0), 0);
  for (const Method &m : kMethods) {
    const std::string path = out.file(std::string("fd-") + m.what);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "HEAD", 4), 4);
    const int rc = m.flags ? orv_env_copyfd2(s.env, fd, m.flags) : orv_env_copyfd(s.env, fd);
    ASSERT_EQ(rc, 0) << m.what;
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "still open";
    close(fd);
    std::string bytes = read_file(path);
    ASSERT_EQ(bytes.substr(0, 4), "HEAD");
    const std::string image = out.file(std::string("img-") + m.what);
    const int ifd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_EQ(write(ifd, bytes.data() + 4, bytes.size() - 4),
              static_cast<ssize_t>(bytes.size() - 4));
    close(ifd);
    if (m.flags == 0) {
      EXPECT_EQ(bytes.substr(4), read_file(reference));
    }
    OpenEnv c(image, ORV_NOSUBDIR | ORV_RDONLY);
    EXPECT_EQ(contents(c.env), contents(s.env)) << m.what;
  }
}

bool sigpipe_pending() {
  sigset_t set;
  sigpending(&set);
  return sigismember(&set, SIGPIPE) == 1;
}

bool sigpipe_blocked() {
  sigset_t set;
  pthread_sigmask(SIG_BLOCK, nullptr, &set);
  return sigismember(&set, SIGPIPE) == 1;
}

// SIGPIPE keeps its default action (ending the process) in these runs: the
// copy must answer EPIPE and leave no signal behind, whether the reader of
// the pipe was gone from the start or left after part of the copy.
TEST(Copy, PipeWhoseReaderWentAwayGivesEpipe) {
  TempDir dir;
  OpenEnv s(dir.path());
  fill(s.env, 3000);
  const struct Case {
    const char *what;
    size_t read_first;  // bytes the reader takes before it closes
  } cases[] = {{"reader gone before", 0}, {"reader leaves midway", 200000}};
  for (const Case &c : cases) {
    for (const Method &m : kMethods) {
      const int status = orv_test::in_child([&] {
        signal(SIGPIPE, SIG_DFL);
        int fds[2];
        if (pipe(fds) != 0) return 10;
        std::thread reader([&] {
          char buf[4096];
          size_t got = 0;
          while (got < c.read_first) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
          }
          close(fds[0]);
        });
        if (c.read_first == 0) reader.join();
        const int rc = orv_env_copyfd2(s.env, fds[1], m.flags);
        if (reader.joinable()) reader.join();
        close(fds[1]);
        if (rc != EPIPE) return 11;
        if (sigpipe_pending()) return 12;
        if (sigpipe_blocked()) return 13;
        return 0;
      });
      EXPECT_EQ(status, 0) << c.what << ", " << m.what << " (-1: killed by a signal)";
    }
  }
}

// No reader slot keeps a snapshot once a copy has returned.
bool readers_idle(ORV_env *env) {
  std::string lines;
  orv_reader_list(
      env,
      [](const char *msg, void *ctx) {
        *static_cast<std::string *>(ctx) += msg;
        return 0;
      },
      &lines);
  if (lines == "(no active readers)\n") return true;
  // Every slot listed is idle ("-" in the txnid column).
  size_t pos = lines.find('\n');
  while (pos != std::string::npos && pos + 1 < lines.size()) {
    const size_t end = lines.find('\n', pos + 1);
    const std::string line = lines.substr(pos + 1, end - pos - 1);
    if (line.empty() || line.back() != '-') return false;
    pos = end;
  }
  return true;
}

TEST(Copy, InterruptStopsCompactingCopyOnly) {
  TempDir dir, out;
  OpenEnv s(dir.path());
  fill(s.env, 300);
  ASSERT_EQ(orv_env_set_interrupt(s.env, 1), 0);
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  EXPECT_EQ(orv_env_copyfd2(s.env, devnull, ORV_CP_COMPACT), EINTR);
  close(devnull);
  EXPECT_TRUE(readers_idle(s.env));
  // The plain copy does not walk trees and runs to its end.
  ASSERT_EQ(orv_env_copy2(s.env, out.c_str(), 0), 0);
  ASSERT_EQ(orv_env_set_interrupt(s.env, 0), 0);
  OpenEnv c(out.path());
  EXPECT_EQ(contents(c.env), contents(s.env));
  TempDir again;
  EXPECT_EQ(orv_env_copy2(s.env, again.c_str(), ORV_CP_COMPACT), 0);
}

// The interrupt arrives while the walk runs: the reader of the pipe asks
// for it after the first megabytes.
TEST(Copy, InterruptDuringCompactingWalk) {
  TempDir dir;
  OpenEnv s(dir.path(), 0, size_t{256} << 20);
  fill(s.env, 20000);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread reader([&] {
    char buf[65536];
    size_t got = 0;
    bool asked = false;
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
      got += static_cast<size_t>(n);
      if (!asked && got >= (size_t{3} << 20)) {
        orv_env_set_interrupt(s.env, 1);
        asked = true;
      }
    }
  });
  const int rc = orv_env_copyfd2(s.env, fds[1], ORV_CP_COMPACT);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(rc, EINTR);
  EXPECT_TRUE(readers_idle(s.env));
  ASSERT_EQ(orv_env_set_interrupt(s.env, 0), 0);
  TempDir out;
  EXPECT_EQ(orv_env_copy2(s.env, out.c_str(), ORV_CP_COMPACT), 0);
}

// A copy of the previous snapshot is that snapshot, whichever method.
TEST(Copy, PreviousSnapshot) {
  TempDir dir;
  {
    OpenEnv s(dir.path());
    for (const char *k : {"first", "second"}) {
      ORV_txn *txn;
      ASSERT_EQ(orv_txn_begin(s.env, nullptr, 0, &txn), 0);
      std::string v(3000, k[0]);
      for (int i = 0; i < 40; i++) put(txn, 1, std::string(k) + std::to_string(i), v);
      ASSERT_EQ(orv_txn_commit(txn), 0);
    }
  }
  OpenEnv prev(dir.path(), ORV_RDONLY | ORV_PREVSNAPSHOT);
  const Contents want = contents(prev.env);
  ASSERT_EQ(want.at("").size(), 40u);
  for (const Method &m : kMethods) {
    TempDir out;
    ASSERT_EQ(orv_env_copy2(prev.env, out.c_str(), m.flags), 0) << m.what;
    OpenEnv c(out.path());
    EXPECT_EQ(contents(c.env), want) << m.what;
    EXPECT_TRUE(orv_test::EnvTreesValid(c.env)) << m.what;
  }
}

// Another process commits all the time; every copy is one consistent
// snapshot: the counter key equals the number of keys written.
TEST(Copy, WhileAnotherProcessWrites) {
  TempDir dir;
  {
    OpenEnv s(dir.path());
    fill(s.env, 300);
  }
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const std::string stop = dir.file("stop");
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    Env env;
    orv_env_set_maxdbs(env, 4);
    orv_env_set_mapsize(env, size_t{1} << 30);
    if (orv_env_open(env, dir.c_str(), ORV_NOSYNC, 0644) != 0) _exit(20);
    for (int n = 0; n < 100000 && access(stop.c_str(), F_OK) != 0; n++) {
      ORV_txn *txn;
      if (orv_txn_begin(env, nullptr, 0, &txn) != 0) _exit(21);
      std::string k = "w" + std::to_string(n), v(n % 7 == 0 ? 5000 : 64, 'w');
      std::string ckey = "count", count = std::to_string(n + 1);
      ORV_val key = val(k), data = val(v), ck = val(ckey), cv = val(count);
      if (orv_put(txn, 1, &key, &data, 0) != 0 || orv_put(txn, 1, &ck, &cv, 0) != 0) _exit(22);
      if (n % 5 == 4) {
        std::string old = "w" + std::to_string(n - 2);
        ORV_val ok = val(old);
        if (orv_del(txn, 1, &ok, nullptr) != 0) _exit(23);
      }
      if (int rc = orv_txn_commit(txn); rc == ORV_MAP_FULL) {
        break;  // the copies held old pages for long; enough writing
      } else if (rc != 0) {
        _exit(24);
      }
      if (n == 10 && write(ready[1], "r", 1) != 1) _exit(25);
      usleep(100);  // a steady stream, not a flood that grows the file
    }
    _exit(0);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);

  OpenEnv s(dir.path(), 0, size_t{1} << 30);
  std::map<int, int> counts;  // counter value -> copies that saw it
  for (int round = 0; round < 4; round++) {
    for (const Method &m : kMethods) {
      SCOPED_TRACE(std::string(m.what) + " round " + std::to_string(round));
      TempDir out;
      ASSERT_EQ(orv_env_copy2(s.env, out.c_str(), m.flags), 0);
      OpenEnv copy(out.path());
      EXPECT_TRUE(orv_test::EnvTreesValid(copy.env));
      Contents got = contents(copy.env);
      const Entries &main = got.at("");
      ASSERT_TRUE(main.count("count"));
      const int n = std::stoi(main.at("count"));
      counts[n]++;
      int written = 0;
      for (const auto &[k, v] : main) written += k[0] == 'w';
      EXPECT_EQ(written, n - n / 5) << "count " << n;
    }
  }
  const int fd = open(stop.c_str(), O_WRONLY | O_CREAT, 0644);
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_GE(counts.size(), 2u) << "the copies ran while the other process committed";
}

// Replaces system calls of the library for one scope: set the entries of
// `table`, then Install().
struct IoOverride {
  ORV_sys table = orv_sys_default();
  ORV_sys saved{};
  bool installed = false;
  void Install() {
    saved = orv_sys_install(table);
    installed = true;
  }
  ~IoOverride() {
    if (installed) orv_sys_install(saved);
  }
};

struct SyncLog {
  std::vector<std::pair<char, ino_t>> calls;  // 'd' fdatasync, 's' fsync, by inode
  int fail_datasync = 0;
  int fail_fsync = 0;
} g_sync;

ino_t inode_of_fd(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}
ino_t inode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A copy is durable once orv_env_copy2 returns 0: the new file's data and
// the directory entry naming it are flushed; a failed flush is reported.
TEST(Copy, NewFileIsFlushedWithItsDirectory) {
  TempDir dir;
  OpenEnv s(dir.path());
  fill(s.env, 100);
  IoOverride guard;
  guard.table.fdatasync = [](int fd) {
    g_sync.calls.push_back({'d', inode_of_fd(fd)});
    if (g_sync.fail_datasync) {
      errno = g_sync.fail_datasync;
      return -1;
    }
    return fdatasync(fd);
  };
  guard.table.fsync = [](int fd) {
    g_sync.calls.push_back({'s', inode_of_fd(fd)});
    if (g_sync.fail_fsync) {
      errno = g_sync.fail_fsync;
      return -1;
    }
    return fsync(fd);
  };
  guard.Install();
  const struct Case {
    const char *what;
    int fail_datasync, fail_fsync;
    int rc;
  } cases[] = {
      {"both flushes work", 0, 0, 0},
      {"data flush fails", EIO, 0, EIO},
      {"directory flush fails", 0, EIO, EIO},
      {"directory cannot be flushed", 0, EINVAL, 0},
  };
  for (const Case &c : cases) {
    for (const Method &m : kMethods) {
      SCOPED_TRACE(std::string(c.what) + ", " + m.what);
      TempDir out;
      g_sync = SyncLog{};
      g_sync.fail_datasync = c.fail_datasync;
      g_sync.fail_fsync = c.fail_fsync;
      EXPECT_EQ(orv_env_copy2(s.env, out.c_str(), m.flags), c.rc);
      const ino_t file = inode_of(out.file("data.orv")), parent = inode_of(out.path());
      ASSERT_GE(g_sync.calls.size(), 1u);
      EXPECT_EQ(g_sync.calls[0].first, 'd');
      EXPECT_NE(g_sync.calls[0].second, parent);
      if (c.rc == 0) {
        EXPECT_EQ(g_sync.calls[0].second, file);
      } else {
        EXPECT_EQ(file, 0u) << "a copy that failed is removed";
      }
      if (c.fail_datasync == 0) {
        ASSERT_EQ(g_sync.calls.size(), 2u);
        EXPECT_EQ(g_sync.calls[1], std::make_pair('s', parent));
      } else {
        EXPECT_EQ(g_sync.calls.size(), 1u) << "a copy that failed is not made durable";
      }
    }
  }
}

// Writes that come up short are continued; a write of 0 bytes is EIO and
// a failing write its own error, with nothing left behind.
TEST(Copy, WriteFailures) {
  TempDir dir;
  OpenEnv s(dir.path());
  fill(s.env, 300);
  IoOverride guard;
  static std::atomic<int> mode{0};  // 0 short writes, 1 zero-byte writes, 2 ENOSPC
  static std::atomic<size_t> budget{0};
  guard.table.write = [](int fd, const void *buf, size_t len) -> ssize_t {
    if (budget.load() == 0) {
      if (mode == 1) return 0;
      if (mode == 2) {
        errno = ENOSPC;
        return -1;
      }
    }
    // Short, but in whole blocks: the target may use direct I/O.
    size_t n = len > 4096 ? 4096 : len;
    if (mode != 0 && n > budget.load()) n = budget.load();
    budget -= mode != 0 ? n : 0;
    return write(fd, buf, n);
  };
  guard.Install();
  const struct Case {
    const char *what;
    int mode;
    size_t budget;
    int rc;
  } cases[] = {
      {"short writes", 0, 0, 0},
      {"zero-byte write at once", 1, 0, EIO},
      {"zero-byte write later", 1, 20 * 4096, EIO},
      {"disk full at once", 2, 0, ENOSPC},
      {"disk full later", 2, 20 * 4096, ENOSPC},
  };
  for (const Case &c : cases) {
    for (const Method &m : kMethods) {
      SCOPED_TRACE(std::string(c.what) + ", " + m.what);
      mode = c.mode;
      budget = c.budget;
      TempDir out;
      EXPECT_EQ(orv_env_copy2(s.env, out.c_str(), m.flags), c.rc);
      EXPECT_TRUE(readers_idle(s.env));
      if (c.rc == 0) {
        OpenEnv copy(out.path());
        EXPECT_EQ(contents(copy.env), contents(s.env));
      } else {
        EXPECT_EQ(file_size(out.file("data.orv")), -1) << "a copy that failed is removed";
      }
    }
  }
}

// A snapshot whose pages do not add up (a page neither reachable nor
// listed free) cannot be compacted faithfully: ORV_INCOMPATIBLE.
TEST(Copy, CompactingALeakyStoreIsRefused) {
  TempDir dir;
  OpenEnv s(dir.path());
  fill(s.env, 300);
  ORV_txn *txn;
  ASSERT_EQ(orv_txn_begin(s.env, nullptr, 0, &txn), 0);
  std::string k = "key000001";
  ORV_val key = val(k);
  ASSERT_EQ(orv_del(txn, 1, &key, nullptr), 0);
  ASSERT_GT(txn->mt_free_pgs[0], 0u);
  txn->mt_free_pgs[0]--;  // forget one freed page
  ASSERT_EQ(orv_txn_commit(txn), 0);

  TempDir out;
  EXPECT_EQ(orv_env_copy2(s.env, out.c_str(), ORV_CP_COMPACT), ORV_INCOMPATIBLE);
  EXPECT_TRUE(readers_idle(s.env));
  TempDir plain;
  EXPECT_EQ(orv_env_copy2(s.env, plain.c_str(), 0), 0) << "the plain copy does not count pages";
}

// The plain copy reads no further than the data file reaches, and a data
// file it cannot measure fails the copy.
TEST(Copy, PlainCopyStopsAtTheDataFileSize) {
  TempDir dir;
  OpenEnv s(dir.path());
  fill(s.env, 300);
  IoOverride guard;
  static int fstat_error;
  static off_t psize;
  psize = s.env->me_psize;
  guard.table.fstat = [](int fd, struct stat *st) {
    if (fstat_error != 0) {
      errno = fstat_error;
      return -1;
    }
    const int rc = fstat(fd, st);
    st->st_size = 5 * psize;
    return rc;
  };
  guard.Install();
  const struct Case {
    const char *what;
    int error;
    int rc;
    off_t pages;
  } cases[] = {{"file shorter than the snapshot", 0, 0, 5}, {"fstat fails", EIO, EIO, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fstat_error = c.error;
    // To a descriptor the partial output stays: the metas come first.
    TempDir out;
    const std::string name = out.file("data.orv");
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(orv_env_copyfd(s.env, fd), c.rc);
    close(fd);
    EXPECT_EQ(file_size(name), c.pages * psize);
    // To a new file a failed copy leaves nothing.
    TempDir out2;
    EXPECT_EQ(orv_env_copy2(s.env, out2.c_str(), 0), c.rc);
    EXPECT_EQ(file_size(out2.file("data.orv")), c.rc == 0 ? c.pages * psize : -1);
  }
}

}  // namespace
