// Setting up the lock table: the lock file with first-opener detection, the
// anonymous table of an in-memory store, and the downgrade that admits other
// processes once the first opener is ready.
//
// First opener protocol (record locks of one byte at offset 0):
//   - every opener first tries a write lock without waiting; whoever gets it
//     is the exclusive opener and (re)initialises the table: its mutexes,
//     magic, format, published id 0 and reader count 0;
//   - the others wait for a read lock, which they get only once the
//     exclusive opener has finished opening and downgraded to a read lock;
//   - every process keeps its read lock while the environment is open, so
//     the next exclusive opener is the first one after all have closed.
// Reader slots, liveness locks and mutex recovery are in reader.cc.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "env/env.h"
#include "env/sys.h"

namespace {

inline constexpr off_t LOCKTABLE_HDR = 192;  // header plus the first slot
inline constexpr off_t SLOT_SIZE = sizeof(ORV_reader);

// Thread exit: give the thread's reader slot back, unless the slot is not
// ours any more (a stale sweep or another process took it).
extern "C" void reader_slot_dtor(void *ptr) {
  auto *slot = static_cast<ORV_reader *>(ptr);
  uint32_t pid = static_cast<uint32_t>(getpid());
  if (slot->mr_pid.load(std::memory_order_relaxed) == pid)
    slot->mr_pid.store(0, std::memory_order_release);
}

int create_txkey(ORV_env *env) {
  if (env->me_flags & ORV_NOTLS) return 0;
  if (int rc = pthread_key_create(&env->me_txkey, reader_slot_dtor); rc != 0) return rc;
  env->me_flags |= ORV_ENV_TXKEY;
  return 0;
}

// One-byte record lock at offset 0; repeats when a signal interrupts it.
int lock_byte0(int fd, int cmd, short type) {
  struct flock lk;
  std::memset(&lk, 0, sizeof lk);
  lk.l_type = type;
  lk.l_whence = SEEK_SET;
  lk.l_start = 0;
  lk.l_len = 1;
  int rc;
  do rc = orv_sys.fcntl_lock(fd, cmd, &lk);
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// Initialises both mutexes of the table as robust, shared across processes
// (file-backed) or only inside this one (in-memory).
int init_mutexes(ORV_txninfo *ti, int pshared) {
  std::memset(&ti->mti_rmutex, 0, sizeof ti->mti_rmutex);
  std::memset(&ti->mti_wmutex, 0, sizeof ti->mti_wmutex);
  pthread_mutexattr_t attr;
  if (int rc = pthread_mutexattr_init(&attr); rc != 0) return rc;
  int rc = pthread_mutexattr_setpshared(&attr, pshared);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutex_init(&ti->mti_rmutex, &attr);
  if (rc == 0) rc = pthread_mutex_init(&ti->mti_wmutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

void init_header(ORV_txninfo *ti) {
  ti->mti_magic = ORV_MAGIC;
  ti->mti_format = ORV_LOCK_FORMAT;
  ti->mti_txnid.store(0, std::memory_order_relaxed);
  ti->mti_numreaders.store(0, std::memory_order_release);
}

}  // namespace

int orv_env_setup_locks(ORV_env *env, const char *lpath, orv_mode_t mode, int *excl) {
  *excl = -1;
  bool created = false;
  if (int rc = orv_sys_open(lpath, O_RDWR | O_CREAT | O_CLOEXEC, mode, &env->me_lfd, &created);
      rc != 0) {
    // A read-only store on a read-only file system runs without a table.
    if (rc == EROFS && (env->me_flags & ORV_RDONLY)) return 0;
    return rc;
  }
  if (created) {
    if (int rc = orv_sys_sync_dir(lpath); rc != 0) return rc;
  }
  if (int rc = create_txkey(env); rc != 0) return rc;

  // Everything below leaves the descriptor, key and map to orv_env_close0.
  int refused = lock_byte0(env->me_lfd, F_SETLK, F_WRLCK);
  if (refused == 0) {
    *excl = 1;
  } else if (refused != EACCES && refused != EAGAIN) {
    // Not a conflicting lock but a failure: nothing about the file is known.
    return refused;
  } else {
    if (int rc = lock_byte0(env->me_lfd, F_SETLKW, F_RDLCK); rc != 0) return rc;
    *excl = 0;
  }

  off_t size = orv_sys.lseek(env->me_lfd, 0, SEEK_END);
  if (size < 0) return errno;
  const off_t want = static_cast<off_t>(orv_locktable_size(env->me_maxreaders));
  if (*excl == 1 && size < want) {
    int rc;
    do rc = orv_sys.ftruncate(env->me_lfd, want);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return errno;
  } else {
    // The table size is the file's: every process must agree on it. A file
    // too short for even one slot, or with more slots than we can count,
    // was not made by us.
    if (size < LOCKTABLE_HDR || (size - LOCKTABLE_HDR) / SLOT_SIZE + 1 > UINT32_MAX)
      return ORV_INVALID;
    env->me_maxreaders = static_cast<uint32_t>((size - LOCKTABLE_HDR) / SLOT_SIZE + 1);
  }

  const size_t len = orv_locktable_size(env->me_maxreaders);
  void *map = orv_sys.mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, env->me_lfd, 0);
  if (map == MAP_FAILED) return errno;
  env->me_txns = static_cast<ORV_txninfo *>(map);
  ORV_txninfo *ti = env->me_txns;

  if (*excl == 1) {
    // Slots left from earlier sessions are not cleared: a reader count of 0
    // makes them irrelevant.
    if (int rc = init_mutexes(ti, PTHREAD_PROCESS_SHARED); rc != 0) return rc;
    init_header(ti);
    return 0;
  }
  if (ti->mti_magic != ORV_MAGIC) return ORV_INVALID;
  if (ti->mti_format != ORV_LOCK_FORMAT) return ORV_VERSION_MISMATCH;
  return 0;
}

int orv_env_setup_mem_locks(ORV_env *env) {
  if (int rc = create_txkey(env); rc != 0) return rc;
  const size_t len = orv_locktable_size(env->me_maxreaders);
  void *map = orv_sys.mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) {
    env->me_txns = nullptr;
    return errno;
  }
  std::memset(map, 0, len);
  env->me_txns = static_cast<ORV_txninfo *>(map);
  if (int rc = init_mutexes(env->me_txns, PTHREAD_PROCESS_PRIVATE); rc != 0) return rc;
  init_header(env->me_txns);
  // No file holds liveness locks; close sweeps every slot.
  env->me_live_reader = 1;
  env->me_close_readers = static_cast<int>(std::min<uint32_t>(env->me_maxreaders, INT_MAX));
  return 0;
}

int orv_env_share_locks(ORV_env *env, int *excl) {
  // Publish before admitting anyone: the waiting openers start from it. It is
  // always the newest committed state, even while this process reads an
  // older snapshot: a writer starting from anything older would overwrite
  // the newest meta page's state and lose its commit.
  const ORV_meta *m0 = env->me_metas[0];
  const ORV_meta *m1 = env->me_metas[1];
  const txnid_t newest = m0->mm_txnid < m1->mm_txnid ? m1->mm_txnid : m0->mm_txnid;
  env->me_txns->mti_txnid.store(newest, std::memory_order_release);
  // Replaces this process's write lock on byte 0 with a read lock.
  if (int rc = lock_byte0(env->me_lfd, F_SETLK, F_RDLCK); rc != 0) {
    *excl = -1;
    return rc;
  }
  *excl = 0;
  return 0;
}
