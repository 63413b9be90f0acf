"""A real redis-server for the whole run, and a fresh key prefix for every test."""

from __future__ import annotations

import sys
import uuid
from collections.abc import Iterator
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
from redis_server import RedisServer  # noqa: E402


@pytest.fixture(scope="session")
def redis_server() -> Iterator[RedisServer]:
    # The restart test starts its own server with fsync on every write.
    server = RedisServer(appendfsync="everysec").start()
    yield server
    server.remove()


@pytest.fixture
def prefix() -> str:
    return f"test:{uuid.uuid4().hex}"
