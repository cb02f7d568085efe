// gen_fasta: writes seeded synthetic FASTA files for the benchmark scripts.
//
//   gen_fasta random length=N seed=S [records=R] [name=NAME] [out=FILE]
//       N random bases in R records of (nearly) equal length.
//   gen_fasta mutate src=FILE seed=S snp=P [indel=P] [maxindel=K] [minlength=N]
//                    [name=NAME] [out=FILE]
//       A copy of the bases of FILE (all records joined) with point mutations
//       at rate P per base and indels starting at rate P per base (1..K bases,
//       default 5). With minlength, random bases are appended until the copy
//       holds at least N bases.
//   gen_fasta repeat unit=N length=M snp=P seed=S [name=NAME] [out=FILE]
//       A random unit of N bases repeated up to M bases, each copy with its
//       own point mutations at rate P.
//   gen_fasta revcomp src=FILE [name=NAME] [out=FILE]
//       The reverse complement of the bases of FILE (all records joined), so
//       that a genome deposited on the other strand can be compared as it is.
//   gen_fasta count FILE
//       Prints the number of sequence bytes of FILE (header lines and white
//       space left out).
//
// Sequence lines are 60 columns wide. Output goes to standard output unless
// out= is given. A summary line goes to standard error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "seqgen.h"

namespace {

[[noreturn]] void die(const std::string& msg) {
  std::fprintf(stderr, "gen_fasta: %s\n", msg.c_str());
  std::exit(2);
}

using Args = std::map<std::string, std::string>;

Args parse(int argc, char** argv, int first) {
  Args a;
  for (int i = first; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (!eq) die(std::string("expected key=value, got '") + argv[i] + "'");
    a[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = eq + 1;
  }
  return a;
}

const std::string* get(const Args& a, const char* key) {
  auto it = a.find(key);
  return it == a.end() ? nullptr : &it->second;
}

uint64_t get_u64(const Args& a, const char* key, const uint64_t* dflt = nullptr) {
  const std::string* v = get(a, key);
  if (!v) {
    if (dflt) return *dflt;
    die(std::string("missing ") + key + "=");
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long x = std::strtoull(v->c_str(), &end, 10);
  if (errno || end == v->c_str() || *end) die(std::string("bad number for ") + key);
  return x;
}

double get_prob(const Args& a, const char* key, double dflt) {
  const std::string* v = get(a, key);
  if (!v) return dflt;
  char* end = nullptr;
  double x = std::strtod(v->c_str(), &end);
  if (end == v->c_str() || *end || x < 0 || x > 1) die(std::string("bad probability for ") + key);
  return x;
}

std::string get_str(const Args& a, const char* key, const std::string& dflt) {
  const std::string* v = get(a, key);
  return v ? *v : dflt;
}

// The bases of a FASTA or plain sequence file: header lines and white space dropped.
std::string read_bases(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) die("cannot open " + path);
  std::string out;
  std::string buf(1 << 20, '\0');
  bool in_header = false, at_line_start = true;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      char ch = buf[i];
      if (ch == '\n' || ch == '\r') {
        in_header = false;
        at_line_start = true;
        continue;
      }
      if (at_line_start && ch == '>') in_header = true;
      at_line_start = false;
      if (in_header || ch == ' ' || ch == '\t') continue;
      out.push_back(ch);
    }
  }
  std::fclose(f);
  return out;
}

std::FILE* open_out(const Args& a) {
  const std::string* path = get(a, "out");
  if (!path) return stdout;
  std::FILE* f = std::fopen(path->c_str(), "wb");
  if (!f) die("cannot create " + *path);
  return f;
}

void close_out(std::FILE* f, seqgen::FastaWriter& w) {
  w.end_line();
  if (!w.flush() || std::fflush(f) != 0 || (f != stdout && std::fclose(f) != 0))
    die("write error");
}

int cmd_random(const Args& a) {
  const uint64_t n = get_u64(a, "length");
  const uint64_t seed = get_u64(a, "seed");
  const uint64_t one = 1;
  const uint64_t records = get_u64(a, "records", &one);
  if (records == 0) die("records must be at least 1");
  const std::string name = get_str(a, "name", "random");
  seqgen::Rng rng(seed);
  std::FILE* f = open_out(a);
  seqgen::FastaWriter w(f);
  const uint64_t block = 60 * 16384;
  for (uint64_t r = 0; r < records; ++r) {
    uint64_t len = n / records + (r < n % records ? 1 : 0);
    w.header(records == 1 ? name + " random DNA seed=" + std::to_string(seed)
                          : name + "_" + std::to_string(r + 1) + " random DNA seed=" +
                                std::to_string(seed));
    std::string s;
    for (uint64_t done = 0; done < len; done += s.size()) {
      s.clear();
      seqgen::append_random(rng, s, std::min(block, len - done));
      w.sequence(s);
    }
  }
  close_out(f, w);
  std::fprintf(stderr, "gen_fasta: random %llu bases in %llu record(s), seed %llu\n",
               (unsigned long long)n, (unsigned long long)records, (unsigned long long)seed);
  return 0;
}

int cmd_mutate(const Args& a) {
  const std::string src = get_str(a, "src", "");
  if (src.empty()) die("missing src=");
  const uint64_t seed = get_u64(a, "seed");
  const double snp = get_prob(a, "snp", 0.0);
  const double indel = get_prob(a, "indel", 0.0);
  const uint64_t five = 5, zero = 0;
  const uint64_t max_indel = get_u64(a, "maxindel", &five);
  const uint64_t min_length = get_u64(a, "minlength", &zero);
  if (max_indel == 0 || max_indel > 1000000) die("maxindel must be 1..1000000");
  const std::string name = get_str(a, "name", "mutated");
  const std::string bases = read_bases(src);
  seqgen::Rng rng(seed);
  seqgen::MutationCounts c;
  std::string out = seqgen::mutate(rng, bases, snp, indel, static_cast<uint32_t>(max_indel), &c);
  uint64_t padded = 0;
  if (out.size() < min_length) {
    padded = min_length - out.size();
    seqgen::append_random(rng, out, padded);
  }
  std::FILE* f = open_out(a);
  seqgen::FastaWriter w(f);
  const std::string src_name = src.substr(src.find_last_of('/') + 1);
  w.header(name + " copy of " + src_name + " snp=" + get_str(a, "snp", "0") + " indel=" +
           get_str(a, "indel", "0") + " seed=" + std::to_string(seed));
  w.sequence(out);
  close_out(f, w);
  std::fprintf(stderr,
               "gen_fasta: mutate %zu -> %zu bases: %llu snps, %llu insertions, %llu deletions,"
               " %llu padded\n",
               bases.size(), out.size(), (unsigned long long)c.snps,
               (unsigned long long)c.insertions, (unsigned long long)c.deletions,
               (unsigned long long)padded);
  return 0;
}

int cmd_repeat(const Args& a) {
  const uint64_t unit = get_u64(a, "unit");
  const uint64_t n = get_u64(a, "length");
  const uint64_t seed = get_u64(a, "seed");
  const double snp = get_prob(a, "snp", 0.0);
  if (unit == 0) die("unit must be at least 1");
  const std::string name = get_str(a, "name", "repeat");
  seqgen::Rng rng(seed);
  std::string s = seqgen::genome_like(rng, unit, n, snp);
  std::FILE* f = open_out(a);
  seqgen::FastaWriter w(f);
  w.header(name + " unit=" + std::to_string(unit) + " snp=" + get_str(a, "snp", "0") +
           " seed=" + std::to_string(seed));
  w.sequence(s);
  close_out(f, w);
  std::fprintf(stderr, "gen_fasta: repeat of %llu bases up to %zu bases\n",
               (unsigned long long)unit, s.size());
  return 0;
}

int cmd_revcomp(const Args& a) {
  const std::string src = get_str(a, "src", "");
  if (src.empty()) die("missing src=");
  const std::string bases = read_bases(src);
  std::string out(bases.rbegin(), bases.rend());
  for (char& ch : out) {
    switch (ch) {
      case 'A': ch = 'T'; break;
      case 'C': ch = 'G'; break;
      case 'G': ch = 'C'; break;
      case 'T': ch = 'A'; break;
      case 'a': ch = 't'; break;
      case 'c': ch = 'g'; break;
      case 'g': ch = 'c'; break;
      case 't': ch = 'a'; break;
      default: break;  // N and other codes stay
    }
  }
  std::FILE* f = open_out(a);
  seqgen::FastaWriter w(f);
  w.header(get_str(a, "name", "revcomp") + " reverse complement of " +
           src.substr(src.find_last_of('/') + 1));
  w.sequence(out);
  close_out(f, w);
  std::fprintf(stderr, "gen_fasta: revcomp of %zu bases\n", out.size());
  return 0;
}

int cmd_count(int argc, char** argv) {
  if (argc != 3) die("usage: gen_fasta count FILE");
  std::printf("%zu\n", read_bases(argv[2]).size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: gen_fasta random|mutate|repeat|revcomp key=value...  or  gen_fasta count FILE\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "count") return cmd_count(argc, argv);
  const Args a = parse(argc, argv, 2);
  if (mode == "random") return cmd_random(a);
  if (mode == "mutate") return cmd_mutate(a);
  if (mode == "repeat") return cmd_repeat(a);
  if (mode == "revcomp") return cmd_revcomp(a);
  die("unknown mode '" + mode + "'");
}
