// Page split: a page that cannot take a new node is split in two, the upper
// part of its nodes moving to a new right sibling whose first key becomes a
// separator in the parent (which may split in turn, up to a new root).
//
// Order of work, so that every failure after the first change leaves the
// transaction failed rather than half-changed silently:
//   1. allocate the right page (and a new root when the root splits);
//   2. choose the split index over the page's nodes with the new one in
//      place, checking that both halves fit;
//   3. insert the separator into the parent, splitting it recursively;
//   4. rebuild the left page from an image of the old one and fill the right
//      page, the new node landing in whichever half holds its position;
//   5. set the counts of both halves in counted trees;
//   6. move the other cursors of the transaction to where their entries went.
//
// The splitting cursor ends on the new node with an exact path. A second
// cursor `mn` follows the path to the right page's parent node; after a
// recursive parent split both paths are rebuilt from it, so correctness does
// not depend on the cursor being tracked by its transaction.
//
// Prefix-compressed leaves take their own road through steps 2 and 4: every
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
    if (best == 0) return ORV_PAGE_FULL;
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
  return orv_leaf_size(mc, mp, indx, key, data);
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

// Fixed-size keys: rebuild mp and rp from the image, the new key in place.
void distribute_leaf2(const ORV_page *copy, ORV_page *mp, ORV_page *rp, unsigned nkeys,
                      unsigned newindx, unsigned split_indx, const ORV_val *newkey, size_t ksize) {
  mp->mp_lower = PAGEHDRSZ;
  rp->mp_lower = PAGEHDRSZ;
  for (unsigned i = 0; i <= nkeys; i++) {
    ORV_page *dst = i < split_indx ? mp : rp;
    unsigned j = numkeys(dst);
    auto *out = static_cast<std::byte *>(leaf2_key(dst, j, ksize));
    if (i == newindx) {
      size_t have = newkey->mv_size < ksize ? newkey->mv_size : ksize;
      if (have) std::memcpy(out, newkey->mv_data, have);
      if (have < ksize) std::memset(out + have, 0, ksize - have);
    } else {
      unsigned oi = i < newindx ? i : i - 1;
      std::memcpy(out, page_bytes(copy) + PAGEHDRSZ + oi * ksize, ksize);
    }
    dst->mp_lower = static_cast<indx_t>(dst->mp_lower + sizeof(indx_t));
  }
}

void leaf2_set_upper(ORV_page *p, size_t psize, size_t ksize) {
  // mp_upper - mp_lower stays the free space: psize - 16 - n * ksize.
  unsigned n = numkeys(p);
  p->mp_upper = static_cast<indx_t>(psize - n * ksize + n * sizeof(indx_t));
}

}  // namespace

int orv_page_split(ORV_cursor *mc, const ORV_val *newkey, ORV_val *newdata, pgno_t newpgno,
                   unsigned nflags) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  const size_t psize = env->me_psize;
  ORV_page *mp = mc->mc_pg[mc->mc_top];
  const unsigned newindx = mc->mc_ki[mc->mc_top];
  const unsigned nkeys = numkeys(mp);
  const bool counted = mc->mc_db->md_flags & ORV_COUNTED;
  const bool append = (nflags & ORV_APPEND) && newindx == nkeys && nkeys > 0;
  ORV_page *rp = nullptr, *copy = nullptr;
  ORV_val sepkey{}, lkey{}, ldata{};
  unsigned ptop, split_indx = 0;
  const bool prefix = orv_page_is_prefix(mc, mp) && !is_subp(mp);
  // Slot 0 removed (no new key) or replaced (new key) instead of a node
  // inserted: the nodes are spread over both halves, each re-encoded
  // against its own first key.
  const bool del0 = nflags & ORV_SPLIT_DEL0;
  // No new node: the page is cut before slot newindx.
  const bool cut = nflags & ORV_SPLIT_AT;
  ORV_prefix_entry *entries = nullptr;
  unsigned nentries = 0;
  bool new_root = false, did_split = false;
  ORV_cursor mn{};
  int rc = 0;

  if (mc->mc_top == 0 && mc->mc_snum >= ORV_CURSOR_STACK) {
    // A new root would need a stack level the cursors do not have.
    rc = ORV_CURSOR_FULL;
    goto fail;
  }
  if (nkeys == 0 || (del0 && (!prefix || newindx != 0 || nkeys < (newkey ? 2u : 3u))) ||
      (cut && (!prefix || del0 || newkey || newindx < 1 || newindx >= nkeys))) {
    rc = del0 || cut ? EINVAL : ORV_PAGE_FULL;
    goto fail;
  }
  // A split moves and measures every node: each must lie inside the page
  // (the page came from the file; a search probed only a few of them).
  if (!is_leaf2(mp) && !orv_page_nodes_ok(mp, orv_prefix_psize(mc, mp))) {
    rc = ORV_CORRUPTED;
    goto fail;
  }

  rc = orv_page_new(mc, mp->mp_flags & (P_BRANCH | P_LEAF | P_LEAF2), 1, &rp);
  if (rc != 0) goto fail;
  rp->mp_pad = mp->mp_pad;

  if (mc->mc_top == 0) {
    ORV_page *pp;
    rc = orv_page_new(mc, P_BRANCH, 1, &pp);
    if (rc != 0) goto fail;
    for (unsigned i = mc->mc_snum; i > 0; i--) {
      mc->mc_pg[i] = mc->mc_pg[i - 1];
      mc->mc_ki[i] = mc->mc_ki[i - 1];
    }
    mc->mc_pg[0] = pp;
    mc->mc_ki[0] = 0;
    mc->mc_db->md_root = pp->mp_pgno;
    mc->mc_db->md_depth++;
    // The old root becomes the new root's first child, keyless.
    rc = orv_node_add(mc, 0, nullptr, nullptr, mp->mp_pgno, 0, mp,
                      counted ? orv_page_entries(mp) : 0);
    if (rc != 0) {
      mc->mc_pg[0] = mc->mc_pg[1];
      mc->mc_ki[0] = mc->mc_ki[1];
      mc->mc_db->md_root = mp->mp_pgno;
      mc->mc_db->md_depth--;
      goto fail;
    }
    mc->mc_snum++;
    mc->mc_top++;
    new_root = true;
    ptop = 0;
  } else {
    ptop = mc->mc_top - 1u;
  }

  // Keep an image of the page: its nodes are read from it while mp is
  // rebuilt, and the separator key may point into it.
  copy = orv_page_buf_alloc(txn, 1);
  if (!copy) {
    rc = ENOMEM;
    goto fail;
  }
  std::memcpy(copy, mp, psize);
  {
    // Key or value bytes that live in mp itself (a separator taken from a
    // page being rebalanced, a value an earlier read returned) are read from
    // the image, since mp is rebuilt.
    auto rebase = [&](const void *p, size_t size) -> void * {
      auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(mp);
      if (!p || !size || a < b || a + size > b + psize) return const_cast<void *>(p);
      return page_bytes(copy) + (a - b);
    };
    if (newkey) {
      lkey = *newkey;
      lkey.mv_data = rebase(lkey.mv_data, lkey.mv_size);
      newkey = &lkey;
    }
    if (newdata && !(nflags & ORV_RESERVE)) {
      ldata = *newdata;
      ldata.mv_data = rebase(ldata.mv_data, ldata.mv_size);
      newdata = &ldata;
    }
  }

  if (append) {
    split_indx = newindx;
    sepkey = *newkey;
  } else if (is_leaf2(mp)) {
    size_t ksize = mc->mc_db->md_pad;
    split_indx = (nkeys + 1) / 2;
    sepkey.mv_size = ksize;
    if (split_indx == newindx) {
      sepkey.mv_data = newkey->mv_data;
    } else {
      unsigned oi = split_indx < newindx ? split_indx : split_indx - 1;
      sepkey.mv_data = page_bytes(copy) + PAGEHDRSZ + oi * ksize;
    }
  } else if (prefix) {
    // The usual choice is only a starting point: re-encoding against new
    // first keys changes the sizes it was made with.
    if (cut) {
      split_indx = newindx;
    } else if (del0) {
      split_indx = (newkey ? nkeys : nkeys - 1) / 2;
    } else {
      Split s{mc, mp, nkeys, newindx, new_node_size(mc, mp, newindx, newkey, newdata, nflags), 0};
      split_indx = choose_split(s, psize) == 0 ? s.split_indx : (nkeys + 1) / 2;
    }
    // The key-length entry of this page is stale from here on.
    orv_keylen_index_invalidate(txn, mp->mp_pgno);
    if (cut)
      rc = orv_prefix_gather(mc, copy, nkeys, 0, nullptr, nullptr, 0, &entries, &nentries);
    else if (del0)
      rc = orv_prefix_gather(mc, copy, 0, 0, newkey, newdata,
                             nflags & (F_BIGDATA | F_SUBDATA | F_DUPDATA | ORV_RESERVE), &entries,
                             &nentries);
    else
      rc = orv_prefix_collect(mc, copy, newindx, newkey, newdata,
                              nflags & (F_BIGDATA | F_SUBDATA | F_DUPDATA | ORV_RESERVE), &entries,
                              &nentries);
    if (rc != 0) goto fail;
    if (cut) {
      // The cut is the caller's; both halves must fit as they are.
      size_t left = 0, right = 0;
      rc = orv_prefix_run_size(env, entries, 0, split_indx, &left);
      if (rc == 0) rc = orv_prefix_run_size(env, entries, split_indx, nentries, &right);
      if (rc == 0 && (left > psize - PAGEHDRSZ || right > psize - PAGEHDRSZ)) rc = ORV_PAGE_FULL;
    } else {
      rc = orv_prefix_split_point(mc, entries, nentries, &split_indx);
    }
    if (rc != 0) goto fail;
    sepkey = ORV_val{entries[split_indx].pe_klen, const_cast<void *>(entries[split_indx].pe_key)};
  } else {
    Split s{mc, mp, nkeys, newindx, new_node_size(mc, mp, newindx, newkey, newdata, nflags), 0};
    rc = choose_split(s, psize);
    if (rc != 0) goto fail;
    split_indx = s.split_indx;
    if (split_indx == newindx) {
      sepkey = *newkey;
    } else {
      unsigned oi = split_indx < newindx ? split_indx : split_indx - 1;
      const ORV_node *node = node_ptr(copy, oi);
      sepkey.mv_size = node->mn_ksize;
      sepkey.mv_data = const_cast<void *>(node_key(node, node_hdrsz(copy)));
    }
  }

  // The separator goes into the parent, right after mp's node.
  path_copy(mc, &mn);
  mn.mc_top = static_cast<uint16_t>(ptop);
  mn.mc_snum = static_cast<uint16_t>(ptop + 1);
  mn.mc_ki[ptop] = static_cast<indx_t>(mc->mc_ki[ptop] + 1);
  if (size_left(mn.mc_pg[ptop]) < orv_branch_size(mn.mc_pg[ptop], &sepkey)) {
    did_split = true;
    rc = orv_page_split(&mn, &sepkey, nullptr, rp->mp_pgno, 0);
    if (rc != 0) goto fail;
    // mn now stands on rp's node, wherever the parent split put it; mp's
    // node is the one just before it.
    unsigned pt = mn.mc_top;
    for (unsigned i = 0; i <= pt; i++) {
      mc->mc_pg[i] = mn.mc_pg[i];
      mc->mc_ki[i] = mn.mc_ki[i];
    }
    if (mn.mc_ki[pt] > 0) {
      mc->mc_ki[pt] = static_cast<indx_t>(mn.mc_ki[pt] - 1);
    } else {
      rc = path_step_left(mc, pt);
      if (rc != 0) goto fail;
    }
    ptop = pt;
  } else {
    rc = orv_node_add(&mn, mn.mc_ki[ptop], &sepkey, nullptr, rp->mp_pgno, 0, rp, 0);
    if (rc != 0) goto fail;
  }
  mc->mc_top = static_cast<uint16_t>(ptop + 1);
  mc->mc_snum = static_cast<uint16_t>(ptop + 2);
  mc->mc_pg[ptop + 1] = mp;
  mc->mc_ki[ptop + 1] = static_cast<indx_t>(newindx);
  mn.mc_top = static_cast<uint16_t>(ptop + 1);
  mn.mc_snum = static_cast<uint16_t>(ptop + 2);
  mn.mc_pg[ptop + 1] = rp;
  mn.mc_ki[ptop + 1] = 0;

  // Distribution.
  if (append) {
    rc = add_new_node(mc, rp, 0, newkey, newdata, newpgno, nflags);
    if (rc != 0) goto fail;
  } else if (is_leaf2(mp)) {
    size_t ksize = mc->mc_db->md_pad;
    distribute_leaf2(copy, mp, rp, nkeys, newindx, split_indx, newkey, ksize);
    leaf2_set_upper(mp, psize, ksize);
    leaf2_set_upper(rp, psize, ksize);
  } else if (prefix) {
    // Values may only now get their overflow runs: the halves are final.
    rc = orv_prefix_run_overflow(mc, entries, 0, nentries, newdata, nflags);
    if (rc == 0) rc = orv_prefix_page_write(txn, mp, psize, entries, 0, split_indx);
    if (rc == 0) rc = orv_prefix_page_write(txn, rp, psize, entries, split_indx, nentries);
    if (rc != 0) goto fail;
    if (newkey && (nflags & ORV_RESERVE) && !(entries[newindx].pe_flags & F_BIGDATA)) {
      ORV_page *dst = newindx < split_indx ? mp : rp;
      const unsigned j = newindx < split_indx ? newindx : newindx - split_indx;
      newdata->mv_data = node_data(node_ptr(dst, j));
    }
    orv_prefix_keys_forget(mc, mp);
    orv_prefix_keys_forget(mc, rp);  // its number may be a reused one
  } else {
    mp->mp_lower = PAGEHDRSZ;
    mp->mp_upper = static_cast<indx_t>(psize);
    for (unsigned i = 0; i <= nkeys; i++) {
      ORV_page *dst = i < split_indx ? mp : rp;
      if (i == newindx) {
        rc = add_new_node(mc, dst, numkeys(dst), newkey, newdata, newpgno, nflags);
      } else {
        unsigned oi = i < newindx ? i : i - 1;
        rc = append_node_raw(env, dst, copy, node_ptr(copy, oi));
      }
      if (rc != 0) goto fail;
    }
  }

  if (counted) {
    orv_parent_count_set(mc, ptop + 1, mp->mp_pgno, orv_page_entries(mp));
    orv_parent_count_set(&mn, ptop + 1, rp->mp_pgno, orv_page_entries(rp));
  }

  // The cursor ends on the new node; after a cut, on slot 0 of the left half.
  if (cut) {
    mc->mc_ki[ptop + 1] = 0;
  } else if (newindx >= split_indx) {
    for (unsigned i = 0; i <= ptop; i++) {
      mc->mc_pg[i] = mn.mc_pg[i];
      mc->mc_ki[i] = mn.mc_ki[i];
    }
    mc->mc_pg[ptop + 1] = rp;
    mc->mc_ki[ptop + 1] = static_cast<indx_t>(newindx - split_indx);
  }

  {
    // Other cursors of this tree follow their entries. Without slot 0, a
    // cursor on it stays on slot 0 of mp (the caller marks it deleted).
    const unsigned top = ptop + 1;
    const unsigned nleft = numkeys(mp);
    const unsigned sep_indx = mn.mc_ki[ptop];
    ORV_page *parent = mn.mc_pg[ptop];
    auto new_slot = [&](unsigned ki) -> unsigned {
      if (cut) return ki;
      if (del0 && newkey == nullptr) return ki > 0 ? ki - 1 : 0;
      return ki >= newindx && !(nflags & ORV_SPLIT_REPLACE) ? ki + 1 : ki;
    };
    orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED>(mc, [&](ORV_cursor *m3) {
      if (m3->mc_snum == 0) return;
      if (new_root) {
        if (m3->mc_pg[0] != mp || m3->mc_snum >= ORV_CURSOR_STACK) return;
        for (unsigned k = m3->mc_snum; k > 0; k--) {
          m3->mc_pg[k] = m3->mc_pg[k - 1];
          m3->mc_ki[k] = m3->mc_ki[k - 1];
        }
        m3->mc_ki[0] = new_slot(m3->mc_ki[1]) >= nleft ? 1 : 0;
        m3->mc_pg[0] = mc->mc_pg[0];
        m3->mc_snum++;
        m3->mc_top++;
      }
      if (m3->mc_top >= top && m3->mc_pg[top] == mp) {
        m3->mc_ki[top] = static_cast<indx_t>(new_slot(m3->mc_ki[top]));
        if (m3->mc_ki[top] >= nleft) {
          m3->mc_pg[top] = rp;
          m3->mc_ki[top] = static_cast<indx_t>(m3->mc_ki[top] - nleft);
          for (unsigned i = 0; i < top; i++) {
            m3->mc_ki[i] = mn.mc_ki[i];
            m3->mc_pg[i] = mn.mc_pg[i];
          }
        }
      } else if (!did_split && m3->mc_top >= ptop && m3->mc_pg[ptop] == parent &&
                 m3->mc_ki[ptop] >= sep_indx) {
        m3->mc_ki[ptop]++;
      }
      if (is_leaf(mp)) orv_xcursor_repoint(m3, top);
    });
  }
  orv_page_buf_free(env, copy);
  return 0;

fail:
  if (copy) orv_page_buf_free(env, copy);
  if (rc == ORV_NOTFOUND) rc = ORV_PROBLEM;
  return orv_txn_fail(txn, rc);
}

int orv_prefix_split_tails(ORV_cursor *mc) {
  ORV_env *env = mc->mc_txn->mt_env;
  const size_t room = env->me_psize - PAGEHDRSZ;
  for (;;) {
    ORV_page *mp = mc->mc_pg[mc->mc_top];
    const unsigned n = numkeys(mp);
    if (mc->mc_ki[mc->mc_top] != 0 || n <= 3 || !orv_page_is_prefix(mc, mp) || is_subp(mp))
      return 0;
    size_t size = 0;
    if (int rc = orv_prefix_page_plan(mc, mp, 0, 0, nullptr, nullptr, 0, &size); rc != 0)
      return orv_txn_fail(mc->mc_txn, rc);
    if (size <= orv_prefix_psize(mc, mp)) return 0;  // the removal fits in place
    ORV_prefix_entry *entries;
    unsigned count;
    if (int rc = orv_prefix_gather(mc, mp, 0, 0, nullptr, nullptr, 0, &entries, &count); rc != 0)
      return orv_txn_fail(mc->mc_txn, rc);
    unsigned j = count / 2;
    const int rc = orv_prefix_split_point(mc, entries, count, &j);
    if (rc == 0) return 0;  // two pages will do
    if (rc != ORV_PAGE_FULL) return orv_txn_fail(mc->mc_txn, rc);
    // The remaining keys from `start` on, re-encoded against entry start,
    // fit a page; start stays >= 1 so that the left half keeps a key besides
    // the one going.
    unsigned start = count - 1;
    while (start > 1) {
      size_t z;
      if (int rc2 = orv_prefix_run_size(env, entries, start - 1, count, &z); rc2 != 0)
        return orv_txn_fail(mc->mc_txn, rc2);
      if (z > room) break;
      --start;
    }
    // Entry e is slot e + 1 of the page (slot 0 is the key going).
    mc->mc_ki[mc->mc_top] = static_cast<indx_t>(start + 1);
    if (int rc2 = orv_page_split(mc, nullptr, nullptr, 0, ORV_SPLIT_AT); rc2 != 0) return rc2;
  }
}
