"""TuningBundle and its profiles, the legacy constants module, the invariants."""
import copy
import dataclasses
import math
import os
import pickle
import subprocess
import sys
import textwrap
import warnings

import pytest

from conftest import load

tuning_bundle = load("tuning_bundle")
_invariants = load("_invariants")
_defaults = load("_defaults")
TuningBundle = tuning_bundle.TuningBundle
replace = tuning_bundle.replace

# Every field in declaration order with its balanced value (and so its kind).
BALANCED = {
    "salience_reinforcement_weight": 0.4,
    "salience_emotion_weight": 0.4,
    "salience_recency_weight": 0.2,
    "salience_reinforcement_cap": 5,
    "salience_recency_half_life_days": 7.0,
    "decay_factor": 0.9,
    "weaken_days": 30,
    "archive_days": 90,
    "emotional_immunity_threshold": 0.7,
    "directive_provisional_days": 7,
    "directive_decay_usage_threshold": 2,
    "directive_decay_age_days": 7,
    "directive_max_volume": 50,
    "critic_max_directives": 20,
    "coherence_threshold": 0.6,
    "entropy_churn_weight": 0.4,
    "entropy_volume_weight": 0.4,
    "entropy_staleness_weight": 0.2,
    "entropy_volume_cap": 50.0,
    "entropy_stale_days": 30,
    "entropy_cycle_hours": 24,
    "journal_max_content_size": 50000,
    "journal_max_memories": 50,
    "journal_min_memories": 2,
    "dream_max_steps_size": 100000,
    "dream_evolve_max_per_cycle": 3,
    "dream_evolve_temperature": 0.2,
    "dream_evolve_style_guidance": None,
    "consolidation_max_inputs": 20,
    "consolidation_min_salience": 0.4,
    "tier2_dedup_threshold": 0.95,
    "max_context_chars": 100000,
    "enable_fact_extraction": False,
    "fact_extraction_temperature": 0.1,
    "fact_extraction_max_per_memory": 8,
    "facts_context_slot_chars": 4000,
    "critic_verifies_grounding": False,
    "grounding_max_claims": 6,
    "grounding_semantic_threshold": 0.6,
    "sorvel_memory_diversity_weight": 0.25,
    "sorvel_directive_coherence_weight": 0.2,
    "sorvel_dream_health_weight": 0.25,
    "sorvel_reinforcement_ratio_weight": 0.2,
    "sorvel_journal_frequency_weight": 0.1,
    "sorvel_journal_target_days": 7.0,
    "health_sorvel_healthy_threshold": 0.65,
    "health_dream_success_healthy_threshold": 0.9,
    "health_stagnant_capture_threshold_7d": 3,
    "health_stagnant_reinforcement_ratio": 0.05,
    "health_drifting_demotion_rate_threshold": 0.4,
    "health_overloaded_dream_failure_threshold": 0.3,
    "postgres_ivf_lists": 100,
    "postgres_ivf_threshold_rows": 1000,
    "dream_phase_concurrency": 2,
}
FIELDS = tuple(BALANCED)
KIND = {name: (str if value is None else type(value)) for name, value in BALANCED.items()}

CODING_TEXT = ("Phrase rules as code-review heuristics with falsifiable triggers (e.g., 'When a "
               "function exceeds 50 lines, flag it for splitting').")
SUPPORT_TEXT = ("Phrase rules from the perspective of serving the user well, not from a "
                "business-strategy perspective. Avoid framing terms like 'retention', 'lifetime "
                "value', 'loyalty', 'maximize', or 'strategically'. A rule the user would feel "
                "respected by, not manipulated by.")

# The fields each profile names (lightweight_local names the temperature at
# its balanced value).
PROFILES = {
    "balanced": {},
    "for_research": dict(
        salience_recency_half_life_days=21.0, decay_factor=0.95, weaken_days=60, archive_days=180,
        directive_max_volume=100, critic_max_directives=30, coherence_threshold=0.5,
        journal_max_content_size=100000, journal_max_memories=100, dream_evolve_max_per_cycle=5,
        dream_evolve_temperature=0.4, consolidation_max_inputs=30, consolidation_min_salience=0.3),
    "for_coding_assistant": dict(
        salience_recency_half_life_days=3.0, decay_factor=0.8, weaken_days=14, archive_days=60,
        directive_decay_usage_threshold=3, directive_decay_age_days=5, directive_max_volume=40,
        coherence_threshold=0.7, entropy_stale_days=14, journal_max_memories=30,
        dream_evolve_max_per_cycle=2, dream_evolve_temperature=0.1,
        dream_evolve_style_guidance=CODING_TEXT, consolidation_min_salience=0.5,
        max_context_chars=80000),
    "for_consumer_support": dict(dream_evolve_style_guidance=SUPPORT_TEXT),
    "for_strategic_advisors": dict(
        salience_reinforcement_weight=0.6, salience_emotion_weight=0.2,
        salience_recency_half_life_days=30.0, decay_factor=0.95, weaken_days=90, archive_days=365,
        emotional_immunity_threshold=0.8, directive_provisional_days=14, directive_max_volume=30,
        critic_max_directives=25, coherence_threshold=0.75, journal_max_memories=30,
        dream_evolve_max_per_cycle=2, dream_evolve_temperature=0.15,
        consolidation_min_salience=0.5),
    "for_lightweight_local": dict(
        directive_max_volume=20, critic_max_directives=10, journal_max_content_size=20000,
        journal_max_memories=20, dream_evolve_max_per_cycle=1, dream_evolve_temperature=0.2,
        consolidation_max_inputs=10, max_context_chars=32000),
}

ODD_TEXTS = ["", "\x00", "\ud800", "a\udfffb", "é😀\u2028", "'\"\\\n", "x" * 100_000]


def fields_of(record):
    return [(name, type(getattr(record, name)), getattr(record, name)) for name in FIELDS]


def typed(values):
    return [(name, KIND[name] if values[name] is not None else type(None), values[name])
            for name in FIELDS]


def other_value(name):
    """A value of the field's kind that differs from its balanced value."""
    return {float: 0.123, int: 12345, bool: True, str: "guide"}[KIND[name]]


# --- profiles -------------------------------------------------------------------------

@pytest.mark.parametrize("profile", list(PROFILES))
def test_profile_values(profile):
    record = getattr(TuningBundle, profile)()
    assert fields_of(record) == typed({**BALANCED, **PROFILES[profile]})
    assert getattr(TuningBundle, profile)() == record
    assert getattr(TuningBundle, profile)() is not record


def test_profiles_are_distinct_and_balanced_is_the_default():
    records = [getattr(TuningBundle, p)() for p in PROFILES]
    assert len(set(records)) == len(PROFILES)
    assert TuningBundle() == TuningBundle.balanced()
    assert TuningBundle.__match_args__ == FIELDS


# --- construction -----------------------------------------------------------------------

def test_positional_and_keyword_construction_agree():
    values = [other_value(name) for name in FIELDS]
    by_position = TuningBundle(*values)
    assert by_position == TuningBundle(**dict(zip(FIELDS, values)))
    assert [getattr(by_position, n) for n in FIELDS] == values
    assert TuningBundle(0.5, 0.3) == TuningBundle(salience_emotion_weight=0.3,
                                                  salience_reinforcement_weight=0.5)


@pytest.mark.parametrize("value", [1, 0, -3, 2**60])
def test_real_field_given_an_int_holds_a_float(value):
    for make in (lambda: TuningBundle(decay_factor=value),
                 lambda: replace(TuningBundle(), decay_factor=value)):
        got = make().decay_factor
        assert type(got) is float and got == float(value)


@pytest.mark.parametrize("field, value", [
    ("decay_factor", "0.9"), ("decay_factor", True), ("decay_factor", None),
    ("decay_factor", [0.9]), ("weaken_days", 30.0), ("weaken_days", False),
    ("weaken_days", "30"), ("enable_fact_extraction", 1), ("enable_fact_extraction", None),
    ("dream_evolve_style_guidance", b"guide"), ("dream_evolve_style_guidance", 3),
])
def test_wrong_kind_raises_type_error_naming_the_field(field, value):
    with pytest.raises(TypeError, match=field):
        TuningBundle(**{field: value})
    with pytest.raises(TypeError, match=field):
        replace(TuningBundle(), **{field: value})


@pytest.mark.parametrize("call", [
    lambda: TuningBundle(no_such_field=1),
    lambda: TuningBundle(decay_factor=0.5, Decay_factor=0.5),
    lambda: replace(TuningBundle(), no_such_field=1),
    lambda: TuningBundle().__replace__(no_such_field=1),
    lambda: TuningBundle(**{"\ud800no_such_field": 1}),
])
def test_unknown_name_raises_type_error_naming_it(call):
    with pytest.raises(TypeError, match="no_such_field|Decay_factor"):
        call()


def test_argument_count_and_duplicates():
    with pytest.raises(TypeError, match="positional"):
        TuningBundle(*([1] * 55))
    with pytest.raises(TypeError, match="multiple values.*salience_reinforcement_weight"):
        TuningBundle(0.5, salience_reinforcement_weight=0.5)


def test_integers_are_64_bit():
    assert TuningBundle(weaken_days=-2**63).weaken_days == -2**63
    assert TuningBundle(weaken_days=2**63 - 1).weaken_days == 2**63 - 1
    for bad in (2**63, -2**63 - 1):
        with pytest.raises(OverflowError, match="weaken_days"):
            TuningBundle(weaken_days=bad)
    with pytest.raises(OverflowError, match="decay_factor"):
        TuningBundle(decay_factor=10**400)


@pytest.mark.parametrize("text", ODD_TEXTS)
def test_text_is_kept_exactly(text):
    class Sub(str):
        pass

    record = TuningBundle(dream_evolve_style_guidance=Sub(text))
    got = record.dream_evolve_style_guidance
    assert type(got) is str and got == text
    assert replace(record, decay_factor=0.5).dream_evolve_style_guidance == text
    assert pickle.loads(pickle.dumps(record)) == record
    assert record != TuningBundle(dream_evolve_style_guidance=text + " ")
    assert f" dream_evolve_style_guidance={text!r}, consolidation_max_inputs=20," in repr(record)


# --- immutability -------------------------------------------------------------------------

def test_no_field_can_be_written_or_deleted():
    record = TuningBundle.for_research()
    before = fields_of(record)
    for name in FIELDS + ("new_attribute",):
        with pytest.raises(dataclasses.FrozenInstanceError, match=name):
            setattr(record, name, BALANCED.get(name, 1))
        with pytest.raises(dataclasses.FrozenInstanceError, match=name):
            delattr(record, name)
    # CPython's own refusal: a TypeError up to 3.12, an AttributeError from 3.13.
    with pytest.raises((TypeError, AttributeError),
                       match=r"can't apply this __setattr__ to ([\w.]+\.)?TuningBundle object"
                             r"|TuningBundle' object attribute 'decay_factor' is read-only"):
        object.__setattr__(record, "decay_factor", 0.1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(TypeError, match="TuningBundle"):
            record.__init__(decay_factor=0.1)
    assert not hasattr(record, "__dict__")
    assert fields_of(record) == before


def test_an_uninitialized_instance_fails_cleanly():
    blank = TuningBundle.__new__(TuningBundle)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for use in (repr, hash, pickle.dumps, lambda r: r == TuningBundle(),
                    lambda r: r.decay_factor, lambda r: replace(r)):
            with pytest.raises(TypeError, match="TuningBundle"):
                use(blank)


# --- equality, hash, printed form ---------------------------------------------------------

def test_every_field_takes_part_in_equality_and_hash():
    base = TuningBundle()
    variants = [replace(base, **{name: other_value(name)}) for name in FIELDS]
    assert all(v != base and not v == base for v in variants)
    assert len({hash(v) for v in variants} | {hash(base)}) == len(FIELDS) + 1
    assert len(set(variants)) == len(FIELDS)
    assert hash(TuningBundle.for_research()) == hash(TuningBundle.for_research())


def test_equality_of_special_reals():
    assert TuningBundle(decay_factor=0.0) == TuningBundle(decay_factor=-0.0)
    assert hash(TuningBundle(decay_factor=0.0)) == hash(TuningBundle(decay_factor=-0.0))
    with_nan = TuningBundle(decay_factor=math.nan)
    assert with_nan == with_nan == copy.deepcopy(with_nan)
    assert hash(with_nan) == hash(pickle.loads(pickle.dumps(with_nan)))
    assert TuningBundle(decay_factor=1.0) != TuningBundle(decay_factor=math.nextafter(1.0, 2))


def test_comparison_with_another_type():
    record = TuningBundle()
    assert record.__eq__(tuple(BALANCED.values())) is NotImplemented
    assert record != tuple(BALANCED.values()) and record != None  # noqa: E711
    with pytest.raises(TypeError, match=r"'<' not supported between instances of '([\w.]+\.)?TuningBundle'"):
        record < TuningBundle()  # noqa: B015


@pytest.mark.parametrize("record", [
    *(getattr(TuningBundle, p)() for p in PROFILES),
    TuningBundle(decay_factor=math.inf, coherence_threshold=-math.nan, weaken_days=-7,
                 critic_verifies_grounding=True, entropy_volume_cap=1e300),
])
def test_repr_is_the_dataclass_form(record):
    inner = ", ".join(f"{name}={getattr(record, name)!r}" for name in FIELDS)
    assert repr(record) == f"TuningBundle({inner})"


def test_repr_literal_start():
    assert repr(TuningBundle()).startswith(
        "TuningBundle(salience_reinforcement_weight=0.4, salience_emotion_weight=0.4, "
        "salience_recency_weight=0.2, salience_reinforcement_cap=5, "
        "salience_recency_half_life_days=7.0, ")


# --- copies and replace ---------------------------------------------------------------------

@pytest.mark.parametrize("record", [
    TuningBundle.for_coding_assistant(), TuningBundle.for_lightweight_local(),
    TuningBundle(dream_evolve_style_guidance="\ud83d", enable_fact_extraction=True)])
def test_pickle_and_copies_round_trip(record):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(record, protocol))
        assert type(again) is TuningBundle and again == record and fields_of(again) == fields_of(record)
    for clone in (copy.copy(record), copy.deepcopy(record)):
        assert clone == record and hash(clone) == hash(record)


def test_replace_makes_a_new_record():
    base = TuningBundle.balanced()
    changed = replace(base, decay_factor=0.8)
    assert changed.decay_factor == 0.8 and base.decay_factor == 0.9
    assert [n for n in FIELDS if getattr(changed, n) != getattr(base, n)] == ["decay_factor"]
    same = replace(base)
    assert same == base and same is not base
    research = replace(TuningBundle.for_research(), dream_evolve_style_guidance=None)
    assert research == TuningBundle.for_research()
    with pytest.raises(TypeError, match="record"):
        replace(fields_of(base), decay_factor=0.8)
    with pytest.raises(TypeError, match="record"):
        replace()


@pytest.mark.skipif(not hasattr(copy, "replace"), reason="copy.replace is new in 3.13")
def test_copy_replace():
    base = TuningBundle.for_research()
    assert copy.replace(base, weaken_days=1) == replace(base, weaken_days=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'weaken'"):
        copy.replace(base, weaken=1)


def test_match_args_support_pattern_matching():
    match TuningBundle.for_strategic_advisors():
        case TuningBundle(reinforcement, emotion, recency, decay_factor=decay):
            assert (reinforcement, emotion, recency, decay) == (0.6, 0.2, 0.2, 0.95)
        case _:
            pytest.fail("no match")


# --- legacy constants -------------------------------------------------------------------------

LEGACY = [
    "SALIENCE_REINFORCEMENT_WEIGHT", "SALIENCE_EMOTION_WEIGHT", "SALIENCE_RECENCY_WEIGHT",
    "SALIENCE_REINFORCEMENT_CAP", "SALIENCE_RECENCY_HALF_LIFE_DAYS", "DECAY_FACTOR",
    "DIRECTIVE_PROVISIONAL_DAYS", "DIRECTIVE_DECAY_USAGE_THRESHOLD", "DIRECTIVE_DECAY_AGE_DAYS",
    "DIRECTIVE_MAX_VOLUME", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "CRITIC_MAX_DIRECTIVES",
    "CRITIC_FLAG_TAXONOMY", "COHERENCE_THRESHOLD", "ENTROPY_CHURN_WEIGHT", "ENTROPY_VOLUME_WEIGHT",
    "ENTROPY_STALENESS_WEIGHT", "ENTROPY_VOLUME_CAP", "ENTROPY_STALE_DAYS", "ENTROPY_CYCLE_HOURS",
    "JOURNAL_MAX_CONTENT_SIZE", "JOURNAL_MAX_MEMORIES", "JOURNAL_MIN_MEMORIES",
    "DREAM_MAX_STEPS_SIZE", "DREAM_EVOLVE_MAX_PER_CYCLE", "DREAM_EVOLVE_TEMPERATURE",
    "DREAM_VALID_STATUSES",
]
FROM_INVARIANTS = {"CRITIC_FLAG_TAXONOMY", "DIRECTIVE_DEDUP_COSINE_THRESHOLD", "DREAM_VALID_STATUSES"}


def test_legacy_names_in_order_with_balanced_values():
    assert _defaults.__all__ == LEGACY
    public = [n for n in vars(_defaults) if n.isupper() and not n.startswith("_")]
    assert public == LEGACY
    balanced = TuningBundle.balanced()
    for name in LEGACY:
        value = getattr(_defaults, name)
        if name in FROM_INVARIANTS:
            assert value is getattr(_invariants, name)
        else:
            want = getattr(balanced, name.lower())
            assert type(value) is type(want) and value == want
    assert type(_defaults._AD) is TuningBundle and _defaults._AD == balanced
    assert _defaults.DIRECTIVE_DEDUP_COSINE_THRESHOLD == 0.95
    for absent in ("MAX_CONSOLIDATION_INPUTS", "WEAKEN_DAYS", "TIER2_DEDUP_THRESHOLD"):
        assert not hasattr(_defaults, absent)


_LOAD_DEFAULTS = """
import sys, types
{setup}
try:
    import sorvel_layer._internal._defaults
except ImportError as exc:
    print("ImportError", exc)
else:
    print("loaded")
"""


@pytest.mark.parametrize("setup, missing", [
    ("sys.modules['sorvel_layer._internal._invariants'] = None", "_invariants"),
    ("sys.modules['sorvel_layer._internal.tuning_bundle'] = None", "tuning_bundle"),
    ("import sorvel_layer._internal._invariants as m\n"
     "sys.modules[m.__name__] = types.SimpleNamespace(**{k: v for k, v in vars(m).items()"
     " if k != 'DREAM_VALID_STATUSES'})", "DREAM_VALID_STATUSES"),
    ("sys.modules['sorvel_layer._internal.tuning_bundle'] = types.ModuleType('stand-in')",
     "TuningBundle"),
])
def test_defaults_fails_to_load_naming_what_is_missing(setup, missing):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    script = textwrap.dedent(_LOAD_DEFAULTS).format(setup=setup)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.stdout.startswith("ImportError") and missing in out.stdout, out.stdout + out.stderr


# --- invariants ----------------------------------------------------------------------------

@pytest.mark.parametrize("name, members", [
    ("CRITIC_FLAG_TAXONOMY",
     {"drift", "contradiction", "safety", "tone", "scope", "hallucination", "off_topic"}),
    ("DREAM_VALID_STATUSES", {"success", "partial", "failed"}),
])
def test_invariant_sets_are_immutable(name, members):
    value = getattr(_invariants, name)
    assert type(value) is frozenset and value == members
    for mutate in ("add", "discard", "update", "clear"):
        assert not hasattr(value, mutate)


def test_the_dataclasses_module_reads_the_record():
    record = TuningBundle.for_research()
    fields = dataclasses.fields(record)
    assert dataclasses.is_dataclass(record) and dataclasses.is_dataclass(TuningBundle)
    assert [f.name for f in fields] == list(TuningBundle.__match_args__)
    assert {f.name: f.default for f in fields} == dataclasses.asdict(TuningBundle())
    assert dataclasses.asdict(record) == {name: getattr(record, name) for name in TuningBundle.__match_args__}
    assert {f.type for f in fields} >= {float, int, bool}
    changed = dataclasses.replace(record, salience_recency_weight=0.5)
    assert type(changed) is TuningBundle and changed.salience_recency_weight == 0.5
    assert changed == replace(record, salience_recency_weight=0.5)
    with pytest.raises(TypeError, match="salience_recency_weight"):
        dataclasses.replace(record, salience_recency_weight="high")
    with pytest.raises(dataclasses.FrozenInstanceError, match="salience_recency_weight"):
        record.salience_recency_weight = 0.1


def test_the_readers_on_the_class_name_their_field_and_its_type():
    shown = {float: "float", int: "int", bool: "bool"}
    for f in dataclasses.fields(TuningBundle):
        reader = getattr(TuningBundle, f.name)
        assert repr(reader) == f"<field '{f.name}' of 'TuningBundle' objects>"
        assert reader.__nb_signature__ == (
            f"@property\ndef {f.name}(self) -> {shown.get(f.type, 'str | None')}: ...")


def test_fields_read_by_any_spelling_of_their_name():
    """A field read by an interned name, by a name built at run time and
    through the class's reader give one value; other names fail as usual."""
    record = TuningBundle.for_consumer_support()
    for name in TuningBundle.__match_args__:
        built = "".join(list(name))
        value = getattr(TuningBundle, name).__get__(record)
        assert getattr(record, name) == getattr(record, built) == value
    with pytest.raises(AttributeError, match="TuningBundle' object has no attribute 'decay'"):
        getattr(record, "decay")
    assert record.__class__ is TuningBundle
