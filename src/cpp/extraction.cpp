// extraction: prompts and parsers of fact grounding. A stored memory becomes
// (subject, attribute, value, confidence) facts; a draft answer becomes
// (subject, attribute, value) claims that the host checks against the facts.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/format.hpp"
#include "common/json.hpp"
#include "common/py.hpp"
#include "common/rules.hpp"
#include "common/template.hpp"

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

// --- module data ----------------------------------------------------------------

// Created while the module loads and never changed or released afterwards.
struct State {
    py::Template extraction;
    py::Template claims;
    PyObject *logger;
    PyObject *extract_facts_message;  // the single user message of each prompt
    PyObject *extract_claims_message;
    PyObject *k_facts, *k_claims, *k_subject, *k_attribute, *k_value, *k_confidence;
};
const State *g = nullptr;

constexpr const char *kFactsNotJson = "extract_facts: failed to parse LLM response as JSON";
constexpr const char *kFactsNotObject = "extract_facts: LLM response is not a JSON object";
constexpr const char *kFactsNotList = "extract_facts: 'facts' field is not a list";
constexpr const char *kClaimsNotJson = "extract_claims: failed to parse LLM response as JSON";

// The whole str `s` narrowed by strip, as a slot value.
py::Slot stripped(nb::handle s) { return py::Slot::part(s, text::strip(py::code_points(s))); }

// The decimal text of a count argument (any integer; bool as 0 or 1).
std::string count_text(nb::handle v, const char *name) {
    std::string out;
    py::append_decimal(out, py::require_integer(v, name, py::Bools::Accept));
    return out;
}

// --- builders ---------------------------------------------------------------------

nb::tuple build_extraction_prompt(nb::handle memory_content, nb::handle max_facts,
                                  nb::handle role) {
    py::require_str(memory_content, "memory_content");
    std::string count = count_text(max_facts, "max_facts");
    py::require_str(role, "role");
    // Slots in the order the template was parsed with: role, memory_block, max_facts.
    const py::Slot values[] = {py::Slot::whole(role), stripped(memory_content),
                               py::Slot::text(count)};
    return py::prompt_pair(g->extraction.render(values), g->extract_facts_message);
}

nb::tuple build_claim_extraction_prompt(nb::handle output, nb::handle max_claims) {
    py::require_str(output, "output");
    std::string count = count_text(max_claims, "max_claims");
    const py::Slot values[] = {stripped(output), py::Slot::text(count)};
    return py::prompt_pair(g->claims.render(values), g->extract_claims_message);
}

// --- parsers ----------------------------------------------------------------------

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
    out = Part{v, sorvel::rules::triple_member(py::code_points(v))};
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
    if (!sorvel::rules::confidence_in_bounds(f)) return {};
    if (PyFloat_CheckExact(c)) return nb::borrow(c);
    PyObject *out = PyFloat_FromDouble(f);
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

void append(nb::list &out, nb::handle item) {
    if (PyList_Append(out.ptr(), item.ptr()) < 0) throw nb::python_error();
}

nb::list parse_extraction_output(nb::handle response) {
    nb::object data = py::decode_or_warn(response, g->logger, kFactsNotJson);
    nb::list out;
    if (!data.is_valid()) return out;
    if (!PyDict_Check(data.ptr())) {
        py::warn_type(g->logger, kFactsNotObject, data);
        return out;
    }
    PyObject *facts = member(data.ptr(), g->k_facts);
    if (!facts) return out;
    if (!PyList_Check(facts)) {
        py::warn_type(g->logger, kFactsNotList, facts);
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
    nb::object data = py::decode_or_warn(response, g->logger, kClaimsNotJson);
    nb::list out;
    if (!data.is_valid() || !PyDict_Check(data.ptr())) return out;
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
    py::init_json();

    nb::object logger = py::get_logger("sorvel_layer._internal.extraction");
    g = new State{py::Template(kExtractionSystem, {"role", "memory_block", "max_facts"}),
                  py::Template(kClaimExtractionSystem, {"output_block", "max_claims"}),
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

    m.def("build_extraction_prompt", &build_extraction_prompt, py::arg("memory_content"),
          py::arg("max_facts"), nb::arg("role").none() = nb::str("user"),
          nb::sig("def build_extraction_prompt(memory_content: str, max_facts: int, "
                  "role: str = 'user') -> tuple[str, list[dict[str, str]]]"),
          R"DOC(The system prompt that asks for the facts of one memory, and the one
user message to send with it. `memory_content` is stripped; `role` is
the memory's role tag, shown as it is; `max_facts` is written in
decimal (any int; True and False count as 1 and 0).)DOC");
    m.def("parse_extraction_output", &parse_extraction_output, py::arg("response"),
          nb::sig("def parse_extraction_output(response: str) -> list[dict[str, str | float]]"),
          R"DOC(The facts of a model's answer: dicts of subject, attribute, value
(stripped, never empty) and confidence (a float from 0.5 to 1.0), in
the answer's order. Invalid entries are skipped; an answer that is not
a JSON object with a 'facts' list gives [] and logs a warning.)DOC");
    m.def("build_claim_extraction_prompt", &build_claim_extraction_prompt, py::arg("output"),
          py::arg("max_claims"),
          nb::sig("def build_claim_extraction_prompt(output: str, max_claims: int) -> "
                  "tuple[str, list[dict[str, str]]]"),
          R"DOC(The system prompt that asks for the claims of a draft answer, and the
one user message to send with it. `output` is stripped; `max_claims`
is written in decimal (any int; True and False count as 1 and 0).)DOC");
    m.def("parse_claim_extraction_output", &parse_claim_extraction_output, py::arg("response"),
          nb::sig("def parse_claim_extraction_output(response: str) -> list[dict[str, str]]"),
          R"DOC(The claims of a model's answer: dicts of subject, attribute and value
(stripped, never empty), in the answer's order. Anything else gives [];
only an answer that is not JSON logs a warning.)DOC");

    m.attr("__all__") = py::names({"build_extraction_prompt", "parse_extraction_output",
                                   "build_claim_extraction_prompt",
                                   "parse_claim_extraction_output"});
}
