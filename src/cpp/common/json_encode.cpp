// common/json_encode.cpp: the one-line JSON form of map contents, as
// json.dumps(value, ensure_ascii=True, default=str) writes it, with map keys
// json would refuse written as the JSON string of their str().
//
// It follows json's own C encoder case by case: identity tests for None,
// True and False first, then str, int (int.__repr__, under the interpreter's
// digit limit), float (float.__repr__,
// NaN/Infinity/-Infinity), list and tuple, dict (through items()), and str()
// of everything else. Separators are ", " and ": ".
#include <unordered_set>

#include "common/format.hpp"
#include "common/json.hpp"
#include "common/py.hpp"

namespace sorvel::py {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string &out, unsigned v) {
    char buf[6] = {'\\', 'u', kHex[(v >> 12) & 0xF], kHex[(v >> 8) & 0xF],
                   kHex[(v >> 4) & 0xF], kHex[v & 0xF]};
    out.append(buf, 6);
}

void append_json_string(std::string &out, nb::handle s) {
    text::CodePoints cp = code_points(s);
    out.push_back('"');
    for (std::size_t i = 0; i < cp.size; ++i) {
        char32_t c = cp[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(static_cast<char>(c));
            continue;
        }
        switch (c) {
        case '\n': out.append("\\n"); continue;
        case '\r': out.append("\\r"); continue;
        case '\t': out.append("\\t"); continue;
        case '\b': out.append("\\b"); continue;
        case '\f': out.append("\\f"); continue;
        default: break;
        }
        if (c >= 0x10000) {
            char32_t v = c - 0x10000;
            append_u_escape(out, 0xD800 | ((v >> 10) & 0x3FF));
            append_u_escape(out, 0xDC00 | (v & 0x3FF));
        } else {
            append_u_escape(out, static_cast<unsigned>(c));
        }
    }
    out.push_back('"');
}

void append_float(std::string &out, PyObject *o) {
    double x = PyFloat_AS_DOUBLE(o);
    if (x != x) { out.append("NaN"); return; }
    if (x == HUGE_VAL) { out.append("Infinity"); return; }
    if (x == -HUGE_VAL) { out.append("-Infinity"); return; }
    append_float_repr(out, x);
}

class Encoder {
public:
    explicit Encoder(std::string &out) : out_(out) {}

    void value(PyObject *o) {
        if (o == Py_None) { out_.append("null"); return; }
        if (o == Py_True) { out_.append("true"); return; }
        if (o == Py_False) { out_.append("false"); return; }
        if (PyUnicode_Check(o)) { append_json_string(out_, o); return; }
        if (PyLong_Check(o)) { append_decimal(out_, o); return; }
        if (PyFloat_Check(o)) { append_float(out_, o); return; }
        if (PyList_Check(o) || PyTuple_Check(o)) { array(o); return; }
        if (PyDict_Check(o)) { object(o); return; }
        PyObject *s = PyObject_Str(o);  // default=str
        if (!s) throw nb::python_error();
        nb::object keep = nb::steal(s);
        append_json_string(out_, keep);
    }

private:
    struct Level {
        Encoder &enc;
        PyObject *o;
        Level(Encoder &e, PyObject *obj) : enc(e), o(obj) {
            if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
            if (!enc.active_.insert(o).second) {
                Py_LeaveRecursiveCall();
                throw nb::value_error("Circular reference detected");
            }
        }
        ~Level() {
            enc.active_.erase(o);
            Py_LeaveRecursiveCall();
        }
    };

    void array(PyObject *o) {
        if (PySequence_Fast_GET_SIZE(o) == 0) { out_.append("[]"); return; }
        Level level(*this, o);
        // The length and the item are read again at every step, and each
        // item is held while it is written.
        auto items = [&](PyObject *seq) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
                if (i) out_.append(", ");
                nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(seq, i));
                value(item.ptr());
            }
        };
        out_.push_back('[');
        if (PyList_CheckExact(o)) {
            // Read in place, as json does, under the list's own lock: no
            // other thread changes it meanwhile, except while Python code
            // run by an item's encoding suspends the lock.
            with_critical_section(o, [&] { items(o); });
        } else {
            // A tuple cannot change; anything else becomes a private list.
            nb::object seq = nb::steal(PySequence_Fast(o, ""));
            if (!seq.is_valid()) throw nb::python_error();
            items(seq.ptr());
        }
        out_.push_back(']');
    }

    void object(PyObject *o) {
        if (PyDict_GET_SIZE(o) == 0) { out_.append("{}"); return; }
        Level level(*this, o);
        // A new list of new pairs; of a dict, copied under the dict's lock.
        nb::object items = nb::steal(PyMapping_Items(o));
        if (!items.is_valid()) throw nb::python_error();
        out_.push_back('{');
        Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                throw nb::value_error("items must return 2-tuples");
            if (i) out_.append(", ");
            key(PyTuple_GET_ITEM(pair, 0));
            out_.append(": ");
            value(PyTuple_GET_ITEM(pair, 1));
        }
        out_.push_back('}');
    }

    void key(PyObject *k) {
        if (PyUnicode_Check(k)) { append_json_string(out_, k); return; }
        std::string text;
        if (PyFloat_Check(k)) {
            append_float(text, k);
        } else if (k == Py_True) {
            text = "true";
        } else if (k == Py_False) {
            text = "false";
        } else if (k == Py_None) {
            text = "null";
        } else if (PyLong_Check(k)) {
            append_decimal(text, k);
        } else {
            PyObject *s = PyObject_Str(k);
            if (!s) throw nb::python_error();
            nb::object keep = nb::steal(s);
            append_json_string(out_, keep);
            return;
        }
        out_.push_back('"');  // the forms above are plain ASCII
        out_.append(text);
        out_.push_back('"');
    }

    std::string &out_;
    std::unordered_set<PyObject *> active_;
};

}  // namespace

void append_json(std::string &out, nb::handle value) {
    Encoder(out).value(value.ptr());
}

}  // namespace sorvel::py
