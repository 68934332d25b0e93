// common/template.cpp: template parsing and filling.
#include "common/template.hpp"

#include <algorithm>
#include <stdexcept>

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

Template::Template(std::string_view text, std::initializer_list<std::string_view> names) {
    std::vector<std::string_view> slots(names);
    auto add_literal = [&](std::string_view lit) {
        if (lit.empty()) return;
        if (!pieces_.empty() && pieces_.back().slot < 0)
            pieces_.back().length += lit.size();
        else
            pieces_.push_back({literals_.size(), lit.size(), -1, nullptr});
        literals_.append(lit);
    };
    std::size_t i = 0, n = text.size();
    while (i < n) {
        char c = text[i];
        if ((c == '{' || c == '}') && i + 1 < n && text[i + 1] == c) {
            add_literal(text.substr(i, 1));
            i += 2;
        } else if (c == '{') {
            std::size_t close = text.find('}', i + 1);
            if (close == std::string_view::npos)
                throw std::invalid_argument("template: unclosed placeholder");
            std::string_view name = text.substr(i + 1, close - i - 1);
            auto at = std::find(slots.begin(), slots.end(), name);
            if (at == slots.end()) throw std::invalid_argument("template: unknown placeholder");
            pieces_.push_back({0, 0, static_cast<int>(at - slots.begin()), nullptr});
            i = close + 1;
        } else if (c == '}') {
            throw std::invalid_argument("template: single '}'");
        } else {
            std::size_t next = text.find_first_of("{}", i);
            if (next == std::string_view::npos) next = n;
            add_literal(text.substr(i, next - i));
            i = next;
        }
    }
    for (Piece &p : pieces_) {
        if (p.slot >= 0) continue;
        nb::str s = from_utf8(std::string_view(literals_).substr(p.offset, p.length));
        literal_length_ += PyUnicode_GET_LENGTH(s.ptr());
        max_char_ = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(s.ptr()));
        p.str = s.release().ptr();
    }
}

nb::str Template::render(std::span<const Slot> values) const {
    Py_ssize_t total = literal_length_;
    Py_UCS4 top = max_char_;
    for (const Piece &p : pieces_) {
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
    for (const Piece &p : pieces_) {
        if (p.slot < 0) {
            copy(p.str, 0, PyUnicode_GET_LENGTH(p.str));
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
