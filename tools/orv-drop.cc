// orv-drop: empties a database, or deletes a named one, in one write
// transaction.
//
//   orv-drop [-V] [-n] [-d] [-s subdb] dbpath
//
// Without -s the main database is emptied (-d changes nothing for it: the
// main database is never deleted). -n makes dbpath name the data file.
// SIGPIPE, SIGHUP, SIGINT and SIGTERM are caught and only recorded, so the
// drop is never cut short between its steps. Exit status 0 on success,
// else 1.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

#include "orv.h"

namespace {

volatile sig_atomic_t g_signalled = 0;

extern "C" void on_signal(int) { g_signalled = 1; }

int usage(const char *prog) {
  std::fprintf(stderr, "usage: %s [-V] [-n] [-d] [-s subdb] dbpath\n", prog);
  return 1;
}

// Prints the failed call, ends what was begun, and gives the exit status.
int fail(const char *call, int rc, ORV_txn *txn, ORV_env *env) {
  std::fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  if (txn != nullptr) orv_txn_abort(txn);
  orv_env_close(env);
  return 1;
}

}  // namespace

int main(int argc, char *argv[]) {
  const char *prog = argv[0];
  unsigned env_flags = 0;
  int del = 0;
  const char *subdb = nullptr;
  opterr = 0;  // the usage line says it all
  for (int c; (c = getopt(argc, argv, "dns:V")) != -1;) {
    switch (c) {
      case 'V':
        std::printf("%s\n", orv_version(nullptr, nullptr, nullptr));
        return 0;
      case 'd':
        del = 1;
        break;
      case 'n':
        env_flags |= ORV_NOSUBDIR;
        break;
      case 's':
        subdb = optarg;
        break;
      default:
        return usage(prog);
    }
  }
  if (optind != argc - 1) return usage(prog);
  const char *path = argv[optind];

  for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) signal(sig, on_signal);

  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc != 0) return fail("orv_env_create", rc, nullptr, env);
  orv_env_set_maxdbs(env, 2);
  if (rc = orv_env_open(env, path, env_flags, 0664); rc != 0)
    return fail("orv_env_open", rc, nullptr, env);
  ORV_txn *txn = nullptr;
  if (rc = orv_txn_begin(env, nullptr, 0, &txn); rc != 0)
    return fail("orv_txn_begin", rc, nullptr, env);
  ORV_dbi dbi;
  if (rc = orv_dbi_open(txn, subdb, 0, &dbi); rc != 0) return fail("orv_open", rc, txn, env);
  if (rc = orv_drop(txn, dbi, del); rc != 0) return fail("orv_drop", rc, txn, env);
  // A failed commit has ended the transaction already.
  if (rc = orv_txn_commit(txn); rc != 0) return fail("orv_txn_commit", rc, nullptr, env);
  orv_env_close(env);
  return 0;
}
