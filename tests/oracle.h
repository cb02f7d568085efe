// The brute force of what a tag is, and the random runs it checks: shared by the property tests. A tag is a distinct
// substring of a representative chunk (masked unless -N), 1 to OVERLAP - 1 long, without masked symbols, in some
// loaded chunk of every other left file (of all but LEFT - N of them with --min-left N) and of no right file (of at
// most M with --max-right M), and in no earlier representative chunk. Nothing here calls the library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <regex>
#include <span>
#include <sstream>
#include <unordered_set>

#include "cli.h"

namespace oracle {

// A case count or seed from the environment (XENVAR_PROPERTY_CASES, XENVAR_PROPERTY_SEED),
// set when chasing a failure; else the test's own.
inline unsigned long from_env(const char* name, unsigned long fallback) {
    const char* value = std::getenv(name);
    return value ? std::strtoul(value, nullptr, 10) : fallback;
}


// The contents of files l0, l1, ... and r0, r1, ..., and the options of one run.
// both: --both-strands, other files count on either strand. min_left, max_right: the option values, "" for none.
struct Case { std::vector<std::string> left, right; uint64_t chunk, overlap, preamble; bool dna, spell, histogram;
              bool both = false; uint64_t min_length = 1, max_length = UINT64_MAX;
              std::string min_left = "", max_right = ""; };
struct Chunk { std::string text; uint64_t in_chunk = 0;  // in_chunk: symbols from the chunk's own bytes
               std::vector<std::pair<uint64_t, uint64_t>> records; };  // where a header opens one: text index, file offset
struct Expected { std::string out, err, converted; std::vector<std::string> texts; int status = 0;
                  std::vector<std::vector<std::string>> tags; std::vector<uint64_t> offsets;  // per entry of texts
                  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> records; };

// A file's chunks as loaded: chunk i owns CHUNK bytes from i * CHUNK, reads OVERLAP bytes beyond, and scans up to
// PREAMBLE bytes ahead for headers only. Blanks and NUL go; so do headers, each leaving an "N" but a file's first.
inline std::vector<Chunk> load(const std::string& file, const Case& c) {
    std::vector<Chunk> chunks;
    for (uint64_t own = 0; own < file.size(); own += c.chunk) {
        const uint64_t pre = std::min(own, c.preamble), end = std::min(own + c.chunk + c.overlap, file.size());
        const std::string raw = file.substr(own - pre, end - own + pre);
        Chunk& out = chunks.emplace_back();
        auto keep = [&](char ch, size_t i) { out.text += ch, out.in_chunk += i < pre + c.chunk; };
        bool header = false;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (std::string_view("\0\t\n\r >", 6).find(raw[i]) == std::string_view::npos && i >= pre) keep(raw[i], i);
            if (!c.dna || raw[i] != '>') continue;
            if (i >= pre && (own != pre || !out.text.empty() || header)) keep('N', i);
            if (i >= pre) out.records.push_back({out.text.size(), own - pre + i});
            header = true;
            while (i < raw.size() && raw[i] != '\n' && raw[i] != '\r') ++i;
        }
    }
    return chunks;
}

// The other strand: A-T, C-G, U to A; any other symbol becomes "!", which no tag holds.
inline std::string reverse_complement(const std::string& s) {
    std::string r;
    for (auto it = s.rbegin(); it != s.rend(); ++it)
        r += *it == 'A' ? 'T' : *it == 'T' || *it == 'U' ? 'A' : *it == 'C' ? 'G' : *it == 'G' ? 'C' : '!';
    return r;
}

// A --min-left or --max-right value as a number of files: N, or P% (P with one decimal at most) of `files`, rounded
// up and at least 1 (`up`) or rounded down.
inline size_t files_of(const std::string& value, size_t files, bool up) {
    if (!value.ends_with('%')) return std::stoul(value);
    const size_t dot = value.find('.'), tenths = std::stoul(value) * 10 + (dot == std::string::npos ? 0 : value[dot + 1] - '0');
    return up ? std::max<size_t>(1, (tenths * files + 999) / 1000) : tenths * files / 1000;
}

// What the run must print: its errors and empty chunks; standard output with one line per tag, in an order of its own.
inline Expected brute_force(const Case& c) {
    auto by_size = [](const std::string& a, const std::string& b) { return a.size() < b.size(); };
    const size_t rep = std::min_element(c.left.begin(), c.left.end(), by_size) - c.left.begin();  // first of equals
    std::vector<std::vector<Chunk>> lc, rc;
    for (const auto& f : c.left) lc.push_back(load(f, c));
    for (const auto& f : c.right) rc.push_back(load(f, c));
    std::swap(lc[0], lc[rep]);
    using Set = std::unordered_set<std::string_view>;
    std::deque<std::string> strands;  // reverse complements, alive as long as the sets that view them
    auto add = [&](Set& set, std::span<const Chunk> chunks) {  // substrings up to OVERLAP - 1 long
        for (const Chunk& chunk : chunks) {
            const std::string* other = c.both ? &strands.emplace_back(reverse_complement(chunk.text)) : nullptr;
            for (const std::string* text : {&chunk.text, other})
                for (size_t p = 0, n = text ? text->size() : 0; p < n; ++p)
                    for (size_t l = 1; l < c.overlap && p + l <= n; ++l) set.insert(std::string_view(*text).substr(p, l));
        }
    };
    // For every substring, the other left files and the right files that hold it, each file counted once.
    using Count = std::unordered_map<std::string_view, size_t>;
    Count in_left, in_right;
    auto count = [&](Count& counts, std::span<const Chunk> file) {
        Set held;
        add(held, file);
        for (std::string_view sub : held) ++counts[sub];
    };
    for (size_t f = 1; f < lc.size(); ++f) count(in_left, lc[f]);
    for (const auto& file : rc) count(in_right, file);
    auto held = [](const Count& counts, std::string_view sub) { auto it = counts.find(sub); return it == counts.end() ? 0 : it->second; };
    const size_t others = c.min_left.empty() ? lc.size() - 1 : files_of(c.min_left, lc.size(), true) - 1;
    const size_t tolerated = c.max_right.empty() ? 0 : files_of(c.max_right, rc.size(), false);
    Set excluded;  // the earlier chunks
    Expected e;
    std::vector<size_t> lens(c.overlap);  // tags of each length
    uint64_t offset = 0;
    for (size_t k = 0; k < lc[0].size(); ++k) {
        const std::string& text = lc[0][k].text;
        e.converted += text.substr(0, lc[0][k].in_chunk);
        if (k > 0) add(excluded, std::span(lc[0]).subspan(k - 1, 1));
        if (!e.status && text.empty()) e.err += "Empty Chunk...\n";
        if (!e.status && !c.dna && text.find('$') != std::string::npos)
            e.status = 1, e.err += "Reserved symbol '$' in file l" + std::to_string(rep) + ".\n";
        if (e.status || text.empty()) continue;
        std::string& m = e.texts.emplace_back(text);
        if (c.dna) std::replace_if(m.begin(), m.end(), [](char ch) { return !std::strchr("ACGTU", ch); }, '+');
        e.out += std::to_string(offset) + "\n";
        offset += lc[0][k].in_chunk;
        Set tags;
        for (size_t p = 0; p < m.size(); ++p)
            for (size_t l = 1; l < c.overlap && p + l <= m.size(); ++l) {
                const std::string_view sub = std::string_view(m).substr(p, l);
                if ((c.dna && sub.back() == '+') || held(in_left, sub) < others)
                    break;  // nothing longer from p qualifies either
                if (l >= c.min_length && l <= c.max_length && !excluded.count(sub) && held(in_right, sub) <= tolerated &&
                    tags.insert(sub).second)
                    ++lens[l], e.out += std::to_string(p + 1) + " " + std::to_string(l) + " 1 " + m.substr(p, l) + "\n";
            }
        e.tags.emplace_back(tags.begin(), tags.end()), e.offsets.push_back(offset - lc[0][k].in_chunk);
        e.records.push_back(lc[0][k].records);
    }
    size_t longest = c.overlap - 1;
    while (longest > 0 && lens[longest] == 0) --longest;
    for (size_t l = 0; c.histogram && !e.status && l <= longest; ++l)
        e.out.append(">").append(std::to_string(l) + " " + std::to_string(lens[l]) + "\n");
    return e;
}

// A compressed output as sorted "chunk tag" lines, tags spelled from the masked chunk texts, then the histogram:
// which node reports a tag, and so the order of the lines and how lengths group into them, is the tree's business.
inline std::string canonical(const std::vector<std::string>& texts, const std::string& out, bool spell) {
    std::vector<std::string> lines;
    std::string hist, line;
    size_t k = 0;  // offset lines so far
    for (std::istringstream in(out); std::getline(in, line);) {
        uint64_t p = 0, low = 0, n = 0;  // position, shortest length, number of lengths
        std::istringstream(line) >> p >> low >> n;
        if (line.starts_with(">") || !hist.empty()) {
            hist += line + "\n";
        } else if (line.find(' ') == std::string::npos) {
            lines.push_back(std::to_string(++k) + " offset " + line);
        } else if (!k || k > texts.size() || !p || !low || !n || p + low + n - 2 > texts[k - 1].size()) {
            lines.push_back("unexpected line: " + line);
        } else {
            const std::string longest = texts[k - 1].substr(p - 1, low + n - 1), spelled = spell ? " " + longest : "";
            if (line != std::to_string(p) + " " + std::to_string(low) + " " + std::to_string(n) + spelled)
                lines.push_back("malformed line: " + line);
            for (uint64_t l = low; l < low + n; ++l) lines.push_back(std::to_string(k) + " " + longest.substr(0, l));
        }
    }
    if (!out.empty() && out.back() != '\n') lines.push_back("no line feed at the end");
    std::sort(lines.begin(), lines.end());
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s + hist;
}

// Files around one base sequence: relatives with point changes, indels, invalid and reserved symbols, or parts
// only; laid out with headers, CRLF and stray blanks.
inline Case random_case(std::mt19937& rng) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    auto chance = [&](size_t percent) { return pick(100) < percent; };
    auto random_seq = [&](size_t n) { std::string s; while (n--) s += "ACGTU"[pick(5)]; return s; };
    auto mutate = [&](const std::string& base, size_t percent) {
        std::string s;
        for (char ch : base) switch (chance(percent) ? pick(4) : 4) {
                case 0: s += random_seq(1); break;       // substitution; 1 is a deletion
                case 2: s += ch + random_seq(1); break;  // insertion
                case 3: s += "NNnRx+$\1"[pick(8)]; break;  // invalid or reserved
                case 4: s += ch;
            }
        return chance(30) && s.size() > 4 ? s.substr(pick(s.size() / 2), s.size() / 2 + pick(s.size() / 2)) : s;
    };
    auto as_file = [&](const std::string& seq) {  // line breaks, blanks and headers anywhere
        const std::string eol = chance(20) ? "\r\n" : "\n", heads[] = {">s1", ">s2 x", ">AC", ">", ">GT\tAC"};
        const std::string decor[] = {eol, eol, eol, eol, eol, " ", "\t", eol + heads[pick(5)] + eol};
        std::string f = chance(30) ? heads[pick(5)] + eol : "";
        for (char ch : seq) f += ch + (chance(10) ? decor[pick(8)] : "");
        return chance(3) ? "" : f + (chance(80) ? eol : "") + (chance(5) ? heads[pick(5)] + eol : "");
    };
    Case c;
    const std::string base = mutate(random_seq(pick(46)), 3);  // what the files share may hold invalid symbols too
    const size_t right = pick(4), left = (right ? 1 : 2) + pick(3);  // one left file will do beside right files
    for (size_t i = 0; i < left; ++i) c.left.push_back(as_file(chance(20) ? base : mutate(base, 6)));
    for (size_t i = 0; i < right; ++i)  // distant relatives, short pieces, unrelated
        c.right.push_back(as_file(chance(40)   ? mutate(base, 25)
                                  : chance(50) ? base.substr(pick(base.size() + 1), pick(12)) : random_seq(pick(40))));
    c.chunk = chance(50) ? 1 + pick(15) : 1 + pick(80), c.overlap = 1 + pick(30), c.preamble = pick(21);
    c.dna = !chance(20), c.spell = chance(50), c.histogram = chance(30);
    return c;
}

inline std::vector<std::string> args_of(const Case& c, const std::string& mode) {
    auto list = [](char side, size_t n) {
        std::string names;
        for (size_t i = 0; i < n; ++i) names.append(i ? "," : "").append(1, side).append(std::to_string(i));
        return names;
    };
    std::vector<std::string> a = {mode, "-c", std::to_string(c.chunk), "-o", std::to_string(c.overlap), "-r",
                                  std::to_string(c.preamble), "-L", list('l', c.left.size())};
    if (!c.right.empty()) a.insert(a.end(), {"-R", list('r', c.right.size())});
    if (!c.dna) a.push_back("-N");
    if (c.both) a.push_back("--both-strands");
    if (c.min_length != 1) a.insert(a.end(), {"--min-length", std::to_string(c.min_length)});
    if (c.max_length != UINT64_MAX) a.insert(a.end(), {"--max-length", std::to_string(c.max_length)});
    if (!c.min_left.empty()) a.insert(a.end(), {"--min-left", c.min_left});
    if (!c.max_right.empty()) a.insert(a.end(), {"--max-right", c.max_right});
    return a;
}

// The case with a random quorum, both strands now and then and a minimum length: at times more left and right files
// (copies of its own with point changes, as long as they were, so the representative stays), so that every way of
// keeping the quorum is met.
inline Case with_quorum(Case c, std::mt19937& rng) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    auto changed = [&](std::string f) {
        for (char& ch : f)
            if (std::strchr("ACGTU", ch) && ch && pick(100) < 8) ch = "ACGT"[pick(4)];
        return f;
    };
    auto share = [&](size_t low, size_t high) {  // a count, or a percentage, with a tenth at times
        if (pick(3)) return std::to_string(low + pick(high + 1 - low));
        const size_t percent = pick(101);
        std::string value = std::to_string(percent);
        if (percent < 100 && pick(3) == 0) value.append(".").append(std::to_string(pick(10)));
        return value.append("%");
    };
    while (pick(2) && c.left.size() < 9) c.left.push_back(changed(c.left[pick(c.left.size())]));
    while (!c.right.empty() && pick(3) == 0 && c.right.size() < 6) c.right.push_back(changed(c.right[pick(c.right.size())]));
    c.min_left = share(1, c.left.size());
    c.max_right = share(0, c.right.size() + 1);  // more than there are: no right condition
    c.both = c.dna && pick(3) == 0;
    c.min_length = pick(3) ? 1 : 1 + pick(5);
    return c;
}

// The signature regions of a run as BED or FASTA: the maximal stretches of the representative sequence (the masked
// symbols of each chunk's own bytes, one after the other) covered by occurrences of a chunk's tags anywhere in that
// chunk's text, in the record where they begin. Records start at the text index that the loader gives for a header
// (a header met in two chunks counts once) and take the header's first word, or the file's name.
inline std::string regions(const Case& c, const Expected& e, bool fasta) {
    auto by_size = [](const std::string& a, const std::string& b) { return a.size() < b.size(); };
    const size_t rep = std::min_element(c.left.begin(), c.left.end(), by_size) - c.left.begin();
    const std::string file = std::string("l").append(std::to_string(rep)), &raw = c.left[rep];
    std::string seq = e.converted;
    if (c.dna) std::replace_if(seq.begin(), seq.end(), [](char ch) { return !std::strchr("ACGTU", ch); }, '+');
    std::vector<std::pair<uint64_t, std::string>> records = {{0, file}};
    std::vector<uint64_t> shortest;  // per position of the whole sequence: 0 when not covered
    int64_t last_header = -1;
    for (size_t k = 0; k < e.texts.size(); ++k) {
        for (auto [index, offset] : e.records[k]) {
            if (int64_t(offset) <= last_header) continue;
            last_header = int64_t(offset);
            std::string name = raw.substr(offset + 1, raw.find_first_of(" \t\r\n", offset + 1) - offset - 1);
            if (records.back().first == e.offsets[k] + index) records.pop_back();
            records.push_back({e.offsets[k] + index, name.empty() ? file : name});
        }
        for (const std::string& tag : e.tags[k])
            for (size_t p = e.texts[k].find(tag); p != std::string::npos; p = e.texts[k].find(tag, p + 1))
                for (uint64_t g = e.offsets[k] + p; g < e.offsets[k] + p + tag.size(); ++g) {
                    if (shortest.size() <= g) shortest.resize(g + 1, 0);
                    if (!shortest[g] || shortest[g] > tag.size()) shortest[g] = tag.size();
                }
    }
    std::string out;
    for (uint64_t from = 0, to = 0; from < shortest.size(); from = to) {
        if (!shortest[from] && (to = from + 1)) continue;
        size_t r = records.size() - 1;
        while (records[r].first > from) --r;
        // A region ends where the next record begins, even without an "N" between them.
        const uint64_t stop = r + 1 < records.size() ? records[r + 1].first : shortest.size();
        uint64_t low = UINT64_MAX;
        for (to = from; to < shortest.size() && to < stop && shortest[to]; ++to) low = std::min(low, shortest[to]);
        const std::string& name = records[r].second;
        const std::string where = std::to_string(from - records[r].first + 1) + "-" + std::to_string(to - records[r].first);
        if (!fasta) {
            out += name + "\t" + std::to_string(from - records[r].first) + "\t" + std::to_string(to - records[r].first) +
                   "\t" + name + ":" + where + "\t" + std::to_string(std::min<uint64_t>(low, 1000)) + "\t.\n";
            continue;
        }
        std::string symbols = seq.substr(std::min<uint64_t>(from, seq.size()), to - from);
        symbols.resize(to - from, 'N');
        out += ">" + name + ":" + where + "\n";
        for (size_t i = 0; i < symbols.size(); i += 60) out += symbols.substr(i, 60) + "\n";
    }
    return out;
}

// The case's files in `dir`, as l0, l1, ... and r0, r1, ...
inline void write_files(const cli::Dir& dir, const Case& c) {
    for (size_t f = 0; f < c.left.size(); ++f) dir.write('l' + std::to_string(f), c.left[f]);
    for (size_t f = 0; f < c.right.size(); ++f) dir.write('r' + std::to_string(f), c.right[f]);
}

// What a failing random case reports: how to draw it again, its command line and its files.
inline std::string describe(unsigned long seed, unsigned long i, const std::vector<std::string>& args, const Case& c) {
    return "seed " + std::to_string(seed) + " case " + std::to_string(i) + ": xenvar " + testing::PrintToString(args) +
           "\n  with l0, l1, ... = " + testing::PrintToString(c.left) + "\n  and r0, ... = " +
           testing::PrintToString(c.right);
}

// The same run on `threads` threads.
inline std::vector<std::string> with_threads(std::vector<std::string> args, uint32_t threads) {
    args.insert(args.end(), {"--threads", std::to_string(threads)});
    return args;
}

// Files long enough for the walk to cut its queries into segments and the sweeps the pool into ranges: relatives
// of one random base with point changes, invalid symbols and lost stretches, some runs cut into chunks.
inline Case large_case(std::mt19937& rng) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    std::string base(100000 + pick(150000), ' ');
    for (char& ch : base) ch = "ACGT"[pick(4)];
    auto relative = [&](size_t per_million) {
        std::string s;
        for (size_t i = 0; i < base.size(); ++i) {
            if (pick(1000000) >= per_million) s += base[i];
            else if (pick(10) == 0) i += pick(3000);  // a lost stretch
            else s += "ACGTNNR"[pick(7)];
        }
        return std::string(">").append(std::to_string(pick(100))).append("\n").append(s).append("\n");
    };
    Case c;
    for (size_t i = 0, n = 2 + pick(2); i < n; ++i) c.left.push_back(relative(2000 + pick(8000)));
    for (size_t i = 0, n = 1 + pick(2); i < n; ++i) c.right.push_back(relative(20000 + pick(100000)));
    c.chunk = pick(2) ? 300000 : 60000 + pick(60000), c.overlap = 2000, c.preamble = 100;
    c.dna = pick(5) != 0, c.spell = pick(2), c.histogram = pick(2);
    return c;
}

}  // namespace oracle
