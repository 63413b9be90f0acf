"""Worker processes for the multi-process tests: ``python workers.py KIND URL CLUSTER PREFIX NUMBER``.

CLUSTER is 1 when URL names a node of a cluster. Each prints one JSON line
with what it obtained.
"""

from __future__ import annotations

import asyncio
import json
import sys
import time

from redis_server import clients

from corlith_redis import RedisTokenSemaphore, RedisWaiterRegistry

async_client, sync_client = clients(False)


async def resolve(url: str, prefix: str, signals: int) -> None:
    client = async_client(url)
    # Small batches, so that the workers' sweeps interleave batch by batch.
    registry = RedisWaiterRegistry(client, prefix=prefix, clock=lambda: 1e12, sweep_batch=16)
    released: list[list[str]] = []
    for round_ in range(3):
        for k in range(signals):
            for p, r, _ in await registry.resolve_signal(signal_name="go", payload={"k": k}):
                released.append(["signal", p, r])
            released += [["timer", p, r] for p, r in await registry.sweep_expired_timers()]
            while await registry.resolve_user_input(parent_run_id=f"u{k}", resume_key="k", response=round_):
                released.append(["input", f"u{k}", "k"])
    await client.aclose()
    print(json.dumps(released))


def contend(url: str, prefix: str, rounds: int) -> None:
    client = sync_client(url)
    semaphore = RedisTokenSemaphore(client, prefix=prefix)
    acquired = peak = 0
    for _ in range(rounds):
        if semaphore.try_acquire("q"):
            acquired += 1
            # The live count rises only while a token is held, so it can exceed
            # the capacity only if more tokens than that are out.
            peak = max(peak, int(client.incr(prefix + ":live")))
            client.decr(prefix + ":live")
            semaphore.release("q")
    print(json.dumps({"acquired": acquired, "peak": peak}))


def hold(url: str, prefix: str, lease: float) -> None:
    semaphore = RedisTokenSemaphore(sync_client(url), prefix=prefix, lease_seconds=lease)
    print(json.dumps({"held": semaphore.try_acquire("q")}), flush=True)
    time.sleep(3600)


if __name__ == "__main__":
    kind, url, cluster, prefix, number = sys.argv[1:6]
    async_client, sync_client = clients(cluster == "1")
    if kind != "hold":
        # Wait for the test's start signal so that the workers really overlap.
        sync_client(url, timeout=60).blpop([prefix + ":start"], timeout=60)
    if kind == "resolve":
        asyncio.run(resolve(url, prefix, int(number)))
    elif kind == "contend":
        contend(url, prefix, int(number))
    else:
        hold(url, prefix, float(number))
