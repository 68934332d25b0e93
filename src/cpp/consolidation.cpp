// consolidation: the prompt that asks the model for one insight across a
// batch of memories, and the light cleaning of its free-text answer.
//
// The three public limits are copies of the default tuning record's values,
// taken once at load; the builder itself applies none of them.
#include <nanobind/nanobind.h>

#include <array>
#include <string>
#include <string_view>

#include "common/py.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;
namespace st = sorvel::text;

namespace {

constexpr const char *kSystem =
    R"TXT(You are a memory consolidation engine for an AI agent. Your task is to synthesize patterns from a set of raw memories into a single insight.

Rules:
- Produce ONE concise insight (2-4 sentences).
- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the memories — not a summary.
- Do NOT list the memories or repeat them.
- Do NOT include preamble, explanation, or meta-commentary.
- Respond with ONLY the insight text.
)TXT";

constexpr const char *kUser =
    R"TXT(Below are {count} memories captured by an AI agent. Identify the most significant pattern, insight, or connection.

Memories:
{formatted_memories}
)TXT";

// Set once while the module loads, never changed afterwards.
PyObject *g_system = nullptr;
PyObject *g_content = nullptr;
PyObject *g_event_type = nullptr;
PyObject *g_created_at = nullptr;

const st::Template &user_template() {
    static const st::Template t(kUser, {"count", "formatted_memories"});
    return t;
}

// "[n] (event_type, created_at): content" for one record.
// True when `v` is a str of ASCII code points only (its text form is then
// the same bytes in UTF-8 and ASCII).
bool ascii_text(nb::handle v) noexcept {
    return PyUnicode_Check(v.ptr()) && PyUnicode_IS_ASCII(v.ptr());
}

// Sets `ascii` to false when a value written may hold other code points.
void append_record(std::string &out, std::size_t number, nb::handle record, bool &ascii) {
    nb::object content = sp::get_item(record, g_content);
    nb::object event_type = sp::get_item(record, g_event_type);
    nb::object created_at = sp::get_item(record, g_created_at);
    out.push_back('[');
    st::append_int(out, static_cast<long long>(number));
    out.append("] (");
    sp::append_text_form(out, event_type);
    out.append(", ");
    sp::append_text_form(out, created_at);
    out.append("): ");
    ascii = ascii && ascii_text(event_type) && ascii_text(created_at) &&
            (ascii_text(content) || PyDict_Check(content.ptr()));  // JSON escapes the rest
    if (PyDict_Check(content.ptr()))
        sp::append_json(out, content);
    else
        sp::append_text_form(out, content);
}

nb::tuple build_consolidation_prompt(nb::handle memories) {
    sp::require_list(memories, "memories");
    // A private snapshot: the records are read from a list nobody else holds.
    nb::list records = nb::steal<nb::list>(
        PyList_GetSlice(memories.ptr(), 0, PY_SSIZE_T_MAX));
    if (!records.is_valid()) throw nb::python_error();
    std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(records.ptr()));

    std::string count;
    st::append_int(count, static_cast<long long>(n));
    const std::array<std::string_view, 2> values{count, {}};
    std::string message;
    message.reserve(n * 400);
    bool ascii = true;
    user_template().render_with(message, values, 1, [&](std::string &out) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i) out.push_back('\n');
            append_record(out, i + 1,
                          PyList_GET_ITEM(records.ptr(), static_cast<Py_ssize_t>(i)), ascii);
        }
    });
    return sp::prompt_pair(g_system, ascii ? sp::from_ascii(message) : sp::from_utf8(message));
}

nb::str parse_consolidation_output(nb::handle response) {
    sp::require_str(response, "response");
    st::Range r = st::clean_answer(sp::code_points(response), st::Unwrap::Quotes);
    return sp::substring(response, r);
}

}  // namespace

NB_MODULE(consolidation, m) {
    sp::init();
    m.doc() = "Consolidation of a batch of memories into one insight: prompt and answer cleaning.";

    g_content = sp::intern("content");
    g_event_type = sp::intern("event_type");
    g_created_at = sp::intern("created_at");
    g_system = sp::from_utf8(kSystem).release().ptr();
    (void)user_template();

    nb::object bundle_type =
        nb::module_::import_("sorvel_layer._internal.tuning_bundle").attr("TuningBundle");
    nb::object defaults = bundle_type();
    m.attr("_COMPAT_AD") = defaults;
    m.attr("MAX_CONSOLIDATION_INPUTS") = defaults.attr("consolidation_max_inputs");
    m.attr("DEFAULT_CONSOLIDATION_MIN_SALIENCE") = defaults.attr("consolidation_min_salience");
    m.attr("TIER2_DEDUP_THRESHOLD") = defaults.attr("tier2_dedup_threshold");

    m.attr("_CONSOLIDATION_SYSTEM") = nb::handle(g_system);
    m.attr("_CONSOLIDATION_USER") = sp::from_utf8(kUser);
    m.attr("logger") = sp::get_logger("sorvel_layer._internal.consolidation");

    m.def("build_consolidation_prompt", &build_consolidation_prompt, nb::arg("memories"),
          nb::sig("def build_consolidation_prompt(memories: list[dict[str, object]])"
                  " -> tuple[str, list[dict[str, str]]]"),
          "Builds the (system prompt, [user message]) pair that asks for one insight\n"
          "across `memories`, rendered whole and in list order.");
    m.def("parse_consolidation_output", &parse_consolidation_output, nb::arg("response"),
          nb::sig("def parse_consolidation_output(response: str) -> str"),
          "The model's answer without outer white space, one code fence and then one\n"
          "pair of double quotes; may be empty.");

    m.attr("__all__") = sp::names({"build_consolidation_prompt", "parse_consolidation_output",
                                   "MAX_CONSOLIDATION_INPUTS",
                                   "DEFAULT_CONSOLIDATION_MIN_SALIENCE", "TIER2_DEDUP_THRESHOLD"});
}
