// journal: the prompt that asks the model for one narrative journal entry
// over memories given oldest first, and the cleaning of its answer.
#include <nanobind/nanobind.h>

#include "common/memories.hpp"
#include "common/py.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;

namespace {

constexpr const char kSystem[] =
    R"TXT(You are a journal synthesis engine for an AI agent. Your task is to produce a concise, cohesive journal entry from a set of memories.

Rules:
- Synthesize the memories into a NARRATIVE — connect themes, note patterns, surface tensions or contradictions.
- Do NOT list or enumerate the memories. This is a journal, not a log.
- Keep the output concise: aim for 3-8 sentences.
- Do NOT include preamble, explanation, headers, or meta-commentary.
- Do NOT wrap the output in quotes or markdown code fences.
- Respond with ONLY the journal entry text.
)TXT";

constexpr const char kUser[] =
    R"TXT(Below are {count} memories captured by an AI agent. Synthesize them into a single journal entry that captures the key themes, patterns, and connections.

Memories (sorted by creation time):
{formatted_memories}
)TXT";

}  // namespace

NB_MODULE(journal, m) {
    sp::init();
    m.doc() = "Journal synthesis over memories given oldest first: prompt and answer cleaning.";

    sp::define_memory_step(
        m, {.step = "journal",
            .system = kSystem,
            .user = kUser,
            .build_purpose = R"DOC(Builds the (system prompt, [user message]) pair that asks for one journal
entry over `memories`, rendered whole and in list order (oldest first).)DOC",
            .with_salience = true});

    m.attr("__all__") = sp::names({"build_journal_prompt", "parse_journal_output"});
}
