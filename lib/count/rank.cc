// Rank lookup: the entry at a rank (orv_cursor_get_rank, orv_get_rank) by a
// descent along the branch counts, and the rank of a key or key/value pair
// (orv_cursor_key_rank, orv_get_key_rank) as the number of entries before
// it (orv_count_before).
//
// Descent by counts: on each branch page the slots are walked from 0,
// subtracting each child's count from the rank until the child that holds
// it is found; on the leaf, each node counts 1 or its number of duplicates.
// mc_rank_base[l] keeps the rank of the first entry below the page at level
// l, which lets a later lookup of a higher rank restart from the deepest
// page that still covers it instead of from the root.
#include <cerrno>
#include <cstring>

#include "count/count.h"
#include "page/prefetch.h"

namespace {

inline constexpr uint32_t C_RANKPOS = C_INITIALIZED | C_RANKVALID;

// Entries below the page at level j of a path walked by counts: md_entries
// for the root, the count its parent keeps for it otherwise.
uint64_t level_entries(const ORV_cursor *mc, unsigned j) {
  if (j == 0) return mc->mc_db->md_entries;
  return node_count(node_ptr(mc->mc_pg[j - 1], mc->mc_ki[j - 1]));
}

void rank_forget(ORV_cursor *mc) {
  mc->mc_flags &= ~C_RANKVALID;
  mc->mc_rank = 0;
  mc->mc_rank_dup = 0;
}

// The slot of leaf mp holding entry b of the page, and b's position among
// that node's duplicates.
int leaf_pick(ORV_cursor *mc, ORV_page *mp, uint64_t b, uint64_t expected, unsigned *slot,
              uint64_t *dup) {
  const unsigned n = numkeys(mp);
  if (is_leaf2(mp) || !(mc->mc_db->md_flags & ORV_DUPSORT)) {
    // One entry per slot.
    if (n != expected) return orv_count_corrupted(mc);
    *slot = static_cast<unsigned>(b);
    *dup = 0;
    return 0;
  }
  if (int rc = orv_leaf_nodes_countable(mc, mp, 0, n); rc != 0) return rc;
  uint64_t total = 0;
  unsigned pick = n;
  uint64_t within = 0;
  for (unsigned i = 0; i < n; ++i) {
    const uint64_t e = orv_node_entries(mp, node_ptr(mp, i));
    if (pick == n && b - total < e) {
      pick = i;
      within = b - total;
    }
    if (__builtin_add_overflow(total, e, &total)) return orv_count_corrupted(mc);
  }
  if (total != expected || pick == n) return orv_count_corrupted(mc);
  *slot = pick;
  *dup = within;
  return 0;
}

// Points the sub-cursor at the duplicates of node (the node under the
// cursor) and positions it at the dup-th of them.
int dup_position(ORV_cursor *mc, ORV_node *node, uint64_t dup) {
  if (mc->mc_xcursor == nullptr) return ORV_INCOMPATIBLE;
  if (int rc = orv_cursor_dups_load(mc, node); rc != 0) return rc;
  ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
  if (dup >= sub->mc_db->md_entries) return ORV_NOTFOUND;
  uint64_t within = 0;
  if (int rc = orv_cursor_rank_from_root(sub, dup, &within); rc != 0) return rc;
  // Keys of a value tree are single values.
  return within == 0 ? 0 : orv_count_corrupted(mc);
}

// Whether bytes of v live in a buffer of mc (its key buffer or page key
// cache), which dies with a cursor on the caller's stack.
bool in_cursor(const ORV_cursor *mc, const ORV_val *v) {
  const char *p = static_cast<const char *>(v->mv_data);
  const auto inside = [p](const char *base, uint64_t size) {
    return base != nullptr && p >= base && p < base + size;
  };
  return inside(mc->mc_keybuf, sizeof mc->mc_keybuf) ||
         inside(mc->mc_pkc_store, mc->mc_pkc_store_cap);
}

bool in_cursors(const ORV_cursor *mc, const ORV_val *v) {
  if (v == nullptr || v->mv_size == 0 || v->mv_data == nullptr) return false;
  return in_cursor(mc, v) ||
         (mc->mc_xcursor != nullptr && in_cursor(&mc->mc_xcursor->mx_cursor, v));
}

// Moves the key and value a temporary cursor handed out into one block of
// the transaction's scratch area when they live in the cursor's buffers
// (keys of prefix-compressed pages), so that they outlive the cursor.
int results_detach(ORV_cursor *mc, ORV_val *key, ORV_val *data) {
  const bool move_key = in_cursors(mc, key);
  const bool move_data = in_cursors(mc, data);
  if (!move_key && !move_data) return 0;
  const size_t size = (move_key ? key->mv_size : 0) + (move_data ? data->mv_size : 0);
  void *buf;
  if (int rc = orv_txn_scratch(mc->mc_txn, size, &buf); rc != 0) return rc;
  char *at = static_cast<char *>(buf);
  for (ORV_val *v : {move_key ? key : nullptr, move_data ? data : nullptr}) {
    if (v == nullptr) continue;
    std::memcpy(at, v->mv_data, v->mv_size);
    v->mv_data = at;
    at += v->mv_size;
  }
  return 0;
}

// How many slots ahead a walk by ranks asks for a node, as a cursor step
// does.
inline constexpr unsigned kRankAhead = 4;

// A lookup from the cursor's cached path (ranks going up on one cursor,
// typically one after another) landed on the leaf on top, just entered
// when entered: asks for the node a few slots ahead and, on entering, for
// the leaf after this one (the parent's next slot, read on the way here),
// so that the next ranks do not wait for them.
void rank_walk_prefetch(const ORV_cursor *mc, bool entered) {
  const ORV_page *leaf = mc->mc_pg[mc->mc_top];
  const unsigned slot = mc->mc_ki[mc->mc_top];
  if (is_leaf2(leaf) || is_subp(leaf)) return;
  const ORV_env *env = mc->mc_txn->mt_env;
  const unsigned n = numkeys(leaf);
  for (unsigned i = slot + (entered ? 1 : kRankAhead); i <= slot + kRankAhead && i < n; ++i)
    orv_prefetch_node(leaf, i, env->me_psize, true);
  if (entered) orv_prefetch_sibling_leaf(mc, true);
}

// orv_cursor_get_rank once the arguments and the transaction passed.
int cursor_get_rank(ORV_cursor *mc, uint64_t rank, ORV_val *key, ORV_val *data) {
  // Slots and page numbers change under a write transaction; the key state
  // is rebuilt from the new position.
  if (mc->mc_db->md_flags & ORV_PREFIXKEY) orv_cursor_keys_reset(mc);
  uint64_t dup = 0;
  int rc = ORV_NOTFOUND;
  if (txn_is_rdonly(mc->mc_txn) && (mc->mc_flags & C_RANKPOS) == C_RANKPOS && mc->mc_snum > 0 &&
      mc->mc_rank <= rank) {
    const ORV_page *leaf = cursor_page(mc);
    rc = orv_cursor_rank_from_here(mc, rank, &dup);
    if (rc == 0 && is_leaf(cursor_page(mc))) rank_walk_prefetch(mc, cursor_page(mc) != leaf);
  }
  if (rc == ORV_NOTFOUND) rc = orv_cursor_rank_from_root(mc, rank, &dup);
  if (rc != 0) {
    // A descent that stopped half-way leaves no position to read from.
    mc->mc_flags &= ~(C_INITIALIZED | C_EOF);
    rank_forget(mc);
    return rc;
  }

  ORV_page *mp = cursor_page(mc);
  const unsigned i = cursor_slot(mc);
  if (is_leaf2(mp)) {
    if (key != nullptr) *key = ORV_val{mc->mc_db->md_pad, leaf2_key(mp, i, mc->mc_db->md_pad)};
    if (data != nullptr) *data = ORV_val{0, nullptr};
    mc->mc_flags |= C_RANKVALID;
    return 0;
  }
  ORV_node *node = node_ptr(mp, i);
  if (int rc2 = orv_leaf_node_check(mc, mp, node); rc2 != 0) {
    rank_forget(mc);
    return rc2;
  }
  if (node->mn_flags & F_DUPDATA) {
    rc = dup_position(mc, node, dup);
  } else {
    if (dup != 0) rc = orv_count_corrupted(mc);
    if (mc->mc_xcursor != nullptr) mc->mc_xcursor->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
  }
  if (rc == 0 && (key != nullptr || data != nullptr))
    rc = orv_cursor_get0(mc, key, data, ORV_GET_CURRENT);
  if (rc != 0) {
    rank_forget(mc);
    return rc;
  }
  mc->mc_flags |= C_RANKVALID;
  return 0;
}

// The checks of orv_cursor_get_rank after EINVAL, in their order.
int get_rank_checked(ORV_cursor *mc, uint64_t rank, ORV_val *key, ORV_val *data) {
  if (!(mc->mc_db->md_flags & ORV_COUNTED)) return ORV_INCOMPATIBLE;
  if (int rc = orv_txn_state_check(mc->mc_txn); rc != 0) return rc;
  if (rank >= mc->mc_db->md_entries) return ORV_NOTFOUND;
  return cursor_get_rank(mc, rank, key, data);
}

// Entries of the key under the cursor (found equal to the bound) that lie
// before a value bound: all of them without data, else those below data
// (or not above it with data_inclusive).
int key_entries_before(ORV_cursor *mc, const ORV_val *data, int data_inclusive, uint64_t *out) {
  ORV_page *mp = cursor_page(mc);
  if (is_leaf2(mp)) return orv_count_corrupted(mc);
  ORV_node *node = node_ptr(mp, cursor_slot(mc));
  if (node->mn_flags & F_DUPDATA) {
    if (mc->mc_xcursor == nullptr) return ORV_INCOMPATIBLE;
    ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
    if (data != nullptr) return orv_dup_count_before(sub, data, data_inclusive, out);
    *out = sub->mc_db->md_entries;
    return 0;
  }
  *out = 1;
  if (data == nullptr) return 0;
  ORV_val stored;
  if (int rc = orv_node_read(mc, node, &stored); rc != 0) return rc;
  ORV_cmp_func dcmp = mc->mc_dbx->md_dcmp != nullptr ? mc->mc_dbx->md_dcmp : mc->mc_dbx->md_cmp;
  if (dcmp == orv_cmp_uint32 && stored.mv_size == sizeof(uint64_t)) dcmp = orv_cmp_uint64;
  const int c = dcmp(&stored, data);
  if (c > 0 || (c == 0 && !data_inclusive)) *out = 0;
  return 0;
}

// orv_count_before when no key is >= the bound: every entry is before it,
// unless the comparator disagrees with the tree's order at its ends.
int count_past_every_key(ORV_cursor *mc, const ORV_val *key, int key_inclusive,
                         uint64_t *count_out) {
  const uint64_t entries = mc->mc_db->md_entries;
  *count_out = 0;
  if (entries == 0 || mc->mc_db->md_root == P_INVALID) return 0;
  if (int rc = orv_count_txn_check(mc->mc_txn); rc != 0) return rc;
  ORV_cmp_func cmp = mc->mc_dbx->md_cmp;
  ORV_val end;
  if (int rc = orv_cursor_last(mc, &end, nullptr); rc != 0) return rc;
  int c = cmp(&end, key);
  if (c < 0 || (c == 0 && key_inclusive)) {
    *count_out = entries;
    return 0;
  }
  if (int rc = orv_cursor_first(mc, &end, nullptr); rc != 0) return rc;
  c = cmp(&end, key);
  *count_out = (c < 0 || (c == 0 && key_inclusive)) ? entries : 0;
  return 0;
}

// Trusts the application cursor's page key cache to a temporary cursor for
// one call (and its sub-cursor's to the temporary sub-cursor), so that a
// long-lived cursor of a read-only transaction keeps its decoded keys and
// leaf prefix sums from call to call and nothing is allocated once they
// exist. The buffers go back at scope end.
class PkcLoan {
 public:
  PkcLoan(ORV_cursor *owner, ORV_cursor *borrower)
      : owner_(owner), borrower_(borrower), pg_(owner->mc_pkc_pg), nslots_(owner->mc_pkc_nslots) {
    swap_caches(owner_, borrower_);
    borrower_->mc_flags |= C_LONGLIVED;
    if (owner_->mc_xcursor != nullptr && borrower_->mc_xcursor != nullptr)
      swap_caches(&owner_->mc_xcursor->mx_cursor, &borrower_->mc_xcursor->mx_cursor);
  }
  ~PkcLoan() {
    swap_caches(owner_, borrower_);
    if (owner_->mc_xcursor != nullptr && borrower_->mc_xcursor != nullptr) {
      ORV_cursor *sub = &owner_->mc_xcursor->mx_cursor;
      swap_caches(sub, &borrower_->mc_xcursor->mx_cursor);
      orv_cursor_keys_reset(sub);
    }
    // A key the owner took from its cache may now be gone from it: what
    // the owner remembers of its last key is forgotten once the cache
    // describes another page.
    if (owner_->mc_pkc_pg != pg_ || owner_->mc_pkc_nslots != nslots_) orv_cursor_keys_reset(owner_);
  }
  PkcLoan(const PkcLoan &) = delete;
  PkcLoan &operator=(const PkcLoan &) = delete;

  // Whether a cursor's cache may be lent for a lookup of key/data: the
  // lookup must not rewrite bytes it is still reading.
  static bool allowed(const ORV_cursor *owner, const ORV_val *key, const ORV_val *data) {
    if (!txn_is_rdonly(owner->mc_txn) || !(owner->mc_flags & C_LONGLIVED)) return false;
    return !in_cursors(owner, key) && !in_cursors(owner, data);
  }

 private:
  static void swap_caches(ORV_cursor *a, ORV_cursor *b) {
    std::swap(a->mc_pkc_keys, b->mc_pkc_keys);
    std::swap(a->mc_pkc_keys_cap, b->mc_pkc_keys_cap);
    std::swap(a->mc_pkc_done, b->mc_pkc_done);
    std::swap(a->mc_pkc_done_cap, b->mc_pkc_done_cap);
    std::swap(a->mc_pkc_store, b->mc_pkc_store);
    std::swap(a->mc_pkc_store_cap, b->mc_pkc_store_cap);
    std::swap(a->mc_pkc_slotsize, b->mc_pkc_slotsize);
    std::swap(a->mc_pkc_sums, b->mc_pkc_sums);
    std::swap(a->mc_pkc_sums_cap, b->mc_pkc_sums_cap);
    std::swap(a->mc_pkc_nsums, b->mc_pkc_nsums);
    std::swap(a->mc_pkc_nslots, b->mc_pkc_nslots);
    std::swap(a->mc_pkc_ready, b->mc_pkc_ready);
    std::swap(a->mc_pkc_pg, b->mc_pkc_pg);
    std::swap(a->mc_pkc_txnid, b->mc_pkc_txnid);
    std::swap(a->mc_pkc_subpage, b->mc_pkc_subpage);
  }

  ORV_cursor *owner_;
  ORV_cursor *borrower_;
  pgno_t pg_;  // the page the owner's cache described before the loan
  uint32_t nslots_;
};

// The rank of key (or of the pair key/data) on a fresh cursor: the cursor
// is positioned on the key (and the pair) once, and the entries before it
// are read from the counts on that very path.
int key_rank0(ORV_cursor *mc, const ORV_val *key, const ORV_val *data, uint64_t *rank_out) {
  if (int rc = orv_count_txn_check(mc->mc_txn); rc != 0) return rc;
  ORV_val k = *key;
  int exact = 0;
  if (data != nullptr && (mc->mc_db->md_flags & ORV_DUPSORT)) {
    // The pair must exist: the key's entries before it are its values
    // below data.
    ORV_val d = *data;
    if (int rc = orv_cursor_get0(mc, &k, &d, ORV_GET_BOTH); rc != 0) return rc;
    uint64_t before, own;
    if (int rc = orv_path_entries_before(mc, &before); rc != 0) return rc;
    if (int rc = key_entries_before(mc, data, 0, &own); rc != 0) return rc;
    *rank_out = before + own;
    return 0;
  }
  // The key must exist; ORV_SET hands out nothing but the value asked for.
  ORV_val stored;
  if (int rc = orv_cursor_set(mc, &k, data != nullptr ? &stored : nullptr, ORV_SET, &exact);
      rc != 0)
    return rc;
  // One value per key: the pair exists when the value is that very value.
  if (data != nullptr &&
      (stored.mv_size != data->mv_size ||
       (stored.mv_size != 0 && std::memcmp(stored.mv_data, data->mv_data, stored.mv_size) != 0)))
    return ORV_NOTFOUND;
  return orv_path_entries_before(mc, rank_out);
}

// Key rank through a temporary cursor; owner (may be null) is the
// application cursor whose page key cache the lookup may use.
int key_rank(ORV_txn *txn, ORV_dbi dbi, const ORV_val *key, const ORV_val *data, ORV_cursor *owner,
             uint64_t *rank_out) {
  // Before the cursor's set-up, which may already read the tree.
  if (int rc = orv_count_txn_check(txn); rc != 0) return rc;
  ORV_count_cursor tmp(txn, dbi);
  if (owner != nullptr && PkcLoan::allowed(owner, key, data)) {
    PkcLoan loan(owner, &tmp.mc);
    return key_rank0(&tmp.mc, key, data, rank_out);
  }
  return key_rank0(&tmp.mc, key, data, rank_out);
}

}  // namespace

int orv_cursor_rank_descend(ORV_cursor *mc, uint64_t rank, uint64_t *dup_out) {
  for (;;) {
    const unsigned top = mc->mc_top;
    ORV_page *mp = mc->mc_pg[top];
    if (mc->mc_snum == 0 || mp == nullptr || rank < mc->mc_rank_base[top])
      return orv_count_corrupted(mc);
    if (top > 0 && !is_counted(mc->mc_pg[top - 1])) return ORV_INCOMPATIBLE;
    const uint64_t b = rank - mc->mc_rank_base[top];
    const uint64_t expected = level_entries(mc, top);
    if (b >= expected) return ORV_NOTFOUND;

    if (is_branch(mp)) {
      if (!is_counted(mp)) return ORV_INCOMPATIBLE;
      ORV_branch_slot pick;
      if (int rc = orv_branch_slot_pick(mc, mp, expected, true, b, &pick); rc != 0) return rc;
      ORV_page *child;
      if (int rc = orv_tree_page_get(mc, mp, pick.slot, nullptr, &child); rc != 0) return rc;
      mc->mc_ki[top] = static_cast<indx_t>(pick.slot);
      if (mc->mc_snum >= ORV_CURSOR_STACK) return orv_txn_fail(mc->mc_txn, ORV_CURSOR_FULL);
      mc->mc_top = mc->mc_snum++;
      mc->mc_pg[mc->mc_top] = child;
      mc->mc_ki[mc->mc_top] = 0;
      mc->mc_rank_base[mc->mc_top] = mc->mc_rank_base[top] + pick.left;
      continue;
    }
    if (!is_leaf(mp)) return orv_count_corrupted(mc);
    unsigned slot;
    uint64_t dup;
    if (int rc = leaf_pick(mc, mp, b, expected, &slot, &dup); rc != 0) return rc;
    mc->mc_ki[top] = static_cast<indx_t>(slot);
    mc->mc_rank = rank;
    mc->mc_rank_dup = dup;
    *dup_out = dup;
    return 0;
  }
}

int orv_cursor_rank_from_root(ORV_cursor *mc, uint64_t rank, uint64_t *dup_out) {
  if (rank >= mc->mc_db->md_entries) return ORV_NOTFOUND;
  if (mc->mc_snum > 0 && mc->mc_pg[0] != nullptr && is_subp(mc->mc_pg[0])) {
    // A sub-cursor over a sub-page: that page is the whole tree.
    mc->mc_snum = 1;
    mc->mc_top = 0;
  } else {
    if (!(mc->mc_flags & C_INITIALIZED)) mc->mc_pg[0] = nullptr;  // look the root up afresh
    const int rc = orv_page_search(mc, nullptr, ORV_PS_ROOTONLY);
    // Entries without a root: the record is damaged.
    if (rc == ORV_NOTFOUND) return orv_count_corrupted(mc);
    if (rc != 0) return rc;
    if (rank >= mc->mc_db->md_entries) return ORV_NOTFOUND;  // a refreshed record
  }
  mc->mc_rank_base[0] = 0;
  mc->mc_flags |= C_INITIALIZED;
  mc->mc_flags &= ~(C_EOF | C_DEL);
  return orv_cursor_rank_descend(mc, rank, dup_out);
}

int orv_cursor_rank_from_here(ORV_cursor *mc, uint64_t rank, uint64_t *dup_out) {
  if (rank == mc->mc_rank) {
    *dup_out = mc->mc_rank_dup;
    return 0;
  }
  for (unsigned j = mc->mc_snum; j-- > 0;) {
    if (j > 0 && !is_counted(mc->mc_pg[j - 1])) return ORV_NOTFOUND;
    const uint64_t base = mc->mc_rank_base[j];
    if (rank >= base && rank - base < level_entries(mc, j)) {
      mc->mc_snum = static_cast<uint16_t>(j + 1);
      mc->mc_top = static_cast<uint16_t>(j);
      return orv_cursor_rank_descend(mc, rank, dup_out);
    }
  }
  return ORV_NOTFOUND;
}

int orv_count_before(ORV_cursor *mc, const ORV_val *key, int key_inclusive, const ORV_val *data,
                     int data_inclusive, uint64_t *count_out) {
  if (mc == nullptr || count_out == nullptr || key == nullptr) return EINVAL;
  if (mc->mc_db == nullptr || mc->mc_dbx == nullptr || mc->mc_dbx->md_cmp == nullptr)
    return ORV_PROBLEM;
  ORV_val found = *key;
  int rc = orv_cursor_set(mc, &found, nullptr, ORV_SET_RANGE, nullptr);
  if (rc == ORV_NOTFOUND) return count_past_every_key(mc, key, key_inclusive, count_out);
  if (rc != 0) return rc;
  const bool equal = mc->mc_dbx->md_cmp(key, &found) == 0;
  uint64_t before;
  if (rc = orv_path_entries_before(mc, &before); rc != 0) return rc;
  if (key_inclusive && equal) {
    uint64_t own;
    if (rc = key_entries_before(mc, data, data_inclusive, &own); rc != 0) return rc;
    before += own;
  }
  *count_out = before;
  return 0;
}

// ---- Exported ------------------------------------------------------------------------

extern "C" ORV_API int orv_cursor_get_rank(ORV_cursor *mc, uint64_t rank, ORV_val *key,
                                           ORV_val *data, unsigned int flags) noexcept {
  if (mc == nullptr || mc->mc_txn == nullptr || flags != 0) return EINVAL;
  return get_rank_checked(mc, rank, key, data);
}

extern "C" ORV_API int orv_get_rank(ORV_txn *txn, ORV_dbi dbi, uint64_t rank, ORV_val *key,
                                    ORV_val *data) noexcept {
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  if (int rc = orv_txn_state_check(txn); rc != 0) return rc;
  ORV_count_cursor tmp(txn, dbi);
  int rc = get_rank_checked(&tmp.mc, rank, key, data);
  if (rc == 0) rc = results_detach(&tmp.mc, key, data);
  return rc;
}

extern "C" ORV_API int orv_cursor_key_rank(ORV_cursor *mc, const ORV_val *key, const ORV_val *data,
                                           unsigned int flags, uint64_t *rank) noexcept {
  if (mc == nullptr || mc->mc_txn == nullptr || flags != 0 || key == nullptr || rank == nullptr)
    return EINVAL;
  if (int rc = orv_txn_state_check(mc->mc_txn); rc != 0) return rc;
  if (!(mc->mc_db->md_flags & ORV_COUNTED)) return ORV_INCOMPATIBLE;
  return key_rank(mc->mc_txn, mc->mc_dbi, key, data, mc, rank);
}

extern "C" ORV_API int orv_get_key_rank(ORV_txn *txn, ORV_dbi dbi, const ORV_val *key,
                                        const ORV_val *data, uint64_t *rank) noexcept {
  if (key == nullptr || rank == nullptr) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  if (int rc = orv_txn_state_check(txn); rc != 0) return rc;
  if (!(txn->mt_dbs[dbi].md_flags & ORV_COUNTED)) return ORV_INCOMPATIBLE;
  return key_rank(txn, dbi, key, data, nullptr, rank);
}
