#include "treecreate.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "source.h"
#include "suffix_tree.h"
#include "threads.h"

std::vector<std::string> FILES_LEFT;
std::vector<uint64_t> FILES_LEFT_SIZES;
std::vector<std::string> FILES_RIGHT;
std::vector<uint64_t> FILES_RIGHT_SIZES;
int32_t LEFT = 0;
int32_t RIGHT = 0;
int32_t DNA = 1;
uint32_t CHUNK = 0;
uint32_t OVERLAP = 10000;
uint32_t PREAMBLE = 10000;
uint32_t HEAPSIZE = 0;
int32_t OUTPUT_FILE = 0;
int32_t NODE_OUTPUT = 0;
int32_t COMPRESS = 0;
int32_t VERBOSE = 0;
int32_t HISTOGRAM = 0;
int32_t SPELL = 0;
int32_t ROBUST = 0;
int32_t IGNORE_CASE = 0;
int32_t BOTH_STRANDS = 0;
Format FORMAT = Format::tags;
uint32_t MIN_LENGTH = 1;
uint32_t MAX_LENGTH = UINT32_MAX;
std::vector<HeaderEvent>* HEADER_EVENTS = nullptr;
uint64_t CHUNKS_FIRST = 0;
uint64_t CHUNKS_LAST = UINT64_MAX;
int32_t COUNT_CHUNKS = 0;
int32_t MERGE = 0;
std::vector<std::string> MERGE_FILES;
uint32_t THREADS = 1;
int32_t MIN_LEFT = 0;
int32_t MAX_RIGHT = 0;
QUORUM_PLAN QUORUM;

// ---------------------------------------------------------------- command line

static const char* const USAGE =
    "Xenvar 5.1\n"
    "Usage: xenvar [options]\n"
    "\n"
    "Options:\n"
    "   -L file1,file2...  List of files of sequences to the left\n"
    "   -R file3,file4...  Optional list of files of sequences to the right\n"
    "   -n                 Node under consideration (output only)\n"
    "   -c size            Chunk size\n"
    "   -o length          Overlap length\n"
    "   -r length          Preamble length (FASTA)\n"
    "   -f                 Converts reference file to a string\n"
    "   -p                 Spells tags\n"
    "   -N                 Do not remove tags due to N character\n"
    "   -C                 Compress output\n"
    "   -h                 Output histogram (starting with >)\n"
    "   -H                 Output histogram only\n"
    "   -v                 Verbose mode (outputs comments with #)\n"
    "   -X                 Robust tags only\n"
    "   -a                 Auto parameters\n"
    "   -A                 Auto parameters (FASTA)\n"
    "\n"
    "Asumes #, $, and + are unique characters not used in input sequences.\n"
    "\n"
    "To remove tags due to invalid characters, a duplicate of the first\n"
    " left file is created, where the characters are replaced say '+'.\n"
    "\n"
    "Sequences may be given in FASTA format. Lines starting with '>' are ignored.\n"
    "In case of contigue files, character other than the first '>' are replaced by '+'.\n"
    "Whitespace and new lines are also ignored.\n";

void PrintUsage() { fatal(1, "%s", USAGE); }

void parse_u32(const char* text, uint32_t* value) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!std::isdigit(static_cast<unsigned char>(*p))) return;
  uint64_t number = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    number = number * 10 + static_cast<uint64_t>(*p - '0');
    if (number > UINT32_MAX) number = uint64_t{UINT32_MAX} + 1;  // saturate, keep scanning
  }
  // Anything out of range, a negative number included, is the largest setting.
  *value = (negative && number != 0) || number > UINT32_MAX ? UINT32_MAX
                                                            : static_cast<uint32_t>(number);
}

void parse_i32(const char* text, int32_t* value) {
  char* end = nullptr;
  long number = std::strtol(text, &end, 10);
  if (end == text) return;
  *value = static_cast<int32_t>(number);
}

bool parse_chunk_range(const char* text, uint64_t* first, uint64_t* last) {
  // Digits only: a sign, a blank or a missing end would be read as some other range.
  auto number = [](const char*& p, uint64_t* value) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    uint64_t n = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
      if (n > (UINT64_MAX - 9) / 10) return false;
      n = n * 10 + static_cast<uint64_t>(*p - '0');
    }
    *value = n;
    return true;
  };
  const char* p = text;
  uint64_t a = 0, b = 0;
  if (!number(p, &a) || *p++ != '-' || !number(p, &b) || *p != '\0' || a > b) return false;
  *first = a;
  *last = b;
  return true;
}

void parse_threads(const char* text, uint32_t* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::strtoull(text, &end, 10);
  bool digits_only = std::isdigit(static_cast<unsigned char>(*text)) && end != text && *end == '\0';
  if (!digits_only || errno != 0 || number < 1 || number > MAX_THREADS)
    fatal(1, "Invalid thread count '%s': give a whole number from 1 to %u.\n", text, MAX_THREADS);
  *value = static_cast<uint32_t>(number);
}

FileCount parse_file_count(const char* text, int32_t files, bool left, int64_t* count) {
  const char* p = text;
  if (*p == '-' && (std::isdigit(static_cast<unsigned char>(p[1])) || p[1] == '.')) return FileCount::negative;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return FileCount::not_a_number;
  uint64_t whole = 0, fraction = 0, scale = 1;  // P = whole + fraction / scale
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
    whole = std::min<uint64_t>(whole * 10 + static_cast<uint64_t>(*p - '0'), UINT32_MAX);
  if (*p == '\0') {
    *count = static_cast<int64_t>(whole);
    return FileCount::ok;
  }
  if (*p == '.') {
    // Nine decimals keep P * scale * files within 128 bits, exactly.
    if (!std::isdigit(static_cast<unsigned char>(*++p))) return FileCount::not_a_number;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
      if (scale == 1000000000) return FileCount::not_a_number;
      fraction = fraction * 10 + static_cast<uint64_t>(*p - '0');
      scale *= 10;
    }
  }
  if (*p != '%' || p[1] != '\0') return FileCount::not_a_number;
  const unsigned __int128 percent = static_cast<unsigned __int128>(whole) * scale + fraction;
  if (percent > 100 * static_cast<unsigned __int128>(scale)) return FileCount::above_100;
  const unsigned __int128 share = percent * static_cast<uint64_t>(files), per = 100 * static_cast<unsigned __int128>(scale);
  const uint64_t files_of = static_cast<uint64_t>(left ? (share + per - 1) / per : share / per);
  *count = static_cast<int64_t>(left && files_of == 0 ? 1 : files_of);
  return FileCount::ok;
}

std::vector<std::string> split(const char* str, int32_t* cnt) {
  std::vector<std::string> names;
  const char* item = str;
  for (const char* p = str;; ++p) {
    if (*p == ',' || *p == '\0') {
      names.emplace_back(item, static_cast<size_t>(p - item));
      item = p + 1;
      if (*p == '\0') break;
    }
  }
  *cnt = static_cast<int32_t>(names.size());
  return names;
}

// The files named in a list file, one a line; false when it cannot be read.
static bool read_list_file(const std::string& path, std::vector<std::string>* names) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    // Trailing blanks and a CRLF line end are no part of a name.
    size_t end = line.find_last_not_of(" \t\r");
    if (end == std::string::npos || line[0] == '#') continue;
    names->push_back(line.substr(0, end + 1));
  }
  return !in.bad();
}

std::vector<std::string> read_file_list(const char* list, int32_t* cnt) {
  int32_t items = 0;
  std::vector<std::string> names;
  for (const std::string& item : split(list, &items)) {
    if (item.empty() || item[0] != '@') {
      names.push_back(item);
      continue;
    }
    const std::string path = item.substr(1);
    std::vector<std::string> listed;
    if (!read_list_file(path, &listed)) fatal(1, "Can't open file %s.\n", path.c_str());
    // A list that names nothing is a mistake, like an empty name between two commas.
    if (listed.empty()) fatal(1, "Can't open file %s.\n", item.c_str());
    names.insert(names.end(), listed.begin(), listed.end());
  }
  *cnt = static_cast<int32_t>(names.size());
  return names;
}

std::vector<uint64_t> sizes(const std::vector<std::string>& strs, int32_t cnt) {
  std::vector<uint64_t> result(static_cast<size_t>(cnt));
  for (int32_t k = 0; k < cnt; ++k) {
    // A compressed file counts with its decompressed size; its content tells whether it is FASTQ.
    int first = -1;
    if (!source_size(strs[k].c_str(), &result[k], &first)) fatal(1, "Can't open file %s.\n", strs[k].c_str());
    fastq_register(strs[k], first == '@');
  }
  return result;
}

// ---------------------------------------------------------------- memory sizing

uint32_t clamp_to_u32(uint64_t bytes) {
  return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

uint64_t meminfo_available(const std::string& meminfo) {
  std::istringstream lines(meminfo);
  std::string line;
  while (std::getline(lines, line)) {
    unsigned long long kib = 0;
    if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kib) == 1) return kib * 1024;
  }
  return 0;
}

static std::string read_small_file(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Headroom left under a cgroup memory limit, or UINT64_MAX where there is none.
static uint64_t cgroup_headroom() {
  const char* pairs[][2] = {
      {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"},
      {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "/sys/fs/cgroup/memory/memory.usage_in_bytes"}};
  for (const auto& pair : pairs) {
    unsigned long long limit = 0, usage = 0;
    if (std::sscanf(read_small_file(pair[0]).c_str(), "%llu", &limit) != 1) continue;
    if (std::sscanf(read_small_file(pair[1]).c_str(), "%llu", &usage) != 1) continue;
    return limit > usage ? limit - usage : 0;
  }
  return UINT64_MAX;
}

uint32_t mem_windows() {
  uint64_t available = meminfo_available(read_small_file("/proc/meminfo"));
  uint64_t headroom = cgroup_headroom();
  return clamp_to_u32(available < headroom ? available : headroom);
}

uint32_t heap_from_free(uint32_t free_mem) {
  // Seven tenths taken strictly from below: ceil(7 f / 10) - 1.
  if (free_mem == 0) return 0;
  return static_cast<uint32_t>((uint64_t{7} * free_mem + 9) / 10 - 1);
}

uint32_t chunk_from_heap(uint64_t largest, uint32_t heapsize, uint32_t node_bytes) {
  // Two nodes per symbol; largest * 80 > heapsize exactly when largest > heapsize / 80.
  uint64_t budget = heapsize / (2 * uint64_t{node_bytes});
  uint64_t chunk = largest < budget ? largest : budget;
  return chunk == 0 ? 1 : static_cast<uint32_t>(chunk);
}

static uint64_t largest_file() {
  uint64_t largest = 0;
  for (uint64_t size : FILES_LEFT_SIZES) largest = size > largest ? size : largest;
  for (uint64_t size : FILES_RIGHT_SIZES) largest = size > largest ? size : largest;
  return largest;
}

// NODESIZE in the report is what a node costs, its side slots included.
static void size_chunks_automatically() {
  uint32_t free_mem = mem_windows();
  uint32_t node_bytes = NODESIZE + 4 * QUORUM.slots;
  HEAPSIZE = heap_from_free(free_mem);
  CHUNK = chunk_from_heap(largest_file(), HEAPSIZE, node_bytes);
  std::fprintf(stderr, "MEMORY: %lu\nHEAPSIZE: %lu\nNODESIZE: %d\nCHUNK: %lu\n\n",
               static_cast<unsigned long>(free_mem), static_cast<unsigned long>(HEAPSIZE),
               static_cast<int>(node_bytes), static_cast<unsigned long>(CHUNK));
}

// ---------------------------------------------------------------- quorum

QUORUM_PLAN quorum_plan(int32_t left, int32_t min_left, int32_t right, int32_t max_right) {
  QUORUM_PLAN plan;
  // The representative holds its own text: the others may miss a tag `misses` times, so its
  // bound is their (misses + 1)-th smallest mark, which is their (min_left - 1)-th largest.
  const uint32_t others = static_cast<uint32_t>(left - 1), misses = static_cast<uint32_t>(left - min_left);
  if (min_left <= 1 || others == 0) plan.left = LeftOrder::none, plan.left_k = 0;
  else if (misses < others - misses) plan.left_k = misses + 1;
  else plan.left = LeftOrder::largest, plan.left_k = others - misses;
  // At most `right` right files can hold a tag.
  plan.right_streamed = max_right < right;
  plan.right_k = plan.right_streamed ? static_cast<uint32_t>(max_right) + 1 : 1;
  plan.slots = std::max(plan.left_k, plan.right_k) - 1;
  return plan;
}

static const char* file_count_problem(FileCount result) {
  switch (result) {
    case FileCount::not_a_number: return "give a number of files or a percentage such as 95%";
    case FileCount::negative: return "a number of files is never negative";
    case FileCount::above_100: return "a percentage is at most 100%";
    case FileCount::ok: break;
  }
  return "";
}

// The values are read once the lists are known, so that option order does not matter; a
// merge has no files and only checks their form.
static void resolve_quorum(const char* min_left, const char* max_right) {
  int64_t count = LEFT;
  FileCount result = min_left ? parse_file_count(min_left, LEFT, true, &count) : FileCount::ok;
  if (result != FileCount::ok) fatal(1, "Invalid --min-left value '%s': %s.\n", min_left, file_count_problem(result));
  if (!MERGE && (count == 0 || count > LEFT))
    fatal(1, "Invalid --min-left value '%s': give 1 to %d, the number of left files.\n", min_left, LEFT);
  MIN_LEFT = static_cast<int32_t>(std::min<int64_t>(count, LEFT));
  count = 0;
  result = max_right ? parse_file_count(max_right, RIGHT, false, &count) : FileCount::ok;
  if (result != FileCount::ok) fatal(1, "Invalid --max-right value '%s': %s.\n", max_right, file_count_problem(result));
  // More than the right files there are: no right condition, as with all of them.
  MAX_RIGHT = static_cast<int32_t>(std::min<int64_t>(count, RIGHT));
  QUORUM = quorum_plan(LEFT, MIN_LEFT, RIGHT, MAX_RIGHT);
}

// Long options: names only, with ids above every byte so that no letter reaches them.
enum LongOptionId {
  OPT_HELP = 256,
  OPT_VERSION,
  OPT_IGNORE_CASE,
  OPT_BOTH_STRANDS,
  OPT_FORMAT,
  OPT_MIN_LENGTH,
  OPT_MAX_LENGTH,
  OPT_CHUNKS,
  OPT_COUNT_CHUNKS,
  OPT_MERGE,
  OPT_THREADS,
  OPT_MIN_LEFT,
  OPT_MAX_RIGHT,
};

struct LongOption {
  const char* name;
  int has_arg;
  int id;
  const char* argument;  // shown in --help after the name; nullptr for none
  const char* help;
};

static const LongOption LONG_OPTIONS[] = {
    {"help", no_argument, OPT_HELP, nullptr, "Print this help and exit"},
    {"version", no_argument, OPT_VERSION, nullptr, "Print the version and exit"},
    {"ignore-case", no_argument, OPT_IGNORE_CASE, nullptr,
     "Read a, c, g, t and u as A, C, G, T and U (soft-masked sequence counts)"},
    {"both-strands", no_argument, OPT_BOTH_STRANDS, nullptr,
     "Match other files on both strands (reverse complements); not with -N"},
    {"format", required_argument, OPT_FORMAT, "tags|bed|fasta",
     "Print tag lines (default), or the signature regions as BED6 or FASTA"},
    {"min-length", required_argument, OPT_MIN_LENGTH, "N", "Only tags of at least N symbols count (default 1)"},
    {"max-length", required_argument, OPT_MAX_LENGTH, "N",
     "Only tags of at most N symbols count (default: no limit but -o)"},
    {"chunks", required_argument, OPT_CHUNKS, "FIRST-LAST",
     "Do only chunks FIRST to LAST (from 0) of the representative file"},
    {"count-chunks", no_argument, OPT_COUNT_CHUNKS, nullptr,
     "Print the number of chunks of the representative file and exit"},
    {"merge", no_argument, OPT_MERGE, "FILE...",
     "Join the outputs of --chunks jobs, given in chunk order, into the whole run's output"},
    {"threads", required_argument, OPT_THREADS, "N",
     "Threads to use (default: the cores this process may run on)"},
    {"min-left", required_argument, OPT_MIN_LEFT, "N|P%",
     "A tag is in at least N left files, the representative counted, or in P%\n"
     "                        of them rounded up (P may have decimals); default: all. Memory: 8 bytes\n"
     "                        a chunk symbol more for each left file it may miss, or N - 2 if fewer"},
    {"max-right", required_argument, OPT_MAX_RIGHT, "N|P%",
     "A tag is in at most N right files, or in P% of them rounded down;\n"
     "                        default 0. Memory: 8 bytes a chunk symbol more for each; with\n"
     "                        --min-left, the larger of the two costs"},
};

static const char* const VERSION = "xenvar 5.1\n";

static const char* const HELP_HEAD =
    "Usage: xenvar -L left1,left2,... [-R right1,right2,...] [options]\n"
    "\n"
    "Finds the tags of the representative (smallest) left file: its substrings that every\n"
    "other left file holds, that no right file holds, and that cover no invalid symbol.\n"
    "Files are plain, FASTA or FASTQ text, as they stand or gzip'ed (several members and\n"
    "BGZF included), told apart by their first bytes. Each read of a FASTQ file is a\n"
    "record, its quality never read; with reads as a left file no tag is longer than a read.\n"
    "\n"
    "Options:\n"
    "  -L files              Comma-separated left files (a later -L replaces the list);\n"
    "                        an item @PATH stands for the files listed in PATH, one a line\n"
    "  -R files              Comma-separated right files, also with @PATH items\n"
    "  -c size               Chunk size in bytes (default: from the memory available)\n"
    "  -o length             Overlap in bytes (default 10000); tags are shorter than this\n"
    "  -r length             Preamble in bytes scanned for FASTA headers (default 10000)\n"
    "  -a                    Preamble 0\n"
    "  -f                    Print the representative file filtered into one string\n"
    "  -p                    Spell the longest tag of each line\n"
    "  -N                    Do not recognise headers nor mask invalid symbols (not FASTQ)\n"
    "  -C                    Compressed tag lines\n"
    "  -h                    Histogram of tag lengths after the tags\n"
    "  -H                    Histogram only\n"
    "  -v                    Comment lines starting with #\n"
    "  -n number             Label printed at the start of every verbose tag line\n"
    "  -A, -X                Accepted; no effect\n";

[[noreturn]] static void print_and_exit(const char* text) {
  std::fputs(text, stdout);
  std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
}

// The help text is made from the option table, so that it lists every long option.
[[noreturn]] static void print_help() {
  std::string help = HELP_HEAD;
  for (const LongOption& o : LONG_OPTIONS) {
    std::string left = std::string("  --") + o.name + (o.argument ? std::string(" ") + o.argument : "");
    if (left.size() < 24) left.resize(24, ' ');
    else left += "  ";
    help += left + o.help + "\n";
  }
  print_and_exit(help.c_str());
}

static void parse_format(const char* text) {
  if (std::strcmp(text, "tags") == 0) FORMAT = Format::tags;
  else if (std::strcmp(text, "bed") == 0) FORMAT = Format::bed;
  else if (std::strcmp(text, "fasta") == 0) FORMAT = Format::fasta;
  else fatal(1, "Unknown output format '%s' (--format takes tags, bed or fasta).\n", text);
}

// A whole number from 1 up, or 0 for anything else: a silent default would mean "every tag" or nothing.
static uint32_t tag_length_of(const char* text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::isdigit(static_cast<unsigned char>(*text)) ? std::strtoull(text, &end, 10) : 0;
  if (end == nullptr || *end != '\0' || errno != 0 || number > UINT32_MAX) return 0;
  return static_cast<uint32_t>(number);
}

static void parse_min_length(const char* text) {
  MIN_LENGTH = tag_length_of(text);
  if (MIN_LENGTH == 0)
    fatal(1, "Invalid minimum length '%s' (--min-length takes a whole number of at least 1).\n", text);
}

static void parse_max_length(const char* text) {
  MAX_LENGTH = tag_length_of(text);
  if (MAX_LENGTH == 0)
    fatal(1, "Invalid maximum length '%s' (--max-length takes a whole number of at least 1).\n", text);
}

static std::vector<option> getopt_table() {
  std::vector<option> table;
  for (const LongOption& o : LONG_OPTIONS) table.push_back({o.name, o.has_arg, nullptr, o.id});
  table.push_back({nullptr, 0, nullptr, 0});
  return table;
}

// A merge reads only the jobs' outputs: it needs no sequence file, but the jobs' options.
static void check_merge_usage(int argc, char** argv) {
  for (int i = optind; i < argc; ++i) MERGE_FILES.emplace_back(argv[i]);
  if (COUNT_CHUNKS || CHUNKS_LAST != UINT64_MAX)
    fatal(1, "--merge goes with neither --chunks nor --count-chunks.\n");
  if (MERGE_FILES.empty()) fatal(1, "--merge needs the jobs' output files, in chunk order.\n");
  if (OVERLAP == 0) PrintUsage();
}

// -N reads a file as one raw sequence, which reads have not: no run of the two.
static void refuse_reads_with_raw_sequence() {
  for (const std::vector<std::string>* files : {&FILES_LEFT, &FILES_RIGHT})
    for (const std::string& name : *files)
      if (fastq_file(name)) fatal(1, "Option -N cannot be combined with FASTQ file %s.\n", name.c_str());
}

void createtree(int argc, char** argv) {
  const std::vector<option> long_options = getopt_table();
  THREADS = available_cores();
  const char* min_left = nullptr;
  const char* max_right = nullptr;
  int option;
  while ((option = ::getopt_long(argc, argv, "XvHhCNpn:L:R:fc:o:r:aA", long_options.data(), nullptr)) !=
         -1) {
    switch (option) {
      case 'L':
        FILES_LEFT = read_file_list(optarg, &LEFT);
        FILES_LEFT_SIZES = sizes(FILES_LEFT, LEFT);
        break;
      case 'R':
        FILES_RIGHT = read_file_list(optarg, &RIGHT);
        FILES_RIGHT_SIZES = sizes(FILES_RIGHT, RIGHT);
        break;
      case 'n': parse_i32(optarg, &NODE_OUTPUT); break;
      case 'c': parse_u32(optarg, &CHUNK); break;
      case 'o': parse_u32(optarg, &OVERLAP); break;
      case 'r': parse_u32(optarg, &PREAMBLE); break;
      case 'a': PREAMBLE = 0; break;
      case 'A': break;
      case 'f': OUTPUT_FILE = 1; break;
      case 'p': SPELL = 1; break;
      case 'N': DNA = 0; break;
      case 'C': COMPRESS = 1; break;
      case 'h': HISTOGRAM = 1; break;
      case 'H': HISTOGRAM = 2; break;
      case 'v': VERBOSE = 1; break;
      case 'X': ROBUST = 1; break;
      case OPT_HELP: print_help();
      case OPT_VERSION: print_and_exit(VERSION);
      case OPT_IGNORE_CASE: IGNORE_CASE = 1; break;
      case OPT_BOTH_STRANDS: BOTH_STRANDS = 1; break;
      case OPT_FORMAT: parse_format(optarg); break;
      case OPT_MIN_LENGTH: parse_min_length(optarg); break;
      case OPT_MAX_LENGTH: parse_max_length(optarg); break;
      case OPT_CHUNKS:
        if (!parse_chunk_range(optarg, &CHUNKS_FIRST, &CHUNKS_LAST))
          fatal(1, "Bad chunk range '%s': give FIRST-LAST, chunk numbers from 0, FIRST <= LAST.\n", optarg);
        break;
      case OPT_COUNT_CHUNKS: COUNT_CHUNKS = 1; break;
      case OPT_MERGE: MERGE = 1; break;
      case OPT_THREADS: parse_threads(optarg, &THREADS); break;
      case OPT_MIN_LEFT: min_left = optarg; break;
      case OPT_MAX_RIGHT: max_right = optarg; break;
      default: PrintUsage();
    }
  }
  // An overlap of 0 would let every tag run to the end of the text.
  if (OVERLAP == 0) std::fputs("Overlap length must be at least 1.\n", stderr);
  if (MERGE) {
    check_merge_usage(argc, argv);
    resolve_quorum(min_left, max_right);
    return;
  }
  if (OVERLAP == 0 || LEFT == 0 || (RIGHT == 0 && LEFT < 2)) PrintUsage();
  // Checked once both are read, whatever their order on the line.
  if (MAX_LENGTH < MIN_LENGTH)
    fatal(1, "Maximum length %u is below minimum length %u (--max-length, --min-length).\n",
          static_cast<unsigned>(MAX_LENGTH), static_cast<unsigned>(MIN_LENGTH));
  resolve_quorum(min_left, max_right);
  // Without DNA there is no complement of a symbol.
  if (BOTH_STRANDS && !DNA) fatal(1, "Option --both-strands cannot be combined with -N.\n");
  if (!DNA) refuse_reads_with_raw_sequence();
  // Histogram lines start with '>', which a FASTA stream would take for headers.
  if (HISTOGRAM != 0 && FORMAT != Format::tags)
    fatal(1, "The histogram (-h, -H) goes with --format tags only.\n");
  if (CHUNK != 0) return;
  size_chunks_automatically();
}

// ---------------------------------------------------------------- chunk reader

// 1 for every byte that counts as a sequence symbol.
static const struct SymbolTable {
  unsigned char is_symbol[256];
  SymbolTable() {
    for (int c = 0; c < 256; ++c) is_symbol[c] = 1;
    for (int c : {0, 9, 10, 13, 32, 62}) is_symbol[c] = 0;
  }
} SYMBOLS;

int isCharacter(int ch) { return SYMBOLS.is_symbol[static_cast<unsigned char>(ch)]; }

// Eight bytes at once: false when one of them may be white space, NUL or ">" (any byte
// below "!" counts as such here; the byte-by-byte path sorts those out).
static bool plain_word(uint64_t w) {
  constexpr uint64_t ONES = 0x0101010101010101ull, HIGH = 0x8080808080808080ull;
  uint64_t below = (w - ONES * '!') & ~w & HIGH;
  uint64_t x = w ^ (ONES * '>');
  uint64_t header = (x - ONES) & ~x & HIGH;
  return (below | header) == 0;
}

// Index of the line break that ends the line holding byte i, or len.
static uint64_t end_of_line(const char* str, uint64_t i, uint64_t len) {
  while (i < len && str[i] != '\n' && str[i] != '\r') ++i;
  return i;
}

// Keeps the symbols of raw bytes [i, stop); returns where the scan stopped (a header may end past stop).
static uint64_t keep_symbols(char* str, uint64_t i, uint64_t stop, uint64_t len, uint64_t start,
                             uint64_t* kept, bool* header_seen) {
  unsigned char* s = reinterpret_cast<unsigned char*>(str);
  uint64_t k = *kept;
  while (i < stop) {
    uint64_t word;
    if (stop - i >= 8 && (std::memcpy(&word, s + i, 8), plain_word(word))) {
      std::memcpy(s + k, &word, 8);  // k <= i: only bytes already read are overwritten
      k += 8;
      i += 8;
      continue;
    }
    for (uint64_t end = stop - i >= 8 ? i + 8 : stop; i < end; ++i) {
      unsigned char c = s[i];
      if (c == '>' && DNA) {
        // A header becomes one "N", except the first thing at the start of a file.
        if (start != 0 || k != 0 || *header_seen) s[k++] = 'N';
        if (HEADER_EVENTS) HEADER_EVENTS->push_back({k, start + i, {}});
        *header_seen = true;
        i = end_of_line(str, i, len) + 1;
        break;
      }
      s[k] = c;
      k += SYMBOLS.is_symbol[c];
    }
  }
  *kept = k;
  return i;
}

uint64_t filterStringPreamble(char* str, uint64_t len, uint64_t start, uint64_t preamble,
                              uint32_t chunk, uint64_t* offset) {
  bool header_seen = false;
  uint64_t kept = 0;
  uint64_t i = 0;
  // The preamble is scanned for header lines only; nothing of it is kept.
  uint64_t preamble_end = preamble < len ? preamble : len;
  while (DNA && i < preamble_end) {
    const void* hit = std::memchr(str + i, '>', preamble_end - i);
    if (hit == nullptr) break;
    header_seen = true;
    i = end_of_line(str, static_cast<uint64_t>(static_cast<const char*>(hit) - str), len) + 1;
  }
  if (i < preamble) i = preamble;
  uint64_t own_end = preamble + chunk;
  i = keep_symbols(str, i, own_end < len ? own_end : len, len, start, &kept, &header_seen);
  *offset = kept;
  keep_symbols(str, i, len, len, start, &kept, &header_seen);
  str[kept] = '\0';
  return kept + 1;
}

// Small a, c, g, t and u as their capitals; every other byte as it is.
static const struct CaseTable {
  char to[256];
  CaseTable() {
    for (int c = 0; c < 256; ++c) to[c] = static_cast<char>(c);
    for (char c : {'a', 'c', 'g', 't', 'u'}) to[static_cast<unsigned char>(c)] = static_cast<char>(c - 'a' + 'A');
  }
} CAPITALS;

static void read_small_as_capitals(char* text, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) text[i] = CAPITALS.to[static_cast<unsigned char>(text[i])];
}

// Where the range of the chunk after this one starts: it shares the bytes from there on.
static uint64_t next_range_start(uint64_t start, uint64_t preamble, uint32_t chunk) {
  uint64_t own_end = start + preamble + chunk;
  return own_end - (own_end < PREAMBLE ? own_end : PREAMBLE);
}

static Text load_fasta_range(ByteSource& source, uint64_t size, uint64_t* length, uint64_t start, uint64_t end,
                             uint64_t preamble, uint32_t chunk, uint64_t* offset) {
  if (end > size - 1) end = size - 1;
  uint64_t raw = end - start + 1;
  Text text(static_cast<char*>(allocate_large(raw + 1)));
  if (!text)
    fatal(1, "Reading file %s (%lu)... Out of memory.\n", source.name.c_str(), static_cast<unsigned long>(raw));
  uint64_t got = source_read(source, start, raw, text.get(), next_range_start(start, preamble, chunk));
  text[got] = '\0';
  *length = filterStringPreamble(text.get(), got, start, preamble, chunk, offset);
  return text;
}

Text loadFileRange(ByteSource& source, uint64_t* length, uint64_t start, uint64_t end,
                   uint64_t preamble, uint32_t chunk, uint64_t* offset) {
  const char* filename = source.name.c_str();
  uint64_t size = 0;
  if (!source_begin(source, &size)) fatal(1, "Cannot open file %s.\n", filename);
  *length = 0;
  if (start >= size) return nullptr;
  Text text;
  if (!fastq_source(source)) {
    text = load_fasta_range(source, size, length, start, end, preamble, chunk, offset);
  } else {
    // -N reads raw sequence without records; reads are records.
    if (!DNA) fatal(1, "Option -N cannot be combined with FASTQ file %s.\n", filename);
    // The parser's state at the chunk's first own byte stands in for the preamble.
    text = fastq_load(source, size, start + preamble, chunk, end, OVERLAP, length, offset, HEADER_EVENTS);
    if (!text) return text;
  }
  if (IGNORE_CASE) read_small_as_capitals(text.get(), *length - 1);
  return text;
}

Text loadFileRange(const char* filename, uint64_t* length, uint64_t start, uint64_t end,
                   uint64_t preamble, uint32_t chunk, uint64_t* offset) {
  ByteSource source = source_for(filename, UINT64_MAX);
  return loadFileRange(source, length, start, end, preamble, chunk, offset);
}

int32_t readFileBlocks(const char* filename, void (*consume)(const char* block, uint64_t size, void* state),
                       void* state) {
  constexpr uint64_t BLOCK = 1 << 20;
  ByteSource source = source_for(filename, UINT64_MAX);
  std::unique_ptr<char[]> block(new char[BLOCK]);
  for (uint64_t at = 0;; at += BLOCK) {
    uint64_t size = 0;
    if (!source_begin(source, &size)) return 0;
    if (at >= size) return 1;
    uint64_t got = source_read(source, at, BLOCK, block.get(), at + BLOCK);
    if (got == 0) return 1;
    consume(block.get(), got, state);
  }
}
