// Environment copy: orv_env_copy, orv_env_copy2, orv_env_copyfd and
// orv_env_copyfd2, with the plain and the compacting method.
//
// Both methods copy the snapshot of one read transaction, so writers in
// other threads and processes go on meanwhile; the source is not changed.
//
// Plain copy: the two meta pages are written while the writer mutex keeps
// commits out (the read transaction is renewed under it, so its snapshot
// is the newest meta), then the snapshot's pages 2 .. last as they lie in
// the map, in writes of at most 1 GiB.
//
// Compacting copy: the trees of the snapshot are walked and only the pages
// in use are written, renumbered from 2 in writing order (children first,
// each tree's root last), so the copy has no free pages and an empty
// free-page database. The walking thread fills two alternating 1 MiB
// buffers; a writer thread writes them (and the tails of overflow runs
// straight from the map). Walk and writer meet in ORV_copy:
//
//   cp_new   buffers handed to the writer (0..2), plus COPY_EOF at the end
//   cp_error first error of either thread; once set, the writer skips all
//            writes and the walker stops at its next hand-over
//
// A reader that went away (EPIPE) never raises SIGPIPE for the process:
// the writer thread keeps SIGPIPE blocked and collects it, and the plain
// copy blocks it around its own writes.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "btree/btree.h"
#include "env/env.h"
#include "txn/txn.h"

namespace {

inline constexpr size_t ORV_WBUF = 1048576;            // hand a buffer over at this size
inline constexpr size_t ORV_MAX_WRITE = 0x40000000;    // largest write of the plain copy
inline constexpr int ORV_COPY_EOF = 0x10;              // cp_new: the walker is done
inline constexpr unsigned COPY_FLAGS_KNOWN = ORV_CP_COMPACT;

// ---- System calls ------------------------------------------------------------
//
// Every system call of the copy goes through these, so that they can be
// routed (for fault injection) in one place.

ssize_t sys_write(int fd, const void *buf, size_t len) { return ::write(fd, buf, len); }
int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_close(int fd) { return ::close(fd); }
int sys_fstat(int fd, struct stat *st) { return ::fstat(fd, st); }
int sys_fdatasync(int fd) { return ::fdatasync(fd); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_getfl(int fd) { return ::fcntl(fd, F_GETFL); }
int sys_setfl(int fd, int flags) { return ::fcntl(fd, F_SETFL, flags); }

// ---- SIGPIPE -----------------------------------------------------------------

// Takes back a SIGPIPE that a failed write to a closed pipe left pending
// for this thread (where it is blocked), without waiting for one.
void sigpipe_collect() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const timespec zero{0, 0};
  while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
  }
}

// Blocks SIGPIPE in the calling thread for the life of the guard. A
// SIGPIPE that was pending before belongs to the application and is left
// alone.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    active_ = pthread_sigmask(SIG_BLOCK, &set, &old_) == 0;
    sigset_t pending;
    pending_before_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeBlock() {
    if (active_) pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock &) = delete;
  SigpipeBlock &operator=(const SigpipeBlock &) = delete;
  void collect() const {
    if (active_ && !pending_before_) sigpipe_collect();
  }

 private:
  sigset_t old_;
  bool active_ = false;
  bool pending_before_ = false;
};

// Writes len bytes to fd: 0, the system error, or EIO for a write of 0
// bytes. EPIPE is returned with its SIGPIPE collected.
int write_all(int fd, const char *p, size_t len) {
  SigpipeBlock guard;
  while (len > 0) {
    const ssize_t n = sys_write(fd, p, len);
    if (n < 0) {
      const int rc = errno;
      if (rc == EINTR) continue;
      if (rc == EPIPE) guard.collect();
      return rc;
    }
    if (n == 0) return EIO;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// ---- Plain copy ----------------------------------------------------------------

// The two meta pages of a plain copy, as they lie in the map. The copy's
// current meta must be the snapshot being copied: when the snapshot is the
// older meta (ORV_PREVSNAPSHOT), the newer one names pages the copy does
// not hold, so its record is replaced by the snapshot's.
void plain_metas(const ORV_env *env, txnid_t snap, char *out) {
  const size_t psize = env->me_psize;
  std::memcpy(out, env->me_map, 2 * psize);
  ORV_meta m[NUM_METAS];
  for (unsigned i = 0; i < NUM_METAS; i++) std::memcpy(&m[i], out + i * psize + ORV_META_OFFSET,
                                                       sizeof(ORV_meta));
  for (unsigned i = 0; i < NUM_METAS; i++) {
    const unsigned other = i ^ 1;
    if (m[i].mm_txnid == snap && m[other].mm_txnid > snap)
      std::memcpy(out + other * psize + ORV_META_OFFSET, &m[i], sizeof(ORV_meta));
  }
}

// The meta pages, taken under the writer mutex so that no commit changes
// them meanwhile; txn's snapshot is renewed under it.
int plain_copy_metas(ORV_env *env, ORV_txn *txn, int fd, char *metas) {
  if (env->me_txns != nullptr) {
    orv_txn_end(txn, ORV_END_RESET_TMP);
    if (int rc = orv_wmutex_lock(env); rc != 0) return rc;
    if (int rc = orv_txn_renew0(txn); rc != 0) {
      orv_wmutex_unlock(env);
      return rc;
    }
  }
  plain_metas(env, txn->mt_txnid, metas);
  const int rc = write_all(fd, metas, 2 * size_t{env->me_psize});
  if (env->me_txns != nullptr) orv_wmutex_unlock(env);
  return rc;
}

int copy_plain(ORV_env *env, int fd) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn); rc != 0) return rc;
  const size_t psize = env->me_psize;
  void *metas = nullptr;
  int rc = posix_memalign(&metas, env->me_os_psize, 2 * psize);
  if (rc != 0) {
    orv_txn_abort(txn);
    return ENOMEM;
  }

  rc = plain_copy_metas(env, txn, fd, static_cast<char *>(metas));
  if (rc == 0) {
    uint64_t end = txn->mt_next_pgno * psize;
    if (env->me_fd >= 0) {
      struct stat st;
      if (sys_fstat(env->me_fd, &st) != 0) {
        rc = errno;
      } else if (static_cast<uint64_t>(st.st_size) < end) {
        end = static_cast<uint64_t>(st.st_size);
      }
    }
    for (uint64_t off = 2 * psize; rc == 0 && off < end;) {
      const size_t len = end - off < ORV_MAX_WRITE ? static_cast<size_t>(end - off) : ORV_MAX_WRITE;
      rc = write_all(fd, env->me_map + off, len);
      off += len;
    }
  }
  std::free(metas);
  // A renewal that failed has ended the transaction; the abort then only
  // frees its record.
  orv_txn_abort(txn);
  return rc;
}

// ---- Compacting copy: shared state --------------------------------------------

struct ORV_copy {
  ORV_env *cp_env;
  ORV_txn *cp_txn;
  pthread_mutex_t cp_mutex;
  pthread_cond_t cp_cond;
  char *cp_wbuf[2];
  const char *cp_over[2];
  size_t cp_wlen[2];
  size_t cp_olen[2];
  pgno_t cp_next_pgno;
  int cp_fd;
  int cp_toggle;
  int cp_new;                    // guarded by cp_mutex
  std::atomic<int> cp_error;     // first error of either thread

  void fail(int rc) {
    int none = 0;
    if (rc != 0) cp_error.compare_exchange_strong(none, rc);
  }
};

// Writes len bytes for the writer thread, unless an error is recorded.
void copythr_write(ORV_copy *my, const char *p, size_t len) {
  while (len > 0 && my->cp_error.load() == 0) {
    const ssize_t n = sys_write(my->cp_fd, p, len);
    if (n < 0) {
      const int rc = errno;
      if (rc == EINTR) continue;
      // SIGPIPE is blocked in this thread; take back the one this write
      // raised so that it is never delivered.
      if (rc == EPIPE) sigpipe_collect();
      my->fail(rc);
      return;
    }
    if (n == 0) {
      my->fail(EIO);
      return;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
}

// The writer thread. It holds cp_mutex while writing and releases it only
// while waiting, so the walker blocks in a hand-over only when both
// buffers are full.
void *copythr(void *arg) {
  auto *my = static_cast<ORV_copy *>(arg);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) my->fail(rc);

  pthread_mutex_lock(&my->cp_mutex);
  int toggle = 0;
  for (;;) {
    while (my->cp_new == 0) pthread_cond_wait(&my->cp_cond, &my->cp_mutex);
    if (my->cp_new == ORV_COPY_EOF) break;
    copythr_write(my, my->cp_wbuf[toggle], my->cp_wlen[toggle]);
    if (my->cp_olen[toggle] != 0) {
      copythr_write(my, my->cp_over[toggle], my->cp_olen[toggle]);
      my->cp_olen[toggle] = 0;
    }
    my->cp_wlen[toggle] = 0;
    toggle ^= 1;
    my->cp_new--;
    pthread_cond_signal(&my->cp_cond);
  }
  pthread_mutex_unlock(&my->cp_mutex);
  return nullptr;
}

// Hands the current buffer to the writer (adjust 1; with COPY_EOF at the
// end) and switches to the other one once it is free.
int cthr_toggle(ORV_copy *my, int adjust) {
  pthread_mutex_lock(&my->cp_mutex);
  my->cp_new += adjust;
  pthread_cond_signal(&my->cp_cond);
  while (my->cp_new & 2) pthread_cond_wait(&my->cp_cond, &my->cp_mutex);
  pthread_mutex_unlock(&my->cp_mutex);
  my->cp_toggle ^= (adjust & 1);
  my->cp_wlen[my->cp_toggle] = 0;
  return my->cp_error.load();
}

// Room for one more page in the current buffer.
int cthr_room(ORV_copy *my) {
  if (my->cp_wlen[my->cp_toggle] >= ORV_WBUF) return cthr_toggle(my, 1);
  return 0;
}

// Appends page mp to the current buffer as page cp_next_pgno; returns that
// number through pgno_out.
int cthr_put_page(ORV_copy *my, const ORV_page *mp, pgno_t *pgno_out) {
  if (int rc = cthr_room(my); rc != 0) return rc;
  const size_t psize = my->cp_env->me_psize;
  char *dst = my->cp_wbuf[my->cp_toggle] + my->cp_wlen[my->cp_toggle];
  std::memcpy(dst, mp, psize);
  *pgno_out = my->cp_next_pgno++;
  reinterpret_cast<ORV_page *>(dst)->mp_pgno = *pgno_out;
  my->cp_wlen[my->cp_toggle] += psize;
  return 0;
}

// ---- Compacting copy: tree walk ---------------------------------------------------

int cwalk(ORV_copy *my, pgno_t *root, int flags);

// Page buffers of one walk: one per level of the stack.
struct WalkBufs {
  char *base = nullptr;
  size_t psize = 0;
  ORV_page *level(unsigned l) const { return reinterpret_cast<ORV_page *>(base + l * psize); }
  ~WalkBufs() { std::free(base); }
};

// Makes the cursor's leaf a private copy (in the spare leaf buffer) before
// one of its nodes is renumbered.
ORV_page *leaf_private(ORV_cursor *mc, ORV_page *spare, size_t psize) {
  ORV_page *mp = cursor_page(mc);
  if (mp != spare) {
    std::memcpy(spare, mp, psize);
    mc->mc_pg[mc->mc_top] = spare;
  }
  return spare;
}

// Renumbers what the nodes of the cursor's leaf name outside the tree:
// overflow runs are written (their first page through the buffer, the
// rest straight from the map) and sub-trees are walked.
int cwalk_leaf(ORV_copy *my, ORV_cursor *mc, ORV_page *spare) {
  const size_t psize = my->cp_env->me_psize;
  ORV_page *mp = cursor_page(mc);
  for (unsigned i = 0, n = numkeys(mp); i < n; i++) {
    ORV_node *node = node_ptr(mp, i);
    if (node->mn_flags & F_BIGDATA) {
      mp = leaf_private(mc, spare, psize);
      node = node_ptr(mp, i);
      ORV_page *omp;
      if (int rc = orv_page_get(mc, load_u64(node_data(node)), &omp, nullptr); rc != 0)
        return rc;
      if (!is_overflow(omp)) return ORV_CORRUPTED;
      store_u64(node_data(node), my->cp_next_pgno);
      const uint32_t npages = mp_pages(omp);
      pgno_t first;
      if (int rc = cthr_put_page(my, omp, &first); rc != 0) return rc;
      my->cp_next_pgno = first + npages;
      if (npages > 1) {
        my->cp_over[my->cp_toggle] = reinterpret_cast<const char *>(omp) + psize;
        my->cp_olen[my->cp_toggle] = (npages - 1) * psize;
        if (int rc = cthr_toggle(my, 1); rc != 0) return rc;
      }
    } else if (node->mn_flags & F_SUBDATA) {
      if (node_dsize(node) != sizeof(ORV_db)) return ORV_CORRUPTED;
      mp = leaf_private(mc, spare, psize);
      node = node_ptr(mp, i);
      ORV_db db;
      std::memcpy(&db, node_data(node), sizeof db);
      if (int rc = cwalk(my, &db.md_root, node->mn_flags & F_DUPDATA); rc != 0) return rc;
      std::memcpy(node_data(node), &db, sizeof db);
    }
  }
  return 0;
}

// Rewrites *root to the number of the tree's root in the copy. flags is
// F_DUPDATA for the tree of a key's values (its leaves name nothing).
int cwalk(ORV_copy *my, pgno_t *root, int flags) {
  if (*root == P_INVALID) return 0;
  ORV_env *env = my->cp_env;
  const size_t psize = env->me_psize;

  // A bare cursor on the free-page slot: nothing of a database's own is
  // looked at, only pages.
  ORV_cursor mc;
  std::memset(static_cast<void *>(&mc), 0, sizeof mc);
  orv_cursor_init(&mc, my->cp_txn, FREE_DBI, nullptr);
  int rc = orv_page_get(&mc, *root, &mc.mc_pg[0], nullptr);
  if (rc == 0) {
    mc.mc_snum = 1;
    mc.mc_top = 0;
    rc = orv_page_search_root(&mc, nullptr, ORV_PS_FIRST);
  }
  if (rc != 0) {
    orv_pkc_free(&mc);
    return rc;
  }

  WalkBufs bufs;
  bufs.psize = psize;
  bufs.base = static_cast<char *>(std::malloc(mc.mc_snum * psize));
  if (bufs.base == nullptr) {
    orv_pkc_free(&mc);
    return ENOMEM;
  }
  // Branch pages get their child numbers rewritten: work on copies.
  for (unsigned l = 0; l + 1u < mc.mc_snum; l++) {
    std::memcpy(bufs.level(l), mc.mc_pg[l], psize);
    mc.mc_pg[l] = bufs.level(l);
  }
  const unsigned depth = mc.mc_snum;
  ORV_page *spare = bufs.level(depth - 1u);

  while (mc.mc_snum > 0) {
    if (env->me_interrupt.load(std::memory_order_relaxed) != 0) {
      rc = EINTR;
      break;
    }
    ORV_page *mp = cursor_page(&mc);
    if (is_leaf(mp)) {
      if (!is_leaf2(mp) && !(flags & F_DUPDATA)) {
        if (rc = cwalk_leaf(my, &mc, spare); rc != 0) break;
      }
    } else if (is_branch(mp)) {
      mc.mc_ki[mc.mc_top]++;
      if (mc.mc_ki[mc.mc_top] < numkeys(mp)) {
        // Down the next child to its leftmost leaf.
        for (;;) {
          ORV_page *child;
          if (rc = orv_page_get(&mc, node_pgno(node_ptr(mp, mc.mc_ki[mc.mc_top])), &child, nullptr);
              rc != 0)
            break;
          // Every leaf lies at the depth of the leftmost one; a page of
          // the wrong kind for its level is damage.
          const unsigned lvl = mc.mc_top + 1u;
          if (lvl >= depth || is_branch(child) != (lvl + 1u < depth) ||
              (!is_branch(child) && !is_leaf(child))) {
            rc = ORV_CORRUPTED;
            break;
          }
          mc.mc_top = static_cast<uint16_t>(lvl);
          mc.mc_snum = static_cast<uint16_t>(lvl + 1);
          mc.mc_ki[lvl] = 0;
          if (!is_branch(child)) {
            mc.mc_pg[lvl] = child;
            break;
          }
          std::memcpy(bufs.level(lvl), child, psize);
          mc.mc_pg[lvl] = bufs.level(lvl);
          mp = mc.mc_pg[lvl];
        }
        if (rc != 0) break;
        continue;
      }
    } else {
      rc = ORV_CORRUPTED;
      break;
    }

    // Every child is written: write the page and name it in its parent.
    pgno_t pgno;
    if (rc = cthr_put_page(my, cursor_page(&mc), &pgno); rc != 0) break;
    if (mc.mc_top == 0) {
      *root = pgno;
      break;
    }
    mc.mc_snum--;
    mc.mc_top--;
    set_node_pgno(node_ptr(cursor_page(&mc), cursor_slot(&mc)), pgno);
  }
  orv_pkc_free(&mc);
  return rc;
}

// ---- Compacting copy: driver ------------------------------------------------------

// Pages listed free in the snapshot, plus the free-page database's own.
int count_free_pages(ORV_env *env, ORV_txn *txn, pgno_t *count) {
  const ORV_db &fdb = txn->mt_dbs[FREE_DBI];
  pgno_t n = fdb.md_branch_pages + fdb.md_leaf_pages + fdb.md_overflow_pages;
  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, FREE_DBI, &mc); rc != 0) return rc;
  ORV_val key, data;
  int rc = orv_cursor_get(mc, &key, &data, ORV_FIRST);
  while (rc == 0) {
    if (env->me_interrupt.load(std::memory_order_relaxed) != 0) {
      rc = EINTR;
      break;
    }
    if (data.mv_size < sizeof(pgno_t)) {
      rc = ORV_CORRUPTED;
      break;
    }
    n += load_u64(data.mv_data);
    rc = orv_cursor_get(mc, &key, &data, ORV_NEXT);
  }
  orv_cursor_close(mc);
  if (rc != ORV_NOTFOUND) return rc;
  *count = n;
  return 0;
}

// Lays out the copy's two meta pages at the start of buffer 0. Page 0
// describes an empty store; page 1 the compacted snapshot (whose main root
// will be the last page written, *new_root).
int compact_metas(ORV_copy *my, pgno_t *new_root) {
  ORV_env *env = my->cp_env;
  ORV_txn *txn = my->cp_txn;
  const size_t psize = env->me_psize;
  ORV_meta m{};
  m.mm_magic = ORV_MAGIC;
  m.mm_version = ORV_DATA_VERSION;
  m.mm_address = env->me_metas[0]->mm_address;
  m.mm_mapsize = env->me_mapsize;
  m.mm_dbs[FREE_DBI].md_pad = env->me_psize;
  m.mm_dbs[FREE_DBI].md_flags = static_cast<uint16_t>((env->me_flags & 0xFFFF) | ORV_INTEGERKEY);
  m.mm_dbs[FREE_DBI].md_root = P_INVALID;
  m.mm_dbs[MAIN_DBI].md_root = P_INVALID;
  m.mm_last_pg = NUM_METAS - 1;
  m.mm_txnid = 0;

  char *buf = my->cp_wbuf[0];
  std::memset(buf, 0, 2 * psize);
  for (pgno_t i = 0; i < NUM_METAS; i++) {
    auto *mp = reinterpret_cast<ORV_page *>(buf + i * psize);
    mp->mp_pgno = i;
    mp->mp_flags = P_META;
  }
  std::memcpy(buf + ORV_META_OFFSET, &m, sizeof m);

  const ORV_db &main = txn->mt_dbs[MAIN_DBI];
  if (main.md_root == P_INVALID) {
    m.mm_dbs[MAIN_DBI].md_flags = main.md_flags;
    if (main.md_flags != 0) m.mm_txnid = 1;
    *new_root = P_INVALID;
  } else {
    pgno_t nfree = 0;
    if (int rc = count_free_pages(env, txn, &nfree); rc != 0) return rc;
    if (nfree + NUM_METAS > txn->mt_next_pgno) return ORV_CORRUPTED;
    *new_root = txn->mt_next_pgno - 1 - nfree;
    m.mm_last_pg = *new_root;
    m.mm_dbs[MAIN_DBI] = main;
    m.mm_dbs[MAIN_DBI].md_root = *new_root;
    m.mm_txnid = 1;
  }
  std::memcpy(buf + psize + ORV_META_OFFSET, &m, sizeof m);
  return 0;
}

// The walker's part once the writer thread runs: snapshot, metas, walk.
int compact_walk(ORV_copy *my) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(my->cp_env, nullptr, ORV_RDONLY, &txn); rc != 0) return rc;
  my->cp_txn = txn;
  pgno_t new_root = P_INVALID;
  int rc = compact_metas(my, &new_root);
  if (rc == 0) {
    my->cp_wlen[0] = 2 * size_t{my->cp_env->me_psize};
    pgno_t root = txn->mt_dbs[MAIN_DBI].md_root;
    rc = cwalk(my, &root, 0);
    // Every page in use was reached exactly once, or the snapshot is not
    // what its free-page records say.
    if (rc == 0 && root != new_root) rc = ORV_INCOMPATIBLE;
  }
  return rc;
}

int copy_compact(ORV_env *env, int fd) {
  ORV_copy my{};
  if (int rc = pthread_mutex_init(&my.cp_mutex, nullptr); rc != 0) return rc;
  if (int rc = pthread_cond_init(&my.cp_cond, nullptr); rc != 0) {
    pthread_mutex_destroy(&my.cp_mutex);
    return rc;
  }
  void *buf = nullptr;
  int rc = posix_memalign(&buf, env->me_os_psize, 2 * ORV_WBUF);
  if (rc != 0) {
    pthread_cond_destroy(&my.cp_cond);
    pthread_mutex_destroy(&my.cp_mutex);
    return rc;
  }
  std::memset(buf, 0, 2 * ORV_WBUF);
  my.cp_wbuf[0] = static_cast<char *>(buf);
  my.cp_wbuf[1] = my.cp_wbuf[0] + ORV_WBUF;
  my.cp_next_pgno = NUM_METAS;
  my.cp_env = env;
  my.cp_fd = fd;

  pthread_t thr;
  rc = pthread_create(&thr, nullptr, copythr, &my);
  if (rc == 0) {
    my.fail(compact_walk(&my));
    // The last buffer goes out with the end mark, whatever happened; the
    // writer skips it after an error.
    (void)cthr_toggle(&my, 1 | ORV_COPY_EOF);
    rc = pthread_join(thr, nullptr);
    if (my.cp_txn != nullptr) orv_txn_abort(my.cp_txn);
    if (rc == 0) rc = my.cp_error.load();
  }
  std::free(buf);
  pthread_cond_destroy(&my.cp_cond);
  pthread_mutex_destroy(&my.cp_mutex);
  return rc;
}

// ---- Target file ---------------------------------------------------------------

// The copy's data file name: like the data file of an environment at path.
char *target_name(const ORV_env *env, const char *path) {
  static constexpr char kData[] = "/data.orv";
  const size_t len = std::strlen(path);
  const bool nosubdir = env->me_flags & ORV_NOSUBDIR;
  char *name = static_cast<char *>(std::malloc(len + sizeof kData));
  if (name == nullptr) return nullptr;
  std::memcpy(name, path, len);
  if (nosubdir)
    name[len] = '\0';
  else
    std::memcpy(name + len, kData, sizeof kData);
  return name;
}

// Flushes the directory holding the new file name, so that the name
// survives a power loss. Directories that cannot be flushed say EINVAL.
int sync_parent_dir(const char *file) {
  const char *slash = std::strrchr(file, '/');
  char *dir = nullptr;
  const char *dpath = ".";
  if (slash != nullptr) {
    const size_t n = slash == file ? 1 : static_cast<size_t>(slash - file);
    dir = static_cast<char *>(std::malloc(n + 1));
    if (dir == nullptr) return ENOMEM;
    std::memcpy(dir, file, n);
    dir[n] = '\0';
    dpath = dir;
  }
  int rc = 0;
  const int dfd = sys_open(dpath, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dfd < 0) {
    rc = errno;
  } else {
    if (sys_fsync(dfd) != 0 && errno != EINVAL) rc = errno;
    sys_close(dfd);
  }
  std::free(dir);
  return rc;
}

int copyfd2(ORV_env *env, int fd, unsigned flags) {
  return (flags & COPY_FLAGS_KNOWN & ORV_CP_COMPACT) ? copy_compact(env, fd) : copy_plain(env, fd);
}

bool env_copyable(const ORV_env *env) {
  return env != nullptr && (env->me_flags & ORV_ENV_ACTIVE) && env->me_map != nullptr;
}

}  // namespace

// ---- Exported ----------------------------------------------------------------------

extern "C" ORV_API int orv_env_copyfd2(ORV_env *env, int fd, unsigned int flags) noexcept {
  if (!env_copyable(env) || fd < 0) return EINVAL;
  return copyfd2(env, fd, flags);
}

extern "C" ORV_API int orv_env_copyfd(ORV_env *env, int fd) noexcept {
  return orv_env_copyfd2(env, fd, 0);
}

extern "C" ORV_API int orv_env_copy2(ORV_env *env, const char *path, unsigned int flags) noexcept {
  if (!env_copyable(env) || path == nullptr) return EINVAL;
  char *name = target_name(env, path);
  if (name == nullptr) return ENOMEM;
  const int fd = sys_open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int rc = errno;
    std::free(name);
    return rc;
  }
  // Direct I/O where the buffers' alignment allows it; without it the copy
  // only goes through the page cache.
  if (env->me_psize >= env->me_os_psize) {
    const int fl = sys_getfl(fd);
    if (fl != -1) (void)sys_setfl(fd, fl | O_DIRECT);
  }
  int rc = copyfd2(env, fd, flags);
  // The copy is durable when this returns 0: its data, and its name in
  // the directory.
  if (rc == 0 && sys_fdatasync(fd) != 0) rc = errno;
  if (sys_close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0) rc = sync_parent_dir(name);
  std::free(name);
  return rc;
}

extern "C" ORV_API int orv_env_copy(ORV_env *env, const char *path) noexcept {
  return orv_env_copy2(env, path, 0);
}
