// Range counting: orv_count_all, orv_count_range, orv_range_count_keys and
// orv_range_count_values, with the pieces every count is made of: the
// entries left of a cursor's path (branch counts plus a leaf's first
// slots), the page prefix sums of long-lived cursors, and the values of one
// key below a value bound.
//
// A range count is the difference of two counts of the entries before a
// bound, each found by one descent and the counts on its path. Only the
// distinct-key count of a database with duplicates walks its keys.
//
// Page prefix sums (mc_pkc_sums, kept with the page key cache of a
// long-lived cursor in a read-only transaction): sums[0] = 0 and sums[i + 1]
// = sums[i] + the entries of slot i of the cached leaf, filled up to the
// highest slot asked for. They are valid exactly as long as the page key
// cache describes that page (page number, transaction id, slot count).
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "count/count.h"

namespace {

inline constexpr unsigned RANGE_FLAGS = ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL;
inline constexpr uint32_t SUMS_MIN = 512;

// Whether nodes from..to-1 of leaf mp can be counted by orv_node_entries,
// which reads a node's value in place: each node lies inside the page with
// its value, which for duplicates is there (not on overflow pages), holds a
// whole sub-database record or a sub-page whose slot array lies inside it.
bool nodes_countable(const ORV_cursor *mc, const ORV_page *mp, unsigned from, unsigned to) {
  const size_t psize = orv_prefix_psize(mc, mp);
  for (unsigned i = from; i < to; ++i) {
    if (!orv_node_in_page(mp, psize, i, true)) return false;
    const ORV_node *node = node_ptr(mp, i);
    if (!(node->mn_flags & F_DUPDATA)) continue;
    if (node->mn_flags & F_BIGDATA) return false;
    const size_t dsize = node_dsize(node);
    if (node->mn_flags & F_SUBDATA) {
      if (dsize < sizeof(ORV_db)) return false;
      continue;
    }
    if (dsize < PAGEHDRSZ) return false;
    const auto *sub = static_cast<const ORV_page *>(node_data(node));
    if (sub->mp_lower < PAGEHDRSZ || sub->mp_lower > dsize) return false;
  }
  return true;
}

// Extends the prefix sums of the cached page mp to slot m; false when they
// cannot grow (the caller sums the nodes itself).
bool prefix_sum(ORV_cursor *mc, ORV_page *mp, unsigned m, uint64_t *out) {
  // Setting the cache up for a page reads every key of it, and the sums
  // read every value: all nodes are checked once, when the cache takes the
  // page (it describes it until the read-only transaction ends). A damaged
  // node leaves the count to the caller's own walk, which reports it.
  const bool cached = mc->mc_pkc_pg == mp->mp_pgno && mc->mc_pkc_txnid == mc->mc_txn->mt_txnid &&
                      mc->mc_pkc_nslots == numkeys(mp) && mc->mc_pkc_subpage == nullptr;
  if (!cached && !nodes_countable(mc, mp, 0, numkeys(mp))) return false;
  if (orv_pkc_prepare(mc, mp) != 0) return false;
  if (mc->mc_pkc_nsums <= m) {
    if (mc->mc_pkc_sums == nullptr || mc->mc_pkc_sums_cap <= m) {
      uint32_t cap = mc->mc_pkc_sums_cap > SUMS_MIN ? mc->mc_pkc_sums_cap : SUMS_MIN;
      while (cap <= m) cap *= 2;
      void *p = std::realloc(mc->mc_pkc_sums, sizeof(uint64_t) * cap);
      if (p == nullptr) return false;
      mc->mc_pkc_sums = static_cast<uint64_t *>(p);
      mc->mc_pkc_sums_cap = cap;
    }
    uint64_t *sums = mc->mc_pkc_sums;
    if (mc->mc_pkc_nsums == 0) {
      sums[0] = 0;
      mc->mc_pkc_nsums = 1;
    }
    for (unsigned i = mc->mc_pkc_nsums - 1; i < m; ++i)
      if (__builtin_add_overflow(sums[i], orv_node_entries(mp, node_ptr(mp, i)), &sums[i + 1]))
        return false;
    mc->mc_pkc_nsums = m + 1;
  }
  *out = mc->mc_pkc_sums[m];
  return true;
}

// Adds the counts of slots from..to-1 of the counted branch page mp to
// *total. Every node read must lie inside the page, and the sum must not
// overflow; false otherwise.
bool counts_add(const ORV_page *mp, size_t psize, unsigned from, unsigned to, uint64_t *total) {
  uint64_t sum = *total;
  for (unsigned i = from; i < to; ++i) {
    if (!orv_node_in_page(mp, psize, i, false)) return false;
    if (__builtin_add_overflow(sum, node_count(node_ptr(mp, i)), &sum)) return false;
  }
  *total = sum;
  return true;
}

// Argument and state tests of the range functions, in the order each makes
// them. walks: the functions that step through the tree (keys, values),
// which test the transaction first and then the flags.
enum class RangeKind { all, entries, keys, values };

int range_check(ORV_txn *txn, ORV_dbi dbi, unsigned flags, const uint64_t *count_out,
                RangeKind kind) {
  const bool walks = kind == RangeKind::keys || kind == RangeKind::values;
  // Argument errors come before the handle's ORV_BAD_DBI; the walks test
  // the transaction before their flags. Every count tests the transaction:
  // a failed or blocked one holds a tree that may be half changed, so even
  // the stored total (orv_count_all) is no answer to give as a success.
  if (count_out == nullptr || (!walks && (flags & ~RANGE_FLAGS))) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_VALID); rc != 0) return rc;
  if (int rc = orv_txn_state_check(txn); rc != 0) return rc;
  if (walks && (flags & ~RANGE_FLAGS)) return EINVAL;
  const unsigned dbflags = txn->mt_dbs[dbi].md_flags;
  if (!(dbflags & ORV_COUNTED)) return ORV_INCOMPATIBLE;
  if (kind == RangeKind::entries && (dbflags & ORV_DUPSORT)) return ORV_INCOMPATIBLE;
  if (kind == RangeKind::values && !(dbflags & ORV_DUPSORT)) return ORV_INCOMPATIBLE;
  if (walks && txn->mt_dbxs[dbi].md_cmp == nullptr) return ORV_PROBLEM;
  return 0;
}

// Whether the range holds nothing whatever the tree: an empty database,
// bounds in the wrong order, or one key that is not inside both bounds.
bool range_empty(const ORV_cursor *mc, const ORV_val *low, const ORV_val *high, unsigned flags) {
  if (mc->mc_db->md_entries == 0) return true;
  if (low == nullptr || high == nullptr) return false;
  const int c = mc->mc_dbx->md_cmp(low, high);
  return c > 0 || (c == 0 && (flags & RANGE_FLAGS) != RANGE_FLAGS);
}

// orv_range_count_values' second look at a count that came out as every
// entry: counted again from the first key at or above the bound.
int count_recheck(ORV_cursor *mc, const ORV_val *bound, int inclusive, uint64_t *count_out) {
  ORV_val found = *bound;
  int rc = orv_cursor_set(mc, &found, nullptr, ORV_SET_RANGE, nullptr);
  if (rc == ORV_NOTFOUND) {
    *count_out = mc->mc_db->md_entries;
    return 0;
  }
  if (rc != 0) return rc;
  // The found key may live in the cursor's buffers, which the count
  // rewrites.
  char copy[ORV_KEYBUF_MAX];
  if (found.mv_size > sizeof copy) return ORV_BAD_VALSIZE;
  std::memcpy(copy, found.mv_data, found.mv_size);
  const ORV_val key{found.mv_size, copy};
  const int c = mc->mc_dbx->md_cmp(&key, bound);
  return orv_count_before(mc, &key, c == 0 && inclusive, nullptr, 0, count_out);
}

// The entries before a bound (not counting the bound's own entries unless
// inclusive), rechecked when asked and the count is every entry.
int bound_count(ORV_cursor *mc, const ORV_val *bound, int inclusive, bool recheck,
                uint64_t *count_out) {
  if (int rc = orv_count_before(mc, bound, inclusive, nullptr, 0, count_out); rc != 0) return rc;
  if (recheck && *count_out == mc->mc_db->md_entries)
    return count_recheck(mc, bound, inclusive, count_out);
  return 0;
}

// Entries whose keys lie in the range: the count before the upper bound
// less the count before the lower one.
int count_span(ORV_cursor *mc, const ORV_val *low, const ORV_val *high, unsigned flags,
               bool recheck, uint64_t *count_out) {
  *count_out = 0;
  if (range_empty(mc, low, high, flags)) return 0;
  uint64_t upper = mc->mc_db->md_entries;
  uint64_t lower = 0;
  if (!(mc->mc_db->md_flags & ORV_DUPSORT)) {
    // One entry per key: both bounds in one descent.
    ORV_count_bound lb{low, !(flags & ORV_RANGE_LOWER_INCL), 0};
    ORV_count_bound hb{high, (flags & ORV_RANGE_UPPER_INCL) != 0, 0};
    if (int rc =
            orv_bounds_count(mc, low != nullptr ? &lb : nullptr, high != nullptr ? &hb : nullptr);
        rc != 0)
      return rc;
    if (high != nullptr) upper = hb.before;
    if (low != nullptr) lower = lb.before;
    *count_out = upper > lower ? upper - lower : 0;
    return 0;
  }
  if (high != nullptr) {
    if (int rc = bound_count(mc, high, (flags & ORV_RANGE_UPPER_INCL) != 0, recheck, &upper);
        rc != 0)
      return rc;
  }
  if (low != nullptr) {
    if (int rc = bound_count(mc, low, !(flags & ORV_RANGE_LOWER_INCL), recheck, &lower); rc != 0)
      return rc;
  }
  *count_out = upper > lower ? upper - lower : 0;
  return 0;
}

// Distinct keys in the range of a database with duplicates, one step per key.
int count_distinct_keys(ORV_cursor *mc, const ORV_val *low, const ORV_val *high, unsigned flags,
                        uint64_t *count_out) {
  *count_out = 0;
  if (range_empty(mc, low, high, flags)) return 0;
  ORV_cmp_func cmp = mc->mc_dbx->md_cmp;
  ORV_val key, data;
  int rc;
  if (low != nullptr) {
    key = *low;
    rc = orv_cursor_get0(mc, &key, &data, ORV_SET_RANGE);
    while (rc == 0 && !(flags & ORV_RANGE_LOWER_INCL) && cmp(&key, low) == 0) {
      if (rc = orv_count_txn_check(mc->mc_txn); rc != 0) return rc;
      rc = orv_cursor_get0(mc, &key, &data, ORV_NEXT_NODUP);
    }
  } else {
    rc = orv_cursor_get0(mc, &key, &data, ORV_FIRST);
  }
  uint64_t n = 0;
  while (rc == 0) {
    if (high != nullptr) {
      const int c = cmp(&key, high);
      if (c > 0 || (c == 0 && !(flags & ORV_RANGE_UPPER_INCL))) break;
    }
    ++n;
    if (rc = orv_count_txn_check(mc->mc_txn); rc != 0) return rc;
    rc = orv_cursor_get0(mc, &key, &data, ORV_NEXT_NODUP);
  }
  if (rc != 0 && rc != ORV_NOTFOUND) return rc;
  *count_out = n;
  return 0;
}

// The number of values of the key under the copy's path that lie below
// value (or not above it with inclusive).
int dup_count_before0(ORV_cursor *mc, const ORV_val *value, int inclusive, uint64_t *count_out) {
  ORV_val found = *value;
  int rc = orv_cursor_set(mc, &found, nullptr, ORV_SET_RANGE, nullptr);
  if (rc == ORV_NOTFOUND) {
    if (rc = orv_count_txn_check(mc->mc_txn); rc != 0) return rc;
    ORV_val first;
    if (rc = orv_cursor_first(mc, &first, nullptr); rc != 0) return rc;
    const int c = mc->mc_dbx->md_cmp(&first, value);
    *count_out = (c > 0 || (c == 0 && !inclusive)) ? 0 : mc->mc_db->md_entries;
    return 0;
  }
  if (rc != 0) return rc;
  const bool equal = mc->mc_dbx->md_cmp(value, &found) == 0;
  if (rc = orv_path_entries_before(mc, count_out); rc != 0) return rc;
  if (inclusive && equal) *count_out += 1;
  return 0;
}

// Runs fn on a temporary cursor of the database whose record is current.
template <typename Fn>
int with_fresh_cursor(ORV_txn *txn, ORV_dbi dbi, Fn fn) {
  // The cursor's set-up may read the tree (to refresh a stale record) and
  // would fail the transaction quietly on an interrupt: say so first. The
  // transaction itself is tested by the descents (an empty range has none).
  if (txn->mt_env->me_interrupt.load(std::memory_order_relaxed) != 0)
    return orv_txn_state_check(txn);
  ORV_count_cursor tmp(txn, dbi);
  if (int rc = orv_count_refresh(&tmp.mc); rc != 0) return rc;
  return fn(&tmp.mc);
}

}  // namespace

int orv_count_txn_check(ORV_txn *txn) { return orv_txn_state_check(txn); }

int orv_count_refresh(ORV_cursor *mc) {
  // The cursor's set-up refreshes a stale record but keeps quiet about a
  // failure; a record still stale must not be counted as if it were current.
  if (!(*mc->mc_dbflag & DB_STALE)) return 0;
  const int rc = orv_page_search(mc, nullptr, ORV_PS_ROOTONLY);
  return rc == ORV_NOTFOUND ? 0 : rc;
}

int orv_branch_slot_pick(ORV_cursor *mc, const ORV_page *mp, uint64_t expected, bool by_entry,
                         uint64_t at, ORV_branch_slot *out) {
  const unsigned n = numkeys(mp);
  const uint64_t *sums;
  uint64_t cached_total;
  if (!by_entry) {
    if (at >= n) return orv_count_corrupted(mc);
    const auto slot = static_cast<unsigned>(at);
    if (int rc = orv_branch_sums_get(mc, mp, &sums, &cached_total); rc != 0) return rc;
    if (sums == nullptr) return orv_branch_slots_read(mc, mp, expected, slot, slot, out, out);
    if (cached_total != expected) return orv_count_corrupted(mc);
    const uint64_t next = slot + 1 < n ? sums[slot + 1] : cached_total;
    *out = ORV_branch_slot{slot, sums[slot], next - sums[slot]};
    return 0;
  }
  if (int rc = orv_branch_sums_get(mc, mp, &sums, &cached_total); rc != 0) return rc;
  if (sums != nullptr) {
    if (cached_total != expected || n == 0) return orv_count_corrupted(mc);
    // The slot holding entry at: the last whose entries before it are not
    // above at (sums[0] is 0; the answer is below hi). Slots that hold
    // nothing are passed over as the walk passes them.
    unsigned lo = 0, hi = n;
    while (hi - lo > 1) {
      const unsigned mid = lo + (hi - lo) / 2;
      if (sums[mid] <= at)
        lo = mid;
      else
        hi = mid;
    }
    const uint64_t next = lo + 1 < n ? sums[lo + 1] : cached_total;
    *out = ORV_branch_slot{lo, sums[lo], next - sums[lo]};
    return at < next ? 0 : orv_count_corrupted(mc);
  }
  const size_t psize = mc->mc_txn->mt_env->me_psize;
  uint64_t total = 0;
  unsigned pick = n;
  for (unsigned i = 0; i < n; ++i) {
    // Every count is read: every node must lie inside the page.
    if (!orv_node_in_page(mp, psize, i, false)) return orv_count_corrupted(mc);
    const uint64_t c = node_count(node_ptr(mp, i));
    // While no slot is picked, total <= at: every count so far was passed.
    if (pick == n && at - total < c) {
      pick = i;
      out->left = total;
      out->below = c;
    }
    if (__builtin_add_overflow(total, c, &total)) return orv_count_corrupted(mc);
  }
  if (total != expected || pick == n) return orv_count_corrupted(mc);
  out->slot = pick;
  return 0;
}

int orv_branch_slots_read(ORV_cursor *mc, const ORV_page *mp, uint64_t expected, unsigned a,
                          unsigned b, ORV_branch_slot *out_a, ORV_branch_slot *out_b) {
  const unsigned n = numkeys(mp);
  if (a >= n || b >= n) return orv_count_corrupted(mc);
  const unsigned x = a < b ? a : b, y = a < b ? b : a;
  uint64_t left_x, left_y, below_x, below_y;
  const uint64_t *sums;
  uint64_t cached_total;
  if (int rc = orv_branch_sums_get(mc, mp, &sums, &cached_total); rc != 0) return rc;
  if (sums != nullptr) {
    if (cached_total != expected) return orv_count_corrupted(mc);
    left_x = sums[x];
    left_y = sums[y];
    below_x = (x + 1 < n ? sums[x + 1] : cached_total) - left_x;
    below_y = (y + 1 < n ? sums[y + 1] : cached_total) - left_y;
  } else {
    const size_t psize = mc->mc_txn->mt_env->me_psize;
    // The walk in three stretches, taking the entries left of x and of y on
    // the way.
    uint64_t total = 0;
    if (!counts_add(mp, psize, 0, x, &total)) return orv_count_corrupted(mc);
    left_x = total;
    if (!counts_add(mp, psize, x, y, &total)) return orv_count_corrupted(mc);
    left_y = total;
    if (!counts_add(mp, psize, y, n, &total) || total != expected) return orv_count_corrupted(mc);
    // Both nodes were checked by the walk.
    below_x = node_count(node_ptr(mp, x));
    below_y = node_count(node_ptr(mp, y));
  }
  *out_a = a == x ? ORV_branch_slot{a, left_x, below_x} : ORV_branch_slot{a, left_y, below_y};
  *out_b = b == x ? ORV_branch_slot{b, left_x, below_x} : ORV_branch_slot{b, left_y, below_y};
  return 0;
}

bool orv_leaf_entries_agree(ORV_cursor *mc, ORV_page *mp, uint64_t expected) {
  const unsigned n = numkeys(mp);
  if (is_leaf2(mp) || !(mc->mc_db->md_flags & ORV_DUPSORT)) return n == expected;
  uint64_t sum;
  return orv_leaf_entries_before(mc, mp, n, &sum) == 0 && sum == expected;
}

int orv_leaf_nodes_countable(ORV_cursor *mc, const ORV_page *mp, unsigned from, unsigned to) {
  return nodes_countable(mc, mp, from, to) ? 0 : orv_count_corrupted(mc);
}

int orv_leaf_entries_before(ORV_cursor *mc, ORV_page *mp, unsigned n, uint64_t *count_out) {
  *count_out = 0;
  if (!is_leaf(mp)) return 0;
  const unsigned m = n < numkeys(mp) ? n : numkeys(mp);
  // Without duplicates every node is one entry.
  if (is_leaf2(mp) || !(mc->mc_db->md_flags & ORV_DUPSORT)) {
    *count_out = m;
    return 0;
  }
  uint64_t sum;
  if (txn_is_rdonly(mc->mc_txn) && !is_subp(mp) && (mc->mc_flags & C_LONGLIVED) &&
      prefix_sum(mc, mp, m, &sum)) {
    *count_out = sum;
    return 0;
  }
  if (int rc = orv_leaf_nodes_countable(mc, mp, 0, m); rc != 0) return rc;
  sum = 0;
  for (unsigned i = 0; i < m; ++i) {
    if (__builtin_add_overflow(sum, orv_node_entries(mp, node_ptr(mp, i)), &sum))
      return orv_count_corrupted(mc);
  }
  *count_out = sum;
  return 0;
}

int orv_path_entries_before(ORV_cursor *mc, uint64_t *count_out) {
  uint64_t before = 0;
  uint64_t expected = mc->mc_db->md_entries;
  for (unsigned l = 0; l < mc->mc_top; ++l) {
    ORV_page *mp = mc->mc_pg[l];
    if (!is_branch(mp)) return orv_count_corrupted(mc);
    // Without counts the entries left of the path are unknown; walking the
    // subtrees to find them would be neither exact on a damaged tree nor
    // logarithmic.
    if (!is_counted(mp)) return ORV_INCOMPATIBLE;
    ORV_branch_slot pick{};
    if (int rc = orv_branch_slot_pick(mc, mp, expected, false, mc->mc_ki[l], &pick); rc != 0)
      return rc;
    before += pick.left;
    expected = pick.below;
  }
  ORV_page *leaf = cursor_page(mc);
  if (!is_leaf(leaf) || !orv_leaf_entries_agree(mc, leaf, expected)) return orv_count_corrupted(mc);
  uint64_t left;
  if (int rc = orv_leaf_entries_before(mc, leaf, cursor_slot(mc), &left); rc != 0) return rc;
  *count_out = before + left;
  return 0;
}

int orv_dup_count_before(ORV_cursor *sub, const ORV_val *value, int inclusive,
                         uint64_t *count_out) {
  *count_out = 0;
  if (!(sub->mc_flags & C_INITIALIZED)) return 0;
  // A copy of the path only: the sub-cursor keeps its position, and the copy
  // keeps no page key cache of its own. A sub-cursor is read as the first
  // member of its ORV_xcursor (the size of a loaded sub-page lives there),
  // so the copy lives in one too, with that size.
  ORV_xcursor xcopy{};
  ORV_cursor &copy = xcopy.mx_cursor;
  if (sub->mc_flags & C_SUB)
    xcopy.mx_subpage_size = reinterpret_cast<const ORV_xcursor *>(sub)->mx_subpage_size;
  orv_cursor_copy_path(sub, &copy);
  copy.mc_flags &= ~C_LONGLIVED;
  copy.mc_key = ORV_val{0, copy.mc_keybuf};
  orv_cursor_keys_reset(&copy);
  orv_pkc_clear(&copy);
  const int rc = dup_count_before0(&copy, value, inclusive, count_out);
  orv_pkc_free(&copy);
  return rc;
}

// ---- Exported ------------------------------------------------------------------------

extern "C" ORV_API int orv_count_all(ORV_txn *txn, ORV_dbi dbi, unsigned int flags,
                                     uint64_t *count) noexcept {
  if (int rc = range_check(txn, dbi, flags, count, RangeKind::all); rc != 0) return rc;
  if (txn->mt_dbflags[dbi] & DB_STALE) {
    ORV_count_cursor tmp(txn, dbi);
    if (int rc = orv_count_refresh(&tmp.mc); rc != 0) return rc;
  }
  *count = txn->mt_dbs[dbi].md_entries;
  return 0;
}

extern "C" ORV_API int orv_count_range(ORV_txn *txn, ORV_dbi dbi, const ORV_val *low,
                                       const ORV_val *high, unsigned int flags,
                                       uint64_t *count) noexcept {
  if (int rc = range_check(txn, dbi, flags, count, RangeKind::entries); rc != 0) return rc;
  return with_fresh_cursor(
      txn, dbi, [&](ORV_cursor *mc) { return count_span(mc, low, high, flags, false, count); });
}

extern "C" ORV_API int orv_range_count_keys(ORV_txn *txn, ORV_dbi dbi, const ORV_val *low,
                                            const ORV_val *high, unsigned int flags,
                                            uint64_t *count) noexcept {
  if (int rc = range_check(txn, dbi, flags, count, RangeKind::keys); rc != 0) return rc;
  return with_fresh_cursor(txn, dbi, [&](ORV_cursor *mc) {
    // Without duplicates every key is one entry.
    if (!(mc->mc_db->md_flags & ORV_DUPSORT)) return count_span(mc, low, high, flags, false, count);
    return count_distinct_keys(mc, low, high, flags, count);
  });
}

extern "C" ORV_API int orv_range_count_values(ORV_txn *txn, ORV_dbi dbi, const ORV_val *low,
                                              const ORV_val *high, unsigned int flags,
                                              uint64_t *count) noexcept {
  if (int rc = range_check(txn, dbi, flags, count, RangeKind::values); rc != 0) return rc;
  return with_fresh_cursor(
      txn, dbi, [&](ORV_cursor *mc) { return count_span(mc, low, high, flags, true, count); });
}
