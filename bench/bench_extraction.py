"""Fact grounding: prompt builders and answer parsers, native against plain Python.

Workloads: a fact answer with 8 valid and 2 invalid entries, the same shape of
claim answer, a typical memory and a 4 KB draft answer. The parsers' floor is
json.loads of the cleaned answer; the builders' floor is joining the template
pieces around the stripped text.

Huge integers: with the interpreter's digit limit lifted, a million-digit
max_facts and a map value of 1.6 million bits in a memory's content, beside
str() of the same integer, which is the conversion the builders go through.
"""
import json
import sys

from _timing import per_call, report  # also puts tests/ on the path
import reference as py
from sorvel_layer._internal import consolidation
from sorvel_layer._internal import extraction as native

_EXTRACTION_SYSTEM = native._EXTRACTION_SYSTEM
_CLAIM_EXTRACTION_SYSTEM = native._CLAIM_EXTRACTION_SYSTEM


# --- workloads --------------------------------------------------------------------

def _answer(key, with_confidence):
    entries = []
    people = ["Dovan", "the user", "Acme Corp", "Mira", "Austin office",
              "the project", "Leto", "the team"]
    for i, who in enumerate(people):
        entry = {"subject": f" {who} ", "attribute": f"attribute_{i}",
                 "value": f"a plain value number {i}"}
        if with_confidence:
            entry["confidence"] = 0.6 + i * 0.05
        entries.append(entry)
    bad = [{"subject": "   ", "attribute": "location", "value": "Austin"},
           {"subject": "Dovan", "attribute": "employer", "value": 42}]
    for entry in bad:
        if with_confidence:
            entry["confidence"] = 0.9
        entries.append(entry)
    return "```json\n" + json.dumps({key: entries}, indent=2) + "\n```"


FACTS = _answer("facts", True)
CLAIMS = _answer("claims", False)
MEMORY = ("  The user said they moved to Austin last spring and now work at Acme "
          "Corp as a data engineer; they prefer Python and are vegan.\n")
_sentence = "Paris is the capital of France, and the meeting with Dovan is at 3pm. "
DRAFT = "\n" + (_sentence * (4096 // len(_sentence) + 1))[:4096] + "\n"


def _check():
    assert native.parse_extraction_output(FACTS) == py.parse_extraction_output(FACTS)
    assert len(native.parse_extraction_output(FACTS)) == 8
    assert native.parse_claim_extraction_output(CLAIMS) == py.parse_claim_extraction_output(CLAIMS)
    assert len(native.parse_claim_extraction_output(CLAIMS)) == 8
    assert native.build_extraction_prompt(MEMORY, 8) == py.build_extraction_prompt(MEMORY, 8)
    assert native.build_claim_extraction_prompt(DRAFT, 6) == \
        py.build_claim_extraction_prompt(DRAFT, 6)


def _best(fn, *args, rounds=3):
    """per_call, best of a few rounds (the machine may be busy with other work)."""
    return min(per_call(fn, *args) for _ in range(rounds))


def _join_floor(template, placeholder, text):
    head, tail = template.replace("{{", "{").replace("}}", "}").split(placeholder)
    stripped = py.strip(text)
    return lambda: "".join((head, stripped, tail))


def main():
    _check()
    print(f"facts answer {len(FACTS)} chars, claims answer {len(CLAIMS)} chars, "
          f"memory {len(MEMORY)} chars, draft {len(DRAFT)} chars")

    cleaned = py.unfence(FACTS)
    report("parse_extraction_output (8 + 2 bad)",
           _best(native.parse_extraction_output, FACTS),
           plain=_best(py.parse_extraction_output, FACTS),
           floor=_best(json.loads, cleaned))
    cleaned = py.unfence(CLAIMS)
    report("parse_claim_extraction_output (8 + 2 bad)",
           _best(native.parse_claim_extraction_output, CLAIMS),
           plain=_best(py.parse_claim_extraction_output, CLAIMS),
           floor=_best(json.loads, cleaned))
    report("build_extraction_prompt (memory)",
           _best(native.build_extraction_prompt, MEMORY, 8),
           plain=_best(py.build_extraction_prompt, MEMORY, 8),
           floor=_best(_join_floor(_EXTRACTION_SYSTEM, "{memory_block}", MEMORY)))
    report("build_extraction_prompt (4 KB)",
           _best(native.build_extraction_prompt, DRAFT, 8),
           plain=_best(py.build_extraction_prompt, DRAFT, 8),
           floor=_best(_join_floor(_EXTRACTION_SYSTEM, "{memory_block}", DRAFT)))
    report("build_claim_extraction_prompt (4 KB draft)",
           _best(native.build_claim_extraction_prompt, DRAFT, 6),
           plain=_best(py.build_claim_extraction_prompt, DRAFT, 6),
           floor=_best(_join_floor(_CLAIM_EXTRACTION_SYSTEM, "{output_block}", DRAFT)))

    _huge_integers()


def _huge_integers():
    saved = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        million_digits = 7 * 10**999_999
        report("build_extraction_prompt (10**6 digits)",
               per_call(native.build_extraction_prompt, "m", million_digits, number=1, repeat=1),
               floor=per_call(str, million_digits, number=1, repeat=1))
        bits = 2**1_600_000 - 1
        memories = [{"content": {"n": bits}, "event_type": "e", "created_at": "t"}]
        report("build_consolidation_prompt (1.6 M bits)",
               per_call(consolidation.build_consolidation_prompt, memories, number=1, repeat=1),
               floor=per_call(str, bits, number=1, repeat=1))
    finally:
        sys.set_int_max_str_digits(saved)


if __name__ == "__main__":
    main()
