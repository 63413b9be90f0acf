"""Real celery workers (prefork and solo) on loopback; the fault scenarios are exhaustive."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

import children
import pytest
from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook

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


def two_workers_run(env: dict[str, str], workers: Any, parents: int, width: int) -> dict[bytes, bytes]:
    """A prefork and a solo worker run a tree, checked; how often each child ran."""
    workers.start("prefork", 1)
    workers.start("solo")
    d, ids = run_tree(env, parents, width)
    check(env, d, ids)
    return children.client().hgetall(f"{env['CORLITH_TEST_PREFIX']}:runs")


def test_smoke_two_workers(env: dict[str, str], workers: Any) -> None:
    runs = two_workers_run(env, workers, 6, 5)
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


@pytest.mark.exhaustive
def test_tree_book_20_children_of_100_debits_against_a_cap(env: dict[str, str], workers: Any) -> None:
    for pool in ("prefork", "prefork", "solo"):
        workers.start(pool, 1)
    prefix, cap = env["CORLITH_TEST_PREFIX"], 12.0
    d = make(env)
    d.join.book.create("root", SpendBook(cost_cap_usd=cap, max_spawn_fanout=0, max_concurrent_spawns=0))
    specs = tuple(ChildSpec("leaf", {"debits": 100, "retry_debits": True, "book_prefix": prefix}) for _ in range(20))
    asyncio.run(d.enqueue_children(parent_run_id="root", parent_resume_key="k", specs=specs,
                                   return_when=ReturnWhen.ALL, timeout_seconds=600))
    wait_until(lambda: children.client().llen(f"{prefix}:resumed") == 1, seconds=300, what="the parent resumed")
    # Every debit is 0.01, so the running totals are the same whatever the order
    # the workers applied them in: the compiled book, debited 2,000 times here,
    # says exactly which debits must raise and what the tree spent.
    local, expected_breaches = SpendBook(cost_cap_usd=cap), 0
    for _ in range(2000):
        try:
            local.debit(cost_usd=0.01, tokens=1, tool_name="t")
        except BudgetExceeded:
            expected_breaches += 1
    book = d.join.book.read("root")
    assert (book.spent_tokens, book.spent_cost_usd, book.tool_call_counts) == (2000, local.spent_cost_usd, {"t": 2000})
    client = children.client()
    assert int(client.get(f"{prefix}:breaches")) == expected_breaches  # every debit past the cap, and no other
    # A retried debit raises while the cap stays breached, and never adds to the spend.
    assert int(client.get(f"{prefix}:replayed-breaches")) >= expected_breaches
    assert set(_runs(env).values()) == {1} and len(_runs(env)) == 20
    assert all(r["error"] is None for r in d.collect_blocking("root", "k").values())


RACER = """
import json, os, sys
sys.path.insert(0, sys.argv[1])
import asyncio
from corlith_redis import sync_client
from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from test_join import make
env = {k: v for k, v in os.environ.items() if k.startswith("CORLITH_TEST_")}
d, me, prefix = make(env), sys.argv[2], env["CORLITH_TEST_PREFIX"]
gate = sync_client(env["CORLITH_TEST_REDIS"], timeout=120)
for r in range(int(sys.argv[3])):
    print(json.dumps("ready"), flush=True)
    gate.blpop([f"{prefix}:start:{r}"], timeout=120)
    ids = asyncio.run(d.enqueue_children(
        parent_run_id=f"{me}-{r}", parent_resume_key="k", group_key=f"G{r}", return_when=ReturnWhen.ALL,
        timeout_seconds=600, specs=tuple(ChildSpec("leaf", {"output": {"i": i}}) for i in range(5))))
    print(json.dumps(ids), flush=True)
"""


@pytest.mark.exhaustive
def test_two_processes_racing_on_one_group_key(env: dict[str, str], workers: Any) -> None:
    workers.start("prefork", 1)
    workers.start("solo")
    prefix, rounds = env["CORLITH_TEST_PREFIX"], 5
    racers = [subprocess.Popen([sys.executable, "-c", RACER, str(Path(__file__).parent), name, str(rounds)],
                               stdout=subprocess.PIPE, text=True) for name in ("a", "b")]
    client = children.client()
    minted: list[list[list[str]]] = [[], []]
    for r in range(rounds):
        for racer in racers:
            assert racer.stdout is not None and json.loads(racer.stdout.readline()) == "ready"
        client.rpush(f"{prefix}:start:{r}", 1, 1)  # both at once
        for n, racer in enumerate(racers):
            assert racer.stdout is not None
            minted[n].append(json.loads(racer.stdout.readline()))
    for racer in racers:
        racer.communicate(timeout=60)
        assert racer.returncode == 0
    assert minted[0] == minted[1]  # one group per key: both callers got the original ids
    wait_until(lambda: client.llen(f"{prefix}:resumed") >= 2 * rounds, what="every parent resumed")
    d = make(env)
    for r in range(rounds):
        assert list(d.collect_blocking(f"a-{r}", "k")) == list(d.collect_blocking(f"b-{r}", "k")) == minted[0][r]
    assert Counter(map(tuple, map(json.loads, client.lrange(f"{prefix}:resumed", 0, -1)))) == Counter(
        {(f"{name}-{r}", "k"): 1 for name in "ab" for r in range(rounds)})
    assert set(_runs(env).values()) == {1} and len(_runs(env)) == 5 * rounds  # each child body once
