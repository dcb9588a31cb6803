// [entry order]: rank.cc, range_count.cc - the argument and state checks
// of the rank and range-count functions, in the order each makes them.
// Each row breaks one precondition, or two to pin which check answers
// first.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "orv.h"
#include "txn/txn.h"
#include "util/case_table.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

class CountEntryOrder : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *w = begin();
    ASSERT_NE(w, nullptr);
    counted_ = open_db(w, "c", ORV_COUNTED);
    dups_ = open_db(w, "cd", ORV_COUNTED | ORV_DUPSORT);
    plain_ = open_db(w, "u", 0);
    stale_ = open_db(w, "s", ORV_COUNTED);
    for (ORV_dbi dbi : {counted_, plain_, stale_}) {
      for (const char *key : {"a", "b", "c"}) {
        ORV_val k = lit(key), d = lit("v");
        ASSERT_EQ(orv_put(w, dbi, &k, &d, 0), 0);
      }
    }
    for (const char *pair : {"a1", "a2", "b1", "b2", "b3"}) {
      ORV_val k{1, const_cast<char *>(pair)}, d{1, const_cast<char *>(pair + 1)};
      ASSERT_EQ(orv_put(w, dups_, &k, &d, 0), 0);
    }
    ASSERT_EQ(orv_txn_commit(w), 0);
  }

  // A write transaction with a live child; the handle stale_ was closed
  // after they began. The parent read counted_ first, so its record is
  // current and orv_count_all needs no descent.
  void begin_blocked() {
    parent_ = begin();
    ASSERT_NE(parent_, nullptr);
    uint64_t n = 0;
    ASSERT_EQ(orv_count_all(parent_, counted_, 0, &n), 0);
    orv_dbi_close(env_, stale_);
    child_ = begin(0, parent_);
    ASSERT_NE(child_, nullptr);
  }

  ORV_dbi counted_ = 0, dups_ = 0, plain_ = 0, stale_ = 0;
  ORV_txn *parent_ = nullptr, *child_ = nullptr;
};

// Ranks: orv_cursor_get_rank tests the database's kind before the
// transaction, orv_cursor_key_rank after it; the functions on a handle test
// the handle, then the transaction, then the kind.
TEST_F(CountEntryOrder, Ranks) {
  ORV_txn *r = begin(ORV_RDONLY), *rr = begin(ORV_RDONLY);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(rr, nullptr);
  CursorPtr rc = open_cursor(r, counted_), ru = open_cursor(r, plain_);
  CursorPtr fin = open_cursor(rr, counted_), finu = open_cursor(rr, plain_);
  orv_txn_reset(rr);
  begin_blocked();
  ORV_txn *c = child_, *p = parent_;
  ORV_val k{}, d{}, a = lit("a"), absent = lit("zz"), b1 = lit("b");
  uint64_t rank = 0;
  const Case cursor_rank[] = {
      {"null cursor", [&] { return orv_cursor_get_rank(nullptr, 0, &k, &d, 0); }, EINVAL},
      {"flags", [&] { return orv_cursor_get_rank(rc.get(), 0, &k, &d, 1); }, EINVAL},
      {"flags, not counted", [&] { return orv_cursor_get_rank(ru.get(), 0, &k, &d, 1); }, EINVAL},
      {"not counted", [&] { return orv_cursor_get_rank(ru.get(), 0, &k, &d, 0); },
       ORV_INCOMPATIBLE},
      {"not counted, beyond the end", [&] { return orv_cursor_get_rank(ru.get(), 9, &k, &d, 0); },
       ORV_INCOMPATIBLE},
      {"not counted, finished", [&] { return orv_cursor_get_rank(finu.get(), 0, &k, &d, 0); },
       ORV_INCOMPATIBLE},
      {"finished", [&] { return orv_cursor_get_rank(fin.get(), 0, &k, &d, 0); }, ORV_BAD_TXN},
      {"finished, beyond the end", [&] { return orv_cursor_get_rank(fin.get(), 9, &k, &d, 0); },
       ORV_BAD_TXN},
      {"beyond the end", [&] { return orv_cursor_get_rank(rc.get(), 3, &k, &d, 0); }, ORV_NOTFOUND},
      {"last", [&] { return orv_cursor_get_rank(rc.get(), 2, &k, &d, 0); }, 0},
  };
  run_cases(cursor_rank);
  EXPECT_EQ(str(k), "c");
  const Case get_rank[] = {
      {"null txn", [&] { return orv_get_rank(nullptr, counted_, 0, &k, &d); }, EINVAL},
      {"unknown handle", [&] { return orv_get_rank(c, 99, 0, &k, &d); }, EINVAL},
      {"free-page database", [&] { return orv_get_rank(c, ORV_dbi{0}, 0, &k, &d); }, EINVAL},
      {"reset reader", [&] { return orv_get_rank(rr, counted_, 0, &k, &d); }, EINVAL},
      {"stale handle", [&] { return orv_get_rank(c, stale_, 0, &k, &d); }, ORV_BAD_DBI},
      {"blocked", [&] { return orv_get_rank(p, counted_, 0, &k, &d); }, ORV_BAD_TXN},
      {"blocked, stale handle", [&] { return orv_get_rank(p, stale_, 0, &k, &d); }, ORV_BAD_DBI},
      {"blocked, not counted", [&] { return orv_get_rank(p, plain_, 0, &k, &d); }, ORV_BAD_TXN},
      {"not counted", [&] { return orv_get_rank(c, plain_, 0, &k, &d); }, ORV_INCOMPATIBLE},
      {"not counted, beyond the end", [&] { return orv_get_rank(c, plain_, 9, &k, &d); },
       ORV_INCOMPATIBLE},
      {"beyond the end", [&] { return orv_get_rank(c, dups_, 5, &k, &d); }, ORV_NOTFOUND},
      {"duplicate", [&] { return orv_get_rank(c, dups_, 3, &k, &d); }, 0},
  };
  run_cases(get_rank);
  EXPECT_EQ(str(k), "b");
  EXPECT_EQ(str(d), "2");
  const Case cursor_key_rank[] = {
      {"null cursor", [&] { return orv_cursor_key_rank(nullptr, &a, nullptr, 0, &rank); }, EINVAL},
      {"null key", [&] { return orv_cursor_key_rank(rc.get(), nullptr, nullptr, 0, &rank); },
       EINVAL},
      {"null out", [&] { return orv_cursor_key_rank(rc.get(), &a, nullptr, 0, nullptr); }, EINVAL},
      {"flags", [&] { return orv_cursor_key_rank(rc.get(), &a, nullptr, 1, &rank); }, EINVAL},
      {"finished", [&] { return orv_cursor_key_rank(fin.get(), &a, nullptr, 0, &rank); },
       ORV_BAD_TXN},
      {"finished, not counted",
       [&] { return orv_cursor_key_rank(finu.get(), &a, nullptr, 0, &rank); }, ORV_BAD_TXN},
      {"finished, null out",
       [&] { return orv_cursor_key_rank(fin.get(), &a, nullptr, 0, nullptr); }, EINVAL},
      {"not counted", [&] { return orv_cursor_key_rank(ru.get(), &a, nullptr, 0, &rank); },
       ORV_INCOMPATIBLE},
      {"not counted, absent",
       [&] { return orv_cursor_key_rank(ru.get(), &absent, nullptr, 0, &rank); }, ORV_INCOMPATIBLE},
      {"absent", [&] { return orv_cursor_key_rank(rc.get(), &absent, nullptr, 0, &rank); },
       ORV_NOTFOUND},
  };
  run_cases(cursor_key_rank);
  const Case get_key_rank[] = {
      {"null key", [&] { return orv_get_key_rank(c, counted_, nullptr, nullptr, &rank); }, EINVAL},
      {"null out", [&] { return orv_get_key_rank(c, counted_, &a, nullptr, nullptr); }, EINVAL},
      {"null out, stale handle", [&] { return orv_get_key_rank(c, stale_, &a, nullptr, nullptr); },
       EINVAL},
      {"null txn", [&] { return orv_get_key_rank(nullptr, counted_, &a, nullptr, &rank); }, EINVAL},
      {"unknown handle", [&] { return orv_get_key_rank(c, 99, &a, nullptr, &rank); }, EINVAL},
      {"stale handle", [&] { return orv_get_key_rank(c, stale_, &a, nullptr, &rank); },
       ORV_BAD_DBI},
      {"blocked", [&] { return orv_get_key_rank(p, counted_, &a, nullptr, &rank); }, ORV_BAD_TXN},
      {"blocked, stale handle", [&] { return orv_get_key_rank(p, stale_, &a, nullptr, &rank); },
       ORV_BAD_DBI},
      {"blocked, not counted", [&] { return orv_get_key_rank(p, plain_, &a, nullptr, &rank); },
       ORV_BAD_TXN},
      {"not counted", [&] { return orv_get_key_rank(c, plain_, &a, nullptr, &rank); },
       ORV_INCOMPATIBLE},
      {"absent", [&] { return orv_get_key_rank(c, counted_, &absent, nullptr, &rank); },
       ORV_NOTFOUND},
      {"pair", [&] { return orv_get_key_rank(c, dups_, &b1, &b1, &rank); }, ORV_NOTFOUND},
      {"key", [&] { return orv_get_key_rank(c, dups_, &b1, nullptr, &rank); }, 0},
  };
  run_cases(get_key_rank);
  EXPECT_EQ(rank, 2u);
  orv_txn_abort(p);
  rc.reset();
  ru.reset();
  fin.reset();
  finu.reset();
  orv_txn_abort(rr);
  orv_txn_abort(r);
}

// Range counts: every one tests the transaction after the handle (a
// blocked or failed transaction's stored total is no answer); orv_count_all
// and orv_count_range test their flags first, the two walks after it.
TEST_F(CountEntryOrder, RangeCounts) {
  ORV_txn *rr = begin(ORV_RDONLY);
  ASSERT_NE(rr, nullptr);
  orv_txn_reset(rr);
  begin_blocked();
  ORV_txn *c = child_, *p = parent_;
  ORV_val lo = lit("a"), hi = lit("b");
  uint64_t n = 0;
  const Case all[] = {
      {"null out", [&] { return orv_count_all(c, counted_, 0, nullptr); }, EINVAL},
      {"null txn", [&] { return orv_count_all(nullptr, counted_, 0, &n); }, EINVAL},
      {"unknown handle", [&] { return orv_count_all(c, 99, 0, &n); }, EINVAL},
      {"reset reader", [&] { return orv_count_all(rr, counted_, 0, &n); }, EINVAL},
      {"flag 0x1", [&] { return orv_count_all(c, counted_, 0x1, &n); }, EINVAL},
      {"flag 0x8", [&] { return orv_count_all(c, counted_, 0x8, &n); }, EINVAL},
      {"flag 0x8, stale handle", [&] { return orv_count_all(c, stale_, 0x8, &n); }, EINVAL},
      {"flag 0x8, not counted", [&] { return orv_count_all(c, plain_, 0x8, &n); }, EINVAL},
      {"stale handle", [&] { return orv_count_all(c, stale_, 0, &n); }, ORV_BAD_DBI},
      // The free-page database is valid for cursors, and not counted.
      {"free-page database", [&] { return orv_count_all(c, ORV_dbi{0}, 0, &n); }, ORV_INCOMPATIBLE},
      {"not counted", [&] { return orv_count_all(c, plain_, 0, &n); }, ORV_INCOMPATIBLE},
      {"blocked, not counted", [&] { return orv_count_all(p, plain_, 0, &n); }, ORV_BAD_TXN},
      {"blocked, stale handle", [&] { return orv_count_all(p, stale_, 0, &n); }, ORV_BAD_DBI},
      {"blocked", [&] { return orv_count_all(p, counted_, 0x6, &n); }, ORV_BAD_TXN},
      {"both bounds inclusive", [&] { return orv_count_all(c, counted_, 0x6, &n); }, 0},
  };
  run_cases(all);
  EXPECT_EQ(n, 3u);
  const Case range[] = {
      {"null out", [&] { return orv_count_range(c, counted_, &lo, &hi, 0, nullptr); }, EINVAL},
      {"flag 0x1", [&] { return orv_count_range(c, counted_, &lo, &hi, 0x1, &n); }, EINVAL},
      {"flag 0x1, stale handle", [&] { return orv_count_range(c, stale_, &lo, &hi, 0x1, &n); },
       EINVAL},
      {"blocked, flag 0x1", [&] { return orv_count_range(p, counted_, &lo, &hi, 0x1, &n); },
       EINVAL},
      {"stale handle", [&] { return orv_count_range(c, stale_, &lo, &hi, 0, &n); }, ORV_BAD_DBI},
      {"not counted", [&] { return orv_count_range(c, plain_, &lo, &hi, 0, &n); },
       ORV_INCOMPATIBLE},
      {"duplicates", [&] { return orv_count_range(c, dups_, &lo, &hi, 0, &n); }, ORV_INCOMPATIBLE},
      {"blocked, duplicates", [&] { return orv_count_range(p, dups_, &lo, &hi, 0, &n); },
       ORV_BAD_TXN},
      // Bounds that hold nothing still need a sound transaction.
      {"blocked, empty range", [&] { return orv_count_range(p, counted_, &hi, &lo, 0, &n); },
       ORV_BAD_TXN},
      {"empty range", [&] { return orv_count_range(c, counted_, &hi, &lo, 0, &n); }, 0},
      {"blocked", [&] { return orv_count_range(p, counted_, &lo, &hi, 0x6, &n); }, ORV_BAD_TXN},
      {"both bounds inclusive", [&] { return orv_count_range(c, counted_, &lo, &hi, 0x6, &n); }, 0},
  };
  run_cases(range);
  EXPECT_EQ(n, 2u);
  const Case keys[] = {
      {"null out", [&] { return orv_range_count_keys(c, dups_, &lo, &hi, 0, nullptr); }, EINVAL},
      {"null out, blocked", [&] { return orv_range_count_keys(p, dups_, &lo, &hi, 0, nullptr); },
       EINVAL},
      {"unknown handle, blocked", [&] { return orv_range_count_keys(p, 99, &lo, &hi, 0, &n); },
       EINVAL},
      {"stale handle, blocked", [&] { return orv_range_count_keys(p, stale_, &lo, &hi, 0, &n); },
       ORV_BAD_DBI},
      {"blocked", [&] { return orv_range_count_keys(p, dups_, &lo, &hi, 0, &n); }, ORV_BAD_TXN},
      {"blocked, flag 0x1", [&] { return orv_range_count_keys(p, dups_, &lo, &hi, 0x1, &n); },
       ORV_BAD_TXN},
      {"blocked, not counted", [&] { return orv_range_count_keys(p, plain_, &lo, &hi, 0, &n); },
       ORV_BAD_TXN},
      {"flag 0x1", [&] { return orv_range_count_keys(c, dups_, &lo, &hi, 0x1, &n); }, EINVAL},
      {"flag 0x1, not counted", [&] { return orv_range_count_keys(c, plain_, &lo, &hi, 0x1, &n); },
       EINVAL},
      {"not counted", [&] { return orv_range_count_keys(c, plain_, &lo, &hi, 0, &n); },
       ORV_INCOMPATIBLE},
      {"keys", [&] { return orv_range_count_keys(c, dups_, &lo, &hi, 0x6, &n); }, 0},
  };
  run_cases(keys);
  EXPECT_EQ(n, 2u);
  const Case values[] = {
      {"null txn", [&] { return orv_range_count_values(nullptr, dups_, &lo, &hi, 0, &n); }, EINVAL},
      {"stale handle", [&] { return orv_range_count_values(c, stale_, &lo, &hi, 0, &n); },
       ORV_BAD_DBI},
      {"blocked", [&] { return orv_range_count_values(p, dups_, &lo, &hi, 0, &n); }, ORV_BAD_TXN},
      {"blocked, flag 0x8", [&] { return orv_range_count_values(p, dups_, &lo, &hi, 0x8, &n); },
       ORV_BAD_TXN},
      {"blocked, no duplicates",
       [&] { return orv_range_count_values(p, counted_, &lo, &hi, 0, &n); }, ORV_BAD_TXN},
      {"flag 0x8, no duplicates",
       [&] { return orv_range_count_values(c, counted_, &lo, &hi, 0x8, &n); }, EINVAL},
      {"no duplicates", [&] { return orv_range_count_values(c, counted_, &lo, &hi, 0, &n); },
       ORV_INCOMPATIBLE},
      {"not counted", [&] { return orv_range_count_values(c, plain_, &lo, &hi, 0, &n); },
       ORV_INCOMPATIBLE},
      {"values", [&] { return orv_range_count_values(c, dups_, &lo, &hi, 0x6, &n); }, 0},
  };
  run_cases(values);
  EXPECT_EQ(n, 5u);
  orv_txn_abort(p);
  orv_txn_abort(rr);
}

// A failed write transaction may hold a half-changed tree: no count of it,
// not even the stored total, is answered as a success.
TEST_F(CountEntryOrder, FailedTransactionCountsNothing) {
  ORV_txn *w = begin();
  ASSERT_NE(w, nullptr);
  ORV_val k = lit("d"), d = lit("v"), lo = lit("a"), hi = lit("z");
  ASSERT_EQ(orv_put(w, counted_, &k, &d, 0), 0);
  orv_txn_fail(w, ORV_TXN_FULL);
  uint64_t n = 7;
  const Case cases[] = {
      {"all", [&] { return orv_count_all(w, counted_, 0, &n); }, ORV_BAD_TXN},
      {"range", [&] { return orv_count_range(w, counted_, &lo, &hi, 0x6, &n); }, ORV_BAD_TXN},
      {"empty range", [&] { return orv_count_range(w, counted_, &hi, &lo, 0, &n); }, ORV_BAD_TXN},
      {"keys", [&] { return orv_range_count_keys(w, dups_, &lo, &hi, 0x6, &n); }, ORV_BAD_TXN},
      {"values", [&] { return orv_range_count_values(w, dups_, &lo, &hi, 0x6, &n); }, ORV_BAD_TXN},
      {"null out first", [&] { return orv_count_all(w, counted_, 0, nullptr); }, EINVAL},
  };
  run_cases(cases);
  EXPECT_EQ(n, 7u) << "a refused count leaves its output alone";
  orv_txn_abort(w);
}

}  // namespace
