"""Journal prompt: record lines with their salience text."""
import datetime
import decimal
import math
import random
import struct

import pytest

from conftest import load

journal = load("journal")

SYSTEM = (
    "You are a journal synthesis engine for an AI agent. Your task is to produce a concise, "
    "cohesive journal entry from a set of memories.\n\nRules:\n"
    "- Synthesize the memories into a NARRATIVE \u2014 connect themes, note patterns, surface "
    "tensions or contradictions.\n"
    "- Do NOT list or enumerate the memories. This is a journal, not a log.\n"
    "- Keep the output concise: aim for 3-8 sentences.\n"
    "- Do NOT include preamble, explanation, headers, or meta-commentary.\n"
    "- Do NOT wrap the output in quotes or markdown code fences.\n"
    "- Respond with ONLY the journal entry text.\n"
)
HEAD = (
    "Below are {n} memories captured by an AI agent. Synthesize them into a single journal "
    "entry that captures the key themes, patterns, and connections.\n\n"
    "Memories (sorted by creation time):\n"
)


def user_of(records):
    system, (message,) = journal.build_journal_prompt(records)
    assert system == SYSTEM and list(message) == ["role", "content"]
    return message["content"]


def test_module_values():
    assert journal._JOURNAL_SYSTEM == SYSTEM
    assert journal._JOURNAL_USER == HEAD.replace("{n}", "{count}") + "{formatted_memories}\n"
    assert journal.logger.name == "sorvel_layer._internal.journal"
    assert journal.__all__ == ["build_journal_prompt", "parse_journal_output"]


def test_prompt_byte_for_byte():
    text = user_of([
        {"content": "Late one.", "event_type": "obs", "created_at": "2024-05-02", "id": "x"},
        {"content": {"b": 1, "a": "\u00e9"}, "event_type": "chat", "created_at": "2024-05-01",
         "salience": 0.75},
    ])
    assert text == HEAD.replace("{n}", "2") + (
        "[1] (obs, salience=N/A, 2024-05-02): Late one.\n"
        '[2] (chat, salience=0.75, 2024-05-01): {"b": 1, "a": "\\u00e9"}\n'
    )
    assert user_of([]) == HEAD.replace("{n}", "0") + "\n"


@pytest.mark.parametrize("salience, shown", [
    (0.5, "0.5"), (1.0, "1.0"), (1, "1"), (None, "None"), (True, "True"),
    (1e-05, "1e-05"), (0.0001, "0.0001"), (1e16, "1e+16"), (9999999999999998.0, "9999999999999998.0"),
    (0.1 + 0.2, "0.30000000000000004"), (-0.0, "-0.0"), (math.nan, "nan"), (-math.inf, "-inf"),
    (10**30, "1" + "0" * 30), ("high", "high"), (decimal.Decimal("0.10"), "0.10"),
    (datetime.date(2024, 1, 2), "2024-01-02"), ("\u00e9lev\u00e9", "\u00e9lev\u00e9"),
    (["\U0001F600"], "['\U0001F600']"),
])
def test_salience_text(salience, shown):
    record = {"content": "c", "event_type": "e", "created_at": "t", "salience": salience}
    assert user_of([record]).endswith(f"[1] (e, salience={shown}, t): c\n")


@pytest.mark.parametrize("missing", ["content", "event_type", "created_at"])
def test_missing_key_names_it(missing):
    record = {"content": "c", "event_type": "e", "created_at": "t", "salience": 0.5}
    del record[missing]
    with pytest.raises(KeyError) as info:
        journal.build_journal_prompt([record])
    assert info.value.args == (missing,)


def test_float_salience_reads_as_repr():
    rng = random.Random(3)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(20_000)]
    values += [rng.uniform(0, 1) for _ in range(5_000)] + [round(rng.uniform(0, 1), 2) for _ in range(500)]
    values += [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e-4, 9.999999999999999e-05,
               1e15, 123456789012345678.0, 0.0, 1e22, 1e23, 2.5, 100.0]
    values += [-v for v in values]
    lines = user_of([{"content": "c", "event_type": "e", "created_at": "t", "salience": v}
                     for v in values]).splitlines()[3:]
    shown = [line.split("salience=", 1)[1].rsplit(", t): c", 1)[0] for line in lines]
    assert shown == [repr(v) for v in values]
