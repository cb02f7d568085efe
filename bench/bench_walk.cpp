// bench_walk: the streaming stages alone, at several thread counts, on one tree.
//
//   bench_walk [threads=1,2] [reps=N] REP QUERY...
//
// Builds the tree of the representative file REP once (its first chunk of at
// most 2^31 bytes, masked as a run masks it), then for every thread count and
// repetition times, over that tree: the matching walk of every QUERY file
// (read whole, as one chunk), tagc_walk, tagc_accumulate and tagc_initialize.
// Prints per query and thread count the best time of the repetitions and the
// ratio to the first thread count, the CPU time of all stages (on a busy
// machine, equal CPU times at 1 and 2 threads mean that no work was added),
// and the load average at the start and the end. After each repetition the node bounds must equal those
// of the first thread count: the figures mean nothing otherwise. (MAX is
// folded again on every repetition, so only TMP after tagc_walk is compared.)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "suffix_array_tree.h"
#include "suffix_tree.h"
#include "tagc.h"
#include "treecreate.h"
#include "xenvar.h"

namespace {

Text load_whole(const std::string& file, uint64_t* symbols) {
  uint64_t len = 0, offset = 0;
  Text text = loadFileRange(file.c_str(), &len, 0, (uint64_t{1} << 31) - 1, 0, 1u << 31, &offset);
  if (!text || len <= 1) {
    std::fprintf(stderr, "bench_walk: %s holds no sequence\n", file.c_str());
    std::exit(2);
  }
  *symbols = len - 1;
  return text;
}

std::vector<uint32_t> marks(const SUFFIX_TREE* t) {
  std::vector<uint32_t> v(t->NODE_INDEX);
  for (NODE_REF i = 0; i < t->NODE_INDEX; ++i) v[i] = t->STACK[i].TMP;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> counts{1, 2};
  int reps = 1, first = 1;
  for (; first < argc && std::strchr(argv[first], '=') != nullptr; ++first) {
    if (std::strncmp(argv[first], "threads=", 8) == 0) {
      counts.clear();
      for (const char* p = argv[first] + 8; *p != '\0'; p += *p == ',') {
        char* end = nullptr;
        counts.push_back(static_cast<uint32_t>(std::strtoul(p, &end, 10)));
        p = end;
      }
    } else if (std::strncmp(argv[first], "reps=", 5) == 0) {
      reps = std::atoi(argv[first] + 5);
    }
  }
  if (argc - first < 2 || counts.empty() || reps < 1) {
    std::fprintf(stderr, "usage: bench_walk [threads=1,2] [reps=N] REP QUERY...\n");
    return 2;
  }
  std::printf("load average at start: %s\n", loadavg().c_str());
  uint64_t rep_symbols = 0;
  Text rep = load_whole(argv[first], &rep_symbols);
  cleanup(rep.get(), rep_symbols);
  double t0 = now();
  TreePtr tree(ST_CreateTree(reinterpret_cast<const unsigned char*>(rep.get()), rep_symbols));
  std::printf("tree of %s: %.2f Mbp, %u nodes, built in %.2f s\n", argv[first], rep_symbols / 1e6,
              tree->NODE_INDEX, now() - t0);
  if (std::getenv("NO_LOCI") == nullptr) {
    t0 = now();
    tagc_prepare_walks(tree.get());
    std::printf("locus table: strings up to %u symbols, %u bytes an entry, built in %.3f s\n", tree->WALK.loci_depth,
                tree->WALK.loci_width, now() - t0);
  }
  std::vector<std::string> names(argv + first + 1, argv + argc);
  std::vector<Text> queries;
  std::vector<uint64_t> sizes;
  for (const std::string& name : names) {
    uint64_t n = 0;
    queries.push_back(load_whole(name, &n));
    sizes.push_back(n);
  }
  // best[c][q]: queries, then tagc_walk, tagc_accumulate, tagc_initialize.
  const size_t stages = names.size() + 3;
  std::vector<std::vector<double>> best(counts.size(), std::vector<double>(stages, 1e30));
  std::vector<uint32_t> reference;
  std::vector<double> cpu(counts.size(), 1e30);  // CPU seconds of all stages, best repetition
  bool same = true;
  for (int r = 0; r < reps; ++r) {
    for (size_t c = 0; c < counts.size(); ++c) {
      THREADS = counts[c];
      tagc_initialize(tree.get());
      std::vector<double> t(stages);
      double cpu0 = cpu_seconds();
      for (size_t q = 0; q < names.size(); ++q) {
        double s = now();
        tagc(tree.get(), sizes[q], queries[q].get());
        t[q] = now() - s;
      }
      double s = now();
      tagc_walk(tree.get());
      t[names.size()] = now() - s;
      double check0 = cpu_seconds();
      std::vector<uint32_t> b = marks(tree.get());
      if (reference.empty()) reference = b;
      same = same && b == reference;
      double checking = cpu_seconds() - check0;
      s = now();
      tagc_accumulate(tree.get());
      t[names.size() + 1] = now() - s;
      s = now();
      tagc_initialize(tree.get());
      t[names.size() + 2] = now() - s;
      cpu[c] = std::min(cpu[c], cpu_seconds() - cpu0 - checking);
      for (size_t k = 0; k < stages; ++k) best[c][k] = std::min(best[c][k], t[k]);
    }
  }
  std::printf("%-40s %12s", "stage (best of reps)", "Mbp");
  for (uint32_t n : counts) std::printf("  %9s%-3u %6s", "threads ", n, "x");
  std::printf("\n");
  for (size_t k = 0; k < stages; ++k) {
    std::string label = k < names.size() ? "walk " + names[k].substr(names[k].find_last_of('/') + 1)
                        : k == names.size()     ? "tagc_walk"
                        : k == names.size() + 1 ? "tagc_accumulate"
                                                : "tagc_initialize";
    double mbp = (k < names.size() ? sizes[k] : rep_symbols) / 1e6;
    std::printf("%-40s %12.2f", label.c_str(), mbp);
    for (size_t c = 0; c < counts.size(); ++c)
      std::printf("  %8.3f s %6.2f", best[c][k], best[0][k] / best[c][k]);
    std::printf("\n");
  }
  double total0 = 0;
  for (double v : best[0]) total0 += v;
  std::printf("%-40s %12s", "all streaming stages", "");
  for (size_t c = 0; c < counts.size(); ++c) {
    double total = 0;
    for (double v : best[c]) total += v;
    std::printf("  %8.3f s %6.2f", total, total0 / total);
  }
  std::printf("\n%-40s %12s", "  CPU seconds of all stages", "");
  for (size_t c = 0; c < counts.size(); ++c) std::printf("  %8.3f s %6s", cpu[c], "");
  std::printf("\nTMP after tagc_walk identical at every thread count: %s\n", same ? "yes" : "NO");
  std::printf("load average at end: %s\n", loadavg().c_str());
  return same ? 0 : 1;
}
