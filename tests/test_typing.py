"""The stubs shipped with the package, seen by mypy from a user's code.

mypy resolves ``corlith_runtime`` from the installed package, so this also
proves the stubs and ``py.typed`` made it into the wheel. Each file is checked
once per session; the tests share the reports.
"""

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
