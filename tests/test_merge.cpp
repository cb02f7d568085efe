// Merging the outputs of --chunks jobs: the parts of one output, the union of regions, and whole merges.
#include <gtest/gtest.h>

#include <tuple>

#include "cli.h"
#include "merge.h"
#include "treecreate.h"

namespace {

// Sets -v and -h for one test and puts the settings back after it.
struct Settings {
  std::tuple<int32_t, int32_t> saved{VERBOSE, HISTOGRAM};
  Settings(int32_t verbose, int32_t histogram) { VERBOSE = verbose, HISTOGRAM = histogram; }
  ~Settings() { std::tie(VERBOSE, HISTOGRAM) = saved; }
};

Region region(const char* record, uint64_t start, uint64_t end, uint64_t score = 0, const char* sequence = "") {
  return {record, start, end, score, sequence};
}

std::string regions_text(const std::vector<Region>& regions) {
  std::string s;
  for (const Region& r : regions)
    s += r.record + " " + std::to_string(r.start) + "-" + std::to_string(r.end) + " " + std::to_string(r.score) + " " +
         r.sequence + "\n";
  return s;
}

const char* const kHeader = "#Representative file: l0\n#Node: 0\n";

}  // namespace

TEST(JobOutput, HeaderBodyFinalStampAndHistogram) {
  {
    const Settings s(1, 1);
    const std::string text = std::string(kHeader) + "#Time: a\n0: (1, 2, 3)\n#Time: b\n>0 0\n>1 0\n>2 4\n";
    const JobOutput job = split_job_output(text, "j");  // views into text
    EXPECT_EQ(job.header, std::string_view(kHeader));
    EXPECT_EQ(job.body, "#Time: a\n0: (1, 2, 3)\n");
    EXPECT_EQ(job.final_time, "#Time: b\n");
    EXPECT_EQ(job.histogram, std::vector<uint64_t>({0, 0, 4}));
  }
  {
    // -f -h: the histogram follows the text on its line.
    const Settings s(0, 1);
    const JobOutput job = split_job_output("ACGNT>0 0\n", "j");
    EXPECT_EQ(job.body, "ACGNT");
    EXPECT_EQ(job.histogram, std::vector<uint64_t>({0}));
  }
  {
    // -f -v: stamps begin right after a chunk's text; only the last is the job's final one.
    const Settings s(1, 0);
    const std::string text = std::string(kHeader) + "#Time: a\nACG#Time: b\nTT#Time: c\n";
    const JobOutput job = split_job_output(text, "j");
    EXPECT_EQ(job.body, "#Time: a\nACG#Time: b\nTT");
    EXPECT_EQ(job.final_time, "#Time: c\n");
  }
  std::vector<uint64_t> sum = {0, 1};
  add_histogram(&sum, {0, 2, 3, 4});
  add_histogram(&sum, {0});
  EXPECT_EQ(sum, std::vector<uint64_t>({0, 3, 3, 4}));
}

TEST(JobOutput, TruncatedOrForeignOutputsAreRefused) {
  const Settings s(1, 1);
  const std::string why = "j is not the output of a xenvar job with these options: ";
  EXPECT_EXIT(split_job_output("0: (1, 2, 3)\n", "j"), testing::ExitedWithCode(1), why + "no header lines");
  EXPECT_EXIT(split_job_output(std::string(kHeader) + "#Time: a\n1: (1, 1, 1)\n", "j"), testing::ExitedWithCode(1),
              why + "no histogram");
  EXPECT_EXIT(split_job_output(std::string(kHeader) + "#Time: a\n>0 0\n>2 1\n", "j"), testing::ExitedWithCode(1),
              why + "a broken histogram line");
  EXPECT_EXIT(split_job_output(std::string(kHeader) + "#Time: a\n>0 0", "j"), testing::ExitedWithCode(1),
              why + "a broken histogram line");
  EXPECT_EXIT(split_job_output(std::string(kHeader) + "1: (1, 1, 1)\n>0 0\n", "j"), testing::ExitedWithCode(1),
              why + "no time stamp after the last chunk");
}

TEST(Regions, TouchingAndOverlappingStretchesOfARecordJoin) {
  const std::vector<Region> joined = join_regions({
      region("chr2", 5, 9, 30),
      region("chr1", 10, 20, 5), region("chr1", 30, 40, 3),      // one job
      region("chr1", 20, 25, 7), region("chr1", 32, 33, 9),      // the next: touches, lies inside,
      region("chr1", 35, 50, 1), region("chr1", 51, 52, 2),      // overlaps, stands one apart
      region("chr2", 9, 10, 40), region("chr3", 0, 1, 4),
  });
  EXPECT_EQ(regions_text(joined),
            "chr2 5-10 30 \n"
            "chr1 10-25 5 \nchr1 30-50 1 \nchr1 51-52 2 \n"
            "chr3 0-1 4 \n");
}

TEST(Regions, SequencesUniteAndMustAgree) {
  EXPECT_EQ(regions_text(join_regions({region("r", 0, 5, 0, "ACGTA"), region("r", 1, 3, 0, "CG"),
                                       region("r", 3, 8, 0, "TACCG"), region("r", 8, 9, 0, "T")})),
            "r 0-9 0 ACGTACCGT\n");
  EXPECT_EXIT(join_regions({region("r", 0, 5, 0, "ACGTA"), region("r", 3, 8, 0, "GACCG")}),
              testing::ExitedWithCode(1), "Regions of r disagree on their sequence at 4.\n");
}

TEST(Regions, BedAndFastaLinesReadBackAsWritten) {
  const std::string long_sequence = std::string(60, 'A') + std::string(60, 'C') + "GT";
  const std::vector<Region> regions = {region("contig 1:x", 9, 25, 1200, ""), region("c2", 0, 122, 16, "")};
  const std::string bed = format_regions(regions, OutputFormat::bed);
  EXPECT_EQ(bed, "contig 1:x\t9\t25\tcontig 1:x:10-25\t1000\t.\nc2\t0\t122\tc2:1-122\t16\t.\n");
  const std::vector<Region> fasta_regions = {region("contig 1:x", 9, 11, 0, "AC"), region("c2", 0, 122, 0, long_sequence.c_str())};
  const std::string fasta = format_regions(fasta_regions, OutputFormat::fasta);
  EXPECT_EQ(fasta, ">contig 1:x:10-11\nAC\n>c2:1-122\n" + std::string(60, 'A') + "\n" + std::string(60, 'C') + "\nGT\n");

  const Settings s(0, 0);
  std::string comments;
  EXPECT_EQ(body_format("#Time: a\n" + bed), OutputFormat::bed);
  EXPECT_EQ(body_format(fasta), OutputFormat::fasta);
  EXPECT_EQ(body_format("0: (1, 2, 2)\n"), OutputFormat::tags);
  EXPECT_EQ(regions_text(parse_regions("#Time: a\n" + bed, OutputFormat::bed, "j", &comments)),
            "contig 1:x 9-25 1000 \nc2 0-122 16 \n");
  EXPECT_EQ(regions_text(parse_regions(fasta, OutputFormat::fasta, "j", &comments)),
            "contig 1:x 9-11 0 AC\nc2 0-122 0 " + long_sequence + "\n");
  EXPECT_EQ(comments, "#Time: a\n");
  EXPECT_EXIT(parse_regions("c\t1\t2\tc:2-2\t5\n", OutputFormat::bed, "j", &comments), testing::ExitedWithCode(1),
              "a broken BED line");
  EXPECT_EXIT(parse_regions(">c:3-5\nACGT\n", OutputFormat::fasta, "j", &comments), testing::ExitedWithCode(1),
              "does not fit its header");
}

// Whole merges through the binary, on job outputs written by hand.
TEST(MergeRun, RegionsJoinAcrossJobBorders) {
  const std::string t = "#Time: Tue Dec  8 14:13:27 2026\n";
  const cli::Dir dir({
      {"bed0", std::string(kHeader) + t + "r1\t0\t4\tr1:1-4\t4\t.\nr1\t10\t14\tr1:11-14\t6\t.\n" + t + t},
      {"bed1", std::string(kHeader) + t + "r1\t4\t6\tr1:5-6\t2\t.\nr1\t12\t20\tr1:13-20\t8\t.\nr2\t0\t3\tr2:1-3\t3\t.\n" + t},
      {"bed2", std::string(kHeader) + t + t},  // a job without regions
      {"fa0", ">r1:1-4\nACGT\n>r1:11-14\nTTTT\n"},
      {"fa1", ">r1:5-6\nAA\n>r1:12-20\nTTTGGGCCC\n>r2:1-3\nGGG\n"},
  });
  cli::Result r = dir.run({"-v", "--merge", "bed0", "bed1", "bed2"});
  EXPECT_EQ(r.out, std::string(kHeader) + t + t + t + t +
                       "r1\t0\t6\tr1:1-6\t2\t.\nr1\t10\t20\tr1:11-20\t6\t.\nr2\t0\t3\tr2:1-3\t3\t.\n" + t);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  r = dir.run({"--merge", "fa0", "fa1"});
  EXPECT_EQ(r.out, ">r1:1-6\nACGTAA\n>r1:11-20\nTTTTGGGCCC\n>r2:1-3\nGGG\n");
  EXPECT_EQ(r.status, 0);
}

TEST(MergeRun, HistogramsSumAndMismatchesAreRefused) {
  const std::string t = "#Time: Tue Dec  8 14:13:27 2026\n";
  const cli::Dir dir({
      {"h0", std::string(kHeader) + t + t + ">0 0\n>1 2\n"},
      {"h1", std::string(kHeader) + t + t + ">0 0\n>1 1\n>2 0\n>3 5\n"},
      {"h2", std::string(kHeader) + t + ">0 0\n"},
      {"other", "#Representative file: l1\n#Node: 0\n" + t + ">0 0\n"},
      {"tags", "0: (1, 1, 3)\n"},
  });
  cli::Result r = dir.run({"-v", "-H", "--merge", "h0", "h1", "h2"});
  EXPECT_EQ(r.out, std::string(kHeader) + t + t + t + ">0 0\n>1 3\n>2 0\n>3 5\n");
  EXPECT_EQ(r.status, 0);
  r = dir.run({"-vH", "--merge", "h0", "other"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "h0 and other are outputs of different runs.\n");
  EXPECT_EQ(r.status, 1);
  r = dir.run({"-vH", "--merge", "h0", "missing"});
  EXPECT_EQ(r.err, "Cannot open file missing.\n");
  EXPECT_EQ(r.status, 1);
  r = dir.run({"-v", "--merge"});
  EXPECT_EQ(r.err, "--merge needs the jobs' output files, in chunk order.\n");
  EXPECT_EQ(r.status, 1);
  r = dir.run({"--merge", "tags", "--chunks", "0-1"});
  EXPECT_EQ(r.err, "--merge goes with neither --chunks nor --count-chunks.\n");
  EXPECT_EQ(r.status, 1);
  // No -L needed; an empty job output (no tags) is fine without -v and -h.
  dir.write("empty", "");
  r = dir.run({"--merge", "tags", "empty", "tags"});
  EXPECT_EQ(r.out, "0: (1, 1, 3)\n0: (1, 1, 3)\n");
  EXPECT_EQ(r.status, 0);
}
