// [error]: lib/env/error.cc — result code messages, the version query and the
// assertion routine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "env/env.h"
#include "orv.h"

namespace {

struct CodeCase {
  int code;
  const char *text;
};

constexpr CodeCase kCodes[] = {
    {0, "Successful return: 0"},
    {ORV_KEYEXIST, "ORV_KEYEXIST: Key/data pair already exists"},
    {ORV_NOTFOUND, "ORV_NOTFOUND: No matching key/data pair found"},
    {ORV_PAGE_NOTFOUND, "ORV_PAGE_NOTFOUND: Requested page not found"},
    {ORV_CORRUPTED, "ORV_CORRUPTED: Located page was wrong type"},
    {ORV_PANIC, "ORV_PANIC: Update of meta page failed or environment had fatal error"},
    {ORV_VERSION_MISMATCH, "ORV_VERSION_MISMATCH: Database environment version mismatch"},
    {ORV_INVALID, "ORV_INVALID: File is not an ELDRAN file"},
    {ORV_MAP_FULL, "ORV_MAP_FULL: Environment mapsize limit reached"},
    {ORV_DBS_FULL, "ORV_DBS_FULL: Environment maxdbs limit reached"},
    {ORV_READERS_FULL, "ORV_READERS_FULL: Environment maxreaders limit reached"},
    {ORV_TLS_FULL, "ORV_TLS_FULL: Thread-local storage keys full - too many environments open"},
    {ORV_TXN_FULL, "ORV_TXN_FULL: Transaction has too many dirty pages - transaction too big"},
    {ORV_CURSOR_FULL, "ORV_CURSOR_FULL: Internal error - cursor stack limit reached"},
    {ORV_PAGE_FULL, "ORV_PAGE_FULL: Internal error - page has no more space"},
    {ORV_MAP_RESIZED, "ORV_MAP_RESIZED: Database contents grew beyond environment mapsize"},
    {ORV_INCOMPATIBLE, "ORV_INCOMPATIBLE: Operation and DB incompatible, or DB flags changed"},
    {ORV_BAD_RSLOT, "ORV_BAD_RSLOT: Invalid reuse of reader locktable slot"},
    {ORV_BAD_TXN, "ORV_BAD_TXN: Transaction must abort, has a child, or is invalid"},
    {ORV_BAD_VALSIZE,
     "ORV_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size"},
    {ORV_BAD_DBI, "ORV_BAD_DBI: The specified DBI handle was closed/changed unexpectedly"},
    {ORV_PROBLEM, "ORV_PROBLEM: Unexpected problem - txn should abort"},
    // Just outside the library's range, and other negatives.
    {-30800, "Invalid error code"},
    {-30778, "Invalid error code"},
    {-1, "Invalid error code"},
    {-30769, "Invalid error code"},
    {INT32_MIN, "Invalid error code"},
};

TEST(Strerror, EveryCodeHasItsExactText) {
  for (const auto &c : kCodes) {
    SCOPED_TRACE(c.code);
    const char *msg = orv_strerror(c.code);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, c.text);
  }
}

TEST(Strerror, CodeValuesAreFixed) {
  // Codes are part of the interface: -30799 .. -30779 in table order.
  EXPECT_EQ(ORV_KEYEXIST, -30799);
  EXPECT_EQ(ORV_PROBLEM, -30779);
  EXPECT_EQ(ORV_LAST_ERRCODE, ORV_PROBLEM);
  EXPECT_EQ(ORV_BAD_VALSIZE, -30781);
}

TEST(Strerror, PositiveCodesAreSystemMessages) {
  for (int err : {ENOENT, EINVAL, ENOMEM, EACCES, EINTR, EIO, ENOSPC}) {
    SCOPED_TRACE(err);
    EXPECT_EQ(std::string(orv_strerror(err)), std::string(std::strerror(err)));
  }
}

TEST(Version, StoresThroughNonNullPointersOnly) {
  int major = -1, minor = -1, patch = -1;
  EXPECT_STREQ(orv_version(&major, &minor, &patch), "ELDRAN 1.0.0: (October 26, 2025)");
  EXPECT_EQ(major, 1);
  EXPECT_EQ(minor, 0);
  EXPECT_EQ(patch, 0);

  EXPECT_STREQ(orv_version(nullptr, nullptr, nullptr), "ELDRAN 1.0.0: (October 26, 2025)");

  minor = -7;
  major = patch = -1;
  const char *s = orv_version(&major, nullptr, &patch);
  EXPECT_STREQ(s, ORV_VERSION_STRING);
  EXPECT_EQ(major, 1);
  EXPECT_EQ(minor, -7);
  EXPECT_EQ(patch, 0);
}

// ---- Assertions ---------------------------------------------------------------

// Echoes what the callback received, bracketed, so the death test can see
// that it matches the line printed after it.
void echo_callback(ORV_env *, const char *msg) { std::fprintf(stderr, "CB[%s]\n", msg); }

// A callback that ends the process itself: nothing may be printed after it.
void exit_callback(ORV_env *, const char *msg) {
  std::fprintf(stderr, "CB[%s]\n", msg);
  std::fflush(stderr);
  _exit(3);
}

int checked_function(ORV_env *env, int x) {
  orv_assert(env, x > 1);
  return x;
}

using AssertDeathTest = ::testing::Test;

TEST_F(AssertDeathTest, PrintsFormattedMessageAndAborts) {
  EXPECT_EXIT(orv_assert_fail(nullptr, "rc == ORV_SUCCESS", "orv_page_split", 1234),
              ::testing::KilledBySignal(SIGABRT),
              "^orv:1234: Assertion 'rc == ORV_SUCCESS' failed in orv_page_split\\(\\)\n$");
}

TEST_F(AssertDeathTest, MacroStringifiesExpressionAndNamesFunction) {
  EXPECT_EQ(checked_function(nullptr, 2), 2);
  EXPECT_EXIT(checked_function(nullptr, 0), ::testing::KilledBySignal(SIGABRT),
              "^orv:[0-9]+: Assertion 'x > 1' failed in checked_function\\(\\)\n$");
}

TEST_F(AssertDeathTest, CallbackGetsSameTextThenProcessStillAborts) {
  ORV_env env{};
  env.me_assert_func = echo_callback;
  EXPECT_EXIT(orv_assert_fail(&env, "node_size == (size_t)delta", "orv_node_add", 77),
              ::testing::KilledBySignal(SIGABRT),
              "^CB\\[orv:77: Assertion 'node_size == \\(size_t\\)delta' failed in "
              "orv_node_add\\(\\)\\]\n"
              "orv:77: Assertion 'node_size == \\(size_t\\)delta' failed in orv_node_add\\(\\)\n$");
}

TEST_F(AssertDeathTest, EnvWithoutCallbackOnlyPrints) {
  ORV_env env{};
  EXPECT_EXIT(orv_assert_fail(&env, "a", "f", 1), ::testing::KilledBySignal(SIGABRT),
              "^orv:1: Assertion 'a' failed in f\\(\\)\n$");
}

TEST_F(AssertDeathTest, CallbackThatDoesNotReturnEndsEverything) {
  ORV_env env{};
  env.me_assert_func = exit_callback;
  EXPECT_EXIT(orv_assert_fail(&env, "a", "f", 5), ::testing::ExitedWithCode(3),
              "^CB\\[orv:5: Assertion 'a' failed in f\\(\\)\\]\n$");
}

TEST_F(AssertDeathTest, LongTextsAreCutToTheirPrecisions) {
  // 200 characters of the expression and 40 of the function name survive.
  const std::string expr = std::string(200, 'e') + "TAIL";
  const std::string func = std::string(40, 'f') + "TAIL";
  const std::string expected = "^orv:9: Assertion '" + std::string(200, 'e') + "' failed in " +
                               std::string(40, 'f') + "\\(\\)\n$";
  EXPECT_EXIT(orv_assert_fail(nullptr, expr.c_str(), func.c_str(), 9),
              ::testing::KilledBySignal(SIGABRT), expected);
}

}  // namespace
