#include "source.h"

#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common.h"

// isa-l's igzip inflates DNA FASTA 2.5 to 3.7 times as fast as zlib, one thread
// (bench/bench_inflate.cpp).
static constexpr uint32_t INPUT_BYTES = 1 << 18;
static constexpr uint64_t SKIP_BYTES = 1 << 18;

struct GzipStream {
  int fd = -1;
  inflate_state state;
  std::vector<unsigned char> input = std::vector<unsigned char>(INPUT_BYTES);
  uint64_t file_pos = 0;  // the next compressed byte to read
  bool file_end = false;  // every compressed byte has been read
  uint64_t out_pos = 0;   // decompressed bytes produced since the start
  std::string carry;      // decompressed bytes [carry_start, out_pos), kept for the next read
  uint64_t carry_start = 0;
  uint64_t inflated = 0;
  uint32_t passes = 0;
  int first = -1;  // the first decompressed byte, once inflated
  ~GzipStream() {
    if (fd >= 0) ::close(fd);
  }
};

void GzipStreamDeleter::operator()(GzipStream* stream) const { delete stream; }

ByteSource::~ByteSource() {
  if (fd >= 0) ::close(fd);
}

ByteSource source_for(const std::string& name, uint64_t measured_size) {
  return ByteSource{name, measured_size, -1, nullptr};
}

// Opens a file read-only; -1 unless it is a readable regular file.
static int open_regular_file(const char* name, uint64_t* size) {
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// A gzip member starts with the bytes 1f 8b; FASTA and plain sequence never do.
static bool starts_gzip(int fd) {
  unsigned char magic[2];
  return ::pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

static void begin_member(GzipStream& g, const char* name) {
  uint8_t* next = g.state.next_in;
  uint32_t avail = g.state.avail_in;
  // Whatever follows a member must be another member, not stray bytes.
  if (next[0] != 0x1f || (avail > 1 && next[1] != 0x8b)) fatal(1, "Corrupt gzip data in file %s.\n", name);
  isal_inflate_reset(&g.state);
  g.state.crc_flag = ISAL_GZIP;  // header parsed, CRC and length checked
  g.state.next_in = next;
  g.state.avail_in = avail;
}

static void rewind_stream(GzipStream& g) {
  isal_inflate_init(&g.state);
  g.state.crc_flag = ISAL_GZIP;
  g.state.next_in = g.input.data();
  g.state.avail_in = 0;
  g.file_pos = 0;
  g.file_end = false;
  g.out_pos = 0;
  g.carry.clear();
  g.carry_start = 0;
  ++g.passes;
}

static void refill(GzipStream& g, const char* name) {
  ssize_t n = ::pread(g.fd, g.input.data(), g.input.size(), static_cast<off_t>(g.file_pos));
  if (n < 0) fatal(1, "Cannot read file %s.\n", name);
  g.file_end = n == 0;
  g.file_pos += static_cast<uint64_t>(n);
  g.state.next_in = g.input.data();
  g.state.avail_in = static_cast<uint32_t>(n);
}

// Inflates up to n bytes into `out`, member after member; fewer only at the end of the data.
static uint64_t inflate_into(GzipStream& g, const char* name, char* out, uint64_t n) {
  uint64_t produced = 0;
  while (produced < n) {
    if (g.state.avail_in == 0 && !g.file_end) refill(g, name);
    if (g.state.block_state == ISAL_BLOCK_FINISH) {
      if (g.state.avail_in == 0) {
        if (g.file_end) break;  // the last member is complete: the end of the data
        continue;
      }
      begin_member(g, name);
    }
    uint32_t room = static_cast<uint32_t>(std::min<uint64_t>(n - produced, 1u << 30));
    g.state.next_out = reinterpret_cast<uint8_t*>(out + produced);
    g.state.avail_out = room;
    if (isal_inflate(&g.state) != ISAL_DECOMP_OK) fatal(1, "Corrupt gzip data in file %s.\n", name);
    uint64_t got = room - g.state.avail_out;
    produced += got;
    // Nothing more to read, nothing produced, and the member is still open: the file was cut.
    if (got == 0 && g.state.avail_in == 0 && g.file_end && g.state.block_state != ISAL_BLOCK_FINISH)
      fatal(1, "Truncated gzip data in file %s.\n", name);
  }
  if (g.out_pos == 0 && produced > 0) g.first = static_cast<unsigned char>(out[0]);
  g.out_pos += produced;
  g.inflated += produced;
  return produced;
}

static std::unique_ptr<GzipStream, GzipStreamDeleter> open_stream(int fd) {
  std::unique_ptr<GzipStream, GzipStreamDeleter> g(new GzipStream);
  g->fd = fd;
  rewind_stream(*g);
  return g;
}

// Inflates from where the stream stands to the end; returns the stream's position there.
static uint64_t inflate_to_end(GzipStream& g, const char* name) {
  std::vector<char> scratch(SKIP_BYTES);
  while (inflate_into(g, name, scratch.data(), scratch.size()) == scratch.size()) {
  }
  return g.out_pos;
}

bool source_size(const char* name, uint64_t* size, int* first_byte) {
  int fd = open_regular_file(name, size);
  if (fd < 0) return false;
  if (!starts_gzip(fd)) {
    unsigned char first = 0;
    if (first_byte) *first_byte = ::pread(fd, &first, 1, 0) == 1 ? first : -1;
    ::close(fd);
    return true;
  }
  std::unique_ptr<GzipStream, GzipStreamDeleter> g = open_stream(fd);
  *size = inflate_to_end(*g, name);
  if (first_byte) *first_byte = g->first;
  return true;
}

bool source_begin(ByteSource& source, uint64_t* size) {
  if (source.stream) {
    *size = source.measured;
    return true;
  }
  if (source.fd >= 0) ::close(source.fd);
  source.fd = open_regular_file(source.name.c_str(), size);
  if (source.fd < 0) return false;
  if (!starts_gzip(source.fd)) return true;
  source.stream = open_stream(source.fd);
  source.fd = -1;
  if (source.measured == UINT64_MAX) {
    source.measured = inflate_to_end(*source.stream, source.name.c_str());
    rewind_stream(*source.stream);
  }
  *size = source.measured;
  return true;
}

static uint64_t read_plain(ByteSource& source, uint64_t start, uint64_t n, char* buf) {
  // A file that shrank since it was measured gives what it still has.
  uint64_t got = 0;
  while (got < n) {
    ssize_t k = ::pread(source.fd, buf + got, n - got, static_cast<off_t>(start + got));
    if (k <= 0) break;
    got += static_cast<uint64_t>(k);
  }
  ::close(source.fd);
  source.fd = -1;
  return got;
}

// Brings the stream to `start`: from the bytes kept by the last read where they reach it,
// else inflating on, or again from the file's start for a range behind the kept bytes.
// Returns how many bytes of [start, start + n) it copied into `buf` from the kept bytes.
static uint64_t seek_stream(GzipStream& g, const char* name, uint64_t start, uint64_t n, char* buf) {
  if (start < g.carry_start) rewind_stream(g);
  if (start <= g.out_pos && start >= g.carry_start) {
    uint64_t k = std::min(n, g.out_pos - start);
    std::memcpy(buf, g.carry.data() + (start - g.carry_start), k);
    return k;
  }
  std::vector<char> scratch(std::min<uint64_t>(start - g.out_pos, SKIP_BYTES));
  while (g.out_pos < start) {
    uint64_t want = std::min<uint64_t>(start - g.out_pos, scratch.size());
    if (inflate_into(g, name, scratch.data(), want) < want) break;
  }
  return 0;
}

static uint64_t read_compressed(ByteSource& source, uint64_t start, uint64_t n, char* buf,
                                uint64_t keep_from) {
  GzipStream& g = *source.stream;
  const char* name = source.name.c_str();
  uint64_t got = seek_stream(g, name, start, n, buf);
  if (g.out_pos < start) return 0;  // the data ends before the range
  if (start + got < g.out_pos) {
    // The whole range came from the kept bytes; keep what the next read may still share.
    if (keep_from > g.carry_start) {
      uint64_t drop = std::min<uint64_t>(keep_from - g.carry_start, g.carry.size());
      g.carry.erase(0, drop);
      g.carry_start += drop;
    }
    return got;
  }
  got += inflate_into(g, name, buf + got, n - got);
  // A read that carries on where the kept bytes end, keeping bytes from before its start
  // (a FASTQ chunk that reads on past its range), keeps those too.
  if (keep_from < start && keep_from >= g.carry_start && start <= g.carry_start + g.carry.size()) {
    g.carry.resize(start - g.carry_start);
    g.carry.erase(0, keep_from - g.carry_start);
    g.carry_start = keep_from;
    g.carry.append(buf, g.out_pos - start);
    return got;
  }
  uint64_t from = std::max(keep_from, start);
  if (from >= g.out_pos) {
    g.carry.clear();
    g.carry_start = g.out_pos;
  } else {
    g.carry.assign(buf + (from - start), g.out_pos - from);
    g.carry_start = from;
  }
  return got;
}

uint64_t source_read(ByteSource& source, uint64_t start, uint64_t n, char* buf, uint64_t keep_from) {
  if (source.stream) return read_compressed(source, start, n, buf, keep_from);
  return read_plain(source, start, n, buf);
}

bool source_is_compressed(const ByteSource& source) { return source.stream != nullptr; }
uint64_t source_inflated(const ByteSource& source) { return source.stream ? source.stream->inflated : 0; }
uint32_t source_passes(const ByteSource& source) { return source.stream ? source.stream->passes : 0; }
