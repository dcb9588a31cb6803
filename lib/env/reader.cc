// The reader table: claiming and releasing reader slots, taking a snapshot,
// the per-process liveness lock, recovery of mutexes whose owner died, the
// sweep of slots left behind by dead processes, and the two diagnostics
// orv_reader_check and orv_reader_list.
//
// Slot protocol. A slot is claimed under mti_rmutex (pid 0 -> this pid) and
// then belongs to one thread (through me_txkey) or, under ORV_NOTLS, to one
// read transaction. Its owner stores the snapshot id into mr_txnid without a
// lock; the writer reads all slots without a lock to find the oldest
// snapshot still in use. The owner therefore publishes the id first and
// only then checks that the snapshot is still the one it meant to take, so
// that any writer which could recycle the snapshot's pages scans the slots
// after the id became visible.
//
// Liveness. Every process that ever claimed a slot holds a write record
// lock on byte <pid> of the lock file; the lock vanishes with the process,
// which lets the sweep tell dead owners from live ones.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

namespace {

// The environment whose writer mutex this thread holds through
// orv_wmutex_lock, if any. Lets a read start that needs the mutex see that
// its own thread already holds it (an environment copy renews its read
// transaction under the mutex), where locking again would never return.
thread_local const ORV_env *tls_wmutex_env = nullptr;

ORV_reader *slot_at(ORV_env *env, unsigned i) { return &env->me_txns->mti_readers[i]; }

// The meta with the higher id, whatever ORV_PREVSNAPSHOT says.
const ORV_meta *newest_meta(const ORV_env *env) {
  const ORV_meta *m0 = env->me_metas[0];
  const ORV_meta *m1 = env->me_metas[1];
  return m0->mm_txnid < m1->mm_txnid ? m1 : m0;
}

int rmutex_lock(ORV_env *env) {
  pthread_mutex_t *m = &env->me_txns->mti_rmutex;
  int rc = pthread_mutex_lock(m);
  if (rc != 0) rc = orv_mutex_failed(env, m, rc);
  return rc;
}

void rmutex_unlock(ORV_env *env) { pthread_mutex_unlock(&env->me_txns->mti_rmutex); }

// Claims a free slot (or a new one at the end of the used range).
int claim_slot(ORV_env *env, ORV_reader **slot_out) {
  ORV_txninfo *ti = env->me_txns;
  if (!env->me_live_reader) {
    int rc = orv_reader_pid(env, F_SETLK, env->me_pid);
    if (rc != 0) return rc < 0 ? EAGAIN : rc;
    env->me_live_reader = 1;
  }
  if (int rc = rmutex_lock(env); rc != 0) return rc;
  const unsigned n = orv_reader_count(ti, env->me_maxreaders);
  unsigned i = 0;
  while (i < n && slot_at(env, i)->mr_pid.load() != 0) i++;
  if (i >= env->me_maxreaders) {
    rmutex_unlock(env);
    return ORV_READERS_FULL;
  }
  // mr_pid goes last: until it is set, a concurrent sweep or writer sees a
  // free slot and ignores whatever else it holds.
  ORV_reader *r = slot_at(env, i);
  r->mr_pid.store(0);
  r->mr_txnid.store(ORV_NO_SNAPSHOT);
  r->mr_tid = static_cast<uint64_t>(pthread_self());
  if (i == n) ti->mti_numreaders.store(n + 1);
  env->me_close_readers = static_cast<int>(orv_reader_count(ti, env->me_maxreaders));
  r->mr_pid.store(static_cast<uint32_t>(env->me_pid));
  rmutex_unlock(env);

  if (!(env->me_flags & ORV_NOTLS)) {
    if (int rc = pthread_setspecific(env->me_txkey, r); rc != 0) {
      r->mr_pid.store(0);
      return rc;
    }
  }
  *slot_out = r;
  return 0;
}

// Newest snapshot: publish mti_txnid in the slot, then copy its meta. The
// meta of id t is rewritten only by commit t + 2, which cannot start before
// commit t + 1 has published its id; so the copy is sound if mti_txnid
// still reads t after it.
void take_newest(ORV_env *env, ORV_reader *r, ORV_meta *snap) {
  ORV_txninfo *ti = env->me_txns;
  for (;;) {
    txnid_t published;
    do {
      published = ti->mti_txnid.load();
      r->mr_txnid.store(published);
    } while (published != ti->mti_txnid.load());
    const ORV_meta *m;
    if (published == 0 && (env->me_flags & ORV_RDONLY)) {
      m = orv_env_pick_meta(env);
      r->mr_txnid.store(m->mm_txnid);
    } else {
      m = env->me_metas[published & 1];
    }
    *snap = *m;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (ti->mti_txnid.load() == published) {
      snap->mm_txnid = r->mr_txnid.load();
      return;
    }
  }
}

// Older snapshot of a read-only ORV_PREVSNAPSHOT process. Its id is not what
// the lock table publishes, so the check above cannot protect it: the older
// meta page is the very one the next commit overwrites. The writer mutex
// keeps commits out while the older meta is copied and its id published;
// any writer that could recycle its pages (id + 3 and later) then scans the
// slots after the id is visible.
int take_older(ORV_env *env, ORV_reader *r, ORV_meta *snap) {
  const bool held = tls_wmutex_env == env;
  if (!held) {
    if (int rc = orv_wmutex_lock(env); rc != 0) return rc;
  }
  *snap = *orv_env_pick_meta(env);
  r->mr_txnid.store(snap->mm_txnid);
  if (!held) orv_wmutex_unlock(env);
  return 0;
}

constexpr uint32_t PREV_READONLY = ORV_PREVSNAPSHOT | ORV_RDONLY;

}  // namespace

int orv_reader_acquire(ORV_env *env, ORV_txn *txn, ORV_meta *snap, int *fresh) {
  const bool notls = env->me_flags & ORV_NOTLS;
  *fresh = 0;
  ORV_reader *r =
      notls ? txn->mt_reader : static_cast<ORV_reader *>(pthread_getspecific(env->me_txkey));
  if (r != nullptr) {
    if (r->mr_pid.load() != static_cast<uint32_t>(env->me_pid) ||
        r->mr_txnid.load() != ORV_NO_SNAPSHOT)
      return ORV_BAD_RSLOT;
  } else {
    if (int rc = claim_slot(env, &r); rc != 0) return rc;
    *fresh = 1;
  }

  if ((env->me_flags & PREV_READONLY) == PREV_READONLY) {
    if (int rc = take_older(env, r, snap); rc != 0) {
      // A new slot under ORV_NOTLS has no owner yet; one kept by a thread
      // stays with it, idle.
      if (*fresh && notls) r->mr_pid.store(0);
      return rc;
    }
  } else {
    take_newest(env, r, snap);
  }
  txn->mt_reader = r;
  txn->mt_txnid = snap->mm_txnid;
  return 0;
}

void orv_reader_release(ORV_env *env, ORV_txn *txn, int give_back) {
  ORV_reader *r = txn->mt_reader;
  if (r == nullptr) return;
  r->mr_txnid.store(ORV_NO_SNAPSHOT);
  if (!(env->me_flags & ORV_NOTLS)) {
    txn->mt_reader = nullptr;
  } else if (give_back) {
    r->mr_pid.store(0);
    txn->mt_reader = nullptr;
  }
}

int orv_reader_pid(ORV_env *env, int op, pid_t pid) {
  for (;;) {
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = pid;
    lk.l_len = 1;
    if (orv_sys.fcntl_lock(env->me_lfd, op, &lk) == 0) {
      if (op == F_GETLK && lk.l_type != F_UNLCK) return -1;
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int orv_mutex_failed(ORV_env *env, pthread_mutex_t *mutex, int rc) {
  if (rc != EOWNERDEAD) return rc;
  ORV_txninfo *ti = env->me_txns;
  const bool wlocked = mutex == &ti->mti_wmutex;
  bool panic = false;
  if (wlocked) {
    // The dead writer may have written its meta without publishing it; the
    // next writer must start from the newest meta so that it never recycles
    // pages that meta still reaches. A read-only ORV_PREVSNAPSHOT process
    // repairs with the newest id too: its own older view is no one else's.
    const bool prev_ro = (env->me_flags & PREV_READONLY) == PREV_READONLY;
    const ORV_meta *m = prev_ro ? newest_meta(env) : orv_env_pick_meta(env);
    ti->mti_txnid.store(m->mm_txnid);
    if (env->me_txn != nullptr) {
      // Only a thread of this process can have left me_txn behind.
      env->me_flags |= ORV_FATAL_ERROR;
      env->me_txn = nullptr;
      panic = true;
    }
  }
  rc = orv_reader_check0(env, !wlocked, nullptr);
  if (rc == 0) rc = pthread_mutex_consistent(mutex);
  if (panic || rc != 0) {
    pthread_mutex_unlock(mutex);
    return panic ? ORV_PANIC : rc;
  }
  return 0;
}

int orv_reader_check0(ORV_env *env, int rlocked, int *dead) {
  ORV_txninfo *ti = env->me_txns;
  const unsigned n = orv_reader_count(ti, env->me_maxreaders);
  auto *pids = static_cast<pid_t *>(std::malloc((size_t{n} + 1) * sizeof(pid_t)));
  if (pids == nullptr) return ENOMEM;
  unsigned npids = 0;
  int count = 0;
  int rc = 0;
  for (unsigned i = 0; i < n; i++) {
    const auto pid = static_cast<pid_t>(slot_at(env, i)->mr_pid.load());
    if (pid == 0 || pid == env->me_pid) continue;
    pid_t *end = pids + npids;
    pid_t *pos = std::lower_bound(pids, end, pid);
    if (pos != end && *pos == pid) continue;
    std::copy_backward(pos, end, end + 1);
    *pos = pid;
    npids++;
    if (orv_reader_pid(env, F_GETLK, pid) != 0) continue;  // alive, or unknown

    bool clear = true;
    if (!rlocked) {
      int lrc = pthread_mutex_lock(&ti->mti_rmutex);
      if (lrc != 0) {
        // A zero result means the recovery already swept every slot.
        rc = orv_mutex_failed(env, &ti->mti_rmutex, lrc);
        if (rc == 0) rmutex_unlock(env);
        break;
      }
      // The id may have been reused by a new process meanwhile.
      if (orv_reader_pid(env, F_GETLK, pid) != 0) clear = false;
    }
    if (clear) {
      for (unsigned j = i; j < n; j++) {
        ORV_reader *r = slot_at(env, j);
        if (r->mr_pid.load() == static_cast<uint32_t>(pid)) {
          r->mr_pid.store(0);
          count++;
        }
      }
    }
    if (!rlocked) rmutex_unlock(env);
  }
  std::free(pids);
  if (dead != nullptr) *dead = count;
  return rc;
}

int orv_wmutex_lock(ORV_env *env) {
  if (env->me_txns == nullptr) return 0;
  pthread_mutex_t *m = &env->me_txns->mti_wmutex;
  int rc = pthread_mutex_lock(m);
  if (rc != 0) rc = orv_mutex_failed(env, m, rc);
  if (rc == 0) tls_wmutex_env = env;
  return rc;
}

void orv_wmutex_unlock(ORV_env *env) {
  if (env->me_txns == nullptr) return;
  if (tls_wmutex_env == env) tls_wmutex_env = nullptr;
  pthread_mutex_unlock(&env->me_txns->mti_wmutex);
}

extern "C" ORV_API int orv_reader_check(ORV_env *env, int *dead) noexcept {
  if (env == nullptr) return EINVAL;
  if (dead != nullptr) *dead = 0;
  if (env->me_txns == nullptr) return 0;
  return orv_reader_check0(env, 0, dead);
}

extern "C" ORV_API int orv_reader_list(ORV_env *env, ORV_msg_func func, void *ctx) noexcept {
  if (env == nullptr || func == nullptr) return -1;
  ORV_txninfo *ti = env->me_txns;
  if (ti == nullptr) return func("(no reader locks)\n", ctx);
  const unsigned n = orv_reader_count(ti, env->me_maxreaders);
  bool first = true;
  int rc = 0;
  for (unsigned i = 0; i < n; i++) {
    ORV_reader *r = slot_at(env, i);
    const uint32_t pid = r->mr_pid.load();
    if (pid == 0) continue;
    const txnid_t txnid = r->mr_txnid.load();
    char line[64];
    if (txnid == ORV_NO_SNAPSHOT)
      std::snprintf(line, sizeof(line), "%10d %zx -\n", static_cast<int>(pid),
                    static_cast<size_t>(r->mr_tid));
    else
      std::snprintf(line, sizeof(line), "%10d %zx %zu\n", static_cast<int>(pid),
                    static_cast<size_t>(r->mr_tid), static_cast<size_t>(txnid));
    if (first) {
      first = false;
      rc = func("    pid     thread     txnid\n", ctx);
      if (rc < 0) return rc;
    }
    rc = func(line, ctx);
    if (rc < 0) return rc;
  }
  if (first) return func("(no active readers)\n", ctx);
  return rc;
}
