// Entry counts of counted trees: entries below a page or a leaf node and
// the count stored in a counted branch node. Adjustments along a cursor's
// path walk the tree above the page: lib/btree/count_path.cc.
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

#include "page/page.h"

namespace {

inline bool is_counted_branch(const ORV_page *mp) { return is_branch(mp) && is_counted(mp); }

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
