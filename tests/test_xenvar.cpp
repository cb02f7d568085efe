// Chunk geometry and the choice of the representative file.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "treecreate.h"
#include "xenvar.h"
#include "oracle.h"

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

// ---------------------------------------------------------------- runs of some chunks

namespace {

const std::regex kStamp("#Time: \\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");

// A -v output cut at its time stamps: the header, what each chunk printed, and the histogram.
struct VerboseParts { std::string header; std::vector<std::string> chunks; std::string histogram; };

VerboseParts cut_at_stamps(const std::string& out) {
  VerboseParts parts;
  size_t header_end = out.find('\n', out.find('\n') + 1) + 1;
  parts.header = out.substr(0, header_end);
  std::vector<std::pair<size_t, size_t>> stamps;  // [begin, end) of each stamp
  for (auto it = std::sregex_iterator(out.begin() + header_end, out.end(), kStamp); it != std::sregex_iterator(); ++it)
    stamps.emplace_back(header_end + it->position(), header_end + it->position() + it->length());
  for (size_t i = 0; i + 1 < stamps.size(); ++i)
    parts.chunks.push_back(out.substr(stamps[i].second, stamps[i + 1].first - stamps[i].second));
  if (!stamps.empty()) parts.histogram = out.substr(stamps.back().second);
  return parts;
}

// The histogram lines that the tag lines of `text` make: each line holds lengths `low` to `high`.
std::string histogram_of(const std::string& text, bool compress) {
  std::vector<uint64_t> tags(1, 0);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    uint64_t low = 0, high = 0, p = 0, n = 0, a = 0, b = 0;
    int label = 0;
    if (compress) {
      if (std::sscanf(line.c_str(), "%lu %lu %lu", &p, &low, &n) != 3) continue;  // an offset line
      high = low + n - 1;
    } else {
      if (std::sscanf(line.c_str(), "%d: (%lu, %lu, %lu)", &label, &p, &a, &b) != 4) continue;
      low = a - p + 1, high = b - p + 1;
    }
    if (tags.size() <= high) tags.resize(high + 1, 0);
    for (uint64_t k = low; k <= high; ++k) ++tags[k];
  }
  std::string out;
  for (size_t k = 0; k < tags.size(); ++k) out.append(">").append(std::to_string(k) + " " + std::to_string(tags[k]) + "\n");
  return out;
}

std::string unstamped(const std::string& text) { return std::regex_replace(text, kStamp, "#Time: @\n"); }

}  // namespace

// Each range prints the whole run's header, the chunks' own lines with the whole run's offsets,
// their histogram and their stderr; a partition's outputs merge into the whole run's.
TEST(ChunkRange, EachRangePrintsWhatTheWholeRunPrintsForItsChunks) {
#ifdef __SANITIZE_ADDRESS__
  const int cases = 20;
#else
  const int cases = 60;
#endif
  std::mt19937 rng(977);
  const cli::Dir dir;
  int multi_chunk = 0;
  for (int i = 0; i < cases && !testing::Test::HasFailure(); ++i) {
    const oracle::Case c = oracle::random_case(rng);
    for (size_t f = 0; f < c.left.size(); ++f) dir.write('l' + std::to_string(f), c.left[f]);
    for (size_t f = 0; f < c.right.size(); ++f) dir.write('r' + std::to_string(f), c.right[f]);
    const std::string modes[] = {"-vh", "-vhC", "-vhp", "-vhCp", "-vhf"};
    const std::string mode = modes[i % 5];
    std::vector<std::string> args = oracle::args_of(c, mode);
    SCOPED_TRACE("case " + std::to_string(i) + ": " + testing::PrintToString(args) + " left " +
                 testing::PrintToString(c.left) + " right " + testing::PrintToString(c.right));
    const cli::Result whole = dir.run(args);
    if (whole.status != 0) continue;  // a reserved symbol: nothing to cut
    args.push_back("--count-chunks");
    const cli::Result counted = dir.run(args);
    args.pop_back();
    const VerboseParts parts = cut_at_stamps(whole.out);
    const uint64_t count = parts.chunks.size();
    ASSERT_EQ(counted.out, std::to_string(count) + "\n");
    ASSERT_EQ(counted.status, 0);
    // Progress lines name chunks 0 to count - 1 only.
    static const std::regex progress("Constructing tree \\.\\.\\. l\\d\\.(\\d+);");
    for (auto it = std::sregex_iterator(whole.err.begin(), whole.err.end(), progress);
         it != std::sregex_iterator(); ++it)
      EXPECT_LT(std::stoul((*it)[1]), count);
    multi_chunk += count > 2;
    if (count == 0) continue;

    // First, last, whole and a random range.
    std::vector<std::pair<uint64_t, uint64_t>> ranges = {{0, 0}, {count - 1, count - 1}, {0, count - 1}};
    const uint64_t a = rng() % count, b = a + rng() % (count - a);
    ranges.emplace_back(a, b);
    for (auto [first, last] : ranges) {
      std::vector<std::string> job = args;
      job.push_back("--chunks=" + std::to_string(first) + "-" + std::to_string(last));
      const cli::Result r = dir.run(job);
      std::string expected = parts.header, lines;
      for (uint64_t k = first; k <= last; ++k) expected += "#Time: @\n" + parts.chunks[k], lines += parts.chunks[k];
      expected += "#Time: @\n" + histogram_of(mode == "-vhf" ? "" : lines, mode.find('C') != std::string::npos);
      EXPECT_EQ(unstamped(r.out), unstamped(expected)) << "chunks " << first << "-" << last;
      EXPECT_EQ(r.status, 0);
    }

    // A partition into jobs: their stderr is the whole run's, their merged stdout too.
    std::vector<std::string> merge = {mode, "--merge"};
    std::string err;
    for (uint64_t first = 0; first < count;) {
      const uint64_t last = std::min(count - 1, first + rng() % 3);
      std::vector<std::string> job = args;
      job.insert(job.end(), {"--chunks", std::to_string(first) + "-" + std::to_string(last)});
      const std::string name = "job" + std::to_string(first);
      err += dir.run(job, name).err;
      merge.push_back(name);
      first = last + 1;
    }
    EXPECT_EQ(err, whole.err);
    const cli::Result merged = dir.run(merge);
    EXPECT_EQ(unstamped(merged.out), unstamped(whole.out));
    EXPECT_EQ(merged.status, 0);
  }
  EXPECT_GT(multi_chunk, cases / 4);
}

TEST(ChunkRange, RangesThatNameNoChunksAreRefused) {
  const cli::Dir dir({{"a", "ACGTACGTAC\n"}, {"b", "ACGTACGTACGT\n"}});  // 11 bytes: chunks 0-2 of 4 bytes
  const std::vector<std::string> files = {"-L", "a,b", "-c", "4"};
  struct { std::string range, err; } cases[] = {
      {"3-3", "Chunk range 3-3 lies past the end: a has 3 chunks, 0-2.\n"},
      {"2-5", "Chunk range 2-5 lies past the end: a has 3 chunks, 0-2.\n"},
      {"2-1", "Bad chunk range '2-1': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {"1", "Bad chunk range '1': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {"-1-2", "Bad chunk range '-1-2': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {"1-2x", "Bad chunk range '1-2x': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {" 1-2", "Bad chunk range ' 1-2': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {"1-+2", "Bad chunk range '1-+2': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {"", "Bad chunk range '': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n"},
      {"0-99999999999999999999", "Bad chunk range '0-99999999999999999999': give FIRST-LAST, chunk numbers from 0, "
                                 "FIRST <= LAST.\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = files;
    args.insert(args.end(), {"-v", "--chunks", c.range});
    const cli::Result r = dir.run(args);
    EXPECT_EQ(r.out, "") << c.range;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
  }
  const cli::Dir empty({{"a", ""}, {"b", "ACGT"}});
  const cli::Result r = empty.run({"-L", "a,b", "-c", "4", "--chunks", "0-0"});
  EXPECT_EQ(r.err, "Chunk range 0-0 lies past the end: a has no chunk.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(empty.run({"-L", "a,b", "-c", "4", "--count-chunks"}).out, "0\n");
  EXPECT_EQ(dir.run({"-L", "a,b", "-c", "11", "--chunks", "0-1"}).err,
            "Chunk range 0-1 lies past the end: a has 1 chunk, 0-0.\n");
  EXPECT_EQ(dir.run({"-L", "a,b", "-c", "4", "-v", "-h", "--count-chunks"}).out, "3\n");
}

TEST(ChunkRange, OffsetCountsTheEarlierChunksSymbols) {
  // Headers, blanks and invalid symbols in the earlier chunks: positions go on as in the whole run.
  const std::string rep = ">r1\nAC GT\nAC\n>r2\nNNGGTACCA\n";
  const cli::Dir dir({{"a", rep}, {"b", rep + "T"}});
  const cli::Result whole = dir.run({"-L", "a,b", "-c", "6", "-o", "5", "-r", "3"});
  std::string joined;
  for (int k = 0; k < 5; ++k) joined += dir.run({"-L", "a,b", "-c", "6", "-o", "5", "-r", "3", "--chunks", std::to_string(k) + "-" + std::to_string(k)}).out;
  EXPECT_EQ(joined, whole.out);
  EXPECT_NE(whole.out.find("0: (15,"), std::string::npos) << whole.out;
}
