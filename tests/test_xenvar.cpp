// Chunk geometry and the choice of the representative file.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "treecreate.h"
#include "xenvar.h"

TEST(Chunks, RangesAndCount) {
  struct { uint64_t i; uint32_t chunk, overlap, preamble; uint64_t start, end, pre; } ranges[] = {
      {0, 100, 50, 250, 0, 149, 0},
      {3, 100, 50, 250, 50, 449, 250},
      {2, 100, 50, 0, 200, 349, 0},
      // Positions beyond 4 GiB must not wrap.
      {5, 4294967295u, 10, 0, 21474836475ull, 25769803779ull, 0},
      {1, 4294967295u, 4294967295u, 4294967295u, 0, 12884901884ull, 4294967295ull},
  };
  for (const auto& c : ranges) {
    uint64_t start = 1, end = 1, pre = 1;
    chunks(c.i, c.chunk, c.overlap, c.preamble, &start, &end, &pre);
    EXPECT_EQ(std::vector<uint64_t>({start, end, pre}), std::vector<uint64_t>({c.start, c.end, c.pre}))
        << "chunk " << c.i << " of " << c.chunk;
  }
  struct { uint32_t chunk; uint64_t length, count; } counts[] = {
      {100, 250, 3}, {100, 100, 1}, {100, 101, 2}, {100, 0, 0}, {4294967295u, 4294967295ull, 1},
      {4294967295u, 4294967296ull, 2}, {4294967295u, 5ull << 32, 6}};
  for (const auto& c : counts)
    EXPECT_EQ(nb_of_chunks(c.chunk, c.length), c.count) << c.length << " / " << c.chunk;
}

TEST(Representative, SmallestFirstListedTradesPlacesWithTheFirst) {
  struct { std::vector<uint64_t> sizes; std::vector<size_t> order; } cases[] = {
      {{5000, 3000, 3000}, {1, 0, 2}},  // the first listed of the smallest
      {{3, 3, 3}, {0, 1, 2}},
      {{9, 8, 1, 7}, {2, 1, 0, 3}},  // only these two trade places
      {{5ull << 32, (4ull << 32) + 1}, {1, 0}},
  };
  const auto saved = std::tuple(FILES_LEFT, FILES_LEFT_SIZES, LEFT);
  for (const auto& c : cases) {
    FILES_LEFT.clear();
    for (size_t i = 0; i < c.sizes.size(); ++i) FILES_LEFT.push_back(std::to_string(i));
    FILES_LEFT_SIZES = c.sizes;
    LEFT = static_cast<int32_t>(c.sizes.size());
    EXPECT_EQ(choose_representative(), c.order[0] == 0 ? 0 : 1);
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      EXPECT_EQ(FILES_LEFT[i], std::to_string(c.order[i]));
      EXPECT_EQ(FILES_LEFT_SIZES[i], c.sizes[c.order[i]]);
    }
  }
  std::tie(FILES_LEFT, FILES_LEFT_SIZES, LEFT) = saved;
}

TEST(Strands, ReverseComplementInPlace) {
  // U has no partner of its own; every symbol but A, C, G, T and U becomes "$", which matches nothing.
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"A", "T"}, {"ACG", "CGT"}, {"ACGTUN+x", "$$$AACGT"}, {"aCgT", "A$G$"}};
  for (const auto& [text, expected] : cases) {
    std::string s = text;
    reverse_complement(s.data(), s.size());
    EXPECT_EQ(s, expected) << text;
  }
}
