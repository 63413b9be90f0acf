"""Clients with bounded waits, no automatic retries, and pools that make bursts wait.

A script whose reply was lost may already have run; retrying it could
register a waiter twice or take a second token, so these clients never retry
and a dead or unreachable server surfaces as the client's ConnectionError or
TimeoutError within ``timeout`` seconds.

A call beyond ``max_connections`` in flight waits up to ``timeout`` seconds for
a connection to come free and then raises ConnectionError; it never fails at
once because a burst outgrew the pool.
"""

from __future__ import annotations

import asyncio
from typing import Any

import redis
import redis.asyncio
from redis.backoff import NoBackoff
from redis.retry import Retry

# One call holds one connection for one round trip, so this bounds the calls a
# worker has on the wire at once, not the calls it may make at once.
DEFAULT_MAX_CONNECTIONS = 50


def _options(timeout: float, kwargs: dict[str, Any]) -> dict[str, Any]:
    return {"socket_connect_timeout": timeout, "socket_timeout": timeout, **kwargs}


def _pool_size(max_connections: int) -> int:
    # A pool of none would make every call wait out its timeout.
    if type(max_connections) is not int or max_connections < 1:
        raise ValueError(f"max_connections must be a positive int: {max_connections!r}")
    return max_connections


def async_client(url: str, *, timeout: float = 5.0, max_connections: int = DEFAULT_MAX_CONNECTIONS,
                 **kwargs: Any) -> redis.asyncio.Redis:
    """An asyncio client for a RedisWaiterRegistry; ``kwargs`` go to the connection pool.

    The client belongs to the event loop that first uses it.
    """
    from redis.asyncio.retry import Retry as AsyncRetry

    pool = redis.asyncio.BlockingConnectionPool.from_url(
        url, max_connections=_pool_size(max_connections), timeout=timeout, retry=AsyncRetry(NoBackoff(), 0),
        **_options(timeout, kwargs))
    return redis.asyncio.Redis.from_pool(pool)


def sync_client(url: str, *, timeout: float = 5.0, max_connections: int = DEFAULT_MAX_CONNECTIONS,
                **kwargs: Any) -> redis.Redis:
    """A blocking client for a RedisTokenSemaphore; ``kwargs`` go to the connection pool."""
    pool = redis.BlockingConnectionPool.from_url(
        url, max_connections=_pool_size(max_connections), timeout=timeout, retry=Retry(NoBackoff(), 0),
        **_options(timeout, kwargs))
    return redis.Redis.from_pool(pool)


def sync_cluster_client(url: str, *, timeout: float = 5.0, max_connections: int = DEFAULT_MAX_CONNECTIONS,
                        **kwargs: Any) -> redis.RedisCluster:
    """A blocking Redis Cluster client (``url`` names any node); ``max_connections`` is per node."""
    return redis.RedisCluster.from_url(
        url, retry=Retry(NoBackoff(), 0), connection_pool_class=redis.BlockingConnectionPool,
        max_connections=_pool_size(max_connections), timeout=timeout, **_options(timeout, kwargs))


class _WaitingCluster(redis.asyncio.RedisCluster):
    # The asyncio cluster client has no blocking pool: a node with every
    # connection busy fails the call. Admitting at most max_connections calls
    # at once keeps every node within its limit, and the rest wait their turn.
    def __init__(self, *args: Any, admission_timeout: float, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._admission = asyncio.Semaphore(kwargs["max_connections"])
        self._admission_timeout = admission_timeout

    async def execute_command(self, *args: Any, **kwargs: Any) -> Any:
        try:
            async with asyncio.timeout(self._admission_timeout):
                await self._admission.acquire()
        except TimeoutError:
            raise redis.ConnectionError("No connection available.") from None
        try:
            return await super().execute_command(*args, **kwargs)
        finally:
            self._admission.release()


def async_cluster_client(url: str, *, timeout: float = 5.0, max_connections: int = DEFAULT_MAX_CONNECTIONS,
                         **kwargs: Any) -> redis.asyncio.RedisCluster:
    """An asyncio Redis Cluster client (``url`` names any node) for a RedisWaiterRegistry.

    At most ``max_connections`` calls are on the wire at once; the rest wait up
    to ``timeout`` seconds. The client belongs to the event loop that first uses it.
    """
    from redis.asyncio.retry import Retry as AsyncRetry

    return _WaitingCluster.from_url(
        url, retry=AsyncRetry(NoBackoff(), 0), max_connections=_pool_size(max_connections), admission_timeout=timeout,
        **_options(timeout, kwargs))
