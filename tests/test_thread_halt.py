import array
import ctypes
import gc
import math
import random
import struct
from decimal import Decimal
from fractions import Fraction

import pytest

import reference
from conftest import load, run_in_threads

th = load("thread_halt")

HEADER, FOOTER = reference.CONVERGENCE_HEADER, reference.CONVERGENCE_FOOTER


def bits(x):
    return struct.pack("<d", x)


def random_vector(rng, n, scale):
    return [rng.uniform(-1.0, 1.0) * scale * 2.0 ** rng.randint(-30, 30) for _ in range(n)]


# --- cosine_similarity ---------------------------------------------------------

@pytest.mark.parametrize("scale", [1.0, 1e-150, 1e150, 1e-300, 1e300])
@pytest.mark.parametrize("n", [1, 7, 384, 3072, 5000])
def test_cosine_is_bit_identical_to_the_sequential_loop(n, scale):
    rng = random.Random(n * 31 + int(math.log10(scale)))
    a, b = random_vector(rng, n, scale), random_vector(rng, n, scale)
    expected = bits(reference.cosine_similarity(a, b))
    arr_a, arr_b = array.array("d", a), array.array("d", b)
    assert bits(th.cosine_similarity(a, b)) == expected
    assert bits(th.cosine_similarity(tuple(a), tuple(b))) == expected
    assert bits(th.cosine_similarity(arr_a, arr_b)) == expected
    assert bits(th.cosine_similarity(a, memoryview(arr_b))) == expected
    assert bits(th.cosine_similarity(arr_a, b)) == expected


def test_cosine_reads_float32_and_strided_buffers_as_their_values():
    rng = random.Random(5)
    a32 = array.array("f", [rng.uniform(-3, 3) for _ in range(4001)])
    b = [rng.uniform(-3, 3) for _ in range(8002)]
    b_every_other = memoryview(array.array("d", b))[::2]
    reversed_b = memoryview(array.array("d", b))[::-2]
    expected = reference.cosine_similarity(list(a32), b[::2])
    assert bits(th.cosine_similarity(a32, b_every_other)) == bits(expected)
    assert bits(th.cosine_similarity(a32, b[::2])) == bits(expected)
    assert th.cosine_similarity(a32, reversed_b) == reference.cosine_similarity(list(a32), b[::-2])
    # A byte view cast to doubles: contiguous, read in place.
    raw = memoryview(array.array("d", b).tobytes()).cast("d")
    assert th.cosine_similarity(raw, b) == reference.cosine_similarity(b, b)
    # Two float32 vectors, and formats that spell out the native order.
    b32 = array.array("f", b[:4001])
    assert bits(th.cosine_similarity(a32, b32)) == bits(
        reference.cosine_similarity(list(a32), list(b32)))
    native = [memoryview(array.array("d", b[:4001])).cast("B").cast("@d"),
              (ctypes.c_double * 4001)(*b[:4001]), (ctypes.c_float * 4001)(*b32)]
    for v in native:
        assert bits(th.cosine_similarity(a32, v)) == bits(
            reference.cosine_similarity(list(a32), list(v)))


def test_cosine_takes_any_real_number_as_its_float_value():
    a = [1, True, 2.5, Decimal("0.25"), Fraction(1, 3), 7]
    b = [0.5, 3, False, 1.0, 2, Decimal(4)]
    as_floats = [float(x) for x in a], [float(y) for y in b]
    assert bits(th.cosine_similarity(a, b)) == bits(reference.cosine_similarity(*as_floats))


def test_cosine_converts_list_elements_against_a_buffer_of_either_width():
    # From the first element to convert on, the list is read by conversion
    # while the buffer on the other side is still read as its values.
    rng = random.Random(9)
    a = [rng.uniform(-3, 3) for _ in range(300)]
    odd = a[:100] + [Fraction(a[100]), Decimal(a[101])] + a[102:]
    for typecode in "df":
        buf = array.array(typecode, [rng.uniform(-3, 3) for _ in range(300)])
        assert bits(th.cosine_similarity(odd, buf)) == bits(reference.cosine_similarity(a, list(buf)))
        assert bits(th.cosine_similarity(buf, odd)) == bits(reference.cosine_similarity(list(buf), a))


@pytest.mark.parametrize("a, b", [
    ([], []), ((), ()), (array.array("d"), []),
    ([0.0, -0.0, 0.0], [1.0, 2.0, 3.0]), ([1.0, 2.0], array.array("f", [0.0, 0.0])),
    ([1e-200, 1e-200], [1.0, 1.0]),  # the norm underflows to zero
])
def test_cosine_without_signal_is_zero(a, b):
    assert bits(th.cosine_similarity(a, b)) == bits(0.0)


@pytest.mark.parametrize("a, b, expected", [
    ([1.0, 2.0, 3.0], [2.0, 4.0, 6.0], 1.0),
    ([1.0, -2.0, 0.5], [-1.0, 2.0, -0.5], -1.0),
    ([1.0, 0.0], [0.0, 1.0], 0.0),
    ([0.2, 0.1, 0.7, 0.3, 0.2, 0.1], [0.2, 0.1, 0.7, 0.3, 0.2, 0.1], 1.0000000000000002),
])
def test_cosine_known_values_are_not_clamped(a, b, expected):
    assert th.cosine_similarity(a, b) == expected


@pytest.mark.parametrize("a, b, n, m", [
    ([1.0, 2.0, 3.0], [1.0, 2.0], 3, 2),
    ([], [1.0], 0, 1),
    (array.array("d", [1.0] * 4), (1.0,) * 10, 4, 10),
])
def test_cosine_length_mismatch_message(a, b, n, m):
    with pytest.raises(ValueError) as err:
        th.cosine_similarity(a, b)
    assert str(err.value) == (f"cosine_similarity expects equal-length vectors, "
                              f"got len(a)={n} and len(b)={m}.")


@pytest.mark.parametrize("a, b, error, message", [
    ([1.0, "2"], [1.0, 2.0], TypeError, "real number, not str"),
    ([1.0, None], [1.0, 2.0], TypeError, "real number, not NoneType"),
    ([1.0, 2.0], [1.0, 1j], TypeError, "real number, not complex"),
    ([1.0, "2"], array.array("f", [1.0, 2.0]), TypeError, "real number, not str"),
    (array.array("d", [1.0, 2.0]), (1.0, None), TypeError, "real number, not NoneType"),
    ([10 ** 400], [1.0], OverflowError, "int too large to convert to float"),
    ("ab", [1.0, 2.0], TypeError, "float64 or float32"),
    ({1.0: 1}, [1.0], TypeError, "float64 or float32"),
    (array.array("i", [1, 2]), [1.0, 2.0], TypeError, "float64 or float32 values, not format 'i'"),
    (b"ab", [1.0, 2.0], TypeError, "float64 or float32 values, not format 'B'"),
    (memoryview(array.array("d", [1.0] * 4)).cast("B").cast("d", (2, 2)), [1.0, 2.0], TypeError,
     "one-dimensional"),
])
def test_cosine_rejects_what_is_not_a_vector_of_reals(a, b, error, message):
    with pytest.raises(error, match=message):
        th.cosine_similarity(a, b)


def test_cosine_of_long_buffers_agrees_across_threads():
    # Long buffer pairs are summed with the interpreter released.
    rng = random.Random(2)
    pairs = [(array.array("d", random_vector(rng, 6000, 1.0)),
              array.array("f", random_vector(rng, 6000, 1.0))) for _ in range(4)]
    expected = [bits(reference.cosine_similarity(a, b)) for a, b in pairs]
    failures = []

    def worker():
        for _ in range(200):
            if [bits(th.cosine_similarity(a, b)) for a, b in pairs] != expected:
                failures.append(1)
                return

    run_in_threads(worker, 6)
    assert failures == []


def test_cosine_survives_an_element_that_empties_the_list():
    victim = [1.0, 0.0, 2.0, 3.0]

    class Sneaky:
        def __float__(self):
            victim.clear()
            return 1.0

    victim[1] = Sneaky()
    assert th.cosine_similarity(victim, [1.0, 1.0, 1.0, 1.0]) == reference.cosine_similarity(
        [1.0, 1.0, 2.0, 3.0], [1.0] * 4)
    assert victim == []


def test_cosine_survives_a_finalizer_that_empties_the_list_while_it_copies():
    """The copy taken for a converting element is allocated before it is
    filled; a collection started by that allocation (where the interpreter
    collects on allocation) runs a finalizer that empties the list."""
    victim, ones = [1.0, Fraction(1, 2), 2.0, 3.0], [1.0] * 4
    emptied = []

    class Cycle:
        def __del__(self):
            emptied.append(len(victim))
            victim.clear()

    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        c = Cycle()
        c.self = c
        del c
        gc.set_threshold(1)
        gc.enable()  # the next allocation collects the cycle
        try:
            got = th.cosine_similarity(victim, ones)
        except ValueError as e:
            got = str(e)
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
    gc.collect()
    assert emptied == [4]
    assert got in ("cosine_similarity expects equal-length vectors, got len(a)=0 and len(b)=4.",
                   reference.cosine_similarity([1.0, 0.5, 2.0, 3.0], ones))


# --- build_convergence_prompt -------------------------------------------------

@pytest.mark.parametrize("turns, body", [
    ([], []),
    ([("alice", "Shall we\n ship\t\ton Friday? ")], ["- [alice] Shall we ship on Friday?"]),
    ([("a", "x"), ["b", "\u2003\u3000"], (7, "caf\u00e9\u2028\U0001f600 \ud800")],
     ["- [a] x", "- [b] ", "- [7] caf\u00e9 \U0001f600 \ud800"]),
])
def test_convergence_prompt_layout(turns, body):
    assert th.build_convergence_prompt(turns) == "\n".join([HEADER, *body, "", FOOTER])


def test_convergence_prompt_renders_text_forms_and_keeps_near_spaces():
    prompt = th.build_convergence_prompt([(None, 3.5), ("s", "a\u200bb\ufeff c")])
    assert prompt.split("\n")[1:3] == ["- [None] 3.5", "- [s] a\u200bb\ufeff c"]


@pytest.mark.parametrize("turns, error, message", [
    ((("a", "b"),), TypeError, "turns"),
    ([("a", "b", "c")], ValueError, r"too many values to unpack \(expected 2\)"),
    ([("a",)], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ([5], TypeError, r"turns\[0\] must be a \(sender_id, content\) tuple, not int"),
])
def test_convergence_prompt_rejects_malformed_turns(turns, error, message):
    with pytest.raises(error, match=message):
        th.build_convergence_prompt(turns)


def test_convergence_prompt_reads_a_copy_of_the_turns():
    turns = []

    class Shrinking:
        def __str__(self):
            turns.clear()
            return "s"

    turns.extend([(Shrinking(), "one"), ("b", "two")])
    assert th.build_convergence_prompt(turns).split("\n")[1:3] == ["- [s] one", "- [b] two"]


# --- parse_convergence_verdict --------------------------------------------------

@pytest.mark.parametrize("answer, verdict", [
    ("CONVERGED|They agreed.", (True, "They agreed.")),
    ("  converged |  Agreed.  ", (True, "Agreed.")),
    ("\u2003CoNvErGeD\u00a0|\u2029ok\u205f", (True, "ok")),
    ("CONVERGED|a|b|c", (True, "a|b|c")),
    ("CONVERGED|first\nsecond\n", (True, "first\nsecond")),
    ("CONVERGED|\ud800", (True, "\ud800")),
    ("OPEN|", (False, "judge marked thread open")),
    ("OPEN|  \t", (False, "judge marked thread open")),
    (" oPeN\t| Waiting for Bob. ", (False, "Waiting for Bob.")),
    ("OPEN|reason\nCONVERGED|summary", (False, "reason\nCONVERGED|summary")),
    ("CONVERGED|", (False, "CONVERGED|")),
    ("CONVERGED|   ", (False, "CONVERGED|")),
    ("CONVERGED", (False, "CONVERGED")),
    ("DONE|x", (False, "DONE|x")),
    ("Verdict: CONVERGED|x", (False, "Verdict: CONVERGED|x")),
    ("|summary", (False, "|summary")),
    ("\u200bCONVERGED|ok", (False, "\u200bCONVERGED|ok")),
    ("", (False, "")),
    (" \n\u3000 ", (False, "")),
    ("\x00|\x00", (False, "\x00|\x00")),
    # Non-ASCII tokens go through str.upper(): lengths may change.
    ("\ufb00|x", (False, "\ufb00|x")),
    ("\u00e9open|x", (False, "\u00e9open|x")),
])
def test_verdict_forms(answer, verdict):
    result = th.parse_convergence_verdict(answer)
    assert type(result) is tuple and result == verdict


def test_verdict_parser_never_raises_on_a_str():
    rng = random.Random(11)
    alphabet = "|| oOpPeEnNcC\n\t\u3000\ud800\udfff\x00\U0001f600\u0131\u017f\ufb00"
    for _ in range(2000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))
        converged, why = th.parse_convergence_verdict(text)
        assert isinstance(converged, bool) and isinstance(why, str)
    huge = "OPEN|" + "x" * 5_000_000
    assert th.parse_convergence_verdict(huge) == (False, "x" * 5_000_000)
    with pytest.raises(TypeError, match="text"):
        th.parse_convergence_verdict(b"OPEN|x")
