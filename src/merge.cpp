#include "merge.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "report.h"
#include "treecreate.h"

static const std::string_view TIME_STAMP = "#Time: ";

[[noreturn]] static void not_a_job_output(const char* name, const char* why) {
  fatal(1, "%s is not the output of a xenvar job with these options: %s.\n", name, why);
}

// ---------------------------------------------------------------- one job's output

static std::vector<uint64_t> parse_histogram(std::string_view text, const char* name) {
  std::vector<uint64_t> counts;
  while (!text.empty()) {
    uint64_t length = 0, count = 0;
    int used = 0;
    std::string line(text.substr(0, text.find('\n') + 1));
    if (std::sscanf(line.c_str(), ">%" SCNu64 " %" SCNu64 "\n%n", &length, &count, &used) != 2 ||
        used != static_cast<int>(line.size()) || line.back() != '\n' || length != counts.size())
      not_a_job_output(name, "a broken histogram line");
    counts.push_back(count);
    text.remove_prefix(line.size());
  }
  if (counts.empty()) not_a_job_output(name, "no histogram");
  return counts;
}

JobOutput split_job_output(std::string_view text, const char* name) {
  JobOutput job;
  if (VERBOSE) {
    // "#Representative file...: NAME" and "#Node: N".
    size_t first = text.find('\n');
    size_t second = first == text.npos ? text.npos : text.find('\n', first + 1);
    if (!text.starts_with("#Representative file") || second == text.npos)
      not_a_job_output(name, "no header lines");
    job.header = text.substr(0, second + 1);
    text.remove_prefix(second + 1);
  }
  if (HISTOGRAM >= 1) {
    // No symbol, tag line or region is ever ">"-led once the header is gone: the first ">" opens it.
    size_t start = text.find('>');
    if (start == text.npos) not_a_job_output(name, "no histogram");
    job.histogram = parse_histogram(text.substr(start), name);
    text = text.substr(0, start);
  }
  if (VERBOSE) {
    size_t stamp = text.rfind(TIME_STAMP);
    if (stamp == text.npos || text.back() != '\n' || text.find('\n', stamp) != text.size() - 1)
      not_a_job_output(name, "no time stamp after the last chunk");
    job.final_time = text.substr(stamp);
    text = text.substr(0, stamp);
  }
  job.body = text;
  return job;
}

void add_histogram(std::vector<uint64_t>* sum, const std::vector<uint64_t>& histogram) {
  if (sum->size() < histogram.size()) sum->resize(histogram.size(), 0);
  for (size_t k = 0; k < histogram.size(); ++k) (*sum)[k] += histogram[k];
}

// ---------------------------------------------------------------- regions

OutputFormat body_format(std::string_view body) {
  while (!body.empty()) {
    std::string_view line = body.substr(0, body.find('\n'));
    body.remove_prefix(std::min(body.size(), line.size() + 1));
    if (line.starts_with('#')) continue;
    if (line.starts_with('>') && HISTOGRAM == 0) return OutputFormat::fasta;
    return line.find('\t') != line.npos ? OutputFormat::bed : OutputFormat::tags;
  }
  return OutputFormat::tags;
}

static bool parse_number(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = n;
  return true;
}

// RECORD<TAB>START<TAB>END<TAB>RECORD:START+1-END<TAB>SCORE<TAB>.
static bool parse_bed_line(std::string_view line, Region* r) {
  std::vector<std::string_view> fields;
  for (size_t tab; (tab = line.find('\t')) != line.npos; line.remove_prefix(tab + 1))
    fields.push_back(line.substr(0, tab));
  fields.push_back(line);
  if (fields.size() != 6 || fields[0].empty()) return false;
  r->record = fields[0];
  return parse_number(fields[1], &r->start) && parse_number(fields[2], &r->end) &&
         parse_number(fields[4], &r->score) && r->start < r->end;
}

// ">RECORD:START-END", 1-based and inclusive; a record name may hold ":" itself.
static bool parse_fasta_header(std::string_view line, Region* r) {
  size_t colon = line.rfind(':'), dash = line.rfind('-');
  if (colon == line.npos || colon < 2 || dash == line.npos || dash < colon) return false;
  uint64_t first = 0, last = 0;
  if (!parse_number(line.substr(colon + 1, dash - colon - 1), &first) ||
      !parse_number(line.substr(dash + 1), &last) || first == 0 || first > last)
    return false;
  r->record = line.substr(1, colon - 1);
  r->start = first - 1;
  r->end = last;
  return true;
}

std::vector<Region> parse_regions(std::string_view body, OutputFormat format, const char* name,
                                  std::string* comments) {
  std::vector<Region> regions;
  while (!body.empty()) {
    size_t eol = body.find('\n');
    if (eol == body.npos) not_a_job_output(name, "no line feed at its end");
    std::string_view line = body.substr(0, eol);
    body.remove_prefix(eol + 1);
    if (line.starts_with('#')) {
      comments->append(line).push_back('\n');
    } else if (format == OutputFormat::bed) {
      if (!parse_bed_line(line, &regions.emplace_back())) not_a_job_output(name, "a broken BED line");
    } else if (line.starts_with('>')) {
      if (!parse_fasta_header(line, &regions.emplace_back())) not_a_job_output(name, "a broken FASTA header");
    } else {
      if (regions.empty() || line.empty()) not_a_job_output(name, "a sequence line outside a record");
      regions.back().sequence.append(line);
    }
  }
  for (const Region& r : regions)
    if (format == OutputFormat::fasta && r.sequence.size() != r.end - r.start)
      not_a_job_output(name, "a FASTA record whose sequence does not fit its header");
  return regions;
}

// Appends `next`, which begins at or before the end of `joined`, to it.
static void join_two(Region* joined, const Region& next) {
  if (!joined->sequence.empty() || !next.sequence.empty()) {
    // Both cover [next.start, min(end)): they must spell it alike, or the jobs were not one run.
    uint64_t common = std::min(joined->end, next.end) - next.start;
    if (joined->sequence.compare(next.start - joined->start, common, next.sequence, 0, common) != 0)
      fatal(1, "Regions of %s disagree on their sequence at %" PRIu64 ".\n", next.record.c_str(),
            next.start + 1);
    if (next.end > joined->end) joined->sequence.append(next.sequence, joined->end - next.start);
  }
  joined->end = std::max(joined->end, next.end);
  joined->score = std::min(joined->score, next.score);
}

std::vector<Region> join_regions(const std::vector<Region>& regions) {
  std::map<std::string, size_t> record_index;
  std::vector<std::vector<Region>> by_record;
  for (const Region& r : regions) {
    auto [it, fresh] = record_index.try_emplace(r.record, by_record.size());
    if (fresh) by_record.emplace_back();
    by_record[it->second].push_back(r);
  }
  std::vector<Region> joined;
  for (std::vector<Region>& record : by_record) {
    std::stable_sort(record.begin(), record.end(),
                     [](const Region& a, const Region& b) { return a.start < b.start; });
    size_t first = joined.size();
    for (const Region& r : record) {
      // Touching regions (one ends where the next begins) join as well as overlapping ones.
      if (joined.size() > first && r.start <= joined.back().end) join_two(&joined.back(), r);
      else joined.push_back(r);
    }
  }
  return joined;
}

std::string format_regions(const std::vector<Region>& regions, OutputFormat format) {
  std::string out;
  char numbers[96];
  for (const Region& r : regions) {
    if (format == OutputFormat::bed) {
      std::snprintf(numbers, sizeof numbers, "\t%" PRIu64 "\t%" PRIu64 "\t", r.start, r.end);
      out += r.record + numbers + r.record;
      std::snprintf(numbers, sizeof numbers, ":%" PRIu64 "-%" PRIu64 "\t%" PRIu64 "\t.\n", r.start + 1,
                    r.end, std::min<uint64_t>(r.score, 1000));
      out += numbers;
    } else {
      std::snprintf(numbers, sizeof numbers, ":%" PRIu64 "-%" PRIu64 "\n", r.start + 1, r.end);
      out += ">" + r.record + numbers;
      for (size_t i = 0; i < r.sequence.size(); i += 60) out.append(r.sequence, i, 60).push_back('\n');
    }
  }
  return out;
}

// ---------------------------------------------------------------- the merge

// A job's output file, mapped whole: a job of many chunks may print more than memory holds.
struct MappedFile {
  std::string_view text;
  ~MappedFile() {
    if (!text.empty()) ::munmap(const_cast<char*>(text.data()), text.size());
  }
};

static void map_file(const char* name, MappedFile* file) {
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) fatal(1, "Cannot open file %s.\n", name);
  if (st.st_size > 0) {
    void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) fatal(1, "Cannot open file %s.\n", name);
    ::madvise(p, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
    file->text = std::string_view(static_cast<const char*>(p), static_cast<size_t>(st.st_size));
  }
  ::close(fd);
}

// A view of an absent part has no data at all, which fwrite must not be handed.
static void write_view(std::string_view text) {
  if (!text.empty()) out_write(text.data(), text.size());
}

void merge_outputs(const std::vector<std::string>& files) {
  std::vector<MappedFile> mapped(files.size());
  std::vector<JobOutput> jobs;
  OutputFormat format = OutputFormat::tags;
  for (size_t i = 0; i < files.size(); ++i) {
    map_file(files[i].c_str(), &mapped[i]);
    jobs.push_back(split_job_output(mapped[i].text, files[i].c_str()));
    if (jobs[i].header != jobs[0].header)
      fatal(1, "%s and %s are outputs of different runs.\n", files[0].c_str(), files[i].c_str());
    OutputFormat f = body_format(jobs[i].body);
    if (f != OutputFormat::tags && format != OutputFormat::tags && f != format)
      fatal(1, "%s and earlier outputs differ in format.\n", files[i].c_str());
    if (f != OutputFormat::tags) format = f;
  }

  write_view(jobs[0].header);
  std::vector<uint64_t> histogram;
  if (format == OutputFormat::tags) {
    // Offset lines are absolute already: the bodies follow one another unchanged.
    for (const JobOutput& job : jobs) {
      write_view(job.body);
      out_check();
      add_histogram(&histogram, job.histogram);
    }
  } else {
    std::string comments;
    std::vector<Region> regions;
    for (size_t i = 0; i < jobs.size(); ++i) {
      std::vector<Region> more = parse_regions(jobs[i].body, format, files[i].c_str(), &comments);
      regions.insert(regions.end(), more.begin(), more.end());
    }
    std::string text = comments + format_regions(join_regions(regions), format);
    write_view(text);
  }
  // Each job stamps the time after its last chunk; the whole run does so once, at its end.
  write_view(jobs.back().final_time);
  for (uint64_t k = 0; HISTOGRAM >= 1 && k < histogram.size(); ++k)
    std::printf(">%" PRIu64 " %" PRIu64 "\n", k, histogram[k]);
  out_finish_and_exit();
}
