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

NODE_REF tagc_backtrack(SUFFIX_TREE* stree, NODE_REF node, const char* str1, uint64_t i,
                        uint32_t* edge_progress, int c) {
  for (;;) {
    NODE_REF father = node_at(stree, node).father;
    if (father == stree->root) {
      --*edge_progress;
      node = stree->root;
    } else {
      node = node_at(stree, father).suffix_link;
    }
    if (*edge_progress != 0) node = tagc_follow(stree, node, edge_progress, str1, i);

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

// Lifts a father to its full edge when any child was reached: reaching into a
// child's edge means the father's whole path label was matched.
static void examine(SUFFIX_TREE* stree, NODE_REF father) {
  NODE& f = node_at(stree, father);
  uint32_t edge_length = get_node_label_length(stree, father);
  if (f.TMP >= edge_length) return;
  for (NODE_REF child = f.sons; child != NIL; child = node_at(stree, child).right_sibling) {
    if (node_at(stree, child).TMP != 0) {
      f.TMP = edge_length;
      return;
    }
  }
}

void tagc_walk(SUFFIX_TREE* stree) {
  // Post-order through sons, siblings and fathers: no stack, however deep the tree.
  NODE_REF root = stree->root;
  NODE_REF node = root;
  if (node_at(stree, node).sons == NIL) return;
  while (node_at(stree, node).sons != NIL) node = node_at(stree, node).sons;
  while (node != root) {
    const NODE& n = node_at(stree, node);
    if (n.sons != NIL) {
      node = n.sons;
    } else if (n.right_sibling != NIL) {
      node = n.right_sibling;
    } else {
      do {
        node = node_at(stree, node).father;
        examine(stree, node);
      } while (node_at(stree, node).right_sibling == NIL && node != root);
      if (node != root) node = node_at(stree, node).right_sibling;
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
