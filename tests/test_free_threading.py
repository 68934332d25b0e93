import array
import importlib
import json
import os
import random
import struct
import subprocess
import sys
import sysconfig
import threading
import time
from fractions import Fraction

import pytest

import reference
from conftest import load, run_together

MODULES = ["_invariants", "tuning_bundle", "_defaults", "consolidation", "evolution", "journal",
           "rule_domains", "extraction", "thread_halt", "crew_synthesis", "job_lane"]

consolidation = load("consolidation")
journal = load("journal")
evolution = load("evolution")
extraction = load("extraction")
rule_domains = load("rule_domains")
thread_halt = load("thread_halt")
crew_synthesis = load("crew_synthesis")
tuning_bundle = load("tuning_bundle")


def bits(x):
    return struct.pack("<d", x)


free_threaded = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                   reason="needs a free-threaded interpreter")


@free_threaded
def test_importing_every_module_keeps_the_gil_off():
    code = ("import importlib, sys\n"
            f"for m in {MODULES!r}: importlib.import_module('sorvel_layer._internal.' + m)\n"
            "print(sys._is_gil_enabled())\n")
    out = subprocess.run([sys.executable, "-X", "gil=0", "-c", code],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
    assert out.stderr == ""


@free_threaded
@pytest.mark.skipif(sys._xoptions.get("gil") != "0", reason="run with -X gil=0")
def test_this_run_has_the_gil_off():
    """The thread tests of this run really ran without the GIL."""
    for m in MODULES:
        importlib.import_module(f"sorvel_layer._internal.{m}")
    assert sys._is_gil_enabled() is False


# --- every pure function while the host changes what it reads ----------------

class Row:
    def __init__(self, team_score, content):
        self.team_score = team_score
        self.content = content


def _host_data():
    """Containers a host might share between threads: nested maps and lists
    inside memory contents, insight maps, directive lists, id sets, rows and
    number buffers."""
    return {
        "memories": [{"content": {"k": [1, 2, {"x": "é"}], "n": i}, "event_type": "note",
                      "created_at": f"t{i}"} for i in range(8)],
        "insights": [{"id": f"i{i}", "text": f"insight {i}"} for i in range(6)],
        "directives": [f"directive {i}" for i in range(6)],
        "ids": {f"i{i}" for i in range(6)},
        "turns": [("a", "hello  there"), ("b", "ok")],
        "rows": [Row(i / 3, f"m{i}") for i in range(12)],
        "vector": array.array("d", [float(i) for i in range(256)]),
        "changes": {"decay_factor": 0.5},
    }


def _mutate(d, i):
    content = d["memories"][i % 8]["content"]
    content[f"extra{i % 5}"] = [i, {"deep": i}]
    content.pop(f"extra{(i + 2) % 5}", None)
    content["k"].append(i)
    del content["k"][0]
    d["memories"].append({"content": "late", "event_type": "e", "created_at": "x"})
    d["memories"].pop()
    d["insights"][i % 6]["text"] = f"changed {i}"
    d["insights"][i % 6].pop("extra", None)
    d["insights"][i % 6]["extra"] = i
    d["directives"].insert(0, f"new {i}")
    d["directives"].pop()
    d["ids"].add(f"late{i % 3}")
    d["ids"].discard(f"late{(i + 1) % 3}")
    d["turns"][i % 2] = ("c", f"turn {i}")
    d["rows"][i % 12].team_score = float("nan") if i % 7 == 0 else i / 5
    d["rows"][i % 12].content = {"n": i}
    d["rows"].reverse()
    d["vector"][i % 256] = i / 7
    d["changes"]["weaken_days"] = i


def _every_pure_function(d):
    ids = d["ids"]
    return [
        (consolidation.build_consolidation_prompt, (d["memories"],)),
        (consolidation.parse_consolidation_output, (' ```\n"An insight."\n``` ',)),
        (journal.build_journal_prompt, (d["memories"],)),
        (journal.parse_journal_output, ("  journal  ",)),
        (evolution.build_evolution_prompt, (d["insights"], d["directives"], 3, "guide")),
        (evolution.parse_evolution_output,
         ('{"proposed": [{"text": "When X, do Y.", "source_insight_id": "i1"}]}', ids)),
        (rule_domains.classify_directive_domain, ("Escalate REFUND requests to a MANAGER",)),
        (extraction.build_extraction_prompt, ("Dovan lives in Austin.", 8)),
        (extraction.parse_extraction_output,
         ('{"facts": [{"subject": "a", "attribute": "b", "value": "c", "confidence": 0.7}]}',)),
        (extraction.build_claim_extraction_prompt, ("Draft answer.", 6)),
        (extraction.parse_claim_extraction_output,
         ('{"claims": [{"subject": "a", "attribute": "b", "value": "c"}]}',)),
        (thread_halt.cosine_similarity, (d["vector"], list(range(256)))),
        (thread_halt.build_convergence_prompt, (d["turns"],)),
        (thread_halt.parse_convergence_verdict, ("CONVERGED|done",)),
        (crew_synthesis.build_crew_synthesis_prompt, (d["rows"],)),
        (crew_synthesis.compute_prompt_hash, ("prompt text",)),
        (tuning_bundle.TuningBundle.for_research, ()),
        (lambda: tuning_bundle.replace(tuning_bundle.TuningBundle(), **d["changes"]), ()),
    ]


def _outcome(fn, args):
    try:
        return fn(*args)
    except (KeyError, ValueError, TypeError, RuntimeError, IndexError, BufferError) as e:
        return e  # what a container changed in flight may give


@pytest.mark.skipif(os.environ.get("SORVEL_SANITIZED") is not None, reason="slow under sanitizers")
def test_every_pure_function_while_other_threads_change_its_inputs():
    """Readers call every pure function on data that writers change in place;
    nothing crashes, each call gives a result or a clean error, and the same
    calls on data nobody touches give the single-threaded results throughout."""
    shared, stable = _host_data(), _host_data()
    calls = _every_pure_function(stable)
    expected = [fn(*args) for fn, args in calls]
    stop = time.monotonic() + 2.0
    failures, read_ok = [], set()

    def write():
        i = 0
        while time.monotonic() < stop:
            i += 1
            try:
                _mutate(shared, i)
            except BufferError:  # the vector is being read through its buffer
                pass

    def read():
        while time.monotonic() < stop:
            for n, (fn, args) in enumerate(_every_pure_function(shared)):
                if not isinstance(_outcome(fn, args), BaseException):
                    read_ok.add(n)
            for (fn, args), want in zip(calls, expected):
                got = fn(*args)
                if got != want or repr(got) != repr(want):
                    failures.append((getattr(fn, "__name__", fn), got, want))
                    return

    threads = [threading.Thread(target=write) for _ in range(2)]
    threads += [threading.Thread(target=read) for _ in range(4)]
    run_together(threads)
    assert failures == []
    # Every function really read the changing inputs at least once.
    assert read_ok == set(range(len(calls)))


# --- lists and sets inside what the builders read, changed in place ----------

def _json_line(prompt, parse=True):
    """The content map of a one-memory prompt, read back from its JSON line."""
    line = prompt[1][0]["content"].rsplit("today): ", 1)[1].split("\n", 1)[0]
    return json.loads(line) if parse else line


@free_threaded
@pytest.mark.parametrize("build", [consolidation.build_consolidation_prompt,
                                   journal.build_journal_prompt])
def test_builders_while_other_threads_change_a_list_inside_a_memory(build):
    """Writers append to, replace items of and empty a list inside a memory's
    content while builders render it. A list read in place while items are
    freed under it crashed the interpreter with the GIL off; now each prompt
    holds the list as it was at some moment: valid JSON of the right items."""
    inner = [1, 2.5, "x", None, [3, 4], {"k": "v"}]
    memories = [{"content": {"a": inner}, "event_type": "note", "created_at": "today"}]
    allowed = (int, float, str, type(None), list, dict)
    stop = time.monotonic() + 1.5
    bad = []

    def read():
        while time.monotonic() < stop and not bad:
            got = _json_line(build(memories))["a"]
            if not all(isinstance(v, allowed) for v in got):
                bad.append(got)

    def change(seed):
        rng = random.Random(seed)
        while time.monotonic() < stop:
            try:
                if rng.random() < 0.5:
                    inner.append(rng.random())
                else:
                    inner[rng.randrange(len(inner))] = [rng.random()] * 3
                if len(inner) > 50:
                    inner.clear()
            except (IndexError, ValueError):  # emptied by the other writer
                pass

    threads = [threading.Thread(target=read) for _ in range(2)]
    threads += [threading.Thread(target=change, args=(s,)) for s in range(2)]
    run_together(threads)
    assert bad == []


def test_a_list_changed_by_its_own_items_encodes_as_json_does():
    """Items whose str() changes the list being written, or fails: the text
    is json.dumps(default=str) of it as it goes; a failure leaves the list
    free for other threads, and the next call works."""
    inner = [1]

    class Grows:
        def __str__(self):
            if len(inner) < 6:
                inner.append(len(inner))
            return "grew"

    class Empties:
        def __str__(self):
            inner.clear()
            return "emptied"

    class Fails:
        def __str__(self):
            raise ZeroDivisionError("no text form")

    memory = {"content": {"a": inner}, "event_type": "note", "created_at": "today"}
    for item in (Grows(), Empties()):
        inner[:] = [1, item, [2, item], 3]
        expected = json.dumps(memory["content"], default=str)
        inner[:] = [1, item, [2, item], 3]
        assert _json_line(consolidation.build_consolidation_prompt([memory]), parse=False) == expected

    inner[:] = [1, [Fails()], 2]
    with pytest.raises(ZeroDivisionError):
        consolidation.build_consolidation_prompt([memory])
    other = threading.Thread(target=lambda: inner.append(3))
    other.start()
    other.join(timeout=10)
    assert not other.is_alive()
    inner[1] = "fine"
    assert _json_line(consolidation.build_consolidation_prompt([memory])) == {"a": [1, "fine", 2, 3]}


@free_threaded
def test_fallback_insight_id_while_other_threads_change_the_set():
    """A proposal without a known source takes the smallest id of the set,
    read whole while writers add and drop other ids; the walk never stops
    on "Set changed size during iteration"."""
    ids = {f"i{n}" for n in range(5)}
    answer = '{"proposed": [{"text": "When X, do Y.", "source_insight_id": "nope"}]}'
    stop = time.monotonic() + 1.5
    bad = []

    def read():
        while time.monotonic() < stop and not bad:
            try:
                got = evolution.parse_evolution_output(answer, ids)[0].source_insight_id
            except RuntimeError as e:
                got = e
            if got != "i0":
                bad.append(got)

    def change(seed):
        rng = random.Random(seed)
        while time.monotonic() < stop:
            ids.add(f"z{rng.randrange(50)}")
            ids.discard(f"z{rng.randrange(50)}")

    threads = [threading.Thread(target=read) for _ in range(2)]
    threads += [threading.Thread(target=change, args=(s,)) for s in range(2)]
    run_together(threads)
    assert bad == []


# --- cosine_similarity on lists that other threads change ---------------------

def _states(rng):
    """Contents a writer swaps into one list: two of one length, one of another,
    and one whose last item (a Fraction) takes the converting path."""
    n = 300
    same = [[rng.uniform(-1, 1) for _ in range(n)] for _ in range(2)]
    fraction = [rng.uniform(-1, 1) for _ in range(n - 1)] + [Fraction(1, 3)]
    return same + [fraction, [1.0] * (n + 7)]


def cosine_bits(x, y):
    return bits(reference.cosine_similarity([float(v) for v in x], [float(v) for v in y]))


@pytest.mark.skipif(os.environ.get("SORVEL_SANITIZED") is not None, reason="slow under sanitizers")
def test_cosine_of_lists_replaced_whole_by_other_threads_sees_one_state_of_each():
    """Writers replace the lists' contents whole (one locked step each); a
    reader sees each list in one state: the result over those two states,
    bit for bit, or the length error naming their lengths. A read that mixed
    two states, or that went past a shrunken list, would show here."""
    rng = random.Random(3)
    states_a, states_b = _states(rng), _states(rng)
    a, b = list(states_a[0]), list(states_b[0])
    valid = {cosine_bits(x, y) for x in states_a for y in states_b if len(x) == len(y)}
    lengths = {len(x) for x in states_a}
    messages = {f"cosine_similarity expects equal-length vectors, got len(a)={n} and len(b)={m}."
                for n in lengths for m in lengths if n != m}
    stop = time.monotonic() + 1.5
    bad = []

    def write(target, states, seed):
        r = random.Random(seed)
        while time.monotonic() < stop:
            target[:] = r.choice(states)

    def read(x, y, ok):
        while time.monotonic() < stop and not bad:
            try:
                got = bits(thread_halt.cosine_similarity(x, y))
            except ValueError as e:
                got = str(e)
                if got not in messages:
                    bad.append(got)
                continue
            if got not in ok:
                bad.append(got)

    same = {cosine_bits(x, x) for x in states_a}
    threads = [threading.Thread(target=write, args=(a, states_a, 1)),
               threading.Thread(target=write, args=(b, states_b, 2)),
               threading.Thread(target=read, args=(a, b, valid)),
               threading.Thread(target=read, args=(b, a, valid)),
               threading.Thread(target=read, args=(a, a, same))]
    run_together(threads)
    assert bad == []


def test_cosine_converting_an_item_while_another_thread_empties_both_lists():
    """An item whose __float__ lets another thread run and clear both lists:
    the sum goes on over the items as they were when the conversion began."""
    a, b = [1.0, 2.0, 0.0, 4.0, 5.0], [2.0, 1.0, 3.0, 1.0, 2.0]

    class Waits:
        def __float__(self):
            t = threading.Thread(target=lambda: (a.clear(), b.clear()))
            t.start()
            t.join()
            return 3.0

    a[2] = Waits()
    expected = reference.cosine_similarity([1.0, 2.0, 3.0, 4.0, 5.0], [2.0, 1.0, 3.0, 1.0, 2.0])
    assert bits(thread_halt.cosine_similarity(a, b)) == bits(expected)
    assert a == b == []


def test_records_dropped_by_other_threads_come_back_clean():
    """Records are made in some threads and dropped in others, whose memory
    the next records reuse: every new record holds exactly its own values."""
    TB = tuning_bundle.TuningBundle
    makers = [TB, TB.for_consumer_support, TB.for_coding_assistant, TB.for_research,
              lambda: tuning_bundle.replace(TB.for_consumer_support(), decay_factor=0.5,
                                            dream_evolve_style_guidance="caf\u00e9 \ud800"),
              lambda: TB(dream_evolve_style_guidance="x" * 100, weaken_days=3)]
    expected = [repr(make()) for make in makers]
    handed = []
    bad = []

    def work(seed):
        r = random.Random(seed)
        for _ in range(3000):
            i = r.randrange(len(makers))
            record = makers[i]()
            if repr(record) != expected[i] or record != makers[i]():
                bad.append((i, repr(record)))
                return
            handed.append(record)  # dropped later, maybe by another thread
            while len(handed) > 20:
                try:
                    handed.pop(0)
                except IndexError:
                    pass

    threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
    run_together(threads)
    assert bad == []
