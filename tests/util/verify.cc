// Tree verifier (see verify.h): an independent reading of the page format.
//
// The walk reads pages the way a snapshot sees them: straight from the map
// for read-only transactions and under ORV_WRITEMAP, otherwise through
// orv_page_get with a bare cursor so that a write transaction's dirty and
// spilled pages are found. Comparators, prefix-key decoding and entry
// counting are re-implemented here on purpose, so that a fault in the
// engine's own helpers cannot hide itself.
#include "util/verify.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "util/verify_walk.h"

namespace orv_test {
namespace detail {

void Verifier::problem(const char *fmt, ...) {
  if (res_.problems.size() >= opts_.max_problems) {
    res_.dropped++;
    return;
  }
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  res_.problems.emplace_back(buf);
}

ORV_page *Verifier::get_page(const Tree &t, pgno_t pgno, int *level) {
  *level = 0;
  if (pgno < NUM_METAS || pgno > last_) {
    problem("%s: reference to page %" PRIu64 " outside 2..%" PRIu64, t.label.c_str(), pgno, last_);
    return nullptr;
  }
  if (rdonly_ || writemap_) return reinterpret_cast<ORV_page *>(env_->me_map + pgno * psize_);
  ORV_page *mp = nullptr;
  if (int rc = orv_page_get(bare_.get(), pgno, &mp, level); rc != 0) {
    problem("%s: page %" PRIu64 ": lookup failed (%d)", t.label.c_str(), pgno, rc);
    return nullptr;
  }
  return mp;
}

// Marks a run of pages reachable; false when one was reached before.
bool Verifier::reach(const Tree &t, pgno_t pgno, pgno_t npages) {
  if (npages == 0 || pgno + npages - 1 > last_ || pgno + npages < pgno) {
    problem("%s: run of %" PRIu64 " pages at %" PRIu64 " passes the last page %" PRIu64,
            t.label.c_str(), npages, pgno, last_);
    return false;
  }
  bool fresh = true;
  for (pgno_t p = pgno; p < pgno + npages; p++) {
    if (reached_[p]) {
      problem("%s: page %" PRIu64 " is reachable twice", t.label.c_str(), p);
      fresh = false;
    }
    reached_[p] = 1;
  }
  return fresh;
}

void Verifier::check_flags(const Tree &t, const ORV_page *mp, pgno_t pgno, int level) {
  uint16_t f = mp->mp_flags;
  if (f & (P_LOOSE | P_KEEP))
    problem("%s: page %" PRIu64 " carries in-memory flags 0x%04x", t.label.c_str(), pgno, f);
  if (f & 0x3F00)
    problem("%s: page %" PRIu64 " has unknown flags 0x%04x", t.label.c_str(), pgno, f);
  if (rdonly_) {
    if (f & P_DIRTY) problem("%s: committed page %" PRIu64 " has P_DIRTY", t.label.c_str(), pgno);
  } else if (!writemap_ && (f & P_DIRTY) && level == 0) {
    problem("%s: page %" PRIu64 " has P_DIRTY but is not on a dirty list", t.label.c_str(), pgno);
  }
  if (mp->mp_pgno != pgno)
    problem("%s: page %" PRIu64 " records page number %" PRIu64, t.label.c_str(), pgno,
            static_cast<uint64_t>(mp->mp_pgno));
}

// Header bounds, slot offsets and node extents of a branch, leaf or sub-page
// of size bytes. False when the nodes cannot be read safely.
bool Verifier::check_layout(const Tree &t, const ORV_page *mp, size_t size, const char *what,
                            pgno_t pgno) {
  const char *lb = t.label.c_str();
  unsigned lower = mp->mp_lower, upper = mp->mp_upper;
  if (lower < PAGEHDRSZ || (lower & 1) || upper > size || lower > upper) {
    problem("%s: %s %" PRIu64 ": bad bounds lower %u upper %u (size %zu)", lb, what, pgno, lower,
            upper, size);
    return false;
  }
  unsigned n = numkeys(mp);
  if (is_leaf2(mp)) {
    if (mp->mp_pad == 0 || PAGEHDRSZ + size_t{n} * mp->mp_pad > size) {
      problem("%s: %s %" PRIu64 ": %u fixed keys of %u bytes do not fit", lb, what, pgno, n,
              mp->mp_pad);
      return false;
    }
    return true;
  }
  unsigned hdr = node_hdrsz(mp);
  std::vector<std::pair<size_t, size_t>> spans;
  spans.reserve(n);
  for (unsigned i = 0; i < n; i++) {
    size_t off = mp_ptrs(mp)[i];
    if ((off & 1) || off < upper || off + hdr > size) {
      problem("%s: %s %" PRIu64 ": slot %u offset %zu outside the node area [%u, %zu)", lb, what,
              pgno, i, off, upper, size);
      return false;
    }
    const ORV_node *node = node_ptr(mp, i);
    size_t end;
    if (is_branch(mp)) {
      end = off + hdr + even(node->mn_ksize);
    } else {
      size_t v = (node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : node_dsize(node);
      end = off + even(NODESIZE + even(node->mn_ksize) + v);
    }
    if (end > size) {
      problem("%s: %s %" PRIu64 ": node %u (offset %zu) ends at %zu past the page end %zu", lb,
              what, pgno, i, off, end, size);
      return false;
    }
    spans.emplace_back(off, end);
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++) {
    if (spans[i].first < spans[i - 1].second) {
      problem("%s: %s %" PRIu64 ": nodes at offsets %zu and %zu overlap", lb, what, pgno,
              spans[i - 1].first, spans[i].first);
      return false;
    }
  }
  return true;
}

void Verifier::check_record(const std::string &label, const ORV_db &rec) {
  bool empty = rec.md_root == P_INVALID;
  if (empty != (rec.md_depth == 0) || (empty && (rec.md_entries || rec.md_branch_pages ||
                                                 rec.md_leaf_pages || rec.md_overflow_pages)))
    problem("%s: inconsistent record: root %" PRIu64 " depth %u entries %" PRIu64, label.c_str(),
            static_cast<uint64_t>(rec.md_root), rec.md_depth,
            static_cast<uint64_t>(rec.md_entries));
}

void Verifier::walk_tree(Tree &t, const char *figname) {
  check_record(t.label, t.db);
  if (t.db.md_root != P_INVALID) {
    uint64_t entries = walk(t, t.db.md_root, 0, nullptr, nullptr);
    t.fig.entries = entries;
    t.fig.depth = t.leaf_level < 0 ? 0 : unsigned(t.leaf_level + 1);
  }
  const ORV_db &d = t.db;
  auto cmp = [&](const char *what, uint64_t rec, uint64_t found) {
    if (rec != found)
      problem("%s: record says %s %" PRIu64 ", the tree has %" PRIu64, t.label.c_str(), what, rec,
              found);
  };
  cmp("md_depth", d.md_depth, t.fig.depth);
  cmp("md_entries", d.md_entries, t.fig.entries);
  cmp("md_branch_pages", d.md_branch_pages, t.fig.branch_pages);
  cmp("md_leaf_pages", d.md_leaf_pages, t.fig.leaf_pages);
  cmp("md_overflow_pages", d.md_overflow_pages, t.fig.overflow_pages);
  t.fig.flags = d.md_flags;
  if (figname) res_.trees[figname] = t.fig;
}

uint64_t Verifier::walk(Tree &t, pgno_t pgno, unsigned level, const std::string *lo,
                        const std::string *hi) {
  const char *lb = t.label.c_str();
  if (level >= ORV_CURSOR_STACK) {
    problem("%s: deeper than %u levels at page %" PRIu64, lb, ORV_CURSOR_STACK, pgno);
    return 0;
  }
  int plevel = 0;
  ORV_page *mp = get_page(t, pgno, &plevel);
  if (!mp || !reach(t, pgno, 1)) return 0;
  check_flags(t, mp, pgno, plevel);
  uint16_t kind = mp->mp_flags & (P_BRANCH | P_LEAF | P_OVERFLOW | P_META | P_SUBP);
  if (kind == P_LEAF) return leaf(t, mp, psize_, pgno, int(level), lo, hi);
  if (kind != P_BRANCH) {
    problem("%s: page %" PRIu64 " at level %u is not a branch or leaf page (flags 0x%04x)", lb,
            pgno, level, mp->mp_flags);
    return 0;
  }
  t.fig.branch_pages++;
  if (is_leaf2(mp)) problem("%s: branch page %" PRIu64 " has P_LEAF2", lb, pgno);
  if (is_counted(mp) != t.counted)
    problem("%s: branch page %" PRIu64 " %s P_COUNTED", lb, pgno, t.counted ? "lacks" : "has");
  if (!check_layout(t, mp, psize_, "branch page", pgno)) return 0;
  unsigned n = numkeys(mp);
  if (n == 0) {
    problem("%s: branch page %" PRIu64 " is empty", lb, pgno);
    return 0;
  }
  unsigned hdr = node_hdrsz(mp);
  std::vector<std::string> seps(n);
  for (unsigned i = 1; i < n; i++) {
    const ORV_node *node = node_ptr(mp, i);
    seps[i].assign(static_cast<const char *>(node_key(node, hdr)), node->mn_ksize);
    ORV_val k = val_of(seps[i]);
    if (node->mn_ksize > ORV_MAXKEYSIZE)
      problem("%s: branch page %" PRIu64 " slot %u: key of %u bytes", lb, pgno, i, node->mn_ksize);
    if (i > 1) {
      ORV_val p = val_of(seps[i - 1]);
      if (t.cmp(&p, &k) >= 0)
        problem("%s: branch page %" PRIu64 ": separators %u %s and %u %s out of order", lb, pgno,
                i - 1, show(seps[i - 1]).c_str(), i, show(seps[i]).c_str());
    }
    if (lo) {
      ORV_val l = val_of(*lo);
      if (t.cmp(&k, &l) <= 0)
        problem("%s: branch page %" PRIu64 " slot %u: separator %s not above the lower bound %s",
                lb, pgno, i, show(seps[i]).c_str(), show(*lo).c_str());
    }
    if (hi) {
      ORV_val h = val_of(*hi);
      if (t.cmp(&k, &h) >= 0)
        problem("%s: branch page %" PRIu64 " slot %u: separator %s not below the upper bound %s",
                lb, pgno, i, show(seps[i]).c_str(), show(*hi).c_str());
    }
  }
  uint64_t total = 0;
  for (unsigned i = 0; i < n; i++) {
    const ORV_node *node = node_ptr(mp, i);
    const std::string *clo = i == 0 ? lo : &seps[i];
    const std::string *chi = i + 1 < n ? &seps[i + 1] : hi;
    uint64_t below = walk(t, node_pgno(node), level + 1, clo, chi);
    if (t.counted && is_counted(mp) && node_count(node) != below)
      problem("%s: branch page %" PRIu64 " slot %u: count %" PRIu64 " but %" PRIu64
              " entries below child %" PRIu64,
              lb, pgno, i, node_count(node), below, node_pgno(node));
    total += below;
  }
  return total;
}

void Verifier::free_record(const std::string &key, const uint8_t *v, size_t size) {
  uint64_t id = 0;
  std::memcpy(&id, key.data(), std::min<size_t>(key.size(), 8));
  if (size < 8) {
    problem("free-page record %" PRIu64 ": value of %zu bytes", id, size);
    return;
  }
  uint64_t n = load_u64(v);
  if (n > (size - 8) / 8) {
    problem("free-page record %" PRIu64 ": count %" PRIu64 " exceeds its %zu bytes", id, n, size);
    return;
  }
  if (rdonly_ ? id > txn_->mt_txnid : id >= txn_->mt_txnid)
    problem("free-page record %" PRIu64 " is newer than the snapshot", id);
  pgno_t prev = ~pgno_t{0};
  for (uint64_t i = 1; i <= n; i++) {
    pgno_t p = load_u64(v + 8 * i);
    if (p >= prev)
      problem("free-page record %" PRIu64 ": page %" PRIu64 " after %" PRIu64 " (not descending)",
              id, p, prev);
    prev = p;
    if (p < NUM_METAS || p > last_) {
      problem("free-page record %" PRIu64 ": page %" PRIu64 " outside 2..%" PRIu64, id, p, last_);
      continue;
    }
    if (freed_[p]) problem("page %" PRIu64 " is recorded free twice", p);
    freed_[p] = 1;
    res_.free_pages++;
  }
}

void Verifier::space() {
  // Report runs of pages, not single pages, to keep messages readable.
  auto runs = [&](auto pred, const char *what) {
    pgno_t p = NUM_METAS;
    while (p <= last_) {
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
  runs([&](pgno_t p) { return !reached_[p] && !freed_[p]; }, "leaked (neither reachable nor free)");
  runs([&](pgno_t p) { return reached_[p] && freed_[p]; }, "both reachable and recorded free");
}

void Verifier::run() {
  rdonly_ = txn_is_rdonly(txn_);
  writemap_ = (env_->me_flags & ORV_WRITEMAP) != 0;
  psize_ = env_->me_psize;
  last_ = txn_->mt_next_pgno ? txn_->mt_next_pgno - 1 : 0;
  res_.last_pgno = last_;
  if (last_ < NUM_METAS - 1 || env_->me_map == nullptr) {
    problem("snapshot has no pages (next page %" PRIu64 ")",
            static_cast<uint64_t>(txn_->mt_next_pgno));
    return;
  }
  bare_.reset(new ORV_cursor{});
  bare_->mc_txn = txn_;
  bare_->mc_dbi = MAIN_DBI;
  bare_->mc_flags = txn_->mt_flags & (ORV_RDONLY | ORV_WRITEMAP);
  reached_.assign(last_ + 1, 0);
  freed_.assign(last_ + 1, 0);
  reached_[0] = reached_[1] = 1;

  Tree fr;
  fr.label = "free-page db";
  fr.db = txn_->mt_dbs[FREE_DBI];
  fr.cmp = cmp_u64;
  fr.is_free = true;
  walk_tree(fr, "@free");

  Tree mn;
  mn.label = "main db";
  mn.db = txn_->mt_dbs[MAIN_DBI];
  mn.is_main = true;
  unsigned mf = mn.db.md_flags;
  mn.cmp = opts_.key_cmp.count("") ? opts_.key_cmp.at("") : key_order(mf);
  mn.dcmp = opts_.dup_cmp.count("") ? opts_.dup_cmp.at("") : dup_order(mf);
  mn.counted = mf & ORV_COUNTED;
  mn.prefix = mf & ORV_PREFIXKEY;
  walk_tree(mn, "@main");

  // Named databases; a write transaction's changed records are newer than
  // the copies in the main database until it commits.
  for (NamedRecord &nr : named_) {
    ORV_db rec = nr.db;
    if (!rdonly_) {
      for (uint32_t s = CORE_DBS; s < txn_->mt_dbcount; s++) {
        const ORV_val &nm = txn_->mt_dbxs[s].md_name;
        if (nm.mv_size == nr.name.size() && nm.mv_data &&
            std::memcmp(nm.mv_data, nr.name.data(), nm.mv_size) == 0 &&
            (txn_->mt_dbflags[s] & DB_DIRTY)) {
          rec = txn_->mt_dbs[s];
          break;
        }
      }
    }
    Tree t;
    t.label = "db " + show(nr.name);
    t.db = rec;
    unsigned f = rec.md_flags;
    if (f & ~0x1FEu) problem("%s: record has unknown flags 0x%x", t.label.c_str(), f);
    t.cmp = opts_.key_cmp.count(nr.name) ? opts_.key_cmp.at(nr.name) : key_order(f);
    t.dcmp = opts_.dup_cmp.count(nr.name) ? opts_.dup_cmp.at(nr.name) : dup_order(f);
    t.counted = f & ORV_COUNTED;
    t.prefix = f & ORV_PREFIXKEY;
    walk_tree(t, nr.name.c_str());
  }

  for (pgno_t p = 0; p <= last_; p++) res_.reachable_pages += reached_[p];
  if (rdonly_ && opts_.check_space) {
    res_.space_checked = true;
    space();
  }
}

}  // namespace detail

using detail::Verifier;

std::string VerifyResult::Report() const {
  std::string out = std::to_string(problems.size() + dropped) + " problem(s); last page " +
                    std::to_string(last_pgno) + ", reachable " + std::to_string(reachable_pages) +
                    ", free " + std::to_string(free_pages) +
                    (space_checked ? "" : " (space not checked)") + "\n";
  for (const std::string &p : problems) out += "  " + p + "\n";
  if (dropped) out += "  ... and " + std::to_string(dropped) + " more\n";
  return out;
}

VerifyResult VerifyTxn(ORV_txn *txn, const VerifyOptions &opts) {
  VerifyResult res;
  if (txn == nullptr || txn->mt_env == nullptr) {
    res.problems.emplace_back("no transaction");
    return res;
  }
  Verifier(txn, opts, res).run();
  return res;
}

::testing::AssertionResult TreeValid(ORV_txn *txn, const VerifyOptions &opts) {
  VerifyResult res = VerifyTxn(txn, opts);
  if (res.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "tree verifier: " << res.Report();
}

::testing::AssertionResult EnvTreesValid(ORV_env *env, const VerifyOptions &opts) {
  ORV_txn *txn = nullptr;
  if (int rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn); rc != 0)
    return ::testing::AssertionFailure() << "orv_txn_begin: " << orv_strerror(rc);
  ::testing::AssertionResult r = TreeValid(txn, opts);
  orv_txn_abort(txn);
  return r;
}

}  // namespace orv_test
