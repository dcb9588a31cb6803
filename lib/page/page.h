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

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "idl.h"
#include "orv.h"

struct ORV_cursor;
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
  pgno_t mp_pgno;     /* 00-07: page number */
  uint16_t mp_pad;    /* 08-09: see above */
  uint16_t mp_flags;  /* 10-11: P_* flags */
  uint16_t mp_lower;  /* 12-13: end of slot array */
  uint16_t mp_upper;  /* 14-15: start of node area */
};
static_assert(sizeof(ORV_page) == PAGEHDRSZ);
static_assert(std::is_standard_layout_v<ORV_page>);

struct ORV_node {
  uint16_t mn_lo;     /* 00-01 */
  uint16_t mn_hi;     /* 02-03 */
  uint16_t mn_flags;  /* 04-05 */
  uint16_t mn_ksize;  /* 06-07 */
};
static_assert(sizeof(ORV_node) == NODESIZE);

// The 48-byte record describing one B+tree.
struct ORV_db {
  uint32_t md_pad;             /* 00-03: DUPFIXED size; meta FREE_DBI: page size */
  uint16_t md_flags;           /* 04-05: database flags */
  uint16_t md_depth;           /* 06-07: levels, 0 when empty */
  pgno_t md_branch_pages;      /* 08-15 */
  pgno_t md_leaf_pages;        /* 16-23 */
  pgno_t md_overflow_pages;    /* 24-31 */
  uint64_t md_entries;         /* 32-39: pairs, each duplicate counted */
  pgno_t md_root;              /* 40-47: root page or P_INVALID */
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

// ---- Entry counts of counted trees ---------------------------------------

// Entries below a page (see the layout comment of each case in layout.cc).
uint64_t orv_page_entries(const ORV_page *mp);
// Entries of one leaf node: 1, or the number of its duplicates.
uint64_t orv_node_entries(const ORV_page *mp, const ORV_node *node);
// Stores count in the node of a P_COUNTED page pointing at child; returns
// count minus the old value, or 0 when there is no such node.
int64_t orv_branch_set_count(ORV_page *mp, pgno_t child, uint64_t count);
// Applies delta to the counts along the cursor's path from level down to 0.
void orv_counts_adjust(ORV_cursor *mc, int level, int64_t delta);

// ---- Node insertion and removal (node_edit.cc) ------------------------------
//
// All of these change one dirty page in place; the caller has touched it and
// checked (or split) for room first.

// Flags of orv_node_add beyond the F_* node flags (the low 16 bits reach the
// node): ORV_RESERVE (0x10000) and ORV_SPLIT_REPLACE (0x40000).
//
// Adds a node at slot indx of the cursor's top page. Leaf: key and data are
// required; a value too large for a node goes to a new overflow run. Branch:
// key may be null (empty key), pgno names the child, child (may be null) is
// that page if at hand, count is its entry count on a counted page (all ones:
// computed from the child). With ORV_RESERVE, data->mv_data is set to the
// value space. Returns 0, ORV_PAGE_FULL (the transaction is then failed),
// ORV_BAD_VALSIZE, ENOMEM or a page allocation error.
[[nodiscard]] int orv_node_add(ORV_cursor *mc, unsigned indx, const ORV_val *key, ORV_val *data,
                               pgno_t pgno, unsigned flags, ORV_page *child, uint64_t count);
// Removes the node at mc_ki[mc_top] of the top page (ksize: the key size of
// a P_LEAF2 page). Never fails; errors are recorded in the transaction. An
// overflow run of the removed node is not freed here.
void orv_node_del(ORV_cursor *mc, unsigned ksize);
// Slot-level steps of orv_node_add/orv_node_del. insert_slot returns the new
// node's offset. env (may be null) receives assertion failures.
indx_t orv_page_insert_slot(ORV_page *mp, unsigned indx, size_t node_size,
                            ORV_env *env = nullptr);
void orv_page_remove_slot(ORV_page *mp, unsigned indx, size_t node_size, ORV_env *env = nullptr);
// Replaces the key of the node at mc_ki[mc_top] of a branch page; splits the
// page when the longer key does not fit.
[[nodiscard]] int orv_update_key(ORV_cursor *mc, const ORV_val *key);
// Gives back the free space of the sub-page held by leaf node indx.
void orv_node_shrink(ORV_page *mp, unsigned indx);
// Bytes (node plus slot) a new leaf node for key/data at slot indx of mp
// takes in the cursor's tree.
size_t orv_leaf_size(const ORV_cursor *mc, const ORV_page *mp, unsigned indx, const ORV_val *key,
                     const ORV_val *data);
// Bytes (node plus slot) a new branch node with this key takes on mp.
size_t orv_branch_size(const ORV_page *mp, const ORV_val *key);
// Brings the counts of a counted tree up to date after mp, the cursor's top
// page, changed: recount (recompute mp's entries) or apply delta.
void orv_page_update_counts(ORV_cursor *mc, ORV_page *mp, int recount, int64_t delta);

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

// Length of the longest common prefix of a and b.
size_t orv_prefix_shared(const ORV_val *a, const ORV_val *b);
// Stored length of a key of key_size bytes sharing `shared` bytes with the
// page's first key (shared is capped at key_size).
size_t orv_prefix_key_size(size_t key_size, size_t shared);
// Writes varint(min(shared, key size)) and the rest of the key; returns the
// bytes written. REQUIRES: shared is at most the real common prefix, out has
// room for orv_prefix_key_size(key->mv_size, shared) bytes.
size_t orv_prefix_key_encode(const ORV_val *key, size_t shared, void *out);
// Encodes key against first (its canonical form); without a first key (null
// or no data) copies the key whole. *shared_out (may be null) receives p, or
// 0. Returns the bytes written.
size_t orv_prefix_key_write(const ORV_val *first, const ORV_val *key, void *out,
                            size_t *shared_out);

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
[[nodiscard]] int orv_prefix_key_decode(const ORV_val *first, const void *stored,
                                        size_t stored_len, ORV_val *out, void *buf, size_t cap,
                                        const ORV_prefix_hint *hint);
// True when the stored key is canonical against first; info (may be null)
// then receives p, the varint length and the decoded length. Never an error.
bool orv_prefix_key_check(const ORV_val *first, const void *stored, size_t stored_len,
                          ORV_prefix_info *info);

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
