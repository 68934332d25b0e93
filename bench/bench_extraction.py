"""Fact grounding: prompt builders and answer parsers, native against plain Python.

Workloads: a fact answer with 8 valid and 2 invalid entries, the same shape of
claim answer, a typical memory and a 4 KB draft answer. The parsers' floor is
json.loads of the cleaned answer; the builders' floor is joining the template
pieces around the stripped text.
"""
import json
import logging

from _timing import per_call, report
from sorvel_layer._internal import extraction as native

_WS = ("\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680"
       + "".join(chr(c) for c in range(0x2000, 0x200B))
       + "\u2028\u2029\u202f\u205f\u3000")
_EXTRACTION_SYSTEM = native._EXTRACTION_SYSTEM
_CLAIM_EXTRACTION_SYSTEM = native._CLAIM_EXTRACTION_SYSTEM
_log = logging.getLogger("bench.extraction")


# --- plain Python ---------------------------------------------------------------

def _clean(response):
    text = response.strip(_WS)
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip(_WS) if len(text) > 6 else ""
        if text.startswith("json"):
            text = text[4:].strip(_WS)
    return text


def build_extraction_prompt(memory_content, max_facts, role="user"):
    if not isinstance(memory_content, str):
        raise TypeError("memory_content must be str")
    if not isinstance(max_facts, int):
        raise TypeError("max_facts must be int")
    if not isinstance(role, str):
        raise TypeError("role must be str")
    system = _EXTRACTION_SYSTEM.format(
        role=role, memory_block=memory_content.strip(_WS), max_facts=int(max_facts))
    return system, [{"role": "user", "content": "Extract facts."}]


def build_claim_extraction_prompt(output, max_claims):
    if not isinstance(output, str):
        raise TypeError("output must be str")
    if not isinstance(max_claims, int):
        raise TypeError("max_claims must be int")
    system = _CLAIM_EXTRACTION_SYSTEM.format(
        output_block=output.strip(_WS), max_claims=int(max_claims))
    return system, [{"role": "user", "content": "Extract claims."}]


def _triple(item):
    out = []
    for key in ("subject", "attribute", "value"):
        v = item.get(key)
        if not isinstance(v, str):
            return None
        v = v.strip(_WS)
        if not v:
            return None
        out.append(v)
    return out


def parse_extraction_output(response):
    try:
        data = json.loads(_clean(response))
    except (ValueError, RecursionError):
        _log.warning("extract_facts: failed to parse LLM response as JSON",
                     extra={"response_preview": response[:200]})
        return []
    if not isinstance(data, dict):
        _log.warning("extract_facts: LLM response is not a JSON object",
                     extra={"type": type(data).__name__})
        return []
    facts = data.get("facts", [])
    if not isinstance(facts, list):
        _log.warning("extract_facts: 'facts' field is not a list",
                     extra={"type": type(facts).__name__})
        return []
    result = []
    for item in facts:
        if not isinstance(item, dict):
            continue
        triple = _triple(item)
        if triple is None:
            continue
        conf = item.get("confidence")
        if not isinstance(conf, (int, float)):
            continue
        try:
            conf = float(conf)
        except OverflowError:
            continue
        if not 0.5 <= conf <= 1.0:
            continue
        result.append({"subject": triple[0], "attribute": triple[1],
                       "value": triple[2], "confidence": conf})
    return result


def parse_claim_extraction_output(response):
    try:
        data = json.loads(_clean(response))
    except (ValueError, RecursionError):
        _log.warning("extract_claims: failed to parse LLM response as JSON",
                     extra={"response_preview": response[:200]})
        return []
    if not isinstance(data, dict):
        return []
    claims = data.get("claims", [])
    if not isinstance(claims, list):
        return []
    result = []
    for item in claims:
        if isinstance(item, dict):
            triple = _triple(item)
            if triple is not None:
                result.append({"subject": triple[0], "attribute": triple[1],
                               "value": triple[2]})
    return result


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
    assert native.parse_extraction_output(FACTS) == parse_extraction_output(FACTS)
    assert len(native.parse_extraction_output(FACTS)) == 8
    assert native.parse_claim_extraction_output(CLAIMS) == parse_claim_extraction_output(CLAIMS)
    assert len(native.parse_claim_extraction_output(CLAIMS)) == 8
    assert native.build_extraction_prompt(MEMORY, 8) == build_extraction_prompt(MEMORY, 8)
    assert native.build_claim_extraction_prompt(DRAFT, 6) == build_claim_extraction_prompt(DRAFT, 6)


def _best(fn, *args, rounds=3):
    """per_call, best of a few rounds (the machine may be busy with other work)."""
    return min(per_call(fn, *args) for _ in range(rounds))


def _join_floor(template, placeholder, text):
    head, tail = template.replace("{{", "{").replace("}}", "}").split(placeholder)
    stripped = text.strip(_WS)
    return lambda: "".join((head, stripped, tail))


def main():
    _check()
    print(f"facts answer {len(FACTS)} chars, claims answer {len(CLAIMS)} chars, "
          f"memory {len(MEMORY)} chars, draft {len(DRAFT)} chars")

    cleaned = _clean(FACTS)
    report("parse_extraction_output (8 + 2 bad)",
           _best(native.parse_extraction_output, FACTS),
           plain=_best(parse_extraction_output, FACTS),
           floor=_best(json.loads, cleaned))
    cleaned = _clean(CLAIMS)
    report("parse_claim_extraction_output (8 + 2 bad)",
           _best(native.parse_claim_extraction_output, CLAIMS),
           plain=_best(parse_claim_extraction_output, CLAIMS),
           floor=_best(json.loads, cleaned))
    report("build_extraction_prompt (memory)",
           _best(native.build_extraction_prompt, MEMORY, 8),
           plain=_best(build_extraction_prompt, MEMORY, 8),
           floor=_best(_join_floor(_EXTRACTION_SYSTEM, "{memory_block}", MEMORY)))
    report("build_extraction_prompt (4 KB)",
           _best(native.build_extraction_prompt, DRAFT, 8),
           plain=_best(build_extraction_prompt, DRAFT, 8),
           floor=_best(_join_floor(_EXTRACTION_SYSTEM, "{memory_block}", DRAFT)))
    report("build_claim_extraction_prompt (4 KB draft)",
           _best(native.build_claim_extraction_prompt, DRAFT, 6),
           plain=_best(build_claim_extraction_prompt, DRAFT, 6),
           floor=_best(_join_floor(_CLAIM_EXTRACTION_SYSTEM, "{output_block}", DRAFT)))


if __name__ == "__main__":
    main()
