// [entry order]: txn.cc, txn_end.cc, commit.cc - the argument and state
// checks of the transaction functions, in the order each makes them. Each
// row breaks one precondition, or two to pin which check answers first.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "orv.h"
#include "txn/txn.h"
#include "util/case_table.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Case;
using orv_test::Env;
using orv_test::run_cases;
using orv_test::val;

class TxnEntryOrder : public orv_test::EnvFixture {
 protected:
  bool writer_free() {
    ORV_txn *w = nullptr;
    if (orv_txn_begin(env_, nullptr, 0, &w) != 0) return false;
    orv_txn_abort(w);
    return true;
  }
  std::string k_ = "k";
};

// Begin: handle and out-pointer, then the environment's access mode, then
// the parent's state; a reader slot is the last thing it needs.
TEST_F(TxnEntryOrder, Begin) {
  TempDir rodir, wmdir, fulldir, otherdir;
  Env unopened, ro, wm, full, other;
  {
    Env init;
    ASSERT_EQ(orv_env_open(init, rodir.c_str(), 0, 0644), 0);
  }
  ASSERT_EQ(orv_env_open(ro, rodir.c_str(), ORV_RDONLY | ORV_NOTLS, 0644), 0);
  ASSERT_EQ(orv_env_open(wm, wmdir.c_str(), ORV_WRITEMAP | ORV_NOTLS, 0644), 0);
  ASSERT_EQ(orv_env_set_maxreaders(full, 1), 0);
  ASSERT_EQ(orv_env_open(full, fulldir.c_str(), ORV_NOTLS, 0644), 0);
  ASSERT_EQ(orv_env_open(other, otherdir.c_str(), ORV_NOTLS, 0644), 0);

  ORV_txn *reader = begin(ORV_RDONLY);
  ORV_txn *ro_reader = nullptr, *wm_writer = nullptr, *full_reader = nullptr;
  ASSERT_EQ(orv_txn_begin(ro, nullptr, ORV_RDONLY, &ro_reader), 0);
  ASSERT_EQ(orv_txn_begin(wm, nullptr, 0, &wm_writer), 0);
  ASSERT_EQ(orv_txn_begin(full, nullptr, ORV_RDONLY, &full_reader), 0);
  ORV_txn *other_writer = nullptr, *other_child = nullptr;
  ASSERT_EQ(orv_txn_begin(other, nullptr, 0, &other_writer), 0);
  ASSERT_EQ(orv_txn_begin(other, other_writer, 0, &other_child), 0);

  ORV_txn *t = nullptr;
  const Case refused[] = {
      {"null env", [&] { return orv_txn_begin(nullptr, nullptr, 0, &t); }, EINVAL},
      {"null out", [&] { return orv_txn_begin(env_, nullptr, 0, nullptr); }, EINVAL},
      {"null out, read-only env", [&] { return orv_txn_begin(ro, nullptr, 0, nullptr); }, EINVAL},
      {"env not open", [&] { return orv_txn_begin(unopened, nullptr, ORV_RDONLY, &t); }, EINVAL},
      {"parent of another env", [&] { return orv_txn_begin(env_, other_writer, 0, &t); }, EINVAL},
      {"parent of another env, with a child",
       [&] { return orv_txn_begin(env_, other_child, 0, &t); }, EINVAL},
      {"write, read-only env", [&] { return orv_txn_begin(ro, nullptr, 0, &t); }, EACCES},
      // The environment's access mode answers before the parent is looked at.
      {"write child of a reader, read-only env",
       [&] { return orv_txn_begin(ro, ro_reader, 0, &t); }, EACCES},
      {"read-only child of a reader, read-only env",
       [&] { return orv_txn_begin(ro, ro_reader, ORV_RDONLY, &t); }, EINVAL},
      {"child of a reader", [&] { return orv_txn_begin(env_, reader, 0, &t); }, EINVAL},
      {"read-only child of a reader", [&] { return orv_txn_begin(env_, reader, ORV_RDONLY, &t); },
       EINVAL},
      {"child under a write map", [&] { return orv_txn_begin(wm, wm_writer, 0, &t); }, ORV_BAD_TXN},
      {"reader, table full", [&] { return orv_txn_begin(full, nullptr, ORV_RDONLY, &t); },
       ORV_READERS_FULL},
      {"reader, table full, null out",
       [&] { return orv_txn_begin(full, nullptr, ORV_RDONLY, nullptr); }, EINVAL},
  };
  run_cases(refused);
  EXPECT_EQ(t, nullptr);

  // Parents that cannot take a child: blocked, or asked for a read-only one.
  ORV_txn *w = begin();
  ASSERT_NE(w, nullptr);
  ORV_txn *child = begin(0, w);
  ASSERT_NE(child, nullptr);
  const Case parents[] = {
      {"parent with a child", [&] { return orv_txn_begin(env_, w, 0, &t); }, ORV_BAD_TXN},
      {"read-only child of a writer", [&] { return orv_txn_begin(env_, child, ORV_RDONLY, &t); },
       ORV_BAD_TXN},
      {"parent with a child, null out", [&] { return orv_txn_begin(env_, w, 0, nullptr); }, EINVAL},
  };
  run_cases(parents);
  orv_txn_fail(child, ORV_TXN_FULL);
  const Case failed[] = {
      {"failed parent", [&] { return orv_txn_begin(env_, child, 0, &t); }, ORV_BAD_TXN},
      {"failed parent, read-only child", [&] { return orv_txn_begin(env_, child, ORV_RDONLY, &t); },
       ORV_BAD_TXN},
  };
  run_cases(failed);
  EXPECT_EQ(t, nullptr);
  orv_txn_abort(w);
  EXPECT_TRUE(writer_free());

  orv_txn_abort(other_writer);
  orv_txn_abort(full_reader);
  orv_txn_abort(wm_writer);
  orv_txn_abort(ro_reader);
  orv_txn_abort(reader);
}

// Renew wants exactly a reset reader; reset and abort ignore what they
// cannot end; the accessors answer null and 0 for a null handle.
TEST_F(TxnEntryOrder, RenewResetAbortAccessors) {
  ORV_txn *r = begin(ORV_RDONLY);
  ORV_txn *w = begin();
  ASSERT_NE(r, nullptr);
  ASSERT_NE(w, nullptr);
  const Case live[] = {
      {"renew, null", [] { return orv_txn_renew(nullptr); }, EINVAL},
      {"renew, live reader", [&] { return orv_txn_renew(r); }, EINVAL},
      {"renew, writer", [&] { return orv_txn_renew(w); }, EINVAL},
  };
  run_cases(live);
  orv_txn_reset(nullptr);
  orv_txn_abort(nullptr);
  orv_txn_reset(w);  // not a reader: ignored, the writer goes on
  ORV_val k = val(k_);
  EXPECT_EQ(orv_put(w, MAIN_DBI, &k, &k, 0), 0);
  EXPECT_EQ(orv_txn_env(nullptr), nullptr);
  EXPECT_EQ(orv_txn_id(nullptr), 0u);
  EXPECT_EQ(orv_txn_env(w), env_);
  ASSERT_EQ(orv_txn_commit(w), 0);

  orv_txn_reset(r);
  orv_txn_reset(r);  // a second reset changes nothing
  const Case reset[] = {
      {"renew, reset reader", [&] { return orv_txn_renew(r); }, 0},
      {"renew, renewed reader", [&] { return orv_txn_renew(r); }, EINVAL},
  };
  run_cases(reset);
  EXPECT_EQ(orv_txn_id(r), 1u);
  orv_txn_abort(r);
}

// Commit: null, then a reader (even a reset one) simply ends, then a
// finished or failed writer is refused and aborted; a parent commits its
// child first and fails with it.
TEST_F(TxnEntryOrder, Commit) {
  ORV_val k = val(k_);
  const Case cases[] = {
      {"null", [] { return orv_txn_commit(nullptr); }, EINVAL},
      {"reset reader",
       [&] {
         ORV_txn *r = begin(ORV_RDONLY);
         orv_txn_reset(r);
         return orv_txn_commit(r);
       },
       0},
      {"failed writer",
       [&] {
         ORV_txn *w = begin();
         orv_txn_fail(w, ORV_TXN_FULL);
         return orv_txn_commit(w);
       },
       ORV_BAD_TXN},
      {"failed child; then its parent",
       [&] {
         ORV_txn *w = begin();
         ORV_txn *c = begin(0, w);
         if (orv_put(c, MAIN_DBI, &k, &k, 0) != 0) return -1;
         orv_txn_fail(c, ORV_TXN_FULL);
         if (orv_txn_commit(c) != ORV_BAD_TXN) return -1;
         return orv_txn_commit(w);
       },
       ORV_BAD_TXN},
      {"parent of a failed child",
       [&] {
         ORV_txn *w = begin();
         ORV_txn *c = begin(0, w);
         orv_txn_fail(c, ORV_TXN_FULL);
         return orv_txn_commit(w);
       },
       ORV_BAD_TXN},
      {"parent of a live child",
       [&] {
         ORV_txn *w = begin();
         ORV_txn *c = begin(0, w);
         if (orv_put(c, MAIN_DBI, &k, &k, 0) != 0) return -1;
         return orv_txn_commit(w);
       },
       0},
  };
  run_cases(cases);
  // Every refused commit aborted its transaction; the last one's child was
  // committed into it.
  EXPECT_TRUE(writer_free());
  ORV_txn *r = begin(ORV_RDONLY);
  ORV_val d{};
  EXPECT_EQ(orv_get(r, MAIN_DBI, &k, &d), 0);
  EXPECT_EQ(orv_txn_id(r), 1u);
  orv_txn_abort(r);
}

}  // namespace
