// Writing a key/value pair: orv_put, orv_cursor_put and the write path they
// share, orv_cursor_put0.
//
// A write checks everything that depends only on the request first, so a
// refusal changes nothing and leaves the transaction usable. It then
// positions the cursor (the key exists or not), spills dirty pages if room
// runs short, makes the path writable, and either replaces the value in
// place, or removes the node and adds it anew, splitting the page when the
// node does not fit. Once a page has changed, any failure marks the
// transaction failed: a half-done write can only be aborted. Committed
// pages are never written: an overflow run is reused only when it is
// writable in this transaction.
//
// Every successful write leaves the cursor on the written entry, keeps
// md_entries and, in counted trees, every branch count on the path exact,
// and moves the other cursors of the transaction that stand on the changed
// page to where their entries went.
//
// Sorted duplicates (ORV_DUPSORT) join this path where put_dup() is called.
// Prefix-compressed keys are encoded by the node layer (orv_node_add), which
// rewrites a page whose first key changes; such a rewrite can need more
// room than the plain node size tells (every key re-encoded against a new
// first key), and when it does not fit it changes nothing and the write
// splits the page instead.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

// Flags the exported cursor write accepts.
constexpr unsigned kCursorPutFlags = ORV_PUT_FLAGS | ORV_CURRENT | ORV_MULTIPLE;
// Request bits that travel on into orv_node_add.
constexpr unsigned kNodeAddFlags = F_DUPDATA | F_SUBDATA | ORV_RESERVE | ORV_APPEND;

constexpr size_t kMaxValueSize = 0xFFFFFFFFu;

// Whether [p, p + size) overlaps [base, base + len).
bool overlaps(const void *p, size_t size, const void *base, size_t len) {
  auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
  return size && p && a < b + len && a + size > b;
}

// Whether bytes lie in a buffer the cursor (or its sub-cursor) rewrites
// while it searches or steps: its key buffer or its page key cache. A key
// the cursor handed out earlier lives there.
bool in_cursor_buffers(const ORV_cursor *mc, const void *p, size_t size) {
  for (const ORV_cursor *c = mc; c != nullptr;
       c = c->mc_xcursor != nullptr ? &c->mc_xcursor->mx_cursor : nullptr) {
    if (overlaps(p, size, c->mc_keybuf, sizeof c->mc_keybuf) ||
        overlaps(p, size, c->mc_pkc_store, c->mc_pkc_store_cap))
      return true;
    if (c->mc_flags & C_SUB) break;
  }
  return false;
}

// Refusals that depend only on the request and the database's flags.
int check_request(const ORV_cursor *mc, const ORV_val *key, const ORV_val *data, unsigned flags) {
  const ORV_db *db = mc->mc_db;
  if (key->mv_size == 0 || key->mv_size > ORV_MAXKEYSIZE) return ORV_BAD_VALSIZE;
  if (key->mv_size && !key->mv_data) return EINVAL;
  size_t dmax = (db->md_flags & ORV_DUPSORT) ? ORV_MAXKEYSIZE : kMaxValueSize;
  if (!(flags & ORV_MULTIPLE) && data->mv_size > dmax) return ORV_BAD_VALSIZE;
  if (!(flags & (ORV_RESERVE | ORV_MULTIPLE | F_BIGDATA)) && data->mv_size && !data->mv_data)
    return EINVAL;
  // A value of a sorted-duplicate set is a key of its value tree: reserving
  // it would sort bytes that do not exist yet.
  if ((flags & ORV_RESERVE) && (db->md_flags & ORV_DUPSORT)) return EINVAL;
  // Fixed-size values in a value tree (the sub-cursor's keys).
  if ((mc->mc_flags & C_SUB) && (db->md_flags & ORV_DUPFIXED) && db->md_pad &&
      key->mv_size != db->md_pad)
    return ORV_BAD_VALSIZE;
  return 0;
}

// ORV_CURRENT: the cursor must stand on an entry, and the key given must be
// that entry's key, or the write would break the key order.
int check_current(ORV_cursor *mc, const ORV_val *key) {
  if (!(mc->mc_flags & C_INITIALIZED) || mc->mc_snum == 0) return EINVAL;
  ORV_page *mp = cursor_page(mc);
  unsigned ki = cursor_slot(mc);
  if (!is_leaf(mp) || ki >= numkeys(mp)) return EINVAL;
  ORV_val cur;
  if (orv_page_is_prefix(mc, mp)) {
    if (int rc = orv_cursor_read_key(mc, mp, ki, &cur); rc != 0) return rc;
  } else {
    cur = orv_slot_key(mp, ki);
  }
  bool same = cur.mv_size == key->mv_size &&
              (key->mv_size == 0 || std::memcmp(cur.mv_data, key->mv_data, key->mv_size) == 0);
  if (!same && mc->mc_dbx->md_cmp(key, &cur) != 0) return EINVAL;
  return 0;
}

// After a node was added or replaced on mp, the other cursors standing on
// mp move past a new slot and re-read their sub-page pointers (the node
// area moved).
void fix_cursors_after_add(ORV_cursor *mc, ORV_page *mp, unsigned ki, bool insert_key) {
  const unsigned top = mc->mc_top;
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_DEEP>(mc, [&](ORV_cursor *m) {
    if (m->mc_pg[top] != mp) return;
    if (insert_key && m->mc_ki[top] >= ki) m->mc_ki[top]++;
    orv_xcursor_repoint(m, top);
  });
}

// The first key of a leaf below the root changed bytes (but not order): the
// separator of the nearest ancestor slot that is not 0 names it.
int update_separator(ORV_cursor *mc, const ORV_val *key) {
  if (mc->mc_top == 0 || cursor_slot(mc) != 0) return 0;
  unsigned top = mc->mc_top;
  unsigned l = top - 1;
  while (l > 0 && mc->mc_ki[l] == 0) l--;
  if (mc->mc_ki[l] == 0) return 0;
  mc->mc_top = static_cast<uint16_t>(l);
  int rc = orv_update_key(mc, key);
  mc->mc_top = static_cast<uint16_t>(top);
  return rc;
}

// Existing key whose value is replaced (no duplicates involved). Returns 0
// with *done set when the value was written in place; otherwise the node
// has been removed and the caller adds it anew. An overflow run that the
// new value is read from is handed back in *free_after, to be freed once
// the value has been copied.
int replace_value(ORV_cursor *mc, ORV_val *key, ORV_val *data, unsigned flags, bool *done,
                  ORV_page **free_after) {
  ORV_env *env = cursor_env(mc);
  ORV_page *mp = cursor_page(mc);
  ORV_node *node = node_ptr(mp, cursor_slot(mc));
  *done = false;
  *free_after = nullptr;

  if (node->mn_flags & F_BIGDATA) {
    ORV_page *omp;
    int level;
    pgno_t pg = load_u64(node_data(node));
    if (int rc = orv_page_get(mc, pg, &omp, &level); rc != 0) return rc;
    if (mp_pages(omp) >= ovpages(env->me_psize, data->mv_size)) {
      // Large enough: rewrite it if this transaction may; a run of a
      // committed snapshot is never written in place.
      ORV_page *wp = nullptr;
      if (int rc = orv_page_writable(mc, omp, level, &wp); rc != 0) return rc;
      if (wp) {
        set_node_dsize(node, data->mv_size);
        if (flags & ORV_RESERVE)
          data->mv_data = page_data(wp);
        else if (data->mv_size)
          std::memmove(page_data(wp), data->mv_data, data->mv_size);
        *done = true;
        return 0;
      }
    }
    if (!(flags & ORV_RESERVE) &&
        overlaps(data->mv_data, data->mv_size, omp, size_t{mp_pages(omp)} * env->me_psize))
      *free_after = omp;
    else if (int rc = orv_ovpage_free(mc, omp); rc != 0)
      return rc;
  } else if (data->mv_size == node_dsize(node)) {
    if (mc->mc_flags & C_SUB) {
      // In a value tree the value is the key itself; equal under the
      // comparator, its bytes may still differ. On a prefix-compressed page
      // the stored bytes are not the key (above slot 0), and slot 0 is what
      // every other key is encoded against: only identical bytes stay.
      if (orv_page_is_prefix(mc, mp)) {
        ORV_val cur;
        if (int rc = orv_cursor_read_key(mc, mp, cursor_slot(mc), &cur); rc != 0) return rc;
        if (cur.mv_size == key->mv_size &&
            std::memcmp(cur.mv_data, key->mv_data, key->mv_size) == 0) {
          *done = true;
          return 0;
        }
        return orv_node_del(mc, 0);
      }
      if (node->mn_ksize != key->mv_size) return orv_node_del(mc, 0);
      std::memmove(node_key(node, NODESIZE), key->mv_data, key->mv_size);
      if (int rc = update_separator(mc, key); rc != 0) return rc;
    } else if (flags & ORV_RESERVE) {
      data->mv_data = node_data(node);
    } else if (data->mv_size) {
      std::memmove(node_data(node), data->mv_data, data->mv_size);
    }
    *done = true;
    return 0;
  }
  if (orv_page_is_prefix(mc, mp) && cursor_slot(mc) == 0 && numkeys(mp) > 1) {
    // The first key keeps its bytes but its node changes size. Removing it
    // and adding it back would re-encode the page twice; one rewrite with
    // the node replaced does it. A page that no longer fits is split below.
    const unsigned nflags = flags & (F_SUBDATA | F_DUPDATA | ORV_RESERVE);
    int rc = orv_prefix_page_rebuild(mc, mp, 0, 0, key, data, nflags);
    if (rc == 0) {
      orv_prefix_keys_forget(mc, mp);
      if (*free_after != nullptr) {
        rc = orv_ovpage_free(mc, *free_after);
        *free_after = nullptr;
      }
      *done = rc == 0;
      return rc;
    }
    if (rc != ORV_PAGE_FULL) return rc;
    // Without the node the others may not fit either (a non-bytewise order
    // re-encodes them against a key sharing less): split with the node
    // replaced in one step.
    size_t size = 0;
    if (rc = orv_prefix_page_plan(mc, mp, 0, 0, nullptr, nullptr, 0, &size); rc != 0) return rc;
    if (size > orv_prefix_psize(mc, mp)) {
      rc = orv_page_split(mc, key, data, P_INVALID, nflags | ORV_SPLIT_REPLACE | ORV_SPLIT_DEL0);
      if (rc == 0 && *free_after != nullptr) {
        rc = orv_ovpage_free(mc, *free_after);
        *free_after = nullptr;
      }
      *done = rc == 0;
      return rc;
    }
  }
  return orv_node_del(mc, 0);
}

// Existing key in a database with sorted duplicates: the value joins the
// key's value set (or replaces it under ORV_CURRENT).
int put_dup(ORV_cursor *, ORV_val *, ORV_val *, unsigned, uint64_t *) { return ORV_INCOMPATIBLE; }

}  // namespace

namespace {

// One write between its steps. The key and value are the caller's, or
// copies in kbuf / me_pbuf when they live where the write moves bytes.
struct PutState {
  ORV_val wkey;
  ORV_val wdata;
  uint64_t dcount = 0;  // ORV_MULTIPLE: number of values given
  int found = 0;        // 0: the key exists; ORV_NOTFOUND: insert at the
                        // slot; ORV_NO_ROOT: the tree is empty
  char kbuf[ORV_MAXKEYSIZE];
};

// Refusals that need no positioning: transaction state, interrupt and the
// request itself.
int put_refuse(ORV_cursor *mc, const ORV_val *key, const ORV_val *data, unsigned flags) {
  ORV_txn *txn = mc->mc_txn;
  if (txn_is_rdonly(txn)) return EACCES;
  if (txn->mt_flags & ORV_TXN_BLOCKED)
    return (txn->mt_flags & ORV_TXN_ERROR) && txn->mt_error ? txn->mt_error : ORV_BAD_TXN;
  if (txn->mt_env->me_interrupt.load(std::memory_order_relaxed)) return orv_txn_fail(txn, EINTR);
  return check_request(mc, key, data, flags);
}

// Positions the cursor and sets st.found. Returns 0, ORV_KEYEXIST (the
// existing value in *data under ORV_NOOVERWRITE) or the search's error.
int put_position(ORV_cursor *mc, PutState &st, ORV_val *data, unsigned flags) {
  const ORV_val *key = &st.wkey;
  if (!(flags & ORV_CURRENT) && (*mc->mc_dbflag & DB_STALE)) {
    // The record of a named database may be stale; an empty-looking stale
    // record must not get a new root.
    const int rc = orv_page_search(mc, nullptr, ORV_PS_ROOTONLY);
    if (rc != 0 && rc != ORV_NOTFOUND) return rc;
  }
  if (flags & ORV_CURRENT) {
    st.found = 0;
    return check_current(mc, key);
  }
  if (mc->mc_db->md_root == P_INVALID) {
    mc->mc_snum = 0;
    mc->mc_top = 0;
    mc->mc_flags &= ~C_INITIALIZED;
    st.found = ORV_NO_ROOT;
    return 0;
  }
  if (flags & ORV_APPEND) {
    ORV_val last;
    const int rc = orv_cursor_last(mc, &last, nullptr);
    if (rc == 0) {
      if (mc->mc_dbx->md_cmp(key, &last) <= 0) return ORV_KEYEXIST;
      mc->mc_ki[mc->mc_top]++;
      st.found = ORV_NOTFOUND;
      return 0;
    }
    if (rc != ORV_NOTFOUND) return rc;
    st.found = ORV_NOTFOUND;
    return 0;
  }
  ORV_val old{};
  int exact = 0;
  const bool want = flags & ORV_NOOVERWRITE;
  const int rc = orv_cursor_set(mc, &st.wkey, want ? &old : nullptr, ORV_SET, &exact);
  if (rc == 0 && want) {
    *data = old;
    return ORV_KEYEXIST;
  }
  if (rc != 0 && rc != ORV_NOTFOUND) return rc;
  st.found = rc;
  return 0;
}

// The last refusals, which change nothing: a named-database record cannot
// be overwritten by plain data, nor plain data by a record; duplicate sets
// are not written yet.
int put_refuse_positioned(ORV_cursor *mc, const PutState &st, const ORV_val *data, unsigned flags) {
  if (st.found == 0 && !is_leaf2(cursor_page(mc))) {
    ORV_node *node = node_ptr(cursor_page(mc), cursor_slot(mc));
    bool is_record = (node->mn_flags & (F_SUBDATA | F_DUPDATA)) == F_SUBDATA;
    if (is_record != static_cast<bool>(flags & F_SUBDATA)) return ORV_INCOMPATIBLE;
  }
  if (mc->mc_db->md_flags & ORV_DUPSORT) {
    // A value joining an existing key's set, several values at once, or a
    // first value that needs a value tree of its own take the duplicate
    // path (put_dup), which this write path does not drive yet: refuse
    // before anything changes.
    const bool too_big =
        even(st.wkey.mv_size) + data->mv_size + NODESIZE > cursor_env(mc)->me_nodemax;
    if (st.found == 0 || (flags & ORV_MULTIPLE) || too_big) return ORV_INCOMPATIBLE;
  }
  return 0;
}

// Spills if room runs short, then makes the path writable or grows the
// first leaf of an empty tree; copies the key and value aside when they
// lie on the leaf that is about to change.
int put_make_room(ORV_cursor *mc, PutState &st, const ORV_val *data, unsigned flags) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  ORV_db *db = mc->mc_db;
  mc->mc_flags &= ~C_DEL;
  if (!(flags & ORV_NOSPILL)) {
    ORV_val need = *data;
    if (flags & ORV_MULTIPLE) need.mv_size *= st.dcount;
    if (int rc = orv_page_spill(mc, &st.wkey, &need); rc != 0) return rc;
  }
  if (st.found == ORV_NO_ROOT) {
    ORV_page *np;
    if (int rc = orv_page_new(mc, P_LEAF, 1, &np); rc != 0) return orv_txn_fail(txn, rc);
    // Fixed-size pages only for the value tree of a key (the sub-cursor's
    // tree): a database opened with ORV_DUPFIXED alone stores whole nodes.
    if ((mc->mc_flags & C_SUB) && (db->md_flags & (ORV_DUPSORT | ORV_DUPFIXED)) == ORV_DUPFIXED) {
      np->mp_flags |= P_LEAF2;
      np->mp_pad = static_cast<uint16_t>(db->md_pad);
    }
    mc->mc_pg[0] = np;
    mc->mc_ki[0] = 0;
    mc->mc_snum = 1;
    mc->mc_top = 0;
    db->md_root = np->mp_pgno;
    db->md_depth++;
    *mc->mc_dbflag |= DB_DIRTY;
    mc->mc_flags |= C_INITIALIZED;
    st.found = ORV_NOTFOUND;
  } else if (int rc = orv_cursor_touch(mc); rc != 0) {
    return rc;
  }

  // The key or value may be bytes an earlier read handed out from this very
  // leaf; moving nodes or splitting would shift them under the write, so
  // such bytes are copied aside first.
  ORV_page *mp = cursor_page(mc);
  st.wdata = *data;
  if (overlaps(st.wkey.mv_data, st.wkey.mv_size, mp, env->me_psize)) {
    std::memcpy(st.kbuf, st.wkey.mv_data, st.wkey.mv_size);
    st.wkey.mv_data = st.kbuf;
  }
  if (!(flags & (ORV_RESERVE | ORV_MULTIPLE)) &&
      overlaps(st.wdata.mv_data, st.wdata.mv_size, mp, env->me_psize) &&
      st.wdata.mv_size <= env->me_psize) {
    std::memcpy(env->me_pbuf, st.wdata.mv_data, st.wdata.mv_size);
    st.wdata.mv_data = env->me_pbuf;
  }
  return 0;
}

// A new node at the cursor's slot (or the replaced node added anew),
// splitting the page when it does not fit.
int put_node(ORV_cursor *mc, PutState &st, unsigned flags, bool *did_split) {
  const bool insert_key = st.found == ORV_NOTFOUND;
  ORV_page *mp = cursor_page(mc);
  unsigned nflags = flags & kNodeAddFlags;
  size_t nsize =
      is_leaf2(mp) ? st.wkey.mv_size : orv_leaf_size(mc, mp, cursor_slot(mc), &st.wkey, &st.wdata);
  bool split = nsize > size_left(mp);
  int rc = 0;
  if (!split) {
    unsigned ki = cursor_slot(mc);
    rc = orv_node_add(mc, ki, &st.wkey, &st.wdata, 0, nflags, nullptr, 0);
    if (rc == 0) fix_cursors_after_add(mc, mp, ki, insert_key);
    // A new first key re-encodes the page, which may then not fit; that
    // rewrite changed nothing and did not fail the transaction.
    split = rc == ORV_PAGE_FULL && !(mc->mc_txn->mt_flags & ORV_TXN_ERROR);
  }
  if (split) {
    if (!insert_key) nflags |= ORV_SPLIT_REPLACE;
    rc = orv_page_split(mc, &st.wkey, &st.wdata, P_INVALID, nflags);
    *did_split = true;
  }
  return rc;
}

// Keeps md_entries and the counts exact after a successful write.
void put_account(ORV_cursor *mc, const PutState &st, uint64_t inserted, bool did_split) {
  ORV_db *db = mc->mc_db;
  db->md_entries += inserted;
  if (st.found == ORV_NOTFOUND) mc->mc_flags |= C_INITIALIZED;
  mc->mc_flags &= ~C_EOF;
  if ((db->md_flags & ORV_COUNTED) && (inserted || did_split))
    orv_page_update_counts(mc, cursor_page(mc), did_split, static_cast<int64_t>(inserted));
}

}  // namespace

int orv_cursor_put0(ORV_cursor *mc, ORV_val *key, ORV_val *data, unsigned flags) {
  if (!mc || !key || !data) return EINVAL;
  ORV_txn *txn = mc->mc_txn;
  ORV_db *db = mc->mc_db;
  PutState st;
  if (flags & ORV_MULTIPLE) {
    if (!(db->md_flags & ORV_DUPFIXED)) return ORV_INCOMPATIBLE;
    // The count of stored values goes back in data[1].mv_size, which is
    // zeroed once nothing can refuse the write any more.
    st.dcount = data[1].mv_size;
  }
  if (int rc = put_refuse(mc, key, data, flags); rc != 0) return rc;

  // A key this cursor handed out lives in its own buffers, which the
  // positioning below rewrites: write from a copy.
  st.wkey = *key;
  if (in_cursor_buffers(mc, st.wkey.mv_data, st.wkey.mv_size)) {
    std::memcpy(st.kbuf, st.wkey.mv_data, st.wkey.mv_size);
    st.wkey.mv_data = st.kbuf;
  }
  if (int rc = put_position(mc, st, data, flags); rc != 0) return rc;
  if (int rc = put_refuse_positioned(mc, st, data, flags); rc != 0) return rc;

  if (flags & ORV_MULTIPLE) data[1].mv_size = 0;
  if (int rc = put_make_room(mc, st, data, flags); rc != 0) return rc;
  flags &= ~ORV_NOSPILL;

  uint64_t inserted = st.found == ORV_NOTFOUND ? 1 : 0;
  bool did_split = false;
  ORV_page *free_after = nullptr;
  int rc = 0;
  if (st.found == 0) {
    ORV_page *mp = cursor_page(mc);
    if (is_leaf2(mp)) {
      // A tree of fixed-size values: the element is the value itself.
      std::memmove(leaf2_key(mp, cursor_slot(mc), db->md_pad), st.wkey.mv_data, db->md_pad);
      rc = update_separator(mc, &st.wkey);
      return rc ? orv_txn_fail(txn, rc) : 0;
    }
    if (db->md_flags & ORV_DUPSORT) {
      rc = put_dup(mc, &st.wkey, data, flags, &inserted);
      if (rc == ORV_KEYEXIST) return rc;
      if (rc != 0) return orv_txn_fail(txn, rc);
      if (flags & ORV_RESERVE) data->mv_data = st.wdata.mv_data;
      put_account(mc, st, inserted, did_split);
      return 0;
    }
    bool written = false;
    rc = replace_value(mc, &st.wkey, &st.wdata, flags, &written, &free_after);
    if (rc != 0) return orv_txn_fail(txn, rc);
    if (written) {
      if (flags & ORV_RESERVE) data->mv_data = st.wdata.mv_data;
      put_account(mc, st, inserted, did_split);
      return 0;
    }
  }
  rc = put_node(mc, st, flags, &did_split);
  if (rc == 0 && free_after) rc = orv_ovpage_free(mc, free_after);
  if (rc != 0) return orv_txn_fail(txn, rc);
  if (flags & ORV_RESERVE) data->mv_data = st.wdata.mv_data;
  put_account(mc, st, inserted, did_split);
  return 0;
}

extern "C" ORV_API int orv_cursor_put(ORV_cursor *mc, ORV_val *key, ORV_val *data,
                                      unsigned int flags) noexcept {
  if (!mc || (flags & ~kCursorPutFlags)) return EINVAL;
  return orv_cursor_put0(mc, key, data, flags);
}

extern "C" ORV_API int orv_put(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data,
                               unsigned int flags) noexcept {
  if (!txn || !key || !data) return EINVAL;
  if (flags & ~ORV_PUT_FLAGS) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  if (txn_is_rdonly(txn)) return EACCES;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;

  // A temporary cursor, tracked so that splits and the fix-ups of other
  // cursors see it.
  ORV_cursor mc{};
  ORV_xcursor mx{};
  orv_cursor_init(&mc, txn, dbi, &mx);
  int rc;
  {
    ORV_cursor_tracker track(&mc);
    rc = orv_cursor_put0(&mc, key, data, flags);
  }
  orv_pkc_free(&mc);
  orv_pkc_free(&mx.mx_cursor);
  return rc;
}
