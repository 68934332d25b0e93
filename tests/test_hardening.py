"""Hostile answers, odd host data, threads and leaks, across every module."""
import array
import gc
import os
import sys
import threading
import time

import pytest

from conftest import load, run_in_threads

consolidation = load("consolidation")
evolution = load("evolution")
journal = load("journal")
extraction = load("extraction")
thread_halt = load("thread_halt")
crew_synthesis = load("crew_synthesis")
rule_domains = load("rule_domains")
tuning_bundle = load("tuning_bundle")

SANITIZED = bool(os.environ.get("SORVEL_SANITIZED"))

PARSERS = {
    "consolidation": consolidation.parse_consolidation_output,
    "journal": journal.parse_journal_output,
    "evolution": lambda s: evolution.parse_evolution_output(s, {"i1"}),
    "facts": extraction.parse_extraction_output,
    "claims": extraction.parse_claim_extraction_output,
    "verdict": thread_halt.parse_convergence_verdict,
    "domain": rule_domains.classify_directive_domain,
}

HOSTILE = {
    "deep arrays": "[" * 100_000 + "]" * 100_000,
    "deep unclosed": '{"facts": ' + "[" * 100_000,
    "deep objects": '{"a":' * 100_000 + "1" + "}" * 100_000,
    "many digits": '{"facts": [{"subject": "s", "attribute": "a", "value": "v", "confidence": 1'
                   + "0" * 10_000 + "}]}",
    "many digits top": "9" * 10_000,
    "non-finite everywhere": '{"facts": [{"subject": NaN, "attribute": Infinity, "value": -Infinity, '
                             '"confidence": NaN}], "claims": NaN, "proposed": Infinity}',
    "duplicate keys": '{"claims": 1, "claims": [{"subject": "s", "subject": "t", "attribute": "a", '
                      '"value": "v"}]}',
    "escaped surrogates": '{"claims": [{"subject": "\\ud800", "attribute": "\\udfff x", '
                          '"value": "\U0001f600\\ud83d\\ude00"}]}',
    "raw surrogates and NUL": "\ud800\x00```json\n{\"facts\": []}\n```\udfff",
    "only fences": "``````" * 1000,
}


# What each parser makes of an answer it cannot use: the free-text parsers give
# the answer back (nothing to strip), the JSON parsers an empty list, the judge
# an open verdict carrying the whole answer, the classifier the fallback domain.
FALLBACK = {
    "consolidation": lambda answer: answer,
    "journal": lambda answer: answer,
    "evolution": lambda answer: [],
    "facts": lambda answer: [],
    "claims": lambda answer: [],
    "verdict": lambda answer: (False, answer),
    "domain": lambda answer: "general",
}
USABLE = {
    # One fence removed, the backticks inside it kept.
    ("consolidation", "only fences"): "`" * 5994,
    ("journal", "only fences"): "`" * 5994,
    ("claims", "duplicate keys"): [{"subject": "t", "attribute": "a", "value": "v"}],
    ("claims", "escaped surrogates"): [
        {"subject": "\ud800", "attribute": "\udfff x", "value": "\U0001f600\U0001f600"}],
}


def _expected(parser, case, answer):
    return USABLE.get((parser, case), FALLBACK[parser](answer))


@pytest.mark.parametrize("case", HOSTILE)
@pytest.mark.parametrize("parser", PARSERS)
def test_hostile_answers_never_raise_and_fall_back(parser, case):
    answer = HOSTILE[case]
    result = PARSERS[parser](answer)
    expected = _expected(parser, case, answer)
    assert type(result) is type(expected)
    assert result == expected


def test_too_deep_an_answer_warns_as_undecodable(warnings_of):
    assert extraction.parse_extraction_output(HOSTILE["deep arrays"]) == []
    assert [r.getMessage() for r in warnings_of] == ["extract_facts: failed to parse LLM response as JSON"]
    assert warnings_of[0].response_preview == "[" * 200


@pytest.mark.skipif(SANITIZED, reason="too slow under the sanitizers")
def test_fifty_megabyte_answers():
    filler = "x" * (50 * 1024 * 1024)
    big_json = '{"claims": [{"subject": "s", "attribute": "a", "value": "' + filler + '"}]}'
    assert extraction.parse_claim_extraction_output(big_json)[0]["value"] == filler
    for name, parser in PARSERS.items():
        result, expected = parser(filler), FALLBACK[name](filler)
        assert type(result) is type(expected) and result == expected, name
    assert consolidation.parse_consolidation_output(" " + filler + " ") == filler


# --- odd host data ---------------------------------------------------------------

def _nested(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


def _record(content):
    return {"content": content, "event_type": "e", "created_at": "t"}


@pytest.mark.parametrize("build", [consolidation.build_consolidation_prompt, journal.build_journal_prompt])
def test_pathological_content_maps_raise_cleanly(build):
    with pytest.raises(RecursionError, match="maximum recursion depth|Stack overflow"):
        build([_record(_nested(100_000))])
    looped = {"a": 1}
    looped["self"] = looped
    with pytest.raises(ValueError, match="Circular reference"):
        build([_record(looped)])
    looped_list = []
    looped_list.append(looped_list)
    with pytest.raises(ValueError, match="Circular reference"):
        build([_record({"l": looped_list})])


class S(str):
    pass


class L(list):
    pass


class D(dict):
    pass


class I(int):  # noqa: E742
    pass


class F(float):
    pass


def test_subclasses_behave_as_their_base_types():
    plain = [{"content": "c", "event_type": "e", "created_at": "t", "salience": 0.5}]
    odd = L([D(content=S("c"), event_type=S("e"), created_at=S("t"), salience=F(0.5))])
    assert consolidation.build_consolidation_prompt(odd) == consolidation.build_consolidation_prompt(plain)
    assert journal.build_journal_prompt(odd) == journal.build_journal_prompt(plain)
    assert evolution.build_evolution_prompt(L([D(id=S("i"), text=S("t"))]), L([S("d")]), I(3), S(" g ")) == \
        evolution.build_evolution_prompt([{"id": "i", "text": "t"}], ["d"], 3, " g ")
    assert extraction.build_extraction_prompt(S(" m "), I(4), S("user")) == extraction.build_extraction_prompt(" m ", 4)
    assert thread_halt.cosine_similarity(L([F(1.0), I(2)]), L([F(3.0), I(4)])) == \
        thread_halt.cosine_similarity([1.0, 2.0], [3.0, 4.0])
    answer = S('{"claims": [{"subject": "s", "attribute": "a", "value": "v"}]}')
    assert extraction.parse_claim_extraction_output(answer) == [{"subject": "s", "attribute": "a", "value": "v"}]
    assert type(consolidation.parse_consolidation_output(S(" x "))) is str
    assert thread_halt.parse_convergence_verdict(S("CONVERGED|done")) == (True, "done")


class Exploding:
    def __str__(self):
        raise ZeroDivisionError("no text form")


class Row:
    def __init__(self, team_score, content):
        self.team_score, self.content = team_score, content


def test_a_raising_str_propagates():
    with pytest.raises(ZeroDivisionError, match="no text form"):
        consolidation.build_consolidation_prompt([_record(Exploding())])
    with pytest.raises(ZeroDivisionError, match="no text form"):
        journal.build_journal_prompt([_record({"x": Exploding()})])
    with pytest.raises(ZeroDivisionError, match="no text form"):
        thread_halt.build_convergence_prompt([(Exploding(), "body")])
    with pytest.raises(ZeroDivisionError, match="no text form"):
        crew_synthesis.build_crew_synthesis_prompt([Row(0.5, Exploding())])


# --- threads ---------------------------------------------------------------------

MEMORIES = [{"content": f"memory {i} \u00e9 {{x}}" if i % 3 else {"k": i, "v": "\u65e5"},
             "event_type": "note", "created_at": f"2026-01-{i:02d}", "salience": i / 7}
            for i in range(1, 21)]
FACTS = ('```json\n{"facts": [' + ", ".join(
    f'{{"subject": "s{i}", "attribute": "a", "value": "v", "confidence": {0.4 + i / 20}}}' for i in range(10))
    + "]}\n```")


def _calls():
    vec_a = [((i * 37) % 101) / 7.0 for i in range(384)]
    vec_b = [((i * 53) % 97) / 3.0 for i in range(384)]
    return [
        (consolidation.build_consolidation_prompt, (MEMORIES,)),
        (consolidation.parse_consolidation_output, (' ```\n"An insight."\n``` ',)),
        (journal.build_journal_prompt, (MEMORIES,)),
        (journal.parse_journal_output, ("  journal  ",)),
        (evolution.build_evolution_prompt, ([{"id": "i1", "text": "t"}], ["d1", "d2"], 3, "guide")),
        (evolution.parse_evolution_output, ('{"proposed": [{"text": "When X, do Y.", "source_insight_id": "z"}]}',
                                            {"i1", "i2"})),
        (rule_domains.classify_directive_domain, ("Escalate REFUND requests to a MANAGER",)),
        (extraction.build_extraction_prompt, ("Dovan lives in Austin.", 8)),
        (extraction.parse_extraction_output, (FACTS,)),
        (extraction.build_claim_extraction_prompt, ("Draft answer.", 6)),
        (extraction.parse_claim_extraction_output, ('{"claims": [{"subject": "a", "attribute": "b", "value": "c"}]}',)),
        (thread_halt.cosine_similarity, (vec_a, vec_b)),
        (thread_halt.cosine_similarity, (array.array("d", vec_a), array.array("d", vec_b))),
        (thread_halt.build_convergence_prompt, ([("a", "hello\n there"), ("b", "ok")],)),
        (thread_halt.parse_convergence_verdict, ("OPEN|not yet",)),
        (crew_synthesis.build_crew_synthesis_prompt, ([Row(i / 3, f"m{i}") for i in range(20)],)),
        (crew_synthesis.compute_prompt_hash, ("prompt text",)),
        (tuning_bundle.TuningBundle.for_research, ()),
    ]


def _same(a, b):
    return a == b and repr(a) == repr(b)


def test_pure_functions_agree_across_threads():
    calls = _calls()
    expected = [fn(*args) for fn, args in calls]
    barrier = threading.Barrier(8)
    failures = []

    def worker():
        barrier.wait()
        stop = time.monotonic() + 2.0
        while time.monotonic() < stop:
            for (fn, args), want in zip(calls, expected):
                got = fn(*args)
                if not _same(got, want):
                    failures.append((fn.__name__, got))
                    return

    run_in_threads(worker, 8)
    assert failures == []


# --- leaks -----------------------------------------------------------------------

def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"), reason="needs a plain build on Linux")
def test_repeated_calls_keep_memory_flat():
    calls = _calls()
    calls += [
        (extraction.parse_extraction_output, ("not json at all",)),  # the warning path
        (evolution.parse_evolution_output, ("[1, 2]", {"a"})),
        (thread_halt.cosine_similarity, ([1.0], [1.0, 2.0])),  # the error path
        (consolidation.build_consolidation_prompt, ([{"event_type": "e"}],)),
        # Records that own text, made and dropped: each one's text is freed.
        (tuning_bundle.TuningBundle.for_consumer_support, ()),
        (lambda: tuning_bundle.replace(tuning_bundle.TuningBundle(),
                                       dream_evolve_style_guidance="guidance " * 20), ()),
    ]
    import logging
    logging.getLogger("sorvel_layer._internal").addHandler(logging.NullHandler())
    logging.getLogger("sorvel_layer._internal").propagate = False

    def run(n):
        for fn, args in calls:
            for _ in range(n):
                try:
                    fn(*args)
                except (ValueError, KeyError):
                    pass

    try:
        run(5_000)
        gc.collect()
        before = _rss_kib()
        run(100_000)
        gc.collect()
        grown = _rss_kib() - before
    finally:
        logging.getLogger("sorvel_layer._internal").propagate = True
    assert grown < 2048, f"resident size grew by {grown} KiB"
