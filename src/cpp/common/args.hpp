// common/args.hpp: the one way every module checks its arguments.
//
// A wrong argument fails with a TypeError of one line that names it and the
// kind it must be: "memories must be list, not NoneType". A missing argument
// fails the same way: "missing required argument 'memories'". To get there,
// bind each argument through arg() below (it lets None through and marks a
// left-out argument) and check it with one of the require_ functions.
//
// Integers. An integer argument is an int or any object with __index__
// (NumPy integers, say), and it is written in decimal whatever its size. A
// bool is the int it is (True counts as 1) where the number is only written
// into a text; where it is kept as a typed integer next to typed flags (the
// tuning record, a lane's limit), bool is refused, so that a flag is never
// taken for a count.
#pragma once

#include <nanobind/nanobind.h>

namespace sorvel::py {

namespace nb = nanobind;

/// The marker that arg() passes for a left-out argument (made on first use,
/// while the module loads).
nb::handle missing_marker();

/// nb::arg(name) that admits None and defaults to the missing marker, so
/// that a left-out argument reaches the checks below instead of nanobind's
/// generic overload message.
inline auto arg(const char *name) { return nb::arg(name).none() = missing_marker(); }

/// True for the missing marker.
bool is_missing(nb::handle v) noexcept;

/// The short name of v's type (its __name__), for messages; a null object
/// with the error set when memory runs out. Never throws.
nb::object kind_name(nb::handle v);

/// TypeError "<name> must be <expected>, not <type of v>", or "missing
/// required argument '<name>'" when `v` is the missing marker.
[[noreturn]] void wrong_kind(const char *name, const char *expected, nb::handle v);

/// TypeError unless `v` is a str (subclasses included).
void require_str(nb::handle v, const char *name);

/// TypeError unless `v` is None or a str.
void require_optional_str(nb::handle v, const char *name);

/// TypeError unless `v` is a list.
void require_list(nb::handle v, const char *name);

/// TypeError unless `v` is a set or a frozenset.
void require_set(nb::handle v, const char *name);

enum class Bools { Accept, Refuse };

/// True when `v` is an integer under the rule above.
bool is_integer(nb::handle v, Bools bools) noexcept;

/// `v` as an exact int; TypeError "<name> must be int, not <type>" when it is
/// not an integer under the rule above.
nb::object require_integer(nb::handle v, const char *name, Bools bools);

}  // namespace sorvel::py
