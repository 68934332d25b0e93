// extraction: prompts and parsers of fact grounding. A stored memory becomes
// (subject, attribute, value, confidence) facts; a draft answer becomes
// (subject, attribute, value) claims that the host checks against the facts.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/py.hpp"
#include "common/text.hpp"

namespace nb = nanobind;
namespace py = sorvel::py;
namespace text = sorvel::text;
using namespace nb::literals;

namespace {

// The templates end with one line break; `{{` and `}}` are literal braces.
constexpr std::string_view kExtractionSystem =
    R"TXT(You are an atomic fact extractor. Your task is to extract verifiable factual claims from a single memory excerpt.

MEMORY ROLE: {role}
MEMORY CONTENT:
{memory_block}

Extract at most {max_facts} atomic facts.

Rules:
- Each fact is a single (subject, attribute, value) triple.
- A fact must be EXPLICITLY stated in the memory — no inference, no paraphrase that adds meaning, no embellishment.
- Subject: the entity the fact is about (e.g., "Dovan", "the user", "Acme Corp"). Use the most specific identifier present.
- Attribute: a short noun phrase naming the property (e.g., "location", "employer", "preferred_language"). snake_case preferred.
- Value: the asserted value, copied as faithfully as possible from the source.
- Confidence: 0.0-1.0. Use 0.9+ only for direct, unambiguous statements. Use 0.5-0.7 for paraphrasable but clear claims. Below 0.5 should not be emitted at all.
- Skip opinions, hypotheticals, questions, and meta-commentary about the conversation itself.
- If the memory contains no extractable facts, return an empty list.

Respond with JSON only — no preamble, no commentary:
{{"facts": [{{"subject": "...", "attribute": "...", "value": "...", "confidence": 0.0}}, ...]}}
)TXT";

constexpr std::string_view kClaimExtractionSystem =
    R"TXT(You are a claim extractor. Your task is to extract verifiable factual claims from a draft response an AI agent is about to send to a user.

DRAFT RESPONSE:
{output_block}

Extract at most {max_claims} atomic claims.

Rules:
- Each claim is a single (subject, attribute, value) triple.
- Only include claims that assert facts about the world or about specific entities (people, places, things, prior conversation history).
- Skip greetings, questions, opinions, suggestions, and meta-commentary ("I can help with that", "Would you like me to...").
- Skip claims about the agent's own capabilities or limitations.
- Subject: the entity the claim is about. Use the most specific identifier present.
- Attribute: a short noun phrase naming the property (snake_case preferred).
- Value: the asserted value, copied as faithfully as possible.
- If the draft contains no verifiable factual claims, return an empty list.

Respond with JSON only — no preamble, no commentary:
{{"claims": [{{"subject": "...", "attribute": "...", "value": "..."}}, ...]}}
)TXT";

// --- decimal text of any int ----------------------------------------------------

// Appends the decimal digits of the int `v` (a bool counts as 0 or 1).
// Values beyond 64 bits go through the hexadecimal text, which the
// interpreter writes without its limit on int-to-decimal conversion, and are
// turned into decimal here, so that no int is refused.
void append_decimal(std::string &out, PyObject *v) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (small == -1 && PyErr_Occurred()) throw nb::python_error();
        text::append_int(out, small);
        return;
    }
    nb::object hex = nb::steal(PyNumber_ToBase(v, 16));  // "-0x..." or "0x..."
    if (!hex.is_valid()) throw nb::python_error();
    Py_ssize_t n = 0;
    const char *h = PyUnicode_AsUTF8AndSize(hex.ptr(), &n);
    if (!h) throw nb::python_error();
    std::string_view digits(h, static_cast<std::size_t>(n));
    bool negative = !digits.empty() && digits.front() == '-';
    digits.remove_prefix(negative ? 3 : 2);

    // Little-endian limbs of nine decimal digits; seven hex digits (28 bits)
    // are folded in at a time, so limb * 2^28 + carry stays below 2^64.
    constexpr std::uint64_t kBase = 1000000000;
    std::vector<std::uint32_t> limbs;
    limbs.reserve(digits.size() * 4 / 29 + 2);  // a limb holds ~29.9 bits
    std::size_t i = 0;
    while (i < digits.size()) {
        std::size_t take = std::min<std::size_t>(7, digits.size() - i);
        std::uint64_t chunk = 0;
        for (std::size_t k = 0; k < take; ++k) {
            char c = digits[i + k];
            unsigned d = (c <= '9') ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
            chunk = (chunk << 4) | d;
        }
        i += take;
        std::uint64_t carry = chunk;
        for (std::uint32_t &limb : limbs) {
            std::uint64_t x = (std::uint64_t(limb) << (4 * take)) + carry;
            limb = static_cast<std::uint32_t>(x % kBase);
            carry = x / kBase;
        }
        while (carry) {
            limbs.push_back(static_cast<std::uint32_t>(carry % kBase));
            carry /= kBase;
        }
    }
    if (negative) out.push_back('-');
    if (limbs.empty()) {
        out.push_back('0');
        return;
    }
    text::append_int(out, limbs.back());
    for (std::size_t k = limbs.size() - 1; k-- > 0;) {
        char buf[9];
        std::uint32_t limb = limbs[k];
        for (int d = 8; d >= 0; --d) {
            buf[d] = static_cast<char>('0' + limb % 10);
            limb /= 10;
        }
        out.append(buf, 9);
    }
}

// --- templates rendered straight into a str -------------------------------------

// One value of a slot: the code points [range) of a str, or ASCII text.
struct Slot {
    PyObject *str = nullptr;  // borrowed; null for `ascii`
    text::Range range;
    std::string_view ascii;

    Py_ssize_t length() const noexcept {
        return str ? static_cast<Py_ssize_t>(range.size()) : static_cast<Py_ssize_t>(ascii.size());
    }
};

// The largest code point of s[r], as far as the str's layout tells; a
// narrowed slice of a wide str is scanned, since the wide code point may lie
// in the part that was cut off.
Py_UCS4 max_char(PyObject *s, text::Range r) noexcept {
    Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(s);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (bound <= 0x7F || (r.begin == 0 && r.end == length)) return bound;
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const Py_UCS4 narrower = kind == PyUnicode_1BYTE_KIND   ? 0x7F
                             : kind == PyUnicode_2BYTE_KIND ? 0xFF
                                                            : 0xFFFF;
    Py_UCS4 found = 0;
    for (std::size_t i = r.begin; i < r.end; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
        if (c > narrower) return bound;
        found = std::max(found, c);
    }
    return found;
}

// A prompt template kept as str pieces, filled by one copy of each piece into
// a str of the final size (no UTF-8 round trip).
class StrTemplate {
public:
    explicit StrTemplate(const text::Template &t) {
        t.for_each_piece([&](std::string_view literal, int slot) {
            Piece p{nullptr, slot};
            if (slot < 0) {
                nb::str s = py::from_utf8(literal);
                literal_length_ += PyUnicode_GET_LENGTH(s.ptr());
                max_char_ = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(s.ptr()));
                p.literal = s.release().ptr();  // kept for the life of the process
            }
            pieces_.push_back(p);
        });
    }

    nb::str render(std::span<const Slot> values) const {
        Py_ssize_t total = literal_length_;
        Py_UCS4 top = max_char_;
        for (const Piece &p : pieces_) {
            if (p.slot < 0) continue;
            const Slot &v = values[static_cast<std::size_t>(p.slot)];
            total += v.length();
            if (v.str) top = std::max(top, max_char(v.str, v.range));
        }
        nb::str out = nb::steal<nb::str>(PyUnicode_New(total, top));
        if (!out.is_valid()) throw nb::python_error();
        PyObject *o = out.ptr();
        int kind = PyUnicode_KIND(o);
        void *data = PyUnicode_DATA(o);
        Py_ssize_t at = 0;
        auto copy = [&](PyObject *from, Py_ssize_t begin, Py_ssize_t count) {
            if (count && PyUnicode_CopyCharacters(o, at, from, begin, count) < 0)
                throw nb::python_error();
            at += count;
        };
        for (const Piece &p : pieces_) {
            if (p.slot < 0) {
                copy(p.literal, 0, PyUnicode_GET_LENGTH(p.literal));
                continue;
            }
            const Slot &v = values[static_cast<std::size_t>(p.slot)];
            if (v.str) {
                copy(v.str, static_cast<Py_ssize_t>(v.range.begin), v.length());
            } else {
                for (char c : v.ascii)
                    PyUnicode_WRITE(kind, data, at++, static_cast<unsigned char>(c));
            }
        }
        return out;
    }

private:
    struct Piece {
        PyObject *literal;  // a str, or null for a slot
        int slot;
    };
    std::vector<Piece> pieces_;
    Py_ssize_t literal_length_ = 0;
    Py_UCS4 max_char_ = 0x7F;
};

// --- module data ----------------------------------------------------------------

// Created while the module loads and never changed or released afterwards.
struct Module {
    StrTemplate extraction;
    StrTemplate claims;
    PyObject *logger;
    PyObject *extract_facts_message;  // the single user message of each prompt
    PyObject *extract_claims_message;
    PyObject *k_facts, *k_claims, *k_subject, *k_attribute, *k_value, *k_confidence;
};
const Module *g = nullptr;

constexpr const char *kFactsNotJson = "extract_facts: failed to parse LLM response as JSON";
constexpr const char *kFactsNotObject = "extract_facts: LLM response is not a JSON object";
constexpr const char *kFactsNotList = "extract_facts: 'facts' field is not a list";
constexpr const char *kClaimsNotJson = "extract_claims: failed to parse LLM response as JSON";

void require_int(nb::handle v, const char *arg) {
    if (!PyLong_Check(v.ptr()))
        throw nb::type_error((std::string(arg) + " must be int, not " +
                              Py_TYPE(v.ptr())->tp_name).c_str());
}

// The whole str `s` narrowed by strip, as a slot value.
Slot stripped(nb::handle s) {
    return Slot{s.ptr(), text::strip(py::code_points(s)), {}};
}

// --- builders ---------------------------------------------------------------------

nb::tuple build_extraction_prompt(nb::handle memory_content, nb::handle max_facts,
                                  nb::handle role) {
    py::require_str(memory_content, "memory_content");
    require_int(max_facts, "max_facts");
    py::require_str(role, "role");
    std::string count;
    append_decimal(count, max_facts.ptr());
    // Slots in the order the template was parsed with: role, memory_block, max_facts.
    const auto role_length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(role.ptr()));
    const Slot values[] = {Slot{role.ptr(), text::Range{0, role_length}, {}},
                           stripped(memory_content), Slot{nullptr, {}, count}};
    return py::prompt_pair(g->extraction.render(values), g->extract_facts_message);
}

nb::tuple build_claim_extraction_prompt(nb::handle output, nb::handle max_claims) {
    py::require_str(output, "output");
    require_int(max_claims, "max_claims");
    std::string count;
    append_decimal(count, max_claims.ptr());
    const Slot values[] = {stripped(output), Slot{nullptr, {}, count}};
    return py::prompt_pair(g->claims.render(values), g->extract_claims_message);
}

// --- parsers ----------------------------------------------------------------------

// The answer cleaned (strip, fence, "json" tag) and decoded; a null object
// when the cleaned text is not exactly one JSON value.
// obj[key] of a decoded JSON object (borrowed), or null when absent.
PyObject *member(PyObject *obj, PyObject *key) {
    PyObject *v = PyDict_GetItemWithError(obj, key);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// One member of a triple: a str that is not empty once stripped.
struct Part {
    PyObject *str;
    text::Range range;
};

bool triple_part(PyObject *item, PyObject *key, Part &out) {
    PyObject *v = member(item, key);
    if (!v || !PyUnicode_Check(v)) return false;
    out = Part{v, text::strip(py::code_points(v))};
    return !out.range.empty();
}

// Reads subject, attribute and value of `item` in that order; false at the
// first one that is missing, not a str, or only white space.
bool triple(PyObject *item, Part (&parts)[3]) {
    return triple_part(item, g->k_subject, parts[0]) &&
           triple_part(item, g->k_attribute, parts[1]) &&
           triple_part(item, g->k_value, parts[2]);
}

// A dict of the stripped triple, keys in the order subject, attribute, value.
nb::dict triple_map(const Part (&parts)[3]) {
    nb::dict out;
    PyObject *keys[3] = {g->k_subject, g->k_attribute, g->k_value};
    for (int i = 0; i < 3; ++i) {
        nb::str s = py::substring(parts[i].str, parts[i].range);
        if (PyDict_SetItem(out.ptr(), keys[i], s.ptr()) < 0) throw nb::python_error();
    }
    return out;
}

// The confidence of a fact as a float from 0.5 to 1.0, or null. Numbers only
// (a bool is the int 0 or 1); NaN, infinities and ints too large for a
// double are refused, as is anything outside the bounds.
nb::object confidence(PyObject *item) {
    PyObject *c = member(item, g->k_confidence);
    if (!c) return {};
    double f;
    if (PyFloat_Check(c)) {
        f = PyFloat_AS_DOUBLE(c);
    } else if (PyLong_Check(c)) {
        f = PyLong_AsDouble(c);
        if (f == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
            PyErr_Clear();
            return {};
        }
    } else {
        return {};
    }
    if (!(f >= 0.5 && f <= 1.0)) return {};  // also false for NaN
    if (PyFloat_CheckExact(c)) return nb::borrow(c);
    PyObject *out = PyFloat_FromDouble(f);
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

void append(nb::list &out, nb::handle item) {
    if (PyList_Append(out.ptr(), item.ptr()) < 0) throw nb::python_error();
}

nb::list parse_extraction_output(nb::handle response) {
    nb::object data = py::decode_json_answer(response);
    nb::list out;
    if (!data.is_valid()) {
        py::warn(g->logger, kFactsNotJson, "response_preview", py::preview(response));
        return out;
    }
    if (!PyDict_Check(data.ptr())) {
        py::warn(g->logger, kFactsNotObject, "type", nb::str(py::json_type_name(data)));
        return out;
    }
    PyObject *facts = member(data.ptr(), g->k_facts);
    if (!facts) return out;
    if (!PyList_Check(facts)) {
        py::warn(g->logger, kFactsNotList, "type", nb::str(py::json_type_name(facts)));
        return out;
    }
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(facts); i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(facts, i);
        Part parts[3];
        if (!PyDict_Check(item) || !triple(item, parts)) continue;
        nb::object conf = confidence(item);
        if (!conf.is_valid()) continue;
        nb::dict fact = triple_map(parts);
        if (PyDict_SetItem(fact.ptr(), g->k_confidence, conf.ptr()) < 0) throw nb::python_error();
        append(out, fact);
    }
    return out;
}

nb::list parse_claim_extraction_output(nb::handle response) {
    nb::object data = py::decode_json_answer(response);
    nb::list out;
    if (!data.is_valid()) {
        py::warn(g->logger, kClaimsNotJson, "response_preview", py::preview(response));
        return out;
    }
    if (!PyDict_Check(data.ptr())) return out;
    PyObject *claims = member(data.ptr(), g->k_claims);
    if (!claims || !PyList_Check(claims)) return out;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(claims); i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(claims, i);
        Part parts[3];
        if (PyDict_Check(item) && triple(item, parts)) append(out, triple_map(parts));
    }
    return out;
}

}  // namespace

NB_MODULE(extraction, m) {
    py::init();

    const text::Template extraction(kExtractionSystem, {"role", "memory_block", "max_facts"});
    const text::Template claims(kClaimExtractionSystem, {"output_block", "max_claims"});
    nb::object logger = py::get_logger("sorvel_layer._internal.extraction");
    g = new Module{StrTemplate(extraction),
                   StrTemplate(claims),
                   logger.inc_ref().ptr(),
                   py::intern("Extract facts."),
                   py::intern("Extract claims."),
                   py::intern("facts"),
                   py::intern("claims"),
                   py::intern("subject"),
                   py::intern("attribute"),
                   py::intern("value"),
                   py::intern("confidence")};

    m.attr("_EXTRACTION_SYSTEM") = py::from_utf8(kExtractionSystem);
    m.attr("_CLAIM_EXTRACTION_SYSTEM") = py::from_utf8(kClaimExtractionSystem);
    m.attr("logger") = logger;

    m.def("build_extraction_prompt", &build_extraction_prompt, "memory_content"_a, "max_facts"_a,
          "role"_a = nb::str("user"),
          nb::sig("def build_extraction_prompt(memory_content: str, max_facts: int, "
                  "role: str = 'user') -> tuple[str, list[dict[str, str]]]"),
          "The system prompt that asks for the facts of one memory, and the one\n"
          "user message to send with it. `memory_content` is stripped; `role` is\n"
          "the memory's role tag, shown as it is; `max_facts` is written in\n"
          "decimal (any int; True and False count as 1 and 0).");
    m.def("parse_extraction_output", &parse_extraction_output, "response"_a,
          nb::sig("def parse_extraction_output(response: str) -> list[dict[str, str | float]]"),
          "The facts of a model's answer: dicts of subject, attribute, value\n"
          "(stripped, never empty) and confidence (a float from 0.5 to 1.0), in\n"
          "the answer's order. Invalid entries are skipped; an answer that is not\n"
          "a JSON object with a 'facts' list gives [] and logs a warning.");
    m.def("build_claim_extraction_prompt", &build_claim_extraction_prompt, "output"_a,
          "max_claims"_a,
          nb::sig("def build_claim_extraction_prompt(output: str, max_claims: int) -> "
                  "tuple[str, list[dict[str, str]]]"),
          "The system prompt that asks for the claims of a draft answer, and the\n"
          "one user message to send with it. `output` is stripped; `max_claims`\n"
          "is written in decimal (any int; True and False count as 1 and 0).");
    m.def("parse_claim_extraction_output", &parse_claim_extraction_output, "response"_a,
          nb::sig("def parse_claim_extraction_output(response: str) -> list[dict[str, str]]"),
          "The claims of a model's answer: dicts of subject, attribute and value\n"
          "(stripped, never empty), in the answer's order. Anything else gives [];\n"
          "only an answer that is not JSON logs a warning.");

    m.attr("__all__") = py::names({"build_extraction_prompt", "parse_extraction_output",
                                   "build_claim_extraction_prompt",
                                   "parse_claim_extraction_output"});
}
