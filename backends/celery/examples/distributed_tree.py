"""A two-level spawn tree over three Celery workers, one of them killed mid-run.

    python distributed_tree.py

Starts a redis-server (append-only, no eviction) on a free loopback port,
three workers of this file's Celery app and a Beat process (the reaper and
the timer sweep). The root spawns three planners; each planner, on whichever
worker takes it, spawns four leaves, and every leaf debits the tree's shared
book. Once leaves are running, the worker running one of them is killed
(SIGKILL, pool and all): the reaper takes back its lapsed lease and the leaf
runs again on another worker. Prints each parent's results, the tree book,
and how many times each parent was resumed (once).
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path
from typing import Any

import redis
from celery import Celery  # type: ignore[import-untyped]

from corlith_celery import CelerySpawnDispatcher, Settings, TreeBook, install
from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.spend_book import SpendBook

HERE = Path(__file__).resolve().parent
PLANNERS, LEAVES = 3, 4
PREFIX = "example"


def build(url: str) -> tuple[Celery, Settings]:
    settings = Settings(redis_url=url, prefix=PREFIX, child_runner="distributed_tree:run_child",
                        resume_target="distributed_tree:resume", queue="example", lease_seconds=3.0,
                        republish_after_seconds=30.0, redeliver_after_seconds=3.0, reap_interval_seconds=1.0)
    app = Celery("distributed_tree", broker=url, set_as_current=False)
    install(app, settings)
    return app, settings


# The workers and Beat import this module as their app (celery -A distributed_tree).
if "CORLITH_EXAMPLE_REDIS" in os.environ:
    app, settings = build(os.environ["CORLITH_EXAMPLE_REDIS"])


def _client() -> redis.Redis:
    return redis.Redis.from_url(os.environ["CORLITH_EXAMPLE_REDIS"])


async def run_child(child: dict[str, Any]) -> dict[str, Any]:
    """A planner spawns its leaves and returns; a leaf works, debiting the tree's book."""
    inputs = child["inputs"]
    if child["agent"] == "planner":
        # The planner suspends on its leaves: its own resume comes when they are done.
        ids = await CelerySpawnDispatcher(app, settings).enqueue_children(
            parent_run_id=child["child_run_id"], parent_resume_key="leaves",
            specs=tuple(ChildSpec("leaf", {"topic": f"{inputs['area']}-{n}"}) for n in range(LEAVES)),
            return_when=ReturnWhen.ALL, timeout_seconds=300.0, parent_trace_id=inputs["_trace_id"],
            parent_span_id=child["child_run_id"][-16:], tenant_id=inputs["_tenant_id"])
        return {"output": {"spawned": len(ids)}, "error": None, "cost_usd": 0.0, "tokens": 0}
    client = _client()
    client.hset(f"{PREFIX}:running", child["child_run_id"], os.getppid())  # the worker's main process
    client.hincrby(f"{PREFIX}:runs", child["child_run_id"], 1)
    time.sleep(1.0)  # the leaf's work
    book = TreeBook(client, prefix=PREFIX)
    for call in range(3):  # one debit per model call, each applied once by its id
        book.debit(inputs["_tree_id"], debit_id=f"{child['child_run_id']}:{call}", cost_usd=0.01, tokens=120)
    return {"output": {"topic": inputs["topic"], "worker": os.getppid()}, "error": None,
            "cost_usd": 0.03, "tokens": 360}


def resume(*, parent_run_id: str, resume_key: str) -> None:
    """The runtime would resume the parent here; the example counts it."""
    _client().rpush(f"{PREFIX}:resumed", json.dumps([parent_run_id, resume_key]))


# ---- the driver: python distributed_tree.py

def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _wait(condition: Any, what: str, seconds: float = 120.0) -> Any:
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.05)
    return value


def main() -> int:
    server = shutil.which("redis-server")
    if server is None:
        raise SystemExit("redis-server not found: run backends/redis/scripts/ensure-redis-server")
    workdir = tempfile.mkdtemp(prefix="corlith-example-")
    url = f"redis://127.0.0.1:{_free_port()}/0"
    os.environ["CORLITH_EXAMPLE_REDIS"] = url
    processes: list[subprocess.Popen[bytes]] = []
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])}

    def spawn(*command: str) -> subprocess.Popen[bytes]:
        process = subprocess.Popen(command, cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        processes.append(process)
        return process

    try:
        spawn(server, "--port", url.rsplit(":", 1)[1].split("/")[0], "--bind", "127.0.0.1", "--dir", workdir,
              "--save", "", "--appendonly", "yes", "--appendfsync", "always", "--maxmemory-policy", "noeviction")
        client = redis.Redis.from_url(url, socket_connect_timeout=0.5)
        _wait(lambda: _ping(client), "redis-server")
        global app, settings
        app, settings = build(url)
        celery = [sys.executable, "-m", "celery", "-A", "distributed_tree"]
        workers = [spawn(*celery, "worker", "--pool=prefork", "--concurrency=1", "-Q", "example",
                         "--without-mingle", "--without-gossip", "--without-heartbeat", "-n", f"w{n}@%h",
                         "--loglevel=WARNING", f"--logfile={workdir}/w{n}.log") for n in range(3)]
        spawn(*celery, "beat", f"--schedule={workdir}/beat", "--loglevel=WARNING", f"--logfile={workdir}/beat.log")

        TreeBook(client, prefix=PREFIX).create("root", SpendBook(cost_cap_usd=5.0, token_cap=100_000))
        dispatcher = CelerySpawnDispatcher(app, settings)
        planners = asyncio.run(dispatcher.enqueue_children(
            parent_run_id="root", parent_resume_key="plan", return_when=ReturnWhen.ALL, timeout_seconds=300.0,
            specs=tuple(ChildSpec("planner", {"area": area}) for area in ("north", "south", "east")),
            parent_trace_id="0af7651916cd43dd8448eb211c80319c", tenant_id="acme"))
        started = time.monotonic()

        # Kill the worker under a running leaf, pool and all.
        victim_pid = int(_wait(lambda: next(iter(client.hvals(f"{PREFIX}:running")), None), "a leaf running"))
        victim = next(p for p in workers if p.pid == victim_pid)
        os.killpg(victim.pid, signal.SIGKILL)
        victim.wait()
        killed_at = time.monotonic() - started
        print(f"killed worker w{workers.index(victim)} (pid {victim.pid}) at {killed_at:.1f} s, mid-leaf")

        parents = [("root", "plan")] + [(p, "leaves") for p in planners]
        _wait(lambda: client.llen(f"{PREFIX}:resumed") >= len(parents), "every parent resumed", 180.0)
        print(f"every parent resumed {time.monotonic() - started:.1f} s after the enqueue\n")

        for parent, key in parents:
            results = dispatcher.collect_blocking(parent, key)
            print(f"{parent if parent == 'root' else parent[:12] + '..' + parent[-2:]} / {key}: {len(results)} results")
            for child_id, record in results.items():
                print(f"  {child_id[:12]}..{child_id[-2:]} {record['spec']['agent']:7} "
                      f"output={json.dumps(record['output'])} error={record['error']}")
        book = dispatcher.join.book.read("root")
        print(f"\ntree book: spent ${book.spent_cost_usd:.2f} of ${book.cost_cap_usd:.2f}, "
              f"{book.spent_tokens} tokens; children {book.cumulative_child_count} spawned, "
              f"{book.active_child_count} in flight")
        runs = Counter({str(k): int(v) for k, v in client.hgetall(f"{PREFIX}:runs").items()})
        resumed = Counter(client.lrange(f"{PREFIX}:resumed", 0, -1))
        print(f"leaves run again after the kill: {sum(n > 1 for n in runs.values())}; "
              f"debits applied once each: {book.spent_tokens == 360 * len(runs)}")
        print(f"{len(resumed)} parents resumed, each {'once' if set(resumed.values()) == {1} else 'MORE THAN ONCE'}")
        return 0 if set(resumed.values()) == {1} and book.spent_tokens == 360 * PLANNERS * LEAVES else 1
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        shutil.rmtree(workdir, ignore_errors=True)


def _ping(client: redis.Redis) -> bool:
    try:
        return bool(client.ping())
    except redis.ConnectionError:
        return False


if __name__ == "__main__":
    sys.exit(main())
