// FaultInjector: a system-call table that counts calls and fails one.
#include "util/sys_fault.h"

#include <dirent.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

namespace orv_test {
namespace {

// The table's entries are plain functions, so the plan lives here.
struct State {
  FaultPlan plan;
  uint64_t calls = 0;
  bool paused = false;
  bool fired = false;
  const char *fired_call = "";
};
State g;

enum class Kind { kOther, kInterruptible, kWrite };

// Counts the call; true when this one must fail as planned.
bool Hit(const char *name, Kind kind) {
  if (g.paused) return false;
  ++g.calls;
  if (g.fired || g.calls != g.plan.fail_at) return false;
  switch (g.plan.fault) {
    case Fault::kError:
      break;
    case Fault::kEintr:
      if (kind == Kind::kOther) return false;
      break;
    case Fault::kShortWrite:
      if (kind != Kind::kWrite) return false;
      break;
  }
  g.fired = true;
  g.fired_call = name;
  errno = g.plan.fault == Fault::kEintr ? EINTR : g.plan.err;
  return true;
}

bool ShortWrite() { return g.plan.fault == Fault::kShortWrite; }

int Open(const char *path, int flags, mode_t mode) {
  if (Hit("open", Kind::kInterruptible)) return -1;
  // Synchronous writes cost a disk round trip each and prove nothing here.
  if (!g.plan.real_sync) flags &= ~O_DSYNC;
  return ::open(path, flags, mode);
}
int Close(int fd) {
  // A failed close still releases the descriptor (as Linux does).
  if (Hit("close", Kind::kOther)) {
    ::close(fd);
    errno = g.plan.err;
    return -1;
  }
  return ::close(fd);
}
ssize_t Pread(int fd, void *buf, size_t len, off_t off) {
  if (Hit("pread", Kind::kInterruptible)) return -1;
  return ::pread(fd, buf, len, off);
}
ssize_t Pwrite(int fd, const void *buf, size_t len, off_t off) {
  if (Hit("pwrite", Kind::kWrite)) {
    if (!ShortWrite()) return -1;
    return ::pwrite(fd, buf, std::max<size_t>(1, len / 2), off);
  }
  return ::pwrite(fd, buf, len, off);
}
ssize_t Writev(int fd, const struct iovec *iov, int n) {
  if (Hit("writev", Kind::kWrite)) {
    if (!ShortWrite()) return -1;
    // Part of the first buffer only.
    return ::write(fd, iov[0].iov_base, std::max<size_t>(1, iov[0].iov_len / 2));
  }
  return ::writev(fd, iov, n);
}
off_t Lseek(int fd, off_t off, int whence) {
  if (Hit("lseek", Kind::kOther)) return -1;  // never interrupted
  return ::lseek(fd, off, whence);
}
int Fdatasync(int fd) {
  if (Hit("fdatasync", Kind::kInterruptible)) return -1;
  return g.plan.real_sync ? ::fdatasync(fd) : 0;
}
int Fsync(int fd) {
  if (Hit("fsync", Kind::kInterruptible)) return -1;
  return g.plan.real_sync ? ::fsync(fd) : 0;
}
int Ftruncate(int fd, off_t len) {
  if (Hit("ftruncate", Kind::kInterruptible)) return -1;
  return ::ftruncate(fd, len);
}
int Fstat(int fd, struct stat *st) {
  if (Hit("fstat", Kind::kOther)) return -1;
  return ::fstat(fd, st);
}
void *Mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  if (Hit("mmap", Kind::kOther)) return MAP_FAILED;
  return ::mmap(addr, len, prot, flags, fd, off);
}
int Munmap(void *addr, size_t len) {
  // Reported as failed but carried out: nothing can be done about a map
  // that will not go, and the suites check for leaks.
  if (Hit("munmap", Kind::kOther)) {
    ::munmap(addr, len);
    errno = g.plan.err;
    return -1;
  }
  return ::munmap(addr, len);
}
int Msync(void *addr, size_t len, int flags) {
  if (Hit("msync", Kind::kOther)) return -1;
  return g.plan.real_sync ? ::msync(addr, len, flags) : 0;
}
int Madvise(void *addr, size_t len, int advice) {
  if (Hit("madvise", Kind::kOther)) return -1;
  return ::madvise(addr, len, advice);
}
int FcntlLock(int fd, int cmd, struct flock *lk) {
  if (Hit("fcntl", Kind::kInterruptible)) return -1;
  return ::fcntl(fd, cmd, lk);
}

ssize_t Write(int fd, const void *buf, size_t len) {
  if (Hit("write", Kind::kWrite)) {
    if (!ShortWrite()) return -1;
    return ::write(fd, buf, std::max<size_t>(1, len / 2));
  }
  return ::write(fd, buf, len);
}
int FcntlFl(int fd, int cmd, int arg) {
  if (Hit("fcntl_fl", Kind::kOther)) return -1;
  return cmd == F_GETFL ? ::fcntl(fd, F_GETFL) : ::fcntl(fd, cmd, arg);
}
int Unlink(const char *path) {
  if (Hit("unlink", Kind::kOther)) return -1;
  return ::unlink(path);
}

constexpr ORV_sys kFaulty = {Open,      Close,   Pread,     Pwrite, Writev,  Lseek,
                             Fdatasync, Fsync,   Ftruncate, Fstat,  Mmap,    Munmap,
                             Msync,     Madvise, FcntlLock, Write,  FcntlFl, Unlink};

}  // namespace

FaultInjector::FaultInjector(const FaultPlan &plan) {
  g = State{};
  g.plan = plan;
  saved_ = orv_sys_install(kFaulty);
}

FaultInjector::~FaultInjector() { orv_sys_install(saved_); }

uint64_t FaultInjector::calls() const { return g.calls; }
bool FaultInjector::fired() const { return g.fired; }
std::string FaultInjector::fired_call() const { return g.fired_call; }
void FaultInjector::Pause(bool paused) { g.paused = paused; }

namespace {
sigjmp_buf g_sigbus_jump;
extern "C" void OnSigbus(int) { siglongjmp(g_sigbus_jump, 1); }
}  // namespace

bool RunWithoutSigbus(const std::function<void()> &fn) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = OnSigbus;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, &old);
  bool ok = true;
  if (sigsetjmp(g_sigbus_jump, 1) == 0) {
    fn();
  } else {
    ok = false;
  }
  sigaction(SIGBUS, &old, nullptr);
  return ok;
}

int CountOpenFds() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) n++;
    closedir(d);
  }
  return n;
}

}  // namespace orv_test
