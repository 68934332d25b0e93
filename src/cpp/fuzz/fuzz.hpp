// fuzz/fuzz.hpp: what the fuzz targets share: a check that stops the run,
// and texts in the shapes the rules read them (UTF-8 that may carry lone
// surrogates, code points stored 1, 2 or 4 bytes wide).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"

// A failed property is a crash for libFuzzer, which saves the input.
#define FUZZ_CHECK(cond)                                                           \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

namespace fuzz {

namespace text = sorvel::text;

// The input's bytes read as UTF-8; a byte that starts no well-formed
// sequence (surrogates allowed) stands for the code point of its own value.
inline std::u32string decode(std::string_view s) {
    std::u32string out;
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3
                                     : b >= 0xF0 && b < 0xF5 ? 4 : 0;
        char32_t c = len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
        bool ok = len != 0 && i + len <= s.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            ok = (t & 0xC0) == 0x80;
            c = (c << 6) | (t & 0x3F);
        }
        if (ok && len > 1) {  // shortest form and in range only
            const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = c >= least[len] && c <= 0x10FFFF;
        }
        if (len == 1) c = b;
        if (!ok) { c = b; len = 1; }
        out.push_back(c);
        i += len;
    }
    return out;
}

// UTF-8 with lone surrogates written as their own three bytes.
inline std::string encode(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// One text stored in every width that holds all of its code points, as a
// str of that text may be; each view lives in a buffer of exactly its size,
// so that AddressSanitizer sees a read past the end.
struct Views {
    std::u32string units;
    std::vector<char32_t> wide;
    std::vector<std::uint8_t> narrow;
    std::vector<std::uint16_t> middle;
    std::vector<text::CodePoints> all;

    explicit Views(std::u32string s) : units(std::move(s)) {
        char32_t top = 0;
        for (char32_t c : units) top = c > top ? c : top;
        wide.assign(units.begin(), units.end());
        all.push_back({wide.data(), wide.size(), 4});
        if (top <= 0xFFFF) {
            middle.assign(units.begin(), units.end());
            all.push_back({middle.data(), middle.size(), 2});
        }
        if (top <= 0xFF) {
            narrow.assign(units.begin(), units.end());
            all.push_back({narrow.data(), narrow.size(), 1});
        }
    }
    std::u32string at(text::Range r) const { return units.substr(r.begin, r.size()); }
};

// A copy of `s` without white space at either end.
inline std::u32string stripped(std::u32string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && text::is_space(s[b])) ++b;
    while (e > b && text::is_space(s[e - 1])) --e;
    return std::u32string(s.substr(b, e - b));
}

inline bool same(text::Range a, text::Range b) { return a.begin == b.begin && a.end == b.end; }

inline bool within(text::Range r, std::size_t n) { return r.begin <= r.end && r.end <= n; }

}  // namespace fuzz
