// crew_synthesis: the team-insight step of a workspace's dream. Renders the
// memories a team shared, ranked by team score, and the idempotency hash of
// that text. The rendered bytes are persisted (through the hash): the same
// rows must give the same bytes in every release.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/format.hpp"
#include "common/py.hpp"
#include "common/rules.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace sp = sorvel::py;

namespace {

constexpr const char *kSystemPrompt =
    "You are the team's collective synthesis voice. Given a set of memories shared by multiple "
    "agents in this workspace, distill a single concise team insight that captures the "
    "consensus, pattern, or unresolved tension across them. Speak in the team's voice \u2014 do "
    "NOT attribute by agent. Do NOT invent facts beyond what the shared memories state.";

constexpr std::string_view kHeader =
    "Team-shared memories (one per line, prefixed with team_score):";
// Begins with a line feed: the sentence sits behind an empty line.
constexpr std::string_view kClosing =
    "\nSynthesise a single team insight that captures the collective signal across the above "
    "memories.";

// Created while the module loads and never changed or released afterwards.
struct State {
    PyObject *team_score;    // "team_score"
    PyObject *score_format;  // ".3f"
    PyObject *sha256;        // hashlib.sha256
    PyObject *digest;        // "digest"
};
const State *g = nullptr;

// One row's sort key. `exact` means `value` is the score itself (a float, or
// an int that a double holds exactly); other scores compare through Python.
struct Ranked {
    PyObject *score;  // borrowed from `scores`
    PyObject *row;    // borrowed from the rows copy
    double value;
    bool exact;
};

Ranked rank_of(PyObject *row, PyObject *score) {
    Ranked r{score, row, 0.0, false};
    if (PyFloat_CheckExact(score)) {
        r.value = PyFloat_AS_DOUBLE(score);
        r.exact = true;
    } else if (PyLong_CheckExact(score) || PyBool_Check(score)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(score, &overflow);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        constexpr long long kExactLimit = 1LL << 53;
        if (!overflow && v <= kExactLimit && v >= -kExactLimit) {
            r.value = static_cast<double>(v);
            r.exact = true;
        }
    }
    return r;
}

bool is_nan_score(PyObject *score) noexcept {
    return PyFloat_Check(score) && std::isnan(PyFloat_AS_DOUBLE(score));
}

// 1 when `y`'s score is below `x`'s (x ranks strictly first), 0 when not,
// -1 with the comparison's error set. Python's `<`, exact across int and float.
int ranks_before(const Ranked &x, const Ranked &y) noexcept {
    if (x.exact && y.exact) return y.value < x.value ? 1 : 0;
    return PyObject_RichCompareBool(y.score, x.score, Py_LT);
}

// Appends format(score, ".3f").
void append_score(std::string &out, PyObject *score) {
    double x;
    if (PyFloat_CheckExact(score)) {
        x = PyFloat_AS_DOUBLE(score);
    } else if (PyLong_CheckExact(score) || PyBool_Check(score)) {
        x = PyLong_AsDouble(score);  // OverflowError as format() raises it
        if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
    } else {
        nb::object text = nb::steal(PyObject_Format(score, g->score_format));
        if (!text.is_valid()) throw nb::python_error();
        sp::append_text_form(out, text);
        return;
    }
    sp::append_fixed3(out, x);
}

nb::str build_crew_synthesis_prompt(nb::handle rows) {
    sp::require_list(rows, "rows");
    // Attribute reads and comparisons may run Python code: work on a copy.
    nb::object copy = nb::steal(PyList_AsTuple(rows.ptr()));
    if (!copy.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyTuple_GET_SIZE(copy.ptr());

    // Every score first, then the order, then the lines.
    nb::object scores = nb::steal(PyTuple_New(n));
    if (!scores.is_valid()) throw nb::python_error();
    std::vector<Ranked> ranked, nan_rows;
    ranked.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *row = PyTuple_GET_ITEM(copy.ptr(), i);
        PyObject *score = PyObject_GetAttr(row, g->team_score);
        if (!score) throw nb::python_error();
        PyTuple_SET_ITEM(scores.ptr(), i, score);  // owns it from here
        // A NaN has no place in an order: such rows go last, as given.
        if (is_nan_score(score))
            nan_rows.push_back(Ranked{score, row, 0.0, false});
        else
            ranked.push_back(rank_of(row, score));
    }
    auto before = [](const Ranked &x, const Ranked &y) noexcept { return ranks_before(x, y); };
    if (!sorvel::rules::sort_ranked(ranked, before)) throw nb::python_error();
    ranked.insert(ranked.end(), nan_rows.begin(), nan_rows.end());

    std::string out;
    out.reserve(kHeader.size() + kClosing.size() + 1 + static_cast<std::size_t>(n) * 96);
    out.append(kHeader);
    for (const Ranked &r : ranked) {
        out.append("\n- (");
        append_score(out, r.score);
        out.append(") ");
        nb::object content = nb::steal(PyObject_GetAttr(r.row, sp::keys().content));
        if (!content.is_valid()) throw nb::python_error();
        sp::append_text_form(out, content);
    }
    out.push_back('\n');
    out.append(kClosing);
    return sp::from_utf8(out);
}

nb::str compute_prompt_hash(nb::handle prompt) {
    sp::require_str(prompt, "prompt");
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(prompt.ptr(), &size);  // strict UTF-8
    if (!bytes) throw nb::python_error();
    // The str keeps its UTF-8 form for as long as it lives; the caller holds it.
    nb::object view = nb::steal(
        PyMemoryView_FromMemory(const_cast<char *>(bytes), size, PyBUF_READ));
    if (!view.is_valid()) throw nb::python_error();
    nb::object hasher = nb::steal(PyObject_CallOneArg(g->sha256, view.ptr()));
    if (!hasher.is_valid()) throw nb::python_error();
    nb::object digest = nb::steal(PyObject_CallMethodNoArgs(hasher.ptr(), g->digest));
    if (!digest.is_valid()) throw nb::python_error();
    // hashlib's digest is 32 bytes; a call's result is checked before it is read.
    if (!PyBytes_Check(digest.ptr()) || PyBytes_GET_SIZE(digest.ptr()) < 8)
        throw nb::type_error("sha256 digest is not 32 bytes");
    const auto *d = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(digest.ptr()));
    static constexpr char kHex[] = "0123456789abcdef";
    char hex[16];
    for (int i = 0; i < 8; ++i) {
        hex[2 * i] = kHex[d[i] >> 4];
        hex[2 * i + 1] = kHex[d[i] & 0x0F];
    }
    return nb::str(hex, sizeof hex);
}

}  // namespace

NB_MODULE(crew_synthesis, m) {
    sp::init();
    g = new State{sp::intern("team_score"), sp::intern(".3f"),
                  nb::object(nb::module_::import_("hashlib").attr("sha256")).release().ptr(),
                  sp::intern("digest")};
    m.doc() = "Team synthesis of shared memories: the prompt and its idempotency hash.";

    m.attr("CREW_SYNTHESIS_SYSTEM_PROMPT") = nb::str(kSystemPrompt);

    m.def("build_crew_synthesis_prompt", &build_crew_synthesis_prompt, sp::arg("rows"),
          nb::sig("def build_crew_synthesis_prompt(rows: list[typing.Any]) -> str"),
          R"DOC(The user message listing shared memories by team_score, highest first
(stable for ties; NaN scores last), one '- (score) content' line each.
Rows are read as attributes, not as mappings: each row's team_score
(a number) and content (any value, by its text form).)DOC");
    m.def("compute_prompt_hash", &compute_prompt_hash, sp::arg("prompt"),
          nb::sig("def compute_prompt_hash(prompt: str) -> str"),
          "First 16 hex digits of SHA-256 over the UTF-8 bytes of prompt.");

    m.attr("__all__") = sp::names(
        {"CREW_SYNTHESIS_SYSTEM_PROMPT", "build_crew_synthesis_prompt", "compute_prompt_hash"});
}
