"""Timing helpers shared by the benchmark scripts (best of several runs).

Importing it also makes the plain-Python versions in tests/reference.py
importable, so that the benchmarks time the same baseline the tests check.
"""
import pathlib
import sys
import timeit

_TESTS = str(pathlib.Path(__file__).resolve().parent.parent / "tests")
if _TESTS not in sys.path:
    sys.path.append(_TESTS)


def per_call(fn, *args, number=None, repeat=7):
    """Best time of one call of fn(*args), in seconds."""
    timer = timeit.Timer(lambda: fn(*args))
    if number is None:
        number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def report(title, native, plain=None, floor=None):
    """Prints one line: native time, speed-up over plain Python, cost over the floor."""
    parts = [f"{title:<44} {native * 1e6:9.2f} us"]
    if plain is not None:
        parts.append(f"{plain / native:6.2f}x faster than plain Python")
    if floor is not None:
        parts.append(f"{native / floor:5.2f}x the floor")
    print("   ".join(parts))
