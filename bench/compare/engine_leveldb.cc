// LevelDB, configured for this job as its documentation advises: a bloom
// filter of 10 bits per key (point reads of absent keys skip the table
// files), a block cache that holds the whole data set, the default
// compression, writes without sync. A write transaction is one WriteBatch of
// the batch's puts and deletes. Reads run on one snapshot, walks and seeks
// through one iterator reused for the whole read session; lookups reuse one
// value string.
#include <leveldb/cache.h>
#include <leveldb/db.h>
#include <leveldb/filter_policy.h>
#include <leveldb/write_batch.h>

#include <string>

#include "compare/engine.h"

namespace orv_compare {
namespace {

class LeveldbEngine final : public Engine {
 public:
  ~LeveldbEngine() override { close(); }

  const char *name() const override { return "leveldb"; }
  std::string describe() const override {
    return "LevelDB " + std::to_string(leveldb::kMajorVersion) + "." +
           std::to_string(leveldb::kMinorVersion) +
           ", bloom filter 10 bits/key, block cache " + std::to_string(cache_bytes_ >> 20) +
           " MiB, default compression, no sync";
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
    delete it_;
    it_ = nullptr;
    if (snap_) db_->ReleaseSnapshot(snap_);
    snap_ = nullptr;
    delete db_;
    db_ = nullptr;
    delete cache_;
    cache_ = nullptr;
    delete filter_;
    filter_ = nullptr;
  }

  void write_begin() override { batch_.Clear(); }
  void put(Bytes key, Bytes value) override { batch_.Put(slice(key), slice(value)); }
  void del(Bytes key) override { batch_.Delete(slice(key)); }
  void write_commit() override {
    check("DB::Write", db_->Write(leveldb::WriteOptions(), &batch_));
    batch_.Clear();
  }

  void read_begin() override {
    snap_ = db_->GetSnapshot();
    ro_ = leveldb::ReadOptions();
    ro_.snapshot = snap_;
    it_ = db_->NewIterator(ro_);
  }
  bool get(Bytes key, uint64_t *sum) override {
    leveldb::Status s = db_->Get(ro_, slice(key), &value_);
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
    delete it_;
    it_ = nullptr;
    db_->ReleaseSnapshot(snap_);
    snap_ = nullptr;
  }

 private:
  static leveldb::Slice slice(Bytes b) { return leveldb::Slice(b.data, b.size); }
  uint64_t entry() const {
    const leveldb::Slice k = it_->key(), v = it_->value();
    return touch(k.data(), k.size(), v.data(), v.size());
  }
  void check(const char *what, const leveldb::Status &s) const {
    if (!s.ok()) compare_fail(name(), what, s.ToString());
  }

  leveldb::DB *db_ = nullptr;
  leveldb::Cache *cache_ = nullptr;
  const leveldb::FilterPolicy *filter_ = nullptr;
  const leveldb::Snapshot *snap_ = nullptr;
  leveldb::Iterator *it_ = nullptr;
  leveldb::ReadOptions ro_;
  leveldb::WriteBatch batch_;
  std::string value_;
  size_t cache_bytes_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_leveldb_engine() { return std::make_unique<LeveldbEngine>(); }

}  // namespace orv_compare
