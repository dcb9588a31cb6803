// Small helpers shared by the test suites:
//
//   Env env;                        // an environment handle, closed at scope end
//   ORV_val k = val(some_string);   // a descriptor of a string's bytes
//   std::string s = str(k);         // the bytes a descriptor names
//   CursorPtr c = open_cursor(txn, dbi);  // closed at scope end
//   int status = in_child([] { ...; return 0; });  // runs in a forked child
//
//   class MyTest : public EnvFixture {};  // an environment in a fresh directory
#ifndef ORV_TESTS_UTIL_FIXTURES_H
#define ORV_TESTS_UTIL_FIXTURES_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "orv.h"
#include "util/tempdir.h"

namespace orv_test {

// An environment handle closed at scope end.
struct Env {
  ORV_env *env = nullptr;
  Env() { EXPECT_EQ(orv_env_create(&env), 0); }
  ~Env() { orv_env_close(env); }
  Env(const Env &) = delete;
  Env &operator=(const Env &) = delete;
  ORV_env *operator->() const { return env; }
  operator ORV_env *() const { return env; }
};

inline ORV_val val(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }

inline std::string str(const ORV_val &v) {
  return std::string(static_cast<const char *>(v.mv_data), v.mv_size);
}

struct CursorCloser {
  void operator()(ORV_cursor *mc) const { orv_cursor_close(mc); }
};
using CursorPtr = std::unique_ptr<ORV_cursor, CursorCloser>;

inline CursorPtr open_cursor(ORV_txn *txn, ORV_dbi dbi) {
  ORV_cursor *mc = nullptr;
  EXPECT_EQ(orv_cursor_open(txn, dbi, &mc), 0);
  return CursorPtr(mc);
}

// Runs fn in a child process; fn's result is the child's exit status (-1
// when the child did not exit normally).
template <class Fn>
int in_child(Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A test with an environment of its own in a fresh directory (up to 8
// named databases, a 256 MiB map, ORV_NOTLS), closed at the end.
class EnvFixture : public testing::Test {
 protected:
  void SetUp() override { reopen_env(); }
  void TearDown() override {
    if (env_ != nullptr) orv_env_close(env_);
  }
  ORV_txn *begin(unsigned flags = 0, ORV_txn *parent = nullptr) {
    ORV_txn *txn = nullptr;
    EXPECT_EQ(orv_txn_begin(env_, parent, flags, &txn), 0);
    return txn;
  }
  ORV_dbi open_db(ORV_txn *txn, const char *name, unsigned flags) {
    ORV_dbi dbi = 0;
    EXPECT_EQ(orv_dbi_open(txn, name, flags | ORV_CREATE, &dbi), 0);
    return dbi;
  }
  // Closes the environment and opens it again as SetUp did, for tests that
  // change the data file in between.
  void close_env() {
    orv_env_close(env_);
    env_ = nullptr;
  }
  void reopen_env() {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 8), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, size_t{256} << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), ORV_NOTLS, 0644), 0);
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
};

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_FIXTURES_H
