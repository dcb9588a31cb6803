// DEVELOPMENT SCAFFOLD - to be deleted once every routine below is built.
//
// Weak definitions of routines that are declared but not built yet, so that
// the library and the tests link while the subsystems are written in
// parallel. Each one aborts loudly; a real (strong) definition anywhere in
// the library replaces it at link time. Remove a line once its routine
// exists; remove the file once it is empty.
#include <cstdio>
#include <cstdlib>

#include "btree/btree.h"
#include "count/count.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace {
[[noreturn]] void pending(const char *name) {
  std::fprintf(stderr, "%s: not built yet\n", name);
  std::abort();
}
}  // namespace

extern "C" ORV_API __attribute__((weak)) int orv_env_create(ORV_env **) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_open(ORV_env *, const char *, unsigned int, orv_mode_t) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_env_close(ORV_env *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_mapsize(ORV_env *, size_t) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_maxdbs(ORV_env *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_maxreaders(ORV_env *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_get_maxreaders(ORV_env *, unsigned int *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_flags(ORV_env *, unsigned int, int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_get_flags(ORV_env *, unsigned int *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_get_path(ORV_env *, const char **) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_get_fd(ORV_env *, int *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_userctx(ORV_env *, void *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void * orv_env_get_userctx(ORV_env *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_assert(ORV_env *, ORV_assert_func) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_set_interrupt(ORV_env *, int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_get_maxkeysize(ORV_env *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_reader_list(ORV_env *, ORV_msg_func, void *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_reader_check(ORV_env *, int *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_copy(ORV_env *, const char *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_copy2(ORV_env *, const char *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_copyfd(ORV_env *, int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_copyfd2(ORV_env *, int, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_stat(ORV_env *, ORV_stat *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_info(ORV_env *, ORV_envinfo *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_sync(ORV_env *, int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_env_sync0(ORV_env *, int, uint64_t) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_txn_begin(ORV_env *, ORV_txn *, unsigned int, ORV_txn **) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_txn_commit(ORV_txn *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_txn_abort(ORV_txn *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_txn_reset(ORV_txn *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_txn_renew(ORV_txn *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) ORV_env * orv_txn_env(ORV_txn *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) uint64_t orv_txn_id(ORV_txn *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_dbi_open(ORV_txn *, const char *, unsigned int, ORV_dbi *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_dbi_close(ORV_env *, ORV_dbi) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_dbi_flags(ORV_txn *, ORV_dbi, unsigned int *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_stat(ORV_txn *, ORV_dbi, ORV_stat *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_drop(ORV_txn *, ORV_dbi, int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_set_compare(ORV_txn *, ORV_dbi, ORV_cmp_func) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_set_dupsort(ORV_txn *, ORV_dbi, ORV_cmp_func) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_set_relfunc(ORV_txn *, ORV_dbi, ORV_rel_func) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_set_relctx(ORV_txn *, ORV_dbi, void *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cmp(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_dcmp(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_get(ORV_txn *, ORV_dbi, ORV_val *, ORV_val *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_put(ORV_txn *, ORV_dbi, ORV_val *, ORV_val *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_del(ORV_txn *, ORV_dbi, ORV_val *, ORV_val *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_open(ORV_txn *, ORV_dbi, ORV_cursor **) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_cursor_close(ORV_cursor *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_renew(ORV_txn *, ORV_cursor *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) ORV_txn * orv_cursor_txn(ORV_cursor *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) ORV_dbi orv_cursor_dbi(ORV_cursor *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_get(ORV_cursor *, ORV_val *, ORV_val *, ORV_cursor_op) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_put(ORV_cursor *, ORV_val *, ORV_val *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_del(ORV_cursor *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_count(ORV_cursor *, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_list_dup(ORV_cursor *, ORV_val **, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_get_rank(ORV_cursor *, uint64_t, ORV_val *, ORV_val *, unsigned int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_get_rank(ORV_txn *, ORV_dbi, uint64_t, ORV_val *, ORV_val *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_cursor_key_rank(ORV_cursor *, const ORV_val *, const ORV_val *, unsigned int, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_get_key_rank(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_count_all(ORV_txn *, ORV_dbi, unsigned int, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_count_range(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned int, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_range_count_keys(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned int, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_range_count_values(ORV_txn *, ORV_dbi, const ORV_val *, const ORV_val *, unsigned int, uint64_t *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) unsigned orv_idl_search(ORV_IDL, ORV_ID) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) ORV_IDL orv_idl_alloc(int) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_idl_free(ORV_IDL) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_idl_shrink(ORV_IDL *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_idl_need(ORV_IDL *, unsigned num) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_idl_append(ORV_IDL *, ORV_ID) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_idl_append_list(ORV_IDL *, ORV_IDL) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_idl_append_range(ORV_IDL *, ORV_ID, unsigned n) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_idl_xmerge(ORV_IDL, ORV_IDL) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) void orv_idl_sort(ORV_IDL) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) unsigned orv_id2l_search(ORV_ID2L, ORV_ID) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_id2l_insert(ORV_ID2L, ORV_ID2 *) { pending(__func__); }
extern "C" ORV_API __attribute__((weak)) int orv_id2l_append(ORV_ID2L, ORV_ID2 *) { pending(__func__); }
__attribute__((weak)) uint64_t orv_page_entries(const ORV_page *) { pending(__func__); }
__attribute__((weak)) uint64_t orv_node_entries(const ORV_page *, const ORV_node *) { pending(__func__); }
__attribute__((weak)) int64_t orv_branch_set_count(ORV_page *, pgno_t, uint64_t) { pending(__func__); }
__attribute__((weak)) void orv_counts_adjust(ORV_cursor *, int, int64_t) { pending(__func__); }
__attribute__((weak)) int orv_cmp_bytes(const ORV_val *, const ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cmp_bytes_reverse(const ORV_val *, const ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cmp_uint32(const ORV_val *, const ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cmp_uint64(const ORV_val *, const ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cmp_uint_words(const ORV_val *, const ORV_val *) { pending(__func__); }
__attribute__((weak)) ORV_cmp_func orv_default_key_cmp(unsigned md_flags) { pending(__func__); }
__attribute__((weak)) ORV_cmp_func orv_default_dup_cmp(unsigned md_flags) { pending(__func__); }
__attribute__((weak)) int orv_env_map(ORV_env *, void *) { pending(__func__); }
__attribute__((weak)) void orv_env_close0(ORV_env *) { pending(__func__); }
__attribute__((weak)) ORV_meta * orv_env_pick_meta(const ORV_env *) { pending(__func__); }
__attribute__((weak)) int orv_env_open_data(ORV_env *, int) { pending(__func__); }
__attribute__((weak)) int orv_env_read_header(ORV_env *, int, ORV_meta *) { pending(__func__); }
__attribute__((weak)) int orv_env_init_meta(ORV_env *, const ORV_meta *) { pending(__func__); }
__attribute__((weak)) int orv_env_write_meta(ORV_txn *) { pending(__func__); }
__attribute__((weak)) int orv_env_setup_locks(ORV_env *, const char *, orv_mode_t, int *) { pending(__func__); }
__attribute__((weak)) int orv_env_setup_mem_locks(ORV_env *) { pending(__func__); }
__attribute__((weak)) int orv_env_share_locks(ORV_env *, int *) { pending(__func__); }
__attribute__((weak)) int orv_reader_acquire(ORV_env *, ORV_txn *) { pending(__func__); }
__attribute__((weak)) int orv_reader_pid(ORV_env *, int, pid_t) { pending(__func__); }
__attribute__((weak)) int orv_mutex_failed(ORV_env *, pthread_mutex_t *, int) { pending(__func__); }
__attribute__((weak)) int orv_reader_check0(ORV_env *, int, int *) { pending(__func__); }
__attribute__((weak)) int orv_wmutex_lock(ORV_env *) { pending(__func__); }
__attribute__((weak)) void orv_wmutex_unlock(ORV_env *) { pending(__func__); }
__attribute__((weak)) int orv_txn0_alloc(ORV_env *) { pending(__func__); }
__attribute__((weak)) int orv_txn_renew0(ORV_txn *) { pending(__func__); }
__attribute__((weak)) void orv_txn_end(ORV_txn *, unsigned mode) { pending(__func__); }
__attribute__((weak)) int orv_cursors_backup(ORV_txn *, ORV_txn *) { pending(__func__); }
__attribute__((weak)) void orv_cursors_release(ORV_txn *, int) { pending(__func__); }
__attribute__((weak)) int orv_txn_scratch(ORV_txn *, size_t, void **) { pending(__func__); }
__attribute__((weak)) void orv_txn_scratch_free(ORV_scratch *) { pending(__func__); }
__attribute__((weak)) void orv_txn_scratch_invalidate(ORV_scratch *) { pending(__func__); }
__attribute__((weak)) int orv_page_get(ORV_cursor *, pgno_t, ORV_page **, int *) { pending(__func__); }
__attribute__((weak)) int orv_page_alloc(ORV_cursor *, int, ORV_page **) { pending(__func__); }
__attribute__((weak)) int orv_page_new(ORV_cursor *, uint32_t, int, ORV_page **) { pending(__func__); }
__attribute__((weak)) int orv_page_touch(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_touch(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) int orv_page_spill(ORV_cursor *, const ORV_val *, const ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_page_unspill(ORV_txn *, ORV_page *, ORV_page **) { pending(__func__); }
__attribute__((weak)) int orv_page_dirty(ORV_txn *, ORV_page *) { pending(__func__); }
__attribute__((weak)) ORV_page * orv_page_buf_alloc(ORV_txn *, unsigned num) { pending(__func__); }
__attribute__((weak)) void orv_page_buf_free(ORV_env *, ORV_page *) { pending(__func__); }
__attribute__((weak)) void orv_page_copy(ORV_page *, const ORV_page *, unsigned psize) { pending(__func__); }
__attribute__((weak)) int orv_page_make_loose(ORV_cursor *, ORV_page *) { pending(__func__); }
__attribute__((weak)) int orv_ovpage_free(ORV_cursor *, ORV_page *) { pending(__func__); }
__attribute__((weak)) int orv_page_flush(ORV_txn *, int) { pending(__func__); }
__attribute__((weak)) int orv_pages_mark_keep(ORV_cursor *, unsigned pflags, int) { pending(__func__); }
__attribute__((weak)) txnid_t orv_oldest_reader(ORV_txn *) { pending(__func__); }
__attribute__((weak)) int orv_freelist_save(ORV_txn *) { pending(__func__); }
__attribute__((weak)) int orv_page_search(ORV_cursor *, const ORV_val *, int) { pending(__func__); }
__attribute__((weak)) int orv_page_search_root(ORV_cursor *, const ORV_val *, int) { pending(__func__); }
__attribute__((weak)) int orv_page_search_lowest(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) ORV_node * orv_node_search(ORV_cursor *, const ORV_val *, int *) { pending(__func__); }
__attribute__((weak)) void orv_cursor_init(ORV_cursor *, ORV_txn *, ORV_dbi, ORV_xcursor *) { pending(__func__); }
__attribute__((weak)) void orv_cursor_copy(const ORV_cursor *, ORV_cursor *) { pending(__func__); }
__attribute__((weak)) void orv_pkc_free(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_get0(ORV_cursor *, ORV_val *, ORV_val *, ORV_cursor_op) { pending(__func__); }
__attribute__((weak)) int orv_cursor_set(ORV_cursor *, ORV_val *, ORV_val *, ORV_cursor_op, int *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_first(ORV_cursor *, ORV_val *, ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_last(ORV_cursor *, ORV_val *, ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_next(ORV_cursor *, ORV_val *, ORV_val *, ORV_cursor_op) { pending(__func__); }
__attribute__((weak)) int orv_cursor_prev(ORV_cursor *, ORV_val *, ORV_val *, ORV_cursor_op) { pending(__func__); }
__attribute__((weak)) int orv_cursor_sibling(ORV_cursor *, int) { pending(__func__); }
__attribute__((weak)) int orv_node_read(ORV_cursor *, ORV_node *, ORV_val *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_read_key(ORV_cursor *, ORV_page *, unsigned i, ORV_val *) { pending(__func__); }
__attribute__((weak)) void orv_xcursor_init0(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) int orv_xcursor_load(ORV_cursor *, ORV_node *) { pending(__func__); }
__attribute__((weak)) int orv_cursor_put0(ORV_cursor *, ORV_val *, ORV_val *, unsigned flags) { pending(__func__); }
__attribute__((weak)) int orv_cursor_del0(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) int orv_page_split(ORV_cursor *, const ORV_val *, ORV_val *, pgno_t, unsigned nflags) { pending(__func__); }
__attribute__((weak)) int orv_rebalance(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) void orv_default_cmp(ORV_txn *, ORV_dbi) { pending(__func__); }
__attribute__((weak)) int orv_dbi_refresh(ORV_cursor *) { pending(__func__); }
__attribute__((weak)) bool orv_txn_dbi_valid(ORV_txn *, ORV_dbi, uint8_t) { pending(__func__); }
