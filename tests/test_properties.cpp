// Random small runs of the binary against the brute force of oracle.h, each also with a random quorum.
#include "oracle.h"

using namespace oracle;

namespace {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned long kDefaultCases = 400;  // sanitized binaries start slowly
constexpr unsigned long kDefaultLargeCases = 2;
#else
constexpr unsigned long kDefaultCases = 2500;
constexpr unsigned long kDefaultLargeCases = 8;
#endif
}  // namespace

// XENVAR_PROPERTY_CASES and XENVAR_PROPERTY_SEED override the defaults when chasing a failure.
TEST(Properties, TagsMatchBruteForce) {
    const unsigned long cases = oracle::from_env("XENVAR_PROPERTY_CASES", kDefaultCases);
    const unsigned long seed = oracle::from_env("XENVAR_PROPERTY_SEED", 20240611);
    const cli::Dir dir;
    const std::regex progress("(Constructing|Done|Elmininating|Processing).*\n");  // their format is checked elsewhere
    std::mt19937 rng(seed);
    unsigned long with_tags = 0;
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {  // the first failing case is reported
        Case drawn = random_case(rng);
        if (i % 7 == 3) drawn.max_length = 1 + rng() % 8;
        Case with = with_quorum(drawn, rng);
        with.max_length = std::max(with.max_length, with.min_length);  // one below the minimum is refused
        const Case plain = drawn, quorum = with;
        const uint32_t threads[] = {1, 2, 3, 8};
        // Every case twice: as it is, and with a random quorum, both strands at times and a minimum length.
        for (const Case* run : {&plain, &quorum}) {
            const Case& c = *run;
            const auto args = with_threads(
                args_of(c, std::string("-C") + (c.spell ? "p" : "") + (c.histogram ? "h" : "")), threads[i % 4]);
            write_files(dir, c);
            SCOPED_TRACE(describe(seed, i, args, c));
            const Expected e = brute_force(c);
            const cli::Result r = dir.run(args);
            EXPECT_EQ(r.status, e.status);
            EXPECT_EQ(std::regex_replace(r.err, progress, ""), e.err);
            EXPECT_EQ(canonical(e.texts, r.out, c.spell), canonical(e.texts, e.out, true));
            if (i % 5 == 0) {
                EXPECT_EQ(dir.run(with_threads(args_of(c, "-f"), threads[i % 4])).out, e.converted) << "-f in place of -C";
                for (uint32_t n : threads) {  // byte for byte, progress lines included
                    const cli::Result again = dir.run(with_threads(args, n));
                    EXPECT_EQ(again.out, r.out) << n << " threads";
                    EXPECT_EQ(again.err, r.err) << n << " threads";
                    EXPECT_EQ(again.status, r.status) << n << " threads";
                }
            }
            with_tags += run == &plain && e.out.find(' ') != std::string::npos;
        }
    }
    // The generator must keep producing runs with something to report.
    EXPECT_TRUE(HasFailure() || cases < 100 || with_tags > cases / 3) << with_tags << " of " << cases;
}

// Runs large enough to spread over threads print the same bytes on every thread count, in every mode; the brute
// force is too slow for them, so one thread is the reference. XENVAR_THREAD_CASES overrides the number of runs.
TEST(Properties, EveryThreadCountPrintsTheSame) {
    const char* env_cases = std::getenv("XENVAR_THREAD_CASES");
    const unsigned long cases = env_cases ? std::strtoul(env_cases, nullptr, 10) : kDefaultLargeCases;
    const cli::Dir dir;
    auto untimed = [](const std::string& out) {  // the clock moves on between runs
        std::string kept;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (!line.starts_with("#Time: ")) kept += line + "\n";
        return kept;
    };
    const std::string modes[] = {"-C", "-Cp", "-Ch", "-H", "-p", "-vh", "-f"};
    std::mt19937 rng(20261208);
    for (unsigned long i = 0; i < cases && !HasFailure(); ++i) {
        const Case c = large_case(rng);
        // And with quorums that keep side slots: a tag in 4 of 5 left files (one slot beside MAX) or in 3 (one beside
        // TMP), and in at most one right file.
        Case q = c;
        while (q.left.size() < 5) q.left.push_back(c.left[1]);
        write_files(dir, q);
        q.min_left = i % 2 ? "4" : "3", q.max_right = "1";
        for (const auto& args : {args_of(c, modes[i % 7]), args_of(c, modes[(i + 3) % 7]), args_of(q, "-Cp")}) {
            const std::string mode = args[0];
            SCOPED_TRACE("case " + std::to_string(i) + ": xenvar " + testing::PrintToString(args));
            const cli::Result one = dir.run(with_threads(args, 1));
            EXPECT_EQ(one.status, 0) << one.err;
            for (uint32_t n : {2u, 3u, 8u}) {
                const cli::Result r = dir.run(with_threads(args, n));
                EXPECT_EQ(mode == "-vh" ? untimed(r.out) : r.out, mode == "-vh" ? untimed(one.out) : one.out)
                    << n << " threads";
                EXPECT_EQ(r.err, one.err) << n << " threads";
                EXPECT_EQ(r.status, one.status) << n << " threads";
            }
        }
    }
}
