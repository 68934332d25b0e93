// common/memories.hpp: the numbered lines of memory records that the
// consolidation and journal prompts show, filled into their user template.
#pragma once

#include "common/py.hpp"

namespace sorvel::py {

/// Interns the record keys; called by init().
void init_memory_keys();

/// Fills `user` ({count}, {formatted_memories}) with the records of the list
/// `memories`, one line each, numbered from 1 in list order:
///   "[n] (event_type, created_at): content"
/// or, with `with_salience`,
///   "[n] (event_type, salience=s, created_at): content"
/// where s is str(salience), or "N/A" when the key is absent. A map content
/// is written as one-line JSON, anything else in its plain text form. A
/// missing required key raises KeyError(key); a non-list raises TypeError.
nb::str render_memories(nb::handle memories, const text::Template &user, bool with_salience);

}  // namespace sorvel::py
