// One engine's run through the workloads, with the checks of everything
// it hands back.
//
// Workloads (16-byte zero-padded decimal keys drawn from 0 .. num-1,
// value_size-byte values, writes in transactions of --batch operations,
// no sync; every read touches the first byte of the key and of the value):
//   fillseq       num puts in ascending key order into a new store
//   fillrandom    num puts of random keys into a new store
//   overwrite     --writes puts of random keys into the store (num/2)
//   deleterandom  --deletes deletes of random keys (num/4; some absent)
//   readrandom    --reads point lookups of random keys (num)
//   readseq       the whole store forward (time per entry)
//   readreverse   the whole store backward (time per entry)
//   seekrandom    --seeks seeks to a random key, each followed by
//                 --seek_nexts steps forward (num seeks of 1 + 10 entries)
//   readrandomwriterandom
//                 --reads operations (num), 90 % lookups and 10 % puts of
//                 random keys, in rounds of --batch: a read session of the
//                 round's lookups, then a write batch of its puts
//   deleteseq     --deletes deletes of keys 0, 1, 2, ... in ascending order
//                 (num/4; keys deleted before are absent)
//
// Every engine sees the same operations in the same order (one seeded
// generator per workload). A model of the store (which keys are present,
// with which value) is kept outside the timed loops. Each read workload is
// checked against it: how many keys the lookups found, how many entries a
// walk or the seeks visited, and the sum of the first bytes handed back.
// After each write workload the whole store is walked and every key and
// value compared with the model. Before the first read after writes the
// engine is closed and reopened, then walked and checked once untimed, so
// that reads run warm as they would in a long-running process.
#include "compare/workloads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace orv_compare {

const char *const kAllWorkloads =
    "fillseq,fillrandom,overwrite,deleterandom,readrandom,readseq,readreverse,seekrandom,"
    "readrandomwriterandom,deleteseq";

[[noreturn]] void compare_fail(const char *engine, const char *what, const std::string &detail) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s failed: %s\n", engine, what, detail.c_str());
  std::exit(2);
}

void remove_tree(const std::string &path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::vector<std::string> split(const std::string &s) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    if (comma == std::string::npos) comma = s.size();
    if (comma > pos) out.push_back(s.substr(pos, comma - pos));
    pos = comma + 1;
  }
  return out;
}

// Engines of this build, in the order the table shows them (a peer whose
// development package was not found at build time is not compiled in).
struct EngineEntry {
  const char *name;
  std::unique_ptr<Engine> (*make)();
};

const EngineEntry kEngines[] = {
    {"eldran", [] { return new_eldran_engine(false); }},
    {"eldran-writemap", [] { return new_eldran_engine(true); }},
#ifdef ORV_COMPARE_SQLITE
    {"sqlite", new_sqlite_engine},
#endif
#ifdef ORV_COMPARE_LEVELDB
    {"leveldb", new_leveldb_engine},
#endif
#ifdef ORV_COMPARE_ROCKSDB
    {"rocksdb", new_rocksdb_engine},
#endif
#ifdef ORV_COMPARE_BDB
    {"bdb", new_bdb_engine},
#endif
};

std::vector<std::string> compiled_engines() {
  std::vector<std::string> v;
  for (const EngineEntry &e : kEngines) v.push_back(e.name);
  return v;
}

std::unique_ptr<Engine> make_engine(const std::string &name) {
  for (const EngineEntry &e : kEngines)
    if (name == e.name) return e.make();
  return nullptr;
}

namespace {

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// splitmix64: cheap enough to leave the timed loops to the engines.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
};

// ---- One engine's run (the child) -------------------------------------------------------------

// What a timed loop saw: operations timed, entries found or visited, and the
// sum of the first bytes handed back.
struct Outcome {
  long ops = 0;
  uint64_t count = 0;
  uint64_t sum = 0;
};

enum class Kind { kFillSeq, kPut, kDelete, kDeleteSeq, kGet, kWalk, kWalkBack, kSeek, kMix };

// The lookups of each round of readrandomwriterandom, in percent.
inline constexpr long kMixReadPercent = 90;

struct Workload {
  const char *name;
  Kind kind;
  bool fresh;  // starts from an empty store
};

const Workload kWorkloads[] = {
    {"fillseq", Kind::kFillSeq, true},
    {"fillrandom", Kind::kPut, true},
    {"overwrite", Kind::kPut, false},
    {"deleterandom", Kind::kDelete, false},
    {"readrandom", Kind::kGet, false},
    {"readseq", Kind::kWalk, false},
    {"readreverse", Kind::kWalkBack, false},
    {"seekrandom", Kind::kSeek, false},
    {"readrandomwriterandom", Kind::kMix, false},
    {"deleteseq", Kind::kDeleteSeq, false},
};

const Workload *find_workload(const std::string &name) {
  for (const Workload &w : kWorkloads)
    if (name == w.name) return &w;
  return nullptr;
}

bool is_write(Kind k) {
  return k == Kind::kFillSeq || k == Kind::kPut || k == Kind::kDelete || k == Kind::kDeleteSeq ||
         k == Kind::kMix;
}

// Lookups of a round of n operations of readrandomwriterandom; the rest
// are puts.
long mix_reads(long n) { return n * kMixReadPercent / 100; }

class Runner {
 public:
  Runner(const Flags &f, Engine &e, const Config &cfg)
      : f_(f), e_(e), cfg_(cfg), present_(size_t(f.num), 0) {
    values_.resize(size_t{1} << 20);
    Rng r{f.seed ^ 0x5bd1e995};
    for (char &c : values_) c = char('a' + r.next() % 26);
  }

  void run(const Workload &w, int index);
  void finish() {
    if (open_) e_.close();
    open_ = false;
  }

 private:
  // Key k as 16 zero-padded decimal digits: byte order is numeric order.
  Bytes key(uint64_t k) {
    for (int i = 15; i >= 0; i--, k /= 10) kbuf_[i] = char('0' + k % 10);
    return Bytes{kbuf_, 16};
  }
  size_t value_offset(uint64_t w) const {
    return size_t((w * 97) % (values_.size() - size_t(f_.value_size) + 1));
  }
  const char *value_of(uint64_t k) const { return values_.data() + present_[k] - 1; }
  uint64_t expect_touch(uint64_t k) {
    const Bytes kb = key(k);
    return touch(kb.data, kb.size, value_of(k), size_t(f_.value_size));
  }
  long count_for(const Workload &w) const;

  Outcome timed(const Workload &w, long n, uint64_t seed);
  Outcome expected(const Workload &w, long n, uint64_t seed);
  void apply(const Workload &w, long n, uint64_t seed);
  void check(const char *what, const Outcome &got, const Outcome &want);
  uint64_t verify_store(const std::string &when);

  const Flags &f_;
  Engine &e_;
  const Config &cfg_;
  std::string values_;
  char kbuf_[16];
  // present_[k]: 1 + offset in values_ of key k's value, 0 when absent.
  std::vector<uint32_t> present_;
  uint64_t writes_ = 0;  // puts so far: picks each put's value
  bool open_ = false;
  bool dirty_ = false;  // written since the last reopen
};

long Runner::count_for(const Workload &w) const {
  const long num = f_.num;
  const std::string name = w.name;
  if (name == "overwrite") return f_.writes < 0 ? num / 2 : f_.writes;
  if (name == "deleterandom" || name == "deleteseq") return f_.deletes < 0 ? num / 4 : f_.deletes;
  if (name == "readrandom" || name == "readrandomwriterandom") return f_.reads < 0 ? num : f_.reads;
  if (name == "seekrandom") return f_.seeks < 0 ? num : f_.seeks;
  return num;
}

// Only engine calls and key making inside: this is what the clock measures.
Outcome Runner::timed(const Workload &w, long n, uint64_t seed) {
  Rng r{seed};
  const uint64_t num = uint64_t(f_.num);
  Outcome o;
  o.ops = n;
  switch (w.kind) {
    case Kind::kFillSeq:
    case Kind::kPut:
    case Kind::kDelete:
    case Kind::kDeleteSeq: {
      uint64_t wr = writes_;
      const size_t vsize = size_t(f_.value_size);
      const bool seq = w.kind == Kind::kFillSeq || w.kind == Kind::kDeleteSeq;
      for (long i = 0; i < n; i++) {
        if (i % f_.batch == 0) e_.write_begin();
        const uint64_t k = seq ? uint64_t(i) % num : r.next() % num;
        if (w.kind == Kind::kDelete || w.kind == Kind::kDeleteSeq) {
          e_.del(key(k));
        } else {
          e_.put(key(k), Bytes{values_.data() + value_offset(wr++), vsize});
        }
        if ((i + 1) % f_.batch == 0 || i + 1 == n) e_.write_commit();
      }
      break;
    }
    case Kind::kGet:
      e_.read_begin();
      for (long i = 0; i < n; i++) o.count += e_.get(key(r.next() % num), &o.sum);
      e_.read_end();
      break;
    case Kind::kWalk:
    case Kind::kWalkBack:
      e_.read_begin();
      o.count = e_.scan(w.kind == Kind::kWalkBack, &o.sum);
      e_.read_end();
      o.ops = long(o.count);  // time per entry
      break;
    case Kind::kSeek: {
      const int nnext = int(f_.seek_nexts);
      e_.read_begin();
      for (long i = 0; i < n; i++) o.count += uint64_t(e_.seek(key(r.next() % num), nnext, &o.sum));
      e_.read_end();
      break;
    }
    case Kind::kMix: {
      uint64_t wr = writes_;
      const size_t vsize = size_t(f_.value_size);
      for (long done = 0; done < n;) {
        const long round = std::min(f_.batch, n - done), reads = mix_reads(round);
        e_.read_begin();
        for (long i = 0; i < reads; i++) o.count += e_.get(key(r.next() % num), &o.sum);
        e_.read_end();
        e_.write_begin();
        for (long i = reads; i < round; i++)
          e_.put(key(r.next() % num), Bytes{values_.data() + value_offset(wr++), vsize});
        e_.write_commit();
        done += round;
      }
      break;
    }
  }
  return o;
}

// What a read workload must see, from the model and the same random keys.
Outcome Runner::expected(const Workload &w, long n, uint64_t seed) {
  Rng r{seed};
  const uint64_t num = uint64_t(f_.num);
  Outcome o;
  switch (w.kind) {
    case Kind::kGet:
      for (long i = 0; i < n; i++) {
        const uint64_t k = r.next() % num;
        if (present_[k] == 0) continue;
        o.count++;
        o.sum += touch(nullptr, 0, value_of(k), size_t(f_.value_size));
      }
      break;
    case Kind::kWalk:
    case Kind::kWalkBack:
      for (uint64_t k = 0; k < num; k++) {
        if (present_[k] == 0) continue;
        o.count++;
        o.sum += expect_touch(k);
      }
      break;
    case Kind::kSeek:
      for (long i = 0; i < n; i++) {
        uint64_t k = r.next() % num;
        for (long seen = 0; k < num && seen <= f_.seek_nexts; k++) {
          if (present_[k] == 0) continue;
          seen++;
          o.count++;
          o.sum += expect_touch(k);
        }
      }
      break;
    case Kind::kMix: {
      // The lookups of each round see the puts of the rounds before it.
      std::vector<uint32_t> present = present_;
      uint64_t wr = writes_;
      for (long done = 0; done < n;) {
        const long round = std::min(f_.batch, n - done), reads = mix_reads(round);
        for (long i = 0; i < reads; i++) {
          const uint64_t k = r.next() % num;
          if (present[k] == 0) continue;
          o.count++;
          o.sum += touch(nullptr, 0, values_.data() + present[k] - 1, size_t(f_.value_size));
        }
        for (long i = reads; i < round; i++)
          present[r.next() % num] = uint32_t(value_offset(wr++) + 1);
        done += round;
      }
      break;
    }
    default:
      break;
  }
  o.ops = w.kind == Kind::kWalk || w.kind == Kind::kWalkBack ? long(o.count) : n;
  return o;
}

// The writes of a write workload, applied to the model.
void Runner::apply(const Workload &w, long n, uint64_t seed) {
  Rng r{seed};
  const uint64_t num = uint64_t(f_.num);
  if (w.kind == Kind::kMix) {
    for (long done = 0; done < n;) {
      const long round = std::min(f_.batch, n - done), reads = mix_reads(round);
      for (long i = 0; i < reads; i++) r.next();
      for (long i = reads; i < round; i++)
        present_[r.next() % num] = uint32_t(value_offset(writes_++) + 1);
      done += round;
    }
    return;
  }
  const bool seq = w.kind == Kind::kFillSeq || w.kind == Kind::kDeleteSeq;
  const bool del = w.kind == Kind::kDelete || w.kind == Kind::kDeleteSeq;
  for (long i = 0; i < n; i++) {
    const uint64_t k = seq ? uint64_t(i) % num : r.next() % num;
    present_[k] = del ? 0 : uint32_t(value_offset(writes_++) + 1);
  }
}

void Runner::check(const char *what, const Outcome &got, const Outcome &want) {
  if (got.count != want.count)
    compare_fail(
        e_.name(), what,
        "saw " + std::to_string(got.count) + " entries, expected " + std::to_string(want.count));
  if (got.sum != want.sum)
    compare_fail(e_.name(), what,
                 "handed back other keys or values (byte sum " + std::to_string(got.sum) +
                     ", expected " + std::to_string(want.sum) + ")");
}

// Walks the whole store (untimed) and compares every key and value with
// the model: the same keys in ascending order, each with its latest value.
uint64_t Runner::verify_store(const std::string &when) {
  struct Check final : Engine::Visitor {
    Runner &r;
    uint64_t next = 0;  // the model's keys below next have been seen
    uint64_t entries = 0;
    std::string error;
    explicit Check(Runner &runner) : r(runner) {}
    void entry(Bytes k, Bytes v) override {
      if (!error.empty()) return;
      while (next < r.present_.size() && r.present_[next] == 0) next++;
      if (next == r.present_.size()) {
        error = "an entry past the last key";
        return;
      }
      const Bytes want = r.key(next);
      if (k.size != want.size || std::memcmp(k.data, want.data, k.size) != 0) {
        error = "key " + std::string(k.data, k.size) + " where " +
                std::string(want.data, want.size) + " was expected";
      } else if (v.size != size_t(r.f_.value_size) ||
                 std::memcmp(v.data, r.value_of(next), v.size) != 0) {
        error = "a wrong value for key " + std::string(want.data, want.size);
      }
      next++;
      entries++;
    }
  } check(*this);
  e_.read_begin();
  e_.visit(check);
  e_.read_end();
  uint64_t live = 0;
  for (uint32_t p : present_) live += p != 0;
  if (check.error.empty() && check.entries != live)
    check.error = std::to_string(check.entries) + " entries, expected " + std::to_string(live);
  if (!check.error.empty()) compare_fail(e_.name(), ("check " + when).c_str(), check.error);
  return check.entries;
}

void Runner::run(const Workload &w, int index) {
  const uint64_t seed = f_.seed * 1000003 + uint64_t(index) * 7919;
  if (w.fresh) {
    if (open_) e_.close();
    e_.open(cfg_, true);
    open_ = true;
    std::fill(present_.begin(), present_.end(), 0);
  } else if (!open_) {
    // A run that starts without a fill starts from an empty store.
    e_.open(cfg_, true);
    open_ = true;
  } else if (!is_write(w.kind) && dirty_) {
    // Reads run on a store reopened after the writes, walked once so that
    // they run warm.
    e_.close();
    e_.open(cfg_, false);
    verify_store("after reopen");
    dirty_ = false;
  }

  const long n = count_for(w);
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = cpu_seconds();
  const Outcome got = timed(w, n, seed);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_start;

  char extra[96] = "";
  // The lookups of the mix are checked against the model as it was.
  if (w.kind == Kind::kMix) check(w.name, got, expected(w, n, seed));
  if (is_write(w.kind)) {
    apply(w, n, seed);
    dirty_ = true;
    // Every write workload is checked by a walk of the whole store (untimed).
    const uint64_t entries = verify_store(std::string("after ") + w.name);
    std::snprintf(extra, sizeof extra, "(%" PRIu64 " entries after)", entries);
  } else {
    check(w.name, got, expected(w, n, seed));
    if (w.kind == Kind::kGet)
      std::snprintf(extra, sizeof extra, "(%" PRIu64 " of %ld found)", got.count, n);
    if (w.kind == Kind::kSeek)
      std::snprintf(extra, sizeof extra, "(%" PRIu64 " entries visited)", got.count);
  }
  const double us = got.ops > 0 ? secs * 1e6 / double(got.ops) : 0.0;
  const double cpu_us = got.ops > 0 ? cpu * 1e6 / double(got.ops) : 0.0;
  std::printf("%-16s %-21s : %10.4f micros/op; cpu %10.4f micros/op; %9ld ops %s\n", e_.name(),
              w.name, us, cpu_us, got.ops, extra);
  // The line the driver reads.
  std::printf("@result %s %.6f %.6f %ld\n", w.name, us, cpu_us, got.ops);
  std::fflush(stdout);
}

}  // namespace

bool is_workload(const std::string &name) { return find_workload(name) != nullptr; }

int run_child(const Flags &f) {
  std::unique_ptr<Engine> e = make_engine(f.engine);
  if (!e) {
    std::fprintf(stderr, "unknown engine '%s'\n", f.engine.c_str());
    return 1;
  }
  // Run alone (without the driver), a child keeps its store in a
  // temporary directory.
  const bool temporary = f.db.empty();
  const std::string base = temporary ? "/tmp/orv_compare-" + std::to_string(getpid()) : f.db;
  mkdir(base.c_str(), 0755);
  Config cfg;
  cfg.dir = base + "/" + f.engine;
  cfg.num = f.num;
  cfg.value_size = size_t(f.value_size);
  const double raw = double(cfg.num) * double(cfg.key_size + cfg.value_size);
  cfg.cache_bytes =
      f.cache_mb > 0 ? size_t(f.cache_mb) << 20 : std::max(size_t{64} << 20, size_t(4 * raw));
  std::vector<const Workload *> list;
  for (const std::string &name : split(f.benchmarks)) {
    const Workload *w = find_workload(name);
    if (!w) {
      std::fprintf(stderr, "unknown workload '%s' (known: %s)\n", name.c_str(), kAllWorkloads);
      return 1;
    }
    list.push_back(w);
  }
  Runner runner(f, *e, cfg);
  bool described = false;
  for (size_t i = 0; i < list.size(); i++) {
    runner.run(*list[i], int(i));
    if (!described) {
      std::printf("@config %s\n", e->describe().c_str());
      described = true;
    }
  }
  runner.finish();
  remove_tree(temporary ? base : cfg.dir);
  return 0;
}

}  // namespace orv_compare
