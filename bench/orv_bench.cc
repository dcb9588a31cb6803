// orv_bench: throughput of the basic workloads, with the workload names of
// db_bench so that figures of other engines line up.
//
//   orv_bench --benchmarks=fillseq,fillrandom,overwrite,readrandom,readseq,readreverse
//             --num=1000000 --key_size=16 --value_size=100 --db=/tmp/orv_bench
//
// Workloads:
//   fillseq      write num keys in ascending order into a new store
//   fillrandom   write num keys in random order into a new store
//   overwrite    write num random keys into the existing store
//   readrandom   look up `reads` random keys (orv_get)
//   readseq      walk the whole store forward with a cursor
//   readreverse  walk the whole store backward with a cursor
//   seekrandom   `reads` seeks (ORV_SET_RANGE) to random keys, each followed by
//                10 steps forward (ORV_NEXT)
//   stats        data file size, leaf/branch/overflow pages, leaf fill rate
//   rank         look up the entries at `reads` random ranks (orv_get_rank)
//   keyrank      the ranks of `reads` random keys (orv_cursor_key_rank on one
//                long-lived cursor of a read-only transaction)
//   countrange   count `reads` random key ranges of about 10 % of the keys
//                (orv_count_range, both bounds inclusive)
//   rankseq      the entries at ranks 0 .. n - 1 on one cursor
//                (orv_cursor_get_rank)
//   fillplain    fillrandom into a new store without ORV_COUNTED
//   fillcounted  fillrandom into a new store with ORV_COUNTED
//   deleterandom delete `deletes` (--deletes, default num) random keys (some
//                absent), in write transactions of --batch deletes
//   deleteseq    delete keys 0, 1, 2, ... (`deletes` of them) in ascending order
//   readrandomwriterandom
//                `reads` operations, --readwritepercent (90) % lookups and the
//                rest puts of random keys, in rounds of --batch: a read-only
//                transaction for the round's lookups, then a write
//                transaction for its puts
//   readwhilewriting
//                `reads` random lookups shared out among --threads readers,
//                in read-only transactions renewed every 1000 lookups, while
//                one writer puts random keys in batches until they are done;
//                the figure is the readers' time per lookup
//   filldups     num values into a new ORV_DUPSORT store: key k holds 1 to 1000
//                values (a fixed spread, about 500 on average), written
//                key by key in random value order
//   walkdups     walk every value of the duplicate store with ORV_NEXT
//   getboth      look up `reads` random stored pairs (ORV_GET_BOTH)
//
// The rank and count workloads need a counted store (--counted=1, or a
// fillcounted before them). What counted trees cost on random writes is
// best seen by alternating the two fills in one run:
//   orv_bench --benchmarks=fillplain,fillcounted,fillplain,fillcounted
// and what a rank or a count costs against a point lookup or a step by:
//   orv_bench --counted=1
//   --benchmarks=fillrandom,readrandom,rank,keyrank,countrange,readseq,rankseq
//
// --keys=paths replaces the fixed-size decimal keys by URL- and path-like
// keys of 20 to 120 bytes that share long prefixes (a fixed set of num
// distinct keys, sorted, so that fillseq writes them in ascending order
// and key k is the k-th smallest); --prefix=1 stores them in an
// ORV_PREFIXKEY database. Comparing the two shows what prefix compression
// saves in pages and costs in reads:
//   orv_bench --keys=paths --value_size=16 --prefix=1
//             --benchmarks=fillseq,stats,readrandom,readseq,fillrandom,stats,readrandom,readseq
//
// --touch_keys=1 makes the walks read every byte of every key they are
// handed (a checksum), as an application that looks at its keys does;
// without it a walk only takes the key's length, which leaves keys stored
// whole in the page untouched.
//
// The duplicate workloads use a store of their own (filldups first); their
// values are --value_size bytes (at most 511).
//
// --threads=N runs readrandom, readseq, seekrandom and the readers of
// readwhilewriting in N threads, each with its own read-only transaction and
// cursor: `reads` lookups or seeks are shared out among them, and every
// thread of readseq walks the whole store. Figures are for all threads
// together (micros/op: wall-clock time per operation of any thread).
//
// Writes are grouped into transactions of --batch puts. Unless --sync=1 the
// environment runs with ORV_NOSYNC (as db_bench writes without sync by
// default). Uses only the public interface.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orv.h"

namespace {

// ---- Options ----------------------------------------------------------------------------

struct Flags {
  std::string benchmarks = "fillseq,fillrandom,overwrite,readrandom,readseq,readreverse";
  long num = 1000000;
  long reads = -1;    // -1: num
  long deletes = -1;  // -1: num
  long readwritepercent = 90;
  int threads = 1;  // reader threads
  int key_size = 16;
  int value_size = 100;
  long batch = 1000;
  bool sync = false;
  bool writemap = false;
  bool nordahead = false;  // ORV_NORDAHEAD
  bool counted = false;
  bool prefix = false;
  bool paths = false;  // --keys=paths
  bool use_existing_db = false;
  bool touch_keys = false;
  long mapsize_mb = 0;  // 0: sized from num
  uint64_t seed = 301;
  std::string db;
};

bool parse_flag(const char *arg, Flags &f) {
  long n;
  char junk;
  char buf[1024];
  if (std::sscanf(arg, "--benchmarks=%1023s", buf) == 1) {
    f.benchmarks = buf;
  } else if (std::sscanf(arg, "--num=%ld%c", &n, &junk) == 1) {
    f.num = n;
  } else if (std::sscanf(arg, "--reads=%ld%c", &n, &junk) == 1) {
    f.reads = n;
  } else if (std::sscanf(arg, "--deletes=%ld%c", &n, &junk) == 1) {
    f.deletes = n;
  } else if (std::sscanf(arg, "--readwritepercent=%ld%c", &n, &junk) == 1) {
    f.readwritepercent = n;
  } else if (std::sscanf(arg, "--threads=%ld%c", &n, &junk) == 1) {
    f.threads = static_cast<int>(n);
  } else if (std::sscanf(arg, "--key_size=%ld%c", &n, &junk) == 1) {
    f.key_size = static_cast<int>(n);
  } else if (std::sscanf(arg, "--value_size=%ld%c", &n, &junk) == 1) {
    f.value_size = static_cast<int>(n);
  } else if (std::sscanf(arg, "--batch=%ld%c", &n, &junk) == 1) {
    f.batch = n;
  } else if (std::sscanf(arg, "--sync=%ld%c", &n, &junk) == 1) {
    f.sync = n != 0;
  } else if (std::sscanf(arg, "--writemap=%ld%c", &n, &junk) == 1) {
    f.writemap = n != 0;
  } else if (std::sscanf(arg, "--nordahead=%ld%c", &n, &junk) == 1) {
    f.nordahead = n != 0;
  } else if (std::sscanf(arg, "--counted=%ld%c", &n, &junk) == 1) {
    f.counted = n != 0;
  } else if (std::sscanf(arg, "--prefix=%ld%c", &n, &junk) == 1) {
    f.prefix = n != 0;
  } else if (std::strcmp(arg, "--keys=paths") == 0) {
    f.paths = true;
  } else if (std::strcmp(arg, "--keys=num") == 0) {
    f.paths = false;
  } else if (std::sscanf(arg, "--use_existing_db=%ld%c", &n, &junk) == 1) {
    f.use_existing_db = n != 0;
  } else if (std::sscanf(arg, "--touch_keys=%ld%c", &n, &junk) == 1) {
    f.touch_keys = n != 0;
  } else if (std::sscanf(arg, "--mapsize_mb=%ld%c", &n, &junk) == 1) {
    f.mapsize_mb = n;
  } else if (std::sscanf(arg, "--seed=%ld%c", &n, &junk) == 1) {
    f.seed = static_cast<uint64_t>(n);
  } else if (std::strncmp(arg, "--db=", 5) == 0) {
    f.db = arg + 5;
  } else {
    return false;
  }
  return true;
}

[[noreturn]] void die(const char *call, int rc) {
  std::fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  std::exit(1);
}

#define CHECK(call)                                  \
  do {                                               \
    if (int rc_ = (call); rc_ != 0) die(#call, rc_); \
  } while (0)

// ---- Machine and build --------------------------------------------------------------------

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

void print_header(const Flags &f) {
  std::printf("eldran:     %s\n", orv_version(nullptr, nullptr, nullptr));
  std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
  std::printf("Date:       %s\n", date);
  std::printf("CPU:        %ld x %s\n", sysconf(_SC_NPROCESSORS_ONLN), cpu_model().c_str());
  if (f.paths)
    std::printf("Keys:       URL/path-like, 20 to 120 bytes\n");
  else
    std::printf("Keys:       %d bytes each\n", f.key_size);
  std::printf("Values:     %d bytes each\n", f.value_size);
  std::printf("Entries:    %ld\n", f.num);
  if (!f.paths)
    std::printf("RawSize:    %.1f MB (estimated)\n",
                (double(f.key_size) + f.value_size) * double(f.num) / 1048576.0);
  std::printf("Batch:      %ld puts per write transaction\n", f.batch);
  std::printf("Mode:       %s%s%s%s%s\n", f.sync ? "sync" : "ORV_NOSYNC",
              f.writemap ? ", ORV_WRITEMAP" : "", f.nordahead ? ", ORV_NORDAHEAD" : "",
              f.counted ? ", ORV_COUNTED" : "", f.prefix ? ", ORV_PREFIXKEY" : "");
#if !defined(__OPTIMIZE__)
  std::printf("WARNING: Optimization is disabled: benchmarks unnecessarily slow\n");
#endif
#if defined(__SANITIZE_ADDRESS__)
  std::printf("WARNING: AddressSanitizer is enabled: benchmarks unnecessarily slow\n");
#endif
  std::printf("------------------------------------------------\n");
  std::fflush(stdout);
}

// Processor time of this process (user and system), in seconds.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// ---- The benchmark ------------------------------------------------------------------------

// A read-only transaction with one cursor on dbi, ended at scope end.
struct ReadCursor {
  ORV_txn *txn = nullptr;
  ORV_cursor *c = nullptr;
  ReadCursor(ORV_env *env, ORV_dbi dbi) {
    CHECK(orv_txn_begin(env, nullptr, ORV_RDONLY, &txn));
    CHECK(orv_cursor_open(txn, dbi, &c));
  }
  ~ReadCursor() {
    orv_cursor_close(c);
    orv_txn_abort(txn);
  }
  ReadCursor(const ReadCursor &) = delete;
  ReadCursor &operator=(const ReadCursor &) = delete;
};

class Bench {
 public:
  explicit Bench(const Flags &f) : f_(f), rng_(f.seed), counted_(f.counted) {
    // Random value bytes, sliced at varying offsets.
    values_.resize(size_t{1} << 20);
    std::mt19937_64 vr(f.seed ^ 0x5bd1e995);
    for (auto &c : values_) c = static_cast<char>('a' + vr() % 26);
    key_.resize(static_cast<size_t>(f.key_size));
    if (f.paths) make_paths();
  }
  ~Bench() { close_env(); }

  void run(const std::string &name);

 private:
  void open_env(bool fresh);
  void close_env();
  ORV_val make_key(uint64_t k) { return key_into(k, key_); }
  ORV_val key_into(uint64_t k, std::string &buf) const;
  ORV_val make_value();
  void write(bool seq, long n);
  void erase(bool seq, long n);
  void read_write_mix(long n);
  template <class Fn>
  long in_threads(Fn fn);
  long read_random_mt(long n);
  long read_walk_mt();
  long seek_random(long n);
  long read_while_writing(long n);
  uint64_t dup_count(uint64_t k) const;
  ORV_val dup_value(uint64_t k, uint64_t j);
  long fill_dups();
  long walk_dups();
  void get_both(long n);
  long lookup_random(long n);
  void read_random(long n);
  long read_walk(bool reverse);
  void make_paths();
  void stats();
  void rank_random(long n);
  void key_rank_random(long n);
  void count_ranges(long n);
  long rank_walk();

  const Flags &f_;
  std::mt19937_64 rng_;
  std::string values_;
  size_t vpos_ = 0;
  std::string key_;
  std::vector<std::string> paths_;  // --keys=paths: the sorted key set
  ORV_env *env_ = nullptr;
  ORV_dbi dbi_ = 0;
  bool counted_ = false;   // the store of this run has ORV_COUNTED
  bool dups_ = false;      // the store of this run has ORV_DUPSORT
  uint64_t dup_keys_ = 0;  // keys of the duplicate store
  std::string dupval_;
  uint64_t bytes_ = 0;
  uint64_t key_sum_ = 0;  // checksum of the keys a walk read (--touch_keys)
  std::string extra_;
};

void Bench::close_env() {
  if (env_) orv_env_close(env_);
  env_ = nullptr;
}

void Bench::open_env(bool fresh) {
  close_env();
  if (fresh) {
    unlink((f_.db + "/data.orv").c_str());
    unlink((f_.db + "/lock.orv").c_str());
  }
  mkdir(f_.db.c_str(), 0755);
  CHECK(orv_env_create(&env_));
  uint64_t mapsize = f_.mapsize_mb > 0
                         ? uint64_t(f_.mapsize_mb) << 20
                         : std::max<uint64_t>(uint64_t{1} << 30,
                                              uint64_t(f_.num) * (f_.key_size + f_.value_size) * 4);
  CHECK(orv_env_set_mapsize(env_, mapsize));
  unsigned flags = (f_.sync ? 0 : ORV_NOSYNC) | (f_.writemap ? ORV_WRITEMAP : 0) |
                   (f_.nordahead ? ORV_NORDAHEAD : 0);
  CHECK(orv_env_open(env_, f_.db.c_str(), flags, 0644));
  ORV_txn *txn = nullptr;
  CHECK(orv_txn_begin(env_, nullptr, 0, &txn));
  CHECK(orv_dbi_open(
      txn, nullptr,
      (counted_ ? ORV_COUNTED : 0) | (f_.prefix ? ORV_PREFIXKEY : 0) | (dups_ ? ORV_DUPSORT : 0),
      &dbi_));
  CHECK(orv_txn_commit(txn));
}

// num distinct keys shaped like URLs and file paths: a few hosts and roots,
// a vocabulary of directory names, two to six levels, a numbered file name.
// Neighbours in key order share long prefixes, as real path sets do.
void Bench::make_paths() {
  static const char *const roots[] = {
      "https://www.example.com/", "https://docs.example.org/manual/",
      "http://cdn.example.net/",  "/home/alice/projects/",
      "/usr/share/doc/",          "/var/lib/service/data/"};
  static const char *const words[] = {
      "src",   "include", "lib",      "test",    "images", "static", "assets", "archive",
      "2023",  "2024",    "2025",     "users",   "admin",  "api",    "v1",     "v2",
      "docs",  "build",   "release",  "config",  "cache",  "logs",   "media",  "thumbs",
      "large", "small",   "products", "catalog", "orders", "blog",   "posts",  "drafts"};
  static const char *const exts[] = {".html", ".json", ".png", ".txt", ".cc", ".h"};
  std::mt19937_64 r(f_.seed * 7919 + 17);
  std::vector<std::string> keys;
  keys.reserve(size_t(f_.num) + size_t(f_.num) / 8);
  std::string k;
  while (keys.size() < size_t(f_.num) + size_t(f_.num) / 8) {
    k = roots[r() % 6];
    const unsigned depth = 2 + unsigned(r() % 5);
    for (unsigned d = 0; d < depth; d++) {
      // Skewed choice: low words are common, so paths share directories.
      const unsigned w = unsigned(r() % 32) & unsigned(r() % 32);
      k += words[w];
      k += '/';
    }
    k += "item-" + std::to_string(r() % 100000) + exts[r() % 6];
    if (k.size() > 120) k.erase(0, k.size() - 120);
    if (k.size() < 20) k.insert(0, 20 - k.size(), '_');
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  // Keep num keys spread over the whole sorted set.
  paths_.reserve(size_t(f_.num));
  const double step = double(keys.size()) / double(f_.num);
  for (long i = 0; i < f_.num && size_t(double(i) * step) < keys.size(); i++)
    paths_.push_back(std::move(keys[size_t(double(i) * step)]));
  uint64_t total = 0;
  for (const std::string &p : paths_) total += p.size();
  std::printf("PathKeys:   %zu distinct, average %.1f bytes\n", paths_.size(),
              paths_.empty() ? 0.0 : double(total) / double(paths_.size()));
}

// Key number k in buf (key_size bytes; a thread of its own passes its own).
ORV_val Bench::key_into(uint64_t k, std::string &buf) const {
  if (f_.paths) {
    const std::string &p = paths_[k % paths_.size()];
    return ORV_val{p.size(), const_cast<char *>(p.data())};
  }
  // Zero-padded decimal, so that byte order is numeric order: the last
  // key_size digits (printf's formatting cost a sixth of a random put).
  for (size_t i = buf.size(); i-- > 0;) {
    buf[i] = static_cast<char>('0' + k % 10);
    k /= 10;
  }
  return ORV_val{buf.size(), buf.data()};
}

ORV_val Bench::make_value() {
  size_t n = static_cast<size_t>(f_.value_size);
  if (vpos_ + n > values_.size()) vpos_ = 0;
  ORV_val v{n, values_.data() + vpos_};
  vpos_ += 97;
  return v;
}

void Bench::write(bool seq, long n) {
  ORV_txn *txn = nullptr;
  for (long i = 0; i < n; i++) {
    if (txn == nullptr) CHECK(orv_txn_begin(env_, nullptr, 0, &txn));
    uint64_t k = seq ? uint64_t(i) : rng_() % uint64_t(f_.num);
    ORV_val key = make_key(k), val = make_value();
    CHECK(orv_put(txn, dbi_, &key, &val, 0));
    bytes_ += key.mv_size + val.mv_size;
    if ((i + 1) % f_.batch == 0) {
      CHECK(orv_txn_commit(txn));
      txn = nullptr;
    }
  }
  if (txn) CHECK(orv_txn_commit(txn));
}

// Deletes n keys, in ascending order from 0 or drawn at random; absent
// keys (ORV_NOTFOUND) count as operations too.
void Bench::erase(bool seq, long n) {
  ORV_txn *txn = nullptr;
  long found = 0;
  for (long i = 0; i < n; i++) {
    if (txn == nullptr) CHECK(orv_txn_begin(env_, nullptr, 0, &txn));
    const uint64_t k = seq ? uint64_t(i) % uint64_t(f_.num) : rng_() % uint64_t(f_.num);
    ORV_val key = make_key(k);
    const int rc = orv_del(txn, dbi_, &key, nullptr);
    if (rc == 0) {
      found++;
      bytes_ += key.mv_size;
    } else if (rc != ORV_NOTFOUND) {
      die("orv_del", rc);
    }
    if ((i + 1) % f_.batch == 0) {
      CHECK(orv_txn_commit(txn));
      txn = nullptr;
    }
  }
  if (txn) CHECK(orv_txn_commit(txn));
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%ld of %ld found)", found, n);
  extra_ = extra;
}

// Rounds of --batch operations: the round's lookups in one read-only
// transaction, then its puts in one write transaction.
void Bench::read_write_mix(long n) {
  long found = 0, puts = 0;
  for (long done = 0; done < n;) {
    const long round = std::min(f_.batch, n - done);
    const long reads = round * f_.readwritepercent / 100;
    found += lookup_random(reads);
    ORV_txn *txn = nullptr;
    CHECK(orv_txn_begin(env_, nullptr, 0, &txn));
    for (long i = reads; i < round; i++, puts++) {
      ORV_val key = make_key(rng_() % uint64_t(f_.num)), val = make_value();
      CHECK(orv_put(txn, dbi_, &key, &val, 0));
      bytes_ += key.mv_size + val.mv_size;
    }
    CHECK(orv_txn_commit(txn));
    done += round;
  }
  char extra[96];
  std::snprintf(extra, sizeof extra, "(%ld lookups, %ld found; %ld puts)", n - puts, found, puts);
  extra_ = extra;
}

// Runs fn(t, &bytes) in threads t = 0 .. --threads - 1 at once; the sum of
// the operation counts they return.
template <class Fn>
long Bench::in_threads(Fn fn) {
  const int nt = std::max(1, f_.threads);
  std::vector<long> ops(size_t(nt), 0);
  std::vector<uint64_t> bytes(size_t(nt), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < nt; t++) threads.emplace_back([&, t] { ops[t] = fn(t, &bytes[t]); });
  long total = 0;
  for (int t = 0; t < nt; t++) {
    threads[t].join();
    total += ops[t];
    bytes_ += bytes[t];
  }
  return total;
}

// readrandom in --threads threads: n lookups shared out, each thread on its
// own read-only transaction (and so its own reader slot).
long Bench::read_random_mt(long n) {
  const int nt = std::max(1, f_.threads);
  std::vector<long> found(size_t(nt), 0);
  const long done = in_threads([&](int t, uint64_t *bytes) {
    std::mt19937_64 r(f_.seed * 31 + uint64_t(t));
    std::string buf(key_.size(), '0');
    ORV_txn *txn = nullptr;
    CHECK(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
    const long mine = n / nt + (t < n % nt ? 1 : 0);
    for (long i = 0; i < mine; i++) {
      ORV_val key = key_into(r() % uint64_t(f_.num), buf), val{};
      const int rc = orv_get(txn, dbi_, &key, &val);
      if (rc == 0) {
        found[t]++;
        *bytes += key.mv_size + val.mv_size;
      } else if (rc != ORV_NOTFOUND) {
        die("orv_get", rc);
      }
    }
    orv_txn_abort(txn);
    return mine;
  });
  long all = 0;
  for (long x : found) all += x;
  char extra[96];
  std::snprintf(extra, sizeof extra, "(%ld of %ld found, %d threads)", all, done, nt);
  extra_ = extra;
  return done;
}

// readseq in --threads threads: each walks the whole store on its own cursor.
long Bench::read_walk_mt() {
  const long done = in_threads([&](int, uint64_t *bytes) {
    ReadCursor rd(env_, dbi_);
    ORV_val k{}, v{};
    long n = 0;
    int rc = orv_cursor_get(rd.c, &k, &v, ORV_FIRST);
    for (; rc == 0; rc = orv_cursor_get(rd.c, &k, &v, ORV_NEXT)) {
      n++;
      *bytes += k.mv_size + v.mv_size;
    }
    if (rc != ORV_NOTFOUND) die("orv_cursor_get", rc);
    return n;
  });
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%d threads)", std::max(1, f_.threads));
  extra_ = extra;
  return done;
}

// n seeks shared out among --threads threads, each seek followed by 10
// steps forward; the operation count is the seeks'.
long Bench::seek_random(long n) {
  const int nt = std::max(1, f_.threads);
  const long done = in_threads([&](int t, uint64_t *bytes) {
    std::mt19937_64 r(f_.seed * 37 + uint64_t(t));
    std::string buf(key_.size(), '0');
    ReadCursor rd(env_, dbi_);
    const long mine = n / nt + (t < n % nt ? 1 : 0);
    for (long i = 0; i < mine; i++) {
      ORV_val k = key_into(r() % uint64_t(f_.num), buf), v{};
      int rc = orv_cursor_get(rd.c, &k, &v, ORV_SET_RANGE);
      for (int j = 0; rc == 0; j++) {
        *bytes += k.mv_size + v.mv_size;
        if (j == 10) break;
        rc = orv_cursor_get(rd.c, &k, &v, ORV_NEXT);
      }
      if (rc != 0 && rc != ORV_NOTFOUND) die("orv_cursor_get", rc);
    }
    return mine;
  });
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%d threads)", nt);
  extra_ = extra;
  return done;
}

// n random lookups shared out among --threads reader threads while one
// writer thread puts random keys in transactions of --batch puts until
// the readers are done. Each reader renews its snapshot every 1000
// lookups (orv_txn_reset, orv_txn_renew), so that it sees the writer's
// commits and the writer can reuse pages. Counts the readers' lookups.
long Bench::read_while_writing(long n) {
  const int nt = std::max(1, f_.threads);
  std::atomic<bool> done{false};
  long commits = 0, puts = 0;
  std::thread writer([&] {
    std::mt19937_64 r(f_.seed * 41);
    std::string buf(key_.size(), '0');
    size_t vpos = 0;
    while (!done.load(std::memory_order_relaxed)) {
      ORV_txn *txn = nullptr;
      CHECK(orv_txn_begin(env_, nullptr, 0, &txn));
      for (long i = 0; i < f_.batch; i++) {
        ORV_val key = key_into(r() % uint64_t(f_.num), buf);
        const size_t vs = static_cast<size_t>(f_.value_size);
        if (vpos + vs > values_.size()) vpos = 0;
        ORV_val val{vs, const_cast<char *>(values_.data() + vpos)};
        vpos += 97;
        CHECK(orv_put(txn, dbi_, &key, &val, 0));
      }
      CHECK(orv_txn_commit(txn));
      commits++;
      puts += f_.batch;
    }
  });
  const long reads = in_threads([&](int t, uint64_t *bytes) {
    std::mt19937_64 r(f_.seed * 43 + uint64_t(t));
    std::string buf(key_.size(), '0');
    ORV_txn *txn = nullptr;
    CHECK(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
    const long mine = n / nt + (t < n % nt ? 1 : 0);
    for (long i = 0; i < mine; i++) {
      if (i % 1000 == 999) {
        orv_txn_reset(txn);
        CHECK(orv_txn_renew(txn));
      }
      ORV_val key = key_into(r() % uint64_t(f_.num), buf), val{};
      const int rc = orv_get(txn, dbi_, &key, &val);
      if (rc == 0) {
        *bytes += key.mv_size + val.mv_size;
      } else if (rc != ORV_NOTFOUND) {
        die("orv_get", rc);
      }
    }
    orv_txn_abort(txn);
    return mine;
  });
  done.store(true, std::memory_order_relaxed);
  writer.join();
  char extra[128];
  std::snprintf(extra, sizeof extra, "(%d reader threads; writer: %ld puts in %ld commits)", nt,
                puts, commits);
  extra_ = extra;
  return reads;
}

// n lookups of random keys in one read-only transaction; how many were
// found.
long Bench::lookup_random(long n) {
  ORV_txn *txn = nullptr;
  CHECK(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
  long found = 0;
  for (long i = 0; i < n; i++) {
    ORV_val key = make_key(rng_() % uint64_t(f_.num)), val{};
    const int rc = orv_get(txn, dbi_, &key, &val);
    if (rc == 0) {
      found++;
      bytes_ += key.mv_size + val.mv_size;
    } else if (rc != ORV_NOTFOUND) {
      die("orv_get", rc);
    }
  }
  orv_txn_abort(txn);
  return found;
}

void Bench::read_random(long n) {
  const long found = lookup_random(n);
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%ld of %ld found)", found, n);
  extra_ = extra;
}

long Bench::read_walk(bool reverse) {
  ReadCursor rd(env_, dbi_);
  ORV_cursor *c = rd.c;
  ORV_val k{}, v{};
  long n = 0;
  uint64_t sum = 0;
  int rc = orv_cursor_get(c, &k, &v, reverse ? ORV_LAST : ORV_FIRST);
  while (rc == 0) {
    n++;
    bytes_ += k.mv_size + v.mv_size;
    if (f_.touch_keys) {
      const auto *p = static_cast<const unsigned char *>(k.mv_data);
      for (size_t i = 0; i < k.mv_size; i++) sum += p[i];
    }
    rc = orv_cursor_get(c, &k, &v, reverse ? ORV_PREV : ORV_NEXT);
  }
  if (rc != ORV_NOTFOUND) die("orv_cursor_get", rc);
  key_sum_ += sum;
  if (f_.touch_keys) {
    // Printed, so that it is computed; the same store gives the same sum
    // with and without --prefix when walked in the same direction.
    char extra[64];
    std::snprintf(extra, sizeof extra, "(key checksum %016" PRIx64 ")", sum);
    extra_ = extra;
  }
  return n;
}

// Entries at random ranks, through a temporary cursor each (orv_get_rank).
void Bench::rank_random(long n) {
  ORV_txn *txn = nullptr;
  CHECK(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
  uint64_t entries = 0;
  CHECK(orv_count_all(txn, dbi_, 0, &entries));
  for (long i = 0; i < n && entries > 0; i++) {
    ORV_val key{}, val{};
    CHECK(orv_get_rank(txn, dbi_, rng_() % entries, &key, &val));
    bytes_ += key.mv_size + val.mv_size;
  }
  orv_txn_abort(txn);
}

// Ranks of random keys (present or not, as readrandom looks them up) on
// one long-lived cursor.
void Bench::key_rank_random(long n) {
  ReadCursor rd(env_, dbi_);
  ORV_cursor *c = rd.c;
  long found = 0;
  uint64_t sum = 0;
  for (long i = 0; i < n; i++) {
    ORV_val key = make_key(rng_() % uint64_t(f_.num));
    uint64_t rank = 0;
    int rc = orv_cursor_key_rank(c, &key, nullptr, 0, &rank);
    if (rc == 0) {
      found++;
      sum += rank;
      bytes_ += key.mv_size;
    } else if (rc != ORV_NOTFOUND) {
      die("orv_cursor_key_rank", rc);
    }
  }
  char extra[96];
  std::snprintf(extra, sizeof extra, "(%ld of %ld found, rank sum %" PRIu64 ")", found, n, sum);
  extra_ = extra;
}

// Random key ranges [k, k + num / 10].
void Bench::count_ranges(long n) {
  ORV_txn *txn = nullptr;
  CHECK(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
  const uint64_t span = std::max<uint64_t>(1, uint64_t(f_.num) / 10);
  const uint64_t starts = uint64_t(f_.num) > span ? uint64_t(f_.num) - span : 1;
  uint64_t total = 0;
  // The low bound in a buffer of its own, made as the high one is: a
  // range costs two keys where a lookup costs one, and nothing more.
  std::string low = key_;
  for (long i = 0; i < n; i++) {
    const uint64_t k = rng_() % starts;
    ORV_val lo = key_into(k, low);
    ORV_val hi = make_key(k + span);
    uint64_t count = 0;
    CHECK(
        orv_count_range(txn, dbi_, &lo, &hi, ORV_RANGE_LOWER_INCL | ORV_RANGE_UPPER_INCL, &count));
    total += count;
  }
  orv_txn_abort(txn);
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%.1f entries per range)", n > 0 ? double(total) / n : 0.0);
  extra_ = extra;
}

// Ranks 0, 1, 2, ... on one cursor: each lookup starts from the cursor's
// cached path.
long Bench::rank_walk() {
  ReadCursor rd(env_, dbi_);
  ORV_cursor *c = rd.c;
  ORV_val k{}, v{};
  long n = 0;
  int rc;
  while ((rc = orv_cursor_get_rank(c, uint64_t(n), &k, &v, 0)) == 0) {
    n++;
    bytes_ += k.mv_size + v.mv_size;
  }
  if (rc != ORV_NOTFOUND) die("orv_cursor_get_rank", rc);
  return n;
}

// Values of key k of the duplicate store: 1 to 1000, spread over the keys.
uint64_t Bench::dup_count(uint64_t k) const { return 1 + (k * 7919 + k / 3) % 1000; }

// Value j of key k: its number in front (so that values sort by j), then
// filler bytes.
ORV_val Bench::dup_value(uint64_t k, uint64_t j) {
  const size_t n = std::min<size_t>(std::max(f_.value_size, 8), ORV_MAXKEYSIZE);
  dupval_.resize(n);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08" PRIx64, j);
  std::memcpy(dupval_.data(), buf, 8);
  for (size_t i = 8; i < n; i++) dupval_[i] = static_cast<char>('a' + (k + i) % 26);
  return ORV_val{n, dupval_.data()};
}

long Bench::fill_dups() {
  ORV_txn *txn = nullptr;
  long puts = 0;
  std::vector<uint64_t> order;
  dup_keys_ = 0;
  for (uint64_t k = 0; puts < f_.num; k++) {
    const uint64_t cnt = std::min<uint64_t>(dup_count(k), uint64_t(f_.num - puts));
    order.resize(cnt);
    for (uint64_t j = 0; j < cnt; j++) order[j] = j;
    std::shuffle(order.begin(), order.end(), rng_);
    for (uint64_t j : order) {
      if (txn == nullptr) CHECK(orv_txn_begin(env_, nullptr, 0, &txn));
      ORV_val key = make_key(k), val = dup_value(k, j);
      CHECK(orv_put(txn, dbi_, &key, &val, 0));
      bytes_ += key.mv_size + val.mv_size;
      if (++puts % f_.batch == 0) {
        CHECK(orv_txn_commit(txn));
        txn = nullptr;
      }
    }
    dup_keys_ = k + 1;
  }
  if (txn) CHECK(orv_txn_commit(txn));
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%" PRIu64 " keys)", dup_keys_);
  extra_ = extra;
  return puts;
}

long Bench::walk_dups() {
  ReadCursor rd(env_, dbi_);
  ORV_val k{}, v{};
  long n = 0;
  int rc = orv_cursor_get(rd.c, &k, &v, ORV_FIRST);
  for (; rc == 0; rc = orv_cursor_get(rd.c, &k, &v, ORV_NEXT)) {
    n++;
    bytes_ += k.mv_size + v.mv_size;
  }
  if (rc != ORV_NOTFOUND) die("orv_cursor_get", rc);
  return n;
}

void Bench::get_both(long n) {
  ReadCursor rd(env_, dbi_);
  long found = 0;
  for (long i = 0; i < n && dup_keys_ > 0; i++) {
    const uint64_t k = rng_() % dup_keys_;
    ORV_val key = make_key(k), val = dup_value(k, rng_() % dup_count(k));
    int rc = orv_cursor_get(rd.c, &key, &val, ORV_GET_BOTH);
    if (rc == 0) {
      found++;
      bytes_ += key.mv_size + val.mv_size;
    } else if (rc != ORV_NOTFOUND) {
      die("orv_cursor_get", rc);
    }
  }
  char extra[64];
  std::snprintf(extra, sizeof extra, "(%ld of %ld found)", found, n);
  extra_ = extra;
}

// Space the store takes: pages of the main database and the data file.
void Bench::stats() {
  ORV_txn *txn = nullptr;
  CHECK(orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn));
  ORV_stat st{};
  CHECK(orv_stat(txn, dbi_, &st));
  orv_txn_abort(txn);
  ORV_envinfo info{};
  CHECK(orv_env_info(env_, &info));
  struct stat sb {};
  const bool have_file = ::stat((f_.db + "/data.orv").c_str(), &sb) == 0;
  // Key and value bytes of the entries against the leaf pages' room.
  double payload = 0;
  {
    ReadCursor rd(env_, dbi_);
    ORV_cursor *c = rd.c;
    ORV_val k{}, v{};
    for (int rc = orv_cursor_get(c, &k, &v, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(c, &k, &v, ORV_NEXT))
      payload += double(k.mv_size + v.mv_size);
  }
  const double room = double(st.ms_leaf_pages) * double(st.ms_psize - 16);
  char extra[256];
  std::snprintf(
      extra, sizeof extra,
      "entries %" PRIu64 ", depth %u, leaf pages %" PRIu64 ", branch pages %" PRIu64
      ", overflow pages %" PRIu64 ", pages in use %" PRIu64
      " (%.1f MB), file %.1f MB"
      ", payload/leaf room %.1f%%",
      st.ms_entries, st.ms_depth, st.ms_leaf_pages, st.ms_branch_pages, st.ms_overflow_pages,
      info.mi_last_pgno + 1, double(info.mi_last_pgno + 1) * st.ms_psize / 1048576.0,
      have_file ? double(sb.st_size) / 1048576.0 : 0.0, room > 0 ? 100.0 * payload / room : 0.0);
  extra_ = extra;
}

void Bench::run(const std::string &name) {
  bytes_ = 0;
  extra_.clear();
  long reads = f_.reads < 0 ? f_.num : f_.reads;
  bool fill =
      name == "fillseq" || name == "fillrandom" || name == "fillplain" || name == "fillcounted";
  if (name == "fillplain" || name == "fillcounted") counted_ = name == "fillcounted";
  // The duplicate workloads run on a store of their own.
  const bool dup_work = name == "filldups" || name == "walkdups" || name == "getboth";
  if (name == "filldups" || (fill && dups_)) {
    dups_ = name == "filldups";
    fill = true;
  }
  if (dup_work && !dups_) {
    std::fprintf(stderr, "%s needs a duplicate store: run filldups first\n", name.c_str());
    return;
  }
  if (fill || env_ == nullptr) open_env(fill && !f_.use_existing_db);
  auto start = std::chrono::steady_clock::now();
  double cpu_start = cpu_seconds();
  long ops;
  if (name == "fillseq") {
    write(true, ops = f_.num);
  } else if (name == "fillrandom" || name == "overwrite" || name == "fillplain" ||
             name == "fillcounted") {
    write(false, ops = f_.num);
  } else if (name == "deleterandom" || name == "deleteseq") {
    erase(name == "deleteseq", ops = f_.deletes < 0 ? f_.num : f_.deletes);
  } else if (name == "readrandomwriterandom") {
    read_write_mix(ops = reads);
  } else if (name == "readrandom") {
    if (f_.threads > 1)
      ops = read_random_mt(reads);
    else
      read_random(ops = reads);
  } else if (name == "readseq") {
    ops = f_.threads > 1 ? read_walk_mt() : read_walk(false);
  } else if (name == "seekrandom") {
    ops = seek_random(reads);
  } else if (name == "readwhilewriting") {
    ops = read_while_writing(reads);
  } else if (name == "readreverse") {
    ops = read_walk(true);
  } else if (name == "rank") {
    rank_random(ops = reads);
  } else if (name == "keyrank") {
    key_rank_random(ops = reads);
  } else if (name == "countrange") {
    count_ranges(ops = reads);
  } else if (name == "rankseq") {
    ops = rank_walk();
  } else if (name == "filldups") {
    ops = fill_dups();
  } else if (name == "walkdups") {
    ops = walk_dups();
  } else if (name == "getboth") {
    get_both(ops = reads);
  } else if (name == "stats") {
    stats();
    std::printf("%-12s : %s\n", name.c_str(), extra_.c_str());
    std::fflush(stdout);
    return;
  } else {
    std::fprintf(stderr, "unknown benchmark '%s'\n", name.c_str());
    return;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = cpu_seconds() - cpu_start;
  double micros = ops > 0 ? secs * 1e6 / double(ops) : 0.0;
  // CPU time per op as well: on a shared machine it is the steadier figure.
  std::printf("%-12s : %11.3f micros/op; %10.0f ops/s; %7.1f MB/s; cpu %.3f micros/op %s\n",
              name.c_str(), micros, secs > 0 ? double(ops) / secs : 0.0,
              secs > 0 ? double(bytes_) / 1048576.0 / secs : 0.0,
              ops > 0 ? cpu * 1e6 / double(ops) : 0.0, extra_.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  Flags f;
  for (int i = 1; i < argc; i++) {
    if (!parse_flag(argv[i], f)) {
      std::fprintf(stderr,
                   "usage: %s [--benchmarks=a,b,...] [--num=N] [--reads=N] [--key_size=N]\n"
                   "          [--value_size=N] [--batch=N] [--sync=0|1] [--writemap=0|1]\n"
                   "          [--nordahead=0|1]\n"
                   "          [--counted=0|1] [--prefix=0|1] [--keys=num|paths]\n"
                   "          [--deletes=N] [--readwritepercent=N] [--threads=N]\n"
                   "          [--use_existing_db=0|1] [--mapsize_mb=N]\n"
                   "          [--seed=N] [--db=path]\n"
                   "invalid flag '%s'\n",
                   argv[0], argv[i]);
      return 1;
    }
  }
  if (f.num <= 0 || f.batch <= 0 || f.threads < 1 || f.key_size < 1 ||
      f.key_size > ORV_MAXKEYSIZE || f.value_size < 0 || f.readwritepercent < 0 ||
      f.readwritepercent > 100) {
    std::fprintf(stderr, "%s: --num and --batch must be positive, --key_size 1 to %d\n", argv[0],
                 ORV_MAXKEYSIZE);
    return 1;
  }
  // A store at the default path is temporary; one given with --db stays.
  bool temporary = f.db.empty();
  if (temporary) f.db = "/tmp/orv_bench-" + std::to_string(getpid());
  print_header(f);
  {
    Bench bench(f);
    size_t pos = 0;
    while (pos <= f.benchmarks.size()) {
      size_t comma = f.benchmarks.find(',', pos);
      if (comma == std::string::npos) comma = f.benchmarks.size();
      std::string name = f.benchmarks.substr(pos, comma - pos);
      if (!name.empty()) bench.run(name);
      pos = comma + 1;
    }
  }
  if (temporary) {
    unlink((f.db + "/data.orv").c_str());
    unlink((f.db + "/lock.orv").c_str());
    rmdir(f.db.c_str());
  }
  return 0;
}
