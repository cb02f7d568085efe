#include "tagc.h"

// ---------------------------------------------------------------- matching walk

// No query symbol is a node's "no match" marker: the closing step, the reserved
// terminator, and (on DNA) the "+" that stands for a masked position in the tree.
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

NODE_REF tagc_follow(SUFFIX_TREE* stree, NODE_REF node, uint32_t* edge_progress,
                     const char* str1, uint64_t i) {
  // The string is known to continue from here: one symbol per edge is enough.
  uint32_t k = *edge_progress;
  node = find_son(stree, node, static_cast<unsigned char>(str1[i - k]));
  uint32_t length;
  while (k > (length = get_node_label_length(stree, node))) {
    k -= length;
    node = find_son(stree, node, static_cast<unsigned char>(str1[i - k]));
  }
  tagc_update(stree, node, k);
  *edge_progress = k;
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

// How far ahead the leaf drops fetch the nodes they are about to visit.
static constexpr uint32_t PREFETCH_AHEAD = 16;

// Drops symbols from a match that ends inside a leaf edge. The match is a prefix of
// the leaf's suffix s, so without its first symbol it is a prefix of suffix s + 1:
// it ends in that suffix's leaf edge while it is longer than the leaf's father, and
// is followed there by the very text symbol that just failed, so the drops go on.
// Marks every place on the way, as the suffix-link route would; returns the node
// whose edge holds the end of the first match that leaves the leaves.
static NODE_REF tagc_drop_on_leaves(SUFFIX_TREE* stree, NODE_REF node,
                                    uint32_t* edge_progress) {
  const NODE_REF* leaves = stree->LEAVES.get();
  const NODE& leaf = node_at(stree, node);
  uint32_t s = leaf.path_position;
  uint32_t m = leaf.edge_label_start - s + *edge_progress;
  for (;;) {
    ++s;
    if (--m == 0) {
      *edge_progress = 0;
      return stree->root;
    }
    if (s + PREFETCH_AHEAD < stree->length)
      __builtin_prefetch(&stree->STACK[leaves[s + PREFETCH_AHEAD]]);
    NODE& next = node_at(stree, leaves[s]);
    uint32_t father_depth = next.edge_label_start - s;
    if (m <= father_depth) {
      NODE_REF x = next.father;
      while (node_at(stree, x).edge_label_start - node_at(stree, x).path_position >= m)
        x = node_at(stree, x).father;
      *edge_progress = m - (node_at(stree, x).edge_label_start - node_at(stree, x).path_position);
      tagc_update(stree, x, *edge_progress);
      return x;
    }
    if (next.TMP < m - father_depth) next.TMP = m - father_depth;
  }
}

NODE_REF tagc_backtrack(SUFFIX_TREE* stree, NODE_REF node, const char* str1, uint64_t i,
                        uint32_t* edge_progress, int c) {
  for (;;) {
    NODE_REF father = node_at(stree, node).father;
    if (node_at(stree, node).sons == NIL && stree->LEAVES) {
      node = tagc_drop_on_leaves(stree, node, edge_progress);
    } else {
      if (father == stree->root) {
        --*edge_progress;
        node = stree->root;
      } else {
        node = node_at(stree, father).suffix_link;
      }
      if (*edge_progress != 0) node = tagc_follow(stree, node, edge_progress, str1, i);
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

void tagc(SUFFIX_TREE* stree, uint64_t len1, const char* str1) {
  NODE_REF node = stree->root;
  uint32_t edge_progress = 0;
  // One step past the last symbol drops the final match, marking its suffixes on the way.
  for (uint64_t i = 0; i <= len1; ++i) {
    int c = query_symbol(str1, i, len1);
    if (node == stree->root || edge_progress == get_node_label_length(stree, node)) {
      NODE_REF child = find_son(stree, node, c);
      if (child != NIL) {
        tagc_update(stree, node, edge_progress);
        node = child;
        edge_progress = 1;
        tagc_update(stree, child, 1);
      } else if (node != stree->root) {
        tagc_update(stree, node, edge_progress);
        node = tagc_backtrack_internal(stree, node, c, &edge_progress);
        tagc_update(stree, node, edge_progress);
      }
    } else if (next_edge_char_is(stree, node, edge_progress, c)) {
      ++edge_progress;
      tagc_update(stree, node, edge_progress);
    } else {
      tagc_update(stree, node, edge_progress);
      node = tagc_backtrack(stree, node, str1, i, &edge_progress, c);
      tagc_update(stree, node, edge_progress);
    }
  }
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

// Set on a node's TMP while the walk runs: the node and all its ancestors are lifted.
static constexpr uint32_t LIFTED = 0x80000000u;

void tagc_walk(SUFFIX_TREE* stree) {
  // A node ends at its full edge exactly when something below it was reached. Sweeping
  // the pool in index order and climbing from every reached node until an ancestor
  // already lifted gives that, with no stack, and reads the pool in order instead of
  // chasing every link of a post-order traversal. Label lengths stay below LIFTED.
  NODE* nodes = stree->STACK.get();
  uint32_t count = stree->NODE_INDEX;
  for (uint32_t i = 0; i < count; ++i) {
    if (i + PREFETCH_AHEAD < count && nodes[i + PREFETCH_AHEAD].father != NIL)
      __builtin_prefetch(&nodes[nodes[i + PREFETCH_AHEAD].father]);
    if ((nodes[i].TMP & ~LIFTED) == 0) continue;
    for (NODE_REF x = nodes[i].father; x != NIL && (nodes[x].TMP & LIFTED) == 0; x = nodes[x].father)
      nodes[x].TMP = get_node_label_length(stree, x) | LIFTED;
  }
  for (uint32_t i = 0; i < count; ++i) nodes[i].TMP &= ~LIFTED;
}

void tagc_accumulate(SUFFIX_TREE* stree) {
  for (uint32_t i = 0; i < stree->NODE_INDEX - 1; ++i) {
    NODE& n = stree->STACK[i];
    if (n.TMP < n.MAX) n.MAX = n.TMP;
    n.TMP = 0;
  }
}
