#include "suffix_tree.h"

#include <cstdio>
#include <cstring>
#include <new>

NODE_REF suffixless = NIL;

// ---------------------------------------------------------------- pool and edge helpers

NODE_REF create_node(SUFFIX_TREE* tree, NODE_REF father, uint32_t start, uint32_t end,
                     uint32_t position) {
  NODE_REF ref = tree->NODE_INDEX++;
  tree->STACK[ref] = NODE{NIL, NIL, NIL, father, NIL, position, start, end, 0xFFFFFFFFu, 0};
  return ref;
}

NODE_REF find_son(const SUFFIX_TREE* tree, NODE_REF node, int character) {
  NODE_REF son = node_at(tree, node).sons;
  while (son != NIL && tree->tree_string[node_at(tree, son).edge_label_start] != character)
    son = node_at(tree, son).right_sibling;
  return son;
}

unsigned char is_last_char_in_edge(const SUFFIX_TREE* tree, NODE_REF node, uint32_t edge_pos) {
  return edge_pos == get_node_label_length(tree, node) - 1 ? 1 : 0;
}

void connect_siblings(SUFFIX_TREE* tree, NODE_REF left_sib, NODE_REF right_sib) {
  if (left_sib != NIL) node_at(tree, left_sib).right_sibling = right_sib;
  if (right_sib != NIL) node_at(tree, right_sib).left_sibling = left_sib;
}

void create_suffix_link(SUFFIX_TREE* tree, NODE_REF node, NODE_REF link) {
  node_at(tree, node).suffix_link = link;
}

// ---------------------------------------------------------------- tracing

NODE_REF trace_single_edge(SUFFIX_TREE* tree, NODE_REF node, PATH str, uint32_t* edge_pos,
                           uint32_t* chars_found, SKIP_TYPE type, int32_t* search_done) {
  const unsigned char* ts = tree->tree_string.get();
  *search_done = 1;
  *edge_pos = 0;
  NODE_REF cont = find_son(tree, node, ts[str.begin]);
  if (cont == NIL) {
    *edge_pos = get_node_label_length(tree, node) - 1;
    *chars_found = 0;
    return node;
  }
  node = cont;
  uint32_t length = get_node_label_length(tree, node);
  uint32_t str_len = str.end - str.begin + 1;
  if (type == skip) {
    // Below a suffix link the string is known to be present: count edges, compare nothing.
    if (length <= str_len) {
      *chars_found = length;
      *edge_pos = length - 1;
      if (length < str_len) *search_done = 0;
    } else {
      *chars_found = str_len;
      *edge_pos = str_len - 1;
    }
    return node;
  }
  if (str_len < length) length = str_len;
  uint32_t label_start = node_at(tree, node).edge_label_start;
  for (uint32_t k = 1; k < length; ++k) {
    if (ts[label_start + k] != ts[str.begin + k]) {
      *edge_pos = k - 1;
      *chars_found = k;
      return node;
    }
  }
  *edge_pos = length - 1;
  *chars_found = length;
  if (*chars_found < str_len) *search_done = 0;
  return node;
}

NODE_REF trace_string(SUFFIX_TREE* tree, NODE_REF node, PATH str, uint32_t* edge_pos,
                      uint32_t* chars_found, SKIP_TYPE type) {
  int32_t search_done = 0;
  *chars_found = 0;
  while (search_done == 0) {
    uint32_t edge_chars_found = 0;
    *edge_pos = 0;
    node = trace_single_edge(tree, node, str, edge_pos, &edge_chars_found, type, &search_done);
    str.begin += edge_chars_found;
    *chars_found += edge_chars_found;
  }
  return node;
}

void follow_suffix_link(SUFFIX_TREE* tree, POS* pos) {
  if (pos->node == tree->root) return;
  const NODE& n = node_at(tree, pos->node);
  if (n.suffix_link != NIL && is_last_char_in_edge(tree, pos->node, pos->edge_pos)) {
    pos->node = n.suffix_link;
    pos->edge_pos = get_node_label_length(tree, pos->node) - 1;
    return;
  }
  if (n.father == tree->root) {
    pos->node = tree->root;  // the extension traces from the root again
    return;
  }
  PATH gama{n.edge_label_start, n.edge_label_start + pos->edge_pos};
  uint32_t chars_found = 0;
  pos->node = trace_string(tree, node_at(tree, n.father).suffix_link, gama, &pos->edge_pos,
                           &chars_found, skip);
}

// ---------------------------------------------------------------- extensions and phases

NODE_REF apply_extension_rule_2(SUFFIX_TREE* tree, NODE_REF node, uint32_t edge_label_begin,
                                uint32_t edge_label_end, uint32_t path_pos, uint32_t edge_pos,
                                RULE_2_TYPE type) {
  if (type == RULE_2_TYPE::new_son) {
    NODE_REF leaf = create_node(tree, node, edge_label_begin, edge_label_end, path_pos);
    NODE_REF last = node_at(tree, node).sons;
    while (node_at(tree, last).right_sibling != NIL) last = node_at(tree, last).right_sibling;
    connect_siblings(tree, last, leaf);
    return leaf;
  }
  NODE& cut = node_at(tree, node);
  NODE_REF internal = create_node(tree, cut.father, cut.edge_label_start,
                                  cut.edge_label_start + edge_pos, cut.path_position);
  cut.edge_label_start += edge_pos + 1;
  NODE_REF leaf = create_node(tree, internal, edge_label_begin, edge_label_end, path_pos);
  // The new internal node takes the cut node's place among its siblings.
  connect_siblings(tree, cut.left_sibling, internal);
  connect_siblings(tree, internal, cut.right_sibling);
  cut.left_sibling = NIL;
  NODE& father = node_at(tree, node_at(tree, internal).father);
  if (father.sons == node) father.sons = internal;
  node_at(tree, internal).sons = node;
  cut.father = internal;
  connect_siblings(tree, node, leaf);
  return internal;
}

void SEA(SUFFIX_TREE* tree, POS* pos, PATH str, uint32_t* rule_applied,
         unsigned char after_rule_3) {
  const unsigned char* ts = tree->tree_string.get();
  uint32_t chars_found = 0;
  uint32_t path_pos = str.begin;
  if (after_rule_3 == 0) follow_suffix_link(tree, pos);
  // The next extension usually starts at this node's suffix link: fetch it while this
  // one scans sons.
  if (pos->node != tree->root) {
    const NODE& at = node_at(tree, pos->node);
    NODE_REF next = at.suffix_link != NIL ? at.suffix_link : node_at(tree, at.father).suffix_link;
    if (next != NIL) __builtin_prefetch(&tree->STACK[next]);
  }

  if (pos->node == tree->root) {
    pos->node = trace_string(tree, tree->root, str, &pos->edge_pos, &chars_found, no_skip);
  } else {
    str.begin = str.end;  // only the new symbol is still to be found
    if (is_last_char_in_edge(tree, pos->node, pos->edge_pos)) {
      NODE_REF son = find_son(tree, pos->node, ts[str.end]);
      if (son != NIL) {
        pos->node = son;
        pos->edge_pos = 0;
        chars_found = 1;
      }
    } else if (ts[node_at(tree, pos->node).edge_label_start + pos->edge_pos + 1] == ts[str.end]) {
      pos->edge_pos++;
      chars_found = 1;
    }
  }

  if (chars_found == str.end - str.begin + 1) {  // rule 3: already in the tree
    *rule_applied = 3;
    if (suffixless != NIL) {
      create_suffix_link(tree, suffixless, node_at(tree, pos->node).father);
      suffixless = NIL;
    }
    return;
  }

  if (is_last_char_in_edge(tree, pos->node, pos->edge_pos) || pos->node == tree->root) {
    if (node_at(tree, pos->node).sons != NIL) {
      apply_extension_rule_2(tree, pos->node, str.begin + chars_found, str.end, path_pos, 0,
                             RULE_2_TYPE::new_son);
      *rule_applied = 2;
      if (suffixless != NIL) {
        create_suffix_link(tree, suffixless, pos->node);
        suffixless = NIL;
      }
    }
    return;
  }

  NODE_REF internal = apply_extension_rule_2(tree, pos->node, str.begin + chars_found, str.end,
                                             path_pos, pos->edge_pos, RULE_2_TYPE::split);
  if (suffixless != NIL) create_suffix_link(tree, suffixless, internal);
  if (get_node_label_length(tree, internal) == 1 && node_at(tree, internal).father == tree->root) {
    node_at(tree, internal).suffix_link = tree->root;
    suffixless = NIL;
  } else {
    suffixless = internal;
  }
  pos->node = internal;
  *rule_applied = 2;
}

void SPA(SUFFIX_TREE* tree, POS* pos, uint32_t phase, uint32_t* extension,
         unsigned char* repeated_extension) {
  uint32_t rule_applied = 0;
  tree->e = phase + 1;
  while (*extension <= phase + 1) {
    SEA(tree, pos, PATH{*extension, phase + 1}, &rule_applied, *repeated_extension);
    if (rule_applied == 3) {
      // The next phase resumes this extension where it stopped.
      *repeated_extension = 1;
      return;
    }
    *repeated_extension = 0;
    ++*extension;
  }
}

// ---------------------------------------------------------------- creation and deletion

void tree_out_of_memory() {
  std::fputs("\nOut of memory.\n", stderr);
  std::exit(1);
}

// Trees of fewer than two symbols, finished by hand: every suffix and "$" at a leaf.
static void finish_short_tree(SUFFIX_TREE* tree, uint32_t n) {
  NODE_REF root = tree->root;
  if (n == 0) {
    node_at(tree, root).sons = create_node(tree, root, 1, 1, 1);
    tree->e = 1;
    return;
  }
  NODE_REF whole = create_node(tree, root, 1, 2, 1);
  NODE_REF dollar = create_node(tree, root, 2, 2, 2);
  node_at(tree, root).sons = whole;
  connect_siblings(tree, whole, dollar);
  tree->e = 2;
}

static void index_leaves(SUFFIX_TREE* tree) {
  tree->LEAVES[0] = NIL;
  for (uint32_t i = 0; i < tree->NODE_INDEX; ++i)
    if (tree->STACK[i].sons == NIL) tree->LEAVES[tree->STACK[i].path_position] = i;
}

// The buffers of the tree deleted last, kept for the next one: a fresh buffer costs the
// kernel a fault and the zeroing of every page it touches, while the chunk loop builds
// trees of the same size one after another. Only one tree is built at a time.
struct SpareBuffers {
  std::unique_ptr<NODE[], FreeDeleter> STACK;
  uint64_t stack_nodes = 0;
  std::unique_ptr<unsigned char[], FreeDeleter> tree_string;
  uint64_t string_bytes = 0;
  std::unique_ptr<NODE_REF[], FreeDeleter> LEAVES;
  uint64_t leaves = 0;
};
static SpareBuffers SPARE;

// The spare buffer when it holds `count` items, else a new one (the spare is freed first,
// so that the two never add up).
template <typename T>
static std::unique_ptr<T[], FreeDeleter> reuse_or_allocate(std::unique_ptr<T[], FreeDeleter>& spare,
                                                           uint64_t& spare_count, uint64_t count) {
  if (spare && spare_count >= count) {
    spare_count = 0;
    return std::move(spare);
  }
  spare.reset();
  spare_count = 0;
  std::unique_ptr<T[], FreeDeleter> fresh(static_cast<T*>(allocate_large(sizeof(T) * count)));
  if (!fresh) tree_out_of_memory();
  return fresh;
}

SUFFIX_TREE* allocate_tree(const unsigned char* str, uint64_t length) {
  if (str == nullptr) {
    std::fputs("\nEmpty string.\n", stderr);
    return nullptr;
  }
  if (length > MAX_TREE_TEXT) tree_out_of_memory();
  uint32_t n = static_cast<uint32_t>(length);
  SUFFIX_TREE* tree = new (std::nothrow) SUFFIX_TREE;
  if (tree == nullptr) tree_out_of_memory();
  tree->length = n + 1;
  tree->NODE_INDEX = 0;
  // A text of one repeated symbol needs 2n + 1 nodes; untouched pool pages cost nothing.
  tree->STACK = reuse_or_allocate(SPARE.STACK, SPARE.stack_nodes, 2 * uint64_t{n} + 2);
  tree->stack_nodes = 2 * uint64_t{n} + 2;
  tree->tree_string = reuse_or_allocate(SPARE.tree_string, SPARE.string_bytes, uint64_t{n} + 2);
  tree->string_bytes = uint64_t{n} + 2;
  tree->tree_string[0] = 0;
  std::memcpy(tree->tree_string.get() + 1, str, n);
  tree->tree_string[n + 1] = '$';
  tree->LEAVES = reuse_or_allocate(SPARE.LEAVES, SPARE.leaves, uint64_t{n} + 2);
  tree->leaves = uint64_t{n} + 2;
  return tree;
}

SUFFIX_TREE* ST_CreateTreeUkkonen(const unsigned char* str, uint64_t length) {
  SUFFIX_TREE* tree = allocate_tree(str, length);
  if (tree == nullptr) return nullptr;
  const uint32_t n = tree->length - 1;
  tree->root = create_node(tree, NIL, 0, 0, 0);
  if (n < 2) {
    finish_short_tree(tree, n);
    index_leaves(tree);
    return tree;
  }
  node_at(tree, tree->root).sons = create_node(tree, tree->root, 1, n + 1, 1);
  suffixless = NIL;
  POS pos{tree->root, 0};
  uint32_t extension = 2;
  unsigned char repeated_extension = 0;
  for (uint32_t phase = 2; phase < tree->length; ++phase)
    SPA(tree, &pos, phase, &extension, &repeated_extension);
  index_leaves(tree);
  return tree;
}

// Keeps the larger of each buffer and its spare for the next tree.
template <typename T>
static void keep_spare(std::unique_ptr<T[], FreeDeleter>& spare, uint64_t& spare_count,
                       std::unique_ptr<T[], FreeDeleter>& buffer, uint64_t count) {
  if (!buffer || count < spare_count) return;
  spare = std::move(buffer);
  spare_count = count;
}

void ST_DeleteTree(SUFFIX_TREE* tree) {
  if (tree == nullptr) return;
  keep_spare(SPARE.STACK, SPARE.stack_nodes, tree->STACK, tree->stack_nodes);
  keep_spare(SPARE.tree_string, SPARE.string_bytes, tree->tree_string, tree->string_bytes);
  keep_spare(SPARE.LEAVES, SPARE.leaves, tree->LEAVES, tree->leaves);
  delete tree;
}
