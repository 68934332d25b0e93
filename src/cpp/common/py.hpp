// common/py.hpp: thin bridges between the modules and the interpreter: str
// in and out without loss, mapping reads, logging, prompt shapes.
//
// Every module calls init() from its module initialiser before anything else.
// What a module needs beyond that comes from its own header: argument checks
// (args.hpp, included here), number texts (format.hpp), json (json.hpp),
// templates (template.hpp), frozen records (record.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <string>
#include <string_view>

#include "common/args.hpp"
#include "common/text.hpp"

namespace sorvel::py {

namespace nb = nanobind;

/// Sets up what every module uses (interned key names). Idempotent; runs at
/// module load. Imports nothing.
void init();

/// A str made immortal for the life of the process (interned key names, and
/// fixed texts every call hands out: threads then share no reference count).
PyObject *intern(const char *text);

/// A list of names, for a module's __all__.
nb::list names(std::initializer_list<const char *> items);

/// Key names that more than one module reads or writes, interned by init().
struct Keys {
    PyObject *content, *role, *user;
};
const Keys &keys() noexcept;

// --- str <-> UTF-8 -----------------------------------------------------------

/// The UTF-8 bytes of the str `s`. The strict encoding is used when it exists
/// (a view into the str's own cache, valid while `s` lives); a str holding
/// lone surrogates is encoded with "surrogatepass" into `scratch`.
std::string_view utf8(nb::handle s, std::string &scratch);

/// Appends the UTF-8 bytes of the str `s`.
void append_utf8(std::string &out, nb::handle s);

/// Appends the plain text form of `obj`: a str (or subclass) as it is, an
/// exact int in decimal at any size, anything else as str(obj).
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

// --- mappings --------------------------------------------------------------------

/// mapping[key]; a missing key raises KeyError(key).
nb::object get_item(nb::handle mapping, PyObject *key);

/// mapping[key] into `out` when the key is present; false when it is not.
bool get_optional_item(nb::handle mapping, PyObject *key, nb::object &out);

/// A private copy of the list `list` (Python code run later cannot change it).
nb::list snapshot(nb::handle list);

/// Runs f() inside the critical section of `op` on a free-threaded build:
/// the object's own lock, which the interpreter's methods of lists, dicts
/// and sets take to change them. Python code that f runs may suspend it and
/// let other threads in, so f must read `op` again after any. On a GIL build
/// f() just runs. An exception from f leaves the section on its way out.
template <class F>
void with_critical_section(PyObject *op, F &&f) {
#ifdef Py_GIL_DISABLED
    std::exception_ptr error;
    Py_BEGIN_CRITICAL_SECTION(op);
    try {
        f();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_CRITICAL_SECTION();
    if (error) std::rethrow_exception(error);
#else
    (void)op;
    f();
#endif
}

// --- logging -------------------------------------------------------------------

/// logging.getLogger(name); logging is imported on the first call.
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
