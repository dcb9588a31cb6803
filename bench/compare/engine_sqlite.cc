// SQLite as a key/value store: one WITHOUT ROWID table whose primary key is
// the key, so that entries live in the table's own B-tree in key order (a
// rowid table would add a second tree for the key index). Configured for
// this job as its documentation advises: write-ahead log
// (journal_mode=WAL) with synchronous=OFF (no sync, like the others),
// exclusive locking mode (one connection: no shared-memory index of the
// log), memory-mapped reads (mmap_size covering the file), and a page cache
// that holds the whole data set. Every statement is prepared once and reset
// after use; keys and values are bound without copies (SQLITE_STATIC).
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include "compare/engine.h"

namespace orv_compare {
namespace {

class SqliteEngine final : public Engine {
 public:
  ~SqliteEngine() override { close(); }

  const char *name() const override { return "sqlite"; }
  std::string describe() const override {
    return std::string("SQLite ") + sqlite3_libversion() +
           ", WITHOUT ROWID table, journal_mode=WAL, synchronous=OFF, locking_mode=EXCLUSIVE, "
           "mmap_size " +
           std::to_string(mmap_bytes_ >> 20) + " MiB, cache_size " +
           std::to_string(cache_kib_ >> 10) + " MiB";
  }

  void open(const Config &cfg, bool fresh) override {
    close();
    if (fresh) remove_tree(cfg.dir);
    mkdir(cfg.dir.c_str(), 0755);
    const std::string path = cfg.dir + "/kv.sqlite";
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
      fail("sqlite3_open_v2");
    cache_kib_ = cfg.cache_bytes >> 10;
    mmap_bytes_ = cfg.cache_bytes;
    exec("PRAGMA page_size=4096");
    // Exclusive before WAL: then the log needs no shared-memory index.
    exec("PRAGMA locking_mode=EXCLUSIVE");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=OFF");
    exec(("PRAGMA cache_size=-" + std::to_string(cache_kib_)).c_str());
    exec(("PRAGMA mmap_size=" + std::to_string(mmap_bytes_)).c_str());
    exec("CREATE TABLE IF NOT EXISTS kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID");
    put_ = prepare("INSERT OR REPLACE INTO kv(k, v) VALUES(?1, ?2)");
    del_ = prepare("DELETE FROM kv WHERE k = ?1");
    get_ = prepare("SELECT v FROM kv WHERE k = ?1");
    fwd_ = prepare("SELECT k, v FROM kv ORDER BY k");
    rev_ = prepare("SELECT k, v FROM kv ORDER BY k DESC");
    seek_ = prepare("SELECT k, v FROM kv WHERE k >= ?1 ORDER BY k");
    begin_ = prepare("BEGIN");
    commit_ = prepare("COMMIT");
  }

  void close() override {
    for (sqlite3_stmt **s : {&put_, &del_, &get_, &fwd_, &rev_, &seek_, &begin_, &commit_}) {
      sqlite3_finalize(*s);
      *s = nullptr;
    }
    if (db_ && sqlite3_close(db_) != SQLITE_OK) fail("sqlite3_close");
    db_ = nullptr;
  }

  void write_begin() override { run(begin_, "BEGIN"); }
  void put(Bytes key, Bytes value) override {
    bind(put_, 1, key);
    bind(put_, 2, value);
    run(put_, "INSERT");
  }
  void del(Bytes key) override {
    bind(del_, 1, key);
    run(del_, "DELETE");
  }
  void write_commit() override { run(commit_, "COMMIT"); }

  // A read transaction begins at its first read; BEGIN … COMMIT around the
  // reads keeps one snapshot for all of them.
  void read_begin() override { run(begin_, "BEGIN"); }
  bool get(Bytes key, uint64_t *sum) override {
    bind(get_, 1, key);
    const int rc = sqlite3_step(get_);
    bool found = false;
    if (rc == SQLITE_ROW) {
      found = true;
      *sum +=
          touch(nullptr, 0, sqlite3_column_blob(get_, 0), size_t(sqlite3_column_bytes(get_, 0)));
    } else if (rc != SQLITE_DONE) {
      fail("SELECT");
    }
    sqlite3_reset(get_);
    return found;
  }
  uint64_t scan(bool reverse, uint64_t *sum) override {
    sqlite3_stmt *s = reverse ? rev_ : fwd_;
    uint64_t n = 0, t = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      n++;
      t += row(s);
    }
    if (rc != SQLITE_DONE) fail("SELECT");
    sqlite3_reset(s);
    *sum += t;
    return n;
  }
  int seek(Bytes key, int nnext, uint64_t *sum) override {
    bind(seek_, 1, key);
    int n = 0, rc = SQLITE_DONE;
    while (n <= nnext && (rc = sqlite3_step(seek_)) == SQLITE_ROW) {
      n++;
      *sum += row(seek_);
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("SELECT");
    sqlite3_reset(seek_);
    return n;
  }
  void visit(Visitor &out) override {
    int rc;
    while ((rc = sqlite3_step(fwd_)) == SQLITE_ROW) {
      const char *k = static_cast<const char *>(sqlite3_column_blob(fwd_, 0));
      const size_t ks = size_t(sqlite3_column_bytes(fwd_, 0));
      const char *v = static_cast<const char *>(sqlite3_column_blob(fwd_, 1));
      const size_t vs = size_t(sqlite3_column_bytes(fwd_, 1));
      out.entry(Bytes{k, ks}, Bytes{v, vs});
    }
    if (rc != SQLITE_DONE) fail("SELECT");
    sqlite3_reset(fwd_);
  }
  void read_end() override { run(commit_, "COMMIT"); }

 private:
  static uint64_t row(sqlite3_stmt *s) {
    // Blob pointers first, then their sizes, as the interface asks.
    const void *k = sqlite3_column_blob(s, 0);
    const size_t ks = size_t(sqlite3_column_bytes(s, 0));
    const void *v = sqlite3_column_blob(s, 1);
    const size_t vs = size_t(sqlite3_column_bytes(s, 1));
    return touch(k, ks, v, vs);
  }
  [[noreturn]] void fail(const char *what) const {
    compare_fail(name(), what, db_ ? sqlite3_errmsg(db_) : "cannot open");
  }
  void exec(const char *sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
  }
  sqlite3_stmt *prepare(const char *sql) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) fail(sql);
    return s;
  }
  void bind(sqlite3_stmt *s, int i, Bytes b) {
    if (sqlite3_bind_blob(s, i, b.data, int(b.size), SQLITE_STATIC) != SQLITE_OK) fail("bind");
  }
  void run(sqlite3_stmt *s, const char *what) {
    if (sqlite3_step(s) != SQLITE_DONE) fail(what);
    sqlite3_reset(s);
  }

  sqlite3 *db_ = nullptr;
  sqlite3_stmt *put_ = nullptr, *del_ = nullptr, *get_ = nullptr, *fwd_ = nullptr, *rev_ = nullptr,
               *seek_ = nullptr, *begin_ = nullptr, *commit_ = nullptr;
  size_t cache_kib_ = 0, mmap_bytes_ = 0;
};

}  // namespace

std::unique_ptr<Engine> new_sqlite_engine() { return std::make_unique<SqliteEngine>(); }

}  // namespace orv_compare
