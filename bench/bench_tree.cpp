// bench_tree: time and memory of building one chunk's suffix tree.
//
//   bench_tree [reps=N] [case=NAME]...
//
// Cases (all seeded):
//   random5     5 Mbp of random DNA
//   random20    20 Mbp of random DNA
//   genome20    20 Mbp genome-like text: a random 200 kbp unit repeated,
//               each copy with 1 % point mutations
// Without case= all three run. Each repetition of a case runs in a fresh child
// process, so that its peak resident memory is its own: the child makes the
// text, builds the tree with ST_CreateTree, frees it with ST_DeleteTree and
// reads VmHWM from /proc/self/status (reset with /proc/self/clear_refs once
// the text exists). Printed per case: symbols, build time (median of the
// repetitions) in wall and CPU seconds, seconds per Mbp, Mbp/s, nodes per
// symbol, and peak memory per symbol, both over the child's baseline before
// the text was made (text included) and for the tree alone. The load average
// is printed too: on a busy machine the wall times mean little.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "seqgen.h"
#include "suffix_tree.h"

namespace {

struct Case {
  const char* name;
  const char* what;
  uint64_t symbols;
  bool genome_like;
  double min_mbp_per_s;  // speed target
};

constexpr Case kCases[] = {
    {"random5", "random DNA", 5'000'000, false, 1.5},
    {"random20", "random DNA", 20'000'000, false, 1.0},
    {"genome20", "200 kbp unit repeated, 1% point mutations", 20'000'000, true, 1.0},
};
constexpr double kMaxBytesPerSymbol = 82.0;

struct Result {
  double build_s = 0, build_cpu_s = 0, delete_s = 0;
  uint64_t nodes = 0;
  uint64_t rss_start_kb = 0, rss_text_kb = 0, hwm_kb = 0;
  int hwm_reset = 0;
  int ok = 0;
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

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string loadavg() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

bool reset_hwm() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  bool ok = std::fputs("5", f) >= 0;
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

Result run_case(const Case& c) {
  Result r;
  r.rss_start_kb = status_kb("VmRSS");
  std::string text;
  {
    seqgen::Rng rng(c.genome_like ? 20260 : 20250 + c.symbols / 1'000'000);
    text = c.genome_like ? seqgen::genome_like(rng, 200'000, c.symbols, 0.01)
                         : seqgen::random_dna(rng, c.symbols);
  }
  r.hwm_reset = reset_hwm();
  r.rss_text_kb = status_kb("VmRSS");
  using clock = std::chrono::steady_clock;
  const double c0 = cpu_seconds();
  auto t0 = clock::now();
  SUFFIX_TREE* tree =
      ST_CreateTree(reinterpret_cast<const unsigned char*>(text.data()), text.size());
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
bool run_in_child(const Case& c, Result* out) {
  int fd[2];
  if (pipe(fd) != 0) return false;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fd[0]);
    Result r = run_case(c);
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

}  // namespace

int main(int argc, char** argv) {
  int reps = 3;
  std::vector<const Case*> cases;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("reps=", 0) == 0) {
      reps = std::max(1, std::atoi(a.c_str() + 5));
    } else if (a.rfind("case=", 0) == 0) {
      const Case* found = nullptr;
      for (const Case& c : kCases)
        if (a.substr(5) == c.name) found = &c;
      if (!found) {
        std::fprintf(stderr, "bench_tree: unknown case '%s' (random5, random20, genome20)\n",
                     a.c_str() + 5);
        return 2;
      }
      cases.push_back(found);
    } else {
      std::fprintf(stderr, "usage: bench_tree [reps=N] [case=random5|random20|genome20]...\n");
      return 2;
    }
  }
  if (cases.empty())
    for (const Case& c : kCases) cases.push_back(&c);

  std::printf("Suffix tree construction (ST_CreateTree + ST_DeleteTree), %d run(s) per case,"
              " each in a fresh process\n",
              reps);
  for (const Case* c : cases)
    std::printf("  %-9s %llu symbols: %s\n", c->name, (unsigned long long)c->symbols, c->what);
  std::printf("load average at start: %s (%ld processors)\n", loadavg().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("%-9s %9s %8s %8s %8s %8s %7s %9s %9s %8s  %s\n", "case", "symbols", "build_s",
              "cpu_s", "s/Mbp", "Mbp/s", "nodes/n", "peak B/n", "tree B/n", "delete_s", "targets");
  bool all_met = true;
  for (const Case* c : cases) {
    std::vector<Result> rs;
    for (int k = 0; k < reps; ++k) {
      Result r;
      if (!run_in_child(*c, &r)) {
        std::printf("%-9s %9llu  FAILED (see standard error)\n", c->name,
                    (unsigned long long)c->symbols);
        all_met = false;
        rs.clear();
        break;
      }
      rs.push_back(r);
    }
    if (rs.empty()) continue;
    std::sort(rs.begin(), rs.end(),
              [](const Result& a, const Result& b) { return a.build_s < b.build_s; });
    const Result& med = rs[rs.size() / 2];
    uint64_t worst_hwm = 0, worst_tree = 0;
    for (const Result& r : rs) {
      worst_hwm = std::max(worst_hwm, r.hwm_kb - std::min(r.hwm_kb, r.rss_start_kb));
      worst_tree = std::max(worst_tree, r.hwm_kb - std::min(r.hwm_kb, r.rss_text_kb));
    }
    const double n = static_cast<double>(c->symbols);
    const double mbp = n / 1e6;
    const double peak_per_symbol = worst_hwm * 1024.0 / n;
    const double tree_per_symbol = worst_tree * 1024.0 / n;
    const double rate = mbp / med.build_s;
    const bool speed_ok = rate >= c->min_mbp_per_s;
    const bool mem_ok = peak_per_symbol <= kMaxBytesPerSymbol;
    all_met = all_met && speed_ok && mem_ok;
    std::printf("%-9s %9llu %8.3f %8.3f %8.3f %8.3f %7.3f %9.2f %9.2f %8.3f  speed>=%.1f %s, "
                "mem<=%.0f %s%s\n",
                c->name, (unsigned long long)c->symbols, med.build_s, med.build_cpu_s,
                med.build_s / mbp, rate,
                med.nodes / n, peak_per_symbol, tree_per_symbol, med.delete_s,
                c->min_mbp_per_s, speed_ok ? "met" : "MISSED", kMaxBytesPerSymbol,
                mem_ok ? "met" : "MISSED", med.hwm_reset ? "" : " (VmHWM not reset)");
    if (rs.size() > 1) {
      std::printf("%-9s   build times:", "");
      for (const Result& r : rs) std::printf(" %.3f (cpu %.3f)", r.build_s, r.build_cpu_s);
      std::printf(" s\n");
    }
    std::fflush(stdout);
  }
  std::printf("load average at end: %s\n", loadavg().c_str());
  std::printf("build_s: wall time of ST_CreateTree (median run; Mbp/s and the targets use it);"
              " cpu_s: its CPU time.\n");
  std::printf("peak B/n: highest VmHWM of the runs less the process's resident size before the"
              " text was made, per symbol (the text itself is 1 B/n of it);\n"
              "tree B/n: the same less the resident size once the text existed.\n");
  std::printf("%s\n", all_met ? "All targets met." : "Some targets missed.");
  return 0;
}
