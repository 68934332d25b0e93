"""Directive evolution: prompt, JSON answer parser and its warnings, DirectiveProposal."""
import copy
import dataclasses
import decimal
import fractions
import pickle

import pytest

from conftest import load

evolution = load("evolution")
build, parse = evolution.build_evolution_prompt, evolution.parse_evolution_output
Proposal = evolution.DirectiveProposal
LOGGER = "sorvel_layer._internal.evolution"

SKELETON = '{"proposed": [{"text": "...", "source_insight_id": "..."}, ...]}'


def system_text(directives, insights, limit, guidance=""):
    return (
        "You are a behavioral directive engine. Your task is to derive new behavioral rules "
        "for an AI agent based on distilled insights from its recent experience.\n\n"
        f"CURRENT DIRECTIVES:\n{directives}\n\n"
        f"INSIGHTS FROM THIS REFLECTION CYCLE:\n{insights}\n\n"
        f"Derive at most {limit} new behavioral directives.\n\nRules:\n"
        "- Each directive must be a single imperative sentence (\u2264 15 words).\n"
        "- Directives must be concrete and behavioral, not aspirational.\n"
        "- Do not restate or paraphrase any existing directive.\n"
        "- Anchor each rule to an observable trigger and a concrete action "
        '(e.g., "When X happens, do Y"). Avoid abstract goals.\n'
        "- If the insights yield no new actionable rules, return an empty list."
        f"{guidance}\n\n"
        "Respond with JSON only \u2014 no preamble, no commentary:\n" + SKELETON + "\n"
    )


INSIGHTS = [{"id": "ins-1", "text": "Carts are abandoned when {shipping} is hidden."},
            {"id": "ins-2", "text": "Refunds spike.", "score": 0.4}]


def test_module_values():
    assert evolution.__all__ == ["build_evolution_prompt", "parse_evolution_output"]
    assert evolution.logger.name == LOGGER
    stored = evolution._EVOLUTION_SYSTEM
    assert stored.endswith(SKELETON.replace("{", "{{").replace("}", "}}") + "\n")
    assert "{style_guidance_block}" in stored and "{max_per_cycle}" in stored


def test_prompt_byte_for_byte():
    system, messages = build(INSIGHTS, ["Greet by name.", "{insights_block}"], 3,
                             " \n Phrase rules\nfrom the user's side.\u3000")
    assert messages == [{"role": "user", "content": "Generate directive proposals."}]
    assert list(messages[0]) == ["role", "content"]
    assert system == system_text(
        "1. Greet by name.\n2. {insights_block}",
        "[ins-1]: Carts are abandoned when {shipping} is hidden.\n[ins-2]: Refunds spike.",
        3, "\n- Phrase rules\nfrom the user's side.")


@pytest.mark.parametrize("guidance", [None, "", " \n\t\u3000"])
def test_no_guidance_and_empty_blocks(guidance):
    system, _ = build([], [], 0, guidance)
    assert system == system_text("(none)", "", 0)


@pytest.mark.parametrize("limit, shown", [
    (3, "3"), (-2, "-2"), (0, "0"), (10**20, "1" + "0" * 20), (3.9, "3"), (-2.7, "-2"),
    (True, "1"), (fractions.Fraction(7, 2), "3"), (decimal.Decimal("2.9"), "2"),
])
def test_max_per_cycle_truncated_toward_zero(limit, shown):
    system, _ = build([], [], limit)
    assert f"Derive at most {shown} new behavioral directives." in system


@pytest.mark.parametrize("args, name", [
    (((), [], 3), "insights"), (([], "x", 3), "directives"),
    (([], [], "3"), "max_per_cycle"), (([], [], None), "max_per_cycle"),
    (([], [], 3, 5), "style_guidance"), (([], [], 3, b"x"), "style_guidance"),
])
def test_wrong_argument_kinds(args, name):
    with pytest.raises(TypeError, match=name):
        build(*args)


@pytest.mark.parametrize("missing", ["id", "text"])
def test_insight_missing_key(missing):
    record = {"id": "i", "text": "t"}
    del record[missing]
    with pytest.raises(KeyError) as info:
        build([INSIGHTS[0], record], [], 3)
    assert info.value.args == (missing,)


# --- parsing -----------------------------------------------------------------

IDS = {"ins-9", "ins-10", "Ins-1", "ins-2"}
ANSWER = ('{"proposed": [{"text": "  When a refund is asked, confirm the order.\\n", '
          '"source_insight_id": "ins-2"}, {"text": "Show costs early.", "source_insight_id": 7}]}')
EXPECTED = [Proposal("When a refund is asked, confirm the order.", "ins-2"),
            Proposal("Show costs early.", "Ins-1")]


def fields_of(records):
    return [(r.name, r.levelname, r.getMessage(),
             {k: getattr(r, k) for k in ("response_preview", "type") if hasattr(r, k)})
            for r in records]


@pytest.mark.parametrize("answer", [
    ANSWER, f"```json\n{ANSWER}\n```", f"```\n{ANSWER}\n```", f"\u3000```json{ANSWER}```\n",
    f"```  json  {ANSWER}```",
])
def test_accepted_wrappings(answer, warnings_of):
    assert parse(answer, IDS) == EXPECTED
    assert warnings_of == []


@pytest.mark.parametrize("answer", [
    f"```JSON\n{ANSWER}\n```", f"json {ANSWER}", f"Here you go: {ANSWER}", f"{ANSWER} done",
    f'"{ANSWER}"', "", "   ", "\ufeff" + ANSWER,
    "[" * 100_000 + "]" * 100_000,                       # nesting deeper than the decoder goes
    '{"proposed": [{"text": ' + "7" * 10_000 + "}]}",   # more digits than int() takes
    "\x00", "\ud800", "{" * 1000,
])
def test_decode_failures_warn_with_preview(answer, warnings_of):
    assert parse(answer, IDS) == []
    assert fields_of(warnings_of) == [
        (LOGGER, "WARNING", "evolve_directives: failed to parse LLM response as JSON",
         {"response_preview": answer[:200]})]


def test_preview_is_first_200_code_points_of_raw_answer(warnings_of):
    answer = "\n  " + "\U0001F600" * 500
    parse(answer, IDS)
    assert warnings_of[0].response_preview == answer[:200]


@pytest.mark.parametrize("answer, name", [
    ("[]", "list"), ('"x"', "str"), ("12", "int"), ("-0", "int"), ("1.5", "float"),
    ("1e400", "float"), ("NaN", "float"), ("-Infinity", "float"), ("true", "bool"),
    ("null", "NoneType"),
])
def test_not_an_object(answer, name, warnings_of):
    assert parse(answer, IDS) == []
    assert fields_of(warnings_of) == [
        (LOGGER, "WARNING", "evolve_directives: LLM response is not a JSON object", {"type": name})]


@pytest.mark.parametrize("value, name", [
    ("null", "NoneType"), ("{}", "dict"), ('"a"', "str"), ("3", "int"), ("false", "bool"),
])
def test_proposed_not_a_list(value, name, warnings_of):
    assert parse('{"proposed": %s}' % value, IDS) == []
    assert fields_of(warnings_of) == [
        (LOGGER, "WARNING", "evolve_directives: 'proposed' field is not a list", {"type": name})]


def test_missing_proposed_is_silent(warnings_of):
    assert parse('{"proposals": [{"text": "x"}]}', IDS) == []
    assert warnings_of == []


def test_elements_skipped_and_ids_resolved(warnings_of):
    answer = """{"proposed": [
        "a string", 5, null, [], {"text": "  "}, {"text": 3}, {"source_insight_id": "ins-2"},
        {"text": "\\u2028keep one\\u00a0", "source_insight_id": "ins-9"},
        {"text": "exact ids only", "source_insight_id": " ins-9"},
        {"text": "case matters", "source_insight_id": "INS-9"},
        {"text": "no id"},
        {"text": "keep one", "source_insight_id": "ins-9"},
        {"text": "x", "text": "last text wins", "source_insight_id": null}]}"""
    assert parse(answer, IDS) == [
        Proposal("keep one", "ins-9"), Proposal("exact ids only", "Ins-1"),
        Proposal("case matters", "Ins-1"), Proposal("no id", "Ins-1"),
        Proposal("keep one", "ins-9"), Proposal("last text wins", "Ins-1")]
    assert warnings_of == []


@pytest.mark.parametrize("ids, fallback", [
    ({"ins-9", "ins-10"}, "ins-10"), (frozenset({"ab", "a"}), "a"), ({"b", "B"}, "B"),
    ({"\U00010000", "\ue000"}, "\ue000"),  # by code point, not by UTF-16 unit
    ({"b", 3, None}, "b"), (set(), ""), (frozenset(), ""),
])
def test_fallback_is_smallest_text(ids, fallback):
    (proposal,) = parse('{"proposed": [{"text": "t", "source_insight_id": "zz"}]}', ids)
    assert proposal.source_insight_id == fallback


def test_a_member_whose_comparison_fails_is_not_the_id(warnings_of):
    class Clash:
        def __hash__(self):
            return hash("ins-9")

        def __eq__(self, other):
            raise ValueError("cannot compare")

    (proposal,) = parse('{"proposed": [{"text": "t", "source_insight_id": "ins-9"}]}', {Clash(), "b"})
    assert proposal == Proposal("t", "b") and warnings_of == []


@pytest.mark.parametrize("args, name", [
    ((None, IDS), "response"), ((b"{}", IDS), "response"),
    (("{}", ["ins-2"]), "insight_ids"), (("{}", {"ins-2": 1}), "insight_ids"),
    (("{}", None), "insight_ids"),
])
def test_parser_argument_kinds(args, name):
    with pytest.raises(TypeError, match=name):
        parse(*args)


def test_text_kept_exactly():
    text = "a\ud800b\x00c\U0001F600"
    (p,) = parse('{"proposed": [{"text": "a\\ud800b\\u0000c\\ud83d\\ude00"}]}', {"i"})
    assert p.text == text and p.source_insight_id == "i"


# --- DirectiveProposal ------------------------------------------------------

def test_proposal_record():
    p = Proposal("Do X.", source_insight_id="ins-1")
    q = Proposal(text="Do X.", source_insight_id="ins-1")
    assert p == q and not p != q and hash(p) == hash(q) == hash(("Do X.", "ins-1"))
    assert p != Proposal("Do X.", "ins-2") and p != ("Do X.", "ins-1")
    assert repr(Proposal("it's", "\n")) == "DirectiveProposal(text=\"it's\", source_insight_id='\\n')"
    assert pickle.loads(pickle.dumps(p)) == p
    assert copy.deepcopy(p) == p and copy.copy(p) == p
    assert {p, q} == {p}
    for attempt, message in ((lambda: setattr(p, "text", "y"), "cannot assign to field 'text'"),
                             (lambda: delattr(p, "source_insight_id"),
                              "cannot delete field 'source_insight_id'"),
                             (lambda: setattr(p, "other", 1), "cannot assign to field 'other'")):
        with pytest.raises(dataclasses.FrozenInstanceError, match=message):
            attempt()
    assert (p.text, p.source_insight_id) == ("Do X.", "ins-1")
    assert "DirectiveProposal" not in evolution.__all__


def test_calls_from_many_threads_agree():
    import concurrent.futures

    rule_domains = load("rule_domains")
    answers = [ANSWER, "not json", "[]", '{"proposed": null}'] * 50

    def work(i):
        answer = answers[i]
        return (parse(answer, IDS), build(INSIGHTS, [answer], i)[0],
                rule_domains.classify_directive_domain(answer * 3))

    expected = [work(i) for i in range(len(answers))]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(work, range(len(answers)))) == expected


def test_the_dataclasses_module_reads_proposals():
    proposal = evolution.DirectiveProposal("When X, do Y.", "ins-1")
    assert dataclasses.is_dataclass(proposal)
    assert [(f.name, f.type) for f in dataclasses.fields(proposal)] == [("text", str), ("source_insight_id", str)]
    assert dataclasses.asdict(proposal) == {"text": "When X, do Y.", "source_insight_id": "ins-1"}
    assert dataclasses.replace(proposal, text="Other.") == evolution.DirectiveProposal("Other.", "ins-1")
