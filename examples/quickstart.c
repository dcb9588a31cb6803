/* Quick start: the smallest program that uses the engine. */
#include <stdio.h>

#include "orv.h"

int main(void) {
  printf("%s\n", orv_version(NULL, NULL, NULL));
  return 0;
}
