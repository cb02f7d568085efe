// Random small runs of the binary against the brute force of oracle.h.
#include "oracle.h"

using namespace oracle;

namespace {
#ifdef __SANITIZE_ADDRESS__
constexpr unsigned long kDefaultCases = 400;  // sanitized binaries start slowly
#else
constexpr unsigned long kDefaultCases = 2500;
#endif
}  // namespace

// XENVAR_PROPERTY_CASES and XENVAR_PROPERTY_SEED override the defaults when chasing a failure.
TEST(Properties, TagsMatchBruteForce) {
    const char *env_cases = std::getenv("XENVAR_PROPERTY_CASES"), *env_seed = std::getenv("XENVAR_PROPERTY_SEED");
    const unsigned long cases = env_cases ? std::strtoul(env_cases, nullptr, 10) : kDefaultCases;
    const unsigned long seed = env_seed ? std::strtoul(env_seed, nullptr, 10) : 20240611;
    const cli::Dir dir;
    const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");  // their format is checked elsewhere
    std::mt19937 rng(seed);
    unsigned long with_tags = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {  // the first failing case is reported
        const Case c = random_case(rng);
        const auto args = args_of(c, std::string("-C") + (c.spell ? "p" : "") + (c.histogram ? "h" : ""));
        for (size_t f = 0; f < c.left.size(); ++f) dir.write('l' + std::to_string(f), c.left[f]);
        for (size_t f = 0; f < c.right.size(); ++f) dir.write('r' + std::to_string(f), c.right[f]);
        SCOPED_TRACE("seed " + std::to_string(seed) + " case " + std::to_string(i) + ": xenvar " +
                     testing::PrintToString(args) + "\n  with l0, l1, ... = " + testing::PrintToString(c.left) +
                     "\n  and r0, ... = " + testing::PrintToString(c.right));
        const Expected e = brute_force(c);
        const cli::Result r = dir.run(args);
        EXPECT_EQ(r.status, e.status);
        EXPECT_EQ(std::regex_replace(r.err, progress, ""), e.err);
        EXPECT_EQ(canonical(e.texts, r.out, c.spell), canonical(e.texts, e.out, true));
        if (i % 5 == 0) {
            EXPECT_EQ(dir.run(args_of(c, "-f")).out, e.converted) << "-f in place of -C";
        }
        with_tags += e.out.find(' ') != std::string::npos;
    }
    // The generator must keep producing runs with something to report.
    EXPECT_TRUE(HasFailure() || cases < 100 || with_tags > cases / 3) << with_tags << " of " << cases;
}
