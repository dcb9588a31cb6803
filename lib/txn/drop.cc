// Database drop: orv_drop (empty a database, or delete a named one) and the
// page walk orv_drop0 that frees every page of a tree at once.
//
// The walk frees a tree level by level without visiting entries one by one:
// each branch page puts the page numbers of its children on the
// transaction's free list, and the root goes last. Leaves are read only
// when they can name pages of their own:
//  - overflow runs (F_BIGDATA), counted down by md_overflow_pages, so the
//    scan of the leaf level stops once the last run is found;
//  - value trees of duplicate keys (F_SUBDATA in an ORV_DUPSORT tree),
//    freed through the sub-cursor;
//  - named-database records in the main database (F_SUBDATA there): the
//    trees they describe become unreachable when the main database is
//    emptied, so they are freed with it.
// The freed pages stay readable for older snapshots and become reusable
// after commit like any other freed page.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"
#include "txn/txn.h"

namespace {

void cursor_unposition(ORV_cursor *mc) { mc->mc_flags &= ~(C_INITIALIZED | C_EOF); }

// Every cursor of the transaction on dbi (and its sub-cursor) loses its
// position: the pages it stood on are gone.
void cursors_unposition(ORV_txn *txn, ORV_dbi dbi) {
  if (txn->mt_cursors == nullptr) return;
  for (ORV_cursor *m = txn->mt_cursors[dbi]; m != nullptr; m = m->mc_next) {
    cursor_unposition(m);
    if (m->mc_xcursor != nullptr) cursor_unposition(&m->mc_xcursor->mx_cursor);
  }
}

// The open handle of this transaction whose name is name, or 0.
ORV_dbi slot_named(ORV_txn *txn, const ORV_val &name) {
  for (ORV_dbi i = CORE_DBS; i < txn->mt_dbcount; i++) {
    // A slot deleted here may share its name with the one created since.
    if (txn->mt_dbflags[i] & DB_DELETED) continue;
    const ORV_val &n = txn->mt_dbxs[i].md_name;
    if (n.mv_size == name.mv_size && n.mv_size != 0 &&
        std::memcmp(n.mv_data, name.mv_data, n.mv_size) == 0)
      return i;
  }
  return 0;
}

// Frees the tree of the named database whose record is node (slot i of
// the main database's leaf mp, under the walking cursor mc). A handle this
// transaction holds on the name has the newest record (its tree may have
// changed, or already been emptied, since the stored record was written);
// otherwise the stored record is current.
int drop_named(ORV_cursor *mc, ORV_page *mp, unsigned i, ORV_node *node) {
  ORV_txn *txn = mc->mc_txn;
  if (node_dsize(node) != sizeof(ORV_db)) return ORV_CORRUPTED;
  ORV_val name;
  if (int rc = orv_cursor_read_key(mc, mp, i, &name); rc != 0) return rc;

  ORV_db rec;
  std::memcpy(&rec, node_data(node), sizeof rec);
  if (ORV_dbi slot = slot_named(txn, name);
      slot != 0 && (txn->mt_dbflags[slot] & DB_VALID) && !(txn->mt_dbflags[slot] & DB_STALE))
    rec = txn->mt_dbs[slot];
  if (rec.md_root == P_INVALID) return 0;

  // A bare cursor over the record: it is in no list and touches nothing.
  ORV_cursor sub;
  ORV_xcursor sx;
  std::memset(static_cast<void *>(&sub), 0, sizeof sub);
  std::memset(static_cast<void *>(&sx), 0, sizeof sx);
  uint8_t state = DB_VALID;
  ORV_dbx dbx{};
  dbx.md_cmp = orv_default_key_cmp(rec.md_flags);
  dbx.md_dcmp = orv_default_dup_cmp(rec.md_flags);
  sub.mc_txn = txn;
  sub.mc_dbi = MAIN_DBI;
  sub.mc_db = &rec;
  sub.mc_dbx = &dbx;
  sub.mc_dbflag = &state;
  sub.mc_flags = txn->mt_flags & (C_ORIG_RDONLY | C_WRITEMAP);
  sub.mc_key.mv_data = sub.mc_keybuf;
  sub.mc_pkc_pg = P_INVALID;
  const bool dups = rec.md_flags & ORV_DUPSORT;
  if (dups) {
    sub.mc_xcursor = &sx;
    orv_xcursor_init0(&sub);
  }
  int rc = orv_drop0(&sub, dups);
  orv_pkc_free(&sub);
  if (dups) orv_pkc_free(&sx.mx_cursor);
  return rc;
}

// Appends the child page numbers of branch page mp to the free list.
int free_children(ORV_txn *txn, ORV_page *mp) {
  const unsigned n = numkeys(mp);
  if (int rc = orv_idl_need(&txn->mt_free_pgs, n); rc != 0) return rc;
  ORV_IDL fl = txn->mt_free_pgs;
  for (unsigned i = 0; i < n; i++) fl[++fl[0]] = node_pgno(node_ptr(mp, i));
  return 0;
}

// Frees what the nodes of leaf mp name beyond the tree's own pages.
// *level_done is set when the rest of the leaf level needs no reading.
int free_leaf_refs(ORV_cursor *mc, ORV_page *mp, int subs, bool named, bool *level_done) {
  ORV_txn *txn = mc->mc_txn;
  ORV_db *db = mc->mc_db;
  const bool overflow_only = !subs && !named;
  *level_done = false;
  if (is_leaf2(mp)) return 0;
  for (unsigned i = 0, n = numkeys(mp); i < n; i++) {
    // Nodes and runs named by a leaf come from the file: damage is
    // reported rather than trusted.
    if (!orv_node_in_page(mp, txn->mt_env->me_psize, i, true))
      return orv_txn_fail(txn, ORV_CORRUPTED);
    ORV_node *node = node_ptr(mp, i);
    if (node->mn_flags & F_BIGDATA) {
      ORV_page *omp;
      if (int rc = orv_overflow_page_get(mc, node, &omp); rc != 0) return rc;
      const uint32_t npages = mp_pages(omp);
      if (int rc = orv_idl_append_range(&txn->mt_free_pgs, omp->mp_pgno, npages); rc != 0)
        return rc;
      db->md_overflow_pages = db->md_overflow_pages > npages ? db->md_overflow_pages - npages : 0;
    } else if ((node->mn_flags & F_SUBDATA) && subs) {
      // A value tree's record; anything else under F_SUBDATA here is damage.
      if (!(node->mn_flags & F_DUPDATA) || node_dsize(node) != sizeof(ORV_db)) return ORV_CORRUPTED;
      if (int rc = orv_xcursor_load(mc, node); rc != 0) return rc;
      if (int rc = orv_drop0(&mc->mc_xcursor->mx_cursor, 0); rc != 0) return rc;
    } else if ((node->mn_flags & (F_SUBDATA | F_DUPDATA)) == F_SUBDATA && named) {
      if (int rc = drop_named(mc, mp, i, node); rc != 0) return rc;
    }
    if (overflow_only && db->md_overflow_pages == 0) break;
  }
  *level_done = overflow_only && db->md_overflow_pages == 0;
  return 0;
}

// The walk of orv_drop0 once the cursor stands on the leftmost path.
int drop_levels(ORV_cursor *mc, int subs, bool named) {
  ORV_txn *txn = mc->mc_txn;
  ORV_page *leftmost[ORV_CURSOR_STACK];
  for (unsigned l = 0; l < mc->mc_snum; l++) leftmost[l] = mc->mc_pg[l];

  while (mc->mc_snum > 0) {
    ORV_page *mp = cursor_page(mc);
    bool level_done = false;
    if (is_leaf(mp)) {
      if (int rc = free_leaf_refs(mc, mp, subs, named, &level_done); rc != 0) return rc;
    } else {
      if (int rc = free_children(txn, mp); rc != 0) return rc;
    }
    if (mc->mc_top == 0) break;  // the root level is a single page

    int rc = level_done ? ORV_NOTFOUND : orv_cursor_sibling(mc, 1);
    if (rc == 0) continue;
    if (rc != ORV_NOTFOUND) return rc;
    // This level is done: go on with the leftmost page of the one above,
    // with the path to it reset to the leftmost one for the sibling steps.
    mc->mc_snum--;
    mc->mc_top--;
    for (unsigned l = 0; l <= mc->mc_top; l++) {
      mc->mc_pg[l] = leftmost[l];
      mc->mc_ki[l] = 0;
    }
  }
  return orv_idl_append(&txn->mt_free_pgs, mc->mc_db->md_root);
}

// Argument and state checks of orv_drop, in the order the interface
// documents them.
int drop_check(ORV_txn *txn, ORV_dbi dbi, int del) {
  if ((del != 0 && del != 1) || txn == nullptr || dbi >= txn->mt_dbcount ||
      !(txn->mt_dbflags[dbi] & DB_USRVALID))
    return EINVAL;
  if (txn_is_rdonly(txn)) return EACCES;
  if (txn->mt_dbiseqs[dbi] != txn->mt_env->me_dbiseqs[dbi]) return ORV_BAD_DBI;
  if (!(txn->mt_dbflags[dbi] & DB_VALID)) return EINVAL;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  if (dbi == FREE_DBI) return EINVAL;
  return 0;
}

// Makes the handle of a deleted database unusable in this transaction;
// the environment's handle is closed when the deletion commits.
void close_handle(ORV_txn *txn, ORV_dbi dbi) {
  cursors_unposition(txn, dbi);
  txn->mt_dbflags[dbi] = DB_STALE | DB_DELETED;
}

// Closes every named handle of the transaction: the main database, which
// held their records, was emptied.
void close_named_handles(ORV_txn *txn) {
  for (ORV_dbi i = CORE_DBS; i < txn->mt_dbcount; i++) {
    if (txn->mt_dbxs[i].md_name.mv_size != 0) close_handle(txn, i);
  }
}

// The record of an emptied tree: no pages, no entries; flags and md_pad
// stay. Written back at commit.
void record_reset(ORV_txn *txn, ORV_dbi dbi) {
  ORV_db &db = txn->mt_dbs[dbi];
  db.md_depth = 0;
  db.md_branch_pages = 0;
  db.md_leaf_pages = 0;
  db.md_overflow_pages = 0;
  db.md_entries = 0;
  db.md_root = P_INVALID;
  txn->mt_dbflags[dbi] |= DB_DIRTY;
  txn->mt_flags |= ORV_TXN_DIRTY;
}

}  // namespace

int orv_drop0(ORV_cursor *mc, int subs) {
  ORV_txn *txn = mc->mc_txn;
  int rc = orv_page_search(mc, nullptr, ORV_PS_FIRST);
  if (rc != 0) {
    cursor_unposition(mc);
    return rc == ORV_NOTFOUND ? 0 : rc;
  }
  const bool sub = mc->mc_flags & C_SUB;
  const bool named = !sub && mc->mc_dbi == MAIN_DBI;
  // Leaves that can name no page of their own are freed by their parents
  // without being read.
  if (sub || (!subs && !named && mc->mc_db->md_overflow_pages == 0)) {
    mc->mc_snum--;
    if (mc->mc_top > 0) mc->mc_top--;
  }
  rc = drop_levels(mc, sub ? 0 : subs, named);
  if (rc != 0) orv_txn_fail(txn, rc);
  cursor_unposition(mc);
  return rc;
}

extern "C" ORV_API int orv_drop(ORV_txn *txn, ORV_dbi dbi, int del) noexcept {
  if (int rc = drop_check(txn, dbi, del); rc != 0) return rc;

  ORV_cursor mc;
  ORV_xcursor mx;
  std::memset(static_cast<void *>(&mc), 0, sizeof mc);
  std::memset(static_cast<void *>(&mx), 0, sizeof mx);
  orv_cursor_init(&mc, txn, dbi, &mx);
  // Listed like an application cursor for the duration of the walk.
  ORV_cursor_tracker track(&mc);

  int rc = orv_drop0(&mc, (mc.mc_db->md_flags & ORV_DUPSORT) != 0);
  cursors_unposition(txn, dbi);

  if (rc == 0) {
    if (del == 1 && dbi >= CORE_DBS) {
      ORV_val name = txn->mt_dbxs[dbi].md_name;
      rc = orv_del0(txn, MAIN_DBI, &name, nullptr, F_SUBDATA);
      if (rc == 0) {
        close_handle(txn, dbi);
      } else {
        orv_txn_fail(txn, rc);
      }
    } else {
      record_reset(txn, dbi);
      if (dbi == MAIN_DBI) close_named_handles(txn);
    }
  }

  orv_pkc_free(&mx.mx_cursor);
  orv_pkc_free(&mc);
  return rc;
}
