// The quorum fold: per node, the order statistics of the files' completed marks that a
// quorum of left files (--min-left) or a tolerance of right files (--max-right) needs. The
// extreme one stays in the node's MAX or TMP, where the report reads it; the others wait in
// side slots beside the pool, so that the 40-byte node keeps its size.
#pragma once

#include <cstdint>
#include <memory>

#include "suffix_tree.h"

// `stride` 32-bit slots for each node of one tree; node i's begin at i * stride.
struct SIDE_SLOTS {
  std::unique_ptr<uint32_t[], FreeDeleter> slot;
  uint32_t stride = 0;
};
// Slots for every node of a finished tree; none when `stride` is 0.
SIDE_SLOTS quorum_side(const SUFFIX_TREE* tree, uint32_t stride);

// Each node's first `used` slots take its MAX (`from_max`) or its TMP: the bound counted as
// that many more files, which the later folds can only push out.
void quorum_fill(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used, bool from_max);
// Folds one file's completed TMP into the used + 1 smallest marks so far, whose largest is
// MAX; TMP becomes 0. With no slot used it is tagc_accumulate.
void quorum_keep_smallest(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used);
// One file was streamed on top of the used + 1 largest marks so far, whose smallest is TMP,
// and completed there: TMP is the larger of that smallest and the file's own mark. Keeps the
// used + 1 largest, the smallest of them in TMP.
void quorum_keep_largest(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used);
