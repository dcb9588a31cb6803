// Counting and ranks over counted trees (ORV_COUNTED): the entry at a rank,
// the rank of a key or pair, and entry counts of key ranges, each found by
// one descent along the entry counts kept in branch nodes.
#ifndef ORV_COUNT_COUNT_H
#define ORV_COUNT_COUNT_H

#include "btree/btree.h"

#endif  // ORV_COUNT_COUNT_H
