import contextlib
import io
import logging
import pathlib
import re

README = pathlib.Path(__file__).parent.parent / "README.md"


def test_the_readme_host_example_runs_as_shown():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks
    root = logging.getLogger("sorvel_layer._internal")
    handlers = list(root.handlers)
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            for code in blocks:
                exec(compile(code, str(README), "exec"), {})
    finally:
        root.handlers[:] = handlers
    expected = [line[2:] for code in blocks for line in code.splitlines() if line.startswith("# WARNING")]
    assert out.getvalue().splitlines() == expected
