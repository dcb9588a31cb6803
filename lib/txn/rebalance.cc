// Tree rebalancing after deletions, and the last step of every delete.
//
// A page is underfull when its fill (tenths of a percent of the usable
// space) is below ORV_FILL_THRESHOLD for a leaf or below 1 for a branch, or
// when it has fewer keys than the minimum (leaf 1, branch 2). An underfull
// page takes one node from a neighbour under the same parent when that
// neighbour can spare one, else it is merged with the neighbour and the
// parent is rebalanced in turn. A root branch left with one child is
// removed (the tree loses a level) and an empty root leaf empties the tree.
//
// Three things stay exact through every step:
//  - separators: the key of slot k > 0 of a branch page is the lowest key
//    below child k; slot 0 of a branch page keeps an empty key. A node that
//    becomes or stops being a page's first node therefore changes the
//    page's separator in its parent (and may need its own real key);
//  - counts of counted trees: a node moved or merged carries its entries
//    (1 per P_LEAF2 key, orv_node_entries per leaf node, mn_count per
//    counted branch node) from one parent node to the other; both pages
//    share the parent, so the levels above see no change;
//  - the positions of the other cursors of the transaction on the same tree
//    (for a sub-cursor: the sub-cursors of the listed cursors).
//
// Keys of prefix-compressed leaves travel whole: the receiving page encodes
// them against its own first key. That can take far more room than the
// keys took before, so such a page takes a node or a merge only when the
// re-encoded result fits, and otherwise stays underfull; a neighbour gives
// up its first node only when its other keys, re-encoded against the next
// one, still fit. A delete of a first node whose page would no longer fit
// splits that page instead (orv_page_split with ORV_SPLIT_DEL0), after
// cutting the page's tails onto pages of their own when not even two halves
// could hold the rest (orv_prefix_split_tails).
//
// Copies of cursors used for an operation (the neighbour cursor, copies for
// separator updates) are linked into the transaction's cursor list while
// the operation runs, so that fix-ups done inside (splits caused by longer
// separators included) move them too.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

inline constexpr unsigned ORV_FILL_THRESHOLD = 250;  // tenths of a percent

// Page fill in tenths of a percent of the space after the header.
unsigned page_fill(const ORV_env *env, const ORV_page *mp) {
  const unsigned usable = env->me_psize - PAGEHDRSZ;
  return static_cast<unsigned>(1000ull * (usable - size_left(mp)) / usable);
}

unsigned min_keys(const ORV_page *mp) { return is_branch(mp) ? 2 : 1; }
unsigned fill_threshold(const ORV_page *mp) { return is_branch(mp) ? 1 : ORV_FILL_THRESHOLD; }

bool tree_counted(const ORV_cursor *mc) { return mc->mc_db->md_flags & ORV_COUNTED; }

// A copy of a cursor, without sub-cursor. The copy lives inside an
// ORV_xcursor so that a copy of a sub-cursor can be tracked
// (ORV_cursor_tracker lists it behind a placeholder owner).
class CursorCopy {
 public:
  explicit CursorCopy(const ORV_cursor *src) {
    std::memset(static_cast<void *>(&box_), 0, sizeof box_);
    orv_cursor_copy(src, &box_.mx_cursor);
  }
  ~CursorCopy() { orv_pkc_free(&box_.mx_cursor); }
  CursorCopy(const CursorCopy &) = delete;
  CursorCopy &operator=(const CursorCopy &) = delete;
  ORV_cursor *get() { return &box_.mx_cursor; }

 private:
  ORV_xcursor box_;
};

// Key of slot i of mp as a full key (prefix-compressed leaves decoded into
// mc's key buffer; P_LEAF2 keys are the fixed-size elements).
int slot_key(ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_val *key) {
  if (orv_page_is_prefix(mc, mp)) return orv_cursor_read_key(mc, mp, i, key);
  *key = orv_slot_key(mp, i);
  return 0;
}

// The lowest key below the branch page at mc's top, found on mc itself;
// mc's depth is restored afterwards. The key points into a leaf page or
// into mc's key buffer.
int lowest_key(ORV_cursor *mc, ORV_val *key) {
  const uint16_t snum = mc->mc_snum;
  const uint16_t top = mc->mc_top;
  int rc = orv_page_search_lowest(mc);
  if (rc == 0) rc = slot_key(mc, cursor_page(mc), 0, key);
  mc->mc_snum = snum;
  mc->mc_top = top;
  return rc;
}

// Replaces the separator of mc's top page in its parent by key, working on
// a tracked copy one level up.
int update_separator(ORV_cursor *mc, const ORV_val *key) {
  CursorCopy cp(mc);
  ORV_cursor *up = cp.get();
  up->mc_snum--;
  up->mc_top--;
  ORV_cursor_tracker track(cp.get());
  return orv_update_key(up, key);
}

// Empties the key of the first node of the branch page at mc's top.
void empty_first_key(ORV_cursor *mc) {
  ORV_env *env = cursor_env(mc);
  const indx_t ki = mc->mc_ki[mc->mc_top];
  const ORV_val nullkey{0, nullptr};
  mc->mc_ki[mc->mc_top] = 0;
  // A shorter key always fits in place: this cannot split or fail.
  int rc = orv_update_key(mc, &nullkey);
  mc->mc_ki[mc->mc_top] = ki;
  orv_assert(env, rc == ORV_SUCCESS);
}

// After mp, the top page of mc, lost or gained its first node: gives it its
// new separator in the parent (unless it is the parent's first child, whose
// separator is the empty key) and, on a branch page, empties the new first
// node's key.
int fix_first_key(ORV_cursor *mc) {
  const unsigned t = mc->mc_top;
  ORV_page *mp = mc->mc_pg[t];
  if (mc->mc_ki[t - 1] != 0) {
    ORV_val key;
    // A copy reads the key so that mc's own key buffer is left alone.
    CursorCopy reader(mc);
    if (int rc = slot_key(reader.get(), mp, 0, &key); rc != 0) return rc;
    if (int rc = update_separator(mc, &key); rc != 0) return rc;
  }
  if (is_branch(mp)) empty_first_key(mc);
  return 0;
}

// A sub-page records the leaf that holds it: after its node moved to leaf
// mp (slot i), the record follows. The sub-page is 2-byte aligned.
void subpage_owner_set(ORV_page *mp, unsigned i) {
  if (!is_leaf(mp) || is_leaf2(mp)) return;
  ORV_node *node = node_ptr(mp, i);
  if ((node->mn_flags & (F_DUPDATA | F_SUBDATA)) != F_DUPDATA || node_dsize(node) < PAGEHDRSZ)
    return;
  std::memcpy(node_data(node), &mp->mp_pgno, sizeof(pgno_t));
}

// Entries a node carries in a counted tree.
uint64_t moved_entries(const ORV_cursor *mc, const ORV_page *mp, const ORV_node *node) {
  if (!tree_counted(mc)) return 0;
  if (is_leaf2(mp)) return 1;
  if (is_leaf(mp)) return orv_node_entries(mp, node);
  return is_counted(mp) ? node_count(node) : 0;
}

// Adds delta to the count of mc's parent node (the one pointing at mc's top
// page) and the same, saturating, to the levels above. Returns the change
// actually made to the parent node.
int64_t parent_count_add(ORV_cursor *mc, int64_t delta) {
  return orv_parent_count_add(mc, mc->mc_top, delta);
}

// Moves the node at csrc's slot to cdst's slot. fromleft: the source page
// lies left of the destination. Both pages share the parent.
int node_move(ORV_cursor *csrc, ORV_cursor *cdst, int fromleft) {
  ORV_env *env = cursor_env(csrc);
  if (int rc = orv_page_touch(csrc); rc != 0) return rc;
  if (int rc = orv_page_touch(cdst); rc != 0) return rc;

  const unsigned t = csrc->mc_top;
  ORV_page *ps = csrc->mc_pg[t];
  ORV_page *pd = cdst->mc_pg[t];
  const indx_t si = csrc->mc_ki[t];
  const indx_t di = cdst->mc_ki[t];

  ORV_val key{0, nullptr};
  ORV_val data{0, nullptr};
  pgno_t srcpg = 0;
  unsigned flags = 0;
  uint64_t moved;
  if (is_leaf2(ps)) {
    key = ORV_val{csrc->mc_db->md_pad, leaf2_key(ps, si, csrc->mc_db->md_pad)};
    moved = tree_counted(csrc) ? 1 : 0;
  } else {
    ORV_node *srcnode = node_ptr(ps, si);
    orv_assert(env, !((size_t)srcnode & 1));
    moved = moved_entries(csrc, ps, srcnode);
    if (is_branch(ps)) {
      srcpg = node_pgno(srcnode);
      if (si == 0) {
        // The first node of a branch page keeps no key: use the lowest key
        // below it.
        if (int rc = lowest_key(csrc, &key); rc != 0) return rc;
      } else {
        key = ORV_val{node_ksize(srcnode), node_key(srcnode, node_hdrsz(ps))};
      }
    } else {
      flags = srcnode->mn_flags;
      data = ORV_val{node_dsize(srcnode), node_data(srcnode)};
      if (int rc = slot_key(csrc, ps, si, &key); rc != 0) return rc;
    }
  }

  if (is_branch(pd) && di == 0) {
    // The moved node becomes pd's first node; the current first node needs
    // its real key before it moves to slot 1.
    CursorCopy cp(cdst);
    ORV_val bkey;
    if (int rc = lowest_key(cp.get(), &bkey); rc != 0) return rc;
    ORV_cursor_tracker track(cp.get());
    if (int rc = orv_update_key(cp.get(), &bkey); rc != 0) return rc;
  }

  const uint64_t count = (is_branch(pd) && is_counted(pd)) ? moved : ~uint64_t{0};
  if (int rc = orv_node_add(cdst, di, &key, is_branch(pd) ? nullptr : &data, srcpg, flags, nullptr,
                            count);
      rc != 0)
    return rc;
  subpage_owner_set(pd, di);
  if (int rc = orv_node_del(csrc, static_cast<unsigned>(key.mv_size)); rc != 0) return rc;

  // Other cursors follow the node.
  orv_tracked_each<ORV_TRACK_POSITIONED>(csrc, [&](ORV_cursor *m) {
    if (m->mc_snum <= t) return;
    if (fromleft) {
      if (m != cdst && m->mc_pg[t] == pd && m->mc_ki[t] >= di) {
        m->mc_ki[t]++;
      } else if (m != csrc && m->mc_pg[t] == ps && m->mc_ki[t] == si) {
        orv_cursor_keys_reset(m);
        m->mc_pg[t] = pd;
        m->mc_ki[t] = di;
        m->mc_ki[t - 1]++;
      }
    } else if (m != csrc && m->mc_pg[t] == ps) {
      if (m->mc_ki[t] == 0) {
        orv_cursor_keys_reset(m);
        m->mc_pg[t] = pd;
        m->mc_ki[t] = di;
        m->mc_ki[t - 1]--;
      } else {
        m->mc_ki[t]--;
      }
    }
    if (is_leaf(ps) && !(m->mc_flags & C_SUB)) orv_xcursor_repoint(m, t);
  });

  // Counts first, while both stacks still name the parent nodes: a longer
  // separator below may split the parent.
  if (moved != 0) {
    parent_count_add(csrc, -static_cast<int64_t>(moved));
    parent_count_add(cdst, static_cast<int64_t>(moved));
  }

  if (csrc->mc_ki[t] == 0) {
    if (int rc = fix_first_key(csrc); rc != 0) return rc;
  }
  if (cdst->mc_ki[t] == 0) {
    if (int rc = fix_first_key(cdst); rc != 0) return rc;
  }
  return 0;
}

// Appends every node of csrc's page to cdst's page, removes csrc's page from
// the parent and frees it, then rebalances the parent.
int page_merge(ORV_cursor *csrc, ORV_cursor *cdst) {
  ORV_env *env = cursor_env(csrc);
  ORV_txn *txn = csrc->mc_txn;
  orv_assert(env, csrc->mc_snum > 1);
  orv_assert(env, cdst->mc_snum > 1);

  ORV_page *ps = csrc->mc_pg[csrc->mc_top];
  if (int rc = orv_page_touch(cdst); rc != 0) return rc;
  ORV_page *pd = cdst->mc_pg[cdst->mc_top];
  const unsigned n = numkeys(pd);
  const unsigned nsrc = numkeys(ps);
  const bool counted = tree_counted(csrc);
  uint64_t sum = 0;

  for (unsigned i = 0; i < nsrc; i++) {
    ORV_val key{0, nullptr};
    ORV_val data{0, nullptr};
    pgno_t pgno = 0;
    unsigned flags = 0;
    uint64_t e = 0;
    if (is_leaf2(ps)) {
      key = ORV_val{csrc->mc_db->md_pad, leaf2_key(ps, i, csrc->mc_db->md_pad)};
      e = counted ? 1 : 0;
    } else {
      ORV_node *node = node_ptr(ps, i);
      e = moved_entries(csrc, ps, node);
      if (is_branch(ps)) {
        pgno = node_pgno(node);
        if (i == 0) {
          CursorCopy cp(csrc);
          if (int rc = lowest_key(cp.get(), &key); rc != 0) return rc;
          // The key may live in the copy's buffer: add before it goes.
          const uint64_t count = is_counted(pd) ? e : ~uint64_t{0};
          if (int rc = orv_node_add(cdst, n + i, &key, nullptr, pgno, 0, nullptr, count); rc != 0)
            return rc;
          sum += e;
          continue;
        }
        key = ORV_val{node_ksize(node), node_key(node, node_hdrsz(ps))};
      } else {
        flags = node->mn_flags;
        data = ORV_val{node_dsize(node), node_data(node)};
        if (int rc = slot_key(csrc, ps, i, &key); rc != 0) return rc;
      }
    }
    const uint64_t count = (is_branch(pd) && is_counted(pd)) ? e : ~uint64_t{0};
    if (int rc = orv_node_add(cdst, n + i, &key, is_branch(ps) ? nullptr : &data, pgno, flags,
                              nullptr, count);
        rc != 0)
      return rc;
    subpage_owner_set(pd, n + i);
    sum += e;
  }

  // The entries moved from ps's parent node to pd's; both hang off the same
  // parent, so the levels above end where they started.
  if (counted && sum != 0) parent_count_add(cdst, static_cast<int64_t>(sum));

  // Remove ps from the parent.
  csrc->mc_snum--;
  csrc->mc_top--;
  const unsigned p = csrc->mc_top;
  if (counted && sum != 0)
    orv_counts_adjust(csrc, static_cast<int>(p) - 1, -static_cast<int64_t>(sum));
  int rc = orv_node_del(csrc, 0);
  if (rc == 0 && csrc->mc_ki[p] == 0) {
    const ORV_val nullkey{0, nullptr};
    rc = orv_update_key(csrc, &nullkey);
  }
  csrc->mc_snum++;
  csrc->mc_top++;
  if (rc != 0) return rc;

  const unsigned t = csrc->mc_top;
  if (rc = orv_page_make_loose(csrc, ps); rc != 0) return rc;
  if (is_branch(ps))
    csrc->mc_db->md_branch_pages--;
  else
    csrc->mc_db->md_leaf_pages--;

  // Cursors on ps move to pd; cursors right of ps in the parent move left.
  const indx_t psi = csrc->mc_ki[t - 1];
  const indx_t pdi = cdst->mc_ki[t - 1];
  ORV_page *parent = csrc->mc_pg[t - 1];
  const bool leaf = !is_branch(ps);
  orv_tracked_each<ORV_TRACK_POSITIONED>(csrc, [&](ORV_cursor *m) {
    if (m == csrc || m->mc_snum < csrc->mc_snum) return;
    if (m->mc_pg[t] == ps) {
      // ps may come back as a new page under the same number: forget key
      // state that names it.
      orv_cursor_keys_reset(m);
      m->mc_pg[t] = pd;
      m->mc_ki[t] = static_cast<indx_t>(m->mc_ki[t] + n);
      m->mc_ki[t - 1] = pdi;
    } else if (m->mc_pg[t - 1] == parent && m->mc_ki[t - 1] > psi) {
      m->mc_ki[t - 1]--;
    }
    if (leaf && !(m->mc_flags & C_SUB)) orv_xcursor_repoint(m, t);
  });

  // Rebalance the parent; cdst then stands on pd's level again, one level
  // higher if the tree lost its root, one lower if it gained one.
  const uint16_t snum = cdst->mc_snum;
  const uint16_t depth = cdst->mc_db->md_depth;
  ORV_page *const dpage = cdst->mc_pg[cdst->mc_top];
  const indx_t dki = cdst->mc_ki[cdst->mc_top];
  cdst->mc_snum--;
  cdst->mc_top--;
  rc = orv_rebalance(cdst);
  if (cdst->mc_db->md_depth > depth) {
    // A longer separator split the root on the way. The split pushed the
    // new root under cdst's path as far as it was in use, that is up to
    // pd's parent; pd's level goes back on top of it.
    if (cdst->mc_snum >= ORV_CURSOR_STACK) return orv_txn_fail(txn, ORV_CURSOR_FULL);
    cdst->mc_pg[cdst->mc_snum] = dpage;
    cdst->mc_ki[cdst->mc_snum] = dki;
    cdst->mc_snum++;
  } else {
    // A lost root shifted the whole path, the levels beyond the parent
    // included (root_collapse).
    cdst->mc_snum = static_cast<uint16_t>(snum + cdst->mc_db->md_depth - depth);
  }
  cdst->mc_top = static_cast<uint16_t>(cdst->mc_snum - 1);
  return rc;
}

// The tree became empty: forget the root in the record and in every cursor
// standing on it.
int root_empty(ORV_cursor *mc, ORV_page *mp) {
  ORV_db *db = mc->mc_db;
  db->md_root = P_INVALID;
  db->md_depth = 0;
  db->md_leaf_pages = 0;
  if (int rc = orv_idl_append(&mc->mc_txn->mt_free_pgs, mp->mp_pgno); rc != 0) return rc;
  mc->mc_snum = 0;
  mc->mc_top = 0;
  mc->mc_flags &= ~C_INITIALIZED;
  orv_tracked_each<ORV_TRACK_POSITIONED>(mc, [&](ORV_cursor *m) {
    if (m == mc || m->mc_snum == 0 || m->mc_pg[0] != mp) return;
    m->mc_snum = 0;
    m->mc_top = 0;
    m->mc_flags &= ~C_INITIALIZED;
  });
  return 0;
}

// The root branch has a single child: the child becomes the root.
int root_collapse(ORV_cursor *mc, ORV_page *mp) {
  ORV_db *db = mc->mc_db;
  if (int rc = orv_idl_append(&mc->mc_txn->mt_free_pgs, mp->mp_pgno); rc != 0) return rc;
  db->md_root = node_pgno(node_ptr(mp, 0));
  if (int rc = orv_tree_page_get(mc, mp, 0, nullptr, &mc->mc_pg[0]); rc != 0) return rc;
  db->md_depth--;
  db->md_branch_pages--;
  // Shift the whole path, including the levels beyond mc_snum that a page
  // merge keeps and restores afterwards.
  mc->mc_ki[0] = mc->mc_ki[1];
  for (unsigned i = 1; i < db->md_depth; i++) {
    mc->mc_pg[i] = mc->mc_pg[i + 1];
    mc->mc_ki[i] = mc->mc_ki[i + 1];
  }
  orv_tracked_each<ORV_TRACK_POSITIONED>(mc, [&](ORV_cursor *m) {
    if (m == mc || m->mc_snum == 0 || m->mc_pg[0] != mp) return;
    if (m->mc_snum < 2) {
      // Stands on the old root only: the new root takes its place.
      m->mc_pg[0] = mc->mc_pg[0];
      m->mc_ki[0] = 0;
      return;
    }
    for (unsigned i = 0; i < db->md_depth; i++) {
      m->mc_pg[i] = m->mc_pg[i + 1];
      m->mc_ki[i] = m->mc_ki[i + 1];
    }
    m->mc_snum--;
    m->mc_top--;
  });
  return 0;
}

// Prefix-compressed leaves: a node moved into slot 0 of a page makes it the
// page's new first key, and merged nodes are encoded against the receiving
// page's first key. Either can take far more room than the nodes took where
// they were (a key that shared 400 bytes with its old first key may share
// none with the new one), so an underfull page is only topped up or merged
// when the result fits; otherwise it stays as it is, which is legal.

// Whether the node at csrc's slot fits at cdst's slot. REQUIRES: both pages
// are prefix leaves.
int prefix_move_fits(ORV_cursor *csrc, ORV_cursor *cdst, bool *fits) {
  ORV_page *ps = cursor_page(csrc), *pd = cursor_page(cdst);
  const unsigned si = cursor_slot(csrc), di = cursor_slot(cdst);
  CursorCopy reader(csrc);
  ORV_val key;
  if (int rc = slot_key(reader.get(), ps, si, &key); rc != 0) return rc;
  ORV_node *node = node_ptr(ps, si);
  ORV_val data{node_dsize(node), node_data(node)};
  if (di == 0 && numkeys(pd) > 0) {
    size_t size = 0;
    const unsigned flags = node->mn_flags | ((node->mn_flags & F_BIGDATA) ? 0u : ORV_RESERVE);
    if (int rc =
            orv_prefix_page_plan(orv_page_ctx_of(cdst, pd), pd, ~0u, 0, &key, &data, flags, &size);
        rc != 0)
      return rc;
    *fits = size <= cursor_env(cdst)->me_psize;
  } else {
    ORV_val d = data;
    if (node->mn_flags & F_BIGDATA) d.mv_size = sizeof(pgno_t);
    *fits = orv_leaf_size(orv_page_ctx_of(cdst, pd), pd, di, &key, &d) <= size_left(pd);
  }
  return 0;
}

// Whether every node of csrc's page fits after the nodes of cdst's page.
int prefix_merge_fits(ORV_cursor *csrc, ORV_cursor *cdst, bool *fits) {
  ORV_page *ps = cursor_page(csrc), *pd = cursor_page(cdst);
  const ORV_env *env = cursor_env(csrc);
  // Into an empty page the nodes keep the encoding they have on ps.
  if (numkeys(pd) == 0) {
    *fits = true;
    return 0;
  }
  const ORV_val first = orv_page_first_key(pd);
  CursorCopy reader(csrc);
  size_t need = 0;
  for (unsigned i = 0; i < numkeys(ps); i++) {
    ORV_val key;
    if (int rc = slot_key(reader.get(), ps, i, &key); rc != 0) return rc;
    const ORV_node *node = node_ptr(ps, i);
    const size_t k = orv_prefix_key_size(key.mv_size, orv_prefix_shared(&key, &first));
    size_t v = (node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : node_dsize(node);
    if (!(node->mn_flags & F_BIGDATA) && even(k) + v + NODESIZE > env->me_nodemax &&
        (node->mn_flags & (F_DUPDATA | F_SUBDATA)) != F_DUPDATA)
      v = sizeof(pgno_t);  // goes to an overflow run on the way
    need += sizeof(indx_t) + leaf_node_size(k, v);
  }
  *fits = need <= size_left(pd);
  return 0;
}

}  // namespace

int orv_rebalance(ORV_cursor *mc) {
  ORV_env *env = cursor_env(mc);
  ORV_page *mp = cursor_page(mc);
  if (page_fill(env, mp) >= fill_threshold(mp) && numkeys(mp) >= min_keys(mp)) return 0;

  if (mc->mc_snum < 2) {
    mp = mc->mc_pg[0];
    if (is_subp(mp)) return 0;
    if (numkeys(mp) == 0) return root_empty(mc, mp);
    if (is_branch(mp) && numkeys(mp) == 1) return root_collapse(mc, mp);
    return 0;
  }

  const unsigned ptop = mc->mc_top - 1u;
  orv_assert(env, NUMKEYS(mc->mc_pg[ptop]) > 1);

  CursorCopy mncopy(mc);
  ORV_cursor *mn = mncopy.get();
  const unsigned t = mc->mc_top;
  indx_t oldki = mc->mc_ki[t];
  int fromleft;
  ORV_page *parent = mc->mc_pg[ptop];
  if (mc->mc_ki[ptop] == 0) {
    mn->mc_ki[ptop]++;
    if (int rc = orv_tree_page_get(mc, parent, mn->mc_ki[ptop], mp, &mn->mc_pg[t]); rc != 0)
      return rc;
    mn->mc_ki[t] = 0;
    mc->mc_ki[t] = static_cast<indx_t>(numkeys(mp));
    fromleft = 0;
  } else {
    mn->mc_ki[ptop]--;
    if (int rc = orv_tree_page_get(mc, parent, mn->mc_ki[ptop], mp, &mn->mc_pg[t]); rc != 0)
      return rc;
    // A page below the root is never empty; one that is cannot be trusted.
    if (numkeys(mn->mc_pg[t]) == 0) return ORV_CORRUPTED;
    mn->mc_ki[t] = static_cast<indx_t>(numkeys(mn->mc_pg[t]) - 1);
    mc->mc_ki[t] = 0;
    fromleft = 1;
  }
  ORV_page *np = mn->mc_pg[t];
  if (is_branch(np) != is_branch(mp)) return ORV_CORRUPTED;
  // Nodes move between the two pages and are measured: every one of either
  // page must lie inside it (a neighbour comes from the file untouched).
  if (!is_leaf2(np) &&
      (!orv_page_nodes_ok(np, env->me_psize) || !orv_page_nodes_ok(mp, env->me_psize)))
    return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);

  bool move = page_fill(env, np) >= fill_threshold(np) && numkeys(np) > min_keys(np);
  if (orv_page_is_prefix(mc, mp)) {
    // Compressed leaves take a node or a merge only when the result fits.
    bool fits = false;
    if (move) {
      if (int rc = prefix_move_fits(mn, mc, &fits); rc != 0) return rc;
      move = fits;
    }
    if (move && !fromleft && numkeys(np) > 2) {
      // The node leaves slot 0 of the right neighbour, whose other keys are
      // then re-encoded against its next key: that must fit too.
      size_t size = 0;
      if (int rc =
              orv_prefix_page_plan(orv_page_ctx_of(mn, np), np, 0, 0, nullptr, nullptr, 0, &size);
          rc != 0)
        return rc;
      move = size <= orv_prefix_psize(mn, np);
    }
    if (!move) {
      if (fromleft) {
        if (int rc = prefix_merge_fits(mc, mn, &fits); rc != 0) return rc;
      } else {
        if (int rc = prefix_merge_fits(mn, mc, &fits); rc != 0) return rc;
      }
      if (!fits) {
        mc->mc_ki[t] = oldki;
        return 0;
      }
    }
  }

  int rc;
  if (move) {
    rc = node_move(mn, mc, fromleft);
    if (fromleft) oldki++;
  } else {
    if (!fromleft) {
      rc = page_merge(mn, mc);
    } else {
      oldki = static_cast<indx_t>(oldki + numkeys(np));
      mn->mc_ki[t] = static_cast<indx_t>(mn->mc_ki[t] + mc->mc_ki[t] + 1);
      {
        ORV_cursor_tracker track(mncopy.get());
        rc = page_merge(mc, mn);
      }
      orv_cursor_copy(mn, mc);
    }
    mc->mc_flags &= ~C_EOF;
  }
  mc->mc_ki[mc->mc_top] = oldki;
  return rc;
}

namespace {

// A cursor that stood on the removed entry: it now stands before the entry
// that followed, not on a last entry (a C_EOF from an earlier step is set
// again after the rebalance if nothing follows), and its values are gone.
void mark_deleted(ORV_cursor *m, bool dupsort) {
  m->mc_flags = (m->mc_flags | C_DEL) & ~C_EOF;
  if (dupsort && m->mc_xcursor != nullptr)
    m->mc_xcursor->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
}

// Entries on the counted page mp before the removal, and those of the node
// at slot ki that goes.
int count_before_removal(ORV_cursor *mc, ORV_page *mp, indx_t ki, uint64_t *total, uint64_t *gone) {
  // Every node of the page is counted: each must lie inside it.
  if (!is_leaf2(mp) && !orv_page_nodes_ok(mp, orv_prefix_psize(mc, mp)))
    return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
  *total = orv_page_entries(mp);
  *gone = is_leaf2(mp) ? 1 : orv_node_entries(mp, node_ptr(mp, ki));
  return 0;
}

// Without its first key a compressed leaf re-encodes every other key
// against the next one; under a non-bytewise order that can take more than
// a page, and the page is then split with the node removed.
int removal_needs_split(ORV_cursor *mc, ORV_page *mp, indx_t ki, bool *split) {
  *split = false;
  if (ki != 0 || numkeys(mp) <= 2 || !orv_page_is_prefix(mc, mp) || is_subp(mp)) return 0;
  size_t size = 0;
  if (int rc = orv_prefix_page_plan(orv_page_ctx_of(mc, mp), mp, 0, 0, nullptr, nullptr, 0, &size);
      rc != 0)
    return orv_txn_fail(mc->mc_txn, rc);
  *split = size > orv_prefix_psize(mc, mp);
  return 0;
}

// Removes the node under mc from its page, by a split of the page when the
// rest does not fit it.
int remove_node(ORV_cursor *mc, ORV_page *mp, bool split, bool dupsort) {
  if (!split) return orv_node_del(mc, mc->mc_db->md_pad);
  // The split sets the counts of both halves from their entries and moves
  // the other cursors, except those on the removed node: they stay on slot
  // 0 of mp, where the next entry lands, so they are marked first.
  const unsigned t = mc->mc_top;
  orv_tracked_each<ORV_TRACK_POSITIONED>(mc, [&](ORV_cursor *m) {
    if (m == mc || m->mc_snum < mc->mc_snum || m->mc_pg[t] != mp || m->mc_ki[t] != 0) return;
    mark_deleted(m, dupsort);
  });
  return orv_page_split(mc, nullptr, nullptr, 0, ORV_SPLIT_DEL0);
}

// The parent of the counted page mp (at level t) counts the entries left.
void count_after_removal(ORV_cursor *mc, unsigned t, ORV_page *mp, uint64_t total, uint64_t gone) {
  const uint64_t now = total > gone ? total - gone : 0;
  ORV_page *parent = mc->mc_pg[t - 1];
  const unsigned s = mc->mc_ki[t - 1];
  const bool named = s < numkeys(parent) && node_pgno(node_ptr(parent, s)) == mp->mp_pgno;
  // A stale path whose parent names no such child still tells the levels
  // above that the entry went.
  if (orv_parent_count_set(mc, t, mp->mp_pgno, now) == 0 && !named && is_counted(parent) &&
      numkeys(parent) > 0)
    orv_counts_adjust(mc, static_cast<int>(t) - 2, -static_cast<int64_t>(gone));
}

// Before the rebalance: cursors on the removed entry of mp (slot ki at level
// t) are marked; those after it move back a slot.
void shift_cursors_on_page(ORV_cursor *mc, unsigned t, indx_t ki, ORV_page *mp, bool dupsort,
                           bool sub) {
  orv_tracked_each<ORV_TRACK_POSITIONED>(mc, [&](ORV_cursor *m) {
    if (m == mc || m->mc_snum < mc->mc_snum || m->mc_pg[t] != mp) return;
    if (m->mc_ki[t] == ki) {
      mark_deleted(m, dupsort);
      return;
    }
    if (m->mc_ki[t] > ki) m->mc_ki[t]--;
    if (!sub) orv_xcursor_repoint(m, t);
  });
}

// After the rebalance: cursors at or after the deleted position. One past
// the end of its page moves on to the next leaf. A cursor that lost its
// entry (its sub-cursor was unpositioned before, or it had to move to the
// next leaf) stands before the first value of the key that followed: its
// sub-cursor is loaded there with C_DEL, so that the next step returns that
// value. A cursor on a later entry keeps its value; its sub-page is re-read
// only. mc itself is handled even when it is not listed, so that its next
// step never reads past the end of its page.
int reposition_cursors(ORV_cursor *mc, bool sub) {
  ORV_page *top = cursor_page(mc);
  const unsigned n = numkeys(top);
  const unsigned tt = mc->mc_top;
  const indx_t mki = mc->mc_ki[tt];
  bool mc_seen = false;
  int err = 0;
  auto reposition = [&](ORV_cursor *m) {
    if (err != 0) return;
    if (m == mc) mc_seen = true;
    if (m->mc_snum < mc->mc_snum || m->mc_pg[tt] != top || m->mc_ki[tt] < mki) return;
    bool moved = false;
    if (m->mc_ki[tt] >= n) {
      moved = true;
      int rc = orv_cursor_sibling(m, 1);
      if (rc == ORV_NOTFOUND) {
        m->mc_flags |= C_EOF;
        return;
      }
      if (rc != 0) {
        err = rc;
        return;
      }
    }
    ORV_xcursor *mx = m->mc_xcursor;
    if (sub || mx == nullptr || (m->mc_flags & C_EOF)) return;
    ORV_page *lp = cursor_page(m);
    if (is_leaf2(lp) || cursor_slot(m) >= numkeys(lp)) return;
    ORV_node *node = node_ptr(lp, cursor_slot(m));
    if (!(node->mn_flags & F_DUPDATA)) return;
    if ((mx->mx_cursor.mc_flags & C_INITIALIZED) && !moved) {
      orv_xcursor_repoint(m, m->mc_top);
      return;
    }
    int rc = orv_xcursor_load(m, node);
    if (rc == 0) rc = orv_cursor_first(&mx->mx_cursor, nullptr, nullptr);
    if (rc != 0) {
      err = rc;
      return;
    }
    mx->mx_cursor.mc_flags |= C_DEL;
  };
  orv_tracked_each<ORV_TRACK_POSITIONED>(mc, reposition);
  if (err == 0 && !mc_seen) reposition(mc);
  return err;
}

}  // namespace

int orv_cursor_del0(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  // A compressed leaf losing its first key may need more than two pages for
  // the rest: its tails go to pages of their own first.
  if (int rc = orv_prefix_split_tails(mc); rc != 0) return rc;
  const unsigned t = mc->mc_top;
  const indx_t ki = mc->mc_ki[t];
  ORV_page *mp = mc->mc_pg[t];
  const bool counted = tree_counted(mc);
  const bool sub = mc->mc_flags & C_SUB;
  const bool dupsort = !sub && (mc->mc_db->md_flags & ORV_DUPSORT);

  uint64_t total = 0;
  uint64_t gone = 0;
  if (counted) {
    if (int rc = count_before_removal(mc, mp, ki, &total, &gone); rc != 0) return rc;
  }
  bool split = false;
  if (int rc = removal_needs_split(mc, mp, ki, &split); rc != 0) return rc;
  if (int rc = remove_node(mc, mp, split, dupsort); rc != 0) return rc;
  mc->mc_db->md_entries--;
  mc->mc_flags &= ~C_EOF;

  // A split has already moved the other cursors and set the counts.
  if (!split) {
    if (counted && t > 0) count_after_removal(mc, t, mp, total, gone);
    shift_cursors_on_page(mc, t, ki, mp, dupsort, sub);
  }

  if (int rc = orv_rebalance(mc); rc != 0) return orv_txn_fail(txn, rc);
  if (mc->mc_snum == 0) {
    mc->mc_flags |= C_EOF;
    return 0;
  }
  if (int rc = reposition_cursors(mc, sub); rc != 0) return orv_txn_fail(txn, rc);

  // The materialised key names the deleted slot (or a page that may be
  // gone); the next step must not reuse it.
  orv_cursor_keys_reset(mc);
  mc->mc_flags |= C_DEL;
  return 0;
}
