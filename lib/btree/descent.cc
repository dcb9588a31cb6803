// Tree descent: orv_page_search, orv_page_search_root,
// orv_page_search_lowest, and the refresh of a stale named-database record.
//
// A descent fills the cursor's page stack from the root down to a leaf, so
// that afterwards mc_pg[l + 1] is the child named by slot mc_ki[l] of
// mc_pg[l] at every level. It is also the one place every tree access goes
// through, so it checks that the transaction is still usable, honours the
// environment's interrupt switch, and re-reads the record of a named
// database that a later commit may have changed before trusting its root.
//
// Keyed descent follows the usual B+tree rule: the separator of branch slot
// k is the smallest key below child k; slot 0's separator is never read; a
// key equal to a separator goes into that separator's child.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"

namespace {

// Checks every descent repeats: the transaction is usable and nobody asked
// the environment to stop.
int descent_check(ORV_cursor *mc) { return orv_txn_state_check(mc->mc_txn); }

// Pushes child on the stack with slot 0.
int stack_push(ORV_cursor *mc, ORV_page *child) {
  if (mc->mc_snum >= ORV_CURSOR_STACK) return orv_txn_fail(mc->mc_txn, ORV_CURSOR_FULL);
  mc->mc_top = mc->mc_snum++;
  mc->mc_pg[mc->mc_top] = child;
  mc->mc_ki[mc->mc_top] = 0;
  return 0;
}

// The walk below the top page. known_depth is the number of stack levels
// that held a valid path before this descent began: with ORV_PS_LAST a level
// already standing on the last slot may reuse the page recorded below it.
int search_root(ORV_cursor *mc, const ORV_val *key, int flags, unsigned known_depth) {
  if (int rc = descent_check(mc); rc != 0) return rc;
  ORV_env *env = cursor_env(mc);
  ORV_page *mp = cursor_page(mc);

  while (is_branch(mp)) {
    if (!orv_branch_keys_ok(mp, mc->mc_dbi == FREE_DBI))
      return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
    const unsigned nkeys = NUMKEYS(mp);
    unsigned i;
    if (flags & ORV_PS_LAST) {
      i = nkeys - 1;
      // Appending walks the same right edge again and again: when this
      // level still stands on its last slot and the level below is the
      // child it names, step down without a page lookup.
      const unsigned below = mc->mc_top + 1u;
      if ((mc->mc_flags & C_INITIALIZED) && mc->mc_ki[mc->mc_top] == i && below < known_depth &&
          mc->mc_pg[below] != nullptr && mc->mc_pg[below]->mp_pgno == node_pgno(node_ptr(mp, i))) {
        mc->mc_top = mc->mc_snum++;
        if (flags & ORV_PS_MODIFY) {
          if (int rc = orv_page_touch(mc); rc != 0) return rc;
        }
        mp = cursor_page(mc);
        continue;
      }
    } else if (flags & ORV_PS_FIRST) {
      i = 0;
    } else {
      int exact = 0;
      if (orv_node_search(mc, key, &exact) == nullptr) {
        // A key the page could not be searched for (a damaged node) has
        // failed the transaction already.
        if (mc->mc_txn->mt_flags & ORV_TXN_ERROR) return mc->mc_txn->mt_error;
        i = nkeys - 1;
      } else {
        i = cursor_slot(mc);
        if (!exact) {
          orv_assert(env, i > 0);
          --i;
        }
      }
    }
    orv_assert(env, i < NUMKEYS(mp));

    ORV_page *child;
    if (int rc = orv_tree_page_get(mc, mp, i, nullptr, &child); rc != 0) return rc;
    mc->mc_ki[mc->mc_top] = static_cast<indx_t>(i);
    if (int rc = stack_push(mc, child); rc != 0) return rc;
    if (flags & ORV_PS_MODIFY) {
      if (int rc = orv_page_touch(mc); rc != 0) return rc;
    }
    mp = cursor_page(mc);
  }

  if (!is_leaf(mp)) return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
  mc->mc_flags |= C_INITIALIZED;
  mc->mc_flags &= ~C_EOF;
  return 0;
}

}  // namespace

int orv_dbi_refresh(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  const ORV_dbi dbi = mc->mc_dbi;
  if (txn->mt_dbiseqs[dbi] != txn->mt_env->me_dbiseqs[dbi]) return ORV_BAD_DBI;
  // A main database with duplicates cannot hold database records, and a
  // cursor over it would need a sub-cursor.
  if (txn->mt_dbs[MAIN_DBI].md_flags & ORV_DUPSORT) return ORV_INCOMPATIBLE;

  ORV_cursor mc2{};
  orv_cursor_init(&mc2, txn, MAIN_DBI, nullptr);
  const ORV_val *name = &mc->mc_dbx->md_name;
  int rc = orv_page_search(&mc2, name, 0);
  ORV_node *node = nullptr;
  int exact = 0;
  ORV_val data;
  uint16_t stored_flags;
  if (rc == ORV_NOTFOUND) {
    rc = ORV_BAD_DBI;  // the main database is empty: the record is gone
    goto done;
  }
  if (rc != 0) goto done;
  node = orv_node_search(&mc2, name, &exact);
  if (node == nullptr && (txn->mt_flags & ORV_TXN_ERROR)) {
    rc = txn->mt_error;
    goto done;
  }
  if (node == nullptr || !exact) {
    rc = ORV_BAD_DBI;
    goto done;
  }
  if ((node->mn_flags & (F_SUBDATA | F_DUPDATA)) != F_SUBDATA) {
    rc = ORV_INCOMPATIBLE;
    goto done;
  }
  if (rc = orv_node_read(&mc2, node, &data); rc != 0) goto done;
  if (data.mv_size != sizeof(ORV_db)) {
    rc = ORV_CORRUPTED;
    goto done;
  }
  std::memcpy(&stored_flags, static_cast<const char *>(data.mv_data) + offsetof(ORV_db, md_flags),
              sizeof stored_flags);
  if (stored_flags != (mc->mc_db->md_flags & ORV_DB_PERSISTENT)) {
    rc = ORV_INCOMPATIBLE;
    goto done;
  }
  std::memcpy(mc->mc_db, data.mv_data, sizeof(ORV_db));
  *mc->mc_dbflag &= static_cast<uint8_t>(~DB_STALE);
done:
  orv_pkc_free(&mc2);
  return rc;
}

int orv_page_search(ORV_cursor *mc, const ORV_val *key, int flags) {
  if (int rc = descent_check(mc); rc != 0) return rc;
  if (*mc->mc_dbflag & DB_STALE) {
    if (int rc = orv_dbi_refresh(mc); rc != 0) return rc;
  }

  const pgno_t root = mc->mc_db->md_root;
  if (root == P_INVALID) return ORV_NOTFOUND;
  // Pages 0 and 1 are the meta pages: a root there is a damaged record.
  if (root < NUM_METAS) return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);

  // The levels of the previous path, for the last-slot shortcut below.
  const unsigned known_depth = (mc->mc_flags & C_INITIALIZED) ? mc->mc_snum : 0;
  // A root already on the stack is reused. An empty stack may still hold a
  // page pointer from an earlier tree (a sub-cursor reloaded for another
  // key), which is not trusted.
  if (mc->mc_snum == 0 || mc->mc_pg[0] == nullptr || mc->mc_pg[0]->mp_pgno != root) {
    ORV_page *mp;
    if (int rc = orv_page_get(mc, root, &mp, nullptr); rc != 0) return rc;
    if (int rc = orv_tree_page_check(mc, mp, root); rc != 0) return rc;
    mc->mc_pg[0] = mp;
  }
  mc->mc_snum = 1;
  mc->mc_top = 0;
  if (flags & ORV_PS_MODIFY) {
    if (int rc = orv_page_touch(mc); rc != 0) return rc;
  }
  if (flags & ORV_PS_ROOTONLY) return 0;
  return search_root(mc, key, flags, known_depth);
}

int orv_page_search_root(ORV_cursor *mc, const ORV_val *key, int flags) {
  return search_root(mc, key, flags, mc->mc_snum);
}

int orv_page_search_lowest(ORV_cursor *mc) {
  if (int rc = descent_check(mc); rc != 0) return rc;
  ORV_page *mp = cursor_page(mc);
  ORV_page *child;
  if (int rc = orv_tree_page_get(mc, mp, 0, nullptr, &child); rc != 0) return rc;
  mc->mc_ki[mc->mc_top] = 0;
  if (int rc = stack_push(mc, child); rc != 0) return rc;
  return orv_page_search_root(mc, nullptr, ORV_PS_FIRST);
}
