// crew_synthesis: the team-insight step of a workspace's dream. Renders the
// memories a team shared, ranked by team score, and the idempotency hash of
// that text. The rendered bytes are persisted (through the hash): the same
// rows must give the same bytes in every release.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/py.hpp"

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

// Set once while the module loads.
PyObject *g_team_score = nullptr;
PyObject *g_content = nullptr;
PyObject *g_score_format = nullptr;  // ".3f"
PyObject *g_sha256 = nullptr;        // hashlib.sha256
PyObject *g_digest = nullptr;        // "digest"

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

// Stable merge sort, highest first. It stays in bounds whatever the
// comparison answers (a user-defined __lt__ need not be a consistent order).
// Returns false with the comparison's error set.
bool sort_ranked(std::vector<Ranked> &v) {
    const std::size_t n = v.size();
    constexpr std::size_t kRun = 16;
    for (std::size_t lo = 0; lo < n; lo += kRun) {
        std::size_t hi = std::min(n, lo + kRun);
        for (std::size_t i = lo + 1; i < hi; ++i) {
            Ranked item = v[i];
            std::size_t j = i;
            while (j > lo) {
                int c = ranks_before(item, v[j - 1]);
                if (c < 0) return false;
                if (!c) break;
                v[j] = v[j - 1];
                --j;
            }
            v[j] = item;
        }
    }
    std::vector<Ranked> buf(n);
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                int c = ranks_before(v[j], v[i]);  // the right one only on a strict win
                if (c < 0) return false;
                buf[k++] = c ? v[j++] : v[i++];
            }
            while (i < mid) buf[k++] = v[i++];
            while (j < hi) buf[k++] = v[j++];
        }
        v.swap(buf);
    }
    return true;
}

// Appends `x` as format(x, ".3f") writes it: the exact binary value rounded
// to three decimals (exact ties to the even digit), "-0.000" for negative
// zero, "inf", "-inf" and "nan" (never "-nan").
void append_fixed3(std::string &out, double x) {
    if (std::isnan(x)) {
        out.append("nan");
        return;
    }
    if (std::isinf(x)) {
        out.append(x < 0 ? "-inf" : "inf");
        return;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (biased >= 1075) {  // an integer of 2**53 or more
        char buf[320];     // DBL_MAX has 309 integer digits
        auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 3);
        out.append(buf, res.ptr);
        return;
    }
    // |x| = m / 2**s exactly; then round m * 1000 / 2**s to an integer q,
    // exact ties to even. m * 1000 < 2**63, so nothing overflows.
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int s = 1074;  // subnormal
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        s = 1075 - biased;
    }
    const std::uint64_t scaled = m * 1000;
    std::uint64_t q = 0;
    if (s == 0) {
        q = scaled;
    } else if (s < 64) {
        q = scaled >> s;
        const std::uint64_t rest = scaled & ((std::uint64_t{1} << s) - 1);
        const std::uint64_t half = std::uint64_t{1} << (s - 1);
        if (rest > half || (rest == half && (q & 1))) ++q;
    }  // else scaled / 2**s < 1/2: q stays 0
    if (bits >> 63) out.push_back('-');  // "-0.000" included, as format() writes it
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, q / 1000);
    out.append(buf, res.ptr);
    const unsigned frac = static_cast<unsigned>(q % 1000);
    const char digits[4] = {'.', static_cast<char>('0' + frac / 100),
                            static_cast<char>('0' + frac / 10 % 10), static_cast<char>('0' + frac % 10)};
    out.append(digits, 4);
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
        nb::object text = nb::steal(PyObject_Format(score, g_score_format));
        if (!text.is_valid()) throw nb::python_error();
        sp::append_text_form(out, text);
        return;
    }
    append_fixed3(out, x);
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
        PyObject *score = PyObject_GetAttr(row, g_team_score);
        if (!score) throw nb::python_error();
        PyTuple_SET_ITEM(scores.ptr(), i, score);  // owns it from here
        // A NaN has no place in an order: such rows go last, as given.
        if (is_nan_score(score))
            nan_rows.push_back(Ranked{score, row, 0.0, false});
        else
            ranked.push_back(rank_of(row, score));
    }
    if (!sort_ranked(ranked)) throw nb::python_error();
    ranked.insert(ranked.end(), nan_rows.begin(), nan_rows.end());

    std::string out;
    out.reserve(kHeader.size() + kClosing.size() + 1 + static_cast<std::size_t>(n) * 96);
    out.append(kHeader);
    for (const Ranked &r : ranked) {
        out.append("\n- (");
        append_score(out, r.score);
        out.append(") ");
        nb::object content = nb::steal(PyObject_GetAttr(r.row, g_content));
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
    nb::object hasher = nb::steal(PyObject_CallOneArg(g_sha256, view.ptr()));
    if (!hasher.is_valid()) throw nb::python_error();
    nb::object digest = nb::steal(PyObject_CallMethodNoArgs(hasher.ptr(), g_digest));
    if (!digest.is_valid()) throw nb::python_error();
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
    g_team_score = sp::intern("team_score");
    g_content = sp::intern("content");
    g_score_format = sp::intern(".3f");
    g_digest = sp::intern("digest");
    g_sha256 = nb::object(nb::module_::import_("hashlib").attr("sha256")).release().ptr();
    m.doc() = "Team synthesis of shared memories: the prompt and its idempotency hash.";

    m.attr("CREW_SYNTHESIS_SYSTEM_PROMPT") = nb::str(kSystemPrompt);

    m.def("build_crew_synthesis_prompt", &build_crew_synthesis_prompt, "rows"_a,
          nb::sig("def build_crew_synthesis_prompt(rows: list[typing.Any]) -> str"),
          "The user message listing shared memories by team_score, highest first\n"
          "(stable for ties; NaN scores last), one '- (score) content' line each.\n"
          "Rows are read as attributes, not as mappings: each row's team_score\n"
          "(a number) and content (any value, by its text form).");
    m.def("compute_prompt_hash", &compute_prompt_hash, "prompt"_a,
          nb::sig("def compute_prompt_hash(prompt: str) -> str"),
          "First 16 hex digits of SHA-256 over the UTF-8 bytes of prompt.");

    m.attr("__all__") = sp::names(
        {"CREW_SYNTHESIS_SYSTEM_PROMPT", "build_crew_synthesis_prompt", "compute_prompt_hash"});
}
