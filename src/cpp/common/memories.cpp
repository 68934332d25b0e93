// common/memories.cpp: memory records rendered for the dream-cycle prompts.
#include "common/memories.hpp"

#include <array>

namespace sorvel::py {

namespace {

// Set once by init_memory_keys() while a module loads.
PyObject *g_content = nullptr;
PyObject *g_event_type = nullptr;
PyObject *g_created_at = nullptr;
PyObject *g_salience = nullptr;

// True when `v` is a str of ASCII code points only (its text form is then
// the same bytes in UTF-8 and ASCII).
bool ascii_text(PyObject *v) noexcept {
    return PyUnicode_Check(v) && PyUnicode_IS_ASCII(v);
}

// str(v) of these is ASCII whatever their value.
bool ascii_form(PyObject *v) noexcept {
    return PyFloat_CheckExact(v) || PyLong_CheckExact(v) || v == Py_None || PyBool_Check(v) ||
           ascii_text(v);
}

// Appends one record's line; clears `ascii` when a value written may hold
// other code points.
void append_record(std::string &out, std::size_t number, nb::handle record, bool with_salience,
                   bool &ascii) {
    nb::object content = get_item(record, g_content);
    nb::object event_type = get_item(record, g_event_type);
    nb::object created_at = get_item(record, g_created_at);
    out.push_back('[');
    text::append_int(out, static_cast<long long>(number));
    out.append("] (");
    append_text_form(out, event_type);
    if (with_salience) {
        nb::object salience;
        out.append(", salience=");
        if (!get_optional_item(record, g_salience, salience)) {
            out.append("N/A");
        } else if (PyFloat_CheckExact(salience.ptr())) {
            text::append_float_repr(out, PyFloat_AS_DOUBLE(salience.ptr()));  // as str(float)
        } else {
            append_text_form(out, salience);  // str(): 1, None, True, ...
            ascii = ascii && ascii_form(salience.ptr());
        }
    }
    out.append(", ");
    append_text_form(out, created_at);
    out.append("): ");
    bool map = PyDict_Check(content.ptr());
    ascii = ascii && ascii_text(event_type.ptr()) && ascii_text(created_at.ptr()) &&
            (map || ascii_text(content.ptr()));  // JSON escapes the rest
    if (map)
        append_json(out, content);
    else
        append_text_form(out, content);
}

}  // namespace

void init_memory_keys() {
    g_content = intern("content");
    g_event_type = intern("event_type");
    g_created_at = intern("created_at");
    g_salience = intern("salience");
}

nb::str render_memories(nb::handle memories, const text::Template &user, bool with_salience) {
    require_list(memories, "memories");
    // A private snapshot: Python code run while rendering (a __str__, a
    // mapping's __getitem__) cannot change the list under us.
    nb::list records = nb::steal<nb::list>(PyList_GetSlice(memories.ptr(), 0, PY_SSIZE_T_MAX));
    if (!records.is_valid()) throw nb::python_error();
    std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(records.ptr()));

    std::string count;
    text::append_int(count, static_cast<long long>(n));
    const std::array<std::string_view, 2> values{count, {}};
    std::string message;
    message.reserve(n * 400);
    bool ascii = true;
    user.render_with(message, values, 1, [&](std::string &out) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i) out.push_back('\n');
            append_record(out, i + 1, PyList_GET_ITEM(records.ptr(), static_cast<Py_ssize_t>(i)),
                          with_salience, ascii);
        }
    });
    return ascii ? from_ascii(message) : from_utf8(message);
}

}  // namespace sorvel::py
