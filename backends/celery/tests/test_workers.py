"""Real celery workers (prefork and solo) on loopback; the fault scenarios are exhaustive."""

from __future__ import annotations

import asyncio
import json
from collections import Counter
from typing import Any

from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen

import children

from test_join import make
from waiting import wait_until

MODES = [ReturnWhen.ALL, ReturnWhen.ANY, ReturnWhen.FIRST_SUCCESS]


def run_tree(env: dict[str, str], parents: int, width: int) -> tuple[Any, dict[str, list[str]]]:
    d = make(env, republish_after_seconds=60.0, redeliver_after_seconds=5.0)
    ids: dict[str, list[str]] = {}

    async def go() -> None:
        for n in range(parents):
            mode = MODES[n % 3]
            # Under first_success the first half of the children succeed with no output.
            specs = tuple(ChildSpec("leaf", {"output": None if mode is ReturnWhen.FIRST_SUCCESS and i < width // 2
                                             else {"n": i}}) for i in range(width))
            ids[f"p{n}"] = await d.enqueue_children(
                parent_run_id=f"p{n}", parent_resume_key="k", specs=specs, return_when=mode, timeout_seconds=600,
                parent_trace_id=f"trace{n}", parent_span_id="span", tenant_id="tenant",
                parent_sub_user_identity={"user": n})
    asyncio.run(go())
    return d, ids


def check(env: dict[str, str], d: Any, ids: dict[str, list[str]]) -> None:
    prefix = env["CORLITH_TEST_PREFIX"]
    client = children.client()
    wait_until(lambda: client.llen(f"{prefix}:resumed") >= len(ids), what="every parent resumed")
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


def test_smoke_two_workers(env: dict[str, str], workers: Any) -> None:
    workers.start("prefork", 1)
    workers.start("solo")
    d, ids = run_tree(env, 6, 5)
    check(env, d, ids)
    runs = children.client().hgetall(f"{env['CORLITH_TEST_PREFIX']}:runs")
    assert set(runs.values()) == {b"1"}  # no fault, so no child ran twice
