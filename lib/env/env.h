// Environment subsystem: result codes and assertions, the environment
// handle and its map, the data file's meta pages, the lock file with its
// reader table, environment copies, information and sync.
//
// Meta page (pages 0 and 1 of the data file; on disk: never change):
//   00-15   page header (mp_pgno 0 or 1, mp_flags P_META, rest 0)
//   16-19   mm_magic     0xBEEFC0DE
//   20-23   mm_version   1
//   24-31   mm_address   fixed map address (ORV_FIXEDMAP) or 0
//   32-39   mm_mapsize
//   40-87   mm_dbs[FREE_DBI]  (its md_pad holds the page size)
//   88-135  mm_dbs[MAIN_DBI]
//   136-143 mm_last_pg
//   144-151 mm_txnid
//
// Lock file (size 128 + 64 x maxreaders; on disk: never change):
//   0-3 mti_magic, 4-7 mti_format, 8-15 mti_txnid, 16-19 mti_numreaders,
//   24-63 mti_rmutex, 64-127 mti_wmutex, then 64-byte reader slots:
//   0-7 mr_txnid (-1: no snapshot), 8-11 mr_pid (0: free), 16-23 mr_tid.
#ifndef ORV_ENV_ENV_H
#define ORV_ENV_ENV_H

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "page/page.h"

struct ORV_dbx;
struct ORV_txn;

// ---- Environment flags that never leave the library -------------------------

inline constexpr uint32_t ORV_ENV_TXKEY = 0x10000000;
inline constexpr uint32_t ORV_ENV_ACTIVE = 0x20000000;
inline constexpr uint32_t ORV_FATAL_ERROR = 0x80000000;
inline constexpr uint32_t ORV_ENV_OPEN_MASK = 0x07FF4001;   // accepted by open
inline constexpr uint32_t ORV_ENV_CHANGEABLE = 0x01150000;  // accepted by set_flags

// ---- Meta record --------------------------------------------------------------

inline constexpr size_t ORV_META_OFFSET = PAGEHDRSZ;  // meta record inside its page

struct ORV_meta {
  uint32_t mm_magic;       /* 16-19 */
  uint32_t mm_version;     /* 20-23 */
  uint64_t mm_address;     /* 24-31 */
  uint64_t mm_mapsize;     /* 32-39 */
  ORV_db mm_dbs[CORE_DBS]; /* 40-135 */
  pgno_t mm_last_pg;       /* 136-143 */
  txnid_t mm_txnid;        /* 144-151 */
};
static_assert(sizeof(ORV_meta) == 136);
static_assert(offsetof(ORV_meta, mm_mapsize) == 16);
static_assert(offsetof(ORV_meta, mm_dbs) == 24);
static_assert(offsetof(ORV_meta, mm_last_pg) == 120);
static_assert(offsetof(ORV_meta, mm_txnid) == 128);

// ---- Lock table -------------------------------------------------------------

struct ORV_reader {
  std::atomic<txnid_t> mr_txnid; /* 00-07: snapshot id, or -1 */
  std::atomic<uint32_t> mr_pid;  /* 08-11: owner process, 0 = free */
  uint32_t mr_pad0;              /* 12-15 */
  uint64_t mr_tid;               /* 16-23: owner thread */
  char mr_pad[40];               /* 24-63 */
};
static_assert(sizeof(ORV_reader) == 64);
static_assert(offsetof(ORV_reader, mr_pid) == 8);
static_assert(offsetof(ORV_reader, mr_tid) == 16);

inline constexpr txnid_t ORV_NO_SNAPSHOT = ~txnid_t{0};

struct ORV_txninfo {
  uint32_t mti_magic;                   /* 00-03 */
  uint32_t mti_format;                  /* 04-07 */
  std::atomic<txnid_t> mti_txnid;       /* 08-15 */
  std::atomic<uint32_t> mti_numreaders; /* 16-19 */
  uint32_t mti_pad0;                    /* 20-23 */
  pthread_mutex_t mti_rmutex;           /* 24-63 */
  char mti_pad1[64 - 24 - sizeof(pthread_mutex_t)];
  pthread_mutex_t mti_wmutex; /* 64-127 */
  char mti_pad2[64 - sizeof(pthread_mutex_t)];
  ORV_reader mti_readers[1]; /* 128-: reader slots */
};
static_assert(sizeof(pthread_mutex_t) <= 40, "reader mutex must end by offset 64");
static_assert(offsetof(ORV_txninfo, mti_rmutex) == 24);
static_assert(offsetof(ORV_txninfo, mti_wmutex) == 64);
static_assert(offsetof(ORV_txninfo, mti_readers) == 128);
static_assert(sizeof(ORV_txninfo) == 192);

// Slots of the table in use: mti_numreaders, but never more than the table
// holds. The count lives in a file that any process may damage, and every
// walk over the slots stops here rather than reading past the map.
inline unsigned orv_reader_count(const ORV_txninfo *ti, uint32_t maxreaders) {
  const uint32_t n = ti->mti_numreaders.load();
  return n < maxreaders ? n : maxreaders;
}

// Bytes of a lock table with n reader slots.
constexpr size_t orv_locktable_size(unsigned n) { return (size_t{n} - 1) * 64 + 192; }

// ---- The environment record --------------------------------------------------

struct ORV_env {
  int me_fd;                      // data file, -1 when none
  int me_lfd;                     // lock file, -1 when none
  int me_mfd;                     // data file opened O_WRONLY|O_DSYNC for meta writes
  uint32_t me_flags;              // public and internal environment flags
  uint32_t me_psize;              // page size of the data file
  uint32_t me_os_psize;           // the system's page size
  uint32_t me_maxreaders;         // reader table slots
  int me_close_readers;           // highest reader count this process has seen
  uint32_t me_dbcount;            // database slots in use
  uint32_t me_maxdbs;             // named databases + CORE_DBS
  pid_t me_pid;                   // process that created the handle
  char *me_path;                  // copy of the open path
  char *me_map;                   // base of the data map, or null
  ORV_txninfo *me_txns;           // mapped lock table, or null
  ORV_meta *me_metas[NUM_METAS];  // the two meta records inside the map
  void *me_pbuf;                  // one page of scratch (writable envs)
  ORV_txn *me_txn;                // write transaction in progress, or null
  ORV_txn *me_txn0;               // preallocated write transaction record
  uint64_t me_mapsize;            // size of the map in bytes
  pgno_t me_maxpg;                // pages the map can hold
  ORV_dbx *me_dbxs;               // per slot: name, comparators, callbacks
  uint16_t *me_dbflags;           // per slot: flags, 0x8000 while open
  uint32_t *me_dbiseqs;           // per slot: bumped when a handle closes
  pthread_key_t me_txkey;         // each thread's reader slot
  txnid_t me_pgoldest;            // oldest reader snapshot at the last scan
  ORV_IDL me_pghead;              // reusable pages taken from the free-page db
  ORV_IDL me_pghead_spare;        // emptied me_pghead buffer kept for the next writer
  txnid_t me_pglast;              // id of the last free-page record consumed
  ORV_page *me_dpages;            // spare page buffers, linked by first word
  ORV_IDL me_free_pgs;            // free list handed to write transactions
  ORV_ID2L me_dirty_list;         // dirty list handed to write transactions
  int me_maxfree_1pg;             // page numbers one free-list overflow page holds
  uint32_t me_nodemax;            // largest inline leaf node
  // This process holds its liveness lock. Reader threads claiming their
  // first slots may test and set it at once: both take the same lock,
  // which the second merely repeats.
  std::atomic<int> me_live_reader;
  std::atomic<uint64_t> me_interrupt;  // 1 while an interrupt is requested
  // Pages the data file was last seen to hold (0: not yet looked). Only
  // grows; a page at or past it is looked up again before it is read, since
  // reading a mapped page past the end of the file faults.
  std::atomic<uint64_t> me_file_pages;
  void *me_userctx;                // application context
  ORV_assert_func me_assert_func;  // assertion callback, or null
  ORV_progress_func me_progress;   // progress of copies and checks, or null
  void *me_progress_ctx;           // its context
  // Entry of the process's registry of open environments (registry.cc).
  ORV_env *me_reg_next;  // next registered handle, guarded by the registry
  dev_t me_reg_dev;      // data file identity while registered
  ino_t me_reg_ino;
  pid_t me_reg_pid;  // process that registered it
  bool me_reg_on;    // in the registry
};

// Records that the data file holds at least pages pages (a write reached
// that far); me_file_pages only grows.
inline void orv_env_file_pages_seen(ORV_env *env, uint64_t pages) {
  uint64_t seen = env->me_file_pages.load(std::memory_order_relaxed);
  while (seen < pages &&
         !env->me_file_pages.compare_exchange_weak(seen, pages, std::memory_order_relaxed)) {
  }
}

// Spare page buffers link through their first word.
inline ORV_page *&next_spare_page(ORV_page *mp) { return *reinterpret_cast<ORV_page **>(mp); }

// ---- Assertions ---------------------------------------------------------------

// Formats the failed check, calls the environment's callback, prints it and
// aborts. Never returns.
[[noreturn]] void orv_assert_fail(ORV_env *env, const char *expr, const char *func, int line);

#define orv_assert(env, expr) ((expr) ? (void)0 : orv_assert_fail((env), #expr, __func__, __LINE__))

// ---- Progress -----------------------------------------------------------------

// Tells the environment's progress function, if any, that done of about
// total pages of a copy or check are done. Called by the thread that runs
// the operation.
inline void orv_env_progress(const ORV_env *env, uint64_t done, uint64_t total) {
  if (env->me_progress != nullptr) env->me_progress(done, total, env->me_progress_ctx);
}

// ---- Handle and mapping -------------------------------------------------------

// Maps the data file (or anonymous memory) at addr, or anywhere when null.
[[nodiscard]] int orv_env_map(ORV_env *env, void *addr);
// Releases everything open acquired; safe on a partly opened handle.
void orv_env_close0(ORV_env *env);
// Changes the size of the map of an open environment (orv_env_set_mapsize
// on a mapped handle). 0 means the size recorded in the current meta; any
// size below the pages in use is raised to them. An in-memory store keeps
// its contents. REQUIRES: no transaction of this process is running.
[[nodiscard]] int orv_env_resize(ORV_env *env, size_t size);

// ---- Meta pages ---------------------------------------------------------------

// The current meta: the newer one, or the older under ORV_PREVSNAPSHOT.
ORV_meta *orv_env_pick_meta(const ORV_env *env);
// Reads (or creates) the meta pages and maps the data file. prev: open on
// the older meta (ORV_PREVSNAPSHOT); only a writable opener, which is then
// the exclusive one, publishes that meta's id in the lock table.
[[nodiscard]] int orv_env_open_data(ORV_env *env, int prev);
[[nodiscard]] int orv_env_read_header(ORV_env *env, int prev, ORV_meta *meta);
[[nodiscard]] int orv_env_init_meta(ORV_env *env, const ORV_meta *meta);
// Last step of a commit; on failure ORV_FATAL_ERROR is set on the env.
[[nodiscard]] int orv_env_write_meta(ORV_txn *txn);

// ---- Lock file and reader table -------------------------------------------------

[[nodiscard]] int orv_env_setup_locks(ORV_env *env, const char *lpath, orv_mode_t mode, int *excl);
[[nodiscard]] int orv_env_setup_mem_locks(ORV_env *env);
[[nodiscard]] int orv_env_share_locks(ORV_env *env, int *excl);
// Claims (or reuses) a reader slot for the read-only txn and takes a
// snapshot: sets txn->mt_reader and txn->mt_txnid and copies the snapshot's
// meta record into *snap (a copy known not to be torn by a commit). The
// snapshot is the newest one, or under ORV_RDONLY|ORV_PREVSNAPSHOT the older
// meta page, whose id is then published only in the slot. *fresh = 1 when a
// new slot was claimed. On failure no new slot is left claimed under
// ORV_NOTLS.
// REQUIRES: env->me_txns != nullptr.
[[nodiscard]] int orv_reader_acquire(ORV_env *env, ORV_txn *txn, ORV_meta *snap, int *fresh);
// Ends the reader's use of its slot (mr_txnid = -1). Without ORV_NOTLS the
// slot stays with its thread; under ORV_NOTLS it stays with txn unless
// give_back, which frees it (mr_pid = 0). txn->mt_reader is cleared when the
// transaction no longer owns the slot.
void orv_reader_release(ORV_env *env, ORV_txn *txn, int give_back);
// Sets (F_SETLK) or probes (F_GETLK) the liveness lock of pid: 0, -1 (alive)
// or a system error.
[[nodiscard]] int orv_reader_pid(ORV_env *env, int op, pid_t pid);
// Called after a failed lock of either mutex; 0 when the mutex is now held
// and consistent.
[[nodiscard]] int orv_mutex_failed(ORV_env *env, pthread_mutex_t *mutex, int rc);
[[nodiscard]] int orv_reader_check0(ORV_env *env, int rlocked, int *dead);
// Locks the writer mutex with owner-death recovery (no-op without a table).
// The thread that locked it unlocks it with orv_wmutex_unlock; while it
// holds it, its own read starts do not wait for it.
[[nodiscard]] int orv_wmutex_lock(ORV_env *env);
void orv_wmutex_unlock(ORV_env *env);

// ---- Registry of open environments -----------------------------------------------

// Record locks do not conflict within one process, and closing any
// descriptor of the lock file drops all of the process's locks on it: a
// second handle on an environment this process already has open would
// take the first opener's role and re-initialise the live lock table. Each
// process therefore keeps its open file-backed handles by data file
// identity (st_dev, st_ino) and refuses a second one with EBUSY.

// EBUSY when another open handle of this process has the data file
// (dev, ino), else 0.
[[nodiscard]] int orv_env_registry_check(const ORV_env *env, dev_t dev, ino_t ino);
// The same check, and on 0 registers env under (dev, ino) in one step.
[[nodiscard]] int orv_env_registry_claim(ORV_env *env, dev_t dev, ino_t ino);
// Takes env out of the registry (nothing if it is not in it).
void orv_env_registry_release(ORV_env *env);

// ---- Environment copy ------------------------------------------------------------

// Plain copy of the environment's current snapshot to fd.
[[nodiscard]] int orv_env_copyfd0(ORV_env *env, int fd);
// Compacting copy of the current snapshot to fd.
[[nodiscard]] int orv_env_copyfd1(ORV_env *env, int fd);
// Takes back a SIGPIPE that a failed write left pending for the calling
// thread (where SIGPIPE is blocked), without waiting for one.
void orv_sigpipe_collect();

#endif  // ORV_ENV_ENV_H
