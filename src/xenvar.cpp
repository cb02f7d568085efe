#include "xenvar.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "merge.h"
#include "quorum.h"
#include "regions.h"
#include "report.h"
#include "source.h"
#include "suffix_array_tree.h"
#include "tagc.h"
#include "treecreate.h"

// ---------------------------------------------------------------- chunk geometry

uint64_t nb_of_chunks(uint32_t chunk, uint64_t length) { return (length + chunk - 1) / chunk; }

void chunks(uint64_t i, uint32_t _chunk, uint32_t _overlap, uint32_t _preamble, uint64_t* start,
            uint64_t* end, uint64_t* preamble) {
  *start = i * _chunk;
  *end = _chunk + *start + _overlap - 1;
  if (*start < _preamble) {
    // Own bytes within the file's first PREAMBLE bytes: read from the file's start.
    *preamble = *start;
    *start = 0;
  } else {
    *preamble = _preamble;
    *start -= _preamble;
  }
}

void pintTime(int32_t verbose) {
  if (verbose == 0) return;
  std::time_t now = std::time(nullptr);
  std::tm local;
  char text[32];
  localtime_r(&now, &local);
  std::printf("#Time: %s", asctime_r(&local, text));
}

// ---------------------------------------------------------------- masking

static const struct ValidTable {
  unsigned char valid[256] = {};
  ValidTable() {
    for (unsigned char c : {'A', 'C', 'G', 'T', 'U'}) valid[c] = 1;
  }
} VALID;

int32_t cleanup(char* str, uint64_t len) {
  int32_t flag = 0;
  for (uint64_t i = 0; i < len; ++i) {
    if (VALID.valid[static_cast<unsigned char>(str[i])]) continue;
    str[i] = '+';
    flag = 1;
  }
  return flag;
}

// ---------------------------------------------------------------- representative file

int32_t choose_representative() {
  int32_t k_min = 0;
  for (int32_t k = 1; k < LEFT; ++k)
    if (FILES_LEFT_SIZES[k] < FILES_LEFT_SIZES[k_min]) k_min = k;
  if (k_min == 0) return 0;
  std::swap(FILES_LEFT_SIZES[0], FILES_LEFT_SIZES[k_min]);
  std::swap(FILES_LEFT[0], FILES_LEFT[k_min]);
  return 1;
}

// ---------------------------------------------------------------- tag pass

enum class Stage { left, earlier, right };

// The reverse complement, in place: A-T, C-G, U to A; any other symbol becomes "$", which
// matches nothing in a tree.
static const struct ComplementTable {
  char to[256];
  ComplementTable() {
    for (int c = 0; c < 256; ++c) to[c] = '$';
    for (const char* pair : {"AT", "TA", "CG", "GC", "UA"}) to[static_cast<unsigned char>(pair[0])] = pair[1];
  }
} COMPLEMENT;

void reverse_complement(char* str, uint64_t len) {
  // i meets j in the middle of an odd length, which is complemented once, in place.
  for (uint64_t i = 0, j = len; i < j--; ++i) {
    char head = str[i];
    str[i] = COMPLEMENT.to[static_cast<unsigned char>(str[j])];
    str[j] = COMPLEMENT.to[static_cast<unsigned char>(head)];
  }
}

// Streams chunk c3 of a file over the tree; `len` is the representative chunk's length.
static void query_step(SUFFIX_TREE* tree, ByteSource& source, uint64_t c3, Stage stage, uint64_t len) {
  uint64_t start2, end2, preamble2, len1 = 0, offset2 = 0;
  chunks(c3, CHUNK, OVERLAP, PREAMBLE, &start2, &end2, &preamble2);
  Text str1 = loadFileRange(source, &len1, start2, end2, preamble2, CHUNK, &offset2);
  if (!str1) {
    std::fputs("Empty Chunk...\n", stderr);
    return;
  }
  const char* name = source.name.c_str();
  switch (stage) {
    case Stage::left:
      std::fprintf(stderr, "Processing ... %s.%" PRIu64 " (%" PRIu64 ");\n", name, c3, len - 1);
      break;
    case Stage::earlier:
      std::fprintf(stderr, "Processing ... %s.%" PRIu64 "  (%" PRIu64 ");\n", name, c3, len1 - 1);
      break;
    case Stage::right:
      std::fprintf(stderr, "Processing (r) ... %s.%" PRIu64 " (%" PRIu64 ");\n", name, c3, len1 - 1);
      break;
  }
  tagc(tree, len1 - 1, str1.get());
  if (!BOTH_STRANDS) return;
  // The other strand: its matches raise the same bounds as the forward ones.
  reverse_complement(str1.get(), len1 - 1);
  tagc(tree, len1 - 1, str1.get());
}

// One source for all of a file's chunks, so that a compressed file is inflated once.
static void stream_file(SUFFIX_TREE* tree, const std::string& file, uint64_t size, Stage stage,
                        uint64_t len) {
  ByteSource source = source_for(file, size);
  for (uint64_t c3 = 0; c3 < nb_of_chunks(CHUNK, size); ++c3) query_step(tree, source, c3, stage, len);
}

// Streams the chunk itself, unmasked: every path then ends at its first masked position.
// `unmasked` is a copy taken before masking, or null to read the chunk again from the file.
static void invalid_symbol_stage(SUFFIX_TREE* tree, uint64_t c1, uint64_t start1, uint64_t end1,
                                 uint64_t preamble1, Text unmasked, uint64_t len) {
  const char* rep = FILES_LEFT[0].c_str();
  uint64_t len1 = len, offset1 = 0;
  Text str1 = unmasked ? std::move(unmasked) : loadFileRange(rep, &len1, start1, end1, preamble1, CHUNK, &offset1);
  // A file cut short since its chunk was read matches nothing here, so no tag survives.
  uint64_t symbols = str1 ? len1 - 1 : 0;
  std::fprintf(stderr, "Elmininating bad symbols ... %s.%" PRIu64 " (%" PRIu64 ");\n", rep, c1,
               symbols);
  if (str1) tagc(tree, symbols, str1.get());
  tagc_walk(tree);
  tagc_accumulate(tree);
}

static Text copy_text(const char* str, uint64_t len) {
  Text copy(static_cast<char*>(allocate_large(len)));
  if (!copy) fatal(1, "Reading file %s (%lu)... Out of memory.\n", FILES_LEFT[0].c_str(),
                   static_cast<unsigned long>(len - 1));
  std::memcpy(copy.get(), str, len);
  return copy;
}

// Every other left file must hold the tag, or all but LEFT - MIN_LEFT of them: each file's
// completed marks are folded into the order statistic that the quorum needs.
static void left_stage(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint64_t len) {
  if (QUORUM.left == LeftOrder::none) return;  // the representative alone is quorum enough
  const bool smallest = QUORUM.left == LeftOrder::smallest;
  const uint32_t used = QUORUM.left_k - 1;
  // The smallest start as the node's own bound, the largest as 0.
  quorum_fill(tree, side, used, smallest);
  for (int32_t c2 = 1; c2 < LEFT; ++c2) {
    stream_file(tree, FILES_LEFT[c2], FILES_LEFT_SIZES[c2], Stage::left, len);
    // The largest mark alone is that of all the files together: one walk after the last.
    if (!smallest && used == 0) continue;
    tagc_walk(tree);
    if (smallest) quorum_keep_smallest(tree, side, used);
    else quorum_keep_largest(tree, side, used);
  }
  if (smallest) return;
  if (used == 0) tagc_walk(tree);
  tagc_accumulate(tree);
}

// The earlier chunks must not hold the tag, nor more than MAX_RIGHT right files: the excluding
// bound ends in TMP, completed.
static void excluding_stage(SUFFIX_TREE* tree, SIDE_SLOTS& side, uint64_t c1, uint64_t len) {
  ByteSource earlier = source_for(FILES_LEFT[0], FILES_LEFT_SIZES[0]);
  for (uint64_t c3 = 0; c3 < c1; ++c3) query_step(tree, earlier, c3, Stage::earlier, len);
  const uint32_t tolerated = QUORUM.right_k - 1;
  if (QUORUM.right_streamed && tolerated == 0) {
    // None tolerated: one group with the earlier chunks, walked once.
    for (int32_t c2 = 0; c2 < RIGHT; ++c2)
      stream_file(tree, FILES_RIGHT[c2], FILES_RIGHT_SIZES[c2], Stage::right, len);
  }
  tagc_walk(tree);
  if (!QUORUM.right_streamed || tolerated == 0) return;
  // The earlier chunks count as tolerated + 1 files, so that they stay absolute.
  quorum_fill(tree, side, tolerated, false);
  for (int32_t c2 = 0; c2 < RIGHT; ++c2) {
    stream_file(tree, FILES_RIGHT[c2], FILES_RIGHT_SIZES[c2], Stage::right, len);
    tagc_walk(tree);
    quorum_keep_largest(tree, side, tolerated);
  }
}

// The side slots live while the stages fold into them.
static void streaming_stages(SUFFIX_TREE* tree, uint64_t c1, uint64_t len) {
  SIDE_SLOTS side = quorum_side(tree, QUORUM.slots);
  left_stage(tree, side, len);
  excluding_stage(tree, side, c1, len);
}

void tag_pass(uint64_t c1, char* str, uint64_t len, uint64_t start1, uint64_t end1,
              uint64_t preamble1, uint64_t offset, bool rep_compressed) {
  const char* rep = FILES_LEFT[0].c_str();
  int32_t flagN = 0;
  // Reading a compressed chunk again would inflate the file from its start: keep a copy.
  Text unmasked = DNA && rep_compressed ? copy_text(str, len) : nullptr;
  if (DNA) flagN = cleanup(str, len - 1);
  if (flagN == 0) unmasked.reset();
  // "$" ends the tree's text; inside it, some suffixes would have no leaf.
  if (std::memchr(str, '$', len - 1) != nullptr) fatal(1, "Reserved symbol '$' in file %s.\n", rep);

  std::fprintf(stderr, "Constructing tree ... %s.%" PRIu64 ";\n", rep, c1);
  TreePtr tree(ST_CreateTree(reinterpret_cast<const unsigned char*>(str), len - 1));
  std::fputs("Done.\n", stderr);
  tagc_prepare_walks(tree.get(), true);
  uint32_t NODES = tree->NODE_INDEX - 1;

  if (flagN > 0) invalid_symbol_stage(tree.get(), c1, start1, end1, preamble1, std::move(unmasked), len);
  streaming_stages(tree.get(), c1, len);
  report_bounds(tree.get(), NODES);
  if (FORMAT == Format::tags) report(tree.get(), NODES, str, offset);
  else regions_chunk(tree.get(), NODES, str, len - 1);
}

// ---------------------------------------------------------------- the run

static void print_verbose_header(int32_t swapped) {
  if (!VERBOSE) return;
  std::fputs(swapped ? "#Representative file (set): " : "#Representative file: ", stdout);
  std::printf("%s\n#Node: %d\n", FILES_LEFT[0].c_str(), NODE_OUTPUT);
}

// Symbols of the representative sequence before chunk `first`: a read and filter of the
// earlier chunks, no tree, so that a run of later chunks prints the whole run's positions.
uint64_t offset_before(ByteSource& rep, uint64_t first, bool regions) {
  uint64_t offset = 0;
  for (uint64_t c = 0; c < first; ++c) {
    uint64_t start, end, preamble, len = 0, in_chunk = 0;
    chunks(c, CHUNK, OVERLAP, PREAMBLE, &start, &end, &preamble);
    std::vector<HeaderEvent> headers;
    HEADER_EVENTS = regions ? &headers : nullptr;
    Text str = loadFileRange(rep, &len, start, end, preamble, CHUNK, &in_chunk);
    HEADER_EVENTS = nullptr;
    if (!str || len <= 1) continue;  // as the chunk loop counts: empty chunks add nothing
    // Records opened in these chunks name the regions of the later ones.
    if (regions) regions_chunk_start(offset, offset + in_chunk, headers);
    offset += in_chunk;
  }
  return offset;
}

// A --chunks range must name chunks that exist, or the jobs of a workflow would silently miss some.
static void check_chunk_range(uint64_t count) {
  if (CHUNKS_LAST == UINT64_MAX || CHUNKS_LAST < count) return;
  if (count == 0)
    fatal(1, "Chunk range %" PRIu64 "-%" PRIu64 " lies past the end: %s has no chunk.\n", CHUNKS_FIRST,
          CHUNKS_LAST, FILES_LEFT[0].c_str());
  fatal(1, "Chunk range %" PRIu64 "-%" PRIu64 " lies past the end: %s has %" PRIu64 " chunk%s, 0-%" PRIu64 ".\n",
        CHUNKS_FIRST, CHUNKS_LAST, FILES_LEFT[0].c_str(), count, count == 1 ? "" : "s", count - 1);
}

// Huge pages spare the walks most of their TLB misses, but where memory is backed lazily
// (a virtual machine) a fresh 2 MiB page costs far more to fault in than its 4 KiB pages
// do, about a second for a 5 Mbp tree: worth it only where the walks outweigh the trees,
// when the files streamed through all chunks hold many times a chunk.
static constexpr uint64_t HUGE_PAGES_FROM = 16;

static void choose_huge_pages(uint64_t count) {
  uint64_t streamed = 0;
  for (int32_t k = 1; k < LEFT; ++k) streamed += FILES_LEFT_SIZES[k];
  for (int32_t k = 0; k < RIGHT; ++k) streamed += FILES_RIGHT_SIZES[k];
  if (BOTH_STRANDS) streamed *= 2;
  const uint64_t chunk = std::min<uint64_t>(CHUNK, FILES_LEFT_SIZES[0]);
  HUGE_PAGES = static_cast<double>(streamed) * static_cast<double>(count) >=
               static_cast<double>(HUGE_PAGES_FROM) * static_cast<double>(chunk);
}

void run_chunks() {
  if (HISTOGRAM >= 1) hist_init();
  int32_t swapped = choose_representative();
  const uint64_t count = nb_of_chunks(CHUNK, FILES_LEFT_SIZES[0]);
  choose_huge_pages(count);
  if (COUNT_CHUNKS) {
    std::printf("%" PRIu64 "\n", count);
    out_finish_and_exit();
  }
  check_chunk_range(count);
  print_verbose_header(swapped);

  // One source for the whole loop, so that a compressed file is inflated once.
  ByteSource rep = source_for(FILES_LEFT[0], FILES_LEFT_SIZES[0]);
  const bool regions = FORMAT != Format::tags && !OUTPUT_FILE;
  if (regions) regions_begin(FILES_LEFT[0].c_str());
  uint64_t offset = OUTPUT_FILE || CHUNKS_FIRST == 0 ? 0 : offset_before(rep, CHUNKS_FIRST, regions);
  for (uint64_t c1 = CHUNKS_FIRST; c1 < nb_of_chunks(CHUNK, FILES_LEFT_SIZES[0]) && c1 <= CHUNKS_LAST;
       ++c1) {
    pintTime(VERBOSE);
    uint64_t start1, end1, preamble1, len = 0, offset1 = 0;
    chunks(c1, CHUNK, OVERLAP, PREAMBLE, &start1, &end1, &preamble1);
    std::vector<HeaderEvent> headers;  // records begin at these, for the regions
    HEADER_EVENTS = regions ? &headers : nullptr;
    Text str = loadFileRange(rep, &len, start1, end1, preamble1, CHUNK, &offset1);
    HEADER_EVENTS = nullptr;
    // A chunk without a symbol has nothing to build a tree over.
    if (!str || len <= 1) {
      std::fputs("Empty Chunk...\n", stderr);
      continue;
    }
    if (OUTPUT_FILE) {
      out_write(str.get(), offset1);
      continue;
    }
    if (regions) regions_chunk_start(offset, offset + offset1, headers);
    tag_pass(c1, str.get(), len, start1, end1, preamble1, offset, source_is_compressed(rep));
    offset += offset1;
    out_check();
  }
  if (regions) regions_finish();
  pintTime(VERBOSE);
  if (HISTOGRAM >= 1) hist_print();
}

void run(int argc, char** argv) {
  createtree(argc, argv);
  out_init();
  if (MERGE) merge_outputs(MERGE_FILES);
  run_chunks();
  out_finish_and_exit();
}
