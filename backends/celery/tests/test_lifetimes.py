"""Timers resumed once though their sweeper dies; every group key expires; tree books live while they change;
the reaper reads its index in batches."""

from __future__ import annotations

import asyncio
import subprocess
import sys
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from corlith_celery import _join, sweep_and_resume
from corlith_redis import RedisWaiterRegistry, async_client
from corlith_runtime.core.runtime.exceptions import ChildSpec
from corlith_runtime.core.runtime.spend_book import SpendBook
from corlith_runtime.core.runtime.waiters import TimerWaiter

import children
from test_join import enqueue, make, ref, resumed, run_all
from waiting import wait_until

SWEEPER = """
import os, sys
sys.path.insert(0, sys.argv[1])
from test_join import make
from corlith_celery import sweep_and_resume
env = {k: v for k, v in os.environ.items() if k.startswith("CORLITH_TEST_")}
sweep_and_resume(make(env, resume_target="children:resume_or_die", redeliver_after_seconds=0.5).join)
"""


def register_timers(d: Any, timers: list[TimerWaiter]) -> None:
    async def go() -> None:
        client = async_client(d.join.settings.redis_url)
        registry = RedisWaiterRegistry(client, prefix=d.join.registry_prefix())
        for timer in timers:
            await registry.register_timer(timer)
        await client.aclose()
    asyncio.run(go())


def test_timers_resume_once_though_the_sweeper_dies(env: dict[str, str]) -> None:
    d = make(env, resume_target="children:resume_or_die", redeliver_after_seconds=0.5)
    register_timers(d, [TimerWaiter(f"t{n}", "nap", 1.0) for n in range(3)])
    children.client().set(f"{env['CORLITH_TEST_PREFIX']}:die", 1)
    dead = subprocess.run([sys.executable, "-c", SWEEPER, str(Path(__file__).parent)], capture_output=True,
                          timeout=120)
    assert dead.returncode < 0, dead.stderr  # killed after the sweep, before the first resume
    assert resumed(env) == []
    # The sweep's releases wait in the outbox; the reaper (Beat) redelivers them.
    wait_until(lambda: d.join.reap() and len(resumed(env)) >= 3, seconds=60, what="the redelivered resumes")
    assert sweep_and_resume(d.join) == 0
    d.join.reap()
    assert Counter(map(tuple, resumed(env))) == Counter({(f"t{n}", "nap"): 1 for n in range(3)})
    # The same pair sleeping again later is resumed again: the marker names the timer, not the pair.
    register_timers(d, [TimerWaiter("t0", "nap", 2.0)])
    assert sweep_and_resume(d.join) == 1 and sweep_and_resume(d.join) == 0
    assert len(resumed(env)) == 4
    assert d.join.with_registry(lambda r: r.outbox_count()) == 0


def test_every_key_of_a_group_expires(env: dict[str, str]) -> None:
    d = make(env, max_group_seconds=100.0, result_ttl_seconds=50.0)
    ids = enqueue(d, "p", (ChildSpec("a"), ChildSpec("b")), group_key="G")
    run_all(d, ids, '["g","G"]', order=[0])
    timed = enqueue(d, "q", (ChildSpec("a"),), timeout_seconds=10.0)
    run_all(d, timed, ref("q"))
    client = d.join.client
    lifetimes = {}
    for key in client.scan_iter(match=f'*{env["CORLITH_TEST_PREFIX"]}*', count=1000):
        if any(kind in key for kind in (b'"group"', b'"pair"', b'"run"', b'"resume"')):
            lifetimes[key] = client.pttl(key)
    assert len(lifetimes) >= 10
    # No deadline: 100 s + 50 s at most; the timed group: 10 s + 50 s.
    assert all(0 < ms <= 150_000 for ms in lifetimes.values()), lifetimes
    assert 0 < client.pttl(d.join.keys(ref("q"))["results"]) <= 60_000


def test_a_tree_book_lives_while_it_changes(env: dict[str, str]) -> None:
    d = make(env, tree_book_ttl_seconds=100.0)
    book, client = d.join.book, d.join.client
    writes: list[tuple[str, Callable[[], object]]] = [
        ("create", lambda: book.create("p", SpendBook())),
        ("debit", lambda: book.debit("p", debit_id="d", cost_usd=0.1)),
        ("spawned, at enqueue", lambda: enqueue(d, "p", (ChildSpec("a"),))),
        ("completed, with the record", lambda: run_all(d, [""], ref("p"))),
        ("completed, alone", lambda: book.register_child_completed("p", "elsewhere")),
    ]
    for what, write in writes:
        for key in book.keys("p"):
            client.pexpire(key, 1000)  # nearly idle long enough
        write()
        # every change starts the lifetime again, for the book and its applied ids alike
        assert [1000 < client.pttl(key) <= 100_000 for key in book.keys("p")] == [True, True], what
    idle = make(env, tree_book_ttl_seconds=0.05).join.book
    idle.create("idle", SpendBook(cost_cap_usd=1.0))
    wait_until(lambda: client.exists(*idle.keys("idle")) == 0, seconds=30, what="the idle tree's book to go")
    assert idle.read("idle") == SpendBook() and idle.create("idle", SpendBook())


def test_the_reaper_reads_its_index_in_batches(env: dict[str, str], monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(_join, "REAP_BATCH", 2)
    d = make(env)
    for n in range(5):
        enqueue(d, f"p{n}", (ChildSpec("a"),))
    assert d.join.reap()["groups"] == 5
    for n in range(5):
        run_all(d, [""], ref(f"p{n}"))
    assert d.join.reap()["groups"] == 5  # each visited once, though the pass removes them as it goes
    assert d.join.reap()["groups"] == 0
