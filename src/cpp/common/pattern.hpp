// common/pattern.hpp: a prompt template parsed into literal pieces and
// slots. Pure C++, no interpreter; py::Template (template.hpp) adds the str
// objects that fill a template straight into a str.
//
// `{name}` is a slot, `{{` and `}}` stand for one brace. Filling is one pass
// that never rescans what it inserts.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvel::text {

class Pattern {
public:
    struct Piece {
        std::size_t offset, length;  // literal text in literals()
        int slot;                    // -1 for a literal
    };

    /// Parses `text`; every placeholder must be one of `names`, whose
    /// positions are the slot numbers that values are given in. Throws
    /// std::invalid_argument on an unclosed or unknown placeholder or a
    /// single '}'.
    Pattern(std::string_view text, std::span<const std::string_view> names);

    /// Appends the filled template: `values[i]` fills slot i, except slot
    /// `late`, which `fill(out)` writes in place (with -1, no slot is).
    template <class Fill>
    void render_with(std::string &out, std::span<const std::string_view> values, int late,
                     Fill &&fill) const {
        out.reserve(out.size() + literals_.size());
        for (const Piece &p : pieces_) {
            if (p.slot < 0)
                out.append(literals_, p.offset, p.length);
            else if (p.slot == late)
                fill(out);
            else
                out.append(values[static_cast<std::size_t>(p.slot)]);
        }
    }

    const std::string &literals() const noexcept { return literals_; }
    const std::vector<Piece> &pieces() const noexcept { return pieces_; }

private:
    std::string literals_;
    std::vector<Piece> pieces_;
};

}  // namespace sorvel::text
