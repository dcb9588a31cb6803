// CrashSim: the crash-simulating system-call table and the images it makes.
#include "util/crash_sim.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace orv_test {
namespace {

constexpr uint64_t kSector = 512;
constexpr size_t kMapPage = 4096;

struct FileState {
  bool entry_durable = true;
  std::string durable;
  std::vector<CrashImage::Unit> pending;
};

struct FdInfo {
  std::string path;
  bool dir = false;
  bool dsync = false;
};

struct MapRegion {
  char *addr;
  size_t len;
  uint64_t off;
  std::string path;
};

struct State {
  bool paused = false;
  uint64_t calls = 0;
  std::function<void(uint64_t)> hook;
  std::map<std::string, FileState> files;
  std::map<int, FdInfo> fds;
  std::vector<MapRegion> maps;
};
State *g = nullptr;

std::string DirOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadWhole(const std::string &path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[1 << 16];
  for (off_t off = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, off);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    off += n;
  }
  ::close(fd);
  return out;
}

void Apply(std::string *content, const CrashImage::Unit &u) {
  if (u.truncate) {
    content->resize(u.off);
    return;
  }
  if (content->size() < u.off + u.bytes.size()) content->resize(u.off + u.bytes.size());
  std::memcpy(content->data() + u.off, u.bytes.data(), u.bytes.size());
}

// A write that is durable at once (O_DSYNC, a flushed map range) goes
// straight into the durable contents. Earlier unflushed writes lose the
// part it covers: whatever became of them, those bytes are now its bytes.
void ApplySure(FileState *f, uint64_t off, std::string bytes) {
  const uint64_t end = off + bytes.size();
  std::vector<CrashImage::Unit> kept;
  for (auto &u : f->pending) {
    const uint64_t ue = u.off + u.bytes.size();
    if (u.truncate || ue <= off || u.off >= end) {
      kept.push_back(std::move(u));
      continue;
    }
    if (u.off < off) {
      CrashImage::Unit head;
      head.off = u.off;
      head.bytes = u.bytes.substr(0, off - u.off);
      kept.push_back(std::move(head));
    }
    if (ue > end) {
      CrashImage::Unit tail;
      tail.off = end;
      tail.bytes = u.bytes.substr(end - u.off);
      kept.push_back(std::move(tail));
    }
  }
  f->pending = std::move(kept);
  CrashImage::Unit u;
  u.off = off;
  u.bytes = std::move(bytes);
  Apply(&f->durable, u);
}

// Before every tracked call: count it and let the test look.
bool Enter() {
  if (g->paused) return false;
  ++g->calls;
  if (g->hook) g->hook(g->calls);
  return true;
}

FileState *FileOf(int fd, bool *dsync) {
  auto it = g->fds.find(fd);
  if (it == g->fds.end() || it->second.dir) return nullptr;
  if (dsync) *dsync = it->second.dsync;
  return &g->files[it->second.path];
}

void Record(int fd, uint64_t off, std::string bytes) {
  bool dsync = false;
  FileState *f = FileOf(fd, &dsync);
  if (!f) return;
  if (dsync) return ApplySure(f, off, std::move(bytes));
  CrashImage::Unit u;
  u.off = off;
  u.bytes = std::move(bytes);
  f->pending.push_back(std::move(u));
}

int Open(const char *path, int flags, mode_t mode) {
  const bool track = Enter();
  const bool existed = ::access(path, F_OK) == 0;
  int fd = ::open(path, flags & ~O_DSYNC, mode);
  if (fd < 0 || !track) return fd;
  FdInfo info;
  info.path = path;
  info.dir = (flags & O_DIRECTORY) != 0;
  info.dsync = (flags & O_DSYNC) != 0;
  if (!info.dir && !g->files.count(info.path)) {
    FileState f;
    // A file found on disk was there before the simulation began.
    f.entry_durable = existed;
    if (existed) f.durable = ReadWhole(info.path);
    g->files[info.path] = std::move(f);
  }
  g->fds[fd] = std::move(info);
  return fd;
}

int Close(int fd) {
  if (Enter()) g->fds.erase(fd);
  return ::close(fd);
}

ssize_t Pread(int fd, void *buf, size_t len, off_t off) {
  Enter();
  return ::pread(fd, buf, len, off);
}

ssize_t Pwrite(int fd, const void *buf, size_t len, off_t off) {
  const bool track = Enter();
  ssize_t n = ::pwrite(fd, buf, len, off);
  if (n > 0 && track)
    Record(fd, static_cast<uint64_t>(off),
           std::string(static_cast<const char *>(buf), static_cast<size_t>(n)));
  return n;
}

ssize_t Writev(int fd, const struct iovec *iov, int cnt) {
  const bool track = Enter();
  const off_t pos = ::lseek(fd, 0, SEEK_CUR);
  ssize_t n = ::writev(fd, iov, cnt);
  if (n > 0 && track) {
    std::string bytes;
    size_t left = static_cast<size_t>(n);
    for (int i = 0; i < cnt && left > 0; i++) {
      const size_t take = std::min(left, iov[i].iov_len);
      bytes.append(static_cast<const char *>(iov[i].iov_base), take);
      left -= take;
    }
    Record(fd, static_cast<uint64_t>(pos), std::move(bytes));
  }
  return n;
}

off_t Lseek(int fd, off_t off, int whence) {
  Enter();
  return ::lseek(fd, off, whence);
}

// A flush of a file makes everything written to it durable; a flush of a
// directory makes the entries of the files in it durable.
int Flush(int fd) {
  if (!Enter()) return 0;
  auto it = g->fds.find(fd);
  if (it == g->fds.end()) return 0;
  if (it->second.dir) {
    for (auto &[path, f] : g->files) {
      if (DirOf(path) == it->second.path) f.entry_durable = true;
    }
    return 0;
  }
  FileState &f = g->files[it->second.path];
  for (const auto &u : f.pending) Apply(&f.durable, u);
  f.pending.clear();
  return 0;
}

int Ftruncate(int fd, off_t len) {
  const bool track = Enter();
  int rc = ::ftruncate(fd, len);
  if (rc == 0 && track) {
    if (FileState *f = FileOf(fd, nullptr)) {
      CrashImage::Unit u;
      u.off = static_cast<uint64_t>(len);
      u.truncate = true;
      f->pending.push_back(std::move(u));
    }
  }
  return rc;
}

int Fstat(int fd, struct stat *st) {
  Enter();
  return ::fstat(fd, st);
}

void *Mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  const bool track = Enter();
  void *p = ::mmap(addr, len, prot, flags, fd, off);
  if (p != MAP_FAILED && track && (prot & PROT_WRITE) && (flags & MAP_SHARED)) {
    auto it = g->fds.find(fd);
    if (it != g->fds.end() && !it->second.dir)
      g->maps.push_back({static_cast<char *>(p), len, static_cast<uint64_t>(off), it->second.path});
  }
  return p;
}

int Munmap(void *addr, size_t len) {
  if (Enter()) {
    auto &m = g->maps;
    m.erase(
        std::remove_if(m.begin(), m.end(), [addr](const MapRegion &r) { return r.addr == addr; }),
        m.end());
  }
  return ::munmap(addr, len);
}

// MS_SYNC makes the range durable; MS_ASYNC only starts the write-back,
// which a power loss may cut short.
int Msync(void *addr, size_t len, int flags) {
  if (!Enter() || !(flags & MS_SYNC)) return 0;
  char *a = static_cast<char *>(addr);
  for (const MapRegion &r : g->maps) {
    if (a < r.addr || a >= r.addr + r.len) continue;
    FileState &f = g->files[r.path];
    const uint64_t off = r.off + static_cast<uint64_t>(a - r.addr);
    // Never past the end of the file: those bytes are not in it.
    struct stat st;
    uint64_t size = 0;
    int fd = ::open(r.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && ::fstat(fd, &st) == 0) size = static_cast<uint64_t>(st.st_size);
    if (fd >= 0) ::close(fd);
    const uint64_t end = std::min<uint64_t>({off + len, size, r.off + r.len});
    if (end <= off) return 0;
    const char *src = r.addr + (off - r.off);
    if (f.pending.empty()) {
      // The usual case, without a copy: nothing unflushed to trim.
      if (f.durable.size() < end) f.durable.resize(end);
      std::memcpy(f.durable.data() + off, src, end - off);
    } else {
      ApplySure(&f, off, std::string(src, end - off));
    }
    return 0;
  }
  return 0;
}

int Madvise(void *addr, size_t len, int advice) {
  Enter();
  return ::madvise(addr, len, advice);
}

int FcntlLock(int fd, int cmd, struct flock *lk) {
  Enter();
  return ::fcntl(fd, cmd, lk);
}

// Sequential writes, status flags and removals reach no simulated file:
// they are the system's own.
ssize_t Write(int fd, const void *buf, size_t len) {
  Enter();
  return ::write(fd, buf, len);
}

int FcntlFl(int fd, int cmd, int arg) {
  Enter();
  return cmd == F_GETFL ? ::fcntl(fd, F_GETFL) : ::fcntl(fd, cmd, arg);
}

int Unlink(const char *path) {
  Enter();
  return ::unlink(path);
}

constexpr ORV_sys kSim = {Open,  Close,   Pread,     Pwrite, Writev,  Lseek,
                          Flush, Flush,   Ftruncate, Fstat,  Mmap,    Munmap,
                          Msync, Madvise, FcntlLock, Write,  FcntlFl, Unlink};

}  // namespace

CrashSim::CrashSim() {
  g = new State;
  saved_ = orv_sys_install(kSim);
}

CrashSim::~CrashSim() {
  orv_sys_install(saved_);
  delete g;
  g = nullptr;
}

void CrashSim::SetHook(std::function<void(uint64_t)> hook) { g->hook = std::move(hook); }
void CrashSim::Pause(bool paused) { g->paused = paused; }
uint64_t CrashSim::calls() const { return g->calls; }

CrashImage CrashSim::Capture() const {
  CrashImage img;
  for (const auto &[path, f] : g->files) {
    CrashImage::File out;
    out.name = BaseOf(path);
    out.entry_durable = f.entry_durable;
    out.durable = f.durable;
    out.pending = f.pending;
    // Stores through a writable map reach the file at an unknown time:
    // every page that differs from what the tracked writes give may or may
    // not be on the disk.
    for (const MapRegion &r : g->maps) {
      if (r.path != path) continue;
      std::string expect = f.durable;
      for (const auto &u : f.pending) Apply(&expect, u);
      const std::string now = ReadWhole(path);
      for (size_t off = 0; off < now.size(); off += kMapPage) {
        const size_t n = std::min(kMapPage, now.size() - off);
        if (off + n <= expect.size() && std::memcmp(now.data() + off, expect.data() + off, n) == 0)
          continue;
        CrashImage::Unit u;
        u.off = off;
        u.bytes = now.substr(off, n);
        out.pending.push_back(std::move(u));
      }
      break;
    }
    img.files.push_back(std::move(out));
  }
  return img;
}

unsigned CrashImage::Write(std::mt19937_64 &rng, const std::string &dir) const {
  unsigned kept = 0;
  for (const File &f : files) {
    if (!f.entry_durable && rng() % 2) continue;  // the new entry was lost
    std::string content = f.durable;
    for (const Unit &u : f.pending) {
      const unsigned fate = static_cast<unsigned>(rng() % 3);
      if (fate == 0) continue;  // dropped
      kept++;
      if (fate == 1 || u.truncate) {
        Apply(&content, u);
        continue;
      }
      // Torn: the write stops or starts at a sector boundary inside it.
      const uint64_t first = (u.off / kSector + 1) * kSector;
      const uint64_t end = u.off + u.bytes.size();
      if (first >= end) {
        Apply(&content, u);
        continue;
      }
      const uint64_t cut = first + kSector * (rng() % ((end - first + kSector - 1) / kSector));
      Unit part;
      if (rng() % 2) {
        part.off = u.off;
        part.bytes = u.bytes.substr(0, cut - u.off);
      } else {
        part.off = cut;
        part.bytes = u.bytes.substr(cut - u.off);
      }
      Apply(&content, part);
    }
    const std::string path = dir + "/" + f.name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    // Sparse: a file extended for a map is mostly zeros.
    static const char zeros[kMapPage] = {};
    if (::ftruncate(fd, static_cast<off_t>(content.size())) == 0) {
      for (size_t off = 0; off < content.size(); off += kMapPage) {
        const size_t n = std::min(kMapPage, content.size() - off);
        if (std::memcmp(content.data() + off, zeros, n) == 0) continue;
        if (::pwrite(fd, content.data() + off, n, static_cast<off_t>(off)) !=
            static_cast<ssize_t>(n))
          break;
      }
    }
    ::close(fd);
  }
  return kept;
}

}  // namespace orv_test
