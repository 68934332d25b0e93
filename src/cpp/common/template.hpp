// common/template.hpp: prompt templates, parsed once at load.
//
// The parsing is text::Pattern's (pattern.hpp). A template fills either
// straight into a str of the final size (render) or into UTF-8 text with one
// slot written in place by the caller (render_with), for a long value built as
// it goes.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/pattern.hpp"
#include "common/text.hpp"

namespace sorvel::py {

namespace nb = nanobind;

/// One value of a slot: the code points [range) of a str, or ASCII text.
struct Slot {
    PyObject *str = nullptr;  // borrowed; null for `ascii`
    text::Range range;
    std::string_view ascii;

    static Slot whole(nb::handle s) noexcept;                 // all of the str `s`
    static Slot part(nb::handle s, text::Range r) noexcept {  // s[r]
        return Slot{s.ptr(), r, {}};
    }
    static Slot text(std::string_view ascii) noexcept { return Slot{nullptr, {}, ascii}; }
};

class Template {
public:
    /// Parses `text`; every placeholder must be one of `names`, whose
    /// positions are the slot numbers that values are given in. Needs the
    /// interpreter (the literal pieces are kept as str objects).
    Template(std::string_view text, std::initializer_list<std::string_view> names);

    /// The filled template as a str.
    nb::str render(std::span<const Slot> values) const;

    /// Appends the filled template as UTF-8: `values[i]` fills slot i, except
    /// slot `late`, which `fill(out)` writes in place.
    template <class Fill>
    void render_with(std::string &out, std::span<const std::string_view> values, int late,
                     Fill &&fill) const {
        pattern_.render_with(out, values, late, std::forward<Fill>(fill));
    }

private:
    text::Pattern pattern_;
    std::vector<PyObject *> strs_;   // per piece: the literal as a str (kept for the life
                                     // of the process), null for a slot
    Py_ssize_t literal_length_ = 0;  // in code points
    Py_UCS4 max_char_ = 0x7F;
};

}  // namespace sorvel::py
