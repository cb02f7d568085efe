// Signature regions and --min-length: random runs against the brute force of oracle.h, and small runs byte for byte.
#include "oracle.h"

using namespace oracle;

namespace {
#ifdef __SANITIZE_ADDRESS__
constexpr unsigned long kDefaultCases = 150;  // sanitized binaries start slowly
#else
constexpr unsigned long kDefaultCases = 500;
#endif
}  // namespace

// Every random case runs three times: tag lines with a minimum length (and the histogram), then BED and FASTA.
// XENVAR_PROPERTY_CASES and XENVAR_PROPERTY_SEED override the defaults when chasing a failure.
TEST(Properties, RegionsAndMinimumLengthMatchBruteForce) {
    const char *env_cases = std::getenv("XENVAR_PROPERTY_CASES"), *env_seed = std::getenv("XENVAR_PROPERTY_SEED");
    const unsigned long cases = env_cases ? std::strtoul(env_cases, nullptr, 10) : kDefaultCases;
    const unsigned long seed = env_seed ? std::strtoul(env_seed, nullptr, 10) : 20261208;
    const cli::Dir dir;
    const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");
    std::mt19937 rng(seed);
    unsigned long with_regions = 0, several_records = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
        Case c = random_case(rng);
        c.min_length = rng() % 3 ? 1 : 1 + rng() % 6;
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
