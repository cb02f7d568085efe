// Matching walk and node bounds, checked against brute-force substring search.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "suffix_array_tree.h"
#include "suffix_tree.h"
#include "tagc.h"
#include "treecreate.h"

namespace {

TreePtr build(const std::string& text) {
  return TreePtr(ST_CreateTree(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}
void stream(SUFFIX_TREE* t, const std::string& query) { tagc(t, query.size(), query.data()); }
std::vector<uint32_t> field(const SUFFIX_TREE* t, uint32_t NODE::*member) {
  std::vector<uint32_t> v;
  for (NODE_REF i = 0; i < t->NODE_INDEX; ++i) v.push_back(t->STACK[i].*member);
  return v;
}

struct Tagc : testing::Test {
  int32_t saved_dna = DNA;
  void SetUp() override { DNA = 1; }
  void TearDown() override { DNA = saved_dna; }
};

TEST_F(Tagc, WalkMarksEndPointsOnly) {
  // Chunks of distinct symbols: node i is the leaf of the suffix at i.
  struct { int32_t dna; std::string chunk, query; std::vector<uint32_t> tmp; } cases[] = {
      {1, "ACG", "ACG", {0, 3, 2, 1, 0}},  // the last two marks come from the closing step
      {1, "ACGT", "AG", {0, 1, 0, 1, 0, 0}},  // a mismatch next to the root looks G up at once
      {1, "A\x01" "C", "A", {0, 1, 0, 0, 0}},  // the closing step matches nothing, not even byte 1
      {1, "ACG", "G$", {0, 0, 0, 1, 0}},  // '$' never matches the end of a leaf edge
      {1, "AC+GT", "AC+GT", {0, 2, 1, 0, 2, 1, 0}},  // '+' stands for a masked position
      {0, "AC+GT", "AC+GT", {0, 5, 4, 3, 2, 1, 0}},  // with -N it is an ordinary symbol
  };
  for (const auto& c : cases) {
    DNA = c.dna;
    TreePtr t = build(c.chunk);
    stream(t.get(), c.query);
    EXPECT_EQ(field(t.get(), &NODE::TMP), c.tmp) << c.chunk << " / " << c.query << " DNA " << c.dna;
  }
}

TEST_F(Tagc, BoundsCornerCases) {
  TreePtr t = build("ACAC");  // nodes: root, ACAC$, CAC$, AC, AC$, C, C$, $
  tagc_initialize(t.get());   // leaves leave out their '$'; the last node is never visited
  EXPECT_EQ(field(t.get(), &NODE::MAX), (std::vector<uint32_t>{1, 2, 2, 2, 0, 1, 0, 0xFFFFFFFFu}));
  t->STACK[1].TMP = 2;  // lifts its father AC and the root, nothing else
  tagc_walk(t.get());
  EXPECT_EQ(field(t.get(), &NODE::TMP), (std::vector<uint32_t>{1, 2, 0, 2, 0, 0, 0, 0}));
  t->STACK[4].TMP = 5;  // above its MAX of 0: MAX stays
  t->STACK[7].TMP = 3;  // the last node is left alone
  tagc_accumulate(t.get());
  EXPECT_EQ(field(t.get(), &NODE::MAX), (std::vector<uint32_t>{1, 2, 0, 2, 0, 0, 0, 0xFFFFFFFFu}));
  EXPECT_EQ(field(t.get(), &NODE::TMP), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0, 3}));
}

// Largest k such that the father's path label plus k edge symbols occurs in a query, 0 if none
// (a node's path label starts at its path position).
// '+' (a masked position) and '$' match nothing, so they become a byte that no tree holds.
uint32_t brute_depth(const SUFFIX_TREE* t, NODE_REF v, std::vector<std::string> queries) {
  for (auto& q : queries)
    std::replace_if(q.begin(), q.end(), [](char ch) { return ch == '+' || ch == '$'; }, '#');
  uint32_t up = 0;
  for (NODE_REF u = t->STACK[v].father; u != 0; u = t->STACK[u].father) up += get_node_label_length(t, u);
  const std::string label(reinterpret_cast<const char*>(&t->tree_string[t->STACK[v].path_position]),
                          up + get_node_label_length(t, v));
  for (uint32_t k = get_node_label_length(t, v); k >= 1; --k)
    for (const auto& q : queries)
      if (q.find(label.substr(0, up + k)) != std::string::npos) return k;
  return 0;
}

// Two groups of queries, made of pieces of the chunk with a few changes so that long matches
// are common: the first group is checked as the walk leaves it, then both are folded in
// either order.
TEST_F(Tagc, WalkAndFoldGiveMatchingDepths) {
  std::mt19937 rng(11);
  const std::string other = "ACGTN+$";
  for (int round = 0; round < 2000 && !HasFailure(); ++round) {
    const std::string symbols = std::string("ACGT+\x01").substr(rng() % 6, 1 + rng() % 4);
    std::string chunk(2 + rng() % 59, ' ');
    for (char& ch : chunk) ch = symbols[rng() % symbols.size()];
    std::vector<std::string> g1(1 + rng() % 2), g2(1 + rng() % 2);
    for (auto* g : {&g1, &g2})
      for (auto& q : *g) {
        for (const size_t n = rng() % 90; q.size() < n;)
          q += rng() % 3 ? chunk.substr(rng() % chunk.size(), 1 + rng() % 20)
                         : other.substr(rng() % other.size(), 1);
        for (char& ch : q)
          if (ch == '\x01' || rng() % 25 == 0) ch = other[rng() % other.size()];
      }
    SCOPED_TRACE(testing::PrintToString(chunk) + " with " + testing::PrintToString(g1[0]) + "...");
    TreePtr a = build(chunk), b = build(chunk);
    for (SUFFIX_TREE* t : {a.get(), b.get()}) tagc_initialize(t);
    for (const auto& q : g1) stream(a.get(), q);
    tagc_walk(a.get());
    for (NODE_REF v = 1; v < a->NODE_INDEX; ++v)
      EXPECT_EQ(a->STACK[v].TMP, brute_depth(a.get(), v, g1)) << "node " << v;
    // Long queries are walked in segments side by side: tiny segments must give the same.
    // So must threads walking groups of them, each carrying its own segments' ends.
    // A tree readied for the pass (locus table, walks that lift what they mark) too.
    const uint64_t segment = 1 + rng() % 8;
    for (uint32_t threads : {1u, 2u, 3u, 8u}) {
      TreePtr s = build(chunk);
      if (threads % 2 == 0) tagc_prepare_walks(s.get());
      for (const auto& q : g1) tagc_segmented(s.get(), q.size(), q.data(), segment, threads);
      tagc_walk(s.get());
      EXPECT_EQ(field(s.get(), &NODE::TMP), field(a.get(), &NODE::TMP))
          << "segments of " << segment << ", " << threads << " threads";
    }
    tagc_accumulate(a.get());
    for (auto [t, g] : {std::pair{a.get(), &g2}, {b.get(), &g2}, {b.get(), &g1}}) {
      for (const auto& q : *g) stream(t, q);
      tagc_walk(t);
      tagc_accumulate(t);
    }
    EXPECT_EQ(field(a.get(), &NODE::MAX), field(b.get(), &NODE::MAX));
    for (NODE_REF v = 1; v + 1 < a->NODE_INDEX; ++v)
      EXPECT_EQ(a->STACK[v].MAX, std::min({get_node_label_length(a.get(), v) - (a->STACK[v].sons == NIL),
                                           brute_depth(a.get(), v, g1), brute_depth(a.get(), v, g2)}))
          << "node " << v;  // a leaf's '$' is never shared
  }
}

// A text of `n` symbols drawn from a few repeated blocks, each copy with a few changes:
// long shared matches that run over many segment starts, as between related genomes.
// `odd` holds the symbols sprinkled in between.
std::string related_text(std::mt19937& rng, size_t n, const std::string& blocks, const std::string& odd) {
  std::string s;
  while (s.size() < n) {
    size_t from = rng() % blocks.size(), len = 1 + rng() % 400;
    s += blocks.substr(from, len);
    if (rng() % 4 == 0) s += odd[rng() % odd.size()];
  }
  s.resize(n);
  return s;
}

// Longer queries than above, so that many segments fall to each thread and carries
// cross several segment starts: every thread count and segment length marks what the
// single walk marks.
TEST_F(Tagc, ParallelSegmentedWalkMarksWhatTheSingleWalkMarks) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int ROUNDS = 8;  // sanitized walks are slow; the release build runs them all
#else
  constexpr int ROUNDS = 30;
#endif
  std::mt19937 rng(29);
  for (int round = 0; round < ROUNDS && !HasFailure(); ++round) {
    std::string blocks(2000, ' ');
    for (char& ch : blocks) ch = "ACGT"[rng() % (round % 3 == 0 ? 2 : 4)];
    const std::string chunk = related_text(rng, 300 + rng() % 3000, blocks, "ACGTN+");
    const std::string query = related_text(rng, 1000 + rng() % 6000, blocks, "ACGTN+$");
    TreePtr single = build(chunk);
    tagc_segmented(single.get(), query.size(), query.data(), query.size() + 1, 1);
    tagc_walk(single.get());
    const std::vector<uint32_t> expected = field(single.get(), &NODE::TMP);
    for (uint64_t segment : {uint64_t{1 + rng() % 16}, uint64_t{50 + rng() % 500}})
      for (uint32_t threads : {1u, 2u, 3u, 8u}) {
        TreePtr t = build(chunk);
        if (threads != 1) tagc_prepare_walks(t.get());
        tagc_segmented(t.get(), query.size(), query.data(), segment, threads);
        tagc_walk(t.get());
        ASSERT_EQ(field(t.get(), &NODE::TMP), expected)
            << "round " << round << ", segments of " << segment << ", " << threads << " threads";
      }
  }
}

// A query that is the chunk itself, or the chunk with a few symbols that match nothing
// put in, keeps one match on a leaf edge across every segment start: each carry must
// extend it to where it breaks, then hand it over to the next segment's walk. Runs of
// such symbols fall at every offset of an 8-symbol word, and near the chunk's end.
TEST_F(Tagc, SharedStretchesAcrossSegmentsMarkWhatTheSingleWalkMarks) {
  std::mt19937 rng(31);
  for (int round = 0; round < 24 && !HasFailure(); ++round) {
    std::string chunk(200 + rng() % 2000, ' ');
    for (char& ch : chunk) ch = "ACGT"[rng() % 4];
    if (round % 2 == 1) chunk[rng() % chunk.size()] = '+';
    if (round % 4 == 3) chunk[rng() % chunk.size()] = '$';  // in the tree, yet matches nothing
    std::string query = chunk;
    for (int k = round % 4; k > 0; --k) query[rng() % query.size()] = "$+N"[rng() % 3];
    if (round % 3 == 0) query += chunk.substr(0, rng() % chunk.size());
    TreePtr single = build(chunk);
    tagc_segmented(single.get(), query.size(), query.data(), query.size() + 1, 1);
    tagc_walk(single.get());
    const std::vector<uint32_t> expected = field(single.get(), &NODE::TMP);
    // The walk from the query's start stays on the leaf of the whole chunk (node 1) up to
    // the first symbol that differs or matches nothing (a copy appended after may go on).
    size_t same = 0;
    while (same < chunk.size() && query[same] == chunk[same] && query[same] != '+' && query[same] != '$') ++same;
    const NODE& whole = single->STACK[1];
    if (same > whole.edge_label_start - whole.path_position) {
      EXPECT_GE(expected[1], same - (whole.edge_label_start - whole.path_position)) << "round " << round;
      if (query.size() == chunk.size()) {
        EXPECT_EQ(expected[1], same - (whole.edge_label_start - whole.path_position)) << "round " << round;
      }
    }
    for (uint64_t segment : {uint64_t{1 + rng() % 16}, uint64_t{17 + rng() % 300}})
      for (uint32_t threads : {1u, 3u}) {
        TreePtr t = build(chunk);
        if (segment % 2 == 0) tagc_prepare_walks(t.get());
        tagc_segmented(t.get(), query.size(), query.data(), segment, threads);
        tagc_walk(t.get());
        ASSERT_EQ(field(t.get(), &NODE::TMP), expected)
            << "round " << round << ", segments of " << segment << ", " << threads << " threads";
      }
  }
}

// The sweeps split the pool into ranges: a tree of more nodes than one range holds
// must come out of each sweep the same on every thread count.
TEST_F(Tagc, SweepsGiveTheSameBoundsOnEveryThreadCount) {
  std::mt19937 rng(31);
  std::string blocks(5000, ' ');
  for (char& ch : blocks) ch = "ACGT"[rng() % 4];
  const std::string chunk = related_text(rng, 90000, blocks, "ACGTN+");  // about 150 000 nodes
  const std::string query = related_text(rng, 60000, blocks, "ACGTN+$");
  const uint32_t saved = THREADS;
  std::vector<std::vector<uint32_t>> first;
  for (uint32_t threads : {1u, 2u, 3u, 8u}) {
    THREADS = threads;
    TreePtr t = build(chunk);
    ASSERT_GT(t->NODE_INDEX, 2u << 16);
    tagc_initialize(t.get());
    std::vector<std::vector<uint32_t>> seen{field(t.get(), &NODE::MAX)};
    stream(t.get(), query);
    tagc_walk(t.get());
    seen.push_back(field(t.get(), &NODE::TMP));
    tagc_accumulate(t.get());
    seen.push_back(field(t.get(), &NODE::MAX));
    seen.push_back(field(t.get(), &NODE::TMP));
    if (first.empty()) first = seen;
    EXPECT_EQ(seen, first) << threads << " threads";
  }
  THREADS = saved;
}

}  // namespace
