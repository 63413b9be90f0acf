"""The stubs shipped with the package, seen by mypy from a user's code and by
editors (docstrings, type completeness, stub generation).

mypy resolves ``corlith_runtime`` from the installed package, so this also
proves the stubs and ``py.typed`` made it into the wheel. Each file is checked
once per session; the tests share the reports.
"""

import ast
import importlib
import inspect
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api")

HERE = Path(__file__).parent / "typing"
MARKER = re.compile(r"#\s*E:((?:\s+[a-z-]+)+)\s*$")
ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: (?P<message>.*?)  \[(?P<code>[a-z-]+)\]$")


def run_mypy(path, cache_dir):
    stdout, stderr, status = mypy_api.run(
        ["--strict", "--no-error-summary", "--cache-dir", str(cache_dir),
         "--python-executable", sys.executable, str(path)]
    )
    errors = [m for m in map(ERROR.match, stdout.splitlines()) if m]
    return stdout + stderr, status, errors


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture(scope="session")
def usage_report(mypy_cache):
    return run_mypy(HERE / "usage.py", mypy_cache)


@pytest.fixture(scope="session")
def bad_call_report(mypy_cache):
    return run_mypy(HERE / "bad_call.py", mypy_cache)


def expected_errors(path):
    """(line, code) pairs from the ``# E: code ...`` markers of a file."""
    expected = set()
    for lineno, text in enumerate(path.read_text().splitlines(), start=1):
        if marker := MARKER.search(text):
            expected.update((lineno, code) for code in marker[1].split())
    return expected


def test_typed_usage_passes_strict(usage_report):
    output, status, _ = usage_report
    assert status == 0, output


def test_wrong_calls_are_rejected_exactly(bad_call_report):
    output, status, errors = bad_call_report
    assert status == 1, output
    found = {(int(m["line"]), m["code"]) for m in errors}
    assert found == expected_errors(HERE / "bad_call.py"), output


def test_positional_cost_names_debit(bad_call_report):
    output, _, errors = bad_call_report
    messages = [m["message"] for m in errors]
    assert 'Too many positional arguments for "debit" of "SpendBook"' in messages, output


def test_usage_file_runs_against_the_runtime():
    # The typed calls are also valid calls: the stubs promise nothing the runtime
    # refuses. A child process, so that a crash fails this test and not the session.
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-W", "error", str(HERE / "usage.py")],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr


MODULES = ("spend_book", "waiters", "spawn", "exit_triage", "policy", "tokens")
PACKAGE = "corlith_runtime.core.runtime"
TOOLS = Path(sys.executable).parent


def documented(stub_path):
    """(dotted name, docstring) of the stub's module and of each class and function in it."""
    tree = ast.parse(stub_path.read_text())
    yield "", ast.get_docstring(tree)
    def walk(node, prefix):
        for child in node.body:
            if isinstance(child, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                yield prefix + child.name, ast.get_docstring(child)
                if isinstance(child, ast.ClassDef):
                    yield from walk(child, prefix + child.name + ".")
    yield from walk(tree, "")


def own_doc(module, dotted):
    """The runtime object's own docstring, or None where it has none of its own."""
    owner, obj = None, module
    for part in filter(None, dotted.split(".")):
        owner, obj = obj, vars(obj).get(part)
        if obj is None:
            return None
    obj = getattr(obj, "__func__", obj)
    doc = getattr(obj, "__doc__", None)
    # A slot wrapper's doc ("Initialize self. ...") is object's, not the class's.
    inherited = getattr(object, dotted.rpartition(".")[2], None)
    if isinstance(owner, type) and inherited is not None and doc == inherited.__doc__:
        return None
    return inspect.cleandoc(doc) if doc else None


@pytest.mark.parametrize("name", MODULES)
def test_stubs_carry_the_modules_docstrings(name):
    # Editors show the stub's text: it must be the runtime's, and never absent.
    module = importlib.import_module(f"{PACKAGE}.{name}")
    stub = Path(module.__file__).with_name(f"{name}.pyi")
    for dotted, doc in documented(stub):
        assert doc, f"{name}.pyi: {dotted or 'module'} has no docstring"
        expected = own_doc(module, dotted)
        if expected is not None:
            assert doc == expected, f"{name}.pyi: {dotted or 'module'} differs from the runtime's docstring"


def test_type_completeness_is_full_and_documented():
    pytest.importorskip("basedpyright")
    env = {**os.environ, "PATH": f"{TOOLS}{os.pathsep}{os.environ['PATH']}"}
    for name in MODULES:
        done = subprocess.run(
            [TOOLS / "basedpyright", "--outputjson", "--verifytypes", f"{PACKAGE}.{name}"],
            capture_output=True, text=True, env=env, timeout=300, check=False,
        )
        report = json.loads(done.stdout)["typeCompleteness"]
        counts = {key: report[key] for key in (
            "completenessScore", "missingFunctionDocStringCount",
            "missingClassDocStringCount", "missingDefaultParamCount")}
        assert counts == {"completenessScore": 1, "missingFunctionDocStringCount": 0,
                          "missingClassDocStringCount": 0, "missingDefaultParamCount": 0}, name


def test_stubgen_reads_the_installed_modules(tmp_path):
    done = subprocess.run(
        [TOOLS / "stubgen", "-o", str(tmp_path),
         *(arg for name in MODULES for arg in ("-m", f"{PACKAGE}.{name}"))],
        capture_output=True, text=True, cwd=tmp_path, timeout=300, check=False,
    )
    assert done.returncode == 0, done.stderr
    assert {p.stem for p in tmp_path.glob("corlith_runtime/core/runtime/*.pyi")} == set(MODULES)
