// common/py.cpp: str conversions, mapping reads, logging, prompt shapes.
#include "common/py.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/format.hpp"

namespace sorvel::py {

namespace {
// Set while the module loads (logging on the first get_logger call, which
// is made at load too); never released: the module outlives every call.
struct State {
    Keys keys{};
    PyObject *get_logger = nullptr;  // logging.getLogger
    PyObject *warning = nullptr;     // "warning"
    PyObject *extra = nullptr;       // "extra"
};
State g;
}  // namespace

void init() {
    if (g.keys.content) return;
    // nanobind's exit-time report counts every instance still referenced when
    // its internals go away; hosts and test runners that keep values until
    // the very end (hypothesis does) make that noise. Leaks are measured
    // instead by the resident size under repeated calls (the hardening tests).
    nb::set_leak_warnings(false);
    g.keys = Keys{intern("content"), intern("role"), intern("user")};
}

const Keys &keys() noexcept { return g.keys; }

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
    if (PyLong_CheckExact(obj.ptr())) {  // str(int), small ones without a call
        append_decimal(out, obj);
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

nb::list snapshot(nb::handle list) {
    nb::list copy = nb::steal<nb::list>(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX));
    if (!copy.is_valid()) throw nb::python_error();
    return copy;
}

nb::object get_logger(const char *name) {
    if (!g.get_logger) {
        g.get_logger = nb::object(nb::module_::import_("logging").attr("getLogger")).release().ptr();
        g.warning = intern("warning");
        g.extra = intern("extra");
    }
    PyObject *r = PyObject_CallOneArg(g.get_logger, nb::str(name).ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void warn(nb::handle logger, const char *message, const char *field, nb::handle value) {
    nb::dict extra;
    extra[field] = value;
    nb::object method = nb::steal(PyObject_GetAttr(logger.ptr(), g.warning));
    if (!method.is_valid()) throw nb::python_error();
    nb::tuple args = nb::make_tuple(nb::str(message));
    nb::dict kwargs;
    PyDict_SetItem(kwargs.ptr(), g.extra, extra.ptr());
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
    if (PyDict_SetItem(msg.ptr(), g.keys.role, g.keys.user) < 0 ||
        PyDict_SetItem(msg.ptr(), g.keys.content, content.ptr()) < 0)
        throw nb::python_error();
    return msg;
}

nb::tuple prompt_pair(nb::handle system, nb::handle content) {
    nb::list messages;
    messages.append(user_message(content));
    return nb::make_tuple(system, messages);
}

}  // namespace sorvel::py
