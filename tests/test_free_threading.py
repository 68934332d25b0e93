import importlib
import subprocess
import sys
import sysconfig

import pytest

MODULES = ["_invariants", "tuning_bundle", "_defaults", "consolidation", "evolution", "journal",
           "rule_domains", "extraction", "thread_halt", "crew_synthesis", "job_lane"]

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
