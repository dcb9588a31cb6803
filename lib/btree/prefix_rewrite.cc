// Rewrites of a prefix-compressed leaf page that may need overflow runs: the
// page layer (lib/page/prefix_rebuild.cc) gathers, sizes and writes the
// entries of a page; a value that, with its key re-encoded against a new
// first key, no longer fits a node moves to an overflow run, and allocating
// that run is the tree's business (orv_page_new through the cursor).
//
// Order of a rewrite: gather, size, check that the page fits, and only then
// allocate runs and write, so that ORV_NO_FIT leaves page and transaction as
// they were.
#include <cstring>

#include "btree/btree.h"

namespace {

// Moves the value of entry e to a new overflow run when its node (key of
// pe_enclen bytes) would exceed me_nodemax and it is not a sub-page nor on
// a run already: allocates the run, copies the value (for the new entry
// with ORV_RESERVE in flags: points data->mv_data at the run's value space
// instead) and turns e into an F_BIGDATA entry. Does nothing otherwise.
// Returns 0 or the allocation's error. REQUIRES: pe_enclen set by
// orv_prefix_run_size over the run that holds e; data is the value e was
// gathered from.
[[nodiscard]] int entry_overflow(ORV_cursor *mc, ORV_prefix_entry *e, ORV_val *data,
                                 unsigned flags) {
  ORV_env *env = mc->mc_txn->mt_env;
  if (!orv_prefix_entry_to_overflow(env->me_nodemax, *e, e->pe_enclen)) return 0;
  ORV_page *ofp;
  const auto npages = static_cast<int>(ovpages(env->me_psize, e->pe_dsize));
  if (int rc = orv_page_new(mc, P_OVERFLOW, npages, &ofp); rc != 0) return rc;
  if (e->pe_new && (flags & ORV_RESERVE)) {
    if (data != nullptr) data->mv_data = page_data(ofp);
  } else if (e->pe_dsize) {
    std::memcpy(page_data(ofp), e->pe_data, e->pe_dsize);
  }
  // The node stores the run's page number, which is where the run's own
  // header keeps it (host order, 8 bytes).
  e->pe_flags = static_cast<uint16_t>(e->pe_flags | F_BIGDATA);
  e->pe_vlen = sizeof(pgno_t);
  e->pe_data = page_bytes(ofp);
  return 0;
}

}  // namespace

int orv_prefix_run_overflow(ORV_cursor *mc, ORV_prefix_entry *entries, unsigned start, unsigned end,
                            ORV_val *data, unsigned flags) {
  for (unsigned i = start; i < end; i++) {
    if (int rc = entry_overflow(mc, &entries[i], data, flags); rc != 0) return rc;
  }
  return 0;
}

int orv_prefix_page_rebuild(ORV_cursor *mc, ORV_page *mp, unsigned skip, unsigned indx,
                            const ORV_val *key, ORV_val *data, unsigned flags) {
  const ORV_page_ctx ctx = orv_page_ctx_of(mc, mp);
  const size_t psize = orv_page_ctx_psize(ctx, mp);
  ORV_prefix_entry *entries;
  unsigned count;
  size_t size;
  if (int rc =
          orv_prefix_gather_sized(ctx, mp, skip, indx, key, data, flags, &entries, &count, &size);
      rc != 0)
    return rc;
  if (size > psize) return ORV_NO_FIT;
  // Only now that the page is known to fit may values get their runs. From
  // here on something changed: a write that still does not fit is a
  // failure, not a result the caller may split on.
  if (int rc = orv_prefix_run_overflow(mc, entries, 0, count, data, flags); rc != 0) return rc;
  if (int rc = orv_prefix_page_write(ctx, mp, psize, entries, 0, count); rc != 0)
    return rc == ORV_NO_FIT ? ORV_PAGE_FULL : rc;
  if (key != nullptr && (flags & ORV_RESERVE) && !(entries[indx].pe_flags & F_BIGDATA))
    data->mv_data = node_data(node_ptr(mp, indx));
  return 0;
}
