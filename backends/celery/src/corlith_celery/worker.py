"""The Celery side: worker settings, the child task and the Beat tasks.

``install(app, settings)`` configures an app for this dispatcher and
registers its tasks; every process of a deployment (enqueuers, workers,
Beat) calls it with the same settings.
"""

from __future__ import annotations

import json
import logging
import os
import threading
import time
from collections.abc import Callable
from typing import Any, TypeVar

import redis
from celery import Celery  # type: ignore[import-untyped]

from corlith_redis import RedisWaiterRegistry, Release
from corlith_redis._codec import check_storable

from ._join import REAP, RUN_CHILD, SWEEP_TIMERS, WORKER_LOST_RECORD, Join, Settings, _call, child_run_id

_log = logging.getLogger(__name__)
_joins: dict[int, Join] = {}
T = TypeVar("T")


def celery_config(settings: Settings) -> dict[str, Any]:
    """The app settings the join relies on.

    - acks_late + reject_on_worker_lost: a message is acknowledged only after
      its child is recorded, and a killed pool child's message is requeued;
    - prefetch 1: a worker holds no message it is not running, so a dead
      worker strands at most its running children;
    - ignore_result: results travel through the join, never the result backend;
    - visibility_timeout: long; a lost child is re-run by the reaper when its
      lease lapses, and the broker's redelivery is only a backstop (the
      duplicate it makes is refused by the lease);
    - unacked_restore_interval/throttle 1: the transport otherwise restores
      unacknowledged messages only every ~100 s whatever the timeout says;
    - JSON only, in and out.
    """
    return {
        "task_acks_late": True,
        "task_reject_on_worker_lost": True,
        "worker_prefetch_multiplier": 1,
        "task_ignore_result": True,
        "task_serializer": "json",
        "accept_content": ["json"],
        "result_accept_content": ["json"],
        "result_serializer": "json",
        "task_soft_time_limit": settings.child_soft_time_limit_seconds,
        "task_time_limit": settings.child_time_limit_seconds,
        "task_default_queue": settings.queue,
        "broker_connection_retry_on_startup": True,
        "broker_transport_options": {
            "visibility_timeout": settings.visibility_timeout_seconds,
            "unacked_restore_interval": 1,
            "unacked_restore_throttle": 1,
        },
        "beat_schedule": {
            "corlith-reap": {"task": REAP, "schedule": settings.reap_interval_seconds},
            "corlith-sweep-timers": {"task": SWEEP_TIMERS, "schedule": settings.sweep_interval_seconds},
        },
    }


def join_for(app: Celery) -> Join:
    return _joins[id(app)]


def _patiently(call: Callable[[], T], *, seconds: float = 60.0) -> T:
    # Every call retried here is safe to repeat (first write wins, ids applied
    # once); a restarting Redis is waited for rather than losing the child.
    deadline = time.monotonic() + seconds
    while True:
        try:
            return call()
        except (redis.ConnectionError, redis.TimeoutError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def install(app: Celery, settings: Settings) -> Join:
    """Configure ``app`` and register the child task and the Beat tasks on it."""
    app.conf.update(celery_config(settings))
    join = Join(app, settings)
    _joins[id(app)] = join

    @app.task(name=RUN_CHILD, ignore_result=True)  # type: ignore[untyped-decorator]
    def run_child(ref: str, position: int, tree: str | None = None) -> str:
        # ``tree``: named by messages of earlier releases; the claim answers it
        return _patiently(lambda: _run_child(join, ref, int(position)))

    @app.task(name=REAP, ignore_result=True)  # type: ignore[untyped-decorator]
    def reap() -> dict[str, int]:
        return join.reap()

    @app.task(name=SWEEP_TIMERS, ignore_result=True)  # type: ignore[untyped-decorator]
    def sweep_timers() -> int:
        return sweep_and_resume(join)

    return join


def sweep_and_resume(join: Join) -> int:
    """Release the due timers and resume each parent once through the configured target.

    The sweep holds every release in the registry's outbox; each is
    acknowledged only after its resume is marked done. A sweeper that dies
    or loses the sweep's reply in between leaves the releases to the
    reaper's redelivery, and the marker keeps the resume to one.
    """
    async def sweep(registry: RedisWaiterRegistry) -> list[Release]:
        held: list[Release] = []
        for parent_run_id, resume_key in await registry.sweep_expired_timers():
            held += [r for r in await registry.held(parent_run_id, resume_key) if r.kind == "timer"]
        return held
    return sum(join.resume_timer(release) for release in join.with_registry(sweep))


class _Leases:
    """Keeps the leases of this process's running children alive, from one thread.

    A thread per child would cost more CPU than the child's whole join. The
    thread is started on first use in each process (a forked pool child has
    none of its parent's threads) and renews every held lease each third of
    the shortest lease.
    """

    def __init__(self) -> None:
        self._held: dict[tuple[int, str, int], Join] = {}
        self._lock = threading.Lock()
        self._pid = 0

    def hold(self, join: Join, ref: str, position: int) -> tuple[int, str, int]:
        key = (id(join), ref, position)
        with self._lock:
            self._held[key] = join
            if self._pid != os.getpid():
                self._pid = os.getpid()
                threading.Thread(target=self._run, daemon=True, name="corlith-leases").start()
        return key

    def drop(self, key: tuple[int, str, int]) -> None:
        with self._lock:
            self._held.pop(key, None)

    def _run(self) -> None:
        while True:
            with self._lock:
                held = list(self._held.items())
            time.sleep(min((join.settings.lease_seconds for _, join in held), default=3.0) / 3)
            for key, join in held:
                with self._lock:
                    if key not in self._held:
                        continue  # recorded meanwhile
                _, ref, position = key
                s = join.settings
                try:
                    if not join.scripts["RENEW"](keys=join._group_keys(ref, "results", "leases"),
                                                 args=[position, int(s.lease_seconds * 1000)]):
                        self.drop(key)  # recorded, or taken back by the reaper
                except redis.RedisError:
                    _log.warning("lease renewal failed", exc_info=True)


_leases = _Leases()


def _run_child(join: Join, ref: str, position: int) -> str:
    """Claims, runs and records one child."""
    s = join.settings
    reply = join.scripts["CLAIM"](keys=join._group_keys(ref, "meta", "results", "leases", "attempts", "specs"),
                                  args=[position, int(s.lease_seconds * 1000), s.max_attempts])
    verdict = reply[0].decode() if isinstance(reply[0], bytes) else reply[0]
    if verdict == "lost":
        _finish(join, ref, position, WORKER_LOST_RECORD, False)
        return verdict
    if verdict == "skip":  # never runs: it leaves the tree's in-flight count now
        _patiently(lambda: join.completed(ref, position))
    if verdict != "run":
        return verdict
    body = json.loads(reply[2])
    tree = reply[3].decode() if isinstance(reply[3], bytes) else str(reply[3])
    child = {"child_run_id": child_run_id(ref, position), "agent": body["agent"], "spec": body["spec"],
             "inputs": body["inputs"], "attempt": int(reply[1])}
    lease = _leases.hold(join, ref, position)
    started = time.perf_counter()
    try:
        try:
            result = _call(join.child_runner(), child=child)
            output = result.get("output")
            check_storable(output, "output")
            duration = result.get("duration_ms")
            record = json.dumps([output, result.get("error"), float(result.get("cost_usd") or 0.0),
                                 int(result.get("tokens") or 0),
                                 float(duration) if duration is not None else (time.perf_counter() - started) * 1000])
        except Exception as error:  # a child's failure is data
            output = None
            record = json.dumps([None, str(error), 0.0, 0, (time.perf_counter() - started) * 1000])
        _finish(join, ref, position, record, output is not None, tree)
    finally:
        _leases.drop(lease)
    return "recorded"


def _finish(join: Join, ref: str, position: int, record: str, has_output: bool, tree: str | None = None) -> None:
    if tree is not None:
        stored, targets = _patiently(lambda: join.record_and_complete(ref, position, record, has_output, tree))
    else:
        stored, targets = _patiently(lambda: join.record_child(ref, position, record, has_output))
        if stored > 0:
            _patiently(lambda: join.completed(ref, position))
    if stored == 2:
        _patiently(lambda: join.deliver(ref, targets=targets))  # each resume is behind its marker: retry is safe
