"""Several worker processes sharing one waiter registry and one token semaphore.

    python multi_worker.py [REDIS_URL] [--workers N] [--prefix P]

The main process suspends 12 parent runs (signal waiters, timers and
user-input waiters), then starts the workers. Each worker answers the
signals, sweeps the timers, answers the user inputs and resumes every
parent it released while holding a token of the "default" queue (at most
two runs resume at once across all workers). Every parent resumes once.
"""

from __future__ import annotations

import argparse
import asyncio
import multiprocessing
import time

from corlith_redis import RedisTokenSemaphore, RedisWaiterRegistry, async_client, sync_client
from corlith_runtime.core.runtime.waiters import SignalWaiter, TimerWaiter, UserInputWaiter, parse_duration


async def suspend_parents(url: str, prefix: str) -> None:
    client = async_client(url)
    registry = RedisWaiterRegistry(client, prefix=prefix + ":waiters")
    for order in range(4):
        await registry.register_signal_waiter(
            SignalWaiter(f"run-{order}", "approval", "order.approved", match={"order_id": order}))
        await registry.register_timer(TimerWaiter(f"run-{order + 4}", "retry", time.time() - parse_duration("1s")))
        await registry.register_user_input_waiter(UserInputWaiter(f"run-{order + 8}", "ask", "Ship it?", ["y", "n"]))
    await client.aclose()


def resume(semaphore: RedisTokenSemaphore, parent_run_id: str, resume_key: str) -> str:
    while not semaphore.try_acquire("default"):
        time.sleep(0.01)  # admission control: wait for a free slot
    try:
        return f"{parent_run_id}/{resume_key}"  # the real runtime resumes the run here
    finally:
        semaphore.release("default")


async def work(url: str, prefix: str, worker: int) -> list[str]:
    client = async_client(url)
    registry = RedisWaiterRegistry(client, prefix=prefix + ":waiters")
    semaphore = RedisTokenSemaphore(sync_client(url), prefix=prefix + ":tokens", holder=f"worker-{worker}",
                                    lease_seconds=30)
    released: list[tuple[str, str]] = []
    for order in range(4):
        for parent, key, _payload in await registry.resolve_signal(
                signal_name="order.approved", payload={"order_id": order, "by": "ops"}):
            released.append((parent, key))
    released += await registry.sweep_expired_timers()
    for run in range(8, 12):
        if await registry.resolve_user_input(parent_run_id=f"run-{run}", resume_key="ask", response="y"):
            released.append((f"run-{run}", "ask"))
    await client.aclose()
    return [resume(semaphore, parent, key) for parent, key in released]


def worker_main(url: str, prefix: str, worker: int, results: multiprocessing.Queue) -> None:  # type: ignore[type-arg]
    results.put((worker, asyncio.run(work(url, prefix, worker))))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("url", nargs="?", default="redis://127.0.0.1:6379/0")
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--prefix", default=f"example:{time.time_ns()}")
    args = parser.parse_args()

    asyncio.run(suspend_parents(args.url, args.prefix))
    RedisTokenSemaphore(sync_client(args.url), prefix=args.prefix + ":tokens").set_capacity("default", 2)

    results: multiprocessing.Queue = multiprocessing.Queue()  # type: ignore[type-arg]
    workers = [multiprocessing.Process(target=worker_main, args=(args.url, args.prefix, n, results))
               for n in range(args.workers)]
    for process in workers:
        process.start()
    resumed = []
    for _ in workers:
        worker, runs = results.get(timeout=60)
        print(f"worker {worker} resumed {len(runs)}: {' '.join(runs) or '-'}")
        resumed += runs
    for process in workers:
        process.join()
    print(f"{len(resumed)} parents resumed, {len(set(resumed))} distinct")


if __name__ == "__main__":
    main()
