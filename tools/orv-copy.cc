// orv-copy: copies an environment to a new directory or file, or to
// standard output, optionally compacting it.
//
//   orv-copy [-V] [-c] [-n] [-v] srcpath [dstpath]
//
// -c compacts (only the pages in use, renumbered), -n makes the paths name
// data files instead of directories, -v copies the previous snapshot. A
// signal (SIGINT, SIGTERM, SIGHUP, SIGPIPE) asks the library to interrupt
// the copy: a compacting copy then stops with EINTR, a plain one runs to
// its end. While standard error is a terminal, a progress line there
// shows the pages copied. Exit status 0 on success, else 1.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "orv.h"
#include "progress.h"

namespace {

volatile sig_atomic_t g_signalled = 0;
ORV_env *volatile g_env = nullptr;

extern "C" void on_signal(int) {
  g_signalled = 1;
  if (ORV_env *env = g_env; env != nullptr) orv_env_set_interrupt(env, 1);
}

void on_progress(uint64_t done, uint64_t total, void *ctx) {
  auto *p = static_cast<orv_tool::Progress *>(ctx);
  if (done == total || p->due()) p->draw(done, "pages", total, -1);
}

int usage(const char *prog) {
  std::fprintf(stderr, "usage: %s [-V] [-c] [-n] [-v] srcpath [dstpath]\n", prog);
  return 1;
}

}  // namespace

int main(int argc, char *argv[]) {
  const char *prog = argv[0];
  unsigned env_flags = 0, copy_flags = 0;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) {
    const char *opt = argv[i];
    if (std::strcmp(opt, "-V") == 0) {
      std::printf("%s\n", orv_version(nullptr, nullptr, nullptr));
      return 0;
    } else if (std::strcmp(opt, "-c") == 0) {
      copy_flags |= ORV_CP_COMPACT;
    } else if (std::strcmp(opt, "-n") == 0) {
      env_flags |= ORV_NOSUBDIR;
    } else if (std::strcmp(opt, "-v") == 0) {
      env_flags |= ORV_PREVSNAPSHOT;
    } else {
      return usage(prog);
    }
  }
  const int npaths = argc - i;
  if (npaths != 1 && npaths != 2) return usage(prog);
  const char *src = argv[i];
  const char *dst = npaths == 2 ? argv[i + 1] : nullptr;

  for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) signal(sig, on_signal);

  const char *step = "opening environment";
  orv_tool::Progress progress(prog);
  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc == 0) {
    g_env = env;
    if (g_signalled) orv_env_set_interrupt(env, 1);
    rc = orv_env_open(env, src, ORV_RDONLY | env_flags, 0600);
  }
  if (rc == 0 && progress.on()) rc = orv_env_set_progress(env, on_progress, &progress);
  if (rc == 0) {
    step = "copying";
    rc = dst == nullptr ? orv_env_copyfd2(env, 1, copy_flags) : orv_env_copy2(env, dst, copy_flags);
  }
  g_env = nullptr;
  if (env != nullptr) orv_env_close(env);
  progress.clear();
  if (rc != 0) {
    std::fprintf(stderr, "%s: %s failed, error %d (%s)\n", prog, step, rc, orv_strerror(rc));
    return 1;
  }
  return 0;
}
