// RocksDB, configured for this job after its basic tuning guide: level
// compaction with dynamic level sizes, background work spread over the
// machine's cores (IncreaseParallelism), a bloom filter of 10 bits per key,
// index and filter blocks kept in a block cache that holds the whole data
// set (level-0 ones pinned), table format 5, the default compression, writes
// without sync. The guide's 16 KiB blocks save space; this job is point
// reads and walks of a cached store, so blocks stay at 4 KiB, as LevelDB's.
// Batches and read sessions are those of LsmEngine; lookups go into one
// PinnableSlice (no copy of the value).
#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/options.h>
#include <rocksdb/table.h>
#include <rocksdb/version.h>
#include <rocksdb/write_batch.h>
#include <unistd.h>

#include <string>

#include "compare/engine.h"
#include "compare/lsm_engine.h"

namespace orv_compare {
namespace {

struct RocksdbApi {
  using DB = rocksdb::DB;
  using Iterator = rocksdb::Iterator;
  using Snapshot = rocksdb::Snapshot;
  using ReadOptions = rocksdb::ReadOptions;
  using WriteOptions = rocksdb::WriteOptions;
  using WriteBatch = rocksdb::WriteBatch;
  using Slice = rocksdb::Slice;
  using Status = rocksdb::Status;
};

class RocksdbEngine final : public LsmEngine<RocksdbApi> {
 public:
  ~RocksdbEngine() override { close(); }

  const char *name() const override { return "rocksdb"; }
  std::string describe() const override {
    return "RocksDB " + std::to_string(ROCKSDB_MAJOR) + "." + std::to_string(ROCKSDB_MINOR) +
           ", level compaction (dynamic level bytes), bloom filter 10 bits/key, block cache " +
           std::to_string(cache_bytes_ >> 20) +
           " MiB with index and filter blocks, 4 KiB blocks, default compression, no sync";
  }

  void open(const Config &cfg, bool fresh) override {
    close();
    if (fresh) remove_tree(cfg.dir);
    cache_bytes_ = cfg.cache_bytes;
    rocksdb::BlockBasedTableOptions t;
    t.block_cache = rocksdb::NewLRUCache(cfg.cache_bytes);
    t.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10, false));
    t.cache_index_and_filter_blocks = true;
    t.pin_l0_filter_and_index_blocks_in_cache = true;
    t.format_version = 5;
    rocksdb::Options o;
    o.create_if_missing = true;
    o.IncreaseParallelism(int(sysconf(_SC_NPROCESSORS_ONLN)));
    o.level_compaction_dynamic_level_bytes = true;
    o.compaction_pri = rocksdb::kMinOverlappingRatio;
    o.bytes_per_sync = 1 << 20;
    o.table_factory.reset(rocksdb::NewBlockBasedTableFactory(t));
    check("DB::Open", rocksdb::DB::Open(o, cfg.dir, &db_));
  }

  void close() override {
    if (db_) {
      value_.Reset();
      read_end();
      check("DB::Close", db_->Close());
    }
    delete db_;
    db_ = nullptr;
  }

  bool get(Bytes key, uint64_t *sum) override {
    value_.Reset();
    rocksdb::Status s = db_->Get(ro_, db_->DefaultColumnFamily(), slice(key), &value_);
    if (s.IsNotFound()) return false;
    check("DB::Get", s);
    *sum += touch(nullptr, 0, value_.data(), value_.size());
    return true;
  }
  void read_end() override {
    value_.Reset();  // lets go of the block it pins
    LsmEngine::read_end();
  }

 private:
  rocksdb::PinnableSlice value_;
  size_t cache_bytes_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_rocksdb_engine() { return std::make_unique<RocksdbEngine>(); }

}  // namespace orv_compare
