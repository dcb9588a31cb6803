// [reader]: reader.cc - reader slots across threads and processes, the
// liveness locks, recovery after a mutex owner died, the stale sweep
// (orv_reader_check), orv_reader_list, and read-only previous-snapshot
// processes next to a live writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "env/env.h"
#include "orv.h"
#include "txn/txn.h"
#include "util/tempdir.h"

namespace {

// Opens an environment in dir; null on failure (the code goes to *rc).
ORV_env *open_env(const std::string &dir, unsigned flags, unsigned maxreaders = 0,
                  int *rc_out = nullptr) {
  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc == 0 && maxreaders != 0) rc = orv_env_set_maxreaders(env, maxreaders);
  if (rc == 0) rc = orv_env_open(env, dir.c_str(), flags, 0644);
  if (rc_out != nullptr) *rc_out = rc;
  if (rc != 0) {
    orv_env_close(env);
    return nullptr;
  }
  return env;
}

struct EnvCloser {
  ORV_env *env;
  ~EnvCloser() { orv_env_close(env); }
};

// A commit that writes nothing but a new meta page with the next id: enough
// to move snapshots forward without touching any tree.
int commit_meta_only(ORV_env *env) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, 0, &txn); rc != 0) return rc;
  int rc = orv_env_write_meta(txn);
  orv_txn_end(txn, rc == 0 ? ORV_END_COMMITTED | ORV_END_UPDATE : ORV_END_ABORT);
  return rc;
}

// Both ends of the pipes between a test and one child process.
struct Chan {
  int in = -1, out = -1;
  void send(char c) const { ASSERT_EQ(write(out, &c, 1), 1); }
  // 0 when the other side is gone.
  char recv() const {
    char c = 0;
    return read(in, &c, 1) == 1 ? c : 0;
  }
};

// A child process running fn(chan); its result is the exit status.
class Child {
 public:
  template <class Fn>
  explicit Child(Fn fn) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      _exit(fn(Chan{down[0], up[1]}));
    }
    close(down[0]);
    close(up[1]);
    chan_ = Chan{up[0], down[1]};
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait();
    }
    close(chan_.in);
    close(chan_.out);
  }
  const Chan &chan() const { return chan_; }
  pid_t pid() const { return pid_; }
  // Exit status, or 128 + signal.
  int wait() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int kill_and_wait() {
    kill(pid_, SIGKILL);
    return wait();
  }

 private:
  pid_t pid_ = -1;
  Chan chan_;
};

std::vector<std::string> list_readers(ORV_env *env) {
  std::vector<std::string> lines;
  int rc = orv_reader_list(
      env,
      [](const char *msg, void *ctx) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(msg);
        return 0;
      },
      &lines);
  EXPECT_GE(rc, 0);
  return lines;
}

std::string reader_line(pid_t pid, pthread_t tid, txnid_t txnid) {
  char buf[64];
  if (txnid == ORV_NO_SNAPSHOT)
    std::snprintf(buf, sizeof buf, "%10d %zx -\n", static_cast<int>(pid), static_cast<size_t>(tid));
  else
    std::snprintf(buf, sizeof buf, "%10d %zx %zu\n", static_cast<int>(pid),
                  static_cast<size_t>(tid), static_cast<size_t>(txnid));
  return buf;
}

const char kHeader[] = "    pid     thread     txnid\n";

// Slots of the table held by pid.
int slots_of(ORV_env *env, pid_t pid) {
  int n = 0;
  ORV_txninfo *ti = env->me_txns;
  for (unsigned i = 0; i < ti->mti_numreaders.load(); i++)
    if (ti->mti_readers[i].mr_pid.load() == static_cast<uint32_t>(pid)) n++;
  return n;
}

// The snapshot id pid publishes in its (single) slot.
txnid_t snapshot_of(ORV_env *env, pid_t pid) {
  ORV_txninfo *ti = env->me_txns;
  for (unsigned i = 0; i < ti->mti_numreaders.load(); i++)
    if (ti->mti_readers[i].mr_pid.load() == static_cast<uint32_t>(pid))
      return ti->mti_readers[i].mr_txnid.load();
  return 0;
}

class ReaderTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(ReaderTest, SecondProcessTakesTableSizeFromFile) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  struct stat st;
  ASSERT_EQ(stat(dir.file("lock.orv").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8192);

  // A second process that asked for 10 readers uses all 126 slots.
  Child child([&](Chan) {
    ORV_env *e = open_env(dir.path(), ORV_NOTLS, 10);
    if (e == nullptr) return 1;
    unsigned readers = 0;
    if (orv_env_get_maxreaders(e, &readers) != 0 || readers != 126) return 2;
    std::vector<ORV_txn *> txns(126);
    for (ORV_txn *&t : txns)
      if (orv_txn_begin(e, nullptr, ORV_RDONLY, &t) != 0) return 3;
    ORV_txn *extra = nullptr;
    if (orv_txn_begin(e, nullptr, ORV_RDONLY, &extra) != ORV_READERS_FULL) return 4;
    for (ORV_txn *t : txns) orv_txn_abort(t);
    orv_env_close(e);
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(ReaderTest, CheckFreesSlotsOfKilledProcessOnly) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  ASSERT_EQ(commit_meta_only(env), 0);
  ORV_txn *mine = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &mine), 0);

  // Two readers of one killed process (two slots under ORV_NOTLS), and one
  // live process whose reader must survive the sweep.
  Child doomed([&](Chan ch) {
    ORV_env *e = open_env(dir.path(), ORV_NOTLS);
    ORV_txn *a = nullptr, *b = nullptr;
    if (e == nullptr || orv_txn_begin(e, nullptr, ORV_RDONLY, &a) != 0 ||
        orv_txn_begin(e, nullptr, ORV_RDONLY, &b) != 0)
      return 1;
    ch.send('r');
    pause();
    return 0;
  });
  Child alive([&](Chan ch) {
    ORV_env *e = open_env(dir.path(), 0);
    ORV_txn *t = nullptr;
    if (e == nullptr || orv_txn_begin(e, nullptr, ORV_RDONLY, &t) != 0) return 1;
    ch.send('r');
    ch.recv();
    return 0;
  });
  ASSERT_EQ(doomed.chan().recv(), 'r');
  ASSERT_EQ(alive.chan().recv(), 'r');
  EXPECT_EQ(slots_of(env, doomed.pid()), 2);
  EXPECT_EQ(snapshot_of(env, doomed.pid()), 1u);

  int dead = -1;
  EXPECT_EQ(orv_reader_check(env, &dead), 0);
  EXPECT_EQ(dead, 0);  // everyone is alive

  const pid_t doomed_pid = doomed.pid();
  EXPECT_EQ(doomed.kill_and_wait(), 128 + SIGKILL);
  EXPECT_EQ(orv_reader_check(env, &dead), 0);
  EXPECT_EQ(dead, 2);
  EXPECT_EQ(slots_of(env, doomed_pid), 0);
  EXPECT_EQ(slots_of(env, alive.pid()), 1);
  EXPECT_EQ(slots_of(env, getpid()), 1);
  EXPECT_EQ(mine->mt_reader->mr_txnid.load(), 1u);
  EXPECT_EQ(orv_reader_check(env, &dead), 0);
  EXPECT_EQ(dead, 0);
  EXPECT_EQ(orv_reader_check(env, nullptr), 0);
  EXPECT_EQ(orv_reader_check(nullptr, &dead), EINVAL);

  alive.chan().send('q');
  EXPECT_EQ(alive.wait(), 0);
  orv_txn_abort(mine);
}

TEST_F(ReaderTest, WriterKilledHoldingMutexIsRecovered) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  ASSERT_EQ(commit_meta_only(env), 0);  // id 1

  // The writer dies after its meta page reached the file but before the
  // lock table announced it: recovery must start the next writer after it.
  Child writer([&](Chan ch) {
    ORV_env *e = open_env(dir.path(), 0);
    ORV_txn *t = nullptr;
    if (e == nullptr || orv_txn_begin(e, nullptr, 0, &t) != 0) return 1;
    if (orv_env_write_meta(t) != 0) return 2;  // id 2
    e->me_txns->mti_txnid.store(1);
    ch.send('w');
    pause();
    return 0;
  });
  ASSERT_EQ(writer.chan().recv(), 'w');
  EXPECT_EQ(writer.kill_and_wait(), 128 + SIGKILL);

  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
  EXPECT_EQ(orv_txn_id(txn), 3u);
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 2u);
  orv_txn_abort(txn);

  // The mutex is consistent again: other processes lock it normally.
  Child next([&](Chan) {
    ORV_env *e = open_env(dir.path(), 0);
    ORV_txn *t = nullptr;
    if (e == nullptr || orv_txn_begin(e, nullptr, 0, &t) != 0) return 1;
    int rc = orv_txn_id(t) == 3 ? 0 : 2;
    orv_txn_abort(t);
    orv_env_close(e);
    return rc;
  });
  EXPECT_EQ(next.wait(), 0);
  EXPECT_EQ(env->me_flags & ORV_FATAL_ERROR, 0u);
}

TEST_F(ReaderTest, OwnWriterThreadDiedPanics) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  // A thread of this process leaves its write transaction (and the mutex)
  // behind when it exits.
  std::thread([env] {
    ORV_txn *t = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &t), 0);
  }).join();
  ORV_txn *txn = nullptr;
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &txn), ORV_PANIC);
  EXPECT_NE(env->me_flags & ORV_FATAL_ERROR, 0u);
  EXPECT_EQ(env->me_txn, nullptr);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), ORV_PANIC);
  EXPECT_EQ(orv_txn_begin(env, nullptr, 0, &txn), ORV_PANIC);
  // The repaired mutex was released.
  ASSERT_EQ(pthread_mutex_trylock(&env->me_txns->mti_wmutex), 0);
  pthread_mutex_unlock(&env->me_txns->mti_wmutex);
}

TEST_F(ReaderTest, SecondReadTxnInOneThreadIsBadRslot) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  ORV_txn *a = nullptr, *b = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &a), 0);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &b), ORV_BAD_RSLOT);
  // Another thread has a slot of its own.
  std::thread([env] {
    ORV_txn *t = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
    orv_txn_abort(t);
  }).join();
  orv_txn_reset(a);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &b), 0);  // same slot
  EXPECT_EQ(b->mt_reader, static_cast<ORV_reader *>(pthread_getspecific(env->me_txkey)));
  EXPECT_EQ(orv_txn_renew(a), ORV_BAD_RSLOT);
  orv_txn_abort(b);
  EXPECT_EQ(orv_txn_renew(a), 0);
  orv_txn_abort(a);
  // The exited thread gave its slot back; ours stays with this thread.
  EXPECT_EQ(slots_of(env, getpid()), 1);
}

TEST_F(ReaderTest, ReadersFull) {
  ORV_env *env = open_env(dir.path(), ORV_NOTLS, 3);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  ORV_txn *t[3] = {}, *extra = nullptr;
  for (ORV_txn *&x : t) ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &x), 0);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &extra), ORV_READERS_FULL);
  EXPECT_EQ(env->me_txns->mti_numreaders.load(), 3u);
  // A reset transaction keeps its slot; an aborted one frees it.
  orv_txn_reset(t[1]);
  EXPECT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &extra), ORV_READERS_FULL);
  orv_txn_abort(t[1]);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &extra), 0);
  EXPECT_EQ(env->me_txns->mti_numreaders.load(), 3u);
  orv_txn_abort(extra);
  orv_txn_abort(t[0]);
  orv_txn_abort(t[2]);
  EXPECT_EQ(slots_of(env, getpid()), 0);
}

TEST_F(ReaderTest, NotlsSlotsFollowTransactionsAcrossThreads) {
  ORV_env *env = open_env(dir.path(), ORV_NOTLS);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  ORV_txn *a = nullptr, *b = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &a), 0);
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &b), 0);  // same thread, own slot
  ORV_reader *slot = a->mt_reader;
  EXPECT_NE(slot, b->mt_reader);
  orv_txn_reset(a);
  EXPECT_EQ(a->mt_reader, slot);
  EXPECT_EQ(slot->mr_txnid.load(), ORV_NO_SNAPSHOT);
  ASSERT_EQ(commit_meta_only(env), 0);
  std::thread([a, slot] {
    ASSERT_EQ(orv_txn_renew(a), 0);
    EXPECT_EQ(a->mt_reader, slot);
    EXPECT_EQ(orv_txn_id(a), 1u);
    EXPECT_EQ(slot->mr_txnid.load(), 1u);
  }).join();
  // Thread exit did not take the slot away from the transaction.
  EXPECT_EQ(slot->mr_pid.load(), static_cast<uint32_t>(getpid()));
  orv_txn_abort(a);
  EXPECT_EQ(slot->mr_pid.load(), 0u);
  orv_txn_abort(b);
  EXPECT_EQ(list_readers(env), std::vector<std::string>{"(no active readers)\n"});
}

TEST_F(ReaderTest, ListTexts) {
  {
    ORV_env *env = open_env(dir.path(), ORV_NOLOCK);
    ASSERT_NE(env, nullptr);
    EnvCloser closer{env};
    EXPECT_EQ(list_readers(env), std::vector<std::string>{"(no reader locks)\n"});
  }
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  EXPECT_EQ(list_readers(env), std::vector<std::string>{"(no active readers)\n"});
  ASSERT_EQ(commit_meta_only(env), 0);
  ASSERT_EQ(commit_meta_only(env), 0);

  ORV_txn *txn = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn), 0);
  EXPECT_EQ(list_readers(env),
            (std::vector<std::string>{kHeader, reader_line(getpid(), pthread_self(), 2)}));
  orv_txn_abort(txn);
  // Between transactions the thread keeps its slot, without a snapshot.
  EXPECT_EQ(
      list_readers(env),
      (std::vector<std::string>{kHeader, reader_line(getpid(), pthread_self(), ORV_NO_SNAPSHOT)}));
  // A thread that exited left nothing behind.
  std::thread([env] {
    ORV_txn *t = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &t), 0);
    orv_txn_abort(t);
  }).join();
  EXPECT_EQ(list_readers(env).size(), 2u);

  // The callback stops the listing with a negative result.
  int calls = 0;
  EXPECT_EQ(
      orv_reader_list(
          env, [](const char *, void *ctx) { return ++*static_cast<int *>(ctx), -7; }, &calls),
      -7);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(orv_reader_list(
                nullptr, [](const char *, void *) { return 0; }, nullptr),
            -1);
  EXPECT_EQ(orv_reader_list(env, nullptr, nullptr), -1);
}

// An environment copy renews its read transaction while its thread holds the
// writer mutex; the previous-snapshot start must not wait for it then.
TEST_F(ReaderTest, ReadOnlyPrevSnapshotRenewUnderOwnWriterMutex) {
  {
    ORV_env *env = open_env(dir.path(), 0);
    ASSERT_NE(env, nullptr);
    for (int i = 0; i < 3; i++) ASSERT_EQ(commit_meta_only(env), 0);
    orv_env_close(env);
  }
  Child child([&](Chan) {
    alarm(10);
    ORV_env *e = open_env(dir.path(), ORV_RDONLY | ORV_PREVSNAPSHOT);
    ORV_txn *t = nullptr;
    if (e == nullptr || orv_txn_begin(e, nullptr, ORV_RDONLY, &t) != 0) return 1;
    if (orv_txn_id(t) != 2) return 2;
    orv_txn_end(t, ORV_END_RESET_TMP);
    if (orv_wmutex_lock(e) != 0) return 3;
    int rc = orv_txn_renew(t);
    orv_wmutex_unlock(e);
    if (rc != 0 || orv_txn_id(t) != 2) return 4;
    orv_txn_abort(t);
    orv_env_close(e);
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(ReaderTest, PrevSnapshotRefusedWhileOthersHoldEnv) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  Child child([&](Chan) {
    int rc = 0;
    ORV_env *e = open_env(dir.path(), ORV_PREVSNAPSHOT, 0, &rc);
    return e == nullptr && rc == EAGAIN ? 0 : 1;
  });
  EXPECT_EQ(child.wait(), 0);
}

// A read-only process on the previous snapshot next to a live writer: it
// reads the older meta, publishes that id in its own slot only, never
// touches the id the lock table announces, and never sees a meta page that
// a commit is overwriting.
TEST_F(ReaderTest, ReadOnlyPrevSnapshotBesideWriter) {
  ORV_env *env = open_env(dir.path(), 0);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  for (int i = 0; i < 3; i++) ASSERT_EQ(commit_meta_only(env), 0);  // ids 1..3

  Child reader([&](Chan ch) {
    ORV_env *e = open_env(dir.path(), ORV_RDONLY | ORV_PREVSNAPSHOT);
    if (e == nullptr) return 1;
    ORV_txn *t = nullptr;
    if (orv_txn_begin(e, nullptr, ORV_RDONLY, &t) != 0) return 2;
    ch.send(static_cast<char>(orv_txn_id(t)));
    ch.recv();  // the writer committed id 4
    orv_txn_reset(t);
    if (orv_txn_renew(t) != 0) return 3;
    ch.send(static_cast<char>(orv_txn_id(t)));
    ch.recv();  // the writer holds its mutex now
    orv_txn_reset(t);
    if (orv_txn_renew(t) != 0) return 4;  // waits for the commit of id 5
    ch.send(static_cast<char>(orv_txn_id(t)));
    ch.recv();
    orv_txn_abort(t);
    orv_env_close(e);
    return 0;
  });
  const Chan &ch = reader.chan();
  EXPECT_EQ(ch.recv(), 2);
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 3u);
  EXPECT_EQ(snapshot_of(env, reader.pid()), 2u);

  ASSERT_EQ(commit_meta_only(env), 0);  // id 4
  ch.send('c');
  EXPECT_EQ(ch.recv(), 3);
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 4u);
  EXPECT_EQ(snapshot_of(env, reader.pid()), 3u);

  // Mid-commit the older meta is the page being rewritten: the reader
  // must wait rather than copy it.
  ORV_txn *w = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &w), 0);
  EXPECT_EQ(orv_txn_id(w), 5u);
  ch.send('w');
  usleep(200 * 1000);
  ASSERT_EQ(orv_env_write_meta(w), 0);
  orv_txn_end(w, ORV_END_COMMITTED | ORV_END_UPDATE);
  EXPECT_EQ(ch.recv(), 4);
  EXPECT_EQ(env->me_txns->mti_txnid.load(), 5u);
  ch.send('q');
  EXPECT_EQ(reader.wait(), 0);

  // The writer's own readers were never pulled back.
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  EXPECT_EQ(orv_txn_id(r), 5u);
  orv_txn_abort(r);
}

}  // namespace

namespace {

// A read-only previous-snapshot process that opened first must still let
// writers in, and they must start from the newest state.
TEST_F(ReaderTest, ReadOnlyPrevSnapshotOpenedFirst) {
  {
    ORV_env *env = open_env(dir.path(), 0);
    ASSERT_NE(env, nullptr);
    for (int i = 0; i < 3; i++) ASSERT_EQ(commit_meta_only(env), 0);
    orv_env_close(env);
  }
  ORV_env *env = open_env(dir.path(), ORV_RDONLY | ORV_PREVSNAPSHOT);
  ASSERT_NE(env, nullptr);
  EnvCloser closer{env};
  ORV_txn *r = nullptr;
  ASSERT_EQ(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), 0);
  EXPECT_EQ(orv_txn_id(r), 2u);
  Child writer([&](Chan) {
    alarm(5);
    ORV_env *e = open_env(dir.path(), 0);
    ORV_txn *t = nullptr;
    if (e == nullptr || orv_txn_begin(e, nullptr, 0, &t) != 0) return 1;
    int rc = orv_txn_id(t) == 4 ? 0 : 2;
    orv_txn_abort(t);
    orv_env_close(e);
    return rc;
  });
  EXPECT_EQ(writer.wait(), 0);
  orv_txn_abort(r);
}

}  // namespace
