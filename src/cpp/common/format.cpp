// common/format.cpp: number texts.
#include "common/format.hpp"

#include "common/py.hpp"

namespace sorvel::py {

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
