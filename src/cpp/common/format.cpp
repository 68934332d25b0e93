// common/format.cpp: number texts.
#include "common/format.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace sorvel::py {

namespace {

// Appends the magnitude of an int beyond 64 bits in decimal. It goes through
// the hexadecimal text, which the interpreter writes without its digit
// limit, and turns it into decimal here.
void append_big_decimal(std::string &out, PyObject *v) {
    nb::object hex = nb::steal(PyNumber_ToBase(v, 16));  // "-0x..." or "0x..."
    if (!hex.is_valid()) throw nb::python_error();
    Py_ssize_t n = 0;
    const char *h = PyUnicode_AsUTF8AndSize(hex.ptr(), &n);
    if (!h) throw nb::python_error();
    std::string_view digits(h, static_cast<std::size_t>(n));
    bool negative = !digits.empty() && digits.front() == '-';
    digits.remove_prefix(negative ? 3 : 2);

    // Little-endian limbs of nine decimal digits; seven hex digits (28 bits)
    // are folded in at a time, so limb * 2^28 + carry stays below 2^64.
    constexpr std::uint64_t kBase = 1000000000;
    std::vector<std::uint32_t> limbs;
    limbs.reserve(digits.size() * 4 / 29 + 2);  // a limb holds ~29.9 bits
    std::size_t i = 0;
    while (i < digits.size()) {
        std::size_t take = std::min<std::size_t>(7, digits.size() - i);
        std::uint64_t chunk = 0;
        for (std::size_t k = 0; k < take; ++k) {
            char c = digits[i + k];
            unsigned d = (c <= '9') ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
            chunk = (chunk << 4) | d;
        }
        i += take;
        std::uint64_t carry = chunk;
        for (std::uint32_t &limb : limbs) {
            std::uint64_t x = (std::uint64_t(limb) << (4 * take)) + carry;
            limb = static_cast<std::uint32_t>(x % kBase);
            carry = x / kBase;
        }
        while (carry) {
            limbs.push_back(static_cast<std::uint32_t>(carry % kBase));
            carry /= kBase;
        }
    }
    if (negative) out.push_back('-');
    if (limbs.empty()) {
        out.push_back('0');
        return;
    }
    append_int(out, limbs.back());
    for (std::size_t k = limbs.size() - 1; k-- > 0;) {
        char buf[9];
        std::uint32_t limb = limbs[k];
        for (int d = 8; d >= 0; --d) {
            buf[d] = static_cast<char>('0' + limb % 10);
            limb /= 10;
        }
        out.append(buf, 9);
    }
}

#if !SORVEL_CXX_FLOAT_TEXT
void append_interpreter_text(std::string &out, double x, char code, int precision, int flags) {
    char *s = PyOS_double_to_string(x, code, precision, flags, nullptr);
    if (!s) throw nb::python_error();
    out.append(s);
    PyMem_Free(s);
}
#endif

}  // namespace

#if !SORVEL_CXX_FLOAT_TEXT
void append_float_repr(std::string &out, double x) {
    append_interpreter_text(out, x, 'r', 0, Py_DTSF_ADD_DOT_0);
}

void append_fixed3(std::string &out, double x) { append_interpreter_text(out, x, 'f', 3, 0); }
#endif

void append_decimal(std::string &out, nb::handle v) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (!overflow) {
        if (small == -1 && PyErr_Occurred()) throw nb::python_error();
        append_int(out, small);
        return;
    }
    append_big_decimal(out, v.ptr());
}

}  // namespace sorvel::py
