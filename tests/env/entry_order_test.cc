// [entry order]: env.cc, open.cc, progress.cc, info.cc, copy.cc, reader.cc,
// verify.cc - the argument and state checks of the environment's exported
// functions, in the order each makes them. Each row breaks one
// precondition, or two to pin which check answers first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "orv.h"
#include "util/case_table.h"
#include "util/fixtures.h"
#include "util/tempdir.h"

namespace {

using orv_test::Case;
using orv_test::Env;
using orv_test::run_cases;

int no_lines(const char *, void *) { return 0; }

// Configuration calls: a null handle is EINVAL everywhere; the limits that
// size the map's tables are refused once the environment is mapped, the
// changeable flags, the context, the callbacks and the map size are not.
TEST(EnvEntryOrder, ConfigurationBeforeAndAfterOpen) {
  TempDir dir;
  Env fresh, open;
  ASSERT_EQ(orv_env_open(open, dir.c_str(), ORV_NOTLS, 0644), 0);
  unsigned u = 0;
  int fd = 0;
  const char *path = nullptr;
  const Case cases[] = {
      {"create, null out", [] { return orv_env_create(nullptr); }, EINVAL},
      {"set_mapsize, null env", [] { return orv_env_set_mapsize(nullptr, 1 << 20); }, EINVAL},
      {"set_maxdbs, null env", [] { return orv_env_set_maxdbs(nullptr, 4); }, EINVAL},
      {"set_maxdbs, open", [&] { return orv_env_set_maxdbs(open, 4); }, EINVAL},
      {"set_maxdbs, before open", [&] { return orv_env_set_maxdbs(fresh, 4); }, 0},
      {"set_maxreaders, null env", [] { return orv_env_set_maxreaders(nullptr, 4); }, EINVAL},
      {"set_maxreaders, 0", [&] { return orv_env_set_maxreaders(fresh, 0); }, EINVAL},
      {"set_maxreaders, open", [&] { return orv_env_set_maxreaders(open, 4); }, EINVAL},
      {"set_maxreaders, before open", [&] { return orv_env_set_maxreaders(fresh, 4); }, 0},
      {"get_maxreaders, null env", [&] { return orv_env_get_maxreaders(nullptr, &u); }, EINVAL},
      {"get_maxreaders, null out", [&] { return orv_env_get_maxreaders(open, nullptr); }, EINVAL},
      {"set_flags, null env", [] { return orv_env_set_flags(nullptr, ORV_NOSYNC, 1); }, EINVAL},
      {"set_flags, open-only flag", [&] { return orv_env_set_flags(fresh, ORV_RDONLY, 1); },
       EINVAL},
      {"set_flags, changeable and open-only",
       [&] { return orv_env_set_flags(open, ORV_NOSYNC | ORV_WRITEMAP, 1); }, EINVAL},
      {"set_flags, open", [&] { return orv_env_set_flags(open, ORV_NOMETASYNC, 1); }, 0},
      {"get_flags, null env", [&] { return orv_env_get_flags(nullptr, &u); }, EINVAL},
      {"get_flags, null out", [&] { return orv_env_get_flags(open, nullptr); }, EINVAL},
      {"get_path, null env", [&] { return orv_env_get_path(nullptr, &path); }, EINVAL},
      {"get_path, null out", [&] { return orv_env_get_path(open, nullptr); }, EINVAL},
      {"get_fd, null env", [&] { return orv_env_get_fd(nullptr, &fd); }, EINVAL},
      {"get_fd, null out", [&] { return orv_env_get_fd(open, nullptr); }, EINVAL},
      {"set_userctx, null env", [] { return orv_env_set_userctx(nullptr, nullptr); }, EINVAL},
      {"set_assert, null env", [] { return orv_env_set_assert(nullptr, nullptr); }, EINVAL},
      {"set_interrupt, null env", [] { return orv_env_set_interrupt(nullptr, 1); }, EINVAL},
      {"set_progress, null env", [] { return orv_env_set_progress(nullptr, nullptr, nullptr); },
       EINVAL},
      {"maxkeysize, null env", [] { return orv_env_get_maxkeysize(nullptr); }, ORV_MAXKEYSIZE},
  };
  run_cases(cases);
  EXPECT_EQ(orv_env_get_flags(open, &u), 0);
  EXPECT_EQ(u & (ORV_NOSYNC | ORV_WRITEMAP | ORV_NOMETASYNC), ORV_NOMETASYNC);
  EXPECT_EQ(orv_env_get_userctx(nullptr), nullptr);

  // A map size cannot change under this process's own writer.
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(open, nullptr, 0, &w), 0);
  EXPECT_EQ(orv_env_set_mapsize(open, size_t{4} << 20), EINVAL);
  orv_txn_abort(w);
  EXPECT_EQ(orv_env_set_mapsize(open, size_t{4} << 20), 0);
}

// Open refuses bad arguments before it touches a file: a refused open
// leaves the handle as it was, and the same handle opens afterwards.
TEST(EnvEntryOrder, OpenChecksArgumentsBeforeFiles) {
  TempDir dir;
  const std::string missing = dir.file("missing");
  Env env;
  Env other;
  ASSERT_EQ(orv_env_open(other, dir.c_str(), 0, 0644), 0);
  const Case cases[] = {
      {"null env", [&] { return orv_env_open(nullptr, dir.c_str(), 0, 0644); }, EINVAL},
      {"unknown flag, missing path", [&] { return orv_env_open(env, missing.c_str(), 0x2, 0644); },
       EINVAL},
      {"internal flag", [&] { return orv_env_open(env, dir.c_str(), 0x20000000u, 0644); }, EINVAL},
      {"null path", [&] { return orv_env_open(env, nullptr, 0, 0644); }, EINVAL},
      {"empty path", [&] { return orv_env_open(env, "", 0, 0644); }, EINVAL},
      {"in-memory and read-only",
       [&] { return orv_env_open(env, nullptr, ORV_INMEMORY | ORV_RDONLY, 0644); }, EINVAL},
      {"in-memory and fixed map",
       [&] { return orv_env_open(env, nullptr, ORV_INMEMORY | ORV_FIXEDMAP, 0644); }, EINVAL},
      {"in-memory and previous snapshot",
       [&] { return orv_env_open(env, nullptr, ORV_INMEMORY | ORV_PREVSNAPSHOT, 0644); }, EINVAL},
      {"in-memory, unknown flag", [&] { return orv_env_open(env, nullptr, ORV_INMEMORY | 0x2, 0); },
       EINVAL},
      // Only now is the file system asked.
      {"read-only, missing directory",
       [&] { return orv_env_open(env, missing.c_str(), ORV_RDONLY, 0644); }, ENOENT},
      // The data file is open in this process through another handle.
      {"second handle", [&] { return orv_env_open(env, dir.c_str(), 0, 0644); }, EBUSY},
      {"second handle, unknown flag", [&] { return orv_env_open(env, dir.c_str(), 0x2, 0644); },
       EINVAL},
      {"already open", [&] { return orv_env_open(other, dir.c_str(), 0, 0644); }, EINVAL},
      {"already open, in-memory", [&] { return orv_env_open(other, nullptr, ORV_INMEMORY, 0); },
       EINVAL},
  };
  run_cases(cases);
  EXPECT_EQ(orv_env_open(env, nullptr, ORV_INMEMORY, 0644), 0);
  EXPECT_EQ(orv_env_open(env, nullptr, ORV_INMEMORY, 0644), EINVAL);
}

// Statistics, information, sync, copies, reader diagnostics and the
// verifier: handle and arguments first, then the environment's state, then
// whatever the operation meets (a full reader table, an existing file).
TEST(EnvEntryOrder, InfoSyncCopyReadersVerify) {
  TempDir dir, rodir, target;
  Env unopened, env, ro, mem;
  ASSERT_EQ(orv_env_set_maxreaders(env, 1), 0);
  ASSERT_EQ(orv_env_open(env, dir.c_str(), ORV_NOTLS, 0644), 0);
  {
    Env init;
    ASSERT_EQ(orv_env_open(init, rodir.c_str(), 0, 0644), 0);
  }
  ASSERT_EQ(orv_env_open(ro, rodir.c_str(), ORV_RDONLY | ORV_NOSYNC, 0644), 0);
  ASSERT_EQ(orv_env_open(mem, nullptr, ORV_INMEMORY, 0644), 0);
  ASSERT_EQ(orv_env_copy(env, target.c_str()), 0);  // target now holds data.orv

  const std::string sink_path = dir.file("sink");
  const int sink = ::open(sink_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(sink, 0);
  int closed = ::open(sink_path.c_str(), O_WRONLY);
  ASSERT_GE(closed, 0);
  ::close(closed);

  ORV_stat st;
  ORV_envinfo info;
  int dead = -1;
  const Case idle[] = {
      {"stat, null env", [&] { return orv_env_stat(nullptr, &st); }, EINVAL},
      {"stat, not open", [&] { return orv_env_stat(unopened, &st); }, EINVAL},
      {"stat, null out", [&] { return orv_env_stat(env, nullptr); }, EINVAL},
      {"info, null env", [&] { return orv_env_info(nullptr, &info); }, EINVAL},
      {"info, not open", [&] { return orv_env_info(unopened, &info); }, EINVAL},
      {"info, null out", [&] { return orv_env_info(env, nullptr); }, EINVAL},
      {"sync, null env", [] { return orv_env_sync(nullptr, 1); }, EINVAL},
      {"sync, not open", [&] { return orv_env_sync(unopened, 1); }, EINVAL},
      {"sync0, not open", [&] { return orv_env_sync0(unopened, 1, 2); }, EINVAL},
      {"sync, read-only", [&] { return orv_env_sync(ro, 1); }, EACCES},
      // Read-only is refused before "no sync asked" is honoured.
      {"sync, read-only without force under NOSYNC", [&] { return orv_env_sync(ro, 0); }, EACCES},
      {"sync0, read-only", [&] { return orv_env_sync0(ro, 0, 2); }, EACCES},
      {"sync, in-memory", [&] { return orv_env_sync(mem, 1); }, 0},
      {"copy, null env", [&] { return orv_env_copy(nullptr, target.c_str()); }, EINVAL},
      {"copy, not open", [&] { return orv_env_copy(unopened, target.c_str()); }, EINVAL},
      {"copy, null path", [&] { return orv_env_copy2(env, nullptr, ORV_CP_COMPACT); }, EINVAL},
      {"copy, target exists", [&] { return orv_env_copy(env, target.c_str()); }, EEXIST},
      {"copy2, not open, target exists", [&] { return orv_env_copy2(unopened, target.c_str(), 0); },
       EINVAL},
      {"copyfd, null env", [&] { return orv_env_copyfd(nullptr, sink); }, EINVAL},
      {"copyfd, not open", [&] { return orv_env_copyfd(unopened, sink); }, EINVAL},
      {"copyfd, negative fd", [&] { return orv_env_copyfd(env, -1); }, EINVAL},
      {"copyfd2, not open, negative fd", [&] { return orv_env_copyfd2(unopened, -1, 0); }, EINVAL},
      {"copyfd, closed fd", [&] { return orv_env_copyfd(env, closed); }, EBADF},
      {"reader_check, null env", [&] { return orv_reader_check(nullptr, &dead); }, EINVAL},
      {"reader_check, null out", [&] { return orv_reader_check(env, nullptr); }, 0},
      {"reader_list, null env", [] { return orv_reader_list(nullptr, no_lines, nullptr); }, -1},
      {"reader_list, null func", [&] { return orv_reader_list(env, nullptr, nullptr); }, -1},
      {"verify, null env", [] { return orv_env_verify(nullptr, 0, no_lines, nullptr); }, EINVAL},
      {"verify, null func", [&] { return orv_env_verify(env, 0, nullptr, nullptr); }, EINVAL},
      {"verify, unknown flag", [&] { return orv_env_verify(env, 0x2, no_lines, nullptr); }, EINVAL},
      {"verify, not open", [&] { return orv_env_verify(unopened, 0, no_lines, nullptr); }, EINVAL},
      {"verify", [&] { return orv_env_verify(env, 0, no_lines, nullptr); }, 0},
  };
  run_cases(idle);

  // The only reader slot is taken: whatever needs a snapshot of its own is
  // refused by the reader table, after its arguments passed.
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  const Case full[] = {
      {"copyfd", [&] { return orv_env_copyfd(env, sink); }, ORV_READERS_FULL},
      {"copyfd2, compact", [&] { return orv_env_copyfd2(env, sink, ORV_CP_COMPACT); },
       ORV_READERS_FULL},
      {"copyfd, negative fd", [&] { return orv_env_copyfd(env, -1); }, EINVAL},
      {"copy, target exists", [&] { return orv_env_copy(env, target.c_str()); }, EEXIST},
      {"verify", [&] { return orv_env_verify(env, 0, no_lines, nullptr); }, ORV_READERS_FULL},
      {"verify, unknown flag", [&] { return orv_env_verify(env, 0x2, no_lines, nullptr); }, EINVAL},
      // Neither needs a snapshot.
      {"stat", [&] { return orv_env_stat(env, &st); }, 0},
      {"info", [&] { return orv_env_info(env, &info); }, 0},
  };
  run_cases(full);
  EXPECT_EQ(info.mi_numreaders, 1u);
  orv_txn_abort(r);
  ::close(sink);
}

}  // namespace
