// Reader and filter: every chunk of a fuzzed file through loadFileRange, against a plain
// byte-by-byte filter of the chunk's window. The first four bytes choose the geometry.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "treecreate.h"
#include "xenvar.h"

namespace {

// What the filter must keep of window `w` (file bytes from `start`): symbols from raw index
// `preamble` on; a header line is skipped to its line break and leaves an "N" unless it lies
// in the preamble or opens the file. Returns the text; `own` counts the chunk's own symbols.
std::string reference_filter(const std::string& w, uint64_t start, uint64_t preamble, uint64_t chunk,
                             bool dna, uint64_t* own) {
  std::string out;
  bool header = false;
  *own = 0;
  for (uint64_t i = 0; i < w.size(); ++i) {
    const char ch = w[i];
    const bool mine = i >= preamble && i - preamble < chunk;
    if (dna && ch == '>') {
      if (i >= preamble && (start != 0 || !out.empty() || header)) out += 'N', *own += mine;
      header = true;
      while (i + 1 < w.size() && w[i + 1] != '\n' && w[i + 1] != '\r') ++i;
      ++i;  // the line break goes with the header
      continue;
    }
    if (i < preamble || std::strchr(" \t\n\r>", ch) != nullptr) continue;  // NUL too
    out += ch, *own += mine;
  }
  return out;
}

void check_chunk(const std::string& path, const std::string& file, uint64_t c) {
  uint64_t start = 0, end = 0, preamble = 0, length = 7, offset = 7;
  chunks(c, CHUNK, OVERLAP, PREAMBLE, &start, &end, &preamble);
  Text text = loadFileRange(path.c_str(), &length, start, end, preamble, CHUNK, &offset);
  // Within the file a range always holds a byte; its window ends at the file's last byte.
  fuzz::require(text != nullptr, "a chunk inside the file loads");
  const std::string window = file.substr(start, end - start + 1);
  uint64_t own = 0;
  const std::string expected = reference_filter(window, start, preamble, CHUNK, DNA, &own);
  fuzz::require(length == expected.size() + 1, "length is the kept symbols plus the NUL");
  fuzz::require(length <= window.size() + 1, "no more symbols than window bytes");
  fuzz::require(text[length - 1] == '\0', "the text ends with a NUL");
  fuzz::require(std::memcmp(text.get(), expected.data(), expected.size()) == 0, "the text as filtered");
  fuzz::require(offset == own, "the in-chunk offset counts the chunk's own symbols");
  for (uint64_t i = 0; i < expected.size(); ++i)
    fuzz::require(text[i] == 'N' || window.find(text[i]) != std::string::npos, "no byte from outside the window");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Header: chunk, overlap and preamble (small, or the largest setting), then flags: bit 0
  // -N, bits 1-2 the file's form, bits 3-4 free for settings to come, bits 5-7 the largest
  // preamble, overlap and chunk.
  const uint8_t flags = data[3];
  CHUNK = flags & 0x80 ? UINT32_MAX : 1 + data[0];
  OVERLAP = flags & 0x40 ? UINT32_MAX : 1 + data[1] % 64;
  PREAMBLE = flags & 0x20 ? UINT32_MAX : data[2] % 64;
  DNA = flags & 1 ? 0 : 1;
  const std::string file(reinterpret_cast<const char*>(data) + 4, size - 4);
  const std::string path = fuzz::scratch_file("reader", fuzz::stored(file, flags >> 1));
  for (uint64_t c = 0; c < nb_of_chunks(CHUNK, file.size()); ++c) check_chunk(path, file, c);
  uint64_t length = 7, offset = 7;
  fuzz::require(!loadFileRange(path.c_str(), &length, file.size(), file.size() + 10, 0, CHUNK, &offset) &&
                    length == 0 && offset == 7,
                "a range past the end is empty and leaves the offset alone");
  return 0;
}
