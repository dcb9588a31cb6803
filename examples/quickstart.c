/*
 * Quick start: create (or reopen) an environment in ./quickstart-env, fill a
 * named counted database in one transaction, read it back with a cursor,
 * ask it for the entry at a rank, the rank of a key and the size of a key
 * range (answered from the counts kept in the tree, without a walk), and
 * print statistics.
 *
 * Build and run from the top of the source tree with `make demo`.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
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
  printf("  Page size: %u\n", st->ms_psize);
  printf("  Tree depth: %u\n", st->ms_depth);
  printf("  Branch pages: %llu\n", (unsigned long long)st->ms_branch_pages);
  printf("  Leaf pages: %llu\n", (unsigned long long)st->ms_leaf_pages);
  printf("  Overflow pages: %llu\n", (unsigned long long)st->ms_overflow_pages);
  printf("  Entries: %llu\n", (unsigned long long)st->ms_entries);
}

/* Fills the named, counted database "fruit" in one write transaction. */
static int fill(ORV_env *env, ORV_dbi *dbi) {
  static const char *const names[] = {"apple",      "banana", "cherry", "damson",
                                      "elderberry", "fig",    "grape",  "honeydew"};
  ORV_txn *txn = NULL;
  int rc = orv_txn_begin(env, NULL, 0, &txn);
  if (rc != 0) return fail("orv_txn_begin", rc);
  rc = orv_dbi_open(txn, "fruit", ORV_CREATE | ORV_COUNTED, dbi);
  if (rc != 0) {
    orv_txn_abort(txn);
    return fail("orv_dbi_open", rc);
  }
  for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
    char value[32];
    int len = snprintf(value, sizeof value, "%zu crates", (i + 1) * 3);
    ORV_val key = {strlen(names[i]), (void *)names[i]};
    ORV_val data = {(size_t)len, value};
    rc = orv_put(txn, *dbi, &key, &data, 0);
    if (rc != 0) {
      orv_txn_abort(txn);
      return fail("orv_put", rc);
    }
  }
  rc = orv_txn_commit(txn); /* durable and visible to readers from here on */
  return rc == 0 ? 0 : fail("orv_txn_commit", rc);
}

/* Reads the database back in key order with a cursor in a read transaction. */
static int read_back(ORV_env *env, ORV_dbi dbi) {
  ORV_txn *txn = NULL;
  ORV_cursor *cursor = NULL;
  ORV_val key, data;
  ORV_stat st;
  int rc = orv_txn_begin(env, NULL, ORV_RDONLY, &txn);
  if (rc != 0) return fail("orv_txn_begin", rc);
  rc = orv_cursor_open(txn, dbi, &cursor);
  if (rc != 0) {
    orv_txn_abort(txn);
    return fail("orv_cursor_open", rc);
  }
  printf("Contents of \"fruit\":\n");
  while ((rc = orv_cursor_get(cursor, &key, &data, ORV_NEXT)) == 0)
    printf("  %.*s: %.*s\n", (int)key.mv_size, (char *)key.mv_data, (int)data.mv_size,
           (char *)data.mv_data);
  orv_cursor_close(cursor);
  if (rc != ORV_NOTFOUND) {
    orv_txn_abort(txn);
    return fail("orv_cursor_get", rc);
  }
  rc = orv_stat(txn, dbi, &st);
  orv_txn_abort(txn); /* read transactions end with abort (or commit) */
  if (rc != 0) return fail("orv_stat", rc);
  printf("Database \"fruit\":\n");
  print_stat(&st);
  return 0;
}

/* Counted databases answer rank and range questions in logarithmic time. */
static int ask_counts(ORV_env *env, ORV_dbi dbi) {
  ORV_txn *txn = NULL;
  ORV_val key, data;
  ORV_val fig = {3, (void *)"fig"};
  ORV_val low = {1, (void *)"b"}, high = {1, (void *)"f"};
  uint64_t rank = 0, count = 0;
  int rc = orv_txn_begin(env, NULL, ORV_RDONLY, &txn);
  if (rc != 0) return fail("orv_txn_begin", rc);
  printf("Counting in \"fruit\":\n");
  rc = orv_get_rank(txn, dbi, 2, &key, &data);
  if (rc != 0) {
    orv_txn_abort(txn);
    return fail("orv_get_rank", rc);
  }
  printf("  Entry at rank 2: %.*s: %.*s\n", (int)key.mv_size, (char *)key.mv_data,
         (int)data.mv_size, (char *)data.mv_data);
  rc = orv_get_key_rank(txn, dbi, &fig, NULL, &rank);
  if (rc != 0) {
    orv_txn_abort(txn);
    return fail("orv_get_key_rank", rc);
  }
  printf("  Rank of fig: %llu\n", (unsigned long long)rank);
  /* Keys from "b" up to but not including "f": banana, cherry, damson, elderberry. */
  rc = orv_count_range(txn, dbi, &low, &high, ORV_RANGE_LOWER_INCL, &count);
  orv_txn_abort(txn);
  if (rc != 0) return fail("orv_count_range", rc);
  printf("  Keys in [b, f): %llu\n", (unsigned long long)count);
  return 0;
}

int main(void) {
  ORV_env *env = NULL;
  ORV_envinfo info;
  ORV_stat st;
  ORV_dbi dbi;
  int rc;

  printf("%s\n", orv_version(NULL, NULL, NULL));

  /* The environment lives in a directory of its own. */
  if (mkdir(ENV_DIR, 0755) != 0 && errno != EEXIST) return fail("mkdir", errno);

  rc = orv_env_create(&env);
  if (rc != 0) return fail("orv_env_create", rc);
  rc = orv_env_set_mapsize(env, 10u << 20);     /* 10 MiB is plenty for a start */
  if (rc == 0) rc = orv_env_set_maxdbs(env, 4); /* room for named databases */
  if (rc == 0) rc = orv_env_open(env, ENV_DIR, 0, 0644);
  if (rc != 0) {
    orv_env_close(env);
    return fail("orv_env_open", rc);
  }
  printf("Opened %s\n", ENV_DIR);

  rc = fill(env, &dbi);
  if (rc == 0) rc = read_back(env, dbi);
  if (rc == 0) rc = ask_counts(env, dbi);
  if (rc == 0) {
    rc = orv_env_info(env, &info);
    if (rc == 0) print_info(&info);
    if (rc == 0) rc = orv_env_stat(env, &st);
    if (rc == 0) {
      printf("Main database (holds the names of the named databases):\n");
      print_stat(&st);
    }
    if (rc != 0) fail("orv_env_info/orv_env_stat", rc);
  }
  orv_env_close(env);
  return rc == 0 ? 0 : 1;
}
