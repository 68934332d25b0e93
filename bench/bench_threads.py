"""Thread scaling: calls per second of every pure function at 1 thread and at
one thread per core, each thread calling in a loop.

Two origins of the inputs: each worker builds its own ("own"), or one other
thread (the main thread) builds one set per worker and hands it over
("other", as a host that embeds on its loop and compares in workers does);
with --origin shared, every worker reads the very same inputs.
On a free-threaded build run it with the GIL off; on a GIL build it runs the
same way, for the comparison between the two builds of one version:

    PYTHON_GIL=0 python -X gil=0 bench/bench_threads.py --save ft.json
    python bench/bench_threads.py --save gil.json
    PYTHON_GIL=0 python -X gil=0 bench/bench_threads.py --against gil.json

Each figure is the best of several interleaved rounds: other work on the
machine only ever lowers a figure, so the best one is the least disturbed.
"""
import argparse
import array
import importlib
import json
import logging
import os
import random
import sys
import sysconfig
import threading
import time
import types

PKG = "sorvel_layer._internal"
consolidation, journal, evolution, extraction, rule_domains, thread_halt, crew_synthesis, \
    tuning_bundle = (importlib.import_module(f"{PKG}.{m}") for m in (
        "consolidation", "journal", "evolution", "extraction", "rule_domains", "thread_halt",
        "crew_synthesis", "tuning_bundle"))
TuningBundle = tuning_bundle.TuningBundle

# The answers and rows of the single-thread benchmarks.
from bench_extraction import _answer as facts_answer  # noqa: E402
from bench_workspace import Row  # noqa: E402

logging.getLogger(PKG).addHandler(logging.NullHandler())
logging.getLogger(PKG).propagate = False

# --- inputs, each built afresh by whichever thread calls the builder ---------------

WORDS = ("customer order refund delay agent reply tone context memory pattern shipping "
         "weekly report user asked again about the same issue and was frustrated").split()


def sentence(rng, n_chars):
    out, size = [], 0
    while size < n_chars:
        out.append(rng.choice(WORDS))
        size += len(out[-1]) + 1
    return " ".join(out).capitalize() + "."


def memories(rng):
    return [{"id": f"m{i}", "content": sentence(rng, 300), "event_type": "observation",
             "created_at": f"2024-05-{i + 1:02d}T10:00:00Z", "salience": 0.4 + i / 100}
            for i in range(20)]


def fenced(rng):
    return f'```\n"{sentence(rng, 2000)}"\n```'


def proposals(rng):
    body = json.dumps({"proposed": [
        {"text": f"When {sentence(rng, 60)[:-1].lower()}, offer a clear next step.",
         "source_insight_id": f"ins-{i}"} for i in range(5)]}, indent=2)
    return f"```json\n{body}\n```", {f"ins-{i}" for i in range(5)}


def rows(rng):
    return [Row(round(rng.random(), 2), f"Shared memory {i}: " + "x" * rng.randint(20, 120),
                f"agent-{i % 5}") for i in range(200)]


def vector(rng, dim=1536):
    return [rng.uniform(-1.0, 1.0) for _ in range(dim)]


def turns(rng):
    words = ["ship", "Friday", "deploy\n", "agreed", "  ", "tests\t", "caf\u00e9"]
    return [(f"agent-{i % 3}", " ".join(rng.choice(words) for _ in range(40))) for i in range(12)]


def changes(rng):
    """The thirteen fields of the research profile (values this thread made)."""
    research = TuningBundle.for_research()
    return {n: getattr(research, n) for n in TuningBundle.__match_args__
            if getattr(research, n) != getattr(TuningBundle(), n)}


def record(rng):
    return TuningBundle(decay_factor=rng.uniform(0.8, 0.9))


# (name, function, builder of (args, kwargs)). The first row is no function of
# ours: the interpreter's own floor, which shows whether the machine gave the
# run its cores (it scales when they are free).
# Plain Python functions rather than operator.attrgetter or operator.eq: a
# free-threaded build defers the reference counts of Python functions, while a
# shared C callable's count, touched by every call of every thread, would be
# what the figure measures.
def read_decay_factor(r):
    return r.decay_factor


def equal(a, b):
    return a == b


WORKLOADS = [
    ("(floor) types.SimpleNamespace()", types.SimpleNamespace, lambda rng: ((), {})),
    ("build_consolidation_prompt", consolidation.build_consolidation_prompt,
     lambda rng: ((memories(rng),), {})),
    ("parse_consolidation_output", consolidation.parse_consolidation_output,
     lambda rng: ((fenced(rng),), {})),
    ("build_journal_prompt", journal.build_journal_prompt, lambda rng: ((memories(rng),), {})),
    ("parse_journal_output", journal.parse_journal_output, lambda rng: ((fenced(rng),), {})),
    ("build_evolution_prompt", evolution.build_evolution_prompt,
     lambda rng: (([{"id": f"ins-{i}", "text": sentence(rng, 160)} for i in range(5)],
                   [sentence(rng, 70) for _ in range(10)], 3,
                   f"  {sentence(rng, 50)}  "), {})),
    ("parse_evolution_output", evolution.parse_evolution_output,
     lambda rng: (proposals(rng), {})),
    ("classify_directive_domain", rule_domains.classify_directive_domain,
     lambda rng: ((sentence(rng, 80),), {})),
    ("build_extraction_prompt", extraction.build_extraction_prompt,
     lambda rng: ((sentence(rng, 150), 8), {})),
    ("parse_extraction_output", extraction.parse_extraction_output,
     lambda rng: ((facts_answer("facts", True),), {})),
    ("build_claim_extraction_prompt", extraction.build_claim_extraction_prompt,
     lambda rng: ((sentence(rng, 4096), 6), {})),
    ("parse_claim_extraction_output", extraction.parse_claim_extraction_output,
     lambda rng: ((facts_answer("claims", False),), {})),
    ("cosine_similarity (lists, 1536)", thread_halt.cosine_similarity,
     lambda rng: ((vector(rng), vector(rng)), {})),
    ("cosine_similarity (array, 1536)", thread_halt.cosine_similarity,
     lambda rng: ((array.array("d", vector(rng)), array.array("d", vector(rng))), {})),
    ("build_convergence_prompt", thread_halt.build_convergence_prompt,
     lambda rng: ((turns(rng),), {})),
    ("parse_convergence_verdict", thread_halt.parse_convergence_verdict,
     lambda rng: (("CONVERGED|" + sentence(rng, 50),), {})),
    ("build_crew_synthesis_prompt", crew_synthesis.build_crew_synthesis_prompt,
     lambda rng: ((rows(rng),), {})),
    ("compute_prompt_hash", crew_synthesis.compute_prompt_hash,
     lambda rng: ((sentence(rng, 4000),), {})),
    ("TuningBundle()", TuningBundle, lambda rng: ((), {})),
    ("TuningBundle(**13 changes)", TuningBundle, lambda rng: ((), changes(rng))),
    ("TuningBundle.balanced", TuningBundle.balanced, lambda rng: ((), {})),
    ("TuningBundle.for_research", TuningBundle.for_research, lambda rng: ((), {})),
    ("TuningBundle.for_coding_assistant", TuningBundle.for_coding_assistant,
     lambda rng: ((), {})),
    ("TuningBundle.for_consumer_support", TuningBundle.for_consumer_support,
     lambda rng: ((), {})),
    ("TuningBundle.for_strategic_advisors", TuningBundle.for_strategic_advisors,
     lambda rng: ((), {})),
    ("TuningBundle.for_lightweight_local", TuningBundle.for_lightweight_local,
     lambda rng: ((), {})),
    ("replace(record, decay_factor=...)", tuning_bundle.replace,
     lambda rng: ((record(rng),), {"decay_factor": rng.random()})),
    ("record.decay_factor", read_decay_factor, lambda rng: ((record(rng),), {})),
    ("record == record", equal, lambda rng: ((record(rng), TuningBundle()), {})),
    ("hash(record)", hash, lambda rng: ((record(rng),), {})),
    ("repr(record)", repr, lambda rng: ((record(rng),), {})),
]

# --- timing ---------------------------------------------------------------------------


def calls_loop(fn, args, kwargs, batch, stop):
    """Calls fn in batches until stop is set: (calls, start, end)."""
    calls = 0
    begin = time.perf_counter()
    if kwargs:
        while not stop:
            for _ in range(batch):
                fn(*args, **kwargs)
            calls += batch
    else:
        while not stop:
            for _ in range(batch):
                fn(*args)
            calls += batch
    return calls, begin, time.perf_counter()


def run(fn, build, n_threads, origin, batch, seconds, seed):
    """Calls per second of n_threads threads together: all their calls over
    the time from the common start to the last thread's end."""
    # Every worker's inputs have the same content (the cost of a call may
    # depend on it), in objects of their own unless shared.
    if origin == "own":
        given = None
    elif origin == "other":
        given = [build(random.Random(seed)) for _ in range(n_threads)]
    else:  # "shared": the very same inputs in every worker
        given = [build(random.Random(seed))] * n_threads
    start = threading.Barrier(n_threads + 1)
    stop = []  # set (made non-empty) by the main thread
    done = [(0, 0.0, 0.0)] * n_threads

    def work(i):
        args, kwargs = given[i] if given else build(random.Random(seed))
        for _ in range(min(batch, 16)):  # warm up
            fn(*args, **kwargs)
        start.wait()
        done[i] = calls_loop(fn, args, kwargs, batch, stop)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    start.wait()
    time.sleep(seconds)
    stop.append(True)
    for t in threads:
        t.join()
    elapsed = max(end for _, _, end in done) - min(begin for _, begin, _ in done)
    return sum(calls for calls, _, _ in done) / elapsed


def measure(fn, build, n_threads, origins, rounds, seconds):
    """{origin: (best rate at 1 thread, best rate at n_threads)}."""
    args, kwargs = build(random.Random(0))
    t = time.perf_counter()
    for _ in range(10):
        fn(*args, **kwargs)
    per = (time.perf_counter() - t) / 10
    batch = max(1, min(10_000, int(0.001 / max(per, 1e-9))))  # about 1 ms a batch
    best = {o: [0.0, 0.0] for o in origins}
    for r in range(rounds):  # interleaved, so a busy moment weighs on both counts alike
        for o in origins:
            for slot, k in enumerate((1, n_threads)):
                best[o][slot] = max(best[o][slot], run(fn, build, k, o, batch, seconds, 100 * r))
    return best


def rate_text(r):
    return f"{r / 1e6:7.2f} M" if r >= 1e6 else f"{r / 1e3:7.1f} k"


def build_kind():
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "GIL build"
    gil = os.environ.get("PYTHON_GIL") == "0" or sys.flags.__dict__.get("gil") == 0
    return "free-threaded, GIL off" if gil else "free-threaded (GIL state: see PYTHON_GIL / -X gil)"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0))
                        if hasattr(os, "sched_getaffinity") else os.cpu_count())
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.1, help="of one timed run")
    parser.add_argument("--only", default="", help="functions whose name holds this text")
    parser.add_argument("--origin", choices=("own", "other", "both", "shared"), default="both",
                        help="who builds the inputs: each worker, the main thread (one set "
                             "per worker), both of these, or the main thread one set for all")
    parser.add_argument("--save", help="write the figures to this JSON file")
    parser.add_argument("--against", help="figures of another build (--save) to compare with")
    opts = parser.parse_args()
    origins = ("own", "other") if opts.origin == "both" else (opts.origin,)
    n = opts.threads
    other = json.load(open(opts.against))["figures"] if opts.against else {}

    print(f"Python {sys.version.split()[0]}, {build_kind()}, {n} threads; calls/s, best of "
          f"{opts.rounds} rounds of {opts.seconds:g} s")
    head = f"{'function':<38}"
    for o in origins:
        head += f" | {o + ': 1 thread':>15} {f'{n} threads':>10} {'factor':>6}"
    if other:
        head += " | 1 thread vs other build"
    print(head)
    figures = {}
    for name, fn, build in WORKLOADS:
        if opts.only not in name:
            continue
        best = measure(fn, build, n, origins, opts.rounds, opts.seconds)
        figures[name] = best
        line = f"{name:<38}"
        for o in origins:
            one, many = best[o]
            line += f" | {rate_text(one):>15} {rate_text(many):>10} {many / one:5.2f}x"
        if name in other:
            line += " | " + "  ".join(f"{o} {best[o][0] / other[name][o][0]:4.2f}x"
                                      for o in origins if o in other[name])
        print(line, flush=True)
    if opts.save:
        with open(opts.save, "w") as f:
            json.dump({"python": sys.version, "kind": build_kind(), "threads": n,
                       "figures": figures}, f, indent=1)


if __name__ == "__main__":
    main()
