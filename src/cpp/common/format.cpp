// common/format.cpp: number texts.
#include "common/format.hpp"

#include "common/py.hpp"

namespace sorvel::py {

#if !SORVEL_CXX_FLOAT_TEXT
namespace {

void append_interpreter_text(std::string &out, double x, char code, int precision, int flags) {
    char *s = PyOS_double_to_string(x, code, precision, flags, nullptr);
    if (!s) throw nb::python_error();
    out.append(s);
    PyMem_Free(s);
}

}  // namespace

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
    // Beyond 64 bits the interpreter writes the digits, under the digit
    // limit in force and with its own error past it. An int subclass is
    // written by value, as int.__repr__ would: take the plain int first.
    nb::object exact = nb::steal(PyNumber_Index(v.ptr()));
    if (!exact.is_valid()) throw nb::python_error();
    nb::object digits = nb::steal(PyObject_Str(exact.ptr()));
    if (!digits.is_valid()) throw nb::python_error();
    append_utf8(out, digits);
}

}  // namespace sorvel::py
