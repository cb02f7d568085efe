#include "tagc.h"

#include <atomic>
#include <vector>

#include "threads.h"
#include "treecreate.h"

// ---------------------------------------------------------------- matching walk

// What nothing in the tree may match: the closing step, the reserved terminator, and
// on DNA the "+", which in the tree stands for a masked position.
static constexpr int NO_MATCH = -1;

static int query_symbol(const char* str1, uint64_t i, uint64_t len1) {
  if (i == len1) return NO_MATCH;
  unsigned char c = static_cast<unsigned char>(str1[i]);
  if (c == '$' || (c == '+' && DNA)) return NO_MATCH;
  return c;
}

static bool next_edge_char_is(const SUFFIX_TREE* stree, NODE_REF node, uint32_t edge_progress,
                              int c) {
  return stree->tree_string[node_at(stree, node).edge_label_start + edge_progress] == c;
}

// Threads walk the one tree side by side, so TMP only ever rises, by an atomic maximum:
// the bounds then do not depend on which walk got where first.
static void raise_tmp(NODE& n, uint32_t value) {
  std::atomic_ref<uint32_t> tmp(n.TMP);
  uint32_t seen = tmp.load(std::memory_order_relaxed);
  while (seen < value && !tmp.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void tagc_update(SUFFIX_TREE* stree, NODE_REF node, uint32_t edge_progress) {
  raise_tmp(node_at(stree, node), edge_progress);
}

// How many steps ahead a prefetch goes where the next nodes are known in advance.
static constexpr uint32_t PREFETCH_AHEAD = 16;

static uint32_t father_depth(const SUFFIX_TREE* stree, NODE_REF node) {
  return node_at(stree, node).edge_label_start - node_at(stree, node).path_position;
}

// Where a match of `*edge_progress` symbols ends, found from `node`, a node on whose
// path it lies: climbing to the first node whose father is shallower than the match
// costs one node a step, where descending by edges would scan the sons at each.
NODE_REF tagc_follow(SUFFIX_TREE* stree, NODE_REF node, uint32_t* edge_progress) {
  uint32_t m = *edge_progress;
  while (father_depth(stree, node) >= m) node = node_at(stree, node).father;
  *edge_progress = m - father_depth(stree, node);
  tagc_update(stree, node, *edge_progress);
  return node;
}

NODE_REF tagc_backtrack_internal(SUFFIX_TREE* stree, NODE_REF node, int c,
                                 uint32_t* edge_progress) {
  for (;;) {
    if (node != stree->root) {
      // The whole path label of a suffix-link target is a suffix of the matched string.
      node = node_at(stree, node).suffix_link;
      raise_tmp(node_at(stree, node), get_node_label_length(stree, node));
    }
    NODE_REF child = find_son(stree, node, c);
    if (child != NIL) {
      *edge_progress = 1;
      return child;
    }
    if (node == stree->root) {
      *edge_progress = 0;
      return stree->root;
    }
  }
}

NODE_REF tagc_backtrack(SUFFIX_TREE* stree, NODE_REF node, uint32_t* edge_progress, int c) {
  for (;;) {
    // Drop the first symbol. The shorter match lies on the path of the node's suffix
    // link, or, for a leaf of suffix s, on the path of the leaf of suffix s + 1.
    const NODE& n = node_at(stree, node);
    uint32_t m = father_depth(stree, node) + *edge_progress - 1;
    if (m == 0) {
      node = stree->root;
      *edge_progress = 0;
    } else {
      NODE_REF below = n.suffix_link;
      if (n.sons == NIL) {
        uint32_t next = n.path_position + 1;
        below = stree->LEAVES[next];
        // Mismatches on leaves come in runs over consecutive suffixes.
        if (next + PREFETCH_AHEAD < stree->length)
          __builtin_prefetch(&stree->STACK[stree->LEAVES[next + PREFETCH_AHEAD]]);
      }
      *edge_progress = m;
      node = tagc_follow(stree, below, edge_progress);
    }

    if (node == stree->root || *edge_progress == get_node_label_length(stree, node)) {
      NODE_REF child = find_son(stree, node, c);
      if (child == NIL) return tagc_backtrack_internal(stree, node, c, edge_progress);
      *edge_progress = 1;
      tagc_update(stree, child, 1);
      return child;
    }
    if (next_edge_char_is(stree, node, *edge_progress, c)) {
      ++*edge_progress;
      tagc_update(stree, node, *edge_progress);
      return node;
    }
    tagc_update(stree, node, *edge_progress);
  }
}

// One symbol of the walk: extend the match by `c`, or shorten it until it can be.
static void tagc_step(SUFFIX_TREE* stree, NODE_REF* node, uint32_t* edge_progress, int c) {
  if (*node == stree->root || *edge_progress == get_node_label_length(stree, *node)) {
    NODE_REF child = find_son(stree, *node, c);
    if (child != NIL) {
      tagc_update(stree, *node, *edge_progress);
      *node = child;
      *edge_progress = 1;
      tagc_update(stree, child, 1);
    } else if (*node != stree->root) {
      tagc_update(stree, *node, *edge_progress);
      *node = tagc_backtrack_internal(stree, *node, c, edge_progress);
      tagc_update(stree, *node, *edge_progress);
    }
  } else if (next_edge_char_is(stree, *node, *edge_progress, c)) {
    ++*edge_progress;
    tagc_update(stree, *node, *edge_progress);
  } else {
    tagc_update(stree, *node, *edge_progress);
    *node = tagc_backtrack(stree, *node, edge_progress, c);
    tagc_update(stree, *node, *edge_progress);
  }
}

// Fetches what the next step of a walk at this place reads first.
static void prefetch_step(const SUFFIX_TREE* stree, NODE_REF node, uint32_t edge_progress) {
  const NODE& n = node_at(stree, node);
  if (node == stree->root || edge_progress == get_node_label_length(stree, node))
    __builtin_prefetch(&stree->STACK[n.sons]);
  else
    __builtin_prefetch(&stree->tree_string[n.edge_label_start + edge_progress]);
}

struct Walker {
  NODE_REF node;
  uint32_t edge_progress;
};

static uint32_t match_length(const SUFFIX_TREE* stree, const Walker& walker) {
  return father_depth(stree, walker.node) + walker.edge_progress;
}

// A query cut into segments, and how the segments are grouped into items of a parallel loop.
struct SegmentedWalk {
  SUFFIX_TREE* stree;
  uint64_t len1;
  const char* str1;
  uint64_t segment;
  uint64_t count;  // segments; the last one ends with the closing step
  uint64_t group;  // segments per item
};

// Walks the n segments from segment `first` on, each from the root, side by side, so that
// the memory latency of one walk hides behind the steps of the others. Leaves each walk's
// final state in `walkers`.
static void walk_side_by_side(const SegmentedWalk& job, uint64_t first, Walker* walkers,
                              uint64_t n) {
  SUFFIX_TREE* stree = job.stree;
  for (uint64_t w = 0; w < n; ++w) walkers[w] = Walker{stree->root, 0};
  for (uint64_t step = 0; step < job.segment; ++step) {
    for (uint64_t w = 0; w < n; ++w) {
      uint64_t i = (first + w) * job.segment + step;
      if (i > job.len1) break;
      Walker& k = walkers[w];
      tagc_step(stree, &k.node, &k.edge_progress, query_symbol(job.str1, i, job.len1));
      prefetch_step(stree, k.node, k.edge_progress);
    }
  }
}

// Carries the match that segment w's walk ends with over the following segment starts,
// until the match fits in the segment walked there, whose walk then held the very same
// match. A carry that passes further starts repeats marks that their own carries make
// too; maxima make that harmless, so every carry is independent of the others.
static void carry_over(const SegmentedWalk& job, uint64_t w, Walker carried) {
  SUFFIX_TREE* stree = job.stree;
  for (uint64_t i = (w + 1) * job.segment;; ++i) {
    tagc_step(stree, &carried.node, &carried.edge_progress, query_symbol(job.str1, i, job.len1));
    uint64_t start = i / job.segment * job.segment;
    if (match_length(stree, carried) <= i - start + 1) return;
  }
}

// One item: a group of segments, walked side by side, then carried over their ends.
static void walk_group(void* data, uint64_t item, uint32_t) {
  const SegmentedWalk& job = *static_cast<const SegmentedWalk*>(data);
  uint64_t first = item * job.group;
  uint64_t n = job.count - first < job.group ? job.count - first : job.group;
  std::vector<Walker> walkers(n);
  walk_side_by_side(job, first, walkers.data(), n);
  for (uint64_t w = 0; w < n; ++w)
    if (first + w + 1 < job.count) carry_over(job, first + w, walkers[w]);
}

// Segments per item: all of them on one thread, as many side by side as can be. With
// more threads, enough items for the threads to even out, yet enough walks per item
// to keep the memory busy.
static uint64_t segments_per_group(uint64_t count, uint32_t threads) {
  constexpr uint64_t ITEMS_PER_THREAD = 4, FEWEST_SIDE_BY_SIDE = 8;
  if (threads <= 1) return count;
  uint64_t group = (count + ITEMS_PER_THREAD * threads - 1) / (ITEMS_PER_THREAD * threads);
  return group < FEWEST_SIDE_BY_SIDE ? FEWEST_SIDE_BY_SIDE : group;
}

void tagc_segmented(SUFFIX_TREE* stree, uint64_t len1, const char* str1, uint64_t segment,
                    uint32_t threads) {
  // Every match a segment's walk holds is in the query, so its marks are sound; what
  // it misses is the match that runs into the segment from before, which the carry
  // over the segment's start supplies.
  SegmentedWalk job{stree, len1, str1, segment, len1 / segment + 1, 0};
  job.group = segments_per_group(job.count, threads);
  parallel_for(threads, (job.count + job.group - 1) / job.group, walk_group, &job);
}

void tagc(SUFFIX_TREE* stree, uint64_t len1, const char* str1) {
  tagc_segmented(stree, len1, str1, len1 < WALK_SEGMENT ? len1 + 1 : WALK_SEGMENT, THREADS);
}

// ---------------------------------------------------------------- node bounds

// The sweeps over the pool go in ranges of this many nodes, one range an item.
static constexpr uint32_t SWEEP_RANGE = 1 << 16;

struct Sweep {
  SUFFIX_TREE* stree;
  uint32_t count;  // nodes swept, from 0
  std::vector<std::atomic<uint64_t>>* lifted;
};

static void sweep_pool(SUFFIX_TREE* stree, uint32_t count, PARALLEL_WORKER worker,
                       std::vector<std::atomic<uint64_t>>* lifted = nullptr) {
  Sweep sweep{stree, count, lifted};
  parallel_for(THREADS, (uint64_t{count} + SWEEP_RANGE - 1) / SWEEP_RANGE, worker, &sweep);
}

static uint32_t range_end(const Sweep& sweep, uint64_t item) {
  uint64_t end = (item + 1) * SWEEP_RANGE;
  return end < sweep.count ? static_cast<uint32_t>(end) : sweep.count;
}

static void initialize_range(void* data, uint64_t item, uint32_t) {
  const Sweep& sweep = *static_cast<const Sweep*>(data);
  for (uint32_t i = static_cast<uint32_t>(item * SWEEP_RANGE); i < range_end(sweep, item); ++i) {
    NODE& n = sweep.stree->STACK[i];
    uint32_t length = get_node_label_length(sweep.stree, i);
    if (n.MAX > length) n.MAX = length;
    if (n.sons == NIL) --n.MAX;  // keeps the terminator out of every tag
    n.TMP = 0;
  }
}

void tagc_initialize(SUFFIX_TREE* stree) {
  // The last node (the leaf of "$" alone) keeps its creation bounds; the report skips it.
  sweep_pool(stree, stree->NODE_INDEX - 1, initialize_range);
}

// Climbs from every reached node of one range, lifting its ancestors to their full edge.
static void walk_range(void* data, uint64_t item, uint32_t) {
  const Sweep& sweep = *static_cast<const Sweep*>(data);
  NODE* nodes = sweep.stree->STACK.get();
  std::vector<std::atomic<uint64_t>>& lifted = *sweep.lifted;
  auto is_lifted = [&lifted](NODE_REF x) {
    return (lifted[x / 64].load(std::memory_order_relaxed) >> (x % 64) & 1) != 0;
  };
  uint32_t end = range_end(sweep, item);
  for (uint32_t i = static_cast<uint32_t>(item * SWEEP_RANGE); i < end; ++i) {
    if (i + PREFETCH_AHEAD < end) {
      NODE_REF ahead = nodes[i + PREFETCH_AHEAD].father;
      if (ahead != NIL && !is_lifted(ahead)) __builtin_prefetch(&nodes[ahead]);
    }
    // Another range may be lifting this very node; then its ancestors are lifted too,
    // so reading the lifted value instead of the reached one changes nothing.
    if (std::atomic_ref<uint32_t>(nodes[i].TMP).load(std::memory_order_relaxed) == 0) continue;
    for (NODE_REF x = nodes[i].father; x != NIL && !is_lifted(x); x = nodes[x].father) {
      // Whoever sets the bit climbs on; everyone else stops there.
      uint64_t bit = uint64_t{1} << (x % 64);
      if ((lifted[x / 64].fetch_or(bit, std::memory_order_relaxed) & bit) != 0) break;
      std::atomic_ref<uint32_t>(nodes[x].TMP)
          .store(get_node_label_length(sweep.stree, x), std::memory_order_relaxed);
    }
  }
}

void tagc_walk(SUFFIX_TREE* stree) {
  // A node ends at its full edge exactly when something below it was reached. Sweeping
  // the pool in index order and climbing from every reached node until an ancestor
  // already lifted gives that with no stack, reading the pool in order instead of
  // chasing every link of a post-order traversal. The lifted set is a bitmap small
  // enough to stay in cache, so most reached nodes never load their father.
  std::vector<std::atomic<uint64_t>> lifted(stree->NODE_INDEX / 64 + 1);
  sweep_pool(stree, stree->NODE_INDEX, walk_range, &lifted);
}

static void accumulate_range(void* data, uint64_t item, uint32_t) {
  const Sweep& sweep = *static_cast<const Sweep*>(data);
  for (uint32_t i = static_cast<uint32_t>(item * SWEEP_RANGE); i < range_end(sweep, item); ++i) {
    NODE& n = sweep.stree->STACK[i];
    if (n.TMP < n.MAX) n.MAX = n.TMP;
    n.TMP = 0;
  }
}

void tagc_accumulate(SUFFIX_TREE* stree) { sweep_pool(stree, stree->NODE_INDEX - 1, accumulate_range); }
