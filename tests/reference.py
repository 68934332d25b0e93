"""Plain-Python versions of the native functions, one of each.

The tests compare the native results with these, and the benchmarks time them
as the baseline the native code has to beat, so they are written the way a
Python developer would write them: short, obvious, with the same argument
checks and the same warnings as the native functions.  Prompt templates come
from the native modules; the tests pin those texts separately.
"""
import hashlib
import importlib
import json
import logging
import math
import operator

PACKAGE = "sorvel_layer._internal"
consolidation = importlib.import_module(f"{PACKAGE}.consolidation")
evolution = importlib.import_module(f"{PACKAGE}.evolution")
extraction = importlib.import_module(f"{PACKAGE}.extraction")
journal = importlib.import_module(f"{PACKAGE}.journal")

# The white space that every builder and parser strips; str.isspace() holds
# for exactly these, so str.strip() and str.split() use the same set.
WS = ("\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680"
      + "".join(chr(c) for c in range(0x2000, 0x200B))
      + "\u2028\u2029\u202f\u205f\u3000")


def strip(text):
    return text.strip(WS)


def unfence(response):
    """The answer as the JSON parsers decode it: stripped, one fence that both
    opens and closes it removed, then a lower-case json tag behind it."""
    text = response.strip(WS)
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip(WS) if len(text) > 6 else ""
        if text.startswith("json"):
            text = text[4:].strip(WS)
    return text


def _entries(response, module, step, key, all_warnings=True):
    """The array under `key` of the answer's JSON object, or [] after the warning
    of the first check that fails (only the decode warning unless all_warnings)."""
    log = logging.getLogger(f"{PACKAGE}.{module}")
    try:
        data = json.loads(unfence(response))
    except (ValueError, RecursionError):
        log.warning(f"{step}: failed to parse LLM response as JSON",
                    extra={"response_preview": response[:200]})
        return []
    if not isinstance(data, dict):
        if all_warnings:
            log.warning(f"{step}: LLM response is not a JSON object",
                        extra={"type": type(data).__name__})
        return []
    entries = data.get(key, [])
    if not isinstance(entries, list):
        if all_warnings:
            log.warning(f"{step}: '{key}' field is not a list",
                        extra={"type": type(entries).__name__})
        return []
    return entries


# --- dream cycle -----------------------------------------------------------------

def _memory_body(content):
    return json.dumps(content, default=str) if isinstance(content, dict) else str(content)


def build_consolidation_prompt(memories):
    if not isinstance(memories, list):
        raise TypeError("memories must be list")
    lines = [f"[{i}] ({m['event_type']}, {m['created_at']}): {_memory_body(m['content'])}"
             for i, m in enumerate(memories, 1)]
    user = consolidation._CONSOLIDATION_USER.format(
        count=len(memories), formatted_memories="\n".join(lines))
    return consolidation._CONSOLIDATION_SYSTEM, [{"role": "user", "content": user}]


def build_journal_prompt(memories):
    if not isinstance(memories, list):
        raise TypeError("memories must be list")
    lines = []
    for i, m in enumerate(memories, 1):
        salience = str(m["salience"]) if "salience" in m else "N/A"
        lines.append(f"[{i}] ({m['event_type']}, salience={salience}, {m['created_at']}): "
                     f"{_memory_body(m['content'])}")
    user = journal._JOURNAL_USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return journal._JOURNAL_SYSTEM, [{"role": "user", "content": user}]


def parse_consolidation_output(response):
    """One fence, then one pair of double quotes, each removed at most once."""
    if not isinstance(response, str):
        raise TypeError("response must be str")
    text = response.strip(WS)
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip(WS) if len(text) > 6 else ""
    if text.startswith('"') and text.endswith('"'):
        text = text[1:-1].strip(WS) if len(text) > 2 else ""
    return text


parse_journal_output = parse_consolidation_output


def build_evolution_prompt(insights, directives, max_per_cycle, style_guidance=None):
    if not isinstance(insights, list) or not isinstance(directives, list):
        raise TypeError("insights and directives must be lists")
    directives_block = "\n".join(f"{i}. {d}" for i, d in enumerate(directives, 1)) or "(none)"
    insights_block = "\n".join(f"[{x['id']}]: {x['text']}" for x in insights)
    guidance = style_guidance.strip(WS) if style_guidance is not None else ""
    system = evolution._EVOLUTION_SYSTEM.format(
        directives_block=directives_block, insights_block=insights_block,
        max_per_cycle=int(max_per_cycle),
        style_guidance_block=f"\n- {guidance}" if guidance else "")
    return system, [{"role": "user", "content": "Generate directive proposals."}]


def parse_evolution_output(response, insight_ids):
    if not isinstance(response, str) or not isinstance(insight_ids, (set, frozenset)):
        raise TypeError("response must be str and insight_ids a set")
    proposed = _entries(response, "evolution", "evolve_directives", "proposed")
    fallback = min((i for i in insight_ids if isinstance(i, str)), default="")
    out = []
    for item in proposed:
        if not isinstance(item, dict):
            continue
        text = item.get("text")
        if not isinstance(text, str) or not text.strip(WS):
            continue
        source = item.get("source_insight_id")
        if not isinstance(source, str) or source not in insight_ids:
            source = fallback
        out.append(evolution.DirectiveProposal(text.strip(WS), source))
    return out


KEYWORDS = [
    ("billing", ["refund", "charge", "invoice", "payment", "billing", "subscription", "price",
                 "discount"]),
    ("security", ["password", "credential", "auth", "verify identity", "verification", "fraud",
                  "phishing", "two-factor", "2fa", "pii"]),
    ("escalation", ["escalate", "supervisor", "manager", "human agent", "transfer to"]),
    ("fulfillment", ["ship", "shipping", "delivery", "tracking", "warehouse", "fulfillment",
                     "order status", "carrier"]),
    ("retention", ["cancel", "churn", "retain", "win back", "loyalty", "renew", "renewal"]),
]


def classify_directive_domain(text):
    if not isinstance(text, str):
        raise TypeError("text must be str")
    lowered = text.lower()
    for domain, words in KEYWORDS:
        for word in words:
            if word in lowered:
                return domain
    return "general"


# --- fact grounding ---------------------------------------------------------------

def build_extraction_prompt(memory_content, max_facts, role="user"):
    if not isinstance(memory_content, str):
        raise TypeError("memory_content must be str")
    if not isinstance(max_facts, int):
        raise TypeError("max_facts must be int")
    if not isinstance(role, str):
        raise TypeError("role must be str")
    system = extraction._EXTRACTION_SYSTEM.format(
        role=role, memory_block=memory_content.strip(WS), max_facts=int(max_facts))
    return system, [{"role": "user", "content": "Extract facts."}]


def build_claim_extraction_prompt(output, max_claims):
    if not isinstance(output, str):
        raise TypeError("output must be str")
    if not isinstance(max_claims, int):
        raise TypeError("max_claims must be int")
    system = extraction._CLAIM_EXTRACTION_SYSTEM.format(
        output_block=output.strip(WS), max_claims=int(max_claims))
    return system, [{"role": "user", "content": "Extract claims."}]


def _triple(item):
    """The stripped subject, attribute and value, or None when one is unusable."""
    out = []
    for key in ("subject", "attribute", "value"):
        value = item.get(key)
        if not isinstance(value, str):
            return None
        value = value.strip(WS)
        if not value:
            return None
        out.append(value)
    return out


def parse_extraction_output(response):
    result = []
    for item in _entries(response, "extraction", "extract_facts", "facts"):
        if not isinstance(item, dict):
            continue
        triple = _triple(item)
        if triple is None:
            continue
        confidence = item.get("confidence")
        if not isinstance(confidence, (int, float)):
            continue
        try:
            confidence = float(confidence)
        except OverflowError:
            continue
        if not 0.5 <= confidence <= 1.0:
            continue
        result.append({"subject": triple[0], "attribute": triple[1], "value": triple[2],
                       "confidence": confidence})
    return result


def parse_claim_extraction_output(response):
    result = []
    for item in _entries(response, "extraction", "extract_claims", "claims", all_warnings=False):
        if isinstance(item, dict):
            triple = _triple(item)
            if triple is not None:
                result.append({"subject": triple[0], "attribute": triple[1], "value": triple[2]})
    return result


# --- workspace ----------------------------------------------------------------------

def cosine_similarity(a, b):
    """The sequential loop over two vectors of floats (convert other reals
    first): each product rounded to a double, two square roots, one division."""
    if len(a) != len(b):
        raise ValueError(f"cosine_similarity expects equal-length vectors, "
                         f"got len(a)={len(a)} and len(b)={len(b)}.")
    dot = norm_a = norm_b = 0.0
    for x, y in zip(a, b):
        dot += x * y
        norm_a += x * x
        norm_b += y * y
    if norm_a == 0.0 or norm_b == 0.0:
        return 0.0
    return dot / (math.sqrt(norm_a) * math.sqrt(norm_b))


CONVERGENCE_HEADER = "Thread transcript (chronological):"
CONVERGENCE_FOOTER = ("Is this thread CONVERGED or OPEN? Respond with exactly one line in the form "
                      "CONVERGED|<summary> or OPEN|<reason>.")


def build_convergence_prompt(turns):
    lines = [CONVERGENCE_HEADER]
    for sender, content in turns:
        lines.append(f"- [{sender}] {' '.join(str(content).split())}")
    lines += ["", CONVERGENCE_FOOTER]
    return "\n".join(lines)


def parse_convergence_verdict(text):
    raw = text.strip()
    if "|" not in raw:
        return (False, raw)
    head, tail = raw.split("|", 1)
    token, summary = head.strip().upper(), tail.strip()
    if token == "CONVERGED" and summary:
        return (True, summary)
    if token == "OPEN":
        return (False, summary or "judge marked thread open")
    return (False, raw)


CREW_HEADER = "Team-shared memories (one per line, prefixed with team_score):"
CREW_CLOSING = ("Synthesise a single team insight that captures the collective signal across "
                "the above memories.")
_team_score = operator.attrgetter("team_score")


def build_crew_synthesis_prompt(rows):
    """Highest score first, ties in input order (not for NaN scores)."""
    ordered = sorted(rows, key=_team_score, reverse=True)
    lines = [f"- ({r.team_score:.3f}) {r.content}" for r in ordered]
    return "\n".join([CREW_HEADER, *lines, "", CREW_CLOSING])


def compute_prompt_hash(prompt):
    return hashlib.sha256(prompt.encode("utf-8")).hexdigest()[:16]
