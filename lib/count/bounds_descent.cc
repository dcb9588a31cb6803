// The entries before the two bounds of a key range, in a database without
// duplicates, found by one descent from the root (orv_bounds_count).
//
// Both bounds start at the root. While they go to the same child, each page
// is read once for both: the lower bound's search of it (the upper bound
// needs one comparison with the next separator to tell whether it goes the
// same way, a search only where it does not), and one walk over its counts
// that checks them and reads the entries left of both slots. Where the
// bounds part, each goes on down its own path, and the two descents take
// turns level by level: the child one bound steps into is prefetched before
// the other bound's page is searched, and the nodes of a leaf as soon as it
// is entered; the two pages of a level are then searched side by side,
// probe by probe (orv_node_search_pair), so that the cache misses of two
// cold pages (typically the two leaves) overlap instead of following one
// another.
//
// Each branch page's counts are walked in full, once per page and snapshot
// in a read-only transaction (orv_branch_sums_get), every time in a write
// transaction.
//
// The checks are those of the keyed descent and of the count walk over a
// path: every page entered is checked as a tree page, every branch page for
// its slot count, every probed node for its bounds, and the counts of every
// page must add up to the count its parent keeps for it (md_entries for the
// root), a leaf holding as many entries as its parent says. A count that
// disagrees is ORV_CORRUPTED, never a wrong number.
//
// A bound above every key of a leaf lands past its last slot: the entries
// before it are those left of the leaf plus all of the leaf's, which the
// counts say without a step to the next leaf.
#include "count/count.h"
#include "page/prefetch.h"
#include "txn/txn.h"

namespace {

// One bound on its way down: its cursor (whose stack is the path so far),
// its key, and the counts read on the way.
struct BoundPath {
  ORV_cursor *mc;
  ORV_count_bound *bound;
  uint64_t before;    // entries left of the path above the top page
  uint64_t expected;  // entries below the top page, as its parent counts them
  ORV_page *child;    // with pending: the page of slot next, looked up
  unsigned next;      // with pending: the slot of the top page to step into
  bool pending;       // the child of slot next is prefetched, not yet entered
  bool done;
};

// Looks up the child of slot of the branch page on top of a bound's path
// and starts fetching it, so that the other bound's work runs while it
// comes in; the bound steps into it next (path_push). REQUIRES: the count
// walk has checked the slot's node to lie inside the page. A prefetch
// neither faults nor waits: the page is checked when it is entered.
int child_prefetch(BoundPath *s, unsigned slot) {
  ORV_cursor *mc = s->mc;
  const pgno_t pgno = node_pgno(node_ptr(cursor_page(mc), slot));
  if (int rc = orv_page_get(mc, pgno, &s->child, nullptr); rc != 0) return rc;
  orv_prefetch_page_head(s->child);
  orv_prefetch(reinterpret_cast<const std::byte *>(s->child) + mc->mc_txn->mt_env->me_psize / 2);
  // Below the lowest branch level the child is a leaf, which has no sums.
  if (mc->mc_top + 2u < mc->mc_db->md_depth) orv_branch_sums_prefetch(mc, pgno);
  s->next = slot;
  s->pending = true;
  return 0;
}

// Starts fetching the nodes of a leaf just entered (the first line of
// each), whose search probes them one after another: the other bound's
// leaf comes in meanwhile. Nothing else on the page is read.
void leaf_nodes_prefetch(const ORV_page *mp, size_t psize) {
  if (!is_leaf(mp) || is_leaf2(mp)) return;
  for (unsigned i = 0, n = numkeys(mp); i < n; ++i) orv_prefetch_node(mp, i, psize, false);
}

// The slot of the branch page on top of mc that its search for a key
// found (node, exact; the search has run), as the keyed descent picks it:
// the last slot whose separator is not above the key.
int branch_slot_found(ORV_cursor *mc, const ORV_node *node, int exact, unsigned *slot) {
  unsigned i;
  if (node == nullptr) {
    // A page that could not be searched (a damaged node) has failed the
    // transaction already; otherwise every separator is below key.
    if (mc->mc_txn->mt_flags & ORV_TXN_ERROR) return mc->mc_txn->mt_error;
    i = numkeys(cursor_page(mc)) - 1;
  } else {
    // The search of a branch page starts at slot 1, so i - 1 is a slot.
    i = cursor_slot(mc);
    if (!exact) --i;
  }
  mc->mc_ki[mc->mc_top] = static_cast<indx_t>(i);
  *slot = i;
  return 0;
}

// Whether the branch page on top of mc can be searched: its slots and
// first separator as the keyed descent checks them.
bool branch_searchable(ORV_cursor *mc) {
  return orv_branch_keys_ok(cursor_page(mc), mc->mc_dbi == FREE_DBI);
}

// The slot of the branch page on top of mc whose child holds key.
int branch_slot(ORV_cursor *mc, const ORV_val *key, unsigned *slot) {
  if (!branch_searchable(mc)) return orv_count_corrupted(mc);
  int exact = 0;
  const ORV_node *node = orv_node_search(mc, key, &exact);
  return branch_slot_found(mc, node, exact, slot);
}

// The slot of the branch page on top of hc whose child holds key, searched
// among the slots from `from` on: key is above every separator left of it.
int branch_slot_right(ORV_cursor *hc, const ORV_val *key, unsigned from, unsigned *slot) {
  if (!branch_searchable(hc)) return orv_count_corrupted(hc);
  int exact = 0;
  const ORV_node *node = orv_node_search_from(hc, key, from, &exact);
  return branch_slot_found(hc, node, exact, slot);
}

// The slot of the branch page on top of hc for key, which is not below the
// key that chose slot a of that same page: a again when key is below the
// separator of slot a + 1 (one comparison instead of a search), a + 1 when
// it equals it, else the answer of a search of the slots right of a + 1
// only. Integer keys, whose comparator the page search picks by the
// separators' width, are searched from slot a on (from slot 1, whose
// search never compares slot 0): the lower key may equal separator a, so
// only the separators left of a are known to lie below key.
int branch_slot_from(ORV_cursor *hc, const ORV_val *key, unsigned a, unsigned *slot) {
  ORV_page *mp = cursor_page(hc);
  const ORV_cmp_func cmp = hc->mc_dbx->md_cmp;
  if (a + 1 >= numkeys(mp)) {
    *slot = a;  // the last child: nothing lies right of it
  } else if (cmp == orv_cmp_uint_words) {
    return branch_slot_right(hc, key, a > 0 ? a : 1, slot);
  } else {
    const unsigned hdrsz = node_hdrsz(mp);
    if (!orv_node_key_ok(mp, mp_ptrs(mp)[a + 1], hc->mc_txn->mt_env->me_psize - hdrsz))
      return orv_count_corrupted(hc);
    const ORV_node *node = node_ptr(mp, a + 1);
    const ORV_val sep{node_ksize(node), const_cast<void *>(node_key(node, hdrsz))};
    const int c = cmp(key, &sep);
    if (c > 0) return branch_slot_right(hc, key, a + 2, slot);
    *slot = c == 0 ? a + 1 : a;
  }
  hc->mc_ki[hc->mc_top] = static_cast<indx_t>(*slot);
  return 0;
}

// Pushes child, the page of slot of the branch page on top of mc, onto
// the stack.
int stack_push(ORV_cursor *mc, unsigned slot, ORV_page *child) {
  if (mc->mc_snum >= ORV_CURSOR_STACK) return orv_txn_fail(mc->mc_txn, ORV_CURSOR_FULL);
  mc->mc_ki[mc->mc_top] = static_cast<indx_t>(slot);
  mc->mc_top = mc->mc_snum++;
  mc->mc_pg[mc->mc_top] = child;
  mc->mc_ki[mc->mc_top] = 0;
  return 0;
}

// Steps from the branch page on top of mc into the child of slot, looked
// up and checked as a tree page.
int path_push(ORV_cursor *mc, unsigned slot) {
  ORV_page *child;
  if (int rc = orv_tree_page_get(mc, cursor_page(mc), slot, nullptr, &child); rc != 0) return rc;
  return stack_push(mc, slot, child);
}

// Steps a bound into the child its last level looked up (child_prefetch),
// checked as a tree page: the lookup is not made again.
int path_enter(BoundPath *s) {
  ORV_cursor *mc = s->mc;
  const pgno_t pgno = node_pgno(node_ptr(cursor_page(mc), s->next));
  if (int rc = orv_tree_page_check(mc, s->child, pgno); rc != 0) return rc;
  s->pending = false;
  return stack_push(mc, s->next, s->child);
}

// Checks the page on top of a bound's path before it is searched: a leaf
// must hold as many entries as its parent says (one per slot: the tree
// has no duplicates), a branch page must have counts (without them the
// entries left of the path are unknown) and be searchable.
int path_check(BoundPath *s) {
  ORV_cursor *mc = s->mc;
  ORV_page *mp = cursor_page(mc);
  if (!is_branch(mp)) {
    if (!is_leaf(mp) || numkeys(mp) != s->expected) return orv_count_corrupted(mc);
    return 0;
  }
  if (!is_counted(mp)) return ORV_INCOMPATIBLE;
  return branch_searchable(mc) ? 0 : orv_count_corrupted(mc);
}

// The end of a bound's descent on the leaf on top, searched for the bound
// (node, exact): the entries of the slots below the first key not less
// than the bound, and with an inclusive bound the entry of a key equal to
// it.
int path_land(BoundPath *s, ORV_node *node, int exact) {
  ORV_cursor *mc = s->mc;
  ORV_page *mp = cursor_page(mc);
  if (node == nullptr && (mc->mc_txn->mt_flags & ORV_TXN_ERROR)) return mc->mc_txn->mt_error;
  // One entry per slot; a bound above every key lands past the last.
  const unsigned n = numkeys(mp);
  uint64_t left = cursor_slot(mc) < n ? cursor_slot(mc) : n;
  if (exact && s->bound->inclusive) {
    // One value per key: a node claiming duplicates is damage.
    if (!is_leaf2(mp)) {
      if (int rc = orv_leaf_node_check(mc, mp, node); rc != 0) return rc;
      if (node->mn_flags & F_DUPDATA) return orv_count_corrupted(mc);
    }
    ++left;
  }
  s->bound->before = s->before + left;
  s->done = true;
  mc->mc_flags |= C_INITIALIZED;
  mc->mc_flags &= ~C_EOF;
  return 0;
}

// One level of a bound's own descent once the page on top is checked
// (path_check) and searched for the bound (node, exact): on a branch page
// add the entries left of the slot and prefetch the child of that slot, to
// be entered next; on a leaf land.
int path_searched(BoundPath *s, ORV_node *node, int exact) {
  ORV_cursor *mc = s->mc;
  ORV_page *mp = cursor_page(mc);
  if (!is_branch(mp)) return path_land(s, node, exact);
  unsigned slot = 0;
  if (int rc = branch_slot_found(mc, node, exact, &slot); rc != 0) return rc;
  ORV_branch_slot pick;
  if (int rc = orv_branch_slot_pick(mc, mp, s->expected, false, slot, &pick); rc != 0) return rc;
  s->before += pick.left;
  s->expected = pick.below;
  return child_prefetch(s, slot);
}

// One level of a single bound's descent: check, search, go on.
int path_advance(BoundPath *s) {
  if (int rc = path_check(s); rc != 0) return rc;
  int exact = 0;
  ORV_node *node = orv_node_search(s->mc, s->bound->key, &exact);
  return path_searched(s, node, exact);
}

// One level of two bounds' descents at once (both paths are as deep): both
// pages are checked, then searched side by side.
int paths_advance(BoundPath *a, BoundPath *b) {
  if (int rc = path_check(a); rc != 0) return rc;
  if (int rc = path_check(b); rc != 0) return rc;
  ORV_cursor *mcs[2] = {a->mc, b->mc};
  const ORV_val *keys[2] = {a->bound->key, b->bound->key};
  int exact[2] = {0, 0};
  ORV_node *found[2] = {nullptr, nullptr};
  if (int rc = orv_node_search_pair(mcs, keys, exact, found); rc != 0) return rc;
  if (int rc = path_searched(a, found[0], exact[0]); rc != 0) return rc;
  return path_searched(b, found[1], exact[1]);
}

// The descents of bounds that have parted (or of a single bound), taking
// turns level by level: first every bound enters the child prefetched for
// it (a leaf's nodes are prefetched then), then every bound searches its
// page, so that each page's fetch overlaps the other bound's work.
int paths_finish(BoundPath *paths, unsigned n) {
  for (bool more = true; more;) {
    more = false;
    for (unsigned k = 0; k < n; ++k) {
      BoundPath *s = &paths[k];
      if (!s->pending) continue;
      if (int rc = path_enter(s); rc != 0) return rc;
      leaf_nodes_prefetch(cursor_page(s->mc), s->mc->mc_txn->mt_env->me_psize);
    }
    if (n == 2 && !paths[0].done && !paths[1].done) {
      if (int rc = paths_advance(&paths[0], &paths[1]); rc != 0) return rc;
      more = true;
      continue;
    }
    for (unsigned k = 0; k < n; ++k) {
      if (paths[k].done) continue;
      if (int rc = path_advance(&paths[k]); rc != 0) return rc;
      more = true;
    }
  }
  return 0;
}

// The shared part of two bounds' descents, from the root for as long as
// they go to the same child; then their own descents.
int paths_shared(BoundPath paths[2]) {
  BoundPath *lo = &paths[0], *hi = &paths[1];
  ORV_cursor *mc = lo->mc;
  ORV_cursor *hc = hi->mc;
  for (;;) {
    ORV_page *mp = cursor_page(mc);
    hc->mc_pg[mc->mc_top] = mp;
    hc->mc_top = mc->mc_top;
    hc->mc_snum = mc->mc_snum;
    if (!is_branch(mp)) break;  // one leaf for both
    if (!is_counted(mp)) return ORV_INCOMPATIBLE;
    unsigned a = 0, b = 0;
    if (int rc = branch_slot(mc, lo->bound->key, &a); rc != 0) return rc;
    if (int rc = branch_slot_from(hc, hi->bound->key, a, &b); rc != 0) return rc;
    ORV_branch_slot pa, pb;
    if (int rc = orv_branch_slots_read(mc, mp, lo->expected, a, b, &pa, &pb); rc != 0) return rc;
    lo->before += pa.left;
    lo->expected = pa.below;
    hi->before += pb.left;
    hi->expected = pb.below;
    if (a != b) {
      // Parted: both children are on their way before either is searched.
      if (int rc = child_prefetch(lo, a); rc != 0) return rc;
      if (int rc = child_prefetch(hi, b); rc != 0) return rc;
      break;
    }
    if (int rc = path_push(mc, a); rc != 0) return rc;
  }
  return paths_finish(paths, 2);
}

// A second cursor on the caller's stack; its page key cache is released at
// scope end.
struct PathCursor {
  ORV_cursor mc;
  explicit PathCursor(const ORV_cursor *like) {
    orv_cursor_init_temp(&mc, like->mc_txn, like->mc_dbi, nullptr);
  }
  ~PathCursor() { orv_pkc_free(&mc); }
  PathCursor(const PathCursor &) = delete;
  PathCursor &operator=(const PathCursor &) = delete;
};

}  // namespace

int orv_bounds_count(ORV_cursor *mc, ORV_count_bound *low, ORV_count_bound *high) {
  if (low == nullptr && high == nullptr) return 0;
  // Checks the transaction, refreshes a stale record and loads the root.
  const int rc = orv_page_search(mc, nullptr, ORV_PS_ROOTONLY);
  if (rc == ORV_NOTFOUND) {
    // No root: nothing lies before either bound.
    for (ORV_count_bound *b : {low, high})
      if (b != nullptr) b->before = 0;
    return 0;
  }
  if (rc != 0) return rc;
  const uint64_t entries = mc->mc_db->md_entries;
  if (low == nullptr || high == nullptr) {
    BoundPath one{mc, low != nullptr ? low : high, 0, entries, nullptr, 0, false, false};
    return paths_finish(&one, 1);
  }
  PathCursor second(mc);
  BoundPath paths[2] = {{mc, low, 0, entries, nullptr, 0, false, false},
                        {&second.mc, high, 0, entries, nullptr, 0, false, false}};
  return paths_shared(paths);
}
