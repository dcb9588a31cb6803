// Tree verifier: the walk over branch pages, page kinds, page layout and
// the figures of one tree against its record.
//
// Pages are read the way the snapshot sees them: straight from the map for
// read-only transactions and under ORV_WRITEMAP, otherwise through
// orv_page_get with a bare cursor so that a write transaction's dirty and
// spilled pages are found. Every page number is checked against the pages
// the snapshot can reach before it is read.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "btree/verify_walk.h"

namespace orv_verify {

void Verifier::problem(const char *fmt, ...) {
  if (stopped()) return;
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  sum_.problems++;
  if (hooks_.problem) {
    if (int rc = hooks_.problem(hooks_.ctx, buf); rc != 0) rc_ = rc;
  }
}

ORV_page *Verifier::get_page(const Tree &t, pgno_t pgno, int *level) {
  *level = 0;
  if (pgno < NUM_METAS || pgno > last_) {
    problem("%s: reference to page %" PRIu64 " outside 2..%" PRIu64, t.label, pgno, last_);
    return nullptr;
  }
  if (pgno >= readable_) {
    problem("%s: page %" PRIu64 " lies beyond the %" PRIu64 " pages of the file", t.label, pgno,
            static_cast<uint64_t>(readable_));
    return nullptr;
  }
  if (rdonly_ || writemap_) return reinterpret_cast<ORV_page *>(env_->me_map + pgno * psize_);
  ORV_page *mp = nullptr;
  if (int rc = orv_page_get(bare_, pgno, &mp, level); rc != 0) {
    problem("%s: page %" PRIu64 ": lookup failed (%d)", t.label, pgno, rc);
    return nullptr;
  }
  return mp;
}

// Marks a run of pages reachable; false when one was reached before.
bool Verifier::reach(const Tree &t, pgno_t pgno, pgno_t npages) {
  if (npages == 0 || pgno + npages < pgno || pgno + npages - 1 > last_) {
    problem("%s: run of %" PRIu64 " pages at %" PRIu64 " passes the last page %" PRIu64, t.label,
            npages, pgno, last_);
    return false;
  }
  bool fresh = true;
  for (pgno_t p = pgno; p < pgno + npages && !stopped(); p++) {
    if (reached_[p]) {
      problem("%s: page %" PRIu64 " is reachable twice", t.label, p);
      fresh = false;
    }
    // A write transaction may reuse pages whose records it consumed; their
    // records are deleted only by its commit.
    if (rdonly_ && freed_[p] && !reached_[p])
      problem("%s: page %" PRIu64 " is free and in use", t.label, p);
    reached_[p] = 1;
  }
  nreached_ += npages;
  if (nreached_ >= next_report_) progress(false);
  return fresh;
}

void Verifier::check_flags(const Tree &t, const ORV_page *mp, pgno_t pgno, int level) {
  uint16_t f = mp->mp_flags;
  if (f & (P_LOOSE | P_KEEP))
    problem("%s: page %" PRIu64 " carries in-memory flags 0x%04x", t.label, pgno, f);
  if (f & 0x3F00) problem("%s: page %" PRIu64 " has unknown flags 0x%04x", t.label, pgno, f);
  if (rdonly_) {
    if (f & P_DIRTY) problem("%s: committed page %" PRIu64 " has P_DIRTY", t.label, pgno);
  } else if (!writemap_ && (f & P_DIRTY) && level == 0) {
    problem("%s: page %" PRIu64 " has P_DIRTY but is not on a dirty list", t.label, pgno);
  }
  if (mp->mp_pgno != pgno)
    problem("%s: page %" PRIu64 " records page number %" PRIu64, t.label, pgno,
            static_cast<uint64_t>(mp->mp_pgno));
}

// Header bounds, slot offsets and node extents of a branch, leaf or sub-page
// of size bytes. False when the nodes cannot be read safely.
bool Verifier::check_layout(const Tree &t, const ORV_page *mp, size_t size, const char *what,
                            pgno_t pgno) {
  const char *lb = t.label;
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
  // Nodes must not overlap: sort their extents (a page holds at most a few
  // thousand nodes; the array is taken from the heap, not the stack).
  struct Span {
    size_t lo, hi;
  };
  auto *spans = static_cast<Span *>(std::malloc(sizeof(Span) * (n ? n : 1)));
  if (spans == nullptr) {
    nomem();
    return false;
  }
  unsigned hdr = node_hdrsz(mp);
  bool ok = true;
  for (unsigned i = 0; i < n && ok; i++) {
    size_t off = mp_ptrs(mp)[i];
    if ((off & 1) || off < upper || off + hdr > size) {
      problem("%s: %s %" PRIu64 ": slot %u offset %zu outside the node area [%u, %zu)", lb, what,
              pgno, i, off, upper, size);
      ok = false;
      break;
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
      ok = false;
      break;
    }
    spans[i] = {off, end};
  }
  if (ok) {
    std::sort(spans, spans + n, [](const Span &a, const Span &b) { return a.lo < b.lo; });
    for (unsigned i = 1; i < n; i++) {
      if (spans[i].lo < spans[i - 1].hi) {
        problem("%s: %s %" PRIu64 ": nodes at offsets %zu and %zu overlap", lb, what, pgno,
                spans[i - 1].lo, spans[i].lo);
        ok = false;
        break;
      }
    }
  }
  std::free(spans);
  return ok;
}

void Verifier::check_record(const Tree &t) {
  const ORV_db &rec = t.db;
  bool empty = rec.md_root == P_INVALID;
  if (empty != (rec.md_depth == 0) || (empty && (rec.md_entries || rec.md_branch_pages ||
                                                 rec.md_leaf_pages || rec.md_overflow_pages)))
    problem("%s: inconsistent record: root %" PRIu64 " depth %u entries %" PRIu64, t.label,
            static_cast<uint64_t>(rec.md_root), rec.md_depth,
            static_cast<uint64_t>(rec.md_entries));
}

void Verifier::walk_tree(Tree &t, const char *figname, size_t figlen) {
  check_record(t);
  if (t.db.md_root != P_INVALID) {
    t.fig.entries = walk(t, t.db.md_root, 0, nullptr, nullptr);
    t.fig.depth = t.leaf_level < 0 ? 0 : unsigned(t.leaf_level + 1);
  }
  if (stopped()) return;
  const ORV_db &d = t.db;
  auto cmp = [&](const char *what, uint64_t rec, uint64_t found) {
    if (rec != found)
      problem("%s: record says %s %" PRIu64 ", the tree has %" PRIu64, t.label, what, rec, found);
  };
  cmp("md_depth", d.md_depth, t.fig.depth);
  cmp("md_entries", d.md_entries, t.fig.entries);
  cmp("md_branch_pages", d.md_branch_pages, t.fig.branch_pages);
  cmp("md_leaf_pages", d.md_leaf_pages, t.fig.leaf_pages);
  cmp("md_overflow_pages", d.md_overflow_pages, t.fig.overflow_pages);
  t.fig.flags = d.md_flags;
  if (figname && hooks_.tree) hooks_.tree(hooks_.ctx, figname, figlen, t.fig);
}

// Separator keys of a branch page: in order, and inside the bounds its
// parent gives it. The key of slot 0 is never compared.
void Verifier::branch_keys(Tree &t, ORV_page *mp, pgno_t pgno, const ORV_val *lo,
                           const ORV_val *hi) {
  const char *lb = t.label;
  unsigned n = numkeys(mp), hdr = node_hdrsz(mp);
  char s1[SHOW_MAX], s2[SHOW_MAX];
  ORV_val prev{};
  for (unsigned i = 1; i < n && !stopped(); i++) {
    const ORV_node *node = node_ptr(mp, i);
    ORV_val k{node->mn_ksize, const_cast<void *>(node_key(node, hdr))};
    if (node->mn_ksize > ORV_MAXKEYSIZE)
      problem("%s: branch page %" PRIu64 " slot %u: key of %u bytes", lb, pgno, i, node->mn_ksize);
    if (i > 1 && t.cmp(&prev, &k) >= 0)
      problem("%s: branch page %" PRIu64 ": separators %u %s and %u %s out of order", lb, pgno,
              i - 1, show(prev, s1, sizeof s1), i, show(k, s2, sizeof s2));
    if (lo && t.cmp(&k, lo) <= 0)
      problem("%s: branch page %" PRIu64 " slot %u: separator %s not above the lower bound %s", lb,
              pgno, i, show(k, s1, sizeof s1), show(*lo, s2, sizeof s2));
    if (hi && t.cmp(&k, hi) >= 0)
      problem("%s: branch page %" PRIu64 " slot %u: separator %s not below the upper bound %s", lb,
              pgno, i, show(k, s1, sizeof s1), show(*hi, s2, sizeof s2));
    prev = k;
  }
}

uint64_t Verifier::walk(Tree &t, pgno_t pgno, unsigned level, const ORV_val *lo,
                        const ORV_val *hi) {
  const char *lb = t.label;
  if (stopped()) return 0;
  // A long check honours the environment's interrupt switch page by page.
  if (hooks_.interruptible && env_->me_interrupt.load(std::memory_order_relaxed) != 0) {
    rc_ = EINTR;
    return 0;
  }
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
  branch_keys(t, mp, pgno, lo, hi);
  unsigned hdr = node_hdrsz(mp);
  uint64_t total = 0;
  ORV_val sep_lo{}, sep_hi{};
  for (unsigned i = 0; i < n && !stopped(); i++) {
    const ORV_node *node = node_ptr(mp, i);
    const ORV_val *clo = lo, *chi = hi;
    if (i > 0) {
      sep_lo = ORV_val{node->mn_ksize, const_cast<void *>(node_key(node, hdr))};
      clo = &sep_lo;
    }
    if (i + 1 < n) {
      const ORV_node *next = node_ptr(mp, i + 1);
      sep_hi = ORV_val{next->mn_ksize, const_cast<void *>(node_key(next, hdr))};
      chi = &sep_hi;
    }
    uint64_t below = walk(t, node_pgno(node), level + 1, clo, chi);
    if (t.counted && is_counted(mp) && node_count(node) != below)
      problem("%s: branch page %" PRIu64 " slot %u: count %" PRIu64 " but %" PRIu64
              " entries below child %" PRIu64,
              lb, pgno, i, node_count(node), below, node_pgno(node));
    total += below;
  }
  return total;
}

}  // namespace orv_verify
