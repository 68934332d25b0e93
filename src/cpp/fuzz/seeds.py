"""Writes the fuzz targets' starting inputs, made from the test data.

    python3 seeds.py <tests/data> <out dir>

One folder per target under <out dir>: the texts found in the conformance
vectors (arguments and results) and the JSON parsing corpus for the text
targets, their numbers for the number target, the prompt templates with
their slot names for the template target.
"""

import hashlib
import json
import pathlib
import re
import struct
import sys

MAX_SEED = 4096  # bytes; longer texts are cut (libFuzzer's own default limit)


def walk(value, texts, numbers):
    if isinstance(value, str):
        texts.add(value)
    elif isinstance(value, bool) or value is None:
        pass
    elif isinstance(value, (int, float)):
        numbers.add(value)
    elif isinstance(value, list):
        for v in value:
            walk(v, texts, numbers)
    elif isinstance(value, dict):
        if "$float" in value:
            numbers.add(float(value["$float"]))
        for v in value.values():
            walk(v, texts, numbers)


def utf8(text):
    return text.encode("utf-8", "surrogatepass")[:MAX_SEED]


def packed(number):
    """The number as the number target reads it: an integer's 8 bytes, a
    double's 8 bytes."""
    if isinstance(number, int) and -(2**63) <= number < 2**63:
        yield struct.pack("<q", number)
    try:
        yield struct.pack("<d", float(number))
    except OverflowError:
        pass


def main(data, out):
    texts, numbers = set(), set()
    for path in sorted((data / "vectors").glob("*.json")):
        walk(json.loads(path.read_text()), texts, numbers)
    answers = {p.read_bytes()[:MAX_SEED] for p in sorted((data / "jsontestsuite").rglob("*.json"))}
    for raw in answers:
        try:
            walk(json.loads(raw), set(), numbers)
        except (ValueError, RecursionError):
            pass

    seeds = {name: set() for name in ("space", "clean", "verdict", "domain", "numbers", "template")}
    for text in texts:
        for name in ("space", "clean", "verdict", "domain"):
            seeds[name].add(utf8(text))
        if "{" in text:
            slots = sorted(set(re.findall(r"(?<!\{)\{([^{}]*)\}", text)))
            seeds["template"].add(utf8("\0".join([text] + [s + "=v" + s for s in slots])))
    seeds["clean"] |= answers
    seeds["numbers"] = {b for n in numbers for b in packed(n)}
    for name, items in seeds.items():
        folder = out / name
        folder.mkdir(parents=True, exist_ok=True)
        for item in items:
            (folder / hashlib.sha1(item).hexdigest()).write_bytes(item)
        print(f"{name}: {len(items)} seeds")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]))
