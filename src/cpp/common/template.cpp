// common/template.cpp: template parsing and filling.
#include "common/template.hpp"

#include <algorithm>

#include "common/py.hpp"

namespace sorvel::py {

namespace {

// The largest code point of s[r], as far as the str's layout tells; a
// narrowed slice of a wide str is scanned, since the wide code point may lie
// in the part that was cut off.
Py_UCS4 max_char(PyObject *s, text::Range r) noexcept {
    Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(s);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (bound <= 0x7F || (r.begin == 0 && r.end == length)) return bound;
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const Py_UCS4 narrower = kind == PyUnicode_1BYTE_KIND   ? 0x7F
                             : kind == PyUnicode_2BYTE_KIND ? 0xFF
                                                            : 0xFFFF;
    Py_UCS4 found = 0;
    for (std::size_t i = r.begin; i < r.end; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
        if (c > narrower) return bound;
        found = std::max(found, c);
    }
    return found;
}

Py_ssize_t length_of(const Slot &v) noexcept {
    return v.str ? static_cast<Py_ssize_t>(v.range.size()) : static_cast<Py_ssize_t>(v.ascii.size());
}

}  // namespace

Slot Slot::whole(nb::handle s) noexcept {
    return Slot{s.ptr(), text::Range{0, static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.ptr()))}, {}};
}

Template::Template(std::string_view text, std::initializer_list<std::string_view> names)
    : pattern_(text, std::span<const std::string_view>(names.begin(), names.size())) {
    const std::string &literals = pattern_.literals();
    for (const text::Pattern::Piece &p : pattern_.pieces()) {
        if (p.slot >= 0) {
            strs_.push_back(nullptr);
            continue;
        }
        nb::str s = from_utf8(std::string_view(literals).substr(p.offset, p.length));
        literal_length_ += PyUnicode_GET_LENGTH(s.ptr());
        max_char_ = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(s.ptr()));
        strs_.push_back(s.release().ptr());
    }
}

nb::str Template::render(std::span<const Slot> values) const {
    Py_ssize_t total = literal_length_;
    Py_UCS4 top = max_char_;
    const std::vector<text::Pattern::Piece> &pieces = pattern_.pieces();
    for (const text::Pattern::Piece &p : pieces) {
        if (p.slot < 0) continue;
        const Slot &v = values[static_cast<std::size_t>(p.slot)];
        total += length_of(v);
        if (v.str) top = std::max(top, max_char(v.str, v.range));
    }
    nb::str out = nb::steal<nb::str>(PyUnicode_New(total, top));
    if (!out.is_valid()) throw nb::python_error();
    PyObject *o = out.ptr();
    int kind = PyUnicode_KIND(o);
    void *data = PyUnicode_DATA(o);
    Py_ssize_t at = 0;
    auto copy = [&](PyObject *from, Py_ssize_t begin, Py_ssize_t count) {
        if (count && PyUnicode_CopyCharacters(o, at, from, begin, count) < 0)
            throw nb::python_error();
        at += count;
    };
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const text::Pattern::Piece &p = pieces[k];
        if (p.slot < 0) {
            copy(strs_[k], 0, PyUnicode_GET_LENGTH(strs_[k]));
            continue;
        }
        const Slot &v = values[static_cast<std::size_t>(p.slot)];
        if (v.str) {
            copy(v.str, static_cast<Py_ssize_t>(v.range.begin), length_of(v));
        } else {
            for (char c : v.ascii) PyUnicode_WRITE(kind, data, at++, static_cast<unsigned char>(c));
        }
    }
    return out;
}

}  // namespace sorvel::py
