// The suffix tree of one chunk: records, node pool, edge helpers, construction.
#pragma once

#include <cstdint>
#include <memory>

#include "common.h"

// Bytes of one node; the automatic chunk sizing budgets two per symbol.
constexpr uint32_t NODESIZE = 40;

// Node references are indices into the pool; NIL is the one reserved value.
using NODE_REF = uint32_t;
constexpr NODE_REF NIL = 0xFFFFFFFFu;

struct SUFFIXTREENODE {
  NODE_REF sons;
  NODE_REF right_sibling;
  NODE_REF left_sibling;
  NODE_REF father;
  NODE_REF suffix_link;
  uint32_t path_position;
  uint32_t edge_label_start;
  uint32_t edge_label_end;
  uint32_t MAX;
  uint32_t TMP;
};
using NODE = SUFFIXTREENODE;
// The automatic chunk sizing budgets exactly this much per node.
static_assert(sizeof(NODE) == NODESIZE, "a node is ten 32-bit fields");

// What the pass's walks read besides the tree (tagc_prepare_walks builds it): the locus table,
// for every string of A, C, G and T of 1 to `loci_depth` symbols that the text holds, the node
// on whose edge it ends, so that a short match is followed by its length alone and the nodes
// are read only to be marked; and one bit a node, set where a walk asks for the node to be
// lifted to its full edge with everything above it, which tagc_walk then does for all the
// walks at once, or where the node is lifted already.
struct WALK_INDEX {
  std::unique_ptr<unsigned char[], FreeDeleter> loci;
  uint32_t loci_depth = 0;  // longest string in the table; 0: no table
  uint32_t loci_width = 4;  // bytes an entry: 3 while every node index fits in 24 bits
  bool in_text[256] = {};   // the bytes the text holds: any other query symbol matches nothing
  std::unique_ptr<uint64_t[], FreeDeleter> lifted;  // cleared by tagc_walk for the next group
  // One bit a string of the table, set where a walk's short match could not extend: the
  // walks only note them, and tagc_walk marks their nodes, once each, however often met.
  std::unique_ptr<uint64_t[], FreeDeleter> ends;
  // One bit a string of the table, set when the text holds it: small enough to stay in cache.
  std::unique_ptr<uint64_t[], FreeDeleter> present;
  bool ready = false;
  // TMP holds nothing but what the walks since its last clearing marked; false once a
  // quorum carries kept marks in it from one file's walks to the next.
  bool marks_fresh = true;
};

struct SUFFIXTREE {
  uint32_t e = 0;
  std::unique_ptr<unsigned char[], FreeDeleter> tree_string;  // positions 1..length
  uint32_t length = 0;
  NODE_REF root = 0;
  std::unique_ptr<NODE[], FreeDeleter> STACK;
  uint32_t NODE_INDEX = 0;
  // The leaf of each suffix, by its start position: lets the walk drop a symbol
  // from a match that ends on a leaf edge without going through suffix links.
  std::unique_ptr<NODE_REF[], FreeDeleter> LEAVES;
  WALK_INDEX WALK;  // empty until tagc_prepare_walks
  // What the three buffers hold (nodes, bytes, entries), so that the next tree can use them.
  uint64_t stack_nodes = 0;
  uint64_t string_bytes = 0;
  uint64_t leaves = 0;
};
using SUFFIX_TREE = SUFFIXTREE;

struct SUFFIXTREEPATH {
  uint32_t begin;
  uint32_t end;
};
using PATH = SUFFIXTREEPATH;

struct SUFFIXTREEPOS {
  NODE_REF node;
  uint32_t edge_pos;
};
using POS = SUFFIXTREEPOS;

enum SKIP_TYPE { skip = 0, no_skip = 1 };
// Scoped: "split" also names the list splitter of the command line.
enum class RULE_2_TYPE { new_son = 0, split = 1 };

// The internal node of the latest split still waiting for its suffix link.
extern NODE_REF suffixless;

NODE_REF create_node(SUFFIX_TREE* tree, NODE_REF father, uint32_t start, uint32_t end,
                     uint32_t position);
// `character` is a byte value; any value outside 0..255 matches no son.
NODE_REF find_son(const SUFFIX_TREE* tree, NODE_REF node, int character);
unsigned char is_last_char_in_edge(const SUFFIX_TREE* tree, NODE_REF node, uint32_t edge_pos);
void connect_siblings(SUFFIX_TREE* tree, NODE_REF left_sib, NODE_REF right_sib);
void create_suffix_link(SUFFIX_TREE* tree, NODE_REF node, NODE_REF link);

// Longest text whose tree keeps every node index below NIL.
constexpr uint64_t MAX_TREE_TEXT = (uint64_t{NIL} - 2) / 2 - 1;

// The tree record with its text, "$" and room for every node and leaf, nothing built yet;
// null for a null text. Either construction starts from it.
SUFFIX_TREE* allocate_tree(const unsigned char* str, uint64_t length);
// The linear-time construction that defines the pool, kept as the reference that the
// construction in use (ST_CreateTree, suffix_array_tree.h) must match node for node.
SUFFIX_TREE* ST_CreateTreeUkkonen(const unsigned char* str, uint64_t length);
void ST_DeleteTree(SUFFIX_TREE* tree);

// "\nOut of memory.\n" and the end of the run, for either construction.
[[noreturn]] void tree_out_of_memory();

inline NODE& node_at(const SUFFIX_TREE* tree, NODE_REF ref) { return tree->STACK[ref]; }

// Inline: the walks ask for edge lengths at nearly every step.
inline uint32_t get_node_label_end(const SUFFIX_TREE* tree, NODE_REF node) {
  // Every leaf edge ends at the common end, so raising e lengthens them all at once.
  const NODE& n = node_at(tree, node);
  return n.sons == NIL ? tree->e : n.edge_label_end;
}

inline uint32_t get_node_label_length(const SUFFIX_TREE* tree, NODE_REF node) {
  return get_node_label_end(tree, node) - node_at(tree, node).edge_label_start + 1;
}

// Construction steps, exposed for tests.
void SPA(SUFFIX_TREE* tree, POS* pos, uint32_t phase, uint32_t* extension,
         unsigned char* repeated_extension);
void SEA(SUFFIX_TREE* tree, POS* pos, PATH str, uint32_t* rule_applied,
         unsigned char after_rule_3);
void follow_suffix_link(SUFFIX_TREE* tree, POS* pos);
NODE_REF trace_string(SUFFIX_TREE* tree, NODE_REF node, PATH str, uint32_t* edge_pos,
                      uint32_t* chars_found, SKIP_TYPE type);
NODE_REF trace_single_edge(SUFFIX_TREE* tree, NODE_REF node, PATH str, uint32_t* edge_pos,
                           uint32_t* chars_found, SKIP_TYPE type, int32_t* search_done);
NODE_REF apply_extension_rule_2(SUFFIX_TREE* tree, NODE_REF node, uint32_t edge_label_begin,
                                uint32_t edge_label_end, uint32_t path_pos, uint32_t edge_pos,
                                RULE_2_TYPE type);

struct TreeDeleter {
  void operator()(SUFFIX_TREE* tree) const { ST_DeleteTree(tree); }
};
using TreePtr = std::unique_ptr<SUFFIX_TREE, TreeDeleter>;
