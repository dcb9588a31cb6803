// RocksDB, configured for this job after its basic tuning guide: level
// compaction with dynamic level sizes, background work spread over the
// machine's cores (IncreaseParallelism), a bloom filter of 10 bits per key,
// index and filter blocks kept in a block cache that holds the whole data
// set (level-0 ones pinned), table format 5, the default compression, writes
// without sync. The guide's 16 KiB blocks save space; this job is point
// reads and walks of a cached store, so blocks stay at 4 KiB, as LevelDB's.
// A write transaction is one WriteBatch. Reads run on one snapshot, walks
// and seeks through one iterator reused for the session, lookups into one
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

namespace orv_compare {
namespace {

class RocksdbEngine final : public Engine {
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
    delete it_;
    it_ = nullptr;
    if (snap_) db_->ReleaseSnapshot(snap_);
    snap_ = nullptr;
    if (db_) check("DB::Close", db_->Close());
    delete db_;
    db_ = nullptr;
  }

  void write_begin() override { batch_.Clear(); }
  void put(Bytes key, Bytes value) override { check("Put", batch_.Put(slice(key), slice(value))); }
  void del(Bytes key) override { check("Delete", batch_.Delete(slice(key))); }
  void write_commit() override {
    check("DB::Write", db_->Write(rocksdb::WriteOptions(), &batch_));
    batch_.Clear();
  }

  void read_begin() override {
    snap_ = db_->GetSnapshot();
    ro_ = rocksdb::ReadOptions();
    ro_.snapshot = snap_;
    it_ = db_->NewIterator(ro_);
  }
  bool get(Bytes key, uint64_t *sum) override {
    value_.Reset();
    rocksdb::Status s = db_->Get(ro_, db_->DefaultColumnFamily(), slice(key), &value_);
    if (s.IsNotFound()) return false;
    check("DB::Get", s);
    *sum += touch(nullptr, 0, value_.data(), value_.size());
    return true;
  }
  uint64_t scan(bool reverse, uint64_t *sum) override {
    uint64_t n = 0, t = 0;
    if (reverse) {
      for (it_->SeekToLast(); it_->Valid(); it_->Prev()) {
        n++;
        t += entry();
      }
    } else {
      for (it_->SeekToFirst(); it_->Valid(); it_->Next()) {
        n++;
        t += entry();
      }
    }
    check("Iterator", it_->status());
    *sum += t;
    return n;
  }
  int seek(Bytes key, int nnext, uint64_t *sum) override {
    int n = 0;
    for (it_->Seek(slice(key)); it_->Valid(); it_->Next()) {
      n++;
      *sum += entry();
      if (n > nnext) break;
    }
    check("Iterator", it_->status());
    return n;
  }
  void visit(Visitor &out) override {
    for (it_->SeekToFirst(); it_->Valid(); it_->Next())
      out.entry(Bytes{it_->key().data(), it_->key().size()},
                Bytes{it_->value().data(), it_->value().size()});
    check("Iterator", it_->status());
  }
  void read_end() override {
    value_.Reset();
    delete it_;
    it_ = nullptr;
    db_->ReleaseSnapshot(snap_);
    snap_ = nullptr;
  }

 private:
  static rocksdb::Slice slice(Bytes b) { return rocksdb::Slice(b.data, b.size); }
  uint64_t entry() const {
    const rocksdb::Slice k = it_->key(), v = it_->value();
    return touch(k.data(), k.size(), v.data(), v.size());
  }
  void check(const char *what, const rocksdb::Status &s) const {
    if (!s.ok()) compare_fail(name(), what, s.ToString());
  }

  rocksdb::DB *db_ = nullptr;
  const rocksdb::Snapshot *snap_ = nullptr;
  rocksdb::Iterator *it_ = nullptr;
  rocksdb::ReadOptions ro_;
  rocksdb::WriteBatch batch_;
  rocksdb::PinnableSlice value_;
  size_t cache_bytes_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_rocksdb_engine() { return std::make_unique<RocksdbEngine>(); }

}  // namespace orv_compare
