// Page split: a page that cannot take a new node is split in two, the upper
// part of its nodes moving to a new right sibling whose first key becomes a
// separator in the parent (which may split in turn, up to a new root).
//
// Order of work, so that every failure after the first change leaves the
// transaction failed rather than half-changed silently (one function per
// step, carried through by a SplitJob):
//   1. request_check: refuse what cannot be split, before any change;
//   2. pages_new: allocate the right page, and root_grow a new root when
//      the root splits;
//   3. image_take: keep an image of the page, read while it is rebuilt
//      (appends rebuild nothing and skip it);
//   4. split_point_*: choose the split index over the page's nodes with the
//      new one in place, checking that both halves fit (one per layout:
//      fixed-size keys, prefix-compressed leaves, whole nodes);
//   5. separator_insert: put the separator into the parent, splitting it
//      recursively;
//   6. distribute_*: rebuild the left page from the image and fill the
//      right page, the new node landing in whichever half holds its
//      position;
//   7. counts_set: the counts of both halves in counted trees;
//   8. cursor_place, cursors_follow: the splitting cursor ends on the new
//      node, the other cursors of the transaction move to where their
//      entries went.
// An append past the last node (split_append) leaves the page as it is and
// starts the right page with the new node alone.
//
// The splitting cursor ends on the new node with an exact path. A second
// cursor `mn` follows the path to the right page's parent node; after a
// recursive parent split both paths are rebuilt from it, so correctness does
// not depend on the cursor being tracked by its transaction.
//
// Prefix-compressed leaves take their own road through steps 4 and 6: every
// key of the page and the new one are decoded in full (orv_prefix_collect),
// the split index is moved until both halves, each re-encoded against its
// own first key, fit (orv_prefix_split_point), the separator is the decoded
// key at the split index (written whole into the parent), and each half is
// written anew from the decoded entries (orv_prefix_page_write).
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

// Copies the descent path of src into dst, a cursor used only to walk and
// change pages; it owns no buffers.
void path_copy(const ORV_cursor *src, ORV_cursor *dst) {
  dst->mc_next = nullptr;
  dst->mc_backup = nullptr;
  dst->mc_xcursor = nullptr;
  orv_cursor_copy_path(src, dst);
  dst->mc_key.mv_size = 0;
  dst->mc_key.mv_data = dst->mc_keybuf;
  dst->mc_keypg = P_INVALID;
  dst->mc_keyslot = ORV_NO_SLOT;
  dst->mc_prevpg = P_INVALID;
  dst->mc_prevslot = ORV_NO_SLOT;
  dst->mc_vint_slot = ORV_NO_SLOT;
  dst->mc_vint_pg = P_INVALID;
  dst->mc_pkc_pg = P_INVALID;
}

// Moves the cursor at `level` to the last slot of the page left of its
// current page at that level (its slot there is 0). Levels above are
// stepped as needed; every page on the way is a dirty page of this write.
int path_step_left(ORV_cursor *mc, unsigned level) {
  int l = static_cast<int>(level) - 1;
  while (l >= 0 && mc->mc_ki[l] == 0) l--;
  if (l < 0) return ORV_PROBLEM;
  mc->mc_ki[l]--;
  for (; l < static_cast<int>(level); l++) {
    ORV_page *child;
    if (int rc = orv_tree_page_get(mc, mc->mc_pg[l], mc->mc_ki[l], mc->mc_pg[l + 1], &child);
        rc != 0)
      return rc;
    if (numkeys(child) == 0) return ORV_CORRUPTED;
    mc->mc_pg[l + 1] = child;
    mc->mc_ki[l + 1] = static_cast<indx_t>(numkeys(child) - 1);
  }
  return 0;
}

// Appends a copy of node `node` of page src at the end of page dst. A branch
// node that becomes slot 0 loses its key: slot 0 keys are never compared.
int append_node_raw(ORV_env *env, ORV_page *dst, const ORV_page *src, const ORV_node *node) {
  bool strip = is_branch(dst) && numkeys(dst) == 0;
  size_t size = strip ? branch_node_size(src, 0) : node_size_on(src, node);
  if (size + sizeof(indx_t) > size_left(dst)) return ORV_PAGE_FULL;
  indx_t ofs = orv_page_insert_slot(dst, numkeys(dst), size, env);
  std::memcpy(page_bytes(dst) + ofs, node, size);
  if (strip) reinterpret_cast<ORV_node *>(page_bytes(dst) + ofs)->mn_ksize = 0;
  return 0;
}

// The page being split, the new node and the chosen split.
struct Split {
  ORV_cursor *mc;
  ORV_page *mp;         // the full page (unchanged until distribution)
  unsigned nkeys;       // its slots
  unsigned newindx;     // position of the new node among nkeys + 1
  size_t nsize;         // the new node's size plus its slot
  unsigned split_indx;  // first position that goes to the right page
};

// Size (plus slot) of the node at position i of the page with the new node
// in place.
size_t size_at(const Split &s, unsigned i) {
  if (i == s.newindx) return s.nsize;
  unsigned oi = i < s.newindx ? i : i - 1;
  return node_size_on(s.mp, node_ptr(s.mp, oi)) + sizeof(indx_t);
}

// Both halves fit and neither is empty; a branch half keeps two nodes
// when there are enough, since the descent expects that.
bool split_fits(const Split &s, unsigned at, size_t left, size_t total, size_t pmax) {
  unsigned count = s.nkeys + 1;
  if (at < 1 || at >= count) return false;
  if (is_branch(s.mp) && count >= 4 && (at < 2 || count - at < 2)) return false;
  return left <= pmax && total - left <= pmax;
}

// Chooses the split index: the middle, biased when the new node goes to the
// end so that the new page starts emptier, and searched by size when nodes
// are large or few. The choice is then checked against the real sizes; if
// a half would overflow, the valid index nearest to it is taken.
int choose_split(Split &s, size_t psize) {
  const ORV_page *mp = s.mp;
  unsigned nkeys = s.nkeys;
  size_t pmax = psize - PAGEHDRSZ;
  unsigned split_indx = (nkeys + 1) / 2;
  if (nkeys < psize / 128 || s.nsize > pmax / 16 || s.newindx >= nkeys) {
    int i, j, k;
    if (s.newindx <= split_indx || s.newindx >= nkeys) {
      i = 0;
      j = 1;
      k = s.newindx >= nkeys ? static_cast<int>(nkeys)
                             : static_cast<int>(split_indx + 1 + (is_leaf(mp) ? 1 : 0));
    } else {
      i = static_cast<int>(nkeys);
      j = -1;
      k = static_cast<int>(split_indx) - 1;
    }
    size_t sum = 0;
    for (; i != k; i += j) {
      sum += size_at(s, static_cast<unsigned>(i));
      if (sum > pmax || i == k - j) {
        split_indx = static_cast<unsigned>(i + (j < 0 ? 1 : 0));
        break;
      }
    }
  }

  size_t total = 0, left = 0;
  for (unsigned i = 0; i <= nkeys; i++) {
    size_t z = size_at(s, i);
    total += z;
    if (i < split_indx) left += z;
  }
  if (!split_fits(s, split_indx, left, total, pmax)) {
    unsigned best = 0, best_dist = ~0u;
    left = 0;
    for (unsigned at = 1; at <= nkeys; at++) {
      left += size_at(s, at - 1);
      if (!split_fits(s, at, left, total, pmax)) continue;
      unsigned dist = at > split_indx ? at - split_indx : split_indx - at;
      if (dist < best_dist) {
        best = at;
        best_dist = dist;
      }
    }
    if (best == 0) return ORV_NO_FIT;
    split_indx = best;
  }
  s.split_indx = split_indx;
  return 0;
}

// Size (plus slot) of the new node.
size_t new_node_size(const ORV_cursor *mc, const ORV_page *mp, unsigned indx, const ORV_val *key,
                     const ORV_val *data, unsigned nflags) {
  if (is_branch(mp)) return orv_branch_size(mp, key);
  size_t k = even(key->mv_size);
  if (nflags & F_BIGDATA) return k + NODESIZE + sizeof(pgno_t) + sizeof(indx_t);
  if ((nflags & (F_DUPDATA | F_SUBDATA)) == F_DUPDATA)
    return k + NODESIZE + even(data->mv_size) + sizeof(indx_t);
  return orv_leaf_size(orv_page_ctx_of(mc, mp), mp, indx, key, data);
}

// Adds the new node at slot j of page dst through the cursor.
int add_new_node(ORV_cursor *mc, ORV_page *dst, unsigned j, const ORV_val *newkey, ORV_val *newdata,
                 pgno_t newpgno, unsigned nflags) {
  ORV_page *saved = mc->mc_pg[mc->mc_top];
  mc->mc_pg[mc->mc_top] = dst;
  int rc;
  if (is_branch(dst)) {
    rc = orv_node_add(mc, j, j == 0 ? nullptr : newkey, nullptr, newpgno, 0, nullptr, ~uint64_t{0});
  } else {
    unsigned flags = nflags & (F_BIGDATA | F_SUBDATA | F_DUPDATA | ORV_RESERVE);
    rc = orv_node_add(mc, j, newkey, newdata, 0, flags, nullptr, 0);
  }
  mc->mc_pg[mc->mc_top] = saved;
  return rc;
}

// One split under way: the request, the pages it makes and the choices made
// so far, handed from step to step. It never moves: newkey and newdata may
// point at lkey and ldata.
struct SplitJob {
  ORV_cursor *mc;
  ORV_txn *txn;
  ORV_env *env;
  size_t psize;
  ORV_page *mp;           // the full page (unchanged until distribution)
  unsigned newindx;       // slot of the new node among nkeys + 1 (or of the cut)
  unsigned nkeys;         // mp's slots before the split
  const ORV_val *newkey;  // null: no new node
  ORV_val *newdata;
  pgno_t newpgno;  // child of a new branch node
  unsigned nflags;
  bool counted;
  bool prefix;  // a prefix-compressed leaf, not a sub-page
  // Slot 0 removed (no new key) or replaced (new key) instead of a node
  // inserted: the nodes are spread over both halves, each re-encoded
  // against its own first key.
  bool del0;
  bool cut;     // no new node: the page is cut before slot newindx
  bool append;  // the new node goes after mp's last one (ORV_APPEND)

  ORV_page *rp = nullptr;               // the new right sibling
  ORV_page *copy = nullptr;             // image of mp, read while mp is rebuilt
  ORV_val lkey{}, ldata{};              // newkey / newdata moved onto the image
  ORV_val sepkey{};                     // rp's first key, the parent's new separator
  unsigned split_indx = 0;              // first position that goes to rp
  ORV_prefix_entry *entries = nullptr;  // a prefix page's decoded entries
  unsigned nentries = 0;
  unsigned ptop = 0;          // level of the parent
  bool new_root = false;      // the parent is a root this split grew
  bool parent_split = false;  // the parent split in turn
  ORV_cursor mn{};            // path to rp's node in the parent, then to rp
};

// Refusals before anything changes: no stack level for a new root, nothing
// to split, a mode the page does not allow, nodes reaching outside the page.
int request_check(const SplitJob &j) {
  const ORV_cursor *mc = j.mc;
  // A new root would need a stack level the cursors do not have.
  if (mc->mc_top == 0 && mc->mc_snum >= ORV_CURSOR_STACK) return ORV_CURSOR_FULL;
  if (j.nkeys == 0 || (j.del0 && (!j.prefix || j.newindx != 0 || j.nkeys < (j.newkey ? 2u : 3u))) ||
      (j.cut && (!j.prefix || j.del0 || j.newkey || j.newindx < 1 || j.newindx >= j.nkeys)))
    return j.del0 || j.cut ? EINVAL : ORV_PAGE_FULL;
  // A split moves and measures every node: each must lie inside the page
  // (the page came from the file; a search probed only a few of them).
  if (!is_leaf2(j.mp) && !orv_page_nodes_ok(j.mp, orv_prefix_psize(mc, j.mp))) return ORV_CORRUPTED;
  return 0;
}

// mp is the root: a new branch root goes above it with mp as its first,
// keyless child, and mc's path grows by one level. On failure the path and
// the tree's record are as they were.
int root_grow(SplitJob &j) {
  ORV_cursor *mc = j.mc;
  ORV_page *pp;
  if (int rc = orv_page_new(mc, P_BRANCH, 1, &pp); rc != 0) return rc;
  for (unsigned i = mc->mc_snum; i > 0; i--) {
    mc->mc_pg[i] = mc->mc_pg[i - 1];
    mc->mc_ki[i] = mc->mc_ki[i - 1];
  }
  mc->mc_pg[0] = pp;
  mc->mc_ki[0] = 0;
  mc->mc_db->md_root = pp->mp_pgno;
  mc->mc_db->md_depth++;
  if (int rc = orv_node_add(mc, 0, nullptr, nullptr, j.mp->mp_pgno, 0, j.mp,
                            j.counted ? orv_page_entries(j.mp) : 0);
      rc != 0) {
    mc->mc_pg[0] = mc->mc_pg[1];
    mc->mc_ki[0] = mc->mc_ki[1];
    mc->mc_db->md_root = j.mp->mp_pgno;
    mc->mc_db->md_depth--;
    return rc;
  }
  mc->mc_snum++;
  mc->mc_top++;
  j.new_root = true;
  j.ptop = 0;
  return 0;
}

// Allocates the right page, and a new root when mp is the root.
int pages_new(SplitJob &j) {
  if (int rc = orv_page_new(j.mc, j.mp->mp_flags & (P_BRANCH | P_LEAF | P_LEAF2), 1, &j.rp);
      rc != 0)
    return rc;
  j.rp->mp_pad = j.mp->mp_pad;
  if (j.mc->mc_top == 0) return root_grow(j);
  j.ptop = j.mc->mc_top - 1u;
  return 0;
}

// Keeps an image of mp: its nodes are read from it while mp is rebuilt, and
// the separator key may point into it. Key or value bytes that live in mp
// itself (a separator taken from a page being rebalanced, a value an
// earlier read returned) are read from the image from here on.
int image_take(SplitJob &j) {
  j.copy = orv_page_buf_alloc(j.txn, 1);
  if (!j.copy) return ENOMEM;
  std::memcpy(j.copy, j.mp, j.psize);
  auto rebase = [&j](const void *p, size_t size) -> void * {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(j.mp);
    if (!p || !size || a < b || a + size > b + j.psize) return const_cast<void *>(p);
    return page_bytes(j.copy) + (a - b);
  };
  if (j.newkey) {
    j.lkey = *j.newkey;
    j.lkey.mv_data = rebase(j.lkey.mv_data, j.lkey.mv_size);
    j.newkey = &j.lkey;
  }
  if (j.newdata && !(j.nflags & ORV_RESERVE)) {
    j.ldata = *j.newdata;
    j.ldata.mv_data = rebase(j.ldata.mv_data, j.ldata.mv_size);
    j.newdata = &j.ldata;
  }
  return 0;
}

// The page with the new node in place, as choose_split measures it.
Split split_sizes(const SplitJob &j) {
  return Split{j.mc,
               j.mp,
               j.nkeys,
               j.newindx,
               new_node_size(j.mc, j.mp, j.newindx, j.newkey, j.newdata, j.nflags),
               0};
}

// Fixed-size keys: the middle; the separator is the key found there.
void split_point_leaf2(SplitJob &j) {
  const size_t ksize = j.mc->mc_db->md_pad;
  j.split_indx = (j.nkeys + 1) / 2;
  j.sepkey.mv_size = ksize;
  if (j.split_indx == j.newindx) {
    j.sepkey.mv_data = j.newkey->mv_data;
  } else {
    unsigned oi = j.split_indx < j.newindx ? j.split_indx : j.split_indx - 1;
    j.sepkey.mv_data = page_bytes(j.copy) + PAGEHDRSZ + oi * ksize;
  }
}

// Prefix-compressed leaf: every key of the page (and the new one) decoded
// in full, the split index moved until both halves, each re-encoded against
// its own first key, fit; the separator is the decoded key at the index.
// After a cut the index is the caller's and both halves must fit as they
// are.
int split_point_prefix(SplitJob &j) {
  const ORV_page_ctx ctx = orv_page_ctx_of(j.mc, j.mp);
  const unsigned entry_flags = j.nflags & (F_BIGDATA | F_SUBDATA | F_DUPDATA | ORV_RESERVE);
  // The usual choice is only a starting point: re-encoding against new
  // first keys changes the sizes it was made with.
  if (j.cut) {
    j.split_indx = j.newindx;
  } else if (j.del0) {
    j.split_indx = (j.newkey ? j.nkeys : j.nkeys - 1) / 2;
  } else {
    Split s = split_sizes(j);
    j.split_indx = choose_split(s, j.psize) == 0 ? s.split_indx : (j.nkeys + 1) / 2;
  }
  // The key-length entry of this page is stale from here on.
  orv_keylen_index_invalidate(ctx.scratch, j.mp->mp_pgno);
  int rc;
  if (j.cut)
    rc = orv_prefix_gather(ctx, j.copy, j.nkeys, 0, nullptr, nullptr, 0, &j.entries, &j.nentries);
  else if (j.del0)
    rc = orv_prefix_gather(ctx, j.copy, 0, 0, j.newkey, j.newdata, entry_flags, &j.entries,
                           &j.nentries);
  else
    rc = orv_prefix_collect(ctx, j.copy, j.newindx, j.newkey, j.newdata, entry_flags, &j.entries,
                            &j.nentries);
  if (rc != 0) return rc;
  if (j.cut) {
    const size_t room = j.psize - PAGEHDRSZ;
    size_t left = 0, right = 0;
    rc = orv_prefix_run_size(ctx, j.entries, 0, j.split_indx, &left);
    if (rc == 0) rc = orv_prefix_run_size(ctx, j.entries, j.split_indx, j.nentries, &right);
    if (rc == 0 && (left > room || right > room)) rc = ORV_NO_FIT;
  } else {
    rc = orv_prefix_split_point(ctx, j.entries, j.nentries, &j.split_indx);
  }
  if (rc != 0) return rc;
  const ORV_prefix_entry &e = j.entries[j.split_indx];
  j.sepkey = ORV_val{e.pe_klen, const_cast<void *>(e.pe_key)};
  return 0;
}

// Whole nodes (plain leaves, branches): chosen by size; the separator is
// the key of the first node going right.
int split_point_nodes(SplitJob &j) {
  Split s = split_sizes(j);
  if (int rc = choose_split(s, j.psize); rc != 0) return rc;
  j.split_indx = s.split_indx;
  if (j.split_indx == j.newindx) {
    j.sepkey = *j.newkey;
  } else {
    unsigned oi = j.split_indx < j.newindx ? j.split_indx : j.split_indx - 1;
    const ORV_node *node = node_ptr(j.copy, oi);
    j.sepkey.mv_size = node->mn_ksize;
    j.sepkey.mv_data = const_cast<void *>(node_key(node, node_hdrsz(j.copy)));
  }
  return 0;
}

// Inserts the separator into the parent right after mp's node, splitting
// the parent when it lacks room. Afterwards mc's path leads to mp (slot
// newindx) and mn's to rp (slot 0), both through the parent as it now is.
int separator_insert(SplitJob &j) {
  ORV_cursor *mc = j.mc;
  ORV_cursor &mn = j.mn;
  unsigned ptop = j.ptop;
  path_copy(mc, &mn);
  mn.mc_top = static_cast<uint16_t>(ptop);
  mn.mc_snum = static_cast<uint16_t>(ptop + 1);
  mn.mc_ki[ptop] = static_cast<indx_t>(mc->mc_ki[ptop] + 1);
  if (size_left(mn.mc_pg[ptop]) < orv_branch_size(mn.mc_pg[ptop], &j.sepkey)) {
    j.parent_split = true;
    if (int rc = orv_page_split(&mn, &j.sepkey, nullptr, j.rp->mp_pgno, 0); rc != 0) return rc;
    // mn now stands on rp's node, wherever the parent split put it; mp's
    // node is the one just before it.
    const unsigned pt = mn.mc_top;
    for (unsigned i = 0; i <= pt; i++) {
      mc->mc_pg[i] = mn.mc_pg[i];
      mc->mc_ki[i] = mn.mc_ki[i];
    }
    if (mn.mc_ki[pt] > 0) {
      mc->mc_ki[pt] = static_cast<indx_t>(mn.mc_ki[pt] - 1);
    } else if (int rc = path_step_left(mc, pt); rc != 0) {
      return rc;
    }
    ptop = pt;
  } else if (int rc =
                 orv_node_add(&mn, mn.mc_ki[ptop], &j.sepkey, nullptr, j.rp->mp_pgno, 0, j.rp, 0);
             rc != 0) {
    return rc;
  }
  j.ptop = ptop;
  mc->mc_top = static_cast<uint16_t>(ptop + 1);
  mc->mc_snum = static_cast<uint16_t>(ptop + 2);
  mc->mc_pg[ptop + 1] = j.mp;
  mc->mc_ki[ptop + 1] = static_cast<indx_t>(j.newindx);
  mn.mc_top = static_cast<uint16_t>(ptop + 1);
  mn.mc_snum = static_cast<uint16_t>(ptop + 2);
  mn.mc_pg[ptop + 1] = j.rp;
  mn.mc_ki[ptop + 1] = 0;
  return 0;
}

// Fixed-size keys: mp and rp rebuilt from the image, the new key in place.
void distribute_leaf2(SplitJob &j) {
  const size_t ksize = j.mc->mc_db->md_pad;
  j.mp->mp_lower = PAGEHDRSZ;
  j.rp->mp_lower = PAGEHDRSZ;
  for (unsigned i = 0; i <= j.nkeys; i++) {
    ORV_page *dst = i < j.split_indx ? j.mp : j.rp;
    auto *out = static_cast<std::byte *>(leaf2_key(dst, numkeys(dst), ksize));
    if (i == j.newindx) {
      size_t have = j.newkey->mv_size < ksize ? j.newkey->mv_size : ksize;
      if (have) std::memcpy(out, j.newkey->mv_data, have);
      if (have < ksize) std::memset(out + have, 0, ksize - have);
    } else {
      unsigned oi = i < j.newindx ? i : i - 1;
      std::memcpy(out, page_bytes(j.copy) + PAGEHDRSZ + oi * ksize, ksize);
    }
    dst->mp_lower = static_cast<indx_t>(dst->mp_lower + sizeof(indx_t));
  }
  // mp_upper - mp_lower stays the free space: psize - 16 - n * ksize.
  for (ORV_page *p : {j.mp, j.rp}) {
    const unsigned n = numkeys(p);
    p->mp_upper = static_cast<indx_t>(j.psize - n * ksize + n * sizeof(indx_t));
  }
}

// Prefix-compressed leaf: each half written anew from the decoded entries,
// re-encoded against its own first key.
int distribute_prefix(SplitJob &j) {
  // Values may only now get their overflow runs: the halves are final.
  const ORV_page_ctx ctx = orv_page_ctx_of(j.mc, j.mp);
  int rc = orv_prefix_run_overflow(j.mc, j.entries, 0, j.nentries, j.newdata, j.nflags);
  if (rc == 0) rc = orv_prefix_page_write(ctx, j.mp, j.psize, j.entries, 0, j.split_indx);
  if (rc == 0) rc = orv_prefix_page_write(ctx, j.rp, j.psize, j.entries, j.split_indx, j.nentries);
  if (rc != 0) return rc;
  if (j.newkey && (j.nflags & ORV_RESERVE) && !(j.entries[j.newindx].pe_flags & F_BIGDATA)) {
    const bool left = j.newindx < j.split_indx;
    ORV_page *dst = left ? j.mp : j.rp;
    const unsigned slot = left ? j.newindx : j.newindx - j.split_indx;
    j.newdata->mv_data = node_data(node_ptr(dst, slot));
  }
  orv_prefix_keys_forget(j.mc, j.mp);
  orv_prefix_keys_forget(j.mc, j.rp);  // its number may be a reused one
  return 0;
}

// Whole nodes: mp emptied and refilled from the image up to the split
// index, the rest appended to rp, the new node added where it falls.
int distribute_nodes(SplitJob &j) {
  j.mp->mp_lower = PAGEHDRSZ;
  j.mp->mp_upper = static_cast<indx_t>(j.psize);
  for (unsigned i = 0; i <= j.nkeys; i++) {
    ORV_page *dst = i < j.split_indx ? j.mp : j.rp;
    int rc;
    if (i == j.newindx) {
      rc = add_new_node(j.mc, dst, numkeys(dst), j.newkey, j.newdata, j.newpgno, j.nflags);
    } else {
      unsigned oi = i < j.newindx ? i : i - 1;
      rc = append_node_raw(j.env, dst, j.copy, node_ptr(j.copy, oi));
    }
    if (rc != 0) return rc;
  }
  return 0;
}

// Counted trees: the parents' counts of both halves.
void counts_set(SplitJob &j) {
  if (!j.counted) return;
  orv_parent_count_set(j.mc, j.ptop + 1, j.mp->mp_pgno, orv_page_entries(j.mp));
  orv_parent_count_set(&j.mn, j.ptop + 1, j.rp->mp_pgno, orv_page_entries(j.rp));
}

// The splitting cursor ends on the new node; after a cut, on slot 0 of the
// left half.
void cursor_place(SplitJob &j) {
  ORV_cursor *mc = j.mc;
  const unsigned top = j.ptop + 1;
  if (j.cut) {
    mc->mc_ki[top] = 0;
  } else if (j.newindx >= j.split_indx) {
    for (unsigned i = 0; i < top; i++) {
      mc->mc_pg[i] = j.mn.mc_pg[i];
      mc->mc_ki[i] = j.mn.mc_ki[i];
    }
    mc->mc_pg[top] = j.rp;
    mc->mc_ki[top] = static_cast<indx_t>(j.newindx - j.split_indx);
  }
}

// The other cursors of this tree follow their entries: onto the new root's
// path, to rp when their slot moved past mp's last one, one slot on in the
// parent when they stand after the new separator. Without slot 0, a cursor
// on it stays on slot 0 of mp (the caller marks it deleted).
void cursors_follow(const SplitJob &j) {
  const unsigned ptop = j.ptop;
  const unsigned top = ptop + 1;
  const unsigned nleft = numkeys(j.mp);
  const unsigned sep_indx = j.mn.mc_ki[ptop];
  const ORV_page *parent = j.mn.mc_pg[ptop];
  ORV_page *root = j.mc->mc_pg[0];
  auto new_slot = [&j](unsigned ki) -> unsigned {
    if (j.cut) return ki;
    if (j.del0 && j.newkey == nullptr) return ki > 0 ? ki - 1 : 0;
    return ki >= j.newindx && !(j.nflags & ORV_SPLIT_REPLACE) ? ki + 1 : ki;
  };
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED>(j.mc, [&](ORV_cursor *m3) {
    if (m3->mc_snum == 0) return;
    if (j.new_root) {
      if (m3->mc_pg[0] != j.mp || m3->mc_snum >= ORV_CURSOR_STACK) return;
      for (unsigned k = m3->mc_snum; k > 0; k--) {
        m3->mc_pg[k] = m3->mc_pg[k - 1];
        m3->mc_ki[k] = m3->mc_ki[k - 1];
      }
      m3->mc_ki[0] = new_slot(m3->mc_ki[1]) >= nleft ? 1 : 0;
      m3->mc_pg[0] = root;
      m3->mc_snum++;
      m3->mc_top++;
    }
    if (m3->mc_top >= top && m3->mc_pg[top] == j.mp) {
      m3->mc_ki[top] = static_cast<indx_t>(new_slot(m3->mc_ki[top]));
      if (m3->mc_ki[top] >= nleft) {
        m3->mc_pg[top] = j.rp;
        m3->mc_ki[top] = static_cast<indx_t>(m3->mc_ki[top] - nleft);
        for (unsigned i = 0; i < top; i++) {
          m3->mc_ki[i] = j.mn.mc_ki[i];
          m3->mc_pg[i] = j.mn.mc_pg[i];
        }
      }
    } else if (!j.parent_split && m3->mc_top >= ptop && m3->mc_pg[ptop] == parent &&
               m3->mc_ki[ptop] >= sep_indx) {
      m3->mc_ki[ptop]++;
    }
    if (is_leaf(j.mp)) orv_xcursor_repoint(m3, top);
  });
}

// An append past mp's last node: mp keeps its nodes, the new node alone
// starts rp and is the separator. Nothing of mp is rebuilt, so no image is
// needed: bytes the new key or value share with mp stay where they are.
int split_append(SplitJob &j) {
  j.split_indx = j.newindx;
  j.sepkey = *j.newkey;
  if (int rc = separator_insert(j); rc != 0) return rc;
  if (int rc = add_new_node(j.mc, j.rp, 0, j.newkey, j.newdata, j.newpgno, j.nflags); rc != 0)
    return rc;
  counts_set(j);
  cursor_place(j);
  cursors_follow(j);
  return 0;
}

// The steps in their order; see the top of the file.
int split_run(SplitJob &j) {
  if (int rc = request_check(j); rc != 0) return rc;
  if (int rc = pages_new(j); rc != 0) return rc;
  if (j.append) return split_append(j);
  if (int rc = image_take(j); rc != 0) return rc;

  int rc = 0;
  if (is_leaf2(j.mp))
    split_point_leaf2(j);
  else if (j.prefix)
    rc = split_point_prefix(j);
  else
    rc = split_point_nodes(j);
  if (rc != 0) return rc;
  if (rc = separator_insert(j); rc != 0) return rc;

  if (is_leaf2(j.mp))
    distribute_leaf2(j);
  else if (j.prefix)
    rc = distribute_prefix(j);
  else
    rc = distribute_nodes(j);
  if (rc != 0) return rc;
  counts_set(j);
  cursor_place(j);
  cursors_follow(j);
  return 0;
}

}  // namespace

int orv_page_split(ORV_cursor *mc, const ORV_val *newkey, ORV_val *newdata, pgno_t newpgno,
                   unsigned nflags) {
  ORV_txn *txn = mc->mc_txn;
  ORV_page *mp = mc->mc_pg[mc->mc_top];
  const unsigned newindx = mc->mc_ki[mc->mc_top];
  const unsigned nkeys = numkeys(mp);
  SplitJob j{.mc = mc,
             .txn = txn,
             .env = txn->mt_env,
             .psize = txn->mt_env->me_psize,
             .mp = mp,
             .newindx = newindx,
             .nkeys = nkeys,
             .newkey = newkey,
             .newdata = newdata,
             .newpgno = newpgno,
             .nflags = nflags,
             .counted = (mc->mc_db->md_flags & ORV_COUNTED) != 0,
             .prefix = orv_page_is_prefix(mc, mp) && !is_subp(mp),
             .del0 = (nflags & ORV_SPLIT_DEL0) != 0,
             .cut = (nflags & ORV_SPLIT_AT) != 0,
             .append = (nflags & ORV_APPEND) && newindx == nkeys && nkeys > 0};
  const int rc = split_run(j);
  if (j.copy) orv_page_buf_free(j.env, j.copy);
  if (rc == 0) return 0;
  return orv_txn_fail(txn, rc == ORV_NOTFOUND ? ORV_PROBLEM : rc);
}

int orv_prefix_split_tails(ORV_cursor *mc) {
  // Sub-pages are never split: the context is that of whole pages.
  const ORV_page_ctx ctx = orv_page_ctx_sized(mc, 0);
  const size_t room = ctx.psize - PAGEHDRSZ;
  for (;;) {
    ORV_page *mp = mc->mc_pg[mc->mc_top];
    const unsigned n = numkeys(mp);
    if (mc->mc_ki[mc->mc_top] != 0 || n <= 3 || !orv_page_is_prefix(mc, mp) || is_subp(mp))
      return 0;
    size_t size = 0;
    if (int rc = orv_prefix_page_plan(ctx, mp, 0, 0, nullptr, nullptr, 0, &size); rc != 0)
      return orv_txn_fail(mc->mc_txn, rc);
    if (size <= orv_prefix_psize(mc, mp)) return 0;  // the removal fits in place
    ORV_prefix_entry *entries;
    unsigned count;
    if (int rc = orv_prefix_gather(ctx, mp, 0, 0, nullptr, nullptr, 0, &entries, &count); rc != 0)
      return orv_txn_fail(mc->mc_txn, rc);
    unsigned j = count / 2;
    const int rc = orv_prefix_split_point(ctx, entries, count, &j);
    if (rc == 0) return 0;  // two pages will do
    if (rc != ORV_NO_FIT) return orv_txn_fail(mc->mc_txn, rc);
    // The remaining keys from `start` on, re-encoded against entry start,
    // fit a page; start stays >= 1 so that the left half keeps a key besides
    // the one going.
    unsigned start = count - 1;
    while (start > 1) {
      size_t z;
      if (int rc2 = orv_prefix_run_size(ctx, entries, start - 1, count, &z); rc2 != 0)
        return orv_txn_fail(mc->mc_txn, rc2);
      if (z > room) break;
      --start;
    }
    // Entry e is slot e + 1 of the page (slot 0 is the key going).
    mc->mc_ki[mc->mc_top] = static_cast<indx_t>(start + 1);
    if (int rc2 = orv_page_split(mc, nullptr, nullptr, 0, ORV_SPLIT_AT); rc2 != 0) return rc2;
  }
}
