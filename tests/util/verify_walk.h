// Internals of the tree verifier (see verify.h), shared by its files:
// verify_order.cc (the built-in key orders and prefix-key decoding, written
// anew here so that a fault in the engine's own helpers cannot hide
// itself), verify.cc (the walk over pages, records and free space) and
// verify_leaf.cc (leaf pages: keys, values, overflow runs, duplicates).
#ifndef ORV_TESTS_UTIL_VERIFY_WALK_H
#define ORV_TESTS_UTIL_VERIFY_WALK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "util/verify.h"

namespace orv_test::detail {

// ---- Built-in orders ----------------------------------------------------------

int cmp_bytes(const ORV_val *a, const ORV_val *b);
int cmp_reverse(const ORV_val *a, const ORV_val *b);
int cmp_u64(const ORV_val *a, const ORV_val *b);
// Native unsigned integers of any even size, most significant word first,
// over the first value's length; equal-sized values compare numerically.
int cmp_uint(const ORV_val *a, const ORV_val *b);
ORV_cmp_func key_order(unsigned flags);
ORV_cmp_func dup_order(unsigned flags);
ORV_val val_of(const std::string &s);
// Printable form of a key for messages.
std::string show(const std::string &s);

// ---- Prefix-compressed leaf keys ----------------------------------------------

enum class Decoded { canonical, whole, corrupt };

// Decodes the stored key of a slot above 0 against the page's first key.
// padlen receives the length that counts for mp_pad.
Decoded decode_prefix(const std::string &first, const uint8_t *s, size_t len, std::string &out,
                      size_t &padlen);

// ---- The walk -------------------------------------------------------------------

struct Tree {
  std::string label;  // for messages
  ORV_db db{};        // the record as found
  ORV_cmp_func cmp = cmp_bytes;
  ORV_cmp_func dcmp = cmp_bytes;  // value order of a DUPSORT tree
  bool is_free = false, is_main = false, is_dup = false;
  bool counted = false, prefix = false, dupfixed = false;
  TreeFigures fig;
  int leaf_level = -1;
  std::string prev;
  bool have_prev = false;
};

struct NamedRecord {
  std::string name;
  ORV_db db;
};

class Verifier {
 public:
  Verifier(ORV_txn *txn, const VerifyOptions &opts, VerifyResult &res)
      : txn_(txn), env_(txn->mt_env), opts_(opts), res_(res) {}

  void run();

 private:
  void problem(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  ORV_page *get_page(const Tree &t, pgno_t pgno, int *level);
  bool reach(const Tree &t, pgno_t pgno, pgno_t npages);
  void check_flags(const Tree &t, const ORV_page *mp, pgno_t pgno, int level);
  bool check_layout(const Tree &t, const ORV_page *mp, size_t size, const char *what, pgno_t pgno);
  void walk_tree(Tree &t, const char *figname);
  uint64_t walk(Tree &t, pgno_t pgno, unsigned level, const std::string *lo, const std::string *hi);
  uint64_t leaf(Tree &t, ORV_page *mp, size_t size, pgno_t pgno, int level, const std::string *lo,
                const std::string *hi);
  bool leaf_keys(Tree &t, const ORV_page *mp, pgno_t pgno, std::vector<std::string> &keys);
  uint64_t leaf_value(Tree &t, ORV_page *mp, unsigned i, const std::string &key, pgno_t pgno);
  const uint8_t *overflow(Tree &t, pgno_t pgno, size_t dsize, pgno_t owner);
  uint64_t sub_page(Tree &t, const ORV_page *sp, size_t size, const std::string &key, pgno_t owner);
  uint64_t sub_tree(Tree &t, const ORV_db &rec, const std::string &key);
  void free_record(const std::string &key, const uint8_t *v, size_t size);
  void check_record(const std::string &label, const ORV_db &rec);
  void space();

  ORV_txn *txn_;
  ORV_env *env_;
  const VerifyOptions &opts_;
  VerifyResult &res_;
  bool rdonly_ = false, writemap_ = false;
  pgno_t last_ = 0;
  size_t psize_ = 0;
  std::unique_ptr<ORV_cursor> bare_;
  std::vector<uint8_t> reached_, freed_;
  std::vector<NamedRecord> named_;
};

}  // namespace orv_test::detail

#endif  // ORV_TESTS_UTIL_VERIFY_WALK_H
