"""A host's ordinary code; `mypy --strict` must accept it as it stands."""

from __future__ import annotations

import asyncio
import dataclasses
from collections.abc import Mapping
from types import MappingProxyType
from typing import Any, TypedDict

from typing_extensions import assert_type

from sorvel_layer._internal import (
    _defaults,
    _invariants,
    consolidation,
    crew_synthesis,
    evolution,
    extraction,
    job_lane,
    journal,
    rule_domains,
    thread_halt,
    tuning_bundle,
)
from sorvel_layer._internal.evolution import DirectiveProposal
from sorvel_layer._internal.tuning_bundle import TuningBundle


class Memory(TypedDict):
    id: str
    content: str
    event_type: str
    created_at: str
    salience: float


# Records as a host holds them: inferred dicts, rows from storage, TypedDicts,
# read-only views.
memories = [{"content": "Prefers short answers.", "event_type": "observation",
             "created_at": "2026-03-01T09:00:00Z"}]
stored: list[dict[str, Any]] = [{"content": {"k": 1}, "event_type": "e", "created_at": 3}]
typed: list[Memory] = [{"id": "m1", "content": "c", "event_type": "e",
                        "created_at": "t", "salience": 0.5}]
views = [MappingProxyType({"content": "c", "event_type": "e", "created_at": "t"})]
declared: list[Mapping[str, str]] = [dict(m) for m in memories]

system, messages = consolidation.build_consolidation_prompt(memories)
assert_type(system, str)
assert_type(messages[0]["content"], str)
consolidation.build_consolidation_prompt(stored)
consolidation.build_consolidation_prompt(typed)
journal.build_journal_prompt(views)
journal.build_journal_prompt(declared)
insight: str = consolidation.parse_consolidation_output("``` x ```")

insights = [{"id": "i1", "text": "Users ask for summaries."}]
offered = {"i1"}
evolution.build_evolution_prompt(insights, ["Be brief."], 3)
evolution.build_evolution_prompt(insights, [], 2.0, style_guidance="terse")
proposals = evolution.parse_evolution_output("{}", offered)
evolution.parse_evolution_output("{}", frozenset(offered))
evolution.parse_evolution_output("{}", {"i1": 1}.keys())
for proposal in proposals:
    assert_type(proposal, DirectiveProposal)
    assert_type(proposal.text, str)
    assert_type(dataclasses.asdict(proposal), dict[str, Any])

facts = extraction.parse_extraction_output('{"facts": []}')
extraction.build_extraction_prompt("note", 8, role="assistant")
extraction.build_claim_extraction_prompt("draft", 6)
claims: list[dict[str, str]] = extraction.parse_claim_extraction_output("[]")

turns = [("agent-a", "hello"), ("agent-b", "hi")]
verdict, why = thread_halt.parse_convergence_verdict(thread_halt.build_convergence_prompt(turns))
assert_type(verdict, bool)
similarity: float = thread_halt.cosine_similarity([1.0, 0.0], (0.5, 0.5))
thread_halt.cosine_similarity(bytearray(8), memoryview(bytes(8)))


@dataclasses.dataclass
class SharedMemory:
    team_score: float
    content: str


crew_synthesis.compute_prompt_hash(crew_synthesis.build_crew_synthesis_prompt([SharedMemory(0.5, "x")]))

domain: str = rule_domains.classify_directive_domain("Always cite sources.")
assert_type(rule_domains.DIRECTIVE_DOMAINS, frozenset[str])
assert_type(_invariants.CRITIC_FLAG_TAXONOMY, frozenset[str])
assert_type(_defaults.DREAM_VALID_STATUSES, frozenset[str])
assert_type(consolidation.__all__, list[str])

bundle = TuningBundle.for_research()
assert_type(bundle.decay_factor, float)
names = [f.name for f in dataclasses.fields(bundle)]
changed = dataclasses.replace(bundle, decay_factor=0.8)
assert_type(changed, TuningBundle)
assert_type(tuning_bundle.replace(bundle, weaken_days=10), TuningBundle)
assert dataclasses.is_dataclass(bundle)
as_dict: dict[str, Any] = dataclasses.asdict(bundle)


async def answer() -> int:
    return 42


async def main() -> None:
    lane = job_lane.JobLane(max_concurrency=4)
    task = lane.submit("answer", answer())
    assert_type(task, asyncio.Task[int])
    follow = lane.submit("after", answer(), after="answer")
    await lane.wait_all(timeout=1.0)
    value: int = await follow
    print(value + await task, lane.active_count, lane.cancel_all())


asyncio.run(main())
