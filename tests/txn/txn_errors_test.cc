// [txn_errors]: txn.cc, txn_end.cc, commit.cc - transactions refused or used
// in the wrong state: ignored begin flags, begin and renew on closed or
// failed environments, renew of a live transaction, every operation on a
// reset or failed transaction. After each refusal the store is unchanged,
// no reader slot keeps a snapshot and the writer lock is free.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/tempdir.h"

namespace {

ORV_val val(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }

// Reader slots that hold a snapshot, as orv_reader_list prints them (a
// slot without one shows "-" for its transaction id).
int live_readers(ORV_env *env) {
  int n = 0;
  auto count = [](const char *line, void *ctx) -> int {
    const std::string s(line);
    if (s.find("txnid") == std::string::npos && s.find('(') == std::string::npos &&
        s.find(" -\n") == std::string::npos)
      ++*static_cast<int *>(ctx);
    return 0;
  };
  EXPECT_EQ(orv_reader_list(env, count, &n), 0);
  return n;
}

// The writer lock is free exactly when a write transaction can begin.
bool writer_free(ORV_env *env) {
  ORV_txn *w = nullptr;
  if (orv_txn_begin(env, nullptr, 0, &w) != 0) return false;
  orv_txn_abort(w);
  return true;
}

class TxnErrors : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_maxdbs(env_, 4), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), GetParam(), 0644), 0);
    ORV_txn *w = nullptr;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &w), 0);
    ORV_dbi dbi = 0;
    ASSERT_EQ(orv_dbi_open(w, "named", ORV_CREATE, &dbi), 0);
    ORV_val k = val("k"), v = val("v");
    ASSERT_EQ(orv_put(w, MAIN_DBI, &k, &v, 0), 0);
    ASSERT_EQ(orv_put(w, dbi, &k, &v, 0), 0);
    ASSERT_EQ(orv_txn_commit(w), 0);
    dbi_ = dbi;
  }
  void TearDown() override { orv_env_close(env_); }

  // The committed state: "k" = "v" in the main and the named database, one
  // more entry (the name) in the main one, and no "x".
  void expect_store_unchanged() {
    ORV_txn *r = nullptr;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &r), 0);
    EXPECT_EQ(orv_txn_id(r), 1u);
    for (ORV_dbi dbi : {ORV_dbi{MAIN_DBI}, dbi_}) {
      ORV_val k = val("k"), d{};
      ASSERT_EQ(orv_get(r, dbi, &k, &d), 0);
      EXPECT_EQ(std::string(static_cast<char *>(d.mv_data), d.mv_size), "v");
      ORV_val x = val("x");
      EXPECT_EQ(orv_get(r, dbi, &x, &d), ORV_NOTFOUND);
    }
    orv_txn_abort(r);
    EXPECT_EQ(live_readers(env_), 0);
    EXPECT_TRUE(writer_free(env_));
  }

  TempDir dir_;
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
};

// Flags other than ORV_RDONLY, ORV_NOSYNC and ORV_NOMETASYNC are ignored;
// internal state bits in particular must not leak into the new record.
TEST_P(TxnErrors, BeginIgnoresOtherFlagBits) {
  const unsigned ignored[] = {0x1u,
                              ORV_TXN_ERROR,
                              ORV_TXN_FINISHED,
                              ORV_TXN_HAS_CHILD,
                              ORV_WRITEMAP,
                              ORV_NOSUBDIR | ORV_RDONLY};
  for (unsigned f : ignored) {
    SCOPED_TRACE(f);
    ORV_txn *t = nullptr;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, f, &t), 0);
    EXPECT_EQ(t->mt_flags & ORV_TXN_BLOCKED, 0u);
    ORV_val k = val("k"), d{};
    EXPECT_EQ(orv_get(t, MAIN_DBI, &k, &d), 0);
    if (!(f & ORV_RDONLY) && !(GetParam() & ORV_WRITEMAP)) {  // no children there
      ORV_txn *child = nullptr;
      ASSERT_EQ(orv_txn_begin(env_, t, f & ~ORV_RDONLY, &child), 0);
      EXPECT_EQ(child->mt_flags & ORV_TXN_BLOCKED, 0u);
      ORV_val x = val("x");
      EXPECT_EQ(orv_put(child, MAIN_DBI, &x, &x, 0), 0);
      orv_txn_abort(child);
      EXPECT_EQ(orv_get(t, MAIN_DBI, &x, &d), ORV_NOTFOUND);
    }
    orv_txn_abort(t);
  }
  expect_store_unchanged();
}

TEST_P(TxnErrors, RenewOfALiveTransactionChangesNothing) {
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &r), 0);
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(r, MAIN_DBI, &c), 0);
  ORV_val k{}, d{};
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_FIRST), 0);
  // A writer commits meanwhile; a wrongly accepted renew would move the
  // reader to the new snapshot.
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &w), 0);
  ORV_val x = val("x");
  ASSERT_EQ(orv_put(w, MAIN_DBI, &x, &x, 0), 0);
  ASSERT_EQ(orv_txn_commit(w), 0);

  EXPECT_EQ(orv_txn_renew(r), EINVAL);
  EXPECT_EQ(orv_txn_renew(r), EINVAL);
  EXPECT_EQ(orv_txn_id(r), 1u);
  EXPECT_EQ(live_readers(env_), 1);
  EXPECT_EQ(orv_get(r, MAIN_DBI, &x, &d), ORV_NOTFOUND);
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_GET_CURRENT), 0);  // position kept
  EXPECT_EQ(std::string(static_cast<char *>(k.mv_data), k.mv_size), "k");
  orv_cursor_close(c);
  orv_txn_abort(r);
  EXPECT_EQ(live_readers(env_), 0);
}

// A failed environment refuses to renew a reset reader; the reader stays
// reset (no snapshot pinned), and renews again once the failure is gone.
TEST_P(TxnErrors, RenewOnAFailedEnvironment) {
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &r), 0);
  orv_txn_reset(r);
  EXPECT_EQ(live_readers(env_), 0);
  env_->me_flags |= ORV_FATAL_ERROR;
  EXPECT_EQ(orv_txn_renew(r), ORV_PANIC);
  EXPECT_EQ(live_readers(env_), 0);
  ORV_val k = val("k"), d{};
  // Still reset: it knows no handles.
  EXPECT_EQ(orv_get(r, MAIN_DBI, &k, &d), EINVAL);
  ORV_txn *t = nullptr;
  EXPECT_EQ(orv_txn_begin(env_, nullptr, 0, &t), ORV_PANIC);
  EXPECT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &t), ORV_PANIC);
  EXPECT_EQ(live_readers(env_), 0);
  env_->me_flags &= ~ORV_FATAL_ERROR;
  ASSERT_EQ(orv_txn_renew(r), 0);
  EXPECT_EQ(orv_get(r, MAIN_DBI, &k, &d), 0);
  EXPECT_EQ(live_readers(env_), 1);
  orv_txn_abort(r);
  expect_store_unchanged();
}

// Everything a reset reader is asked to do is refused until it is renewed.
// A reset reader knows no handles (its handle count is 0), so calls whose
// handle check comes first answer EINVAL rather than ORV_BAD_TXN.
TEST_P(TxnErrors, ResetReaderRefusesEverything) {
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &r), 0);
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(r, dbi_, &c), 0);
  orv_txn_reset(r);
  ORV_val k = val("k"), d{};
  ORV_cursor *c2 = nullptr;
  ORV_dbi dbi = 0;
  ORV_stat st;
  struct Case {
    const char *what;
    int rc;
    int want;
  } cases[] = {
      {"get", orv_get(r, MAIN_DBI, &k, &d), EINVAL},
      {"get named", orv_get(r, dbi_, &k, &d), EINVAL},
      {"cursor_open", orv_cursor_open(r, MAIN_DBI, &c2), EINVAL},
      {"cursor_get", orv_cursor_get(c, &k, &d, ORV_FIRST), ORV_BAD_TXN},
      {"dbi_open", orv_dbi_open(r, "named", 0, &dbi), ORV_BAD_TXN},
  };
  for (const Case &cs : cases) EXPECT_EQ(cs.rc, cs.want) << cs.what;
  for (int rc : {orv_cursor_renew(r, c), orv_stat(r, MAIN_DBI, &st)})
    EXPECT_TRUE(rc == EINVAL || rc == ORV_BAD_TXN) << rc;
  ORV_txn *child = nullptr;
  EXPECT_EQ(orv_txn_begin(env_, r, 0, &child), EINVAL);  // never a parent
  for (int rc : {orv_put(r, MAIN_DBI, &k, &k, 0), orv_del(r, MAIN_DBI, &k, nullptr)})
    EXPECT_TRUE(rc == EINVAL || rc == EACCES || rc == ORV_BAD_TXN) << rc;
  EXPECT_EQ(live_readers(env_), 0);
  // Renewed, it works again, cursors included.
  ASSERT_EQ(orv_txn_renew(r), 0);
  ASSERT_EQ(orv_cursor_renew(r, c), 0);
  ASSERT_EQ(orv_cursor_get(c, &k, &d, ORV_FIRST), 0);
  orv_cursor_close(c);
  // Commit of a reader ends it like an abort.
  EXPECT_EQ(orv_txn_commit(r), 0);
  expect_store_unchanged();
}

// A write transaction failed by a real failure (an interrupt) refuses every
// later operation with ORV_BAD_TXN, its commit is refused and ends it, and
// nothing of it reaches the store.
TEST_P(TxnErrors, FailedWriteTransactionRefusesEverything) {
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &w), 0);
  ORV_cursor *c = nullptr;
  ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
  ORV_val x = val("x"), k = val("k"), d{};
  ASSERT_EQ(orv_put(w, dbi_, &x, &x, 0), 0);
  ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
  EXPECT_EQ(orv_put(w, MAIN_DBI, &x, &x, 0), EINTR);
  ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  ASSERT_TRUE(w->mt_flags & ORV_TXN_ERROR);

  ORV_cursor *c2 = nullptr;
  ORV_dbi dbi = 0;
  ORV_stat st;
  ORV_txn *child = nullptr;
  struct Case {
    const char *what;
    int rc;
  } cases[] = {
      {"get", orv_get(w, MAIN_DBI, &k, &d)},
      {"del", orv_del(w, MAIN_DBI, &k, nullptr)},
      {"put", orv_put(w, dbi_, &k, &k, 0)},
      {"cursor_open", orv_cursor_open(w, MAIN_DBI, &c2)},
      {"cursor_get", orv_cursor_get(c, &k, &d, ORV_FIRST)},
      {"cursor_del", orv_cursor_del(c, 0)},
      {"dbi_open", orv_dbi_open(w, "other", ORV_CREATE, &dbi)},
      {"stat", orv_stat(w, MAIN_DBI, &st)},
      {"child", orv_txn_begin(env_, w, 0, &child)},
  };
  for (const Case &cs : cases) EXPECT_EQ(cs.rc, ORV_BAD_TXN) << cs.what;
  // The cursor write answers with the recorded failure.
  EXPECT_EQ(orv_cursor_put(c, &x, &x, 0), EINTR);
  EXPECT_EQ(orv_txn_commit(w), ORV_BAD_TXN);  // ends the transaction
  expect_store_unchanged();
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env_, nullptr, ORV_RDONLY, &r), 0);
  ASSERT_EQ(orv_dbi_open(r, "other", 0, &dbi), ORV_NOTFOUND);
  orv_txn_abort(r);
}

// A failed child takes its parent down: neither can commit, and the writer
// lock is free after the parent's refused commit.
TEST_P(TxnErrors, FailedChildFailsItsParent) {
  if (GetParam() & ORV_WRITEMAP) GTEST_SKIP() << "no nested transactions with ORV_WRITEMAP";
  for (bool commit_child_first : {true, false}) {
    SCOPED_TRACE(commit_child_first);
    ORV_txn *w = nullptr, *child = nullptr;
    ASSERT_EQ(orv_txn_begin(env_, nullptr, 0, &w), 0);
    ORV_val x = val("x");
    ASSERT_EQ(orv_put(w, MAIN_DBI, &x, &x, 0), 0);
    ASSERT_EQ(orv_txn_begin(env_, w, 0, &child), 0);
    ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
    EXPECT_EQ(orv_put(child, dbi_, &x, &x, 0), EINTR);
    ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
    if (commit_child_first) {
      EXPECT_EQ(orv_txn_commit(child), ORV_BAD_TXN);
    }
    EXPECT_NE(orv_txn_commit(w), 0);
    expect_store_unchanged();
  }
}

// Begin on a handle that was never opened, or whose open failed.
TEST(TxnBegin, UnopenedEnvironmentIsRefused) {
  ORV_env *env = nullptr;
  ASSERT_EQ(orv_env_create(&env), 0);
  ORV_txn *t = nullptr;
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &t), EINVAL);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), EINVAL);
  TempDir dir;
  EXPECT_EQ(orv_env_open(env, dir.c_str(), ORV_RDONLY, 0644), ENOENT);
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &t), EINVAL);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), EINVAL);
  EXPECT_EQ(t, nullptr);
  orv_env_close(env);
}

INSTANTIATE_TEST_SUITE_P(Modes, TxnErrors,
                         ::testing::Values(0u, unsigned{ORV_NOTLS}, unsigned{ORV_WRITEMAP}),
                         [](const auto &info) {
                           return info.param == 0           ? std::string("Default")
                                  : info.param == ORV_NOTLS ? std::string("NoTls")
                                                            : std::string("WriteMap");
                         });

}  // namespace
