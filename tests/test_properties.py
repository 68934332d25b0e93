"""Properties over generated inputs: parsers never raise and agree with the
plain-Python versions, builders are exact, the cosine is the plain loop bit for
bit, the crew text ignores row order."""
import json
import math
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
from conftest import load

consolidation = load("consolidation")
evolution = load("evolution")
journal = load("journal")
extraction = load("extraction")
thread_halt = load("thread_halt")
crew_synthesis = load("crew_synthesis")
rule_domains = load("rule_domains")

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Any code point, lone surrogates and NUL included.
any_char = st.characters(min_codepoint=0, max_codepoint=0x10FFFF, blacklist_categories=())
texts = st.text(any_char, max_size=60)
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | texts,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(texts, inner, max_size=4),
    max_leaves=12)


@st.composite
def answers(draw):
    """Model answers: free text, or JSON shaped like the expected skeletons,
    sometimes fenced, tagged, quoted, cut off or padded."""
    kind = draw(st.sampled_from(["text", "json", "skeleton"]))
    if kind == "text":
        body = draw(texts)
    else:
        value = draw(json_values)
        if kind == "skeleton":
            key = draw(st.sampled_from(["facts", "claims", "proposed"]))
            entry = draw(st.fixed_dictionaries({}, optional={
                k: json_values for k in ("subject", "attribute", "value", "confidence",
                                         "text", "source_insight_id")}))
            value = {key: [entry, value]}
        body = json.dumps(value, ensure_ascii=draw(st.booleans()))
        if draw(st.booleans()):
            body = body[: draw(st.integers(0, len(body)))]
    wrap = draw(st.sampled_from(["", "```", "```json\n", "```JSON\n", '"']))
    close = "```" if wrap.startswith("```") else wrap
    pad = draw(st.sampled_from(["", " ", "\n\u3000", "\u200b"]))
    return pad + wrap + body + close + pad


@SETTINGS
@given(st.one_of(answers(), texts))
def test_parsers_never_raise_and_agree_with_plain_python(answer):
    ids = {"ins-1", "ins-2"}
    insight = consolidation.parse_consolidation_output(answer)
    assert type(insight) is str and insight == reference.parse_consolidation_output(answer)
    assert journal.parse_journal_output(answer) == insight
    assert evolution.parse_evolution_output(answer, ids) == reference.parse_evolution_output(answer, ids)
    facts = extraction.parse_extraction_output(answer)
    assert facts == reference.parse_extraction_output(answer)
    for fact in facts:
        assert list(fact) == ["subject", "attribute", "value", "confidence"]
        assert type(fact["confidence"]) is float and 0.5 <= fact["confidence"] <= 1.0
    claims = extraction.parse_claim_extraction_output(answer)
    assert claims == reference.parse_claim_extraction_output(answer)
    assert all(list(claim) == ["subject", "attribute", "value"] for claim in claims)
    verdict = thread_halt.parse_convergence_verdict(answer)
    assert type(verdict) is tuple and verdict == reference.parse_convergence_verdict(answer)
    assert rule_domains.classify_directive_domain(answer) == reference.classify_directive_domain(answer)


@SETTINGS
@given(texts, texts, st.integers(-10**30, 10**30))
def test_extraction_builders_fill_once(memory, role, n):
    assert extraction.build_extraction_prompt(memory, n, role) == \
        reference.build_extraction_prompt(memory, n, role)
    assert extraction.build_claim_extraction_prompt(memory, n) == \
        reference.build_claim_extraction_prompt(memory, n)


memory_records = st.fixed_dictionaries(
    {"content": texts | st.dictionaries(texts, json_values, max_size=3),
     "event_type": texts, "created_at": texts},
    optional={"salience": st.none() | st.floats() | st.integers()})


@SETTINGS
@given(st.lists(memory_records, max_size=4))
def test_memory_builders_exact(memories):
    assert consolidation.build_consolidation_prompt(memories) == \
        reference.build_consolidation_prompt(memories)
    assert journal.build_journal_prompt(memories) == reference.build_journal_prompt(memories)


@SETTINGS
@given(st.lists(st.fixed_dictionaries({"id": texts, "text": texts}), max_size=3),
       st.lists(texts, max_size=3), st.integers(-5, 50), st.none() | texts)
def test_evolution_builder_exact(insights, directives, n, guidance):
    assert evolution.build_evolution_prompt(insights, directives, n, guidance) == \
        reference.build_evolution_prompt(insights, directives, n, guidance)


@SETTINGS
@given(st.lists(st.tuples(texts, texts), max_size=4))
def test_convergence_prompt_exact(turns):
    assert thread_halt.build_convergence_prompt(turns) == reference.build_convergence_prompt(turns)


finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
magnitudes = st.sampled_from([1.0, 1e-160, 1e150, 3.0e-310])


@SETTINGS
@given(st.integers(0, 40).flatmap(lambda n: st.tuples(st.lists(finite, min_size=n, max_size=n),
                                                       st.lists(finite, min_size=n, max_size=n))),
       magnitudes)
def test_cosine_bit_exact(pair, scale):
    a = [x * scale for x in pair[0]]
    b = [y for y in pair[1]]
    got, want = thread_halt.cosine_similarity(a, b), reference.cosine_similarity(a, b)
    assert (math.isnan(got) and math.isnan(want)) or struct.pack("<d", got) == struct.pack("<d", want)


class Row:
    def __init__(self, team_score, content):
        self.team_score, self.content = team_score, content


@SETTINGS
@given(st.lists(st.tuples(finite, texts), max_size=6, unique_by=lambda r: r[0]), st.randoms())
def test_crew_text_ignores_order_of_distinct_scores(rows, rnd):
    shuffled = rows[:]
    rnd.shuffle(shuffled)
    first = crew_synthesis.build_crew_synthesis_prompt([Row(*r) for r in rows])
    second = crew_synthesis.build_crew_synthesis_prompt([Row(*r) for r in shuffled])
    assert first == second == reference.build_crew_synthesis_prompt([Row(*r) for r in rows])
