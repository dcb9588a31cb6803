// Verification of a whole snapshot: the driver of the tree walk
// (lib/btree/verify_*.cc) over the free-page database, the main database
// and every named database recorded in it, the free-page records, and the
// space check that every page is either reachable exactly once or free.
// orv_env_verify runs it over a read-only snapshot of an environment and
// reports through a message callback.
//
// A free-page record is keyed by a transaction id; its value is an ID
// list image: a count n, then n page numbers in descending order, then
// ignored room.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "btree/verify_walk.h"
#include "env/env.h"
#include "txn/txn.h"

namespace orv_verify {

Verifier::~Verifier() {
  for (size_t i = 0; i < nnamed_; i++) std::free(named_[i].name);
  std::free(named_);
  std::free(reached_);
  std::free(freed_);
  delete bare_;
}

ORV_cmp_func Verifier::app_cmp(const char *name, size_t len, bool dup) const {
  return hooks_.cmp ? hooks_.cmp(hooks_.ctx, name, len, dup) : nullptr;
}

void Verifier::add_named(const ORV_val &key, const ORV_db &rec) {
  if (nnamed_ == named_cap_) {
    size_t ncap = named_cap_ ? 2 * named_cap_ : 8;
    auto *nn = static_cast<NamedRecord *>(std::realloc(named_, ncap * sizeof(NamedRecord)));
    if (nn == nullptr) return nomem();
    named_ = nn;
    named_cap_ = ncap;
  }
  auto *name = static_cast<char *>(std::malloc(key.mv_size + 1));
  if (name == nullptr) return nomem();
  if (key.mv_size) std::memcpy(name, key.mv_data, key.mv_size);
  name[key.mv_size] = '\0';
  named_[nnamed_++] = NamedRecord{name, key.mv_size, rec};
}

void Verifier::free_record(const ORV_val &key, const uint8_t *v, size_t size, pgno_t leaf) {
  uint64_t id = 0;
  std::memcpy(&id, key.mv_data, std::min<size_t>(key.mv_size, 8));
  if (size < 8) {
    problem("free-page record %" PRIu64 " (leaf %" PRIu64 "): value of %zu bytes", id, leaf, size);
    return;
  }
  uint64_t n = load_u64(v);
  if (n > (size - 8) / 8) {
    problem("free-page record %" PRIu64 " (leaf %" PRIu64 "): count %" PRIu64
            " exceeds its %zu bytes",
            id, leaf, n, size);
    return;
  }
  if (rdonly_ ? id > txn_->mt_txnid : id >= txn_->mt_txnid)
    problem("free-page record %" PRIu64 " (leaf %" PRIu64 ") is newer than the snapshot", id, leaf);
  pgno_t prev = ~pgno_t{0};
  for (uint64_t i = 1; i <= n && !stopped(); i++) {
    pgno_t p = load_u64(v + 8 * i);
    if (p >= prev)
      problem("free-page record %" PRIu64 ": page %" PRIu64 " after %" PRIu64 " (not descending)",
              id, p, prev);
    prev = p;
    if (p < NUM_METAS || p > last_) {
      problem("free-page record %" PRIu64 ": page %" PRIu64 " outside 2..%" PRIu64, id, p, last_);
      continue;
    }
    if (freed_[p])
      problem("free-page record %" PRIu64 ": page %" PRIu64 " is listed free twice", id, p);
    // The free-page database is walked first, so only its own pages can be
    // reached already; reach() reports the pages of the other trees.
    if (rdonly_ && reached_[p] && !freed_[p])
      problem("free-page record %" PRIu64 ": page %" PRIu64 " is free and in use", id, p);
    freed_[p] = 1;
    sum_.free_pages++;
  }
}

void Verifier::space() {
  // Report runs of pages, not single pages, to keep messages readable.
  auto runs = [&](auto pred, const char *what) {
    pgno_t p = NUM_METAS;
    while (p <= last_ && !stopped()) {
      if (!pred(p)) {
        p++;
        continue;
      }
      pgno_t q = p;
      while (q + 1 <= last_ && pred(q + 1)) q++;
      if (q == p)
        problem("page %" PRIu64 " is %s", p, what);
      else
        problem("pages %" PRIu64 "-%" PRIu64 " are %s", p, q, what);
      p = q + 1;
    }
  };
  // Pages both reachable and free were reported one by one as they met.
  runs([&](pgno_t p) { return !reached_[p] && !freed_[p]; }, "leaked (neither reachable nor free)");
}

// The last page the walk may read: inside the map, and for pages read
// straight from a file-backed map, inside the file (a page of the map
// beyond the end of the file cannot be read).
pgno_t Verifier::last_readable() const {
  uint64_t bytes = env_->me_mapsize;
  if (rdonly_ && env_->me_fd >= 0) {
    struct stat st;
    if (fstat(env_->me_fd, &st) == 0) bytes = std::min<uint64_t>(bytes, uint64_t(st.st_size));
  }
  return bytes / psize_;  // one past the last readable page
}

// Pages in use are the snapshot's pages less those recorded free (known once
// the free-page database is walked, which comes first).
void Verifier::progress(bool final) {
  next_report_ = nreached_ + 256;
  if (hooks_.progress == nullptr) return;
  const uint64_t free = sum_.free_pages < last_ + 1 ? sum_.free_pages : last_;
  uint64_t total = last_ + 1 - free;
  if (final || nreached_ > total) total = nreached_;
  hooks_.progress(hooks_.ctx, nreached_, total);
}

int Verifier::run() {
  rdonly_ = txn_is_rdonly(txn_);
  writemap_ = (env_->me_flags & ORV_WRITEMAP) != 0;
  psize_ = env_->me_psize;
  last_ = txn_->mt_next_pgno ? txn_->mt_next_pgno - 1 : 0;
  sum_.last_pgno = last_;
  if (last_ < NUM_METAS - 1 || env_->me_map == nullptr || psize_ < PAGEHDRSZ) {
    problem("snapshot has no pages (next page %" PRIu64 ")",
            static_cast<uint64_t>(txn_->mt_next_pgno));
    return rc_;
  }
  // The file may end before the snapshot's last page: pages allocated and
  // freed again by the same transaction are never written. Only a page the
  // walk must read has to lie inside the file.
  readable_ = last_readable();
  if (readable_ < NUM_METAS) {
    problem("meta: the file holds only %" PRIu64 " pages", static_cast<uint64_t>(readable_));
    return rc_;
  }
  bare_ = new (std::nothrow) ORV_cursor{};
  reached_ = static_cast<uint8_t *>(std::calloc(last_ + 1, 1));
  freed_ = static_cast<uint8_t *>(std::calloc(last_ + 1, 1));
  if (bare_ == nullptr || reached_ == nullptr || freed_ == nullptr) return ENOMEM;
  bare_->mc_txn = txn_;
  bare_->mc_dbi = MAIN_DBI;
  bare_->mc_flags = txn_->mt_flags & (ORV_RDONLY | ORV_WRITEMAP);
  reached_[0] = reached_[1] = 1;
  nreached_ = NUM_METAS;
  progress(false);

  Tree fr;
  fr.label = "free-page db";
  fr.db = txn_->mt_dbs[FREE_DBI];
  fr.cmp = cmp_u64;
  fr.is_free = true;
  walk_tree(fr, "@free", 5);

  Tree mn;
  mn.label = "main db";
  mn.db = txn_->mt_dbs[MAIN_DBI];
  mn.is_main = true;
  unsigned mf = mn.db.md_flags;
  ORV_cmp_func c = app_cmp(nullptr, 0, false), dc = app_cmp(nullptr, 0, true);
  mn.cmp = c ? c : key_order(mf);
  mn.dcmp = dc ? dc : dup_order(mf);
  mn.counted = mf & ORV_COUNTED;
  mn.prefix = mf & ORV_PREFIXKEY;
  walk_tree(mn, "@main", 5);

  // Named databases; a write transaction's changed records are newer than
  // the copies in the main database until it commits.
  for (size_t i = 0; i < nnamed_ && !stopped(); i++) {
    const NamedRecord &nr = named_[i];
    ORV_db rec = nr.db;
    if (!rdonly_) {
      for (uint32_t s = CORE_DBS; s < txn_->mt_dbcount; s++) {
        const ORV_val &nm = txn_->mt_dbxs[s].md_name;
        if (nm.mv_size == nr.len && nm.mv_data && std::memcmp(nm.mv_data, nr.name, nr.len) == 0 &&
            (txn_->mt_dbflags[s] & DB_DIRTY)) {
          rec = txn_->mt_dbs[s];
          break;
        }
      }
    }
    char shown[SHOW_MAX], label[SHOW_MAX + 8];
    std::snprintf(label, sizeof label, "db %s",
                  show(ORV_val{nr.len, nr.name}, shown, sizeof shown));
    Tree t;
    t.label = label;
    t.db = rec;
    unsigned f = rec.md_flags;
    if (f & ~0x1FEu) problem("%s: record has unknown flags 0x%x", t.label, f);
    c = app_cmp(nr.name, nr.len, false);
    dc = app_cmp(nr.name, nr.len, true);
    t.cmp = c ? c : key_order(f);
    t.dcmp = dc ? dc : dup_order(f);
    t.counted = f & ORV_COUNTED;
    t.prefix = f & ORV_PREFIXKEY;
    walk_tree(t, nr.name, nr.len);
  }
  if (stopped()) return rc_;
  progress(true);

  for (pgno_t p = 0; p <= last_; p++) sum_.reachable_pages += reached_[p];
  if (rdonly_ && hooks_.check_space) {
    sum_.space_checked = true;
    space();
  }
  return rc_;
}

}  // namespace orv_verify

int orv_verify_txn(ORV_txn *txn, const ORV_verify_hooks &hooks, ORV_verify_summary *sum) {
  ORV_verify_summary local;
  ORV_verify_summary &s = sum ? *sum : local;
  s = ORV_verify_summary{};
  if (txn == nullptr || txn->mt_env == nullptr) return EINVAL;
  orv_verify::Verifier v(txn, hooks, s);
  return v.run();
}

void orv_verify_summary_line(const ORV_verify_summary &sum, char *buf, size_t cap) {
  std::snprintf(buf, cap,
                "%" PRIu64 " problem(s); last page %" PRIu64 ", reachable %" PRIu64
                ", free %" PRIu64 "%s",
                sum.problems, sum.last_pgno, sum.reachable_pages, sum.free_pages,
                sum.space_checked ? "" : " (space not checked)");
}

namespace {

struct MsgSink {
  ORV_msg_func func;
  void *ctx;
  ORV_env *env;
};

void send_progress(void *ctx, uint64_t done, uint64_t total) {
  orv_env_progress(static_cast<MsgSink *>(ctx)->env, done, total);
}

// Hands one line, with its newline, to the caller's message function.
int send_line(void *ctx, const char *line) {
  auto *sink = static_cast<MsgSink *>(ctx);
  char buf[600];
  std::snprintf(buf, sizeof buf, "%s\n", line);
  return sink->func(buf, sink->ctx);
}

}  // namespace

extern "C" ORV_API int orv_env_verify(ORV_env *env, unsigned int flags, ORV_msg_func func,
                                      void *ctx) noexcept {
  if (env == nullptr || func == nullptr || (flags & ~unsigned(ORV_VERIFY_NOSPACE)) != 0)
    return EINVAL;
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn); rc != 0) return rc;
  MsgSink sink{func, ctx, env};
  ORV_verify_hooks hooks;
  hooks.ctx = &sink;
  hooks.problem = send_line;
  hooks.check_space = (flags & ORV_VERIFY_NOSPACE) == 0;
  hooks.interruptible = true;
  if (env->me_progress != nullptr) hooks.progress = send_progress;
  ORV_verify_summary sum;
  int rc = orv_verify_txn(txn, hooks, &sum);
  orv_txn_abort(txn);
  if (rc != 0) return rc;
  char line[256];
  orv_verify_summary_line(sum, line, sizeof line);
  if (int r = send_line(&sink, line); r != 0) return r;
  return sum.problems ? ORV_CORRUPTED : 0;
}
