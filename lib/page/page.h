// Page layer: byte layout of pages, nodes and database records, entry
// counts of counted trees, key comparison, search inside one page, and node
// insertion and removal.
//
// Page header (16 bytes, host byte order; on disk: never change):
//   00-07  mp_pgno   page number (sub-page: number of the leaf holding it)
//   08-09  mp_pad    P_LEAF2: fixed key size; prefix-key leaf: longest key
//   10-11  mp_flags  P_* flags
//   12-13  mp_lower  end of the slot array        } overflow page: one u32
//   14-15  mp_upper  start of the node area       } mp_pages = run length
//   16-..  mp_ptrs   one 16-bit node offset per slot, in key order
//
// Node header (8 bytes; every node starts at an even offset):
//   00-01  mn_lo     leaf: value size bits 0-15   branch: child pgno 0-15
//   02-03  mn_hi     leaf: value size bits 16-31  branch: child pgno 16-31
//   04-05  mn_flags  leaf: F_* flags              branch: child pgno 32-47
//   06-07  mn_ksize  stored key length
//   08-15  mn_count  P_COUNTED branch pages only: entries below the child
//   then the key, padded to an even length on leaves, then the value.
#ifndef ORV_PAGE_PAGE_H
#define ORV_PAGE_PAGE_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "idl.h"
#include "orv.h"

struct ORV_txn;
struct ORV_env;

using pgno_t = uint64_t;
using txnid_t = uint64_t;
using indx_t = uint16_t;

inline constexpr pgno_t P_INVALID = ~pgno_t{0};
inline constexpr ORV_dbi FREE_DBI = 0;
inline constexpr ORV_dbi MAIN_DBI = 1;
inline constexpr ORV_dbi CORE_DBS = 2;
inline constexpr unsigned NUM_METAS = 2;

inline constexpr uint32_t ORV_MAGIC = 0xBEEFC0DE;
inline constexpr uint32_t ORV_DATA_VERSION = 1;
inline constexpr uint32_t ORV_LOCK_FORMAT = 0x2986C002;
inline constexpr unsigned ORV_DEFAULT_READERS = 126;
inline constexpr size_t ORV_DEFAULT_MAPSIZE = 1048576;
inline constexpr unsigned ORV_MAX_PAGESIZE = 32768;
inline constexpr unsigned ORV_KEYBUF_MAX = 511;
inline constexpr unsigned ORV_CURSOR_STACK = 32;

// Internal result of a page edit: the node or the rewritten page does not
// fit, and nothing changed (page and transaction as they were); the caller
// may split or take another road. Distinct from ORV_PAGE_FULL, which fails
// the transaction. Outside the public range and never returned by an orv_*
// entry point: a transaction failed with it records ORV_PAGE_FULL
// (orv_txn_fail).
inline constexpr int ORV_NO_FIT = -30768;

inline constexpr indx_t PAGEHDRSZ = 16;
inline constexpr unsigned NODESIZE = 8;
inline constexpr unsigned COUNTSIZE = 8;  // mn_count on P_COUNTED branch nodes

// Page flags. On disk: never renumber.
inline constexpr uint16_t P_BRANCH = 0x0001;
inline constexpr uint16_t P_LEAF = 0x0002;
inline constexpr uint16_t P_OVERFLOW = 0x0004;
inline constexpr uint16_t P_META = 0x0008;
inline constexpr uint16_t P_DIRTY = 0x0010;
inline constexpr uint16_t P_LEAF2 = 0x0020;
inline constexpr uint16_t P_SUBP = 0x0040;
inline constexpr uint16_t P_COUNTED = 0x0080;
inline constexpr uint16_t P_LOOSE = 0x4000;
inline constexpr uint16_t P_KEEP = 0x8000;
// Flags that never reach the file.
inline constexpr uint16_t P_WRITE_MASK = 0x3FEF;

// Node flags. On disk: never renumber.
inline constexpr uint16_t F_BIGDATA = 0x01;
inline constexpr uint16_t F_SUBDATA = 0x02;
inline constexpr uint16_t F_DUPDATA = 0x04;

// Page header. Pages inside the map and page buffers are 8-byte aligned, but
// sub-pages live inside node data at 2-byte alignment, so the record is
// declared with 2-byte alignment and the compiler emits safe loads.
struct __attribute__((packed, aligned(2))) ORV_page {
  pgno_t mp_pgno;    /* 00-07: page number */
  uint16_t mp_pad;   /* 08-09: see above */
  uint16_t mp_flags; /* 10-11: P_* flags */
  uint16_t mp_lower; /* 12-13: end of slot array */
  uint16_t mp_upper; /* 14-15: start of node area */
};
static_assert(sizeof(ORV_page) == PAGEHDRSZ);
static_assert(std::is_standard_layout_v<ORV_page>);

struct ORV_node {
  uint16_t mn_lo;    /* 00-01 */
  uint16_t mn_hi;    /* 02-03 */
  uint16_t mn_flags; /* 04-05 */
  uint16_t mn_ksize; /* 06-07 */
};
static_assert(sizeof(ORV_node) == NODESIZE);

// The 48-byte record describing one B+tree.
struct ORV_db {
  uint32_t md_pad;          /* 00-03: DUPFIXED size; meta FREE_DBI: page size */
  uint16_t md_flags;        /* 04-05: database flags */
  uint16_t md_depth;        /* 06-07: levels, 0 when empty */
  pgno_t md_branch_pages;   /* 08-15 */
  pgno_t md_leaf_pages;     /* 16-23 */
  pgno_t md_overflow_pages; /* 24-31 */
  uint64_t md_entries;      /* 32-39: pairs, each duplicate counted */
  pgno_t md_root;           /* 40-47: root page or P_INVALID */
};
static_assert(sizeof(ORV_db) == 48);
static_assert(offsetof(ORV_db, md_flags) == 4);
static_assert(offsetof(ORV_db, md_depth) == 6);
static_assert(offsetof(ORV_db, md_entries) == 32);
static_assert(offsetof(ORV_db, md_root) == 40);

// ---- Small helpers ------------------------------------------------------

// n rounded up to an even number.
constexpr size_t even(size_t n) { return (n + 1) & ~size_t{1}; }

inline uint64_t load_u64(const void *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_u64(void *p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline uint32_t load_u32(const void *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_u32(void *p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// Grows the malloc'd array *buf (capacity *cap elements) to hold at least
// need elements, doubling from min; a null *buf is always allocated. On
// ENOMEM (no memory, or a capacity *cap cannot express) the buffer and
// *cap are unchanged. Contents are kept.
template <typename T, typename Cap>
[[nodiscard]] int orv_buf_grow(T **buf, Cap *cap, uint64_t need, uint64_t min) {
  if (*buf != nullptr && *cap >= need) return 0;
  constexpr uint64_t kElem = sizeof(std::conditional_t<std::is_void_v<T>, char, T>);
  constexpr uint64_t kMax = std::numeric_limits<Cap>::max() < UINT64_MAX / kElem
                                ? std::numeric_limits<Cap>::max()
                                : UINT64_MAX / kElem;
  uint64_t n = *cap > min ? *cap : min;
  if (n == 0) n = 1;
  while (n < need) n = n > kMax / 2 ? need : n * 2;
  if (n > kMax || n * kElem > SIZE_MAX) return ENOMEM;
  void *p = std::realloc(*buf, static_cast<size_t>(n * kElem));
  if (p == nullptr) return ENOMEM;
  *buf = static_cast<T *>(p);
  *cap = static_cast<Cap>(n);
  return 0;
}

// ---- Page accessors -------------------------------------------------------

inline std::byte *page_bytes(ORV_page *mp) { return reinterpret_cast<std::byte *>(mp); }
inline const std::byte *page_bytes(const ORV_page *mp) {
  return reinterpret_cast<const std::byte *>(mp);
}
inline indx_t *mp_ptrs(ORV_page *mp) {
  return reinterpret_cast<indx_t *>(page_bytes(mp) + PAGEHDRSZ);
}
inline const indx_t *mp_ptrs(const ORV_page *mp) {
  return reinterpret_cast<const indx_t *>(page_bytes(mp) + PAGEHDRSZ);
}
inline unsigned numkeys(const ORV_page *mp) { return (mp->mp_lower - PAGEHDRSZ) >> 1; }
// Spellings used in assertion texts.
inline unsigned MP_LOWER(const ORV_page *mp) { return mp->mp_lower; }
inline unsigned MP_UPPER(const ORV_page *mp) { return mp->mp_upper; }
inline unsigned size_left(const ORV_page *mp) { return mp->mp_upper - mp->mp_lower; }
inline bool is_leaf(const ORV_page *mp) { return mp->mp_flags & P_LEAF; }
inline bool is_leaf2(const ORV_page *mp) { return mp->mp_flags & P_LEAF2; }
inline bool is_branch(const ORV_page *mp) { return mp->mp_flags & P_BRANCH; }
inline bool is_overflow(const ORV_page *mp) { return mp->mp_flags & P_OVERFLOW; }
inline bool is_subp(const ORV_page *mp) { return mp->mp_flags & P_SUBP; }
inline bool is_counted(const ORV_page *mp) { return mp->mp_flags & P_COUNTED; }
inline bool is_dirty(const ORV_page *mp) { return mp->mp_flags & P_DIRTY; }

// Overflow pages keep the run length where lower/upper would be.
inline uint32_t mp_pages(const ORV_page *mp) { return load_u32(page_bytes(mp) + 12); }
inline void set_mp_pages(ORV_page *mp, uint32_t n) { store_u32(page_bytes(mp) + 12, n); }

// Data area of a page (overflow values start here).
inline void *page_data(ORV_page *mp) { return page_bytes(mp) + PAGEHDRSZ; }

// Loose pages link through the 8 bytes at offset 32 of their buffer.
inline ORV_page *&next_loose_page(ORV_page *mp) {
  return *reinterpret_cast<ORV_page **>(page_bytes(mp) + 32);
}

// ---- Node accessors -------------------------------------------------------

inline ORV_node *node_ptr(ORV_page *mp, unsigned i) {
  return reinterpret_cast<ORV_node *>(page_bytes(mp) + mp_ptrs(mp)[i]);
}
inline const ORV_node *node_ptr(const ORV_page *mp, unsigned i) {
  return reinterpret_cast<const ORV_node *>(page_bytes(mp) + mp_ptrs(mp)[i]);
}
// Header size of a node on this page: 16 on counted branch pages, else 8.
inline unsigned node_hdrsz(const ORV_page *mp) {
  return is_counted(mp) ? NODESIZE + COUNTSIZE : NODESIZE;
}
inline size_t node_ksize(const ORV_node *node) { return node->mn_ksize; }
inline void *node_key(ORV_node *node, unsigned hdrsz) {
  return reinterpret_cast<std::byte *>(node) + hdrsz;
}
inline const void *node_key(const ORV_node *node, unsigned hdrsz) {
  return reinterpret_cast<const std::byte *>(node) + hdrsz;
}
// Leaf value size.
inline size_t node_dsize(const ORV_node *node) {
  return node->mn_lo | (static_cast<size_t>(node->mn_hi) << 16);
}
inline void set_node_dsize(ORV_node *node, size_t size) {
  node->mn_lo = static_cast<uint16_t>(size);
  node->mn_hi = static_cast<uint16_t>(size >> 16);
}
// Leaf value: after the header and the key padded to even length.
inline void *node_data(ORV_node *node) {
  return reinterpret_cast<std::byte *>(node) + NODESIZE + even(node->mn_ksize);
}
inline const void *node_data(const ORV_node *node) {
  return reinterpret_cast<const std::byte *>(node) + NODESIZE + even(node->mn_ksize);
}
// Branch child page number (48 bits).
inline pgno_t node_pgno(const ORV_node *node) {
  return node->mn_lo | (static_cast<pgno_t>(node->mn_hi) << 16) |
         (static_cast<pgno_t>(node->mn_flags) << 32);
}
inline void set_node_pgno(ORV_node *node, pgno_t pgno) {
  node->mn_lo = static_cast<uint16_t>(pgno);
  node->mn_hi = static_cast<uint16_t>(pgno >> 16);
  node->mn_flags = static_cast<uint16_t>(pgno >> 32);
}
// Entry count of a node on a P_COUNTED branch page.
inline uint64_t node_count(const ORV_node *node) {
  return load_u64(reinterpret_cast<const std::byte *>(node) + NODESIZE);
}
inline void set_node_count(ORV_node *node, uint64_t count) {
  store_u64(reinterpret_cast<std::byte *>(node) + NODESIZE, count);
}
// Key i of a P_LEAF2 page: fixed-size keys packed after the header.
inline void *leaf2_key(ORV_page *mp, unsigned i, size_t ksize) {
  return page_bytes(mp) + PAGEHDRSZ + i * ksize;
}

// Whether mp is a prefix page of a tree with these md_flags: a leaf page,
// not P_LEAF2, of a database with ORV_PREFIXKEY (sub-pages included).
inline bool orv_prefix_page(unsigned md_flags, const ORV_page *mp) {
  return (md_flags & ORV_PREFIXKEY) && is_leaf(mp) && !is_leaf2(mp);
}
// The key of slot 0 as stored: on a prefix page, the key every other slot
// is encoded against. REQUIRES: numkeys(mp) > 0, not P_LEAF2.
inline ORV_val orv_page_first_key(const ORV_page *mp) {
  const ORV_node *node = node_ptr(mp, 0);
  return ORV_val{node->mn_ksize, const_cast<void *>(node_key(node, NODESIZE))};
}
// The key of slot i as stored on the page: a P_LEAF2 element (of the
// page's fixed size mp_pad), a branch key, or a leaf key (on a prefix page
// above slot 0 that is the encoded form; orv_cursor_read_key decodes it).
// Points into the page. REQUIRES: i < numkeys(mp).
inline ORV_val orv_slot_key(ORV_page *mp, unsigned i) {
  if (is_leaf2(mp)) return ORV_val{mp->mp_pad, leaf2_key(mp, i, mp->mp_pad)};
  ORV_node *node = node_ptr(mp, i);
  return ORV_val{node->mn_ksize, node_key(node, node_hdrsz(mp))};
}

// Node sizes (the space in the node area, without the 2-byte slot).
inline size_t branch_node_size(const ORV_page *mp, size_t ksize) {
  return node_hdrsz(mp) + even(ksize);
}
inline size_t leaf_node_size(size_t ksize, size_t dsize) {
  return even(NODESIZE + even(ksize) + dsize);
}
inline size_t bigdata_node_size(size_t ksize) { return NODESIZE + even(ksize) + sizeof(pgno_t); }
// Size of an existing node of mp as it sits in the node area.
inline size_t node_size_on(const ORV_page *mp, const ORV_node *node) {
  if (!is_leaf(mp)) return branch_node_size(mp, node->mn_ksize);
  return leaf_node_size(node->mn_ksize,
                        (node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : node_dsize(node));
}

// Pages of an overflow run holding n value bytes.
inline pgno_t ovpages(size_t psize, size_t n) { return (n + PAGEHDRSZ - 1) / psize + 1; }

// Largest leaf node (me_nodemax) that stays inline on a page of psize bytes:
// two such nodes and their slots fill the page exactly.
constexpr uint32_t orv_nodemax(uint32_t psize) { return (psize - PAGEHDRSZ) / 4 * 2 - 2; }

// ---- Checks of pages read from the file (page_check.cc) -------------------
//
// Bytes read from the data file are input: a damaged page must give
// ORV_CORRUPTED, never a read outside the page or the map. Each rule has one
// function here; they are called where a page enters use (the page lookup,
// the descent, the sibling step) and where a node is read, so that a page's
// header is checked once per visit and a node once per read.

// True when mp's header is sane for a page of psize bytes: 16 <= mp_lower
// <= mp_upper <= psize, mp_lower even.
inline bool orv_page_shape_ok(const ORV_page *mp, size_t psize) {
  return mp->mp_lower >= PAGEHDRSZ && !(mp->mp_lower & 1) && mp->mp_lower <= mp->mp_upper &&
         mp->mp_upper <= psize;
}
// orv_page_shape_ok for a leaf page whose keys may be prefix-compressed: a
// plain leaf or a leaf sub-page, no bit of another kind set. The readers of
// such pages take every node header as NODESIZE bytes, so a leaf that also
// says P_COUNTED (counted nodes are longer) is damage, not a layout.
inline bool orv_prefix_leaf_shape_ok(const ORV_page *mp, size_t psize) {
  constexpr uint16_t kOther = P_BRANCH | P_OVERFLOW | P_META | P_LEAF2 | P_COUNTED;
  return (mp->mp_flags & (P_LEAF | kOther)) == P_LEAF && orv_page_shape_ok(mp, psize);
}
// True when the node at offset ofs of mp (its header hdrsz bytes) starts
// at an even offset in [mp_upper, psize) and its header and whole key lie
// inside the page, with its stored value too when with_value (8 bytes for
// F_BIGDATA; leaf pages only). Inline: the page search runs it on every
// probe. REQUIRES: orv_page_shape_ok(mp, psize).
inline bool orv_node_at_ok(const ORV_page *mp, size_t psize, size_t ofs, unsigned hdrsz,
                           bool with_value) {
  if (ofs < mp->mp_upper || (ofs & 1) || ofs + hdrsz > psize) return false;
  const auto *node = reinterpret_cast<const ORV_node *>(page_bytes(mp) + ofs);
  size_t end = ofs + hdrsz + node->mn_ksize;
  if (with_value)
    end = ofs + NODESIZE + even(node->mn_ksize) +
          ((node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : node_dsize(node));
  return end <= psize;
}
// The page search's probe check: the node at offset ofs starts at an even
// offset in the node area and its whole key lies inside the page, where
// key_limit is the page size less the node header size.
inline bool orv_node_key_ok(const ORV_page *mp, size_t ofs, size_t key_limit) {
  return !(ofs & 1) && ofs >= mp->mp_upper && ofs <= key_limit &&
         ofs + reinterpret_cast<const ORV_node *>(page_bytes(mp) + ofs)->mn_ksize <= key_limit;
}
// The check of a leaf node about to be read: node (a node of the leaf page
// mp of psize bytes) starts at an even offset in the node area, and its
// header, key and stored value lie inside the page.
inline bool orv_leaf_node_ok(const ORV_page *mp, size_t psize, const ORV_node *node) {
  const auto ofs = static_cast<size_t>(reinterpret_cast<const std::byte *>(node) - page_bytes(mp));
  if ((ofs & 1) || ofs < mp->mp_upper || ofs + NODESIZE > psize) return false;
  const size_t value = (node->mn_flags & F_BIGDATA) ? sizeof(pgno_t) : node_dsize(node);
  return ofs + NODESIZE + even(node->mn_ksize) + value <= psize;
}
// orv_node_at_ok for node, a node of mp (with_value on leaf pages only).
inline bool orv_node_bounded(const ORV_page *mp, size_t psize, const ORV_node *node,
                             bool with_value) {
  const auto ofs = static_cast<size_t>(reinterpret_cast<const std::byte *>(node) - page_bytes(mp));
  return orv_node_at_ok(mp, psize, ofs, node_hdrsz(mp), with_value && is_leaf(mp));
}
// orv_node_bounded for the node of slot i. REQUIRES: i < numkeys(mp).
inline bool orv_node_in_page(const ORV_page *mp, size_t psize, unsigned i, bool with_value) {
  return orv_node_at_ok(mp, psize, mp_ptrs(mp)[i], node_hdrsz(mp), with_value && is_leaf(mp));
}
// orv_tree_page_ok for a P_LEAF2 page: mp_pad is not 0 and the keys of
// mp_pad (and of key_size, the tree's fixed size) bytes fit the page.
bool orv_leaf2_page_ok(const ORV_page *mp, size_t psize, size_t key_size);
// True when a page that was looked up as page pgno of the tree described by
// db may be used as one: it names itself pgno, it is a branch page
// (P_COUNTED allowed), a leaf page, or a P_LEAF2 leaf in a tree of
// fixed-size duplicates (dup_tree, or ORV_DUPFIXED in db's flags;
// orv_leaf2_page_ok with db's md_pad), nothing else (no overflow, meta or
// sub-page flags), and its header is sane. In-memory flags (P_DIRTY,
// P_LOOSE, P_KEEP) are ignored. Inline: every page a descent enters runs it.
inline bool orv_tree_page_ok(const ORV_page *mp, pgno_t pgno, size_t psize, const ORV_db *db,
                             bool dup_tree) {
  constexpr uint16_t kKind = P_BRANCH | P_LEAF | P_OVERFLOW | P_META | P_LEAF2 | P_SUBP | P_COUNTED;
  if (mp->mp_pgno != pgno) return false;
  const unsigned kind = mp->mp_flags & kKind;
  // Nodes are of even sizes below an even page size: their area starts at
  // an even offset (P_LEAF2 keys may be odd-sized).
  if (kind == P_LEAF || kind == P_BRANCH || kind == (P_BRANCH | P_COUNTED)) [[likely]]
    return orv_page_shape_ok(mp, psize) && !(mp->mp_upper & 1);
  return kind == (P_LEAF | P_LEAF2) && (dup_tree || (db->md_flags & ORV_DUPFIXED)) &&
         orv_leaf2_page_ok(mp, psize, db->md_pad);
}
// True when the header of mp is sane and every node of it lies inside the
// page with its key and stored value (orv_node_in_page): for the paths that
// move or measure every node of a page, once per page.
bool orv_page_nodes_ok(const ORV_page *mp, size_t psize);
// True when a and b are pages of the same kind (branch, leaf, P_LEAF2
// leaf): a page met at one level of a tree must be like its neighbours.
bool orv_page_same_kind(const ORV_page *a, const ORV_page *b);
// True when a branch page holds enough slots to descend through: two, or
// one in the free-page database (which a commit may leave that way).
inline bool orv_branch_keys_ok(const ORV_page *mp, bool free_db) {
  return numkeys(mp) >= (free_db ? 1u : 2u);
}
// True when omp, looked up as page pgno for a value of size bytes, is the
// first page of an overflow run that names itself pgno, whose run ends at
// or before page end (the first page not in use) and holds the value.
bool orv_overflow_page_ok(const ORV_page *omp, pgno_t pgno, size_t psize, pgno_t end, size_t size);
// True when the record of the free-page database read from a meta page can
// describe it: its keys are transaction ids with one page list each, never
// sorted duplicates.
inline bool orv_free_db_record_ok(const ORV_db *db) { return !(db->md_flags & ORV_DUPSORT); }
// True when every page number of a free-page record (an ID list image of
// size bytes: a count, then that many page numbers) lies in [2, end), the
// numbers strictly descend, and the count fits the value. *count_out
// receives the count.
bool orv_free_record_ok(const void *data, size_t size, pgno_t end, uint64_t *count_out);

// ---- Entry counts of counted trees ---------------------------------------

// Entries below a page (see the layout comment of each case in layout.cc).
uint64_t orv_page_entries(const ORV_page *mp);
// Entries of one leaf node: 1, or the number of its duplicates.
uint64_t orv_node_entries(const ORV_page *mp, const ORV_node *node);
// Stores count in the node of a P_COUNTED page pointing at child; returns
// count minus the old value, or 0 when there is no such node.
int64_t orv_branch_set_count(ORV_page *mp, pgno_t child, uint64_t count);

// ---- Page context --------------------------------------------------------
//
// What a page-layer function needs to know of the tree whose page it works
// on, passed in place of a cursor so that the function can run (and be
// tested) on a bare page. Built from a cursor by orv_page_ctx_of (btree.h).

// One entry of the key-length index: the decoded key lengths of one page of a
// prefix-compressed database, so that the longest key (mp_pad) is kept exact
// without rescanning the page. 40 bytes.
struct ORV_keylen_entry {
  pgno_t kl_pgno;        // page number, all ones when the slot is empty
  uint16_t *kl_lens;     // heap buffer: one length per slot
  uint32_t kl_cap;       // capacity of kl_lens in entries
  uint32_t kl_nkeys;     // slots described
  uint32_t kl_max;       // longest length
  uint32_t kl_maxcount;  // how many slots have that length
  uint32_t kl_valid;     // 1 while the entry describes the page
  uint32_t kl_pad;
};
static_assert(sizeof(ORV_keylen_entry) == 40);

// Scratch buffers of a write transaction (mt_scratch) for the page layer:
// grown by doubling, never shrunk, freed by orv_txn_scratch_free.
struct ORV_scratch {
  void *ms_page;  // page image buffer for prefix-page rebuilds
  uint64_t ms_page_cap;
  void *ms_entries;  // 64-byte node descriptors of a rebuild
  uint32_t ms_entries_cap;
  void *ms_dkeys;  // decoded-key buffer (also orv_txn_scratch)
  uint64_t ms_dkeys_cap;
  ORV_keylen_entry *ms_klx;  // key-length index table
  uint32_t ms_klx_used;
  uint32_t ms_klx_cap;
  void *ms_counts;  // read-only: branch count sums of the snapshot (lib/count)
};

struct ORV_page_ctx {
  size_t psize;                    // bytes of a page of the file (me_psize)
  size_t nodemax;                  // largest node kept inline (me_nodemax)
  unsigned md_flags;               // the tree's database flags
  size_t subpsize = 0;             // bytes of the sub-page worked on (the
                                   // value size of the node holding it); 0: none
  ORV_scratch *scratch = nullptr;  // the write transaction's scratch buffers;
                                   // null in a read-only transaction
  ORV_env *env = nullptr;          // receives assertion failures (may be null)
  uint32_t md_pad = 0;             // the tree's md_pad: key size of its P_LEAF2
                                   // pages
};

// Bytes of the page mp of ctx's tree: psize, or for a sub-page the size of
// the node value holding it (when ctx knows one).
inline size_t orv_page_ctx_psize(const ORV_page_ctx &ctx, const ORV_page *mp) {
  return ctx.subpsize != 0 && is_subp(mp) ? ctx.subpsize : ctx.psize;
}

// ---- Node insertion and removal (node_edit.cc) ------------------------------
//
// All of these change one dirty page in place; the caller has touched it and
// checked (or split) for room first. They never fail a transaction and never
// look at cursors: the tree's wrappers of the same names (lib/btree, taking
// a cursor) allocate overflow runs, rewrite a prefix page whose first key
// changes, fail the transaction and make the cursors forget stale keys.

// Flags of orv_node_add beyond the F_* node flags (the low 16 bits reach the
// node): ORV_RESERVE (0x10000), and ORV_SPLIT_REPLACE (0x40000), which only
// the tree's first-key rewrite reads.
//
// Node size (without its slot) of a new node for key/data (leaf) or key
// (branch, key may be null) at slot indx of mp in ctx's tree, the key
// encoded against the page's first key on a prefix page. *to_run is set
// when the value must first go to an overflow run (a leaf node over
// ctx.nodemax whose value is neither a sub-page nor, F_BIGDATA, on a run
// already); the size is then that of the node holding the run's number.
// REQUIRES: not P_LEAF2; key and data given on a leaf page.
size_t orv_node_add_size(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned indx,
                         const ORV_val *key, const ORV_val *data, unsigned flags, bool *to_run);
// Adds a node at slot indx of mp. Leaf: key and data are required (with
// F_BIGDATA, data->mv_data points at the 8-byte page number of the run
// holding the value, data->mv_size is the value's size). Branch: key may be
// null (empty key), pgno names the child, count is the child's entry count
// on a counted page. P_LEAF2: ctx.md_pad bytes of the key. With ORV_RESERVE
// (no F_BIGDATA) data->mv_data is set to the value space in the node. On a
// prefix page a key at slot i > 0 is encoded against the page's first key
// and mp_pad stays the longest key. Returns 0, ORV_NO_FIT (no room for the
// node; nothing changed), ORV_CORRUPTED (the page's key lengths cannot be
// read), or EINVAL, nothing changed, for what only the tree can do: a value
// that must go to a run (orv_node_add_size) and a new first key of a
// non-empty prefix page (the rewrite may need runs: orv_prefix_page_rebuild).
[[nodiscard]] int orv_node_add(const ORV_page_ctx &ctx, ORV_page *mp, unsigned indx,
                               const ORV_val *key, ORV_val *data, pgno_t pgno, unsigned flags,
                               uint64_t count);
// Removes the node at slot indx of mp (ksize: the key size of a P_LEAF2
// page); on a prefix page mp_pad stays the longest key. Returns 0,
// ORV_CORRUPTED (the node reaches outside the page; nothing moved), or
// EINVAL, nothing changed, for the first key of a prefix page with more
// slots (the others are re-encoded against the next one, which may need
// overflow runs: the tree's orv_prefix_page_rebuild). An overflow run of
// the removed node is not freed here.
[[nodiscard]] int orv_node_del(const ORV_page_ctx &ctx, ORV_page *mp, unsigned indx,
                               unsigned ksize);
// Slot-level steps of orv_node_add/orv_node_del. insert_slot returns the new
// node's offset. env (may be null) receives assertion failures.
indx_t orv_page_insert_slot(ORV_page *mp, unsigned indx, size_t node_size, ORV_env *env = nullptr);
void orv_page_remove_slot(ORV_page *mp, unsigned indx, size_t node_size, ORV_env *env = nullptr);
// Replaces the key of the node at slot indx of the branch page mp; the node
// keeps its child and its count. Returns 0, or ORV_NO_FIT when the longer
// key does not fit (nothing changed). REQUIRES: key does not point into mp.
[[nodiscard]] int orv_update_key(ORV_page *mp, unsigned indx, const ORV_val *key);
// Gives back the free space of the sub-page held by leaf node indx.
void orv_node_shrink(ORV_page *mp, unsigned indx);
// Bytes (node plus slot) a new leaf node for key/data at slot indx of mp
// takes in ctx's tree: the key encoded against the page's first key on a
// prefix page, the value counted as a page number when it goes to an
// overflow run.
size_t orv_leaf_size(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned indx, const ORV_val *key,
                     const ORV_val *data);
// Bytes (node plus slot) a new branch node with this key takes on mp.
size_t orv_branch_size(const ORV_page *mp, const ORV_val *key);

// ---- Prefix-compressed leaf keys: byte-level codec (prefix_key.cc) -----------
//
// Slot i > 0 of a compressed leaf stores varint(p) | key[p..], p = the prefix
// shared with slot 0's key. None of these allocate.

inline constexpr unsigned ORV_VARINT_MAX = 10;      // bytes of any 64-bit varint
inline constexpr unsigned ORV_VARINT_READ_MAX = 9;  // longest varint a reader accepts

// Bytes of the minimal varint of v.
unsigned orv_varint_size(uint64_t v);
// Writes the minimal varint of v; returns its length (1 to 10).
// REQUIRES: out has room for ORV_VARINT_MAX bytes.
unsigned orv_varint_encode(uint64_t v, uint8_t *out);
// Reads a varint from [p, end), at most ORV_VARINT_READ_MAX bytes; returns
// its length, or 0 when it does not end within min(end - p, 9) bytes.
unsigned orv_varint_decode(const uint8_t *p, const uint8_t *end, uint64_t *v);

// The one reader of a stored compressed key, used by the search, the step
// path and the page checks alike. A stored key is canonical when its varint
// is minimal and p is maximal (the suffix is empty, p is the whole first
// key, or the suffix's first byte differs from the first key's byte at p);
// anything else is read as a key stored whole.
//
// The varint at the front of a stored key of len bytes: returns its length
// with *v = p, or 0 when it does not end within min(len, 9) bytes. Shared
// prefixes below 128 bytes take one byte and are read without a call.
inline unsigned orv_prefix_varint_read(const uint8_t *stored, size_t len, uint64_t *v) {
  if (len > 0 && stored[0] < 0x80) {
    *v = stored[0];
    return 1;
  }
  return orv_varint_decode(stored, stored + len, v);
}
// Whether len stored bytes whose varint (v, vlen) was read are canonical
// against the first key (flen bytes at first). A one-byte varint is always
// minimal.
inline bool orv_prefix_canonical(const uint8_t *first, size_t flen, const uint8_t *stored,
                                 size_t len, uint64_t v, uint64_t vlen) {
  if (vlen == 0 || vlen > len || v > flen) return false;
  if (len > vlen && v < flen && stored[vlen] == first[v]) return false;
  return vlen == 1 || orv_varint_size(v) == vlen;
}

enum class ORV_prefix_form : uint8_t {
  kCompressed,  // canonical: varint(p) | key[p..]
  kWhole,       // the stored bytes are the key
  kCorrupt,     // empty, or a varint that cannot be read
};
// Reads a stored key of a slot above 0 against the page's first key:
// *shared and *vlen receive p and the varint's length unless kCorrupt.
inline ORV_prefix_form orv_prefix_key_read(const ORV_val &first, const void *stored, size_t len,
                                           uint64_t *shared, uint64_t *vlen) {
  const auto *s = static_cast<const uint8_t *>(stored);
  if (len == 0) return ORV_prefix_form::kCorrupt;
  uint64_t p;
  const unsigned n = orv_prefix_varint_read(s, len, &p);
  if (n == 0) return ORV_prefix_form::kCorrupt;
  *shared = p;
  *vlen = n;
  return orv_prefix_canonical(static_cast<const uint8_t *>(first.mv_data), first.mv_size, s, len, p,
                              n)
             ? ORV_prefix_form::kCompressed
             : ORV_prefix_form::kWhole;
}

// Index of the first byte where a and b differ within n bytes (n when
// none), eight bytes at a time.
inline size_t orv_first_diff(const void *a, const void *b, size_t n) {
  const auto *x = static_cast<const uint8_t *>(a), *y = static_cast<const uint8_t *>(b);
  size_t i = 0;
  if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
    for (; i + 8 <= n; i += 8) {
      uint64_t u, v;
      std::memcpy(&u, x + i, 8);
      std::memcpy(&v, y + i, 8);
      if (u != v) return i + static_cast<size_t>(__builtin_ctzll(u ^ v) >> 3);
    }
  }
  while (i < n && x[i] == y[i]) ++i;
  return i;
}
// Length of the longest common prefix of a and b.
size_t orv_prefix_shared(const ORV_val *a, const ORV_val *b);
// Stored length of a key of key_size bytes sharing `shared` bytes with the
// page's first key (shared is capped at key_size).
size_t orv_prefix_key_size(size_t key_size, size_t shared);
// Writes varint(min(shared, key size)) and the rest of the key; returns the
// bytes written. REQUIRES: shared is at most the real common prefix, out has
// room for orv_prefix_key_size(key->mv_size, shared) bytes.
size_t orv_prefix_key_encode(const ORV_val *key, size_t shared, void *out);
// An already-read varint of a stored key: p and the varint's length.
struct ORV_prefix_hint {
  uint64_t shared;
  uint64_t vlen;
};
// What orv_prefix_key_check learns of a canonical stored key.
struct ORV_prefix_info {
  uint64_t shared;  // p
  uint64_t vlen;    // varint bytes
  uint64_t len;     // decoded key length
};

// Decodes the stored bytes of a slot against the page's first key into buf
// (capacity cap); out points at buf. Without a first key (null or no data),
// or when the stored key is not canonical, the stored bytes are the key.
// hint (may be null) replaces reading the varint. Returns 0, ORV_CORRUPTED
// (empty stored key or unreadable varint) or ORV_BAD_VALSIZE (does not fit
// cap). REQUIRES: buf does not overlap stored; it may hold first at its front.
[[nodiscard]] int orv_prefix_key_decode(const ORV_val *first, const void *stored, size_t stored_len,
                                        ORV_val *out, void *buf, size_t cap,
                                        const ORV_prefix_hint *hint);
// True when the stored key is canonical against first; info (may be null)
// then receives p, the varint length and the decoded length. Never an error.
bool orv_prefix_key_check(const ORV_val *first, const void *stored, size_t stored_len,
                          ORV_prefix_info *info);

// ---- Prefix-compressed pages: longest key, key-length index, slot keys,
// ---- page check (prefix_page.cc) --------------------------------------------
//
// A "prefix page" is a leaf page (not P_LEAF2) of a tree whose md_flags hold
// ORV_PREFIXKEY: the main or a named database, or a duplicate tree of one
// (sub-pages included). Its mp_pad holds the length of its longest decoded
// key, capped at ORV_PAD_MAX.

inline constexpr unsigned ORV_PAD_MAX = 65535;

// Length that counts for mp_pad for a slot above 0 whose stored bytes are
// (stored, stored_len) against the page's first key: p + suffix length when
// the varint ends within min(stored_len, 9) bytes, p <= first's length and
// the varint fits the stored key; the stored length otherwise.
size_t orv_prefix_slot_len(const ORV_val *first, const void *stored, size_t stored_len);
// Longest key of a prefix page by that rule (slot 0 counts its stored
// length), uncapped; 0 for an empty page. Nodes outside the page count 0.
size_t orv_prefix_page_longest(const ORV_page *mp, size_t psize);

// On a prefix page of ctx's tree mp_pad = min(n, ORV_PAD_MAX); a P_LEAF2
// page is left alone; on any other page mp_pad = 0.
void orv_page_max_key_set(const ORV_page_ctx &ctx, ORV_page *mp, size_t n);
// Recomputes mp_pad from every slot (orv_prefix_page_longest), under the
// same page conditions as orv_page_max_key_set.
void orv_page_max_key_scan(const ORV_page_ctx &ctx, ORV_page *mp);

// Verifier of one prefix page of psize bytes: sane header, every node and
// its value inside the page at or above mp_upper, every key above slot 0
// canonical against slot 0, mp_pad = the longest decoded key (capped).
// Returns 0 or ORV_CORRUPTED; *bad_slot (may be null) receives the first
// slot at fault (numkeys for a header or mp_pad fault).
[[nodiscard]] int orv_prefix_page_check(const ORV_page *mp, size_t psize, unsigned *bad_slot);

// Key-length index of a write transaction (ctx.scratch->ms_klx): per page
// number, the decoded length of every slot of a prefix page, so that mp_pad
// stays exact as keys come and go without rescanning the page.
//
// Finds or creates the entry of mp, rebuilt from the page when it is stale
// or does not match the page (slot count or mp_pad); a rebuild also sets
// mp_pad. *entry_out = null (and 0) without scratch buffers (a read-only
// transaction), for a page that is not a prefix page, or a sub-page. Returns 0, ENOMEM or
// ORV_CORRUPTED (a node outside the page). The entry stays valid until the next
// orv_keylen_index_get of this transaction or its end.
[[nodiscard]] int orv_keylen_index_get(const ORV_page_ctx &ctx, ORV_page *mp,
                                       ORV_keylen_entry **entry_out);
// Records length n for a key inserted at slot indx (capped at the entry's
// count) and sets mp_pad from the longest length. Use an entry fetched
// before the slot was inserted. Returns 0, or EINVAL for a null entry; when
// the entry's array cannot grow it is marked stale and mp_pad is raised to
// n directly, which keeps the page exact.
[[nodiscard]] int orv_keylen_index_insert(ORV_keylen_entry *entry, const ORV_page_ctx &ctx,
                                          ORV_page *mp, unsigned indx, size_t n);
// Forgets the length of slot indx (a key about to be removed: call before
// the slot goes) and sets mp_pad from the longest remaining length (0 when
// none is left). An indx past the entry's count marks the entry stale and
// sets mp_pad from the page's other slots instead. Null entry: no-op.
void orv_keylen_index_remove(ORV_keylen_entry *entry, const ORV_page_ctx &ctx, ORV_page *mp,
                             unsigned indx);
// Marks the entry of page pgno stale (page split or rewritten); no-op when
// the scratch area (may be null) has none.
void orv_keylen_index_invalidate(ORV_scratch *scratch, pgno_t pgno);

// ---- Prefix-compressed pages: rewrite, collect, split (prefix_rebuild.cc) ----
//
// A rewrite decodes every key of a page into the transaction's scratch
// buffers (the page image, the entry array, the decoded-key buffer; grown by
// doubling, never shrunk) and writes the page anew against its (new) first
// key. Nothing is allocated once the buffers are large enough.

// One node of a page being rewritten or split. 64 bytes.
struct ORV_prefix_entry {
  const void *pe_key;     /* 00-07: decoded key */
  const void *pe_data;    /* 08-15: value bytes as stored (F_BIGDATA: the
                                    run's page number); null: reserve */
  const void *pe_stored;  /* 16-23: key bytes on the old page; null: new */
  uint32_t pe_klen;       /* 24-27: decoded key length */
  uint32_t pe_stored_len; /* 28-31: stored key length on the old page */
  uint32_t pe_dsize;      /* 32-35: value size (mn_lo/mn_hi) */
  uint32_t pe_vlen;       /* 36-39: value bytes in the node: 8 with
                                    F_BIGDATA, else pe_dsize */
  uint32_t pe_shared;     /* 40-43: prefix shared with the old first key */
  uint32_t pe_vint;       /* 44-47: its varint length (0: stored whole) */
  uint32_t pe_enclen;     /* 48-51: stored length once re-encoded (set by
                                    orv_prefix_run_size and the writer) */
  uint16_t pe_flags;      /* 52-53: node flags F_* */
  uint16_t pe_new;        /* 54-55: 1 for the key being inserted */
  uint32_t pe_oldslot;    /* 56-59: slot on the old page (~0u: new) */
  uint32_t pe_pad;        /* 60-63 */
};
static_assert(sizeof(ORV_prefix_entry) == 64);

// Decodes the slots of mp (a prefix page of ctx's tree) in slot order into
// the entry array of ctx's scratch buffers, leaving out slot skip (a value
// >= numkeys: none) and placing a new entry for key/data at position indx of
// the result (key null: none). flags: node flags F_* of the new entry plus
// ORV_RESERVE (no value bytes: the writer zero-fills them). Keys above slot
// 0 are decoded against the old slot 0, a key that is not canonical counts
// as stored whole. The new key is copied, so it may point anywhere
// (including the page and the scratch buffers); a value pointing into mp is
// redirected to the page image. Entries stay valid until the next use of
// the scratch buffers. Returns 0, EINVAL (indx past the end, or no scratch
// buffers), ENOMEM or ORV_CORRUPTED. REQUIRES: data does not point into the
// scratch buffers.
[[nodiscard]] int orv_prefix_gather(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned skip,
                                    unsigned indx, const ORV_val *key, const ORV_val *data,
                                    unsigned flags, ORV_prefix_entry **entries_out,
                                    unsigned *count_out);
// The entries of a page split: every slot of mp with the new key/value at
// indx (count = numkeys + 1); orv_prefix_gather without skipping.
[[nodiscard]] int orv_prefix_collect(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned indx,
                                     const ORV_val *key, const ORV_val *data, unsigned flags,
                                     ORV_prefix_entry **entries_out, unsigned *count_out);
// Whether the value of entry e goes to an overflow run when its key is
// stored in klen bytes, in a tree whose inline nodes take at most nodemax
// bytes. That holds for a node already on the page too: a key re-encoded
// against a new first key can grow by hundreds of bytes, and no inline node
// may exceed the maximum (two of them must fit a page). Never for a
// sub-page or a value on a run already.
bool orv_prefix_entry_to_overflow(size_t nodemax, const ORV_prefix_entry &e, size_t klen);
// Space entries [start, end) take as one page with entry start as its first
// key, header excluded: 2 per slot plus each node (key re-encoded against
// entry start's key; the new entry's value counted as 8 bytes when it goes to
// an overflow run). Sets pe_enclen. Returns 0 or ORV_BAD_VALSIZE (a stored
// key over 65535 bytes).
[[nodiscard]] int orv_prefix_run_size(const ORV_page_ctx &ctx, ORV_prefix_entry *entries,
                                      unsigned start, unsigned end, size_t *size_out);
// Chooses the split index of count entries so that [0, j) and [j, count),
// each re-encoded against its own first key, fit in ctx.psize - 16. Starts
// from *split_inout (clamped to 1..count - 1) and walks toward the side that
// is too big; if that finds nothing, takes the fitting index nearest to the
// proposal. On success pe_enclen holds each entry's stored length in its
// half. count <= 1: nothing is done. Returns 0, EINVAL (split_inout null),
// ORV_NO_FIT (no index fits) or ORV_BAD_VALSIZE.
[[nodiscard]] int orv_prefix_split_point(const ORV_page_ctx &ctx, ORV_prefix_entry *entries,
                                         unsigned count, unsigned *split_inout);
// Writes entries [start, end) as the whole content of mp (psize bytes),
// keeping mp_pgno and mp_flags: entry start's key whole, the others encoded
// against it, nodes in slot order from the end of the page downward, mp_pad
// = the longest decoded key (capped). The page's key-length index entry in
// ctx's scratch buffers is marked stale. Nothing is written when it fails: ORV_BAD_VALSIZE (a
// stored key over 65535 bytes) or ORV_NO_FIT. REQUIRES: no entry points into mp (entries from
// orv_prefix_gather do not).
[[nodiscard]] int orv_prefix_page_write(const ORV_page_ctx &ctx, ORV_page *mp, size_t psize,
                                        ORV_prefix_entry *entries, unsigned start, unsigned end);
// orv_prefix_gather, then *size_out = the size in bytes (header included)
// of the page those entries make, against their new first key. Changes
// nothing but the scratch buffers.
[[nodiscard]] int orv_prefix_gather_sized(const ORV_page_ctx &ctx, const ORV_page *mp,
                                          unsigned skip, unsigned indx, const ORV_val *key,
                                          const ORV_val *data, unsigned flags,
                                          ORV_prefix_entry **entries_out, unsigned *count_out,
                                          size_t *size_out);
// Size in bytes (header included) of mp rewritten as orv_prefix_gather with
// the same arguments describes it (slot skip left out, key/data at indx),
// against its new first key. Changes nothing but the scratch buffers.
[[nodiscard]] int orv_prefix_page_plan(const ORV_page_ctx &ctx, const ORV_page *mp, unsigned skip,
                                       unsigned indx, const ORV_val *key, const ORV_val *data,
                                       unsigned flags, size_t *size_out);

// ---- Key comparison ---------------------------------------------------------

int orv_cmp_bytes(const ORV_val *a, const ORV_val *b);
int orv_cmp_bytes_reverse(const ORV_val *a, const ORV_val *b);
int orv_cmp_uint32(const ORV_val *a, const ORV_val *b);
int orv_cmp_uint64(const ORV_val *a, const ORV_val *b);
int orv_cmp_uint_words(const ORV_val *a, const ORV_val *b);

// Built-in comparators chosen by database flags; the duplicate comparator is
// null for databases without ORV_DUPSORT.
ORV_cmp_func orv_default_key_cmp(unsigned md_flags);
ORV_cmp_func orv_default_dup_cmp(unsigned md_flags);

#endif  // ORV_PAGE_PAGE_H
