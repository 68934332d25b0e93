// common/text.cpp: strip, answer cleaning, splitting.
#include "common/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

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

}  // namespace

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

#if SORVEL_CXX_FLOAT_TEXT
void append_float_repr(std::string &out, double x) {
    if (x != x) { out.append("nan"); return; }
    if (x == HUGE_VAL) { out.append("inf"); return; }
    if (x == -HUGE_VAL) { out.append("-inf"); return; }
    // Shortest round-trip digits, as "d.ddde+XX" or "de-XX".
    char buf[40];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    std::size_t e = sci.find('e');
    char digits[24];
    std::size_t n = 0;
    for (char c : sci.substr(0, e))
        if (c != '.') digits[n++] = c;
    int exp = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
    int point = exp + 1;  // digits read as 0.d1d2... times 10 to this power
    std::string_view d(digits, n);
    if (point <= -4 || point > 16) {
        out.push_back(d[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(d.substr(1));
        }
        out.append(exp < 0 ? "e-" : "e+");
        int mag = exp < 0 ? -exp : exp;
        if (mag < 10) out.push_back('0');
        append_int(out, mag);
    } else if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(d);
    } else if (static_cast<std::size_t>(point) < n) {
        out.append(d.substr(0, static_cast<std::size_t>(point)));
        out.push_back('.');
        out.append(d.substr(static_cast<std::size_t>(point)));
    } else {
        out.append(d);
        out.append(static_cast<std::size_t>(point) - n, '0');
        out.append(".0");
    }
}

void append_fixed3(std::string &out, double x) {
    // Done on the bits in integer arithmetic: four times quicker than
    // to_chars with a precision, which gives the same text.
    if (std::isnan(x)) {
        out.append("nan");
        return;
    }
    if (std::isinf(x)) {
        out.append(x < 0 ? "-inf" : "inf");
        return;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (biased >= 1075) {  // an integer of 2**53 or more
        char buf[320];     // DBL_MAX has 309 integer digits
        auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 3);
        out.append(buf, res.ptr);
        return;
    }
    // |x| = m / 2**s exactly, 1 <= s <= 1074; then round m * 1000 / 2**s to
    // an integer q, exact ties to even. m * 1000 < 2**63, so nothing overflows.
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int s = 1074;  // subnormal
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        s = 1075 - biased;
    }
    const std::uint64_t scaled = m * 1000;
    std::uint64_t q = 0;
    if (s < 64) {
        q = scaled >> s;
        const std::uint64_t rest = scaled & ((std::uint64_t{1} << s) - 1);
        const std::uint64_t half = std::uint64_t{1} << (s - 1);
        if (rest > half || (rest == half && (q & 1))) ++q;
    }  // else scaled / 2**s < 1/2: q stays 0
    if (bits >> 63) out.push_back('-');  // "-0.000" included, as format() writes it
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, q / 1000);
    out.append(buf, res.ptr);
    const unsigned frac = static_cast<unsigned>(q % 1000);
    const char digits[4] = {'.', static_cast<char>('0' + frac / 100),
                            static_cast<char>('0' + frac / 10 % 10), static_cast<char>('0' + frac % 10)};
    out.append(digits, 4);
}

#endif  // SORVEL_CXX_FLOAT_TEXT

}  // namespace sorvel::text
