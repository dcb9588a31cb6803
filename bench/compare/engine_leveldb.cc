// LevelDB, configured for this job as its documentation advises: a bloom
// filter of 10 bits per key (point reads of absent keys skip the table
// files), a block cache that holds the whole data set, the default
// compression, writes without sync. Batches and read sessions are those of
// LsmEngine; lookups reuse one value string.
#include <leveldb/cache.h>
#include <leveldb/db.h>
#include <leveldb/filter_policy.h>
#include <leveldb/write_batch.h>

#include <string>

#include "compare/engine.h"
#include "compare/lsm_engine.h"

namespace orv_compare {
namespace {

struct LeveldbApi {
  using DB = leveldb::DB;
  using Iterator = leveldb::Iterator;
  using Snapshot = leveldb::Snapshot;
  using ReadOptions = leveldb::ReadOptions;
  using WriteOptions = leveldb::WriteOptions;
  using WriteBatch = leveldb::WriteBatch;
  using Slice = leveldb::Slice;
  using Status = leveldb::Status;
};

class LeveldbEngine final : public LsmEngine<LeveldbApi> {
 public:
  ~LeveldbEngine() override { close(); }

  const char *name() const override { return "leveldb"; }
  std::string describe() const override {
    return "LevelDB " + std::to_string(leveldb::kMajorVersion) + "." +
           std::to_string(leveldb::kMinorVersion) + ", bloom filter 10 bits/key, block cache " +
           std::to_string(cache_bytes_ >> 20) + " MiB, default compression, no sync";
  }

  void open(const Config &cfg, bool fresh) override {
    close();
    if (fresh) remove_tree(cfg.dir);
    cache_bytes_ = cfg.cache_bytes;
    cache_ = leveldb::NewLRUCache(cfg.cache_bytes);
    filter_ = leveldb::NewBloomFilterPolicy(10);
    leveldb::Options o;
    o.create_if_missing = true;
    o.block_cache = cache_;
    o.filter_policy = filter_;
    check("DB::Open", leveldb::DB::Open(o, cfg.dir, &db_));
  }

  void close() override {
    if (db_) read_end();
    delete db_;
    db_ = nullptr;
    delete cache_;
    cache_ = nullptr;
    delete filter_;
    filter_ = nullptr;
  }

  bool get(Bytes key, uint64_t *sum) override {
    leveldb::Status s = db_->Get(ro_, slice(key), &value_);
    if (s.IsNotFound()) return false;
    check("DB::Get", s);
    *sum += touch(nullptr, 0, value_.data(), value_.size());
    return true;
  }

 private:
  leveldb::Cache *cache_ = nullptr;
  const leveldb::FilterPolicy *filter_ = nullptr;
  std::string value_;
  size_t cache_bytes_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_leveldb_engine() { return std::make_unique<LeveldbEngine>(); }

}  // namespace orv_compare
