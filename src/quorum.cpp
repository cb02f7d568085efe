#include "quorum.h"

#include <algorithm>
#include <functional>

#include "tagc.h"
#include "threads.h"
#include "treecreate.h"

SIDE_SLOTS quorum_side(const SUFFIX_TREE* tree, uint32_t stride) {
  SIDE_SLOTS side;
  side.stride = stride;
  if (stride == 0) return side;
  side.slot.reset(static_cast<uint32_t*>(allocate_large(uint64_t{4} * stride * tree->NODE_INDEX)));
  if (!side.slot) tree_out_of_memory();
  return side;
}

// ---------------------------------------------------------------- sweeps

// Nodes per item of the parallel loop.
static constexpr uint64_t QUORUM_RANGE = 1 << 16;

struct QuorumSweep {
  SUFFIX_TREE* tree;
  uint32_t* slot;
  uint32_t stride;
  uint32_t used;
  uint64_t count;  // nodes swept, from 0
};

// One range of nodes through FOLD, which sees a node and its slots alone: the result cannot
// depend on how the ranges are shared among threads.
template <void (*FOLD)(NODE&, uint32_t*, uint32_t)>
static void fold_range(void* data, uint64_t item, uint32_t) {
  const QuorumSweep& job = *static_cast<const QuorumSweep*>(data);
  const uint64_t end = std::min(job.count, (item + 1) * QUORUM_RANGE);
  for (uint64_t i = item * QUORUM_RANGE; i < end; ++i) FOLD(job.tree->STACK[i], job.slot + i * job.stride, job.used);
}

// Every node that tagc_accumulate visits: all but the last, the leaf of "$" alone.
template <void (*FOLD)(NODE&, uint32_t*, uint32_t)>
static void sweep(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used) {
  QuorumSweep job{tree, side.slot.get(), side.stride, used, tree->NODE_INDEX - uint64_t{1}};
  parallel_for(THREADS, (job.count + QUORUM_RANGE - 1) / QUORUM_RANGE, fold_range<FOLD>, &job);
}

// ---------------------------------------------------------------- one node

static void fill_from_max(NODE& n, uint32_t* slots, uint32_t used) { std::fill_n(slots, used, n.MAX); }

static void fill_from_tmp(NODE& n, uint32_t* slots, uint32_t used) { std::fill_n(slots, used, n.TMP); }

// The slots of a node are a heap whose root is the one a new mark is compared with, so that a
// mark costs one comparison, and one that enters the slots log2(slots) steps, however many
// files a quorum lets miss.
static void keep_smallest(NODE& n, uint32_t* slots, uint32_t used) {
  const uint32_t mark = n.TMP;
  n.TMP = 0;
  if (mark >= n.MAX) return;
  // MAX leaves the smallest; the largest of the slots (the root) and the new mark takes its place.
  if (slots[0] > mark) {
    n.MAX = slots[0];
    std::pop_heap(slots, slots + used);
    slots[used - 1] = mark;
    std::push_heap(slots, slots + used);
  } else {
    n.MAX = mark;
  }
}

static void keep_largest(NODE& n, uint32_t* slots, uint32_t used) {
  const uint32_t mark = n.TMP;
  if (mark == 0) return;  // neither the file nor any kept mark reached the node
  // A mark above the smallest kept pushes it out; the smallest of the slots (the root) and the
  // mark is the new one.
  if (slots[0] < mark) {
    n.TMP = slots[0];
    std::pop_heap(slots, slots + used, std::greater<>());
    slots[used - 1] = mark;
    std::push_heap(slots, slots + used, std::greater<>());
  }
}

// ---------------------------------------------------------------- stages

void quorum_fill(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used, bool from_max) {
  if (used == 0) return;
  // Keeping the largest marks leaves the kept ones in TMP for the next file's walks.
  if (!from_max) tree->WALK.marks_fresh = false;
  if (from_max) sweep<fill_from_max>(tree, side, used);
  else sweep<fill_from_tmp>(tree, side, used);
}

void quorum_keep_smallest(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used) {
  if (used == 0) tagc_accumulate(tree);
  else sweep<keep_smallest>(tree, side, used);
}

void quorum_keep_largest(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint32_t used) {
  if (used > 0) sweep<keep_largest>(tree, side, used);
}
