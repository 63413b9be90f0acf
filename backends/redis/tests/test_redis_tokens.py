"""Token semaphores beyond the conformance kit: defaults, leases, many processes."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest
import redis
from redis_server import RedisServer
from test_redis_waiters import start_together

from corlith_redis import InMemoryTokenSemaphore, RedisTokenSemaphore, sync_client
from corlith_runtime.core.runtime.tokens import TokenSemaphore

WORKERS = Path(__file__).with_name("workers.py")


@pytest.fixture
def client(redis_server: RedisServer) -> Any:
    client = sync_client(redis_server.url)
    yield client
    client.close()


@pytest.fixture(params=["memory", "redis"])
def make(request: pytest.FixtureRequest, prefix: str) -> Any:
    if request.param == "memory":
        return InMemoryTokenSemaphore
    client = request.getfixturevalue("client")
    return lambda **kwargs: RedisTokenSemaphore(client, prefix=prefix, **kwargs)


def test_unset_queue_uses_the_default_capacity(make: Any) -> None:
    assert make().try_acquire("never-set") is False
    generous = make(default_capacity=2)
    assert [generous.try_acquire("other") for _ in range(3)] == [True, True, False]


@pytest.mark.parametrize("count", [-1, -(10**20)])
def test_negative_capacity_is_refused(make: Any, count: int) -> None:
    semaphore = make()
    semaphore.set_capacity("q", 1)
    with pytest.raises(ValueError, match="capacity must not be negative"):
        semaphore.set_capacity("q", count)
    assert semaphore.try_acquire("q")


SET_CAPACITY_ERRORS = [("q", "2"), (None, "2"), (None, 2.9), (Path("q"), 1), ("q", float("nan")), ("q", 1j)]


@pytest.mark.parametrize("queue, count", SET_CAPACITY_ERRORS)
def test_set_capacity_errors_equal_the_protocol_bodies(make: Any, queue: Any, count: Any) -> None:
    class Plain(TokenSemaphore):
        pass

    def error(semaphore: Any) -> tuple[type[BaseException], str]:
        with pytest.raises(Exception) as info:
            semaphore.set_capacity(queue, count)
        return type(info.value), str(info.value)

    assert error(make()) == error(Plain())


def test_release_gives_back_only_this_holders_tokens(client: Any, prefix: str) -> None:
    mine = RedisTokenSemaphore(client, prefix=prefix, holder="mine")
    theirs = RedisTokenSemaphore(client, prefix=prefix, holder="theirs")
    mine.set_capacity("q", 1)
    assert mine.try_acquire("q")
    theirs.release("q")  # a stray release must not free mine
    assert not theirs.try_acquire("q") and mine.in_use("q") == 1
    RedisTokenSemaphore(client, prefix=prefix, holder="mine").release("q")  # same holder, new handle
    assert theirs.try_acquire("q")


def test_expired_lease_returns_the_token_and_a_late_release_frees_nothing(client: Any, prefix: str) -> None:
    slow = RedisTokenSemaphore(client, prefix=prefix, holder="slow", lease_seconds=0.2)
    other = RedisTokenSemaphore(client, prefix=prefix, holder="other")
    slow.set_capacity("q", 1)
    assert slow.try_acquire("q") and slow.renew("q")
    time.sleep(0.3)
    assert slow.renew("q") is False  # expired leases are not revived
    assert other.try_acquire("q")
    slow.release("q")
    assert other.in_use("q") == 1 and not slow.try_acquire("q")


def test_processes_contending_never_exceed_the_capacity(redis_server: RedisServer, client: Any,
                                                        prefix: str) -> None:
    capacity, rounds = 2, 2500
    RedisTokenSemaphore(client, prefix=prefix).set_capacity("q", capacity)
    workers = [subprocess.Popen([sys.executable, str(WORKERS), "contend", redis_server.url, prefix, str(rounds)],
                                stdout=subprocess.PIPE) for _ in range(4)]
    start_together(redis_server.url, prefix, len(workers))
    reports = []
    for worker in workers:
        out, _ = worker.communicate(timeout=150)
        assert worker.returncode == 0
        reports.append(json.loads(out))
    assert max(r["peak"] for r in reports) <= capacity
    assert all(r["acquired"] > 0 for r in reports)
    assert RedisTokenSemaphore(client, prefix=prefix).in_use("q") == 0


def test_token_of_a_killed_holder_returns_after_its_lease(redis_server: RedisServer, client: Any,
                                                          prefix: str) -> None:
    waiting = RedisTokenSemaphore(client, prefix=prefix)
    waiting.set_capacity("q", 1)
    holder = subprocess.Popen([sys.executable, str(WORKERS), "hold", redis_server.url, prefix, "1.0"],
                              stdout=subprocess.PIPE)
    try:
        assert holder.stdout is not None
        assert json.loads(holder.stdout.readline()) == {"held": True}
    finally:
        os.kill(holder.pid, signal.SIGKILL)
        holder.wait()
        holder.stdout.close()  # type: ignore[union-attr]
    assert waiting.try_acquire("q") is False
    deadline = time.monotonic() + 10
    while not waiting.try_acquire("q"):
        assert time.monotonic() < deadline, "the dead holder's token never came back"
        time.sleep(0.05)


def test_unreachable_server_raises_the_connection_error() -> None:
    server = RedisServer()  # never started: nothing listens on its port
    semaphore = RedisTokenSemaphore(sync_client(server.url, timeout=1.0))
    for call in (lambda: semaphore.try_acquire("q"), lambda: semaphore.release("q"),
                 lambda: semaphore.set_capacity("q", 1)):
        with pytest.raises(redis.ConnectionError):
            call()
    server.remove()
