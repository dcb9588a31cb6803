/* An outside program built against an installed eldran: it stores and reads
 * back one entry, and checks that the header and the library it was linked
 * with come from the same release. Prints "consumer ok" on success. */
#include <stdio.h>
#include <string.h>

#include "orv.h"

static int fail(const char *call, int rc) {
  fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  int major = -1;
  if (strcmp(orv_version(&major, NULL, NULL), ORV_VERSION_STRING) != 0 ||
      major != ORV_VERSION_MAJOR) {
    fprintf(stderr, "header %s, library %s\n", ORV_VERSION_STRING, orv_version(NULL, NULL, NULL));
    return 1;
  }
  ORV_env *env = NULL;
  ORV_txn *txn = NULL;
  ORV_dbi dbi;
  int rc = orv_env_create(&env);
  if (rc != 0) return fail("orv_env_create", rc);
  if ((rc = orv_env_open(env, argv[1], 0, 0664)) != 0) return fail("orv_env_open", rc);
  if ((rc = orv_txn_begin(env, NULL, 0, &txn)) != 0) return fail("orv_txn_begin", rc);
  if ((rc = orv_dbi_open(txn, NULL, 0, &dbi)) != 0) return fail("orv_dbi_open", rc);
  ORV_val key = {3, (void *)"key"}, data = {5, (void *)"value"}, got;
  if ((rc = orv_put(txn, dbi, &key, &data, 0)) != 0) return fail("orv_put", rc);
  if ((rc = orv_txn_commit(txn)) != 0) return fail("orv_txn_commit", rc);
  if ((rc = orv_txn_begin(env, NULL, ORV_RDONLY, &txn)) != 0) return fail("orv_txn_begin", rc);
  if ((rc = orv_get(txn, dbi, &key, &got)) != 0) return fail("orv_get", rc);
  if (got.mv_size != 5 || memcmp(got.mv_data, "value", 5) != 0) return fail("orv_get value", 0);
  orv_txn_abort(txn);
  orv_env_close(env);
  printf("consumer ok\n");
  return 0;
}
