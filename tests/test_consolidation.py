"""Consolidation prompt, and the free-text answer cleaning it shares with the journal."""
import collections
import datetime
import json
import types

import pytest

from conftest import load

consolidation = load("consolidation")
journal = load("journal")

SYSTEM = (
    "You are a memory consolidation engine for an AI agent. Your task is to synthesize "
    "patterns from a set of raw memories into a single insight.\n\nRules:\n"
    "- Produce ONE concise insight (2-4 sentences).\n"
    "- The insight must capture a NON-OBVIOUS pattern, connection, or lesson across the "
    "memories \u2014 not a summary.\n"
    "- Do NOT list the memories or repeat them.\n"
    "- Do NOT include preamble, explanation, or meta-commentary.\n"
    "- Respond with ONLY the insight text.\n"
)
HEAD = (
    "Below are {n} memories captured by an AI agent. Identify the most significant "
    "pattern, insight, or connection.\n\nMemories:\n"
)


def mem(content, event_type="observation", created_at="2024-05-01T10:00:00Z", **extra):
    return {"content": content, "event_type": event_type, "created_at": created_at, **extra}


def user_of(pair):
    system, messages = pair
    assert system == SYSTEM
    assert type(messages) is list and len(messages) == 1
    (message,) = messages
    assert list(message) == ["role", "content"] and message["role"] == "user"
    return message["content"]


def test_module_values():
    tb = load("tuning_bundle").TuningBundle()
    assert consolidation._COMPAT_AD == tb
    assert consolidation.MAX_CONSOLIDATION_INPUTS == tb.consolidation_max_inputs == 20
    assert consolidation.DEFAULT_CONSOLIDATION_MIN_SALIENCE == tb.consolidation_min_salience == 0.4
    assert consolidation.TIER2_DEDUP_THRESHOLD == tb.tier2_dedup_threshold == 0.95
    assert consolidation._CONSOLIDATION_SYSTEM == SYSTEM
    assert consolidation._CONSOLIDATION_USER == HEAD.replace("{n}", "{count}") + "{formatted_memories}\n"
    assert consolidation.logger.name == "sorvel_layer._internal.consolidation"


def test_prompt_byte_for_byte():
    pair = consolidation.build_consolidation_prompt([
        mem("Refunds\nspike on Mondays.", "observation", "2024-05-01", id="m1", salience=0.9),
        mem({"b": 1, "a": "\u00e9", "n": [None, True, 1.5], "\U0001F600": {}}, "reflection", "t2"),
        mem("{count} and {{braces}} stay", "{event_type}", "{created_at}"),
    ])
    assert type(pair) is tuple and len(pair) == 2
    assert user_of(pair) == HEAD.replace("{n}", "3") + (
        "[1] (observation, 2024-05-01): Refunds\nspike on Mondays.\n"
        '[2] (reflection, t2): {"b": 1, "a": "\\u00e9", "n": [null, true, 1.5], '
        '"\\ud83d\\ude00": {}}\n'
        "[3] ({event_type}, {created_at}): {count} and {{braces}} stay\n"
    )


def test_empty_list_and_texts_kept_exactly():
    assert user_of(consolidation.build_consolidation_prompt([])) == HEAD.replace("{n}", "0") + "\n"
    odd = "a\ud800b\x00c\U0001F600\u3000"
    text = user_of(consolidation.build_consolidation_prompt([mem(odd, odd, odd)]))
    assert text.endswith(f"[1] ({odd}, {odd}): {odd}\n")


@pytest.mark.parametrize("value, shown", [
    (["\u00e9"], "['\u00e9']"), (3, "3"), ("\u65e5", "\u65e5"),
    (datetime.date(2024, 1, 2), "2024-01-02"),
])
def test_text_forms_of_any_value(value, shown):
    records = [mem("plain"), mem(value, value, value)]
    text = user_of(consolidation.build_consolidation_prompt(records))
    assert text.endswith(f"[2] ({shown}, {shown}): {shown}\n")


def test_records_may_be_any_mapping():
    proxy = types.MappingProxyType(mem("x"))
    ordered = collections.OrderedDict(mem({"k": "v"}))
    text = user_of(consolidation.build_consolidation_prompt([proxy, ordered]))
    assert text.endswith('[1] (observation, 2024-05-01T10:00:00Z): x\n'
                         '[2] (observation, 2024-05-01T10:00:00Z): {"k": "v"}\n')


def test_list_changed_while_rendering():
    records = []

    class Shrinking(dict):
        def __getitem__(self, key):
            records.clear()
            return super().__getitem__(key)

    records.extend([Shrinking(mem("one")), Shrinking(mem("two"))])
    text = user_of(consolidation.build_consolidation_prompt(records))
    assert text.startswith(HEAD.replace("{n}", "2")) and text.endswith("two\n")


@pytest.mark.parametrize("missing", ["content", "event_type", "created_at"])
def test_missing_key_names_it(missing):
    broken = mem("x")
    del broken[missing]
    with pytest.raises(KeyError) as info:
        consolidation.build_consolidation_prompt([mem("fine"), broken])
    assert info.value.args == (missing,)


@pytest.mark.parametrize("build", [consolidation.build_consolidation_prompt,
                                   journal.build_journal_prompt])
@pytest.mark.parametrize("bad", [(), {}, None, "text", iter([])])
def test_memories_must_be_a_list(build, bad):
    with pytest.raises(TypeError, match="memories"):
        build(bad)


def test_map_content_is_written_as_json_writes_it():
    """Every escape, every kind of key json accepts, and a map whose items()
    breaks the protocol, as json.dumps(default=str) treats them."""
    content = {False: 1, True: 2, None: 3, 1.5: 4, 7: "\r\t\b\f\n\x00\x7f\u2028\ud800\U0001F600\"\\",
               "nested": [{"k": (1, -0.0, float("nan"))}]}
    prompt = consolidation.build_consolidation_prompt([mem(content)])[1][0]["content"]
    assert json.dumps(content, default=str) in prompt

    class Odd(dict):
        def items(self):
            return [("one",)]

    with pytest.raises(ValueError, match="items must return 2-tuples"):
        json.dumps(Odd(a=1))
    with pytest.raises(ValueError, match="items must return 2-tuples"):
        consolidation.build_consolidation_prompt([mem(Odd(a=1))])


def test_circular_map_content_raises_cleanly():
    loop = {}
    loop["self"] = loop
    with pytest.raises(ValueError, match="Circular reference"):
        consolidation.build_consolidation_prompt([mem(loop)])


# --- answer cleaning (the journal uses the same rule) -------------------------

PARSERS = [consolidation.parse_consolidation_output, journal.parse_journal_output]

FENCE = "```"
CLEANING = [
    ("  insight \n", "insight"),
    (f"{FENCE}\nthe insight\n{FENCE}", "the insight"),
    (f"{FENCE}text\nthe insight\n{FENCE}", "text\nthe insight"),
    (f"{FENCE}json\n{{}}\n{FENCE}", "json\n{}"),
    ('"quoted"', "quoted"),
    ('" quoted inside "', "quoted inside"),
    (f'{FENCE} "both" {FENCE}', "both"),               # fence first, then quotes
    (f'"{FENCE}kept{FENCE}"', f"{FENCE}kept{FENCE}"),  # quotes around a fence: quotes only
    (f"{FENCE}{FENCE}inner{FENCE}{FENCE}", f"{FENCE}inner{FENCE}"),
    ('""x""', '"x"'),                                   # one layer of quotes only
    (FENCE, ""), ("````", ""), (FENCE * 2, ""), ("```a```", "a"),
    ('"', ""), ('""', ""), ('"""', '"'),
    (f"{FENCE} open only", f"{FENCE} open only"),
    (f"close only {FENCE}", f"close only {FENCE}"),
    ("`x` 'y' **z** # h\n- item", "`x` 'y' **z** # h\n- item"),
    ("", ""), (" \t\n\r\x0b\x0c", ""),
    ("\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000x"
     "\u3000\x1f\x85\xa0", "x"),
    ("\u200bx\ufeff", "\u200bx\ufeff"), ("\u180ex", "\u180ex"),
    (f"\u3000{FENCE}\n\xa0\"inner\"\x85\n{FENCE}\u2029", "inner"),
    ("a\ud800b\x00c", "a\ud800b\x00c"),
]


@pytest.mark.parametrize("parse", PARSERS)
@pytest.mark.parametrize("answer, expected", CLEANING)
def test_cleaning(parse, answer, expected):
    assert parse(answer) == expected


@pytest.mark.parametrize("parse", PARSERS)
def test_cleaning_never_fails_and_returns_plain_str(parse):
    class Text(str):
        pass

    result = parse(Text("  x  "))
    assert type(result) is str and result == "x"
    for answer in ["[" * 100_000, "9" * 10_000, "\x00" * 10, "\udfff", "\U0010ffff" * 3]:
        assert parse(answer) == answer.strip()


@pytest.mark.parametrize("parse", PARSERS)
@pytest.mark.parametrize("bad", [None, b"x", ["x"], 3])
def test_answer_must_be_a_str(parse, bad):
    with pytest.raises(TypeError, match="response"):
        parse(bad)
