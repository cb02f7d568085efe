// Memory sizing, option numbers, list splitting and the chunk reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "treecreate.h"

TEST(Sizing, HeapAndChunkArithmetic) {
  // Seven tenths taken from below: a multiple of 10 gives one less than seven tenths.
  const uint32_t heap[][2] = {{991, 693}, {990, 692}, {800, 559}, {0, 0}, {1, 0},
                              {4294967295u, 3006477106u}};
  for (const auto& [free_mem, expected] : heap) EXPECT_EQ(heap_from_free(free_mem), expected) << free_mem;

  struct { uint64_t largest; uint32_t heap, chunk; } chunk[] = {
      {500, 693, 8}, {7, 559, 6}, {10, 8000, 10}, {101, 8000, 100},
      {53687092, 1000, 12},  // 53687092 * 80 is 64 modulo 2^32
      {5000000000ull, 4294967295u, 53687091},
      {0, 8000, 1}, {500, 79, 1},  // never below one symbol
  };
  for (const auto& c : chunk)
    EXPECT_EQ(chunk_from_heap(c.largest, c.heap, 40), c.chunk) << c.largest << " / " << c.heap;

  EXPECT_EQ(clamp_to_u32(4294967295ull), 4294967295u);
  EXPECT_EQ(clamp_to_u32(4294967296ull), 4294967295u);  // not its low 32 bits
  EXPECT_EQ(meminfo_available("MemTotal: 16384000 kB\nMemFree: 100 kB\nMemAvailable: 8388608 kB\n"),
            8589934592ull);
  EXPECT_EQ(meminfo_available("MemTotal: 1000 kB\nMemFree: 500 kB\n"), 0u);
}

TEST(Options, NumbersAndLists) {
  struct { const char* text; uint32_t expected; } numbers[] = {
      {"123abc", 123}, {"abc", 77}, {"", 77}, {"0", 0}, {" +7", 7}, {"-1", 4294967295u},
      {"4294967295", 4294967295u}, {"4294967296", 4294967295u}, {"99999999999", 4294967295u}};
  for (const auto& c : numbers) {
    uint32_t value = 77;  // left alone when there are no digits
    parse_u32(c.text, &value);
    EXPECT_EQ(value, c.expected) << '"' << c.text << '"';
  }
  struct { const char* list; std::vector<std::string> names; } lists[] = {
      {"a", {"a"}}, {"a,,b", {"a", "", "b"}}, {"a,b,", {"a", "b", ""}}, {"", {""}},
      {" a , b", {" a ", " b"}}};
  for (const auto& c : lists) {
    int32_t cnt = -1;
    EXPECT_EQ(split(c.list, &cnt), c.names) << c.list;
    EXPECT_EQ(cnt, static_cast<int32_t>(c.names.size())) << c.list;
  }
}

TEST(Reader, LoadFileRange) {
  const std::string hdr = "AAAA\n>hdrlong\nCC\n";  // '>' at 5, its line feed at 13
  // `own`: the in-chunk count. A null text: an empty range, length 0, the in-chunk count untouched.
  struct { std::string file; uint64_t start, preamble; uint32_t chunk; const char* text; uint64_t own; } cases[] = {
      {">h1\r\nACGT\r\nAC\r\n>h2\r\nGGTT\r\n", 0, 0, 1000, "ACGTACNGGTT", 11},
      {"ACGT", 0, 0, 1000, "ACGT", 4},  // the last byte counts
      {"A", 0, 0, 1000, "A", 1},
      {"\n", 0, 0, 1000, "", 0},
      {std::string("ac gt\tn\f\xC3\0C\n", 12), 0, 0, 1000, "acgtn\f\xC3" "C", 8},  // NUL is no symbol
      {"ACGTACGTAC\n", 3, 3, 2, "GTAC", 2},        // preamble scanned, not kept; then 2 own bytes
      {hdr, 1, 5, 1000, "CC", 2},                  // header from the preamble into own bytes
      {hdr, 1, 4, 1000, "NCC", 3},                 // header just after the preamble
      {hdr, 7, 0, 1000, "drlongCC", 8},            // its '>' lies before the range
      {"ACGT\n>h\nGG\n", 0, 0, 6, "ACGTNGG", 5},   // its N counts: the '>' is in own bytes
      {"ACGT\n", 5, 0, 1000, nullptr, 0},
      {"A", 1, 0, 1000, nullptr, 0},
  };
  const std::string path = testing::TempDir() + "xenvar_reader_" + std::to_string(getpid());
  const int32_t saved_dna = DNA;
  DNA = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.file) + " from " + std::to_string(c.start));
    std::ofstream(path, std::ios::binary) << c.file;
    uint64_t length = 12345, offset = 12345;
    Text text = loadFileRange(path.c_str(), &length, c.start, 100000, c.preamble, c.chunk, &offset);
    EXPECT_EQ(text != nullptr, c.text != nullptr);
    EXPECT_EQ(text ? std::string(text.get()) : "", c.text ? c.text : "");
    EXPECT_EQ(length, c.text ? std::string(c.text).size() + 1 : 0);
    EXPECT_EQ(offset, c.text ? c.own : 12345);
  }
  DNA = saved_dna;
  std::remove(path.c_str());
}

TEST(Sizing, QuorumValuesPlanAndChunkBudget) {
  // Percentages exactly, decimals included: no rounding of 33.3 % of 3 files up to 1, nor of 95 % of 100 to 96.
  struct { const char* text; int32_t files; bool left; int64_t count; } counts[] = {
      {"95%", 101, true, 96}, {"95%", 100, true, 95}, {"0%", 7, true, 1}, {"100%", 0, true, 1},
      {"33.3%", 3, false, 0}, {"33.4%", 3, false, 1}, {"33.3%", 3, true, 1}, {"2.5%", 40, false, 1},
      {"0.000000001%", 2000000000, false, 0}, {"7", 3, true, 7}, {"99999999999", 3, false, 4294967295}};
  for (const auto& c : counts) {
    int64_t count = -1;
    EXPECT_EQ(parse_file_count(c.text, c.files, c.left, &count), FileCount::ok) << c.text;
    EXPECT_EQ(count, c.count) << c.text << " of " << c.files;
  }
  // The fewer slots of the two ways to keep the left quorum; the right stage shares them.
  struct { int32_t left, min_left, right, max_right; LeftOrder order; uint32_t left_k, right_k, slots; bool streamed; } plans[] = {
      {101, 101, 40, 0, LeftOrder::smallest, 1, 1, 0, true},  // as without the options
      {101, 96, 40, 1, LeftOrder::smallest, 6, 2, 5, true},   // 5 misses beside MAX
      {101, 3, 40, 0, LeftOrder::largest, 2, 1, 1, true},     // 98 misses, or the 2 largest
      {5, 3, 2, 1, LeftOrder::largest, 2, 2, 1, true},         // 2 misses against 2 largest: the largest
      {5, 4, 3, 2, LeftOrder::smallest, 2, 3, 2, true},
      {101, 1, 40, 40, LeftOrder::none, 0, 1, 0, false},     // neither condition: nothing streamed
  };
  for (const auto& p : plans) {
    const QUORUM_PLAN plan = quorum_plan(p.left, p.min_left, p.right, p.max_right);
    EXPECT_TRUE(plan.left == p.order && plan.left_k == p.left_k && plan.right_k == p.right_k && plan.slots == p.slots &&
                plan.right_streamed == p.streamed)
        << p.left << " " << p.min_left << " " << p.right << " " << p.max_right;
  }
  EXPECT_EQ(chunk_from_heap(1000000000, 8000, 40 + 4 * 5), 66u);  // 8000 / (2 * 60)
}
