#include "tagc.h"

#include <vector>

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

void tagc_update(SUFFIX_TREE* stree, NODE_REF node, uint32_t edge_progress) {
  NODE& n = node_at(stree, node);
  if (n.TMP < edge_progress) n.TMP = edge_progress;
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
      node_at(stree, node).TMP = get_node_label_length(stree, node);
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

void tagc_segmented(SUFFIX_TREE* stree, uint64_t len1, const char* str1, uint64_t segment) {
  // Long queries are cut into segments, each walked from the root, all side by side
  // so that the memory latency of one walk hides behind the steps of the others.
  // Every match a segment's walk holds is in the query, so its marks are sound;
  // what it misses is the match that runs into the segment from before. A second,
  // sequential walk supplies that: it carries the match over each segment start
  // until the match fits in the segment walked there, whose walk then held the
  // very same match, and goes on from that walk's end.
  uint64_t count = len1 / segment + 1;
  std::vector<Walker> walkers(count, Walker{stree->root, 0});
  for (uint64_t step = 0; step < segment; ++step) {
    for (uint64_t w = 0; w < count; ++w) {
      uint64_t i = w * segment + step;
      if (i > len1) break;
      Walker& k = walkers[w];
      tagc_step(stree, &k.node, &k.edge_progress, query_symbol(str1, i, len1));
      prefetch_step(stree, k.node, k.edge_progress);
    }
  }
  for (uint64_t w = 0; w + 1 < count; ++w) {
    Walker carried = walkers[w];
    uint64_t i = (w + 1) * segment;
    for (;; ++i) {
      tagc_step(stree, &carried.node, &carried.edge_progress, query_symbol(str1, i, len1));
      uint64_t start = i / segment * segment;
      if (match_length(stree, carried) <= i - start + 1) break;
    }
    // Caught up inside segment i / segment: continue after it.
    w = i / segment - 1;
  }
}

void tagc(SUFFIX_TREE* stree, uint64_t len1, const char* str1) {
  tagc_segmented(stree, len1, str1, len1 < WALK_SEGMENT ? len1 + 1 : WALK_SEGMENT);
}

// ---------------------------------------------------------------- node bounds

void tagc_initialize(SUFFIX_TREE* stree) {
  // The last node (the leaf of "$" alone) keeps its creation bounds; the report skips it.
  for (uint32_t i = 0; i < stree->NODE_INDEX - 1; ++i) {
    NODE& n = stree->STACK[i];
    uint32_t length = get_node_label_length(stree, i);
    if (n.MAX > length) n.MAX = length;
    if (n.sons == NIL) --n.MAX;  // keeps the terminator out of every tag
    n.TMP = 0;
  }
}

void tagc_walk(SUFFIX_TREE* stree) {
  // A node ends at its full edge exactly when something below it was reached. Sweeping
  // the pool in index order and climbing from every reached node until an ancestor
  // already lifted gives that with no stack, reading the pool in order instead of
  // chasing every link of a post-order traversal. The lifted set is a bitmap small
  // enough to stay in cache, so most reached nodes never load their father.
  NODE* nodes = stree->STACK.get();
  uint32_t count = stree->NODE_INDEX;
  std::vector<uint64_t> lifted(count / 64 + 1, 0);
  auto is_lifted = [&lifted](NODE_REF x) { return (lifted[x / 64] >> (x % 64) & 1) != 0; };
  for (uint32_t i = 0; i < count; ++i) {
    if (i + PREFETCH_AHEAD < count) {
      NODE_REF ahead = nodes[i + PREFETCH_AHEAD].father;
      if (ahead != NIL && !is_lifted(ahead)) __builtin_prefetch(&nodes[ahead]);
    }
    if (nodes[i].TMP == 0) continue;
    for (NODE_REF x = nodes[i].father; x != NIL && !is_lifted(x); x = nodes[x].father) {
      lifted[x / 64] |= uint64_t{1} << (x % 64);
      nodes[x].TMP = get_node_label_length(stree, x);
    }
  }
}

void tagc_accumulate(SUFFIX_TREE* stree) {
  for (uint32_t i = 0; i < stree->NODE_INDEX - 1; ++i) {
    NODE& n = stree->STACK[i];
    if (n.TMP < n.MAX) n.MAX = n.TMP;
    n.TMP = 0;
  }
}
