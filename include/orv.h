/*
 * orv.h: the public interface of the eldran storage engine (libeldran).
 *
 * An environment is one memory-mapped data file (plus a lock file) holding
 * sorted key/value databases. Every read and write happens in a transaction;
 * many readers run at once in many threads and processes, one writer at a
 * time. Databases may keep sorted duplicates, integer or reverse keys,
 * entry counts in every branch node (ORV_COUNTED: ranks and range counts in
 * logarithmic time) and prefix-compressed leaf keys (ORV_PREFIXKEY).
 *
 * Every function returns an int result code unless stated otherwise:
 * 0 for success, a positive errno value, or one of the ORV_* codes below.
 * Nothing is thrown. Keys and values handed back point into the map, into
 * pages the transaction wrote, or into cursor buffers, and stay valid until
 * the next operation on that cursor, the next write in the transaction, or
 * the end of the transaction. A call without a cursor (orv_get) may hand
 * back bytes copied to a buffer of the transaction: those stay valid until
 * the next such call, the next write, or the end of the transaction.
 *
 * This header is plain C.
 */
#ifndef ORV_H
#define ORV_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ORV_BUILDING_LIBRARY)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

/* The library's functions never throw; C++ callers see that in the type. */
#if defined(__cplusplus)
#define ORV_NOTHROW noexcept
#else
#define ORV_NOTHROW
#endif

/* ---- Version ---------------------------------------------------------- */

#define ORV_VERSION_MAJOR 1
#define ORV_VERSION_MINOR 0
#define ORV_VERSION_PATCH 0
#define ORV_VERSION_STRING "ELDRAN 1.0.0: (October 26, 2025)"

/* ---- Opaque handles and plain types ----------------------------------- */

typedef struct ORV_env ORV_env;
typedef struct ORV_txn ORV_txn;
typedef struct ORV_cursor ORV_cursor;

/** Database handle: 0 is the free-page database, 1 the main database. */
typedef unsigned int ORV_dbi;

/** Permission bits for files the environment creates. */
typedef mode_t orv_mode_t;

/** A key or value: size in bytes and address. */
typedef struct ORV_val {
  size_t mv_size;
  void *mv_data;
} ORV_val;

/** Compares two keys or values: negative, 0 or positive. */
typedef int (*ORV_cmp_func)(const ORV_val *a, const ORV_val *b);

/** Relocation callback: stored for the application, never called by the engine. */
typedef void (*ORV_rel_func)(ORV_val *item, void *oldptr, void *newptr, void *relctx);

/** Called with the message of a failed internal consistency check. */
typedef void (*ORV_assert_func)(ORV_env *env, const char *msg);

/** Receives one line of a listing; a negative result stops the listing. */
typedef int (*ORV_msg_func)(const char *msg, void *ctx);

/** Receives the progress of a copy or check: done of about total pages. */
typedef void (*ORV_progress_func)(uint64_t done, uint64_t total, void *ctx);

/** Statistics of one database (or of the main database of an environment). */
typedef struct ORV_stat {
  unsigned int ms_psize;      /* page size */
  unsigned int ms_depth;      /* depth of the tree */
  uint64_t ms_branch_pages;   /* branch pages */
  uint64_t ms_leaf_pages;     /* leaf pages */
  uint64_t ms_overflow_pages; /* overflow pages */
  uint64_t ms_entries;        /* key/value pairs, each duplicate counted */
} ORV_stat;

/** Summary of an open environment. */
typedef struct ORV_envinfo {
  void *mi_mapaddr;           /* fixed map address recorded in the file, or NULL */
  uint64_t mi_mapsize;        /* size of the map */
  uint64_t mi_last_pgno;      /* last page in use */
  uint64_t mi_last_txnid;     /* id of the last committed transaction */
  unsigned int mi_maxreaders; /* slots of the reader table */
  unsigned int mi_numreaders; /* slots used so far */
} ORV_envinfo;

/* ---- Result codes ----------------------------------------------------- */

#define ORV_SUCCESS 0
#define ORV_KEYEXIST (-30799)
#define ORV_NOTFOUND (-30798)
#define ORV_PAGE_NOTFOUND (-30797)
#define ORV_CORRUPTED (-30796)
#define ORV_PANIC (-30795)
#define ORV_VERSION_MISMATCH (-30794)
#define ORV_INVALID (-30793)
#define ORV_MAP_FULL (-30792)
#define ORV_DBS_FULL (-30791)
#define ORV_READERS_FULL (-30790)
#define ORV_TLS_FULL (-30789)
#define ORV_TXN_FULL (-30788)
#define ORV_CURSOR_FULL (-30787)
#define ORV_PAGE_FULL (-30786)
#define ORV_MAP_RESIZED (-30785)
#define ORV_INCOMPATIBLE (-30784)
#define ORV_BAD_RSLOT (-30783)
#define ORV_BAD_TXN (-30782)
#define ORV_BAD_VALSIZE (-30781)
#define ORV_BAD_DBI (-30780)
#define ORV_PROBLEM (-30779)
#define ORV_LAST_ERRCODE ORV_PROBLEM

/* ---- Environment flags (orv_env_open, orv_env_set_flags) -------------- */

#define ORV_FIXEDMAP 0x01u
#define ORV_NOSUBDIR 0x4000u
#define ORV_NOSYNC 0x10000u
#define ORV_RDONLY 0x20000u
#define ORV_NOMETASYNC 0x40000u
#define ORV_WRITEMAP 0x80000u
#define ORV_MAPASYNC 0x100000u
#define ORV_NOTLS 0x200000u
#define ORV_NOLOCK 0x400000u
#define ORV_NORDAHEAD 0x800000u
#define ORV_NOMEMINIT 0x1000000u
#define ORV_PREVSNAPSHOT 0x2000000u
#define ORV_INMEMORY 0x4000000u

/* ---- Database flags (orv_dbi_open) ------------------------------------ */

#define ORV_REVERSEKEY 0x02u
#define ORV_DUPSORT 0x04u
#define ORV_INTEGERKEY 0x08u
#define ORV_DUPFIXED 0x10u
#define ORV_INTEGERDUP 0x20u
#define ORV_REVERSEDUP 0x40u
#define ORV_COUNTED 0x80u
#define ORV_PREFIXKEY 0x100u
#define ORV_CREATE 0x40000u

/* ---- Write flags (orv_put, orv_cursor_put, orv_cursor_del) ------------ */

#define ORV_NOOVERWRITE 0x10u
#define ORV_NODUPDATA 0x20u
#define ORV_CURRENT 0x40u
#define ORV_RESERVE 0x10000u
#define ORV_APPEND 0x20000u
#define ORV_APPENDDUP 0x40000u
#define ORV_MULTIPLE 0x80000u

/* ---- Copy flags (orv_env_copy2, orv_env_copyfd2) ---------------------- */

#define ORV_CP_COMPACT 0x01u

/* ---- Range flags (orv_count_range and friends) ------------------------ */

#define ORV_RANGE_LOWER_INCL 0x2u
#define ORV_RANGE_UPPER_INCL 0x4u

/* ---- Limits ----------------------------------------------------------- */

#define ORV_MAXKEYSIZE 511

/* ---- Cursor operations (orv_cursor_get) ------------------------------- */

typedef enum ORV_cursor_op {
  ORV_FIRST = 0,
  ORV_FIRST_DUP = 1,
  ORV_GET_BOTH = 2,
  ORV_GET_BOTH_RANGE = 3,
  ORV_GET_CURRENT = 4,
  ORV_GET_MULTIPLE = 5,
  ORV_LAST = 6,
  ORV_LAST_DUP = 7,
  ORV_NEXT = 8,
  ORV_NEXT_DUP = 9,
  ORV_NEXT_MULTIPLE = 10,
  ORV_NEXT_NODUP = 11,
  ORV_PREV = 12,
  ORV_PREV_DUP = 13,
  ORV_PREV_NODUP = 14,
  ORV_SET = 15,
  ORV_SET_KEY = 16,
  ORV_SET_RANGE = 17,
  ORV_PREV_MULTIPLE = 18
} ORV_cursor_op;

/* ---- Result codes and version ----------------------------------------- */

/** Message of a result code; never NULL, never to be freed. */
ORV_API const char *orv_strerror(int err) ORV_NOTHROW;

/** Stores 1, 0, 0 through the non-null pointers; returns the version string. */
ORV_API const char *orv_version(int *major, int *minor, int *patch) ORV_NOTHROW;

/* ---- Environment ------------------------------------------------------ */

ORV_API int orv_env_create(ORV_env **env) ORV_NOTHROW;
ORV_API int orv_env_open(ORV_env *env, const char *path, unsigned int flags,
                         orv_mode_t mode) ORV_NOTHROW;
ORV_API void orv_env_close(ORV_env *env) ORV_NOTHROW;
ORV_API int orv_env_set_mapsize(ORV_env *env, size_t size) ORV_NOTHROW;
ORV_API int orv_env_set_maxdbs(ORV_env *env, unsigned int dbs) ORV_NOTHROW;
ORV_API int orv_env_set_maxreaders(ORV_env *env, unsigned int readers) ORV_NOTHROW;
ORV_API int orv_env_get_maxreaders(ORV_env *env, unsigned int *readers) ORV_NOTHROW;
ORV_API int orv_env_set_flags(ORV_env *env, unsigned int flags, int onoff) ORV_NOTHROW;
ORV_API int orv_env_get_flags(ORV_env *env, unsigned int *flags) ORV_NOTHROW;
ORV_API int orv_env_get_path(ORV_env *env, const char **path) ORV_NOTHROW;
ORV_API int orv_env_get_fd(ORV_env *env, int *fd) ORV_NOTHROW;
ORV_API int orv_env_set_userctx(ORV_env *env, void *ctx) ORV_NOTHROW;
ORV_API void *orv_env_get_userctx(ORV_env *env) ORV_NOTHROW;
ORV_API int orv_env_set_assert(ORV_env *env, ORV_assert_func func) ORV_NOTHROW;
ORV_API int orv_env_set_interrupt(ORV_env *env, int interrupt) ORV_NOTHROW;
ORV_API int orv_env_get_maxkeysize(ORV_env *env) ORV_NOTHROW;

/* Installs func (null: none) to be told the progress of the environment's
 * long operations: orv_env_copy2 and orv_env_copyfd2 (both methods) and
 * orv_env_verify. It is called in the thread that runs the operation, with
 * ctx: once at the start, then every few hundred pages (at most every 16
 * MiB of a plain copy) and, when the operation succeeds, last with done
 * equal to total; never after the operation returned. done never goes
 * down. total is the number of pages the operation expects to pass: the
 * pages of the copy, or the pages in use of the checked snapshot (while
 * the free-page database is being checked, all pages of the snapshot);
 * done may come out below it when the snapshot is damaged. The function
 * must not use the environment. Set it while no such operation runs;
 * EINVAL for a null env. */
ORV_API int orv_env_set_progress(ORV_env *env, ORV_progress_func func, void *ctx) ORV_NOTHROW;

ORV_API int orv_reader_list(ORV_env *env, ORV_msg_func func, void *ctx) ORV_NOTHROW;
ORV_API int orv_reader_check(ORV_env *env, int *dead) ORV_NOTHROW;

ORV_API int orv_env_copy(ORV_env *env, const char *path) ORV_NOTHROW;
ORV_API int orv_env_copy2(ORV_env *env, const char *path, unsigned int flags) ORV_NOTHROW;
ORV_API int orv_env_copyfd(ORV_env *env, int fd) ORV_NOTHROW;
ORV_API int orv_env_copyfd2(ORV_env *env, int fd, unsigned int flags) ORV_NOTHROW;

ORV_API int orv_env_stat(ORV_env *env, ORV_stat *stat) ORV_NOTHROW;
ORV_API int orv_env_info(ORV_env *env, ORV_envinfo *info) ORV_NOTHROW;
ORV_API int orv_env_sync(ORV_env *env, int force) ORV_NOTHROW;
ORV_API int orv_env_sync0(ORV_env *env, int force, uint64_t numpgs) ORV_NOTHROW;

/* ---- Transactions ----------------------------------------------------- */

ORV_API int orv_txn_begin(ORV_env *env, ORV_txn *parent, unsigned int flags,
                          ORV_txn **txn) ORV_NOTHROW;
ORV_API int orv_txn_commit(ORV_txn *txn) ORV_NOTHROW;
ORV_API void orv_txn_abort(ORV_txn *txn) ORV_NOTHROW;
ORV_API void orv_txn_reset(ORV_txn *txn) ORV_NOTHROW;
ORV_API int orv_txn_renew(ORV_txn *txn) ORV_NOTHROW;
ORV_API ORV_env *orv_txn_env(ORV_txn *txn) ORV_NOTHROW;
ORV_API uint64_t orv_txn_id(ORV_txn *txn) ORV_NOTHROW;

/* ---- Databases -------------------------------------------------------- */

ORV_API int orv_dbi_open(ORV_txn *txn, const char *name, unsigned int flags,
                         ORV_dbi *dbi) ORV_NOTHROW;
ORV_API void orv_dbi_close(ORV_env *env, ORV_dbi dbi) ORV_NOTHROW;
ORV_API int orv_dbi_flags(ORV_txn *txn, ORV_dbi dbi, unsigned int *flags) ORV_NOTHROW;
ORV_API int orv_stat(ORV_txn *txn, ORV_dbi dbi, ORV_stat *stat) ORV_NOTHROW;
ORV_API int orv_drop(ORV_txn *txn, ORV_dbi dbi, int del) ORV_NOTHROW;
ORV_API int orv_set_compare(ORV_txn *txn, ORV_dbi dbi, ORV_cmp_func cmp) ORV_NOTHROW;
ORV_API int orv_set_dupsort(ORV_txn *txn, ORV_dbi dbi, ORV_cmp_func cmp) ORV_NOTHROW;
ORV_API int orv_set_relfunc(ORV_txn *txn, ORV_dbi dbi, ORV_rel_func rel) ORV_NOTHROW;
ORV_API int orv_set_relctx(ORV_txn *txn, ORV_dbi dbi, void *ctx) ORV_NOTHROW;

/** Compare two keys (orv_cmp) or two values (orv_dcmp) as the database does. */
ORV_API int orv_cmp(ORV_txn *txn, ORV_dbi dbi, const ORV_val *a, const ORV_val *b) ORV_NOTHROW;
ORV_API int orv_dcmp(ORV_txn *txn, ORV_dbi dbi, const ORV_val *a, const ORV_val *b) ORV_NOTHROW;

/* ---- Data and cursors ------------------------------------------------- */

ORV_API int orv_get(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data) ORV_NOTHROW;
ORV_API int orv_put(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data,
                    unsigned int flags) ORV_NOTHROW;
ORV_API int orv_del(ORV_txn *txn, ORV_dbi dbi, ORV_val *key, ORV_val *data) ORV_NOTHROW;

ORV_API int orv_cursor_open(ORV_txn *txn, ORV_dbi dbi, ORV_cursor **cursor) ORV_NOTHROW;
ORV_API void orv_cursor_close(ORV_cursor *cursor) ORV_NOTHROW;
ORV_API int orv_cursor_renew(ORV_txn *txn, ORV_cursor *cursor) ORV_NOTHROW;
ORV_API ORV_txn *orv_cursor_txn(ORV_cursor *cursor) ORV_NOTHROW;
ORV_API ORV_dbi orv_cursor_dbi(ORV_cursor *cursor) ORV_NOTHROW;
ORV_API int orv_cursor_get(ORV_cursor *cursor, ORV_val *key, ORV_val *data,
                           ORV_cursor_op op) ORV_NOTHROW;
ORV_API int orv_cursor_put(ORV_cursor *cursor, ORV_val *key, ORV_val *data,
                           unsigned int flags) ORV_NOTHROW;
ORV_API int orv_cursor_del(ORV_cursor *cursor, unsigned int flags) ORV_NOTHROW;
ORV_API int orv_cursor_count(ORV_cursor *cursor, uint64_t *count) ORV_NOTHROW;
ORV_API int orv_cursor_list_dup(ORV_cursor *cursor, ORV_val **vals, uint64_t *count) ORV_NOTHROW;

/* ---- Counting and ranks (ORV_COUNTED databases) ----------------------- */

ORV_API int orv_cursor_get_rank(ORV_cursor *cursor, uint64_t rank, ORV_val *key, ORV_val *data,
                                unsigned int flags) ORV_NOTHROW;
ORV_API int orv_get_rank(ORV_txn *txn, ORV_dbi dbi, uint64_t rank, ORV_val *key,
                         ORV_val *data) ORV_NOTHROW;
ORV_API int orv_cursor_key_rank(ORV_cursor *cursor, const ORV_val *key, const ORV_val *data,
                                unsigned int flags, uint64_t *rank) ORV_NOTHROW;
ORV_API int orv_get_key_rank(ORV_txn *txn, ORV_dbi dbi, const ORV_val *key, const ORV_val *data,
                             uint64_t *rank) ORV_NOTHROW;
ORV_API int orv_count_all(ORV_txn *txn, ORV_dbi dbi, unsigned int flags,
                          uint64_t *count) ORV_NOTHROW;
ORV_API int orv_count_range(ORV_txn *txn, ORV_dbi dbi, const ORV_val *low, const ORV_val *high,
                            unsigned int flags, uint64_t *count) ORV_NOTHROW;
ORV_API int orv_range_count_keys(ORV_txn *txn, ORV_dbi dbi, const ORV_val *low, const ORV_val *high,
                                 unsigned int flags, uint64_t *count) ORV_NOTHROW;
ORV_API int orv_range_count_values(ORV_txn *txn, ORV_dbi dbi, const ORV_val *low,
                                   const ORV_val *high, unsigned int flags,
                                   uint64_t *count) ORV_NOTHROW;

/* ---- Verification ----------------------------------------------------- */

/* orv_env_verify flag: skip the check that every page is reachable or free. */
#define ORV_VERIFY_NOSPACE 0x01u

/* Checks every tree of the environment's current snapshot, read in one
 * read-only transaction (it runs beside a writer): page kinds and layout,
 * key order within and across pages, separator keys, branch counts of
 * counted trees, prefix-compressed keys, duplicate sub-pages and value
 * trees, overflow runs, each record's md_entries, depth and page counts,
 * the free-page records, and that every page is either reachable exactly
 * once or recorded free. A damaged file is read safely: every offset and
 * page number is checked before it is followed.
 *
 * func receives each problem as one line ending in a newline, naming the
 * page and what is wrong, then a summary line "N problem(s); last page L,
 * reachable R, free F". A non-zero result of func stops the check and is
 * returned.
 *
 * Returns 0 for a sound snapshot, ORV_CORRUPTED when problems were found,
 * EINVAL for a null env or func or an unknown flag, ENOMEM, EINTR when
 * orv_env_set_interrupt stopped it, or the error of beginning the read
 * transaction. */
ORV_API int orv_env_verify(ORV_env *env, unsigned int flags, ORV_msg_func func,
                           void *ctx) ORV_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* ORV_H */
