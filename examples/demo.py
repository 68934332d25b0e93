"""A small host that drives every module of sorvel_layer._internal end to end.

    python examples/demo.py [--profile NAME] [--facts] [--show-prompts] [--json]
                            [--model-url URL --model NAME]

It plays the SDK's public layer for one support agent: it compares the tuning
profiles, runs one dream cycle (consolidation, directive evolution with domain
tagging and de-duplication, journal), grounds facts as named background tasks
on a job lane, checks a draft answer's claims against the stored facts, runs a
two-agent thread until it stagnates or the judge calls it converged, and
synthesises the team's shared memories once.

The model is a scripted stand-in that reads each prompt's kind and answers as a
model would, and answers badly on purpose, so that the parsers' cleaning and
warnings show: a quoted insight, a fenced evolution answer with extra and bad
entries, a sentence before the JSON, a cut-off JSON, a fenced and quoted
journal entry. With --model-url the same prompts go to any
OpenAI-compatible chat-completions endpoint instead (key in SORVEL_MODEL_API_KEY).
"""
from __future__ import annotations

import argparse
import asyncio
import hashlib
import json
import logging
import os
import re
import sys
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import demo_data as data  # noqa: E402

from sorvel_layer._internal import (  # noqa: E402
    _invariants,
    consolidation,
    crew_synthesis,
    evolution,
    extraction,
    journal,
    rule_domains,
    thread_halt,
)
from sorvel_layer._internal.job_lane import JobLane  # noqa: E402
from sorvel_layer._internal.tuning_bundle import TuningBundle  # noqa: E402

PROFILES = ["balanced", "for_research", "for_coding_assistant", "for_consumer_support",
            "for_strategic_advisors", "for_lightweight_local"]
MAX_TURNS = 8


# --- the model -----------------------------------------------------------------

class ModelError(RuntimeError):
    """The real model could not be reached or answered something unusable."""


def _prefix(template: str) -> str:
    return template.split("{", 1)[0]


class ScriptedModel:
    """Deterministic stand-in: recognises the prompt by its system text."""

    def __init__(self):
        self.judge_calls = 0
        self.facts_by_content = {self._memory_text(m): m["_facts"] for m in data.MEMORIES}

    @staticmethod
    def _memory_text(memory):
        content = memory["content"]
        return content if isinstance(content, str) else json.dumps(content, ensure_ascii=True)

    def complete(self, system: str, messages: list) -> str:
        user = messages[0]["content"]
        if system == consolidation._CONSOLIDATION_SYSTEM:
            return data.INSIGHT_ANSWER
        if system.startswith(_prefix(evolution._EVOLUTION_SYSTEM)):
            return self._evolve(system)
        if system == journal._JOURNAL_SYSTEM:
            return data.JOURNAL_ANSWER
        if system.startswith(_prefix(extraction._EXTRACTION_SYSTEM)):
            block = system.split("MEMORY CONTENT:\n", 1)[1].split("\n\nExtract at most", 1)[0]
            return self.facts_by_content.get(block) or '{"facts": []}'
        if system.startswith(_prefix(extraction._CLAIM_EXTRACTION_SYSTEM)):
            return data.DRAFT_CLAIMS
        if system == thread_halt.CONVERGENCE_JUDGE_SYSTEM_PROMPT:
            answer = data.JUDGE_ANSWERS[min(self.judge_calls, len(data.JUDGE_ANSWERS) - 1)]
            self.judge_calls += 1
            return answer
        if system == crew_synthesis.CREW_SYNTHESIS_SYSTEM_PROMPT:
            return data.TEAM_INSIGHT_ANSWER
        raise ModelError(f"scripted model: unknown prompt kind ({user[:40]!r})")

    @staticmethod
    def _evolve(system: str) -> str:
        ids = re.findall(r"^\[([^\]]+)\]: ", system, flags=re.M)
        proposals = []
        for text, which in data.EVOLUTION_PROPOSALS:
            entry = {"text": "  " + text + "\n"}
            if which is not None and which < len(ids):
                entry["source_insight_id"] = ids[which]
            elif which is not None:
                entry["source_insight_id"] = "ins-unknown"
            proposals.append(entry)
        proposals.append("not an object")
        proposals.append({"text": "   ", "source_insight_id": ids[0] if ids else ""})
        return "```json\n" + json.dumps({"proposed": proposals}, indent=1) + "\n```"


class HttpModel:
    """Any OpenAI-compatible chat-completions endpoint, standard library only."""

    def __init__(self, url: str, model: str, temperature: float = 0.2):
        self.url, self.model, self.temperature = url, model, temperature
        self.key = os.environ.get("SORVEL_MODEL_API_KEY", "")

    def complete(self, system: str, messages: list) -> str:
        body = json.dumps({"model": self.model, "temperature": self.temperature,
                           "messages": [{"role": "system", "content": system}, *messages]})
        request = urllib.request.Request(self.url, data=body.encode(), method="POST",
                                         headers={"Content-Type": "application/json"})
        if self.key:
            request.add_header("Authorization", f"Bearer {self.key}")
        try:
            with urllib.request.urlopen(request, timeout=120) as response:
                answer = json.load(response)
            return answer["choices"][0]["message"]["content"]
        except urllib.error.HTTPError as exc:
            raise ModelError(f"{self.url} answered HTTP {exc.code}: {exc.read()[:300]!r}") from exc
        except (urllib.error.URLError, OSError) as exc:
            raise ModelError(f"cannot reach {self.url}: {exc}") from exc
        except (KeyError, IndexError, TypeError, ValueError) as exc:
            raise ModelError(f"{self.url} gave an answer without choices[0].message.content") from exc


# --- the embedder ----------------------------------------------------------------

DIMS = 256


def embed(text: str) -> list[float]:
    """Hashed word counts: a small deterministic embedding of the demo's own."""
    vector = [0.0] * DIMS
    for word in re.findall(r"[a-z0-9%']+", text.lower()):
        digest = hashlib.blake2b(word.encode(), digest_size=4).digest()
        vector[int.from_bytes(digest, "little") % DIMS] += 1.0
    return vector


def similarity(a: str, b: str) -> float:
    return thread_halt.cosine_similarity(embed(a), embed(b))


# --- the report ------------------------------------------------------------------

@dataclass
class Report:
    json_mode: bool
    show_prompts: bool
    doc: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)

    def section(self, title):
        if not self.json_mode:
            print(f"\n== {title} " + "=" * max(0, 70 - len(title)))

    def line(self, text=""):
        if not self.json_mode:
            print(text)

    def prompt(self, kind, system, user):
        if self.show_prompts and not self.json_mode:
            print(f"--- prompt ({kind}): system ---\n{system}\n--- prompt ({kind}): user ---\n{user}\n---")


class _WarningsToReport(logging.Handler):
    def __init__(self, report: Report):
        super().__init__(level=logging.WARNING)
        self.report = report

    def emit(self, record):
        fields = {k: getattr(record, k) for k in ("response_preview", "type") if hasattr(record, k)}
        entry = {"logger": record.name, "message": record.getMessage(), **fields}
        self.report.warnings.append(entry)
        shown = ", ".join(f"{k}={v!r}" for k, v in fields.items())
        self.report.line(f"   ! warning from {record.name.rsplit('.', 1)[1]}: {record.getMessage()} ({shown})")


def ask(model, report, kind, pair):
    system, messages = pair
    report.prompt(kind, system, messages[0]["content"])
    return model.complete(system, messages)


# --- the run ---------------------------------------------------------------------

def show_profiles(report):
    report.section("Tuning profiles (fields that any profile changes)")
    bundles = {name: getattr(TuningBundle, name)() for name in PROFILES}
    base = bundles["balanced"]
    fields = [f for f in TuningBundle.__match_args__
              if any(getattr(b, f) != getattr(base, f) for b in bundles.values())]

    def cell(value):
        if isinstance(value, str):
            return (value[:8] + "...") if len(value) > 11 else value
        return "-" if value is None else str(value)

    short = ["balanced", "research", "coding", "support", "strategic", "local"]
    width = max(len(f) for f in fields) + 2
    report.line(" " * width + "".join(f"{s:>12}" for s in short))
    for f in fields:
        values = [cell(getattr(bundles[p], f)) for p in PROFILES]
        report.line(f"{f:<{width}}" + "".join(f"{v:>12}" for v in values))
    report.doc["profiles"] = {p: {f: getattr(bundles[p], f) for f in fields} for p in PROFILES}


def dream_cycle(model, bundle, report):
    doc = report.doc["dream"] = {}
    report.section("Dream cycle: consolidation")
    memories = [m for m in data.MEMORIES if m["salience"] >= bundle.consolidation_min_salience]
    memories.sort(key=lambda m: m["salience"], reverse=True)
    selected = memories[: bundle.consolidation_max_inputs]
    selected.sort(key=lambda m: m["created_at"])
    report.line(f"{len(selected)} of {len(data.MEMORIES)} memories selected "
                f"(salience >= {bundle.consolidation_min_salience}, at most {bundle.consolidation_max_inputs}):")
    for m in selected:
        content = m["content"] if isinstance(m["content"], str) else json.dumps(m["content"], ensure_ascii=False)
        report.line(f"  {m['id']}  {m['salience']:.2f}  {content[:72]}")
    answer = ask(model, report, "consolidation", consolidation.build_consolidation_prompt(selected))
    insight = consolidation.parse_consolidation_output(answer)
    report.line(f"\ninsight: {insight}")
    doc.update(selected=[m["id"] for m in selected], insight=insight, insight_answer=answer)

    report.section("Dream cycle: directive evolution")
    insights = [{"id": "ins-1", "text": insight},
                {"id": "ins-0", "text": "Customers who wait for callbacks threaten to churn."}]
    pair = evolution.build_evolution_prompt(insights, data.DIRECTIVES, bundle.dream_evolve_max_per_cycle,
                                            bundle.dream_evolve_style_guidance)
    answer = ask(model, report, "evolution", pair)
    proposals = evolution.parse_evolution_output(answer, {i["id"] for i in insights})
    report.line(f"{len(proposals)} proposals parsed (asked for at most {bundle.dream_evolve_max_per_cycle}"
                + (", with the profile's style guidance" if bundle.dream_evolve_style_guidance else "") + "):")
    kept, dropped, per_domain = [], [], {}
    for p in proposals:
        domain = rule_domains.classify_directive_domain(p.text)
        entry = {"text": p.text, "source": p.source_insight_id, "domain": domain}
        near = next((k for k in kept if similarity(k["text"], p.text) >= rule_domains.EVOLVE_DEDUP_THRESHOLD), None)
        stored = next((d for d in data.DIRECTIVES
                       if similarity(d, p.text) >= _invariants.DIRECTIVE_DEDUP_COSINE_THRESHOLD), None)
        if domain != rule_domains.DOMAIN_GENERAL and per_domain.get(domain, 0) >= rule_domains.EVOLVE_MAX_PER_DOMAIN:
            entry["dropped"] = f"domain {domain} already has {rule_domains.EVOLVE_MAX_PER_DOMAIN} proposal this cycle"
        elif near is not None:
            entry["dropped"] = f"near-duplicate of a proposal of this cycle (>= {rule_domains.EVOLVE_DEDUP_THRESHOLD})"
        elif stored is not None:
            entry["dropped"] = (f"the directive store already holds it "
                                f"(>= {_invariants.DIRECTIVE_DEDUP_COSINE_THRESHOLD})")
        elif len(kept) >= bundle.dream_evolve_max_per_cycle:
            entry["dropped"] = f"over the per-cycle limit of {bundle.dream_evolve_max_per_cycle}"
        if "dropped" in entry:
            dropped.append(entry)
        else:
            kept.append(entry)
            per_domain[domain] = per_domain.get(domain, 0) + 1
        mark = "DROP" if "dropped" in entry else "KEEP"
        report.line(f"  {mark} [{domain:<11}] {p.text}  (from {p.source_insight_id or '-'})")
        if "dropped" in entry:
            report.line(f"         why: {entry['dropped']}")
    doc.update(kept=kept, dropped=dropped)

    report.section("Dream cycle: journal")
    ordered = sorted(data.MEMORIES, key=lambda m: m["created_at"])[-bundle.journal_max_memories:]
    if len(ordered) < bundle.journal_min_memories:
        entry = ""
    else:
        answer = ask(model, report, "journal", journal.build_journal_prompt(ordered))
        entry = journal.parse_journal_output(answer)
    report.line(f"over {len(ordered)} memories, oldest first:\n{entry}")
    doc["journal"] = entry

    if not insight:
        status = "failed"
    elif kept and entry:
        status = "success"
    else:
        status = "partial"
    assert status in _invariants.DREAM_VALID_STATUSES
    report.line(f"\ndream cycle status: {status}")
    doc["status"] = status


async def ground_facts(model, bundle, report, timeout=30.0):
    lane = JobLane(2)
    embeddings, results, malformed = {}, {}, {}
    warned = _Records()
    extraction.logger.addHandler(warned)

    async def embed_memory(memory):
        await asyncio.sleep(0)
        embeddings[memory["id"]] = embed(ScriptedModel._memory_text(memory))

    async def extract(memory):
        text = ScriptedModel._memory_text(memory)
        pair = extraction.build_extraction_prompt(text, bundle.fact_extraction_max_per_memory)
        answer = await asyncio.to_thread(ask, model, report, "facts", pair) \
            if isinstance(model, HttpModel) else ask(model, report, "facts", pair)
        seen = len(warned.records)
        facts = extraction.parse_extraction_output(answer)  # on this thread: its warning lands here
        if len(warned.records) > seen:
            malformed[memory["id"]] = warned.records[-1].getMessage()
        results[memory["id"]] = facts
        return facts

    handles = {}
    for memory in data.MEMORIES:
        lane.submit(f"embed:{memory['id']}", embed_memory(memory))
        handles[memory["id"]] = lane.submit(f"facts:{memory['id']}", extract(memory),
                                            after=f"embed:{memory['id']}")
    report.line(f"{len(handles) * 2} named tasks on a lane of 2 "
                f"(each extraction after its memory's embedding); waiting at most {timeout:g} s")
    await lane.wait_all(timeout=timeout)
    extraction.logger.removeHandler(warned)
    unfinished = lane.active_count
    if unfinished:
        lane.cancel_all()
        await lane.wait_all()
    return results, malformed, unfinished


class _Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


def grounding(model, bundle, report, facts_on):
    doc = report.doc["grounding"] = {}
    report.section("Fact grounding: facts of each captured memory")
    stored, malformed = [], {}
    if facts_on:
        results, malformed, unfinished = asyncio.run(ground_facts(model, bundle, report))
        for memory in data.MEMORIES:
            for fact in results.get(memory["id"], []):
                stored.append({**fact, "memory": memory["id"]})
                report.line(f"  {memory['id']}: ({fact['subject']}, {fact['attribute']}, {fact['value']})"
                            f"  conf {fact['confidence']:.2f}")
        for memory_id, warning in malformed.items():
            report.line(f"  {memory_id}: no facts: its answer was malformed ({warning})")
        if unfinished:
            report.line(f"{len(stored)} facts stored; {unfinished} tasks were still running at the "
                        "time-out and were cancelled")
        else:
            report.line(f"{len(stored)} facts stored; every task finished before the time-out")
    else:
        report.line("fact extraction is off for this profile (enable_fact_extraction is false); "
                    "pass --facts to turn it on")
    doc["facts"] = stored
    doc["malformed"] = malformed

    report.section("Fact grounding: claims of a draft answer")
    report.line(f"draft: {data.DRAFT_ANSWER}")
    pair = extraction.build_claim_extraction_prompt(data.DRAFT_ANSWER, bundle.grounding_max_claims)
    claims = extraction.parse_claim_extraction_output(ask(model, report, "claims", pair))
    checked = []
    for claim in claims:
        support = supporting_fact(claim, stored, bundle.grounding_semantic_threshold)
        checked.append({**claim, "grounded": support is not None,
                        "support": support and f"{support['memory']}: {support['value']}"})
        verdict = f"grounded by {support['memory']}" if support else "UNGROUNDED: no stored fact says so"
        lost = [m["id"] for m in data.MEMORIES if m["id"] in malformed
                and claim["subject"].casefold() in ScriptedModel._memory_text(m).casefold()]
        if not support and lost:
            verdict += f" (the answer for {', '.join(lost)}, which mention {claim['subject']}, was malformed)"
        checked[-1]["lost_to_malformed_answer"] = [] if support else lost
        report.line(f"  ({claim['subject']}, {claim['attribute']}, {claim['value']}) -> {verdict}")
    doc["claims"] = checked


def supporting_fact(claim, facts, threshold):
    """A plain grounding check: same subject and attribute, and a value that matches."""
    key = (claim["subject"].casefold(), claim["attribute"].casefold())
    for fact in facts:
        if (fact["subject"].casefold(), fact["attribute"].casefold()) != key:
            continue
        if fact["value"].casefold() == claim["value"].casefold() or \
                similarity(fact["value"], claim["value"]) >= threshold:
            return fact
    return None


def workspace(model, report):
    doc = report.doc["workspace"] = {}
    report.section("Workspace: a thread between two agents")
    turns, reason = [], None
    for sender, body in data.THREAD[:MAX_TURNS]:
        turns.append((sender, body))
        report.line(f"  [{sender}] {' '.join(body.split())}")
        if len(turns) >= 2:
            sim = thread_halt.cosine_similarity(embed(turns[-2][1]), embed(body))
            if sim > thread_halt.STAGNATION_COSINE_THRESHOLD:
                reason = (f"stagnation: turns {len(turns) - 1} and {len(turns)} have cosine {sim:.3f} "
                          f"> {thread_halt.STAGNATION_COSINE_THRESHOLD}")
                doc["stop"] = {"by": "stagnation", "turn": len(turns), "cosine": sim}
                break
            prompt = thread_halt.build_convergence_prompt(turns)
            answer = ask(model, report, "judge", (thread_halt.CONVERGENCE_JUDGE_SYSTEM_PROMPT,
                                                  [{"role": "user", "content": prompt}]))
            converged, text = thread_halt.parse_convergence_verdict(answer)
            report.line(f"     judge: {'CONVERGED' if converged else 'open'} - {text}")
            if converged:
                reason = f"judge: converged after turn {len(turns)}: {text}"
                doc["stop"] = {"by": "judge", "turn": len(turns), "summary": text}
                break
    if reason is None:
        reason = f"max_turns ceiling of {MAX_TURNS}"
        doc["stop"] = {"by": "max_turns", "turn": len(turns)}
    report.line(f"thread stopped: {reason}")

    report.section("Workspace: team synthesis")

    @dataclass
    class SharedMemory:
        agent: str
        team_score: float
        content: str

    rows = [SharedMemory(*row) for row in data.SHARED_MEMORIES]
    stored_hashes, syntheses = set(), []
    # The next team dream brings the same shared memories again: same text,
    # same hash, so the stored synthesis is reused instead of made twice.
    for attempt, batch in enumerate([rows, list(rows)], 1):
        text = crew_synthesis.build_crew_synthesis_prompt(batch)
        digest = crew_synthesis.compute_prompt_hash(text)
        if digest in stored_hashes:
            report.line(f"synthesis {attempt}: prompt hash {digest} already stored, skipped")
            syntheses.append({"hash": digest, "skipped": True})
            continue
        report.prompt("crew", crew_synthesis.CREW_SYNTHESIS_SYSTEM_PROMPT, text)
        insight = model.complete(crew_synthesis.CREW_SYNTHESIS_SYSTEM_PROMPT, [{"role": "user", "content": text}])
        stored_hashes.add(digest)
        syntheses.append({"hash": digest, "skipped": False, "insight": insight})
        report.line(text)
        report.line(f"\nsynthesis {attempt}: hash {digest}\nteam insight: {insight}")
    doc["syntheses"] = syntheses


def run(profile="balanced", facts=False, show_prompts=False, json_mode=False, model=None):
    """Runs the whole demo and returns the report as a dict."""
    bundle = getattr(TuningBundle, profile)()
    report = Report(json_mode=json_mode, show_prompts=show_prompts)
    report.doc.update(profile=profile, agent=data.AGENT)
    model = model or ScriptedModel()
    handler = _WarningsToReport(report)
    root = logging.getLogger("sorvel_layer._internal")
    root.addHandler(handler)
    try:
        show_profiles(report)
        dream_cycle(model, bundle, report)
        grounding(model, bundle, report, facts or bundle.enable_fact_extraction)
        workspace(model, report)
    finally:
        root.removeHandler(handler)
    report.doc["warnings"] = report.warnings
    return report.doc


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="environment: SORVEL_MODEL_API_KEY  the bearer key sent with --model-url (optional)")
    parser.add_argument("--profile", choices=PROFILES, default="balanced",
                        help="the tuning profile of the agent (default: balanced)")
    parser.add_argument("--facts", action="store_true", help="run fact extraction whatever the profile says")
    parser.add_argument("--show-prompts", action="store_true", help="print every prompt sent")
    parser.add_argument("--json", action="store_true", help="print the run as one JSON document")
    parser.add_argument("--model-url", help="an OpenAI-compatible chat-completions URL")
    parser.add_argument("--model", help="model name for --model-url (default: gpt-4o-mini)")
    opts = parser.parse_args(argv)
    if opts.model and not opts.model_url:
        parser.error("--model needs --model-url")
    if opts.show_prompts and opts.json:
        parser.error("--show-prompts cannot be combined with --json")
    if opts.model_url:
        url = urllib.parse.urlsplit(opts.model_url)
        if url.scheme not in ("http", "https") or not url.netloc:
            parser.error(f"--model-url must be an http:// or https:// URL, not {opts.model_url!r}")
    model = HttpModel(opts.model_url, opts.model or "gpt-4o-mini") if opts.model_url else None
    try:
        doc = run(opts.profile, opts.facts, opts.show_prompts, opts.json, model)
    except ModelError as exc:
        print(f"demo: the model failed: {exc}", file=sys.stderr)
        return 2
    if opts.json:
        print(json.dumps(doc, indent=2, ensure_ascii=False, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
