// Reads as records: the FASTQ parser, and for each file of the run the parser's state at the
// chunk starts met so far, so that a chunk of a FASTQ file is read from its own first byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "source.h"

// A chunk's filtered text, NUL-terminated, released with free().
using Text = std::unique_ptr<char[], FreeDeleter>;

// A record start that a chunk's filter met: the kept index where the record begins, the file
// offset of its header's first byte ('>' or '@') and, for a read, the first word of its header
// (the regions writer finds FASTA names itself).
struct HeaderEvent {
  uint64_t kept;
  uint64_t raw;
  std::string name;
};

// What the lists found a file to be: FASTQ when its content begins with '@'. Forgets what an
// earlier run in this process learnt of a file by that name.
void fastq_register(const std::string& name, bool fastq);
// True for a file registered as FASTQ.
bool fastq_file(const std::string& name);
// True when the source's content begins with '@': from the registration, else read from it.
bool fastq_source(ByteSource& source);

// The chunk of a FASTQ file that owns bytes [own_start, own_start + chunk): the sequence symbols
// of its own bytes (and an "N" where a read but the file's first begins) first, counted in
// `offset`, then those of the bytes up to `end` (inclusive), then, while the range ends inside
// a read's sequence, that read's next symbols until `overlap` - 1 symbols follow the own ones.
// Null with `length` 0 when the chunk starts past the data. A malformed record ends the run.
Text fastq_load(ByteSource& source, uint64_t size, uint64_t own_start, uint32_t chunk, uint64_t end,
                uint32_t overlap, uint64_t* length, uint64_t* offset, std::vector<HeaderEvent>* events);
