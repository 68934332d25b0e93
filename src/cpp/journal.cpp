// journal: the prompt that asks the model for one narrative journal entry
// over memories given oldest first, and the cleaning of its answer.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/memories.hpp"

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

const st::Template &user_template() {
    static const st::Template t(kUser, {"count", "formatted_memories"});
    return t;
}

nb::tuple build_journal_prompt(nb::handle memories) {
    return sp::prompt_pair(g_system, sp::render_memories(memories, user_template(), true));
}

}  // namespace

NB_MODULE(journal, m) {
    sp::init();
    m.doc() = "Journal synthesis over memories given oldest first: prompt and answer cleaning.";

    g_system = sp::from_utf8(kSystem).release().ptr();
    (void)user_template();

    m.attr("_JOURNAL_SYSTEM") = nb::handle(g_system);
    m.attr("_JOURNAL_USER") = sp::from_utf8(kUser);
    m.attr("logger") = sp::get_logger("sorvel_layer._internal.journal");

    m.def("build_journal_prompt", &build_journal_prompt, nb::arg("memories"),
          nb::sig("def build_journal_prompt(memories: list[dict[str, object]])"
                  " -> tuple[str, list[dict[str, str]]]"),
          "Builds the (system prompt, [user message]) pair that asks for one journal\n"
          "entry over `memories`, rendered whole and in list order (oldest first).\n\n"
          "`memories` is a list of mappings; each is read for its \"content\" (a\n"
          "text, or a map written as one line of JSON), \"event_type\" and\n"
          "\"created_at\" keys (any value, by its text form). Other keys are ignored.");
    m.def("parse_journal_output", &sp::clean_free_text, nb::arg("response"),
          nb::sig("def parse_journal_output(response: str) -> str"),
          "The model's answer without outer white space, one code fence and then one\n"
          "pair of double quotes; may be empty.");

    m.attr("__all__") = sp::names({"build_journal_prompt", "parse_journal_output"});
}
