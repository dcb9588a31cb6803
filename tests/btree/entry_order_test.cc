// [entry order]: the argument and state checks of the exported data, cursor,
// duplicate-listing and database-handle functions, in the order each one
// makes them (lib/btree/cursor.cc, cursor_get.cc, put.cc, delete.cc,
// list_dup.cc, dbi.cc). Each row breaks one precondition, or two to pin
// which check answers first.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "orv.h"
#include "txn/txn.h"
#include "util/case_table.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

int cmp_any(const ORV_val *, const ORV_val *) { return 0; }

class EntryOrder : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *w = begin();
    ASSERT_NE(w, nullptr);
    dbi_ = open_db(w, "t", 0);
    dup_ = open_db(w, "d", ORV_DUPSORT | ORV_DUPFIXED);
    stale_ = open_db(w, "s", 0);
    ORV_val k = val(ks_), d = val(vs_);
    ASSERT_EQ(orv_put(w, dbi_, &k, &d, 0), 0);
    ASSERT_EQ(orv_put(w, stale_, &k, &d, 0), 0);
    for (const char *v : {"cccc", "aaaa", "bbbb"}) {
      ORV_val dv = lit(v);
      ASSERT_EQ(orv_put(w, dup_, &k, &dv, 0), 0);
    }
    ORV_val one = val(one_), dv = lit("zzzz");
    ASSERT_EQ(orv_put(w, dup_, &one, &dv, 0), 0);
    // A plain key of the main database, not a database record.
    ORV_val plain = val(plain_);
    ASSERT_EQ(orv_put(w, ORV_dbi{1}, &plain, &d, 0), 0);
    ASSERT_EQ(orv_txn_commit(w), 0);
  }

  // A write transaction with a live child: the parent is blocked, and in
  // both the handle stale_ was closed after they began.
  void begin_blocked() {
    parent_ = begin();
    ASSERT_NE(parent_, nullptr);
    orv_dbi_close(env_, stale_);
    child_ = begin(0, parent_);
    ASSERT_NE(child_, nullptr);
  }

  ORV_dbi dbi_ = 0, dup_ = 0, stale_ = 0;
  ORV_txn *parent_ = nullptr, *child_ = nullptr;
  std::string ks_ = "key", vs_ = "value", one_ = "one", plain_ = "plain";
  std::string long_ = std::string(ORV_MAXKEYSIZE + 1, 'k');
  std::string long_value_ = std::string(ORV_MAXKEYSIZE + 1, 'v');
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
  ORV_dbi h = 0;
  const Case cases[] = {
      {"get", [&] { return orv_get(r, dbi_, &k, &d); }, EINVAL},
      {"get main", [&] { return orv_get(r, ORV_dbi{1}, &k, &d); }, EINVAL},
      {"cursor_open", [&] { return orv_cursor_open(r, dbi_, &c); }, EINVAL},
      {"stat", [&] { return orv_stat(r, dbi_, &st); }, EINVAL},
      {"dbi_flags", [&] { return orv_dbi_flags(r, dbi_, &flags); }, EINVAL},
      {"put", [&] { return orv_put(r, dbi_, &k, &d, 0); }, EINVAL},
      {"del", [&] { return orv_del(r, dbi_, &k, nullptr); }, EINVAL},
      {"set_compare", [&] { return orv_set_compare(r, dbi_, nullptr); }, EINVAL},
      // Opening a handle looks at the state first.
      {"dbi_open", [&] { return orv_dbi_open(r, "t", 0, &h); }, ORV_BAD_TXN},
  };
  run_cases(cases);
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
      {"dbi_flags, null out", [&] { return orv_dbi_flags(w, dbi_, nullptr); }, EINVAL},
      {"stat, null out", [&] { return orv_stat(w, dbi_, nullptr); }, EINVAL},
  };
  run_cases(cases);
  // A cursor may be opened on it; its first descent refuses the handle.
  ASSERT_EQ(orv_cursor_open(w, dbi_, &c), 0);
  ORV_val ck{}, cd{};
  EXPECT_EQ(orv_cursor_get(c, &ck, &cd, ORV_FIRST), ORV_BAD_DBI);
  orv_cursor_close(c);
  // Nothing was written: the transaction is still good for other handles.
  EXPECT_EQ(orv_put(w, stale_, &k, &d, 0), 0);
  orv_txn_abort(w);
}

// orv_get, orv_put, orv_del: arguments and handle (EINVAL), the handle's
// sequence (ORV_BAD_DBI), access (EACCES, writes), the transaction's state
// (ORV_BAD_TXN), then what the request itself is worth.
TEST_F(EntryOrder, GetPutDel) {
  ORV_txn *r = begin(ORV_RDONLY), *rf = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(rf, nullptr);
  orv_txn_fail(rf, ORV_TXN_FULL);
  begin_blocked();
  ORV_txn *c = child_, *p = parent_;
  ORV_val k = val(ks_), d = val(vs_), got{}, none{0, nullptr}, lk = val(long_),
          lv = val(long_value_), absent = lit("absent");
  const Case get[] = {
      {"null txn", [&] { return orv_get(nullptr, dbi_, &k, &got); }, EINVAL},
      {"null key", [&] { return orv_get(c, dbi_, nullptr, &got); }, EINVAL},
      {"null data", [&] { return orv_get(c, dbi_, &k, nullptr); }, EINVAL},
      {"unknown handle", [&] { return orv_get(c, 99, &k, &got); }, EINVAL},
      {"free-page database", [&] { return orv_get(r, ORV_dbi{0}, &k, &got); }, EINVAL},
      {"stale handle", [&] { return orv_get(c, stale_, &k, &got); }, ORV_BAD_DBI},
      {"stale handle, null data", [&] { return orv_get(c, stale_, &k, nullptr); }, EINVAL},
      {"blocked", [&] { return orv_get(p, dbi_, &k, &got); }, ORV_BAD_TXN},
      {"blocked, stale handle", [&] { return orv_get(p, stale_, &k, &got); }, ORV_BAD_DBI},
      {"blocked, unknown handle", [&] { return orv_get(p, 99, &k, &got); }, EINVAL},
      {"blocked, empty key", [&] { return orv_get(p, dbi_, &none, &got); }, ORV_BAD_TXN},
      {"failed reader", [&] { return orv_get(rf, dbi_, &k, &got); }, ORV_BAD_TXN},
      {"empty key", [&] { return orv_get(r, dbi_, &none, &got); }, ORV_BAD_VALSIZE},
      {"absent key", [&] { return orv_get(r, dbi_, &absent, &got); }, ORV_NOTFOUND},
      {"present", [&] { return orv_get(r, dbi_, &k, &got); }, 0},
  };
  run_cases(get);
  const Case put[] = {
      {"null txn", [&] { return orv_put(nullptr, dbi_, &k, &d, 0); }, EINVAL},
      {"null key", [&] { return orv_put(c, dbi_, nullptr, &d, 0); }, EINVAL},
      {"null data", [&] { return orv_put(c, dbi_, &k, nullptr, 0); }, EINVAL},
      {"cursor-only flag", [&] { return orv_put(c, dbi_, &k, &d, ORV_CURRENT); }, EINVAL},
      {"multiple", [&] { return orv_put(c, dup_, &k, &d, ORV_MULTIPLE); }, EINVAL},
      {"unknown handle", [&] { return orv_put(c, 99, &k, &d, 0); }, EINVAL},
      {"free-page database", [&] { return orv_put(c, ORV_dbi{0}, &k, &d, 0); }, EINVAL},
      {"read-only", [&] { return orv_put(r, dbi_, &k, &d, 0); }, EACCES},
      {"read-only, bad flags", [&] { return orv_put(r, dbi_, &k, &d, 0x1); }, EINVAL},
      {"read-only, key too long", [&] { return orv_put(r, dbi_, &lk, &d, 0); }, EACCES},
      {"read-only, failed", [&] { return orv_put(rf, dbi_, &k, &d, 0); }, EACCES},
      {"stale handle", [&] { return orv_put(c, stale_, &k, &d, 0); }, ORV_BAD_DBI},
      {"stale handle, bad flags", [&] { return orv_put(c, stale_, &k, &d, 0x1); }, EINVAL},
      {"blocked", [&] { return orv_put(p, dbi_, &k, &d, 0); }, ORV_BAD_TXN},
      {"blocked, stale handle", [&] { return orv_put(p, stale_, &k, &d, 0); }, ORV_BAD_DBI},
      {"blocked, key too long", [&] { return orv_put(p, dbi_, &lk, &d, 0); }, ORV_BAD_TXN},
      {"key too long", [&] { return orv_put(c, dbi_, &lk, &d, 0); }, ORV_BAD_VALSIZE},
      {"empty key", [&] { return orv_put(c, dbi_, &none, &d, 0); }, ORV_BAD_VALSIZE},
      {"duplicate too long", [&] { return orv_put(c, dup_, &k, &lv, 0); }, ORV_BAD_VALSIZE},
      {"existing, no overwrite", [&] { return orv_put(c, dbi_, &k, &d, ORV_NOOVERWRITE); },
       ORV_KEYEXIST},
  };
  run_cases(put);
  const Case del[] = {
      {"null txn", [&] { return orv_del(nullptr, dbi_, &k, nullptr); }, EINVAL},
      {"null key", [&] { return orv_del(c, dbi_, nullptr, nullptr); }, EINVAL},
      {"unknown handle", [&] { return orv_del(c, 99, &k, nullptr); }, EINVAL},
      {"free-page database", [&] { return orv_del(c, ORV_dbi{0}, &k, nullptr); }, EINVAL},
      {"read-only", [&] { return orv_del(r, dbi_, &k, nullptr); }, EACCES},
      {"read-only, null key", [&] { return orv_del(r, dbi_, nullptr, nullptr); }, EINVAL},
      {"read-only, failed", [&] { return orv_del(rf, dbi_, &k, nullptr); }, EACCES},
      {"stale handle", [&] { return orv_del(c, stale_, &k, nullptr); }, ORV_BAD_DBI},
      {"blocked", [&] { return orv_del(p, dbi_, &k, nullptr); }, ORV_BAD_TXN},
      {"blocked, stale handle", [&] { return orv_del(p, stale_, &k, nullptr); }, ORV_BAD_DBI},
      {"blocked, absent key", [&] { return orv_del(p, dbi_, &absent, nullptr); }, ORV_BAD_TXN},
      {"empty key", [&] { return orv_del(c, dbi_, &none, nullptr); }, ORV_BAD_VALSIZE},
      {"absent key", [&] { return orv_del(c, dbi_, &absent, nullptr); }, ORV_NOTFOUND},
      {"absent pair", [&] { return orv_del(c, dup_, &k, &absent); }, ORV_NOTFOUND},
  };
  run_cases(del);
  // None of the refusals wrote anything: the child has no dirty page.
  EXPECT_EQ(orv_txn_commit(child_), 0);
  ASSERT_EQ(orv_get(p, dbi_, &k, &got), 0);
  EXPECT_EQ(str(got), vs_);
  orv_txn_abort(p);
  orv_txn_abort(rf);
  orv_txn_abort(r);
}

// A failed write transaction refuses every operation with ORV_BAD_TXN;
// only a write through a cursor answers the code that failed it.
TEST_F(EntryOrder, FailedTransaction) {
  ORV_txn *w = begin();
  ASSERT_NE(w, nullptr);
  CursorPtr cur = open_cursor(w, dbi_);
  ASSERT_NE(cur, nullptr);
  ORV_val k = val(ks_), d = val(vs_), ck{}, cd{};
  ASSERT_EQ(orv_cursor_get(cur.get(), &ck, &cd, ORV_FIRST), 0);
  orv_txn_fail(w, ORV_TXN_FULL);
  ORV_cursor *c2 = nullptr;
  ORV_dbi h = 0;
  ORV_stat st;
  uint64_t n = 0;
  const Case cases[] = {
      {"get", [&] { return orv_get(w, dbi_, &k, &cd); }, ORV_BAD_TXN},
      {"put", [&] { return orv_put(w, dbi_, &k, &d, 0); }, ORV_BAD_TXN},
      {"del", [&] { return orv_del(w, dbi_, &k, nullptr); }, ORV_BAD_TXN},
      {"stat", [&] { return orv_stat(w, dbi_, &st); }, ORV_BAD_TXN},
      {"dbi_open", [&] { return orv_dbi_open(w, "t", 0, &h); }, ORV_BAD_TXN},
      {"cursor_open", [&] { return orv_cursor_open(w, dbi_, &c2); }, ORV_BAD_TXN},
      {"cursor_get", [&] { return orv_cursor_get(cur.get(), &ck, &cd, ORV_NEXT); }, ORV_BAD_TXN},
      {"cursor_count", [&] { return orv_cursor_count(cur.get(), &n); }, ORV_INCOMPATIBLE},
      {"cursor_del", [&] { return orv_cursor_del(cur.get(), 0); }, ORV_BAD_TXN},
      {"cursor_put", [&] { return orv_cursor_put(cur.get(), &k, &d, 0); }, ORV_TXN_FULL},
      {"cursor_put, null key", [&] { return orv_cursor_put(cur.get(), nullptr, &d, 0); }, EINVAL},
      {"commit", [&] { return orv_txn_commit(w); }, ORV_BAD_TXN},
  };
  run_cases(cases);
  EXPECT_EQ(c2, nullptr);
  cur.release();  // the refused commit aborted the transaction and its cursors
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
  run_cases(blocked);
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
  run_cases(rdonly);
  orv_txn_abort(r);
}

// Database handles: orv_dbi_open tests its flags and the state, then looks
// for the name; the queries and setters test the handle only, orv_stat the
// state as well.
TEST_F(EntryOrder, DatabaseHandles) {
  ORV_txn *r = begin(ORV_RDONLY);
  ORV_txn *rr = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(rr, nullptr);
  orv_txn_reset(rr);
  begin_blocked();
  ORV_txn *c = child_, *p = parent_;
  ORV_dbi h = 0;
  unsigned flags = 0;
  ORV_stat st;
  const Case open[] = {
      {"null txn", [&] { return orv_dbi_open(nullptr, "t", 0, &h); }, EINVAL},
      {"null out", [&] { return orv_dbi_open(c, "t", 0, nullptr); }, EINVAL},
      {"unknown flag", [&] { return orv_dbi_open(c, "t", 0x1, &h); }, EINVAL},
      {"blocked", [&] { return orv_dbi_open(p, "t", 0, &h); }, ORV_BAD_TXN},
      {"blocked, main", [&] { return orv_dbi_open(p, nullptr, 0, &h); }, ORV_BAD_TXN},
      {"blocked, unknown flag", [&] { return orv_dbi_open(p, "t", 0x1, &h); }, EINVAL},
      {"reset reader", [&] { return orv_dbi_open(rr, "t", 0, &h); }, ORV_BAD_TXN},
      {"reader, absent", [&] { return orv_dbi_open(r, "absent", 0, &h); }, ORV_NOTFOUND},
      {"reader, absent, create", [&] { return orv_dbi_open(r, "absent", ORV_CREATE, &h); }, EACCES},
      {"empty name, create", [&] { return orv_dbi_open(c, "", ORV_CREATE, &h); }, ORV_BAD_VALSIZE},
      {"name of a plain key", [&] { return orv_dbi_open(c, plain_.c_str(), 0, &h); },
       ORV_INCOMPATIBLE},
      {"open, flags ignored", [&] { return orv_dbi_open(c, "t", ORV_DUPSORT, &h); }, 0},
  };
  run_cases(open);
  EXPECT_EQ(h, dbi_);
  const Case query[] = {
      {"flags, null txn", [&] { return orv_dbi_flags(nullptr, dbi_, &flags); }, EINVAL},
      {"flags, unknown handle", [&] { return orv_dbi_flags(c, 99, &flags); }, EINVAL},
      {"flags, free-page database", [&] { return orv_dbi_flags(c, ORV_dbi{0}, &flags); }, EINVAL},
      {"flags, null out", [&] { return orv_dbi_flags(c, dup_, nullptr); }, EINVAL},
      {"flags, stale handle", [&] { return orv_dbi_flags(c, stale_, &flags); }, ORV_BAD_DBI},
      {"flags, blocked", [&] { return orv_dbi_flags(p, dup_, &flags); }, 0},
      {"stat, null txn", [&] { return orv_stat(nullptr, dbi_, &st); }, EINVAL},
      {"stat, unknown handle", [&] { return orv_stat(c, 99, &st); }, EINVAL},
      {"stat, free-page database", [&] { return orv_stat(c, ORV_dbi{0}, &st); }, 0},
      {"stat, stale handle", [&] { return orv_stat(c, stale_, &st); }, ORV_BAD_DBI},
      {"stat, blocked", [&] { return orv_stat(p, dbi_, &st); }, ORV_BAD_TXN},
      {"stat, blocked, stale handle", [&] { return orv_stat(p, stale_, &st); }, ORV_BAD_DBI},
      {"stat, blocked, null out", [&] { return orv_stat(p, dbi_, nullptr); }, EINVAL},
      {"stat, blocked, unknown handle", [&] { return orv_stat(p, 99, &st); }, EINVAL},
  };
  run_cases(query);
  EXPECT_EQ(flags, ORV_DUPSORT | ORV_DUPFIXED);
  const Case setters[] = {
      {"compare, null txn", [&] { return orv_set_compare(nullptr, dbi_, cmp_any); }, EINVAL},
      {"compare, unknown handle", [&] { return orv_set_compare(c, 99, cmp_any); }, EINVAL},
      {"compare, free-page database", [&] { return orv_set_compare(c, ORV_dbi{0}, cmp_any); },
       EINVAL},
      {"compare, stale handle", [&] { return orv_set_compare(c, stale_, cmp_any); }, ORV_BAD_DBI},
      {"dupsort, unknown handle", [&] { return orv_set_dupsort(c, 99, cmp_any); }, EINVAL},
      {"dupsort, stale handle", [&] { return orv_set_dupsort(c, stale_, cmp_any); }, ORV_BAD_DBI},
      {"relfunc, free-page database", [&] { return orv_set_relfunc(c, ORV_dbi{0}, nullptr); },
       EINVAL},
      {"relfunc, stale handle", [&] { return orv_set_relfunc(c, stale_, nullptr); }, ORV_BAD_DBI},
      {"relctx, null txn", [&] { return orv_set_relctx(nullptr, dbi_, nullptr); }, EINVAL},
      {"relctx, stale handle", [&] { return orv_set_relctx(c, stale_, nullptr); }, ORV_BAD_DBI},
      // The setters do not look at the transaction's state.
      {"relctx, blocked", [&] { return orv_set_relctx(p, dbi_, nullptr); }, 0},
      {"relfunc, reader", [&] { return orv_set_relfunc(r, dbi_, nullptr); }, 0},
  };
  run_cases(setters);
  orv_txn_abort(p);
  orv_txn_abort(rr);
  orv_txn_abort(r);
}

// A table of maxdbs slots that is full refuses a new name, after the flags
// and the state were tested; names already open are still found.
TEST_F(EntryOrder, FullHandleTable) {
  ORV_txn *w = begin();
  ASSERT_NE(w, nullptr);
  ORV_dbi h = 0;
  for (int i = 0; i < 5; i++) {
    const std::string name = "n" + std::to_string(i);
    ASSERT_EQ(orv_dbi_open(w, name.c_str(), ORV_CREATE, &h), 0) << name;
  }
  const Case full[] = {
      {"new name", [&] { return orv_dbi_open(w, "more", ORV_CREATE, &h); }, ORV_DBS_FULL},
      {"new name, unknown flag", [&] { return orv_dbi_open(w, "more", 0x1, &h); }, EINVAL},
      {"new name, without create", [&] { return orv_dbi_open(w, "more", 0, &h); }, ORV_DBS_FULL},
      {"open name", [&] { return orv_dbi_open(w, "n0", 0, &h); }, 0},
  };
  run_cases(full);
  ORV_txn *child = begin(0, w);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(orv_dbi_open(w, "more", ORV_CREATE, &h), ORV_BAD_TXN);
  orv_txn_abort(child);
  orv_txn_abort(w);
}

// Cursors: open, renew, get, put, del and count. A cursor of a reset
// reader stands for a finished transaction.
TEST_F(EntryOrder, Cursors) {
  ORV_txn *r = begin(ORV_RDONLY), *r2 = begin(ORV_RDONLY), *rr = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r2, nullptr);
  ASSERT_NE(rr, nullptr);
  CursorPtr rc = open_cursor(r, dbi_), rdup = open_cursor(r, dup_);
  CursorPtr fin = open_cursor(rr, dbi_), findup = open_cursor(rr, dup_);
  CursorPtr failed = open_cursor(r2, dbi_);
  ORV_val k = val(ks_), d = val(vs_), got{}, none{0, nullptr}, lk = val(long_);
  orv_txn_reset(rr);
  begin_blocked();
  ORV_txn *c = child_, *p = parent_;
  CursorPtr wc = open_cursor(c, dbi_);
  ORV_cursor *out = nullptr;
  const Case open[] = {
      {"null out", [&] { return orv_cursor_open(c, dbi_, nullptr); }, EINVAL},
      {"null txn", [&] { return orv_cursor_open(nullptr, dbi_, &out); }, EINVAL},
      {"unknown handle", [&] { return orv_cursor_open(c, 99, &out); }, EINVAL},
      {"reset reader", [&] { return orv_cursor_open(rr, dbi_, &out); }, EINVAL},
      {"blocked", [&] { return orv_cursor_open(p, dbi_, &out); }, ORV_BAD_TXN},
      {"blocked, unknown handle", [&] { return orv_cursor_open(p, 99, &out); }, EINVAL},
      {"writer, free-page database", [&] { return orv_cursor_open(c, ORV_dbi{0}, &out); }, EINVAL},
  };
  run_cases(open);
  EXPECT_EQ(out, nullptr);
  const Case renew[] = {
      {"null txn", [&] { return orv_cursor_renew(nullptr, rc.get()); }, EINVAL},
      {"null cursor", [&] { return orv_cursor_renew(r2, nullptr); }, EINVAL},
      {"writer's cursor", [&] { return orv_cursor_renew(r2, wc.get()); }, EINVAL},
      {"into a writer", [&] { return orv_cursor_renew(c, rc.get()); }, EINVAL},
      {"into a reset reader", [&] { return orv_cursor_renew(rr, rc.get()); }, EINVAL},
  };
  run_cases(renew);
  orv_txn_fail(r2, ORV_TXN_FULL);
  const Case renew_failed[] = {
      {"into a failed reader", [&] { return orv_cursor_renew(r2, rc.get()); }, ORV_BAD_TXN},
      {"writer's cursor, failed reader", [&] { return orv_cursor_renew(r2, wc.get()); }, EINVAL},
  };
  run_cases(renew_failed);
  const Case get[] = {
      {"null cursor", [&] { return orv_cursor_get(nullptr, &k, &got, ORV_FIRST); }, EINVAL},
      {"finished", [&] { return orv_cursor_get(fin.get(), &k, &got, ORV_FIRST); }, ORV_BAD_TXN},
      {"failed reader", [&] { return orv_cursor_get(failed.get(), &k, &got, ORV_FIRST); },
       ORV_BAD_TXN},
      {"finished, unknown op",
       [&] { return orv_cursor_get(fin.get(), &k, &got, static_cast<ORV_cursor_op>(19)); },
       ORV_BAD_TXN},
      {"finished, set without key",
       [&] { return orv_cursor_get(fin.get(), nullptr, &got, ORV_SET); }, ORV_BAD_TXN},
      {"unknown op",
       [&] { return orv_cursor_get(rc.get(), &k, &got, static_cast<ORV_cursor_op>(19)); }, EINVAL},
      {"current, unpositioned", [&] { return orv_cursor_get(rc.get(), &k, &got, ORV_GET_CURRENT); },
       EINVAL},
      {"first dup, unpositioned",
       [&] { return orv_cursor_get(rdup.get(), &k, &got, ORV_FIRST_DUP); }, EINVAL},
      {"multiple, unpositioned",
       [&] { return orv_cursor_get(rdup.get(), &k, &got, ORV_GET_MULTIPLE); }, EINVAL},
      {"set without key", [&] { return orv_cursor_get(rc.get(), nullptr, &got, ORV_SET); }, EINVAL},
      {"set range, empty key", [&] { return orv_cursor_get(rc.get(), &none, &got, ORV_SET_RANGE); },
       ORV_BAD_VALSIZE},
      {"both without data", [&] { return orv_cursor_get(rc.get(), &k, nullptr, ORV_GET_BOTH); },
       EINVAL},
      {"both, no duplicates", [&] { return orv_cursor_get(rc.get(), &k, &d, ORV_GET_BOTH); },
       ORV_INCOMPATIBLE},
      {"both without key", [&] { return orv_cursor_get(rdup.get(), nullptr, &d, ORV_GET_BOTH); },
       EINVAL},
      {"next multiple, not fixed-size",
       [&] { return orv_cursor_get(rc.get(), &k, &got, ORV_NEXT_MULTIPLE); }, ORV_INCOMPATIBLE},
      {"prev multiple without data",
       [&] { return orv_cursor_get(rc.get(), &k, nullptr, ORV_PREV_MULTIPLE); }, EINVAL},
      {"first", [&] { return orv_cursor_get(rc.get(), &k, &got, ORV_FIRST); }, 0},
      {"multiple, not fixed-size",
       [&] { return orv_cursor_get(rc.get(), &k, &got, ORV_GET_MULTIPLE); }, ORV_INCOMPATIBLE},
      {"multiple without data, not fixed-size",
       [&] { return orv_cursor_get(rc.get(), &k, nullptr, ORV_GET_MULTIPLE); }, EINVAL},
  };
  run_cases(get);
  k = val(ks_);
  d = val(vs_);
  const Case put[] = {
      {"null cursor", [&] { return orv_cursor_put(nullptr, &k, &d, 0); }, EINVAL},
      {"null key", [&] { return orv_cursor_put(wc.get(), nullptr, &d, 0); }, EINVAL},
      {"null data", [&] { return orv_cursor_put(wc.get(), &k, nullptr, 0); }, EINVAL},
      {"unknown flag", [&] { return orv_cursor_put(wc.get(), &k, &d, 0x1); }, EINVAL},
      {"multiple, not fixed-size",
       [&] {
         ORV_val two[2] = {d, {1, nullptr}};
         return orv_cursor_put(wc.get(), &k, two, ORV_MULTIPLE);
       },
       ORV_INCOMPATIBLE},
      {"read-only, multiple, not fixed-size",
       [&] {
         ORV_val two[2] = {d, {1, nullptr}};
         return orv_cursor_put(rc.get(), &k, two, ORV_MULTIPLE);
       },
       ORV_INCOMPATIBLE},
      {"read-only", [&] { return orv_cursor_put(rc.get(), &k, &d, 0); }, EACCES},
      {"read-only, key too long", [&] { return orv_cursor_put(rc.get(), &lk, &d, 0); }, EACCES},
      {"finished", [&] { return orv_cursor_put(fin.get(), &k, &d, 0); }, EACCES},
      {"failed reader", [&] { return orv_cursor_put(failed.get(), &k, &d, 0); }, EACCES},
      {"key too long", [&] { return orv_cursor_put(wc.get(), &lk, &d, 0); }, ORV_BAD_VALSIZE},
      {"current, unpositioned", [&] { return orv_cursor_put(wc.get(), &k, &d, ORV_CURRENT); },
       EINVAL},
      {"current, key too long", [&] { return orv_cursor_put(wc.get(), &lk, &d, ORV_CURRENT); },
       ORV_BAD_VALSIZE},
  };
  run_cases(put);
  const Case del[] = {
      {"null cursor", [] { return orv_cursor_del(nullptr, 0); }, EINVAL},
      {"read-only", [&] { return orv_cursor_del(rc.get(), 0); }, EACCES},
      {"finished, unpositioned", [&] { return orv_cursor_del(fin.get(), 0); }, EACCES},
      {"failed reader", [&] { return orv_cursor_del(failed.get(), 0); }, EACCES},
      {"unpositioned", [&] { return orv_cursor_del(wc.get(), 0); }, EINVAL},
  };
  run_cases(del);
  uint64_t n = 0;
  const Case count[] = {
      {"null cursor", [&] { return orv_cursor_count(nullptr, &n); }, EINVAL},
      {"null out", [&] { return orv_cursor_count(rdup.get(), nullptr); }, EINVAL},
      {"no duplicates", [&] { return orv_cursor_count(rc.get(), &n); }, ORV_INCOMPATIBLE},
      // The database's kind is tested before the transaction.
      {"finished, no duplicates", [&] { return orv_cursor_count(fin.get(), &n); },
       ORV_INCOMPATIBLE},
      {"finished", [&] { return orv_cursor_count(findup.get(), &n); }, ORV_BAD_TXN},
      {"unpositioned", [&] { return orv_cursor_count(rdup.get(), &n); }, EINVAL},
  };
  run_cases(count);
  ORV_val dk = val(ks_), dv{};
  ASSERT_EQ(orv_cursor_get(rdup.get(), &dk, &dv, ORV_SET), 0);
  EXPECT_EQ(orv_cursor_count(rdup.get(), &n), 0);
  EXPECT_EQ(n, 3u);

  // The interrupt is tested with the state, before the arguments of the op.
  ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
  EXPECT_EQ(orv_cursor_get(rc.get(), nullptr, &got, ORV_SET), EINTR);
  EXPECT_EQ(orv_cursor_get(nullptr, &k, &got, ORV_FIRST), EINVAL);
  ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
  EXPECT_EQ(orv_cursor_get(rc.get(), &k, &got, ORV_FIRST), ORV_BAD_TXN);

  wc.release();  // released with its transaction
  orv_txn_abort(p);
  rc.reset();
  rdup.reset();
  fin.reset();
  findup.reset();
  failed.reset();
  orv_txn_abort(rr);
  orv_txn_abort(r2);
  orv_txn_abort(r);
}

// orv_cursor_list_dup: arguments, then the transaction, then the
// database's kind, then the position.
TEST_F(EntryOrder, ListDuplicates) {
  ORV_txn *r = begin(ORV_RDONLY), *rr = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(rr, nullptr);
  CursorPtr dup = open_cursor(r, dup_), plain = open_cursor(r, dbi_);
  CursorPtr fin = open_cursor(rr, dup_), finplain = open_cursor(rr, dbi_);
  ORV_val k = val(ks_), one = val(one_), d{};
  ASSERT_EQ(orv_cursor_get(fin.get(), &k, &d, ORV_SET), 0);
  orv_txn_reset(rr);
  ORV_val *vals = nullptr;
  uint64_t n = 0;
  const Case cases[] = {
      {"null cursor", [&] { return orv_cursor_list_dup(nullptr, &vals, &n); }, EINVAL},
      {"null array out", [&] { return orv_cursor_list_dup(dup.get(), nullptr, &n); }, EINVAL},
      {"null count out", [&] { return orv_cursor_list_dup(dup.get(), &vals, nullptr); }, EINVAL},
      {"finished, null count out", [&] { return orv_cursor_list_dup(fin.get(), &vals, nullptr); },
       EINVAL},
      {"finished", [&] { return orv_cursor_list_dup(fin.get(), &vals, &n); }, ORV_BAD_TXN},
      // Unlike orv_cursor_count, the transaction is tested first.
      {"finished, no duplicates", [&] { return orv_cursor_list_dup(finplain.get(), &vals, &n); },
       ORV_BAD_TXN},
      {"no duplicates", [&] { return orv_cursor_list_dup(plain.get(), &vals, &n); },
       ORV_INCOMPATIBLE},
      {"unpositioned", [&] { return orv_cursor_list_dup(dup.get(), &vals, &n); }, ORV_NOTFOUND},
      {"single value",
       [&] {
         if (orv_cursor_get(dup.get(), &one, &d, ORV_SET) != 0) return -1;
         return orv_cursor_list_dup(dup.get(), &vals, &n);
       },
       ORV_NOTFOUND},
      {"three values",
       [&] {
         if (orv_cursor_get(dup.get(), &k, &d, ORV_SET) != 0) return -1;
         return orv_cursor_list_dup(dup.get(), &vals, &n);
       },
       0},
  };
  run_cases(cases);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(str(vals[0]), "aaaa");
  EXPECT_EQ(str(vals[2]), "cccc");
  dup.reset();
  plain.reset();
  fin.reset();
  finplain.reset();
  orv_txn_abort(rr);
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
