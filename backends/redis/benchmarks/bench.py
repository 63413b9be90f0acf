"""Calls per second and round trips per call of each backend operation.

    python bench.py [--url redis://127.0.0.1:PORT/0] [--calls N]

Without --url it starts a throw-away redis-server on a free loopback port.
The clients are the package's own (blocking pools, no retries). Round trips
are counted by the client's connection (commands sent), so a script counts
once however many commands it runs inside the server. The server's slow log
gives the longest single script of a large sweep: how long it held the server.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import redis
import redis.asyncio

sys.path.insert(0, str(Path(__file__).parents[1] / "tests"))
from redis_server import RedisServer  # noqa: E402

from corlith_redis import RedisTokenSemaphore, RedisWaiterRegistry, async_client, sync_client  # noqa: E402
from corlith_redis.waiters import SWEEP_BATCH  # noqa: E402
from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter  # noqa: E402

SENT = [0]


class CountingAsyncConnection(redis.asyncio.Connection):
    async def send_packed_command(self, command: Any, check_health: bool = True) -> None:
        SENT[0] += 1
        await super().send_packed_command(command, check_health)


class CountingConnection(redis.Connection):
    def send_packed_command(self, command: Any, check_health: bool = True) -> None:
        SENT[0] += 1
        super().send_packed_command(command, check_health)


def row(name: str, calls: int, seconds: float, sent: int) -> None:
    print(f"{name:<58} {calls / seconds:>10,.0f}/s {seconds / calls * 1e6:>9.1f} us {sent / calls:>6.2f}")


async def measure(name: str, calls: int, op: Callable[[int], Awaitable[Any]]) -> None:
    SENT[0] = 0
    start = time.perf_counter()
    for i in range(calls):
        await op(i)
    row(name, calls, time.perf_counter() - start, SENT[0])


def measure_sync(name: str, calls: int, op: Callable[[int], Any]) -> None:
    SENT[0] = 0
    start = time.perf_counter()
    for i in range(calls):
        op(i)
    row(name, calls, time.perf_counter() - start, SENT[0])


async def gather_in_batches(calls: list[Awaitable[Any]], size: int = 50) -> None:
    for i in range(0, len(calls), size):
        await asyncio.gather(*calls[i:i + size])


async def waiters(url: str, n: int) -> None:
    client = async_client(url, connection_class=CountingAsyncConnection)
    now = [1e9]
    reg = RedisWaiterRegistry(client, prefix=f"bench:{time.time_ns()}", clock=lambda: now[0])
    # Scripts are loaded on first use; keep that out of the figures.
    await reg.register_signal_waiter(SignalWaiter("warm", "k", "warm"))
    await reg.register_timer(TimerWaiter("warm", "k", 2e9))
    await reg.register_user_input_waiter(UserInputWaiter("warm", "k", "q"))
    await reg.resolve_signal(signal_name="warm", payload={})
    await reg.sweep_expired_timers()
    await reg.resolve_user_input(parent_run_id="warm", resume_key="k", response=None)

    await measure("register_signal_waiter", n, lambda i: reg.register_signal_waiter(
        SignalWaiter(f"r{i}", "k", f"sig{i}", {"order_id": i, "tags": ["a", "b"]})))
    await measure("resolve_signal, releases 1 (name with 1 waiter)", n, lambda i: reg.resolve_signal(
        signal_name=f"sig{i}", payload={"order_id": i, "tags": ["a", "b"]}))
    await measure("register_timer", n, lambda i: reg.register_timer(TimerWaiter(f"r{i}", "k", 1e9 + i)))

    async def sweep_one(i: int) -> None:
        now[0] = 1e9 + i
        await reg.sweep_expired_timers()

    await measure(f"sweep_expired_timers, releases 1 of {n:,} timers", n, sweep_one)
    await measure("sweep_expired_timers, nothing due", n, lambda i: reg.sweep_expired_timers())
    await measure("register_user_input_waiter", n, lambda i: reg.register_user_input_waiter(
        UserInputWaiter(f"r{i}", "k", "Ship it?", ["y", "n"])))
    await measure("resolve_user_input, found", n, lambda i: reg.resolve_user_input(
        parent_run_id=f"r{i}", resume_key="k", response="y"))
    await measure("resolve_user_input, none", n, lambda i: reg.resolve_user_input(
        parent_run_id=f"r{i}", resume_key="k", response="y"))

    print("\nresolve_signal that matches nothing, by waiters of its name and of other names:")
    for own, others in ((10, 0), (10, 50_000), (100, 0), (1_000, 0)):
        growth = RedisWaiterRegistry(client, prefix=f"bench:growth:{time.time_ns()}")
        await gather_in_batches([growth.register_signal_waiter(SignalWaiter(f"r{i}", "k", "hot", {"id": i}))
                                 for i in range(own)])
        await gather_in_batches([growth.register_signal_waiter(SignalWaiter(f"r{i}", "k", f"cold{i % 1000}"))
                                 for i in range(others)])
        await measure(f"  {own:>5,} of its name, {others:>6,} of others", max(50, n // max(1, own // 10)),
                      lambda i: growth.resolve_signal(signal_name="hot", payload={"id": -1}))

    backlog_size = 20_000
    print(f"\nsweep_expired_timers of a backlog, {SWEEP_BATCH} timers per script:")
    backlog = RedisWaiterRegistry(client, prefix=f"bench:backlog:{time.time_ns()}", clock=lambda: 1e9)
    await gather_in_batches([backlog.register_timer(TimerWaiter(f"r{i}", "k", 1.0)) for i in range(backlog_size)])
    control = redis.Redis.from_url(url)
    control.config_set("slowlog-log-slower-than", 0)
    control.config_set("slowlog-max-len", 1024)
    control.slowlog_reset()
    await measure(f"  releases {backlog_size:,} due timers", 1, lambda i: backlog.sweep_expired_timers())
    scripts = [e["duration"] for e in control.slowlog_get(1024) if e["command"].startswith(b"EVALSHA")]
    print(f"  {'longest script of that sweep (server busy)':<56} {max(scripts) / 1000:>23.1f} ms")
    control.config_set("slowlog-log-slower-than", 10_000)
    control.config_set("slowlog-max-len", 128)
    control.close()
    await client.aclose()


def tokens(url: str, n: int) -> None:
    client = sync_client(url, connection_class=CountingConnection)
    sem = RedisTokenSemaphore(client, prefix=f"bench:{time.time_ns()}")
    sem.set_capacity("q", 1_000_000)
    sem.try_acquire("q")
    sem.release("q")
    measure_sync("RedisTokenSemaphore.try_acquire", n, lambda i: sem.try_acquire("q"))
    measure_sync("RedisTokenSemaphore.release", n, lambda i: sem.release("q"))
    measure_sync("RedisTokenSemaphore.set_capacity", n, lambda i: sem.set_capacity("q", 1_000_000))
    sem.set_capacity("full", 0)
    measure_sync("RedisTokenSemaphore.try_acquire, refused", n, lambda i: sem.try_acquire("full"))
    client.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--url")
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    server = None if args.url else RedisServer(appendfsync="everysec").start()
    url = args.url or server.url  # type: ignore[union-attr]
    try:
        print(f"{'operation':<58} {'calls/s':>12} {'per call':>12} {'trips':>6}")
        asyncio.run(waiters(url, args.calls))
        print()
        tokens(url, args.calls)
    finally:
        if server is not None:
            server.remove()


if __name__ == "__main__":
    main()
