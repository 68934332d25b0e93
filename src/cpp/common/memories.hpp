// common/memories.hpp: the dream-cycle steps over a list of memory records
// (consolidation, journal): one prompt builder that shows the records as
// numbered lines in a user template, and one free-text answer cleaner.
#pragma once

#include <nanobind/nanobind.h>

namespace sorvel::py {

namespace nb = nanobind;

/// What sets one such step apart from the other.
struct MemoryStep {
    const char *system;           // the system prompt
    const char *user;             // the user template: {count}, {formatted_memories}
    const char *system_attr;      // module attribute names of the two texts
    const char *user_attr;
    const char *logger;           // the module's logger name
    const char *build;            // the function names
    const char *parse;
    const char *build_purpose;    // first line(s) of the builder's docstring
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
