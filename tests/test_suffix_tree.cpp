// Shape of the chunk suffix tree: small trees node by node, random texts against the text alone.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "suffix_array_tree.h"
#include "suffix_tree.h"

namespace {

TreePtr build(const std::string& text) {
  return TreePtr(ST_CreateTree(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

// Father, edge start and end (as get_node_label_end gives it), path position, suffix link, sons.
using Row = std::tuple<NODE_REF, uint32_t, uint32_t, uint32_t, NODE_REF, std::vector<NODE_REF>>;

TEST(SuffixTree, SmallTreesNodeByNode) {
  struct { std::string text; std::vector<Row> rows; } cases[] = {
      {"", {{NIL, 0, 0, 0, NIL, {1}}, {0, 1, 1, 1, NIL, {}}}},
      {"G", {{NIL, 0, 0, 0, NIL, {1, 2}}, {0, 1, 2, 1, NIL, {}}, {0, 2, 2, 2, NIL, {}}}},
      {"AC", {{NIL, 0, 0, 0, NIL, {1, 2, 3}}, {0, 1, 3, 1, NIL, {}}, {0, 2, 3, 2, NIL, {}},
              {0, 3, 3, 3, NIL, {}}}},
      {"AA", {{NIL, 0, 0, 0, NIL, {2, 4}}, {2, 2, 3, 1, NIL, {}}, {0, 1, 1, 1, 0, {1, 3}},
              {2, 3, 3, 2, NIL, {}}, {0, 3, 3, 3, NIL, {}}}},
      {"ACAC", {{NIL, 0, 0, 0, NIL, {3, 5, 7}}, {3, 3, 5, 1, NIL, {}}, {5, 3, 5, 2, NIL, {}},
                {0, 1, 2, 1, 5, {1, 4}}, {3, 5, 5, 3, NIL, {}}, {0, 2, 2, 2, 0, {2, 6}},
                {5, 5, 5, 4, NIL, {}}, {0, 5, 5, 5, NIL, {}}}},
  };
  for (const auto& c : cases) {
    TreePtr t = build(c.text);
    ASSERT_TRUE(t);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&t->tree_string[1]), t->length), c.text + '$');
    EXPECT_EQ(t->e, c.text.size() + 1);
    std::vector<Row> rows;
    for (NODE_REF v = 0; v < t->NODE_INDEX; ++v) {
      const NODE& n = t->STACK[v];
      std::vector<NODE_REF> sons;
      for (NODE_REF s = n.sons; s != NIL && sons.size() < 9; s = t->STACK[s].right_sibling) sons.push_back(s);
      rows.emplace_back(n.father, n.edge_label_start, get_node_label_end(t.get(), v), n.path_position,
                        n.suffix_link, sons);
    }
    EXPECT_EQ(rows, c.rows) << '"' << c.text << '"';
  }
}

// Everything a finished tree promises, spelled out from the edges. Repeats of a short unit give deep
// trees and long suffix links; one-symbol alphabets give the largest trees, 2n + 1 nodes.
TEST(SuffixTree, RandomTextsKeepEveryInvariant) {
  std::mt19937 rng(20240601);
  for (int round = 0; round < 2000 && !HasFailure(); ++round) {
    const std::string symbols = std::string("ACGT+").substr(rng() % 5, 1 + rng() % 4);
    std::string unit(1 + rng() % 7, ' '), text;
    for (char& ch : unit) ch = symbols[rng() % symbols.size()];
    for (size_t i = 0, n = 1 + rng() % 300; i < n; ++i)
      text += (round % 2 == 0 && rng() % 40 != 0) ? unit[i % unit.size()] : symbols[rng() % symbols.size()];
    SCOPED_TRACE(text);
    TreePtr t = build(text);
    const SUFFIX_TREE* c = t.get();
    const uint32_t n = static_cast<uint32_t>(text.size());
    const std::string full = text + '$';
    ASSERT_EQ(c->e, n + 1);
    ASSERT_LE(c->NODE_INDEX, 2 * n + 2);
    std::vector<std::string> label(c->NODE_INDEX);
    std::vector<NODE_REF> order{0};
    uint32_t leaves = 0;
    for (size_t k = 0; k < order.size(); ++k) {
      const NODE_REF v = order[k];
      const NODE& node = c->STACK[v];
      if (v != 0) {  // a leaf spells its whole suffix, an internal node a prefix of one
        ASSERT_TRUE(node.path_position >= 1 && node.path_position <= n + 1) << "node " << v;
        const size_t len = node.sons == NIL ? std::string::npos : label[v].size();
        EXPECT_EQ(label[v], full.substr(node.path_position - 1, len)) << "node " << v;
      }
      if (node.sons == NIL) { ++leaves; continue; }
      std::set<char> firsts;
      for (NODE_REF s = node.sons, prev = NIL; s != NIL; prev = s, s = c->STACK[s].right_sibling) {
        ASSERT_TRUE(s < c->NODE_INDEX && order.size() <= c->NODE_INDEX) << "son " << s << " of " << v;
        EXPECT_EQ(c->STACK[s].father, v);
        EXPECT_EQ(c->STACK[s].left_sibling, prev);
        const uint32_t start = c->STACK[s].edge_label_start, end = get_node_label_end(c, s);
        ASSERT_TRUE(start >= 1 && start <= end && end <= n + 1) << "edge of " << s;
        label[s] = label[v] + full.substr(start - 1, end - start + 1);
        EXPECT_TRUE(firsts.insert(full[start - 1]).second) << "sons of " << v << " share a first symbol";
        order.push_back(s);
      }
      EXPECT_TRUE(v == 0 || firsts.size() >= 2) << "internal node " << v << " with one son";
    }
    EXPECT_EQ(order.size(), c->NODE_INDEX) << "nodes not reachable from the root";
    EXPECT_EQ(leaves, n + 1);
    for (NODE_REF v = 1; v < c->NODE_INDEX; ++v) {
      const NODE_REF link = c->STACK[v].suffix_link;
      if (c->STACK[v].sons == NIL) continue;
      ASSERT_LT(link, c->NODE_INDEX) << "internal node " << v << " without a suffix link";
      EXPECT_EQ(label[link], label[v].substr(1)) << "suffix link of " << v;
    }
    const NODE& last = c->STACK[c->NODE_INDEX - 1];
    EXPECT_TRUE(last.sons == NIL && last.father == 0 && last.path_position == n + 1) << "last node";
  }
}

}  // namespace

TEST(SuffixTree, RefusesWhatItCannotHold) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(ST_CreateTree(nullptr, 4), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nEmpty string.\n");
  // A text whose nodes could not all be numbered below NIL ends the run as out of memory.
  const unsigned char text[] = "AC";
  EXPECT_EXIT(ST_CreateTree(text, MAX_TREE_TEXT + 1), testing::ExitedWithCode(1), "^\nOut of memory.\n$");
}
