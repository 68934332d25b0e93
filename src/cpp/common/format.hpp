// common/format.hpp: number texts. C++ integers and floats are written by
// the interpreter-free functions of text.hpp (the same texts as int, repr()
// and format(x, ".3f"), checked against them); Python ints here.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/text.hpp"

namespace sorvel::py {

namespace nb = nanobind;

using text::append_int;  // a C++ integer in decimal

#if SORVEL_CXX_FLOAT_TEXT
using text::append_fixed3;       // format(x, ".3f")
using text::append_float_repr;  // repr(x)
#else
// Written by the interpreter's own conversion (PyOS_double_to_string): the
// same texts by definition. Throw nb::python_error when out of memory.
void append_fixed3(std::string &out, double x);
void append_float_repr(std::string &out, double x);
#endif

/// Appends the int `v` (any int, subclasses and bool counted by value) in
/// decimal, as str() of the plain int writes it: beyond 64 bits through the
/// interpreter, so that its limit on int-to-decimal conversion
/// (sys.set_int_max_str_digits) applies, with its ValueError.
void append_decimal(std::string &out, nb::handle v);

}  // namespace sorvel::py
