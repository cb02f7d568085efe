// Matching walk of a query over a chunk's tree, and the per-node bounds MAX and TMP.
#pragma once

#include <cstdint>

#include "suffix_tree.h"

void tagc(SUFFIX_TREE* stree, uint64_t len1, const char* str1);
// The same walk, the query cut into segments of `segment` symbols walked side by side,
// by up to `threads` threads; tagc walks on THREADS.
void tagc_segmented(SUFFIX_TREE* stree, uint64_t len1, const char* str1, uint64_t segment,
                    uint32_t threads);
constexpr uint64_t WALK_SEGMENT = 1 << 16;

// Readies a tree for the pass's walks: its locus table (about 3.2 bytes a symbol of the chunk
// at most: strings as long as that allows), through which walks find sons and short matches
// with one lookup, and the bitmap in which they ask for the ancestors of what they mark to
// be lifted. The bounds come out the same; tagc_walk then lifts what was asked for. With
// `initialize`, it does tagc_initialize's work too, in the same sweep over the pool.
void tagc_prepare_walks(SUFFIX_TREE* stree, bool initialize = false);
constexpr uint64_t LOCI_BYTES_PER_5_SYMBOLS = 16;

void tagc_initialize(SUFFIX_TREE* stree);
void tagc_walk(SUFFIX_TREE* stree);
void tagc_accumulate(SUFFIX_TREE* stree);
