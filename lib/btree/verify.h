// Internal interface of the tree verifier: one walk over every tree of a
// snapshot that reports each structural fault as a line of text. The
// exported orv_env_verify and the tests' verifier both drive it.
//
// The verifier reads input: every offset, length and page number taken
// from a page is bounds-checked before it is followed, so a damaged file
// yields messages, never a read outside the snapshot's pages.
#ifndef ORV_BTREE_VERIFY_H
#define ORV_BTREE_VERIFY_H

#include <cstdint>

#include "btree/btree.h"

// Figures of one tree as found by the walk.
struct ORV_verify_figures {
  unsigned flags = 0;
  unsigned depth = 0;
  uint64_t branch_pages = 0;
  uint64_t leaf_pages = 0;
  uint64_t overflow_pages = 0;
  uint64_t entries = 0;
};

// What the caller supplies. Every callback is optional.
struct ORV_verify_hooks {
  void *ctx = nullptr;
  // Receives each problem as one line without a newline; a non-zero
  // result stops the walk (orv_verify_txn then returns that result).
  int (*problem)(void *ctx, const char *line) = nullptr;
  // Receives the figures of the free-page database ("@free"), the main
  // database ("@main") and every named database (its name, name_len bytes).
  void (*tree)(void *ctx, const char *name, size_t name_len,
               const ORV_verify_figures &fig) = nullptr;
  // Application comparator of a database (name null: the main database),
  // keys or (dup) values; null selects the built-in order of its flags.
  ORV_cmp_func (*cmp)(void *ctx, const char *name, size_t name_len, bool dup) = nullptr;
  // Check that every page is reachable or free (read-only snapshots only).
  bool check_space = true;
  // Stop with EINTR while the environment's interrupt switch is set.
  bool interruptible = false;
  // Receives done of about total pages reached so far: at the start, every
  // few hundred pages, and with done equal to total at a walk that ran to
  // its end.
  void (*progress)(void *ctx, uint64_t done, uint64_t total) = nullptr;
};

struct ORV_verify_summary {
  uint64_t problems = 0;
  uint64_t last_pgno = 0;        // last page in use of the snapshot
  uint64_t reachable_pages = 0;  // including meta pages 0 and 1
  uint64_t free_pages = 0;       // listed in free-page records
  bool space_checked = false;
};

// Verifies the snapshot that txn sees. txn may be read-only or a write
// transaction (including a nested one); it is not changed. Returns 0 when
// the walk ran to its end (problems are counted in sum), ENOMEM, EINTR
// (the environment's interrupt switch), or the non-zero result of the
// problem callback.
[[nodiscard]] int orv_verify_txn(ORV_txn *txn, const ORV_verify_hooks &hooks,
                                 ORV_verify_summary *sum);

// Formats the summary line (without newline) into buf.
void orv_verify_summary_line(const ORV_verify_summary &sum, char *buf, size_t cap);

#endif  // ORV_BTREE_VERIFY_H
