"""The conformance kit against both registries and both semaphores, the Redis ones on a server and on a cluster, and the in-process spawn dispatcher."""

from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator, Callable
from typing import Any

import pytest

from corlith_redis import InMemoryTokenSemaphore, RedisTokenSemaphore, RedisWaiterRegistry
from corlith_redis.conformance import (SpawnDispatcherConformance, SpawnHarness, TokenSemaphoreConformance,
                                      WaiterRegistryConformance, steered_child_runner)
from corlith_runtime.core.runtime.spawn import InMemorySpawnDispatcher
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


class TestInMemorySpawnDispatcher(SpawnDispatcherConformance):
    # Its documented differences: records are handed over once; children that
    # never run under any / first_success get no id; ids join the pair with
    # hyphens unescaped; no dedup by group_key and nothing injected into inputs.
    collect_removes = True
    mints_every_id = False
    unambiguous_ids = False
    dedups_group_key = False
    injects_context = False

    @pytest.fixture
    def spawn_dispatchers(self) -> Any:
        @contextlib.asynccontextmanager
        async def open_() -> AsyncIterator[SpawnHarness]:
            dispatcher = InMemorySpawnDispatcher(child_runner=steered_child_runner)
            yield SpawnHarness(lambda: dispatcher)

        return open_
