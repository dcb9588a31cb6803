// [read_interrupt]: cursor_get.cc, cursor.cc, descent.cc and lib/count: what
// every read and count entry point answers while the environment's
// interrupt is requested (EINTR, the transaction failed, for as long as the
// request stands), and once it is withdrawn (ORV_BAD_TXN for the failed
// transaction, a new one reads normally).
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "txn/txn.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

class ReadInterrupt : public EnvFixture {
 protected:
  void SetUp() override {
    EnvFixture::SetUp();
    ORV_txn *txn = begin();
    dbs_[0] = open_db(txn, "full", ORV_COUNTED);
    dbs_[1] = open_db(txn, "empty", ORV_COUNTED);
    dbs_[2] = open_db(txn, "dups", ORV_COUNTED | ORV_DUPSORT);
    dbs_[3] = open_db(txn, "dups empty", ORV_COUNTED | ORV_DUPSORT);
    for (int i = 0; i < 500; i++) {
      char k[16];
      std::snprintf(k, sizeof k, "k%04d", i);
      const std::string ks = k, v1 = "a";
      ORV_val kv = val(ks), d1 = val(v1);
      ASSERT_EQ(orv_put(txn, dbs_[0], &kv, &d1, 0), 0);
      ASSERT_EQ(orv_put(txn, dbs_[2], &kv, &d1, 0), 0);
      // Every other key holds a second value.
      const std::string v2 = "b";
      ORV_val d2 = val(v2);
      if (i % 2 == 0) {
        ASSERT_EQ(orv_put(txn, dbs_[2], &kv, &d2, 0), 0);
      }
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  // A counted database with 500 keys, an empty one, and the same two with
  // sorted duplicates (every other key with two values).
  ORV_dbi dbs_[4] = {};
  static constexpr const char *kDbNames[4] = {"full", "empty", "dups", "dups empty"};
};

// Which databases a call applies to.
enum class Dbs { any, nodup, dup };

struct Call {
  const char *what;
  std::function<int(ORV_txn *, ORV_dbi, ORV_cursor *)> fn;
  Dbs dbs = Dbs::any;
};

std::vector<Call> read_calls() {
  static const std::string sk = "k0100", sv = "a";
  auto key = [] { return val(sk); };
  auto data = [] { return val(sv); };
  auto op = [](ORV_cursor_op o) {
    return [o](ORV_txn *, ORV_dbi, ORV_cursor *c) {
      ORV_val k = val(sk), d = val(sv);
      return orv_cursor_get(c, &k, &d, o);
    };
  };
  return {
      {"get",
       [=](ORV_txn *t, ORV_dbi d, ORV_cursor *) {
         ORV_val k = key(), v{};
         return orv_get(t, d, &k, &v);
       }},
      {"cursor FIRST", op(ORV_FIRST)},
      {"cursor LAST", op(ORV_LAST)},
      {"cursor NEXT", op(ORV_NEXT)},
      {"cursor PREV", op(ORV_PREV)},
      {"cursor SET", op(ORV_SET)},
      {"cursor SET_KEY", op(ORV_SET_KEY)},
      {"cursor SET_RANGE", op(ORV_SET_RANGE)},
      {"cursor GET_BOTH", op(ORV_GET_BOTH)},
      {"cursor GET_BOTH_RANGE", op(ORV_GET_BOTH_RANGE)},
      {"cursor GET_CURRENT", op(ORV_GET_CURRENT)},
      {"cursor NEXT_NODUP", op(ORV_NEXT_NODUP)},
      {"cursor count",
       [](ORV_txn *, ORV_dbi, ORV_cursor *c) {
         uint64_t n;
         return orv_cursor_count(c, &n);
       },
       Dbs::dup},
      {"cursor list_dup",
       [](ORV_txn *, ORV_dbi, ORV_cursor *c) {
         ORV_val *v;
         uint64_t n;
         return orv_cursor_list_dup(c, &v, &n);
       },
       Dbs::dup},
      {"cursor NEXT_DUP", op(ORV_NEXT_DUP), Dbs::dup},
      {"cursor FIRST_DUP", op(ORV_FIRST_DUP), Dbs::dup},
      {"get_rank",
       [](ORV_txn *t, ORV_dbi d, ORV_cursor *) {
         ORV_val k, v;
         return orv_get_rank(t, d, 0, &k, &v);
       }},
      {"cursor_get_rank",
       [](ORV_txn *, ORV_dbi, ORV_cursor *c) {
         ORV_val k, v;
         return orv_cursor_get_rank(c, 0, &k, &v, 0);
       }},
      {"get_key_rank",
       [=](ORV_txn *t, ORV_dbi d, ORV_cursor *) {
         ORV_val k = key();
         uint64_t r;
         return orv_get_key_rank(t, d, &k, nullptr, &r);
       }},
      {"cursor_key_rank",
       [=](ORV_txn *, ORV_dbi, ORV_cursor *c) {
         ORV_val k = key(), v = data();
         uint64_t r;
         return orv_cursor_key_rank(c, &k, &v, 0, &r);
       }},
      {"count_range",
       [=](ORV_txn *t, ORV_dbi d, ORV_cursor *) {
         ORV_val k = key();
         uint64_t n;
         return orv_count_range(t, d, &k, nullptr, 0, &n);
       },
       Dbs::nodup},
      {"range_count_keys",
       [=](ORV_txn *t, ORV_dbi d, ORV_cursor *) {
         ORV_val k = key();
         uint64_t n;
         return orv_range_count_keys(t, d, nullptr, &k, 0, &n);
       }},
      {"range_count_values",
       [=](ORV_txn *t, ORV_dbi d, ORV_cursor *) {
         ORV_val k = key();
         uint64_t n;
         return orv_range_count_values(t, d, &k, nullptr, 0, &n);
       },
       Dbs::dup},
  };
}

// Every read entry point, in read-only and write transactions, on full and
// empty databases, with a positioned cursor. (orv_count_all answers from
// the transaction's record of the database, without a tree operation.)
TEST_F(ReadInterrupt, EveryReadAnswersEintrWhileRequested) {
  for (unsigned tflags : {unsigned{ORV_RDONLY}, 0u}) {
    for (unsigned d = 0; d < 4; d++) {
      const bool dup = d >= 2;
      for (const Call &c : read_calls()) {
        if ((c.dbs == Dbs::dup && !dup) || (c.dbs == Dbs::nodup && dup)) continue;
        SCOPED_TRACE(std::string(tflags ? "read-only " : "write ") + kDbNames[d] + ": " + c.what);
        ORV_txn *txn = begin(tflags);
        ORV_cursor *mc = nullptr;
        ASSERT_EQ(orv_cursor_open(txn, dbs_[d], &mc), 0);
        ORV_val k, v;
        EXPECT_EQ(orv_cursor_get(mc, &k, &v, ORV_FIRST), d % 2 == 0 ? 0 : ORV_NOTFOUND);

        ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
        EXPECT_EQ(c.fn(txn, dbs_[d], mc), EINTR);
        // Failed by the interrupt, and still asked to stop: still EINTR.
        EXPECT_EQ(c.fn(txn, dbs_[d], mc), EINTR);
        EXPECT_EQ(orv_get(txn, dbs_[d], &k, &v), EINTR);
        ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
        // Withdrawn: the failed transaction answers ORV_BAD_TXN.
        EXPECT_EQ(orv_get(txn, dbs_[d], &k, &v), ORV_BAD_TXN);
        // A write transaction's commit is refused; a read-only one only ends.
        EXPECT_EQ(orv_txn_commit(txn), tflags ? 0 : ORV_BAD_TXN);
        if (tflags) orv_cursor_close(mc);
      }
    }
  }
  // Once the request is withdrawn, new transactions read normally.
  ORV_txn *txn = begin(ORV_RDONLY);
  uint64_t n = 0;
  EXPECT_EQ(orv_count_all(txn, dbs_[0], 0, &n), 0);
  EXPECT_EQ(n, 500u);
  orv_txn_abort(txn);
}

// A transaction that failed for another reason keeps answering ORV_BAD_TXN
// when an interrupt is requested afterwards: EINTR names the interrupt only.
TEST_F(ReadInterrupt, OtherFailuresStayBadTxn) {
  for (unsigned tflags : {unsigned{ORV_RDONLY}, 0u}) {
    ORV_txn *txn = begin(tflags);
    orv_txn_fail(txn, ORV_CORRUPTED);
    ASSERT_EQ(orv_env_set_interrupt(env_, 1), 0);
    for (const Call &c : read_calls()) {
      if (c.dbs == Dbs::dup) continue;
      SCOPED_TRACE(c.what);
      ORV_cursor *mc = nullptr;
      if (orv_cursor_open(txn, dbs_[0], &mc) == 0) {
        EXPECT_EQ(c.fn(txn, dbs_[0], mc), ORV_BAD_TXN);
        orv_cursor_close(mc);
      } else {
        // Cursors of a failed transaction are refused: the calls without
        // a cursor must still say why.
        if (std::string(c.what).find("cursor") == 0) continue;
        EXPECT_EQ(c.fn(txn, dbs_[0], nullptr), ORV_BAD_TXN);
      }
    }
    ASSERT_EQ(orv_env_set_interrupt(env_, 0), 0);
    orv_txn_abort(txn);
  }
}

}  // namespace
