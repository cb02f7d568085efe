// Byte sources: the bytes of a sequence file by range, read as they stand from a plain file
// and inflated from a gzip file (one or more members, BGZF included), told apart by the
// file's first two bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The inflate state of a compressed source; only source.cpp knows its fields.
struct GzipStream;
struct GzipStreamDeleter {
  void operator()(GzipStream* stream) const;
};

// One file read range by range. A plain file is opened again for every range, so that each
// range sees the file as it is then; a compressed one keeps its stream open between ranges.
struct ByteSource {
  std::string name;
  uint64_t measured = UINT64_MAX;  // decompressed size if known from the lists; else measured on demand
  int fd = -1;                     // a plain file: open from source_begin to the end of source_read
  std::unique_ptr<GzipStream, GzipStreamDeleter> stream;  // set once the file proved compressed
  ~ByteSource();
};

ByteSource source_for(const std::string& name, uint64_t measured_size);

// The size of a file as a sequence: its decompressed size when it is compressed (inflating it
// once, to the end), and when asked its first byte as a sequence (-1 for none). False when it
// cannot be opened or is not a regular file; a damaged compressed file ends the process.
bool source_size(const char* name, uint64_t* size, int* first_byte = nullptr);

// Readies the source for one range read; gives its size now (decompressed). False when the
// file cannot be opened or is not a regular file.
bool source_begin(ByteSource& source, uint64_t* size);

// Reads bytes [start, start + n) into `buf` and returns how many it got: fewer only at the end
// of the data. `keep_from` is where the next read will start: a compressed source keeps the
// bytes from there on, so that reading a file's chunks in order inflates it once. A damaged
// compressed file ends the process with a message naming it.
uint64_t source_read(ByteSource& source, uint64_t start, uint64_t n, char* buf, uint64_t keep_from);

bool source_is_compressed(const ByteSource& source);
// Bytes inflated so far and times a stream began again at the file's start (the first included).
uint64_t source_inflated(const ByteSource& source);
uint32_t source_passes(const ByteSource& source);
