// bench_tree: time and memory of building one chunk's suffix tree, by the
// suffix array route (ST_CreateTree) and by the Ukkonen construction that it
// replaces (ST_CreateTreeUkkonen), with a check that both give the same pool.
//
//   bench_tree [reps=N] [threads=N] [case=NAME]... [fasta=PATH]
//
// threads: the --threads of the run (default 1); Ukkonen's construction has one.
// Cases (all seeded):
//   random5     5 Mbp of random DNA
//   random20    20 Mbp of random DNA
//   genome20    20 Mbp genome-like text: a random 200 kbp unit repeated,
//               each copy with 1 % point mutations
//   fasta       the FASTA file given by fasta=PATH (default
//               bench/data/Klebs_Kp1084.fna, see fetch_kleborate.sh), loaded
//               and masked as xenvar loads a chunk: one chunk of the whole file
// Without case= all cases run (fasta only when its file exists). Each
// repetition of a case and route runs in a fresh child process, so that its
// peak resident memory is its own: the child makes the text, builds the tree,
// frees it with ST_DeleteTree and reads VmHWM from /proc/self/status (reset
// with /proc/self/clear_refs once the text exists). Printed per case and
// route: symbols, build time (median of the repetitions) in wall and CPU
// seconds, seconds per Mbp, Mbp/s, nodes per symbol, and peak memory per
// symbol, both over the child's baseline before the text was made (text
// included) and for the tree alone; then the time ratio Ukkonen / suffix array
// and the result of the pool check (one more child builds both and compares
// the tree records, every node and the leaf index). The load average is
// printed too: on a busy machine the wall times mean little.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "seqgen.h"
#include "suffix_array_tree.h"
#include "suffix_tree.h"
#include "treecreate.h"
#include "xenvar.h"

namespace {

enum class Source { random, genome_like, fasta };

struct Case {
  const char* name;
  const char* what;
  uint64_t symbols;  // of the generated cases
  Source source;
  double min_mbp_per_s;  // speed target of the suffix array route
};

constexpr Case kCases[] = {
    {"random5", "random DNA", 5'000'000, Source::random, 4.5},
    {"random20", "random DNA", 20'000'000, Source::random, 3.0},
    {"genome20", "200 kbp unit repeated, 1% point mutations", 20'000'000, Source::genome_like, 3.0},
    {"fasta", "FASTA file, one chunk, masked", 0, Source::fasta, 4.5},
};
constexpr double kMaxBytesPerSymbol = 85.0;

enum class Route { suffix_array, ukkonen, compare };
const char* route_name(Route route) { return route == Route::ukkonen ? "ukkonen" : "sa"; }

std::string FASTA = "bench/data/Klebs_Kp1084.fna";

struct Result {
  double build_s = 0, build_cpu_s = 0, delete_s = 0;
  uint64_t nodes = 0;
  uint64_t rss_start_kb = 0, rss_text_kb = 0, hwm_kb = 0;
  uint64_t symbols = 0;
  int hwm_reset = 0;
  int ok = 0;
  int same = 0;  // Route::compare: both pools equal
};

uint64_t status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::strtoull(line.c_str() + n + 1, nullptr, 10);
  return 0;
}

bool reset_hwm() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  bool ok = std::fputs("5", f) >= 0;
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

// The text of a case, as the chunk loop hands it to the tree.
std::string make_text(const Case& c) {
  if (c.source == Source::fasta) {
    uint64_t length = 0, offset = 0;
    const uint64_t size = std::ifstream(FASTA, std::ios::binary | std::ios::ate).tellg();
    Text text = loadFileRange(FASTA.c_str(), &length, 0, size - 1, 0, static_cast<uint32_t>(size), &offset);
    if (!text) return "";
    cleanup(text.get(), length - 1);
    return std::string(text.get(), length - 1);
  }
  seqgen::Rng rng(c.source == Source::genome_like ? 20260 : 20250 + c.symbols / 1'000'000);
  return c.source == Source::genome_like ? seqgen::genome_like(rng, 200'000, c.symbols, 0.01)
                                         : seqgen::random_dna(rng, c.symbols);
}

SUFFIX_TREE* build(const std::string& text, Route route) {
  const unsigned char* str = reinterpret_cast<const unsigned char*>(text.data());
  return route == Route::ukkonen ? ST_CreateTreeUkkonen(str, text.size())
                                 : ST_CreateTree(str, text.size());
}

bool same_pool(const SUFFIX_TREE& a, const SUFFIX_TREE& b) {
  return a.e == b.e && a.length == b.length && a.root == b.root && a.NODE_INDEX == b.NODE_INDEX &&
         std::memcmp(&a.tree_string[1], &b.tree_string[1], a.length) == 0 &&
         std::memcmp(a.STACK.get(), b.STACK.get(), sizeof(NODE) * a.NODE_INDEX) == 0 &&
         std::memcmp(a.LEAVES.get(), b.LEAVES.get(), sizeof(NODE_REF) * (a.length + 1)) == 0;
}

Result run_case(const Case& c, Route route) {
  Result r;
  r.rss_start_kb = status_kb("VmRSS");
  std::string text = make_text(c);
  r.symbols = text.size();
  if (route == Route::compare) {
    TreePtr fast(build(text, Route::suffix_array));
    TreePtr reference(build(text, Route::ukkonen));
    r.ok = fast && reference;
    r.same = r.ok && same_pool(*fast, *reference);
    r.nodes = r.ok ? fast->NODE_INDEX : 0;
    return r;
  }
  r.hwm_reset = reset_hwm();
  r.rss_text_kb = status_kb("VmRSS");
  using clock = std::chrono::steady_clock;
  const double c0 = cpu_seconds();
  auto t0 = clock::now();
  SUFFIX_TREE* tree = build(text, route);
  auto t1 = clock::now();
  r.build_cpu_s = cpu_seconds() - c0;
  if (tree) {
    r.nodes = tree->NODE_INDEX;
    r.ok = 1;
  }
  ST_DeleteTree(tree);
  auto t2 = clock::now();
  r.hwm_kb = status_kb("VmHWM");
  r.build_s = std::chrono::duration<double>(t1 - t0).count();
  r.delete_s = std::chrono::duration<double>(t2 - t1).count();
  return r;
}

// Runs one repetition of a case in a child process and returns its result.
bool run_in_child(const Case& c, Route route, Result* out) {
  int fd[2];
  if (pipe(fd) != 0) return false;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fd[0]);
    Result r = run_case(c, route);
    ssize_t w = write(fd[1], &r, sizeof r);
    _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  close(fd[1]);
  size_t got = 0;
  while (got < sizeof *out) {
    ssize_t k = read(fd[0], reinterpret_cast<char*>(out) + got, sizeof *out - got);
    if (k <= 0) break;
    got += static_cast<size_t>(k);
  }
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench_tree: case %s: child ended with status %d\n", c.name, status);
    return false;
  }
  return got == sizeof *out && out->ok;
}

// The median run of a case by one route, printed as one row; null when a run failed.
bool measure(const Case& c, Route route, int reps, Result* median, double* worst_peak) {
  std::vector<Result> rs;
  for (int k = 0; k < reps; ++k) {
    Result r;
    if (!run_in_child(c, route, &r)) {
      std::printf("%-9s %-7s FAILED (see standard error)\n", c.name, route_name(route));
      return false;
    }
    rs.push_back(r);
  }
  std::sort(rs.begin(), rs.end(),
            [](const Result& a, const Result& b) { return a.build_s < b.build_s; });
  const Result& med = rs[rs.size() / 2];
  uint64_t worst_hwm = 0, worst_tree = 0;
  for (const Result& r : rs) {
    worst_hwm = std::max(worst_hwm, r.hwm_kb - std::min(r.hwm_kb, r.rss_start_kb));
    worst_tree = std::max(worst_tree, r.hwm_kb - std::min(r.hwm_kb, r.rss_text_kb));
  }
  const double n = static_cast<double>(med.symbols);
  const double mbp = n / 1e6;
  *worst_peak = worst_hwm * 1024.0 / n;
  std::printf("%-9s %-7s %9llu %8.3f %8.3f %8.3f %8.3f %7.3f %9.2f %9.2f %8.3f%s\n", c.name,
              route_name(route), (unsigned long long)med.symbols, med.build_s, med.build_cpu_s,
              med.build_s / mbp, mbp / med.build_s, med.nodes / n, *worst_peak,
              worst_tree * 1024.0 / n, med.delete_s, med.hwm_reset ? "" : " (VmHWM not reset)");
  if (rs.size() > 1) {
    std::printf("%-17s build times:", "");
    for (const Result& r : rs) std::printf(" %.3f (cpu %.3f)", r.build_s, r.build_cpu_s);
    std::printf(" s\n");
  }
  *median = med;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 3;
  std::vector<const Case*> cases;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("reps=", 0) == 0) {
      reps = std::max(1, std::atoi(a.c_str() + 5));
    } else if (a.rfind("threads=", 0) == 0) {
      THREADS = static_cast<uint32_t>(std::max(1, std::atoi(a.c_str() + 8)));
    } else if (a.rfind("fasta=", 0) == 0) {
      FASTA = a.substr(6);
    } else if (a.rfind("case=", 0) == 0) {
      const Case* found = nullptr;
      for (const Case& c : kCases)
        if (a.substr(5) == c.name) found = &c;
      if (!found) {
        std::fprintf(stderr, "bench_tree: unknown case '%s' (random5, random20, genome20, fasta)\n",
                     a.c_str() + 5);
        return 2;
      }
      cases.push_back(found);
    } else {
      std::fprintf(stderr, "usage: bench_tree [reps=N] [threads=N] [case=random5|random20|genome20|fasta]..."
                           " [fasta=PATH]\n");
      return 2;
    }
  }
  // As a whole run that streams less than 16 times its chunk builds its trees.
  if (std::getenv("SMALL_PAGES") != nullptr) HUGE_PAGES = false;
  const bool have_fasta = std::ifstream(FASTA).good();
  if (cases.empty())
    for (const Case& c : kCases)
      if (c.source != Source::fasta || have_fasta) cases.push_back(&c);

  std::printf("Suffix tree construction, suffix array route (sa: ST_CreateTree) against Ukkonen"
              " (ST_CreateTreeUkkonen),\n%d run(s) per case and route, each in a fresh process,"
              " %u thread(s) for the suffix array route\n",
              reps, THREADS);
  for (const Case* c : cases) {
    if (c->source == Source::fasta)
      std::printf("  %-9s %s: %s\n", c->name, FASTA.c_str(), c->what);
    else
      std::printf("  %-9s %llu symbols: %s\n", c->name, (unsigned long long)c->symbols, c->what);
  }
  std::printf("load average at start: %s (%ld processors)\n", loadavg().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("%-9s %-7s %9s %8s %8s %8s %8s %7s %9s %9s %8s\n", "case", "route", "symbols",
              "build_s", "cpu_s", "s/Mbp", "Mbp/s", "nodes/n", "peak B/n", "tree B/n", "delete_s");
  bool all_met = true;
  for (const Case* c : cases) {
    Result sa, uk, check;
    double sa_peak = 0, uk_peak = 0;
    const bool ok = measure(*c, Route::suffix_array, reps, &sa, &sa_peak) &&
                    measure(*c, Route::ukkonen, reps, &uk, &uk_peak) &&
                    run_in_child(*c, Route::compare, &check);
    if (!ok) {
      all_met = false;
      continue;
    }
    const double rate = sa.symbols / 1e6 / sa.build_s;
    const double ratio = uk.build_s / sa.build_s;
    const bool speed_ok = rate >= c->min_mbp_per_s && ratio >= 3.0;
    const bool mem_ok = sa_peak <= kMaxBytesPerSymbol + 2;
    all_met = all_met && speed_ok && mem_ok && check.same;
    std::printf("%-9s ukkonen/sa time %.2fx (cpu %.2fx), peak %.2f/%.2f B/n; pools %s;"
                " targets: sa >= %.1f Mbp/s and >= 3x %s, peak <= %.0f + 2 B/n %s\n",
                c->name, ratio, uk.build_cpu_s / sa.build_cpu_s, sa_peak, uk_peak,
                check.same ? "identical" : "DIFFER", c->min_mbp_per_s, speed_ok ? "met" : "MISSED",
                kMaxBytesPerSymbol, mem_ok ? "met" : "MISSED");
    std::fflush(stdout);
  }
  std::printf("load average at end: %s\n", loadavg().c_str());
  std::printf("build_s: wall time of the construction (median run; Mbp/s and the targets use it);"
              " cpu_s: its CPU time.\n");
  std::printf("peak B/n: highest VmHWM of the runs less the process's resident size before the"
              " text was made, per symbol;\nit holds the caller's text and the tree's copy (1 B/n"
              " each), hence the 2 B/n beyond the 85 B/n of the chunk sizing.\n"
              "tree B/n: the same less the resident size once the text existed.\n");
  std::printf("%s\n", all_met ? "All targets met." : "Some targets missed.");
  return 0;
}
