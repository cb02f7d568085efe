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
//   gen_fasta revcomp src=FILE [out=FILE]
//       Every record of FILE reverse-complemented (A<->T, C<->G, U->A, small
//       letters kept small, anything else kept), under its own header.
//   gen_fasta draft src=FILE seed=S [contig=N] [lossmin=N] [lossmax=N] [snp=P] [name=NAME]
//                   [out=FILE]
//       A draft assembly of FILE: point mutations at rate P per base (default 0.0005), then
//       each record cut into contigs of N / 6 to 11 N / 6 bases (N default 60000), losing
//       lossmin to lossmax bases at each cut (default 200 to 2000), each contig on a random
//       strand, the contigs shuffled, one record each.
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
#include <string_view>
#include <utility>
#include <vector>

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

struct Record {
  std::string header, bases;  // header without its '>'; bases without white space
};

// The records of a FASTA file, sequence before the first header as a record without one.
std::vector<Record> read_records(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) die("cannot open " + path);
  std::vector<Record> records;
  char line[1 << 16];
  bool continued = false;  // the previous read ended inside a line
  while (std::fgets(line, sizeof line, in)) {
    std::string_view l(line);
    bool whole = !l.empty() && l.back() == '\n';
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
    if (!continued && !l.empty() && l[0] == '>') {
      records.push_back({std::string(l.substr(1)), ""});
    } else {
      if (records.empty()) records.emplace_back();
      for (char ch : l)
        if (ch != ' ' && ch != '\t') records.back().bases.push_back(ch);
    }
    continued = !whole;
  }
  std::fclose(in);
  return records;
}

// A-T, C-G, U to A, small letters kept small, anything else kept.
std::string reverse_complement(std::string_view seq) {
  static const struct Table {
    char to[256];
    Table() {
      for (int c = 0; c < 256; ++c) to[c] = static_cast<char>(c);
      for (const char* pair : {"AT", "TA", "CG", "GC", "UA", "at", "ta", "cg", "gc", "ua"})
        to[static_cast<unsigned char>(pair[0])] = pair[1];
    }
  } complement;
  std::string rc(seq.rbegin(), seq.rend());
  for (char& ch : rc) ch = complement.to[static_cast<unsigned char>(ch)];
  return rc;
}

// An assembly deposited on the other strand, turned to the orientation of its relatives.
int cmd_revcomp(const Args& a) {
  const std::string src = get_str(a, "src", "");
  if (src.empty()) die("missing src=");
  const std::vector<Record> records = read_records(src);
  std::FILE* f = open_out(a);
  seqgen::FastaWriter w(f);
  for (const Record& r : records) {
    if (r.header.empty() && r.bases.empty()) continue;
    if (!r.header.empty()) w.header(r.header);
    w.sequence(reverse_complement(r.bases));
  }
  close_out(f, w);
  return 0;
}

// A draft assembly of a finished genome: strain SNPs, then each record cut into contigs with
// bases lost at every cut, each contig on a random strand, the contigs shuffled.
int cmd_draft(const Args& a) {
  const std::string src = get_str(a, "src", "");
  if (src.empty()) die("missing src=");
  const uint64_t seed = get_u64(a, "seed");
  const uint64_t d_contig = 60000, d_lossmin = 200, d_lossmax = 2000;
  const uint64_t contig = get_u64(a, "contig", &d_contig);
  const uint64_t lossmin = get_u64(a, "lossmin", &d_lossmin), lossmax = get_u64(a, "lossmax", &d_lossmax);
  const double snp = get_prob(a, "snp", 0.0005);
  if (contig < 6 || contig > 600000000 || lossmin > lossmax || lossmax > 100000000) die("bad contig or loss");
  const std::string name = get_str(a, "name", "draft");
  seqgen::Rng rng(seed);
  std::vector<std::string> contigs;
  uint64_t kept = 0, lost = 0, snps = 0;
  for (const Record& r : read_records(src)) {
    seqgen::MutationCounts c;
    const std::string bases = seqgen::mutate(rng, r.bases, snp, 0.0, 1, &c);
    snps += c.snps;
    // Contigs of contig / 6 to 11 contig / 6 bases, contig on average.
    for (uint64_t at = 0; at < bases.size();) {
      const uint64_t length = contig / 6 + rng.below(static_cast<uint32_t>(contig * 10 / 6 + 1));
      const uint64_t loss = lossmin + rng.below(static_cast<uint32_t>(lossmax - lossmin + 1));
      std::string piece = bases.substr(at, length);
      if (rng.bits() & 1) piece = reverse_complement(piece);
      kept += piece.size();
      contigs.push_back(std::move(piece));
      lost += std::min<uint64_t>(loss, bases.size() - std::min<uint64_t>(bases.size(), at + length));
      at += length + loss;
    }
  }
  for (size_t i = contigs.size(); i > 1; --i) std::swap(contigs[i - 1], contigs[rng.below(static_cast<uint32_t>(i))]);
  std::FILE* f = open_out(a);
  seqgen::FastaWriter w(f);
  for (size_t i = 0; i < contigs.size(); ++i) {
    // Headers as the archive has them for assembler contigs (a node, its length, its coverage).
    const std::string node = std::to_string(i + 1), cover = std::to_string(20 + rng.below(40)) + "." +
                                                            std::to_string(100000 + rng.below(900000));
    w.header(name + "_" + node + " Klebsiella pneumoniae strain " + name + " NODE_" + node + "_length_" +
             std::to_string(contigs[i].size()) + "_cov_" + cover + ", whole genome shotgun sequence");
    w.sequence(contigs[i]);
  }
  close_out(f, w);
  std::fprintf(stderr, "gen_fasta: draft of %s: %zu contigs, %llu bases kept, %llu lost at the cuts, %llu snps\n",
               src.c_str(), contigs.size(), (unsigned long long)kept, (unsigned long long)lost,
               (unsigned long long)snps);
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
                 "usage: gen_fasta random|mutate|repeat|revcomp|draft key=value...  or  gen_fasta count FILE\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "count") return cmd_count(argc, argv);
  const Args a = parse(argc, argv, 2);
  if (mode == "random") return cmd_random(a);
  if (mode == "mutate") return cmd_mutate(a);
  if (mode == "repeat") return cmd_repeat(a);
  if (mode == "revcomp") return cmd_revcomp(a);
  if (mode == "draft") return cmd_draft(a);
  die("unknown mode '" + mode + "'");
}
