"""Our dispatcher against a bare Celery chord of the same no-op children, same machine, same run.

    python bench.py [--parents 40] [--children 10] [--rounds 6]

Starts one redis-server (append-only, fsync every second) and one worker
(prefork, two processes) per side on it; the sides' rounds alternate. Each
round enqueues every parent at once and waits for every resume. Reports
children per second (first enqueue to last resume), the CPU time a child
costs (its side's worker and pool, the server and this driver, over the
round), and the p95, over parents, of the time from a parent's last child
finishing to its resume (our resume target called, or the chord's callback
started). Each child and each resume writes one timestamp to Redis on both
sides, so the measuring costs alike.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any

import redis
from celery import Celery, chord  # type: ignore[import-untyped]

from corlith_celery import CelerySpawnDispatcher, Settings, install
from corlith_runtime.core.runtime.exceptions import ChildSpec, ReturnWhen
from corlith_runtime.core.runtime.spend_book import SpendBook

HERE = Path(__file__).resolve().parent
URL = os.environ.get("CORLITH_BENCH_REDIS", "redis://127.0.0.1:6379/0")
PREFIX = os.environ.get("CORLITH_BENCH_PREFIX", "bench")
_client: redis.Redis | None = None


def client() -> redis.Redis:
    global _client
    if _client is None:
        _client = redis.Redis.from_url(URL)
    return _client


# ---- our side
settings = Settings(redis_url=URL, prefix=PREFIX, child_runner="bench:noop_child", resume_target="bench:resume",
                    queue="ours")
ours = Celery("bench_ours", broker=URL, set_as_current=False)
install(ours, settings)


def noop_child(child: dict[str, Any]) -> dict[str, Any]:
    client().rpush(f"{PREFIX}:done:{child['inputs']['parent']}", time.time())
    return {"output": {}, "error": None, "cost_usd": 0.0, "tokens": 0, "duration_ms": 0.0}


def resume(*, parent_run_id: str, resume_key: str) -> None:
    client().rpush(f"{PREFIX}:resumed", json.dumps([parent_run_id, time.time()]))


# ---- the chord's side: the same settings a careful deployment would give it
bare = Celery("bench_chord", broker=URL, backend=URL, set_as_current=False)
bare.conf.update(task_acks_late=True, task_reject_on_worker_lost=True, worker_prefetch_multiplier=1,
                 task_serializer="json", accept_content=["json"], result_serializer="json",
                 task_default_queue="chord", broker_connection_retry_on_startup=True)


@bare.task(name="bench.child")  # type: ignore[untyped-decorator]
def chord_child(parent: str) -> None:
    client().rpush(f"{PREFIX}:done:{parent}", time.time())


@bare.task(name="bench.callback")  # type: ignore[untyped-decorator]
def chord_callback(results: list[Any], parent: str) -> None:
    client().rpush(f"{PREFIX}:resumed", json.dumps([parent, time.time()]))


# ---- the driver

def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _wait(condition: Any, what: str, seconds: float = 300.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.005)


def run_round(side: str, parents: int, children: int) -> tuple[float, list[float]]:
    c = client()
    c.delete(f"{PREFIX}:resumed")
    tag = uuid.uuid4().hex[:8]
    names = [f"{tag}-{n}" for n in range(parents)]
    if side == "ours":
        dispatcher = CelerySpawnDispatcher(ours, settings)
        for name in names:  # no fan-out or concurrency cap: the chord has none
            dispatcher.join.book.create(name, SpendBook(max_spawn_fanout=0, max_concurrent_spawns=0))
    started = time.time()
    if side == "ours":

        async def enqueue_all() -> None:
            await asyncio.gather(*(dispatcher.enqueue_children(
                parent_run_id=name, parent_resume_key="k", return_when=ReturnWhen.ALL, timeout_seconds=600.0,
                specs=tuple(ChildSpec("noop", {"parent": name}) for _ in range(children))) for name in names))
        asyncio.run(enqueue_all())
    else:
        for name in names:
            # The result handle is not needed: its callback reports through Redis.
            chord([chord_child.s(name) for _ in range(children)])(chord_callback.s(name)).forget()
    enqueued = time.time() - started
    _wait(lambda: c.llen(f"{PREFIX}:resumed") >= parents, f"{side}: every resume")
    resumes = {p: t for p, t in map(json.loads, c.lrange(f"{PREFIX}:resumed", 0, -1))}
    elapsed = max(resumes.values()) - started
    gaps = []
    for name in names:
        last = max(float(t) for t in c.lrange(f"{PREFIX}:done:{name}", 0, -1))
        gaps.append(resumes[name] - last)
        c.delete(f"{PREFIX}:done:{name}")
    print(f"  {side}: enqueued in {enqueued:.2f} s, all resumed at {elapsed:.2f} s", file=sys.stderr)
    return parents * children / elapsed, gaps


def p95(values: list[float]) -> float:
    return statistics.quantiles(values, n=20, method="inclusive")[18]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--parents", type=int, default=40)
    parser.add_argument("--children", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=6)
    args = parser.parse_args()
    server = shutil.which("redis-server")
    if server is None:
        raise SystemExit("redis-server not found: run backends/redis/scripts/ensure-redis-server")
    workdir = tempfile.mkdtemp(prefix="corlith-bench-")
    port = _free_port()
    url = f"redis://127.0.0.1:{port}/0"
    env = {**os.environ, "CORLITH_BENCH_REDIS": url, "CORLITH_BENCH_PREFIX": PREFIX,
           "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])}
    redis_server = subprocess.Popen([server, "--port", str(port), "--bind", "127.0.0.1", "--dir", workdir, "--save", "",
                                     "--appendonly", "yes", "--appendfsync", "everysec",
                                     "--maxmemory-policy", "noeviction"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        _wait(lambda: _ping(url), "redis-server", 30)
        return drive(url, env, workdir, args)
    finally:
        redis_server.terminate()
        redis_server.wait()
        shutil.rmtree(workdir, ignore_errors=True)


def _ping(url: str) -> bool:
    try:
        return bool(redis.Redis.from_url(url, socket_connect_timeout=0.2).ping())
    except redis.ConnectionError:
        return False


def _cpu_seconds(pids: list[int]) -> float:
    """User and system CPU time of these processes and of their children (a prefork worker's pool)."""
    tick = os.sysconf("SC_CLK_TCK")
    wanted, total = set(pids), 0.0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone meanwhile
        if int(entry) in wanted or int(fields[1]) in wanted:
            total += (int(fields[11]) + int(fields[12])) / tick
    return total


def drive(url: str, env: dict[str, str], workdir: str, args: argparse.Namespace) -> int:
    # This process drives both sides: point them at the server just started.
    global URL, _client, settings, ours
    URL, _client = url, None
    settings = Settings(redis_url=url, prefix=PREFIX, child_runner="bench:noop_child", resume_target="bench:resume",
                        queue="ours")
    ours = Celery("bench_ours", broker=url, set_as_current=False)
    install(ours, settings)
    bare.conf.update(broker_url=url, result_backend=url)
    server_pid = int(client().info("server")["process_id"])
    # Both workers live through the run and the sides' rounds alternate (ABBA), so
    # a change in the machine's load from other work falls on both sides alike.
    workers = {}
    try:
        for side, app, queue in (("ours", "bench:ours", "ours"), ("chord", "bench:bare", "chord")):
            workers[side] = subprocess.Popen(
                [sys.executable, "-m", "celery", "-A", app, "worker", "--pool=prefork", "--concurrency=2", "-Q", queue,
                 "--without-mingle", "--without-gossip", "--without-heartbeat", "-n", f"{side}@%h",
                 "--loglevel=WARNING", f"--logfile={workdir}/{side}.log"],
                cwd=workdir, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        for side in workers:
            run_round(side, 2, 2)  # warm-up: the worker is up and its imports done
        results: dict[str, tuple[list[float], list[float], list[float]]] = {side: ([], [], []) for side in workers}
        for n in range(args.rounds):
            for side in (("ours", "chord") if n % 2 == 0 else ("chord", "ours")):
                # CPU of every process a child costs: the worker and its pool, the server, this driver
                pids = [workers[side].pid, server_pid]
                before, driver_before = _cpu_seconds(pids), time.process_time()
                rate, round_gaps = run_round(side, args.parents, args.children)
                spent = _cpu_seconds(pids) - before + time.process_time() - driver_before
                rates, gaps, cpu = results[side]
                rates.append(rate)
                gaps += round_gaps
                cpu.append(spent / (args.parents * args.children))
    finally:
        for worker in workers.values():
            os.killpg(worker.pid, signal.SIGTERM)
        for worker in workers.values():
            worker.wait(timeout=60)
    print(f"{args.parents} parents x {args.children} no-op children, {args.rounds} rounds a side, alternating, "
          f"one prefork worker of two processes per side\n")
    print(f"{'':8}{'children/s (median)':>22}{'CPU ms/child':>14}{'p95 last child -> resume':>28}{'median':>10}")
    for side, (rates, gaps, cpu) in results.items():
        print(f"{side:8}{statistics.median(rates):>22.0f}{statistics.median(cpu) * 1000:>14.2f}"
              f"{p95(gaps) * 1000:>25.1f} ms{statistics.median(gaps) * 1000:>7.1f} ms")
    ours_rate, chord_rate = (statistics.median(results[s][0]) for s in ("ours", "chord"))
    pairs = sorted(a / b for a, b in zip(results["ours"][0], results["chord"][0]))
    print(f"\nthroughput: {ours_rate / chord_rate:.2f}x the chord (target >= 1.0x; round by round "
          f"{pairs[0]:.2f}x to {pairs[-1]:.2f}x); "
          f"p95 resume latency: {p95(results['ours'][1]) / p95(results['chord'][1]):.2f}x (target <= 1.0x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
