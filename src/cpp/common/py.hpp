// common/py.hpp: thin bridges between the modules and the interpreter: str
// in and out without loss, argument checks, json, logging, prompt shapes.
//
// Every module calls init() from its module initialiser before anything else.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/text.hpp"

namespace sorvel::py {

namespace nb = nanobind;

/// Imports and caches what the bridges call (json.loads, logging.getLogger).
/// Idempotent; runs at module load.
void init();

/// A str made immortal for the life of the process (interned key names).
PyObject *intern(const char *text);

/// A list of names, for a module's __all__.
nb::list names(std::initializer_list<const char *> items);

// --- str <-> UTF-8 -----------------------------------------------------------

/// The UTF-8 bytes of the str `s`. The strict encoding is used when it exists
/// (a view into the str's own cache, valid while `s` lives); a str holding
/// lone surrogates is encoded with "surrogatepass" into `scratch`.
std::string_view utf8(nb::handle s, std::string &scratch);

/// Appends the UTF-8 bytes of the str `s`.
void append_utf8(std::string &out, nb::handle s);

/// Appends the plain text form of `obj`: a str (or subclass) as it is,
/// anything else as str(obj).
void append_text_form(std::string &out, nb::handle obj);

/// A str from UTF-8 in which lone surrogates may appear ("surrogatepass").
nb::str from_utf8(std::string_view bytes);

/// A str from bytes known to be ASCII (every byte below 0x80): one copy, no
/// decoding. Use from_utf8 when that is not certain.
nb::str from_ascii(std::string_view bytes);

/// The code points of the str `s`, read in place.
text::CodePoints code_points(nb::handle s) noexcept;

/// s[r.begin:r.end] as an exact str.
nb::str substring(nb::handle s, text::Range r);

/// A free-text answer cleaned of outer white space, one fence and one pair
/// of double quotes (text::clean_answer with Unwrap::Quotes). TypeError
/// naming `response` unless it is a str.
nb::str clean_free_text(nb::handle response);

// --- arguments -----------------------------------------------------------------

/// TypeError "<arg> must be str, not <type>" unless `v` is a str.
void require_str(nb::handle v, const char *arg);

/// TypeError "<arg> must be list, not <type>" unless `v` is a list.
void require_list(nb::handle v, const char *arg);

/// mapping[key]; a missing key raises KeyError(key).
nb::object get_item(nb::handle mapping, PyObject *key);

/// mapping[key] into `out` when the key is present; false when it is not.
bool get_optional_item(nb::handle mapping, PyObject *key, nb::object &out);

// --- json ----------------------------------------------------------------------

/// json.loads(text); a null object when decoding fails for any reason
/// (syntax, nesting depth, digit limits, memory). Other interrupts propagate.
nb::object json_decode(nb::handle text);

/// json_decode(text[r.begin:r.end]) without copying the slice: json's own
/// scanner runs on `text` from r.begin, with the checks json.loads makes
/// around it (leading byte order mark, white space, extra data).
nb::object json_decode(nb::handle text, text::Range r);

/// A model's JSON answer decoded: the fence-and-`json`-tag cleaning of
/// text::clean_answer, then json_decode of the cleaned slice. A null object
/// when it is not JSON. TypeError naming `response` unless it is a str.
nb::object decode_json_answer(nb::handle response);

/// The type name of a decoded JSON value: "dict", "list", "str", "int",
/// "float", "bool" or "NoneType".
const char *json_type_name(nb::handle v) noexcept;

/// Appends what json.dumps(value, ensure_ascii=True, default=str) writes,
/// except that a map key json would refuse (a tuple, say) is written as the
/// JSON string of str(key). Raises ValueError on a circular reference and
/// RecursionError on nesting deeper than the interpreter allows.
void append_json(std::string &out, nb::handle value);

// --- logging -------------------------------------------------------------------

/// logging.getLogger(name).
// Gives a record class the dataclass protocol (`dataclasses.fields`, `asdict`,
// `replace`, `is_dataclass`): `fields` is a list of (name, type) or (name, type,
// dataclasses.field(...)) tuples, as `dataclasses.make_dataclass` takes them.
void set_dataclass_fields(nb::handle cls, nb::handle fields);

nb::object get_logger(const char *name);

/// logger.warning(message, extra={field: value}).
void warn(nb::handle logger, const char *message, const char *field, nb::handle value);

/// The first `n` code points of the str `s` (all of it when shorter).
nb::str preview(nb::handle s, std::size_t n = 200);

// --- prompt shapes ---------------------------------------------------------------

/// {"role": "user", "content": content}
nb::dict user_message(nb::handle content);

/// (system, [{"role": "user", "content": content}])
nb::tuple prompt_pair(nb::handle system, nb::handle content);

}  // namespace sorvel::py
