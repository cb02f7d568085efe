// Runs the built binary on small files and compares standard output, standard error and exit status byte for byte.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <csignal>
#include <regex>
#include <tuple>

#include "cli.h"
#include "gzip_writer.h"

namespace {

using Args = std::vector<std::string>;
struct Case { Args args; std::string out = "", err = ""; int status = 0; };

const std::string kUsage =
    "Xenvar 5.1\nUsage: xenvar [options]\n\nOptions:\n"
    "   -L file1,file2...  List of files of sequences to the left\n"
    "   -R file3,file4...  Optional list of files of sequences to the right\n"
    "   -n                 Node under consideration (output only)\n"
    "   -c size            Chunk size\n   -o length          Overlap length\n"
    "   -r length          Preamble length (FASTA)\n   -f                 Converts reference file to a string\n"
    "   -p                 Spells tags\n   -N                 Do not remove tags due to N character\n"
    "   -C                 Compress output\n   -h                 Output histogram (starting with >)\n"
    "   -H                 Output histogram only\n   -v                 Verbose mode (outputs comments with #)\n"
    "   -X                 Robust tags only\n   -a                 Auto parameters\n"
    "   -A                 Auto parameters (FASTA)\n"
    "\nAsumes #, $, and + are unique characters not used in input sequences.\n\n"
    "To remove tags due to invalid characters, a duplicate of the first\n"
    " left file is created, where the characters are replaced say '+'.\n"
    "\nSequences may be given in FASTA format. Lines starting with '>' are ignored.\n"
    "In case of contigue files, character other than the first '>' are replaced by '+'.\n"
    "Whitespace and new lines are also ignored.\n";

// Runs each case in `dir`; clock stamps become "#Time: @".
void check(const cli::Dir& dir, const std::vector<Case>& cases) {
    static const std::regex stamp("#Time: \\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const cli::Result r = dir.run(c.args);
        EXPECT_EQ(std::regex_replace(r.out, stamp, "#Time: @\n"), c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

}  // namespace

TEST(Cli, UsageOpenErrorsAndReading) {
    const cli::Dir dir({{"a", "ACGT\n"}, {"b", "ACGTT\n"}, {"big", std::string(60, 'G') + "\n"}, {"nolf", "ACGT"},
                        {"one", "A"}, {"lf", "\n"}, {"fa", ">s1\r\nACGT\r\nAC\r\n>s2 x\r\nGGTT\r\n"}, {"l", "AAAA\n"},
                        {"f", "ACGTACGT\n"}, {"m", "CC\n"}, {"n", "GG\n"}});
    std::filesystem::create_directory(dir.path / "sub");
    const std::string head = "#Representative file: f\n#Node: 0\n#Time: @\n";
    check(dir, {
        {{}, "", kUsage, 1},
        {{"-L", "a", "-c", "9", "-f"}, "", kUsage, 1},              // one left file and no right file
        {{"-R", "a,b", "-f"}, "", kUsage, 1},                        // right files only
        {{"-L", "a,b", "-L", "b", "-f", "-c", "9"}, "", kUsage, 1},  // a second -L replaces the first
        // Overlap 0 is refused once all options are read, so only the final value counts.
        {{"-o", "3", "-L", "a,b", "-o0", "-f"}, "", "Overlap length must be at least 1.\n" + kUsage, 1},
        {{"-o", "0", "-L", "a,b", "-o", "3", "-f", "-c", "9"}, "ACGT"},
        {{"-L", "a,,b", "-f"}, "", "Can't open file .\n", 1},
        {{"-L", "a", "-R", "b,sub"}, "", "Can't open file sub.\n", 1},
        {{"-L", "nope,a", "-o", "0", "-Z"}, "", "Can't open file nope.\n", 1},  // before later options are seen
        {{"-L", "nolf,big", "-f", "-c", "2", "-r", "1"}, "ACGT"},  // the last byte is read like any other
        {{"-L", "one,big", "-f", "-c", "100"}, "A"},
        {{"-L", "lf,big", "-f", "-c", "100"}, "", "Empty Chunk...\n"},  // no symbol: an empty chunk
        {{"-L", "fa,big", "-f", "-c", "1000"}, "ACGTACNGGTT"},          // the first header leaves no mark
        // A stamp before each chunk's characters and one after the last; the third chunk holds no symbol.
        {{"-v", "-f", "-h", "-L", "f,big", "-c", "4", "-r", "0"},
         head + "ACGT#Time: @\nACGT#Time: @\n#Time: @\n>0 0\n", "Empty Chunk...\n"},
        // The smallest left file, first among equals, moves to the front; the others keep their order.
        {{"-vH", "-c", "100", "-L", "l,m,n"}, "#Representative file (set): m\n#Node: 0\n#Time: @\n#Time: @\n>0 0\n",
         "Constructing tree ... m.0;\nDone.\nProcessing ... l.0 (2);\nProcessing ... n.0 (2);\n"},
    });
    const cli::Result r = dir.run({"-L", "a,b", "-Z"});  // getopt's own complaint, then the usage text
    EXPECT_TRUE(r.status == 1 && r.err.size() > kUsage.size() && r.err.ends_with(kUsage)) << r.err;
}

TEST(Cli, MemoryReportAndWriteError) {
    const cli::Dir dir({{"a", "ACGTACGT\n"}, {"b", std::string(300, 'T') + "\n"}, {"e1", ""}, {"e2", ""}});
    static const std::regex report("MEMORY: (\\d+)\nHEAPSIZE: (\\d+)\nNODESIZE: 40\nCHUNK: (\\d+)\n\n");
    for (const auto& [args, largest] : std::vector<std::pair<Args, unsigned long long>>{
             {{"-L", "a,b", "-f", "-c", "x"}, 301}, {{"-L", "e1", "-R", "e2", "-C"}, 0}}) {  // all empty: CHUNK 1
        const cli::Result r = dir.run(args);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.err, m, report)) << r.err;
        const unsigned long long mem = std::stoull(m[1]), heap = std::stoull(m[2]);
        EXPECT_EQ(heap, mem ? (7 * mem + 9) / 10 - 1 : 0);  // seven tenths, taken from below
        EXPECT_EQ(std::stoull(m[3]), std::max(1ULL, std::min(largest, heap / 80)));
        EXPECT_TRUE(mem <= 4294967295ULL && r.out == (largest ? "ACGTACGT" : "") && r.status == 0) << r.out;
    }
    for (const Args& args : {Args{"-L", "a,b", "-f", "-c", "100"}, Args{"-L", "a,b", "-c", "100", "-v", "-H"}}) {
        const cli::Result r = dir.run(args, "/dev/full");
        EXPECT_TRUE(r.status == 1 && r.err.ends_with("Write error on standard output.\n")) << r.err;
    }
}

TEST(Cli, WholeRunInEveryVariant) {
    const cli::Dir dir({{"l1", "ACGTAC\n"}, {"l2", "CGTACG\n"}, {"r", "GTA\n"}});
    const std::string err =
        "Constructing tree ... l1.0;\nDone.\nProcessing ... l2.0 (6);\nProcessing (r) ... r.0 (3);\n";
    const std::string plain = "0: (1, 3, 3)\n0: (2, 3, 6)\n0: (3, 6, 6)\n0: (4, 6, 6)\n0: (1, 2, 2)\n0: (2, 2, 2)\n";
    const std::string hist = ">0 0\n>1 1\n>2 2\n>3 3\n>4 2\n>5 1\n";
    std::vector<Case> cases = {
        {{}, plain, err},
        {{"-C"}, "0\n1 3 1\n2 2 4\n3 4 1\n4 3 1\n1 2 1\n2 1 1\n", err},
        {{"-p"}, "0: (1, 3, 3) ACG\n0: (2, 3, 6) CGTAC\n0: (3, 6, 6) GTAC\n0: (4, 6, 6) TAC\n0: (1, 2, 2) AC\n"
                 "0: (2, 2, 2) C\n", err},
        {{"-H", "-C"}, hist, err},
        {{"-H", "-h"}, plain + hist, err},  // the later of -H and -h counts
        {{"-n", "-3", "-v", "-AX"}, "#Representative file: l1\n#Node: -3\n#Time: @\n-3: (1, 3, 3)\n-3: (2, 3, 6)\n"
                                    "-3: (3, 6, 6)\n-3: (4, 6, 6)\n-3: (1, 2, 2)\n-3: (2, 2, 2)\n#Time: @\n", err},
        {{"-h", "-o", "4294967295"}, plain + hist, err},  // the histogram never needs OVERLAP + 1 counters
    };
    for (Case& c : cases) c.args.insert(c.args.begin(), {"-L", "l1,l2", "-R", "r", "-c", "100"});
    check(dir, cases);
}

TEST(Cli, ReservedSymbolsAndChunkEdges) {
    const cli::Dir dir({{"p1", "AC+GT\n"}, {"p2", "AC+GT\n"}, {"d1", "AC$GT\n"}, {"d2", "AC$GT\nA\n"}, {"one", "A\n"},
                        {"q", "CAG\n"}, {"o1", "CCCCGT\n"}, {"o2", "GTAAAAAAA\n"}});
    check(dir, {
        // A '+' in the file is invalid like any other symbol, though masking leaves it as it is: no tag spans it.
        {{"-L", "p1,p2", "-c", "100", "-p"}, "0: (1, 1, 2) AC\n0: (2, 2, 2) C\n0: (4, 4, 5) GT\n0: (5, 5, 5) T\n",
         "Constructing tree ... p1.0;\nDone.\nElmininating bad symbols ... p1.0 (5);\nProcessing ... p2.0 (5);\n"},
        // With -N a '$' would reach the tree as a second terminator: refused, naming the representative file.
        {{"-L", "d2,d1", "-c", "100", "-C", "-N"}, "", "Reserved symbol '$' in file d1.\n", 1},
        // A chunk of one symbol still has its tag of length 1.
        {{"-L", "one,q", "-c", "100", "-Cp"}, "0\n1 1 1 A\n",
         "Constructing tree ... one.0;\nDone.\nProcessing ... q.0 (1);\n"},
        // GT lies in chunk 0's overlap; chunk 1 must not report it again.
        {{"-L", "o1,o2", "-c", "4", "-o", "3", "-r", "0", "-Cp"}, "0\n5 1 2 GT\n6 1 1 T\n4\n",
         "Constructing tree ... o1.0;\nDone.\nProcessing ... o2.0 (6);\nProcessing ... o2.1 (6);\n"
         "Processing ... o2.2 (6);\nConstructing tree ... o1.1;\nDone.\nProcessing ... o2.0 (2);\n"
         "Processing ... o2.1 (2);\nProcessing ... o2.2 (2);\nProcessing ... o1.0  (6);\n"},
    });
}

TEST(Cli, HelpVersionAndUnknownLongOptions) {
    const cli::Dir dir({{"a", "ACGT\n"}, {"b", "ACGT\n"}});
    const cli::Result help = dir.run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    // Every short option is documented, then every long one.
    for (const char* o : {"-L ", "-R ", "-c ", "-o ", "-r ", "-a ", "-f ", "-p ", "-N ", "-C ", "-h ", "-H ", "-v ",
                          "-n ", "--help", "--version"})
        EXPECT_NE(help.out.find(o), std::string::npos) << o;
    EXPECT_LT(help.out.find("-X"), help.out.find("--help"));
    const cli::Result version = dir.run({"--version"});
    EXPECT_TRUE(version.status == 0 && version.out == "xenvar 5.1\n") << version.out;
    // A long name that does not exist is bad usage, named by getopt, and letters unknown today stay unknown.
    for (const Args& args : {Args{"--bogus", "-L", "a,a"}, Args{"-L", "a,a", "-W", "help"}}) {
        const cli::Result r = dir.run(args);
        EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err.ends_with(kUsage) && r.err.size() > kUsage.size())
            << r.err;
    }
}

TEST(Cli, CompressedInput) {
    const std::string big = std::string(300, 'A') + "\n";
    const cli::Dir dir({{"l1", "ACGTAC\n"}, {"l1.gz", gz::member("ACGTAC\n")}, {"l2.gz", gz::members("CGTACG\n", {0, 3})},
                        {"r.gz", gz::bgzf("GTA\n", 2)}, {"big.gz", gz::member(big)}, {"small", std::string(60, 'C') + "\n"},
                        {"cut.gz", gz::member("ACGTAC\n").substr(0, 12)},
                        {"bad.gz", gz::member("ACGTAC\n")}});
    std::string wrong_crc = gz::member("ACGTAC\n");
    wrong_crc[wrong_crc.size() - 8] ^= 1;
    dir.write("bad.gz", wrong_crc);
    const std::string plain = "0: (1, 3, 3)\n0: (2, 3, 6)\n0: (3, 6, 6)\n0: (4, 6, 6)\n0: (1, 2, 2)\n0: (2, 2, 2)\n";
    check(dir, {
        // The whole run of plain files, on gzip, multi-member and BGZF copies.
        {{"-L", "l1.gz,l2.gz", "-R", "r.gz", "-c", "100"}, plain,
         "Constructing tree ... l1.gz.0;\nDone.\nProcessing ... l2.gz.0 (6);\nProcessing (r) ... r.gz.0 (3);\n"},
        {{"-L", "l1.gz,l2.gz", "-R", "r.gz", "-c", "3", "-f"}, "ACGTAC", "Empty Chunk...\n"},
        // Decompressed sizes choose the representative file: big.gz is the smaller file on disk.
        {{"-v", "-f", "-L", "big.gz,small", "-c", "1000"}, "#Representative file (set): small\n#Node: 0\n#Time: @\n" +
                                                        std::string(60, 'C') + "#Time: @\n"},
        {{"-L", "l1,cut.gz", "-f"}, "", "Truncated gzip data in file cut.gz.\n", 1},
        {{"-L", "l1", "-R", "bad.gz", "-f"}, "", "Corrupt gzip data in file bad.gz.\n", 1},
    });
    // The automatic chunk size comes from the largest decompressed size.
    const cli::Result r = dir.run({"-L", "big.gz,small", "-f"});
    EXPECT_TRUE(r.status == 0 && r.err.find("\nCHUNK: 301\n") != std::string::npos) << r.err;
}

TEST(Cli, IgnoreCaseListsAndBothStrands) {
    const cli::Dir dir({{"l1", "ACGTAC\n"}, {"s1", "acgTAc\n"}, {"l2", "CGTACG\n"}, {"r", "GTA\n"},
                        {"lst", "# left files\n\nl1\r\n  \nl2\n"}, {"empty", "# none\n\n"}, {"gone.lst", "l2\ngone\n"},
                        {"p", "AACCG\n"}, {"q", "CGGTT\n"}, {"g", "GG\n"}});
    const std::string spelled = "0: (1, 3, 3) ACG\n0: (2, 3, 6) CGTAC\n0: (3, 6, 6) GTAC\n0: (4, 6, 6) TAC\n"
                                "0: (1, 2, 2) AC\n0: (2, 2, 2) C\n";
    const std::string err = "Constructing tree ... l1.0;\nDone.\nProcessing ... l2.0 (6);\nProcessing (r) ... r.0 (3);\n";
    const std::string both = "Constructing tree ... p.0;\nDone.\nProcessing ... q.0 (5);\nProcessing (r) ... g.0 (2);\n";
    check(dir, {
        // Soft-masked letters read as capitals, and spelled so.
        {{"-L", "s1,l2", "-R", "r", "-c", "100", "-p", "--ignore-case"}, spelled,
         "Constructing tree ... s1.0;\nDone.\nProcessing ... l2.0 (6);\nProcessing (r) ... r.0 (3);\n"},
        {{"-L", "s1,l2", "-R", "r", "-c", "100", "-C"}, "0\n",
         "Constructing tree ... s1.0;\nDone.\nElmininating bad symbols ... s1.0 (6);\nProcessing ... l2.0 (6);\n"
         "Processing (r) ... r.0 (3);\n"},
        // A list file: comments, blank lines and CRLF skipped.
        {{"-L", "@lst", "-R", "r", "-c", "100", "-p"}, spelled, err},
        {{"-L", "l1,@empty", "-R", "r"}, "", "Can't open file @empty.\n", 1},
        {{"-L", "l1", "-R", "@nolist"}, "", "Can't open file nolist.\n", 1},
        {{"-L", "l1,@gone.lst", "-R", "r"}, "", "Can't open file gone.\n", 1},
        // q is p's reverse complement, g that of CC: only both strands see them.
        {{"-L", "p,q", "-R", "g", "-c", "100", "-H"}, ">0 0\n>1 1\n>2 1\n", both},
        {{"-L", "p,q", "-R", "g", "-c", "100", "-H", "--both-strands"}, ">0 0\n>1 1\n>2 3\n>3 3\n>4 2\n>5 1\n", both},
        {{"-L", "p,q", "-R", "g", "--both-strands", "-N"}, "", "Option --both-strands cannot be combined with -N.\n", 1},
    });
    const cli::Result r = dir.run({"-L", "p,q", "--ignore-cases"});  // not a prefix of a long option
    EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err.ends_with(kUsage) && r.err.size() > kUsage.size()) << r.err;
}

TEST(Cli, ThreadCounts) {
    const cli::Dir dir({{"a", "ACGTTGCA\n"}, {"b", "ACGTAGCA\n"}});
    // Only a whole number from 1 to 1024 is a thread count; anything else ends the run before it starts.
    for (const char* bad : {"0", "-1", "", "two", "2x", " 2", "1025", "99999999999999999999"}) {
        const cli::Result r = dir.run({"--threads", bad, "-L", "a,b"});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_EQ(r.err, std::string("Invalid thread count '") + bad + "': give a whole number from 1 to 1024.\n");
    }
    const cli::Result one = dir.run({"-L", "a,b", "-Cp", "--threads", "1"});
    EXPECT_EQ(one.out, "0\n1 2 3 ACGT\n2 2 2 CGT\n3 2 1 GT\n4 1 1 T\n3 1 1 G\n6 2 2 GCA\n2 1 1 C\n7 2 1 CA\n1 1 1 A\n");
    for (const Args& args : {Args{"-L", "a,b", "-Cp", "--threads=1024"}, Args{"--threads", "2", "-L", "a,b", "-Cp"},
                             Args{"-L", "a,b", "-Cp"}}) {
        const cli::Result r = dir.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, one.out);
        EXPECT_EQ(r.err, one.err);
    }
    EXPECT_NE(dir.run({"--help"}).out.find("--threads N "), std::string::npos);
}

// A process with a timer, as a fuzzer has, interrupts the read of a run's output: the harness must read on.
TEST(Cli, RunReadsOnThroughSignals) {
    const std::string big(4 << 20, 'A');
    const cli::Dir dir({{"a", big}, {"b", big + "C"}});  // a, the smaller, is printed
    struct sigaction tick {}, saved {};
    tick.sa_handler = [](int) {};  // no SA_RESTART: a blocked read returns EINTR
    sigaction(SIGALRM, &tick, &saved);
    itimerval every_ms{{0, 1000}, {0, 1000}}, off{};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    const cli::Result r = dir.run({"-L", "a,b", "-f", "-c", "100000000"});
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == big) << r.out.size() << " of " << big.size() << " bytes";
}

// Reads: quality lines that begin like a header or a separator are quality, reads are records;
// every malformed record, and -N with a FASTQ file, ends the run naming the file and the read.
TEST(Cli, FastqReadsAndMalformedRecords) {
    const std::string big = std::string(300, 'A') + "\n", reads = "@r1 one\nACGTAC\n+\n@+>II!\n@r2\nGG\nTT\n+r2\n@I\nII\n\n";
    const cli::Dir dir({{"q", reads}, {"q.gz", gz::member(reads)}, {"l2", "CGTACG" + big}, {"r", "GTA\n"}, {"big", big},
                        {"head", "@r1\nAC\n+\nII\nr2\nAC\n+\nII\n"}, {"plus", "@r1\nAC\nGG\n@r2\nAC\n+\nII\n"},
                        {"short", "@r1\nACGT\n+\nII\n@r2\nAC\n+\nII\n"}, {"long", "@r1\nAC\n+\nIII\n"},
                        {"cut", "@r1\nACGT\n+\nII"}, {"cut.gz", gz::member("@r1 x\nACGT")},
                        {"third", "@r1 a\nACGT\n+\nIIII\n@r2\nACGT\n+\nIIII\n@r3 b\nACGTACGTAC\n+\nIIIIII\nIIIIIII\n"}});
    const std::string err = "Constructing tree ... q.0;\nDone.\nElmininating bad symbols ... q.0 (11);\n"
                            "Processing ... l2.0 (11);\nProcessing (r) ... r.0 (3);\n";
    std::vector<Case> cases = {
        {{"-L", "q,big", "-f"}, "ACGTACNGGTT"},
        // Chunks that own only header and quality bytes hold no symbol.
        {{"-L", "q.gz,big", "-f", "-c", "7", "-o", "3"}, "ACGTACNGGTT", "Empty Chunk...\nEmpty Chunk...\nEmpty Chunk...\n"},
        // C, AC, TAC, GTAC, CGTAC ... cover the first read whole; the second has no tag.
        {{"-L", "q,l2", "-R", "r", "--format", "bed"}, "r1\t0\t6\tr1:1-6\t1\t.\n", err},
        {{"-L", "head,big", "-f"}, "", "Header without '@' at read 2 of file head.\n", 1},
        {{"-L", "plus,big", "-f"}, "", "Missing '+' line in read 1 (r1) of file plus.\n", 1},
        {{"-L", "short,big", "-f"}, "", "Quality shorter than the sequence in read 1 (r1) of file short.\n", 1},
        {{"-L", "long,big", "-f"}, "", "Quality longer than the sequence in read 1 (r1) of file long.\n", 1},
        {{"-L", "cut,big", "-f"}, "", "Truncated read 1 (r1) of file cut.\n", 1},
        {{"-L", "cut.gz,big", "-f"}, "", "Truncated read 1 (r1) of file cut.gz.\n", 1},
        // Found by a chunk that starts past the read's header: the read is named all the same.
        {{"-L", "third,big", "-f", "-c", "8", "-o", "2"}, "ACGTNACGTNACGTACGTAC", "Quality longer than the sequence in read 3 (r3) of file third.\n", 1},
        {{"-N", "-L", "l2,q", "-f"}, "", "Option -N cannot be combined with FASTQ file q.\n", 1},
        {{"-L", "l2", "-R", "r,q.gz", "-N"}, "", "Option -N cannot be combined with FASTQ file q.gz.\n", 1},
    };
    for (Case& c : cases) c.args.insert(c.args.begin(), {"-c", "1000"});  // a later -c counts
    check(dir, cases);
}

TEST(Cli, QuorumRefusesBadValues) {
    const cli::Dir dir({{"a", "ACGT\n"}, {"b", "ACGT\n"}, {"c", "ACGA\n"}, {"r", "CG\n"}});
    auto refused = [](const std::string& option, const std::string& value, const std::string& why) {
        return "Invalid --" + option + " value '" + value + "': " + why + ".\n";
    };
    const std::string range = "give 1 to 3, the number of left files", form = "give a number of files or a percentage such as 95%";
    std::vector<Case> cases;
    for (const auto& [option, value, why] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"min-left", "0", range}, {"min-left", "4", range}, {"min-left", "99999999999", range},
             {"min-left", "100.01%", "a percentage is at most 100%"}, {"max-right", "101%", "a percentage is at most 100%"},
             {"min-left", "-1", "a number of files is never negative"}, {"max-right", "-0.5%", "a number of files is never negative"},
             {"min-left", "two", form}, {"min-left", "", form}, {"min-left", "2x", form}, {"min-left", " 2", form},
             {"min-left", "1.5", form}, {"max-right", "5%%", form}, {"max-right", ".5%", form}, {"max-right", "1.%", form},
             {"max-right", "0.0000000001%", form}}) {  // decimals beyond the ninth
        cases.push_back({{"-L", "a,b,c", "-R", "r", "--" + option, value}, "", refused(option, value, why), 1});
        // Read once the lists are known: an option before -L is judged by the same list.
        cases.push_back({{"--" + option + "=" + value, "-L", "a,b,c", "-R", "r"}, "", refused(option, value, why), 1});
    }
    check(dir, cases);
}

// Without a quorum, and with one that asks for every left file and no right file in any spelling, a run prints
// today's bytes: several chunks, both strands, three outputs.
TEST(Cli, DefaultQuorumPrintsWhatTheRunWithoutPrints) {
    const std::string ex = XENVAR_SOURCE_DIR "/examples/";
    const cli::Dir dir;
    for (const std::string mode : {"-vhp", "-C", "--format=bed"}) {
        const std::vector<std::string> args = {mode, "-c", "1500", "-o", "300", "--both-strands", "-L",
                                               ex + "target1.fa," + ex + "target2.fa," + ex + "target3.fa", "-R",
                                               ex + "neighbour1.fa," + ex + "neighbour2.fa"};
        static const std::regex stamp("#Time: [^\n]*\n");
        const cli::Result today = dir.run(args);
        ASSERT_EQ(today.status, 0);
        ASSERT_NE(today.out.find(mode == "-C" ? " " : mode == "-vhp" ? "0: (" : "\t"), std::string::npos) << mode;
        for (const std::vector<std::string>& quorum : std::vector<std::vector<std::string>>{
                 {"--min-left", "3", "--max-right", "0"}, {"--min-left", "100%", "--max-right", "0%"},
                 {"--max-right", "49.9%", "--min-left", "99.9%"}}) {
            std::vector<std::string> with = quorum;
            with.insert(with.end(), args.begin(), args.end());
            const cli::Result r = dir.run(with);
            EXPECT_EQ(std::regex_replace(r.out, stamp, ""), std::regex_replace(today.out, stamp, ""))
                << testing::PrintToString(with);
            EXPECT_EQ(r.err, today.err) << testing::PrintToString(with);
            EXPECT_EQ(r.status, 0);
        }
    }
}

// The automatic chunk size budgets a node's side slots too, and --count-chunks counts with it.
TEST(Cli, QuorumSlotsInTheMemoryReport) {
    const cli::Dir dir({{"a", "ACGTACGT\n"}, {"b", "ACGT\n"}, {"c", "ACGA\n"}, {"r", "CG\n"}, {"s", "GA\n"}});
    static const std::regex report("MEMORY: (\\d+)\nHEAPSIZE: (\\d+)\nNODESIZE: (\\d+)\nCHUNK: (\\d+)\n\n");
    for (const auto& [quorum, node] : std::vector<std::pair<Args, unsigned long long>>{
             {{"--min-left", "2"}, 40}, {{"--max-right", "1"}, 44}, {{"--min-left", "2", "--max-right", "50%"}, 44}}) {
        Args args = {"-L", "a,b,c", "-R", "r,s", "--count-chunks"};
        args.insert(args.end(), quorum.begin(), quorum.end());
        const cli::Result r = dir.run(args);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.err, m, report)) << r.err;
        EXPECT_EQ(std::stoull(m[3]), node);
        EXPECT_EQ(std::stoull(m[4]), std::max(1ULL, std::min(9ULL, std::stoull(m[2]) / (2 * node))));
        EXPECT_EQ(r.out, "1\n");
    }
}
