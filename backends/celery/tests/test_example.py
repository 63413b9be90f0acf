"""The distributed example runs to the end: every parent resumed once after a worker is killed."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parents[1] / "examples" / "distributed_tree.py"


@pytest.mark.exhaustive  # starts its own server, three workers and Beat: over ten seconds
def test_distributed_tree_example() -> None:
    done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "4 parents resumed, each once"
    assert sum(line.endswith("4 results") for line in lines) == 3
