"""The argument policy of every module: a wrong or missing argument fails with
one line that names it, and integers follow one rule everywhere."""
import subprocess
import sys
import types

import pytest

from sorvel_layer._internal import (consolidation, crew_synthesis, evolution, extraction,
                                    job_lane, journal, rule_domains, thread_halt, tuning_bundle)


class Row:
    def __init__(self, team_score, content):
        self.team_score, self.content = team_score, content


# Each public function with one valid call (by name), and for each argument a
# value of a kind it never takes.
CALLS = [
    (consolidation.build_consolidation_prompt, {"memories": []}, {"memories": "[]"}),
    (consolidation.parse_consolidation_output, {"response": "x"}, {"response": b"x"}),
    (journal.build_journal_prompt, {"memories": []}, {"memories": ({},)}),
    (journal.parse_journal_output, {"response": "x"}, {"response": 1}),
    (evolution.build_evolution_prompt,
     {"insights": [], "directives": [], "max_per_cycle": 3},
     {"insights": {}, "directives": "d", "max_per_cycle": "3"}),
    (evolution.parse_evolution_output, {"response": "{}", "insight_ids": set()},
     {"response": [], "insight_ids": ["a"]}),
    (evolution.DirectiveProposal, {"text": "t", "source_insight_id": "i"},
     {"text": 1, "source_insight_id": b"i"}),
    (rule_domains.classify_directive_domain, {"text": "x"}, {"text": ["x"]}),
    (extraction.build_extraction_prompt, {"memory_content": "m", "max_facts": 8},
     {"memory_content": b"m", "max_facts": 8.0}),
    (extraction.parse_extraction_output, {"response": "{}"}, {"response": {}}),
    (extraction.build_claim_extraction_prompt, {"output": "o", "max_claims": 6},
     {"output": 3, "max_claims": "6"}),
    (extraction.parse_claim_extraction_output, {"response": "{}"}, {"response": 2.0}),
    (thread_halt.cosine_similarity, {"a": [1.0], "b": [1.0]}, {"a": 1.0, "b": {1.0}}),
    (thread_halt.build_convergence_prompt, {"turns": []}, {"turns": ("a", "b")}),
    (thread_halt.parse_convergence_verdict, {"text": "OPEN|x"}, {"text": b"OPEN|x"}),
    (crew_synthesis.build_crew_synthesis_prompt, {"rows": []}, {"rows": (Row(1.0, "c"),)}),
    (crew_synthesis.compute_prompt_hash, {"prompt": "p"}, {"prompt": b"p"}),
]
# Optional arguments that take None, and what else they refuse.
OPTIONAL = [
    (evolution.build_evolution_prompt, {"insights": [], "directives": [], "max_per_cycle": 3},
     "style_guidance", 5),
    (extraction.build_extraction_prompt, {"memory_content": "m", "max_facts": 8}, "role", b"u"),
]


CASES = [pytest.param(fn, good, name, bad[name], id=f"{fn.__name__}-{name}")
         for fn, good, bad in CALLS for name in good]


def one_line_type_error(call, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    text = str(info.value)
    assert "\n" not in text and "incompatible function arguments" not in text
    return text


@pytest.mark.parametrize("fn, good, name, bad", CASES)
def test_every_argument_refuses_none_and_a_wrong_kind(fn, good, name, bad):
    fn(**good)
    positional = list(good.values())
    index = list(good).index(name)
    for value, kind in ((None, "NoneType"), (bad, type(bad).__name__)):
        by_name = one_line_type_error(fn, **{**good, name: value})
        assert by_name.startswith(f"{name} must be ") and by_name.endswith(f", not {kind}")
        args = positional[:index] + [value] + positional[index + 1:]
        assert one_line_type_error(fn, *args) == by_name


@pytest.mark.parametrize("fn, good, name, bad", CASES)
def test_every_missing_argument_is_named(fn, good, name, bad):
    rest = {k: v for k, v in good.items() if k != name}
    assert one_line_type_error(fn, **rest) == f"missing required argument '{name}'"


@pytest.mark.parametrize("fn, good, name, bad", OPTIONAL)
def test_optional_arguments(fn, good, name, bad):
    if name == "style_guidance":
        assert fn(**good, style_guidance=None) == fn(**good)
    else:
        text = one_line_type_error(fn, **good, role=None)
        assert text == "role must be str, not NoneType"
    assert one_line_type_error(fn, **good, **{name: bad}).startswith(f"{name} must be str")


def test_a_type_whose_name_is_not_a_str_is_named_by_its_own():
    class Odd(type):
        @property
        def __name__(cls):
            return 7

    Kind = Odd("Kind", (), {})
    assert Kind.__name__ == 7
    assert one_line_type_error(thread_halt.parse_convergence_verdict, Kind()) == "text must be str, not Kind"


def test_tuning_record_arguments():
    TuningBundle, replace = tuning_bundle.TuningBundle, tuning_bundle.replace
    assert one_line_type_error(replace) == "missing required argument 'record'"
    for value in (None, {}, TuningBundle.__new__(TuningBundle)):
        text = one_line_type_error(replace, value, decay_factor=0.5)
        assert text == ("record must be an initialized TuningBundle, not "
                        f"{type(value).__name__}")
    assert (one_line_type_error(TuningBundle, weaken_days=None)
            == "weaken_days must be int, not NoneType")
    assert (one_line_type_error(TuningBundle, decay_factor=None)
            == "decay_factor must be float or int, not NoneType")
    assert (one_line_type_error(TuningBundle, dream_evolve_style_guidance=1)
            == "dream_evolve_style_guidance must be str or None, not int")


def test_lane_arguments():
    JobLane = job_lane.JobLane
    for value, kind in ((None, "NoneType"), ("2", "str"), (2.0, "float"), (True, "bool")):
        assert one_line_type_error(JobLane, value) == f"max_concurrency must be int, not {kind}"
    lane = JobLane()
    assert one_line_type_error(lane.submit) == "missing required argument 'name'"
    assert one_line_type_error(lane.submit, "a") == "missing required argument 'coro'"
    assert one_line_type_error(lane.submit, "a", None) == "coro must be a coroutine, not NoneType"
    assert one_line_type_error(lane.wait_all, "1") == "timeout must be a number, not str"
    assert lane.active_count == 0


# --- the integer rule ----------------------------------------------------------


class Index:
    """An integer by __index__ alone, as NumPy's integer scalars are."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def limit_line(system):
    return next(line for line in system.splitlines() if line.startswith(("Extract", "Derive")))


@pytest.mark.parametrize("value, shown", [
    (Index(7), "7"), (Index(-2), "-2"), (True, "1"), (False, "0"),
    (Index(10**4299), "1" + "0" * 4299), (-(10**4300) + 1, "-" + "9" * 4300),
], ids=["index", "negative-index", "true", "false", "index-at-limit", "negative-at-limit"])
def test_counts_take_any_integer_in_decimal(value, shown):
    system, _ = extraction.build_extraction_prompt("m", value)
    assert limit_line(system) == f"Extract at most {shown} atomic facts."
    system, _ = extraction.build_claim_extraction_prompt("o", value)
    assert limit_line(system) == f"Extract at most {shown} atomic claims."
    system, _ = evolution.build_evolution_prompt([], [], value)
    assert limit_line(system) == f"Derive at most {shown} new behavioral directives."


def test_evolution_truncates_other_numbers_at_any_size():
    system, _ = evolution.build_evolution_prompt([], [], 1e300)
    assert limit_line(system) == f"Derive at most {int(1e300)} new behavioral directives."
    system, _ = evolution.build_evolution_prompt([], [], -0.5)
    assert limit_line(system) == "Derive at most 0 new behavioral directives."


def test_an_index_that_raises_propagates():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError("broken")

    with pytest.raises(ZeroDivisionError, match="broken"):
        extraction.build_extraction_prompt("m", Broken())


def test_the_tuning_record_and_the_lane_take_index_integers_but_refuse_bool():
    TuningBundle = tuning_bundle.TuningBundle
    record = TuningBundle(weaken_days=Index(12), decay_factor=Index(1))
    assert record.weaken_days == 12 and type(record.weaken_days) is int
    assert record.decay_factor == 1.0 and type(record.decay_factor) is float
    assert record == TuningBundle(weaken_days=12, decay_factor=1.0)
    for field, expected in (("weaken_days", "int"), ("decay_factor", "float or int")):
        assert (one_line_type_error(TuningBundle, **{field: True})
                == f"{field} must be {expected}, not bool")
    with pytest.raises(OverflowError, match="weaken_days"):
        TuningBundle(weaken_days=Index(2**63))
    lane = job_lane.JobLane(Index(3))
    assert lane._max_concurrency == 3 and type(lane._max_concurrency) is int


# --- the interpreter's limit on int-to-decimal conversion --------------------------


@pytest.fixture
def digit_limit():
    """Sets sys.set_int_max_str_digits for one test, restoring it after."""
    saved = sys.get_int_max_str_digits()
    yield sys.set_int_max_str_digits
    sys.set_int_max_str_digits(saved)


class Big(int):  # an int subclass is written by value, as int.__repr__ writes it
    def __str__(self):
        return "not the digits"


# Every place where an integer becomes text, each as a call that writes the
# integer `n` and the text that shows it.
def _memory(**fields):
    return [dict({"content": "c", "event_type": "e", "created_at": "t"}, **fields)]


def _journal_content(n):
    return journal.build_journal_prompt(_memory(content=n))[1][0]["content"]


def _journal_line(memory):
    return journal.build_journal_prompt([memory])[1][0]["content"].splitlines()[-1]


INTEGER_PLACES = [
    ("max_facts", lambda n: extraction.build_extraction_prompt("m", n)[0],
     lambda d: f"Extract at most {d} atomic facts."),
    ("max_claims", lambda n: extraction.build_claim_extraction_prompt("o", n)[0],
     lambda d: f"Extract at most {d} atomic claims."),
    ("max_per_cycle", lambda n: evolution.build_evolution_prompt([], [], n)[0],
     lambda d: f"Derive at most {d} new behavioral directives."),
    ("content map value", lambda n: consolidation.build_consolidation_prompt(
        _memory(content={"n": n}))[1][0]["content"], lambda d: f'{{"n": {d}}}'),
    ("content map key", lambda n: consolidation.build_consolidation_prompt(
        _memory(content={n: "v"}))[1][0]["content"], lambda d: f'{{"{d}": "v"}}'),
    ("nested map value", lambda n: journal.build_journal_prompt(
        _memory(content={"a": [{"b": Big(n)}]}))[1][0]["content"],
     lambda d: f'{{"a": [{{"b": {d}}}]}}'),
    ("content", lambda n: _journal_content(n), lambda d: f"): {d}"),
    ("event_type", lambda n: _journal_line(_memory(event_type=n)[0]), lambda d: f"[1] ({d}, "),
    ("created_at", lambda n: _journal_line(_memory(created_at=n)[0]), lambda d: f", {d}): c"),
    ("salience", lambda n: _journal_line(_memory(salience=n)[0]), lambda d: f"salience={d}"),
    ("sender", lambda n: thread_halt.build_convergence_prompt([(n, "hi")]),
     lambda d: f"- [{d}] hi"),
    ("turn text", lambda n: thread_halt.build_convergence_prompt([("s", n)]),
     lambda d: f"- [s] {d}"),
    ("shared memory content", lambda n: crew_synthesis.build_crew_synthesis_prompt(
        [Row(1.0, n)]), lambda d: f"- (1.000) {d}"),
]


@pytest.mark.parametrize("make, shown", [p[1:] for p in INTEGER_PLACES],
                         ids=[p[0] for p in INTEGER_PLACES])
def test_integers_follow_the_interpreters_digit_limit(digit_limit, make, shown):
    def refused(n):
        """The interpreter's own refusal of str(n) and ours, as texts."""
        with pytest.raises(ValueError) as interpreter:
            str(n)
        with pytest.raises(ValueError) as ours:
            make(n)
        return str(ours.value), str(interpreter.value)

    over = 10**4300 + 1                    # 4,301 digits: one past the default limit
    digit_limit(4300)
    ours, interpreter = refused(over)
    assert ours == interpreter and "(4300" in ours

    digit_limit(5000)                      # a raised limit writes every digit
    assert shown(str(over)) in make(over)
    digit_limit(0)                         # and so does no limit at all
    assert shown("-" + str(over)) in make(-over)
    # At the limit itself, and with the lowest limit the interpreter takes.
    digit_limit(640)
    assert shown("9" * 640) in make(10**640 - 1)
    assert shown(str(2**64)) in make(2**64)
    ours, interpreter = refused(10**640)
    assert ours == interpreter and "(640" in ours


# --- turns are pairs --------------------------------------------------------------


@pytest.mark.parametrize("turn, kind", [("ab", "str"), (b"ab", "bytes"), ({"a": 1, "b": 2}, "dict"),
                                        (None, "NoneType")])
def test_a_turn_must_be_a_pair(turn, kind):
    text = one_line_type_error(thread_halt.build_convergence_prompt, [("a", "ok"), turn])
    assert text == f"turns[1] must be a (sender_id, content) tuple, not {kind}"


def test_a_turn_may_be_a_tuple_subclass_or_a_list():
    Turn = __import__("collections").namedtuple("Turn", "sender content")
    assert (thread_halt.build_convergence_prompt([Turn("a", "x y")])
            == thread_halt.build_convergence_prompt([["a", "x  y"]]))


# --- exported data and what loading imports --------------------------------------------


def test_domain_keywords_cannot_be_changed():
    keywords = rule_domains._DOMAIN_KEYWORDS
    assert isinstance(keywords, types.MappingProxyType)
    assert all(type(words) is tuple for words in keywords.values())
    with pytest.raises(TypeError):
        keywords["billing"] = ("x",)
    with pytest.raises(TypeError):
        del keywords["billing"]
    assert rule_domains.classify_directive_domain("A refund") == "billing"


@pytest.mark.parametrize("module, needs", [
    ("_invariants", set()), ("tuning_bundle", set()), ("_defaults", set()),
    ("rule_domains", set()), ("thread_halt", set()), ("crew_synthesis", set()),
    ("consolidation", {"logging"}), ("journal", {"logging"}),
    ("evolution", {"json", "logging"}), ("extraction", {"json", "logging"}),
])
def test_modules_import_json_and_logging_only_when_they_use_them(module, needs):
    code = (f"import sys; import sorvel_layer._internal.{module}; "
            "print(sorted({'json', 'logging'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == repr(sorted(needs))
