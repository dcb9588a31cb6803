// The sub-cursor over a key's values: loading it for a leaf node
// (orv_xcursor_load), building the two-value sub-page a key gets with its
// second value (orv_subpage_pair), and making another cursor's sub-cursor
// follow a key whose values changed (orv_xcursor_refresh).
//
// The values of a key live in a small tree of their own whose keys are the
// values and whose data are empty: a sub-page embedded in the leaf node
// while small, a sub-database (an ORV_db record as the node's value) later.
// A sub-page and a record are read from the file, so they are checked
// against the node that holds them before the sub-cursor trusts them: a
// damaged one answers ORV_CORRUPTED, never an assertion.
#include <cerrno>
#include <cstring>
#include <utility>

#include "btree/btree.h"

namespace {

// Flags a value tree of the database with md_flags has in its record.
uint16_t value_tree_flags(unsigned md_flags) {
  unsigned f = 0;
  if (md_flags & ORV_DUPFIXED) {
    f |= ORV_DUPFIXED;
    if (md_flags & ORV_INTEGERDUP) f |= ORV_INTEGERKEY;
  }
  if (md_flags & ORV_PREFIXKEY) f |= ORV_PREFIXKEY;
  if (md_flags & ORV_COUNTED) f |= ORV_COUNTED;
  return static_cast<uint16_t>(f);
}

// Whether a sub-page image of size bytes is safe to read: the header fits
// the node, it is a leaf sub-page of the right kind, the slot array and the
// free space lie inside it, and every value (node or fixed-size element)
// lies inside it too.
bool subpage_ok(const ORV_env *env, const ORV_page *sp, size_t size, bool dupfixed) {
  if (size < PAGEHDRSZ || size > env->me_nodemax) return false;
  const uint16_t want = P_LEAF | P_SUBP | (dupfixed ? P_LEAF2 : 0);
  if ((sp->mp_flags & ~P_DIRTY) != want) return false;
  if (!orv_page_shape_ok(sp, size)) return false;
  const unsigned n = numkeys(sp);
  if (n == 0) return false;
  if (dupfixed) {
    const size_t pad = sp->mp_pad;
    if (pad == 0 || pad > ORV_MAXKEYSIZE) return false;
    const size_t used = PAGEHDRSZ + n * pad;
    return used <= size && size_left(sp) <= size - used;
  }
  for (unsigned i = 0; i < n; i++) {
    if (!orv_node_in_page(sp, size, i, true)) return false;
    if (node_ptr(sp, i)->mn_flags != 0) return false;
  }
  return true;
}

// Whether a sub-database record read from a node is usable for a database
// with md_flags.
bool subdb_ok(const ORV_db &rec, unsigned md_flags) {
  const unsigned allowed = ORV_DUPFIXED | ORV_INTEGERKEY | ORV_PREFIXKEY | ORV_COUNTED;
  if (rec.md_flags & ~allowed) return false;
  if ((rec.md_flags ^ md_flags) & ORV_DUPFIXED) return false;
  if ((md_flags & ORV_DUPFIXED) && (rec.md_pad == 0 || rec.md_pad > ORV_MAXKEYSIZE)) return false;
  if (rec.md_root == P_INVALID || rec.md_root < NUM_METAS) return false;
  if (rec.md_depth == 0 || rec.md_depth > ORV_CURSOR_STACK) return false;
  return rec.md_entries != 0;
}

// The sub-cursor's value order: the database's, with 4-byte integer values
// widened to 8 bytes when the value tree holds 8-byte values.
void set_value_cmp(ORV_cursor *mc, ORV_xcursor *mx) {
  ORV_cmp_func cmp = mc->mc_dbx->md_dcmp;
  if (cmp == orv_cmp_uint32 && mx->mx_db.md_pad == sizeof(uint64_t)) cmp = orv_cmp_uint64;
  mx->mx_dbx.md_cmp = cmp;
}

}  // namespace

int orv_xcursor_load(ORV_cursor *mc, ORV_node *node) {
  ORV_xcursor *mx = mc->mc_xcursor;
  if (mx == nullptr || !(mc->mc_db->md_flags & ORV_DUPSORT)) return ORV_CORRUPTED;
  ORV_cursor *sub = &mx->mx_cursor;
  ORV_env *env = cursor_env(mc);
  const unsigned md_flags = mc->mc_db->md_flags;
  const bool dupfixed = md_flags & ORV_DUPFIXED;
  const unsigned f = node->mn_flags;
  if (!(f & F_DUPDATA) || (f & F_BIGDATA)) return ORV_CORRUPTED;
  const size_t dsize = node_dsize(node);

  if (f & F_SUBDATA) {
    if (dsize != sizeof(ORV_db)) return ORV_CORRUPTED;
    ORV_db rec;
    std::memcpy(&rec, node_data(node), sizeof rec);
    if (!subdb_ok(rec, md_flags)) return ORV_CORRUPTED;
    orv_pkc_clear(sub);
    orv_cursor_keys_reset(sub);
    sub->mc_flags &= C_SUB | C_LONGLIVED | C_ORIG_RDONLY | C_WRITEMAP;
    mx->mx_db = rec;
    mx->mx_db.md_flags = static_cast<uint16_t>(rec.md_flags | value_tree_flags(md_flags));
    sub->mc_snum = 0;
    sub->mc_top = 0;
    sub->mc_pg[0] = nullptr;
    sub->mc_ki[0] = 0;
    mx->mx_subpage_size = 0;
    mx->mx_put_total = 0;
    mx->mx_put_pending = 0;
  } else {
    auto *sp = static_cast<ORV_page *>(node_data(node));
    if (!subpage_ok(env, sp, dsize, dupfixed)) return ORV_CORRUPTED;
    // The page key cache may go on serving this very sub-page in a
    // read-only snapshot; a write transaction changes sub-pages in place
    // without changing their slot count, so there it always starts empty.
    const bool keep = txn_is_rdonly(mc->mc_txn) && (sub->mc_flags & C_INITIALIZED) &&
                      sub->mc_snum > 0 && sub->mc_pg[0] == sp && sub->mc_pkc_subpage == sp &&
                      sub->mc_pkc_pg == sp->mp_pgno && sub->mc_pkc_txnid == mc->mc_txn->mt_txnid &&
                      sub->mc_pkc_nslots == numkeys(sp);
    if (!keep) orv_pkc_clear(sub);
    // Sub-pages of one leaf share its page number: what the key state
    // remembers of "this page" may be another key's values.
    orv_cursor_keys_reset(sub);
    sub->mc_flags &= C_SUB | C_LONGLIVED | C_ORIG_RDONLY | C_WRITEMAP;
    mx->mx_subpage_size = dsize;
    ORV_db &db = mx->mx_db;
    db.md_pad = 0;
    db.md_flags = value_tree_flags(md_flags);
    if (dupfixed) db.md_pad = sp->mp_pad;
    db.md_depth = 1;
    db.md_branch_pages = 0;
    db.md_leaf_pages = 1;
    db.md_overflow_pages = 0;
    db.md_entries = numkeys(sp);
    db.md_root = sp->mp_pgno;
    sub->mc_snum = 1;
    sub->mc_top = 0;
    sub->mc_pg[0] = sp;
    sub->mc_ki[0] = 0;
    sub->mc_flags |= C_INITIALIZED;
  }
  mx->mx_dbflag = DB_VALID | DB_USRVALID | DB_DUPDATA;
  set_value_cmp(mc, mx);
  return 0;
}

int orv_subpage_pair(ORV_cursor *mc, ORV_page *page, size_t size, const ORV_val *old,
                     const ORV_val *nv) {
  if (mc == nullptr || page == nullptr || old == nullptr || nv == nullptr) return EINVAL;
  if ((old->mv_size && !old->mv_data) || (nv->mv_size && !nv->mv_data)) return EINVAL;
  if (size <= PAGEHDRSZ || size > 0xFFFF) return ORV_NO_FIT;
  const unsigned md_flags = mc->mc_db->md_flags;
  const bool dupfixed = md_flags & ORV_DUPFIXED;
  if (dupfixed && old->mv_size != nv->mv_size) return ORV_BAD_VALSIZE;

  ORV_cmp_func cmp = mc->mc_dbx->md_dcmp;
  if (cmp == orv_cmp_uint32 &&
      (old->mv_size == sizeof(uint64_t) || nv->mv_size == sizeof(uint64_t)))
    cmp = orv_cmp_uint64;
  const ORV_val *lo = old, *hi = nv;
  if (cmp(nv, old) < 0) std::swap(lo, hi);

  // Everything is checked before the buffer is written.
  if (dupfixed) {
    const size_t v = nv->mv_size;
    if (v == 0 || PAGEHDRSZ + 2 * v > size) return ORV_NO_FIT;
  } else if (!(md_flags & ORV_PREFIXKEY)) {
    const size_t need = PAGEHDRSZ + 2 * sizeof(indx_t) + leaf_node_size(lo->mv_size, 0) +
                        leaf_node_size(hi->mv_size, 0);
    if (size < PAGEHDRSZ + 2 * sizeof(indx_t) || need > size) return ORV_NO_FIT;
  }

  ORV_page hdr{};
  hdr.mp_pgno = mc->mc_snum > 0 ? cursor_page(mc)->mp_pgno : P_INVALID;
  hdr.mp_flags = P_LEAF | P_DIRTY | P_SUBP;
  hdr.mp_lower = PAGEHDRSZ;
  hdr.mp_upper = static_cast<uint16_t>(size);

  if (md_flags & ORV_PREFIXKEY && !dupfixed) {
    ORV_prefix_entry e[2] = {};
    const ORV_val *vals[2] = {lo, hi};
    for (int i = 0; i < 2; i++) {
      e[i].pe_key = vals[i]->mv_data;
      e[i].pe_klen = static_cast<uint32_t>(vals[i]->mv_size);
      e[i].pe_oldslot = ~0u;
    }
    size_t need = 0;
    if (int rc = orv_prefix_run_size(orv_page_ctx_of(mc), e, 0, 2, &need); rc != 0) return rc;
    if (PAGEHDRSZ + need > size) return ORV_NO_FIT;
    std::memset(page, 0, size);
    std::memcpy(page, &hdr, sizeof hdr);
    return orv_prefix_page_write(orv_page_ctx_of(mc), page, size, e, 0, 2);
  }

  std::memset(page, 0, size);
  std::memcpy(page, &hdr, sizeof hdr);
  auto *base = page_bytes(page);
  if (dupfixed) {
    const size_t v = nv->mv_size;
    page->mp_flags |= P_LEAF2;
    page->mp_pad = static_cast<uint16_t>(v);
    std::memcpy(base + PAGEHDRSZ, lo->mv_data, v);
    std::memcpy(base + PAGEHDRSZ + v, hi->mv_data, v);
    page->mp_lower = PAGEHDRSZ + 2 * sizeof(indx_t);
    page->mp_upper = static_cast<uint16_t>(size - 2 * (v - sizeof(indx_t)));
    return 0;
  }
  size_t upper = size;
  const ORV_val *vals[2] = {lo, hi};
  for (int i = 0; i < 2; i++) {
    upper -= leaf_node_size(vals[i]->mv_size, 0);
    auto *node = reinterpret_cast<ORV_node *>(base + upper);
    node->mn_ksize = static_cast<uint16_t>(vals[i]->mv_size);
    if (vals[i]->mv_size) std::memcpy(node_key(node, NODESIZE), vals[i]->mv_data, vals[i]->mv_size);
    mp_ptrs(page)[i] = static_cast<indx_t>(upper);
  }
  page->mp_lower = PAGEHDRSZ + 2 * sizeof(indx_t);
  page->mp_upper = static_cast<uint16_t>(upper);
  return 0;
}

void orv_xcursor_refresh(ORV_cursor *m2, const ORV_cursor *src, bool new_dupdata) {
  ORV_xcursor *mx = m2->mc_xcursor;
  if (mx == nullptr || src == nullptr) return;
  ORV_cursor *sub = &mx->mx_cursor;
  const auto *smx = reinterpret_cast<const ORV_xcursor *>(src);
  // The cached decoded values describe what the sub-page held before.
  orv_pkc_clear(sub);
  orv_cursor_keys_reset(sub);
  if (new_dupdata) {
    sub->mc_snum = 1;
    sub->mc_top = 0;
    sub->mc_ki[0] = 0;
    sub->mc_flags =
        (sub->mc_flags & (C_SUB | C_LONGLIVED | C_ORIG_RDONLY | C_WRITEMAP)) | C_INITIALIZED;
    mx->mx_dbflag = DB_VALID | DB_USRVALID | DB_DUPDATA;
    mx->mx_dbx.md_cmp = smx->mx_dbx.md_cmp;
  } else if (!(sub->mc_flags & C_INITIALIZED)) {
    return;
  }
  mx->mx_db = smx->mx_db;
  sub->mc_pg[0] = src->mc_pg[0];
  mx->mx_subpage_size = smx->mx_subpage_size;
  mx->mx_put_total = 0;
  mx->mx_put_pending = 0;
}
