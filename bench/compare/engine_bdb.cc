// Berkeley DB, transactional B-tree: an environment with a memory pool that
// holds the whole data set, locking, logging and transactions, private to
// this process (DB_PRIVATE: regions in the heap, as its documentation
// advises for a single process). Commits write the log without syncing it
// (DB_TXN_WRITE_NOSYNC), the nearest match to the others' no-sync commits;
// log files no longer needed are removed, and close takes a checkpoint. The
// lock table is sized for a write transaction of a thousand random puts.
// Reads take no transaction (one process, nothing writes meanwhile): point
// reads with DB->get, walks and seeks with one cursor per read session;
// returned keys and values stay in the library's memory (no copies).
#include <db.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "compare/engine.h"

namespace orv_compare {
namespace {

class BdbEngine final : public Engine {
 public:
  ~BdbEngine() override { close(); }

  const char *name() const override { return "bdb"; }
  std::string describe() const override {
    return std::string(DB_VERSION_STRING) + ", DB_BTREE, cache " +
           std::to_string(cache_bytes_ >> 20) +
           " MiB, DB_INIT_TXN|LOCK|LOG|MPOOL, DB_PRIVATE, DB_TXN_WRITE_NOSYNC, log auto-remove";
  }

  void open(const Config &cfg, bool fresh) override {
    close();
    if (fresh) remove_tree(cfg.dir);
    mkdir(cfg.dir.c_str(), 0755);
    cache_bytes_ = cfg.cache_bytes;
    check("db_env_create", db_env_create(&env_, 0));
    const u_int32_t gb = u_int32_t(cfg.cache_bytes >> 30);
    check("set_cachesize",
          env_->set_cachesize(env_, gb, u_int32_t(cfg.cache_bytes & ((size_t{1} << 30) - 1)), 1));
    check("set_lk_max_locks", env_->set_lk_max_locks(env_, 500000));
    check("set_lk_max_objects", env_->set_lk_max_objects(env_, 500000));
    check("set_lg_bsize", env_->set_lg_bsize(env_, 16u << 20));
    check("set_lg_max", env_->set_lg_max(env_, 64u << 20));
    check("set_flags", env_->set_flags(env_, DB_TXN_WRITE_NOSYNC, 1));
    check("log_set_config", env_->log_set_config(env_, DB_LOG_AUTO_REMOVE, 1));
    check("DB_ENV->open", env_->open(env_, cfg.dir.c_str(),
                                     DB_CREATE | DB_INIT_MPOOL | DB_INIT_LOCK | DB_INIT_LOG |
                                         DB_INIT_TXN | DB_PRIVATE | DB_RECOVER,
                                     0644));
    check("db_create", db_create(&db_, env_, 0));
    check("DB->open",
          db_->open(db_, nullptr, "kv.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT, 0644));
  }

  void close() override {
    if (cursor_) cursor_->close(cursor_);
    cursor_ = nullptr;
    if (txn_) txn_->abort(txn_);
    txn_ = nullptr;
    if (db_) check("DB->close", db_->close(db_, 0));
    db_ = nullptr;
    if (env_) {
      check("txn_checkpoint", env_->txn_checkpoint(env_, 0, 0, 0));
      check("DB_ENV->close", env_->close(env_, 0));
    }
    env_ = nullptr;
  }

  void write_begin() override { check("txn_begin", env_->txn_begin(env_, nullptr, &txn_, 0)); }
  void put(Bytes key, Bytes value) override {
    DBT k = dbt(key), v = dbt(value);
    check("DB->put", db_->put(db_, txn_, &k, &v, 0));
  }
  void del(Bytes key) override {
    DBT k = dbt(key);
    if (int rc = db_->del(db_, txn_, &k, 0); rc != 0 && rc != DB_NOTFOUND) check("DB->del", rc);
  }
  void write_commit() override {
    const int rc = txn_->commit(txn_, 0);
    txn_ = nullptr;
    check("DB_TXN->commit", rc);
  }

  void read_begin() override { check("DB->cursor", db_->cursor(db_, nullptr, &cursor_, 0)); }
  bool get(Bytes key, uint64_t *sum) override {
    DBT k = dbt(key), v{};
    const int rc = db_->get(db_, nullptr, &k, &v, 0);
    if (rc == DB_NOTFOUND) return false;
    check("DB->get", rc);
    *sum += touch(nullptr, 0, v.data, v.size);
    return true;
  }
  uint64_t scan(bool reverse, uint64_t *sum) override {
    DBT k{}, v{};
    uint64_t n = 0, t = 0;
    int rc = cursor_->get(cursor_, &k, &v, reverse ? DB_LAST : DB_FIRST);
    const u_int32_t step = reverse ? DB_PREV : DB_NEXT;
    while (rc == 0) {
      n++;
      t += touch(k.data, k.size, v.data, v.size);
      rc = cursor_->get(cursor_, &k, &v, step);
    }
    if (rc != DB_NOTFOUND) check("DBC->get", rc);
    *sum += t;
    return n;
  }
  int seek(Bytes key, int nnext, uint64_t *sum) override {
    DBT k = dbt(key), v{};
    int rc = cursor_->get(cursor_, &k, &v, DB_SET_RANGE);
    int n = 0;
    while (rc == 0) {
      n++;
      *sum += touch(k.data, k.size, v.data, v.size);
      if (n > nnext) break;
      rc = cursor_->get(cursor_, &k, &v, DB_NEXT);
    }
    if (rc != 0 && rc != DB_NOTFOUND) check("DBC->get", rc);
    return n;
  }
  void visit(Visitor &out) override {
    DBT k{}, v{};
    int rc;
    for (rc = cursor_->get(cursor_, &k, &v, DB_FIRST); rc == 0;
         rc = cursor_->get(cursor_, &k, &v, DB_NEXT))
      out.entry(Bytes{static_cast<const char *>(k.data), k.size},
                Bytes{static_cast<const char *>(v.data), v.size});
    if (rc != DB_NOTFOUND) check("DBC->get", rc);
  }
  void read_end() override {
    check("DBC->close", cursor_->close(cursor_));
    cursor_ = nullptr;
  }

 private:
  static DBT dbt(Bytes b) {
    DBT d;
    std::memset(&d, 0, sizeof d);
    d.data = const_cast<char *>(b.data);
    d.size = u_int32_t(b.size);
    return d;
  }
  void check(const char *what, int rc) const {
    if (rc != 0) compare_fail(name(), what, db_strerror(rc));
  }

  DB_ENV *env_ = nullptr;
  DB *db_ = nullptr;
  DB_TXN *txn_ = nullptr;
  DBC *cursor_ = nullptr;
  size_t cache_bytes_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_bdb_engine() { return std::make_unique<BdbEngine>(); }

}  // namespace orv_compare
