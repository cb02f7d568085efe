#include "tagc.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <coroutine>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "threads.h"
#include "treecreate.h"

// ---------------------------------------------------------------- matching walk

// What nothing in the tree may match: the closing step, the reserved terminator, and
// on DNA the "+", which in the tree stands for a masked position.
static constexpr int NO_MATCH = -1;

static int query_symbol(const char* str1, uint64_t i, uint64_t len1) {
  if (i == len1) return NO_MATCH;
  unsigned char c = static_cast<unsigned char>(str1[i]);
  if (c == '$' || (c == '+' && DNA)) return NO_MATCH;
  return c;
}

// Threads walk the one tree side by side, so TMP only ever rises, by an atomic maximum:
// the bounds then do not depend on which walk got where first. Walks on one thread alone
// (SHARED false) raise it with a plain store: a locked instruction would hold up the
// loads of the other walks on that thread.
template <bool SHARED = true>
static void tagc_update(NODE& n, uint32_t value) {
  if constexpr (!SHARED) {
    if (n.TMP < value) n.TMP = value;
    return;
  }
  std::atomic_ref<uint32_t> tmp(n.TMP);
  uint32_t seen = tmp.load(std::memory_order_relaxed);
  while (seen < value && !tmp.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Whether a walk that has run out of query (the end of a record, or a symbol the text does
// not hold) may stop dropping its match here. A mark above its own on the same node is a
// longer string with the same start, matched by some walk, whose own drops mark a longer
// string for every suffix still to come here; strictly above, so that two walks never leave
// the same suffixes to each other. Only marks of this group's walks count.
template <bool SHARED>
static bool dominated(const WALK_INDEX& index, NODE& n, uint32_t value) {
  if (!index.marks_fresh) return false;
  if constexpr (!SHARED) return n.TMP > value;
  return std::atomic_ref<uint32_t>(n.TMP).load(std::memory_order_relaxed) > value;
}

// A node lifted holds its whole edge, the most TMP can hold: a store, where no other
// value can be lost.
static void lift(SUFFIX_TREE* stree, NODE_REF x) {
  std::atomic_ref<uint32_t>(stree->STACK[x].TMP).store(get_node_label_length(stree, x), std::memory_order_relaxed);
}

// How many steps ahead a prefetch goes where the next nodes are known in advance.
static constexpr uint32_t PREFETCH_AHEAD = 16;
// How many nodes ahead a sweep asks for the pool's lines.
static constexpr uint32_t POOL_AHEAD = 64;

static uint32_t father_depth(const NODE& n) { return n.edge_label_start - n.path_position; }

// The sweeps over the pool go in ranges of this many nodes, one range an item.
static constexpr uint32_t SWEEP_RANGE = 1 << 16;

// Nodes whose fathers are climbed together: the fathers of a block, then theirs, and so on,
// each level fetched at once, so that the misses of a level overlap.
static constexpr uint32_t CLIMB_BLOCK = 512;

// A walk of the query, written as a coroutine: before a load that may miss the cache it
// asks for the line and hands over, and the loop that drives many walks resumes the
// others meanwhile. Their misses then overlap, where one walk alone waits on each.
struct WALK {
  struct promise_type {
    WALK get_return_object() { return WALK{std::coroutine_handle<promise_type>::from_promise(*this)}; }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };
  explicit WALK(std::coroutine_handle<promise_type> h) : handle(h) {}
  WALK(WALK&& other) noexcept : handle(std::exchange(other.handle, {})) {}
  WALK& operator=(WALK&&) = delete;
  ~WALK() {
    if (handle) handle.destroy();
  }
  std::coroutine_handle<promise_type> handle;
};

// `co_await` on it: fetch the bytes [first, last] and let the other walks run.
struct FETCH {
  const void* first;
  const void* last;
  [[gnu::always_inline]] bool await_ready() const noexcept {
    __builtin_prefetch(first);
    __builtin_prefetch(last);
    return false;
  }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  void await_resume() const noexcept {}
};

// Asks for a record without handing over: a record may straddle two cache lines.
static void prefetch_node(const SUFFIX_TREE* stree, NODE_REF node) {
  const NODE* n = &stree->STACK[node];
  __builtin_prefetch(n);
  __builtin_prefetch(reinterpret_cast<const char*>(n) + sizeof(NODE) - 1);
}

// A record may straddle two cache lines.
static FETCH fetch_node(const SUFFIX_TREE* stree, NODE_REF node) {
  const NODE* n = &stree->STACK[node];
  return FETCH{n, reinterpret_cast<const char*>(n) + sizeof(NODE) - 1};
}

static FETCH fetch_byte(const void* p) { return FETCH{p, p}; }

// The bounds a node starts a pass with. The last node (the leaf of "$" alone) keeps its
// creation bounds; the report skips it.
static void initialize_node(SUFFIX_TREE* stree, uint32_t i) {
  NODE& n = stree->STACK[i];
  uint32_t length = get_node_label_length(stree, i);
  if (n.MAX > length) n.MAX = length;
  if (n.sons == NIL) --n.MAX;  // keeps the terminator out of every tag
  n.TMP = 0;
}

// ---------------------------------------------------------------- locus table

// 2-bit codes of A, C, G and T; 4 for every other byte.
static const struct BaseCodes {
  unsigned char code[256];
  BaseCodes() {
    std::memset(code, 4, sizeof code);
    for (unsigned char b : {'A', 'C', 'G', 'T'}) code[b] = static_cast<unsigned char>(b == 'A' ? 0 : b == 'C' ? 1 : b == 'G' ? 2 : 3);
  }
} BASES;

static uint32_t base_code(int c) { return c < 0 ? 4 : BASES.code[c]; }

static constexpr uint32_t LOCI_LONGEST = 15;  // codes of 2 bits a symbol in 32 bits, with the next one

// Entries of all strings shorter than `length`: the table holds length 1, then 2, and so on,
// each length in the order of its codes (the first symbol in the highest bits). Looked up,
// as the walks ask at nearly every symbol and the division would wait on their codes.
static constexpr auto LOCI_FIRST = [] {
  std::array<uint64_t, LOCI_LONGEST + 3> first{};
  for (uint32_t length = 1; length < first.size(); ++length) first[length] = ((uint64_t{1} << (2 * length)) - 4) / 3;
  return first;
}();
static uint64_t loci_first(uint32_t length) { return LOCI_FIRST[length]; }
static uint32_t code_mask(uint32_t length) { return static_cast<uint32_t>((uint64_t{1} << (2 * length)) - 1); }

static const unsigned char* loci_entry(const WALK_INDEX& index, uint32_t length, uint32_t code) {
  return index.loci.get() + (loci_first(length) + (code & code_mask(length))) * index.loci_width;
}

static NODE_REF loci_node(const WALK_INDEX& index, const unsigned char* entry) {
  uint32_t x;
  std::memcpy(&x, entry, 4);  // the buffer has a spare byte behind its last entry
  if (index.loci_width == 3) x = (x & 0xFFFFFFu) == 0xFFFFFFu ? NIL : (x & 0xFFFFFFu);
  return x;
}

// The sweep that fills the locus table; it may initialize the bounds on its way, sparing
// a sweep of its own over the pool.
struct LOCI_SWEEP {
  SUFFIX_TREE* stree;
  bool initialize;
};

// Writes the node of every string that ends on the edges of one range of nodes.
static void index_loci_range(void* data, uint64_t item, uint32_t) {
  const LOCI_SWEEP& sweep = *static_cast<const LOCI_SWEEP*>(data);
  SUFFIX_TREE* stree = sweep.stree;
  const WALK_INDEX& index = stree->WALK;
  const unsigned char* ts = stree->tree_string.get();
  const uint64_t end = std::min<uint64_t>(stree->NODE_INDEX, (item + 1) * SWEEP_RANGE);
  for (uint64_t v = item * SWEEP_RANGE; v < end; ++v) {
    // The pool's lines are asked for far ahead: the text and table misses of the nodes in
    // between would otherwise hold up the stream.
    if (v + POOL_AHEAD < end) __builtin_prefetch(&stree->STACK[v + POOL_AHEAD]);
    if (v + PREFETCH_AHEAD < end) __builtin_prefetch(&ts[stree->STACK[v + PREFETCH_AHEAD].path_position]);
    if (sweep.initialize && v + 1 < stree->NODE_INDEX) initialize_node(stree, static_cast<uint32_t>(v));
    if (v == 0) continue;
    const NODE& n = stree->STACK[v];
    const uint32_t above = father_depth(n);
    if (above >= index.loci_depth) continue;
    const uint64_t deepest =
        std::min<uint64_t>(uint64_t{above} + get_node_label_length(stree, static_cast<NODE_REF>(v)), index.loci_depth);
    uint32_t code = 0;
    for (uint32_t length = 1; length <= deepest; ++length) {
      const uint32_t b = BASES.code[ts[n.path_position + length - 1]];
      if (b > 3) break;  // no longer string through here is in the table
      code = code << 2 | b;
      if (length > above)
        std::memcpy(index.loci.get() + (loci_first(length) + code) * index.loci_width, &v, index.loci_width);
    }
  }
}

// The table takes at most 3.2 bytes a symbol of the chunk: strings as long as that allows.
// False when there is no table, and so no sweep.
static bool index_loci(SUFFIX_TREE* stree, bool initialize) {
  WALK_INDEX& index = stree->WALK;
  const uint64_t symbols = stree->length - 1;
  index.loci_width = stree->NODE_INDEX < 0xFFFFFFu ? 3 : 4;
  const uint64_t budget = symbols * LOCI_BYTES_PER_5_SYMBOLS / 5;
  uint32_t depth = 0;
  while (depth < LOCI_LONGEST && loci_first(depth + 2) * index.loci_width <= budget) ++depth;
  index.loci_depth = 0;
  if (depth == 0) return false;
  const uint64_t bytes = loci_first(depth + 1) * index.loci_width + 1;
  index.loci.reset(static_cast<unsigned char*>(allocate_large(bytes)));
  if (!index.loci) return false;  // the walks go without
  index.loci_depth = depth;
  std::memset(index.loci.get(), 0xFF, bytes);
  LOCI_SWEEP sweep{stree, initialize};
  parallel_for(THREADS, (uint64_t{stree->NODE_INDEX} + SWEEP_RANGE - 1) / SWEEP_RANGE, index_loci_range, &sweep);
  return true;
}

static uint64_t lifted_words(const SUFFIX_TREE* stree) { return uint64_t{stree->NODE_INDEX} / 64 + 1; }
static uint64_t ends_words(const WALK_INDEX& index) { return loci_first(index.loci_depth + 1) / 64 + 1; }
// The strings one longer than the table's are in the presence bits too.
static uint64_t present_words(const WALK_INDEX& index) { return loci_first(index.loci_depth + 2) / 64 + 1; }

static bool has_bit(const uint64_t* bits, uint64_t i) {
  return (std::atomic_ref<uint64_t>(const_cast<uint64_t&>(bits[i / 64])).load(std::memory_order_relaxed) >> (i % 64) & 1) != 0;
}

// Sets a bit that threads may set side by side: a plain load first, as it is mostly set.
template <bool SHARED>
static void set_bit(uint64_t* bits, uint64_t i) {
  const uint64_t bit = uint64_t{1} << (i % 64);
  if constexpr (!SHARED) {
    bits[i / 64] |= bit;
    return;
  }
  std::atomic_ref<uint64_t> word(bits[i / 64]);
  if ((word.load(std::memory_order_relaxed) & bit) == 0) word.fetch_or(bit, std::memory_order_relaxed);
}

// Notes that the short match with this table entry ends where it cannot extend.
template <bool SHARED>
static void note_end(const WALK_INDEX& index, uint64_t entry) {
  set_bit<SHARED>(index.ends.get(), entry);
}

// Sets the node's lifted bit; true when this call set it, and so must lift the node.
template <bool SHARED = true>
static bool claim_lift(uint64_t* lifted, NODE_REF x) {
  const uint64_t bit = uint64_t{1} << (x % 64);
  if constexpr (!SHARED) {
    if ((lifted[x / 64] & bit) != 0) return false;
    lifted[x / 64] |= bit;
    return true;
  }
  std::atomic_ref<uint64_t> word(lifted[x / 64]);
  return (word.load(std::memory_order_relaxed) & bit) == 0 && (word.fetch_or(bit, std::memory_order_relaxed) & bit) == 0;
}

// Asks tagc_walk to lift the node and everything above it. A bit set stands for a node
// lifted or still to be lifted, so the lifts that tagc_walk climbs stop at it.
template <bool SHARED>
static void ask_lift(uint64_t* lifted, NODE_REF x) {
  set_bit<SHARED>(lifted, x);
}

// The strings one symbol longer than the table's, read off the text: most matches in
// sequence unrelated to the chunk end there, and a bit tells it where the tree would cost a
// fetch of the table, the node and its sons.
static void mark_longer_present(SUFFIX_TREE* stree) {
  const WALK_INDEX& index = stree->WALK;
  const unsigned char* ts = stree->tree_string.get();
  const uint32_t length = index.loci_depth + 1;
  const uint64_t first = loci_first(length);
  uint32_t code = 0, run = 0;
  for (uint32_t p = 1; p < stree->length; ++p) {
    const uint32_t b = BASES.code[ts[p]];
    run = b < 4 ? run + 1 : 0;
    code = code << 2 | (b & 3);
    if (run >= length) set_bit<false>(index.present.get(), first + (code & code_mask(length)));
  }
}

void tagc_prepare_walks(SUFFIX_TREE* stree, bool initialize) {
  WALK_INDEX& index = stree->WALK;
  const unsigned char* ts = stree->tree_string.get();
  for (uint32_t p = 1; p < stree->length; ++p) index.in_text[ts[p]] = true;
  if (!index_loci(stree, initialize) && initialize) tagc_initialize(stree);
  index.lifted.reset(static_cast<uint64_t*>(std::calloc(lifted_words(stree), sizeof(uint64_t))));
  index.ends.reset(static_cast<uint64_t*>(std::calloc(ends_words(index), sizeof(uint64_t))));
  index.present.reset(static_cast<uint64_t*>(std::calloc(present_words(index), sizeof(uint64_t))));
  index.ready = index.lifted && index.ends && index.present;
  if (!index.ready) return;
  // A word of bits at a time, without a branch an entry.
  const uint64_t entries = loci_first(index.loci_depth + 1);
  const unsigned char* entry = index.loci.get();
  for (uint64_t w = 0; w * 64 < entries; ++w) {
    uint64_t bits = 0;
    for (uint64_t k = 0; k < 64 && w * 64 + k < entries; ++k, entry += index.loci_width)
      bits |= uint64_t{loci_node(index, entry) != NIL} << k;
    index.present[w] = bits;
  }
  mark_longer_present(stree);
}

// A query cut into segments, and how the segments are grouped into items of a parallel loop.
struct SegmentedWalk {
  SUFFIX_TREE* stree;
  uint64_t len1;
  const char* str1;
  uint64_t segment;
  uint64_t count;  // segments; the last one ends with the closing step
  uint64_t group;  // segments per item
};

// The segments of one item not yet taken by a walk.
struct SEGMENTS_LEFT {
  uint64_t next;
  uint64_t end;
};

struct Walker {
  NODE_REF node;
  uint32_t edge_progress;
};

// Whether any byte of the word `x` is `v`.
static bool has_byte(uint64_t x, unsigned char v) {
  const uint64_t y = x ^ (0x0101010101010101u * v);
  return ((y - 0x0101010101010101u) & ~y & 0x8080808080808080u) != 0;
}

// Stretches where the query and the chunk's text were found equal, by diagonal (text
// position less query position), shared by the walks of one item: the carries of
// consecutive segments run along the same stretch of a query that shares long stretches
// with the chunk, and each would compare it to its end again.
struct STRETCH {
  int64_t diagonal = INT64_MIN;
  uint64_t from = 0, to = 0;  // query positions [from, to) equal to the text
  bool ends = false;          // position `to` is known to differ
};
struct STRETCHES {
  STRETCH known[8];
  uint32_t next = 0;  // the slot a new stretch takes
};

// Extends a match that has just matched query symbol i on the edge of `leaf`, up to query
// position `limit` (excluded); returns the last position matched. Eight symbols a time
// while both texts have them: equal words match unless the query's holds a symbol that
// matches nothing. The edge ends with the terminator, which no query symbol matches.
// What another walk of the item found equal on the same diagonal is not compared again.
static uint64_t extend_on_leaf(const SegmentedWalk& job, uint64_t i, uint64_t limit, const NODE& leaf,
                               uint32_t* edge_progress, STRETCHES* stretches) {
  const unsigned char* ts = job.stree->tree_string.get();
  uint64_t t = uint64_t{leaf.edge_label_start} + *edge_progress;
  const uint64_t first = i + 1;
  const int64_t diagonal = static_cast<int64_t>(t) - static_cast<int64_t>(first);
  STRETCH* same = nullptr;
  for (STRETCH& k : stretches->known)
    if (k.diagonal == diagonal && k.from <= first && first <= k.to) same = &k;
  if (same != nullptr && same->to > first) {
    const uint64_t reach = std::min(same->to, limit);
    t += reach - first;
    i = reach - 1;
    if (same->ends || reach == limit) {
      *edge_progress = static_cast<uint32_t>(t - leaf.edge_label_start);
      return i;
    }
  }
  while (i + 8 < limit && t + 8 <= job.stree->length) {
    uint64_t query = 0, text = 0;
    std::memcpy(&query, job.str1 + i + 1, 8);
    std::memcpy(&text, ts + t, 8);
    if (query != text || has_byte(query, '$') || (DNA && has_byte(query, '+'))) break;
    i += 8;
    t += 8;
  }
  while (i + 1 < limit && query_symbol(job.str1, i + 1, job.len1) == ts[t]) {
    ++i;
    ++t;
  }
  *edge_progress = static_cast<uint32_t>(t - leaf.edge_label_start);
  if (same == nullptr) {
    same = &stretches->known[stretches->next];
    stretches->next = (stretches->next + 1) % 8;
    *same = STRETCH{diagonal, first, first, false};
  }
  if (i + 1 >= same->to) {
    same->to = i + 1;
    same->ends = i + 1 < limit;
  }
  return i;
}

// The codes of the query's symbols up to and including i, and how many of them, at most
// LOCI_LONGEST, are A, C, G or T.
static void recent_bases(const char* str1, uint64_t i, uint32_t* code, uint32_t* run) {
  *code = 0;
  *run = 0;
  const uint64_t from = i + 1 >= LOCI_LONGEST ? i + 1 - LOCI_LONGEST : 0;
  for (uint64_t j = from; j <= i; ++j) {
    const uint32_t b = BASES.code[static_cast<unsigned char>(str1[j])];
    *run = b < 4 ? *run + 1 : 0;
    *code = *code << 2 | (b & 3);
  }
}

// Whether c extends no match that holds the query's last length - 1 symbols: the text holds
// no string of `length` symbols that ends with them and c. The presence bits go up to one
// symbol longer than the table. The walk then drops the match without looking for c in the
// tree.
static bool dead_end(const WALK_INDEX& index, uint32_t length, uint32_t code, uint32_t run, uint32_t b) {
  return b < 4 && run + 1 >= length && !has_bit(index.present.get(), loci_first(length) + ((code << 2 | b) & code_mask(length)));
}

// Random sequence keeps the walk among the table's longest strings, where one presence bit
// after another decides each step, each a miss of the core's first caches: the bits of the
// longest two lengths are asked for this many symbols ahead, as the query is known.
static constexpr uint64_t PRESENT_AHEAD = 2;

static void present_ahead(const WALK_INDEX& index, const char* str1, uint64_t a, uint64_t* ahead_at,
                          uint32_t* code) {
  if (*ahead_at + 1 == a) {
    const uint32_t b = BASES.code[static_cast<unsigned char>(str1[a])];
    *code = *code << 2 | (b & 3);
  } else {
    uint32_t run = 0;  // a prefetch needs no count of bases
    recent_bases(str1, a, code, &run);
  }
  *ahead_at = a;
  const uint32_t d = index.loci_depth;
  __builtin_prefetch(&index.present[(loci_first(d) + (*code & code_mask(d))) / 64]);
  __builtin_prefetch(&index.present[(loci_first(d + 1) + (*code & code_mask(d + 1))) / 64]);
}

// Bits set in the lifted and ends bitmaps, which outgrow the core's cache, wait this many
// more before they are set, so that their words are fetched meanwhile: nothing reads
// them before the walks end, and lifting a node later marks the same.
static constexpr uint32_t LIFT_DELAY = 8;
static constexpr uint64_t NO_ENTRY = UINT64_MAX;

// Walks segment after segment of the item, each from the root, and on past the segment's
// end (a carry) while its match still starts inside the segment: the walks of the later
// segments cannot hold that match. Each walk keeps its own copy of the job, so that no
// thread reads from the stack of another.
template <bool SHARED>
static WALK walk_segments(const SegmentedWalk job, SEGMENTS_LEFT* left, STRETCHES* stretches) {
  SUFFIX_TREE* stree = job.stree;
  NODE* pool = stree->STACK.get();
  const unsigned char* ts = stree->tree_string.get();
  const NODE_REF root = stree->root;
  const WALK_INDEX& index = stree->WALK;
  uint64_t* const lifted = index.lifted.get();
  NODE_REF delayed[LIFT_DELAY];
  std::fill(std::begin(delayed), std::end(delayed), NIL);
  uint32_t delayed_next = 0;
  uint64_t ends_delayed[LIFT_DELAY];
  std::fill(std::begin(ends_delayed), std::end(ends_delayed), NO_ENTRY);
  uint32_t ends_next = 0;
  while (left->next < left->end) {
    const uint64_t s = left->next++;
    const uint64_t end = (s + 1) * job.segment < job.len1 + 1 ? (s + 1) * job.segment : job.len1 + 1;
    Walker k{root, 0};
    bool in_line = false;  // the next edge symbol shares a cache line with the last one read
    // While the match is short and all A, C, G and T, the walk keeps only its length (ell):
    // the locus table tells whether it extends and where it ends, and a node is read only to
    // be marked when the match cannot extend. Only those marks are made: the others lie
    // above them, and the walks lift what lies above every mark.
    bool shallow = index.ready && index.loci_depth > 0;
    uint32_t ell = 0;
    NODE_REF ell_node = NIL;  // where the match of ell symbols ends, once looked up
    // The query's last symbols before i, 2 bits each, and how many of them are A, C, G or
    // T: the keys of the locus table for the match and its suffixes.
    uint32_t code = 0, run = 0;
    NODE_REF lift_from = NIL;  // the father of a node just marked that no walk may have lifted
    uint32_t chain_next = 0;   // the suffix whose leaf the next drop reaches in a run of drops
    // The code of the query's symbols up to ahead_at, for the presence bits asked for ahead.
    uint32_t ahead_code = 0;
    uint64_t ahead_at = UINT64_MAX;
    for (uint64_t i = s * job.segment;; ++i) {
      const bool carrying = i >= end;
      // The closing step leaves every walk at the root, which no carry goes on from.
      if (carrying && (s + 1 >= job.count || i > job.len1)) break;
      if (index.ready && index.loci_depth > 0 && i + PRESENT_AHEAD < job.len1)
        present_ahead(index, job.str1, i + PRESENT_AHEAD, &ahead_at, &ahead_code);
      // One symbol: extend the match by it, or drop the match's first symbols until it
      // can be extended or nothing is left. Every node the match passes is marked with how
      // far it reached there; a mark made twice is harmless, as marks only raise TMP.
      const int c = query_symbol(job.str1, i, job.len1);
      const uint32_t b = base_code(c);
      // A symbol the text does not hold (N, say) extends nothing: the walk only drops the
      // match's symbols, marking where each shorter match ends, without looking for c.
      const bool absent = c == NO_MATCH || (index.ready && !index.in_text[c]);
      const uint64_t at = i;
      bool covered = false, consumed = false;
      while (!consumed) {
        // Everything above a marked node holds its whole edge: asked for LIFT_DELAY steps
        // later, and lifted by tagc_walk.
        if (lift_from != NIL) {
          __builtin_prefetch(&lifted[lift_from / 64]);
          const NODE_REF x = std::exchange(delayed[delayed_next], lift_from);
          delayed_next = (delayed_next + 1) % LIFT_DELAY;
          lift_from = NIL;
          if (x != NIL) ask_lift<SHARED>(lifted, x);
        }
        if (shallow) {
          if (carrying && ell <= i - end) {
            covered = true;
            break;
          }
          if (!absent && b < 4 && ell < index.loci_depth) {
            // Whether the longer match exists is one bit, in cache: no need to hand over.
            if (has_bit(index.present.get(), loci_first(ell + 1) + ((code << 2 | b) & code_mask(ell + 1)))) {
              ++ell;
              ell_node = NIL;
              consumed = true;
              continue;
            }
          } else if (!absent && !dead_end(index, index.loci_depth, code, run, b) &&
                     !dead_end(index, index.loci_depth + 1, code, run, b)) {
            // Longer than the table, or a symbol it does not hold: on in the tree from where
            // the match ends.
            if (ell > 0 && ell_node == NIL) {
              const unsigned char* entry = loci_entry(index, ell, code);
              co_await FETCH{entry, entry + 3};
              ell_node = loci_node(index, entry);
            }
            if (ell > 0) {
              co_await fetch_node(stree, ell_node);
              k = Walker{ell_node, ell - father_depth(pool[ell_node])};
              if (lifted != nullptr) __builtin_prefetch(&lifted[ell_node / 64]);
              lift_from = pool[ell_node].father;
            } else {
              k = Walker{root, 0};
            }
            shallow = false;
            in_line = false;
            continue;
          }
          // c extends nothing, or no match that holds the last loci_depth - 1 symbols: the match
          // cannot be longer from where it starts. Mark where it ends and drop its first symbol.
          if (ell == 0) {
            consumed = true;
            continue;
          }
          {
            // Noted LIFT_DELAY ends later.
            const uint64_t entry = loci_first(ell) + (code & code_mask(ell));
            __builtin_prefetch(&index.ends[entry / 64]);
            const uint64_t due = std::exchange(ends_delayed[ends_next], entry);
            ends_next = (ends_next + 1) % LIFT_DELAY;
            if (due != NO_ENTRY) note_end<SHARED>(index, due);
          }
          --ell;
          ell_node = NIL;
          continue;
        }
        NODE& n = pool[k.node];  // in cache: fetched when the walk came here
        const uint32_t depth = k.node == root ? 0 : father_depth(n) + k.edge_progress;
        // Once the match starts past the segment, the next segment's walk, or the carry
        // that took over from it, holds a match that ends here too and is at least as
        // long, and has failed to extend the same longer ones: it goes through this very
        // match and everything after it.
        if (carrying && depth <= i - end) {
          covered = true;
          break;
        }
        if (index.ready && depth < index.loci_depth && run >= depth && (b < 4 || absent)) {
          // Short again: the table takes over. Only below its longest strings: the table
          // sends a match of that length here, to be extended in the tree.
          shallow = true;
          ell = depth;
          ell_node = k.node == root ? NIL : k.node;
          continue;
        }
        const bool hopeless =
            absent || (index.ready && index.loci_depth > 0 && depth + 1 >= index.loci_depth &&
                       (dead_end(index, index.loci_depth, code, run, b) ||
                        (depth >= index.loci_depth && dead_end(index, index.loci_depth + 1, code, run, b))));
        if (k.node == root || k.edge_progress == get_node_label_length(stree, k.node)) {
          NODE_REF son = hopeless ? NIL : n.sons;
          if (son != NIL) co_await fetch_node(stree, son);
          while (son != NIL) {
            // The son's first symbol and its right sibling are fetched together: one
            // hand-over a son instead of two.
            const unsigned char* first = &ts[pool[son].edge_label_start];
            const NODE_REF next_son = pool[son].right_sibling;
            if (next_son != NIL) prefetch_node(stree, next_son);
            co_await fetch_byte(first);
            if (*first == c) break;
            son = next_son;
          }
          if (son != NIL) {
            tagc_update<SHARED>(n, k.edge_progress);
            // Everything above it is lifted or asked for; the root's whole edge counts as 1.
            if (lifted != nullptr && claim_lift<SHARED>(lifted, k.node)) lift(stree, k.node);
            k = Walker{son, 1};
            if (lifted != nullptr) __builtin_prefetch(&lifted[son / 64]);  // claimed when it has a son to go to
            tagc_update<SHARED>(pool[son], 1);
            in_line = true;
            consumed = true;
            continue;
          }
          if (k.node == root) {
            k.edge_progress = 0;
            consumed = true;
            continue;
          }
          if (absent && dominated<SHARED>(index, n, k.edge_progress)) {
            k = Walker{root, 0};
            chain_next = 0;
            continue;
          }
          // The whole path label of a suffix-link target is a suffix of the matched string.
          tagc_update<SHARED>(n, k.edge_progress);
          k.node = n.suffix_link;
          co_await fetch_node(stree, k.node);
          k.edge_progress = get_node_label_length(stree, k.node);
          tagc_update<SHARED>(pool[k.node], k.edge_progress);
          if (lifted != nullptr) lift_from = pool[k.node].father;
          continue;
        }
        const unsigned char* next = &ts[n.edge_label_start + k.edge_progress];
        if (!hopeless && (!in_line || (reinterpret_cast<uintptr_t>(next) & 63) == 0)) co_await fetch_byte(next);
        if (!hopeless && *next == c) {
          ++k.edge_progress;
          // Along a leaf's edge nothing else is marked until a mismatch: compare on without
          // a step per symbol. A carry through a stretch that the query shares with the
          // chunk runs to the stretch's end, so this is what a carry mostly does.
          if (n.sons == NIL) i = extend_on_leaf(job, i, carrying ? job.len1 : end, n, &k.edge_progress, stretches);
          tagc_update<SHARED>(n, k.edge_progress);
          in_line = true;
          consumed = true;
          continue;
        }
        if (absent && dominated<SHARED>(index, n, k.edge_progress)) {
          k = Walker{root, 0};
          chain_next = 0;
          continue;
        }
        tagc_update<SHARED>(n, k.edge_progress);
        // Drop the first symbol. The shorter match lies on the path of the node's suffix
        // link, or, for a leaf of suffix s, on the path of the leaf of suffix s + 1; climbing
        // from there to the first node whose father is shallower than the match costs one
        // node a step, where descending by edges would scan the sons at each.
        const uint32_t m = depth - 1;
        if (m == 0) {
          k = Walker{root, 0};
          continue;
        }
        if (index.ready && m <= index.loci_depth && run >= m && (b < 4 || absent)) {
          // The table finds where the shorter match ends, when it must; at its longest
          // strings too, where a drop through the tree would cost three fetches.
          shallow = true;
          ell = m;
          ell_node = NIL;
          continue;
        }
        NODE_REF below = n.suffix_link;
        bool chained = false;
        if (n.sons == NIL) {
          const uint32_t after = n.path_position + 1;
          // Mismatches on leaves come in runs over consecutive suffixes, whose leaves lie
          // side by side: within a run, what the next drops read is fetched ahead and the
          // walk reads on without handing over.
          if (after + PREFETCH_AHEAD < stree->length) __builtin_prefetch(&stree->LEAVES[after + PREFETCH_AHEAD]);
          chained = after == chain_next;
          if (chained && after + PREFETCH_AHEAD / 2 < stree->length)
            __builtin_prefetch(&pool[stree->LEAVES[after + PREFETCH_AHEAD / 2]]);
          if (!chained) co_await fetch_byte(&stree->LEAVES[after]);
          below = stree->LEAVES[after];
          chain_next = after + 1;
        } else {
          chain_next = 0;
        }
        if (!chained) co_await fetch_node(stree, below);
        // The next symbol to compare on the leaf of the next suffix is the very same text symbol.
        in_line = chained;
        while (father_depth(pool[below]) >= m) {
          below = pool[below].father;
          co_await fetch_node(stree, below);
          in_line = false;
        }
        k = Walker{below, m - father_depth(pool[below])};
        tagc_update<SHARED>(pool[below], k.edge_progress);
        if (lifted != nullptr) lift_from = pool[below].father;
      }
      if (covered) break;
      if (i == at) {
        run = b < 4 ? std::min(run + 1, LOCI_LONGEST) : 0;
        code = code << 2 | (b & 3);
      } else {
        recent_bases(job.str1, i, &code, &run);  // the match ran on along a leaf
      }
    }
    // The segment's last delayed ends and asked lifts.
    for (uint64_t& due : ends_delayed)
      if (const uint64_t entry = std::exchange(due, NO_ENTRY); entry != NO_ENTRY) note_end<SHARED>(index, entry);
    for (NODE_REF& x : delayed)
      if (x != NIL) ask_lift<SHARED>(lifted, std::exchange(x, NIL));
  }
}

// Walks per item that run side by side: enough to keep the memory busy, few enough that
// what they fetch stays in cache until they use it.
static constexpr uint64_t SIDE_BY_SIDE = 32;

// One item: its segments, walked by up to SIDE_BY_SIDE walks in turn.
template <bool SHARED>
static void walk_group(void* data, uint64_t item, uint32_t) {
  const SegmentedWalk& job = *static_cast<const SegmentedWalk*>(data);
  SEGMENTS_LEFT left{item * job.group, std::min(job.count, (item + 1) * job.group)};
  STRETCHES stretches;
  std::vector<WALK> walks;
  std::vector<std::coroutine_handle<>> live;
  for (uint64_t w = 0; w < SIDE_BY_SIDE && w < left.end - left.next; ++w) {
    walks.push_back(walk_segments<SHARED>(job, &left, &stretches));
    live.push_back(walks.back().handle);
  }
  while (!live.empty()) {
    for (size_t w = 0; w < live.size();) {
      live[w].resume();
      if (live[w].done()) {
        live[w] = live.back();
        live.pop_back();
      } else {
        ++w;
      }
    }
  }
}

// Items per thread of the parallel walk: enough for the threads to even out.
static constexpr uint64_t ITEMS_PER_THREAD = 4;

// Segments per item: all of them on one thread. With more threads, enough items for the
// threads to even out, yet enough walks per item to keep the memory busy.
static uint64_t segments_per_group(uint64_t count, uint32_t threads) {
  constexpr uint64_t FEWEST_SIDE_BY_SIDE = 8;
  if (threads <= 1) return count;
  uint64_t group = (count + ITEMS_PER_THREAD * threads - 1) / (ITEMS_PER_THREAD * threads);
  return group < FEWEST_SIDE_BY_SIDE ? FEWEST_SIDE_BY_SIDE : group;
}

// Long segments carry over less; with several threads they are cut shorter, down to a
// floor, so that each item still has SIDE_BY_SIDE of them to walk at once.
static uint64_t walk_segment(uint64_t len1, uint32_t threads) {
  constexpr uint64_t SHORTEST = 1 << 12;
  uint64_t segment = WALK_SEGMENT;
  if (threads > 1)
    segment = std::clamp(len1 / (threads * ITEMS_PER_THREAD * SIDE_BY_SIDE), SHORTEST, WALK_SEGMENT);
  return len1 < segment ? len1 + 1 : segment;
}

void tagc_segmented(SUFFIX_TREE* stree, uint64_t len1, const char* str1, uint64_t segment,
                    uint32_t threads) {
  // Every match a segment's walk holds is in the query, so its marks are sound; what
  // it misses is the match that runs into the segment from before, which the carry
  // over the segment's start supplies.
  SegmentedWalk job{stree, len1, str1, segment, len1 / segment + 1, 0};
  job.group = segments_per_group(job.count, threads);
  const uint64_t items = (job.count + job.group - 1) / job.group;
  // One item or one thread: parallel_for runs the items on this thread, one after another.
  parallel_for(threads, items, std::min<uint64_t>(threads, items) > 1 ? walk_group<true> : walk_group<false>, &job);
}

void tagc(SUFFIX_TREE* stree, uint64_t len1, const char* str1) {
  tagc_segmented(stree, len1, str1, walk_segment(len1, THREADS), THREADS);
}

// ---------------------------------------------------------------- node bounds


struct Sweep {
  SUFFIX_TREE* stree;
  uint32_t count;  // nodes swept, from 0
  uint64_t* lifted;  // one bit a node, for tagc_walk's climbs
};

static void sweep_pool(SUFFIX_TREE* stree, uint32_t count, PARALLEL_WORKER worker,
                       uint64_t* lifted = nullptr) {
  Sweep sweep{stree, count, lifted};
  parallel_for(THREADS, (uint64_t{count} + SWEEP_RANGE - 1) / SWEEP_RANGE, worker, &sweep);
}

static uint32_t range_end(const Sweep& sweep, uint64_t item) {
  uint64_t end = (item + 1) * SWEEP_RANGE;
  return end < sweep.count ? static_cast<uint32_t>(end) : sweep.count;
}

static void initialize_range(void* data, uint64_t item, uint32_t) {
  const Sweep& sweep = *static_cast<const Sweep*>(data);
  for (uint32_t i = static_cast<uint32_t>(item * SWEEP_RANGE); i < range_end(sweep, item); ++i)
    initialize_node(sweep.stree, i);
}

void tagc_initialize(SUFFIX_TREE* stree) { sweep_pool(stree, stree->NODE_INDEX - 1, initialize_range); }


// Lifts the nodes of `level` that no one has lifted yet to their full edge, and leaves their
// fathers in `next`. Whoever sets a node's bit lifts it and climbs on; everyone else stops.
static void lift_level_into(SUFFIX_TREE* stree, uint64_t* lifted, const std::vector<NODE_REF>& level,
                            std::vector<NODE_REF>* next) {
  NODE* nodes = stree->STACK.get();
  // Most nodes of a level are lifted already: only the claimed ones are fetched.
  next->clear();
  for (NODE_REF x : level)
    if (claim_lift(lifted, x)) {
      __builtin_prefetch(&nodes[x], 1);
      next->push_back(x);
    }
  size_t fathers = 0;
  for (NODE_REF x : *next) {
    lift(stree, x);
    if (nodes[x].father != NIL) (*next)[fathers++] = nodes[x].father;
  }
  next->resize(fathers);
}

// Lifts the nodes of `level`, then their fathers, and so on, until every climb meets a node
// lifted already; `next` is scratch space.
static void climb_levels(SUFFIX_TREE* stree, uint64_t* lifted, std::vector<NODE_REF>* level,
                         std::vector<NODE_REF>* next) {
  while (!level->empty()) {
    lift_level_into(stree, lifted, *level, next);
    std::swap(*level, *next);
  }
}

// Climbs from every reached node of one range, lifting its ancestors to their full edge.
static void walk_range(void* data, uint64_t item, uint32_t) {
  const Sweep& sweep = *static_cast<const Sweep*>(data);
  NODE* nodes = sweep.stree->STACK.get();
  uint64_t* lifted = sweep.lifted;
  auto is_lifted = [lifted](NODE_REF x) {
    return (std::atomic_ref<uint64_t>(lifted[x / 64]).load(std::memory_order_relaxed) >> (x % 64) & 1) != 0;
  };
  std::vector<NODE_REF> level, next;
  level.reserve(CLIMB_BLOCK);
  const uint32_t end = range_end(sweep, item);
  for (uint32_t block = static_cast<uint32_t>(item * SWEEP_RANGE); block < end; block += CLIMB_BLOCK) {
    level.clear();
    // Another range may be lifting this very node; then its ancestors are lifted too,
    // so reading the lifted value instead of the reached one changes nothing.
    for (uint32_t i = block; i < end && i < block + CLIMB_BLOCK; ++i) {
      const NODE_REF father = nodes[i].father;
      if (father == NIL || is_lifted(father)) continue;
      if (std::atomic_ref<uint32_t>(nodes[i].TMP).load(std::memory_order_relaxed) != 0) level.push_back(father);
    }
    climb_levels(sweep.stree, sweep.lifted, &level, &next);
  }
}

static constexpr uint64_t ENDS_RANGE = 1 << 14;  // words of the bitmap an item

// The string length of a table entry.
static uint32_t entry_length(uint64_t entry) {
  uint32_t length = 1;
  while (loci_first(length + 1) <= entry) ++length;
  return length;
}

// Marks a block of noted ends, nodes fetched together, and lifts what lies above them.
static void mark_block(SUFFIX_TREE* stree, std::vector<std::pair<NODE_REF, uint32_t>>* block) {
  NODE* pool = stree->STACK.get();
  std::vector<NODE_REF> level, next;
  for (auto [node, length] : *block) {
    tagc_update(pool[node], length - father_depth(pool[node]));
    if (pool[node].father != NIL) level.push_back(pool[node].father);
  }
  block->clear();
  climb_levels(stree, stree->WALK.lifted.get(), &level, &next);
}

// Lifts the nodes that the walks asked for in one range of the lifted bitmap, and what lies
// above them, in blocks whose records are fetched together. A climb stops at a bit set: a
// node asked for, which its own range lifts, or one that another climb claimed.
static void lift_asked_range(void* data, uint64_t item, uint32_t) {
  SUFFIX_TREE* stree = static_cast<SUFFIX_TREE*>(data);
  NODE* nodes = stree->STACK.get();
  uint64_t* lifted = stree->WALK.lifted.get();
  const uint64_t end = std::min(lifted_words(stree), (item + 1) * ENDS_RANGE);
  std::vector<NODE_REF> asked, level, next;
  auto climb = [&]() {
    for (NODE_REF x : asked) {
      lift(stree, x);
      if (nodes[x].father != NIL) level.push_back(nodes[x].father);
    }
    asked.clear();
    climb_levels(stree, lifted, &level, &next);
  };
  for (uint64_t w = item * ENDS_RANGE; w < end; ++w) {
    for (uint64_t bits = std::atomic_ref<uint64_t>(lifted[w]).load(std::memory_order_relaxed); bits != 0; bits &= bits - 1) {
      asked.push_back(static_cast<NODE_REF>(w * 64 + static_cast<uint64_t>(__builtin_ctzll(bits))));
      __builtin_prefetch(&nodes[asked.back()], 1);
    }
    if (asked.size() >= CLIMB_BLOCK) climb();
  }
  climb();
}

// Marks the nodes of the ends noted in one range of the bitmap, and clears it.
static void mark_ends_range(void* data, uint64_t item, uint32_t) {
  SUFFIX_TREE* stree = static_cast<SUFFIX_TREE*>(data);
  WALK_INDEX& index = stree->WALK;
  const uint64_t end = std::min(ends_words(index), (item + 1) * ENDS_RANGE);
  std::vector<std::pair<NODE_REF, uint32_t>> block;
  for (uint64_t w = item * ENDS_RANGE; w < end; ++w) {
    for (uint64_t bits = index.ends[w]; bits != 0; bits &= bits - 1) {
      const uint64_t entry = w * 64 + static_cast<uint64_t>(__builtin_ctzll(bits));
      const NODE_REF node = loci_node(index, index.loci.get() + entry * index.loci_width);
      __builtin_prefetch(&stree->STACK[node], 1);
      block.push_back({node, entry_length(entry)});
    }
    index.ends[w] = 0;
    if (block.size() >= CLIMB_BLOCK) mark_block(stree, &block);
  }
  mark_block(stree, &block);
}

void tagc_walk(SUFFIX_TREE* stree) {
  if (stree->WALK.ready) {
    // The walks asked for the lifts above what they marked, and noted the short matches
    // that they did not mark: both are done now. The next group starts afresh.
    parallel_for(THREADS, (lifted_words(stree) + ENDS_RANGE - 1) / ENDS_RANGE, lift_asked_range, stree);
    parallel_for(THREADS, (ends_words(stree->WALK) + ENDS_RANGE - 1) / ENDS_RANGE, mark_ends_range, stree);
    std::memset(stree->WALK.lifted.get(), 0, lifted_words(stree) * sizeof(uint64_t));
    return;
  }
  // A node ends at its full edge exactly when something below it was reached. Sweeping
  // the pool in index order and climbing from every reached node until an ancestor
  // already lifted gives that with no stack, reading the pool in order instead of
  // chasing every link of a post-order traversal. The lifted set is a bitmap small
  // enough to stay in cache, so most reached nodes never load their father.
  std::vector<uint64_t> lifted(lifted_words(stree));
  sweep_pool(stree, stree->NODE_INDEX, walk_range, lifted.data());
}

static void accumulate_range(void* data, uint64_t item, uint32_t) {
  const Sweep& sweep = *static_cast<const Sweep*>(data);
  for (uint32_t i = static_cast<uint32_t>(item * SWEEP_RANGE); i < range_end(sweep, item); ++i) {
    NODE& n = sweep.stree->STACK[i];
    if (n.TMP < n.MAX) n.MAX = n.TMP;
    n.TMP = 0;
  }
}

void tagc_accumulate(SUFFIX_TREE* stree) { sweep_pool(stree, stree->NODE_INDEX - 1, accumulate_range); }
