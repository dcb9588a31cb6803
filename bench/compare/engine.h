// The interface every engine of orv_compare implements, so that one driver
// runs the same workloads, keys, values and checks on each of them.
//
// Each engine runs in a process of its own; an engine that meets an error
// reports it through compare_fail(), which ends the process (the driver
// then reports the engine as failed and goes on with the next one).
//
// Life of an engine: open(fresh) → write batches (write_begin, put/del …,
// write_commit) and read sessions (read_begin, get/scan/seek …, read_end),
// never both at once → close(). Every read hands back the first byte of
// the key and of the value it saw through touch(), so that the bytes are
// really loaded and the driver can check what came back.
#ifndef ORV_BENCH_COMPARE_ENGINE_H
#define ORV_BENCH_COMPARE_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orv_compare {

struct Bytes {
  const char *data;
  size_t size;
};

struct Config {
  std::string dir;  // the engine's own directory (created by the driver)
  long num = 0;     // key space: keys 0 .. num-1
  size_t key_size = 16;
  size_t value_size = 100;
  size_t cache_bytes = 0;  // a cache that holds the whole data set
};

class Engine {
 public:
  virtual ~Engine() = default;
  virtual const char *name() const = 0;
  // One line on how the engine is configured, printed by the driver.
  virtual std::string describe() const = 0;

  // fresh: start from an empty store (files of an earlier store removed).
  virtual void open(const Config &cfg, bool fresh) = 0;
  virtual void close() = 0;

  // One write transaction (a batch): puts and deletes are durable together
  // at write_commit, without a sync.
  virtual void write_begin() = 0;
  virtual void put(Bytes key, Bytes value) = 0;
  virtual void del(Bytes key) = 0;
  virtual void write_commit() = 0;

  // One consistent read snapshot for the reads between the two calls.
  virtual void read_begin() = 0;
  // Point lookup: true when found; adds the value's first byte to *sum.
  virtual bool get(Bytes key, uint64_t *sum) = 0;
  // Whole store in key order (reverse: descending); adds touch() of every
  // entry to *sum and returns the number of entries.
  virtual uint64_t scan(bool reverse, uint64_t *sum) = 0;
  // Positions at the first key >= key and steps forward nnext times (fewer
  // at the end); adds touch() of every entry visited to *sum and returns how
  // many were visited (0 when no key is >= key).
  virtual int seek(Bytes key, int nnext, uint64_t *sum) = 0;
  virtual void read_end() = 0;

  // Every entry in ascending key order, inside a read session and outside
  // any timing: the driver compares each key and value in full.
  class Visitor {
   public:
    virtual void entry(Bytes key, Bytes value) = 0;

   protected:
    ~Visitor() = default;
  };
  virtual void visit(Visitor &v) = 0;
};

// First bytes of a key and a value: what every read of the comparison
// touches, and the figure the driver checks.
inline uint64_t touch(const void *key, size_t ksize, const void *value, size_t vsize) {
  uint64_t s = ksize ? static_cast<const unsigned char *>(key)[0] : 0;
  if (vsize) s += uint64_t{static_cast<const unsigned char *>(value)[0]} << 8;
  return s;
}

[[noreturn]] void compare_fail(const char *engine, const char *what, const std::string &detail);

// Engines compiled into this build (a peer whose development package was
// not found at build time is left out).
std::unique_ptr<Engine> new_eldran_engine(bool writemap);
#ifdef ORV_COMPARE_SQLITE
std::unique_ptr<Engine> new_sqlite_engine();
#endif
#ifdef ORV_COMPARE_LEVELDB
std::unique_ptr<Engine> new_leveldb_engine();
#endif
#ifdef ORV_COMPARE_ROCKSDB
std::unique_ptr<Engine> new_rocksdb_engine();
#endif
#ifdef ORV_COMPARE_BDB
std::unique_ptr<Engine> new_bdb_engine();
#endif

// Removes a directory and everything below it (no error if absent).
void remove_tree(const std::string &path);

}  // namespace orv_compare

#endif  // ORV_BENCH_COMPARE_ENGINE_H
