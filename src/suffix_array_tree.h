// The chunk's suffix tree by a second route: suffix array, longest common prefixes, and the
// nodes read off the LCP intervals, numbered and linked exactly as the Ukkonen construction
// leaves them, so that every reader of the tree sees the same pool.
#pragma once

#include "suffix_tree.h"

// Fills the pool, NODE_INDEX, e and LEAVES of `tree`, whose text (tree_string, length),
// unfilled pool and LEAVES buffer are already allocated. The text must not hold "$" (the
// chunk loop refuses such a chunk); if it does, the tree is wrong but memory stays safe. Ends the run as out of memory
// when its scratch space cannot be had.
void build_suffix_array_tree(SUFFIX_TREE* tree);
