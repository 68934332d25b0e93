// common/json.hpp: decoding of model answers and the one-line JSON form of
// map contents.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/text.hpp"

namespace sorvel::py {

namespace nb = nanobind;

/// Imports json and caches its decoder. Idempotent; a module that decodes
/// calls it while it loads.
void init_json();

/// json.loads(text[r.begin:r.end]) without copying the slice: json's own
/// scanner runs on `text` from r.begin, with the checks json.loads makes
/// around it (leading byte order mark, white space, extra data). A null
/// object when decoding fails for any reason (syntax, nesting depth, digit
/// limits, memory); other interrupts propagate. Only white space and a
/// closing fence may follow r, so no value read inside it goes on past it.
nb::object json_decode(nb::handle text, text::Range r);

/// A model's JSON answer decoded: the fence-and-`json`-tag cleaning of
/// text::clean_answer, then json_decode of the cleaned slice. A null object
/// when it is not JSON. TypeError naming `response` unless it is a str.
nb::object decode_json_answer(nb::handle response);

/// decode_json_answer(response); when that is not JSON, logs `message` on
/// `logger` with the field response_preview (the first 200 code points) and
/// gives a null object.
nb::object decode_or_warn(nb::handle response, nb::handle logger, const char *message);

/// Logs `message` on `logger` with the field type, the JSON type name of `v`.
void warn_type(nb::handle logger, const char *message, nb::handle v);

/// The type name of a decoded JSON value: "dict", "list", "str", "int",
/// "float", "bool" or "NoneType".
const char *json_type_name(nb::handle v) noexcept;

/// Appends what json.dumps(value, ensure_ascii=True, default=str) writes,
/// except that a map key json would refuse (a tuple, say) is written as the
/// JSON string of str(key), and an int is written in decimal at any size.
/// Raises ValueError on a circular reference and RecursionError on nesting
/// deeper than the interpreter allows. Needs no import.
void append_json(std::string &out, nb::handle value);

}  // namespace sorvel::py
