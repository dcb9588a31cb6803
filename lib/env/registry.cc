// The process's registry of open file-backed environments: an intrusive
// list of handles, each named by its data file's (st_dev, st_ino), under
// one mutex. A handle joins once its data file is open and leaves when it
// is closed. Entries inherited across fork belong to the parent's handles
// and are ignored by the child.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include "env/env.h"

namespace {

pthread_mutex_t g_registry_mutex = PTHREAD_MUTEX_INITIALIZER;
ORV_env *g_registry_head = nullptr;

// Another live handle of this process on (dev, ino). Registry mutex held.
bool taken(const ORV_env *env, dev_t dev, ino_t ino, pid_t pid) {
  for (const ORV_env *e = g_registry_head; e != nullptr; e = e->me_reg_next) {
    if (e != env && e->me_reg_pid == pid && e->me_reg_dev == dev && e->me_reg_ino == ino)
      return true;
  }
  return false;
}

class RegistryLock {
 public:
  RegistryLock() { pthread_mutex_lock(&g_registry_mutex); }
  ~RegistryLock() { pthread_mutex_unlock(&g_registry_mutex); }
  RegistryLock(const RegistryLock &) = delete;
  RegistryLock &operator=(const RegistryLock &) = delete;
};

}  // namespace

int orv_env_registry_check(const ORV_env *env, dev_t dev, ino_t ino) {
  RegistryLock lock;
  return taken(env, dev, ino, getpid()) ? EBUSY : 0;
}

int orv_env_registry_claim(ORV_env *env, dev_t dev, ino_t ino) {
  RegistryLock lock;
  const pid_t pid = getpid();
  if (taken(env, dev, ino, pid)) return EBUSY;
  if (!env->me_reg_on) {
    env->me_reg_next = g_registry_head;
    g_registry_head = env;
    env->me_reg_on = true;
  }
  env->me_reg_dev = dev;
  env->me_reg_ino = ino;
  env->me_reg_pid = pid;
  return 0;
}

void orv_env_registry_release(ORV_env *env) {
  RegistryLock lock;
  if (!env->me_reg_on) return;
  for (ORV_env **p = &g_registry_head; *p != nullptr; p = &(*p)->me_reg_next) {
    if (*p == env) {
      *p = env->me_reg_next;
      break;
    }
  }
  env->me_reg_next = nullptr;
  env->me_reg_on = false;
}
