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
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

/// Strip over UTF-8 (see the header comment); returns a view into `s`.
std::string_view strip_utf8(std::string_view s) noexcept;

/// Appends `s` split at runs of white space and rejoined with single blanks
/// (no blank at either end).
void append_collapsed(std::string &out, std::string_view s);

/// Appends `v` in decimal.
void append_int(std::string &out, long long v);

/// Appends what repr(float) writes for `x`: the shortest digits that read
/// back to `x`, in exponent form below 1e-4 and from 1e16 up ("1e-05",
/// "1e+16"), else positional with at least one fractional digit ("1.0");
/// "nan", "inf" and "-inf" for the non-finite values.
void append_float_repr(std::string &out, double x);

/// A prompt template parsed once: `{name}` is a slot, `{{` and `}}` stand for
/// one brace. Rendering is one pass that never rescans what it inserts.
class Template {
public:
    /// Parses `text`; every placeholder must be one of `names`, whose
    /// positions are the slot numbers that render() takes values in.
    Template(std::string_view text, std::initializer_list<std::string_view> names);

    /// Appends the filled template; `values[i]` fills slot `names[i]`.
    void render(std::string &out, std::span<const std::string_view> values) const;
    std::string render(std::span<const std::string_view> values) const;

    /// Like render(), except that slot `late` is written in place by
    /// `fill(out)`, so a long value is built straight into `out` instead of
    /// being built apart and copied. `values[late]` is not read.
    template <typename Fill>
    void render_with(std::string &out, std::span<const std::string_view> values, int late,
                     Fill &&fill) const {
        out.reserve(out.size() + literal_size_);
        for (const Piece &p : pieces_) {
            if (p.slot == late)
                fill(out);
            else if (p.slot >= 0)
                out.append(values[static_cast<std::size_t>(p.slot)]);
            else
                out.append(literals_, p.offset, p.length);
        }
    }

    /// The template as stored (doubled braces and placeholders kept).
    const std::string &source() const noexcept { return source_; }

    /// Visits the parsed pieces in order: fn(literal, -1) for literal text
    /// (braces already undoubled), fn({}, slot) for a placeholder.
    template <class Fn>
    void for_each_piece(Fn &&fn) const {
        std::string_view lits(literals_);
        for (const Piece &p : pieces_)
            fn(p.slot < 0 ? lits.substr(p.offset, p.length) : std::string_view(), p.slot);
    }

private:
    struct Piece {
        std::size_t offset, length;  // literal text in literals_
        int slot;                    // -1 for a literal
    };
    std::string source_;
    std::string literals_;
    std::vector<Piece> pieces_;
    std::size_t literal_size_ = 0;
};

}  // namespace sorvel::text
