// What LevelDB and RocksDB share as engines of the comparison. Their
// interfaces have the same shape (a DB with snapshots, iterators and write
// batches, Slice and Status), so one class template does the batches and
// the read sessions of both; each engine adds its options, its lookups and
// its close.
//
// A write transaction is one WriteBatch of the batch's puts and deletes,
// applied by DB::Write without sync. A read session runs on one snapshot,
// with one iterator reused for every walk and seek of the session.
#ifndef ORV_BENCH_COMPARE_LSM_ENGINE_H
#define ORV_BENCH_COMPARE_LSM_ENGINE_H

#include <cstdint>
#include <type_traits>

#include "compare/engine.h"

namespace orv_compare {

// Api names the library's types: DB, Iterator, Snapshot, ReadOptions,
// WriteOptions, WriteBatch, Slice, Status.
template <class Api>
class LsmEngine : public Engine {
 public:
  void write_begin() override { batch_.Clear(); }
  void put(Bytes key, Bytes value) override {
    batch_op("WriteBatch::Put", [&] { return batch_.Put(slice(key), slice(value)); });
  }
  void del(Bytes key) override {
    batch_op("WriteBatch::Delete", [&] { return batch_.Delete(slice(key)); });
  }
  void write_commit() override {
    check("DB::Write", db_->Write(typename Api::WriteOptions(), &batch_));
    batch_.Clear();
  }

  void read_begin() override {
    snap_ = db_->GetSnapshot();
    ro_ = typename Api::ReadOptions();
    ro_.snapshot = snap_;
    it_ = db_->NewIterator(ro_);
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
    for (it_->SeekToFirst(); it_->Valid(); it_->Next()) {
      const typename Api::Slice k = it_->key(), v = it_->value();
      out.entry(Bytes{k.data(), k.size()}, Bytes{v.data(), v.size()});
    }
    check("Iterator", it_->status());
  }
  void read_end() override {
    delete it_;
    it_ = nullptr;
    if (snap_) db_->ReleaseSnapshot(snap_);
    snap_ = nullptr;
  }

 protected:
  static typename Api::Slice slice(Bytes b) { return typename Api::Slice(b.data, b.size); }
  void check(const char *what, const typename Api::Status &s) const {
    if (!s.ok()) compare_fail(name(), what, s.ToString());
  }

  typename Api::DB *db_ = nullptr;
  typename Api::ReadOptions ro_;

 private:
  uint64_t entry() const {
    const typename Api::Slice k = it_->key(), v = it_->value();
    return touch(k.data(), k.size(), v.data(), v.size());
  }
  // One library's batch operations return nothing, the other's a Status.
  template <class Call>
  void batch_op(const char *what, Call call) {
    if constexpr (std::is_void_v<decltype(call())>) {
      call();
    } else {
      check(what, call());
    }
  }

  const typename Api::Snapshot *snap_ = nullptr;
  typename Api::Iterator *it_ = nullptr;
  typename Api::WriteBatch batch_;
};

}  // namespace orv_compare

#endif  // ORV_BENCH_COMPARE_LSM_ENGINE_H
