"""Token semaphores beyond the conformance kit: defaults, leases, key spaces, pools, many processes."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
import redis
from redis_server import RedisClusterServers, RedisServer
from test_redis_waiters import start_together, worker_command

from corlith_redis import InMemoryTokenSemaphore, RedisTokenSemaphore, sync_client
from corlith_runtime.core.runtime.tokens import TokenSemaphore

Target = RedisServer | RedisClusterServers


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


# (call by the holder half-way through its lease, whether the lease then runs on)
LEASE_CALLS: list[tuple[str, Callable[[RedisTokenSemaphore, str], object], bool]] = [
    ("refused try_acquire", lambda s, q: s.try_acquire(q), False),
    ("in_use", lambda s, q: s.in_use(q), False),
    ("renew", lambda s, q: s.renew(q), True),
]


def test_only_calls_that_take_or_keep_a_token_extend_the_lease(client: Any, prefix: str) -> None:
    # The rows run side by side, one queue each, so the table waits out one lease.
    holder = RedisTokenSemaphore(client, prefix=prefix, holder="holder", lease_seconds=0.8)
    other = RedisTokenSemaphore(client, prefix=prefix, holder="other")
    for name, _, _ in LEASE_CALLS:
        holder.set_capacity(name, 1)
        assert holder.try_acquire(name)
    time.sleep(0.45)
    for name, call, _ in LEASE_CALLS:
        call(holder, name)
    time.sleep(0.55)  # past the first lease, within a renewed one
    assert {name: not other.try_acquire(name) for name, _, _ in LEASE_CALLS} == {
        name: extends for name, _, extends in LEASE_CALLS}


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


@pytest.fixture
def target_client(redis_target: Target) -> Any:
    client = redis_target.sync_client()
    yield client
    client.close()


def test_processes_contending_never_exceed_the_capacity(worker_target: Target, prefix: str) -> None:
    capacity, rounds = 2, 2500
    client = worker_target.sync_client()
    RedisTokenSemaphore(client, prefix=prefix).set_capacity("q", capacity)
    workers = [subprocess.Popen(worker_command("contend", worker_target, prefix, rounds), stdout=subprocess.PIPE)
               for _ in range(4)]
    start_together(worker_target, prefix, len(workers))
    reports = []
    for worker in workers:
        out, _ = worker.communicate(timeout=150)
        assert worker.returncode == 0
        reports.append(json.loads(out))
    assert max(r["peak"] for r in reports) <= capacity
    assert all(r["acquired"] > 0 for r in reports)
    assert RedisTokenSemaphore(client, prefix=prefix).in_use("q") == 0
    client.close()


def test_token_of_a_killed_holder_returns_after_its_lease(worker_target: Target, prefix: str) -> None:
    client = worker_target.sync_client()
    waiting = RedisTokenSemaphore(client, prefix=prefix)
    waiting.set_capacity("q", 1)
    holder = subprocess.Popen(worker_command("hold", worker_target, prefix, 1.0), stdout=subprocess.PIPE)
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
    client.close()


def test_unreachable_server_raises_the_connection_error() -> None:
    server = RedisServer()  # never started: nothing listens on its port
    semaphore = RedisTokenSemaphore(sync_client(server.url, timeout=1.0))
    for call in (lambda: semaphore.try_acquire("q"), lambda: semaphore.release("q"),
                 lambda: semaphore.set_capacity("q", 1)):
        with pytest.raises(redis.ConnectionError):
            call()
    server.remove()


# Pairs of (prefix, queue) that the old layout, prefix + ":q:" + queue, mapped onto one key.
QUEUE_SPACES = [
    (("t", "x:q:y"), ("t:q:x", "y")),
    (("t", "x:holders:y"), ("t:q:x", "y")),
    (("t}", "q"), ("t", "}q")),
    (("", ""), ("[]", "")),
]


@pytest.mark.parametrize("first, second", QUEUE_SPACES)
def test_semaphores_with_different_prefixes_never_share_a_queue(
        target_client: Any, prefix: str, first: tuple[str, str], second: tuple[str, str]) -> None:
    (a, qa), (b, qb) = [(prefix + p, queue) for p, queue in (first, second)]
    one, two = RedisTokenSemaphore(target_client, prefix=a), RedisTokenSemaphore(target_client, prefix=b)
    one.set_capacity(qa, 1)
    two.set_capacity(qb, 1)
    assert one.try_acquire(qa) and two.try_acquire(qb)
    assert [one.in_use(qa), two.in_use(qb)] == [1, 1]


@pytest.mark.parametrize("max_connections, threads", [(None, 120), (2, 40)])
def test_threads_beyond_the_pool_wait_for_connections_and_succeed(
        redis_target: Target, prefix: str, max_connections: int | None, threads: int) -> None:
    client = redis_target.sync_client(**({} if max_connections is None else {"max_connections": max_connections}))
    semaphore = RedisTokenSemaphore(client, prefix=prefix)
    semaphore.set_capacity("q", threads)
    start = threading.Barrier(threads)
    results: list[bool] = []

    def take() -> None:
        start.wait()
        results.append(semaphore.try_acquire("q"))

    pool = [threading.Thread(target=take) for _ in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    assert results == [True] * threads and semaphore.in_use("q") == threads
    client.close()


def test_waiting_for_a_connection_is_bounded_by_the_timeout(redis_server: RedisServer, client: Any,
                                                            prefix: str) -> None:
    # The cluster client's pools are the same blocking pools, one per node.
    lone = redis_server.sync_client(max_connections=1, timeout=0.05, socket_timeout=10)
    semaphore = RedisTokenSemaphore(lone, prefix=prefix, default_capacity=1)
    busy = prefix + ":busy"
    hold = threading.Thread(target=lone.blpop, args=([busy],), kwargs={"timeout": 5})
    hold.start()  # takes the only connection until pushed
    time.sleep(0.1)
    with pytest.raises(redis.ConnectionError, match="No connection available"):
        semaphore.try_acquire("q")
    assert hold.is_alive()  # gave up while the connection was still taken
    client.lpush(busy, "free")
    hold.join()
    assert semaphore.try_acquire("q")
    lone.close()
