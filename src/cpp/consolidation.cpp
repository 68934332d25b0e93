// consolidation: the prompt that asks the model for one insight across a
// batch of memories, and the light cleaning of its free-text answer.
//
// The three public limits are copies of the default tuning record's values,
// taken once at load; the builder itself applies none of them.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/memories.hpp"

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

const st::Template &user_template() {
    static const st::Template t(kUser, {"count", "formatted_memories"});
    return t;
}

nb::tuple build_consolidation_prompt(nb::handle memories) {
    return sp::prompt_pair(g_system, sp::render_memories(memories, user_template(), false));
}

}  // namespace

NB_MODULE(consolidation, m) {
    sp::init();
    m.doc() = "Consolidation of a batch of memories into one insight: prompt and answer cleaning.";

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
          "across `memories`, rendered whole and in list order.\n\n"
          "`memories` is a list of mappings; each is read for its \"content\" (a\n"
          "text, or a map written as one line of JSON), \"event_type\" and\n"
          "\"created_at\" keys (any value, by its text form). Other keys are ignored.");
    m.def("parse_consolidation_output", &sp::clean_free_text, nb::arg("response"),
          nb::sig("def parse_consolidation_output(response: str) -> str"),
          "The model's answer without outer white space, one code fence and then one\n"
          "pair of double quotes; may be empty.");

    m.attr("__all__") = sp::names({"build_consolidation_prompt", "parse_consolidation_output",
                                   "MAX_CONSOLIDATION_INPUTS",
                                   "DEFAULT_CONSOLIDATION_MIN_SALIENCE", "TIER2_DEDUP_THRESHOLD"});
}
