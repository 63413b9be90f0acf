"""Real celery workers (prefork and solo) on loopback; the fault scenarios are exhaustive."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import time
from collections import Counter
from typing import Any

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

import children
import pytest
from corlith_runtime.core.runtime.spend_book import SpendBook

from test_join import make
from waiting import wait_until

MODES = [ReturnWhen.ALL, ReturnWhen.ANY, ReturnWhen.FIRST_SUCCESS]


def run_tree(env: dict[str, str], parents: int, width: int, *, sleep: float = 0.0,
             **settings: Any) -> tuple[Any, dict[str, list[str]]]:
    d = make(env, **{"republish_after_seconds": 60.0, "redeliver_after_seconds": 5.0, **settings})
    ids: dict[str, list[str]] = {}
    for n in range(parents):
        d.join.book.create(f"p{n}", SpendBook(max_spawn_fanout=0, max_concurrent_spawns=0))

    async def go() -> None:
        for n in range(parents):
            mode = MODES[n % 3]
            # Under first_success the first half of the children succeed with no output.
            specs = tuple(ChildSpec("leaf", {"output": None if mode is ReturnWhen.FIRST_SUCCESS and i < width // 2
                                             else {"n": i}, "sleep": sleep}) for i in range(width))
            ids[f"p{n}"] = await d.enqueue_children(
                parent_run_id=f"p{n}", parent_resume_key="k", specs=specs, return_when=mode, timeout_seconds=600,
                parent_trace_id=f"trace{n}", parent_span_id="span", tenant_id="tenant",
                parent_sub_user_identity={"user": n})
    asyncio.run(go())
    return d, ids


def check(env: dict[str, str], d: Any, ids: dict[str, list[str]], *, reap: bool = False) -> float:
    """Every invariant after a run; answers the seconds until the last parent was resumed."""
    prefix = env["CORLITH_TEST_PREFIX"]
    client = children.client()
    started = time.monotonic()

    def all_resumed() -> bool:
        if reap:
            d.join.reap()  # what Beat runs
        return bool(client.llen(f"{prefix}:resumed") >= len(ids))
    wait_until(all_resumed, seconds=300, what="every parent resumed")
    waited = time.monotonic() - started
    resumed = Counter(tuple(json.loads(x)) for x in client.lrange(f"{prefix}:resumed", 0, -1))
    assert resumed == Counter({(p, "k"): 1 for p in ids})
    for n, (parent, child_ids) in enumerate(ids.items()):
        results = d.collect_blocking(parent, "k")
        mode = MODES[n % 3]
        if mode is ReturnWhen.ALL:
            assert list(results) == child_ids
            assert all(r["error"] is None for r in results.values())
        elif mode is ReturnWhen.ANY:
            assert len(results) >= 1
        else:
            assert any(r["output"] is not None for r in results.values())
        for child_id in results:
            inputs = json.loads(client.hget(f"{prefix}:inputs", child_id))
            assert (inputs["_trace_id"], inputs["_sub_user_identity"], inputs["_tenant_id"]) == \
                (f"trace{n}", {"user": n}, "tenant")
    return waited


def test_smoke_two_workers(env: dict[str, str], workers: Any) -> None:
    workers.start("prefork", 1)
    workers.start("solo")
    d, ids = run_tree(env, 6, 5)
    check(env, d, ids)
    runs = children.client().hgetall(f"{env['CORLITH_TEST_PREFIX']}:runs")
    assert set(runs.values()) == {b"1"}  # no fault, so no child ran twice


def _runs(env: dict[str, str]) -> Counter[str]:
    runs = children.client().hgetall(f"{env['CORLITH_TEST_PREFIX']}:runs")
    return Counter({k.decode(): int(v) for k, v in runs.items()})


@pytest.mark.exhaustive
def test_normal_run_60_parents_of_20(env: dict[str, str], workers: Any) -> None:
    workers.start("prefork", 1)
    workers.start("prefork", 1)
    workers.start("solo")
    d, ids = run_tree(env, 60, 20)
    check(env, d, ids)
    assert set(_runs(env).values()) == {1}


def _pool_children(pid: int) -> list[int]:
    out = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout
    return [int(x) for x in out.split()]


@pytest.mark.exhaustive
@pytest.mark.parametrize("victim", ["pool child", "main process"])
def test_sigkill_mid_run(env: dict[str, str], workers: Any, victim: str) -> None:
    doomed = workers.start("prefork", 2)
    workers.start("solo")
    d, ids = run_tree(env, 12, 10, sleep=0.3, lease_seconds=3.0)
    wait_until(lambda: sum(_runs(env).values()) >= 20, what="the run under way")
    if victim == "main process":
        os.kill(doomed.pid, signal.SIGKILL)
        workers.start("prefork", 1)
    else:
        for pid in wait_until(lambda: _pool_children(doomed.pid), what="pool children"):
            os.kill(pid, signal.SIGKILL)
    recovered = check(env, d, ids, reap=True)
    print(f"recovered from SIGKILL of the {victim} in {recovered:.1f} s")


@pytest.mark.exhaustive
def test_every_message_published_twice(env: dict[str, str], workers: Any) -> None:
    workers.start("prefork", 1)
    workers.start("solo")
    d = make(env)
    original = d.join.publish
    d.join.publish = lambda ref, positions: (original(ref, positions), original(ref, positions))  # type: ignore[method-assign]
    ids: dict[str, list[str]] = {}
    specs = tuple(ChildSpec("leaf", {"output": {"i": i}}) for i in range(8))
    for n in range(10):
        ids[f"p{n}"] = asyncio.run(d.enqueue_children(parent_run_id=f"p{n}", parent_resume_key="k", specs=specs,
                                                      return_when=ReturnWhen.ALL, timeout_seconds=600))
    wait_until(lambda: children.client().llen(f"{env['CORLITH_TEST_PREFIX']}:resumed") >= 10, what="resumes")
    assert set(_runs(env).values()) == {1} and len(_runs(env)) == 80
    resumed = Counter(children.client().lrange(f"{env['CORLITH_TEST_PREFIX']}:resumed", 0, -1))
    assert set(resumed.values()) == {1} and len(resumed) == 10


@pytest.mark.exhaustive
def test_enqueuer_killed_between_recording_and_publishing(env: dict[str, str], workers: Any) -> None:
    workers.start("solo")
    d = make(env, republish_after_seconds=1.0)

    def die(ref: str, positions: list[int]) -> None:
        raise KeyboardInterrupt  # the enqueuing process is gone before any message left
    d.join.publish = die  # type: ignore[method-assign]
    specs = tuple(ChildSpec("leaf", {"output": {"i": i}}) for i in range(5))
    with pytest.raises(KeyboardInterrupt):
        asyncio.run(d.enqueue_children(parent_run_id="p", parent_resume_key="k", specs=specs,
                                       return_when=ReturnWhen.ALL, timeout_seconds=600))
    reaper = make(env, republish_after_seconds=1.0)
    started = time.monotonic()
    wait_until(lambda: reaper.join.reap() and children.client().llen(f"{env['CORLITH_TEST_PREFIX']}:resumed"),
               what="the reaper publishing the group")
    print(f"published by the reaper and resumed in {time.monotonic() - started:.1f} s")
    assert len(reaper.collect_blocking("p", "k")) == 5 and set(_runs(env).values()) == {1}


@pytest.mark.exhaustive
def test_redis_restart_mid_run(env: dict[str, str], workers: Any, redis_server: Any) -> None:
    workers.start("prefork", 1)
    workers.start("solo")
    d, ids = run_tree(env, 9, 8, sleep=0.2, lease_seconds=5.0)
    wait_until(lambda: sum(_runs(env).values()) >= 10, what="the run under way")
    redis_server.restart()
    children._client = None
    d.join.client.connection_pool.disconnect()
    recovered = check(env, d, ids, reap=True)
    print(f"recovered from the Redis restart in {recovered:.1f} s")
