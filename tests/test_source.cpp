// Byte sources: plain and gzip files (one member, several, BGZF) read by range, in order
// and out of order, and damaged gzip files refused with a message naming them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "gzip_writer.h"
#include "source.h"
#include "treecreate.h"

namespace {

struct TempFile {
    std::string path;
    explicit TempFile(const std::string& content, const std::string& tag = "f") {
        path = testing::TempDir() + "xenvar_source_" + tag + "_" + std::to_string(getpid());
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path.c_str()); }
};

std::string random_fasta(size_t bases, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s = ">chr1 test\n";
    for (size_t i = 1; i <= bases; ++i) {
        s += "ACGT"[rng() % 4];
        if (i % 60 == 0) s += '\n';
    }
    return s + "\n";
}

// The same data, plain and in every gzip layout.
std::vector<std::pair<std::string, std::string>> layouts(const std::string& data) {
    return {{"plain", data},
            {"one member", gz::member(data)},
            {"members", gz::members(data, {0, 1, data.size() / 3, data.size() / 3, data.size() - 1})},
            {"bgzf", gz::bgzf(data)},
            {"small bgzf blocks", gz::bgzf(data, 1000)}};
}

std::string read_range(ByteSource& source, uint64_t start, uint64_t n, uint64_t keep_from) {
    uint64_t size = 0;
    EXPECT_TRUE(source_begin(source, &size));
    std::string buf(n, '\0');
    buf.resize(source_read(source, start, n, buf.data(), keep_from));
    return buf;
}

}  // namespace

TEST(Source, SizesAndWholeReadsInEveryLayout) {
    const std::string data = random_fasta(200000, 1);
    for (const std::string& d : {data, std::string()}) {
        for (const auto& [layout, bytes] : layouts(d)) {
            SCOPED_TRACE(layout + " of " + std::to_string(d.size()) + " bytes");
            const TempFile f(bytes);
            uint64_t size = 0;
            ASSERT_TRUE(source_size(f.path.c_str(), &size));
            EXPECT_EQ(size, d.size());
            ByteSource source = source_for(f.path, size);
            EXPECT_EQ(read_range(source, 0, d.size() + 100, UINT64_MAX), d);  // a range past the end: what there is
            EXPECT_EQ(source_is_compressed(source), layout != "plain");
        }
    }
    uint64_t size = 0;
    EXPECT_FALSE(source_size("/nonexistent/xenvar", &size));
    EXPECT_FALSE(source_size(testing::TempDir().c_str(), &size));  // not a regular file
}

TEST(Source, ChunkRangesInOrderInflateTheFileOnce) {
    const std::string data = random_fasta(300000, 2);
    for (const auto& [layout, bytes] : layouts(data)) {
        SCOPED_TRACE(layout);
        const TempFile f(bytes);
        // Ranges as the chunk loop reads them: each shares its preamble and overlap with the next.
        const uint64_t chunk = 7000, overlap = 900, preamble = 1500;
        ByteSource source = source_for(f.path, data.size());
        for (uint64_t own = 0; own < data.size(); own += chunk) {
            const uint64_t start = own < preamble ? 0 : own - preamble, next = own + chunk;
            const uint64_t n = own + chunk + overlap - start;
            ASSERT_EQ(read_range(source, start, n, next < preamble ? 0 : next - preamble), data.substr(start, n)) << own;
        }
        if (layout != "plain") {
            EXPECT_EQ(source_passes(source), 1u);
            EXPECT_EQ(source_inflated(source), data.size());
        }
    }
}

TEST(Source, RangesOutOfOrderAndRepeated) {
    const std::string data = random_fasta(150000, 3);
    std::mt19937 rng(4);
    for (const auto& [layout, bytes] : layouts(data)) {
        SCOPED_TRACE(layout);
        const TempFile f(bytes);
        ByteSource source = source_for(f.path, UINT64_MAX);  // size measured when first read
        for (int i = 0; i < 40; ++i) {
            const uint64_t start = rng() % (data.size() + 10), n = rng() % 30000, keep = rng() % (data.size() + 1);
            ASSERT_EQ(read_range(source, start, n, keep), start < data.size() ? data.substr(start, n) : "")
                << start << "+" << n << " keeping from " << keep;
        }
        // Backwards before the kept bytes starts the stream again; the same range again does not.
        if (layout == "plain") continue;
        EXPECT_EQ(read_range(source, 100000, 5000, 104000), data.substr(100000, 5000));
        const uint32_t passes = source_passes(source);
        EXPECT_EQ(read_range(source, 104000, 2000, 104000), data.substr(104000, 2000));  // kept, then on
        EXPECT_EQ(read_range(source, 104500, 500, 0), data.substr(104500, 500));         // inside the kept bytes
        EXPECT_EQ(source_passes(source), passes);
        EXPECT_EQ(read_range(source, 10, 20, 0), data.substr(10, 20));
        EXPECT_EQ(source_passes(source), passes + 1);
    }
}

TEST(Source, LoadFileRangeIsTheSameOnCompressedFiles) {
    const std::string data = random_fasta(50000, 5) + ">second\nacgtNNNNacgt\n";
    const TempFile plain(data, "p"), packed(gz::members(data, {777, 30000}), "z");
    for (uint64_t start : {0ull, 1234ull, 49000ull}) {
        uint64_t lp = 0, op = 0, lz = 0, oz = 0;
        Text p = loadFileRange(plain.path.c_str(), &lp, start, start + 20000, start ? 300 : 0, 15000, &op);
        Text z = loadFileRange(packed.path.c_str(), &lz, start, start + 20000, start ? 300 : 0, 15000, &oz);
        ASSERT_TRUE(p && z);
        EXPECT_EQ(std::string(p.get()), std::string(z.get()));
        EXPECT_TRUE(lp == lz && op == oz) << lp << " " << lz << " " << op << " " << oz;
    }
}

TEST(Source, DamagedGzipEndsTheRunNamingTheFile) {
    const std::string data = random_fasta(20000, 6), good = gz::members(data, {5000});
    const size_t first = gz::member(data.substr(0, 5000)).size();
    struct { std::string name, bytes, message; } cases[] = {
        {"cut in the header", good.substr(0, 5), "Truncated"},
        {"magic only", good.substr(0, 2), "Truncated"},
        {"cut in the data", good.substr(0, good.size() / 2), "Truncated"},
        {"cut in the trailer", good.substr(0, good.size() - 3), "Truncated"},
        {"cut in the second member's header", good.substr(0, first + 4), "Truncated"},
        {"wrong checksum", good.substr(0, first - 8) + "\x01\x02\x03\x04" + good.substr(first - 4), "Corrupt"},
        {"garbage after a member", good.substr(0, first) + "ACGT\n", "Corrupt"},
        {"bad block type", good.substr(0, 17) + "\xff\xff\xff\xff" + good.substr(21), "Corrupt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempFile f(c.bytes, "bad");
        uint64_t size = 0;
        EXPECT_EXIT(source_size(f.path.c_str(), &size), testing::ExitedWithCode(1),
                    c.message + " gzip data in file " + f.path + "\\.\n");
    }
}
