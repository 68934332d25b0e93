"""Conformance vectors: exact results, errors and log records per module."""
import json
import sys

import pytest

from conftest import DATA, load

sys.path.insert(0, str(DATA / "vectors"))
import vectorcheck  # noqa: E402


def _cases():
    for path in sorted((DATA / "vectors").glob("*.json")):
        suite = json.loads(path.read_text(encoding="utf-8"))
        for case in suite["cases"]:
            yield pytest.param(suite["module"], case, id=f"{path.stem}: {case['name']}")


@pytest.mark.parametrize("module, case", list(_cases()))
def test_vector(module, case):
    problem = vectorcheck.run_case(case, module, load)
    assert problem is None, problem
