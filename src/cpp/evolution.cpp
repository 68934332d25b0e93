// evolution: the prompt that asks the model for new behavioural rules
// (directives) derived from this cycle's insights, and the parser that turns
// its JSON answer into DirectiveProposal records.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/format.hpp"
#include "common/json.hpp"
#include "common/py.hpp"
#include "common/record.hpp"
#include "common/template.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;
namespace st = sorvel::text;
using namespace nb::literals;

namespace {

constexpr const char kSystem[] =
    R"TXT(You are a behavioral directive engine. Your task is to derive new behavioral rules for an AI agent based on distilled insights from its recent experience.

CURRENT DIRECTIVES:
{directives_block}

INSIGHTS FROM THIS REFLECTION CYCLE:
{insights_block}

Derive at most {max_per_cycle} new behavioral directives.

Rules:
- Each directive must be a single imperative sentence (≤ 15 words).
- Directives must be concrete and behavioral, not aspirational.
- Do not restate or paraphrase any existing directive.
- Anchor each rule to an observable trigger and a concrete action (e.g., "When X happens, do Y"). Avoid abstract goals.
- If the insights yield no new actionable rules, return an empty list.{style_guidance_block}

Respond with JSON only — no preamble, no commentary:
{{"proposed": [{{"text": "...", "source_insight_id": "..."}}, ...]}}
)TXT";

constexpr const char *kUserMessage = "Generate directive proposals.";

constexpr const char *kDecodeFailed = "evolve_directives: failed to parse LLM response as JSON";
constexpr const char *kNotObject = "evolve_directives: LLM response is not a JSON object";
constexpr const char *kNotList = "evolve_directives: 'proposed' field is not a list";

// Created while the module loads and never changed or released afterwards.
struct State {
    sp::Template system;
    PyObject *user_message;
    PyObject *logger;
    PyObject *none_block;  // "(none)"
    PyObject *k_id, *k_text, *k_proposed, *k_source_insight_id;
};
const State *g = nullptr;

/// One proposed directive and the id of the insight it came from.
struct DirectiveProposal {
    nb::str text;
    nb::str source_insight_id;
};

// max_per_cycle as an exact int: an integer as it is, another number
// truncated toward zero.
nb::object whole_number(nb::handle v) {
    if (sp::is_integer(v, sp::Bools::Accept)) return sp::require_integer(v, "max_per_cycle", sp::Bools::Accept);
    if (sp::is_missing(v) || PyUnicode_Check(v.ptr()) || !PyNumber_Check(v.ptr()))
        sp::wrong_kind("max_per_cycle", "int", v);
    PyObject *r = PyNumber_Long(v.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::str directives_block(nb::handle directives) {
    nb::list items = sp::snapshot(directives);
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n == 0) return nb::borrow<nb::str>(g->none_block);
    std::string block;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) block.push_back('\n');
        sp::append_int(block, static_cast<long long>(i + 1));
        block.append(". ");
        sp::append_text_form(block, PyList_GET_ITEM(items.ptr(), i));
    }
    return sp::from_utf8(block);
}

nb::str insights_block(nb::handle insights) {
    nb::list items = sp::snapshot(insights);
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    std::string block;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle record = PyList_GET_ITEM(items.ptr(), i);
        nb::object id = sp::get_item(record, g->k_id);
        nb::object text = sp::get_item(record, g->k_text);
        if (i) block.push_back('\n');
        block.push_back('[');
        sp::append_text_form(block, id);
        block.append("]: ");
        sp::append_text_form(block, text);
    }
    return sp::from_utf8(block);
}

nb::tuple build_evolution_prompt(nb::handle insights, nb::handle directives,
                                 nb::handle max_per_cycle, nb::handle style_guidance) {
    sp::require_list(insights, "insights");
    sp::require_list(directives, "directives");
    nb::object limit = whole_number(max_per_cycle);
    sp::require_optional_str(style_guidance, "style_guidance");

    nb::str directives_text = directives_block(directives);
    nb::str insights_text = insights_block(insights);
    std::string limit_text;
    sp::append_decimal(limit_text, limit);

    // "\n- " and the stripped guidance, or nothing when there is none.
    std::string guidance_text;
    nb::object guidance_str;
    if (!style_guidance.is_none()) {
        st::Range r = st::strip(sp::code_points(style_guidance));
        if (!r.empty()) {
            guidance_text = "\n- ";
            sp::append_utf8(guidance_text, sp::substring(style_guidance, r));
            guidance_str = sp::from_utf8(guidance_text);
        }
    }
    const sp::Slot values[] = {
        sp::Slot::whole(directives_text), sp::Slot::whole(insights_text),
        sp::Slot::text(limit_text),
        guidance_str.is_valid() ? sp::Slot::whole(guidance_str) : sp::Slot::text({})};
    return sp::prompt_pair(g->system.render(values), g->user_message);
}

// The smallest text of `ids` by code point, or "" when it holds none.
nb::object fallback_id(nb::handle ids) {
    nb::object best = nb::str("");
    bool found = false;
    // A set that another thread changes would stop the walk ("Set changed
    // size during iteration"): walk a copy, which the interpreter makes
    // under the set's lock.
    nb::object walked = nb::borrow(ids);
    if (PySet_CheckExact(ids.ptr())) {
        walked = nb::steal(PyFrozenSet_New(ids.ptr()));
        if (!walked.is_valid()) throw nb::python_error();
    }
    nb::object it = nb::steal(PyObject_GetIter(walked.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object keep = nb::steal(item);
        if (!PyUnicode_Check(item)) continue;
        if (!found || PyUnicode_Compare(item, best.ptr()) < 0) {
            best = keep;
            found = true;
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return best;
}

bool is_member(nb::handle ids, PyObject *id) {
    int r = PySet_Contains(ids.ptr(), id);
    if (r < 0) {
        // A member whose comparison fails cannot be the id asked for.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    return r == 1;
}

// obj[key] of a decoded JSON object (borrowed), or null when absent.
PyObject *member(PyObject *obj, PyObject *key) {
    PyObject *v = PyDict_GetItemWithError(obj, key);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::list parse_evolution_output(nb::handle response, nb::handle insight_ids) {
    sp::require_str(response, "response");
    sp::require_set(insight_ids, "insight_ids");

    nb::list result;
    nb::handle logger(g->logger);
    nb::object decoded = sp::decode_or_warn(response, logger, kDecodeFailed);
    if (!decoded.is_valid()) return result;
    if (!PyDict_Check(decoded.ptr())) {
        sp::warn_type(logger, kNotObject, decoded);
        return result;
    }
    PyObject *proposed = member(decoded.ptr(), g->k_proposed);  // borrowed
    if (!proposed) return result;
    if (!PyList_Check(proposed)) {
        sp::warn_type(logger, kNotList, proposed);
        return result;
    }

    // The decoded value belongs to this call alone, so its items may be
    // borrowed while it lives.
    nb::object fallback;
    Py_ssize_t n = PyList_GET_SIZE(proposed);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(proposed, i);
        if (!PyDict_Check(item)) continue;
        PyObject *text = member(item, g->k_text);
        if (!text || !PyUnicode_Check(text)) continue;
        st::Range t = st::strip(sp::code_points(text));
        if (t.empty()) continue;

        nb::object source;
        PyObject *id = member(item, g->k_source_insight_id);
        if (id && PyUnicode_Check(id) && is_member(insight_ids, id)) {
            source = nb::borrow(id);
        } else {
            if (!fallback.is_valid()) fallback = fallback_id(insight_ids);
            source = fallback;
        }
        result.append(nb::cast(DirectiveProposal{sp::substring(text, t), nb::borrow<nb::str>(source)}));
    }
    return result;
}

void bind_proposal(nb::module_ &m) {
    nb::class_<DirectiveProposal> cls(m, "DirectiveProposal", nb::is_final(),
                                      nb::type_slots(sp::frozen_slots()),
                                      nb::sig("@typing.final\nclass DirectiveProposal()"),
                                      "One proposed directive and the id of the insight it came from.");
    cls.def(
           "__init__",
           [](DirectiveProposal *self, nb::handle text, nb::handle source_insight_id) {
               sp::require_str(text, "text");
               sp::require_str(source_insight_id, "source_insight_id");
               new (self) DirectiveProposal{nb::borrow<nb::str>(text),
                                            nb::borrow<nb::str>(source_insight_id)};
           },
           sp::arg("text"), sp::arg("source_insight_id"),
           nb::sig("def __init__(self, text: str, source_insight_id: str) -> None"))
        .def_prop_ro("text", [](const DirectiveProposal &p) { return p.text; })
        .def_prop_ro("source_insight_id",
                     [](const DirectiveProposal &p) { return p.source_insight_id; })
        .def(
            "__eq__",
            [](const DirectiveProposal &a, nb::handle other) -> nb::object {
                if (!nb::isinstance<DirectiveProposal>(other))
                    return nb::borrow(Py_NotImplemented);
                const auto &b = nb::cast<const DirectiveProposal &>(other);
                return nb::bool_(a.text.equal(b.text) &&
                                 a.source_insight_id.equal(b.source_insight_id));
            },
            nb::arg().none(), nb::sig("def __eq__(self, other: object, /) -> bool"))
        .def("__hash__",
             [](const DirectiveProposal &p) {
                 return nb::hash(nb::make_tuple(p.text, p.source_insight_id));
             })
        .def("__repr__",
             [](const DirectiveProposal &p) {
                 PyObject *r = PyUnicode_FromFormat(
                     "DirectiveProposal(text=%R, source_insight_id=%R)", p.text.ptr(),
                     p.source_insight_id.ptr());
                 if (!r) throw nb::python_error();
                 return nb::steal<nb::str>(r);
             })
        .def("__reduce__", [](const DirectiveProposal &p) {
            return nb::make_tuple(nb::type<DirectiveProposal>(),
                                  nb::make_tuple(p.text, p.source_insight_id));
        });
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    sp::finish_record(cls, nb::make_tuple(nb::make_tuple("text", str_type),
                                          nb::make_tuple("source_insight_id", str_type)));
}

}  // namespace

NB_MODULE(evolution, m) {
    sp::init();
    sp::init_json();
    m.doc() = "Directive evolution: the prompt that derives new rules from insights, and its parser.";

    nb::object logger = sp::get_logger("sorvel_layer._internal.evolution");
    g = new State{sp::Template(kSystem, {"directives_block", "insights_block", "max_per_cycle",
                                         "style_guidance_block"}),
                  sp::intern(kUserMessage),
                  logger.inc_ref().ptr(),
                  sp::intern("(none)"),
                  sp::intern("id"),
                  sp::intern("text"),
                  sp::intern("proposed"),
                  sp::intern("source_insight_id")};
    m.attr("logger") = logger;
    m.attr("_EVOLUTION_SYSTEM") = sp::from_utf8(kSystem);

    bind_proposal(m);

    m.def("build_evolution_prompt", &build_evolution_prompt, sp::arg("insights"),
          sp::arg("directives"), sp::arg("max_per_cycle"),
          nb::arg("style_guidance").none() = nb::none(),
          nb::sig("def build_evolution_prompt(insights: list[dict[str, object]], "
                  "directives: list[str], max_per_cycle: int | float, "
                  "style_guidance: str | None = None) -> tuple[str, list[dict[str, str]]]"),
          R"DOC(Builds the (system prompt, [user message]) pair that asks for at most
`max_per_cycle` new directives derived from `insights`.

`insights` is a list of mappings, each read for its "id" and "text"
keys; `directives` is a list of the agent's active directive texts;
`max_per_cycle` an integer (a float is truncated toward zero).)DOC");
    m.def("parse_evolution_output", &parse_evolution_output, sp::arg("response"),
          sp::arg("insight_ids"),
          nb::sig("def parse_evolution_output(response: str, "
                  "insight_ids: set[str] | frozenset[str]) -> list[DirectiveProposal]"),
          R"DOC(The proposals of the model's JSON answer, in its order. Never fails on the
answer: a bad one logs a warning and gives an empty list.)DOC");

    m.attr("__all__") = sp::names({"build_evolution_prompt", "parse_evolution_output"});
}
