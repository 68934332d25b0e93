// common/memories.cpp: memory records rendered for the dream-cycle prompts.
#include "common/memories.hpp"

#include <array>
#include <string>

#include "common/format.hpp"
#include "common/json.hpp"
#include "common/py.hpp"
#include "common/template.hpp"

namespace sorvel::py {

namespace {

// Set once by define_memory_step() while the module loads.
struct State {
    PyObject *system;
    Template user;
    bool with_salience;
    PyObject *event_type, *created_at, *salience;
};
const State *g = nullptr;

// True when `v` is a str of ASCII code points only (its text form is then
// the same bytes in UTF-8 and ASCII).
bool ascii_text(PyObject *v) noexcept {
    return PyUnicode_Check(v) && PyUnicode_IS_ASCII(v);
}

// str(v) of these is ASCII whatever their value.
bool ascii_form(PyObject *v) noexcept {
    return PyFloat_CheckExact(v) || PyLong_CheckExact(v) || v == Py_None || PyBool_Check(v) ||
           ascii_text(v);
}

// Appends one record's line; clears `ascii` when a value written may hold
// other code points.
void append_record(std::string &out, std::size_t number, nb::handle record, bool &ascii) {
    nb::object content = get_item(record, keys().content);
    nb::object event_type = get_item(record, g->event_type);
    nb::object created_at = get_item(record, g->created_at);
    out.push_back('[');
    append_int(out, static_cast<long long>(number));
    out.append("] (");
    append_text_form(out, event_type);
    if (g->with_salience) {
        nb::object salience;
        out.append(", salience=");
        if (!get_optional_item(record, g->salience, salience)) {
            out.append("N/A");
        } else if (PyFloat_CheckExact(salience.ptr())) {
            append_float_repr(out, PyFloat_AS_DOUBLE(salience.ptr()));  // as str(float)
        } else {
            append_text_form(out, salience);  // str(): 1, None, True, ...
            ascii = ascii && ascii_form(salience.ptr());
        }
    }
    out.append(", ");
    append_text_form(out, created_at);
    out.append("): ");
    bool map = PyDict_Check(content.ptr());
    ascii = ascii && ascii_text(event_type.ptr()) && ascii_text(created_at.ptr()) &&
            (map || ascii_text(content.ptr()));  // JSON escapes the rest
    if (map)
        append_json(out, content);
    else
        append_text_form(out, content);
}

nb::str render_memories(nb::handle memories) {
    require_list(memories, "memories");
    // A private snapshot: Python code run while rendering (a __str__, a
    // mapping's __getitem__) cannot change the list under us.
    nb::list records = snapshot(memories);
    std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(records.ptr()));

    std::string count;
    append_int(count, static_cast<long long>(n));
    const std::array<std::string_view, 2> values{count, {}};
    std::string message;
    message.reserve(n * 400);
    bool ascii = true;
    g->user.render_with(message, values, 1, [&](std::string &out) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i) out.push_back('\n');
            append_record(out, i + 1, PyList_GET_ITEM(records.ptr(), static_cast<Py_ssize_t>(i)),
                          ascii);
        }
    });
    return ascii ? from_ascii(message) : from_utf8(message);
}

nb::tuple build_prompt(nb::handle memories) {
    return prompt_pair(g->system, render_memories(memories));
}

}  // namespace

void define_memory_step(nb::module_ &m, const MemoryStep &step) {
    g = new State{intern(step.system),  // immortal where interned strs are: no shared count
                  Template(step.user, {"count", "formatted_memories"}),
                  step.with_salience,
                  intern("event_type"),
                  intern("created_at"),
                  intern("salience")};

    const std::string name = step.step;
    std::string upper;
    for (char c : name) upper.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
    const std::string build = "build_" + name + "_prompt", parse = "parse_" + name + "_output";
    m.attr(("_" + upper + "_SYSTEM").c_str()) = nb::handle(g->system);
    m.attr(("_" + upper + "_USER").c_str()) = from_utf8(step.user);
    m.attr("logger") = get_logger(("sorvel_layer._internal." + name).c_str());

    std::string build_sig = "def " + build +
                            "(memories: list[dict[str, object]])"
                            " -> tuple[str, list[dict[str, str]]]";
    std::string build_doc = std::string(step.build_purpose) +
                            "\n\n"
                            "`memories` is a list of mappings; each is read for its \"content\" (a\n"
                            "text, or a map written as one line of JSON), \"event_type\" and\n"
                            "\"created_at\" keys (any value, by its text form). Other keys are ignored.";
    std::string parse_sig = "def " + parse + "(response: str) -> str";
    m.def(build.c_str(), &build_prompt, arg("memories"), nb::sig(build_sig.c_str()),
          build_doc.c_str());
    m.def(parse.c_str(), &clean_free_text, arg("response"), nb::sig(parse_sig.c_str()),
          R"DOC(The model's answer without outer white space, one code fence and then one
pair of double quotes; may be empty.)DOC");
}

}  // namespace sorvel::py
