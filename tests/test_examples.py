"""The quickstart example, the README's example and the two-process example
run and print what they say they print."""

import contextlib
import io
import pathlib
import re
import runpy

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(path_or_code):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        if isinstance(path_or_code, pathlib.Path):
            runpy.run_path(str(path_or_code), run_name="__main__")
        else:
            exec(compile(path_or_code, "README.md", "exec"), {"__name__": "__main__"})
    return out.getvalue().splitlines()


def test_quickstart():
    lines = run(ROOT / "examples" / "quickstart.py")
    assert lines[:3] == ["with tax: 36.0", "with tax: 43.2", "inside the batch, total is still 36"]
    assert lines[3:5] == ["with tax: 120.0", "total: 100"]
    assert lines[5:] == [
        "    price settled   {'data': 20, 'kind': 'DATA'}",
        " quantity settled   {'data': 5, 'kind': 'DATA'}",
        "    total settled   {'data': 100, 'kind': 'DATA'}",
        " with_tax settled   {'data': 120.0, 'kind': 'DATA'}",
        "  printer sentinel  {'kind': 'SENTINEL'}",
    ]


def test_readme_example():
    readme = (ROOT / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    assert run(code) == [
        "with tax: 36.0",
        "with tax: 43.2",
        "with tax: 120.0",
        "{'price': 20, 'quantity': 5, 'total': 100, 'with_tax': 120.0, 'printer': None}",
    ]


def test_two_processes():
    assert run(ROOT / "examples" / "two_processes.py") == [
        "display: accepted envelope 1 of 'readings'",
        "display: accepted envelope 2 of 'readings'",
        "display: accepted envelope 3 of 'readings'",
        "display: accepted envelope 4 of 'readings'",  # the sensor's two ACKs
        "display: accepted envelope 5 of 'readings'",
        "display: bridge open, cursor 5, errors 0",
        "display: 2 setpoint envelopes acknowledged, 0 pending at the bridge, 0 at the ack driver",
        "sensor: setpoint 19.5 arrived, 2 envelopes acknowledged",
    ]
