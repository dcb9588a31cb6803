// [eldran.hpp]: the C++ interface over orv.h: RAII ownership and moves of
// env, txn and cursor, errors as eldran::error, lookups, writes and their
// flags, iteration over a database, a key range and a key's duplicates,
// ranks and counts, and use of every handle after its transaction ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "eldran.hpp"
#include "util/tempdir.h"

namespace {

using eldran::db_flags;
using eldran::key_range;
using eldran::put_flags;

// Expects `fn` to throw eldran::error with `code`.
template <class Fn>
void expect_code(int code, Fn &&fn) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected " << orv_strerror(code);
  } catch (const eldran::error &e) {
    EXPECT_EQ(e.code(), code) << e.what();
  }
}

std::string key3(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03d", i);
  return buf;
}

class EldranHpp : public ::testing::Test {
 protected:
  TempDir dir;
  eldran::env env{dir.path(), {.mapsize = 16u << 20, .maxdbs = 6}};

  // A named database filled with keys 001..n, value "v<key>".
  eldran::dbi filled(const char *name, int n, db_flags extra = db_flags::counted) {
    eldran::txn w = env.begin_write();
    eldran::dbi d = w.open_dbi(name, db_flags::create | extra);
    for (int i = 1; i <= n; i++) EXPECT_TRUE(w.put(d, key3(i), "v" + key3(i)));
    w.commit();
    return d;
  }

  static std::vector<std::string> keys(eldran::scan_range &&r) {
    std::vector<std::string> out;
    for (auto [k, v] : r) out.emplace_back(k);
    return out;
  }
};

// ---- Errors --------------------------------------------------------------

TEST(EldranError, CarriesCodeAndMessage) {
  for (int code : {ORV_KEYEXIST, ORV_CORRUPTED, ORV_BAD_TXN, ORV_PROBLEM, ENOENT, EACCES}) {
    const eldran::error e(code, "orv_put");
    EXPECT_EQ(e.code(), code);
    EXPECT_STREQ(e.message(), orv_strerror(code));
    EXPECT_EQ(std::string(e.what()), std::string("orv_put: ") + orv_strerror(code));
  }
}

TEST(EldranError, OpenOfMissingDirectoryThrowsAndLeavesNoHandle) {
  TempDir dir;
  expect_code(ENOENT, [&] { eldran::env e(dir.file("absent")); });
  // A bad setting is reported by its own call.
  try {
    eldran::env e(dir.path(), {.maxreaders = 0, .flags = static_cast<eldran::env_flags>(0x8u)});
    ADD_FAILURE() << "unknown environment flag accepted";
  } catch (const eldran::error &e) {
    EXPECT_NE(std::string(e.what()).find("orv_env_open"), std::string::npos) << e.what();
  }
}

TEST_F(EldranHpp, FailedCallsThrowTheirCodeAndKeepTheTransactionUsable) {
  eldran::dbi plain = filled("plain", 3, db_flags::none);
  eldran::txn w = env.begin_write();
  const std::string long_key(ORV_MAXKEYSIZE + 1, 'k');
  const struct {
    const char *what;
    int code;
    std::function<void()> fn;
  } cases[] = {
      {"key too long", ORV_BAD_VALSIZE, [&] { w.put(plain, long_key, "x"); }},
      {"empty key", ORV_BAD_VALSIZE, [&] { w.put(plain, "", "x"); }},
      {"rank in uncounted db", ORV_INCOMPATIBLE, [&] { (void)w.rank_of(plain, "001"); }},
      {"at_rank in uncounted db", ORV_INCOMPATIBLE, [&] { (void)w.at_rank(plain, 0); }},
      {"count range in uncounted db", ORV_INCOMPATIBLE,
       [&] { (void)w.count(plain, key_range::closed("001", "002")); }},
      {"dup count in plain db", ORV_INCOMPATIBLE,
       [&] {
         eldran::cursor c = w.open_cursor(plain);
         c.first();
         (void)c.count_dups();
       }},
      {"current flag on txn put", EINVAL, [&] { w.put(plain, "001", "x", put_flags::current); }},
      {"stale handle", EINVAL, [&] { (void)w.get(eldran::dbi(5), "001"); }},
      {"name with NUL", EINVAL, [&] { w.open_dbi(std::string_view("pl\0ain", 6)); }},
      {"missing database", ORV_NOTFOUND, [&] { w.open_dbi("nothing"); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    expect_code(c.code, c.fn);
  }
  // None of them marked the transaction failed: it still writes and commits.
  EXPECT_TRUE(w.put(plain, "004", "v004"));
  w.commit();
  eldran::txn r = env.begin_read();
  EXPECT_EQ(r.get(plain, "004"), "v004");
  EXPECT_EQ(r.get(plain, "001"), "v001");
  EXPECT_FALSE(r.find_dbi("nothing"));
  expect_code(EACCES, [&] { r.put(plain, "005", "x"); });
  expect_code(EACCES, [&] { r.open_dbi("new", db_flags::create); });
}

// ---- Reads and writes -----------------------------------------------------

TEST_F(EldranHpp, GetPutDelWithStringsAndBytes) {
  eldran::txn w = env.begin_write();
  eldran::dbi d = w.open_dbi("", db_flags::none);  // the main database
  EXPECT_EQ(d, eldran::dbi::main());
  EXPECT_FALSE(w.get(d, "a"));
  EXPECT_TRUE(w.put(d, "a", "1"));
  EXPECT_TRUE(w.put(d, "a", "2"));  // plain put overwrites
  EXPECT_EQ(w.get(d, "a"), "2");

  // Keys and values with embedded NUL bytes travel as byte spans.
  const std::byte raw_key[] = {std::byte{0}, std::byte{0xff}, std::byte{0}};
  const std::byte raw_val[] = {std::byte{1}, std::byte{0}, std::byte{2}, std::byte{0}};
  EXPECT_TRUE(w.put(d, std::span<const std::byte>(raw_key), std::span<const std::byte>(raw_val)));
  std::optional<std::string_view> v = w.get(d, std::span<const std::byte>(raw_key));
  ASSERT_TRUE(v);
  std::span<const std::byte> b = eldran::as_bytes(*v);
  ASSERT_EQ(b.size(), sizeof raw_val);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), raw_val));

  // no_overwrite refuses an existing key and keeps its value.
  EXPECT_FALSE(w.put(d, "a", "3", put_flags::no_overwrite));
  EXPECT_EQ(w.get(d, "a"), "2");
  EXPECT_TRUE(w.put(d, "b", "3", put_flags::no_overwrite));
  // append refuses a key not after the last one.
  EXPECT_TRUE(w.put(d, "z", "4", put_flags::append));
  EXPECT_FALSE(w.put(d, "c", "5", put_flags::append));
  EXPECT_FALSE(w.get(d, "c"));

  // reserve hands back room that the caller fills.
  std::span<std::byte> room = w.reserve(d, "r", 5);
  ASSERT_EQ(room.size(), 5u);
  std::memcpy(room.data(), "hello", 5);
  EXPECT_EQ(w.get(d, "r"), "hello");

  EXPECT_TRUE(w.del(d, "a"));
  EXPECT_FALSE(w.del(d, "a"));
  EXPECT_FALSE(w.get(d, "a"));
  EXPECT_TRUE(w.del(d, "b", "3"));
  w.commit();
}

TEST(EldranFlags, TypedSetsCombine) {
  constexpr put_flags f = put_flags::no_overwrite | put_flags::append;
  static_assert(eldran::bits(f) == (ORV_NOOVERWRITE | ORV_APPEND));
  static_assert(eldran::has(f, put_flags::append) && !eldran::has(f, put_flags::append_dup));
  db_flags d = db_flags::dupsort;
  d |= db_flags::counted;
  EXPECT_EQ(eldran::bits(d), 0x84u);
}

TEST_F(EldranHpp, DatabaseHandles) {
  eldran::txn w = env.begin_write();
  eldran::dbi a = w.open_dbi("a", db_flags::create | db_flags::dupsort | db_flags::counted);
  EXPECT_EQ(w.open_dbi("a", db_flags::reversekey), a);  // flags of a second open are ignored
  EXPECT_EQ(eldran::bits(w.flags(a)), 0x84u);
  EXPECT_EQ(w.stat(a).ms_entries, 0u);
  w.put(a, "k", "v");
  EXPECT_EQ(w.stat(a).ms_entries, 1u);
  w.commit();

  eldran::txn w2 = env.begin_write();
  w2.drop(a, true);
  w2.commit();
  eldran::txn r = env.begin_read();
  EXPECT_FALSE(r.find_dbi("a"));
}

// ---- Transactions ---------------------------------------------------------

TEST_F(EldranHpp, CommitAbortAndDestructionOfTransactions) {
  eldran::dbi d = filled("t", 0);
  {
    eldran::txn w = env.begin_write();
    w.put(d, "dropped", "1");
  }  // destruction aborts and releases the writer
  {
    eldran::txn w = env.begin_write();
    w.put(d, "aborted", "1");
    w.abort();
    EXPECT_FALSE(w.active());
    w.abort();  // a second abort does nothing
  }
  eldran::txn r1 = env.begin_read();
  {
    eldran::txn w = env.begin_write();
    EXPECT_EQ(w.id(), r1.id() + 1);
    w.put(d, "kept", "1");
    w.commit();
    EXPECT_FALSE(w.active());
  }
  // The older snapshot does not see the commit; a new one does.
  EXPECT_FALSE(r1.get(d, "kept"));
  r1.abort();
  eldran::txn r2 = env.begin_read();
  EXPECT_TRUE(r2.read_only());
  EXPECT_EQ(r2.get(d, "kept"), "1");
  EXPECT_FALSE(r2.get(d, "dropped"));
  EXPECT_FALSE(r2.get(d, "aborted"));
  expect_code(EINVAL, [&] { r2.begin_nested(); });  // read-only parent
}

TEST_F(EldranHpp, NestedTransactions) {
  eldran::dbi d = filled("n", 2);
  eldran::txn w = env.begin_write();
  {
    eldran::txn c = w.begin_nested();
    EXPECT_EQ(c.id(), w.id());
    expect_code(ORV_BAD_TXN, [&] { w.begin_nested(); });       // one child at a time
    expect_code(ORV_BAD_TXN, [&] { (void)w.get(d, "001"); });  // parent is blocked
    c.put(d, "child", "1");
    c.commit();
  }
  EXPECT_EQ(w.get(d, "child"), "1");  // merged into the parent
  {
    eldran::txn c = w.begin_nested();
    c.del(d, "001");
    eldran::txn g = c.begin_nested();  // children nest
    g.put(d, "grandchild", "1");
    g.commit();
    EXPECT_EQ(c.get(d, "grandchild"), "1");
  }  // aborted with everything below it
  EXPECT_EQ(w.get(d, "001"), "v001");
  EXPECT_FALSE(w.get(d, "grandchild"));
  EXPECT_EQ(w.count(d), 3u);

  // Ending a parent ends its live child; the child's handle is not used again.
  eldran::txn c = w.begin_nested();
  eldran::cursor cc = c.open_cursor(d);
  ASSERT_TRUE(cc.first());
  w.commit();
  EXPECT_FALSE(c.active());
  EXPECT_FALSE(cc.valid());
  expect_code(ORV_BAD_TXN, [&] { (void)c.get(d, "001"); });
  expect_code(ORV_BAD_TXN, [&] { cc.next(); });
  c.abort();  // nothing left to abort
  eldran::txn r = env.begin_read();
  EXPECT_EQ(r.get(d, "child"), "1");
}

TEST_F(EldranHpp, CursorOfParentUsedInsideChild) {
  eldran::dbi d = filled("p", 3);
  eldran::txn w = env.begin_write();
  eldran::cursor pc = w.open_cursor(d);
  ASSERT_EQ(pc.first()->key, "001");
  {
    eldran::txn c = w.begin_nested();
    EXPECT_EQ(pc.next()->key, "002");  // the cursor moves inside the child
  }                                    // the child aborts: the cursor is back where it stood before
  EXPECT_EQ(pc.current()->key, "001");
  w.commit();
}

// ---- Use after the end, moves ------------------------------------------

TEST_F(EldranHpp, EverythingOfAnEndedTransactionThrowsBadTxn) {
  eldran::dbi d = filled("e", 5);
  for (bool rdonly : {false, true}) {
    for (bool commit : {false, true}) {
      SCOPED_TRACE(std::string(rdonly ? "read" : "write") + (commit ? " commit" : " abort"));
      eldran::txn t = rdonly ? env.begin_read() : env.begin_write();
      eldran::cursor c = t.open_cursor(d);
      ASSERT_TRUE(c.first());
      eldran::scan_range range = t.scan(d);
      auto it = range.begin();
      ASSERT_EQ(it->key, "001");
      if (commit) {
        t.commit();
      } else {
        t.abort();
      }
      EXPECT_FALSE(t.active());
      EXPECT_FALSE(c.valid());
      const std::function<void()> uses[] = {
          [&] { (void)t.get(d, "001"); },
          [&] { t.put(d, "x", "y"); },
          [&] { t.del(d, "001"); },
          [&] { t.open_cursor(d); },
          [&] { t.scan(d); },
          [&] { (void)t.rank_of(d, "001"); },
          [&] { (void)t.at_rank(d, 0); },
          [&] { (void)t.count(d); },
          [&] { (void)t.count(d, key_range::closed("001", "003")); },
          [&] { (void)t.id(); },
          [&] { t.begin_nested(); },
          [&] { t.commit(); },
          [&] { c.next(); },
          [&] { c.current(); },
          [&] { (void)c.count_dups(); },
          [&] { c.seek_rank(1); },
          [&] { ++it; },
      };
      for (const auto &use : uses) expect_code(ORV_BAD_TXN, use);
    }  // cursors and ranges of the ended transactions are destroyed here
  }
  // The writer was released every time.
  eldran::txn w = env.begin_write();
  EXPECT_EQ(w.count(d), 5u);
}

TEST_F(EldranHpp, MovesTransferOwnership) {
  eldran::dbi d = filled("m", 3);
  eldran::txn a = env.begin_write();
  a.put(d, "moved", "1");
  eldran::txn b = std::move(a);
  EXPECT_FALSE(a.active());
  expect_code(EINVAL, [&] { (void)a.get(d, "001"); });
  a.abort();  // harmless on a moved-from transaction

  eldran::cursor c1 = b.open_cursor(d);
  ASSERT_TRUE(c1.lower_bound("002"));
  eldran::cursor c2 = std::move(c1);
  EXPECT_FALSE(c1.valid());
  expect_code(EINVAL, [&] { c1.next(); });
  EXPECT_EQ(c2.next()->key, "003");  // the position moved with it
  c1 = std::move(c2);
  EXPECT_EQ(c1.current()->key, "003");
  b.commit();

  // Assigning over a live transaction aborts it (and frees the writer).
  eldran::txn w = env.begin_write();
  w.put(d, "overwritten", "1");
  w = env.begin_read();
  EXPECT_TRUE(w.read_only());
  EXPECT_EQ(w.get(d, "moved"), "1");
  EXPECT_FALSE(w.get(d, "overwritten"));
  w = eldran::txn();
  { eldran::txn again = env.begin_write(); }

  eldran::env e2 = std::move(env);
  EXPECT_EQ(env.handle(), nullptr);
  expect_code(EINVAL, [&] { env.begin_read(); });
  eldran::txn r = e2.begin_read();
  EXPECT_EQ(r.count(d), 4u);
  r.abort();
  env = std::move(e2);  // back, so that the fixture closes it
}

// ---- Cursors and iteration --------------------------------------------

TEST_F(EldranHpp, CursorMoves) {
  eldran::dbi d = filled("c", 5);
  eldran::txn w = env.begin_write();
  eldran::cursor c = w.open_cursor(d);
  EXPECT_EQ(c.dbi(), d);
  EXPECT_EQ(c.last()->key, "005");
  EXPECT_FALSE(c.next());
  EXPECT_EQ(c.prev()->key, "004");
  EXPECT_EQ(c.find("002")->value, "v002");
  EXPECT_FALSE(c.find("0025"));
  EXPECT_EQ(c.lower_bound("0025")->key, "003");
  EXPECT_FALSE(c.lower_bound("999"));
  expect_code(ORV_INCOMPATIBLE, [&] { c.find_both("004", "v004"); });  // needs dupsort
  ASSERT_TRUE(c.find("003"));
  EXPECT_TRUE(c.put("003", "new", put_flags::current));  // replaces what is under the cursor
  c.del();
  EXPECT_EQ(c.next()->key, "004");
  w.commit();
  eldran::txn r = env.begin_read();
  EXPECT_EQ(keys(r.scan(d)), (std::vector<std::string>{"001", "002", "004", "005"}));
}

TEST_F(EldranHpp, ScanOfEveryDatabaseKindMatchesAModel) {
  const db_flags kinds[] = {db_flags::none, db_flags::counted, db_flags::prefixkey,
                            db_flags::counted | db_flags::prefixkey, db_flags::dupsort};
  int n = 0;
  for (db_flags kind : kinds) {
    SCOPED_TRACE(eldran::bits(kind));
    std::map<std::string, std::string> model;
    eldran::txn w = env.begin_write();
    eldran::dbi d = w.open_dbi("kind" + std::to_string(n++), db_flags::create | kind);
    for (int i = 0; i < 300; i++) {
      const std::string k = "key/" + std::to_string((i * 7919) % 1000);
      model[k] = "value " + std::to_string(i);
      w.put(d, k, model[k]);
    }
    w.commit();
    eldran::txn r = env.begin_read();
    auto m = model.begin();
    for (auto [k, v] : r.scan(d)) {
      ASSERT_NE(m, model.end());
      EXPECT_EQ(k, m->first);
      EXPECT_EQ(v, m->second);
      ++m;
    }
    EXPECT_EQ(m, model.end());
  }
}

TEST_F(EldranHpp, ScanOfAKeyRange) {
  eldran::dbi d = filled("r", 20);
  eldran::txn r = env.begin_read();
  const struct {
    key_range range;
    int first, last;  // expected keys first..last; first > last: none
  } cases[] = {
      {key_range::closed("005", "008"), 5, 8},
      {key_range::half_open("005", "008"), 5, 7},
      {{"005", "008", false, false}, 6, 7},
      {{"005", "008", false, true}, 6, 8},
      {key_range::closed("0045", "0085"), 5, 8},  // bounds between keys
      {key_range::from("018"), 18, 20},
      {key_range::from("018", false), 19, 20},
      {key_range::to("003"), 1, 3},
      {key_range::to("003", false), 1, 2},
      {{}, 1, 20},
      {key_range::closed("007", "007"), 7, 7},
      {key_range::half_open("007", "007"), 1, 0},
      {key_range::closed("009", "003"), 1, 0},  // lower above upper
      {key_range::from("021"), 1, 0},
      {key_range::to("000"), 1, 0},
  };
  for (const auto &c : cases) {
    std::vector<std::string> want;
    for (int i = c.first; i <= c.last; i++) want.push_back(key3(i));
    SCOPED_TRACE(testing::PrintToString(want));
    EXPECT_EQ(keys(r.scan(d, c.range)), want);
    // A counted database answers the same size without a walk.
    EXPECT_EQ(r.count(d, c.range), want.size());
    EXPECT_EQ(r.count_keys(d, c.range), want.size());
  }
}

TEST_F(EldranHpp, RangeRestartsAndIteratorsStep) {
  eldran::dbi d = filled("it", 3);
  eldran::txn r = env.begin_read();
  eldran::scan_range range = r.scan(d);
  EXPECT_EQ(keys(std::move(range)), (std::vector<std::string>{"001", "002", "003"}));
  eldran::scan_range again = r.scan(d);
  auto it = again.begin();
  it++;
  EXPECT_EQ((*it).key, "002");
  EXPECT_EQ(again.begin()->key, "001");  // begin() starts over
  EXPECT_TRUE(again.begin() != again.end());
  eldran::txn w2 = env.begin_write();
  eldran::dbi empty = w2.open_dbi("empty", db_flags::create);
  EXPECT_TRUE(keys(w2.scan(empty)).empty());
}

TEST_F(EldranHpp, DuplicatesOfAKeyWithOneValue) {
  for (db_flags kind : {db_flags::dupsort, db_flags::none}) {
    SCOPED_TRACE(eldran::bits(kind));
    eldran::dbi d = filled(kind == db_flags::none ? "one" : "dups", 4, kind);
    eldran::txn r = env.begin_read();
    std::vector<std::string> values;
    for (auto e : r.duplicates(d, "003")) values.emplace_back(e.value);
    EXPECT_EQ(values, std::vector<std::string>{"v003"});
    EXPECT_TRUE(keys(r.duplicates(d, "0035")).empty());
    EXPECT_TRUE(keys(r.duplicates(d, "999")).empty());
    if (kind == db_flags::dupsort) {
      eldran::cursor c = r.open_cursor(d);
      EXPECT_EQ(c.find_both("002", "v002")->key, "002");
      EXPECT_EQ(c.count_dups(), 1u);
      EXPECT_FALSE(c.find_both("002", "other"));
    }
  }
}

TEST_F(EldranHpp, DuplicatesOfAKeyWithSeveralValues) {
  eldran::txn w = env.begin_write();
  eldran::dbi d = w.open_dbi("multi", db_flags::create | db_flags::dupsort | db_flags::counted);
  for (const char *v : {"z", "x", "y"}) w.put(d, "b", v);
  w.put(d, "a", "1");
  w.put(d, "c", "1");
  std::vector<std::string> values;
  for (auto e : w.duplicates(d, "b")) values.emplace_back(e.value);
  EXPECT_EQ(values, (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_FALSE(w.put(d, "b", "y", put_flags::no_dup_data));
  eldran::cursor c = w.open_cursor(d);
  c.find("b");
  EXPECT_EQ(c.count_dups(), 3u);
  EXPECT_EQ(w.at_rank(d, 3)->value, "z");
  EXPECT_EQ(w.rank_of(d, "b", "y"), 2u);
  EXPECT_EQ(w.count(d, key_range::closed("a", "b")), 4u);
  EXPECT_EQ(w.count_keys(d, key_range::closed("a", "c")), 3u);
  EXPECT_TRUE(w.del(d, "b", "y"));
  EXPECT_EQ(w.count(d), 4u);
}

// ---- Ranks and counts -----------------------------------------------------

TEST_F(EldranHpp, RanksAndCounts) {
  for (db_flags kind : {db_flags::counted, db_flags::counted | db_flags::prefixkey,
                        db_flags::counted | db_flags::dupsort}) {
    SCOPED_TRACE(eldran::bits(kind));
    const std::string name = "rank" + std::to_string(eldran::bits(kind));
    eldran::dbi d = filled(name.c_str(), 100, kind);
    eldran::txn r = env.begin_read();
    EXPECT_EQ(r.count(d), 100u);
    eldran::cursor c = r.open_cursor(d);
    for (std::uint64_t i = 0; i < 100; i++) {
      const std::string k = key3(static_cast<int>(i) + 1);
      std::optional<eldran::entry> e = r.at_rank(d, i);
      ASSERT_TRUE(e);
      EXPECT_EQ(e->key, k);
      EXPECT_EQ(r.rank_of(d, k), i);
      EXPECT_EQ(r.rank_of(d, k, "v" + k), i);
      EXPECT_EQ(c.seek_rank(i)->key, k);  // upward walk on one cursor
    }
    EXPECT_FALSE(r.at_rank(d, 100));
    EXPECT_FALSE(c.seek_rank(100));
    EXPECT_FALSE(r.rank_of(d, "0105"));
    EXPECT_FALSE(r.rank_of(d, "010", "wrong"));

    const struct {
      key_range range;
      std::uint64_t n;
    } cases[] = {
        {key_range::closed("010", "020"), 11},
        {key_range::half_open("010", "020"), 10},
        {{"010", "020", false, true}, 10},
        {{"010", "020", false, false}, 9},
        {key_range::closed("010", "010"), 1},
        {{"010", "010", true, false}, 0},
        {{"010", "010", false, true}, 0},
        {key_range::closed("020", "010"), 0},
        {{}, 100},
        {key_range::from("095"), 6},
        {key_range::to("995"), 100},
        {key_range::to("005", false), 4},
    };
    for (const auto &cs : cases) {
      EXPECT_EQ(r.count(d, cs.range), cs.n);
      EXPECT_EQ(r.count_keys(d, cs.range), cs.n);
    }
  }
}

TEST_F(EldranHpp, RankOfAPrefixKeyOutlivesTheCall) {
  eldran::dbi d = filled("pk", 50, db_flags::counted | db_flags::prefixkey);
  eldran::txn r = env.begin_read();
  std::optional<eldran::entry> e = r.at_rank(d, 37);
  ASSERT_TRUE(e);
  const std::string copy(e->key);
  EXPECT_EQ(copy, "038");
  EXPECT_EQ(e->key, copy);  // still readable after the temporary cursor is gone
}

}  // namespace
