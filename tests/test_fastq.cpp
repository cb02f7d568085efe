// Reads as input: random FASTA runs of oracle.h with their files turned into FASTQ must print
// what the FASTA runs print; long reads cut into small chunks must give exactly the tags that
// their definition over whole reads gives.
#include <set>

#include "gzip_writer.h"
#include "oracle.h"

using namespace oracle;

namespace {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned long kDefaultCases = 100;  // sanitized binaries start slowly
constexpr unsigned long kDefaultLongCases = 6;
#else
constexpr unsigned long kDefaultCases = 600;
constexpr unsigned long kDefaultLongCases = 30;
#endif

using Rng = std::mt19937;
size_t pick(Rng& rng, size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }

// `text` on lines of `width` symbols (0: one line); a line that would start with '+', which
// reads as the separator line, starts with a blank instead.
std::string wrap(const std::string& text, size_t width, const std::string& eol) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (width && i && i % width == 0) out += eol;
        if ((i == 0 || (width && i % width == 0)) && text[i] == '+') out += ' ';
        out += text[i];
    }
    return text.empty() ? out : out + eol;
}

// One read: random quality of the sequence's length, with '@', '+' and '>' in it, so that
// quality lines may begin like a header or a separator; sometimes both parts wrapped.
std::string fastq_read(const std::string& head, const std::string& sequence, const std::string& eol, Rng& rng) {
    std::string quality;
    for (size_t i = 0; i < sequence.size(); ++i) quality += "@+>!#5ACGTI~"[pick(rng, 12)];
    const size_t width = pick(rng, 3) ? 0 : 1 + pick(rng, 9);
    return "@" + head + eol + wrap(sequence, width, eol) + (pick(rng, 2) ? "+" : "+" + head) + eol +
           wrap(quality, pick(rng, 3) ? 0 : 1 + pick(rng, 9), eol);
}

// A FASTA file that starts with a header, as FASTQ: one read per record, named by the record's
// header line and holding its symbols; now and then blank lines at the end.
std::string as_fastq(const std::string& fasta, Rng& rng) {
    std::vector<std::pair<std::string, std::string>> records;  // header line, symbols
    for (size_t i = 0; i < fasta.size(); ++i) {
        if (fasta[i] == '>') {  // to the end of its line, wherever it starts
            const size_t eol = std::min(fasta.find_first_of("\r\n", i), fasta.size());
            records.push_back({fasta.substr(i + 1, eol - i - 1), ""});
            i = eol;
        } else if (!std::strchr(" \t\r\n", fasta[i]) && fasta[i] != '\0') {
            records.back().second += fasta[i];
        }
    }
    const std::string eol = pick(rng, 5) ? "\n" : "\r\n";
    std::string out;
    for (const auto& [head, symbols] : records) out += fastq_read(head, symbols, eol, rng);
    return out + (pick(rng, 5) ? "" : eol + eol);
}

std::string read_name(size_t i) { return "read" + std::to_string(i); }

}  // namespace

// The overlap holds every file whole, so chunk 0 of both representatives holds every symbol, and
// later chunks add no tag: the outputs that give positions in the whole sequence agree byte for
// byte. -C is left out: its offset lines count chunks, which the two byte geometries cut apart.
TEST(FastqProperties, ReadsPrintWhatTheSameRecordsAsFastaPrint) {
    const unsigned long cases = oracle::from_env("XENVAR_PROPERTY_CASES", kDefaultCases);
    const unsigned long seed = oracle::from_env("XENVAR_PROPERTY_SEED", 20261209);
    const cli::Dir fasta, fastq;
    const char* modes[] = {"-p", "-h", "-H", "--format=bed", "--format=fasta", "-f"};
    Rng rng(seed);
    unsigned long compared = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
        Case c = random_case(rng);
        std::vector<std::string> reads;  // l0, l1, ..., then r0, ...: FASTQ where the FASTA file opens with a header
        std::string first_fastq;         // the first FASTQ file of the lists, which -N names
        for (const auto* side : {&c.left, &c.right})
            for (const std::string& file : *side) {
                reads.push_back(file.starts_with(">") ? as_fastq(file, rng) : file);
                const std::string name = (side == &c.left ? "l" : "r") + std::to_string(&file - side->data());
                if (file.starts_with(">") && first_fastq.empty()) first_fastq = name;
            }
        // The same representative file: blank lines at their ends make the other left files no smaller.
        auto by_size = [](const std::string& a, const std::string& b) { return a.size() < b.size(); };
        const size_t rep = std::min_element(c.left.begin(), c.left.end(), by_size) - c.left.begin();
        for (size_t f = 0; f < c.left.size(); ++f)
            if (f != rep && reads[f].size() < reads[rep].size() + (f < rep)) reads[f].resize(reads[rep].size() + (f < rep), '\n');
        size_t largest = 0;
        for (size_t f = 0; f < reads.size(); ++f) {
            const std::string name = f < c.left.size() ? "l" + std::to_string(f) : "r" + std::to_string(f - c.left.size());
            fasta.write(name, f < c.left.size() ? c.left[f] : c.right[f - c.left.size()]);
            fastq.write(name, reads[f].starts_with("@") && pick(rng, 4) == 0 ? gz::member(reads[f]) : reads[f]);
            largest = std::max(largest, reads[f].size());
        }
        // A FASTA chunk whose preamble misses a header reads its tail as symbols: each preamble reaches the file's start.
        c.overlap = c.preamble = largest + 1 + pick(rng, 5);
        const auto args = args_of(c, modes[i % 6]);
        SCOPED_TRACE("seed " + std::to_string(seed) + " case " + std::to_string(i) + ": xenvar " +
                     testing::PrintToString(args) + "\n  with l0, l1, ... = " + testing::PrintToString(c.left) +
                     "\n  and r0, ... = " + testing::PrintToString(c.right));
        const cli::Result a = fasta.run(args), q = fastq.run(args);
        if (!c.dna && !first_fastq.empty()) {
            EXPECT_TRUE(q.status == 1 && q.out.empty() &&
                        q.err == "Option -N cannot be combined with FASTQ file " + first_fastq + ".\n")
                << q.err;
            continue;
        }
        EXPECT_EQ(q.status, a.status) << q.err;
        EXPECT_EQ(q.out, a.out) << "FASTQ against FASTA, " << modes[i % 6];
        compared += !first_fastq.empty() && a.out.find('\n') != std::string::npos;
    }
    EXPECT_TRUE(HasFailure() || cases < 100 || compared > cases / 4) << compared << " of " << cases;
}

// Reads longer than a chunk, cut into chunks of a few hundred bytes: every stretch of up to
// OVERLAP - 1 symbols of a read lies whole in some chunk's text, so the run reports exactly the
// tags of the definition over whole reads (in some read of every other left file, in no read of
// a right file), each once, and -f prints the reads joined by "N".
TEST(FastqProperties, LongReadsInSmallChunksGiveEveryTagOnce) {
    const unsigned long cases = oracle::from_env("XENVAR_LONG_READ_CASES", kDefaultLongCases);
    const cli::Dir dir;
    Rng rng(20261210);
    unsigned long with_tags = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
        const bool huge = i == 0;  // one read of 120 kbp in the other left file
        std::string base(huge ? 120000 : 2000 + pick(rng, 4000), ' ');
        for (char& ch : base) ch = "ACGT"[pick(rng, 4)];
        auto mutate = [&](std::string s, size_t per_mille) {
            for (char& ch : s)
                if (pick(rng, 1000) < per_mille) ch = "ACGTN"[pick(rng, 5)];
            return s;
        };
        auto reads_of = [&](const std::string& genome, size_t n, size_t longest) {
            std::vector<std::string> reads;
            for (size_t r = 0; r < n; ++r) {
                const size_t length = std::min(genome.size(), 1 + pick(rng, longest));
                reads.push_back(genome.substr(pick(rng, genome.size() - length + 1), length));
            }
            return reads;
        };
        auto fastq_of = [&](const std::vector<std::string>& reads) {
            std::string f;
            for (size_t r = 0; r < reads.size(); ++r) f += fastq_read(read_name(r), reads[r], "\n", rng);
            return f;
        };
        const std::vector<std::string> rep = reads_of(huge ? base.substr(50000, 5000) : base, 3 + pick(rng, 5), 1500);
        const std::string rep_file = fastq_of(rep), relative = mutate(base, 5);
        std::vector<std::vector<std::string>> left = {{}};
        std::string left_file;
        if (huge) left[0] = {mutate(base, 3)}, left_file = fastq_of(left[0]);
        while (left_file.size() <= rep_file.size()) {  // l0 stays the representative file
            for (const std::string& read : reads_of(relative, 10, 800)) left[0].push_back(read);
            left_file = fastq_of(left[0]);
        }
        std::vector<std::vector<std::string>> right = {reads_of(mutate(base, 60), 20, 600)};
        if (pick(rng, 2)) right.push_back(reads_of(base, 2, 300));
        dir.write("l0", rep_file);
        dir.write("l1", pick(rng, 2) ? gz::member(left_file) : left_file);
        std::vector<std::string> args = {"-Cp", "-L", "l0,l1", "-R", "r0", "-c", std::to_string(40 + pick(rng, 400)),
                                         "-o", std::to_string(4 + pick(rng, 28))};
        for (size_t r = 0; r < right.size(); ++r) dir.write("r" + std::to_string(r), fastq_of(right[r]));
        if (right.size() > 1) args[4] = "r0,r1";
        if (huge) args[6] = std::to_string(3000 + pick(rng, 20000));
        const size_t overlap = std::stoul(args[8]);
        SCOPED_TRACE("case " + std::to_string(i) + ": xenvar " + testing::PrintToString(args));

        // The definition, over whole reads.
        auto substrings = [&](const std::vector<std::string>& reads) {
            std::unordered_set<std::string_view> set;
            for (const std::string& read : reads)
                for (size_t p = 0; p < read.size(); ++p)
                    for (size_t l = 1; l < overlap && p + l <= read.size(); ++l) set.insert(std::string_view(read).substr(p, l));
            return set;
        };
        const auto in_left = substrings(left[0]);
        std::unordered_set<std::string_view> excluded;
        for (const auto& file : right) excluded.merge(substrings(file));
        std::set<std::string> expected;
        for (const std::string& read : rep)
            for (size_t p = 0; p < read.size(); ++p)
                for (size_t l = 1; l < overlap && p + l <= read.size(); ++l) {
                    const std::string_view t = std::string_view(read).substr(p, l);
                    if (t.back() == 'N' || !in_left.count(t)) break;
                    if (!excluded.count(t)) expected.emplace(t);
                }

        const cli::Result r = dir.run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::multiset<std::string> reported;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            size_t p = 0, shortest = 0, count = 0;
            std::string longest;
            if (!(fields >> p >> shortest >> count >> longest)) continue;  // an offset line
            for (size_t l = shortest; l < shortest + count; ++l) reported.insert(longest.substr(0, l));
        }
        EXPECT_TRUE(std::equal(reported.begin(), reported.end(), expected.begin(), expected.end()))
            << reported.size() << " tags reported, " << expected.size() << " expected";
        std::string joined;
        for (const std::string& read : rep) joined += (joined.empty() ? "" : "N") + read;
        args[0] = "-f";
        EXPECT_EQ(dir.run(args).out, joined);
        with_tags += !expected.empty();
    }
    EXPECT_TRUE(HasFailure() || cases < 10 || with_tags > cases / 2) << with_tags << " of " << cases;
}
