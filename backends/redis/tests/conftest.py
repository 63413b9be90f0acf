"""Real redis-servers for the whole run (one alone, three as a cluster), and a fresh key prefix for every test."""

from __future__ import annotations

import sys
import threading
import uuid
from collections.abc import Iterator
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
from redis_server import RedisClusterServers, RedisServer  # noqa: E402

Target = RedisServer | RedisClusterServers


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    # The cluster takes seconds to form; it forms in the background while the
    # single-server tests run, and the tests that need it run last.
    def on_cluster(item: pytest.Item) -> bool:
        params = getattr(item, "callspec", None)
        return params is not None and "cluster" in params.params.values()

    items.sort(key=on_cluster)


@pytest.fixture(scope="session")
def redis_server() -> Iterator[RedisServer]:
    # The restart test starts its own server with fsync on every write.
    server = RedisServer(appendfsync="everysec").start()
    yield server
    server.remove()


class _Forming(threading.Thread):
    def __init__(self) -> None:
        super().__init__(daemon=True)
        self.cluster = RedisClusterServers()
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            self.cluster.start()
        except BaseException as error:  # reported to the first test that needs the cluster
            self.error = error


@pytest.fixture(scope="session", autouse=True)
def _forming_cluster() -> Iterator[_Forming]:
    forming = _Forming()
    forming.start()
    yield forming
    forming.join()
    forming.cluster.remove()


@pytest.fixture(scope="session")
def redis_cluster(_forming_cluster: _Forming) -> RedisClusterServers:
    _forming_cluster.join()
    if _forming_cluster.error is not None:
        raise _forming_cluster.error
    return _forming_cluster.cluster


@pytest.fixture(params=["server", "cluster"])
def redis_target(request: pytest.FixtureRequest) -> Target:
    """The single server, then the cluster: tests that use it run against both."""
    target: Target = request.getfixturevalue("redis_server" if request.param == "server" else "redis_cluster")
    return target


@pytest.fixture(params=["server", pytest.param("cluster", marks=pytest.mark.exhaustive)])
def worker_target(request: pytest.FixtureRequest) -> Target:
    """The single server, and in the exhaustive run the cluster too: for the slow multi-process tests."""
    target: Target = request.getfixturevalue("redis_server" if request.param == "server" else "redis_cluster")
    return target


@pytest.fixture
def prefix() -> str:
    return f"test:{uuid.uuid4().hex}"
