#include "report.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "threads.h"
#include "treecreate.h"

std::vector<uint64_t> hist_min;
std::vector<uint64_t> hist_max;
uint32_t hmax = 0;
uint64_t htmp = 0;

// ---------------------------------------------------------------- standard output

static char OUT_BUFFER[1 << 20];

void out_init() { std::setvbuf(stdout, OUT_BUFFER, _IOFBF, sizeof OUT_BUFFER); }

void out_write(const char* data, uint64_t size) { std::fwrite(data, 1, size, stdout); }

void out_check() {
  if (std::ferror(stdout)) fatal(1, "Write error on standard output.\n");
}

void out_finish_and_exit() {
  if (std::fflush(stdout) != 0) fatal(1, "Write error on standard output.\n");
  out_check();
  std::exit(0);
}

// ---------------------------------------------------------------- histogram

void hist_init() {
  // Counters grow with the longest tag met, so no overlap setting can overflow their size.
  hist_min.assign(2, 0);
  hist_max.assign(2, 0);
  hmax = 0;
  htmp = 0;
}

static bool reported(const NODE& n) { return n.TMP < n.MAX && n.path_position != 0; }

void hist_count(const SUFFIX_TREE* tree, uint32_t NODES) {
  for (uint32_t i = 1; i < NODES; ++i) {
    const NODE& n = tree->STACK[i];
    if (!reported(n)) continue;
    if (n.MAX >= hist_max.size()) {
      hist_min.resize(uint64_t{n.MAX} + 1, 0);
      hist_max.resize(uint64_t{n.MAX} + 1, 0);
    }
    ++hist_min[n.TMP + 1];
    ++hist_max[n.MAX];
    if (hmax < n.MAX) hmax = n.MAX;
  }
}

void hist_print() {
  // The running count at k is the number of tags of length k.
  for (uint64_t k = 0; k <= hmax; ++k) {
    htmp += hist_min[k];
    std::printf(">%" PRIu64 " %" PRIu64 "\n", k, htmp);
    htmp -= hist_max[k];
  }
}

// ---------------------------------------------------------------- tag lines

// Nodes converted per item of the parallel loop.
static constexpr uint32_t CONVERT_RANGE = 1 << 16;

struct Conversion {
  SUFFIX_TREE* tree;
  uint32_t NODES;
};

static void convert_range(void* data, uint64_t item, uint32_t) {
  const Conversion& job = *static_cast<const Conversion*>(data);
  uint64_t first = item * CONVERT_RANGE, end = first + CONVERT_RANGE;
  if (first == 0) first = 1;
  if (end > job.NODES) end = job.NODES;
  const uint32_t below_shortest = MIN_LENGTH - 1;
  for (uint64_t i = first; i < end; ++i) {
    NODE& n = job.tree->STACK[i];
    uint32_t father_depth = n.edge_label_start - n.path_position;
    n.TMP += father_depth;
    n.MAX += father_depth;
    if (n.MAX >= OVERLAP) n.MAX = OVERLAP - 1;
    if (n.MAX > MAX_LENGTH) n.MAX = MAX_LENGTH;
    if (n.TMP < below_shortest) n.TMP = below_shortest;
  }
}

// Edge offsets become string depths; no tag is longer than OVERLAP - 1 or MAX_LENGTH, and
// none shorter than MIN_LENGTH: lowering MAX and raising TMP drop those lengths from every
// later step.
static void convert_and_cap(SUFFIX_TREE* tree, uint32_t NODES) {
  Conversion job{tree, NODES};
  parallel_for(THREADS, (uint64_t{NODES} + CONVERT_RANGE - 1) / CONVERT_RANGE, convert_range, &job);
}

// Tag lines are formatted into one block and written as it fills: a formatted print per
// line would cost more than finding the tags.
struct LineBlock {
  std::vector<char> bytes = std::vector<char>(1 << 16);
  size_t used = 0;
};

static void flush_lines(LineBlock& block) {
  out_write(block.bytes.data(), block.used);
  block.used = 0;
}

// Room for `size` more bytes; the block grows for a line longer than itself.
static char* line_room(LineBlock& block, size_t size) {
  if (block.used + size > block.bytes.size()) flush_lines(block);
  if (size > block.bytes.size()) block.bytes.resize(size);
  return block.bytes.data() + block.used;
}

template <typename Number>
static char* put_number(char* at, Number value) {
  return std::to_chars(at, at + 24, value).ptr;
}

static void print_tag_line(LineBlock& block, const NODE& n, const char* str, uint64_t offset) {
  const uint64_t p = n.path_position;
  const size_t spelled = SPELL ? size_t{n.MAX} + 1 : 0;
  char* at = line_room(block, 100 + spelled);
  char* const begin = at;
  if (COMPRESS) {
    at = put_number(at, p);
    *at++ = ' ';
    at = put_number(at, n.TMP + 1);
    *at++ = ' ';
    at = put_number(at, n.MAX - n.TMP);
  } else {
    at = put_number(at, NODE_OUTPUT);
    at = std::copy_n(": (", 3, at);
    at = put_number(at, offset + p);
    at = std::copy_n(", ", 2, at);
    at = put_number(at, offset + p + n.TMP);
    at = std::copy_n(", ", 2, at);
    at = put_number(at, offset + p + n.MAX - 1);
    *at++ = ')';
  }
  if (SPELL) {
    *at++ = ' ';
    at = std::copy_n(str + p - 1, n.MAX, at);
  }
  *at++ = '\n';
  block.used += static_cast<size_t>(at - begin);
}

void report_bounds(SUFFIX_TREE* tree, uint32_t NODES) {
  convert_and_cap(tree, NODES);
  if (HISTOGRAM >= 1) hist_count(tree, NODES);
}

void report(SUFFIX_TREE* tree, uint32_t NODES, const char* str, uint64_t offset) {
  if (HISTOGRAM == 2) return;
  if (COMPRESS) std::printf("%" PRIu64 "\n", offset);
  LineBlock block;
  for (uint32_t i = 1; i < NODES; ++i) {
    const NODE& n = tree->STACK[i];
    if (reported(n)) print_tag_line(block, n, str, offset);
  }
  flush_lines(block);
}
