// Shared by the cursor and descent suites: a table of database flag sets
// with their keys and values, a harness of read checks (walks both ways,
// SET/SET_KEY/SET_RANGE probes, GET_CURRENT, EOF behaviour, orv_get,
// argument errors), and FakeEnv, which lays out trees page by page in a
// private "map" behind a read-only transaction record, independently of the
// write path.
#ifndef ORV_TESTS_BTREE_CURSOR_HARNESS_H
#define ORV_TESTS_BTREE_CURSOR_HARNESS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "util/fixtures.h"
#include "util/prefix_keys.h"
#include "util/tempdir.h"

namespace orv_test::cursors {

using orv_test::CursorPtr;
using orv_test::open_cursor;
using orv_test::str;
using orv_test::val;

inline constexpr unsigned kPsize = 4096;

inline std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
inline std::string u64(uint64_t v) { return std::string(reinterpret_cast<const char *>(&v), 8); }

// ---- Flag sets and their keys ------------------------------------------------------

struct FlagSet {
  const char *name;
  unsigned flags;
  int int_width;  // ORV_INTEGERKEY: 4 or 8 bytes
};

inline const FlagSet kFlagSets[] = {
    {"plain", 0, 0},
    {"int4", ORV_INTEGERKEY, 4},
    {"int8", ORV_INTEGERKEY, 8},
    {"reverse", ORV_REVERSEKEY, 0},
    {"counted", ORV_COUNTED, 0},
    {"prefix", ORV_PREFIXKEY, 0},
    {"prefix_counted", ORV_PREFIXKEY | ORV_COUNTED, 0},
};

inline void PrintTo(const FlagSet &fs, std::ostream *os) { *os << fs.name; }

// Key number n in a flag set's encoding. Plain keys sort as numbers thanks
// to the padding; reverse keys are written backwards, so the reverse order
// is the numeric one too; integer keys are native integers.
inline std::string make_key(const FlagSet &fs, uint64_t n) {
  if (fs.int_width == 4) return u32(static_cast<uint32_t>(n));
  if (fs.int_width == 8) return u64(n * 0x10001ull);  // spread over several bytes
  char buf[32];
  std::snprintf(buf, sizeof buf, "key%07llu", static_cast<unsigned long long>(n));
  std::string k(buf);
  if (fs.flags & ORV_REVERSEKEY) std::reverse(k.begin(), k.end());
  // Long shared prefixes, and unpadded numbers so that some keys are
  // prefixes of others ("key3" < "key30" < "key300").
  if (fs.flags & ORV_PREFIXKEY)
    k = std::string(n % 3 == 0 ? 140 : 20, 'p') + "key" + std::to_string(n);
  return k;
}

// Every 37th value is larger than a page and lands on an overflow run.
inline std::string make_value(uint64_t n) {
  std::string v = "value-" + std::to_string(n);
  if (n % 37 == 5) v += std::string(6000 + n, static_cast<char>('a' + n % 26));
  return v;
}

using Model = std::vector<std::pair<std::string, std::string>>;

// Keys 3, 6, 9, ... (gaps for probes), sorted by the database's comparator.
inline Model make_model(const FlagSet &fs, int count) {
  Model m;
  for (int i = 1; i <= count; ++i) m.emplace_back(make_key(fs, 3u * i), make_value(3u * i));
  ORV_cmp_func cmp = orv_default_key_cmp(fs.flags);
  std::sort(m.begin(), m.end(), [cmp](const auto &a, const auto &b) {
    ORV_val x = val(a.first), y = val(b.first);
    return cmp(&x, &y) < 0;
  });
  return m;
}

// ---- The read harness ------------------------------------------------------------

inline void expect_entry(ORV_cursor *mc, int rc, const ORV_val &k, const ORV_val &d,
                         const std::pair<std::string, std::string> &want) {
  ASSERT_EQ(rc, 0) << orv_strerror(rc);
  EXPECT_EQ(str(k), want.first);
  ASSERT_EQ(d.mv_size, want.second.size());
  EXPECT_EQ(str(d), want.second);
  (void)mc;
}

inline void check_walks(ORV_txn *txn, ORV_dbi dbi, const Model &m) {
  ORV_val k, d;
  {
    SCOPED_TRACE("forward");
    CursorPtr c = open_cursor(txn, dbi);
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_FIRST);
    for (size_t i = 0; i < m.size(); ++i) {
      expect_entry(c.get(), rc, k, d, m[i]);
      if (testing::Test::HasFatalFailure()) return;
      rc = orv_cursor_get(c.get(), &k, &d, ORV_NEXT);
    }
    EXPECT_EQ(rc, ORV_NOTFOUND);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ORV_NOTFOUND);
    // Past the end the cursor still stands on the last entry.
    expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), k, d, m.back());
    if (m.size() > 1)
      expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_PREV), k, d, m[m.size() - 2]);
  }
  {
    SCOPED_TRACE("backward from an unpositioned cursor");
    CursorPtr c = open_cursor(txn, dbi);
    int rc = orv_cursor_get(c.get(), &k, &d, ORV_PREV);
    for (size_t i = m.size(); i-- > 0;) {
      expect_entry(c.get(), rc, k, d, m[i]);
      if (testing::Test::HasFatalFailure()) return;
      rc = orv_cursor_get(c.get(), &k, &d, ORV_PREV);
    }
    EXPECT_EQ(rc, ORV_NOTFOUND);
    // A failed step back leaves the cursor on the first entry.
    if (m.size() > 1) expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_NEXT), k, d, m[1]);
  }
  {
    SCOPED_TRACE("NEXT on an unpositioned cursor, keys only, LAST then NEXT");
    CursorPtr c = open_cursor(txn, dbi);
    ASSERT_EQ(orv_cursor_get(c.get(), &k, nullptr, ORV_NEXT), 0);
    EXPECT_EQ(str(k), m.front().first);
    size_t n = 1;
    while (orv_cursor_get(c.get(), &k, nullptr, ORV_NEXT_NODUP) == 0) ++n;
    EXPECT_EQ(n, m.size());
    expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_LAST), k, d, m.back());
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT), ORV_NOTFOUND);
    expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), k, d, m.back());
    // Data only, then the key alone.
    if (m.size() > 1) {
      ASSERT_EQ(orv_cursor_get(c.get(), nullptr, &d, ORV_PREV_NODUP), 0);
      EXPECT_EQ(str(d), m[m.size() - 2].second);
      ASSERT_EQ(orv_cursor_get(c.get(), &k, nullptr, ORV_GET_CURRENT), 0);
      EXPECT_EQ(str(k), m[m.size() - 2].first);
    }
  }
}

// Seeking with the very key descriptor the cursor handed out: on
// prefix-compressed trees it points into the cursor's own buffers, which the
// search itself rewrites.
inline void check_reseek(ORV_cursor *c, const Model &m) {
  ORV_val k, d;
  size_t i = 0;
  for (int rc = orv_cursor_get(c, &k, &d, ORV_FIRST); rc == 0;
       rc = orv_cursor_get(c, &k, &d, ORV_NEXT), ++i) {
    ASSERT_LT(i, m.size());
    ORV_val k2 = k;
    ASSERT_EQ(orv_cursor_get(c, &k2, &d, ORV_SET_RANGE), 0);
    EXPECT_EQ(str(k2), m[i].first);
    EXPECT_EQ(str(d), m[i].second);
    ORV_val k3 = k2;
    ASSERT_EQ(orv_cursor_get(c, &k3, &d, ORV_SET), 0);
    EXPECT_EQ(k3.mv_data, k2.mv_data) << "ORV_SET must give the caller's key back";
    EXPECT_EQ(str(d), m[i].second);
    ASSERT_EQ(orv_cursor_get(c, &k3, &d, ORV_SET_KEY), 0);
    EXPECT_EQ(str(k3), m[i].first);
    k = k3;
  }
  EXPECT_EQ(i, m.size());
}

// The same reads through a cursor made the way the engine makes its own
// (on the stack, not long-lived: no page key cache).
inline void check_internal_cursor(ORV_txn *txn, ORV_dbi dbi, const Model &m) {
  ORV_cursor mc{};
  ORV_xcursor mx{};
  orv_cursor_init(&mc, txn, dbi, &mx);
  ORV_val k, d;
  size_t i = m.size();
  for (int rc = orv_cursor_get(&mc, &k, &d, ORV_LAST); rc == 0;
       rc = orv_cursor_get(&mc, &k, &d, ORV_PREV)) {
    ASSERT_GT(i, 0u);
    --i;
    EXPECT_EQ(str(k), m[i].first);
    EXPECT_EQ(str(d), m[i].second);
  }
  EXPECT_EQ(i, 0u);
  check_reseek(&mc, m);
  EXPECT_EQ(mc.mc_pkc_keys, nullptr);
  orv_pkc_free(&mc);
  orv_pkc_free(&mx.mx_cursor);
}

// Probes: every stored key, a key between each pair, and keys outside.
inline void check_probes(ORV_txn *txn, ORV_dbi dbi, const FlagSet &fs, const Model &m) {
  ORV_cmp_func cmp = orv_default_key_cmp(fs.flags);
  std::vector<std::string> probes;
  for (int i = 0; i <= static_cast<int>(m.size()) + 1; ++i) {
    probes.push_back(make_key(fs, 3u * i));      // stored, except 0 and past the end
    probes.push_back(make_key(fs, 3u * i + 1));  // between
  }
  std::reverse(probes.begin() + static_cast<long>(probes.size() / 2), probes.end());

  // A fresh cursor per probe descends from the root; the shared cursor
  // first tries the leaf it stands on.
  CursorPtr shared = open_cursor(txn, dbi);
  for (const std::string &p : probes) {
    SCOPED_TRACE(testing::PrintToString(p));
    ORV_val pk = val(p);
    auto it = std::lower_bound(m.begin(), m.end(), p, [cmp](const auto &e, const std::string &key) {
      ORV_val x = val(e.first), y = val(key);
      return cmp(&x, &y) < 0;
    });
    const bool hit = it != m.end() && it->first == p;
    for (ORV_cursor *c : {open_cursor(txn, dbi).release(), shared.get()}) {
      ORV_val k = pk, d{0, nullptr};
      int rc = orv_cursor_get(c, &k, &d, ORV_SET);
      if (hit) {
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(k.mv_data, pk.mv_data) << "ORV_SET must not write the key";
        EXPECT_EQ(str(d), it->second);
      } else {
        EXPECT_EQ(rc, ORV_NOTFOUND);
      }
      k = pk;
      rc = orv_cursor_get(c, &k, &d, ORV_SET_KEY);
      if (hit) {
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(str(k), p);
        EXPECT_EQ(str(d), it->second);
      } else {
        EXPECT_EQ(rc, ORV_NOTFOUND);
      }
      k = pk;
      rc = orv_cursor_get(c, &k, &d, ORV_SET_RANGE);
      if (it == m.end()) {
        EXPECT_EQ(rc, ORV_NOTFOUND);
        EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_GET_CURRENT), ORV_NOTFOUND);
      } else {
        expect_entry(c, rc, k, d, *it);
        if (it + 1 != m.end()) {
          expect_entry(c, orv_cursor_get(c, &k, &d, ORV_NEXT), k, d, *(it + 1));
        } else {
          EXPECT_EQ(orv_cursor_get(c, &k, &d, ORV_NEXT), ORV_NOTFOUND);
        }
      }
      if (c != shared.get()) orv_cursor_close(c);
    }
    ORV_val k = pk, d;
    int rc = orv_get(txn, dbi, &k, &d);
    if (hit) {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(str(d), it->second);
    } else {
      EXPECT_EQ(rc, ORV_NOTFOUND);
    }
  }
}

inline void check_errors(ORV_txn *txn, ORV_dbi dbi, const Model &m) {
  ORV_val k, d;
  CursorPtr c = open_cursor(txn, dbi);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), EINVAL);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST_DUP), EINVAL);
  EXPECT_EQ(orv_cursor_get(c.get(), nullptr, &d, ORV_GET_MULTIPLE), EINVAL);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, static_cast<ORV_cursor_op>(19)), EINVAL);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, static_cast<ORV_cursor_op>(-1)), EINVAL);
  EXPECT_EQ(orv_cursor_get(nullptr, &k, &d, ORV_FIRST), EINVAL);
  EXPECT_EQ(orv_cursor_get(c.get(), nullptr, &d, ORV_SET), EINVAL);
  EXPECT_EQ(orv_cursor_get(c.get(), nullptr, &d, ORV_SET_RANGE), EINVAL);
  ORV_val empty{0, const_cast<char *>("")};
  for (ORV_cursor_op op : {ORV_SET, ORV_SET_KEY, ORV_SET_RANGE}) {
    k = empty;
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, op), ORV_BAD_VALSIZE) << op;
  }
  k = empty;
  EXPECT_EQ(orv_get(txn, dbi, &k, &d), ORV_BAD_VALSIZE);
  k = val(m.front().first);
  EXPECT_EQ(orv_get(txn, dbi, &k, nullptr), EINVAL);
  EXPECT_EQ(orv_get(txn, 99, &k, &d), EINVAL);
  EXPECT_EQ(orv_get(nullptr, dbi, &k, &d), EINVAL);

  // Operations on duplicates, in a database that keeps none.
  uint64_t count = 0;
  EXPECT_EQ(orv_cursor_count(c.get(), &count), ORV_INCOMPATIBLE);
  ORV_val want = val(m.front().second);
  k = val(m.front().first);
  d = want;
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_BOTH), ORV_INCOMPATIBLE);
  ASSERT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_FIRST), 0);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_MULTIPLE), ORV_INCOMPATIBLE);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT_MULTIPLE), ORV_INCOMPATIBLE);
  // A key has exactly one value: no other value of the same key, and the
  // first and last value are that value; the cursor stays where it is.
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_NEXT_DUP), ORV_NOTFOUND);
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_PREV_DUP), ORV_NOTFOUND);
  expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_LAST_DUP), k, d, m.front());
  expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_FIRST_DUP), k, d, m.front());
  if (m.size() > 1) expect_entry(c.get(), orv_cursor_get(c.get(), &k, &d, ORV_NEXT), k, d, m[1]);
}

inline void check_reads(ORV_txn *txn, ORV_dbi dbi, const FlagSet &fs, const Model &m) {
  {
    SCOPED_TRACE("walks");
    check_walks(txn, dbi, m);
  }
  {
    SCOPED_TRACE("probes");
    check_probes(txn, dbi, fs, m);
  }
  {
    SCOPED_TRACE("errors");
    check_errors(txn, dbi, m);
  }
  {
    SCOPED_TRACE("re-seek");
    CursorPtr c = open_cursor(txn, dbi);
    check_reseek(c.get(), m);
  }
  {
    SCOPED_TRACE("internal cursor");
    check_internal_cursor(txn, dbi, m);
  }
}

inline void check_empty(ORV_txn *txn, ORV_dbi dbi, const FlagSet &fs) {
  CursorPtr c = open_cursor(txn, dbi);
  std::string probe = make_key(fs, 5);
  ORV_val k = val(probe), d;
  for (ORV_cursor_op op :
       {ORV_FIRST, ORV_LAST, ORV_NEXT, ORV_PREV, ORV_SET, ORV_SET_KEY, ORV_SET_RANGE}) {
    k = val(probe);
    EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, op), ORV_NOTFOUND) << op;
  }
  EXPECT_EQ(orv_cursor_get(c.get(), &k, &d, ORV_GET_CURRENT), EINVAL);
  k = val(probe);
  EXPECT_EQ(orv_get(txn, dbi, &k, &d), ORV_NOTFOUND);
}

// ---- Hand-built trees ------------------------------------------------------------

// A private "map" of pages and a read-only transaction record over it.
class FakeEnv {
 public:
  static constexpr unsigned kDbs = 4;

  explicit FakeEnv(size_t npages) : map_(npages * kPsize / 8 + 1) {
    env_ = std::make_unique<ORV_env>();
    env_->me_psize = kPsize;
    env_->me_map = reinterpret_cast<char *>(map_.data());
    // No data file: the map is all there is.
    env_->me_fd = -1;
    env_->me_maxpg = npages;
    env_->me_dbiseqs = env_seqs_;
    env_->me_maxdbs = kDbs;
    txn_ = std::make_unique<ORV_txn>();
    txn_->mt_env = env_.get();
    txn_->mt_flags = ORV_RDONLY;
    txn_->mt_txnid = 1;
    txn_->mt_dbs = dbs_;
    txn_->mt_dbxs = dbxs_;
    txn_->mt_dbflags = dbflags_;
    txn_->mt_dbiseqs = txn_seqs_;
    txn_->mt_dbcount = 2;
    for (ORV_db &db : dbs_) db.md_root = P_INVALID;
    dbflags_[FREE_DBI] = DB_VALID;
    dbflags_[MAIN_DBI] = DB_VALID | DB_USRVALID;
    set_flags(MAIN_DBI, 0);
    set_flags(FREE_DBI, ORV_INTEGERKEY);
    dbxs_[FREE_DBI].md_cmp = orv_cmp_uint64;
  }

  ORV_txn *txn() { return txn_.get(); }
  ORV_env *env() { return env_.get(); }
  ORV_db &db(ORV_dbi dbi) { return dbs_[dbi]; }
  ORV_dbx &dbx(ORV_dbi dbi) { return dbxs_[dbi]; }
  uint8_t &dbflag(ORV_dbi dbi) { return dbflags_[dbi]; }
  // The environment's handle sequence number, advanced by a close.
  uint32_t &env_seq(ORV_dbi dbi) { return env_seqs_[dbi]; }

  void set_flags(ORV_dbi dbi, unsigned flags) {
    dbs_[dbi].md_flags = static_cast<uint16_t>(flags);
    dbxs_[dbi].md_cmp = orv_default_key_cmp(flags);
    dbxs_[dbi].md_dcmp = orv_default_dup_cmp(flags);
  }

  ORV_page *page(pgno_t pgno) { return reinterpret_cast<ORV_page *>(env_->me_map + pgno * kPsize); }
  ORV_page *alloc(uint16_t flags, unsigned npages = 1) {
    const pgno_t pgno = next_;
    next_ += npages;
    if (next_ * kPsize > map_.size() * 8) std::abort();
    txn_->mt_next_pgno = next_;
    ORV_page *mp = page(pgno);
    mp->mp_pgno = pgno;
    mp->mp_flags = flags;
    if (flags & P_OVERFLOW) {
      set_mp_pages(mp, npages);
    } else {
      mp->mp_lower = PAGEHDRSZ;
      mp->mp_upper = kPsize;
    }
    return mp;
  }

  // Appends a node to a page, in slot order.
  ORV_node *add_node(ORV_page *mp, const std::string &key, size_t node_size) {
    mp->mp_upper -= static_cast<uint16_t>(even(node_size));
    if (mp->mp_upper < mp->mp_lower + 2) std::abort();
    mp_ptrs(mp)[numkeys(mp)] = mp->mp_upper;
    mp->mp_lower += 2;
    ORV_node *node = node_ptr(mp, numkeys(mp) - 1);
    node->mn_ksize = static_cast<uint16_t>(key.size());
    std::memcpy(node_key(node, node_hdrsz(mp)), key.data(), key.size());
    return node;
  }
  void add_leaf(ORV_page *mp, const std::string &key, const std::string &value,
                uint16_t nflags = 0) {
    if (leaf_node_size(key.size(), value.size()) > 2000) {
      ORV_page *ov = alloc(P_OVERFLOW, static_cast<unsigned>(ovpages(kPsize, value.size())));
      std::memcpy(page_data(ov), value.data(), value.size());
      ORV_node *node = add_node(mp, key, bigdata_node_size(key.size()));
      node->mn_flags = F_BIGDATA | nflags;
      set_node_dsize(node, value.size());
      store_u64(node_data(node), ov->mp_pgno);
      return;
    }
    ORV_node *node = add_node(mp, key, leaf_node_size(key.size(), value.size()));
    node->mn_flags = nflags;
    set_node_dsize(node, value.size());
    std::memcpy(node_data(node), value.data(), value.size());
  }
  void add_branch(ORV_page *mp, const std::string &key, pgno_t child, uint64_t count) {
    ORV_node *node = add_node(mp, key, branch_node_size(mp, key.size()));
    set_node_pgno(node, child);
    if (is_counted(mp)) set_node_count(node, count);
  }

  // Lays out a tree holding m (sorted) into database dbi: leaves of
  // leaf_fan entries, branch pages of branch_fan children.
  void build(ORV_dbi dbi, const Model &m, unsigned leaf_fan, unsigned branch_fan) {
    ORV_db &db = dbs_[dbi];
    db.md_depth = 0;
    db.md_entries = m.size();
    if (m.empty()) {
      db.md_root = P_INVALID;
      return;
    }
    struct Child {
      pgno_t pgno;
      std::string first;
      uint64_t count;
    };
    std::vector<Child> level;
    const bool prefixed = db.md_flags & ORV_PREFIXKEY;
    for (size_t i = 0; i < m.size(); i += leaf_fan) {
      ORV_page *mp = alloc(P_LEAF);
      const size_t end = std::min(m.size(), i + leaf_fan);
      size_t longest = 0;
      for (size_t j = i; j < end; ++j) {
        std::string stored = m[j].first;
        if (prefixed && j > i) {
          // Every key but the page's first is stored against the first.
          ORV_val first = val(m[i].first), key = val(m[j].first);
          stored.resize(key.mv_size + ORV_VARINT_MAX);
          stored.resize(orv_prefix_key_write(&first, &key, stored.data(), nullptr));
        }
        add_leaf(mp, stored, m[j].second);
        longest = std::max(longest, m[j].first.size());
      }
      if (prefixed) mp->mp_pad = static_cast<uint16_t>(longest);
      level.push_back({mp->mp_pgno, m[i].first, end - i});
    }
    db.md_depth = 1;
    const bool counted = db.md_flags & ORV_COUNTED;
    while (level.size() > 1) {
      // Groups of branch_fan children; a single trailing child joins the
      // group before it, since a branch page needs two slots.
      std::vector<std::pair<size_t, size_t>> groups;
      for (size_t i = 0; i < level.size(); i += branch_fan)
        groups.emplace_back(i, std::min(level.size(), i + branch_fan));
      if (groups.size() > 1 && groups.back().second - groups.back().first == 1) {
        groups[groups.size() - 2].second = groups.back().second;
        groups.pop_back();
      }
      std::vector<Child> up;
      for (auto [from, to] : groups) {
        ORV_page *mp = alloc(static_cast<uint16_t>(P_BRANCH | (counted ? P_COUNTED : 0)));
        uint64_t total = 0;
        for (size_t j = from; j < to; ++j) {
          // Slot 0 carries no key, as on a fresh root.
          add_branch(mp, j == from ? std::string() : level[j].first, level[j].pgno, level[j].count);
          total += level[j].count;
        }
        up.push_back({mp->mp_pgno, level[from].first, total});
      }
      level = std::move(up);
      ++db.md_depth;
    }
    db.md_root = level[0].pgno;
  }

  // A named database slot whose record must be read from the main database.
  ORV_dbi add_named(const char *name, unsigned flags) {
    const ORV_dbi dbi = txn_->mt_dbcount++;
    names_.emplace_back(name);
    dbxs_[dbi].md_name = val(names_.back());
    set_flags(dbi, flags);
    dbflags_[dbi] = DB_VALID | DB_USRVALID | DB_STALE;
    return dbi;
  }

 private:
  std::vector<uint64_t> map_;
  std::unique_ptr<ORV_env> env_;
  std::unique_ptr<ORV_txn> txn_;
  ORV_db dbs_[kDbs]{};
  ORV_dbx dbxs_[kDbs]{};
  uint8_t dbflags_[kDbs]{};
  uint32_t env_seqs_[kDbs]{};
  uint32_t txn_seqs_[kDbs]{};
  std::vector<std::string> names_;
  pgno_t next_ = 2;  // pages 0 and 1 are the meta pages
};

inline std::string db_record(const ORV_db &db) {
  return std::string(reinterpret_cast<const char *>(&db), sizeof db);
}

}  // namespace orv_test::cursors

#endif  // ORV_TESTS_BTREE_CURSOR_HARNESS_H
