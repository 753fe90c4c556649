"""The stubs of the native modules: stubtest against the built modules, the docstrings they
state, and mypy over a correct and a faulty user script."""

import ast
import importlib
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import orv

HERE = pathlib.Path(__file__).resolve().parent
# The directory holding the imported package (src/ in a development install, site-packages
# in a wheel install); mypy finds the stubs and py.typed there.
PACKAGE_ROOT = pathlib.Path(orv.__file__).resolve().parent.parent
MODULES = ["orv._algos.geo.driver", "orv._algos.spmis.krige.core"]


def run_mypy(tmp_path, *args):
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=PACKAGE_ROOT, env=env, capture_output=True, text=True
    )


def test_py_typed_and_stubs_sit_beside_the_modules():
    assert (PACKAGE_ROOT / "orv" / "py.typed").is_file()
    for name in MODULES:
        assert (PACKAGE_ROOT / (name.replace(".", "/") + ".pyi")).is_file()


@pytest.mark.slow
def test_stubtest_against_the_built_modules(tmp_path):
    allowlist = HERE / "stubtest-allowlist.txt"
    result = run_mypy(tmp_path, "mypy.stubtest", "--allowlist", str(allowlist), *MODULES)
    assert result.returncode == 0, result.stdout + result.stderr


def _clean(doc):
    return (
        None
        if doc is None
        else "\n".join(line.rstrip() for line in inspect.cleandoc(doc).splitlines())
    )


def _stub_docstrings(module_name):
    """{qualified name: docstring} of every def and class in the stub (first overload wins)."""
    path = PACKAGE_ROOT / (module_name.replace(".", "/") + ".pyi")
    found = {}

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.FunctionDef | ast.ClassDef):
                qualname = prefix + node.name
                if found.get(qualname) is None:
                    found[qualname] = ast.get_docstring(node, clean=False)
                if isinstance(node, ast.ClassDef):
                    walk(node.body, qualname + ".")

    walk(ast.parse(path.read_text(encoding="utf-8")).body, "")
    return found


# Names the stubs declare for type checkers only.
STUB_ONLY = {"_HasDriverHandle", "_HasDriverHandle.this", "DriveStatistics.__iter__"}


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_docstrings_are_the_runtime_docstrings(module_name):
    module = importlib.import_module(module_name)
    stub_only = set()
    for qualname, stub_doc in _stub_docstrings(module_name).items():
        if qualname in STUB_ONLY:
            stub_only.add(qualname)
            continue
        owner, _, name = qualname.rpartition(".")
        scope = vars(getattr(module, owner)) if owner else vars(module)
        assert _clean(stub_doc) == _clean(scope[name].__doc__), qualname
    assert stub_only <= STUB_ONLY


def _expected_errors(path):
    marks = re.compile(r"#\s*error:\s*([\w-]+)")
    return {
        (number, match.group(1))
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if (match := marks.search(line))
    }


@pytest.mark.slow
def test_mypy_passes_a_correct_script_and_flags_a_faulty_one(tmp_path):
    good, bad = HERE / "user_good.py", HERE / "user_bad.py"
    result = run_mypy(
        tmp_path, "mypy", "--config-file", str(HERE / "mypy.ini"), str(good), str(bad)
    )
    reported = re.findall(r"^(.+?):(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.MULTILINE)
    by_file = {}
    for file, line, code in reported:
        by_file.setdefault(pathlib.Path(file).name, set()).add((int(line), code))
    assert "user_good.py" not in by_file, result.stdout
    assert by_file.get("user_bad.py") == _expected_errors(bad), result.stdout
    # The correct script also runs.
    subprocess.run([sys.executable, str(good)], check=True, cwd=tmp_path)
