// Named databases: opening, creating, closing and querying database handles,
// installing comparators and relocation callbacks, and comparing values the
// way a database does.
//
// A named database is a record in the main database: the key is its name,
// the value its 48-byte ORV_db, stored with node flag F_SUBDATA. A handle is
// a slot of the environment's database table (name, comparators, callbacks
// in me_dbxs; flags in me_dbflags; a sequence number in me_dbiseqs that
// advances whenever the slot is opened or closed). Each transaction keeps its
// own copy of the records (mt_dbs), a state byte per slot (mt_dbflags) and the
// sequence numbers as it saw them (mt_dbiseqs); a handle whose sequence
// number no longer matches the environment's belongs to a closed slot.
//
// Comparators: every open database has a key comparator at all times. The
// main database gets its defaults when the environment opens, and every
// successful orv_dbi_open installs the defaults of the database it opens.
// The setters never leave a null key comparator behind: passing null
// reinstalls the built-in one.
//
// Concurrency: the table is shared by every transaction of the process and
// is not locked. orv_dbi_open fills slots, so it must not run in two
// transactions of one process at the same time; orv_dbi_close must not run
// while any transaction uses the handle.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"

namespace {

// Database flags of the table that reach md_flags.
constexpr unsigned kDbFlags = ORV_DB_OPEN_FLAGS & ~ORV_CREATE;

// The temporary cursor of a name lookup: no sub-cursor (the main database
// cannot hold duplicates when it holds named databases), page key cache freed
// on every exit.
struct NameCursor {
  ORV_cursor mc;
  explicit NameCursor(ORV_txn *txn) {
    std::memset(&mc, 0, sizeof mc);
    orv_cursor_init(&mc, txn, MAIN_DBI, nullptr);
  }
  ~NameCursor() { orv_pkc_free(&mc); }
  NameCursor(const NameCursor &) = delete;
  NameCursor &operator=(const NameCursor &) = delete;
};

// Looks the name up in the main database. 0 with *rec filled when it names a
// database, ORV_NOTFOUND when absent, ORV_INCOMPATIBLE when the key holds
// plain data, or the error of the search.
int lookup_name(NameCursor &nc, ORV_val *key, ORV_db *rec) {
  ORV_val data{0, nullptr};
  int exact = 0;
  int rc = orv_cursor_set(&nc.mc, key, &data, ORV_SET, &exact);
  if (rc != 0) return rc;
  const ORV_node *node = node_ptr(cursor_page(&nc.mc), cursor_slot(&nc.mc));
  if ((node->mn_flags & (F_SUBDATA | F_DUPDATA)) != F_SUBDATA) return ORV_INCOMPATIBLE;
  // The record comes from the file: a value of the wrong size is damage,
  // not a database.
  if (data.mv_size != sizeof(ORV_db) || data.mv_data == nullptr) return ORV_CORRUPTED;
  std::memcpy(rec, data.mv_data, sizeof(ORV_db));
  return 0;
}

// Writes a fresh record under the name. The cursor is tracked while the put
// runs so that page splits fix it up like any other cursor.
int create_record(NameCursor &nc, ORV_val *key, ORV_db *rec) {
  ORV_val data{sizeof(ORV_db), rec};
  ORV_cursor_tracker track(&nc.mc);
  return orv_cursor_put0(&nc.mc, key, &data, F_SUBDATA);
}

int open_main(ORV_txn *txn, unsigned flags, ORV_dbi *dbi) {
  ORV_db &main = txn->mt_dbs[MAIN_DBI];
  unsigned want = flags & kDbFlags;
  if ((main.md_flags | want) != main.md_flags) {
    // New flags change the order of keys or the layout of values; applying
    // them to a tree that already holds entries would make its existing
    // order wrong. Only an empty main database may gain flags.
    if (main.md_root != P_INVALID) return ORV_INCOMPATIBLE;
    main.md_flags = static_cast<uint16_t>(main.md_flags | want);
    txn->mt_flags |= ORV_TXN_DIRTY;
  }
  orv_default_cmp(txn, MAIN_DBI);
  *dbi = MAIN_DBI;
  return 0;
}

int open_named(ORV_txn *txn, const char *name, unsigned flags, ORV_dbi *dbi) {
  ORV_env *env = txn->mt_env;
  if (txn->mt_dbxs[MAIN_DBI].md_cmp == nullptr) orv_default_cmp(txn, MAIN_DBI);

  size_t len = std::strlen(name);
  // An empty name can never be a key; it must not match a closed slot
  // (whose name is empty) either.
  if (len == 0) return ORV_BAD_VALSIZE;

  ORV_dbi slot = 0;
  for (ORV_dbi i = CORE_DBS; i < txn->mt_dbcount; i++) {
    const ORV_val &n = txn->mt_dbxs[i].md_name;
    if (n.mv_size == 0) {
      if (slot == 0) slot = i;
      continue;
    }
    // A database deleted in this transaction keeps its slot until the
    // commit; the name may be created again meanwhile, in another slot.
    if (txn->mt_dbflags[i] & DB_DELETED) continue;
    if (n.mv_size == len && std::memcmp(n.mv_data, name, len) == 0) {
      *dbi = i;
      return 0;
    }
  }
  if (slot == 0) {
    if (txn->mt_dbcount >= env->me_maxdbs) return ORV_DBS_FULL;
    slot = txn->mt_dbcount;
  }

  if (txn->mt_dbs[MAIN_DBI].md_flags & (ORV_DUPSORT | ORV_INTEGERKEY))
    return (flags & ORV_CREATE) ? ORV_INCOMPATIBLE : ORV_NOTFOUND;

  // Copy the name first, so that a failed allocation changes nothing.
  char *copy = static_cast<char *>(std::malloc(len));
  if (copy == nullptr) return ENOMEM;
  std::memcpy(copy, name, len);

  ORV_val key{len, copy};
  ORV_db rec{};
  uint8_t state = DB_NEW | DB_VALID | DB_USRVALID;
  int rc;
  {
    NameCursor nc(txn);
    rc = lookup_name(nc, &key, &rec);
    if (rc == ORV_NOTFOUND) {
      if (!(flags & ORV_CREATE)) {
        rc = ORV_NOTFOUND;
      } else if (txn_is_rdonly(txn)) {
        rc = EACCES;
      } else {
        rec = ORV_db{};
        rec.md_flags = static_cast<uint16_t>(flags & 0xFFFF);
        rec.md_root = P_INVALID;
        rc = create_record(nc, &key, &rec);
        if (rc == 0) {
          state |= DB_DIRTY;
          txn->mt_flags |= ORV_TXN_DIRTY;
        }
      }
    }
  }
  if (rc != 0) {
    std::free(copy);
    return rc;
  }

  ORV_dbx &x = txn->mt_dbxs[slot];
  x.md_name = key;
  x.md_rel = nullptr;
  x.md_relctx = nullptr;
  txn->mt_dbflags[slot] = state;
  txn->mt_dbiseqs[slot] = ++env->me_dbiseqs[slot];
  txn->mt_dbs[slot] = rec;
  orv_default_cmp(txn, slot);
  if (slot == txn->mt_dbcount) txn->mt_dbcount++;
  *dbi = slot;
  return 0;
}

}  // namespace

// ---- Internal -------------------------------------------------------------------

void orv_default_cmp(ORV_txn *txn, ORV_dbi dbi) {
  unsigned f = txn->mt_dbs[dbi].md_flags;
  ORV_dbx &x = txn->mt_dbxs[dbi];
  x.md_cmp = orv_default_key_cmp(f);
  x.md_dcmp = orv_default_dup_cmp(f);
}

int orv_txn_dbi_check(const ORV_txn *txn, ORV_dbi dbi, uint8_t validity) {
  if (txn == nullptr || dbi >= txn->mt_dbcount || !(txn->mt_dbflags[dbi] & validity)) return EINVAL;
  if (txn->mt_dbiseqs[dbi] != txn->mt_env->me_dbiseqs[dbi]) return ORV_BAD_DBI;
  return 0;
}

// ---- Exported ---------------------------------------------------------------------

extern "C" ORV_API int orv_dbi_open(ORV_txn *txn, const char *name, unsigned int flags,
                                    ORV_dbi *dbi) noexcept {
  if (txn == nullptr || dbi == nullptr || (flags & ~ORV_DB_OPEN_FLAGS)) return EINVAL;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  if (name == nullptr) return open_main(txn, flags, dbi);
  return open_named(txn, name, flags, dbi);
}

extern "C" ORV_API void orv_dbi_close(ORV_env *env, ORV_dbi dbi) noexcept {
  if (env == nullptr || dbi < CORE_DBS || dbi >= env->me_maxdbs) return;
  ORV_dbx &x = env->me_dbxs[dbi];
  if (x.md_name.mv_size == 0) return;
  void *ptr = x.md_name.mv_data;
  x.md_name = ORV_val{0, nullptr};
  env->me_dbflags[dbi] = 0;
  // Transactions still carrying the old record see the new number and
  // answer ORV_BAD_DBI instead of using a slot that may be reused.
  env->me_dbiseqs[dbi]++;
  std::free(ptr);
}

extern "C" ORV_API int orv_dbi_flags(ORV_txn *txn, ORV_dbi dbi, unsigned int *flags) noexcept {
  if (flags == nullptr) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  *flags = txn->mt_dbs[dbi].md_flags & ORV_DB_PERSISTENT;
  return 0;
}

extern "C" ORV_API int orv_stat(ORV_txn *txn, ORV_dbi dbi, ORV_stat *stat) noexcept {
  if (stat == nullptr) return EINVAL;
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_VALID); rc != 0) return rc;
  if (txn->mt_flags & ORV_TXN_BLOCKED) return ORV_BAD_TXN;
  if (txn->mt_dbflags[dbi] & DB_STALE) {
    ORV_cursor mc;
    ORV_xcursor mx;
    std::memset(&mc, 0, sizeof mc);
    std::memset(&mx, 0, sizeof mx);
    orv_cursor_init(&mc, txn, dbi, &mx);
    int rc = 0;
    // The init refreshes the record but does not report failures; a record
    // that is still stale must not be reported as if it were current.
    if (txn->mt_dbflags[dbi] & DB_STALE) rc = orv_page_search(&mc, nullptr, ORV_PS_ROOTONLY);
    orv_pkc_free(&mx.mx_cursor);
    orv_pkc_free(&mc);
    if (rc != 0 && rc != ORV_NOTFOUND) return rc;
  }
  const ORV_db &db = txn->mt_dbs[dbi];
  stat->ms_psize = txn->mt_env->me_psize;
  stat->ms_depth = db.md_depth;
  stat->ms_branch_pages = db.md_branch_pages;
  stat->ms_leaf_pages = db.md_leaf_pages;
  stat->ms_overflow_pages = db.md_overflow_pages;
  stat->ms_entries = db.md_entries;
  return 0;
}

extern "C" ORV_API int orv_set_compare(ORV_txn *txn, ORV_dbi dbi, ORV_cmp_func cmp) noexcept {
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  // Null restores the built-in comparator: a database never runs without one.
  txn->mt_dbxs[dbi].md_cmp = cmp ? cmp : orv_default_key_cmp(txn->mt_dbs[dbi].md_flags);
  return 0;
}

extern "C" ORV_API int orv_set_dupsort(ORV_txn *txn, ORV_dbi dbi, ORV_cmp_func cmp) noexcept {
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  txn->mt_dbxs[dbi].md_dcmp = cmp ? cmp : orv_default_dup_cmp(txn->mt_dbs[dbi].md_flags);
  return 0;
}

extern "C" ORV_API int orv_set_relfunc(ORV_txn *txn, ORV_dbi dbi, ORV_rel_func rel) noexcept {
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  txn->mt_dbxs[dbi].md_rel = rel;
  return 0;
}

extern "C" ORV_API int orv_set_relctx(ORV_txn *txn, ORV_dbi dbi, void *ctx) noexcept {
  if (int rc = orv_txn_dbi_check(txn, dbi, DB_USRVALID); rc != 0) return rc;
  txn->mt_dbxs[dbi].md_relctx = ctx;
  return 0;
}

extern "C" ORV_API int orv_cmp(ORV_txn *txn, ORV_dbi dbi, const ORV_val *a,
                               const ORV_val *b) noexcept {
  return txn->mt_dbxs[dbi].md_cmp(a, b);
}

extern "C" ORV_API int orv_dcmp(ORV_txn *txn, ORV_dbi dbi, const ORV_val *a,
                                const ORV_val *b) noexcept {
  ORV_cmp_func dcmp = txn->mt_dbxs[dbi].md_dcmp;
  // Only databases with duplicates have a value comparator; compare bytes
  // rather than call through a null pointer when there is none.
  if (dcmp == nullptr) return orv_cmp_bytes(a, b);
  // Fixed-size integer duplicates may be 4 or 8 bytes; the first value's
  // size decides which width is compared.
  if (dcmp == orv_cmp_uint32 && a->mv_size == sizeof(uint64_t)) dcmp = orv_cmp_uint64;
  return dcmp(a, b);
}
