#include "regions.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "fastq.h"
#include "report.h"

// ---------------------------------------------------------------- records

namespace {
// A header line of the file: the offset of its '>' and the first word after it.
struct NamedHeader {
  uint64_t raw;
  std::string name;
};

// A record of the representative sequence, from its first position in the whole sequence.
struct Record {
  uint64_t start;
  std::string name;
};
}  // namespace

static std::string FILE_NAME;
static bool READS = false;  // a FASTQ file: its reads come named from the filter, one a record
static std::vector<NamedHeader> NAMES;  // every header of the file, by offset
static std::vector<Record> RECORDS;     // by first position
static size_t RECORD_CURSOR = 0;        // record of the latest region written
static bool ANY_HEADER_TAKEN = false;
static uint64_t LAST_HEADER_RAW = 0;  // a chunk's overlap shows the next chunk's first headers too

enum HeaderScanState { IN_SEQUENCE, IN_NAME, IN_HEADER };

// Follows the filter's reading of headers: a '>' anywhere outside a header opens one that
// runs to the end of its line.
struct HeaderScan {
  std::vector<NamedHeader>* names;
  uint64_t position = 0;
  HeaderScanState state = IN_SEQUENCE;
};

static void scan_headers(const char* block, uint64_t size, void* state) {
  HeaderScan& scan = *static_cast<HeaderScan*>(state);
  for (uint64_t i = 0; i < size; ++i) {
    char c = block[i];
    if (scan.state == IN_SEQUENCE) {
      const void* hit = std::memchr(block + i, '>', size - i);
      if (hit == nullptr) break;
      i = static_cast<uint64_t>(static_cast<const char*>(hit) - block);
      scan.names->push_back({scan.position + i, std::string()});
      scan.state = IN_NAME;
    } else if (c == '\n' || c == '\r') {
      scan.state = IN_SEQUENCE;
    } else if (scan.state == IN_NAME) {
      if (c == ' ' || c == '\t') scan.state = IN_HEADER;
      else scan.names->back().name += c;
    }
  }
  scan.position += size;
}

void regions_begin(const char* filename) {
  FILE_NAME = filename;
  RECORDS.assign(1, Record{0, FILE_NAME});
  // A quality line may begin with '@' or '>': only the record parser finds a read's header.
  READS = fastq_file(FILE_NAME);
  // With -N a header is sequence, and the file one record.
  if (!DNA || READS) return;
  HeaderScan scan{&NAMES};
  if (!readFileBlocks(filename, scan_headers, &scan)) fatal(1, "Cannot open file %s.\n", filename);
}

static const std::string& name_at(uint64_t raw) {
  size_t low = 0, high = NAMES.size();
  while (low < high) {
    size_t mid = (low + high) / 2;
    if (NAMES[mid].raw < raw) low = mid + 1;
    else high = mid;
  }
  // A header without a first word (or one the scan did not see) takes the file's name.
  if (low == NAMES.size() || NAMES[low].raw != raw || NAMES[low].name.empty()) return FILE_NAME;
  return NAMES[low].name;
}

static uint64_t CHUNK_START = 0;  // first position of the current chunk in the whole sequence
static uint64_t NEXT_START = 0;   // first position of the next chunk

void regions_chunk_start(uint64_t offset, uint64_t next_offset, const std::vector<HeaderEvent>& headers) {
  CHUNK_START = offset;
  NEXT_START = next_offset;
  for (const HeaderEvent& h : headers) {
    if (ANY_HEADER_TAKEN && h.raw <= LAST_HEADER_RAW) continue;
    ANY_HEADER_TAKEN = true;
    LAST_HEADER_RAW = h.raw;
    uint64_t start = offset + h.kept;
    const std::string& name = !READS ? name_at(h.raw) : h.name.empty() ? FILE_NAME : h.name;
    // A header before any symbol names the first record rather than opening a second.
    if (RECORDS.back().start == start) RECORDS.back().name = name;
    else RECORDS.push_back(Record{start, name});
  }
}

// ---------------------------------------------------------------- writing

// A region [start, end) of the whole sequence; `head` holds its symbols before the current
// chunk's first position, taken from the chunk that owned them (FASTA only). Private to this
// file: the merge of job outputs has a region record of its own.
namespace {
struct Region {
  uint64_t start = 0;
  uint64_t end = 0;
  uint32_t shortest = 0;
  std::string head;
  std::string tail;  // its symbols after `head` as its own chunk read them
};
}  // namespace

static const char* TEXT = nullptr;  // the current chunk's masked text
static uint64_t TEXT_LENGTH = 0;

// Symbols [from, to) of the whole sequence that lie in the current chunk's text.
static void append_text(std::string& out, uint64_t from, uint64_t to) {
  if (from < CHUNK_START) from = CHUNK_START;
  if (to <= from) return;
  uint64_t begin = from - CHUNK_START, stop = to - CHUNK_START;
  uint64_t available = stop <= TEXT_LENGTH ? stop : TEXT_LENGTH;
  if (begin < available) out.append(TEXT + begin, available - begin);
  // Only a chunk that starts inside a header its preamble does not reach can disagree with
  // the chunk before it on what follows; the symbols still match the coordinates in number.
  if (stop > available) out.append(stop - (begin > available ? begin : available), 'N');
}

static const Record& record_of(uint64_t position) {
  while (RECORD_CURSOR + 1 < RECORDS.size() && RECORDS[RECORD_CURSOR + 1].start <= position) ++RECORD_CURSOR;
  return RECORDS[RECORD_CURSOR];
}

static std::string LINE;  // reused for every region written

// One line, or one FASTA record, for the part [from, to) of a region that lies in `record`.
static void write_piece(const Record& record, uint64_t from, uint64_t to, uint32_t shortest,
                        const std::string& symbols) {
  char numbers[96];
  LINE.clear();
  uint64_t first = from - record.start, end = to - record.start;
  if (FORMAT == Format::bed) {
    // Score: the shortest tag inside, which BED caps at 1000.
    uint32_t score = shortest < 1000 ? shortest : 1000;
    LINE += record.name;
    std::snprintf(numbers, sizeof numbers, "\t%" PRIu64 "\t%" PRIu64 "\t", first, end);
    LINE += numbers;
    LINE += record.name;
    std::snprintf(numbers, sizeof numbers, ":%" PRIu64 "-%" PRIu64 "\t%" PRIu32 "\t.\n", first + 1, end, score);
    LINE += numbers;
  } else {
    LINE += '>';
    LINE += record.name;
    std::snprintf(numbers, sizeof numbers, ":%" PRIu64 "-%" PRIu64 "\n", first + 1, end);
    LINE += numbers;
    for (size_t i = 0; i < symbols.size(); i += 60) {
      LINE.append(symbols, i, 60);
      LINE += '\n';
    }
  }
  out_write(LINE.data(), LINE.size());
}

static void write_region(const Region& r) {
  std::string symbols;
  if (FORMAT == Format::fasta) {
    symbols = r.head;
    if (TEXT != nullptr) append_text(symbols, r.start + r.head.size(), r.end);
    else symbols += r.tail;
  }
  write_piece(record_of(r.start), r.start, r.end, r.shortest, symbols);
}

// ---------------------------------------------------------------- merging

static std::vector<Region> PENDING;  // regions of earlier chunks that reach this one, in order
static size_t PENDING_NEXT = 0;
static std::vector<Region> KEPT;  // closed in this chunk, but they reach the next one
static Region OPEN;               // the region still growing
static bool HAVE_OPEN = false;

// A region that ends before the next chunk's first position can grow no more.
static void close_open() {
  HAVE_OPEN = false;
  if (OPEN.end < NEXT_START) {
    write_region(OPEN);
    return;
  }
  if (FORMAT == Format::fasta) {
    append_text(OPEN.head, OPEN.start + OPEN.head.size(), NEXT_START);
    // The rest as this chunk reads it, for a run of some chunks that has no next one to ask.
    OPEN.tail.clear();
    append_text(OPEN.tail, OPEN.start + OPEN.head.size(), OPEN.end);
  }
  KEPT.push_back(std::move(OPEN));
  OPEN = Region();
}

// Joins regions that overlap or touch; they come in order of their first position.
// Where the record after the one holding `position` begins, or UINT64_MAX.
static uint64_t next_record_start(uint64_t position) {
  auto after = std::upper_bound(RECORDS.begin(), RECORDS.end(), position,
                                [](uint64_t p, const Record& r) { return p < r.start; });
  return after == RECORDS.end() ? UINT64_MAX : after->start;
}

static uint64_t OPEN_RECORD_END = UINT64_MAX;  // where the record of the open region ends

static void merge(uint64_t start, uint64_t end, uint32_t shortest) {
  if (HAVE_OPEN && start <= OPEN.end && start < OPEN_RECORD_END) {
    if (end > OPEN.end) OPEN.end = end;
    if (shortest < OPEN.shortest) OPEN.shortest = shortest;
    return;
  }
  if (HAVE_OPEN) close_open();
  OPEN.start = start;
  OPEN.end = end;
  OPEN.shortest = shortest;
  OPEN.head.clear();
  OPEN.tail.clear();
  OPEN_RECORD_END = next_record_start(start);
  HAVE_OPEN = true;
}

static void merge_pending_up_to(uint64_t position) {
  for (; PENDING_NEXT < PENDING.size() && PENDING[PENDING_NEXT].start <= position; ++PENDING_NEXT) {
    Region& r = PENDING[PENDING_NEXT];
    bool joins = HAVE_OPEN && r.start <= OPEN.end;
    merge(r.start, r.end, r.shortest);
    // A region that opens here brings the symbols it took from its own chunk.
    if (!joins) OPEN.head = std::move(r.head), OPEN.tail.clear();
  }
}

// The tags from `start` cover [start, end), the shortest `shortest` long. A region ends where
// a record begins, even where a chunk's reading leaves no "N" between two records: past
// that point only the tags that reach beyond it count.
static void take(uint64_t start, uint64_t end, uint32_t shortest) {
  merge_pending_up_to(start);
  for (uint64_t cut = next_record_start(start); cut < end; cut = next_record_start(start)) {
    merge(start, cut, shortest);
    if (shortest < cut - start + 1) shortest = static_cast<uint32_t>(cut - start + 1);
    start = cut;
  }
  merge(start, end, shortest);
}

// ---------------------------------------------------------------- covering

// After the report nothing reads a node's suffix_link or left_sibling, nor the LEAVES
// array, again: here suffix_link holds the longest tag of the deepest reported node on the
// path from the root to the node (NIL until worked out), and left_sibling the shortest tag
// of the shallowest one (0 for none). Deeper reported nodes have longer tags, so the deepest
// one gives how far the tags from a position reach.
static bool reported(const NODE& n, NODE_REF ref, uint32_t NODES) {
  return ref != 0 && ref < NODES && n.path_position != 0 && n.TMP < n.MAX;
}

static void inherit(NODE& n, NODE_REF ref, const NODE& father, uint32_t NODES) {
  bool own = reported(n, ref, NODES);
  n.suffix_link = own ? n.MAX : father.suffix_link;
  n.left_sibling = father.left_sibling != 0 ? father.left_sibling : own ? n.TMP + 1 : 0;
}

// Works out a node and those of its ancestors not yet worked out, from the top down. On the
// way up each of them keeps, in left_sibling, the node below it, so that the way back down
// needs no stack however deep the tree (a repetitive text makes paths as long as itself).
static void resolve(NODE* nodes, NODE_REF ref, uint32_t NODES) {
  NODE_REF below = NIL;
  for (; nodes[ref].suffix_link == NIL; ref = nodes[ref].father) {
    nodes[ref].left_sibling = below;
    below = ref;
  }
  while (below != NIL) {
    NODE& n = nodes[below];
    NODE_REF next = n.left_sibling;
    inherit(n, below, nodes[n.father], NODES);
    below = next;
  }
}

// Every occurrence of a node's tags is a leaf below it: positions are taken in order, each
// from its leaf's father up, so that every internal node is worked out once and the leaves,
// which the construction numbers in position order, are read as one stream.
static void cover_positions(SUFFIX_TREE* tree, uint32_t NODES, uint64_t length) {
  NODE* nodes = tree->STACK.get();
  const NODE_REF* leaves = tree->LEAVES.get();
  for (uint32_t i = 0; i < tree->NODE_INDEX; ++i) nodes[i].suffix_link = NIL;
  nodes[tree->root].suffix_link = 0;
  nodes[tree->root].left_sibling = 0;
  // Fathers are fetched well ahead, and so are grandfathers that will be needed: a leaf's
  // father is mostly met before, its grandfather then seldom not.
  constexpr uint64_t AHEAD = 12;
  for (uint64_t s = 1; s <= length; ++s) {
    if (s + 2 * AHEAD <= length) __builtin_prefetch(&nodes[nodes[leaves[s + 2 * AHEAD]].father]);
    if (s + AHEAD <= length) {
      const NODE& next_father = nodes[nodes[leaves[s + AHEAD]].father];
      if (next_father.suffix_link == NIL) __builtin_prefetch(&nodes[next_father.father]);
    }
    NODE_REF ref = leaves[s];
    const NODE& leaf = nodes[ref];
    const NODE& father = nodes[leaf.father];
    if (father.suffix_link == NIL) resolve(nodes, leaf.father, NODES);
    bool own = reported(leaf, ref, NODES);
    uint32_t longest = own ? leaf.MAX : father.suffix_link;
    if (longest == 0) continue;
    uint32_t shortest = father.left_sibling != 0 ? father.left_sibling : leaf.TMP + 1;
    uint64_t start = CHUNK_START + s - 1;
    take(start, start + longest, shortest);
  }
}

void regions_chunk(SUFFIX_TREE* tree, uint32_t NODES, const char* str, uint64_t length) {
  TEXT = str;
  TEXT_LENGTH = length;
  cover_positions(tree, NODES, length);
  merge_pending_up_to(UINT64_MAX);
  if (HAVE_OPEN) close_open();
  PENDING.swap(KEPT);
  KEPT.clear();
  PENDING_NEXT = 0;
  TEXT = nullptr;
  TEXT_LENGTH = 0;
}

void regions_finish() {
  // Whatever is still kept lies before the end of the sequence, its symbols in hand.
  for (; PENDING_NEXT < PENDING.size(); ++PENDING_NEXT) write_region(PENDING[PENDING_NEXT]);
  PENDING.clear();
}
