// Random runs of oracle.h with the input options: gzip copies, soft-masked copies read with
// --ignore-case and @ lists must print what the plain run prints; --both-strands is checked
// against the brute force with reverse complements, and against the reverse complement of
// the representative file.
#include <functional>

#include "gzip_writer.h"
#include "oracle.h"

using namespace oracle;

namespace {
#ifdef __SANITIZE_ADDRESS__
constexpr unsigned long kDefaultCases = 30;  // sanitized binaries start slowly
#else
constexpr unsigned long kDefaultCases = 200;  // seven runs a case
#endif

using Rng = std::mt19937;
size_t pick(Rng& rng, size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }

std::vector<std::string> names(const char* prefix, size_t n) {
    std::vector<std::string> v;
    for (size_t i = 0; i < n; ++i) v.push_back(prefix + std::to_string(i));
    return v;
}

void write_all(const cli::Dir& dir, const Case& c, const std::function<std::string(const std::string&)>& as) {
    for (size_t f = 0; f < c.left.size(); ++f) dir.write('l' + std::to_string(f), as(c.left[f]));
    for (size_t f = 0; f < c.right.size(); ++f) dir.write('r' + std::to_string(f), as(c.right[f]));
}

// A gzip copy in one of its layouts; now and then the file is left plain, as a mixed list may be.
std::string compress(const std::string& file, Rng& rng) {
    switch (pick(rng, 5)) {
        case 0: return gz::member(file);
        case 1: return gz::members(file, {pick(rng, file.size() + 1), pick(rng, file.size() + 1)});
        case 2: return gz::members(file, {0, 0, file.size()});  // empty members around the data
        case 3: return gz::bgzf(file, 1 + pick(rng, 20));
        default: return file;
    }
}

// Small letters for some of the capitals a to u, as soft-masking writes repeats.
std::string soft_mask(std::string file, Rng& rng) {
    bool small = false;
    for (char& ch : file) {
        if (pick(rng, 6) == 0) small = !small;
        if (small && std::strchr("ACGTU", ch) && ch) ch = static_cast<char>(ch - 'A' + 'a');
    }
    return file;
}

// A list file naming `files`, with comments, blank lines and CRLF line ends here and there.
std::string list_of(const std::vector<std::string>& files, Rng& rng) {
    std::string s = pick(rng, 2) ? "# files\n" : "";
    for (const std::string& f : files) s += f + (pick(rng, 4) ? "\n" : "\r\n") + (pick(rng, 4) ? "" : "\n");
    return s;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& x : v) s += (s.empty() ? "" : ",") + x;
    return s;
}

// The other strand of a file's one-chunk text, written as plain sequence: invalid symbols
// stay what they are, so that masking finds them where it found them before.
std::string reverse_complement_file(const std::string& text) {
    std::string r(text.rbegin(), text.rend());
    for (char& ch : r) ch = ch == 'A' ? 'T' : ch == 'T' ? 'A' : ch == 'C' ? 'G' : ch == 'G' ? 'C' : ch;
    return r;
}

}  // namespace

TEST(InputProperties, CompressedCaseFoldedListedAndBothStrands) {
    const unsigned long cases = oracle::from_env("XENVAR_PROPERTY_CASES", kDefaultCases);
    const unsigned long seed = oracle::from_env("XENVAR_PROPERTY_SEED", 20240612);
    const cli::Dir plain, packed, masked;
    const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");
    Rng rng(seed);
    unsigned long both_tags = 0, metamorphic = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
        const Case c = random_case(rng);
        const auto args = args_of(c, std::string("-C") + (c.spell ? "p" : "") + (c.histogram ? "h" : ""));
        SCOPED_TRACE("seed " + std::to_string(seed) + " case " + std::to_string(i) + ": xenvar " +
                     testing::PrintToString(args) + "\n  with l0, l1, ... = " + testing::PrintToString(c.left) +
                     "\n  and r0, ... = " + testing::PrintToString(c.right));
        write_all(plain, c, [](const std::string& f) { return f; });
        write_all(packed, c, [&](const std::string& f) { return compress(f, rng); });
        write_all(masked, c, [&](const std::string& f) { return soft_mask(f, rng); });
        const cli::Result r = plain.run(args);
        auto same = [&](const cli::Result& x, const std::string& what) {
            EXPECT_TRUE(x.out == r.out && x.err == r.err && x.status == r.status)
                << what << ":\n" << x.out << x.err << "status " << x.status << "\nwhere plain files give\n"
                << r.out << r.err << "status " << r.status;
        };
        same(packed.run(args), "gzip copies");
        if (i % 4 == 0) {
            EXPECT_EQ(packed.run(args_of(c, "-f")).out, plain.run(args_of(c, "-f")).out) << "-f";
        }
        auto folded = args;
        folded.push_back("--ignore-case");
        same(masked.run(folded), "--ignore-case on soft-masked copies");

        // @ lists: the whole left list from a file, or its tail; the right list from a file.
        const auto left = names("l", c.left.size()), right = names("r", c.right.size());
        const size_t head = pick(rng, left.size());
        plain.write("left.lst", list_of(std::vector(left.begin() + head, left.end()), rng));
        plain.write("right.lst", list_of(right, rng));
        auto listed = args;
        for (size_t a = 0; a + 1 < listed.size(); ++a) {
            if (listed[a] == "-L") listed[a + 1] = join(std::vector(left.begin(), left.begin() + head)) + (head ? ",@" : "@") + "left.lst";
            if (listed[a] == "-R") listed[a + 1] = "@right.lst";
        }
        same(plain.run(listed), "@ lists");

        auto both = args;
        both.push_back("--both-strands");
        const cli::Result b = plain.run(both);
        if (!c.dna) {
            EXPECT_TRUE(b.status == 1 && b.out.empty() && b.err == "Option --both-strands cannot be combined with -N.\n")
                << b.err;
            continue;
        }
        Case cb = c;
        cb.both = true;
        const Expected e = brute_force(cb);
        EXPECT_EQ(b.status, e.status);
        EXPECT_EQ(std::regex_replace(b.err, progress, ""), e.err);
        EXPECT_EQ(canonical(e.texts, b.out, c.spell), canonical(e.texts, e.out, true)) << "--both-strands";
        both_tags += e.out.find(' ') != std::string::npos;

        // In one chunk, the representative file and its reverse complement have the same tags on
        // the other strand, so the same histogram; U has no complement of its own, so none here.
        if (i % 2) continue;
        Case m = c;
        m.chunk = 1000;
        for (auto* files : {&m.left, &m.right}) {
            for (std::string& f : *files) std::replace(f.begin(), f.end(), 'U', 'T');
        }
        auto by_size = [](const std::string& a, const std::string& b) { return a.size() < b.size(); };
        const size_t rep = std::min_element(m.left.begin(), m.left.end(), by_size) - m.left.begin();
        const std::vector<Chunk> text = load(m.left[rep], m);
        write_all(plain, m, [](const std::string& f) { return f; });
        auto histogram = args_of(m, "-H");
        histogram.push_back("--both-strands");
        const cli::Result forward = plain.run(histogram);
        plain.write("l" + std::to_string(rep), text.empty() ? "" : reverse_complement_file(text[0].text));
        const cli::Result backward = plain.run(histogram);
        EXPECT_TRUE(forward.status == 0 && forward.out == backward.out && backward.status == 0)
            << "histogram of the representative file\n" << forward.out << "and of its reverse complement\n"
            << backward.out << backward.err;
        metamorphic += forward.out.size() > 5;
    }
    EXPECT_TRUE(HasFailure() || cases < 100 || (both_tags > cases / 4 && metamorphic > cases / 10))
        << both_tags << " runs with tags on both strands, " << metamorphic << " histograms with tags, of " << cases;
}
