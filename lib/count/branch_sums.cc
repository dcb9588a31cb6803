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
// The cache is one block hung off the transaction's scratch area and kept
// (with its transaction record) across reset and renew: an entry is keyed
// by page number and snapshot id, so that entries of an earlier snapshot
// simply stop matching. Write transactions (nested ones too) never use it:
// their pages change under them.
//
// Entries sit in sets of four, chosen by page number; a page that misses
// takes the place of the set's empty or stale entry, else of the one used
// least recently. The pages near the root, which every count reads, are
// thus never the ones to go, and the many pages of the lowest branch level
// share the rest. The block is sized for the tree being counted: about two
// entries per branch page of it (md_branch_pages), so that a count over a
// tree the cache can hold walks each branch page once and then never
// again, up to a bound on the memory of one cache. It is allocated at the
// first count of a read-only transaction record and again only when a
// count meets a larger tree than the cache was sized for; in the steady
// state nothing is allocated.
#include <cstdlib>
#include <cstring>

#include "count/count.h"
#include "page/prefetch.h"
#include "txn/txn.h"

namespace {

inline constexpr uint32_t WAYS = 4;
inline constexpr uint32_t ENTRIES_MIN = 32;
// The most one cache may take: about 4,000 entries of 4 KiB pages, enough
// for the branch pages of a tree of some millions of entries.
inline constexpr size_t CACHE_BYTES_MAX = size_t{8} << 20;

struct SumsEntry {
  pgno_t pgno;  // P_INVALID: empty
  txnid_t txnid;
  uint64_t total;  // all entries below the page
  uint16_t nkeys;
  uint16_t pad;
  uint32_t used;  // the cache's clock when last used
};
static_assert(sizeof(SumsEntry) == 32);
static_assert(WAYS * sizeof(SumsEntry) % ORV_CACHE_LINE == 0);

struct alignas(ORV_CACHE_LINE) SumsCache {
  uint32_t shift;   // 64 - log2(number of sets)
  uint32_t stride;  // sums per entry: the most slots a branch page holds
  uint32_t count;   // number of entries
  uint32_t clock;   // ticks once per lookup
  uint32_t most;    // the most entries a cache of this page size may have
  // Followed by count SumsEntry records (set by set), then count * stride
  // sums.
};
static_assert(sizeof(SumsCache) == ORV_CACHE_LINE);

SumsEntry *cache_entries(SumsCache *c) { return reinterpret_cast<SumsEntry *>(c + 1); }
uint64_t *cache_sums(SumsCache *c, uint32_t i) {
  return reinterpret_cast<uint64_t *>(cache_entries(c) + c->count) + size_t{i} * c->stride;
}

uint32_t sums_stride(size_t psize) {
  // The smallest branch node (an empty key) with its slot.
  return static_cast<uint32_t>((psize - PAGEHDRSZ) / (sizeof(indx_t) + NODESIZE + COUNTSIZE) + 1);
}

size_t entry_bytes(uint32_t stride) { return sizeof(SumsEntry) + sizeof(uint64_t) * stride; }

// The number of entries for a tree of branch_pages branch pages: a power
// of two of about twice as many, within ENTRIES_MIN and CACHE_BYTES_MAX.
uint32_t entries_for(uint64_t branch_pages, uint32_t stride) {
  const uint64_t most = CACHE_BYTES_MAX / entry_bytes(stride);
  uint64_t count = ENTRIES_MIN;
  while (count < 2 * branch_pages && count * 2 <= most) count *= 2;
  return static_cast<uint32_t>(count);
}

SumsCache *cache_create(size_t psize, uint32_t count) {
  const uint32_t stride = sums_stride(psize);
  void *p = nullptr;
  if (posix_memalign(&p, ORV_CACHE_LINE, sizeof(SumsCache) + size_t{count} * entry_bytes(stride)) !=
      0)
    return nullptr;
  auto *c = static_cast<SumsCache *>(p);
  uint32_t shift = 64;
  for (uint32_t sets = count / WAYS; sets > 1; sets >>= 1) --shift;
  *c = SumsCache{shift, stride, count, 0, entries_for(UINT64_MAX / 4, stride)};
  SumsEntry *e = cache_entries(c);
  for (uint32_t i = 0; i < count; ++i) e[i] = SumsEntry{P_INVALID, 0, 0, 0, 0, 0};
  return c;
}

// The cache of the transaction, made (or made anew, larger) when it has
// fewer entries than the tree of mc wants. Null without memory for a first
// one: the caller walks the page itself.
SumsCache *cache_for(ORV_cursor *mc) {
  ORV_txn *txn = mc->mc_txn;
  auto *c = static_cast<SumsCache *>(txn->mt_scratch.ms_counts);
  const uint64_t branch_pages = mc->mc_db->md_branch_pages;
  // A tree larger than the largest cache makes do with it.
  if (c != nullptr && (2 * branch_pages <= c->count || c->count >= c->most)) [[likely]]
    return c;
  const size_t psize = txn->mt_env->me_psize;
  const uint32_t want = entries_for(branch_pages, sums_stride(psize));
  if (c != nullptr && want <= c->count) return c;  // as large as it may grow
  SumsCache *grown = cache_create(psize, want);
  if (grown == nullptr) return c;  // the smaller one still serves
  std::free(c);
  txn->mt_scratch.ms_counts = grown;
  return grown;
}

uint32_t set_first(const SumsCache *c, pgno_t pgno) {
  // A cache of one set has shift 64, which a shift may not take.
  if (c->shift >= 64) return 0;
  return static_cast<uint32_t>((pgno * 0x9E3779B97F4A7C15ull) >> c->shift) * WAYS;
}

}  // namespace

void orv_branch_sums_prefetch(const ORV_cursor *mc, pgno_t pgno) {
  const ORV_txn *txn = mc->mc_txn;
  if (!txn_is_rdonly(txn)) return;
  auto *c = static_cast<SumsCache *>(txn->mt_scratch.ms_counts);
  if (c == nullptr) return;
  const SumsEntry *set = &cache_entries(c)[set_first(c, pgno)];
  orv_prefetch_range(set, WAYS * sizeof(SumsEntry));
}

int orv_branch_sums_get(ORV_cursor *mc, const ORV_page *mp, const uint64_t **sums_out,
                        uint64_t *total_out) {
  *sums_out = nullptr;
  ORV_txn *txn = mc->mc_txn;
  if (!txn_is_rdonly(txn) || is_subp(mp)) return 0;
  SumsCache *c = cache_for(mc);
  if (c == nullptr) return 0;
  const unsigned n = numkeys(mp);
  const pgno_t pgno = mp->mp_pgno;
  const txnid_t txnid = txn->mt_txnid;
  const uint32_t first = set_first(c, pgno);
  SumsEntry *set = &cache_entries(c)[first];
  const uint32_t now = ++c->clock;
  for (uint32_t w = 0; w < WAYS; ++w) {
    SumsEntry *e = &set[w];
    if (e->pgno == pgno && e->txnid == txnid && e->nkeys == n) {
      e->used = now;
      *sums_out = cache_sums(c, first + w);
      *total_out = e->total;
      return 0;
    }
  }
  if (n > c->stride) return 0;
  // The victim: an empty or stale entry, else the one unused the longest
  // (by clock distance, which survives the clock's wrap).
  uint32_t victim = 0;
  for (uint32_t w = 0, oldest = 0; w < WAYS; ++w) {
    const SumsEntry *e = &set[w];
    if (e->pgno == P_INVALID || e->txnid != txnid) {
      victim = w;
      break;
    }
    if (now - e->used > oldest) {
      oldest = now - e->used;
      victim = w;
    }
  }
  // The walk of every count, into the entry's sums; the entry describes
  // the page only once the walk has passed.
  SumsEntry *e = &set[victim];
  e->pgno = P_INVALID;
  uint64_t *sums = cache_sums(c, first + victim);
  const size_t psize = txn->mt_env->me_psize;
  uint64_t total = 0;
  for (unsigned k = 0; k < n; ++k) {
    if (!orv_node_in_page(mp, psize, k, false)) return orv_count_corrupted(mc);
    sums[k] = total;
    if (__builtin_add_overflow(total, node_count(node_ptr(mp, k)), &total))
      return orv_count_corrupted(mc);
  }
  *e = SumsEntry{pgno, txnid, total, static_cast<uint16_t>(n), 0, now};
  *sums_out = sums;
  *total_out = total;
  return 0;
}
