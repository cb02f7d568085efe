// Signature regions, --min-length and --max-length: random runs against the brute force of oracle.h, and small runs byte for byte.
#include "oracle.h"

using namespace oracle;

namespace {
#ifdef __SANITIZE_ADDRESS__
constexpr unsigned long kDefaultCases = 150;  // sanitized binaries start slowly
#else
constexpr unsigned long kDefaultCases = 500;
#endif
}  // namespace

// Every random case runs three times: tag lines with a minimum and maximum length (and the histogram), then BED and
// FASTA.
// XENVAR_PROPERTY_CASES and XENVAR_PROPERTY_SEED override the defaults when chasing a failure.
TEST(Properties, RegionsAndMinimumLengthMatchBruteForce) {
    const unsigned long cases = oracle::from_env("XENVAR_PROPERTY_CASES", kDefaultCases);
    const unsigned long seed = oracle::from_env("XENVAR_PROPERTY_SEED", 20261208);
    const cli::Dir dir;
    const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");
    std::mt19937 rng(seed);
    unsigned long with_regions = 0, several_records = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
        Case c = random_case(rng);
        c.min_length = rng() % 3 ? 1 : 1 + rng() % 6;
        if (rng() % 3 == 0) c.max_length = c.min_length + rng() % 5;
        for (size_t f = 0; f < c.left.size(); ++f) dir.write('l' + std::to_string(f), c.left[f]);
        for (size_t f = 0; f < c.right.size(); ++f) dir.write('r' + std::to_string(f), c.right[f]);
        const auto tag_args = args_of(c, std::string("-C") + (c.spell ? "p" : "") + (c.histogram ? "h" : ""));
        SCOPED_TRACE("seed " + std::to_string(seed) + " case " + std::to_string(i) + ": xenvar " +
                     testing::PrintToString(tag_args) + "\n  with l0, l1, ... = " + testing::PrintToString(c.left) +
                     "\n  and r0, ... = " + testing::PrintToString(c.right));
        const Expected e = brute_force(c);
        const cli::Result t = dir.run(tag_args);
        EXPECT_EQ(t.status, e.status);
        EXPECT_EQ(canonical(e.texts, t.out, c.spell), canonical(e.texts, e.out, true));
        for (const char* format : {"bed", "fasta"}) {
            const cli::Result r = dir.run(args_of(c, std::string("--format=") + format));
            EXPECT_EQ(r.status, e.status) << format;
            EXPECT_EQ(std::regex_replace(r.err, progress, ""), e.err) << format;
            // A reserved symbol ends the run in mid-chunk: what was written by then is not the point here.
            if (!e.status) {
                EXPECT_EQ(r.out, regions(c, e, format[0] == 'f')) << format;
            }
        }
        const std::string bed = regions(c, e, false);
        with_regions += !bed.empty();
        several_records += bed.find("\ts") != std::string::npos || bed.find("\tA") != std::string::npos;
    }
    // The generator must keep producing runs with regions, some of them in named records.
    EXPECT_TRUE(HasFailure() || cases < 100 || with_regions > cases / 4) << with_regions << " of " << cases;
    EXPECT_TRUE(HasFailure() || cases < 100 || several_records > cases / 50) << several_records << " of " << cases;
}

namespace {

struct Run { std::vector<std::string> args; std::string out, err = ""; int status = 0; };

// Runs each case in `dir`: standard output and exit status byte for byte, standard error less the progress lines,
// clock stamps as "#Time: @".
void check(const cli::Dir& dir, const std::vector<Run>& runs) {
    static const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");
    static const std::regex stamp("#Time: \\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");
    for (const Run& run : runs) {
        SCOPED_TRACE(testing::PrintToString(run.args));
        const cli::Result r = dir.run(run.args);
        EXPECT_EQ(std::regex_replace(r.out, stamp, "#Time: @\n"), run.out);
        EXPECT_EQ(std::regex_replace(r.err, progress, ""), run.err);
        EXPECT_EQ(r.status, run.status);
    }
}

// "AGT" is the only tag: the long left file holds it and nothing else of the representative, and the right file
// holds every shorter piece of it.
const std::vector<std::pair<std::string, std::string>> kTwoCopies = {
    {"l0", ">x\nCAGTCCAGTC\n"}, {"l1", "AGTAGTAGTAGTAGTAGTAGTAGTAGT\n"}, {"r0", "AG\nGT\n"},
    {"m0", "CAGTC\n>two words\nGAGTC\n"}};

}  // namespace

TEST(Regions, EveryOccurrenceOfATagIsARegion) {
    const cli::Dir dir(kTwoCopies);
    check(dir, {
        {{"-c", "100", "-L", "l0,l1", "-R", "r0", "-C"}, "0\n2 3 1\n"},  // one tag line for two occurrences
        {{"-c", "100", "-L", "l0,l1", "-R", "r0", "--format", "bed"}, "x\t1\t4\tx:2-4\t3\t.\nx\t6\t9\tx:7-9\t3\t.\n"},
        {{"-c", "100", "-L", "l0,l1", "-R", "r0", "--format=fasta"}, ">x:2-4\nAGT\n>x:7-9\nAGT\n"},
        // Chunks of 4 bytes reading 4 beyond: the first holds one copy, and the second may not report it again.
        {{"-c", "100", "-L", "l0,l1", "-R", "r0", "--format", "bed", "-c", "4", "-o", "4"}, "x\t1\t4\tx:2-4\t3\t.\n"},
        {{"-c", "100", "-L", "l0,l1", "-R", "r0", "--format", "bed", "--min-length", "4"}, ""},
    });
}

TEST(Regions, RecordsAreNamedByTheirHeadersOrTheFile) {
    const cli::Dir dir(kTwoCopies);
    check(dir, {
        // Sequence before the first header is a record named by the file.
        {{"-c", "100", "-L", "m0,l1", "-R", "r0", "--format", "bed"}, "m0\t1\t4\tm0:2-4\t3\t.\ntwo\t1\t4\ttwo:2-4\t3\t.\n"},
        // With -N the header is sequence: one record, counted through it.
        {{"-c", "100", "-L", "m0,l1", "-R", "r0", "--format", "bed", "-N"}, "m0\t1\t4\tm0:2-4\t3\t.\nm0\t14\t17\tm0:15-17\t3\t.\n"},
        // -C, -p and -n change nothing; -v keeps its comment lines.
        {{"-c", "100", "-L", "m0,l1", "-R", "r0", "--format", "fasta", "-v", "-C", "-p", "-n", "7"},
         "#Representative file: m0\n#Node: 7\n#Time: @\n>m0:2-4\nAGT\n>two:2-4\nAGT\n#Time: @\n"},
    });
}

TEST(Regions, MergeAcrossChunksAndWrapAt60) {
    const std::string seq = "GATTACACCGTAGGCTTAACGGTCAATCGGATCCTAGGACTTGCAATGCCGTTAGACCATGGTACGATCGTTGACCTAGGCATGCAATCGGTACCGTTA";
    const cli::Dir dir({{"g0", ">g first\n" + seq.substr(0, 50) + "\n" + seq.substr(50) + "\n"},
                        {"g1", seq + "TTTTTTTTTTTTTTT\n"}});
    // With no right file every piece of the representative is a tag of some chunk: one region over four chunks.
    check(dir, {
        {{"-L", "g0,g1", "--format", "bed", "-c", "30", "-o", "20"}, "g\t0\t99\tg:1-99\t1\t.\n"},
        {{"-L", "g0,g1", "--format", "bed", "-c", "30", "-o", "20", "--min-length", "4"}, "g\t0\t99\tg:1-99\t4\t.\n"},
        {{"-L", "g0,g1", "--format", "fasta", "-c", "30", "-o", "20"}, ">g:1-99\n" + seq.substr(0, 60) + "\n" + seq.substr(60) + "\n"},
    });
}

TEST(MinLength, DropsShorterLengthsFromTagLinesAndHistogram) {
    const cli::Dir dir({{"a", "ACGTAC\n"}, {"b", "CGTACG\n"}, {"r", "GTA\n"}});
    const std::vector<std::string> base = {"-L", "a,b", "-R", "r", "-c", "100", "--min-length", "3"};
    auto with = [&](std::vector<std::string> more) { more.insert(more.begin(), base.begin(), base.end()); return more; };
    check(dir, {
        // AC and C go; CG..CGTAC keeps CGT, CGTA and CGTAC.
        {with({"-C"}), "0\n1 3 1\n2 3 3\n3 4 1\n4 3 1\n"},
        {with({}), "0: (1, 3, 3)\n0: (2, 4, 6)\n0: (3, 6, 6)\n0: (4, 6, 6)\n"},
        {with({"-C", "-p"}), "0\n1 3 1 ACG\n2 3 3 CGTAC\n3 4 1 GTAC\n4 3 1 TAC\n"},
        {with({"-H"}), ">0 0\n>1 0\n>2 0\n>3 3\n>4 2\n>5 1\n"},
        {with({"-C", "--min-length", "6"}), "0\n"},
        // --max-length mirrors it: CGTAC goes, and the histogram stops at 4.
        {with({"-C", "--max-length", "4"}), "0\n1 3 1\n2 3 2\n3 4 1\n4 3 1\n"},
        {with({"-H", "--max-length=4"}), ">0 0\n>1 0\n>2 0\n>3 3\n>4 2\n"},
        {with({"-C", "--max-length", "3", "--min-length", "3"}), "0\n1 3 1\n2 3 1\n4 3 1\n"},
    });
}

TEST(OutputOptions, BadValuesAndHistogramsWithRegionsAreRefused) {
    const cli::Dir dir({{"a", "ACGTAC\n"}, {"b", "CGTACG\n"}});
    const std::string histogram = "The histogram (-h, -H) goes with --format tags only.\n";
    auto min_length = [](const std::string& v) {
        return "Invalid minimum length '" + v + "' (--min-length takes a whole number of at least 1).\n";
    };
    auto max_length = [](const std::string& v) {
        return "Invalid maximum length '" + v + "' (--max-length takes a whole number of at least 1).\n";
    };
    const std::string below = "Maximum length 19 is below minimum length 20 (--max-length, --min-length).\n";
    check(dir, {
        {{"-L", "a,b", "--format", "bed", "-h"}, "", histogram, 1},
        {{"-L", "a,b", "-H", "--format", "fasta"}, "", histogram, 1},
        {{"-L", "a,b", "--format", "gff"}, "", "Unknown output format 'gff' (--format takes tags, bed or fasta).\n", 1},
        {{"-L", "a,b", "--format", "BED"}, "", "Unknown output format 'BED' (--format takes tags, bed or fasta).\n", 1},
        {{"-L", "a,b", "--min-length", "0"}, "", min_length("0"), 1},
        {{"-L", "a,b", "--min-length", "abc"}, "", min_length("abc"), 1},
        {{"-L", "a,b", "--min-length", "-3"}, "", min_length("-3"), 1},
        {{"-L", "a,b", "--min-length", "5x"}, "", min_length("5x"), 1},
        {{"-L", "a,b", "--min-length", ""}, "", min_length(""), 1},
        {{"-L", "a,b", "--min-length=99999999999"}, "", min_length("99999999999"), 1},
        {{"-L", "a,b", "--max-length", "0"}, "", max_length("0"), 1},
        {{"-L", "a,b", "--max-length", "20bp"}, "", max_length("20bp"), 1},
        {{"-L", "a,b", "--max-length=4294967296"}, "", max_length("4294967296"), 1},
        // Below the minimum, in either order on the line.
        {{"-L", "a,b", "--max-length", "19", "--min-length", "20"}, "", below, 1},
        {{"-L", "a,b", "--min-length", "20", "--max-length", "19"}, "", below, 1},
    });
}
