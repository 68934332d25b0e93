// common/text.cpp: strip, answer cleaning, splitting.
#include "common/text.hpp"

#include <charconv>

namespace sorvel::text {

Range strip(const CodePoints &s, Range r) noexcept {
    while (r.begin < r.end && is_space(s[r.begin])) ++r.begin;
    while (r.end > r.begin && is_space(s[r.end - 1])) --r.end;
    return r;
}

bool starts_with(const CodePoints &s, Range r, std::string_view prefix) noexcept {
    if (r.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (s[r.begin + i] != static_cast<unsigned char>(prefix[i])) return false;
    return true;
}

bool ends_with(const CodePoints &s, Range r, std::string_view suffix) noexcept {
    if (r.size() < suffix.size()) return false;
    std::size_t at = r.end - suffix.size();
    for (std::size_t i = 0; i < suffix.size(); ++i)
        if (s[at + i] != static_cast<unsigned char>(suffix[i])) return false;
    return true;
}

Range clean_answer(const CodePoints &s, Unwrap mode) noexcept {
    Range r = strip(s);
    if (starts_with(s, r, "```") && ends_with(s, r, "```")) {
        // The two fences may overlap ("````"): nothing is left then.
        if (r.size() <= 6) return Range{r.begin, r.begin};
        r = strip(s, Range{r.begin + 3, r.end - 3});
        if (mode == Unwrap::JsonTag && starts_with(s, r, "json"))
            r = strip(s, Range{r.begin + 4, r.end});
    }
    if (mode == Unwrap::Quotes && starts_with(s, r, "\"") && ends_with(s, r, "\"")) {
        if (r.size() <= 2) return Range{r.begin, r.begin};
        r = strip(s, Range{r.begin + 1, r.end - 1});
    }
    return r;
}

namespace {

// Decodes the code point that starts at s[i] and sets `len` to its length.
// Input is well-formed (possibly surrogate-carrying) UTF-8 made by the
// interpreter; a stray byte is taken as one code point of its own value.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t &len) noexcept {
    auto b = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F);
    };
    if (b < 0x80) { len = 1; return b; }
    if (b >= 0xC0 && b < 0xE0 && i + 1 < s.size()) {
        len = 2; return (char32_t(b & 0x1F) << 6) | cont(1);
    }
    if (b >= 0xE0 && b < 0xF0 && i + 2 < s.size()) {
        len = 3; return (char32_t(b & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    }
    if (b >= 0xF0 && i + 3 < s.size()) {
        len = 4;
        return (char32_t(b & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    }
    len = 1;
    return b;
}

// Length of the white-space code point that ends at s[end - 1], or 0.
std::size_t space_before(std::string_view s, std::size_t end) noexcept {
    std::size_t start = end;
    for (std::size_t k = 0; k < 4 && start > 0; ++k) {
        --start;
        if ((static_cast<unsigned char>(s[start]) & 0xC0) != 0x80) break;
    }
    std::size_t len = 0;
    char32_t c = decode_at(s, start, len);
    return (start + len == end && is_space(c)) ? len : 0;
}

}  // namespace

std::string_view strip_utf8(std::string_view s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e) {
        std::size_t len = 0;
        if (!is_space(decode_at(s, b, len))) break;
        b += len;
    }
    while (e > b) {
        std::size_t len = space_before(s, e);
        if (len == 0) break;
        e -= len;
    }
    return s.substr(b, e - b);
}

void append_collapsed(std::string &out, std::string_view s) {
    // Whole words are copied at once; ASCII is classified without decoding.
    auto space_at = [&](std::size_t i, std::size_t &len) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            len = 1;
            return is_space(b);
        }
        return is_space(decode_at(s, i, len));
    };
    const std::size_t n = s.size();
    std::size_t i = 0, len = 0;
    bool any = false;
    while (i < n) {
        while (i < n && space_at(i, len)) i += len;
        if (i == n) break;
        std::size_t word = i;
        while (i < n && !space_at(i, len)) i += len;
        if (any) out.push_back(' ');
        out.append(s.data() + word, i - word);
        any = true;
    }
}

void append_int(std::string &out, long long v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

}  // namespace sorvel::text
