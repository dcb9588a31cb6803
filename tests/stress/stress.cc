// orv_stress: one writer and many readers on one environment for a given
// time, readers in threads of this process and in processes of their own,
// some of which are killed with SIGKILL (in the middle of a snapshot or
// not) and replaced.
//
//   orv_stress [--seconds=N] [--threads=N] [--procs=N] [--kill-ms=N] [--seed=N]
//              [--dir=PATH] [--writemap] [--fault=digest]
//
// --writemap: this process writes through a writable map (metas updated in
// place while reader threads copy them).
// The store: a database "acct" (counted, prefix-compressed) of accounts
// whose balances always add up to the same total, and a database "pad" of
// large values (overflow pages, free-page churn, growth of the file).
//
// The writer commits, aborts, runs nested transactions that commit or
// abort, opens and closes accounts of balance 0 (the count changes, the sum
// does not), and grows the map whenever it fills up. Before each commit it
// publishes a digest of the accounts under the transaction's id in a table
// shared with the reader processes.
//
// Every reader checks each snapshot it takes:
//   - the balances add up to the total; every value is well formed;
//   - the forward walk, the backward walk, the database statistics (and
//     the counted tree's count, when the library has counts) agree;
//   - the digest of its contents equals the one published for its id;
//   - its snapshot ids never go backwards.
// The supervisor kills and replaces reader processes and sweeps their stale
// slots; the reader table is sized so that without the sweep it would fill
// up after a few kills, and a full table is a failure.
//
// Exit status 0 when every check held; the figures of the run on stdout.
// --fault=digest publishes wrong digests after a few commits: a self-test that
// the readers' comparison catches a snapshot that is not what was committed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv.h"

extern char **environ;

namespace {

constexpr int kAccounts = 400;
constexpr int64_t kStartBalance = 1000;
constexpr int64_t kTotal = kAccounts * kStartBalance;
constexpr unsigned kRing = 4096;
constexpr size_t kStartMap = 512 << 10;

// ---- State shared with the reader processes (a file mapped by all) ----------

struct Digest {
  std::atomic<uint64_t> id;  // 0 while being rewritten
  std::atomic<uint64_t> hash;
  std::atomic<uint64_t> count;
};

struct Shared {
  std::atomic<uint64_t> stop;
  std::atomic<uint64_t> failures;
  std::atomic<uint64_t> proc_snapshots;
  std::atomic<uint64_t> proc_resizes;
  std::atomic<uint64_t> digests_matched;
  std::atomic<uint32_t> message_taken;
  char message[512];
  Digest ring[kRing];
};

Shared *map_shared(const std::string &path, bool create) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0), 0644);
  if (fd < 0) return nullptr;
  if (create && ftruncate(fd, sizeof(Shared)) != 0) return nullptr;
  void *p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<Shared *>(p);
}

// Records a failed check; the first message is kept for the report.
void fail(Shared *sh, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void fail(Shared *sh, const char *fmt, ...) {
  sh->failures.fetch_add(1);
  if (sh->message_taken.exchange(1) == 0) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(sh->message, sizeof sh->message, fmt, ap);
    va_end(ap);
  }
  sh->stop.store(1);
}

// ---- Values -------------------------------------------------------------------

// An account value: the balance (8 bytes) followed by pad bytes that all
// repeat one letter derived from the balance, so a torn or recycled value
// shows.
std::string account_value(int64_t balance, size_t padlen) {
  std::string v(sizeof balance + padlen, static_cast<char>('a' + (balance % 26 + 26) % 26));
  std::memcpy(v.data(), &balance, sizeof balance);
  return v;
}

bool parse_account(const ORV_val &v, int64_t *balance) {
  if (v.mv_size < sizeof *balance) return false;
  const auto *p = static_cast<const char *>(v.mv_data);
  std::memcpy(balance, p, sizeof *balance);
  const char letter = static_cast<char>('a' + (*balance % 26 + 26) % 26);
  for (size_t i = sizeof *balance; i < v.mv_size; i++)
    if (p[i] != letter) return false;
  return *balance >= 0;
}

// A pad value: its own length (4 bytes), then one byte repeated.
std::string pad_value(uint32_t len, char fill) {
  std::string v(len, fill);
  std::memcpy(v.data(), &len, sizeof len);
  return v;
}

bool parse_pad(const ORV_val &v) {
  uint32_t len;
  if (v.mv_size < sizeof len) return false;
  const auto *p = static_cast<const char *>(v.mv_data);
  std::memcpy(&len, p, sizeof len);
  if (len != v.mv_size) return false;
  for (size_t i = sizeof len + 1; i < v.mv_size; i++)
    if (p[i] != p[sizeof len]) return false;
  return true;
}

// Order-free digest of a set of pairs: the sum of one hash per pair.
uint64_t pair_hash(const ORV_val &k, const ORV_val &v) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](const ORV_val &x) {
    const auto *p = static_cast<const unsigned char *>(x.mv_data);
    for (size_t i = 0; i < x.mv_size; i++) h = (h ^ p[i]) * 1099511628211ull;
    h = (h ^ 0xff) * 1099511628211ull;
  };
  mix(k);
  mix(v);
  return h;
}

std::string account_key(int id) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "acct/%06d", id);
  return buf;
}

ORV_val val(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }

// ---- Checking one snapshot ---------------------------------------------------------

struct Dbis {
  ORV_dbi acct = 0, pad = 0;
};

struct Walk {
  uint64_t count = 0, hash = 0;
  int64_t sum = 0;
};

// Walks the accounts forward (sum, count, digest, key order) and backward
// (count). Returns false with a message on a broken invariant.
bool walk_accounts(ORV_txn *txn, ORV_dbi dbi, Walk *w, char *why, size_t whylen) {
  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, dbi, &mc); rc != 0) {
    std::snprintf(why, whylen, "orv_cursor_open: %s", orv_strerror(rc));
    return false;
  }
  bool ok = true;
  ORV_val k, v;
  std::string prev;
  int rc;
  for (rc = orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0 && ok;
       rc = orv_cursor_get(mc, &k, &v, ORV_NEXT)) {
    int64_t bal = 0;
    std::string key(static_cast<const char *>(k.mv_data), k.mv_size);
    if (!parse_account(v, &bal)) {
      std::snprintf(why, whylen, "malformed value of %s", key.c_str());
      ok = false;
    } else if (!prev.empty() && key <= prev) {
      std::snprintf(why, whylen, "keys out of order: %s after %s", key.c_str(), prev.c_str());
      ok = false;
    }
    w->count++;
    w->sum += bal;
    w->hash += pair_hash(k, v);
    prev = std::move(key);
  }
  if (ok && rc != ORV_NOTFOUND) {
    std::snprintf(why, whylen, "forward walk: %s", orv_strerror(rc));
    ok = false;
  }
  uint64_t back = 0;
  for (rc = orv_cursor_get(mc, &k, &v, ORV_LAST); rc == 0 && ok;
       rc = orv_cursor_get(mc, &k, &v, ORV_PREV))
    back++;
  if (ok && (rc != ORV_NOTFOUND || back != w->count)) {
    std::snprintf(why, whylen, "backward walk: %s, %" PRIu64 " entries, forward %" PRIu64,
                  orv_strerror(rc), back, w->count);
    ok = false;
  }
  orv_cursor_close(mc);
  return ok;
}

// Checks every invariant of the snapshot of txn; false when one is broken
// (the failure has been recorded). *matched: the contents were compared
// with the digest published for the snapshot's id.
bool check_snapshot(ORV_txn *txn, const Dbis &d, Shared *sh, bool *matched) {
  *matched = false;
  const uint64_t id = orv_txn_id(txn);
  char why[256] = "";
  Walk w;
  bool ok = walk_accounts(txn, d.acct, &w, why, sizeof why);
  ORV_stat st;
  if (ok && w.sum != kTotal) {
    std::snprintf(why, sizeof why, "sum %" PRId64 ", expected %" PRId64, w.sum, kTotal);
    ok = false;
  }
  if (ok && (orv_stat(txn, d.acct, &st) != 0 || st.ms_entries != w.count)) {
    std::snprintf(why, sizeof why, "statistics say %" PRIu64 " entries, walk %" PRIu64,
                  st.ms_entries, w.count);
    ok = false;
  }
#ifdef ORV_STRESS_HAVE_COUNT
  uint64_t counted = 0;
  if (ok && (orv_count_all(txn, d.acct, 0, &counted) != 0 || counted != w.count)) {
    std::snprintf(why, sizeof why, "count %" PRIu64 ", walk %" PRIu64, counted, w.count);
    ok = false;
  }
#endif
  if (ok) {
    // The digest the writer published for this id, if the ring still has it.
    Digest &g = sh->ring[id % kRing];
    const uint64_t id1 = g.id.load();
    const uint64_t hash = g.hash.load(), count = g.count.load();
    if (id1 == id && g.id.load() == id) {
      if (hash != w.hash || count != w.count) {
        std::snprintf(why, sizeof why,
                      "contents differ from commit %" PRIu64 " (%" PRIu64 " entries, %" PRIu64
                      " committed)",
                      id, w.count, count);
        ok = false;
      } else {
        *matched = true;
      }
    }
  }
  if (ok) {
    ORV_cursor *mc = nullptr;
    ORV_val k, v;
    int rc = orv_cursor_open(txn, d.pad, &mc);
    for (rc = rc ? rc : orv_cursor_get(mc, &k, &v, ORV_FIRST); rc == 0 && ok;
         rc = orv_cursor_get(mc, &k, &v, ORV_NEXT))
      if (!parse_pad(v)) {
        std::snprintf(why, sizeof why, "malformed pad value");
        ok = false;
      }
    if (ok && rc != ORV_NOTFOUND) {
      std::snprintf(why, sizeof why, "pad walk: %s", orv_strerror(rc));
      ok = false;
    }
    orv_cursor_close(mc);
  }
  if (!ok) fail(sh, "snapshot %" PRIu64 " (pid %d): %s", id, int(getpid()), why);
  return ok;
}

// Checks the snapshot a reader just took: its id never goes backwards
// (*last is the reader's previous one), then every invariant. Counts it in
// *checked and a comparison with its commit's digest in the shared table.
void check_taken(ORV_txn *txn, const Dbis &d, Shared *sh, const char *who, uint64_t *last,
                 std::atomic<uint64_t> *checked) {
  const uint64_t id = orv_txn_id(txn);
  if (id < *last)
    fail(sh, "%s %d: snapshot %" PRIu64 " after %" PRIu64, who, int(getpid()), id, *last);
  *last = id;
  bool matched;
  check_snapshot(txn, d, sh, &matched);
  checked->fetch_add(1, std::memory_order_relaxed);
  if (matched) sh->digests_matched.fetch_add(1, std::memory_order_relaxed);
}

ORV_env *open_env(const std::string &dir, unsigned maxreaders, unsigned flags, int *rc_out) {
  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc == 0) rc = orv_env_set_maxdbs(env, 4);
  if (rc == 0 && maxreaders) rc = orv_env_set_maxreaders(env, maxreaders);
  if (rc == 0 && maxreaders) rc = orv_env_set_mapsize(env, kStartMap);
  // Durability is not what this run is about: commits skip the flush.
  if (rc == 0) rc = orv_env_open(env, dir.c_str(), ORV_NOSYNC | flags, 0644);
  *rc_out = rc;
  if (rc != 0) {
    orv_env_close(env);
    return nullptr;
  }
  return env;
}

// Begins a read transaction; a map grown by the writer is followed.
int begin_read(ORV_env *env, ORV_txn **txn, uint64_t *resizes) {
  for (;;) {
    int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, txn);
    if (rc != ORV_MAP_RESIZED) return rc;
    if ((rc = orv_env_set_mapsize(env, 0)) != 0) return rc;
    ++*resizes;
  }
}

int open_dbis(ORV_env *env, Dbis *d) {
  ORV_txn *txn = nullptr;
  uint64_t ignored = 0;
  if (int rc = begin_read(env, &txn, &ignored); rc != 0) return rc;
  int rc = orv_dbi_open(txn, "acct", 0, &d->acct);
  if (rc == 0) rc = orv_dbi_open(txn, "pad", 0, &d->pad);
  if (rc == 0) return orv_txn_commit(txn);  // keeps the handles
  orv_txn_abort(txn);
  return rc;
}

// ---- A reader process -----------------------------------------------------------

int reader_process(const std::string &dir) {
  Shared *sh = map_shared(dir + "/stress.shm", false);
  if (sh == nullptr) return 2;
  int rc = 0;
  ORV_env *env = open_env(dir, 0, 0, &rc);
  Dbis d;
  if (env == nullptr || (rc = open_dbis(env, &d)) != 0) {
    fail(sh, "reader process %d: open: %s", int(getpid()), orv_strerror(rc));
    return 1;
  }
  uint64_t last = 0, resizes = 0;
  while (!sh->stop.load()) {
    ORV_txn *txn = nullptr;
    if ((rc = begin_read(env, &txn, &resizes)) != 0) {
      fail(sh, "reader process %d: begin: %s", int(getpid()), orv_strerror(rc));
      break;
    }
    check_taken(txn, d, sh, "reader process", &last, &sh->proc_snapshots);
    orv_txn_abort(txn);
    if (resizes) sh->proc_resizes.fetch_add(std::exchange(resizes, 0));
  }
  orv_env_close(env);
  return 0;
}

// ---- The writer ------------------------------------------------------------------

struct Figures {
  std::atomic<uint64_t> commits{0}, aborts{0}, nested_commits{0}, nested_aborts{0};
  std::atomic<uint64_t> resizes{0}, opened{0}, closed{0}, thread_snapshots{0};
  std::atomic<uint64_t> kills{0}, swept{0};
};

// Read transactions of this process hold the gate shared; a map resize
// holds it alone. A waiting resize turns new readers away first, or a
// stream of readers would keep it out for good.
struct MapGate {
  std::shared_mutex mutex;
  std::atomic<bool> resize_waiting{false};

  std::shared_lock<std::shared_mutex> enter_read() {
    while (resize_waiting.load()) std::this_thread::yield();
    return std::shared_lock<std::shared_mutex>(mutex);
  }
};

struct Writer {
  ORV_env *env;
  Dbis d;
  Shared *sh;
  Figures *fig;
  MapGate *map_gate;
  std::mt19937_64 rng;
  int next_account = kAccounts;
  size_t map_size = kStartMap;
  bool fault_digest = false;  // --fault=digest: publish wrong digests
  bool nesting = true;        // a writable map admits no nested transactions

  uint64_t rand(uint64_t n) { return n ? rng() % n : 0; }

  // An existing account at or after a random one (wrapping around).
  int pick(ORV_cursor *mc, std::string *key, int64_t *bal) {
    std::string probe = account_key(static_cast<int>(rand(next_account)));
    ORV_val k = val(probe), v;
    int rc = orv_cursor_get(mc, &k, &v, ORV_SET_RANGE);
    if (rc == ORV_NOTFOUND) rc = orv_cursor_get(mc, &k, &v, ORV_FIRST);
    if (rc != 0) return rc;
    key->assign(static_cast<const char *>(k.mv_data), k.mv_size);
    return parse_account(v, bal) ? 0 : ORV_CORRUPTED;
  }

  int put_account(ORV_txn *txn, const std::string &key, int64_t bal) {
    std::string v = account_value(bal, rand(120));
    ORV_val k = val(key), dv = val(v);
    return orv_put(txn, d.acct, &k, &dv, 0);
  }

  // One random change; keeps the sum of the balances.
  int one_op(ORV_txn *txn) {
    const uint64_t what = rand(100);
    if (what < 15) {  // a large value: overflow pages and growth
      const int slots = 16 + static_cast<int>(fig->commits.load() / 20);
      char key[32];
      std::snprintf(key, sizeof key, "pad/%05d", static_cast<int>(rand(slots < 400 ? slots : 400)));
      std::string v = pad_value(static_cast<uint32_t>(100 + rand(9000)), char('A' + rand(26)));
      ORV_val k{std::strlen(key), key}, dv = val(v);
      return orv_put(txn, d.pad, &k, &dv, 0);
    }
    if (what < 20) {  // open an account
      fig->opened++;
      return put_account(txn, account_key(next_account++), 0);
    }
    ORV_cursor *mc = nullptr;
    if (int rc = orv_cursor_open(txn, d.acct, &mc); rc != 0) return rc;
    std::string a, b;
    int64_t ba = 0, bb = 0;
    int rc = pick(mc, &a, &ba);
    if (rc == 0 && what < 25) {  // close an account of balance 0
      orv_cursor_close(mc);
      if (ba != 0) return 0;
      ORV_val k = val(a);
      fig->closed++;
      return orv_del(txn, d.acct, &k, nullptr);
    }
    if (rc == 0) rc = pick(mc, &b, &bb);
    orv_cursor_close(mc);
    if (rc != 0 || a == b) return rc;
    const int64_t amount = static_cast<int64_t>(rand(static_cast<uint64_t>(ba) + 1));
    if ((rc = put_account(txn, a, ba - amount)) != 0) return rc;
    return put_account(txn, b, bb + amount);
  }

  int some_ops(ORV_txn *txn, int n) {
    for (int i = 0; i < n; i++)
      if (int rc = one_op(txn); rc != 0) return rc;
    return 0;
  }

  // Publishes the digest of txn's accounts under its id (before the
  // commit makes the id visible to readers).
  int publish(ORV_txn *txn) {
    Walk w;
    char why[256] = "";
    if (!walk_accounts(txn, d.acct, &w, why, sizeof why) || w.sum != kTotal) {
      fail(sh, "writer: %s (sum %" PRId64 ")", why, w.sum);
      return ORV_PROBLEM;
    }
    const uint64_t id = orv_txn_id(txn);
    Digest &g = sh->ring[id % kRing];
    g.id.store(0);
    // The self-test of the readers' comparison: digests are off from the
    // tenth commit on.
    const bool wrong = fault_digest && fig->commits.load() >= 10;
    g.hash.store(w.hash + (wrong ? 1 : 0));
    g.count.store(w.count);
    g.id.store(id);
    return 0;
  }

  // One write transaction; false when the run must stop.
  bool round() {
    ORV_txn *txn = nullptr;
    int rc = orv_txn_begin(env, nullptr, 0, &txn);
    if (rc == 0) rc = some_ops(txn, 1 + static_cast<int>(rand(12)));
    if (rc == 0 && nesting && rand(4) == 0) {
      ORV_txn *child = nullptr;
      rc = orv_txn_begin(env, txn, 0, &child);
      if (rc == 0) rc = some_ops(child, 1 + static_cast<int>(rand(6)));
      if (rc == 0 && rand(2) == 0) {
        rc = orv_txn_commit(child);
        fig->nested_commits++;
      } else if (child != nullptr) {
        orv_txn_abort(child);
        fig->nested_aborts++;
      }
    }
    if (rc == 0 && rand(10) == 0) {
      orv_txn_abort(txn);
      fig->aborts++;
      return true;
    }
    if (rc == 0) rc = publish(txn);
    if (rc == 0) {
      rc = orv_txn_commit(txn);
      txn = nullptr;
      if (rc == 0) {
        fig->commits++;
        return true;
      }
    }
    if (txn != nullptr) orv_txn_abort(txn);
    if (rc == ORV_MAP_FULL) return grow();
    if (rc != ORV_PROBLEM) fail(sh, "writer: %s", orv_strerror(rc));
    return false;
  }

  // The map is full: double it. No read transaction of this process may
  // run meanwhile; the reader processes follow on their next begin.
  bool grow() {
    map_gate->resize_waiting.store(true);
    std::unique_lock<std::shared_mutex> lock(map_gate->mutex);
    map_gate->resize_waiting.store(false);
    map_size *= 2;
    if (int rc = orv_env_set_mapsize(env, map_size); rc != 0) {
      fail(sh, "writer: orv_env_set_mapsize(%zu): %s", map_size, orv_strerror(rc));
      return false;
    }
    fig->resizes++;
    return true;
  }
};

int populate(ORV_env *env, Dbis *d) {
  ORV_txn *txn = nullptr;
  int rc = orv_txn_begin(env, nullptr, 0, &txn);
  if (rc == 0) rc = orv_dbi_open(txn, "acct", ORV_CREATE | ORV_COUNTED | ORV_PREFIXKEY, &d->acct);
  if (rc == 0) rc = orv_dbi_open(txn, "pad", ORV_CREATE, &d->pad);
  for (int i = 0; rc == 0 && i < kAccounts; i++) {
    std::string k = account_key(i), v = account_value(kStartBalance, 10);
    ORV_val kv = val(k), dv = val(v);
    rc = orv_put(txn, d->acct, &kv, &dv, 0);
  }
  if (rc == 0) return orv_txn_commit(txn);
  if (txn) orv_txn_abort(txn);
  return rc;
}

// ---- Reader threads ---------------------------------------------------------------

void reader_thread(ORV_env *env, Dbis d, Shared *sh, Figures *fig, MapGate *map_gate) {
  ORV_txn *txn = nullptr;
  uint64_t last = 0, resizes = 0;
  while (!sh->stop.load()) {
    auto lock = map_gate->enter_read();
    // Alternate fresh transactions with reset and renew of a kept one.
    int rc = txn ? orv_txn_renew(txn) : begin_read(env, &txn, &resizes);
    if (rc != 0) {
      fail(sh, "reader thread: %s: %s", txn ? "renew" : "begin", orv_strerror(rc));
      break;
    }
    check_taken(txn, d, sh, "reader thread", &last, &fig->thread_snapshots);
    if (last & 1) {
      orv_txn_reset(txn);
    } else {
      orv_txn_abort(txn);
      txn = nullptr;
    }
  }
  if (txn) orv_txn_abort(txn);
}

// ---- Supervisor ----------------------------------------------------------------------

pid_t spawn_reader(const std::string &self, const std::string &dir) {
  std::string arg = "--reader-proc=" + dir;
  char *argv[] = {const_cast<char *>(self.c_str()), arg.data(), nullptr};
  pid_t pid = 0;
  return posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

long arg_value(const char *arg, const char *name, long dflt) {
  const size_t n = std::strlen(name);
  return std::strncmp(arg, name, n) == 0 && arg[n] == '=' ? std::strtol(arg + n + 1, nullptr, 10)
                                                          : dflt;
}

}  // namespace

int main(int argc, char **argv) {
  long seconds = 5, threads = 4, procs = 3, kill_ms = 150;
  long seed =
      static_cast<long>(std::chrono::system_clock::now().time_since_epoch().count() & 0xffffff);
  std::string dir;
  bool fault_digest = false, writemap = false;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--writemap") == 0) writemap = true;
    if (std::strcmp(argv[i], "--fault=digest") == 0) fault_digest = true;
    if (std::strncmp(argv[i], "--reader-proc=", 14) == 0) return reader_process(argv[i] + 14);
    if (std::strncmp(argv[i], "--dir=", 6) == 0) dir = argv[i] + 6;
    seconds = arg_value(argv[i], "--seconds", seconds);
    threads = arg_value(argv[i], "--threads", threads);
    procs = arg_value(argv[i], "--procs", procs);
    kill_ms = arg_value(argv[i], "--kill-ms", kill_ms);
    seed = arg_value(argv[i], "--seed", seed);
  }
  bool own_dir = dir.empty();
  if (own_dir) {
    char tmpl[] = "/tmp/orv-stress-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 2;
    dir = tmpl;
  }
  std::printf("orv_stress: --seconds=%ld --threads=%ld --procs=%ld --kill-ms=%ld --seed=%ld%s\n",
              seconds, threads, procs, kill_ms, seed, writemap ? " --writemap" : "");
  std::fflush(stdout);

  Shared *sh = map_shared(dir + "/stress.shm", true);
  if (sh == nullptr) return 2;
  // Room for every live reader and three slots to spare: killed readers
  // fill the table unless their slots are swept.
  const unsigned maxreaders = static_cast<unsigned>(threads + procs + 3);
  int rc = 0;
  ORV_env *env = open_env(dir, maxreaders, writemap ? ORV_WRITEMAP : 0, &rc);
  Dbis d;
  if (env == nullptr || (rc = populate(env, &d)) != 0) {
    std::fprintf(stderr, "orv_stress: setup failed, error %d %s\n", rc, orv_strerror(rc));
    return 2;
  }

  Figures fig;
  MapGate map_gate;
  Writer w{env, d, sh, &fig, &map_gate, std::mt19937_64(static_cast<uint64_t>(seed))};
  w.fault_digest = fault_digest;
  w.nesting = !writemap;
  std::thread writer([&] {
    while (!sh->stop.load() && w.round()) {
    }
  });
  std::vector<std::thread> readers;
  for (long i = 0; i < threads; i++)
    readers.emplace_back(reader_thread, env, d, sh, &fig, &map_gate);

  const std::string self = "/proc/self/exe";
  std::vector<pid_t> children;
  for (long i = 0; i < procs; i++) children.push_back(spawn_reader(self, dir));
  std::mt19937 krng(static_cast<unsigned>(seed));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!sh->stop.load() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kill_ms));
    if (children.empty()) continue;
    pid_t &victim = children[krng() % children.size()];
    if (victim > 0) {
      kill(victim, SIGKILL);
      waitpid(victim, nullptr, 0);
      fig.kills++;
    }
    int dead = 0;
    if ((rc = orv_reader_check(env, &dead)) != 0)
      fail(sh, "orv_reader_check: %s", orv_strerror(rc));
    fig.swept += static_cast<uint64_t>(dead);
    victim = spawn_reader(self, dir);
  }

  sh->stop.store(1);
  writer.join();
  for (std::thread &t : readers) t.join();
  for (pid_t pid : children) {
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid &&
        !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
      fail(sh, "reader process %d ended with status %d", int(pid), status);
  }
  // Every reader is gone: nothing stale may remain after one more sweep.
  int dead = 0;
  (void)orv_reader_check(env, &dead);
  fig.swept += static_cast<uint64_t>(dead);
  int foreign = 0;
  auto count_foreign = [](const char *line, void *ctx) {
    int pid = 0;
    if (std::sscanf(line, "%d", &pid) == 1 && pid != getpid()) ++*static_cast<int *>(ctx);
    return 0;
  };
  (void)orv_reader_list(env, count_foreign, &foreign);
  if (foreign != 0) fail(sh, "%d reader slots of other processes left after the sweep", foreign);
  orv_env_close(env);

  const uint64_t failures = sh->failures.load();
  std::printf("orv_stress: %ld s, %ld reader threads, %ld reader processes (%" PRIu64
              " killed and replaced, %" PRIu64
              " stale slots swept, table of %u slots)\n"
              "orv_stress: %" PRIu64 " commits, %" PRIu64 " aborts, nested %" PRIu64
              " committed %" PRIu64 " aborted, %" PRIu64 " accounts opened %" PRIu64
              " closed, %" PRIu64 " map resizes (final %zu KiB; %" PRIu64
              " followed by reader processes)\n"
              "orv_stress: %" PRIu64 " snapshots checked (%" PRIu64 " in threads, %" PRIu64
              " in processes), %" PRIu64 " against their commit's digest; %" PRIu64 " failures\n",
              seconds, threads, procs, fig.kills.load(), fig.swept.load(), maxreaders,
              fig.commits.load(), fig.aborts.load(), fig.nested_commits.load(),
              fig.nested_aborts.load(), fig.opened.load(), fig.closed.load(), fig.resizes.load(),
              w.map_size >> 10, sh->proc_resizes.load(),
              fig.thread_snapshots.load() + sh->proc_snapshots.load(), fig.thread_snapshots.load(),
              sh->proc_snapshots.load(), sh->digests_matched.load(), failures);
  if (failures) std::printf("orv_stress: first failure: %s\n", sh->message);
  munmap(sh, sizeof(Shared));
  if (own_dir) std::filesystem::remove_all(dir);
  return failures ? 1 : 0;
}
