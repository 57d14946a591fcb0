"""The README's Python example runs as written."""

import contextlib
import io
import pathlib
import re

import pytest

pytest.importorskip("quorell")

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_example_runs(tmp_path, monkeypatch):
    section = README.read_text(encoding="utf-8").split("\n## Python\n", 1)[1]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(example.strip().splitlines()) == 5
    monkeypatch.chdir(tmp_path)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(example, "README.md", "exec"), {})
    assert printed.getvalue() == "['Kivra7i', 'Kivra7i/KivMod7Win.bin'] b'service'\n"
    assert [p.name for p in tmp_path.iterdir()] == ["demo.qss"]
