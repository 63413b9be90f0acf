"""The README's multi-worker example runs and resumes every parent once."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from redis_server import RedisServer

EXAMPLE = Path(__file__).parents[1] / "examples" / "multi_worker.py"


def test_multi_worker_example(redis_server: RedisServer, prefix: str) -> None:
    done = subprocess.run([sys.executable, str(EXAMPLE), redis_server.url, "--workers", "3", "--prefix", prefix],
                          capture_output=True, text=True, timeout=120, check=True)
    assert done.stdout.splitlines()[-1] == "12 parents resumed, 12 distinct"
