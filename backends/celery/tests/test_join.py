"""The join's scripts against a real redis-server, children run in this process (no worker)."""

from __future__ import annotations

import asyncio
import json
from typing import Any

import pytest
from celery import Celery

from corlith_celery import CelerySpawnDispatcher, Settings, TreeBook, install
from corlith_celery.worker import _run_child
from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.spawn import InMemorySpawnDispatcher, SpawnDispatcher
from corlith_runtime.core.runtime.spend_book import BudgetExceeded, SpendBook
from corlith_runtime.core.runtime.waiters import SignalWaiter

import children
from waiting import wait_until


def make(env: dict[str, str], **overrides: Any) -> CelerySpawnDispatcher:
    # The join's state on a cluster when the test gives one; the broker is always the single server.
    options: dict[str, Any] = dict(redis_url=env.get("CORLITH_TEST_JOIN_REDIS", env["CORLITH_TEST_REDIS"]),
                                   cluster="CORLITH_TEST_JOIN_REDIS" in env, prefix=env["CORLITH_TEST_PREFIX"],
                                   child_runner="children:run", resume_target="children:resume",
                                   queue=env["CORLITH_TEST_QUEUE"], lease_seconds=30.0,
                                   republish_after_seconds=0.0, redeliver_after_seconds=0.0)
    options.update(overrides)
    settings = Settings(**options)
    app = Celery("unit", broker=env["CORLITH_TEST_REDIS"], set_as_current=False)
    install(app, settings)
    return CelerySpawnDispatcher(app, settings)


def enqueue(d: CelerySpawnDispatcher, parent: str, specs: tuple[Any, ...], mode: Any = ReturnWhen.ALL,
            **kwargs: Any) -> list[str]:
    return asyncio.run(d.enqueue_children(parent_run_id=parent, parent_resume_key="k", specs=specs,
                                          return_when=mode, timeout_seconds=kwargs.pop("timeout_seconds", 0.0),
                                          **kwargs))


def run_all(d: CelerySpawnDispatcher, ids: list[str], ref: str, order: list[int] | None = None) -> list[str]:
    return [_run_child(d.join, ref, p) for p in (order if order is not None else range(len(ids)))]


def resumed(env: dict[str, str]) -> list[list[str]]:
    return [json.loads(x) for x in children.client().lrange(f"{env['CORLITH_TEST_PREFIX']}:resumed", 0, -1)]


def ref(parent: str) -> str:
    return json.dumps(["p", parent, "k"], separators=(",", ":"))


def test_protocol_and_binding(env: dict[str, str]) -> None:
    d = make(env)
    assert isinstance(d, SpawnDispatcher)
    good = dict(parent_run_id="p", parent_resume_key="k", specs=(), return_when="all", timeout_seconds=1.0)
    cases: list[tuple[tuple[Any, ...], dict[str, Any]]] = [
        (("x",), good), ((), {**good, "specs": []}), ((), {**good, "timeout_seconds": "1"}),
        ((), {k: v for k, v in good.items() if k != "timeout_seconds"}), ((), {**good, "bogus": 1}),
        ((), {**good, "group_key": 3}), ((), {**good, "parent_sub_user_identity": []}),
    ]
    memory = InMemorySpawnDispatcher()
    for args, kwargs in cases:
        with pytest.raises(TypeError) as ours:
            d.enqueue_children(*args, **kwargs)
        with pytest.raises(TypeError) as theirs:
            memory.enqueue_children(*args, **kwargs)
        assert str(ours.value) == str(theirs.value)
    with pytest.raises(TypeError, match="resume_key"):
        d.collect_results(parent_run_id="p")


@pytest.mark.parametrize("mode, outputs, order, satisfied_after, final", [
    ("all", [1, 2, 3], [0, 1, 2], 3, [0, 1, 2]),
    ("any", [None, 2, 3], [1, 0, 2], 1, [1]),
    ("first_success", [None, None, 3], [0, 1, 2], 3, [0, 1, 2]),
    ("first_success", [None, 5, 3], [0, 1, 2], 2, [0, 1]),
    ("first_success", [None, None, None], [2, 0, 1], 3, [0, 1, 2]),
    (ReturnWhen.FIRST_SUCCESS, ["fail", 5, 3], [0, 1, 2], 2, [0, 1]),
])
def test_return_when(env: dict[str, str], mode: Any, outputs: list[Any], order: list[int],
                     satisfied_after: int, final: list[int]) -> None:
    d = make(env)
    specs = tuple(ChildSpec("a", {"fail": "boom"} if o == "fail" else {"output": o}) for o in outputs)
    ids = enqueue(d, "p", specs, mode, parent_trace_id="tr", parent_span_id="sp", tenant_id="tn",
                  parent_sub_user_identity={"u": 1})
    assert ids == enqueue(d, "p", specs, mode)  # a retry mints the same ids and dispatches nothing new
    verdicts = []
    for step, position in enumerate(order):
        verdicts.append(_run_child(d.join, ref("p"), position))
        assert len(resumed(env)) == (1 if step + 1 >= satisfied_after else 0)
    assert [v for v in verdicts if v == "skip"] == ["skip"] * (len(order) - satisfied_after)
    book = d.join.book.read("p")
    assert (book.active_child_count, book.cumulative_child_count) == (0, len(outputs))
    results = d.collect_blocking("p", "k")
    assert list(results) == [ids[i] for i in final]
    assert results == asyncio.run(d.collect_results(parent_run_id="p", resume_key="k"))  # re-collectable
    for i in final:
        record = results[ids[i]]
        assert record["spec"] == specs[i].to_dict()
        if outputs[i] == "fail":
            assert (record["error"], record["output"], record["cost_usd"]) == ("boom", None, 0.0)
        else:
            assert (record["output"], record["cost_usd"], record["tokens"]) == (outputs[i], 0.5, 7)
    inputs = json.loads(children.client().hget(f"{env['CORLITH_TEST_PREFIX']}:inputs", ids[order[0]]))
    assert {k: inputs[k] for k in ("_trace_id", "_signal_span_id", "_tenant_id", "_sub_user_identity", "_tree_id")} \
        == {"_trace_id": "tr", "_signal_span_id": "sp", "_tenant_id": "tn", "_sub_user_identity": {"u": 1},
            "_tree_id": "p"}
    asyncio.run(d.acknowledge(parent_run_id="p", resume_key="k"))
    assert d.collect_blocking("p", "k") == {}


def test_duplicate_deliveries_lease_and_worker_lost(env: dict[str, str]) -> None:
    d = make(env, republish_after_seconds=3600.0)
    ids = enqueue(d, "p", (ChildSpec("a", {"wait_for": f"{env['CORLITH_TEST_PREFIX']}:go"}), ChildSpec("b")))
    join, r = d.join, ref("p")
    keys = join.keys(r)
    # A running child holds a lease: a duplicate delivery does not run it again.
    join.client.hset(keys["leases"], 0, 2**50)
    assert _run_child(join, r, 0) == "running"
    # A lapsed lease is taken back by the reaper and published again, until the attempts are spent.
    for attempt in range(1, 4):
        join.client.hset(keys["leases"], 0, 1)
        join.client.hset(keys["attempts"], 0, attempt)
        counts = join.reap()
        assert counts["republished" if attempt < 3 else "closed"] == 1
    assert _run_child(join, r, 1) == "recorded"
    assert _run_child(join, r, 1) == "done"
    assert _run_child(join, r, 0) == "done"
    results = d.collect_blocking("p", "k")
    assert results[ids[0]]["error"] == "worker lost" and results[ids[1]]["error"] is None
    assert children.client().hget(f"{env['CORLITH_TEST_PREFIX']}:runs", ids[1]) == b"1"
    assert resumed(env) == [["p", "k"]]
    join.reap()
    assert join.reap()["groups"] == 0  # done and delivered: the reaper forgets it


def test_timeout_closes_the_group(env: dict[str, str]) -> None:
    d = make(env)
    ids = enqueue(d, "p", (ChildSpec("a"), ChildSpec("b"), ChildSpec("c")), timeout_seconds=0.05)
    assert _run_child(d.join, ref("p"), 0) == "recorded"
    wait_until(lambda: d.join.reap()["closed"] == 2, seconds=30, what="the deadline")
    assert _run_child(d.join, ref("p"), 1) == "done"
    results = d.collect_blocking("p", "k")
    assert [results[i]["error"] for i in ids] == [None, "timeout", "timeout"]
    assert resumed(env) == [["p", "k"]]
    book = d.join.book.read("p")
    assert (book.active_child_count, book.cumulative_child_count) == (0, 3)


def test_group_key_shared_and_waiter_released_once(env: dict[str, str]) -> None:
    d = make(env)
    spec = (ChildSpec("a"), ChildSpec("b"))
    first = enqueue(d, "p1", spec, group_key="G")
    assert enqueue(d, "p2", spec, group_key="G") == first
    r = json.dumps(["g", "G"], separators=(",", ":"))
    run_all(d, first, r)
    # A third parent joins after satisfaction: it is released at once.
    assert enqueue(d, "p3", spec, group_key="G") == first
    assert sorted(map(tuple, resumed(env))) == [("p1", "k"), ("p2", "k"), ("p3", "k")]
    assert list(d.collect_blocking("p3", "k")) == first
    # The registry's waiters were released, each once.
    waiters = asyncio.run(_waiters(d, r))
    assert waiters == []
    # A redelivered release (a deliverer that lost its reply) does not resume twice.
    d.join.deliver(r, [json.dumps(["p1", "k"])])
    assert len(resumed(env)) == 3


async def _waiters(d: CelerySpawnDispatcher, r: str) -> list[SignalWaiter]:
    from corlith_redis import RedisWaiterRegistry, async_client
    client = async_client(d.join.settings.redis_url)
    try:
        return await RedisWaiterRegistry(client, prefix=d.join.registry_prefix()).signal_waiters(d.join.signal_name(r))
    finally:
        await client.aclose()


def test_unacknowledged_release_is_redelivered(env: dict[str, str]) -> None:
    d = make(env)
    enqueue(d, "p", (ChildSpec("a"),))
    join, r = d.join, ref("p")
    # The satisfying worker dies after recording and before resuming: the outbox keeps the release.
    record = json.dumps([{"x": 1}, None, 0.0, 0, 0.0])
    assert join.record(r, 0, record, True) == 2
    assert resumed(env) == []
    assert join.reap()["redelivered"] == 1
    assert resumed(env) == [["p", "k"]]
    assert join.reap() == {"groups": 0, "republished": 0, "redelivered": 0, "closed": 0, "releases": 0}


def test_book_checks_before_dispatch(env: dict[str, str]) -> None:
    d = make(env)
    d.join.book.create("root", SpendBook(max_spawn_fanout=2, cost_cap_usd=1.0, spent_cost_usd=0.9))
    with pytest.raises(BudgetExceeded, match="max_spawn_fanout breached: requested 3"):
        enqueue(d, "root", (ChildSpec("a"),) * 3)
    d2 = CelerySpawnDispatcher(d.join.app, d.join.settings, child_budget_usd=0.2)
    with pytest.raises(BudgetExceeded, match=r"child of \$0.2000 wouldn't fit: remaining \$0.1000"):
        enqueue(d2, "root", (ChildSpec("a"),))
    ids = enqueue(d, "root", (ChildSpec("a"), ChildSpec("b")))
    assert d.join.book.read("root").active_child_count == 2
    assert d.join.tree_of(ids[0]) == "root"  # grandchildren debit the same book


def test_tree_book_debits_once_and_matches_the_compiled_book(env: dict[str, str]) -> None:
    book = TreeBook(children.client(), prefix=env["CORLITH_TEST_PREFIX"])
    local = SpendBook(cost_cap_usd=1.0, token_cap=0)
    assert book.create("t", SpendBook(cost_cap_usd=1.0)) and not book.create("t", SpendBook())
    outcomes = []
    for k in range(12):
        for retry in range(2):  # every debit is sent twice, as after a lost reply
            try:
                book.debit("t", debit_id=str(k), cost_usd=0.1, tokens=3, tool_name="x")
                outcomes.append("ok")
            except BudgetExceeded as error:
                outcomes.append(str(error))
        try:
            local.debit(cost_usd=0.1, tokens=3, tool_name="x")
            expected = "ok"
        except BudgetExceeded as error:
            expected = str(error)
        assert outcomes[-2:] == [expected, expected]
    assert book.read("t") == local


def test_tree_books_with_old_copies_recompute_from_the_script_reply(env: dict[str, str]) -> None:
    books = [TreeBook(children.client(), prefix=env["CORLITH_TEST_PREFIX"]) for _ in range(2)]
    books[0].create("t", SpendBook(active_child_count=20))
    for k in range(10):  # each write leaves the other object's copy one version behind
        books[k % 2].debit("t", debit_id=str(k), tokens=k, tool_name="x")
        books[k % 2].register_child_completed("t", str(k))  # counted beside the book: the stale reply carries it
    assert books[1].read("t") == SpendBook(spent_tokens=45, tool_call_counts={"x": 10}, active_child_count=10)
    books[0].debit("t", debit_id="3", tokens=100)  # an id applied by the other object
    assert books[0].read("t").spent_tokens == 45


@pytest.mark.parametrize("flush", [False, True], ids=["scripts-kept", "scripts-flushed"])
def test_completions_counted_once_whichever_worker_records(env: dict[str, str], flush: bool) -> None:
    # Two workers' joins alternate on one group; a duplicate delivery after the
    # record counts nothing. Between children, a debit from a copy of the book
    # that misses the completions since keeps them counted. A server that lost its
    # scripts (a restart) before each child: the batched record runs them again on their own.
    d, other = make(env), make(env)
    ids = enqueue(d, "p", tuple(ChildSpec("a") for _ in range(6)))
    for position in range(6):
        if flush:
            d.join.client.script_flush()
        assert _run_child((d, other)[position % 2].join, ref("p"), position) == "recorded"
        assert _run_child((other, d)[position % 2].join, ref("p"), position) == "done"
        other.join.book.debit("p", debit_id=str(position), tokens=1)
        assert d.join.book.read("p").active_child_count == 5 - position
    book = d.join.book.read("p")
    assert (book.active_child_count, book.cumulative_child_count, book.spent_tokens) == (0, 6, 6)
    assert len(d.collect_blocking("p", "k")) == len(ids) and resumed(env) == [["p", "k"]]
