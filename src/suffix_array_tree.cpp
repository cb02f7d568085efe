// Ukkonen's construction spends its time on one dependent load after another. Here the same
// tree comes from a suffix array (libdivsufsort) and its LCP array, in two passes over the
// LCP intervals whose loads are known ahead and can be prefetched. What makes the two pools
// equal:
//  - Ukkonen creates the leaves in the order of their suffix start j, and at most one
//    internal node per leaf, just before it. Leaf j hangs at depth d_j, the longest common
//    prefix of suffix j with any earlier suffix; an internal node is created when its second
//    son (by smallest suffix start) appears, that is at time s = the second smallest of its
//    sons' smallest starts. So leaf j is node j + C(j), and the node created at s is node
//    s + C(s) - 1, where C(j) counts the creation times up to j.
//  - A split puts the new node in the cut node's place, the cut node first and the new leaf
//    second under it, and later sons go last: sons are ordered by their smallest start.
//  - An internal node's path_position is the smallest start below it, its edge starts at
//    path_position plus its father's depth, and ends at path_position plus its depth less 1.
//    A leaf keeps the edge end it was created with: j + d_j, the end of the phase that
//    created it.
//  - The suffix link of the node created at s, of depth D, is the node of depth D - 1 above
//    leaf s + 1: meeting that leaf, the pass leaves a request on the open intervals above
//    it, settled when that node closes.
#include "suffix_array_tree.h"

#include "threads.h"
#include "treecreate.h"

#include <divsufsort.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

// ---------------------------------------------------------------- suffix array and LCP

// Sorts the suffixes of positions 1..length ("$" included) into `sa`, as 0-based starts.
static void sort_suffixes(const SUFFIX_TREE* tree, uint32_t* sa) {
  static_assert(sizeof(saidx_t) == sizeof(uint32_t), "the 32-bit libdivsufsort");
  // MAX_TREE_TEXT keeps length below 2^31, the reach of saidx_t.
  if (divsufsort(tree->tree_string.get() + 1, reinterpret_cast<saidx_t*>(sa),
                 static_cast<saidx_t>(tree->length)) != 0)
    tree_out_of_memory();
}

// What the passes read of suffix j, side by side in words 2j and 2j + 1: both are gathered
// in suffix array order, and one cache line then serves suffixes j - 1 and j at once. They
// live in the front of the node pool: 8 bytes a suffix, below any leaf record (leaf j is
// node j or later, 40 bytes a node), so no pages beyond the pool's own are touched. Words,
// not a record, so that the compiler sees them as what the node fields are.
static uint32_t& lcp(uint32_t* facts, uint32_t j) { return facts[2 * uint64_t{j}]; }
// d_j: the longest common prefix of suffix j with any earlier suffix.
static uint32_t& insertion_depth(uint32_t* facts, uint32_t j) { return facts[2 * uint64_t{j} + 1]; }

// Gathers in suffix array or text order wait on memory: ask for them this many suffixes
// ahead.
constexpr uint32_t AHEAD = 16;

// Suffixes per item of the parallel loops over the suffix array or the text.
constexpr uint64_t LCP_RANGE = uint64_t{1} << 18;

struct LCP_JOB {
  const unsigned char* ts;
  const uint32_t* sa;
  uint32_t* facts;
  uint32_t n;
};

// The "previous suffix" of each suffix in one range of the suffix array, stored where its
// LCP will go.
static void previous_suffixes(void* data, uint64_t item, uint32_t) {
  const LCP_JOB& job = *static_cast<const LCP_JOB*>(data);
  const uint64_t end = std::min<uint64_t>(job.n, (item + 1) * LCP_RANGE);
  for (uint64_t i = std::max<uint64_t>(1, item * LCP_RANGE); i < end; ++i)
    lcp(job.facts, job.sa[i] + 1) = job.sa[i - 1] + 1;
}

// Kasai's bound over one range of text positions. A range starts its bound afresh at 0,
// which is always a valid bound: ranges are independent, at the cost of one longer
// comparison at each start.
static void prefixes_in_text_order(void* data, uint64_t item, uint32_t) {
  const LCP_JOB& job = *static_cast<const LCP_JOB*>(data);
  const unsigned char* ts = job.ts;
  const uint64_t end = std::min<uint64_t>(uint64_t{job.n} + 1, (item + 1) * LCP_RANGE);
  uint32_t l = 0;
  for (uint64_t j = std::max<uint64_t>(1, item * LCP_RANGE); j < end; ++j) {
    // The previous suffix of a later position is known: ask for its symbols where the
    // comparison will start, as the bound drops by at most one a position.
    if (j + AHEAD < end)
      __builtin_prefetch(&ts[lcp(job.facts, static_cast<uint32_t>(j + AHEAD)) + (l > AHEAD ? l - AHEAD : 0)]);
    const uint32_t k = lcp(job.facts, static_cast<uint32_t>(j));
    if (k == 0) {
      l = 0;
    } else {
      // Two suffixes differ at the latest where the shorter one reaches the "$" that ends
      // the text; stopping at any "$" keeps a text that holds one inside its bounds.
      while (ts[j + l] == ts[k + l] && ts[j + l] != '$') ++l;
    }
    lcp(job.facts, static_cast<uint32_t>(j)) = l;
    if (l > 0) --l;
  }
}

// lcp(j): the longest common prefix of suffix j with the suffix just before it in `sa`
// (0 for the first). Kasai's bound in text order, through the "previous suffix" of each
// suffix, which the result overwrites in place.
static uint32_t* longest_common_prefixes(SUFFIX_TREE* tree, const uint32_t* sa) {
  const uint32_t n = tree->length;
  uint32_t* facts = reinterpret_cast<uint32_t*>(tree->STACK.get());
  lcp(facts, sa[0] + 1) = 0;
  LCP_JOB job{tree->tree_string.get(), sa, facts, n};
  const uint64_t items = (uint64_t{n} + LCP_RANGE) / LCP_RANGE;
  parallel_for(THREADS, items, previous_suffixes, &job);
  parallel_for(THREADS, items, prefixes_in_text_order, &job);
  return facts;
}

// ---------------------------------------------------------------- node numbers

constexpr uint32_t NONE = 0xFFFFFFFFu;

// Which leaves have an internal node created just before them, and how many up to each.
// A word's bits and the count before it share a cache line: numbering a node reads both,
// at random places.
struct CREATION_WORD {
  uint64_t bits;
  uint32_t before;  // set bits in the words before this one
  uint32_t spare;
};
struct CREATION_TIMES {
  std::vector<CREATION_WORD> words;
};

static void count_creations(CREATION_TIMES* times) {
  uint32_t total = 0;
  for (CREATION_WORD& word : times->words) {
    word.before = total;
    total += static_cast<uint32_t>(std::popcount(word.bits));
  }
}

static bool created_at(const CREATION_TIMES& times, uint32_t j) {
  return (times.words[j >> 6].bits >> (j & 63)) & 1;
}

// Internal nodes created at times 1..j.
[[gnu::always_inline]] inline static uint32_t created_up_to(const CREATION_TIMES& times, uint32_t j) {
  const uint64_t mask = ~uint64_t{0} >> (63 - (j & 63));
  const CREATION_WORD& word = times.words[j >> 6];
  return word.before + static_cast<uint32_t>(std::popcount(word.bits & mask));
}

[[gnu::always_inline]] inline static NODE_REF leaf_number(const CREATION_TIMES& times, uint32_t j) {
  return j + created_up_to(times, j);
}

// ---------------------------------------------------------------- first pass: creation times

// An open LCP interval of the first pass: its depth and its two smallest sons' starts.
struct OPEN_INTERVAL {
  uint32_t depth;
  uint32_t min;
  uint32_t second;
};

// A son whose smallest start is `start` joins `node`: the later of the two sons that now
// share `node` first meets the earlier one at this depth, so that is its insertion depth.
static void join_son(OPEN_INTERVAL* node, uint32_t start, uint32_t* facts) {
  if (node->min == NONE) {
    node->min = start;
    return;
  }
  const uint32_t later = std::max(node->min, start);
  insertion_depth(facts, later) = node->depth;
  node->min = std::min(node->min, start);
  node->second = std::min(node->second, later);
}

// One bottom-up pass over the LCP intervals: the insertion depth d_j of every leaf, and the
// creation time of every internal node. Its stack, as deep as the text nests (a text of
// one repeated symbol: as deep as it is long), lies in the pool past the words of the
// suffixes: nothing else is there yet.
static void find_creation_times(uint32_t n, const uint32_t* sa, uint32_t* facts,
                                CREATION_TIMES* times) {
  times->words.assign(n / 64 + 1, CREATION_WORD{0, 0, 0});
  insertion_depth(facts, 1) = 0;  // suffix 1 has no earlier suffix
  OPEN_INTERVAL* stack = reinterpret_cast<OPEN_INTERVAL*>(facts + 2 * (uint64_t{n} + 1));
  OPEN_INTERVAL* top = stack;
  *top = OPEN_INTERVAL{0, NONE, NONE};
  uint32_t carry = sa[0] + 1;  // smallest start of the subtree left of the boundary
  for (uint32_t i = 1; i <= n; ++i) {
    if (i + AHEAD < n) __builtin_prefetch(&lcp(facts, sa[i + AHEAD] + 1));
    const uint32_t h = i < n ? lcp(facts, sa[i] + 1) : 0;
    while (top->depth > h) {
      join_son(top, carry, facts);
      const OPEN_INTERVAL done = *top--;
      times->words[done.second >> 6].bits |= uint64_t{1} << (done.second & 63);
      carry = done.min;
    }
    if (top->depth == h)
      join_son(top, carry, facts);
    else
      *++top = OPEN_INTERVAL{h, carry, NONE};
    if (i < n) carry = sa[i] + 1;
  }
  count_creations(times);
}

// ---------------------------------------------------------------- leaves seeded in text order

// The edge end a leaf was created with: the end of the phase that created it. The first
// phase ends at 3 even when it creates leaf 2 at depth 0, and leaf 1 is made whole.
static uint32_t leaf_edge_end(uint32_t n, uint32_t* facts, uint32_t j) {
  if (j == 1) return n;
  if (j == 2 && insertion_depth(facts, 2) == 0 && n >= 3) return 3;
  return j + insertion_depth(facts, j);
}

// Bytes per item of the parallel fault-in.
constexpr uint64_t FAULT_RANGE = uint64_t{1} << 21;

struct FAULT_JOB {
  char* begin;
  uint64_t bytes;
};

// The kernel fills a range's pages in one call, a third cheaper than faulting them in page
// by page; a kernel without the call gets the faults. The pages the range touches at its
// ends are the buffer's own, and filling a page never changes what it holds.
static void populate(char* begin, uint64_t bytes) {
  constexpr uint64_t PAGE = 4096;
  const uint64_t from = reinterpret_cast<uintptr_t>(begin) / PAGE * PAGE;
  const uint64_t to = (reinterpret_cast<uintptr_t>(begin) + bytes + PAGE - 1) / PAGE * PAGE;
  if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) == 0) return;
  for (uint64_t b = 0; b < bytes; b += PAGE) begin[b] = 0;
}

static void fault_in_range(void* data, uint64_t item, uint32_t) {
  const FAULT_JOB& job = *static_cast<const FAULT_JOB*>(data);
  const uint64_t end = std::min(job.bytes, (item + 1) * FAULT_RANGE);
  populate(job.begin + item * FAULT_RANGE, end - item * FAULT_RANGE);
}

// The records below n + 1 are used whatever the text: leaves, or the nodes created before
// them. Their pages are filled beside the sort, which runs on one thread. One thread alone
// leaves every page to its fault: the page a pass meets is then zeroed just before it
// writes there, still in the cache, where pages filled ahead would be read in again.
static uint64_t sure_bytes(const SUFFIX_TREE* tree) { return sizeof(NODE) * (uint64_t{tree->length} + 1); }

struct SORT_JOB {
  SUFFIX_TREE* tree;
  uint32_t* sa;
};

static void sort_or_fill(void* data, uint64_t item, uint32_t) {
  const SORT_JOB& job = *static_cast<const SORT_JOB*>(data);
  if (item == 0) sort_suffixes(job.tree, job.sa);
  else if (THREADS >= 2) populate(reinterpret_cast<char*>(job.tree->STACK.get()), sure_bytes(job.tree));
}

// Faults in the other pages of the pool that the nodes will fill, with the run's threads: a
// fresh page costs the kernel a fault and its zeroing, work that threads can share, where
// the passes would meet it one at a time.
static void fault_in_pool(SUFFIX_TREE* tree, uint32_t nodes) {
  char* pool = reinterpret_cast<char*>(tree->STACK.get());
  const uint64_t sure = sure_bytes(tree), used = sizeof(NODE) * uint64_t{nodes};
  if (THREADS < 2 || used <= sure) return;
  FAULT_JOB job{pool + sure, used - sure};
  parallel_for(THREADS, (job.bytes + FAULT_RANGE - 1) / FAULT_RANGE, fault_in_range, &job);
}

// Moves what the second pass needs of each suffix into its leaf's record, so that meeting a
// leaf costs one cache miss and nothing else: its start, the edge end it keeps, its LCP
// (kept in TMP until the leaf is written), and the suffix link it asks for. Leaf j asks
// for the link of the node created at time j - 1, the record just before leaf j - 1: the
// depth less 1 of the node wanted waits in MAX (0: nothing to ask), and the pass answers
// in the leaf's own suffix_link, which is in the cache then; the answer moves to the node
// in a sweep. A node of depth 1 links to the root at once. From the last suffix down: the
// words of the suffixes still to move lie below every record written so far.
[[gnu::always_inline]] inline static void seed_leaves(SUFFIX_TREE* tree, const CREATION_TIMES& times, uint32_t* facts) {
  const uint32_t n = tree->length;
  NODE* pool = tree->STACK.get();
  for (uint32_t j = n; j >= 1; --j) {
    const NODE_REF number = leaf_number(times, j);
    NODE& leaf = pool[number];
    leaf.sons = NIL;
    leaf.path_position = j;
    leaf.edge_label_end = leaf_edge_end(n, facts, j);
    leaf.TMP = lcp(facts, j);
    leaf.MAX = 0;
    if (j < 2 || !created_at(times, j - 1)) continue;
    // A node is never created at time 1, and at time 2 only at depth 1 or more.
    const uint32_t depth = leaf_edge_end(n, facts, j - 1) - (j - 1);
    if (depth == 1)
      pool[number - created_at(times, j) - 2].suffix_link = tree->root;
    else
      leaf.MAX = depth - 1;
  }
}

// The suffix array's entries, from starts to leaf numbers, so that the pass reads a leaf's
// number with no lookup: the creation times, read at random, stay in the core's cache here,
// where the pass's other misses would push them out.
struct LEAF_JOB {
  const CREATION_TIMES* times;
  uint32_t* sa;
  uint32_t n;
};

[[gnu::always_inline]] inline static void number_leaves_range(const LEAF_JOB& job, uint64_t item) {
  const uint64_t end = std::min<uint64_t>(job.n, (item + 1) * LCP_RANGE);
  for (uint64_t i = item * LCP_RANGE; i < end; ++i) job.sa[i] = leaf_number(*job.times, job.sa[i] + 1);
}

// ---------------------------------------------------------------- second pass: the pool

// What the pass keeps lives in the pool and in the entries of the suffix array already
// read, so that a text that nests deep (one repeated symbol) needs no memory beyond them:
//  - A finished subtree waiting for its father is its node's record, whose fields that do
//    not depend on the father are already final: path_position (the smallest start below
//    it), sons, and an internal node's edge_label_end. An internal node's MAX holds the
//    leaf of its smallest start: were it a second son, its father was created as that leaf
//    was inserted, and is the record just before it. The sons of an open interval
//    are a list through right_sibling, newest first.
//  - An open interval is kept in the record of its first son, its anchor: the depth in
//    edge_label_start, the newest son in left_sibling, the link requests in father. The
//    anchors stack up in the suffix array entries already read: one is pushed at most per
//    entry read.
//  - A request for a suffix link, seeded in its leaf's record, links the next request
//    through TMP. It waits on the shallowest open interval at least that deep; an interval
//    in between may still be opened below that one, and then inherits it.
// MAX and TMP of every node, and a leaf's suffix_link, are set once the pool is written,
// and the links the leaves hold move to their nodes.
struct POOL_PASS {
  NODE* pool;
  uint32_t* anchors = nullptr;  // of the open intervals above the root, from the shallowest
  uint32_t open = 0;
  std::vector<NODE_REF> roots;  // the root's sons found
};

static uint32_t top_depth(const POOL_PASS& pass) {
  return pass.open == 0 ? 0 : pass.pool[pass.anchors[pass.open - 1]].edge_label_start;
}

static void add_son(POOL_PASS* pass, NODE_REF son) {
  if (pass->open == 0) {
    pass->roots.push_back(son);
    return;
  }
  NODE& anchor = pass->pool[pass->anchors[pass->open - 1]];
  pass->pool[son].right_sibling = anchor.left_sibling;
  anchor.left_sibling = son;
}

static void open_interval(POOL_PASS* pass, uint32_t depth, NODE_REF first_son, uint32_t requests) {
  NODE& anchor = pass->pool[first_son];
  anchor.edge_label_start = depth;
  anchor.father = requests;
  anchor.left_sibling = first_son;
  anchor.right_sibling = NIL;
  pass->anchors[pass->open++] = first_son;
}

// Insertion sort of a list of sons by smallest start, as Ukkonen leaves them: a node has
// a handful of sons, at most one per symbol.
static NODE_REF sort_sons(NODE* pool, NODE_REF list) {
  NODE_REF sorted = NIL;
  while (list != NIL) {
    const NODE_REF son = list;
    list = pool[son].right_sibling;
    NODE_REF* place = &sorted;
    while (*place != NIL && pool[*place].path_position < pool[son].path_position) place = &pool[*place].right_sibling;
    pool[son].right_sibling = *place;
    *place = son;
  }
  return sorted;
}

// The leaf of a finished subtree's smallest start.
static NODE_REF first_leaf(const NODE* pool, NODE_REF node) {
  return pool[node].sons == NIL ? node : pool[node].MAX;
}

// A node record may straddle two cache lines. (Always inlined: a helper that does nothing
// but prefetch would count as pure, and its calls would be dropped.)
[[gnu::always_inline]] inline static void prefetch_for_write(const NODE* node) {
  __builtin_prefetch(node, 1);
  __builtin_prefetch(reinterpret_cast<const char*>(node) + sizeof(NODE) - 1, 1);
}

// Writes what the father gives the sorted sons of node `number` at `depth`.
static void write_sons(NODE* pool, NODE_REF first, NODE_REF number, uint32_t depth) {
  NODE_REF left = NIL;
  for (NODE_REF son = first; son != NIL; son = pool[son].right_sibling) {
    NODE& node = pool[son];
    node.left_sibling = left;
    node.father = number;
    node.edge_label_start = node.path_position + depth;
    left = son;
  }
}

static void add_request(NODE* pool, NODE_REF leaf, uint32_t* list) {
  pool[leaf].TMP = *list;
  *list = leaf;
}

// Closes the top interval: writes its sons, sets the suffix links that wait for it, and
// returns it as a finished subtree. Requests for shallower nodes go to `passed_on`, for
// the interval that the caller opens as its father. The node was created when its second
// son's smallest start was inserted: it is the record just before that leaf.
[[gnu::always_inline]] inline static NODE_REF close_interval(POOL_PASS* pass, uint32_t* passed_on) {
  NODE* pool = pass->pool;
  const NODE& anchor = pool[pass->anchors[--pass->open]];
  const uint32_t depth = anchor.edge_label_start;
  uint32_t requests = anchor.father;
  const NODE_REF first = sort_sons(pool, anchor.left_sibling);
  const NODE_REF number = first_leaf(pool, pool[first].right_sibling) - 1;
  prefetch_for_write(&pool[number]);
  write_sons(pool, first, number, depth);
  while (requests != NONE) {
    const NODE_REF leaf = requests;
    requests = pool[leaf].TMP;
    if (pool[leaf].MAX == depth)
      pool[leaf].suffix_link = number;
    else
      add_request(pool, leaf, passed_on);
  }
  NODE& node = pool[number];
  node.path_position = pool[first].path_position;
  node.sons = first;
  node.edge_label_end = node.path_position + depth - 1;
  node.MAX = first_leaf(pool, first);
  return number;
}

// The shallowest open interval at least `depth` deep, above the root; depths rise from
// the root, and the interval sought is mostly near the top.
static NODE_REF interval_at_depth(const POOL_PASS& pass, uint32_t depth) {
  uint32_t k = pass.open - 1;
  auto depth_of = [&pass](uint32_t level) { return pass.pool[pass.anchors[level]].edge_label_start; };
  for (int steps = 0; steps < 8 && k > 0 && depth_of(k - 1) >= depth; ++steps) --k;
  if (k > 0 && depth_of(k - 1) >= depth) {
    uint32_t low = 0;  // the answer is in [low, k]
    while (low < k) {
      const uint32_t mid = low + (k - low) / 2;
      if (depth_of(mid) >= depth) k = mid; else low = mid + 1;
    }
  }
  return pass.anchors[k];
}

// Meeting a leaf, before the boundary right of it: files the request it was seeded with.
// Returns the request if its node is deeper than every open interval: then it is the
// interval that this boundary opens.
[[gnu::always_inline]] inline static uint32_t request_suffix_link(POOL_PASS* pass, NODE_REF leaf) {
  const uint32_t depth = pass->pool[leaf].MAX;
  if (depth == 0) return NONE;
  if (depth > top_depth(*pass)) {
    pass->pool[leaf].TMP = NONE;  // a list of this one request
    return leaf;
  }
  add_request(pass->pool, leaf, &pass->pool[interval_at_depth(*pass, depth)].father);
  return NONE;
}

// The root's sons, from every part, sorted and written; then the root itself.
static void write_root(SUFFIX_TREE* tree, std::vector<NODE_REF>* sons) {
  NODE* pool = tree->STACK.get();
  std::sort(sons->begin(), sons->end(),
            [pool](NODE_REF a, NODE_REF b) { return pool[a].path_position < pool[b].path_position; });
  for (size_t k = 0; k < sons->size(); ++k) pool[(*sons)[k]].right_sibling = k + 1 < sons->size() ? (*sons)[k + 1] : NIL;
  write_sons(pool, sons->front(), tree->root, 0);
  pool[tree->root] = NODE{sons->front(), NIL, NIL, NIL, NIL, 0, 0, 0, 0, 0};
}

// The second bottom-up pass over entries [begin, end) of the suffix array, now of leaf
// numbers, a run of whole subtrees of the root: every node in them written at its final
// index. Leaves the root's sons among them in `pass->roots`. The suffix link of a node
// created at time s is the node above leaf s + 1: the part holding that leaf settles it,
// in that leaf's record, and the final sweep moves it to the node.
static void write_part(POOL_PASS* pass, uint32_t* leaves, uint32_t begin, uint32_t end) {
  NODE* pool = pass->pool;
  pass->anchors = leaves + begin;  // entry begin + k is read before anchor k is pushed
  NODE_REF carry = leaves[begin];
  for (uint32_t i = begin + 1; i <= end; ++i) {
    if (i + AHEAD < end) {
      // The record before a leaf is the node created as it was inserted, mostly written
      // when the interval that the leaf's subtree is the second son of closes.
      prefetch_for_write(&pool[leaves[i + AHEAD]]);
      __builtin_prefetch(&pool[leaves[i + AHEAD] - 1], 1);
    }
    const NODE_REF next = i < end ? leaves[i] : NIL;
    const uint32_t h = i < end ? pool[next].TMP : 0;
    uint32_t passed_on = request_suffix_link(pass, carry);
    while (top_depth(*pass) > h) {
      add_son(pass, carry);
      carry = close_interval(pass, &passed_on);
    }
    // Whatever waits for a node deeper than the open intervals waits for this one.
    if (top_depth(*pass) < h)
      open_interval(pass, h, carry, passed_on);
    else
      add_son(pass, carry);
    carry = next;
  }
}

// Parts of the suffix array that threads write side by side: runs of the root's subtrees,
// cut where the first symbol changes, near equal shares of the suffixes.
struct POOL_PARTS {
  SUFFIX_TREE* tree;
  uint32_t* leaves;  // the suffix array's entries, as leaf numbers by the time the parts run
  std::vector<uint32_t> cuts;              // part k is [cuts[k], cuts[k + 1])
  std::vector<std::vector<NODE_REF>> roots;  // the root's sons each part found
};

static std::vector<uint32_t> cut_at_first_symbols(const SUFFIX_TREE* tree, const uint32_t* sa, uint32_t parts) {
  const uint32_t n = tree->length;
  const unsigned char* ts = tree->tree_string.get();
  std::vector<uint32_t> cuts{0};
  for (uint32_t k = 1; k < parts; ++k) {
    uint32_t i = std::max(cuts.back() + 1, static_cast<uint32_t>(uint64_t{n} * k / parts));
    while (i < n && ts[sa[i] + 1] == ts[sa[i - 1] + 1]) ++i;
    if (i < n) cuts.push_back(i);
  }
  cuts.push_back(n);
  return cuts;
}

// Node numbers count set bits at every step. The loops that number nodes are compiled twice,
// once with POPCNT, chosen by what the processor has, so that the binary runs on any x86-64.
static const bool HAS_POPCNT = __builtin_cpu_supports("popcnt");

[[gnu::target("popcnt")]] static void number_leaves_popcnt(void* data, uint64_t item, uint32_t) {
  number_leaves_range(*static_cast<const LEAF_JOB*>(data), item);
}
static void number_leaves_generic(void* data, uint64_t item, uint32_t) {
  number_leaves_range(*static_cast<const LEAF_JOB*>(data), item);
}
[[gnu::target("popcnt")]] static void seed_leaves_popcnt(SUFFIX_TREE* tree, const CREATION_TIMES& times, uint32_t* facts) {
  seed_leaves(tree, times, facts);
}
static void seed_leaves_generic(SUFFIX_TREE* tree, const CREATION_TIMES& times, uint32_t* facts) {
  seed_leaves(tree, times, facts);
}

static void write_pool_part(void* data, uint64_t item, uint32_t) {
  POOL_PARTS& parts = *static_cast<POOL_PARTS*>(data);
  POOL_PASS pass{parts.tree->STACK.get(), nullptr, 0, {}};
  try {
    write_part(&pass, parts.leaves, parts.cuts[item], parts.cuts[item + 1]);
  } catch (const std::bad_alloc&) {
    tree_out_of_memory();
  }
  parts.roots[item] = std::move(pass.roots);
}

// Every node's bounds as a new node has them, and a leaf's suffix link, which holds the
// link that the leaf asked for (MAX not 0): it moves to the node created at the time before
// the leaf's, the record just before the previous leaf. The record is copied whole, as a
// sweep of the fields one by one is slower.
static void clear_node(NODE* pool, uint64_t v) {
  NODE node = pool[v];
  if (node.sons == NIL) {
    if (node.MAX != 0) pool[v - 2 - (pool[v - 1].sons != NIL)].suffix_link = node.suffix_link;
    node.suffix_link = NIL;
  }
  node.MAX = 0xFFFFFFFFu;
  node.TMP = 0;
  pool[v] = node;
}

// A range's first three records may move a link into the range before, which another thread
// may be copying: they are left to clear_range_starts.
constexpr uint64_t LINK_REACH = 3;

static void clear_bounds(void* data, uint64_t item, uint32_t) {
  SUFFIX_TREE* tree = static_cast<SUFFIX_TREE*>(data);
  const uint64_t end = std::min<uint64_t>(tree->NODE_INDEX, (item + 1) * LCP_RANGE);
  for (uint64_t v = item * LCP_RANGE + (item > 0 ? LINK_REACH : 0); v < end; ++v) clear_node(tree->STACK.get(), v);
}

static void clear_range_starts(SUFFIX_TREE* tree, uint64_t items) {
  for (uint64_t item = 1; item < items; ++item)
    for (uint64_t v = item * LCP_RANGE; v < std::min<uint64_t>(tree->NODE_INDEX, item * LCP_RANGE + LINK_REACH); ++v)
      clear_node(tree->STACK.get(), v);
}

// The second pass, its parts on as many threads as the run has.
static void write_pool(SUFFIX_TREE* tree, const CREATION_TIMES& times, uint32_t* sa) {
  POOL_PARTS parts{tree, sa, cut_at_first_symbols(tree, sa, THREADS), {}};
  parts.roots.resize(parts.cuts.size() - 1);
  LEAF_JOB leaves{&times, sa, tree->length};
  parallel_for(THREADS, (uint64_t{tree->length} + LCP_RANGE - 1) / LCP_RANGE,
               HAS_POPCNT ? number_leaves_popcnt : number_leaves_generic, &leaves);
  parallel_for(THREADS, parts.roots.size(), write_pool_part, &parts);
  std::vector<NODE_REF> sons;
  for (const std::vector<NODE_REF>& part : parts.roots) sons.insert(sons.end(), part.begin(), part.end());
  write_root(tree, &sons);
  const uint64_t items = (uint64_t{tree->NODE_INDEX} + LCP_RANGE - 1) / LCP_RANGE;
  parallel_for(THREADS, items, clear_bounds, tree);
  clear_range_starts(tree, items);
}

// ---------------------------------------------------------------- the builder

[[gnu::always_inline]] inline static void index_leaves(SUFFIX_TREE* tree, const CREATION_TIMES& times) {
  tree->LEAVES[0] = NIL;
  for (uint32_t j = 1; j <= tree->length; ++j) tree->LEAVES[j] = leaf_number(times, j);
}
[[gnu::target("popcnt")]] static void index_leaves_popcnt(SUFFIX_TREE* tree, const CREATION_TIMES& times) {
  index_leaves(tree, times);
}
static void index_leaves_generic(SUFFIX_TREE* tree, const CREATION_TIMES& times) { index_leaves(tree, times); }

static void build_suffix_array_tree(SUFFIX_TREE* tree) {
  const uint32_t n = tree->length;
  // The suffix array lives where the leaf index will: it is dead by the time that is written.
  uint32_t* sa = tree->LEAVES.get() + 1;
  SORT_JOB sort{tree, sa};
  parallel_for(THREADS, 2, sort_or_fill, &sort);
  uint32_t* facts = longest_common_prefixes(tree, sa);
  CREATION_TIMES times;
  try {
    find_creation_times(n, sa, facts, &times);
    fault_in_pool(tree, n + 1 + created_up_to(times, n));
    (HAS_POPCNT ? seed_leaves_popcnt : seed_leaves_generic)(tree, times, facts);
    tree->NODE_INDEX = n + 1 + created_up_to(times, n);
    write_pool(tree, times, sa);
  } catch (const std::bad_alloc&) {
    tree_out_of_memory();
  }
  tree->e = n;
  (HAS_POPCNT ? index_leaves_popcnt : index_leaves_generic)(tree, times);
}

SUFFIX_TREE* ST_CreateTree(const unsigned char* str, uint64_t length) {
  SUFFIX_TREE* tree = allocate_tree(str, length);
  if (tree == nullptr) return nullptr;
  build_suffix_array_tree(tree);
  return tree;
}
