// Page access for a transaction: finding a page by number (own dirty copies
// first, then spilled pages, then the map), entering pages into the dirty
// list, bringing spilled pages back, page buffers and page copies.
//
// Lookup order matters: a write transaction and each of its ancestors may
// hold a private copy of a page, and the nearest one wins. A page that a
// transaction wrote out early (spilled) is read from the map even if an
// ancestor still holds an older dirty copy of it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

namespace {

// 0 when page pgno of the map lies inside the data file, ORV_CORRUPTED when
// it lies past its end, or the error of looking the length up. The file's
// length is looked up again only when pgno lies past what was last seen:
// commits of other processes grow the file, and a page they wrote is
// reachable only after their meta page, so a stale length is never too
// long. An environment without a file maps only memory of its own.
int page_in_file(ORV_env *env, pgno_t pgno) {
  if (pgno < env->me_file_pages.load(std::memory_order_relaxed)) return 0;
  if (env->me_fd < 0) return pgno < env->me_maxpg ? 0 : ORV_CORRUPTED;
  struct stat st;
  if (orv_sys.fstat(env->me_fd, &st) != 0) return errno;
  const uint64_t pages = static_cast<uint64_t>(st.st_size) / env->me_psize;
  orv_env_file_pages_seen(env, pages);
  return pgno < pages ? 0 : ORV_CORRUPTED;
}

// Position of id in a spill list, or 0 when absent.
unsigned spill_find(ORV_IDL sl, ORV_ID pn) {
  const unsigned x = orv_idl_search(sl, pn);
  return (x <= sl[0] && sl[x] == pn) ? x : 0;
}

}  // namespace

namespace {

// orv_page_get past its fast path: the private copies of a writer, and
// every check that tells a damaged page number apart.
[[gnu::noinline]] int page_get_checked(ORV_cursor *mc, pgno_t pgno, ORV_page **page_out,
                                       int *level_out) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  int level = 0;

  // Read-only cursors and write-map transactions have no private copies:
  // every page is in the map.
  const bool copies = !(mc->mc_flags & (C_ORIG_RDONLY | C_WRITEMAP)) && !txn_is_rdonly(txn);
  if (copies) {
    level = 1;
    for (ORV_txn *tx2 = txn; tx2 != nullptr; tx2 = tx2->mt_parent, level++) {
      if (tx2->mt_spill_pgs != nullptr && spill_find(tx2->mt_spill_pgs, pgno << 1) != 0) {
        *page_out = reinterpret_cast<ORV_page *>(env->me_map + env->me_psize * pgno);
        if (level_out != nullptr) *level_out = level;
        return 0;
      }
      ORV_ID2L dl = tx2->mt_dirty_list;
      const ORV_ID count = dl[0].mid;
      if (count != 0 && orv_dirty_seen(tx2, pgno)) {
        uint32_t &hint = tx2->mt_dirty_hint[pgno % ORV_DIRTY_HINTS];
        unsigned x = hint;
        if (x - 1u >= count || dl[x].mid != pgno) {
          x = orv_id2l_search(dl, pgno);
          if (x > count || dl[x].mid != pgno) continue;
          hint = x;
        }
        *page_out = static_cast<ORV_page *>(dl[x].mptr);
        if (level_out != nullptr) *level_out = level;
        return 0;
      }
    }
    level = 0;
  }

  if (pgno >= txn->mt_next_pgno) {
    // A page number beyond the snapshot: the tree is damaged.
    return orv_txn_fail(txn, ORV_PAGE_NOTFOUND);
  }
  // Inside the snapshot but a meta page, past the map or past the end of
  // the file (a damaged last-page number): nothing a tree may point at.
  if (pgno < NUM_METAS || pgno >= env->me_maxpg) return orv_txn_fail(txn, ORV_CORRUPTED);
  // A failed look-up of the length changes nothing: only damage fails the
  // transaction.
  if (int rc = page_in_file(env, pgno); rc != 0)
    return rc == ORV_CORRUPTED ? orv_txn_fail(txn, rc) : rc;
  auto *mp = reinterpret_cast<ORV_page *>(env->me_map + env->me_psize * pgno);
  // Pages reach the file without their in-memory flags. A write would take
  // a mapped page claiming P_DIRTY for its own copy and change the
  // read-only map in place (under ORV_WRITEMAP its own pages are mapped).
  if (copies && (mp->mp_flags & (P_DIRTY | P_LOOSE | P_KEEP))) [[unlikely]]
    return orv_txn_fail(txn, ORV_CORRUPTED);
  *page_out = mp;
  if (level_out != nullptr) *level_out = level;
  return 0;
}

}  // namespace

int orv_page_get(ORV_cursor *mc, pgno_t pgno, ORV_page **page_out, int *level_out) {
  const ORV_txn *txn = mc->mc_txn;
  const ORV_env *env = txn->mt_env;
  // The common case of a reader (no private copies: every page is in the
  // map): a page of the snapshot that is no meta page, inside the map and
  // inside the file as last seen maps straight into the map. Anything else
  // takes the full path, which tells the damage apart.
  if (((mc->mc_flags & (C_ORIG_RDONLY | C_WRITEMAP)) || txn_is_rdonly(txn)) && pgno >= NUM_METAS &&
      pgno < txn->mt_next_pgno && pgno < env->me_maxpg &&
      pgno < env->me_file_pages.load(std::memory_order_relaxed)) [[likely]] {
    *page_out = reinterpret_cast<ORV_page *>(env->me_map + env->me_psize * pgno);
    if (level_out != nullptr) *level_out = 0;
    return 0;
  }
  return page_get_checked(mc, pgno, page_out, level_out);
}

int orv_overflow_page_get(ORV_cursor *mc, const ORV_node *node, ORV_page **omp_out) {
  ORV_txn *txn = mc->mc_txn;
  ORV_env *env = txn->mt_env;
  const pgno_t pgno = load_u64(node_data(node));
  ORV_page *omp;
  int level;
  if (int rc = orv_page_get(mc, pgno, &omp, &level); rc != 0) return rc;
  // The whole run must be pages of the snapshot; read from the map, it
  // must lie inside the file too (its first page already does).
  if (!orv_overflow_page_ok(omp, pgno, env->me_psize, txn->mt_next_pgno, node_dsize(node)))
    return orv_txn_fail(txn, ORV_CORRUPTED);
  if (level == 0) {
    if (int rc = page_in_file(env, pgno + mp_pages(omp) - 1); rc != 0)
      return rc == ORV_CORRUPTED ? orv_txn_fail(txn, rc) : rc;
  }
  *omp_out = omp;
  return 0;
}

int orv_page_dirty(ORV_txn *txn, ORV_page *mp) {
  ORV_ID2 mid = {mp->mp_pgno, mp};
  ORV_ID2L dl = txn->mt_dirty_list;
  int rc;
  // Pages are mostly handed out in ascending order (the reusable list from
  // its lowest page, then the end of the file): a number above the last
  // entry keeps the sorted list sorted when appended, without a search.
  if ((txn->mt_flags & ORV_WRITEMAP) || dl[0].mid == 0 || dl[dl[0].mid].mid < mid.mid) {
    rc = orv_id2l_append(dl, &mid);
  } else {
    rc = orv_id2l_insert(dl, &mid);
  }
  orv_assert(txn->mt_env, rc == 0);
  orv_dirty_seen_add(txn, mid.mid);
  txn->mt_dirty_room--;
  return 0;
}

ORV_page *orv_page_buf_alloc(ORV_txn *txn, unsigned num) {
  ORV_env *env = txn->mt_env;
  size_t psize = env->me_psize;
  size_t size = psize;
  size_t off;

  if (num == 1) {
    if (ORV_page *mp = env->me_dpages; mp != nullptr) {
      env->me_dpages = next_spare_page(mp);
      return mp;
    }
    off = PAGEHDRSZ;
    psize -= off;
  } else {
    size *= num;
    off = size - psize;
  }
  auto *mp = static_cast<ORV_page *>(std::malloc(size));
  if (mp == nullptr) {
    orv_txn_fail(txn, ENOMEM);
    return nullptr;
  }
  if (!(env->me_flags & ORV_NOMEMINIT)) {
    // Only the part never written by the caller is cleared, so that no
    // stale heap bytes reach the file.
    std::memset(page_bytes(mp) + off, 0, psize);
    mp->mp_pad = 0;
  }
  return mp;
}

void orv_page_buf_free(ORV_env *env, ORV_page *mp) {
  if (is_overflow(mp) && mp_pages(mp) != 1) {
    std::free(mp);
    return;
  }
  next_spare_page(mp) = env->me_dpages;
  env->me_dpages = mp;
}

void orv_page_copy(ORV_page *dst, const ORV_page *src, unsigned psize) {
  const unsigned lower = src->mp_lower;
  const unsigned upper = src->mp_upper;
  // Overflow pages keep a run length where lower/upper would be, and a
  // damaged header must not make the copy run outside the page: copy such
  // pages whole.
  if (is_overflow(src) || lower < PAGEHDRSZ || upper < lower || upper > psize) {
    std::memcpy(dst, src, psize);
    return;
  }
  const unsigned gap = (upper - lower) & ~7u;
  if (gap == 0 || is_leaf2(src)) {
    std::memcpy(dst, src, psize - gap);
    return;
  }
  // Header and slots, then the node area; the free middle is skipped.
  const unsigned head = (lower + 7) & ~7u;
  const unsigned tail = upper & ~7u;
  std::memcpy(dst, src, head);
  std::memcpy(page_bytes(dst) + tail, page_bytes(src) + tail, psize - tail);
}

int orv_page_unspill(ORV_txn *txn, ORV_page *mp, ORV_page **page_out) {
  ORV_env *env = txn->mt_env;
  const ORV_ID pn = mp->mp_pgno << 1;

  for (ORV_txn *tx2 = txn; tx2 != nullptr; tx2 = tx2->mt_parent) {
    if (tx2->mt_spill_pgs == nullptr) continue;
    const unsigned x = spill_find(tx2->mt_spill_pgs, pn);
    if (x == 0) continue;

    if (txn->mt_dirty_room == 0) return ORV_TXN_FULL;
    const unsigned num = is_overflow(mp) ? mp_pages(mp) : 1;
    ORV_page *np;
    if (env->me_flags & ORV_WRITEMAP) {
      np = mp;
    } else {
      np = orv_page_buf_alloc(txn, num);
      if (np == nullptr) return ENOMEM;
      if (is_overflow(mp)) {
        std::memcpy(np, mp, size_t{num} * env->me_psize);
      } else {
        orv_page_copy(np, mp, env->me_psize);
      }
    }
    if (tx2 == txn) {
      // An ancestor's entry stays until this transaction commits into it.
      ORV_IDL sl = txn->mt_spill_pgs;
      if (x == sl[0]) {
        sl[0]--;
      } else {
        sl[x] |= 1;
      }
    }
    if (int rc = orv_page_dirty(txn, np); rc != 0) return rc;
    np->mp_flags |= P_DIRTY;
    *page_out = np;
    return 0;
  }
  return 0;
}
