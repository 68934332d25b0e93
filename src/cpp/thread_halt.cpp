// thread_halt: when a conversation thread between agents stops. Two signals:
// the stagnation similarity of two consecutive message embeddings, and the
// verdict of a convergence judge over the rendered transcript.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "common/py.hpp"
#include "common/rules.hpp"
#include "common/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace sp = sorvel::py;
namespace st = sorvel::text;
namespace rules = sorvel::rules;

namespace {

constexpr double kStagnationThreshold = 0.92;

constexpr const char *kJudgeSystemPrompt =
    "You are a thread-completion classifier for a multi-agent conversation. Your only job is to "
    "decide whether the thread has reached a natural stopping point \u2014 i.e. the participants "
    "have either resolved the question, agreed to defer it, handed off to another agent, or run "
    "out of substantive new information to add. You are NOT a quality reviewer: do not judge "
    "whether the answer is correct, only whether the thread is *done*. A thread can be DONE even "
    "when the participants disagree, as long as the disagreement itself is the conclusion. A "
    "thread is OPEN when the most recent turn proposes a question, action, or claim that would "
    "normally invite a substantive response. Respond with exactly one line in the form "
    "``CONVERGED|<one-sentence summary>`` or ``OPEN|<one-sentence reason>``. No preamble, no "
    "trailing text.";

constexpr std::string_view kTranscriptHeader = "Thread transcript (chronological):";
// Begins with a line break: the footer sits behind an empty line.
constexpr std::string_view kTranscriptFooter =
    "\nIs this thread CONVERGED or OPEN? Respond with exactly one line in the form "
    "CONVERGED|<summary> or OPEN|<reason>.";

// Created while the module loads and never changed or released afterwards.
struct State {
    PyObject *open_default;  // "judge marked thread open"
    PyObject *upper;         // "upper"
};
const State *g = nullptr;

// --- cosine similarity ---------------------------------------------------------

// Vectors above this length are summed with the interpreter released when
// both come as buffers (below it the hand-over costs more than it frees).
constexpr Py_ssize_t kReleaseAbove = 2048;

struct Sums {
    double dot = 0.0, norm_a = 0.0, norm_b = 0.0;
};

// Status of reading one element in the general conversion: a value, or a
// Python error.
enum Read : int { kValue = 1, kError = -1 };

// Items of a list or tuple, read in place. Floats and ints only: converting
// anything else may run Python code. Neither raises nor allocates: an int
// beyond 64 bits is left to the general conversion (which rounds it the same
// way, or raises when no double holds it).
struct ItemReader {
    PyObject *const *items;
    Py_ssize_t offset;  // index of items[0]

    static bool plain_number(PyObject *o, double &out) noexcept {
        if (PyFloat_Check(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        if (PyLong_Check(o)) {  // an int subclass too: its value, no __index__ call
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow) return false;
            out = static_cast<double>(v);  // rounded to nearest, as int.__float__ does
            return true;
        }
        return false;
    }

    // False when item i needs the general conversion.
    bool read(Py_ssize_t i, double &out) const noexcept {
        PyObject *o = items[i - offset];
        if (PyFloat_CheckExact(o)) [[likely]] {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        return plain_number(o, out);
    }
};

// Items of a private snapshot: any real number (its __float__ or __index__);
// anything else raises TypeError.
struct ObjectReader {
    PyObject *const *items;
    Py_ssize_t offset;

    Read get(Py_ssize_t i, double &out) const noexcept {
        PyObject *o = items[i - offset];
        if (PyFloat_Check(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return kValue;
        }
        out = PyLong_Check(o) ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
        return (out == -1.0 && PyErr_Occurred()) ? kError : kValue;
    }
};

// Elements of a one-dimensional buffer with any byte stride (possibly
// negative or unaligned).
template <class T>
struct BufferReader {
    const char *base;
    Py_ssize_t stride;

    Read get(Py_ssize_t i, double &out) const noexcept {
        T v;
        std::memcpy(&v, base + i * stride, sizeof v);
        out = static_cast<double>(v);
        return kValue;
    }

    bool read(Py_ssize_t i, double &out) const noexcept {
        get(i, out);
        return true;
    }
};

// Both phases are plain sequential double arithmetic: each product rounded,
// then added, in index order (the build forbids contraction into fused
// multiply-adds).
//
// The fast phase. The sums live in locals (not behind a reference that a
// write of an element could alias), so the loads run ahead of the three
// latency-bound chains. Returns n, or the first index whose element needs
// the general conversion.
template <class RA, class RB>
Py_ssize_t accumulate_fast(const RA &ra, const RB &rb, Py_ssize_t n, Sums &s) noexcept {
    double dot = s.dot, norm_a = s.norm_a, norm_b = s.norm_b;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        double x, y;
        if (!ra.read(i, x) || !rb.read(i, y)) break;
        dot += x * y;
        norm_a += x * x;
        norm_b += y * y;
    }
    s = Sums{dot, norm_a, norm_b};
    return i;
}

// The general phase, one element at a time from index i: conversions may
// run Python code and raise. Returns false with the error set.
template <class RA, class RB>
bool accumulate_each(const RA &ra, const RB &rb, Py_ssize_t i, Py_ssize_t n, Sums &s) noexcept {
    for (; i < n; ++i) {
        double x, y;
        if (ra.get(i, x) != kValue || rb.get(i, y) != kValue) return false;
        s.dot += x * y;
        s.norm_a += x * x;
        s.norm_b += y * y;
    }
    return true;
}

// One argument of cosine_similarity: a list or tuple of numbers, or a
// one-dimensional buffer of float64 or float32 values.
class Vector {
public:
    Vector(nb::handle obj, const char *arg) : obj_(obj.ptr()) {
        PyObject *o = obj_;
        if (PyList_Check(o) || PyTuple_Check(o)) {
            seq_ = o;
            return;
        }
        if (!PyObject_CheckBuffer(o))
            sp::wrong_kind(arg, "a list, a tuple or a buffer of float64 or float32 values", obj);
        if (PyObject_GetBuffer(o, &buffer_.view, PyBUF_RECORDS_RO) < 0) throw nb::python_error();
        buffer_.held = true;
        has_view_ = true;
        element_ = element_kind(view_.format, view_.itemsize);
        if (element_ == 0)
            throw nb::type_error((std::string(arg) +
                                  " must hold float64 or float32 values, not format '" +
                                  (view_.format ? view_.format : "B") + "'").c_str());
        if (view_.ndim != 1)
            throw nb::type_error((std::string(arg) + " must be one-dimensional, not " +
                                  std::to_string(view_.ndim) + "-dimensional").c_str());
    }
    Vector(const Vector &) = delete;
    Vector &operator=(const Vector &) = delete;

    bool is_buffer() const noexcept { return has_view_; }

    Py_ssize_t size() const noexcept {
        if (has_view_) return view_.shape[0];
        return PyList_Check(seq_) ? PyList_GET_SIZE(seq_) : PyTuple_GET_SIZE(seq_);
    }

    PyObject *const *items() const noexcept {
        return PySequence_Fast_ITEMS(seq_);
    }

    // The list read from, or null for a tuple or a buffer.
    PyObject *list() const noexcept { return seq_ && PyList_Check(seq_) ? seq_ : nullptr; }

    // A list is replaced by a private tuple of its items from some index on,
    // so that conversions running Python code cannot change what is read.
    // Two steps: reserve_snapshot() makes the tuple, which may start a
    // collection and so run finalizers (that may change the list);
    // take_snapshot() then fills it, running no Python code. False, with
    // the error set, when memory runs out.
    bool reserve_snapshot(Py_ssize_t size) noexcept {
        if (!list()) return true;
        PyObject *t = PyTuple_New(size);
        if (!t) return false;
        hold_ = nb::steal(t);
        return true;
    }
    void take_snapshot(Py_ssize_t from) noexcept {
        PyObject *l = list();
        if (!l) return;
        PyObject *t = hold_.ptr();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i)
            PyTuple_SET_ITEM(t, i, Py_NewRef(PyList_GET_ITEM(l, from + i)));
        seq_ = t;
        offset_ = from;
    }
    Py_ssize_t offset() const noexcept { return offset_; }

    // Calls f with the reader of the fast phase.
    template <class F>
    void visit(F &&f) const {
        if (has_view_)
            visit_buffer(f);
        else
            f(ItemReader{items(), offset_});
    }

    // The reader of the general phase for a list or tuple.
    ObjectReader objects() const noexcept { return ObjectReader{items(), offset_}; }

    // Calls f with the reader of a buffer.
    template <class F>
    void visit_buffer(F &&f) const {
        const char *base = static_cast<const char *>(view_.buf);
        Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
        if (element_ == 'd')
            f(BufferReader<double>{base, stride});
        else
            f(BufferReader<float>{base, stride});
    }

private:
    // 'd' or 'f' for a native float64 or float32 format, 0 for anything else.
    static char element_kind(const char *format, Py_ssize_t itemsize) noexcept {
        if (!format) return 0;
        const char *f = format;
        if (*f == '@' || *f == '=') {
            ++f;
        } else if (*f == '<' || *f == '>' || *f == '!') {
            bool little = (*f == '<');
#if PY_BIG_ENDIAN
            if (little) return 0;
#else
            if (!little) return 0;
#endif
            ++f;
        }
        if (f[0] == 'd' && f[1] == '\0' && itemsize == 8) return 'd';
        if (f[0] == 'f' && f[1] == '\0' && itemsize == 4) return 'f';
        return 0;
    }

    PyObject *obj_;
    PyObject *seq_ = nullptr;  // list or tuple read from
    nb::object hold_;          // owns seq_ when it is a snapshot
    Py_ssize_t offset_ = 0;
    // Released when the vector goes, also when its constructor throws.
    struct Held {
        Py_buffer view{};
        bool held = false;
        Held() = default;
        Held(const Held &) = delete;
        Held &operator=(const Held &) = delete;
        ~Held() {
            if (held) PyBuffer_Release(&view);
        }
    } buffer_;
    Py_buffer &view_ = buffer_.view;
    bool has_view_ = false;
    char element_ = 0;
};

// Returns f() run with the lists among `a` and `b` (either may be null)
// locked on a free-threaded build, so that no other thread changes them
// meanwhile; as it is on a GIL build. f must run no Python code and must
// not block: either would let the interpreter suspend the locks.
template <class F>
bool with_lists_locked(PyObject *a, PyObject *b, F &&f) noexcept {
    bool r;
#ifdef Py_GIL_DISABLED
    if (a && b) {
        Py_BEGIN_CRITICAL_SECTION2(a, b);
        r = f();
        Py_END_CRITICAL_SECTION2();
        return r;
    }
    if (a || b) {
        Py_BEGIN_CRITICAL_SECTION(a ? a : b);
        r = f();
        Py_END_CRITICAL_SECTION();
        return r;
    }
#else
    (void)a, (void)b;
#endif
    r = f();
    return r;
}

double cosine_similarity(nb::handle a_obj, nb::handle b_obj) {
    Vector a(a_obj, "a"), b(b_obj, "b");
    Py_ssize_t n = 0, m = 0, at = 0;
    Sums s;
    bool copied = true;
    // The lengths, the fast phase and the copies of what it left all see one
    // state of each list: lists are read in place, and nothing here runs
    // Python code, except the finalizers a collection may run while the
    // copies are made. Should one change a list's length, the pass starts
    // over (false).
    auto pass = [&]() noexcept {
        n = a.size();
        m = b.size();
        s = Sums{};
        at = 0;
        if (n != m) return true;
        a.visit([&](const auto &ra) {
            b.visit([&](const auto &rb) { at = accumulate_fast(ra, rb, n, s); });
        });
        if (at == n) return true;
        if (!a.reserve_snapshot(n - at) || !b.reserve_snapshot(n - at)) {
            copied = false;
            return true;
        }
        if (a.size() != n || b.size() != n) return false;
        a.take_snapshot(at);
        b.take_snapshot(at);
        return true;
    };
    if (a.is_buffer() && b.is_buffer() && a.size() == b.size() && a.size() > kReleaseAbove) {
        // Both views stay held (by a and b) while the interpreter runs on.
        nb::gil_scoped_release release;
        pass();
    } else {
        while (!with_lists_locked(a.list(), b.list(), pass)) {
        }
    }
    if (n != m)
        throw nb::value_error(("cosine_similarity expects equal-length vectors, got len(a)=" +
                               std::to_string(n) + " and len(b)=" + std::to_string(m) + ".")
                                  .c_str());
    if (!copied) throw nb::python_error();
    if (at < n) {
        // An element that is neither float nor int, or an int beyond 64 bits:
        // go on from it over the private copies, with conversions that may
        // run Python code and raise. Only a list or tuple has such elements,
        // so at most one of the two is a buffer.
        bool ok = true;
        if (a.is_buffer())
            a.visit_buffer([&](const auto &ra) { ok = accumulate_each(ra, b.objects(), at, n, s); });
        else if (b.is_buffer())
            b.visit_buffer([&](const auto &rb) { ok = accumulate_each(a.objects(), rb, at, n, s); });
        else
            ok = accumulate_each(a.objects(), b.objects(), at, n, s);
        if (!ok) throw nb::python_error();
    }
    if (s.norm_a == 0.0 || s.norm_b == 0.0) return 0.0;
    return s.dot / (std::sqrt(s.norm_a) * std::sqrt(s.norm_b));
}

// --- convergence judge ---------------------------------------------------------

// The two items of a (sender_id, content) turn: a tuple or a list of two.
// Anything else, a str included, is not a turn.
void unpack_turn(nb::handle turn, Py_ssize_t index, nb::object &sender, nb::object &content) {
    nb::object items;
    PyObject *t = turn.ptr();
    if (PyList_Check(t)) {
        PyObject *copy = PyList_AsTuple(t);  // copied atomically
        if (!copy) throw nb::python_error();
        items = nb::steal(copy);
        t = copy;
    } else if (!PyTuple_Check(t)) {
        std::string name = "turns[" + std::to_string(index) + "]";
        sp::wrong_kind(name.c_str(), "a (sender_id, content) tuple", turn);
    }
    Py_ssize_t k = PyTuple_GET_SIZE(t);
    if (k > 2) throw nb::value_error("too many values to unpack (expected 2)");
    if (k < 2)
        throw nb::value_error(
            ("not enough values to unpack (expected 2, got " + std::to_string(k) + ")").c_str());
    sender = nb::borrow(PyTuple_GET_ITEM(t, 0));
    content = nb::borrow(PyTuple_GET_ITEM(t, 1));
}

nb::str build_convergence_prompt(nb::handle turns) {
    sp::require_list(turns, "turns");
    // Rendering a sender or a body may run Python code: read a copy.
    nb::object copy = nb::steal(PyList_AsTuple(turns.ptr()));
    if (!copy.is_valid()) throw nb::python_error();
    Py_ssize_t n = PyTuple_GET_SIZE(copy.ptr());

    std::string out;
    out.reserve(kTranscriptHeader.size() + kTranscriptFooter.size() + 1 +
                static_cast<std::size_t>(n) * 64);
    out.append(kTranscriptHeader);
    std::string scratch;
    nb::object sender, content;
    for (Py_ssize_t i = 0; i < n; ++i) {
        unpack_turn(PyTuple_GET_ITEM(copy.ptr(), i), i, sender, content);
        out.append("\n- [");
        sp::append_text_form(out, sender);
        out.append("] ");
        if (PyUnicode_Check(content.ptr())) {
            st::append_collapsed(out, sp::utf8(content, scratch));
        } else {
            nb::object text = nb::steal(PyObject_Str(content.ptr()));
            if (!text.is_valid()) throw nb::python_error();
            st::append_collapsed(out, sp::utf8(text, scratch));
        }
    }
    out.push_back('\n');
    out.append(kTranscriptFooter);
    return sp::from_utf8(out);
}

// The verdict word of `head` as str.upper() sees it, for a word that is not
// ASCII (upper-casing may change the length or reach ASCII from elsewhere).
rules::Word unicode_word(nb::handle text, st::Range head) {
    nb::str piece = sp::substring(text, head);
    nb::object upper = nb::steal(PyObject_CallMethodNoArgs(piece.ptr(), g->upper));
    if (!upper.is_valid()) throw nb::python_error();
    if (PyUnicode_CompareWithASCIIString(upper.ptr(), "CONVERGED") == 0) return rules::Word::Converged;
    if (PyUnicode_CompareWithASCIIString(upper.ptr(), "OPEN") == 0) return rules::Word::Open;
    return rules::Word::Other;
}

nb::tuple verdict(bool converged, nb::handle text) {
    PyObject *t = PyTuple_Pack(2, converged ? Py_True : Py_False, text.ptr());
    if (!t) throw nb::python_error();
    return nb::steal<nb::tuple>(t);
}

nb::tuple parse_convergence_verdict(nb::handle text) {
    sp::require_str(text, "text");
    st::CodePoints s = sp::code_points(text);
    rules::VerdictParts parts = rules::split_verdict(s);
    rules::Word word = rules::Word::Other;
    if (parts.has_bar) {
        word = rules::verdict_word(s, parts.head);
        if (word == rules::Word::Unknown) word = unicode_word(text, parts.head);
    }
    switch (rules::verdict_outcome(parts, word)) {
    case rules::Outcome::Converged: return verdict(true, sp::substring(text, parts.tail));
    case rules::Outcome::OpenReason: return verdict(false, sp::substring(text, parts.tail));
    case rules::Outcome::OpenDefault: return verdict(false, g->open_default);
    case rules::Outcome::OpenRaw: break;
    }
    return verdict(false, sp::substring(text, parts.raw));
}

}  // namespace

NB_MODULE(thread_halt, m) {
    sp::init();
    g = new State{sp::intern("judge marked thread open"), sp::intern("upper")};
    m.doc() = "When a thread between agents stops: stagnation similarity and convergence judge.";

    m.attr("STAGNATION_COSINE_THRESHOLD") = nb::float_(kStagnationThreshold);
    m.attr("CONVERGENCE_JUDGE_SYSTEM_PROMPT") = nb::str(kJudgeSystemPrompt);

    m.def("cosine_similarity", &cosine_similarity, sp::arg("a"), sp::arg("b"),
          nb::sig("def cosine_similarity(a: collections.abc.Sequence[float] | "
                  "typing_extensions.Buffer, b: collections.abc.Sequence[float] | "
                  "typing_extensions.Buffer) -> float"),
          R"DOC(Cosine of two equal-length vectors: 0.0 when either is all zeros.

Lists or tuples of numbers, or one-dimensional float64/float32 buffers.
Raises ValueError when the lengths differ.)DOC");
    m.def("build_convergence_prompt", &build_convergence_prompt, sp::arg("turns"),
          nb::sig("def build_convergence_prompt(turns: list[tuple[object, object]]) -> str"),
          R"DOC(The judge's user prompt: a header, one line per (sender_id, content) turn
with the body on one line, an empty line and the answer instructions.)DOC");
    m.def("parse_convergence_verdict", &parse_convergence_verdict, sp::arg("text"),
          nb::sig("def parse_convergence_verdict(text: str) -> tuple[bool, str]"),
          R"DOC((True, summary) for 'CONVERGED|summary'; (False, reason) otherwise.
Never raises on a str.)DOC");

    m.attr("__all__") = sp::names({"STAGNATION_COSINE_THRESHOLD",
                                   "CONVERGENCE_JUDGE_SYSTEM_PROMPT", "cosine_similarity",
                                   "build_convergence_prompt", "parse_convergence_verdict"});
}
