// common/text.hpp: text helpers shared by the modules. Pure C++, no interpreter.
//
// Texts arrive in two shapes: as the code units of a Python str (1, 2 or 4
// bytes per code point, read in place through CodePoints) and as UTF-8 in
// which a lone surrogate is written as its own three-byte sequence (what
// "surrogatepass" produces). Both shapes keep every code point, NUL and lone
// surrogates included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Apple's C++ library writes floating-point numbers (std::to_chars) only on
// macOS 13.3 and later. The wheels run on older systems too: there the
// modules leave float texts to the interpreter (common/format.hpp).
// -DSORVEL_CXX_FLOAT_TEXT=0 takes that path anywhere, to test it.
#ifndef SORVEL_CXX_FLOAT_TEXT
#if defined(__APPLE__)
#include <AvailabilityMacros.h>
#endif
#if defined(__APPLE__) && MAC_OS_X_VERSION_MIN_REQUIRED < 130300
#define SORVEL_CXX_FLOAT_TEXT 0
#else
#define SORVEL_CXX_FLOAT_TEXT 1
#endif
#endif

namespace sorvel::text {

/// True for the white-space code points that strip and split remove:
/// U+0009..U+000D, U+001C..U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
/// U+2028, U+2029, U+202F, U+205F and U+3000.
constexpr bool is_space(char32_t c) noexcept {
    if (c <= 0x20) return (c >= 0x09 && c <= 0x0D) || c >= 0x1C;
    if (c < 0x85) return false;
    if (c == 0x85 || c == 0xA0 || c == 0x1680) return true;
    if (c < 0x2000) return false;
    return c <= 0x200A || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

/// A read-only view of code points stored with a fixed width of 1, 2 or 4
/// bytes each (the layouts of a Python str).
struct CodePoints {
    const void *data = nullptr;
    std::size_t size = 0;
    int width = 1;

    char32_t operator[](std::size_t i) const noexcept {
        switch (width) {
        case 1: return static_cast<const std::uint8_t *>(data)[i];
        case 2: return static_cast<const std::uint16_t *>(data)[i];
        default: return static_cast<const std::uint32_t *>(data)[i];
        }
    }
};

/// A half-open range [begin, end) of code-point indices.
struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t size() const noexcept { return end - begin; }
    bool empty() const noexcept { return end == begin; }
};

/// Narrows `r` to exclude white space at both ends.
Range strip(const CodePoints &s, Range r) noexcept;
inline Range strip(const CodePoints &s) noexcept { return strip(s, Range{0, s.size}); }

/// True when the code points of `r` begin (end) with the ASCII text `prefix`.
bool starts_with(const CodePoints &s, Range r, std::string_view prefix) noexcept;
bool ends_with(const CodePoints &s, Range r, std::string_view suffix) noexcept;

/// How a model's answer is unwrapped after the fence is removed.
enum class Unwrap {
    Quotes,   // free text: then one pair of double quotes around the whole
    JsonTag,  // JSON: then a lower-case "json" tag right behind the fence
};

/// Cleans a model's answer: strip; if it both begins and ends with three
/// backquotes, drop them (six code points or fewer leave nothing) and strip
/// again; then apply `mode` once and strip again. Returns the range of the
/// cleaned text inside `s`.
Range clean_answer(const CodePoints &s, Unwrap mode) noexcept;

/// Appends `s` split at runs of white space and rejoined with single blanks
/// (no blank at either end).
void append_collapsed(std::string &out, std::string_view s);

/// Appends `v` in decimal.
void append_int(std::string &out, long long v);

#if SORVEL_CXX_FLOAT_TEXT
/// Appends what repr(float) writes for `x`: the shortest digits that read
/// back to `x`, in exponent form below 1e-4 and from 1e16 up ("1e-05",
/// "1e+16"), else positional with at least one fractional digit ("1.0");
/// "nan", "inf" and "-inf" for the non-finite values.
void append_float_repr(std::string &out, double x);

/// Appends what format(x, ".3f") writes: "0.062" for 0.0625, "-0.000" for
/// -0.0, "nan" (never "-nan"), "inf", "-inf".
void append_fixed3(std::string &out, double x);
#endif

}  // namespace sorvel::text
