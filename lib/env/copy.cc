// Environment copy: orv_env_copy, orv_env_copy2, orv_env_copyfd and
// orv_env_copyfd2, the plain method (orv_env_copyfd0), the target file, and
// the system calls and SIGPIPE handling both methods share. The compacting
// method is in copy_compact.cc.
//
// Both methods copy the snapshot of one read transaction, so writers in
// other threads and processes go on meanwhile; the source is not changed.
//
// Plain copy: the two meta pages are written while the writer mutex keeps
// commits out (the read transaction is renewed under it, so its snapshot
// is the newest meta), then the snapshot's pages 2 .. last as they lie in
// the map, in writes of at most 1 GiB.
//
// A copy to a new file is durable once orv_env_copy2 returns 0: the file's
// data and the directory entry naming it are flushed. A copy to a new file
// that fails is removed, so no file is left that could open as a wrong
// environment.
//
// Every system call goes through the table orv_sys.
//
// A reader that went away (EPIPE) never raises SIGPIPE for the process:
// the plain copy blocks it around its writes and takes back the one a
// failed write raised.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

// Takes back a SIGPIPE that a failed write to a closed pipe left pending
// for this thread (where it is blocked), without waiting for one.
void orv_sigpipe_collect() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const timespec zero{0, 0};
  while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
  }
}

namespace {

inline constexpr size_t ORV_MAX_WRITE = 0x40000000;  // largest write of the plain copy
// Largest write of a plain copy that reports its progress.
inline constexpr size_t ORV_PROGRESS_WRITE = size_t{16} << 20;

// ---- SIGPIPE -----------------------------------------------------------------

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
    if (active_ && !pending_before_) orv_sigpipe_collect();
  }

 private:
  sigset_t old_;
  bool active_ = false;
  bool pending_before_ = false;
};

// Writes len bytes to fd from its position: 0, the system error, or EIO
// for a write of 0 bytes. EPIPE is returned with its SIGPIPE collected.
int write_all(int fd, const char *p, size_t len) {
  SigpipeBlock guard;
  const iovec iov{const_cast<char *>(p), len};
  const int rc = orv_sys_write_all(fd, &iov, 1, -1);
  if (rc == EPIPE) guard.collect();
  return rc;
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
  for (unsigned i = 0; i < NUM_METAS; i++)
    std::memcpy(&m[i], out + i * psize + ORV_META_OFFSET, sizeof(ORV_meta));
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

}  // namespace

int orv_env_copyfd0(ORV_env *env, int fd) {
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
      if (orv_sys.fstat(env->me_fd, &st) != 0) {
        rc = errno;
      } else if (static_cast<uint64_t>(st.st_size) < end) {
        end = static_cast<uint64_t>(st.st_size);
      }
    }
    const uint64_t total = (end + psize - 1) / psize;
    const size_t most = env->me_progress != nullptr ? ORV_PROGRESS_WRITE : ORV_MAX_WRITE;
    orv_env_progress(env, NUM_METAS, total);
    for (uint64_t off = 2 * psize; rc == 0 && off < end;) {
      const size_t len = end - off < most ? static_cast<size_t>(end - off) : most;
      rc = write_all(fd, env->me_map + off, len);
      off += len;
      if (rc == 0) orv_env_progress(env, (off + psize - 1) / psize, total);
    }
  }
  std::free(metas);
  // A renewal that failed has ended the transaction; the abort then only
  // frees its record.
  orv_txn_abort(txn);
  return rc;
}

namespace {

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

int copyfd2(ORV_env *env, int fd, unsigned flags) {
  // Copy flags other than ORV_CP_COMPACT are ignored.
  return (flags & ORV_CP_COMPACT) ? orv_env_copyfd1(env, fd) : orv_env_copyfd0(env, fd);
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
  int fd = -1;
  bool created = false;
  int rc = orv_sys_open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666, &fd, &created);
  if (rc != 0) {
    std::free(name);
    return rc;
  }
  // Direct I/O where the buffers' alignment allows it; without it the copy
  // only goes through the page cache.
  if (env->me_psize >= env->me_os_psize) {
    const int fl = orv_sys.fcntl_fl(fd, F_GETFL, 0);
    if (fl != -1) (void)orv_sys.fcntl_fl(fd, F_SETFL, fl | O_DIRECT);
  }
  rc = copyfd2(env, fd, flags);
  // The copy is durable when this returns 0: its data, and its name in
  // the directory.
  if (rc == 0) rc = orv_sys_datasync(fd);
  if (orv_sys.close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0 && created) rc = orv_sys_sync_dir(name);
  // A copy that failed is removed: cut short, its meta pages could name
  // pages it does not hold, and even complete it is not known to be
  // durable. The file is this call's own (created exclusively above).
  if (rc != 0) (void)orv_sys.unlink(name);
  std::free(name);
  return rc;
}

extern "C" ORV_API int orv_env_copy(ORV_env *env, const char *path) noexcept {
  return orv_env_copy2(env, path, 0);
}
