"""Redis-backed (server or cluster) implementations of the corlith runtime's waiter registry and token semaphore.

``RedisWaiterRegistry`` satisfies ``WaiterRegistry`` and ``RedisTokenSemaphore``
satisfies ``TokenSemaphore`` across any number of worker processes;
``InMemoryTokenSemaphore`` is the single-process semaphore for local work.
``corlith_redis.conformance`` is the test kit any implementation can run.
"""

from ._client import async_client, async_cluster_client, sync_client, sync_cluster_client
from .tokens import InMemoryTokenSemaphore, RedisTokenSemaphore
from .waiters import RedisWaiterRegistry, Release

__all__ = [
    "InMemoryTokenSemaphore",
    "RedisTokenSemaphore",
    "RedisWaiterRegistry",
    "Release",
    "async_client",
    "async_cluster_client",
    "sync_client",
    "sync_cluster_client",
]
