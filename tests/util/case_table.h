// Tables of calls and the result code each must give, for the tests that
// pin the order of an exported function's argument and state checks:
//
//   const Case cases[] = {
//       {"get, null key", [&] { return orv_get(txn, dbi, nullptr, &d); }, EINVAL},
//   };
//   run_cases(cases);
//
// Every row names what it breaks, so that a failure says which check moved.
#ifndef ORV_TESTS_UTIL_CASE_TABLE_H
#define ORV_TESTS_UTIL_CASE_TABLE_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>

#include "orv.h"

namespace orv_test {

// A descriptor of a string literal's bytes (the literal outlives it, unlike
// a temporary std::string).
inline ORV_val lit(const char *s) { return ORV_val{std::strlen(s), const_cast<char *>(s)}; }

struct Case {
  const char *what;
  std::function<int()> call;
  int expected;
};

template <size_t N>
void run_cases(const Case (&cases)[N]) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const int rc = c.call();
    EXPECT_EQ(rc, c.expected) << "got " << orv_strerror(rc) << ", want "
                              << orv_strerror(c.expected);
  }
}

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_CASE_TABLE_H
