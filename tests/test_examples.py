"""The quickstart example and the README's example run and print what they
say they print."""

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
    assert lines[:2] == ["with tax: 36.0", "with tax: 43.2"]
    assert "with tax: 120.0" in lines and lines.count("with tax: 120.0") == 1


def test_readme_example_prints_its_comments():
    readme = (ROOT / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    promised = re.findall(r"# prints ([^,\n]+)", code)
    assert run(code) == ["with tax: " + value for value in promised]
