// evolution: the prompt that asks the model for new behavioural rules
// (directives) derived from this cycle's insights, and the parser that turns
// its JSON answer into DirectiveProposal records.
#include <nanobind/nanobind.h>

#include <array>
#include <string>
#include <string_view>

#include "common/py.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;
namespace st = sorvel::text;
using namespace nb::literals;

namespace {

constexpr const char *kSystem =
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

// Set once while the module loads, never changed afterwards.
PyObject *g_user_message = nullptr;
PyObject *g_logger = nullptr;
PyObject *g_frozen_error = nullptr;
PyObject *g_id = nullptr;
PyObject *g_text = nullptr;
PyObject *g_proposed = nullptr;
PyObject *g_source_insight_id = nullptr;

const st::Template &system_template() {
    static const st::Template t(
        kSystem, {"directives_block", "insights_block", "max_per_cycle", "style_guidance_block"});
    return t;
}

/// One proposed directive and the id of the insight it came from.
struct DirectiveProposal {
    nb::str text;
    nb::str source_insight_id;
};

nb::list snapshot(nb::handle list) {
    nb::list copy = nb::steal<nb::list>(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX));
    if (!copy.is_valid()) throw nb::python_error();
    return copy;
}

// max_per_cycle as an exact int, a number truncated toward zero.
nb::object whole_number(nb::handle v) {
    if (PyLong_CheckExact(v.ptr())) return nb::borrow(v);
    if (PyUnicode_Check(v.ptr()) || !PyNumber_Check(v.ptr()))
        throw nb::type_error((std::string("max_per_cycle must be int, not ") +
                              Py_TYPE(v.ptr())->tp_name).c_str());
    PyObject *r = PyNumber_Long(v.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::tuple build_evolution_prompt(nb::handle insights, nb::handle directives,
                                 nb::handle max_per_cycle, nb::handle style_guidance) {
    sp::require_list(insights, "insights");
    sp::require_list(directives, "directives");
    nb::object limit = whole_number(max_per_cycle);
    if (!style_guidance.is_none()) sp::require_str(style_guidance, "style_guidance");

    std::string directives_block;
    nb::list items = snapshot(directives);
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n == 0) directives_block = "(none)";
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) directives_block.push_back('\n');
        st::append_int(directives_block, static_cast<long long>(i + 1));
        directives_block.append(". ");
        sp::append_text_form(directives_block, PyList_GET_ITEM(items.ptr(), i));
    }

    std::string insights_block;
    items = snapshot(insights);
    n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle record = PyList_GET_ITEM(items.ptr(), i);
        nb::object id = sp::get_item(record, g_id);
        nb::object text = sp::get_item(record, g_text);
        if (i) insights_block.push_back('\n');
        insights_block.push_back('[');
        sp::append_text_form(insights_block, id);
        insights_block.append("]: ");
        sp::append_text_form(insights_block, text);
    }

    std::string limit_text;
    sp::append_text_form(limit_text, limit);

    std::string guidance_block, scratch;
    if (!style_guidance.is_none()) {
        std::string_view g = st::strip_utf8(sp::utf8(style_guidance, scratch));
        if (!g.empty()) {
            guidance_block = "\n- ";
            guidance_block.append(g);
        }
    }

    const std::array<std::string_view, 4> values{directives_block, insights_block, limit_text,
                                                 guidance_block};
    std::string system;
    system_template().render(system, values);
    return sp::prompt_pair(sp::from_utf8(system), g_user_message);
}

// The smallest text of `ids` by code point, or "" when it holds none.
nb::object fallback_id(nb::handle ids) {
    nb::object best = nb::str("");
    bool found = false;
    nb::object it = nb::steal(PyObject_GetIter(ids.ptr()));
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

nb::list parse_evolution_output(nb::handle response, nb::handle insight_ids) {
    sp::require_str(response, "response");
    if (!PyAnySet_Check(insight_ids.ptr()))
        throw nb::type_error((std::string("insight_ids must be set or frozenset, not ") +
                              Py_TYPE(insight_ids.ptr())->tp_name).c_str());

    nb::list result;
    nb::handle logger(g_logger);
    nb::object decoded = sp::decode_json_answer(response);
    if (!decoded.is_valid()) {
        sp::warn(logger, kDecodeFailed, "response_preview", sp::preview(response));
        return result;
    }
    if (!PyDict_Check(decoded.ptr())) {
        sp::warn(logger, kNotObject, "type", nb::str(sp::json_type_name(decoded)));
        return result;
    }
    PyObject *proposed = PyDict_GetItemWithError(decoded.ptr(), g_proposed);  // borrowed
    if (!proposed) {
        if (PyErr_Occurred()) throw nb::python_error();
        return result;
    }
    if (!PyList_Check(proposed)) {
        sp::warn(logger, kNotList, "type", nb::str(sp::json_type_name(proposed)));
        return result;
    }

    // The decoded value belongs to this call alone, so its items may be
    // borrowed while it lives.
    nb::object fallback;
    Py_ssize_t n = PyList_GET_SIZE(proposed);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(proposed, i);
        if (!PyDict_Check(item)) continue;
        PyObject *text = PyDict_GetItemWithError(item, g_text);
        if (!text) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        if (!PyUnicode_Check(text)) continue;
        st::Range t = st::strip(sp::code_points(text));
        if (t.empty()) continue;

        nb::object source;
        PyObject *id = PyDict_GetItemWithError(item, g_source_insight_id);
        if (!id && PyErr_Occurred()) throw nb::python_error();
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

}  // namespace

NB_MODULE(evolution, m) {
    sp::init();
    m.doc() = "Directive evolution: the prompt that derives new rules from insights, and its parser.";

    g_id = sp::intern("id");
    g_text = sp::intern("text");
    g_proposed = sp::intern("proposed");
    g_source_insight_id = sp::intern("source_insight_id");
    g_user_message = sp::from_utf8(kUserMessage).release().ptr();
    g_frozen_error = nb::object(nb::module_::import_("dataclasses").attr("FrozenInstanceError"))
                         .release()
                         .ptr();
    (void)system_template();

    nb::object logger = sp::get_logger("sorvel_layer._internal.evolution");
    g_logger = logger.inc_ref().ptr();
    m.attr("logger") = logger;
    m.attr("_EVOLUTION_SYSTEM") = sp::from_utf8(kSystem);

    nb::class_<DirectiveProposal> cls(m, "DirectiveProposal", nb::is_final(),
                                      nb::sig("@typing.final\nclass DirectiveProposal()"),
                                      "One proposed directive and the id of the insight it came from.");
    cls.def(nb::init<nb::str, nb::str>(), "text"_a, "source_insight_id"_a)
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
            nb::sig("def __eq__(self, other: object, /) -> bool"))
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
        .def("__reduce__",
             [](const DirectiveProposal &p) {
                 return nb::make_tuple(nb::type<DirectiveProposal>(),
                                       nb::make_tuple(p.text, p.source_insight_id));
             })
        .def(
            "__setattr__",
            [](nb::handle, nb::str name, nb::handle) {
                PyErr_Format(g_frozen_error, "cannot assign to field %R", name.ptr());
                throw nb::python_error();
            },
            nb::sig("def __setattr__(self, name: str, value: object, /) -> None"))
        .def(
            "__delattr__",
            [](nb::handle, nb::str name) {
                PyErr_Format(g_frozen_error, "cannot delete field %R", name.ptr());
                throw nb::python_error();
            },
            nb::sig("def __delattr__(self, name: str, /) -> None"));
    cls.attr("__match_args__") = nb::make_tuple("text", "source_insight_id");
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    sp::set_dataclass_fields(cls, nb::make_tuple(nb::make_tuple("text", str_type),
                                                 nb::make_tuple("source_insight_id", str_type)));

    m.def("build_evolution_prompt", &build_evolution_prompt, "insights"_a, "directives"_a,
          "max_per_cycle"_a, "style_guidance"_a = nb::none(),
          nb::sig("def build_evolution_prompt(insights: list[dict[str, object]], "
                  "directives: list[str], max_per_cycle: int | float, "
                  "style_guidance: str | None = None) -> tuple[str, list[dict[str, str]]]"),
          "Builds the (system prompt, [user message]) pair that asks for at most\n"
          "`max_per_cycle` new directives derived from `insights`.\n\n"
          "`insights` is a list of mappings, each read for its \"id\" and \"text\"\n"
          "keys; `directives` is a list of the agent's active directive texts;\n"
          "`max_per_cycle` an integer (a float is truncated toward zero).");
    m.def("parse_evolution_output", &parse_evolution_output, "response"_a, "insight_ids"_a,
          nb::sig("def parse_evolution_output(response: str, "
                  "insight_ids: set[str] | frozenset[str]) -> list[DirectiveProposal]"),
          "The proposals of the model's JSON answer, in its order. Never fails on the\n"
          "answer: a bad one logs a warning and gives an empty list.");

    m.attr("__all__") = sp::names({"build_evolution_prompt", "parse_evolution_output"});
}
