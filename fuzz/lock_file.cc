// Fuzz target: a lock file met by a process that is not the first opener.
// The first opener re-initialises the lock table, so the bytes of a lock
// file are only ever believed by later openers: a helper process holds the
// environment's shared lock (a read lock on byte 0) for the whole run, and
// every input is opened as a second opener. The input is the lock file,
// byte for byte (its size fixes the reader table's size).
//
// The two mutex objects are the platform's own; no check can tell a
// stranger's bytes there from a mutex held by a live process, and a lock
// on such bytes may wait forever. Those bytes are therefore replaced by an
// unlocked robust mutex; everything else comes from the input: magic,
// format, published id, reader count and every reader slot.
//
// After the open: the reader list and sweep, environment information, read
// transactions (a reader slot is claimed from the fuzzed table), a write
// transaction with a commit, and a second read.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "orv.h"

namespace {

using orv_fuzz::val;

constexpr size_t kRmutexOff = 24, kWmutexOff = 64;
constexpr size_t kMaxSlots = 64;
constexpr size_t kMaxSize = 128 + 64 * kMaxSlots;

struct Setup {
  std::string data_path, lock_path;
  std::string data_bytes;  // the store, restored before every input
  unsigned char mutex_image[sizeof(pthread_mutex_t)];
};

std::string read_all(const std::string &path) {
  std::string s;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

void lock_byte0_shared(int fd) {
  struct flock lk {};
  lk.l_type = F_RDLCK;
  lk.l_whence = SEEK_SET;
  lk.l_start = 0;
  lk.l_len = 1;
  if (fcntl(fd, F_SETLKW, &lk) != 0) std::abort();
}

// A helper process that holds the environment open (its shared lock) until
// this process exits.
void start_holder(const std::string &lock_path) {
  int ready[2];
  if (pipe(ready) != 0) std::abort();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    int fd = open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) _exit(1);
    lock_byte0_shared(fd);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(1);
    for (;;) pause();
  }
  char c = 0;
  close(ready[1]);
  if (read(ready[0], &c, 1) != 1) std::abort();
  close(ready[0]);
}

const Setup &setup() {
  static const Setup s = [] {
    Setup st;
    st.data_path = orv_fuzz::scratch_dir() + "/lockfuzz.orv";
    st.lock_path = st.data_path + "-lock";
    ORV_env *env = nullptr;
    ORV_txn *txn = nullptr;
    if (orv_env_create(&env) != 0 ||
        orv_env_open(env, st.data_path.c_str(), ORV_NOSUBDIR, 0644) != 0 ||
        orv_txn_begin(env, nullptr, 0, &txn) != 0)
      std::abort();
    for (int i = 0; i < 20; i++) {
      std::string k = "key" + std::to_string(i);
      ORV_val kv = val(k), vv = val(k);
      if (orv_put(txn, 1, &kv, &vv, 0) != 0) std::abort();
    }
    if (orv_txn_commit(txn) != 0) std::abort();
    orv_env_close(env);
    st.data_bytes = read_all(st.data_path);

    pthread_mutexattr_t attr;
    pthread_mutex_t m;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    std::memset(&m, 0, sizeof m);
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
    std::memcpy(st.mutex_image, &m, sizeof m);
    start_holder(st.lock_path);
    return st;
  }();
  return s;
}

int ignore_line(const char *, void *) { return 0; }

void read_once(ORV_env *env) {
  ORV_txn *txn = nullptr;
  if (orv_txn_begin(env, nullptr, ORV_RDONLY, &txn) != 0) return;
  ORV_val k = val("key3"), v{};
  (void)orv_get(txn, 1, &k, &v);
  orv_txn_abort(txn);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Setup &s = setup();
  std::vector<uint8_t> lock(data, data + (size < kMaxSize ? size : kMaxSize));
  for (size_t off : {kRmutexOff, kWmutexOff})
    if (lock.size() >= off + sizeof s.mutex_image)
      std::memcpy(lock.data() + off, s.mutex_image, sizeof s.mutex_image);
  orv_fuzz::write_file(s.lock_path, lock.data(), lock.size());
  orv_fuzz::write_file(s.data_path, reinterpret_cast<const uint8_t *>(s.data_bytes.data()),
                       s.data_bytes.size());

  for (unsigned flags : {0u, unsigned{ORV_NOTLS}}) {
    ORV_env *env = nullptr;
    if (orv_env_create(&env) != 0) std::abort();
    if (orv_env_open(env, s.data_path.c_str(), ORV_NOSUBDIR | flags, 0644) == 0) {
      (void)orv_reader_list(env, ignore_line, nullptr);
      ORV_envinfo info;
      (void)orv_env_info(env, &info);
      read_once(env);
      int dead = 0;
      (void)orv_reader_check(env, &dead);
      ORV_txn *txn = nullptr;
      if (orv_txn_begin(env, nullptr, 0, &txn) == 0) {
        ORV_val k = val("written"), v = val("by the fuzzer");
        (void)orv_put(txn, 1, &k, &v, 0);
        (void)orv_txn_commit(txn);
      }
      read_once(env);
      (void)orv_reader_list(env, ignore_line, nullptr);
    }
    orv_env_close(env);
  }
  return 0;
}
