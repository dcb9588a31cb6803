// eldran through its public interface: one environment in the engine's
// directory, the main database, ORV_NOSYNC (commits write their pages and
// the meta page but do not flush), optionally ORV_WRITEMAP. Reads run in one
// read-only transaction with one cursor reused by every walk and seek.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "compare/engine.h"
#include "orv.h"

namespace orv_compare {
namespace {

class EldranEngine final : public Engine {
 public:
  explicit EldranEngine(bool writemap) : writemap_(writemap) {}
  ~EldranEngine() override { close(); }

  const char *name() const override { return writemap_ ? "eldran-writemap" : "eldran"; }
  std::string describe() const override {
    return std::string("main database, ORV_NOSYNC") + (writemap_ ? ", ORV_WRITEMAP" : "") +
           ", map size " + std::to_string(mapsize_ >> 20) + " MiB";
  }

  void open(const Config &cfg, bool fresh) override {
    close();
    if (fresh) remove_tree(cfg.dir);
    mkdir(cfg.dir.c_str(), 0755);
    mapsize_ =
        std::max<size_t>(size_t{1} << 30, size_t(cfg.num) * (cfg.key_size + cfg.value_size) * 4);
    check("orv_env_create", orv_env_create(&env_));
    check("orv_env_set_mapsize", orv_env_set_mapsize(env_, mapsize_));
    check("orv_env_open",
          orv_env_open(env_, cfg.dir.c_str(), ORV_NOSYNC | (writemap_ ? ORV_WRITEMAP : 0u), 0644));
    ORV_txn *txn = nullptr;
    check("orv_txn_begin", orv_txn_begin(env_, nullptr, 0, &txn));
    check("orv_dbi_open", orv_dbi_open(txn, nullptr, 0, &dbi_));
    check("orv_txn_commit", orv_txn_commit(txn));
  }

  void close() override {
    if (cursor_) orv_cursor_close(cursor_);
    cursor_ = nullptr;
    if (txn_) orv_txn_abort(txn_);
    txn_ = nullptr;
    if (env_) orv_env_close(env_);
    env_ = nullptr;
  }

  void write_begin() override { check("orv_txn_begin", orv_txn_begin(env_, nullptr, 0, &txn_)); }
  void put(Bytes key, Bytes value) override {
    ORV_val k = val(key), v = val(value);
    check("orv_put", orv_put(txn_, dbi_, &k, &v, 0));
  }
  void del(Bytes key) override {
    ORV_val k = val(key);
    if (int rc = orv_del(txn_, dbi_, &k, nullptr); rc != 0 && rc != ORV_NOTFOUND)
      check("orv_del", rc);
  }
  void write_commit() override {
    const int rc = orv_txn_commit(txn_);
    txn_ = nullptr;
    check("orv_txn_commit", rc);
  }

  void read_begin() override {
    check("orv_txn_begin", orv_txn_begin(env_, nullptr, ORV_RDONLY, &txn_));
    check("orv_cursor_open", orv_cursor_open(txn_, dbi_, &cursor_));
  }
  bool get(Bytes key, uint64_t *sum) override {
    ORV_val k = val(key), v{};
    const int rc = orv_get(txn_, dbi_, &k, &v);
    if (rc == ORV_NOTFOUND) return false;
    check("orv_get", rc);
    *sum += touch(nullptr, 0, v.mv_data, v.mv_size);
    return true;
  }
  uint64_t scan(bool reverse, uint64_t *sum) override {
    ORV_val k{}, v{};
    uint64_t n = 0, s = 0;
    int rc = orv_cursor_get(cursor_, &k, &v, reverse ? ORV_LAST : ORV_FIRST);
    const ORV_cursor_op step = reverse ? ORV_PREV : ORV_NEXT;
    while (rc == 0) {
      n++;
      s += touch(k.mv_data, k.mv_size, v.mv_data, v.mv_size);
      rc = orv_cursor_get(cursor_, &k, &v, step);
    }
    if (rc != ORV_NOTFOUND) check("orv_cursor_get", rc);
    *sum += s;
    return n;
  }
  int seek(Bytes key, int nnext, uint64_t *sum) override {
    ORV_val k = val(key), v{};
    int rc = orv_cursor_get(cursor_, &k, &v, ORV_SET_RANGE);
    int n = 0;
    while (rc == 0) {
      n++;
      *sum += touch(k.mv_data, k.mv_size, v.mv_data, v.mv_size);
      if (n > nnext) break;
      rc = orv_cursor_get(cursor_, &k, &v, ORV_NEXT);
    }
    if (rc != 0 && rc != ORV_NOTFOUND) check("orv_cursor_get", rc);
    return n;
  }
  void visit(Visitor &out) override {
    ORV_val k{}, v{};
    int rc;
    for (rc = orv_cursor_get(cursor_, &k, &v, ORV_FIRST); rc == 0;
         rc = orv_cursor_get(cursor_, &k, &v, ORV_NEXT))
      out.entry(Bytes{static_cast<const char *>(k.mv_data), k.mv_size},
                Bytes{static_cast<const char *>(v.mv_data), v.mv_size});
    if (rc != ORV_NOTFOUND) check("orv_cursor_get", rc);
  }
  void read_end() override {
    orv_cursor_close(cursor_);
    cursor_ = nullptr;
    orv_txn_abort(txn_);
    txn_ = nullptr;
  }

 private:
  static ORV_val val(Bytes b) { return ORV_val{b.size, const_cast<char *>(b.data)}; }
  void check(const char *call, int rc) const {
    if (rc != 0) compare_fail(name(), call, orv_strerror(rc));
  }

  bool writemap_;
  size_t mapsize_ = 0;
  ORV_env *env_ = nullptr;
  ORV_txn *txn_ = nullptr;
  ORV_cursor *cursor_ = nullptr;
  ORV_dbi dbi_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_eldran_engine(bool writemap) {
  return std::make_unique<EldranEngine>(writemap);
}

}  // namespace orv_compare
