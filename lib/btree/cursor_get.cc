// Retrieval: orv_cursor_get with its operation dispatch (orv_cursor_get0),
// keyed positioning (orv_cursor_set), orv_get and reading values
// (orv_node_read).
//
// Every key the cursor hands out goes through orv_cursor_read_key
// (cursor_key.cc), the one place that knows how keys are stored. Every value
// of a node with duplicates is reached through the sub-cursor
// (orv_cursor_dups_load).
//
// orv_cursor_set first tries the leaf the cursor already stands on (first,
// last and current key) and only descends from the root when the key lies
// elsewhere, so repeated nearby lookups cost one page. Lookups allocate
// nothing; orv_get uses a cursor on its own stack.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

void sub_unposition(ORV_cursor *mc) {
  if (mc->mc_xcursor != nullptr) mc->mc_xcursor->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
}

bool sub_positioned(const ORV_cursor *mc) {
  return mc->mc_xcursor != nullptr && (mc->mc_xcursor->mx_cursor.mc_flags & C_INITIALIZED);
}

// Whether the top page is the rightmost leaf: every level above stands on
// the last slot of its page.
bool on_right_edge(const ORV_cursor *mc) {
  for (unsigned l = 0; l < mc->mc_top; ++l)
    if (mc->mc_ki[l] + 1u < numkeys(mc->mc_pg[l])) return false;
  return true;
}

// The key of slot i of the top leaf as the comparator should see it.
int leaf_key(ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_val *out) {
  if (is_leaf2(mp)) {
    out->mv_size = mc->mc_db->md_pad;
    out->mv_data = leaf2_key(mp, i, mc->mc_db->md_pad);
    return 0;
  }
  return orv_cursor_read_key(mc, mp, i, out);
}

// Whether the key's bytes lie in a buffer this cursor rewrites while it
// searches a prefix-compressed tree: its key buffer or its page key cache.
bool key_in_cursor_buffers(const ORV_cursor *mc, const ORV_val *key) {
  const char *p = static_cast<const char *>(key->mv_data);
  const auto inside = [p](const char *base, uint64_t size) {
    return base != nullptr && p >= base && p < base + size;
  };
  return inside(mc->mc_keybuf, sizeof mc->mc_keybuf) ||
         inside(mc->mc_pkc_store, mc->mc_pkc_store_cap);
}

// Value handed out for ORV_GET_BOTH / ORV_GET_BOTH_RANGE on a node with one
// value: equal, or (range) the first value not less than data.
int match_single_value(ORV_cursor *mc, ORV_node *node, ORV_val *data, ORV_cursor_op op) {
  ORV_val stored;
  if (int rc = orv_node_read(mc, node, &stored); rc != 0) return rc;
  ORV_cmp_func dcmp = mc->mc_dbx->md_dcmp;
  if (dcmp == orv_cmp_uint32 && stored.mv_size == sizeof(uint64_t)) dcmp = orv_cmp_uint64;
  const int rc = dcmp(data, &stored);
  if (rc == 0 || (op == ORV_GET_BOTH_RANGE && rc < 0)) {
    *data = stored;
    return 0;
  }
  return ORV_NOTFOUND;
}

// Where a keyed positioning goes on after trying the cursor's current leaf.
enum class SetNext {
  kDescend,     // the key lies on another leaf: search from the root
  kSearchLeaf,  // the key lies inside the current leaf: search its slots
  kFound,       // the cursor stands on the answer already
  kReturn,      // the lookup ends here with the given result
};

// The fast path of a keyed positioning on a positioned cursor: the current
// leaf's first, last or current key, a key inside the leaf, or a key beyond
// an edge of the whole tree, answered without a descent.
SetNext set_on_current_page(ORV_cursor *mc, ORV_val *key, ORV_cursor_op op, int *exactp, int *exact,
                            int *result) {
  ORV_page *mp = cursor_page(mc);
  const unsigned n = numkeys(mp);
  if (n == 0) {
    mc->mc_ki[mc->mc_top] = 0;
    *result = ORV_NOTFOUND;
    return SetNext::kReturn;
  }
  ORV_val nodekey;
  if (int rc = leaf_key(mc, mp, 0, &nodekey); rc != 0) {
    *result = rc;
    return SetNext::kReturn;
  }
  int rc = mc->mc_dbx->md_cmp(key, &nodekey);
  if (rc == 0) {
    mc->mc_ki[mc->mc_top] = 0;
    *exact = 1;
    return SetNext::kFound;
  }
  if (rc < 0) {
    // Before this leaf's first key.
    if (mc->mc_top != 0) return SetNext::kDescend;
    mc->mc_ki[mc->mc_top] = 0;
    if (op == ORV_SET_RANGE && exactp == nullptr) return SetNext::kFound;
    *result = ORV_NOTFOUND;
    return SetNext::kReturn;
  }
  if (n > 1) {
    if (int rc2 = leaf_key(mc, mp, n - 1, &nodekey); rc2 != 0) {
      *result = rc2;
      return SetNext::kReturn;
    }
    rc = mc->mc_dbx->md_cmp(key, &nodekey);
    if (rc == 0) {
      mc->mc_ki[mc->mc_top] = static_cast<indx_t>(n - 1);
      *exact = 1;
      return SetNext::kFound;
    }
    if (rc < 0) {
      if (cursor_slot(mc) < n) {
        if (int rc2 = leaf_key(mc, mp, cursor_slot(mc), &nodekey); rc2 != 0) {
          *result = rc2;
          return SetNext::kReturn;
        }
        if (mc->mc_dbx->md_cmp(key, &nodekey) == 0) {
          *exact = 1;
          return SetNext::kFound;
        }
      }
      mc->mc_flags &= ~C_EOF;
      return SetNext::kSearchLeaf;
    }
  }
  // Beyond this leaf's last key.
  if (!on_right_edge(mc)) return SetNext::kDescend;
  mc->mc_ki[mc->mc_top] = static_cast<indx_t>(n);
  *result = ORV_NOTFOUND;
  return SetNext::kReturn;
}

// The descent from the root to the leaf where the key belongs.
int set_descend(ORV_cursor *mc, ORV_val *key) {
  if (int rc = orv_page_search(mc, key, 0); rc != 0) return rc;
  orv_assert(cursor_env(mc), IS_LEAF(mc->mc_pg[mc->mc_top]));
  return 0;
}

// The landing on the key within the leaf under the cursor: its slot, or the
// first key of the next leaf when the key is greater than every key here.
int set_land(ORV_cursor *mc, ORV_val *key, int *exactp, int *exact) {
  ORV_node *node = orv_node_search(mc, key, exact);
  if (node == nullptr && (mc->mc_txn->mt_flags & ORV_TXN_ERROR)) return mc->mc_txn->mt_error;
  if (exactp != nullptr && !*exact) return ORV_NOTFOUND;
  if (node == nullptr) {
    if (int rc = orv_cursor_sibling(mc, 1); rc != 0) {
      mc->mc_flags |= C_EOF;
      return rc;
    }
    orv_assert(cursor_env(mc), IS_LEAF(cursor_page(mc)));
  }
  return 0;
}

// The value of the node the cursor landed on: the first value of its
// duplicates, the value equal to data (ORV_GET_BOTH) or the first not less
// than it (ORV_GET_BOTH_RANGE), or its single value.
int set_position_value(ORV_cursor *mc, ORV_node *node, ORV_val *data, ORV_cursor_op op) {
  if (node->mn_flags & F_DUPDATA) {
    if (int rc = orv_cursor_dups_load(mc, node); rc != 0) return rc;
    ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
    if (op == ORV_GET_BOTH) {
      int ex2 = 0;
      const int rc = orv_cursor_set(sub, data, nullptr, ORV_SET_RANGE, &ex2);
      return rc == 0 && !ex2 ? ORV_NOTFOUND : rc;
    }
    if (op == ORV_GET_BOTH_RANGE) return orv_cursor_set(sub, data, nullptr, ORV_SET_RANGE, nullptr);
    return orv_cursor_first(sub, data, nullptr);
  }
  if (data == nullptr) return 0;
  if (op == ORV_GET_BOTH || op == ORV_GET_BOTH_RANGE) return match_single_value(mc, node, data, op);
  sub_unposition(mc);
  return orv_node_read(mc, node, data);
}

// The cursor stands on its answer: mark it positioned, hand out the value
// and (for ORV_SET_KEY / ORV_SET_RANGE) the key found.
int set_found(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op, int *exactp,
              int exact) {
  mc->mc_flags |= C_INITIALIZED;
  mc->mc_flags &= ~C_EOF;
  if (exactp != nullptr) *exactp = exact;
  ORV_page *mp = cursor_page(mc);
  const unsigned i = cursor_slot(mc);
  if (i >= numkeys(mp)) return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);  // an empty leaf
  const bool hand_key = op == ORV_SET_KEY || op == ORV_SET_RANGE;
  if (is_leaf2(mp)) {
    if (hand_key) (void)leaf_key(mc, mp, i, key);
    return 0;
  }
  if (int rc = set_position_value(mc, node_ptr(mp, i), data, op); rc != 0) return rc;
  return hand_key ? orv_cursor_read_key(mc, mp, i, key) : 0;
}

// orv_cursor_set without the key copy of the duplicate-pair searches.
int cursor_set0(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op, int *exactp) {
  if (key->mv_size == 0 && !(mc->mc_flags & C_SUB)) return ORV_BAD_VALSIZE;
  sub_unposition(mc);
  // The steps after a search reuse the key state only from here on: what
  // it held may name a page number since freed and reused.
  if (mc->mc_db->md_flags & ORV_PREFIXKEY) orv_cursor_keys_reset(mc);
  if ((op == ORV_GET_BOTH || op == ORV_GET_BOTH_RANGE) && (mc->mc_db->md_flags & ORV_PREFIXKEY))
    mc->mc_flags &= ~C_INITIALIZED;

  int exact = 0;
  SetNext next = SetNext::kDescend;
  if (mc->mc_flags & C_INITIALIZED) {
    int result = 0;
    next = set_on_current_page(mc, key, op, exactp, &exact, &result);
    if (next == SetNext::kReturn) return result;
  } else {
    mc->mc_pg[0] = nullptr;  // look the root up afresh
  }
  if (next == SetNext::kDescend) {
    if (int rc = set_descend(mc, key); rc != 0) return rc;
    next = SetNext::kSearchLeaf;
  }
  if (next == SetNext::kSearchLeaf) {
    if (int rc = set_land(mc, key, exactp, &exact); rc != 0) return rc;
  }
  return set_found(mc, key, data, op, exactp, exact);
}

// ORV_GET_MULTIPLE and friends: the whole page of fixed-size values under
// the sub-cursor, leaving the sub-cursor on its last value.
void fetch_dup_page(ORV_cursor *mc, ORV_val *data) {
  ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
  ORV_page *mp = cursor_page(sub);
  const unsigned n = numkeys(mp);
  data->mv_size = size_t{n} * sub->mc_db->md_pad;
  data->mv_data = page_data(mp);
  sub->mc_ki[sub->mc_top] = static_cast<indx_t>(n > 0 ? n - 1 : 0);
}

int get_current(ORV_cursor *mc, ORV_val *key, ORV_val *data) {
  if (!(mc->mc_flags & C_INITIALIZED)) return EINVAL;
  ORV_page *mp = cursor_page(mc);
  const unsigned n = numkeys(mp);
  const unsigned i = cursor_slot(mc);
  if (n == 0 || i >= n) {
    mc->mc_ki[mc->mc_top] = static_cast<indx_t>(n);
    return ORV_NOTFOUND;
  }
  if (is_leaf2(mp)) {
    if (key != nullptr) (void)leaf_key(mc, mp, i, key);
    return 0;
  }
  if (key != nullptr) {
    if (int rc = orv_cursor_read_key(mc, mp, i, key); rc != 0) return rc;
  }
  if (data == nullptr) return 0;
  ORV_node *node = node_ptr(mp, i);
  if (node->mn_flags & F_DUPDATA) {
    if (mc->mc_xcursor == nullptr || !(mc->mc_db->md_flags & ORV_DUPSORT)) return ORV_CORRUPTED;
    return orv_cursor_get0(&mc->mc_xcursor->mx_cursor, data, nullptr, ORV_GET_CURRENT);
  }
  return orv_node_read(mc, node, data);
}

// ORV_FIRST_DUP / ORV_LAST_DUP.
int get_end_dup(ORV_cursor *mc, ORV_val *key, ORV_val *data, bool last) {
  if (data == nullptr || !(mc->mc_flags & C_INITIALIZED)) return EINVAL;
  if (mc->mc_xcursor == nullptr) return ORV_INCOMPATIBLE;
  ORV_page *mp = cursor_page(mc);
  const unsigned n = numkeys(mp);
  const unsigned i = cursor_slot(mc);
  if (i >= n) {
    mc->mc_ki[mc->mc_top] = static_cast<indx_t>(n);
    return ORV_NOTFOUND;
  }
  mc->mc_flags &= ~(C_EOF | C_RANKVALID);
  if (is_leaf2(mp)) return ORV_INCOMPATIBLE;  // fixed-size keys have no values
  ORV_node *node = node_ptr(mp, i);
  if (node->mn_flags & F_DUPDATA) {
    if (!sub_positioned(mc)) return EINVAL;
    ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
    int rc = last ? orv_cursor_last(sub, data, nullptr) : orv_cursor_first(sub, data, nullptr);
    if (rc != 0) return rc;
    return orv_cursor_read_key(mc, mp, i, key);
  }
  if (int rc = orv_cursor_read_key(mc, mp, i, key); rc != 0) return rc;
  return orv_node_read(mc, node, data);
}

}  // namespace

int orv_node_read(ORV_cursor *mc, ORV_node *leaf, ORV_val *data) {
  if (int rc = orv_leaf_node_check(mc, cursor_page(mc), leaf); rc != 0) return rc;
  return orv_node_value(mc, leaf, data);
}

int orv_node_value(ORV_cursor *mc, ORV_node *leaf, ORV_val *data) {
  const size_t size = node_dsize(leaf);
  if (!(leaf->mn_flags & F_BIGDATA)) {
    data->mv_size = size;
    data->mv_data = node_data(leaf);
    return 0;
  }
  ORV_page *omp;
  if (int rc = orv_overflow_page_get(mc, leaf, &omp); rc != 0) return rc;
  data->mv_size = size;
  data->mv_data = page_data(omp);
  return 0;
}

int orv_cursor_set(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op, int *exactp) {
  const bool both = op == ORV_GET_BOTH || op == ORV_GET_BOTH_RANGE;
  // On prefix-compressed trees the search rebuilds keys in the cursor's own
  // buffers. A key that lives there (typically one this cursor handed out
  // before) would be overwritten mid-search, so the search runs on a
  // private copy and the caller's descriptor is given back afterwards.
  if (!(mc->mc_db->md_flags & ORV_PREFIXKEY) || key->mv_size == 0 || key->mv_data == nullptr ||
      (!both && !key_in_cursor_buffers(mc, key)))
    return cursor_set0(mc, key, data, op, exactp);

  const ORV_val saved_key = *key;
  const ORV_val saved_data = data != nullptr ? *data : ORV_val{0, nullptr};
  char local[ORV_KEYBUF_MAX];
  void *copy = local;
  if (key->mv_size > sizeof local) {
    if (int rc = orv_txn_scratch(mc->mc_txn, key->mv_size, &copy); rc != 0) return rc;
  }
  std::memcpy(copy, key->mv_data, key->mv_size);
  key->mv_data = copy;
  int rc = cursor_set0(mc, key, data, op, exactp);
  if (!both) {
    // ORV_SET_KEY and ORV_SET_RANGE hand back the stored key on success.
    if (rc != 0 || op == ORV_SET) *key = saved_key;
    return rc;
  }
  if (rc == 0) {
    rc = orv_cursor_read_key(mc, cursor_page(mc), cursor_slot(mc), &mc->mc_key);
  } else if (rc == ORV_NOTFOUND) {
    orv_cursor_keys_reset(mc);
    mc->mc_flags &= ~(C_INITIALIZED | C_RANKVALID);
    mc->mc_rank = 0;
    mc->mc_rank_dup = 0;
    mc->mc_pg[0] = nullptr;
  }
  *key = saved_key;
  if (rc != 0 && data != nullptr) *data = saved_data;
  return rc;
}

int orv_cursor_get0(ORV_cursor *mc, ORV_val *key, ORV_val *data, ORV_cursor_op op) {
  if (op == ORV_GET_CURRENT) return get_current(mc, key, data);
  if (static_cast<unsigned>(op) > ORV_PREV_MULTIPLE) return EINVAL;

  mc->mc_flags &= ~C_RANKVALID;
  mc->mc_rank = 0;
  mc->mc_rank_dup = 0;
  const bool dupsort = mc->mc_db->md_flags & ORV_DUPSORT;
  const bool dupfixed = mc->mc_db->md_flags & ORV_DUPFIXED;
  const bool deleted = mc->mc_flags & C_DEL;
  int rc;
  int exact = 0;
  switch (op) {
    case ORV_FIRST:
      rc = orv_cursor_first(mc, key, data);
      break;
    case ORV_LAST:
      rc = orv_cursor_last(mc, key, data);
      break;
    case ORV_NEXT_DUP:
    case ORV_PREV_DUP:
      // Without duplicates every key has exactly one value: there is never
      // another value of the same key.
      if (!dupsort) {
        rc = ORV_NOTFOUND;
        break;
      }
      rc = op == ORV_NEXT_DUP ? orv_cursor_next(mc, key, data, op)
                              : orv_cursor_prev(mc, key, data, op);
      break;
    case ORV_NEXT:
    case ORV_NEXT_NODUP:
      rc = orv_cursor_next(mc, key, data, op);
      break;
    case ORV_PREV:
    case ORV_PREV_NODUP:
      rc = orv_cursor_prev(mc, key, data, op);
      break;
    case ORV_SET:
    case ORV_SET_KEY:
      rc = key == nullptr ? EINVAL : orv_cursor_set(mc, key, data, op, &exact);
      break;
    case ORV_SET_RANGE:
      rc = key == nullptr ? EINVAL : orv_cursor_set(mc, key, data, op, nullptr);
      break;
    case ORV_GET_BOTH:
    case ORV_GET_BOTH_RANGE:
      if (data == nullptr) {
        rc = EINVAL;
      } else if (mc->mc_xcursor == nullptr) {
        rc = ORV_INCOMPATIBLE;
      } else if (key == nullptr) {
        rc = EINVAL;
      } else if (mc->mc_dbx->md_dcmp == nullptr) {
        // No value order to search by: a database without duplicates and
        // without an installed value comparator.
        rc = ORV_INCOMPATIBLE;
      } else {
        rc = orv_cursor_set(mc, key, data, op, &exact);
      }
      break;
    case ORV_FIRST_DUP:
    case ORV_LAST_DUP:
      rc = get_end_dup(mc, key, data, op == ORV_LAST_DUP);
      break;
    case ORV_GET_MULTIPLE:
      if (data == nullptr || !(mc->mc_flags & C_INITIALIZED)) {
        rc = EINVAL;
      } else if (!dupfixed || mc->mc_xcursor == nullptr) {
        rc = ORV_INCOMPATIBLE;
      } else {
        rc = 0;
        // The page of the value under the sub-cursor, also when that is the
        // last value (orv_cursor_last leaves C_EOF set on it).
        ORV_cursor *sub = &mc->mc_xcursor->mx_cursor;
        if ((sub->mc_flags & C_INITIALIZED) && sub->mc_snum > 0 &&
            cursor_slot(sub) < numkeys(cursor_page(sub)))
          fetch_dup_page(mc, data);
      }
      break;
    case ORV_NEXT_MULTIPLE:
      if (data == nullptr) {
        rc = EINVAL;
      } else if (!dupfixed || mc->mc_xcursor == nullptr) {
        rc = ORV_INCOMPATIBLE;
      } else {
        rc = orv_cursor_next(mc, key, data, ORV_NEXT_DUP);
        if (rc == 0) {
          if (sub_positioned(mc))
            fetch_dup_page(mc, data);
          else
            rc = ORV_NOTFOUND;
        }
      }
      break;
    case ORV_PREV_MULTIPLE:
      if (data == nullptr) {
        rc = EINVAL;
      } else if (!dupfixed || mc->mc_xcursor == nullptr) {
        rc = ORV_INCOMPATIBLE;
      } else {
        rc = 0;
        if (!(mc->mc_flags & C_INITIALIZED)) rc = orv_cursor_last(mc, key, data);
        if (rc == 0) {
          if (!sub_positioned(mc)) {
            rc = ORV_NOTFOUND;
          } else {
            rc = orv_cursor_sibling(&mc->mc_xcursor->mx_cursor, 0);
            if (rc == 0) fetch_dup_page(mc, data);
          }
        }
      }
      break;
    default:
      rc = EINVAL;
      break;
  }
  // A step within the key's values that found none did not move the
  // cursor: the entry that followed a deleted one is still under it and the
  // next forward step must not skip it.
  const bool stayed = (op == ORV_NEXT_DUP || op == ORV_PREV_DUP) && rc == ORV_NOTFOUND && deleted &&
                      (!dupsort || op == ORV_NEXT_DUP);
  if (!stayed) mc->mc_flags &= ~C_DEL;
  return rc;
}

int orv_cursor_val_detach(ORV_cursor *mc, ORV_val *val) {
  if (val == nullptr || val->mv_size == 0 || val->mv_data == nullptr) return 0;
  bool inside = key_in_cursor_buffers(mc, val);
  if (!inside && mc->mc_xcursor != nullptr)
    inside = key_in_cursor_buffers(&mc->mc_xcursor->mx_cursor, val);
  if (!inside) return 0;
  void *buf;
  if (int rc = orv_txn_scratch(mc->mc_txn, val->mv_size, &buf); rc != 0) return rc;
  std::memmove(buf, val->mv_data, val->mv_size);
  val->mv_data = buf;
  return 0;
}

// ---- Exported ------------------------------------------------------------------------

extern "C" ORV_API int orv_cursor_get(ORV_cursor *mc, ORV_val *key, ORV_val *data,
                                      ORV_cursor_op op) noexcept {
  if (mc == nullptr) return EINVAL;
  ORV_txn *txn = mc->mc_txn;
  if (int rc = orv_txn_state_check(txn); rc != 0) return rc;
  const int rc = orv_cursor_get0(mc, key, data, op);
  // A failed exact search leaves the internal position at the insertion
  // point (the write path relies on it). An application cursor must not keep
  // it: ORV_GET_CURRENT would return, and orv_cursor_del would delete, an
  // entry the caller was never shown.
  if (rc == ORV_NOTFOUND && (op == ORV_SET || op == ORV_SET_KEY || op == ORV_GET_BOTH)) {
    mc->mc_flags &= ~(C_INITIALIZED | C_EOF);
    if (mc->mc_xcursor != nullptr) mc->mc_xcursor->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
  }
  return rc;
}

extern "C" ORV_API int orv_get(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data) noexcept {
  if (txn == nullptr || key == nullptr || data == nullptr) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  if (int rc = orv_txn_state_check(txn); rc != 0) return rc;

  ORV_cursor mc;
  ORV_xcursor mx;
  orv_cursor_init_temp(&mc, txn, dbi, &mx);
  int exact = 0;
  // ORV_SET leaves the key descriptor alone; the value normally points
  // into a page, but nothing the caller gets may live in this cursor.
  int rc = orv_cursor_set(&mc, key, data, ORV_SET, &exact);
  if (rc == 0) rc = orv_cursor_val_detach(&mc, data);
  orv_pkc_free(&mc);
  orv_pkc_free(&mx.mx_cursor);
  return rc;
}
