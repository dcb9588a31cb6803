// Environment statistics and information, and flushing the data file.
//
// stat and info read the current meta and the lock table without a lock:
// a commit running at the same time may make the answer outdated at once,
// never inconsistent (mm_txnid is published last).
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "env/env.h"
#include "env/sys.h"

namespace {

bool env_is_open(const ORV_env *env) { return env && env->me_map && env->me_metas[0]; }

}  // namespace

extern "C" ORV_API int orv_env_stat(ORV_env *env, ORV_stat *stat) noexcept {
  if (!env_is_open(env) || !stat) return EINVAL;
  const ORV_db &db = orv_env_pick_meta(env)->mm_dbs[MAIN_DBI];
  stat->ms_psize = env->me_psize;
  stat->ms_depth = db.md_depth;
  stat->ms_branch_pages = db.md_branch_pages;
  stat->ms_leaf_pages = db.md_leaf_pages;
  stat->ms_overflow_pages = db.md_overflow_pages;
  stat->ms_entries = db.md_entries;
  return 0;
}

extern "C" ORV_API int orv_env_info(ORV_env *env, ORV_envinfo *info) noexcept {
  if (!env_is_open(env) || !info) return EINVAL;
  const ORV_meta *meta = orv_env_pick_meta(env);
  info->mi_mapaddr = reinterpret_cast<void *>(static_cast<uintptr_t>(meta->mm_address));
  info->mi_mapsize = env->me_mapsize;
  info->mi_last_pgno = meta->mm_last_pg;
  info->mi_last_txnid = meta->mm_txnid;
  info->mi_maxreaders = env->me_maxreaders;
  info->mi_numreaders = env->me_txns ? orv_reader_count(env->me_txns, env->me_maxreaders) : 0;
  return 0;
}

extern "C" ORV_API int orv_env_sync0(ORV_env *env, int force, uint64_t numpgs) noexcept {
  if (!env_is_open(env)) return EINVAL;
  if (env->me_flags & ORV_INMEMORY) return 0;
  if (env->me_flags & ORV_RDONLY) return EACCES;
  if (!force && (env->me_flags & ORV_NOSYNC)) return 0;
  if (env->me_flags & ORV_WRITEMAP) {
    // Never past the end of the map, whatever count the caller passes.
    uint64_t len = numpgs <= env->me_maxpg ? numpgs * env->me_psize : env->me_mapsize;
    int how = ((env->me_flags & ORV_MAPASYNC) && !force) ? MS_ASYNC : MS_SYNC;
    if (orv_sys.msync(env->me_map, len, how) != 0) return errno;
    return 0;
  }
  return orv_sys_datasync(env->me_fd);
}

extern "C" ORV_API int orv_env_sync(ORV_env *env, int force) noexcept {
  if (!env_is_open(env)) return EINVAL;
  return orv_env_sync0(env, force, orv_env_pick_meta(env)->mm_last_pg + 1);
}
