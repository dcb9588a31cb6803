/* The public headers compile as plain C and the library links from C. */
#include <stdio.h>
#include <string.h>

#include "idl.h"
#include "orv.h"

int main(void) {
  int major = -1, minor = -1, patch = -1;
  const char *v = orv_version(&major, &minor, &patch);
  if (strcmp(v, ORV_VERSION_STRING) != 0 || major != 1 || minor != 0 || patch != 0) {
    fprintf(stderr, "bad version %s\n", v);
    return 1;
  }
  if (strcmp(orv_strerror(ORV_NOTFOUND), "ORV_NOTFOUND: No matching key/data pair found") != 0)
    return 1;
  return 0;
}
