// common/json.cpp: decoding of model answers through json's own decoder.
#include "common/json.hpp"

#include <string_view>

#include "common/py.hpp"

namespace sorvel::py {

namespace {
// Set once by init_json() while the module loads; never released.
struct State {
    PyObject *scan_once = nullptr;  // json.JSONDecoder().scan_once
};
State g;
}  // namespace

void init_json() {
    if (g.scan_once) return;
    nb::module_ json = nb::module_::import_("json");
    g.scan_once = nb::object(json.attr("JSONDecoder")().attr("scan_once")).release().ptr();
}

nb::object json_decode(nb::handle text, text::Range r) {
    // json.loads(t) is: no leading U+FEFF; skip JSON white space; scan one
    // value; skip JSON white space; nothing may follow.
    auto json_space = [](char32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    text::CodePoints cp = code_points(text);
    std::size_t begin = r.begin;
    if (begin < r.end && cp[begin] == 0xFEFF) return nb::object();
    while (begin < r.end && json_space(cp[begin])) ++begin;
    if (begin == r.end) return nb::object();
    // No JSON value starts with anything else: prose fails here, without
    // the scanner building its exception.
    char32_t first = cp[begin];
    if (first >= 0x80 ||
        std::string_view("{[\"-0123456789ntfNI").find(static_cast<char>(first)) ==
            std::string_view::npos)
        return nb::object();
    nb::object at = nb::steal(PyLong_FromSize_t(begin));
    if (!at.is_valid()) throw nb::python_error();
    PyObject *args[] = {text.ptr(), at.ptr()};
    PyObject *res = PyObject_Vectorcall(g.scan_once, args, 2, nullptr);
    if (!res) {
        // StopIteration ("Expecting value"), JSONDecodeError, RecursionError,
        // the digit limit's ValueError, MemoryError: all mean "not JSON".
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    nb::object pair = nb::steal(res);
    Py_ssize_t end = -1;
    if (PyTuple_Check(res) && PyTuple_GET_SIZE(res) == 2) {
        end = PyLong_AsSsize_t(PyTuple_GET_ITEM(res, 1));
        if (end == -1 && PyErr_Occurred()) throw nb::python_error();
    }
    // Only white space and a closing fence follow r: no value runs past it.
    if (end < 0 || static_cast<std::size_t>(end) > r.end) return nb::object();
    std::size_t stop = static_cast<std::size_t>(end);
    while (stop < r.end && json_space(cp[stop])) ++stop;
    if (stop != r.end) return nb::object();
    return nb::borrow(PyTuple_GET_ITEM(res, 0));
}

nb::object decode_json_answer(nb::handle response) {
    require_str(response, "response");
    return json_decode(response, text::clean_answer(code_points(response), text::Unwrap::JsonTag));
}

nb::object decode_or_warn(nb::handle response, nb::handle logger, const char *message) {
    nb::object data = decode_json_answer(response);
    if (!data.is_valid()) warn(logger, message, "response_preview", preview(response));
    return data;
}

void warn_type(nb::handle logger, const char *message, nb::handle v) {
    warn(logger, message, "type", nb::str(json_type_name(v)));
}

const char *json_type_name(nb::handle v) noexcept {
    PyObject *o = v.ptr();
    if (PyDict_Check(o)) return "dict";
    if (PyList_Check(o)) return "list";
    if (PyUnicode_Check(o)) return "str";
    if (PyBool_Check(o)) return "bool";
    if (PyLong_Check(o)) return "int";
    if (PyFloat_Check(o)) return "float";
    return Py_TYPE(o)->tp_name;  // "NoneType"
}

}  // namespace sorvel::py
