"""Dream-cycle prompts and parsers against plain-Python versions and the floor.

    PYTHONPATH=build/h/stage:bench python bench/bench_dream.py
"""
import importlib
import json
import logging
import random

from _timing import per_call, report

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

WS = " \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005" \
     "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"

# --- plain-Python versions ------------------------------------------------------


def py_consolidation_prompt(memories):
    if not isinstance(memories, list):
        raise TypeError("memories must be list")
    lines = []
    for i, m in enumerate(memories, 1):
        c = m["content"]
        body = json.dumps(c, default=str) if isinstance(c, dict) else str(c)
        lines.append(f"[{i}] ({m['event_type']}, {m['created_at']}): {body}")
    user = consolidation._CONSOLIDATION_USER.format(
        count=len(memories), formatted_memories="\n".join(lines))
    return consolidation._CONSOLIDATION_SYSTEM, [{"role": "user", "content": user}]


def py_journal_prompt(memories):
    if not isinstance(memories, list):
        raise TypeError("memories must be list")
    lines = []
    for i, m in enumerate(memories, 1):
        c = m["content"]
        body = json.dumps(c, default=str) if isinstance(c, dict) else str(c)
        sal = str(m["salience"]) if "salience" in m else "N/A"
        lines.append(f"[{i}] ({m['event_type']}, salience={sal}, {m['created_at']}): {body}")
    user = journal._JOURNAL_USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return journal._JOURNAL_SYSTEM, [{"role": "user", "content": user}]


def py_clean(response):
    if not isinstance(response, str):
        raise TypeError("response must be str")
    r = response.strip(WS)
    if r.startswith("```") and r.endswith("```"):
        r = r[3:-3].strip(WS) if len(r) > 6 else ""
    if r.startswith('"') and r.endswith('"'):
        r = r[1:-1].strip(WS) if len(r) > 2 else ""
    return r


def py_evolution_prompt(insights, directives, max_per_cycle, style_guidance=None):
    if not isinstance(insights, list) or not isinstance(directives, list):
        raise TypeError("insights and directives must be lists")
    d_block = "\n".join(f"{i}. {d}" for i, d in enumerate(directives, 1)) or "(none)"
    i_block = "\n".join(f"[{x['id']}]: {x['text']}" for x in insights)
    g = style_guidance.strip(WS) if style_guidance is not None else ""
    system = evolution._EVOLUTION_SYSTEM.format(
        directives_block=d_block, insights_block=i_block, max_per_cycle=int(max_per_cycle),
        style_guidance_block=f"\n- {g}" if g else "")
    return system, [{"role": "user", "content": "Generate directive proposals."}]


_log = logging.getLogger(f"{PKG}.evolution")


def py_parse_evolution(response, insight_ids):
    if not isinstance(response, str) or not isinstance(insight_ids, (set, frozenset)):
        raise TypeError("bad arguments")
    r = response.strip(WS)
    if r.startswith("```") and r.endswith("```"):
        r = r[3:-3].strip(WS) if len(r) > 6 else ""
        if r.startswith("json"):
            r = r[4:].strip(WS)
    try:
        data = json.loads(r)
    except Exception:
        _log.warning("evolve_directives: failed to parse LLM response as JSON",
                     extra={"response_preview": response[:200]})
        return []
    if not isinstance(data, dict):
        _log.warning("evolve_directives: LLM response is not a JSON object",
                     extra={"type": type(data).__name__})
        return []
    proposed = data.get("proposed", [])
    if not isinstance(proposed, list):
        _log.warning("evolve_directives: 'proposed' field is not a list",
                     extra={"type": type(proposed).__name__})
        return []
    fallback = min((i for i in insight_ids if isinstance(i, str)), default="")
    out = []
    for item in proposed:
        if not isinstance(item, dict):
            continue
        text = item.get("text")
        if not isinstance(text, str) or not text.strip(WS):
            continue
        sid = item.get("source_insight_id")
        if not isinstance(sid, str) or sid not in insight_ids:
            sid = fallback
        out.append(evolution.DirectiveProposal(text.strip(WS), sid))
    return out


_KEYWORDS = [(d, tuple(w)) for d, w in rule_domains._DOMAIN_KEYWORDS.items()]


def py_classify(text):
    if not isinstance(text, str):
        raise TypeError("text must be str")
    lowered = text.lower()
    for domain, words in _KEYWORDS:
        for w in words:
            if w in lowered:
                return domain
    return "general"


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
         py_consolidation_prompt, (MEMORIES,), ("\n".join, [m["content"] for m in MEMORIES])),
        ("build_consolidation_prompt (map content)", consolidation.build_consolidation_prompt,
         py_consolidation_prompt, (MAP_MEMORIES,), None),
        ("build_journal_prompt (text content)", journal.build_journal_prompt,
         py_journal_prompt, (MEMORIES,), ("\n".join, [m["content"] for m in MEMORIES])),
        ("build_evolution_prompt", evolution.build_evolution_prompt, py_evolution_prompt,
         (INSIGHTS, DIRECTIVES, 3, GUIDANCE),
         ("\n".join, [x["text"] for x in INSIGHTS] + DIRECTIVES)),
    ]:
        assert native(*args) == plain(*args), title
        calls = [(native, *args), (plain, *args)] + ([floor] if floor else [])
        report(title, *timed(*calls))

    print("parsers")
    assert evolution.parse_evolution_output(EVOLUTION_ANSWER, IDS) == \
        py_parse_evolution(EVOLUTION_ANSWER, IDS)
    report("parse_evolution_output (5 proposals)",
           *timed((evolution.parse_evolution_output, EVOLUTION_ANSWER, IDS),
                  (py_parse_evolution, EVOLUTION_ANSWER, IDS), (json.loads, PROPOSALS)))
    report("parse_evolution_output (2 KB non-JSON)",
           *timed((evolution.parse_evolution_output, NON_JSON, IDS),
                  (py_parse_evolution, NON_JSON, IDS)))
    for title, native, answer in [
        ("parse_consolidation_output (2 KB fenced)", consolidation.parse_consolidation_output,
         FREE_ANSWER),
        ("parse_journal_output (2 KB fenced)", journal.parse_journal_output, FREE_ANSWER),
        ("parse_consolidation_output (2 KB plain)", consolidation.parse_consolidation_output,
         NON_JSON),
    ]:
        assert native(answer) == py_clean(answer), title
        report(title, *timed((native, answer), (py_clean, answer), (str.strip, answer)))

    print("classifier")
    for title, text in [("classify_directive_domain (hit)", DIRECTIVE),
                        ("classify_directive_domain (no keyword)", NO_MATCH),
                        ("classify_directive_domain (non-ASCII)", NO_MATCH + " \u00e9\u2014")]:
        assert rule_domains.classify_directive_domain(text) == py_classify(text)
        report(title, *timed((rule_domains.classify_directive_domain, text),
                             (py_classify, text), (str.lower, text)))


if __name__ == "__main__":
    main()
