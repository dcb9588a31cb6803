// The end of a transaction in every mode (commit's last step, abort, reset,
// failed starts), the exported reset, renew and abort, and the hand-over of
// a write transaction's cursors to a nested child and back.
//
// Cursor backups. A nested begin saves each of the parent's cursors in a
// backup record (plus its sub-cursor) and lets the application keep using
// the same cursor objects inside the child. Cursors own heap buffers (the
// page key cache); those stay with the live cursor at all times: a backup
// never owns one, and restoring a backup keeps the live cursor's buffers
// (with the cache emptied, since it may describe pages of the child). Keys
// held in a cursor's own key buffer are re-pointed after every copy.
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "idl.h"
#include "txn/txn.h"

namespace {

static_assert(sizeof(ORV_cursor) % alignof(ORV_xcursor) == 0);

// Drops the page key cache buffers from a record that must not own them.
void pkc_disown(ORV_cursor *mc) {
  mc->mc_pkc_keys = nullptr;
  mc->mc_pkc_keys_cap = 0;
  mc->mc_pkc_done = nullptr;
  mc->mc_pkc_done_cap = 0;
  mc->mc_pkc_store = nullptr;
  mc->mc_pkc_store_cap = 0;
  mc->mc_pkc_sums = nullptr;
  mc->mc_pkc_sums_cap = 0;
}

// Empties the page key cache and the search scratch; buffers are kept.
void caches_reset(ORV_cursor *mc) {
  orv_pkc_clear(mc);
  mc->mc_srch_key = nullptr;
  mc->mc_srch_len = 0;
  mc->mc_srch_shared = 0;
  mc->mc_srch_pg = P_INVALID;
}

// Copies saved over live, keeping live's buffers and its own key buffer.
void cursor_restore(ORV_cursor *live, const ORV_cursor *saved) {
  ORV_cursor bufs;
  std::memcpy(static_cast<void *>(&bufs), live, sizeof(bufs));
  std::memcpy(static_cast<void *>(live), saved, sizeof(*live));
  const auto k = reinterpret_cast<uintptr_t>(saved->mc_key.mv_data);
  const auto base = reinterpret_cast<uintptr_t>(saved->mc_keybuf);
  if (k >= base && k <= base + sizeof(saved->mc_keybuf))
    live->mc_key.mv_data = live->mc_keybuf + (k - base);
  live->mc_pkc_keys = bufs.mc_pkc_keys;
  live->mc_pkc_keys_cap = bufs.mc_pkc_keys_cap;
  live->mc_pkc_done = bufs.mc_pkc_done;
  live->mc_pkc_done_cap = bufs.mc_pkc_done_cap;
  live->mc_pkc_store = bufs.mc_pkc_store;
  live->mc_pkc_store_cap = bufs.mc_pkc_store_cap;
  live->mc_pkc_sums = bufs.mc_pkc_sums;
  live->mc_pkc_sums_cap = bufs.mc_pkc_sums_cap;
  caches_reset(live);
}

void cursor_free(ORV_cursor *mc) {
  orv_pkc_free(mc);
  if (mc->mc_xcursor != nullptr) orv_pkc_free(&mc->mc_xcursor->mx_cursor);
  std::free(mc);
}

// Gives the dirty page buffers of an ending transaction back: single pages
// to the spare list, longer overflow runs to the allocator.
void dirty_pages_free(ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  ORV_ID2L dl = txn->mt_dirty_list;
  if (dl == nullptr) return;
  for (ORV_ID i = 1; i <= dl[0].mid; i++) {
    auto *mp = static_cast<ORV_page *>(dl[i].mptr);
    if (is_overflow(mp) && mp_pages(mp) > 1) {
      std::free(mp);
    } else {
      next_spare_page(mp) = env->me_dpages;
      env->me_dpages = mp;
    }
  }
  dl[0].mid = 0;
}

// Under a write map the dirty pages are the map's own. What is left on the
// list when a writer ends is free again: every page of an abort, the loose
// and kept pages of a commit (the flush cleared the rest). Their in-memory
// flags are cleared, so that P_DIRTY on a mapped page keeps meaning "held by
// the running writer": the allocator then need not search its dirty list
// for every reused page an earlier writer left marked.
void map_pages_settle(ORV_txn *txn) {
  ORV_ID2L dl = txn->mt_dirty_list;
  for (ORV_ID i = 1; i <= dl[0].mid; i++) {
    auto *mp = static_cast<ORV_page *>(dl[i].mptr);
    mp->mp_flags &= P_WRITE_MASK;
  }
  dl[0].mid = 0;
}

// Publishes or discards the handles this transaction opened, and closes
// those of the databases it deleted once it has committed.
void dbis_settle(ORV_txn *txn, unsigned mode) {
  ORV_env *env = txn->mt_env;
  for (uint32_t i = txn->mt_dbcount; i-- > CORE_DBS;) {
    if ((txn->mt_dbflags[i] & DB_DELETED) && (mode & ORV_END_UPDATE)) {
      orv_dbi_close(env, i);
      continue;
    }
    if (!(txn->mt_dbflags[i] & DB_NEW)) continue;
    if (mode & ORV_END_UPDATE) {
      env->me_dbflags[i] = txn->mt_dbs[i].md_flags | ORV_DB_OPEN_MARK;
    } else if (env->me_dbxs[i].md_name.mv_size != 0) {
      void *name = env->me_dbxs[i].md_name.mv_data;
      env->me_dbxs[i].md_name.mv_size = 0;
      env->me_dbxs[i].md_name.mv_data = nullptr;
      env->me_dbflags[i] = 0;
      env->me_dbiseqs[i]++;  // stale handles now fail with ORV_BAD_DBI
      std::free(name);
    }
  }
  if ((mode & ORV_END_UPDATE) && env->me_dbcount < txn->mt_dbcount)
    env->me_dbcount = txn->mt_dbcount;
}

void end_write(ORV_txn *txn, unsigned mode) {
  ORV_env *env = txn->mt_env;
  ORV_IDL pghead = env->me_pghead;
  if (!(mode & ORV_END_UPDATE)) orv_cursors_release(txn, 0);
  if (!(txn->mt_flags & ORV_WRITEMAP))
    dirty_pages_free(txn);
  else if (txn->mt_dirty_list != nullptr)
    map_pages_settle(txn);
  txn->mt_loose_pgs = nullptr;  // they were on the dirty list
  txn->mt_loose_count = 0;
  txn->mt_dbcount = 0;
  txn->mt_flags = ORV_TXN_FINISHED;
  orv_idl_free(txn->mt_spill_pgs);
  txn->mt_spill_pgs = nullptr;

  if (ORV_txn *parent = txn->mt_parent; parent != nullptr) {
    parent->mt_child = nullptr;
    parent->mt_flags &= ~ORV_TXN_HAS_CHILD;
    env->me_pghead = txn->mt_saved_pghead;
    env->me_pglast = txn->mt_saved_pglast;
    // A child that failed before copying the list shares the parent's.
    if (pghead == txn->mt_saved_pghead) pghead = nullptr;
    orv_idl_free(txn->mt_free_pgs);
    txn->mt_free_pgs = nullptr;
    std::free(txn->mt_dirty_list);
    txn->mt_dirty_list = nullptr;
  } else {
    // The ids were saved by the commit (or are void after an abort); an
    // empty list can always be trimmed back to its standard capacity.
    txn->mt_free_pgs[0] = 0;
    orv_idl_shrink(&txn->mt_free_pgs);
    env->me_free_pgs = txn->mt_free_pgs;
    env->me_txn = nullptr;
    env->me_pghead = nullptr;
    env->me_pglast = 0;
    orv_txn_scratch_invalidate(&txn->mt_scratch);
    // Kept while the writer mutex is held: the spare belongs to the writer.
    orv_pghead_retain(env, pghead);
    pghead = nullptr;
    orv_wmutex_unlock(env);
  }
  orv_idl_free(pghead);
}

}  // namespace

int orv_cursors_backup(ORV_txn *parent, ORV_txn *child) {
  for (uint32_t i = parent->mt_dbcount; i-- > 0;) {
    ORV_cursor *next = nullptr;
    for (ORV_cursor *mc = parent->mt_cursors[i]; mc != nullptr; mc = next) {
      next = mc->mc_next;
      size_t size = sizeof(ORV_cursor);
      if (mc->mc_xcursor != nullptr) size += sizeof(ORV_xcursor);
      auto *bk = static_cast<ORV_cursor *>(std::malloc(size));
      if (bk == nullptr) return ENOMEM;
      std::memcpy(static_cast<void *>(bk), mc, sizeof(*bk));
      pkc_disown(bk);
      if (ORV_xcursor *mx = mc->mc_xcursor; mx != nullptr) {
        auto *bx = reinterpret_cast<ORV_xcursor *>(bk + 1);
        std::memcpy(static_cast<void *>(bx), mx, sizeof(*bx));
        pkc_disown(&bx->mx_cursor);
        mx->mx_cursor.mc_txn = child;
      }
      mc->mc_backup = bk;
      mc->mc_db = &child->mt_dbs[i];
      mc->mc_dbflag = &child->mt_dbflags[i];
      mc->mc_txn = child;
      mc->mc_next = child->mt_cursors[i];
      child->mt_cursors[i] = mc;
    }
  }
  return 0;
}

void orv_cursors_release(ORV_txn *txn, int merge) {
  ORV_cursor **cursors = txn->mt_cursors;
  if (cursors == nullptr) return;
  for (uint32_t i = txn->mt_dbcount; i-- > 0;) {
    ORV_cursor *next = nullptr;
    for (ORV_cursor *mc = cursors[i]; mc != nullptr; mc = next) {
      next = mc->mc_next;
      ORV_cursor *bk = mc->mc_backup;
      if (bk == nullptr) {
        cursor_free(mc);
        continue;
      }
      ORV_xcursor *mx = mc->mc_xcursor;
      if (merge) {
        // Back to the parent, keeping the position reached in the child.
        mc->mc_next = bk->mc_next;
        mc->mc_backup = bk->mc_backup;
        mc->mc_txn = bk->mc_txn;
        mc->mc_db = bk->mc_db;
        mc->mc_dbflag = bk->mc_dbflag;
        if (mx != nullptr) mx->mx_cursor.mc_txn = bk->mc_txn;
      } else {
        cursor_restore(mc, bk);
        mc->mc_xcursor = mx;
        if (mx != nullptr) {
          auto *bx = reinterpret_cast<ORV_xcursor *>(bk + 1);
          ORV_cursor sub = mx->mx_cursor;
          std::memcpy(static_cast<void *>(mx), bx, sizeof(*mx));
          mx->mx_cursor = sub;
          cursor_restore(&mx->mx_cursor, &bx->mx_cursor);
        }
      }
      std::free(bk);
    }
    cursors[i] = nullptr;
  }
}

void orv_txn_end(ORV_txn *txn, unsigned mode) {
  ORV_env *env = txn->mt_env;
  dbis_settle(txn, mode);

  if (txn_is_rdonly(txn)) {
    orv_reader_release(env, txn, (mode & ORV_END_SLOT) != 0);
    txn->mt_dbcount = 0;
    txn->mt_flags |= ORV_TXN_FINISHED;
    orv_txn_scratch_invalidate(&txn->mt_scratch);
  } else if (!(txn->mt_flags & ORV_TXN_FINISHED)) {
    end_write(txn, mode);
  }

  // The preallocated write record belongs to the environment.
  if ((mode & ORV_END_FREE) && txn != env->me_txn0) {
    orv_txn_scratch_free(&txn->mt_scratch);
    std::free(txn);
  }
}

extern "C" ORV_API void orv_txn_reset(ORV_txn *txn) noexcept {
  if (txn == nullptr || !txn_is_rdonly(txn)) return;
  orv_txn_end(txn, ORV_END_RESET);
}

extern "C" ORV_API int orv_txn_renew(ORV_txn *txn) noexcept {
  if (txn == nullptr) return EINVAL;
  constexpr uint32_t kReset = ORV_RDONLY | ORV_TXN_FINISHED;
  if ((txn->mt_flags & kReset) != kReset) return EINVAL;
  return orv_txn_renew0(txn);
}

extern "C" ORV_API void orv_txn_abort(ORV_txn *txn) noexcept {
  if (txn == nullptr) return;
  if (txn->mt_child != nullptr) orv_txn_abort(txn->mt_child);
  orv_txn_end(txn, ORV_END_ABORT | ORV_END_SLOT | ORV_END_FREE);
}
