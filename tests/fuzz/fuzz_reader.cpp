// Reader and filter: every chunk of a fuzzed file through loadFileRange, against a plain
// byte-by-byte filter of the chunk's window. The first four bytes choose the geometry. A raw
// compressed file (fuzzed bytes behind a gzip header) must read as zlib decodes it, or, where
// zlib refuses it, end the run with a gzip message and status 1.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_common.h"
#include "source.h"
#include "treecreate.h"
#include "xenvar.h"

namespace {

// What the filter must keep of window `w` (file bytes from `start`): symbols from raw index
// `preamble` on; a header line is skipped to its line break and leaves an "N" unless it lies
// in the preamble or opens the file. Returns the text; `own` counts the chunk's own symbols.
std::string reference_filter(const std::string& w, uint64_t start, uint64_t preamble, uint64_t chunk,
                             bool dna, bool ignore_case, uint64_t* own) {
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
    const bool small = std::strchr("acgtu", ch) != nullptr;  // NUL is gone by now
    out += ignore_case && small ? static_cast<char>(ch - 'a' + 'A') : ch, *own += mine;
  }
  return out;
}

void check_chunk(ByteSource& source, const std::string& file, uint64_t c) {
  uint64_t start = 0, end = 0, preamble = 0, length = 7, offset = 7;
  chunks(c, CHUNK, OVERLAP, PREAMBLE, &start, &end, &preamble);
  Text text = loadFileRange(source, &length, start, end, preamble, CHUNK, &offset);
  // Within the file a range always holds a byte; its window ends at the file's last byte.
  fuzz::require(text != nullptr, "a chunk inside the file loads");
  const std::string window = file.substr(start, end - start + 1);
  uint64_t own = 0;
  const std::string expected = reference_filter(window, start, preamble, CHUNK, DNA, IGNORE_CASE, &own);
  fuzz::require(length == expected.size() + 1, "length is the kept symbols plus the NUL");
  fuzz::require(length <= window.size() + 1, "no more symbols than window bytes");
  fuzz::require(text[length - 1] == '\0', "the text ends with a NUL");
  fuzz::require(std::memcmp(text.get(), expected.data(), expected.size()) == 0, "the text as filtered");
  fuzz::require(offset == own, "the in-chunk offset counts the chunk's own symbols");
  std::string seen = window;  // the window's bytes as the reader may give them
  for (char& ch : seen)
    if (IGNORE_CASE && std::strchr("acgtu", ch) != nullptr && ch != '\0') ch = static_cast<char>(ch - 'a' + 'A');
  for (uint64_t i = 0; i < expected.size(); ++i)
    fuzz::require(text[i] == 'N' || seen.find(text[i]) != std::string::npos, "no byte from outside the window");
}

// Every chunk of `file`, stored at `path` in some form, read in order from one source as the
// chunk loop reads them, and a range past its end.
void check_file(const std::string& path, const std::string& file) {
  uint64_t size = 7;
  fuzz::require(source_size(path.c_str(), &size) && size == file.size(), "the size is that of the content");
  ByteSource source = source_for(path, size);
  for (uint64_t c = 0; c < nb_of_chunks(CHUNK, file.size()); ++c) check_chunk(source, file, c);
  uint64_t length = 7, offset = 7;
  fuzz::require(!loadFileRange(path.c_str(), &length, file.size(), file.size() + 10, 0, CHUNK, &offset) &&
                    length == 0 && offset == 7,
                "a range past the end is empty and leaves the offset alone");
}

// zlib's reading of gzip data, member after member; false where it finds the data corrupt or
// cut short, or where it would inflate to more than `cap` bytes.
bool gunzip(const std::string& in, std::string* out, size_t cap, bool* too_big) {
  size_t pos = 0;
  *too_big = false;
  do {
    if (in.size() - pos < 2 || in[pos] != '\x1f' || in[pos + 1] != '\x8b') return false;
    z_stream z{};
    if (inflateInit2(&z, 16 + 15) != Z_OK) fuzz::require(false, "inflateInit2");
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + pos));
    z.avail_in = static_cast<uInt>(in.size() - pos);
    int rc = Z_OK;
    while (rc == Z_OK && !*too_big) {
      char buf[4096];
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      rc = inflate(&z, Z_NO_FLUSH);
      out->append(buf, sizeof buf - z.avail_out);
      *too_big = out->size() > cap;
    }
    pos += z.total_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return false;
  } while (pos < in.size());
  return true;
}

// The target links with exit wrapped (-Wl,--wrap=exit): while a check expects the run to
// end, ending it throws back to the check instead, and the stack unwinds, its files closed.
bool EXIT_EXPECTED = false;
struct Exited { int status; };

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (EXIT_EXPECTED) throw Exited{status};
  __real_exit(status);
}

namespace {

// Data that zlib refuses ends the run with status 1 and a message naming the gzip data; never
// a crash, and never symbols read as though nothing were wrong. Measuring the file's size,
// as every run does first, meets the fault.
void check_refused(const std::string& path) {
  const std::string err_path = fuzz::scratch_dir() + "/reader.err";
  std::fflush(stderr);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), saved = ::dup(2);
  fuzz::require(err >= 0 && saved >= 0, "redirecting standard error");
  ::dup2(err, 2);
  int status = -1;
  EXIT_EXPECTED = true;
  try {
    uint64_t size = 0;
    source_size(path.c_str(), &size);
  } catch (const Exited& e) {
    status = e.status;
  }
  EXIT_EXPECTED = false;
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(err), ::close(saved);
  std::ifstream in(err_path, std::ios::binary);
  const std::string message{std::istreambuf_iterator<char>(in), {}};
  fuzz::require(status == 1, "refused gzip data ends the run with status 1", std::to_string(status) + "\n" + message);
  const std::string tail = " gzip data in file " + path + ".\n";
  fuzz::require(message == "Corrupt" + tail || message == "Truncated" + tail, "the message names the gzip data",
                message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Header: chunk, overlap and preamble (small, or the largest setting), then flags: bit 0
  // -N, bits 1-2 the file's form, bit 3 --ignore-case, bit 4 the content is raw compressed
  // data, bits 5-7 the largest preamble, overlap and chunk.
  const uint8_t flags = data[3];
  CHUNK = flags & 0x80 ? UINT32_MAX : 1 + data[0];
  OVERLAP = flags & 0x40 ? UINT32_MAX : 1 + data[1] % 64;
  PREAMBLE = flags & 0x20 ? UINT32_MAX : data[2] % 64;
  DNA = flags & 1 ? 0 : 1;
  IGNORE_CASE = flags >> 3 & 1;
  const std::string content(reinterpret_cast<const char*>(data) + 4, size - 4);
  if (flags & 0x10) {
    const std::string gzip = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + content;
    const std::string path = fuzz::scratch_file("reader", gzip);
    std::string file;
    bool too_big = false;
    if (gunzip(gzip, &file, 1 << 16, &too_big)) check_file(path, file);
    else if (!too_big) check_refused(path);
    return 0;
  }
  if (fuzz::reads_as_gzip(content) && (flags & 6) == 0) return 0;  // not plain: the raw form covers it
  check_file(fuzz::scratch_file("reader", fuzz::stored(content, flags >> 1)), content);
  return 0;
}
