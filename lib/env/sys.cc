// The library's system-call table and the few helpers built on it: the
// write-all loop every file write uses, data and directory flushes, and an
// open that tells whether it created the file.
#include "env/sys.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_fcntl_lock(int fd, int cmd, struct flock *lk) { return ::fcntl(fd, cmd, lk); }
int sys_fcntl_fl(int fd, int cmd, int arg) {
  return cmd == F_GETFL ? ::fcntl(fd, F_GETFL) : ::fcntl(fd, cmd, arg);
}

constexpr ORV_sys kDefault = {
    sys_open,    ::close,   ::pread,        ::pwrite, ::writev,     ::lseek,
    ::fdatasync, ::fsync,   ::ftruncate,    ::fstat,  ::mmap,       ::munmap,
    ::msync,     ::madvise, sys_fcntl_lock, ::write,  sys_fcntl_fl, ::unlink,
};

// One pwrite of len bytes at pos, continued until all are written.
int pwrite_all(int fd, const char *buf, size_t len, off_t pos) {
  while (len > 0) {
    const ssize_t w = orv_sys.pwrite(fd, buf, len, pos);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    buf += w;
    len -= static_cast<size_t>(w);
    pos += w;
  }
  return 0;
}

// Sequential writes of len bytes from the descriptor's position.
int write_seq(int fd, const char *buf, size_t len) {
  while (len > 0) {
    const ssize_t w = orv_sys.write(fd, buf, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    buf += w;
    len -= static_cast<size_t>(w);
  }
  return 0;
}

}  // namespace

ORV_sys orv_sys = kDefault;

const ORV_sys &orv_sys_default() { return kDefault; }

ORV_sys orv_sys_install(const ORV_sys &table) {
  const ORV_sys old = orv_sys;
  orv_sys = table;
  return old;
}

int orv_sys_write_all(int fd, const struct iovec *iov, int iovcnt, off_t pos) {
  if (pos < 0) {
    for (int i = 0; i < iovcnt; i++) {
      if (int rc = write_seq(fd, static_cast<const char *>(iov[i].iov_base), iov[i].iov_len);
          rc != 0)
        return rc;
    }
    return 0;
  }
  if (iovcnt == 1)
    return pwrite_all(fd, static_cast<const char *>(iov[0].iov_base), iov[0].iov_len, pos);
  size_t size = 0;
  for (int i = 0; i < iovcnt; i++) size += iov[i].iov_len;
  ssize_t w;
  for (;;) {
    // The seek is repeated with the write: an interrupted writev may have
    // moved the file offset.
    off_t off;
    while ((off = orv_sys.lseek(fd, pos, SEEK_SET)) == -1 && errno == EINTR) {
    }
    if (off == -1) return errno;
    w = orv_sys.writev(fd, iov, iovcnt);
    if (w >= 0) break;
    if (errno != EINTR) return errno;
  }
  if (static_cast<size_t>(w) == size) return 0;
  if (w == 0) return EIO;
  // A partial writev is finished buffer by buffer.
  size_t done = static_cast<size_t>(w);
  for (int i = 0; i < iovcnt; i++) {
    const size_t len = iov[i].iov_len;
    if (done >= len) {
      done -= len;
    } else {
      const char *base = static_cast<const char *>(iov[i].iov_base);
      if (int rc = pwrite_all(fd, base + done, len - done, pos + static_cast<off_t>(done)); rc != 0)
        return rc;
      done = 0;
    }
    pos += static_cast<off_t>(len);
  }
  return 0;
}

int orv_sys_datasync(int fd) {
  int rc;
  do rc = orv_sys.fdatasync(fd);
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

int orv_sys_sync_dir(const char *path) {
  const char *slash = std::strrchr(path, '/');
  std::string dir = slash == nullptr ? std::string(".")
                    : slash == path  ? std::string("/")
                                     : std::string(path, static_cast<size_t>(slash - path));
  int fd;
  do fd = orv_sys.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int rc;
  do rc = orv_sys.fsync(fd);
  while (rc != 0 && errno == EINTR);
  // A file system that cannot flush directories (EINVAL) keeps its entries
  // by other means; nothing more can be done for them.
  rc = (rc == 0 || errno == EINVAL) ? 0 : errno;
  orv_sys.close(fd);
  return rc;
}

int orv_sys_open(const char *path, int flags, mode_t mode, int *fd, bool *created) {
  if (created) *created = false;
  for (;;) {
    // Without O_CREAT first: only an open that makes the file itself knows
    // that its directory entry is new.
    // An exclusive create has only the one way to succeed.
    const bool create = (flags & O_CREAT) != 0;
    const bool excl = create && (flags & O_EXCL) != 0;
    int f = excl ? -1 : orv_sys.open(path, create ? flags & ~O_CREAT : flags, mode);
    if (excl || (f < 0 && errno == ENOENT && create)) {
      f = orv_sys.open(path, flags | O_EXCL, mode);
      if (f >= 0) {
        if (created) *created = true;
      } else if (errno == EEXIST && !(flags & O_EXCL)) {
        continue;  // made by someone else meanwhile: open it as it is
      }
    }
    if (f < 0 && errno == EINTR) continue;
    *fd = f;
    return f < 0 ? errno : 0;
  }
}
