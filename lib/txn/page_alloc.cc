// Page allocation and freeing for a write transaction.
//
// A page number comes, in this order of preference, from the transaction's
// loose pages (dirty pages it freed again), from the reusable-page list
// me_pghead (refilled from free-page database records that no reader can
// need any more), or from the end of the file. The oldest-reader rule: a
// free-page record keyed by transaction id t lists pages that snapshots
// before t could reach; it is consumed only when t is older than every
// snapshot in the reader table.
//
// Freed pages go to the loose list when this transaction itself made them
// (so no snapshot can reach them), else to mt_free_pgs, which the commit
// saves under this transaction's id.
#include <cerrno>
#include <cstring>

#include "btree/btree.h"
#include "env/env.h"
#include "txn/txn.h"

namespace {

// Merges the free-page record image at src (count then page numbers,
// strictly descending; possibly unaligned) into the descending list mop,
// which has room for count more. The result is descending. False when a
// number of the record is already in mop: two records list the page, and
// handing it out twice would let two trees share it. The list is whole
// either way (the number then appears twice); the caller fails the
// transaction, whose end discards the list.
bool merge_record(ORV_IDL mop, const std::byte *src, ORV_ID count) {
  ORV_ID i = mop[0];
  ORV_ID k = i + count;
  const ORV_ID total = k;
  bool unique = true;
  mop[0] = ~ORV_ID{0};  // sentinel stops the scan; no page number equals it
  for (ORV_ID j = count; j > 0; j--) {
    const ORV_ID id = load_u64(src + j * sizeof(ORV_ID));
    while (mop[i] < id) mop[k--] = mop[i--];
    if (mop[i] == id) unique = false;  // equal neighbours
    mop[k--] = id;
  }
  mop[0] = total;
  return unique;
}

// True when pg is already a page of txn or of a transaction it is nested
// in: handed out to it (dirty, loose) or spilled by it. A free-page record
// naming such a page lists it twice (its first listing was consumed
// earlier), or lists a page taken from the end of the file.
bool held_by_txn(const ORV_txn *txn, pgno_t pg) {
  const ORV_env *env = txn->mt_env;
  const bool writemap = (env->me_flags & ORV_WRITEMAP) != 0;
  if (writemap) {
    // The data file reaches the end of the map. A page handed out carries
    // P_DIRTY in the map; so may a free page an aborted transaction used,
    // hence the dirty lists (in allocation order here) decide, and are
    // only scanned for such a page.
    const auto *mp = reinterpret_cast<const ORV_page *>(env->me_map + pg * env->me_psize);
    if (!is_dirty(mp)) return false;
  }
  for (const ORV_txn *t = txn; t != nullptr; t = t->mt_parent) {
    const ORV_ID2L dl = t->mt_dirty_list;
    // The filter answers for most numbers of a record: pages freed two
    // transactions ago are rarely this one's.
    if (dl != nullptr && dl[0].mid != 0 && orv_dirty_seen(t, pg)) {
      if (writemap) {
        for (ORV_ID x = 1; x <= dl[0].mid; x++)
          if (dl[x].mid == pg) return true;
      } else {
        const unsigned x = orv_id2l_search(dl, pg);
        if (x <= dl[0].mid && dl[x].mid == pg) return true;
      }
    }
    if (const ORV_IDL sl = t->mt_spill_pgs; sl != nullptr && sl[0] != 0) {
      const ORV_ID pn = pg << 1;
      const unsigned x = orv_idl_search(sl, pn);
      if (x <= sl[0] && sl[x] == pn) return true;
    }
  }
  return false;
}

// True when a number of the record (count page numbers at src) is held by
// txn already.
bool record_held(const ORV_txn *txn, const std::byte *src, ORV_ID count) {
  for (ORV_ID j = 1; j <= count; j++) {
    if (held_by_txn(txn, load_u64(src + j * sizeof(ORV_ID)))) return true;
  }
  return false;
}

// True when one of the committed pages on mc's path has a number in
// [pgno, pgno + num): the free-page records list a page a tree still
// uses, and reusing it would overwrite that tree.
bool on_committed_path(const ORV_cursor *mc, pgno_t pgno, unsigned num) {
  const unsigned n = mc->mc_snum < ORV_CURSOR_STACK ? mc->mc_snum : ORV_CURSOR_STACK;
  for (unsigned i = 0; i < n; i++) {
    const ORV_page *mp = mc->mc_pg[i];
    if (mp == nullptr || is_dirty(mp) || (mp->mp_flags & P_SUBP)) continue;
    if (mp->mp_pgno >= pgno && mp->mp_pgno - pgno < num) return true;
  }
  return false;
}

}  // namespace

txnid_t orv_oldest_reader(ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  txnid_t oldest = txn->mt_txnid - 1;
  if (ORV_txninfo *ti = env->me_txns; ti != nullptr) {
    // Without the reader mutex: a slot being claimed publishes its id
    // before the reader trusts its snapshot (reader slot protocol).
    const ORV_reader *r = ti->mti_readers;
    unsigned n = ti->mti_numreaders.load(std::memory_order_acquire);
    if (n > env->me_maxreaders) n = env->me_maxreaders;  // a damaged table
    for (unsigned i = n; i-- > 0;) {
      if (r[i].mr_pid.load(std::memory_order_acquire) == 0) continue;
      const txnid_t mr = r[i].mr_txnid.load(std::memory_order_acquire);
      if (mr < oldest) oldest = mr;
    }
  }
  return oldest;
}

namespace {

// Position (1-based) in the descending list mop of the lowest run of num
// consecutive page numbers, or 0. The lowest run sits at the tail.
ORV_ID find_run(const ORV_ID *mop, unsigned num) {
  const ORV_ID n2 = num - 1;
  const ORV_ID len = mop != nullptr ? mop[0] : 0;
  for (ORV_ID i = len; i > n2; i--) {
    if (mop[i - n2] == mop[i] + n2) return i;
  }
  return 0;
}

// Takes the run of num numbers ending at position run out of mop; the
// entries after it move down.
void remove_run(ORV_IDL mop, ORV_ID run, unsigned num) {
  const ORV_ID len = mop[0] - num;
  mop[0] = len;
  for (ORV_ID j = run - num, i = run; j < len;) mop[++j] = mop[++i];
}

// Moves free-page records that no snapshot can need any more into
// me_pghead, one record per call, in id order from me_pglast on.
class Reclaimer {
 public:
  explicit Reclaimer(ORV_txn *txn) : txn_(txn), env_(txn->mt_env) {}
  ~Reclaimer() {
    if (open_) orv_pkc_free(&m2_);
  }
  Reclaimer(const Reclaimer &) = delete;
  Reclaimer &operator=(const Reclaimer &) = delete;

  // Merges the next record. *more is false when no record is left or the
  // next one may still be read by a snapshot.
  int merge_next(bool *more) {
    *more = false;
    if (!open_) {
      last_ = env_->me_pglast;
      oldest_ = env_->me_pgoldest;
      m2_ = ORV_cursor{};
      orv_cursor_init(&m2_, txn_, FREE_DBI, nullptr);
      open_ = true;
      if (last_ != 0) op_ = ORV_SET_RANGE;
    }
    last_++;
    if (!reclaimable(last_)) return 0;

    txnid_t seek = last_;  // ORV_SET_RANGE: the first record after me_pglast
    ORV_val key = {sizeof(seek), &seek}, data = {0, nullptr};
    int rc = orv_cursor_get0(&m2_, &key, &data, op_);
    op_ = ORV_NEXT;
    if (rc != 0) return rc == ORV_NOTFOUND ? 0 : rc;
    if (key.mv_size != sizeof(txnid_t)) return ORV_CORRUPTED;
    last_ = load_u64(key.mv_data);
    if (!reclaimable(last_)) return 0;

    ORV_ID count;
    // A bad record must not hand out a live page, nor one page twice.
    if (!orv_free_record_ok(data.mv_data, data.mv_size, txn_->mt_next_pgno, &count))
      return ORV_CORRUPTED;
    if (env_->me_pghead == nullptr) {
      env_->me_pghead = orv_pghead_take(env_, static_cast<unsigned>(count));
      if (env_->me_pghead == nullptr) return ENOMEM;
    } else if (rc = orv_idl_need(&env_->me_pghead, static_cast<unsigned>(count)); rc != 0) {
      return rc;
    }
    const auto *src = static_cast<const std::byte *>(data.mv_data);
    if (record_held(txn_, src, count)) return ORV_CORRUPTED;
    env_->me_pglast = last_;
    if (!merge_record(env_->me_pghead, src, count)) return ORV_CORRUPTED;
    *more = true;
    return 0;
  }

 private:
  // A record of transaction id is reusable when it is older than every
  // snapshot; the reader table is read at most once per allocation.
  bool reclaimable(txnid_t id) {
    if (oldest_ > id) return true;
    if (!found_old_) {
      oldest_ = orv_oldest_reader(txn_);
      env_->me_pgoldest = oldest_;
      found_old_ = true;
    }
    return oldest_ > id;
  }

  ORV_txn *txn_;
  ORV_env *env_;
  ORV_cursor m2_;  // zeroed only when the free-page database is read
  ORV_cursor_op op_ = ORV_FIRST;
  txnid_t oldest_ = 0, last_ = 0;
  bool open_ = false, found_old_ = false;
};

// Finds num consecutive free page numbers: in me_pghead, refilled from the
// free-page database while that may help, else at the end of the file.
// *run_out is the run's position in me_pghead, or 0 for the file's end.
int choose_pages(ORV_txn *txn, unsigned num, pgno_t *pgno_out, ORV_ID *run_out) {
  ORV_env *env = txn->mt_env;
  Reclaimer reclaim(txn);
  // Gives up looking for a run after this many records merged without one:
  // a fragmented list must not be read whole for one large value.
  int retry = static_cast<int>(num) * 60;
  for (;;) {
    if (const ORV_ID run = find_run(env->me_pghead, num); run != 0) {
      *run_out = run;
      *pgno_out = env->me_pghead[run];
      return 0;
    }
    const ORV_ID len = env->me_pghead != nullptr ? env->me_pghead[0] : 0;
    if (len > num - 1 && --retry < 0) break;
    bool more;
    if (int rc = reclaim.merge_next(&more); rc != 0) return rc;
    if (!more) break;
  }
  // The last page of the map is never handed out.
  *run_out = 0;
  *pgno_out = txn->mt_next_pgno;
  if (*pgno_out + num >= env->me_maxpg) return ORV_MAP_FULL;
  return 0;
}

}  // namespace

ORV_IDL orv_pghead_take(ORV_env *env, unsigned num) {
  ORV_IDL ids = env->me_pghead_spare;
  if (ids == nullptr) return orv_idl_alloc(static_cast<int>(num));
  ids[0] = 0;
  // A failed growth leaves the buffer as it was: it stays the spare.
  if (orv_idl_need(&ids, num) != 0) return nullptr;
  env->me_pghead_spare = nullptr;
  return ids;
}

void orv_pghead_retain(ORV_env *env, ORV_IDL list) {
  if (list == nullptr) return;
  list[0] = 0;
  // One large transaction must not pin a huge block for ever.
  orv_idl_shrink(&list);
  ORV_IDL spare = env->me_pghead_spare;
  if (spare != nullptr && spare[-1] >= list[-1]) {
    orv_idl_free(list);
    return;
  }
  orv_idl_free(spare);
  env->me_pghead_spare = list;
}

int orv_page_alloc(ORV_cursor *mc, int num, ORV_page **page_out) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  const auto n = static_cast<unsigned>(num);
  *page_out = nullptr;
  if (n == 1 && txn->mt_loose_pgs != nullptr) {
    ORV_page *np = txn->mt_loose_pgs;
    txn->mt_loose_pgs = next_loose_page(np);
    txn->mt_loose_count--;
    *page_out = np;
    return 0;
  }
  if (txn->mt_dirty_room == 0) return orv_txn_fail(txn, ORV_TXN_FULL);

  pgno_t pgno;
  ORV_ID run;
  if (int rc = choose_pages(txn, n, &pgno, &run); rc != 0) return orv_txn_fail(txn, rc);
  // One compare per level, and only for reused pages.
  if (run != 0 && on_committed_path(mc, pgno, n)) return orv_txn_fail(txn, ORV_CORRUPTED);
  ORV_page *np;
  if (env->me_flags & ORV_WRITEMAP) {
    np = reinterpret_cast<ORV_page *>(env->me_map + env->me_psize * pgno);
  } else if (np = orv_page_buf_alloc(txn, n); np == nullptr) {
    return orv_txn_fail(txn, ENOMEM);
  }
  if (run != 0)
    remove_run(env->me_pghead, run, n);
  else
    txn->mt_next_pgno = pgno + n;
  np->mp_pgno = pgno;
  if (int rc = orv_page_dirty(txn, np); rc != 0) return orv_txn_fail(txn, rc);
  *page_out = np;
  return 0;
}

int orv_page_new(ORV_cursor *mc, uint32_t flags, int num, ORV_page **page_out) {
  ORV_page *np;
  if (int rc = orv_page_alloc(mc, num, &np); rc != 0) return rc;
  ORV_db *db = mc->mc_db;
  // P_COUNTED follows the tree, never the caller: every branch page of a
  // counted tree and no other page.
  uint16_t pflags = static_cast<uint16_t>((flags & ~uint32_t{P_COUNTED}) | P_DIRTY);
  np->mp_pad = 0;
  if (pflags & P_BRANCH) {
    db->md_branch_pages++;
    if (db->md_flags & ORV_COUNTED) pflags |= P_COUNTED;
  } else if (pflags & P_LEAF) {
    db->md_leaf_pages++;
  }
  np->mp_flags = pflags;
  if (pflags & P_OVERFLOW) {
    db->md_overflow_pages += static_cast<unsigned>(num);
    set_mp_pages(np, static_cast<uint32_t>(num));
  } else {
    np->mp_lower = PAGEHDRSZ;
    np->mp_upper = static_cast<uint16_t>(mc->mc_txn->mt_env->me_psize);
  }
  *page_out = np;
  return 0;
}

int orv_page_make_loose(ORV_cursor *mc, ORV_page *mp) {
  ORV_txn *txn = mc->mc_txn;
  const pgno_t pgno = mp->mp_pgno;
  bool loose = false;

  // Only a page this transaction made can be reused at once; the free-page
  // tree's pages are kept out, its save loop counts on stable lists.
  if (is_dirty(mp) && mc->mc_dbi != FREE_DBI) {
    if (txn->mt_parent != nullptr) {
      ORV_ID2L dl = txn->mt_dirty_list;
      if (dl[0].mid != 0) {
        const unsigned x = orv_id2l_search(dl, pgno);
        if (x <= dl[0].mid && dl[x].mid == pgno) {
          if (mp != dl[x].mptr) {
            mc->mc_flags &= ~(C_INITIALIZED | C_EOF);
            return orv_txn_fail(txn, ORV_PROBLEM);
          }
          loose = true;
        }
      }
    } else {
      loose = true;
    }
  }
  if (loose) {
    next_loose_page(mp) = txn->mt_loose_pgs;
    txn->mt_loose_pgs = mp;
    txn->mt_loose_count++;
    mp->mp_flags |= P_LOOSE;
    return 0;
  }
  return orv_idl_append(&txn->mt_free_pgs, pgno);
}

int orv_ovpage_free(ORV_cursor *mc, ORV_page *mp) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  const pgno_t pg = mp->mp_pgno;
  const unsigned ovpages = mp_pages(mp);
  ORV_IDL sl = txn->mt_spill_pgs;
  const ORV_ID pn = pg << 1;
  unsigned x = 0;

  // A run this top-level transaction wrote (dirty, or spilled by it) is
  // reachable by no snapshot: it goes straight back to the reusable list.
  if (env->me_pghead != nullptr && txn->mt_parent == nullptr &&
      (is_dirty(mp) || (sl != nullptr && (x = orv_idl_search(sl, pn)) <= sl[0] && sl[x] == pn))) {
    if (int rc = orv_idl_need(&env->me_pghead, ovpages); rc != 0) return rc;
    if (!is_dirty(mp)) {
      if (x == sl[0]) {
        sl[0]--;
      } else {
        sl[x] |= 1;
      }
    } else {
      // Remove the entry by its buffer, searching from the end and moving
      // each passed entry one place down.
      ORV_ID2L dl = txn->mt_dirty_list;
      ORV_ID y = dl[0].mid--;
      ORV_ID2 ix = dl[y];
      while (ix.mptr != mp) {
        orv_assert(env, y > 1);
        y--;
        const ORV_ID2 iy = dl[y];
        dl[y] = ix;
        ix = iy;
      }
      txn->mt_dirty_room++;
      if (!(env->me_flags & ORV_WRITEMAP)) orv_page_buf_free(env, mp);
    }
    ORV_IDL mop = env->me_pghead;
    ORV_ID j = mop[0] + ovpages;
    ORV_ID i = mop[0];
    for (; i > 0 && mop[i] < pg; i--) mop[j--] = mop[i];
    pgno_t p = pg;
    while (j > i) mop[j--] = p++;
    mop[0] += ovpages;
  } else if (int rc = orv_idl_append_range(&txn->mt_free_pgs, pg, ovpages); rc != 0) {
    return rc;
  }
  mc->mc_db->md_overflow_pages -= ovpages;
  return 0;
}
