// Entry counts of counted trees: entries below a page or a leaf node, the
// count stored in a counted branch node, and signed adjustments along a
// cursor's path.
//
// Where the counts live:
//   P_LEAF2 page       one entry per fixed-size key (NUMKEYS)
//   leaf node          1; F_DUPDATA without F_SUBDATA: the NUMKEYS of the
//                      sub-page in its value; F_DUPDATA|F_SUBDATA: md_entries
//                      of the 48-byte ORV_db record in its value
//   P_COUNTED branch   mn_count (node bytes 8-15): entries below the child
// Counts are unsigned and saturate at 0 when adjusted downward.
//
// These helpers never fail and never allocate; they run on every write path.
#include <cstddef>
#include <cstdint>

#include "btree/btree.h"
#include "page/page.h"

namespace {

inline bool is_counted_branch(const ORV_page *mp) { return is_branch(mp) && is_counted(mp); }

// count + delta, clamped to [0, UINT64_MAX].
inline uint64_t saturating_add(uint64_t count, int64_t delta) {
  if (delta < 0) {
    const uint64_t down = uint64_t{0} - static_cast<uint64_t>(delta);
    return down >= count ? 0 : count - down;
  }
  const uint64_t up = static_cast<uint64_t>(delta);
  return up > UINT64_MAX - count ? UINT64_MAX : count + up;
}

}  // namespace

uint64_t orv_node_entries(const ORV_page *mp, const ORV_node *node) {
  if (is_leaf2(mp)) return 1;
  if (!is_leaf(mp)) return 0;
  if (!(node->mn_flags & F_DUPDATA)) return 1;
  const void *data = node_data(node);
  // A value too short for what it claims to hold, or kept on overflow pages
  // (its node holds only a page number), is a damaged node: it counts
  // nothing rather than be read past its end.
  if (node->mn_flags & F_BIGDATA) return 0;
  const size_t dsize = node_dsize(node);
  if (dsize < ((node->mn_flags & F_SUBDATA) ? sizeof(ORV_db) : PAGEHDRSZ)) return 0;
  if (node->mn_flags & F_SUBDATA) {
    // The record sits in node data at 2-byte alignment: read the field
    // bytewise instead of through an ORV_db pointer.
    return load_u64(static_cast<const std::byte *>(data) + offsetof(ORV_db, md_entries));
  }
  // A sub-page whose slot array runs past its value has no count to trust.
  const auto *sub = static_cast<const ORV_page *>(data);
  if (sub->mp_lower < PAGEHDRSZ || sub->mp_lower > dsize) return 0;
  return numkeys(sub);
}

uint64_t orv_page_entries(const ORV_page *mp) {
  if (is_leaf2(mp)) return numkeys(mp);
  const unsigned nkeys = numkeys(mp);
  uint64_t sum = 0;
  if (is_leaf(mp)) {
    for (unsigned i = 0; i < nkeys; ++i) sum += orv_node_entries(mp, node_ptr(mp, i));
  } else if (is_counted_branch(mp)) {
    for (unsigned i = 0; i < nkeys; ++i) sum += node_count(node_ptr(mp, i));
  }
  return sum;
}

int64_t orv_branch_set_count(ORV_page *mp, pgno_t child, uint64_t count) {
  if (!mp || !is_counted_branch(mp)) return 0;
  const unsigned nkeys = numkeys(mp);
  for (unsigned i = 0; i < nkeys; ++i) {
    ORV_node *node = node_ptr(mp, i);
    if (node_pgno(node) != child) continue;
    const uint64_t old = node_count(node);
    set_node_count(node, count);
    // Modular difference read as signed: exact for any change below 2^63.
    return static_cast<int64_t>(count - old);
  }
  return 0;
}

int64_t orv_parent_count_set(ORV_cursor *mc, unsigned level, pgno_t child, uint64_t count) {
  if (level == 0) return 0;
  ORV_page *parent = mc->mc_pg[level - 1];
  if (!is_counted_branch(parent)) return 0;
  int64_t change = 0;
  const unsigned s = mc->mc_ki[level - 1];
  if (s < numkeys(parent) && node_pgno(node_ptr(parent, s)) == child) {
    ORV_node *node = node_ptr(parent, s);
    const uint64_t old = node_count(node);
    set_node_count(node, count);
    change = static_cast<int64_t>(count - old);
  } else {
    // The slot does not name the child (a stale path): find its node.
    change = orv_branch_set_count(parent, child, count);
  }
  orv_counts_adjust(mc, static_cast<int>(level) - 2, change);
  return change;
}

int64_t orv_parent_count_add(ORV_cursor *mc, unsigned level, int64_t delta) {
  if (level == 0 || delta == 0) return 0;
  ORV_page *parent = mc->mc_pg[level - 1];
  const unsigned s = mc->mc_ki[level - 1];
  if (!is_counted_branch(parent) || s >= numkeys(parent)) return 0;
  ORV_node *node = node_ptr(parent, s);
  const uint64_t old = node_count(node);
  const uint64_t now = saturating_add(old, delta);
  set_node_count(node, now);
  const int64_t change = static_cast<int64_t>(now - old);
  orv_counts_adjust(mc, static_cast<int>(level) - 2, change);
  return change;
}

void orv_counts_adjust(ORV_cursor *mc, int level, int64_t delta) {
  if (delta == 0 || level < 0) return;
  if (level >= static_cast<int>(ORV_CURSOR_STACK)) level = ORV_CURSOR_STACK - 1;
  for (int l = level; l >= 0; --l) {
    ORV_page *mp = mc->mc_pg[l];
    if (!mp) break;
    if (!is_counted_branch(mp)) continue;
    const unsigned ki = mc->mc_ki[l];
    if (ki >= numkeys(mp)) continue;
    ORV_node *node = node_ptr(mp, ki);
    set_node_count(node, saturating_add(node_count(node), delta));
  }
}
