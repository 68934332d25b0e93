// journal: the prompt that asks the model for one narrative journal entry
// over memories given oldest first, and the cleaning of its answer.
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
    R"TXT(You are a journal synthesis engine for an AI agent. Your task is to produce a concise, cohesive journal entry from a set of memories.

Rules:
- Synthesize the memories into a NARRATIVE — connect themes, note patterns, surface tensions or contradictions.
- Do NOT list or enumerate the memories. This is a journal, not a log.
- Keep the output concise: aim for 3-8 sentences.
- Do NOT include preamble, explanation, headers, or meta-commentary.
- Do NOT wrap the output in quotes or markdown code fences.
- Respond with ONLY the journal entry text.
)TXT";

constexpr const char *kUser =
    R"TXT(Below are {count} memories captured by an AI agent. Synthesize them into a single journal entry that captures the key themes, patterns, and connections.

Memories (sorted by creation time):
{formatted_memories}
)TXT";

// Set once while the module loads, never changed afterwards.
PyObject *g_system = nullptr;
PyObject *g_content = nullptr;
PyObject *g_event_type = nullptr;
PyObject *g_created_at = nullptr;
PyObject *g_salience = nullptr;

const st::Template &user_template() {
    static const st::Template t(kUser, {"count", "formatted_memories"});
    return t;
}

// "[n] (event_type, salience=s, created_at): content" for one record.
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
    nb::object salience;
    bool has_salience = sp::get_optional_item(record, g_salience, salience);
    out.push_back('[');
    st::append_int(out, static_cast<long long>(number));
    out.append("] (");
    sp::append_text_form(out, event_type);
    out.append(", salience=");
    if (!has_salience)
        out.append("N/A");
    else if (PyFloat_CheckExact(salience.ptr()))
        st::append_float_repr(out, PyFloat_AS_DOUBLE(salience.ptr()));  // as str(float)
    else
        sp::append_text_form(out, salience);  // str(): 1, None, True, ...
    out.append(", ");
    sp::append_text_form(out, created_at);
    out.append("): ");
    ascii = ascii && ascii_text(event_type) && ascii_text(created_at) &&
            (ascii_text(content) || PyDict_Check(content.ptr())) &&  // JSON escapes the rest
            (!has_salience || PyFloat_CheckExact(salience.ptr()) ||
             PyLong_CheckExact(salience.ptr()) || salience.is_none() ||
             PyBool_Check(salience.ptr()) || ascii_text(salience));
    if (PyDict_Check(content.ptr()))
        sp::append_json(out, content);
    else
        sp::append_text_form(out, content);
}

nb::tuple build_journal_prompt(nb::handle memories) {
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

nb::str parse_journal_output(nb::handle response) {
    sp::require_str(response, "response");
    st::Range r = st::clean_answer(sp::code_points(response), st::Unwrap::Quotes);
    return sp::substring(response, r);
}

}  // namespace

NB_MODULE(journal, m) {
    sp::init();
    m.doc() = "Journal synthesis over memories given oldest first: prompt and answer cleaning.";

    g_content = sp::intern("content");
    g_event_type = sp::intern("event_type");
    g_created_at = sp::intern("created_at");
    g_salience = sp::intern("salience");
    g_system = sp::from_utf8(kSystem).release().ptr();
    (void)user_template();

    m.attr("_JOURNAL_SYSTEM") = nb::handle(g_system);
    m.attr("_JOURNAL_USER") = sp::from_utf8(kUser);
    m.attr("logger") = sp::get_logger("sorvel_layer._internal.journal");

    m.def("build_journal_prompt", &build_journal_prompt, nb::arg("memories"),
          nb::sig("def build_journal_prompt(memories: list[dict[str, object]])"
                  " -> tuple[str, list[dict[str, str]]]"),
          "Builds the (system prompt, [user message]) pair that asks for one journal\n"
          "entry over `memories`, rendered whole and in list order (oldest first).");
    m.def("parse_journal_output", &parse_journal_output, nb::arg("response"),
          nb::sig("def parse_journal_output(response: str) -> str"),
          "The model's answer without outer white space, one code fence and then one\n"
          "pair of double quotes; may be empty.");

    m.attr("__all__") = sp::names({"build_journal_prompt", "parse_journal_output"});
}
