// common/py.cpp: str conversions, argument checks, json decoding, logging.
#include "common/py.hpp"

#include "common/memories.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace sorvel::py {

namespace {
// Set once by init() while the module loads; never released (the module
// outlives every call and the interpreter reclaims them at exit).
PyObject *g_json_loads = nullptr;
PyObject *g_get_logger = nullptr;
PyObject *g_warning = nullptr;
PyObject *g_extra = nullptr;
PyObject *g_role = nullptr;
PyObject *g_content = nullptr;
PyObject *g_user = nullptr;
PyObject *g_scan_once = nullptr;  // json.JSONDecoder().scan_once

PyObject *import_attr(const char *module, const char *name) {
    nb::object m = nb::module_::import_(module);
    nb::object attr = m.attr(name);
    return attr.release().ptr();
}
}  // namespace

void init() {
    if (g_json_loads) return;
    // nanobind's exit-time report counts every instance still referenced when
    // its internals go away; hosts and test runners that keep values until
    // the very end (hypothesis does) make that noise. Leaks are measured
    // instead by the resident size under repeated calls (the hardening tests).
    nb::set_leak_warnings(false);
    g_get_logger = import_attr("logging", "getLogger");
    g_warning = intern("warning");
    g_extra = intern("extra");
    g_role = intern("role");
    g_content = intern("content");
    g_user = intern("user");
    nb::object decoder = nb::module_::import_("json").attr("JSONDecoder")();
    g_scan_once = nb::object(decoder.attr("scan_once")).release().ptr();
    g_json_loads = import_attr("json", "loads");
    init_memory_keys();
}

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

nb::list names(std::initializer_list<const char *> items) {
    nb::list out;
    for (const char *item : items) out.append(nb::str(item));
    return out;
}

std::string_view utf8(nb::handle s, std::string &scratch) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p) return {p, static_cast<std::size_t>(n)};
    PyErr_Clear();  // lone surrogates: encode them as they stand
    PyObject *b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (!b) throw nb::python_error();
    scratch.assign(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    return scratch;
}

void append_utf8(std::string &out, nb::handle s) {
    std::string scratch;
    out.append(utf8(s, scratch));
}

void append_text_form(std::string &out, nb::handle obj) {
    if (PyUnicode_Check(obj.ptr())) {
        append_utf8(out, obj);
        return;
    }
    PyObject *s = PyObject_Str(obj.ptr());
    if (!s) throw nb::python_error();
    nb::object keep = nb::steal(s);
    append_utf8(out, keep);
}

nb::str from_utf8(std::string_view bytes) {
    PyObject *s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                       "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::str from_ascii(std::string_view bytes) {
    // A caller's "all ASCII" is a hint: a str built from other bytes would be
    // corrupt, so check (cheaply, a word at a time) before trusting it.
    std::uint64_t any = 0, w[4];
    std::size_t i = 0;
    for (; i + 32 <= bytes.size(); i += 32) {
        std::memcpy(w, bytes.data() + i, 32);
        any |= (w[0] | w[1]) | (w[2] | w[3]);
    }
    for (; i + 8 <= bytes.size(); i += 8) {
        std::memcpy(w, bytes.data() + i, 8);
        any |= w[0];
    }
    for (; i < bytes.size(); ++i) any |= static_cast<unsigned char>(bytes[i]);
    if (any & 0x8080808080808080ULL) return from_utf8(bytes);
    PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
    if (!s) throw nb::python_error();
    std::memcpy(PyUnicode_DATA(s), bytes.data(), bytes.size());
    return nb::steal<nb::str>(s);
}

text::CodePoints code_points(nb::handle s) noexcept {
    PyObject *o = s.ptr();
    return text::CodePoints{PyUnicode_DATA(o), static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)),
                            static_cast<int>(PyUnicode_KIND(o))};
}

nb::str substring(nb::handle s, text::Range r) {
    PyObject *o = PyUnicode_Substring(s.ptr(), static_cast<Py_ssize_t>(r.begin),
                                      static_cast<Py_ssize_t>(r.end));
    if (!o) throw nb::python_error();
    return nb::steal<nb::str>(o);
}

nb::str clean_free_text(nb::handle response) {
    require_str(response, "response");
    return substring(response, text::clean_answer(code_points(response), text::Unwrap::Quotes));
}

void require_str(nb::handle v, const char *arg) {
    if (!PyUnicode_Check(v.ptr()))
        throw nb::type_error((std::string(arg) + " must be str, not " +
                              Py_TYPE(v.ptr())->tp_name).c_str());
}

void require_list(nb::handle v, const char *arg) {
    if (!PyList_Check(v.ptr()))
        throw nb::type_error((std::string(arg) + " must be list, not " +
                              Py_TYPE(v.ptr())->tp_name).c_str());
}

namespace {
// dict[key] as a new reference, or null (with no error set) when missing.
// The reference is taken inside the dict's own lookup where the interpreter
// offers it, so that another thread cannot free the value in between.
PyObject *dict_lookup(PyObject *dict, PyObject *key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *v = nullptr;
    if (PyDict_GetItemRef(dict, key, &v) < 0) throw nb::python_error();
    return v;
#else
    PyObject *v = PyDict_GetItemWithError(dict, key);  // borrowed
    if (!v && PyErr_Occurred()) throw nb::python_error();
    Py_XINCREF(v);
    return v;
#endif
}
}  // namespace

nb::object get_item(nb::handle mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = dict_lookup(mapping.ptr(), key);
        if (v) return nb::steal(v);
        PyErr_SetObject(PyExc_KeyError, key);
        throw nb::python_error();
    }
    PyObject *v = PyObject_GetItem(mapping.ptr(), key);
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

bool get_optional_item(nb::handle mapping, PyObject *key, nb::object &out) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = dict_lookup(mapping.ptr(), key);
        if (!v) return false;
        out = nb::steal(v);
        return true;
    }
    int has = PySequence_Contains(mapping.ptr(), key);
    if (has < 0) throw nb::python_error();
    if (!has) return false;
    out = get_item(mapping, key);
    return true;
}

nb::object json_decode(nb::handle text) {
    PyObject *r = PyObject_CallOneArg(g_json_loads, text.ptr());
    if (r) return nb::steal(r);
    // Every failure to decode counts, whatever json raised for it
    // (JSONDecodeError, RecursionError, the digit limit's ValueError, ...).
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
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
    PyObject *res = PyObject_Vectorcall(g_scan_once, args, 2, nullptr);
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
    // A number that runs on past the slice ("1" before "2") may read
    // differently inside it alone: decode the copy then.
    if (end < 0 || static_cast<std::size_t>(end) > r.end) return json_decode(substring(text, r));
    std::size_t stop = static_cast<std::size_t>(end);
    while (stop < r.end && json_space(cp[stop])) ++stop;
    if (stop != r.end) return nb::object();
    return nb::borrow(PyTuple_GET_ITEM(res, 0));
}

nb::object decode_json_answer(nb::handle response) {
    require_str(response, "response");
    return json_decode(response, text::clean_answer(code_points(response), text::Unwrap::JsonTag));
}

const char *json_type_name(nb::handle v) noexcept {
    PyObject *o = v.ptr();
    if (PyDict_Check(o)) return "dict";
    if (PyList_Check(o)) return "list";
    if (PyUnicode_Check(o)) return "str";
    if (PyBool_Check(o)) return "bool";
    if (PyLong_Check(o)) return "int";
    if (PyFloat_Check(o)) return "float";
    if (o == Py_None) return "NoneType";
    return Py_TYPE(o)->tp_name;
}

nb::object get_logger(const char *name) {
    PyObject *r = PyObject_CallOneArg(g_get_logger, nb::str(name).ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void warn(nb::handle logger, const char *message, const char *field, nb::handle value) {
    nb::dict extra;
    extra[field] = value;
    nb::object method = nb::steal(PyObject_GetAttr(logger.ptr(), g_warning));
    if (!method.is_valid()) throw nb::python_error();
    nb::tuple args = nb::make_tuple(nb::str(message));
    nb::dict kwargs;
    PyDict_SetItem(kwargs.ptr(), g_extra, extra.ptr());
    PyObject *r = PyObject_Call(method.ptr(), args.ptr(), kwargs.ptr());
    if (!r) throw nb::python_error();
    Py_DECREF(r);
}

nb::str preview(nb::handle s, std::size_t n) {
    std::size_t len = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s.ptr()));
    return substring(s, text::Range{0, std::min(n, len)});
}

nb::dict user_message(nb::handle content) {
    nb::dict msg;
    if (PyDict_SetItem(msg.ptr(), g_role, g_user) < 0 ||
        PyDict_SetItem(msg.ptr(), g_content, content.ptr()) < 0)
        throw nb::python_error();
    return msg;
}

nb::tuple prompt_pair(nb::handle system, nb::handle content) {
    nb::list messages;
    messages.append(user_message(content));
    return nb::make_tuple(system, messages);
}

void set_dataclass_fields(nb::handle cls, nb::handle fields) {
    // A frozen dataclass of the same name and fields lends its field objects
    // and parameters; the record keeps its own methods.
    nb::object dataclasses = nb::module_::import_("dataclasses");
    nb::object twin = dataclasses.attr("make_dataclass")(cls.attr("__name__"), fields,
                                                         nb::arg("frozen") = true);
    cls.attr("__dataclass_fields__") = twin.attr("__dataclass_fields__");
    cls.attr("__dataclass_params__") = twin.attr("__dataclass_params__");
}

}  // namespace sorvel::py
