// The system calls of the library: every file, map, lock and sync call of
// lib/ goes through the table orv_sys, so that tests can make any of them
// fail, write only part of its bytes, or record what reached the file
// (crash simulation). The default entries are the system's own calls; the
// table costs one indirect call per system call and nothing elsewhere.
//
// Rules for call sites:
//   - call orv_sys.<name>(...) instead of the system's function;
//   - write file bytes only through orv_sys_write_all, which finishes short
//     writes and repeats interrupted ones;
//   - a file created by the library is made durable with orv_sys_sync_dir
//     on its directory.
#ifndef ORV_ENV_SYS_H
#define ORV_ENV_SYS_H

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

struct ORV_sys {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*pread)(int fd, void *buf, size_t len, off_t off);
  ssize_t (*pwrite)(int fd, const void *buf, size_t len, off_t off);
  ssize_t (*writev)(int fd, const struct iovec *iov, int iovcnt);
  off_t (*lseek)(int fd, off_t off, int whence);
  int (*fdatasync)(int fd);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t len);
  int (*fstat)(int fd, struct stat *st);
  void *(*mmap)(void *addr, size_t len, int prot, int flags, int fd, off_t off);
  int (*munmap)(void *addr, size_t len);
  int (*msync)(void *addr, size_t len, int flags);
  int (*madvise)(void *addr, size_t len, int advice);
  // Record locks only: cmd is F_SETLK, F_SETLKW or F_GETLK.
  int (*fcntl_lock)(int fd, int cmd, struct flock *lk);
  // Sequential write at the descriptor's own position (pipes included).
  ssize_t (*write)(int fd, const void *buf, size_t len);
  // Status flags only: cmd is F_GETFL (arg unused) or F_SETFL.
  int (*fcntl_fl)(int fd, int cmd, int arg);
  int (*unlink)(const char *path);
};

// The calls in force. Replaced only by tests, and only while no
// environment is in use by another thread.
extern ORV_sys orv_sys;

// The system's own calls.
const ORV_sys &orv_sys_default();

// Tests: puts table in force and returns the table it replaced.
ORV_sys orv_sys_install(const ORV_sys &table);

// Writes the iovcnt buffers of iov, in order, to file offset pos of fd: one
// pwrite for a single buffer, lseek + writev for several. With pos < 0 the
// buffers go out one after the other with write, from the descriptor's
// own position (a pipe, a file opened for appending). Partial writes are
// continued and EINTR repeats a call, so on success every byte is written.
// Returns 0, the system's error, or EIO when a write moves no byte.
[[nodiscard]] int orv_sys_write_all(int fd, const struct iovec *iov, int iovcnt, off_t pos);

// Flushes a file's contents and size to stable storage (fdatasync,
// repeated on EINTR). 0 or the system's error.
[[nodiscard]] int orv_sys_datasync(int fd);

// Makes the directory entry of the file at path durable by flushing the
// directory that holds it. 0 or the system's error.
[[nodiscard]] int orv_sys_sync_dir(const char *path);

// Opens path with flags (O_CREAT allowed; O_CREAT | O_EXCL fails with
// EEXIST on an existing file) and mode, repeating on EINTR.
// *created (if not null) tells whether this call created the file, so the
// caller knows that its directory entry still has to be made durable.
// 0 or the system's error; *fd is -1 on failure.
[[nodiscard]] int orv_sys_open(const char *path, int flags, mode_t mode, int *fd, bool *created);

#endif  // ORV_ENV_SYS_H
