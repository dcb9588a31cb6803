// Opening and closing an environment.
//
// Open ties together, in this order: the environment-wide lists, the
// database tables, the lock table (first-opener detection), the data file,
// its meta pages and map, the meta-write descriptor, the downgrade that
// admits other processes, and the preallocated write transaction. Any
// failure after the arguments were accepted releases everything through
// orv_env_close0 and puts the handle's configuration back as it was, so the
// handle can be opened again or closed.
//
// Files: without ORV_NOSUBDIR the path is a directory holding "/data.orv"
// and "/lock.orv"; with it the path is the data file and path + "-lock" the
// lock file. An in-memory store (ORV_INMEMORY) has neither; its path is
// ":memory:".
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "btree/btree.h"
#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

namespace {

constexpr const char *INMEMORY_PATH = ":memory:";
constexpr const char *DATANAME = "/data.orv";
constexpr const char *LOCKNAME = "/lock.orv";
constexpr const char *LOCKSUFF = "-lock";
// Room for the longest suffix and its NUL.
constexpr int FNAME_EXTRA = 10;
static_assert(sizeof("/data.orv") <= FNAME_EXTRA && sizeof("/lock.orv") <= FNAME_EXTRA);

// The file names of one open: the path with a suffix written at its end.
// Owns its buffer when it had to allocate one.
struct orv_fname {
  int fn_len = 0;
  bool fn_alloc = false;
  char *fn_buf = nullptr;

  orv_fname() = default;
  orv_fname(const orv_fname &) = delete;
  orv_fname &operator=(const orv_fname &) = delete;
  ~orv_fname() {
    if (fn_alloc) std::free(fn_buf);
  }

  // 0, ENOMEM, or EINVAL for a path too long to name files with.
  int init(const char *path, uint32_t flags) {
    size_t len = std::strlen(path);
    if (len > static_cast<size_t>(INT32_MAX - FNAME_EXTRA)) return EINVAL;
    fn_len = static_cast<int>(len);
    if ((flags & (ORV_NOLOCK | ORV_NOSUBDIR)) == (ORV_NOLOCK | ORV_NOSUBDIR)) {
      fn_buf = const_cast<char *>(path);  // only ever the data file: path itself
      return 0;
    }
    fn_buf = static_cast<char *>(std::malloc(len + FNAME_EXTRA));
    if (!fn_buf) return ENOMEM;
    fn_alloc = true;
    std::memcpy(fn_buf, path, len + 1);
    return 0;
  }

  // The path with suffix; valid until the next call.
  const char *name(const char *suffix) {
    if (fn_alloc) std::strcpy(fn_buf + fn_len, suffix);
    return fn_buf;
  }
  const char *data_name(uint32_t flags) { return name((flags & ORV_NOSUBDIR) ? "" : DATANAME); }
  const char *lock_name(uint32_t flags) {
    return name((flags & ORV_NOSUBDIR) ? LOCKSUFF : LOCKNAME);
  }
};

// Opens a file of the environment. A file this open creates has a new
// directory entry, which is not durable until its directory is flushed.
int open_file(const char *name, int oflags, orv_mode_t mode, int *fd) {
  bool created = false;
  if (int rc = orv_sys_open(name, oflags, mode, fd, &created); rc != 0) return rc;
  return created ? orv_sys_sync_dir(name) : 0;
}

// Refuses a data file that can never be opened (missing while read-only,
// unreadable, a directory, not a data file of ours) before the lock file is
// created, so that a refused open leaves nothing behind. The real open
// checks the header again; this look only spares the caller a stray lock
// file and never decides anything on its own.
int check_existing_data(ORV_env *env, const char *name, bool prev, bool rdonly) {
  int fd = -1;
  if (int rc = open_file(name, O_RDONLY | O_CLOEXEC, 0, &fd); rc != 0)
    return (rc == ENOENT && !rdonly) ? 0 : rc;  // a writable open creates it
  struct stat st;
  int rc = orv_sys.fstat(fd, &st) != 0 ? errno : 0;
  if (rc == 0 && S_ISDIR(st.st_mode)) rc = EISDIR;
  // Open in this process already: refused before the lock file is touched,
  // whose locks and table belong to the other handle.
  if (rc == 0) rc = orv_env_registry_check(env, st.st_dev, st.st_ino);
  if (rc == 0) {
    ORV_meta meta;
    env->me_fd = fd;
    rc = orv_env_read_header(env, prev, &meta);
    env->me_fd = -1;
    if (rc == ENOENT) rc = 0;  // an empty file is a new environment
  }
  orv_sys.close(fd);
  return rc;
}

// Steps of the open after the arguments were accepted. Everything acquired
// is recorded in the handle for orv_env_close0.
int open_resources(ORV_env *env, const char *path, orv_fname &fname, uint32_t flags,
                   orv_mode_t mode) {
  const bool inmem = flags & ORV_INMEMORY;
  flags |= ORV_ENV_ACTIVE;
  if (flags & ORV_RDONLY) flags &= ~ORV_WRITEMAP;
  // Recorded first, so that close0 releases whatever follows.
  env->me_flags = flags;
  const bool rdonly = flags & ORV_RDONLY;
  const bool prev = flags & ORV_PREVSNAPSHOT;

  if (!rdonly) {
    env->me_free_pgs = orv_idl_alloc(ORV_IDL_UM_MAX);
    env->me_dirty_list = static_cast<ORV_ID2L>(std::calloc(ORV_IDL_UM_SIZE, sizeof(ORV_ID2)));
    if (!env->me_free_pgs || !env->me_dirty_list) return ENOMEM;
  }

  env->me_path = strdup(inmem ? INMEMORY_PATH : path);
  if (!env->me_path) return ENOMEM;
  env->me_dbxs = static_cast<ORV_dbx *>(std::calloc(env->me_maxdbs, sizeof(ORV_dbx)));
  env->me_dbflags = static_cast<uint16_t *>(std::calloc(env->me_maxdbs, sizeof(uint16_t)));
  env->me_dbiseqs = static_cast<uint32_t *>(std::calloc(env->me_maxdbs, sizeof(uint32_t)));
  if (!env->me_dbxs || !env->me_dbflags || !env->me_dbiseqs) return ENOMEM;
  env->me_dbxs[FREE_DBI].md_cmp = orv_cmp_uint64;

  int excl = -1;
  if (inmem) {
    if (!(flags & ORV_NOLOCK)) {
      if (int rc = orv_env_setup_mem_locks(env); rc != 0) return rc;
    }
  } else {
    if (int rc = check_existing_data(env, fname.data_name(flags), prev, rdonly); rc != 0) return rc;
    if (!(flags & (ORV_NOLOCK | ORV_RDONLY))) {
      if (int rc = orv_env_setup_locks(env, fname.lock_name(flags), mode, &excl); rc != 0)
        return rc;
      // The older snapshot can only be taken over while no one else uses it.
      if (prev && excl != 1) return EAGAIN;
    }
    int oflags = rdonly ? O_RDONLY : (O_RDWR | O_CREAT);
    if (int rc = open_file(fname.data_name(flags), oflags, mode, &env->me_fd); rc != 0) return rc;
    // Claimed by identity of the open file, which also catches a handle
    // of this process that created the same new file meanwhile.
    struct stat st;
    if (orv_sys.fstat(env->me_fd, &st) != 0) return errno;
    if (int rc = orv_env_registry_claim(env, st.st_dev, st.st_ino); rc != 0) return rc;
    if (rdonly && !(flags & ORV_NOLOCK)) {
      if (int rc = orv_env_setup_locks(env, fname.lock_name(flags), mode, &excl); rc != 0)
        return rc;
    }
  }

  if (int rc = orv_env_open_data(env, prev); rc != 0) return rc;

  // The main database is usable before anyone opens it by handle: give it
  // the comparators its recorded flags call for.
  {
    const unsigned main_flags = orv_env_pick_meta(env)->mm_dbs[MAIN_DBI].md_flags;
    env->me_dbxs[MAIN_DBI].md_cmp = orv_default_key_cmp(main_flags);
    env->me_dbxs[MAIN_DBI].md_dcmp = orv_default_dup_cmp(main_flags);
  }

  if (!inmem && !(flags & (ORV_RDONLY | ORV_WRITEMAP))) {
    if (int rc =
            open_file(fname.data_name(flags), O_WRONLY | O_DSYNC | O_CLOEXEC, mode, &env->me_mfd);
        rc != 0)
      return rc;
  }

  // A writable previous-snapshot opener keeps the environment to itself until
  // its first commit; a read-only one must admit the others now, or every
  // later opener would wait for byte 0 for ever.
  if (excl == 1 && (!prev || rdonly)) {
    if (int rc = orv_env_share_locks(env, &excl); rc != 0) return rc;
  }

  if (!rdonly) {
    env->me_pbuf = std::calloc(1, env->me_psize);
    if (!env->me_pbuf) return ENOMEM;
    if (int rc = orv_txn0_alloc(env); rc != 0) return rc;
  }
  return 0;
}

void close_fd(int *fd) {
  if (*fd >= 0) orv_sys.close(*fd);
  *fd = -1;
}

}  // namespace

extern "C" ORV_API int orv_env_open(ORV_env *env, const char *path, unsigned int flags,
                                    orv_mode_t mode) noexcept {
  if (!env || (flags & ~ORV_ENV_OPEN_MASK) || (env->me_flags & ORV_ENV_ACTIVE) || env->me_map)
    return EINVAL;
  flags |= env->me_flags;

  orv_fname fname;
  if (flags & ORV_INMEMORY) {
    if (flags & (ORV_FIXEDMAP | ORV_RDONLY | ORV_PREVSNAPSHOT)) return EINVAL;
    flags |= ORV_NOSYNC | ORV_NOMETASYNC | ORV_WRITEMAP;
  } else {
    // An empty path names no file ("" + "/lock.orv" would be the root's).
    if (!path || !*path) return EINVAL;
    if (int rc = fname.init(path, flags); rc != 0) return rc;
  }

  // What open may change in the configuration, to put back on failure.
  const uint32_t saved_flags = env->me_flags;
  const uint64_t saved_mapsize = env->me_mapsize;
  const uint32_t saved_maxreaders = env->me_maxreaders;

  int rc = open_resources(env, path, fname, flags, mode);
  if (rc != 0) {
    orv_env_close0(env);
    env->me_flags = saved_flags;
    env->me_mapsize = saved_mapsize;
    env->me_maxreaders = saved_maxreaders;
    env->me_psize = 0;
    env->me_maxpg = 0;
  }
  return rc;
}

void orv_env_close0(ORV_env *env) {
  if (!(env->me_flags & ORV_ENV_ACTIVE)) return;

  if (env->me_dbxs) {
    for (uint32_t i = CORE_DBS; i < env->me_maxdbs; i++) std::free(env->me_dbxs[i].md_name.mv_data);
  }
  std::free(env->me_dbxs);
  std::free(env->me_pbuf);
  std::free(env->me_dbiseqs);
  std::free(env->me_dbflags);
  std::free(env->me_path);
  std::free(env->me_dirty_list);
  env->me_dbxs = nullptr;
  env->me_pbuf = nullptr;
  env->me_dbiseqs = nullptr;
  env->me_dbflags = nullptr;
  env->me_path = nullptr;
  env->me_dirty_list = nullptr;
  if (env->me_txn0) {
    orv_txn_scratch_free(&env->me_txn0->mt_scratch);
    std::free(env->me_txn0);
    env->me_txn0 = nullptr;
  }
  env->me_txn = nullptr;
  if (env->me_free_pgs) orv_idl_free(env->me_free_pgs);
  env->me_free_pgs = nullptr;
  orv_idl_free(env->me_pghead_spare);
  env->me_pghead_spare = nullptr;
  if (env->me_flags & ORV_ENV_TXKEY) pthread_key_delete(env->me_txkey);

  if (env->me_map) orv_sys.munmap(env->me_map, env->me_mapsize);
  env->me_map = nullptr;
  env->me_metas[0] = env->me_metas[1] = nullptr;
  close_fd(&env->me_mfd);
  close_fd(&env->me_fd);

  if (ORV_txninfo *ti = env->me_txns) {
    // Slots our threads still hold (their key destructors will not run
    // now that the key is gone). Only this process's: after a fork the
    // parent's slots are not ours to free.
    const uint32_t pid = static_cast<uint32_t>(getpid());
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(std::max(env->me_close_readers, 0)),
                                          env->me_maxreaders);
    for (uint32_t i = 0; i < n; i++) {
      if (ti->mti_readers[i].mr_pid.load(std::memory_order_relaxed) == pid)
        ti->mti_readers[i].mr_pid.store(0, std::memory_order_release);
    }
    orv_sys.munmap(ti, orv_locktable_size(env->me_maxreaders));
    env->me_txns = nullptr;
  }
  // Closing the lock file also drops this process's record locks.
  close_fd(&env->me_lfd);
  // Only now may another handle open the environment.
  orv_env_registry_release(env);
  env->me_close_readers = 0;
  env->me_live_reader = 0;
  env->me_flags &= ~(ORV_ENV_ACTIVE | ORV_ENV_TXKEY | ORV_INMEMORY);
}

extern "C" ORV_API void orv_env_close(ORV_env *env) noexcept {
  if (!env) return;
  while (ORV_page *mp = env->me_dpages) {
    env->me_dpages = next_spare_page(mp);
    std::free(mp);
  }
  orv_env_close0(env);
  std::free(env);
}
