/*
 * idl.h: ID lists, the flat arrays that carry sets of page numbers.
 *
 * ORV_IDL: element 0 holds the count n, elements 1..n the ids in descending
 * order (largest first); the word before element 0 holds the capacity. The
 * handle points one word into the allocated block. Functions that may grow a
 * list take the address of the handle and replace it when the block moves.
 *
 * ORV_ID2L: pairs sorted by ascending mid; the mid of element 0 holds the
 * count. The owner allocates ORV_IDL_UM_SIZE pairs; insert and append refuse
 * to grow past ORV_IDL_UM_MAX.
 *
 * This header is plain C.
 */
#ifndef ORV_IDL_H
#define ORV_IDL_H

#include "orv.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t ORV_ID;
typedef ORV_ID *ORV_IDL;

typedef struct ORV_ID2 {
  ORV_ID mid;
  void *mptr;
} ORV_ID2;

typedef ORV_ID2 *ORV_ID2L;

#define ORV_IDL_UM_MAX 131071u
#define ORV_IDL_UM_SIZE 131072u

ORV_API unsigned orv_idl_search(ORV_IDL ids, ORV_ID id) ORV_NOTHROW;
ORV_API ORV_IDL orv_idl_alloc(int num) ORV_NOTHROW;
ORV_API void orv_idl_free(ORV_IDL ids) ORV_NOTHROW;
ORV_API void orv_idl_shrink(ORV_IDL *idp) ORV_NOTHROW;
ORV_API int orv_idl_need(ORV_IDL *idp, unsigned num) ORV_NOTHROW;
ORV_API int orv_idl_append(ORV_IDL *idp, ORV_ID id) ORV_NOTHROW;
ORV_API int orv_idl_append_list(ORV_IDL *idp, ORV_IDL app) ORV_NOTHROW;
ORV_API int orv_idl_append_range(ORV_IDL *idp, ORV_ID id, unsigned n) ORV_NOTHROW;
ORV_API void orv_idl_xmerge(ORV_IDL idl, ORV_IDL merge) ORV_NOTHROW;
ORV_API void orv_idl_sort(ORV_IDL ids) ORV_NOTHROW;

ORV_API unsigned orv_id2l_search(ORV_ID2L ids, ORV_ID id) ORV_NOTHROW;
ORV_API int orv_id2l_insert(ORV_ID2L ids, ORV_ID2 *id) ORV_NOTHROW;
ORV_API int orv_id2l_append(ORV_ID2L ids, ORV_ID2 *id) ORV_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* ORV_IDL_H */
