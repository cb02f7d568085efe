// Whole pass: small left and right files from the fuzz input through the real command line and
// chunk loop, in this process so that the fuzzer sees what the run covers; the tags checked
// against the brute force of their definition in tests/oracle.h. A run that must fail (a
// reserved "$" under -N) exits, so it runs in the built binary instead.
//
// Input: chunk, overlap, preamble, a flags byte, then the files separated by "|": the first
// 1 + (flags >> 4 & 3) are left files, the rest (four at most) right files. Flags: bit 0 -N,
// 1 -p, 2 -h, 3 -f in place of the tags, 4-5 the left files, 6-7 the form files are stored in.
// The preamble byte's bits 5-7 add --ignore-case, --both-strands (without -N) and a second
// thread; the overlap byte's bits 5-6 a quorum of left files, bit 7 one tolerated right file.
#include <fcntl.h>
#include <getopt.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include "../oracle.h"
#include "fuzz_common.h"
#include "report.h"
#include "treecreate.h"
#include "xenvar.h"

namespace {

using fuzz::require;

// The settings as a fresh process has them, before its command line is read.
void reset_settings() {
  FILES_LEFT.clear(), FILES_LEFT_SIZES.clear(), FILES_RIGHT.clear(), FILES_RIGHT_SIZES.clear();
  LEFT = RIGHT = 0, DNA = 1, CHUNK = 0, OVERLAP = PREAMBLE = 10000, HEAPSIZE = 0;
  OUTPUT_FILE = NODE_OUTPUT = COMPRESS = VERBOSE = HISTOGRAM = SPELL = ROBUST = 0;
  IGNORE_CASE = BOTH_STRANDS = COUNT_CHUNKS = MERGE = 0, THREADS = 1;
  FORMAT = Format::tags, MIN_LENGTH = 1, CHUNKS_FIRST = 0, CHUNKS_LAST = UINT64_MAX;
  optind = 0;  // getopt starts over
}

std::string read_back(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs xenvar on `args` as main would, up to its final flush, with standard output and error
// sent to files.
cli::Result run_in_process(const cli::Dir& dir, std::vector<std::string> args) {
  for (size_t i = 1; i < args.size(); ++i)  // file names relative to the run's folder
    if (args[i - 1] == "-L" || args[i - 1] == "-R")
      args[i] = std::regex_replace(args[i], std::regex("[^,]+"), dir.path.string() + "/$&");
  args.insert(args.begin(), "xenvar");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string out_path = fuzz::scratch_dir() + "/out", err_path = fuzz::scratch_dir() + "/err";
  std::fflush(stdout);
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int saved_out = ::dup(1), saved_err = ::dup(2);
  require(out >= 0 && err >= 0 && saved_out >= 0 && saved_err >= 0, "redirecting the output");
  ::dup2(out, 1), ::dup2(err, 2);
  reset_settings();
  createtree(static_cast<int>(args.size()), argv.data());
  out_init();
  run_chunks();
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  ::dup2(saved_out, 1), ::dup2(saved_err, 2);
  for (int fd : {out, err, saved_out, saved_err}) ::close(fd);
  require(written, "standard output written");
  return {read_back(out_path), read_back(err_path), 0};
}

// Standard error without the progress lines, whose format the CLI tests check.
std::string without_progress(const std::string& err) {
  static const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");
  return std::regex_replace(err, progress, "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Sanitizer reports must reach the fuzzer's standard error even while a run's is redirected.
  static int report_fd = ::dup(2);
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(report_fd)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 1200) return 0;
  oracle::Case c;
  c.chunk = 1 + data[0] % 96, c.overlap = 1 + data[1] % 32, c.preamble = data[2] & 31;
  const uint8_t flags = data[3];
  c.dna = !(flags & 1), c.spell = flags & 2, c.histogram = flags & 4;
  const bool ignore_case = data[2] & 0x20, two_threads = data[2] & 0x80;
  c.both = c.dna && (data[2] & 0x40);
  const bool convert = flags & 8;
  const uint8_t quorum = data[1] >> 5;
  std::vector<std::string> files(1);
  for (size_t i = 4; i < size; ++i) {
    if (data[i] == '|') files.emplace_back();
    else files.back() += static_cast<char>(data[i]);
  }
  const size_t left = std::min<size_t>(1 + (flags >> 4 & 3), files.size());
  c.left.assign(files.begin(), files.begin() + left);
  c.right.assign(files.begin() + left, files.begin() + std::min<size_t>(files.size(), left + 4));
  if (c.right.empty() && c.left.size() < 2) return 0;  // the usage text: nothing to compare
  if (quorum & 3) c.min_left = std::to_string(1 + (quorum & 3) % c.left.size());
  if (quorum & 4) c.max_right = "1";
  const bool plain = (flags >> 6 & 3) == 0;
  for (const auto* side : {&c.left, &c.right})
    for (const std::string& f : *side)
      if ((plain && fuzz::reads_as_gzip(f)) || f.starts_with("@")) return 0;  // not plain, or reads: the reader target covers it

  static const cli::Dir dir;
  for (size_t f = 0; f < c.left.size(); ++f) dir.write("l" + std::to_string(f), fuzz::stored(c.left[f], flags >> 6));
  for (size_t f = 0; f < c.right.size(); ++f) dir.write("r" + std::to_string(f), fuzz::stored(c.right[f], flags >> 6));
  oracle::Case as_read = c;  // the oracle sees what --ignore-case makes of the files
  if (ignore_case)
    for (auto* side : {&as_read.left, &as_read.right})
      for (std::string& f : *side)
        for (char& ch : f)
          if (ch != '\0' && std::strchr("acgtu", ch) != nullptr) ch = static_cast<char>(ch - 'a' + 'A');
  const oracle::Expected e = oracle::brute_force(as_read);
  auto with_settings = [&](std::vector<std::string> args) {
    if (ignore_case) args.push_back("--ignore-case");
    args.insert(args.end(), {"--threads", two_threads ? "2" : "1"});
    return args;
  };
  if (convert) {
    const cli::Result r = run_in_process(dir, with_settings(oracle::args_of(c, "-f")));
    require(r.out == e.converted, "-f prints the chunks' own symbols", r.out, e.converted);
    return 0;
  }
  const auto args = with_settings(oracle::args_of(c, std::string("-C") + (c.spell ? "p" : "") + (c.histogram ? "h" : "")));
  const cli::Result r = e.status == 0 ? run_in_process(dir, args) : dir.run(args);
  require(r.status == e.status, "exit status", std::to_string(r.status) + "\n" + r.err, std::to_string(e.status));
  require(without_progress(r.err) == e.err, "standard error", r.err, e.err);
  const std::string tags = oracle::canonical(e.texts, r.out, c.spell), expected = oracle::canonical(e.texts, e.out, true);
  require(tags == expected, "the tags", tags, expected);
  return 0;
}
