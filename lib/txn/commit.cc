// Transaction commit: the exported orv_txn_commit, the merge of a nested
// transaction into its parent, the free-page database update of a top-level
// commit (orv_freelist_save) and the write-out of dirty pages
// (orv_page_flush, also used by spilling).
//
// A top-level commit runs in this order, and the order is what makes it
// atomic: changed named-database records go into the main database, the
// freed and the unused reusable pages go into the free-page database, every
// dirty page is written, the data is flushed, and only then is the meta page
// written. Until the meta page is on disk no committed state references any
// page written here, so a failure anywhere before it leaves the previous
// state intact.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

namespace {

// Batch limits of a flush: buffers per write, bytes per write.
constexpr int kFlushBatch = 64;
constexpr size_t kMaxWrite = 0x40000000;

// The kernel sizes the page-cache folio it creates for file pages not yet
// cached by the length of the write that creates them: one write of a run
// of new pages makes one large folio. Every later write of a single page
// into a large folio costs several times that of a write into a page-sized
// one (the kernel walks the whole folio's blocks each time), and a store
// rewrites its pages one by one, scattered, many times over. So a page
// past the end of the file as last seen starts its own write call: the
// pages appended stay page-sized in the cache. Runs of pages inside the
// file are still gathered into one call.

inline void idl_xappend(ORV_IDL ids, ORV_ID id) { ids[++ids[0]] = id; }

// Merges a committing child into its parent. On return the child record
// is gone whatever the result.
int txn_merge_child(ORV_txn *txn) {
  ORV_txn *parent = txn->mt_parent;
  ORV_env *env = txn->mt_env;
  int rc = 0;

  // The only step that can fail before anything changed: the parent must
  // hold the child's freed pages.
  if (int err = orv_idl_append_list(&parent->mt_free_pgs, txn->mt_free_pgs); err != 0) {
    orv_txn_abort(txn);
    return err;
  }
  orv_idl_free(txn->mt_free_pgs);
  txn->mt_free_pgs = nullptr;

  parent->mt_next_pgno = txn->mt_next_pgno;
  parent->mt_flags = txn->mt_flags;

  // The parent's cursors come back with the positions they reached here.
  orv_cursors_release(txn, 1);

  std::memcpy(parent->mt_dbs, txn->mt_dbs, txn->mt_dbcount * sizeof(ORV_db));
  parent->mt_dbflags[FREE_DBI] = txn->mt_dbflags[FREE_DBI];
  parent->mt_dbflags[MAIN_DBI] = txn->mt_dbflags[MAIN_DBI];
  for (uint32_t i = CORE_DBS; i < txn->mt_dbcount; i++) {
    parent->mt_dbflags[i] =
        static_cast<uint8_t>(txn->mt_dbflags[i] | (parent->mt_dbflags[i] & DB_NEW));
  }
  parent->mt_dbcount = txn->mt_dbcount;

  ORV_ID2L dst = parent->mt_dirty_list;
  ORV_ID2L src = txn->mt_dirty_list;

  // Pages the child made dirty again are no longer spilled in the parent.
  // Both lists are sorted (the spill list descending, the dirty list
  // ascending), so one backward walk finds them.
  if (ORV_IDL ps = parent->mt_spill_pgs; ps != nullptr && ps[0] != 0) {
    const ORV_ID len = ps[0];
    ORV_ID x = len, y = len;
    ps[0] = ~ORV_ID{0};  // sentinel that stops the walk
    for (ORV_ID i = 1; i <= src[0].mid; i++) {
      const ORV_ID pn = src[i].mid << 1;
      while (pn > ps[x]) x--;
      if (pn == ps[x]) {
        ps[x] = 1;
        y = --x;
      }
    }
    for (x = y; ++x <= len;) {
      if (!(ps[x] & 1)) ps[++y] = ps[x];
    }
    ps[0] = y;
  }

  // Pages the child wrote out early are read from the map from now on; the
  // parent's older copies of them are dropped.
  if (ORV_IDL cs = txn->mt_spill_pgs; cs != nullptr && cs[0] != 0) {
    for (ORV_ID i = 1; i <= cs[0]; i++) {
      if (cs[i] & 1) continue;
      const pgno_t pn = cs[i] >> 1;
      const unsigned x = orv_id2l_search(dst, pn);
      if (x > dst[0].mid || dst[x].mid != pn) continue;
      orv_page_buf_free(env, static_cast<ORV_page *>(dst[x].mptr));
      for (ORV_ID y = x; y < dst[0].mid; y++) dst[y] = dst[y + 1];
      dst[0].mid--;
    }
  }

  // Merge the dirty lists from the top. The merged length is counted
  // exactly (pages present in both lists count once) rather than derived
  // from the dirty room, so that the in-place merge can never overrun.
  {
    ORV_ID x = dst[0].mid;
    ORV_ID len = x + src[0].mid;
    dst[0].mid = 0;  // sentinel: no page number is 0
    ORV_ID y = orv_id2l_search(src, dst[x].mid + 1) - 1;
    for (ORV_ID i = x; y > 0 && i > 0; y--) {
      const pgno_t yp = src[y].mid;
      while (yp < dst[i].mid) i--;
      if (yp == dst[i].mid) {
        i--;
        len--;
      }
    }
    orv_assert(env, len <= ORV_IDL_UM_MAX);
    ORV_ID i = len;
    for (y = src[0].mid; y > 0; y--) {
      const pgno_t yp = src[y].mid;
      while (yp < dst[x].mid) dst[i--] = dst[x--];
      if (yp == dst[x].mid) orv_page_buf_free(env, static_cast<ORV_page *>(dst[x--].mptr));
      dst[i--] = src[y];
    }
    orv_assert(env, i == x);
    dst[0].mid = len;
    for (unsigned w = 0; w < ORV_DIRTY_SEEN_BITS / 64; w++)
      parent->mt_dirty_seen[w] |= txn->mt_dirty_seen[w];
  }
  std::free(src);
  txn->mt_dirty_list = nullptr;
  parent->mt_dirty_room = txn->mt_dirty_room;

  if (txn->mt_spill_pgs != nullptr) {
    if (parent->mt_spill_pgs != nullptr) {
      rc = orv_idl_append_list(&parent->mt_spill_pgs, txn->mt_spill_pgs);
      if (rc != 0) orv_txn_fail(parent, rc);
      orv_idl_free(txn->mt_spill_pgs);
      orv_idl_sort(parent->mt_spill_pgs);
    } else {
      parent->mt_spill_pgs = txn->mt_spill_pgs;
    }
    txn->mt_spill_pgs = nullptr;
  }

  if (txn->mt_loose_pgs != nullptr) {
    ORV_page **lp = &parent->mt_loose_pgs;
    while (*lp != nullptr) lp = &next_loose_page(*lp);
    *lp = txn->mt_loose_pgs;
    parent->mt_loose_count += txn->mt_loose_count;
  }

  parent->mt_child = nullptr;
  // The parent's key-length index describes its own page buffers, which the
  // child's pages just replaced under the same page numbers.
  orv_txn_scratch_invalidate(&parent->mt_scratch);
  // The environment keeps the child's reusable-page list; the parent's
  // older one is no longer needed.
  orv_idl_free(txn->mt_saved_pghead);
  orv_txn_scratch_free(&txn->mt_scratch);
  std::free(txn);
  return rc;
}

int txn_commit(ORV_txn *txn) {
  if (txn == nullptr) return EINVAL;
  ORV_env *env = txn->mt_env;
  int rc = 0;

  if (txn->mt_child != nullptr) {
    rc = txn_commit(txn->mt_child);
    if (rc != 0) goto fail;
  }

  if (txn_is_rdonly(txn)) {
    orv_txn_end(txn, ORV_END_EMPTY_COMMIT | ORV_END_UPDATE | ORV_END_SLOT | ORV_END_FREE);
    return 0;
  }

  if (txn->mt_flags & (ORV_TXN_FINISHED | ORV_TXN_ERROR)) {
    if (txn->mt_parent != nullptr) orv_txn_fail(txn->mt_parent, ORV_BAD_TXN);
    // A finished top-level transaction is the environment's idle me_txn0:
    // there is nothing left to abort and the record must survive.
    if (!(txn->mt_flags & ORV_TXN_FINISHED) || txn->mt_parent != nullptr) orv_txn_abort(txn);
    return ORV_BAD_TXN;
  }

  if (txn->mt_parent != nullptr) return txn_merge_child(txn);

  if (txn != env->me_txn) {
    rc = EINVAL;
    goto fail;
  }

  orv_cursors_release(txn, 0);

  if (txn->mt_dirty_list[0].mid == 0 && !(txn->mt_flags & (ORV_TXN_DIRTY | ORV_TXN_SPILLS))) {
    orv_txn_end(txn, ORV_END_EMPTY_COMMIT | ORV_END_UPDATE | ORV_END_SLOT | ORV_END_FREE);
    return 0;
  }

  // Records of named databases changed in this transaction.
  if (txn->mt_dbcount > CORE_DBS) {
    ORV_cursor mc{};
    ORV_xcursor mx{};  // the main database may keep duplicates
    orv_cursor_init(&mc, txn, MAIN_DBI, &mx);
    for (uint32_t i = CORE_DBS; i < txn->mt_dbcount; i++) {
      if (!(txn->mt_dbflags[i] & DB_DIRTY)) continue;
      if (txn->mt_dbiseqs[i] != env->me_dbiseqs[i]) {
        rc = ORV_BAD_DBI;
        break;
      }
      ORV_val data = {sizeof(ORV_db), &txn->mt_dbs[i]};
      rc = orv_cursor_put0(&mc, &txn->mt_dbxs[i].md_name, &data, F_SUBDATA);
      if (rc != 0) break;
    }
    orv_pkc_free(&mx.mx_cursor);
    orv_pkc_free(&mc);
    if (rc != 0) goto fail;
  }

  if ((rc = orv_freelist_save(txn)) != 0) goto fail;

  orv_pghead_retain(env, env->me_pghead);
  env->me_pghead = nullptr;
  orv_idl_shrink(&txn->mt_free_pgs);

  if ((rc = orv_page_flush(txn, 0)) != 0) goto fail;
  if (!(txn->mt_flags & ORV_NOSYNC)) {
    if ((rc = orv_env_sync0(env, 0, txn->mt_next_pgno)) != 0) goto fail;
  }
  if ((rc = orv_env_write_meta(txn)) != 0) goto fail;

  if (env->me_flags & ORV_PREVSNAPSHOT) {
    // The flag goes first: sharing the locks publishes the current meta,
    // and while the flag is set that would be the older one, hiding the
    // commit just written.
    env->me_flags &= ~ORV_PREVSNAPSHOT;
    if (!(env->me_flags & ORV_NOLOCK)) {
      int excl = 0;
      if ((rc = orv_env_share_locks(env, &excl)) != 0) goto fail;
    }
  }

  orv_txn_end(txn, ORV_END_COMMITTED | ORV_END_UPDATE);
  return 0;

fail:
  orv_txn_abort(txn);
  return rc;
}

}  // namespace

extern "C" ORV_API int orv_txn_commit(ORV_txn *txn) noexcept { return txn_commit(txn); }

// ---- Free-page database ------------------------------------------------------------

namespace {

// Without a reusable list to merge them into, the loose pages are recorded
// as freed by this transaction and leave the dirty list unwritten.
int forget_loose_pages(ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  ORV_ID2L dl = txn->mt_dirty_list;
  if (int rc = orv_idl_need(&txn->mt_free_pgs, static_cast<unsigned>(txn->mt_loose_count)); rc != 0)
    return rc;
  for (ORV_page *mp = txn->mt_loose_pgs; mp != nullptr;) {
    ORV_page *next = next_loose_page(mp);
    idl_xappend(txn->mt_free_pgs, mp->mp_pgno);
    ORV_ID x;
    if (env->me_flags & ORV_WRITEMAP) {
      for (x = 1; x <= dl[0].mid; x++) {
        if (dl[x].mptr == mp) break;
      }
      orv_assert(env, x <= dl[0].mid);
    } else {
      x = orv_id2l_search(dl, mp->mp_pgno);
      orv_assert(env, dl[x].mid == mp->mp_pgno);
      orv_page_buf_free(env, mp);
    }
    dl[x].mptr = nullptr;
    mp = next;
  }
  ORV_ID y = 0;
  for (ORV_ID x = 1; x <= dl[0].mid; x++) {
    if (dl[x].mptr != nullptr) dl[++y] = dl[x];
  }
  txn->mt_dirty_room += static_cast<uint32_t>(dl[0].mid - y);
  dl[0].mid = y;
  txn->mt_loose_pgs = nullptr;
  txn->mt_loose_count = 0;
  return 0;
}

// Loose pages join the reusable list; they stay in the dirty list
// (P_LOOSE) and are not written.
int merge_loose_pages(ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  const unsigned count = static_cast<unsigned>(txn->mt_loose_count);
  if (env->me_pghead == nullptr) {
    env->me_pghead = orv_pghead_take(env, 2 * count + 1);
    if (env->me_pghead == nullptr) return ENOMEM;
  } else if (int rc = orv_idl_need(&env->me_pghead, 2 * count + 1); rc != 0) {
    return rc;
  }
  ORV_IDL mop = env->me_pghead;
  ORV_IDL loose = mop + mop[-1] - count;
  ORV_ID n = 0;
  for (ORV_page *mp = txn->mt_loose_pgs; mp != nullptr; mp = next_loose_page(mp)) {
    loose[++n] = mp->mp_pgno;
  }
  loose[0] = n;
  orv_idl_sort(loose);
  orv_idl_xmerge(mop, loose);
  txn->mt_loose_pgs = nullptr;
  txn->mt_loose_count = 0;
  return 0;
}

// Sizes the free-page database's records for one commit. Room for
// everything is reserved first and filled last, because every put may
// touch pages of this very tree and so add to both lists; the loop ends
// when a round changes neither.
class FreelistReserve {
 public:
  FreelistReserve(ORV_txn *txn, ORV_cursor *mc)
      : txn_(txn),
        env_(txn->mt_env),
        mc_(mc),
        maxfree_1pg_(env_->me_maxfree_1pg),
        // A reserved record on an overflow run is cleared whole: run
        // buffers are zero-filled on their last page only, and stale heap
        // bytes must not reach the file. Not needed for the map's own
        // pages, nor wanted under ORV_NOMEMINIT; the count word is always
        // cleared.
        clean_limit_((env_->me_flags & (ORV_NOMEMINIT | ORV_WRITEMAP)) ? SSIZE_MAX : maxfree_1pg_) {
  }

  int run() {
    for (;;) {
      if (int rc = drop_consumed(); rc != 0) return rc;
      if (freecnt_ < txn_->mt_free_pgs[0]) {
        if (int rc = reserve_own(); rc != 0) return rc;
        continue;
      }
      bool done;
      if (int rc = reserve_reusable(&done); rc != 0 || done) return rc;
    }
  }

 private:
  // Deletes the records this transaction consumed (ids up to me_pglast).
  int drop_consumed() {
    while (pglast_ < env_->me_pglast) {
      ORV_val key;
      if (int rc = orv_cursor_first(mc_, &key, nullptr); rc != 0) return rc;
      pglast_ = head_id_ = load_u64(key.mv_data);
      total_room_ = head_room_ = 0;
      orv_assert(env_, pglast_ <= env_->me_pglast);
      if (int rc = orv_cursor_del(mc_, 0); rc != 0) return rc;
    }
    return 0;
  }

  // This transaction's freed pages, written at once under its own id.
  int reserve_own() {
    if (freecnt_ == 0) {
      const int rc = orv_page_search(mc_, nullptr, ORV_PS_LAST | ORV_PS_MODIFY);
      if (rc != 0 && rc != ORV_NOTFOUND) return rc;
    }
    txnid_t id = txn_->mt_txnid;
    ORV_val key = {sizeof(id), &id}, data;
    do {
      freecnt_ = txn_->mt_free_pgs[0];
      data.mv_size = (freecnt_ + 1) * sizeof(ORV_ID);
      if (int rc = orv_cursor_put0(mc_, &key, &data, ORV_RESERVE); rc != 0) return rc;
    } while (freecnt_ < txn_->mt_free_pgs[0]);
    orv_idl_sort(txn_->mt_free_pgs);
    std::memcpy(data.mv_data, txn_->mt_free_pgs, data.mv_size);
    return 0;
  }

  // Room for the reusable pages not used, in records keyed at or below
  // me_pglast (counting down from the last consumed id). *done once the
  // room reserved holds them all.
  int reserve_reusable(bool *done) {
    *done = false;
    const ssize_t mop_len =
        static_cast<ssize_t>(env_->me_pghead ? env_->me_pghead[0] : 0) + txn_->mt_loose_count;
    if (total_room_ >= mop_len) {
      if (total_room_ == mop_len || --more_ < 0) {
        *done = true;
        return 0;
      }
    } else if (head_room_ >= maxfree_1pg_ && head_id_ > 1) {
      head_id_--;
      head_room_ = 0;
    }
    total_room_ -= head_room_;
    head_room_ = mop_len - total_room_;
    if (head_room_ > maxfree_1pg_ && head_id_ > 1) {
      // Spread over the keys left, sized to whole overflow pages.
      head_room_ /= static_cast<ssize_t>(head_id_);
      head_room_ += maxfree_1pg_ - head_room_ % (maxfree_1pg_ + 1);
    } else if (head_room_ < 0) {
      head_room_ = 0;
    }
    ORV_val key = {sizeof(head_id_), &head_id_}, data;
    data.mv_size = static_cast<size_t>(head_room_ + 1) * sizeof(ORV_ID);
    if (int rc = orv_cursor_put0(mc_, &key, &data, ORV_RESERVE); rc != 0) return rc;
    const ssize_t j = head_room_ > clean_limit_ ? head_room_ : 0;
    std::memset(data.mv_data, 0, static_cast<size_t>(j + 1) * sizeof(ORV_ID));
    total_room_ += head_room_;
    return 0;
  }

  ORV_txn *txn_;
  ORV_env *env_;
  ORV_cursor *mc_;
  const ssize_t maxfree_1pg_;
  const ssize_t clean_limit_;
  txnid_t pglast_ = 0, head_id_ = 0;
  ORV_ID freecnt_ = 0;
  ssize_t head_room_ = 0, total_room_ = 0;
  int more_ = 1;
};

// Writes the reusable list into the reserved records, from its tail
// (smallest pages first).
int fill_reserved(ORV_cursor *mc, ssize_t mop_len) {
  ORV_env *env = mc->mc_txn->mt_env;
  ORV_IDL mop = env->me_pghead + mop_len;
  ORV_val key, data;
  int rc = orv_cursor_first(mc, &key, &data);
  for (; rc == 0; rc = orv_cursor_next(mc, &key, &data, ORV_NEXT)) {
    txnid_t id = load_u64(key.mv_data);
    ssize_t len = static_cast<ssize_t>(data.mv_size / sizeof(ORV_ID)) - 1;
    orv_assert(env, len >= 0 && id <= env->me_pglast);
    key.mv_data = &id;
    if (len > mop_len) {
      len = mop_len;
      data.mv_size = static_cast<size_t>(len + 1) * sizeof(ORV_ID);
    }
    mop -= len;
    data.mv_data = mop;
    const ORV_ID save = mop[0];
    mop[0] = static_cast<ORV_ID>(len);
    rc = orv_cursor_put0(mc, &key, &data, ORV_CURRENT);
    mop[0] = save;
    if (rc != 0 || (mop_len -= len) == 0) break;
  }
  return rc;
}

int freelist_save(ORV_txn *txn, ORV_cursor *mc) {
  ORV_env *env = txn->mt_env;
  if (env->me_pghead != nullptr) {
    // Touch the first leaf now, so that its old copy is on the free list
    // before the lists are sized.
    const int rc = orv_page_search(mc, nullptr, ORV_PS_FIRST | ORV_PS_MODIFY);
    if (rc != 0 && rc != ORV_NOTFOUND) return rc;
  }
  if (env->me_pghead == nullptr && txn->mt_loose_pgs != nullptr) {
    if (int rc = forget_loose_pages(txn); rc != 0) return rc;
  }
  if (int rc = FreelistReserve(txn, mc).run(); rc != 0) return rc;
  if (txn->mt_loose_pgs != nullptr) {
    if (int rc = merge_loose_pages(txn); rc != 0) return rc;
  }
  const ssize_t mop_len = static_cast<ssize_t>(env->me_pghead ? env->me_pghead[0] : 0);
  return mop_len > 0 ? fill_reserved(mc, mop_len) : 0;
}

}  // namespace

int orv_freelist_save(ORV_txn *txn) {
  ORV_cursor mc{};
  orv_cursor_init(&mc, txn, FREE_DBI, nullptr);
  const int rc = freelist_save(txn, &mc);
  orv_pkc_free(&mc);
  return rc;
}

// ---- Page flush ------------------------------------------------------------------------

int orv_page_flush(ORV_txn *txn, int keep) {
  ORV_env *env = txn->mt_env;
  ORV_ID2L dl = txn->mt_dirty_list;
  const ORV_ID pagecount = dl[0].mid;
  ORV_ID j = static_cast<ORV_ID>(keep);
  int rc = 0;

  if (env->me_flags & ORV_WRITEMAP) {
    // The pages are the map: nothing to write, they just stop being dirty.
    for (ORV_ID i = j + 1; i <= pagecount; i++) {
      auto *dp = static_cast<ORV_page *>(dl[i].mptr);
      if (dp->mp_flags & (P_LOOSE | P_KEEP)) {
        dp->mp_flags &= static_cast<uint16_t>(~P_KEEP);
        dl[++j] = dl[i];
        continue;
      }
      dp->mp_flags &= P_WRITE_MASK;
    }
  } else {
    struct iovec iov[kFlushBatch];
    int n = 0;
    off_t wpos = 0, next_pos = 0;
    size_t wsize = 0;
    const size_t psize = env->me_psize;
    const off_t file_end =
        static_cast<off_t>(env->me_file_pages.load(std::memory_order_relaxed) * psize);

    for (ORV_ID i = j + 1; i <= pagecount; i++) {
      auto *dp = static_cast<ORV_page *>(dl[i].mptr);
      if (dp->mp_flags & (P_LOOSE | P_KEEP)) {
        dp->mp_flags &= static_cast<uint16_t>(~P_KEEP);
        dl[i].mid = 0;  // stays; restored from mp_pgno below
        continue;
      }
      const pgno_t pgno = dl[i].mid;
      dp->mp_flags &= P_WRITE_MASK;
      const off_t pos = static_cast<off_t>(pgno * psize);
      size_t size = psize;
      if (is_overflow(dp)) size *= mp_pages(dp);
      if (n > 0 &&
          (pos != next_pos || pos >= file_end || n == kFlushBatch || wsize + size > kMaxWrite)) {
        if ((rc = orv_sys_write_all(env->me_fd, iov, n, wpos)) != 0) return rc;
        n = 0;
      }
      if (n == 0) {
        wpos = pos;
        wsize = 0;
      }
      iov[n].iov_base = dp;
      iov[n].iov_len = size;
      n++;
      wsize += size;
      next_pos = pos + static_cast<off_t>(size);
    }
    if (n > 0 && (rc = orv_sys_write_all(env->me_fd, iov, n, wpos)) != 0) return rc;
    // The list is in page order: the file now reaches the last page written.
    if (next_pos > 0) orv_env_file_pages_seen(env, static_cast<uint64_t>(next_pos) / psize);

    for (ORV_ID i = j + 1; i <= pagecount; i++) {
      auto *dp = static_cast<ORV_page *>(dl[i].mptr);
      if (dl[i].mid == 0) {
        dl[++j] = dl[i];
        dl[j].mid = dp->mp_pgno;
        continue;
      }
      orv_page_buf_free(env, dp);
    }
  }

  txn->mt_dirty_room += static_cast<uint32_t>(pagecount - j);
  dl[0].mid = j;
  return rc;
}
