#include "fastq.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

namespace {

// Where the parser stands in a record. A quality line may begin with '@' or '+': only the
// count of its symbols against the sequence's tells where the read ends.
enum class Place : uint8_t {
  header,           // at a line start where a header is due
  blank_line,       // in a line of blanks where a header is due
  name,             // in the first word of a header
  header_rest,      // in the rest of a header line
  sequence,         // at the start of a sequence line or of the '+' line
  sequence_line,    // in a sequence line
  plus_line,        // in the '+' line
  quality,          // at the start of a quality line
  quality_line,     // in a quality line
  quality_line_at,  // in a quality line that began with '@': maybe the next header
};

struct FastqState {
  uint64_t record = 0;     // reads begun: the current read's number, from 1
  uint64_t header_at = 0;  // file offset of its '@'
  uint64_t sequence = 0;   // its sequence symbols so far
  uint64_t quality = 0;    // its quality symbols so far
  Place place = Place::header;
  std::string name;  // the first word of its header, as far as read
};

// What the run knows of one file: a few states a chunk, so that a chunk read again, or after
// the ones before it, starts from where the parse stood at its first byte.
struct FastqFile {
  bool fastq = false;
  std::map<uint64_t, FastqState> states;  // by file offset: the state before that byte
};

// One parse of raw bytes, filtered in place: symbols go to the front of the same buffer.
struct Parse {
  FastqState state;
  char* buf = nullptr;
  uint64_t base = 0;            // file offset of buf[0]
  uint64_t kept = 0;            // symbols written to the front of buf
  uint64_t limit = UINT64_MAX;  // no more symbols than this
  bool one_sequence = false;    // stop where the sequence ends
  std::vector<HeaderEvent>* events = nullptr;
  const char* file = "";
};

}  // namespace

// The files of the run's lists, by name. Chunks outlive the byte sources that read them.
static std::unordered_map<std::string, FastqFile> READ_FILES;

void fastq_register(const std::string& name, bool fastq) { READ_FILES[name] = FastqFile{fastq, {}}; }

bool fastq_file(const std::string& name) {
  auto it = READ_FILES.find(name);
  return it != READ_FILES.end() && it->second.fastq;
}

bool fastq_source(ByteSource& source) {
  auto it = READ_FILES.find(source.name);
  if (it != READ_FILES.end()) return it->second.fastq;
  uint64_t size = 0;
  char first = 0;
  if (!source_begin(source, &size)) fatal(1, "Cannot open file %s.\n", source.name.c_str());
  bool reads = size > 0 && source_read(source, 0, 1, &first, 0) == 1 && first == '@';
  source_begin(source, &size);  // ready for the range read, as the caller left it
  return reads;
}

// ---------------------------------------------------------------- bytes of a line

// White space and CR: no symbol, in a sequence line or a quality line.
static bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\0'; }
static bool ends_name(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// No byte below '!' in [p, p + n), so every byte is a symbol: the common case, in one sweep
// the compiler vectorises.
static bool all_symbols(const char* p, uint64_t n) {
  unsigned char low = 0;
  for (uint64_t i = 0; i < n; ++i) low |= static_cast<unsigned char>(p[i]) < '!';
  return low == 0;
}

static uint64_t count_symbols(const char* p, uint64_t n) {
  if (n > 0 && p[n - 1] == '\r') --n;
  if (all_symbols(p, n)) return n;
  uint64_t k = 0;
  for (uint64_t i = 0; i < n; ++i) k += !is_blank(p[i]);
  return k;
}

// Index of the next line feed in [i, stop), or stop.
static uint64_t line_end(const char* b, uint64_t i, uint64_t stop) {
  const void* hit = std::memchr(b + i, '\n', stop - i);
  return hit ? static_cast<uint64_t>(static_cast<const char*>(hit) - b) : stop;
}

// ---------------------------------------------------------------- the parser

// Names the read by number and, when it is the current one and has one, by the first word of
// its header: "Truncated read 3 (r3) of file x.fq."
[[noreturn]] static void fail(const Parse& p, const char* what, uint64_t record) {
  const std::string& name = p.state.name;
  const int shown = static_cast<int>(std::min<size_t>(std::min<size_t>(name.find('\0'), name.size()), 200));
  if (shown == 0 || record != p.state.record) fatal(1, "%s read %" PRIu64 " of file %s.\n", what, record, p.file);
  fatal(1, "%s read %" PRIu64 " (%.*s) of file %s.\n", what, record, shown, name.data(), p.file);
}

[[noreturn]] static void fail_read(const Parse& p, const char* what) { fail(p, what, p.state.record); }

static void open_read(Parse& p, uint64_t i) {
  FastqState& s = p.state;
  // Reads are separated as FASTA records are: each but the file's first opens with an "N".
  if (++s.record > 1) p.buf[p.kept++] = 'N';
  s.header_at = p.base + i;
  s.sequence = s.quality = 0;
  s.name.clear();
  s.place = Place::name;
}

// Keeps the symbols of the sequence bytes [i, j), up to the parse's limit.
static void keep_sequence(Parse& p, uint64_t i, uint64_t j) {
  char* b = p.buf;
  uint64_t end = j > i && b[j - 1] == '\r' ? j - 1 : j;
  if (all_symbols(b + i, end - i)) {
    uint64_t n = end - i < p.limit - p.kept ? end - i : p.limit - p.kept;
    std::memmove(b + p.kept, b + i, n);  // kept <= i: only bytes already read are overwritten
    p.kept += n;
    p.state.sequence += n;
    return;
  }
  for (; i < j && p.kept < p.limit; ++i) {
    if (is_blank(b[i])) continue;
    b[p.kept++] = b[i];
    ++p.state.sequence;
  }
}

// Parses raw bytes [i, stop) of the buffer; returns where it stopped: at stop, or earlier
// where the limit or the end of the sequence (one_sequence) ends the parse.
static uint64_t parse(Parse& p, uint64_t i, uint64_t stop) {
  FastqState& s = p.state;
  char* b = p.buf;
  while (i < stop) {
    switch (s.place) {
      case Place::header: {
        char c = b[i++];
        if (c == '@') open_read(p, i - 1);
        else if (is_blank(c)) s.place = Place::blank_line;
        else if (c != '\n') fail(p, "Header without '@' at", s.record + 1);
        break;
      }
      case Place::blank_line: {
        char c = b[i++];
        if (c == '\n') s.place = Place::header;
        else if (!is_blank(c)) fail(p, "Header without '@' at", s.record + 1);
        break;
      }
      case Place::name: {
        uint64_t j = i;
        while (j < stop && !ends_name(b[j])) ++j;
        s.name.append(b + i, j - i);
        i = j;
        if (i == stop) break;
        if (p.events) p.events->push_back({p.kept, s.header_at, s.name});
        s.place = Place::header_rest;
        break;
      }
      case Place::header_rest:
      case Place::plus_line: {
        uint64_t j = line_end(b, i, stop);
        if (j == stop) return stop;
        i = j + 1;
        s.place = s.place == Place::header_rest ? Place::sequence : Place::quality;
        break;
      }
      case Place::sequence:
        if (b[i] == '@') fail_read(p, "Missing '+' line in");
        if (b[i] != '+') {
          s.place = Place::sequence_line;
          break;
        }
        ++i;
        s.place = Place::plus_line;
        if (p.one_sequence) return i;
        break;
      case Place::sequence_line: {
        uint64_t j = line_end(b, i, stop);
        keep_sequence(p, i, j);
        if (p.kept >= p.limit) return j;
        if (j == stop) return stop;
        i = j + 1;
        s.place = Place::sequence;
        break;
      }
      case Place::quality:
        // The read ends where its quality is as long as its sequence.
        if (s.quality == s.sequence) s.place = Place::header;
        else s.place = b[i] == '@' ? Place::quality_line_at : Place::quality_line;
        break;
      case Place::quality_line:
      case Place::quality_line_at: {
        uint64_t j = line_end(b, i, stop);
        s.quality += count_symbols(b + i, j - i);
        // A line from '@' that runs past the sequence is most likely the next header.
        if (s.quality > s.sequence)
          fail_read(p, s.place == Place::quality_line_at ? "Quality shorter than the sequence in"
                                                         : "Quality longer than the sequence in");
        if (j == stop) return stop;
        i = j + 1;
        s.place = Place::quality;
        break;
      }
    }
  }
  return i;
}

static bool in_sequence(const FastqState& s) { return s.place == Place::sequence || s.place == Place::sequence_line; }

// The end of the data: it may fall between two reads (blank lines included) or right after a
// complete quality, even without a final line break.
static void check_end(const Parse& p) {
  const FastqState& s = p.state;
  if (s.place == Place::header || s.place == Place::blank_line) return;
  bool after_plus = s.place == Place::plus_line || s.place == Place::quality || s.place == Place::quality_line ||
                    s.place == Place::quality_line_at;
  if (!after_plus || s.quality != s.sequence) fail_read(p, "Truncated");
}

// ---------------------------------------------------------------- chunks

static constexpr uint64_t SKIP_BYTES = 1 << 20;

static void begin_read(ByteSource& source) {
  uint64_t size = 0;
  if (!source_begin(source, &size)) fatal(1, "Cannot open file %s.\n", source.name.c_str());
}

// The parser's state before byte `at`: known from an earlier chunk, else parsed on, without
// output, from the latest state known before it (the file's start if none).
static FastqState state_at(FastqFile& file, ByteSource& source, uint64_t at) {
  Parse p;
  p.file = source.name.c_str();
  uint64_t from = 0;
  auto known = file.states.upper_bound(at);
  if (known != file.states.begin()) {
    --known;
    from = known->first;
    p.state = known->second;
  }
  if (from == at) return p.state;
  std::vector<char> block(at - from < SKIP_BYTES ? at - from : SKIP_BYTES);
  while (from < at) {
    uint64_t want = at - from < block.size() ? at - from : block.size();
    begin_read(source);
    uint64_t got = source_read(source, from, want, block.data(), at);
    p.buf = block.data();
    p.base = from;
    p.kept = 0;
    parse(p, 0, got);
    from += got;
    if (got < want) return p.state;  // the file shrank since it was measured
  }
  file.states.emplace(at, p.state);
  return p.state;
}

// Bytes to read for `need` more symbols of a sequence: its line breaks and some blanks too.
static uint64_t bytes_for(uint64_t need) { return need + need / 8 + 1024; }

// While the text ends inside a read's sequence, that read's next symbols, until the text holds
// `limit` symbols or the sequence ends. `at` is the next file byte to read; the buffer holds
// `room` bytes.
static void extend(Parse& p, Text& text, uint64_t room, ByteSource& source, uint64_t size, uint64_t at,
                   uint64_t keep_from) {
  p.one_sequence = true;
  while (in_sequence(p.state) && p.kept < p.limit) {
    if (at >= size) fail_read(p, "Truncated");
    uint64_t want = bytes_for(p.limit - p.kept);
    if (want > size - at) want = size - at;
    if (p.kept + want + 1 > room) {
      room = p.kept + want + 1;
      char* grown = static_cast<char*>(std::realloc(text.get(), room));
      if (grown == nullptr)
        fatal(1, "Reading file %s (%lu)... Out of memory.\n", p.file, static_cast<unsigned long>(room - 1));
      (void)text.release();
      text.reset(grown);
    }
    begin_read(source);
    uint64_t got = source_read(source, at, want, text.get() + p.kept, keep_from);
    p.buf = text.get();
    p.base = at - p.kept;
    parse(p, p.kept, p.kept + got);
    at += got;
    if (got < want) size = at;  // the data ends here
  }
}

Text fastq_load(ByteSource& source, uint64_t size, uint64_t own_start, uint32_t chunk, uint64_t end,
                uint32_t overlap, uint64_t* length, uint64_t* offset, std::vector<HeaderEvent>* events) {
  *length = 0;
  if (own_start >= size) return nullptr;
  if (end > size - 1) end = size - 1;
  if (end < own_start) end = own_start;
  FastqFile unlisted;  // a file the lists did not name: parsed from its start every time
  auto listed = READ_FILES.find(source.name);
  FastqFile& file = listed != READ_FILES.end() ? listed->second : unlisted;

  Parse p;
  p.state = state_at(file, source, own_start);
  p.file = source.name.c_str();
  p.events = events;
  uint64_t raw = end - own_start + 1;
  // Room to read on past the range, so that a chunk ending inside a read seldom moves its text.
  const uint64_t room = raw + 1 + (overlap < (1u << 20) ? bytes_for(overlap) : 0);
  Text text(static_cast<char*>(allocate_large(room)));
  if (!text) fatal(1, "Reading file %s (%lu)... Out of memory.\n", p.file, static_cast<unsigned long>(raw));
  const uint64_t own_end = own_start + chunk;
  begin_read(source);
  uint64_t got = source_read(source, own_start, raw, text.get(), own_end);
  p.buf = text.get();
  p.base = own_start;
  uint64_t own = got < chunk ? got : chunk;
  parse(p, 0, own);
  *offset = p.kept;
  // The next chunk starts where this one's own bytes end.
  if (own == chunk && own_end < size) file.states.emplace(own_end, p.state);
  parse(p, own, got);
  if (got < raw || own_start + got >= size) {
    check_end(p);
  } else {
    // A stretch of up to overlap - 1 symbols from the own bytes lies whole in the text.
    p.limit = *offset + overlap - 1;
    extend(p, text, room, source, size, own_start + got, own_end);
  }
  text[p.kept] = '\0';
  *length = p.kept + 1;
  return text;
}
