// The chunk's suffix tree by a second route: suffix array, longest common prefixes, and the
// nodes read off the LCP intervals, numbered and linked exactly as the Ukkonen construction
// leaves them, so that every reader of the tree sees the same pool.
#pragma once

#include "suffix_tree.h"

// The tree of a chunk of `length` symbols, or null for a null text; the caller frees it with
// ST_DeleteTree. The text must not hold "$" (the chunk loop refuses such a chunk); if it
// does, the tree is wrong but memory stays safe. Ends the run as out of memory when the
// pool or the scratch space cannot be had.
SUFFIX_TREE* ST_CreateTree(const unsigned char* str, uint64_t length);
