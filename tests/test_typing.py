"""The installed stubs as a host's type checker sees them."""

import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="the type checks need mypy (pip install '.[test,typing]')")

import sorvel_layer._internal as internal  # noqa: E402

HERE = pathlib.Path(__file__).parent / "typing"
PACKAGE_DIR = pathlib.Path(internal.__file__).parent
if not (PACKAGE_DIR / "py.typed").exists() or not list(PACKAGE_DIR.glob("*.pyi")):
    pytest.skip("the package runs from a build tree without its stubs", allow_module_level=True)

# What stubtest cannot see through on nanobind's objects: functions and
# static methods are nanobind callables (with no signature, or a bare
# (*args, **kwargs) one on newer Pythons), the record fields are descriptors
# of our own, and types carry nanobind's metaclass and signature attribute.
OPAQUE = ("is not a function", "staticmethod but runtime is not",
          'does not have *args parameter "args"', "cannot reconcile @property",
          "metaclass differs", "disjoint base")


def mypy(*args, cwd):
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                          "--cache-dir", str(cwd / "cache"), *args],
                         capture_output=True, text=True, cwd=cwd)
    return run.returncode, run.stdout + run.stderr


def test_a_hosts_ordinary_code_type_checks(tmp_path):
    code, out = mypy(str(HERE / "host_ok.py"), cwd=tmp_path)
    assert (code, out) == (0, "")


def test_wrong_calls_are_rejected_where_marked(tmp_path):
    source = (HERE / "host_bad.py").read_text().splitlines()
    expected = {(n, m.group(1)) for n, line in enumerate(source, 1)
                if (m := re.search(r"# expect: ([\w-]+)", line))}
    _, out = mypy(str(HERE / "host_bad.py"), cwd=tmp_path)
    found = {(int(m.group(1)), m.group(2))
             for m in re.finditer(r"host_bad\.py:(\d+): error: .*\[([\w-]+)\]$", out, re.M)}
    assert len(expected) == 11
    assert found == expected, out


def test_stubs_agree_with_the_modules(tmp_path):
    allow = tmp_path / "allow.txt"
    allow.write_text(r".*\.__nb_signature__" "\n")
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", internal.__name__,
                          "--allowlist", str(allow), "--ignore-unused-allowlist"],
                         capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in run.stdout.splitlines() if line.startswith("error: ")]
    assert errors, run.stdout + run.stderr  # stubtest ran and saw the modules
    real = [e for e in errors if not any(kind in e for kind in OPAQUE)]
    assert real == []
