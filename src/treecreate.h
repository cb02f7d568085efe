// Command line, run settings and memory query; chunk reader and FASTA filter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "fastq.h"

// Run settings: written while the command line is read, then only read
// (the representative-file swap reorders the two left arrays once).
extern std::vector<std::string> FILES_LEFT;
extern std::vector<uint64_t> FILES_LEFT_SIZES;
extern std::vector<std::string> FILES_RIGHT;
extern std::vector<uint64_t> FILES_RIGHT_SIZES;
extern int32_t LEFT;
extern int32_t RIGHT;
extern int32_t DNA;
extern uint32_t CHUNK;
extern uint32_t OVERLAP;
extern uint32_t PREAMBLE;
extern uint32_t HEAPSIZE;
extern int32_t OUTPUT_FILE;
extern int32_t NODE_OUTPUT;
extern int32_t COMPRESS;
extern int32_t VERBOSE;
extern int32_t HISTOGRAM;
extern int32_t SPELL;
extern int32_t ROBUST;
extern int32_t IGNORE_CASE;   // --ignore-case: a, c, g, t and u are read as A, C, G, T and U
extern int32_t BOTH_STRANDS;  // --both-strands: queries match on either strand
// What the run prints: tag lines, or the signature regions as BED or FASTA (--format).
enum class Format { tags, bed, fasta };
extern Format FORMAT;
// Only tags of at least this many symbols count (--min-length); 1 keeps them all.
extern uint32_t MIN_LENGTH;
// Only tags of at most this many symbols count (--max-length); UINT32_MAX leaves OVERLAP - 1 the limit.
extern uint32_t MAX_LENGTH;
// --chunks FIRST-LAST: the run does only these chunks of the representative file (all by default).
extern uint64_t CHUNKS_FIRST;
extern uint64_t CHUNKS_LAST;
// --count-chunks: print the representative file's number of chunks and exit.
extern int32_t COUNT_CHUNKS;
// --merge: join the outputs of --chunks jobs, named by the arguments that are not options.
extern int32_t MERGE;
extern std::vector<std::string> MERGE_FILES;
// Threads that walk the queries and sweep the tree (--threads); 1 until the command line sets it.
extern uint32_t THREADS;
// --min-left: a tag is in at least this many left files, the representative counted (LEFT by default).
extern int32_t MIN_LEFT;
// --max-right: a tag is in at most this many right files (0 by default).
extern int32_t MAX_RIGHT;

// How the tag pass keeps a quorum per node. The left bound is the k-th smallest of the other
// left files' marks (k - 1 of them beside MAX), or, where that needs fewer, the k-th largest
// (k - 1 beside TMP); the right bound the k-th largest of the right files' marks.
enum class LeftOrder { none, smallest, largest };
struct QUORUM_PLAN {
  LeftOrder left = LeftOrder::smallest;
  uint32_t left_k = 1;        // 1 with LeftOrder::smallest: every other left file, folded as ever
  bool right_streamed = true;  // false: the right files cannot exclude a tag
  uint32_t right_k = 1;       // 1: the right files excluded together with the earlier chunks, as ever
  uint32_t slots = 0;         // 32-bit side slots a node, shared by the two stages
};
QUORUM_PLAN quorum_plan(int32_t left, int32_t min_left, int32_t right, int32_t max_right);
extern QUORUM_PLAN QUORUM;
// A --min-left or --max-right value, "N" or "P%" (P may have decimals), as a number of files
// out of `files`: P% rounds up and gives at least 1 for --min-left (`left`), rounds down for
// --max-right. A count beyond 4294967295 reads as 4294967295.
enum class FileCount { ok, not_a_number, negative, above_100 };
FileCount parse_file_count(const char* text, int32_t files, bool left, int64_t* count);

void createtree(int argc, char** argv);
std::vector<std::string> split(const char* str, int32_t* cnt);
// The names of a -L or -R list, each item "@PATH" replaced by the files that PATH lists.
std::vector<std::string> read_file_list(const char* list, int32_t* cnt);
std::vector<uint64_t> sizes(const std::vector<std::string>& strs, int32_t cnt);
uint32_t mem_windows();
[[noreturn]] void PrintUsage();

// Numeric option values: "%lu"-style, saturated at 4294967295 (negatives included).
void parse_u32(const char* text, uint32_t* value);
void parse_i32(const char* text, int32_t* value);
// "FIRST-LAST", two decimal chunk numbers with FIRST <= LAST; false for anything else.
bool parse_chunk_range(const char* text, uint64_t* first, uint64_t* last);
// A thread count: a whole number from 1 to MAX_THREADS, or the run ends with status 1.
void parse_threads(const char* text, uint32_t* value);
constexpr uint32_t MAX_THREADS = 1024;

// Memory sizing, split out so that its arithmetic can be checked on any figure.
uint32_t clamp_to_u32(uint64_t bytes);
uint64_t meminfo_available(const std::string& meminfo);
uint32_t heap_from_free(uint32_t free_mem);
// `node_bytes`: a node with its side slots (NODESIZE without); two nodes a symbol.
uint32_t chunk_from_heap(uint64_t largest, uint32_t heapsize, uint32_t node_bytes);

// Reads one range of a file through its byte source; a compressed source carries on its
// stream when ranges come in order. A FASTQ file is read from the chunk's own bytes on, its
// reads as records (fastq.h).
Text loadFileRange(ByteSource& source, uint64_t* length, uint64_t start, uint64_t end,
                   uint64_t preamble, uint32_t chunk, uint64_t* offset);
Text loadFileRange(const char* filename, uint64_t* length, uint64_t start, uint64_t end,
                   uint64_t preamble, uint32_t chunk, uint64_t* offset);
uint64_t filterStringPreamble(char* str, uint64_t len, uint64_t start, uint64_t preamble,
                              uint32_t chunk, uint64_t* offset);
int isCharacter(int ch);

// When set, the filters append every record start they meet here (the regions writer needs
// them).
extern std::vector<HeaderEvent>* HEADER_EVENTS;

// Hands the raw bytes of a whole file, in order, to `consume` in blocks; 0 if it cannot be read.
int32_t readFileBlocks(const char* filename, void (*consume)(const char* block, uint64_t size, void* state),
                       void* state);
