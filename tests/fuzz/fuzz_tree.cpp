// Tree and walk: a fuzzed text through every tree builder, the node pool checked against what
// a suffix tree is, then fuzzed queries walked and the matching depths checked by direct search.
// Input: a flags byte, the text, then queries, separated by line feeds.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "suffix_array_tree.h"
#include "suffix_tree.h"
#include "tagc.h"
#include "treecreate.h"

namespace {

using fuzz::require;

// Every way there is to build a chunk's tree; each must give a pool that passes every check.
struct Builder {
  const char* name;
  TreePtr (*build)(const std::string& text);
};
const Builder BUILDERS[] = {
    {"suffix array", [](const std::string& t) {
       return TreePtr(ST_CreateTree(reinterpret_cast<const unsigned char*>(t.data()), t.size()));
     }},
    {"ukkonen", [](const std::string& t) {
       return TreePtr(ST_CreateTreeUkkonen(reinterpret_cast<const unsigned char*>(t.data()), t.size()));
     }},
};

std::string edge(const SUFFIX_TREE* t, NODE_REF v) {
  if (v == t->root) return "";
  const unsigned char* s = &t->tree_string[node_at(t, v).edge_label_start];
  return std::string(reinterpret_cast<const char*>(s), get_node_label_length(t, v));
}

// Path labels from the edges alone, by index; fathers must come before sons in a walk from the
// root, so labels are filled in son-list order.
std::vector<std::string> path_labels(const SUFFIX_TREE* t) {
  std::vector<std::string> label(t->NODE_INDEX);
  std::vector<bool> seen(t->NODE_INDEX, false);
  std::vector<NODE_REF> todo = {t->root};
  seen[t->root] = true;
  uint32_t reached = 1;
  while (!todo.empty()) {
    const NODE_REF v = todo.back();
    todo.pop_back();
    std::vector<bool> first_symbols(256, false);
    NODE_REF previous = NIL;
    for (NODE_REF s = node_at(t, v).sons; s != NIL; previous = s, s = node_at(t, s).right_sibling) {
      require(s < t->NODE_INDEX && !seen[s], "every node is the son of one father, once");
      const NODE& n = node_at(t, s);
      require(n.father == v && n.left_sibling == previous, "father and sibling links agree with the son list");
      const unsigned char first = t->tree_string[n.edge_label_start];
      require(!first_symbols[first], "siblings start with distinct symbols");
      first_symbols[first] = true;
      require(n.edge_label_start >= 1 && get_node_label_end(t, s) <= t->length &&
                  n.edge_label_start <= get_node_label_end(t, s),
              "edges lie inside the text");
      label[s] = label[v] + edge(t, s);
      require(n.edge_label_start - n.path_position == label[v].size(), "path position is where the path label starts");
      require(label[s] == std::string(reinterpret_cast<const char*>(&t->tree_string[n.path_position]), label[s].size()),
              "path label read at the path position");
      seen[s] = true, ++reached;
      todo.push_back(s);
    }
    const NODE_REF first = node_at(t, v).sons;
    require(v == t->root || first == NIL || node_at(t, first).right_sibling != NIL, "an inner node branches");
  }
  require(reached == t->NODE_INDEX, "every node hangs from the root");
  return label;
}

void check_pool(const SUFFIX_TREE* t, uint64_t n) {
  require(t->length == n + 1 && t->e == n + 1, "the text and its terminator are in the tree");
  require(t->NODE_INDEX <= 2 * n + 2, "at most 2n + 2 nodes");
  require(node_at(t, t->root).father == NIL, "the root has no father");
  const std::vector<std::string> label = path_labels(t);
  const std::string text(reinterpret_cast<const char*>(&t->tree_string[1]), n + 1);
  for (uint32_t i = 1; i <= n + 1; ++i) {
    // Descending by the suffix from the root must end exactly at the end of its leaf's edge.
    NODE_REF v = t->root;
    for (uint32_t p = i; p <= n + 1;) {
      v = find_son(t, v, t->tree_string[p]);
      require(v != NIL && text.compare(p - 1, get_node_label_length(t, v), edge(t, v)) == 0, "every suffix is spelled from the root");
      p += get_node_label_length(t, v);
    }
    require(v == t->LEAVES[i] && node_at(t, v).sons == NIL && node_at(t, v).path_position == i, "every suffix ends at its leaf");
  }
  for (NODE_REF v = 0; v < t->NODE_INDEX; ++v) {
    if (v == t->root || node_at(t, v).sons == NIL) continue;
    const NODE_REF link = node_at(t, v).suffix_link;
    require(link != NIL && link < t->NODE_INDEX && node_at(t, link).sons != NIL, "an inner node links to an inner node");
    require(label[link] == label[v].substr(1), "a suffix link drops the first symbol of the label");
  }
}

// Longest prefix of `label` in any query; "$", and "+" on DNA, match nothing.
uint64_t longest_in(const std::string& label, const std::vector<std::string>& queries) {
  uint64_t best = 0;
  for (const std::string& q : queries)
    for (uint64_t j = 0; j < q.size(); ++j) {
      uint64_t k = 0;
      while (k < label.size() && j + k < q.size() && q[j + k] == label[k] && q[j + k] != '$' && !(DNA && q[j + k] == '+')) ++k;
      best = std::max(best, k);
    }
  return best;
}

void check_walk(SUFFIX_TREE* t, SUFFIX_TREE* segmented, const std::vector<std::string>& queries, uint64_t segment) {
  const std::vector<std::string> label = path_labels(t);
  tagc_initialize(t);
  tagc_prepare_walks(segmented);  // the pass's walks: the locus table, noted ends, lifts
  for (const std::string& q : queries) tagc(t, q.size(), q.data());
  for (const std::string& q : queries) tagc_segmented(segmented, q.size(), q.data(), segment, 1 + segment % 3);
  tagc_walk(t);
  tagc_walk(segmented);
  for (NODE_REF v = 1; v < t->NODE_INDEX; ++v) {
    const uint64_t up = label[v].size() - get_node_label_length(t, v), found = longest_in(label[v], queries);
    require(node_at(t, v).TMP == (found > up ? found - up : 0), "the walk marks how far each edge occurs");
    require(node_at(segmented, v).TMP == node_at(t, v).TMP, "a readied walk in segments marks the same");
  }
  tagc_accumulate(t);
  for (NODE_REF v = 1; v + 1 < t->NODE_INDEX; ++v) {
    const uint64_t up = label[v].size() - get_node_label_length(t, v), found = longest_in(label[v], queries);
    const uint64_t edge_bound = get_node_label_length(t, v) - (node_at(t, v).sons == NIL);  // no tag holds "$"
    require(node_at(t, v).MAX == std::min(edge_bound, found > up ? found - up : 0), "the fold keeps the smaller bound");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 600) return 0;
  // Flags: bit 0 -N; bits 1-3 a small alphabet the bytes are mapped to (0: bytes as they are);
  // bits 4-6 the segment length of the second walk.
  const uint8_t flags = data[0];
  DNA = flags & 1 ? 0 : 1;
  const std::string alphabet = std::string("ACGT+N\x01").substr(0, flags >> 1 & 7);
  std::vector<std::string> pieces(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == '\n') pieces.emplace_back();
    else pieces.back() += alphabet.empty() ? static_cast<char>(data[i]) : alphabet[data[i] % alphabet.size()];
  }
  std::string text = pieces[0];
  if (text.size() > 200) return 0;
  // "$" ends the tree's text, so a chunk never holds it (the tag pass refuses one).
  std::replace(text.begin(), text.end(), '$', '#');
  const std::vector<std::string> queries(pieces.begin() + 1, pieces.end());
  for (const Builder& b : BUILDERS) {
    TreePtr tree = b.build(text), segmented = b.build(text);
    require(tree != nullptr && segmented != nullptr, "a tree for every text");
    check_pool(tree.get(), text.size());
    check_walk(tree.get(), segmented.get(), queries, 1 + (flags >> 4 & 7));
  }
  return 0;
}
