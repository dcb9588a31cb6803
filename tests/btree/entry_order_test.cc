// [entry order]: the argument and state checks of the exported data, cursor
// and database-handle functions, in the order each one makes them
// (lib/btree/cursor.cc, cursor_get.cc, put.cc, delete.cc, dbi.cc).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "orv.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

struct Case {
  const char *what;
  std::function<int()> call;
  int expected;
};

void run(const Case *cases, size_t n) {
  for (size_t i = 0; i < n; i++) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(cases[i].call(), cases[i].expected);
  }
}

class EntryOrder : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *w = begin();
    ASSERT_NE(w, nullptr);
    dbi_ = open_db(w, "t", 0);
    dup_ = open_db(w, "d", ORV_DUPSORT | ORV_DUPFIXED);
    ORV_val k = val(ks_), d = val(vs_);
    ASSERT_EQ(orv_put(w, dbi_, &k, &d, 0), 0);
    ASSERT_EQ(orv_txn_commit(w), 0);
  }
  ORV_dbi dbi_ = 0, dup_ = 0;
  std::string ks_ = "key", vs_ = "value";
};

// A reset read-only transaction knows no handles: every handle check
// answers EINVAL before the transaction's state is looked at.
TEST_F(EntryOrder, ResetTransactionKnowsNoHandles) {
  ORV_txn *r = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  orv_txn_reset(r);
  ORV_val k = val(ks_), d{};
  ORV_cursor *c = nullptr;
  ORV_stat st;
  unsigned flags = 0;
  const Case cases[] = {
      {"get", [&] { return orv_get(r, dbi_, &k, &d); }, EINVAL},
      {"get main", [&] { return orv_get(r, ORV_dbi{1}, &k, &d); }, EINVAL},
      {"cursor_open", [&] { return orv_cursor_open(r, dbi_, &c); }, EINVAL},
      {"stat", [&] { return orv_stat(r, dbi_, &st); }, EINVAL},
      {"dbi_flags", [&] { return orv_dbi_flags(r, dbi_, &flags); }, EINVAL},
      {"put", [&] { return orv_put(r, dbi_, &k, &d, 0); }, EINVAL},
      {"del", [&] { return orv_del(r, dbi_, &k, nullptr); }, EINVAL},
  };
  run(cases, std::size(cases));
  EXPECT_EQ(c, nullptr);
  orv_txn_abort(r);
}

// A handle closed while a transaction runs means one thing everywhere.
TEST_F(EntryOrder, StaleHandleIsBadDbiEverywhere) {
  ORV_txn *w = begin();
  ASSERT_NE(w, nullptr);
  orv_dbi_close(env_, dbi_);
  ORV_val k = val(ks_), d = val(vs_), got{};
  ORV_cursor *c = nullptr;
  ORV_stat st;
  unsigned flags = 0;
  const Case cases[] = {
      {"put", [&] { return orv_put(w, dbi_, &k, &d, 0); }, ORV_BAD_DBI},
      {"del", [&] { return orv_del(w, dbi_, &k, nullptr); }, ORV_BAD_DBI},
      {"get", [&] { return orv_get(w, dbi_, &k, &got); }, ORV_BAD_DBI},
      {"stat", [&] { return orv_stat(w, dbi_, &st); }, ORV_BAD_DBI},
      {"dbi_flags", [&] { return orv_dbi_flags(w, dbi_, &flags); }, ORV_BAD_DBI},
      {"set_compare", [&] { return orv_set_compare(w, dbi_, nullptr); }, ORV_BAD_DBI},
      {"set_relctx", [&] { return orv_set_relctx(w, dbi_, nullptr); }, ORV_BAD_DBI},
      // Argument errors still come first.
      {"put, bad flags", [&] { return orv_put(w, dbi_, &k, &d, ORV_CURRENT); }, EINVAL},
      {"get, null data", [&] { return orv_get(w, dbi_, &k, nullptr); }, EINVAL},
      {"del, null key", [&] { return orv_del(w, dbi_, nullptr, nullptr); }, EINVAL},
  };
  run(cases, std::size(cases));
  // A cursor may be opened on it; its first descent refuses the handle.
  ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
  ORV_val ck{}, cd{};
  EXPECT_EQ(orv_cursor_get(c, &ck, &cd, ORV_FIRST), ORV_BAD_DBI);
  orv_cursor_close(c);
  // Nothing was written: the transaction is still good for other handles.
  EXPECT_EQ(orv_put(w, dup_, &k, &d, 0), 0);
  orv_txn_abort(w);
}

// A parent whose child runs is blocked; argument and handle errors still
// come before ORV_BAD_TXN, and a read-only transaction's EACCES before it.
TEST_F(EntryOrder, ArgumentsThenAccessThenTransactionState) {
  ORV_txn *parent = begin();
  ASSERT_NE(parent, nullptr);
  ORV_txn *child = begin(0, parent);
  ASSERT_NE(child, nullptr);
  ORV_val k = val(ks_), d = val(vs_), got{};
  ORV_cursor *c = nullptr;
  const Case blocked[] = {
      {"get", [&] { return orv_get(parent, dbi_, &k, &got); }, ORV_BAD_TXN},
      {"put", [&] { return orv_put(parent, dbi_, &k, &d, 0); }, ORV_BAD_TXN},
      {"del", [&] { return orv_del(parent, dbi_, &k, nullptr); }, ORV_BAD_TXN},
      {"cursor_open", [&] { return orv_cursor_open(parent, dbi_, &c); }, ORV_BAD_TXN},
      {"get, null key", [&] { return orv_get(parent, dbi_, nullptr, &got); }, EINVAL},
      {"put, unknown handle", [&] { return orv_put(parent, 99, &k, &d, 0); }, EINVAL},
      {"put, bad flags", [&] { return orv_put(parent, dbi_, &k, &d, 0x1); }, EINVAL},
      {"cursor_open, null out", [&] { return orv_cursor_open(parent, dbi_, nullptr); }, EINVAL},
      {"cursor_open, free db", [&] { return orv_cursor_open(parent, ORV_dbi{0}, &c); },
       ORV_BAD_TXN},
  };
  run(blocked, std::size(blocked));
  EXPECT_EQ(c, nullptr);
  orv_txn_abort(child);
  orv_txn_abort(parent);

  ORV_txn *r = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  const Case rdonly[] = {
      {"put", [&] { return orv_put(r, dbi_, &k, &d, 0); }, EACCES},
      {"del", [&] { return orv_del(r, dbi_, &k, nullptr); }, EACCES},
      {"put, bad flags", [&] { return orv_put(r, dbi_, &k, &d, ORV_MULTIPLE); }, EINVAL},
      {"del, unknown handle", [&] { return orv_del(r, 99, &k, nullptr); }, EINVAL},
      {"get", [&] { return orv_get(r, dbi_, &k, &got); }, 0},
  };
  run(rdonly, std::size(rdonly));
  orv_txn_abort(r);
}

// A refused write leaves the caller's descriptors as they were, the value
// count of an ORV_MULTIPLE write included.
TEST_F(EntryOrder, RefusedMultipleWriteKeepsTheCount) {
  ORV_txn *r = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  CursorPtr c = open_cursor(r, dup_);
  ASSERT_NE(c, nullptr);
  char values[8] = {};
  ORV_val k = val(ks_);
  ORV_val data[2] = {{4, values}, {2, nullptr}};
  EXPECT_EQ(orv_cursor_put(c.get(), &k, data, ORV_MULTIPLE), EACCES);
  EXPECT_EQ(data[1].mv_size, 2u);
  EXPECT_EQ(data[0].mv_size, 4u);
  c.reset();
  orv_txn_abort(r);
}

}  // namespace
