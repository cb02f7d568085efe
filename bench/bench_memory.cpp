// bench_memory: the floor under the walks, random cache lines of a large buffer.
//
//   bench_memory [mb=8,64,400] [loads=N]
//
// For each buffer size, with 2 MiB pages asked for (madvise) and without, times N
// random one-byte loads at line starts: independent loads, as many in flight as the
// core allows (what the walks' overlapped fetches can reach at best), and dependent
// ones, each address read from the line before (one miss at a time, the latency).
// Prints nanoseconds a line of each, the first-touch time of the buffer (faulting in
// and zeroing fresh pages, as a run's tree build does for its pool), and the load
// average at the start and the end.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench_clock.h"
namespace {

constexpr uint64_t LINE = 64;
constexpr uint64_t HUGE_PAGE = uint64_t{1} << 21;

uint64_t next_random(uint64_t* x) {
  *x ^= *x << 13;
  *x ^= *x >> 7;
  *x ^= *x << 17;
  return *x;
}

struct Figures {
  double touch_s, independent_ns, dependent_ns;
};

Figures measure(uint64_t bytes, bool huge, uint64_t loads) {
  unsigned char* p = static_cast<unsigned char*>(std::aligned_alloc(HUGE_PAGE, bytes));
  if (p == nullptr) {
    std::fprintf(stderr, "bench_memory: cannot allocate %llu bytes\n", static_cast<unsigned long long>(bytes));
    std::exit(2);
  }
  ::madvise(p, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  const uint64_t lines = bytes / LINE;
  double t0 = now();
  for (uint64_t i = 0; i < bytes; i += 4096) p[i] = 1;
  Figures f{};
  f.touch_s = now() - t0;
  // Every line holds the index of the next line of one random cycle through them all
  // (Sattolo's shuffle), for the dependent loads: a shorter cycle would stay in cache.
  uint64_t x = 88172645463325252u;
  std::vector<uint64_t> order(lines);
  for (uint64_t l = 0; l < lines; ++l) order[l] = l;
  for (uint64_t l = lines - 1; l > 0; --l) std::swap(order[l], order[next_random(&x) % l]);
  for (uint64_t l = 0; l < lines; ++l) std::memcpy(p + l * LINE, &order[l], sizeof order[l]);
  // The independent loads pick among the largest power of two of lines, by a mask: a
  // division at every load would count in the time.
  uint64_t span = 1;
  while (span * 2 <= lines) span *= 2;
  uint64_t sum = 0;
  t0 = now();
  for (uint64_t i = 0; i < loads; ++i) sum += p[(next_random(&x) & (span - 1)) * LINE];
  f.independent_ns = (now() - t0) / static_cast<double>(loads) * 1e9;
  uint64_t at = 0;
  t0 = now();
  for (uint64_t i = 0; i < loads / 4; ++i) std::memcpy(&at, p + at * LINE, sizeof at);
  f.dependent_ns = (now() - t0) / static_cast<double>(loads / 4) * 1e9;
  std::free(p);
  if (sum == 1 && at == 1) std::puts("");  // keeps the loads
  return f;
}

int usage() {
  std::fprintf(stderr, "usage: bench_memory [mb=8,64,400] [loads=N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes{8, 64, 400};
  uint64_t loads = 20000000;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg.rfind("mb=", 0) == 0) {
      sizes.clear();
      for (const char* s = arg.c_str() + 3; *s != '\0';) {
        char* end = nullptr;
        const uint64_t mb = std::strtoull(s, &end, 10);
        if (end == s || mb == 0) return usage();
        sizes.push_back(mb);
        s = *end == ',' ? end + 1 : end;
      }
    } else if (arg.rfind("loads=", 0) == 0) {
      loads = std::strtoull(arg.c_str() + 6, nullptr, 10);
      if (loads < 4) return usage();
    } else {
      return usage();
    }
  }
  std::printf("load average at start: %s\n", loadavg().c_str());
  std::printf("%8s %6s %12s %16s %14s\n", "MB", "pages", "first touch", "independent ns", "dependent ns");
  for (uint64_t mb : sizes) {
    for (bool huge : {true, false}) {
      const Figures f = measure(((mb << 20) + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE, huge, loads);
      std::printf("%8llu %6s %10.3f s %16.2f %14.2f\n", static_cast<unsigned long long>(mb), huge ? "2 MiB" : "4 KiB",
                  f.touch_s, f.independent_ns, f.dependent_ns);
    }
  }
  std::printf("load average at end: %s\n", loadavg().c_str());
  return 0;
}
