// Joins the outputs of --chunks jobs, given in chunk order, into the output of the whole run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One job's standard output cut into the parts that the merge treats apart. The options
// (VERBOSE, HISTOGRAM) say which parts there are.
struct JobOutput {
  std::string_view header;      // the -v comment lines that open every job's output
  std::string_view body;        // tag lines, -f text or regions, with the chunks' "#Time: " lines
  std::string_view final_time;  // the -v time stamp after the job's last chunk
  std::vector<uint64_t> histogram;  // tags of each length, from 0
};

enum class OutputFormat { tags, bed, fasta };

// A stretch of one record, 0-based and half-open; `sequence` only for FASTA.
struct Region {
  std::string record;
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t score = 0;
  std::string sequence;
};

// Cuts one job's output; a text that cannot be such an output ends the run, naming `name`.
JobOutput split_job_output(std::string_view text, const char* name);
// Regions are told by their lines: BED lines hold tabs, FASTA records begin with ">".
OutputFormat body_format(std::string_view body);
// The regions of a BED or FASTA body in their order; its "#" lines are appended to `comments`.
std::vector<Region> parse_regions(std::string_view body, OutputFormat format, const char* name,
                                  std::string* comments);
// Unites the regions of each record that touch or overlap: records in order of first
// appearance, regions in sequence order, the smallest score of those joined.
std::vector<Region> join_regions(const std::vector<Region>& regions);
std::string format_regions(const std::vector<Region>& regions, OutputFormat format);
// Adds a job's histogram to the sum, which grows to the longest tag of any job.
void add_histogram(std::vector<uint64_t>* sum, const std::vector<uint64_t>& histogram);

// Prints the whole run's output for the jobs' output files and ends the process.
[[noreturn]] void merge_outputs(const std::vector<std::string>& files);
