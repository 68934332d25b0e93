// common/args.cpp: argument checks.
#include "common/args.hpp"

namespace sorvel::py {

namespace {
// Set while the module loads; never released.
struct State {
    // The marker passed for a left-out argument: a plain object of its own.
    PyObject *missing = nullptr;
};
State g;
}  // namespace

nb::handle missing_marker() {
    if (!g.missing) {
        g.missing = PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
        if (!g.missing) throw nb::python_error();
    }
    return g.missing;
}

bool is_missing(nb::handle v) noexcept { return g.missing && v.ptr() == g.missing; }

nb::object kind_name(nb::handle v) {
    // The type's own __name__: tp_name carries the module path for some
    // types on some versions (nanobind's, on 3.12).
    // The key is interned once: the interpreter's attribute cache keeps a
    // reference to every key it is asked for, so a fresh string a call would
    // stay alive there.
    static PyObject *const key = PyUnicode_InternFromString("__name__");
    PyObject *name = key ? PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(v.ptr())), key) : nullptr;
    if (name && PyUnicode_Check(name)) return nb::steal(name);
    Py_XDECREF(name);
    PyErr_Clear();
    return nb::steal(PyUnicode_FromString(Py_TYPE(v.ptr())->tp_name));
}

void wrong_kind(const char *name, const char *expected, nb::handle v) {
    if (is_missing(v)) {
        PyErr_Format(PyExc_TypeError, "missing required argument '%s'", name);
    } else {
        nb::object kind = kind_name(v);
        if (kind.is_valid()) PyErr_Format(PyExc_TypeError, "%s must be %s, not %U", name, expected, kind.ptr());
    }
    throw nb::python_error();
}

void require_str(nb::handle v, const char *name) {
    if (!PyUnicode_Check(v.ptr())) wrong_kind(name, "str", v);
}

void require_optional_str(nb::handle v, const char *name) {
    if (!v.is_none() && !PyUnicode_Check(v.ptr())) wrong_kind(name, "str or None", v);
}

void require_list(nb::handle v, const char *name) {
    if (!PyList_Check(v.ptr())) wrong_kind(name, "list", v);
}

void require_set(nb::handle v, const char *name) {
    if (!PyAnySet_Check(v.ptr())) wrong_kind(name, "set or frozenset", v);
}

bool is_integer(nb::handle v, Bools bools) noexcept {
    PyObject *o = v.ptr();
    if (PyBool_Check(o)) return bools == Bools::Accept;
    return PyLong_Check(o) || (!is_missing(v) && PyIndex_Check(o));
}

nb::object require_integer(nb::handle v, const char *name, Bools bools) {
    if (PyLong_CheckExact(v.ptr())) return nb::borrow(v);
    if (!is_integer(v, bools)) wrong_kind(name, "int", v);
    PyObject *r = PyNumber_Index(v.ptr());  // an exact int, also for subclasses
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

}  // namespace sorvel::py
