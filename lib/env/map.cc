// The memory map of the data file (or of anonymous memory for an in-memory
// store) and resizing it while the environment is open.
//
// The map is read-only unless ORV_WRITEMAP: pages are then written through
// file descriptors and seen through the map by the unified buffer cache.
// Under ORV_WRITEMAP the file is at least as long as the map, so that
// writing any mapped page cannot fault. me_metas always point at the two
// meta records at the start of the current map.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "env/env.h"
#include "env/sys.h"

namespace {

// Under ORV_WRITEMAP the data file must reach the end of the map. It is
// only ever lengthened: other processes may map (and be writing) a larger
// part of it, and pages past our map can belong to their transactions.
int extend_file(ORV_env *env) {
  struct stat st;
  if (orv_sys.fstat(env->me_fd, &st) != 0) return errno;
  if (static_cast<uint64_t>(st.st_size) >= env->me_mapsize) return 0;
  int rc;
  do rc = orv_sys.ftruncate(env->me_fd, static_cast<off_t>(env->me_mapsize));
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

void set_metas(ORV_env *env) {
  env->me_metas[0] = reinterpret_cast<ORV_meta *>(env->me_map + ORV_META_OFFSET);
  env->me_metas[1] = reinterpret_cast<ORV_meta *>(env->me_map + env->me_psize + ORV_META_OFFSET);
}

// Bytes of the pages the current meta says are in use.
uint64_t used_bytes(const ORV_env *env) {
  const ORV_meta *meta = orv_env_pick_meta(env);
  return (meta->mm_last_pg + 1) * env->me_psize;
}

// Resize of an in-memory store: the contents move to a new anonymous map.
// The old map stays intact until the copy is done, so a failure loses
// nothing.
int resize_inmemory(ORV_env *env, uint64_t size) {
  char *old_map = env->me_map;
  const uint64_t old_size = env->me_mapsize;
  const uint64_t used = used_bytes(env);
  env->me_mapsize = size;
  if (int rc = orv_env_map(env, nullptr); rc != 0) {
    env->me_map = old_map;
    env->me_mapsize = old_size;
    set_metas(env);
    return rc;
  }
  std::memcpy(env->me_map, old_map, used);
  orv_sys.munmap(old_map, old_size);
  return 0;
}

// Resize of a file-backed map. Without ORV_FIXEDMAP the new map is made
// before the old one goes, so a failure leaves the old one in place; with
// it the old map must go first to free its address, and a failure tries to
// bring the old map back.
int resize_file(ORV_env *env, uint64_t size) {
  char *old_map = env->me_map;
  const uint64_t old_size = env->me_mapsize;
  const bool fixed = env->me_flags & ORV_FIXEDMAP;
  if (fixed) {
    orv_sys.munmap(old_map, old_size);
    env->me_map = nullptr;
  }
  env->me_mapsize = size;
  int rc = orv_env_map(env, fixed ? old_map : nullptr);
  if (rc == 0) {
    if (!fixed) orv_sys.munmap(old_map, old_size);
    return 0;
  }
  if (env->me_map) orv_sys.munmap(env->me_map, env->me_mapsize);  // landed elsewhere
  env->me_mapsize = old_size;
  if (!fixed) {
    env->me_map = old_map;
    set_metas(env);
  } else if (orv_env_map(env, old_map) != 0) {
    // The environment has no usable map any more; the caller must close it.
    if (env->me_map) orv_sys.munmap(env->me_map, env->me_mapsize);
    env->me_map = nullptr;
    env->me_metas[0] = env->me_metas[1] = nullptr;
  }
  return rc;
}

}  // namespace

int orv_env_map(ORV_env *env, void *addr) {
  int mflags = MAP_SHARED;
#ifdef MAP_NOSYNC
  if (env->me_flags & ORV_NOSYNC) mflags |= MAP_NOSYNC;
#endif
  int prot = PROT_READ;
  int fd = -1;
  if (env->me_flags & ORV_INMEMORY) {
    mflags |= MAP_ANONYMOUS;
    prot |= PROT_WRITE;
  } else {
    fd = env->me_fd;
    if (env->me_flags & ORV_WRITEMAP) {
      if (int rc = extend_file(env); rc != 0) return rc;
      prot |= PROT_WRITE;
    }
  }
  void *map = orv_sys.mmap(addr, env->me_mapsize, prot, mflags, fd, 0);
  if (map == MAP_FAILED) {
    env->me_map = nullptr;
    return errno;
  }
  env->me_map = static_cast<char *>(map);
  if (env->me_flags & ORV_NORDAHEAD) (void)orv_sys.madvise(map, env->me_mapsize, MADV_RANDOM);
  // The map stays in place; the caller's clean-up unmaps it.
  if (addr && map != addr) return EBUSY;
  set_metas(env);
  return 0;
}

int orv_env_resize(ORV_env *env, size_t size) {
  if (env->me_txn) return EINVAL;
  const ORV_meta *meta = orv_env_pick_meta(env);
  uint64_t want = size ? size : meta->mm_mapsize;
  const uint64_t minsize = used_bytes(env);
  if (want < minsize) want = minsize;
  int rc = (env->me_flags & ORV_INMEMORY) ? resize_inmemory(env, want) : resize_file(env, want);
  if (rc != 0) return rc;
  if (env->me_psize) env->me_maxpg = env->me_mapsize / env->me_psize;
  return 0;
}
