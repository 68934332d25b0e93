"""Workspace pieces: stagnation cosine, convergence prompt and verdict, crew synthesis."""
import array
import operator
import random

from _timing import per_call, report  # also puts tests/ on the path
import reference as py

from sorvel_layer._internal import crew_synthesis as cs
from sorvel_layer._internal import thread_halt as th

try:
    import numpy
except ImportError:  # optional
    numpy = None


def floor_cosine(a, b):
    return sum(a) + sum(b)


_score = operator.attrgetter("team_score")


class Row:
    __slots__ = ("team_score", "content", "agent")

    def __init__(self, team_score, content, agent):
        self.team_score, self.content, self.agent = team_score, content, agent


def main():
    rng = random.Random(7)
    print("cosine_similarity (floor: sum(a) + sum(b))")
    for dim in (384, 1536, 3072):
        a = [rng.uniform(-1.0, 1.0) for _ in range(dim)]
        b = [rng.uniform(-1.0, 1.0) for _ in range(dim)]
        assert th.cosine_similarity(a, b) == py.cosine_similarity(a, b)
        native = per_call(th.cosine_similarity, a, b)
        report(f"  lists, {dim} dims", native, per_call(py.cosine_similarity, a, b),
               per_call(floor_cosine, a, b))
        fa, fb = array.array("d", a), array.array("d", b)
        report(f"  array('d'), {dim} dims", per_call(th.cosine_similarity, fa, fb),
               per_call(py.cosine_similarity, fa, fb), per_call(floor_cosine, fa, fb))
        if numpy is not None:
            na, nb = numpy.array(a), numpy.array(b)
            assert th.cosine_similarity(na, nb) == py.cosine_similarity(a, b)
            report(f"  numpy float64, {dim} dims", per_call(th.cosine_similarity, na, nb),
                   per_call(py.cosine_similarity, na, nb))
            na32, nb32 = na.astype(numpy.float32), nb.astype(numpy.float32)
            report(f"  numpy float32, {dim} dims", per_call(th.cosine_similarity, na32, nb32),
                   per_call(py.cosine_similarity, na32.tolist(), nb32.tolist()))

    print("build_convergence_prompt (floor: str.join of the lines)")
    words = ["ship", "Friday", "deploy\n", "agreed", "  ", "tests\t", "caf\u00e9"]
    turns = [(f"agent-{i % 3}", " ".join(rng.choice(words) for _ in range(40)))
             for i in range(12)]
    assert th.build_convergence_prompt(turns) == py.build_convergence_prompt(turns)
    lines = [f"- [{s}] {c}" for s, c in turns]
    report("  12 turns of 40 words", per_call(th.build_convergence_prompt, turns),
           per_call(py.build_convergence_prompt, turns), per_call("\n".join, lines))

    print("parse_convergence_verdict (floor: str.strip)")
    for answer in ("CONVERGED|They agreed to ship on Friday after the tests pass.",
                   "  open | Waiting for Bob to confirm the rollout window.  ",
                   "The thread seems done to me."):
        assert th.parse_convergence_verdict(answer) == py.parse_convergence_verdict(answer)
        report(f"  {answer[:30]!r}", per_call(th.parse_convergence_verdict, answer),
               per_call(py.parse_convergence_verdict, answer), per_call(str.strip, answer))

    print("build_crew_synthesis_prompt, 200 rows (floor: sorted by attribute)")
    rows = [Row(round(rng.random(), 2), f"Shared memory {i}: " + "x" * rng.randint(20, 120),
                f"agent-{i % 5}") for i in range(200)]
    assert cs.build_crew_synthesis_prompt(rows) == py.build_crew_synthesis_prompt(rows)
    report("  float scores", per_call(cs.build_crew_synthesis_prompt, rows),
           per_call(py.build_crew_synthesis_prompt, rows),
           per_call(lambda r: sorted(r, key=_score, reverse=True), rows))
    prompt = cs.build_crew_synthesis_prompt(rows)
    assert cs.compute_prompt_hash(prompt) == py.compute_prompt_hash(prompt)
    # The hash is all hashlib: its floor is the plain version itself.
    report("  compute_prompt_hash of that text (floor: hashlib)",
           per_call(cs.compute_prompt_hash, prompt), floor=per_call(py.compute_prompt_hash, prompt))


if __name__ == "__main__":
    main()
