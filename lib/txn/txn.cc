// Transaction records and their start: the preallocated write record of an
// environment, begin (read-only, write and nested), the start on the current
// snapshot, the small accessors and the scratch area that prefix-compressed
// page rebuilds borrow. The end of a transaction lives in txn_end.cc.
//
// Record layout: one zero-filled block holds the ORV_txn followed by its
// per-database arrays, each me_maxdbs long, in this order:
//   mt_dbs      ORV_db[n]        every transaction
//   mt_cursors  ORV_cursor *[n]  write and nested transactions
//   mt_dbiseqs  uint32_t[n]      me_txn0 only (others borrow theirs)
//   mt_dbflags  uint8_t[n]       every transaction
// Each array size is a multiple of the next one's alignment, so the arrays
// need no padding between them.
#include "txn/txn.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "idl.h"

namespace {

constexpr unsigned WITH_CURSORS = 1;
constexpr unsigned WITH_DBISEQS = 2;

static_assert(sizeof(ORV_txn) % alignof(ORV_db) == 0);
static_assert(sizeof(ORV_db) % alignof(ORV_cursor *) == 0);

// Allocates a zero-filled record with its arrays for env->me_maxdbs slots
// and points the array fields at them. Null on allocation failure.
ORV_txn *txn_block_alloc(ORV_env *env, unsigned parts) {
  size_t n = env->me_maxdbs;
  size_t size = sizeof(ORV_txn) + n * sizeof(ORV_db) + n;
  if (parts & WITH_CURSORS) size += n * sizeof(ORV_cursor *);
  if (parts & WITH_DBISEQS) size += n * sizeof(uint32_t);
  auto *txn = static_cast<ORV_txn *>(std::calloc(1, size));
  if (txn == nullptr) return nullptr;
  char *p = reinterpret_cast<char *>(txn + 1);
  txn->mt_dbs = reinterpret_cast<ORV_db *>(p);
  p += n * sizeof(ORV_db);
  if (parts & WITH_CURSORS) {
    txn->mt_cursors = reinterpret_cast<ORV_cursor **>(p);
    p += n * sizeof(ORV_cursor *);
  }
  if (parts & WITH_DBISEQS) {
    txn->mt_dbiseqs = reinterpret_cast<uint32_t *>(p);
    p += n * sizeof(uint32_t);
  }
  txn->mt_dbflags = reinterpret_cast<uint8_t *>(p);
  txn->mt_dbxs = env->me_dbxs;
  txn->mt_env = env;
  return txn;
}

}  // namespace

int orv_txn0_alloc(ORV_env *env) {
  ORV_txn *txn = txn_block_alloc(env, WITH_CURSORS | WITH_DBISEQS);
  if (txn == nullptr) return ENOMEM;
  txn->mt_flags = ORV_TXN_FINISHED;
  env->me_txn0 = txn;
  return 0;
}

// ---- Start ----------------------------------------------------------------------

namespace {

// Write start: the writer mutex, then the newest meta the lock table names.
int renew_write(ORV_txn *txn, ORV_meta *snap) {
  ORV_env *env = txn->mt_env;
  if (env->me_txns != nullptr) {
    if (int rc = orv_wmutex_lock(env); rc != 0) return rc;
    // Under the writer mutex no commit can rewrite this meta.
    txnid_t id = env->me_txns->mti_txnid.load();
    *snap = *env->me_metas[id & 1];
    txn->mt_txnid = id + 1;
  } else {
    *snap = *orv_env_pick_meta(env);
    txn->mt_txnid = snap->mm_txnid + 1;
  }
  txn->mt_child = nullptr;
  txn->mt_loose_pgs = nullptr;
  txn->mt_loose_count = 0;
  txn->mt_dirty_room = ORV_IDL_UM_MAX;
  txn->mt_dirty_list = env->me_dirty_list;
  txn->mt_dirty_list[0].mid = 0;
  std::memset(txn->mt_dirty_seen, 0, sizeof(txn->mt_dirty_seen));
  txn->mt_free_pgs = env->me_free_pgs;
  txn->mt_free_pgs[0] = 0;
  txn->mt_spill_pgs = nullptr;
  env->me_txn = txn;
  std::memcpy(txn->mt_dbiseqs, env->me_dbiseqs, env->me_maxdbs * sizeof(uint32_t));
  return 0;
}

}  // namespace

int orv_txn_renew0(ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  ORV_meta snap;
  unsigned fail_mode = ORV_END_FAIL_BEGIN;
  if (!txn_is_rdonly(txn)) {
    if (int rc = renew_write(txn, &snap); rc != 0) return rc;
  } else if (env->me_txns != nullptr) {
    int fresh = 0;
    if (int rc = orv_reader_acquire(env, txn, &snap, &fresh); rc != 0) return rc;
    if (fresh && (env->me_flags & ORV_NOTLS)) fail_mode |= ORV_END_SLOT;
  } else {
    snap = *orv_env_pick_meta(env);
    txn->mt_txnid = snap.mm_txnid;
    txn->mt_reader = nullptr;
  }

  txn->mt_dbs[FREE_DBI] = snap.mm_dbs[FREE_DBI];
  txn->mt_dbs[MAIN_DBI] = snap.mm_dbs[MAIN_DBI];
  txn->mt_next_pgno = snap.mm_last_pg + 1;
  txn->mt_flags &= ORV_RDONLY;
  txn->mt_error = 0;
  txn->mt_dbcount = env->me_dbcount;
  for (uint32_t i = CORE_DBS; i < txn->mt_dbcount; i++) {
    const uint16_t f = env->me_dbflags[i];
    txn->mt_dbs[i].md_flags = f & ORV_DB_PERSISTENT;
    // Named records are read again from the main database on first use.
    txn->mt_dbflags[i] = (f & ORV_DB_OPEN_MARK) ? (DB_VALID | DB_USRVALID | DB_STALE) : 0;
  }
  txn->mt_dbflags[MAIN_DBI] = DB_VALID | DB_USRVALID;
  txn->mt_dbflags[FREE_DBI] = DB_VALID;

  int rc = 0;
  if (env->me_flags & ORV_FATAL_ERROR)
    rc = ORV_PANIC;
  else if (!orv_free_db_record_ok(&txn->mt_dbs[FREE_DBI]))
    rc = ORV_CORRUPTED;
  else if (env->me_maxpg < txn->mt_next_pgno)
    rc = ORV_MAP_RESIZED;
  if (rc != 0) orv_txn_end(txn, fail_mode);
  return rc;
}

// ---- Begin ----------------------------------------------------------------------

namespace {

// Sets up a nested child of parent in the fresh record txn. On failure the
// child has been ended and freed and the parent is as it was.
int begin_child(ORV_txn *parent, ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  txn->mt_dbiseqs = parent->mt_dbiseqs;
  txn->mt_dirty_list = static_cast<ORV_ID2L>(std::malloc(sizeof(ORV_ID2) * ORV_IDL_UM_SIZE));
  txn->mt_free_pgs = orv_idl_alloc(ORV_IDL_UM_MAX);
  if (txn->mt_dirty_list == nullptr || txn->mt_free_pgs == nullptr) {
    std::free(txn->mt_dirty_list);
    orv_idl_free(txn->mt_free_pgs);
    std::free(txn);
    return ENOMEM;
  }
  txn->mt_dirty_list[0].mid = 0;
  std::memset(txn->mt_dirty_seen, 0, sizeof(txn->mt_dirty_seen));
  txn->mt_txnid = parent->mt_txnid;
  txn->mt_dirty_room = parent->mt_dirty_room;
  txn->mt_next_pgno = parent->mt_next_pgno;
  txn->mt_spill_pgs = nullptr;
  parent->mt_flags |= ORV_TXN_HAS_CHILD;
  parent->mt_child = txn;
  txn->mt_parent = parent;
  txn->mt_dbcount = parent->mt_dbcount;
  std::memcpy(txn->mt_dbs, parent->mt_dbs, txn->mt_dbcount * sizeof(ORV_db));
  for (uint32_t i = 0; i < txn->mt_dbcount; i++)
    txn->mt_dbflags[i] = parent->mt_dbflags[i] & static_cast<uint8_t>(~DB_NEW);

  // The child consumes reusable pages from a copy of the list; an abort
  // puts the parent's list back untouched.
  txn->mt_saved_pghead = env->me_pghead;
  txn->mt_saved_pglast = env->me_pglast;
  int rc = 0;
  if (env->me_pghead != nullptr) {
    const ORV_ID n = env->me_pghead[0];
    ORV_IDL copy = orv_idl_alloc(static_cast<int>(n));
    if (copy == nullptr) {
      rc = ENOMEM;
    } else {
      std::memcpy(copy, env->me_pghead, (n + 1) * sizeof(ORV_ID));
      env->me_pghead = copy;
    }
  }
  if (rc == 0) rc = orv_cursors_backup(parent, txn);
  if (rc != 0) orv_txn_end(txn, ORV_END_FAIL_BEGINCHILD | ORV_END_FREE);
  return rc;
}

int txn_begin(ORV_env *env, ORV_txn *parent, unsigned flags, ORV_txn **ret) {
  if ((env->me_flags & ORV_RDONLY) && !(flags & ORV_RDONLY)) return EACCES;
  uint32_t tflags = (env->me_flags & ORV_WRITEMAP) | (flags & ORV_TXN_BEGIN_FLAGS);
  if (parent != nullptr) {
    tflags |= parent->mt_flags;
    if (tflags & (ORV_RDONLY | ORV_WRITEMAP | ORV_TXN_BLOCKED))
      return (parent->mt_flags & ORV_RDONLY) ? EINVAL : ORV_BAD_TXN;
  }

  ORV_txn *txn;
  int rc;
  if (parent != nullptr || (tflags & ORV_RDONLY)) {
    txn = txn_block_alloc(env, parent != nullptr ? WITH_CURSORS : 0);
    if (txn == nullptr) return ENOMEM;
    txn->mt_flags = tflags;
    if (parent != nullptr) {
      rc = begin_child(parent, txn);
      if (rc != 0) return rc;
    } else {
      txn->mt_dbiseqs = env->me_dbiseqs;
      rc = orv_txn_renew0(txn);
      if (rc != 0) {
        // A failed start has released whatever slot it took for the record.
        orv_txn_scratch_free(&txn->mt_scratch);
        std::free(txn);
        return rc;
      }
    }
  } else {
    txn = env->me_txn0;
    rc = orv_txn_renew0(txn);
    if (rc != 0) return rc;
  }
  txn->mt_flags |= tflags;
  *ret = txn;
  return 0;
}

}  // namespace

extern "C" ORV_API int orv_txn_begin(ORV_env *env, ORV_txn *parent, unsigned int flags,
                                     ORV_txn **ret) noexcept {
  if (env == nullptr || ret == nullptr) return EINVAL;
  // Only an open environment has metas to start from.
  if (!(env->me_flags & ORV_ENV_ACTIVE) || env->me_map == nullptr) return EINVAL;
  if (parent != nullptr && parent->mt_env != env) return EINVAL;
  return txn_begin(env, parent, flags, ret);
}

extern "C" ORV_API ORV_env *orv_txn_env(ORV_txn *txn) noexcept {
  return txn == nullptr ? nullptr : txn->mt_env;
}

extern "C" ORV_API uint64_t orv_txn_id(ORV_txn *txn) noexcept {
  return txn == nullptr ? 0 : txn->mt_txnid;
}

// ---- Scratch area --------------------------------------------------------------

int orv_txn_scratch(ORV_txn *txn, size_t size, void **buf_out) {
  constexpr uint64_t kMin = 4096;
  ORV_scratch *s = &txn->mt_scratch;
  uint64_t want = size > kMin ? size : kMin;
  if (s->ms_dkeys_cap < want) {
    if (int rc = orv_buf_grow(&s->ms_dkeys, &s->ms_dkeys_cap, want, kMin); rc != 0) return rc;
  }
  if (buf_out != nullptr) *buf_out = s->ms_dkeys;
  return 0;
}

void orv_txn_scratch_free(ORV_scratch *scratch) {
  if (scratch == nullptr) return;
  std::free(scratch->ms_page);
  std::free(scratch->ms_entries);
  std::free(scratch->ms_dkeys);
  std::free(scratch->ms_counts);
  if (scratch->ms_klx != nullptr) {
    for (uint32_t i = 0; i < scratch->ms_klx_cap; i++) {
      ORV_keylen_entry *e = &scratch->ms_klx[i];
      if (e->kl_pgno != P_INVALID) std::free(e->kl_lens);
    }
    std::free(scratch->ms_klx);
  }
  std::memset(scratch, 0, sizeof(*scratch));
}

void orv_txn_scratch_invalidate(ORV_scratch *scratch) {
  if (scratch->ms_klx == nullptr) return;
  for (uint32_t i = 0; i < scratch->ms_klx_cap; i++) {
    ORV_keylen_entry *e = &scratch->ms_klx[i];
    if (e->kl_pgno != P_INVALID) e->kl_valid = 0;
  }
}
