// orv_env_set_progress: the function that copies and checks of the
// environment tell how far they are (orv_env_progress in env.h).
#include <cerrno>

#include "env/env.h"

extern "C" ORV_API int orv_env_set_progress(ORV_env *env, ORV_progress_func func,
                                            void *ctx) noexcept {
  if (env == nullptr) return EINVAL;
  env->me_progress = func;
  env->me_progress_ctx = func != nullptr ? ctx : nullptr;
  return 0;
}
