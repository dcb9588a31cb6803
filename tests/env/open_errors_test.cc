// [open_errors]: open.cc, lockfile.cc, meta.cc - refused opens of an
// environment: whatever the reason, the directory is left exactly as it was
// (no file created, no byte changed), no descriptor is leaked, and the handle
// can be used again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <utility>

#include "env/env.h"
#include "orv.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Env;
using orv_test::in_child;

namespace fs = std::filesystem;

// Every entry below a directory with its kind, size and a digest of its
// contents (short enough to read in a failure message).
using Listing = std::map<std::string, std::string>;

Listing list_dir(const std::string &dir) {
  Listing out;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (e.is_directory()) {
      out[rel] = "<dir>";
    } else {
      std::ifstream in(e.path(), std::ios::binary);
      const std::string bytes(std::istreambuf_iterator<char>(in), {});
      out[rel] = std::to_string(bytes.size()) + " bytes, digest " +
                 std::to_string(std::hash<std::string>{}(bytes));
    }
  }
  return out;
}

int open_fds() {
  int n = 0;
  for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd")) n++;
  return n;
}

void write_file(const std::string &path, const std::string &bytes, mode_t mode = 0644) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

// A handle that failed to open can still create a store elsewhere, and
// that store works.
void expect_handle_reusable(ORV_env *env) {
  TempDir fresh;
  ASSERT_EQ(orv_env_open(env, fresh.c_str(), 0, 0644), 0);
  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  ORV_val k{1, const_cast<char *>("k")}, v{1, const_cast<char *>("v")};
  EXPECT_EQ(orv_put(txn, MAIN_DBI, &k, &v, 0), 0);
  EXPECT_EQ(orv_txn_commit(txn), 0);
}

struct OpenCase {
  const char *what;
  std::function<void(const TempDir &)> setup;
  std::string sub;  // path below the directory ("" = the directory itself)
  unsigned flags;
  int rc;
};

const std::string kForeign(8192, 'x');

const OpenCase kRefused[] = {
    {"foreign data file", [](const TempDir &d) { write_file(d.file("data.orv"), kForeign); }, "", 0,
     ORV_INVALID},
    {"foreign data file, read-only",
     [](const TempDir &d) { write_file(d.file("data.orv"), kForeign); }, "", ORV_RDONLY,
     ORV_INVALID},
    {"foreign single file", [](const TempDir &d) { write_file(d.file("store"), kForeign); },
     "store", ORV_NOSUBDIR, ORV_INVALID},
    {"data file is a directory", [](const TempDir &d) { mkdir(d.file("data.orv").c_str(), 0755); },
     "", 0, EISDIR},
    {"single file is a directory", [](const TempDir &d) { mkdir(d.file("sub").c_str(), 0755); },
     "sub", ORV_NOSUBDIR, EISDIR},
    {"lock file is a directory", [](const TempDir &d) { mkdir(d.file("lock.orv").c_str(), 0755); },
     "", 0, EISDIR},
    {"path is a plain file", [](const TempDir &d) { write_file(d.file("plain"), "abc"); }, "plain",
     0, ENOTDIR},
    {"read-only, nothing there", [](const TempDir &) {}, "", ORV_RDONLY, ENOENT},
    {"read-only single file missing", [](const TempDir &) {}, "none", ORV_RDONLY | ORV_NOSUBDIR,
     ENOENT},
};

// Runs one refused open; returns the directory listings before and after.
std::pair<Listing, Listing> refused_open(const OpenCase &c) {
  TempDir dir;
  c.setup(dir);
  const Listing before = list_dir(dir.path());
  const int fds = open_fds();
  Env env;
  const std::string path = c.sub.empty() ? dir.path() : dir.file(c.sub);
  EXPECT_EQ(orv_env_open(env, path.c_str(), c.flags, 0644), c.rc);
  EXPECT_EQ(env->me_flags, 0u);
  EXPECT_EQ(env->me_map, nullptr);
  EXPECT_EQ(open_fds(), fds);
  const Listing after = list_dir(dir.path());
  expect_handle_reusable(env);
  return {before, after};
}

// Every refusal of the table answers its code, leaks no descriptor, leaves
// whatever was there byte for byte, and the handle can be opened again.
TEST(OpenErrors, RefusedOpensKeepExistingFiles) {
  for (const OpenCase &c : kRefused) {
    SCOPED_TRACE(c.what);
    auto [before, after] = refused_open(c);
    for (const auto &[name, what] : before) EXPECT_EQ(after[name], what) << name;
  }
}

// A refused open should not leave a lock file behind either: the caller
// gets an error and a directory that holds only what it held before.
TEST(OpenErrors, RefusedOpensCreateNothing) {
  for (const OpenCase &c : kRefused) {
    SCOPED_TRACE(c.what);
    auto [before, after] = refused_open(c);
    EXPECT_EQ(after, before);
  }
}

// Permission checks do not apply to root: the open runs as an ordinary user
// in a child process.
TEST(OpenErrors, UnreadableDataFileIsRefusedUntouched) {
  TempDir dir;
  write_file(dir.file("data.orv"), std::string(8192, 'x'), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  const Listing before = list_dir(dir.path());
  for (unsigned flags : {0u, unsigned{ORV_RDONLY}}) {
    const int rc = in_child([&] {
      if (geteuid() == 0 && setuid(65534) != 0) return 90;
      ORV_env *env = nullptr;
      if (orv_env_create(&env) != 0) return 91;
      int r = orv_env_open(env, dir.c_str(), flags, 0644);
      orv_env_close(env);
      return r == EACCES ? 0 : 1;
    });
    EXPECT_EQ(rc, 0) << std::hex << flags;
    EXPECT_EQ(list_dir(dir.path()), before) << std::hex << flags;
  }
}

// A second open of one handle is refused whatever it names, and neither
// the open store nor the other path is touched.
TEST(OpenErrors, SecondOpenOfOneHandle) {
  TempDir a, b;
  for (unsigned flags : {0u, unsigned{ORV_INMEMORY}}) {
    SCOPED_TRACE(flags);
    Env env;
    ASSERT_EQ(orv_env_open(env, a.c_str(), flags, 0644), 0);
    const Listing la = list_dir(a.path());
    const unsigned kept = env->me_flags;
    for (unsigned again :
         {0u, unsigned{ORV_NOSUBDIR}, unsigned{ORV_RDONLY}, unsigned{ORV_INMEMORY}}) {
      EXPECT_EQ(orv_env_open(env, b.c_str(), again, 0644), EINVAL) << again;
      EXPECT_EQ(orv_env_open(env, a.c_str(), again, 0644), EINVAL) << again;
    }
    EXPECT_EQ(env->me_flags, kept);
    EXPECT_TRUE(list_dir(b.path()).empty());
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    ORV_val k{1, const_cast<char *>("k")}, v{1, const_cast<char *>("v")};
    EXPECT_EQ(orv_put(txn, MAIN_DBI, &k, &v, 0), 0);
    EXPECT_EQ(orv_txn_commit(txn), 0);
    if (flags == 0) {
      EXPECT_NE(list_dir(a.path()), la);  // the commit reached the file
    }
  }
}

// A lock file that another process holds but someone else wrote is refused
// by a shared opener: the lock file keeps its bytes and no data file appears.
TEST(OpenErrors, ForeignLockFileOfAHeldEnvironmentIsLeftAlone) {
  struct Case {
    const char *what;
    uint32_t magic, format;
    int rc;
  } cases[] = {
      {"bad magic", 0x0BADF00Du, ORV_LOCK_FORMAT, ORV_INVALID},
      {"bad format", ORV_MAGIC, ORV_LOCK_FORMAT ^ 1u, ORV_VERSION_MISMATCH},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string bytes(8192, '\0');
    std::memcpy(bytes.data(), &c.magic, 4);
    std::memcpy(bytes.data() + 4, &c.format, 4);
    write_file(dir.file("lock.orv"), bytes);
    const Listing before = list_dir(dir.path());
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    pid_t pid = fork();
    if (pid == 0) {  // holds byte 0 shared, as a live user does
      close(up[0]);
      close(down[1]);
      int fd = open(dir.file("lock.orv").c_str(), O_RDWR);
      struct flock lk {};
      lk.l_type = F_RDLCK;
      lk.l_whence = SEEK_SET;
      lk.l_len = 1;
      char ch = fd >= 0 && fcntl(fd, F_SETLK, &lk) == 0 ? 'y' : 'n';
      (void)!write(up[1], &ch, 1);
      (void)!read(down[0], &ch, 1);
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    char ch = 0;
    ASSERT_EQ(read(up[0], &ch, 1), 1);
    ASSERT_EQ(ch, 'y');
    const int fds = open_fds();
    {
      Env env;
      EXPECT_EQ(orv_env_open(env, dir.c_str(), 0, 0644), c.rc);
      EXPECT_EQ(env->me_txns, nullptr);
    }
    EXPECT_EQ(open_fds(), fds);
    EXPECT_EQ(list_dir(dir.path()), before);
    close(up[0]);
    close(down[1]);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace
