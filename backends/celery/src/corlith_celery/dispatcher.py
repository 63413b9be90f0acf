"""CelerySpawnDispatcher: children on Celery workers, joined in Redis.

``collect_results`` differs from the in-process dispatcher's: it does not
remove what it returns. The records stay, as they stood when ``return_when``
was satisfied, until ``acknowledge`` or the TTL, so a resume that crashed
can collect again. Every child gets an id at enqueue, also under "any" and
"first_success", where children not yet started when the group is
satisfied are skipped and have no record.
"""

from __future__ import annotations

import asyncio
import inspect
import json
import math
from collections.abc import Coroutine
from typing import Any

import redis.asyncio
from celery import Celery  # type: ignore[import-untyped]

from corlith_redis import RedisWaiterRegistry, async_client
from corlith_redis._codec import check_storable, pair_key
from corlith_runtime.core.runtime import spawn
from corlith_runtime.core.runtime.waiters import SignalWaiter

from ._join import Join, Settings, child_run_id, dedup_ref

_PROTOCOL_ENQUEUE = spawn.SpawnDispatcher.enqueue_children
_PROTOCOL_COLLECT = spawn.SpawnDispatcher.collect_results


def _mode(return_when: Any) -> str:
    # Host equality, as the in-process dispatcher compares; anything else waits for all.
    if return_when == "first_success":
        return "first_success"
    if return_when == "any":
        return "any"
    return "all"


class CelerySpawnDispatcher:
    """A SpawnDispatcher whose children run as Celery tasks, one task per child.

    ``child_budget_usd`` is what ``check_can_afford`` is asked for each child
    before a group is dispatched. The dispatcher belongs to the event loop
    that first uses it.
    """

    def __init__(self, app: Celery, settings: Settings, *, child_budget_usd: float = 0.0) -> None:
        self._join = Join(app, settings)
        self._settings = settings
        self._child_budget_usd = float(child_budget_usd)
        self._aclient: redis.asyncio.Redis | None = None

    @property
    def join(self) -> Join:
        return self._join

    def _registry(self) -> RedisWaiterRegistry:
        if self._aclient is None:
            self._aclient = async_client(self._settings.redis_url)
        return RedisWaiterRegistry(self._aclient, prefix=self._join.registry_prefix())

    async def aclose(self) -> None:
        if self._aclient is not None:
            await self._aclient.aclose()
            self._aclient = None

    def enqueue_children(self, *args: Any, **kwargs: Any) -> Coroutine[Any, Any, list[str]]:
        # The compiled protocol binds and tests the arguments, with its own messages.
        _PROTOCOL_ENQUEUE(self, *args, **kwargs).close()
        bound = inspect.signature(_PROTOCOL_ENQUEUE).bind(self, *args, **kwargs)
        bound.apply_defaults()
        options = dict(bound.arguments)
        del options["self"]
        options["timeout_seconds"] = float(options["timeout_seconds"])
        return self._enqueue(**options)

    def collect_results(self, *args: Any, **kwargs: Any) -> Coroutine[Any, Any, dict[str, spawn.ChildResult]]:
        _PROTOCOL_COLLECT(self, *args, **kwargs).close()
        return self._collect(kwargs["parent_run_id"], kwargs["resume_key"])

    async def _enqueue(self, *, parent_run_id: str, parent_resume_key: str, specs: tuple[Any, ...],
                       return_when: Any, timeout_seconds: float, group_key: str | None, tenant_id: str | None,
                       parent_trace_id: str | None, parent_span_id: str | None,
                       parent_sub_user_identity: dict[str, Any] | None) -> list[str]:
        mode = _mode(return_when)
        ref = dedup_ref(parent_run_id, parent_resume_key, group_key)
        messages: list[str] = []
        for position, spec in enumerate(specs):
            spec_dict = spec.to_dict()
            inputs = dict(spec_dict.get("inputs") or {}) if isinstance(spec_dict, dict) else {}
            messages.append(json.dumps({"spec": spec_dict, "agent": getattr(spec, "agent", None), "inputs": inputs},
                                       ensure_ascii=True, separators=(",", ":")))
        pair = pair_key(parent_run_id, parent_resume_key).decode("ascii")
        target = {"task": self._settings.resume_task} if self._settings.resume_task else {
            "path": self._settings.resume_target}
        timeout_ms = int(timeout_seconds * 1000) if math.isfinite(timeout_seconds) and timeout_seconds > 0 else 0
        return await asyncio.to_thread(
            self._enqueue_blocking, ref, pair, parent_run_id, parent_resume_key, mode, timeout_ms, messages, target,
            {"_trace_id": parent_trace_id, "_signal_span_id": parent_span_id,
             "_sub_user_identity": parent_sub_user_identity, "_tenant_id": tenant_id},
            group_key is not None)

    def _enqueue_blocking(self, ref: str, pair: str, parent_run_id: str, resume_key: str, mode: str,
                          timeout_ms: int, messages: list[str], target: dict[str, Any], injected: dict[str, Any],
                          keyed: bool) -> list[str]:
        join = self._join
        client = join.client
        keys = join.keys(ref)
        # One round trip: the parent's tree, whether the group exists, and the
        # book of the parent's own tree (right for a root, re-read otherwise).
        read: Any = client.pipeline(transaction=False)
        read.get(join.tree_key(parent_run_id)).exists(keys["meta"])
        book_read = join.book.read_call(parent_run_id, read)
        tree_raw, exists, book_reply = read.execute()
        tree = (tree_raw.decode() if isinstance(tree_raw, bytes) else tree_raw) or parent_run_id
        ids = [child_run_id(ref, position) for position in range(len(messages))]
        if not exists:
            book = book_read(book_reply) if tree == parent_run_id else join.book.read(tree)
            book.check_fanout(len(messages))
            book.check_concurrent(len(messages))
            for _ in messages:
                book.check_can_afford(self._child_budget_usd)
        bodies = []
        for child_id, text in zip(ids, messages):
            body = json.loads(text)
            body["inputs"].update(injected, _tree_id=tree)
            body["child_run_id"] = child_id
            check_storable(body["spec"], "spec.to_dict()")
            check_storable(body["inputs"], "child inputs")
            bodies.append(json.dumps(body, ensure_ascii=True, separators=(",", ":")))
        # What leads to the group is written before the group.
        lifetime = join.lifetime_ms(timeout_ms)
        leads: Any = client.pipeline(transaction=False)
        leads.zadd(join.groups_key, {ref: 0}, nx=True)
        if keyed:
            leads.set(join.pair_key(parent_run_id, resume_key), ref, px=lifetime)
        for child_id in ids:
            leads.set(join.tree_key(child_id), tree, px=lifetime)
        leads.execute()
        created, n, state, joined, published = join.scripts["CREATE"](
            keys=[keys[name] for name in ("meta", "results", "leases", "attempts", "parents", "outbox", "final",
                                          "specs")],
            args=[len(bodies), mode, timeout_ms, tree, pair, json.dumps(target), lifetime, *bodies])
        ids = [child_run_id(ref, position) for position in range(int(n))]
        if created:
            join.book.register_children_spawned(tree, ref, len(ids))
        if joined:
            join.with_registry(lambda registry: registry.register_signal_waiter(
                SignalWaiter(parent_run_id, resume_key, join.signal_name(ref))))
        if not int(published):
            state = join.publish(ref, list(range(int(n))))
        else:
            state = client.hget(keys["meta"], "state")
        # Satisfied before this parent's waiter was registered: release it here.
        if state == b"done":
            join.deliver(ref)
        return ids

    async def _collect(self, parent_run_id: str, resume_key: str) -> dict[str, spawn.ChildResult]:
        return await asyncio.to_thread(self.collect_blocking, parent_run_id, resume_key)

    def collect_blocking(self, parent_run_id: str, resume_key: str) -> dict[str, spawn.ChildResult]:
        """The records as they stood at satisfaction (or those recorded so far, before it)."""
        join = self._join
        ref = join.ref_of(parent_run_id, resume_key)
        keys = join.keys(ref)
        pipe: Any = join.client.pipeline(transaction=True)
        pipe.hget(keys["meta"], "state").get(keys["final"]).hgetall(keys["results"]).hgetall(keys["specs"])
        state, final, results, specs = pipe.execute()
        results = {int(p): r for p, r in results.items()}
        specs = {int(p): r for p, r in specs.items()}
        if state == b"done" and final is not None:
            chosen = sorted(int(p) for p in json.loads(final))
        else:
            chosen = sorted(int(p) for p in results)
        out: dict[str, spawn.ChildResult] = {}
        for position in chosen:
            output, error, cost, tokens, duration = json.loads(results[position])
            child_id = child_run_id(ref, position)
            out[child_id] = spawn.ChildResult(
                child_run_id=child_id, spec=json.loads(specs[position])["spec"], output=output,
                error=error, cost_usd=float(cost), tokens=int(tokens), duration_ms=float(duration))
        return out

    async def acknowledge(self, *, parent_run_id: str, resume_key: str) -> None:
        """The parent has its results for good; once every parent of the group has said so, the group goes."""
        await asyncio.to_thread(self._acknowledge, parent_run_id, resume_key)

    def _acknowledge(self, parent_run_id: str, resume_key: str) -> None:
        join = self._join
        keys = join.keys(join.ref_of(parent_run_id, resume_key))
        join.scripts["ACK_PARENT"](
            keys=[keys[name] for name in ("meta", "results", "leases", "attempts", "parents", "outbox", "final",
                                          "specs", "sent", "acked")],
            args=[pair_key(parent_run_id, resume_key).decode("ascii"),
                  int(self._settings.result_ttl_seconds * 1000)])


inspect.markcoroutinefunction(CelerySpawnDispatcher.enqueue_children)
inspect.markcoroutinefunction(CelerySpawnDispatcher.collect_results)
CelerySpawnDispatcher.enqueue_children.__signature__ = inspect.signature(_PROTOCOL_ENQUEUE)  # type: ignore[attr-defined]
CelerySpawnDispatcher.collect_results.__signature__ = inspect.signature(_PROTOCOL_COLLECT)  # type: ignore[attr-defined]
