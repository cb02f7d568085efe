// Chunk geometry, the chunk loop and the per-chunk tag pass.
#pragma once

#include <cstdint>

#include "suffix_tree.h"

uint64_t nb_of_chunks(uint32_t chunk, uint64_t length);
void chunks(uint64_t i, uint32_t _chunk, uint32_t _overlap, uint32_t _preamble, uint64_t* start,
            uint64_t* end, uint64_t* preamble);
void pintTime(int32_t verbose);
int32_t cleanup(char* str, uint64_t len);

// Moves the smallest left file to the front; returns 1 when it had to move.
int32_t choose_representative();
// Runs the tag pass on one chunk of the representative file and reports its tags.
// `rep_compressed`: the representative file is compressed, so its chunk is not read twice.
void tag_pass(uint64_t c1, char* str, uint64_t len, uint64_t start1, uint64_t end1,
              uint64_t preamble1, uint64_t offset, bool rep_compressed);
// Reverse complement of a query text in place; symbols other than A, C, G, T, U match nothing.
void reverse_complement(char* str, uint64_t len);
// Symbols of the representative sequence that come before chunk `first`; with `regions`,
// the records that those chunks open are registered for the regions of later chunks.
struct ByteSource;
uint64_t offset_before(ByteSource& rep, uint64_t first, bool regions);
// The chunk loop over settings already read; returns with standard output not yet flushed,
// so that a caller can run it more than once in one process.
void run_chunks();
[[noreturn]] void run(int argc, char** argv);
