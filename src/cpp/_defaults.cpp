// _defaults: the flat constants of the older configuration, kept importable.
// Each is bound once at load, either to a field of a default TuningBundle
// (the balanced profile, whatever profile an agent uses) or to the very
// object of the same name in _invariants. Transitional: new code reads the
// agent's own record and _invariants.
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>

#include "common/py.hpp"

namespace nb = nanobind;

namespace {

constexpr const char *kInvariants = "sorvel_layer._internal._invariants";
constexpr const char *kTuningBundle = "sorvel_layer._internal.tuning_bundle";

struct Legacy {
    const char *name;
    const char *field;  // of TuningBundle; null: the same name in _invariants
};

// In the order they are bound and exported.
constexpr Legacy kLegacy[] = {
    {"SALIENCE_REINFORCEMENT_WEIGHT", "salience_reinforcement_weight"},
    {"SALIENCE_EMOTION_WEIGHT", "salience_emotion_weight"},
    {"SALIENCE_RECENCY_WEIGHT", "salience_recency_weight"},
    {"SALIENCE_REINFORCEMENT_CAP", "salience_reinforcement_cap"},
    {"SALIENCE_RECENCY_HALF_LIFE_DAYS", "salience_recency_half_life_days"},
    {"DECAY_FACTOR", "decay_factor"},
    {"DIRECTIVE_PROVISIONAL_DAYS", "directive_provisional_days"},
    {"DIRECTIVE_DECAY_USAGE_THRESHOLD", "directive_decay_usage_threshold"},
    {"DIRECTIVE_DECAY_AGE_DAYS", "directive_decay_age_days"},
    {"DIRECTIVE_MAX_VOLUME", "directive_max_volume"},
    {"DIRECTIVE_DEDUP_COSINE_THRESHOLD", nullptr},
    {"CRITIC_MAX_DIRECTIVES", "critic_max_directives"},
    {"CRITIC_FLAG_TAXONOMY", nullptr},
    {"COHERENCE_THRESHOLD", "coherence_threshold"},
    {"ENTROPY_CHURN_WEIGHT", "entropy_churn_weight"},
    {"ENTROPY_VOLUME_WEIGHT", "entropy_volume_weight"},
    {"ENTROPY_STALENESS_WEIGHT", "entropy_staleness_weight"},
    {"ENTROPY_VOLUME_CAP", "entropy_volume_cap"},
    {"ENTROPY_STALE_DAYS", "entropy_stale_days"},
    {"ENTROPY_CYCLE_HOURS", "entropy_cycle_hours"},
    {"JOURNAL_MAX_CONTENT_SIZE", "journal_max_content_size"},
    {"JOURNAL_MAX_MEMORIES", "journal_max_memories"},
    {"JOURNAL_MIN_MEMORIES", "journal_min_memories"},
    {"DREAM_MAX_STEPS_SIZE", "dream_max_steps_size"},
    {"DREAM_EVOLVE_MAX_PER_CYCLE", "dream_evolve_max_per_cycle"},
    {"DREAM_EVOLVE_TEMPERATURE", "dream_evolve_temperature"},
    {"DREAM_VALID_STATUSES", nullptr},
};

// Loading fails with an ImportError whose message names what is missing.
// (A Python error escaping the initialiser would be reported under a generic
// message with the detail only in its cause, hence the plain exception.)
[[noreturn]] void missing(const std::string &message) { throw std::runtime_error(message); }

nb::module_ import_module(const char *name) {
    try {
        return nb::module_::import_(name);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        missing(nb::str(e.value()).c_str());
    }
}

// getattr(source, name), failing as `from source import name` does.
nb::object import_name(nb::handle source, const char *name, const char *source_name) {
    PyObject *v = PyObject_GetAttrString(source.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    missing(std::string("cannot import name '") + name + "' from '" + source_name + "'");
}

}  // namespace

NB_MODULE(_defaults, m) {
    sorvel::py::init();
    m.doc() = "Legacy flat constants, re-exported from the tuning record's balanced "
              "defaults and from _invariants. Transitional.";

    nb::module_ invariants = import_module(kInvariants);
    nb::dict from_invariants;
    for (const char *name :
         {"CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"})
        from_invariants[name] = import_name(invariants, name, kInvariants);

    nb::module_ tuning = import_module(kTuningBundle);
    nb::object bundle_type = import_name(tuning, "TuningBundle", kTuningBundle);
    nb::object defaults = bundle_type();
    m.attr("_AD") = defaults;

    for (const Legacy &c : kLegacy)
        m.attr(c.name) = c.field ? import_name(defaults, c.field, "TuningBundle")
                                 : nb::object(from_invariants[c.name]);

    nb::list all;
    for (const Legacy &c : kLegacy) all.append(nb::str(c.name));
    m.attr("__all__") = all;
}
