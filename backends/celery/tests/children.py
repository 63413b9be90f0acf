"""Child runner and resume target of the tests; they count what happened in Redis.

Inputs steer a child: ``output`` (returned as is, None allowed), ``fail``
(raised as the error), ``sleep`` (seconds), ``debits`` (debits of 0.01 on
the tree book; ``retry_debits`` sends each twice), ``wait_for`` (a key that must exist before it finishes),
``echo`` (the output is the inputs the child saw).
"""

from __future__ import annotations

import json
import os
import signal
import time
from typing import Any

import redis

from corlith_celery import TreeBook

_client: redis.Redis | None = None


def client() -> redis.Redis:
    global _client
    if _client is None:
        _client = redis.Redis.from_url(os.environ["CORLITH_TEST_REDIS"])
    return _client


def _prefix() -> str:
    return os.environ.get("CORLITH_TEST_PREFIX", "")


async def run(child: dict[str, Any]) -> dict[str, Any]:
    inputs = child["inputs"]
    prefix = inputs.get("count_prefix", _prefix())
    c = client()
    c.hincrby(f"{prefix}:runs", child["child_run_id"], 1)
    c.hset(f"{prefix}:inputs", child["child_run_id"], json.dumps(inputs))
    if inputs.get("sleep"):
        time.sleep(inputs["sleep"])
    deadline = time.monotonic() + 120
    while inputs.get("wait_for") and not c.exists(inputs["wait_for"]) and time.monotonic() < deadline:
        time.sleep(0.02)
    for k in range(inputs.get("debits", 0)):
        book = TreeBook(c, prefix=inputs["book_prefix"])
        debit_id = f"{child['child_run_id']}:{k}"
        try:
            book.debit(inputs["_tree_id"], debit_id=debit_id, cost_usd=0.01, tokens=1, tool_name="t")
        except Exception:
            c.incr(f"{prefix}:breaches")
        if inputs.get("retry_debits"):  # sent again, as after a lost reply: never counted twice
            try:
                book.debit(inputs["_tree_id"], debit_id=debit_id, cost_usd=0.01, tokens=1, tool_name="t")
            except Exception:
                c.incr(f"{prefix}:replayed-breaches")
    if inputs.get("fail"):
        raise RuntimeError(inputs["fail"])
    output = dict(inputs) if inputs.get("echo") else inputs.get("output", {"agent": child["agent"]})
    return {"output": output, "error": None,
            "cost_usd": 0.5, "tokens": 7, "duration_ms": 1.5}


def resume(*, parent_run_id: str, resume_key: str) -> None:
    client().rpush(f"{_prefix()}:resumed", json.dumps([parent_run_id, resume_key]))


def resume_or_die(*, parent_run_id: str, resume_key: str) -> None:
    """Kills its process at the first resume after ``<prefix>:die`` is set, before resuming."""
    if client().delete(f"{_prefix()}:die"):
        os.kill(os.getpid(), signal.SIGKILL)
    resume(parent_run_id=parent_run_id, resume_key=resume_key)
