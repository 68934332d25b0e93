// tuning_bundle: the immutable record of every admin-tunable value, with its
// six profiles. A record behaves as a frozen dataclass would: keyword (or
// positional) construction, read-only fields, value equality and hashing,
// the dataclass printed form, pickling, and replace().
//
// The fields are declared once, in TUNING_FIELDS; the struct, the field table
// and from it every generic operation (construction, reading, equality, hash,
// printed form, pickling) follow that single list.
#include <nanobind/nanobind.h>

#include <array>
#include <bit>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/format.hpp"
#include "common/py.hpp"
#include "common/record.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using Real = double;
using Integer = std::int64_t;
using Flag = bool;
using Text = std::optional<std::string>;  // UTF-8, lone surrogates kept

// Declaration order is the order of the constructor's parameters, of
// comparison and of the printed form. The defaults are the balanced profile.
#define TUNING_FIELDS(X)                                   \
    X(Real, salience_reinforcement_weight, 0.4)            \
    X(Real, salience_emotion_weight, 0.4)                  \
    X(Real, salience_recency_weight, 0.2)                  \
    X(Integer, salience_reinforcement_cap, 5)              \
    X(Real, salience_recency_half_life_days, 7.0)          \
    X(Real, decay_factor, 0.9)                             \
    X(Integer, weaken_days, 30)                            \
    X(Integer, archive_days, 90)                           \
    X(Real, emotional_immunity_threshold, 0.7)             \
    X(Integer, directive_provisional_days, 7)              \
    X(Integer, directive_decay_usage_threshold, 2)         \
    X(Integer, directive_decay_age_days, 7)                \
    X(Integer, directive_max_volume, 50)                   \
    X(Integer, critic_max_directives, 20)                  \
    X(Real, coherence_threshold, 0.6)                      \
    X(Real, entropy_churn_weight, 0.4)                     \
    X(Real, entropy_volume_weight, 0.4)                    \
    X(Real, entropy_staleness_weight, 0.2)                 \
    X(Real, entropy_volume_cap, 50.0)                      \
    X(Integer, entropy_stale_days, 30)                     \
    X(Integer, entropy_cycle_hours, 24)                    \
    X(Integer, journal_max_content_size, 50000)            \
    X(Integer, journal_max_memories, 50)                   \
    X(Integer, journal_min_memories, 2)                    \
    X(Integer, dream_max_steps_size, 100000)               \
    X(Integer, dream_evolve_max_per_cycle, 3)              \
    X(Real, dream_evolve_temperature, 0.2)                 \
    X(Text, dream_evolve_style_guidance, std::nullopt)     \
    X(Integer, consolidation_max_inputs, 20)               \
    X(Real, consolidation_min_salience, 0.4)               \
    X(Real, tier2_dedup_threshold, 0.95)                   \
    X(Integer, max_context_chars, 100000)                  \
    X(Flag, enable_fact_extraction, false)                 \
    X(Real, fact_extraction_temperature, 0.1)              \
    X(Integer, fact_extraction_max_per_memory, 8)          \
    X(Integer, facts_context_slot_chars, 4000)             \
    X(Flag, critic_verifies_grounding, false)              \
    X(Integer, grounding_max_claims, 6)                    \
    X(Real, grounding_semantic_threshold, 0.6)             \
    X(Real, sorvel_memory_diversity_weight, 0.25)          \
    X(Real, sorvel_directive_coherence_weight, 0.2)        \
    X(Real, sorvel_dream_health_weight, 0.25)              \
    X(Real, sorvel_reinforcement_ratio_weight, 0.2)        \
    X(Real, sorvel_journal_frequency_weight, 0.1)          \
    X(Real, sorvel_journal_target_days, 7.0)               \
    X(Real, health_sorvel_healthy_threshold, 0.65)         \
    X(Real, health_dream_success_healthy_threshold, 0.9)   \
    X(Integer, health_stagnant_capture_threshold_7d, 3)    \
    X(Real, health_stagnant_reinforcement_ratio, 0.05)     \
    X(Real, health_drifting_demotion_rate_threshold, 0.4)  \
    X(Real, health_overloaded_dream_failure_threshold, 0.3) \
    X(Integer, postgres_ivf_lists, 100)                    \
    X(Integer, postgres_ivf_threshold_rows, 1000)          \
    X(Integer, dream_phase_concurrency, 2)

struct TuningBundle {
#define DECLARE_FIELD(type, name, value) type name = value;
    TUNING_FIELDS(DECLARE_FIELD)
#undef DECLARE_FIELD
};

using Member = std::variant<Real TuningBundle::*, Integer TuningBundle::*, Flag TuningBundle::*,
                            Text TuningBundle::*>;

struct Field {
    std::string_view name;  // from a literal, so NUL-terminated as well
    Member member;
};

constexpr Field kFields[] = {
#define FIELD_ROW(type, name, value) Field{#name, &TuningBundle::name},
    TUNING_FIELDS(FIELD_ROW)
#undef FIELD_ROW
};
constexpr std::size_t kFieldCount = std::size(kFields);
static_assert(kFieldCount == 54);

// --- one value of each kind ----------------------------------------------------

// What a field read returns: a new reference, or null with an error set.
PyObject *to_python(Real v) noexcept { return PyFloat_FromDouble(v); }
PyObject *to_python(Integer v) noexcept { return PyLong_FromLongLong(v); }
PyObject *to_python(Flag v) noexcept { return Py_NewRef(v ? Py_True : Py_False); }
PyObject *to_python(const Text &v) noexcept {
    if (!v) return Py_NewRef(Py_None);
    return PyUnicode_DecodeUTF8(v->data(), static_cast<Py_ssize_t>(v->size()), "surrogatepass");
}

template <class T> constexpr const char *kTypeName = nullptr;
template <> constexpr const char *kTypeName<Real> = "float";
template <> constexpr const char *kTypeName<Integer> = "int";
template <> constexpr const char *kTypeName<Flag> = "bool";
template <> constexpr const char *kTypeName<Text> = "str | None";

using sorvel::py::Bools;
using sorvel::py::wrong_kind;

[[noreturn]] void out_of_range(const char *field, const char *what) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s is out of range of %s", field, what);
    throw nb::python_error();
}

// A real field takes a float or an integer and always holds a float. bool
// is a flag, not a number, and is refused by the numeric fields.
void store(Real &out, nb::handle v, const char *field) {
    PyObject *o = v.ptr();
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return;
    }
    if (!sorvel::py::is_integer(v, Bools::Refuse)) wrong_kind(field, "float or int", v);
    nb::object n = sorvel::py::require_integer(v, field, Bools::Refuse);
    out = PyLong_AsDouble(n.ptr());
    if (out == -1.0 && PyErr_Occurred()) out_of_range(field, "a float");
}

void store(Integer &out, nb::handle v, const char *field) {
    nb::object n = sorvel::py::require_integer(v, field, Bools::Refuse);
    long long x = PyLong_AsLongLong(n.ptr());
    if (x == -1 && PyErr_Occurred()) out_of_range(field, "a 64-bit integer");
    out = x;
}

void store(Flag &out, nb::handle v, const char *field) {
    if (!PyBool_Check(v.ptr())) wrong_kind(field, "bool", v);
    out = v.ptr() == Py_True;
}

void store(Text &out, nb::handle v, const char *field) {
    sorvel::py::require_optional_str(v, field);
    if (v.is_none()) {
        out.reset();
        return;
    }
    std::string scratch;
    out.emplace(sorvel::py::utf8(v, scratch));
}

// Equality: a NaN equals a NaN, so that every record equals itself and its
// copies (a hashable value must).
bool same(Real a, Real b) { return a == b || (a != a && b != b); }
template <class T> bool same(const T &a, const T &b) { return a == b; }

// Hash lanes agree with same(): 0.0 and -0.0 share one, every NaN another.
std::uint64_t lane(Real v) {
    if (v == 0.0) return 0;
    if (v != v) return 0x7ff8000000000000ULL;
    return std::bit_cast<std::uint64_t>(v);
}
std::uint64_t lane(Integer v) { return static_cast<std::uint64_t>(v); }
std::uint64_t lane(Flag v) { return v ? 1 : 0; }
std::uint64_t lane(const Text &v) {
    return v ? std::hash<std::string_view>{}(*v) : 0x5bd1e9955bd1e995ULL;
}

// Printed forms are Python's repr of the value.
void append_repr(std::string &out, Real v) { sorvel::py::append_float_repr(out, v); }
void append_repr(std::string &out, Integer v) { sorvel::text::append_int(out, v); }
void append_repr(std::string &out, Flag v) { out += v ? "True" : "False"; }
void append_repr(std::string &out, const Text &v) {
    if (!v) {
        out += "None";
        return;
    }
    nb::str s = sorvel::py::from_utf8(*v);
    PyObject *r = PyObject_Repr(s.ptr());
    if (!r) throw nb::python_error();
    nb::object keep = nb::steal(r);
    sorvel::py::append_utf8(out, keep);
}

// --- whole records ---------------------------------------------------------------

template <class Fn> decltype(auto) visit_field(const Field &f, Fn &&fn) {
    return std::visit(std::forward<Fn>(fn), f.member);
}

bool equal(const TuningBundle &a, const TuningBundle &b) {
    for (const Field &f : kFields)
        if (!visit_field(f, [&](auto m) { return same(a.*m, b.*m); })) return false;
    return true;
}

// The tuple hash of the interpreter (xxHash lanes) over the field lanes.
Py_hash_t hash_of(const TuningBundle &b) {
    constexpr std::uint64_t p1 = 11400714785074694791ULL, p2 = 14029467366897019727ULL,
                            p5 = 2870177450012600261ULL;
    std::uint64_t acc = p5;
    for (const Field &f : kFields) {
        acc += visit_field(f, [&](auto m) { return lane(b.*m); }) * p2;
        acc = std::rotl(acc, 31) * p1;
    }
    acc += kFieldCount ^ (p5 ^ 3527539ULL);
    auto h = static_cast<Py_hash_t>(acc);
    return h == -1 ? -2 : h;
}

std::string repr_of(const TuningBundle &b) {
    std::string out = "TuningBundle(";
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i) out += ", ";
        out += kFields[i].name;
        out += '=';
        visit_field(kFields[i], [&](auto m) { append_repr(out, b.*m); });
    }
    out += ')';
    return out;
}

nb::tuple values_of(const TuningBundle &b) {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(kFieldCount));
    if (!t) throw nb::python_error();
    nb::tuple out = nb::steal<nb::tuple>(t);
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        PyObject *v = visit_field(kFields[i], [&](auto m) { return to_python(b.*m); });
        if (!v) throw nb::python_error();
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v);
    }
    return out;
}

// --- construction and replace -----------------------------------------------------

std::size_t field_index(nb::handle key, const char *fn) {
    if (PyUnicode_Check(key.ptr())) {
        std::string scratch;
        std::string_view name = sorvel::py::utf8(key, scratch);
        for (std::size_t i = 0; i < kFieldCount; ++i)
            if (name == kFields[i].name) return i;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument %R", fn, key.ptr());
    throw nb::python_error();
}

void assign(TuningBundle &b, std::size_t i, nb::handle v) {
    const Field &f = kFields[i];
    visit_field(f, [&](auto m) { store(b.*m, v, f.name.data()); });
}

// Sets the positional values (declaration order), then the keyword values.
void apply(TuningBundle &b, nb::handle args, nb::handle kwargs, const char *fn) {
    std::bitset<kFieldCount> given;
    if (args.is_valid()) {
        Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
        if (n > static_cast<Py_ssize_t>(kFieldCount)) {
            PyErr_Format(PyExc_TypeError,
                         "%s takes from 1 to %zd positional arguments but %zd were given", fn,
                         static_cast<Py_ssize_t>(kFieldCount) + 1, n + 1);
            throw nb::python_error();
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            assign(b, static_cast<std::size_t>(i), PyTuple_GET_ITEM(args.ptr(), i));
            given.set(static_cast<std::size_t>(i));
        }
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        std::size_t i = field_index(key, fn);
        if (given.test(i)) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", fn,
                         kFields[i].name.data());
            throw nb::python_error();
        }
        assign(b, i, value);
        given.set(i);
    }
}

// --- profiles -------------------------------------------------------------------------

constexpr const char *kCodingGuidance =
    "Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a "
    "function exceeds 50 lines, flag it for splitting').";
constexpr const char *kSupportGuidance =
    "Phrase rules from the perspective of serving the user well, not from a "
    "business-strategy perspective. Avoid framing terms like 'retention', 'lifetime "
    "value', 'loyalty', 'maximize', or 'strategically'. A rule the user would feel "
    "respected by, not manipulated by.";

// General purpose; the record's defaults.
TuningBundle balanced() { return {}; }

// Long retention, wide consolidation batches, exploratory evolution.
TuningBundle for_research() {
    TuningBundle b;
    b.salience_recency_half_life_days = 21.0;
    b.decay_factor = 0.95;
    b.weaken_days = 60;
    b.archive_days = 180;
    b.directive_max_volume = 100;
    b.critic_max_directives = 30;
    b.coherence_threshold = 0.5;
    b.journal_max_content_size = 100000;
    b.journal_max_memories = 100;
    b.dream_evolve_max_per_cycle = 5;
    b.dream_evolve_temperature = 0.4;
    b.consolidation_max_inputs = 30;
    b.consolidation_min_salience = 0.3;
    return b;
}

// High churn: short half-lives, strict usage bar, deterministic evolution.
TuningBundle for_coding_assistant() {
    TuningBundle b;
    b.salience_recency_half_life_days = 3.0;
    b.decay_factor = 0.8;
    b.weaken_days = 14;
    b.archive_days = 60;
    b.directive_decay_usage_threshold = 3;
    b.directive_decay_age_days = 5;
    b.directive_max_volume = 40;
    b.coherence_threshold = 0.7;
    b.entropy_stale_days = 14;
    b.journal_max_memories = 30;
    b.dream_evolve_max_per_cycle = 2;
    b.dream_evolve_temperature = 0.1;
    b.dream_evolve_style_guidance = kCodingGuidance;
    b.consolidation_min_salience = 0.5;
    b.max_context_chars = 80000;
    return b;
}

// Balanced, except that rules are phrased from the user's side.
TuningBundle for_consumer_support() {
    TuningBundle b;
    b.dream_evolve_style_guidance = kSupportGuidance;
    return b;
}

// Long memory, strict coherence, low emotional reactivity, conservative evolution.
TuningBundle for_strategic_advisors() {
    TuningBundle b;
    b.salience_reinforcement_weight = 0.6;
    b.salience_emotion_weight = 0.2;
    b.salience_recency_half_life_days = 30.0;
    b.decay_factor = 0.95;
    b.weaken_days = 90;
    b.archive_days = 365;
    b.emotional_immunity_threshold = 0.8;
    b.directive_provisional_days = 14;
    b.directive_max_volume = 30;
    b.critic_max_directives = 25;
    b.coherence_threshold = 0.75;
    b.journal_max_memories = 30;
    b.dream_evolve_max_per_cycle = 2;
    b.dream_evolve_temperature = 0.15;
    b.consolidation_min_salience = 0.5;
    return b;
}

// Small local models: fewer calls, small batches, tight context.
TuningBundle for_lightweight_local() {
    TuningBundle b;
    b.directive_max_volume = 20;
    b.critic_max_directives = 10;
    b.journal_max_content_size = 20000;
    b.journal_max_memories = 20;
    b.dream_evolve_max_per_cycle = 1;
    b.dream_evolve_temperature = 0.2;  // named by the profile, equal to the default
    b.consolidation_max_inputs = 10;
    b.max_context_chars = 32000;
    return b;
}

// --- the Python type -----------------------------------------------------------------------

// Created while the module loads and never changed or released afterwards.
struct State {
    PyTypeObject *record_type;  // TuningBundle (final, so compared exactly)
    std::array<PyObject *, kFieldCount> names;  // the field names, interned
};
const State *g = nullptr;

// The record behind `obj`, or null when `obj` is not a TuningBundle or was
// made by __new__ alone and never initialised.
const TuningBundle *as_record(PyObject *obj) {
    if (Py_TYPE(obj) != g->record_type || !nb::inst_ready(obj)) return nullptr;
    return nb::inst_ptr<TuningBundle>(obj);
}

// The record `h`; TypeError naming `arg` when it is none.
const TuningBundle &record_arg(nb::handle h, const char *arg) {
    if (const TuningBundle *b = as_record(h.ptr())) return *b;
    wrong_kind(arg, "an initialized TuningBundle", h);
}

// A new record holding `b`, built in place. Returning the struct by value
// would have nanobind first look its address up in the instance table that
// every thread shares, under that table's lock.
using Record = nb::typed<nb::object, TuningBundle>;
Record make_record(TuningBundle &&b) {
    nb::object obj = nb::inst_alloc(nb::handle(reinterpret_cast<PyObject *>(g->record_type)));
    new (nb::inst_ptr<TuningBundle>(obj)) TuningBundle(std::move(b));
    nb::inst_mark_ready(obj);
    return nb::borrow<Record>(obj);
}

template <TuningBundle (*profile)()> Record make_profile() { return make_record(profile()); }

// A field read on a record goes straight to the field. The generic lookup
// would find the field's reader on the class and take a reference to it
// for the read: one reader that every thread reading that field shares.
// Names are compared as the interned strs that attribute access passes;
// any other name (or a record not yet initialised) takes the generic way.
PyObject *record_getattro(PyObject *self, PyObject *name) {
    if (const TuningBundle *b = as_record(self)) {
        for (std::size_t i = 0; i < kFieldCount; ++i)
            if (g->names[i] == name)
                return visit_field(kFields[i], [&](auto m) { return to_python(b->*m); });
    }
    return PyObject_GenericGetAttr(self, name);
}

// Fields are read through a small descriptor of our own rather than a
// property: one C call per read, no argument dispatch. Its __nb_signature__
// has the stub generator declare the field as a typed read-only property.
struct FieldReader {
    PyObject_HEAD
    const Field *field;
};

const Field &field_of(PyObject *reader) { return *reinterpret_cast<FieldReader *>(reader)->field; }

PyObject *reader_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj) return Py_NewRef(self);  // read on the class
    const Field &f = field_of(self);
    const TuningBundle *b = as_record(obj);
    if (!b) {
        nb::object kind = sorvel::py::kind_name(obj);
        if (kind.is_valid())
            PyErr_Format(PyExc_TypeError, "field '%s' is read from an initialized TuningBundle, not %U",
                         f.name.data(), kind.ptr());
        return nullptr;
    }
    return visit_field(f, [&](auto m) { return to_python(b->*m); });
}

PyObject *reader_signature(PyObject *self, void *) {
    const Field &f = field_of(self);
    return visit_field(f, [&](auto m) {
        using T = std::remove_cvref_t<decltype(std::declval<TuningBundle &>().*m)>;
        return PyUnicode_FromFormat("@property\ndef %s(self) -> %s: ...", f.name.data(),
                                    kTypeName<T>);
    });
}

PyObject *reader_repr(PyObject *self) {
    return PyUnicode_FromFormat("<field '%s' of 'TuningBundle' objects>", field_of(self).name.data());
}

PyGetSetDef kReaderGetSet[] = {
    {"__nb_signature__", reader_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_descr_get, reinterpret_cast<void *>(reader_get)},
    {Py_tp_repr, reinterpret_cast<void *>(reader_repr)},
    {Py_tp_getset, kReaderGetSet},
    {0, nullptr},
};

PyType_Spec kReaderType = {"sorvel_layer._internal.tuning_bundle.FieldReader",
                           static_cast<int>(sizeof(FieldReader)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kReaderSlots};

// Puts one reader per field on the class.
void add_readers(nb::handle cls) {
    nb::object reader_type = nb::steal(PyType_FromSpec(&kReaderType));
    if (!reader_type.is_valid()) throw nb::python_error();
    auto *type = reinterpret_cast<PyTypeObject *>(reader_type.ptr());
    for (const Field &f : kFields) {
        nb::object reader = nb::steal(type->tp_alloc(type, 0));
        if (!reader.is_valid()) throw nb::python_error();
        reinterpret_cast<FieldReader *>(reader.ptr())->field = &f;
        nb::setattr(cls, f.name.data(), reader);
    }
}

// "def __init__(self, salience_reinforcement_weight: float = 0.4, ...) -> None"
std::string init_signature() {
    const TuningBundle defaults;
    std::string sig = "def __init__(self";
    for (const Field &f : kFields) {
        sig += ", ";
        sig += f.name;
        visit_field(f, [&](auto m) {
            sig += ": ";
            sig += kTypeName<std::remove_cvref_t<decltype(defaults.*m)>>;
            sig += " = ";
            append_repr(sig, defaults.*m);
        });
    }
    sig += ") -> None";
    return sig;
}

constexpr const char *kChangesType = "float | int | bool | str | None";

}  // namespace

NB_MODULE(tuning_bundle, m) {
    sorvel::py::init();
    m.doc() = "Tier-2 configuration: the immutable tuning record and its six profiles.";

    // The frozen record's slots, and the direct field reads.
    std::vector<PyType_Slot> slots;
    for (const PyType_Slot *s = sorvel::py::frozen_slots(); s->slot; ++s) slots.push_back(*s);
    slots.push_back({Py_tp_getattro, reinterpret_cast<void *>(record_getattro)});
    slots.push_back({0, nullptr});
    nb::class_<TuningBundle> cls(
        m, "TuningBundle", nb::type_slots(slots.data()), nb::is_final(),
        nb::sig("@typing.final\nclass TuningBundle()"),
        "Immutable record of every admin-tunable value. Omitted fields take the balanced "
        "defaults; a profile is chosen through one of the six factories.");

    cls.def(
        "__init__",
        [](TuningBundle *self, nb::args args, nb::kwargs kwargs) {
            TuningBundle b;
            apply(b, args, kwargs, "TuningBundle.__init__()");
            new (self) TuningBundle(std::move(b));
        },
        nb::sig(init_signature().c_str()));

    auto *state = new State{reinterpret_cast<PyTypeObject *>(cls.ptr()), {}};
    for (std::size_t i = 0; i < kFieldCount; ++i)
        state->names[i] = sorvel::py::intern(kFields[i].name.data());
    g = state;
    add_readers(cls);

    cls.def_static("balanced", &make_profile<balanced>, "General-purpose profile; the record's defaults.")
        .def_static("for_research", &make_profile<for_research>,
                    "Deep knowledge accumulation, long retention, creative synthesis.")
        .def_static("for_coding_assistant", &make_profile<for_coding_assistant>,
                    "High-churn context, tight rules, aggressive clean-up.")
        .def_static("for_consumer_support", &make_profile<for_consumer_support>,
                    "End-user-facing service; rules phrased from the user's perspective.")
        .def_static("for_strategic_advisors", &make_profile<for_strategic_advisors>,
                    "High-stakes decisions, strict coherence, institutional memory.")
        .def_static("for_lightweight_local", &make_profile<for_lightweight_local>,
                    "Small local models: fewer calls, smaller batches, tight context.");

    // Equality and hash over all fields; another type compares as NotImplemented.
    cls.def(
           "__eq__",
           [](const TuningBundle &self, nb::handle other) -> nb::object {
               if (Py_TYPE(other.ptr()) != g->record_type) return nb::borrow(Py_NotImplemented);
               return nb::bool_(equal(self, record_arg(other, "other")));
           },
           nb::arg().none(), nb::sig("def __eq__(self, other: object, /) -> bool"))
        .def("__hash__", [](const TuningBundle &self) -> Py_ssize_t { return hash_of(self); })
        .def("__repr__", [](const TuningBundle &self) { return sorvel::py::from_utf8(repr_of(self)); });

    cls.def("__reduce__", [](nb::handle self) {
        return nb::make_tuple(nb::type<TuningBundle>(), values_of(record_arg(self, "self")));
    });
    cls.def(
        "__replace__",
        [](const TuningBundle &self, nb::kwargs changes) {
            TuningBundle b = self;
            apply(b, nb::handle(), changes, "TuningBundle.__replace__()");
            return make_record(std::move(b));
        },
        nb::sig((std::string("def __replace__(self, /, **changes: ") + kChangesType +
                 ") -> TuningBundle")
                    .c_str()));

    // Field objects for the dataclasses module, with the defaults of TuningBundle().
    nb::object optional_text = nb::module_::import_("typing").attr("Optional")[nb::handle(
        reinterpret_cast<PyObject *>(&PyUnicode_Type))];
    nb::object defaults = cls();
    nb::list dc_fields;
    for (const Field &f : kFields) {
        nb::object type = visit_field(f, [&](auto m) -> nb::object {
            using T = std::remove_cvref_t<decltype(std::declval<TuningBundle &>().*m)>;
            if constexpr (std::is_same_v<T, Real>) return nb::borrow(reinterpret_cast<PyObject *>(&PyFloat_Type));
            else if constexpr (std::is_same_v<T, Integer>) return nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type));
            else if constexpr (std::is_same_v<T, Flag>) return nb::borrow(reinterpret_cast<PyObject *>(&PyBool_Type));
            else return optional_text;
        });
        nb::handle name = g->names[static_cast<std::size_t>(&f - kFields)];
        dc_fields.append(nb::make_tuple(name, type, sorvel::py::field_with_default(defaults.attr(name))));
    }
    sorvel::py::finish_record(cls, dc_fields);

    m.def(
        "replace",
        [](nb::handle record, nb::kwargs changes) {
            TuningBundle b = record_arg(record, "record");
            apply(b, nb::handle(), changes, "replace()");
            return make_record(std::move(b));
        },
        sorvel::py::arg("record"), nb::arg(),
        nb::sig((std::string("def replace(record: TuningBundle, /, **changes: ") + kChangesType +
                 ") -> TuningBundle")
                    .c_str()),
        "A new record equal to `record` except for the named fields.");

    m.attr("__all__") = sorvel::py::names({"TuningBundle", "replace"});
}
