"""Clients with bounded waits and no automatic retries.

A script whose reply was lost may already have run; retrying it could
register a waiter twice or take a second token, so these clients never retry
and a dead or unreachable server surfaces as the client's ConnectionError or
TimeoutError within ``timeout`` seconds.
"""

from __future__ import annotations

from typing import Any

import redis
import redis.asyncio
from redis.backoff import NoBackoff
from redis.retry import Retry


def _options(timeout: float, kwargs: dict[str, Any]) -> dict[str, Any]:
    return {"socket_connect_timeout": timeout, "socket_timeout": timeout, **kwargs}


def async_client(url: str, *, timeout: float = 5.0, **kwargs: Any) -> redis.asyncio.Redis:
    """An asyncio client for a RedisWaiterRegistry; ``kwargs`` go to ``Redis.from_url``."""
    from redis.asyncio.retry import Retry as AsyncRetry

    return redis.asyncio.Redis.from_url(url, retry=AsyncRetry(NoBackoff(), 0), **_options(timeout, kwargs))


def sync_client(url: str, *, timeout: float = 5.0, **kwargs: Any) -> redis.Redis:
    """A blocking client for a RedisTokenSemaphore; ``kwargs`` go to ``Redis.from_url``."""
    return redis.Redis.from_url(url, retry=Retry(NoBackoff(), 0), **_options(timeout, kwargs))
