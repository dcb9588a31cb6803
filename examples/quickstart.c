/*
 * Quick start: create (or reopen) an environment in ./quickstart-env, print
 * the library version, what the environment looks like, and close it.
 *
 * Build and run from the top of the source tree with `make demo`.
 */
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "orv.h"

static const char *const ENV_DIR = "./quickstart-env";

/* Prints a failed call the way the engine's tools do; returns 1. */
static int fail(const char *call, int rc) {
  fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  return 1;
}

static void print_info(const ORV_envinfo *info) {
  printf("Environment info:\n");
  printf("  Map address: %p\n", info->mi_mapaddr);
  printf("  Map size: %llu\n", (unsigned long long)info->mi_mapsize);
  printf("  Last page number: %llu\n", (unsigned long long)info->mi_last_pgno);
  printf("  Last transaction ID: %llu\n", (unsigned long long)info->mi_last_txnid);
  printf("  Max readers: %u\n", info->mi_maxreaders);
  printf("  Number of readers used: %u\n", info->mi_numreaders);
}

static void print_stat(const ORV_stat *st) {
  printf("Main database:\n");
  printf("  Page size: %u\n", st->ms_psize);
  printf("  Tree depth: %u\n", st->ms_depth);
  printf("  Branch pages: %llu\n", (unsigned long long)st->ms_branch_pages);
  printf("  Leaf pages: %llu\n", (unsigned long long)st->ms_leaf_pages);
  printf("  Overflow pages: %llu\n", (unsigned long long)st->ms_overflow_pages);
  printf("  Entries: %llu\n", (unsigned long long)st->ms_entries);
}

int main(void) {
  ORV_env *env = NULL;
  ORV_envinfo info;
  ORV_stat st;
  int rc;

  printf("%s\n", orv_version(NULL, NULL, NULL));

  /* The environment lives in a directory of its own. */
  if (mkdir(ENV_DIR, 0755) != 0 && errno != EEXIST) return fail("mkdir", errno);

  rc = orv_env_create(&env);
  if (rc != 0) return fail("orv_env_create", rc);
  rc = orv_env_set_mapsize(env, 10u << 20); /* 10 MiB is plenty for a start */
  if (rc == 0) rc = orv_env_open(env, ENV_DIR, 0, 0644);
  if (rc != 0) {
    orv_env_close(env);
    return fail("orv_env_open", rc);
  }
  printf("Opened %s\n", ENV_DIR);

  rc = orv_env_info(env, &info);
  if (rc == 0) {
    print_info(&info);
    rc = orv_env_stat(env, &st);
  }
  if (rc == 0) print_stat(&st);
  orv_env_close(env);
  return rc == 0 ? 0 : fail("orv_env_info/orv_env_stat", rc);
}
