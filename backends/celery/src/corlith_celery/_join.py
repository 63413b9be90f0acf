"""Group state in Redis, shared by the dispatcher, the workers and the reaper.

A group is one enqueue: its dedup reference names it, and each of its keys
starts with the hash tag of (prefix, "group", reference). A few keys live
outside the groups: the index of groups the reaper visits, the map from a
parent (run id, resume key) to its group, the map from a child run id to
its tree, and the resume markers; each is written before the group state
that depends on it, so a crash in between leaves an entry that leads
nowhere, never group state that nothing leads to.
"""

from __future__ import annotations

import asyncio
import dataclasses
import functools
import hashlib
import importlib
import inspect
import json
import logging
import os
import threading
import time
from collections.abc import Awaitable, Callable, Iterator
from typing import Any, TypeVar

import redis
from celery import Celery  # type: ignore[import-untyped]
from kombu.exceptions import BatchPublishError

from corlith_redis import (RedisWaiterRegistry, Release, async_client, async_cluster_client, sync_client,
                           sync_cluster_client)
from corlith_redis._codec import hash_tag, pair_key, require_prefix
from corlith_runtime.core.runtime.waiters import SignalWaiter

from . import _scripts
from .book import TREE_BOOK_TTL_SECONDS, TreeBook

_log = logging.getLogger(__name__)
T = TypeVar("T")

#: Groups the reaper reads from its index at a time.
REAP_BATCH = 200

RUN_CHILD = "corlith_celery.run_child"
REAP = "corlith_celery.reap"
SWEEP_TIMERS = "corlith_celery.sweep_timers"

#: Records the reaper writes for children it closes.
TIMEOUT_RECORD = json.dumps([None, "timeout", 0.0, 0, 0.0])
WORKER_LOST_RECORD = json.dumps([None, "worker lost", 0.0, 0, 0.0])


@dataclasses.dataclass(frozen=True)
class Settings:
    """How the dispatcher, its workers and its reaper behave; every process of one deployment shares them.

    ``child_runner`` and ``resume_target`` are import paths (``module:name``);
    ``resume_task`` names a Celery task instead of ``resume_target``. Times are seconds.
    """

    redis_url: str
    prefix: str = "corlith"
    #: ``redis_url`` names a node of a Redis Cluster that holds the join's state.
    #: Celery's broker stays a single server: its Redis transport has no cluster support.
    cluster: bool = False
    child_runner: str = "corlith_celery.runners:noop"
    resume_target: str | None = None
    resume_task: str | None = None
    #: A running child's lease; a child whose lease lapses is run again by the reaper.
    lease_seconds: float = 30.0
    max_attempts: int = 3
    #: A child neither running nor recorded this long after its message left is published again.
    republish_after_seconds: float = 120.0
    #: A release not acknowledged this long after it was made is delivered again.
    redeliver_after_seconds: float = 30.0
    #: How long a satisfied group's results stay collectable when not acknowledged.
    result_ttl_seconds: float = 7 * 24 * 3600.0
    #: A group without a timeout expires this long (plus result_ttl_seconds) after it was recorded.
    max_group_seconds: float = 7 * 24 * 3600.0
    #: A tree's book goes this long after its last change (each change starts it again).
    tree_book_ttl_seconds: float = TREE_BOOK_TTL_SECONDS
    reap_interval_seconds: float = 5.0
    sweep_interval_seconds: float = 1.0
    child_soft_time_limit_seconds: float = 300.0
    child_time_limit_seconds: float = 330.0
    visibility_timeout_seconds: float = 3600.0
    queue: str = "celery"

    def __post_init__(self) -> None:
        require_prefix(self.prefix)
        if self.resume_target is not None and self.resume_task is not None:
            raise ValueError("name a resume_target or a resume_task, not both")
        if type(self.max_attempts) is not int or self.max_attempts < 1:
            raise ValueError(f"max_attempts must be a positive int: {self.max_attempts!r}")


def dedup_ref(parent_run_id: str, parent_resume_key: str, group_key: str | None) -> str:
    """The group's name: the group key, or the parent pair; the two kinds never collide."""
    parts = ["g", group_key] if group_key is not None else ["p", parent_run_id, parent_resume_key]
    return json.dumps(parts, ensure_ascii=True, separators=(",", ":"))


def child_run_id(ref: str, position: int) -> str:
    """Deterministic: the same group and position always give the same id."""
    return f"cel-{_digest(ref)}-{position}"


@functools.lru_cache(maxsize=1024)
def _keys_of_group(prefix: str, ref: str) -> dict[str, bytes]:
    # a child's claim, record and delivery each name the group's keys: built once per group
    tag = hash_tag(prefix, "group", ref)
    return {name: tag + b":" + name.encode() for name in (*_scripts.GROUP_KEYS, "acked")}


@functools.lru_cache(maxsize=1024)
def _digest(ref: str) -> str:
    # each child of a group names the group's digest several times
    return hashlib.sha256(ref.encode("ascii")).hexdigest()[:32]


def import_path(path: str) -> Any:
    module, _, name = path.partition(":")
    target: Any = importlib.import_module(module)
    for part in name.split("."):
        target = getattr(target, part)
    return target


def _text(value: bytes | str | None) -> str | None:
    return value.decode() if isinstance(value, bytes) else value


def _text_bytes(value: bytes | str | None) -> bytes | None:
    return value.encode() if isinstance(value, str) else value


#: Each parent's resume target (JSON), by pair.
Targets = dict[str, bytes]


def _stored(reply: list[Any]) -> tuple[int, Targets | None]:
    """RECORD's answer: the outcome, and on satisfaction every parent's resume target."""
    code = int(reply[0])
    if code != 2:
        return code, None
    return code, {(_text(reply[i]) or ""): _text_bytes(reply[i + 1]) or b"" for i in range(1, len(reply), 2)}


class _KeptLoop:
    """An event loop kept for one thread's life, closed when the thread's locals go."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()

    def __del__(self) -> None:
        self.loop.close()  # may run on another thread: nothing here runs the loop


_local = threading.local()


class _RegistryLoop:
    """The process's registries and their asyncio clients, on one event loop run by a daemon thread.

    A client and a loop per release cost a connection and about a
    millisecond of CPU each time, more than a child's whole join; blocking
    code hands its registry calls to this loop instead.
    """

    def __init__(self) -> None:
        self.pid = os.getpid()
        self.loop = asyncio.new_event_loop()
        self.clients: dict[tuple[str, bool], Any] = {}
        self.registries: dict[Settings, RedisWaiterRegistry] = {}
        threading.Thread(target=self.loop.run_forever, daemon=True, name="corlith-registry").start()

    def registry(self, settings: Settings) -> RedisWaiterRegistry:
        registry = self.registries.get(settings)
        if registry is None:
            where = (settings.redis_url, settings.cluster)
            client = self.clients.get(where)
            if client is None:
                client = self.clients[where] = (async_cluster_client if settings.cluster else async_client)(
                    settings.redis_url)
            # The outbox is on: a release stays held until the resume is
            # acknowledged, so a claimer that dies or loses a reply loses nothing.
            registry = self.registries[settings] = RedisWaiterRegistry(
                client, prefix=f"{settings.prefix}:waiters",
                outbox_seconds=max(0.05, settings.redeliver_after_seconds))
        return registry


_registry_loop: _RegistryLoop | None = None
_registry_lock = threading.Lock()
# What a forked process inherited: the parent's sockets and selector, never closed here.
_inherited: list[_RegistryLoop] = []


def _reset_after_fork() -> None:
    global _registry_lock
    _registry_lock = threading.Lock()  # a parent thread may have held it when the process forked


os.register_at_fork(after_in_child=_reset_after_fork)


def _registry(settings: Settings) -> tuple[asyncio.AbstractEventLoop, RedisWaiterRegistry]:
    global _registry_loop
    with _registry_lock:
        if _registry_loop is None or _registry_loop.pid != os.getpid():
            if _registry_loop is not None:
                _inherited.append(_registry_loop)
            _registry_loop = _RegistryLoop()
        return _registry_loop.loop, _registry_loop.registry(settings)


def run_here(awaitable: Awaitable[T]) -> T:
    """Runs ``awaitable`` on this thread's kept event loop.

    A loop per call (asyncio.run) costs about a millisecond of CPU, more than
    a child's whole join; objects a child runner binds to the loop stay usable
    by the next child on the thread.
    """
    kept: _KeptLoop | None = getattr(_local, "loop", None)
    if kept is None:
        kept = _local.loop = _KeptLoop()

    async def wait() -> T:
        return await awaitable
    return kept.loop.run_until_complete(wait())


def _call(fn: Callable[..., Any], **kwargs: Any) -> Any:
    result = fn(**kwargs)
    return run_here(result) if inspect.isawaitable(result) else result


class Batch:
    """Commands and scripts sent in one round trip.

    Scripts go as EVALSHA: a pipeline of script objects first asks the
    server whether each exists, one more round trip every time. A script the
    server does not have (a restart empties its cache) did not run, and is
    run again on its own.
    """

    def __init__(self, client: redis.Redis) -> None:
        self.pipe: Any = client.pipeline(transaction=False)
        self._scripts: dict[int, tuple[Any, list[Any], list[Any]]] = {}
        self._count = 0

    def script(self, script: Any, keys: list[Any], args: list[Any]) -> None:
        self.pipe.evalsha(script.sha, len(keys), *keys, *args)
        self._scripts[self._count] = (script, keys, args)
        self._count += 1

    def command(self, name: str, *args: Any) -> None:
        getattr(self.pipe, name)(*args)
        self._count += 1

    def execute(self) -> list[Any]:
        replies: list[Any] = self.pipe.execute(raise_on_error=False)
        for i, reply in enumerate(replies):
            if isinstance(reply, redis.exceptions.NoScriptError) and i in self._scripts:
                script, keys, args = self._scripts[i]
                replies[i] = script(keys=keys, args=args)
            elif isinstance(reply, Exception):
                raise reply
        return replies


class Join:
    """Blocking access to the groups of one deployment (thread-safe; one per process will do)."""

    def __init__(self, app: Celery, settings: Settings) -> None:
        self.app = app
        self.settings = settings
        # Every script touches the keys of one hash tag (a group's, a tree's, the
        # registry's), so a cluster serves the join as one server does.
        self.client: redis.Redis = (sync_cluster_client(settings.redis_url) if settings.cluster  # type: ignore[assignment]
                                    else sync_client(settings.redis_url))
        self.book = TreeBook(self.client, prefix=settings.prefix, ttl_seconds=settings.tree_book_ttl_seconds)
        index = hash_tag(settings.prefix, "index")
        self.groups_key = index + b":groups"
        self.scripts = {name: self.client.register_script(getattr(_scripts, name))
                        for name in ("CREATE", "PUBLISHED", "CLAIM", "RENEW", "RECORD", "REAP",
                                     "ACK_OUTBOX", "ACK_PARENT")}
        self._runner: Any = None

    def child_runner(self) -> Any:
        if self._runner is None:
            self._runner = import_path(self.settings.child_runner)
        return self._runner

    # ---- keys
    def keys(self, ref: str) -> dict[str, bytes]:
        """The group's keys by name (shared: not to be changed)."""
        return _keys_of_group(self.settings.prefix, ref)

    def _group_keys(self, ref: str, *names: str) -> list[bytes]:
        keys = self.keys(ref)
        return [keys[name] for name in names]

    def pair_key(self, parent_run_id: str, resume_key: str) -> bytes:
        return hash_tag(self.settings.prefix, "pair") + b":" + pair_key(parent_run_id, resume_key)

    def tree_key(self, run_id: str) -> bytes:
        return hash_tag(self.settings.prefix, "run", run_id) + b":tree"

    def marker_key(self, pair: str) -> bytes:
        return hash_tag(self.settings.prefix, "resume") + b":" + pair.encode("ascii")

    def signal_name(self, ref: str) -> str:
        return f"corlith-celery:{ref}"

    def registry_prefix(self) -> str:
        return f"{self.settings.prefix}:waiters"

    def with_registry(self, body: Callable[[RedisWaiterRegistry], Awaitable[T]]) -> T:
        """Runs ``body`` on the process's registry for these settings, from blocking code, and waits for it."""
        loop, registry = _registry(self.settings)

        async def run() -> T:
            return await body(registry)
        return asyncio.run_coroutine_threadsafe(run(), loop).result()

    # ---- operations
    def tree_of(self, run_id: str) -> str:
        return _text(self.client.get(self.tree_key(run_id))) or run_id

    def ref_of(self, parent_run_id: str, resume_key: str) -> str:
        return _text(self.client.get(self.pair_key(parent_run_id, resume_key))) or dedup_ref(
            parent_run_id, resume_key, None)

    def publish(self, ref: str, positions: list[int]) -> bytes | None:
        """Sends a message per child.

        The messages leave in one round trip on one producer. A batch that
        fails leaves the group unpublished, and the reaper publishes it, as it
        does when the enqueuer dies here; a duplicate is refused by the lease.
        Answers the group's state, read as the group is marked published.
        """
        if not positions:
            return _text_bytes(self.client.hget(self.keys(ref)["meta"], "state"))
        retries = 3 if self.app.conf.task_publish_retry else 0
        for attempt in range(retries + 1):
            try:
                with self.app.producer_or_acquire() as producer, producer.batch():
                    for position in positions:
                        self.app.send_task(RUN_CHILD, args=[ref, position],
                                           queue=self.settings.queue, producer=producer,
                                           serializer="json", ignore_result=True)
                break
            except BatchPublishError:
                # Part of the batch may have left: all of it again only makes
                # duplicates, which the lease refuses.
                if attempt == retries:
                    raise
                time.sleep(0.2 * (attempt + 1))
        return _text_bytes(self.scripts["PUBLISHED"](keys=self._group_keys(ref, "meta", "sent"), args=positions))

    def record(self, ref: str, position: int, record: str, has_output: bool) -> int:
        """Records a child first-write-wins: -1 group gone, 0 recorded before, 1 stored, 2 stored and satisfied."""
        return self.record_child(ref, position, record, has_output)[0]

    def record_child(self, ref: str, position: int, record: str, has_output: bool) -> tuple[int, Targets | None]:
        """``record``, answering also the parents' resume targets when this record satisfied the group."""
        return _stored(self.scripts["RECORD"](keys=self._record_keys(ref), args=[position, record, int(has_output)]))

    def _record_keys(self, ref: str) -> list[bytes]:
        return self._group_keys(ref, "meta", "results", "leases", "attempts", "parents", "outbox", "final")

    def record_and_complete(self, ref: str, position: int, record: str, has_output: bool,
                            tree: str) -> tuple[int, Targets | None]:
        """``record_child``, and the child's completion in the tree's book, in one round trip.

        The completion is applied once by the child's id, whoever records the
        child, so it goes with the record whatever the record answers.
        """
        keys, args = self.book.completed_call(tree, child_run_id(ref, position))
        batch = Batch(self.client)
        batch.script(self.scripts["RECORD"], self._record_keys(ref), [position, record, int(has_output)])
        batch.script(self.book.complete, keys, list(args))
        return _stored(batch.execute()[0])

    def completed(self, ref: str, position: int, tree: str | None = None) -> None:
        if tree is None:
            tree = _text(self.client.hget(self.keys(ref)["meta"], "tree"))
        if tree is not None:
            self.book.register_child_completed(tree, child_run_id(ref, position))

    def deliver(self, ref: str, pairs: list[str] | None = None, targets: Targets | None = None) -> int:
        """Release the group's parents and resume each once; answers how many were resumed here.

        The waiters are released through the registry's signal path; the
        outbox, not the registry, is what makes the resume happen, so a
        deliverer that dies anywhere leaves the entry for the reaper.
        ``targets`` (every parent's, as the satisfying record answers them)
        spares the read of the outbox: satisfaction put each parent in it.
        """
        keys = self.keys(ref)
        if targets is not None:
            pairs = list(targets)
            targets_of: list[Any] = list(targets.values())
        elif pairs is None:
            # one round trip: the outbox and the parents' targets share the group's slot
            read: Any = self.client.pipeline(transaction=False)
            read.hkeys(keys["outbox"])
            read.hgetall(keys["parents"])
            waiting, parents = read.execute()
            pairs = [_text(p) or "" for p in waiting]
            targets_of = [parents.get(p.encode()) for p in pairs]
        elif pairs:
            targets_of = self.client.hmget(keys["parents"], pairs)
        if not pairs:
            return 0
        self._release_waiters(ref)
        resumed = 0
        delivered = []
        for pair, target in zip(pairs, targets_of):
            # the outbox entry goes with the marker set done, in one round trip
            if target is not None and self._resume(pair, json.loads(target), outbox=keys["outbox"]):
                resumed += 1
                delivered.append(pair)
            elif self._marker_done(pair):
                self.scripts["ACK_OUTBOX"](keys=[keys["outbox"]], args=[pair])
                delivered.append(pair)
        self._acknowledge_releases(delivered)
        return resumed

    def _release_waiters(self, ref: str) -> None:
        try:
            self.with_registry(lambda r: r.resolve_signal(signal_name=self.signal_name(ref), payload={}))
        except Exception:  # the group's outbox still resumes the parent; the waiter is released next time
            _log.warning("releasing the waiters of %s failed", ref, exc_info=True)

    def _acknowledge_releases(self, pairs: list[str]) -> None:
        async def acknowledge(registry: RedisWaiterRegistry) -> None:
            for pair in pairs:
                parent_run_id, resume_key = json.loads(pair)
                await registry.acknowledge(parent_run_id=parent_run_id, resume_key=resume_key)
        if pairs:
            try:
                self.with_registry(acknowledge)
            except Exception:  # the reaper acknowledges them when it finds them delivered
                _log.warning("acknowledging %d releases failed", len(pairs), exc_info=True)

    def resume_timer(self, release: Release) -> bool:
        """Resume a parent whose timer fired, once per timer, and acknowledge the release.

        The marker names the timer (pair and due time), so the same pair
        sleeping again later is resumed again.
        """
        pair = pair_key(release.parent_run_id, release.resume_key).decode("ascii")
        due = getattr(release.waiter, "resume_at_unix", None)
        marker = self.marker_key(f"timer:{pair}:{due!r}")
        resumed = self._resume(pair, self.resume_target(), marker=marker)
        if self.client.get(marker) == b"done":
            self.with_registry(lambda r: r.acknowledge(parent_run_id=release.parent_run_id,
                                                       resume_key=release.resume_key))
        return resumed

    def resume_target(self) -> dict[str, Any]:
        return {"task": self.settings.resume_task} if self.settings.resume_task else {
            "path": self.settings.resume_target}

    def _redeliver_releases(self) -> int:
        """Releases of the registry nobody acknowledged: timers are resumed; a group's are its outbox's."""
        handled = 0
        for release in self.with_registry(lambda r: r.redeliver()):
            if release.kind == "timer":
                self.resume_timer(release)
                handled += 1
            elif release.kind == "signal" and isinstance(release.waiter, SignalWaiter) and \
                    release.waiter.signal_name.startswith("corlith-celery:"):
                ref = release.waiter.signal_name.partition(":")[2]
                pair = pair_key(release.parent_run_id, release.resume_key).decode("ascii")
                # still in the group's outbox: the group's redelivery resumes and acknowledges it
                if not self.client.hexists(self.keys(ref)["outbox"], pair):
                    self.with_registry(lambda r: r.acknowledge(parent_run_id=release.parent_run_id,
                                                               resume_key=release.resume_key))
                    handled += 1
            # user-input releases need the runtime's answer path; they stay for it
        return handled

    def _marker_done(self, pair: str) -> bool:
        return self.client.get(self.marker_key(pair)) == b"done"

    def _resume(self, pair: str, target: dict[str, Any], *, marker: bytes | None = None,
                outbox: bytes | None = None) -> bool:
        """Resumes once behind the marker; True if resumed here. ``outbox``: the group's, acknowledged for the pair with the marker."""
        marker = marker if marker is not None else self.marker_key(pair)
        lease_ms = max(1000, int(self.settings.redeliver_after_seconds * 1000))
        # running elsewhere, or done: the marker holder answers for it
        if not self.client.set(marker, "running", nx=True, px=lease_ms):
            return False
        parent_run_id, resume_key = json.loads(pair)
        try:
            if target.get("task"):
                digest = hashlib.sha256(marker).hexdigest()
                self.app.send_task(target["task"], kwargs={"parent_run_id": parent_run_id, "resume_key": resume_key},
                                   task_id=f"corlith-resume-{digest}", serializer="json", ignore_result=True)
            elif target.get("path"):
                _call(import_path(target["path"]), parent_run_id=parent_run_id, resume_key=resume_key)
        except BaseException:
            self.client.delete(marker)  # not resumed: the reaper delivers again
            raise
        ttl_ms = int(self.settings.result_ttl_seconds * 1000)
        if outbox is None:
            self.client.set(marker, "done", px=ttl_ms)
        else:
            # the marker first: an entry left by a lost reply is redelivered to a marker already done
            done: Any = self.client.pipeline(transaction=False)
            done.set(marker, "done", px=ttl_ms)
            done.hdel(outbox, pair)
            done.execute()
        return True

    def reap(self) -> dict[str, int]:
        """One pass over every unfinished group. Several passes may run at once."""
        s = self.settings
        counts = {"groups": 0, "republished": 0, "redelivered": 0, "closed": 0}
        args: list[str | int] = [s.max_attempts, int(s.republish_after_seconds * 1000), int(s.redeliver_after_seconds * 1000),
                TIMEOUT_RECORD, WORKER_LOST_RECORD]
        for raw in self._groups():
            ref = raw.decode() if isinstance(raw, bytes) else str(raw)
            counts["groups"] += 1
            keys = self._group_keys(ref, *_scripts.GROUP_KEYS)
            reply = self.scripts["REAP"](keys=keys, args=args)
            state, republish, redeliver, recorded = _text(reply[0]), reply[1], reply[2], reply[3]
            for position in recorded:
                self.completed(ref, int(position))
            counts["closed"] += len(recorded)
            if republish:
                self.publish(ref, [int(p) for p in republish])
                counts["republished"] += len(republish)
            if redeliver:
                self.deliver(ref, [_text(p) or "" for p in redeliver])
                counts["redelivered"] += len(redeliver)
            if state == "gone" or (state == "done" and self.client.hlen(self.keys(ref)["outbox"]) == 0):
                self.client.zrem(self.groups_key, ref)
        counts["releases"] = self._redeliver_releases()
        return counts

    def _groups(self) -> Iterator[bytes]:
        # In batches, by name: members the pass removes do not shift the rest.
        low = b"-"
        while batch := [bytes(m) if isinstance(m, bytes) else m.encode() for m in
                        self.client.zrangebylex(self.groups_key, low, b"+", start=0, num=REAP_BATCH)]:
            yield from batch
            low = b"(" + batch[-1]

    def lifetime_ms(self, timeout_ms: int) -> int:
        """How long a group's keys (and what leads to them) live: well past its deadline."""
        return (timeout_ms or int(self.settings.max_group_seconds * 1000)) + int(
            self.settings.result_ttl_seconds * 1000)
