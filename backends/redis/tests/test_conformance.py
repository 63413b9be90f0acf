"""The conformance kit against both registries and both semaphores, the Redis ones on a server and on a cluster."""

from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator, Callable
from typing import Any

import pytest

from corlith_redis import InMemoryTokenSemaphore, RedisTokenSemaphore, RedisWaiterRegistry
from corlith_redis.conformance import TokenSemaphoreConformance, WaiterRegistryConformance
from corlith_runtime.core.runtime.waiters import InMemoryWaiterRegistry


class TestInMemoryWaiterRegistry(WaiterRegistryConformance):
    @pytest.fixture
    def waiter_registries(self) -> Any:
        @contextlib.asynccontextmanager
        async def open_(clock: Callable[[], float] | None) -> AsyncIterator[Callable[[], Any]]:
            registry = InMemoryWaiterRegistry(clock=clock)
            yield lambda: registry

        return open_


class TestRedisWaiterRegistry(WaiterRegistryConformance):
    @pytest.fixture
    def waiter_registries(self, redis_target: Any, prefix: str) -> Any:
        @contextlib.asynccontextmanager
        async def open_(clock: Callable[[], float] | None) -> AsyncIterator[Callable[[], Any]]:
            clients: list[Any] = []

            def make() -> RedisWaiterRegistry:
                # A client per worker; on a cluster the workers share one, since a cluster client
                # learns the topology and command table on first use (tens of ms). Calls made at
                # once still run on connections of their own.
                if not (clients and redis_target.cluster):
                    clients.append(redis_target.async_client())
                return RedisWaiterRegistry(clients[-1], prefix=prefix, clock=clock)

            try:
                yield make
            finally:
                for client in clients:
                    await client.aclose()

        return open_


class TestInMemoryTokenSemaphore(TokenSemaphoreConformance):
    @pytest.fixture
    def make_semaphore(self) -> Any:
        semaphore = InMemoryTokenSemaphore()
        return lambda: semaphore


class TestRedisTokenSemaphore(TokenSemaphoreConformance):
    @pytest.fixture
    def make_semaphore(self, redis_target: Any, prefix: str) -> Any:
        client = redis_target.sync_client()
        yield lambda: RedisTokenSemaphore(client, prefix=prefix)
        client.close()
