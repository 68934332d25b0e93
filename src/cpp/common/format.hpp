// common/format.hpp: number texts, all built on the interpreter's own
// conversions where those give the exact text.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/text.hpp"

namespace sorvel::py {

namespace nb = nanobind;

using text::append_int;  // a C++ integer in decimal

/// Appends the int `v` (any int, subclasses and bool counted by value) in
/// decimal, whatever its size: the interpreter's limit on int-to-decimal
/// conversion does not apply.
void append_decimal(std::string &out, nb::handle v);

/// Appends repr(x): the shortest digits that read back to `x`, "1.0",
/// "1e-05", "1e+16"; "nan", "inf", "-inf".
void append_float_repr(std::string &out, double x);

/// Appends format(x, ".3f"): "0.500", "-0.000", "nan", "inf", "-inf".
void append_fixed3(std::string &out, double x);

}  // namespace sorvel::py
