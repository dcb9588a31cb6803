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
  // A value tree's keys are values, and a value may be empty.
  const bool empty_ok = mc->mc_flags & C_SUB;
  if ((key->mv_size == 0 && !empty_ok) || key->mv_size > ORV_MAXKEYSIZE) return ORV_BAD_VALSIZE;
  if (key->mv_size && !key->mv_data) return EINVAL;
  size_t dmax = (db->md_flags & ORV_DUPSORT) ? ORV_MAXKEYSIZE : kMaxValueSize;
  if (data->mv_size > dmax) return ORV_BAD_VALSIZE;
  if ((flags & ORV_MULTIPLE) && data[1].mv_size && data->mv_size && !data->mv_data) return EINVAL;
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
    if (rc != ORV_NO_FIT) return rc;
    // Without the node the others may not fit either (a non-bytewise order
    // re-encodes them against a key sharing less): split with the node
    // replaced in one step.
    size_t size = 0;
    if (rc = orv_prefix_page_plan(orv_page_ctx_of(mc), mp, 0, 0, nullptr, nullptr, 0, &size);
        rc != 0)
      return rc;
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

}  // namespace

namespace {

// One write between its steps. The key and value are the caller's, or
// copies in kbuf / me_pbuf when they live where the write moves bytes.
struct PutState {
  ORV_val wkey;
  ORV_val wdata;
  uint64_t dcount = 0;   // ORV_MULTIPLE: number of values given
  int found = 0;         // 0: the key exists; ORV_NOTFOUND: insert at the
                         // slot; ORV_NO_ROOT: the tree is empty
  bool changed = false;  // a duplicate write has begun to change nodes
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

// Size of the values the key under the cursor already has, for a database
// of fixed-size values. ORV_CORRUPTED when the node cannot hold what its
// flags say.
int dup_fixed_size(ORV_node *node, size_t *size_out) {
  const size_t dsize = node_dsize(node);
  switch (node->mn_flags & (F_DUPDATA | F_SUBDATA | F_BIGDATA)) {
    case 0:
      *size_out = dsize;
      return 0;
    case F_DUPDATA: {
      if (dsize < PAGEHDRSZ) return ORV_CORRUPTED;
      uint16_t pad;
      std::memcpy(&pad, static_cast<const char *>(node_data(node)) + offsetof(ORV_page, mp_pad),
                  sizeof pad);
      *size_out = pad;
      return 0;
    }
    case F_DUPDATA | F_SUBDATA: {
      if (dsize != sizeof(ORV_db)) return ORV_CORRUPTED;
      uint32_t pad;
      std::memcpy(&pad, static_cast<const char *>(node_data(node)) + offsetof(ORV_db, md_pad),
                  sizeof pad);
      *size_out = pad;
      return 0;
    }
    default:
      return ORV_CORRUPTED;
  }
}

// The last refusals, which change nothing: a named-database record cannot
// be overwritten by plain data, nor plain data by a record; a fixed-size
// value must have the size of the key's other values.
int put_refuse_positioned(ORV_cursor *mc, const PutState &st, const ORV_val *data, unsigned flags) {
  if (st.found != 0 || is_leaf2(cursor_page(mc))) return 0;
  ORV_node *node = node_ptr(cursor_page(mc), cursor_slot(mc));
  bool is_record = (node->mn_flags & (F_SUBDATA | F_DUPDATA)) == F_SUBDATA;
  if (is_record != static_cast<bool>(flags & F_SUBDATA)) return ORV_INCOMPATIBLE;
  const unsigned md_flags = mc->mc_db->md_flags;
  if ((md_flags & (ORV_DUPSORT | ORV_DUPFIXED)) == (ORV_DUPSORT | ORV_DUPFIXED)) {
    // Replacing the only value of a key leaves no other value to match.
    if ((flags & ORV_CURRENT) && !(flags & ORV_APPENDDUP) && !(node->mn_flags & F_DUPDATA))
      return 0;
    size_t have = 0;
    if (int rc = dup_fixed_size(node, &have); rc != 0) return rc;
    if (data->mv_size != have) return ORV_BAD_VALSIZE;
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
  size_t nsize = is_leaf2(mp)
                     ? st.wkey.mv_size
                     : orv_leaf_size(orv_page_ctx_of(mc), mp, cursor_slot(mc), &st.wkey, &st.wdata);
  // A sub-page has been given the room its value needs (a new first value
  // of a prefix-compressed one re-encodes the others, which the plain node
  // size does not tell): it never splits.
  bool split = nsize > size_left(mp) && !is_subp(mp);
  int rc = 0;
  if (!split) {
    unsigned ki = cursor_slot(mc);
    rc = orv_node_add(mc, ki, &st.wkey, &st.wdata, 0, nflags, nullptr, 0);
    if (rc == 0) fix_cursors_after_add(mc, mp, ki, insert_key);
    // A new first key re-encodes the page, which may then not fit; that
    // rewrite changed nothing and did not fail the transaction.
    split = rc == ORV_NO_FIT;
  }
  if (split && is_subp(mp)) {
    // A sub-page is grown by its key's write before a value goes in; one
    // that still lacks room cannot be split like a page.
    return ORV_PAGE_FULL;
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

// ---- Sorted duplicates -------------------------------------------------------------
//
// A key's values form a tree of their own whose keys are the values (data
// empty): one value is an ordinary leaf value; a second turns it into a
// sub-page inside the leaf node; a sub-page that would make the node larger
// than me_nodemax moves into a sub-database, whose 48-byte record becomes
// the node's value. The values are written through the sub-cursor with
// orv_cursor_put0 (ORV_NOSPILL: the spill check was done for the whole
// write). Everything that can refuse the write (ORV_KEYEXIST, EINVAL
// for ORV_CURRENT) is decided before a node changes; a failure later fails
// the transaction.

// The value order for comparing with a single value v: 4-byte integer
// values widen to 8 bytes when v is 8 bytes long.
ORV_cmp_func single_value_cmp(const ORV_cursor *mc, const ORV_val *v) {
  ORV_cmp_func cmp = mc->mc_dbx->md_dcmp;
  if (cmp == orv_cmp_uint32 && v->mv_size == sizeof(uint64_t)) cmp = orv_cmp_uint64;
  return cmp;
}

// Calls f(m) for every other positioned cursor standing on the key under mc.
template <typename F>
void each_on_key(ORV_cursor *mc, F &&f) {
  const unsigned top = mc->mc_top;
  ORV_page *mp = cursor_page(mc);
  const indx_t ki = cursor_slot(mc);
  orv_tracked_each<ORV_TRACK_OTHERS | ORV_TRACK_POSITIONED | ORV_TRACK_DEEP>(
      mc, [&](ORV_cursor *m) {
        if (m->mc_pg[top] == mp && m->mc_ki[top] == ki && m->mc_xcursor != nullptr) f(m);
      });
}

// Flags of the nested write of one value.
unsigned nested_flags(unsigned flags) {
  unsigned f = ORV_NOSPILL;
  if (flags & ORV_NODUPDATA) f |= ORV_NOOVERWRITE;
  if (flags & ORV_APPENDDUP) f |= ORV_APPEND;
  return f;
}

// Writes one value through mc's sub-cursor; *added receives how many values
// the key gained (0 or 1).
int nested_put(ORV_cursor *mc, PutState &st, ORV_val *value, unsigned nflags, uint64_t *added) {
  ORV_xcursor *mx = mc->mc_xcursor;
  st.changed = true;
  const uint64_t before = mx->mx_db.md_entries;
  ORV_val empty{0, nullptr};
  if (int rc = orv_cursor_put0(&mx->mx_cursor, value, &empty, nflags); rc != 0) return rc;
  *added += mx->mx_db.md_entries - before;
  return 0;
}

// Gives the key under mc a new node value (a grown sub-page, or a
// sub-database record) with node flags nflags. The cursor ends on the node,
// which a split may have moved to another page.
int dup_node_replace(ORV_cursor *mc, PutState &st, ORV_val *newdata, unsigned nflags,
                     bool *did_split) {
  st.changed = true;
  ORV_page *mp = cursor_page(mc);
  const unsigned ki = cursor_slot(mc);
  ORV_node *node = node_ptr(mp, ki);
  if (node_dsize(node) == newdata->mv_size) {
    std::memmove(node_data(node), newdata->mv_data, newdata->mv_size);
    node->mn_flags = static_cast<uint16_t>(nflags);
    return 0;
  }
  if (orv_page_is_prefix(mc, mp) && ki == 0 && numkeys(mp) > 1) {
    // The first node changes size: one rewrite of the page replaces it.
    int rc = orv_prefix_page_rebuild(mc, mp, 0, 0, &st.wkey, newdata, nflags);
    if (rc == 0) {
      orv_prefix_keys_forget(mc, mp);
      fix_cursors_after_add(mc, mp, 0, false);
      return 0;
    }
    if (rc != ORV_NO_FIT) return rc;
    size_t size = 0;
    if (rc = orv_prefix_page_plan(orv_page_ctx_of(mc), mp, 0, 0, nullptr, nullptr, 0, &size);
        rc != 0)
      return rc;
    if (size > orv_prefix_psize(mc, mp)) {
      *did_split = true;
      return orv_page_split(mc, &st.wkey, newdata, P_INVALID,
                            nflags | ORV_SPLIT_REPLACE | ORV_SPLIT_DEL0);
    }
  }
  if (int rc = orv_node_del(mc, 0); rc != 0) return rc;
  const ORV_val saved = st.wdata;
  st.wdata = *newdata;
  int rc = put_node(mc, st, nflags, did_split);
  st.wdata = saved;
  return rc;
}

// Points mc's sub-cursor at an empty sub-database of fixed-size values of
// vsize bytes (or of any size), unpositioned.
void subdb_begin(ORV_cursor *mc, size_t vsize) {
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  const unsigned md_flags = mc->mc_db->md_flags;
  ORV_db &db = mx->mx_db;
  db = ORV_db{};
  if (md_flags & ORV_DUPFIXED) {
    db.md_flags = ORV_DUPFIXED;
    if (md_flags & ORV_INTEGERDUP) db.md_flags |= ORV_INTEGERKEY;
    db.md_pad = static_cast<uint32_t>(vsize);
  }
  if (md_flags & ORV_PREFIXKEY) db.md_flags |= ORV_PREFIXKEY;
  if (md_flags & ORV_COUNTED) db.md_flags |= ORV_COUNTED;
  db.md_root = P_INVALID;
  orv_pkc_clear(sub);
  orv_cursor_keys_reset(sub);
  sub->mc_flags &= C_SUB | C_LONGLIVED | C_ORIG_RDONLY | C_WRITEMAP;
  sub->mc_snum = 0;
  sub->mc_top = 0;
  sub->mc_pg[0] = nullptr;
  sub->mc_ki[0] = 0;
  mx->mx_dbflag = DB_VALID | DB_USRVALID | DB_DUPDATA;
  mx->mx_subpage_size = 0;
  mx->mx_put_total = 0;
  mx->mx_put_pending = 0;
  ORV_cmp_func cmp = mc->mc_dbx->md_dcmp;
  if (cmp == orv_cmp_uint32 && db.md_pad == sizeof(uint64_t)) cmp = orv_cmp_uint64;
  mx->mx_dbx.md_cmp = cmp;
}

// Writes mx_db of mc's sub-cursor into the sub-database node under mc.
void subdb_record_store(ORV_cursor *mc) {
  ORV_node *node = node_ptr(cursor_page(mc), cursor_slot(mc));
  std::memcpy(node_data(node), &mc->mc_xcursor->mx_db, sizeof(ORV_db));
}

// Moves the values of the sub-page sp (size bytes, about to be replaced)
// into the first leaf of a new sub-database; the sub-cursor ends on that
// leaf at the slot it had. The node is rewritten by the caller.
int subdb_from_subpage(ORV_cursor *mc, const ORV_page *sp, size_t size) {
  ORV_env *env = cursor_env(mc);
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  const indx_t ki = sub->mc_ki[0];
  const bool dupfixed = is_leaf2(sp);
  subdb_begin(mc, dupfixed ? sp->mp_pad : 0);
  ORV_page *np;
  if (int rc = orv_page_new(sub, P_LEAF | (dupfixed ? P_LEAF2 : 0), 1, &np); rc != 0) return rc;
  const unsigned n = numkeys(sp);
  const size_t psize = env->me_psize;
  auto *dst = page_bytes(np);
  const auto *src = page_bytes(sp);
  if (dupfixed) {
    const size_t used = size_t{n} * sp->mp_pad;
    std::memcpy(dst + PAGEHDRSZ, src + PAGEHDRSZ, used);
    np->mp_pad = sp->mp_pad;
    np->mp_lower = static_cast<indx_t>(PAGEHDRSZ + n * sizeof(indx_t));
    np->mp_upper = static_cast<indx_t>(np->mp_lower + (psize - PAGEHDRSZ - used));
  } else {
    // Nodes keep their order and encoding (against the same first value):
    // the node area moves to the end of the page.
    const size_t shift = psize - size;
    std::memcpy(dst + sp->mp_upper + shift, src + sp->mp_upper, size - sp->mp_upper);
    for (unsigned i = 0; i < n; i++) mp_ptrs(np)[i] = static_cast<indx_t>(mp_ptrs(sp)[i] + shift);
    np->mp_pad = sp->mp_pad;
    np->mp_lower = sp->mp_lower;
    np->mp_upper = static_cast<indx_t>(sp->mp_upper + shift);
  }
  mx->mx_db.md_root = np->mp_pgno;
  mx->mx_db.md_depth = 1;
  mx->mx_db.md_entries = n;
  sub->mc_pg[0] = np;
  sub->mc_ki[0] = ki;
  sub->mc_snum = 1;
  sub->mc_top = 0;
  sub->mc_flags |= C_INITIALIZED;
  return 0;
}

// Bytes a prefix-compressed sub-page holding just a and b (a first) takes.
size_t prefix_pair_size(const ORV_val *a, const ORV_val *b) {
  const size_t shared = orv_prefix_shared(a, b);
  return PAGEHDRSZ + 2 * sizeof(indx_t) + leaf_node_size(a->mv_size, 0) +
         leaf_node_size(orv_prefix_key_size(b->mv_size, shared), 0);
}

// The key holds a single value: a different value turns it into a sub-page
// of both (or a sub-database when that would be too large).
int dup_from_single(ORV_cursor *mc, PutState &st, ORV_val *value, unsigned flags,
                    uint64_t *inserted, bool *did_split) {
  ORV_env *env = cursor_env(mc);
  ORV_page *mp = cursor_page(mc);
  ORV_node *node = node_ptr(mp, cursor_slot(mc));
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  const unsigned md_flags = mc->mc_db->md_flags;
  ORV_val stored;
  if (int rc = orv_node_read(mc, node, &stored); rc != 0) return rc;
  if (stored.mv_size > ORV_MAXKEYSIZE) return ORV_CORRUPTED;
  const int c = single_value_cmp(mc, &stored)(value, &stored);
  if (c == 0) {
    // The pair exists: nothing to write.
    if (flags & (ORV_NODUPDATA | ORV_APPENDDUP)) return ORV_KEYEXIST;
    sub->mc_flags &= ~(C_INITIALIZED | C_EOF);
    return 0;
  }
  if ((flags & ORV_APPENDDUP) && c < 0) return ORV_KEYEXIST;
  const bool dupfixed = md_flags & ORV_DUPFIXED;
  if (dupfixed && stored.mv_size != value->mv_size) return ORV_BAD_VALSIZE;

  // The old value lives in the node that is about to go.
  char obuf[ORV_MAXKEYSIZE];
  if (stored.mv_size) std::memcpy(obuf, stored.mv_data, stored.mv_size);
  ORV_val old{stored.mv_size, obuf};
  const unsigned old_index = c < 0 ? 1 : 0;  // where the old value ends up

  size_t size;
  bool to_subdb = false;
  if (dupfixed) {
    size = PAGEHDRSZ + 4 * value->mv_size;  // room for two more
  } else {
    size = PAGEHDRSZ + 2 * (NODESIZE + sizeof(indx_t)) + even(old.mv_size) + even(value->mv_size);
    if (md_flags & ORV_PREFIXKEY) {
      const size_t exact = c < 0 ? prefix_pair_size(value, &old) : prefix_pair_size(&old, value);
      if (exact > env->me_psize) to_subdb = true;
      if (exact > size) size = even(exact);
    }
  }
  if (NODESIZE + even(node->mn_ksize) + size > env->me_nodemax) to_subdb = true;

  uint64_t added = 0;
  if (!to_subdb) {
    auto *sp = reinterpret_cast<ORV_page *>(env->me_pbuf);
    int rc = orv_subpage_pair(mc, sp, size, &old, value);
    if (rc == ORV_NO_FIT) {
      to_subdb = true;
    } else if (rc != 0) {
      return rc;
    } else {
      ORV_val sdata{size, sp};
      if (rc = dup_node_replace(mc, st, &sdata, F_DUPDATA, did_split); rc != 0) return rc;
      ORV_node *nn = node_ptr(cursor_page(mc), cursor_slot(mc));
      if (rc = orv_xcursor_load(mc, nn); rc != 0) return rc;
      sub->mc_ki[0] = static_cast<indx_t>(1 - old_index);
      added = 1;
    }
  }
  if (to_subdb) {
    subdb_begin(mc, value->mv_size);
    ORV_val rec{sizeof(ORV_db), &mx->mx_db};
    ORV_db placeholder = mx->mx_db;
    rec.mv_data = &placeholder;
    if (int rc = dup_node_replace(mc, st, &rec, F_DUPDATA | F_SUBDATA, did_split); rc != 0)
      return rc;
    const unsigned nf = ORV_NOSPILL;
    uint64_t ignored = 0;
    if (int rc = nested_put(mc, st, &old, nf, &ignored); rc != 0) return rc;
    if (int rc = nested_put(mc, st, value, nf, &added); rc != 0) return rc;
    subdb_record_store(mc);
  }
  *inserted += added;
  // Cursors that stood on the old value stay on it.
  each_on_key(mc, [&](ORV_cursor *m) {
    orv_xcursor_refresh(m, sub, true);
    m->mc_xcursor->mx_cursor.mc_ki[0] = static_cast<indx_t>(old_index);
  });
  return 0;
}

// Space the sub-page sp needs beyond what it has for value at slot ki
// (replace: the value at ki is replaced). *to_subdb is set when the values
// must move to a sub-database instead.
int subpage_growth(ORV_cursor *mc, ORV_page *sp, unsigned ki, const ORV_val *value, bool replace,
                   size_t *growth, bool *to_subdb) {
  ORV_env *env = cursor_env(mc);
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  *growth = 0;
  if (is_leaf2(sp)) {
    if (!replace && size_left(sp) < sp->mp_pad) *growth = 4 * size_t{sp->mp_pad};
    return 0;
  }
  const ORV_val empty{0, nullptr};
  if (orv_page_is_prefix(sub, sp) && ki == 0) {
    // A new first value re-encodes every other value against it.
    size_t planned = 0;
    int rc = orv_prefix_page_plan(orv_page_ctx_of(sub), sp, replace ? 0 : ~0u, 0, value, &empty, 0,
                                  &planned);
    if (rc == ENOMEM) return rc;
    if (rc != 0 || planned > env->me_psize) {
      *to_subdb = true;
      return 0;
    }
    if (planned > mx->mx_subpage_size) *growth = even(planned - mx->mx_subpage_size);
    return 0;
  }
  const size_t need = orv_leaf_size(orv_page_ctx_of(sub), sp, ki, value, &empty);
  if (need > size_left(sp)) *growth = even(need - size_left(sp));
  return 0;
}

// The key holds a sub-page or a sub-database: the value joins it (or, with
// ORV_CURRENT, replaces the value under the sub-cursor, which must compare
// equal to it).
int dup_into_tree(ORV_cursor *mc, PutState &st, ORV_val *value, unsigned flags, uint64_t *inserted,
                  bool *did_split) {
  ORV_env *env = cursor_env(mc);
  ORV_page *mp = cursor_page(mc);
  ORV_node *node = node_ptr(mp, cursor_slot(mc));
  ORV_xcursor *mx = mc->mc_xcursor;
  ORV_cursor *sub = &mx->mx_cursor;
  const bool is_subdb = node->mn_flags & F_SUBDATA;
  const bool current = (flags & ORV_CURRENT) && !(flags & ORV_APPENDDUP);

  if (current) {
    if (!(sub->mc_flags & C_INITIALIZED)) return EINVAL;
    if (!is_subdb) {
      // The leaf was copied on write: load the sub-page again, same slot.
      const indx_t ki = sub->mc_ki[0];
      if (int rc = orv_xcursor_load(mc, node); rc != 0) return rc;
      if (ki >= numkeys(sub->mc_pg[0])) return EINVAL;
      sub->mc_ki[0] = ki;
    }
    ORV_val cur;
    if (int rc = orv_cursor_get0(sub, &cur, nullptr, ORV_GET_CURRENT); rc != 0)
      return rc == ORV_NOTFOUND ? EINVAL : rc;
    if (mx->mx_dbx.md_cmp(value, &cur) != 0) return EINVAL;
    if (cur.mv_size == value->mv_size &&
        (cur.mv_size == 0 || std::memcmp(cur.mv_data, value->mv_data, cur.mv_size) == 0))
      return 0;
  } else {
    if (int rc = orv_xcursor_load(mc, node); rc != 0) return rc;
    if (flags & ORV_APPENDDUP) {
      ORV_val last;
      if (int rc = orv_cursor_last(sub, &last, nullptr); rc != 0) return rc;
      if (mx->mx_dbx.md_cmp(value, &last) <= 0) return ORV_KEYEXIST;
      sub->mc_ki[sub->mc_top]++;
    } else {
      int exact = 0;
      int rc = orv_cursor_set(sub, value, nullptr, ORV_SET, &exact);
      if (rc == 0) {
        if (flags & ORV_NODUPDATA) return ORV_KEYEXIST;
        return 0;  // the pair exists: nothing to write
      }
      if (rc != ORV_NOTFOUND) return rc;
    }
  }
  const unsigned nflags = current ? (ORV_CURRENT | ORV_NOSPILL) : nested_flags(flags);

  if (is_subdb) {
    if (int rc = nested_put(mc, st, value, nflags, inserted); rc != 0) return rc;
    subdb_record_store(mc);
    each_on_key(mc, [&](ORV_cursor *m) { orv_xcursor_refresh(m, sub, false); });
    return 0;
  }

  auto *sp = sub->mc_pg[0];
  const size_t size = mx->mx_subpage_size;
  size_t growth = 0;
  bool to_subdb = false;
  if (int rc = subpage_growth(mc, sp, sub->mc_ki[0], value, current, &growth, &to_subdb); rc != 0)
    return rc;
  if (!to_subdb && growth > 0 && NODESIZE + even(node->mn_ksize) + size + growth > env->me_nodemax)
    to_subdb = true;

  if (to_subdb) {
    st.changed = true;
    if (int rc = subdb_from_subpage(mc, sp, size); rc != 0) return rc;
    ORV_db placeholder = mx->mx_db;
    ORV_val rec{sizeof(ORV_db), &placeholder};
    if (int rc = dup_node_replace(mc, st, &rec, F_DUPDATA | F_SUBDATA, did_split); rc != 0)
      return rc;
  } else if (growth > 0) {
    // The grown copy: header and slots in place, the node area (or, for
    // fixed-size values, the free end) moved up by the growth.
    auto *np = reinterpret_cast<ORV_page *>(env->me_pbuf);
    auto *dst = page_bytes(np);
    const auto *src = page_bytes(sp);
    const size_t nsize = size + growth;
    if (is_leaf2(sp)) {
      std::memcpy(dst, src, size);
      std::memset(dst + size, 0, growth);
    } else {
      std::memcpy(dst, src, sp->mp_lower);
      std::memset(dst + sp->mp_lower, 0, sp->mp_upper + growth - sp->mp_lower);
      std::memcpy(dst + sp->mp_upper + growth, src + sp->mp_upper, size - sp->mp_upper);
      for (unsigned i = 0, n = numkeys(np); i < n; i++)
        mp_ptrs(np)[i] = static_cast<indx_t>(mp_ptrs(np)[i] + growth);
    }
    np->mp_upper = static_cast<indx_t>(np->mp_upper + growth);
    np->mp_flags |= P_DIRTY;
    ORV_val sdata{nsize, np};
    if (int rc = dup_node_replace(mc, st, &sdata, F_DUPDATA, did_split); rc != 0) return rc;
    ORV_node *nn = node_ptr(cursor_page(mc), cursor_slot(mc));
    sub->mc_pg[0] = static_cast<ORV_page *>(node_data(nn));
    mx->mx_subpage_size = nsize;
  }
  if (!is_subdb && !to_subdb) {
    // Written in place from here on: dirty in this transaction, and
    // naming the leaf that holds it.
    ORV_page *cur = sub->mc_pg[0];
    cur->mp_flags |= P_DIRTY;
    cur->mp_pgno = cursor_page(mc)->mp_pgno;
    mx->mx_db.md_root = cur->mp_pgno;
  }
  // Other cursors on the key follow the values to where they are now, so
  // that the nested write moves their slots like this cursor's.
  each_on_key(mc, [&](ORV_cursor *m) { orv_xcursor_refresh(m, sub, false); });
  if (int rc = nested_put(mc, st, value, nflags, inserted); rc != 0) return rc;
  if (to_subdb) subdb_record_store(mc);
  each_on_key(mc, [&](ORV_cursor *m) { orv_xcursor_refresh(m, sub, false); });
  return 0;
}

// Existing key in a database with sorted duplicates: the value joins the
// key's values. The value is copied first: it may lie in me_pbuf (copied
// there by put_make_room) or in a node this write moves.
int put_dup(ORV_cursor *mc, PutState &st, unsigned flags, uint64_t *inserted, bool *did_split) {
  if (mc->mc_xcursor == nullptr) return ORV_INCOMPATIBLE;
  char vbuf[ORV_MAXKEYSIZE];
  if (st.wdata.mv_size > sizeof vbuf) return ORV_BAD_VALSIZE;
  if (st.wdata.mv_size) std::memcpy(vbuf, st.wdata.mv_data, st.wdata.mv_size);
  ORV_val value{st.wdata.mv_size, vbuf};
  ORV_node *node = node_ptr(cursor_page(mc), cursor_slot(mc));
  if (!(node->mn_flags & F_DUPDATA))
    return dup_from_single(mc, st, &value, flags, inserted, did_split);
  return dup_into_tree(mc, st, &value, flags, inserted, did_split);
}

// A new key whose first value is too large to share a node with it: the
// value goes straight into a sub-database of its own.
int put_new_subdb(ORV_cursor *mc, PutState &st, uint64_t *inserted, bool *did_split) {
  char vbuf[ORV_MAXKEYSIZE];
  if (st.wdata.mv_size > sizeof vbuf) return ORV_BAD_VALSIZE;
  if (st.wdata.mv_size) std::memcpy(vbuf, st.wdata.mv_data, st.wdata.mv_size);
  ORV_val value{st.wdata.mv_size, vbuf};
  subdb_begin(mc, value.mv_size);
  ORV_db placeholder = mc->mc_xcursor->mx_db;
  ORV_val rec{sizeof(ORV_db), &placeholder};
  const ORV_val saved = st.wdata;
  st.wdata = rec;
  int rc = put_node(mc, st, F_DUPDATA | F_SUBDATA, did_split);
  st.wdata = saved;
  if (rc != 0) return rc;
  uint64_t added = 0;
  if (rc = nested_put(mc, st, &value, ORV_NOSPILL, &added); rc != 0) return rc;
  subdb_record_store(mc);
  *inserted = 1;
  return 0;
}

}  // namespace

namespace {

// One value of a write, from positioning to accounting. flags may carry
// ORV_MULTIPLE only for the spill estimate of the first value.
int put_one(ORV_cursor *mc, PutState &st, ORV_val *key, ORV_val *data, unsigned flags) {
  ORV_txn *txn = mc->mc_txn;
  ORV_db *db = mc->mc_db;
  st.changed = false;
  // A key this cursor handed out lives in its own buffers, which the
  // positioning below rewrites: write from a copy.
  st.wkey = *key;
  if (in_cursor_buffers(mc, st.wkey.mv_data, st.wkey.mv_size)) {
    std::memcpy(st.kbuf, st.wkey.mv_data, st.wkey.mv_size);
    st.wkey.mv_data = st.kbuf;
  }
  if (int rc = put_position(mc, st, data, flags); rc != 0) return rc;
  if (int rc = put_refuse_positioned(mc, st, data, flags); rc != 0) return rc;

  if (int rc = put_make_room(mc, st, data, flags); rc != 0) return rc;
  flags &= ~(ORV_NOSPILL | ORV_MULTIPLE);

  uint64_t inserted = st.found == ORV_NOTFOUND ? 1 : 0;
  bool did_split = false;
  ORV_page *free_after = nullptr;
  int rc = 0;
  const bool dupsort = (db->md_flags & ORV_DUPSORT) && !(mc->mc_flags & C_SUB);
  if (st.found == 0) {
    ORV_page *mp = cursor_page(mc);
    if (is_leaf2(mp)) {
      // A tree of fixed-size values: the element is the value itself.
      std::memmove(leaf2_key(mp, cursor_slot(mc), db->md_pad), st.wkey.mv_data, db->md_pad);
      rc = update_separator(mc, &st.wkey);
      return rc ? orv_txn_fail(txn, rc) : 0;
    }
    const ORV_node *node = node_ptr(mp, cursor_slot(mc));
    const bool replace_single =
        (flags & ORV_CURRENT) && !(flags & ORV_APPENDDUP) && !(node->mn_flags & F_DUPDATA);
    if (dupsort && !replace_single) {
      rc = put_dup(mc, st, flags, &inserted, &did_split);
      // Refusals come before anything changed.
      if (!st.changed && (rc == ORV_KEYEXIST || rc == EINVAL || rc == ORV_BAD_VALSIZE)) return rc;
      if (rc != 0) return orv_txn_fail(txn, rc);
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
  } else if (dupsort &&
             even(st.wkey.mv_size) + st.wdata.mv_size + NODESIZE > cursor_env(mc)->me_nodemax) {
    rc = put_new_subdb(mc, st, &inserted, &did_split);
    if (rc != 0) return orv_txn_fail(txn, rc == ORV_KEYEXIST ? ORV_PROBLEM : rc);
    put_account(mc, st, inserted, did_split);
    return 0;
  }
  rc = put_node(mc, st, flags, &did_split);
  if (rc == 0 && free_after) rc = orv_ovpage_free(mc, free_after);
  if (rc != 0) return orv_txn_fail(txn, rc);
  if (flags & ORV_RESERVE) data->mv_data = st.wdata.mv_data;
  if (dupsort && mc->mc_xcursor != nullptr)
    mc->mc_xcursor->mx_cursor.mc_flags &= ~(C_INITIALIZED | C_EOF);
  put_account(mc, st, inserted, did_split);
  return 0;
}

}  // namespace

int orv_cursor_put0(ORV_cursor *mc, ORV_val *key, ORV_val *data, unsigned flags) {
  if (!mc || !key || !data) return EINVAL;
  ORV_db *db = mc->mc_db;
  PutState st;
  if (flags & ORV_MULTIPLE) {
    if (!(db->md_flags & ORV_DUPFIXED)) return ORV_INCOMPATIBLE;
    st.dcount = data[1].mv_size;
  }
  if (int rc = put_refuse(mc, key, data, flags); rc != 0) return rc;
  if (!(flags & ORV_MULTIPLE)) return put_one(mc, st, key, data, flags);

  // Several fixed-size values back to back in data[0], their number in
  // data[1].mv_size, which receives the number stored. The spill check
  // covers the whole block once.
  if (st.dcount == 0) {
    data[1].mv_size = 0;
    return 0;
  }
  const size_t vsize = data[0].mv_size;
  ORV_val one{vsize, data[0].mv_data};
  uint64_t stored = 0;
  unsigned f = flags;
  const uint64_t count = st.dcount;
  for (;;) {
    int rc = put_one(mc, st, key, &one, f);
    if (rc != 0) {
      if (stored > 0) data[1].mv_size = stored;
      return rc;
    }
    ++stored;
    data[1].mv_size = stored;
    data[0].mv_data = static_cast<char *>(data[0].mv_data) + vsize;
    if (stored >= count) return 0;
    one.mv_data = data[0].mv_data;
    f = (flags & ~ORV_MULTIPLE) | ORV_NOSPILL;
  }
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
  ORV_cursor mc;
  ORV_xcursor mx;
  orv_cursor_init_temp(&mc, txn, dbi, &mx);
  int rc;
  {
    ORV_cursor_tracker track(&mc);
    rc = orv_cursor_put0(&mc, key, data, flags);
  }
  orv_pkc_free(&mc);
  orv_pkc_free(&mx.mx_cursor);
  return rc;
}

int orv_subdb_from_subpage(ORV_cursor *mc, const ORV_page *sp, size_t size) {
  return subdb_from_subpage(mc, sp, size);
}
