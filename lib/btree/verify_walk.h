// Internals of the tree verifier (see verify.h), shared by its files:
// verify_order.cc (the built-in key orders and prefix-key decoding, written
// anew here so that a fault in the engine's own helpers cannot hide
// itself), verify_tree.cc (branch pages, page kinds and layout),
// verify_leaf.cc (leaf pages: keys, values, overflow runs, duplicates) and
// lib/env/verify.cc (the driver: records, free space, orv_env_verify).
//
// Nothing here throws or aborts on a lack of memory: buffers are malloc'd
// and a failed allocation stops the walk with ENOMEM.
#ifndef ORV_BTREE_VERIFY_WALK_H
#define ORV_BTREE_VERIFY_WALK_H

#include <cstdint>
#include <cstdlib>

#include "btree/verify.h"

namespace orv_verify {

// ---- Built-in orders ----------------------------------------------------------

int cmp_bytes(const ORV_val *a, const ORV_val *b);
int cmp_reverse(const ORV_val *a, const ORV_val *b);
int cmp_u64(const ORV_val *a, const ORV_val *b);
// Native unsigned integers of any even size, most significant word first.
int cmp_uint(const ORV_val *a, const ORV_val *b);
ORV_cmp_func key_order(unsigned flags);
ORV_cmp_func dup_order(unsigned flags);
// Printable form of a key for messages, truncated, into buf.
const char *show(const ORV_val &k, char *buf, size_t cap);
inline constexpr size_t SHOW_MAX = 80;

// ---- A growable byte buffer that reports failure --------------------------------

struct KeyBuf {
  uint8_t *p = nullptr;
  size_t n = 0, cap = 0;
  KeyBuf() = default;
  KeyBuf(const KeyBuf &) = delete;
  KeyBuf &operator=(const KeyBuf &) = delete;
  ~KeyBuf() { std::free(p); }
  [[nodiscard]] bool reserve(size_t want);
  [[nodiscard]] bool set(const void *data, size_t len);
  ORV_val val() const { return ORV_val{n, p}; }
};

// ---- Prefix-compressed leaf keys ----------------------------------------------

enum class Decoded { canonical, whole, corrupt, nomem };

// Decodes the stored key of a slot above 0 against the page's first key
// into out. padlen receives the length that counts for mp_pad.
Decoded decode_prefix(const ORV_val &first, const uint8_t *s, size_t len, KeyBuf &out,
                      size_t &padlen);

// ---- The walk -------------------------------------------------------------------

struct Tree {
  const char *label = "";  // for messages
  ORV_db db{};             // the record as found
  ORV_cmp_func cmp = cmp_bytes;
  ORV_cmp_func dcmp = cmp_bytes;  // value order of a DUPSORT tree
  bool is_free = false, is_main = false, is_dup = false;
  bool counted = false, prefix = false, dupfixed = false;
  ORV_verify_figures fig;
  int leaf_level = -1;
  KeyBuf prev;
  bool have_prev = false;
};

struct NamedRecord {
  char *name;  // malloc'd copy
  size_t len;
  ORV_db db;
};

class Verifier {
 public:
  Verifier(ORV_txn *txn, const ORV_verify_hooks &hooks, ORV_verify_summary &sum)
      : txn_(txn), env_(txn->mt_env), hooks_(hooks), sum_(sum) {}
  ~Verifier();
  Verifier(const Verifier &) = delete;
  Verifier &operator=(const Verifier &) = delete;

  [[nodiscard]] int run();

 private:
  bool stopped() const { return rc_ != 0; }
  void nomem() {
    if (rc_ == 0) rc_ = ENOMEM;
  }
  void problem(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  ORV_page *get_page(const Tree &t, pgno_t pgno, int *level);
  bool reach(const Tree &t, pgno_t pgno, pgno_t npages);
  void check_flags(const Tree &t, const ORV_page *mp, pgno_t pgno, int level);
  bool check_layout(const Tree &t, const ORV_page *mp, size_t size, const char *what, pgno_t pgno);
  void walk_tree(Tree &t, const char *figname, size_t figlen);
  uint64_t walk(Tree &t, pgno_t pgno, unsigned level, const ORV_val *lo, const ORV_val *hi);
  void branch_keys(Tree &t, ORV_page *mp, pgno_t pgno, const ORV_val *lo, const ORV_val *hi);
  uint64_t leaf(Tree &t, ORV_page *mp, size_t size, pgno_t pgno, int level, const ORV_val *lo,
                const ORV_val *hi);
  bool leaf_key(Tree &t, const ORV_page *mp, unsigned i, pgno_t pgno, KeyBuf &cur, ORV_val &key,
                size_t &padlen);
  void check_key(Tree &t, pgno_t pgno, unsigned i, const ORV_val &k, const ORV_val *lo,
                 const ORV_val *hi);
  uint64_t leaf_value(Tree &t, ORV_page *mp, unsigned i, const ORV_val &key, pgno_t pgno);
  const uint8_t *overflow(Tree &t, pgno_t pgno, size_t dsize, pgno_t owner);
  uint64_t sub_page(Tree &t, const uint8_t *data, size_t size, const ORV_val &key, pgno_t owner);
  uint64_t sub_tree(Tree &t, const ORV_db &rec, const ORV_val &key);
  void add_named(const ORV_val &key, const ORV_db &rec);
  void free_record(const ORV_val &key, const uint8_t *v, size_t size, pgno_t leaf);
  void check_record(const Tree &t);
  void space();
  pgno_t last_readable() const;
  void progress(bool final);
  ORV_cmp_func app_cmp(const char *name, size_t len, bool dup) const;

  ORV_txn *txn_;
  ORV_env *env_;
  const ORV_verify_hooks &hooks_;
  ORV_verify_summary &sum_;
  int rc_ = 0;
  bool rdonly_ = false, writemap_ = false;
  pgno_t last_ = 0;
  pgno_t readable_ = 0;  // one past the last page the walk can read
  size_t psize_ = 0;
  ORV_cursor *bare_ = nullptr;
  uint8_t *reached_ = nullptr, *freed_ = nullptr;
  uint64_t nreached_ = 0, next_report_ = 0;  // pages reached, and when to say so
  NamedRecord *named_ = nullptr;
  size_t nnamed_ = 0, named_cap_ = 0;
};

}  // namespace orv_verify

#endif  // ORV_BTREE_VERIFY_WALK_H
