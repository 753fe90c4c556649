"""The README's examples run: its python blocks as doctests, its console blocks as commands."""

import doctest
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(language):
    text = README.read_text(encoding="utf-8")
    return [
        (text.count("\n", 0, m.start()) + 1, m.group(2))
        for m in BLOCK.finditer(text)
        if m.group(1) == language
    ]


def console_examples():
    """(line, command, expected lines, whether the output is cut with "...")."""
    examples = []
    for line, body in blocks("console"):
        for chunk in re.split(r"^\$ ", body, flags=re.MULTILINE)[1:]:
            command, *output = chunk.rstrip("\n").split("\n")
            cut = bool(output) and output[-1] == "..."
            examples.append((line, command, output[:-1] if cut else output, cut))
    return examples


@pytest.fixture
def samples(tmp_path):
    ((_, csv),) = blocks("csv")
    (tmp_path / "samples.csv").write_text(csv)
    return tmp_path


@pytest.mark.parametrize(("line", "command", "expected", "cut"), console_examples())
def test_console_example(samples, line, command, expected, cut):
    program, *args = shlex.split(command)
    assert program == "orv"
    result = subprocess.run(
        [sys.executable, "-m", "orv", *args], cwd=samples, capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    output = result.stdout.splitlines()
    assert (output[: len(expected)] if cut else output) == expected, f"README line {line}"


@pytest.mark.parametrize(("line", "body"), blocks("python"))
def test_python_example(tmp_path, monkeypatch, line, body):
    monkeypatch.chdir(tmp_path)
    test = doctest.DocTestParser().get_doctest(body, {}, f"README:{line}", str(README), line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 0
