// Writes gzip data with zlib for the tests that read it back: one member, several members
// (empty ones included), and BGZF blocks as bgzip writes them.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace gz {

// Raw deflate of `data` (no wrapper).
inline std::string deflate_raw(const std::string& data, int level = 6) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
    std::string out(deflateBound(&z, data.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

inline uint32_t crc(const std::string& data) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// One gzip member, with the file name in its header as gzip writes it.
inline std::string member(const std::string& data) {
    std::string s("\x1f\x8b\x08\x08\0\0\0\0\0\x03" "seq.fa", 16);
    s += '\0';
    s += deflate_raw(data);
    put32(s, crc(data));
    put32(s, static_cast<uint32_t>(data.size()));
    return s;
}

// One member per piece between the cut points: what `cat a.gz b.gz` gives.
inline std::string members(const std::string& data, std::vector<size_t> cuts) {
    std::string s;
    size_t from = 0;
    cuts.push_back(data.size());
    for (size_t cut : cuts) {
        cut = std::min(std::max(cut, from), data.size());
        s += member(data.substr(from, cut - from));
        from = cut;
    }
    return s;
}

// BGZF: members of at most 65280 input bytes, each with the "BC" extra field giving its
// size, then the empty end-of-file block.
inline std::string bgzf(const std::string& data, size_t block = 65280) {
    std::string s;
    for (size_t from = 0;; from += block) {
        const std::string piece = data.substr(std::min(from, data.size()), block), body = deflate_raw(piece);
        std::string m("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0" "BC\x02\0", 16);
        const uint32_t bsize = static_cast<uint32_t>(m.size() + 2 + body.size() + 8 - 1);
        m += static_cast<char>(bsize & 0xff);
        m += static_cast<char>(bsize >> 8);
        m += body;
        put32(m, crc(piece));
        put32(m, static_cast<uint32_t>(piece.size()));
        s += m;
        if (piece.empty()) return s;  // the end-of-file block
    }
}

}  // namespace gz
