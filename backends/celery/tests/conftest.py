"""A real redis-server for the session, and real celery workers started on demand."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
import uuid
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent.parent / "redis" / "tests"))
from redis_server import RedisClusterServers, RedisServer  # noqa: E402
from waiting import wait_until  # noqa: E402,F401


@pytest.fixture(scope="session")
def redis_server() -> Iterator[RedisServer]:
    server = RedisServer(appendfsync="always", extra=("--maxmemory-policy", "noeviction")).start()
    yield server
    server.remove()


@pytest.fixture(scope="session")
def redis_cluster() -> Iterator[RedisClusterServers]:
    cluster = RedisClusterServers().start()
    yield cluster
    cluster.remove()


@pytest.fixture
def cluster_env(env: dict[str, str], redis_cluster: RedisClusterServers,
                monkeypatch: pytest.MonkeyPatch) -> dict[str, str]:
    """``env`` with the join's state on a three-master cluster; the broker stays the single server."""
    monkeypatch.setenv("CORLITH_TEST_JOIN_REDIS", redis_cluster.url)
    return {**env, "CORLITH_TEST_JOIN_REDIS": redis_cluster.url}


@pytest.fixture
def env(redis_server: RedisServer, monkeypatch: pytest.MonkeyPatch) -> dict[str, str]:
    """A fresh prefix and queue, in the environment the test app and the workers read."""
    values = {"CORLITH_TEST_REDIS": redis_server.url, "CORLITH_TEST_PREFIX": f"t{uuid.uuid4().hex[:12]}",
              "CORLITH_TEST_QUEUE": f"q{uuid.uuid4().hex[:12]}"}
    for key, value in values.items():
        monkeypatch.setenv(key, value)
    return values


class Workers:
    """Celery worker processes of the test app, each in its own process group."""

    def __init__(self, env: dict[str, str]) -> None:
        self.env = {**os.environ, **env, "PYTHONPATH": str(HERE)}
        self.processes: list[subprocess.Popen[bytes]] = []
        self.logs = Path(os.environ.get("TMPDIR", "/tmp")) / f"corlith-celery-{env['CORLITH_TEST_PREFIX']}"
        self.logs.mkdir(parents=True, exist_ok=True)

    def start(self, pool: str = "prefork", concurrency: int = 1, *, beat: bool = False) -> subprocess.Popen[bytes]:
        n = len(self.processes)
        command = [sys.executable, "-m", "celery", "-A", "app", "worker", f"--pool={pool}",
                   f"--concurrency={concurrency}", "-Q", self.env["CORLITH_TEST_QUEUE"], "--without-mingle",
                   "--without-gossip", "--without-heartbeat", "-n", f"w{n}-{uuid.uuid4().hex[:6]}@%h",
                   "--loglevel=INFO", f"--logfile={self.logs}/w{n}.log"]
        if beat:
            command += ["-B", f"--schedule={self.logs}/beat-{n}"]
        process = subprocess.Popen(command, cwd=HERE, env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        self.processes.append(process)
        return process

    def stop(self) -> None:
        for process in self.processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


@pytest.fixture
def workers(env: dict[str, str]) -> Iterator[Workers]:
    started = Workers(env)
    yield started
    started.stop()
