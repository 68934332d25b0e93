"""Fact and claim extraction: prompts, answer parsing, warnings."""
import json
import math
import sys

import pytest

import reference
from conftest import DATA, load, run_in_threads

ex = load("extraction")

LOGGER = "sorvel_layer._internal.extraction"
FACTS_NOT_JSON = "extract_facts: failed to parse LLM response as JSON"
FACTS_NOT_OBJECT = "extract_facts: LLM response is not a JSON object"
FACTS_NOT_LIST = "extract_facts: 'facts' field is not a list"
CLAIMS_NOT_JSON = "extract_claims: failed to parse LLM response as JSON"

WS = reference.WS
clean = reference.unfence


def render(template, **values):
    out = template
    for name, value in values.items():
        out = out.replace("{" + name + "}", "\0" + name + "\0")
    out = out.replace("{{", "{").replace("}}", "}")
    for name, value in values.items():
        out = out.replace("\0" + name + "\0", str(value))
    return out


def fact(subject="s", attribute="a", value="v", confidence=0.9, **extra):
    entry = {"subject": subject, "attribute": attribute, "value": value,
             "confidence": confidence}
    entry.update(extra)
    return {k: v for k, v in entry.items() if v is not MISSING}


MISSING = object()


def facts_answer(*entries):
    return json.dumps({"facts": list(entries)})


def records(captured):
    return [(r.name, r.levelname, r.getMessage(),
             {k: getattr(r, k) for k in ("response_preview", "type") if hasattr(r, k)})
            for r in captured]


# --- prompt bytes ----------------------------------------------------------------

@pytest.mark.parametrize("content, role, count", [
    ("Dovan lives in Austin.", "user", 8),
    ("   The user is vegan.\n", "assistant", 0),
    (WS + "core" + WS, "system", -3),
    ("{max_facts} {role} {memory_block} {{ }} } {", "{max_facts}", 5),
    ("caf\xe9\xa0", "\xa0r\xe9le", 2),              # Latin-1: stripped NBSP
    ("\u3000\u0101\u3000", "user", 2),              # two-byte code points
    ("\U0001F600 big \udc00 \0", "\U0001F600", 10**21),
    ("", "", 2**63),
])
def test_fact_prompt_renders_template(content, role, count):
    system, messages = ex.build_extraction_prompt(content, count, role)
    want = render(ex._EXTRACTION_SYSTEM, role=role, memory_block=content.strip(WS),
                  max_facts=count)
    assert system == want
    assert hash(system) == hash(want)     # also the compact layout of a str
    assert messages == [{"role": "user", "content": "Extract facts."}]


@pytest.mark.parametrize("draft, count", [
    ("\n\n  The meeting is at 3pm.  \n", 6),
    ("{max_claims} {output_block} {{}}", -1),
    ("\U0001F600" * 3 + WS, 0),
    ("x" * 5000, -(10**40)),
])
def test_claim_prompt_renders_template(draft, count):
    system, messages = ex.build_claim_extraction_prompt(draft, count)
    assert system == render(ex._CLAIM_EXTRACTION_SYSTEM, output_block=draft.strip(WS),
                            max_claims=count)
    assert messages == [{"role": "user", "content": "Extract claims."}]


def test_prompt_lines_and_shape():
    pair = ex.build_extraction_prompt(" Dovan works at Acme.\n", 8, role="assistant")
    assert type(pair) is tuple and len(pair) == 2
    system, messages = pair
    assert ("MEMORY ROLE: assistant\nMEMORY CONTENT:\nDovan works at Acme.\n\n"
            "Extract at most 8 atomic facts.\n") in system
    assert list(messages[0]) == ["role", "content"]
    system, _ = ex.build_claim_extraction_prompt(" Paris. ", 6)
    assert "DRAFT RESPONSE:\nParis.\n\nExtract at most 6 atomic claims.\n" in system
    for template in (ex._EXTRACTION_SYSTEM, ex._CLAIM_EXTRACTION_SYSTEM):
        assert template.endswith("]}}\n") and not template.endswith("\n\n")
        assert "JSON only \u2014 no preamble" in template
    # Each call hands out its own list and dict.
    messages.append("x")
    assert ex.build_claim_extraction_prompt("", 1)[1] == [
        {"role": "user", "content": "Extract claims."}]


@pytest.mark.parametrize("count", [
    True, False, 2**64 + 1, -(2**63) - 1, 2**63, 10**4299 + 7, -(10**4299) - 3, 7 ** 3000],
    ids=lambda v: f"{type(v).__name__}{'-' if v < 0 else ''}{v.bit_length()}bits")
def test_any_int_is_written_in_decimal(count):
    digits = str(int(count))
    system, _ = ex.build_claim_extraction_prompt("x", count)
    assert f"Extract at most {digits} atomic claims." in system
    system, _ = ex.build_extraction_prompt("x", count)
    assert f"Extract at most {digits} atomic facts." in system


class _Str(str):
    pass


class _Int(int):
    pass


def test_subclasses_of_str_and_int_are_accepted():
    system, _ = ex.build_extraction_prompt(_Str(" m "), _Int(4), _Str("user"))
    assert "MEMORY ROLE: user\nMEMORY CONTENT:\nm\n\nExtract at most 4 atomic" in system
    assert ex.parse_claim_extraction_output(_Str('{"claims": [{"subject": "s", '
                                                 '"attribute": "a", "value": "v"}]}'))


@pytest.mark.parametrize("call, args, name", [
    (ex.build_extraction_prompt, (None, 8), "memory_content"),
    (ex.build_extraction_prompt, (b"x", 8), "memory_content"),
    (ex.build_extraction_prompt, ("x", 8.0), "max_facts"),
    (ex.build_extraction_prompt, ("x", "8"), "max_facts"),
    (ex.build_extraction_prompt, ("x", 8, None), "role"),
    (ex.build_claim_extraction_prompt, (["x"], 6), "output"),
    (ex.build_claim_extraction_prompt, ("x", 6.5), "max_claims"),
    (ex.build_claim_extraction_prompt, ("x", None), "max_claims"),
    (ex.parse_extraction_output, (b"{}",), "response"),
    (ex.parse_claim_extraction_output, (None,), "response"),
])
def test_wrong_kind_of_argument(call, args, name, warnings_of):
    with pytest.raises(TypeError, match=name):
        call(*args)
    assert warnings_of == []


# --- warnings --------------------------------------------------------------------

@pytest.mark.parametrize("answer, message, field", [
    ("", FACTS_NOT_JSON, {"response_preview": ""}),
    ("  \n", FACTS_NOT_JSON, {"response_preview": "  \n"}),
    ("Facts: {}", FACTS_NOT_JSON, {"response_preview": "Facts: {}"}),
    ("{} {}", FACTS_NOT_JSON, {"response_preview": "{} {}"}),
    ("```JSON\n{}\n```", FACTS_NOT_JSON, {"response_preview": "```JSON\n{}\n```"}),
    ("\ufeff{}", FACTS_NOT_JSON, {"response_preview": "\ufeff{}"}),
    ("[]", FACTS_NOT_OBJECT, {"type": "list"}),
    ('"facts"', FACTS_NOT_OBJECT, {"type": "str"}),
    ("3", FACTS_NOT_OBJECT, {"type": "int"}),
    ("-0.5e1", FACTS_NOT_OBJECT, {"type": "float"}),
    ("NaN", FACTS_NOT_OBJECT, {"type": "float"}),
    ("true", FACTS_NOT_OBJECT, {"type": "bool"}),
    ("null", FACTS_NOT_OBJECT, {"type": "NoneType"}),
    ('{"facts": null}', FACTS_NOT_LIST, {"type": "NoneType"}),
    ('{"facts": {}}', FACTS_NOT_LIST, {"type": "dict"}),
    ('{"facts": "[]"}', FACTS_NOT_LIST, {"type": "str"}),
    ('{"facts": 1.0}', FACTS_NOT_LIST, {"type": "float"}),
    ('{"facts": false}', FACTS_NOT_LIST, {"type": "bool"}),
])
def test_fact_warnings(answer, message, field, warnings_of):
    assert ex.parse_extraction_output(answer) == []
    assert records(warnings_of) == [(LOGGER, "WARNING", message, field)]


@pytest.mark.parametrize("answer", ["{}", '{"facts": []}', '{"other": 1}',
                                    '{"facts": [1, null, {}, []]}'])
def test_fact_answers_without_facts_are_silent(answer, warnings_of):
    assert ex.parse_extraction_output(answer) == []
    assert warnings_of == []


@pytest.mark.parametrize("answer, logged", [
    ("I found no claims.", True),
    ("```json\n```", True),
    ('{"claims": []} trailing', True),
    ("[]", False),
    ("null", False),
    ('{"claims": null}', False),
    ('{"claims": "x"}', False),
    ('{"facts": []}', False),
])
def test_claim_parser_logs_only_undecodable_answers(answer, logged, warnings_of):
    assert ex.parse_claim_extraction_output(answer) == []
    want = [(LOGGER, "WARNING", CLAIMS_NOT_JSON, {"response_preview": answer})]
    assert records(warnings_of) == (want if logged else [])


@pytest.mark.parametrize("parse", [ex.parse_extraction_output, ex.parse_claim_extraction_output])
def test_preview_is_first_200_code_points_of_raw_answer(parse, warnings_of):
    answer = "  \U0001F600 not json " + "\u00e9" * 500
    parse(answer)
    (record,) = warnings_of
    assert record.response_preview == answer[:200]
    assert "response_preview" not in record.getMessage()


# --- validation, in order ----------------------------------------------------------

@pytest.mark.parametrize("entry, kept", [
    (fact(), True),
    ("not an object", False),
    ([fact()], False),
    (fact(subject=MISSING), False),
    (fact(subject=None), False),
    (fact(subject=5), False),
    (fact(subject=""), False),
    (fact(subject=WS), False),
    (fact(attribute=MISSING), False),
    (fact(attribute=["a"]), False),
    (fact(attribute=" \u3000 "), False),
    (fact(value=MISSING), False),
    (fact(value=True), False),
    (fact(value="\t"), False),
    (fact(confidence=MISSING), False),
    (fact(confidence=None), False),
    (fact(confidence="0.9"), False),
    (fact(confidence=[0.9]), False),
    (fact(confidence={"v": 0.9}), False),
    (fact(extra=[1], note=None), True),
])
def test_fact_entry_rules(entry, kept, warnings_of):
    result = ex.parse_extraction_output(facts_answer(entry))
    assert result == ([{"subject": "s", "attribute": "a", "value": "v", "confidence": 0.9}]
                      if kept else [])
    assert warnings_of == []


@pytest.mark.parametrize("entry, kept", [
    ({"subject": "s", "attribute": "a", "value": "v"}, True),
    ({"subject": " s ", "attribute": "a\n", "value": "v", "confidence": 0.1, "n": 1}, True),
    ({"attribute": "a", "value": "v"}, False),
    ({"subject": "s", "attribute": 1, "value": "v"}, False),
    ({"subject": "s", "attribute": "a", "value": "   "}, False),
    ({"subject": "s", "attribute": "a", "value": None}, False),
    ("s a v", False),
])
def test_claim_entry_rules(entry, kept, warnings_of):
    result = ex.parse_claim_extraction_output(json.dumps({"claims": [entry]}))
    assert result == ([{"subject": "s", "attribute": "a", "value": "v"}] if kept else [])
    assert warnings_of == []


# Raw JSON tokens, so that NaN, infinities and huge numbers reach the parser.
@pytest.mark.parametrize("token, want", [
    ("0.5", 0.5), ("1.0", 1.0), ("1", 1.0), ("true", 1.0), ("5e-1", 0.5),
    ("1E0", 1.0), ("0.5000000000000001", 0.5000000000000001),
    ("0.49999999999999999", 0.5),          # rounds to 0.5 on decoding
    ("0.49", None), ("1.01", None), ("1.0000000000000002", None), ("0", None),
    ("false", None), ("-0.0", None), ("-1", None), ("2", None),
    ("NaN", None), ("Infinity", None), ("-Infinity", None), ("1e400", None),
    ("1" + "0" * 400, None),               # an int too large for a double
])
def test_confidence_bounds_and_kinds(token, want, warnings_of):
    answer = ('{"facts": [{"subject": "s", "attribute": "a", "value": "v", '
              f'"confidence": {token}}}, ' + json.dumps(fact(attribute="next")) + "]}")
    result = ex.parse_extraction_output(answer)
    assert result[-1] == fact(attribute="next")      # a dropped entry never stops the rest
    if want is None:
        assert len(result) == 1
    else:
        conf = result[0]["confidence"]
        assert type(conf) is float and conf == want
        assert list(result[0]) == ["subject", "attribute", "value", "confidence"]
    assert warnings_of == []


def test_every_confidence_is_a_real_in_bounds():
    tokens = ["0.5", "1", "true", "NaN", "-Infinity", "0.75", "1e-400", "7" * 300]
    answer = '{"facts": [%s]}' % ", ".join(
        '{"subject": "s", "attribute": "a", "value": "v", "confidence": %s}' % t
        for t in tokens)
    confs = [f["confidence"] for f in ex.parse_extraction_output(answer)]
    assert confs == [0.5, 1.0, 1.0, 0.75]
    assert all(type(c) is float and not math.isnan(c) for c in confs)


# --- stripping ---------------------------------------------------------------------

@pytest.mark.parametrize("raw, stripped", [
    (WS + "Dovan" + WS, "Dovan"),
    ("  two  words \n", "two  words"),
    ("\u200bzero width\u200b", "\u200bzero width\u200b"),   # not white space
    ("\ufeffbom", "\ufeffbom"),
    ("\udfff", "\udfff"),
    ("\0", "\0"),
])
@pytest.mark.parametrize("member", ["subject", "attribute", "value"])
def test_members_are_stripped(raw, stripped, member):
    facts = ex.parse_extraction_output(facts_answer(fact(**{member: raw})))
    assert facts == [fact(**{member: stripped})]
    claims = ex.parse_claim_extraction_output(json.dumps({"claims": [
        {"subject": "s", "attribute": "a", "value": "v", member: raw}]}))
    assert claims == [{"subject": "s", "attribute": "a", "value": "v", member: stripped}]


@pytest.mark.parametrize("wrap", [
    "{}", "\n\t{} \u3000", "```json\n{}\n```", "```json{}```", "```\n{}\n```",
    "  ```json  \n{}\n```  ", "```json json{}```",
])
def test_fences_and_tags_are_removed(wrap, warnings_of):
    body = facts_answer(fact())
    answer = wrap.replace("{}", body)
    want = [] if "json json" in wrap else [fact()]
    assert ex.parse_extraction_output(answer) == want
    assert ex.parse_claim_extraction_output(answer.replace('"facts"', '"claims"')) == [
        {"subject": "s", "attribute": "a", "value": "v"} for _ in want]


@pytest.mark.parametrize("answer", [
    "```", "``````", "```json```", "```{}", "{}```", "json{}", "```Json\n{}```",
    '```python\n{"facts": []}\n```', "`{}`",
])
def test_fences_that_do_not_unwrap_fail_to_decode(answer, warnings_of):
    assert ex.parse_extraction_output(answer) == []
    assert [r.getMessage() for r in warnings_of] == [FACTS_NOT_JSON]


# --- no cap, order, duplicates ---------------------------------------------------------

def test_every_valid_entry_is_returned_in_order():
    entries = [fact(attribute=f"a{i}", confidence=0.5 + i / 100) for i in range(40)]
    entries += [fact(), fact()]
    result = ex.parse_extraction_output(facts_answer(*entries))
    assert result == entries
    claims = [{"subject": "s", "attribute": f"a{i}", "value": "v"} for i in range(30)]
    assert ex.parse_claim_extraction_output(json.dumps({"claims": claims + claims})) == (
        claims + claims)


def test_repeated_member_keeps_the_last_value():
    answer = ('{"facts": [{"subject": "x", "subject": "y", "attribute": "a", '
              '"value": "v", "confidence": 0.2, "confidence": 0.6}]}')
    assert ex.parse_extraction_output(answer) == [fact(subject="y", confidence=0.6)]


# --- answers that must never raise ---------------------------------------------------

def _corpus():
    for path in sorted((DATA / "jsontestsuite" / "test_parsing").glob("*.json")):
        # surrogateescape keeps every byte of a file that is not UTF-8 as a
        # lone surrogate, so the parsers see those texts too.
        yield pytest.param(path.read_bytes().decode("utf-8", "surrogateescape"),
                           id=path.name)


def _loads_fails(text):
    try:
        json.loads(text)
    except (ValueError, RecursionError):
        return True
    return False


@pytest.mark.parametrize("text", list(_corpus()))
@pytest.mark.parametrize("fenced", [False, True])
def test_json_corpus(text, fenced, warnings_of):
    answer = f"```json\n{text}\n```" if fenced else text
    fails = _loads_fails(clean(answer))
    ex.parse_extraction_output(answer)
    assert [r.getMessage() == FACTS_NOT_JSON for r in warnings_of].count(True) == fails
    warnings_of.clear()
    assert ex.parse_claim_extraction_output(answer) == []
    assert [r.getMessage() for r in warnings_of] == ([CLAIMS_NOT_JSON] if fails else [])


@pytest.mark.parametrize("answer", [
    "[" * 100000 + "]" * 100000,
    '{"facts": ' + "[" * 5000 + "]" * 5000 + "}",
    '{"facts": [{"subject": "s", "attribute": "a", "value": "v", "confidence": 1'
    + "0" * 5000 + "}]}",                    # beyond the int digit limit
    "\0" * 1000,
    "\udc80\ud800",
    '{"facts": [{"subject": "\\ud800", "attribute": "a", "value": "v", "confidence": 1}]}',
    "x" * 3_000_000,
], ids=["deep", "deep facts", "digit limit", "nul", "lone surrogates", "escaped surrogate",
        "3M"])
def test_pathological_answers_do_not_raise(answer, warnings_of):
    ex.parse_extraction_output(answer)
    ex.parse_claim_extraction_output(answer)
    for record in warnings_of:
        assert len(getattr(record, "response_preview", "")) <= 200


def test_parsers_and_builders_on_many_threads():
    answer = "```json\n" + facts_answer(*[fact(attribute=f"a{i}") for i in range(20)]) + "\n```"
    want = ex.parse_extraction_output(answer)
    prompt = ex.build_extraction_prompt(" \u00e9 {x} ", 10**30, "r")
    problems = []

    def work():
        for _ in range(200):
            if ex.parse_extraction_output(answer) != want:
                problems.append("facts")
            if ex.build_extraction_prompt(" \u00e9 {x} ", 10**30, "r") != prompt:
                problems.append("prompt")

    run_in_threads(work, 4)
    assert problems == []
