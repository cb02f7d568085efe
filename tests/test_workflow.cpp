// The Snakemake workflow, run locally: its merged output must be the whole run's, byte for byte
// but for the clock in "#Time: " lines, and so must the progress lines the jobs leave.
#include <gtest/gtest.h>

#include "oracle.h"

namespace {

const std::regex kStamp("#Time: \\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string yaml_list(const std::vector<std::string>& names) {
  std::string s = "[";
  for (const auto& n : names) s += (s.size() > 1 ? ", '" : "'") + n + "'";
  return s + "]";
}

struct Workflow { std::string left, right, options; uint64_t chunk, per_job; };

// Runs the workflow in `dir` and compares its outputs with the whole run's; returns the number of jobs.
size_t check_workflow(const cli::Dir& dir, const Workflow& w, const std::vector<std::string>& whole_args) {
  const std::string out = (dir.path / "run").string();
  dir.write("config.yaml", "xenvar: '" XENVAR_BIN "'\nleft: " + w.left + "\nright: " + w.right + "\noptions: '" +
                               w.options + "'\nchunk_size: " + std::to_string(w.chunk) +
                               "\nchunks_per_job: " + std::to_string(w.per_job) + "\nthreads: 1\nmem_mb: 0\n" +
                               "outdir: '" + out + "'\n");
  const std::string cmd = "cd '" + dir.path.string() + "' && snakemake -q -s '" XENVAR_SOURCE_DIR
                          "/workflow/Snakefile' --cores 2 --configfile config.yaml > snakemake.log 2>&1";
  const int status = std::system(cmd.c_str());
  EXPECT_EQ(status, 0) << read_file(dir.path / "snakemake.log");
  const cli::Result whole = dir.run(whole_args);
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(std::regex_replace(read_file(out + "/xenvar.out"), kStamp, "#Time: @\n"),
            std::regex_replace(whole.out, kStamp, "#Time: @\n"));
  EXPECT_EQ(read_file(out + "/xenvar.err"), whole.err);
  size_t jobs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out + "/jobs")) jobs += entry.path().extension() == ".out";
  std::filesystem::remove_all(out);
  return jobs;
}

std::vector<std::string> split_words(const std::string& s) {
  std::istringstream in(s);
  return {std::istream_iterator<std::string>(in), {}};
}

}  // namespace

TEST(Workflow, ExampleDataMergesIntoTheWholeRun) {
  const std::string ex = XENVAR_SOURCE_DIR "/examples/";
  const cli::Dir dir;
  const std::string left = ex + "target1.fa," + ex + "target2.fa," + ex + "target3.fa";
  const std::string right = ex + "neighbour1.fa," + ex + "neighbour2.fa";
  std::vector<std::string> args = {"-L", left, "-R", right, "-c", "1000", "-C", "-p", "-v", "-h"};
  EXPECT_EQ(check_workflow(dir, {yaml_list({ex + "target1.fa", ex + "target2.fa", ex + "target3.fa"}),
                                 "'" + right + "'", "-C -p -v -h", 1000, 2},
                           args),
            3u);  // chunks 0-1, 2-3 and 4-4
}

// Random inputs of several chunks, cut into jobs of different sizes, with the options in turn.
TEST(Workflow, RandomMultiChunkCasesMergeIntoTheWholeRun) {
  struct { std::string options; uint64_t per_job; } runs[] = {
      {"-p -h", 3}, {"-f -v -h", 1}, {"-C -H -v", 2}, {"--format bed", 1}, {"--format fasta --min-length 2", 2}};
  std::mt19937 rng(4242);
  const cli::Dir dir;
  for (const auto& run : runs) {
    oracle::Case c;
    std::vector<std::string> args;
    for (;;) {  // a case of at least four chunks that the whole run takes
      c = oracle::random_case(rng);
      for (size_t f = 0; f < c.left.size(); ++f) dir.write('l' + std::to_string(f), c.left[f]);
      for (size_t f = 0; f < c.right.size(); ++f) dir.write('r' + std::to_string(f), c.right[f]);
      args = oracle::args_of(c, "-A");
      std::vector<std::string> count = args;
      count.push_back("--count-chunks");
      const cli::Result r = dir.run(count), whole = dir.run(args);
      if (whole.status == 0 && std::stoul(r.out) >= 4 && whole.out.find(':') != std::string::npos) break;
    }
    // -o, -r and -N go through the options; the chunk size through its own setting.
    std::string options = run.options + " -o " + std::to_string(c.overlap) + " -r " + std::to_string(c.preamble) +
                          (c.dna ? "" : " -N");
    std::vector<std::string> left, right, whole = split_words(options);
    for (size_t f = 0; f < c.left.size(); ++f) left.push_back((dir.path / ('l' + std::to_string(f))).string());
    for (size_t f = 0; f < c.right.size(); ++f) right.push_back((dir.path / ('r' + std::to_string(f))).string());
    auto joined = [](const std::vector<std::string>& names) {
      std::string s;
      for (const auto& n : names) s += (s.empty() ? "" : ",") + n;
      return s;
    };
    whole.insert(whole.end(), {"-c", std::to_string(c.chunk), "-L", joined(left)});
    if (!right.empty()) whole.insert(whole.end(), {"-R", joined(right)});
    SCOPED_TRACE(testing::PrintToString(whole) + " left " + testing::PrintToString(c.left) + " right " +
                 testing::PrintToString(c.right));
    EXPECT_GE(check_workflow(dir, {yaml_list(left), yaml_list(right), options, c.chunk, run.per_job}, whole), 2u);
  }
}

// The quorum options go to every job and to the merge, which has no files to count them against; the chunk that
// mem_mb allows counts their side slots (here one: a right file tolerated), also under getopt_long's abbreviations.
TEST(Workflow, QuorumOptionsPassThroughAndCountInTheChunk) {
  const std::string ex = XENVAR_SOURCE_DIR "/examples/";
  const cli::Dir dir;
  const std::string left = ex + "target1.fa," + ex + "target2.fa," + ex + "target3.fa";
  const std::string right = ex + "neighbour1.fa," + ex + "neighbour2.fa";
  const std::string options = "-C -p -h --min-left 2 --max-right=50%";
  std::vector<std::string> args = split_words(options);
  args.insert(args.end(), {"-L", left, "-R", right, "-c", "1000"});
  EXPECT_EQ(check_workflow(dir, {"'" + left + "'", "'" + right + "'", options, 1000, 2}, args), 3u);

  dir.write("left.txt", "# targets\n" + ex + "target1.fa\n\n" + ex + "target2.fa\r\n" + ex + "target3.fa\n");
  dir.write("config.yaml", "xenvar: '" XENVAR_BIN "'\nleft: '@left.txt'\nright: '" + right +
                               "'\noptions: '-C --min-lef 2 --max-r 1'\nchunk_size: 0\nmem_mb: 1064\n");
  const std::string cmd = "cd '" + dir.path.string() + "' && snakemake -n -p -s '" XENVAR_SOURCE_DIR
                          "/workflow/Snakefile' --cores 1 xenvar-run/chunks.txt --configfile config.yaml > dry.log 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << read_file(dir.path / "dry.log");
  const std::string chunk = " -c " + std::to_string((1000ull << 20) / (85 + 8)) + " ";  // 1000 MiB, 93 bytes a symbol
  EXPECT_NE(read_file(dir.path / "dry.log").find(chunk), std::string::npos) << read_file(dir.path / "dry.log");
}
