import random
import re
import struct
from decimal import Decimal

import pytest

import reference
from conftest import load

cs = load("crew_synthesis")

HEADER, CLOSING = reference.CREW_HEADER, reference.CREW_CLOSING


class Row:
    def __init__(self, team_score, content, agent="a1"):
        self.team_score = team_score
        self.content = content
        self.agent = agent


def contents(prompt):
    return [line.split(") ", 1)[1] for line in prompt.split("\n")[1:-2]]


def test_worked_example_text_and_hash():
    rows = [Row(0.72, "Deploys fail on Fridays."), Row(0.9, "Users prefer short answers."),
            Row(0.72, "Cache misses spike after deploys.")]
    prompt = cs.build_crew_synthesis_prompt(rows)
    assert prompt == "\n".join([
        HEADER, "- (0.900) Users prefer short answers.", "- (0.720) Deploys fail on Fridays.",
        "- (0.720) Cache misses spike after deploys.", "", CLOSING])
    assert cs.compute_prompt_hash(prompt) == "6367179ce1e3d14a"
    assert cs.build_crew_synthesis_prompt([]) == HEADER + "\n\n" + CLOSING


@pytest.mark.parametrize("seed", range(6))
def test_order_is_stable_and_exact_like_python(seed):
    rng = random.Random(seed)
    pool = [0.5, 0.5000001, 1, 2, -0.0, 0.0, 2 ** 53, 2.0 ** 53, 2 ** 53 + 1, 2 ** 64 + 1,
            float(2 ** 64), -(2 ** 70), True, False, float("inf"), float("-inf"), 1e300]
    rows = [Row(rng.choice(pool), f"m{i}") for i in range(rng.randint(0, 300))]
    assert cs.build_crew_synthesis_prompt(rows) == reference.build_crew_synthesis_prompt(rows)


@pytest.mark.parametrize("scores", [
    [Decimal("0.25"), 0.5, Decimal("0.3333"), 1],
    [Decimal(2 ** 60 + 1), 2.0 ** 60, 2 ** 60, Decimal(2 ** 60)],
])
def test_other_number_types_compare_and_format_as_python(scores):
    rows = [Row(s, str(i)) for i, s in enumerate(scores)]
    assert cs.build_crew_synthesis_prompt(rows) == reference.build_crew_synthesis_prompt(rows)


def test_scores_render_as_three_decimal_fixed_point():
    rng = random.Random(3)
    scores = [0.0625, 0.1875, 2.675, 0.0005, 1.0005, -0.0, -0.0004, 1e20, 10 ** 30, True]
    # Every exact tie at the fourth decimal is an odd multiple of 1/16.
    scores += [sign * (2 * j + 1) / 16 for j in range(0, 4000, 7) for sign in (1, -1)]
    scores += [k / 2000 for k in range(-3000, 3000, 13)] + [1.7976931348623157e308, 5e-324]
    scores += [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
               for _ in range(300)]
    scores = [s for s in scores if s == s]
    prompt = cs.build_crew_synthesis_prompt([Row(s, "") for s in scores])
    rendered = sorted(re.findall(r"^- \((.*)\) $", prompt, re.M))
    assert rendered == sorted(format(s, ".3f") for s in scores)


def test_nan_scores_go_last_in_input_order():
    class Float(float):
        pass

    nans = [float("nan"), -float("nan"), Float("nan")]
    rng = random.Random(9)
    rows = []
    for i in range(120):
        score = nans[i % 3] if i % 4 == 0 else rng.choice([0.1, 0.9, 3, 0.1])
        rows.append(Row(score, f"r{i}"))
    prompt = cs.build_crew_synthesis_prompt(rows)
    ranked = [r for r in rows if r.team_score == r.team_score]
    assert contents(prompt) == (contents(reference.build_crew_synthesis_prompt(ranked)) +
                                [r.content for r in rows if r.team_score != r.team_score])
    assert prompt.count("- (nan) ") == 30


def test_content_is_rendered_unchanged():
    class Text(str):
        def __str__(self):
            return "not this"

    rows = [Row(0.4, "  padded \n next"), Row(0.3, None), Row(0.2, ["a"]),
            Row(0.1, "\ud800 {x} \U0001f600"), Row(0.05, Text("subclass"))]
    assert cs.build_crew_synthesis_prompt(rows).split("\n")[1:-2] == [
        "- (0.400)   padded ", " next", "- (0.300) None", "- (0.200) ['a']",
        "- (0.100) \ud800 {x} \U0001f600", "- (0.050) subclass"]


@pytest.mark.parametrize("rows, error, message", [
    ((Row(0.5, "x"),), TypeError, "rows"),
    ([{"team_score": 0.5, "content": "x"}], AttributeError, "'dict' object has no attribute 'team_score'"),
    ([Row(0.5, "x"), object()], AttributeError, "'object' object has no attribute 'team_score'"),
    ([Row("high", "x")], ValueError, "Unknown format code 'f' for object of type 'str'"),
    ([Row(None, "x")], TypeError, r"unsupported format string passed to NoneType\.__format__"),
    ([Row("high", "x"), Row(0.5, "y")], TypeError, "'<' not supported between instances of"),
    ([Row(10 ** 400, "x")], OverflowError, "int too large to convert to float"),
])
def test_bad_rows_raise_the_error_of_the_access(rows, error, message):
    with pytest.raises(error, match=message):
        cs.build_crew_synthesis_prompt(rows)


def test_inconsistent_comparisons_never_lose_rows():
    rng = random.Random(1)

    class Moody:
        def __lt__(self, other):
            return rng.random() < 0.5

        def __format__(self, format_spec):
            return "m"

    rows = [Row(Moody(), f"r{i}") for i in range(100)]
    assert sorted(contents(cs.build_crew_synthesis_prompt(rows))) == sorted(
        r.content for r in rows)


@pytest.mark.parametrize("text", ["", "a\x00b", "caf\u00e9 \u65e5\u672c \U0001f600", "x" * 100_000])
def test_hash_is_sha256_prefix(text):
    digest = cs.compute_prompt_hash(text)
    assert digest == reference.compute_prompt_hash(text)
    assert re.fullmatch(r"[0-9a-f]{16}", digest)


@pytest.mark.parametrize("value, error, message", [
    ("a\ud800", UnicodeEncodeError, "surrogates not allowed"),
    (b"x", TypeError, "prompt"),
    (None, TypeError, "prompt"),
])
def test_hash_rejects_what_cannot_be_encoded(value, error, message):
    with pytest.raises(error, match=message):
        cs.compute_prompt_hash(value)
