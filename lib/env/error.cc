// Result code messages, the version query and the assertion routine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "env/env.h"

namespace {

// Indexed by code - ORV_KEYEXIST; one entry per library code.
constexpr const char *kMessages[] = {
    "ORV_KEYEXIST: Key/data pair already exists",
    "ORV_NOTFOUND: No matching key/data pair found",
    "ORV_PAGE_NOTFOUND: Requested page not found",
    "ORV_CORRUPTED: Located page was wrong type",
    "ORV_PANIC: Update of meta page failed or environment had fatal error",
    "ORV_VERSION_MISMATCH: Database environment version mismatch",
    "ORV_INVALID: File is not an ELDRAN file",
    "ORV_MAP_FULL: Environment mapsize limit reached",
    "ORV_DBS_FULL: Environment maxdbs limit reached",
    "ORV_READERS_FULL: Environment maxreaders limit reached",
    "ORV_TLS_FULL: Thread-local storage keys full - too many environments open",
    "ORV_TXN_FULL: Transaction has too many dirty pages - transaction too big",
    "ORV_CURSOR_FULL: Internal error - cursor stack limit reached",
    "ORV_PAGE_FULL: Internal error - page has no more space",
    "ORV_MAP_RESIZED: Database contents grew beyond environment mapsize",
    "ORV_INCOMPATIBLE: Operation and DB incompatible, or DB flags changed",
    "ORV_BAD_RSLOT: Invalid reuse of reader locktable slot",
    "ORV_BAD_TXN: Transaction must abort, has a child, or is invalid",
    "ORV_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size",
    "ORV_BAD_DBI: The specified DBI handle was closed/changed unexpectedly",
    "ORV_PROBLEM: Unexpected problem - txn should abort",
};
static_assert(std::size(kMessages) == ORV_LAST_ERRCODE - ORV_KEYEXIST + 1);

}  // namespace

extern "C" ORV_API const char *orv_strerror(int err) noexcept {
  if (err == 0) return "Successful return: 0";
  if (err >= ORV_KEYEXIST && err <= ORV_LAST_ERRCODE) return kMessages[err - ORV_KEYEXIST];
  if (err < 0) return "Invalid error code";
  return std::strerror(err);
}

extern "C" ORV_API const char *orv_version(int *major, int *minor, int *patch) noexcept {
  if (major) *major = ORV_VERSION_MAJOR;
  if (minor) *minor = ORV_VERSION_MINOR;
  if (patch) *patch = ORV_VERSION_PATCH;
  return ORV_VERSION_STRING;
}

void orv_assert_fail(ORV_env *env, const char *expr, const char *func, int line) {
  // The precisions bound the message to 379 characters.
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.100s:%d: Assertion '%.200s' failed in %.40s()", "orv", line,
                expr, func);
  if (env && env->me_assert_func) env->me_assert_func(env, buf);
  std::fprintf(stderr, "%s\n", buf);
  std::abort();
}
