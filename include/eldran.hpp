// eldran.hpp: a header-only C++20 interface over the C interface of orv.h.
//
//   eldran::env env("/path/to/dir", {.mapsize = 64 << 20, .maxdbs = 4});
//   {
//     eldran::txn w = env.begin_write();
//     eldran::dbi fruit = w.open_dbi("fruit", eldran::db_flags::create);
//     w.put(fruit, "apple", "3 crates");
//     w.commit();
//   }
//   eldran::txn r = env.begin_read();
//   if (auto v = r.get(fruit, "apple")) std::cout << *v << '\n';
//   for (auto [key, value] : r.scan(fruit)) ...
//
// Ownership. `env`, `txn` and `cursor` own their C handle: they are movable,
// not copyable, and close (env, cursor) or abort (txn) it on destruction.
// Destroy cursors and transactions before their environment. `dbi` is a
// plain value: a database handle belongs to the environment and stays valid
// across transactions, so it is never closed behind the application's back
// (a handle whose opening transaction aborted is given up by the engine and
// its slot may be reused; closing it from a destructor would close someone
// else's database). Close one explicitly with `env::close_dbi`.
//
// Transactions end exactly once. After commit, abort or destruction a `txn`
// is ended: every operation on it, on its cursors and on their iterators
// throws `eldran::error` with code ORV_BAD_TXN, and nothing reaches the C
// library with the freed handle. Ending a parent ends its live child too.
// A moved-from object is empty: operations on it throw with code EINVAL.
//
// Keys and values go in as `eldran::slice` (from std::string_view, strings,
// or std::span of bytes) and come out as std::string_view without a copy
// (`as_bytes` turns one into a std::span<const std::byte>). A returned view
// points into the map or into the cursor's buffers: it stays valid until the
// next operation on the same cursor (or iterator), the next write in the
// transaction, or the end of the transaction, whichever comes first. For
// `get` and `at_rank`, which use a temporary cursor, the limit is the next
// operation in the transaction.
//
// Errors are thrown as `eldran::error` carrying the C result code and its
// orv_strerror text. A missing key is not an error: lookups answer with an
// empty std::optional, deletes with false, scans with their end iterator.
#ifndef ELDRAN_HPP
#define ELDRAN_HPP

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "orv.h"

namespace eldran {

// ---- Errors -----------------------------------------------------------

// A failed call: the result code of the C interface and its message.
class error : public std::runtime_error {
 public:
  error(int code, const char *where)
      : std::runtime_error(std::string(where) + ": " + orv_strerror(code)), code_(code) {}
  // The C result code (an ORV_* code or a positive errno value).
  int code() const noexcept { return code_; }
  // orv_strerror(code()).
  const char *message() const noexcept { return orv_strerror(code_); }

 private:
  int code_;
};

namespace detail {
inline void check(int rc, const char *where) {
  if (rc != 0) throw error(rc, where);
}
}  // namespace detail

// ---- Flag sets ----------------------------------------------------------

// Environment flags for env::options::flags.
enum class env_flags : unsigned int {
  none = 0,
  fixedmap = ORV_FIXEDMAP,
  nosubdir = ORV_NOSUBDIR,
  nosync = ORV_NOSYNC,
  rdonly = ORV_RDONLY,
  nometasync = ORV_NOMETASYNC,
  writemap = ORV_WRITEMAP,
  mapasync = ORV_MAPASYNC,
  notls = ORV_NOTLS,
  nolock = ORV_NOLOCK,
  nordahead = ORV_NORDAHEAD,
  nomeminit = ORV_NOMEMINIT,
  inmemory = ORV_INMEMORY,
};

// Database flags for txn::open_dbi.
enum class db_flags : unsigned int {
  none = 0,
  reversekey = ORV_REVERSEKEY,
  dupsort = ORV_DUPSORT,
  integerkey = ORV_INTEGERKEY,
  dupfixed = ORV_DUPFIXED,
  integerdup = ORV_INTEGERDUP,
  reversedup = ORV_REVERSEDUP,
  counted = ORV_COUNTED,
  prefixkey = ORV_PREFIXKEY,
  create = ORV_CREATE,
};

// Write flags for txn::put and cursor::put. `current` is for cursor::put
// only (the C call refuses it elsewhere with EINVAL).
enum class put_flags : unsigned int {
  none = 0,
  no_overwrite = ORV_NOOVERWRITE,
  no_dup_data = ORV_NODUPDATA,
  current = ORV_CURRENT,
  append = ORV_APPEND,
  append_dup = ORV_APPENDDUP,
};

// Bitwise operators for the flag sets above.
template <class E>
concept flag_set =
    std::is_same_v<E, env_flags> || std::is_same_v<E, db_flags> || std::is_same_v<E, put_flags>;

template <flag_set E>
constexpr E operator|(E a, E b) noexcept {
  return static_cast<E>(static_cast<unsigned int>(a) | static_cast<unsigned int>(b));
}
template <flag_set E>
constexpr E operator&(E a, E b) noexcept {
  return static_cast<E>(static_cast<unsigned int>(a) & static_cast<unsigned int>(b));
}
template <flag_set E>
constexpr E &operator|=(E &a, E b) noexcept {
  return a = a | b;
}
// True when every flag of `wanted` is in `set`.
template <flag_set E>
constexpr bool has(E set, E wanted) noexcept {
  return (set & wanted) == wanted;
}
template <flag_set E>
constexpr unsigned int bits(E e) noexcept {
  return static_cast<unsigned int>(e);
}

// ---- Bytes in and out ---------------------------------------------------

// A borrowed run of bytes handed to the engine: a key, a value or a bound.
// It never owns its bytes; the caller keeps them alive for the call.
class slice {
 public:
  constexpr slice() noexcept = default;
  constexpr slice(std::string_view s) noexcept : data_(s.data()), size_(s.size()) {}
  constexpr slice(const char *s) noexcept : slice(s ? std::string_view(s) : std::string_view()) {}
  slice(const std::string &s) noexcept : data_(s.data()), size_(s.size()) {}
  slice(std::span<const std::byte> b) noexcept
      : data_(reinterpret_cast<const char *>(b.data())), size_(b.size()) {}
  slice(std::span<std::byte> b) noexcept : slice(std::span<const std::byte>(b)) {}

  std::string_view str() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }
  // The C descriptor; the engine does not write through it for inputs.
  ORV_val val() const noexcept { return ORV_val{size_, const_cast<char *>(data_)}; }

 private:
  const char *data_ = nullptr;
  std::size_t size_ = 0;
};

// The bytes of a returned view (or of any string view).
inline std::span<const std::byte> as_bytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::byte *>(s.data()), s.size()};
}

namespace detail {
inline std::string_view view(const ORV_val &v) noexcept {
  return {static_cast<const char *>(v.mv_data), v.mv_size};
}
}  // namespace detail

// One key/value pair as read from a database; both views are borrowed
// (lifetime in the header comment). Structured bindings work:
// `auto [key, value] = entry`.
struct entry {
  std::string_view key;
  std::string_view value;
  std::span<const std::byte> key_bytes() const noexcept { return as_bytes(key); }
  std::span<const std::byte> value_bytes() const noexcept { return as_bytes(value); }
};

// A key range for scans and counts: each bound is optional (open side when
// absent) and inclusive unless stated. The bounds are borrowed.
struct key_range {
  std::optional<slice> lower;
  std::optional<slice> upper;
  bool lower_inclusive = true;
  bool upper_inclusive = true;

  // [lo, hi]
  static key_range closed(slice lo, slice hi) { return {lo, hi, true, true}; }
  // [lo, hi)
  static key_range half_open(slice lo, slice hi) { return {lo, hi, true, false}; }
  // [lo, +inf)
  static key_range from(slice lo, bool inclusive = true) {
    return {lo, std::nullopt, inclusive, true};
  }
  // (-inf, hi]
  static key_range to(slice hi, bool inclusive = true) {
    return {std::nullopt, hi, true, inclusive};
  }
};

// ---- Handles ------------------------------------------------------------

// A database handle of an environment (see the header comment).
class dbi {
 public:
  constexpr dbi() noexcept = default;
  constexpr explicit dbi(ORV_dbi h) noexcept : h_(h) {}
  // The main (unnamed) database.
  static constexpr dbi main() noexcept { return dbi(1); }
  constexpr ORV_dbi handle() const noexcept { return h_; }
  friend constexpr bool operator==(dbi, dbi) noexcept = default;

 private:
  ORV_dbi h_ = 1;
};

class txn;
class cursor;

namespace detail {

// Life of one C transaction, shared by the `txn` that owns it and by the
// cursors opened in it, so that they can tell whether the handle still
// exists. `h` is null once the transaction has ended; the C library frees
// the record then (and, for write transactions, the cursors opened in it).
// A parent links its live child, so that ending the parent (which ends the
// child inside the library) also marks the child ended here.
struct txn_state {
  ORV_txn *h = nullptr;
  bool rdonly = false;
  txn_state *parent = nullptr;
  txn_state *child = nullptr;

  // Marks this transaction and its descendants ended and unlinks it from
  // its parent. The C handle has already been ended by the caller.
  void mark_ended() noexcept {
    if (child != nullptr) {
      child->parent = nullptr;
      child->mark_ended();
      child = nullptr;
    }
    if (parent != nullptr) {
      parent->child = nullptr;
      parent = nullptr;
    }
    h = nullptr;
  }
};

inline ORV_txn *live(const std::shared_ptr<txn_state> &s) {
  if (!s) throw error(EINVAL, "eldran::txn (empty)");
  if (s->h == nullptr) throw error(ORV_BAD_TXN, "eldran::txn (ended)");
  return s->h;
}

}  // namespace detail

// A cursor over one database in one transaction.
//
// Moves return the entry they land on, or an empty optional when there is
// none (ORV_NOTFOUND). The views of an entry stay valid until the next
// operation on this cursor, a write in the transaction, or its end.
class cursor {
 public:
  cursor() noexcept = default;
  cursor(cursor &&o) noexcept : txn_(std::move(o.txn_)), h_(std::exchange(o.h_, nullptr)) {}
  cursor &operator=(cursor &&o) noexcept {
    if (this != &o) {
      close();
      txn_ = std::move(o.txn_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  cursor(const cursor &) = delete;
  cursor &operator=(const cursor &) = delete;
  ~cursor() { close(); }

  // Releases the cursor. A cursor of a write transaction that has ended
  // was released with it by the library and is only forgotten here. A
  // parent's cursor closed while a child runs stays with the parent inside
  // the library until the parent ends.
  void close() noexcept {
    if (h_ != nullptr && txn_ && (txn_->h != nullptr || txn_->rdonly)) orv_cursor_close(h_);
    h_ = nullptr;
    txn_.reset();
  }

  // True while the cursor exists and its transaction has not ended.
  bool valid() const noexcept { return h_ != nullptr && txn_ && txn_->h != nullptr; }
  // The C handle (REQUIRES: valid()).
  ORV_cursor *handle() const noexcept { return h_; }
  eldran::dbi dbi() const { return eldran::dbi(orv_cursor_dbi(get_handle())); }

  std::optional<entry> first() { return step(ORV_FIRST); }
  std::optional<entry> last() { return step(ORV_LAST); }
  std::optional<entry> next() { return step(ORV_NEXT); }
  std::optional<entry> prev() { return step(ORV_PREV); }
  std::optional<entry> current() { return step(ORV_GET_CURRENT); }
  // Duplicates of the current key.
  std::optional<entry> first_dup() { return step(ORV_FIRST_DUP); }
  std::optional<entry> last_dup() { return step(ORV_LAST_DUP); }
  std::optional<entry> next_dup() { return step(ORV_NEXT_DUP); }
  std::optional<entry> prev_dup() { return step(ORV_PREV_DUP); }
  // First value of the next key / last value of the previous key.
  std::optional<entry> next_nodup() { return step(ORV_NEXT_NODUP); }
  std::optional<entry> prev_nodup() { return step(ORV_PREV_NODUP); }

  // Positions at exactly `key`.
  std::optional<entry> find(slice key) { return step(ORV_SET_KEY, key); }
  // Positions at the first key not less than `key`.
  std::optional<entry> lower_bound(slice key) { return step(ORV_SET_RANGE, key); }
  // Positions at the pair (key, value) exactly.
  std::optional<entry> find_both(slice key, slice value) { return step(ORV_GET_BOTH, key, value); }

  // Writes a pair and leaves the cursor on it. Returns false when the
  // flags refused an existing key or pair (ORV_KEYEXIST).
  bool put(slice key, slice value, put_flags flags = put_flags::none) {
    ORV_val k = key.val(), v = value.val();
    const int rc = orv_cursor_put(get_handle(), &k, &v, bits(flags));
    if (rc == ORV_KEYEXIST) return false;
    detail::check(rc, "orv_cursor_put");
    return true;
  }
  // Deletes the entry under the cursor (all duplicates of its key with
  // `all_dups`).
  void del(bool all_dups = false) {
    detail::check(orv_cursor_del(get_handle(), all_dups ? ORV_NODUPDATA : 0u), "orv_cursor_del");
  }
  // Number of values of the current key (ORV_DUPSORT databases).
  std::uint64_t count_dups() {
    std::uint64_t n = 0;
    detail::check(orv_cursor_count(get_handle(), &n), "orv_cursor_count");
    return n;
  }
  // Positions at the entry of 0-based rank `rank` (ORV_COUNTED databases).
  std::optional<entry> seek_rank(std::uint64_t rank) {
    ORV_val k{}, v{};
    const int rc = orv_cursor_get_rank(get_handle(), rank, &k, &v, 0);
    if (rc == ORV_NOTFOUND) return std::nullopt;
    detail::check(rc, "orv_cursor_get_rank");
    return entry{detail::view(k), detail::view(v)};
  }

 private:
  friend class txn;
  friend class scan_range;
  cursor(std::shared_ptr<detail::txn_state> t, ORV_cursor *h) noexcept
      : txn_(std::move(t)), h_(h) {}

  ORV_cursor *get_handle() const {
    if (h_ == nullptr) throw error(EINVAL, "eldran::cursor (empty)");
    detail::live(txn_);
    return h_;
  }

  std::optional<entry> step(ORV_cursor_op op, slice key = {}, slice value = {}) {
    ORV_val k = key.val(), v = value.val();
    const int rc = orv_cursor_get(get_handle(), &k, &v, op);
    if (rc == ORV_NOTFOUND) return std::nullopt;
    detail::check(rc, "orv_cursor_get");
    return entry{detail::view(k), detail::view(v)};
  }

  std::shared_ptr<detail::txn_state> txn_;
  ORV_cursor *h_ = nullptr;
};

// A range of entries read through a cursor it owns, for range-for:
//   for (auto [key, value] : t.scan(db)) ...
// begin() (re)positions the cursor; the iterators borrow the range and
// must not outlive it. Incrementing an iterator moves the cursor, so each
// entry's views last until the next increment.
class scan_range {
 public:
  enum class kind { all, range, dups };

  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = entry;
    using difference_type = std::ptrdiff_t;

    iterator() = default;
    const entry &operator*() const { return cur_; }
    const entry *operator->() const { return &cur_; }
    iterator &operator++() {
      range_->advance(*this);
      return *this;
    }
    void operator++(int) { ++*this; }
    friend bool operator==(const iterator &it, std::default_sentinel_t) noexcept {
      return it.range_ == nullptr;
    }

   private:
    friend class scan_range;
    scan_range *range_ = nullptr;  // null at the end
    entry cur_{};
  };

  iterator begin() {
    iterator it;
    it.range_ = this;
    std::optional<entry> e;
    switch (kind_) {
      case kind::all:
        e = cur_.first();
        break;
      case kind::range:
        e = range_.lower ? cur_.lower_bound(*range_.lower) : cur_.first();
        // An exclusive lower bound skips the bound key (all its values).
        while (e && range_.lower && !range_.lower_inclusive && compare(e->key, *range_.lower) == 0)
          e = cur_.next_nodup();
        break;
      case kind::dups:
        e = cur_.find(key_);  // lands on the key's first value
        break;
    }
    settle(it, e);
    return it;
  }
  std::default_sentinel_t end() const noexcept { return {}; }

 private:
  friend class txn;
  scan_range(cursor c, kind k, key_range r, slice key)
      : cur_(std::move(c)), kind_(k), range_(r), key_(key) {}

  int compare(std::string_view a, slice b) {
    ORV_val va{a.size(), const_cast<char *>(a.data())}, vb = b.val();
    return orv_cmp(detail::live(cur_.txn_), cur_.dbi().handle(), &va, &vb);
  }

  void advance(iterator &it) { settle(it, kind_ == kind::dups ? cur_.next_dup() : cur_.next()); }

  // Makes `it` the end iterator unless `e` is an entry inside the range.
  void settle(iterator &it, const std::optional<entry> &e) {
    if (e && kind_ == kind::range && range_.upper) {
      const int c = compare(e->key, *range_.upper);
      if (c > 0 || (c == 0 && !range_.upper_inclusive)) {
        it.range_ = nullptr;
        return;
      }
    }
    if (e) {
      it.cur_ = *e;
    } else {
      it.range_ = nullptr;
    }
  }

  cursor cur_;
  kind kind_;
  key_range range_;
  slice key_;
};

// A transaction: read-only (env::begin_read) or write (env::begin_write,
// txn::begin_nested). Aborted on destruction unless committed or aborted.
// Used by one thread at a time.
class txn {
 public:
  txn() noexcept = default;
  txn(txn &&) noexcept = default;
  txn &operator=(txn &&o) noexcept {
    if (this != &o) {
      abort();
      s_ = std::move(o.s_);
    }
    return *this;
  }
  txn(const txn &) = delete;
  txn &operator=(const txn &) = delete;
  ~txn() { abort(); }

  // True until the transaction ends.
  bool active() const noexcept { return s_ && s_->h != nullptr; }
  bool read_only() const noexcept { return s_ && s_->rdonly; }
  // The C handle (REQUIRES: active()).
  ORV_txn *handle() const noexcept { return s_ ? s_->h : nullptr; }
  std::uint64_t id() const { return orv_txn_id(h()); }

  // Makes the changes durable and visible. The transaction has ended
  // afterwards whether or not the commit succeeded; a failure throws.
  void commit() {
    ORV_txn *t = h();
    s_->mark_ended();
    detail::check(orv_txn_commit(t), "orv_txn_commit");
  }
  // Throws the changes away. Does nothing for an ended or empty txn.
  void abort() noexcept {
    if (!active()) return;
    ORV_txn *t = s_->h;
    s_->mark_ended();
    orv_txn_abort(t);
  }

  // A child of this write transaction; this one is blocked until it ends.
  txn begin_nested() {
    ORV_txn *t = h();
    ORV_txn *c = nullptr;
    detail::check(orv_txn_begin(orv_txn_env(t), t, 0, &c), "orv_txn_begin");
    txn child(c, false);
    child.s_->parent = s_.get();
    s_->child = child.s_.get();
    return child;
  }

  // Opens (with db_flags::create, creates) a named database, or the main
  // database for an empty name; a missing name throws ORV_NOTFOUND (use
  // find_dbi to probe). The handle stays open after this
  // transaction commits; if it aborts, the handle is given up.
  eldran::dbi open_dbi(std::string_view name, db_flags flags = db_flags::none) {
    if (std::optional<eldran::dbi> d = find_dbi(name, flags)) return *d;
    throw error(ORV_NOTFOUND, "orv_dbi_open");
  }
  // The handle of an existing database, or empty when there is none by
  // that name.
  std::optional<eldran::dbi> find_dbi(std::string_view name, db_flags flags = db_flags::none) {
    // The C call takes a NUL-terminated name: one with a NUL inside would
    // silently name another database.
    if (name.find('\0') != std::string_view::npos) throw error(EINVAL, "orv_dbi_open");
    std::string n(name);
    ORV_dbi d = 0;
    const int rc = orv_dbi_open(h(), name.empty() ? nullptr : n.c_str(), bits(flags), &d);
    if (rc == ORV_NOTFOUND) return std::nullopt;
    detail::check(rc, "orv_dbi_open");
    return eldran::dbi(d);
  }
  db_flags flags(eldran::dbi d) const {
    unsigned int f = 0;
    detail::check(orv_dbi_flags(h(), d.handle(), &f), "orv_dbi_flags");
    return static_cast<db_flags>(f);
  }
  ORV_stat stat(eldran::dbi d) const {
    ORV_stat st{};
    detail::check(orv_stat(h(), d.handle(), &st), "orv_stat");
    return st;
  }
  // Empties the database, or with `delete_db` also deletes it and closes
  // its handle.
  void drop(eldran::dbi d, bool delete_db = false) {
    detail::check(orv_drop(h(), d.handle(), delete_db ? 1 : 0), "orv_drop");
  }

  // The value of `key` (the first value when it has duplicates), or empty.
  std::optional<std::string_view> get(eldran::dbi d, slice key) const {
    ORV_val k = key.val(), v{};
    const int rc = orv_get(h(), d.handle(), &k, &v);
    if (rc == ORV_NOTFOUND) return std::nullopt;
    detail::check(rc, "orv_get");
    return detail::view(v);
  }
  // Writes a pair. Returns false when the flags refused an existing key
  // or pair (ORV_KEYEXIST: no_overwrite, no_dup_data, append).
  bool put(eldran::dbi d, slice key, slice value, put_flags flags = put_flags::none) {
    ORV_val k = key.val(), v = value.val();
    const int rc = orv_put(h(), d.handle(), &k, &v, bits(flags));
    if (rc == ORV_KEYEXIST) return false;
    detail::check(rc, "orv_put");
    return true;
  }
  // Makes room for a value of `size` bytes under `key` and returns it for
  // the caller to fill before the next write in this transaction. A key
  // refused by the flags throws ORV_KEYEXIST.
  std::span<std::byte> reserve(eldran::dbi d, slice key, std::size_t size,
                               put_flags flags = put_flags::none) {
    ORV_val k = key.val(), v{size, nullptr};
    detail::check(orv_put(h(), d.handle(), &k, &v, bits(flags) | ORV_RESERVE), "orv_put");
    return {static_cast<std::byte *>(v.mv_data), v.mv_size};
  }
  // Deletes `key` with all its values; false if it was not there.
  bool del(eldran::dbi d, slice key) { return del_pair(d, key, nullptr); }
  // Deletes the one pair (key, value); false if it was not there.
  bool del(eldran::dbi d, slice key, slice value) {
    ORV_val v = value.val();
    return del_pair(d, key, &v);
  }

  cursor open_cursor(eldran::dbi d) {
    ORV_cursor *c = nullptr;
    detail::check(orv_cursor_open(h(), d.handle(), &c), "orv_cursor_open");
    return cursor(s_, c);
  }

  // Every entry of the database in order.
  scan_range scan(eldran::dbi d) {
    return scan_range(open_cursor(d), scan_range::kind::all, {}, {});
  }
  // The entries whose keys lie in `r` (the bounds must outlive the scan).
  scan_range scan(eldran::dbi d, key_range r) {
    return scan_range(open_cursor(d), scan_range::kind::range, r, {});
  }
  // The values of one key in order (none when the key is absent; the key
  // must outlive the scan).
  scan_range duplicates(eldran::dbi d, slice key) {
    return scan_range(open_cursor(d), scan_range::kind::dups, {}, key);
  }

  // ---- Ranks and counts (ORV_COUNTED databases) ----

  // The 0-based rank of the first entry of `key`, or empty when absent.
  std::optional<std::uint64_t> rank_of(eldran::dbi d, slice key) const {
    ORV_val k = key.val();
    return key_rank(d, &k, nullptr);
  }
  // The rank of the pair (key, value), or empty when absent.
  std::optional<std::uint64_t> rank_of(eldran::dbi d, slice key, slice value) const {
    ORV_val k = key.val(), v = value.val();
    return key_rank(d, &k, &v);
  }
  // The entry of 0-based rank `rank`, or empty past the end. Its views
  // last until the next operation in this transaction.
  std::optional<entry> at_rank(eldran::dbi d, std::uint64_t rank) const {
    ORV_val k{}, v{};
    const int rc = orv_get_rank(h(), d.handle(), rank, &k, &v);
    if (rc == ORV_NOTFOUND) return std::nullopt;
    detail::check(rc, "orv_get_rank");
    return entry{detail::view(k), detail::view(v)};
  }
  // Number of entries (every duplicate counted).
  std::uint64_t count(eldran::dbi d) const {
    std::uint64_t n = 0;
    detail::check(orv_count_all(h(), d.handle(), 0, &n), "orv_count_all");
    return n;
  }
  // Number of entries (every duplicate counted) whose keys lie in `r`.
  std::uint64_t count(eldran::dbi d, const key_range &r) const {
    const bool dups = has(flags(d), db_flags::dupsort);
    return dups ? count_with(orv_range_count_values, "orv_range_count_values", d, r)
                : count_with(orv_count_range, "orv_count_range", d, r);
  }
  // Number of distinct keys in `r`.
  std::uint64_t count_keys(eldran::dbi d, const key_range &r) const {
    return count_with(orv_range_count_keys, "orv_range_count_keys", d, r);
  }

 private:
  friend class env;
  txn(ORV_txn *t, bool rdonly) : s_(std::make_shared<detail::txn_state>()) {
    s_->h = t;
    s_->rdonly = rdonly;
  }

  ORV_txn *h() const { return detail::live(s_); }

  bool del_pair(eldran::dbi d, slice key, ORV_val *v) {
    ORV_val k = key.val();
    const int rc = orv_del(h(), d.handle(), &k, v);
    if (rc == ORV_NOTFOUND) return false;
    detail::check(rc, "orv_del");
    return true;
  }

  std::optional<std::uint64_t> key_rank(eldran::dbi d, const ORV_val *k, const ORV_val *v) const {
    std::uint64_t r = 0;
    const int rc = orv_get_key_rank(h(), d.handle(), k, v, &r);
    if (rc == ORV_NOTFOUND) return std::nullopt;
    detail::check(rc, "orv_get_key_rank");
    return r;
  }

  using count_fn = int (*)(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned int,
                           std::uint64_t *);
  std::uint64_t count_with(count_fn fn, const char *where, eldran::dbi d,
                           const key_range &r) const {
    ORV_val lo{}, hi{};
    if (r.lower) lo = r.lower->val();
    if (r.upper) hi = r.upper->val();
    const unsigned int f = (r.lower_inclusive ? ORV_RANGE_LOWER_INCL : 0u) |
                           (r.upper_inclusive ? ORV_RANGE_UPPER_INCL : 0u);
    std::uint64_t n = 0;
    detail::check(fn(h(), d.handle(), r.lower ? &lo : nullptr, r.upper ? &hi : nullptr, f, &n),
                  where);
    return n;
  }

  std::shared_ptr<detail::txn_state> s_;
};

// Settings applied before an environment is opened.
struct env_options {
  std::size_t mapsize = 0;      // 0: the engine's default
  unsigned int maxdbs = 0;      // named databases; 0: the main one only
  unsigned int maxreaders = 0;  // 0: the engine's default
  env_flags flags = env_flags::none;
  orv_mode_t mode = 0644;
};

// An environment: one data file (in a directory unless env_flags::nosubdir)
// opened on construction and closed on destruction.
class env {
 public:
  using options = env_options;

  env() noexcept = default;
  explicit env(const std::string &path, const options &o = {}) {
    detail::check(orv_env_create(&h_), "orv_env_create");
    // One cleanup path: a failed setting or open closes the handle again.
    auto step = [this](int rc, const char *where) {
      if (rc == 0) return;
      orv_env_close(h_);
      h_ = nullptr;
      throw error(rc, where);
    };
    if (o.mapsize != 0) step(orv_env_set_mapsize(h_, o.mapsize), "orv_env_set_mapsize");
    if (o.maxdbs != 0) step(orv_env_set_maxdbs(h_, o.maxdbs), "orv_env_set_maxdbs");
    if (o.maxreaders != 0) step(orv_env_set_maxreaders(h_, o.maxreaders), "orv_env_set_maxreaders");
    step(orv_env_open(h_, path.c_str(), bits(o.flags), o.mode), "orv_env_open");
  }
  env(env &&o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  env &operator=(env &&o) noexcept {
    if (this != &o) {
      close();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  env(const env &) = delete;
  env &operator=(const env &) = delete;
  ~env() { close(); }

  // REQUIRES: no transaction or cursor of this environment is still open.
  void close() noexcept {
    if (h_ != nullptr) orv_env_close(h_);
    h_ = nullptr;
  }
  ORV_env *handle() const noexcept { return h_; }

  txn begin_read() { return begin(ORV_RDONLY); }
  // The one writer: blocks while another write transaction runs.
  txn begin_write() { return begin(0); }

  // REQUIRES: no transaction uses the handle.
  void close_dbi(dbi d) noexcept {
    if (h_ != nullptr) orv_dbi_close(h_, d.handle());
  }

  ORV_envinfo info() const {
    ORV_envinfo i{};
    detail::check(orv_env_info(get(), &i), "orv_env_info");
    return i;
  }
  ORV_stat stat() const {
    ORV_stat st{};
    detail::check(orv_env_stat(get(), &st), "orv_env_stat");
    return st;
  }
  void sync(bool force = true) {
    detail::check(orv_env_sync(get(), force ? 1 : 0), "orv_env_sync");
  }
  std::string_view path() const {
    const char *p = nullptr;
    detail::check(orv_env_get_path(get(), &p), "orv_env_get_path");
    return p;
  }

 private:
  ORV_env *get() const {
    if (h_ == nullptr) throw error(EINVAL, "eldran::env (closed)");
    return h_;
  }
  txn begin(unsigned int flags) {
    ORV_txn *t = nullptr;
    detail::check(orv_txn_begin(get(), nullptr, flags, &t), "orv_txn_begin");
    return txn(t, flags != 0);
  }

  ORV_env *h_ = nullptr;
};

}  // namespace eldran

#endif  // ELDRAN_HPP
