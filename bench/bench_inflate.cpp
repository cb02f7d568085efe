// Inflate throughput on a gzip'ed FASTA file: zlib, isa-l's igzip and htslib's BGZF reader,
// each streaming the whole file into a 1 MiB buffer, as the byte source does. Picks the
// library for compressed input; nothing here is used by xenvar itself.
//
// Usage: bench_inflate FILE.gz [MORE.gz...] [reps=N]
//        bench_inflate --write-bgzf PLAIN OUT.gz   (a BGZF copy, as bgzip would write it)
// Prints per library and file: the best of N wall times, MB/s of decompressed output and
// the ratio to zlib, with the sizes and the load average.
#include <htslib/bgzf.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

static std::vector<unsigned char> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(in), {}};
}

static constexpr size_t OUT = 1 << 20;

// zlib, gzip or zlib wrapper detected, every member in turn.
static uint64_t with_zlib(const std::vector<unsigned char>& in) {
  std::vector<unsigned char> out(OUT);
  z_stream z{};
  inflateInit2(&z, 15 + 32);
  z.next_in = const_cast<unsigned char*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  uint64_t total = 0;
  for (;;) {
    z.next_out = out.data();
    z.avail_out = OUT;
    int rc = inflate(&z, Z_NO_FLUSH);
    total += OUT - z.avail_out;
    if (rc == Z_STREAM_END) {
      if (z.avail_in == 0) break;
      inflateReset(&z);
    } else if (rc != Z_OK) {
      std::fprintf(stderr, "zlib error %d\n", rc);
      std::exit(1);
    }
  }
  inflateEnd(&z);
  return total;
}

// isa-l: one gzip member per state reset.
static uint64_t with_isal(const std::vector<unsigned char>& in) {
  std::vector<unsigned char> out(OUT);
  inflate_state s;
  isal_inflate_init(&s);
  s.crc_flag = ISAL_GZIP;
  s.next_in = const_cast<unsigned char*>(in.data());
  s.avail_in = static_cast<uint32_t>(in.size());
  uint64_t total = 0;
  for (;;) {
    s.next_out = out.data();
    s.avail_out = OUT;
    int rc = isal_inflate(&s);
    if (rc != ISAL_DECOMP_OK) {
      std::fprintf(stderr, "isa-l error %d\n", rc);
      std::exit(1);
    }
    total += OUT - s.avail_out;
    if (s.block_state == ISAL_BLOCK_FINISH) {
      if (s.avail_in == 0) break;
      unsigned char* next = s.next_in;
      uint32_t avail = s.avail_in;
      isal_inflate_reset(&s);
      s.crc_flag = ISAL_GZIP;
      s.next_in = next;
      s.avail_in = avail;
    }
  }
  return total;
}

// htslib reads from the file itself (through hFILE), one thread.
static uint64_t with_htslib(const char* path) {
  BGZF* f = bgzf_open(path, "r");
  std::vector<unsigned char> out(OUT);
  uint64_t total = 0;
  for (ssize_t n; (n = bgzf_read(f, out.data(), OUT)) > 0;) total += static_cast<uint64_t>(n);
  bgzf_close(f);
  return total;
}

static double best_of(int reps, const std::function<uint64_t()>& run, uint64_t* bytes) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    *bytes = run();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

static void bench_file(const char* path, int reps) {
  const std::vector<unsigned char> in = read_file(path);
  uint64_t bytes = 0;
  struct Row { const char* name; double seconds; };
  std::vector<Row> rows;
  rows.push_back({"zlib inflate", best_of(reps, [&] { return with_zlib(in); }, &bytes)});
  rows.push_back({"isa-l isal_inflate", best_of(reps, [&] { return with_isal(in); }, &bytes)});
  rows.push_back({"htslib bgzf_read", best_of(reps, [&] { return with_htslib(path); }, &bytes)});
  std::printf("%s: %.1f MB compressed, %.1f MB decompressed (best of %d)\n", path, in.size() / 1e6,
              bytes / 1e6, reps);
  for (const Row& r : rows)
    std::printf("  %-20s %7.3f s %8.1f MB/s  %.2fx zlib\n", r.name, r.seconds, bytes / 1e6 / r.seconds,
                rows[0].seconds / r.seconds);
}

static int write_bgzf(const char* plain, const char* out) {
  const std::vector<unsigned char> in = read_file(plain);
  BGZF* f = bgzf_open(out, "w");
  if (f == nullptr || bgzf_write(f, in.data(), in.size()) < 0 || bgzf_close(f) != 0) return 1;
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--write-bgzf") == 0) return write_bgzf(argv[2], argv[3]);
  int reps = 5;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "reps=", 5) == 0) reps = std::atoi(argv[i] + 5);
    else files.push_back(argv[i]);
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: bench_inflate FILE.gz [MORE.gz...] [reps=N]\n");
    return 1;
  }
  std::ifstream load("/proc/loadavg");
  std::string avg;
  std::getline(load, avg);
  std::printf("load average at start: %s (1 thread)\n", avg.c_str());
  for (const char* f : files) bench_file(f, reps);
  return 0;
}
