// The environment handle: creation and the configuration setters and
// getters. Opening and closing live in open.cc, the map in map.cc.
//
// Which setters work when:
//   before open only (no map yet)   maxdbs, maxreaders
//   before and after open           mapsize (after open: resize, map.cc),
//                                   flags (ORV_ENV_CHANGEABLE bits only),
//                                   userctx, assert, interrupt
#include "env/env.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

extern "C" ORV_API int orv_env_create(ORV_env **envp) noexcept {
  if (!envp) return EINVAL;
  auto *env = static_cast<ORV_env *>(std::calloc(1, sizeof(ORV_env)));
  if (!env) return ENOMEM;
  env->me_fd = -1;
  env->me_lfd = -1;
  env->me_mfd = -1;
  env->me_maxreaders = ORV_DEFAULT_READERS;
  env->me_dbcount = CORE_DBS;
  env->me_maxdbs = CORE_DBS;
  env->me_pid = getpid();
  long psize = sysconf(_SC_PAGESIZE);
  env->me_os_psize = psize > 0 ? static_cast<uint32_t>(psize) : 4096;
  *envp = env;
  return 0;
}

extern "C" ORV_API int orv_env_set_mapsize(ORV_env *env, size_t size) noexcept {
  if (!env) return EINVAL;
  if (env->me_map) return orv_env_resize(env, size);
  env->me_mapsize = size;
  if (env->me_psize) env->me_maxpg = env->me_mapsize / env->me_psize;
  return 0;
}

extern "C" ORV_API int orv_env_set_maxdbs(ORV_env *env, unsigned int dbs) noexcept {
  // The table holds the named databases plus the two core ones; refuse a
  // count whose table size would wrap around.
  if (!env || env->me_map || dbs > UINT_MAX - CORE_DBS) return EINVAL;
  env->me_maxdbs = dbs + CORE_DBS;
  return 0;
}

extern "C" ORV_API int orv_env_set_maxreaders(ORV_env *env, unsigned int readers) noexcept {
  if (!env || readers == 0 || env->me_map) return EINVAL;
  env->me_maxreaders = readers;
  return 0;
}

extern "C" ORV_API int orv_env_get_maxreaders(ORV_env *env, unsigned int *readers) noexcept {
  if (!env || !readers) return EINVAL;
  *readers = env->me_maxreaders;
  return 0;
}

extern "C" ORV_API int orv_env_set_flags(ORV_env *env, unsigned int flags, int onoff) noexcept {
  if (!env || (flags & ~ORV_ENV_CHANGEABLE)) return EINVAL;
  if (onoff)
    env->me_flags |= flags;
  else
    env->me_flags &= ~flags;
  return 0;
}

extern "C" ORV_API int orv_env_get_flags(ORV_env *env, unsigned int *flags) noexcept {
  if (!env || !flags) return EINVAL;
  *flags = env->me_flags & ORV_ENV_OPEN_MASK;
  return 0;
}

extern "C" ORV_API int orv_env_get_path(ORV_env *env, const char **path) noexcept {
  if (!env || !path) return EINVAL;
  *path = env->me_path;
  return 0;
}

extern "C" ORV_API int orv_env_get_fd(ORV_env *env, int *fd) noexcept {
  if (!env || !fd) return EINVAL;
  *fd = env->me_fd;
  return 0;
}

extern "C" ORV_API int orv_env_set_userctx(ORV_env *env, void *ctx) noexcept {
  if (!env) return EINVAL;
  env->me_userctx = ctx;
  return 0;
}

extern "C" ORV_API void *orv_env_get_userctx(ORV_env *env) noexcept {
  return env ? env->me_userctx : nullptr;
}

extern "C" ORV_API int orv_env_set_assert(ORV_env *env, ORV_assert_func func) noexcept {
  if (!env) return EINVAL;
  env->me_assert_func = func;
  return 0;
}

extern "C" ORV_API int orv_env_set_interrupt(ORV_env *env, int interrupt) noexcept {
  if (!env) return EINVAL;
  // One store; tree operations of any thread read it without a lock, and a
  // signal handler may call this (a lock-free atomic store is async-safe).
  env->me_interrupt.store(interrupt ? 1 : 0, std::memory_order_relaxed);
  return 0;
}

extern "C" ORV_API int orv_env_get_maxkeysize(ORV_env *) noexcept { return ORV_MAXKEYSIZE; }
