// [btree visibility]: what another process sees of a store (lib/txn commit,
// lib/env meta pages and reader table, lib/btree lookups).
//
// A forked process opens its own handle on the same environment. Pipes
// sequence the two: the child checks that committed data is visible, that a
// writer's uncommitted or aborted changes never are, that a read
// transaction keeps its snapshot across another process's commit, and that
// its own commits become visible to the parent. Two more cases: readers in
// threads and in another process never see half a commit, and a writer
// process killed mid-stream leaves the last committed state and a usable
// writer lock behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orv.h"
#include "util/tempdir.h"
#include "util/verify.h"

namespace {

constexpr ORV_dbi kMain = 1;

// Waits for child pid, which writes what went wrong to report_fd (and
// exits non-zero); expects a clean exit and closes report_fd.
void expect_child_success(pid_t pid, int report_fd) {
  std::string msg;
  char buf[256];
  ssize_t n;
  while ((n = read(report_fd, buf, sizeof buf)) > 0) msg.append(buf, static_cast<size_t>(n));
  close(report_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child: " << msg;
}

// A pipe per direction; each message is one byte.
struct Channel {
  int rd = -1, wr = -1;
  void send(char c) const {
    while (write(wr, &c, 1) < 0 && errno == EINTR) {
    }
  }
  char recv() const {
    char c = 0;
    ssize_t n;
    while ((n = read(rd, &c, 1)) < 0 && errno == EINTR) {
    }
    return n == 1 ? c : '\0';
  }
};

int put(ORV_txn *txn, const std::string &k, const std::string &v) {
  ORV_val kv{k.size(), const_cast<char *>(k.data())}, dv{v.size(), const_cast<char *>(v.data())};
  return orv_put(txn, kMain, &kv, &dv, 0);
}

// The value of k, "-" when absent, "!message" on another failure.
std::string get(ORV_txn *txn, const std::string &k) {
  ORV_val kv{k.size(), const_cast<char *>(k.data())}, dv{};
  int rc = orv_get(txn, kMain, &kv, &dv);
  if (rc == ORV_NOTFOUND) return "-";
  if (rc != 0) return std::string("!") + orv_strerror(rc);
  return std::string(static_cast<const char *>(dv.mv_data), dv.mv_size);
}

int open_env(const std::string &path, unsigned flags, ORV_env **env) {
  if (int rc = orv_env_create(env); rc != 0) return rc;
  if (int rc = orv_env_set_mapsize(*env, size_t{16} << 20); rc != 0) return rc;
  // ORV_NOTLS: the child holds two read transactions in one thread.
  return orv_env_open(*env, path.c_str(), flags | ORV_NOTLS, 0644);
}

// The child's side. Returns "" when everything it saw was right, else a
// description of the first surprise.
std::string child_main(const std::string &path, unsigned flags, const Channel &ch) {
  ORV_env *env = nullptr;
  if (int rc = open_env(path, flags, &env); rc != 0)
    return std::string("child open: ") + orv_strerror(rc);
  std::string err;
  auto expect = [&](ORV_txn *txn, const char *k, const char *want, const char *when) {
    std::string got = get(txn, k);
    if (err.empty() && got != want)
      err = std::string(when) + ": key " + k + " is '" + got + "', expected '" + want + "'";
  };
  ORV_txn *old = nullptr, *txn = nullptr;
  int rc = 0;

  ch.send('r');  // ready
  if (ch.recv() != 'u') return "protocol (u)";
  // The parent holds an uncommitted write of a=2 and b=1.
  if ((rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &old)) != 0)
    return std::string("child begin: ") + orv_strerror(rc);
  expect(old, "a", "1", "during the parent's write");
  expect(old, "b", "-", "during the parent's write");
  ch.send('1');
  if (ch.recv() != 'c') return "protocol (c)";
  // The parent committed; the old snapshot stays, a new one sees the change.
  expect(old, "a", "1", "old snapshot after the parent's commit");
  expect(old, "b", "-", "old snapshot after the parent's commit");
  if ((rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn)) != 0)
    return std::string("child begin: ") + orv_strerror(rc);
  expect(txn, "a", "2", "after the parent's commit");
  expect(txn, "b", "1", "after the parent's commit");
  if (err.empty()) {
    ::testing::AssertionResult v = orv_test::TreeValid(txn);
    if (!v) err = std::string("child verifier: ") + v.message();
  }
  orv_txn_abort(txn);
  orv_txn_abort(old);
  ch.send('2');
  if (ch.recv() != 'x') return "protocol (x)";
  // The parent wrote c and aborted.
  if ((rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn)) != 0)
    return std::string("child begin: ") + orv_strerror(rc);
  expect(txn, "c", "-", "after the parent's abort");
  orv_txn_abort(txn);
  // Now this process writes; the parent checks it.
  if ((rc = orv_txn_begin(env, nullptr, 0, &txn)) != 0)
    return std::string("child write begin: ") + orv_strerror(rc);
  if ((rc = put(txn, "d", "4")) != 0 || (rc = orv_txn_commit(txn)) != 0)
    return std::string("child write: ") + orv_strerror(rc);
  ch.send('3');
  orv_env_close(env);
  return err;
}

class Visibility : public ::testing::TestWithParam<unsigned> {};

TEST_P(Visibility, OtherProcessSeesOnlyCommittedData) {
  unsigned flags = GetParam();
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(0, open_env(dir.path(), flags, &env));
  ORV_txn *txn = nullptr;
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
  ASSERT_EQ(0, put(txn, "a", "1"));
  ASSERT_EQ(0, orv_txn_commit(txn));

  int to_child[2], to_parent[2], report[2];
  ASSERT_EQ(0, pipe(to_child));
  ASSERT_EQ(0, pipe(to_parent));
  ASSERT_EQ(0, pipe(report));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // never outlive a parent that stopped talking
    // The inherited handle belongs to the parent; the child opens its own.
    Channel ch{to_child[0], to_parent[1]};
    std::string err = child_main(dir.path(), flags, ch);
    ssize_t n = write(report[1], err.data(), err.size());
    (void)n;
    _exit(err.empty() ? 0 : 1);
  }
  close(to_child[0]);
  close(to_parent[1]);
  close(report[1]);
  Channel ch{to_parent[0], to_child[1]};
  auto finish = [&] {
    close(to_child[1]);
    close(to_parent[0]);
    expect_child_success(pid, report[0]);
  };

  ASSERT_EQ('r', ch.recv());
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
  EXPECT_EQ(0, put(txn, "a", "2"));
  EXPECT_EQ(0, put(txn, "b", "1"));
  ch.send('u');
  EXPECT_EQ('1', ch.recv());
  EXPECT_EQ(0, orv_txn_commit(txn));
  ch.send('c');
  EXPECT_EQ('2', ch.recv());
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
  EXPECT_EQ(0, put(txn, "c", "3"));
  orv_txn_abort(txn);
  ORV_txn *before = nullptr;
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, ORV_RDONLY, &before));
  ch.send('x');
  EXPECT_EQ('3', ch.recv());
  finish();

  // The child's commit is visible to a new reader here, not to the old one.
  EXPECT_EQ("-", get(before, "d"));
  orv_txn_abort(before);
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, ORV_RDONLY, &txn));
  EXPECT_EQ("4", get(txn, "d"));
  EXPECT_EQ("2", get(txn, "a"));
  EXPECT_EQ("-", get(txn, "c"));
  EXPECT_TREE_VALID(txn);
  orv_txn_abort(txn);
  orv_env_close(env);
}

INSTANTIATE_TEST_SUITE_P(Modes, Visibility, ::testing::Values(0u, unsigned{ORV_WRITEMAP}),
                         [](const ::testing::TestParamInfo<unsigned> &info) {
                           return std::string(info.param ? "WriteMap" : "Default");
                         });

// ---- Atomic commits under concurrent readers ----------------------------------------------

// Every commit moves x and y together (x + y = 1000) and raises ver. A reader
// that sees a sum other than 1000, or ver going back, saw half a commit or an
// older snapshot than one it had already seen.
std::string read_invariant(ORV_env *env, long *last_ver) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn); rc != 0)
    return std::string("reader begin: ") + orv_strerror(rc);
  std::string x = get(txn, "x"), y = get(txn, "y"), v = get(txn, "ver");
  orv_txn_abort(txn);
  if (x[0] == '!' || y[0] == '!' || v[0] == '!') return "reader get: " + x + " " + y + " " + v;
  long sum = std::stol(x) + std::stol(y), ver = std::stol(v);
  if (sum != 1000) return "torn commit: x=" + x + " y=" + y + " ver=" + v;
  if (ver < *last_ver) return "snapshot went back from " + std::to_string(*last_ver) + " to " + v;
  *last_ver = ver;
  return "";
}

TEST(Concurrency, ReadersInThreadsAndProcessesSeeWholeCommits) {
  TempDir dir;
  ORV_env *env = nullptr;
  ASSERT_EQ(0, open_env(dir.path(), 0, &env));
  ORV_txn *txn = nullptr;
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
  ASSERT_EQ(0, put(txn, "x", "500"));
  ASSERT_EQ(0, put(txn, "y", "500"));
  ASSERT_EQ(0, put(txn, "ver", "0"));
  ASSERT_EQ(0, orv_txn_commit(txn));

  int stop[2], report[2];
  ASSERT_EQ(0, pipe(stop));
  ASSERT_EQ(0, pipe(report));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // never outlive a parent that stopped talking
    close(stop[1]);
    ORV_env *cenv = nullptr;
    std::string err;
    if (int rc = open_env(dir.path(), 0, &cenv); rc != 0) err = orv_strerror(rc);
    long last = 0, rounds = 0;
    pollfd pfd{stop[0], POLLIN, 0};
    while (err.empty() && poll(&pfd, 1, 0) == 0) {
      err = read_invariant(cenv, &last);
      rounds++;
    }
    if (err.empty() && rounds == 0) err = "child never read";
    if (cenv) orv_env_close(cenv);
    ssize_t n = write(report[1], err.data(), err.size());
    (void)n;
    _exit(err.empty() ? 0 : 1);
  }
  close(stop[0]);
  close(report[1]);

  std::atomic<bool> done{false};
  std::vector<std::string> errors(2);
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; t++) {
    readers.emplace_back([&, t] {
      long last = 0;
      while (!done.load() && errors[t].empty()) errors[t] = read_invariant(env, &last);
    });
  }
  std::string filler(300, 'f');
  for (int i = 1; i <= 150; i++) {
    // No ASSERT here: the reader threads must be joined whatever happens.
    ORV_txn *w = nullptr;
    if (int rc = orv_txn_begin(env, nullptr, 0, &w); rc != 0) {
      ADD_FAILURE() << "writer begin: " << orv_strerror(rc);
      break;
    }
    long x = (i * 7919) % 1001;
    EXPECT_EQ(0, put(w, "x", std::to_string(x)));
    // Filler keys between the two make pages split between the writes.
    for (int j = 0; j < 20; j++) EXPECT_EQ(0, put(w, "m" + std::to_string(i * 20 + j), filler));
    EXPECT_EQ(0, put(w, "y", std::to_string(1000 - x)));
    EXPECT_EQ(0, put(w, "ver", std::to_string(i)));
    if (int rc = orv_txn_commit(w); rc != 0) {
      ADD_FAILURE() << "writer commit: " << orv_strerror(rc);
      break;
    }
  }
  done = true;
  for (std::thread &t : readers) t.join();
  for (const std::string &e : errors) EXPECT_EQ("", e);
  close(stop[1]);
  expect_child_success(pid, report[0]);
  EXPECT_TRUE(orv_test::EnvTreesValid(env));
  orv_env_close(env);
}

// ---- A writer process killed mid-stream -----------------------------------------------------

TEST(Concurrency, KilledWriterLeavesLastCommitAndFreesTheWriterLock) {
  TempDir dir;
  int go[2];
  ASSERT_EQ(0, pipe(go));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // never outlive a parent that stopped talking
    // Commit forever: each commit i stores n = i and one key s<i>.
    close(go[0]);
    ORV_env *env = nullptr;
    if (open_env(dir.path(), 0, &env) != 0) _exit(2);
    for (long i = 1;; i++) {
      ORV_txn *txn = nullptr;
      if (orv_txn_begin(env, nullptr, 0, &txn) != 0) _exit(3);
      if (put(txn, "n", std::to_string(i)) != 0 ||
          put(txn, "s" + std::to_string(i), std::string(200, 's')) != 0)
        _exit(4);
      if (orv_txn_commit(txn) != 0) _exit(5);
      if (i == 30) {
        char c = 'g';
        if (write(go[1], &c, 1) != 1) _exit(6);
      }
    }
  }
  close(go[1]);
  char c = 0;
  ASSERT_EQ(1, read(go[0], &c, 1)) << "writer child failed to start";
  close(go[0]);
  usleep(20000);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);

  ORV_env *env = nullptr;
  ASSERT_EQ(0, open_env(dir.path(), 0, &env));
  // The writer lock may have died with its owner; the next writer gets it.
  ORV_txn *txn = nullptr;
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, 0, &txn));
  EXPECT_EQ(0, put(txn, "after", "1"));
  ASSERT_EQ(0, orv_txn_commit(txn));
  ASSERT_EQ(0, orv_txn_begin(env, nullptr, ORV_RDONLY, &txn));
  std::string n = get(txn, "n");
  ASSERT_NE('!', n[0]);
  long last = std::stol(n);
  EXPECT_GE(last, 30);
  ORV_cursor *cur = nullptr;
  ASSERT_EQ(0, orv_cursor_open(txn, kMain, &cur));
  ORV_val k{1, const_cast<char *>("s")}, d{};
  long count = 0;
  for (int rc = orv_cursor_get(cur, &k, &d, ORV_SET_RANGE);
       rc == 0 && k.mv_size > 0 && static_cast<char *>(k.mv_data)[0] == 's';
       rc = orv_cursor_get(cur, &k, &d, ORV_NEXT))
    count++;
  EXPECT_EQ(last, count) << "every commit up to n, and none after it, is visible";
  orv_cursor_close(cur);
  EXPECT_TREE_VALID(txn);
  orv_txn_abort(txn);
  orv_env_close(env);
}

}  // namespace
