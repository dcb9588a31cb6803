// The data file's two meta pages: choosing the current one, reading and
// validating them at open, writing the pair of a new file, opening the data
// file, and writing the meta of a commit.
//
// Meta page n (n = 0, 1) at file offset n x psize; host byte order:
//   00-15   page header: mp_pgno = n, mp_flags = P_META, rest 0
//   16-151  ORV_meta (see env.h for the field offsets)
//   152-    zero up to the end of the page
// Commit t overwrites page t & 1, so the page with the other parity (the
// previous commit) survives a crash in the middle of the write; the valid
// page with the higher mm_txnid is current.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "env/env.h"
#include "env/sys.h"
#include "txn/txn.h"

namespace {

// The part of a meta page that carries information: header plus record.
struct MetaHead {
  ORV_page mh_page; /* 00-15 */
  ORV_meta mh_meta; /* 16-151 */
};
static_assert(sizeof(MetaHead) == 152);
static_assert(offsetof(MetaHead, mh_meta) == ORV_META_OFFSET);

inline constexpr size_t META_HEAD_SIZE = sizeof(MetaHead);
// A commit rewrites the record from mm_mapsize to mm_txnid inclusive.
inline constexpr size_t META_TAIL_OFFSET = offsetof(ORV_meta, mm_mapsize);
inline constexpr size_t META_TAIL_SIZE = sizeof(ORV_meta) - META_TAIL_OFFSET;
static_assert(META_TAIL_SIZE == 120);

// Page sizes accepted from a file: powers of two the engine can work with.
inline constexpr uint32_t MIN_FILE_PAGESIZE = 512;

// mm_txnid is the field a concurrent reader uses to pick a meta; it is
// stored last with release order and loaded with acquire order.
txnid_t meta_txnid(const ORV_meta *meta) {
  return std::atomic_ref<txnid_t>(const_cast<txnid_t &>(meta->mm_txnid))
      .load(std::memory_order_acquire);
}
void set_meta_txnid(ORV_meta *meta, txnid_t id) {
  std::atomic_ref<txnid_t>(meta->mm_txnid).store(id, std::memory_order_release);
}

uint32_t meta_psize(const ORV_meta &meta) { return meta.mm_dbs[FREE_DBI].md_pad; }

bool valid_psize(uint32_t psize) {
  return psize >= MIN_FILE_PAGESIZE && psize <= ORV_MAX_PAGESIZE && (psize & (psize - 1)) == 0;
}

// Lays out meta page pgno at page: zero page, header, record.
void build_meta_page(std::byte *page, size_t psize, pgno_t pgno, const ORV_meta &meta) {
  std::memset(page, 0, psize);
  auto *mp = reinterpret_cast<ORV_page *>(page);
  mp->mp_pgno = pgno;
  mp->mp_flags = P_META;
  std::memcpy(page + ORV_META_OFFSET, &meta, sizeof meta);
}

ssize_t pread_full(int fd, void *buf, size_t len, off_t off) {
  ssize_t n;
  do n = orv_sys.pread(fd, buf, len, off);
  while (n < 0 && errno == EINTR);
  return n;
}

int write_all(int fd, const void *buf, size_t len, off_t off) {
  struct iovec iov = {const_cast<void *>(buf), len};
  return orv_sys_write_all(fd, &iov, 1, off);
}

// Reads and checks the meta page head at off. 0, ENOENT (nothing at all at
// offset 0), ORV_INVALID, ORV_VERSION_MISMATCH or a system error.
int read_meta_head(int fd, off_t off, MetaHead *head) {
  alignas(8) std::byte buf[META_HEAD_SIZE];
  ssize_t n = pread_full(fd, buf, sizeof buf, off);
  if (n < 0) return errno;
  if (n == 0 && off == 0) return ENOENT;
  if (static_cast<size_t>(n) != sizeof buf) return ORV_INVALID;
  std::memcpy(head, buf, sizeof buf);
  if (!(head->mh_page.mp_flags & P_META) || head->mh_meta.mm_magic != ORV_MAGIC) return ORV_INVALID;
  if (head->mh_meta.mm_version != ORV_DATA_VERSION) return ORV_VERSION_MISMATCH;
  return 0;
}

void new_meta(ORV_env *env, ORV_meta *meta) {
  env->me_psize = std::min<uint32_t>(env->me_os_psize, ORV_MAX_PAGESIZE);
  std::memset(meta, 0, sizeof *meta);
  meta->mm_magic = ORV_MAGIC;
  meta->mm_version = ORV_DATA_VERSION;
  meta->mm_mapsize = ORV_DEFAULT_MAPSIZE;
  meta->mm_dbs[FREE_DBI].md_pad = env->me_psize;
  // The free-page database carries the low environment flags as well.
  meta->mm_dbs[FREE_DBI].md_flags =
      static_cast<uint16_t>((env->me_flags & 0xFFFF) | ORV_INTEGERKEY);
  meta->mm_dbs[FREE_DBI].md_root = P_INVALID;
  meta->mm_dbs[MAIN_DBI].md_root = P_INVALID;
  meta->mm_last_pg = NUM_METAS - 1;
  meta->mm_txnid = 0;
}

}  // namespace

ORV_meta *orv_env_pick_meta(const ORV_env *env) {
  ORV_meta *const *metas = env->me_metas;
  unsigned newer = meta_txnid(metas[0]) < meta_txnid(metas[1]);
  unsigned prev = (env->me_flags & ORV_PREVSNAPSHOT) ? 1 : 0;
  return metas[newer ^ prev];
}

int orv_env_read_header(ORV_env *env, int prev, ORV_meta *meta) {
  MetaHead head;
  off_t off = 0;
  uint32_t psize = 0;
  for (int i = 0; i < static_cast<int>(NUM_METAS); i++) {
    if (int rc = read_meta_head(env->me_fd, off, &head); rc != 0) return rc;
    if (i == 0) {
      *meta = head.mh_meta;
      // The second meta page lies one recorded page size further; a size
      // that cannot be real means this is not one of our files.
      psize = meta_psize(*meta);
      if (!valid_psize(psize)) return ORV_INVALID;
      off = psize;
    } else if (prev ? head.mh_meta.mm_txnid < meta->mm_txnid
                    : head.mh_meta.mm_txnid > meta->mm_txnid) {
      *meta = head.mh_meta;
    }
  }
  // The file's page size is the one its first meta page records (the
  // second one was found by it); another size in the second is damage
  // that must not size the map or place the metas.
  meta->mm_dbs[FREE_DBI].md_pad = psize;
  return 0;
}

int orv_env_init_meta(ORV_env *env, const ORV_meta *meta) {
  const size_t psize = env->me_psize;
  if (env->me_flags & ORV_INMEMORY) {
    if (!env->me_map) return EINVAL;
    auto *base = reinterpret_cast<std::byte *>(env->me_map);
    build_meta_page(base, psize, 0, *meta);
    build_meta_page(base + psize, psize, 1, *meta);
    return 0;
  }
  auto *buf = static_cast<std::byte *>(std::calloc(NUM_METAS, psize));
  if (!buf) return ENOMEM;
  build_meta_page(buf, psize, 0, *meta);
  build_meta_page(buf + psize, psize, 1, *meta);
  // Flushed at once: a power loss right after creation must not leave a
  // torn header behind, which would open as ORV_INVALID.
  int rc = write_all(env->me_fd, buf, NUM_METAS * psize, 0);
  if (rc == 0) rc = orv_sys_datasync(env->me_fd);
  std::free(buf);
  return rc;
}

int orv_env_open_data(ORV_env *env, int prev) {
  ORV_meta meta;
  bool fresh = false;
  if (env->me_flags & ORV_INMEMORY) {
    fresh = true;
  } else {
    int rc = orv_env_read_header(env, prev, &meta);
    if (rc == 0) {
      env->me_psize = meta_psize(meta);
    } else if (rc == ENOENT) {
      fresh = true;
    } else {
      return rc;
    }
  }
  if (fresh) new_meta(env, &meta);

  // The map must cover every page in use. A last page number so large that
  // the size overflows cannot come from a real file.
  const uint64_t psize = env->me_psize;
  // The meta pages themselves are in use: a smaller last page (a damaged
  // meta) would leave the second one outside the map.
  if (meta.mm_last_pg < NUM_METAS - 1 || meta.mm_last_pg >= UINT64_MAX / psize) return ORV_INVALID;
  const uint64_t minsize = (meta.mm_last_pg + 1) * psize;
  if (env->me_mapsize == 0) env->me_mapsize = meta.mm_mapsize;
  if (env->me_mapsize < minsize) env->me_mapsize = minsize;
  meta.mm_mapsize = env->me_mapsize;

  // A new file gets valid metas before it is mapped, so that a failed
  // mapping leaves a usable file behind. Under ORV_FIXEDMAP the address is
  // recorded, so the pages can only be written once the map exists.
  const bool fixed = env->me_flags & ORV_FIXEDMAP;
  const bool inmem = env->me_flags & ORV_INMEMORY;
  bool written = false;
  if (fresh && !inmem && !fixed) {
    if (int rc = orv_env_init_meta(env, &meta); rc != 0) return rc;
    written = true;
  }

  void *addr = fixed ? reinterpret_cast<void *>(static_cast<uintptr_t>(meta.mm_address)) : nullptr;
  if (int rc = orv_env_map(env, addr); rc != 0) return rc;

  if (fresh && !written) {
    if (fixed) meta.mm_address = reinterpret_cast<uintptr_t>(env->me_map);
    if (int rc = orv_env_init_meta(env, &meta); rc != 0) return rc;
  }

  env->me_maxfree_1pg = static_cast<int>((psize - PAGEHDRSZ) / sizeof(pgno_t) - 1);
  env->me_nodemax = orv_nodemax(static_cast<uint32_t>(psize));
  env->me_maxpg = env->me_mapsize / psize;

  // Open on the older snapshot: readers and the next writer must start from
  // it, so it becomes the published id. Only a writable opener may do this:
  // it is then necessarily the exclusive one (a writable non-exclusive
  // ORV_PREVSNAPSHOT open is refused with EAGAIN before the data file is
  // opened). A read-only opener shares the table with other processes and
  // must never move their snapshot back; its read transactions take the
  // older id into their own reader slots instead.
  if (prev && env->me_txns && !(env->me_flags & ORV_RDONLY))
    env->me_txns->mti_txnid.store(meta.mm_txnid, std::memory_order_release);
  return 0;
}

int orv_env_write_meta(ORV_txn *txn) {
  ORV_env *env = txn->mt_env;
  const txnid_t t = txn->mt_txnid;
  const unsigned target = t & 1;
  ORV_meta *mp = env->me_metas[target];
  const ORV_meta *other = env->me_metas[target ^ 1];
  // The recorded size never shrinks: another process may use a larger map.
  const uint64_t mapsize = std::max<uint64_t>(env->me_mapsize, other->mm_mapsize);
  const uint32_t flags = env->me_flags | txn->mt_flags;
  const bool nosync = flags & (ORV_NOSYNC | ORV_NOMETASYNC);

  if (env->me_flags & (ORV_INMEMORY | ORV_WRITEMAP)) {
    // In place. mm_txnid goes last: a reader that sees the new id also sees
    // the records it describes.
    const ORV_meta old = *mp;
    mp->mm_mapsize = mapsize;
    std::memcpy(mp->mm_dbs, txn->mt_dbs, CORE_DBS * sizeof(ORV_db));
    mp->mm_last_pg = txn->mt_next_pgno - 1;
    set_meta_txnid(mp, t);
    if (!(env->me_flags & ORV_INMEMORY) && !nosync) {
      auto *page = reinterpret_cast<char *>(mp) - ORV_META_OFFSET;
      size_t off = static_cast<size_t>(page - env->me_map);
      size_t skew = off % env->me_os_psize;
      int how = (env->me_flags & ORV_MAPASYNC) ? MS_ASYNC : MS_SYNC;
      if (orv_sys.msync(page - skew, env->me_psize + skew, how) != 0) {
        int rc = errno;
        // The commit failed, so its meta must not reach the file later by
        // ordinary write-back either: put the old one back, id first. No
        // reader uses this page: the published id still names the other.
        set_meta_txnid(mp, old.mm_txnid);
        std::memcpy(mp, &old, offsetof(ORV_meta, mm_txnid));
        env->me_flags |= ORV_FATAL_ERROR;
        return rc;
      }
    }
  } else {
    // Through a descriptor; the read-only map sees the new bytes through
    // the unified buffer cache.
    ORV_meta image = *mp;
    image.mm_mapsize = mapsize;
    std::memcpy(image.mm_dbs, txn->mt_dbs, CORE_DBS * sizeof(ORV_db));
    image.mm_last_pg = txn->mt_next_pgno - 1;
    image.mm_txnid = t;
    // Keep the page's current contents: if the write fails half-way, they
    // are put back whole. (Restoring only the id and last page would leave
    // the new tree roots next to an old id, a state no commit produced.)
    const ORV_meta old = *mp;
    const off_t off = static_cast<off_t>(target) * env->me_psize + ORV_META_OFFSET +
                      static_cast<off_t>(META_TAIL_OFFSET);
    const int fd = nosync ? env->me_fd : env->me_mfd;
    auto tail = [](const ORV_meta &m) {
      return reinterpret_cast<const std::byte *>(&m) + META_TAIL_OFFSET;
    };
    if (int rc = write_all(fd, tail(image), META_TAIL_SIZE, off); rc != 0) {
      (void)write_all(env->me_fd, tail(old), META_TAIL_SIZE, off);
      env->me_flags |= ORV_FATAL_ERROR;
      return rc;
    }
  }
  if (env->me_txns) env->me_txns->mti_txnid.store(t, std::memory_order_release);
  return 0;
}
