// common/memories.hpp: the dream-cycle steps over a list of memory records
// (consolidation, journal): one prompt builder that shows the records as
// numbered lines in a user template, and one free-text answer cleaner.
#pragma once

#include <nanobind/nanobind.h>

namespace sorvel::py {

namespace nb = nanobind;

/// What sets one such step apart from the other. Its module is named as the
/// step; the names follow from it: build_<step>_prompt, parse_<step>_output,
/// _<STEP>_SYSTEM and _<STEP>_USER (the two texts), and the module's logger.
struct MemoryStep {
    const char *step;           // "consolidation", "journal"
    const char *system;         // the system prompt
    const char *user;           // the user template: {count}, {formatted_memories}
    const char *build_purpose;  // first line(s) of the builder's docstring
    bool with_salience;
};

/// Defines the builder and the parser of `step` on `m`, with the two texts and
/// the logger as attributes. Call once, while the module loads.
///
/// The builder takes a list of mappings, in the order to show, each read for
/// "content" (a map is written as one-line JSON, anything else by its text
/// form), "event_type" and "created_at", and with `with_salience` also the
/// optional "salience" (str() of it, repr of a float, "N/A" when absent):
///   "[n] (event_type, created_at): content"
///   "[n] (event_type, salience=s, created_at): content"
/// A missing required key raises KeyError(key); a non-list raises TypeError.
void define_memory_step(nb::module_ &m, const MemoryStep &step);

}  // namespace sorvel::py
