// Fault injection through the library's system-call table: the Nth counted
// call fails with an error, is interrupted (EINTR), or writes only part of
// its bytes.
//
//   FaultInjector inj({.fail_at = 17, .fault = Fault::kError, .err = EIO});
//   ... run a workload ...
//   inj.fired();          // whether call 17 happened (and failed)
//   inj.calls();          // counted calls so far
//
// One injector at a time; it restores the previous table when destroyed.
// Flushes (fdatasync, fsync, msync, O_DSYNC) are counted but not carried
// out unless real_sync is set: the process does not crash, so the page
// cache holds every byte, and the suites run much faster.
#ifndef ORV_TESTS_UTIL_SYS_FAULT_H
#define ORV_TESTS_UTIL_SYS_FAULT_H

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "env/sys.h"

namespace orv_test {

enum class Fault {
  kError,       // the call fails with err
  kEintr,       // the call fails with EINTR (only calls a signal can interrupt)
  kShortWrite,  // pwrite / writev move about half of their bytes (writes only)
};

struct FaultPlan {
  uint64_t fail_at = 0;  // 1-based number of the counted call to fail; 0: none
  Fault fault = Fault::kError;
  int err = EIO;
  bool real_sync = false;
};

class FaultInjector {
 public:
  explicit FaultInjector(const FaultPlan &plan);
  ~FaultInjector();
  FaultInjector(const FaultInjector &) = delete;
  FaultInjector &operator=(const FaultInjector &) = delete;

  uint64_t calls() const;
  bool fired() const;
  // Name of the call that failed ("" before).
  std::string fired_call() const;
  // While paused, calls are neither counted nor failed.
  void Pause(bool paused);

 private:
  ORV_sys saved_;
};

// Number of open descriptors of this process.
int CountOpenFds();

// Runs fn. Returns false if fn touched a mapped page past the end of its
// file (SIGBUS), which is how a data file shorter than its meta page claims
// shows up; fn is then abandoned where it was (what it held is leaked), so
// callers report a failure and move on.
bool RunWithoutSigbus(const std::function<void()> &fn);

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_SYS_FAULT_H
