// consolidation: the prompt that asks the model for one insight across a
// batch of memories, and the light cleaning of its free-text answer.
//
// The three public limits are copies of the default tuning record's values,
// taken once at load; the builder itself applies none of them.
#include <nanobind/nanobind.h>

#include "common/memories.hpp"
#include "common/py.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;

namespace {

constexpr const char kSystem[] =
    R"TXT(You are a memory consolidation engine for an AI agent. Your task is to synthesize patterns from a set of raw memories into a single insight.

Rules:
- Produce ONE concise insight (2-4 sentences).
- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the memories — not a summary.
- Do NOT list the memories or repeat them.
- Do NOT include preamble, explanation, or meta-commentary.
- Respond with ONLY the insight text.
)TXT";

constexpr const char kUser[] =
    R"TXT(Below are {count} memories captured by an AI agent. Identify the most significant pattern, insight, or connection.

Memories:
{formatted_memories}
)TXT";

}  // namespace

NB_MODULE(consolidation, m) {
    sp::init();
    m.doc() = "Consolidation of a batch of memories into one insight: prompt and answer cleaning.";

    nb::object bundle_type =
        nb::module_::import_("sorvel_layer._internal.tuning_bundle").attr("TuningBundle");
    nb::object defaults = bundle_type();
    m.attr("_COMPAT_AD") = defaults;
    m.attr("MAX_CONSOLIDATION_INPUTS") = defaults.attr("consolidation_max_inputs");
    m.attr("DEFAULT_CONSOLIDATION_MIN_SALIENCE") = defaults.attr("consolidation_min_salience");
    m.attr("TIER2_DEDUP_THRESHOLD") = defaults.attr("tier2_dedup_threshold");

    sp::define_memory_step(
        m, {.step = "consolidation",
            .system = kSystem,
            .user = kUser,
            .build_purpose = R"DOC(Builds the (system prompt, [user message]) pair that asks for one insight
across `memories`, rendered whole and in list order.)DOC",
            .with_salience = false});

    m.attr("__all__") = sp::names({"build_consolidation_prompt", "parse_consolidation_output",
                                   "MAX_CONSOLIDATION_INPUTS",
                                   "DEFAULT_CONSOLIDATION_MIN_SALIENCE", "TIER2_DEDUP_THRESHOLD"});
}
