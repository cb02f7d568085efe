// Reader and filter: every chunk of a fuzzed file through loadFileRange, against a plain
// byte-by-byte filter of the chunk's window, or, for content that begins with '@', against a
// plain FASTQ reader (what it refuses must end the run with its message). The first four bytes
// choose the geometry. A raw compressed file (fuzzed bytes behind a gzip header) must read as
// zlib decodes it, or, where zlib refuses it, end the run with a gzip message and status 1.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
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
  const uint64_t size = sizes({path}, 1)[0];  // as the lists measure and register it
  fuzz::require(size == file.size(), "the size is that of the content");
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

// Runs `body`, which must end the run: gives its exit status (-1 if it returned) and what it
// wrote on standard error.
std::string run_to_exit(const std::function<void()>& body, int* status) {
  const std::string err_path = fuzz::scratch_dir() + "/reader.err";
  std::fflush(stderr);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), saved = ::dup(2);
  fuzz::require(err >= 0 && saved >= 0, "redirecting standard error");
  ::dup2(err, 2);
  *status = -1;
  EXIT_EXPECTED = true;
  try {
    body();
  } catch (const Exited& e) {
    *status = e.status;
  }
  EXIT_EXPECTED = false;
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(err), ::close(saved);
  std::ifstream in(err_path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Data that zlib refuses ends the run with status 1 and a message naming the gzip data; never
// a crash, and never symbols read as though nothing were wrong. Measuring the file's size,
// as every run does first, meets the fault.
void check_refused(const std::string& path) {
  int status = 0;
  const std::string message = run_to_exit([&] {
    uint64_t size = 0;
    source_size(path.c_str(), &size);
  }, &status);
  fuzz::require(status == 1, "refused gzip data ends the run with status 1", std::to_string(status) + "\n" + message);
  const std::string tail = " gzip data in file " + path + ".\n";
  fuzz::require(message == "Corrupt" + tail || message == "Truncated" + tail, "the message names the gzip data",
                message);
}

// ---------------------------------------------------------------- reads

// A FASTQ file as a plain line-by-line reader takes it: the whole text (reads joined by "N"),
// each symbol's file offset (an "N" stands at its read's '@') and read, and each read's
// sequence lines [after its header line, its '+'); or the message of its first fault.
struct Reads {
  std::string text;
  std::vector<uint64_t> at, read;
  std::vector<std::pair<uint64_t, uint64_t>> sequence;
  std::string error;
};

Reads reference_reads(const std::string& f, const std::string& path) {
  Reads r;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\0'; };
  auto line_end = [&](uint64_t p) { return std::min(f.find('\n', p), f.size()); };
  uint64_t pos = 0, n = 0;
  std::string name;
  auto fail = [&](const std::string& what) {
    r.error = what + " read " + std::to_string(r.sequence.size()) + (name.empty() ? "" : " (" + name + ")") +
              " of file " + path + ".\n";
    return r;
  };
  while (pos < f.size()) {
    uint64_t e = line_end(pos);
    if (std::all_of(f.begin() + pos, f.begin() + e, blank)) {
      pos = e + 1;
      continue;
    }
    if (f[pos] != '@') {
      r.error = "Header without '@' at read " + std::to_string(r.sequence.size() + 1) + " of file " + path + ".\n";
      return r;
    }
    name = f.substr(pos + 1, std::min(f.find_first_of(" \t\r\n", pos + 1), f.size()) - pos - 1);
    name = name.substr(0, std::min<size_t>(name.find('\0'), 200));  // as a message shows it
    r.sequence.push_back({e + 1, f.size()});
    if (r.sequence.size() > 1) r.text += 'N', r.at.push_back(pos), r.read.push_back(r.sequence.size() - 1);
    for (pos = e + 1, n = 0;; pos = e + 1) {  // sequence lines, to the '+' line
      if (pos >= f.size()) return fail("Truncated");
      if (f[pos] == '+') break;
      if (f[pos] == '@') return fail("Missing '+' line in");
      for (e = line_end(pos); pos < e; ++pos)
        if (!blank(f[pos])) r.text += f[pos], r.at.push_back(pos), r.read.push_back(r.sequence.size() - 1), ++n;
      if (e == f.size()) return fail("Truncated");
    }
    r.sequence.back().second = pos;
    for (uint64_t q = 0, end = line_end(pos); q < n;) {  // quality lines: as many symbols as the sequence
      pos = end + 1;
      if (pos >= f.size()) return fail("Truncated");
      end = line_end(pos);
      const uint64_t m = std::count_if(f.begin() + pos, f.begin() + end, [&](char c) { return !blank(c); });
      if (q + m > n) return fail(f[pos] == '@' ? "Quality shorter than the sequence in" : "Quality longer than the sequence in");
      q += m;
    }
    pos = line_end(pos) + 1;
  }
  return r;
}

// What chunk [own_start, own_start + CHUNK) of the reads must read: the symbols of its range,
// then, while the range ends inside a read's sequence lines, that read's next symbols until
// OVERLAP - 1 follow the chunk's own.
std::string expected_chunk(const Reads& r, uint64_t size, uint64_t own_start, uint64_t end, uint64_t* own) {
  std::string text;
  *own = 0;
  size_t k = std::lower_bound(r.at.begin(), r.at.end(), own_start) - r.at.begin();
  for (; k < r.at.size() && r.at[k] <= end; ++k) text += r.text[k], *own += r.at[k] - own_start < CHUNK;
  for (size_t read = 0; read < r.sequence.size() && end + 1 < size; ++read) {
    if (r.sequence[read].first > end + 1 || end >= r.sequence[read].second) continue;
    for (; k < r.at.size() && r.read[k] == read && text.size() - *own < uint64_t{OVERLAP} - 1; ++k) text += r.text[k];
  }
  return text;
}

// Reads, plain or gzip'ed: every chunk as the chunk loop reads them, one chunk again from a
// fresh source and from a file the lists never named, against the reads of a plain parser; or,
// where that parser finds a fault (or with -N), the run's end with its message.
void check_reads(const std::string& path, const std::string& file) {
  const std::vector<uint64_t> size = sizes({path}, 1);  // as the lists register it
  const Reads r = reference_reads(file, path);
  const uint64_t chunks_in_file = nb_of_chunks(CHUNK, file.size());
  auto load = [&](ByteSource& source, uint64_t c, uint64_t* length, uint64_t* offset) {
    uint64_t start = 0, end = 0, preamble = 0;
    chunks(c, CHUNK, OVERLAP, PREAMBLE, &start, &end, &preamble);
    return loadFileRange(source, length, start, end, preamble, CHUNK, offset);
  };
  auto check = [&](ByteSource& source, uint64_t c) {
    uint64_t length = 7, offset = 7, own = 0, start = 0, end = 0, preamble = 0;
    Text text = load(source, c, &length, &offset);
    chunks(c, CHUNK, OVERLAP, PREAMBLE, &start, &end, &preamble);
    std::string expected = expected_chunk(r, file.size(), start + preamble, std::min(end, file.size() - 1), &own);
    for (char& ch : expected)
      if (IGNORE_CASE && std::strchr("acgtu", ch) != nullptr && ch != '\0') ch = static_cast<char>(ch - 'a' + 'A');
    fuzz::require(text && length == expected.size() + 1 && text[length - 1] == '\0', "a chunk of reads: its length",
                  std::to_string(length), std::to_string(expected.size() + 1));
    fuzz::require(std::memcmp(text.get(), expected.data(), expected.size()) == 0 && offset == own,
                  "a chunk of reads: its symbols and in-chunk count", std::string(text.get()) + " " + std::to_string(offset),
                  expected + " " + std::to_string(own));
  };
  if (!r.error.empty() || !DNA) {
    int status = 0;
    const std::string message = run_to_exit([&] {
      ByteSource source = source_for(path, size[0]);
      for (uint64_t c = 0, length = 0, offset = 0; c < chunks_in_file; ++c) load(source, c, &length, &offset);
    }, &status);
    const std::string expected = DNA ? r.error : "Option -N cannot be combined with FASTQ file " + path + ".\n";
    fuzz::require(status == 1 && message == expected, "malformed reads end the run", message, expected);
    return;
  }
  ByteSource source = source_for(path, size[0]);
  for (uint64_t c = 0; c < chunks_in_file; ++c) check(source, c);
  ByteSource again = source_for(path, size[0]);  // as the invalid-symbol stage reads its chunk
  check(again, chunks_in_file - 1);
  ByteSource unlisted = source_for(fuzz::scratch_file("reads-unlisted", file), UINT64_MAX);
  uint64_t a = 0, b = 0, x = 0, y = 0;
  Text from_start = load(unlisted, chunks_in_file / 2, &a, &b), listed = load(again, chunks_in_file / 2, &x, &y);
  fuzz::require(from_start && listed && a == x && b == y && std::memcmp(from_start.get(), listed.get(), a) == 0,
                "a file the lists never named reads the same");
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
    if (gunzip(gzip, &file, 1 << 16, &too_big)) (file.starts_with("@") ? check_reads : check_file)(path, file);
    else if (!too_big) check_refused(path);
    return 0;
  }
  if (fuzz::reads_as_gzip(content) && (flags & 6) == 0) return 0;  // not plain: the raw form covers it
  const std::string path = fuzz::scratch_file("reader", fuzz::stored(content, flags >> 1));
  (content.starts_with("@") ? check_reads : check_file)(path, content);
  return 0;
}
