// Cursor movement: orv_cursor_first, orv_cursor_last, orv_cursor_next,
// orv_cursor_prev and orv_cursor_sibling.
//
// These primitives serve the main cursor and, with the same code, the
// sub-cursor over a key's duplicates (whose "key" is the duplicate value).
// When the main cursor lands on a node with duplicates, the sub-cursor is
// loaded for that node and positioned on its first or last value
// (land_value); landing on a node with a single value leaves the sub-cursor
// unpositioned.
//
// C_EOF means the cursor still stands on the last entry after a forward
// step failed, so ORV_GET_CURRENT answers that entry and ORV_PREV the one
// before it. C_DEL means the entry under the cursor was deleted and the
// following entry moved under it: the next forward step stays put.
//
// Nothing here allocates; materialising a key goes through
// orv_cursor_read_key.
//
// Walks hide memory latency with prefetch hints: a step within a leaf asks
// for the node a few slots ahead, and entering a leaf asks for the leaf
// after it (named by the parent's next slot in the walk's direction) and
// for the first nodes of the leaf just entered.
#include "btree/btree.h"
#include "page/prefetch.h"

namespace {

// How many slots ahead a step asks for a node: a step over cached nodes
// takes a few tens of nanoseconds, a miss several times that.
constexpr unsigned kStepAhead = 4;

// Asks for the node of slot i of leaf mp when there is one.
void prefetch_slot(const ORV_cursor *mc, const ORV_page *mp, long i) {
  if (i < 0 || static_cast<unsigned long>(i) >= numkeys(mp) || is_leaf2(mp)) return;
  orv_prefetch_node(mp, static_cast<unsigned>(i), orv_prefix_psize(mc, mp), true);
}

// The cursor just entered the leaf on its top: asks for the leaf beyond it
// in the walk's direction and for the nodes the next steps read.
void prefetch_on_enter(const ORV_cursor *mc, bool move_right) {
  const ORV_page *leaf = mc->mc_pg[mc->mc_top];
  const long n = numkeys(leaf);
  for (unsigned d = 0; d < kStepAhead; ++d) prefetch_slot(mc, leaf, move_right ? d : n - 1 - d);
  orv_prefetch_sibling_leaf(mc, move_right);
}

void sub_unposition(ORV_cursor *mc) {
  if (mc->mc_xcursor != nullptr) mc->mc_xcursor->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
}

// The value of the node the cursor just landed on: with duplicates, the
// sub-cursor is loaded and set on the first (or last) value, which is what
// data receives; otherwise the node's own value when data is asked for.
int land_value(ORV_cursor *mc, ORV_node *node, ORV_val *data, bool last) {
  if (int rc = orv_leaf_node_check(mc, cursor_page(mc), node); rc != 0) return rc;
  if (node->mn_flags & F_DUPDATA) {
    if (int rc = orv_cursor_dups_load(mc, node); rc != 0) return rc;
    ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
    return last ? orv_cursor_last(sub, data, nullptr) : orv_cursor_first(sub, data, nullptr);
  }
  sub_unposition(mc);
  return data != nullptr ? orv_node_value(mc, node, data) : 0;
}

void leaf2_key_out(const ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_val *key) {
  if (key == nullptr) return;
  key->mv_size = mc->mc_db->md_pad;
  key->mv_data = leaf2_key(mp, i, mc->mc_db->md_pad);
}

}  // namespace

void orv_prefetch_sibling_leaf(const ORV_cursor *mc, bool move_right) {
  const ORV_env *env = mc->mc_txn->mt_env;
  if (mc->mc_top == 0) return;
  const ORV_page *parent = mc->mc_pg[mc->mc_top - 1];
  const unsigned k = mc->mc_ki[mc->mc_top - 1];
  if (move_right ? k + 1u >= numkeys(parent) : k == 0) return;
  // The parent was read on the way here; only the node's bounds are checked.
  const size_t ofs = mp_ptrs(parent)[move_right ? k + 1 : k - 1];
  if (ofs + NODESIZE > env->me_psize) return;
  const auto *node = reinterpret_cast<const ORV_node *>(page_bytes(parent) + ofs);
  if (const void *next =
          orv_map_page_hint(env->me_map, env->me_maxpg, env->me_psize, node_pgno(node));
      next != nullptr)
    orv_prefetch_page_head(next);
}

int orv_cursor_dups_load(ORV_cursor *mc, ORV_node *node) {
  // Duplicates in a database that does not keep them can only come from a
  // damaged page.
  if (mc->mc_xcursor == nullptr || !(mc->mc_db->md_flags & ORV_DUPSORT)) return ORV_CORRUPTED;
  if (int rc = orv_leaf_node_check(mc, cursor_page(mc), node); rc != 0) return rc;
  return orv_xcursor_load(mc, node);
}

int orv_cursor_sibling(ORV_cursor *mc, int move_right) {
  if (mc->mc_snum < 2) return ORV_NOTFOUND;  // the root has no siblings
  --mc->mc_snum;
  --mc->mc_top;
  ORV_page *parent = cursor_page(mc);
  const bool at_edge =
      move_right ? mc->mc_ki[mc->mc_top] + 1u >= numkeys(parent) : mc->mc_ki[mc->mc_top] == 0;
  if (at_edge) {
    if (int rc = orv_cursor_sibling(mc, move_right); rc != 0) {
      ++mc->mc_top;
      ++mc->mc_snum;
      return rc;
    }
  } else if (move_right) {
    ++mc->mc_ki[mc->mc_top];
  } else {
    --mc->mc_ki[mc->mc_top];
  }
  orv_assert(cursor_env(mc), IS_BRANCH(mc->mc_pg[mc->mc_top]));

  parent = cursor_page(mc);
  ORV_page *child;
  // The neighbour replaces the page one level down and must be of its kind.
  if (int rc = orv_tree_page_get(mc, parent, cursor_slot(mc), mc->mc_pg[mc->mc_snum], &child);
      rc != 0) {
    mc->mc_flags &= ~(C_INITIALIZED | C_EOF);
    return rc;
  }
  // The depth is what it was before the pop, so the push cannot overflow.
  mc->mc_top = mc->mc_snum++;
  mc->mc_pg[mc->mc_top] = child;
  mc->mc_ki[mc->mc_top] = 0;
  if (!move_right) {
    const unsigned n = numkeys(child);
    mc->mc_ki[mc->mc_top] = static_cast<indx_t>(n > 0 ? n - 1 : 0);
  }
  if (is_leaf(child)) prefetch_on_enter(mc, move_right);
  return 0;
}

int orv_cursor_first(ORV_cursor *mc, ORV_val *key, ORV_val *data) {
  sub_unposition(mc);
  if (!(mc->mc_flags & C_INITIALIZED) || mc->mc_top > 0) {
    if (int rc = orv_page_search(mc, nullptr, ORV_PS_FIRST); rc != 0) return rc;
  }
  orv_assert(cursor_env(mc), IS_LEAF(mc->mc_pg[mc->mc_top]));
  ORV_page *mp = cursor_page(mc);
  mc->mc_flags |= C_INITIALIZED;
  // On the first entry, not before one that followed a deleted entry.
  mc->mc_flags &= ~(C_EOF | C_DEL);
  mc->mc_ki[mc->mc_top] = 0;
  if (numkeys(mp) == 0) {  // an emptied root leaf
    mc->mc_flags |= C_EOF;
    return ORV_NOTFOUND;
  }
  if (is_leaf2(mp)) {
    leaf2_key_out(mc, mp, 0, key);
    return 0;
  }
  if (int rc = land_value(mc, node_ptr(mp, 0), data, false); rc != 0) return rc;
  return orv_cursor_read_key(mc, mp, 0, key);
}

int orv_cursor_last(ORV_cursor *mc, ORV_val *key, ORV_val *data) {
  sub_unposition(mc);
  if (!(mc->mc_flags & C_INITIALIZED) || mc->mc_top > 0) {
    if (int rc = orv_page_search(mc, nullptr, ORV_PS_LAST); rc != 0) return rc;
  }
  orv_assert(cursor_env(mc), IS_LEAF(mc->mc_pg[mc->mc_top]));
  ORV_page *mp = cursor_page(mc);
  const unsigned n = numkeys(mp);
  mc->mc_flags |= C_INITIALIZED | C_EOF;
  mc->mc_flags &= ~C_DEL;
  if (n == 0) {
    mc->mc_ki[mc->mc_top] = 0;
    return ORV_NOTFOUND;
  }
  mc->mc_ki[mc->mc_top] = static_cast<indx_t>(n - 1);
  if (is_leaf2(mp)) {
    leaf2_key_out(mc, mp, n - 1, key);
    return 0;
  }
  if (int rc = land_value(mc, node_ptr(mp, n - 1), data, true); rc != 0) return rc;
  return orv_cursor_read_key(mc, mp, n - 1, key);
}

int orv_cursor_next(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op) {
  if (op == ORV_NEXT_DUP && (mc->mc_flags & C_DEL)) return ORV_NOTFOUND;
  if (!(mc->mc_flags & C_INITIALIZED)) return orv_cursor_first(mc, key, data);

  ORV_page *mp = cursor_page(mc);
  if (mc->mc_flags & C_EOF) {
    // On the last key, values may have joined it (or the one under the
    // sub-cursor may have been deleted) since the step that failed: the
    // sub-cursor decides.
    const bool dups = (mc->mc_db->md_flags & ORV_DUPSORT) && cursor_slot(mc) < numkeys(mp) &&
                      !is_leaf2(mp) && (node_ptr(mp, cursor_slot(mc))->mn_flags & F_DUPDATA);
    if (cursor_slot(mc) + 1u >= numkeys(mp) && !dups) return ORV_NOTFOUND;
    mc->mc_flags &= ~C_EOF;
  }

  if ((mc->mc_db->md_flags & ORV_DUPSORT) && cursor_slot(mc) < numkeys(mp)) {
    ORV_node *node = node_ptr(mp, cursor_slot(mc));
    if (node->mn_flags & F_DUPDATA) {
      if (op == ORV_NEXT || op == ORV_NEXT_DUP) {
        int rc = orv_cursor_next(&mc->mc_xcursor->mx_cursor, data, nullptr, ORV_NEXT);
        if (rc == 0) {
          // Still on the same key: hand it out again.
          const indx_t slot = cursor_slot(mc);
          if (mc->mc_keypg == mp->mp_pgno && mc->mc_keyslot == slot &&
              (mc->mc_db->md_flags & ORV_PREFIXKEY)) {
            if (key != nullptr) *key = mc->mc_key;
          } else if (int rc2 = orv_cursor_read_key(mc, mp, slot, key ? key : &mc->mc_key);
                     rc2 != 0) {
            return rc2;
          }
          mc->mc_prevpg = mp->mp_pgno;
          mc->mc_prevslot = slot;
          return 0;
        }
        if (rc != ORV_NOTFOUND || op == ORV_NEXT_DUP) return rc;
      }
    } else {
      sub_unposition(mc);
      if (op == ORV_NEXT_DUP) return ORV_NOTFOUND;
    }
  }

  if ((mc->mc_flags & C_DEL) && cursor_slot(mc) < numkeys(mp)) {
    // The deletion already moved the following entry under the cursor.
    mc->mc_flags &= ~C_DEL;
  } else {
    mc->mc_flags &= ~C_DEL;
    if (cursor_slot(mc) + 1u < numkeys(mp)) {
      ++mc->mc_ki[mc->mc_top];
      prefetch_slot(mc, mp, long{cursor_slot(mc)} + kStepAhead);
    } else if (int rc = orv_cursor_sibling(mc, 1); rc != 0) {
      mc->mc_flags |= C_EOF;
      return rc;
    }
  }
  mp = cursor_page(mc);
  const unsigned i = cursor_slot(mc);
  if (is_leaf2(mp)) {
    leaf2_key_out(mc, mp, i, key);
    return 0;
  }
  orv_assert(cursor_env(mc), IS_LEAF(mp));
  if (i >= numkeys(mp)) return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);  // empty leaf
  if (int rc = land_value(mc, node_ptr(mp, i), data, false); rc != 0) return rc;

  if (key == nullptr || i == 0) {
    orv_cursor_keys_reset(mc);
    mc->mc_flags &= ~(C_SEQNEXT | C_RANKVALID);
    mc->mc_rank = 0;
    mc->mc_rank_dup = 0;
    if (key == nullptr) return 0;
    if (int rc = orv_cursor_read_key(mc, mp, i, key); rc != 0) {
      orv_cursor_keys_reset(mc);
      return rc;
    }
  } else {
    // Sequential step: the previous slot's key may still be in the buffer.
    mc->mc_flags |= C_SEQNEXT;
    mc->mc_prevpg = mp->mp_pgno;
    mc->mc_prevslot = static_cast<indx_t>(i - 1);
    int rc = orv_cursor_read_key(mc, mp, i, key);
    mc->mc_flags &= ~C_SEQNEXT;
    if (rc != 0) {
      orv_cursor_keys_reset(mc);
      mc->mc_flags &= ~C_RANKVALID;
      mc->mc_rank = 0;
      mc->mc_rank_dup = 0;
      return rc;
    }
  }
  mc->mc_prevpg = mp->mp_pgno;
  mc->mc_prevslot = static_cast<indx_t>(i);
  return 0;
}

int orv_cursor_prev(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op) {
  if (!(mc->mc_flags & C_INITIALIZED)) {
    if (int rc = orv_cursor_last(mc, key, data); rc != 0) return rc;
    ++mc->mc_ki[mc->mc_top];  // so that the step below lands on the last slot
  }

  ORV_page *mp = cursor_page(mc);
  if ((mc->mc_db->md_flags & ORV_DUPSORT) && cursor_slot(mc) < numkeys(mp)) {
    ORV_node *node = node_ptr(mp, cursor_slot(mc));
    if (node->mn_flags & F_DUPDATA) {
      if (op == ORV_PREV || op == ORV_PREV_DUP) {
        int rc = orv_cursor_prev(&mc->mc_xcursor->mx_cursor, data, nullptr, ORV_PREV);
        if (op != ORV_PREV || rc != ORV_NOTFOUND) {
          if (rc == 0) {
            rc = orv_cursor_read_key(mc, mp, cursor_slot(mc), key);
            mc->mc_flags &= ~C_EOF;
          }
          return rc;
        }
      }
    } else {
      sub_unposition(mc);
      if (op == ORV_PREV_DUP) return ORV_NOTFOUND;
    }
  }

  mc->mc_flags &= ~(C_EOF | C_DEL);
  if (cursor_slot(mc) > 0) {
    --mc->mc_ki[mc->mc_top];
    prefetch_slot(mc, mp, long{cursor_slot(mc)} - kStepAhead);
  } else if (int rc = orv_cursor_sibling(mc, 0); rc != 0) {
    return rc;
  }
  mp = cursor_page(mc);
  if (!is_leaf(mp)) return ORV_CORRUPTED;
  const unsigned i = cursor_slot(mc);
  if (is_leaf2(mp)) {
    leaf2_key_out(mc, mp, i, key);
    return 0;
  }
  if (i >= numkeys(mp)) return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);  // empty leaf
  if (int rc = land_value(mc, node_ptr(mp, i), data, true); rc != 0) return rc;
  // A step back decodes like a step forward: straight into the key buffer,
  // reusing what the buffer shares with the page's first key when it holds
  // the following slot of the same page. Onto another page there is nothing
  // to reuse, and the key is still decoded straight into the buffer: laying
  // out a page key cache for one key of each page would cost a walk more
  // than the decoding itself.
  mc->mc_flags |= C_SEQNEXT;
  int rc = orv_cursor_read_key(mc, mp, i, key);
  mc->mc_flags &= ~C_SEQNEXT;
  return rc;
}
