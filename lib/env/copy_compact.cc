// Compacting environment copy (orv_env_copyfd1): the trees of one read
// transaction's snapshot are walked and only the pages in use are written,
// renumbered from 2 in writing order (children first, each tree's root
// last), so the copy has no free pages and an empty free-page database.
// Branch nodes keep their entry counts: the shapes of the trees do not
// change.
//
// Two threads share ORV_copy. The caller's thread walks and fills two
// alternating 1 MiB buffers; a writer thread writes each full buffer (then
// the tail of an overflow run straight from the map, when the buffer ends
// with a run's first page):
//
//   cp_new   buffers handed to the writer (0..2), plus COPY_EOF at the end
//   cp_error first error of either thread; once set, the writer skips all
//            writes and the walker stops at its next hand-over
//
// The writer thread keeps SIGPIPE blocked and takes back the one a write to
// a closed pipe raises, so a reader that went away gives EPIPE and never
// ends the process. The walk stops with EINTR at the next page once the
// environment's interrupt is requested.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

namespace {

inline constexpr size_t ORV_WBUF = 1048576;  // hand a buffer over at this size
inline constexpr int ORV_COPY_EOF = 0x10;    // cp_new: the walker is done

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
  pgno_t cp_total;  // pages the copy will have, for progress reports
  int cp_fd;
  int cp_toggle;
  int cp_new;                 // guarded by cp_mutex
  std::atomic<int> cp_error;  // first error of either thread

  void fail(int rc) {
    int none = 0;
    if (rc != 0) cp_error.compare_exchange_strong(none, rc);
  }
};

// Writes len bytes for the writer thread, unless an error is recorded.
void copythr_write(ORV_copy *my, const char *p, size_t len) {
  if (len == 0 || my->cp_error.load() != 0) return;
  const iovec iov{const_cast<char *>(p), len};
  const int rc = orv_sys_write_all(my->cp_fd, &iov, 1, -1);
  // SIGPIPE is blocked in this thread; take back the one this write
  // raised so that it is never delivered.
  if (rc == EPIPE) orv_sigpipe_collect();
  my->fail(rc);
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
  // Every hand-over is a page or a megabyte further: a fair pace for
  // progress reports, at no cost per page.
  if (!(adjust & ORV_COPY_EOF)) orv_env_progress(my->cp_env, my->cp_next_pgno, my->cp_total);
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
    if (!orv_node_in_page(mp, psize, i, true)) return orv_txn_fail(mc->mc_txn, ORV_CORRUPTED);
    ORV_node *node = node_ptr(mp, i);
    if (node->mn_flags & F_BIGDATA) {
      mp = leaf_private(mc, spare, psize);
      node = node_ptr(mp, i);
      ORV_page *omp;
      if (int rc = orv_overflow_page_get(mc, node, &omp); rc != 0) return rc;
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
  // The pages of a tree of fixed-size values may be P_LEAF2 pages, which
  // the page checks accept only in such a tree.
  ORV_db dups{};
  if (flags & F_DUPDATA) {
    dups.md_flags = ORV_DUPFIXED;
    mc.mc_db = &dups;
  }
  int rc = orv_page_get(&mc, *root, &mc.mc_pg[0], nullptr);
  if (rc == 0) rc = orv_tree_page_check(&mc, mc.mc_pg[0], *root);
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
          if (rc = orv_tree_page_get(&mc, mp, mc.mc_ki[mc.mc_top], nullptr, &child); rc != 0) break;
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
    my->cp_total = new_root == P_INVALID ? NUM_METAS : new_root + 1;
    orv_env_progress(my->cp_env, NUM_METAS, my->cp_total);
    my->cp_wlen[0] = 2 * size_t{my->cp_env->me_psize};
    pgno_t root = txn->mt_dbs[MAIN_DBI].md_root;
    rc = cwalk(my, &root, 0);
    // Every page in use was reached exactly once, or the snapshot is not
    // what its free-page records say.
    if (rc == 0 && root != new_root) rc = ORV_INCOMPATIBLE;
  }
  return rc;
}

}  // namespace

int orv_env_copyfd1(ORV_env *env, int fd) {
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
    if (rc == 0) orv_env_progress(env, my.cp_total, my.cp_total);
  }
  std::free(buf);
  pthread_cond_destroy(&my.cp_cond);
  pthread_mutex_destroy(&my.cp_mutex);
  return rc;
}
