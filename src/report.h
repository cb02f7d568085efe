// Tag lines of a chunk, the tag-length histogram, and checked standard output.
#pragma once

#include <cstdint>
#include <vector>

#include "suffix_tree.h"

extern std::vector<uint64_t> hist_min;
extern std::vector<uint64_t> hist_max;
extern uint32_t hmax;
extern uint64_t htmp;

void hist_init();
void hist_count(const SUFFIX_TREE* tree, uint32_t NODES);
void hist_print();

// Turns the bounds of a chunk's tree into string depths, capped to the lengths a tag may
// have, and counts them for the histogram: what every output format reads.
void report_bounds(SUFFIX_TREE* tree, uint32_t NODES);
// Prints the tag lines of one chunk after report_bounds; `str` is its (masked) text,
// `offset` the running offset.
void report(SUFFIX_TREE* tree, uint32_t NODES, const char* str, uint64_t offset);

// Standard output is written in large blocks; failures end the run with status 1.
void out_init();
void out_write(const char* data, uint64_t size);
void out_check();
[[noreturn]] void out_finish_and_exit();
