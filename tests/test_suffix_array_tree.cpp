// The suffix array route against the Ukkonen construction that defines the pool: every
// field of every node, the leaf index and the tree record must come out the same.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "oracle.h"
#include "suffix_array_tree.h"
#include "suffix_tree.h"
#include "treecreate.h"

namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr unsigned long kDefaultCases = 1500;  // sanitized builds are slow
#else
constexpr unsigned long kDefaultCases = 6000;
#endif

const unsigned char* bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// Empty when the two trees of `text` agree, else the first difference.
std::string first_difference(const std::string& text) {
  TreePtr fast(ST_CreateTree(bytes(text), text.size()));
  TreePtr reference(ST_CreateTreeUkkonen(bytes(text), text.size()));
  const SUFFIX_TREE& a = *fast;
  const SUFFIX_TREE& b = *reference;
  if (a.length != b.length || a.e != b.e || a.NODE_INDEX != b.NODE_INDEX || a.root != b.root)
    return "tree record: length " + std::to_string(a.length) + "/" + std::to_string(b.length) +
           ", e " + std::to_string(a.e) + "/" + std::to_string(b.e) + ", nodes " +
           std::to_string(a.NODE_INDEX) + "/" + std::to_string(b.NODE_INDEX);
  if (std::memcmp(&a.tree_string[1], &b.tree_string[1], a.length) != 0) return "text";
  const char* names[] = {"sons",          "right_sibling",    "left_sibling",
                         "father",        "suffix_link",      "path_position",
                         "edge_label_start", "edge_label_end", "MAX",
                         "TMP"};
  static_assert(sizeof(NODE) == sizeof(names) / sizeof(names[0]) * sizeof(uint32_t));
  for (NODE_REF v = 0; v < a.NODE_INDEX; ++v) {
    uint32_t fa[10], fb[10];
    std::memcpy(fa, &a.STACK[v], sizeof fa);
    std::memcpy(fb, &b.STACK[v], sizeof fb);
    for (int f = 0; f < 10; ++f)
      if (fa[f] != fb[f])
        return "node " + std::to_string(v) + " " + names[f] + ": " + std::to_string(fa[f]) +
               " instead of " + std::to_string(fb[f]);
  }
  for (uint32_t j = 0; j <= a.length; ++j)
    if (a.LEAVES[j] != b.LEAVES[j])
      return "LEAVES[" + std::to_string(j) + "]: " + std::to_string(a.LEAVES[j]) +
             " instead of " + std::to_string(b.LEAVES[j]);
  return "";
}

TEST(SuffixArrayTree, SmallTextsMatchUkkonen) {
  for (const char* text : {"", "A", "+", "AC", "AA", "CA", "AAA", "AAC", "ACA", "ACAC", "GATTACA",
                           "AAAAAAAA", "ACACACAC", "ACGTACGTTACG", "++++A++++", "N\x01N\x01N",
                           "\xff\x80\xff\x80\x7f", "#!#!#", "aAaAaA"})
    EXPECT_EQ(first_difference(text), "") << '"' << text << '"';
}

// One random text of one of several kinds: each is a way the two routes could part.
std::string random_text(std::mt19937& rng) {
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const std::vector<std::string> alphabets = {
      "A", "AC", "ACGT", "ACGT+", "ACGTN", "ACGTacgtn", std::string("A\x01\x80\xff+N", 6),
      "#!\"%&'()*", "+"};
  const std::string& symbols = alphabets[pick(alphabets.size())];
  const uint32_t length = pick(8) == 0 ? pick(4) : pick(pick(2) == 0 ? 40 : 700);
  std::string text;
  switch (pick(4)) {
    case 0:  // independent symbols
      for (uint32_t i = 0; i < length; ++i) text += symbols[pick(symbols.size())];
      break;
    case 1: {  // a short unit repeated, with rare changes: deep trees, long suffix links
      std::string unit(1 + pick(9), ' ');
      for (char& ch : unit) ch = symbols[pick(symbols.size())];
      for (uint32_t i = 0; i < length; ++i)
        text += pick(50) == 0 ? symbols[pick(symbols.size())] : unit[i % unit.size()];
      break;
    }
    case 2: {  // copies of a longer block with point changes, as in related genomes
      std::string block(1 + pick(80), ' ');
      for (char& ch : block) ch = "ACGT"[pick(4)];
      while (text.size() < length) {
        std::string copy = block;
        for (char& ch : copy)
          if (pick(30) == 0) ch = symbols[pick(symbols.size())];
        text += copy;
      }
      break;
    }
    default:  // DNA with masked runs of '+'
      while (text.size() < length) {
        if (pick(6) == 0)
          text += std::string(1 + pick(pick(2) == 0 ? 5 : 60), '+');
        else
          for (uint32_t k = 1 + pick(30); k > 0; --k) text += "ACGT"[pick(4)];
      }
      break;
  }
  return text;
}

// XENVAR_PROPERTY_CASES and XENVAR_PROPERTY_SEED override the defaults when chasing a failure.
TEST(SuffixArrayTree, RandomTextsMatchUkkonenNodeForNode) {
  const unsigned long cases = oracle::from_env("XENVAR_PROPERTY_CASES", kDefaultCases);
  std::mt19937 rng(oracle::from_env("XENVAR_PROPERTY_SEED", 20261208));
  for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
    const std::string text = random_text(rng);
    EXPECT_EQ(first_difference(text), "") << "case " << i << ": " << testing::PrintToString(text);
  }
}

// Texts of some ten thousand symbols: a random genome with a repeated stretch and a masked
// gap, and one long run of a single symbol, whose intervals nest all the way down.
TEST(SuffixArrayTree, LongTextsMatchUkkonen) {
  std::mt19937 rng(7);
  std::string genome(40000, ' ');
  for (char& ch : genome) ch = "ACGT"[rng() % 4];
  genome += genome.substr(1000, 10000) + std::string(3000, '+') + genome.substr(20000, 8000);
  EXPECT_EQ(first_difference(genome), "");
  EXPECT_EQ(first_difference(std::string(30000, 'A')), "");
}

// Long texts are cut into ranges that threads work on side by side, each starting its
// common-prefix bound afresh; the cuts here fall inside long repeats.
TEST(SuffixArrayTree, ThreadsGiveTheSamePool) {
  std::mt19937 rng(13);
  std::string text(300000, ' ');
  for (char& ch : text) ch = "ACGT"[rng() % 4];
  text += text.substr(0, 200000) + std::string(100000, 'A') + text.substr(150000, 100000);
  const uint32_t saved = THREADS;
  for (uint32_t threads : {1u, 3u}) {
    THREADS = threads;
    EXPECT_EQ(first_difference(text), "") << threads << " threads";
  }
  THREADS = saved;
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Peak resident memory of this process in kB, or -1.
long peak_kb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atol(line + 6);
  std::fclose(f);
  return kb;
}

// A text of one repeated symbol, or of a short period, nests as deep as it is long: what
// the construction keeps per level must stay inside the pool, or such a chunk outgrows the
// 85 bytes a symbol that the chunk sizing budgets. Each text is built in a child process,
// so that its peak is its own; beyond the 85 come the tree's copy of the text and the
// rounding of huge pages. (Not under the sanitizers, whose shadow memory counts too.)
TEST(SuffixArrayTree, DeeplyNestedTextsStayInTheChunkBudget) {
  constexpr size_t N = size_t{1} << 21;
  for (const char* unit : {"A", "ACGTTGA"}) {
    std::string text;
    while (text.size() < N) text += unit;
    text.resize(N);
    EXPECT_EXIT(
        {
          std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
          if (f == nullptr || std::fputs("5", f) < 0 || std::fclose(f) != 0) std::_Exit(2);
          const long before = peak_kb();
          TreePtr tree(ST_CreateTree(bytes(text), text.size()));
          const double per_symbol = 1024.0 * static_cast<double>(peak_kb() - before) / N;
          std::fprintf(stderr, "%.1f B a symbol\n", per_symbol);
          std::_Exit(tree && per_symbol <= 85 + 3 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << "period of " << std::strlen(unit);
  }
}
#endif

// The chunk loop refuses a "$" in the text; should one get through, the construction must
// still stay inside its buffers (the sanitizer build checks that) and finish the tree.
TEST(SuffixArrayTree, DollarInsideStaysInBounds) {
  const std::string text = "AC$AC$A$$";
  TreePtr tree(ST_CreateTree(bytes(text), text.size()));
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->e, text.size() + 1);
  EXPECT_LE(tree->NODE_INDEX, 2 * text.size() + 2);
}

}  // namespace
