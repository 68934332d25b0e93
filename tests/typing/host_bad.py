"""Wrong calls; `mypy --strict` must report each line marked with its expected error code."""

from __future__ import annotations

import asyncio

from sorvel_layer._internal import _invariants, consolidation, evolution, extraction, job_lane, thread_halt
from sorvel_layer._internal.tuning_bundle import TuningBundle

memory = {"content": "c", "event_type": "e", "created_at": "t"}
consolidation.build_consolidation_prompt((memory,))  # expect: arg-type
consolidation.build_consolidation_prompt(["not a record"])  # expect: type-var
evolution.parse_evolution_output("{}", ["i1"])  # expect: arg-type
extraction.build_extraction_prompt("note", "8")  # expect: arg-type
thread_halt.build_convergence_prompt(["ab", "cd"])  # expect: type-var
thread_halt.cosine_similarity("ab", "cd")  # expect: arg-type
flag: int = next(iter(_invariants.CRITIC_FLAG_TAXONOMY))  # expect: assignment

bundle = TuningBundle()
bundle.decay_factor = 0.5  # expect: misc


class Tuned(TuningBundle):  # expect: misc
    pass


async def answer() -> int:
    return 42


async def main() -> None:
    lane = job_lane.JobLane()
    task: asyncio.Task[str] = lane.submit("answer", answer())  # expect: arg-type
    lane.submit("late", answer)  # expect: arg-type
    await task
