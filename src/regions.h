// Signature regions: the stretches of the representative sequence covered by occurrences
// of tags, merged across chunks, placed in their records and written as BED6 or FASTA.
#pragma once

#include <cstdint>
#include <vector>

#include "suffix_tree.h"
#include "treecreate.h"

// Reads the record names of the representative file once, before its first chunk.
void regions_begin(const char* filename);
// The chunk about to be passed: its first position in the whole sequence, the next chunk's
// first position, and the headers its filter met (kept indices within the chunk).
void regions_chunk_start(uint64_t offset, uint64_t next_offset, const std::vector<HeaderEvent>& headers);
// Writes the regions of the chunk's tags, or keeps those that may still grow into the next
// chunk. `tree` as the report left it; `str` the chunk's masked text of `length` symbols.
void regions_chunk(SUFFIX_TREE* tree, uint32_t NODES, const char* str, uint64_t length);
// Writes the regions still kept; after the last chunk.
void regions_finish();

