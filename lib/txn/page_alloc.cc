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
// descending; possibly unaligned) into the descending list mop, which has
// room for count more. The result is descending.
void merge_record(ORV_IDL mop, const std::byte *src, ORV_ID count) {
  ORV_ID i = mop[0];
  ORV_ID k = i + count;
  const ORV_ID total = k;
  mop[0] = ~ORV_ID{0};  // sentinel stops the scan
  for (ORV_ID j = count; j > 0; j--) {
    const ORV_ID id = load_u64(src + j * sizeof(ORV_ID));
    while (mop[i] < id) mop[k--] = mop[i--];
    mop[k--] = id;
  }
  mop[0] = total;
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

int orv_page_alloc(ORV_cursor *mc, int num, ORV_page **page_out) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  const unsigned n2 = static_cast<unsigned>(num) - 1;
  ORV_IDL mop = env->me_pghead;
  ORV_ID mop_len = mop != nullptr ? mop[0] : 0;
  ORV_ID run = 0;  // position of a run found in me_pghead, 0 if none
  pgno_t pgno = 0;
  int retry = num * 60;
  bool m2_open = false, found_old = false;
  txnid_t oldest = 0, last = 0;
  ORV_cursor m2;  // zeroed only when the free-page database is read
  ORV_page *np = nullptr;
  int rc = 0;

  *page_out = nullptr;
  if (num == 1 && txn->mt_loose_pgs != nullptr) {
    np = txn->mt_loose_pgs;
    txn->mt_loose_pgs = next_loose_page(np);
    txn->mt_loose_count--;
    *page_out = np;
    return 0;
  }

  if (txn->mt_dirty_room == 0) {
    rc = ORV_TXN_FULL;
    goto fail;
  }

  for (ORV_cursor_op op = ORV_FIRST;; op = ORV_NEXT) {
    // Look for num consecutive numbers, preferring the lowest (the tail).
    if (mop_len > n2) {
      for (ORV_ID i = mop_len; i > n2; i--) {
        if (mop[i - n2] == mop[i] + n2) {
          run = i;
          pgno = mop[i];
          break;
        }
      }
      if (run != 0) break;
      if (--retry < 0) break;
    }

    if (op == ORV_FIRST) {
      last = env->me_pglast;
      oldest = env->me_pgoldest;
      m2 = ORV_cursor{};
      orv_cursor_init(&m2, txn, FREE_DBI, nullptr);
      m2_open = true;
      if (last != 0) op = ORV_SET_RANGE;
    }

    last++;
    if (oldest <= last) {
      if (!found_old) {
        oldest = orv_oldest_reader(txn);
        env->me_pgoldest = oldest;
        found_old = true;
      }
      if (oldest <= last) break;
    }

    txnid_t seek = last;  // SET_RANGE: the first record after me_pglast
    ORV_val key = {sizeof(seek), &seek}, data = {0, nullptr};
    rc = orv_cursor_get0(&m2, &key, &data, op);
    if (rc != 0) {
      if (rc == ORV_NOTFOUND) {
        rc = 0;
        break;
      }
      goto fail;
    }
    if (key.mv_size != sizeof(txnid_t)) {
      rc = ORV_CORRUPTED;
      goto fail;
    }
    last = load_u64(key.mv_data);
    if (oldest <= last) {
      if (!found_old) {
        oldest = orv_oldest_reader(txn);
        env->me_pgoldest = oldest;
        found_old = true;
      }
      if (oldest <= last) break;
    }

    // A bad record must not hand out a live page, nor one page twice.
    ORV_ID count;
    if (!orv_free_record_ok(data.mv_data, data.mv_size, txn->mt_next_pgno, &count)) {
      rc = ORV_CORRUPTED;
      goto fail;
    }
    if (mop == nullptr) {
      env->me_pghead = orv_idl_alloc(static_cast<int>(count));
      if (env->me_pghead == nullptr) {
        rc = ENOMEM;
        goto fail;
      }
    } else if ((rc = orv_idl_need(&env->me_pghead, static_cast<unsigned>(count))) != 0) {
      goto fail;
    }
    mop = env->me_pghead;
    env->me_pglast = last;
    merge_record(mop, static_cast<const std::byte *>(data.mv_data), count);
    mop_len = mop[0];
  }

  if (run == 0) {
    // Nothing reusable: extend the file. The last page of the map is
    // never handed out.
    pgno = txn->mt_next_pgno;
    if (pgno + static_cast<unsigned>(num) >= env->me_maxpg) {
      rc = ORV_MAP_FULL;
      goto fail;
    }
  }

  if (env->me_flags & ORV_WRITEMAP) {
    np = reinterpret_cast<ORV_page *>(env->me_map + env->me_psize * pgno);
  } else {
    np = orv_page_buf_alloc(txn, static_cast<unsigned>(num));
    if (np == nullptr) {
      rc = ENOMEM;
      goto fail;
    }
  }
  if (run != 0) {
    // Close the gap the run leaves; the entries after it move down.
    mop_len -= static_cast<ORV_ID>(num);
    mop[0] = mop_len;
    for (ORV_ID j = run - static_cast<ORV_ID>(num), i = run; j < mop_len;) mop[++j] = mop[++i];
  } else {
    txn->mt_next_pgno = pgno + static_cast<unsigned>(num);
  }
  np->mp_pgno = pgno;
  if ((rc = orv_page_dirty(txn, np)) != 0) goto fail;
  *page_out = np;
  if (m2_open) orv_pkc_free(&m2);
  return 0;

fail:
  if (m2_open) orv_pkc_free(&m2);
  return orv_txn_fail(txn, rc);
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
