// A crash-simulating file layer on the library's system-call table. Every
// write is carried out (the running process sees all its data, as it would
// through the page cache), and the layer also keeps track of what a power
// loss would leave on the disk:
//   - the durable contents of each file: what its last flush covered
//     (fdatasync / fsync, msync(MS_SYNC) of a shared writable map, and every
//     write through a descriptor opened with O_DSYNC);
//   - the writes since then, in order ("pending"), including size changes;
//   - under a writable shared map, the pages whose stores were not flushed;
//   - whether a new file's directory entry was flushed (fsync of its
//     directory).
// Capture() takes that state at any instant (typically from a hook that
// runs before every system call), and CrashImage::Write() turns it into
// one possible disk after a power loss: each pending write dropped, kept,
// or torn at a 512-byte boundary; each file at its last flushed size plus
// whatever kept writes extend it; a file whose entry was never flushed
// present or absent.
//
// Flushes are not carried out on the real disk: the simulation needs only
// the page cache, and the suites run much faster.
#ifndef ORV_TESTS_UTIL_CRASH_SIM_H
#define ORV_TESTS_UTIL_CRASH_SIM_H

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "env/sys.h"

namespace orv_test {

// The disk state at one instant: what is durable and what may or may not
// have reached the disk.
struct CrashImage {
  struct Unit {
    uint64_t off = 0;
    std::string bytes;      // the bytes written (empty for a size change)
    bool truncate = false;  // a size change to off (the library only ever lengthens)
  };
  struct File {
    std::string name;  // base name inside the environment directory
    bool entry_durable = false;
    std::string durable;
    std::vector<Unit> pending;
  };
  std::vector<File> files;

  // Writes one random outcome of a power loss into dir, which must exist
  // and be empty. Returns the number of pending units that were kept or
  // torn (0: exactly the durable state).
  unsigned Write(std::mt19937_64 &rng, const std::string &dir) const;
};

class CrashSim {
 public:
  CrashSim();
  ~CrashSim();
  CrashSim(const CrashSim &) = delete;
  CrashSim &operator=(const CrashSim &) = delete;

  // Runs before every system call of the library (not while paused) with
  // the number of calls so far.
  void SetHook(std::function<void(uint64_t call)> hook);
  // While paused, calls pass straight through and nothing is tracked
  // (flushes are still skipped). For environments opened on images.
  void Pause(bool paused);
  uint64_t calls() const;

  // The state now. Files are those opened since the layer was installed.
  CrashImage Capture() const;

 private:
  ORV_sys saved_;
};

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_CRASH_SIM_H
