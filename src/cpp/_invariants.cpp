// _invariants: taxonomies and thresholds fixed by the architecture. They do
// not vary by profile; changing one is a breaking change.
#include <nanobind/nanobind.h>

#include "common/py.hpp"

namespace nb = nanobind;

namespace {

nb::frozenset frozen_texts(std::initializer_list<const char *> items) {
    nb::list values;
    for (const char *item : items) values.append(nb::str(item));
    return nb::frozenset(values);
}

}  // namespace

NB_MODULE(_invariants, m) {
    sorvel::py::init();
    m.doc() = "Tier-3 configuration: fixed taxonomies and contractual thresholds.";

    m.attr("CRITIC_FLAG_TAXONOMY") = frozen_texts(
        {"drift", "contradiction", "safety", "tone", "scope", "hallucination", "off_topic"});
    m.attr("DIRECTIVE_DEDUP_COSINE_THRESHOLD") = nb::float_(0.95);
    m.attr("DREAM_VALID_STATUSES") = frozen_texts({"success", "partial", "failed"});
    m.attr("__all__") = sorvel::py::names(
        {"CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"});
}
