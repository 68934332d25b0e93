"""Dream-cycle prompts and parsers against plain-Python versions and the floor.

    PYTHONPATH=build/h/stage:bench python bench/bench_dream.py
"""
import importlib
import json
import logging
import random

from _timing import per_call, report  # also puts tests/ on the path
import reference as py

ROUNDS = 15


def timed(*calls):
    """Best per-call time of each (fn, *args), measured in interleaved rounds so
    that a busy machine weighs on all of them alike."""
    numbers = [max(1, int(0.02 / per_call(fn, *args, repeat=1))) for fn, *args in calls]
    best = [float("inf")] * len(calls)
    for _ in range(ROUNDS):
        for i, (fn, *args) in enumerate(calls):
            best[i] = min(best[i], per_call(fn, *args, number=numbers[i], repeat=1))
    return best

PKG = "sorvel_layer._internal"
consolidation = importlib.import_module(f"{PKG}.consolidation")
evolution = importlib.import_module(f"{PKG}.evolution")
journal = importlib.import_module(f"{PKG}.journal")
rule_domains = importlib.import_module(f"{PKG}.rule_domains")

# The warning paths run in full (record made, handlers called), for both sides.
logging.getLogger(PKG).addHandler(logging.NullHandler())
logging.getLogger(PKG).propagate = False

# --- realistic inputs ---------------------------------------------------------------

rng = random.Random(1)
WORDS = ("customer order refund delay agent reply tone context memory pattern shipping "
         "weekly report user asked again about the same issue and was frustrated").split()


def sentence(n_chars):
    out = []
    while sum(len(w) + 1 for w in out) < n_chars:
        out.append(rng.choice(WORDS))
    return " ".join(out).capitalize() + "."


MEMORIES = [{"id": f"m{i}", "content": sentence(300), "event_type": "observation",
             "created_at": f"2024-05-{i + 1:02d}T10:00:00Z", "salience": 0.4 + i / 100}
            for i in range(20)]
MAP_MEMORIES = [dict(m, content={"note": m["content"][:150], "tags": ["a", "b"], "score": 0.5})
                for m in MEMORIES]
INSIGHTS = [{"id": f"ins-{i}", "text": sentence(160)} for i in range(5)]
DIRECTIVES = [sentence(70) for _ in range(10)]
GUIDANCE = "  Phrase every rule from the user's point of view.  "
IDS = {f"ins-{i}" for i in range(5)}
PROPOSALS = json.dumps({"proposed": [
    {"text": f"When {sentence(60)[:-1].lower()}, offer a clear next step.",
     "source_insight_id": f"ins-{i}"} for i in range(5)]}, indent=2)
EVOLUTION_ANSWER = f"```json\n{PROPOSALS}\n```"
FREE_ANSWER = f'```\n"{sentence(2000)}"\n```'
NON_JSON = sentence(2048)
DIRECTIVE = "When a customer reports a late order, share the carrier's tracking link first."
NO_MATCH = "Acknowledge the user's frustration before proposing any next step in the chat."


def main():
    print("builders (20 memories of ~300 characters; 5 insights, 10 directives)")
    for title, native, plain, args, floor in [
        ("build_consolidation_prompt (text content)", consolidation.build_consolidation_prompt,
         py.build_consolidation_prompt, (MEMORIES,),
         ("\n".join, [m["content"] for m in MEMORIES])),
        ("build_consolidation_prompt (map content)", consolidation.build_consolidation_prompt,
         py.build_consolidation_prompt, (MAP_MEMORIES,), None),
        ("build_journal_prompt (text content)", journal.build_journal_prompt,
         py.build_journal_prompt, (MEMORIES,), ("\n".join, [m["content"] for m in MEMORIES])),
        ("build_evolution_prompt", evolution.build_evolution_prompt, py.build_evolution_prompt,
         (INSIGHTS, DIRECTIVES, 3, GUIDANCE),
         ("\n".join, [x["text"] for x in INSIGHTS] + DIRECTIVES)),
    ]:
        assert native(*args) == plain(*args), title
        calls = [(native, *args), (plain, *args)] + ([floor] if floor else [])
        report(title, *timed(*calls))

    print("parsers")
    assert evolution.parse_evolution_output(EVOLUTION_ANSWER, IDS) == \
        py.parse_evolution_output(EVOLUTION_ANSWER, IDS)
    report("parse_evolution_output (5 proposals)",
           *timed((evolution.parse_evolution_output, EVOLUTION_ANSWER, IDS),
                  (py.parse_evolution_output, EVOLUTION_ANSWER, IDS), (json.loads, PROPOSALS)))
    report("parse_evolution_output (2 KB non-JSON)",
           *timed((evolution.parse_evolution_output, NON_JSON, IDS),
                  (py.parse_evolution_output, NON_JSON, IDS)))
    for title, native, answer in [
        ("parse_consolidation_output (2 KB fenced)", consolidation.parse_consolidation_output,
         FREE_ANSWER),
        ("parse_journal_output (2 KB fenced)", journal.parse_journal_output, FREE_ANSWER),
        ("parse_consolidation_output (2 KB plain)", consolidation.parse_consolidation_output,
         NON_JSON),
    ]:
        assert native(answer) == py.parse_consolidation_output(answer), title
        report(title, *timed((native, answer), (py.parse_consolidation_output, answer),
                             (str.strip, answer)))

    print("classifier")
    for title, text in [("classify_directive_domain (hit)", DIRECTIVE),
                        ("classify_directive_domain (no keyword)", NO_MATCH),
                        ("classify_directive_domain (non-ASCII)", NO_MATCH + " \u00e9\u2014")]:
        assert rule_domains.classify_directive_domain(text) == py.classify_directive_domain(text)
        report(title, *timed((rule_domains.classify_directive_domain, text),
                             (py.classify_directive_domain, text), (str.lower, text)))


if __name__ == "__main__":
    main()
