// Entry counts of counted trees along a cursor's path: a count change of a
// page reaches the counted branch nodes above it through the cursor's page
// stack (mc_pg/mc_ki), which is why these live with the cursor and not with
// the page layout (lib/page/layout.cc keeps what one page holds).
//
// Counts are unsigned and saturate at 0 when adjusted downward. These
// helpers never fail and never allocate; they run on every write path.
#include <cstdint>

#include "btree/btree.h"

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

void orv_page_update_counts(ORV_cursor *mc, ORV_page *mp, int recount, int64_t delta) {
  if (!(mc->mc_db->md_flags & ORV_COUNTED) || mc->mc_top == 0 || !mp) return;
  const unsigned top = mc->mc_top;
  ORV_page *parent = mc->mc_pg[top - 1];
  if (!is_counted(parent)) return;
  const unsigned s = mc->mc_ki[top - 1];
  const bool named = s < numkeys(parent) && node_pgno(node_ptr(parent, s)) == mp->mp_pgno;
  if (!recount && named)
    orv_parent_count_add(mc, top, delta);
  else
    orv_parent_count_set(mc, top, mp->mp_pgno, orv_page_entries(mp));
}
