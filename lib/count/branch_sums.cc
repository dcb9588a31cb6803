// Prefix sums of counted branch pages kept for a read-only transaction's
// snapshot (orv_branch_sums_get).
//
// A page of a read-only snapshot never changes while the snapshot is read:
// the writer only fills pages no snapshot still reaches, and a read-only
// transaction that is renewed onto the same snapshot id sees the very same
// tree. So the walk over every count of a branch page, which checks that
// each node lies inside the page and that the counts add up, needs to run
// once per page and snapshot; its prefix sums then answer every later count
// on that page with two reads instead of a walk over the whole node area.
// What the walk proved about the page holds for as long as the entry
// describes it; the caller still compares the cached total with the count
// the parent keeps for the page each time, as the walk would.
//
// The cache is one block, allocated at the first count of a read-only
// transaction and kept (with its transaction record) across reset and
// renew: an entry is keyed by page number and snapshot id, so that entries
// of an earlier snapshot simply stop matching. Write transactions (nested
// ones too) never use it: their pages change under them.
//
// Entries are direct-mapped by page number. A page nearer the root takes
// the place of a deeper one at once; a deeper page takes the place of one
// nearer the root only after that entry has been passed over a few times,
// so that the few upper pages every count reads stay while the many pages
// of the lowest branch level share the rest.
#include <cstdlib>
#include <cstring>

#include "count/count.h"
#include "txn/txn.h"

namespace {

// About the memory of one cache: enough entries for the branch pages of a
// tree of some millions of entries at the default page size.
inline constexpr size_t CACHE_BYTES = size_t{1} << 20;
inline constexpr uint32_t ENTRIES_MIN = 8;
// Times an entry is passed over by a deeper page before it gives way.
inline constexpr uint8_t PASSES_BEFORE_EVICTION = 4;

struct SumsEntry {
  pgno_t pgno;  // P_INVALID: empty
  txnid_t txnid;
  uint64_t total;  // all entries below the page
  uint16_t nkeys;
  uint8_t level;  // depth of the page in its tree (0: root)
  uint8_t passes;
  uint32_t pad;
};
static_assert(sizeof(SumsEntry) == 32);

struct SumsCache {
  uint32_t shift;   // 64 - log2(number of entries)
  uint32_t stride;  // sums per entry: the most slots a branch page holds
  uint32_t count;   // number of entries
  uint32_t pad;
  // Followed by count SumsEntry records, then count * stride sums.
};

SumsEntry *cache_entries(SumsCache *c) { return reinterpret_cast<SumsEntry *>(c + 1); }
uint64_t *cache_sums(SumsCache *c, uint32_t i) {
  return reinterpret_cast<uint64_t *>(cache_entries(c) + c->count) + size_t{i} * c->stride;
}

SumsCache *cache_create(size_t psize) {
  // The smallest branch node (an empty key) with its slot.
  const auto stride =
      static_cast<uint32_t>((psize - PAGEHDRSZ) / (sizeof(indx_t) + NODESIZE + COUNTSIZE) + 1);
  const size_t per_entry = sizeof(SumsEntry) + sizeof(uint64_t) * stride;
  uint32_t count = ENTRIES_MIN, shift = 64 - 3;
  while (size_t{count} * 2 * per_entry <= CACHE_BYTES) {
    count *= 2;
    --shift;
  }
  auto *c = static_cast<SumsCache *>(std::malloc(sizeof(SumsCache) + size_t{count} * per_entry));
  if (c == nullptr) return nullptr;
  *c = SumsCache{shift, stride, count, 0};
  SumsEntry *e = cache_entries(c);
  for (uint32_t i = 0; i < count; ++i) e[i] = SumsEntry{P_INVALID, 0, 0, 0, 0, 0, 0};
  return c;
}

uint32_t cache_index(const SumsCache *c, pgno_t pgno) {
  return static_cast<uint32_t>((pgno * 0x9E3779B97F4A7C15ull) >> c->shift);
}

}  // namespace

int orv_branch_sums_get(ORV_cursor *mc, const ORV_page *mp, unsigned level,
                        const uint64_t **sums_out, uint64_t *total_out) {
  *sums_out = nullptr;
  ORV_txn *txn = mc->mc_txn;
  if (!txn_is_rdonly(txn) || is_subp(mp)) return 0;
  auto *c = static_cast<SumsCache *>(txn->mt_scratch.ms_counts);
  const size_t psize = txn->mt_env->me_psize;
  if (c == nullptr) {
    c = cache_create(psize);
    if (c == nullptr) return 0;  // the caller walks the page itself
    txn->mt_scratch.ms_counts = c;
  }
  const unsigned n = numkeys(mp);
  const uint32_t i = cache_index(c, mp->mp_pgno);
  SumsEntry *e = &cache_entries(c)[i];
  if (e->pgno == mp->mp_pgno && e->txnid == txn->mt_txnid && e->nkeys == n) {
    *sums_out = cache_sums(c, i);
    *total_out = e->total;
    return 0;
  }
  if (n > c->stride) return 0;
  const bool stale = e->pgno == P_INVALID || e->txnid != txn->mt_txnid;
  if (!stale && level > e->level && ++e->passes < PASSES_BEFORE_EVICTION) return 0;
  // The walk of every count, into the entry's sums; the entry describes
  // the page only once the walk has passed.
  e->pgno = P_INVALID;
  uint64_t *sums = cache_sums(c, i);
  uint64_t total = 0;
  for (unsigned k = 0; k < n; ++k) {
    if (!orv_node_in_page(mp, psize, k, false)) return orv_count_corrupted(mc);
    sums[k] = total;
    if (__builtin_add_overflow(total, node_count(node_ptr(mp, k)), &total))
      return orv_count_corrupted(mc);
  }
  *e = SumsEntry{mp->mp_pgno,
                 txn->mt_txnid,
                 total,
                 static_cast<uint16_t>(n),
                 static_cast<uint8_t>(level),
                 0,
                 0};
  *sums_out = sums;
  *total_out = total;
  return 0;
}
