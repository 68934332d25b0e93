"""Properties over generated inputs: parsers never raise, builders are exact,
the cosine is the plain loop bit for bit, the crew text ignores row order."""
import json
import math
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

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


def _ws_strip(s):
    return s.strip()  # str.isspace() is the same white-space set


@SETTINGS
@given(st.one_of(answers(), texts))
def test_parsers_never_raise(answer):
    assert isinstance(consolidation.parse_consolidation_output(answer), str)
    assert isinstance(journal.parse_journal_output(answer), str)
    proposals = evolution.parse_evolution_output(answer, {"ins-1", "ins-2"})
    assert all(p.source_insight_id in {"ins-1", "ins-2"} for p in proposals)
    for fact in extraction.parse_extraction_output(answer):
        assert list(fact) == ["subject", "attribute", "value", "confidence"]
        assert type(fact["confidence"]) is float and 0.5 <= fact["confidence"] <= 1.0
        assert all(fact[k] and fact[k] == _ws_strip(fact[k]) for k in ("subject", "attribute", "value"))
    for claim in extraction.parse_claim_extraction_output(answer):
        assert list(claim) == ["subject", "attribute", "value"]
    converged, text = thread_halt.parse_convergence_verdict(answer)
    assert isinstance(converged, bool) and isinstance(text, str)
    assert rule_domains.classify_directive_domain(answer) in rule_domains.DIRECTIVE_DOMAINS


@SETTINGS
@given(texts, texts, st.integers(-10**30, 10**30))
def test_extraction_builders_fill_once(memory, role, n):
    system, messages = extraction.build_extraction_prompt(memory, n, role)
    assert system == extraction._EXTRACTION_SYSTEM.format(role=role, memory_block=_ws_strip(memory), max_facts=n)
    assert messages == [{"role": "user", "content": "Extract facts."}]
    system, _ = extraction.build_claim_extraction_prompt(memory, n)
    assert system == extraction._CLAIM_EXTRACTION_SYSTEM.format(output_block=_ws_strip(memory), max_claims=n)


memory_records = st.fixed_dictionaries(
    {"content": texts | st.dictionaries(texts, json_values, max_size=3),
     "event_type": texts, "created_at": texts},
    optional={"salience": st.none() | st.floats() | st.integers()})


def _body(content):
    if isinstance(content, dict):
        return json.dumps(content, ensure_ascii=True, default=str)
    return content


@SETTINGS
@given(st.lists(memory_records, max_size=4))
def test_memory_builders_exact(memories):
    lines = [f"[{i}] ({m['event_type']}, {m['created_at']}): {_body(m['content'])}"
             for i, m in enumerate(memories, 1)]
    _, [message] = consolidation.build_consolidation_prompt(memories)
    assert message["content"] == consolidation._CONSOLIDATION_USER.format(
        count=len(memories), formatted_memories="\n".join(lines))
    lines = [f"[{i}] ({m['event_type']}, salience={m['salience'] if 'salience' in m else 'N/A'}, "
             f"{m['created_at']}): {_body(m['content'])}" for i, m in enumerate(memories, 1)]
    _, [message] = journal.build_journal_prompt(memories)
    assert message["content"] == journal._JOURNAL_USER.format(
        count=len(memories), formatted_memories="\n".join(lines))


@SETTINGS
@given(st.lists(st.fixed_dictionaries({"id": texts, "text": texts}), max_size=3),
       st.lists(texts, max_size=3), st.integers(-5, 50), st.none() | texts)
def test_evolution_builder_exact(insights, directives, n, guidance):
    system, _ = evolution.build_evolution_prompt(insights, directives, n, guidance)
    block = "\n".join(f"{i}. {d}" for i, d in enumerate(directives, 1)) or "(none)"
    style = "\n- " + _ws_strip(guidance) if guidance and _ws_strip(guidance) else ""
    assert system == evolution._EVOLUTION_SYSTEM.format(
        directives_block=block, insights_block="\n".join(f"[{i['id']}]: {i['text']}" for i in insights),
        max_per_cycle=n, style_guidance_block=style)


@SETTINGS
@given(st.lists(st.tuples(texts, texts), max_size=4))
def test_convergence_prompt_exact(turns):
    expected = ["Thread transcript (chronological):"]
    expected += [f"- [{s}] {' '.join(c.split())}" for s, c in turns]
    expected.append("\nIs this thread CONVERGED or OPEN? Respond with exactly one line in the form "
                    "CONVERGED|<summary> or OPEN|<reason>.")
    assert thread_halt.build_convergence_prompt(turns) == "\n".join(expected)


def _plain_cosine(a, b):
    dot = na = nb = 0.0
    for x, y in zip(a, b):
        dot += x * y
        na += x * x
        nb += y * y
    if na == 0.0 or nb == 0.0:
        return 0.0
    return dot / (math.sqrt(na) * math.sqrt(nb))


finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
magnitudes = st.sampled_from([1.0, 1e-160, 1e150, 3.0e-310])


@SETTINGS
@given(st.integers(0, 40).flatmap(lambda n: st.tuples(st.lists(finite, min_size=n, max_size=n),
                                                       st.lists(finite, min_size=n, max_size=n))),
       magnitudes)
def test_cosine_bit_exact(pair, scale):
    a = [x * scale for x in pair[0]]
    b = [y for y in pair[1]]
    got, want = thread_halt.cosine_similarity(a, b), _plain_cosine(a, b)
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
    assert first == second
    expected = ["Team-shared memories (one per line, prefixed with team_score):"]
    expected += [f"- ({s:.3f}) {c}" for s, c in sorted(rows, key=lambda r: r[0], reverse=True)]
    expected.append("\nSynthesise a single team insight that captures the collective signal across the "
                    "above memories.")
    assert first == "\n".join(expected)
