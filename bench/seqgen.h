// Seeded synthetic DNA for the benchmarks: random genomes, mutated copies,
// genome-like repeats, and FASTA output with 60-column lines.
//
// Everything is derived from std::mt19937_64, whose output is fixed by the
// standard for a given seed, and from our own integer arithmetic (no
// std::*_distribution, whose results differ between library versions), so a
// seed gives the same bytes on every machine.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

namespace seqgen {

inline constexpr char kBases[4] = {'A', 'C', 'G', 'T'};

class Rng {
 public:
  explicit Rng(uint64_t seed) : gen_(seed) {}
  uint64_t bits() { return gen_(); }
  // Uniform in [0, 1) with 53 bits.
  double uniform() { return static_cast<double>(gen_() >> 11) * 0x1.0p-53; }
  // Uniform in [0, n), n >= 1.
  uint32_t below(uint32_t n) {
    return static_cast<uint32_t>(((gen_() >> 32) * static_cast<uint64_t>(n)) >> 32);
  }
  char base() { return kBases[gen_() >> 62]; }

 private:
  std::mt19937_64 gen_;
};

// Appends n random bases, 32 from each 64-bit draw.
inline void append_random(Rng& rng, std::string& out, size_t n) {
  out.reserve(out.size() + n);
  while (n >= 32) {
    uint64_t r = rng.bits();
    for (int k = 0; k < 32; ++k, r >>= 2) out.push_back(kBases[r & 3]);
    n -= 32;
  }
  uint64_t r = rng.bits();
  for (; n > 0; --n, r >>= 2) out.push_back(kBases[r & 3]);
}

inline std::string random_dna(Rng& rng, size_t n) {
  std::string s;
  append_random(rng, s, n);
  return s;
}

// One of the three bases other than b (any base if b is not ACGT).
inline char substitute(Rng& rng, char b) {
  char c = kBases[rng.below(3)];
  return c == b ? 'T' : c;
}

struct MutationCounts {
  uint64_t snps = 0, insertions = 0, deletions = 0;
};

// A copy of src in which every position independently carries a point
// mutation with probability snp, and an indel starts with probability indel
// (insertion or deletion with equal odds, length uniform in 1..max_indel).
inline std::string mutate(Rng& rng, std::string_view src, double snp, double indel,
                          uint32_t max_indel, MutationCounts* counts = nullptr) {
  MutationCounts local;
  MutationCounts& c = counts ? *counts : local;
  std::string out;
  out.reserve(src.size() + src.size() / 50 + 16);
  for (size_t i = 0; i < src.size();) {
    if (indel > 0 && rng.uniform() < indel) {
      uint32_t k = 1 + rng.below(max_indel);
      if (rng.bits() & 1) {
        append_random(rng, out, k);
        ++c.insertions;
      } else {
        i += k;
        ++c.deletions;
        continue;
      }
    }
    if (snp > 0 && rng.uniform() < snp) {
      out.push_back(substitute(rng, src[i]));
      ++c.snps;
    } else {
      out.push_back(src[i]);
    }
    ++i;
  }
  return out;
}

// A genome-like text: one random unit of `unit` bases, copied until `total`
// bases, each copy with its own point mutations at rate snp.
inline std::string genome_like(Rng& rng, size_t unit, size_t total, double snp) {
  const std::string base = random_dna(rng, unit);
  std::string out;
  out.reserve(total);
  while (out.size() < total) {
    size_t take = std::min(unit, total - out.size());
    std::string copy = mutate(rng, std::string_view(base).substr(0, take), snp, 0.0, 1);
    out += copy;
  }
  return out;
}

// Buffered FASTA writer: header lines and 60-column sequence lines.
class FastaWriter {
 public:
  explicit FastaWriter(std::FILE* f) : f_(f) { buf_.reserve(kFlush + 256); }
  ~FastaWriter() { flush(); }
  void header(std::string_view text) {
    end_line();
    buf_.push_back('>');
    buf_.append(text);
    buf_.push_back('\n');
    maybe_flush();
  }
  void sequence(std::string_view s) {
    for (char ch : s) {
      buf_.push_back(ch);
      if (++col_ == 60) {
        buf_.push_back('\n');
        col_ = 0;
        if (buf_.size() >= kFlush) flush();
      }
    }
  }
  void end_line() {
    if (col_ != 0) {
      buf_.push_back('\n');
      col_ = 0;
    }
  }
  bool flush() {
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) ok_ = false;
    buf_.clear();
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  static constexpr size_t kFlush = 1 << 20;
  void maybe_flush() {
    if (buf_.size() >= kFlush) flush();
  }
  std::FILE* f_;
  std::string buf_;
  int col_ = 0;
  bool ok_ = true;
};

}  // namespace seqgen
